"""The molecular reference interval of the elastic retrievals, found automatically.

In clean air the range-corrected signal X = P r^2 follows the attenuated molecular
backscatter A = beta_m exp(-2 ∫ alpha_m) up to a constant.  :func:`find_reference` slides
a window over a search range and tests, in each window, the fit of X to A:

- slope: the relative range derivative of X / A (a straight line fitted through the
  window, divided by its mean) over the slope of ln A, the "relative slope difference",
  must be zero within ``n_sigma`` of its statistical error (plus ``slope_tolerance``);
  aerosol extinction or a changing backscatter ratio make it non-zero;
- residuals: the reduced chi-square of that straight line must be consistent with noise
  alone (below 1 + 3 sqrt(2 / (n - 2))), which structure such as a thin cloud breaks;
- signal-to-noise: the mean signal over its standard error at least ``min_snr``;
- backscatter ratio: the window's scale c (X = c A) over the smallest scale among the
  windows with enough signal, an estimate of the backscatter ratio relative to the
  cleanest window, at most 1 + ``ratio_tolerance`` (plus its statistical error);
- molecular above: every test above is local, and a window on the slope of a profile that
  has not levelled off passes them all.  So X / A must also not fall, anywhere above the
  window up to where the signal ends (the first window-long block whose mean signal is
  under 3 standard errors) or up to a cloud (a block more than ``cloud_ratio`` above the
  window, or the profile's ``ceiling``), below the window's value by more than
  ``flat_tolerance`` plus ``n_sigma`` standard errors: air above a clean reference can hold
  aerosol, but the backscatter ratio of a clean window is the lowest of the profile.

Of the windows that pass every test, the lowest one whose scale c has a relative standard
error within 25 % of the smallest is chosen (the model's uncertainty, ``model_tolerance /
sqrt(n)``, being the least any window's counts): the least noisy clean window, the lowest
of equals.  The noise of
X is the caller's or, by default, estimated robustly in each window from the median
absolute deviation of gate-to-gate differences.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from typing import TypedDict

import numpy as np
import xarray as xr
from numpy.lib.stride_tricks import sliding_window_view
from numpy.typing import ArrayLike

from Aerolume._checks import require_finite
from Aerolume._shapes import Layout, Molecular, array
from Aerolume._typing import AnyArray, BoolArray, FloatArray, IntArray

__all__ = ["find_reference", "ReferenceSearch"]

_TESTS = ("slope", "residual", "snr", "ratio", "above")
_TEST_NAMES = {"slope": "the slope test", "residual": "the residual test",
               "snr": "the signal-to-noise test", "ratio": "the backscatter-ratio test",
               "above": "the molecular-above test"}


@dataclasses.dataclass
class ReferenceSearch:
    """The outcome of :func:`find_reference`.

    Attributes
    ----------
    interval : numpy.ndarray, shape (..., 2)
        The chosen reference interval (r_min, r_max) of each profile, m; NaN where none
        passed.  Any retrieval takes this object (or the array) as its ``reference``.
    found : bool or numpy.ndarray of bool, shape (...)
        Whether a window passed (a bool for a single profile).
    reason : str or numpy.ndarray of str, shape (...)
        Why no window passed ("" where one did; a str for a single profile).
    windows : xarray.Dataset
        Every window tested, on dimensions (..., ``window``): ``start`` and ``stop`` (m),
        ``relative_slope_difference`` and its ``slope_error``, ``reduced_chi_square``,
        ``snr``, ``backscatter_ratio``, one boolean ``passes_<test>`` per test and
        ``passes``; ``chosen`` (...) is the index of the chosen window (-1 for none).
    """

    interval: FloatArray
    found: bool | BoolArray
    reason: str | AnyArray
    windows: xr.Dataset

    def reason_text(self) -> str:
        """The distinct failure reasons, one per line."""
        return "\n".join(sorted({str(r) for r in np.ravel(self.reason) if r}))


def _attenuated_molecular(r: FloatArray, beta: FloatArray, alpha: FloatArray) -> FloatArray:
    steps = 0.5 * (alpha[..., 1:] + alpha[..., :-1]) * np.diff(r)
    depth = alpha[..., :1] * r[0] + np.concatenate(
        [np.zeros(alpha.shape[:-1] + (1,)), np.cumsum(steps, axis=-1)], axis=-1)
    attenuated: FloatArray = beta * np.exp(-2.0 * depth)
    return attenuated


def _line_fit(x: FloatArray, y: FloatArray, sigma: FloatArray
              ) -> tuple[FloatArray, FloatArray, FloatArray, FloatArray]:
    """Unweighted straight-line fits along the last axis: slope, its standard error from
    `sigma`, the mean of y, and the reduced chi-square of the residuals."""
    xm = x - x.mean(axis=-1, keepdims=True)
    sxx = np.sum(xm * xm, axis=-1)
    ym = y.mean(axis=-1)
    slope = np.sum(xm * y, axis=-1) / sxx
    slope_error = np.sqrt(np.sum((xm / sxx[..., None]) ** 2 * sigma ** 2, axis=-1))
    residual = y - ym[..., None] - slope[..., None] * xm
    n = y.shape[-1]
    chi = np.sum((residual / sigma) ** 2, axis=-1) / (n - 2)
    return slope, slope_error, ym, chi


class _Found(TypedDict):
    """What :func:`_search` finds: the test values of every window, the tests passed, the
    chosen window and interval of each profile and why none was."""

    relative: FloatArray
    relative_error: FloatArray
    chi: FloatArray
    snr: FloatArray
    ratio: FloatArray
    passes: dict[str, BoolArray]
    every: BoolArray
    chosen: IntArray
    start: FloatArray
    stop: FloatArray
    interval: FloatArray
    reason: AnyArray
    n: int
    spacing: float


def _search(rows: FloatArray, r: FloatArray, beta_m: FloatArray, alpha_m: FloatArray,
            sd: FloatArray | None, stop_at: FloatArray, low: float, high: float, width: float,
            step: float | None, min_snr: float, n_sigma: float, slope_tolerance: float,
            ratio_tolerance: float, model_tolerance: float, flat_tolerance: float,
            cloud_ratio: float) -> _Found:
    """The search of :func:`find_reference` over checked inputs: `rows` (profiles, gates),
    the molecular arrays and `sd` (None: estimated) per gate or per profile and gate,
    `stop_at` the ceiling per profile (inf: none).  Returns the test values and choices."""
    profiles, gates = rows.shape
    g0 = int(np.searchsorted(r, low, side="left"))
    g1 = int(np.searchsorted(r, high, side="right"))
    spacing = float(np.median(np.diff(r)))
    n = max(5, int(round(width / spacing)))
    if step is None:
        stride = max(1, n // 2)
    else:
        if not (np.ndim(step) == 0 and np.isfinite(step) and step > 0):
            raise ValueError(f"step must be a positive number, got {step!r}")
        stride = max(1, int(round(step / spacing)))
    if g1 - g0 < n:
        raise ValueError(f"search ({low:g}, {high:g}) m holds {max(g1 - g0, 0)} gates, fewer "
                         f"than one window of {n} gates ({width:g} m)")

    a = _attenuated_molecular(r, beta_m, alpha_m)
    a = a if a.ndim == 1 else a.reshape(-1, gates)
    rw = sliding_window_view(r[g0:g1], n)[::stride]
    windows_count = rw.shape[0]
    # Window-long blocks from the search's start to the last gate, for the test above.
    blocks = (gates - g0) // n
    block_start = r[g0 + n * np.arange(blocks)]
    # Block b lies wholly above window k from b = first_above[k] on.
    first_above = -(-(np.arange(windows_count) * stride + n) // n)

    def windows(values: FloatArray) -> FloatArray:
        return sliding_window_view(values[..., g0:g1], n, axis=-1)[..., ::stride, :]

    def test(first: int, last: int) -> tuple[FloatArray, FloatArray, FloatArray, FloatArray,
                                             FloatArray, FloatArray, BoolArray]:
        """The test values of every window of profiles [first, last)."""
        def part(values: FloatArray) -> FloatArray:  # a per-gate input's rows for these profiles
            return values if values.ndim == 1 else values[first:last]
        xw = windows(rows[first:last] * r ** 2)
        aw = np.broadcast_to(windows(part(a)), xw.shape)
        y = xw / aw
        if sd is not None:
            sigma_y = windows(part(sd) * r ** 2) / aw
        else:
            d = np.diff(y, axis=-1)
            mad = np.median(np.abs(d - np.median(d, axis=-1, keepdims=True)), axis=-1)
            sigma_y = np.broadcast_to((1.4826 * mad / np.sqrt(2.0))[..., None], y.shape)
        scale = np.abs(y.mean(axis=-1, keepdims=True))
        sigma_fit = np.sqrt(sigma_y ** 2 + (model_tolerance * scale) ** 2)
        slope, slope_error, mean_y, chi = _line_fit(rw, y, sigma_fit)
        log_a_slope = np.abs(_line_fit(rw, np.log(aw), np.ones_like(aw))[0])
        with np.errstate(divide="ignore", invalid="ignore"):
            relative = slope / mean_y / log_a_slope
            relative_error = slope_error / np.abs(mean_y) / log_a_slope
            snr = xw.mean(axis=-1) / np.sqrt(np.mean((sigma_y * aw) ** 2, axis=-1) / n)
        a2 = np.sum(aw * aw, axis=-1)
        fit_scale = np.sum(xw * aw, axis=-1) / a2
        scale_error = np.sqrt(np.sum((aw * sigma_y * aw) ** 2, axis=-1)) / a2
        above = _molecular_above(first, last, mean_y, np.sqrt(np.mean(sigma_y ** 2, axis=-1)
                                                              / n))
        return relative, relative_error, chi, snr, fit_scale, scale_error, above

    def _molecular_above(first: int, last: int, window_y: FloatArray, window_error: FloatArray
                         ) -> BoolArray:
        """Whether X / A stays, above each window, no lower than the window's value."""
        if blocks == 0:
            return np.ones(window_y.shape, dtype=bool)
        cut = slice(g0, g0 + blocks * n)
        xb = (rows[first:last] * r ** 2)[:, cut].reshape(last - first, blocks, n)
        ab = (a if a.ndim == 1 else a[first:last])[..., cut].reshape(-1, blocks, n)
        yb = xb / ab
        if sd is not None:
            sb = ((sd if sd.ndim == 1 else sd[first:last]) * r ** 2)[..., cut]
            sigma_b = np.broadcast_to(sb.reshape(-1, blocks, n) / ab, yb.shape)
        else:
            d = np.diff(yb, axis=-1)
            mad = np.median(np.abs(d - np.median(d, axis=-1, keepdims=True)), axis=-1)
            sigma_b = np.broadcast_to((1.4826 * mad / np.sqrt(2.0))[..., None], yb.shape)
        with np.errstate(divide="ignore", invalid="ignore"):
            mean_b = yb.mean(axis=-1)
            error_b = np.sqrt(np.mean(sigma_b ** 2, axis=-1) / n)
            # The signal ends at the first block whose mean is under 3 standard errors.
            ended = np.cumsum(~(np.abs(mean_b) >= 3.0 * error_b), axis=-1) > 0
        ended = ended | (block_start[None, :] >= stop_at[first:last, None])
        w = window_y[:, :, None]
        cloud = mean_b[:, None, :] > (1.0 + cloud_ratio) * w
        order = np.arange(blocks)[None, None, :]
        valid = (order >= first_above[None, :, None]) & ~ended[:, None, :]
        # Blocks from the first cloud above the window on are left out.
        valid &= np.cumsum(cloud & valid, axis=-1) == 0
        with np.errstate(invalid="ignore"):
            low = mean_b[:, None, :] < w * (1.0 - flat_tolerance) - n_sigma * np.sqrt(
                error_b[:, None, :] ** 2 + window_error[:, :, None] ** 2)
        kept: BoolArray = ~np.any(low & valid, axis=-1)
        return kept

    # In blocks of profiles, so that the windows' temporaries stay small for large sets.
    block = max(1, 2_000_000 // max(1, rw.size))
    parts = [test(int(first), min(int(first) + block, profiles))
             for first in np.arange(0, profiles, block)]  # (`range` is the argument)
    relative, relative_error, chi, snr, fit_scale, scale_error, above = (
        np.concatenate(values, axis=0) for values in zip(*parts))
    passes_snr = snr >= min_snr
    candidate = np.where(passes_snr & (fit_scale > 0), fit_scale, np.inf)
    cleanest = candidate.min(axis=-1, keepdims=True)
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = fit_scale / cleanest
        ratio_error = scale_error / cleanest
    dof = n - 2
    passes = {
        "slope": np.abs(relative) <= n_sigma * relative_error + slope_tolerance,
        "residual": chi <= 1.0 + 3.0 * np.sqrt(2.0 / dof),
        "snr": passes_snr,
        "ratio": ratio <= 1.0 + ratio_tolerance + n_sigma * ratio_error,
        "above": above,
    }
    every = np.logical_and.reduce([passes[t] for t in _TESTS])
    # The lowest passing window whose relative noise is within 25 % of the least noisy
    # one's (the model's own uncertainty, model_tolerance / sqrt(n), as the floor).
    with np.errstate(divide="ignore", invalid="ignore"):
        noise = np.maximum(np.abs(scale_error / fit_scale), model_tolerance / np.sqrt(n))
    noise = np.where(every, noise, np.inf)
    quiet = noise <= 1.25 * noise.min(axis=-1, keepdims=True)
    chosen = np.where(every.any(axis=-1), np.argmax(quiet & every, axis=-1), -1)

    start, stop = rw[:, 0], rw[:, -1]
    interval = np.full((profiles, 2), np.nan)
    reason = np.empty(profiles, dtype=object)
    for p in np.flatnonzero(chosen >= 0):
        interval[p] = start[chosen[p]], stop[chosen[p]]
    for p in np.ravel(np.flatnonzero(chosen < 0)):
        failures = ", ".join(f"{int((~passes[t][p]).sum())} {_TEST_NAMES[t]}" for t in _TESTS
                             if (~passes[t][p]).any())
        reason[p] = (f"no window of {n} gates ({n * spacing:g} m) in {low:g} to {high:g} m "
                     f"passed every test; of {every.shape[-1]}, these failed: {failures}")
    reason[chosen >= 0] = ""

    return _Found(relative=relative, relative_error=relative_error, chi=chi, snr=snr,
                  ratio=ratio, passes=passes, every=every, chosen=chosen, start=start,
                  stop=stop, interval=interval, reason=reason, n=n, spacing=spacing)


def find_reference(signal: ArrayLike, range: ArrayLike, molecular: Molecular,
                   search: Sequence[float] = (4000.0, 15000.0), width: float = 1000.0, *,
                   step: float | None = None, noise: ArrayLike | None = None,
                   min_snr: float = 10.0, n_sigma: float = 2.0, slope_tolerance: float = 0.02,
                   ratio_tolerance: float = 0.1, model_tolerance: float = 1e-3,
                   flat_tolerance: float = 0.05, cloud_ratio: float = 0.5,
                   ceiling: ArrayLike | None = None) -> ReferenceSearch:
    """The molecular reference interval, chosen automatically per profile.

    Parameters
    ----------
    signal : array_like, shape (..., range)
        Background-subtracted, overlap-corrected signal P(r).
    range : array_like, shape (range,)
        Range of each gate, m.
    molecular : mapping
        ``alpha_m`` (m^-1) and ``beta_m`` (m^-1 sr^-1) broadcastable to the signal.
    search : (float, float)
        Ranges to search, m.  Default 4 to 15 km.
    width : float
        Width of the windows, m (rounded to whole gates, at least 5).  Default 1000 m.
    step : float, optional
        Distance between window starts, m; default half the width.
    noise : array_like, optional
        Standard deviation of the signal per gate (broadcastable); estimated when absent.
    min_snr : float
        Smallest signal-to-noise ratio of a window's mean signal.  Default 10.
    n_sigma : float
        How many standard errors the relative slope difference may reach.  Default 2.
    slope_tolerance : float
        Relative slope difference always accepted (the model's own uncertainty).
        Default 0.02.
    ratio_tolerance : float
        How far above the cleanest window's the backscatter ratio may be.  Default 0.1.
    model_tolerance : float
        Relative standard deviation added to the noise of X / A in the residual test (the
        molecular model's own uncertainty), so noise-free data are not held to rounding.
    flat_tolerance : float
        How far X / A may fall below the window's value anywhere above it (relative).
        Default 0.05.
    cloud_ratio : float
        A block of X / A more than this above the window's value (relative) is taken for a
        cloud: the molecular-above test stops below it.  Default 0.5.
    ceiling : array_like, optional
        Range (m) where the molecular-above test stops, for every profile or one per
        profile (a cloud base; NaN or inf: none).

    Returns
    -------
    ReferenceSearch
        The chosen interval per profile, the test values and flags of every window and the
        reasons where none passed.
    """
    layout = Layout(signal, range, gaps=True)
    if layout.profiles == 0:
        raise ValueError(f"signal holds no profile (shape {np.shape(signal)})")
    mol = layout.molecular(molecular, ("alpha_m", "beta_m"))
    r = layout.range
    bounds = require_finite(array(search, "search"), "search")
    if bounds.shape != (2,):
        raise ValueError(f"search must be (lower, upper) ranges in m, got {search!r}")
    low, high = (float(v) for v in bounds)
    if not low < high:
        raise ValueError(f"search must run from a lower to a higher range, got {search}")
    for name, value in (("width", width), ("min_snr", min_snr), ("n_sigma", n_sigma),
                        ("slope_tolerance", slope_tolerance),
                        ("ratio_tolerance", ratio_tolerance),
                        ("model_tolerance", model_tolerance),
                        ("flat_tolerance", flat_tolerance), ("cloud_ratio", cloud_ratio)):
        if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
            raise TypeError(f"{name} must be a non-negative number, got {value!r}")
        if not (abs(value) < 1e300 and np.isfinite(float(value)) and value >= 0):
            raise ValueError(f"{name} must be a non-negative number, got {value!r}")
    rows = layout.signal.reshape(layout.profiles, layout.gates)
    a = _attenuated_molecular(r, mol["beta_m"], mol["alpha_m"])
    a = a if a.ndim == 1 else a.reshape(-1, layout.gates)
    sd = None
    if noise is not None:
        sd = layout.per_gate(noise, "noise", positive=True, allow_zero=True)
    stop_at: FloatArray = np.full(layout.profiles, np.inf)
    if ceiling is not None:
        values: FloatArray = array(ceiling, "ceiling").astype(float)
        try:
            values = np.broadcast_to(values, layout.lead).reshape(layout.profiles)
        except ValueError:
            raise ValueError(f"ceiling of shape {values.shape} does not fit the profiles "
                             f"{layout.lead}") from None
        stop_at = np.where(np.isnan(values), np.inf, values)
    found_ = _search(rows, r, mol["beta_m"], mol["alpha_m"], sd, stop_at, low, high, width,
                     step, min_snr, n_sigma, slope_tolerance, ratio_tolerance, model_tolerance,
                     flat_tolerance, cloud_ratio)
    relative, relative_error, chi, snr = (found_["relative"], found_["relative_error"],
                                          found_["chi"], found_["snr"])
    ratio, passes, every, chosen = found_["ratio"], found_["passes"], found_["every"], \
        found_["chosen"]
    start, stop, interval, reason = found_["start"], found_["stop"], found_["interval"], \
        found_["reason"]
    n, spacing = found_["n"], found_["spacing"]

    lead_dims = layout.dims[:-1]
    lead = layout.lead

    def per_window(values: ArrayLike) -> tuple[tuple[str, ...], AnyArray]:
        return (lead_dims + ("window",), np.asarray(values).reshape(lead + (-1,)))

    dataset = xr.Dataset(
        {"relative_slope_difference": per_window(relative),
         "slope_error": per_window(relative_error),
         "reduced_chi_square": per_window(chi),
         "snr": per_window(snr),
         "backscatter_ratio": per_window(ratio),
         **{f"passes_{t}": per_window(passes[t]) for t in _TESTS},
         "passes": per_window(every),
         "chosen": (lead_dims, chosen.reshape(lead))},
        coords={"start": ("window", start, {"units": "m"}),
                "stop": ("window", stop, {"units": "m"}),
                **{k: v for k, v in layout.coords.items() if k != "range"}},
        attrs={"search": [low, high], "width": n * spacing, "gates": n,
               "min_snr": min_snr, "n_sigma": n_sigma, "slope_tolerance": slope_tolerance,
               "ratio_tolerance": ratio_tolerance, "model_tolerance": model_tolerance,
               "flat_tolerance": flat_tolerance, "cloud_ratio": cloud_ratio,
               "noise": "given" if noise is not None else "estimated"})
    found: bool | BoolArray = (chosen >= 0).reshape(lead)
    reasons: str | AnyArray = reason.reshape(lead)
    if not lead:  # one profile: plain values
        found, reasons = bool(found), str(reason.item())
    return ReferenceSearch(interval.reshape(lead + (2,)), found, reasons, dataset)


def _find_reference_rows(rows: FloatArray, r: FloatArray, beta_m: FloatArray,
                         alpha_m: FloatArray, first: IntArray, search: FloatArray,
                         width: float, noise: FloatArray, ceiling: FloatArray
                         ) -> tuple[FloatArray, BoolArray, AnyArray]:
    """The search of every profile of a block in one call, each on its own gates: profile
    p of `rows` (profiles, gates) from gate first[p] on, over search[p] = (low, high), with
    `noise` rows and ceiling[p] (NaN: none), the other settings at their defaults; the same
    result as ``find_reference(rows[p, first[p]:], r[first[p]:], ...)`` for each profile.
    The molecular arrays are per gate of `r`.  Returns (interval (profiles, 2), found
    (profiles,), reason (profiles,) of str).

    Profiles sharing a first gate and search range are searched together (one set of
    windows); a block's profiles usually all do."""
    profiles = rows.shape[0]
    interval = np.full((profiles, 2), np.nan)
    found = np.zeros(profiles, dtype=bool)
    reason = np.full(profiles, "", dtype=object)
    keys = np.column_stack([np.asarray(first, dtype=float), search])
    groups: dict[tuple[float, ...], list[int]] = {}
    for p, key in enumerate(map(tuple, keys)):
        groups.setdefault(key, []).append(p)
    for (start, low, high), members in groups.items():
        f = int(start)
        idx = np.asarray(members)
        stop_at = np.where(np.isnan(ceiling[idx]), np.inf, ceiling[idx])
        result = _search(np.ascontiguousarray(rows[idx, f:]), r[f:], beta_m[f:], alpha_m[f:],
                         np.ascontiguousarray(noise[idx, f:]), stop_at, float(low), float(high),
                         width, step=None, min_snr=10.0, n_sigma=2.0, slope_tolerance=0.02,
                         ratio_tolerance=0.1, model_tolerance=1e-3, flat_tolerance=0.05,
                         cloud_ratio=0.5)
        interval[idx] = result["interval"]
        found[idx] = result["chosen"] >= 0
        reason[idx] = result["reason"]
    return interval, found, reason
