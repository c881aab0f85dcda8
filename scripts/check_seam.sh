#!/usr/bin/env bash
# Proves the platform seam: the service library (libyws_service.a), linked whole
# with libwebsockets and libcrypto but no platform, must fail to link only for
# functions a porter's headers declare (yv_rtos.h, yv_datacall.h,
# yv_ssl_store.h, yv_mem.h, yv_net.h). The host platform's test and control headers do
# not count: the service must not need them.
#   check_seam.sh CXX LIBYWS_SERVICE PLATFORM_DIR [LINK_ARGS...]
set -uo pipefail
cxx=$1 lib=$2 platform=$3
shift 3
headers=("$platform/yv_rtos.h" "$platform/yv_datacall.h" "$platform/yv_ssl_store.h"
         "$platform/yv_mem.h" "$platform/yv_net.h")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

echo 'int main(void) { return 0; }' >"$tmp/main.cpp"
if "$cxx" -o "$tmp/seam" "$tmp/main.cpp" -Wl,--whole-archive "$lib" -Wl,--no-whole-archive \
    "$@" >"$tmp/link.log" 2>&1; then
  echo "FAIL: the service linked without a platform: is one built into it?"
  exit 1
fi
# GNU ld: undefined reference to `name'; lld: undefined symbol: name
grep -oE "undefined (reference to \`[^']+'|symbol: [^ ]+)" "$tmp/link.log" |
  sed -E "s/^undefined (reference to \`|symbol: )//; s/'$//" | sort -u >"$tmp/undefined"
if [ ! -s "$tmp/undefined" ]; then
  echo "FAIL: the link failed for another reason:"
  cat "$tmp/link.log"
  exit 1
fi
rc=0
while read -r sym; do
  if grep -qE "(^|[^A-Za-z0-9_])${sym}[[:space:]]*\(" "${headers[@]}"; then
    echo "platform: $sym"
  else
    echo "FAIL: not a platform function: $sym"
    rc=1
  fi
done <"$tmp/undefined"
echo "$(wc -l <"$tmp/undefined") undefined symbols"
exit $rc
