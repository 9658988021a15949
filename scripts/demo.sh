#!/usr/bin/env bash
# Builds tarvick, tarvick-node and the development daemon, serves the bundled
# sample settings store (one node per proxy client) and writes the four client
# configuration files into out/, showing each one. Then tarvick-node imports
# the bundled share links (samples/links.txt) into the store, exports one of
# the new nodes as a link and a QR code, and checks what the clients will do
# with each of them.
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
  # A checkout under /tmp would be hidden by the private /tmp: hold it open
  # before the mount and bind it back in at its own path (no more of the
  # host's /tmp is seen). --no-canonicalize: mount(8) would otherwise resolve
  # /proc/PID/fd/N to the hidden path's name, in the new /tmp.
  checkout=$(pwd -P)
  case "$checkout/" in
    /tmp/*) exec {held}<"$checkout" ;;
  esac
  mount -t tmpfs -o mode=1777 tmpfs /tmp
  if [ -n "${held:-}" ]; then
    mkdir -p "$checkout"
    mount --no-canonicalize --bind "/proc/$$/fd/$held" "$checkout"
    exec {held}<&-
  fi
fi

store=$(mktemp /tmp/demo-settings.XXXXXX)
imported=$(mktemp /tmp/demo-imported.XXXXXX)
cp samples/settings.conf "$store"
build/tools/brimd-dev/brimd-dev "$store" &
daemon=$!
trap 'kill "$daemon" 2>/dev/null; wait "$daemon" 2>/dev/null || true; rm -f "$store" "$imported" "$imported.err"' EXIT
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

# The share links become nodes 5 and on of the store (the daemon re-reads it
# when it changes).
status=0
build/tarvick-node import --first 5 samples/links.txt >"$imported" 2>"$imported.err" || status=$?
echo
echo "== tarvick-node import --first 5 samples/links.txt >> store (exit $status)"
grep '^# node' "$imported"
cat "$imported.err"
cat "$imported" >>"$store"

# A Trojan node: its link is short enough for a small QR code.
read -r _ _ shown _ type _ < <(grep -m1 '^# node [0-9]* type 3 ' "$imported")
echo
echo "== tarvick-node export $type $shown --qr"
build/tarvick-node export "$type" "$shown" --qr
echo
status=0
echo "== tarvick-node check $type $shown"
build/tarvick-node check "$type" "$shown" || status=$?
echo "(exit $status; on a router the CA bundle is in /rom)"

echo
echo "== tarvick-node check TYPE NODE for the other imported nodes (findings other than notes)"
while read -r _ _ node _ type name; do
  [ "$node" != "$shown" ] || continue
  status=0
  findings=$(build/tarvick-node check "$type" "$node") || status=$?
  echo "node $node, type $type, $name (exit $status):"
  grep -v '^note ' <<<"$findings" | sed 's/^/  /'
done < <(grep '^# node' "$imported")

# The REALITY link tarvick cannot write: imported for tarvick-node xray,
# which writes the file current Xray reads.
echo
status=0
grep '^vless://.*security=reality' samples/links.txt >"$imported.xray"
echo "== tarvick-node import --xray --first 11 (the REALITY link) >> store"
build/tarvick-node import --xray --first 11 "$imported.xray" >"$imported" || status=$?
cat "$imported" >>"$store"
grep '^# node' "$imported"
sed -i "s/^ssconf_basic_node=.*/ssconf_basic_node=11/" "$store"
status=0
build/tarvick-node xray out/xray.json 1080 1081 tcp,udp || status=$?
echo "== tarvick-node xray out/xray.json 1080 1081 tcp,udp (exit $status)"
cat out/xray.json
