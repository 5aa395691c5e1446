# Sourced by the scripts that run the tray program under a virtual screen: starts Xvfb on
# the first free display and a tray host (trayer) along its top edge, exports DISPLAY, and
# stops both when the calling script exits. Needs xvfb, trayer and x11-utils.
#   XSESSION_SIZE=1280x800 (default) XSESSION_BACKGROUND='#dfe3e8' (optional)
#   XSESSION_TRAY_TINT=0x1f1f1f (optional): the tray's own colour, to try dark and light panels
#   XSESSION_TRAY_WIDTH=160, XSESSION_TRAY_HEIGHT=28: the tray strip's size with a tint
xsession_start() {
    local size=${XSESSION_SIZE:-1280x800} n=90
    while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 "${size}x24" -nolisten tcp -noreset >/dev/null 2>&1 &
    XSESSION_XVFB=$!
    trap xsession_stop EXIT
    export DISPLAY=":$n"
    for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done
    xdpyinfo >/dev/null 2>&1 || { echo "xsession: Xvfb did not start" >&2; return 1; }
    if [ -n "${XSESSION_BACKGROUND:-}" ] && command -v xsetroot >/dev/null; then
        xsetroot -solid "$XSESSION_BACKGROUND"
    fi
    local colour=(--transparent false --tint 0x303030)
    # A strip as wide as a panel's tray area, so the icon is seen on the panel's colour.
    [ -n "${XSESSION_TRAY_TINT:-}" ] && colour=(--transparent true --alpha 0 --tint "$XSESSION_TRAY_TINT"
        --widthtype pixel --width "${XSESSION_TRAY_WIDTH:-160}")
    local width=(--widthtype request)
    [ -n "${XSESSION_TRAY_TINT:-}" ] && width=()
    trayer --edge top --align right "${width[@]}" --height "${XSESSION_TRAY_HEIGHT:-28}" --SetDockType true \
        "${colour[@]}" >/dev/null 2>&1 &
    XSESSION_TRAY=$!
    # trayer owns the tray selection a moment after it starts.
    sleep 0.5
}

xsession_stop() {
    [ -n "${XSESSION_TRAY:-}" ] && kill "$XSESSION_TRAY" 2>/dev/null || true
    [ -n "${XSESSION_XVFB:-}" ] && kill "$XSESSION_XVFB" 2>/dev/null || true
    wait 2>/dev/null || true
}
