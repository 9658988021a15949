#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: the unit
# and end-to-end tests (with the real proxy clients) in the normal build, then
# the sanitizer build, every run of the binary under valgrind, the fuzz
# targets, and the cross-built binaries under qemu-user.
# "scripts/test.sh quick" runs only the normal build's tests.
set -euo pipefail
cd "$(dirname "$0")/.."

started=$(date +%s)
stage() { printf '\n=== %s (%ss)\n' "$1" $(( $(date +%s) - started )); }

stage "dependencies"
scripts/install-deps.sh build test
scripts/ci/e2e-deps.sh

stage "build"
cmake -S . -B build -DTARVICK_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$(nproc)"

stage "tests"
(cd build && ctest -j2 --output-on-failure)

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
stage "hardening of every build, and a Release build"
scripts/ci/hardening.sh
stage "all passed"
