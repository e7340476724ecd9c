"""The function-object type shared by the modules: attributes and their setters,
representation, pickling, method binding, weak references, instance dictionary, garbage
collection, subclassing, calls and signature introspection."""

import copy
import doctest
import gc
import inspect
import pickle
import pydoc
import re
import sys
import warnings
import weakref

import numpy as np
import pytest

import Aerolume.lumafit as L

# The stack size the interpreter keeps for a code object made with none: 0, or 1 where it
# always keeps one slot (3.13).
NO_STACK = (lambda: None).__code__.replace(co_stacksize=0).co_stacksize

# name: (def line, parameters, further locals)
FUNCTIONS = {
    "rayleigh_scattering_cross_section": (6, ["wavelength"], ["sigma"]),
    "molecular_number_density": (20, ["altitude"], ["R0", "rho_SL", "m", "H", "W", "rho", "N"]),
    "rayleigh_scattering_coefficient": (62, ["wavelength", "altitude"], ["sigma", "N", "beta_m"]),
    "molecular_extinction_coefficient": (83, ["wavelength", "altitude"], []),
    "distance_square_corrected_signal": (97, ["signal", "distances"], ["D_z"]),
    "theoretical_rayleigh_signal": (112, ["distances", "wavelength"],
                                    ["signal", "i", "d", "altitude"]),
    "fit_func": (133, ["distances", "C", "wavelength"], ["theoretical_signal", "fitted_signal"]),
    "integral_extinction_coefficient": (153, ["altitudes", "alpha_M", "alpha_A"],
                                        ["integral_alpha_M", "integral_alpha_A", "i", "alt", "_"]),
    "rayleigh_fit": (177, ["lidar_signal", "distances", "wavelength"],
                     ["D_z", "fit_range", "fit_distances", "fit_D_z", "popt", "_", "C",
                      "D_prime_z", "alpha_M", "alpha_A", "altitudes", "integral_alpha_M",
                      "integral_alpha_A", "beta_A", "i"]),
}

# entry name, qualified name, def line, parameters
INNER = [
    ("lambda", "integral_extinction_coefficient.<locals>.<lambda>", 171, ["Z"]),
    ("lambda1", "integral_extinction_coefficient.<locals>.<lambda>", 172, ["Z"]),
    ("lambda2", "rayleigh_fit.<locals>.<lambda>", 210, ["d", "C"]),
]


def doc(*lines):
    return "\n" + "\n".join(lines) + "\n    "


DOCS = {
    "rayleigh_scattering_cross_section": doc(
        "    函数功能: 计算给定波长的瑞利散射截面。",
        "",
        "    输入: ",
        "    - wavelength: float, 激光波长, 单位:米",
        "",
        "    输出:",
        "    - sigma: float, 瑞利散射截面"),
    "molecular_number_density": doc(
        "    函数功能: 根据不同的海拔高度范围使用US1976模型计算大气分子数密度。",
        "",
        "    输入: ",
        "    - altitude: float, 海拔高度,单位为千米。",
        "",
        "    输出:",
        "    - N: float,大气分子数密度,单位为m³",
        "",
        "    参数:",
        "    - R0: float, 地球半径, 单位为千米。",
        "    - rho_SL: float, 海平面处大气质量密度,单位为kg/m³",
        "    - m: float, 单个大气分子的平均质量,单位为kg",
        "    - H: loat, 位势高度。",
        "    - W: float, 中间变量。",
        "    - rho: float, 大气质量密度,单位为kg/m³"),
}

ALIASES = [("func_doc", "__doc__"), ("func_name", "__name__"), ("func_dict", "__dict__"),
           ("func_globals", "__globals__"), ("func_closure", "__closure__"),
           ("func_code", "__code__"), ("func_defaults", "__defaults__")]


@pytest.fixture
def fresh(make_inner):
    """A function object of the shared type that no other test sees."""
    return make_inner()[0]


def all_cases(make_inner):
    inner = make_inner()
    public = [(getattr(L, name), name, name, line, params, params + extra)
              for name, (line, params, extra) in FUNCTIONS.items()]
    return public + [(f, name, qualname, line, params, params)
                     for f, (name, qualname, line, params) in zip(inner, INNER)]


def test_code_objects_describe_the_functions(make_inner):
    for f, name, _, line, params, varnames in all_cases(make_inner):
        code = f.__code__
        assert (code.co_name, code.co_filename, code.co_firstlineno) == \
            (name, "Aerolume\\lumafit", line)
        assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == \
            (len(params), 0, 0)
        assert code.co_varnames == tuple(varnames) and code.co_nlocals == len(varnames)
        # Optimised and new-locals; the interpreter itself adds "no free variables".
        assert (code.co_stacksize, code.co_flags & ~inspect.CO_NOFREE, code.co_code,
                code.co_linetable) == (NO_STACK, inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS,
                                       b"", b"")
        assert code.co_consts == code.co_names == code.co_freevars == code.co_cellvars == ()


def test_signatures_list_the_parameters_in_order(make_inner):
    for f, _, _, _, params, _ in all_cases(make_inner):
        parameters = inspect.signature(f).parameters.values()
        assert [p.name for p in parameters] == params
        assert {(p.kind, p.default) for p in parameters} == \
            {(inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.empty)}


def test_plain_attributes(make_inner):
    for f, name, qualname, *_ in all_cases(make_inner):
        assert (f.__name__, f.__qualname__, f.__module__) == (name, qualname, "Aerolume.lumafit")
        assert sys.intern(f.__name__) is f.__name__
        assert f.__globals__ is vars(L)
        assert (f.__closure__, f.__defaults__, f.__kwdefaults__, f._is_coroutine) == \
            (None, None, None, False)
        assert not inspect.iscoroutinefunction(f)
        for alias, name in ALIASES:
            assert getattr(f, alias) is getattr(f, name)
    for name, text in DOCS.items():
        assert getattr(L, name).__doc__ == text
    assert [f.__doc__ for f in make_inner()] == [None, None, None]


def test_lazily_made_attributes_stay_the_same_object(fresh):
    for name in ("__dict__", "__annotations__", "__doc__", "__name__", "_is_coroutine"):
        assert getattr(fresh, name) is getattr(fresh, name)
    assert fresh.__dict__ == {} and fresh.__annotations__ == {}


@pytest.mark.parametrize("name, value, message", [
    ("__name__", 1, "__name__ must be set to a string object"),
    ("func_name", b"x", "__name__ must be set to a string object"),
    ("__qualname__", None, "__qualname__ must be set to a string object"),
    ("__dict__", [], "setting function's dictionary to a non-dict"),
    ("func_dict", None, "setting function's dictionary to a non-dict"),
    ("__defaults__", [5], "__defaults__ must be set to a tuple object"),
    ("func_defaults", 5, "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", [], "__annotations__ must be set to a dict object"),
])
def test_refused_values(fresh, name, value, message):
    before = getattr(fresh, name)
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        setattr(fresh, name, value)
    assert getattr(fresh, name) is before


@pytest.mark.parametrize("name, message", [
    ("__name__", "__name__ must be set to a string object"),
    ("__qualname__", "__qualname__ must be set to a string object"),
    ("__dict__", "function's dictionary may not be deleted"),
    ("func_dict", "function's dictionary may not be deleted"),
])
def test_refused_deletions(fresh, name, message):
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        delattr(fresh, name)


@pytest.mark.parametrize("name", ["__globals__", "func_globals", "__closure__", "func_closure",
                                  "__code__", "func_code", "_is_coroutine"])
def test_read_only_attributes(fresh, name):
    with pytest.raises(AttributeError):
        setattr(fresh, name, None)
    with pytest.raises(AttributeError):
        delattr(fresh, name)


def test_accepted_writes(fresh):
    class Text(str):
        pass

    marker = object()
    fresh.__doc__ = marker
    assert fresh.func_doc is marker
    del fresh.func_doc
    assert fresh.__doc__ is None
    fresh.__name__ = Text("renamed")
    assert fresh.func_name == "renamed" and type(fresh.__name__) is Text
    fresh.__qualname__ = "outer.renamed"
    assert re.fullmatch(r"<frame_function outer\.renamed at 0x[0-9a-f]+>", repr(fresh))
    assert fresh.__reduce__() == "outer.renamed"
    fresh.__module__ = marker
    assert fresh.__module__ is marker
    del fresh.__module__
    assert fresh.__module__ is None
    mapping = {"a": 1}
    fresh.__dict__ = mapping
    assert fresh.func_dict is mapping and fresh.a == 1
    fresh.b = 2
    assert mapping == {"a": 1, "b": 2} and vars(fresh) is mapping
    notes = {"return": float}
    fresh.__annotations__ = notes
    assert fresh.__annotations__ is notes
    fresh.__annotations__ = None
    assert fresh.__annotations__ == {} and fresh.__annotations__ is not notes
    fresh.__annotations__ = notes
    del fresh.__annotations__
    assert fresh.__annotations__ == {}


# Defaults are fixed when the module is built: a new value is shown, warned about, and
# does not change how calls bind.
@pytest.mark.parametrize("name, value", [("__defaults__", (5,)), ("func_defaults", ()),
                                         ("__kwdefaults__", {"Z": 5}), ("__defaults__", None)])
def test_defaults_are_shown_but_not_used(fresh, name, value):
    shown = name.replace("func_", "__") if name.startswith("func_") else name
    with pytest.warns(RuntimeWarning,
                      match=rf"{shown}.* will not currently affect the values used in function "
                            "calls"):
        setattr(fresh, name, value)
    assert getattr(fresh, name) == value
    with pytest.raises(TypeError, match=r"^lambda\(\) takes exactly 1 positional argument "
                                        r"\(0 given\)$"):
        fresh()
    with pytest.warns(RuntimeWarning):
        delattr(fresh, name)
    assert getattr(fresh, name) is None


def test_defaults_warning_as_error_keeps_the_old_value(fresh):
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning):
            fresh.__defaults__ = (5,)
        with pytest.raises(RuntimeWarning):
            fresh.__kwdefaults__ = {}
    assert fresh.__defaults__ is None and fresh.__kwdefaults__ is None


def test_representation():
    f = L.fit_func
    match = re.fullmatch(r"<frame_function fit_func at (0x[0-9a-f]+)>", repr(f))
    assert match and int(match.group(1), 16) == id(f)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_pickling_refers_to_the_module_level_name(name):
    f = getattr(L, name)
    assert f.__reduce__() == name and f.__reduce__(1, "ignored") == name
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert copy.copy(f) is f and copy.deepcopy(f) is f


def test_inner_functions_do_not_pickle(make_inner):
    for f in make_inner():
        with pytest.raises((pickle.PicklingError, AttributeError)):
            pickle.dumps(f)


def test_method_binding():
    class Altitude(float):
        density = L.molecular_number_density

    h = Altitude(25.0)
    expected = L.molecular_number_density(25.0)
    assert h.density() == expected                   # method call on the instance
    bound = h.density
    assert bound.__self__ is h and bound.__func__ is L.molecular_number_density
    assert bound() == expected
    assert inspect.signature(bound).parameters == {}
    assert Altitude.density is L.molecular_number_density
    f = L.molecular_number_density
    assert f.__get__(None, Altitude) is f and f.__get__(h).__self__ is h


def test_weak_references(make_inner):
    assert weakref.ref(L.fit_func)() is L.fit_func
    fresh = make_inner()[0]
    died = []
    ref = weakref.ref(fresh, died.append)
    proxy = weakref.proxy(fresh)
    assert proxy.__name__ == "lambda"
    del fresh
    gc.collect()
    assert ref() is None and died == [ref]


def test_garbage_collection(make_inner):
    model, first, second = make_inner()[::-1]
    assert gc.is_tracked(model)
    referents = gc.get_referents(model)
    assert any(r is vars(L) for r in referents) and any(r is model.__code__ for r in referents)
    # A cycle through the instance dictionary is found and freed.
    model.me = model
    first.__doc__ = first
    second.__annotations__ = {"cycle": second}
    refs = [weakref.ref(f) for f in (model, first, second)]
    del model, first, second
    gc.collect()
    assert [r() for r in refs] == [None, None, None]


def test_type_identity_subclassing_and_comparison():
    kind = type(L.fit_func)
    assert kind.__name__ == "frame_function"
    assert all(type(getattr(L, name)) is kind for name in FUNCTIONS)

    class Derived(kind):
        pass

    assert issubclass(Derived, kind)
    with pytest.raises(TypeError):
        kind()
    assert kind.__eq__ is object.__eq__ and kind.__hash__ is object.__hash__
    assert L.fit_func == L.fit_func and L.fit_func != L.rayleigh_fit
    assert {L.fit_func: 1}[L.fit_func] == 1


def test_generic_call_path():
    f = L.molecular_number_density
    expected = f(25.0)
    assert f(*(25.0,), **{}) == expected
    assert f(**{"altitude": 25.0}) == expected
    assert type(f).__call__(f, 25.0) == expected
    assert type(f).__call__(f, altitude=25.0) == expected
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        f(**{1: 25.0})
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        L.fit_func(np.ones(2), 1.0, 5.32e-7, **{None: 1})


def test_standard_library_tools_see_a_function():
    assert doctest.testmod(L) == (0, 0)
    text = pydoc.render_doc(L.molecular_number_density, renderer=pydoc.plaintext)
    assert "molecular_number_density(altitude)" in text and "US1976" in text
    assert inspect.getmodule(L.fit_func) is L
