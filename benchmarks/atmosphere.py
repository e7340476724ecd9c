"""Times Aerolume.atmosphere against the same formulas in vectorised NumPy
(numpy_atmosphere.py), interleaved in one process, and prints the medians and ratios.

    python benchmarks/atmosphere.py            # full run
    python benchmarks/atmosphere.py --quick    # fewer repeats

Cases: one 4,000-gate profile in the standard atmosphere; a time-height set of 1,440
profiles of 4,000 gates with one sounding per profile (from the sondes' raw arrays, the
soundings made inside the timing).  Both sides return the same xarray.Dataset; the
results are compared before timing.
"""
import argparse
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path[:] = [p for p in sys.path if Path(p or os.getcwd()).resolve() != HERE.parent]
sys.path.insert(0, str(HERE))

import numpy_atmosphere as reference  # noqa: E402
from Aerolume import atmosphere  # noqa: E402

WAVELENGTH = 532e-9


def sondes(count, levels, seed=1):
    """Raw radiosonde arrays (altitude m, pressure Pa, temperature K) up to 35 km, each a
    perturbed standard atmosphere."""
    rng = np.random.default_rng(seed)
    z = np.linspace(0.0, 35_000.0, levels)
    base = atmosphere.standard_atmosphere(z)
    out = []
    for _ in range(count):
        t = base.temperature + rng.normal(0.0, 0.3, levels).cumsum() * 0.05
        p = base.pressure * np.exp(rng.normal(0.0, 1e-3))
        out.append((z, p, t))
    return out


def ours_from_sondes(r, raw, threads=None):
    return atmosphere.molecular_profile(r, WAVELENGTH, [atmosphere.sounding(*s) for s in raw],
                                        threads=threads)


def compare(a, b):
    worst = 0.0
    for name in ("temperature", "pressure", "number_density", "beta_m", "transmission_m2"):
        x, y = a[name].values, b[name].values
        worst = max(worst, float(np.max(np.abs(x / y - 1))))
    return worst


def timed(functions, repeats):
    """Interleaved runs; for each function the median and best wall seconds and the median
    processor seconds (all threads).  On a busy machine the best runs are the ones least
    disturbed by other processes, and processor time is what each run itself used."""
    wall = [[] for _ in functions]
    cpu = [[] for _ in functions]
    for _ in range(repeats):
        for i, f in enumerate(functions):
            start, start_cpu = time.perf_counter(), time.process_time()
            f()
            wall[i].append(time.perf_counter() - start)
            cpu[i].append(time.process_time() - start_cpu)
    return [(statistics.median(w), min(w), statistics.median(c)) for w, c in zip(wall, cpu)]


def ratio_line(label_times, unit, scale):
    """`label_times`: (label, (median, best, processor)) with the NumPy one last."""
    numpy = label_times[-1][1]
    parts = [f"{label} {m * scale:.3f} {unit} (best {b * scale:.3f}, processor {c * scale:.3f})"
             for label, (m, b, c) in label_times]
    ratios = [f"{label}: {numpy[0] / m:.2f}x faster (best {numpy[1] / b:.2f}x, "
              f"processor time {numpy[2] / c:.2f}x less)"
              for label, (m, b, c) in label_times[:-1]]
    return "  " + ",\n  ".join(parts) + "\n  " + ";\n  ".join(ratios)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats")
    args = parser.parse_args()
    r = np.arange(1, 4001) * 7.5

    one = (lambda: atmosphere.molecular_profile(r, WAVELENGTH),
           lambda: reference.standard_profile(r, WAVELENGTH))
    print(f"one profile, 4000 gates, standard atmosphere: results agree to "
          f"{compare(one[0](), one[1]()):.1e}")
    ours, numpy = timed(one, 50 if args.quick else 300)
    print(ratio_line([("Aerolume", ours), ("NumPy", numpy)], "ms", 1e3))

    for levels in (200, 3000):
        raw = sondes(1440, levels)
        cases = (lambda: ours_from_sondes(r, raw),
                 lambda: ours_from_sondes(r, raw, threads=1),
                 lambda: reference.sounding_profiles(r, WAVELENGTH, raw))
        a, b = cases[0](), cases[2]()
        print(f"time-height set 1440 x 4000, soundings of {levels} levels: results agree to "
              f"{compare(a, b):.1e}; bit-identical on 1 and all threads: "
              f"{a.identical(cases[1]())}")
        del a, b
        ours, ours_one, numpy = timed(cases, 3 if args.quick else 15)
        print(ratio_line([("Aerolume", ours), ("Aerolume on one thread", ours_one),
                          ("NumPy", numpy)], "s", 1.0))


if __name__ == "__main__":
    main()
