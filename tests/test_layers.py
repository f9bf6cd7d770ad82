"""The package's modules import each other one way only: no module imports one
above it, not even inside a function, so data written by vamra.save flows
package -> values -> native writer and no import waits on a half-made module."""

import ast
import importlib.util
import pathlib

import pytest

PACKAGE = pathlib.Path(importlib.util.find_spec("vamra").origin).parent

# Lower layers first. A module may import modules of its own layer or below
# (the graph must still be free of cycles); the top layer is the user's.
LAYERS = [
    {"_version", "_native", "_arrays", "ragged"},
    {"quantize"},
    {"_values"},
    {"_layout"},
    {"_packets"},
    {"remote"},
    {"files"},
    {"shards"},
]


def _module_names():
    return sorted(p.stem for p in PACKAGE.glob("*.py"))


def _imports(name):
    """The vamra modules that module `name` imports, anywhere in its body."""
    tree = ast.parse((PACKAGE / f"{name}.py").read_text())
    found = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                if alias.name.startswith("vamra."):
                    found.add(alias.name.split(".")[1])
                elif alias.name == "vamra":
                    found.add("__init__")
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            if node.module == "vamra":
                for alias in node.names:
                    is_module = (PACKAGE / f"{alias.name}.py").exists() or alias.name == "_native"
                    found.add(alias.name if is_module else "__init__")
            elif node.module.startswith("vamra."):
                found.add(node.module.split(".")[1])
        elif (
            isinstance(node, ast.Call)
            and getattr(node.func, "attr", None) == "import_module"
            and node.args
            and isinstance(node.args[0], ast.Constant)
            and str(node.args[0].value).startswith("vamra.")
        ):
            found.add(str(node.args[0].value).split(".")[1])
    found.discard(name)
    return found


def _layer(name):
    for rank, layer in enumerate(LAYERS):
        if name in layer:
            return rank
    return len(LAYERS)


GRAPH = {name: _imports(name) for name in _module_names()}


@pytest.mark.parametrize("name", sorted(GRAPH))
def test_imports_go_down(name):
    above = {other for other in GRAPH[name] if _layer(other) > _layer(name)}
    assert not above, f"vamra.{name} imports modules above it: {sorted(above)}"


def test_no_cycles():
    state = {}

    def visit(name, path):
        if state.get(name) == "done":
            return
        assert state.get(name) != "open", "import cycle: " + " -> ".join([*path, name])
        state[name] = "open"
        for other in sorted(GRAPH.get(name, ())):
            visit(other, [*path, name])
        state[name] = "done"

    for name in sorted(GRAPH):
        visit(name, [])
