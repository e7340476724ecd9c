"""Raw-data reading and the corrections chain, timed side by side in one process.

    python benchmarks/rawdata.py                 # full run
    python benchmarks/rawdata.py --quick         # smaller sets, a few seconds
    python benchmarks/rawdata.py --data DIR      # raw files to read (default: the shipped sample)

Reading: read_licel over the sample files and over 1,000 copies of them, against
  - the established Python reader of the format (the atmospheric-lidar package, a
    benchmark-only extra: ``pip install Aerolume[benchmark]``; skipped when missing),
    reading every file's channels;
  - the page-cache bound: reading the same files' bytes into memory, nothing more;
  - the output bound: the same, plus writing the rest of the Dataset's size to new
    memory.  The Dataset holds each count twice (uint32 counts and float64 signal), three
    times the files' bytes, and new memory costs a page fault per 4 KiB on first write:
    for many files that, not the reading, is what the time is made of.
  and the peak memory of read_licel against the size of the Dataset it returns.

Corrections: dead time, background, glue, time average of 10 profiles and range
correction of a 1,440 x 16,380 two-channel set, by ``Aerolume.preprocess.correct``
against the same steps written with vectorised NumPy (``numpy_chain`` below) and
against one plain copy of the same data (the memory-bandwidth bound).
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import tracemalloc
import warnings
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
# The source tree's package must not shadow the installed one.
sys.path[:] = [p for p in sys.path if Path(p or os.getcwd()).resolve() != HERE.parent]
sys.path.insert(0, str(HERE))

from _timing import median_times  # noqa: E402

import xarray as xr  # noqa: E402

from Aerolume import preprocess  # noqa: E402
from Aerolume.io import read_licel  # noqa: E402

SAMPLE = HERE.parent / "examples" / "data" / "licel"


def page_cache_bound(files):
    """Reads every file's bytes into one new buffer: what any reader that returns the
    data must at least do."""
    sizes = [os.path.getsize(f) for f in files]
    # (Not np.empty: large NumPy arrays ask for huge pages, whose allocation can stall
    # on memory compaction and would make this bound slower than it is.)
    buffer = bytearray(sum(sizes))
    view = memoryview(buffer)
    at = 0
    for f, size in zip(files, sizes):
        with open(f, "rb", buffering=0) as stream:
            stream.readinto(view[at:at + size])
        at += size
    return buffer


def fresh_memory(size):
    """Writes `size` bytes to newly allocated memory: the cost of the output alone."""
    np.frombuffer(bytearray(size), dtype=np.uint8).fill(1)


def output_bound(files, size):
    """Reads the files' bytes into new memory and writes the rest of an output of `size`
    bytes to new memory: what any reader must at least do whose output, like
    read_licel's (uint32 counts and float64 signals), is larger than the files."""
    data = page_cache_bound(files)
    fresh_memory(max(0, size - len(data)))
    return data


def established_reader():
    try:
        import atmospheric_lidar.licel as licel
    except ImportError:
        return None

    def read(files):
        for f in files:
            measurement = licel.LicelFile(str(f))
            for channel in measurement.channels.values():
                np.asarray(channel.data)
    return read


def peak_memory(files) -> tuple[float, float, float]:
    """(tracemalloc peak, growth of the peak resident size, Dataset size), in MB; the
    resident size is measured in a fresh interpreter."""
    tracemalloc.start()
    ds = read_licel(files)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    size = ds.nbytes
    del ds
    # The peak resident size is reset (clear_refs) once the imports are done.
    code = ("import sys, warnings; warnings.simplefilter('ignore');"
            "from Aerolume.io import read_licel;"
            "files = sys.stdin.read().split('\\n');"
            "read_licel(files[:1]);"
            "status = lambda key: int([l for l in open('/proc/self/status') if l.startswith(key)][0].split()[1]);"
            "open('/proc/self/clear_refs', 'w').write('5');"
            "before = status('VmRSS:');"
            "ds = read_licel(files);"
            "print((status('VmHWM:') - before) * 1024)")
    out = subprocess.run([sys.executable, "-c", code], input="\n".join(map(str, files)),
                         capture_output=True, text=True, cwd=tempfile.gettempdir(), check=True)
    return peak / 1e6, float(out.stdout) / 1e6, size / 1e6


def bench_reading(data: Path, copies: int, repeats: int):
    files = sorted(p for p in data.iterdir() if p.name.startswith("RM"))
    other = established_reader()
    if other is None:
        print("  atmospheric-lidar is not installed: the comparison with it is skipped "
              "(pip install 'Aerolume[benchmark]')")
    with tempfile.TemporaryDirectory() as folder:
        many = []
        for i in range(copies):
            source = files[i % len(files)]
            many.append(Path(folder) / f"{source.name}.{i:04d}")
            shutil.copy(source, many[-1])
        for label, chosen in ((f"{len(files)} files", files), (f"{copies} files", many)):
            page_cache_bound(chosen)  # warm the page cache
            size = read_licel(chosen).nbytes
            cases = {"read_licel": lambda: read_licel(chosen),
                     "bytes": lambda: page_cache_bound(chosen),
                     "output": lambda: output_bound(chosen, size)}
            if other is not None:
                cases["atmospheric-lidar"] = lambda: other(chosen)
            # A few files take milliseconds, and their median wants more rounds to settle.
            t = median_times(cases, max(repeats, 21) if len(chosen) < 100 else max(1, repeats // 2))
            files_mb = sum(os.path.getsize(f) for f in chosen) / 1e6
            line = (f"  read {label:>11}: read_licel {t['read_licel'] * 1e3:8.1f} ms; "
                    f"page-cache bound (the files' {files_mb:.0f} MB) {t['bytes'] * 1e3:7.1f} ms "
                    f"(ratio {t['read_licel'] / t['bytes']:.2f}); "
                    f"files read + the Dataset's {size / 1e6:.0f} MB written once "
                    f"{t['output'] * 1e3:7.1f} ms (ratio {t['read_licel'] / t['output']:.2f})")
            if other is not None:
                line += (f", atmospheric-lidar {t['atmospheric-lidar'] * 1e3:8.1f} ms "
                         f"(read_licel {t['atmospheric-lidar'] / t['read_licel']:.1f}x faster)")
            print(line)
        traced, resident, size = peak_memory(many)
        print(f"  memory of read_licel over {copies} files: Dataset {size:.1f} MB, peak traced "
              f"{traced:.1f} MB ({traced / size:.2f}x), peak resident growth "
              f"{resident:.1f} MB ({resident / size:.2f}x)")


# ---- the corrections chain ----------------------------------------------------------------

def synthetic_set(times: int, gates: int) -> xr.Dataset:
    """A two-channel (analog, photon counting) set in the layout read_licel returns."""
    rng = np.random.default_rng(0)
    r = (np.arange(gates) + 0.5) * 7.5
    true = 400.0 * np.exp(-r / 3000.0) * (1 + 0.1 * np.sin(r / 500.0)) + 0.2  # MHz
    shots = np.full((times, 2), 600.0)
    pc_counts = rng.poisson(true / (1 + true * 4e-3) * 600 / 20.0, (times, gates))
    pc = pc_counts * (20.0 / 600.0)
    analog = (true / 40.0)[None] + 2.0 + rng.normal(0, 0.002, (times, gates))
    signal = np.stack([analog, pc], axis=1)
    t0 = np.datetime64("2024-01-01T00:00:00", "ns")
    return xr.Dataset(
        {"signal": (("time", "channel", "range"), signal),
         "shots": (("time", "channel"), shots.astype(np.int64))},
        coords={"time": t0 + np.arange(times) * np.timedelta64(60, "s"),
                "channel": ["532_an", "532_pc"], "range": r,
                "detection_mode": ("channel", ["analog", "photon_counting"]),
                "bin_width": ("channel", [7.5, 7.5]),
                "signal_units": ("channel", ["mV", "MHz"])})


def numpy_chain(ds: xr.Dataset, tau: float, group: int, window=(0.5, 15.0), snr=3.0):
    """The same steps as correct(ds, dead_time=tau, glue=True, average=group,
    range_correction=True), vectorised with NumPy, noise included."""
    signal = ds.signal.values
    an, pc = signal[:, 0], signal[:, 1]
    shots = ds.shots.values.astype(np.float64)
    times, gates = an.shape
    r = ds["range"].values
    # dead time (non-paralysable) with Poisson noise
    pc_noise = np.sqrt(np.maximum(pc, 0) * (150.0 / 7.5 / shots[:, 1])[:, None])
    x = pc * (tau * 1e-3)
    ok = x < 1
    with np.errstate(divide="ignore", invalid="ignore"):
        pc = np.where(ok, pc / (1 - x), np.nan)
        pc_noise = np.where(ok, pc_noise / (1 - x) ** 2, np.nan)
    # background over the farthest tenth
    w = slice(gates - gates // 10, gates)
    stats = []
    for s in (an, pc):
        n = np.isfinite(s[:, w]).sum(axis=1)
        mean = np.nanmean(s[:, w], axis=1)
        std = np.nanstd(s[:, w], axis=1, ddof=1)
        stats.append((mean, std, n))
    (ma, sa, na), (mp, sp, npc) = stats
    an = an - ma[:, None]
    pc = pc - mp[:, None]
    an_noise = np.broadcast_to(np.hypot(sa, sa / np.sqrt(na))[:, None], an.shape)
    pc_noise = np.sqrt(pc_noise ** 2 + ((sp / np.sqrt(npc)) ** 2)[:, None])
    # glue
    low, high = window
    use = np.isfinite(an) & np.isfinite(pc) & (pc >= low) & (pc <= high) & (an > snr * sa[:, None])
    count = use.sum(axis=1)
    mean_a = np.where(use, an, 0).sum(axis=1) / count
    mean_p = np.where(use, pc, 0).sum(axis=1) / count
    da = np.where(use, an - mean_a[:, None], 0)
    dp = np.where(use, pc - mean_p[:, None], 0)
    slope = (da * dp).sum(axis=1) / (da * da).sum(axis=1)
    offset = mean_p - slope * mean_a
    counting = np.isfinite(pc) & (pc <= high)
    glued = np.where(counting, pc, slope[:, None] * an + offset[:, None])
    glued_noise = np.where(counting, pc_noise, np.abs(slope)[:, None] * an_noise)
    # shots-weighted time average of `group` profiles, NaN bins left out
    out = []
    for x, noise, weight in ((an, an_noise, shots[:, 0]), (pc, pc_noise, shots[:, 1]),
                             (glued, glued_noise, shots[:, 1])):
        g = times // group
        xs = x[:g * group].reshape(g, group, gates)
        ns = noise[:g * group].reshape(g, group, gates)
        ws = np.broadcast_to(weight[:g * group].reshape(g, group, 1), xs.shape)
        valid = ~np.isnan(xs)
        wsum = np.where(valid, ws, 0).sum(axis=1)
        mean = np.where(valid, ws * xs, 0).sum(axis=1) / wsum
        sd = np.sqrt(np.where(valid, ws * ws * ns * ns, 0).sum(axis=1)) / wsum
        # range correction
        out.append((mean * r * r, sd * r * r))
    return out


def bench_chain(times: int, gates: int, repeats: int):
    ds = synthetic_set(times, gates)
    tau = 4.0
    run = lambda: preprocess.correct(ds, dead_time=tau, glue=True, average=10,  # noqa: E731
                                     range_correction=True)
    ours = run()
    reference = numpy_chain(ds, tau, 10)
    for c, (mean, sd) in enumerate(reference):
        np.testing.assert_allclose(ours.signal.values[:, c], mean, rtol=1e-9, atol=1e-9 * np.nanmax(abs(mean)))
        np.testing.assert_allclose(ours.signal_noise.values[:, c], sd, rtol=1e-9)
    source = ds.signal.values
    t = median_times({"correct": run, "numpy": lambda: numpy_chain(ds, tau, 10),
                 "copy": lambda: source.copy()}, repeats)
    print(f"  corrections chain on {times} x {gates} x 2: correct {t['correct'] * 1e3:7.1f} ms, "
          f"NumPy {t['numpy'] * 1e3:7.1f} ms ({t['numpy'] / t['correct']:.1f}x faster), "
          f"one copy {t['copy'] * 1e3:6.1f} ms (ratio {t['correct'] / t['copy']:.2f})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller sets, fewer rounds")
    parser.add_argument("--data", type=Path, default=SAMPLE, help="folder of raw files")
    args = parser.parse_args()
    warnings.simplefilter("ignore")  # copies share start times; that is expected here
    print(f"threads: {os.cpu_count()} cores")
    if args.quick:
        bench_reading(args.data, 50, 3)
        bench_chain(140, 4096, 3)
    else:
        bench_reading(args.data, 1000, 5)
        bench_chain(1440, 16380, 5)


if __name__ == "__main__":
    main()
