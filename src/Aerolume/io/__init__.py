"""Reading lidar raw files into time-height Datasets, and writing Datasets to netCDF.

:func:`read_licel` reads the binary raw files of Licel transient recorders (one file a
profile, several channels) into one :class:`xarray.Dataset` with dimensions
``(time, channel, range)``.  The files are parsed by the compiled core, in parallel
threads, straight into the Dataset's arrays.

:func:`to_netcdf` and :func:`open_dataset` write and read such Datasets (raw or
corrected) through xarray's netCDF4 backend, keeping every attribute.
"""


from __future__ import annotations

import importlib
from collections.abc import Callable
from typing import Any

import xarray as xr

from Aerolume.io.files import (  # noqa: F401 (the readers' shared helpers)
    PathLike, PathsLike, SKIPPED_LISTED, _expand, _fail, _pattern_matches, package_version,
    skipped_message)
from Aerolume.io.licel import channel_layout, read_licel  # noqa: F401
from Aerolume.io.netcdf import _LIST_ATTRS, open_dataset, to_netcdf  # noqa: F401

__all__ = ["read", "read_licel", "read_pollyxt", "read_cl61", "read_chm15k", "to_netcdf", "open_dataset",
           "to_scc", "package_version"]


def to_scc(ds: xr.Dataset, path: PathLike, **kwargs: Any) -> None:
    """Write a raw Dataset in the Single Calculus Chain's raw-data netCDF input format:
    see :func:`Aerolume.io.scc.to_scc` for the options and the fields written.

    Parameters
    ----------
    ds : xarray.Dataset
        Raw data, as :func:`read_licel` gives it.
    path : str or path
        The netCDF file to write.
    **kwargs
        Options of :func:`Aerolume.io.scc.to_scc` (channel ids, station code ...).
    """
    from Aerolume.io.scc import to_scc as write

    write(ds, path, **kwargs)


def read(paths: PathsLike, **kwargs: Any) -> xr.Dataset:
    """Read raw files of any format Aerolume knows, picked from the first file's contents
    (Licel, PollyXT level 0, Vaisala CL61, Lufft CHM15k): see
    :func:`Aerolume.io.dispatch.read`.

    Parameters
    ----------
    paths : str, path or sequence of them
        Files, or glob patterns of files.
    **kwargs
        Options of the format's reader.

    Returns
    -------
    xarray.Dataset
        The raw data on (time, channel, range), as :func:`read_licel` gives it.
    """
    from Aerolume.io.dispatch import read as read_any

    return read_any(paths, **kwargs)


def _deferred_reader(module: str, name: str, files: str) -> Callable[..., xr.Dataset]:
    """The face's `name`: the reader of `module`, imported when first called (its format's
    libraries are loaded only by those who read that format)."""

    def reader(paths: PathsLike, **kwargs: Any) -> xr.Dataset:
        read: Callable[..., xr.Dataset] = getattr(importlib.import_module(module), name)
        return read(paths, **kwargs)

    reader.__name__ = reader.__qualname__ = name
    reader.__doc__ = f"""{files} files: see :func:`{module}.{name}`.

    Parameters
    ----------
    paths : str, path or sequence of them
        Files, or glob patterns of files.
    **kwargs
        Options of the reader.

    Returns
    -------
    xarray.Dataset
        The raw data on (time, channel, range), as :func:`read_licel` gives it.
    """
    return reader


read_cl61 = _deferred_reader("Aerolume.io.ceilometer", "read_cl61", "Vaisala CL61 netCDF")
read_chm15k = _deferred_reader("Aerolume.io.ceilometer", "read_chm15k", "Lufft CHM15k netCDF")
read_pollyxt = _deferred_reader("Aerolume.io.polly", "read_pollyxt", "PollyXT level-0 netCDF")
