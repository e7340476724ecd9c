"""The type stubs ship with the package, and the result types they promise are real.

stubtest (scripts/stubtest.sh) compares the stubs' parameters with the modules; what it
cannot see is the type of what the functions return, which these calls check.
"""
import importlib.resources

import numpy as np
import pytest

from Aerolume import lumaclean as lc
from Aerolume import lumafit as lf

WL = 5.32e-7
F64, F32 = np.array([9000.0, 9500.0]), np.array([9000.0, 9500.0], dtype=np.float32)
INTS = np.array([9000, 9500])


@pytest.mark.parametrize("name", ["lumafit.pyi", "lumaclean.pyi", "py.typed"])
def test_stubs_are_installed(name):
    assert importlib.resources.files("Aerolume").joinpath(name).is_file()


def array_of(dtype):
    return lambda x: isinstance(x, np.ndarray) and x.dtype == dtype


def exactly(t):
    return lambda x: type(x) is t


def list_of(t):
    return lambda x: type(x) is list and x and all(type(v) is t for v in x)


def pair(first, second):
    return lambda x: type(x) is tuple and len(x) == 2 and first(x[0]) and second(x[1])


@pytest.mark.parametrize("call, expected", [
    (lambda: lf.rayleigh_scattering_cross_section(WL), exactly(float)),
    (lambda: lf.rayleigh_scattering_cross_section(np.array([WL], np.float32)),
     array_of(np.float32)),
    (lambda: lf.molecular_number_density(5.0), exactly(float)),
    (lambda: lf.molecular_number_density(15.0), exactly(np.float64)),
    (lambda: lf.rayleigh_scattering_coefficient(WL, 15.0), exactly(np.float64)),
    (lambda: lf.molecular_extinction_coefficient(WL, 25.0), exactly(float)),
    (lambda: lf.distance_square_corrected_signal(F32, F32), array_of(np.float32)),
    (lambda: lf.theoretical_rayleigh_signal(F32, WL), array_of(np.float32)),
    (lambda: lf.theoretical_rayleigh_signal(INTS, WL), array_of(np.float64)),
    (lambda: lf.theoretical_rayleigh_signal([9000.0, 9500.0], WL), array_of(np.float64)),
    (lambda: lf.fit_func(INTS, 2.0, WL), array_of(np.float64)),
    (lambda: lf.integral_extinction_coefficient(F32, 1e-4, 1e-4),
     pair(array_of(np.float32), array_of(np.float32))),
    (lambda: lf.integral_extinction_coefficient([1.0, 2.0], 1e-4, 1e-4),
     pair(array_of(np.float64), array_of(np.float64))),
    (lambda: lf.rayleigh_fit(lf.fit_func(F64, 3.0, WL) / F64**2, F64, WL),
     pair(array_of(np.float64), exactly(np.float64))),
    (lambda: lf.rayleigh_fit(lf.fit_func(INTS, 3.0, WL) / INTS**2, INTS, WL),
     pair(array_of(np.float64), exactly(np.float64))),
    (lambda: lc.calculate_data_points(7.5, 15000), exactly(int)),
    (lambda: lc.distance_zero_point_calibration([0, 5, 9, 3], 7),
     pair(array_of(np.intp), exactly(np.intp))),
    (lambda: lc.distance_zero_point_calibration([0, 5, 9, 3], 7.5),
     pair(array_of(np.float64), exactly(np.float64))),
    (lambda: lc.distance_square_correction(F32, 2.0, F32), list_of(np.float32)),
    (lambda: lc.distance_square_correction([2.0, 4.0], 2.0, 10.0), list_of(float)),
    (lambda: lc.overlap_factor_correction(F32, np.float32(2.0)), array_of(np.float32)),
])
def test_results_have_the_stubbed_types(call, expected):
    assert expected(call())


@pytest.mark.parametrize("data, kind", [
    (np.array([10.0, 2.0, 2.2, 1.0, 3.0, 1.0, 3.0]), np.float64),
    (np.array([10.0, 2.0, 2.2, 1.0, 3.0, 1.0, 3.0], dtype=np.float32), np.float32),
    (np.array([10, 2, 2, 1, 3, 1, 3]), np.float64),
    ([10.0, 2.0, 2.2, 1.0, 3.0, 1.0, 3.0], np.float64),
])
def test_background_removal_gives_numpy_floats(capsys, data, kind):
    valid, background, noise = lc.remove_background_and_noise(data, 3, 7)
    capsys.readouterr()
    assert valid and all(type(v) is kind for v in valid)
    assert type(background) is kind and type(noise) is kind
