"""``aerolume process`` of this checkout against another installation (e.g. an earlier
commit in its own virtual environment), both timed as subprocesses in one run on the same
files; and the cost of the night's quality steps.

1. N time-shifted copies of the raw files (default 1,000 of the shared night's ten files,
   made as benchmarks/cli.py makes them) processed with a configuration (default
   examples/station.toml) by this interpreter's installation and by ``--baseline PYTHON``,
   alternately, ``--repeat`` rounds: best and median wall times and their ratio, and how
   far the two products differ.
2. With ``--quality``: the sample files processed with the configuration as it is (dead
   time calibrated, overlap estimated, clouds and boundary layer, offset fit) and with
   those steps off (the configured dead times of the calibration, no overlap, no clouds,
   no offset fit), alternately: the ratio of the two times.

    python benchmarks/process_speed.py --baseline ../base/.venv/bin/python [--copies 1000]
        [--baseline-config ../base/examples/station.toml]
    python benchmarks/process_speed.py --quality

To install an earlier commit beside this one (from the repository root):

    git worktree add --detach ../base f87228b
    python -m venv ../base/.venv && ../base/.venv/bin/pip install ../base
"""

from __future__ import annotations

import argparse
import pathlib
import re
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
SHARED = ROOT.parent / "shared" / "data" / "licel"
SAMPLES = SHARED if SHARED.is_dir() else ROOT / "examples" / "data" / "licel"
sys.path.insert(0, str(HERE))

from cli import make_copies  # noqa: E402


def timed(python: str, files: list[str], config: pathlib.Path, output: pathlib.Path,
          cwd: pathlib.Path) -> float:
    """Wall time of ``aerolume process`` by `python` (run outside the source tree)."""
    command = [python, "-c", "import sys; from Aerolume.cli import main; "
               "sys.exit(main(sys.argv[1:]))", "process", *files, "--config", str(config),
               "-o", str(output), "--quiet"]
    start = time.perf_counter()
    done = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit(f"{python}: aerolume process failed:\n{done.stderr[-3000:]}")
    return seconds


def compare(a_path: pathlib.Path, b_path: pathlib.Path) -> str:
    import numpy as np
    import xarray as xr

    with xr.open_dataset(a_path) as a, xr.open_dataset(b_path) as b:
        identical, worst, name = [], 0.0, ""
        for v in a.data_vars:
            if v not in b.data_vars:
                continue
            x, y = a[v].values, b[v].values
            if x.shape != y.shape:
                continue
            if x.tobytes() == y.tobytes():
                identical.append(v)
            elif x.dtype.kind == "f":
                ok = np.isfinite(x) & np.isfinite(y)
                scale = np.nanmax(np.abs(x[ok])) if ok.any() else 1.0
                d = float(np.max(np.abs(x[ok] - y[ok])) / scale) if ok.any() else 0.0
                if d > worst:
                    worst, name = d, v
        return (f"{len(identical)} of {len(a.data_vars)} variables identical; the largest "
                f"difference elsewhere {worst:.1e} of the variable's largest value ({name})")


def steps_off(text: str) -> str:
    """The configuration with the night's quality steps off."""
    text = re.sub(r'dead_time = \{[^}]*\}', 'dead_time = { "355_pc" = 4.58, "387_pc" = 4.52, '
                  '"408_pc" = 4.6 }', text)
    text = re.sub(r'^dead_time_calibration = .*$', '', text, flags=re.M)
    text = re.sub(r'^overlap = .*$', '', text, flags=re.M)
    text = re.sub(r'^fit_offset = true', 'fit_offset = false', text, flags=re.M)
    text = text.replace("[clouds]", "[clouds]\ndetect = false", 1)
    return text


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--baseline", help="python of the installation to compare with")
    parser.add_argument("--data", type=pathlib.Path, default=SAMPLES)
    parser.add_argument("--copies", type=int, default=1000)
    parser.add_argument("--config", type=pathlib.Path, default=ROOT / "examples" / "station.toml")
    parser.add_argument("--baseline-config", type=pathlib.Path, default=None,
                        help="the baseline's own configuration (an earlier commit's "
                        "station.toml, where its settings differ); --config by default")
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--quality", action="store_true", help="time the quality steps")
    args = parser.parse_args()
    sources = sorted(args.data.glob("RM*"))
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        if args.baseline:
            folder = tmp / "copies"
            folder.mkdir()
            files = make_copies(sources, folder, args.copies)
            runs = {"this": sys.executable, "baseline": args.baseline}
            configs = {"this": args.config, "baseline": args.baseline_config or args.config}
            times = {k: [] for k in runs}
            for _ in range(args.repeat):
                for key, python in runs.items():
                    times[key].append(timed(python, files, configs[key], tmp / f"{key}.nc",
                                            tmp))
            best = {k: min(v) for k, v in times.items()}
            print(f"== aerolume process, {len(files)} copies of {len(sources)} files, "
                  f"{args.config.name}, {args.repeat} round(s) (best, median)")
            for key, python in runs.items():
                print(f"{key} ({python}): {best[key]:.2f} s ({len(files) / best[key]:.0f} "
                      f"files/s), median {statistics.median(times[key]):.2f} s")
            print(f"this / baseline: {best['baseline'] / best['this']:.2f}x faster")
            print("products: " + compare(tmp / "baseline.nc", tmp / "this.nc"))
        if args.quality:
            off = tmp / "steps_off.toml"
            off.write_text(steps_off(args.config.read_text()))
            files = [str(s) for s in sources]
            configs = {"steps on": args.config, "steps off": off}
            times = {k: [] for k in configs}
            for _ in range(max(args.repeat, 3)):
                for key, config in configs.items():
                    times[key].append(timed(sys.executable, files, config, tmp / "q.nc", tmp))
            best = {k: min(v) for k, v in times.items()}
            print(f"== the quality steps on {len(files)} files (best of {len(times['steps on'])})")
            for key in configs:
                print(f"{key}: {best[key]:.2f} s (median {statistics.median(times[key]):.2f} s)")
            print(f"on / off: {best['steps on'] / best['steps off']:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
