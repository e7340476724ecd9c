"""The Rayleigh fit: system constant over 8000-10000 m and the aerosol backscatter profile."""

import gc
import inspect
import traceback
import warnings
import weakref

import numpy as np
import pytest

import Aerolume.lumafit as lumafit

WL = 5.32e-7
C0 = 2.5e3
FIT = "Aerolume.lumafit.rayleigh_fit"


def module_entries(excinfo):
    return [(f.name, f.lineno) for f in traceback.extract_tb(excinfo.tb)
            if f.name.startswith("Aerolume.")]


def synthetic(distances, C=C0):
    """A profile whose range-square-corrected form is exactly the model with constant C."""
    distances = np.asarray(distances, dtype=np.float64)
    return lumafit.fit_func(distances, C, WL) / distances**2


@pytest.fixture
def fit_calls(monkeypatch):
    """Rebinds `curve_fit` in the module to a recorder around the real one."""
    calls = []
    real = lumafit.curve_fit

    def recorder(*args, **kwargs):
        calls.append((args, kwargs))
        return real(*args, **kwargs)

    monkeypatch.setitem(lumafit.__dict__, "curve_fit", recorder)
    return calls


def wrap_then_delete(monkeypatch, wrapped, victim):
    """Rebinds global `wrapped` so that `victim` disappears from the module once it returns."""
    real = lumafit.__dict__[wrapped]

    def wrapper(*args):
        result = real(*args)
        monkeypatch.delitem(lumafit.__dict__, victim)
        return result

    monkeypatch.setitem(lumafit.__dict__, wrapped, wrapper)


def test_recovers_the_constant_and_solves_backscatter():
    distances = np.arange(30.0, 15000.0, 30.0)
    result = lumafit.rayleigh_fit(synthetic(distances), distances, WL)
    assert type(result) is tuple and len(result) == 2
    beta_A, C = result
    assert isinstance(beta_A, np.ndarray) and beta_A.shape == distances.shape
    assert isinstance(C, np.float64)
    assert C == pytest.approx(C0, rel=1e-9)
    # With a purely molecular profile only the two-way transmission remains.
    D_z = synthetic(distances) * distances**2
    D_prime_z = C * lumafit.theoretical_rayleigh_signal(distances, WL) / distances**2
    transmission = np.exp(-2 * 1e-4 * (distances + 50) / 1000)
    expected = (D_z - D_prime_z * transmission) / (C * transmission)
    assert beta_A[0] == 0
    np.testing.assert_allclose(beta_A[1:], expected[1:], rtol=1e-6)


def test_beta_A_first_gate_is_zero_whatever_the_data():
    rng = np.random.default_rng(7)
    distances = np.linspace(30.0, 10000.0, 100)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        beta_A, _ = lumafit.rayleigh_fit(rng.random(100) * 1e-3 + 1.0, distances, WL)
    assert beta_A[0] == 0 and np.all(beta_A[1:] != 0)


def test_curve_fit_call_and_window_edges(fit_calls):
    distances = np.array([7999.9, 8000.0, 9000.0, 10000.0, 10000.1, 12000.0])
    signal = synthetic(distances)
    lumafit.rayleigh_fit(signal, distances, WL)
    (args, kwargs), = fit_calls
    assert kwargs == {} and len(args) == 3
    model, x, y = args
    np.testing.assert_array_equal(x, [8000.0, 9000.0, 10000.0])
    np.testing.assert_array_equal(y, (signal * distances**2)[1:4])
    assert model.__name__ == "lambda2"
    assert model.__qualname__ == "rayleigh_fit.<locals>.<lambda>"
    assert model.__module__ == "Aerolume.lumafit" and model.__doc__ is None
    assert list(inspect.signature(model).parameters) == ["d", "C"]
    np.testing.assert_array_equal(model(x, 3.0), lumafit.fit_func(x, 3.0, WL))
    np.testing.assert_array_equal(model(C=3.0, d=x), lumafit.fit_func(x, 3.0, WL))


def test_a_new_model_per_call(fit_calls):
    distances = np.array([8000.0, 9000.0, 10000.0])
    lumafit.rayleigh_fit(synthetic(distances), distances, WL)
    lumafit.rayleigh_fit(synthetic(distances), distances, 1.064e-6)
    first, second = (args[0] for args, _ in fit_calls)
    assert first is not second
    np.testing.assert_array_equal(second(distances, 1.0), lumafit.fit_func(distances, 1.0, 1.064e-6))


def test_C_is_the_item_at_index_0(monkeypatch):
    constant = 1234.5
    monkeypatch.setitem(lumafit.__dict__, "curve_fit", lambda f, x, y: ([constant], None))
    distances = np.array([8000.0, 9000.0, 10000.0])
    beta_A, C = lumafit.rayleigh_fit(synthetic(distances), distances, WL)
    assert C is constant


def test_single_gate():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        beta_A, C = lumafit.rayleigh_fit(synthetic([9000.0]), np.array([9000.0]), WL)
    np.testing.assert_array_equal(beta_A, [0.0])
    assert C == pytest.approx(C0, rel=1e-6)


# Integer ranges (np.arange(30, 15000, 30) is what a user passes) would truncate every
# backscatter value to zero; they get a float64 profile.  Other dtypes are kept.
@pytest.mark.parametrize("dtype, result_dtype", [
    (np.int64, np.float64), (np.float32, np.float32), (object, object),
])
def test_beta_A_dtype(dtype, result_dtype):
    reference = np.arange(30, 15000, 30).astype(np.float64)
    signal = synthetic(reference)
    beta_float, C_float = lumafit.rayleigh_fit(signal, reference, WL)
    beta_A, C = lumafit.rayleigh_fit(signal, reference.astype(dtype), WL)
    assert beta_A.dtype == np.dtype(result_dtype)
    if dtype is np.int64:
        # integer ranges are exact in float64: the very same profile
        assert C == C_float
        np.testing.assert_array_equal(beta_A, beta_float)
    np.testing.assert_allclose(beta_A.astype(np.float64), beta_float, rtol=0,
                               atol=1e-2 * np.abs(beta_float).max())
    assert C == pytest.approx(C_float, rel=1e-6)


# ---- failures ----

@pytest.mark.parametrize("name, line, after", [
    ("distance_square_corrected_signal", 202, None),
    ("curve_fit", 210, None),
    # fit_func reaches these during the fit, so they go missing only afterwards
    ("theoretical_rayleigh_signal", 214, "curve_fit"),
    ("integral_extinction_coefficient", 220, None),
    ("np", 223, "integral_extinction_coefficient"),
])
def test_missing_global(monkeypatch, name, line, after):
    if after:
        wrap_then_delete(monkeypatch, after, name)
    else:
        monkeypatch.delitem(lumafit.__dict__, name)
    distances = np.array([8000.0, 9000.0, 10000.0])
    with pytest.raises(NameError, match=f"^name '{name}' is not defined$") as excinfo:
        lumafit.rayleigh_fit(synthetic(distances), distances, WL)
    assert module_entries(excinfo) == [(FIT, line)]


def test_missing_fit_func_fails_inside_the_model(monkeypatch):
    distances = np.array([8000.0, 9000.0, 10000.0])
    signal = synthetic(distances)
    with monkeypatch.context() as mp:
        mp.delitem(lumafit.__dict__, "curve_fit")
        with pytest.raises(NameError) as excinfo:
            lumafit.rayleigh_fit(signal, distances, WL)
        assert module_entries(excinfo) == [(FIT, 210)]
    monkeypatch.delitem(lumafit.__dict__, "fit_func")
    with pytest.raises(NameError, match="^name 'fit_func' is not defined$") as excinfo:
        lumafit.rayleigh_fit(signal, distances, WL)
    entries = [(f.name, f.lineno) for f in traceback.extract_tb(excinfo.tb)]
    assert entries[1] == (FIT, 210)
    assert entries[-1] == (FIT + ".lambda2", 210)
    # curve_fit's own frames lie between the two
    assert len(entries) > 3 and not any(n.startswith("Aerolume.") for n, _ in entries[2:-1])


def test_model_binding_failure(monkeypatch):
    monkeypatch.setitem(lumafit.__dict__, "curve_fit", lambda f, x, y: f(x))
    distances = np.array([8000.0, 9000.0, 10000.0])
    with pytest.raises(TypeError,
                       match=r"^lambda2\(\) takes exactly 2 positional arguments \(1 given\)$") as e:
        lumafit.rayleigh_fit(synthetic(distances), distances, WL)
    assert module_entries(e) == [(FIT, 210), (FIT + ".lambda2", 210)]


@pytest.mark.parametrize("target, result, error, message, line", [
    ("curve_fit", (np.array([1.0]), None, None), ValueError,
     r"too many values to unpack \(expected 2\)", 210),
    ("curve_fit", [np.array([1.0])], ValueError, "need more than 1 value to unpack", 210),
    ("curve_fit", (np.array([]), None), IndexError, None, 211),
    ("integral_extinction_coefficient", (np.zeros(3),), ValueError,
     "need more than 1 value to unpack", 220),
    ("integral_extinction_coefficient", iter([np.zeros(3)] * 3), ValueError,
     r"too many values to unpack \(expected 2\)", 220),
    ("integral_extinction_coefficient", (np.zeros(3), np.zeros(1)), IndexError, None, 225),
])
def test_stubbed_results(monkeypatch, target, result, error, message, line):
    monkeypatch.setitem(lumafit.__dict__, target, lambda *args: result)
    distances = np.array([8000.0, 9000.0, 10000.0])
    with pytest.raises(error, match=message) as excinfo:
        lumafit.rayleigh_fit(synthetic(distances), distances, WL)
    assert module_entries(excinfo) == [(FIT, line)]


def test_list_ranges_fail_at_the_window_comparison(monkeypatch):
    monkeypatch.setitem(lumafit.__dict__, "distance_square_corrected_signal", lambda s, d: s)
    with pytest.raises(TypeError) as excinfo:
        lumafit.rayleigh_fit([1.0, 2.0], [8000.0, 9000.0], WL)
    assert module_entries(excinfo) == [(FIT, 205)]
    # a corrected signal that the window mask does not fit
    with pytest.raises(IndexError) as excinfo:
        lumafit.rayleigh_fit(np.ones(2), np.array([8000.0, 9000.0, 10000.0]), WL)
    assert module_entries(excinfo) == [(FIT, 207)]


def test_ranges_beyond_the_model_fail_after_the_fit():
    distances = np.arange(7000.0, 33000.0, 500.0)
    with pytest.raises(ValueError, match="^Altitude out of range for US1976 model$") as excinfo:
        lumafit.rayleigh_fit(synthetic(np.minimum(distances, 30000.0)), distances, WL)
    assert module_entries(excinfo) == [
        (FIT, 214), ("Aerolume.lumafit.theoretical_rayleigh_signal", 129),
        ("Aerolume.lumafit.rayleigh_scattering_coefficient", 78),
        ("Aerolume.lumafit.molecular_number_density", 55)]


def test_empty_fit_window():
    distances = np.array([1000.0, 2000.0])
    with pytest.raises(Exception) as excinfo:
        lumafit.rayleigh_fit(synthetic(distances), distances, WL)
    assert module_entries(excinfo)[0] == (FIT, 210)


def test_ranges_without_a_length():
    class Unsized(np.ndarray):
        def __len__(self):
            raise TypeError("no length")

    distances = np.array([8000.0, 9000.0, 10000.0])
    with pytest.raises(TypeError, match="^no length$") as excinfo:
        lumafit.rayleigh_fit(synthetic(distances).view(Unsized), distances.view(Unsized), WL)
    assert module_entries(excinfo) == [(FIT, 224)]


def test_cycle_through_scope_is_collected(monkeypatch):
    class Wavelength(float):
        pass

    wavelength = Wavelength(WL)
    models = []
    real = lumafit.curve_fit

    def keeping_curve_fit(f, x, y):
        wavelength.model = f          # wavelength -> model -> scope -> wavelength  # noqa: F821 (bound before the call)
        models.append(weakref.ref(f))
        return real(f, x, y)

    monkeypatch.setitem(lumafit.__dict__, "curve_fit", keeping_curve_fit)
    distances = np.array([8000.0, 9000.0, 10000.0])
    lumafit.rayleigh_fit(synthetic(distances), distances, wavelength)
    del wavelength
    gc.collect()
    assert models[0]() is None
