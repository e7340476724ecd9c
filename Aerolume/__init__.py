"""From a lidar's raw files to calibrated aerosol products.

The toolkit's modules, on the numerical core ``Aerolume._core``::

    import Aerolume.atmosphere    # molecular atmosphere and Rayleigh optics
    import Aerolume.io            # raw files in (Licel, PollyXT, ceilometers), netCDF out
    import Aerolume.metadata      # the CF attributes of every written variable
    import Aerolume.preprocess    # instrument corrections
    import Aerolume.retrieval     # Klett-Fernald and Raman retrievals
    import Aerolume.uncertainty   # Monte Carlo settings of the retrievals
    import Aerolume.simulate      # the forward model
    import Aerolume.depolarization  # polarisation: calibration, delta_v and delta_p

and the command ``aerolume`` (``Aerolume.cli``).  The two hand-written extension modules
are imported on their own, each with its own import behaviour::

    import Aerolume.lumaclean   # raw profile -> corrected signal
    import Aerolume.lumafit     # molecular physics and the Rayleigh fit

Each public module is also an attribute of the package, imported on first use
(``Aerolume.retrieval`` after a bare ``import Aerolume``; ``dir(Aerolume)`` lists them), so
that ``import Aerolume`` itself stays cheap and imports none of them; ``Aerolume.__version__``
is the installed version.
"""


def _use_built_modules(package, path):
    """Points the package's `path` (its ``__path__``) at the installed copy when the
    package is imported from a clone of its sources.

    A clone holds the package's Python files but not its built modules, which the build
    puts into the installed copy.  Run from the clone's root (where scripts/setup.sh
    leaves you), Python finds the clone's folder first, since the current folder leads
    sys.path; the package then takes every part of itself, Python files and built
    modules alike, from the built copy installed on sys.path.  An editable install is
    left as it is: its import hook supplies the built modules.  With neither, this
    raises an ImportError that says what to do.  (Only os.path and the import system
    are used: importing the package must not touch anything the modules' own imports
    report on.)
    """
    import importlib.machinery
    import os
    import sys

    def is_built(folder):
        return all(any(os.path.isfile(os.path.join(folder, name + suffix))
                       for suffix in importlib.machinery.EXTENSION_SUFFIXES)
                   for name in ("lumafit", "lumaclean", "_core"))

    if any(is_built(folder) for folder in path):
        return
    import importlib.util
    if importlib.util.find_spec(package + ".lumafit") is not None:
        return
    own = {os.path.realpath(folder) for folder in path}
    for entry in sys.path:
        candidate = os.path.realpath(os.path.join(entry or os.curdir, package))
        if candidate not in own and is_built(candidate):
            path[:] = [candidate]
            return
    raise ImportError(
        f"{package} was imported from {', '.join(sorted(own))}, a source folder without "
        f"the built modules, and no installed copy was found on sys.path. Install the "
        f"package (python -m pip install . in the clone, or bash scripts/setup.sh) and run "
        f"Python from its environment (.venv/bin/python after scripts/setup.sh).",
        name=package)


_use_built_modules(__name__, __path__)
del _use_built_modules

__all__ = ["lumaclean", "lumafit"]


def _public_modules():
    """The names of the package's public modules and subpackages (no leading underscore),
    found in the package's folder: Python files and built modules alike."""
    import pkgutil
    return sorted({info.name for info in pkgutil.iter_modules(__path__)
                   if not info.name.startswith("_")})


def __getattr__(name):
    # Called only for names the module does not hold: the version and the public modules,
    # each imported on first use and kept in the namespace by the import system.
    if name == "__version__":
        from ._version import __version__
        globals()["__version__"] = __version__
        return __version__
    if not name.startswith("_") and name in _public_modules():
        import importlib
        return importlib.import_module(f"{__name__}.{name}")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(_public_modules()) | {"__version__"})
