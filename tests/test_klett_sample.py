"""The retrievals on the shipped sample night (examples/data/licel), after the corrections:
a clean-air reference is found, the 355 nm backscatter above the overlap is that of a clean
free troposphere, the Raman extinction is finite with its error, and the example script
draws its figure."""

import importlib.util
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "retrieval_sample.py"


@pytest.fixture(scope="module")
def result():
    spec = importlib.util.spec_from_file_location("retrieval_sample", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.retrieve()


def test_sample_night_is_plausible(result):
    r = result["range"]
    low, high = result["reference"].interval
    assert 3000.0 <= low < high <= 10000.0
    beta_m = result["molecular"]["beta_m"].values
    above = (r > 3000.0) & (r < low)
    ratio = 1.0 + result["klett"]["backscatter"].values[above] / beta_m[above]
    # A clean night-time free troposphere: backscatter ratio within 2 % of 1 at the median
    # gate and within 10 % at every gate; the uncertainty (the background's noise and a
    # 10 sr lidar-ratio uncertainty) small but not nil.  (The gate-to-gate scatter of this
    # analog channel is several times the background noise: the signal's own shot noise.)
    sd = result["klett"]["backscatter_uncertainty"].values[above] / beta_m[above]
    assert np.median(np.abs(ratio - 1.0)) < 0.02
    assert np.all(np.abs(ratio - 1.0) < 0.1)
    assert np.all((sd > 0) & (sd < 0.05))
    extinction = result["extinction"]
    gates = (r > 3000.0) & (r < 6000.0)
    alpha = extinction["extinction"].values[gates]
    error = extinction["extinction_statistical_error"].values[gates]
    assert np.isfinite(alpha).all() and np.all(error > 0)
    # Within 100 Mm-1 of clean air (the channel's residual dead-time effect included).
    assert np.all(np.abs(alpha) < 1e-4)


@pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None,
                    reason="needs matplotlib (the examples extra)")
def test_example_draws_the_figure(tmp_path):
    output = tmp_path / "sample.png"
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "DISPLAY")}
    env["MPLBACKEND"] = "Agg"
    run = subprocess.run([sys.executable, str(EXAMPLE), "--output", str(output)],
                         cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    assert "reference interval" in run.stdout
    assert output.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
