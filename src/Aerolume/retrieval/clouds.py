"""Cloud layers and the boundary-layer height, per profile, from the elastic signal.

Both work on the range-corrected signal X = P r^2 with the Haar wavelet covariance
transform of Brooks (2003, J. Atmos. Oceanic Technol. 20, 1092),

    W(b) = (1 / a) ∫ X(z) h((z - b) / a) dz,   h = +1 on [b - a/2, b], -1 on (b, b + a/2],

for a dilation a: W is large and positive where X falls steeply with range (the top of the
boundary layer or of a cloud) and large and negative where it rises (a cloud's base).  On
the gates it is the difference of the mean of the a / (2 dr) gates below a step and of
those above it, over two; the core takes every window's sum from running sums, so each
gate costs the same whatever the dilation, and runs every profile of a time-height set in
one call.  The gates are weighted alike: the range grid is taken as uniform (its median
spacing sets the gate counts).

Conventions are those of :mod:`Aerolume.retrieval`: ``signal`` is the
background-subtracted signal P(r), not range corrected, of shape (..., range); ``range``
(m) is one profile; a :class:`xarray.DataArray` lends its dimensions and coordinates.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, SupportsIndex

import numpy as np
import xarray as xr
from numpy.typing import ArrayLike

from Aerolume import _core
from Aerolume._checks import thread_count
from Aerolume._shapes import Layout, Molecular, array
from Aerolume._typing import FloatArray, IntArray
from Aerolume.retrieval.reference import _attenuated_molecular

__all__ = ["detect_clouds", "boundary_layer_height"]


#: Bits of ``boundary_layer_height_flag`` (CF flag_masks / flag_meanings).
BLH_FLAGS = {"maximum_at_search_edge": 1, "below_noise": 2, "no_valid_gates": 4}
#: Bits of ``cloud_detection_flag``.
CLOUD_FLAGS = {"no_clear_air_level": 1, "below_noise_at_search_top": 2}


def _number(value: ArrayLike, name: str, *, positive: bool = False,
            at_least: float | None = None) -> float:
    if isinstance(value, bool) or not (np.ndim(value) == 0 and np.isreal(value)):
        raise ValueError(f"{name} must be a number, got {value!r}")
    v = float(np.asarray(value).reshape(()))
    if not np.isfinite(v) or (positive and not v > 0) or (at_least is not None and v < at_least):
        need = ("a positive number" if positive else "a finite number" if at_least is None
                else f"a finite number of at least {at_least:g}")
        raise ValueError(f"{name} must be {need}, got {value!r}")
    return v


def _count(value: SupportsIndex, name: str) -> int:
    import operator
    try:
        n = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be a positive integer, not {type(value).__name__}") from None
    if n < 1:
        raise ValueError(f"{name} must be a positive integer, got {n}")
    return n


def _search(layout: Layout, search: tuple[float | None, float | None], name: str = "search"
            ) -> tuple[int, int, float, float]:
    """Gates [begin, end) of a search range (r_min, r_max) in m (None: the profile's ends)."""
    r = layout.range
    try:
        low, high = search
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a (r_min, r_max) pair in m, got {search!r}") from None
    low = r[0] if low is None else _number(low, f"{name}[0]")
    high = r[-1] if high is None else _number(high, f"{name}[1]")
    if not low < high:
        raise ValueError(f"{name} must run from a lower to a higher range, got ({low:g}, {high:g})")
    begin = int(np.searchsorted(r, low, side="left"))
    end = int(np.searchsorted(r, high, side="right"))
    if end - begin < 2:
        raise ValueError(f"{name} ({low:g}, {high:g}) m holds fewer than 2 gates of the range "
                         f"{r[0]:g} to {r[-1]:g} m")
    return begin, end, float(low), float(high)


def _spacing(layout: Layout) -> float:
    return float(np.median(np.diff(layout.range)))


def _gates(length: float, spacing: float, name: str, *, minimum: int) -> int:
    """Gates in `length` m (rounded, at least `minimum`)."""
    return max(minimum, int(round(_number(length, name, at_least=0.0) / spacing)))


def _noise(layout: Layout, noise: ArrayLike | None) -> FloatArray | None:
    if noise is None:
        return None
    if isinstance(noise, xr.DataArray):
        noise = noise.values
    return layout.per_gate(noise, "noise", positive=True, allow_zero=True, finite=False)


def _baseline(layout: Layout, molecular: Molecular | None) -> tuple[FloatArray, str]:
    """r^2 over the clear-air baseline, per gate: what turns P into a profile that is flat in
    clear air."""
    r = layout.range
    if molecular is not None:
        mol = layout.molecular(molecular, ("alpha_m", "beta_m"))
        baseline = _attenuated_molecular(r, mol["beta_m"], mol["alpha_m"])
        kind = "attenuated molecular backscatter"
    else:
        from Aerolume.atmosphere import standard_atmosphere
        baseline = np.asarray(standard_atmosphere(np.clip(r, 0.0, 86000.0)).number_density)
        kind = "number density of the US standard atmosphere (range as altitude)"
    return np.ascontiguousarray(r ** 2 / baseline), kind


def _flag_attrs(flags: Mapping[str, int], long_name: str) -> dict[str, Any]:
    return {"long_name": long_name, "flag_masks": np.array(list(flags.values()), dtype=np.int8),
            "flag_meanings": " ".join(flags), "units": "1"}


def detect_clouds(signal: ArrayLike, range: ArrayLike, *, noise: ArrayLike | None = None,
                  molecular: Molecular | None = None,
                  search: tuple[float | None, float | None] = (300.0, None),
                  min_ratio: float = 1.5, min_contrast: float = 1.5, n_sigma: float = 3.0,
                  min_thickness: float = 60.0, smoothing: float = 90.0, edge: float = 120.0,
                  max_layers: int = 3, noise_window: float = 500.0,
                  threads: int | None = None) -> xr.Dataset:
    """Cloud layers per profile: base, top and a cloud mask.

    A threshold on the ratio of the range-corrected signal to its clear-air level, after
    Zhao et al. (2014, J. Geophys. Res. Atmos. 119, 6788), finds the layers; the Haar
    wavelet covariance transform (Brooks 2003) places their bases.  The threshold alone
    would put a base where the layer happens to cross it (too high, and dependent on the
    noise); the transform alone finds every step of the profile, aerosol and noise too.
    Together: every layer strong enough above clear air, its base at the steepest rise of
    the signal, its top where the signal has returned to the level below the base.

    Per profile, with y = X / B (X = P r^2, B the clear-air baseline: the attenuated
    molecular backscatter when `molecular` is given, else the standard atmosphere's number
    density), so that y is flat in clear air:

    1. y is smoothed by a running mean over `smoothing` m;
    2. its clear-air level c is the median of the smoothed y over the search range (clouds
       and the boundary layer hold a minority of a deep search range); y / c is then a
       backscatter-ratio-like quantity, 1 in clear air;
    3. layer candidates are the runs of gates where the smoothed y / c is at least
       `min_ratio` and y exceeds c by `n_sigma` standard deviations of the smoothed y;
    4. a layer's base is the step of the most negative transform (dilation `edge`) within
       a dilation of the run's first gate; its top is the last gate above the run's peak
       before the smoothed y falls back to the mean of the gates just below the base
       (within `n_sigma` of the noise of both): the apparent top where a cloud extinguishes
       the beam (the steepest fall of an opaque cloud is just above its base, where its
       attenuation is strongest, so the transform would put the top there);
    5. a layer is kept if its base is significant (-W above `n_sigma` standard deviations
       of W), sharp (the smoothed y at the peak at least `min_contrast` times the mean of the
       gates just below the base: clouds rise far more, and more steeply, than aerosol does)
       and at least `min_thickness` thick.  A run whose start is not such a base is searched
       again a dilation higher (below an attenuating cloud the median level is that of the
       darker column above it, and the whole column below can pass the ratio).  The scan
       goes on above each kept layer.

    The boundary-layer aerosol is not a cloud: its ratio to clear air is a few tenths above
    one at 355 nm, it has no sharp rising edge, and below full overlap it is darkened.
    Start `search` above the full-overlap height where the overlap is not corrected.

    Parameters
    ----------
    signal : array_like, shape (..., range)
        Background-subtracted signal P(r), not range corrected (any unit); NaN gates are
        gaps (no layer edge is placed across one).
    range : array_like, shape (range,)
        Range of each gate, m.
    noise : array_like, optional
        Standard deviation of the signal per gate (broadcastable to it, such as the
        ``signal_noise`` of :func:`Aerolume.preprocess.correct`).  By default estimated from
        the signal's second differences over `noise_window`.
    molecular : mapping, optional
        ``alpha_m`` (m^-1) and ``beta_m`` (m^-1 sr^-1) as for :func:`find_reference`, for
        the clear-air baseline.
    search : (float or None, float or None)
        Ranges searched, m; None for the profile's first or last gate.  Default from 300 m
        to the last gate.
    min_ratio : float
        Smallest ratio of the smoothed y to clear air at a layer's gates.  Default 1.5.
    min_contrast : float
        Smallest ratio of a layer's peak to the signal just below its base.  Default 1.5.
    n_sigma : float
        Significance, in standard deviations, of the layer's gates and base.  Default 3.
    min_thickness : float
        Thinnest layer kept, m (top minus base).  Default 60 m.
    smoothing : float
        Width of the running mean, m (an odd number of gates; 0 for none).  Default 90 m.
    edge : float
        Dilation of the transform that places the edges, m (at least 2 gates).  Default 120 m.
    max_layers : int
        Layers reported per profile (the lowest).  Default 3.
    noise_window : float
        Window of the noise estimate, m, when `noise` is not given.  Default 500 m.
    threads : int, optional
        Number of threads; None uses every core.  The results do not depend on it.

    Returns
    -------
    xarray.Dataset
        ``cloud_mask`` (int8, 1 inside a layer, on the signal's dimensions);
        ``cloud_base``, ``cloud_top`` (m) and ``cloud_peak_ratio`` (the peak's y / c) on
        (..., ``layer``), NaN where there is no layer; ``cloud_layers`` (the number of
        layers found, which may exceed `max_layers`); ``clear_air_level`` (c, units of
        P r^2 / B); and ``cloud_detection_flag`` (bits: 1 no clear-air level, the profile
        holds no signal; 2 the smoothed signal's noise at the search range's top exceeds
        what a layer of `min_ratio` needs, so thin layers there may be missed).
    """
    layout = Layout(signal, range, gaps=True)
    sd = _noise(layout, noise)
    scale, baseline = _baseline(layout, molecular)
    begin, end, low, high = _search(layout, search)
    spacing = _spacing(layout)
    min_ratio_ = _number(min_ratio, "min_ratio", positive=True)
    min_contrast_ = _number(min_contrast, "min_contrast", positive=True)
    n_sigma_ = _number(n_sigma, "n_sigma", at_least=0.0)
    min_thickness_ = _number(min_thickness, "min_thickness", at_least=0.0)
    smooth = _gates(smoothing, spacing, "smoothing", minimum=1) // 2
    half = _gates(edge, spacing, "edge", minimum=2) // 2
    noise_half = _gates(noise_window, spacing, "noise_window", minimum=3) // 2
    layers_max = _count(max_layers, "max_layers")
    threads_ = thread_count(threads)
    mask, base, top, peak, count, clear = _core.detect_clouds(
        layout.signal, sd, scale, layout.range, begin=begin, end=end, smooth=smooth, half=half,
        noise_half=noise_half, min_ratio=min_ratio_, min_contrast=min_contrast_,
        n_sigma=n_sigma_, min_thickness=min_thickness_, max_layers=layers_max, threads=threads_)

    flag = np.where(np.isfinite(clear) & (clear > 0), 0, CLOUD_FLAGS["no_clear_air_level"])
    flag = flag.astype(np.int8).reshape(layout.lead)
    # The noise of the smoothed y at the search range's top, against what a layer needs.
    top_noise = _top_noise(layout, sd, scale, end, smooth)
    if top_noise is not None:
        weak = n_sigma_ * top_noise > (min_ratio_ - 1.0) * np.abs(clear).reshape(-1)
        flag |= np.where(weak.reshape(layout.lead), CLOUD_FLAGS["below_noise_at_search_top"],
                         0).astype(np.int8)

    lead_dims = layout.dims[:-1]
    ds = layout.dataset({"cloud_mask": (mask.astype(np.int8), {"long_name": "inside a cloud layer",
                                               "units": "1", "flag_values": np.int8(1),
                                               "flag_meanings": "cloud"})}, {})
    layer_dims = lead_dims + ("layer",)
    layer_shape = layout.lead + (layers_max,)
    ds["cloud_base"] = (layer_dims, base.reshape(layer_shape),
                        {"units": "m", "long_name": "range of the cloud layer's base"})
    ds["cloud_top"] = (layer_dims, top.reshape(layer_shape),
                       {"units": "m", "long_name": "range of the cloud layer's (apparent) top"})
    ds["cloud_peak_ratio"] = (layer_dims, peak.reshape(layer_shape),
                              {"units": "1", "long_name": "cloud layer's peak signal over "
                               "the clear-air level"})
    ds["cloud_layers"] = (lead_dims, count.reshape(layout.lead).astype(np.int32),
                          {"units": "1", "long_name": "number of cloud layers found"})
    ds["clear_air_level"] = (lead_dims, clear.reshape(layout.lead),
                             {"long_name": "clear-air level of the range-corrected signal "
                              "over the baseline"})
    ds["cloud_detection_flag"] = (lead_dims, flag,
                                  _flag_attrs(CLOUD_FLAGS, "quality of the cloud detection"))
    ds = ds.assign_coords({"layer": ("layer", np.arange(layers_max, dtype=np.int32))})
    ds.attrs = {"method": "threshold on the range-corrected signal over a clear-air baseline "
                "(after Zhao et al. 2014), edges by the Haar wavelet covariance transform "
                "(Brooks 2003)",
                "baseline": baseline, "search": [low, high], "min_ratio": min_ratio_,
                "min_contrast": min_contrast_, "n_sigma": n_sigma_,
                "min_thickness": min_thickness_, "smoothing": (2 * smooth + 1) * spacing,
                "edge_dilation": 2 * half * spacing,
                "noise": "given" if noise is not None else "estimated"}
    return ds


def _top_noise(layout: Layout, sd: FloatArray | None, scale: FloatArray, end: int, smooth: int
               ) -> FloatArray | None:
    """Standard deviation of the smoothed y at the search range's top gate (given noise)."""
    if sd is None:
        return None
    a, b = max(0, end - 1 - smooth), min(layout.gates, end + smooth)
    rows = sd.reshape(-1, layout.gates) if sd.ndim > 1 else sd[None, :]
    g = scale if scale.ndim == 1 else scale.reshape(-1, layout.gates)
    s = rows * g
    with np.errstate(invalid="ignore"):
        out = np.sqrt(np.sum(s[..., a:b] ** 2, axis=-1)) / (b - a)
    return np.broadcast_to(out, (layout.profiles,))


def boundary_layer_height(signal: ArrayLike, range: ArrayLike, *, dilation: float = 300.0,
                          search: tuple[float | None, float | None] = (300.0, 4000.0),
                          noise: ArrayLike | None = None, molecular: Molecular | None = None,
                          n_sigma: float = 3.0, below: ArrayLike | None = None,
                          noise_window: float = 500.0,
                          threads: int | None = None) -> xr.Dataset:
    """The boundary-layer height per profile by the Haar wavelet covariance transform of the
    range-corrected signal (Brooks 2003).

    The height is the step of the largest transform W (the steepest fall of X = P r^2 over
    the dilation) in the search range: the middle between the two gates of that step.  It is
    NaN where the largest W is on the first or last step searched (the top is below or
    above the search range, or the signal falls throughout), or W there is not above
    `n_sigma` of its standard deviation (the aerosol contrast is lost in the noise).

    X falls with range in clear air too (the molecular density and the attenuation), so
    W is positive everywhere and its largest value marks the boundary layer only where the
    aerosol step is steeper than the molecular fall.  With `molecular`, the transform is of
    X over the attenuated molecular backscatter, which is flat in clear air: clean air then
    gives no significant step and no height, instead of one where the fall of the molecular
    signal happens to be steepest.  Give it where it is known.

    Parameters
    ----------
    signal : array_like, shape (..., range)
        Background-subtracted signal P(r), not range corrected; NaN gates are gaps.
    range : array_like, shape (range,)
        Range of each gate, m.
    dilation : float
        Dilation a of the wavelet, m (rounded to an even number of gates, at least 2).
        Default 300 m.
    search : (float or None, float or None)
        Ranges where the height may be, m (None: the profile's end).  Default 300 to 4,000 m.
    noise : array_like, optional
        Standard deviation of the signal per gate; estimated from the signal's second
        differences over `noise_window` by default.
    molecular : mapping, optional
        ``alpha_m`` (m^-1) and ``beta_m`` (m^-1 sr^-1): the transform is then of X over the
        attenuated molecular backscatter.
    n_sigma : float
        Significance of the maximum, in standard deviations of W.  Default 3.
    below : array_like, optional
        Per profile (or one for all), a range the search stays a dilation below, m, such as
        the lowest cloud base of :func:`detect_clouds` (NaN: no limit): a cloud's top and
        base are steeper than the boundary layer's.
    noise_window : float
        Window of the noise estimate, m.  Default 500 m.
    threads : int, optional
        Number of threads; None uses every core.

    Returns
    -------
    xarray.Dataset
        ``boundary_layer_height`` (m, per profile; NaN where not found),
        ``wavelet_covariance_max`` (W at the largest step, units of P r^2, or of P r^2 over
        the attenuated molecular backscatter; NaN where nothing could be searched) and ``boundary_layer_height_flag`` (bits: 1 the maximum is on the search
        range's edge, 2 below the noise, 4 no valid gates).
    """
    layout = Layout(signal, range, gaps=True)
    sd = _noise(layout, noise)
    if molecular is None:
        scale, baseline = np.ascontiguousarray(layout.range ** 2), "none"
    else:
        scale, baseline = _baseline(layout, molecular)
    begin, end, low, high = _search(layout, search)
    spacing = _spacing(layout)
    half = _gates(dilation, spacing, "dilation", minimum=2) // 2
    noise_half = _gates(noise_window, spacing, "noise_window", minimum=3) // 2
    n_sigma_ = _number(n_sigma, "n_sigma", at_least=0.0)
    limit: IntArray | None = None
    if below is not None:
        values = array(below, "below")
        if np.isinf(values).any():
            raise ValueError("below must be finite or NaN (no limit)")
        if values.size != 1:
            try:
                values = np.broadcast_to(values, layout.lead).reshape(layout.profiles)
            except ValueError:
                raise ValueError(f"below of shape {values.shape} does not fit the profiles "
                                 f"{layout.lead}") from None
        values = values.reshape(-1)
        # The first step not searched: half a dilation below the limit.
        steps = np.searchsorted(layout.range, np.nan_to_num(values, nan=np.inf), side="left") - half
        limit = np.ascontiguousarray(np.where(np.isnan(values), -1, np.maximum(steps, 0)),
                                     dtype=np.int64)
        if limit.size == 1 and layout.profiles != 1:
            limit = np.ascontiguousarray(np.broadcast_to(limit, (layout.profiles,)))
    threads_ = thread_count(threads)
    height, wavelet, flag = _core.boundary_layer_height(
        layout.signal, sd, scale, layout.range, begin=begin, end=end, half=half,
        noise_half=noise_half, n_sigma=n_sigma_, limit=limit, threads=threads_)
    lead_dims = layout.dims[:-1]
    coords = {k: v for k, v in layout.coords.items() if k != "range"}
    data = {
        "boundary_layer_height": (lead_dims, height.reshape(layout.lead),
                                  {"units": "m", "long_name": "boundary-layer height (range)"}),
        "wavelet_covariance_max": (lead_dims, wavelet.reshape(layout.lead),
                                   {"long_name": "Haar wavelet covariance transform of P r^2 "
                                    "at the boundary-layer height"}),
        "boundary_layer_height_flag": (lead_dims, flag.astype(np.int8).reshape(layout.lead),
                                       _flag_attrs(BLH_FLAGS, "quality of the boundary-layer "
                                                   "height")),
    }
    attrs = {"method": "Haar wavelet covariance transform (Brooks 2003)",
             "dilation": 2 * half * spacing, "search": [low, high], "n_sigma": n_sigma_,
             "baseline": baseline,
             "noise": "given" if noise is not None else "estimated"}
    return xr.Dataset(data, coords=coords, attrs=attrs)

