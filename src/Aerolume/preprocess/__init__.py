"""Instrument corrections of lidar signals: from raw signals to corrected time-height data.

Array functions work on NumPy arrays whose last axis is range (any leading axes are
profiles); :func:`correct` applies a whole chain to a Dataset of
:func:`Aerolume.io.read_licel` in one pass of the compiled core:

1. dead-time correction of photon-counting rates,
2. background: mean and standard deviation over a window, subtracted,
3. trigger delay: a shift by a whole number of bins per channel,
4. gluing of analog and photon-counting channels of the same wavelength,
5. averaging in time (shots-weighted) and in range (bin merging),
6. overlap and range correction.

A noise estimate (a standard deviation) is carried through every step: Poisson
statistics for photon counting, the background's standard deviation for analog.

Units: photon-counting rates in MHz, analog signals in mV, dead times in ns, ranges in m.
"""

from __future__ import annotations

import json
import os
import re
import warnings
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any, Literal, NamedTuple, SupportsFloat, SupportsInt, Union

import numpy as np
import xarray as xr
from numpy.typing import ArrayLike, NDArray

from Aerolume import _core
from Aerolume._checks import as_float64, require_finite, require_positive, thread_count
from Aerolume._shapes import per_profile
from Aerolume._typing import AnyArray, BoolArray, FloatArray, IntArray
from Aerolume.constants import mhz_per_count
from Aerolume.preprocess.dead_time import (DeadTimeCalibration, Model, calibrate_dead_time,
                                           check_dead_time)
from Aerolume.preprocess.overlap import estimate_overlap, estimate_overlap_from_pair, read_overlap

__all__ = ["DeadTime", "Background", "Glue", "Averaged", "dead_time_correction", "shift_bins",
           "subtract_background", "glue_channels", "average_time", "average_range",
           "range_correct", "overlap_correct", "correct", "CORRECTION_KEYS",
           "DeadTimeCalibration", "calibrate_dead_time", "check_dead_time", "calibrate_channels",
           "estimate_overlap", "estimate_overlap_from_pair", "read_overlap"]

_MODELS = ("non_paralysable", "paralysable")


class DeadTime(NamedTuple):
    """Result of :func:`dead_time_correction`."""
    rate: FloatArray            #: corrected count rate (MHz); NaN where saturated
    noise: FloatArray | None    #: its standard deviation (MHz), if a noise was given
    saturated: BoolArray        #: True where the measured rate is beyond the model's reach


class Background(NamedTuple):
    """Result of :func:`subtract_background`."""
    signal: FloatArray          #: the signal minus the background mean
    mean: FloatArray            #: background per profile (signal units)
    std: FloatArray             #: standard deviation of the window per profile
    # (the field is named as the record names it: it hides tuple.count, as NamedTuple lets it)
    count: IntArray  # type: ignore[assignment]  #: finite bins in the window per profile


class Glue(NamedTuple):
    """Result of :func:`glue_channels`."""
    signal: FloatArray          #: glued signal (count-rate units, MHz)
    noise: FloatArray | None    #: its standard deviation, if noises were given
    slope: FloatArray           #: per profile, MHz per analog unit
    offset: FloatArray          #: per profile, MHz
    correlation: FloatArray     #: per profile, Pearson correlation of the fitted bins
    bins_used: AnyArray         #: per profile, number of bins in the fit
    first_bin: AnyArray         #: per profile, first bin used (-1 if none)
    last_bin: AnyArray          #: per profile, last bin used (-1 if none)


class Averaged(NamedTuple):
    """Result of :func:`average_time` and :func:`average_range`."""
    signal: FloatArray
    noise: FloatArray | None
    axis: FloatArray | None     #: weights summed per group (time) or merged ranges (range)


def _signal(value: ArrayLike, name: str) -> FloatArray:
    array = as_float64(value, name, ndim_min=1)
    if array.shape[-1] == 0:
        raise ValueError(f"{name} has an empty range axis")
    return array


def _noise(value: ArrayLike | None, shape: tuple[int, ...], name: str) -> FloatArray | None:
    if value is None:
        return None
    array = as_float64(value, name)
    if array.shape != shape:
        raise ValueError(f"{name} must have the signal's shape {shape}, got {array.shape}")
    return array


def dead_time_correction(rate: ArrayLike, dead_time: ArrayLike, *,
                         model: Model = "non_paralysable", noise: ArrayLike | None = None,
                         threads: int | None = None) -> DeadTime:
    """Correct photon-counting rates for the counter's dead time.

    Parameters
    ----------
    rate : array_like, (..., range)
        Measured count rate (MHz), before background subtraction.
    dead_time : float or array_like
        Dead time (ns), one value or one per profile (broadcast to ``rate.shape[:-1]``).
    model : {"non_paralysable", "paralysable"}
        Non-paralysable: N = M / (1 - M tau).  Paralysable: M = N exp(-N tau), inverted
        on the branch N tau < 1 with Lambert's W function.
    noise : array_like, optional
        Standard deviation of `rate` (MHz); scaled by dN/dM.
    threads : int, optional
        Threads to use; all cores by default.

    Returns
    -------
    DeadTime
        ``rate`` (MHz), ``noise`` (MHz or None) and ``saturated``: True where the
        measured rate is beyond what the model can produce (M tau >= 1, non-paralysable;
        M tau > 1/e or negative, paralysable).  Those bins are NaN, never a wrong
        finite number.
    """
    if model not in _MODELS:
        raise ValueError(f"model must be one of {_MODELS}, got {model!r}")
    rates = _signal(rate, "rate")
    sd = _noise(noise, rates.shape, "noise")
    tau = per_profile(dead_time, "dead_time", rates.shape[:-1], positive=True,
                      allow_zero=True, shared=False)
    out, out_noise, saturated = _core.dead_time(rate=rates, noise=sd, tau=tau, model=model,
                                                threads=thread_count(threads))
    return DeadTime(out, out_noise, saturated.astype(bool))


def shift_bins(signal: ArrayLike, shift: ArrayLike, *, threads: int | None = None
               ) -> FloatArray:
    """Shift profiles along range by whole bins (trigger delay, zero-bin correction).

    Parameters
    ----------
    signal : array_like, (..., range)
    shift : int or array_like of int
        Bins, one value or one per profile: ``out[..., k] = signal[..., k + shift]``.
        A positive shift removes `shift` bins recorded before the laser fired (the
        profile moves towards the instrument); a negative one delays the profile.
        Bins shifted in from outside are NaN.
    threads : int, optional

    Returns
    -------
    numpy.ndarray
        Same shape as `signal`.
    """
    values = _signal(signal, "signal")
    shifts = np.asarray(shift)
    if shifts.dtype.kind not in "iu":
        raise TypeError(f"shift must be integer bins, got dtype {shifts.dtype}")
    bins = per_profile(shifts, "shift", values.shape[:-1], dtype=np.int64, shared=False)
    return _core.shift_bins(values, bins, thread_count(threads))


def _window(window: Iterable[SupportsInt], gates: int, name: str) -> tuple[int, int]:
    try:
        begin, end = (int(v) for v in window)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a pair of bin indices (begin, end)") from None
    begin = begin + gates if begin < 0 else begin
    end = end + gates if end < 0 else end
    if not 0 <= begin < end <= gates:
        raise ValueError(f"{name} {tuple(window)} is not a non-empty window of the "
                         f"{gates} bins")
    return begin, end


def _far_window(gates: int) -> tuple[int, int]:
    """The farthest tenth of the bins (at least 2)."""
    return max(0, gates - max(gates // 10, 2)), gates


def subtract_background(signal: ArrayLike,
                        window: tuple[int | None, int | None] | None = None, *,
                        subtract: bool = True, threads: int | None = None) -> Background:
    """Estimate the background of each profile over a window of bins and subtract it.

    Parameters
    ----------
    signal : array_like, (..., range)
    window : (int, int or None), optional
        Bins [begin, end) of the window; negative values count from the far end, None
        is the end.  The default, the farthest tenth of the bins, suits far-range
        backgrounds; the pre-trigger bins are e.g. ``(0, 100)``.
    subtract : bool
        Whether to return the signal minus the background (else ``signal`` is None).
    threads : int, optional

    Returns
    -------
    Background
        ``signal``, and per profile ``mean``, ``std`` (with one degree of freedom
        removed) and ``count`` of the finite bins of the window.
    """
    values = _signal(signal, "signal")
    gates = values.shape[-1]
    if window is None:
        begin, end = _far_window(gates)
    else:
        try:
            low, high = window
        except (TypeError, ValueError):
            raise TypeError("window must be a pair of bin indices (begin, end)") from None
        begin, end = _window((0 if low is None else low, gates if high is None else high),
                             gates, "window")
    n = values.size // gates
    out, mean, std, count = _core.background(values, np.full(n, begin, np.uint64),
                                             np.full(n, end, np.uint64), subtract,
                                             thread_count(threads))
    lead = values.shape[:-1]
    return Background(out, mean.reshape(lead), std.reshape(lead),
                      count.astype(np.int64).reshape(lead))


def glue_channels(analog: ArrayLike, photon_counting: ArrayLike, *,
                  window: tuple[float, float] = (0.5, 15.0),
                  analog_noise: ArrayLike | None = None,
                  photon_counting_noise: ArrayLike | None = None,
                  fit_bins: tuple[int, int] | None = None, min_analog: ArrayLike | None = None,
                  threads: int | None = None) -> Glue:
    """Glue analog and photon-counting profiles of one wavelength into one count rate.

    The (dead-time-corrected, background-subtracted) count rate is regressed on the
    analog signal, pc = slope x analog + offset, over the bins where the count rate is
    within `window` (and the analog signal above `min_analog`); the glued profile is
    the count rate where it is at most the window's upper end and the scaled analog
    signal elsewhere (where the count rate is high, or missing).

    Parameters
    ----------
    analog, photon_counting : array_like, (..., range)
        Same shape; analog in its units (mV), photon counting in MHz.
    window : (float, float)
        Count-rate window (MHz) of the fit, e.g. (0.5, 15).
    analog_noise, photon_counting_noise : array_like, optional
        Standard deviations, to give the glued profile's.
    fit_bins : (int, int), optional
        Bins [begin, end) where the fit may look; all by default.
    min_analog : float or array_like, optional
        Per profile, the analog value the fitted bins must exceed; none by default.
    threads : int, optional

    Returns
    -------
    Glue
        The glued ``signal`` (MHz) and ``noise``, and per profile the fit's ``slope``
        (MHz per analog unit), ``offset`` (MHz), ``correlation``, ``bins_used``,
        ``first_bin`` and ``last_bin``.  A profile with fewer than 3 usable bins gets a
        NaN fit (and NaN where the scaled analog would be used); a RuntimeWarning says
        how many.
    """
    an = _signal(analog, "analog")
    pc = _signal(photon_counting, "photon_counting")
    if pc.shape != an.shape:
        raise ValueError(f"photon_counting must have the shape of analog {an.shape}, got {pc.shape}")
    low, high = _rate_window(window)
    gates = an.shape[-1]
    begin, end = (0, gates) if fit_bins is None else _window(fit_bins, gates, "fit_bins")
    floor = -np.inf if min_analog is None else min_analog
    result = _core.glue(
        analog=an, pc=pc, analog_noise=_noise(analog_noise, an.shape, "analog_noise"),
        pc_noise=_noise(photon_counting_noise, an.shape, "photon_counting_noise"),
        low=low, high=high, begin=begin, end=end,
        min_analog=per_profile(floor, "min_analog", an.shape[:-1], finite=False,
                               shared=False),
        threads=thread_count(threads))
    lead = an.shape[:-1]
    signal, noise, *fitted = result
    per = [a.reshape(lead) for a in fitted]
    failed = int(np.isnan(per[0]).sum())
    if failed:
        warnings.warn(f"glue_channels: no fit in {failed} of {per[0].size} profile(s) (fewer "
                      f"than 3 bins with a count rate in {window} MHz); the glued signal is "
                      "NaN where it would use the analog one", RuntimeWarning, stacklevel=2)
    return Glue(signal, noise, *per)


def _rate_window(window: Iterable[SupportsFloat]) -> tuple[float, float]:
    try:
        low, high = (float(v) for v in window)
    except (TypeError, ValueError):
        raise TypeError("window must be a pair of count rates (low, high) in MHz") from None
    if not (np.isfinite(low) and np.isfinite(high) and 0 <= low < high):
        raise ValueError(f"window must be count rates 0 <= low < high (MHz), got {tuple(window)}")
    return low, high


def average_time(signal: ArrayLike, weights: ArrayLike, groups: ArrayLike, *,
                 noise: ArrayLike | None = None, threads: int | None = None) -> Averaged:
    """Weighted averages of consecutive profiles.

    Parameters
    ----------
    signal : array_like, (time, ..., range)
    weights : array_like, (time, ...)
        Weight of each profile, usually its number of laser shots.  With shots as
        weights the average of per-shot signals equals the pooled sum of the counts
        over the pooled shots.
    groups : int or array_like of int
        Profiles per average (the last group may be shorter), or the index where each
        group starts (rising from 0).
    noise : array_like, optional
        Standard deviation of `signal`; averaged as sqrt(sum w^2 s^2) / sum w.
    threads : int, optional

    Returns
    -------
    Averaged
        ``signal`` and ``noise`` of shape (groups, ..., range), and ``axis``: the
        weights summed per group, (groups, ...).  A NaN bin is left out of its average
        (with its weight); a bin NaN in every profile of a group stays NaN.
    """
    values = _signal(signal, "signal")
    if values.ndim < 2:
        raise ValueError("signal must have a time axis before the range axis")
    times, gates = values.shape[0], values.shape[-1]
    lead = values.shape[1:-1]
    w = as_float64(weights, "weights")
    try:
        w = np.ascontiguousarray(np.broadcast_to(w, values.shape[:-1])).reshape(times, -1)
    except ValueError:
        raise ValueError(f"weights must broadcast to {values.shape[:-1]}, got {w.shape}") from None
    require_finite(w, "weights")
    require_positive(w, "weights", allow_zero=True)
    starts = _group_starts(groups, times)
    x = values.reshape(times, -1, gates)
    n = _noise(noise, values.shape, "noise")
    out, out_noise, wsum = _core.average_time(x, None if n is None else n.reshape(x.shape), w,
                                              starts, thread_count(threads))
    g = len(starts) - 1
    return Averaged(out.reshape((g, *lead, gates)),
                    None if out_noise is None else out_noise.reshape((g, *lead, gates)),
                    wsum.reshape((g, *lead)))


def _group_starts(groups: ArrayLike, times: int) -> NDArray[np.uint64]:
    groups = np.asarray(groups)
    if groups.ndim == 0:
        if groups.dtype.kind not in "iu" or int(groups) < 1:
            raise ValueError(f"groups must be a positive number of profiles, got {groups!r}")
        size = int(groups)
        starts = np.append(np.arange(0, times, size), times)
    else:
        starts = np.append(groups.astype(np.int64), times)
        if starts[0] != 0 or np.any(np.diff(starts) <= 0) or starts[-1] > times:
            raise ValueError("groups must be the rising start indices of the groups, from 0")
    return starts.astype(np.uint64)


def average_range(signal: ArrayLike, bins: int, *, noise: ArrayLike | None = None,
                  range: ArrayLike | None = None, threads: int | None = None) -> Averaged:
    """Merge consecutive range bins.

    Parameters
    ----------
    signal : array_like, (..., range)
    bins : int
        Bins per merged bin; the last merged bin may hold fewer.
    noise : array_like, optional
        Standard deviation of `signal`; merged as sqrt(sum s^2) / count.
    range : array_like, (range,), optional
        Range of each bin (m), to give the merged bins' ranges.
    threads : int, optional

    Returns
    -------
    Averaged
        ``signal`` and ``noise`` with ceil(range / bins) bins (NaN bins left out of
        the means), and ``axis``: the mean range of each merged bin (m), or None.
    """
    values = _signal(signal, "signal")
    if not isinstance(bins, (int, np.integer)) or bins < 1:
        raise ValueError(f"bins must be a positive integer, got {bins!r}")
    out, out_noise = _core.merge_bins(values, _noise(noise, values.shape, "noise"), int(bins),
                                      thread_count(threads))
    merged = None
    if range is not None:
        r = as_float64(range, "range", ndim_min=1)
        if r.shape != (values.shape[-1],):
            raise ValueError(f"range must have {values.shape[-1]} values, got shape {r.shape}")
        merged, _ = _core.merge_bins(r.reshape(1, -1), None, int(bins), 1)
        merged = merged[0]
    return Averaged(out, out_noise, merged)


def range_correct(signal: ArrayLike, range: ArrayLike, *, noise: ArrayLike | None = None,
                  threads: int | None = None) -> tuple[FloatArray, FloatArray | None]:
    """The range-corrected signal, signal x range^2 (signal units x m^2).

    Parameters
    ----------
    signal : array_like, (..., range)
    range : array_like, (range,)
        Range of each bin (m).
    noise : array_like, optional
        Standard deviation of `signal`, scaled alike.
    threads : int, optional

    Returns
    -------
    (numpy.ndarray, numpy.ndarray or None)
        The corrected signal and its noise.
    """
    signal = _signal(signal, "signal")
    r = require_finite(as_float64(range, "range", ndim_min=1), "range")
    if r.shape != (signal.shape[-1],):
        raise ValueError(f"range must have {signal.shape[-1]} values, got shape {r.shape}")
    return _core.scale_range(signal, _noise(noise, signal.shape, "noise"), r * r, thread_count(threads))


def overlap_correct(signal: ArrayLike, overlap: ArrayLike, *, noise: ArrayLike | None = None,
                    threads: int | None = None) -> tuple[FloatArray, FloatArray | None]:
    """The signal divided by the overlap function.

    Parameters
    ----------
    signal : array_like, (..., range)
    overlap : array_like, (range,)
        Overlap function (1 where complete).  Bins where it is not positive or not
        finite give NaN (with a RuntimeWarning), never an infinite signal.
    noise : array_like, optional
    threads : int, optional

    Returns
    -------
    (numpy.ndarray, numpy.ndarray or None)
    """
    signal = _signal(signal, "signal")
    return _core.scale_range(signal, _noise(noise, signal.shape, "noise"),
                             _overlap_factor(overlap, signal.shape[-1]), thread_count(threads))


def _overlap_factor(overlap: ArrayLike, gates: int) -> FloatArray:
    o = as_float64(overlap, "overlap", ndim_min=1)
    if o.shape != (gates,):
        raise ValueError(f"overlap must have {gates} values (one per range bin), got shape {o.shape}")
    good = np.isfinite(o) & (o > 0)
    if not good.all():
        warnings.warn(f"overlap is not positive and finite in {int((~good).sum())} bin(s); "
                      "the signal there is NaN", RuntimeWarning, stacklevel=3)
    with np.errstate(divide="ignore", invalid="ignore"):
        factor: FloatArray = np.where(good, 1.0 / np.where(good, o, 1.0), np.nan)
    return factor


# ---- the Dataset chain ---------------------------------------------------------------------

#: The keyword arguments of :func:`correct`, which are also the keys of a configuration
#: file's ``[corrections]`` table.
CORRECTION_KEYS = ("dead_time", "dead_time_model", "dead_time_calibration", "trigger_delay", "background", "glue",
                   "average", "overlap", "range_correction")

_DURATION = re.compile(r"^\s*([0-9]*\.?[0-9]+)\s*(s|sec|min|h)\s*$")


def _per_channel(value: object, ds: xr.Dataset, name: str, allowed: Callable[[Any], bool],
                 default: object) -> list[Any]:
    """`value` (one value, or a mapping channel -> value) as one value per channel."""
    channels = [str(c) for c in ds.channel.values]
    if isinstance(value, Mapping):
        unknown = [k for k in value if k not in channels]
        if unknown:
            raise ValueError(f"{name}: no channel {unknown[0]!r}; the channels are {', '.join(channels)}")
        out = [value.get(c, default) for c in channels]
    else:
        out = [value if allowed(c) else default for c in channels]
    return out


_MODES = ("analog", "photon_counting")


def _background_windows(background: object, ds: xr.Dataset, shifts: Sequence[int], gates: int
                        ) -> tuple[list[tuple[int, int, bool]], dict[str, Any]]:
    """Per channel (begin, end, subtract) on the input bins, and the record of it.

    A mapping keyed by detection mode ("analog", "photon_counting") or by channel id gives
    each its own window (a channel's own entry first, then its mode's, then "far")."""
    channels = [str(c) for c in ds.channel.values]
    if isinstance(background, Mapping) and background and \
            set(background) <= set(_MODES) | set(channels):
        modes = [str(m) for m in ds.detection_mode.values]
        windows: list[tuple[int, int, bool]] = []
        records: dict[str, Any] = {}
        for i, c in enumerate(channels):
            spec = background.get(c, background.get(modes[i], "far"))
            if isinstance(spec, Mapping) and set(spec) & (set(_MODES) | set(channels)):
                raise ValueError(f"background: the entry for {c} must be one window, "
                                 f"got {spec!r}")
            own, record = _background_windows(spec, ds, shifts, gates)
            windows.append(own[i])
            records[c] = record
        subtracted = {w[2] for w in windows}
        if len(subtracted) != 1:
            raise ValueError("background: every channel's background is subtracted or none "
                             "is (None for one channel and a window for another)")
        return windows, {"method": "per channel", "channels": records}
    r = ds["range"].values
    far = _far_window(gates)
    if background is None or background is False:
        return [(*far, False)] * len(channels), {"method": "none (noise estimated over the "
                                                 "far-range window)", "bins": list(far)}
    if background == "far" or background is True:
        return [(*far, True)] * len(channels), {"method": "far range", "bins": list(far),
                                                "range_m": [float(r[far[0]]), float(r[far[1] - 1])]}
    if background == "pretrigger":
        windows = []
        for c, s in zip(channels, shifts):
            if s < 2:
                raise ValueError(f"background='pretrigger' needs a trigger_delay of at least 2 "
                                 f"bins for every channel; {c} has {s}")
            windows.append((0, int(s), True))
        return windows, {"method": "pretrigger", "bins": {c: [0, int(s)] for c, s in zip(channels, shifts)}}
    if isinstance(background, Mapping):
        keys = set(background) - {"range", "bins"}
        if keys or len(background) != 1:
            raise ValueError("background must be 'far', 'pretrigger', None, {'range': [a, b]} (m) "
                             f"or {{'bins': [i, j]}}; got {background!r}")
        if "bins" in background:
            b = background["bins"]
            begin, end = _window((b[0], gates if b[1] is None else b[1]), gates, "background bins")
        else:
            a, b = (float(v) for v in background["range"])
            inside = np.nonzero((r >= a) & (r <= b))[0]
            if inside.size < 2:
                raise ValueError(f"background range {[a, b]} m holds fewer than 2 bins")
            begin, end = int(inside[0]), int(inside[-1]) + 1
        return [(begin, end, True)] * len(channels), {"method": "window", "bins": [begin, end],
                                                       "range_m": [float(r[begin]), float(r[end - 1])]}
    raise ValueError("background must be 'far', 'pretrigger', None, {'range': [a, b]} (m) "
                     f"or {{'bins': [i, j]}}; got {background!r}")


def background_drift(ds: xr.Dataset, background: object = "far", *,
                     trigger_delay: int | Mapping[str, int] | None = None) -> dict[str, float]:
    """The slope of each channel's background over its window, warned of where it matters.

    A straight line through the mean of the profiles over the window that
    :func:`correct` takes the background from; a drift over the window beyond 3 standard
    errors and the noise of one profile per bin is signal-induced noise or a
    drifting baseline, which a constant background leaves in the signal: a RuntimeWarning
    names the channel and suggests a window of its own (``background`` per detection mode
    or channel).

    Parameters
    ----------
    ds : xarray.Dataset
        Raw signals, as :func:`Aerolume.io.read_licel` gives them.
    background, trigger_delay
        As for :func:`correct`.

    Returns
    -------
    dict
        Channel id to slope, signal units per km (channels whose window is under 10 bins
        or not finite are left out).
    """
    channels = [str(c) for c in ds.channel.values]
    gates = ds.sizes["range"]
    shifts = [0] * len(channels) if trigger_delay is None else \
        [int(v) for v in _per_channel(trigger_delay, ds, "trigger_delay", lambda c: True, 0)]
    windows, _ = _background_windows(background, ds, shifts, gates)
    r = np.asarray(ds["range"].values, dtype=float)
    slopes: dict[str, float] = {}
    for c, (begin, end, _) in zip(channels, windows):
        if end - begin < 10:
            continue
        mean = np.asarray(ds["signal"].isel(channel=channels.index(c), range=slice(begin, end))
                          .mean("time").values, dtype=float)
        x = r[begin:end]
        if not np.isfinite(mean).all():
            continue
        xm = x - x.mean()
        slope = float(np.sum(xm * (mean - mean.mean())) / np.sum(xm * xm))
        residual = mean - mean.mean() - slope * xm
        error = float(np.sqrt(np.sum(residual ** 2) / (x.size - 2) / np.sum(xm * xm)))
        slopes[c] = slope * 1e3
        change = abs(slope) * (x[-1] - x[0])
        one = np.asarray(ds["signal"].isel(time=0, channel=channels.index(c),
                                           range=slice(begin, end)).values, dtype=float)
        if error > 0 and abs(slope) > 3.0 * error and change > float(np.std(one)):
            units = str(ds["signal_units"].values[channels.index(c)]) \
                if "signal_units" in ds.coords else ""
            warnings.warn(f"background: {c} drifts over its window ({x[0] / 1e3:.1f} to "
                          f"{x[-1] / 1e3:.1f} km) by {change:.3g} {units} "
                          f"({abs(slope) / error:.0f} standard errors): signal-induced noise "
                          "or a baseline drift the constant background leaves in the signal; "
                          "choose a window per detection mode or channel",
                          RuntimeWarning, stacklevel=2)
    return slopes


def _glue_pairs(glue: bool | Mapping[str, Any] | None, ds: xr.Dataset
                ) -> tuple[list[tuple[str, int, int]], dict[str, Any]]:
    """[(id, analog index, pc index)], window (MHz), fit range (m) and analog SNR (no
    pair and no record without gluing)."""
    if glue is None or glue is False:
        return [], {}
    options: dict[str, Any] = {} if glue is True else dict(glue)
    unknown = set(options) - {"window", "pairs", "range", "min_analog_snr"}
    if unknown:
        raise ValueError(f"glue: unknown option(s) {sorted(unknown)}; expected window, pairs, "
                         "range, min_analog_snr")
    channels = [str(c) for c in ds.channel.values]
    mode = [str(m) for m in ds.detection_mode.values]
    pairs: list[tuple[str, int, int]] = []
    if "pairs" in options:
        for name, (an, pc) in dict(options["pairs"]).items():
            for c, want in ((an, "analog"), (pc, "photon_counting")):
                if c not in channels:
                    raise ValueError(f"glue pairs: no channel {c!r}; the channels are {', '.join(channels)}")
                if mode[channels.index(c)] != want:
                    raise ValueError(f"glue pairs: {c!r} is {mode[channels.index(c)]}, not {want}")
            if name in channels:
                raise ValueError(f"glue pairs: {name!r} is already a channel")
            pairs.append((str(name), channels.index(an), channels.index(pc)))
    else:
        for i, c in enumerate(channels):
            if mode[i] != "analog":
                continue
            stem = c.rsplit("_an", 1)[0] if c.endswith("_an") else None
            if stem and f"{stem}_pc" in channels:
                pairs.append((f"{stem}_gl", i, channels.index(f"{stem}_pc")))
        if not pairs:
            raise ValueError("glue=True but no analog channel has a photon-counting twin "
                             f"(channels {', '.join(channels)}); name them with glue={{'pairs': ...}}")
    low, high = _rate_window(options.get("window", (0.5, 15.0)))
    fit_range = options.get("range")
    snr = float(options.get("min_analog_snr", 3.0))
    return pairs, {"window": [low, high], "range": fit_range, "min_analog_snr": snr}


def _group_by_time(average: object, ds: xr.Dataset
                   ) -> tuple[NDArray[np.uint64], dict[str, Any] | None]:
    """Group starts for time averaging and what was done."""
    times = ds.sizes["time"]
    spec = average.get("time") if isinstance(average, Mapping) else average
    if spec is None:
        return np.arange(times + 1, dtype=np.uint64), None
    if isinstance(spec, (int, np.integer)) and not isinstance(spec, bool):
        if spec < 1:
            raise ValueError(f"average time must be a positive number of profiles, got {spec}")
        return _group_starts(int(spec), times), {"profiles": int(spec)}
    if isinstance(spec, str):
        m = _DURATION.match(spec)
        if not m:
            raise ValueError(f"average time {spec!r} is neither a number of profiles nor a "
                             "duration like '10min', '600s' or '1h'")
        seconds = float(m.group(1)) * {"s": 1, "sec": 1, "min": 60, "h": 3600}[m.group(2)]
    elif isinstance(spec, np.timedelta64):
        seconds = spec / np.timedelta64(1, "s")
    else:
        raise TypeError(f"average time must be an int (profiles) or a duration string, got {spec!r}")
    if not seconds > 0:
        raise ValueError(f"average time must be positive, got {spec!r}")
    t = ds.time.values.astype("datetime64[ns]").astype(np.int64)
    if np.any(np.diff(t) < 0):
        raise ValueError("average time by duration needs profiles sorted in time")
    block = np.floor(t / (seconds * 1e9)).astype(np.int64)  # intervals aligned to the epoch
    starts = np.append(np.nonzero(np.diff(block, prepend=block[0] - 1))[0], times)
    return starts.astype(np.uint64), {"interval_s": seconds}


def correct(ds: xr.Dataset, *, dead_time: Union[float, str, Mapping[str, Any], None] = None,
            dead_time_model: Model = "non_paralysable",
            dead_time_calibration: Mapping[str, Any] | None = None,
            trigger_delay: Union[int, Mapping[str, int], None] = None,
            background: Union[str, Mapping[str, Sequence[float]], None] = "far",
            glue: Union[bool, Mapping[str, Any], None] = None,
            average: Union[int, str, Mapping[str, Any], None] = None,
            overlap: Union[ArrayLike, xr.DataArray, xr.Dataset, str, os.PathLike[str],
                           None] = None,
            range_correction: bool = False,
            threads: int | None = None) -> xr.Dataset:
    """Apply the instrument corrections to a raw Dataset, in one pass of the core.

    The keyword arguments (but `threads`) are those of a configuration file's
    ``[corrections]`` table (see :data:`CORRECTION_KEYS`), so ``correct(ds,
    **config["corrections"])`` applies it.

    Parameters
    ----------
    ds : xarray.Dataset
        From :func:`Aerolume.io.read_licel` (``signal`` (time, channel, range), ``shots``,
        ``detection_mode``, ``bin_width``), or a Dataset this function returned.
    dead_time : float, mapping of channel to float, "auto" or None, optional
        Dead time (ns) of the photon-counting channels: one value for all, or per
        channel id (a value may be "auto", or a :class:`DeadTimeCalibration`, whose
        uncertainty is then recorded too).  "auto": each photon-counting channel is calibrated against
        its analog twin (same wavelength and polarisation) on these data by
        :func:`calibrate_dead_time` (see `dead_time_calibration`); a channel without a
        twin, or a calibration the data refuse, is a ValueError naming it.  None: no
        dead-time correction.
    dead_time_model : {"non_paralysable", "paralysable"}
        See :func:`dead_time_correction`.  Rates beyond the model's reach become NaN and
        are counted in ``dead_time_saturated`` (with a RuntimeWarning).
    dead_time_calibration : mapping, optional
        Options of :func:`calibrate_dead_time` for "auto" (``window`` MHz, ``fit_range``
        m, ``min_analog_snr``, ``tolerance``, ``significance``, ``smooth``,
        ``max_dead_time``), and ``check`` (bool): with a numeric dead time, calibrate
        anyway and warn where the configured value leaves the relation curved
        (:func:`check_dead_time`).
    trigger_delay : int or mapping of channel to int, optional
        Bins by which each channel's profile starts before the laser fires (removed:
        ``out[k] = in[k + delay]``; negative values delay the profile); NaN fills.
    background : "far", "pretrigger", mapping or None
        Where the background is estimated (mean and standard deviation per profile)
        before it is subtracted: "far" (the farthest tenth of the bins, the default),
        "pretrigger" (the `trigger_delay` bins before the laser fires),
        ``{"range": [a, b]}`` (m) or ``{"bins": [i, j]}``; None or False: not
        subtracted (the far-range window still gives the analog noise).
    glue : bool or mapping, optional
        Glue each analog channel with the photon-counting channel of the same
        wavelength and polarisation into a new channel "<wavelength>_gl" (count rate,
        MHz).  A mapping may give ``window`` (MHz, default [0.5, 15]), ``pairs``
        (``{"355_gl": ["355_an", "355_pc"]}``), ``range`` ([a, b] m where the fit may
        look) and ``min_analog_snr`` (fitted bins need an analog signal above this many
        background standard deviations; default 3).
    average : int, str or mapping, optional
        Time averaging: a number of profiles (int) or a duration ("10min", "600s",
        "1h"; intervals aligned to the epoch), weighted by shots; or a mapping with
        ``time`` (as before) and/or ``range`` (bins to merge).
    overlap : array_like, xarray.DataArray, xarray.Dataset or path, optional
        Overlap function on the output range axis (one value per bin after merging), or
        a DataArray on ``range`` interpolated onto it; the signal is divided by it.  A
        path is read by :func:`read_overlap` (netCDF or two-column text).  A Dataset
        from :func:`estimate_overlap` is applied where its attribute ``supported`` is
        true (with a RuntimeWarning where not), and its ``overlap``,
        ``overlap_uncertainty`` and ``full_overlap_height`` are carried into the result
        either way (NaN overlap bins, the estimate's unsupported near range, give NaN).
    range_correction : bool
        Multiply by range^2 (the result's units gain "m^2").  Off by default: the
        retrievals take the signal without it.
    threads : int, optional
        Threads; all cores by default.

    Returns
    -------
    xarray.Dataset
        Dimensions (time, channel, range), glued channels appended with
        ``detection_mode`` "glued".  Variables ``signal`` (units per channel in
        ``signal_units``), ``signal_noise`` (its standard deviation), ``shots`` (summed),
        ``background`` and ``background_std`` (per profile, shots-weighted over the
        averaged profiles; NaN for glued channels), ``dead_time_saturated`` (bins),
        and for glued channels ``glue_slope``, ``glue_offset``, ``glue_correlation``
        (shots-weighted over averaged profiles) and ``glue_bins`` (bins used, summed).
        With a dead time: ``dead_time`` (ns, per channel; NaN for analog and glued
        channels) and, where calibrated, ``dead_time_uncertainty`` (ns).  With an
        overlap Dataset: ``overlap``, ``overlap_uncertainty`` (range) and
        ``full_overlap_height`` (m).
        Attributes: the input's, plus ``corrections`` (JSON: each correction applied
        and its parameters, in order) and ``history``.

    Raises
    ------
    ValueError
        An option that does not fit the Dataset (a channel it does not have, a window
        outside its range, a dead time for an analog channel...).
    """
    for name in ("signal", "shots", "detection_mode", "bin_width"):
        if name not in ds.variables:
            raise ValueError(f"ds has no {name!r}: correct() takes a Dataset from read_licel")
    if ds.signal.dims != ("time", "channel", "range"):
        raise ValueError(f"ds.signal must have dims (time, channel, range), got {ds.signal.dims}")
    if dead_time_model not in _MODELS:
        raise ValueError(f"dead_time_model must be one of {_MODELS}, got {dead_time_model!r}")
    nthreads = thread_count(threads)
    channels = [str(c) for c in ds.channel.values]
    mode = [str(m) for m in ds.detection_mode.values]
    counting = [m == "photon_counting" for m in mode]
    times, nch, gates = ds.signal.shape
    applied: list[dict[str, Any]] = []

    # dead time (a calibration on these data, "auto", waits for the background windows)
    taus = [0.0] * nch
    fits: dict[str, DeadTimeCalibration] = {}
    auto_channels: list[str] = []
    auto = isinstance(dead_time, str)
    if auto and dead_time != "auto":
        raise ValueError(f"dead_time must be a number (ns), a mapping of channel to number, "
                         f"'auto' or None; got {dead_time!r}")
    calibration = _calibration_options(dead_time_calibration)
    if dead_time is not None and not auto:
        if isinstance(dead_time, Mapping):
            for c in dead_time:
                if c in channels and not counting[channels.index(c)]:
                    raise ValueError(f"dead_time: {c!r} is not a photon-counting channel")
            auto_channels = [c for c, v in dead_time.items() if isinstance(v, str)]
            for c in auto_channels:
                if dead_time[c] != "auto":
                    raise ValueError(f"dead_time: {c!r} must be a number (ns) or 'auto', got "
                                     f"{dead_time[c]!r}")
            fits = {c: v for c, v in dead_time.items() if isinstance(v, DeadTimeCalibration)}
            for c, v in fits.items():
                if v.model != dead_time_model:
                    raise ValueError(f"dead_time: the calibration of {c!r} is of the {v.model} "
                                     f"model, not dead_time_model {dead_time_model!r}")
            dead_time = {c: (v.dead_time if isinstance(v, DeadTimeCalibration) else
                             0.0 if isinstance(v, str) else v) for c, v in dead_time.items()}
        try:
            taus = [float(v) for v in _per_channel(dead_time, ds, "dead_time",
                                                   lambda c: counting[channels.index(c)], 0.0)]
        except (TypeError, ValueError) as err:
            if "no channel" in str(err):
                raise
            raise ValueError(f"dead_time must be numbers (ns), got {dead_time!r}") from None
        if any(not np.isfinite(t) or t < 0 for t in taus):
            raise ValueError(f"dead_time must be finite and non-negative (ns), got {dead_time!r}")

    # trigger delay
    shifts = [0] * nch
    if trigger_delay is not None:
        shifts = _per_channel(trigger_delay, ds, "trigger_delay", lambda c: True, 0)
        if any(not isinstance(s, (int, np.integer)) or isinstance(s, bool) for s in shifts):
            raise TypeError(f"trigger_delay must be whole bins, got {trigger_delay!r}")
        if any(abs(int(s)) >= gates for s in shifts):
            raise ValueError(f"trigger_delay must be fewer bins than the {gates} of the profiles")
        shifts = [int(s) for s in shifts]

    windows, bg_record = _background_windows(background, ds, shifts, gates)
    if auto or auto_channels:
        fits.update(calibrate_channels(ds, model=dead_time_model, shifts=shifts,
                                       windows=windows, channels=auto_channels or None,
                                       **{k: v for k, v in calibration.items() if k != "check"}))
        for c, fit in fits.items():
            taus[channels.index(c)] = fit.dead_time
    if dead_time is not None and not auto and calibration.get("check", False):
        calibrate_channels(ds, model=dead_time_model, shifts=shifts, windows=windows,
                           check={c: t for c, t in zip(channels, taus)
                                  if counting[channels.index(c)] and c not in fits
                                  and _has_twin(ds, c)},
                           **{k: v for k, v in calibration.items() if k != "check"})
    if dead_time is not None:
        record: dict[str, Any] = {"step": "dead_time", "model": dead_time_model,
                  "dead_time_ns": {c: t for c, t in zip(channels, taus)
                                   if counting[channels.index(c)]}}
        if fits:
            record["calibration"] = {c: {"analog_channel": _twin(ds, c), **f.record()}
                                     for c, f in fits.items()}
        applied.append(record)
    applied.append({"step": "background", **bg_record,
                    "subtracted": bool(windows[0][2])})
    if trigger_delay is not None:
        applied.append({"step": "trigger_delay", "bins": dict(zip(channels, shifts))})

    # glue
    pairs, glue_record = _glue_pairs(glue, ds)
    chain_pairs = []
    if pairs:
        r = ds["range"].values
        fit_begin, fit_end = 0, gates
        if glue_record["range"] is not None:
            a, b = (float(v) for v in glue_record["range"])
            inside = np.nonzero((r >= a) & (r <= b))[0]
            if inside.size < 3:
                raise ValueError(f"glue range {[a, b]} m holds fewer than 3 bins")
            fit_begin, fit_end = int(inside[0]), int(inside[-1]) + 1
        low, high = glue_record["window"]
        for _, a_idx, p_idx in pairs:
            chain_pairs.append(_core.GluePair(
                analog=a_idx, pc=p_idx, low=low, high=high, fit_begin=fit_begin, fit_end=fit_end,
                min_analog_snr=glue_record["min_analog_snr"]))
        applied.append({"step": "glue", **glue_record,
                        "pairs": {name: [channels[a], channels[p]] for name, a, p in pairs}})

    # averaging
    average_range_bins = 1
    if average is not None:
        if isinstance(average, Mapping):
            unknown = set(average) - {"time", "range"}
            if unknown:
                raise ValueError(f"average: unknown key(s) {sorted(unknown)}; expected time, range")
            average_range_bins = average.get("range") or 1
            if not isinstance(average_range_bins, (int, np.integer)) or average_range_bins < 1:
                raise ValueError(f"average range must be a positive number of bins, got {average_range_bins!r}")
    starts, time_record = _group_by_time(average if average is not None else None, ds) \
        if average is not None else (np.arange(times + 1, dtype=np.uint64), None)
    if time_record:
        applied.append({"step": "average_time", **time_record, "weights": "shots"})
    if average_range_bins > 1:
        applied.append({"step": "average_range", "bins": int(average_range_bins)})

    out_gates = -(-gates // average_range_bins)
    r_in = ds["range"].values.astype(np.float64)
    r_out = r_in if average_range_bins == 1 else \
        _core.merge_bins(np.ascontiguousarray(r_in.reshape(1, -1)), None, int(average_range_bins), 1)[0][0]

    factor = None
    overlap_record = None
    if isinstance(overlap, (str, os.PathLike)):
        overlap = read_overlap(overlap)
    if isinstance(overlap, xr.Dataset):
        overlap, overlap_record = _overlap_estimate(overlap, r_out)
        applied.append({"step": "overlap", **overlap_record["record"]})
    elif overlap is not None:
        if isinstance(overlap, xr.DataArray):
            if "range" not in overlap.dims or overlap.ndim != 1:
                raise ValueError("overlap as a DataArray must be one-dimensional on 'range'")
            last = float(overlap["range"].values.max())
            values = overlap.interp(range=r_out).values
            # beyond the function's last range it keeps its last (complete) value
            overlap = np.where(r_out > last, float(overlap.sortby("range").values[-1]), values)
        factor = _overlap_factor(overlap, out_gates)
        applied.append({"step": "overlap"})
    if overlap_record is not None and overlap is not None:
        with warnings.catch_warnings():  # the estimate's own gaps are documented there
            warnings.simplefilter("ignore", RuntimeWarning)
            factor = _overlap_factor(overlap, out_gates)
    if range_correction:
        factor = r_out * r_out if factor is None else factor * r_out * r_out
        applied.append({"step": "range_correction"})

    # the chain
    signal = np.ascontiguousarray(ds.signal.values, dtype=np.float64)
    shots = np.ascontiguousarray(ds.shots.values, dtype=np.float64)
    bin_width = ds.bin_width.values.astype(np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        poisson = np.ascontiguousarray(np.where(counting, mhz_per_count(bin_width, shots), 0.0))
    noise_in = None
    if "signal_noise" in ds.variables:
        noise_in = np.ascontiguousarray(ds.signal_noise.values, dtype=np.float64)
    steps = [_core.ChannelSteps(photon_counting=bool(counting[c]), dead_time=float(taus[c]),
                                model=dead_time_model, background_begin=int(windows[c][0]),
                                background_end=int(windows[c][1]),
                                subtract_background=bool(windows[c][2]), shift=int(shifts[c]))
             for c in range(nch)]
    res = _core.correction_chain(signal=signal, steps=steps, pairs=chain_pairs, poisson=poisson,
                                 weights=shots, starts=starts, merge=int(average_range_bins),
                                 factor=factor, noise=noise_in, threads=nthreads)

    saturated = res["saturated"].astype(np.int64)
    if saturated.any():
        warnings.warn(f"dead-time correction: {int(saturated.sum())} bin(s) have rates beyond "
                      f"the {dead_time_model} model's reach and are NaN (see dead_time_saturated)",
                      RuntimeWarning, stacklevel=2)
    if np.isnan(res["background_mean"]).any():
        warnings.warn("background: the window holds no finite bin in some profiles; their "
                      "signal is NaN", RuntimeWarning, stacklevel=2)
    if pairs and np.isnan(res["slope"]).any():
        warnings.warn(f"glue: no fit in {int(np.isnan(res['slope']).sum())} profile(s) (fewer than 3 "
                      f"bins with a count rate in {glue_record['window']} MHz and analog above "
                      "its noise); the glued signal is NaN where it would use the analog one",
                      RuntimeWarning, stacklevel=2)

    out = _corrected_dataset(ds, res, starts, pairs, channels, r_out, average_range_bins,
                             saturated, applied, range_correction)
    if dead_time is not None:
        glued = [np.nan] * len(pairs)
        out["dead_time"] = ("channel", np.array([t if counting[i] else np.nan
                                                 for i, t in enumerate(taus)] + glued),
                            {"units": "ns", "long_name": f"photon-counting dead time applied "
                             f"({dead_time_model.replace('_', '-')})"})
        if fits:
            out["dead_time_uncertainty"] = (
                "channel", np.array([fits[c].dead_time_uncertainty if c in fits else np.nan
                                     for c in channels] + glued),
                {"units": "ns", "long_name": "standard uncertainty of the dead time "
                 "calibrated against the analog twin"})
    if overlap_record is not None:
        for name, var in overlap_record["variables"].items():
            out[name] = var
    return out


# ---- dead time from the analog twins, overlap estimates -------------------------------------

_CALIBRATION_KEYS = ("window", "fit_range", "min_analog_snr", "tolerance", "significance",
                     "smooth", "max_dead_time", "rate_bins", "min_points", "check")


def _calibration_options(options: object) -> dict[str, Any]:
    if options is None:
        return {}
    if not isinstance(options, Mapping):
        raise TypeError(f"dead_time_calibration must be a mapping of options, got {options!r}")
    unknown = sorted(set(options) - set(_CALIBRATION_KEYS))
    if unknown:
        raise ValueError(f"dead_time_calibration: unknown option(s) {unknown}; expected "
                         f"{', '.join(_CALIBRATION_KEYS)}")
    return dict(options)


def _twin(ds: xr.Dataset, channel: str) -> str:
    """The analog channel of the same wavelength and polarisation as `channel`."""
    channels = [str(c) for c in ds.channel.values]
    mode = [str(m) for m in ds.detection_mode.values]
    i = channels.index(channel)
    wavelength = ds.wavelength.values
    pol = ds.polarization.values if "polarization" in ds.variables else [""] * len(channels)
    twins = [c for j, c in enumerate(channels) if mode[j] == "analog"
             and abs(float(wavelength[j]) - float(wavelength[i])) < 1e-10 and pol[j] == pol[i]]
    if not twins:
        raise ValueError(f"dead_time='auto': the photon-counting channel {channel!r} has no "
                         "analog twin (same wavelength and polarisation) to be calibrated "
                         "against; give its dead time as a number")
    return twins[0]


def _has_twin(ds: xr.Dataset, channel: str) -> bool:
    try:
        _twin(ds, channel)
    except ValueError:
        return False
    return True


def calibrate_channels(ds: xr.Dataset, *, model: Model = "non_paralysable",
                       shifts: Sequence[int] | None = None,
                       windows: Sequence[tuple[int, int, bool]] | None = None,
                       channels: Sequence[str] | None = None,
                       check: Mapping[str, float] | None = None, warn_refused: bool = True,
                       **options: Any) -> dict[str, DeadTimeCalibration]:
    """Dead time of every photon-counting channel of a raw Dataset, from its analog twin.

    Each photon-counting channel's measured rate (MHz, before any correction) is fitted
    against its analog twin's background-subtracted signal (mV) by
    :func:`calibrate_dead_time`, pooling every profile, with Poisson weights from the shots
    and bin widths and the analog noise of the background window.

    Parameters
    ----------
    ds : xarray.Dataset
        From :func:`Aerolume.io.read_licel`.
    model : {"non_paralysable", "paralysable"}
    shifts, windows : list, optional
        Per channel, the trigger delay (bins) and background window (begin, end, _) that
        :func:`correct` uses; default no shift and the farthest tenth of the bins.
    channels : sequence of str, optional
        The photon-counting channels to calibrate; all by default.
    check : mapping of channel to float, optional
        Configured dead times (ns) to check instead (:func:`check_dead_time`: warnings,
        no error).
    warn_refused : bool
        With `check`: whether a check the data refuse is a warning too.
    **options
        Options of :func:`calibrate_dead_time` (``window``, ``fit_range`` ...).

    Returns
    -------
    dict
        Channel id -> :class:`DeadTimeCalibration` (only checked channels whose
        calibration succeeded, with `check`).

    Raises
    ------
    ValueError
        A photon-counting channel without an analog twin, or a calibration refused by
        the data (the message names the channel and says why).
    """
    wanted = channels
    ids = [str(c) for c in ds.channel.values]
    mode = [str(m) for m in ds.detection_mode.values]
    gates = ds.sizes["range"]
    shifts = shifts or [0] * len(ids)
    windows = windows or [(*_far_window(gates), True)] * len(ids)
    r = ds["range"].values.astype(np.float64)
    out: dict[str, DeadTimeCalibration] = {}
    targets = list(check) if check is not None else list(wanted) if wanted is not None else \
        [c for c, m in zip(ids, mode) if m == "photon_counting"]
    for c in targets:
        if c not in ids or mode[ids.index(c)] != "photon_counting":
            raise ValueError(f"dead_time: {c!r} is not a photon-counting channel (channels: "
                             f"{', '.join(ids)})")
    for pc in targets:
        an = _twin(ds, pc)
        i, j = ids.index(an), ids.index(pc)

        def values(k: int) -> FloatArray:
            v = np.ascontiguousarray(ds.signal.values[:, k, :], dtype=np.float64)
            return shift_bins(v, shifts[k]) if shifts[k] else v
        analog = subtract_background(values(i), (windows[i][0], windows[i][1]))
        shots = ds.shots.values[:, j].astype(np.float64)
        kwargs: dict[str, Any] = dict(model=model, analog_noise=analog.std, shots=shots,
                      bin_width=float(ds.bin_width.values[j]), range=r, channel=pc,
                      **{k: v for k, v in options.items() if k != "check"})
        if check is not None:
            fit = check_dead_time(analog.signal, values(j), check[pc], analog_channel=an,
                                  warn_refused=warn_refused, **kwargs)
            if fit is not None:
                out[pc] = fit
            continue
        if "fit_range" in kwargs and kwargs["fit_range"] is not None:
            kwargs["fit_range"] = tuple(float(v) for v in kwargs["fit_range"])
        out[pc] = calibrate_dead_time(analog.signal, values(j), **kwargs)
    return out


def _overlap_estimate(estimate: xr.Dataset, r_out: FloatArray
                      ) -> tuple[FloatArray | None, dict[str, Any]]:
    """An :func:`estimate_overlap` Dataset on the output range: the overlap to apply (None
    where unsupported) and the record and variables to carry."""
    if "overlap" not in estimate.variables or "range" not in estimate["overlap"].dims:
        raise ValueError("overlap as a Dataset needs an 'overlap' variable on 'range' "
                         "(see estimate_overlap)")
    on: dict[str, tuple[str, AnyArray, dict[str, Any]]] = {}
    for name in ("overlap", "overlap_uncertainty"):
        if name in estimate.variables:
            v = estimate[name]
            same = v.sizes["range"] == r_out.size and np.allclose(v["range"].values, r_out)
            values = v.values if same else v.interp(range=r_out).values
            on[name] = ("range", values, dict(v.attrs))
    height = float(estimate["full_overlap_height"]) if "full_overlap_height" in \
        estimate.variables else float("nan")
    supported = bool(estimate.attrs.get("supported", True))
    record: dict[str, Any] = {"method": str(estimate.attrs.get("method", "given")),
              "applied": supported, "full_overlap_height_m": height}
    if not supported:
        record["reason"] = str(estimate.attrs.get("reason", ""))
        warnings.warn(f"overlap: the estimate is not supported by the data and is not "
                      f"applied ({record['reason']})", RuntimeWarning, stacklevel=3)
    for key in ("lidar_ratio", "angstrom", "elastic_channel", "raman_channel"):
        if key in estimate.attrs:
            record[key] = _json_value(estimate.attrs[key])
    variables: dict[str, tuple[str | tuple[str, ...], AnyArray | float, dict[str, Any]]] = {
        name: (dims, values, {**attrs, "applied": int(supported)})
        for name, (dims, values, attrs) in on.items()}
    variables["full_overlap_height"] = ((), height, {
        "units": "m", "long_name": "range above which the overlap stays within its tolerance "
        "of complete (NaN: not found)"})
    applied = on["overlap"][1] if supported else None
    return applied, {"record": record, "variables": variables}


def _json_value(v: object) -> object:
    if isinstance(v, np.generic):
        return v.item()
    return v


# Per-profile coordinates naming files: an average lists its profiles' names.
_FILE_NAMES = ("source_file", "header_file_name")


def _group_reduce(values: AnyArray, starts: AnyArray, weights: AnyArray | None = None,
                  how: Literal["mean", "sum", "rms"] = "mean") -> AnyArray:
    """Reduce (time, ...) per group of profiles: shots-weighted mean, sum, rms."""
    out = []
    for g in range(len(starts) - 1):
        v = values[int(starts[g]):int(starts[g + 1])]
        if how == "sum":
            out.append(v.sum(axis=0))
            continue
        assert weights is not None  # (the means are weighted)
        w = weights[int(starts[g]):int(starts[g + 1])]
        with np.errstate(invalid="ignore", divide="ignore"):
            if how == "rms":
                out.append(np.sqrt((w * v * v).sum(axis=0) / w.sum(axis=0)))
            else:
                out.append((w * v).sum(axis=0) / w.sum(axis=0))
    return np.array(out)


def _corrected_dataset(ds: xr.Dataset, res: dict[str, AnyArray], starts: AnyArray,
                       pairs: Sequence[tuple[str, int, int]], channels: list[str],
                       r_out: FloatArray, merge: int, saturated: AnyArray,
                       applied: list[dict[str, Any]], range_correction: bool) -> xr.Dataset:
    groups = len(starts) - 1
    averaged = groups != ds.sizes["time"]
    first = starts[:-1].astype(np.int64)
    last = starts[1:].astype(np.int64) - 1
    P = len(pairs)
    out_channels = channels + [name for name, _, _ in pairs]
    shots_in = ds.shots.values.astype(np.float64)

    def with_glued(a: AnyArray, fill: float) -> AnyArray:
        return np.concatenate([a, np.full(a.shape[:-1] + (P,), fill, dtype=a.dtype)],
                              axis=-1) if P else a

    units = [str(u) for u in ds.signal_units.values] if "signal_units" in ds.variables else ["1"] * len(channels)
    units = units + ["MHz"] * P
    if range_correction:
        units = [f"{u} m^2" for u in units]

    data_vars = {
        "signal": (("time", "channel", "range"), res["signal"],
                   {"long_name": "corrected lidar signal (see signal_units)"}),
        "signal_noise": (("time", "channel", "range"), res["noise"],
                         {"long_name": "standard deviation of signal (see signal_units)"}),
        "shots": (("time", "channel"), res["weight_sum"].round().astype(np.int64),
                  {"units": "1", "long_name": "laser shots summed"}),
        "background": (("time", "channel"),
                       with_glued(_group_reduce(res["background_mean"], starts, shots_in), np.nan),
                       {"long_name": "background per profile before subtraction (input units, "
                        "shots-weighted over averaged profiles)"}),
        "background_std": (("time", "channel"),
                           with_glued(_group_reduce(res["background_std"], starts, shots_in, "rms"), np.nan),
                           {"long_name": "standard deviation of the background window"}),
        "dead_time_saturated": (("time", "channel"),
                                with_glued(_group_reduce(saturated, starts, how="sum"), 0),
                                {"units": "1", "long_name": "bins beyond the dead-time model's "
                                 "reach (NaN in signal)"}),
    }
    if P:
        pc_shots = shots_in[:, [p for _, _, p in pairs]]

        def pad(a: AnyArray) -> AnyArray:
            return np.concatenate([np.full((groups, len(channels)), np.nan), a], axis=1)
        for key, name, long_name in (("slope", "glue_slope", "glue fit slope (MHz per analog unit)"),
                                     ("offset", "glue_offset", "glue fit offset (MHz)"),
                                     ("correlation", "glue_correlation", "correlation of the glue fit")):
            data_vars[name] = (("time", "channel"), pad(_group_reduce(res[key], starts, pc_shots)),
                               {"long_name": long_name + " (shots-weighted over averaged profiles)"})
        data_vars["glue_bins"] = (("time", "channel"),
                                  np.concatenate([np.zeros((groups, len(channels)), np.int64),
                                                  _group_reduce(res["count"], starts, how="sum")], axis=1),
                                  {"units": "1", "long_name": "bins used by the glue fit"})
        if not averaged:
            for key, name in (("first", "glue_first_range"), ("last", "glue_last_range")):
                idx = res[key]
                vals = np.where(idx >= 0, ds["range"].values[np.clip(idx, 0, None)], np.nan)
                data_vars[name] = (("time", "channel"), pad(vals),
                                   {"units": "m", "long_name": f"{key} range bin used by the glue fit"})

    coords = {
        "time": ("time", ds.time.values[first], ds.time.attrs),
        "channel": ("channel", np.array(out_channels, dtype=object), ds.channel.attrs),
        "range": ("range", r_out, {**ds["range"].attrs,
                                   **({"long_name": "distance along the beam from the instrument "
                                       "(mean of the merged bins)"} if merge > 1 else {})}),
        "signal_units": ("channel", np.array(units, dtype=object), {"long_name": "units of signal"}),
    }
    if averaged:
        coords["profiles"] = ("time", np.diff(starts).astype(np.int64),
                              {"units": "1", "long_name": "profiles averaged"})
    if "stop_time" in ds.variables:  # each profile's end (an average's: its last profile's)
        coords["stop_time"] = ("time", ds.stop_time.values[last], ds.stop_time.attrs)
    dropped: list[str] = []
    # The averages are the runs [starts[g], starts[g + 1]) of profiles.
    members = np.arange(int(starts[0]), int(starts[-1]))
    owners = np.repeat(first, np.diff(starts).astype(np.int64))
    for coord, var in ds.coords.items():
        name = str(coord)
        if name in coords or name in ("time", "channel", "range", "stop_time", "signal_units"):
            continue
        dims = var.dims
        values = var.values
        if "range" in dims:
            dropped.append(name)
            continue
        if "time" in dims and averaged:
            if name in _FILE_NAMES and dims == ("time",):
                # The files of each average, listed.
                values = np.array([" ".join(str(v) for v in values[a:b + 1])
                                   for a, b in zip(first, last)], dtype=object)
                coords[name] = (dims, values, var.attrs)
                continue
            axis = dims.index("time")
            moved = np.moveaxis(values, axis, 0)
            # each profile against the first of its average, all at once
            same = np.array_equal(moved[members], moved[owners],
                                  equal_nan=moved.dtype.kind == "f")
            if not same:
                dropped.append(name)
                continue
            values = np.moveaxis(moved[first], 0, axis)
        if "channel" in dims and P:
            axis = dims.index("channel")
            if name in ("detection_mode",):
                extra = np.array(["glued"] * P, dtype=object)
            else:
                extra = np.take(values, [p for _, _, p in pairs], axis=axis)
                if name == "recorder":
                    extra = np.array([f"{ds.recorder.values[a]}+{ds.recorder.values[p]}"
                                      for _, a, p in pairs], dtype=object)
                elif values.dtype.kind == "f" and name in ("input_range", "discriminator_level",
                                                           "high_voltage"):
                    extra = np.full(extra.shape, np.nan)
            values = np.concatenate([values, extra], axis=axis)
        coords[name] = (dims, values, var.attrs)
    if merge > 1:
        bins = coords["bins"][1]
        coords["bins"] = ("channel", -(-bins // merge), coords["bins"][2])
        coords["bin_width"] = ("channel", coords["bin_width"][1] * merge, coords["bin_width"][2])
    if dropped:
        warnings.warn(f"correct: coordinates that vary within an average were dropped: "
                      f"{', '.join(dropped)}", RuntimeWarning, stacklevel=3)

    attrs = dict(ds.attrs)
    previous = json.loads(attrs["corrections"]) if isinstance(attrs.get("corrections"), str) else []
    from Aerolume.io import package_version
    attrs["corrections"] = json.dumps(previous + applied)
    attrs["history"] = (attrs.get("history", "") + "\n" if attrs.get("history") else "") + \
        f"corrected by Aerolume {package_version()}: " + ", ".join(a["step"] for a in applied)
    attrs["aerolume_version"] = package_version()
    return xr.Dataset(data_vars, coords=coords, attrs=attrs)
