#!/usr/bin/env bash
# Idle cost of the engine: a folder of FILES sources already handled (policy keep, their
# outputs beside them), watched by a freshly started engine with the real timings while
# nothing changes. Prints how long the restart took to settle and what it cost, then the
# CPU time the engine process spends over the measured interval.
#
#   bench/idle.sh [SECONDS] [FILES]   (defaults 60 and 10000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
files=${2:-10000}
. "$root/bench/handled-folder.sh"
build_driver

work=$(mktemp -d /tmp/velk-idle-XXXXXX)
trap 'rm -rf "$work"' EXIT
export VELK_LOG_DIR="$work/logs"
make_handled_folder "$work" "$files"
echo "restarting and measuring ${seconds}s of idle…"
"$driver" "$work/folder" "$work/registry.json" keep jpeg --idle "$seconds"
grep -h "Watching" "$work/logs/native.log" | tail -1 | sed 's/^\[[^]]*\] /mode: /'
