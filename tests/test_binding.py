"""Binding of positional and keyword arguments to the parameters of the module's
functions: what binds, the messages of what does not, and the traceback entry that a
binding failure carries (the function's def line)."""

import ctypes
import itertools
import re
import traceback

import numpy as np
import pytest

import Aerolume.lumafit as L

D = np.array([1000.0, 2000.0, 4000.0])
W = 5.32e-7


def module_entries(exc):
    return [(e.name, e.filename, e.lineno) for e in traceback.extract_tb(exc.__traceback__)
            if e.filename == "Aerolume\\lumafit"]


def count(name, quantity, given):
    s = "" if quantity == 1 else "s"
    return f"{name}() takes exactly {quantity} positional argument{s} ({given} given)"


@pytest.mark.parametrize("name, line, args, kwargs, message", [
    ("rayleigh_scattering_cross_section", 6, (), {},
     count("rayleigh_scattering_cross_section", 1, 0)),
    ("molecular_number_density", 20, (1.0, 2.0), {}, count("molecular_number_density", 1, 2)),
    ("molecular_number_density", 20, (), {"Altitude": 1.0},
     count("molecular_number_density", 1, 0)),
    ("molecular_number_density", 20, (1.0,), {"altitude": 2.0},
     "molecular_number_density() got multiple values for keyword argument 'altitude'"),
    ("molecular_number_density", 20, (), {"altitude": 1.0, "höhe": 2.0},
     "molecular_number_density() got an unexpected keyword argument 'höhe'"),
    ("fit_func", 133, (1, 2, 3, 4), {}, count("fit_func", 3, 4)),
    ("fit_func", 133, (1, 2, 3, 4), {"C": 5}, count("fit_func", 3, 4)),
    ("fit_func", 133, (1,), {"wavelength": 2}, count("fit_func", 3, 1)),
    ("fit_func", 133, (1,), {"C": 2}, count("fit_func", 3, 2)),
    ("fit_func", 133, (), {"C": 1, "wavelength": 2}, count("fit_func", 3, 0)),
    ("fit_func", 133, (1, 2, 3), {"C": 4},
     "fit_func() got multiple values for keyword argument 'C'"),
    ("fit_func", 133, (1, 2), {"wavelength": 3, "foo": 4},
     "fit_func() got an unexpected keyword argument 'foo'"),
    # The missing required parameter is found before the unexpected keyword.
    ("fit_func", 133, (1,), {"foo": 4}, count("fit_func", 3, 1)),
    # Left-over keywords are reported in the order they were passed.
    ("rayleigh_fit", 177, (1, 2, 3), {"foo": 4, "wavelength": 5},
     "rayleigh_fit() got an unexpected keyword argument 'foo'"),
    ("rayleigh_fit", 177, (1, 2, 3), {"wavelength": 5, "foo": 4},
     "rayleigh_fit() got multiple values for keyword argument 'wavelength'"),
    ("integral_extinction_coefficient", 153, (1,), {"alpha_A": 2},
     count("integral_extinction_coefficient", 3, 1)),
])
def test_binding_errors(name, line, args, kwargs, message):
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$") as caught:
        getattr(L, name)(*args, **kwargs)
    assert module_entries(caught.value) == [(f"Aerolume.lumafit.{name}", "Aerolume\\lumafit",
                                             line)]


@pytest.mark.parametrize("which, args, kwargs, message", [
    (0, (), {}, "lambda() takes exactly 1 positional argument (0 given)"),
    (0, (), {"z": 1}, "lambda() takes exactly 1 positional argument (0 given)"),
    (1, (1, 2), {}, "lambda1() takes exactly 1 positional argument (2 given)"),
    (1, (1,), {"Z": 2}, "lambda1() got multiple values for keyword argument 'Z'"),
    (2, (1,), {}, "lambda2() takes exactly 2 positional arguments (1 given)"),
    (2, (1,), {"d": 2}, "lambda2() takes exactly 2 positional arguments (1 given)"),
    (2, (1, 2), {"e": 3}, "lambda2() got an unexpected keyword argument 'e'"),
])
def test_inner_function_binding_errors(make_inner, which, args, kwargs, message):
    f = make_inner()[which]
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$") as caught:
        f(*args, **kwargs)
    name, line = [("integral_extinction_coefficient.lambda", 171),
                  ("integral_extinction_coefficient.lambda1", 172),
                  ("rayleigh_fit.lambda2", 210)][which]
    assert module_entries(caught.value) == [(f"Aerolume.lumafit.{name}", "Aerolume\\lumafit",
                                             line)]


def test_keywords_bind_by_name_in_any_order():
    expected = L.fit_func(D, 2.0, W)
    values = {"distances": D, "C": 2.0, "wavelength": W}
    for order in itertools.permutations(values):
        assert np.array_equal(L.fit_func(**{k: values[k] for k in order}), expected)
    assert np.array_equal(L.fit_func(D, wavelength=W, C=2.0), expected)
    assert np.array_equal(L.fit_func(D, 2.0, wavelength=W), expected)
    assert L.molecular_number_density(altitude=25.0) == L.molecular_number_density(25.0)


def test_keywords_match_by_equal_text():
    class Name(str):
        pass

    made = "".join(["alti", "tude"])   # equal to the parameter name, not the same object
    expected = L.molecular_number_density(25.0)
    assert L.molecular_number_density(**{made: 25.0}) == expected
    assert L.molecular_number_density(**{Name("altitude"): 25.0}) == expected
    assert np.array_equal(L.fit_func(D, **{Name("wavelength"): W, "".join("C"): 2.0}),
                          L.fit_func(D, 2.0, W))


def test_inner_functions_bind_their_own_parameters(make_inner):
    integrand_M, integrand_A, model = make_inner()
    assert integrand_M(Z=5.0) == 2.0 and integrand_A(5.0) == 3.0
    assert np.array_equal(model(C=2.0, d=D), L.fit_func(D, 2.0, W))


def test_a_failing_keyword_comparison_propagates():
    class Name(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            raise LookupError("no comparison")

    with pytest.raises(LookupError, match="no comparison") as caught:
        L.molecular_number_density(**{Name("altitude"): 25.0})
    assert module_entries(caught.value) == [("Aerolume.lumafit.molecular_number_density",
                                             "Aerolume\\lumafit", 20)]


# A caller of the fast calling protocol may pass any keyword-name tuple; the interpreter's
# own callers check the names first, so this goes through the C API.
def vectorcall(f, args, kwnames):
    holder = type("Holder", (), {})()
    holder.f = f           # an instance attribute: called without binding
    call = ctypes.pythonapi.PyObject_VectorcallMethod
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                     ctypes.py_object]
    argv = (ctypes.py_object * (len(args) + 1))(holder, *args)
    return call("f", argv, len(args) + 1 - len(kwnames), kwnames)


def test_fast_call_with_keyword_names():
    expected = L.fit_func(D, 2.0, W)
    assert np.array_equal(vectorcall(L.fit_func, (D, 2.0, W), ()), expected)
    assert np.array_equal(vectorcall(L.fit_func, (D, W, 2.0), ("wavelength", "C")), expected)
    with pytest.raises(TypeError, match=r"^fit_func\(\) keywords must be strings$") as caught:
        vectorcall(L.fit_func, (D, 2.0, W, 7), (1,))
    assert module_entries(caught.value) == [("Aerolume.lumafit.fit_func", "Aerolume\\lumafit",
                                             133)]
