#!/usr/bin/env bash
# The room check must fail on each kind of breach: plants one at a time into a
# copy of api/ and expects the check to name it. Calls are read from the
# built library, so only what the sources show is planted here.
#   check_rooms_breaches.sh CHECK_ROOMS API_DIR LIBYWS_SERVICE ROOM...
set -uo pipefail
check=$1 api=$2 lib=$3
shift 3
rooms=("$@")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
rc=0

"$check" "$api" "$lib" "${rooms[@]}" >"$tmp/clean.log" 2>&1 || {
  echo "FAIL: the tree as it stands does not pass"
  cat "$tmp/clean.log"
  exit 1
}

# plant NAME FILE TEXT EXPECTED: TEXT appended to FILE (relative to api/)
# must make the check fail with a line containing EXPECTED.
plant() {
  local name=$1 file=$2 text=$3 expected=$4
  rm -rf "$tmp/api"
  cp -r "$api" "$tmp/api"
  printf '%s\n' "$text" >>"$tmp/api/$file"
  if "$check" "$tmp/api" "$lib" "${rooms[@]}" >"$tmp/out.log" 2>&1; then
    echo "FAIL: $name passed the check"
    rc=1
  elif ! grep -qF -- "$expected" "$tmp/out.log"; then
    echo "FAIL: $name failed without naming it; the check said:"
    cat "$tmp/out.log"
    rc=1
  else
    echo "caught: $name"
  fi
}

long_body=$(printf 'int yws_probe_long(int x) {\n'; for i in $(seq 1 80); do printf '  x += %d;\n' "$i"; done; printf '  return x;\n}')

plant "an include of a room above" core/yws_chain.cpp '#include "yws_client.h"' \
  "includes yws_client.h of the room above"
plant "an operating-system header" data/yws_rx.cpp '#include <sys/socket.h>' \
  "includes an operating-system header"
plant "another room's private header" client/yws_client.cpp '#include "yws_loop_impl.h"' \
  "private to loop"
plant "libwebsockets outside the loop room" service/yws_service.cpp '#include <libwebsockets.h>' \
  "includes libwebsockets.h"
plant "a loop's fields outside the loop room" client/yws_lifecycle.cpp \
  'void yws_probe(yws_loop *loop) { loop->force_exit = true; }' "touches a loop's fields"
plant "the data room's part from the client room" client/yws_reconnect.cpp \
  'int yws_probe(yws_client_t *rec) { return rec->part.data->rx_max_size; }' \
  "touches the data room's part"
plant "the client room's part from the loop room" loop/yws_tx.cpp \
  'int yws_probe(yws_client_t *rec) { return rec->part.client->pdp_cid; }' \
  "touches the client room's part"
plant "a function over 80 lines" config/yws_url.cpp "$long_body" "functions over 80 lines"
exit $rc
