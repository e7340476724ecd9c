"""The automatic reference search: it takes clean air above the aerosol, refuses a cloud,
explains a refusal, keeps its choice under noise, and feeds the retrievals."""


import numpy as np
import pytest

from Aerolume import retrieval, simulate

from retrieval_cases import LIDAR_RATIO, WAVELENGTH, aerosol, grid, molecular  # noqa: E402


def high_cloud(r):
    """The standard aerosol plus a cloud at 9.5 km, 300 m thick."""
    return aerosol(r) + 5e-6 * np.exp(-(((r - 9500.0) / 150.0) ** 2))


@pytest.fixture(scope="module")
def atmosphere():
    r = grid(15.0)
    return r, molecular(r)


def aerosol_fraction(beta_a, beta_m, r, interval):
    inside = (r >= interval[0]) & (r <= interval[1])
    return np.max(beta_a[inside] / beta_m[inside])


def test_finds_clean_air_above_the_aerosol(atmosphere):
    r, mol = atmosphere
    beta_a = high_cloud(r)
    sim = simulate.elastic(r, WAVELENGTH, beta_a, mol, lidar_ratio=LIDAR_RATIO, constant=1e13)
    found = retrieval.find_reference(sim["signal"], r, mol, search=(3000.0, 14000.0),
                                     width=1000.0)
    assert found.found and found.reason == ""
    interval = found.interval
    assert interval[1] - interval[0] == pytest.approx(66 * 15.0)  # 67 gates
    assert interval[0] > 9500.0  # above the cloud: the layers below all fail
    assert aerosol_fraction(beta_a, mol["beta_m"].values, r, interval) < 1e-3
    windows = found.windows
    chosen = int(windows["chosen"])
    assert bool(windows["passes"][chosen]) and not windows["passes"][:chosen].any()
    # Windows over the cloud fail the slope or residual tests; those in the boundary
    # layer's tail and above the 4 km layer fail on the slope.
    over_cloud = (windows["start"] < 9700.0) & (windows["stop"] > 9300.0)
    assert not (windows["passes_slope"] & windows["passes_residual"])[over_cloud].any()
    # The retrieval takes the search's result as its reference.
    result = retrieval.klett_fernald(sim["signal"], r, mol, LIDAR_RATIO, found)
    assert result.attrs["reference_range"] == pytest.approx(list(interval))


def test_refuses_a_cloud_and_says_why(atmosphere):
    r, mol = atmosphere
    beta_a = high_cloud(r)
    sim = simulate.elastic(r, WAVELENGTH, beta_a, mol, lidar_ratio=LIDAR_RATIO, constant=1e13)
    found = retrieval.find_reference(sim["signal"], r, mol, search=(9000.0, 10000.0),
                                     width=400.0, step=100.0)
    assert not found.found
    assert np.isnan(found.interval).all()
    assert "no window" in found.reason and "slope test" in found.reason
    with pytest.raises(ValueError, match="no reference interval was found"):
        retrieval.klett_fernald(sim["signal"], r, mol, LIDAR_RATIO, found)
    # A manual interval is always taken as given.
    manual = retrieval.klett_fernald(sim["signal"], r, mol, LIDAR_RATIO, (9000.0, 10000.0))
    assert np.isfinite(manual["backscatter"].values[r < 9000.0]).all()


def test_stable_under_noise(atmosphere):
    r, mol = atmosphere
    beta_a = high_cloud(r)
    sim = simulate.elastic(r, WAVELENGTH, np.tile(beta_a, (20, 1)), mol,
                           lidar_ratio=LIDAR_RATIO, constant=1e13, shots=2000, background=0.1,
                           noise="poisson", seed=9)
    estimated = retrieval.find_reference(sim["signal"], r, mol, search=(3000.0, 14000.0))
    given = retrieval.find_reference(sim["signal"], r, mol, search=(3000.0, 14000.0),
                                     noise=sim["signal_noise"])
    for found in (estimated, given):
        assert found.found.all(), found.reason_text()
        for interval in found.interval:
            assert interval[0] > 9500.0
            assert aerosol_fraction(beta_a, mol["beta_m"].values, r, interval) < 1e-3
        # The choice moves by a window or two at most between realisations.
        assert np.ptp(found.interval[:, 0]) <= 1000.0
    assert found.windows["snr"].dims == ("time", "window")


def test_many_profiles_some_without_a_clean_window(atmosphere):
    r, mol = atmosphere
    clean = aerosol(r)
    # The second profile has a thick layer over the whole search range.
    dusty = clean + 1e-6 * ((r > 5000.0) & (r < 14500.0)) * (1 + 0.3 * np.sin(r / 300.0))
    sim = simulate.elastic(r, WAVELENGTH, np.stack([clean, dusty, clean]), mol,
                           lidar_ratio=LIDAR_RATIO, constant=1e13)
    found = retrieval.find_reference(sim["signal"], r, mol, search=(6000.0, 14000.0))
    assert found.found.tolist() == [True, False, True]
    assert "passed every test" in found.reason[1]
    with pytest.warns(RuntimeWarning, match="1 of 3 profiles"):
        result = retrieval.klett_fernald(sim["signal"], r, mol, LIDAR_RATIO, found)
    beta = result["backscatter"].values
    assert np.isnan(beta[1]).all()
    below = r < 5000.0
    np.testing.assert_allclose(beta[0, below], clean[below], rtol=1e-3, atol=1e-10)


def test_bad_arguments(atmosphere):
    r, mol = atmosphere
    signal = np.ones_like(r)
    with pytest.raises(ValueError, match="search"):
        retrieval.find_reference(signal, r, mol, search=(8000.0, 7000.0))
    with pytest.raises(ValueError, match="fewer than one window"):
        retrieval.find_reference(signal, r, mol, search=(8000.0, 8200.0), width=1000.0)
    with pytest.raises(ValueError, match="min_snr"):
        retrieval.find_reference(signal, r, mol, min_snr=-1.0)
    with pytest.raises(ValueError, match="step"):
        retrieval.find_reference(signal, r, mol, step=0.0)


def test_large_sets_are_searched_in_blocks_with_the_same_result(atmosphere):
    # The search works through large sets in blocks of about 2e6 window-gates; a profile's
    # outcome must not depend on its block.
    r, mol = atmosphere
    beta_a = high_cloud(r)
    count = 1500
    sim = simulate.elastic(r, WAVELENGTH, np.tile(beta_a, (count, 1)), mol,
                           lidar_ratio=LIDAR_RATIO, constant=1e13, shots=500, background=0.1,
                           noise="poisson", seed=4)
    signal = sim["signal"].values
    found = retrieval.find_reference(signal, r, mol, search=(3000.0, 14000.0))
    block = 2_000_000 // (found.windows.sizes["window"] * found.windows.attrs["gates"])
    assert block < count - 1
    for p in (0, block - 1, block, count - 1):
        alone = retrieval.find_reference(signal[p], r, mol, search=(3000.0, 14000.0))
        assert np.array_equal(alone.interval, found.interval[p], equal_nan=True)
        assert np.array_equal(alone.windows["snr"].values, found.windows["snr"].values[p])
