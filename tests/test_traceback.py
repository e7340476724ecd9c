"""Traceback entries of failures that leave the module's frames, and the failures of the
generic operations the bodies are written in (global lookup, unpacking, calls)."""

import builtins
import re
import traceback
import types

import numpy as np
import pytest

import Aerolume.lumafit as L

FILE = "Aerolume\\lumafit"
W = 5.32e-7


def module_tb(exc):
    """The traceback items that the module added, outermost first."""
    tb, items = exc.__traceback__, []
    while tb:
        if tb.tb_frame.f_code.co_filename == FILE:
            items.append(tb)
        tb = tb.tb_next
    return items


def entries(exc):
    return [(e.name, e.filename, e.lineno) for e in traceback.extract_tb(exc.__traceback__)
            if e.filename == FILE]


def failure(call, *args, **kwargs):
    with pytest.raises(Exception) as caught:
        call(*args, **kwargs)
    return caught.value


def test_out_of_range_entry():
    exc = failure(L.molecular_number_density, 100)
    assert type(exc) is ValueError and str(exc) == "Altitude out of range for US1976 model"
    last = traceback.extract_tb(exc.__traceback__)[-1]
    assert (last.name, last.filename, last.lineno) == \
        ("Aerolume.lumafit.molecular_number_density", FILE, 55)
    tb = module_tb(exc)[-1]
    assert tb.tb_lineno == tb.tb_frame.f_lineno == 55
    assert tb.tb_frame.f_globals is vars(L)
    text = "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
    assert 'File "Aerolume\\lumafit", line 55, in Aerolume.lumafit.molecular_number_density' in text


# One entry per module frame the failure leaves, innermost last.
@pytest.mark.parametrize("call, args, expected", [
    (L.rayleigh_scattering_coefficient, (W, 100),
     [("rayleigh_scattering_coefficient", 78), ("molecular_number_density", 55)]),
    (L.molecular_extinction_coefficient, (W, 100),
     [("molecular_extinction_coefficient", 94), ("rayleigh_scattering_coefficient", 78),
      ("molecular_number_density", 55)]),
    (L.rayleigh_scattering_coefficient, (0, 1),
     [("rayleigh_scattering_coefficient", 77), ("rayleigh_scattering_cross_section", 16)]),
    (L.molecular_extinction_coefficient, (W,),
     [("molecular_extinction_coefficient", 83)]),
])
def test_one_entry_per_module_frame(call, args, expected):
    exc = failure(call, *args)
    assert entries(exc) == [(f"Aerolume.lumafit.{name}", FILE, line) for name, line in expected]


def test_failure_inside_a_python_callee_keeps_its_own_frames(monkeypatch):
    def exp(x):
        raise ArithmeticError("from exp")

    monkeypatch.setitem(vars(L), "np", types.SimpleNamespace(exp=exp))
    exc = failure(L.molecular_number_density, 15.0)
    names = [e.name for e in traceback.extract_tb(exc.__traceback__)]
    assert names[-2:] == ["Aerolume.lumafit.molecular_number_density", "exp"]
    assert entries(exc) == [("Aerolume.lumafit.molecular_number_density", FILE, 49)]


FAILURES = [
    lambda: L.molecular_number_density(100),
    lambda: L.molecular_number_density(-6356.766),
    lambda: L.molecular_number_density(np.ones(2)),
    lambda: L.molecular_number_density(),
    lambda: L.rayleigh_scattering_cross_section(0),
    lambda: L.rayleigh_scattering_cross_section(),
    lambda: L.fit_func(1),
    lambda: L.rayleigh_scattering_coefficient(W, 100),
]


def last_code(make_failure):
    with pytest.raises(Exception) as caught:
        make_failure()
    return module_tb(caught.value)[-1].tb_frame.f_code


def test_code_objects_are_reused_per_function_and_line():
    first = [last_code(f) for f in FAILURES]
    assert len({id(c) for c in first}) == len(FAILURES) - 1
    assert [(c.co_name, c.co_firstlineno) for c in first] == [
        ("Aerolume.lumafit.molecular_number_density", 55),
        ("Aerolume.lumafit.molecular_number_density", 43),
        ("Aerolume.lumafit.molecular_number_density", 45),
        ("Aerolume.lumafit.molecular_number_density", 20),
        ("Aerolume.lumafit.rayleigh_scattering_cross_section", 16),
        ("Aerolume.lumafit.rayleigh_scattering_cross_section", 6),
        ("Aerolume.lumafit.fit_func", 133),
        ("Aerolume.lumafit.molecular_number_density", 55),
    ]
    # The last failure leaves molecular_number_density at line 55 too: one code object.
    assert first[-1] is first[0]
    for order in (FAILURES, FAILURES[::-1], FAILURES[1::2] + FAILURES[::2]):
        again = {id(f): last_code(f) for f in order}
        assert all(again[id(f)] is code for f, code in zip(FAILURES, first))


def test_same_line_of_two_functions_gives_two_entries(monkeypatch):
    distances = np.array([8000.0, 9000.0, 10000.0])

    def refusing_fit(model, x, y):
        raise RuntimeError("no fit")

    def fit_calling_model(model, x, y):
        return model(x, 1.0)

    def failing_fit_func(d, C, wavelength):
        raise RuntimeError("no model")

    monkeypatch.setitem(vars(L), "curve_fit", refusing_fit)
    outer = failure(L.rayleigh_fit, np.ones(3), distances, W)
    monkeypatch.setitem(vars(L), "curve_fit", fit_calling_model)
    monkeypatch.setitem(vars(L), "fit_func", failing_fit_func)
    inner = failure(L.rayleigh_fit, np.ones(3), distances, W)
    assert entries(outer) == [("Aerolume.lumafit.rayleigh_fit", FILE, 210)]
    assert entries(inner) == [("Aerolume.lumafit.rayleigh_fit", FILE, 210),
                              ("Aerolume.lumafit.rayleigh_fit.lambda2", FILE, 210)]
    assert module_tb(outer)[-1].tb_frame.f_code is module_tb(inner)[0].tb_frame.f_code
    assert module_tb(inner)[0].tb_frame.f_code is not module_tb(inner)[1].tb_frame.f_code


def recursion_message(context):
    """The interpreter's own recursion-guard message for `context`, as a pattern: its
    wording is taken from a recursion of the interpreter's own (a deeply nested list's
    repr), with any figure in it (a stack size, say) allowed to differ."""
    own_context = " while getting the repr of an object"
    nested = []
    for _ in range(100_000):
        nested = [nested]
    try:
        repr(nested)
    except RecursionError as exc:
        own = str(exc)
    else:
        pytest.skip("the interpreter did not guard a recursion of 100,000 levels")
    assert own.endswith(own_context), own
    wording = re.escape(own[:-len(own_context)])
    return re.sub(r"\d+", r"\\d+", wording) + re.escape(context)


def test_calls_are_guarded_against_unbounded_recursion(monkeypatch):
    # molecular_extinction_coefficient calls rayleigh_scattering_coefficient by name.
    monkeypatch.setitem(vars(L), "rayleigh_scattering_coefficient",
                        L.molecular_extinction_coefficient)
    exc = failure(L.molecular_extinction_coefficient, W, 1.0)
    assert type(exc) is RecursionError
    assert re.fullmatch(recursion_message(" while calling a Python object"), str(exc)), str(exc)
    assert set(entries(exc)) == {("Aerolume.lumafit.molecular_extinction_coefficient", FILE, 94)}


# ---- global lookup: the module dictionary, then the builtins, seen afresh on rebinding ----

def test_global_lookup(monkeypatch):
    def fake_np(value):
        return types.SimpleNamespace(exp=lambda x: value)

    expected = L.molecular_number_density(15.0)
    monkeypatch.setitem(vars(L), "np", fake_np(1.0))
    assert L.molecular_number_density(15.0) == 0.19475050000000002 * 1.0 / 4.8096e-26
    vars(L)["np"] = fake_np(2.0)
    assert L.molecular_number_density(15.0) == 0.19475050000000002 * 2.0 / 4.8096e-26
    del vars(L)["np"]
    exc = failure(L.molecular_number_density, 15.0)
    assert type(exc) is NameError and str(exc) == "name 'np' is not defined"
    assert entries(exc) == [("Aerolume.lumafit.molecular_number_density", FILE, 49)]
    monkeypatch.setattr(builtins, "np", fake_np(3.0), raising=False)
    assert L.molecular_number_density(15.0) == 0.19475050000000002 * 3.0 / 4.8096e-26
    vars(L)["np"] = np
    assert L.molecular_number_density(15.0) == expected


# ---- two-target unpacking, seen through the result of quad ----

def gives_one_then_fails():
    yield 1.0
    raise KeyError("from the iterator")


@pytest.mark.parametrize("result, error, message", [
    ((1.0, 2.0, 3.0), ValueError, "too many values to unpack (expected 2)"),
    ([1.0], ValueError, "need more than 1 value to unpack"),
    ([], ValueError, "need more than 0 values to unpack"),
    ((), ValueError, "need more than 0 values to unpack"),
    (iter([1.0, 2.0, 3.0]), ValueError, "too many values to unpack (expected 2)"),
    (iter([1.0]), ValueError, "need more than 1 value to unpack"),
    (iter([]), ValueError, "need more than 0 values to unpack"),
    (gives_one_then_fails(), KeyError, "'from the iterator'"),
    (7, TypeError, "'int' object is not iterable"),
])
def test_unpacking_failures(monkeypatch, result, error, message):
    monkeypatch.setitem(vars(L), "quad", lambda f, a, b: result)
    exc = failure(L.integral_extinction_coefficient, [1.0], 1e-4, 1e-4)
    assert type(exc) is error and str(exc) == message
    assert entries(exc) == [("Aerolume.lumafit.integral_extinction_coefficient", FILE, 171)]


@pytest.mark.parametrize("make", [lambda: (1.5, 0.0), lambda: [1.5, 0.0],
                                  lambda: iter((1.5, 0.0)), lambda: (x for x in (1.5, 0.0))])
def test_unpacking_two_values(monkeypatch, make):
    monkeypatch.setitem(vars(L), "quad", lambda f, a, b: make())
    M, A = L.integral_extinction_coefficient([1.0, 2.0], 1e-4, 1e-4)
    assert M.tolist() == A.tolist() == [1.5, 1.5]
