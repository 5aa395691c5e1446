#!/usr/bin/env bash
# The history with its menu and details, the settings in both languages and the three
# confirmations, at 1x, at 2x and with a 16 pt application font, photographed on a
# virtual X screen. Writes PNG files into docs/screenshots/shell/.
#   scripts/shell-screenshots.sh [DESKTOP-SESSION]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
session=${1:-$root/../../shared/tools/desktop-session}
[ -x "$session" ] || session=/work/shared/tools/desktop-session
cmake --build "$root/build/debug" --target velk_shell_shots >/dev/null
shots=$root/build/debug/tests/app/velk_shell_shots
out=$root/docs/screenshots/shell
mkdir -p "$out"
"$session" -s 1200x1000 "$shots" "$out"
"$session" -s 2000x2000 -d 2 "$shots" "$out" @2x
VELK_SHOT_FONT_PT=16 "$session" -s 1600x1500 "$shots" "$out" -16pt
