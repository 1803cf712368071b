#!/usr/bin/python3
"""Reads a running program's windows as a screen reader does, over AT-SPI.

Every node has a role ("push button", "label", "progress bar", ...), a name
(what a screen reader says), a description (the tool tip), states
("enabled", "showing", "checked", ...) and, where it has them, a text and a
value. Tests and the main job use this module to see what a user sees; on
the command line:

    a11y.py dump APP                 one JSON object per node, depth first
    a11y.py wait APP ROLE NAME [S]   waits up to S seconds (default 10) for a
                                     node, prints it as JSON; exit 1 if none
    a11y.py press APP ROLE NAME      does the node's first action (a button's
                                     press), as a screen reader user does
    a11y.py showing APP ROLE NAME    exit 0 when a node of that role and name
                                     is on screen, else 1

Needs the desktop of tools/dev/desktop.sh (a session bus with the
accessibility bus) and Debian's python3-pyatspi.
"""
import json
import sys
import time

import pyatspi


def application(name, timeout=10.0):
    """The accessible application called NAME, waiting for it to appear."""
    deadline = time.monotonic() + timeout
    while True:
        desktop = pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is not None and app.name == name:
                return app
        if time.monotonic() >= deadline:
            raise LookupError("no accessible application %r (have: %s)" % (
                name, ", ".join(sorted(a.name for a in desktop if a is not None))))
        time.sleep(0.1)


def walk(node, depth=0):
    """The node and everything below it, depth first, with its depth."""
    yield node, depth
    for child in node:
        if child is not None:
            yield from walk(child, depth + 1)


def describe(node, depth=0):
    """What a screen reader knows of one node, as a plain dict."""
    info = {
        "depth": depth,
        "role": node.getRoleName(),
        "name": node.name,
        "description": node.description,
        "states": sorted(pyatspi.stateToString(s) for s in node.getState().getStates()),
    }
    try:
        text = node.queryText()
        info["text"] = text.getText(0, text.characterCount)
    except NotImplementedError:
        pass
    try:
        value = node.queryValue()
        info["value"] = value.currentValue
        info["minimum"] = value.minimumValue
        info["maximum"] = value.maximumValue
    except NotImplementedError:
        pass
    try:
        extents = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        info["extents"] = [extents.x, extents.y, extents.width, extents.height]
    except NotImplementedError:
        pass
    return info


def find_all(root, role=None, name=None):
    """Every node below ROOT with that role and name (None matches any)."""
    return [node for node, _ in walk(root)
            if (role is None or node.getRoleName() == role)
            and (name is None or node.name == name)]


def find(root, role=None, name=None, timeout=10.0):
    """The first node below ROOT with that role and name, waiting for it."""
    deadline = time.monotonic() + timeout
    while True:
        found = find_all(root, role, name)
        if found:
            return found[0]
        if time.monotonic() >= deadline:
            raise LookupError("no %s named %r below %r" % (role or "node", name, root.name))
        time.sleep(0.1)


def window(app, title, timeout=10.0):
    """The top-level window (frame or dialog) of APP with that title."""
    deadline = time.monotonic() + timeout
    while True:
        for child in app:
            if child is not None and child.name == title:
                return child
        if time.monotonic() >= deadline:
            raise LookupError("no window %r in %r (have: %s)" % (
                title, app.name, ", ".join(repr(c.name) for c in app if c is not None)))
        time.sleep(0.1)


def has_state(node, state_name):
    return state_name in describe(node)["states"]


def main(argv):
    if len(argv) >= 3 and argv[1] == "dump":
        for node, depth in walk(application(argv[2])):
            print(json.dumps(describe(node, depth)))
        return 0
    if len(argv) in (5, 6) and argv[1] == "wait":
        timeout = float(argv[5]) if len(argv) == 6 else 10.0
        try:
            node = find(application(argv[2], timeout), argv[3], argv[4], timeout)
        except LookupError as error:
            print(error, file=sys.stderr)
            return 1
        print(json.dumps(describe(node)))
        return 0
    if len(argv) == 5 and argv[1] == "press":
        try:
            node = find(application(argv[2]), argv[3], argv[4])
        except LookupError as error:
            print(error, file=sys.stderr)
            return 1
        node.queryAction().doAction(0)
        return 0
    if len(argv) == 5 and argv[1] == "showing":
        try:
            nodes = find_all(application(argv[2], 2.0), argv[3], argv[4])
        except LookupError:
            return 1
        return 0 if any(has_state(node, "showing") for node in nodes) else 1
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
