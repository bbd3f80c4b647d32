"""The runner's rooms import one way: each module imports only its own room
and the rooms below it, as parbench/__init__.py lists them, and no import
goes round in a circle."""

import ast
import os

import pytest

pytestmark = pytest.mark.unit

PACKAGE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "parbench")
# From the top down; a room may import the rooms below it. platform and model stand side by side.
ORDER = ("commands", "run", "report", "analysis", ("platform", "model"), "base")


def level(room):
    for i, entry in enumerate(ORDER):
        if room == entry or isinstance(entry, tuple) and room in entry:
            return i
    raise AssertionError("%s is no room of %s" % (room, ORDER))


def modules():
    """{dotted name under parbench: path} of every module of the package."""
    found = {}
    for folder, _, names in os.walk(PACKAGE):
        for name in names:
            if name.endswith(".py"):
                rel = os.path.relpath(os.path.join(folder, name), PACKAGE)[:-3].replace(os.sep, ".")
                found[rel[:-len(".__init__")] if rel.endswith(".__init__") else rel] = os.path.join(folder, name)
    return found


def imported(name, path):
    """The modules of the package that `name` imports, as dotted names under parbench."""
    package = name if path.endswith("__init__.py") else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(ast.parse(open(path).read())):
        if isinstance(node, ast.ImportFrom) and node.level:
            base = package.split(".") if package else []
            base = base[:len(base) - (node.level - 1)] if node.level > 1 else base
            stem = ".".join(base + ([node.module] if node.module else []))
            for alias in node.names:
                found.add("%s.%s" % (stem, alias.name) if stem else alias.name)
                found.add(stem)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names = [a.name for a in node.names] if isinstance(node, ast.Import) else [node.module or ""]
            found |= {n[len("parbench."):] for n in names if n.startswith("parbench.")}
    return {f for f in found if f}


def test_every_module_imports_only_its_room_and_the_rooms_below_it():
    everything = modules()
    upward = []
    for name, path in everything.items():
        room = name.split(".")[0]
        if room in ("__main__", "history", "launch", ""):
            continue   # the entry names sit above every room
        for target in imported(name, path):
            other = target.split(".")[0]
            if other in everything and other != room and "." not in other and level(other) <= level(room):
                upward.append("%s imports %s" % (name, target))
    assert not upward, upward


def test_no_import_goes_round_in_a_circle():
    everything = modules()
    edges = {name: {t for t in imported(name, path) if t in everything and t != name}
             for name, path in everything.items()}
    state = {}

    def visit(name, trail):
        if state.get(name) == "done":
            return
        assert state.get(name) != "open", "a circle: " + " -> ".join(trail + [name])
        state[name] = "open"
        for target in sorted(edges[name]):
            # A package's own opening imports nothing of its modules.
            if not target.startswith(name + "."):
                visit(target, trail + [name])
        state[name] = "done"
    for name in sorted(edges):
        visit(name, [])


def test_every_room_says_what_it_holds_and_what_it_may_import():
    for room in (r for entry in ORDER for r in (entry if isinstance(entry, tuple) else (entry,))):
        with open(os.path.join(PACKAGE, room, "__init__.py")) as f:
            opening = ast.get_docstring(ast.parse(f.read())) or ""
        assert "import" in opening, room
