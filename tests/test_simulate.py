"""The forward model: the lidar equation against a direct evaluation, the Raman channel's
wavelength and extinction, and the seeded noise (its statistics, and the same numbers
whatever the thread count)."""


import numpy as np
import pytest
from scipy import stats

from Aerolume import retrieval, simulate

from retrieval_cases import LIDAR_RATIO, WAVELENGTH, aerosol, grid, molecular  # noqa: E402


def optical_depth(alpha, r):
    """∫_0^r alpha: alpha(r_0) r_0, then trapezoids between gates."""
    steps = 0.5 * (alpha[..., 1:] + alpha[..., :-1]) * np.diff(r)
    return alpha[..., :1] * r[0] + np.concatenate(
        [np.zeros(alpha.shape[:-1] + (1,)), np.cumsum(steps, axis=-1)], axis=-1)


def test_elastic_signal_is_the_lidar_equation():
    r = grid(15.0)
    mol = molecular(r)
    beta_a = np.stack([aerosol(r), 0.5 * aerosol(r)])
    overlap = 1.0 - np.exp(-r / 300.0)
    sim = simulate.elastic(r, WAVELENGTH, beta_a, mol, lidar_ratio=LIDAR_RATIO,
                           constant=[2e12, 3e12], overlap=overlap)
    alpha = mol["alpha_m"].values + LIDAR_RATIO * beta_a
    expected = (np.array([[2e12], [3e12]]) * overlap * (mol["beta_m"].values + beta_a) / r ** 2
                * np.exp(-2.0 * optical_depth(alpha, r)))
    np.testing.assert_allclose(sim["signal"].values, expected, rtol=1e-12)
    assert sim["signal"].dims == ("time", "range")
    np.testing.assert_array_equal(sim["alpha_a"].values, LIDAR_RATIO * beta_a)
    assert (sim["signal_noise"].values == 0).all()
    # An extinction profile instead of a lidar ratio gives the same signal.
    again = simulate.elastic(r, WAVELENGTH, beta_a, mol, alpha_a=LIDAR_RATIO * beta_a,
                             constant=[2e12, 3e12], overlap=overlap)
    np.testing.assert_array_equal(again["signal"].values, sim["signal"].values)


def test_raman_signal_uses_both_wavelengths():
    r = grid(15.0)
    w_raman = retrieval.raman_wavelength(WAVELENGTH)
    assert w_raman == pytest.approx(386.67e-9, abs=0.01e-9)
    assert retrieval.raman_wavelength(532.0e-9) == pytest.approx(607.4e-9, abs=0.1e-9)
    mol, mol_r = molecular(r), molecular(r, w_raman)
    beta_a = aerosol(r)
    sim = simulate.raman(r, WAVELENGTH, beta_a, mol, mol_r, lidar_ratio=LIDAR_RATIO,
                         angstrom=1.5, cross_section=1e-34, constant=5e12)
    alpha_a = LIDAR_RATIO * beta_a
    two_way = (mol["alpha_m"].values + mol_r["alpha_m"].values
               + alpha_a * (1 + (WAVELENGTH / w_raman) ** 1.5))
    expected = (5e12 * mol["number_density"].values * simulate.NITROGEN_FRACTION * 1e-34 / r ** 2
                * np.exp(-optical_depth(two_way, r)))
    np.testing.assert_allclose(sim["signal"].values, expected, rtol=1e-12)
    assert sim.attrs["raman_wavelength"] == pytest.approx(w_raman)


def test_poisson_noise_has_poisson_statistics():
    r = grid(30.0, top=300.0)  # 10 gates
    profiles = 4000
    mol = {"alpha_m": np.zeros(10), "beta_m": np.full(10, 1e-6)}
    # Constants chosen for mean counts of about 2, 9.5 (the inversion side) and 3000 (the
    # transformed-rejection side) per gate, with a background of 0.5 counts per shot.
    for counts in (2.0, 9.5, 3000.0):
        constant = counts * r[0] ** 2 / 1e-6
        sim = simulate.elastic(r, WAVELENGTH, np.zeros((profiles, 10)), mol, alpha_a=0.0,
                               constant=constant, background=0.5, shots=1, noise="poisson",
                               seed=7)
        true = sim["signal_noise_free"].values[0, 0]
        drawn = sim["signal"].values[:, 0] + 0.5
        # Tolerance: mean and variance within 5 standard errors.
        mean = true + 0.5
        assert abs(drawn.mean() - mean) < 5 * np.sqrt(mean / profiles)
        assert abs(drawn.var() / mean - 1) < 5 * np.sqrt(2 / profiles) * (1 + 1 / np.sqrt(mean))
        assert np.all(drawn == np.round(drawn))
        # The whole distribution (a chi-square test over the counts seen).
        values, seen = np.unique(drawn.astype(int), return_counts=True)
        expected = stats.poisson.pmf(values, mean) * profiles
        keep = expected > 20
        chi2 = np.sum((seen[keep] - expected[keep]) ** 2 / expected[keep])
        assert stats.chi2.sf(chi2, keep.sum() - 1) > 1e-4
        np.testing.assert_allclose(sim["signal_noise"].values[0, 0], np.sqrt(mean))


def test_gaussian_noise_and_shots():
    r = grid(30.0, top=300.0)
    mol = {"alpha_m": np.zeros(10), "beta_m": np.full(10, 1e-6)}
    sim = simulate.elastic(r, WAVELENGTH, np.zeros((5000, 10)), mol, alpha_a=0.0,
                           noise="gaussian", noise_std=2.0, shots=16, seed=1)
    noise = (sim["signal"] - sim["signal_noise_free"]).values
    # Tolerance: 5 standard errors.
    assert abs(noise.std() - 0.5) < 5 * 0.5 / np.sqrt(2 * noise.size)
    assert abs(noise.mean()) < 5 * 0.5 / np.sqrt(noise.size)
    assert stats.normaltest(noise.ravel()).pvalue > 1e-4
    np.testing.assert_allclose(sim["signal_noise"].values, 0.5)


def test_noise_is_seeded_and_independent_of_threads():
    r = grid(7.5, top=3000.0)
    mol = molecular(r)
    beta_a = np.tile(aerosol(r), (9, 1))
    kw = dict(lidar_ratio=LIDAR_RATIO, constant=1e11, background=3.0, shots=100,
              noise="poisson")
    one = simulate.elastic(r, WAVELENGTH, beta_a, mol, seed=5, threads=1, **kw)
    many = simulate.elastic(r, WAVELENGTH, beta_a, mol, seed=5, threads=4, **kw)
    other = simulate.elastic(r, WAVELENGTH, beta_a, mol, seed=6, **kw)
    assert np.array_equal(one["signal"].values, many["signal"].values)
    assert not np.array_equal(one["signal"].values, other["signal"].values)
    # Each profile has its own stream: the rows differ from each other.
    assert not np.array_equal(one["signal"].values[0], one["signal"].values[1])


def test_bad_arguments_are_named():
    r = grid(30.0, top=3000.0)
    mol = molecular(r)
    beta_a = aerosol(r)
    with pytest.raises(ValueError, match="either alpha_a or lidar_ratio"):
        simulate.elastic(r, WAVELENGTH, beta_a, mol)
    with pytest.raises(ValueError, match="either alpha_a or lidar_ratio"):
        simulate.elastic(r, WAVELENGTH, beta_a, mol, lidar_ratio=50.0, alpha_a=beta_a)
    with pytest.raises(ValueError, match="noise_std"):
        simulate.elastic(r, WAVELENGTH, beta_a, mol, lidar_ratio=50.0, noise="gaussian")
    with pytest.raises(ValueError, match="noise must be"):
        simulate.elastic(r, WAVELENGTH, beta_a, mol, lidar_ratio=50.0, noise="white")
    with pytest.raises(ValueError, match="beta_a"):
        simulate.elastic(r, WAVELENGTH, -beta_a, mol, lidar_ratio=50.0)
    with pytest.raises(ValueError, match="wavelength"):
        simulate.elastic(r, -1.0, beta_a, mol, lidar_ratio=50.0)
    with pytest.raises(ValueError, match="shots"):
        simulate.elastic(r, WAVELENGTH, beta_a, mol, lidar_ratio=50.0, shots=0)
    with pytest.raises(ValueError, match="seed"):
        simulate.elastic(r, WAVELENGTH, beta_a, mol, lidar_ratio=50.0, seed=-1)
