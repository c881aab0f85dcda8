#!/usr/bin/env bash
# Keeps the rooms of the service in their order: a file of a room includes
# headers of its own room and of rooms below it only, and calls nothing that is
# defined in a room above it; no file of api/ includes an operating-system
# header (the platform headers are the only way out). Each room's data is its
# own: a room's header named after it (yws_<room>.h) is what it offers, any
# other header in its folder is private to it; libwebsockets is the loop
# room's alone (its header, its functions, a loop's fields), and a record's
# part is its room's alone. No function runs over 80 lines.
#   check_rooms.sh API_DIR LIBYWS_SERVICE ROOM...   (rooms lowest first)
set -uo pipefail
api=$1 lib=$2
shift 2
rooms=("$@")
rc=0

rank_of() { # the rank of a room, -1 for none
  local i
  for i in "${!rooms[@]}"; do [ "${rooms[$i]}" = "$1" ] && echo "$i" && return; done
  echo -1
}

declare -A header_room file_room
for r in "${rooms[@]}"; do
  [ -d "$api/$r" ] || { echo "FAIL: room $r has no folder"; rc=1; continue; }
  for f in "$api/$r"/*; do
    b=$(basename "$f")
    case $b in
      *.h) header_room[$b]=$r ;;
      *.cpp) file_room[$b]=$r ;;
    esac
  done
done
for d in "$api"/*; do
  [ -d "$d" ] && [ "$(rank_of "$(basename "$d")")" -lt 0 ] && {
    echo "FAIL: $(basename "$d") is not a room"
    rc=1
  }
done
for f in "$api"/*.h "$api"/*.cpp; do
  [ -e "$f" ] && { echo "FAIL: $(basename "$f") stands outside the rooms"; rc=1; }
done

# Includes.
for r in "${rooms[@]}"; do
  mine=$(rank_of "$r")
  for f in "$api/$r"/*; do
    while IFS= read -r inc; do
      h=${inc#*\"}
      h=${h%%\"*}
      hr=${header_room[$h]:-}
      [ -z "$hr" ] && continue
      if [ "$(rank_of "$hr")" -gt "$mine" ]; then
        echo "FAIL: $r/$(basename "$f") includes $h of the room above, $hr"
        rc=1
      fi
    done < <(grep -E '^#include "' "$f")
    if grep -nE '^#include <(sys/|arpa/|netinet/|net/|poll\.h|unistd\.h|strings\.h|fcntl\.h|pthread\.h|signal\.h|netdb\.h)' "$f"; then
      echo "FAIL: $r/$(basename "$f") includes an operating-system header"
      rc=1
    fi
    while IFS= read -r inc; do
      h=${inc#*\"}
      h=${h%%\"*}
      hr=${header_room[$h]:-}
      if [ -n "$hr" ] && [ "$hr" != "$r" ] && [ "$h" != "yws_$hr.h" ]; then
        echo "FAIL: $r/$(basename "$f") includes $h, private to $hr"
        rc=1
      fi
    done < <(grep -E '^#include "' "$f")
    # A record's part is its room's: no other room names its fields.
    for pr in "${rooms[@]}"; do
      [ "$pr" = "$r" ] && continue
      if grep -nE "part\.$pr->" "$f"; then
        echo "FAIL: $r/$(basename "$f") touches the $pr room's part of a record"
        rc=1
      fi
    done
    [ "$r" = loop ] && continue
    if grep -nE '^#include <libwebsockets\.h>' "$f"; then
      echo "FAIL: $r/$(basename "$f") includes libwebsockets.h, the loop room's"
      rc=1
    fi
    if grep -nE '(^|[^a-z_])loop->' "$f"; then
      echo "FAIL: $r/$(basename "$f") touches a loop's fields"
      rc=1
    fi
  done
done

# Calls: every symbol an object needs from another object of the library must
# be defined in a room at or below its own.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
nm -A --defined-only "$lib" 2>/dev/null | awk '$(NF-1) ~ /^[TDBRV]$/ {split($1, a, ":"); print $NF, a[2]}' \
  | sort -u >"$tmp/defs"
nm -A --undefined-only "$lib" 2>/dev/null | awk '{split($1, a, ":"); print $NF, a[2]}' \
  | sort -u >"$tmp/uses"
join "$tmp/uses" "$tmp/defs" >"$tmp/pairs"
# libwebsockets is called from the loop room only.
while read -r sym user; do
  ur=${file_room[${user%.o}]:-}
  case $sym in lws_*) ;; *) continue ;; esac
  if [ -n "$ur" ] && [ "$ur" != loop ]; then
    echo "FAIL: $ur/${user%.o} calls the library's $sym"
    rc=1
  fi
done <"$tmp/uses"
while read -r sym user owner; do
  ur=${file_room[${user%.o}]:-} or=${file_room[${owner%.o}]:-}
  [ -z "$ur" ] || [ -z "$or" ] && continue
  if [ "$(rank_of "$or")" -gt "$(rank_of "$ur")" ]; then
    echo "FAIL: $ur/${user%.o} calls $sym of the room above, $or/${owner%.o}"
    rc=1
  fi
done <"$tmp/pairs"
[ -s "$tmp/defs" ] || { echo "FAIL: no symbols read from $lib"; rc=1; }

# No function runs over 80 lines: from the line at column 0 that opens one
# (its signature may take several lines) to the "}" at column 0 that ends it.
long=$(awk -v max=80 '/^(namespace|struct|class|enum|union|extern|typedef|#)/ { sig = 0; next }
/^[A-Za-z_].*\(/ && !/;[ \t]*$/ { sig = 1; name = $0 }
sig && /\{[ \t]*$/ { start = FNR; sig = 0; next }
/^}/ {
  if (start && FNR - start + 1 > max) printf "%s:%d: %d lines: %s\n", FILENAME, start, FNR - start + 1, name
  start = 0
}' "$api"/*/*.cpp)
if [ -n "$long" ]; then
  echo "FAIL: functions over 80 lines:"
  echo "$long"
  rc=1
fi
[ $rc -eq 0 ] && echo "rooms in order: ${rooms[*]}"
exit $rc
