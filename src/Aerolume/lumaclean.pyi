"""Pre-processing of a raw range-resolved lidar profile.

The chain: remove_background_and_noise, distance_zero_point_calibration,
distance_square_correction, overlap_factor_correction.
"""

from collections.abc import Iterable, Sequence
from typing import Any, SupportsIndex, TypeVar, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

_F = TypeVar("_F", bound=np.floating[Any])

__test__: dict[Any, Any]

# int(max_distance / distance_resolution): whole bins only, truncated toward zero.
def calculate_data_points(distance_resolution: float, max_distance: float) -> int: ...

# Returns (valid_data, background, noise).  background is the mean of
# data[background_start_idx:background_end_idx], noise a tenth of its standard deviation;
# valid_data lists the background-subtracted samples at or above sigma_factor * noise
# (the others are dropped, so it may be shorter than data).  Prints four lines.  The
# values are NumPy floats of the data's floating dtype (float64 for integers and lists).
# One signature, not overloads, so that stubtest checks the default 3.
def remove_background_and_noise(
    data: ArrayLike,
    background_start_idx: SupportsIndex | None,
    background_end_idx: SupportsIndex | None,
    sigma_factor: float = 3,
) -> tuple[list[np.floating[Any]], np.floating[Any], np.floating[Any]]: ...

# Returns (real_heights, first_peak_height): heights measured from the strongest bin,
# and that bin's nominal height.  An integer step gives integer heights.
@overload
def distance_zero_point_calibration(
    data: ArrayLike, nominal_peak_height: int
) -> tuple[NDArray[np.intp], np.intp]: ...
@overload
def distance_zero_point_calibration(
    data: ArrayLike, nominal_peak_height: float
) -> tuple[NDArray[np.float64], np.float64]: ...

# [data[i] / transmit_signal * heights[i] ** 2, ...] for an array of heights as long as
# data (ValueError if the lengths differ), or with the one number heights for every
# sample.  Always a Python list.
@overload
def distance_square_correction(
    data: NDArray[_F], transmit_signal: float, heights: float | NDArray[_F]
) -> list[_F]: ...
@overload
def distance_square_correction(
    data: Iterable[float], transmit_signal: float, heights: float | NDArray[Any] | Sequence[float]
) -> list[float]: ...

# data / overlap_factors, element-wise.
@overload
def overlap_factor_correction(data: NDArray[_F], overlap_factors: NDArray[_F] | float) -> NDArray[_F]: ...
@overload
def overlap_factor_correction(data: ArrayLike, overlap_factors: ArrayLike) -> NDArray[Any]: ...
