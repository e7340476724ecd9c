"""The end-to-end example runs headless and recovers the system constant it built."""
import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "lidar_profile.py"


@pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None,
                    reason="needs matplotlib (the examples extra)")
def test_example_writes_the_figure_and_recovers_C(tmp_path):
    output = tmp_path / "figure" / "profile.png"
    output.parent.mkdir()
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "DISPLAY")}
    env["MPLBACKEND"] = "Agg"
    run = subprocess.run([sys.executable, str(EXAMPLE), "--output", str(output)],
                         cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    # The first two diagnostic lines of remove_background_and_noise, the rest captured.
    assert lines[0].startswith("noise is: ") and lines[1].startswith("background is: ")
    assert len(lines) == 5, run.stdout
    built, fitted = map(float, re.search(r"built (\S+), fitted (\S+),", run.stdout).groups())
    assert built == 1000.0
    assert fitted == pytest.approx(built, rel=1e-2)
    data = output.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) > 20_000
