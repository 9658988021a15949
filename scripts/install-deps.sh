#!/usr/bin/env bash
# Installs the Debian packages a stage needs, when any is missing; the one
# place in the project that runs apt-get. Quiet when nothing is missing.
#
#   scripts/install-deps.sh SET...
#
#   build            compilers and libraries for tarvick and tarvick-node
#                    (libqrencode-dev: tarvick-node's QR codes; libyaml-dev: its YAML subscriptions)
#   test             build, and the unit tests' gtest and python3
#   sanitize         test (the sanitizer runtimes come with g++)
#   valgrind         test, and valgrind
#   fuzz             clang with libFuzzer
#   cross ARCH...    cross compilers and the ARCH libraries (armhf arm64 mipsel)
#   qemu             qemu-user, to run cross-built programs
#   e2e              the real proxy clients and servers the e2e cases drive
#   hardening        hardening-check (devscripts) and readelf
#   bench            strace
#
# A failed "apt-get update" (a mirror caught mid-sync makes it exit 100 with
# "File has unexpected size ... Mirror sync in progress?") is tried once more
# and then passed over: the install goes on with the package lists apt has.
# A failed install fails, with one line naming the packages and apt's reason.
set -euo pipefail

triplet_of() {
  case "$1" in
    armhf) echo arm-linux-gnueabihf ;;
    arm64) echo aarch64-linux-gnu ;;
    mipsel) echo mipsel-linux-gnu ;;
    *) return 1 ;;
  esac
}

build=(cmake make g++ pkg-config libjson-c-dev libqrencode-dev libyaml-dev)
test=("${build[@]}" libgtest-dev python3)
packages=()
foreign=()
while [ $# -gt 0 ]; do
  case "$1" in
    build) packages+=("${build[@]}") ;;
    test|sanitize) packages+=("${test[@]}") ;;
    valgrind) packages+=("${test[@]}" valgrind) ;;
    fuzz) packages+=(cmake pkg-config libjson-c-dev libqrencode-dev libyaml-dev clang-14 libclang-rt-14-dev libfuzzer-14-dev) ;;
    qemu) packages+=(qemu-user) ;;
    e2e) packages+=(shadowsocks-libev simple-obfs v2ray trojan openssl curl) ;;
    hardening) packages+=(devscripts binutils) ;;
    bench) packages+=(strace) ;;
    cross)
      packages+=(cmake make pkg-config file)
      while triplet=$(triplet_of "${2:-}"); do
        packages+=("g++-$triplet" "libjson-c-dev:$2" "libqrencode-dev:$2" "libyaml-dev:$2")
        foreign+=("$2")
        shift
      done ;;
    *) echo "install-deps: unknown set '$1'" >&2; exit 2 ;;
  esac
  shift
done

# Installed for this machine's own architecture (or Architecture: all);
# PACKAGE:ARCH asks for that architecture's. dpkg-query alone is fooled by a
# package of the same name for another architecture: once a cross build has
# installed libqrencode-dev:armhf, "dpkg-query -W libqrencode-dev" reports
# that one while the native one is missing.
native=$(dpkg --print-architecture)
installed() {
  local arch=$native
  case "$1" in *:*) arch=${1##*:} ;; esac
  dpkg-query -W -f='${Architecture} ${Status}\n' "$1" 2>/dev/null |
    grep -qx -e "$arch install ok installed" -e "all install ok installed"
}

missing=()
for package in $(printf '%s\n' "${packages[@]}" | awk '!seen[$0]++'); do
  installed "$package" || missing+=("$package")
done
[ ${#missing[@]} -gt 0 ] || exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Other jobs may share the machine's apt: wait for its lock, don't fail.
apt() {
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=600 -o Dpkg::Use-Pty=0 "$@" \
    >"$log" 2>&1
}
# apt's own reason: its error lines on one line (its last line if it gave none).
reason() {
  { grep -q '^E: ' "$log" && sed -n 's/^E: //p' "$log" || tail -n 1 "$log"; } |
    awk '{ printf "%s%s", (NR > 1 ? "; " : ""), $0 }'
}

echo "install-deps: installing ${missing[*]}"
for arch in "${foreign[@]}"; do
  dpkg --print-foreign-architectures | grep -qx "$arch" || "${sudo[@]}" dpkg --add-architecture "$arch"
done
if ! apt update; then
  echo "install-deps: note: apt-get update failed ($(reason)); trying once more" >&2
  apt update ||
    echo "install-deps: note: apt-get update failed again ($(reason)); installing with the package lists apt has" >&2
fi
# The packages' own init scripts would start system-wide servers on their
# default ports; no recommends, so only what is named comes in.
if ! apt install -y --no-install-recommends "${missing[@]}"; then
  # The packages apt names in its errors, else all it was asked for.
  named=()
  for package in "${missing[@]}"; do
    grep '^E: ' "$log" | tr -s " '\"" '\n' | grep -qxF "$package" && named+=("$package")
  done
  [ ${#named[@]} -gt 0 ] || named=("${missing[@]}")
  echo "install-deps: cannot install ${named[*]}: $(reason)" >&2
  exit 1
fi
