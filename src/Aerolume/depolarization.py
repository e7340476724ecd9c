"""Linear depolarisation ratios of a polarisation lidar: channel pairs, calibration, the
volume and particle ratios with Monte Carlo uncertainties, and a calibration history.

The receiver (Freudenthaler 2016, AMT 9, 4181: the GHK formalism)
---------------------------------------------------------------------
A polarisation lidar records a cross-polarised channel (``cross``, the letter ``s`` of a raw
file) and a co-polarised (``p``) or total (``o``) one (``co``).  Channel i records

    I_i = eta_i F11 (G_i + H_i a cos 2 phi),   a = (1 - delta) / (1 + delta),

F11 the backscatter, delta the linear depolarisation ratio of the scattering volume and phi
the rotation of the receiver's polarisation plane from the laser's (0 when measuring, up
to the small misalignment epsilon).  :class:`GHK` holds G and H of the two channels; the
ideal receiver has G = 1 and H = +1 (parallel), -1 (cross) or 0 (total), which are the
defaults.  The measured ratio delta* = I_cross / I_co divided by the gain ratio eta gives
x = delta* / eta = (G_cross + H_cross a) / (G_co + H_co a), hence (with H cos 2 epsilon for
H when the receiver is misaligned by epsilon)

    delta_v = [x (G_co + H_co) - (G_cross + H_cross)] / [(G_cross - H_cross) - x (G_co - H_co)],

which is x for an ideal parallel/cross receiver and x / (2 - x) for an ideal total/cross one.

Calibration (Freudenthaler et al. 2009, Tellus B 61, 165; Freudenthaler 2016)
------------------------------------------------------------------------------
The Δ90 calibration measures delta* with the polarisation plane rotated to two angles 90°
apart, normally +45° and -45°.  With u = a sin 2 epsilon (the atmosphere's a in the
calibration range and the rotator's misalignment epsilon),

    delta*(+45) = eta (G_cross - H_cross u) / (G_co - H_co u),
    delta*(-45) = eta (G_cross + H_cross u) / (G_co + H_co u),

so eta* = sqrt(delta*(+45) delta*(-45)) = K eta with
K = sqrt[(G_cross^2 - H_cross^2 u^2) / (G_co^2 - H_co^2 u^2)]: 1 for an ideal parallel/cross
receiver whatever the misalignment, sqrt(1 - u^2) for an ideal total/cross one.  The ratio
q = delta*(+45) / delta*(-45) gives u (the small root of
(q - 1) H_cross H_co u^2 - (q + 1)(H_cross G_co - G_cross H_co) u - (q - 1) G_cross G_co = 0,
u = (sqrt q - 1) / (sqrt q + 1) for the ideal receiver) and the misalignment
epsilon = asin(u / a) / 2.  Each delta*(±45) is the ratio of the channels' sums over the
calibration range (default 2-4 km), its standard deviation that of the ratio of sums with
the gates' residuals I_cross - delta* I_co as the noise.  :func:`calibrate_molecular` is
the fallback for receivers without a rotator: eta forced so that the ratio in a clean-air
interval is the molecular one; it is only as good as that interval is clean.

Particle depolarisation (Freudenthaler et al. 2009, eq. 8)
-----------------------------------------------------------
    delta_p = [(1 + delta_m) delta_v R - (1 + delta_v) delta_m] / [(1 + delta_m) R - (1 + delta_v)]

with delta_m the molecular linear depolarisation ratio of the receiver's line
(:func:`Aerolume.atmosphere.depolarization_ratio`) and R = (beta_a + beta_m) / beta_m the
backscatter ratio of that line (from a Klett-Fernald or Raman retrieval).

The ratios and their Monte Carlo uncertainties are computed in the compiled core, on all
cores with the interpreter released (the Monte Carlo redraws the noise of both signals, eta,
the misalignment, delta_m and R); realisation j of profile p always draws the same
numbers for a given seed, whatever the thread count.
"""

from __future__ import annotations

import dataclasses
import datetime as _dt
import json
import math
import operator
import os
import re
import warnings
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Literal, SupportsFloat, Union

import numpy as np
import xarray as xr
from numpy.typing import ArrayLike, NDArray

from Aerolume import _core
from Aerolume._checks import as_float64, thread_count
from Aerolume._shapes import Layout, scalar
from Aerolume._typing import AnyArray, BoolArray, FloatArray
from Aerolume.uncertainty import Noise, PoissonNoise, check_draws, poisson_fields, settings_of

__all__ = ["GHK", "ChannelPair", "Calibration", "DepolarizationUncertainty", "channel_pairs",
           "pair_signals", "calibrate", "calibrate_files", "calibrate_molecular", "volume_depolarization",
           "particle_depolarization", "total_signal", "save_calibration", "load_calibration",
           "TABLE_FIELDS", "check_table", "table_calibration", "block_products",
           "FLAG_MEANINGS"]

PathLike = Union[str, "os.PathLike[str]"]
#: A receiver's G and H: GHK parameters, a mapping of their fields, or None (ideal).
GHKLike = Union["GHK", Mapping[str, float], None]
#: Calibration signals: a Dataset (``cross`` and ``co``, or a measurement's ``signal``) or
#: a (cross, co) pair of DataArrays with a range coordinate.
Signals = Union[xr.Dataset, Sequence[xr.DataArray]]
#: Raw files of a calibration: a folder, a glob pattern, a file or a list of files.
RawFiles = Union[str, "os.PathLike[str]", Sequence[Union[str, "os.PathLike[str]"]]]

#: The quality flag's bits: (mask, meaning).
FLAG_MEANINGS = ((1, "no_signal"), (2, "low_backscatter_ratio"), (4, "large_uncertainty"),
                 (8, "outside_physical_range"))


# ---- The receiver ---------------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class GHK:
    """The G and H parameters of a polarisation receiver's two channels.

    Channel i records eta_i F11 (G_i + H_i a cos 2 phi) with a = (1 - delta) / (1 + delta)
    (see the module's description).  The defaults are an ideal parallel/cross receiver.

    Parameters
    ----------
    g_co, h_co : float
        G and H of the co-polarised or total channel (ideal: 1 and +1 parallel, 1 and 0
        total).
    g_cross, h_cross : float
        G and H of the cross-polarised channel (ideal: 1 and -1).
    """

    g_co: float = 1.0
    h_co: float = 1.0
    g_cross: float = 1.0
    h_cross: float = -1.0

    def __post_init__(self) -> None:
        for name in ("g_co", "h_co", "g_cross", "h_cross"):
            value = getattr(self, name)
            if not (np.ndim(value) == 0 and math.isfinite(value)):
                raise ValueError(f"ghk.{name} must be a finite number, got {value!r}")
            object.__setattr__(self, name, float(value))
        if self.g_co <= 0 or self.g_cross <= 0:
            raise ValueError("ghk: G of each channel must be positive")
        if self.h_cross * self.g_co - self.h_co * self.g_cross >= 0:
            raise ValueError("ghk: the cross channel must take less of the polarised light "
                             "than the co channel (H_cross G_co < H_co G_cross)")

    @classmethod
    def ideal(cls, co: Literal["parallel", "total"] = "parallel") -> GHK:
        """The ideal receiver: a parallel/cross or total/cross pair."""
        if co == "parallel":
            return cls(1.0, 1.0, 1.0, -1.0)
        if co == "total":
            return cls(1.0, 0.0, 1.0, -1.0)
        raise ValueError(f"co must be 'parallel' or 'total', got {co!r}")

    @classmethod
    def of(cls, value: GHKLike) -> GHK:
        """`value` as GHK parameters: a GHK, a mapping of its fields, or None (ideal)."""
        if value is None:
            return cls()
        given = settings_of(cls, value, "ghk")
        assert given is not None  # (settings of a value that is not None)
        return given

    def rotated(self, misalignment: float) -> GHK:
        """The parameters of the receiver turned by `misalignment` degrees: H cos 2 epsilon."""
        c = math.cos(math.radians(2.0 * misalignment))
        return GHK(self.g_co, self.h_co * c, self.g_cross, self.h_cross * c)

    def response(self, delta: ArrayLike, angle: float = 0.0) -> tuple[FloatArray, FloatArray]:
        """(cross, co) responses G + H a cos 2 phi of the two channels to light of linear
        depolarisation ratio `delta` with the polarisation plane turned by `angle` degrees."""
        d = np.asarray(delta, dtype=float)
        a = (1.0 - d) / (1.0 + d) * math.cos(math.radians(2.0 * angle))
        cross: FloatArray = self.g_cross + self.h_cross * a
        co: FloatArray = self.g_co + self.h_co * a
        return cross, co

    def calibrated_ratio(self, delta: ArrayLike) -> FloatArray:
        """x = delta* / eta that light of linear depolarisation ratio `delta` gives."""
        cross, co = self.response(delta)
        return cross / co

    def core(self) -> tuple[float, float, float, float]:
        return (self.g_co, self.h_co, self.g_cross, self.h_cross)

    def as_dict(self) -> dict[str, float]:
        return dataclasses.asdict(self)


# ---- Channel pairs ----------------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class ChannelPair:
    """A cross channel and the co-polarised or total channel it pairs with.

    Parameters
    ----------
    cross, co : str
        Channel ids (``"532s_an"``, ``"532p_an"`` or ``"532_an"``).
    co_kind : {"parallel", "total"}
        What the co channel records.
    wavelength : float
        Detected wavelength, m (NaN if unknown).
    """

    cross: str
    co: str
    co_kind: Literal["parallel", "total"] = "parallel"
    wavelength: float = math.nan

    def ghk(self) -> GHK:
        """The ideal receiver of this pair."""
        return GHK.ideal(self.co_kind)


_CO_KINDS = {"parallel": "parallel", "none": "total", "p": "parallel", "l": "parallel",
             "o": "total", "total": "total"}
_CROSS = {"perpendicular", "s", "cross"}


def _channel_table(data: xr.Dataset | xr.DataArray) -> list[dict[str, Any]]:
    """[{id, polarization, wavelength, mode}] of a Dataset with a channel coordinate."""
    if not isinstance(data, (xr.Dataset, xr.DataArray)) or "channel" not in data.coords:
        raise TypeError("data must be an xarray Dataset with a 'channel' coordinate (such as "
                        "the result of Aerolume.io.read_licel)")
    ids = [str(c) for c in data.coords["channel"].values]

    def column(name: str, default: object) -> list[Any]:
        if name in data.coords and data.coords[name].dims == ("channel",):
            return [v for v in data.coords[name].values]
        return [default] * len(ids)

    pol = column("polarization", None)
    wavelengths = column("wavelength", math.nan)
    modes = column("detection_mode", "")
    table = []
    for cid, p, w, mode in zip(ids, pol, wavelengths, modes):
        if p is None:  # the letter in the id: 532s_an
            m = re.match(r"^\d+([a-z]?)_", cid)
            p = m.group(1) or "o" if m else "o"
        table.append({"id": cid, "polarization": str(p), "wavelength": float(w),
                      "mode": str(mode) or cid.rsplit("_", 1)[-1]})
    return table


def channel_pairs(data: xr.Dataset | xr.DataArray, *, cross: str | None = None,
                  co: str | None = None,
                  source: str = "data") -> list[ChannelPair]:
    """The depolarisation channel pairs of a measurement.

    Without `cross` and `co`, each cross channel (polarisation ``perpendicular``, letter
    ``s``) pairs with the parallel channel (``p``) of its wavelength and detection mode, or
    else with its total channel (``o``).  A parallel channel with no cross channel of its
    wavelength and mode is an error: the pair is incomplete.  With `cross` and/or `co`
    (when the letters do not say enough), the named pair is checked and returned.

    Parameters
    ----------
    data : xarray.Dataset
        A measurement with a ``channel`` coordinate and, ideally, ``polarization``,
        ``wavelength`` and ``detection_mode`` per channel (as :func:`Aerolume.io.read_licel`
        gives).
    cross, co : str, optional
        The channel ids of one pair.
    source : str
        What `data` is (a file or a configuration table), for errors.

    Returns
    -------
    list of ChannelPair
    """
    table = _channel_table(data)
    by_id = {row["id"]: row for row in table}
    if cross is not None or co is not None:
        if cross is None:
            raise ValueError(f"{source}: the pair with co channel {co!r} has no cross channel "
                             "(give cross)")
        if co is None:
            raise ValueError(f"{source}: the pair with cross channel {cross!r} has no co or "
                             "total channel (give co)")
        for name, cid in (("cross", cross), ("co", co)):
            if cid not in by_id:
                raise ValueError(f"{source}: {name} channel {cid!r} is not among the channels "
                                 f"{sorted(by_id)}")
        if cross == co:
            raise ValueError(f"{source}: cross and co are the same channel {cross!r}")
        if _CO_KINDS.get(by_id[cross]["polarization"]) == "parallel":
            raise ValueError(f"{source}: cross channel {cross!r} records the parallel "
                             "polarisation")
        if by_id[co]["polarization"] in _CROSS:
            raise ValueError(f"{source}: co channel {co!r} records the cross polarisation")
        co_kind = _CO_KINDS.get(by_id[co]["polarization"], "total")
        return [ChannelPair(cross, co, "parallel" if co_kind == "parallel" else "total",
                            by_id[cross]["wavelength"])]
    groups: dict[tuple[object, str], dict[str, list[str]]] = {}
    for row in table:
        w = row["wavelength"]
        key = (round(w * 1e10) if math.isfinite(w) else
               re.sub(r"[a-z]+$", "", row["id"].split("_")[0]), row["mode"])
        role = "cross" if row["polarization"] in _CROSS else _CO_KINDS.get(row["polarization"])
        if role is not None:
            groups.setdefault(key, {}).setdefault(role, []).append(row["id"])
    pairs: list[ChannelPair] = []
    for kinds in groups.values():
        crosses = kinds.get("cross", [])
        cos = kinds.get("parallel") or kinds.get("total") or []
        if not crosses:
            if kinds.get("parallel"):
                raise ValueError(f"{source}: parallel channel(s) {kinds['parallel']} have no "
                                 "cross channel of their wavelength and detection mode")
            continue
        if not cos:
            raise ValueError(f"{source}: cross channel(s) {crosses} have no parallel or total "
                             "channel of their wavelength and detection mode")
        if len(crosses) > 1 or len(cos) > 1:
            raise ValueError(f"{source}: the channels {crosses + cos} do not pair up "
                             "unambiguously; name the pair (cross, co)")
        pairs.append(ChannelPair(crosses[0], cos[0],
                                 "parallel" if kinds.get("parallel") else "total",
                                 by_id[crosses[0]]["wavelength"]))
    return pairs


def pair_signals(data: xr.Dataset, pair: ChannelPair, *, variable: str = "signal",
                 source: str = "data") -> tuple[xr.DataArray, xr.DataArray]:
    """The (cross, co) signals of `pair` from a measurement's ``signal`` (..., channel,
    range), as DataArrays without the channel dimension.

    Parameters
    ----------
    data : xarray.Dataset
        A measurement with a ``channel`` dimension.
    pair : ChannelPair
        The pair, from :func:`channel_pairs`.
    variable : str
        The variable taken (``signal`` by default).
    source : str
        What `data` is, for the messages.

    Returns
    -------
    (xarray.DataArray, xarray.DataArray)
        The cross and the co channel's signals.
    """
    if variable not in data:
        raise ValueError(f"{source} has no {variable!r} variable")
    table = {row["id"] for row in _channel_table(data)}
    for name in ("cross", "co"):
        cid = getattr(pair, name)
        if cid not in table:
            raise ValueError(f"{source}: {name} channel {cid!r} is not among the channels "
                             f"{sorted(table)}")
    signal = data[variable]
    return (signal.sel(channel=pair.cross, drop=True), signal.sel(channel=pair.co, drop=True))


# ---- Calibration ------------------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Calibration:
    """A depolarisation calibration: the gain ratio and how it was found.

    Attributes
    ----------
    eta_star : float
        The calibration factor eta* the measurement gives (sqrt(delta*(+45) delta*(-45))
        for the Δ90 method).
    eta_star_uncertainty : float
        Its standard deviation from the calibration signals' noise.
    k : float
        The correction K of the calibration: eta = eta* / K.
    misalignment : float
        The rotational misalignment of the polarisation plane, degrees (NaN when not
        measured); its sign is not known for the measurement position.
    misalignment_uncertainty : float
        Its standard deviation, degrees.
    method : str
        ``"delta90"`` (the ±45° or another 90° pair) or ``"molecular"`` (the fallback).
    ghk : GHK
        The receiver's parameters the calibration assumed.
    calibration_range : (float, float)
        The range interval used, m.
    time : str
        When the calibration was measured (ISO 8601, UTC; "" if unknown).
    cross, co : str
        The pair's channel ids ("" if unknown).
    wavelength : float
        m (NaN if unknown).
    station : str
    source : tuple of str
        The files or tables the calibration came from.
    origin : str
        How this calibration reached the product: "measured", or which history file.
    """

    eta_star: float
    eta_star_uncertainty: float = 0.0
    k: float = 1.0
    misalignment: float = math.nan
    misalignment_uncertainty: float = math.nan
    method: str = "constant"
    ghk: GHK = dataclasses.field(default_factory=GHK)
    calibration_range: tuple[float, float] = (math.nan, math.nan)
    time: str = ""
    cross: str = ""
    co: str = ""
    wavelength: float = math.nan
    station: str = ""
    source: tuple[str, ...] = ()
    origin: str = "measured"

    def __post_init__(self) -> None:
        for name in ("eta_star", "k"):
            value = getattr(self, name)
            if not (np.ndim(value) == 0 and math.isfinite(value) and value > 0):
                raise ValueError(f"calibration {name} must be a positive number, got {value!r}")
        if not (math.isfinite(self.eta_star_uncertainty) and self.eta_star_uncertainty >= 0):
            raise ValueError("calibration eta_star_uncertainty must be a non-negative number, "
                             f"got {self.eta_star_uncertainty!r}")
        object.__setattr__(self, "ghk", GHK.of(self.ghk))
        object.__setattr__(self, "source", tuple(str(s) for s in self.source))
        object.__setattr__(self, "calibration_range",
                           tuple(float(v) for v in self.calibration_range))

    @property
    def eta(self) -> float:
        """The gain ratio eta = eta* / K."""
        return self.eta_star / self.k

    @property
    def eta_uncertainty(self) -> float:
        return self.eta_star_uncertainty / self.k

    @classmethod
    def constant(cls, eta: float, eta_uncertainty: float = 0.0, *, ghk: GHKLike = None,
                 source: str = "constant") -> Calibration:
        """A calibration given as a number (from a configuration)."""
        return cls(float(eta), float(eta_uncertainty), ghk=GHK.of(ghk), method="constant",
                   source=(source,))

    def attrs(self, prefix: str = "calibration_") -> dict[str, Any]:
        """The calibration as netCDF attributes."""
        out: dict[str, Any] = {f"{prefix}eta_star": self.eta_star,
               f"{prefix}eta_star_uncertainty": self.eta_star_uncertainty,
               f"{prefix}k": self.k, f"{prefix}eta": self.eta,
               f"{prefix}method": self.method, f"{prefix}time": self.time,
               f"{prefix}origin": self.origin,
               f"{prefix}misalignment": self.misalignment,
               f"{prefix}range": list(self.calibration_range),
               f"{prefix}ghk": list(self.ghk.core())}
        if self.source:
            out[f"{prefix}source"] = ", ".join(self.source)
        return out

    def to_dict(self) -> dict[str, Any]:
        out = dataclasses.asdict(self)
        out["ghk"] = self.ghk.as_dict()
        out["calibration_range"] = [None if math.isnan(v) else v for v in self.calibration_range]
        out["source"] = list(self.source)
        return {k: (None if isinstance(v, float) and math.isnan(v) else v)
                for k, v in out.items()}

    @classmethod
    def from_dict(cls, values: Mapping[str, Any], *, source: str = "calibration"
                  ) -> Calibration:
        fields = {f.name for f in dataclasses.fields(cls)}
        unknown = set(values) - fields
        if unknown:
            raise ValueError(f"{source}: unknown calibration field(s) {sorted(unknown)}")
        if "eta_star" not in values:
            raise ValueError(f"{source}: the calibration has no eta_star")
        clean: dict[str, Any] = {k: (math.nan if v is None else v) for k, v in values.items()}
        if "calibration_range" in clean:
            clean["calibration_range"] = tuple(math.nan if v is None else v
                                               for v in clean["calibration_range"])
        try:
            return cls(**clean)
        except (TypeError, ValueError) as error:
            raise ValueError(f"{source}: {error}") from None


def _signals(value: Signals, name: str, pair: ChannelPair | None
             ) -> tuple[FloatArray, FloatArray, FloatArray, str, tuple[str, ...], str]:
    """(cross, co, range, time, files) of calibration signals: a Dataset with ``cross`` and
    ``co`` variables or a measurement with ``signal`` and a channel coordinate (`pair`
    names the channels), or a (cross, co) pair of DataArrays with a range coordinate."""
    files: tuple[str, ...] = ()
    time = ""
    if isinstance(value, xr.Dataset):
        if "source_file" in value.coords:
            files = tuple(str(f) for f in np.atleast_1d(value.coords["source_file"].values))
            name = f"{name} ({files[0]}{', ...' if len(files) > 1 else ''})"
        if "cross" in value and "co" in value:
            cross, co = value["cross"], value["co"]
        else:
            if pair is None:
                pairs = channel_pairs(value, source=name)
                if len(pairs) != 1:
                    raise ValueError(f"{name} holds {len(pairs)} depolarisation pairs; name "
                                     "the one to calibrate with pair=")
                pair = pairs[0]
            cross, co = pair_signals(value, pair, source=name)
    elif isinstance(value, Sequence) and len(value) == 2:
        cross, co = value
    else:
        raise TypeError(f"{name} must be a Dataset (with cross and co, or a measurement's "
                        f"signal) or a (cross, co) pair, not {type(value).__name__}")
    if not isinstance(cross, xr.DataArray) or "range" not in cross.coords:
        raise TypeError(f"{name}: the signals need a range coordinate (DataArrays)")
    r = as_float64(cross.coords["range"].values, f"{name} range", ndim_min=1)
    if "time" in cross.coords and cross.coords["time"].size:
        t = np.atleast_1d(cross.coords["time"].values)
        if np.issubdtype(t.dtype, np.datetime64):
            time = str(np.datetime_as_string(t.min(), unit="s")) + "Z"
    c = as_float64(cross.values, f"{name} cross", ndim_min=1)
    p = as_float64(co.values, f"{name} co", ndim_min=1)
    if c.shape != p.shape:
        raise ValueError(f"{name}: cross {c.shape} and co {p.shape} signals differ in shape")
    if c.shape[-1] != r.size:
        raise ValueError(f"{name}: the signals have {c.shape[-1]} gates, the range {r.size}")
    # The profiles of a calibration are summed over time.
    c = c.reshape(-1, r.size)
    p = p.reshape(-1, r.size)
    return c, p, r, time, files, name


def _ratio_in(cross: FloatArray, co: FloatArray, r: FloatArray, interval: tuple[float, float],
              name: str) -> tuple[float, float, int]:
    """delta* = Σ cross / Σ co over the gates of `interval` (all profiles), its standard
    deviation from the residuals cross - delta* co, and the number of gates."""
    low, high = interval
    inside = (r >= low) & (r <= high)
    n = int(inside.sum())
    if n < 3:
        raise ValueError(f"{name}: the calibration range {low:g}-{high:g} m holds {n} gate(s) "
                         f"of the range {r[0]:g}-{r[-1]:g} m; at least 3 are needed")
    c = cross[:, inside]
    p = co[:, inside]
    good = np.isfinite(c) & np.isfinite(p)
    if not good.all():
        raise ValueError(f"{name}: the signals have gaps (NaN) in the calibration range "
                         f"{low:g}-{high:g} m")
    # Residuals over gates of the time-summed profiles.
    cs, ps = c.sum(axis=0), p.sum(axis=0)
    total_co, total_cross = ps.sum(), cs.sum()
    if not (total_co > 0 and total_cross > 0):
        raise ValueError(f"{name}: no signal in the calibration range {low:g}-{high:g} m "
                         f"(sum of the cross channel {total_cross:g}, of the co channel "
                         f"{total_co:g})")
    ratio = total_cross / total_co
    residual = cs - ratio * ps
    sd = math.sqrt(float(np.sum(residual ** 2)) * n / (n - 1)) / total_co
    if not sd < 0.5 * ratio:
        raise ValueError(f"{name}: no usable signal in the calibration range {low:g}-{high:g} m "
                         f"(delta* = {ratio:.4g} ± {sd:.2g}: the noise is as large as the "
                         "signal)")
    return ratio, sd, n


def _small_root(q: float, ghk: GHK) -> float:
    """u = a sin 2 epsilon from q = delta*(+45) / delta*(-45) (module description)."""
    a = -(q - 1.0) * ghk.h_cross * ghk.h_co
    b = (q + 1.0) * (ghk.h_cross * ghk.g_co - ghk.g_cross * ghk.h_co)
    c = (q - 1.0) * ghk.g_cross * ghk.g_co
    disc = b * b - 4.0 * a * c
    if disc < 0:
        return math.nan
    big = -0.5 * (b + math.copysign(math.sqrt(disc), b))
    return c / big if big != 0 else 0.0


def _k_factor(u: float, ghk: GHK) -> float:
    num = ghk.g_cross ** 2 - (ghk.h_cross * u) ** 2
    den = ghk.g_co ** 2 - (ghk.h_co * u) ** 2
    return math.sqrt(num / den)


def calibrate(plus45: Signals, minus45: Signals, *, pair: ChannelPair | None = None,
              calibration_range: tuple[float, float] = (2000.0, 4000.0), ghk: GHKLike = None,
              k: float | None = None, depolarization: float = 0.0,
              angles: tuple[float, float] = (45.0, -45.0), station: str = "",
              source: Sequence[str] | None = None) -> Calibration:
    """The Δ90 (±45°) calibration of a depolarisation pair (Freudenthaler et al. 2009;
    Freudenthaler 2016).

    eta* = sqrt(delta*(+45) delta*(-45)), eta = eta* / K, and the misalignment from the
    asymmetry of the two (see the module's description).

    Parameters
    ----------
    plus45, minus45 : xarray.Dataset or (DataArray, DataArray)
        The background-subtracted calibration signals at the two angles: Datasets with
        ``cross`` and ``co`` variables (as :func:`Aerolume.simulate.polarized` gives), or
        measurements with ``signal`` (..., channel, range) and a channel coordinate
        (`pair` names the channels), or (cross, co) pairs of DataArrays with a ``range``
        coordinate (m).  Profiles are summed over time.
    pair : ChannelPair, optional
        The channels of a measurement (default: its one pair).
    calibration_range : (float, float)
        Range interval of the calibration, m.  Default 2,000-4,000 m.
    ghk : GHK or mapping, optional
        The receiver (default: the ideal one of `pair`, else parallel/cross).
    k : float, optional
        K, if known from a characterisation of the receiver; default from the GHK
        parameters and the measured u (1 for an ideal parallel/cross receiver).
    depolarization : float
        The volume linear depolarisation ratio in the calibration range, for the
        misalignment (a = (1 - delta) / (1 + delta)).  Default 0.  With aerosol in the
        range, calibrate once, take delta_v of the range's summed signals at 0° with that
        calibration, and calibrate again with it: a delta of 0.03 taken as 0.014 makes a
        2° misalignment 1.94°.  (eta* does not depend on it.)
    angles : (float, float)
        The two rotation angles, degrees, 90° apart.  Default (45, -45).
    station : str
        Station name, recorded.
    source : sequence of str, optional
        Files or tables the signals came from (default those the Datasets list).

    Returns
    -------
    Calibration
    """
    a1, a2 = (float(v) for v in angles)
    if not math.isclose(abs(a1 - a2), 90.0, abs_tol=1e-9):
        raise ValueError(f"angles must be 90 degrees apart, got {angles}")
    c1, p1, r1, t1, f1, n1 = _signals(plus45, "plus45", pair)
    c2, p2, r2, t2, f2, n2 = _signals(minus45, "minus45", pair)
    if r1.shape != r2.shape or not np.allclose(r1, r2, rtol=1e-9, atol=1e-6):
        raise ValueError("plus45 and minus45 have different range grids "
                         f"({r1.size} gates from {r1[0]:g} m, {r2.size} gates from {r2[0]:g} m)"
                         + (f": files {list(f1[:1])} and {list(f2[:1])}" if f1 and f2 else ""))
    if f1 and f2 and set(f1) & set(f2):
        raise ValueError(f"plus45 and minus45 share the file(s) {sorted(set(f1) & set(f2))}")
    interval = _interval(calibration_range)
    ghk_ = GHK.of(ghk) if ghk is not None else (pair.ghk() if pair is not None else GHK())
    d1, s1, _ = _ratio_in(c1, p1, r1, interval, n1)
    d2, s2, _ = _ratio_in(c2, p2, r2, interval, n2)
    eta_star = math.sqrt(d1 * d2)
    rel = math.hypot(s1 / d1, s2 / d2)
    eta_sd = 0.5 * eta_star * rel
    # The misalignment: u = -a cos 2 (angle_1 + epsilon) from q (module description).
    q = d1 / d2
    u = _small_root(q, ghk_)
    a = (1.0 - depolarization) / (1.0 + depolarization)
    du = 0.5 * (abs(_small_root(q * (1.0 + rel), ghk_) - u) +
                abs(_small_root(q * (1.0 - rel), ghk_) - u))

    def epsilon(v: float) -> float:
        # 2 (angle_1 + epsilon) = ±acos(-v / a): the branch of the smaller misalignment.
        half = 0.5 * math.degrees(math.acos(min(1.0, max(-1.0, -v / a))))
        return min(((s * half - a1 + 90.0) % 180.0 - 90.0 for s in (1.0, -1.0)), key=abs)

    misalignment = epsilon(u)
    mis_sd = 0.5 * abs(epsilon(u + du) - epsilon(u - du))
    k_ = _k_factor(u, ghk_) if k is None else scalar(k, "k", positive=True)
    files = tuple(source) if source is not None else f1 + f2
    return Calibration(eta_star, eta_sd, k_, misalignment, mis_sd, "delta90", ghk_,
                       interval, t1 or t2, pair.cross if pair else "", pair.co if pair else "",
                       pair.wavelength if pair else math.nan, station, files)


def _raw_files(value: RawFiles, name: str) -> list[str]:
    """The raw files of a calibration: a folder (its files), a glob, a file or a list."""
    if isinstance(value, (str, os.PathLike)):
        path = os.fspath(value)
        if os.path.isdir(path):
            files = sorted(os.path.join(path, f) for f in os.listdir(path)
                           if not f.startswith(".") and os.path.isfile(os.path.join(path, f)))
            if not files:
                raise FileNotFoundError(f"{name}: the folder {path} holds no files")
            return files
        return [path]
    files = [os.fspath(v) for v in value]
    if not files:
        raise ValueError(f"{name}: no files")
    return files


def calibrate_files(plus45: RawFiles, minus45: RawFiles, *, pair: ChannelPair | None = None,
                    cross: str | None = None, co: str | None = None,
                    corrections: Mapping[str, Any] | None = None, **kwargs: Any) -> Calibration:
    """The Δ90 calibration from the raw files of its own measurement.

    Each set is read (:func:`Aerolume.io.read_licel`, which names a missing or damaged
    file), corrected (:func:`Aerolume.preprocess.correct` with `corrections`, by default
    the far-range background removed) and passed to :func:`calibrate`.  The two sets must
    hold the same channels and range grid.

    Parameters
    ----------
    plus45, minus45 : path or sequence of paths
        A folder, a glob pattern, a file or a list of files of each angle.
    pair : ChannelPair, optional
        The channels (default: `cross` and `co`, or the one pair the letters give).
    cross, co : str, optional
        Channel ids naming the pair.
    corrections : mapping, optional
        Keyword arguments of :func:`Aerolume.preprocess.correct` (a configuration's
        ``[corrections]`` table).
    **kwargs
        Those of :func:`calibrate`.

    Returns
    -------
    Calibration
    """
    from Aerolume.io import read_licel
    from Aerolume.preprocess import correct
    sets: list[tuple[str, list[str], xr.Dataset]] = []
    for name, value in (("plus45", plus45), ("minus45", minus45)):
        files = _raw_files(value, name)
        raw = read_licel(files if len(files) > 1 else files[0])
        sets.append((name, files, correct(raw, **dict(corrections or {}))))
    (n1, f1, d1), (n2, f2, d2) = sets
    c1 = [str(c) for c in d1.coords["channel"].values]
    c2 = [str(c) for c in d2.coords["channel"].values]
    if c1 != c2:
        raise ValueError(f"the calibration files do not match: {f1[0]} ({n1}) has the channels "
                         f"{c1}, {f2[0]} ({n2}) {c2}")
    if pair is None:
        where = f"{n1} ({f1[0]})"
        found = channel_pairs(d1, cross=cross, co=co, source=where)
        if len(found) != 1:
            raise ValueError(f"{where}: {len(found)} depolarisation pairs (channels {c1}); "
                             "name the pair with cross and co")
        pair = found[0]
    kwargs.setdefault("source", tuple(f1) + tuple(f2))
    return calibrate(d1, d2, pair=pair, **kwargs)


def _interval(value: Iterable[SupportsFloat]) -> tuple[float, float]:
    try:
        low, high = (float(v) for v in value)
    except (TypeError, ValueError):
        raise ValueError(f"calibration_range must be a (r_min, r_max) pair in m, got "
                         f"{value!r}") from None
    if not (math.isfinite(low) and math.isfinite(high) and 0 <= low < high):
        raise ValueError(f"calibration_range must run from a lower to a higher range, got "
                         f"({low}, {high})")
    return low, high


def calibrate_molecular(signals: Signals, *, reference: tuple[float, float],
                        molecular_depolarization: float, pair: ChannelPair | None = None,
                        ghk: GHKLike = None, station: str = "",
                        source: Sequence[str] | None = None) -> Calibration:
    """The molecular calibration, a fallback for receivers without a rotator: eta such
    that the ratio in a clean-air interval is the molecular one,
    eta = delta*_ref / x_m with x_m = (G_cross + H_cross a_m) / (G_co + H_co a_m).

    Any aerosol in the interval biases eta (and every delta_v) by its depolarisation:
    prefer the Δ90 calibration (:func:`calibrate`) wherever the receiver has a rotator.

    Parameters
    ----------
    signals : xarray.Dataset or (DataArray, DataArray)
        Background-subtracted signals, as for :func:`calibrate`; summed over time.
    reference : (float, float)
        The clean-air interval, m.
    molecular_depolarization : float
        delta_m of the receiver's line (:func:`Aerolume.atmosphere.depolarization_ratio`).
    pair, ghk, station, source
        As for :func:`calibrate`.

    Returns
    -------
    Calibration
        With ``method="molecular"``.
    """
    c, p, r, t, files, name = _signals(signals, "signals", pair)
    interval = _interval(reference)
    dm = scalar(molecular_depolarization, "molecular_depolarization", positive=True)
    ghk_ = GHK.of(ghk) if ghk is not None else (pair.ghk() if pair is not None else GHK())
    ratio, sd, _ = _ratio_in(c, p, r, interval, name)
    x_m = float(ghk_.calibrated_ratio(dm))
    eta = ratio / x_m
    return Calibration(eta, sd / x_m, 1.0, math.nan, math.nan, "molecular", ghk_, interval, t,
                       pair.cross if pair else "", pair.co if pair else "",
                       pair.wavelength if pair else math.nan, station,
                       tuple(source) if source is not None else files)


# ---- Products ------------------------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class DepolarizationUncertainty:
    """Monte Carlo settings of the depolarisation ratios' uncertainties.

    Each realisation redraws the noise of both signals, eta and the misalignment (from the
    calibration's standard deviations), delta_m (one draw for the profile) and the
    backscatter ratio (one draw per gate).

    Parameters
    ----------
    realisations : int
        Number of realisations, from 2 to :data:`Aerolume.uncertainty.MAX_REALISATIONS`
        (100,000).  Default 100.
    seed : int
        Seed of the random streams.
    cross_noise, co_noise : array_like or PoissonNoise, optional
        Noise of the two signals: standard deviations per gate (Gaussian) or photon counts
        (:class:`Aerolume.uncertainty.PoissonNoise`); None: no noise.
    molecular : float
        Standard deviation of delta_m.  Default 0.
    backscatter_ratio : array_like, optional
        Standard deviation of the backscatter ratio per gate (broadcast to the signals).
    calibration : bool
        Redraw eta and the misalignment from the calibration's uncertainties (the
        misalignment only when it is the calibration's).  Default True.
    """

    realisations: int = 100
    seed: int = 0
    cross_noise: Noise = None
    co_noise: Noise = None
    molecular: float = 0.0
    backscatter_ratio: ArrayLike | None = None
    calibration: bool = True

    def __post_init__(self) -> None:
        check_draws(self.realisations, self.seed)
        if not (np.ndim(self.molecular) == 0 and math.isfinite(self.molecular)
                and self.molecular >= 0):
            raise ValueError(f"uncertainty: molecular must be a non-negative standard "
                             f"deviation, got {self.molecular!r}")
        poisson_fields(self, ("cross_noise", "co_noise"))

    @classmethod
    def of(cls, value: DepolarizationUncertainty | Mapping[str, Any] | None
           ) -> DepolarizationUncertainty | None:
        return settings_of(cls, value, "uncertainty")

    def settings(self) -> dict[str, Any]:
        out: dict[str, Any] = {"uncertainty_method": "monte_carlo",
               "uncertainty_realisations": self.realisations, "uncertainty_seed": self.seed,
               "uncertainty_molecular_depolarization_sd": float(self.molecular),
               "uncertainty_calibration": int(self.calibration)}
        for name in ("cross_noise", "co_noise"):
            value = getattr(self, name)
            out[f"uncertainty_{name}"] = ("none" if value is None else "poisson"
                                          if isinstance(value, PoissonNoise) else "gaussian")
        return out


_VOLUME = {"units": "1", "long_name": "volume linear depolarisation ratio"}
_PARTICLE = {"units": "1", "long_name": "particle linear depolarisation ratio"}


def _flag_attrs(name: str, bits: Sequence[int]) -> dict[str, Any]:
    chosen = [(m, meaning) for m, meaning in FLAG_MEANINGS if m in bits]
    return {"long_name": f"quality flag of the {name}",
            "flag_masks": np.array([m for m, _ in chosen], dtype=np.int32),
            "flag_meanings": " ".join(meaning for _, meaning in chosen)}


def _sd_attrs(attrs: Mapping[str, str]) -> dict[str, str]:
    return {"units": "1", "long_name": f"standard deviation of the {attrs['long_name']}"}


def _calibration(value: object) -> Calibration:
    if isinstance(value, Calibration):
        return value
    raise TypeError(f"calibration must be a Calibration (from calibrate, calibrate_molecular, "
                    f"load_calibration or Calibration.constant), not {type(value).__name__}")


def _ratios(cross: ArrayLike, co: ArrayLike, range: ArrayLike, calibration: Calibration,
            ghk: GHKLike, misalignment: float | None, backscatter_ratio: ArrayLike | None,
            molecular_depolarization: ArrayLike | None,
            uncertainty: DepolarizationUncertainty | Mapping[str, Any] | None,
            threads: int | None, max_uncertainty: float, min_backscatter_ratio: float
            ) -> xr.Dataset:
    from Aerolume.retrieval import _noise  # the noise description the retrievals share
    layout = Layout(cross, range, "cross", gaps=True)
    if np.shape(co) != layout.shape:
        raise ValueError(f"cross {layout.shape} and co {np.shape(co)} must have the same "
                         "shape")
    co_layout = Layout(co, range, "co", gaps=True)
    cal = _calibration(calibration)
    receiver = GHK.of(ghk) if ghk is not None else cal.ghk
    eps = cal.misalignment if misalignment is None else scalar(misalignment, "misalignment")
    eps_sd = cal.misalignment_uncertainty if misalignment is None else 0.0
    eps = math.radians(eps) if math.isfinite(eps) else 0.0
    eps_sd = math.radians(eps_sd) if math.isfinite(eps_sd) else 0.0
    eta = np.array([cal.eta])
    particle = backscatter_ratio is not None
    ratio: FloatArray | None = None
    dm: FloatArray | None = None
    if backscatter_ratio is not None:
        if molecular_depolarization is None:  # (the callers give it with the ratio)
            raise TypeError("molecular_depolarization is needed with backscatter_ratio")
        ratio = layout.per_gate(_values(backscatter_ratio), "backscatter_ratio", finite=False)
        dm = layout.per_gate(molecular_depolarization, "molecular_depolarization",
                             positive=True)
    threads_ = thread_count(threads)
    volume, part = _core.depolarization(
        cross=layout.signal, co=co_layout.signal, eta=eta, ghk=receiver.core(), molecular=dm,
        backscatter_ratio=ratio, misalignment=eps, threads=threads_)
    variables: dict[str, tuple[AnyArray, Mapping[str, Any]]] = {}
    no_signal = ~((layout.signal > 0) & (co_layout.signal > 0))

    def bit(mask: BoolArray, value: int) -> NDArray[np.int32]:
        return np.where(mask & ~no_signal, value, 0).astype(np.int32)

    v_flag = np.where(no_signal, 1, 0).astype(np.int32) | bit(~((volume >= 0) & (volume <= 1)), 8)
    variables["volume_depolarization"] = (volume, _VOLUME)
    attrs: dict[str, Any] = {"method": "GHK formalism (Freudenthaler 2016)",
                             "ghk": list(receiver.core()),
                             "misalignment": math.degrees(eps), **cal.attrs()}
    mc = DepolarizationUncertainty.of(uncertainty)
    if ratio is not None:
        assert isinstance(part, np.ndarray)  # (the core gives it with a backscatter ratio)
        full_ratio = np.broadcast_to(ratio, (layout.profiles, layout.gates)).reshape(layout.shape)
        p_flag = (np.where(no_signal, 1, 0).astype(np.int32)
                  | bit(~(full_ratio >= min_backscatter_ratio), 2)
                  | bit(~((part >= 0) & (part <= 1)), 8))
        variables["particle_depolarization"] = (part, _PARTICLE)
        attrs["particle_method"] = "Freudenthaler et al. (2009), eq. 8"
        if dm is not None and np.all(dm == dm.flat[0]):
            attrs["molecular_depolarization"] = float(dm.flat[0])
    if mc is not None:
        ratio_sd: FloatArray | None = None
        if particle and mc.backscatter_ratio is not None:
            ratio_sd = layout.per_gate(_values(mc.backscatter_ratio),
                                       "uncertainty.backscatter_ratio", positive=True,
                                       allow_zero=True)
        eta_sd = np.array([cal.eta_uncertainty if mc.calibration else 0.0])
        v_sd, p_sd = _core.depolarization_monte_carlo(
            layout.signal, co_layout.signal, eta, receiver.core(), dm, ratio,
            cross_noise=_noise(layout, mc.cross_noise, "uncertainty.cross_noise"),
            co_noise=_noise(co_layout, mc.co_noise, "uncertainty.co_noise"),
            realisations=mc.realisations, seed=mc.seed, eta_sd=eta_sd,
            molecular_sd=float(mc.molecular), backscatter_ratio_sd=ratio_sd, misalignment=eps,
            misalignment_sd=eps_sd if mc.calibration else 0.0, threads=threads_)
        variables["volume_depolarization_uncertainty"] = (v_sd, _sd_attrs(_VOLUME))
        v_flag |= bit(~(v_sd <= max_uncertainty), 4)
        if particle:
            assert isinstance(p_sd, np.ndarray)  # (the core gives it with a backscatter ratio)
            variables["particle_depolarization_uncertainty"] = (p_sd, _sd_attrs(_PARTICLE))
            p_flag |= bit(~(p_sd <= max_uncertainty), 4)
        attrs.update(mc.settings())
    variables["volume_depolarization_flag"] = (v_flag, _flag_attrs(_VOLUME["long_name"],
                                                                   (1, 4, 8)))
    if particle:
        variables["particle_depolarization_flag"] = (p_flag, _flag_attrs(
            _PARTICLE["long_name"], (1, 2, 4, 8)))
    attrs["flag_max_uncertainty"] = float(max_uncertainty)
    if particle:
        attrs["flag_min_backscatter_ratio"] = float(min_backscatter_ratio)
    return layout.dataset(variables, attrs)


def _values(value: ArrayLike) -> ArrayLike:
    return value.values if isinstance(value, xr.DataArray) else value


def volume_depolarization(cross: ArrayLike, co: ArrayLike, range: ArrayLike,
                          calibration: Calibration, *, ghk: GHKLike = None,
                          misalignment: float | None = None,
                          uncertainty: DepolarizationUncertainty | Mapping[str, Any] | None = None,
                          max_uncertainty: float = 0.05,
                          threads: int | None = None) -> xr.Dataset:
    """The volume linear depolarisation ratio delta_v (module description).

    Parameters
    ----------
    cross, co : array_like, shape (..., range)
        Background-subtracted signals of the cross channel and of the co-polarised or total
        channel (DataArrays lend their dimensions and coordinates to the result).
    range : array_like, shape (range,)
        Range of each gate, m.
    calibration : Calibration
        The pair's calibration (eta = eta* / K, its uncertainty, the receiver's GHK).
    ghk : GHK or mapping, optional
        The receiver's G and H (default those of the calibration).
    misalignment : float, optional
        Rotational misalignment of the receiver when measuring, degrees; H becomes
        H cos 2 epsilon.  Default the calibration's estimate (none when it has none).
    uncertainty : DepolarizationUncertainty or dict, optional
        Monte Carlo settings.
    max_uncertainty : float
        Gates whose standard deviation exceeds this get the ``large_uncertainty`` flag.
    threads : int, optional
        Number of threads; None uses every core.

    Returns
    -------
    xarray.Dataset
        ``volume_depolarization`` (1), ``volume_depolarization_flag`` and, with
        `uncertainty`, ``volume_depolarization_uncertainty``; attributes record the
        calibration used.
    """
    return _ratios(cross, co, range, calibration, ghk, misalignment, None, None, uncertainty,
                   threads, max_uncertainty, 0.0)


def particle_depolarization(cross: ArrayLike, co: ArrayLike, range: ArrayLike,
                            calibration: Calibration, backscatter_ratio: ArrayLike,
                            molecular_depolarization: ArrayLike | None = None, *,
                            wavelength: float | None = None,
                            line: Literal["total", "cabannes"] = "total", ghk: GHKLike = None,
                            misalignment: float | None = None,
                            uncertainty: DepolarizationUncertainty | Mapping[str, Any] | None = None,
                            min_backscatter_ratio: float = 2.0, max_uncertainty: float = 0.05,
                            threads: int | None = None) -> xr.Dataset:
    """The particle linear depolarisation ratio delta_p, with delta_v (module description).

    Parameters
    ----------
    cross, co, range, calibration, ghk, misalignment, threads
        As for :func:`volume_depolarization`.
    backscatter_ratio : array_like
        R = (beta_a + beta_m) / beta_m of the receiver's line, broadcast to the signals
        (e.g. 1 + beta_a / beta_m of a Klett-Fernald or Raman retrieval); NaN gates give NaN.
    molecular_depolarization : array_like, optional
        delta_m; default :func:`Aerolume.atmosphere.depolarization_ratio` of `wavelength`
        and `line` (the linear ratio).
    wavelength : float, optional
        m; default the calibration's.
    line : {"total", "cabannes"}
        The molecular line the receiver's filter passes (for the default delta_m).
    uncertainty : DepolarizationUncertainty or dict, optional
        Monte Carlo settings (noise, ``molecular`` and ``backscatter_ratio`` standard
        deviations).
    min_backscatter_ratio : float
        Gates below it get the ``low_backscatter_ratio`` flag.  Default 2.
    max_uncertainty : float
        As for :func:`volume_depolarization`.

    Returns
    -------
    xarray.Dataset
        The variables of :func:`volume_depolarization` and ``particle_depolarization``,
        ``particle_depolarization_flag`` and (with `uncertainty`)
        ``particle_depolarization_uncertainty``.
    """
    if molecular_depolarization is None:
        from Aerolume.atmosphere import depolarization_ratio
        cal = _calibration(calibration)
        w = wavelength if wavelength is not None else cal.wavelength
        if w is None or not math.isfinite(w):
            raise ValueError("molecular_depolarization or the wavelength is needed (the "
                             "calibration records none)")
        molecular_depolarization = float(depolarization_ratio(scalar(w, "wavelength",
                                                                     positive=True),
                                                              kind="linear", line=line))
    ds = _ratios(cross, co, range, calibration, ghk, misalignment, backscatter_ratio,
                 molecular_depolarization, uncertainty, threads, max_uncertainty,
                 scalar(min_backscatter_ratio, "min_backscatter_ratio"))
    ds.attrs["molecular_line"] = line
    return ds


def total_signal(cross: ArrayLike, co: ArrayLike, calibration: Calibration, *,
                 ghk: GHKLike = None,
                 misalignment: float | None = None) -> FloatArray:
    """The signal of the total backscatter from a pair (for the backscatter retrievals):

        I_total ∝ (eta H_cross I_co - H_co I_cross) / (H_cross G_co - H_co G_cross)

    (Freudenthaler 2016), in the units of the co channel (eta_co F11).  For a total/cross
    pair this is the total channel itself.

    Parameters
    ----------
    cross, co : array_like
        The cross and the co channel's signals.
    calibration : Calibration
        The pair's calibration (gain ratio eta, receiver, misalignment).
    ghk : GHK, optional
        The receiver's G and H instead of the calibration's.
    misalignment : float, optional
        The receiver's misalignment (degrees) instead of the calibration's.

    Returns
    -------
    numpy.ndarray
        The total signal.
    """
    cal = _calibration(calibration)
    receiver = GHK.of(ghk) if ghk is not None else cal.ghk
    eps = cal.misalignment if misalignment is None else scalar(misalignment, "misalignment")
    if math.isfinite(eps):
        receiver = receiver.rotated(eps)
    c = as_float64(_values(cross), "cross")
    p = as_float64(_values(co), "co")
    if c.shape != p.shape:
        raise ValueError(f"cross {c.shape} and co {p.shape} must have the same shape")
    g = receiver
    return (cal.eta * g.h_cross * p - g.h_co * c) / (cal.eta * (g.h_cross * g.g_co -
                                                                g.h_co * g.g_cross))


# ---- Calibration history --------------------------------------------------------------------

_STATION = re.compile(r"^[A-Za-z0-9][A-Za-z0-9_.-]*$")


def _station_name(station: str) -> str:
    if not isinstance(station, str) or not _STATION.match(station):
        raise ValueError(f"station must be a name of letters, digits, '_', '-' or '.', got "
                         f"{station!r}")
    return station


def _day(date: object) -> _dt.date:
    if isinstance(date, _dt.datetime):
        return date.date()
    if isinstance(date, _dt.date):
        return date
    if isinstance(date, np.datetime64):
        return _dt.date.fromisoformat(str(np.datetime_as_string(date, unit="D")))
    if isinstance(date, str):
        try:
            return _dt.date.fromisoformat(date[:10])
        except ValueError:
            pass
    raise ValueError(f"date must be a date, datetime, numpy.datetime64 or 'YYYY-MM-DD', got "
                     f"{date!r}")


def _history_file(history_dir: PathLike, station: str, day: _dt.date) -> str:
    return os.path.join(os.fspath(history_dir), f"{station}_{day:%Y%m%d}_depolarization.json")


def save_calibration(calibration: Calibration, history_dir: PathLike, *,
                     station: str | None = None, date: object = None) -> str:
    """Stores a calibration in the history: one JSON file per station and date
    (``<station>_<YYYYMMDD>_depolarization.json``) holding the calibrations of that day by
    pair (a calibration of the same pair replaces the earlier one).

    Parameters
    ----------
    calibration : Calibration
    history_dir : path
        The history folder (made if missing).
    station : str, optional
        Default the calibration's.
    date : date or str, optional
        Default the date of the calibration's time.

    Returns
    -------
    str
        The file written.
    """
    cal = _calibration(calibration)
    name = _station_name(station if station is not None else cal.station)
    if date is None:
        if not cal.time:
            raise ValueError("date is needed: the calibration records no time")
        date = cal.time
    day = _day(date)
    os.makedirs(os.fspath(history_dir), exist_ok=True)
    path = _history_file(history_dir, name, day)
    entries = _read_history(path) if os.path.exists(path) else []
    key = (cal.cross, cal.co)
    entries = [e for e in entries if (e.get("cross", ""), e.get("co", "")) != key]
    record = cal.to_dict()
    record["station"] = name
    record["origin"] = "measured"
    entries.append(record)
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump({"station": name, "date": day.isoformat(), "calibrations": entries}, f,
                  indent=1, sort_keys=True, allow_nan=False)
    os.replace(tmp, path)
    return path


def _read_history(path: str) -> list[dict[str, Any]]:
    try:
        with open(path, encoding="utf-8") as f:
            content = json.load(f)
        entries: list[dict[str, Any]] = content["calibrations"]
        if not isinstance(entries, list):
            raise TypeError
    except (OSError, ValueError, KeyError, TypeError) as error:
        raise ValueError(f"{path}: not a depolarisation calibration file ({error})") from None
    return entries


def load_calibration(history_dir: PathLike, station: str, date: object, *,
                     cross: str | None = None,
                     co: str | None = None, max_age: float | None = None) -> Calibration:
    """The calibration of a station for a date: that day's, or else the latest earlier one,
    whose ``origin`` then names the file it came from (and a warning says so).

    Parameters
    ----------
    history_dir : path
        The history folder of :func:`save_calibration`.
    station : str
    date : date or str
        The night to process.
    cross, co : str, optional
        The pair's channel ids, when the history holds several pairs.
    max_age : float, optional
        The oldest calibration accepted, days before `date`.

    Returns
    -------
    Calibration
    """
    name = _station_name(station)
    day = _day(date)
    folder = os.fspath(history_dir)
    if not os.path.isdir(folder):
        raise FileNotFoundError(f"{folder}: no calibration history folder")
    pattern = re.compile(rf"^{re.escape(name)}_(\d{{8}})_depolarization\.json$")
    days = []
    for entry in os.listdir(folder):
        m = pattern.match(entry)
        if m:
            try:
                d = _dt.datetime.strptime(m.group(1), "%Y%m%d").date()
            except ValueError:
                continue
            if d <= day:
                days.append(d)
    for d in sorted(days, reverse=True):
        if max_age is not None and (day - d).days > max_age:
            break
        path = _history_file(folder, name, d)
        entries = [e for e in _read_history(path)
                   if (cross is None or e.get("cross") == cross)
                   and (co is None or e.get("co") == co)]
        if not entries:
            continue
        if len(entries) > 1:
            raise ValueError(f"{path} holds calibrations of several pairs "
                             f"{[(e.get('cross'), e.get('co')) for e in entries]}; give cross "
                             "and co")
        cal = Calibration.from_dict(entries[0], source=path)
        if d == day:
            return dataclasses.replace(cal, origin=f"measured on {d.isoformat()}: {path}")
        origin = f"latest earlier calibration, of {d.isoformat()}: {path}"
        warnings.warn(f"no depolarisation calibration of {name} on {day.isoformat()}; using "
                      f"the {origin}", RuntimeWarning, stacklevel=2)
        return dataclasses.replace(cal, origin=origin)
    limit = "" if max_age is None else f" within {max_age:g} days"
    raise FileNotFoundError(f"{folder}: no depolarisation calibration of {name} on or "
                            f"before {day.isoformat()}{limit}"
                            + (f" for the pair ({cross}, {co})" if cross or co else ""))


# ---- A configuration's [[depolarization]] tables, for the processing of a night -------------

#: The fields of a ``[[depolarization]]`` table: name -> (default, description).
TABLE_FIELDS: dict[str, tuple[Any, str]] = {
    "cross": (None, "cross channel id; default the pair the polarisation letters give"),
    "co": (None, "parallel or total channel id (with cross)"),
    "plus45": (None, "raw files of the +45° calibration: a folder, a glob or a list"),
    "minus45": (None, "raw files of the -45° calibration"),
    "eta": (None, "a gain ratio eta given as a number instead of a calibration measurement"),
    "eta_uncertainty": (0.0, "its standard uncertainty"),
    "molecular_reference": (None, "[bottom, top] (m): the molecular calibration, for "
                                  "receivers without a rotator"),
    "calibration_range": ([2000.0, 4000.0], "range of the ±45° calibration (m)"),
    "history": (None, "calibration history folder: calibrations are stored there and a "
                      "night without one uses the latest earlier one"),
    "station": ("", "station name of the history files"),
    "ghk": (None, "[G_co, H_co, G_cross, H_cross]; default the ideal receiver of the pair"),
    "line": ("total", 'molecular line the filter passes: "total" or "cabannes"'),
    "molecular_uncertainty": (0.0, "standard uncertainty of delta_m"),
    "min_backscatter_ratio": (2.0, "delta_p is flagged below this backscatter ratio"),
    "calibration_max_age": (30.0, "a calibration older than this (days) is flagged out of "
                                  "date"),
}


def check_table(table: Mapping[str, Any], where: str = "[[depolarization]]") -> dict[str, Any]:
    """A ``[[depolarization]]`` table with its defaults filled in, or a ValueError naming
    `where` and the field (unknown fields, a pair half named, calibration files for one
    angle only, no way to calibrate).

    Parameters
    ----------
    table : mapping
        One ``[[depolarization]]`` table of a configuration.
    where : str
        The table's place in the configuration, for the messages.

    Returns
    -------
    dict
        The table, every field filled in.
    """
    if not isinstance(table, Mapping):
        raise ValueError(f"{where}: must be a table")
    unknown = set(table) - set(TABLE_FIELDS)
    if unknown:
        raise ValueError(f"{where}: unknown field(s) {sorted(unknown)} (known: "
                         f"{', '.join(TABLE_FIELDS)})")
    out = {k: table.get(k, default) for k, (default, _) in TABLE_FIELDS.items()}
    if (out["cross"] is None) != (out["co"] is None):
        missing = "cross" if out["cross"] is None else "co"
        raise ValueError(f"{where}: {missing} is missing: name both channels of the pair or "
                         "neither")
    if (out["plus45"] is None) != (out["minus45"] is None):
        raise ValueError(f"{where}: the ±45° calibration needs both plus45 and minus45")
    ways = sum(x is not None for x in (out["plus45"], out["eta"], out["molecular_reference"]))
    if ways > 1:
        raise ValueError(f"{where}: give one of plus45/minus45, eta or molecular_reference")
    if ways == 0 and out["history"] is None:
        raise ValueError(f"{where}: no calibration: give plus45/minus45, eta, "
                         "molecular_reference or a history folder")
    if out["history"] is not None and not out["station"]:
        raise ValueError(f"{where}: history needs station")
    if out["ghk"] is not None:
        try:
            out["ghk"] = GHK(*[float(v) for v in out["ghk"]])
        except (TypeError, ValueError) as error:
            raise ValueError(f"{where}: ghk: {error}") from None
    out["calibration_range"] = _interval(out["calibration_range"])
    if out["molecular_reference"] is not None:
        out["molecular_reference"] = _interval(out["molecular_reference"])
    if out["line"] not in ("total", "cabannes"):
        raise ValueError(f"{where}: line must be 'total' or 'cabannes', got {out['line']!r}")
    for name, positive in (("eta", True), ("eta_uncertainty", False),
                           ("molecular_uncertainty", False), ("min_backscatter_ratio", False),
                           ("calibration_max_age", True)):
        value = out[name]
        if value is None and name == "eta":
            continue
        if (isinstance(value, bool) or not isinstance(value, (int, float))
                or not math.isfinite(value) or value < 0 or (positive and value == 0)):
            kind = "positive" if positive else "non-negative"
            raise ValueError(f"{where}: {name} must be a {kind} number, got {value!r}")
    for name in ("plus45", "minus45"):
        value = out[name]
        if value is not None and not (isinstance(value, (str, os.PathLike)) or (
                isinstance(value, (list, tuple)) and value
                and all(isinstance(v, (str, os.PathLike)) for v in value))):
            raise ValueError(f"{where}: {name} must be a folder, a glob pattern, a file or a "
                             f"list of files, got {value!r}")
    return out


def table_calibration(table: Mapping[str, Any], date: object, *,
                      corrections: Mapping[str, Any] | None = None,
                      signals: xr.Dataset | None = None,
                      where: str = "[[depolarization]]") -> Calibration:
    """The calibration a checked table gives for the night of `date`: measured from its
    ±45° files (and stored in its history), a constant, the molecular fallback on
    `signals` (the night's corrected Dataset), or the history's latest.

    Parameters
    ----------
    table : mapping
        A table checked by :func:`check_table`.
    date : datetime-like
        The night's date.
    corrections : mapping, optional
        The corrections applied to the calibration files (keyword arguments of
        :func:`Aerolume.preprocess.correct`).
    signals : xarray.Dataset, optional
        The night's corrected Dataset, for the molecular calibration.
    where : str
        The table's place in the configuration, for the messages.

    Returns
    -------
    Calibration
        The calibration, its ``origin`` saying where it came from.
    """
    t = check_table(table, where)
    pair_args = {"cross": t["cross"], "co": t["co"]}
    if t["plus45"] is not None:
        cal = calibrate_files(t["plus45"], t["minus45"], corrections=corrections,
                              calibration_range=t["calibration_range"], ghk=t["ghk"],
                              station=t["station"], **pair_args)
        if t["history"] is not None:
            save_calibration(cal, t["history"], station=t["station"],
                             date=cal.time or date)
        return cal
    if t["eta"] is not None:
        return Calibration.constant(t["eta"], t["eta_uncertainty"], ghk=t["ghk"],
                                    source=where)
    if t["molecular_reference"] is not None:
        if signals is None:
            raise ValueError(f"{where}: the molecular calibration needs the night's signals")
        pair = channel_pairs(signals, source=where, **pair_args)
        if len(pair) != 1:
            raise ValueError(f"{where}: {len(pair)} depolarisation pairs; name cross and co")
        from Aerolume.atmosphere import depolarization_ratio
        dm = float(depolarization_ratio(pair[0].wavelength, kind="linear", line=t["line"]))
        return calibrate_molecular(signals, reference=t["molecular_reference"],
                                   molecular_depolarization=dm, pair=pair[0], ghk=t["ghk"],
                                   station=t["station"], source=(where,))
    return load_calibration(t["history"], t["station"], date, cross=t["cross"], co=t["co"])


def block_products(product: xr.Dataset, table: Mapping[str, Any], calibration: Calibration, *,
                   realisations: int = 100, seed: int | Sequence[int] = 0,
                   threads: int | None = None,
                   where: str = "[[depolarization]]",
                   klett_channel: str | None = None) -> xr.Dataset:
    """delta_v and delta_p of one block of a night's products.

    Parameters
    ----------
    product : xarray.Dataset
        A block as :func:`Aerolume.processing.products.retrieve` gives it: ``signal`` and
        ``signal_noise`` on (time, channel, range), ``beta_m`` on (channel, range) and, for
        delta_p, ``backscatter`` (and ``backscatter_uncertainty``) on (time, klett_channel,
        range) with a Klett-Fernald channel of the pair's wavelength.
    table : mapping
        The ``[[depolarization]]`` table.
    calibration : Calibration
        From :func:`table_calibration`.
    realisations, seed, threads
        Monte Carlo settings (realisations 0: no uncertainties); `seed` may be one seed
        per profile (the Monte Carlo of each profile then draws from its own, whatever
        block it is in).
    where : str
        The table's place in the configuration, for the messages.
    klett_channel : str, optional
        The Klett-Fernald channel whose backscatter gives the backscatter ratio (such as
        the total signal of a parallel/cross pair); default the first of the pair's
        wavelength.

    Returns
    -------
    xarray.Dataset
        On (time, range): ``volume_depolarization``, ``particle_depolarization`` (when a
        Klett channel of the wavelength exists), their ``*_uncertainty`` and ``*_flag``,
        and the ``backscatter_ratio`` used (its attribute ``source_channel`` names the
        channel); the calibration in the attributes.
    """
    t = check_table(table, where)
    pairs = channel_pairs(product, cross=t["cross"], co=t["co"], source=where)
    if len(pairs) != 1:
        raise ValueError(f"{where}: {len(pairs)} depolarisation pairs in the data; name cross "
                         "and co")
    pair = pairs[0]
    cross, co = pair_signals(product, pair, source=where)
    if "signal_noise" in product:
        noise_cross, noise_co = pair_signals(product, pair, variable="signal_noise",
                                             source=where)
        noises: tuple[AnyArray | None, AnyArray | None] = (np.nan_to_num(noise_cross.values),
                                                           np.nan_to_num(noise_co.values))
    else:
        noises = (None, None)
    r = product["range"].values
    ratio: AnyArray | None = None
    ratio_sd: AnyArray | None = None
    if "backscatter" in product and "klett_channel" in product.dims:
        klett = [str(c) for c in product["klett_channel"].values]
        same = [c for c in klett if c in product["wavelength"].coords["channel"].values
                and abs(float(product["wavelength"].sel(channel=c)) - pair.wavelength) < 1e-9]
        if klett_channel is not None:
            if klett_channel not in klett:
                raise ValueError(f"{where}: no Klett-Fernald channel {klett_channel!r} (the "
                                 f"retrieval has {klett})")
            same = [klett_channel]
        if same:
            beta_m = product["beta_m"].sel(channel=same[0]).values
            ratio = 1.0 + product["backscatter"].sel(klett_channel=same[0]).values / beta_m
            if "backscatter_uncertainty" in product:
                ratio_sd = np.nan_to_num(
                    product["backscatter_uncertainty"].sel(klett_channel=same[0]).values
                    / beta_m)
    dm = None
    if ratio is not None:
        from Aerolume.atmosphere import depolarization_ratio
        dm = float(depolarization_ratio(scalar(pair.wavelength, "wavelength", positive=True),
                                        kind="linear", line=t["line"]))

    def run(c: ArrayLike, p: ArrayLike, ratio_: ArrayLike | None,
            uncertainty: DepolarizationUncertainty | None) -> xr.Dataset:
        if ratio_ is None:
            return volume_depolarization(c, p, r, calibration, ghk=t["ghk"],
                                         uncertainty=uncertainty, threads=threads)
        return particle_depolarization(c, p, r, calibration, ratio_, dm, line=t["line"],
                                       ghk=t["ghk"], uncertainty=uncertainty,
                                       min_backscatter_ratio=t["min_backscatter_ratio"],
                                       threads=threads)

    def settings(seed_: int, rows: slice | int = slice(None)
                 ) -> DepolarizationUncertainty | None:
        if not realisations:
            return None

        def pick(a: AnyArray | None) -> AnyArray | None:
            return None if a is None else a[rows]
        return DepolarizationUncertainty(realisations, seed_, pick(noises[0]),
                                         pick(noises[1]), float(t["molecular_uncertainty"]),
                                         pick(ratio_sd))

    seeds = list(seed) if isinstance(seed, (Sequence, np.ndarray)) else None
    if seeds is None or not realisations:
        one = None if isinstance(seed, (Sequence, np.ndarray)) else settings(seed)
        out = run(cross, co, ratio, one)
    else:
        # One Monte Carlo stream per profile (its own seed), the values in one call.
        if cross.ndim != 2 or len(seeds) != cross.shape[0]:
            raise ValueError(f"{where}: seed: {len(seeds)} seeds for {cross.shape[:-1]} "
                             "profiles")
        out = run(cross, co, ratio, None)
        rows = [run(cross.values[i], co.values[i], None if ratio is None else ratio[i],
                    settings(operator.index(seeds[i]), i)) for i in range(len(seeds))]
        for name in map(str, rows[0].data_vars):
            if name.endswith(("_uncertainty", "_flag")):
                out[name] = (cross.dims, np.stack([row[name].values for row in rows]),
                             rows[0][name].attrs)
        out.attrs.update({k: v for k, v in rows[0].attrs.items()
                          if k.startswith("uncertainty_")})
        out.attrs["uncertainty_seed"] = "one per profile"
    out.attrs.update({"cross_channel": pair.cross, "co_channel": pair.co,
                      "co_kind": pair.co_kind})
    if ratio is not None:
        out["backscatter_ratio"] = (cross.dims, np.asarray(ratio, dtype=float),
                                    {"units": "1", "long_name": "backscatter ratio",
                                     "source_channel": same[0]})
    return out
