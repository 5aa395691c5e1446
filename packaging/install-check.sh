#!/usr/bin/env bash
# Installs the Debian package with apt (which fetches its dependencies), compresses one JPEG with
# the installed command, removes and purges the package, and checks that nothing of it is left.
# Meant for a throwaway Debian 12 machine, as root, e.g. in a fresh root:
#
#   FRESH_SHARED=DIR fresh-debian-check \
#       'packaging/install-check.sh /src/shared/velk-compressor_*.deb /src/shared/photo.jpg'
#   (DIR holds the package and the photo; it appears in the root as /src/shared)
#
#   packaging/install-check.sh PACKAGE.deb [PHOTO.jpg]
set -euo pipefail
deb=$(realpath "${1:?usage: install-check.sh PACKAGE.deb [PHOTO.jpg]}")
photo=${2:-}
export DEBIAN_FRONTEND=noninteractive
step() { echo "install-check: $*"; }

if dpkg-query -W velk-compressor >/dev/null 2>&1; then
    echo "install-check: velk-compressor is already installed here; use a throwaway machine" >&2
    exit 1
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "$deb" >/dev/null
step "installed $(dpkg-query -W -f='${Package} ${Version}' velk-compressor)"

velk-compressor --version
[ -f /usr/lib/systemd/user/velk-compressor.service ]
if [ -n "$photo" ]; then
    work=$(mktemp -d)
    mkdir "$work/in" "$work/config"
    cp "$photo" "$work/in/photo.jpg"
    VELK_CONFIG_DIR="$work/config" velk-compressor --headless --watch "$work/in" --once
    [ -f "$work/in/photo_velkcompressed.jpg" ]
    before=$(stat -c %s "$work/in/photo.jpg")
    step "compressed $before -> $(stat -c %s "$work/in/photo_velkcompressed.jpg") bytes"
    rm -rf "$work"
fi

apt-get remove -y -qq velk-compressor >/dev/null
# apt cannot name a package no repository holds once it is removed; dpkg still can.
dpkg --purge velk-compressor >/dev/null
left=$(ls -d /opt/velk-compressor /usr/bin/velk-compressor /usr/share/doc/velk-compressor \
    /usr/lib/systemd/user/velk-compressor.service 2>/dev/null || true)
if [ -n "$left" ] || dpkg-query -W velk-compressor >/dev/null 2>&1; then
    echo "install-check: left after purge: ${left:-its dpkg record}" >&2
    exit 1
fi
step "removed and purged; nothing left"
