"""Soundings and molecular profiles along the beam: physics, time-height sets, refusals."""
import math

import numpy as np
import pytest
import xarray as xr

from Aerolume import atmosphere as atm


def standard_sounding(top=30_000.0, levels=301):
    z = np.linspace(0.0, top, levels)
    air = atm.standard_atmosphere(z)
    return atm.sounding(z, air.pressure, air.temperature)


def test_profile_transmission_and_optical_depth():
    r = np.arange(0.0, 86_000.0, 15.0)
    ds = atm.molecular_profile(r, 532e-9)
    t2 = ds.transmission_m2.values
    assert t2[0] == 1.0 and (np.diff(t2) < 0).all()
    np.testing.assert_array_equal(ds.attenuated_beta_m, ds.beta_m * ds.transmission_m2)
    np.testing.assert_allclose(ds.alpha_m / ds.beta_m, ds.lidar_ratio_m, rtol=1e-14)
    # The sea-level Rayleigh optical depth at 532 nm (Bodhaine et al. 1999): about 0.111.
    assert -math.log(t2[-1]) / 2 == pytest.approx(0.111, abs=1.5e-3)
    # Gates 1 km apart give the same transmission as gates 15 m apart.
    coarse = atm.molecular_profile(r[::67], 532e-9)
    np.testing.assert_allclose(coarse.transmission_m2, t2[::67], rtol=1e-4)
    assert ds.range.attrs["units"] == "m" and ds.beta_m.attrs["units"] == "m-1 sr-1"
    assert ds.attrs["wavelength"] == 532e-9 and ds.attrs["line"] == "total"


def test_transmission_is_exact_for_an_exponential_atmosphere():
    scale, n0 = 8000.0, 2.5e25

    def isothermal(z):
        z = np.asarray(z, dtype=float)
        n = n0 * np.exp(-z / scale)
        return atm.Atmosphere(np.full_like(z, 250.0), n * 1.380622e-23 * 250.0, n)

    r = np.array([500.0, 1500.0, 4000.0, 12_000.0, 30_000.0])
    ds = atm.molecular_profile(r, 355e-9, isothermal, station_altitude=200.0)
    sigma = atm.rayleigh_cross_section(355e-9)
    tau = sigma * n0 * scale * (np.exp(-200.0 / scale) - np.exp(-(200.0 + r) / scale))
    np.testing.assert_allclose(ds.transmission_m2, np.exp(-2 * tau), rtol=1e-12)


def test_sounding_of_the_standard_atmosphere_reproduces_it():
    s = standard_sounding()
    z = np.linspace(0.0, 30_000.0, 301)
    air, ref = s(z), atm.standard_atmosphere(z)
    np.testing.assert_array_equal(air.temperature, ref.temperature)
    np.testing.assert_allclose(air.pressure, ref.pressure, rtol=1e-15)
    mid = s(z[:-1] + 50.0)
    np.testing.assert_allclose(mid.number_density,
                               atm.standard_atmosphere(z[:-1] + 50.0).number_density, rtol=5e-4)
    # Above its top the standard atmosphere, scaled to match, continues it: here unscaled.
    high = np.array([30_000.0, 45_000.0, 86_000.0])
    np.testing.assert_allclose(s(high).pressure, atm.standard_atmosphere(high).pressure,
                               rtol=1e-12)
    r = np.arange(30.0, 60_000.0, 30.0)
    a, b = atm.molecular_profile(r, 1064e-9, s), atm.molecular_profile(r, 1064e-9)
    np.testing.assert_allclose(a.transmission_m2, b.transmission_m2, rtol=1e-6)
    assert a.attrs["atmosphere"] == "sounding"


def test_sounding_continues_scaled_above_its_top_and_refuses_below():
    z = np.array([100.0, 2000.0, 5000.0])
    s = atm.sounding(z, [99_000.0, 79_000.0, 54_000.0], [290.0, 280.0, 262.0])
    air = s([5000.0, 5000.0 + 1e-6, 20_000.0])
    assert air.temperature[1] == pytest.approx(262.0, rel=1e-9)
    assert air.pressure[1] == pytest.approx(54_000.0, rel=1e-9)
    std = atm.standard_atmosphere([5000.0, 20_000.0])
    assert air.pressure[2] / air.pressure[0] == pytest.approx(std.pressure[1] / std.pressure[0])
    with pytest.raises(ValueError, match="lowest level"):
        s(50.0)
    with pytest.raises(ValueError, match="station_altitude"):
        atm.molecular_profile([10.0, 20.0], 532e-9, s, station_altitude=0.0)
    with pytest.raises(ValueError, match="range"):
        atm.molecular_profile([10.0, 90_000.0], 532e-9, s, station_altitude=100.0)


def test_sounding_cleans_its_levels_and_says_so():
    z = np.array([0.0, 1000.0, 2000.0, 3000.0])
    p = np.array([100_000.0, 89_000.0, 79_000.0, 70_000.0])
    t = np.array([288.0, 282.0, 276.0, 270.0])
    reference = atm.sounding(z, p, t)
    order = [2, 0, 3, 1]
    shuffled = atm.sounding(z[order], p[order], t[order])
    np.testing.assert_array_equal(shuffled.altitude, reference.altitude)
    with pytest.warns(UserWarning, match="dropped 2 of 6 levels") as caught:
        s = atm.sounding(np.r_[z, np.nan, 500.0], np.r_[p, 9e4, np.nan], np.r_[t, 280.0, 285.0])
    assert caught[0].filename == __file__
    np.testing.assert_array_equal(s.pressure, p)
    # The levels are the sounding's own: the caller's arrays stay writable and apart.
    direct = atm.Sounding(z, p, t)
    assert z.flags.writeable and not direct.altitude.flags.writeable
    z[0] = -50.0
    assert direct.bottom == 0.0
    with pytest.warns(UserWarning, match="dropped 1 repeated"):
        s = atm.sounding(np.r_[z, 1000.0], np.r_[p, 89_000.0], np.r_[t, 282.0])
    assert s.altitude.size == 4
    with pytest.raises(ValueError, match="disagree"):
        atm.sounding(np.r_[z, 1000.0], np.r_[p, 88_000.0], np.r_[t, 282.0])
    with pytest.raises(ValueError, match="pressure must not rise"):
        atm.sounding(z, p[::-1], t)
    with pytest.raises(ValueError, match="temperature"):
        atm.sounding(z, p, t - 300.0)
    with pytest.raises(ValueError, match="in Pa"):
        atm.sounding(z, p / 100.0, t)              # hPa
    with pytest.raises(ValueError, match="in K"):
        atm.sounding(z, p, t - 260.0)             # degrees Celsius, all above 0
    with pytest.raises(ValueError, match="one value per level"):
        atm.sounding(z, p[:3], t)
    with pytest.raises(ValueError, match="at least two levels"):
        atm.sounding(z[:1], p[:1], t[:1])


def test_time_height_set_is_bit_identical_whatever_the_threads():
    base = standard_sounding(levels=121)
    soundings = [atm.sounding(base.altitude, base.pressure * (1 + 1e-3 * i),
                              base.temperature + 0.05 * i) for i in range(48)]
    r = np.arange(1, 2001) * 7.5
    sets = [atm.molecular_profile(r, 355e-9, soundings, station_altitude=120.0, threads=n,
                                  time=np.arange(48)) for n in (1, 2, 3, None)]
    assert sets[0].beta_m.dims == ("time", "range") and sets[0].sizes["time"] == 48
    for other in sets[1:]:
        xr.testing.assert_identical(sets[0], other)
    # The sounding fast path and any callable give the same numbers.
    generic = atm.molecular_profile(r, 355e-9, [lambda z, s=s: s(z) for s in soundings[:3]],
                                    station_altitude=120.0)
    for name in ("temperature", "pressure", "number_density"):
        np.testing.assert_array_equal(generic[name], sets[0][name][:3])
    np.testing.assert_allclose(generic.transmission_m2, sets[0].transmission_m2[:3], rtol=1e-13)
    assert (np.diff(sets[0].number_density.isel(range=0)) > 0).all()


def test_slant_beams_and_cabannes_line():
    r = np.arange(15.0, 20_000.0, 15.0)
    vertical = atm.molecular_profile(r, 532e-9, station_altitude=500.0)
    np.testing.assert_allclose(vertical.altitude, 500.0 + r, rtol=1e-14)
    slant = atm.molecular_profile(r, 532e-9, station_altitude=500.0, zenith_angle=60.0)
    # Half the altitude gain, plus the Earth's curvature.
    curvature = (r * math.sin(math.radians(60))) ** 2 / (2 * 6371e3)
    np.testing.assert_allclose(slant.altitude, 500.0 + r / 2 + curvature, rtol=1e-5)
    tau_slant = -np.log(slant.transmission_m2.values[-1]) / 2
    tau_vertical = -np.log(vertical.interp(range=r[-1] / 2).transmission_m2.values) / 2
    assert tau_slant == pytest.approx(2 * tau_vertical, rel=2e-3)
    cabannes = atm.molecular_profile(r, 532e-9, line="cabannes")
    assert float(cabannes.lidar_ratio_m[0]) == pytest.approx(8.713, abs=5e-4)
    np.testing.assert_array_equal(cabannes.alpha_m, atm.molecular_profile(r, 532e-9).alpha_m)
    # One zenith angle per profile makes a time dimension.
    scan = atm.molecular_profile(r[:10], 532e-9, zenith_angle=[0.0, 30.0, 60.0])
    assert scan.altitude.dims == ("time", "range") and scan.zenith_angle.size == 3
    # An array of atmospheres is a sequence too.
    models = np.array([atm.standard_atmosphere, atm.standard_atmosphere], dtype=object)
    assert atm.molecular_profile(r[:10], 532e-9, models).sizes["time"] == 2


def test_profile_refuses_bad_input_by_name():
    with pytest.raises(ValueError, match="range"):
        atm.molecular_profile([30.0, 15.0], 532e-9)
    with pytest.raises(ValueError, match="range"):
        atm.molecular_profile([15.0, np.nan], 532e-9)
    with pytest.raises(ValueError, match="range"):
        atm.molecular_profile([15.0, 90_000.0], 532e-9)
    with pytest.raises(ValueError, match="wavelength"):
        atm.molecular_profile([15.0], [355e-9, 532e-9])
    with pytest.raises(ValueError, match="zenith_angle"):
        atm.molecular_profile([15.0], 532e-9, zenith_angle=95.0)
    with pytest.raises(ValueError, match="same number of profiles"):
        atm.molecular_profile([15.0], 532e-9, [atm.standard_atmosphere] * 2,
                              station_altitude=[0.0, 1.0, 2.0])
    with pytest.raises(TypeError, match="atmosphere"):
        atm.molecular_profile([15.0], 532e-9, atmosphere=3.0)
    with pytest.raises(ValueError, match=r"atmosphere\[1\]"):
        atm.molecular_profile([15.0], 532e-9, [atm.standard_atmosphere,
                                               lambda z: atm.Atmosphere(z, -z, z)])
    with pytest.raises(ValueError, match="threads"):
        atm.molecular_profile([15.0], 532e-9, threads=0)


def test_profile_is_the_optics_of_its_air_and_follows_every_option():
    r = np.arange(30.0, 20_000.0, 30.0)
    ds = atm.molecular_profile(r, 1064e-9, station_altitude=1500.0, method="bucholtz",
                               co2=420e-6)
    optics = atm.molecular_optics(1064e-9, ds.number_density.values, co2=420e-6,
                                  method="bucholtz")
    np.testing.assert_array_equal(ds.alpha_m, optics.alpha)
    np.testing.assert_array_equal(ds.beta_m, optics.beta)
    air = atm.standard_atmosphere(ds.altitude.values)
    np.testing.assert_array_equal(ds.pressure, air.pressure)
    assert ds.attrs["cross_section_method"] == "bucholtz" and ds.attrs["co2"] == 420e-6
    assert ds.attrs["station_altitude"] == 1500.0
    # A station higher up sees less air above it.
    sea = atm.molecular_profile(r, 1064e-9, method="bucholtz", co2=420e-6)
    assert ds.transmission_m2[-1] > sea.transmission_m2[-1]
    assert atm.molecular_profile([], 532e-9).sizes["range"] == 0


def test_per_profile_stations_against_soundings():
    s = standard_sounding()
    r = np.arange(15.0, 5000.0, 15.0)
    ds = atm.molecular_profile(r, 532e-9, s, station_altitude=[0.0, 500.0, 1000.0])
    assert ds.temperature.dims == ("time", "range")
    np.testing.assert_allclose(ds.altitude[:, 0], [15.0, 515.0, 1015.0], rtol=1e-12)
    assert list(ds.station_altitude.values) == [0.0, 500.0, 1000.0]
    high = atm.sounding([300.0, 9000.0], [97_000.0, 30_000.0], [285.0, 230.0])
    with pytest.raises(ValueError, match=r"atmosphere\[1\]"):
        atm.molecular_profile(r, 532e-9, [s, high], station_altitude=100.0)
    with pytest.raises(ValueError, match="time"):
        atm.molecular_profile(r, 532e-9, [s, s], time=[1, 2, 3])


def test_standard_atmosphere_is_bit_identical_whatever_the_threads():
    z = np.random.default_rng(3).uniform(0.0, 86_000.0, (300, 700))
    one = atm.standard_atmosphere(z, threads=1)
    for count in (2, 5, None):
        for a, b in zip(one, atm.standard_atmosphere(z, threads=count)):
            np.testing.assert_array_equal(a, b)


def test_soundings_above_the_standard_top_and_their_limits():
    z = np.array([0.0, 40_000.0, 90_000.0])
    air = atm.standard_atmosphere(z[:2])
    model = atm.sounding(z, np.r_[air.pressure, 0.15], np.r_[air.temperature, 187.0])
    assert model.ceiling == 90_000.0
    assert float(model(90_000.0).pressure) == pytest.approx(0.15)
    with pytest.raises(ValueError, match="altitude"):
        model(90_001.0)
    low = atm.sounding([0.0, 5000.0], [101_000.0, 54_000.0], [288.0, 256.0])
    assert low.ceiling == 86_000.0
    with pytest.raises(ValueError, match="altitude"):
        low([1000.0, 86_500.0])
    assert np.ndim(low(1000.0).temperature) == 0


def test_every_path_is_bit_identical_whatever_the_threads():
    r = np.arange(1, 1201) * 15.0
    zenith = np.linspace(0.0, 60.0, 40)
    generic = [lambda z, k=k: atm.standard_atmosphere(z) for k in range(40)]
    for model in (atm.standard_atmosphere, generic):
        one = atm.molecular_profile(r, 532e-9, model, zenith_angle=zenith, threads=1)
        xr.testing.assert_identical(
            one, atm.molecular_profile(r, 532e-9, model, zenith_angle=zenith, threads=4))
    a = np.radians(zenith)
    np.testing.assert_allclose(one.altitude[:, -1], 18_000.0 * np.cos(a)
                               + (18_000.0 * np.sin(a)) ** 2 / (2 * 6371e3), rtol=1e-5)


def test_a_set_of_several_megabytes_per_output_is_its_profiles_computed_alone():
    # 160 x 4,000 gates: 5 MB per output, large enough to go on huge pages.
    base = standard_sounding(levels=121)
    soundings = [atm.sounding(base.altitude, base.pressure * (1 + 1e-4 * i),
                              base.temperature + 0.01 * i) for i in range(160)]
    r = np.arange(1, 4001) * 7.5
    ds = atm.molecular_profile(r, 532e-9, soundings, threads=2)
    for i in (0, 97, 159):
        alone = atm.molecular_profile(r, 532e-9, soundings[i])
        for name in ("temperature", "pressure", "number_density", "alpha_m", "beta_m",
                     "transmission_m2", "attenuated_beta_m"):
            np.testing.assert_array_equal(ds[name][i], alone[name])
    xr.testing.assert_identical(ds, atm.molecular_profile(r, 532e-9, soundings, threads=1))


def test_a_sounding_gives_the_same_air_whichever_use_comes_first():
    # A sounding's table of ln pressure is made on first use, alone or together with the
    # other soundings of a set (a sounding repeated in the set counts once).
    base = standard_sounding(levels=61)
    r = np.arange(1, 801) * 15.0

    def fresh(i):
        return atm.sounding(base.altitude, base.pressure * (1 + 1e-3 * i), base.temperature)

    a, b = fresh(1), fresh(2)
    together = atm.molecular_profile(r, 532e-9, [a, b, a], threads=2)
    c = fresh(1)
    alone = atm.molecular_profile(r, 532e-9, c)
    np.testing.assert_array_equal(together.pressure[0], alone.pressure)
    np.testing.assert_array_equal(together.transmission_m2[2], alone.transmission_m2)
    z = np.linspace(0.0, 40_000.0, 77)
    first, later = fresh(3), fresh(3)
    called = first(z)                                       # made alone, by a call
    atm.molecular_profile(r, 532e-9, [fresh(4), later])     # made together with another
    np.testing.assert_array_equal(later(z).pressure, called.pressure)


def test_the_core_refuses_inconsistent_arrays_instead_of_reading_past_them():
    from Aerolume import _core
    r = np.array([10.0, 20.0, 30.0])
    altitude = np.array([[10.0, 20.0, 30.0]])
    station = np.zeros(1)
    with pytest.raises(ValueError, match="row of altitudes"):
        _core.standard_profiles(r, altitude[:, :2], station, 1, 1e-31, 1e-32)
    with pytest.raises(ValueError, match="strictly increasing"):
        _core.standard_profiles(r[::-1].copy(), altitude, station, 1, 1e-31, 1e-32)
    with pytest.raises(ValueError, match="station altitude"):
        _core.standard_profiles(r, np.zeros((3, 3)), np.zeros(3), 2, 1e-31, 1e-32)
    with pytest.raises(ValueError, match="86000"):
        _core.standard_profiles(r, altitude + 90_000.0, station, 1, 1e-31, 1e-32)
    levels = [np.array([0.0, 1000.0])], [np.array([288.0, 281.0])], [np.array([1e5, 9e4])]
    with pytest.raises(ValueError, match="log pressure"):
        _core.sounding_profiles(r, altitude, station, 1, *levels, [], 1e-31, 1e-32)
    with pytest.raises(ValueError, match="lowest level"):
        _core.sounding_profiles(r, altitude - 50.0, station - 50.0, 1, *levels,
                                [np.log(levels[2][0])], 1e-31, 1e-32)
    with pytest.raises(ValueError, match="number densities"):
        _core.density_profiles(r, altitude, station, 1, np.ones(3), 1e-31, 1e-32)


def test_agrees_with_the_formulas_written_in_numpy():
    import importlib.util
    import pathlib
    path = pathlib.Path(__file__).resolve().parent.parent / "benchmarks" / "numpy_atmosphere.py"
    spec = importlib.util.spec_from_file_location("numpy_atmosphere", path)
    reference = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(reference)
    r = np.arange(1, 3001) * 10.0
    ours, theirs = atm.molecular_profile(r, 355e-9), reference.standard_profile(r, 355e-9)
    rng = np.random.default_rng(5)
    z = np.linspace(0.0, 40_000.0, 60)
    raw = [(z, atm.standard_atmosphere(z).pressure * (1 + 0.01 * k),
            atm.standard_atmosphere(z).temperature + rng.normal(0, 0.5, z.size)) for k in range(4)]
    many = atm.molecular_profile(r, 355e-9, [atm.sounding(*s) for s in raw])
    many_theirs = reference.sounding_profiles(r, 355e-9, raw)
    for a, b in ((ours, theirs), (many, many_theirs)):
        for name in ("altitude", "temperature", "pressure", "number_density", "alpha_m",
                     "beta_m", "lidar_ratio_m", "transmission_m2", "attenuated_beta_m"):
            np.testing.assert_allclose(a[name], b[name], rtol=1e-13, atol=0, err_msg=name)
