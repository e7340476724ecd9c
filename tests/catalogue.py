"""What the robustness checks call: the public functions of the built modules (found in
their namespaces, so a function is covered as soon as a module binds it), valid
arguments for each, and a supply of awkward arguments.

Imported by the robustness tests and by the child interpreters they start; it must not
import anything from the source tree."""
import ctypes
import gc
import importlib
import sys
import traceback

import numpy as np

MODULES = ("lumafit", "lumaclean")
# The source file each module's traceback entries name.
FILES = {f"Aerolume.{name}": f"Aerolume\\{name}" for name in MODULES}
# Module globals that stand for the SciPy routines calling back into inner functions.
CALLBACK_GLOBALS = ("quad", "curve_fit")

WL = 5.32e-7
FIT_DISTANCES = np.arange(7600.0, 10600.0, 400.0)
PROFILE = [10.0, 2.0, 2.2, 1.0, 3.0, 1.0, 3.0]


def _fit_signal():
    from Aerolume import lumafit
    return lumafit.theoretical_rayleigh_signal(FIT_DISTANCES, WL) * 2.5e3 / FIT_DISTANCES ** 2


# Valid calls, as factories of (args, kwargs) so that each call gets fresh objects.  A
# function missing here is still called, with GENERIC_ARGUMENTS.
VALID = {
    "rayleigh_scattering_cross_section": [
        lambda: ((WL,), {}), lambda: ((np.float64(1.064e-6),), {}),
        lambda: ((np.array([3.55e-7, WL]),), {})],
    "molecular_number_density": [
        lambda: ((0.5,), {}), lambda: ((15.0,), {}), lambda: ((25,), {}),
        lambda: ((np.float64(3.0),), {})],
    "rayleigh_scattering_coefficient": [lambda: ((WL, 5.0), {}), lambda: ((WL, 12.5), {})],
    "molecular_extinction_coefficient": [lambda: ((WL, 12.0), {}), lambda: ((WL, 30.0), {})],
    "distance_square_corrected_signal": [
        lambda: ((np.linspace(1.0, 2.0, 5), np.linspace(30.0, 150.0, 5)), {})],
    "theoretical_rayleigh_signal": [
        lambda: ((np.arange(30.0, 25000.0, 1500.0), WL), {}),
        lambda: (([30.0, 12000.0, 21000.0], WL), {})],
    "fit_func": [lambda: ((np.arange(8000.0, 10001.0, 500.0), 2.0, WL), {})],
    "integral_extinction_coefficient": [lambda: ((np.array([0.5, 1.0, 2.0]), 1e-4, 2e-4), {})],
    "rayleigh_fit": [lambda: ((_fit_signal(), FIT_DISTANCES.copy(), WL), {})],
    "calculate_data_points": [lambda: ((7.5, 15000), {}), lambda: ((0.1, 0.7), {})],
    "remove_background_and_noise": [
        lambda: ((list(PROFILE), 3, 7), {}),
        lambda: ((np.array(PROFILE), 3, 7), {"sigma_factor": 2.5})],
    "distance_zero_point_calibration": [lambda: ((np.array([1.0, 5.0, 3.0, 2.0]), 7.5), {})],
    "distance_square_correction": [
        lambda: (([1.0, 2.0, 3.0], 2.0, [30.0, 60.0, 90.0]), {}),
        lambda: ((np.array([1.0, 2.0]), 2.0, 7.5), {})],
    "overlap_factor_correction": [lambda: ((np.array([1.0, 2.0]), np.array([0.5, 1.0])), {})],
    # lumafit's inner functions: the integrands and the fit model
    "lambda": [lambda: ((1.0,), {})],
    "lambda1": [lambda: ((np.float64(2.0),), {})],
    "lambda2": [lambda: ((np.arange(8000.0, 10001.0, 1000.0), 2.0), {})],
}
GENERIC_ARGUMENTS = [1.5, 3, np.linspace(1.0, 2.0, 4), [1.0, 2.0]]


# ---- the modules and their functions ----

def modules():
    return [importlib.import_module(f"Aerolume.{name}") for name in MODULES]


def function_type():
    from Aerolume import lumafit
    return type(lumafit.fit_func)


class Function:
    """A module function as it was bound: its object, what its traceback entries name."""

    def __init__(self, obj, module, trace_name):
        self.obj = obj
        self.module = module
        self.file = FILES[module]
        self.trace_name = trace_name
        self.name = obj.__name__
        code = obj.__code__
        self.params = code.co_varnames[:code.co_argcount]
        self.required = len(self.params) - len(obj.__defaults__ or ())

    def __repr__(self):
        return self.trace_name

    def valid(self):
        """Fresh valid (args, kwargs), one per catalogued call."""
        makers = VALID.get(self.name)
        if makers:
            return [make() for make in makers]
        return [(tuple(GENERIC_ARGUMENTS[i % len(GENERIC_ARGUMENTS)]
                       for i in range(self.required)), {})]


def public_functions():
    kind = function_type()
    found = []
    for module in modules():
        for key, value in vars(module).items():
            if type(value) is kind and value.__module__ == module.__name__ and key[0] != "_":
                found.append(Function(value, module.__name__, f"{module.__name__}.{key}"))
    return found


def inner_function(obj):
    """Describes an inner function met while it is fresh from its enclosing body."""
    outer = obj.__qualname__.split(".<locals>")[0]
    return Function(obj, obj.__module__, f"{obj.__module__}.{outer}.{obj.__name__}")


class Rebound:
    """Rebinds a module global for the duration of a with-block; always restores it."""

    MISSING = object()

    def __init__(self, module, name, value):
        self.namespace, self.name, self.value = vars(module), name, value

    def __enter__(self):
        self.saved = self.namespace.get(self.name, self.MISSING)
        if self.value is self.MISSING:
            self.namespace.pop(self.name, None)
        else:
            self.namespace[self.name] = self.value
        return self

    def __exit__(self, *exc):
        if self.saved is self.MISSING:
            self.namespace.pop(self.name, None)
        else:
            self.namespace[self.name] = self.saved


# ---- calls ----

class Holder:
    """Carries a function as an instance attribute, so that a method call reaches it with
    the keyword names exactly as given."""


_vectorcall_method = ctypes.pythonapi.PyObject_VectorcallMethod
_vectorcall_method.restype = ctypes.py_object
_vectorcall_method.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t,
                               ctypes.py_object]


def vectorcall(f, args, kwnames, kwvalues):
    """Calls f through the fast calling protocol with `kwnames` as the keyword names,
    whatever they are (a call from Python passes only strings)."""
    holder = Holder()
    holder.call = f
    items = (ctypes.py_object * (1 + len(args) + len(kwvalues)))(holder, *args, *kwvalues)
    return _vectorcall_method("call", ctypes.cast(items, ctypes.c_void_p), 1 + len(args),
                              tuple(kwnames))


def module_entries(exc):
    return [(f.filename, f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
            if f.filename.startswith("Aerolume\\")]


def failure_problem(function, exc):
    """What is wrong with `exc` as the failure of a call of `function`, or None."""
    if isinstance(exc, SystemError):
        return f"SystemError: {exc}"
    if not isinstance(exc, Exception):
        return f"not an ordinary exception: {type(exc).__name__}: {exc}"
    entries = module_entries(exc)
    if not entries:
        return f"{type(exc).__name__} without a traceback entry of the module: {exc}"
    first = entries[0]
    if first[:2] != (function.file, function.trace_name):
        return f"{type(exc).__name__}: first module entry {first}, not {function.trace_name}"
    if any(entry[0] not in FILES.values() for entry in entries):
        return f"traceback entry of an unknown file: {entries}"
    return None


_len = len


def leftover_exception():
    """A trivial C call: the interpreter refuses its result as a SystemError if an earlier
    call left an exception set."""
    try:
        _len(())
    except SystemError as exc:
        return str(exc)
    return None


def outcome(f, args, kwargs):
    """A comparable record of a call: the result, or the exception with its entries."""
    try:
        return ("result", fingerprint(f(*args, **kwargs)))
    except Exception as exc:
        return ("raised", type(exc), str(exc), module_entries(exc))


def fingerprint(value):
    if isinstance(value, np.ndarray):
        return ("array", value.dtype.str, value.shape,
                value.tobytes() if value.dtype != object else tuple(map(fingerprint, value.flat)))
    if isinstance(value, (tuple, list)):
        return (type(value), tuple(map(fingerprint, value)))
    if isinstance(value, (float, np.floating, complex, np.complexfloating)):
        return (type(value), np.array(value).tobytes())
    return (type(value), value)


# ---- awkward arguments ----

class Awkward(Exception):
    """What the hostile objects raise."""


def _raises(*args, **kwargs):
    raise Awkward("hostile method")


class Falsy:
    """A value whose truth test raises."""

    def __bool__(self):
        raise Awkward("truth")

    def __repr__(self):
        return "<truth raises>"


def _hostile(label, **methods):
    cls = type("Hostile", (), dict(methods, __repr__=lambda self: label,
                                   __hash__=object.__hash__))
    return label, cls()


METHODS = ["__len__", "__iter__", "__index__", "__int__", "__eq__", "__ne__", "__bool__",
           "__array__", "__float__", "__complex__", "__add__", "__radd__", "__sub__",
           "__rsub__", "__mul__", "__rmul__", "__truediv__", "__rtruediv__", "__pow__",
           "__rpow__", "__and__", "__rand__", "__lt__", "__le__", "__gt__", "__ge__",
           "__getitem__", "__setitem__", "__neg__", "__abs__"]
WRONG_RESULTS = {
    "__len__": [-1, 2 ** 100, "3", 1.5], "__index__": [1.5, "1", 2 ** 100],
    "__int__": [1.5, "1"], "__float__": ["1.5", 1, None], "__complex__": [1.0, "1j"],
    "__bool__": [2, None, "yes"], "__eq__": [Falsy()], "__iter__": [5, None, [1.0]],
    "__array__": [[1.0], None, np.zeros((2, 2))],
}


def _three_items(item):
    """__getitem__ of a sequence of three `item`s (iteration through it ends)."""
    def getitem(self, i):
        if isinstance(i, int) and not 0 <= i < 3:
            raise IndexError(i)
        return item
    return getitem


def _awkward_objects():
    out = []
    every = {m: _raises for m in METHODS}
    out.append(_hostile("<everything raises>", **every))
    for m in METHODS:
        out.append(_hostile(f"<{m} raises>", **{m: _raises}))
        for wrong in WRONG_RESULTS.get(m, [None, "str", NotImplemented]):
            method = (lambda self, *a, w=wrong: w) if m != "__getitem__" else _three_items(wrong)
            out.append(_hostile(f"<{m} returns {wrong!r}>", **{m: method}))
    # Arithmetic that works but yields values that do not.
    hostile_result = out[0][1]
    out.append(_hostile("<arithmetic yields a hostile object>",
                        **{m: (lambda self, *a: hostile_result)
                           for m in METHODS if m not in ("__len__", "__index__", "__int__",
                                                         "__float__", "__complex__", "__bool__",
                                                         "__iter__", "__array__", "__getitem__")}))

    def failing_iteration(self):
        yield 1.0
        raise Awkward("iteration")
    out.append(_hostile("<iteration fails after one item>", __iter__=failing_iteration))
    out.append(_hostile("<length 5, items fail at 2>", __len__=lambda self: 5,
                        __getitem__=lambda self, i: 1.0 if i < 2 else _raises()))
    out.append(_hostile("<length 3, one item>", __len__=lambda self: 3,
                        __iter__=lambda self: iter([1.0])))
    out.append(_hostile("<array of a hostile object>",
                        __array__=lambda self, *a, **k: np.array([hostile_result], dtype=object)))
    return out


class FloatSubclass(float):
    pass


class IntSubclass(int):
    pass


class StrSubclass(str):
    pass


class NdSubclass(np.ndarray):
    pass


def _arrays():
    readonly = np.linspace(10.0, 20000.0, 7)
    readonly.flags.writeable = False
    return [
        ("0-d float array", np.array(3.0)), ("0-d int array", np.array(12)),
        ("empty float array", np.array([])), ("empty int array", np.array([], dtype=np.int64)),
        ("2-d array", np.linspace(0.0, 20000.0, 6).reshape(2, 3)),
        ("empty 2-d array", np.zeros((0, 3))), ("Fortran 2-d array", np.asfortranarray(np.ones((3, 2)))),
        ("int8 array", np.arange(5, dtype=np.int8)), ("uint8 array", np.arange(5, dtype=np.uint8)),
        ("int64 array", np.arange(0, 20000, 3000)), ("bool array", np.array([True, False, True])),
        ("float16 array", np.linspace(1, 30, 4).astype(np.float16)),
        ("float32 array", np.linspace(10, 20000, 5).astype(np.float32)),
        ("long double array", np.linspace(10, 20000, 5).astype(np.longdouble)),
        ("complex array", np.array([1 + 1j, 2.0])),
        ("big-endian float array", np.linspace(10.0, 20000.0, 5).astype(">f8")),
        ("strided float array", np.linspace(10.0, 20000.0, 12)[::3]),
        ("reversed float array", np.linspace(10.0, 20000.0, 6)[::-1]),
        ("read-only float array", readonly),
        ("object array", np.array([1.0, "a", None], dtype=object)),
        ("object array of floats", np.array([100.0, 9000.0], dtype=object)),
        ("string array", np.array(["a", "bc"])), ("bytes array", np.array([b"a"])),
        ("datetime array", np.array(["2020-01-01"], dtype="datetime64[D]")),
        ("structured array", np.zeros(2, dtype=[("a", "f8"), ("b", "i4")])),
        ("nan array", np.array([np.nan, 9000.0, np.inf, -np.inf])),
        ("ndarray subclass", np.linspace(10.0, 20000.0, 4).view(NdSubclass)),
        ("masked array", np.ma.array([9000.0, 1.0, 2.0], mask=[0, 1, 0])),
        ("huge values array", np.array([1e308, -1e308, 5e-324])),
    ]


def awkward_values():
    """(label, value) pairs: fresh objects, the same ones every time."""
    values = [
        ("None", None), ("True", True), ("False", False), ("0", 0), ("-1", -1),
        ("10**400", 10 ** 400), ("-10**400", -10 ** 400), ("2**63", 2 ** 63),
        ("nan", float("nan")), ("inf", float("inf")), ("-inf", float("-inf")),
        ("-0.0", -0.0), ("5e-324", 5e-324), ("1e308", 1e308), ("complex", 1 + 2j),
        ("1j", 1j), ("''", ""), ("'abc'", "abc"), ("'5.32e-7'", "5.32e-7"),
        ("str subclass", StrSubclass("12.0")), ("b''", b""), ("bytes", b"\x00\xff"),
        ("bytearray", bytearray(b"ab")), ("[]", []), ("[[]]", [[]]),
        ("nested list", [1.0, [2.0, [3.0]]]), ("list of None", [None, None]),
        ("()", ()), ("((),)", ((),)), ("(1.0, 2.0)", (1.0, 2.0)),
        ("three-tuple", (1.0, 2.0, 3.0)), ("dict", {"a": 1}), ("set", {1.0}),
        ("range", range(3)),
        ("float subclass", FloatSubclass(9000.0)), ("int subclass", IntSubclass(12)),
        ("object()", object()), ("type", float), ("function", len),
        ("np.float64", np.float64(9000.0)), ("np.float64 nan", np.float64("nan")),
        ("np.float32", np.float32(2.5)), ("np.float16", np.float16(1.5)),
        ("np.longdouble", np.longdouble(3.0)), ("np.int64", np.int64(12)),
        ("np.int8", np.int8(-1)), ("np.uint64 max", np.uint64(2 ** 64 - 1)),
        ("np.bool_", np.bool_(True)), ("np.complex128", np.complex128(1j)),
        ("np.str_", np.str_("x")), ("np.datetime64", np.datetime64("2020-01-01")),
        ("numpy module", np), ("slice", slice(1, 2)), ("Ellipsis", ...),
    ]
    return values + _arrays() + _awkward_objects()


class KeywordName(str):
    """A keyword name that is a str subclass, compared by its own __eq__."""

    def __hash__(self):
        return str.__hash__(self)


class EqRaises(KeywordName):
    def __eq__(self, other):
        raise Awkward("name comparison")


class EqFalsy(KeywordName):
    def __eq__(self, other):
        return Falsy()


def keyword_names(parameter):
    """Keyword names for `parameter`: as a string, as equal str subclasses, as names whose
    comparison misbehaves, and names that are not strings at all."""
    return [("str", parameter), ("equal str subclass", KeywordName(parameter)),
            ("str subclass whose == raises", EqRaises(parameter)),
            ("str subclass whose == is not a bool", EqFalsy(parameter)),
            ("unknown name", "no_such_parameter"), ("int name", 1), ("None name", None),
            ("bytes name", parameter.encode()),
            ("object whose == raises", _hostile("<name whose == raises>", __eq__=_raises)[1])]


def objects_of(kinds):
    """How many gc-tracked objects there are of each type in `kinds`."""
    counts = dict.fromkeys(kinds, 0)
    for o in gc.get_objects():
        t = type(o)
        if t in counts:
            counts[t] += 1
    return counts


def scope_types():
    """The types of lumafit's scope objects, found through a fresh inner function."""
    from Aerolume import lumafit
    found = []

    def quad(f, a, b, *rest):
        found.extend(type(o) for o in gc.get_referents(f) if type(o).__name__.startswith("_scope"))
        return 0.0, 0.0

    def curve_fit(f, x, y, *rest, **kw):
        found.extend(type(o) for o in gc.get_referents(f) if type(o).__name__.startswith("_scope"))
        return np.array([1.0]), np.zeros((1, 1))

    args, kwargs = Function(lumafit.rayleigh_fit, "Aerolume.lumafit", "").valid()[0]
    with Rebound(lumafit, "quad", quad), Rebound(lumafit, "curve_fit", curve_fit):
        lumafit.rayleigh_fit(*args, **kwargs)
    return sorted(set(found), key=lambda t: t.__name__)


def quiet_stdout():
    """remove_background_and_noise prints its diagnostics: send them nowhere."""
    import os
    sys.stdout = open(os.devnull, "w")
