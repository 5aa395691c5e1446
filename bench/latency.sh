#!/usr/bin/env bash
# Drop-to-output latency: the program (release bundle, headless, keep, format jpeg)
# watches an empty folder; a 1-megapixel JPEG is moved into it 20 times, one after the
# other, as a finished download appears. Prints the median time from the move to the
# output beside it, and the median time the program spent on the file itself (from its
# first progress report to the output), which the designed waits (debounce, stability
# interval) come on top of.
#
#   bench/latency.sh [DROPS]   (default 20)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
drops=${1:-20}
command -v vipsthumbnail >/dev/null ||
    { echo "bench: vipsthumbnail missing: apt-get install libvips-tools (bench/apt-packages.txt)"; exit 1; }
{
    { [ -f "$root/build/release/build.ninja" ] || "$root/scripts/build.sh" release; } &&
        cmake --build "$root/build/release" -j2 --target velk_bundle velk_engine_driver
} >"${TMPDIR:-/tmp}/velk-latency-build.log" 2>&1 ||
    { echo "build failed: see ${TMPDIR:-/tmp}/velk-latency-build.log"; exit 1; }
exe="$root/build/release/VelkCompressor.app/Contents/MacOS/VelkCompressor"

work=$(mktemp -d /tmp/velk-latency-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/seed" "$work/folder"
"$root/build/release/tests/engine/velk_engine_driver" --make-images "$work/seed"
# 1224×816: one megapixel, as a phone or camera JPEG at quality 92.
vipsthumbnail "$work/seed/photo.jpg" --size 1224x816 -o "$work/seed/one.jpg[Q=92]"
exec python3 "$root/bench/latency.py" "$exe" "$work" "$drops"
