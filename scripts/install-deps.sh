#!/usr/bin/env bash
# Installs the Debian packages needed to build tarvick and tarvick-node (and,
# with "test", their test suite) when any is missing. Quiet when everything is
# there. libqrencode-dev is for tarvick-node's QR codes (TARVICK_NODE_QR).
set -euo pipefail
. "$(dirname "$0")/lib/packages.sh"

packages=(cmake make g++ pkg-config libjson-c-dev libqrencode-dev libyaml-dev)
for want in "$@"; do
  case "$want" in
    build) ;;
    test) packages+=(libgtest-dev python3) ;;
    *) echo "install-deps: unknown set '$want'" >&2; exit 2 ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  pkg_installed "$package" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
