#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer
# (TARVICK_SANITIZE) in build-asan and runs the whole test suite there, which
# runs that build's tarvick and tarvick-node. The first report aborts the
# process that made it, either program or a test, so any report fails a test.
# Extra arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps.sh sanitize

build=build-asan

cmake -S . -B "$build" -DTARVICK_SANITIZE=ON -DTARVICK_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2

# Leak checking on exit, reports with file and line, and every report also
# kept in a file: a report from a run whose test looks only at the written
# file still fails the stage. Test shims preloaded ahead of the runtime are
# allowed (verify_asan_link_order=0).
reports="$PWD/$build/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:verify_asan_link_order=0:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"

status=0
# Most tests wait on deadlines or on a client meant to carry nothing: they
# run several to a core.
(cd "$build" && ctest -j"${TARVICK_SANITIZE_JOBS:-$(( $(nproc) * 4 ))}" --output-on-failure "$@") || status=1
for report in "$reports"/*; do
  [ -e "$report" ] || continue
  echo "=== $report"
  cat "$report"
  status=1
done
exit $status
