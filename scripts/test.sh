#!/usr/bin/env bash
# Builds and runs every test, in stages:
#   unit     the suite in build/ (RelWithDebInfo, -Werror), with the platform-seam
#            checks: the service alone needs only the porter's functions, and a
#            project links it with a stub platform through the installed package
#   asan     the suite under address + undefined sanitizers (build-asan/)
#   tsan     the suite under the thread sanitizer (build-tsan/)
#   fuzz     every libFuzzer target for a bounded time (build-fuzz/, clang)
#   soak     random open/write/read/close/bearer loss for a bounded time
#   link     the link emulator and the service over 2G-, 3G- and LTE-like links (build/)
#   interop  real servers the tests start on loopback: MQTT over ws/wss to mosquitto, wss
#            through nginx, the MQTT telemetry example (build/)
#   arm32    the module's 32-bit ARM: the unit and link suites cross-built for armhf and
#            run under qemu-user (build-arm32/); installs its toolchain on first use
# Choose stages with YWS_STAGES="unit asan" (default: all). Safe to run again:
# build trees are reused and only missing packages are installed.
set -uo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh || exit 1
jobs=$(nproc)
stages=${YWS_STAGES:-"unit asan tsan fuzz soak link interop arm32"}
fuzz_seconds=${YWS_FUZZ_SECONDS:-30}
soak_seconds=${YWS_SOAK_SECONDS:-90}
passed=0
failed=0
summary=()

configure_and_build() {  # dir, cmake args...
  local dir=$1
  shift
  cmake -S . -B "$dir" "$@" >/dev/null && cmake --build "$dir" -j"$jobs"
}

# The emulated-link suites take seconds of link time each: the link stage
# runs them, once.
link_tests='^(Link\.|LinkService\.|Profiles/OverLink\.)'
# The suites against mosquitto and nginx (Interop*): the interop stage runs them, once.
interop_tests='(^|/)Interop[A-Za-z]*\.'

run_suite() {  # dir
  ctest --test-dir "$1" --output-on-failure -j"$jobs" -E "$link_tests|$interop_tests"
}

stage_unit() {
  configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo && run_suite build
}
stage_asan() {
  configure_and_build build-asan -DCMAKE_BUILD_TYPE=Debug -DYWS_ASAN=ON &&
    run_suite build-asan
}
stage_tsan() {
  configure_and_build build-tsan -DCMAKE_BUILD_TYPE=Debug -DYWS_TSAN=ON &&
    TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp" run_suite build-tsan
}
stage_fuzz() {
  CC=clang CXX=clang++ configure_and_build build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DYWS_FUZZ=ON -DYWS_BUILD_TESTS=OFF || return 1
  local rc=0 t
  for t in build-fuzz/fuzz/fuzz_*; do
    [ -x "$t" ] || continue
    mkdir -p "build-fuzz/corpus/$(basename "$t")"
    echo "-- $(basename "$t") for ${fuzz_seconds}s"
    # Inputs that once failed seed the run (libFuzzer adds to the first folder
    # only); a failure's input lands in build-fuzz/, not in the tree.
    local seeds="fuzz/regressions/$(basename "$t")"
    [ -d "$seeds" ] || seeds=
    # The library's OpenSSL state that the tests' leak check leaves out too.
    LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
      "$t" -max_total_time="$fuzz_seconds" -print_final_stats=1 \
      -artifact_prefix="build-fuzz/$(basename "$t")-" \
      "build-fuzz/corpus/$(basename "$t")" $seeds 2>&1 |
      { grep -E 'stat::number_of_executed_units|ERROR|SUMMARY' || true; }
    [ "${PIPESTATUS[0]}" -eq 0 ] || rc=1
  done
  return $rc
}
stage_soak() {
  configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    build/tests/yws_soak "$soak_seconds"
}
stage_link() {
  configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    ctest --test-dir build --output-on-failure -j"$jobs" -R "$link_tests"
}
stage_interop() {
  # The tests skip without the servers; the stage does not: deps.sh installs them.
  local p missing=()
  for p in /usr/sbin/mosquitto /usr/bin/mosquitto_pub /usr/bin/mosquitto_sub /usr/sbin/nginx; do
    [ -x "$p" ] || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "interop: not installed: ${missing[*]}"
    return 1
  fi
  configure_and_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    ctest --test-dir build --output-on-failure -j"$jobs" -R "$interop_tests"
}

# ---- arm32: cross toolchain, armhf libraries and qemu-user from deps.sh ----
# Programs and tests run under the toolchain's emulator; tests that start a
# program of ours start it through it too. Timings under emulation are no figures.
stage_arm32() {
  ./scripts/deps.sh arm32 &&
    configure_and_build build-arm32 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/armhf-toolchain.cmake" &&
    run_suite build-arm32 &&
    ctest --test-dir build-arm32 --output-on-failure -j"$jobs" -R "$link_tests"
}

for s in $stages; do
  echo "== stage $s"
  start=$(date +%s)
  if "stage_$s"; then
    result=ok
    passed=$((passed + 1))
  else
    result=FAILED
    failed=$((failed + 1))
  fi
  line="stage $s: $result ($(($(date +%s) - start)) s)"
  summary+=("$line")
  echo "== $line"
done

echo "== summary"
printf '%s\n' "${summary[@]}"
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
