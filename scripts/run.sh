#!/usr/bin/env bash
# Builds the program and keeps one folder compressed:
#   scripts/run.sh [FOLDER] [more options, see --help]
# With a display ($DISPLAY or $WAYLAND_DISPLAY) it starts the tray program; a FOLDER given
# is chosen first, and without one the panel asks for it. Without a display (or with
# VELK_HEADLESS=1) it runs headless on FOLDER, by default ~/velk-inbox, creating it.
# Ctrl-C stops.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/build.sh" release

program="$root/build/release/VelkCompressor.app/Contents/MacOS/VelkCompressor"
if [ ! -x "$program" ]; then
    program="$root/build/release/src/app/VelkCompressor"
    # Outside the bundle the program would not find the pinned encoders on its own.
    if [ -z "${VELK_TOOL_DIR:-}" ] && [ -d "$root/.tools/bin" ]; then
        export VELK_TOOL_DIR="$root/.tools/bin"
    fi
fi

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ "${VELK_HEADLESS:-}" != 1 ]; then
    if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
        # Compresses what is there now and saves the folder as the menu's choice would.
        "$program" --headless --watch "$1" --once || true
        shift
    fi
    echo "run: starting the tray program (its icon is in the panel's tray; Ctrl-C stops)"
    exec "$program" "$@"
fi

if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
    folder=$1
    shift
else
    folder="$HOME/velk-inbox"
    if [ ! -d "$folder" ]; then
        mkdir -p "$folder"
        echo "run: created $folder"
    fi
    echo "run: no folder given; compressing $folder"
fi
echo "run: put JPEG, PNG, WebP, AVIF or HEIC files into it; Ctrl-C stops"
exec "$program" --headless --watch "$folder" "$@"
