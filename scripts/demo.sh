#!/usr/bin/env bash
# Builds tarvick and the development daemon, serves the bundled sample
# settings store (one node per proxy client) and writes the four client
# configuration files into out/, showing each one.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${TARVICK_DEMO_INSIDE:-}" ]; then
  scripts/install-deps.sh build
  cmake -S . -B build -DTARVICK_BUILD_TESTS=OFF >/dev/null
  cmake --build build -j"$(nproc)" >/dev/null
  mkdir -p out
  # The daemon's socket path is fixed under /tmp: give the demo a private
  # /tmp so it never meets a daemon (or a test) already running here.
  export TARVICK_DEMO_INSIDE=1
  if [ "$(id -u)" -eq 0 ]; then
    exec unshare -m -- "$0"
  elif unshare -rm true 2>/dev/null; then
    exec unshare -rm -- "$0"
  fi
  echo "demo: no private mount namespace available; using the real /tmp" >&2
  if [ -S /tmp/.brimd_server_sock ]; then
    echo "demo: /tmp/.brimd_server_sock exists already; stop that daemon first" >&2
    exit 1
  fi
else
  mount --make-rprivate / 2>/dev/null || true
  mount -t tmpfs tmpfs /tmp
fi

store=$(mktemp /tmp/demo-settings.XXXXXX)
cp samples/settings.conf "$store"
build/tools/brimd-dev/brimd-dev "$store" &
daemon=$!
trap 'kill "$daemon" 2>/dev/null; wait "$daemon" 2>/dev/null || true; rm -f "$store"' EXIT
for _ in $(seq 100); do
  [ -S /tmp/.brimd_server_sock ] && break
  sleep 0.05
done

# kind, node in the sample store, output file
runs=("0 1 shadowsocks" "1 2 shadowsocksr" "2 3 v2ray" "3 4 trojan")
for run in "${runs[@]}"; do
  read -r kind node name <<<"$run"
  sed -i "s/^ssconf_basic_node=.*/ssconf_basic_node=$node/" "$store"
  file="out/$name.json"
  status=0
  build/tarvick "$kind" "$file" 1080 1081 tcp,udp || status=$?
  echo "== tarvick $kind $file 1080 1081 tcp,udp (exit $status)"
  cat "$file"
done
