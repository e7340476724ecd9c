"""Depolarisation ratios in closed loops through the forward model: the Δ90 calibration
with a misaligned receiver, delta_v and delta_p of dust and smoke, Monte Carlo coverage,
clean air against the molecular value, thread-count identity, the calibration history and
the errors bad input gets."""

import numpy as np
import pytest
import xarray as xr

from Aerolume import _core, atmosphere, depolarization as dep, retrieval, simulate
from Aerolume.uncertainty import PoissonNoise

WAVELENGTH = 532e-9
SHOTS = 20000
CONSTANT = 2e13           # counts per shot of P = C beta T^2 / r^2
BACKGROUND = 0.002        # counts per shot and gate
ETA = 0.83
MISALIGNMENT = 2.0        # degrees
DUST, SMOKE = (1000.0, 2000.0), (2600.0, 3400.0)
CLEAN = (4500.0, 6000.0)
DELTA_M = float(atmosphere.depolarization_ratio(WAVELENGTH, kind="linear", line="total"))


def layers(r):
    """Dust (delta_p 0.30, 50 sr) and smoke (0.05, 70 sr) layers: beta_a, delta_p, S_a."""
    beta = np.zeros_like(r)
    dp = np.full_like(r, 0.05)
    ratio = np.full_like(r, 50.0)
    dust = (r >= DUST[0]) & (r <= DUST[1])
    smoke = (r >= SMOKE[0]) & (r <= SMOKE[1])
    beta[dust] = 6e-6
    dp[dust] = 0.30
    beta[smoke] = 3e-6
    ratio[smoke] = 70.0
    return beta, dp, ratio


@pytest.fixture(scope="module")
def scene():
    r = np.arange(300.0, 6500.0, 30.0)
    mol = atmosphere.molecular_profile(r, WAVELENGTH)
    beta, dp, ratio = layers(r)
    return r, mol, beta, dp, ratio


def measure(scene, profiles=1, seed=1, co="parallel", angle=0.0, **kw):
    r, mol, beta, dp, ratio = scene
    return simulate.polarized(r, WAVELENGTH, np.tile(beta, (profiles, 1)), dp, mol,
                              lidar_ratio=ratio, eta=ETA, co=co, misalignment=MISALIGNMENT,
                              angle=angle, constant=CONSTANT, background=BACKGROUND,
                              shots=SHOTS, noise="poisson", seed=seed, **kw)


def calibration(scene, seed=5, co="parallel", profiles=4):
    r, mol, beta, dp, ratio = scene
    plus, minus = simulate.delta90_calibration(
        r, WAVELENGTH, np.tile(beta, (profiles, 1)), dp, mol, lidar_ratio=ratio, eta=ETA,
        co=co, misalignment=MISALIGNMENT, constant=CONSTANT, background=BACKGROUND,
        shots=SHOTS, noise="poisson", seed=seed)
    first = dep.calibrate(plus, minus, ghk=dep.GHK.ideal(co), depolarization=DELTA_M)
    # The misalignment needs the volume ratio of the calibration range (here with smoke in
    # it): one more pass with delta_v of the ratio of sums there at 0°.
    meas = measure(scene, profiles=profiles, co=co, seed=seed + 7)
    inside = (r >= 2000.0) & (r <= 4000.0)
    sums = [meas[name].values[:, inside].sum(keepdims=True).repeat(2, axis=-1)
            for name in ("cross", "co")]
    delta = dep.volume_depolarization(*sums, [1.0, 2.0], first)["volume_depolarization"]
    return dep.calibrate(plus, minus, ghk=dep.GHK.ideal(co),
                         depolarization=float(delta.values.flat[0]))


def noise(shots=SHOTS):
    return PoissonNoise(counts_per_unit=shots, background=BACKGROUND)


# ---- Calibration ------------------------------------------------------------------------

@pytest.mark.parametrize("co", ["parallel", "total"])
def test_delta90_calibration_with_a_misaligned_receiver(scene, co):
    cal = calibration(scene, co=co)
    # eta within 1 %, the misalignment found, K = 1 for parallel/cross and
    # sqrt(1 - u^2) for total/cross.
    assert abs(cal.eta / ETA - 1) < 0.01, cal
    assert abs(abs(cal.misalignment) - MISALIGNMENT) < 3 * cal.misalignment_uncertainty + 0.01, cal
    u = 0.96 * np.sin(np.radians(2 * MISALIGNMENT))
    expected_k = 1.0 if co == "parallel" else np.sqrt(1 - u * u)
    assert cal.k == pytest.approx(expected_k, abs=3e-4)
    assert cal.method == "delta90" and cal.calibration_range == (2000.0, 4000.0)


def test_calibration_uncertainty_covers_its_error(scene):
    errors, sds = [], []
    for seed in range(40):
        cal = calibration(scene, seed=100 + 3 * seed, profiles=1)
        errors.append(cal.eta - ETA)
        sds.append(cal.eta_uncertainty)
    errors, sds = np.array(errors), np.array(sds)
    # The standard deviation estimated from one calibration's gates matches the spread of
    # independent calibrations (within 25 %, for 40 of them).
    assert errors.std(ddof=1) == pytest.approx(np.sqrt(np.mean(sds ** 2)), rel=0.25)


def test_molecular_calibration_is_the_fallback(scene):
    meas = measure(scene, profiles=4, angle=0.0, seed=9)
    # Forced to the molecular value in clean air: with the receiver's misalignment known,
    # eta within 1 %; without, the misalignment's (1 - cos 4°) / 2 = 0.0012 added to
    # delta_m = 0.0144 goes into eta (8 % here): the fallback is only as good as the
    # receiver is known.
    known = dep.calibrate_molecular(meas, reference=CLEAN, molecular_depolarization=DELTA_M,
                                    ghk=dep.GHK().rotated(MISALIGNMENT))
    assert known.method == "molecular"
    assert abs(known.eta / ETA - 1) < 0.01
    unknown = dep.calibrate_molecular(meas, reference=CLEAN, molecular_depolarization=DELTA_M)
    assert unknown.eta / ETA - 1 == pytest.approx(0.0012 / DELTA_M, abs=0.02)


# ---- Products -----------------------------------------------------------------------------

def test_ghk_inversion_in_the_core_inverts_the_receiver():
    rng = np.random.default_rng(3)
    delta = rng.uniform(0.0, 0.9, 1000)
    for ghk in (dep.GHK(), dep.GHK.ideal("total"), dep.GHK(0.98, 0.93, 1.02, -0.81)):
        x = ghk.calibrated_ratio(delta)
        out, _ = _core.depolarization(x, np.ones_like(x), np.ones(1), ghk.core(), np.empty(0),
                                      np.empty(0))
        np.testing.assert_allclose(out, delta, rtol=0, atol=1e-12)


@pytest.mark.parametrize("co", ["parallel", "total"])
def test_dust_and_smoke_closed_loop(scene, co):
    r, mol, beta, dp, ratio = scene
    cal = calibration(scene, co=co)
    meas = measure(scene, profiles=1, co=co, seed=21)
    # The backscatter ratio from a Klett-Fernald inversion of the total signal.
    total = dep.total_signal(meas["cross"].values, meas["co"].values, cal)
    klett = retrieval.klett_fernald(total, r, mol, ratio, CLEAN)
    backscatter_ratio = 1 + klett["backscatter"].values / mol["beta_m"].values
    out = dep.particle_depolarization(meas["cross"], meas["co"], r, cal, backscatter_ratio,
                                      DELTA_M)
    truth_r = meas["backscatter_ratio"].values
    got = out["particle_depolarization"].values[0]
    for layer, value in ((DUST, 0.30), (SMOKE, 0.05)):
        gates = (r >= layer[0]) & (r <= layer[1]) & (truth_r[0] > 2)
        assert gates.sum() > 20
        error = np.abs(got[gates] - value)
        assert error.max() < 0.02, (layer, error.max())
        assert (out["particle_depolarization_flag"].values[0][gates] & 2).sum() == 0
    np.testing.assert_allclose(out["volume_depolarization"].values[0][truth_r[0] > 2],
                               meas["volume_depolarization"].values[0][truth_r[0] > 2],
                               atol=0.01)
    assert out.attrs["calibration_method"] == "delta90"
    # Low backscatter ratios are flagged.
    low = truth_r[0] < 2
    assert np.all(out["particle_depolarization_flag"].values[0][low] & 2)


def test_monte_carlo_standard_deviations_cover_the_error(scene):
    r, mol, beta, dp, ratio = scene
    profiles = 60
    cal = dep.Calibration(ETA, 0.0, 1.0, MISALIGNMENT, 0.0, "delta90")
    meas = measure(scene, profiles=profiles, seed=31)
    truth_r = meas["backscatter_ratio"].values
    rng = np.random.default_rng(7)
    ratio_sd = 0.05 * truth_r
    noisy_r = truth_r + ratio_sd * rng.standard_normal(truth_r.shape)
    unc = dep.DepolarizationUncertainty(realisations=100, cross_noise=noise(),
                                        co_noise=noise(), backscatter_ratio=ratio_sd, seed=4)
    out = dep.particle_depolarization(meas["cross"], meas["co"], r, cal, noisy_r, DELTA_M,
                                      uncertainty=unc)
    aerosol = truth_r > 2
    for name in ("volume_depolarization", "particle_depolarization"):
        truth = meas[name].values
        err = np.abs(out[name].values - truth)[aerosol]
        sd = out[f"{name}_uncertainty"].values[aerosol]
        inside = (err <= sd).mean()
        assert 0.63 <= inside <= 0.73, (name, inside)


def test_clean_air_volume_ratio_is_the_molecular_one(scene):
    r = scene[0]
    cal = calibration(scene, profiles=8)
    meas = measure(scene, profiles=30, seed=41)
    out = dep.volume_depolarization(meas["cross"], meas["co"], r, cal)
    clean = (r >= CLEAN[0]) & (r <= CLEAN[1])
    cross = meas["cross"].values[:, clean].sum()
    co = meas["co"].values[:, clean].sum()
    delta = dep.volume_depolarization([cross, cross], [co, co], [1.0, 2.0], cal)[
        "volume_depolarization"].values[0]
    # The calibration's uncertainty on delta_v (of eta and of the misalignment) and the
    # statistical one of the mean.
    def ratio_with(misalignment):
        return dep.volume_depolarization([cross, cross], [co, co], [1.0, 2.0], cal,
                                         misalignment=misalignment)[
            "volume_depolarization"].values[0]
    eps, eps_sd = cal.misalignment, cal.misalignment_uncertainty
    sigma_cal = np.hypot(delta * cal.eta_uncertainty / cal.eta,
                         (ratio_with(eps + eps_sd) - ratio_with(eps - eps_sd)) / 2)
    per_gate = out["volume_depolarization"].values[:, clean]
    sigma_mean = per_gate.std(ddof=1) / np.sqrt(per_gate.size)
    assert abs(delta - DELTA_M) < 2 * np.hypot(sigma_cal, sigma_mean) + 1e-5, \
        (delta, DELTA_M, sigma_cal, sigma_mean)
    # The Monte Carlo over the calibration alone (eta and the misalignment) gives the same
    # calibration uncertainty.
    mc = dep.volume_depolarization([cross, cross], [co, co], [1.0, 2.0], cal,
                                   uncertainty={"realisations": 400, "seed": 2})
    assert mc["volume_depolarization_uncertainty"].values[0] == pytest.approx(sigma_cal,
                                                                              rel=0.15)
    # Without the misalignment's correction delta_v is biased by about (1 - cos 4°) / 2.
    raw = dep.volume_depolarization(meas["cross"], meas["co"], r, cal, misalignment=0.0)
    bias = np.median(raw["volume_depolarization"].values[:, clean] - per_gate)
    assert bias == pytest.approx((1 - np.cos(np.radians(4.0))) / 2, rel=0.1)


def test_results_do_not_depend_on_the_thread_count(scene):
    r = scene[0]
    cal = dep.Calibration(ETA, 0.01, 1.0, MISALIGNMENT, 0.1, "delta90")
    for profiles in (1, 7):
        meas = measure(scene, profiles=profiles, seed=51)
        unc = dep.DepolarizationUncertainty(realisations=23, cross_noise=noise(),
                                            co_noise=noise(), molecular=0.001,
                                            backscatter_ratio=0.1, seed=9)
        runs = [dep.particle_depolarization(meas["cross"], meas["co"], r, cal,
                                            meas["backscatter_ratio"], DELTA_M,
                                            uncertainty=unc, threads=t) for t in (1, 2, 3)]
        for other in runs[1:]:
            for name in runs[0].data_vars:
                np.testing.assert_array_equal(runs[0][name].values, other[name].values)


# ---- Channel pairs and bad input --------------------------------------------------------------

def measurement(channels, polarizations, r, files=("a.txt",), value=1.0):
    n = len(channels)
    signal = np.full((len(files), n, r.size), value)
    return xr.Dataset({"signal": (("time", "channel", "range"), signal)},
                      coords={"channel": list(channels),
                              "polarization": ("channel", list(polarizations)),
                              "wavelength": ("channel", [532e-9] * n),
                              "detection_mode": ("channel", ["analog"] * n),
                              "range": r, "source_file": ("time", list(files))})


def test_channel_pairs_from_the_polarisation_letters():
    r = np.arange(100.0, 5000.0, 100.0)
    data = measurement(["355_an", "532_an", "532p_an", "532s_an"],
                       ["none", "none", "parallel", "perpendicular"], r)
    pairs = dep.channel_pairs(data)
    assert pairs == [dep.ChannelPair("532s_an", "532p_an", "parallel", 532e-9)]
    total = measurement(["532_an", "532s_an"], ["none", "perpendicular"], r)
    assert dep.channel_pairs(total)[0].co_kind == "total"
    named = dep.channel_pairs(data, cross="532s_an", co="532_an")
    assert named[0].co == "532_an" and named[0].co_kind == "total"
    with pytest.raises(ValueError, match="cross channel '532p_an' records the parallel"):
        dep.channel_pairs(data, cross="532p_an", co="532_an")
    with pytest.raises(ValueError, match="co channel '532s_an' records the cross"):
        dep.channel_pairs(data, cross="532_an", co="532s_an")


def test_bad_input_names_the_file_or_argument(scene):
    r = np.arange(100.0, 5000.0, 100.0)
    only_parallel = measurement(["532p_an", "532_an"], ["parallel", "none"], r)
    with pytest.raises(ValueError, match="config.toml.*no cross channel"):
        dep.channel_pairs(only_parallel, source="config.toml")
    with pytest.raises(ValueError, match=r"\[\[depolarization\]\].*no cross channel"):
        dep.channel_pairs(only_parallel, co="532p_an", source="[[depolarization]]")
    both = measurement(["532p_an", "532s_an"], ["parallel", "perpendicular"], r,
                       files=("plus.txt",))
    other = measurement(["532p_an", "532x_an"], ["parallel", "perpendicular"], r,
                        files=("minus.txt",))
    pair = dep.channel_pairs(both)[0]
    with pytest.raises(ValueError, match="minus45 \\(minus.txt\\).*532s_an"):
        dep.calibrate(both, other, pair=pair)
    coarse = measurement(["532p_an", "532s_an"], ["parallel", "perpendicular"],
                         np.arange(100.0, 5000.0, 50.0), files=("minus.txt",))
    with pytest.raises(ValueError, match="range grids.*plus.txt.*minus.txt"):
        dep.calibrate(both, coarse, pair=pair)
    dark = measurement(["532p_an", "532s_an"], ["parallel", "perpendicular"], r,
                       files=("dark.txt",), value=0.0)
    with pytest.raises(ValueError, match="plus45 \\(dark.txt\\).*no signal"):
        dep.calibrate(dark, both, pair=pair)
    with pytest.raises(ValueError, match="calibration range 6000-8000 m holds 0 gate"):
        dep.calibrate(both, both.assign_coords(source_file=("time", ["b.txt"])), pair=pair,
                      calibration_range=(6000.0, 8000.0))
    meas = measure(scene)
    with pytest.raises(TypeError, match="calibration must be a Calibration"):
        dep.volume_depolarization(meas["cross"], meas["co"], scene[0], 0.8)
    with pytest.raises(ValueError, match="cross .* and co .* same shape"):
        dep.volume_depolarization(meas["cross"], meas["co"][:, 1:], scene[0],
                                  dep.Calibration.constant(0.8))


def test_calibration_files_are_checked_before_any_work(tmp_path):
    import glob
    import pathlib
    samples = sorted(glob.glob(str(pathlib.Path(__file__).parent.parent / "examples" / "data"
                                   / "licel" / "RM*")))
    with pytest.raises(FileNotFoundError, match="missing.000"):
        dep.calibrate_files(samples[:2], [str(tmp_path / "missing.000")])
    empty = tmp_path / "minus"
    empty.mkdir()
    with pytest.raises(FileNotFoundError, match="minus45: the folder .*minus holds no files"):
        dep.calibrate_files(samples[:2], empty)
    # The shared samples have no polarised channels: no pair, named by its file.
    with pytest.raises(ValueError, match=r"plus45 \(.*RM.*\): 0 depolarisation pairs"):
        dep.calibrate_files(samples[:2], samples[2:4])
    with pytest.raises(ValueError, match="no cross channel"):
        dep.calibrate_files(samples[:2], samples[2:4], co="355_an")


# ---- Calibration history ---------------------------------------------------------------------

def test_calibration_history_uses_the_latest_earlier_one(tmp_path):
    first = dep.Calibration(0.81, 0.004, 1.0, 1.5, 0.2, "delta90", time="2026-11-30T21:00:00Z",
                            cross="532s_an", co="532p_an", station="site")
    second = dep.Calibration(0.84, 0.003, 1.0, 1.7, 0.2, "delta90", time="2026-12-04T20:00:00Z",
                             cross="532s_an", co="532p_an", station="site")
    for cal in (first, second):
        dep.save_calibration(cal, tmp_path)
    same = dep.load_calibration(tmp_path, "site", "2026-12-04")
    assert same.eta_star == 0.84 and same.origin.startswith("measured on 2026-12-04")
    with pytest.warns(RuntimeWarning, match="latest earlier calibration, of 2026-12-04"):
        later = dep.load_calibration(tmp_path, "site", "2026-12-08")
    assert later.eta_star == 0.84 and "2026-12-04" in later.origin
    assert dataclass_equal(later, second)
    with pytest.warns(RuntimeWarning, match="of 2026-11-30"):
        assert dep.load_calibration(tmp_path, "site", "2026-12-02").eta_star == 0.81
    with pytest.raises(FileNotFoundError, match="no depolarisation calibration of site on or "
                       "before 2026-11-01"):
        dep.load_calibration(tmp_path, "site", "2026-11-01")
    with pytest.raises(FileNotFoundError, match="within 2 days"):
        dep.load_calibration(tmp_path, "site", "2026-12-08", max_age=2)
    with pytest.raises(ValueError, match="station must be a name"):
        dep.save_calibration(first, tmp_path, station="../elsewhere")
    broken = tmp_path / "site_20261206_depolarization.json"
    broken.write_text("{not json")
    with pytest.raises(ValueError, match="site_20261206_depolarization.json: not a "
                       "depolarisation calibration file"):
        dep.load_calibration(tmp_path, "site", "2026-12-07")


def dataclass_equal(a, b):
    keep = {k: v for k, v in a.to_dict().items() if k != "origin"}
    return keep == {k: v for k, v in b.to_dict().items() if k != "origin"}


# ---- A night's [[depolarization]] table ------------------------------------------------------

def test_table_checks_name_the_table_and_field():
    where = "night.toml: [[depolarization]] #1"
    for table, message in (({"cross": "532s_an"}, "co is missing"),
                           ({"plus45": "cal/p45"}, "needs both plus45 and minus45"),
                           ({"eta": 0.8, "molecular_reference": [5e3, 6e3]}, "give one of"),
                           ({}, "no calibration"),
                           ({"eta": 0.8, "colour": 1}, r"unknown field\(s\) \['colour'\]"),
                           ({"history": "h"}, "history needs station")):
        with pytest.raises(ValueError, match=rf"{re_escape(where)}: .*{message}"):
            dep.check_table(table, where)


def re_escape(text):
    import re
    return re.escape(text)


def test_block_products_of_a_night(scene, tmp_path):
    r, mol, beta, dp, ratio = scene
    meas = measure(scene, profiles=3, seed=61)
    channels = ["532p_an", "532s_an"]
    signal = np.stack([meas["co"].values, meas["cross"].values], axis=1)
    noise_sd = np.stack([meas["co_noise"].values, meas["cross_noise"].values], axis=1)
    times = np.array(["2026-12-08T20:00", "2026-12-08T20:10", "2026-12-08T20:20"],
                     dtype="datetime64[ns]")
    product = xr.Dataset(
        {"signal": (("time", "channel", "range"), signal),
         "signal_noise": (("time", "channel", "range"), noise_sd),
         "beta_m": (("channel", "range"), np.stack([mol["beta_m"].values] * 2)),
         "backscatter": (("time", "klett_channel", "range"), meas["beta_a"].values[:, None]),
         "backscatter_uncertainty": (("time", "klett_channel", "range"),
                                     0.02 * meas["beta_a"].values[:, None])},
        coords={"time": times, "channel": channels, "range": r,
                "polarization": ("channel", ["parallel", "perpendicular"]),
                "wavelength": ("channel", [WAVELENGTH] * 2), "klett_channel": ["532p_an"]})
    table = {"eta": ETA, "eta_uncertainty": 0.002, "ghk": list(dep.GHK().rotated(2.0).core())}
    cal = dep.table_calibration(table, "2026-12-08")
    out = dep.block_products(product, table, cal, realisations=20, seed=3)
    truth = meas["particle_depolarization"].values
    good = meas["backscatter_ratio"].values > 2
    np.testing.assert_allclose(out["particle_depolarization"].values[good], truth[good],
                               atol=0.02)
    assert out.attrs["cross_channel"] == "532s_an" and out.attrs["calibration_method"] == "constant"
    assert np.isfinite(out["particle_depolarization_uncertainty"].values[good]).all()
    # A history: the constant is not stored, so a night with only a history finds none.
    with pytest.raises(FileNotFoundError, match="no depolarisation calibration of site"):
        dep.table_calibration({"history": str(tmp_path), "station": "site"}, "2026-12-08")


def test_depolarization_and_retrieval_uncertainties_follow_one_rule_for_their_draws():
    # Both Monte Carlo settings accept and refuse the same draws: a count past the bound
    # (which would allocate without end) is refused, not started.
    from Aerolume.uncertainty import MAX_REALISATIONS, MonteCarlo
    for settings in (MonteCarlo, dep.DepolarizationUncertainty):
        assert settings.of({"realisations": 2, "seed": 2**64 - 1}).realisations == 2
        for bad in (1, MAX_REALISATIONS + 1):
            with pytest.raises(ValueError, match="realisations must be from 2 to"):
                settings(realisations=bad)
        with pytest.raises(ValueError, match="seed"):
            settings(seed=-1)
        with pytest.raises(TypeError, match="integers"):
            settings(realisations=2.5)
        with pytest.raises(TypeError, match="uncertainty: .*unexpected"):
            settings.of({"realisation": 3})
        with pytest.raises(TypeError, match=f"a {settings.__name__} or a dict"):
            settings.of(3)
    unc = dep.DepolarizationUncertainty(cross_noise={"counts_per_unit": 2.0})
    assert isinstance(unc.cross_noise, PoissonNoise)
