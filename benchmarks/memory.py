"""The peak memory of ``aerolume process`` on one night against the size of that night's
product in memory, and whether it grows with the nights of one command.

In a child process each: one night of N time-shifted copies of the sample files
(default 300) processed and written by the command (block by block into the file), above
the program itself (the modules the command loads, imported first), the product's size
from the same night joined in memory by ``pipeline.process`` (another child), the Python heap's peak
(tracemalloc: NumPy's arrays included) and, in runs of their own, the growth of the
resident set (getrusage) over the product's ``nbytes``, as the first night of a process
and after a first small night (the sample files); then ``--split night`` over 1 and over
K such nights (default 4) in one command, the peaks side by side.  (Linux: the peak
resident set is read from /proc.)

    python benchmarks/memory.py [--files 300] [--nights 4] [--config FILE]
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:] = [p for p in sys.path if pathlib.Path(p or os.getcwd()).resolve() != HERE.parent]
sys.path.insert(0, str(HERE))

from cli import make_copies, shifted_copy  # noqa: E402

SHARED = HERE.parent.parent / "shared" / "data" / "licel"
STATION = HERE.parent / "examples" / "station.toml"

#: One night processed and written in a child by the command: its peaks above the
#: program itself (the modules the command loads, imported before the baseline: their
#: code is no memory of the night's).
ONE = """
import importlib, json, resource, sys, tracemalloc, warnings
warnings.simplefilter("ignore")
from Aerolume.cli import main
for name in json.loads(sys.argv[4]):
    try:
        importlib.import_module(name)
    except Exception:
        pass

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()

files, out, config, trace = json.loads(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[5]
if len(sys.argv) > 6:  # a first night run before: the libraries and threads it starts
    main(["process", *json.loads(sys.argv[6]), "-c", config, "-o", out, "-q"])
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # (the peak resident set starts again from here)
base = rss()
if trace == "trace":
    tracemalloc.start()
status = main(["process", *files, "-c", config, "-o", out, "-q"])
if trace == "trace":
    print(json.dumps({"status": status, "traced": tracemalloc.get_traced_memory()[1]}))
else:
    with open("/proc/self/status") as f:  # (the peak since the start, or the reset)
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    print(json.dumps({"status": status, "rss_growth": peak * 1024 - base}))
"""

#: The modules the command loads (on the sample files).
MODULES = """
import json, sys, warnings
warnings.simplefilter("ignore")
from Aerolume.cli import main
main(["process", *json.loads(sys.argv[1]), "-c", sys.argv[3], "-o", sys.argv[2], "-q"])
print(json.dumps({"modules": sorted(m for m in sys.modules if not m.startswith("__"))}))
"""

#: The same night's product joined in memory (pipeline.process): its size.
SIZE = """
import json, sys, warnings
warnings.simplefilter("ignore")
from Aerolume.processing import pipeline
from Aerolume.processing.config import load_config
files, config = json.loads(sys.argv[1]), load_config(sys.argv[2])
print(json.dumps({"product": pipeline.process(files, config).dataset.nbytes}))
"""

#: --split night over a folder of nights in one command: the peaks.
MANY = """
import json, resource, sys, tracemalloc, warnings
warnings.simplefilter("ignore")
tracemalloc.start()
from Aerolume.cli import main
status = main(sys.argv[1:])
print(json.dumps({"status": status, "traced": tracemalloc.get_traced_memory()[1],
                  "maxrss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024}))
"""


def child(code, *args):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    run = subprocess.run([sys.executable, "-c", code, *map(str, args)], env=env, text=True,
                         capture_output=True)
    if run.returncode != 0:
        raise RuntimeError(run.stderr[-3000:])
    return json.loads(run.stdout.strip().splitlines()[-1])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=300)
    parser.add_argument("--nights", type=int, default=4)
    parser.add_argument("--config", type=pathlib.Path, default=STATION)
    parser.add_argument("--data", type=pathlib.Path,
                        default=SHARED if SHARED.is_dir() else HERE.parent / "examples" /
                        "data" / "licel")
    args = parser.parse_args()
    sources = sorted(args.data.glob("RM*"))
    mib = 1 << 20
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        first = tmp / "raw" / "night0"
        first.mkdir(parents=True)
        files = make_copies(sources, first, args.files)
        modules = child(MODULES, json.dumps([str(f) for f in sources]), tmp / "m.nc",
                        args.config)["modules"]
        # (the heap and the resident set in two runs: tracemalloc's own records of every
        # allocation would count in the resident set)
        one = child(ONE, json.dumps(files), tmp / "one.nc", args.config, json.dumps(modules),
                    "trace")
        one.update(child(ONE, json.dumps(files), tmp / "two.nc", args.config,
                         json.dumps(modules), "resident"))
        # the same after a first small night in the process (the sample files): what the
        # netCDF and HDF5 libraries, the BLAS and the core's threads set up once is not
        # counted (every night but the first of a --split run)
        later = child(ONE, json.dumps(files), tmp / "three.nc", args.config,
                      json.dumps(modules), "resident", json.dumps([str(f) for f in sources]))
        one.update(child(SIZE, json.dumps(files), args.config))
        print(f"== one night of {args.files} files: product {one['product'] / mib:.1f} MiB in "
              f"memory; peak Python heap {one['traced'] / mib:.1f} MiB "
              f"({one['traced'] / one['product']:.2f}x the product), resident growth "
              f"{one['rss_growth'] / mib:.1f} MiB ({one['rss_growth'] / one['product']:.2f}x); "
              f"after a first small night {later['rss_growth'] / mib:.1f} MiB "
              f"({later['rss_growth'] / one['product']:.2f}x)")
        for night in range(1, args.nights):
            folder = tmp / "raw" / f"night{night}"
            folder.mkdir()
            for f in files:
                shifted_copy(pathlib.Path(f), folder / pathlib.Path(f).name, night * 86400)
        peaks = {}
        for count in (1, args.nights):
            top = tmp / f"tree{count}"
            for night in range(count):
                (top / f"night{night}").mkdir(parents=True)
                for f in (tmp / "raw" / f"night{night}").iterdir():
                    os.link(f, top / f"night{night}" / f.name)
            out = tmp / f"out{count}"
            out.mkdir()
            peaks[count] = child(MANY, "process", top, "--split", "night", "-o", out, "-c",
                                 args.config, "-q")
        a, b = peaks[1], peaks[args.nights]
        print(f"--split night in one command, 1 night: peak heap {a['traced'] / mib:.1f} MiB, "
              f"resident {a['maxrss'] / mib:.0f} MiB; {args.nights} nights: heap "
              f"{b['traced'] / mib:.1f} MiB, resident {b['maxrss'] / mib:.0f} MiB; ratio "
              f"heap {b['traced'] / a['traced']:.2f}x, resident {b['maxrss'] / a['maxrss']:.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
