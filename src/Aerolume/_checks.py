"""Argument checks shared by the toolkit's modules.

Every public function converts and checks its arguments here before they reach the
core, so that bad input gives a ValueError or TypeError naming the argument instead of
a wrong result.
"""

from __future__ import annotations

import operator
from typing import SupportsIndex

import numpy as np
from numpy.typing import ArrayLike

from Aerolume._typing import BoolArray, FloatArray

__all__ = ["as_float64", "require_finite", "require_positive", "thread_count"]


def as_float64(value: ArrayLike, name: str, *, ndim_min: int = 0) -> FloatArray:
    """`value` as a C-contiguous float64 array of its own shape (a number stays 0-d); a
    TypeError naming `name` if it is not numeric, a ValueError if it has fewer than
    `ndim_min` dimensions."""
    try:
        array = np.asarray(value)
        if array.dtype.kind not in "biuf":
            raise TypeError
        array = np.asarray(array, dtype=np.float64, order="C")
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a real number or an array of real numbers, "
                        f"not {type(value).__name__}") from None
    if array.ndim < ndim_min:
        raise ValueError(f"{name} must have at least {ndim_min} dimension(s), "
                         f"got shape {array.shape}")
    return array


def require_finite(array: FloatArray, name: str) -> FloatArray:
    """`array`, or a ValueError naming `name` and the first non-finite element."""
    bad = ~np.isfinite(array)
    if bad.any():
        raise ValueError(f"{name} must be finite; {_first(array, bad)}")
    return array


def require_positive(array: FloatArray, name: str, *, allow_zero: bool = False) -> FloatArray:
    """`array`, or a ValueError naming `name` if any element is NaN, negative or (unless
    `allow_zero`) zero."""
    bad = ~(array >= 0) if allow_zero else ~(array > 0)
    if bad.any():
        kind = "non-negative" if allow_zero else "positive"
        raise ValueError(f"{name} must be {kind}; {_first(array, bad)}")
    return array


def _first(array: FloatArray, bad: BoolArray) -> str:
    index = tuple(int(i) for i in np.argwhere(bad)[0])
    return f"element {index} is {array[index]}" if index else f"got {array[()]}"


#: The most threads a call may ask for: the core never runs more than 256 workers, and
#: a count past this is a mistake, not a machine.
MAX_THREADS = 4096


def thread_count(threads: SupportsIndex | None) -> int:
    """The core's thread argument: None (all cores) is 0, else a positive integer up to
    MAX_THREADS."""
    if threads is None:
        return 0
    try:
        count = operator.index(threads)
    except TypeError:
        raise TypeError(f"threads must be None or a positive integer, not "
                        f"{type(threads).__name__}") from None
    if not 1 <= count <= MAX_THREADS:
        raise ValueError(f"threads must be None or an integer from 1 to {MAX_THREADS}, "
                         f"got {count}")
    return count
