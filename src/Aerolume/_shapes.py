"""Shapes shared by the retrievals and the forward model: signals of shape (..., range),
inputs that broadcast to them, per-profile values, and the Dataset the results go in."""

from __future__ import annotations

import math
import warnings
from collections.abc import Mapping
from typing import Any, Protocol, Union, runtime_checkable

import numpy as np
import xarray as xr
from numpy.typing import ArrayLike

from Aerolume._checks import as_float64, require_finite, require_positive
from Aerolume._typing import AnyArray, BoolArray, FloatArray, IntArray

__all__ = ["Layout", "array", "per_profile", "scalar"]


@runtime_checkable
class HasInterval(Protocol):
    """What the retrievals take as a reference besides the array of intervals: an object
    with the intervals (..., 2) in m, such as a reference search's result."""

    @property
    def interval(self) -> FloatArray: ...


#: A reference interval (r_min, r_max) in m, an array (..., 2) of them, or an object with
#: them (:class:`HasInterval`).
Reference = Union[ArrayLike, HasInterval]


#: A molecular atmosphere: a mapping (or Dataset) of per-gate arrays such as ``beta_m``
#: and ``alpha_m``.
Molecular = Union[Mapping[str, ArrayLike], xr.Dataset]


def array(value: ArrayLike, name: str, *, ndim_min: int = 0) -> FloatArray:
    """`value` as a C-contiguous float64 array of its own shape (a number stays 0-d)."""
    return as_float64(value, name, ndim_min=ndim_min)


_array = array


def scalar(value: ArrayLike, name: str, *, positive: bool = False) -> float:
    """`value` as a finite float (positive if asked), or an error naming `name`."""
    out = as_float64(value, name)
    if out.size != 1:
        raise ValueError(f"{name} must be a single number, got shape {np.shape(value)}")
    require_finite(out, name)
    if positive:
        require_positive(out, name)
    return float(out.reshape(()))

def per_profile(value: ArrayLike, name: str, lead: tuple[int, ...] | None = None, *,
                positive: bool = False, allow_zero: bool = False, finite: bool = True,
                dtype: type[np.generic] = np.float64, shared: bool = True) -> AnyArray:
    """`value` as one value for every profile or one value per profile: the one rule every
    per-profile input (a calibration, a dead time, a station altitude...) follows.

    With `lead`, the shape of the profiles (the signal's shape without its range axis),
    `value` must broadcast to it; the result is flat, (profiles,), or (1,) when one value
    serves every profile and `shared`.  Without `lead` (the count is not known yet) a
    number stays 0-d and a one-dimensional array gives one value per profile.  Checks,
    naming `name`: real numbers (integers when `dtype` is an integer type), finite unless
    not `finite`, positive (or non-negative with `allow_zero`) if `positive`.
    """
    integer = np.dtype(dtype).kind in "iu"
    if lead is None and not integer and isinstance(value, (float, int)) \
            and not isinstance(value, bool) and math.isfinite(value) \
            and (not positive or value > 0 or (allow_zero and value == 0)):
        return np.array(float(value))  # the common case, without the array checks
    if integer:
        array = np.asarray(value)
        if array.dtype.kind not in "iu":
            raise TypeError(f"{name} must be integers, got dtype {array.dtype}")
        array = array.astype(dtype, copy=False)
    else:
        array = as_float64(value, name)
        if finite:
            require_finite(array, name)
        if positive:
            require_positive(array, name, allow_zero=allow_zero)
    if lead is None:
        if array.ndim > 1:
            raise ValueError(f"{name} must be one number or one per profile, got shape "
                             f"{array.shape}")
        if array.ndim == 1 and array.size == 0:
            raise ValueError(f"{name} must not be empty")
        return array
    if shared and array.size == 1:
        return np.ascontiguousarray(array.reshape(1))
    try:
        full = np.broadcast_to(array, lead)
    except ValueError:
        raise ValueError(f"{name} of shape {array.shape} does not fit the profiles "
                         f"{lead}") from None
    return np.ascontiguousarray(full.reshape(-1))


_DEFAULT_DIMS = {1: ("range",), 2: ("time", "range"), 3: ("time", "channel", "range")}


class Layout:
    """The shape of the signals a call works on and how the other inputs fit it.

    Parameters
    ----------
    signal : array_like or xarray.DataArray
        The signal, shape (..., range); a DataArray lends its dimensions and coordinates
        to the results.
    range_ : array_like
        Range of each gate along the beam from the instrument, m: one increasing,
        positive profile of the signal's last-axis length.
    name : str
        The signal's argument name, for errors.
    gaps : bool
        Accept NaN gates (gaps, such as saturated bins) with a RuntimeWarning instead of
        refusing them.
    stacklevel : int
        The warning's stack level, as warnings.warn counts it from here (default: the
        caller of the function that makes the layout).
    """

    def __init__(self, signal: ArrayLike, range_: ArrayLike, name: str = "signal", *,
                 gaps: bool = False, stacklevel: int = 3):
        dims: tuple[str, ...] | None = None
        self.coords: dict[str, Any] = {}
        if isinstance(signal, xr.DataArray):
            dims = tuple(str(d) for d in signal.dims)
            self.coords = {str(k): v for k, v in signal.coords.items()
                           if set(v.dims) <= set(signal.dims)}
        array = as_float64(signal, name, ndim_min=1)
        self.gaps = 0
        if not gaps:
            require_finite(array, name)
        elif not np.isfinite(array).all():
            if np.isinf(array).any():
                raise ValueError(f"{name} must be finite or NaN (a gap); "
                                 f"{name} holds infinite values")
            self.gaps = int(np.isnan(array).sum())
            warnings.warn(f"{name} has {self.gaps} NaN gate(s): the results are NaN wherever "
                          "the retrieval reaches through them", RuntimeWarning,
                          stacklevel=stacklevel)
        self.signal = array
        self.shape = self.signal.shape
        self.gates = self.shape[-1]
        self.lead = self.shape[:-1]
        self.profiles = int(np.prod(self.lead, dtype=np.int64))
        r = require_finite(as_float64(range_, "range", ndim_min=1), "range")
        if r.ndim != 1 or r.size != self.gates:
            raise ValueError(f"range must be one profile of {self.gates} gates (the last axis "
                             f"of {name}), got shape {r.shape}")
        require_positive(r, "range")
        if self.gates < 2 or not np.all(np.diff(r) > 0):
            raise ValueError("range must increase from gate to gate and hold at least 2 gates")
        self.range = r
        if dims is None:
            dims = _DEFAULT_DIMS.get(
                len(self.shape), tuple(f"dim_{i}" for i in range(len(self.shape) - 1)) + ("range",))
        self.dims: tuple[str, ...] = dims
        if "range" not in self.coords:
            self.coords["range"] = (self.dims[-1], r, {"units": "m",
                                                       "long_name": "range from the instrument"})

    # Inputs -------------------------------------------------------------------------

    def per_gate(self, value: ArrayLike, name: str, *, positive: bool = False,
                 allow_zero: bool = False, finite: bool = True) -> FloatArray:
        """`value` broadcast to the signal: one shared profile (gates,) when it is the same
        for every profile, else (profiles, gates), C-contiguous float64."""
        array = _array(value, name)
        if finite:
            require_finite(array, name)
        if positive:
            require_positive(array, name, allow_zero=allow_zero)
        try:
            if np.broadcast_shapes(array.shape, self.shape) != self.shape:
                raise ValueError
        except ValueError:
            raise ValueError(f"{name} of shape {array.shape} does not broadcast to the signal's "
                             f"shape {self.shape}") from None
        if all(n == 1 for n in array.shape[:-1]):
            return np.ascontiguousarray(np.broadcast_to(array.reshape(array.shape[-1:] or (1,)),
                                                        (self.gates,)))
        full = np.broadcast_to(array, self.shape).reshape(self.profiles, self.gates)
        return np.ascontiguousarray(full)

    def per_profile(self, value: ArrayLike, name: str, *, positive: bool = False,
                    allow_zero: bool = False) -> FloatArray:
        """One value per profile: shape (1,) when shared, else (profiles,)."""
        return per_profile(value, name, self.lead, positive=positive, allow_zero=allow_zero)

    def molecular(self, molecular: Molecular, names: tuple[str, ...], argument: str = "molecular"
                  ) -> dict[str, FloatArray]:
        """The named arrays of a molecular atmosphere, each per gate."""
        if not isinstance(molecular, Mapping):  # (a Dataset is a Mapping)
            raise TypeError(f"{argument} must be a mapping of arrays (such as the Dataset of "
                            f"a molecular profile), not {type(molecular).__name__}")
        out: dict[str, FloatArray] = {}
        for key in names:
            if key not in molecular:
                raise ValueError(f"{argument} has no {key!r}")
            value = molecular[key]
            if isinstance(value, xr.DataArray):
                value = value.values
            out[key] = self.per_gate(value, f"{argument}[{key!r}]", positive=True,
                                     allow_zero=key == "alpha_m")
        return out

    def interval_gates(self, reference: Reference, name: str = "reference"
                       ) -> tuple[IntArray, BoolArray]:
        """Gate intervals [begin, end) of reference intervals given in m: a pair
        (r_min, r_max) for every profile or an array (..., 2), one per profile.  Returns the
        (1 or profiles, 2) int64 gates and a mask of the profiles that have none (NaN)."""
        given = reference.interval if isinstance(reference, HasInterval) else reference
        bounds = as_float64(given, name, ndim_min=1)
        if bounds.shape[-1] != 2:
            raise ValueError(f"{name} must be a (r_min, r_max) pair or an array of them, "
                             f"got shape {bounds.shape}")
        if bounds.size == 2:
            bounds = bounds.reshape(1, 2)
        else:
            try:
                bounds = np.broadcast_to(bounds, self.lead + (2,)).reshape(self.profiles, 2)
            except ValueError:
                raise ValueError(f"{name} of shape {bounds.shape} does not fit the profiles "
                                 f"{self.lead}") from None
        missing = np.isnan(bounds[:, 0]) | np.isnan(bounds[:, 1])
        gates = np.zeros(bounds.shape, dtype=np.int64)
        gates[:, 1] = 1
        r = self.range
        for i in np.flatnonzero(~missing):
            low, high = bounds[i]
            if not (np.isfinite(low) and np.isfinite(high) and low < high):
                raise ValueError(f"{name} must run from a lower to a higher range, got "
                                 f"({low}, {high})")
            begin = int(np.searchsorted(r, low, side="left"))
            end = int(np.searchsorted(r, high, side="right"))
            if end - begin < 1:
                raise ValueError(f"{name} ({low:g}, {high:g}) m holds no gate of the range "
                                 f"{r[0]:g} to {r[-1]:g} m")
            gates[i] = begin, end
        return gates, missing

    # Results ------------------------------------------------------------------------

    def dataset(self, variables: Mapping[str, tuple[ArrayLike, Mapping[str, Any]]],
                attrs: Mapping[str, Any]) -> xr.Dataset:
        """A Dataset of per-gate results, on the signal's dimensions."""
        data_vars: dict[str, tuple[tuple[str, ...], AnyArray, Mapping[str, Any]]] = {}
        for key, (given, var_attrs) in variables.items():
            values = np.asarray(given)
            if values.shape == (self.gates,) and len(self.shape) > 1:
                data_vars[key] = ((self.dims[-1],), values, var_attrs)
            else:
                data_vars[key] = (self.dims, values.reshape(self.shape), var_attrs)
        return xr.Dataset(data_vars, coords=self.coords, attrs=attrs)
