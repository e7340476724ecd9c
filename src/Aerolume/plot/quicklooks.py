"""Quicklooks of a processed file: what the night looked like, at a glance.

One time-height panel of the range-corrected signal per elastic channel (logarithmic
colour scale, range in km, time in UTC), one of the retrieved aerosol backscatter with
the gates its quality flag rejects in grey, one of the volume depolarisation ratio
(when the file has it) greyed by its flag likewise, and one profile panel of the backscatter
averaged over the file's period over the gates flagged good, with its ±1 sigma band.  The
reference intervals, the full-overlap height, the clouds and the boundary-layer height
are marked where the file has them.  Drawn with
matplotlib's object interface on its Agg canvas, so that the caller's pyplot state and
backend are left alone.  matplotlib is an optional dependency
(``pip install 'Aerolume[plot]'``).
"""

from __future__ import annotations

import os
import pathlib

from collections.abc import Callable
from typing import TYPE_CHECKING

import numpy as np
from numpy.typing import ArrayLike, NDArray

from Aerolume._typing import AnyArray, FloatArray

if TYPE_CHECKING:
    import xarray as xr
    from matplotlib.axes import Axes
    from matplotlib.collections import QuadMesh
    from matplotlib.figure import Figure

__all__ = ["quicklook"]

INSTALL_PLOT = "pip install 'Aerolume[plot]'"

def quicklook(product: str | os.PathLike[str], output: str | os.PathLike[str], *,
              max_range: float = 15e3, channels: list[str] | None = None,
              dpi: int = 100) -> pathlib.Path:
    """Draws the quicklook of a processed file into a PNG image.

    Parameters
    ----------
    product : path-like
        A netCDF file written by ``aerolume process`` (or any Dataset file with the same
        variables: ``signal`` on (time, channel, range) and, for the profile panel,
        ``backscatter`` and ``backscatter_uncertainty`` on (time, klett_channel, range)).
    output : path-like
        The PNG file to write.
    max_range : float, optional
        Top of every panel along the beam (m).
    channels : list of str, optional
        The channels drawn as time-height panels; default the channels of the retrieval, else
        :func:`Aerolume.processing.products.elastic_channels`.
    dpi : int, optional
        Resolution of the image (dots per inch); the figure is 13 inches wide.

    Returns
    -------
    pathlib.Path
        The image written.

    Raises
    ------
    ValueError
        `product` is not a processed file, or a channel asked for is not in it.
    ImportError
        matplotlib is not installed (the message says how to install it).
    """
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
        import matplotlib.dates as mdates
        from matplotlib.colors import LogNorm
    except ImportError:
        from Aerolume.processing.runners import MissingDependency
        raise MissingDependency(f"quicklooks need matplotlib: {INSTALL_PLOT}") from None
    import xarray as xr

    from Aerolume._files import write_atomically
    from Aerolume.processing.products import elastic_channels

    path = pathlib.Path(product)
    try:
        ds = xr.open_dataset(path)
    except Exception as err:  # the netCDF libraries raise several types for a bad file
        raise ValueError(f"{path}: not a readable netCDF file ({err})") from None
    with ds:
        missing = [v for v in ("signal", "channel", "range", "time", "wavelength")
                   if v not in ds.variables]
        if missing:
            raise ValueError(f"{path}: not a processed lidar file (no "
                             f"{', '.join(missing)})")
        if channels is None:
            if "klett_channel" in ds.coords and ds.sizes.get("klett_channel", 0):
                channels = [str(c) for c in ds["klett_channel"].values]
            else:
                channels = elastic_channels(ds) or [str(c) for c in ds["channel"].values]
        known = [str(c) for c in ds["channel"].values]
        for c in channels:
            if c not in known:
                raise ValueError(f"{path}: no channel {c!r} (channels: {', '.join(known)})")

        shown = ds.sel(range=ds["range"] <= max_range)
        if shown.sizes["range"] < 2 or shown.sizes["time"] < 1:
            raise ValueError(f"{path}: nothing to draw below {max_range / 1e3:g} km")
        rng = np.asarray(shown["range"].values, dtype=float)
        times = np.asarray(shown["time"].values)
        time_edges = _time_edges(shown)
        range_edges = _edges(rng) / 1e3

        has_product = "backscatter" in shown and shown.sizes.get("klett_channel", 0) > 0
        depolarization = ("volume_depolarization" in shown
                          and shown.sizes.get("depolarization_channel", 0) > 0)
        rows = len(channels) + int(has_product) + int(depolarization)
        fig = Figure(figsize=(13, 2.9 * rows + 1.2), dpi=dpi, layout="constrained")
        FigureCanvasAgg(fig)
        grid = fig.add_gridspec(rows, 2, width_ratios=[3.2, 1])
        fig.suptitle(_title(shown, times[0], time_edges[-1]), fontsize=13)

        for row, channel in enumerate(channels):
            ax = fig.add_subplot(grid[row, 0])
            one = shown.sel(channel=channel)
            rcs = np.asarray(one["signal"].values, dtype=float) * rng**2
            units = str(one["signal_units"].values) if "signal_units" in one.coords else \
                one["signal"].attrs.get("units", "")
            positive = rcs[np.isfinite(rcs) & (rcs > 0)]
            if positive.size:
                low, high = np.percentile(positive, [2.0, 99.8])
                norm = LogNorm(vmin=low, vmax=max(high, low * 10))
            else:
                norm = LogNorm(vmin=1.0, vmax=10.0)
            shown_rcs = np.where(rcs > 0, rcs, np.nan)
            mesh = ax.pcolormesh(time_edges, range_edges, shown_rcs.T, norm=norm,
                                 cmap="viridis", shading="flat", rasterized=True)
            ax.set_ylim(0, max_range / 1e3)
            ax.set_ylabel("range (km)")
            ax.set_xlabel("time (UTC)")
            ax.xaxis.set_major_formatter(mdates.DateFormatter("%H:%M"))
            ax.xaxis.set_major_locator(mdates.AutoDateLocator(minticks=3, maxticks=8))
            wl = float(one["wavelength"].values) * 1e9
            mode = str(one["detection_mode"].values).replace("_", " ") \
                if "detection_mode" in one.coords else ""
            ax.set_title(f"range-corrected signal, {channel} ({wl:.0f} nm"
                         f"{', ' + mode if mode else ''})", fontsize=10, loc="left")
            bar = fig.colorbar(mesh, ax=ax, pad=0.01)
            bar.set_label(f"P r² ({units} m²)" if units else "P r² (m²)")
            _marks(ax, shown, times, time_edges)

        if has_product:
            _product_panel(fig, fig.add_subplot(grid[len(channels), 0]), shown, time_edges,
                           range_edges, max_range, times)
        if depolarization:
            _depolarization_panel(fig, fig.add_subplot(grid[rows - 1, 0]), shown,
                                  time_edges, range_edges, max_range, times)
        _profile_panel(fig.add_subplot(grid[:, 1]), shown, max_range, time_edges[-1])
        write_atomically(output, lambda temporary: fig.savefig(temporary, format="png",
                                                               dpi=dpi))
    return pathlib.Path(output)


def _profile_panel(ax: Axes, ds: xr.Dataset, max_range: float, end: np.datetime64) -> None:
    ax.set_ylim(0, max_range / 1e3)
    ax.set_ylabel("range (km)")
    ax.set_xlabel("aerosol backscatter (Mm⁻¹ sr⁻¹)")
    if "backscatter" not in ds or ds.sizes.get("klett_channel", 0) == 0:
        ax.set_title("no retrieval in this file", fontsize=10)
        ax.text(0.5, 0.5, "no backscatter retrieved", transform=ax.transAxes,
                ha="center", va="center", color="0.4")
        return
    rng = np.asarray(ds["range"].values, dtype=float) / 1e3
    count = ds.sizes["time"]
    drawn = False
    means = []
    for channel in ds["klett_channel"].values:
        beta = np.asarray(ds["backscatter"].sel(klett_channel=channel).values, dtype=float)
        if "quality_flag" in ds:
            flag = np.asarray(ds["quality_flag"].sel(klett_channel=channel).values)
            counted = np.isfinite(beta).sum(axis=0)
            every = np.where(counted > 0, np.nansum(beta, axis=0) / np.maximum(counted, 1),
                             np.nan)
            ax.plot(every * 1e6, rng, lw=0.8, color="0.7",
                    label=f"{channel}, all gates (flagged too)")
            beta = np.where(flag == 0, beta, np.nan)
        with np.errstate(invalid="ignore"):
            valid = np.isfinite(beta).sum(axis=0)
            mean = np.where(valid > 0, np.nansum(beta, axis=0) / np.maximum(valid, 1), np.nan)
        means.append(mean)
        line, = ax.plot(mean * 1e6, rng, lw=1.2, label=str(channel))
        drawn = drawn or bool(np.isfinite(mean).any())
        if "backscatter_uncertainty" in ds:
            sigma = np.asarray(ds["backscatter_uncertainty"].sel(klett_channel=channel).values,
                               dtype=float)
            # The uncertainty of the mean of independent profiles.
            with np.errstate(invalid="ignore"):
                spread = np.sqrt(np.nansum(np.where(np.isfinite(beta), sigma**2, np.nan),
                                           axis=0)) / np.maximum(valid, 1)
            spread = np.where(valid > 0, spread, np.nan)
            ax.fill_betweenx(rng, (mean - spread) * 1e6, (mean + spread) * 1e6,
                             color=line.get_color(), alpha=0.35, lw=0.6,
                             edgecolor=line.get_color(), label=f"{channel} ±1σ")
    ax.axvline(0.0, color="0.6", lw=0.6)
    _height_lines(ax, ds)
    if means:
        # Limits from the trusted values (the gates flagged good): the retrieval's noisy
        # ends (incomplete overlap, weak signal near the reference) do not dictate them.
        values = np.concatenate(means) * 1e6
        values = values[np.isfinite(values)]
        if values.size:
            low, high = np.percentile(values, [2.0, 99.5])
            pad = 0.1 * max(high - low, abs(high), 1e-3)
            ax.set_xlim(min(low, 0.0) - pad, high + pad)
    first, last = (np.datetime_as_string(t, unit="m")[-5:] for t in
                   (ds["time"].values[0], end))
    ax.set_title(f"mean of {count} profile{'s' if count != 1 else ''}, "
                 f"{first}–{last} UTC", fontsize=10)
    if drawn:
        ax.legend(fontsize=8, loc="upper right")
    else:
        ax.text(0.5, 0.5, "no valid backscatter", transform=ax.transAxes,
                ha="center", va="center", color="0.4")
    ax.grid(alpha=0.3)


def _height_lines(ax: Axes, ds: xr.Dataset) -> None:
    """The full-overlap height, the reference intervals and the mean cloud base, top and
    boundary-layer height as horizontal marks of a profile panel (range in km)."""
    if "full_overlap_height" in ds:
        height = float(np.asarray(ds["full_overlap_height"].values).ravel()[0])
        if np.isfinite(height):
            ax.axhline(height / 1e3, color="tab:red", ls="--", lw=0.9,
                       label="full overlap")
    if "reference_bottom" in ds:
        bottom = np.asarray(ds["reference_bottom"].values, dtype=float)
        top = np.asarray(ds["reference_top"].values, dtype=float)
        if np.isfinite(bottom).any():
            ax.axhspan(np.nanmin(bottom) / 1e3, np.nanmax(top) / 1e3, color="tab:green",
                       alpha=0.15, lw=0, label="reference")
    for name, color, ls in (("cloud_base", "0.3", ":"),
                            ("boundary_layer_height", "tab:orange", "-.")):
        if name in ds:
            values = np.asarray(ds[name].values, dtype=float)
            if np.isfinite(values).any():
                ax.axhline(np.nanmin(values) / 1e3 if name == "cloud_base"
                           else np.nanmedian(values) / 1e3, lw=0.9,
                           label=name.replace("_", " "), color=color, ls=ls)


def _marks(ax: Axes, ds: xr.Dataset, times: AnyArray, time_edges: AnyArray) -> None:
    """Over a time-height panel: the reference intervals, full overlap, clouds and the
    boundary-layer height, profile by profile."""
    centre = time_edges[:-1] + (time_edges[1:] - time_edges[:-1]) / 2
    if "full_overlap_height" in ds:
        height = float(np.asarray(ds["full_overlap_height"].values).ravel()[0])
        if np.isfinite(height):
            ax.axhline(height / 1e3, color="tab:red", ls="--", lw=0.9)
    if "reference_bottom" in ds and ds["reference_bottom"].ndim == 2:
        for k in range(ds["reference_bottom"].shape[1]):
            for edge in ("reference_bottom", "reference_top"):
                ax.plot(centre, np.asarray(ds[edge].values[:, k], dtype=float) / 1e3,
                        color="white", lw=0.8, ls="--")
    for name, marker in (("cloud_base", "v"), ("cloud_top", "^")):
        if name in ds:
            values = np.asarray(ds[name].values, dtype=float).reshape(len(times), -1)
            for layer in values.T:
                ax.plot(centre, layer / 1e3, marker, color="white", ms=3, ls="none")
    if "boundary_layer_height" in ds:
        blh = np.asarray(ds["boundary_layer_height"].values, dtype=float).reshape(-1)
        ax.plot(centre, blh / 1e3, "o-", color="tab:orange", ms=3, lw=0.8)


def _product_panel(fig: Figure, ax: Axes, ds: xr.Dataset, time_edges: AnyArray,
                   range_edges: FloatArray, max_range: float, times: AnyArray) -> None:
    """The first Klett-Fernald channel's backscatter, the gates its flag rejects in grey."""
    channel = ds["klett_channel"].values[0]
    beta = np.asarray(ds["backscatter"].sel(klett_channel=channel).values, dtype=float) * 1e6
    flag = (ds["quality_flag"].sel(klett_channel=channel).values
            if "quality_flag" in ds else None)
    mesh = _flagged_field(ax, beta, flag, time_edges, range_edges, "magma_r",
                          lambda high: max(high, 1e-3), default_high=1.0)
    _field_axes(fig, ax, ds, mesh, times, time_edges, max_range,
                f"aerosol backscatter (Klett-Fernald), {channel}: grey where flagged",
                "β_a (Mm⁻¹ sr⁻¹)")


def _depolarization_panel(fig: Figure, ax: Axes, ds: xr.Dataset, time_edges: AnyArray,
                          range_edges: FloatArray, max_range: float, times: AnyArray) -> None:
    """The first pair's volume depolarisation ratio, the gates its flag rejects in grey."""
    channel = ds["depolarization_channel"].values[0]
    delta = np.asarray(ds["volume_depolarization"].sel(depolarization_channel=channel).values,
                       dtype=float)
    flag = (ds["volume_depolarization_flag"].sel(depolarization_channel=channel).values
            if "volume_depolarization_flag" in ds else None)
    mesh = _flagged_field(ax, delta, flag, time_edges, range_edges, "cividis",
                          lambda high: min(max(high, 0.05), 1.0), default_high=0.5)
    _field_axes(fig, ax, ds, mesh, times, time_edges, max_range,
                f"volume linear depolarisation ratio, {channel}: grey where flagged", "δ_v")


def _flagged_field(ax: Axes, values: FloatArray, flag: ArrayLike | None, time_edges: AnyArray,
                   range_edges: FloatArray, cmap: str, top: Callable[[float], float],
                   default_high: float) -> QuadMesh:
    """`values` (time, range) drawn where finite and unflagged (flag 0), the gates the flag
    rejects in grey; the colour scale from 0 to `top` of the trusted values' 99.5th
    percentile (`default_high` when none is trusted)."""
    from matplotlib.colors import ListedColormap

    good = np.isfinite(values)
    if flag is not None:
        good &= np.asarray(flag) == 0
    rejected = np.where(np.isfinite(values) & ~good, 1.0, np.nan)
    ax.pcolormesh(time_edges, range_edges, rejected.T, cmap=ListedColormap(["0.75"]),
                  shading="flat", rasterized=True)
    trusted = np.where(good, values, np.nan)
    shown = trusted[np.isfinite(trusted)]
    high = float(np.percentile(shown, 99.5)) if shown.size else default_high
    return ax.pcolormesh(time_edges, range_edges, trusted.T, cmap=cmap, vmin=0.0,
                         vmax=top(high), shading="flat", rasterized=True)


def _field_axes(fig: Figure, ax: Axes, ds: xr.Dataset, mesh: QuadMesh, times: AnyArray,
                time_edges: AnyArray, max_range: float, title: str, label: str) -> None:
    """A product panel's cloud and boundary-layer marks, axes, title and colour bar."""
    import matplotlib.dates as mdates

    _marks(ax, ds, times, time_edges)
    ax.set_ylim(0, max_range / 1e3)
    ax.set_ylabel("range (km)")
    ax.set_xlabel("time (UTC)")
    ax.xaxis.set_major_formatter(mdates.DateFormatter("%H:%M"))
    ax.set_title(title, fontsize=10, loc="left")
    fig.colorbar(mesh, ax=ax, pad=0.01).set_label(label)


def _title(ds: xr.Dataset, first: np.datetime64, last: np.datetime64) -> str:
    site = str(ds.attrs.get("site", "")).strip() or "lidar"
    day = np.datetime_as_string(first, unit="D")
    end_day = np.datetime_as_string(last, unit="D")
    span = (f"{np.datetime_as_string(first, unit='m')[-5:]}–"
            f"{np.datetime_as_string(last, unit='m')[-5:]} UTC")
    when = f"{day}, {span}" if day == end_day else f"{day} to {end_day}, {span}"
    return f"{site}: {when}"


def _edges(centres: FloatArray) -> FloatArray:
    """Cell edges around increasing centres (half-way between, extended at both ends)."""
    if centres.size == 1:
        return np.array([centres[0] - 0.5, centres[0] + 0.5])
    middle = (centres[1:] + centres[:-1]) / 2
    return np.concatenate([[2 * centres[0] - middle[0]], middle,
                           [2 * centres[-1] - middle[-1]]])


def _time_edges(ds: xr.Dataset) -> NDArray[np.datetime64]:
    """Edges of the profiles in time: each starts at its time and ends at the next one's
    start (the last after the usual spacing, or its recorded stop time)."""
    start = np.asarray(ds["time"].values).astype("datetime64[ns]")
    step = np.median(np.diff(start)) if start.size > 1 else None
    for name in ("time_end", "stop_time", "end_time", "time_stop"):
        if name in ds.coords or name in ds:
            stop = np.asarray(ds[name].values).astype("datetime64[ns]")
            if stop.shape == start.shape:
                step = stop[-1] - start[-1]
                break
    if step is None or not step > np.timedelta64(0, "ns"):
        step = np.timedelta64(60, "s").astype("timedelta64[ns]")
    return np.concatenate([start, [start[-1] + step]])
