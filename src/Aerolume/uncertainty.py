"""How the retrievals estimate their uncertainties: the Monte Carlo settings.

Every retrieval of :mod:`Aerolume.retrieval` takes ``uncertainty=`` either ``None`` (no
uncertainty), a :class:`MonteCarlo` or a dict of its fields.  Each of the N realisations
redraws the noise of the signals and the systematic parameters given an uncertainty (one
normal draw per profile and realisation), and runs the retrieval again in the compiled core,
on all cores with the interpreter released.  The result is the retrieved value (from the
signals as given) and the standard deviation over the realisations at each gate, NaN where
any realisation fails there.  Realisation j of profile p always draws the same numbers for
a given seed, whatever the thread count.
"""

from __future__ import annotations

import dataclasses
import operator
from collections.abc import Mapping
from typing import Any, SupportsIndex, TypeVar, Union

import numpy as np
from numpy.typing import ArrayLike

__all__ = ["MonteCarlo", "PoissonNoise", "SPEED_OF_LIGHT", "MAX_REALISATIONS"]

from Aerolume.constants import SPEED_OF_LIGHT, mhz_per_count  # noqa: F401 (re-exported)

#: The most realisations a Monte Carlo uncertainty may take.  The standard deviation's
#: own relative error is about 1 / sqrt(2 N): 0.2 % at this bound, far below what the
#: systematic parameters allow; more would only run for hours.
MAX_REALISATIONS = 100_000


@dataclasses.dataclass(frozen=True)
class PoissonNoise:
    """Photon-counting noise: the detected counts are Poisson.

    Parameters
    ----------
    counts_per_unit : array_like
        Detected photon counts per unit of the signal at each gate (broadcast to the
        signal): the number of shots for a signal in counts per shot, and
        ``shots * 1e6 * 2 * bin_width / c`` for a count rate in MHz (see
        :meth:`from_count_rate`).
    background : array_like, optional
        The background already removed from the signal, in the signal's units (its counts
        are part of the Poisson noise).  Default 0.
    """

    counts_per_unit: ArrayLike
    background: ArrayLike = 0.0

    @classmethod
    def from_count_rate(cls, shots: ArrayLike, bin_width: ArrayLike,
                        background: ArrayLike = 0.0) -> PoissonNoise:
        """The noise of a count rate in MHz summed over `shots` laser shots in bins of
        `bin_width` m (background in MHz)."""
        return cls(1.0 / mhz_per_count(bin_width, shots), background)


Noise = Union[ArrayLike, PoissonNoise, None]
#: A settings dataclass that :func:`settings_of` makes.
_Settings = TypeVar("_Settings")


def check_draws(realisations: SupportsIndex, seed: SupportsIndex) -> None:
    """The rule of every Monte Carlo's draws: integer realisations from 2 to
    :data:`MAX_REALISATIONS` and an integer seed in [0, 2**64)."""
    try:
        count = operator.index(realisations)
        start = operator.index(seed)
    except TypeError:
        raise TypeError("uncertainty: realisations and seed must be integers") from None
    if not 2 <= count <= MAX_REALISATIONS:
        raise ValueError(f"uncertainty: realisations must be from 2 to {MAX_REALISATIONS}, "
                         f"got {count}")
    if not 0 <= start < 2**64:
        raise ValueError(f"uncertainty: seed must be in [0, 2**64), got {start}")


def poisson_fields(settings: object, names: tuple[str, ...]) -> None:
    """Turn the dict-valued noise fields `names` of a frozen settings dataclass into
    :class:`PoissonNoise` (as a configuration file gives them)."""
    for name in names:
        value = getattr(settings, name)
        if isinstance(value, dict):
            object.__setattr__(settings, name, PoissonNoise(**value))


def settings_of(cls: type[_Settings], value: object, argument: str) -> _Settings | None:
    """`value` as settings of the dataclass `cls`: None stays None, an instance is kept, a
    mapping gives the fields; anything else is a TypeError naming `argument`."""
    if value is None or isinstance(value, cls):
        return value
    if isinstance(value, Mapping):
        try:
            return cls(**value)
        except TypeError as error:
            raise TypeError(f"{argument}: {error}") from None
    raise TypeError(f"{argument} must be None, a {cls.__name__} or a dict, not "
                    f"{type(value).__name__}")


@dataclasses.dataclass(frozen=True)
class MonteCarlo:
    """Monte Carlo settings of a retrieval's uncertainty.

    Parameters
    ----------
    realisations : int
        Number of realisations N, from 2 to :data:`MAX_REALISATIONS` (100,000).
        Default 100.
    seed : int
        Seed of the random streams (0 to 2**64 - 1).  Default 0.
    noise : array_like or PoissonNoise, optional
        Noise of the (elastic) signal: an array is the standard deviation of Gaussian
        (analog) noise per gate in the signal's units, e.g. the background standard
        deviation; a :class:`PoissonNoise` draws photon counts.  None: no noise.
    raman_noise : array_like or PoissonNoise, optional
        The same for the Raman signal of the Raman retrievals.
    lidar_ratio : float
        Standard deviation of the aerosol lidar ratio, sr (Klett-Fernald).  Default 0.
    reference_value : float
        Standard deviation of the reference backscatter ratio.  Default 0.
    angstrom : float
        Standard deviation of the aerosol Angstrom exponent (Raman).  Default 0.
    """

    realisations: int = 100
    seed: int = 0
    noise: Noise = None
    raman_noise: Noise = None
    lidar_ratio: float = 0.0
    reference_value: float = 0.0
    angstrom: float = 0.0

    def __post_init__(self) -> None:
        check_draws(self.realisations, self.seed)
        for name in ("lidar_ratio", "reference_value", "angstrom"):
            value = getattr(self, name)
            if not (np.ndim(value) == 0 and np.isfinite(value) and value >= 0):
                raise ValueError(f"uncertainty: {name} must be a non-negative standard "
                                 f"deviation, got {value!r}")
        poisson_fields(self, ("noise", "raman_noise"))

    @classmethod
    def of(cls, uncertainty: Any) -> MonteCarlo | None:
        """`uncertainty` as MonteCarlo settings: None, a MonteCarlo or a dict of fields."""
        return settings_of(cls, uncertainty, "uncertainty")

    def settings(self) -> dict[str, Any]:
        """The settings as attributes for a result's provenance."""
        out: dict[str, Any] = {"uncertainty_method": "monte_carlo", "uncertainty_realisations": self.realisations,
               "uncertainty_seed": self.seed}
        for name in ("lidar_ratio", "reference_value", "angstrom"):
            out[f"uncertainty_{name}_sd"] = float(getattr(self, name))
        for name in ("noise", "raman_noise"):
            value = getattr(self, name)
            out[f"uncertainty_{name}"] = ("none" if value is None else "poisson"
                                          if isinstance(value, PoissonNoise) else "gaussian")
        return out
