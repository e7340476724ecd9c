"""The products' quality flags, the model atmospheres for a site without a sounding, and
the Raman Monte Carlo that survives failed realisations."""

import numpy as np
import pytest

from Aerolume import atmosphere, quality, retrieval, simulate
from Aerolume.atmosphere.climatologies import extend_levels_down, scaled_standard_levels


def test_flags_set_one_bit_per_reason_and_zero_where_good():
    r = np.arange(1, 11) * 500.0
    shape = (2, r.size)
    beta = np.full(shape, 1e-6)
    sd = np.full(shape, 1e-7)
    beta[0, 6] = -5e-7                          # below -2 sigma
    ratio = np.full(shape, 50.0)
    ratio[1, 7] = 200.0                         # outside 10-150 sr
    snr = np.full(shape, 10.0)
    snr[1, 8] = 1.0
    cloud = np.zeros(shape, dtype=bool)
    cloud[0, 8] = True
    retrieved = np.ones(shape, dtype=bool)
    retrieved[1, 9] = False
    flag = quality.flags(r, full_overlap=1200.0, snr=snr, cloud_mask=cloud,
                         cloud_base=np.array([4250.0, np.nan]),
                         reference_found=np.array([True, False]),
                         backscatter=(beta, sd), extinction=(beta * 50, sd * 50),
                         lidar_ratio=ratio, retrieved=retrieved)
    bits = quality.FLAGS
    assert flag.dtype == np.int16
    assert np.all(flag[:, :2] & bits["below_full_overlap"]) and not np.any(
        flag[:, 2:] & bits["below_full_overlap"])
    assert flag[0, 6] & bits["implausible_backscatter"] and flag[0, 6] & bits[
        "implausible_extinction"]
    assert flag[1, 7] & bits["implausible_lidar_ratio"]
    assert flag[1, 8] & bits["low_snr"] and flag[0, 8] & bits["in_cloud"]
    assert np.all(flag[0, 8:] & bits["above_cloud"]) and not flag[0, 7] & bits["above_cloud"]
    assert np.all(flag[1] & bits["no_reference"])
    assert flag[1, 9] & bits["not_retrieved"]
    assert np.all(flag[0, [2, 3, 4, 5, 7]] == 0)  # good: nothing to say
    attrs = quality.flag_attributes("Klett-Fernald")
    retrieval_bits = [n for n in bits if n not in quality.DEPOLARIZATION_ONLY]
    assert list(attrs["flag_masks"]) == [bits[n] for n in retrieval_bits]
    assert attrs["flag_meanings"].split() == retrieval_bits
    assert not flag.max() & sum(bits[n] for n in quality.DEPOLARIZATION_ONLY)
    line = quality.summary(flag, "Klett-Fernald 355_gl")
    assert line.startswith("Klett-Fernald 355_gl: 5 of 19 retrieved gates good")
    assert "below full overlap" in line


def test_depolarization_bits():
    r = np.arange(1, 6) * 500.0
    delta = np.array([[0.1, -0.05, 0.2, 1.2, np.nan]])
    sd = np.full(delta.shape, 0.01)
    ratio = np.array([[3.0, 3.0, 1.5, 3.0, 3.0]])
    bits = quality.FLAGS
    common = dict(full_overlap=np.nan, snr=np.full(delta.shape, 10.0),
                  retrieved=np.isfinite(delta))
    flag = quality.flags(r, depolarization=(delta, sd), backscatter_ratio=(ratio, 2.0),
                         calibration={"from_history": True, "out_of_date": False}, **common)
    implausible = (flag & bits["implausible_depolarization"]) != 0
    assert implausible.tolist() == [[False, True, False, True, False]]
    assert ((flag & bits["low_backscatter_ratio"]) != 0).tolist() == [
        [False, False, True, False, False]]
    assert np.all(flag & bits["calibration_from_history"])
    assert not np.any(flag & bits["calibration_out_of_date"])
    # within n_sigma of the bounds is not implausible; no uncertainty: the bounds alone
    near = quality.flags(r, depolarization=(np.array([[-0.015, 1.015, 0.5, 0.5, 0.5]]), sd),
                         **dict(common, retrieved=np.ones(delta.shape, bool)))
    assert not np.any(near & bits["implausible_depolarization"])
    bare = quality.flags(r, depolarization=(np.array([[-0.015, 1.015, 0.5, 0.5, 0.5]]), None),
                         **dict(common, retrieved=np.ones(delta.shape, bool)))
    assert ((bare & bits["implausible_depolarization"]) != 0).tolist() == [
        [True, True, False, False, False]]
    attrs = quality.flag_attributes("volume depolarisation ratio",
                                    quality.DEPOLARIZATION_BITS)
    assert set(attrs["flag_meanings"].split()) == set(quality.DEPOLARIZATION_BITS)


def test_scaled_standard_atmosphere_follows_the_surface_air():
    # At the standard's own surface air it is the standard atmosphere; 15 K warmer, the
    # tropospheric density scale height grows by about 5 %.
    z, p, t = scaled_standard_levels(0.0, 288.15, 101325.0)
    std = atmosphere.standard_atmosphere(z)
    np.testing.assert_allclose(t, std.temperature, rtol=1e-12)
    np.testing.assert_allclose(p[z <= 30000], np.asarray(std.pressure)[z <= 30000], rtol=2e-4)
    warm = atmosphere.scaled_standard_atmosphere(100.0, 303.15, 101300.0)
    levels = np.array([1000.0, 9000.0])
    n_warm = warm(levels).number_density
    n_std = atmosphere.standard_atmosphere(levels).number_density
    height_warm = 8000.0 / np.log(n_warm[0] / n_warm[1])
    height_std = 8000.0 / np.log(n_std[0] / n_std[1])
    assert 1.04 < height_warm / height_std < 1.07
    assert warm(100.0).temperature == pytest.approx(303.15)
    assert warm(100.0).pressure == pytest.approx(101300.0)
    with pytest.raises(ValueError, match="surface temperature"):
        scaled_standard_levels(0.0, -9999.0, 101300.0)


def test_climatologies_and_a_sounding_extended_down():
    tropical = atmosphere.climatology("tropical")
    assert tropical(0.0).temperature == pytest.approx(300.0)
    assert tropical(17000.0).temperature == pytest.approx(195.0)  # the cold tropopause
    assert tropical(60000.0).pressure > 0                          # the standard above
    with pytest.raises(ValueError, match="climatology must be one of"):
        atmosphere.climatology("arctic")
    z = np.array([107.5, 1000.0, 5000.0])
    p = np.array([100000.0, 90000.0, 54000.0])
    t = np.array([300.0, 294.0, 270.0])
    z2, p2, t2 = extend_levels_down(z, p, t, 100.0)
    assert z2[0] == 100.0 and t2[0] == pytest.approx(300.0 + 0.0065 * 7.5)
    assert p2[0] == pytest.approx(100000.0 * np.exp(9.80665 * 0.0289644 * 7.5 /
                                                     (8.31432 * 300.02)), rel=1e-5)
    with pytest.raises(ValueError, match="at most 100 m"):
        extend_levels_down(z, p, t, -50.0)


def test_raman_uncertainty_finite_where_the_extinction_is_with_failed_realisations_counted():
    # A weak Raman signal: some realisations go non-positive in a window; their failure
    # no longer spoils the gate, and the spread of the others stays near the fit's error.
    r = np.arange(1, 1001) * 15.0
    beta_a = 1e-6 / (1.0 + np.exp((r - 2000.0) / 200.0))
    sim = simulate.raman(r, 355e-9, beta_a, lidar_ratio=50.0, constant=3e14, shots=300,
                         background=0.5, noise="poisson", seed=3)
    mol = atmosphere.molecular_profile(r, 355e-9)
    mol_r = atmosphere.molecular_profile(r, float(retrieval.raman_wavelength(355e-9)))
    noise = retrieval.PoissonNoise(counts_per_unit=300, background=0.5)
    result = retrieval.raman_extinction(sim["signal"].values, r, mol, mol_r, 1.0, 450.0,
                                        noise=noise,
                                        uncertainty=dict(realisations=100, raman_noise=noise))
    extinction = result["extinction"].values
    sd = result["extinction_uncertainty"].values
    failed = result["failed_realisations"].values
    exists = np.isfinite(extinction)
    assert ((failed > 0) & exists).any()                 # the case is a weak one
    assert np.all(np.isfinite(sd[exists]))
    both = exists & np.isfinite(result["extinction_statistical_error"].values)
    ratio = sd[both] / result["extinction_statistical_error"].values[both]
    assert np.median(ratio) == pytest.approx(1.0, abs=0.3)
    assert np.mean((ratio > 1 / 1.5) & (ratio < 1.5)) > 0.9
