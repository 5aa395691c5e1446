#!/usr/bin/env bash
# Memory benchmark: peak resident memory of `VelkCompressor --headless --once --originals
# keep` on one source of 12, 24 and 50 megapixels per format (JPEG, PNG, WebP, AVIF,
# HEIC) made from Debian's photographs, on a 16-bit PNG, and on the 44 files of
# bench/batch.sh at the default jobs, per process of the run, beside the goals (256 MiB
# for JPEG and WebP sources, 1 GiB for PNG, AVIF and HEIC, 512 MiB for the batch). See
# bench/README.md.
#
#   bench/memory.sh [--baseline [LABEL=]PROGRAM]... [--formats jpeg,png,...]
#                   [--sizes 12,24,50] [--no-batch] [--table FILE]
set -euo pipefail
# shellcheck source-path=SCRIPTDIR
# shellcheck source=prepare.sh
. "$(dirname "$0")/prepare.sh"
mkdir -p "$out"
bench_install_packages
bench_build_release

exec /usr/bin/python3 "$bench/memory.py" --exe "$program" --out "$out" "$@"
