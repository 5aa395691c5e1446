#!/usr/bin/env bash
# Takes the README's screenshots of the tray program as a person sees it: on a virtual
# screen with a tray host, the panel (onboarding and main view, Russian and English), the
# settings window and the history window with rows from a real compression run, and the
# panel at 2x scale. Writes PNG files into docs/screenshots/desktop/.
#   scripts/screenshots.sh [PROGRAM]   (default: the release bundle's program)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
    # Notifications and the file manager go through the session bus.
    exec dbus-run-session -- "$0" "$@"
fi
program=${1:-$root/build/release/VelkCompressor.app/Contents/MacOS/VelkCompressor}
out="$root/docs/screenshots/desktop"
work=$(mktemp -d /tmp/velk-shots.XXXXXX)
mkdir -p "$out" "$work/run" "$work/inbox"
chmod 0700 "$work/run"
export VELK_CONFIG_DIR="$work/support" VELK_LOG_DIR="$work/logs" XDG_RUNTIME_DIR="$work/run"
export QT_QPA_PLATFORM=xcb
. "$root/scripts/xsession.sh"

tray=
stop_tray() {
    if [ -n "$tray" ]; then
        kill -TERM "$tray" 2>/dev/null || true
        wait "$tray" 2>/dev/null || true
        tray=
    fi
}
cleanup() { stop_tray; xsession_stop; rm -rf "$work"; }

start_tray() {
    "$program" >>"$work/tray.log" 2>&1 &
    tray=$!
    sleep 1.5
}

show() {
    "$program" --show "$1" >/dev/null
    sleep 1
}

# shot NAME [WINDOW-NAME]: the screen's top-right corner with the tray and the panel, or
# one window by its title.
shot() {
    if [ $# -gt 1 ]; then
        import -window "$(xwininfo -name "$2" | awk '/Window id:/ { print $4 }')" "$out/$1.png"
    else
        import -window root -crop "${CROP:-460x620}+$(($(screen_width) - ${CROP_W:-460}))+0" +repage \
            "$out/$1.png"
    fi
    echo "screenshots: $out/$1.png"
}
screen_width() { xdpyinfo | awk '/dimensions:/ { split($2, s, "x"); print s[1] }'; }

set_language() {
    python3 - "$VELK_CONFIG_DIR/native-config.json" "$1" <<'PY'
import json, sys
path, language = sys.argv[1], sys.argv[2]
with open(path) as f:
    config = json.load(f)
config["language"] = language
with open(path, "w") as f:
    json.dump(config, f, ensure_ascii=False)
PY
}

XSESSION_SIZE=1280x800 XSESSION_BACKGROUND='#dfe3e8' xsession_start
trap cleanup EXIT

# First launch: no folder yet, so the panel opens by itself on its onboarding view.
start_tray
shot panel-onboarding-ru
stop_tray
mkdir -p "$VELK_CONFIG_DIR"
printf '{"language":"english"}' >"$VELK_CONFIG_DIR/native-config.json"
start_tray
shot panel-onboarding-en
stop_tray

# A real run over a few images gives the history its rows.
convert -size 1600x1200 plasma:fractal -blur 0x2 -quality 97 "$work/inbox/holiday.jpg"
convert -size 1200x900 gradient:'#3a7bd5-#f4d03f' "$work/inbox/banner.png"
convert -size 900x600 plasma:tomato-steelblue -quality 98 "$work/inbox/poster.webp"
convert -size 64x64 xc:white -define png:compression-level=9 "$work/inbox/blank.png"
printf 'not an image' >"$work/inbox/broken.jpg"
"$program" --headless --watch "$work/inbox" --once >/dev/null 2>&1 || true
set_language english

start_tray
show panel
shot panel-en
show settings
shot settings-en "Settings"
show history
shot history-en "Compression history"
stop_tray

set_language russian
start_tray
show panel
shot panel-ru
show settings
shot settings-ru "Настройки"
show history
shot history-ru "История сжатий"
stop_tray
xsession_stop

# The same panel on a 2x screen.
set_language english
XSESSION_SIZE=2560x1600 XSESSION_BACKGROUND='#dfe3e8' xsession_start
QT_SCALE_FACTOR=2 start_tray
QT_SCALE_FACTOR=2 show panel
CROP=920x1240 CROP_W=920 shot panel-en@2x
stop_tray
