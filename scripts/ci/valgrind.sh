#!/usr/bin/env bash
# Runs the test suite's "unit" group with every invocation of tarvick and
# tarvick-node under valgrind memcheck (TARVICK_WRAPPER, which the suite puts
# in front of both), in build-valgrind. Any memory error, and any byte
# definitely, indirectly or possibly lost, on any path, fails the run: the
# program then exits with status 99 (so the test that ran it fails), and its
# report is kept in build-valgrind/valgrind-logs/ and checked after the suite.
# Extra arguments go to ctest (for example -R Hostile).
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps.sh valgrind

build=build-valgrind

# The shipped build type and flags, with debug information for the reports.
cmake -S . -B "$build" -DTARVICK_BUILD_TESTS=ON -DCMAKE_CXX_FLAGS=-g -DTARVICK_TEST_TIMEOUT=900 >/dev/null
cmake --build "$build" -j2

logs="$PWD/$build/valgrind-logs"
rm -rf "$logs"
mkdir -p "$logs"
# The tests run inside a private mount namespace that still sees the host's
# top-level directories, so the logs land here; one file per run of either
# program (its "Command:" line says which).
export TARVICK_WRAPPER="valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
--show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible \
--child-silent-after-fork=yes --log-file=$logs/run.%p.log"

# Every run under valgrind reads the detached debug information (libc6-dbg)
# of the libraries it loads: for the C library that is 4 MB of DWARF, whose
# reading was about half of a run's CPU time (0.45 s of user and system time
# a run of tarvick, 0.25 s without it). In the stage's own mount namespace
# each such file is replaced by a copy that keeps its symbol table (function
# names in reports, the default suppressions, the dynamic linker's
# redirections) and drops the rest: memcheck checks every instruction as
# before, and only the libraries' own frames lose file and line.
lean="$PWD/$build/lean-debug"
rm -rf "$lean"
mkdir -p "$lean"
binds=()
for lib in $(ldd "$build/tarvick" "$build/tarvick-node" | awk '$2 == "=>" { print $3 } $1 ~ /^\// { print $1 }' | sort -u); do
  id=$(readelf -n "$lib" 2>/dev/null | awk '/Build ID:/ { print $3; exit }')
  debug=/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
  if [ -n "$id" ] && [ -f "$debug" ] && objcopy --strip-debug "$debug" "$lean/$id.debug"; then
    binds+=("$lean/$id.debug" "$debug")
  fi
done

status=0
# The e2e group runs the tool from its own driver, not through the wrapper.
# Most tests wait on the programs' start-up under valgrind or on the
# daemon's deadlines, so more of them run at once than there are cores.
# The lean debug files are bound in a mount namespace of the stage's own
# (without root, inside a user namespace of its own).
userns=()
[ "$(id -u)" -eq 0 ] || userns=(--user --map-root-user)
(cd "$build" && unshare "${userns[@]}" --mount --propagation private -- bash -c '
  while [ "$1" != -- ]; do mount --bind "$1" "$2"; shift 2; done
  shift
  exec "$@"' binds "${binds[@]}" -- ctest -j"${TARVICK_VALGRIND_JOBS:-4}" -L unit --output-on-failure "$@") || status=1

runs=0
node_runs=0
bad=0
# A run under a test's umask of 0777 leaves its log unreadable, which only
# root reads past.
chmod -f u+r "$logs"/*.log || true
for log in "$logs"/*.log; do
  [ -e "$log" ] || continue
  runs=$((runs + 1))
  if grep -q '^==[0-9]*== Command: \([^ ]*/\)\?tarvick-node\( \|$\)' "$log"; then
    node_runs=$((node_runs + 1))
  fi
  if ! grep -q "ERROR SUMMARY: 0 errors" "$log"; then
    bad=$((bad + 1))
    echo "=== $log"
    cat "$log"
  fi
done
echo "valgrind: $runs runs checked ($((runs - node_runs)) of tarvick, $node_runs of tarvick-node), $bad with errors or leaks"
if [ "$runs" -eq 0 ]; then
  echo "valgrind: no run of the tool was seen: the wrapper was not used"
  status=1
fi
# With the whole group run, a suite that can start tarvick-node must have
# started it through the wrapper too.
if [ $# -eq 0 ] && [ "$node_runs" -eq 0 ] && grep -q TARVICK_NODE_BINARY tests/harness.cpp; then
  echo "valgrind: no run of tarvick-node was seen: its runs did not use the wrapper"
  status=1
fi
[ "$bad" -eq 0 ] || status=1
exit $status
