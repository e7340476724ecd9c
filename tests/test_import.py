"""Import of Aerolume.lumafit: create and exec, the module namespace, the process-wide
module state, and how a failed import reports itself.  Each case runs in a fresh
interpreter, because the module binds itself to the first import of the process."""

import json
import sys
import textwrap

import pytest

REGISTRY = "_aerolume_frame_1"

FUNCTIONS = [
    "rayleigh_scattering_cross_section", "molecular_number_density",
    "rayleigh_scattering_coefficient", "molecular_extinction_coefficient",
    "distance_square_corrected_signal", "theoretical_rayleigh_signal", "fit_func",
    "integral_extinction_coefficient", "rayleigh_fit",
]

# Collects the traceback entries that the module added to an exception.
ENTRIES = """
import traceback
def module_entries(exc):
    return [(e.name, e.filename, e.lineno) for e in traceback.extract_tb(exc.__traceback__)
            if e.filename.startswith("Aerolume")]
"""


def run_json(python, code):
    """Runs `code` in a child interpreter; returns what it printed as JSON last."""
    done = python(ENTRIES + textwrap.dedent(code))
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def test_package_leaves_the_extension_modules_alone(python):
    out = run_json(python, """
        import json, sys
        import Aerolume
        print(json.dumps(sorted(m for m in sys.modules if m.startswith("Aerolume"))))
    """)
    assert out == ["Aerolume"]


def test_namespace_after_import(python):
    out = run_json(python, f"""
        import builtins, json, sys
        import numpy, scipy.integrate, scipy.optimize
        import Aerolume.lumafit as L
        d = vars(L)
        registry = sys.modules.get({REGISTRY!r})
        print(json.dumps({{
            "names": [k for k in d if not k.startswith("__") or k == "__test__"],
            "last": list(d)[-13:],
            "test": [type(L.__test__) is dict, L.__test__ == {{}}],
            "imports": [L.np is numpy, L.curve_fit is scipy.optimize.curve_fit,
                        L.quad is scipy.integrate.quad],
            "doc": L.__doc__, "name": L.__name__, "package": L.__package__,
            "builtins": L.__builtins__ is builtins,
            "registered": sys.modules["Aerolume.lumafit"] is L,
            "registry": registry is not None
                        and registry.frame_function is type(L.fit_func),
            "functions": [type(getattr(L, f)) is type(L.fit_func) for f in {FUNCTIONS!r}],
        }}))
    """)
    expected = ["np", "curve_fit", "quad", *FUNCTIONS, "__test__"]
    assert out["names"] == expected
    assert out["last"] == expected
    assert out["test"] == [True, True]
    assert out["imports"] == [True, True, True]
    assert (out["doc"], out["name"], out["package"]) == (None, "Aerolume.lumafit", "Aerolume")
    assert out["builtins"] and out["registered"] and out["registry"]
    assert all(out["functions"])


def test_reimport_and_reload_give_the_same_module_and_run_nothing_again(python):
    out = run_json(python, f"""
        import importlib, importlib.util, json, sys
        import Aerolume.lumafit as L
        test, functions = L.__test__, {{f: getattr(L, f) for f in {FUNCTIONS!r}}}
        L.np = "rebound"
        del sys.modules["Aerolume.lumafit"]
        import Aerolume.lumafit as again
        reloaded = importlib.reload(again)
        made = importlib.util.module_from_spec(importlib.util.find_spec("Aerolume.lumafit"))
        print(json.dumps([again is L, reloaded is L, made is L, L.__test__ is test, L.np,
                          all(getattr(L, k) is v for k, v in functions.items())]))
    """)
    assert out == [True, True, True, True, "rebound", True]


# `module` is kept from being imported, either by a finder that reports it missing or by
# a None entry in sys.modules; the import fails at that module's import statement, and a
# later import, with the module available again, runs create and exec afresh.
# The failure is the one the same import statement raises in Python code.
@pytest.mark.parametrize("module, line, statement", [
    ("numpy", 1, "import numpy as np"),
    ("scipy", 2, "from scipy.optimize import curve_fit"),
    ("scipy.integrate", 3, "from scipy.integrate import quad"),
])
@pytest.mark.parametrize("how", ["finder", "none-entry"])
def test_missing_dependency_fails_the_import_at_its_line(python, module, line, statement, how):
    out = run_json(python, f"""
        import json, sys
        blocked = {module!r}
        class Missing:
            def find_spec(self, name, path=None, target=None):
                if name == blocked or name.startswith(blocked + "."):
                    raise ModuleNotFoundError(f"No module named {{name!r}}", name=name)
        if {how!r} == "finder":
            sys.meta_path.insert(0, Missing())
        else:
            sys.modules[blocked] = None
        try:
            exec({statement!r}, {{}})
        except ImportError as exc:
            expected = [type(exc).__name__, exc.name, str(exc)]
        try:
            import Aerolume.lumafit
        except ImportError as exc:
            failure = [type(exc).__name__, exc.name, str(exc), module_entries(exc)]
        else:
            failure = None
        gone = "Aerolume.lumafit" not in sys.modules
        if {how!r} == "finder":
            del sys.meta_path[0]
        else:
            del sys.modules[blocked]
        import numpy, scipy.integrate, scipy.optimize
        import Aerolume.lumafit as L
        print(json.dumps([expected, failure, gone, L.np is numpy,
                          L.curve_fit is scipy.optimize.curve_fit, L.quad is scipy.integrate.quad,
                          L.molecular_number_density(0)]))
    """)
    expected, failure, gone, *imports, density = out
    assert failure is not None, "the import succeeded with its dependency missing"
    *error, entries = failure
    assert error == expected and error[0] == "ModuleNotFoundError"
    assert entries == [["init Aerolume.lumafit", "Aerolume\\lumafit", line]]
    assert gone
    assert imports == [True, True, True]
    assert density == 2.5469893546240854e+25


@pytest.mark.parametrize("fallback", [False, True])
def test_from_import_of_a_missing_name(python, fallback):
    out = run_json(python, f"""
        import json, sys
        import scipy.integrate
        del scipy.integrate.quad
        stand_in = object()
        if {fallback!r}:
            sys.modules["scipy.integrate.quad"] = stand_in
        try:
            import Aerolume.lumafit as L
        except ImportError as exc:
            print(json.dumps([type(exc).__name__, str(exc), module_entries(exc)]))
        else:
            print(json.dumps(L.quad is stand_in))
    """)
    if fallback:
        assert out is True
    else:
        assert out == ["ImportError", "cannot import name quad",
                       [["init Aerolume.lumafit", "Aerolume\\lumafit", 3]]]


def test_numpy_already_imported_is_used_as_found(python):
    out = run_json(python, """
        import json, sys, types
        import scipy.integrate, scipy.optimize
        stand_in = types.ModuleType("numpy")
        sys.modules["numpy"] = stand_in
        import Aerolume.lumafit as L
        print(json.dumps(L.np is stand_in))
    """)
    assert out is True


# The shared function type found in the registry must be a type of the right size; a
# refusal comes before the module's first statement, so it adds no traceback entry.
@pytest.mark.parametrize("bad, message", [
    ("42", "shared type 'frame_function' is not a type object"),
    ("int", "shared type 'frame_function' has the wrong size, try recompiling"),
    # a class with as many slots as make it exactly the function object's size
    ("type('planted', (), {'__slots__': tuple('s%d' % i for i in range(SLOTS))})", None),
])
def test_shared_type_is_checked(python, bad, message):
    size = run_json(python, """
        import json, Aerolume.lumafit as L
        print(json.dumps(type(L.fit_func).__basicsize__))
    """)
    bad = bad.replace("SLOTS", str((size - object.__basicsize__) // 8))
    out = run_json(python, f"""
        import json, sys, types
        registry = types.ModuleType({REGISTRY!r})
        registry.frame_function = {bad}
        sys.modules[{REGISTRY!r}] = registry
        try:
            import Aerolume.lumafit
        except TypeError as exc:
            failure = [str(exc), module_entries(exc)]
        else:
            failure = None
        del registry.frame_function
        import Aerolume.lumafit as L
        print(json.dumps([failure, sys.modules[{REGISTRY!r}].frame_function is type(L.fit_func)]))
    """)
    assert out == [[message or
                    "shared type 'frame_function' has an incompatible layout, try recompiling",
                    []], True]


@pytest.mark.parametrize("name", ["print", "ValueError", "enumerate", "range"])
def test_missing_builtin_fails_the_import_at_line_1(python, name):
    out = run_json(python, f"""
        import builtins, json
        saved = getattr(builtins, {name!r})
        delattr(builtins, {name!r})
        try:
            import Aerolume.lumafit
        except NameError as exc:
            caught = exc
        else:
            caught = None
        # The traceback module itself needs the builtin (3.13 reads the source lines).
        setattr(builtins, {name!r}, saved)
        failure = [str(caught), module_entries(caught)] if caught else None
        import Aerolume.lumafit as L
        print(json.dumps([failure, L.molecular_number_density(0)]))
    """)
    assert out == [[f"name '{name}' is not defined",
                    [["init Aerolume.lumafit", "Aerolume\\lumafit", 1]]],
                   2.5469893546240854e+25]


# Imports Aerolume.lumafit in a new subinterpreter; returns the failure as "<class ...>: msg".
# A "legacy" interpreter shares the main one's GIL and loads any extension; an "isolated"
# one (3.12 on) has its own GIL and checks what the extension declares.
SUBINTERPRETER = """
import sys
if sys.version_info >= (3, 13):
    import _interpreters
    def import_in_subinterpreter(kind):
        other = _interpreters.create(kind)
        try:
            failure = _interpreters.run_string(other, "import Aerolume.lumafit")
            return failure and f"<class '{failure.type.__name__}'>: {failure.msg}"
        finally:
            _interpreters.destroy(other)
else:
    import _xxsubinterpreters as _interpreters
    def import_in_subinterpreter(kind):
        if sys.version_info >= (3, 12):
            other = _interpreters.create(isolated=kind == "isolated")
        else:
            other = _interpreters.create()
        try:
            _interpreters.run_string(other, "import Aerolume.lumafit")
        except _interpreters.RunFailedError as exc:
            return str(exc)
        finally:
            _interpreters.destroy(other)
"""


@pytest.mark.parametrize("kind, message", [
    # The module's own refusal, from create.
    ("legacy", "Interpreter change detected - this module can only be loaded into one "
               "interpreter per process."),
    # The interpreter's refusal, before create: the module declares that it does not
    # support multiple interpreters.
    pytest.param("isolated", "module Aerolume.lumafit does not support loading in "
                             "subinterpreters",
                 marks=pytest.mark.skipif(sys.version_info < (3, 12),
                                          reason="interpreters of their own GIL: 3.12 on")),
])
def test_second_interpreter_is_refused(python, kind, message):
    out = run_json(python, SUBINTERPRETER + f"""
import json
import Aerolume.lumafit
failure = import_in_subinterpreter({kind!r})
print(json.dumps([failure, Aerolume.lumafit.molecular_number_density(0)]))
""")
    assert out == [f"<class 'ImportError'>: {message}", 2.5469893546240854e+25]


# Exec registers the module in sys.modules unless an entry of its name is there already.
@pytest.mark.parametrize("occupied", [False, True])
def test_exec_of_another_module_object_is_refused(python, occupied):
    out = run_json(python, f"""
        import importlib.util, json, sys
        spec = importlib.util.find_spec("Aerolume.lumafit")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        occupant = object()
        if {occupied!r}:
            sys.modules["Aerolume.lumafit"] = occupant
        spec.loader.exec_module(first)
        registered = sys.modules.get("Aerolume.lumafit") is (occupant if {occupied!r} else first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as exc:
            failure = [str(exc), module_entries(exc)]
        else:
            failure = None
        spec.loader.exec_module(first)
        print(json.dumps([first is not second, registered, failure, "np" in vars(second)]))
    """)
    assert out == [True, True, ["Module 'lumafit' has already been imported. "
                                "Re-initialisation is not supported.", []], False]


def test_create_copies_the_import_attributes_it_is_given(python):
    out = run_json(python, """
        import _imp, importlib.util, json, types
        origin = importlib.util.find_spec("Aerolume.lumafit").origin
        def made(**attributes):
            spec = types.SimpleNamespace(name="Aerolume.lumafit", origin=origin, **attributes)
            d = vars(_imp.create_dynamic(spec))
            return {k: d[k] for k in ("__loader__", "__package__", "__path__") if k in d}
        class Failing:
            name, origin = "Aerolume.lumafit", origin
            @property
            def parent(self):
                raise KeyError("parent")
        try:
            _imp.create_dynamic(Failing())
        except KeyError as exc:
            failure = str(exc)
        print(json.dumps([
            made(),
            made(loader="L", parent="Aerolume", submodule_search_locations=None),
            made(submodule_search_locations=["here"]),
            failure,
        ]))
    """)
    assert out == [
        {"__loader__": None, "__package__": None},
        {"__loader__": "L", "__package__": "Aerolume"},
        {"__loader__": None, "__package__": None, "__path__": ["here"]},
        "'parent'",
    ]
