"""The aerolume command end to end on the shipped sample files: products, provenance,
quicklook, the Dask run against the serial one, and every bad-input path."""

import contextlib
import io
import json
import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest
import xarray as xr

from Aerolume.cli import main
from Aerolume.io import read_licel

ROOT = pathlib.Path(__file__).resolve().parent.parent
SAMPLES = sorted((ROOT / "examples" / "data" / "licel").glob("RM*"))
STATION = ROOT / "examples" / "station.toml"


def aerolume(*args):
    """Runs the command in this process: (exit status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main([str(a) for a in args])
    return status, out.getvalue(), err.getvalue()


def config_with(tmp_path, old, new, name="station.toml"):
    text = STATION.read_text()
    assert old in text
    path = tmp_path / name
    path.write_text(text.replace(old, new))
    return path


@pytest.fixture(scope="module")
def night(tmp_path_factory):
    folder = tmp_path_factory.mktemp("night")
    out = folder / "night.nc"
    status, stdout, stderr = aerolume("process", *SAMPLES, "--config", STATION, "-o", out)
    assert status == 0, stderr
    return out, stdout, stderr


def test_process_writes_products_units_and_provenance(night):
    out, stdout, stderr = night
    # One line per retrieval and channel: the share of good gates and why the others not.
    lines = stdout.splitlines()
    assert [line.split(":")[0] for line in lines] == ["Klett-Fernald 355_gl", "Raman 355_gl"]
    assert all("retrieved gates good" in line for line in lines)
    assert "\r" not in stderr  # no progress bar when standard error is not a terminal
    with xr.open_dataset(out) as ds:
        # 2-minute averages aligned to the hour: as many as intervals the profiles fall in.
        starts = read_licel(SAMPLES).time.values.astype("datetime64[s]").astype(np.int64)
        assert ds.sizes["time"] == len(np.unique(starts // 120))
        assert ds.sizes["range"] == 1000 and float(ds.range[-1]) <= 30000.0
        assert list(ds.klett_channel.values) == ["355_gl"]
        assert list(ds.raman_channel.values) == ["355_gl"]
        assert list(ds.raman_signal_channel.values) == ["387_gl"]
        assert {"355_gl", "387_gl"} <= set(ds.channel.values)
        units = {"backscatter": "m-1 sr-1", "backscatter_uncertainty": "m-1 sr-1",
                 "extinction": "m-1", "extinction_uncertainty": "m-1",
                 "raman_extinction": "m-1", "raman_backscatter": "m-1 sr-1",
                 "raman_lidar_ratio": "sr", "raman_lidar_ratio_uncertainty": "sr",
                 "alpha_m": "m-1", "beta_m": "m-1 sr-1", "altitude": "m",
                 "reference_bottom": "m", "range": "m"}
        for name, unit in units.items():
            assert ds[name].attrs["units"] == unit, name
        # A night-time reference above 5 km, and products with positive spreads below it.
        bottom = ds.reference_bottom.values
        assert np.all((bottom >= 5000) & (bottom < 15000))
        below = ds.sel(range=slice(3000, 5000))
        for name in ("backscatter", "raman_backscatter"):
            values = below[name].values
            spread = below[f"{name}_uncertainty"].values
            assert np.isfinite(values).mean() > 0.9
            assert np.all(spread[np.isfinite(spread)] > 0)
        assert np.all(np.isnan(ds.backscatter.sel(range=slice(16000, None)).values))
        # Every retrieved product has its flag; what is flagged good is plausible.
        for flag, product in (("quality_flag", "backscatter"),
                              ("raman_quality_flag", "raman_backscatter")):
            meanings = ds[flag].attrs["flag_meanings"].split()
            assert "below_full_overlap" in meanings and "not_retrieved" in meanings
            assert ds[flag].dims == ds[product].dims
            good = ds[flag].values == 0
            assert good.any()
            values = ds[product].values[good]
            spread = ds[f"{product}_uncertainty"].values[good]
            assert np.all(values >= -2 * spread)
        ratio = ds.raman_lidar_ratio.values[ds.raman_quality_flag.values == 0]
        assert np.all((ratio >= 10) & (ratio <= 150))
        # The cirrus near 12-14 km is a cloud; the references stay below it, and the
        # products in and above it are flagged so.
        base = np.nanmin(ds.cloud_base.values, axis=1)
        assert np.all((base > 11000) & (base < 13000))
        assert ds.cloud_mask.sel(range=slice(12200, 12600)).values.mean() > 0.5
        assert ds.cloud_mask.sel(range=slice(0, 10000)).values.sum() == 0
        assert np.all(ds.reference_top.values[:, 0] <= base)
        in_cloud = ds.cloud_mask.values.astype(bool)
        flags = ds.raman_quality_flag.isel(raman_channel=0).values
        assert np.all(flags[in_cloud] & 4)
        height = ds.boundary_layer_height.values
        assert np.isfinite(height).all() and np.all((height > 300) & (height < 4000))

        attrs = ds.attrs
        from importlib.metadata import version
        assert attrs["aerolume_version"] == version("Aerolume")
        assert attrs["configuration"] == STATION.read_text()
        # Paths relative to the raw files' common folder; each file named by its bytes.
        assert attrs["configuration_file"] == "../../station.toml"
        effective = json.loads(attrs["configuration_effective"])
        assert effective["corrections"]["dead_time"] == {"355_pc": "auto", "387_pc": "auto",
                                                         "408_pc": 4.6}
        assert effective["corrections"]["trigger_delay"] is None  # a default, written back
        assert effective["klett"]["channels_used"] == ["355_gl"]
        assert effective["atmosphere"]["line"] == "total"
        # The headers record the surface air of a tropical site: the standard atmosphere
        # scaled to it, not the mid-latitude standard itself.
        assert attrs["molecular_atmosphere"] == ("US Standard Atmosphere 1976 scaled to "
                                                 "303.15 K and 1013.0 hPa at 100 m (raw file "
                                                 "header)")
        assert attrs["station_altitude"] == 100.0 and attrs["zenith_angle"] == 0.0
        assert list(attrs["source_files"]) == [p.name for p in SAMPLES]
        import hashlib
        assert list(attrs["source_file_sha256"]) == [
            "sha256:" + hashlib.sha256(p.read_bytes()).hexdigest() for p in SAMPLES]
        assert len(attrs["uuid"]) == 36
        assert np.datetime64(attrs["processed_at"].rstrip("Z"))
        assert "aerolume process <5 raw files>" in attrs["history"]
        steps = [s["step"] for s in json.loads(attrs["corrections"])]
        assert {"dead_time", "background", "glue", "average_time"} <= set(steps)


def test_quicklook_draws_a_readable_png(night, tmp_path):
    image = pytest.importorskip("matplotlib.image")
    png = tmp_path / "night.png"
    status, _, stderr = aerolume("quicklook", night[0], "-o", png)
    assert status == 0, stderr
    pixels = image.imread(png)[..., :3]
    height, width = pixels.shape[:2]
    # Two panels (the signal and the retrieved backscatter) beside the profile.
    assert width == 1300 and 650 <= height <= 750
    # Not blank: colour over a good part of the image, and variation within it.
    coloured = (pixels < 0.9).any(axis=-1).mean()
    assert coloured > 0.25 and pixels.std() > 0.1


def test_quicklook_channels_and_files_without_retrievals(night, tmp_path):
    image = pytest.importorskip("matplotlib.image")
    with xr.open_dataset(night[0]) as ds:
        ds.drop_dims(["klett_channel", "raman_channel"]).to_netcdf(tmp_path / "bare.nc")
    status, _, stderr = aerolume("quicklook", tmp_path / "bare.nc", "-o", tmp_path / "b.png",
                                 "--channels", "355_an,355_pc,387_gl")
    assert status == 0, stderr
    three_panels = image.imread(tmp_path / "b.png").shape[0]
    status, _, stderr = aerolume("quicklook", tmp_path / "bare.nc", "-o", tmp_path / "c.png")
    assert status == 0, stderr
    # 2.9 inches a panel and 1.2 for the titles, at 100 dots per inch.
    heights = (three_panels, image.imread(tmp_path / "c.png").shape[0])
    assert abs(heights[0] - 990) <= 1 and abs(heights[1] - 410) <= 1
    status, _, stderr = aerolume("quicklook", night[0], "-o", tmp_path / "d.png",
                                 "--channels", "532_an")
    assert status == 1 and "no channel '532_an'" in stderr


def assert_same_products(a, b, *, skip=(), skip_attrs=()):
    with xr.open_dataset(a) as x, xr.open_dataset(b) as y:
        assert set(x.variables) == set(y.variables)
        for name in x.variables:
            if name in skip:
                continue
            u, v = x[name].values, y[name].values
            if u.dtype.kind == "f":
                assert np.array_equal(u, v, equal_nan=True), name
                # bit for bit, signed zeros included
                assert u.tobytes() == v.tobytes(), name
            else:
                assert np.array_equal(u, v), name
        for key in set(x.attrs) | set(y.attrs):
            if key not in ("processed_at", "history", "uuid", *skip_attrs):
                assert str(x.attrs.get(key)) == str(y.attrs.get(key)), key


@pytest.fixture(scope="module")
def in_blocks(tmp_path_factory):
    """The sample night in blocks of 2 profiles (several units of work), serially."""
    folder = tmp_path_factory.mktemp("blocks")
    cfg = config_with(folder, "block = 100", "block = 2")
    out = folder / "serial.nc"
    status, _, err = aerolume("process", *SAMPLES, "-c", cfg, "-o", out, "-q")
    assert status == 0, err
    return cfg, out


def test_a_local_dask_cluster_gives_the_serial_products(in_blocks, tmp_path):
    pytest.importorskip("distributed")
    cfg, serial = in_blocks
    spread = tmp_path / "dask.nc"
    status, _, err = aerolume("process", *SAMPLES, "-c", cfg, "-o", spread, "--workers", 2)
    assert status == 0, err
    assert_same_products(serial, spread)


def test_an_existing_cluster_gives_the_serial_products(in_blocks, tmp_path):
    distributed = pytest.importorskip("distributed")
    cfg, serial = in_blocks
    spread = tmp_path / "scheduler.nc"
    # Workers as threads of this process, reached over TCP on the loopback interface.
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  protocol="tcp", host="127.0.0.1",
                                  dashboard_address=None) as cluster:
        status, _, err = aerolume("process", *SAMPLES, "-c", cfg, "-o", spread,
                                  "--scheduler", cluster.scheduler_address)
    assert status == 0, err
    assert_same_products(serial, spread)


def test_an_unreachable_scheduler_is_one_line(tmp_path):
    pytest.importorskip("distributed")
    from Aerolume.processing.runners import OnDask

    with pytest.raises(OSError, match="cannot reach Dask scheduler at tcp://127.0.0.1:9"):
        OnDask(scheduler="tcp://127.0.0.1:9", timeout=1)


def test_blocks_do_not_change_the_products(night, in_blocks):
    # Cutting the night into blocks of 2 profiles must not move any time average, nor
    # any Monte Carlo draw (seeded per profile).
    assert_same_products(night[0], in_blocks[1],
                         skip_attrs=["configuration", "configuration_effective",
                                     "configuration_file"])


def test_info_summarises_the_files():
    status, out, err = aerolume("info", *SAMPLES)
    assert status == 0, err
    assert out.startswith("Embrapa: 5 profiles\n")
    assert "100 m above sea level" in out and "UTC" in out
    lines = {line.split()[0]: line for line in out.splitlines() if line[:3].isdigit()}
    assert set(lines) == {"355_an", "355_pc", "387_an", "387_pc", "408_pc"}
    assert "355.0 nm" in lines["355_an"] and "analog" in lines["355_an"]
    assert "16380" in lines["387_pc"] and "7.5 m" in lines["387_pc"]
    assert "photon counting" in lines["408_pc"] and "600" in lines["408_pc"]


# ---- bad input: one line, exit status 1, nothing written ---------------------------------

@pytest.fixture
def damaged(tmp_path):
    """Copies of the samples, the third truncated, and a file that is not a raw file."""
    files = []
    for p in SAMPLES:
        shutil.copy(p, tmp_path / p.name)
        files.append(tmp_path / p.name)
    data = files[2].read_bytes()
    files[2].write_bytes(data[:len(data) // 2])
    text = tmp_path / "notes.txt"
    text.write_text("not a lidar file\n")
    return files, text


# Configurations that are wrong, each with what its error must say.
BAD_CONFIGS = {
    "config field": ("[klett]\nlidar_raito = 4\n", "[klett] lidar_raito: unknown field"),
    "config value": ("[klett]\nlidar_ratio = -4\n", "[klett] lidar_ratio: must be positive"),
    "corrections field": ("[corrections]\ndeadtime = 4\n",
                          "[corrections] deadtime: unknown field"),
    "corrections value": ('[corrections]\nbackground = "sideways"\n',
                          "[corrections]: background must be"),
    "range corrected": ("[corrections]\nrange_correction = true\n",
                        "[corrections] range_correction: the retrievals take"),
    "unknown channel": ('[klett]\nchannels = ["532_an"]\n',
                        "[klett] channels: no channel '532_an'"),
    "raman channel": ('[[raman]]\nelastic = "355_an"\nraman = "386_an"\n',
                      "[[raman]] #1 raman: no channel '386_an'"),
    "reference range": ("[klett]\nreference = [30000, 31000]\n",
                        "[klett] reference: reaches 31000 m, beyond"),
    "sounding missing": ('[atmosphere]\nsounding = "sonde.txt"\n',
                         "[atmosphere] sounding: no such file"),
    "sounding in hPa": ('[atmosphere]\nsounding = "hpa.txt"\n',
                        "[atmosphere] sounding: "),
    "sounding above": ('[atmosphere]\nsounding = "high.txt"\n',
                       "[atmosphere] sounding: "),
}


def bad_case(tmp_path, damaged, case):
    """The arguments of a bad-input case and what its error must say."""
    files, text = damaged
    out = tmp_path / "out.nc"
    if case in BAD_CONFIGS:
        body, message = BAD_CONFIGS[case]
        # A radiosonde whose pressures are in hPa, not Pa.
        (tmp_path / "hpa.txt").write_text("100 1000 300\n5000 540 270\n15000 120 210\n")
        # One that starts 400 m above the station.
        (tmp_path / "high.txt").write_text("500 95000 290\n5000 54000 270\n40000 300 250\n")
        (tmp_path / "bad.toml").write_text(body)
        return (["process", *files[:2], "-c", tmp_path / "bad.toml", "-o", out],
                f"{tmp_path / 'bad.toml'}: {message}")
    missing = tmp_path / "nothere.003"
    return {
        "missing file": (["process", missing, "-o", out], f"{missing}: no such file"),
        "no match": (["process", str(tmp_path / "RX*"), "-o", out], "RX*: no file matches"),
        "truncated file": (["process", *files, "-o", out], f"{files[2]}: truncated"),
        "not a raw file": (["process", files[0], text, "-o", out], f"{text}: "),
        "missing config": (["process", *files[:2], "-c", tmp_path / "none.toml", "-o", out],
                           "none.toml: no such configuration file"),
        "output folder": (["process", *files[:2], "-o", tmp_path / "no" / "out.nc"],
                          f"{tmp_path / 'no' / 'out.nc'}: folder"),
        "output is an input": (["process", *files[:2], "-o", files[1]],
                               f"{files[1]}: is one of the input files"),
        "quicklook input": (["quicklook", text, "-o", tmp_path / "q.png"],
                            f"{text}: not a readable netCDF file"),
        "info missing": (["info", missing], f"{missing}: no such file"),
    }[case]


CASES = [*BAD_CONFIGS, "missing file", "no match", "truncated file", "not a raw file",
         "missing config", "output folder", "output is an input", "quicklook input",
         "info missing"]


@pytest.mark.parametrize("case", CASES)
def test_bad_input_is_one_line_naming_the_problem(tmp_path, damaged, case):
    args, expected = bad_case(tmp_path, damaged, case)
    status, out, err = aerolume(*args)
    assert status == 1
    assert err.startswith("aerolume: error: ") and err.endswith("\n")
    assert err.count("\n") == 1, err
    assert expected in err, err
    assert not (tmp_path / "out.nc").exists() and not (tmp_path / "q.png").exists()
    assert not list(tmp_path.glob(".out.nc.*"))  # no temporary left behind
    # The raw files are untouched.
    assert [f.read_bytes() for f in damaged[0][:2]] == [p.read_bytes() for p in SAMPLES[:2]]


def test_skipping_unreadable_files_warns_and_goes_on(tmp_path, damaged):
    files, _ = damaged
    cfg = config_with(tmp_path, 'errors = "raise"', 'errors = "skip"')
    out = tmp_path / "out.nc"
    status, _, err = aerolume("process", *files, "-c", cfg, "-o", out)
    assert status == 0, err
    assert err.startswith("aerolume: warning: skipped 1 of 5 files:")
    assert f"{files[2]}: truncated" in err
    with xr.open_dataset(out) as ds:
        assert str(files[2]) not in list(ds.attrs["source_files"])
        assert len(ds.attrs["source_files"]) == 4


def test_the_installed_command_reports_without_traceback(tmp_path):
    script = pathlib.Path(sys.executable).with_name("aerolume")
    if not script.exists():
        pytest.skip("the console script is not beside the interpreter")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    done = subprocess.run([str(script), "process", "nothere.003", "-o", "out.nc"],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 1
    assert done.stderr == "aerolume: error: nothere.003: no such file\n"
    done = subprocess.run([str(script), "process"], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 2 and "usage: aerolume process" in done.stderr


def test_sounding_file(tmp_path):
    from Aerolume.atmosphere import standard_atmosphere
    from Aerolume.processing.pipeline import read_sounding

    z = np.arange(0.0, 40001.0, 250.0)
    air = standard_atmosphere(z)
    sonde = tmp_path / "sonde.txt"
    lines = ["# altitude m, pressure Pa, temperature K", "altitude,pressure,temperature"]
    lines += [f"{a},{float(p)!r},{float(t)!r}"
              for a, p, t in zip(z, air.pressure, air.temperature)][::-1]
    sonde.write_text("\n".join(lines) + "\n")
    altitude, pressure, temperature = read_sounding(sonde)
    assert np.array_equal(altitude, z) and np.array_equal(pressure, air.pressure)

    # A sounding that stops at 40 km: products above it are NaN, the rest as usual.
    cfg = config_with(tmp_path, 'line = "total"', 'line = "total"\nsounding = "sonde.txt"')
    out = tmp_path / "sonde.nc"
    status, _, err = aerolume("process", *SAMPLES[:2], "-c", cfg, "-o", out, "-q")
    assert status == 0, err
    with xr.open_dataset(out) as ds:
        density = ds.molecular_number_density.values
        assert np.isfinite(density).all()  # 30 km of range stay inside 40 km of sounding
        expected = standard_atmosphere(ds.altitude.values).number_density
        assert np.allclose(density, expected, rtol=2e-3)
        assert json.loads(ds.attrs["configuration_effective"])["atmosphere"]["sounding"] == \
            "sonde.txt"

    for body, message in (("0 1 2\n", "at least two levels"),
                          ("0 101325 288\n10 1e5\n", "line 2: 2 values"),
                          ("0 101325 288\n10 x 287\n", "line 2: not a number"),
                          ("0 101325 288\n0 101000 287\n", "altitude 0 m appears twice"),
                          ("0 101325 288\n10 -5 287\n", "line 2: pressure and temperature")):
        sonde.write_text(body)
        with pytest.raises(ValueError, match=message) as caught:
            read_sounding(sonde)
        assert str(sonde) in str(caught.value)


def run_on_terminal(args, cwd):
    """Runs the installed command with standard error on a pseudo-terminal; returns the
    exit status and what the terminal received."""
    pty = pytest.importorskip("pty")
    script = pathlib.Path(sys.executable).with_name("aerolume")
    if not script.exists():
        pytest.skip("the console script is not beside the interpreter")
    master, slave = pty.openpty()
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    proc = subprocess.Popen([str(script), *map(str, args)], cwd=cwd, env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=slave)
    os.close(slave)
    received = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the terminal closed with the process
            break
        if not chunk:
            break
        received += chunk
    os.close(master)
    return proc.wait(timeout=120), received.decode("utf-8", "replace")


def test_progress_bar_on_a_terminal_only_unless_quiet(tmp_path):
    args = ["process", *SAMPLES[:3], "-c", STATION, "-o", tmp_path / "t.nc"]
    status, shown = run_on_terminal(args, tmp_path)
    assert status == 0, shown
    assert "\rprocessing   0% [" in shown and "3/3 files" in shown and "100%" in shown
    status, shown = run_on_terminal(args + ["--quiet"], tmp_path)
    assert status == 0 and shown == ""


def test_plan_orders_by_time_and_keeps_averages_whole(tmp_path):
    from Aerolume.processing.pipeline import plan

    files = [str(p) for p in SAMPLES]
    starts = read_licel(SAMPLES).time.values.astype("datetime64[s]").astype(np.int64)
    shuffled = files[::-1]
    # By count: block lengths are multiples of the averaging count.
    blocks = plan(shuffled, 1, step=2)
    assert [f for b in blocks for f in b] == files
    assert [len(b) for b in blocks] == [2, 2, 1]
    # By duration: a block ends only where a new interval starts.
    for block in (1, 2, 3):
        blocks = plan(shuffled, block, interval=120.0)
        keys = [[starts[files.index(f)] // 120 for f in b] for b in blocks]
        assert [f for b in blocks for f in b] == files
        assert all(a[-1] != b[0] for a, b in zip(keys, keys[1:]))
        assert all(len(b) >= block for b in blocks[:-1])


def test_plan_skips_or_refuses_unreadable_headers(tmp_path, damaged):
    from Aerolume.processing.pipeline import plan

    files, text = damaged
    with pytest.raises(ValueError, match=f"^{text}: "):
        plan([str(f) for f in files[:2]] + [str(text)], 10)
    with pytest.warns(RuntimeWarning, match=r"skipped 2 of 6 files") as caught:
        blocks = plan([str(f) for f in files] + [str(text)], 10, errors="skip")
    assert str(files[2]) in str(caught[0].message) and str(text) in str(caught[0].message)
    assert blocks == [[str(f) for i, f in enumerate(files) if i != 2]]


def test_warnings_raised_on_workers_reach_the_caller(tmp_path):
    pytest.importorskip("distributed")
    from Aerolume.processing import pipeline
    from Aerolume.processing.config import load_config
    from Aerolume.processing.runners import OnDask

    # A search range inside the cloud: no profile has a reference, every block warns.
    cfg = load_config(config_with(tmp_path, "reference_search = [5000.0, 15000.0]",
                                  "reference_search = [12000.0, 13500.0]"))
    prepared = pipeline.prepare(SAMPLES, cfg)
    with pytest.warns(RuntimeWarning, match="no molecular reference interval") as here:
        result = pipeline.process(SAMPLES, prepared)
    # The night goes on: NaN where a reference is needed, the Raman extinction regardless.
    ds = result.dataset
    assert np.isnan(ds.backscatter.values).all() and np.isnan(ds.raman_backscatter.values).all()
    assert np.isfinite(ds.raman_extinction.sel(range=slice(3000, 8000)).values).all()
    assert np.isfinite(ds.raman_extinction_uncertainty.sel(range=slice(3000, 8000))).all()
    with OnDask(workers=1) as dask:
        with pytest.warns(RuntimeWarning, match="no molecular reference interval") as there:
            pipeline.process(SAMPLES, prepared, runner=dask)
    assert [str(w.message) for w in here] == [str(w.message) for w in there]


def test_info_names_what_it_could_not_read(damaged):
    files, _ = damaged
    status, out, err = aerolume("info", *files)
    assert status == 0
    assert out.startswith("Embrapa: 4 profiles from 5 files (1 could not be read)")
    assert err.startswith("aerolume: warning: ") and f"{files[2]}: truncated" in err


def test_retrievals_run_on_the_finite_part_of_each_profile(tmp_path):
    # A negative trigger delay leaves the first bins NaN (nothing was recorded there):
    # the retrievals start after them instead of refusing the whole night.
    cfg = config_with(tmp_path, 'average = { time = "2min", range = 4 }',
                      'average = { time = "2min" }\ntrigger_delay = -3')
    out = tmp_path / "shifted.nc"
    status, _, err = aerolume("process", *SAMPLES, "-c", cfg, "-o", out, "-q")
    assert status == 0, err
    with xr.open_dataset(out) as ds:
        assert np.isnan(ds.signal.sel(channel="355_gl").values[:, :3]).all()
        for name in ("backscatter", "raman_extinction", "raman_backscatter"):
            values = ds[name].values[:, 0]
            assert np.isnan(values[:, :3]).all(), name
            # (the overlap estimate leaves its unsupported near range NaN)
            supported = np.isfinite(ds.overlap.values[3:400])
            assert np.isfinite(values[:, 3:400][:, supported]).mean() > 0.9, name


def test_inversion_through_a_cloud_takes_the_clouds_lidar_ratio_only_if_configured(tmp_path):
    # A reference above the cirrus: the inversion runs down through it, with the aerosol
    # lidar ratio there unless [klett] cloud_lidar_ratio says otherwise.
    results = {}
    for name, extra in (("plain", ""), ("cloud", "cloud_lidar_ratio = 25.0\n")):
        config = tmp_path / f"{name}.toml"
        config.write_text("[corrections]\ndead_time = 4.6\nbackground = \"far\"\n"
                          "glue = { window = [0.5, 15.0] }\naverage = { range = 4 }\n"
                          "[klett]\nchannels = [\"355_gl\"]\nreference = [15500.0, 16500.0]\n"
                          + extra + "[uncertainty]\nrealisations = 0\n")
        out = tmp_path / f"{name}.nc"
        status, _, stderr = aerolume("process", *SAMPLES[:2], "--config", config, "-o", out,
                                     "--quiet")
        assert status == 0, stderr
        with xr.open_dataset(out) as ds:
            results[name] = (ds.backscatter.isel(klett_channel=0).values,
                             ds.cloud_mask.values.astype(bool))
    (plain, mask), (cloud, _) = results["plain"], results["cloud"]
    assert mask.any()
    outside = ~mask & np.isfinite(plain)
    # Above the cloud nothing changes; in and below it the cloud's own ratio counts.
    r_top = np.nonzero(mask.any(axis=0))[0].max()
    np.testing.assert_allclose(plain[:, r_top + 3:], cloud[:, r_top + 3:], rtol=1e-6)
    assert not np.allclose(plain[mask], cloud[mask], equal_nan=True)
    assert outside.any()


def test_the_run_gives_the_garbage_collector_back_what_it_froze(tmp_path):
    # The command leaves what it holds at the start out of the collector's passes while it
    # runs; once it ends the collector has it all again, so that commands run in one
    # process do not keep each other's garbage.
    import gc

    assert gc.get_freeze_count() == 0
    assert aerolume("process", *SAMPLES, "-c", STATION, "-o", tmp_path / "a.nc", "-q")[0] == 0
    assert gc.get_freeze_count() == 0


def test_a_night_of_one_file_is_processed_with_the_overlap_estimate_it_allows(tmp_path):
    # One profile holds far gates of no counts, whose noise is zero: the overlap's
    # reference search takes them (it once refused the run, "noise must be finite"); the
    # estimate the single profile does not support is warned of and not applied.
    status, _, stderr = aerolume("process", SAMPLES[0], "-c", STATION, "-o",
                                 tmp_path / "one.nc", "-q")
    assert status == 0, stderr
    assert "overlap" in stderr
