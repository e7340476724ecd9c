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

from __future__ import annotations

from types import ModuleType

__all__ = ["lumaclean", "lumafit"]


def _public_modules() -> list[str]:
    """The names of the package's public modules and subpackages (no leading underscore),
    found in the package's folder: Python files and built modules alike."""
    import pkgutil
    return sorted({info.name for info in pkgutil.iter_modules(__path__)
                   if not info.name.startswith("_")})


def __getattr__(name: str) -> ModuleType | str:
    # Called only for names the module does not hold: the version and the public modules,
    # each imported on first use and kept in the namespace by the import system.
    if name == "__version__":
        from Aerolume._version import __version__
        globals()["__version__"] = __version__
        return __version__
    if not name.startswith("_") and name in _public_modules():
        import importlib
        return importlib.import_module(f"{__name__}.{name}")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_public_modules()) | {"__version__"})
