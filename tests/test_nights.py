"""``aerolume process --split night|day``: one product per night, written by the worker
that makes it; the same files serially and on Dask workers; a second run skips the nights
that are up to date; a worker killed mid-night costs only that night, which is retried."""

import contextlib
import io
import os
import pathlib
import subprocess
import sys

import pytest
import xarray as xr

from Aerolume.processing import nights
from Aerolume.cli import main

ROOT = pathlib.Path(__file__).resolve().parent.parent
SAMPLES = sorted((ROOT / "examples" / "data" / "licel").glob("RM*"))[:2]
sys.path.insert(0, str(ROOT / "benchmarks"))
from cli import shifted_copy  # noqa: E402  (the benchmarks' time-shifted copies)
from year import differences  # noqa: E402  (how the benchmark compares two products)

DAY = 86400


def aerolume(*args):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main([str(a) for a in args])
    return status, out.getvalue(), err.getvalue()


def make_nights(folder, count=3, shift=0):
    """`count` nights of the two first sample files, a day apart, one sub-folder each."""
    for night in range(count):
        sub = folder / f"n{night}"
        sub.mkdir(parents=True, exist_ok=True)
        for source in SAMPLES:
            shifted_copy(source, sub / source.name, night * DAY + shift)
    (folder / "README.md").write_text("not a raw file")
    return folder


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    top = tmp_path_factory.mktemp("tree")
    config = top / "fast.toml"
    config.write_text("[uncertainty]\nrealisations = 0\n")
    return make_nights(top / "raw"), config


def same_product(a, b):
    """Values and attributes equal, but for the stamps of each write."""
    assert differences(a, b) == []


@pytest.fixture(scope="module")
def serial(tree, tmp_path_factory):
    raw, config = tree
    out = tmp_path_factory.mktemp("serial")
    status, stdout, stderr = aerolume("process", raw, "--split", "night", "-o", out,
                                      "-c", config, "-q")
    assert status == 0, stderr
    return out, stderr


def test_one_product_per_night_named_by_site_and_date(serial, tree):
    out, stderr = serial
    names = sorted(p.name for p in out.iterdir())
    assert names == [f"Embrapa_2012061{d}_aerolume.nc" for d in (5, 6, 7)]
    # the README found in the folder is left out, saying so; nothing else is warned about
    assert "README.md" in stderr and "no raw files" in stderr
    with xr.open_dataset(out / names[1]) as ds:
        assert ds.sizes["time"] == 2 and len(ds.attrs["source_files"]) == 2
        assert "--split night" in ds.attrs["history"]
        assert "beta_m" in ds  # the whole product, as for one night without --split


def test_workers_write_the_same_files_as_the_serial_run(serial, tree, tmp_path):
    pytest.importorskip("distributed")
    raw, config = tree
    status, stdout, stderr = aerolume("process", raw, "--split", "night", "-o", tmp_path,
                                      "-c", config, "--workers", "2")
    assert status == 0, stderr
    assert "wrote 3 night(s)" in stdout and "Dask" in stdout
    for product in serial[0].iterdir():
        same_product(product, tmp_path / product.name)
    assert not [p for p in tmp_path.iterdir() if p.name.endswith(".part")]


def test_a_second_run_skips_what_is_up_to_date_and_redoes_what_changed(tree, tmp_path):
    raw, config = tree
    args = ("process", raw, "--split", "night", "-o", tmp_path, "-c", config)
    assert aerolume(*args)[0] == 0
    made = {p.name: p.stat().st_mtime_ns for p in tmp_path.iterdir()}
    status, stdout, _ = aerolume(*args)
    assert status == 0 and "wrote 0 night(s)" in stdout
    assert "skipped 3 up to date (20120615 to 20120617)" in stdout
    assert {p.name: p.stat().st_mtime_ns for p in tmp_path.iterdir()} == made
    # a raw file newer than its night's product: that night alone again
    touched = next((raw / "n1").iterdir())
    later = max(made.values()) + 10 ** 9
    os.utime(touched, ns=(later, later))
    status, stdout, _ = aerolume(*args)
    assert "wrote 1 night(s)" in stdout and "skipped 2" in stdout
    assert "Embrapa_20120616_aerolume.nc" in stdout
    # a changed configuration: every night; --overwrite: every night whatever the times
    os.utime(config, ns=(later + 10 ** 9,) * 2)
    assert "wrote 3 night(s)" in aerolume(*args)[1]
    assert "wrote 3 night(s)" in aerolume(*args, "--overwrite")[1]


def test_nights_span_midnight_and_days_do_not(tmp_path):
    # just before and at 00:00 UTC: one night (local solar noon to noon, the site at 60 W,
    # named after its evening), two UTC days
    source = SAMPLES[0]
    first = tmp_path / "a.raw"
    shifted_copy(source, first, 0)
    from Aerolume import _core
    start = _core.licel_scan([str(first)], 1)[0][0].start
    to_midnight = DAY - start % DAY
    shifted_copy(source, tmp_path / "b.raw", to_midnight - 60)
    shifted_copy(source, tmp_path / "c.raw", to_midnight)
    files = [tmp_path / n for n in ("c.raw", "b.raw")]
    by_night = nights.plan_nights(files, tmp_path, "night", found=files)  # (each read once)
    by_day = nights.plan_nights(files, tmp_path, "day")
    assert [len(n.files) for n in by_night] == [2] and by_night[0].date == "20120615"
    assert by_night[0].files == tuple(str(f) for f in reversed(files))  # time order
    assert [(n.date, len(n.files)) for n in by_day] == [("20120615", 1), ("20120616", 1)]
    assert by_day[1].output == str(tmp_path / "Embrapa_20120616_aerolume.nc")


def test_product_names_keep_to_safe_characters():
    assert nights.product_name("Embrapa", "20120616") == "Embrapa_20120616_aerolume.nc"
    assert nights.product_name(" São Paulo/2 ", "20120616") == "S-o-Paulo-2_20120616_aerolume.nc"
    assert nights.product_name("", "20120616") == "site_20120616_aerolume.nc"


@pytest.mark.parametrize("args, message", [
    (["--split", "night", "-o", "missing"], "with --split, -o names the folder"),
    (["--overwrite", "-o", "x.nc"], "--overwrite goes with --split"),
])
def test_wrong_use_is_one_line(tree, tmp_path, monkeypatch, args, message):
    raw, _ = tree
    monkeypatch.chdir(tmp_path)
    status, _, stderr = aerolume("process", raw / "n0" / SAMPLES[0].name, *args)
    assert status == 1 and message in stderr and stderr.count("\n") == 1


def test_a_bad_raw_file_named_fails_naming_it(tree, tmp_path):
    raw, config = tree
    bad = tmp_path / "bad.raw"
    bad.write_bytes(b"\x00" * 100)
    status, _, stderr = aerolume("process", raw / "n0", bad, "--split", "day", "-o",
                                 tmp_path, "-c", config)
    assert status == 1 and "bad.raw" in stderr


KILL = """
import os, pathlib, sys
from Aerolume.processing import nights
from Aerolume.processing.config import load_config
from Aerolume.processing.runners import OnDask

MARK = pathlib.Path({mark!r})

def dies_once(night, *args, stopwatch=None):
    # the worker running the second night dies in the middle of it, the first time only
    if night.date == "20120616" and not MARK.exists():
        MARK.write_text("killed")
        nights.night_task(night, *args)   # written ...
        path = pathlib.Path(night.output)  # ... then gone, as if killed before the rename,
        path.rename(path.parent / f".{{path.name}}.killed01.part")  # its .part left behind
        os._exit(1)
    return nights.night_task(night, *args, stopwatch=stopwatch)

if __name__ == "__main__":
    cfg = load_config({config!r})
    planned = nights.plan_nights([], {out!r}, "night", found=nights.walk({raw!r}))
    with OnDask(workers=2) as run:
        results = run.map(dies_once, planned, cfg, 1)
    print(sorted(pathlib.Path(r.value.output).name for r in results))
"""


@pytest.mark.faults
def test_a_worker_killed_mid_night_costs_only_that_night(serial, tree, tmp_path):
    pytest.importorskip("distributed")
    raw, config = tree
    out = tmp_path / "out"
    out.mkdir()
    script = tmp_path / "kill.py"
    script.write_text(KILL.format(mark=str(tmp_path / "mark"), config=str(config),
                                  raw=str(raw), out=str(out)))
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    run = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env, text=True,
                         capture_output=True, timeout=180)
    assert run.returncode == 0, run.stderr[-3000:]
    assert (tmp_path / "mark").exists()  # the worker did die
    assert run.stdout.count("_aerolume.nc") == 3
    for product in serial[0].iterdir():
        same_product(product, out / product.name)
    assert sorted(p.name for p in out.iterdir()) == sorted(p.name for p in serial[0].iterdir())
