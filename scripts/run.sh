#!/usr/bin/env bash
# Builds the program and keeps one folder compressed, without a display:
#   scripts/run.sh [FOLDER] [more options, see --help]
# With no folder it uses ~/velk-inbox, creating it. Ctrl-C stops.
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
