#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
#   deps.sh          the host's build and tests
#   deps.sh arm32    those, and the 32-bit ARM cross build under qemu-user (the arm32 stage)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
host_arch=$(dpkg --print-architecture)
# python3-websockets: an independent WebSocket server (with per-message deflate) for the tests.
# mosquitto, mosquitto-clients, nginx-light: a real MQTT broker and a real TLS reverse proxy for
# the interop stage; the tests start them in the foreground with configs of their own.
pkgs=(cmake g++ make pkg-config libwebsockets-dev libgtest-dev libssl-dev openssl clang python3-websockets
  mosquitto mosquitto-clients nginx-light)
foreign=()
missing=()
updated=0

# A package counts as present only in the architecture asked for (or "all"):
# `dpkg -s NAME` is ambiguous once NAME is installed for two architectures.
installed() {  # name arch
  dpkg-query -W -f='${Architecture} ${db:Status-Abbrev}\n' "$1" 2>/dev/null |
    grep -qE "^($2|all) ii"
}

apt_update() {
  [ "$updated" -eq 1 ] && return 0
  apt-get update -qq
  updated=1
}

# ---- arm32: cross toolchain, qemu-user and the armhf libraries ----
# libwebsockets-dev:armhf cannot be installed beside the host's (their
# lws_config.h differ), so its headers are unpacked into build-arm32/lws-armhf
# with a pkg-config file pointing there, linking the installed libwebsockets17:armhf.
arm32_lws_dir=$root/build-arm32/lws-armhf
arm32_deps() {
  pkgs+=(g++-arm-linux-gnueabihf qemu-user)
  foreign+=(libstdc++6 libssl-dev libgtest-dev zlib1g-dev libcap-dev libwebsockets17)
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    echo "== deps: adding the armhf architecture"
    dpkg --add-architecture armhf
    apt_update
  fi
}

arm32_lws_headers() {
  local version stamp=$arm32_lws_dir/.version
  version=$(dpkg-query -W -f='${Version}' libwebsockets17:armhf)
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$version" ]; then
    return 0
  fi
  echo "== deps: unpacking libwebsockets-dev:armhf $version into $arm32_lws_dir"
  local tmp
  tmp=$(mktemp -d)
  chmod 755 "$tmp" # apt downloads as _apt
  (cd "$tmp" && apt-get download -qq "libwebsockets-dev:armhf=$version") || {
    apt_update
    (cd "$tmp" && apt-get download -qq "libwebsockets-dev:armhf=$version")
  }
  rm -rf "$arm32_lws_dir"
  mkdir -p "$arm32_lws_dir"
  dpkg -x "$tmp"/libwebsockets-dev_*_armhf.deb "$arm32_lws_dir"
  rm -rf "$tmp"
  local lib=$arm32_lws_dir/usr/lib/arm-linux-gnueabihf
  ln -sf /usr/lib/arm-linux-gnueabihf/libwebsockets.so.17 "$lib/libwebsockets.so"
  sed -i "s|^prefix=.*|prefix=\"$arm32_lws_dir/usr\"|" "$lib/pkgconfig/libwebsockets.pc"
  echo "$version" >"$stamp"
}

arm32=0
for a in "$@"; do
  case $a in
    arm32) arm32=1 ;;
    *)
      echo "deps.sh: unknown argument $a" >&2
      exit 2
      ;;
  esac
done
[ "$arm32" -eq 1 ] && arm32_deps

for p in "${pkgs[@]}"; do
  installed "$p" "$host_arch" || missing+=("$p")
done
for p in "${foreign[@]}"; do
  installed "$p" armhf || missing+=("$p:armhf")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "== deps: all present (${pkgs[*]}${foreign[*]:+ ${foreign[*]/%/:armhf}})"
else
  echo "== deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt_update
  apt-get install -y -qq "${missing[@]}"
fi
[ "$arm32" -eq 1 ] && arm32_lws_headers
exit 0
