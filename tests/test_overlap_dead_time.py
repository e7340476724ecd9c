"""Dead time from the analog twin and the overlap from the Raman pair: closed loops with the
simulator, the shipped sample night, the Dataset chain and the command line."""

import json
import pathlib
import warnings

import numpy as np
import pytest
import xarray as xr

from Aerolume import atmosphere, preprocess, retrieval, simulate
from Aerolume.io import read_licel

ROOT = pathlib.Path(__file__).resolve().parent.parent
SAMPLES = sorted((ROOT / "examples" / "data" / "licel").glob("RM*"))
# The sample night's pairs: the analog baseline spoils the lowest rates and the analog
# and counting recorders disagree in the steep near range (see examples/station.toml).
NIGHT = {"window": (1.5, 60.0), "fit_range": (450.0, 30000.0)}


def pair(dead_time=4.0, model="non_paralysable", **kw):
    r = np.arange(1, 4001) * 7.5
    rate = 300.0 * np.exp(-r / 2500.0)
    rate = np.stack([rate * f for f in (0.8, 1.0, 1.2)] * 4)
    return simulate.photon_counting_pair(rate, dead_time, model=model, slope=65.0,
                                         offset=0.002, analog_noise=0.001, seed=1, **kw)


def fit(sim, **kw):
    options = dict(analog_noise=sim.attrs["analog_noise"], shots=sim.attrs["shots"],
                   bin_width=sim.attrs["bin_width"])
    options.update(kw)
    return preprocess.calibrate_dead_time(sim.analog.values, sim.photon_counting.values,
                                          **options)


# ---- dead time ---------------------------------------------------------------------------

@pytest.mark.parametrize("model", ["non_paralysable", "paralysable"])
@pytest.mark.parametrize("true", [2.5, 5.0])
def test_dead_time_recovered_from_a_simulated_pair(model, true):
    sim = pair(true, model)
    result = fit(sim, model=model)
    assert abs(result.dead_time - true) < 0.2
    assert abs(result.dead_time - true) < 4 * result.dead_time_uncertainty + 0.05
    assert abs(result.slope - 65.0) < 0.5 and abs(result.offset - 0.002) < 2e-4
    assert result.model == model and result.points > 1000
    assert abs(result.trend_max_deviation) < 0.02
    record = result.record()
    json.dumps(record)
    assert record["window"] == [0.3, 60.0]


def test_both_models_and_the_wrong_one():
    results = fit(pair(4.0, "non_paralysable"), model="both")
    assert set(results) == {"non_paralysable", "paralysable"}
    right = results["non_paralysable"]
    assert abs(right.dead_time - 4.0) < 0.2
    wrong = results["paralysable"]
    # the other model either fits worse or is refused, never silently as well
    assert isinstance(wrong, ValueError) or wrong.reduced_chi_square > right.reduced_chi_square


def test_a_window_the_model_does_not_describe_is_refused():
    sim = pair(4.0)
    # an analog recorder that saturates: the relation bends the other way
    analog = sim.analog.values
    saturating = analog / (1.0 + analog / 2.0)
    with pytest.raises(ValueError, match=r"355_pc: dead-time calibration over 0.3-60 MHz: "
                                         r"(the fitted dead time is negative|the relation)"):
        preprocess.calibrate_dead_time(saturating, sim.photon_counting.values,
                                       analog_noise=0.001, shots=600, bin_width=7.5,
                                       channel="355_pc")
    with pytest.raises(ValueError, match="only 0 gate"):
        fit(sim, window=(250.0, 400.0))
    with pytest.raises(ValueError, match="less than a factor 2 in rate"):
        fit(sim, window=(59.0, 60.0))
    with pytest.raises(ValueError, match="residual trend|not the"):
        # a piece of the profile that follows another law entirely
        pc = sim.photon_counting.values.copy()
        pc[:, 1500:2500] *= 1.3
        preprocess.calibrate_dead_time(sim.analog.values, pc, analog_noise=0.001,
                                       shots=600, bin_width=7.5)


def test_dead_time_bad_input_names_the_argument():
    sim = pair()
    a, p = sim.analog.values, sim.photon_counting.values
    with pytest.raises(ValueError, match="photon_counting must have the shape"):
        preprocess.calibrate_dead_time(a, p[:, :-1])
    with pytest.raises(ValueError, match="window"):
        preprocess.calibrate_dead_time(a, p, window=(10, 1))
    with pytest.raises(ValueError, match="model"):
        preprocess.calibrate_dead_time(a, p, model="dead")
    with pytest.raises(ValueError, match="fit_range needs range"):
        preprocess.calibrate_dead_time(a, p, fit_range=(0, 100))
    with pytest.raises(ValueError, match="shots and bin_width"):
        preprocess.calibrate_dead_time(a, p, shots=600)
    with pytest.raises(ValueError, match="analog_noise"):
        preprocess.calibrate_dead_time(a, p, analog_noise=np.ones(5))
    with pytest.raises(TypeError, match="analog"):
        preprocess.calibrate_dead_time("x", p)


def test_running_means_of_a_span_of_gates_are_the_whole_rows():
    from Aerolume.preprocess.dead_time import _smooth

    rng = np.random.default_rng(3)
    values = rng.normal(5.0, 2.0, (4, 300)) * np.exp(-np.arange(300) / 80.0)
    values[1, 40:47] = np.nan
    values[2, :5] = np.inf
    values[3, 100:130] = np.nan   # longer than the window: no finite value there
    for bins in (1, 2, 11, 12):
        whole = _smooth(values, bins)
        if bins == 1:
            assert whole.tobytes() == values.tobytes()
        else:
            pad = bins // 2
            windows = [values[:, max(j - pad, 0):j - pad + bins] for j in range(300)]
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)  # (the all-missing window)
                direct = np.stack([np.nanmean(np.where(np.isfinite(w), w, np.nan), axis=-1)
                                   for w in windows], axis=-1)
            np.testing.assert_allclose(whole, direct, rtol=1e-12, atol=1e-12)
            assert np.isnan(whole[3, 110:120]).all()
        for begin, end in ((0, 300), (37, 52), (120, 121), (290, 300), (0, 0)):
            part = _smooth(values, bins, begin, end)
            assert part.shape == (4, end - begin)
            assert part.tobytes() == whole[:, begin:end].tobytes()


def test_a_fit_range_of_every_gate_fits_as_no_fit_range():
    sim = pair()
    r = np.arange(1, 4001) * 7.5
    everywhere = fit(sim, range=r, fit_range=(0.0, 1e6))
    assert everywhere == fit(sim)
    near = fit(sim, range=r, fit_range=(300.0, 9000.0))
    # the fitted gates: those of the window inside the range, no others
    assert 30 <= near.points < everywhere.points
    with pytest.raises(ValueError, match="only 0 gate"):
        fit(sim, range=r, fit_range=(1e6, 2e6))


def test_check_warns_naming_channel_fitted_and_configured():
    sim = pair(5.0)
    kw = dict(analog_noise=0.001, shots=600, bin_width=7.5)
    with pytest.warns(RuntimeWarning, match=r"dead time of 355_pc: with the configured 3.7 ns"
                                            r".* against 355_an; the data give (4\.9|5\.0)"):
        preprocess.check_dead_time(sim.analog.values, sim.photon_counting.values, 3.7,
                                   channel="355_pc", analog_channel="355_an", **kw)
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        out = preprocess.check_dead_time(sim.analog.values, sim.photon_counting.values, 5.0,
                                         **kw)
    assert abs(out.dead_time - 5.0) < 0.2


@pytest.fixture(scope="module")
def raw():
    return read_licel(SAMPLES)


def test_auto_dead_time_in_the_chain_on_the_sample_night(raw):
    with pytest.raises(ValueError, match="'408_pc' has no analog twin"):
        preprocess.correct(raw, dead_time="auto", dead_time_calibration=NIGHT)
    out = preprocess.correct(raw, dead_time={"355_pc": "auto", "387_pc": "auto", "408_pc": 4.6},
                             dead_time_calibration=NIGHT, glue={"window": [0.5, 15.0]})
    tau = out.dead_time.to_series()
    # both counters of this instrument: 4.5-4.6 ns, not the 3.7 ns once configured
    for channel in ("355_pc", "387_pc"):
        assert 4.2 < tau[channel] < 5.2, channel
        assert 0 < float(out.dead_time_uncertainty.sel(channel=channel)) < 0.2
    assert tau["408_pc"] == 4.6 and np.isnan(tau["355_an"]) and np.isnan(tau["355_gl"])
    step = [s for s in json.loads(out.attrs["corrections"]) if s["step"] == "dead_time"][0]
    assert step["calibration"]["355_pc"]["analog_channel"] == "355_an"
    assert step["dead_time_ns"]["387_pc"] == pytest.approx(tau["387_pc"])
    # the default window reaches down to the rates the analog baseline spoils: refused
    with pytest.raises(ValueError, match="355_pc: dead-time calibration over 0.3-60 MHz"):
        preprocess.correct(raw, dead_time={"355_pc": "auto"})
    with pytest.raises(ValueError, match="dead_time_calibration: unknown option"):
        preprocess.correct(raw, dead_time={"355_pc": "auto"}, dead_time_calibration={"x": 1})
    with pytest.warns(RuntimeWarning, match="dead time of (355|387)_pc: with the configured 3.7 "):
        preprocess.correct(raw, dead_time=3.7, dead_time_calibration={**NIGHT, "check": True})


# ---- overlap -------------------------------------------------------------------------------

W0 = 354.7e-9


def simulated_pair(seed=1):
    r = np.arange(1, 2001) * 7.5
    wr = retrieval.raman_wavelength(W0)
    me, mr = atmosphere.molecular_profile(r, W0), atmosphere.molecular_profile(r, wr)
    truth = np.clip(1 - np.exp(-((r / 900.0) ** 2.5)), 1e-4, 1)
    beta = 3e-6 * np.exp(-r / 1500.0) + 5e-7 * np.exp(-((r - 2500) / 300) ** 2)
    beta = np.broadcast_to(beta, (20, r.size))
    e = simulate.elastic(r, W0, beta, me, lidar_ratio=45, overlap=truth, constant=5e11,
                         noise="poisson", shots=600, seed=seed)
    ra = simulate.raman(r, W0, beta, me, mr, lidar_ratio=45, overlap=truth, constant=2e14,
                        noise="poisson", shots=600, seed=seed + 1)
    return r, me, mr, wr, truth, e, ra


def test_known_overlap_recovered_from_a_noisy_simulated_pair():
    r, me, mr, wr, truth, e, ra = simulated_pair()
    out = preprocess.estimate_overlap(e.signal.values, ra.signal.values, r, me, mr,
                                      lidar_ratio=50.0, noise=e.signal_noise.values,
                                      raman_noise=ra.signal_noise.values, wavelength=W0,
                                      raman_wavelength=wr)
    assert out.attrs["supported"] == 1
    above = truth > 0.1
    estimate = out.overlap.values[above]
    assert np.all(np.isfinite(estimate))
    assert np.max(np.abs(estimate / truth[above] - 1)) < 0.05
    # the full-overlap height: where the truth comes within 5 % of 1 (1.4 km)
    assert abs(float(out.full_overlap_height) - 1395.0) < 200.0
    assert np.all(out.overlap.values[r >= float(out.full_overlap_height)] == 1.0)
    sd = out.overlap_uncertainty.values[above & (truth < 0.9)]
    assert np.all(sd > 0) and np.all(sd < 0.2)
    assert out.full_overlap_height.attrs["units"] == "m"
    assert out.overlap_flag.attrs["flag_meanings"].split()[0] == "clipped_above_one"


def test_overlap_unsupported_and_bad_input():
    r, me, mr, wr, truth, e, ra = simulated_pair()
    with pytest.warns(RuntimeWarning, match="not supported by the data"):
        out = preprocess.estimate_overlap(e.signal.values, ra.signal.values, r, me, mr,
                                          reference=(4500.0, 5500.0), max_height=1000.0,
                                          wavelength=W0, raman_wavelength=wr)
    assert out.attrs["supported"] == 0 and out.attrs["reason"]
    with pytest.raises(ValueError, match="elastic and raman must have"):
        preprocess.estimate_overlap(e.signal.values[:, :-1], ra.signal.values, r, me, mr)
    with pytest.raises(ValueError, match="lidar_ratio must be a positive number"):
        preprocess.estimate_overlap(e.signal.values, ra.signal.values, r, me, mr,
                                    lidar_ratio=-1)


def test_overlap_from_a_near_far_pair():
    r = np.arange(1, 1001) * 7.5
    truth = np.clip(1 - np.exp(-((r / 600.0) ** 3)), 1e-3, 1)
    near = np.broadcast_to(np.exp(-r / 3000.0) / (r + 10.0) ** 2, (3, r.size))
    out = preprocess.estimate_overlap_from_pair(near * 3.0, near * 5.0 * truth, r,
                                                normalise=(3000.0, 5000.0))
    good = truth > 0.1
    assert np.allclose(out.overlap.values[good], truth[good], rtol=0.05)
    assert 500.0 < float(out.full_overlap_height) < 1200.0
    with pytest.raises(ValueError, match="normalise"):
        preprocess.estimate_overlap_from_pair(near, near, r, normalise=(10000.0, 20000.0))
    # Telescopes of different profile counts: only the one with three or more profiles
    # has a spread, and it alone makes the uncertainty (it crashed on the other's None).
    rng = np.random.default_rng(1)
    spread = 1 + 0.01 * rng.standard_normal(near.shape)
    for n, f in ((near * 3.0 * spread, (near * 5.0 * truth)[:1]),
                 ((near * 3.0)[:1], near * 5.0 * truth * spread)):
        out = preprocess.estimate_overlap_from_pair(n, f, r, normalise=(3000.0, 5000.0))
        below = good & (r < float(out.full_overlap_height))
        assert (out.overlap_uncertainty.values[below] > 0).all()


def test_read_overlap_files_and_correct_with_a_path(tmp_path, raw):
    text = tmp_path / "overlap.txt"
    text.write_text("# range_m overlap\nrange overlap\n0, 0.01\n1000, 0.5\n3000, 1.0\n")
    o = preprocess.read_overlap(text)
    assert list(o.range.values) == [0.0, 1000.0, 3000.0]
    nc = tmp_path / "overlap.nc"
    o.to_dataset().to_netcdf(nc)
    assert np.array_equal(preprocess.read_overlap(nc).values, o.values)
    plain = preprocess.correct(raw.isel(time=[0]))
    for source in (text, str(nc)):
        out = preprocess.correct(raw.isel(time=[0]), overlap=source)
        inside = out.range.values <= 3000
        expected = plain.signal.values[0][:, inside] / np.interp(
            out.range.values[inside], [0, 1000, 3000], [0.01, 0.5, 1.0])
        assert np.allclose(out.signal.values[0][:, inside], expected, rtol=1e-9,
                           equal_nan=True)
        # beyond the file's last range the overlap stays complete
        far = out.range.values > 3000
        assert np.allclose(out.signal.values[0][:, far], plain.signal.values[0][:, far],
                           equal_nan=True)
    bad = tmp_path / "bad.txt"
    bad.write_text("0 0.1\n100 x\n")
    with pytest.raises(ValueError, match="bad.txt: line 2"):
        preprocess.read_overlap(bad)
    bad.write_text("0 0.1 3\n100 1\n")
    with pytest.raises(ValueError, match="bad.txt: line 1: 3 values"):
        preprocess.read_overlap(bad)
    with pytest.raises(FileNotFoundError, match="missing.txt"):
        preprocess.read_overlap(tmp_path / "missing.txt")


def test_overlap_of_the_sample_night(raw):
    c = preprocess.correct(raw, dead_time={"355_pc": "auto", "387_pc": "auto", "408_pc": 4.6},
                           dead_time_calibration=NIGHT, glue={"window": [0.5, 15.0]},
                           average={"range": 4})
    c = c.sel(range=c.range <= 30000)
    r = c.range.values
    wr = retrieval.raman_wavelength(W0)
    me = atmosphere.molecular_profile(r, W0, station_altitude=100.0)
    mr = atmosphere.molecular_profile(r, wr, station_altitude=100.0)
    out = preprocess.estimate_overlap(c.signal.sel(channel="355_gl").values,
                                      c.signal.sel(channel="387_gl").values, r, me, mr,
                                      weights=c.shots.sel(channel="355_gl").values,
                                      wavelength=W0, raman_wavelength=wr)
    assert out.attrs["supported"] == 1
    height = float(out.full_overlap_height)
    assert 500.0 <= height <= 4000.0
    at = out.overlap.interp(range=[500.0, 1000.0, 2000.0]).values
    # the range-corrected signal over the attenuated molecular one says about 0.1, 0.65, 0.9
    assert 0.03 < at[0] < 0.2 and 0.45 < at[1] < 0.8 and 0.8 < at[2] < 1.0
    # applied through the chain as a Dataset: recorded with the product
    done = preprocess.correct(raw.isel(time=[0]), average={"range": 4}, overlap=out)
    assert float(done.full_overlap_height) == height
    assert "overlap" in done and done.overlap.attrs["applied"] == 1
    step = [s for s in json.loads(done.attrs["corrections"]) if s["step"] == "overlap"][0]
    assert step["applied"] is True and step["full_overlap_height_m"] == height
    out.attrs.update(supported=0, reason="test")
    with pytest.warns(RuntimeWarning, match="not applied"):
        skipped = preprocess.correct(raw.isel(time=[0]), average={"range": 4}, overlap=out)
    plain = preprocess.correct(raw.isel(time=[0]), average={"range": 4})
    assert np.array_equal(skipped.signal.values, plain.signal.values, equal_nan=True)
    assert float(skipped.full_overlap_height) == height


# ---- the command line ---------------------------------------------------------------------

def aerolume(*args):
    """The command in this process: (exit status, stderr)."""
    import contextlib
    import io

    from Aerolume.cli import main

    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main([str(a) for a in args])
    return status, err.getvalue()


def test_process_with_auto_dead_time_and_raman_overlap(tmp_path):
    config = tmp_path / "station.toml"
    text = (ROOT / "examples" / "station.toml").read_text()
    start = text.index("[corrections]")
    end = text.index("\n[", start + 1)
    config.write_text(text[:start] + """[corrections]
dead_time = { "355_pc" = "auto", "387_pc" = "auto", "408_pc" = 4.6 }
dead_time_calibration = { window = [1.5, 60.0], fit_range = [450.0, 30000.0] }
glue = { window = [0.5, 15.0] }
average = { time = "2min", range = 4 }
overlap = "raman"
""" + text[end:])
    out = tmp_path / "night.nc"
    status, stderr = aerolume("process", *SAMPLES, "--config", config, "-o", out)
    assert status == 0, stderr
    with xr.open_dataset(out) as ds:
        assert 4.2 < float(ds.dead_time.sel(channel="355_pc")) < 5.2
        assert float(ds.dead_time_uncertainty.sel(channel="387_pc")) > 0
        assert 500.0 <= float(ds.full_overlap_height) <= 4000.0
        assert ds.full_overlap_height.attrs["units"] == "m"
        assert ds.overlap.dims == ("range",) and ds.overlap_uncertainty.dims == ("range",)
        steps = {s["step"]: s for s in json.loads(ds.attrs["corrections"])}
        assert steps["overlap"]["method"].startswith("raman")
        assert "355_pc" in steps["dead_time"]["calibration"]
    # a wrong table names the file and the field
    config.write_text(config.read_text().replace('overlap = "raman"',
                                                 'overlap = { method = "raman", x = 1 }'))
    status, stderr = aerolume("process", *SAMPLES, "--config", config, "-o", out)
    assert status != 0 and "[corrections] overlap" in stderr and "unknown key" in stderr
    config.write_text(config.read_text().replace('overlap = { method = "raman", x = 1 }',
                                                 'overlap = "nowhere.txt"'))
    status, stderr = aerolume("process", *SAMPLES, "--config", config, "-o", out)
    assert status != 0 and "nowhere.txt" in stderr


def test_process_warns_when_the_configured_dead_time_leaves_the_relation_curved(tmp_path):
    config = tmp_path / "station.toml"
    text = (ROOT / "examples" / "station.toml").read_text()
    old = 'dead_time = { "355_pc" = "auto", "387_pc" = "auto", "408_pc" = 4.6 }'
    assert old in text
    config.write_text(text.replace(old, "dead_time = 3.7"))
    status, stderr = aerolume("process", *SAMPLES, "--config", config, "-o",
                              tmp_path / "n.nc", "-q")
    assert status == 0, stderr
    for channel, analog in (("355_pc", "355_an"), ("387_pc", "387_an")):
        assert (f"dead time of {channel}: with the configured 3.7 ns the photon-counting "
                f"rate stays curved against {analog}; the data give 4.") in stderr
    with xr.open_dataset(tmp_path / "n.nc") as ds:
        assert float(ds.dead_time.sel(channel="355_pc")) == 3.7
        assert "dead_time_uncertainty" not in ds
