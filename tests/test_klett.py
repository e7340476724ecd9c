"""Fernald's inversion against the forward model: round trips on two grids, the error of a
wrong lidar ratio, the order of accuracy, the forward solution, and many profiles at once."""


import numpy as np
import pytest
import xarray as xr

from Aerolume import retrieval, simulate

from retrieval_cases import (LIDAR_RATIO, REFERENCE, WAVELENGTH, aerosol, grid, molecular,
                             significant)


FINE = 0.9375  # m: the forward model on this grid stands for the continuous atmosphere


@pytest.fixture(scope="module")
def truth():
    """A simulation on a fine grid and its molecular atmosphere."""
    r = grid(FINE)
    mol = molecular(r)
    beta_a = aerosol(r)
    sim = simulate.elastic(r, WAVELENGTH, beta_a, mol, lidar_ratio=LIDAR_RATIO, constant=3e12)
    return r, mol, beta_a, sim


def coarse(truth, spacing):
    """The fine simulation's every n-th gate: what an instrument of that resolution sees."""
    r, mol, beta_a, sim = truth
    step = int(round(spacing / FINE))
    pick = slice(step - 1, None, step)
    return (r[pick], {k: mol[k].values[pick] for k in ("alpha_m", "beta_m")}, beta_a[pick],
            sim["signal"].values[pick])


@pytest.mark.parametrize("spacing", [7.5, 30.0])
def test_round_trip_recovers_the_aerosol(truth, spacing):
    r, mol, beta_a, signal = coarse(truth, spacing)
    result = retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO, REFERENCE)
    beta = result["backscatter"].values
    keep = significant(r, beta_a, mol["beta_m"])
    assert keep.sum() > 50
    # Tolerance: 1e-3 relative where beta_a > 1 % of beta_m.
    np.testing.assert_allclose(beta[keep], beta_a[keep], rtol=1e-3)
    np.testing.assert_allclose(result["extinction"].values[keep], LIDAR_RATIO * beta_a[keep],
                               rtol=1e-3)
    # Nothing is retrieved beyond the reference interval.
    assert np.isnan(beta[r > REFERENCE[1]]).all()
    assert REFERENCE[0] <= result.attrs["reference_range"][0] < REFERENCE[1]


def test_at_least_second_order_accurate(truth):
    # The error must fall at least about fourfold each time the spacing halves.
    errors = []
    for spacing in (7.5, 15.0, 30.0, 60.0):
        r, mol, beta_a, signal = coarse(truth, spacing)
        beta = retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO, REFERENCE)["backscatter"].values
        keep = significant(r, beta_a, mol["beta_m"])
        errors.append(np.max(np.abs(beta[keep] / beta_a[keep] - 1.0)))
    ratios = np.array(errors[1:]) / np.array(errors[:-1])
    assert np.all(ratios > 3.5), (errors, ratios)


def cumulative(f, r):
    return np.concatenate([[0.0], np.cumsum(0.5 * (f[1:] + f[:-1]) * np.diff(r))])


def test_wrong_lidar_ratio_gives_the_expected_error(truth):
    # To first order in dS = S' - S, the backward solution's total backscatter B' is off by
    #   B'/B - 1 = 2 dS [M(r) - e^(-2u(r)) ∫_r^rc B e^(2u) (1 + 2 S M) dr']
    # with M(r) = ∫_r^rc beta_m and u(r) = ∫_r^rc S B: negative for an overestimated lidar
    # ratio, positive for an underestimated one, bounded (the backward solution is stable).
    r, mol, beta_a, signal = coarse(truth, 7.5)
    beta_m = mol["beta_m"]
    total = beta_a + beta_m
    c = (np.searchsorted(r, REFERENCE[0]) + np.searchsorted(r, REFERENCE[1], "right") - 1) // 2
    below = r < REFERENCE[0]

    def from_reference(f):
        integral = cumulative(f, r)
        return integral[c] - integral

    m = from_reference(beta_m)
    u = from_reference(LIDAR_RATIO * total)
    inner = from_reference(total * np.exp(2 * u) * (1 + 2 * LIDAR_RATIO * m))
    for factor in (1.2, 0.8):
        d = (factor - 1.0) * LIDAR_RATIO
        beta = retrieval.klett_fernald(signal, r, mol, factor * LIDAR_RATIO,
                                       REFERENCE)["backscatter"].values
        relative = ((beta + beta_m) / total - 1.0)[below]
        predicted = (2 * d * (m - np.exp(-2 * u) * inner))[below]
        assert np.abs(predicted).max() > 0.02  # the case has a real optical depth
        assert np.all(np.sign(d) * relative <= 1e-6)
        # Tolerance: within 20 % of the largest predicted error (second-order terms).
        np.testing.assert_allclose(relative, predicted, atol=0.2 * np.abs(predicted).max())


def test_range_dependent_lidar_ratio_and_reference_value():
    r = grid(15.0)
    mol = molecular(r)
    beta_a = aerosol(r, cloud=False) + 2e-9  # a little aerosol in the reference interval
    ratio = np.where(r < 3000.0, 30.0, 70.0) + 0.001 * r
    sim = simulate.elastic(r, WAVELENGTH, beta_a, mol, lidar_ratio=ratio)
    inside = (r >= REFERENCE[0]) & (r <= REFERENCE[1])
    value = float(np.mean((beta_a + mol["beta_m"].values)[inside] / mol["beta_m"].values[inside]))
    # The reference holds aerosol whose transmission changes across it: the offset fit
    # would take that for a residual background, so the exact inversion runs without it.
    result = retrieval.klett_fernald(sim["signal"], r, mol, ratio, REFERENCE, value,
                                     fit_offset=False)
    keep = significant(r, beta_a, mol["beta_m"].values)
    np.testing.assert_allclose(result["backscatter"].values[keep], beta_a[keep], rtol=2e-3)
    np.testing.assert_allclose(result["extinction"].values[keep], (ratio * beta_a)[keep],
                               rtol=2e-3)


def test_forward_solution_with_calibration():
    r = grid(7.5, top=6000.0)
    mol = molecular(r)
    beta_a = aerosol(r, cloud=False)
    constant = 3e12
    sim = simulate.elastic(r, WAVELENGTH, beta_a, mol, lidar_ratio=LIDAR_RATIO,
                           constant=constant)
    result = retrieval.klett_fernald(sim["signal"], r, mol, LIDAR_RATIO, direction="forward",
                                     calibration=constant)
    keep = significant(r, beta_a, mol["beta_m"].values, below=np.inf)
    # Tolerance: 1e-3 relative (the forward model takes the first gate's extinction down to
    # the instrument, as the inversion does).
    np.testing.assert_allclose(result["backscatter"].values[keep], beta_a[keep], rtol=1e-3)
    # A calibration far too low leaves the forward solution without a solution at long
    # range: NaN and a warning, not a wrong number.
    with pytest.warns(RuntimeWarning, match="no solution"):
        bad = retrieval.klett_fernald(sim["signal"], r, mol, LIDAR_RATIO, direction="forward",
                                      calibration=constant * 0.7)
    assert np.isnan(bad["backscatter"].values).any()
    with pytest.raises(ValueError, match="calibration is used by the forward"):
        retrieval.klett_fernald(sim["signal"], r, mol, LIDAR_RATIO, REFERENCE,
                                calibration=constant)


def test_many_profiles_in_one_call_keep_dims_and_threads_do_not_matter():
    r = grid(30.0)
    mol = molecular(r)
    scale = np.linspace(0.5, 1.5, 12)[:, None]
    beta_a = aerosol(r) * scale
    sim = simulate.elastic(r, WAVELENGTH, beta_a, mol, lidar_ratio=LIDAR_RATIO)
    signal = xr.DataArray(sim["signal"].values.reshape(3, 4, -1), dims=("time", "channel", "gate"),
                          coords={"time": np.arange(3), "gate": r})
    references = np.tile(REFERENCE, (3, 4, 1)).astype(float)
    references[1, 2] = (11000.0, 13000.0)
    one = retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO, references, threads=1)
    many = retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO, references, threads=5)
    assert one["backscatter"].dims == ("time", "channel", "gate")
    assert np.array_equal(one["backscatter"].values, many["backscatter"].values, equal_nan=True)
    for p in range(12):
        i, j = divmod(p, 4)
        single = retrieval.klett_fernald(sim["signal"].values[p], r, mol, LIDAR_RATIO,
                                         references[i, j])
        assert np.array_equal(single["backscatter"].values,
                              one["backscatter"].values[i, j], equal_nan=True)
    # A profile without a reference interval is NaN, with a warning, the others untouched.
    references[0, 0] = np.nan
    with pytest.warns(RuntimeWarning, match="1 of 12 profiles"):
        gap = retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO, references)
    assert np.isnan(gap["backscatter"].values[0, 0]).all()
    assert np.array_equal(gap["backscatter"].values[2], one["backscatter"].values[2],
                          equal_nan=True)


def test_gaps_spoil_only_what_lies_beyond_them(truth):
    # A NaN gate (a saturated bin, say) near the instrument: the backward solution above it
    # is untouched, below it NaN, with a warning naming the gaps; the Monte Carlo likewise.
    r, mol, beta_a, signal = coarse(truth, 30.0)
    clean = retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO, REFERENCE,
                                    uncertainty={"lidar_ratio": 5.0, "realisations": 20})
    gap = signal.copy()
    gap[20] = np.nan
    with pytest.warns(RuntimeWarning, match="1 NaN gate"):
        result = retrieval.klett_fernald(gap, r, mol, LIDAR_RATIO, REFERENCE,
                                         uncertainty={"lidar_ratio": 5.0, "realisations": 20})
    for name in ("backscatter", "backscatter_uncertainty"):
        values = result[name].values
        assert np.isnan(values[:21]).all()
        np.testing.assert_allclose(values[23:], clean[name].values[23:], rtol=1e-12)
    # A gap in the reference interval leaves nothing to calibrate with.
    gap[np.searchsorted(r, 13000.0)] = np.nan
    with pytest.warns(RuntimeWarning, match="2 NaN gate"):
        result = retrieval.klett_fernald(gap, r, mol, LIDAR_RATIO, REFERENCE)
    assert np.isnan(result["backscatter"].values).all()


def test_bad_arguments_are_named():
    r = grid(30.0)
    mol = molecular(r)
    signal = np.ones_like(r)
    with pytest.raises(ValueError, match="reference"):
        retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO, (20000.0, 30000.0))
    with pytest.raises(ValueError, match="reference is needed"):
        retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO)
    with pytest.raises(ValueError, match="calibration is needed"):
        retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO, direction="forward")
    with pytest.raises(ValueError, match="lidar_ratio"):
        retrieval.klett_fernald(signal, r, mol, -5.0, REFERENCE)
    with pytest.raises(ValueError, match="range"):
        retrieval.klett_fernald(signal, r[::-1], mol, LIDAR_RATIO, REFERENCE)
    with pytest.raises(ValueError, match=r"molecular\['beta_m'\]"):
        retrieval.klett_fernald(signal, r, {"alpha_m": mol["alpha_m"].values,
                                            "beta_m": mol["beta_m"].values[:10]},
                                LIDAR_RATIO, REFERENCE)
    with pytest.raises(ValueError, match="signal must be finite or NaN"):
        retrieval.klett_fernald(np.full_like(r, np.inf), r, mol, LIDAR_RATIO, REFERENCE)
    with pytest.raises(TypeError, match="uncertainty"):
        retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO, REFERENCE, uncertainty={"n": 3})
