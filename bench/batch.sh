#!/usr/bin/env bash
# Batch benchmark: one `--headless --once --originals keep` over a folder of 44 images in
# all five formats (mostly 2-12 MP photos, some graphics and screenshots), made once from
# Debian packages, with one file at a time and, where the program has --jobs, two at once.
# Prints the wall time of each, their ratio, whether the outputs are byte-identical and
# the bytes saved. See bench/README.md.
#
#   bench/batch.sh [--program PATH] [--keep]
#
# Without --program the release bundle is built first; --keep leaves the runs' folders.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR
# shellcheck source=prepare.sh
. "$(dirname "$0")/prepare.sh"
bench_prepare "$@"
exec /usr/bin/python3 "$bench/batch.py" --exe "$program" --out "$out" "${bench_args[@]}"
