#!/usr/bin/env bash
# Idle cost of the engine: a folder of 2,000 sources already handled (policy keep, their
# outputs beside them), watched with the real one-second polling while nothing changes.
# Prints the CPU time the engine process spends over the measured interval.
#
#   bench/idle.sh [SECONDS]   (default 60)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
"$root/scripts/build.sh" release >"${TMPDIR:-/tmp}/velk-idle-build.log" 2>&1 || { echo "build failed: see ${TMPDIR:-/tmp}/velk-idle-build.log"; exit 1; }
cmake --build "$root/build/release" --target velk_engine_driver >/dev/null
driver="$root/build/release/tests/engine/velk_engine_driver"

work=$(mktemp -d /tmp/velk-idle-XXXXXX)
trap 'rm -rf "$work"' EXIT
export VELK_LOG_DIR="$work/logs"
mkdir -p "$work/seed" "$work/folder"
"$driver" --make-images "$work/seed"
# Small distinct files: 2,000 copies of one photo, each with a different trailing byte.
for i in $(seq -w 1 2000); do
    cp "$work/seed/logo.png" "$work/folder/image-$i.png"
    printf '%s' "$i" >> "$work/folder/image-$i.png"
done
echo "handling 2,000 sources once (keep, jpeg)…"
time "$driver" "$work/folder" "$work/registry.json" keep jpeg
echo "outputs beside: $(ls "$work/folder" | grep -c _velkcompressed)"
echo "restarting and measuring ${seconds}s of idle polling…"
"$driver" "$work/folder" "$work/registry.json" keep jpeg --idle "$seconds"
