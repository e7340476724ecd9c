"""Readers of the netCDF files of two common ceilometers, into the raw-data layout of
:func:`Aerolume.io.read_licel`: dimensions ``time``, ``channel``, ``range``; the
attenuated backscatter in ``signal``; the same coordinate names.

- Vaisala CL61: ``beta_att`` (time, range), attenuated backscatter in m-1 sr-1;
  ``linear_depol_ratio`` (time, range) becomes ``volume_depolarization``; ``range`` (m
  from the instrument), ``time`` (CF times); 910.55 nm.
- Lufft CHM15k: ``beta_raw`` (time, range), the normalised range-corrected signal
  (arbitrary units: the ``signal_units`` coordinate says so), or ``beta_att`` where the
  firmware writes it; ``range`` (m), ``time`` (CF times from 1904), ``wavelength`` (nm,
  default 1064), ``zenith``, ``altitude`` (m a.s.l.).

Files of one instrument are joined along time; a file that cannot be read raises a
ValueError naming it and what is wrong (or is left out with a warning, ``errors="skip"``).
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from Aerolume._typing import AnyArray, FloatArray
from Aerolume.errors import FileFormatError, reason as _reason
from Aerolume.io.files import PathsLike
from Aerolume.io.netcdf import open_raw

if TYPE_CHECKING:
    import datetime

    import netCDF4
    import xarray as xr
    from numpy.typing import NDArray

__all__ = ["read_cl61", "read_chm15k", "ceilometer_kind", "profiles", "is_ceilometer",
           "as_lidar_signal", "KLETT_SKIPPED"]


def ceilometer_kind(variables: Iterable[str]) -> str | None:
    """"cl61", "chm15k" or None, from the names of a netCDF file's variables."""
    names = set(variables)
    if "beta_att" in names and ("linear_depol_ratio" in names or "p_pol" in names):
        return "cl61"
    if "beta_raw" in names or ("beta_att" in names and "nn1" in names):
        return "chm15k"
    return None


def layout(ds: _File, kind: str) -> tuple[str, tuple[float, ...]]:
    """The key files of one instrument must share to be joined: the format and the range
    gates (m)."""
    return (kind, tuple(np.asarray(ds["range"].values, np.float64).tolist()))


def profiles(path: str, kind: str) -> tuple[AnyArray, tuple[str, tuple[float, ...]]]:
    """The profiles' start times (datetime64[ns]) and the :func:`layout` of one file,
    its signals left unread (for the planner of ``aerolume process``)."""
    ds = _check(path, _open(path, signals=False), kind)
    return ds["time"].values, layout(ds, kind)


#: The variables a reader takes from a file (the others are not read).
_SIGNALS = ("beta_att", "linear_depol_ratio", "beta_raw")
_SCALARS = ("altitude", "latitude", "longitude", "zenith", "wavelength")


class _Variable:
    __slots__ = ("dims", "values")

    def __init__(self, dims: Iterable[str], values: AnyArray):
        self.dims, self.values = tuple(dims), values

    @property
    def size(self) -> int:
        return self.values.size

    @property
    def dtype(self) -> np.dtype[Any]:
        return self.values.dtype

    def transpose(self, *dims: str) -> _Variable:
        return _Variable(dims, np.transpose(self.values, [self.dims.index(d) for d in dims]))


class _File:
    """The variables of one file that the readers use, read with netCDF4 (only those:
    a CL61 file holds four time-range variables, the readers need two)."""

    def __init__(self, variables: list[str], data: dict[str, _Variable]):
        self.variables = variables  # every variable's name
        self.data = data

    def __getitem__(self, name: str) -> _Variable:
        return self.data[name]

    def __contains__(self, name: object) -> bool:
        return name in self.data

    @property
    def sizes(self) -> dict[str, int]:
        return {"time": self.data["time"].values.size}


def _times(var: netCDF4.Variable[Any]) -> NDArray[np.datetime64]:
    """A CF time variable as datetime64[ns]; ValueError if its units are not CF times."""
    import netCDF4

    units = getattr(var, "units", "")
    step, _, since = units.partition(" since ")
    factor = {"seconds": 1.0, "second": 1.0, "s": 1.0, "minutes": 60.0, "minute": 60.0,
              "hours": 3600.0, "hour": 3600.0, "days": 86400.0, "day": 86400.0}.get(step.strip())
    if factor is None or not since:
        raise ValueError("'time' has no CF time units")
    epoch = netCDF4.num2date([0], units, only_use_cftime_datetimes=False,
                             only_use_python_datetimes=True)
    start: datetime.datetime = np.asarray(epoch).ravel()[0]
    values = np.asarray(var[:], dtype=np.float64)
    times: NDArray[np.datetime64] = (np.datetime64(start.replace(tzinfo=None), "ns")
                                     + np.rint(values * factor * 1e9).astype("timedelta64[ns]"))
    return times


def _open(path: str, signals: bool = True) -> _File:
    nc = open_raw(path)
    try:
        with nc:
            names = list(nc.variables)
            data: dict[str, _Variable] = {}
            if "time" in nc.variables:
                data["time"] = _Variable(nc["time"].dimensions, _times(nc["time"]))
            wanted = ("range",) + (_SIGNALS if signals else ()) + _SCALARS
            for name in wanted:
                if name in nc.variables:
                    var = nc[name]
                    data[name] = _Variable(var.dimensions, np.asarray(var[...]))
    except ValueError as err:
        raise FileFormatError(path, f"{err}") from None
    except (OSError, RuntimeError, IndexError) as err:  # a truncated or damaged file
        raise FileFormatError(path, f"cannot be read ({err}): a truncated or damaged "
                         "file") from None
    return _File(names, data)


def _one(path: str, kind: str) -> _File:
    return _check(path, _open(path), kind)


def _check(path: str, ds: _File, kind: str) -> _File:
    found = ceilometer_kind(ds.variables)
    if found != kind:
        raise FileFormatError(path, f"not a {kind.upper()} file (it has no "
                         f"{'beta_att and linear_depol_ratio' if kind == 'cl61' else 'beta_raw'})")
    for name in ("time", "range"):
        if name not in ds:
            raise FileFormatError(path, f"the mandatory variable {name!r} is missing")
    return ds


def _read(paths: PathsLike, kind: str, errors: str) -> list[tuple[str, _File]]:
    from Aerolume.io.files import _expand, _fail

    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', got {errors!r}")
    files = _expand(paths)
    parts: list[tuple[str, _File]] = []
    problems: list[tuple[str, str, bool]] = []
    for path in files:
        try:
            parts.append((path, _one(path, kind)))
        except FileNotFoundError as err:
            problems.append((path, _reason(err), True))
        except ValueError as err:
            problems.append((path, _reason(err), False))
    if parts:
        first = layout(parts[0][1], kind)
        for path, ds in list(parts[1:]):
            if layout(ds, kind) != first:
                problems.append((path, f"its range gates differ from {parts[0][0]}'s", False))
                parts.remove((path, ds))
    _fail(problems, len(files), errors)
    if not parts:
        raise ValueError(f"read_{kind}: none of the files could be read")
    return parts


def _layout(parts: list[tuple[str, _File]], signal_name: str, channel: str,
            wavelength_nm: float, units: str, source: str,
            extra: Mapping[str, tuple[tuple[str, ...], FloatArray, dict[str, str]]],
            attrs: dict[str, Any]) -> xr.Dataset:
    import xarray as xr

    from Aerolume.io import package_version

    times = np.concatenate([ds["time"].values.astype("datetime64[ns]") for _, ds in parts])
    order = np.argsort(times, kind="stable")
    # In time order already (the usual case): one conversion to double, no other copy.
    ordered = bool((order == np.arange(order.size)).all())
    signal = _stack(parts, signal_name)
    if not ordered:
        signal = signal[order]
    names = np.concatenate([[os.path.basename(p)] * ds.sizes["time"] for p, ds in parts])[order]
    times = times[order]
    step = np.diff(times).astype("timedelta64[ns]")
    median = np.median(step) if step.size else np.timedelta64(0, "ns")
    stop = times + median
    rng = np.asarray(parts[0][1]["range"].values, np.float64)
    coords = {
        "time": ("time", times, {"standard_name": "time"}),
        "channel": ("channel", np.array([channel], dtype=object), {"long_name": "channel id"}),
        "range": ("range", rng, {"units": "m", "long_name": "distance along the beam from "
                                 "the instrument to the centre of the bin"}),
        "wavelength": ("channel", np.array([wavelength_nm * 1e-9]), {"units": "m"}),
        "detection_mode": ("channel", np.array(["analog"], dtype=object), {}),
        "signal_units": ("channel", np.array([units], dtype=object), {}),
        "stop_time": ("time", stop, {"long_name": "end of the profile (start of the next)"}),
        "source_file": ("time", names.astype(object), {}),
    }
    data: dict[str, tuple[tuple[str, ...], AnyArray, dict[str, str]]] = {
        "signal": (("time", "channel", "range"), signal[:, None, :],
                   {"long_name": "attenuated backscatter (see signal_units)"})}
    for name, (dims, values, vattrs) in extra.items():
        data[name] = (dims, values if ordered else values[order], vattrs)
    base = {"Conventions": "CF-1.8", "title": "ceilometer attenuated backscatter",
            "source": source, "source_files": [p for p, _ in parts],
            "aerolume_version": package_version(),
            "history": f"read by Aerolume {package_version()}"}
    base.update(attrs)
    return xr.Dataset(data, coords=coords, attrs=base)


def _stack(parts: list[tuple[str, _File]], name: str) -> FloatArray:
    """Variable `name` (time, range) of every file, joined along time as doubles (one
    conversion, written straight into the joined array)."""
    return np.concatenate([np.asarray(ds[name].transpose("time", "range").values)
                           for _, ds in parts], dtype=np.float64)


def read_cl61(paths: PathsLike, *, errors: Literal["raise", "skip"] = "raise") -> xr.Dataset:
    """Read Vaisala CL61 netCDF files into one time-height Dataset.

    Parameters
    ----------
    paths : path, glob pattern, or sequence of them
    errors : {"raise", "skip"}
        As for :func:`Aerolume.io.read_licel`.

    Returns
    -------
    xarray.Dataset
        ``signal`` (time, channel "910_att", range): attenuated backscatter (m-1 sr-1);
        ``volume_depolarization`` (time, range): the linear depolarisation ratio.
    """
    parts = _read(paths, "cl61", errors)
    depol = _stack(parts, "linear_depol_ratio") \
        if all("linear_depol_ratio" in ds for _, ds in parts) else None
    extra: dict[str, tuple[tuple[str, ...], FloatArray, dict[str, str]]] = {}
    if depol is not None:
        extra["volume_depolarization"] = (("time", "range"), depol,
                                          {"units": "1", "long_name": "volume linear "
                                           "depolarisation ratio"})
    first = parts[0][1]
    attrs: dict[str, Any] = {}
    for key in ("altitude", "latitude", "longitude", "zenith"):
        if key in first.variables and first[key].size == 1:
            attrs["zenith_angle" if key == "zenith" else key] = float(first[key].values)
    return _layout(parts, "beta_att", "910_att", 910.55, "m-1 sr-1", "Vaisala CL61",
                   extra, attrs)


def read_chm15k(paths: PathsLike, *, errors: Literal["raise", "skip"] = "raise") -> xr.Dataset:
    """Read Lufft CHM15k netCDF files into one time-height Dataset.

    Parameters
    ----------
    paths : path, glob pattern, or sequence of them
    errors : {"raise", "skip"}
        As for :func:`Aerolume.io.read_licel`.

    Returns
    -------
    xarray.Dataset
        ``signal`` (time, channel, range): ``beta_raw`` (normalised range-corrected
        signal, ``signal_units`` "1") on channel "1064_raw", or ``beta_att`` (m-1 sr-1) on
        "1064_att" where the files have it.
    """
    parts = _read(paths, "chm15k", errors)
    first = parts[0][1]
    nm = float(first["wavelength"].values) if "wavelength" in first.variables else 1064.0
    attrs = {}
    for key, name in (("altitude", "altitude"), ("latitude", "latitude"),
                      ("longitude", "longitude"), ("zenith", "zenith_angle")):
        if key in first.variables and first[key].size == 1:
            attrs[name] = float(first[key].values)
    if all("beta_att" in ds for _, ds in parts):
        return _layout(parts, "beta_att", f"{nm:g}_att", nm, "m-1 sr-1", "Lufft CHM15k", {},
                       attrs)
    return _layout(parts, "beta_raw", f"{nm:g}_raw", nm, "1", "Lufft CHM15k", {}, attrs)



#: Why ``aerolume process`` retrieves no Klett-Fernald backscatter from a ceilometer unless
#: the configuration names the channel: the product says so in its ``klett_skipped``.
KLETT_SKIPPED = ("a ceilometer's attenuated backscatter: at its near-infrared wavelength the "
                 "molecular signal is too weak against the noise for a Rayleigh reference, "
                 "so no Klett-Fernald retrieval was made (name the channel in [klett] "
                 "channels to make one anyway)")


def is_ceilometer(ds: xr.Dataset) -> bool:
    """Whether `ds` was read from ceilometer files (its signal is attenuated backscatter)."""
    return bool(ds.attrs.get("title") == "ceilometer attenuated backscatter")


def as_lidar_signal(ds: xr.Dataset) -> xr.Dataset:
    """A ceilometer Dataset in the raw-lidar layout the corrections and retrievals take:
    the range correction undone (``signal`` = attenuated backscatter / range², units
    ``signal_units`` + " m-2"), one "shot" per profile, the bin width from the range
    gates, the analog detection mode; the other variables (``volume_depolarization``)
    kept.  The instrument has subtracted the background already: correct it with
    ``background=None``.

    Raises
    ------
    ValueError
        The range gates are not evenly spaced, or not all beyond the instrument.
    """
    rng = np.asarray(ds["range"].values, dtype=np.float64)
    steps = np.diff(rng)
    if rng.size < 2 or not (rng[0] > 0 and (steps > 0).all()) or \
            not np.allclose(steps, steps[0], rtol=1e-4):
        raise ValueError("the ceilometer's range gates are not evenly spaced beyond the "
                         "instrument: the corrections need one bin width")
    out = ds.copy()
    out["signal"] = ds["signal"] / (rng ** 2)
    out["signal"].attrs = {"long_name": "attenuated backscatter divided by range squared "
                           "(see signal_units)"}
    units = [f"{u} m-2" for u in ds["signal_units"].values]
    out = out.assign_coords(
        signal_units=("channel", np.array(units, dtype=object), ds["signal_units"].attrs),
        bin_width=("channel", np.full(ds.sizes["channel"], float(steps.mean())),
                   {"units": "m", "long_name": "range bin width"}))
    out["shots"] = (("time", "channel"), np.ones((ds.sizes["time"], ds.sizes["channel"]),
                                                  np.int64),
                    {"units": "1", "long_name": "profiles averaged (one per record)"})
    return out
