#!/usr/bin/env bash
# Small-files benchmark: COUNT small JPEG and PNG images (a few KB to about 100 KB, distinct
# bytes, made once from Debian packages) through one `--headless --once --originals keep`.
# Prints the wall time and the time per file. See bench/README.md.
#
#   bench/small-files.sh [--program PATH] [COUNT]   (default 1200)
#
# Without --program the release bundle is built first.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR
# shellcheck source=prepare.sh
. "$(dirname "$0")/prepare.sh"
bench_prepare "$@"
exec /usr/bin/python3 "$bench/small-files.py" --exe "$program" --out "$out" "${bench_args[@]}"
