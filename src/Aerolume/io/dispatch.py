"""One entry point for every raw format Aerolume reads, and the xarray backend.

:func:`read` looks at the first file's own bytes, not its name: a netCDF file (the HDF5
or classic signature) is a PollyXT level-0 or a ceilometer file, told apart by its
variables; anything else is given to the Licel
reader, which names the file and what is wrong when it is not one.

``xarray.open_dataset(path, engine="licel")`` reads a Licel raw file (or a list or glob
pattern of them) through :class:`LicelBackend`, registered under the
``xarray.backends`` entry point.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Hashable, Iterable, Sequence
from typing import TYPE_CHECKING, Any, Literal

from xarray.backends import BackendEntrypoint

from Aerolume.errors import FileFormatError
from Aerolume._typing import AnyArray
from Aerolume.io.files import PathsLike

if TYPE_CHECKING:
    import xarray as xr
    from xarray.backends import AbstractDataStore
    from xarray.core.types import ReadBuffer

__all__ = ["read", "detect", "netcdf_profiles", "LicelBackend"]

_NETCDF = (b"\x89HDF\r\n\x1a\n", b"CDF\x01", b"CDF\x02", b"CDF\x05")


def detect(path: str | os.PathLike[str]) -> str:
    """The format of one file from its contents: "licel", "pollyxt", "cl61" or "chm15k".

    Raises
    ------
    FileNotFoundError, OSError
        The file cannot be opened.
    ValueError
        A netCDF file of no format Aerolume reads.
    """
    path = os.fspath(path)
    with open(path, "rb") as f:
        head = f.read(8)
    if not head.startswith(_NETCDF):
        return "licel"
    import netCDF4

    from Aerolume.io.ceilometer import ceilometer_kind

    try:
        with netCDF4.Dataset(path) as nc:
            names = list(nc.variables)
    except OSError as err:
        raise FileFormatError(path, f"a netCDF file that cannot be read ({err})") from None
    from Aerolume.io.polly import is_pollyxt

    kind = "pollyxt" if is_pollyxt(names) else ceilometer_kind(names)
    if kind is None:
        raise FileFormatError(path, f"a netCDF file of no format Aerolume reads (variables: "
                         f"{', '.join(names[:8])}{' ...' if len(names) > 8 else ''})")
    return kind


def read(paths: PathsLike, **kwargs: Any) -> xr.Dataset:
    """Read raw files of any supported format into one time-height Dataset.

    Parameters
    ----------
    paths : path, glob pattern, or sequence of them
        Files of one format (the first file's contents decide which).
    **kwargs
        Passed to the reader (:func:`Aerolume.io.read_licel`,
        :func:`Aerolume.io.polly.read_pollyxt`,
        :func:`Aerolume.io.ceilometer.read_cl61` or ``read_chm15k``), e.g.
        ``errors="skip"``; ``threads`` is used by the Licel reader only, ``channel_ids``
        by the PollyXT reader only.

    Returns
    -------
    xarray.Dataset
        Dimensions ``time``, ``channel``, ``range``.
    """
    from Aerolume.io import read_licel
    from Aerolume.io.files import _expand
    from Aerolume.io.ceilometer import read_chm15k, read_cl61
    from Aerolume.io.polly import read_pollyxt

    files = _expand(paths)
    kind = detect(files[0])
    readers: dict[str, Callable[..., xr.Dataset]] = {
        "licel": read_licel, "cl61": read_cl61, "chm15k": read_chm15k, "pollyxt": read_pollyxt}
    reader = readers[kind]
    if kind != "licel":
        kwargs.pop("threads", None)  # (the netCDF readers read in this thread)
    if kind != "pollyxt":
        kwargs.pop("channel_ids", None)  # (the other formats name their channels)
    return reader(files, **kwargs)


def netcdf_profiles(path: str | os.PathLike[str], kind: str
                    ) -> tuple[AnyArray, Hashable]:
    """What the planner needs of one netCDF file of format `kind` (see :func:`detect`),
    without reading its signals: the start time of each profile (datetime64[ns]) and the
    file's layout, the key its reader requires to agree between the files it joins.

    Raises
    ------
    FileNotFoundError
        No such file.
    ValueError
        Not a readable file of that format, naming the file.
    """
    path = os.fspath(path)
    if kind == "pollyxt":
        from Aerolume.io.polly import profiles as polly_profiles

        return polly_profiles(path, kind)
    from Aerolume.io.ceilometer import profiles

    return profiles(path, kind)


class LicelBackend(BackendEntrypoint):
    """xarray backend: ``xr.open_dataset(path, engine="licel")`` for Licel raw files."""

    description = "Licel binary raw lidar files, read by Aerolume"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "errors", "channels")
    url = "https://pypi.org/project/Aerolume/"

    def open_dataset(self, filename_or_obj: str | os.PathLike[Any] | ReadBuffer[Any]
                     | AbstractDataStore, *, drop_variables: str | Iterable[str] | None = None,
                     errors: Literal["raise", "skip"] = "raise",
                     channels: Sequence[str] | None = None) -> xr.Dataset:
        from Aerolume.io import read_licel

        if not isinstance(filename_or_obj, (str, os.PathLike)):
            # (an open file is iterable: it must not be taken for a list of paths)
            raise TypeError("the licel engine reads files by path, not "
                            f"{type(filename_or_obj).__name__}")
        ds = read_licel(filename_or_obj, errors=errors, channels=channels)
        if drop_variables:
            ds = ds.drop_vars(drop_variables, errors="ignore")
        return ds

    def guess_can_open(self, filename_or_obj: str | os.PathLike[Any] | ReadBuffer[Any]
                       | AbstractDataStore) -> bool:
        # Licel files have no fixed signature or name; open them with engine="licel".
        return False
