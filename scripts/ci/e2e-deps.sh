#!/bin/sh
# Installs the real proxy clients and servers that the end-to-end tests drive.
# Quiet and quick when everything is already there; fails loudly otherwise.
set -u
. "$(dirname "$0")/../lib/packages.sh"

PACKAGES="shadowsocks-libev simple-obfs v2ray trojan openssl curl"

missing=""
for pkg in $PACKAGES; do
    pkg_installed "$pkg" || missing="$missing $pkg"
done

if [ -z "$missing" ]; then
    exit 0
fi

export DEBIAN_FRONTEND=noninteractive
apt_install() {
    # The packages' own init scripts would start system-wide servers on their
    # default ports; the tests start their own on loopback.
    apt-get install -y -q --no-install-recommends -o Dpkg::Use-Pty=0 "$@" >/tmp/e2e-deps-install.log 2>&1
}

if ! apt_install $missing; then
    if ! apt-get update -q >/tmp/e2e-deps-update.log 2>&1; then
        echo "e2e-deps: apt-get update failed:" >&2
        tail -n 20 /tmp/e2e-deps-update.log >&2
        exit 1
    fi
    if ! apt_install $missing; then
        echo "e2e-deps: cannot install:$missing" >&2
        tail -n 20 /tmp/e2e-deps-install.log >&2
        exit 1
    fi
fi

for bin in ss-local ss-server obfs-local obfs-server v2ray trojan openssl curl; do
    if ! command -v "$bin" >/dev/null 2>&1; then
        echo "e2e-deps: $bin is missing after installation" >&2
        exit 1
    fi
done
exit 0
