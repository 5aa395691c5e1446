#!/usr/bin/env bash
# Launches the tray program once in smoke mode on a virtual screen with a tray: it must log
# "Launch smoke complete", start no engine although compression is on, and exit 0 by
# itself within 10 seconds.
#   scripts/launch-smoke.sh [PROGRAM]   (default: build/debug/src/app/VelkCompressor)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
program=${1:-$root/build/debug/src/app/VelkCompressor}
work=$(mktemp -d /tmp/velk-smoke.XXXXXX)
. "$root/scripts/xsession.sh"
cleanup() { xsession_stop; rm -rf "$work"; }
xsession_start
trap cleanup EXIT

export VELK_CONFIG_DIR="$work/support" VELK_LOG_DIR="$work/logs" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$work/inbox" "$XDG_RUNTIME_DIR"
chmod 0700 "$XDG_RUNTIME_DIR"
# A configured folder with compression on: the smoke launch must still not start it.
"$program" --headless --watch "$work/inbox" --once >/dev/null

set +e
start=$(date +%s.%N)
VELK_LAUNCH_SMOKE=1 QT_QPA_PLATFORM=xcb timeout 10 dbus-run-session -- "$program"
status=$?
end=$(date +%s.%N)
set -e
log="$work/logs/native.log"
launch=$(sed -n '/App launched/,$p' "$log")
if [ "$status" -ne 0 ]; then
    echo "launch-smoke: FAILED, exit status $status (124: still running after 10 s)" >&2
    cat "$log" >&2
    exit 1
fi
if ! grep -q "Launch smoke complete" <<<"$launch" || grep -q "Start watcher" <<<"$launch"; then
    echo "launch-smoke: FAILED, the log does not read as a smoke launch:" >&2
    cat "$log" >&2
    exit 1
fi
printf 'launch-smoke: ok, "Launch smoke complete" and exit 0 after %.1f s\n' \
    "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')"
