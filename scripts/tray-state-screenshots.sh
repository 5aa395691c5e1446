#!/usr/bin/env bash
# Takes screenshots of the tray program's lasting states as a person sees them: the icon
# with its tooltip on a dark and on a light panel, and the panel of each state, from real
# runs on a virtual screen with a tray host. Also the first-run question, a batch under way
# and its summary. Writes PNG files into docs/screenshots/desktop/.
#   scripts/tray-state-screenshots.sh [PROGRAM]   (default: the debug build's program)
#   PARTS="states first-run 2x" (default) picks what to take.
# Needs xvfb trayer x11-utils xdotool imagemagick dbus.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
    exec dbus-run-session -- "$0" "$@"
fi
program=${1:-$root/build/debug/src/app/VelkCompressor}
out="$root/docs/screenshots/desktop"
work=$(mktemp -d /tmp/velk-states.XXXXXX)
mkdir -p "$out" "$work/run" "$work/home/Pictures"
chmod 0700 "$work/run"
export HOME="$work/home" VELK_CONFIG_DIR="$work/support" VELK_LOG_DIR="$work/logs"
export XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=xcb
inbox="$HOME/Pictures/Inbox"
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
trap cleanup EXIT

start_tray() {
    "$program" >>"$work/tray.log" 2>&1 &
    tray=$!
    sleep "${1:-2.5}"
}
screen_width() { xdpyinfo | awk '/dimensions:/ { split($2, s, "x"); print s[1] }'; }
scale() { echo "${QT_SCALE_FACTOR:-1}"; }

# tooltip NAME: hovers over the tray icon and takes the top-right corner with its tooltip.
tooltip() {
    local s w
    s=$(scale)
    w=$(screen_width)
    xdotool mousemove $((w - 14 * s)) $((14 * s))
    sleep 2.5
    import -window root -crop "$((420 * s))x$((110 * s))+$((w - 420 * s))+0" +repage "$out/$1.png"
    xdotool mousemove $((w / 2)) $((400 * s))
    sleep 0.3
    echo "screenshots: $out/$1.png"
}

# panel NAME: opens the panel and takes it with the tray above it.
panel() {
    local s w
    s=$(scale)
    w=$(screen_width)
    "$program" --show panel >/dev/null
    sleep 1.2
    import -window root -crop "$((460 * s))x$((${PANEL_HEIGHT:-560} * s))+$((w - 460 * s))+0" \
        +repage "$out/$1.png"
    xdotool key Escape
    sleep 0.5
    echo "screenshots: $out/$1.png"
}

config() {
    mkdir -p "$VELK_CONFIG_DIR"
    python3 - "$VELK_CONFIG_DIR/native-config.json" "$@" <<'PY'
import json, os, sys
path = sys.argv[1]
config = json.load(open(path)) if os.path.exists(path) else {}
for item in sys.argv[2:]:
    key, value = item.split("=", 1)
    config[key] = json.loads(value)
json.dump(config, open(path, "w"), ensure_ascii=False)
PY
}

images() {
    mkdir -p "$inbox"
    convert -size 1600x1200 plasma:fractal -blur 0x2 -quality 97 "$inbox/holiday.jpg"
    convert -size 1200x900 gradient:'#3a7bd5-#f4d03f' "$inbox/banner.png"
    convert -size 900x600 plasma:tomato-steelblue -quality 98 "$inbox/poster.webp"
}

folder_url() { python3 -c 'import pathlib,sys; print(pathlib.Path(sys.argv[1]).as_uri() + "/")' "$1"; }

# unavailable TONE: the folder moved away while it is wanted.
unavailable() {
    mv "$inbox" "$inbox.away"
    start_tray
    # The panel opens by itself on a folder that is not there; the tooltip comes after.
    xdotool key Escape
    sleep 0.6
    tooltip "state-folder-unavailable-$1"
    [ "$1" = dark ] && panel "panel-folder-unavailable"
    stop_tray
    mv "$inbox.away" "$inbox"
}

# The states, on one panel colour: a real run gives the history its rows first.
states() {
    local tone=$1
    rm -rf "$VELK_CONFIG_DIR" "$inbox"
    images
    config language='"english"' watchDirectory="\"$(folder_url "$inbox")\"" enabled=true \
        autostartAsked=true
    "$program" --headless --once >/dev/null 2>&1 || true

    start_tray
    tooltip "state-idle-$tone"
    [ "$tone" = dark ] && panel "panel-idle"
    stop_tray

    printf 'not an image' >"$inbox/broken.jpg"
    start_tray 4
    tooltip "state-attention-$tone"
    stop_tray
    rm -f "$inbox/broken.jpg"

    config paused=true pausedUntil="\"$(date -u -d '+90 minutes' +%Y-%m-%dT%H:%M:00Z)\""
    start_tray
    tooltip "state-paused-$tone"
    [ "$tone" = dark ] && panel "panel-paused"
    stop_tray
    config paused=false pausedUntil=null

    unavailable "$tone"

    config enabled=false
    start_tray
    tooltip "state-off-$tone"
    stop_tray
    config enabled=true

    # A batch long enough to be seen under way, then its summary row.
    local count=16
    for i in $(seq $count); do
        convert -size 4000x3000 plasma:fractal -quality 98 "$inbox/trip-$i.jpg"
    done
    start_tray 1.5
    [ "$tone" = dark ] && panel "panel-working"
    tooltip "state-working-$tone"
    for _ in $(seq 180); do
        [ "$(ls "$inbox" | grep -c '^trip-.*_velkcompressed')" -ge $count ] && break
        sleep 1
    done
    sleep 3
    [ "$tone" = dark ] && panel "panel-summary"
    stop_tray
    rm -f "$inbox"/trip-*
}

parts=" ${PARTS:-states first-run 2x} "
if [[ $parts == *" states "* ]]; then
    XSESSION_SIZE=1280x800 XSESSION_BACKGROUND='#dfe3e8' XSESSION_TRAY_TINT=0x1f1f1f xsession_start
    states dark
    xsession_stop
    XSESSION_SIZE=1280x800 XSESSION_BACKGROUND='#dfe3e8' XSESSION_TRAY_TINT=0xf2f2f2 xsession_start
    states light
    xsession_stop
fi

# The first run: the onboarding, the folder dialog, then the question about the images
# already there, and the panel that confirms the folder.
if [[ $parts == *" unavailable "* ]]; then
    for tone in dark:0x1f1f1f light:0xf2f2f2; do
        XSESSION_SIZE=1280x800 XSESSION_BACKGROUND='#dfe3e8' XSESSION_TRAY_TINT=${tone#*:} \
            xsession_start
        rm -rf "$VELK_CONFIG_DIR" "$inbox"
        images
        config language='"english"' watchDirectory="\"$(folder_url "$inbox")\"" enabled=true \
            autostartAsked=true
        unavailable "${tone%%:*}"
        xsession_stop
    done
fi

if [[ $parts == *" first-run "* ]]; then
    XSESSION_SIZE=1280x800 XSESSION_BACKGROUND='#dfe3e8' XSESSION_TRAY_TINT=0x1f1f1f xsession_start
    rm -rf "$VELK_CONFIG_DIR" "$inbox"
    images
    config language='"english"'
    start_tray 3
    w=$(screen_width)
    PANEL_HEIGHT=380 panel "panel-onboarding-quit"
    "$program" --show panel >/dev/null
    sleep 1
    xdotool mousemove $((w - 151)) 285 click 1
    sleep 2.5
    xdotool type --delay 30 "$inbox"
    xdotool key Return
    sleep 2.5
    import -window root -crop 760x300+260+250 +repage "$work/question.png"
    convert "$work/question.png" -fuzz 3% -trim +repage -bordercolor '#dfe3e8' -border 16 \
        "$out/first-run-question.png"
    echo "screenshots: $out/first-run-question.png"
    xdotool key Escape
    sleep 2
    PANEL_HEIGHT=600 panel "panel-watching"
    stop_tray
    xsession_stop
fi

# 2x: the idle and attention states on a dark panel.
if [[ $parts == *" 2x "* ]]; then
    XSESSION_SIZE=2560x1600 XSESSION_BACKGROUND='#dfe3e8' XSESSION_TRAY_TINT=0x1f1f1f \
        XSESSION_TRAY_WIDTH=320 XSESSION_TRAY_HEIGHT=56 xsession_start
    rm -rf "$VELK_CONFIG_DIR" "$inbox"
    images
    config language='"english"' watchDirectory="\"$(folder_url "$inbox")\"" enabled=true \
        autostartAsked=true
    "$program" --headless --once >/dev/null 2>&1 || true
    export QT_SCALE_FACTOR=2
    start_tray
    tooltip "state-idle-dark@2x"
    stop_tray
    printf 'not an image' >"$inbox/broken.jpg"
    start_tray 4
    tooltip "state-attention-dark@2x"
    stop_tray
fi
