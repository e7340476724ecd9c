"""Physical constants and the conventions of the raw data, each in one place.

The Rayleigh optics and the molecular atmosphere keep theirs in the core
(``native/core/atmosphere/atmosphere.h``); this module holds those the Python layer uses.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike

from Aerolume._typing import FloatArray

__all__ = ["SPEED_OF_LIGHT", "RANGE_CLOCK_SPEED_OF_LIGHT", "mhz_per_count",
           "STANDARD_GRAVITY", "MOLAR_MASS_DRY_AIR", "GAS_CONSTANT", "EARTH_RADIUS", "EMITTED_NM"]

#: Speed of light in vacuum, m s^-1 (exact).
SPEED_OF_LIGHT = 299_792_458.0

#: The speed of light the transient recorders use to turn their sampling clock into a bin
#: width, m s^-1: a bin of width dr lasts 2 dr / 3e8 s (7.5 m at 20 MHz).  Every count
#: rate of the raw data is counts per shot over that duration; the reader in the core
#: (``native/core/io/licel.cpp``) uses the same value.
RANGE_CLOCK_SPEED_OF_LIGHT = 3.0e8

#: Standard gravity, m s^-2.
STANDARD_GRAVITY = 9.80665
#: Molar mass of dry air in the US Standard Atmosphere 1976, kg mol^-1.
MOLAR_MASS_DRY_AIR = 28.9644e-3
#: Gas constant of the US Standard Atmosphere 1976, J mol^-1 K^-1.
GAS_CONSTANT = 8.31432
#: Emitted wavelengths of the usual lidar lasers (nm): a channel within 1 nm of one of
#: these is elastic; the others are Raman or fluorescence channels.
EMITTED_NM = (355.0, 532.0, 1064.0, 308.0, 349.0, 351.0, 694.0, 910.0)

#: Mean Earth radius, m: the sphere on which a slant beam's altitude is computed.
EARTH_RADIUS = 6_371_000.0

#: Largest aerosol lidar ratio accepted anywhere (sr): aerosols have 10 to 150 sr, so a
#: value past this is a mistake rather than a setting.
MAX_LIDAR_RATIO = 1000.0


def mhz_per_count(bin_width: ArrayLike, shots: ArrayLike) -> FloatArray:
    """The count rate (MHz) of one count summed over `shots` laser shots in a bin of
    `bin_width` m: 1e-6 / (shots * 2 bin_width / :data:`RANGE_CLOCK_SPEED_OF_LIGHT`).

    Parameters
    ----------
    bin_width : array_like
        Bin width, m.
    shots : array_like
        Laser shots summed.

    Returns
    -------
    numpy.ndarray
        MHz per count, broadcast over both arguments (inf where either is 0).
    """
    width = np.asarray(bin_width, dtype=np.float64)
    summed = np.asarray(shots, dtype=np.float64)
    with np.errstate(divide="ignore"):
        rate: FloatArray = (RANGE_CLOCK_SPEED_OF_LIGHT / 2.0 * 1e-6) / (width * summed)
    return rate
