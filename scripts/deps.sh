#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing.
set -euo pipefail
# python3-websockets: an independent WebSocket server (with per-message deflate) for the tests.
# mosquitto, mosquitto-clients, nginx-light: a real MQTT broker and a real TLS reverse proxy for
# the interop stage; the tests start them in the foreground with configs of their own.
pkgs=(cmake g++ make pkg-config libwebsockets-dev libgtest-dev libssl-dev openssl clang python3-websockets
  mosquitto mosquitto-clients nginx-light)
missing=()
for p in "${pkgs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "== deps: all present (${pkgs[*]})"
  exit 0
fi
echo "== deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}"
