#!/usr/bin/env bash
# Installs a build tree into a temporary prefix and builds tests/consumer
# against it twice: through the CMake package (find_package) and through the
# pkg-config files. Runs both programs. No network. CC and CXX, when set, are
# the compilers of both builds. For a cross build, YWS_TOOLCHAIN_FILE is its
# CMake toolchain, YWS_EMULATOR the command that runs its programs, and
# PKG_CONFIG_LIBDIR its pkg-config files: both programs are then the target's.
#   check_consumer.sh BUILD_DIR
set -uo pipefail
cd "$(dirname "$0")/.."
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
step() {
  echo "-- $*"
  "$@" >"$tmp/step.log" 2>&1 || {
    cat "$tmp/step.log"
    echo "FAIL: $*"
    exit 1
  }
}

toolchain=()
[ -n "${YWS_TOOLCHAIN_FILE:-}" ] && toolchain=(-DCMAKE_TOOLCHAIN_FILE="$YWS_TOOLCHAIN_FILE")
read -r -a run <<<"${YWS_EMULATOR:-}"

step cmake --install "$build" --prefix "$tmp/prefix"
step cmake -S tests/consumer -B "$tmp/cmake" -DCMAKE_PREFIX_PATH="$tmp/prefix" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "${toolchain[@]}"
step cmake --build "$tmp/cmake"
"${run[@]}" "$tmp/cmake/consumer_stub" && "${run[@]}" "$tmp/cmake/consumer_host" || exit 1

export PKG_CONFIG_PATH="$tmp/prefix/lib/pkgconfig:$tmp/prefix/lib64/pkgconfig:$(
  ls -d "$tmp"/prefix/lib/*/pkgconfig 2>/dev/null | tr '\n' ':')"
src=tests/consumer
step "${CC:-cc}" -Wall -Wextra -Werror $(pkg-config --cflags yws-service) -o "$tmp/pc_stub" \
  "$src/consumer_stub.c" "$src/stub_platform.c" $(pkg-config --static --libs yws-service)
step "${CC:-cc}" -Wall -Wextra -Werror $(pkg-config --cflags yws) -o "$tmp/pc_host" \
  "$src/consumer_host.c" $(pkg-config --static --libs yws)
"${run[@]}" "$tmp/pc_stub" && "${run[@]}" "$tmp/pc_host"
