"""lumaclean's native element loops give exactly what the loops written on NumPy scalars
give: the same list elements (NumPy float64 scalars), printed lines, warnings and
exceptions.  The loops as written are forced by a NumPy module proxy bound as `np`: the
native passes are only taken while `np` is NumPy as imported."""
import contextlib
import io
import traceback
import types
import warnings

import numpy as np
import pytest

from Aerolume import lumaclean


@contextlib.contextmanager
def objects_only():
    proxy = types.ModuleType("numpy")
    proxy.__dict__.update(np.__dict__)
    namespace = vars(lumaclean)
    namespace["np"] = proxy
    try:
        yield
    finally:
        namespace["np"] = np


def both_paths(fn, *args):
    fast = outcome(fn, *args)
    with objects_only():
        slow = outcome(fn, *args)
    assert_same(fast, slow)


def outcome(fn, *args):
    out = io.StringIO()
    with warnings.catch_warnings(record=True) as caught, contextlib.redirect_stdout(out):
        warnings.simplefilter("always")
        try:
            result = fn(*args)
        except Exception as exc:
            entries = [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
                       if f.filename.startswith("Aerolume\\")]
            result = (type(exc), str(exc), entries)
    return result, out.getvalue(), [(w.category, str(w.message)) for w in caught]


def flatten(value):
    if isinstance(value, (list, tuple)):
        return [type(value)] + [flatten(v) for v in value]
    if isinstance(value, np.ndarray):
        return (value.dtype, value.shape, value.tobytes())
    if isinstance(value, float):
        return (type(value), np.float64(value).tobytes())
    return value


def assert_same(a, b):
    assert flatten(a[0]) == flatten(b[0])
    assert a[1:] == b[1:]


rng = np.random.default_rng(7)
PROFILES = {
    "random": rng.random(3000) + 1.0,
    "worked": np.array([10.0, 2.0, 2.2, 1.0, 3.0, 1.0, 3.0]),
    "with nan": np.array([10.0, 2.0, np.nan, 1.0, 3.0, 1.0, 3.0]),
    "with inf": np.array([10.0, 2.0, 2.2, np.inf, 3.0, 1.0, 3.0]),
    "huge": np.array([1.7e308, -1.7e308, 1.0, 2.0, 3.0, 4.0, 5.0]),
    "tiny": np.array([5e-324, 1e-310, 0.0, -0.0, 1e-300, 2e-300, 3e-300]),
    "strided": (rng.random(900) * 5)[::3],
    "empty": np.array([]),
}
WINDOWS = [(2, 7), (3, 7), (5, 5), (-4, None), (0, 100)]
FACTORS = [3.0, 0.0, 2.5, -1.0, 1e308]


@pytest.mark.parametrize("profile", PROFILES.values(), ids=PROFILES.keys())
@pytest.mark.parametrize("window", WINDOWS, ids=str)
@pytest.mark.parametrize("factor", FACTORS, ids=repr)
def test_background_removal_matches_the_object_path(profile, window, factor):
    both_paths(lumaclean.remove_background_and_noise, profile, *window, factor)


@pytest.mark.parametrize("factor", [3, np.float64(2.0), 10**400], ids=repr)
def test_background_removal_with_other_factors(factor):
    both_paths(lumaclean.remove_background_and_noise, PROFILES["random"], 2000, 3000, factor)
    both_paths(lumaclean.remove_background_and_noise, PROFILES["random"], 2000, 3000)


STRENGTHS = [2.0, 0.5, 1e-300, 1e300, 0.0, -3.0, float("nan")]
HEIGHTS = [7.5, 0.0, -2.0, 1e200, 1e-200, 3, 10**10]


@pytest.mark.parametrize("profile", PROFILES.values(), ids=PROFILES.keys())
@pytest.mark.parametrize("strength", STRENGTHS, ids=repr)
@pytest.mark.parametrize("height", HEIGHTS, ids=repr)
def test_square_correction_with_one_height_matches_the_object_path(profile, strength, height):
    both_paths(lumaclean.distance_square_correction, profile, strength, height)


@pytest.mark.parametrize("profile", PROFILES.values(), ids=PROFILES.keys())
@pytest.mark.parametrize("strength", STRENGTHS, ids=repr)
def test_square_correction_per_sample_matches_the_object_path(profile, strength):
    heights = np.linspace(-300.0, 1e5, len(profile))
    both_paths(lumaclean.distance_square_correction, profile, strength, heights)


def test_native_elements_are_ordinary_numpy_scalars():
    corrected = lumaclean.distance_square_correction(np.array([1.5, 2.0]), 2.0, 3.0)
    expected = list(np.array([1.5, 2.0]) / 2.0 * 9.0)
    assert [type(x) for x in corrected] == [np.float64, np.float64]
    assert corrected == expected
    assert [hash(x) for x in corrected] == [hash(x) for x in expected]
    assert [repr(x) for x in corrected] == [repr(x) for x in expected]
