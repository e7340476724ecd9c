"""The Raman method against the forward model: extinction where the aerosol is smooth over
the fit window, backscatter everywhere, the lidar ratio, the windows, and many profiles."""


import numpy as np
import pytest

from Aerolume import _core, retrieval, simulate

from retrieval_cases import (LIDAR_RATIO, RAMAN_WAVELENGTH, REFERENCE,  # noqa: E402
                             WAVELENGTH, aerosol, grid, molecular, significant)

FINE = 0.9375
SPACING = 7.5
WINDOW = 300.0
ANGSTROM = 1.2


@pytest.fixture(scope="module")
def case():
    """Elastic and Raman signals simulated finely, seen every 7.5 m."""
    r = grid(FINE)
    mol, mol_r = molecular(r), molecular(r, RAMAN_WAVELENGTH)
    beta_a = aerosol(r)
    kw = dict(lidar_ratio=LIDAR_RATIO, constant=3e12)
    elastic = simulate.elastic(r, WAVELENGTH, beta_a, mol, **kw)
    raman = simulate.raman(r, WAVELENGTH, beta_a, mol, mol_r, angstrom=ANGSTROM, **kw)
    pick = slice(7, None, 8)
    return (r[pick], mol.isel(range=pick), mol_r.isel(range=pick), beta_a[pick],
            elastic["signal"].values[pick], raman["signal"].values[pick])


def smooth(values, r, window):
    """Gates where `values` varies by less than 10 % over the window centred on them."""
    half = int(round((window / (r[1] - r[0]) - 1) / 2))
    out = np.zeros(values.shape, bool)
    for i in range(half, values.size - half):
        part = values[i - half:i + half + 1]
        out[i] = part.max() <= 1.1 * part.min()
    return out


def test_extinction_round_trip(case):
    r, mol, mol_r, beta_a, _, raman = case
    result = retrieval.raman_extinction(raman, r, mol, mol_r, ANGSTROM, WINDOW)
    alpha = result["extinction"].values
    true = LIDAR_RATIO * beta_a
    keep = smooth(true, r, WINDOW) & (true > 5e-6) & (r < REFERENCE[0])
    assert keep.sum() > 100
    # Tolerance: 5 % where the true extinction is smooth over the fit window.
    np.testing.assert_allclose(alpha[keep], true[keep], rtol=0.05)
    # The window is 41 gates of 7.5 m; the ends it cannot be centred on are NaN.
    np.testing.assert_allclose(result["effective_resolution"].values, 41 * SPACING)
    assert np.isnan(alpha[:20]).all() and np.isnan(alpha[-20:]).all()
    assert np.isfinite(alpha[20:-20]).all()
    assert result.attrs["raman_wavelength"] == pytest.approx(RAMAN_WAVELENGTH)


def test_wrong_angstrom_exponent_scales_the_extinction(case):
    # The aerosol extinction scales as 1 / (1 + (l0/lR)^k): a wrong k gives a known factor.
    r, mol, mol_r, _, _, raman = case
    right = retrieval.raman_extinction(raman, r, mol, mol_r, ANGSTROM, WINDOW)
    wrong = retrieval.raman_extinction(raman, r, mol, mol_r, 0.0, WINDOW)
    ratio = WAVELENGTH / RAMAN_WAVELENGTH
    np.testing.assert_allclose(wrong["extinction"].values * 2.0,
                               right["extinction"].values * (1 + ratio ** ANGSTROM), rtol=1e-9)


def test_backscatter_and_lidar_ratio_round_trip(case):
    r, mol, mol_r, beta_a, elastic, raman = case
    result = retrieval.raman_retrieval(elastic, raman, r, mol, mol_r, REFERENCE,
                                       angstrom=ANGSTROM, window=WINDOW)
    keep = significant(r, beta_a, mol["beta_m"].values)
    # Tolerance: 2 % where beta_a > 1 % of beta_m.
    np.testing.assert_allclose(result["backscatter"].values[keep], beta_a[keep], rtol=0.02)
    true = LIDAR_RATIO * beta_a
    both = smooth(true, r, WINDOW) & (true > 5e-6) & (r < REFERENCE[0])
    # Tolerance: 5 % on the lidar ratio where the extinction is smooth.
    np.testing.assert_allclose(result["lidar_ratio"].values[both], LIDAR_RATIO, rtol=0.05)
    # The same backscatter from the separate call with the retrieved extinction.
    alone = retrieval.raman_backscatter(elastic, raman, r, mol, mol_r, REFERENCE,
                                        extinction=result["extinction"], angstrom=ANGSTROM)
    np.testing.assert_array_equal(alone["backscatter"].values, result["backscatter"].values)
    # Without the aerosol extinction the differential transmission is missed: a few per
    # cent where the aerosol is thick, more than with it.
    crude = retrieval.raman_backscatter(elastic, raman, r, mol, mol_r, REFERENCE,
                                        angstrom=ANGSTROM)["backscatter"].values
    assert np.max(np.abs(crude[keep] / beta_a[keep] - 1)) > 0.02


def test_growing_window_and_many_profiles(case):
    r, mol, mol_r, beta_a, elastic, raman = case
    growing = retrieval.raman_extinction(raman, r, mol, mol_r, ANGSTROM,
                                         lambda x: 150.0 + 0.05 * x)
    resolution = growing["effective_resolution"].values
    assert resolution[0] < 200.0 and resolution[-1] > 800.0
    assert np.all(np.diff(resolution) >= 0)
    stack = np.stack([raman, 2.0 * raman, 0.5 * raman])
    many = retrieval.raman_extinction(stack, r, mol, mol_r, ANGSTROM, WINDOW, threads=2)
    for p in range(3):  # a constant factor does not change the derivative of the logarithm
        np.testing.assert_allclose(many["extinction"].values[p],
                                   many["extinction"].values[0], rtol=1e-9, atol=1e-12)


def test_non_positive_signal_and_gaps_give_nan_not_garbage(case):
    r, mol, mol_r, _, _, raman = case
    broken = raman.copy()
    broken[500] = -1.0
    broken[800] = np.nan  # a gap
    with pytest.warns(RuntimeWarning, match="1 NaN gate"):
        alpha = retrieval.raman_extinction(broken, r, mol, mol_r, ANGSTROM,
                                           WINDOW)["extinction"].values
    for bad in (500, 800):
        assert np.isnan(alpha[bad - 20:bad + 21]).all()
        assert np.isfinite(alpha[bad - 21]) and np.isfinite(alpha[bad + 21])


def test_bad_arguments_are_named(case):
    r, mol, mol_r, _, elastic, raman = case
    with pytest.raises(ValueError, match="window must span at least 3 gates"):
        retrieval.raman_extinction(raman, r, mol, mol_r, 1.0, 10.0)
    with pytest.raises(ValueError, match="molecular_raman"):
        retrieval.raman_extinction(raman, r, mol, {"beta_m": mol_r["beta_m"]}, 1.0, WINDOW)
    with pytest.raises(ValueError, match="wavelength is needed"):
        retrieval.raman_extinction(raman, r, dict(mol.data_vars), dict(mol_r.data_vars), 1.0,
                                   WINDOW)
    with pytest.raises(ValueError, match="same shape"):
        retrieval.raman_backscatter(np.stack([elastic, elastic]), raman, r, mol, mol_r,
                                    REFERENCE)
    with pytest.raises(ValueError, match="elastic_signal"):
        retrieval.raman_backscatter(elastic[:-1], raman, r, mol, mol_r, REFERENCE)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_the_lidar_ratio_on_one_grid_is_xarrays_division_and_where(dtype):
    # On one grid the ratio is made without xarray's temporaries: the same DataArray as
    # xarray's own arithmetic (values, NaN, type, coordinates, no encoding); on grids
    # that differ xarray aligns them as before.
    import xarray as xr

    rng = np.random.default_rng(3)
    e, b = (rng.standard_normal((6, 40)).astype(dtype) for _ in range(2))
    e[0, 1], b[2, 3], b[4, 5] = np.nan, np.nan, 0.0
    coords = {"time": np.arange(6), "range": np.arange(40.0), "site": ("time", np.ones(6))}
    E = xr.DataArray(e, dims=("time", "range"), coords=coords, attrs={"units": "m-1"})
    E.encoding = {"dtype": "float32"}
    B = xr.DataArray(b, dims=("time", "range"), coords=coords)

    def by_xarray(x, y, least):
        out = (x / y).where(y > least)
        out.attrs = dict(retrieval._LIDAR_RATIO)
        return out.rename("lidar_ratio")

    for least in (0.0, 0.5):
        got = retrieval.lidar_ratio(E, B, min_backscatter=least)
        assert got.identical(by_xarray(E, B, least)) and got.encoding == {}
        assert got.dtype == dtype
    shifted = B.assign_coords(range=B["range"] + 1.0)  # (overlapping gates only)
    assert retrieval.lidar_ratio(E, shifted).identical(by_xarray(E, shifted, 0.0))
    e, b = e.astype(np.float64), b.astype(np.float64)  # (arrays are taken as float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        assert np.array_equal(retrieval.lidar_ratio(e, b), np.where(b > 0, e / b, np.nan),
                              equal_nan=True)


def test_the_cores_lidar_ratio_is_numpys_division_on_every_thread_count():
    # Many gates, split over the threads: the same divisions as NumPy's (NaN where the
    # backscatter is NaN or not above the least), and the shapes must agree.
    rng = np.random.default_rng(5)
    e, b = rng.standard_normal((2, 3, 300_001))
    b[0, :50] = np.nan
    for least in (0.0, 0.25):
        with np.errstate(divide="ignore", invalid="ignore"):
            want = np.where(b > least, e / b, np.nan)
        for threads in (1, 2, 0):
            got = _core.lidar_ratio(e, b, least, threads=threads)
            assert got.shape == e.shape and np.array_equal(got, want, equal_nan=True)
    with pytest.raises(ValueError, match="same shape"):
        _core.lidar_ratio(e, b[:, :-1])


def test_the_extinction_has_no_analytic_error_without_the_noise(case):
    r, mol, mol_r, _, _, raman = case
    inputs = _core.RamanInputs(
        raman_signal=raman, range=r, number_density=mol_r["number_density"].values,
        alpha_m=mol["alpha_m"].values, alpha_m_raman=mol_r["alpha_m"].values,
        wavelength_ratio=355.0 / 387.0, angstrom=np.ones(1),
        half_width=np.full(r.size, 10.0))
    extinction, error = _core.raman_extinction(inputs)
    assert error is None and np.isfinite(extinction).any()


def test_the_chains_warnings_name_the_callers_line(case):
    # A gap in the signals and a profile without a reference are warned of once each, at
    # the line that called the function (not inside the package).
    import warnings

    r, mol, mol_r, _, elastic, raman = case
    elastic, raman = np.stack([elastic] * 2), np.stack([raman] * 2)
    raman[0, 5] = np.nan
    reference = np.array([[np.nan, np.nan], list(REFERENCE)])
    for function, args in ((retrieval.raman_retrieval, (1.0, ANGSTROM, WINDOW)),
                           (retrieval.raman_backscatter, ())):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            function(elastic, raman, r, mol, mol_r, reference, *args)
        texts = sorted(str(w.message).split(" ")[1] for w in caught)
        assert texts == ["has", "of"]
        assert {w.filename for w in caught} == {__file__}
