"""Quality flags of the retrieved products, in the CF flag conventions.

Every retrieved product keeps its values; an integer flag on the same dimensions says
which to trust: 0 is good, and each set bit is one reason not to (:data:`FLAGS`).  The
bits are the same for every product (a bit that does not apply to one is never set
there), so one table explains every flag variable of a file:

"""

from __future__ import annotations

from collections.abc import Collection, Mapping
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from Aerolume._typing import BoolArray, FloatArray

if TYPE_CHECKING:
    import xarray as xr

__all__ = ["FLAGS", "DEFAULTS", "DEPOLARIZATION_ONLY", "DEPOLARIZATION_BITS", "flag_attributes",
           "flags", "summary", "product_summary"]

#: Flag bits by name, in order.
FLAGS = {
    "below_full_overlap": 1,
    "low_snr": 2,
    "in_cloud": 4,
    "above_cloud": 8,
    "no_reference": 16,
    "implausible_backscatter": 32,
    "implausible_extinction": 64,
    "implausible_lidar_ratio": 128,
    "not_retrieved": 256,
    "low_backscatter_ratio": 512,
    "calibration_from_history": 1024,
    "calibration_out_of_date": 2048,
    "implausible_depolarization": 4096,
}

#: The thresholds' defaults (the ``[quality]`` table of a configuration).
DEFAULTS = {"min_snr": 3.0, "min_range": 0.0, "n_sigma": 2.0,
            "lidar_ratio_range": [10.0, 150.0]}

#: The integer type of the flags (a CF 1.8 type).
DTYPE = np.int16


#: The bits only the depolarisation ratios set.
DEPOLARIZATION_ONLY = ("low_backscatter_ratio", "calibration_from_history",
                       "calibration_out_of_date", "implausible_depolarization")
#: The bits a depolarisation ratio's flag may have.
DEPOLARIZATION_BITS = ("below_full_overlap", "low_snr", "in_cloud", "above_cloud",
                       "not_retrieved") + DEPOLARIZATION_ONLY


def flag_attributes(product: str, names: Collection[str] | None = None) -> dict[str, Any]:
    """The CF attributes of the flag variable of `product` (e.g. "Klett-Fernald").

    Parameters
    ----------
    product : str
        The product's name, in the ``long_name``.
    names : sequence of str, optional
        The bits the flag may have; default those of the backscatter, extinction and
        lidar-ratio retrievals, every bit but :data:`DEPOLARIZATION_ONLY`.

    Returns
    -------
    dict
        ``long_name``, ``flag_masks``, ``flag_meanings`` and ``units``.
    """
    chosen = [n for n in FLAGS if (n in names if names is not None
                                   else n not in DEPOLARIZATION_ONLY)]
    return {"long_name": f"quality flag of the {product} products (0: good)",
            "flag_masks": np.array([FLAGS[n] for n in chosen], dtype=DTYPE),
            "flag_meanings": " ".join(chosen), "units": "1"}


def flags(range_: FloatArray, *, full_overlap: float, snr: FloatArray,
          cloud_mask: BoolArray | None = None, cloud_base: FloatArray | None = None,
          reference_found: BoolArray | None = None,
          backscatter: tuple[FloatArray, FloatArray | None] | None = None,
          extinction: tuple[FloatArray, FloatArray | None] | None = None,
          lidar_ratio: FloatArray | None = None, retrieved: BoolArray,
          settings: Mapping[str, Any] | None = None,
          depolarization: tuple[FloatArray, FloatArray | None] | None = None,
          backscatter_ratio: tuple[FloatArray, float] | None = None,
          calibration: Mapping[str, bool] | None = None) -> NDArray[np.int16]:
    """The flags of one product on (time, range).

    Parameters
    ----------
    range_ : numpy.ndarray, shape (range,)
        Range of each gate, m.
    full_overlap : float
        Full-overlap height along the beam (m; NaN: unknown, ``min_range`` alone counts).
    snr : numpy.ndarray, shape (time, range)
        Signal-to-noise ratio of the signal behind the product (the lower of two).
    cloud_mask : numpy.ndarray of bool, shape (time, range), optional
    cloud_base : numpy.ndarray, shape (time,), optional
        The lowest cloud base of each profile (m; NaN: none).
    reference_found : numpy.ndarray of bool, shape (time,), optional
    backscatter, extinction : (values, uncertainty), optional
        Arrays (time, range); the uncertainty may be None (no test then).
    lidar_ratio : numpy.ndarray, shape (time, range), optional
    retrieved : numpy.ndarray of bool, shape (time, range)
        Where the product has a value.
    settings : mapping, optional
        ``min_snr``, ``min_range``, ``n_sigma``, ``lidar_ratio_range``
        (:data:`DEFAULTS`).
    depolarization : (values, uncertainty), optional
        A depolarisation ratio (1) and its standard deviation (None: the bounds 0 and 1
        alone); flagged implausible beyond them by more than ``n_sigma`` deviations.
    backscatter_ratio : (values, minimum), optional
        The backscatter ratio behind a particle depolarisation ratio (broadcast to the
        product) and the least accepted.
    calibration : mapping, optional
        ``from_history`` and ``out_of_date`` (bool): the depolarisation calibration's
        state, set on every gate.

    Returns
    -------
    numpy.ndarray of int16, shape (time, range)
    """
    s = dict(DEFAULTS, **(settings or {}))
    shape = retrieved.shape
    out = np.zeros(shape, dtype=DTYPE)

    def set_bit(name: str, where: ArrayLike) -> None:
        out[np.broadcast_to(where, shape)] |= FLAGS[name]

    floor = max(float(s["min_range"]), float(full_overlap) if np.isfinite(full_overlap)
                else 0.0)
    set_bit("below_full_overlap", (range_ < floor)[None, :])
    with np.errstate(invalid="ignore"):
        set_bit("low_snr", ~(snr >= float(s["min_snr"])))
    if cloud_mask is not None:
        set_bit("in_cloud", cloud_mask.astype(bool))
    if cloud_base is not None:
        with np.errstate(invalid="ignore"):
            set_bit("above_cloud", range_[None, :] > np.asarray(cloud_base)[:, None])
    if reference_found is not None:
        set_bit("no_reference", ~np.asarray(reference_found, dtype=bool)[:, None])
    n_sigma = float(s["n_sigma"])
    for name, pair in (("implausible_backscatter", backscatter),
                       ("implausible_extinction", extinction)):
        if pair is None:
            continue
        values, sd = pair
        if sd is not None:
            with np.errstate(invalid="ignore"):
                set_bit(name, values < -n_sigma * sd)
    if lidar_ratio is not None:
        low, high = (float(v) for v in s["lidar_ratio_range"])
        with np.errstate(invalid="ignore"):
            set_bit("implausible_lidar_ratio", retrieved & ~((lidar_ratio >= low)
                                                             & (lidar_ratio <= high)))
    if depolarization is not None:
        values, sd = depolarization
        margin = 0.0 if sd is None else n_sigma * np.asarray(sd)
        with np.errstate(invalid="ignore"):
            set_bit("implausible_depolarization",
                    retrieved & ((values < -margin) | (values > 1.0 + margin)))
    if backscatter_ratio is not None:
        ratio, minimum = backscatter_ratio
        with np.errstate(invalid="ignore"):
            set_bit("low_backscatter_ratio", ~(np.asarray(ratio) >= float(minimum)))
    for name in ("from_history", "out_of_date"):
        if calibration is not None and calibration.get(name):
            set_bit(f"calibration_{name}", np.True_)
    set_bit("not_retrieved", ~retrieved)
    return out


def summary(flag: ArrayLike, name: str) -> str:
    """One line: the share of good gates among those retrieved and the main reasons.

    Parameters
    ----------
    flag : numpy.ndarray
        A product's quality flags (bits of :data:`FLAGS`).
    name : str
        What the line is about (retrieval and channel).

    Returns
    -------
    str
        The line.
    """
    flag = np.asarray(flag)
    retrieved = (flag & FLAGS["not_retrieved"]) == 0
    total = int(retrieved.sum())
    if total == 0:
        return f"{name}: no gate retrieved"
    good = int((retrieved & (flag == 0)).sum())
    reasons = []
    for reason, bit in FLAGS.items():
        if reason == "not_retrieved":
            continue
        count = int((retrieved & ((flag & bit) != 0)).sum())
        if count:
            reasons.append((count, reason))
    reasons.sort(reverse=True)
    why = ", ".join(f"{reason.replace('_', ' ')} {count / total:.0%}"
                    for count, reason in reasons)
    return (f"{name}: {good} of {total} retrieved gates good ({good / total:.0%})"
            + (f"; flagged: {why}" if why else ""))


def product_summary(ds: xr.Dataset) -> str:
    """One line per retrieval and channel of a product Dataset (see :func:`summary`).

    Parameters
    ----------
    ds : xarray.Dataset
        A product, with ``quality_flag`` and ``raman_quality_flag`` where retrieved.

    Returns
    -------
    str
        The lines, joined by newlines.
    """
    lines = []
    for variable, dim, what in (("quality_flag", "klett_channel", "Klett-Fernald"),
                                ("raman_quality_flag", "raman_channel", "Raman"),
                                ("volume_depolarization_flag", "depolarization_channel",
                                 "volume depolarisation"),
                                ("particle_depolarization_flag", "depolarization_channel",
                                 "particle depolarisation")):
        if variable not in ds.variables:
            continue
        for channel in ds[dim].values:
            lines.append(summary(ds[variable].sel({dim: channel}).values,
                                 f"{what} {channel}"))
    return "".join(line + "\n" for line in lines)
