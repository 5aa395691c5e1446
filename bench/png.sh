#!/usr/bin/env bash
# PNG benchmark: the program's PNG path in seconds per megapixel, bytes and winning
# candidate per file, on a corpus of PNGs it builds from Debian packages; with
# --baseline, other builds of the program run on the same corpus in the same run,
# interleaved file by file, and the table compares them. See bench/README.md.
#
#   bench/png.sh [--baseline [LABEL=]PROGRAM]... [--files NAME,...] [PROGRAM]
#
# PROGRAM defaults to this checkout's release build (built first). A PROGRAM is the
# VelkCompressor executable inside a bundle (…/VelkCompressor.app/Contents/MacOS/).
set -euo pipefail
# shellcheck source-path=SCRIPTDIR
# shellcheck source=prepare.sh
. "$(dirname "$0")/prepare.sh"
mkdir -p "$out/bin"

baseline=()
files=()
program=
while [ $# -gt 0 ]; do
    case "$1" in
    --baseline) baseline+=(--baseline "$2"); shift 2 ;;
    --files) files=(--files "$2"); shift 2 ;;
    *) program=$1; shift ;;
    esac
done

bench_install_packages
[ -n "$program" ] || bench_build_release
for exe in "$program" "${baseline[@]}"; do
    [ "$exe" = --baseline ] && continue
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
build_helper toolwrap -static
# shellcheck disable=SC2046
build_helper samepixels $(pkg-config --cflags --libs vips-cpp)

exec /usr/bin/python3 "$bench/png.py" --program "$program" "${baseline[@]}" "${files[@]}" \
    --toolwrap "$out/bin/toolwrap" --samepixels "$out/bin/samepixels" --out "$out"
