#!/usr/bin/env bash
# Builds the project and runs the main job: the AT console's built-in session
# against a loopback echo server. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
echo "== build: build/ (RelWithDebInfo)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
if [ -x build/yws-at ]; then
  echo "== run: build/yws-at $*"
  exec build/yws-at "$@"
fi
# Until the console exists, the main job is the end-to-end smoke test.
echo "== run: connection smoke test (the console is not built yet)"
exec build/tests/test_connection --gtest_filter='Connection.CloseOnEitherSide*'
