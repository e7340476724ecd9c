"""Model atmospheres for a site without a sounding: the US Standard Atmosphere 1976 scaled
to the surface air the raw files record, the AFGL climatologies, and a sounding extended
down to the instrument.

Each is given as sounding levels (altitude m, pressure Pa, temperature K) so that it runs
through :class:`Aerolume.atmosphere.Sounding` like a radiosonde: between levels the
temperature is linear and the pressure log-linear in altitude, and above the top level the
standard atmosphere, scaled to that level, continues to 86 km.
"""

from __future__ import annotations

import math

import numpy as np

from Aerolume._typing import FloatArray
from Aerolume.constants import GAS_CONSTANT, MOLAR_MASS_DRY_AIR, STANDARD_GRAVITY

__all__ = ["CLIMATOLOGIES", "climatology_levels", "scaled_standard_levels",
           "extend_levels_down", "MAX_DOWNWARD_EXTENSION"]

# Hydrostatics in the standard atmosphere's constants.
_G0 = STANDARD_GRAVITY
_M0 = MOLAR_MASS_DRY_AIR
_R = GAS_CONSTANT
_EARTH_RADIUS = 6356766.0  # m, the standard's effective radius for gravity
_LAPSE_RATE = 0.0065   # K m^-1, tropospheric
_TROPOPAUSE = 11000.0  # m, where the scaling starts to fade ...
_FADED = 20000.0       # ... and where it has gone

#: The farthest a sounding is extended down to the instrument, m.
MAX_DOWNWARD_EXTENSION = 100.0

# AFGL atmospheric constituent profiles (Anderson, Clough, Kneizys, Chetwynd and Shettle
# 1986, AFGL-TR-86-0110, tables 1a-1c): altitude (km) with pressure (hPa) and temperature
# (K), to three figures, up to 50 km; the standard atmosphere continues above.
_ALTITUDE_KM = (0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                21, 22, 23, 24, 25, 30, 35, 40, 45, 50)
CLIMATOLOGIES = {
    "tropical": (
        (1013., 904., 805., 715., 633., 559., 492., 432., 378., 329., 286., 247., 213., 182.,
         156., 132., 111., 93.7, 78.9, 66.6, 56.5, 48.0, 40.9, 35.0, 30.0, 25.7, 12.2, 6.00,
         3.05, 1.59, 0.854),
        (300., 294., 288., 284., 277., 270., 264., 257., 250., 244., 237., 230., 224., 217.,
         210., 204., 197., 195., 199., 203., 207., 211., 215., 217., 219., 221., 232., 243.,
         254., 265., 270.)),
    "midlatitude_summer": (
        (1013., 902., 802., 710., 628., 554., 487., 426., 372., 324., 281., 243., 209., 179.,
         153., 130., 111., 95.0, 81.2, 69.5, 59.5, 51.0, 43.7, 37.6, 32.2, 27.7, 13.2, 6.52,
         3.33, 1.76, 0.951),
        (294., 290., 285., 279., 273., 267., 261., 255., 248., 242., 235., 229., 222., 216.,
         216., 216., 216., 216., 216., 217., 218., 219., 220., 222., 223., 224., 234., 245.,
         258., 270., 276.)),
    "midlatitude_winter": (
        (1018., 897.3, 789.7, 693.8, 608.1, 531.3, 462.7, 401.6, 347.3, 299.2, 256.8, 219.9,
         188.2, 161.0, 137.8, 117.8, 100.7, 86.1, 73.5, 62.8, 53.7, 45.8, 39.1, 33.4, 28.6,
         24.3, 11.1, 5.18, 2.53, 1.29, 0.682),
        (272.2, 268.7, 265.2, 261.7, 255.7, 249.7, 243.7, 237.7, 231.7, 225.7, 219.7, 219.2,
         218.7, 218.2, 217.7, 217.2, 216.7, 216.2, 215.7, 215.2, 215.2, 215.2, 215.2, 215.2,
         215.2, 215.2, 217.4, 227.8, 243.2, 258.5, 265.7)),
}


def climatology_levels(name: str) -> tuple[FloatArray, FloatArray, FloatArray]:
    """The levels of an AFGL climatology: altitude (m a.s.l.), pressure (Pa), temperature (K).

    Parameters
    ----------
    name : {"tropical", "midlatitude_summer", "midlatitude_winter"}

    Returns
    -------
    altitude, pressure, temperature : numpy.ndarray
    """
    if name not in CLIMATOLOGIES:
        raise ValueError(f"climatology must be one of {', '.join(CLIMATOLOGIES)}, got {name!r}")
    pressure, temperature = CLIMATOLOGIES[name]
    return (np.array(_ALTITUDE_KM, dtype=float) * 1000.0, np.array(pressure) * 100.0,
            np.array(temperature, dtype=float))


def _gravity(z: FloatArray) -> FloatArray:
    return _G0 * (_EARTH_RADIUS / (_EARTH_RADIUS + z)) ** 2


def scaled_standard_levels(altitude: float, temperature: float, pressure: float, *,
                           step: float = 100.0) -> tuple[FloatArray, FloatArray, FloatArray]:
    """The US Standard Atmosphere 1976 scaled to the air at the instrument.

    The standard temperature is shifted by the difference between the surface temperature
    and the standard's at `altitude`, by all of it up to 11 km, fading linearly to nothing
    at 20 km; the pressure follows hydrostatically from the surface pressure with that
    temperature (gravity falling with altitude).  At a tropical site 15 K warmer than the
    standard the density scale height of the troposphere grows by about 5 %, which the
    unscaled standard atmosphere misses.

    Parameters
    ----------
    altitude : float
        The instrument's altitude above sea level, m (from -500 to 5,000 m).
    temperature : float
        Air temperature there, K (200 to 340 K).
    pressure : float
        Air pressure there, Pa (50,000 to 110,000 Pa).
    step : float
        Spacing of the levels, m.

    Returns
    -------
    altitude, pressure, temperature : numpy.ndarray
        Levels from `altitude` to 86 km.
    """
    from Aerolume.atmosphere import STANDARD_ATMOSPHERE_TOP, standard_atmosphere

    for name, value, low, high in (("altitude", altitude, -500.0, 5000.0),
                                   ("temperature", temperature, 200.0, 340.0),
                                   ("pressure", pressure, 50_000.0, 110_000.0)):
        if not (isinstance(value, (int, float, np.floating, np.integer))
                and math.isfinite(value) and low <= value <= high):
            raise ValueError(f"surface {name} must be a number from {low:g} to {high:g}, "
                             f"got {value!r}")
    z: FloatArray = np.append(np.arange(float(altitude), STANDARD_ATMOSPHERE_TOP, step),
                              STANDARD_ATMOSPHERE_TOP)
    standard = standard_atmosphere(z)
    shift = float(temperature) - float(np.asarray(standard.temperature).ravel()[0])
    fade = np.clip((_FADED - z) / (_FADED - _TROPOPAUSE), 0.0, 1.0)
    t: FloatArray = np.asarray(standard.temperature, dtype=np.float64) + shift * fade
    # ln p by the trapezoidal rule on g / T, fine enough at 100 m steps (1e-5 relative).
    integrand = _gravity(z) / t
    steps = 0.5 * (integrand[1:] + integrand[:-1]) * np.diff(z)
    log_p = math.log(float(pressure)) - _M0 / _R * np.concatenate(([0.0], np.cumsum(steps)))
    return z, np.exp(log_p), t


def extend_levels_down(altitude: FloatArray, pressure: FloatArray, temperature: FloatArray,
                       bottom: float) -> tuple[FloatArray, FloatArray, FloatArray]:
    """Sounding levels extended down to `bottom` (m): one level more, its temperature
    from the lowest level's with the tropospheric lapse rate (6.5 K/km) and its pressure
    hydrostatic.  At most :data:`MAX_DOWNWARD_EXTENSION` metres; farther is a ValueError.
    """
    z0, p0, t0 = float(altitude[0]), float(pressure[0]), float(temperature[0])
    depth = z0 - float(bottom)
    if depth <= 0.0:
        return altitude, pressure, temperature
    if depth > MAX_DOWNWARD_EXTENSION:
        raise ValueError(f"the sounding's lowest level ({z0:g} m) is {depth:g} m above the "
                         f"instrument ({bottom:g} m); it can be extended down by at most "
                         f"{MAX_DOWNWARD_EXTENSION:g} m")
    t = t0 + _LAPSE_RATE * depth
    mean_t = 0.5 * (t + t0)
    p = p0 * math.exp(_M0 * float(_gravity(np.array(z0))) * depth / (_R * mean_t))
    return (np.concatenate(([float(bottom)], altitude)), np.concatenate(([p], pressure)),
            np.concatenate(([t], temperature)))
