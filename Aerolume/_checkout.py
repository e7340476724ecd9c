"""The package imported from a clone of its sources.

A clone holds the package's Python files but not its built modules, which the build
puts into the installed copy.  Run from the clone's root (where ``scripts/setup.sh``
leaves you), Python finds the clone's ``Aerolume`` folder first, since the current
folder comes first on ``sys.path``.  Such a folder then takes every part of the
package, Python files and built modules alike, from the installed copy, so that the
package is the same whichever folder it is used from.  An editable install is left as
it is: its import hook finds the built modules itself.
"""
from __future__ import annotations

import importlib.machinery
import importlib.util
import os
import pathlib
import sys

# The modules the build makes; a folder holding them is a built copy of the package.
BUILT_MODULES = ("lumafit", "lumaclean", "_core")


def is_built(folder: pathlib.Path) -> bool:
    """Whether `folder` holds every built module of the package."""
    return all(any((folder / (name + suffix)).is_file()
                   for suffix in importlib.machinery.EXTENSION_SUFFIXES)
               for name in BUILT_MODULES)


def installed_copy(package: str, source: list[pathlib.Path]) -> pathlib.Path | None:
    """The first built copy of `package` on sys.path other than the folders of `source`."""
    for entry in sys.path:
        candidate = pathlib.Path(entry or os.curdir).resolve() / package
        if candidate not in source and is_built(candidate):
            return candidate
    return None


def use_built_modules(package: str, path: list[str]) -> None:
    """Points the package's `path` (its ``__path__``) at an installed copy when its own
    folders hold no built modules and no import hook supplies them; raises ImportError,
    saying what to do, when there is none."""
    folders = [pathlib.Path(p).resolve() for p in path]
    if any(is_built(folder) for folder in folders):
        return
    if importlib.util.find_spec(f"{package}.{BUILT_MODULES[0]}") is not None:
        return
    installed = installed_copy(package, folders)
    if installed is None:
        where = ", ".join(str(folder) for folder in folders)
        raise ImportError(
            f"{package} was imported from {where}, a source folder without the built "
            f"modules, and no installed copy was found on sys.path. Install the package "
            f"(python -m pip install . in the clone, or bash scripts/setup.sh) and run "
            f"Python from its environment (.venv/bin/python after scripts/setup.sh).",
            name=package)
    path[:] = [str(installed)]
