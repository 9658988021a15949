#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz, and runs each one from its seed
# corpus for a bounded time (FUZZ_SECONDS, 60 by default). A crash, a leak, a
# sanitizer report or a wrong result fails the run; the input that caused it
# is left in build-fuzz/findings/. Prints executions per second and in total.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps.sh fuzz

seconds=${FUZZ_SECONDS:-60}
build=build-fuzz

CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARVICK_FUZZ=ON -DTARVICK_SANITIZE=ON -DTARVICK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target fuzz_reply_reader fuzz_base64 fuzz_generators fuzz_node_links fuzz_node_docs

mkdir -p "$build/findings"
targets=(reply_reader base64 generators node_links node_docs)
# Each fuzzer runs on one core: as many run at once as there are cores, each
# still for its full time, so every target makes as many executions as when
# they ran one after another, in half the time on two cores.
jobs=${FUZZ_JOBS:-$(nproc)}
fuzz_one() {
  local target=$1
  # New inputs go to a scratch corpus; the seeds in the repository stay as they are.
  local work="$build/corpus/$target"
  mkdir -p "$work"
  local dict=()
  [ -f "fuzz/$target.dict" ] && dict=(-dict="fuzz/$target.dict")
  local status=0
  "$build/fuzz/fuzz_$target" "$work" "fuzz/corpus/$target" "${dict[@]}" \
    -max_total_time="$seconds" -max_len=12000 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/findings/$target-" >"$build/fuzz-$target.log" 2>&1 || status=$?
  echo "$status" >"$build/fuzz-$target.status"
}
rm -f "$build"/fuzz-*.status
echo "--- ${targets[*]}: ${seconds}s each, $jobs at a time"
running=0
for target in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
  fuzz_one "$target" &
  running=$((running + 1))
done
wait

status=0
summary=""
for target in "${targets[@]}"; do
  log="$build/fuzz-$target.log"
  if [ "$(cat "$build/fuzz-$target.status")" != 0 ]; then
    status=1
    tail -n 60 "$log"
    echo "fuzz_$target: FINDING (input in $build/findings/)"
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  summary+=$(printf '%-22s %12s execs %8s exec/s\n' "fuzz_$target" "${execs:-?}" "${rate:-?}")$'\n'
done
echo "--- fuzzing summary (${seconds}s each)"
printf '%s' "$summary"
exit $status
