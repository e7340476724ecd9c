"""Every public toolkit function and class has an English numpydoc docstring: a summary
line, every parameter of its signature under ``Parameters`` (or ``Other Parameters`` /
``Attributes`` for classes), and a ``Returns`` (or ``Yields``) section where it returns
something.  The API reference of the docs site is made from these docstrings."""

import importlib
import inspect
import re

import pytest

# The modules of the API reference (docs/_ext/aerolume_docs.py); names the package does
# not have are left out there and here.
MODULES = ["io", "preprocess", "atmosphere", "retrieval", "uncertainty", "simulate",
           "depolarization", "clouds", "quality", "metadata", "constants", "config",
           "processing", "pipeline", "plot", "quicklook", "earlinet", "scc"]

SECTION = re.compile(r"^(\w[\w ]*)\n-{3,}$", re.M)
# Letters of scripts other than the Latin one (CJK, Cyrillic ...): a docstring in English
# has none; Greek letters and symbols of physics are fine.
FOREIGN = re.compile(r"[\u0400-\u04ff\u3000-\u9fff\uac00-\ud7af]")


def public_objects():
    found = []
    for short in MODULES:
        try:
            module = importlib.import_module(f"Aerolume.{short}")
        except ModuleNotFoundError:
            continue
        for name in getattr(module, "__all__", ()):
            obj = getattr(module, name)
            if (inspect.isfunction(obj) or inspect.isclass(obj)) and \
                    getattr(obj, "__module__", "").startswith("Aerolume"):
                found.append(pytest.param(obj, id=f"{short}.{name}"))
    return found


def sections(doc: str) -> dict[str, str]:
    """Section title -> its text."""
    parts = SECTION.split(doc)
    return {parts[i].strip(): parts[i + 1] for i in range(1, len(parts) - 1, 2)}


def documented_names(text: str) -> set[str]:
    """The names a Parameters-like section documents (``a, b : type`` lines)."""
    names = set()
    for line in text.splitlines():
        if line and not line[0].isspace():
            head = line.split(" : ")[0]
            names.update(n.strip().lstrip("*") for n in head.split(","))
    return names


def parameters(obj) -> list[str]:
    target = obj.__init__ if inspect.isclass(obj) else obj
    try:
        signature = inspect.signature(target)
    except (TypeError, ValueError):
        return []
    return [p.name for p in signature.parameters.values()
            if p.name not in ("self", "cls") and not p.name.startswith("_")]


@pytest.mark.parametrize("obj", public_objects())
def test_numpydoc_docstring(obj):
    doc = inspect.getdoc(obj) if inspect.isfunction(obj) else obj.__doc__
    assert doc and doc.strip(), "no docstring"
    doc = inspect.cleandoc(doc)
    assert not FOREIGN.search(doc), "not in English"
    summary = doc.splitlines()[0]
    assert summary.strip() and not SECTION.match(doc), "no summary line"
    found = sections(doc)
    if inspect.isclass(obj) and "__init__" not in vars(obj):
        return  # the parameters of an inherited constructor (an exception's) are its own
    names = set()
    for title in ("Parameters", "Other Parameters", "Attributes"):
        names |= documented_names(found.get(title, ""))
    missing = [p for p in parameters(obj) if p not in names]
    assert not missing, f"parameters not documented: {missing}"
    if inspect.isfunction(obj):
        returns = inspect.signature(obj).return_annotation
        if returns not in (None, "None"):
            assert {"Returns", "Yields"} & set(found), "no Returns section"
