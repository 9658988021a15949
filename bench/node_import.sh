#!/usr/bin/env bash
# Import benchmark for tarvick-node (not a test: it prints figures and judges
# nothing).
#
#   bench/node_import.sh [RUNS [COUNT...]]   (default 21 runs; 1000 10000 40000 100000 links)
#
# For each COUNT, a provider's subscription of that many share links, all
# five schemes mixed (bench/subscription.c, fixed seed, so runs compare),
# Base64 on one line, is imported from a file by tarvick-node with its output
# and warnings sent to /dev/null. Prints the median wall time of a run, the
# time per link, the mean user and system CPU time and the peak resident
# memory, so growth with the count and the budget (10,000 links in 60 ms) can
# be read off. A subscription larger than import's 16 MiB input limit is
# shown as refused. Needs neither root nor the daemon: import never asks it.
#
# Then whole documents: for each DOC_COUNTS (default 1000 10000), one mix of
# nodes (bench/subscription.c's second mix, the kinds all three formats
# carry) as an Xray JSON subscription, a mihomo YAML subscription and the
# Base64 link list of the same nodes, each imported with --xray (its REALITY
# and Hysteria2 nodes need it). Each format's line gives the same figures and
# its CPU time (user + sys) against the link list's; the budget is 3x.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-21}
[ $# -gt 0 ] && shift
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1000 10000 40000 100000)
seed=20240601
host_arch=$(dpkg --print-architecture 2>/dev/null || uname -m)
build=build-$host_arch
work=build-bench/node-import

cmake -S . -B "$build" -DTARVICK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target tarvick-node >/dev/null
mkdir -p "$work"
cc -O2 -Wall -o "$work/subscription" bench/subscription.c
cc -O2 -Wall -o "$work/measure" bench/measure.c
node=$build/tarvick-node

echo "tarvick-node import benchmark: $runs runs per line, $(nproc) cores, kernel $(uname -r)"
echo "subscription: ss, ssr, vmess, vless and trojan links mixed, Base64 on one line, seed $seed"
echo "wall: median; user, sys: mean; peak RSS: median VmHWM; budget: 10000 links in 60 ms"
echo
printf '%8s %10s %9s %8s %9s %9s %9s\n' links input_KiB wall_ms us/link user_ms sys_ms rss_KiB
for count in "${counts[@]}"; do
  input=$work/subscription-$count.txt
  "$work/subscription" "$count" "$seed" >"$input"
  kib=$(( $(stat -c %s "$input") / 1024 ))
  # Every link must import, or the figures would be for fewer links.
  status=0
  imported=$("$node" import "$input" 2>"$work/stderr" | grep -c '^# node ') || status=$?
  if grep -q 'larger than 16 MiB' "$work/stderr"; then
    printf '%8s %10s   refused: input is larger than 16 MiB\n' "$count" "$kib"
    continue
  fi
  if [ "$imported" != "$count" ]; then
    echo "bench: $imported of $count links imported (status $status):" >&2
    grep -v warning "$work/stderr" | head -n 5 >&2
    exit 1
  fi
  result=$("$work/measure" -n "$runs" -o /dev/null -- "$node" import "$input")
  awk -v count="$count" -v kib="$kib" -v result="$result" 'BEGIN {
    n = split(result, pairs, " ")
    for (i = 1; i <= n; i++) { split(pairs[i], kv, "="); m[kv[1]] = kv[2] }
    printf "%8d %10d %9.2f %8.2f %9.2f %9.2f %9d\n", count, kib, m["wall_us"] / 1000, m["wall_us"] / count,
      m["user_mean_us"] / 1000, m["sys_mean_us"] / 1000, m["peak_rss_kib"]
  }'
done

echo
echo "documents: the same nodes as Xray JSON, mihomo YAML and a Base64 link list, import --xray, seed $seed"
printf '%8s %-10s %10s %9s %9s %9s %9s %7s\n' nodes format input_KiB wall_ms user_ms sys_ms rss_KiB x_links
for count in ${DOC_COUNTS:-1000 10000}; do
  groups=()
  for format in doc-links xray mihomo; do
    input=$work/document-$count.$format
    "$work/subscription" "$count" "$seed" "$format" >"$input"
    imported=$("$node" import --xray "$input" 2>/dev/null | grep -c '^# node ') || true
    if [ "$imported" != "$count" ]; then
      echo "bench: $format: $imported of $count nodes imported" >&2
      exit 1
    fi
    groups+=(-o /dev/null -- "$node" import --xray "$input" :::)
  done
  unset 'groups[${#groups[@]}-1]'
  result=$("$work/measure" -n "$runs" "${groups[@]}")
  awk -v count="$count" -v result="$result" -v inputs="$(stat -c %s "$work"/document-"$count".{doc-links,xray,mihomo})" 'BEGIN {
    split("links xray-json mihomo", names, " ")
    split(inputs, sizes, " ")
    n = split(result, rows, "\n")
    for (r = 1; r <= n; r++) {
      k = split(rows[r], pairs, " ")
      for (i = 1; i <= k; i++) { split(pairs[i], kv, "="); m[kv[1]] = kv[2] }
      cpu = m["user_mean_us"] + m["sys_mean_us"]
      if (r == 1) base = cpu
      printf "%8d %-10s %10d %9.2f %9.2f %9.2f %9d %7.2f\n", count, names[r], sizes[r] / 1024, m["wall_us"] / 1000,
        m["user_mean_us"] / 1000, m["sys_mean_us"] / 1000, m["peak_rss_kib"], cpu / base
    }
  }'
done
