#!/usr/bin/env bash
# Speed and footprint benchmark for tarvick (not a test: it prints figures
# and judges nothing).
#
#   bench/bench.sh [RUNS]        (default 301 timed runs per line)
#
# For each proxy kind, against the development daemon (brimd-dev) serving
# samples/settings.conf: the median wall time of a whole run, its user and
# system CPU time (means: the kernel's split between the two is sampled per
# tick, so single runs are coarse), its peak resident memory, and the number
# of lookups it makes. Then the same for the floor program (bench/floor.c),
# which makes the same exchanges with blocking reads and writes one file and
# does nothing else, and for the static builds. "waits" counts how often a
# run gave up the processor of its own accord (tarvick: mostly poll sleeps
# while the daemon answers). The cost of one poll sleep under the kernel's
# default timer slack and under the 1 ns slack tarvick sets is printed too.
# For the V2Ray/Xray node, tarvick-node xray (the document current Xray reads)
# is measured beside tarvick 2, in the same rounds, against the same daemon.
# Then the stripped size of each architecture's binary, dynamic and static
# (cross builds come from scripts/build-cross.sh). Finally
# bench/node_import.sh: tarvick-node importing subscriptions of growing size.
#
# Runs in a private mount namespace with its own /tmp, so the daemon's
# socket never meets another daemon's. Needs root, cmake, a C compiler and
# strace (used once per kind to count the lookups and list their keys).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd -P)
runs=${1:-301}
host_arch=$(dpkg --print-architecture 2>/dev/null || uname -m)
work=$root/build-bench

if [ "${TARVICK_BENCH_INSIDE:-}" != 1 ]; then
  scripts/install-deps.sh build bench
  for variant in "" -static; do
    static=OFF
    [ -n "$variant" ] && static=ON
    cmake -S . -B "build-$host_arch$variant" -DTARVICK_BUILD_TESTS=OFF -DTARVICK_STATIC=$static >/dev/null
    cmake --build "build-$host_arch$variant" -j2 --target tarvick tarvick-node brimd-dev >/dev/null
  done
  mkdir -p "$work"
  cc -O2 -Wall -o "$work/floor" bench/floor.c
  cc -O2 -Wall -static -o "$work/floor-static" bench/floor.c
  cc -O2 -Wall -o "$work/measure" bench/measure.c
  exec env TARVICK_BENCH_INSIDE=1 unshare --mount --propagation private "$0" "$@"
fi

# A checkout under /tmp would be hidden by the private /tmp: hold it open
# before the mount and bind it back in at its own path (no more of the host's
# /tmp is seen). --no-canonicalize: mount(8) would otherwise resolve
# /proc/PID/fd/N to the hidden path's name, in the new /tmp.
case "$root/" in
  /tmp/*) exec {held}<"$root" ;;
esac
mount -t tmpfs -o mode=1777 bench-tmp /tmp
if [ -n "${held:-}" ]; then
  mkdir -p "$root"
  mount --no-canonicalize --bind "/proc/$$/fd/$held" "$root"
  exec {held}<&-
fi
dynamic=$root/build-$host_arch/tarvick
static=$root/build-$host_arch-static/tarvick
node_dynamic=$root/build-$host_arch/tarvick-node
node_static=$root/build-$host_arch-static/tarvick-node
daemon=$root/build-$host_arch/tools/brimd-dev/brimd-dev
measure=$work/measure

# kind, name, node in samples/settings.conf
kinds=("0 shadowsocks 1" "1 shadowsocksr 2" "2 v2ray 3" "3 trojan 4")
args=(/tmp/out.json 1080 3333 tcp,udp)

declare -A m
results=()
# Takes one result line of measure into m.
take() {
  m=()
  for pair in $1; do m[${pair%%=*}]=${pair#*=}; done
}
row() { # kind, program, lookups
  awk -v kind="$1" -v program="$2" -v lookups="$3" -v wall="${m[wall_us]}" -v user="${m[user_mean_us]}" \
    -v sys="${m[sys_mean_us]}" -v rss="${m[peak_rss_kib]}" -v waits="${m[waits]}" \
    'BEGIN { printf "%-13s %-18s %7s %9.3f %9.3f %9.3f %9s %6s\n", kind, program, lookups, wall / 1000, user / 1000, sys / 1000, rss, waits }'
}

echo "tarvick benchmark: $runs runs per line, $(nproc) cores, kernel $(uname -r)"
echo "wall: median; user, sys: mean; peak RSS: median VmHWM of the program's own address space"
echo
printf '%-13s %-18s %7s %9s %9s %9s %9s %6s\n' kind program lookups wall_ms user_ms sys_ms rss_KiB waits
for entry in "${kinds[@]}"; do
  read -r kind name node <<<"$entry"
  sed "s/^ssconf_basic_node=.*/ssconf_basic_node=$node/" samples/settings.conf >/tmp/settings.conf
  "$daemon" /tmp/settings.conf &
  daemon_pid=$!
  for _ in $(seq 100); do [ -S /tmp/.brimd_server_sock ] && break; sleep 0.05; done

  strace -f -qq -e trace=sendto,write -e signal=none -s 400 -o /tmp/trace "$dynamic" "$kind" "${args[@]}"
  mapfile -t keys < <(grep -o 'magicv1 [0-9]\{7\} get [^ \\"]*' /tmp/trace | awk '{print $4}')
  lookups=${#keys[@]}
  xray=()
  if [ "$kind" = 2 ]; then
    strace -f -qq -e trace=sendto,write -e signal=none -s 400 -o /tmp/trace "$node_dynamic" xray "${args[@]}"
    xray_lookups=$(grep -c 'magicv1 [0-9]\{7\} get ' /tmp/trace)
    xray=(::: -- "$node_dynamic" xray "${args[@]}" ::: -- "$node_static" xray "${args[@]}")
  fi

  # One run of each program per round, so load from elsewhere hits all alike.
  mapfile -t results < <("$measure" -n "$runs" \
    -- "$dynamic" "$kind" "${args[@]}" ::: \
    -- "$work/floor" /tmp/floor.out "${keys[@]}" ::: \
    -- "$static" "$kind" "${args[@]}" ::: \
    -- "$work/floor-static" /tmp/floor.out "${keys[@]}" "${xray[@]}")
  expected=4
  [ ${#xray[@]} -eq 0 ] || expected=6
  [ ${#results[@]} -eq $expected ] || { echo "bench: measuring $name failed" >&2; exit 1; }
  take "${results[0]}"
  row "$name" "tarvick" "$lookups"
  tarvick_wall=${m[wall_us]} tarvick_rss=${m[peak_rss_kib]}
  take "${results[1]}"
  row "$name" "floor" "$lookups"
  awk -v name="$name" -v wall="$tarvick_wall" -v floor_wall="${m[wall_us]}" \
    -v rss="$tarvick_rss" -v floor_rss="${m[peak_rss_kib]}" \
    'BEGIN { printf "%-13s %-18s %7s %8.2fx %29.2fx\n", name, "tarvick / floor", "", wall / floor_wall, rss / floor_rss }'
  take "${results[2]}"
  row "$name" "tarvick static" "$lookups"
  take "${results[3]}"
  row "$name" "floor static" "$lookups"
  if [ ${#xray[@]} -gt 0 ]; then
    take "${results[4]}"
    row "$name" "tarvick-node xray" "$xray_lookups"
    awk -v name="$name" -v wall="${m[wall_us]}" -v tarvick_wall="$tarvick_wall" \
      -v rss="${m[peak_rss_kib]}" -v tarvick_rss="$tarvick_rss" \
      'BEGIN { printf "%-13s %-18s %7s %8.2fx %29.2fx\n", name, "xray / tarvick", "", wall / tarvick_wall, rss / tarvick_rss }'
    take "${results[5]}"
    row "$name" "node xray static" "$xray_lookups"
  fi

  kill "$daemon_pid"
  wait "$daemon_pid" 2>/dev/null || true
done

echo
echo "one usleep(50), as the reply poll sleeps, under the default slack and tarvick's (2000 each):"
for slack in 0 1; do
  "$measure" --sleep-cost -n 2000 -s "$slack" | sed 's/^/  /'
done

echo
echo "stripped binary sizes (bytes):"
printf '  %-8s %-8s %10s %10s\n' arch triplet dynamic static
size_of() { # binary, strip program
  [ -x "$1" ] || { echo "-"; return; }
  "$2" -o /tmp/stripped "$1" && stat -c %s /tmp/stripped
}
for arch in "$host_arch" armhf arm64 mipsel; do
  case "$arch" in
    armhf) triplet=arm-linux-gnueabihf ;;
    arm64) triplet=aarch64-linux-gnu ;;
    mipsel) triplet=mipsel-linux-gnu ;;
    *) triplet=native ;;
  esac
  strip_program=strip
  [ "$triplet" = native ] || strip_program=$triplet-strip
  command -v "$strip_program" >/dev/null || strip_program=strip
  printf '  %-8s %-8s %10s %10s\n' "$arch" "${triplet%%-*}" \
    "$(size_of "build-$arch/tarvick" "$strip_program")" "$(size_of "build-$arch-static/tarvick" "$strip_program")"
done
echo "  (\"-\": not built; scripts/build-cross.sh builds the cross ones)"

echo
"$root/bench/node_import.sh"
