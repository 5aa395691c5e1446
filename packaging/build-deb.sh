#!/usr/bin/env bash
# Builds the Debian package velk-compressor_<version>-1_<arch>.deb in build/deb from a release
# build of its own, with the update client switched off (apt owns updates), and checks what it
# holds. Runs lintian on it when lintian is installed.
#
#   packaging/build-deb.sh [BUILD_DIR]      (default build/deb)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/deb}
"$root/scripts/setup.sh"

# The release preset's build type: GCC 12 at -O3 warns falsely (-Wrestrict) about string
# concatenation, and the installed programs are stripped of the debug information anyway.
# Both spellings of the update client's switch: whichever the tree has is used, and the CPack
# step refuses a build that still has the client.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DVELK_BUILD_TESTS=OFF -DVELK_UPDATE_CLIENT=OFF >/dev/null
cmake --build "$build" -j2
rm -f "$build"/velk-compressor_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/velk-compressor_*.deb)
"$root/packaging/check-deb.sh" "$deb"

if command -v lintian >/dev/null; then
    # Errors fail the build; warnings are shown.
    lintian --fail-on error --tag-display-limit 0 "$deb"
else
    echo "build-deb: lintian is not installed; apt-get install lintian, then: lintian $deb"
fi
echo "$deb"
