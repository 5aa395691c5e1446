#!/usr/bin/env bash
# Memory benchmark: peak resident memory of `VelkCompressor --headless --once --originals
# keep` on one source of 12, 24 and 50 megapixels per format (JPEG, PNG, WebP, AVIF,
# HEIC) made from Debian's photographs, and on a 16-bit PNG, beside the goals (256 MiB for
# JPEG, PNG and WebP sources, 1 GiB for AVIF and HEIC). See bench/README.md.
#
#   bench/memory.sh [--formats jpeg,png,...] [--sizes 12,24,50]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bench="$root/bench"
out="$bench/out"
mkdir -p "$out"

missing=()
for package in mate-backgrounds libvips-tools; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing ${missing[*]}…"
    if [ "$(id -u)" -ne 0 ]; then
        echo "bench: run as root, or install: apt-get install ${missing[*]}" >&2
        exit 1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" \
        >"$out/apt.log" 2>&1 || { echo "apt-get failed: see $out/apt.log" >&2; exit 1; }
fi

echo "building the program (release)…"
# Only the program and its bundle: the tests play no part here.
{
    "$root/scripts/setup.sh" &&
        { [ -f "$root/build/release/build.ninja" ] || (cd "$root" && cmake --preset release); } &&
        cmake --build "$root/build/release" --target velk_bundle
} >"$out/build.log" 2>&1 || { echo "build failed: see $out/build.log" >&2; exit 1; }
bundle_exe="$root/build/release/VelkCompressor.app/Contents/MacOS/VelkCompressor"
[ -x "$bundle_exe" ] || { echo "no bundle at $bundle_exe" >&2; exit 1; }

exec /usr/bin/python3 "$bench/memory.py" --exe "$bundle_exe" --out "$out" "$@"
