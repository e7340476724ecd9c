"""Molecular (Rayleigh) physics and the Rayleigh fit.

Units: wavelength in metres, ranges in metres, altitude in kilometres (a range d becomes
the altitude (d + 50) / 1000), extinction in m^-1, backscatter in m^-1 sr^-1.

Array results keep the floating dtype of the range or altitude array they are built on
(float64 for the usual float64 input); integer and boolean arrays, and Python sequences
of numbers, give float64.
"""

from collections.abc import Sequence
from typing import Any, TypeVar, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

_F = TypeVar("_F", bound=np.floating[Any])

# Range or altitude arrays that the functions turn into float64 results.
_ToFloat64 = NDArray[np.integer[Any]] | NDArray[np.bool_]

__test__: dict[Any, Any]

# Cross-section of one air molecule; element-wise for an array of wavelengths.
@overload
def rayleigh_scattering_cross_section(wavelength: float) -> float: ...
@overload
def rayleigh_scattering_cross_section(wavelength: NDArray[_F]) -> NDArray[_F]: ...

# Number density (m^-3) at an altitude in km, up to 32.1619 km (ValueError above).  Below
# 11.0191 km and above 20.0631 km a float, in between a NumPy float64.
def molecular_number_density(altitude: float) -> float | np.float64: ...

# beta_m in m^-1 sr^-1 at a wavelength in m and an altitude in km.
def rayleigh_scattering_coefficient(wavelength: float, altitude: float) -> float | np.float64: ...

# Taken equal to rayleigh_scattering_coefficient (the very same value).
def molecular_extinction_coefficient(wavelength: float, altitude: float) -> float | np.float64: ...

# signal * distances ** 2; `distances` must be an array (a list has no ** 2).
@overload
def distance_square_corrected_signal(signal: NDArray[_F] | float, distances: NDArray[_F]) -> NDArray[_F]: ...
@overload
def distance_square_corrected_signal(signal: ArrayLike, distances: NDArray[Any]) -> NDArray[Any]: ...

# The molecular coefficient at every range (m), evaluated at altitude (d + 50) / 1000.
@overload
def theoretical_rayleigh_signal(distances: NDArray[_F], wavelength: float) -> NDArray[_F]: ...
@overload
def theoretical_rayleigh_signal(
    distances: _ToFloat64 | Sequence[float], wavelength: float
) -> NDArray[np.float64]: ...

# The fit model C * T(d) / d ** 2 that rayleigh_fit adjusts.
@overload
def fit_func(distances: NDArray[_F], C: float, wavelength: float) -> NDArray[_F]: ...
@overload
def fit_func(distances: _ToFloat64, C: float, wavelength: float) -> NDArray[np.float64]: ...

# (integral of alpha_M, integral of alpha_A) from 0 to every altitude, molecular first.
@overload
def integral_extinction_coefficient(
    altitudes: NDArray[_F], alpha_M: float, alpha_A: float
) -> tuple[NDArray[_F], NDArray[_F]]: ...
@overload
def integral_extinction_coefficient(
    altitudes: _ToFloat64 | Sequence[float], alpha_M: float, alpha_A: float
) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...

# Returns (beta_A, C): the aerosol backscatter profile first, then the system constant
# fitted over the ranges 8000 m to 10000 m.
@overload
def rayleigh_fit(
    lidar_signal: ArrayLike, distances: NDArray[_F], wavelength: float
) -> tuple[NDArray[_F], np.float64]: ...
@overload
def rayleigh_fit(
    lidar_signal: ArrayLike, distances: _ToFloat64, wavelength: float
) -> tuple[NDArray[np.float64], np.float64]: ...
