"""The program as a screen reader sees it: its accessibility tree read over
AT-SPI, fresh at every look (no cache), as plain records."""
from dataclasses import dataclass, field

import pyatspi
from gi.repository import Atspi


@dataclass
class Node:
    role: str
    name: str
    description: str
    states: set = field(default_factory=set)
    # x, y, width, height on the screen
    extents: tuple = (0, 0, 0, 0)
    text: str = ""
    # where in tree() its parent is; -1 for a window
    parent: int = -1

    @property
    def showing(self):
        return "showing" in self.states

    @property
    def enabled(self):
        return "enabled" in self.states and "sensitive" in self.states

    @property
    def centre(self):
        x, y, w, h = self.extents
        return x + w // 2, y + h // 2

    def __str__(self):
        return f"{self.role} {self.name!r} ({self.description!r}) {sorted(self.states)} {self.extents}"


def application(name):
    desktop = pyatspi.Registry.getDesktop(0)
    desktop.set_cache_mask(Atspi.Cache.NONE)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.name == name:
            app.set_cache_mask(Atspi.Cache.NONE)
            return app
    return None


def _node(accessible):
    states = {pyatspi.stateToString(s).replace(" ", "-")
              for s in accessible.getState().getStates()}
    extents = (0, 0, 0, 0)
    text = ""
    interfaces = accessible.get_interfaces()
    if "Component" in interfaces:
        box = accessible.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        extents = (box.x, box.y, box.width, box.height)
    if "Text" in interfaces:
        text_interface = accessible.queryText()
        text = text_interface.getText(0, text_interface.characterCount)
    return Node(accessible.getRoleName(), accessible.name or "", accessible.description or "",
                states, extents, text)


def tree(app):
    """Every node under the application, depth first."""
    nodes = []

    def walk(accessible, parent, depth):
        if accessible is None or depth > 60:
            return
        try:
            node = _node(accessible)
            count = accessible.childCount
        except Exception:  # a node that went while it was read
            return
        node.parent = parent
        nodes.append(node)
        here = len(nodes) - 1
        for i in range(count):
            walk(accessible.getChildAtIndex(i), here, depth + 1)

    app.clear_cache()
    for i in range(app.childCount):
        walk(app.getChildAtIndex(i), -1, 0)
    return nodes
