"""Instrument corrections checked against their physics on synthetic signals, and the
Dataset chain against the array functions on the shipped sample."""

import json
import pathlib
import sys
import warnings

import numpy as np
import pytest

from Aerolume import preprocess as pp
from Aerolume.io import read_licel

DATA = pathlib.Path(__file__).resolve().parent.parent / "examples" / "data" / "licel"
SAMPLES = sorted(DATA.glob("RM*"))


# ---- dead time ---------------------------------------------------------------------------

def test_dead_time_forward_model_then_correction_recovers_the_true_rate():
    true = np.linspace(0.0, 80.0, 801).reshape(1, -1)  # MHz
    tau = 4.0                                           # ns; 1 / (e tau) = 92 MHz
    t = tau * 1e-3
    measured = {"non_paralysable": true / (1 + true * t), "paralysable": true * np.exp(-true * t)}
    for model, m in measured.items():
        got = pp.dead_time_correction(m, tau, model=model, noise=np.ones_like(m))
        np.testing.assert_allclose(got.rate, true, rtol=1e-12, atol=1e-12)
        assert not got.saturated.any()
        # The noise scales by dN/dM (checked by finite differences).
        h = 1e-6
        up = pp.dead_time_correction(m + h, tau, model=model).rate
        down = pp.dead_time_correction(m - h, tau, model=model).rate
        np.testing.assert_allclose(got.noise[0, 1:], ((up - down) / (2 * h))[0, 1:], rtol=1e-6)


def test_dead_time_beyond_the_model_is_nan_and_flagged():
    tau = 5.0
    limit_np, limit_p = 1 / (tau * 1e-3), 1 / (np.e * tau * 1e-3)
    m = np.array([[10.0, limit_p * 0.999999, limit_p * 1.000001, limit_np, 1e4, np.nan]])
    para = pp.dead_time_correction(m, tau, model="paralysable")
    assert list(para.saturated[0]) == [False, False, True, True, True, False]
    assert np.isfinite(para.rate[0, :2]).all() and np.isnan(para.rate[0, 2:]).all()
    # Just below the branch point the true rate is just below 1 / tau.
    assert para.rate[0, 1] * tau * 1e-3 == pytest.approx(1.0, abs=3e-3)
    nonpara = pp.dead_time_correction(m, tau)
    assert list(nonpara.saturated[0]) == [False, False, False, True, True, False]
    # Per-profile dead times broadcast over the leading axes.
    two = pp.dead_time_correction(np.full((2, 3), 10.0), [0.0, 10.0])
    np.testing.assert_allclose(two.rate[:, 0], [10.0, 10.0 / 0.9])
    with pytest.raises(ValueError, match="dead_time must be non-negative"):
        pp.dead_time_correction(m, -1.0)
    with pytest.raises(ValueError, match="model must be one of"):
        pp.dead_time_correction(m, 1.0, model="paralyzable")


# ---- shift, background, merging, range factors ---------------------------------------------

def test_shift_both_signs_pads_with_nan():
    x = np.arange(6.0).reshape(1, 6).repeat(3, axis=0)
    out = pp.shift_bins(x, np.array([2, 0, -1]))
    np.testing.assert_array_equal(out[0], [2, 3, 4, 5, np.nan, np.nan])
    np.testing.assert_array_equal(out[1], x[1])
    np.testing.assert_array_equal(out[2], [np.nan, 0, 1, 2, 3, 4])
    with pytest.raises(TypeError, match="whole bins|integer"):
        pp.shift_bins(x, 1.5)


def test_background_mean_and_std_are_recovered_and_subtracted():
    rng = np.random.default_rng(3)
    gates = 4000
    r = np.arange(gates)
    clean = 1e3 * np.exp(-r / 300.0)
    backgrounds = np.array([0.5, 2.0, -1.0])
    x = clean + backgrounds[:, None] + rng.normal(0, 0.1, (3, gates))
    x[1, -5] = np.nan  # a NaN bin in the window is left out
    bg = pp.subtract_background(x)
    np.testing.assert_allclose(bg.mean, backgrounds, atol=0.01)
    np.testing.assert_allclose(bg.std, 0.1, rtol=0.1)
    assert list(bg.count) == [400, 399, 400]
    np.testing.assert_allclose(bg.signal, x - bg.mean[:, None])
    pre = pp.subtract_background(x, (0, 10), subtract=False)
    assert pre.signal is None and pre.count[0] == 10
    with pytest.raises(ValueError, match="window"):
        pp.subtract_background(x, (10, 5))


def test_merge_range_and_overlap_factors():
    x = np.array([[1.0, 2.0, np.nan, 4.0, 5.0]])
    noise = np.full_like(x, 2.0)
    merged = pp.average_range(x, 2, noise=noise, range=np.arange(5.0))
    np.testing.assert_allclose(merged.signal, [[1.5, 4.0, 5.0]])
    np.testing.assert_allclose(merged.noise, [[np.sqrt(8) / 2, 2.0, 2.0]])
    np.testing.assert_allclose(merged.axis, [0.5, 2.5, 4.0])
    r = np.array([1.0, 2.0, 3.0, 4.0, 5.0])
    corrected, corrected_noise = pp.range_correct(x, r, noise=noise)
    np.testing.assert_allclose(corrected, x * r ** 2)
    np.testing.assert_allclose(corrected_noise, noise * r ** 2)
    with pytest.warns(RuntimeWarning, match="overlap is not positive"):
        out, _ = pp.overlap_correct(x, [0.0, 0.5, 1.0, 1.0, np.nan])
    np.testing.assert_array_equal(out, [[np.nan, 4.0, np.nan, 4.0, np.nan]])


# ---- gluing ----------------------------------------------------------------------------------

def test_glue_recovers_a_known_scale_and_offset():
    gates = 3000
    rate = 200.0 * np.exp(-np.arange(gates) / 400.0)  # true count rate, MHz
    slope, offset = 40.0, 0.3                          # MHz per mV, MHz
    analog = ((rate - offset) / slope)[None].repeat(2, axis=0)
    pc = rate[None].repeat(2, axis=0).copy()
    pc[:, rate > 30] = 1e3                             # a saturated counter near range
    pc[1] = np.nan                                     # no counting at all in profile 2
    with pytest.warns(RuntimeWarning, match="no fit in 1 of 2"):
        g = pp.glue_channels(analog, pc, window=(0.5, 15.0), analog_noise=np.full_like(analog, 0.01),
                             photon_counting_noise=np.full_like(pc, 0.1))
    assert g.slope[0] == pytest.approx(slope, rel=1e-10)
    assert g.offset[0] == pytest.approx(offset, abs=1e-9)
    assert g.correlation[0] == pytest.approx(1.0)
    used = (rate >= 0.5) & (rate <= 15.0)
    assert g.bins_used[0] == used.sum()
    assert (g.first_bin[0], g.last_bin[0]) == (np.argmax(used), gates - 1 - np.argmax(used[::-1]))
    np.testing.assert_allclose(g.signal[0], rate, rtol=1e-10)
    assert np.isnan(g.slope[1]) and g.bins_used[1] == 0 and np.isnan(g.signal[1]).all()
    high = rate > 15.0
    np.testing.assert_allclose(g.noise[0, high], 0.01 * slope)
    np.testing.assert_allclose(g.noise[0, ~high], 0.1)
    with pytest.raises(ValueError, match="window must be"):
        pp.glue_channels(analog, pc, window=(15.0, 0.5))


# ---- averaging in time -----------------------------------------------------------------------

def test_shots_weighted_average_equals_the_pooled_sum():
    rng = np.random.default_rng(7)
    counts = rng.integers(0, 10_000, (7, 2, 50)).astype(np.float64)
    shots = rng.integers(100, 1000, (7, 2)).astype(np.float64)
    per_shot = counts / shots[..., None]
    avg = pp.average_time(per_shot, shots, 3, noise=np.sqrt(counts) / shots[..., None])
    starts = [0, 3, 6, 7]
    for g in range(3):
        a, b = starts[g], starts[g + 1]
        pooled = counts[a:b].sum(axis=0) / shots[a:b].sum(axis=0)[..., None]
        np.testing.assert_allclose(avg.signal[g], pooled, rtol=1e-13)
        # Poisson noise of the pooled counts.
        np.testing.assert_allclose(avg.noise[g], np.sqrt(counts[a:b].sum(axis=0)) /
                                   shots[a:b].sum(axis=0)[..., None], rtol=1e-12)
        np.testing.assert_array_equal(avg.axis[g], shots[a:b].sum(axis=0))
    # Explicit group starts; a NaN bin is left out with its weight.
    per_shot[0, 0, 0] = np.nan
    avg = pp.average_time(per_shot, shots, [0, 2])
    assert avg.signal[0, 0, 0] == per_shot[1, 0, 0]
    with pytest.raises(ValueError, match="rising start"):
        pp.average_time(per_shot, shots, [1, 3])


# ---- the Dataset chain ----------------------------------------------------------------------

@pytest.fixture(scope="module")
def raw():
    return read_licel(SAMPLES)


def test_correct_equals_the_array_functions_step_by_step(raw):
    tau, delay = 3.7, {"355_an": 2, "355_pc": -1}
    corrected = pp.correct(raw, dead_time=tau, trigger_delay=delay, glue=True,
                           average={"time": 2, "range": 3}, range_correction=True, threads=1)
    again = pp.correct(raw, dead_time=tau, trigger_delay=delay, glue=True,
                       average={"time": 2, "range": 3}, range_correction=True, threads=3)
    assert again.identical(corrected)  # whatever the thread count

    an, pc = raw.signal.sel(channel="355_an").values, raw.signal.sel(channel="355_pc").values
    shots = raw.shots.sel(channel="355_pc").values.astype(float)
    pc_noise = np.sqrt(pc * (150 / 7.5 / shots)[:, None])
    dt = pp.dead_time_correction(pc, tau, noise=pc_noise)
    gates = an.shape[-1]
    window = (gates - gates // 10, gates)
    bg_an, bg_pc = pp.subtract_background(an, window), pp.subtract_background(dt.rate, window)
    np.testing.assert_array_equal(corrected.background.sel(channel="355_pc").values,
                                  pp.average_time(bg_pc.mean[:, None], shots, 2).signal[:, 0])
    # The background mean's own uncertainty adds in quadrature.
    an_noise = np.hypot(bg_an.std, bg_an.std / np.sqrt(bg_an.count))[:, None] * np.ones(gates)
    pc_noise = np.sqrt(dt.noise ** 2 + ((bg_pc.std / np.sqrt(bg_pc.count)) ** 2)[:, None])
    an_s, pc_s = pp.shift_bins(bg_an.signal, 2), pp.shift_bins(bg_pc.signal, -1)
    an_noise, pc_noise = pp.shift_bins(an_noise, 2), pp.shift_bins(pc_noise, -1)
    glued = pp.glue_channels(an_s, pc_s, analog_noise=an_noise, photon_counting_noise=pc_noise,
                             min_analog=3 * bg_an.std)
    avg = pp.average_time(glued.signal, shots, 2, noise=glued.noise)
    merged = pp.average_range(avg.signal, 3, noise=avg.noise, range=raw["range"].values)
    final, final_noise = pp.range_correct(merged.signal, merged.axis, noise=merged.noise)
    np.testing.assert_array_equal(corrected.signal.sel(channel="355_gl").values, final)
    # (The chain carries variances, the array functions standard deviations.)
    np.testing.assert_allclose(corrected.signal_noise.sel(channel="355_gl").values, final_noise,
                               rtol=1e-13)
    np.testing.assert_array_equal(corrected["range"].values, merged.axis)

    assert list(corrected.channel.values)[-2:] == ["355_gl", "387_gl"]
    assert corrected.detection_mode.sel(channel="355_gl").item() == "glued"
    assert corrected.signal_units.sel(channel="355_gl").item() == "MHz m^2"
    assert list(corrected.profiles.values) == [2, 2, 1]
    assert corrected.source_file.values[0] == f"{SAMPLES[0].name} {SAMPLES[1].name}"
    # A header value that changes within an average cannot be kept: it is dropped, saying so.
    changed = raw.copy()
    changed["high_voltage"] = changed.high_voltage.copy()
    changed.high_voltage.values[1, 0] += 10
    with pytest.warns(RuntimeWarning, match="vary within an average were dropped: high_voltage"):
        assert "high_voltage" not in pp.correct(changed, average=2).variables
    assert "high_voltage" in pp.correct(changed).variables
    # One that changes from one average to the next (NaN in a whole average) is kept, the
    # value of each average's first profile.
    between = raw.copy()
    between["high_voltage"] = between.high_voltage.copy()
    between.high_voltage.values[2:4, 0] += 10
    between.high_voltage.values[4:, 1] = np.nan
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        kept = pp.correct(between, average=2).high_voltage.values
    np.testing.assert_array_equal(kept, between.high_voltage.values[[0, 2, 4]])
    assert corrected.shots.sel(channel="355_gl").values[0] == shots[:2].sum()
    steps = [s["step"] for s in json.loads(corrected.attrs["corrections"])]
    assert steps == ["dead_time", "background", "trigger_delay", "glue", "average_time",
                     "average_range", "range_correction"]
    assert corrected.attrs["source_files"] == raw.attrs["source_files"]


def test_correct_in_stages_and_from_a_configuration_table(raw):
    if sys.version_info >= (3, 11):
        import tomllib
    else:
        import tomli as tomllib
    table = tomllib.loads("""
        [corrections]
        dead_time = {"355_pc" = 3.7, "387_pc" = 3.7, "408_pc" = 3.7}
        dead_time_model = "paralysable"
        background = {range = [100000.0, 120000.0]}
        glue = {window = [0.5, 12.0], pairs = {"355_gl" = ["355_an", "355_pc"]}}
        average = {time = "2min"}
        range_correction = false
    """)["corrections"]
    assert set(table) <= set(pp.CORRECTION_KEYS)
    # The counter saturates near range beyond the paralysable model's reach (99 MHz).
    with pytest.warns(RuntimeWarning, match="beyond the paralysable model"):
        ds = pp.correct(raw, **table)
    assert (ds.dead_time_saturated.sel(channel="355_pc").values > 0).all()
    assert np.isnan(ds.signal.sel(channel="355_pc").values[:, 3]).all()
    # ... where the glued channel takes the scaled analog signal.
    assert np.isfinite(ds.signal.sel(channel="355_gl").values[:, 3:50]).all()
    # Profiles start 23:59:31, 00:00:32, 00:01:32, 00:02:33, 00:03:33: two-minute blocks.
    assert list(ds.profiles.values) == [1, 2, 2]
    record = json.loads(ds.attrs["corrections"])
    assert record[0]["model"] == "paralysable" and record[2]["window"] == [0.5, 12.0]
    # A second pass starts from the first pass's noise and appends to the record.
    twice = pp.correct(ds, background=None, average=3)
    assert twice.sizes["time"] == 1
    assert len(json.loads(twice.attrs["corrections"])) == len(record) + 2
    assert np.isfinite(twice.signal_noise.sel(channel="355_gl").values[0, 1000:5000]).all()


def test_correct_rejects_options_that_do_not_fit(raw):
    cases = [({"dead_time": {"355_an": 3.0}}, "not a photon-counting channel"),
             ({"dead_time": {"532_pc": 3.0}}, "no channel '532_pc'"),
             ({"background": "pretrigger"}, "trigger_delay of at least 2"),
             ({"background": {"range": [1e6, 2e6]}}, "fewer than 2 bins"),
             ({"glue": {"pairs": {"x": ["355_pc", "355_an"]}}}, "is photon_counting, not analog"),
             ({"glue": {"windw": [1, 2]}}, "unknown option"),
             ({"average": {"time": "ten minutes"}}, "neither a number of profiles"),
             ({"trigger_delay": 20000}, "fewer bins"),
             ({"dead_time_model": "dead"}, "dead_time_model must be")]
    for kwargs, message in cases:
        with pytest.raises(ValueError, match=message):
            pp.correct(raw, **kwargs)
    with pytest.raises(ValueError, match="no 'shots'"):
        pp.correct(raw.drop_vars("shots"))


def test_correct_flags_saturation_and_keeps_the_bins_nan(raw):
    with pytest.warns(RuntimeWarning, match="beyond the paralysable model"):
        ds = pp.correct(raw, dead_time=40.0, dead_time_model="paralysable")
    saturated = ds.dead_time_saturated.sel(channel="355_pc").values
    assert saturated.min() > 0
    assert np.isnan(ds.signal.sel(channel="355_pc").values).sum() >= saturated.sum()
    assert (ds.dead_time_saturated.sel(channel="355_an").values == 0).all()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        pp.correct(raw, dead_time=3.7)


def test_background_per_detection_mode_and_its_drift(raw):
    # One window per detection mode, a channel's own entry first; the drift of each
    # channel's background over its window is recorded, and warned of where it matters.
    ds = pp.correct(raw.isel(time=[0, 1]), background={
        "analog": {"range": [20000.0, 25000.0]}, "photon_counting": "far",
        "387_an": {"range": [60000.0, 80000.0]}})
    record = json.loads(ds.attrs["corrections"])[0]
    assert record["method"] == "per channel"
    assert record["channels"]["355_an"]["range_m"][0] == pytest.approx(20006.25)
    assert record["channels"]["387_an"]["range_m"][0] == pytest.approx(60003.75)
    assert record["channels"]["355_pc"]["method"] == "far range"
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # the sample's baseline drifts, but under its noise
        slopes = pp.background_drift(raw)
    assert set(slopes) == {str(c) for c in raw.channel.values}
    assert 0 < slopes["387_an"] < 1e-4  # mV per km: 0.2 uV over the far window
    drifting = raw.copy(deep=True)
    r = drifting["range"].values
    far = r > 0.9 * r[-1]
    signal = drifting["signal"].values
    signal[:, 0, far] += 0.05 * (r[far] - r[far][0]) / (r[-1] - r[far][0])
    with pytest.warns(RuntimeWarning, match="355_an drifts over its window"):
        pp.background_drift(drifting, background="far")
    with pytest.raises(ValueError, match="every channel's background is subtracted"):
        pp.correct(raw, background={"analog": None, "photon_counting": "far"})


def test_pretrigger_background_overlap_and_unequal_channels(raw):
    # A pretrigger window: the bins before the laser fires, removed by the trigger delay.
    ds = pp.correct(raw.isel(time=[0]), trigger_delay=40, background="pretrigger")
    record = json.loads(ds.attrs["corrections"])[0]
    assert record["method"] == "pretrigger" and record["bins"]["355_an"] == [0, 40]
    an = raw.signal.sel(channel="355_an").values[0]
    assert ds.background.sel(channel="355_an").item() == pytest.approx(an[:40].mean(), rel=1e-12)
    np.testing.assert_allclose(ds.signal.sel(channel="355_an").values[0, :-40], an[40:] - an[:40].mean(),
                               rtol=1e-12)
    assert np.isnan(ds.signal.values[0, :, -40:]).all()

    # The overlap as a DataArray on range, interpolated onto the (merged) range axis.
    import xarray as xr
    r = raw["range"].values
    overlap = xr.DataArray(np.clip(r / 600.0, 0.0, 1.0), coords={"range": r}, dims="range")
    plain = pp.correct(raw, average={"range": 2})
    with_overlap = pp.correct(raw, average={"range": 2}, overlap=overlap)
    merged_overlap = np.clip(plain["range"].values / 600.0, 0.0, 1.0)
    np.testing.assert_allclose(with_overlap.signal.values, plain.signal.values / merged_overlap, rtol=1e-12)

    # Channels shorter than the range axis are NaN past their bins, and stay so.
    short = raw.copy()
    short["signal"] = short.signal.copy()
    short.signal.values[:, 4, 8000:] = np.nan
    ds = pp.correct(short, background={"bins": [6000, 8000]}, average=2)
    assert np.isnan(ds.signal.values[:, 4, 8000:]).all()
    assert np.isfinite(ds.signal.values[:, 4, :8000]).all()
    assert np.isfinite(ds.background.values[:, 4]).all()


def synthetic_raw(rates, analog, shots=600, bin_width=7.5, seed=0):
    """A raw Dataset of one photon-counting channel drawn from Poisson counts of `rates`
    (MHz, per profile) and one analog channel with Gaussian noise around `analog` (mV)."""
    import xarray as xr
    rng = np.random.default_rng(seed)
    rates = np.asarray(rates, float)
    times, gates = rates.shape
    counts = rng.poisson(rates * shots * bin_width / 150.0)
    pc = counts * (150.0 / bin_width / shots)
    an = analog + rng.normal(0.0, 0.01, (times, gates))
    return xr.Dataset(
        {"signal": (("time", "channel", "range"), np.stack([an, pc], axis=1)),
         "shots": (("time", "channel"), np.full((times, 2), shots))},
        coords={"time": np.datetime64("2024-05-01T00:00:00", "ns") + np.arange(times) * np.timedelta64(30, "s"),
                "channel": ["532_an", "532_pc"], "range": (np.arange(gates) + 0.5) * bin_width,
                "detection_mode": ("channel", ["analog", "photon_counting"]),
                "bin_width": ("channel", [bin_width, bin_width]),
                "signal_units": ("channel", ["mV", "MHz"])})


def test_signal_noise_matches_the_scatter_of_repeated_profiles():
    gates, times = 2000, 400
    true = 20.0 * np.exp(-np.arange(gates) / 200.0) + 0.5  # MHz, background 0.5
    measured = true / (1 + true * 3e-3)  # a non-paralysable counter of 3 ns dead time
    raw = synthetic_raw(np.broadcast_to(measured, (times, gates)), 1.0 + true / 50.0)
    for average, expected_profiles in ((None, times), (8, times // 8)):
        ds = pp.correct(raw, dead_time=3.0, background={"bins": [1500, 2000]}, average=average)
        assert ds.sizes["time"] == expected_profiles
        for channel in ("532_pc", "532_an"):
            signal = ds.signal.sel(channel=channel).values[:, :1000]
            noise = ds.signal_noise.sel(channel=channel).values[:, :1000]
            scatter = signal.std(axis=0, ddof=1)
            # The estimate carried through the corrections is the actual spread.
            np.testing.assert_allclose(noise.mean(axis=0).mean(), scatter.mean(), rtol=0.05)
        # ... and the corrected mean is the true rate above the background.
        np.testing.assert_allclose(ds.signal.sel(channel="532_pc").values[:, :1000].mean(axis=0),
                                   true[:1000] - 0.5, rtol=0.02, atol=0.05)


def test_time_averaging_by_duration_follows_clock_intervals():
    raw = synthetic_raw(np.full((9, 50), 5.0), 1.0)  # every 30 s from 00:00:00
    ds = pp.correct(raw, average="2min", background=None)
    assert list(ds.profiles.values) == [4, 4, 1]
    assert [str(t)[11:19] for t in ds.time.values] == ["00:00:00", "00:02:00", "00:04:00"]
    shifted = raw.assign_coords(time=raw.time + np.timedelta64(45, "s"))
    assert list(pp.correct(shifted, average="2min").profiles.values) == [3, 4, 2]


def test_array_kernels_are_thread_independent_and_check_their_arguments():
    rng = np.random.default_rng(2)
    x = rng.uniform(0, 50, (64, 3, 500))
    noise = rng.uniform(0, 1, x.shape)
    runs = [(pp.dead_time_correction(x, 4.0, model="paralysable", noise=noise, threads=n),
             pp.subtract_background(x, (400, 500), threads=n),
             pp.glue_channels(x / 40, x, threads=n),
             pp.average_time(x, np.ones(x.shape[:-1]), 5, noise=noise, threads=n),
             pp.average_range(x, 7, noise=noise, threads=n))
            for n in (1, 2, 5)]
    for other in runs[1:]:
        for a, b in zip(runs[0], other):
            for u, v in zip(a, b):
                if u is not None:
                    np.testing.assert_array_equal(u, v)
    with pytest.raises(ValueError, match="noise must have the signal's shape"):
        pp.dead_time_correction(x, 4.0, noise=noise[:, :2])
    with pytest.raises(ValueError, match="photon_counting must have the shape of analog"):
        pp.glue_channels(x, x[:2])
    with pytest.raises(TypeError, match="rate must be a real number"):
        pp.dead_time_correction("fast", 4.0)
    with pytest.raises(ValueError, match="threads must be"):
        pp.shift_bins(x, 1, threads=0)


def test_bins_beyond_the_dead_time_model_are_left_out_of_the_time_average():
    import xarray as xr

    times, gates = 4, 40
    rate = np.full((times, 1, gates), 5.0)
    rate[1, 0, 3] = 300.0  # 300 MHz x 4 ns: beyond the non-paralysable model
    ds = xr.Dataset(
        {"signal": (("time", "channel", "range"), rate),
         "shots": (("time", "channel"), np.full((times, 1), 600))},
        coords={"time": np.datetime64("2024-01-01", "ns") + np.arange(times) * np.timedelta64(60, "s"),
                "channel": ["532_pc"], "range": (np.arange(gates) + 0.5) * 7.5,
                "detection_mode": ("channel", ["photon_counting"]),
                "bin_width": ("channel", [7.5]), "signal_units": ("channel", ["MHz"])})
    with pytest.warns(RuntimeWarning, match="beyond"):
        each = pp.correct(ds, dead_time=4.0, background=None).signal.values[:, 0]
    with pytest.warns(RuntimeWarning, match="beyond"):
        averaged = pp.correct(ds, dead_time=4.0, background=None, average=2).signal.values[:, 0]
    assert np.isnan(each[1, 3]) and np.isfinite(averaged).all()
    np.testing.assert_allclose(averaged[0, 3], each[0, 3], rtol=1e-15)
    np.testing.assert_allclose(averaged, np.nanmean(each.reshape(2, 2, gates), axis=1), rtol=1e-15)


def test_each_profile_keeps_its_stop_time_with_or_without_averaging(raw):
    # Without a time average the profiles' stop times used to be dropped (and with them
    # the product's time bounds).
    kept = pp.correct(raw)
    np.testing.assert_array_equal(kept["stop_time"].values, raw["stop_time"].values)
    averaged = pp.correct(raw, average=2)
    np.testing.assert_array_equal(averaged["stop_time"].values,
                                  raw["stop_time"].values[[1, 3, 4]])


def test_the_correction_chain_takes_named_steps_and_refuses_positional_or_unknown_ones():
    from Aerolume import _core

    step = _core.ChannelSteps(photon_counting=True, dead_time=4.0, model="paralysable",
                              background_begin=10, background_end=20,
                              subtract_background=True, shift=-2)
    assert (step.photon_counting, step.dead_time, step.background_end, step.shift) == \
        (True, 4.0, 20, -2)
    with pytest.raises(TypeError):
        _core.ChannelSteps(True, 4.0, "paralysable", 10, 20, True, -2)
    with pytest.raises(ValueError, match="model must be 'non_paralysable' or 'paralysable'"):
        _core.ChannelSteps(photon_counting=True, dead_time=4.0, model="dead", background_begin=0,
                           background_end=1, subtract_background=False, shift=0)
    pair = _core.GluePair(analog=0, pc=1, low=0.5, high=10.0, fit_begin=0, fit_end=100,
                          min_analog_snr=3.0)
    assert (pair.analog, pair.pc, pair.min_analog_snr) == (0, 1, 3.0)
