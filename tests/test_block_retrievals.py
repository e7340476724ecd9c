"""The pipeline's retrievals of a block in one core call per channel against one call of
the public functions per profile (tests/per_profile.py): the same products bit for bit, on
the shared night and on simulated signals with blind gates, clouds and profiles too short
to retrieve; and the Raman derivative's running sums against a direct fit."""

import pathlib
import warnings

import numpy as np
import pytest

from Aerolume import _core, simulate

from Aerolume.processing import pipeline, products
from Aerolume.processing.config import load_config

from per_profile import retrieve_per_profile  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
SHARED = sorted((ROOT.parent / "shared" / "data" / "licel").glob("RM*"))
FILES = SHARED or sorted((ROOT / "examples" / "data" / "licel").glob("RM*"))
STATION = ROOT / "examples" / "station.toml"


@pytest.fixture(scope="module")
def block():
    """The night's corrected block, its molecular atmosphere and the settings."""
    files = [str(f) for f in FILES]
    settings = pipeline.prepare(files, load_config(STATION)).settings
    captured = {}
    retrieve = products.retrieve

    def capture(corrected, molecular, settings_):
        captured["inputs"] = corrected, molecular, settings_
        return retrieve(corrected, molecular, settings_)

    products.retrieve = capture
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            pipeline.process_block(files, settings)
    finally:
        products.retrieve = retrieve
    return captured["inputs"]


def assert_identical(expected, actual):
    assert set(expected.data_vars) == set(actual.data_vars)
    for name in expected.data_vars:
        a, b = expected[name].values, actual[name].values
        assert a.shape == b.shape, name
        if a.dtype.kind == "f":
            assert np.array_equal(a, b, equal_nan=True), name
        else:
            assert np.array_equal(a, b), name
    for name in ("klett_channel", "raman_channel", "raman_signal_channel"):
        assert list(expected[name].values) == list(actual[name].values)


def both(corrected, molecular, settings):
    with warnings.catch_warnings(record=True) as old:
        warnings.simplefilter("always")
        expected = retrieve_per_profile(corrected, molecular, settings)
    with warnings.catch_warnings(record=True) as new:
        warnings.simplefilter("always")
        actual = products.retrieve(corrected, molecular, settings)

    def missing(caught):  # the warnings about profiles without a reference
        return sorted(str(w.message) for w in caught if "no molecular reference" in str(w.message))
    assert missing(old) == missing(new)
    return expected, actual


def test_the_block_path_gives_the_per_profile_products_on_the_night(block):
    corrected, molecular, settings = block
    expected, actual = both(corrected, molecular, settings)
    assert np.isfinite(actual["raman_extinction_uncertainty"].values).any()
    assert np.isfinite(actual["backscatter_uncertainty"].values).any()
    assert_identical(expected, actual)


def _with_blind_gates(corrected):
    """Every profile blind (NaN) up to its own gate, one too short to retrieve."""
    out = corrected.copy(deep=True)
    signal = out["signal"].values
    profiles = signal.shape[0]
    blind = [0, 3, 17, 3, 60, signal.shape[-1] - 10][:profiles]
    for p, b in enumerate(blind):
        signal[p, :, :b] = np.nan
    return out


def test_the_block_path_gives_the_per_profile_products_with_blind_gates(block):
    corrected, molecular, settings = block
    expected, actual = both(_with_blind_gates(corrected), molecular, settings)
    assert_identical(expected, actual)


def _simulated(corrected, molecular):
    """The block's signals replaced by simulated, noisy ones: an aerosol layer, a cloud in
    some profiles, blind gates differing from profile to profile."""
    out = corrected.copy(deep=True)
    r = out["range"].values
    profiles = out.sizes["time"]
    rng = np.random.default_rng(7)
    beta = 2e-6 * np.exp(-r / 1500.0)[None, :] * rng.uniform(0.5, 1.5, (profiles, 1))
    beta[1::2] += 5e-5 * ((r > 9000) & (r < 9600))  # a cloud in every other profile
    channels = [str(c) for c in out["channel"].values]
    signal = out["signal"].values
    noise = out["signal_noise"].values
    for k, channel in enumerate(channels):
        wavelength = float(out["wavelength"].values[k])
        mol = {name: molecular[name].sel(channel=channel).values
               for name in ("alpha_m", "beta_m")}
        finite = np.isfinite(mol["beta_m"])
        if not (abs(wavelength * 1e9 - 355) < 1 or abs(wavelength * 1e9 - 387) < 2):
            continue
        m = {name: np.where(finite, v, v[finite][-1]) for name, v in mol.items()}
        m["number_density"] = np.where(finite, molecular["molecular_number_density"].values,
                                       1e20)
        if abs(wavelength * 1e9 - 355) < 1:
            sim = simulate.elastic(r, wavelength, beta, m, lidar_ratio=50.0, constant=1e14,
                                   noise="gaussian", noise_std=2e-3, seed=k)
        else:
            sim = simulate.raman(r, 354.7e-9, beta, m, lidar_ratio=50.0, constant=1e-15,
                                 noise="gaussian", noise_std=2e-3, seed=k)
        signal[:, k] = sim["signal"].values
        noise[:, k] = sim["signal_noise"].values
    for p in range(profiles):
        signal[p, :, : 2 * p] = np.nan
    return out


def test_the_block_path_gives_the_per_profile_products_on_simulated_signals(block):
    corrected, molecular, settings = block
    expected, actual = both(_simulated(corrected, molecular), molecular, settings)
    assert np.isfinite(actual["backscatter"].values).any()
    assert_identical(expected, actual)


# ---- The Raman derivative ---------------------------------------------------------------

def direct_extinction(signal, r, density, alpha_m, alpha_raman, half, ratio, angstrom, noise,
                      dtype=np.float64):
    """The former kernel, gate by gate: a straight line fitted about each window's mean
    (in `dtype`: float64 as the former kernel, longdouble for a reference of its own
    rounding, which is about 1e-12 of the derivative since it sums x y without centring
    y)."""
    with np.errstate(invalid="ignore", divide="ignore"):
        y = np.where(signal > 0, np.log(density / (signal * r * r)), np.nan).astype(dtype)
    r = r.astype(dtype)
    noise = noise.astype(dtype)
    signal = signal.astype(dtype)
    scale = 1.0 + ratio ** angstrom
    n = r.size
    ext, err = np.full(n, np.nan), np.full(n, np.nan)
    for i in range(n):
        h = half[i]
        if not h >= 1 or h > i or i + h >= n:
            continue
        a, b = i - int(h), i + int(h)
        x = r[a:b + 1] - r[i]
        x = x - x.mean()
        sxx = np.sum(x * x)
        slope = np.sum(x * y[a:b + 1]) / sxx
        if not np.isfinite(slope):
            continue
        ext[i] = float((slope - alpha_m[i] - alpha_raman[i]) / scale)
        rel = noise[a:b + 1] / signal[a:b + 1]
        err[i] = float(np.sqrt(np.sum(x * x * rel * rel)) / sxx / scale)
    return ext, err


def raman_profile(gates, spacing, offset, seed):
    rng = np.random.default_rng(seed)
    r = offset + spacing * np.arange(1, gates + 1)
    density = 2.5e25 * np.exp(-(r - r[0]) / 8000.0)
    alpha_m = 1e-5 * density / 2.5e25
    alpha_raman = 0.8 * alpha_m
    true = density * np.exp(-2.2 * np.cumsum(alpha_m) * spacing) / r ** 2
    noise = 0.01 * true * (1 + (r - r[0]) / r[-1])
    signal = true + noise * rng.standard_normal(gates)
    signal[gates // 3] = -1.0  # a non-positive gate: the windows holding it are NaN
    signal[gates // 2] = np.nan  # a gap
    return r, signal, density, alpha_m, alpha_raman, noise


def core_extinction(r, signal, density, alpha_m, alpha_raman, half, noise):
    inputs = _core.RamanInputs(raman_signal=signal, range=r, number_density=density,
                               alpha_m=alpha_m, alpha_m_raman=alpha_raman,
                               wavelength_ratio=354.7 / 386.7, angstrom=np.ones(1),
                               half_width=np.ascontiguousarray(half, dtype=float),
                               raman_noise=noise)
    return _core.raman_extinction(inputs, threads=1)


@pytest.mark.parametrize("gates, spacing, offset", [(4000, 7.5, 0.0), (4000, 3.75, 5e4),
                                                    (16000, 7.5, 2e5), (16000, 3.75, 0.0)])
def test_the_running_sums_give_the_direct_fit(gates, spacing, offset):
    r, signal, density, alpha_m, alpha_raman, noise = raman_profile(gates, spacing, offset,
                                                                    gates)
    fixed = np.full(gates, 20.0)
    growing = np.floor(1 + 40 * (r - r[0]) / (r[-1] - r[0]))  # 3 to 83 gates with range
    uneven = np.where(np.arange(gates) % 7 == 0, 0.0, 1 + (np.arange(gates) * 7919) % 30)
    for half in (fixed, growing, uneven):
        ext, err = core_extinction(r, signal, density, alpha_m, alpha_raman, half, noise)
        exact, exact_err = direct_extinction(signal, r, density, alpha_m, alpha_raman, half,
                                             354.7 / 386.7, 1.0, noise, np.longdouble)
        want, want_err = direct_extinction(signal, r, density, alpha_m, alpha_raman, half,
                                           354.7 / 386.7, 1.0, noise)
        assert np.array_equal(np.isnan(ext), np.isnan(want))
        assert np.isnan(ext[:int(half[0]) or 1]).all() and np.isnan(ext[-1])
        ok = np.isfinite(want)
        assert ok.sum() > gates // 2
        # Relative to the derivative's scale (the extinction, the molecular terms and the
        # fit's statistical error, where noise makes the slope cross zero): the running
        # sums are closer to the exact fit than the former kernel was, and agree with it
        # to its rounding.
        derivative = np.abs(exact) + alpha_m + alpha_raman + exact_err
        assert np.max(np.abs(ext - exact)[ok] / derivative[ok]) < 1e-12
        assert np.max(np.abs(ext - want)[ok] / derivative[ok]) < 3e-12
        assert np.array_equal(np.isnan(err), np.isnan(want_err))
        assert np.max(np.abs(err - exact_err)[ok] / exact_err[ok]) < 1e-12


def test_the_running_sums_give_the_direct_fit_on_the_night(block):
    corrected, molecular, settings = block
    r = corrected["range"].values
    n = int(np.isfinite(molecular["beta_m"].values[0]).sum())
    ids = [str(c) for c in corrected["channel"].values]
    raman = corrected["signal"].values[:, ids.index("387_gl"), :n]
    noise = np.nan_to_num(corrected["signal_noise"].values[:, ids.index("387_gl"), :n])
    density = molecular["molecular_number_density"].values[:n]
    alpha = molecular["alpha_m"].values[ids.index("355_gl"), :n]
    alpha_raman = molecular["alpha_m"].values[ids.index("387_gl"), :n]
    for half in (np.full(n, 7.0), np.floor(1 + 20 * np.arange(n) / n)):
        for p in range(raman.shape[0]):
            ext, err = core_extinction(r[:n], np.ascontiguousarray(raman[p]), density, alpha,
                                       alpha_raman, half, np.ascontiguousarray(noise[p]))
            want, want_err = direct_extinction(raman[p], r[:n], density, alpha, alpha_raman,
                                               half, 354.7 / 386.7, 1.0, noise[p],
                                               np.longdouble)
            ok = np.isfinite(want)
            assert np.array_equal(np.isfinite(ext), ok)
            derivative = np.abs(want) + alpha + alpha_raman + want_err
            assert np.max(np.abs(ext - want)[ok] / derivative[ok]) < 1e-12
            assert np.max(np.abs(err - want_err)[ok] / want_err[ok]) < 1e-12


def test_klett_fernald_arrays_hold_the_dataset_values():
    from Aerolume import retrieval
    from Aerolume.atmosphere import molecular_profile

    r = np.arange(1, 2001) * 7.5
    mol = molecular_profile(r, 354.7e-9)
    sim = simulate.elastic(r, 354.7e-9, np.full((3, r.size), 1e-6), mol, lidar_ratio=50.0,
                           constant=1e13, noise="gaussian", noise_std=0.05, seed=3)
    reference = np.array([[9000.0, 10000.0], [10000.0, 11000.0], [np.nan, np.nan]])
    kw = dict(uncertainty={"realisations": 10, "noise": sim["signal_noise"].values},
              threads=1)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        ds = retrieval.klett_fernald(sim["signal"], r, mol, 50.0, reference, **kw)
        arrays = retrieval.klett_fernald(sim["signal"].values, r, mol, 50.0, reference,
                                         output="arrays", **kw)
    assert set(arrays) == set(ds.data_vars)
    for name, values in arrays.items():
        assert values.shape == ds[name].shape
        assert np.array_equal(values, ds[name].values, equal_nan=True), name
    assert ds["reference_offset"].dims == ("time",)
    with pytest.raises(ValueError, match="output"):
        retrieval.klett_fernald(sim["signal"].values, r, mol, 50.0, reference[0],
                                output="list")
