"""What a set of raw files holds, on one screen (``aerolume info``)."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike

if TYPE_CHECKING:
    import xarray as xr

__all__ = ["describe", "describe_dataset"]


def describe(files: Sequence[str], *, errors: str = "skip") -> str:
    """Reads raw files and describes them (see :func:`describe_dataset`).

    Parameters
    ----------
    files : sequence of str
        Raw files.
    errors : {"skip", "raise"}
        What to do with files that cannot be read: leave them out with a warning naming
        each, or raise a ValueError naming them.
    """
    from Aerolume.io import read

    return describe_dataset(read(list(files), errors=errors), len(files))


def describe_dataset(ds: xr.Dataset, given: int | None = None) -> str:
    """A short text: site, position, period, and one line per channel.

    Parameters
    ----------
    ds : xarray.Dataset
        As read by :func:`Aerolume.io.read_licel`.
    given : int, optional
        How many files were asked for (to say how many could not be read).

    Returns
    -------
    str
        Lines ending in a newline.
    """
    times = np.asarray(ds["time"].values)
    stops = np.asarray(ds["stop_time"].values) if "stop_time" in ds.coords else times
    count = times.size
    lines = []
    files = f"{count} profile{'s' if count != 1 else ''}"
    if given is not None and given != count:
        files += f" from {given} files ({given - count} could not be read)"
    site = str(ds.attrs.get("site", "")).strip() or "unnamed site"
    lines.append(f"{site}: {files}")

    where = []
    altitude = _one(ds, "altitude", "station_altitude")
    if altitude is not None:
        where.append(f"{altitude:g} m above sea level")
    lat, lon = _one(ds, "latitude", "latitude"), _one(ds, "longitude", "longitude")
    if lat is not None and lon is not None:
        where.append(f"{abs(lat):.2f}°{'N' if lat >= 0 else 'S'} "
                     f"{abs(lon):.2f}°{'E' if lon >= 0 else 'W'}")
    zenith = _one(ds, "zenith_angle", "zenith_angle")
    if zenith is not None:
        where.append(f"zenith angle {zenith:g}°")
    if where:
        lines.append("  " + ", ".join(where))

    first, last = times.min(), stops.max()
    minutes = (last - first) / np.timedelta64(1, "s") / 60
    lines.append(f"  {_stamp(first)} to {_stamp(last)} UTC ({minutes:.4g} min)")
    if "laser_shots" in ds and "repetition_rate" in ds.coords:
        for k, laser in enumerate(np.asarray(ds["laser"].values)):
            shots = np.asarray(ds["laser_shots"].values)[:, k]
            rate = np.asarray(ds["repetition_rate"].values)[:, k]
            if shots.any():
                lines.append(f"  laser {laser}: {_span(shots)} shots a profile at "
                             f"{_span(rate)} Hz")

    header = ("channel", "wavelength", "mode", "polarisation", "bins", "bin width",
              "shots", "scale")
    rows = [header]
    for c in range(ds.sizes["channel"]):
        one = ds.isel(channel=c)
        mode = str(one["detection_mode"].values)
        if mode == "analog" and "input_range" in one.coords:
            bits = _span(np.asarray(one["adc_bits"].values)) if "adc_bits" in one.coords else "?"
            scale = f"{_span(np.asarray(one['input_range'].values) * 1e3)} mV, {bits} bit"
        elif "discriminator_level" in one.coords:
            scale = f"discriminator {_span(np.asarray(one['discriminator_level'].values))}"
        else:
            scale = ""
        rows.append((str(one["channel"].values),
                     f"{float(one['wavelength'].values) * 1e9:.1f} nm",
                     mode.replace("_", " "),
                     str(one["polarization"].values) if "polarization" in one.coords else "",
                     str(int(one["bins"].values)) if "bins" in one.coords else
                     str(ds.sizes["range"]),
                     f"{float(one['bin_width'].values):g} m" if "bin_width" in one.coords else "",
                     _span(np.asarray(one["shots"].values)) if "shots" in one else "",
                     scale))
    widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
    lines.append("")
    for row in rows:
        lines.append("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip())
    return "\n".join(lines) + "\n"


def _one(ds: xr.Dataset, attr: str, coord: str) -> float | None:
    if attr in ds.attrs:
        return float(ds.attrs[attr])
    if coord in ds.coords:
        values = np.unique(np.asarray(ds[coord].values, dtype=float))
        if values.size == 1 and np.isfinite(values[0]):
            return float(values[0])
    return None


def _span(values: ArrayLike) -> str:
    flat = np.asarray(values).ravel()
    flat = flat[np.isfinite(flat)] if flat.dtype.kind == "f" else flat
    if flat.size == 0:
        return "-"
    low, high = flat.min(), flat.max()
    return f"{low:g}" if low == high else f"{low:g}-{high:g}"


def _stamp(t: np.datetime64) -> str:
    return str(np.datetime_as_string(t, unit="s")).replace("T", " ")
