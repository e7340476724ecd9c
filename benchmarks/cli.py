"""Where ``aerolume process`` spends its time, and how it scales out.

1. The sample raw files (the ten shared ones when a folder is given, else the five
   shipped in examples/data/licel): wall time and the share of reading, corrections,
   molecular atmosphere, retrievals and writing.
2. N copies of those files (default 1,000; each copy's header times shifted so that the
   copies form one long night) in a temporary folder: files per second in this process
   and on a local Dask cluster of 2 worker processes, the speed-up, and the cluster's
   start-up time (not counted in its throughput).  Both runs must give the same products.

    python benchmarks/cli.py [--data FOLDER] [--copies 1000] [--config FILE]
"""

from __future__ import annotations

import argparse
import pathlib
import re
import shutil
import statistics
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
SAMPLES = HERE.parent / "examples" / "data" / "licel"
STAMP = re.compile(rb"(\d\d)/(\d\d)/(\d{4}) (\d\d):(\d\d):(\d\d)")


def shifted_copy(source: pathlib.Path, target: pathlib.Path, seconds: int) -> None:
    """`source` copied to `target` with the two header times moved by `seconds`."""
    import datetime

    data = bytearray(source.read_bytes())
    end = data.index(b"\n", data.index(b"\n") + 1)  # the second header line holds the times

    def shift(match):
        d, m, y, hh, mm, ss = (int(g) for g in match.groups())
        t = datetime.datetime(y, m, d, hh, mm, ss) + datetime.timedelta(seconds=seconds)
        return t.strftime("%d/%m/%Y %H:%M:%S").encode()

    line = STAMP.sub(shift, bytes(data[:end]))
    assert len(line) == end
    data[:end] = line
    target.write_bytes(bytes(data))


def make_copies(sources: list[pathlib.Path], folder: pathlib.Path, count: int) -> list[str]:
    span = 60 * len(sources)  # the sample files are consecutive one-minute profiles
    files = []
    for i in range(count):
        source = sources[i % len(sources)]
        target = folder / f"{source.stem}_{i:05d}{source.suffix}"
        shifted_copy(source, target, (i // len(sources)) * span)
        files.append(str(target))
    return files


def run(files, cfg, runner, output):
    from Aerolume.processing import pipeline

    start = time.perf_counter()
    result = pipeline.process(files, cfg, runner=runner)
    pipeline.write(result, output, cfg, stopwatch=result.stopwatch)
    return time.perf_counter() - start, result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", type=pathlib.Path, default=SAMPLES,
                        help="folder of raw files RM* (default: the shipped samples)")
    parser.add_argument("--copies", type=int, default=1000)
    parser.add_argument("--config", type=pathlib.Path, default=None)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=3,
                        help="rounds of the three runs on the copies (default 3)")
    args = parser.parse_args()

    import xarray as xr

    from Aerolume.processing.config import load_config
    from Aerolume.processing.runners import InProcess, OnDask

    cfg = load_config(args.config)
    sources = sorted(args.data.glob("RM*"))
    if not sources:
        print(f"no raw files RM* in {args.data}", file=sys.stderr)
        return 1
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        seconds, result = run([str(s) for s in sources], cfg, InProcess(), tmp / "sample.nc")
        print(f"== aerolume process on {len(sources)} sample files")
        print(result.profile_report(), end="")

        folder = tmp / "copies"
        folder.mkdir()
        files = make_copies(sources, folder, args.copies)
        print(f"\n== {len(files)} copies, {args.repeat} round(s), interleaved "
              "(best and median wall times)")
        one = load_config(args.config)
        one.tables["processing"]["threads"] = 1
        times: dict[str, list[float]] = {"serial": [], "single": [], "dask": []}
        start = time.perf_counter()
        with OnDask(workers=args.workers) as dask:
            startup = time.perf_counter() - start
            each = dask.threads(0)
            for _ in range(args.repeat):
                seconds, result = run(files, cfg, InProcess(), tmp / "serial.nc")
                times["serial"].append(seconds)
                times["single"].append(run(files, one, InProcess(), tmp / "single.nc")[0])
                times["dask"].append(run(files, cfg, dask, tmp / "dask.nc")[0])
        print(result.profile_report(), end="")
        labels = {"serial": "in this process, the core on every core",
                  "single": "in this process, one thread",
                  "dask": f"{args.workers} Dask workers, {each} thread(s) each"}
        best = {k: min(v) for k, v in times.items()}
        for key, label in labels.items():
            median = statistics.median(times[key])
            print(f"{label}: {best[key]:.2f} s ({len(files) / best[key]:.1f} files/s), "
                  f"median {median:.2f} s")
        print(f"(cluster start-up {startup:.1f} s, not counted)")
        print(f"speed-up of the workers over this process: {best['serial'] / best['dask']:.2f}x; "
              f"over one thread: {best['single'] / best['dask']:.2f}x")
        for other in ("single.nc", "dask.nc"):
            a, b = xr.open_dataset(tmp / "serial.nc"), xr.open_dataset(tmp / other)
            with a, b:
                same = all(a[v].values.tobytes() == b[v].values.tobytes() for v in a.data_vars)
            print(f"products of {other[:-3]} identical to the serial ones: {same}")
        shutil.rmtree(folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())
