"""The overlap function of a lidar: estimated from its own signals, or read from a file.

:func:`estimate_overlap` follows Wandinger and Ansmann (2002, Appl. Opt. 41, 511): the
aerosol backscatter from the ratio of the elastic and nitrogen-Raman signals needs no
overlap (it cancels in the ratio where both channels share one overlap function); with the
extinction of an assumed lidar ratio it gives the elastic signal the instrument would
record with complete overlap, and the overlap is the measured signal over that one,
normalised to 1 just above the full-overlap height.  :func:`estimate_overlap_from_pair`
takes the ratio of a near-range and a far-range telescope instead; :func:`read_overlap`
reads a function measured elsewhere.
"""

from __future__ import annotations

import math
import os
import pathlib
import warnings
from collections.abc import Sequence

import numpy as np
import xarray as xr
from numpy.typing import ArrayLike, NDArray

from Aerolume._checks import as_float64
from Aerolume._shapes import Molecular
from Aerolume._typing import FloatArray, IntArray

__all__ = ["estimate_overlap", "estimate_overlap_from_pair", "read_overlap"]

_FLAGS = {"clipped_above_one": 1, "low_signal_to_noise": 2, "below_supported_range": 4}


def _mean_profile(signal: ArrayLike, name: str, weights: ArrayLike | None,
                  noise: ArrayLike | None = None) -> tuple[FloatArray, FloatArray | None]:
    """The weighted mean profile of (..., range) and its standard deviation."""
    x = as_float64(signal, name, ndim_min=1)
    rows = x.reshape(-1, x.shape[-1])
    if weights is None:
        w = np.ones(rows.shape[0])
    else:
        w = np.broadcast_to(as_float64(weights, "weights"), x.shape[:-1]).reshape(-1)
        if not np.all(np.isfinite(w) & (w >= 0)) or not w.sum() > 0:
            raise ValueError("weights must be finite, non-negative and not all zero")
    good = np.isfinite(rows)
    wsum = (w[:, None] * good).sum(0)
    with np.errstate(invalid="ignore", divide="ignore"):
        mean: FloatArray = (w[:, None] * np.where(good, rows, 0.0)).sum(0) / wsum
        sd: FloatArray | None = None
        if noise is not None:
            n = as_float64(noise, f"{name} noise")
            n = np.broadcast_to(n, x.shape).reshape(rows.shape)
            sd = np.sqrt((w[:, None] ** 2 * np.where(good, n, 0.0) ** 2).sum(0)) / wsum
        elif rows.shape[0] > 2:
            spread = np.sqrt((w[:, None] * np.where(good, rows - mean, 0.0) ** 2).sum(0) / wsum)
            sd = spread / np.sqrt(np.maximum(good.sum(0) - 1, 1))
    return mean, sd


def _smooth(values: FloatArray, gates: int) -> FloatArray:
    if gates <= 1:
        return values
    kernel = np.ones(gates) / gates
    good = np.isfinite(values)
    num = np.convolve(np.where(good, values, 0.0), kernel, mode="same")
    den = np.convolve(good.astype(float), kernel, mode="same")
    with np.errstate(invalid="ignore", divide="ignore"):
        smoothed: FloatArray = np.where(den > 0.5, num / den, np.nan)
    return smoothed


def _full_overlap_height(r: FloatArray, overlap: FloatArray, tolerance: float, top: float
                         ) -> tuple[float, int]:
    """First range from which the overlap stays within `tolerance` of 1 up to `top`."""
    inside = (r <= top)
    ok = (np.abs(overlap - 1.0) <= tolerance) | ~inside
    bad = np.nonzero(~ok & inside)[0]
    first = 0 if bad.size == 0 else int(bad[-1]) + 1
    if first >= r.size or r[first] >= top:
        return float("nan"), first
    return float(r[first]), first


def estimate_overlap(elastic: ArrayLike, raman: ArrayLike, range: ArrayLike,
                     molecular: Molecular, molecular_raman: Molecular, *,
                     lidar_ratio: float = 50.0, angstrom: float = 1.0,
                     lidar_ratio_uncertainty: float = 20.0, angstrom_uncertainty: float = 0.5,
                     reference: Sequence[float] | None = None,
                     reference_search: tuple[float, float] = (4000.0, 15000.0),
                     reference_width: float = 1000.0, tolerance: float = 0.05,
                     normalise_width: float = 1000.0, max_height: float = 6000.0,
                     smooth: float = 150.0, min_snr: float = 3.0, min_overlap: float = 0.02,
                     iterations: int = 4, weights: ArrayLike | None = None,
                     noise: ArrayLike | None = None, raman_noise: ArrayLike | None = None,
                     wavelength: float | None = None, raman_wavelength: float | None = None,
                     threads: int | None = None) -> xr.Dataset:
    """The overlap function from an elastic and a nitrogen-Raman signal (Wandinger and
    Ansmann 2002).

    1. The profiles are averaged (`weights`, e.g. shots): the estimate wants the mean of
       a night.
    2. The aerosol backscatter beta_a from the ratio of the two signals
       (:func:`Aerolume.retrieval.raman_backscatter`), referenced in clean air
       (`reference`, or :func:`Aerolume.retrieval.find_reference` over
       `reference_search`): the overlap cancels in the ratio.
    3. The extinction alpha_a = `lidar_ratio` x beta_a (the Raman extinction is biased where
       the overlap is incomplete), fed back into step 2 for the differential
       transmission; `iterations` passes.
    4. The elastic signal with complete overlap, r^-2 (beta_a + beta_m) T^2, and the
       overlap = measured / that, normalised to 1 over `normalise_width` just above the
       full-overlap height, itself the first range from which the (smoothed) overlap
       stays within `tolerance` of 1 up to `max_height`; normalisation and height are
       iterated until they agree.  Above the full-overlap height the overlap is 1.

    Parameters
    ----------
    elastic, raman : array_like, (..., range)
        Background-subtracted elastic and Raman signals (not range corrected, not overlap
        corrected), same shape.
    range : array_like, (range,)
        Range of each gate, m.
    molecular, molecular_raman : mapping
        As for :func:`Aerolume.retrieval.raman_backscatter`: ``alpha_m``, ``beta_m``
        (emitted wavelength) and ``alpha_m``, ``number_density`` (Raman wavelength).
    lidar_ratio : float
        Aerosol lidar ratio assumed below the full-overlap height, sr.
    angstrom : float
        Aerosol Angstrom exponent between the two wavelengths.
    lidar_ratio_uncertainty, angstrom_uncertainty : float
        Their standard uncertainties, propagated into ``overlap_uncertainty``.
    reference : (float, float), optional
        Reference interval of the Raman backscatter, m; searched when absent.
    reference_search, reference_width
        Where and how wide the searched reference is, m.
    tolerance : float
        Full overlap: within this fraction of 1.  Default 5 %.
    normalise_width : float
        Width of the normalisation window, m.
    max_height : float
        Highest range examined for the full-overlap height, m.
    smooth : float
        Running mean (m) applied before the overlap is compared with 1 (the returned
        overlap is not smoothed).
    min_snr : float
        Gates where the overlap's signal-to-noise ratio is below this are flagged.
    min_overlap : float
        Below the last gate under this overlap (near the instrument), the estimate is
        unsupported: NaN.
    iterations : int
        Passes of the backscatter / extinction loop.
    weights : array_like, optional
        Per profile, weights of the mean (e.g. shots).
    noise, raman_noise : array_like, optional
        Standard deviations of the signals (broadcastable); else from the spread of the
        profiles (with at least 3), else not included.
    wavelength, raman_wavelength : float, optional
        As for the Raman retrievals.
    threads : int, optional

    Returns
    -------
    xarray.Dataset
        On ``range``: ``overlap`` (1 above the full-overlap height, NaN where unsupported),
        ``overlap_uncertainty`` (from the lidar ratio, the Angstrom exponent and the
        noise, combined), ``overlap_flag`` (CF flags: clipped above 1 + tolerance, low
        signal-to-noise, below the supported range); the scalar ``full_overlap_height``
        (m, NaN if none).  Attributes: ``method``, ``supported`` (1 or 0), ``reason``
        (why not), ``lidar_ratio``, ``angstrom``, ``reference_range``,
        ``normalisation_range``.  An unsupported estimate is also a RuntimeWarning.
    """
    from Aerolume import retrieval

    r = as_float64(range, "range", ndim_min=1)
    e_mean, e_sd = _mean_profile(elastic, "elastic", weights, noise)
    r_mean, r_sd = _mean_profile(raman, "raman", weights, raman_noise)
    if e_mean.shape != r.shape or r_mean.shape != r.shape:
        raise ValueError(f"elastic and raman must have {r.size} gates on their last axis (the "
                         f"range's), got {np.shape(elastic)} and {np.shape(raman)}")
    for value, name in ((lidar_ratio, "lidar_ratio"), (tolerance, "tolerance"),
                        (normalise_width, "normalise_width"), (max_height, "max_height")):
        if not (np.ndim(value) == 0 and math.isfinite(float(value)) and float(value) > 0):
            raise ValueError(f"{name} must be a positive number, got {value!r}")
    if not isinstance(iterations, (int, np.integer)) or iterations < 1:
        raise ValueError(f"iterations must be a positive whole number, got {iterations!r}")
    # the gates beyond the last non-finite one near the instrument (blind, shifted bins)
    good = np.isfinite(e_mean) & np.isfinite(r_mean)
    for sd_ in (e_sd, r_sd):
        if sd_ is not None:
            good &= np.isfinite(sd_)
    if not good.all():
        bad = np.nonzero(~good)[0]
        start = int(bad[-1]) + 1 if bad[-1] < r.size // 2 else 0
        if start == 0 or r.size - start < 20:
            return _unsupported(r, "the mean signals are not finite beyond the near range",
                                lidar_ratio, angstrom)
        cut = slice(start, None)

        def part(mapping: Molecular) -> dict[str, FloatArray]:
            return {str(k): np.broadcast_to(np.asarray(mapping[k], float), r.shape)[cut]
                    for k in mapping if k in ("alpha_m", "beta_m", "number_density")}
        out = estimate_overlap(
            e_mean[cut], r_mean[cut], r[cut], part(molecular), part(molecular_raman),
            lidar_ratio=lidar_ratio, angstrom=angstrom,
            lidar_ratio_uncertainty=lidar_ratio_uncertainty,
            angstrom_uncertainty=angstrom_uncertainty, reference=reference,
            reference_search=reference_search, reference_width=reference_width,
            tolerance=tolerance, normalise_width=normalise_width, max_height=max_height,
            smooth=smooth, min_snr=min_snr, min_overlap=min_overlap, iterations=iterations,
            noise=None if e_sd is None else e_sd[cut],
            raman_noise=None if r_sd is None else r_sd[cut],
            wavelength=wavelength if wavelength is not None else
            getattr(molecular, "attrs", {}).get("wavelength"),
            raman_wavelength=raman_wavelength if raman_wavelength is not None else
            getattr(molecular_raman, "attrs", {}).get("wavelength"), threads=threads)
        return out.reindex(range=r).assign(overlap_flag=lambda d: d.overlap_flag.fillna(
            _FLAGS["below_supported_range"]).astype(np.int32))
    spacing = float(np.median(np.diff(r)))
    reasons: list[str] = []

    beta_m = np.broadcast_to(np.asarray(molecular["beta_m"], float), r.shape)
    alpha_m = np.broadcast_to(np.asarray(molecular["alpha_m"], float), r.shape)
    if reference is None:
        # (e_sd is finite here; a gate of no counts has no noise, which the search takes)
        found = retrieval.find_reference(e_mean, r, molecular, search=tuple(reference_search),
                                         width=reference_width, noise=e_sd)
        if not bool(np.all(found.found)):
            return _unsupported(r, f"no clean-air reference for the Raman backscatter: "
                                f"{found.reason_text()}", lidar_ratio, angstrom)
        reference = tuple(float(v) for v in np.ravel(found.interval)[:2])

    def overlap_raw(S: float, k: float) -> FloatArray:
        """Measured over full-overlap elastic signal, not normalised."""
        alpha_a: FloatArray | None = None
        beta_a = np.full(r.shape, np.nan)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            for _ in np.arange(iterations):
                beta_a = retrieval.raman_backscatter(
                    e_mean, r_mean, r, molecular, molecular_raman, reference, 1.0, alpha_a,
                    k, wavelength=wavelength, raman_wavelength=raman_wavelength,
                    threads=threads)["backscatter"].values.reshape(r.shape)
                alpha_a = S * np.where(np.isfinite(beta_a), np.maximum(beta_a, 0.0), 0.0)
        assert alpha_a is not None  # (iterations >= 1)
        alpha = alpha_a + alpha_m
        depth = np.concatenate([[alpha[0] * r[0]],
                                alpha[0] * r[0] + np.cumsum(0.5 * (alpha[1:] + alpha[:-1]) * np.diff(r))])
        full = (beta_a + beta_m) * np.exp(-2.0 * depth) / (r * r)
        with np.errstate(invalid="ignore", divide="ignore"):
            measured: FloatArray = e_mean / full
        return measured

    def normalised(raw: FloatArray
                   ) -> tuple[FloatArray | None, float, tuple[float, float]]:
        """Normalise just above the full-overlap height, iterated until consistent."""
        top = min(max_height, reference[0])
        start = top - normalise_width
        height = float("nan")
        for _ in np.arange(6):
            window = (r >= start) & (r < start + normalise_width)
            scale = np.nanmedian(raw[window]) if window.any() else float("nan")
            if not (np.isfinite(scale) and scale > 0):
                return None, float("nan"), (start, start + normalise_width)
            o = raw / scale
            h, _ = _full_overlap_height(r, _smooth(o, max(1, int(round(smooth / spacing)))),
                                        tolerance, start + normalise_width)
            if not np.isfinite(h):
                return o, h, (start, start + normalise_width)
            new = h + 0.5 * normalise_width
            if abs(new - start) < 2 * spacing:
                return o, h, (start, start + normalise_width)
            start, height = new, h
        return o, height, (start, start + normalise_width)

    raw = overlap_raw(lidar_ratio, angstrom)
    o, height, norm = normalised(raw)
    if o is None:
        return _unsupported(r, "the signals give no positive overlap in the normalisation "
                            "window", lidar_ratio, angstrom)
    if not np.isfinite(height):
        reasons.append(f"the overlap does not settle within {tolerance:.0%} of 1 below "
                       f"{norm[1]:g} m")

    # uncertainty: the assumed lidar ratio and Angstrom exponent, and the noise
    spreads = []
    for S, k in ((lidar_ratio + lidar_ratio_uncertainty, angstrom),
                 (max(lidar_ratio - lidar_ratio_uncertainty, 1.0), angstrom),
                 (lidar_ratio, angstrom + angstrom_uncertainty),
                 (lidar_ratio, angstrom - angstrom_uncertainty)):
        window = (r >= norm[0]) & (r < norm[1])
        alt = overlap_raw(S, k)
        alt = alt / np.nanmedian(alt[window])
        spreads.append(alt)
    sd_model = np.sqrt((0.5 * (spreads[0] - spreads[1])) ** 2 +
                       (0.5 * (spreads[2] - spreads[3])) ** 2)
    with np.errstate(invalid="ignore", divide="ignore"):
        # the overlap follows the Raman signal (the elastic one cancels but for the
        # transmission): its relative noise is the Raman signal's
        rel_noise = np.zeros_like(r) if r_sd is None else np.abs(r_sd / r_mean)
    sd = np.sqrt(sd_model ** 2 + (o * rel_noise) ** 2)

    flag = np.zeros(r.shape, dtype=np.int32)
    overlap = o.copy()
    with np.errstate(invalid="ignore"):
        low = np.nonzero(np.isfinite(overlap) & (overlap < min_overlap) & (r < (height if np.isfinite(height) else r[-1])))[0]
        unsupported_below = low[-1] + 1 if low.size else 0
        snr = np.abs(overlap) / np.where(sd > 0, sd, np.nan)
        flag[(snr < min_snr) & np.isfinite(snr)] |= _FLAGS["low_signal_to_noise"]
        high = overlap > 1.0 + tolerance
    if np.isfinite(height):
        above = r >= height
        overlap[above] = 1.0
        flag[above] = 0
        sd[above] = np.minimum(sd[above], tolerance)
    flag[high & (r < (height if np.isfinite(height) else np.inf))] |= _FLAGS["clipped_above_one"]
    overlap = np.where(high & (r < (height if np.isfinite(height) else np.inf)), 1.0, overlap)
    overlap[:unsupported_below] = np.nan
    sd[:unsupported_below] = np.nan
    flag[:unsupported_below] |= _FLAGS["below_supported_range"]
    overlap[~np.isfinite(overlap)] = np.nan
    below = np.isfinite(height) & (r < height)
    if np.isfinite(height) and np.any(flag[below] & _FLAGS["low_signal_to_noise"]):
        share = float(np.mean((flag[below] & _FLAGS["low_signal_to_noise"]) > 0))
        if share > 0.5:
            reasons.append(f"the signal-to-noise ratio is below {min_snr:g} at {share:.0%} "
                           "of the gates below full overlap")
    if np.isfinite(height) and np.any(flag[below] & _FLAGS["clipped_above_one"]):
        warnings.warn(f"estimate_overlap: the overlap exceeds 1 + {tolerance:g} at "
                      f"{int(np.sum(flag & _FLAGS['clipped_above_one'] > 0))} gate(s) below "
                      "the full-overlap height (clipped to 1 and flagged): the assumed lidar "
                      "ratio may not fit there", RuntimeWarning, stacklevel=2)
    out = _dataset(r, overlap, sd, flag, height, lidar_ratio, angstrom)
    out.attrs.update(reference_range=[float(v) for v in reference],
                     normalisation_range=[float(v) for v in norm],
                     lidar_ratio_uncertainty=float(lidar_ratio_uncertainty),
                     angstrom_uncertainty=float(angstrom_uncertainty),
                     tolerance=float(tolerance))
    if reasons:
        out.attrs.update(supported=0, reason="; ".join(reasons))
        warnings.warn(f"estimate_overlap: the estimate is not supported by the data: "
                      f"{out.attrs['reason']}", RuntimeWarning, stacklevel=2)
    return out


def _dataset(r: FloatArray, overlap: FloatArray, sd: FloatArray, flag: IntArray | NDArray[np.int32],
             height: float, lidar_ratio: float | None, angstrom: float | None,
             method: str | None = None) -> xr.Dataset:
    flag_attrs = {"long_name": "quality of the overlap estimate", "units": "1",
                  "flag_masks": np.array(list(_FLAGS.values()), dtype=np.int32),
                  "flag_meanings": " ".join(_FLAGS)}
    ds = xr.Dataset(
        {"overlap": ("range", overlap, {"units": "1", "long_name": "overlap function "
                                        "(1: complete; NaN: not supported by the data)"}),
         "overlap_uncertainty": ("range", sd, {"units": "1", "long_name":
                                               "standard uncertainty of the overlap function"}),
         "overlap_flag": ("range", flag, flag_attrs),
         "full_overlap_height": ((), float(height), {"units": "m", "long_name":
                                 "range above which the overlap stays within its tolerance "
                                 "of complete (NaN: not found)"})},
        coords={"range": ("range", r, {"units": "m", "long_name": "distance along the beam "
                                       "from the instrument"})},
        attrs={"method": method or "Wandinger and Ansmann (2002): elastic signal over the "
               "complete-overlap signal built from the Raman backscatter",
               "supported": 1, "reason": ""})
    if lidar_ratio is not None and angstrom is not None:
        ds.attrs.update(lidar_ratio=float(lidar_ratio), angstrom=float(angstrom))
    return ds


def _unsupported(r: FloatArray, reason: str, lidar_ratio: float, angstrom: float) -> xr.Dataset:
    warnings.warn(f"estimate_overlap: the estimate is not supported by the data: {reason}",
                  RuntimeWarning, stacklevel=3)
    out = _dataset(r, np.full(r.shape, np.nan), np.full(r.shape, np.nan),
                   np.full(r.shape, _FLAGS["below_supported_range"], np.int32), float("nan"),
                   lidar_ratio, angstrom)
    out.attrs.update(supported=0, reason=reason)
    return out


def estimate_overlap_from_pair(near: ArrayLike, far: ArrayLike, range: ArrayLike,
                               normalise: tuple[float, float] = (1000.0, 2000.0), *,
                               weights: ArrayLike | None = None, tolerance: float = 0.05,
                               smooth: float = 150.0) -> xr.Dataset:
    """The far-range telescope's overlap from a near-range / far-range pair.

    The ratio far / near, averaged over the profiles, normalised to 1 over `normalise`
    (m, where both telescopes see complete overlap), is the far telescope's overlap
    wherever the near one's is complete.

    Parameters
    ----------
    near, far : array_like, (..., range)
        Background-subtracted signals of the two telescopes (same wavelength).
    range : array_like, (range,)
    normalise : (float, float)
        Range interval (m) where both overlaps are complete.
    weights : array_like, optional
        Per profile, weights of the mean.
    tolerance, smooth : float
        For ``full_overlap_height`` (as in :func:`estimate_overlap`).

    Returns
    -------
    xarray.Dataset
        As :func:`estimate_overlap` (uncertainty from the noise of the ratio where more
        than two profiles are given).
    """
    r = as_float64(range, "range", ndim_min=1)
    n_mean, n_sd = _mean_profile(near, "near", weights)
    f_mean, f_sd = _mean_profile(far, "far", weights)
    if n_mean.shape != r.shape or f_mean.shape != r.shape:
        raise ValueError(f"near and far must have {r.size} gates on their last axis")
    try:
        a, b = (float(v) for v in normalise)
    except (TypeError, ValueError):
        raise TypeError("normalise must be a pair of ranges (m)") from None
    window = (r >= a) & (r <= b)
    if not a < b or window.sum() < 3:
        raise ValueError(f"normalise {tuple(normalise)} m must hold at least 3 gates")
    with np.errstate(invalid="ignore", divide="ignore"):
        ratio = f_mean / n_mean
        scale = np.nanmedian(ratio[window])
        if not (np.isfinite(scale) and scale > 0):
            raise ValueError("far / near is not positive over normalise")
        o = ratio / scale
        # (each signal's spread counts where it has one: a signal of one or two profiles
        # has none)
        relative = np.zeros_like(o)
        for spread, mean in ((n_sd, n_mean), (f_sd, f_mean)):
            if spread is not None:
                relative = relative + (spread / mean) ** 2
        sd = np.abs(o) * np.sqrt(relative)
    spacing = float(np.median(np.diff(r)))
    height, _ = _full_overlap_height(r, _smooth(o, max(1, int(round(smooth / spacing)))),
                                     tolerance, b)
    flag = np.zeros(r.shape, np.int32)
    out = o.copy()
    if np.isfinite(height):
        out[r >= height] = 1.0
    ds = _dataset(r, out, sd, flag, height, None, None,
                  method="ratio of the far-range to the near-range telescope's signal")
    ds.attrs["normalisation_range"] = [a, b]
    if not np.isfinite(height):
        ds.attrs.update(supported=0, reason=f"the ratio does not settle within "
                        f"{tolerance:.0%} of 1 below {b:g} m")
        warnings.warn(f"estimate_overlap_from_pair: {ds.attrs['reason']}", RuntimeWarning,
                      stacklevel=2)
    return ds


def read_overlap(path: str | os.PathLike[str]) -> xr.DataArray:
    """An overlap function from a file.

    A netCDF file with a variable ``overlap`` on a ``range`` coordinate (m), or a text
    file of two columns, range (m) and overlap, separated by blanks or commas (``#``
    starts a comment; a first line of column names is allowed).

    Parameters
    ----------
    path : str or path
        The file.

    Returns
    -------
    xarray.DataArray
        ``overlap`` on ``range`` (m), sorted by range.

    Raises
    ------
    ValueError
        Naming the file (and line): no ``overlap`` variable, not two columns, a value that
        is not a number, a non-positive overlap, repeated or negative ranges.
    OSError
        The file cannot be read.
    """
    path = pathlib.Path(path)
    rows: list[list[float]] = []
    if not path.exists():
        raise FileNotFoundError(f"{path}: no such overlap file")
    with open(path, "rb") as f:
        magic = f.read(4)
    if magic[:3] == b"CDF" or magic == b"\x89HDF":
        with xr.open_dataset(path) as ds:
            if "overlap" not in ds.variables or ds["overlap"].dims != ("range",):
                raise ValueError(f"{path}: needs a variable 'overlap' on the dimension 'range'")
            o = ds["overlap"].load()
        r, values = np.asarray(o["range"].values, float), np.asarray(o.values, float)
    else:
        with open(path, encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                text = line.split("#", 1)[0].replace(",", " ").split()
                if not text:
                    continue
                try:
                    values_ = [float(v) for v in text]
                except ValueError:
                    if not rows:
                        continue
                    raise ValueError(f"{path}: line {number}: not a number in "
                                     f"{line.strip()!r}") from None
                if len(values_) != 2:
                    raise ValueError(f"{path}: line {number}: {len(values_)} values where two "
                                     "are expected (range m, overlap)")
                rows.append(values_)
        if len(rows) < 2:
            raise ValueError(f"{path}: an overlap function needs at least two lines of "
                             "range (m) and overlap")
        table = np.array(rows)
        r, values = table[:, 0], table[:, 1]
    order = np.argsort(r, kind="stable")
    r, values = r[order], values[order]
    if not (np.all(np.isfinite(r)) and np.all(r >= 0)) or np.any(np.diff(r) == 0):
        raise ValueError(f"{path}: ranges must be finite, non-negative and distinct (m)")
    if not np.all(np.isfinite(values) & (values > 0)):
        raise ValueError(f"{path}: the overlap must be positive and finite")
    return xr.DataArray(values, coords={"range": ("range", r, {"units": "m"})},
                        dims=("range",), name="overlap",
                        attrs={"units": "1", "source": str(path)})
