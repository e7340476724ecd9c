"""The molecular atmosphere and the Rayleigh optics of air, for lidar.

- :func:`standard_atmosphere`: the US Standard Atmosphere 1976 from its defining constants
  and seven layers, 0 m to 86,000 m geometric altitude.
- :func:`sounding`: an atmosphere from a radiosonde or model profile, continued above its
  top by the standard atmosphere scaled to match it.
- :func:`refractive_index`, :func:`king_factor`, :func:`depolarization_ratio`,
  :func:`rayleigh_cross_section`, :func:`rayleigh_backscatter_cross_section`,
  :func:`molecular_lidar_ratio`: the Rayleigh scattering of air at a wavelength and CO2
  content.
- :func:`molecular_optics`: extinction, backscatter and lidar ratio of air of a given number
  density, for the whole Rayleigh band or the Cabannes line alone.
- :func:`molecular_profile`: all of it along a lidar beam, with the two-way transmission
  and the attenuated backscatter, as an :class:`xarray.Dataset`.

Units are SI throughout: altitudes and ranges in m, wavelengths in m (vacuum), temperature
in K, pressure in Pa, number density in m^-3, cross-sections in m^2 (backscatter
cross-sections in m^2 sr^-1), extinction in m^-1, backscatter in m^-1 sr^-1, lidar ratios in
sr.  The CO2 content is a mole fraction in mol/mol (``400e-6`` for 400 ppm).  Altitudes are
geometric, above sea level.
"""

from __future__ import annotations

import functools
import math
import numbers
import warnings
from collections.abc import Callable, Sequence
from typing import Any, Literal, NamedTuple, TypeVar, Union

import numpy as np
import xarray as xr

from Aerolume import _core
from Aerolume._checks import as_float64 as _float64
from Aerolume._checks import require_finite, require_positive, thread_count
from Aerolume._shapes import per_profile
from Aerolume._typing import FloatArray, FloatOrArray

__all__ = [
    "Atmosphere",
    "MolecularOptics",
    "Sounding",
    "STANDARD_ATMOSPHERE_TOP",
    "DEFAULT_CO2",
    "standard_atmosphere",
    "beam_altitude",
    "sounding",
    "refractive_index",
    "king_factor",
    "depolarization_ratio",
    "rayleigh_cross_section",
    "rayleigh_backscatter_cross_section",
    "molecular_lidar_ratio",
    "molecular_optics",
    "molecular_profile",
    "scaled_standard_atmosphere",
    "climatology",
]

#: The top of the standard atmosphere, m geometric (84,852 m geopotential).
STANDARD_ATMOSPHERE_TOP = 86000.0
#: The CO2 mole fraction the optics assume unless told otherwise, mol/mol (400 ppm).
DEFAULT_CO2 = 400e-6

# Wavelengths accepted (m), and those the refractive index of air was measured over.
_WAVELENGTH_LIMITS = (200e-9, 4e-6)
_MEASURED_WAVELENGTHS = (230e-9, 1690e-9)
_METHODS = ("first_principles", "bucholtz")
_LINES = ("total", "cabannes")
_KINDS = ("linear", "natural")

ArrayLike = Union[float, Sequence[float], FloatArray]
#: The Raman lines of a scattering quantity: all of it, or the Cabannes line alone.
Line = Literal["total", "cabannes"]
#: How the cross-sections are computed.
Method = Literal["first_principles", "bucholtz"]
#: Which depolarisation ratio: of linearly polarised light backwards, or of natural light
#: at 90 degrees.
Kind = Literal["linear", "natural"]
_Choice = TypeVar("_Choice", bound=str)


class Atmosphere(NamedTuple):
    """The state of the air at some altitudes, each array shaped like the altitudes."""

    #: Kinetic temperature, K.
    temperature: FloatOrArray
    #: Pressure, Pa.
    pressure: FloatOrArray
    #: Number density of air molecules, m^-3.
    number_density: FloatOrArray


class MolecularOptics(NamedTuple):
    """The Rayleigh optics of air."""

    #: Extinction coefficient alpha_m, m^-1.
    alpha: FloatOrArray
    #: Backscatter coefficient beta_m, m^-1 sr^-1.
    beta: FloatOrArray
    #: Lidar ratio S_m = alpha_m / beta_m, sr.
    lidar_ratio: FloatOrArray


def _result(array: FloatArray) -> FloatOrArray:
    """`array`, or its one value as a NumPy scalar if it has no dimensions."""
    return np.float64(array[()]) if array.ndim == 0 else array


def _first_outside(values: FloatArray, low: float, high: float) -> str:
    bad = ~((values >= low) & (values <= high))
    index = tuple(int(i) for i in np.argwhere(bad)[0])
    return f"element {index} is {values[index]!r}" if index else f"got {values[()]!r}"


# ---- The US Standard Atmosphere 1976 ------------------------------------------------------

def standard_atmosphere(altitude: ArrayLike, *, threads: int | None = None) -> Atmosphere:
    """The US Standard Atmosphere 1976.

    Computed from the standard's defining constants and its seven layers of constant
    lapse rate (geometric altitude converted to geopotential, r0 = 6,356,766 m), not from
    a fit or a table.

    Parameters
    ----------
    altitude : float or array_like
        Geometric altitude above sea level, m, from 0 to 86,000 m.
    threads : int, optional
        Number of threads for large inputs; all cores by default.

    Returns
    -------
    Atmosphere
        ``temperature`` (K), ``pressure`` (Pa) and ``number_density`` (m^-3), each shaped
        like `altitude`.  The temperature is the kinetic temperature: the layers'
        molecular-scale temperature times the standard's molecular-weight ratio M/M0, which
        differs from 1 above 80 km only (by 4.2e-4 at 86 km).  The number density is
        N_A P / (R* T) with the standard's constants.

    Raises
    ------
    ValueError
        If an altitude is not finite or outside 0 m to 86,000 m: the standard is not
        extrapolated.

    Examples
    --------
    >>> air = standard_atmosphere([0.0, 10_000.0])
    >>> air.temperature.round(3), air.pressure.round(1)
    (array([288.15 , 223.252]), array([101325. ,  26499.9]))
    """
    z = require_finite(_float64(altitude, "altitude"), "altitude")
    _require_in_standard(z, "altitude")
    return Atmosphere(*map(_result, _core.standard_atmosphere(z, thread_count(threads))))


def _require_in_standard(z: FloatArray, name: str) -> None:
    if z.size and not ((z >= 0.0).all() and (z <= STANDARD_ATMOSPHERE_TOP).all()):
        raise ValueError(f"{name} must be within 0 m to {STANDARD_ATMOSPHERE_TOP:.0f} m, the "
                         f"range of the US Standard Atmosphere 1976; "
                         f"{_first_outside(z, 0.0, STANDARD_ATMOSPHERE_TOP)}")


# ---- Soundings ---------------------------------------------------------------------------

class Sounding:
    """An atmosphere from a sounding (radiosonde or model profile).

    Call it with altitudes (m) to get an :class:`Atmosphere` record.  Between the
    sounding's levels the temperature is interpolated linearly and the pressure
    log-linearly in altitude; the number density is P / (k T) with k = R*/N_A of the
    standard atmosphere.  Above the top level the sounding continues with the US Standard
    Atmosphere 1976 scaled so that its temperature and pressure match the top level (both
    multiplied by a constant factor), up to 86,000 m (or the sounding's top if higher).
    Below the lowest level there is no atmosphere: such altitudes raise ValueError.

    ``Sounding(altitude, pressure, temperature)`` is the same as
    ``sounding(altitude, pressure, temperature)``, which cleans the levels.

    Attributes
    ----------
    altitude, pressure, temperature : numpy.ndarray
        The levels kept, by increasing altitude (m, Pa, K).
    bottom, top : float
        The lowest and highest level, m.
    ceiling : float
        The highest altitude served, m: 86,000 m or `top` if higher.
    """

    __slots__ = ("_altitude", "_pressure", "_temperature", "_log_pressure")

    def __init__(self, altitude: ArrayLike, pressure: ArrayLike, temperature: ArrayLike):
        self._set(*_clean_levels(altitude, pressure, temperature, stacklevel=3))

    def _set(self, altitude: FloatArray, pressure: FloatArray, temperature: FloatArray,
             log_pressure: FloatArray | None) -> None:
        # Fresh arrays, made read-only: nothing outside can change the levels.  The log
        # pressure may come later (None): see _with_log_pressures.
        self._altitude, self._pressure = altitude, pressure
        self._temperature, self._log_pressure = temperature, log_pressure
        for array in (altitude, pressure, temperature, log_pressure):
            if array is not None:
                array.setflags(write=False)

    @property
    def altitude(self) -> FloatArray:
        return self._altitude

    @property
    def pressure(self) -> FloatArray:
        return self._pressure

    @property
    def temperature(self) -> FloatArray:
        return self._temperature

    @property
    def bottom(self) -> float:
        return float(self._altitude[0])

    @property
    def top(self) -> float:
        return float(self._altitude[-1])

    @property
    def ceiling(self) -> float:
        return max(self.top, STANDARD_ATMOSPHERE_TOP) if self.top >= 0.0 else self.top

    def __repr__(self) -> str:
        return (f"<Sounding of {self._altitude.size} levels from {self.bottom:g} m to "
                f"{self.top:g} m>")

    def __call__(self, altitude: ArrayLike) -> Atmosphere:
        """The air at `altitude` (m): an :class:`Atmosphere` shaped like it.

        Raises ValueError for an altitude below the lowest level or above `ceiling`.
        """
        z = require_finite(_float64(altitude, "altitude"), "altitude")
        self._require_within(z, "altitude")
        return Atmosphere(*map(_result, _core.sounding_atmosphere(*self._tables(), z)))

    def _require_within(self, z: FloatArray, name: str) -> None:
        if z.size and not ((z >= self.bottom).all() and (z <= self.ceiling).all()):
            raise ValueError(f"{name} must be within {self.bottom:g} m (the sounding's lowest "
                             f"level) and {self.ceiling:g} m; "
                             f"{_first_outside(z, self.bottom, self.ceiling)}")

    def _tables(self) -> tuple[FloatArray, FloatArray, FloatArray, FloatArray]:
        if self._log_pressure is None:
            _with_log_pressures([self], 1)
        log_pressure = self._log_pressure
        assert log_pressure is not None  # (made just above)
        return self._altitude, self._temperature, self._pressure, log_pressure


def _with_log_pressures(soundings: Sequence[Sounding], threads: int) -> None:
    """Gives every sounding its table of ln pressure, those still without one computed
    together on up to `threads` threads: for a time-height set with a sounding per profile
    the logarithms of all their levels are most of the cost of making the soundings."""
    missing = list({id(s): s for s in soundings if s._log_pressure is None}.values())
    if missing:
        for s, log_pressure in zip(missing, _core.sounding_log_pressures(
                [s._pressure for s in missing], threads)):
            log_pressure.setflags(write=False)
            s._log_pressure = log_pressure


def sounding(altitude: ArrayLike, pressure: ArrayLike, temperature: ArrayLike) -> Sounding:
    """An atmosphere from a radiosonde or model profile.

    The levels may come in any order.  Levels with a NaN or infinite value are dropped, and
    so are exact repetitions of a level, each with a warning that says how many.

    Parameters
    ----------
    altitude : array_like
        Geometric altitude of each level above sea level, m.
    pressure : array_like
        Pressure at each level, Pa (not hPa).
    temperature : array_like
        Temperature at each level, K.

    Returns
    -------
    Sounding
        A callable mapping altitude (m) to an :class:`Atmosphere` record, like
        :func:`standard_atmosphere`.  Temperature is interpolated linearly, pressure
        log-linearly; above the top level the standard atmosphere, scaled to match the top
        level in temperature and pressure, continues the sounding to 86,000 m; below the
        lowest level the sounding refuses altitudes.

    Raises
    ------
    ValueError
        If the arrays are not one-dimensional and of equal length, if fewer than two levels
        remain, if a pressure or temperature is not positive, if two levels at one altitude
        disagree, or if the pressure rises with altitude.

    Warns
    -----
    UserWarning
        When levels with NaN or infinite values, or repeated levels, are dropped.
    """
    result = Sounding.__new__(Sounding)
    result._set(*_clean_levels(altitude, pressure, temperature, stacklevel=3))
    return result


def _clean_levels(altitude: ArrayLike, pressure: ArrayLike, temperature: ArrayLike, *,
                  stacklevel: int
                  ) -> tuple[FloatArray, FloatArray, FloatArray, FloatArray | None]:
    """Fresh arrays of altitude, pressure and temperature of the levels kept, by
    increasing altitude, and None for their ln pressure (made when first needed);
    warnings point `stacklevel` frames up."""
    arrays: dict[str, FloatArray] = {}
    for name, value in (("altitude", altitude), ("pressure", pressure),
                        ("temperature", temperature)):
        array = _float64(value, name)
        if array.ndim != 1:
            raise ValueError(f"{name} must be one-dimensional (one value per level), "
                             f"got shape {array.shape}")
        arrays[name] = array
    z, p, t = arrays["altitude"], arrays["pressure"], arrays["temperature"]
    if not z.size == p.size == t.size:
        raise ValueError(f"altitude, pressure and temperature must have one value per level: "
                         f"got {z.size}, {p.size} and {t.size} values")
    # One pass over the levels in the core finds what is wrong, if anything; the levels
    # are sorted out here only then.
    levels = _core.sounding_levels(z, p, t, False)
    if (levels[4] & ~_IMPLAUSIBLE) == 0 and z.size >= 2:
        if levels[4]:
            _require_plausible(*levels[:3])
        return levels[:4]
    if not np.isfinite(z + p + t).all():
        usable = np.isfinite(z) & np.isfinite(p) & np.isfinite(t)
        if not usable.all():
            dropped = int(z.size - usable.sum())
            warnings.warn(f"sounding: dropped {dropped} of {z.size} levels with a NaN or "
                          f"infinite altitude, pressure or temperature", UserWarning,
                          stacklevel=stacklevel)
            z, p, t = z[usable], p[usable], t[usable]
    if z.size and not (p.min() > 0.0 and t.min() > 0.0):
        require_positive(p, "pressure")
        require_positive(t, "temperature")
    if not (z[1:] > z[:-1]).all():
        order = np.argsort(z, kind="stable")
        z, p, t = z[order], p[order], t[order]
        same = z[1:] == z[:-1]
        if same.any():
            conflict = same & ((p[1:] != p[:-1]) | (t[1:] != t[:-1]))
            if conflict.any():
                i = int(np.argmax(conflict))
                raise ValueError(f"altitude: two levels at {z[i]:g} m disagree (pressure "
                                 f"{p[i]:g} and {p[i + 1]:g} Pa, temperature {t[i]:g} and "
                                 f"{t[i + 1]:g} K)")
            keep = np.concatenate(([True], ~same))
            warnings.warn(f"sounding: dropped {int(same.sum())} repeated level(s)",
                          UserWarning, stacklevel=stacklevel)
            z, p, t = z[keep], p[keep], t[keep]
    if z.size < 2:
        raise ValueError(f"a sounding needs at least two levels with finite values, "
                         f"got {z.size}")
    rising = p[1:] > p[:-1]
    if rising.any():
        i = int(np.argmax(rising))
        raise ValueError(f"pressure must not rise with altitude: {p[i]:g} Pa at {z[i]:g} m, "
                         f"{p[i + 1]:g} Pa at {z[i + 1]:g} m")
    _require_plausible(z, p, t)
    return _core.sounding_levels(z, p, t, False)[:4]


# The flags of sounding_levels that _require_plausible explains: a temperature under
# 100 K, a pressure under 10,000 Pa below 10 km.
_IMPLAUSIBLE = 16 | 32


def _require_plausible(z: FloatArray, p: FloatArray, t: FloatArray) -> None:
    """Refuses levels in the wrong units: air below 10 km is never under 100 hPa, and
    nowhere up to 86 km colder than 100 K."""
    if float(t.min()) < 100.0:
        i = int(np.argmin(t))
        raise ValueError(f"temperature must be in K: {t[i]:g} at {z[i]:g} m is colder than any "
                         f"air up to 86 km")
    low = (z < 10_000.0) & (p < 10_000.0)
    if low.any():
        i = int(np.argmax(low))
        raise ValueError(f"pressure must be in Pa (not hPa): {p[i]:g} at {z[i]:g} m is below "
                         f"any air pressure under 10 km")


# ---- Rayleigh optics of air --------------------------------------------------------------

def _wavelength(wavelength: ArrayLike) -> FloatArray:
    w = require_positive(require_finite(_float64(wavelength, "wavelength"), "wavelength"),
                         "wavelength")
    low, high = _WAVELENGTH_LIMITS
    if w.size and not ((w >= low).all() and (w <= high).all()):
        raise ValueError(f"wavelength must be in m, between {low:g} m and {high:g} m; "
                         f"{_first_outside(w, low, high)}")
    low, high = _MEASURED_WAVELENGTHS
    if w.size and not ((w >= low).all() and (w <= high).all()):
        warnings.warn(f"wavelength outside {low * 1e9:g} nm to {high * 1e9:g} nm, where the "
                      f"refractive index of air was measured: its dispersion formula is "
                      f"extrapolated", UserWarning, stacklevel=3)
    return w


def _co2(co2: object) -> float:
    if isinstance(co2, bool) or not isinstance(co2, numbers.Real):
        raise TypeError(f"co2 must be a real number (a mole fraction, mol/mol), "
                        f"not {type(co2).__name__}")
    value = float(co2)
    if not 0.0 <= value <= 0.01:
        raise ValueError(f"co2 must be a mole fraction in mol/mol between 0 and 0.01 "
                         f"(400e-6 for 400 ppm), got {co2!r}")
    return value


def _choice(value: _Choice, name: str, choices: tuple[str, ...]) -> _Choice:
    if not isinstance(value, str) or value not in choices:
        raise ValueError(f"{name} must be one of {', '.join(map(repr, choices))}, "
                         f"got {value!r}")
    return value


def refractive_index(wavelength: ArrayLike, co2: float = DEFAULT_CO2) -> FloatOrArray:
    """The refractive index of standard air (15 degC, 101,325 Pa).

    Peck and Reeder (1972), for 300 ppm CO2, scaled to `co2` as Bodhaine et al. (1999)
    do: (n - 1) = (n - 1)_300 (1 + 0.54 (co2 - 300e-6)).

    Parameters
    ----------
    wavelength : float or array_like
        Vacuum wavelength, m (200 nm to 4 um; a warning outside 230 nm to 1690 nm, where
        the formula was measured).
    co2 : float
        CO2 mole fraction, mol/mol.

    Returns
    -------
    numpy.ndarray or numpy.float64
        n (1), shaped like `wavelength`; 1.000278 at 532 nm.
    """
    w, c = _wavelength(wavelength), _co2(co2)
    return _result(1.0 + _core.refractivity(w, c))


def king_factor(wavelength: ArrayLike, co2: float = DEFAULT_CO2) -> FloatOrArray:
    """The King correction factor of air, F = (6 + 3 rho) / (6 - 7 rho).

    From the N2, O2, Ar and CO2 contributions weighted by their volume mixing ratios
    (Bates 1984; Bodhaine et al. 1999, eq. 23).

    Parameters
    ----------
    wavelength : float or array_like
        Vacuum wavelength, m.
    co2 : float
        CO2 mole fraction, mol/mol.

    Returns
    -------
    numpy.ndarray or numpy.float64
        F (1), shaped like `wavelength`; 1.0490 at 532 nm.
    """
    w, c = _wavelength(wavelength), _co2(co2)
    return _result(_core.king_factor(w, c))


def depolarization_ratio(wavelength: ArrayLike, co2: float = DEFAULT_CO2, *,
                         kind: Kind = "linear", line: Line = "total") -> FloatOrArray:
    """The depolarisation ratio of light scattered by air.

    With eps = 9 (F - 1) / 2 the squared anisotropy of the polarisability (F the King
    factor) and, for the Cabannes line, eps / 4 in its place:

    - ``kind="linear"``: the linear depolarisation ratio of linearly polarised light
      scattered backwards, what a polarisation lidar measures on clean air,
      3 eps / (45 + 4 eps): 0.0144 for the whole band and 0.0037 for the Cabannes line at
      532 nm;
    - ``kind="natural"``: the depolarisation ratio of unpolarised light scattered at 90
      degrees, 6 eps / (45 + 7 eps), the rho of F = (6 + 3 rho) / (6 - 7 rho): 0.0284 at
      532 nm for the whole band.

    Parameters
    ----------
    wavelength : float or array_like
        Vacuum wavelength, m.
    co2 : float
        CO2 mole fraction, mol/mol.
    kind : {"linear", "natural"}
        Which ratio (above).
    line : {"total", "cabannes"}
        The whole Rayleigh band (Cabannes line and rotational Raman wings, a wide filter)
        or the Cabannes line alone (a narrow filter).

    Returns
    -------
    numpy.ndarray or numpy.float64
        The ratio (1), shaped like `wavelength`.
    """
    kind = _choice(kind, "kind", _KINDS)
    line = _choice(line, "line", _LINES)
    w, c = _wavelength(wavelength), _co2(co2)
    return _result(_core.depolarization_ratio(w, c, line, kind == "linear"))


def rayleigh_cross_section(wavelength: ArrayLike, co2: float = DEFAULT_CO2,
                           method: Method = "first_principles") -> FloatOrArray:
    """The total Rayleigh scattering cross-section of air per molecule.

    Parameters
    ----------
    wavelength : float or array_like
        Vacuum wavelength, m.
    co2 : float
        CO2 mole fraction, mol/mol.
    method : {"first_principles", "bucholtz"}
        ``"first_principles"``: 24 pi^3 (n^2 - 1)^2 / (lambda^4 N_s^2 (n^2 + 2)^2) F with
        the refractive index n and King factor F above and N_s = 2.546899e25 m^-3
        (Bodhaine et al. 1999).  ``"bucholtz"``: the parametrisation of Bucholtz (1995),
        A lambda^-(B + C lambda + D / lambda), which does not depend on `co2`.

    Returns
    -------
    numpy.ndarray or numpy.float64
        Cross-section, m^2, shaped like `wavelength`: 5.167e-31 (first principles) and
        5.162e-31 (Bucholtz) at 532 nm and 360 ppm CO2.
    """
    method = _choice(method, "method", _METHODS)
    w, c = _wavelength(wavelength), _co2(co2)
    return _result(_core.cross_section(w, c, method))


def rayleigh_backscatter_cross_section(wavelength: ArrayLike, co2: float = DEFAULT_CO2,
                                       method: Method = "first_principles",
                                       line: Line = "total") -> FloatOrArray:
    """The Rayleigh backscatter cross-section of air per molecule.

    (3 / 8 pi) (sigma / F) (1 + 7 eps / 45) for the whole Rayleigh band and
    (3 / 8 pi) (sigma / F) (1 + 7 eps / 180) for the Cabannes line, with sigma the
    cross-section of :func:`rayleigh_cross_section`, F the King factor and
    eps = 9 (F - 1) / 2.

    Parameters
    ----------
    wavelength : float or array_like
        Vacuum wavelength, m.
    co2 : float
        CO2 mole fraction, mol/mol.
    method : {"first_principles", "bucholtz"}
        How sigma is computed (see :func:`rayleigh_cross_section`).
    line : {"total", "cabannes"}
        The whole Rayleigh band or the Cabannes line alone.

    Returns
    -------
    numpy.ndarray or numpy.float64
        Backscatter cross-section, m^2 sr^-1, shaped like `wavelength`.
    """
    method = _choice(method, "method", _METHODS)
    line = _choice(line, "line", _LINES)
    w, c = _wavelength(wavelength), _co2(co2)
    return _result(_core.backscatter_cross_section(w, c, method, line))


def molecular_lidar_ratio(wavelength: ArrayLike, co2: float = DEFAULT_CO2,
                          line: Line = "total") -> FloatOrArray:
    """The extinction-to-backscatter ratio of air, S_m = alpha_m / beta_m.

    (8 pi / 3) F / (1 + 7 eps / 45) for the whole band, which is (8 pi / 3)(1 + rho / 2)
    with rho the natural depolarisation ratio, and (8 pi / 3) F / (1 + 7 eps / 180) for
    the Cabannes line; 8 pi / 3 = 8.3776 sr without depolarisation.

    Parameters
    ----------
    wavelength : float or array_like
        Vacuum wavelength, m.
    co2 : float
        CO2 mole fraction, mol/mol.
    line : {"total", "cabannes"}
        The whole Rayleigh band or the Cabannes line alone.

    Returns
    -------
    numpy.ndarray or numpy.float64
        S_m, sr, shaped like `wavelength`: 8.497 (whole band) and 8.713 (Cabannes line) at
        532 nm.
    """
    line = _choice(line, "line", _LINES)
    w, c = _wavelength(wavelength), _co2(co2)
    sigma, back = _cross_sections(w, c, "first_principles", line)
    return _result(sigma / back)


def _cross_sections(w: FloatArray, c: float, method: str, line: str
                    ) -> tuple[FloatArray, FloatArray]:
    return _core.cross_section(w, c, method), _core.backscatter_cross_section(w, c, method, line)


def molecular_optics(wavelength: ArrayLike, number_density: ArrayLike, line: Line = "total",
                     *, co2: float = DEFAULT_CO2,
                     method: Method = "first_principles") -> MolecularOptics:
    """Rayleigh extinction, backscatter and lidar ratio of air.

    alpha_m = N sigma, beta_m = N sigma_pi with sigma and sigma_pi the cross-sections of
    :func:`rayleigh_cross_section` and :func:`rayleigh_backscatter_cross_section`; the
    extinction counts all scattered light whatever the line.

    Parameters
    ----------
    wavelength : float or array_like
        Vacuum wavelength, m.
    number_density : float or array_like
        Number density of air molecules, m^-3 (non-negative); broadcast with `wavelength`.
    line : {"total", "cabannes"}
        The whole Rayleigh band (Cabannes line and rotational Raman wings: a receiver
        filter wide enough to pass them) or the Cabannes line alone (a narrow filter).
    co2 : float
        CO2 mole fraction, mol/mol.
    method : {"first_principles", "bucholtz"}
        How the cross-section is computed (see :func:`rayleigh_cross_section`).

    Returns
    -------
    MolecularOptics
        ``alpha`` (m^-1), ``beta`` (m^-1 sr^-1) and ``lidar_ratio`` (sr), broadcast from
        `wavelength` and `number_density`.

    Examples
    --------
    >>> optics = molecular_optics(532e-9, 2.5470e25)
    >>> round(float(optics.lidar_ratio), 3)
    8.497
    """
    line = _choice(line, "line", _LINES)
    method = _choice(method, "method", _METHODS)
    w, c = _wavelength(wavelength), _co2(co2)
    n = require_positive(require_finite(_float64(number_density, "number_density"),
                                        "number_density"), "number_density", allow_zero=True)
    sigma, back = _cross_sections(w, c, method, line)
    try:
        alpha, beta = n * sigma, n * back
    except ValueError:
        raise ValueError(f"wavelength and number_density must broadcast together: shapes "
                         f"{w.shape} and {n.shape}") from None
    ratio = np.broadcast_to(sigma / back, alpha.shape).copy()
    return MolecularOptics(_result(alpha), _result(beta), _result(ratio))


# ---- Profiles along the beam -------------------------------------------------------------

AtmosphereModel = Callable[[FloatArray], Atmosphere]

_VARIABLES = {
    "altitude": ("m", "altitude above sea level", "altitude"),
    "temperature": ("K", "air temperature", "air_temperature"),
    "pressure": ("Pa", "air pressure", "air_pressure"),
    "number_density": ("m-3", "number density of air molecules", None),
    "alpha_m": ("m-1", "molecular (Rayleigh) extinction coefficient", None),
    "beta_m": ("m-1 sr-1", "molecular (Rayleigh) backscatter coefficient", None),
    "lidar_ratio_m": ("sr", "molecular lidar ratio", None),
    "transmission_m2": ("1", "two-way molecular transmission from the instrument", None),
    "attenuated_beta_m": ("m-1 sr-1", "attenuated molecular backscatter coefficient", None),
}


def _attrs(name: str) -> dict[str, str]:
    units, long_name, standard_name = _VARIABLES[name]
    attrs = {"units": units, "long_name": long_name}
    if standard_name:
        attrs["standard_name"] = standard_name
    return attrs


def _one_wavelength(wavelength: ArrayLike) -> float:
    """`wavelength` checked as one wavelength in m."""
    if isinstance(wavelength, float) and _MEASURED_WAVELENGTHS[0] <= wavelength <= _MEASURED_WAVELENGTHS[1]:
        return wavelength
    w = _wavelength(wavelength)
    if w.ndim != 0:
        raise ValueError(f"wavelength must be one wavelength (m), got shape {w.shape}; "
                         f"make one profile per wavelength")
    return float(w)


@functools.lru_cache(maxsize=64)
def _cross_sections_at(wavelength: float, co2: float, method: str, line: str
                       ) -> tuple[float, float]:
    """The extinction (m^2) and backscatter (m^2 sr^-1) cross-sections per molecule."""
    sigma, back = _cross_sections(np.array(wavelength), co2, method, line)
    return float(sigma), float(back)


def _degrees(value: ArrayLike, name: str, limit: float) -> FloatArray:
    """An angle (degrees), one or one per profile, within +-`limit`."""
    array = per_profile(value, name)
    if not (np.abs(array) <= limit).all():
        raise ValueError(f"{name} must be in degrees between -{limit:g} and {limit:g}; "
                         f"{_first_outside(array, -limit, limit)}")
    return array


def molecular_profile(range: ArrayLike, wavelength: float,
                      atmosphere: AtmosphereModel | Sequence[AtmosphereModel] = standard_atmosphere,
                      station_altitude: ArrayLike = 0.0, zenith_angle: ArrayLike = 0.0,
                      line: Line = "total", *, co2: float = DEFAULT_CO2,
                      method: Method = "first_principles", time: ArrayLike | None = None,
                      threads: int | None = None) -> xr.Dataset:
    """The molecular atmosphere and its Rayleigh optics along a lidar beam.

    For every gate: its altitude, the air's temperature, pressure and number density,
    alpha_m, beta_m and S_m, the two-way molecular transmission from the instrument
    T_m^2 = exp(-2 tau_m) and the attenuated backscatter beta_m T_m^2.  The optical depth
    tau_m integrates alpha_m along the beam from the instrument (range 0, where the
    atmosphere is evaluated too) with the logarithmic mean of alpha_m between neighbouring
    points: exact wherever alpha_m varies exponentially between them.

    Parameters
    ----------
    range : array_like
        Ranges of the gates along the beam from the instrument, m: one-dimensional,
        non-negative and strictly increasing.
    wavelength : float
        Vacuum wavelength, m.
    atmosphere : callable or sequence of callables
        A map from altitude (m) to an :class:`Atmosphere` record: :func:`standard_atmosphere`
        (the default), a :class:`Sounding` from :func:`sounding`, or any such function.  A
        sequence gives one atmosphere per profile and a leading ``time`` dimension.
    station_altitude : float or array_like
        Altitude of the instrument above sea level, m; one value or one per profile.
    zenith_angle : float or array_like
        Angle of the beam from the zenith, degrees (-90 to 90); one value or one per
        profile.  Slant beams follow a spherical Earth of radius 6,371 km.
    line : {"total", "cabannes"}
        What the receiver passes: the whole Rayleigh band or the Cabannes line alone.
    co2 : float
        CO2 mole fraction, mol/mol.
    method : {"first_principles", "bucholtz"}
        How the cross-section is computed (see :func:`rayleigh_cross_section`).
    time : array_like, optional
        Coordinate values of the ``time`` dimension, one per profile.
    threads : int, optional
        Number of threads; all cores by default.  The result does not depend on it.

    Returns
    -------
    xarray.Dataset
        On dimension ``range`` (coordinate ``range``, m), with ``time`` first when there are
        several profiles: ``altitude`` (m), ``temperature`` (K), ``pressure`` (Pa),
        ``number_density`` (m^-3), ``alpha_m`` (m^-1), ``beta_m`` (m^-1 sr^-1),
        ``lidar_ratio_m`` (sr, on ``range``), ``transmission_m2`` (1) and
        ``attenuated_beta_m`` (m^-1 sr^-1); attributes ``wavelength`` (m), ``line``,
        ``co2`` (mol/mol), ``cross_section_method``, ``atmosphere``, and
        ``station_altitude`` (m) and ``zenith_angle`` (degrees) when shared by all
        profiles (else variables on ``time``, and ``altitude`` on ``time`` and
        ``range``).

    Raises
    ------
    ValueError
        For ranges that are not finite, negative or not strictly increasing, a beam that
        leaves its atmosphere (above 86,000 m, below a sounding's lowest level), or an
        atmosphere whose record does not fit its altitudes.

    Examples
    --------
    >>> ds = molecular_profile(np.arange(7.5, 15000.0, 7.5), 532e-9)
    >>> float(ds.transmission_m2[-1].round(4))
    0.8222
    """
    r = require_finite(_float64(range, "range"), "range")
    if r.ndim != 1:
        raise ValueError(f"range must be one-dimensional, got shape {r.shape}")
    if r.size and not (r[0] >= 0.0 and (r[1:] > r[:-1]).all()):
        raise ValueError("range must be non-negative and strictly increasing")
    w = _one_wavelength(wavelength)
    line = _choice(line, "line", _LINES)
    method = _choice(method, "method", _METHODS)
    c = _co2(co2)
    count = thread_count(threads)

    station = per_profile(station_altitude, "station_altitude")
    zenith = _degrees(zenith_angle, "zenith_angle", 90.0)
    models = _models(atmosphere)
    lengths = set() if callable(atmosphere) else {len(models)}
    lengths |= {a.size for a in (station, zenith) if a.ndim == 1}
    if len(lengths) > 1:
        raise ValueError(f"atmosphere, station_altitude and zenith_angle must give the same "
                         f"number of profiles, got {sorted(lengths)}")
    timed = bool(lengths)
    profiles = lengths.pop() if timed else 1
    beams = profiles if (station.ndim == 1 or zenith.ndim == 1) else 1
    station_b: FloatArray
    cos_zenith: FloatArray
    if beams == 1:
        station_b = station.reshape(1)
        cos_zenith = np.array([math.cos(math.radians(float(zenith)))])
    else:
        station_b = np.ascontiguousarray(np.broadcast_to(station, (beams,)))
        cos_zenith = np.ascontiguousarray(np.broadcast_to(np.cos(np.radians(zenith)), (beams,)))
    altitude = _core.beam_altitudes(r, station_b, cos_zenith, count)

    sigma, back = _cross_sections_at(w, c, method, line)
    if all(m is standard_atmosphere for m in models):
        _check_beams(altitude, station_b, 0.0, STANDARD_ATMOSPHERE_TOP,
                     "the US Standard Atmosphere 1976")
        t, p, n, alpha, beta, transmission, attenuated = _core.standard_profiles(
            r, altitude, station_b, profiles, sigma, back, count)
        source = "US Standard Atmosphere 1976"
    elif len(soundings := [m for m in models if isinstance(m, Sounding)]) == len(models):
        _check_soundings(soundings, altitude, station_b)
        _with_log_pressures(soundings, count)
        levels = [m._tables() for m in soundings]
        t, p, n, alpha, beta, transmission, attenuated = _core.sounding_profiles(
            r, altitude, station_b, profiles, [z for z, _, _, _ in levels],
            [k for _, k, _, _ in levels], [q for _, _, q, _ in levels],
            [lq for _, _, _, lq in levels], sigma, back, count)
        source = "sounding" if len(models) == 1 else "soundings"
    else:
        t, p, n, density = _evaluate(models, r, altitude, station_b, profiles)
        alpha, beta, transmission, attenuated = _core.density_profiles(
            r, altitude, station_b, profiles, density, sigma, back, count)[3:]
        source = "given"

    dims = ("time", "range") if timed else ("range",)
    shape = (profiles, r.size) if timed else (r.size,)
    beam_dims = dims if beams > 1 else ("range",)
    data = {
        "altitude": (beam_dims, altitude if beams > 1 else altitude[0]),
        "temperature": (dims, t.reshape(shape)),
        "pressure": (dims, p.reshape(shape)),
        "number_density": (dims, n.reshape(shape)),
        "alpha_m": (dims, alpha.reshape(shape)),
        "beta_m": (dims, beta.reshape(shape)),
        "lidar_ratio_m": (("range",), np.full(r.size, sigma / back)),
        "transmission_m2": (dims, transmission.reshape(shape)),
        "attenuated_beta_m": (dims, attenuated.reshape(shape)),
    }
    variables = {name: (d, values, _attrs(name)) for name, (d, values) in data.items()}
    attrs: dict[str, Any] = {"wavelength": w, "line": line, "co2": c,
                             "cross_section_method": method, "atmosphere": source}
    for name, values, units in (("station_altitude", station, "m"),
                                ("zenith_angle", zenith, "degree")):
        if values.ndim == 0:
            attrs[name] = float(values)
        else:
            variables[name] = (("time",), values, {"units": units})
    coords: dict[str, Any] = {"range": ("range", r, {
        "units": "m", "long_name": "range along the beam from the instrument"})}
    if time is not None:
        if not timed:
            raise ValueError("time needs several profiles: give a sequence of atmospheres or "
                             "per-profile station altitudes or zenith angles")
        times = np.asarray(time)
        if times.shape != (profiles,):
            raise ValueError(f"time must have one value per profile ({profiles}), got shape "
                             f"{times.shape}")
        coords["time"] = ("time", times)
    return xr.Dataset(variables, coords=coords, attrs=attrs)


def _models(atmosphere: object) -> list[AtmosphereModel]:
    if callable(atmosphere):
        return [atmosphere]
    if (isinstance(atmosphere, Sequence) and not isinstance(atmosphere, str)) or \
            (isinstance(atmosphere, np.ndarray) and atmosphere.ndim == 1):
        models = list(atmosphere)
        if not models:
            raise ValueError("atmosphere must not be an empty sequence")
        for i, m in enumerate(models):
            if not callable(m):
                raise TypeError(f"atmosphere[{i}] must be callable (altitude in m to an "
                                f"Atmosphere record), not {type(m).__name__}")
        return models
    raise TypeError(f"atmosphere must be a callable (altitude in m to an Atmosphere record) "
                    f"or a sequence of them, not {type(atmosphere).__name__}")


def _check_beams(altitude: FloatArray, station: FloatArray, bottom: float, top: float,
                 what: str) -> None:
    low = float(station.min())
    high = float(altitude[:, -1].max()) if altitude.shape[1] else low
    if low < bottom:
        raise ValueError(f"station_altitude {low:g} m is below {bottom:g} m, the bottom of "
                         f"{what}")
    if high > top:
        raise ValueError(f"range: the beam reaches {high:g} m, above {top:g} m, the top of "
                         f"{what}")


def _check_soundings(models: Sequence[Sounding], altitude: FloatArray, station: FloatArray) -> None:
    bottom = np.array([m.bottom for m in models])
    ceiling = np.array([m.ceiling for m in models])
    high = altitude[:, -1] if altitude.shape[1] else station
    low_ok, high_ok = station >= bottom, high <= ceiling
    if not (low_ok.all() and high_ok.all()):
        i = int(np.argmin(low_ok & high_ok))
        m = i if len(models) > 1 else 0
        b = i if station.size > 1 else 0
        what = "the sounding" if len(models) == 1 else f"atmosphere[{m}]"
        _check_beams(altitude[b:b + 1], station[b:b + 1], bottom[m], ceiling[m], what)


def _evaluate(models: Sequence[AtmosphereModel], r: FloatArray, altitude: FloatArray,
              station: FloatArray, profiles: int
              ) -> tuple[FloatArray, FloatArray, FloatArray, FloatArray]:
    """Temperature, pressure and number density at the gates (profiles x gates) and the
    number density at the instrument and the gates (profiles x (1 + gates)) of callables."""
    gates = r.size
    t = np.empty((profiles, gates))
    p = np.empty((profiles, gates))
    n = np.empty((profiles, gates + 1))
    for i in range(profiles):
        model = models[0] if len(models) == 1 else models[i]
        b = 0 if altitude.shape[0] == 1 else i
        points = np.concatenate(([station[b]], altitude[b]))
        name = "atmosphere" if len(models) == 1 else f"atmosphere[{i}]"
        try:
            record = model(points)
        except ValueError as error:
            raise ValueError(f"{name} refused the beam's altitudes "
                             f"({points.min():g} m to {points.max():g} m): {error}") from error
        values: list[FloatArray] = []
        for field in ("temperature", "pressure", "number_density"):
            try:
                value = np.asarray(getattr(record, field), dtype=np.float64)
            except AttributeError:
                raise TypeError(f"{name} must return a record with temperature, pressure "
                                f"and number_density, got {type(record).__name__}") from None
            if value.shape != points.shape:
                raise ValueError(f"{name} returned {field} of shape {value.shape} for "
                                 f"{points.size} altitudes")
            require_positive(require_finite(value, f"{name} {field}"), f"{name} {field}")
            values.append(value)
        t[i], p[i], n[i] = values[0][1:], values[1][1:], values[2]
    return t, p, np.ascontiguousarray(n[:, 1:]), n


def beam_altitude(range: ArrayLike, station_altitude: float = 0.0,
                  zenith_angle: float = 0.0) -> FloatArray:
    """Altitude above sea level (m) of each range along a beam, on a spherical Earth of
    radius 6,371 km (:data:`Aerolume.constants.EARTH_RADIUS`), without cancellation.

    Parameters
    ----------
    range : array_like
        Ranges along the beam, m (one-dimensional).
    station_altitude : float, optional
        Altitude of the instrument above sea level, m.
    zenith_angle : float, optional
        Zenith angle of the beam, degrees, 0 to 90.

    Returns
    -------
    numpy.ndarray
        Altitudes, m, one per range.
    """
    r = np.ascontiguousarray(_float64(range, "range"))
    if r.ndim != 1:
        raise ValueError(f"range must be one-dimensional, got shape {r.shape}")
    station = float(require_finite(_float64(station_altitude, "station_altitude"),
                                   "station_altitude"))
    zenith = float(require_finite(_float64(zenith_angle, "zenith_angle"), "zenith_angle"))
    if not 0.0 <= zenith <= 90.0:
        raise ValueError(f"zenith_angle must be between 0 and 90 degrees, got {zenith:g}")
    altitudes: FloatArray = _core.beam_altitudes(
        r, np.array([station]), np.array([math.cos(math.radians(zenith))]), 1)[0]
    return altitudes


# ---- Model atmospheres for a site without a sounding ----------------------------------------

def scaled_standard_atmosphere(altitude: float, temperature: float, pressure: float) -> Sounding:
    """The US Standard Atmosphere 1976 scaled to the air at the instrument, as a
    :class:`Sounding` from `altitude` (m a.s.l.) up: see
    :func:`Aerolume.atmosphere.climatologies.scaled_standard_levels` (temperature K, pressure Pa).

    Parameters
    ----------
    altitude : float
        The instrument's altitude above sea level, m.
    temperature : float
        The air temperature there, K.
    pressure : float
        The air pressure there, Pa.

    Returns
    -------
    Sounding
        The scaled atmosphere from `altitude` up to 86 km."""
    from Aerolume.atmosphere.climatologies import scaled_standard_levels
    return sounding(*scaled_standard_levels(altitude, temperature, pressure))


def climatology(name: str) -> Sounding:
    """An AFGL climatology (Anderson et al. 1986) as a :class:`Sounding` from sea level:
    ``"tropical"``, ``"midlatitude_summer"`` or ``"midlatitude_winter"``.

    Parameters
    ----------
    name : {"tropical", "midlatitude_summer", "midlatitude_winter"}
        The climatology.

    Returns
    -------
    Sounding
        Its temperature and pressure from sea level up, continued by the standard
        atmosphere above its top."""
    from Aerolume.atmosphere.climatologies import climatology_levels
    return sounding(*climatology_levels(name))
