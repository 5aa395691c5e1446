#!/usr/bin/env bash
# Adds Velk | Compressor to the desktop's application menu for the current user: a
# launcher in ~/.local/share/applications that starts the built bundle, and the icons in
# the hicolor theme of ~/.local/share/icons. `--remove` takes both away again.
#   scripts/install-desktop.sh [--remove] [PROGRAM]
# PROGRAM defaults to build/release/VelkCompressor.app/Contents/MacOS/VelkCompressor.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
data=${XDG_DATA_HOME:-$HOME/.local/share}
launcher="$data/applications/velk-compressor.desktop"
icons="$data/icons/hicolor"

refresh() {
    command -v update-desktop-database >/dev/null && update-desktop-database -q "$data/applications" || true
    command -v gtk-update-icon-cache >/dev/null && gtk-update-icon-cache -q -t "$icons" || true
}

if [ "${1:-}" = "--remove" ]; then
    rm -f "$launcher" "$icons/scalable/apps/velk-compressor.svg" \
        "$icons/symbolic/apps/velk-compressor-symbolic.svg"
    refresh
    echo "install-desktop: removed the launcher and icons"
    exit 0
fi

program=${1:-$root/build/release/VelkCompressor.app/Contents/MacOS/VelkCompressor}
if [ ! -x "$program" ]; then
    echo "install-desktop: $program is not built (run scripts/build.sh release)" >&2
    exit 1
fi
program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")

install -d "$data/applications" "$icons/scalable/apps" "$icons/symbolic/apps"
install -m 0644 "$root/resources/velk-compressor.svg" "$icons/scalable/apps/"
install -m 0644 "$root/resources/velk-compressor-symbolic.svg" "$icons/symbolic/apps/"
# Exec quoting: the path in double quotes with \, ", ` and $ escaped, the backslash
# doubled again as every desktop-entry string is, and % written %%.
quoted=$(printf '%s' "$program" | sed -e 's/[\\"`$]/\\&/g' -e 's/\\/\\\\/g' -e 's/%/%%/g')
while IFS= read -r line; do
    case $line in
    Exec=velk-compressor*) printf 'Exec="%s"%s\n' "$quoted" "${line#Exec=velk-compressor}" ;;
    *) printf '%s\n' "$line" ;;
    esac
done <"$root/packaging/velk-compressor.desktop" >"$launcher.tmp"
mv "$launcher.tmp" "$launcher"
refresh
echo "install-desktop: $launcher starts $program"
