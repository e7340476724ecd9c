"""The molecular number density of the three-band US Standard Atmosphere 1976 model and
the Rayleigh cross-section: worked values, band edges, result types, failures with their
lines, and agreement with the same statements evaluated by Python itself."""

import builtins
import decimal
import fractions
import traceback
import warnings

import numpy as np
import pytest

import Aerolume.lumafit as L

FILE = "Aerolume\\lumafit"
OUT_OF_RANGE = "Altitude out of range for US1976 model"


# The functions' statements, as Python evaluates them.
def cross_section(wavelength):
    sigma = ((5.5e-7 / wavelength) ** 4) * 5.45e-32
    return sigma


def number_density(altitude):
    R0 = 6356.766
    rho_SL = 1.225
    m = 4.8096e-26
    H = altitude / (1 + altitude / R0)
    if altitude <= 11.0191:
        W = 1 - H / 44.3308
        rho = rho_SL * W ** 4.2559
    elif altitude <= 20.0631:
        W = np.exp((14.9647 - H) / 6.3416)
        rho = rho_SL * 0.15898 * W
    elif altitude <= 32.1619:
        W = 1 + (H - 24.902) / 221.552
        rho = rho_SL * 0.032722 * W ** -35.1629
    else:
        raise ValueError(OUT_OF_RANGE)
    N = rho / m
    return N


def line_of(exc, name):
    found = [e.lineno for e in traceback.extract_tb(exc.__traceback__)
             if e.filename == FILE and e.name == f"Aerolume.lumafit.{name}"]
    assert len(found) == 1, found
    return found[0]


@pytest.mark.parametrize("altitude, expected, kind", [
    (0, 2.5469893546240854e+25, float),
    (0.0, 2.5469893546240854e+25, float),
    (11.0191, 7.566417430e+24, float),
    (11.02, 7.565231748e+24, np.float64),
    (20.0631, 1.830360559e+24, np.float64),
    (20.07, 1.828363654e+24, float),
    (25.0, 8.334172950e+23, float),
    (30.0, 3.827836002e+23, float),
    (32.1619, 2.749746141e+23, float),
])
def test_number_density_worked_values(altitude, expected, kind):
    N = L.molecular_number_density(altitude)
    assert type(N) is kind
    assert N == pytest.approx(expected, rel=1e-9, abs=0)
    if altitude == 0:
        assert N == expected


def test_cross_section_worked_values():
    assert L.rayleigh_scattering_cross_section(5.32e-7) == pytest.approx(6.225879791e-32,
                                                                          rel=1e-9, abs=0)
    assert L.rayleigh_scattering_cross_section(5.5e-7) == 5.45e-32
    waves = np.array([3.55e-7, 5.32e-7, 1.064e-6])
    sigma = L.rayleigh_scattering_cross_section(waves)
    assert sigma.dtype == np.float64 and sigma.tolist() == [cross_section(w) for w in waves]


@pytest.mark.parametrize("edge", [11.0191, 20.0631])
def test_bands_join_at_their_edges(edge):
    below = L.molecular_number_density(edge)
    above = L.molecular_number_density(edge + 1e-9)
    assert abs(above - below) / below < 1e-4


def test_density_falls_with_altitude():
    altitudes = np.linspace(-0.5, 32.1619, 400)
    N = [L.molecular_number_density(float(a)) for a in altitudes]
    assert all(a > b for a, b in zip(N, N[1:]))


@pytest.mark.parametrize("altitude, error, message, line", [
    (32.162, ValueError, OUT_OF_RANGE, 55),
    (100, ValueError, OUT_OF_RANGE, 55),
    (float("inf"), ValueError, OUT_OF_RANGE, 55),
    (float("nan"), ValueError, OUT_OF_RANGE, 55),
    (-6356.766, ZeroDivisionError, "float division by zero", 43),
    (10 ** 400, OverflowError, "int too large to convert to float", 43),
    ("high", TypeError, "unsupported operand type(s) for /: 'str' and 'float'", 43),
    (np.array([1.0, 2.0]), ValueError, "The truth value of an array with more than one element "
                                       "is ambiguous. Use a.any() or a.all()", 45),
])
def test_number_density_failures(altitude, error, message, line):
    with pytest.raises(Exception) as caught:
        L.molecular_number_density(altitude)
    assert type(caught.value) is error and str(caught.value) == message
    assert line_of(caught.value, "molecular_number_density") == line
    if error is ValueError and line == 55:
        assert caught.value.args == (OUT_OF_RANGE,)


def test_the_raised_error_is_the_builtin_one(monkeypatch):
    monkeypatch.setitem(vars(L), "ValueError", KeyError)
    monkeypatch.setattr(builtins, "ValueError", KeyError)
    try:
        L.molecular_number_density(100)
    except BaseException as exc:
        caught = exc
    finally:
        monkeypatch.undo()
    assert type(caught) is ValueError and caught.args == (OUT_OF_RANGE,)


@pytest.mark.parametrize("wavelength, error, message", [
    (0, ZeroDivisionError, "float division by zero"),
    (0.0, ZeroDivisionError, "float division by zero"),
    (-0.0, ZeroDivisionError, "float division by zero"),
    (1e-90, OverflowError, None),      # the fourth power overflows: the C library's text
    (10 ** 400, OverflowError, "int too large to convert to float"),
    (None, TypeError, "unsupported operand type(s) for /: 'float' and 'NoneType'"),
])
def test_cross_section_failures(wavelength, error, message):
    if message is None:
        message = outcome(cross_section, wavelength)[2]
    with pytest.raises(Exception) as caught:
        L.rayleigh_scattering_cross_section(wavelength)
    assert type(caught.value) is error and str(caught.value) == message
    assert line_of(caught.value, "rayleigh_scattering_cross_section") == 16


def test_cross_section_of_an_array_with_a_zero_follows_numpy():
    with pytest.warns(RuntimeWarning):
        sigma = L.rayleigh_scattering_cross_section(np.array([0.0, 5.5e-7]))
    assert sigma.tolist() == [float("inf"), 5.45e-32]


# ---- the same value, type and failure as Python's own evaluation ----

class Altitude(float):
    pass


class Refusing(float):
    """Refuses to be compared with one band edge."""
    edge = None

    def __le__(self, other):
        if other == self.edge:
            raise ArithmeticError(f"compared with {other}")
        return float(self) <= other


def refusing(value, edge):
    r = Refusing(value)
    r.edge = edge
    return r


def outcome(f, x):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            r = f(x)
        except Exception as exc:
            return "raises", type(exc), str(exc)
    if isinstance(r, np.ndarray):
        return type(r), r.dtype, r.shape, repr(r.tolist())
    return type(r), repr(r)


SHARED_INPUTS = [
    0, 1, -3, 2 ** 53, 2 ** 53 + 1, -(2 ** 53) - 1, 10 ** 400, -10 ** 400, True,
    0.0, -0.0, 5.5, 1e-300, 1e300, float("nan"), float("inf"), float("-inf"),
    Altitude(5.0), Altitude(0.0), np.float64(0.0), np.float64(25.0), np.float32(5.0),
    np.int64(7), np.array(15.0), np.array([25.0]), np.array([0.0, 1.0]),
    fractions.Fraction(25, 2), decimal.Decimal(3), "x", None, 1j,
]
DENSITY_INPUTS = SHARED_INPUTS + [
    -1e4, -6356.766, -6356.7660000001, 11.0191, 11.02, 15, 20.0631, 20.07, 25, 30.0, 32.1619,
    32.162, np.float64(15.0), np.float64(-6356.766), Altitude(15.0), Altitude(-6356.766),
    refusing(5.0, 11.0191), refusing(15.0, 20.0631), refusing(25.0, 32.1619),
]
CROSS_SECTION_INPUTS = SHARED_INPUTS + [
    5.32e-7, 5.5e-7, -5.32e-7, 1e-90, 1e-320, Altitude(5.32e-7), np.float64(5.32e-7),
    np.array([5.32e-7, 0.0, -1.0]),
]


@pytest.mark.parametrize("altitude", DENSITY_INPUTS, ids=repr)
def test_number_density_is_pythons_evaluation(altitude):
    assert outcome(L.molecular_number_density, altitude) == outcome(number_density, altitude)


@pytest.mark.parametrize("wavelength", CROSS_SECTION_INPUTS, ids=repr)
def test_cross_section_is_pythons_evaluation(wavelength):
    assert outcome(L.rayleigh_scattering_cross_section, wavelength) == \
        outcome(cross_section, wavelength)


@pytest.mark.parametrize("altitude, line", [(refusing(5.0, 11.0191), 45),
                                            (refusing(15.0, 20.0631), 48),
                                            (refusing(25.0, 32.1619), 51)])
def test_failing_band_test_reports_its_line(altitude, line):
    with pytest.raises(ArithmeticError) as caught:
        L.molecular_number_density(altitude)
    assert line_of(caught.value, "molecular_number_density") == line


class Traced:
    """A number that records every operation done on it and fails at the n-th one."""

    def __init__(self, log, level, fail_at):
        self.log, self.level, self.fail_at = log, level, fail_at
        self.made_by = len(log)     # the operation whose result this is; 0: the argument

    def __repr__(self):
        return f"<result of operation {self.made_by}>"

    def record(self, name, other):
        self.log.append((name, type(other).__name__, repr(other)))
        if len(self.log) == self.fail_at:
            raise ArithmeticError(f"{name} #{self.fail_at}")
        return Traced(self.log, self.level, self.fail_at)

    def __le__(self, other):
        self.record("<=", other)
        return self.level <= other

    def exp(self):          # what np.exp calls for an object
        return self.record("exp", None)


for _name in ("add", "sub", "mul", "truediv", "pow"):
    for _side in ("", "r"):
        setattr(Traced, f"__{_side}{_name}__",
                lambda self, other, _n=f"{_side}{_name}": self.record(_n, other))


def trace(f, level, fail_at):
    log = []
    try:
        f(Traced(log, level, fail_at))
        error = None
    except ArithmeticError as exc:
        error = exc
    return log, error


# Every operation in order, with its other operand as written; a failure at each one
# reports the line of its statement.
@pytest.mark.parametrize("function, transcription, level, lines", [
    ("molecular_number_density", number_density, 5.0,
     [43, 43, 43, 45, 46, 46, 47, 47, 58]),
    ("molecular_number_density", number_density, 15.0,
     [43, 43, 43, 45, 48, 49, 49, 49, 50, 58]),
    ("molecular_number_density", number_density, 25.0,
     [43, 43, 43, 45, 48, 51, 52, 52, 52, 53, 53, 58]),
    ("rayleigh_scattering_cross_section", cross_section, 0.0, [16, 16, 16]),
])
def test_each_operation_in_order_and_its_line(function, transcription, level, lines):
    f = getattr(L, function)
    expected_log, _ = trace(transcription, level, 0)
    log, error = trace(f, level, 0)
    assert error is None and log == expected_log and len(log) == len(lines)
    for n, line in enumerate(lines, start=1):
        log, error = trace(f, level, n)
        assert error is not None and str(error) == f"{expected_log[n - 1][0]} #{n}"
        assert line_of(error, function) == line
