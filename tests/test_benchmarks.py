"""Every benchmark script loads against the installed package: its imports of the package
and of the benchmarks' shared helpers resolve (a renamed helper breaks a benchmark that
nothing else runs)."""
import pathlib
import subprocess
import sys

BENCHMARKS = pathlib.Path(__file__).resolve().parent.parent / "benchmarks"


def test_every_benchmark_script_loads():
    scripts = sorted(str(p) for p in BENCHMARKS.glob("*.py"))
    assert scripts
    code = ("import os, runpy, sys\n"
            "for path in sys.argv[1:]:\n"
            "    sys.path.insert(0, os.path.dirname(path))\n"
            "    runpy.run_path(path, run_name='loaded_by_the_tests')\n")
    done = subprocess.run([sys.executable, "-c", code, *scripts], capture_output=True,
                          text=True, timeout=300, cwd=BENCHMARKS.parent)
    assert done.returncode == 0, done.stderr[-4000:]
