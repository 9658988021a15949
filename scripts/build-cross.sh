#!/usr/bin/env bash
# Builds tarvick and tarvick-node for the routers they ship to: ARMv7 (armhf),
# ARMv8 (arm64) and MIPS little-endian (mipsel), each dynamic (needs json-c on
# the router, and libqrencode for tarvick-node) and fully static (for firmware
# without json-c or a matching libstdc++; Debian has no static libqrencode, so
# the static tarvick-node draws no QR codes), and packs one tarball per build.
# Installs the cross compilers and the multiarch json-c and libqrencode it
# needs from Debian when they are missing (scripts/install-deps.sh cross).
#
#   scripts/build-cross.sh [--no-install] [--no-static] [--no-package] [ARCH...]
#
# ARCH is a Debian architecture name: armhf, arm64 or mipsel (default: all).
# Build directories: build-<arch> and build-<arch>-static; tarballs land in
# each build directory.
set -euo pipefail
cd "$(dirname "$0")/.."

want_install=1 want_static=1 want_package=1
arches=()
for arg in "$@"; do
  case "$arg" in
    --no-install) want_install=0 ;;
    --no-static) want_static=0 ;;
    --no-package) want_package=0 ;;
    armhf|arm64|mipsel) arches+=("$arg") ;;
    *) echo "build-cross: unknown argument '$arg'" >&2; exit 2 ;;
  esac
done
[ ${#arches[@]} -gt 0 ] || arches=(armhf arm64 mipsel)

triplet_of() {
  case "$1" in
    armhf) echo arm-linux-gnueabihf ;;
    arm64) echo aarch64-linux-gnu ;;
    mipsel) echo mipsel-linux-gnu ;;
  esac
}

[ "$want_install" = 0 ] || scripts/install-deps.sh cross "${arches[@]}"

jobs=${TARVICK_JOBS:-2}
for arch in "${arches[@]}"; do
  triplet=$(triplet_of "$arch")
  variants=(dynamic)
  [ "$want_static" = 1 ] && variants+=(static)
  for variant in "${variants[@]}"; do
    dir=build-$arch
    flags=(-DTARVICK_STATIC=OFF)
    if [ "$variant" = static ]; then
      dir=build-$arch-static
      flags=(-DTARVICK_STATIC=ON)
    fi
    echo "build-cross: $arch ($variant) in $dir"
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/$triplet.cmake" \
      -DTARVICK_BUILD_TESTS=OFF "${flags[@]}" >/dev/null
    cmake --build "$dir" -j"$jobs" --target tarvick tarvick-node
    for program in tarvick tarvick-node; do
      echo "$program: $(file -b "$dir/$program")"
    done
    if [ "$want_package" = 1 ]; then
      (cd "$dir" && cpack -G TGZ >/dev/null && ls -1 "$PWD"/*.tar.gz)
    fi
  done
done
