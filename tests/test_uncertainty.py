"""Monte Carlo uncertainties against the spread of independent noisy simulations, the
coverage of the truth, the systematic parameters, the analytic Raman error, and the same
numbers whatever the thread count."""


import numpy as np
import pytest

from Aerolume import retrieval, simulate
from Aerolume.uncertainty import MonteCarlo, PoissonNoise

from retrieval_cases import (LIDAR_RATIO, RAMAN_WAVELENGTH, REFERENCE,  # noqa: E402
                             WAVELENGTH, aerosol, grid, molecular)

SIMULATIONS = 200
SHOTS = 1000
BACKGROUND = 0.05  # counts per shot and gate


@pytest.fixture(scope="module")
def noisy():
    """200 independent photon-counting simulations of one atmosphere, 30 m gates."""
    r = grid(30.0)
    mol = molecular(r)
    beta_a = aerosol(r)
    sim = simulate.elastic(r, WAVELENGTH, np.tile(beta_a, (SIMULATIONS, 1)), mol,
                           lidar_ratio=LIDAR_RATIO, constant=1e13, background=BACKGROUND,
                           shots=SHOTS, noise="poisson", seed=11)
    return r, mol, beta_a, sim


def test_monte_carlo_matches_the_spread_of_noisy_retrievals(noisy):
    r, mol, beta_a, sim = noisy
    noise = PoissonNoise(counts_per_unit=SHOTS, background=BACKGROUND)
    # The noise of the inversion alone (the offset fit's own spread is tested below).
    result = retrieval.klett_fernald(sim["signal"], r, mol, LIDAR_RATIO, REFERENCE,
                                     fit_offset=False,
                                     uncertainty=MonteCarlo(realisations=100, noise=noise))
    beta = result["backscatter"].values
    sd = result["backscatter_uncertainty"].values
    gates = r < REFERENCE[0]
    assert np.isfinite(beta[:, gates]).all() and np.isfinite(sd[:, gates]).all()
    spread = beta[:, gates].std(axis=0, ddof=1)
    estimated = np.sqrt(np.mean(sd[:, gates] ** 2, axis=0))
    # Tolerance: the Monte Carlo standard deviation within 20 % of the spread at every gate.
    np.testing.assert_allclose(estimated, spread, rtol=0.2)
    # About 68 % of the true values within one standard deviation (0.63 to 0.73).
    inside = np.abs(beta[:, gates] - beta_a[gates]) <= sd[:, gates]
    assert 0.63 < inside.mean() < 0.73, inside.mean()
    # The extinction's uncertainty is the lidar ratio times the backscatter's.
    np.testing.assert_allclose(result["extinction_uncertainty"].values[:, gates],
                               LIDAR_RATIO * sd[:, gates], rtol=1e-12)


def test_offset_fit_removes_a_residual_background_and_its_spread_is_covered(noisy):
    # A residual background of 10 % of the signal at the reference (what a background
    # taken where molecular signal remains leaves): the offset fitted over the clean air
    # from the reference up removes it; the Monte Carlo, refitting it in every
    # realisation, still covers the spread of the independent retrievals.
    r, mol, beta_a, sim = noisy
    clean = sim["signal_noise_free"].values[0]
    top = r >= REFERENCE[0]
    offset = 0.1 * clean[top][:20].mean()
    signal = sim["signal"].values[:100] + offset
    gates = (r > 1000.0) & (r < REFERENCE[0]) & (beta_a > 1e-7)
    errors = {}
    for fit in (False, True):
        result = retrieval.klett_fernald(clean + offset, r, mol, LIDAR_RATIO, REFERENCE,
                                         fit_offset=fit, offset_range=(REFERENCE[0], r[-1]))
        total = result["backscatter"].values[gates] + mol["beta_m"][gates]
        errors[fit] = np.max(np.abs(total / (beta_a[gates] + mol["beta_m"][gates]) - 1))
    assert errors[False] > 0.05 and errors[True] < 0.01, errors
    noise = PoissonNoise(counts_per_unit=SHOTS, background=BACKGROUND)
    result = retrieval.klett_fernald(signal[:40], r, mol, LIDAR_RATIO, REFERENCE,
                                     offset_range=(REFERENCE[0], r[-1]),
                                     uncertainty=MonteCarlo(realisations=100, noise=noise))
    fitted = result["reference_offset"].values
    np.testing.assert_allclose(fitted.mean(), offset, rtol=0.2)
    spread = retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO, REFERENCE,
                                     offset_range=(REFERENCE[0], r[-1]))["backscatter"]
    spread = spread.values[:, gates].std(axis=0, ddof=1)
    estimated = np.sqrt(np.nanmean(result["backscatter_uncertainty"].values[:, gates] ** 2,
                                   axis=0))
    np.testing.assert_allclose(estimated, spread, rtol=0.3)


def test_gaussian_noise_from_its_standard_deviation(noisy):
    # The same signals with the noise described by its standard deviation (as for analog
    # channels): nearly the same uncertainties as the Poisson description.
    r, mol, _, sim = noisy
    signal = sim["signal"].values[:20]
    poisson = retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO, REFERENCE, uncertainty={
        "noise": {"counts_per_unit": SHOTS, "background": BACKGROUND}, "realisations": 200})
    gaussian = retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO, REFERENCE, uncertainty={
        "noise": sim["signal_noise"].values[:20], "realisations": 200})
    gates = r < REFERENCE[0]
    a = poisson["backscatter_uncertainty"].values[:, gates]
    b = gaussian["backscatter_uncertainty"].values[:, gates]
    # Tolerance: 15 % on the mean over profiles (sampling: about 5 % each).
    np.testing.assert_allclose(b.mean(axis=0), a.mean(axis=0), rtol=0.15)


def test_systematic_parameters():
    r = grid(30.0)
    mol = molecular(r)
    beta_a = aerosol(r)
    signal = simulate.elastic(r, WAVELENGTH, beta_a, mol, lidar_ratio=LIDAR_RATIO)["signal"]
    gates = r < REFERENCE[0]
    # Lidar ratio alone: the spread follows the response to the lidar ratio.
    result = retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO, REFERENCE,
                                     uncertainty=MonteCarlo(realisations=400, lidar_ratio=2.0))
    up = retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO + 2.0, REFERENCE)["backscatter"]
    down = retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO - 2.0, REFERENCE)["backscatter"]
    slope = np.abs(up - down).values[gates] / 2.0
    sd = result["backscatter_uncertainty"].values[gates]
    big = slope > 0.05 * slope.max()
    # Tolerance: 15 % (400 draws: 3.5 % sampling error, plus the response's curvature).
    np.testing.assert_allclose(sd[big], slope[big], rtol=0.15)
    # Reference value alone: at the reference the backscatter ratio's spread is the
    # molecular backscatter times its standard deviation.
    result = retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO, REFERENCE,
                                     uncertainty={"reference_value": 0.01, "realisations": 400})
    c = np.searchsorted(r, 13000.0)
    assert result["backscatter_uncertainty"].values[c] == pytest.approx(
        0.01 * mol["beta_m"].values[c], rel=0.15)
    assert result.attrs["uncertainty_reference_value_sd"] == 0.01


def test_reproducible_and_independent_of_threads(noisy):
    r, mol, _, sim = noisy
    signal = sim["signal"].values[:6]
    mc = MonteCarlo(realisations=30, seed=3, noise=sim["signal_noise"].values[:6],
                    lidar_ratio=5.0, reference_value=0.02)
    one = retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO, REFERENCE, uncertainty=mc,
                                  threads=1)
    three = retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO, REFERENCE, uncertainty=mc,
                                    threads=3)
    assert np.array_equal(one["backscatter_uncertainty"].values,
                          three["backscatter_uncertainty"].values, equal_nan=True)
    # A profile's uncertainty does not depend on which others come with it.
    alone = retrieval.klett_fernald(signal[:1], r, mol, LIDAR_RATIO, REFERENCE,
                                    uncertainty={**vars(mc), "noise": mc.noise[:1]})
    assert np.array_equal(alone["backscatter_uncertainty"].values[0],
                          one["backscatter_uncertainty"].values[0], equal_nan=True)
    other = retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO, REFERENCE,
                                    uncertainty={**vars(mc), "seed": 4})
    assert not np.array_equal(other["backscatter_uncertainty"].values,
                              one["backscatter_uncertainty"].values, equal_nan=True)


def test_one_profile_shared_over_threads(noisy):
    # A single profile's realisations are split over the threads in chunks; a count that is
    # no multiple of the chunks and more threads than chunks must change nothing.
    r, mol, _, sim = noisy
    signal = sim["signal"].values[0]
    mc = MonteCarlo(realisations=37, seed=5, noise=sim["signal_noise"].values[0],
                    lidar_ratio=5.0, reference_value=0.02)
    runs = [retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO, REFERENCE, uncertainty=mc,
                                    threads=t) for t in (1, 2, 3, 16)]
    for run in runs[1:]:
        for name in ("backscatter_uncertainty", "extinction_uncertainty"):
            assert np.array_equal(run[name].values, runs[0][name].values, equal_nan=True)
    rm = molecular(r, RAMAN_WAVELENGTH)
    raman = simulate.raman(r, WAVELENGTH, aerosol(r, cloud=False), mol, rm,
                           lidar_ratio=LIDAR_RATIO, constant=3e15, shots=SHOTS,
                           noise="poisson", seed=6)["signal"].values
    noise = PoissonNoise(SHOTS, 0.0)
    chain = [retrieval.raman_retrieval(signal, raman, r, mol, rm, REFERENCE, window=600.0,
                                       uncertainty=MonteCarlo(realisations=11, noise=noise,
                                                              raman_noise=noise),
                                       threads=t) for t in (1, 3)]
    for name in ("extinction", "backscatter", "lidar_ratio"):
        assert np.array_equal(chain[0][f"{name}_uncertainty"].values,
                              chain[1][f"{name}_uncertainty"].values, equal_nan=True)


def test_spread_far_below_the_value_is_not_lost_to_rounding():
    # A spread a billionth of the value: summing the squares of the values themselves would
    # leave nothing of it.
    r = grid(30.0)
    mol = molecular(r)
    signal = simulate.elastic(r, WAVELENGTH, aerosol(r), mol, lidar_ratio=LIDAR_RATIO)["signal"]
    result = retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO, REFERENCE,
                                     uncertainty={"reference_value": 1e-9, "realisations": 400})
    c = np.searchsorted(r, 13000.0)
    # Tolerance: 15 % (400 draws).
    assert result["backscatter_uncertainty"].values[c] == pytest.approx(
        1e-9 * mol["beta_m"].values[c], rel=0.15)


def test_raman_extinction_error_analytic_and_monte_carlo():
    r = grid(15.0, top=6000.0)
    mol, mol_r = molecular(r), molecular(r, RAMAN_WAVELENGTH)
    beta_a = aerosol(r, cloud=False)
    sim = simulate.raman(r, WAVELENGTH, np.tile(beta_a, (SIMULATIONS, 1)), mol, mol_r,
                         lidar_ratio=LIDAR_RATIO, constant=3e15, background=0.05, shots=SHOTS,
                         noise="poisson", seed=2)
    noise = PoissonNoise(SHOTS, 0.05)
    result = retrieval.raman_extinction(sim["signal"], r, mol, mol_r, 1.0, 600.0, noise=noise,
                                        uncertainty=MonteCarlo(realisations=100, raman_noise=noise))
    alpha = result["extinction"].values
    gates = np.isfinite(alpha).all(axis=0)
    assert gates.sum() > 300
    spread = alpha[:, gates].std(axis=0, ddof=1)
    analytic = np.sqrt(np.mean(result["extinction_statistical_error"].values[:, gates] ** 2, 0))
    monte_carlo = np.sqrt(np.mean(result["extinction_uncertainty"].values[:, gates] ** 2, 0))
    # Tolerance: both within 20 % of the spread, and of each other.
    np.testing.assert_allclose(analytic, spread, rtol=0.2)
    np.testing.assert_allclose(monte_carlo, spread, rtol=0.2)
    np.testing.assert_allclose(monte_carlo, analytic, rtol=0.2)


def test_raman_chain_uncertainties(noisy):
    r = grid(15.0, top=9000.0)
    mol, mol_r = molecular(r), molecular(r, RAMAN_WAVELENGTH)
    beta_a = aerosol(r, cloud=False)
    kw = dict(lidar_ratio=LIDAR_RATIO, shots=SHOTS, noise="poisson", background=0.2)
    elastic = simulate.elastic(r, WAVELENGTH, beta_a, mol, constant=1e13, seed=1, **kw)
    raman = simulate.raman(r, WAVELENGTH, beta_a, mol, mol_r, constant=3e15, seed=2, **kw)
    mc = MonteCarlo(realisations=50, noise=PoissonNoise(SHOTS, 0.2),
                    raman_noise=PoissonNoise(SHOTS, 0.2), angstrom=0.5, reference_value=0.01)
    result = retrieval.raman_retrieval(elastic["signal"], raman["signal"], r, mol, mol_r,
                                       (7000.0, 8500.0), window=600.0, uncertainty=mc)
    for name in ("extinction", "backscatter", "lidar_ratio"):
        sd = result[f"{name}_uncertainty"].values
        value = result[name].values
        defined = np.isfinite(value) & (r < 1800.0)
        assert defined.sum() > 60
        assert np.all(sd[defined] > 0) and np.all(np.isfinite(sd[defined]))
    # The lidar ratio's relative uncertainty is at least the extinction's.
    low = (r > 600.0) & (r < 1500.0)
    rel_l = (result["lidar_ratio_uncertainty"] / result["lidar_ratio"]).values[low]
    rel_e = (result["extinction_uncertainty"] / result["extinction"]).values[low]
    assert np.median(rel_l) >= 0.9 * np.median(rel_e)
    back = retrieval.raman_backscatter(elastic["signal"], raman["signal"], r, mol, mol_r,
                                       (7000.0, 8500.0), extinction=result, uncertainty=mc)
    assert np.all(back["backscatter_uncertainty"].values[low] > 0)


def test_weak_photon_counting_chain_same_spreads_whatever_the_threads():
    # The Raman chain over an odd number of gates, one profile with a gap, a far range so
    # weak that realisations fail and spreads are clipped: what a profile's realisations
    # share (the fit's plan, the Poisson samplers of both signals), the spreads of gates
    # taken two at a time and the odd last one, and the failed counts are the same on 1, 2
    # and 5 threads (more threads than profiles: each profile's realisations shared out)
    # and for the first profile retrieved alone.
    r = grid(15.0, top=9015.0)
    assert r.size % 2 == 1
    mol, mol_r = molecular(r), molecular(r, RAMAN_WAVELENGTH)
    beta_a = aerosol(r, cloud=False) * np.array([[1.0], [1.6], [0.6]])
    kw = dict(lidar_ratio=LIDAR_RATIO, shots=100, noise="poisson", background=0.2)
    elastic = simulate.elastic(r, WAVELENGTH, beta_a, mol, constant=1e12, seed=1,
                               **kw)["signal"].values
    raman = simulate.raman(r, WAVELENGTH, beta_a, mol, mol_r, constant=3e14, seed=2,
                           **kw)["signal"].values
    raman[1, 300:303] = np.nan
    mc = MonteCarlo(realisations=23, seed=9, noise=PoissonNoise(100, 0.2),
                    raman_noise=PoissonNoise(100, 0.2), angstrom=0.5, reference_value=0.01)
    names = ("extinction_uncertainty", "backscatter_uncertainty", "lidar_ratio_uncertainty",
             "failed_realisations")
    with pytest.warns(RuntimeWarning):  # the gap
        runs = [retrieval.raman_retrieval(elastic, raman, r, mol, mol_r, (7000.0, 8500.0),
                                          window=300.0, uncertainty=mc, threads=t)
                for t in (1, 2, 5)]
    failed = runs[0]["failed_realisations"].values
    assert ((failed > 0) & (failed < mc.realisations)).any()  # a weak case
    for run in runs[1:]:
        for name in names:
            assert np.array_equal(run[name].values, runs[0][name].values, equal_nan=True)
    alone = retrieval.raman_retrieval(elastic[0], raman[0], r, mol, mol_r, (7000.0, 8500.0),
                                      window=300.0, uncertainty=mc, threads=3)
    for name in names:
        assert np.array_equal(alone[name].values, runs[0][name].values[0], equal_nan=True)
    # Klett-Fernald's Monte Carlo with the same photon-counting noise.
    with pytest.warns(RuntimeWarning, match="no solution"):  # the weak far range
        klett = [retrieval.klett_fernald(elastic, r, mol, LIDAR_RATIO, (7000.0, 8500.0),
                                         uncertainty=MonteCarlo(realisations=23, seed=9,
                                                                noise=PoissonNoise(100, 0.2)),
                                         threads=t) for t in (1, 3)]
    for name in ("backscatter_uncertainty", "extinction_uncertainty"):
        assert np.array_equal(klett[0][name].values, klett[1][name].values, equal_nan=True)


def test_settings_are_checked():
    with pytest.raises(ValueError, match="realisations"):
        MonteCarlo(realisations=1)
    with pytest.raises(ValueError, match="lidar_ratio"):
        MonteCarlo(lidar_ratio=-1.0)
    with pytest.raises(ValueError, match="seed"):
        MonteCarlo(seed=-5)
    with pytest.raises(TypeError, match="uncertainty"):
        MonteCarlo.of(3)
    poisson = PoissonNoise.from_count_rate(shots=600, bin_width=7.5)
    # 7.5 m bins are 50 ns of a 20 MHz recorder: 600 shots x 50 ns x 1 MHz = 30 counts.
    assert poisson.counts_per_unit == pytest.approx(30.0, rel=1e-15)
