#!/usr/bin/env bash
# AVIF and HEIC benchmark: the program's in-process AVIF and HEIC encodes of the photos of
# bench/encoders.sh in bytes, SSIM and seconds per megapixel, beside ImageMagick's on the
# same files; with --baseline, other builds run on the same files in the same run,
# interleaved file by file. See bench/README.md.
#
#   bench/avif.sh [--baseline [LABEL=]PROGRAM]... [--formats avif,heic] [--quick] [PROGRAM]
#
# PROGRAM defaults to this checkout's release build (built first).
set -euo pipefail
# shellcheck source-path=SCRIPTDIR
# shellcheck source=prepare.sh
. "$(dirname "$0")/prepare.sh"
mkdir -p "$out/bin"

options=()
baselines=()
program=
while [ $# -gt 0 ]; do
    case "$1" in
    --baseline) options+=("$1" "$2"); baselines+=("$2"); shift 2 ;;
    --formats) options+=("$1" "$2"); shift 2 ;;
    --quick) options+=("$1"); shift ;;
    *) program=$1; shift ;;
    esac
done

bench_install_packages
[ -n "$program" ] || bench_build_release
for exe in "$program" "${baselines[@]}"; do
    exe=${exe#*=} # a LABEL= before the path
    [ -x "$exe" ] || { echo "no program at $exe" >&2; exit 1; }
done

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

exec /usr/bin/python3 "$bench/avif.py" --program "$program" "${options[@]}" \
    --ssim "$out/bin/ssim" --toolwrap "$out/bin/toolwrap" --out "$out"
