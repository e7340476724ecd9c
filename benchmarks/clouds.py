"""Cloud detection and the boundary-layer height: the compiled core against the same
algorithm in vectorised NumPy, timed side by side in one process.

    python benchmarks/clouds.py            # 1,440 x 4,000 gates
    python benchmarks/clouds.py --quick    # 144 x 4,000 gates

The scene: a night of 1,440 profiles of 4,000 gates of 5 m (to 20 km), a boundary layer
whose top moves between 1.2 and 1.8 km and a cloud whose base moves between 7.5 and 8.5 km,
Poisson noise.  Both implementations get the same arguments (the Python layer's checks and
baseline are done once, outside the timing) and must give the same layers and heights.
NumPy computes the running sums, the smoothing, the clear-air median, the candidates and
the transform at every gate of every profile at once; the decisions on each candidate run
(its base, contrast, top) are taken run by run, as a NumPy user would.
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
# The source tree's package must not shadow the installed one.
sys.path[:] = [p for p in sys.path if Path(p or os.getcwd()).resolve() != HERE.parent]
sys.path.insert(0, str(HERE))

from _timing import median_times  # noqa: E402

from Aerolume import _core, simulate  # noqa: E402
from Aerolume.atmosphere import molecular_profile  # noqa: E402
from Aerolume.retrieval import boundary_layer_height, detect_clouds  # noqa: E402
from Aerolume.retrieval.reference import _attenuated_molecular  # noqa: E402

WAVELENGTH = 354.7e-9


def scene(profiles: int, gates: int = 4000, spacing: float = 5.0):
    r = np.arange(1, gates + 1) * spacing
    mol = molecular_profile(r, WAVELENGTH)
    phase = np.linspace(0.0, 2.0 * np.pi, profiles)[:, None]
    bl_top = 1500.0 + 300.0 * np.sin(phase)
    base = 8000.0 + 500.0 * np.cos(phase)
    beta = (4e-6 / (1.0 + np.exp((r - bl_top) / 30.0))
            + np.where((r >= base) & (r < base + 600.0), 5e-5, 0.0))
    sim = simulate.elastic(r, WAVELENGTH, beta, mol, lidar_ratio=np.where(r > 5000, 20.0, 50.0),
                           constant=3e13, noise="poisson", shots=6000, background=50.0, seed=1)
    return r, mol, sim["signal"].values, sim["signal_noise"].values


# ---- The same algorithms in NumPy ------------------------------------------------------

def _running(y, v):
    """Running sums (profiles, gates + 1) of y and v with gaps as 0, and of the gaps."""
    gaps = ~(np.isfinite(y) & np.isfinite(v))
    shape = (y.shape[0], y.shape[1] + 1)
    sy, sv, sg = np.zeros(shape), np.zeros(shape), np.zeros(shape, dtype=np.int64)
    np.cumsum(np.where(gaps, 0.0, y), axis=1, out=sy[:, 1:])
    np.cumsum(np.where(gaps, 0.0, v), axis=1, out=sv[:, 1:])
    np.cumsum(gaps, axis=1, out=sg[:, 1:])
    return sy, sv, sg


def _wavelet(sy, sv, sg, h):
    """W and its standard deviation at every step b (NaN where not defined)."""
    n = sy.shape[1] - 1
    w = np.full((sy.shape[0], n + 1), np.nan)
    sd = np.full_like(w, np.nan)
    b = np.arange(h, n - h + 1)
    ok = sg[:, b + h] == sg[:, b - h]
    scale = 1.0 / (2.0 * h)
    w[:, b] = np.where(ok, ((sy[:, b] - sy[:, b - h]) - (sy[:, b + h] - sy[:, b])) * scale,
                       np.nan)
    sd[:, b] = np.where(ok, np.sqrt(sv[:, b + h] - sv[:, b - h]) * scale, np.nan)
    return w, sd


def clouds_numpy(signal, noise, scale, r, begin, end, smooth, half, min_ratio,
                 min_contrast, n_sigma, min_thickness, max_layers):
    y = signal * scale
    v = (noise * scale) ** 2
    profiles, n = y.shape
    h = half
    sy, sv, sg = _running(y, v)
    i = np.arange(n)
    a, b = np.maximum(i - smooth, 0), np.minimum(i + smooth + 1, n)
    m = (b - a).astype(np.float64)
    valid = sg[:, b] == sg[:, a]
    ys = np.where(valid, (sy[:, b] - sy[:, a]) / m, np.nan)
    sd = np.where(valid, np.sqrt(sv[:, b] - sv[:, a]) / m, np.nan)
    c = np.nanmedian(ys[:, begin:end], axis=1)
    w, w_sd = _wavelet(sy, sv, sg, h)
    with np.errstate(invalid="ignore"):
        cand = (ys >= min_ratio * c[:, None]) & (ys - c[:, None] >= n_sigma * sd)
    cand[:, :begin] = False
    cand[:, end:] = False
    mask = np.zeros((profiles, n), dtype=np.uint8)
    base_out = np.full((profiles, max_layers), np.nan)
    top_out = np.full_like(base_out, np.nan)
    count = np.zeros(profiles)
    # Run starts and ends of every profile at once.
    edges = np.diff(np.concatenate([np.zeros((profiles, 1), bool), cand,
                                    np.zeros((profiles, 1), bool)], axis=1).astype(np.int8),
                    axis=1)
    starts_p, starts_g = np.nonzero(edges == 1)
    _, stops_g = np.nonzero(edges == -1)
    for p in np.flatnonzero(c > 0):
        runs = list(zip(starts_g[starts_p == p], stops_g[starts_p == p] - 1))
        free_from, kept = begin, 0
        k = 0
        while k < len(runs):
            first, last = runs[k]
            k += 1
            if first < free_from:
                continue
            peak = first + int(np.argmax(ys[p, first:last + 1]))

            def retry():
                if first + 2 * h < last:
                    runs.insert(k, (first + 2 * h + 1, last))
            low = max(first - 2 * h, h, free_from, begin)
            high = min(peak, first + 2 * h, n - h)
            window = w[p, low:high + 1]
            if high < low or np.isnan(window).all():
                retry()
                continue
            base = low + int(np.nanargmin(window))
            if not -w[p, base] > n_sigma * w_sd[p, base]:
                retry()
                continue
            below = (sy[p, base] - sy[p, base - h]) / h
            if not ys[p, peak] >= min_contrast * below:
                retry()
                continue
            below_var = (sv[p, base] - sv[p, base - h]) / (h * h)
            above = ys[p, peak + 1:end]
            with np.errstate(invalid="ignore"):
                falls = ~(above > below + n_sigma * np.sqrt(sd[p, peak + 1:end] ** 2 + below_var))
            top = peak + (int(np.argmax(falls)) if falls.any() else above.size)
            if not r[top] - r[base] >= min_thickness:
                retry()
                continue
            mask[p, base:top + 1] = 1
            if kept < max_layers:
                base_out[p, kept], top_out[p, kept] = r[base], r[top]
            kept += 1
            free_from = top + 1
            # the scan goes on above the run and the layer, as the core's does
            resume = max(last, top) + 1
            runs = runs[:k] + [(max(f, resume), e) for f, e in runs[k:] if e >= resume]
        count[p] = kept
    return mask, base_out, top_out, count


def blh_numpy(signal, noise, r, begin, end, half, n_sigma):
    y = signal * r ** 2
    v = (noise * r ** 2) ** 2
    sy, sv, sg = _running(y, v)
    n = y.shape[1]
    w, sd = _wavelet(sy, sv, sg, half)
    lo, hi = max(begin, half), min(end, n - half + 1)
    window = w[:, lo:hi]
    searched = np.isfinite(window)
    best = np.argmax(np.where(searched, window, -np.inf), axis=1)
    first = np.argmax(searched, axis=1)
    last = window.shape[1] - 1 - np.argmax(searched[:, ::-1], axis=1)
    rows = np.arange(len(best))
    w_best, sd_best = window[rows, best], sd[:, lo:hi][rows, best]
    ok = searched.any(axis=1) & (best != first) & (best != last) & (w_best > n_sigma * sd_best)
    b = best + lo
    height = np.where(ok, 0.5 * (r[b - 1] + r[b]), np.nan)
    return height, w_best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="144 profiles")
    parser.add_argument("--repeats", type=int, default=None)
    args = parser.parse_args()
    profiles = 144 if args.quick else 1440
    repeats = args.repeats or (3 if args.quick else 5)
    r, mol, signal, noise = scene(profiles)
    gates = r.size
    print(f"{profiles} x {gates} gates, {_core.hardware_threads()} cores, median of {repeats}")

    # The arguments as detect_clouds gives them to the core (defaults, molecular baseline).
    spacing = float(np.median(np.diff(r)))
    scale = np.ascontiguousarray(r ** 2 / _attenuated_molecular(r, mol["beta_m"].values,
                                                                mol["alpha_m"].values))
    begin, end = int(np.searchsorted(r, 300.0)), gates
    smooth, half = int(round(90.0 / spacing)) // 2, int(round(120.0 / spacing)) // 2
    settings = (1.5, 1.5, 3.0, 60.0, 3)

    def core_clouds(threads=0):
        min_ratio, min_contrast, n_sigma, min_thickness, max_layers = settings
        return _core.detect_clouds(signal, noise, scale, r, begin=begin, end=end, smooth=smooth,
                                   half=half, noise_half=50, min_ratio=min_ratio,
                                   min_contrast=min_contrast, n_sigma=n_sigma,
                                   min_thickness=min_thickness, max_layers=max_layers,
                                   threads=threads)

    def numpy_clouds():
        return clouds_numpy(signal, noise, scale, r, begin, end, smooth, half, *settings)

    out = detect_clouds(signal, r, noise=noise, molecular=mol)
    core = core_clouds()
    ref = numpy_clouds()
    same = (np.array_equal(core[0], ref[0]) and np.array_equal(core[1], ref[1], equal_nan=True)
            and np.array_equal(core[2], ref[2], equal_nan=True)
            and np.array_equal(out.cloud_base.values, core[1], equal_nan=True))
    identical = all(np.array_equal(x, y, equal_nan=True) for x, y in zip(core, core_clouds(1)))
    t = median_times({"core": core_clouds, "core, 1 thread": lambda: core_clouds(1),
                     "numpy": numpy_clouds, "python api": lambda: detect_clouds(
                         signal, r, noise=noise, molecular=mol)}, repeats)
    print(f"detect_clouds {profiles} x {gates}: core {t['core']:.3f} s (1 thread "
          f"{t['core, 1 thread']:.3f} s; the whole Python call {t['python api']:.3f} s), "
          f"NumPy {t['numpy']:.3f} s: {t['numpy'] / t['core']:.1f}x faster "
          f"({t['numpy'] / t['python api']:.1f}x for the whole call); same layers as NumPy: "
          f"{same}; bit-identical 1 thread / all: {identical}")

    b_begin, b_end = int(np.searchsorted(r, 300.0)), int(np.searchsorted(r, 4000.0, "right"))
    b_half = int(round(300.0 / spacing)) // 2

    def core_blh(threads=0):
        return _core.boundary_layer_height(signal, noise, r ** 2, r, begin=b_begin, end=b_end,
                                           half=b_half, noise_half=50, n_sigma=3.0,
                                           threads=threads)

    def numpy_blh():
        return blh_numpy(signal, noise, r, b_begin, b_end, b_half, 3.0)

    core = core_blh()
    ref = numpy_blh()
    same = np.array_equal(core[0], ref[0], equal_nan=True)
    identical = np.array_equal(core[0], core_blh(1)[0], equal_nan=True)
    t = median_times({"core": core_blh, "core, 1 thread": lambda: core_blh(1),
                     "numpy": numpy_blh, "python api": lambda: boundary_layer_height(
                         signal, r, noise=noise)}, repeats)
    print(f"boundary_layer_height {profiles} x {gates}: core {t['core']:.3f} s (1 thread "
          f"{t['core, 1 thread']:.3f} s; the whole Python call {t['python api']:.3f} s), "
          f"NumPy {t['numpy']:.3f} s: {t['numpy'] / t['core']:.1f}x faster "
          f"({t['numpy'] / t['python api']:.1f}x for the whole call); same heights as "
          f"NumPy: {same}; bit-identical 1 thread / all: {identical}")


if __name__ == "__main__":
    main()
