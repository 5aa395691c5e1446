#!/usr/bin/env bash
# How far a lossless rewrite can take pngquant's files: the bundle's pngquant, run as the
# program runs it at the default quality, then the bundle's oxipng on its file at levels 2
# (the program's), 4 and 6 and at level 2 with Zopfli, on the PNG benchmark's corpus, in
# bytes and seconds. pngquant's file wins on most of that corpus, and its pixels are set by
# the quality: what no level gains here, no level can gain the program. See bench/README.md.
#
#   bench/png-floor.sh [PROGRAM]
set -euo pipefail
# shellcheck source-path=SCRIPTDIR
# shellcheck source=prepare.sh
. "$(dirname "$0")/prepare.sh"
program=${1:-}
bench_install_packages
[ -n "$program" ] || bench_build_release
exec /usr/bin/python3 "$bench/png_floor.py" --program "$program" --out "$out"
