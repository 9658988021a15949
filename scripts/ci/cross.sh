#!/usr/bin/env bash
# CI stage: builds tarvick and tarvick-node for armhf, arm64 and mipsel
# (dynamic and static) and runs the test suite's "unit" group (every run of
# the programs against the fake daemon) against each pair of cross-built
# binaries under qemu-user (TARVICK_BINARY and TARVICK_NODE_BINARY name them,
# TARVICK_WRAPPER the emulator); the "e2e" group starts x86-64 proxy clients
# and has nothing to learn from it. The suite itself and its fake daemon run
# natively; only the programs are emulated, and they talk to the fake daemon
# over the real socket.
#
#   scripts/ci/cross.sh [ARCH...]      (default: armhf arm64 mipsel)
#
# The native test build is TARVICK_TEST_BUILD when set, else the valgrind
# stage's build-valgrind (the shipped flags, and a per-test time limit wide
# enough for programs behind a slow wrapper: the sweeps under qemu took up to
# 56 s of build/'s 60 on a busy machine), made here the same way when that
# stage has not run.
set -euo pipefail
cd "$(dirname "$0")/../.."

arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(armhf arm64 mipsel)

started=$(date +%s)
elapsed() { echo "$(( $(date +%s) - started ))s"; }

scripts/install-deps.sh qemu test cross "${arches[@]}"
scripts/build-cross.sh --no-install "${arches[@]}"
echo "cross: built in $(elapsed)"

test_build=${TARVICK_TEST_BUILD:-build-valgrind}
if [ ! -f "$test_build/CMakeCache.txt" ]; then
  cmake -S . -B "$test_build" -DTARVICK_BUILD_TESTS=ON -DCMAKE_CXX_FLAGS=-g -DTARVICK_TEST_TIMEOUT=900 >/dev/null
fi
cmake --build "$test_build" -j2 --target tarvick_tests

qemu_of() {
  case "$1" in
    armhf) echo "qemu-arm -L /usr/arm-linux-gnueabihf" ;;
    arm64) echo "qemu-aarch64 -L /usr/aarch64-linux-gnu" ;;
    mipsel) echo "qemu-mipsel -L /usr/mipsel-linux-gnu" ;;
  esac
}

failed=()
for arch in "${arches[@]}"; do
  for dir in "build-$arch" "build-$arch-static"; do
    [ -x "$dir/tarvick" ] && [ -x "$dir/tarvick-node" ] || continue
    echo "cross: test suite against $dir/tarvick and $dir/tarvick-node under $(qemu_of "$arch" | cut -d' ' -f1) ($(elapsed))"
    binary="$(cd "$dir" && pwd)/tarvick"
    if ! (cd "$test_build" &&
          TARVICK_BINARY="$binary" TARVICK_NODE_BINARY="$binary-node" TARVICK_WRAPPER="$(qemu_of "$arch")" \
          ctest -j"${TARVICK_CROSS_JOBS:-$(( $(nproc) * 3 ))}" -L unit --output-on-failure ${TARVICK_CROSS_CTEST_ARGS:-}); then
      failed+=("$dir")
    fi
  done
done

echo "cross: finished in $(elapsed)"
if [ ${#failed[@]} -gt 0 ]; then
  echo "cross: tests failed for: ${failed[*]}" >&2
  exit 1
fi
