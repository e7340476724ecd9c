"""The retrievals' compiled core against the same formulas in vectorised NumPy, timed side by
side in one process.

    python benchmarks/retrieval.py            # full run
    python benchmarks/retrieval.py --quick    # smaller sets, a few seconds

Cases:
- Klett-Fernald over 1,440 x 4,000 gates in one call, against ``retrieval_numpy`` (the same
  inversion with the same parabolic integration); the core's results must be bit-identical
  with 1 thread and with all, and agree with NumPy's to rounding.
- Monte Carlo, 100 realisations with Gaussian noise and a lidar-ratio uncertainty, of one
  4,000-gate profile and of the 1,440 x 4,000 set, against NumPy vectorised over the
  realisations (one profile at a time).  NumPy's run over the whole set is long; it is timed
  on the first ``--numpy-profiles`` profiles, the core on the same ones and on all.
- What bounds the Monte Carlo: its time per gate and realisation with no draws, with the
  lidar-ratio draw and with the noise (a normal deviate per gate), and with both.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
# The source tree's package must not shadow the installed one; the NumPy reference sits here.
sys.path[:] = [p for p in sys.path if Path(p or os.getcwd()).resolve() != HERE.parent]
sys.path.insert(0, str(HERE))

from _timing import median_times  # noqa: E402
sys.path.insert(0, str(HERE))

import retrieval_numpy  # noqa: E402
from Aerolume import _core, retrieval, simulate  # noqa: E402
from Aerolume.atmosphere import molecular_profile  # noqa: E402

WAVELENGTH = 354.7e-9
LIDAR_RATIO = 50.0
REFERENCE = (12000.0, 14000.0)


def scene(profiles: int, gates: int, top: float = 15000.0):
    r = np.arange(1, gates + 1) * (top / gates)
    mol = molecular_profile(r, WAVELENGTH)
    beta_a = (2e-6 / (1 + np.exp((r - 2000.0) / 200.0))
              + 1e-6 * np.exp(-(((r - 4000.0) / 300.0) ** 2)))
    scale = np.linspace(0.5, 1.5, profiles)[:, None]
    sim = simulate.elastic(r, WAVELENGTH, beta_a * scale, mol, lidar_ratio=LIDAR_RATIO,
                           constant=1e13, noise="gaussian", noise_std=0.05, shots=100, seed=1)
    return r, mol, sim["signal"].values, sim["signal_noise"].values[0]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller sets")
    parser.add_argument("--repeats", type=int, default=None)
    parser.add_argument("--numpy-profiles", type=int, default=None,
                        help="profiles of the set NumPy's Monte Carlo is timed on")
    args = parser.parse_args()
    profiles, gates = (144, 4000) if args.quick else (1440, 4000)
    repeats = args.repeats or (3 if args.quick else 5)
    numpy_profiles = args.numpy_profiles or (8 if args.quick else 48)
    realisations = 100
    cores = _core.hardware_threads()
    print(f"{profiles} x {gates} gates, {realisations} realisations, {cores} cores, "
          f"median of {repeats}")

    r, mol, signal, sigma = scene(profiles, gates)
    beta_m = np.ascontiguousarray(mol["beta_m"].values)
    alpha_m = np.ascontiguousarray(mol["alpha_m"].values)
    begin = int(np.searchsorted(r, REFERENCE[0]))
    end = int(np.searchsorted(r, REFERENCE[1], side="right"))

    # ---- Klett-Fernald ---------------------------------------------------------------
    def core(threads):
        return retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO, REFERENCE, threads=threads)

    one, every = core(1), core(None)
    identical = np.array_equal(one["backscatter"].values, every["backscatter"].values,
                               equal_nan=True)
    reference, _ = retrieval_numpy.klett_fernald(signal, r, beta_m, alpha_m, LIDAR_RATIO,
                                                 begin, end)
    ok = np.isfinite(reference)
    agreement = np.max(np.abs(one["backscatter"].values[ok] - reference[ok])
                       / np.abs(reference[ok]).max())
    t = median_times({
        "core": lambda: core(None),
        "core, 1 thread": lambda: core(1),
        "numpy": lambda: retrieval_numpy.klett_fernald(signal, r, beta_m, alpha_m,
                                                       LIDAR_RATIO, begin, end),
    }, repeats)
    print(f"Klett-Fernald {profiles} x {gates}: core {t['core']:.3f} s "
          f"(1 thread {t['core, 1 thread']:.3f} s), NumPy {t['numpy']:.3f} s: "
          f"{t['numpy'] / t['core']:.1f}x faster; bit-identical 1 thread / all: {identical}; "
          f"largest difference from NumPy {agreement:.1e} of the largest value")

    # ---- Monte Carlo -----------------------------------------------------------------
    settings = dict(noise=sigma, realisations=realisations, lidar_ratio=5.0)

    def core_mc(rows, threads=None):
        return retrieval.klett_fernald(rows, r, mol, LIDAR_RATIO, REFERENCE,
                                       uncertainty=settings, threads=threads)

    def numpy_mc(rows):
        return retrieval_numpy.klett_fernald_monte_carlo(
            rows, r, beta_m, alpha_m, LIDAR_RATIO, begin, end, sigma, realisations, 5.0,
            np.random.default_rng(0))

    for label, rows, _ in (("one profile", signal[:1], 1),
                           (f"{numpy_profiles} profiles", signal[:numpy_profiles],
                            numpy_profiles)):
        t = median_times({"core": lambda: core_mc(rows), "numpy": lambda: numpy_mc(rows)},
                        repeats)
        print(f"Monte Carlo, {label} x {gates} x {realisations}: core {t['core']:.3f} s, "
              f"NumPy {t['numpy']:.3f} s: {t['numpy'] / t['core']:.1f}x faster")
    start = time.perf_counter()
    full = core_mc(signal)
    whole = time.perf_counter() - start
    per_gate = whole / (profiles * gates * realisations) * 1e9
    print(f"Monte Carlo, the whole {profiles} x {gates} set: core {whole:.2f} s "
          f"({per_gate:.1f} ns per gate and realisation on {cores} cores); NumPy, scaled "
          f"from {numpy_profiles} profiles: about {t['numpy'] * profiles / numpy_profiles:.0f} s")
    del full

    # ---- What bounds the Monte Carlo ---------------------------------------------------
    # The same Monte Carlo with less work per gate and realisation: no draws at all (the
    # inversion and the running sums of the spread), the lidar-ratio draw alone (the
    # transmission of the offset, one exponential per block of gates), the noise alone (one
    # normal deviate per gate), and both.
    rows = signal[:numpy_profiles]
    count = rows.size * realisations
    cases = {"inversion only": {}, "+ lidar ratio": {"lidar_ratio": 5.0},
             "+ noise": {"noise": sigma}, "+ both": {"noise": sigma, "lidar_ratio": 5.0}}

    def run(extra):
        return retrieval.klett_fernald(rows, r, mol, LIDAR_RATIO, REFERENCE, threads=1,
                                       uncertainty={"realisations": realisations, **extra})

    functions = {name: (lambda extra=extra: run(extra)) for name, extra in cases.items()}
    t = median_times(functions, repeats)
    ns = {k: v / count * 1e9 for k, v in t.items()}
    print("Monte Carlo per gate and realisation, 1 thread: " +
          ", ".join(f"{name} {ns[name]:.1f} ns" for name in cases))


if __name__ == "__main__":
    main()
