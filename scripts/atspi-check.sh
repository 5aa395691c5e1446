#!/usr/bin/env bash
# The panel walked with Tab through at-spi, in both languages, on a virtual screen with a
# tray: fails when a control reaches assistive technology without a name.
#   scripts/atspi-check.sh [PROGRAM]   (default: the debug build's program)
# Needs xvfb, trayer, x11-utils, dbus, at-spi2-core, python3-pyatspi and xdotool.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${VELK_ATSPI_BUS:-}" ]; then
    # A private session bus of its own: the accessibility bus is started through it.
    VELK_ATSPI_BUS=1 exec dbus-run-session -- "$0" "$@"
fi
program=${1:-$root/build/debug/src/app/VelkCompressor}
work=$(mktemp -d /tmp/velk-atspi.XXXXXX)
mkdir -m 0700 "$work/run"
export XDG_RUNTIME_DIR="$work/run" QT_QPA_PLATFORM=xcb
. "$root/scripts/xsession.sh"
cleanup() { xsession_stop; rm -rf "$work"; }
xsession_start
trap cleanup EXIT
for language in english russian; do
    /usr/bin/python3 "$root/tests/app/atspi_panel_check.py" "$program" "$language"
done
