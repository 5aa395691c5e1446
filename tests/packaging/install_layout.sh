#!/usr/bin/env bash
# Installs the build as the Debian package would (prefix /usr, a staging DESTDIR) and checks the
# tree with the package's own checker; then breaks the tree once to show the checker notices.
#
#   install_layout.sh BUILD_DIR CHECKER
set -euo pipefail
build=$1
checker=$2
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" --prefix /usr --strip >/dev/null
"$checker" "$stage"
rm "$stage/usr/bin/velk-compressor"
if "$checker" "$stage" 2>/dev/null; then
    echo "the checker passed a tree without /usr/bin/velk-compressor" >&2
    exit 1
fi
