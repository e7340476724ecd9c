"""Datasets made from finished arrays without xarray's conversions and merging.

A reader that has every array in its final dtype and shape still pays, through
``xarray.Dataset(...)``, for a copy of every variable, a merge of data variables and
coordinates, and checks that cannot fail: about a millisecond for the few dozen
variables of a raw-data Dataset, as long as reading ten raw files takes.  :func:`dataset` makes
the same Dataset directly: each dimension coordinate gets the pandas index the
constructor would give it, and the Dataset is put together by xarray's own direct
constructor.  Where an xarray lacks that constructor, the public one is used; the tests
check that both give identical Datasets.
"""

from __future__ import annotations

from collections.abc import Callable, Hashable, Mapping
from typing import Any, Union

import pandas as pd
import xarray as xr
from xarray.indexes import PandasIndex

from Aerolume._typing import AnyArray

__all__ = ["Coordinates", "dataset", "public_dataset"]

#: (dims, array, attrs): dims a name or tuple of names, array a NumPy array.
Spec = tuple[Union[str, tuple[str, ...]], AnyArray, Mapping[str, Any]]


def _dims(spec: Spec) -> tuple[str, ...]:
    dims = spec[0]
    return (dims,) if isinstance(dims, str) else tuple(dims)


def _sizes(specs: Mapping[str, Spec], known: Mapping[str, int] | None = None
           ) -> dict[str, int]:
    """The size of each dimension of `specs` (and of `known`, sizes found before)."""
    sizes = dict(known or {})
    for name, spec in specs.items():
        dims, array = _dims(spec), spec[1]
        if len(dims) != array.ndim:
            raise ValueError(f"variable {name!r} has {array.ndim} axes for dimensions {dims}")
        for dim, size in zip(dims, array.shape):
            if sizes.setdefault(dim, size) != size:
                raise ValueError(f"variable {name!r} has {size} along {dim!r} where another "
                                 f"has {sizes[dim]}")
    return sizes


def _index(array: AnyArray, dim: Hashable) -> PandasIndex:
    """The index xarray gives a dimension coordinate of these values: a pandas index of
    the array as it is (object arrays stay object, as xarray keeps them)."""
    if array.dtype.kind == "M":
        index = pd.DatetimeIndex(array, name=dim)
    else:
        index = pd.Index(array, name=dim, **({"dtype": object} if array.dtype.kind == "O" else {}))
    try:
        return PandasIndex(index, dim, fastpath=True)
    except TypeError:  # pragma: no cover - an xarray whose index takes no fastpath
        return PandasIndex(index, dim)


def public_dataset(data_vars: Mapping[str, Spec], coords: Mapping[str, Spec],
                   attrs: Mapping[str, Any]) -> xr.Dataset:
    """The Dataset the public constructor makes of the same specifications."""
    def variables(specs: Mapping[str, Spec]) -> dict[str, Spec | xr.Variable]:
        # Dimension coordinates stay tuples, for the constructor to index them.
        return {name: spec if _dims(spec) == (name,) else xr.Variable(*spec, fastpath=True)
                for name, spec in specs.items()}
    return xr.Dataset(variables(data_vars), coords=variables(coords), attrs=dict(attrs))


class Coordinates:
    """Coordinate variables and the indexes of the dimension coordinates, made from
    ``name: (dims, array, attrs)`` specifications before the data variables exist."""

    __slots__ = ("specs", "sizes", "variables", "indexes")

    def __init__(self, specs: Mapping[str, Spec]):
        self.specs = specs
        self.sizes = _sizes(specs)
        self.variables: dict[Hashable, xr.Variable] = {}
        self.indexes: dict[str, PandasIndex] = {}
        for name, spec in specs.items():
            if _dims(spec) == (name,):
                index = _index(spec[1], name)
                self.variables.update(
                    index.create_variables({name: xr.Variable(*spec, fastpath=True)}))
                self.indexes[name] = index
            else:
                self.variables[name] = xr.Variable(*spec, fastpath=True)


def dataset(data_vars: Mapping[str, Spec], coords: Mapping[str, Spec] | Coordinates,
            attrs: Mapping[str, Any]) -> xr.Dataset:
    """A Dataset of `data_vars` and `coords`, each ``name: (dims, array, attrs)`` (the
    coordinates may be made beforehand, as :class:`Coordinates`).

    Every array must be a NumPy array of its final dtype (datetime64[ns] for times,
    object for strings); sizes must agree along each dimension (a ValueError names the
    variable that disagrees).  The result is identical to ``xarray.Dataset(data_vars,
    coords=coords, attrs=attrs)``.
    """
    if not isinstance(coords, Coordinates):
        coords = Coordinates(coords)
    sizes = _sizes(data_vars, known=coords.sizes)
    construct: Callable[..., xr.Dataset] | None = getattr(xr.Dataset, "_construct_direct", None)
    if construct is None:  # pragma: no cover - every xarray this package supports has it
        return public_dataset(data_vars, coords.specs, attrs)
    variables: dict[Hashable, xr.Variable] = {
        name: xr.Variable(*spec, fastpath=True) for name, spec in data_vars.items()}
    variables.update(coords.variables)
    return construct(variables, set(coords.variables), sizes, dict(attrs) if attrs else None,
                     dict(coords.indexes))
