"""The native passes of lumafit give bit for bit what the bodies written on Python
objects give: the same values, result types, exceptions, messages and traceback entries.

The generic path is forced by rebinding a module global to an equal wrapper
(functools.partial adds no frame of its own, so even the tracebacks must match), by a
NumPy module proxy, or by a float subclass."""
import contextlib
import functools
import traceback
import types
import warnings

import numpy as np
import pytest

from Aerolume import lumafit

WL = 5.32e-7


@contextlib.contextmanager
def rebound(name, value):
    namespace = vars(lumafit)
    original = namespace[name]
    namespace[name] = value(original) if callable(value) and not isinstance(value, types.ModuleType) else value
    try:
        yield
    finally:
        namespace[name] = original


def wrapped(name):
    """The global `name` replaced by an equal wrapper: calls then go through the object."""
    return rebound(name, functools.partial)


def numpy_proxy():
    proxy = types.ModuleType("numpy")
    proxy.__dict__.update(np.__dict__)
    return rebound("np", proxy)


def outcome(fn, *args):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = fn(*args)
        except Exception as exc:
            entries = [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
                       if f.filename.startswith("Aerolume\\")]
            result = (type(exc), str(exc), entries)
    return result, [(w.category, str(w.message)) for w in caught]


def assert_same(a, b):
    (ra, wa), (rb, wb) = a, b
    assert wa == wb
    assert type(ra) is type(rb)
    if isinstance(ra, tuple):
        assert len(ra) == len(rb)
        for x, y in zip(ra, rb):
            assert_same((x, []), (y, []))
    elif isinstance(ra, np.ndarray):
        assert ra.dtype == rb.dtype and ra.shape == rb.shape
        assert ra.tobytes() == rb.tobytes()
    elif isinstance(ra, float):
        assert np.float64(ra).tobytes() == np.float64(rb).tobytes()
    else:
        assert ra == rb


rng = np.random.default_rng(20261208)
EDGES = np.array([0.0, -50.0, 10969.1, 10969.100000000002, 20013.1, 20013.100000000002,
                  32111.9, -1e6, 1e-300, -49.99999999999999])
RANGE_SETS = {
    "random": rng.uniform(-1e5, 32111.9, 3000),
    "edges": EDGES,
    "empty": np.array([]),
    "beyond the model": np.append(EDGES, 32112.0),
    "nan": np.append(EDGES, np.nan),
    "inf": np.append(EDGES, -np.inf),
    "below the earth's centre": np.array([1000.0, -6356766.0 - 50.0, -7e6]),
    "strided": rng.uniform(0, 30000, 400)[::3],
    "reversed": np.linspace(0, 30000, 301)[::-1],
}
WAVELENGTHS = [WL, 1.064e-6, np.float64(3.55e-7), 1, 0.0, 0, -1e-6, 1e300, float("nan")]


@pytest.mark.parametrize("ranges", RANGE_SETS.values(), ids=RANGE_SETS.keys())
@pytest.mark.parametrize("wavelength", WAVELENGTHS, ids=repr)
@pytest.mark.parametrize("through", ["rayleigh_scattering_coefficient",
                                     "rayleigh_scattering_cross_section",
                                     "molecular_number_density", "np"])
def test_theoretical_signal_matches_the_object_path(ranges, wavelength, through):
    fast = outcome(lumafit.theoretical_rayleigh_signal, ranges, wavelength)
    with numpy_proxy() if through == "np" else wrapped(through):
        slow = outcome(lumafit.theoretical_rayleigh_signal, ranges, wavelength)
    assert_same(fast, slow)


class FloatSubclass(float):
    pass


class IntSubclass(int):
    pass


ALTITUDES = ([float(a) for a in rng.uniform(-1500, 33, 400)] +
             [0.0, -0.0, 11.0191, 11.019100000000002, 20.0631, 32.1619, 32.16190000000001,
              -1000.0, -1000.0000000000001, -6356.766, -6356.767, -1e5, 5e-324, -5e-324,
              float("nan"), float("inf"), float("-inf")])
INTEGERS = [0, 1, -1, 11, 12, 20, 21, 32, 33, -1000, -6356, -10**6, 2**53 + 1, 10**400]


@pytest.mark.parametrize("altitude", ALTITUDES + INTEGERS, ids=repr)
def test_number_density_matches_the_object_path(altitude):
    subclass = FloatSubclass if isinstance(altitude, float) else IntSubclass
    assert_same(outcome(lumafit.molecular_number_density, altitude),
                outcome(lumafit.molecular_number_density, subclass(altitude)))


@pytest.mark.parametrize("wavelength", [WL, 0.0, 0, -2.0, 1e-80, 1e80, True], ids=repr)
@pytest.mark.parametrize("altitude", [0.05, 15.0, 25.0, 40.0, float("nan"), "x"], ids=repr)
def test_direct_calls_match_calls_through_the_objects(wavelength, altitude):
    fast = outcome(lumafit.molecular_extinction_coefficient, wavelength, altitude)
    with wrapped("rayleigh_scattering_coefficient"), \
            wrapped("rayleigh_scattering_cross_section"), wrapped("molecular_number_density"):
        slow = outcome(lumafit.molecular_extinction_coefficient, wavelength, altitude)
    assert_same(fast, slow)


def synthetic_profile(gates, top, C, noise, seed):
    r = np.random.default_rng(seed)
    distances = np.linspace(30.0, top, gates)
    signal = lumafit.fit_func(distances, C, WL) / distances ** 2
    return signal * (1 + noise * r.standard_normal(gates)), distances


PROFILES = {
    "clean": synthetic_profile(400, 15000.0, 1.0e3, 0.0, 1),
    "noisy": synthetic_profile(700, 20000.0, 2.0e3, 0.05, 2),
    "with a zero range": (np.linspace(0.0, 12000.0, 300) * 0 + 1e-12, np.linspace(0.0, 12000.0, 300)),
    "single gate in the window": (np.array([1e-12]), np.array([9000.0])),
    "negative signal": (-synthetic_profile(300, 12000.0, 5e2, 0.01, 3)[0],
                        synthetic_profile(300, 12000.0, 5e2, 0.01, 3)[1]),
    "beyond the model": (np.full(100, 1e-12), np.linspace(30.0, 40000.0, 100)),
}


@pytest.mark.parametrize("profile", PROFILES.values(), ids=PROFILES.keys())
@pytest.mark.parametrize("through", ["np", "theoretical_rayleigh_signal", "fit_func",
                                     "integral_extinction_coefficient"])
def test_rayleigh_fit_matches_the_object_path(profile, through):
    fast = outcome(lumafit.rayleigh_fit, *profile, WL)
    with numpy_proxy() if through == "np" else wrapped(through):
        slow = outcome(lumafit.rayleigh_fit, *profile, WL)
    assert_same(fast, slow)
