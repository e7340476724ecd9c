"""The named inputs of Aerolume._core's Monte Carlo kernels (NoiseModel, MonteCarloSettings,
RamanInputs): what they refuse, and that a call made of them gives the results, bit for bit,
of the other ways to the same numbers (per profile, per thread count)."""

import numpy as np
import pytest
from retrieval_cases import (LIDAR_RATIO, RAMAN_WAVELENGTH, WAVELENGTH, aerosol, grid,
                             molecular)

from Aerolume import _core, simulate

GAUSSIAN = _core.NoiseKind.gaussian
POISSON = _core.NoiseKind.poisson


@pytest.fixture(scope="module")
def fields():
    """The fields of RamanInputs for 3 profiles of a simulated night (reference gates 200-233)."""
    r = grid(60.0)
    mol, mol_r = molecular(r), molecular(r, RAMAN_WAVELENGTH)
    beta = np.stack([aerosol(r), 0.5 * aerosol(r), 2.0 * aerosol(r)])
    raman = simulate.raman(r, WAVELENGTH, beta, mol, mol_r, lidar_ratio=LIDAR_RATIO,
                           constant=1e13)["signal"].values
    return dict(raman_signal=np.ascontiguousarray(raman), range=r,
                number_density=np.asarray(mol_r["number_density"].values, dtype=float),
                alpha_m=np.asarray(mol["alpha_m"].values, dtype=float),
                alpha_m_raman=np.asarray(mol_r["alpha_m"].values, dtype=float),
                wavelength_ratio=WAVELENGTH / RAMAN_WAVELENGTH, angstrom=np.ones(1),
                elastic_signal=np.ascontiguousarray(1.1 * raman),
                beta_m=np.asarray(mol["beta_m"].values, dtype=float),
                half_width=np.full(r.size, 3.0), reference=np.array([200, 233]),
                reference_value=np.ones(1))


def gaussian(sigma):
    return _core.NoiseModel(kind=GAUSSIAN, sigma=np.ascontiguousarray(sigma, dtype=float))


def monte_carlo(fields, *, threads=1, elastic=0.01, raman=0.01, **settings):
    """raman_monte_carlo with Gaussian noise of `elastic` and `raman` times the signals."""
    inputs = _core.RamanInputs(**fields)
    settings = {"realisations": 12, "seed": 3, **settings}
    elastic_noise = None if elastic is None else gaussian(elastic * fields["elastic_signal"])
    return _core.raman_monte_carlo(
        inputs, elastic_noise=elastic_noise, raman_noise=gaussian(raman * fields["raman_signal"]),
        settings=_core.MonteCarloSettings(**settings), retrieve_extinction=True,
        retrieve_backscatter=True, threads=threads)


def rows(fields, profiles, **changed):
    """The fields of those profiles alone."""
    out = dict(fields, **changed)
    for name in ("raman_signal", "elastic_signal"):
        out[name] = np.ascontiguousarray(fields[name][profiles])
    return out


# ---- What the bound classes refuse -----------------------------------------------------

def test_the_classes_take_named_fields_only():
    sigma = np.ones(4)
    with pytest.raises(TypeError, match=r"incompatible function arguments(.|\n)*sigmas"):
        _core.NoiseModel(kind=GAUSSIAN, sigmas=sigma)
    with pytest.raises(TypeError, match=r"\*, kind:"):
        _core.NoiseModel(GAUSSIAN, sigma)
    with pytest.raises(TypeError, match=r"\*, realisations: int"):
        _core.MonteCarloSettings(realisation=10)
    with pytest.raises(TypeError, match=r"\*, realisations: int"):
        _core.MonteCarloSettings(seed=1)  # realisations missing
    model = _core.NoiseModel(kind=POISSON, counts_per_unit=np.full(4, 2.0),
                             background=np.zeros(4))
    assert model.kind == POISSON and model.sigma is None
    assert np.array_equal(model.counts_per_unit, np.full(4, 2.0))
    settings = _core.MonteCarloSettings(realisations=5, seeds=np.arange(3, dtype=np.uint64),
                                        angstrom_sd=0.2)
    assert (settings.realisations, settings.seed, settings.angstrom_sd) == (5, 0, 0.2)
    assert list(settings.seeds) == [0, 1, 2]


@pytest.mark.parametrize("kwargs, message", [
    ({"kind": GAUSSIAN}, "gaussian noise needs sigma"),
    ({"kind": GAUSSIAN, "sigma": np.ones(4), "background": np.zeros(4)},
     "counts_per_unit and background are only for poisson noise"),
    ({"kind": POISSON, "counts_per_unit": np.ones(4)},
     "poisson noise needs counts_per_unit and background"),
    ({"kind": POISSON, "sigma": np.ones(4), "counts_per_unit": np.ones(4),
      "background": np.zeros(4)}, "sigma is only for gaussian noise"),
    ({"kind": _core.NoiseKind.none, "sigma": np.ones(4)}, "sigma is only for gaussian noise"),
])
def test_a_noise_model_takes_the_arrays_of_its_kind_and_no_other(kwargs, message):
    with pytest.raises(ValueError, match=f"NoiseModel: {message}"):
        _core.NoiseModel(**kwargs)


def test_monte_carlo_settings_refuse_too_few_realisations():
    with pytest.raises(ValueError, match="realisations must be at least 2"):
        _core.MonteCarloSettings(realisations=1)


def test_raman_inputs_name_a_missing_or_unknown_field(fields):
    missing = {k: v for k, v in fields.items() if k != "number_density"}
    with pytest.raises(TypeError, match=r"number_density: ndarray(.|\n)*Invoked with"):
        _core.RamanInputs(**missing)
    with pytest.raises(TypeError, match=r"kwargs = \{.*raman: ndarray"):
        _core.RamanInputs(**missing, raman=fields["number_density"])
    inputs = _core.RamanInputs(**fields)
    assert (inputs.profiles, inputs.gates) == fields["raman_signal"].shape
    assert inputs.extinction is None and inputs.first is None
    assert np.array_equal(inputs.reference, [200, 233])
    assert np.array_equal(inputs.raman_signal, fields["raman_signal"])


@pytest.mark.parametrize("changed, message", [
    ({"range": np.ones(7)}, "range has 7 values; expected one profile of 250 gates or one per "
                            "profile"),
    ({"beta_m": np.ones((2, 250))}, "beta_m has 500 values"),
    ({"elastic_signal": np.ones(3)}, "elastic_signal has 3 values"),
    ({"angstrom": np.ones(2)}, "angstrom needs one value or one per profile"),
    ({"reference": np.array([200, 233, 240])}, "reference needs one .begin, end. pair"),
    ({"reference": np.array([233, 200])}, r"reference holds the gates \[233, 200\)"),
    ({"reference_value": None}, "reference and reference_value go together"),
    ({"reference": None}, "reference and reference_value go together"),
    ({"referenced": np.ones(2, dtype=np.uint8)}, "referenced needs one flag per profile"),
    ({"first": np.array([250])}, "first holds the gate 250"),
    ({"first": np.array([0, 210, 0])}, "reference of profile 1 begins below its first gate"),
])
def test_raman_inputs_refuse_a_shape_that_does_not_fit_the_raman_signal(fields, changed,
                                                                        message):
    with pytest.raises(ValueError, match=message):
        _core.RamanInputs(**dict(fields, **changed))


def test_a_kernel_refuses_what_its_inputs_lack_or_a_noise_of_the_wrong_shape(fields):
    bare = {k: v for k, v in fields.items()
            if k not in ("elastic_signal", "beta_m", "reference", "reference_value",
                         "half_width")}
    inputs = _core.RamanInputs(**bare)
    settings = _core.MonteCarloSettings(realisations=4)
    noise = gaussian(np.full(250, 0.01))
    with pytest.raises(ValueError, match="half_width is needed"):
        _core.raman_extinction(inputs)
    with pytest.raises(ValueError, match="elastic_signal, beta_m and reference are needed"):
        _core.raman_backscatter(inputs)
    with pytest.raises(ValueError, match="elastic_signal, beta_m and reference are needed"):
        _core.raman_monte_carlo(inputs, elastic_noise=noise, raman_noise=noise,
                                settings=settings, retrieve_extinction=False,
                                retrieve_backscatter=True)
    full = _core.RamanInputs(**fields)
    with pytest.raises(ValueError, match="raman_signal noise has 3 values"):
        _core.raman_monte_carlo(full, elastic_noise=noise, raman_noise=gaussian(np.ones(3)),
                                settings=settings, retrieve_extinction=True,
                                retrieve_backscatter=True)
    with pytest.raises(ValueError, match="seeds needs one seed per profile"):
        _core.raman_monte_carlo(
            full, elastic_noise=noise, raman_noise=noise,
            settings=_core.MonteCarloSettings(realisations=4, seeds=np.ones(2, np.uint64)),
            retrieve_extinction=True, retrieve_backscatter=True)
    with pytest.raises(ValueError, match="settings.lidar_ratio_sd must be 0"):
        _core.raman_monte_carlo(
            full, elastic_noise=noise, raman_noise=noise,
            settings=_core.MonteCarloSettings(realisations=4, lidar_ratio_sd=5.0),
            retrieve_extinction=True, retrieve_backscatter=True)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        _core.raman_monte_carlo(full, noise, noise, settings, True, True)  # positional


# ---- The same numbers by other paths ---------------------------------------------------

def test_each_profile_with_its_own_seed_and_first_gate_is_that_profile_alone(fields):
    first = np.array([0, 4, 9])
    seeds = np.array([7, 9, 11], dtype=np.uint64)
    block = monte_carlo(dict(fields, first=first), threads=2, seeds=seeds,
                        reference_value_sd=0.05, angstrom_sd=0.2)
    for p in range(3):
        alone = monte_carlo(rows(fields, [p], first=first[p:p + 1]), threads=1,
                            seed=int(seeds[p]), reference_value_sd=0.05, angstrom_sd=0.2)
        for got, want in zip(block, alone):
            np.testing.assert_array_equal(got[p], want[0])
    assert np.isfinite(block[0][:, 20:200]).mean() > 0.5  # spreads, not just NaN


def test_the_result_is_the_same_whatever_the_thread_count(fields):
    runs = [monte_carlo(fields, threads=t, reference_value_sd=0.05) for t in (1, 2, 3)]
    for other in runs[1:]:
        for got, want in zip(other, runs[0]):
            np.testing.assert_array_equal(got, want)


def test_each_named_setting_reaches_the_kernel(fields):
    base = monte_carlo(fields)
    extinction, backscatter = 0, 1

    def differs(result, product):
        return not np.array_equal(result[product], base[product], equal_nan=True)

    assert differs(monte_carlo(fields, seed=4), extinction)
    assert differs(monte_carlo(fields, angstrom_sd=0.3), extinction)
    changed = monte_carlo(fields, reference_value_sd=0.1)
    assert differs(changed, backscatter) and not differs(changed, extinction)
    changed = monte_carlo(fields, elastic=None)
    assert differs(changed, backscatter) and not differs(changed, extinction)
    assert differs(monte_carlo(fields, raman=0.02), extinction)
    assert differs(monte_carlo(fields, realisations=13), extinction)
    # A profile marked as without a reference keeps only its extinction spread.
    marked = monte_carlo(dict(fields, referenced=np.array([1, 0, 1], dtype=np.uint8)))
    np.testing.assert_array_equal(marked[extinction], base[extinction])
    assert not marked[backscatter][1].any() and differs(marked, backscatter)


# ---- Fernald's inversion -----------------------------------------------------------------

@pytest.fixture(scope="module")
def klett_fields(fields):
    r = fields["range"]
    mol = molecular(r)
    beta = np.stack([aerosol(r), 0.5 * aerosol(r), 2.0 * aerosol(r)])
    signal = simulate.elastic(r, WAVELENGTH, beta, mol, lidar_ratio=LIDAR_RATIO,
                              constant=1e13)["signal"].values
    return dict(signal=np.ascontiguousarray(signal), range=r, beta_m=fields["beta_m"],
                alpha_m=fields["alpha_m"], lidar_ratio=np.full(r.size, LIDAR_RATIO),
                reference=np.array([200, 233]), reference_value=np.ones(1))


@pytest.mark.parametrize("changed, message", [
    ({"forward": True}, "forward needs calibration"),
    ({"forward": True, "calibration": np.ones(1)},
     "reference, reference_value, fit_offset and offset_interval are for the backward"),
    ({"reference": None}, "the backward inversion needs reference and reference_value"),
    ({"calibration": np.ones(1)}, "calibration is for the forward inversion"),
    ({"offset_interval": np.array([210, 230])}, "offset_interval needs fit_offset"),
    ({"lidar_ratio": np.ones(249)}, "lidar_ratio has 249 values"),
    ({"reference_value": np.ones(2)}, "reference_value needs one value or one per profile"),
    ({"fit_offset": True, "offset_interval": np.array([230, 260])},
     r"offset_interval holds the gates \[230, 260\)"),
])
def test_klett_inputs_refuse_what_does_not_fit_the_direction_or_the_signal(klett_fields, changed,
                                                                          message):
    with pytest.raises(ValueError, match=message):
        _core.KlettInputs(**dict(klett_fields, **changed))


def test_klett_inputs_name_an_unknown_field(klett_fields):
    with pytest.raises(TypeError, match=r"kwargs = \{.*lidar_ratios: ndarray"):
        _core.KlettInputs(**{("lidar_ratios" if k == "lidar_ratio" else k): v
                             for k, v in klett_fields.items()})
    inputs = _core.KlettInputs(**klett_fields)
    assert (inputs.profiles, inputs.gates, inputs.forward) == (3, 250, False)
    assert inputs.calibration is None


def test_klett_monte_carlo_per_profile_seeds_are_each_profile_alone(klett_fields):
    first = np.array([0, 4, 9])
    seeds = np.array([5, 6, 7], dtype=np.uint64)

    def run(fields, threads, **settings):
        inputs = _core.KlettInputs(**fields)
        noise = gaussian(0.01 * fields["signal"])
        settings = _core.MonteCarloSettings(realisations=12, lidar_ratio_sd=5.0,
                                            reference_value_sd=0.02, **settings)
        return _core.klett_fernald_monte_carlo(inputs, noise=noise, settings=settings,
                                               threads=threads)

    block = run(dict(klett_fields, first=first), 2, seeds=seeds)
    for p in range(3):
        alone = run(dict(klett_fields, signal=np.ascontiguousarray(klett_fields["signal"][[p]]),
                         first=first[p:p + 1]), 1, seed=int(seeds[p]))
        for got, want in zip(block, alone):
            np.testing.assert_array_equal(got[p], want[0])
    assert np.isfinite(block[0][:, 20:200]).mean() > 0.9
    with pytest.raises(ValueError, match="settings.angstrom_sd must be 0"):
        run(klett_fields, 1, angstrom_sd=0.1)
