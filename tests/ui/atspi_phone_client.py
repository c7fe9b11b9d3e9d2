#!/usr/bin/env python3
"""A screen reader's view of the phone window, through the AT-SPI bus.

Finds the application "Kestrona", lists its keys by name and role, types a
number and presses the call key through their accessible actions, then
reads the display's call-state text and checks that its change was
announced. The phone runs with calls going nowhere, so a call ends in the
"not online" state. Prints what it found; exits non-zero on a fault.
"""
import sys
import time

import pyatspi
from gi.repository import GLib

EXPECTED_KEYS = {
    "en": ["Call / Answer", "Hang up", "Phone book", "Incoming calls", "Outgoing calls",
           "Missed calls", "Number 1", "Number 0", "Clear", "Start recording",
           "Switch on auto-answer", "Settings"],
    "zh": ["呼叫 / 接听", "挂断", "电话簿", "Number 1", "清除", "设置"],
}
EXPECTED_STATUS = {"en": ("Ready...", "Peer not online"), "zh": ("就绪...", "对方不在线")}
BUTTON_ROLES = (pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_TOGGLE_BUTTON)

failures = []


def fail(message):
    failures.append(message)
    print("FAIL:", message)


def pump(seconds):
    context = GLib.MainContext.default()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        while context.pending():
            context.iteration(False)
        time.sleep(0.02)


def find_app(name, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is not None and app.name == name:
                return app
        time.sleep(0.2)
    return None


def walk(node, depth=0):
    if node is None or depth > 30:
        return
    yield node
    for child in node:
        yield from walk(child, depth + 1)


def press(node):
    action = node.queryAction()
    for i in range(action.nActions):
        if action.getName(i) == "Press":
            return action.doAction(i)
    fail("%r has no press action" % node.name)
    return False


def wait_for(predicate, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        pump(0.1)
        if predicate():
            return True
    return predicate()


def main():
    lang = sys.argv[1] if len(sys.argv) > 1 else "en"
    app = find_app("Kestrona", 30)
    if app is None:
        fail("no application named Kestrona on the accessibility bus")
        return 1

    keys = {}
    fields = []
    for node in walk(app):
        role = node.getRole()
        if role in BUTTON_ROLES:
            keys[node.name] = node
        elif role == pyatspi.ROLE_LABEL:
            fields.append(node)
    print("keys (%d):" % len(keys))
    for name, node in keys.items():
        print("  %-24s %-14s %s" % (name, node.getRoleName(), node.description))
    print("display:")
    for node in fields:
        print("  %-12s %s" % (node.description, node.name))

    for name in EXPECTED_KEYS[lang]:
        if name not in keys:
            fail("no key named %r" % name)
        elif not keys[name].description:
            fail("key %r has no description" % name)
    if len(keys) < 20:
        fail("only %d keys found" % len(keys))

    ready, offline = EXPECTED_STATUS[lang]
    status = [n for n in fields if n.name.startswith(ready)]
    if len(status) != 1:
        fail("no display text reads %r" % ready)
        return 1
    status = status[0]

    announced = []

    def on_event(event):
        if event.source == status or (event.source is not None and
                                      event.source.name == status.name):
            announced.append((event.type, event.source.name))

    pyatspi.Registry.registerEventListener(
        on_event, "object:property-change:accessible-name")

    for digit in "10086":
        press(keys["Number %s" % digit])
    call_name = EXPECTED_KEYS[lang][0]
    press(keys[call_name])
    if not wait_for(lambda: status.name == offline, 10):
        fail("after the call key the display reads %r, not %r" % (status.name, offline))
    peer = [n.name for n in fields if "10086" in n.name]
    if not peer:
        fail("the typed number is not on the display")
    pump(0.5)
    print("after the call key: %r; announced: %r" % (status.name, announced))
    if not any(name == offline for _, name in announced):
        fail("the change to %r was not announced" % offline)
    pyatspi.Registry.deregisterEventListener(
        on_event, "object:property-change:accessible-name")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
