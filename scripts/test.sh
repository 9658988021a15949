#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: the unit
# and end-to-end tests (with the real proxy clients) in the normal build, then
# the sanitizer build, every run of the binary under valgrind, the fuzz
# targets, and the cross-built binaries under qemu-user.
# "scripts/test.sh quick" runs only the normal build's tests, and checks that
# build's hardening.
set -euo pipefail
cd "$(dirname "$0")/.."

# Every test runs in a private mount namespace (tests/sandbox.cpp): as an
# ordinary user that needs unprivileged user namespaces.
if [ "$(id -u)" -ne 0 ] && ! unshare --user --map-root-user --mount true 2>/dev/null; then
  echo "test: this system allows no unprivileged user namespaces, which the tests need without root: running through sudo"
  exec sudo "$0" "$@"
fi

started=$(date +%s)
last=$started
current=""
times=""
# Prints each stage's start and, at the end, how long each one took (with the
# machine's load average at its end: the figures mean little on a busy one).
stage() {
  local now
  now=$(date +%s)
  [ -z "$current" ] || times+=$(printf '  %-30s %5ss   load %s' "$current" $((now - last)) \
    "$(cut -d' ' -f1-3 /proc/loadavg)")$'\n'
  current=$1 last=$now
  printf '\n=== %s (%ss)\n' "$1" $((now - started))
}

stage "dependencies"
scripts/install-deps.sh test e2e

stage "build"
cmake -S . -B build -DTARVICK_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)"

stage "tests"
# Most tests wait (on the daemon's deadlines, on a proxy client that is
# meant to carry nothing): they run several to a core.
(cd build && ctest -j"$(( $(nproc) * 4 ))" --output-on-failure)

if [ "${1:-}" != quick ]; then
  stage "sanitizers"
  scripts/ci/sanitize.sh
  stage "valgrind"
  scripts/ci/valgrind.sh
  stage "fuzzing"
  scripts/ci/fuzz.sh
  stage "cross builds under qemu-user"
  scripts/ci/cross.sh
fi
if [ "${1:-}" != quick ]; then
  stage "hardening of every build, and a Release build"
  scripts/ci/hardening.sh
else
  stage "hardening of the build"
  scripts/ci/hardening.sh build
fi
stage "all passed"
printf 'stage times:\n%s' "$times"
