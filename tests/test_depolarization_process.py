"""Depolarisation in ``aerolume process``: simulated polarised raw files with a ±45°
calibration of their own, a second night on the calibration history, the bad inputs
refused before any work, and a night without polarised channels left as it was."""

import contextlib
import datetime
import io
import json
import pathlib
import re
import warnings


import numpy as np
import pytest
import xarray as xr

from Aerolume.cli import main
from Aerolume.quality import DEPOLARIZATION_BITS, DEPOLARIZATION_ONLY, FLAGS

ROOT = pathlib.Path(__file__).resolve().parent.parent
import polarized_night as night  # noqa: E402
SAMPLES = sorted((ROOT / "examples" / "data" / "licel").glob("RM*"))
STATION = ROOT / "examples" / "station.toml"

CONFIG = """
[station]
station_id = "tst"
[corrections]
background = "far"
average = {{ range = 4 }}
[atmosphere]
model = "us1976"
[klett]
lidar_ratio = 50.0
reference_search = [6000.0, 12000.0]
# (the background is the simulation's own constant: no residual offset to fit, and
# its fit over the weak 532 nm reference would bias the backscatter by its noise)
fit_offset = false
[uncertainty]
realisations = 20
[processing]
max_range = 15000.0

[[depolarization]]
{table}
"""
MEASURED = """plus45 = "cal/plus45"
minus45 = "cal/minus45"
history = "history"
station = "tst"
"""


def aerolume(*args):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main([str(a) for a in args])
    return status, out.getvalue(), err.getvalue()


def config(folder, table):
    path = folder / "lidar.toml"
    path.write_text(CONFIG.format(table=table))
    return path


@pytest.fixture(scope="module")
def nights(tmp_path_factory):
    """Two nights of the polarised receiver: the first with its ±45° calibration files,
    the second without (it takes the first's from the history)."""
    folder = tmp_path_factory.mktemp("polarized")
    night.write_calibration(folder / "cal")
    first = night.write_night(folder / "night1")
    second = night.write_night(folder / "night2", seed=5,
                               start=datetime.datetime(2026, 3, 3, 22, 0, 0))
    cfg = config(folder, MEASURED)
    out1 = folder / "night1.nc"
    status, stdout, stderr = aerolume("process", *first, "--config", cfg, "-o", out1, "-q")
    assert status == 0, stderr
    cfg2 = folder / "second.toml"
    cfg2.write_text(CONFIG.format(table='history = "history"\nstation = "tst"'))
    out2 = folder / "night2.nc"
    status, stdout2, stderr = aerolume("process", *second, "--config", cfg2, "-o", out2)
    assert status == 0, stderr
    assert "latest earlier calibration, of 2026-03-01" in stderr  # the warning, once
    assert stderr.count("latest earlier") == 1
    return folder, xr.load_dataset(out1), xr.load_dataset(out2), stdout2


def test_particle_depolarization_is_recovered_where_the_backscatter_ratio_exceeds_2(nights):
    _, ds, _, _ = nights
    assert list(ds["depolarization_channel"].values) == ["532s_pc"]
    assert list(ds["depolarization_co_channel"].values) == ["532p_pc"]
    # Klett-Fernald ran on the total signal of the pair, not on its two channels.
    assert "532_pc" in list(ds["klett_channel"].values)
    assert not {"532p_pc", "532s_pc"} & set(ds["klett_channel"].values.tolist())
    assert ds["backscatter_ratio"].attrs.get("source_channel") == "532_pc"
    beta, dp, mol = night.truth()
    r = ds["range"].values
    true_dp = np.interp(r, night.RANGE, dp)
    true_ratio = 1.0 + np.interp(r, night.RANGE, beta) / np.interp(r, night.RANGE,
                                                                     mol["beta_m"].values)
    one = ds.sel(depolarization_channel="532s_pc")
    delta_p = one["particle_depolarization"].mean("time").values
    # The layers' gates with R > 2 (edges of the 30 m gates excluded), dust then smoke.
    for bottom, top, _, value in night.LAYERS:
        inside = (r > bottom + 60.0) & (r < top - 60.0) & (true_ratio > 2.0)
        assert inside.sum() > 20
        error = delta_p[inside] - value
        assert np.abs(error).max() < 0.02, (value, np.abs(error).max())
        np.testing.assert_allclose(true_dp[inside], value)
    # delta_p flagged where the backscatter ratio is low, not in the layers.
    flag = one["particle_depolarization_flag"].values
    ratio = one["backscatter_ratio"].values
    low = (flag & FLAGS["low_backscatter_ratio"]) != 0
    assert np.array_equal(low, ~(ratio >= 2.0))
    # Monte Carlo uncertainties cover the scatter of the profiles.
    sd = one["volume_depolarization_uncertainty"].values
    inside = (r > 1600.0) & (r < 2600.0)
    scatter = one["volume_depolarization"].values[:, inside].std(axis=0)
    assert 0.5 < np.median(sd[:, inside]) / np.median(scatter) < 2.0


def test_a_total_cross_receiver(tmp_path):
    """A total channel (letter o) and a cross one: Klett-Fernald on the total channel, the
    cross channel left out of the retrieval, delta_p recovered as well."""
    night.write_calibration(tmp_path / "cal", co="total")
    files = night.write_night(tmp_path / "data", co="total")
    out = tmp_path / "out.nc"
    status, _, stderr = aerolume("process", *files, "--config", config(tmp_path, MEASURED),
                                 "-o", out, "-q")
    assert status == 0, stderr
    ds = xr.load_dataset(out)
    assert list(ds["klett_channel"].values) == ["355_pc", "532_pc"]
    one = ds.sel(depolarization_channel="532s_pc")
    assert str(one["depolarization_co_channel"].values) == "532_pc"
    assert float(one["depolarization_eta"]) == pytest.approx(night.ETA, rel=0.01)
    r = ds["range"].values
    delta_p = one["particle_depolarization"].mean("time").values
    for bottom, top, _, value in night.LAYERS:
        inside = (r > bottom + 60.0) & (r < top - 60.0)
        assert np.abs(delta_p[inside] - value).max() < 0.02, value


def test_the_calibration_used_is_recorded(nights):
    folder, ds, _, _ = nights
    one = ds.sel(depolarization_channel="532s_pc")
    eta_star = float(one["depolarization_eta_star"])
    assert eta_star == pytest.approx(night.ETA, rel=0.01)
    assert 0 < float(one["depolarization_eta_star_uncertainty"]) < 0.01 * eta_star
    assert abs(float(one["depolarization_misalignment"]) - night.MISALIGNMENT) < 0.5
    assert str(one["depolarization_calibration_method"].values) == "delta90"
    assert str(one["depolarization_calibration_origin"].values) == "measured"
    assert str(one["depolarization_calibration_time"].values).startswith("2026-03-01T21:50")
    files = str(one["depolarization_calibration_file"].values)
    assert files.startswith("CP") and "CM" in files and "/" not in files
    flag = one["volume_depolarization_flag"].values
    calibration_bits = FLAGS["calibration_from_history"] | FLAGS["calibration_out_of_date"]
    assert not (flag & calibration_bits).any()
    stored = json.loads((folder / "history" / "tst_20260301_depolarization.json").read_text())
    assert stored["calibrations"][0]["eta_star"] == pytest.approx(eta_star)
    # CF attributes from the one table
    assert ds["volume_depolarization"].attrs["units"] == "1"
    assert "volume_depolarization_flag" in ds["volume_depolarization"].attrs[
        "ancillary_variables"]
    meanings = ds["particle_depolarization_flag"].attrs["flag_meanings"].split()
    assert meanings == [n for n in FLAGS if n in DEPOLARIZATION_BITS]
    assert list(ds["particle_depolarization_flag"].attrs["flag_masks"]) == [
        FLAGS[n] for n in meanings]


def test_a_night_without_calibration_takes_the_history_and_says_so(nights):
    _, first, ds, stdout = nights
    one = ds.sel(depolarization_channel="532s_pc")
    assert str(one["depolarization_calibration_origin"].values) == "history"
    assert str(one["depolarization_calibration_file"].values) == \
        "tst_20260301_depolarization.json"
    assert float(one["depolarization_eta_star"]) == float(
        first["depolarization_eta_star"].sel(depolarization_channel="532s_pc"))
    flag = one["volume_depolarization_flag"].values
    assert ((flag & FLAGS["calibration_from_history"]) != 0).all()
    assert not (flag & FLAGS["calibration_out_of_date"]).any()  # 2 days < 30
    assert "volume depolarisation 532s_pc" in stdout


def test_the_ratios_and_their_uncertainties_do_not_depend_on_the_blocks(nights):
    folder, ds, _, _ = nights
    cfg = folder / "blocks.toml"
    cfg.write_text((folder / "lidar.toml").read_text().replace("[processing]",
                                                               "[processing]\nblock = 2"))
    out = folder / "blocks.nc"
    files = sorted((folder / "night1").iterdir())
    status, _, stderr = aerolume("process", *files, "--config", cfg, "-o", out, "-q")
    assert status == 0, stderr
    blocks = xr.load_dataset(out)
    for name in ("volume_depolarization", "particle_depolarization"):
        for suffix in ("", "_uncertainty", "_flag"):
            np.testing.assert_array_equal(blocks[name + suffix].values,
                                          ds[name + suffix].values, err_msg=name + suffix)


def test_quicklook_and_earlinet_export_carry_the_depolarization(nights, tmp_path):
    folder = nights[0]
    product = folder / "night1.nc"
    status, _, stderr = aerolume("export", product, "--format", "earlinet", "-o", tmp_path,
                                 "--config", folder / "lidar.toml")
    assert status == 0, stderr
    written = sorted(p.name for p in tmp_path.glob("*.nc"))
    assert any(n.startswith("tst_depolarization_532_") for n in written), written
    path = next(tmp_path.glob("tst_depolarization_532_*.nc"))
    with xr.open_dataset(path) as dep:
        for name in ("volumedepolarization", "error_volumedepolarization",
                     "particledepolarization", "error_particledepolarization",
                     "depolarization_calibration_factor"):
            assert name in dep, name
        assert dep["volumedepolarization"].dims == ("wavelength", "time", "altitude")
    pytest.importorskip("matplotlib")
    png = tmp_path / "night.png"
    status, _, stderr = aerolume("quicklook", product, "-o", png)
    assert status == 0, stderr
    assert png.stat().st_size > 10_000


@pytest.mark.parametrize("table, method, origin", [
    ("eta = 0.41\neta_uncertainty = 0.004\n", "constant", "configuration"),
    ("molecular_reference = [5000.0, 7000.0]\n", "molecular", "measured"),
])
def test_the_other_calibrations(table, method, origin, tmp_path):
    # (a low background: the clean air's cross signal is a few kHz)
    files = night.write_night(tmp_path / "data", files=10, background=0.005)
    out = tmp_path / "out.nc"
    status, _, stderr = aerolume("process", *files, "--config", config(tmp_path, table),
                                 "-o", out, "-q")
    assert status == 0, stderr
    ds = xr.load_dataset(out).sel(depolarization_channel="532s_pc")
    assert str(ds["depolarization_calibration_method"].values) == method
    assert str(ds["depolarization_calibration_origin"].values) == origin
    eta = float(ds["depolarization_eta"])
    if method == "constant":
        assert eta == 0.41 and np.isnat(ds["depolarization_calibration_time"].values)
    else:  # the clean air's ratio forced to the molecular one: eta within its noise (and
        # the 2 % the 1° misalignment adds to the cross signal)
        sd = float(ds["depolarization_eta_star_uncertainty"])
        assert 0 < sd < 0.1 * eta
        assert abs(eta - night.ETA) < 3 * sd + 0.02 * night.ETA, (eta, sd)
        assert str(ds["depolarization_calibration_time"].values).startswith(
            "2026-03-01T22:00")


@pytest.mark.parametrize("case, match", [
    ("no_cross", r"#1: .*no cross channel"),
    ("missing_file", r"#1 plus45: no such file or folder"),
    ("mismatched", r"#1: the calibration files do not match"),
    ("no_signal", r"#1: .*no (usable )?signal in the calibration range"),
    ("one_angle", r"#1: the ±45° calibration needs both plus45 and minus45"),
    ("unknown_field", r"#1: unknown field\(s\) \['etta'\]"),
    ("no_history", r"#1 history: no calibration history folder"),
    ("unknown_channel", r"#1: cross channel '532x_pc' is not among the channels"),
])
def test_bad_depolarization_input_fails_before_any_work(case, match, tmp_path):
    data = tmp_path / "data"
    files = night.write_night(data, files=2, cross=case != "no_cross")
    night.write_calibration(tmp_path / "cal", files=1)
    table = MEASURED
    if case == "missing_file":
        table = table.replace('"cal/plus45"', '"cal/nowhere"')
    elif case == "mismatched":
        # minus45 files of another receiver: no 355 nm channel
        for p in (tmp_path / "cal" / "minus45").iterdir():
            p.unlink()
        night.write_file(tmp_path / "cal" / "minus45" / "CM1",
                         datetime.datetime(2026, 3, 1, 21, 55),
                         [(532, "p", np.full(night.BINS, 100, np.uint32)),
                          (532, "s", np.full(night.BINS, 40, np.uint32))])
    elif case == "no_signal":
        table += "calibration_range = [25000.0, 26000.0]\n"
    elif case == "one_angle":
        table = table.replace('minus45 = "cal/minus45"\n', "")
    elif case == "unknown_field":
        table += "etta = 0.4\n"
    elif case == "no_history":
        table = 'history = "nothing-here"\nstation = "tst"\n'
    elif case == "unknown_channel":
        table += 'cross = "532x_pc"\nco = "532p_pc"\n'
    cfg = config(tmp_path, table)
    out = tmp_path / "out.nc"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        status, _, stderr = aerolume("process", *files, "--config", cfg, "-o", out, "-q")
    assert status == 1
    assert str(cfg) in stderr and "[[depolarization]]" in stderr, stderr
    assert re.search(match, stderr), stderr
    assert not out.exists()


def test_a_night_without_polarised_channels_is_processed_as_before(tmp_path, monkeypatch):
    """No [[depolarization]] table: the depolarisation steps leave the product exactly as
    it is without them."""
    from Aerolume.processing import _depolarization_run, pipeline
    from Aerolume.processing.config import load_config

    files = [str(p) for p in SAMPLES[:2]]
    cfg = load_config(STATION)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with_steps = pipeline.process(files, cfg).dataset
        monkeypatch.setattr(_depolarization_run, "prepare",
                            lambda config, settings, corrected, files=(): corrected)
        monkeypatch.setattr(_depolarization_run, "with_total",
                            lambda corrected, settings: corrected)
        monkeypatch.setattr(_depolarization_run, "block_products",
                            lambda product, settings: product)
        without = pipeline.process(files, cfg).dataset
    for ds in (with_steps, without):
        ds.attrs.pop("processed_at", None)
        ds.attrs.pop("history", None)
    xr.testing.assert_identical(with_steps, without)
    assert not [v for v in with_steps.variables if "depolarization" in v]
    # nor in the effective configuration or the flags' meanings
    assert "depolarization" not in json.loads(with_steps.attrs["configuration_effective"])
    assert not set(with_steps["quality_flag"].attrs["flag_meanings"].split()) & set(
        DEPOLARIZATION_ONLY)
