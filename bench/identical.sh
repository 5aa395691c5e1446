#!/usr/bin/env bash
# Runs two builds of the program over copies of one folder of images, one after the other
# and in alternating order, and says whether their outputs are byte-identical, with each
# build's wall time. For changes that must not change a single output byte.
#
#   bench/identical.sh [--without-marks] OLD_PROGRAM NEW_PROGRAM FOLDER [ROUNDS]
#
# Each run is `--headless --once --originals keep --jobs 2` with settings of its own. With
# --without-marks, JPEG, PNG and WebP files are compared with the program's output mark
# taken out (bench/unmarked.py): for builds whose marks say different things.
set -euo pipefail
digest=sha256sum
if [ "${1:-}" = --without-marks ]; then
    digest="/usr/bin/python3 $(dirname "$(realpath "$0")")/unmarked.py"
    shift
fi
old=$(realpath "$1"); new=$(realpath "$2"); source=$(realpath "$3"); rounds=${4:-2}
work=$(mktemp -d /tmp/velk-identical.XXXXXX)
trap 'rm -rf "$work"' EXIT

run() { # LABEL PROGRAM ROUND
    local dir="$work/$1-$3"
    mkdir -p "$dir/support" "$dir/run"; chmod 700 "$dir/run"
    cp -a "$source" "$dir/folder"
    local start end
    start=$(date +%s.%N)
    env VELK_CONFIG_DIR="$dir/support" VELK_LOG_DIR="$dir/support" XDG_RUNTIME_DIR="$dir/run" \
        HOME="$dir" LANG=C.UTF-8 "$2" --headless --watch "$dir/folder" --originals keep \
        --jobs 2 --once >"$dir/out.txt" 2>&1
    end=$(date +%s.%N)
    echo "$end - $start" | bc >"$dir/seconds"
    (cd "$dir/folder" && find . -type f ! -path './.velk-compressor-backups/*' -print0 |
        sort -z | xargs -0 $digest) >"$dir/digests"
}

for round in $(seq "$rounds"); do
    if ((round % 2)); then run old "$old" "$round"; run new "$new" "$round"
    else run new "$new" "$round"; run old "$old" "$round"; fi
done
status=0
for round in $(seq "$rounds"); do
    if cmp -s "$work/old-$round/digests" "$work/new-$round/digests"; then same=identical
    else same=DIFFERENT; status=1; diff "$work/old-$round/digests" "$work/new-$round/digests" || true; fi
    printf 'round %d: old %.2fs, new %.2fs (new/old %.3f), outputs %s, %d files\n' "$round" \
        "$(cat "$work/old-$round/seconds")" "$(cat "$work/new-$round/seconds")" \
        "$(echo "$(cat "$work/new-$round/seconds") / $(cat "$work/old-$round/seconds")" | bc -l)" \
        "$same" "$(wc -l <"$work/new-$round/digests")"
done
exit $status
