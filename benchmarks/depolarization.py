"""Volume and particle depolarisation ratios with Monte Carlo uncertainties: the compiled core
against the same computation in vectorised NumPy, timed side by side in one process.

    python benchmarks/depolarization.py            # 1,440 x 4,000 gates, 100 realisations
    python benchmarks/depolarization.py --quick    # a smaller set, a few seconds

Each realisation redraws Gaussian noise on both signals (a normal deviate per gate and
channel), eta and delta_m (one draw each) and the backscatter ratio (a deviate per gate),
then computes delta_v and delta_p; the result is the standard deviation over the
realisations at each gate.  NumPy does this one realisation at a time over the whole set
(each realisation's arrays as large as the set), summing the deviations from the first
realisation and their squares as the core does.  Both compute the same statistics from
different random streams: the two standard deviations agree to the Monte Carlo's own
scatter (a few per cent at 100 realisations), which is checked.
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

from Aerolume import _core  # noqa: E402

GHK = (1.0, 1.0, 1.0, -1.0)  # ideal parallel/cross receiver
ETA, ETA_SD = 0.8, 0.004
DELTA_M, DELTA_M_SD = 0.0144, 0.0005


def scene(profiles: int, gates: int):
    """Signals of a dust-like layer over clean air, their noise and a backscatter ratio."""
    r = np.arange(1, gates + 1) * 3.75
    ratio = 1.0 + 4.0 * np.exp(-((r - 3000.0) / 800.0) ** 2)
    dv = (0.25 * (ratio - 1) + DELTA_M) / ratio
    co = 1e3 * np.exp(-r / 4000.0) / (1 + dv)
    cross = ETA * co * dv
    time_factor = 1.0 + 0.1 * np.sin(np.arange(profiles) / 50.0)[:, None]
    co = np.ascontiguousarray(time_factor * co)
    cross = np.ascontiguousarray(time_factor * cross)
    return (cross, co, np.ascontiguousarray(0.01 * co + 0.5), np.ascontiguousarray(0.01 * cross + 0.5),
            np.ascontiguousarray(np.broadcast_to(ratio, co.shape)), 0.05 * ratio)


def numpy_monte_carlo(cross, co, cross_sd, co_sd, ratio, ratio_sd, realisations, seed):
    """The standard deviations of delta_v and delta_p, vectorised over the gates."""
    rng = np.random.default_rng(seed)
    gco, hco, gx, hx = GHK
    sums = [np.zeros(co.shape) for _ in range(4)]  # deviations and squares, dv and dp
    shift = None
    for _ in range(realisations):
        eta = ETA + ETA_SD * rng.standard_normal()
        dm = DELTA_M + DELTA_M_SD * rng.standard_normal()
        x = (cross + cross_sd * rng.standard_normal(co.shape)) / \
            (co + co_sd * rng.standard_normal(co.shape)) / eta
        dv = (x * (gco + hco) - (gx + hx)) / ((gx - hx) - x * (gco - hco))
        rr = ratio + ratio_sd * rng.standard_normal(co.shape)
        dp = ((1 + dm) * dv * rr - (1 + dv) * dm) / ((1 + dm) * rr - (1 + dv))
        if shift is None:
            shift = (dv, dp)
            continue
        for k, (value, v0) in enumerate(zip((dv, dp), shift)):
            d = value - v0
            sums[2 * k] += d
            sums[2 * k + 1] += d * d
    n = realisations
    return [np.sqrt(np.maximum(sums[2 * k + 1] - sums[2 * k] ** 2 / n, 0) / (n - 1))
            for k in range(2)]


def core_monte_carlo(cross, co, cross_sd, co_sd, ratio, ratio_sd, realisations, seed,
                     threads):
    return _core.depolarization_monte_carlo(
        cross, co, np.array([ETA]), GHK, np.array([DELTA_M]).repeat(co.shape[-1]), ratio,
        cross_noise=_core.NoiseModel(kind=_core.NoiseKind.gaussian, sigma=cross_sd),
        co_noise=_core.NoiseModel(kind=_core.NoiseKind.gaussian, sigma=co_sd),
        realisations=realisations, seed=seed, eta_sd=np.array([ETA_SD]),
        molecular_sd=DELTA_M_SD, backscatter_ratio_sd=np.ascontiguousarray(ratio_sd),
        threads=threads)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smaller set")
    parser.add_argument("--repeats", type=int, default=1)
    args = parser.parse_args()
    profiles, gates, realisations = (144, 1000, 100) if args.quick else (1440, 4000, 100)
    data = scene(profiles, gates)
    threads = _core.hardware_threads()
    functions = {
        "numpy": lambda: numpy_monte_carlo(*data, realisations, 1),
        "core, 1 thread": lambda: core_monte_carlo(*data, realisations, 1, 1),
        f"core, {threads} threads": lambda: core_monte_carlo(*data, realisations, 1, 0),
    }
    results: dict = {}
    times = median_times(functions, args.repeats, results)
    one = results["core, 1 thread"]
    every = results[f"core, {threads} threads"]
    assert all(np.array_equal(a, b, equal_nan=True) for a, b in zip(one, every)), \
        "the core's results depend on the thread count"
    for name, a, b in zip(("delta_v", "delta_p"), one, results["numpy"]):
        ratio = np.median(a / b)
        assert abs(ratio - 1) < 0.05, f"{name}: core / NumPy standard deviations {ratio}"
    print(f"delta_v and delta_p, {realisations} realisations over {profiles} x {gates} gates")
    for name, t in times.items():
        print(f"  {name:<18} {t:8.2f} s   NumPy / this: {times['numpy'] / t:6.1f}x")


if __name__ == "__main__":
    main()
