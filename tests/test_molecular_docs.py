"""The guide's cross-section table (docs/guide/atmosphere.md) is what the code prints; the
example figure is made."""
import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run(script, *args, cwd):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "DISPLAY")}
    env["MPLBACKEND"] = "Agg"
    return subprocess.run([sys.executable, str(ROOT / script), *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)


def test_readme_table_is_what_the_code_prints(tmp_path):
    printed = run("scripts/cross-section-table.py", cwd=tmp_path)
    assert printed.returncode == 0, printed.stderr
    page = (ROOT / "docs" / "guide" / "atmosphere.md").read_text(encoding="utf-8")
    assert printed.stdout.strip() in page


@pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None,
                    reason="needs matplotlib (the examples extra)")
def test_example_saves_the_figure(tmp_path):
    output = tmp_path / "molecular.png"
    done = run("examples/molecular_atmosphere.py", "--output", str(output), cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    depths = {int(nm): float(tau) for nm, tau in
              re.findall(r"(\d+) nm: vertical Rayleigh optical depth (\S+)", done.stdout)}
    assert sorted(depths) == [355, 532, 1064]
    assert depths[532] == pytest.approx(0.109, abs=2e-3)
    assert depths[355] > depths[532] > depths[1064]
    data = output.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) > 20_000
