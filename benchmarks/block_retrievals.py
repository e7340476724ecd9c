"""The pipeline's retrieval costs: the Raman chain and a single Klett-Fernald profile
against vectorised NumPy, and what one core call per channel per block saves against one
call per profile, timed side by side in one process.

    python benchmarks/block_retrievals.py            # full run (1,440 x 4,000 gates)
    python benchmarks/block_retrievals.py --quick    # 144 x 4,000 gates
    python benchmarks/block_retrievals.py --monte-carlo --baseline ../base/.venv/bin/python

Cases:
- The Raman chain (extinction by the sliding linear fit, backscatter, lidar ratio) over
  the set in one call of ``retrieval.raman_retrieval``, against the same formulas in
  vectorised NumPy (the windows' fits by sliding_window_view, the integral by the same
  parabolic rule); the core's results must agree with NumPy's to rounding.
- The Raman derivative alone, core against NumPy, and its cost per gate.
- Klett-Fernald on one 4,000-gate profile: ``retrieval.klett_fernald`` (Dataset out) and
  its lean path (``output="arrays"``) against NumPy's inversion of that profile.
- With ``--monte-carlo``, only the Raman chain's Monte Carlo (``raman_retrieval(...,
  uncertainty=...)``, 100 realisations, Gaussian and Poisson noise of a photon-counting
  signal, 48 x 4,000 gates; 12 with ``--quick``): its cost per realisation and gate, and
  with ``--baseline PYTHON`` that of another installation (e.g. an earlier commit) on the
  same inputs, each timed in its own subprocess, in turn, every round.  ``--once`` runs the
  case once and times nothing (for ``valgrind --tool=callgrind``, whose instruction counts
  do not depend on the machine's load).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

HERE = Path(__file__).resolve().parent
sys.path[:] = [p for p in sys.path if Path(p or os.getcwd()).resolve() != HERE.parent]
sys.path.insert(0, str(HERE))

import retrieval_numpy  # noqa: E402
from _timing import median_times  # noqa: E402
from retrieval import LIDAR_RATIO, REFERENCE, WAVELENGTH, scene  # noqa: E402

from Aerolume import _core, retrieval, simulate  # noqa: E402
from Aerolume.atmosphere import molecular_profile  # noqa: E402

RAMAN_WAVELENGTH = float(retrieval.raman_wavelength(WAVELENGTH))
WINDOW = 300.0


def numpy_raman_extinction(raman, r, density, alpha_m, alpha_raman, half, ratio, angstrom):
    """The sliding linear fit of ln(N / (P_R r^2)), a fixed window of 2 half + 1 gates."""
    with np.errstate(invalid="ignore", divide="ignore"):
        y = np.log(density / (raman * r * r))
    n = 2 * half + 1
    x = sliding_window_view(r, n)
    x = x - x.mean(axis=-1, keepdims=True)
    sxx = np.sum(x * x, axis=-1)
    slope = np.einsum("wk,pwk->pw", x, sliding_window_view(y, n, axis=-1)) / sxx
    out = np.full(raman.shape, np.nan)
    out[:, half:r.size - half] = ((slope - alpha_m[half:r.size - half]
                                   - alpha_raman[half:r.size - half])
                                  / (1.0 + ratio ** angstrom))
    return out


def numpy_raman_chain(elastic, raman, r, beta_m, density, alpha_m, alpha_raman, half, begin,
                      end, ratio, angstrom):
    ext = numpy_raman_extinction(raman, r, density, alpha_m, alpha_raman, half, ratio,
                                 angstrom)
    # Gaps filled with the nearest retrieved value, as the core does.
    filled = ext.copy()
    filled[:, :half] = ext[:, half:half + 1]
    filled[:, r.size - half:] = ext[:, r.size - half - 1:r.size - half]
    shift = ratio ** angstrom
    difference = (alpha_m + filled) - (alpha_raman + filled * shift)
    integral = retrieval_numpy.cumulative_parabolic(difference, r)
    c = (begin + end - 1) // 2
    ratio_ = elastic * density * np.exp(integral - integral[:, c:c + 1])
    k = (np.sum(beta_m[begin:end] * raman[:, begin:end], axis=-1)
         / np.sum(ratio_[:, begin:end], axis=-1))
    back = k[:, None] * ratio_ / raman - beta_m
    with np.errstate(invalid="ignore", divide="ignore"):
        lidar = np.where(back > 0, ext / back, np.nan)
    return ext, back, lidar


def raman_scene(profiles: int, gates: int, top: float = 15000.0):
    r = np.arange(1, gates + 1) * (top / gates)
    mol = molecular_profile(r, WAVELENGTH)
    mol_r = molecular_profile(r, RAMAN_WAVELENGTH)
    beta_a = (2e-6 / (1 + np.exp((r - 2000.0) / 200.0))
              + 1e-6 * np.exp(-(((r - 4000.0) / 300.0) ** 2)))
    beta_a = beta_a * np.linspace(0.5, 1.5, profiles)[:, None]
    elastic = simulate.elastic(r, WAVELENGTH, beta_a, mol, lidar_ratio=LIDAR_RATIO,
                               constant=1e13, noise="gaussian", noise_std=0.05, shots=100,
                               seed=1)["signal"].values
    raman = simulate.raman(r, WAVELENGTH, beta_a, mol, mol_r, lidar_ratio=LIDAR_RATIO,
                           constant=1e16, noise="gaussian", noise_std=0.02, shots=100,
                           seed=2)["signal"].values
    return r, mol, mol_r, elastic, raman


MC_REALISATIONS = 100
COUNTS_PER_UNIT, BACKGROUND = 1000.0, 0.01  # the Poisson noise of the simulated counts


def monte_carlo_case(profiles: int, kind: str):
    """The Raman chain with its Monte Carlo on `profiles` x 4,000 gates, noise `kind`
    ("gaussian": the Poisson noise's standard deviation as Gaussian; "poisson")."""
    r, mol, mol_r, elastic, raman = raman_scene(profiles, 4000)
    if kind == "poisson":
        noise = raman_noise = retrieval.PoissonNoise(COUNTS_PER_UNIT, BACKGROUND)
    else:
        noise, raman_noise = (np.sqrt(COUNTS_PER_UNIT * (np.maximum(s, 0.0) + BACKGROUND))
                              / COUNTS_PER_UNIT for s in (elastic, raman))
    settings = dict(realisations=MC_REALISATIONS, noise=noise, raman_noise=raman_noise,
                    reference_value=0.05, angstrom=0.5, seed=7)
    return lambda: retrieval.raman_retrieval(elastic, raman, r, mol, mol_r, REFERENCE, 1.0,
                                             1.0, WINDOW, uncertainty=settings,
                                             wavelength=WAVELENGTH,
                                             raman_wavelength=RAMAN_WAVELENGTH)


def monte_carlo_child(profiles: int, repeats: int, once: bool) -> None:
    """Times (or, with `once`, runs) the Monte Carlo cases in this interpreter; prints JSON."""
    cases = {kind: monte_carlo_case(profiles, kind) for kind in ("gaussian", "poisson")}
    if once:
        for f in cases.values():
            f()
        return
    print(json.dumps(median_times(cases, repeats)))


def monte_carlo(args, profiles: int) -> None:
    """The Monte Carlo cases of this installation and of --baseline, in turn."""
    pythons = {"this": sys.executable}
    if args.baseline:
        pythons["baseline"] = args.baseline
    command = [str(Path(__file__).resolve()), "--monte-carlo-child", "--repeats", "1"]
    if args.quick:
        command.append("--quick")
    times = {name: {"gaussian": [], "poisson": []} for name in pythons}
    rounds = args.repeats or 3
    for _ in range(rounds):
        for name, python in pythons.items():
            done = subprocess.run([python, *command], capture_output=True, text=True,
                                  cwd=HERE)
            if done.returncode != 0:
                raise SystemExit(f"{python}: {done.stderr[-3000:]}")
            for kind, t in json.loads(done.stdout.splitlines()[-1]).items():
                times[name][kind].append(t)
    cells = profiles * 4000 * MC_REALISATIONS
    print(f"Raman Monte Carlo, {profiles} x 4000 gates x {MC_REALISATIONS} realisations, "
          f"median of {rounds} rounds ({_core.hardware_threads()} cores):")
    for kind in ("gaussian", "poisson"):
        this = statistics.median(times["this"][kind])
        line = f"  {kind}: {this:.2f} s, {this / cells * 1e9:.1f} ns per realisation-gate"
        if "baseline" in times:
            base = statistics.median(times["baseline"][kind])
            line += f"; baseline {base:.2f} s: {base / this:.2f}x faster"
        print(line)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller sets")
    parser.add_argument("--repeats", type=int, default=None)
    parser.add_argument("--monte-carlo", action="store_true",
                        help="only the Raman Monte Carlo (with --baseline, against it)")
    parser.add_argument("--baseline", metavar="PYTHON", default=None,
                        help="another installation's interpreter, for --monte-carlo")
    parser.add_argument("--once", action="store_true",
                        help="run the Monte Carlo cases once, untimed (for callgrind)")
    parser.add_argument("--monte-carlo-child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    mc_profiles = 12 if args.quick else 48
    if args.monte_carlo_child or args.once:
        monte_carlo_child(mc_profiles, args.repeats or 1, args.once)
        return
    if args.monte_carlo:
        monte_carlo(args, mc_profiles)
        return
    profiles, gates = (144, 4000) if args.quick else (1440, 4000)
    repeats = args.repeats or (3 if args.quick else 5)
    print(f"{profiles} x {gates} gates, {_core.hardware_threads()} cores, median of {repeats}")

    # ---- The Raman chain -------------------------------------------------------------
    r, mol, mol_r, elastic, raman = raman_scene(profiles, gates)
    beta_m = mol["beta_m"].values
    density = mol_r["number_density"].values
    alpha_m, alpha_raman = mol["alpha_m"].values, mol_r["alpha_m"].values
    spacing = r[1] - r[0]
    half = int(np.floor((WINDOW / spacing - 1.0) / 2.0 + 0.5))
    begin = int(np.searchsorted(r, REFERENCE[0]))
    end = int(np.searchsorted(r, REFERENCE[1], side="right"))
    ratio = WAVELENGTH / RAMAN_WAVELENGTH

    def core_chain():
        return retrieval.raman_retrieval(elastic, raman, r, mol, mol_r, REFERENCE, 1.0, 1.0,
                                         WINDOW, wavelength=WAVELENGTH,
                                         raman_wavelength=RAMAN_WAVELENGTH)

    def numpy_chain():
        return numpy_raman_chain(elastic, raman, r, beta_m, density, alpha_m, alpha_raman,
                                 half, begin, end, ratio, 1.0)

    got, want = core_chain(), numpy_chain()
    ok = np.isfinite(want[0]) & np.isfinite(got["extinction"].values)
    scale = np.abs(want[0][ok]) + (alpha_m + alpha_raman)[None, :].repeat(profiles, 0)[ok]
    ext_diff = np.max(np.abs(got["extinction"].values[ok] - want[0][ok]) / scale)
    okb = np.isfinite(want[1]) & np.isfinite(got["backscatter"].values)
    back_diff = np.max(np.abs(got["backscatter"].values[okb] - want[1][okb])
                       / (np.abs(want[1][okb]) + beta_m[None, :].repeat(profiles, 0)[okb]))
    t = median_times({"core": core_chain, "numpy": numpy_chain}, repeats)
    print(f"Raman chain {profiles} x {gates} (window {WINDOW:g} m, {2 * half + 1} gates): "
          f"core {t['core']:.3f} s, NumPy {t['numpy']:.3f} s: "
          f"{t['numpy'] / t['core']:.1f}x faster; largest difference from NumPy "
          f"{ext_diff:.1e} (extinction, of the derivative) and {back_diff:.1e} (backscatter, "
          "of the total)")

    half_widths = np.full(gates, float(half))
    k = np.ones(1)

    inputs = _core.RamanInputs(raman_signal=raman, range=r, number_density=density,
                               alpha_m=alpha_m, alpha_m_raman=alpha_raman,
                               wavelength_ratio=ratio, angstrom=k, half_width=half_widths)

    def core_derivative():
        return _core.raman_extinction(inputs)

    def numpy_derivative():
        return numpy_raman_extinction(raman, r, density, alpha_m, alpha_raman, half, ratio,
                                      1.0)

    t = median_times({"core": core_derivative, "core, 1 thread":
                      lambda: _core.raman_extinction(inputs, threads=1),
                      "numpy": numpy_derivative}, repeats)
    print(f"Raman derivative {profiles} x {gates}: core {t['core']:.3f} s "
          f"({t['core, 1 thread'] / (profiles * gates) * 1e9:.1f} ns per gate on 1 thread), "
          f"NumPy {t['numpy']:.3f} s: {t['numpy'] / t['core']:.1f}x faster")

    # ---- Klett-Fernald on one profile ------------------------------------------------
    r, mol, signal, sigma = scene(1, 4000)
    beta_m = np.ascontiguousarray(mol["beta_m"].values)
    alpha_m = np.ascontiguousarray(mol["alpha_m"].values)
    begin = int(np.searchsorted(r, REFERENCE[0]))
    end = int(np.searchsorted(r, REFERENCE[1], side="right"))
    row = np.ascontiguousarray(signal[0])
    arrays = {"alpha_m": alpha_m, "beta_m": beta_m}
    functions = {
        "dataset": lambda: retrieval.klett_fernald(row, r, mol, LIDAR_RATIO, REFERENCE,
                                                   fit_offset=False),
        "arrays": lambda: retrieval.klett_fernald(row, r, arrays, LIDAR_RATIO, REFERENCE,
                                                  fit_offset=False, output="arrays"),
        "numpy": lambda: retrieval_numpy.klett_fernald(row[None], r, beta_m, alpha_m,
                                                       LIDAR_RATIO, begin, end),
    }
    same = np.array_equal(functions["dataset"]()["backscatter"].values,
                          functions["arrays"]()["backscatter"], equal_nan=True)
    t = median_times(functions, max(repeats, 5) * 4, number=50)
    print(f"Klett-Fernald, one {r.size}-gate profile: Dataset out {t['dataset'] * 1e3:.3f} ms, "
          f"arrays out {t['arrays'] * 1e3:.3f} ms, NumPy {t['numpy'] * 1e3:.3f} ms: "
          f"NumPy / Dataset {t['numpy'] / t['dataset']:.2f}, NumPy / arrays "
          f"{t['numpy'] / t['arrays']:.2f}; the same values: {same}")


if __name__ == "__main__":
    main()
