"""The standard atmosphere and the Rayleigh optics of air against published values."""
import math

import numpy as np
import pytest

from Aerolume import atmosphere as atm


@pytest.mark.parametrize("altitude, temperature, pressure, density", [
    (0.0, 288.150, 101325.0, 2.5470e25),
    (10_000.0, 223.252, 26499.9, 8.5976e24),
    # Tabulated values of the standard: geopotential matters from here on.
    (20_000.0, 216.650, 5529.3, 1.8486e24),
    (32_000.0, 228.490, 889.06, 2.8183e23),
    # Above 80 km the kinetic temperature departs from the molecular-scale one.
    (86_000.0, 186.867, 0.37338, 1.4472e20),
])
def test_standard_atmosphere_published_values(altitude, temperature, pressure, density):
    air = atm.standard_atmosphere(altitude)
    assert air.temperature == pytest.approx(temperature, abs=1e-3)
    assert air.pressure == pytest.approx(pressure, rel=5e-5)
    assert air.number_density == pytest.approx(density, rel=5e-5)
    assert np.ndim(air.temperature) == 0


def test_standard_atmosphere_falls_monotonically_and_joins_layers_continuously():
    z = np.linspace(0.0, 86_000.0, 200_001)
    air = atm.standard_atmosphere(z)
    assert (np.diff(air.pressure) < 0).all() and (np.diff(air.number_density) < 0).all()
    # Layer bases (geopotential) back to geometric altitude: both sides agree.
    r0 = 6356766.0
    for base in (11e3, 20e3, 32e3, 47e3, 51e3, 71e3):
        z_base = r0 * base / (r0 - base)
        for side in atm.standard_atmosphere([z_base * (1 - 1e-13), z_base * (1 + 1e-13)]):
            assert side[0] == pytest.approx(side[1], rel=1e-9)


def test_standard_atmosphere_keeps_shapes_and_refuses_what_it_does_not_cover():
    air = atm.standard_atmosphere(np.full((3, 4), 5000.0))
    assert air.pressure.shape == (3, 4) and air.pressure.dtype == np.float64
    for bad in (-1.0, 86_000.5, [0.0, np.nan]):
        with pytest.raises(ValueError, match="altitude"):
            atm.standard_atmosphere(bad)
    with pytest.raises(TypeError, match="altitude"):
        atm.standard_atmosphere("high")


def test_rayleigh_cross_sections_published_values():
    # Bodhaine et al. (1999) and Bucholtz (1995) at 532 nm, 360 ppm CO2.
    first = atm.rayleigh_cross_section(532e-9, co2=360e-6)
    bucholtz = atm.rayleigh_cross_section(532e-9, co2=360e-6, method="bucholtz")
    assert first == pytest.approx(5.167e-31, abs=5e-35)
    assert bucholtz == pytest.approx(5.162e-31, abs=5e-35)
    # The two methods agree within half a per cent over the lidar wavelengths.
    w = np.linspace(300e-9, 1100e-9, 81)
    ratio = atm.rayleigh_cross_section(w, method="bucholtz") / atm.rayleigh_cross_section(w)
    assert np.abs(ratio - 1).max() < 5e-3
    # More CO2, more scattering; the cross-section falls with wavelength.
    assert atm.rayleigh_cross_section(532e-9, co2=800e-6) > atm.rayleigh_cross_section(532e-9)
    assert (np.diff(atm.rayleigh_cross_section(w)) < 0).all()


def test_lidar_ratio_depolarisation_and_king_factor_fit_together():
    ratio_total = atm.molecular_lidar_ratio(532e-9)
    ratio_cabannes = atm.molecular_lidar_ratio(532e-9, line="cabannes")
    assert round(float(ratio_total), 3) == 8.497
    assert round(float(ratio_cabannes), 3) == 8.713
    dipole = 8 * math.pi / 3
    w = np.array([355e-9, 532e-9, 1064e-9])
    rho = atm.depolarization_ratio(w, kind="natural")
    king = atm.king_factor(w)
    np.testing.assert_allclose(king, (6 + 3 * rho) / (6 - 7 * rho), rtol=1e-13)
    np.testing.assert_allclose(atm.molecular_lidar_ratio(w), dipole * (1 + rho / 2), rtol=1e-13)
    assert (atm.molecular_lidar_ratio(w, line="cabannes") > atm.molecular_lidar_ratio(w)).all()
    # What a polarisation lidar sees on clean air at 532 nm.
    assert atm.depolarization_ratio(532e-9) == pytest.approx(0.0144, abs=1e-4)
    assert atm.depolarization_ratio(532e-9, line="cabannes") == pytest.approx(0.00366, abs=1e-5)
    assert atm.refractive_index(532e-9, co2=300e-6) == pytest.approx(1.0002782, abs=2e-7)


def test_the_fixed_law_of_lumafit_against_first_principles():
    lumafit = pytest.importorskip("Aerolume.lumafit")
    for wavelength, error in ((355e-9, -0.032), (532e-9, 0.024), (1064e-9, 0.057)):
        law = lumafit.rayleigh_scattering_cross_section(wavelength)
        ours = atm.rayleigh_backscatter_cross_section(wavelength)
        assert law / ours - 1 == pytest.approx(error, abs=1e-3)


def test_molecular_optics_broadcasts_and_keeps_lines_apart():
    n = np.array([[2.5e25], [1e25], [0.0]])
    total = atm.molecular_optics(np.array([355e-9, 532e-9]), n)
    assert total.alpha.shape == total.beta.shape == total.lidar_ratio.shape == (3, 2)
    np.testing.assert_allclose(total.alpha[:2] / total.beta[:2], total.lidar_ratio[:2])
    cabannes = atm.molecular_optics(np.array([355e-9, 532e-9]), n, line="cabannes")
    np.testing.assert_array_equal(cabannes.alpha, total.alpha)
    assert (cabannes.beta[:2] < total.beta[:2]).all() and (cabannes.beta[2] == 0).all()


def test_optics_refuse_wrong_units_and_choices():
    with pytest.raises(ValueError, match="wavelength"):
        atm.rayleigh_cross_section(532.0)          # nm, not m
    with pytest.raises(ValueError, match="co2"):
        atm.rayleigh_cross_section(532e-9, co2=400)  # ppm, not mol/mol
    with pytest.raises(ValueError, match="method"):
        atm.rayleigh_cross_section(532e-9, method="fit")
    with pytest.raises(ValueError, match="line"):
        atm.molecular_optics(532e-9, 1e25, line="raman")
    with pytest.raises(ValueError, match="number_density"):
        atm.molecular_optics(532e-9, -1.0)
    with pytest.raises(ValueError, match="broadcast"):
        atm.molecular_optics(np.ones(2) * 532e-9, np.ones(3))
    with pytest.warns(UserWarning, match="extrapolated"):
        atm.rayleigh_cross_section(2.05e-6)
