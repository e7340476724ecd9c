"""Reader of PollyXT level-0 netCDF files into the raw-data layout of
:func:`Aerolume.io.read_licel`.

The level-0 file holds, per profile, the photon counts of every channel summed over the
shots: ``raw_signal`` (time, height, channel), ``measurement_shots`` (time, channel) and
``measurement_time`` (time, 2: the date as YYYYMMDD and the seconds of the day, UTC);
``measurement_height_resolution`` is the bin duration (ns; range bin width = c/2 x
duration), and ``location_height``, ``location_coordinates`` (latitude, longitude) and
``zenithangle`` describe the station.  Every channel counts photons; the file does not
name the channels' wavelengths (they are fixed per system), so the channels are
``ch1``, ``ch2``, ... and ``wavelength`` is NaN.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any, Literal

import numpy as np

from Aerolume._typing import AnyArray, FloatArray, IntArray
from Aerolume.constants import SPEED_OF_LIGHT
from Aerolume.errors import FileFormatError, reason as _reason
from Aerolume.io.files import PathsLike
from Aerolume.io.netcdf import open_raw

if TYPE_CHECKING:
    import netCDF4
    import xarray as xr
    from numpy.typing import NDArray

__all__ = ["read_pollyxt", "is_pollyxt", "profiles", "layout"]

_MANDATORY = ("raw_signal", "measurement_shots", "measurement_time")


def is_pollyxt(variables: Iterable[str]) -> bool:
    """Whether a netCDF file's variable names are those of a PollyXT level-0 file."""
    return all(name in set(variables) for name in ("raw_signal", "measurement_shots"))


def layout(channels: int, bins: int, bin_width: float) -> tuple[str, int, int, float]:
    """The key files must share to be joined: channels, bins and bin width (m)."""
    return ("pollyxt", int(channels), int(bins), float(bin_width))


def _describe(path: str, nc: netCDF4.Dataset) -> dict[str, Any]:
    """The file's shape, time stamps and bin width, checked, its counts left unread."""
    missing = [name for name in _MANDATORY if name not in nc.variables]
    if missing:
        raise FileFormatError(path, f"not a PollyXT level-0 file: the mandatory variable "
                         f"{missing[0]!r} is missing")
    shape = nc["raw_signal"].shape
    if len(shape) != 3:
        raise FileFormatError(path, f"raw_signal has {len(shape)} dimensions, not (time, "
                         "height, channel)")
    shots = np.asarray(nc["measurement_shots"][:], dtype=np.int64)
    stamp = np.asarray(nc["measurement_time"][:], dtype=np.int64)
    if shots.shape != (shape[0], shape[2]) or stamp.shape != (shape[0], 2):
        raise FileFormatError(path, f"measurement_shots or measurement_time do not match "
                         f"raw_signal's {shape[0]} profiles and {shape[2]} channels")
    duration = float(nc["measurement_height_resolution"][...]) \
        if "measurement_height_resolution" in nc.variables else 50.0
    width = SPEED_OF_LIGHT / 2 * duration * 1e-9
    return {"shape": shape, "shots": shots, "stamp": stamp, "bin_width": width,
            "time": _times(path, stamp), "layout": layout(shape[2], shape[1], width)}


def _times(path: str, stamp: IntArray) -> NDArray[np.datetime64]:
    try:
        days = [np.datetime64(f"{d // 10000:04d}-{d // 100 % 100:02d}-{d % 100:02d}")
                for d in stamp[:, 0]]
    except ValueError:
        raise FileFormatError(path, "measurement_time holds an impossible date") from None
    times: NDArray[np.datetime64] = (
        np.array(days, dtype="datetime64[ns]")
        + stamp[:, 1].astype("timedelta64[s]").astype("timedelta64[ns]"))
    return times


def _described(path: str, nc: netCDF4.Dataset) -> dict[str, Any]:
    """:func:`_describe`, a truncated or damaged file an error naming it."""
    try:
        return _describe(path, nc)
    except (OSError, RuntimeError, IndexError) as err:
        raise FileFormatError(path, f"cannot be read ({err}): a truncated or damaged "
                              "file") from None


def profiles(path: str, kind: str = "pollyxt"
             ) -> tuple[NDArray[np.datetime64], tuple[str, int, int, float]]:
    """The profiles' start times (datetime64[ns]) and the :func:`layout` of one file,
    its counts left unread (for the planner of ``aerolume process``)."""
    with open_raw(path) as nc:
        info = _described(path, nc)
    return info["time"], info["layout"]


def _one(path: str) -> dict[str, Any]:
    with open_raw(path) as nc:
        info = _described(path, nc)
        try:
            raw = np.asarray(nc["raw_signal"][:])
        except (OSError, RuntimeError, IndexError) as err:  # a truncated or damaged file
            raise FileFormatError(path, f"raw_signal cannot be read ({err}): a truncated or "
                             "damaged file") from None
        info["raw"] = raw.transpose(0, 2, 1)
        for name in ("location_height", "zenithangle"):
            if name in nc.variables:
                info[name] = float(np.asarray(nc[name][...]).ravel()[0])
        if "location_coordinates" in nc.variables:
            info["coordinates"] = np.asarray(nc["location_coordinates"][...], float).ravel()
        info["location"] = str(getattr(nc, "location", ""))
    return info


def _named(ids: Sequence[str], count: int, path: str) -> tuple[FloatArray, AnyArray]:
    """Wavelengths (m) and polarisations of channels named `ids` ("532s_pc")."""
    import re

    if len(ids) != count:
        raise FileFormatError(path, f"channel_ids names {len(ids)} channels where the file has "
                         f"{count}")
    wavelengths: list[float] = []
    polarizations: list[str] = []
    for ident in ids:
        found = re.match(r"([0-9]+)([ps]?)_", ident)
        if found is None:
            raise ValueError(f"channel_ids: {ident!r} does not start with a wavelength in nm "
                             "(e.g. 355_pc, 532s_pc)")
        wavelengths.append(float(found.group(1)) * 1e-9)
        polarizations.append({"p": "parallel", "s": "perpendicular", "": "none"}[found.group(2)])
    return np.array(wavelengths), np.array(polarizations, dtype=object)


def read_pollyxt(paths: PathsLike, *, errors: Literal["raise", "skip"] = "raise",
                 channel_ids: Sequence[str] | None = None) -> xr.Dataset:
    """Read PollyXT level-0 netCDF files into one time-height Dataset.

    Parameters
    ----------
    paths : path, glob pattern, or sequence of them
    errors : {"raise", "skip"}
        As for :func:`Aerolume.io.read_licel`.
    channel_ids : sequence of str, optional
        The channels' ids in file order (the file does not name them), each starting
        with the wavelength in nm and an optional polarisation letter: ``["355_pc",
        "355s_pc", "387_pc", ...]``; they give the ``wavelength`` and ``polarization``
        coordinates.  Default ``ch1``, ``ch2``, ... with NaN wavelengths.

    Returns
    -------
    xarray.Dataset
        ``signal`` (time, channel, range): count rate in MHz (counts / shots x 150 / bin
        width in m; NaN for a profile without shots); ``raw`` the counts; ``shots``.
    """
    import xarray as xr

    from Aerolume.io.files import _expand, _fail, package_version

    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', got {errors!r}")
    files = _expand(paths)
    parts: list[tuple[str, dict[str, Any]]] = []
    problems: list[tuple[str, str, bool]] = []
    for path in files:
        try:
            parts.append((path, _one(path)))
        except FileNotFoundError as err:
            problems.append((path, _reason(err), True))
        except ValueError as err:
            problems.append((path, _reason(err), False))
    first = parts[0][1] if parts else {}
    for path, info in list(parts[1:]):
        if info["layout"] != first["layout"]:
            problems.append((path, f"its channels or bins differ from {parts[0][0]}'s", False))
            parts.remove((path, info))
    _fail(problems, len(files), errors)
    if not parts:
        raise ValueError("read_pollyxt: none of the files could be read")
    time = np.concatenate([i["time"] for _, i in parts])
    order = np.argsort(time, kind="stable")
    raw = np.concatenate([i["raw"] for _, i in parts])[order]
    shots = np.concatenate([i["shots"] for _, i in parts])[order]
    time = time[order]
    width = first["bin_width"]
    with np.errstate(divide="ignore", invalid="ignore"):
        signal = raw / shots[:, :, None] * (150.0 / width)
    signal[shots == 0] = np.nan
    nchan, nbins = raw.shape[1], raw.shape[2]
    step = np.median(np.diff(time)) if time.size > 1 else np.timedelta64(30, "s")
    names = np.concatenate([[os.path.basename(p)] * i["raw"].shape[0] for p, i in parts])
    if channel_ids is not None:
        wavelengths, polarizations = _named(list(channel_ids), nchan, parts[0][0])
        ids = list(channel_ids)
    else:
        wavelengths = np.full(nchan, np.nan)
        polarizations = np.array(["none"] * nchan, dtype=object)
        ids = [f"ch{k + 1}" for k in range(nchan)]
    coords = {
        "time": ("time", time, {"standard_name": "time"}),
        "channel": ("channel", np.array(ids, dtype=object), {"long_name": "channel id"}),
        "range": ("range", (np.arange(nbins) + 0.5) * width,
                  {"units": "m", "long_name": "distance along the beam from the instrument "
                   "to the centre of the bin"}),
        "wavelength": ("channel", wavelengths, {"units": "m"}),
        "polarization": ("channel", polarizations,
                         {"long_name": "polarisation relative to the laser's"}),
        "detection_mode": ("channel", np.array(["photon_counting"] * nchan, dtype=object), {}),
        "signal_units": ("channel", np.array(["MHz"] * nchan, dtype=object), {}),
        "bin_width": ("channel", np.full(nchan, width), {"units": "m"}),
        "stop_time": ("time", time + step, {"long_name": "end of the profile (start of "
                                            "the next)"}),
        "source_file": ("time", names[order].astype(object), {}),
    }
    data = {
        "signal": (("time", "channel", "range"), signal, {"long_name": "count rate"}),
        "raw": (("time", "channel", "range"), raw.astype(np.uint32),
                {"units": "1", "long_name": "photon counts summed over the shots"}),
        "shots": (("time", "channel"), shots, {"units": "1", "long_name": "laser shots summed"}),
    }
    attrs = {"Conventions": "CF-1.8", "title": "lidar raw signals",
             "source": "PollyXT level-0 files", "site": first["location"],
             "source_files": [p for p, _ in parts], "aerolume_version": package_version(),
             "history": f"read by Aerolume {package_version()} read_pollyxt"}
    if "location_height" in first:
        attrs["altitude"] = first["location_height"]
    if "zenithangle" in first:
        attrs["zenith_angle"] = first["zenithangle"]
    if "coordinates" in first and first["coordinates"].size >= 2:
        attrs["latitude"], attrs["longitude"] = map(float, first["coordinates"][:2])
    return xr.Dataset(data, coords=coords, attrs=attrs)
