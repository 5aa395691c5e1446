#!/usr/bin/python3
"""Walks the tray program's panel with Tab, as a screen-reader user does, and fails on a
control that at-spi reports without a name (a list counts as named by its label).

    tests/app/atspi_panel_check.py PROGRAM [LANGUAGE]

Run inside a desktop with a tray and a session bus (scripts/atspi-check.sh starts one).
Needs python3-pyatspi. Exit status: 0 all named, 1 an unnamed control, 2 could not check.
"""
import os
import subprocess
import sys
import tempfile
import time

import pyatspi
from gi.repository import GLib

CONTROL_ROLES = {
    pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_TOGGLE_BUTTON, pyatspi.ROLE_CHECK_BOX,
    pyatspi.ROLE_COMBO_BOX, pyatspi.ROLE_SLIDER, pyatspi.ROLE_RADIO_BUTTON,
    pyatspi.ROLE_LIST, pyatspi.ROLE_TABLE, pyatspi.ROLE_MENU_ITEM, pyatspi.ROLE_LINK,
    pyatspi.ROLE_SPIN_BUTTON, pyatspi.ROLE_TEXT, pyatspi.ROLE_FILLER, pyatspi.ROLE_PANEL,
}


def announced(obj):
    """The name a screen reader says: its own, else the label that labels it."""
    name = (obj.name or "").strip()
    if obj.getRole() == pyatspi.ROLE_COMBO_BOX or not name:
        for relation in obj.getRelationSet():
            if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
                for i in range(relation.getNTargets()):
                    label = (relation.getTarget(i).name or "").strip()
                    if label:
                        return label
        if obj.getRole() == pyatspi.ROLE_COMBO_BOX:
            return ""
    return name


def find_app(pid, timeout):
    deadline = time.time() + timeout
    while time.time() < deadline:
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            try:
                if app is not None and app.get_process_id() == pid:
                    return app
            except Exception:
                pass
        time.sleep(0.5)
    return None


class FocusWatch:
    """The object that last announced it took the focus. The panel is a popup, which Qt
    leaves out of the application's tree: only its focus events tell where Tab went."""

    def __init__(self, pid):
        self.pid = pid
        self.current = None
        pyatspi.Registry.registerEventListener(self.changed, "object:state-changed:focused")

    def changed(self, event):
        try:
            if event.detail1 == 1 and event.source.get_process_id() == self.pid:
                self.current = event.source
        except Exception:
            pass

    def pump(self, seconds):
        context = GLib.MainContext.default()
        deadline = time.time() + seconds
        while time.time() < deadline:
            while context.iteration(False):
                pass
            time.sleep(0.02)


def press_tab():
    if subprocess.run(["xdotool", "key", "Tab"], stderr=subprocess.DEVNULL).returncode != 0:
        pyatspi.Registry.generateKeyboardEvent(23, None, pyatspi.KEY_PRESSRELEASE)  # Tab


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    program = sys.argv[1]
    language = sys.argv[2] if len(sys.argv) > 2 else "english"
    work = tempfile.mkdtemp(prefix="velk-atspi.")
    folder = os.path.join(work, "Inbox")
    os.makedirs(folder)
    os.makedirs(os.path.join(work, "support"))
    with open(os.path.join(work, "support", "native-config.json"), "w") as config:
        config.write('{"language": "%s", "enabled": false, "autostartAsked": true, '
                     '"watchDirectory": "file://%s/"}' % (language, folder))
    env = dict(os.environ, VELK_CONFIG_DIR=os.path.join(work, "support"),
               VELK_LOG_DIR=os.path.join(work, "logs"), QT_ACCESSIBILITY="1",
               QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
    tray = subprocess.Popen([program], env=env, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    watch = FocusWatch(tray.pid)
    try:
        watch.pump(2)
        subprocess.run([program, "--show", "panel"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=20)
        app = find_app(tray.pid, 20)
        if app is None:
            print("atspi-check: the program never reached the accessibility bus")
            return 2
        watch.pump(1)
        seen, unnamed, first = [], [], None
        for _ in range(40):
            press_tab()
            watch.pump(0.4)
            obj = watch.current
            if obj is None:
                continue
            key = (obj.getRole(), obj.name, obj.getIndexInParent(), obj.parent.name if obj.parent else "")
            if key == first:
                break
            first = first or key
            name = announced(obj)
            seen.append("%s %r" % (obj.getRoleName(), name))
            if not name:
                unnamed.append("%s (child %d of %s)" % (obj.getRoleName(), obj.getIndexInParent(),
                                                        obj.parent.getRoleName() if obj.parent else "?"))
        for line in seen:
            print("  " + line)
        if len(seen) < 5:
            print("atspi-check: Tab reached only %d controls" % len(seen))
            return 2
        if unnamed:
            print("atspi-check: unnamed: " + ", ".join(unnamed))
            return 1
        print("atspi-check: %d controls, all named (%s)" % (len(seen), language))
        return 0
    finally:
        tray.terminate()
        try:
            tray.wait(10)
        except subprocess.TimeoutExpired:
            tray.kill()


if __name__ == "__main__":
    sys.exit(main())
