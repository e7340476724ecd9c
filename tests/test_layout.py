"""The package's structure as the tree draws it: the toolkit's modules import only
downwards (the command line and the figures on the processing engine, the engine on the
toolkit's modules, never the other way), the imports between modules have no cycles
at import time, and the installed package holds exactly the tree of the sources."""
import ast
import collections
import importlib.util
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = ROOT / "src" / "Aerolume"
# Layers from the top: a module may import from its own layer and the ones below.
LAYERS = [{"cli"}, {"plot"}, {"processing"}]


def _module(path):
    parts = list(path.relative_to(SOURCES.parent).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def _imports(path, *, top_level_only=False):
    tree = ast.parse(path.read_text(encoding="utf-8"))
    nodes = tree.body if top_level_only else ast.walk(tree)
    for node in nodes:
        if isinstance(node, ast.ImportFrom) and node.module and node.module.startswith("Aerolume"):
            for alias in node.names:
                yield node.module if node.module != "Aerolume" else f"Aerolume.{alias.name}"
        elif isinstance(node, ast.Import):
            yield from (a.name for a in node.names if a.name.startswith("Aerolume"))


def _layer(module):
    part = module.split(".")[1] if module.count(".") else ""
    for level, names in enumerate(LAYERS):
        if part in names:
            return level
    return len(LAYERS)


def _sources():
    if not SOURCES.is_dir():
        pytest.skip("needs the source tree")
    return sorted(SOURCES.rglob("*.py"))


def test_no_module_imports_a_layer_above_its_own():
    upward = [(_module(p), d) for p in _sources() for d in _imports(p)
              if _layer(d) < _layer(_module(p))]
    assert upward == []


def test_the_imports_made_at_import_time_have_no_cycle():
    graph = collections.defaultdict(set)
    for path in _sources():
        for target in _imports(path, top_level_only=True):
            graph[_module(path)].add(target)
    state, cycles = {}, []

    def visit(node, trail):
        state[node] = "open"
        for nxt in sorted(graph.get(node, ())):
            if nxt == node or nxt.startswith(node + "."):
                continue  # a package importing its own submodules for its face
            if state.get(nxt) == "open":
                cycles.append(trail[trail.index(nxt):] + [nxt] if nxt in trail else [node, nxt])
            elif nxt not in state:
                visit(nxt, trail + [nxt])
        state[node] = "done"

    for node in sorted(graph):
        if node not in state:
            visit(node, [node])
    assert cycles == []


def test_the_installed_package_is_the_source_tree():
    installed = pathlib.Path(importlib.util.find_spec("Aerolume").origin).parent
    assert installed != SOURCES
    ours = {p.relative_to(SOURCES) for p in _sources()}
    theirs = {p.relative_to(installed) for p in installed.rglob("*.py")}
    assert ours == theirs
