"""A year of one station: ``aerolume process --split night`` over many simulated nights,
serially and on Dask workers, in one run.

The nights are time-shifted copies of the shared raw files (a few files a night, one
folder a night, a day apart).  Reported side by side:

1. the serial run and the run on ``--workers N``: wall times, and whether every night's
   file is identical (values and attributes, but for the uuid and history stamps);
2. the caller's peak memory on the workers (resident, getrusage; with ``--trace`` also
   the Python heap, tracemalloc) at a few nights and at all of them: it must not grow
   with the nights;
3. a worker killed (SIGKILL) in the middle of the run: the run still succeeds, every
   night identical to the serial run's, no temporary file left;
4. the same command again once every night is up to date: the caller's own work alone
   (start, headers, plan), the serial share of the run, and what Amdahl's law gives for
   32 workers.

    python benchmarks/year.py                 # 365 nights (about 10 minutes on 2 cores)
    python benchmarks/year.py --nights 30     # a quick run
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:] = [p for p in sys.path if pathlib.Path(p or os.getcwd()).resolve() != HERE.parent]
sys.path.insert(0, str(HERE))

from cli import SAMPLES, shifted_copy  # noqa: E402

SHARED = HERE.parent.parent / "shared" / "data" / "licel"
DAY = 86400
#: What differs between two writes of the same product.
STAMPS = ("uuid", "history", "processed_at")
CONFIG = "[uncertainty]\nrealisations = 0\n"

#: The command in a child process, reporting its own peak memory on standard error.
CHILD = """
import json, resource, sys, tracemalloc
trace = sys.argv[1] == "trace"
if trace:
    tracemalloc.start()
from Aerolume.cli import main
status = main(sys.argv[2:])
peak = tracemalloc.get_traced_memory()[1] if trace else 0
sys.stderr.write("MEMORY " + json.dumps({"maxrss": resource.getrusage(
    resource.RUSAGE_SELF).ru_maxrss * 1024, "traced": peak}) + "\\n")
sys.exit(status)
"""


def make_nights(sources, folder: pathlib.Path, nights: int, per_night: int) -> None:
    """`nights` folders of `per_night` consecutive raw files each, a day apart."""
    for night in range(nights):
        sub = folder / f"night{night:03d}"
        sub.mkdir(parents=True)
        for k in range(per_night):
            i = (night * per_night + k) % len(sources)
            # consecutive files of the sample, moved to this night's day
            shifted_copy(sources[i], sub / sources[i].name, night * DAY)


def differences(a, b) -> list[str]:
    """What differs between two product files (values or attributes), but for the stamps
    of each write (uuid, history, processed_at)."""
    import numpy as np
    import xarray as xr

    def same(u, v):
        if isinstance(u, np.ndarray) or isinstance(v, np.ndarray):
            u, v = np.asarray(u), np.asarray(v)
            return u.shape == v.shape and np.array_equal(u, v, equal_nan=u.dtype.kind == "f")
        return u == v

    found = []
    with xr.open_dataset(a) as x, xr.open_dataset(b) as y:
        if set(x.variables) != set(y.variables):
            return [f"variables {sorted(set(x.variables) ^ set(y.variables))}"]
        for name in x.variables:
            u, v = x[name].values, y[name].values
            if not same(u, v):
                found.append(f"{name}: values")
            attrs = set(x[name].attrs) | set(y[name].attrs)
            found += [f"{name}.{k}" for k in sorted(attrs)
                      if not same(x[name].attrs.get(k), y[name].attrs.get(k))]
        keys = (set(x.attrs) | set(y.attrs)) - set(STAMPS)
        found += [f"attribute {k}" for k in sorted(keys)
                  if not same(x.attrs.get(k), y.attrs.get(k))]
    return found


def aerolume(args, trace=False, kill_after=None):
    """Runs the command in a child: (wall s, peak memory dict, stderr).  With `kill_after`
    (a folder), one Dask worker process is killed once a first product is in it."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    start = time.perf_counter()
    proc = subprocess.Popen([sys.executable, "-c", CHILD, "trace" if trace else "-",
                             *map(str, args)], env=env, text=True,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    killed = None
    if kill_after is not None:
        while proc.poll() is None and killed is None:
            if any(p.name.endswith("_aerolume.nc") for p in kill_after.iterdir()):
                workers = _workers_of(proc.pid)
                if workers:
                    killed = workers[0]
                    os.kill(killed, signal.SIGKILL)
                    break
            time.sleep(0.05)
    _, err = proc.communicate()
    wall = time.perf_counter() - start
    memory = {}
    for line in err.splitlines():
        if line.startswith("MEMORY "):
            memory = json.loads(line[7:])
    if proc.returncode != 0:
        raise RuntimeError(f"aerolume {' '.join(map(str, args))} failed:\n{err[-3000:]}")
    return wall, memory, err, killed


def _workers_of(pid: int) -> list[int]:
    """The Dask worker processes the command started (its children running a spawned
    interpreter)."""
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            stat = (entry / "stat").read_text()
            parent = int(stat.rsplit(")", 1)[1].split()[1])
            command = (entry / "cmdline").read_bytes()
        except (OSError, ValueError, IndexError):
            continue
        if parent == pid and b"spawn_main" in command:
            found.append(int(entry.name))
    return sorted(found)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--nights", type=int, default=365)
    parser.add_argument("--few", type=int, default=30,
                        help="nights of the smaller memory measurement (default 30)")
    parser.add_argument("--files", type=int, default=3, help="raw files a night (default 3)")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--trace", action="store_true",
                        help="also the callers' Python heap (tracemalloc; slows them down)")
    parser.add_argument("--data", type=pathlib.Path,
                        default=SHARED if SHARED.is_dir() else SAMPLES)
    args = parser.parse_args()
    sources = sorted(args.data.glob("RM*"))
    if not sources:
        print(f"no raw files RM* in {args.data}", file=sys.stderr)
        return 1
    few = min(args.few, args.nights)
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        config = tmp / "year.toml"
        config.write_text(CONFIG)
        raw = tmp / "raw"
        make_nights(sources, raw, args.nights, args.files)
        subset = tmp / "subset"
        subset.mkdir()
        for night in sorted(raw.iterdir())[:few]:
            (subset / night.name).mkdir()
            for f in night.iterdir():
                os.link(f, subset / night.name / f.name)
        outs = {name: tmp / name for name in ("serial", "workers", "few", "killed")}
        for folder in outs.values():
            folder.mkdir()
        common = ["--split", "night", "-c", config, "-q"]
        dask = ["--workers", args.workers]
        print(f"== {args.nights} nights of {args.files} raw files ({args.data}), "
              f"{CONFIG.strip()!r}")
        serial, serial_memory, _, _ = aerolume(["process", raw, "-o", outs["serial"], *common])
        workers, workers_memory, _, _ = aerolume(
            ["process", raw, "-o", outs["workers"], *common, *dask], trace=args.trace)
        print(f"serial: {serial:.1f} s ({args.nights / serial:.2f} nights/s); "
              f"{args.workers} workers: {workers:.1f} s ({args.nights / workers:.2f} nights/s); "
              f"speed-up {serial / workers:.2f}x (cluster start-up included)")
        # The same command again, every night up to date: what the caller does alone
        # (start, read the headers, plan, check the products' times) - the serial part.
        again, _, _, _ = aerolume(["process", raw, "-o", outs["serial"], *common])
        share = again / serial
        print(f"the same command again, every night up to date: {again:.2f} s, the serial "
              f"share {share:.2%} of the serial run; Amdahl for 32 workers: "
              f"{1 / (share + (1 - share) / 32):.1f}x (for 8: {1 / (share + (1 - share) / 8):.1f}x)")
        names = sorted(p.name for p in outs["serial"].iterdir())
        assert len(names) == args.nights, len(names)
        unequal = {n: d for n in names if (d := differences(outs["serial"] / n,
                                                             outs["workers"] / n))}
        print(f"nights identical to the serial run's: {len(names) - len(unequal)} of "
              f"{len(names)}" + (f"; first difference {next(iter(unequal.items()))}"
                                 if unequal else ""))

        _, few_memory, _, _ = aerolume(["process", subset, "-o", outs["few"], *common, *dask],
                                       trace=args.trace)
        mib = 1 << 20
        print(f"caller's peak resident memory on {args.workers} workers: {few} nights "
              f"{few_memory['maxrss'] / mib:.0f} MiB, {args.nights} nights "
              f"{workers_memory['maxrss'] / mib:.0f} MiB, ratio "
              f"{workers_memory['maxrss'] / few_memory['maxrss']:.2f}x")
        if args.trace:
            print(f"caller's peak Python heap (tracemalloc): {few} nights "
                  f"{few_memory['traced'] / mib:.1f} MiB, {args.nights} nights "
                  f"{workers_memory['traced'] / mib:.1f} MiB, ratio "
                  f"{workers_memory['traced'] / few_memory['traced']:.2f}x")
        print(f"(the serial run's peak resident memory, {args.nights} nights in one "
              f"process: {serial_memory['maxrss'] / mib:.0f} MiB)")

        wall, _, err, killed = aerolume(["process", subset, "-o", outs["killed"], *common,
                                         *dask], kill_after=outs["killed"])
        written = sorted(p.name for p in outs["killed"].iterdir())
        left = [n for n in written if n.endswith(".part")]
        same = sum(not differences(outs["serial"] / n, outs["killed"] / n)
                   for n in written if not n.endswith(".part"))
        print(f"a worker killed mid-run (pid {killed}): the run succeeded in {wall:.1f} s, "
              f"{same} of {few} nights identical to the serial run's, "
              f"{len(left)} temporary file(s) left")
    return 0


if __name__ == "__main__":
    sys.exit(main())
