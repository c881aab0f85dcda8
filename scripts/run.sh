#!/usr/bin/env bash
# Builds the project and runs the main job: the AT console's built-in session
# against a loopback echo server. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
echo "== build: build/ (RelWithDebInfo)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
echo "== run: build/yws-at $*"
exec build/yws-at "$@"
