#!/usr/bin/env bash
# Encoder benchmark: the program's JPEG, PNG, WebP and AVIF paths against sharp,
# ImageMagick and libjpeg-turbo on a corpus it builds from Debian packages. Prints one
# table (bytes saved, SSIM, time per megapixel, overhead over the outside tools) and
# which goals are met; see bench/README.md.
#
#   bench/encoders.sh [--quick] [--keep]
#
# --quick uses 6 of the 17 files; --keep leaves the encoded files in bench/out/run-*/.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR
# shellcheck source=prepare.sh
. "$(dirname "$0")/prepare.sh"
mkdir -p "$out/bin"
bench_install_packages

echo "building the program (release)…"
"$root/scripts/build.sh" release >"$out/build.log" 2>&1 ||
    { echo "build failed: see $out/build.log" >&2; exit 1; }
bundle_exe="$root/build/release/VelkCompressor.app/Contents/MacOS/VelkCompressor"
[ -x "$bundle_exe" ] || { echo "no bundle at $bundle_exe" >&2; exit 1; }

# Helpers: an SSIM meter on libvips and the stand-in that times each outside tool (static,
# so that starting it costs little).
build_helper() { # name extra-flags...
    local name=$1
    shift
    if [ ! -x "$out/bin/$name" ] || [ "$bench/$name.cpp" -nt "$out/bin/$name" ]; then
        g++ -O2 -std=c++20 -o "$out/bin/$name" "$bench/$name.cpp" "$@"
    fi
}
# shellcheck disable=SC2046
build_helper ssim $(pkg-config --cflags --libs vips-cpp)
build_helper toolwrap -static

command -v node >/dev/null || { echo "bench: node is needed for sharp" >&2; exit 1; }
if [ ! -d "$bench/node/node_modules/sharp" ]; then
    echo "installing sharp from npm…"
    (cd "$bench/node" && npm ci --no-audit --no-fund >"$out/npm.log" 2>&1) ||
        { echo "npm ci failed: see $out/npm.log" >&2; exit 1; }
fi

exec /usr/bin/python3 "$bench/encoders.py" --bundle-exe "$bundle_exe" --ssim "$out/bin/ssim" \
    --toolwrap "$out/bin/toolwrap" --node-dir "$bench/node" --out "$out" "$@"
