"""The demonstration fit that runs when Aerolume.lumafit executes under the name "__main__"."""

import json
import os
import subprocess
import sys

import numpy as np

import Aerolume.lumafit as lumafit

BETA_LABEL = "气溶胶后向散射系数 βA(z):"
C_LABEL = "系统常数 C:"
SCRIPT_NAMES = ["lidar_signal", "distances", "wavelength", "beta_A", "C"]


def run(tmp_path, *args):
    """A fresh interpreter of this environment, started outside the source tree."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["PYTHONIOENCODING"] = "utf-8"
    return subprocess.run([sys.executable, *args], cwd=tmp_path, env=env, capture_output=True,
                          encoding="utf-8", timeout=300)


def test_python_m_aerolume_prints_the_two_lines(tmp_path):
    done = run(tmp_path, "-m", "Aerolume")
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert out.startswith(BETA_LABEL + " [")
    profile, _, constant = out.rpartition("\n" + C_LABEL + " ")
    # numpy spreads the 100 values over several lines
    values = np.array(profile[len(BETA_LABEL) + 1:].strip("[] \n").split(), dtype=float)
    assert values.shape == (100,) and values[0] == 0
    assert constant.endswith("\n") and "\n" not in constant[:-1]
    float(constant)


def test_script_binds_its_globals(tmp_path):
    code = """if True:
        import io, json, contextlib
        from Aerolume.__main__ import main
        with contextlib.redirect_stdout(io.StringIO()) as out:
            m = main()
        names = [k for k in vars(m) if k in {"lidar_signal", "distances", "wavelength",
                                             "beta_A", "C", "__test__"}]
        print(json.dumps({
            "name": m.__name__, "names": names, "test": m.__test__,
            "distances": m.distances.tolist(), "wavelength": m.wavelength,
            "signal": m.lidar_signal.tolist(), "beta_A": m.beta_A.tolist(), "C": float(m.C),
            "printed": out.getvalue(),
        }))
    """
    done = run(tmp_path, "-c", code)
    assert done.returncode == 0, done.stderr
    r = json.loads(done.stdout)
    assert r["name"] == "__main__"
    assert r["names"] == SCRIPT_NAMES + ["__test__"] and r["test"] == {}
    np.testing.assert_array_equal(r["distances"], np.linspace(30, 10000, 100))
    assert r["wavelength"] == 5.32e-7
    signal = np.array(r["signal"])
    assert signal.shape == (100,) and np.all((signal >= 0) & (signal < 0.001))
    assert len(r["beta_A"]) == 100 and r["beta_A"][0] == 0
    lines = r["printed"].splitlines()
    assert lines[0].startswith(BETA_LABEL + " ") and lines[-1] == f"{C_LABEL} {r['C']!r}"


def test_failing_script_reports_its_line(tmp_path):
    # NaN data make curve_fit refuse the fit inside rayleigh_fit, called at line 237.
    code = """if True:
        import json, traceback
        import numpy
        numpy.random.random = lambda n: numpy.full(n, numpy.nan)
        from Aerolume.__main__ import main
        try:
            main()
        except ValueError as e:
            print(json.dumps([[f.name, f.lineno, f.filename]
                              for f in traceback.extract_tb(e.__traceback__)]))
    """
    done = run(tmp_path, "-c", code)
    assert done.returncode == 0, done.stderr
    entries = [tuple(e) for e in json.loads(done.stdout)
               if e[0].startswith(("init ", "Aerolume."))]
    assert entries == [("init Aerolume.lumafit", 237, "Aerolume\\lumafit"),
                       ("Aerolume.lumafit.rayleigh_fit", 210, "Aerolume\\lumafit")]


def test_ordinary_import_runs_no_script(tmp_path):
    done = run(tmp_path, "-c", "import Aerolume.lumafit")
    assert done.returncode == 0, done.stderr
    assert done.stdout == ""
    assert lumafit.__name__ == "Aerolume.lumafit"
    assert not set(SCRIPT_NAMES) & set(vars(lumafit))
