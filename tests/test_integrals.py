"""Path-integrated extinction: integral_extinction_coefficient and its two integrands."""

import gc
import inspect
import traceback
import weakref

import numpy as np
import pytest

import Aerolume.lumafit as lumafit

QUALNAME = "integral_extinction_coefficient.<locals>.<lambda>"


def module_entries(excinfo):
    return [(f.name, f.lineno) for f in traceback.extract_tb(excinfo.tb)
            if f.name.startswith("Aerolume.")]


@pytest.fixture
def quad_calls(monkeypatch):
    """Rebinds `quad` in the module to a recorder around the real one."""
    calls = []
    real = lumafit.quad

    def recorder(*args, **kwargs):
        calls.append((args, kwargs))
        return real(*args, **kwargs)

    monkeypatch.setitem(lumafit.__dict__, "quad", recorder)
    return calls


@pytest.mark.parametrize("altitudes", [np.array([0.0, 1.0, 2.5]), [0.0, 1.0, 2.5]])
def test_values(altitudes):
    result = lumafit.integral_extinction_coefficient(altitudes, 1e-4, 2e-4)
    assert type(result) is tuple and len(result) == 2
    molecular, aerosol = result
    assert isinstance(molecular, np.ndarray) and isinstance(aerosol, np.ndarray)
    assert molecular is not aerosol
    np.testing.assert_allclose(molecular, [0.0, 1e-4, 2.5e-4], rtol=1e-12, atol=0)
    np.testing.assert_allclose(aerosol, [0.0, 2e-4, 5e-4], rtol=1e-12, atol=0)


def test_negative_altitudes_and_zero_coefficient():
    molecular, aerosol = lumafit.integral_extinction_coefficient(np.array([-1.0, -2.5]), 0, 3e-4)
    np.testing.assert_array_equal(molecular, [0.0, 0.0])
    np.testing.assert_allclose(aerosol, [-3e-4, -7.5e-4], rtol=1e-12)


@pytest.mark.parametrize("dtype, result_dtype", [
    (np.int64, np.float64), (np.bool_, np.float64), (np.float32, np.float32), (object, object),
])
def test_result_dtype(dtype, result_dtype):
    altitudes = np.array([1, 2, 3]).astype(dtype)
    molecular, aerosol = lumafit.integral_extinction_coefficient(altitudes, 0.4, 0.2)
    assert molecular.dtype == aerosol.dtype == np.dtype(result_dtype)
    expected = 0.4 * altitudes.astype(np.float64)
    np.testing.assert_allclose(molecular.astype(np.float64), expected, rtol=1e-6)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_empty_altitudes_never_call_quad(quad_calls, dtype):
    molecular, aerosol = lumafit.integral_extinction_coefficient(np.array([], dtype), 1e-4, 1e-4)
    assert molecular.shape == aerosol.shape == (0,)
    assert molecular.dtype == aerosol.dtype == np.dtype(dtype)
    assert quad_calls == []


def test_quad_calls(quad_calls):
    altitudes = [0.5, 1.0, 2.0]
    alpha_M, alpha_A = 1.5e-4, 2.5e-4
    lumafit.integral_extinction_coefficient(altitudes, alpha_M, alpha_A)
    assert len(quad_calls) == 2 * len(altitudes)
    for n, (args, kwargs) in enumerate(quad_calls):
        assert kwargs == {} and len(args) == 3
        integrand, lower, upper = args
        assert type(lower) is int and lower == 0
        assert upper is altitudes[n // 2]
        # molecular first in every pass
        name, captured = ("lambda", alpha_M) if n % 2 == 0 else ("lambda1", alpha_A)
        assert integrand.__name__ == name
        assert integrand.__qualname__ == QUALNAME
        assert integrand.__module__ == "Aerolume.lumafit"
        assert integrand.__doc__ is None
        assert str(inspect.signature(integrand)) == "(Z)"
        assert integrand(0.25) is captured and integrand(Z=-7.0) is captured
    integrands = [args[0] for args, _ in quad_calls]
    assert len({id(f) for f in integrands}) == len(integrands)
    # all integrands of one call read from the same scope object
    scopes = {id(ref) for f in integrands for ref in gc.get_referents(f)
              if type(ref).__name__.startswith("_scope_")}
    assert len(scopes) == 1


def test_scope_object_holds_the_arguments(quad_calls):
    alpha_M, alpha_A = 1.25e-4, 3.75e-4
    lumafit.integral_extinction_coefficient([1.0], alpha_M, alpha_A)
    scope, = [r for r in gc.get_referents(quad_calls[0][0][0])
              if type(r).__name__.startswith("_scope_")]
    refs = gc.get_referents(scope)
    assert len(refs) == 2 and refs[0] is alpha_A and refs[1] is alpha_M


def test_cycle_through_scope_is_collected(monkeypatch):
    class Coefficient(float):
        pass

    alpha = Coefficient(1e-4)
    seen = []
    real = lumafit.quad

    def keeping_quad(f, a, b):
        alpha.integrand = f          # alpha -> integrand -> scope -> alpha  # noqa: F821 (bound before the call)
        seen.append(weakref.ref(f))
        return real(f, a, b)

    monkeypatch.setitem(lumafit.__dict__, "quad", keeping_quad)
    lumafit.integral_extinction_coefficient([1.0], alpha, 2e-4)
    del alpha
    gc.collect()
    assert [ref() for ref in seen] == [None, None]


@pytest.mark.parametrize("name, line", [("np", 167), ("quad", 171)])
def test_missing_global(monkeypatch, name, line):
    monkeypatch.delitem(lumafit.__dict__, name)
    with pytest.raises(NameError, match=f"^name '{name}' is not defined$") as excinfo:
        lumafit.integral_extinction_coefficient(np.array([1.0]), 1e-4, 1e-4)
    assert module_entries(excinfo) == [("Aerolume.lumafit.integral_extinction_coefficient", line)]


@pytest.mark.parametrize("results, message, line", [
    ([(1.0, 0.0, 0.0)], r"too many values to unpack \(expected 2\)", 171),
    ([[1.0]], "need more than 1 value to unpack", 171),
    ([(1.0, 0.0), ()], "need more than 0 values to unpack", 172),
    ([(1.0, 0.0), iter([1.0, 0.0, 5.0])], r"too many values to unpack \(expected 2\)", 172),
])
def test_quad_result_not_a_pair(monkeypatch, results, message, line):
    answers = iter(results)
    monkeypatch.setitem(lumafit.__dict__, "quad", lambda f, a, b: next(answers))
    with pytest.raises(ValueError, match=message) as excinfo:
        lumafit.integral_extinction_coefficient(np.array([1.0]), 1e-4, 1e-4)
    assert module_entries(excinfo) == [("Aerolume.lumafit.integral_extinction_coefficient", line)]


@pytest.mark.parametrize("call, message, name, line", [
    (lambda f: f(), r"^lambda\(\) takes exactly 1 positional argument \(0 given\)$",
     "lambda", 171),
    (lambda f: f(1.0) if f.__name__ == "lambda" else f(1.0, x=2),
     r"^lambda1\(\) got an unexpected keyword argument 'x'$", "lambda1", 172),
])
def test_integrand_failure_entries(monkeypatch, call, message, name, line):
    def quad(f, a, b):
        return call(f), 0.0

    monkeypatch.setitem(lumafit.__dict__, "quad", quad)
    with pytest.raises(TypeError, match=message) as excinfo:
        lumafit.integral_extinction_coefficient([1.0], 1e-4, 1e-4)
    assert module_entries(excinfo) == [
        ("Aerolume.lumafit.integral_extinction_coefficient", line),
        (f"Aerolume.lumafit.integral_extinction_coefficient.{name}", line)]
    assert traceback.extract_tb(excinfo.tb)[-1].filename == "Aerolume\\lumafit"


def test_failures_inside_quad_and_iteration():
    with pytest.raises(TypeError) as excinfo:
        lumafit.integral_extinction_coefficient(np.array([1.0]), np.array([1.0, 2.0]), 1e-4)
    assert module_entries(excinfo) == [("Aerolume.lumafit.integral_extinction_coefficient", 171)]
    with pytest.raises(TypeError) as excinfo:
        lumafit.integral_extinction_coefficient(2.0, 1e-4, 1e-4)
    assert module_entries(excinfo) == [("Aerolume.lumafit.integral_extinction_coefficient", 170)]


def test_released_scopes_are_served_again_most_recent_first(monkeypatch):
    real = lumafit.quad
    kept = []

    def keeping_quad(f, a, b):
        if f.__name__ == "lambda":
            kept.append(f)
        return real(f, a, b)

    def scope_id(f):
        return next(id(r) for r in gc.get_referents(f) if type(r).__name__.startswith("_scope_"))

    monkeypatch.setitem(lumafit.__dict__, "quad", keeping_quad)
    for k in range(10):
        lumafit.integral_extinction_coefficient([1.0], float(k), 0.5)
    released = [scope_id(f) for f in kept]
    for k in range(10):          # release the scopes in the order they were made
        kept[k] = None
    kept.clear()
    for _ in range(2):
        lumafit.integral_extinction_coefficient([1.0], 7.0, 0.5)
    # eight are kept for reuse; the last of them released is the first served
    assert [scope_id(f) for f in kept] == [released[7], released[6]]
    assert [f(0.0) for f in kept] == [7.0, 7.0]
