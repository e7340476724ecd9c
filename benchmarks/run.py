"""Times the native modules against the plain-Python baseline, interleaved in one
process, and prints one line per case with the medians and their ratios.

    python benchmarks/run.py            # full run
    python benchmarks/run.py --quick    # under a minute
"""
import argparse
import contextlib
import os

# Idle OpenBLAS worker threads spin on the cores that the timed code needs; the fits here
# are one-parameter problems that gain nothing from them.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import statistics
import sys
import time
from pathlib import Path

import warnings

import numpy as np
from scipy.integrate import quad
from scipy.optimize import curve_fit

HERE = Path(__file__).resolve().parent
# The baseline sits beside this file; the source tree's package must not shadow the
# installed one, so only this folder is added to the path.
sys.path[:] = [p for p in sys.path if Path(p or os.getcwd()).resolve() != HERE.parent]
sys.path.insert(0, str(HERE))

import baseline  # noqa: E402
from Aerolume import lumaclean, lumafit  # noqa: E402

WAVELENGTH = 5.32e-7


def vectorised_signal(distances, wavelength):
    """The theoretical Rayleigh signal as a NumPy user would write it by hand."""
    altitude = (distances + 50) / 1000
    H = altitude / (1 + altitude / 6356.766)
    sigma = ((5.5e-7 / wavelength) ** 4) * 5.45e-32
    with np.errstate(all="ignore"):
        rho = np.where(
            altitude <= 11.0191, 1.225 * (1 - H / 44.3308) ** 4.2559,
            np.where(altitude <= 20.0631, 1.225 * 0.15898 * np.exp((14.9647 - H) / 6.3416),
                     1.225 * 0.032722 * (1 + (H - 24.902) / 221.552) ** -35.1629))
    return sigma * (rho / 4.8096e-26)


def scipy_floor(lidar_signal, distances):
    """What SciPy alone costs in a fit: the same quad calls with a trivial integrand
    and the same curve_fit call with a trivial one-parameter model."""
    fit_range = (distances >= 8000) & (distances <= 10000)
    curve_fit(lambda d, C: C * d, distances[fit_range], lidar_signal[fit_range])
    for alt in (distances + 50) / 1000:
        quad(lambda Z: 1e-4, 0, alt)
        quad(lambda Z: 1e-4, 0, alt)


def profile(gates, top):
    distances = np.linspace(30.0, top, gates)
    C = 1.0e3
    lidar_signal = baseline.fit_func(distances, C, WAVELENGTH) / distances ** 2
    return lidar_signal, distances


def measure(cases, repeats):
    """Median seconds of each callable, the callables run in turn `repeats` times."""
    times = {name: [] for name in cases}
    for _ in range(repeats):
        for name, fn in cases.items():
            start = time.perf_counter()
            fn()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(t) for name, t in times.items()}


def report(title, medians, reference="native"):
    ref = medians[reference]
    parts = [f"{name} {medians[name] * 1e3:.3f} ms" for name in medians]
    ratios = [f"{name}/{reference} {medians[name] / ref:.2f}x" for name in medians
              if name != reference]
    print(f"{title}: " + ", ".join(parts) + "; " + ", ".join(ratios), flush=True)


def repeat_call(fn, arg, times):
    calls = range(times)

    def run():
        for _ in calls:
            fn(arg)
    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions")
    quick = parser.parse_args().quick
    # The synthetic fits are exact, so SciPy cannot estimate a covariance; say so once.
    warnings.simplefilter("ignore")
    reps = 5 if quick else 15

    distances = np.linspace(0.0, 30000.0, 10000)
    report("theoretical_rayleigh_signal, 10000 ranges", measure({
        "native": lambda: lumafit.theoretical_rayleigh_signal(distances, WAVELENGTH),
        "baseline": lambda: baseline.theoretical_rayleigh_signal(distances, WAVELENGTH),
        "numpy": lambda: vectorised_signal(distances, WAVELENGTH),
    }, reps))

    for altitude in (5.0, 15.0, 25.0):
        report(f"molecular_number_density({altitude}), 10000 calls", measure({
            "native": repeat_call(lumafit.molecular_number_density, altitude, 10000),
            "baseline": repeat_call(baseline.molecular_number_density, altitude, 10000),
        }, reps))

    lidar_signal, fit_distances = profile(2000, 15000.0)
    report("rayleigh_fit, 2000 gates to 15 km", measure({
        "native": lambda: lumafit.rayleigh_fit(lidar_signal, fit_distances, WAVELENGTH),
        "baseline": lambda: baseline.rayleigh_fit(lidar_signal, fit_distances, WAVELENGTH),
        "scipy_floor": lambda: scipy_floor(lidar_signal, fit_distances),
    }, max(3, reps // 3)))

    rng = np.random.default_rng(1)
    raw = rng.random(20000) + 1.0
    with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
        medians = measure({
            "native": lambda: lumaclean.remove_background_and_noise(raw, 15000, 20000),
            "baseline": lambda: baseline.remove_background_and_noise(raw, 15000, 20000),
        }, reps)
    report("remove_background_and_noise, 20000 samples", medians)

    samples = rng.random(100000)
    report("distance_square_correction, 100000 samples", measure({
        "native": lambda: lumaclean.distance_square_correction(samples, 2.0, 7.5),
        "baseline": lambda: baseline.distance_square_correction(samples, 2.0, 7.5),
    }, reps))


if __name__ == "__main__":
    main()
