"""Molecular coefficients, range-square correction, theoretical Rayleigh signal, fit model."""

import math
import traceback

import numpy as np
import pytest

import Aerolume.lumafit as lumafit

WL = 5.32e-7


def module_entries(excinfo):
    """(name, line) of the traceback entries the module added, outermost first."""
    return [(f.name, f.lineno) for f in traceback.extract_tb(excinfo.tb)
            if f.name.startswith("Aerolume.")]


OUT_OF_RANGE_CHAIN = [
    ("Aerolume.lumafit.rayleigh_scattering_coefficient", 78),
    ("Aerolume.lumafit.molecular_number_density", 55),
]


class Recorder:
    def __init__(self, result=None, wrapped=None):
        self.calls = []
        self.result = result
        self.wrapped = wrapped

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.wrapped(*args, **kwargs) if self.wrapped else self.result


class ExpSpy:
    """Stands in for numpy in the module namespace and counts calls of np.exp."""

    def __init__(self):
        self.exp_calls = 0

    def exp(self, x):
        self.exp_calls += 1
        return np.exp(x)

    def __getattr__(self, name):
        return getattr(np, name)


# ---- molecular coefficients ----

def test_scattering_coefficient_worked_value():
    sigma = lumafit.rayleigh_scattering_cross_section(WL)
    N = lumafit.molecular_number_density(0.05)
    assert sigma == pytest.approx(6.225879791e-32, rel=1e-9)
    assert N == pytest.approx(2.534785920e+25, rel=1e-9)
    beta = lumafit.rayleigh_scattering_coefficient(5.32e-7, 0.05)
    assert beta == pytest.approx(1.578127243e-06, rel=1e-9)
    assert beta == sigma * N
    assert type(beta) is float


@pytest.mark.parametrize("altitude", [0, 0.05, 5, 11.0191, 15.0, 20.0631, 25.0, 32.1619, -3.0])
def test_float_arithmetic_matches_numpy_scalar_arithmetic(altitude):
    # Plain floats and small ints take the direct double-precision path; NumPy scalars
    # take the generic operators.  Both must give the same bits.
    fast = lumafit.rayleigh_scattering_coefficient(WL, altitude)
    generic = lumafit.rayleigh_scattering_coefficient(np.float64(WL), np.float64(altitude))
    assert float(fast).hex() == float(generic).hex()


@pytest.mark.parametrize("wavelength, altitude", [
    (5.32e-7, 0.05), (1.064e-6, 12.5), (3.55e-7, 28.0), (np.float32(5.32e-7), 3),
    (np.array([5.32e-7, 1.064e-6]), 0.05),
])
def test_extinction_equals_scattering(wavelength, altitude):
    extinction = lumafit.molecular_extinction_coefficient(wavelength, altitude)
    scattering = lumafit.rayleigh_scattering_coefficient(wavelength, altitude)
    assert type(extinction) is type(scattering)
    np.testing.assert_array_equal(extinction, scattering)


def test_extinction_returns_the_scattering_result_itself(monkeypatch):
    sentinel = object()
    rec = Recorder(result=sentinel)
    monkeypatch.setitem(lumafit.__dict__, "rayleigh_scattering_coefficient", rec)
    assert lumafit.molecular_extinction_coefficient(WL, altitude=2.0) is sentinel
    assert rec.calls == [((WL, 2.0), {})]


@pytest.mark.parametrize("wavelength", [0.0, 0])
def test_zero_wavelength(wavelength):
    with pytest.raises(ZeroDivisionError, match="^float division by zero$") as excinfo:
        lumafit.rayleigh_scattering_coefficient(wavelength, 1.0)
    assert module_entries(excinfo) == [
        ("Aerolume.lumafit.rayleigh_scattering_coefficient", 77),
        ("Aerolume.lumafit.rayleigh_scattering_cross_section", 16)]


def test_callees_are_looked_up_at_each_call(monkeypatch):
    before = lumafit.rayleigh_scattering_coefficient(WL, 1.0)
    with monkeypatch.context() as mp:
        mp.setitem(lumafit.__dict__, "molecular_number_density", lambda altitude: 2.0)
        assert lumafit.rayleigh_scattering_coefficient(WL, 1.0) == \
            2.0 * lumafit.rayleigh_scattering_cross_section(WL)
    assert lumafit.rayleigh_scattering_coefficient(WL, 1.0) == before


# ---- range-square correction ----

def test_distance_square_corrected_signal():
    out = lumafit.distance_square_corrected_signal(np.array([1.0, 2.0]), np.array([10.0, 20.0]))
    np.testing.assert_array_equal(out, [100.0, 800.0])


def test_distance_square_corrected_signal_rejects_list():
    with pytest.raises(TypeError) as excinfo:
        lumafit.distance_square_corrected_signal(np.array([1.0]), [10.0])
    assert module_entries(excinfo) == [("Aerolume.lumafit.distance_square_corrected_signal", 108)]


# ---- theoretical Rayleigh signal ----

def test_theoretical_signal_values():
    out = lumafit.theoretical_rayleigh_signal(np.array([0.0, 1000.0]), WL)
    assert out.dtype == np.float64
    assert out[0] == lumafit.rayleigh_scattering_coefficient(WL, 0.05)
    assert out[1] == lumafit.rayleigh_scattering_coefficient(WL, 1.05)
    assert out[0] == pytest.approx(1.578127243e-06, rel=1e-9)


# Band 2 is the only band that calls np.exp, which shows which band a range used.
@pytest.mark.parametrize("distance, band", [
    (10969.1, 1), (10969.2, 2), (20013.1, 2), (20013.2, 3), (32111.9, 3),
])
def test_band_selection_at_range_edges(monkeypatch, distance, band):
    spy = ExpSpy()
    monkeypatch.setitem(lumafit.__dict__, "np", spy)
    out = lumafit.theoretical_rayleigh_signal(np.array([distance]), WL)
    assert spy.exp_calls == (1 if band == 2 else 0)
    assert out[0] == lumafit.rayleigh_scattering_coefficient(WL, (distance + 50) / 1000)


@pytest.mark.parametrize("distance", [32112.0, math.nan])
def test_range_beyond_model_fails(distance):
    with pytest.raises(ValueError, match="^Altitude out of range for US1976 model$") as excinfo:
        lumafit.theoretical_rayleigh_signal(np.array([100.0, distance]), WL)
    assert module_entries(excinfo) == [
        ("Aerolume.lumafit.theoretical_rayleigh_signal", 129)] + OUT_OF_RANGE_CHAIN


@pytest.mark.parametrize("dtype", [np.float64, np.float32, object])
def test_empty_range_array(monkeypatch, dtype):
    rec = Recorder()
    for name in ("rayleigh_scattering_coefficient", "rayleigh_scattering_cross_section",
                 "molecular_number_density"):
        monkeypatch.setitem(lumafit.__dict__, name, rec)
    out = lumafit.theoretical_rayleigh_signal(np.array([], dtype=dtype), WL)
    assert out.shape == (0,) and out.dtype == np.dtype(dtype)
    assert rec.calls == []


@pytest.mark.parametrize("distances", [[0.0, 1000.0], (0.0, 1000.0)])
def test_sequence_of_floats(distances):
    out = lumafit.theoretical_rayleigh_signal(distances, WL)
    assert isinstance(out, np.ndarray) and out.dtype == np.float64
    np.testing.assert_array_equal(
        out, lumafit.theoretical_rayleigh_signal(np.array([0.0, 1000.0]), WL))


@pytest.mark.parametrize("distances", [5.0, np.float64(5.0), np.array(5.0)])
def test_non_iterable_ranges(distances):
    with pytest.raises(TypeError) as excinfo:
        lumafit.theoretical_rayleigh_signal(distances, WL)
    assert module_entries(excinfo) == [("Aerolume.lumafit.theoretical_rayleigh_signal", 127)]


# Integer and boolean ranges would make an integer result that truncates every
# coefficient to zero: those get a float64 result; every other dtype is kept.
@pytest.mark.parametrize("dtype, result_dtype", [
    (np.int64, np.float64), (np.int32, np.float64), (np.uint16, np.float64),
    (np.float64, np.float64), (np.float32, np.float32), (object, object),
])
def test_result_dtype(dtype, result_dtype):
    distances = np.arange(30, 3000, 30).astype(dtype)
    out = lumafit.theoretical_rayleigh_signal(distances, WL)
    assert out.dtype == np.dtype(result_dtype)
    reference = lumafit.theoretical_rayleigh_signal(distances.astype(np.float64), WL)
    np.testing.assert_allclose(out.astype(np.float64), reference, rtol=1e-6)
    assert np.all(out.astype(np.float64) > 1e-7)


@pytest.mark.parametrize("dtype", [np.int64, np.bool_])
def test_integer_empty_and_boolean_ranges_give_float64(dtype):
    assert lumafit.theoretical_rayleigh_signal(np.array([], dtype=dtype), WL).dtype == np.float64
    out = lumafit.theoretical_rayleigh_signal(np.array([0, 1]).astype(dtype), WL)
    assert out.dtype == np.float64 and out[0] > 0


# ---- fit model ----

def test_fit_func_is_constant_times_signal_over_range_squared():
    d = np.array([30.0, 5000.0, 9000.0, 15000.0])
    out = lumafit.fit_func(d, 2.5e3, WL)
    np.testing.assert_array_equal(out, (2.5e3 * lumafit.theoretical_rayleigh_signal(d, WL)) / d**2)
    np.testing.assert_array_equal(lumafit.fit_func(wavelength=WL, C=2.5e3, distances=d), out)
    np.testing.assert_array_equal(lumafit.fit_func(d, 0.0, WL), np.zeros(4))


def test_fit_func_failures():
    with pytest.raises(TypeError) as excinfo:
        lumafit.fit_func([9000.0], 1.0, WL)
    assert module_entries(excinfo) == [("Aerolume.lumafit.fit_func", 149)]
    with pytest.raises(ValueError) as excinfo:
        lumafit.fit_func(np.array([40000.0]), 1.0, WL)
    assert module_entries(excinfo) == [
        ("Aerolume.lumafit.fit_func", 148),
        ("Aerolume.lumafit.theoretical_rayleigh_signal", 129)] + OUT_OF_RANGE_CHAIN
