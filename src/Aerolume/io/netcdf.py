"""Datasets (raw or corrected) written to and read from netCDF through xarray's netCDF4
backend, keeping every attribute, with the CF attributes of :mod:`Aerolume.metadata`."""

from __future__ import annotations

import contextlib
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
import xarray as xr

from Aerolume.errors import FileFormatError
from Aerolume.io.files import PathLike

if TYPE_CHECKING:
    import netCDF4

def open_raw(path: str) -> netCDF4.Dataset:
    """`path` opened with netCDF4 for a reader (masking off: the raw values as stored),
    or an error naming the file: FileNotFoundError, or FileFormatError for a file that is
    no readable netCDF."""
    import netCDF4

    try:
        nc = netCDF4.Dataset(path)
    except FileNotFoundError:
        raise FileNotFoundError(f"{path}: no such file") from None
    except OSError as err:
        raise FileFormatError(path, f"not a readable netCDF file ({err})") from None
    nc.set_auto_mask(False)
    return nc


def to_netcdf(ds: xr.Dataset, path: PathLike, *, source_root: PathLike | None = None,
              **kwargs: Any) -> None:
    """Write a Dataset of this package to netCDF-4 as a CF-1.8 file.

    Parameters
    ----------
    ds : xarray.Dataset
        A Dataset from :func:`read_licel` or :func:`Aerolume.preprocess.correct`, or a
        product of :mod:`Aerolume.processing.pipeline`.
    path : path
        The file to write.
    source_root : path, optional
        The ``source_files`` attribute is written relative to this folder (default: the
        common folder of the source files), so that a file names no folder of the
        machine that wrote it.
    **kwargs
        Passed to :meth:`xarray.Dataset.to_netcdf` (e.g. ``encoding``).

    Notes
    -----
    Every variable gets its CF attributes from :data:`Aerolume.metadata.VARIABLES`;
    integers are written as 32-bit, text as fixed-length characters, times as CF times
    (``seconds since 1970-01-01``) with ``time_bnds`` from ``time`` and ``stop_time``
    (see :func:`Aerolume.metadata.for_netcdf`).  Attributes that netCDF cannot hold as
    they are (booleans, None, nested structures) are converted: booleans to 0/1, None to
    "", dictionaries to their ``repr``.  :func:`open_dataset` reads the file back with the
    same values.
    """
    from Aerolume.metadata import for_netcdf, relative_sources

    out, encoding = for_netcdf(ds, kwargs.pop("encoding", None))
    out.attrs = _serialisable(ds.attrs)
    if isinstance(out.attrs.get("source_files"), list):
        out.attrs["source_files"] = relative_sources(out.attrs["source_files"], source_root)
    for name in out.variables:
        out[name].attrs = _serialisable(out[name].attrs)
    with _written_here(out):
        out.to_netcdf(path, engine="netcdf4", format="NETCDF4", encoding=encoding, **kwargs)


def _written_here(ds: xr.Dataset) -> contextlib.AbstractContextManager[Any]:
    """A Dataset held in memory is written by this process alone, under the local lock.
    Inside a Dask worker xarray would otherwise take the distributed scheduler's lock for
    the file, a round trip to the scheduler for every variable written: 3.5x the writing
    time of a night on a local cluster."""
    if any(v.chunks is not None for v in ds.variables.values()):
        return contextlib.nullcontext()  # (dask arrays: their scheduler writes them)
    try:
        import dask
    except ImportError:
        return contextlib.nullcontext()
    return dask.config.set(scheduler="synchronous")


def _serialisable(attrs: Mapping[str, Any]) -> dict[str, Any]:
    out = {}
    for key, value in attrs.items():
        if isinstance(value, (bool, np.bool_)):
            value = int(value)
        elif value is None:
            value = ""
        elif isinstance(value, dict):
            value = repr(value)
        elif isinstance(value, (list, tuple)) and value and all(isinstance(v, str) for v in value):
            value = list(value)
        elif isinstance(value, (list, tuple)):
            value = np.asarray(value, dtype=np.float64) if value else ""
        out[key] = value
    return out


def open_dataset(path: PathLike, **kwargs: Any) -> xr.Dataset:
    """Read a netCDF file written by :func:`to_netcdf` into memory.

    Parameters
    ----------
    path : path
        The file.
    **kwargs
        Passed to :func:`xarray.open_dataset`.

    Returns
    -------
    xarray.Dataset
        Loaded into memory, the file closed.
    """
    with xr.open_dataset(path, engine="netcdf4", **kwargs) as ds:
        ds = ds.load()
    # netCDF stores a list of one string as that string: the lists of files stay lists.
    for key in _LIST_ATTRS:
        if isinstance(ds.attrs.get(key), str):
            ds.attrs[key] = [ds.attrs[key]]
        elif key in ds.attrs and not isinstance(ds.attrs[key], list):
            ds.attrs[key] = list(ds.attrs[key])
    return ds


_LIST_ATTRS = ("source_files", "source_file_sha256")


