#!/usr/bin/env bash
# Builds and runs every test. Safe to run again: it reuses build/ and installs
# only what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
jobs=$(nproc)
echo "== build: build/ (RelWithDebInfo, -Werror)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
echo "== test: ctest"
ctest --test-dir build --output-on-failure -j"$jobs"
