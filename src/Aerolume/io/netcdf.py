"""Datasets (raw or corrected) written to and read from netCDF through xarray's netCDF4
backend, keeping every attribute, with the CF attributes of :mod:`Aerolume.metadata`."""

from __future__ import annotations

import contextlib
import math
import os
from collections.abc import Callable, Hashable, Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
import xarray as xr

from Aerolume._typing import AnyArray
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
    from Aerolume.metadata import for_netcdf

    out, encoding = for_netcdf(ds, kwargs.pop("encoding", None))
    out.attrs = _global_attrs(ds.attrs, source_root)
    for name in out.variables:
        out[name].attrs = _serialisable(out[name].attrs)
    with _written_here(out):
        out.to_netcdf(path, engine="netcdf4", format="NETCDF4", encoding=encoding, **kwargs)


#: The largest chunk :class:`BlockWriter` gives a variable (bytes): fewer profiles per
#: chunk where a profile's row is large.
CHUNK_BYTES = 4 << 20


class BlockWriter:
    """A product written to netCDF-4 (CF-1.8) block by block along time, as
    :func:`to_netcdf` writes it whole: the same variables, types, attributes and values,
    with ``time`` an unlimited dimension.  Only one block is in memory at a time.

    The first block makes the file: its variables, their encoding and compression, and
    what does not depend on time.  Every later block must have the same variables (a
    type that holds its values may differ: the file's type is kept); it is encoded as the
    first was and written after the profiles already there.  Text along time (the
    source file of each profile) is small and is written by :meth:`close`, when its width
    is known, with the file's global attributes.

    Parameters
    ----------
    path : path
        The file to make (replaced if it exists).
    encoding : callable, optional
        ``encoding(block)``: the caller's encoding per variable, from the first block
        (e.g. compression), as :func:`to_netcdf` takes it.
    """

    def __init__(self, path: PathLike, *,
                 encoding: Callable[[xr.Dataset], Mapping[Hashable, Mapping[str, Any]]]
                 | None = None) -> None:
        self.path = path
        self.profiles = 0  #: profiles written so far
        self.attrs: dict[str, Any] = {}  #: the first block's attributes
        self._encoding = encoding
        self._nc: netCDF4.Dataset | None = None
        self._file_encoding: dict[Hashable, dict[str, Any]] = {}
        self._types: dict[Hashable, np.dtype[Any]] = {}
        self._timed: list[Hashable] = []
        self._static: dict[Hashable, xr.Variable] = {}
        self._held: dict[Hashable, list[xr.Variable]] = {}

    def append(self, block: xr.Dataset) -> None:
        """Writes `block`'s profiles after those already in the file.

        Raises
        ------
        ValueError
            The block differs from the first in more than its times and values (other
            variables, dimensions or gates), or holds values the file's type cannot.
        """
        from Aerolume.metadata import for_netcdf, time_bounds

        if self._nc is None:
            caller = self._encoding(block) if self._encoding is not None else None
            out, encoding = for_netcdf(block, caller)
            self._create(block, out, encoding)
        else:
            # (the values as for_netcdf makes them; the attributes are the first block's)
            out = block
            bounds = time_bounds(block)
            if bounds is not None:
                out = block.assign(time_bnds=bounds)
            self._check(out)
            self._write(out, self.profiles)
        self.profiles += int(out.sizes.get("time", 0))

    def close(self, attrs: Mapping[str, Any] | None = None, *,
              source_root: PathLike | None = None) -> None:
        """Ends the file: writes the text along time and the global attributes (`attrs`,
        or the first block's; ``source_files`` relative to `source_root`, as
        :func:`to_netcdf` writes them)."""
        if self._nc is None:
            raise ValueError(f"{self.path}: no block was written")
        self._nc.close()
        self._nc = None
        held = {name: xr.Variable(parts[0].dims,
                                  np.concatenate([p.values for p in parts],
                                                 axis=parts[0].dims.index("time")),
                                  parts[0].attrs)
                for name, parts in self._held.items()}
        self._held.clear()
        out = xr.Dataset(held)
        out.attrs = _global_attrs(dict(attrs) if attrs is not None else self.attrs,
                                  source_root)
        _store(out, self.path, "a", encoding={n: self._file_encoding.get(n, {}) for n in held})

    def abandon(self) -> None:
        """Closes the file, unfinished (after a failure)."""
        if self._nc is not None:
            self._nc.close()
            self._nc = None

    # ---- the first block ------------------------------------------------------------

    def _create(self, block: xr.Dataset, out: xr.Dataset,
                encoding: dict[Hashable, dict[str, Any]]) -> None:
        import netCDF4

        # The "coordinates" attributes of the whole product, text along time included
        # (xarray works them out from the variables it writes, and it writes the text
        # last, on its own).
        described, _ = xr.conventions.encode_dataset_coordinates(out)
        listed = {name: variable.attrs["coordinates"] for name, variable in described.items()
                  if "coordinates" in variable.attrs and name in out.variables}
        timed = [n for n, v in out.variables.items() if "time" in v.dims]
        held = [n for n in timed if out.variables[n].dtype.kind in "OUS"]
        self._held = {n: [] for n in held}
        self._timed = [n for n in timed if n not in self._held]
        self._static = {n: v for n, v in out.variables.items()
                        if "time" not in v.dims and n in out.dims}
        # One chunk length along time for every variable: that of the largest profile's
        # row in CHUNK_BYTES.  The netCDF library's chunk cache gathers the blocks' rows
        # into whole chunks, about that many profiles of the product at a time.
        rows = {n: out.variables[n].dtype.itemsize * math.prod(
            out.sizes[d] for d in out.variables[n].dims if d != "time") for n in self._timed}
        along = max(1, CHUNK_BYTES // max(rows.values(), default=1))
        for name in self._timed:
            variable = out.variables[name]
            encoding.setdefault(name, {})["chunksizes"] = tuple(
                along if d == "time" else out.sizes[d] for d in variable.dims)
            self._types[name] = variable.dtype
        self._file_encoding = {n: dict(e) for n, e in encoding.items()}
        # The file made with the first profile only (xarray cannot encode no time): every
        # profile is then written the same way, and the first chunks are compressed
        # whole rather than once more for every block.
        first = out.drop_vars(held).isel(time=slice(0, 1))
        first.attrs = _serialisable(block.attrs)  # (the final ones are close()'s)
        self.attrs = dict(block.attrs)
        for name in first.variables:
            first[name].attrs = _serialisable(first[name].attrs)
            if name in listed:
                first[name].attrs["coordinates"] = listed[name]
        _store(first, self.path, "w", unlimited_dims=["time"],
               encoding={n: e for n, e in encoding.items() if n in first.variables})
        self._nc = netCDF4.Dataset(self.path, "a")
        self._nc.set_auto_maskandscale(False)
        # Each variable's chunk cache holds the chunk being filled, no more: the profiles
        # come in time order, so a chunk is whole once the next is begun, and goes to the
        # file then (by default the library would keep up to 64 MiB of every variable's
        # chunks, the night's product, until the file closes).
        for name in self._timed:
            v = self._nc.variables[str(name)]
            size = v.dtype.itemsize * math.prod(v.chunking() or [1])
            v.set_var_chunk_cache(size=size + 1024, nelems=7, preemption=1.0)
        self._write(out, 0)

    # ---- the later blocks -----------------------------------------------------------

    def _check(self, out: xr.Dataset) -> None:
        timed = [n for n, v in out.variables.items() if "time" in v.dims and n not in self._held]
        if timed != self._timed or any(n not in out.variables for n in self._held):
            raise ValueError(f"{self.path}: a block has other variables along time than the "
                             f"first ({', '.join(map(str, set(timed) ^ set(self._timed)))})")
        for name, first in self._static.items():
            if name not in out.variables or not out.variables[name].equals(first):
                raise ValueError(f"{self.path}: a block's {name!r} differs from the first "
                                 "block's")
        for name in self._timed:
            v, kind = out.variables[name], self._types[name]
            if v.dtype != kind and not _holds(kind, v):
                raise ValueError(f"{self.path}: a block's {name!r} ({v.dtype}) does not fit "
                                 f"the file's type ({kind})")

    def _write(self, out: xr.Dataset, start: int) -> None:
        from Aerolume.metadata import check_cf_integers

        assert self._nc is not None
        count = int(out.sizes.get("time", 0))
        for name in self._timed:
            v = out.variables[name]
            if v.dtype != self._types[name]:
                v = v.astype(self._types[name])
            encoding = self._file_encoding.get(name, {})
            values = np.asarray(v.values)
            if values.dtype.kind in "iu":
                check_cf_integers(str(name), values)
            if _plain_values(values, encoding):
                # (what xarray's encoding does to these: at most a cast)
                data = values.astype(encoding.get("dtype", values.dtype), copy=False)
            else:
                data = np.asarray(xr.conventions.encode_cf_variable(
                    xr.Variable(v.dims, values, v.attrs, encoding=dict(encoding)),
                    name=name).values)
            where = tuple(slice(start, start + count) if d == "time" else slice(None)
                          for d in v.dims)
            self._nc.variables[str(name)][where] = data
        for name in self._held:
            self._held[name].append(out.variables[name].copy(deep=False))


def _store(ds: xr.Dataset, path: PathLike, mode: str, **kwargs: Any) -> None:
    """`ds` (held in memory) written to `path` by xarray's netCDF4 store, as
    :meth:`xarray.Dataset.to_netcdf` writes it, under the process's netCDF lock.  (Not
    through ``to_netcdf`` itself, which asks Dask for its scheduler on every call, a
    quarter of a second importing the distributed scheduler, to write arrays Dask has no
    part in.)"""
    from xarray.backends import NetCDF4DataStore
    from xarray.backends.locks import HDF5_LOCK, NETCDFC_LOCK, combine_locks

    # (the locks xarray's netCDF4 backend takes for every file of the process)
    store = NetCDF4DataStore.open(  # type: ignore[no-untyped-call]
        os.fspath(path), mode=mode, format="NETCDF4",
        lock=combine_locks([NETCDFC_LOCK, HDF5_LOCK]))  # type: ignore[no-untyped-call]
    try:
        ds.dump_to_store(store, **kwargs)
    finally:
        store.close()


def _plain_values(values: AnyArray, encoding: Mapping[str, Any]) -> bool:
    """Whether xarray writes `values` with this encoding as they are, cast at most:
    numbers with no fill value but NaN, no scale or offset, no time units."""
    fill = encoding.get("_FillValue")
    return (values.dtype.kind in "fiu" and not {"scale_factor", "add_offset", "units"}
            & set(encoding) and (fill is None or (isinstance(fill, float) and math.isnan(fill))))


def _holds(kind: np.dtype[Any], variable: xr.Variable) -> bool:
    """Whether every value of `variable` is the same in type `kind`."""
    values = variable.values
    if not np.can_cast(values.dtype, kind, casting="same_kind") and \
            not (values.dtype.kind == "f" and kind.kind in "iu"):
        return False
    with np.errstate(invalid="ignore", over="ignore"):
        back = values.astype(kind)
        return bool(np.array_equal(back.astype(values.dtype), values))


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


def _global_attrs(attrs: Mapping[str, Any], source_root: PathLike | None) -> dict[str, Any]:
    """A Dataset's attributes as the file holds them: netCDF's types, and the source files
    relative to `source_root`."""
    from Aerolume.metadata import relative_sources

    out = _serialisable(attrs)
    if isinstance(out.get("source_files"), list):
        out["source_files"] = relative_sources(out["source_files"], source_root)
    return out


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


