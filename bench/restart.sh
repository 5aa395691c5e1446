#!/usr/bin/env bash
# A restart over an unchanged folder of FILES handled sources (policy keep, outputs
# beside): how long until the engine is idle, the CPU time that took, how many files it
# decided again and whether it rewrote its registry. Three restarts in a row.
#
#   bench/restart.sh [FILES]   (default 2000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
files=${1:-2000}
. "$root/bench/handled-folder.sh"
build_driver

work=$(mktemp -d /tmp/velk-restart-XXXXXX)
trap 'rm -rf "$work"' EXIT
export VELK_LOG_DIR="$work/logs"
make_handled_folder "$work" "$files"
for run in 1 2 3; do
    lines=$(wc -l <"$work/logs/native.log")
    before=$(stat -c %Y.%i "$work/registry.json")
    report=$("$driver" "$work/folder" "$work/registry.json" keep jpeg --idle 0 | grep settled_after)
    decided=$(tail -n +"$((lines + 1))" "$work/logs/native.log" | grep -c "Processed " || true)
    after=$(stat -c %Y.%i "$work/registry.json")
    echo "restart $run: $report decided_again=$decided registry_rewritten=$([ "$before" = "$after" ] && echo no || echo yes)"
done
echo "goal: idle within 5 s, at most 1 s of CPU"
