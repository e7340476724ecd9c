"""Aerosol retrievals: Fernald's elastic inversion, the Raman method, the molecular
reference search, Monte Carlo uncertainties, and cloud and boundary-layer detection
(:mod:`Aerolume.retrieval.clouds`).

Conventions of every function here:

- ``signal`` is the background-subtracted, overlap-corrected signal P(r), not range
  corrected, of shape (..., range); a leading shape (time, ...) retrieves every profile in
  one call.  A :class:`xarray.DataArray` lends its dimensions and coordinates to the result.
- ``range`` is the range of each gate from the instrument, m (one profile).
- ``molecular`` is any mapping of arrays broadcastable to the signal: ``alpha_m`` (m^-1),
  ``beta_m`` (m^-1 sr^-1) and, for the Raman method, ``number_density`` (m^-3); the Dataset
  of :func:`Aerolume.atmosphere.molecular_profile` works as is.  The molecular backscatter is
  that of the line the channel receives (the whole Rayleigh band or the Cabannes line), and
  the molecular lidar ratio is ``alpha_m / beta_m`` of that line.
- A reference value is a backscatter ratio (beta_a + beta_m) / beta_m; 1 is clean air.
- Results are :class:`xarray.Dataset` with ``backscatter`` (m^-1 sr^-1), ``extinction``
  (m^-1) and, with ``uncertainty=``, their standard deviations ``*_uncertainty`` (see
  :mod:`Aerolume.uncertainty`).
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Callable, Iterable, Mapping
from typing import TYPE_CHECKING, Any, Literal, Protocol, TypedDict, Union, overload

import numpy as np
import xarray as xr
from numpy.typing import ArrayLike, NDArray

from Aerolume import _core
from Aerolume._checks import require_finite, thread_count
from Aerolume._shapes import Layout, Molecular, Reference, array, scalar
from Aerolume._typing import AnyArray, BoolArray, FloatArray, IntArray
from Aerolume.retrieval.clouds import boundary_layer_height, detect_clouds
from Aerolume.retrieval.reference import ReferenceSearch, find_reference
from Aerolume.uncertainty import MonteCarlo, Noise, PoissonNoise

if TYPE_CHECKING:
    from typing_extensions import Unpack

__all__ = ["klett_fernald", "raman_extinction", "raman_backscatter", "raman_retrieval",
           "lidar_ratio", "find_reference", "ReferenceSearch", "MonteCarlo", "PoissonNoise",
           "raman_wavelength", "NITROGEN_RAMAN_SHIFT", "detect_clouds",
           "boundary_layer_height"]

#: Monte Carlo settings of a retrieval: a MonteCarlo, a dict of its fields, or None.
Uncertainty = Union[MonteCarlo, Mapping[str, Any], None]
#: The Raman extinction's fit window, m: fixed, per gate, or a function of range.
Window = Union[float, ArrayLike, Callable[["FloatArray"], ArrayLike]]


class HasRange(Protocol):
    """What the derivative's window needs of a layout: the gates' ranges, m."""

    @property
    def range(self) -> FloatArray: ...


#: Vibrational Raman shift of nitrogen, m^-1 (2330.7 cm^-1).
NITROGEN_RAMAN_SHIFT = 2330.7e2

_BACKSCATTER = {"units": "m-1 sr-1", "long_name": "aerosol backscatter coefficient"}
_EXTINCTION = {"units": "m-1", "long_name": "aerosol extinction coefficient"}
_FAILED = {"units": "1", "long_name": "Monte Carlo realisations that failed at the gate (a "
           "non-positive signal in the fit window); the uncertainties are the robust spread "
           "of the others"}


def raman_wavelength(wavelength: ArrayLike, shift: float = NITROGEN_RAMAN_SHIFT
                     ) -> float | FloatArray:
    """The wavelength of the Raman line shifted by `shift` from `wavelength`.

    Parameters
    ----------
    wavelength : array_like
        Emitted wavelength, m.
    shift : float
        Raman shift, m^-1 (default nitrogen's vibrational shift, 2330.7 cm^-1).

    Returns
    -------
    float or numpy.ndarray
        The Raman wavelength, m: 1 / (1 / wavelength - shift) (354.7 nm gives 386.7 nm).
    """
    w = require_finite(array(wavelength, "wavelength"), "wavelength")
    if not np.all(w > 0) or not np.all(1.0 / w > shift):
        raise ValueError("wavelength must be positive and shorter than 1 / shift")
    out = 1.0 / (1.0 / w - shift)
    return float(out) if out.ndim == 0 else out


# ---- Inputs shared by the retrievals ---------------------------------------------------

def _noise_arrays(layout: Layout, noise: Noise, name: str
                  ) -> tuple[_core.NoiseKind, FloatArray | None, FloatArray | None,
                             FloatArray | None]:
    """(kind, sigma, counts_per_unit, background) of a noise description, None where the
    kind has no such array."""
    if noise is None:
        return _core.NoiseKind.none, None, None, None
    if isinstance(noise, PoissonNoise):
        counts = layout.per_gate(noise.counts_per_unit, f"{name}.counts_per_unit", positive=True)
        background = layout.per_gate(noise.background, f"{name}.background")
        return _core.NoiseKind.poisson, None, counts, background
    sigma = layout.per_gate(noise, name, positive=True, allow_zero=True)
    return _core.NoiseKind.gaussian, sigma, None, None


def _noise(layout: Layout, noise: Noise, name: str) -> _core.NoiseModel | None:
    """The core's model of a noise description (None for none)."""
    if noise is None:
        return None
    kind, sigma, counts, background = _noise_arrays(layout, noise, name)
    return _core.NoiseModel(kind=kind, sigma=sigma, counts_per_unit=counts,
                            background=background)


def _noise_sd(layout: Layout, noise: Noise, name: str) -> FloatArray:
    """The standard deviation per gate that a noise description gives the signal."""
    kind, sigma, counts, background = _noise_arrays(layout, noise, name)
    if kind == _core.NoiseKind.gaussian:
        assert sigma is not None  # (Gaussian noise is its standard deviation)
        return sigma
    assert counts is not None and background is not None  # (Poisson noise is counted)
    rows = layout.signal.reshape(layout.profiles, layout.gates)
    if layout.profiles == 1:
        rows = rows[0]
    sd: FloatArray = np.ascontiguousarray(
        np.sqrt(np.maximum(counts * (rows + background), 0.0)) / counts)
    return sd


class _Deviations(TypedDict, total=False):
    """The standard deviations of the systematic parameters a Monte Carlo redraws."""

    lidar_ratio_sd: float
    reference_value_sd: float
    angstrom_sd: float


def _settings(mc: MonteCarlo, **sd: Unpack[_Deviations]) -> _core.MonteCarloSettings:
    """The core's Monte Carlo settings of `mc`, with the standard deviations `sd`."""
    return _core.MonteCarloSettings(realisations=mc.realisations, seed=mc.seed, **sd)


def _lidar_ratio(layout: Layout, value: ArrayLike) -> FloatArray:
    return layout.per_gate(value, "lidar_ratio", positive=True)


def _reference(layout: Layout, reference: Reference, reference_value: ArrayLike,
               stacklevel: int = 3) -> tuple[IntArray, FloatArray, BoolArray]:
    """Gate intervals, reference values and the mask of profiles without a reference
    (warned of at `stacklevel`, as warnings.warn counts it from here)."""
    if isinstance(reference, ReferenceSearch) and not np.any(reference.found):
        raise ValueError(f"reference: no reference interval was found: {reference.reason_text()}")
    gates, missing = layout.interval_gates(reference)
    value = layout.per_profile(reference_value, "reference_value", positive=True)
    if missing.all():
        raise ValueError("reference holds no interval (all NaN)")
    if missing.any():
        warnings.warn(f"{int(missing.sum())} of {missing.size} profiles have no reference "
                      "interval; their results are NaN", RuntimeWarning, stacklevel=stacklevel)
    return gates, value, missing


def _blank(arrays: Iterable[FloatArray], missing: BoolArray, layout: Layout) -> None:
    if missing.any():
        for a in arrays:
            a.reshape(layout.profiles, layout.gates)[missing] = np.nan


def _wavelengths(molecular: Molecular, molecular_raman: Molecular, wavelength: float | None,
                 raman_wavelength_: float | None) -> tuple[float, float]:
    """The emitted and Raman wavelengths, m: as given, else the mappings' attributes."""
    def attribute(mapping: Molecular) -> float | None:
        found: float | None = getattr(mapping, "attrs", {}).get("wavelength")
        return found
    given = wavelength if wavelength is not None else attribute(molecular)
    if given is None:
        raise ValueError("wavelength is needed (molecular has no 'wavelength' attribute)")
    w0 = scalar(given, "wavelength", positive=True)
    wr = raman_wavelength_ if raman_wavelength_ is not None else attribute(molecular_raman)
    return w0, (float(raman_wavelength(w0)) if wr is None
                else scalar(wr, "raman_wavelength", positive=True))


def _half_widths(layout: HasRange, window: Window) -> FloatArray:
    """Gates either side of each gate for a derivative window of `window` m (a number, an
    array per gate or a callable of range)."""
    r = layout.range
    given = window(r) if callable(window) else window
    checked = require_finite(array(given, "window"), "window")
    w = np.broadcast_to(checked, r.shape) if checked.ndim == 0 or checked.shape == r.shape \
        else None
    if w is None:
        raise ValueError(f"window must be a number, a callable of range or an array of "
                         f"{r.size} values per gate")
    spacing = np.gradient(r)
    half = np.floor((w / spacing - 1.0) / 2.0 + 0.5)
    if np.any(half < 1):
        raise ValueError(f"window must span at least 3 gates; the smallest window is "
                         f"{w.min():g} m for gates {spacing.min():g} m apart")
    return np.ascontiguousarray(half, dtype=np.float64)


# ---- Klett-Fernald ---------------------------------------------------------------------

@overload
def klett_fernald(signal: ArrayLike, range: ArrayLike, molecular: Molecular,
                  lidar_ratio: ArrayLike, reference: Reference | None = ...,
                  reference_value: ArrayLike = ..., *,
                  direction: Literal["backward", "forward"] = ...,
                  calibration: ArrayLike | None = ..., fit_offset: bool = ...,
                  offset_range: Reference | None = ..., uncertainty: Uncertainty = ...,
                  threads: int | None = ..., output: Literal["dataset"] = ...) -> xr.Dataset: ...
@overload
def klett_fernald(signal: ArrayLike, range: ArrayLike, molecular: Molecular,
                  lidar_ratio: ArrayLike, reference: Reference | None = ...,
                  reference_value: ArrayLike = ..., *,
                  direction: Literal["backward", "forward"] = ...,
                  calibration: ArrayLike | None = ..., fit_offset: bool = ...,
                  offset_range: Reference | None = ..., uncertainty: Uncertainty = ...,
                  threads: int | None = ..., output: Literal["arrays"]
                  ) -> dict[str, FloatArray]: ...
def klett_fernald(signal: ArrayLike, range: ArrayLike, molecular: Molecular,
                  lidar_ratio: ArrayLike, reference: Reference | None = None,
                  reference_value: ArrayLike = 1.0, *,
                  direction: Literal["backward", "forward"] = "backward",
                  calibration: ArrayLike | None = None, fit_offset: bool = True,
                  offset_range: Reference | None = None, uncertainty: Uncertainty = None,
                  threads: int | None = None,
                  output: Literal["dataset", "arrays"] = "dataset"
                  ) -> xr.Dataset | dict[str, FloatArray]:
    """Aerosol backscatter and extinction by Fernald's (1984) inversion.

    With X = P r^2, S_a the aerosol lidar ratio and beta_m, alpha_m the molecular
    backscatter and extinction, ``Z(r) = X exp(-2 ∫_rc^r (S_a beta_m - alpha_m) dr')`` and
    ``beta_a + beta_m = Z / (K - 2 ∫_rc^r S_a Z dr')``; both integrals use the parabolic
    rule on the range grid, not the trapezoid: each interval is integrated by the mean of
    the parabolas through it and its left or right neighbour (third order on any grid,
    fourth on a uniform one; linear in the signal, so noise is not biased).  Backward (the
    default), K follows from the reference interval where the backscatter ratio is
    `reference_value`:
    each gate of the interval gives one estimate through the solution itself and their mean
    is used, the reference range r_c being the interval's middle gate.  Before that, with
    `fit_offset` (the default), a residual background b is fitted over the interval together
    with the scale a, ``P = a beta_m T_m^2 / r^2 + b`` (least squares), and removed from the
    whole profile, so that a background estimated from gates that still hold molecular
    signal does not bias the inversion.  Gates beyond the interval are not retrieved (NaN).
    Forward,
    K = C T_m^2(r_0) from the system constant `calibration` and the molecular two-way
    transmission to the first gate.

    Parameters
    ----------
    signal : array_like, shape (..., range)
        Background-subtracted, overlap-corrected signal P(r) (any unit).
    range : array_like, shape (range,)
        Range of each gate, m.
    molecular : mapping
        ``alpha_m`` (m^-1) and ``beta_m`` (m^-1 sr^-1), broadcastable to the signal.
    lidar_ratio : array_like
        Aerosol lidar ratio S_a, sr: a number or a profile (per gate, broadcastable).
    reference : (float, float) or array_like (..., 2) or ReferenceSearch
        Reference interval (r_min, r_max), m, for every profile or one per profile (NaN
        where a profile has none: its results are NaN), or the result of
        :func:`find_reference`.  Needed backward.
    reference_value : array_like
        Backscatter ratio (beta_a + beta_m) / beta_m in the reference interval, per profile
        or for all.  Default 1 (clean air).
    direction : {"backward", "forward"}
        Backward from the reference (stable) or forward from the instrument (needs
        `calibration`; errors grow with range).
    calibration : array_like, optional
        System constant C of P = C r^-2 beta T^2 (signal units m^3 sr), per profile or for
        all; forward only.
    fit_offset : bool
        Fit and remove a residual background offset over the reference interval (backward
        only; needs at least 5 gates there).  Default True.
    offset_range : (float, float) or array_like (..., 2), optional
        Where the offset is fitted instead of the reference interval, m: a longer stretch
        of clean air (the reference interval and the molecular signal above it up to where
        the signal ends or a cloud begins) separates the offset from the scale far better
        than the interval alone.  For every profile or one per profile (NaN: the reference
        interval).
    uncertainty : MonteCarlo or dict, optional
        Monte Carlo settings (noise of the signal, lidar_ratio and reference_value standard
        deviations); see :mod:`Aerolume.uncertainty`.
    threads : int, optional
        Number of threads; None uses every core.
    output : {"dataset", "arrays"}
        ``"arrays"`` returns the same variables as a dict of NumPy arrays (the signal's
        shape, ``reference_offset`` its leading shape), without the Dataset, its
        coordinates and attributes: the lean path for many small calls.

    Returns
    -------
    xarray.Dataset or dict
        ``backscatter`` beta_a (m^-1 sr^-1) and ``extinction`` alpha_a = S_a beta_a (m^-1)
        on the signal's dimensions; ``reference_offset`` (per profile, signal units: the
        fitted residual background, 0 without `fit_offset`); with `uncertainty`,
        ``backscatter_uncertainty`` and ``extinction_uncertainty`` (standard deviations,
        same units; each realisation fits its own offset).  Attributes record the method,
        direction and reference.
    """
    if output not in ("dataset", "arrays"):
        raise ValueError(f"output must be 'dataset' or 'arrays', got {output!r}")
    layout = Layout(signal, range, gaps=True)
    mol = layout.molecular(molecular, ("alpha_m", "beta_m"))
    ratio = _lidar_ratio(layout, lidar_ratio)
    threads_ = thread_count(threads)
    attrs: dict[str, Any] = {"method": "Fernald (1984) inversion", "direction": direction}
    direction_inputs: dict[str, Any]  # the KlettInputs of the direction
    if direction == "backward":
        if reference is None:
            raise ValueError("reference is needed for the backward inversion")
        if calibration is not None:
            raise ValueError("calibration is used by the forward inversion only; "
                             "pass direction='forward'")
        gates, value, missing = _reference(layout, reference, reference_value)
        forward = False
        direction_inputs = dict(reference=gates, reference_value=value)
        if gates.shape[0] == 1:
            attrs["reference_range"] = [float(layout.range[gates[0, 0]]),
                                        float(layout.range[gates[0, 1] - 1])]
        if value.size == 1:
            attrs["reference_value"] = float(value[0])
    elif direction == "forward":
        if calibration is None:
            raise ValueError("calibration is needed for the forward inversion")
        calib = layout.per_profile(calibration, "calibration", positive=True)
        missing = np.zeros(layout.profiles, dtype=bool)
        forward = True
        direction_inputs = dict(forward=True, calibration=calib)
    else:
        raise ValueError(f"direction must be 'backward' or 'forward', got {direction!r}")
    if ratio.size == layout.gates and np.all(ratio == ratio[0]):
        attrs["lidar_ratio"] = float(ratio[0])
    if not isinstance(fit_offset, (bool, np.bool_)):
        raise TypeError(f"fit_offset must be True or False, got {fit_offset!r}")
    attrs["fit_offset"] = int(bool(fit_offset) and not forward)
    if fit_offset and not forward:
        direction_inputs["fit_offset"] = True
    if offset_range is not None and fit_offset and not forward:
        offset_gates, no_range = layout.interval_gates(offset_range, "offset_range")
        if no_range.any():  # the reference interval where a profile has no range of its own
            offset_gates = np.broadcast_to(offset_gates, (layout.profiles, 2)).copy()
            reference_gates = np.broadcast_to(gates, (layout.profiles, 2))
            offset_gates[np.broadcast_to(no_range, (layout.profiles,))] = \
                reference_gates[np.broadcast_to(no_range, (layout.profiles,))]
        direction_inputs["offset_interval"] = offset_gates
    inputs = _core.KlettInputs(signal=layout.signal, range=layout.range, beta_m=mol["beta_m"],
                               alpha_m=mol["alpha_m"], lidar_ratio=ratio, **direction_inputs)
    beta, alpha, failures, offsets = _core.klett_fernald(inputs, threads=threads_)
    if failures:
        warnings.warn(f"the inversion has no solution at {failures} gate(s) (the denominator "
                      "is not positive: the signal, lidar ratio or calibration does not fit); "
                      "they are NaN", RuntimeWarning, stacklevel=2)
    variables: dict[str, tuple[FloatArray, Mapping[str, Any]]] = {
        "backscatter": (beta, _BACKSCATTER), "extinction": (alpha, _EXTINCTION)}
    offsets = np.where(np.broadcast_to(missing, (layout.profiles,)).reshape(offsets.shape),
                       np.nan, offsets)
    profile_values: dict[str, tuple[FloatArray, dict[str, str]]] = {"reference_offset": (offsets, {
        "long_name": "residual background offset fitted over the reference interval",
        "units": "1"})}
    mc = MonteCarlo.of(uncertainty)
    if mc is not None:
        beta_sd, alpha_sd = _core.klett_fernald_monte_carlo(
            inputs, noise=_noise(layout, mc.noise, "uncertainty.noise"),
            settings=_settings(mc, lidar_ratio_sd=mc.lidar_ratio,
                               reference_value_sd=mc.reference_value),
            threads=threads_)
        _blank((beta_sd, alpha_sd), missing, layout)
        variables["backscatter_uncertainty"] = (beta_sd, _sd(_BACKSCATTER))
        variables["extinction_uncertainty"] = (alpha_sd, _sd(_EXTINCTION))
        attrs.update(mc.settings())
    _blank((beta, alpha), missing, layout)
    if output == "arrays":
        arrays = {k: np.asarray(v).reshape(layout.shape) for k, (v, _) in variables.items()}
        arrays["reference_offset"] = offsets.reshape(layout.lead)
        return arrays
    units = getattr(signal, "attrs", {}).get("units")
    if units:
        profile_values["reference_offset"][1]["units"] = units
    # One Dataset with every variable (assigning one afterwards merges and aligns again).
    dims = layout.dims[:-1]
    data_vars: dict[str, tuple[tuple[str, ...], AnyArray, Mapping[str, Any]]] = {}
    for key, (values, meta) in variables.items():
        data_vars[key] = (layout.dims, np.asarray(values).reshape(layout.shape), meta)
    for key, (values, meta) in profile_values.items():
        data_vars[key] = (dims, np.asarray(values).reshape(layout.lead), meta)
    return xr.Dataset(data_vars, coords=layout.coords, attrs=attrs)


def _sd(attrs: Mapping[str, str]) -> dict[str, str]:
    return {"units": attrs["units"],
            "long_name": f"standard deviation of the {attrs['long_name']}"}


# ---- Raman -------------------------------------------------------------------------------

def _raman_molecular(layout: Layout, molecular: Molecular, molecular_raman: Molecular,
                     backscatter: bool) -> tuple[dict[str, FloatArray], FloatArray, FloatArray]:
    if not isinstance(molecular_raman, Mapping):
        raise TypeError(f"molecular_raman must be a Dataset or mapping of the molecular "
                        f"atmosphere at the Raman wavelength, not {type(molecular_raman).__name__}")
    mol = layout.molecular(molecular, ("alpha_m", "beta_m") if backscatter else ("alpha_m",))
    source = molecular_raman if "number_density" in molecular_raman else molecular
    argument = "molecular_raman" if source is molecular_raman else "molecular"
    raman = layout.molecular(molecular_raman, ("alpha_m",), "molecular_raman")
    density = layout.molecular(source, ("number_density",), argument)["number_density"]
    return mol, raman["alpha_m"], density


def raman_extinction(raman_signal: ArrayLike, range: ArrayLike, molecular: Molecular,
                     molecular_raman: Molecular, angstrom: ArrayLike = 1.0,
                     window: Window = 300.0, *,
                     noise: Noise = None, uncertainty: Uncertainty = None,
                     wavelength: float | None = None,
                     raman_wavelength: float | None = None,
                     threads: int | None = None) -> xr.Dataset:
    """Aerosol extinction at the emitted wavelength from a nitrogen Raman channel
    (Ansmann et al. 1990).

    ``alpha_a(l0) = [d/dr ln(N / (P_R r^2)) - alpha_m(l0) - alpha_m(lR)] / (1 + (l0/lR)^k)``,
    the derivative being the slope of a least-squares straight line through the gates of a
    window centred on each gate.  Gates the window cannot be centred on are NaN, as are
    windows holding a non-positive signal.

    Parameters
    ----------
    raman_signal : array_like, shape (..., range)
        Background-subtracted, overlap-corrected Raman signal P_R(r).
    range : array_like, shape (range,)
        Range of each gate, m.
    molecular : mapping
        Molecular atmosphere at the emitted wavelength: ``alpha_m`` (m^-1).
    molecular_raman : mapping
        Molecular atmosphere at the Raman wavelength: ``alpha_m`` (m^-1) and
        ``number_density`` (m^-3; taken from `molecular` if absent here).
    angstrom : array_like
        Aerosol Angstrom exponent k between the two wavelengths (per profile or for all).
    window : float or array_like or callable
        Width of the fit window, m: fixed, per gate, or a function of range (e.g. growing
        with range).  Rounded to an odd number of gates, at least 3.
    noise : array_like or PoissonNoise, optional
        Noise of the Raman signal, for the analytic statistical error of the fit.
    uncertainty : MonteCarlo or dict, optional
        Monte Carlo settings (``raman_noise``, ``angstrom``).
    wavelength, raman_wavelength : float, optional
        Emitted and Raman wavelengths, m; by default the ``wavelength`` attributes of the
        two molecular mappings (and the nitrogen shift for the Raman one).
    threads : int, optional
        Number of threads; None uses every core.

    Returns
    -------
    xarray.Dataset
        ``extinction`` (m^-1); ``effective_resolution`` (m), the width n dr of the n-gate fit
        window at each gate; with `noise`, ``extinction_statistical_error`` (m^-1, the
        standard deviation propagated through the fit); with `uncertainty`,
        ``extinction_uncertainty`` (m^-1).
    """
    layout = Layout(raman_signal, range, "raman_signal", gaps=True)
    return _raman_extinction(layout, molecular, molecular_raman, angstrom, window, noise,
                             uncertainty, wavelength, raman_wavelength, threads)


def _raman_extinction(layout: Layout, molecular: Molecular, molecular_raman: Molecular,
                      angstrom: ArrayLike, window: Window, noise: Noise,
                      uncertainty: Uncertainty, wavelength: float | None,
                      raman_wavelength: float | None, threads: int | None) -> xr.Dataset:
    mol, alpha_raman, density = _raman_molecular(layout, molecular, molecular_raman, False)
    w0, wr = _wavelengths(molecular, molecular_raman, wavelength, raman_wavelength)
    k = layout.per_profile(angstrom, "angstrom")
    half = _half_widths(layout, window)
    threads_ = thread_count(threads)
    noise_sd = None if noise is None else _noise_sd(layout, noise, "noise")
    inputs = _core.RamanInputs(raman_signal=layout.signal, range=layout.range,
                               number_density=density, alpha_m=mol["alpha_m"],
                               alpha_m_raman=alpha_raman, wavelength_ratio=w0 / wr, angstrom=k,
                               half_width=half, raman_noise=noise_sd)
    alpha, error = _core.raman_extinction(inputs, threads=threads_)
    resolution = (2 * half + 1) * np.gradient(layout.range)
    variables: dict[str, tuple[AnyArray, Mapping[str, Any]]] = {
        "extinction": (alpha, _EXTINCTION),
        "effective_resolution": (resolution, {"units": "m", "long_name":
                                                       "width of the derivative's fit window"})}
    if error is not None:  # (with the noise)
        variables["extinction_statistical_error"] = (error, _sd(_EXTINCTION))
    attrs: dict[str, Any] = {"method": "Raman extinction (Ansmann et al. 1990), sliding linear fit",
             "wavelength": w0, "raman_wavelength": wr}
    if k.size == 1:
        attrs["angstrom"] = float(k[0])
    mc = MonteCarlo.of(uncertainty)
    if mc is not None:
        e_sd, _, _, failed = _core.raman_monte_carlo(
            inputs, elastic_noise=None,
            raman_noise=_noise(layout, mc.raman_noise, "uncertainty.raman_noise"),
            settings=_settings(mc, angstrom_sd=mc.angstrom), retrieve_extinction=True,
            retrieve_backscatter=False, threads=threads_)
        variables["extinction_uncertainty"] = (e_sd, _sd(_EXTINCTION))
        variables["failed_realisations"] = (failed.astype(np.int32), _FAILED)
        attrs.update(mc.settings())
    return layout.dataset(variables, attrs)


def _extinction_argument(layout: Layout, extinction: ArrayLike | xr.Dataset | None
                         ) -> FloatArray | None:
    if extinction is None:
        return None
    if isinstance(extinction, xr.Dataset):
        extinction = extinction["extinction"]
    if isinstance(extinction, xr.DataArray):
        extinction = extinction.values
    return layout.per_gate(extinction, "extinction", finite=False)


def raman_backscatter(elastic_signal: ArrayLike, raman_signal: ArrayLike, range: ArrayLike,
                      molecular: Molecular, molecular_raman: Molecular, reference: Reference,
                      reference_value: ArrayLike = 1.0,
                      extinction: ArrayLike | xr.Dataset | None = None,
                      angstrom: ArrayLike = 1.0, *, uncertainty: Uncertainty = None,
                      wavelength: float | None = None, raman_wavelength: float | None = None,
                      threads: int | None = None) -> xr.Dataset:
    """Aerosol backscatter from the ratio of the elastic and Raman signals (Ansmann et al.
    1992).

    ``beta_a + beta_m = K (P_0 N / P_R) exp(∫_rc^r (alpha(l0) - alpha(lR)) dr')``, alpha the
    molecular plus aerosol extinction, alpha_a(lR) = alpha_a(l0) (l0/lR)^k, and K such that
    the backscatter ratio over the reference interval is `reference_value`
    (K = Σ R_c beta_m P_R / Σ P_0 N exp(...) over its gates: sums of the signals, so a
    noisy Raman signal in the interval is averaged, never a divisor).  Gaps in `extinction` (NaN)
    take the last retrieved value below them (the first one below the first).

    Parameters
    ----------
    elastic_signal, raman_signal : array_like, shape (..., range)
        Background-subtracted, overlap-corrected elastic and Raman signals.
    range : array_like, shape (range,)
        Range of each gate, m.
    molecular : mapping
        At the emitted wavelength: ``alpha_m`` (m^-1), ``beta_m`` (m^-1 sr^-1).
    molecular_raman : mapping
        At the Raman wavelength: ``alpha_m`` and ``number_density`` (m^-3; or in `molecular`).
    reference : (float, float) or array_like (..., 2) or ReferenceSearch
        Reference interval, m, as for :func:`klett_fernald`.
    reference_value : array_like
        Backscatter ratio in the reference interval.  Default 1.
    extinction : array_like or xarray.Dataset, optional
        Aerosol extinction at the emitted wavelength (m^-1), e.g. the result of
        :func:`raman_extinction`; None neglects the aerosol's differential transmission.
    angstrom : array_like
        Aerosol Angstrom exponent.
    uncertainty : MonteCarlo or dict, optional
        Monte Carlo settings (``noise`` of the elastic signal, ``raman_noise``,
        ``reference_value``, ``angstrom``); the extinction is held as given.
    wavelength, raman_wavelength : float, optional
        As for :func:`raman_extinction`.
    threads : int, optional
        Number of threads; None uses every core.

    Returns
    -------
    xarray.Dataset
        ``backscatter`` (m^-1 sr^-1) and, with `uncertainty`, ``backscatter_uncertainty``.
    """
    layout, elastic = _raman_layouts(elastic_signal, raman_signal, range)
    return _raman_backscatter(layout, elastic, molecular, molecular_raman, reference,
                              reference_value, extinction, angstrom, uncertainty, wavelength,
                              raman_wavelength, threads)


def _raman_layouts(elastic_signal: ArrayLike, raman_signal: ArrayLike, range_: ArrayLike
                   ) -> tuple[Layout, Layout]:
    """The Raman and the elastic signal's layouts (one shape), gaps warned of at the
    caller's caller."""
    layout = Layout(raman_signal, range_, "raman_signal", gaps=True, stacklevel=4)
    elastic = Layout(elastic_signal, range_, "elastic_signal", gaps=True, stacklevel=4)
    if elastic.shape != layout.shape:
        raise ValueError(f"elastic_signal {elastic.shape} and raman_signal {layout.shape} "
                         "must have the same shape")
    return layout, elastic


def _raman_backscatter(layout: Layout, elastic: Layout, molecular: Molecular,
                       molecular_raman: Molecular, reference: Reference,
                       reference_value: ArrayLike, extinction: ArrayLike | xr.Dataset | None,
                       angstrom: ArrayLike, uncertainty: Uncertainty,
                       wavelength: float | None, raman_wavelength: float | None,
                       threads: int | None) -> xr.Dataset:
    mol, alpha_raman, density = _raman_molecular(layout, molecular, molecular_raman, True)
    w0, wr = _wavelengths(molecular, molecular_raman, wavelength, raman_wavelength)
    k = layout.per_profile(angstrom, "angstrom")
    alpha_a = _extinction_argument(layout, extinction)
    gates, value, missing = _reference(layout, reference, reference_value, stacklevel=4)
    threads_ = thread_count(threads)
    inputs = _core.RamanInputs(raman_signal=layout.signal, range=layout.range,
                               number_density=density, alpha_m=mol["alpha_m"],
                               alpha_m_raman=alpha_raman, wavelength_ratio=w0 / wr, angstrom=k,
                               elastic_signal=elastic.signal, beta_m=mol["beta_m"],
                               extinction=alpha_a, reference=gates, reference_value=value)
    beta = _core.raman_backscatter(inputs, threads=threads_)
    variables = {"backscatter": (beta, _BACKSCATTER)}
    attrs = {"method": "Raman backscatter (Ansmann et al. 1992)", "wavelength": w0,
             "raman_wavelength": wr}
    mc = MonteCarlo.of(uncertainty)
    if mc is not None:
        _, b_sd, _, failed = _core.raman_monte_carlo(
            inputs, elastic_noise=_noise(layout, mc.noise, "uncertainty.noise"),
            raman_noise=_noise(layout, mc.raman_noise, "uncertainty.raman_noise"),
            settings=_settings(mc, reference_value_sd=mc.reference_value,
                               angstrom_sd=mc.angstrom),
            retrieve_extinction=False, retrieve_backscatter=True, threads=threads_)
        _blank((b_sd,), missing, layout)
        variables["backscatter_uncertainty"] = (b_sd, _sd(_BACKSCATTER))
        variables["failed_realisations"] = (failed.astype(np.int32), _FAILED)
        attrs.update(mc.settings())
    _blank((beta,), missing, layout)
    return layout.dataset(variables, attrs)


def raman_retrieval(elastic_signal: ArrayLike, raman_signal: ArrayLike, range: ArrayLike,
                    molecular: Molecular, molecular_raman: Molecular, reference: Reference,
                    reference_value: ArrayLike = 1.0, angstrom: ArrayLike = 1.0,
                    window: Window = 300.0, *, uncertainty: Uncertainty = None,
                    wavelength: float | None = None, raman_wavelength: float | None = None,
                    threads: int | None = None) -> xr.Dataset:
    """Extinction, backscatter and lidar ratio of the Raman method in one call.

    :func:`raman_extinction`, then :func:`raman_backscatter` with that extinction, then
    :func:`lidar_ratio`; with `uncertainty`, each realisation redoes the whole chain, so the
    uncertainties of the backscatter and lidar ratio include the extinction's.

    Parameters
    ----------
    elastic_signal, raman_signal : array_like, shape (..., range)
        Background-subtracted, overlap-corrected elastic and Raman signals (any unit).
    range : array_like, shape (range,)
        Range of each gate, m.
    molecular, molecular_raman : mapping
        The molecular atmosphere at the emitted and at the Raman wavelength (``alpha_m``,
        ``beta_m``, ``number_density``), as for :func:`raman_extinction`.
    reference : (float, float) or array_like (..., 2) or ReferenceSearch
        The backscatter's reference interval, m, as for :func:`raman_backscatter`.
    reference_value : array_like
        Backscatter ratio in the reference interval; default 1 (clean air).
    angstrom : array_like
        Aerosol Angstrom exponent between the two wavelengths.
    window : float, array_like or callable
        The extinction's fit window, m: fixed, per gate, or a function of range.
    uncertainty : MonteCarlo or dict, optional
        Monte Carlo settings (``noise``, ``raman_noise``, and the standard deviations of
        ``reference_value`` and ``angstrom``).
    wavelength, raman_wavelength : float, optional
        The emitted and the Raman wavelength, m; default the molecular mappings'
        ``wavelength`` attributes, the Raman one nitrogen's shift of the emitted one.
    threads : int, optional
        Number of threads; None uses every core.

    Returns
    -------
    xarray.Dataset
        ``extinction`` (m^-1), ``backscatter`` (m^-1 sr^-1), ``lidar_ratio`` (sr),
        ``effective_resolution`` (m) and, with `uncertainty`, ``*_uncertainty`` of the three.
    """
    layout, elastic = _raman_layouts(elastic_signal, raman_signal, range)
    ext = _raman_extinction(layout, molecular, molecular_raman, angstrom, window, None, None,
                            wavelength, raman_wavelength, threads)
    back = _raman_backscatter(layout, elastic, molecular, molecular_raman, reference,
                              reference_value, ext["extinction"].values, angstrom, None,
                              wavelength, raman_wavelength, threads)
    result = xr.merge([ext, back], combine_attrs="drop_conflicts")
    result["lidar_ratio"] = lidar_ratio(result["extinction"], result["backscatter"])
    result.attrs["method"] = "Raman method (Ansmann et al. 1990, 1992)"
    mc = MonteCarlo.of(uncertainty)
    if mc is not None:
        mol, alpha_raman, density = _raman_molecular(layout, molecular, molecular_raman, True)
        w0, wr = ext.attrs["wavelength"], ext.attrs["raman_wavelength"]
        gates, missing = layout.interval_gates(reference)  # checked (and warned) above
        value = layout.per_profile(reference_value, "reference_value", positive=True)
        inputs = _core.RamanInputs(
            raman_signal=layout.signal, range=layout.range, number_density=density,
            alpha_m=mol["alpha_m"], alpha_m_raman=alpha_raman, wavelength_ratio=w0 / wr,
            angstrom=layout.per_profile(angstrom, "angstrom"), elastic_signal=elastic.signal,
            beta_m=mol["beta_m"], half_width=_half_widths(layout, window), reference=gates,
            reference_value=value)
        e_sd, b_sd, l_sd, failed = _core.raman_monte_carlo(
            inputs, elastic_noise=_noise(layout, mc.noise, "uncertainty.noise"),
            raman_noise=_noise(layout, mc.raman_noise, "uncertainty.raman_noise"),
            settings=_settings(mc, reference_value_sd=mc.reference_value,
                               angstrom_sd=mc.angstrom),
            retrieve_extinction=True, retrieve_backscatter=True, threads=thread_count(threads))
        _blank((e_sd, b_sd, l_sd), missing, layout)
        for name, values, attrs in (("extinction", e_sd, _EXTINCTION),
                                    ("backscatter", b_sd, _BACKSCATTER),
                                    ("lidar_ratio", l_sd, _LIDAR_RATIO)):
            result[f"{name}_uncertainty"] = (result[name].dims, values.reshape(
                result[name].shape), _sd(attrs))
        result["failed_realisations"] = (result["extinction"].dims, failed.astype(
            np.int32).reshape(result["extinction"].shape), _FAILED)
        result.attrs.update(mc.settings())
    return result


_LIDAR_RATIO = {"units": "sr", "long_name": "aerosol extinction-to-backscatter ratio"}


@overload
def lidar_ratio(extinction: xr.DataArray, backscatter: xr.DataArray, *,
                min_backscatter: float = ...) -> xr.DataArray: ...
@overload
def lidar_ratio(extinction: ArrayLike, backscatter: ArrayLike, *,
                min_backscatter: float = ...) -> FloatArray | xr.DataArray: ...
def lidar_ratio(extinction: ArrayLike, backscatter: ArrayLike, *,
                min_backscatter: float = 0.0) -> FloatArray | xr.DataArray:
    """The aerosol lidar ratio alpha_a / beta_a where both are defined.

    Parameters
    ----------
    extinction : array_like or xarray.DataArray
        Aerosol extinction, m^-1.
    backscatter : array_like or xarray.DataArray
        Aerosol backscatter, m^-1 sr^-1, broadcastable to `extinction`.
    min_backscatter : float
        Gates where the backscatter is not above this (m^-1 sr^-1; default 0) get NaN, as
        do gates where either is NaN.

    Returns
    -------
    numpy.ndarray or xarray.DataArray
        The lidar ratio, sr (a DataArray when both inputs are).
    """
    if not (np.ndim(min_backscatter) == 0 and math.isfinite(min_backscatter)):
        raise ValueError(f"min_backscatter must be a finite number, got {min_backscatter!r}")
    if isinstance(extinction, xr.DataArray) and isinstance(backscatter, xr.DataArray):
        if _same_grid(extinction, backscatter):
            # (what xarray's division and where give on one grid, without their temporaries)
            ratio = xr.DataArray(_ratio(extinction.values, backscatter.values,
                                        min_backscatter),
                                 coords=extinction.coords, dims=extinction.dims)
        else:
            ratio = (extinction / backscatter).where(backscatter > min_backscatter)
        ratio.attrs = dict(_LIDAR_RATIO)
        return ratio.rename("lidar_ratio")
    e = array(extinction, "extinction")
    b = array(backscatter, "backscatter")
    try:
        np.broadcast_shapes(e.shape, b.shape)
    except ValueError:
        raise ValueError(f"backscatter of shape {b.shape} does not broadcast to extinction "
                         f"of shape {e.shape}") from None
    return _ratio(e, b, min_backscatter)


def _ratio(e: FloatArray, b: FloatArray, min_backscatter: float) -> FloatArray:
    """e / b where b > min_backscatter, NaN elsewhere (broadcast)."""
    if e.shape == b.shape and e.dtype == b.dtype == np.float64:
        # (the same divisions on every core, without NumPy's temporaries)
        return _core.lidar_ratio(np.ascontiguousarray(e), np.ascontiguousarray(b),
                                 float(min_backscatter))
    shape = np.broadcast_shapes(e.shape, b.shape)
    kind = np.true_divide(np.empty(0, e.dtype), np.empty(0, b.dtype)).dtype  # (e / b's)
    out = np.full(shape, np.nan, dtype=kind)
    with np.errstate(divide="ignore", invalid="ignore"):
        np.divide(e, b, out=out, where=b > min_backscatter)
    return out


def _same_grid(a: xr.DataArray, b: xr.DataArray) -> bool:
    """Whether two DataArrays have the same dimensions, sizes and coordinates (so that
    xarray's arithmetic on them aligns nothing and keeps the first's coordinates)."""
    return (a.dims == b.dims and a.shape == b.shape and list(a.coords) == list(b.coords)
            and all(a.coords[name].equals(b.coords[name]) for name in a.coords))


# ---- Blocks of profiles, each from its own first gate, in one core call ------------------
#
# The pipeline's path (Aerolume.processing.products): the inputs are checked there, each profile is
# retrieved from its first finite gate on with its own reference interval and Monte Carlo
# seed, and the results equal, bit for bit, those of the public functions above called
# once per profile on that profile's gates with that seed.



def _gaussian(sigma: ArrayLike | None) -> _core.NoiseModel:
    """The core's model of Gaussian noise rows."""
    return _core.NoiseModel(kind=_core.NoiseKind.gaussian,
                            sigma=np.ascontiguousarray(sigma, dtype=np.float64))


def _seeds(seeds: ArrayLike) -> NDArray[np.uint64]:
    return np.ascontiguousarray(np.asarray(seeds, dtype=np.uint64))


def _klett_rows(signal: ArrayLike, range_: FloatArray, beta_m: FloatArray, alpha_m: FloatArray,
                lidar_ratio: FloatArray, gates: ArrayLike, reference_value: ArrayLike, *,
                fit_offset: bool, first: ArrayLike, threads: int, realisations: int = 0,
                seeds: ArrayLike = (), noise: ArrayLike | None = None,
                lidar_ratio_sd: float = 0.0, reference_value_sd: float = 0.0
                ) -> tuple[FloatArray, FloatArray, int, FloatArray, FloatArray | None,
                           FloatArray | None]:
    """Fernald's backward inversion of rows (profiles, gates), profile p from gate first[p]
    with its reference gates [begin, end) (on the whole row) and, with `realisations`,
    its Monte Carlo drawn from seeds[p] with Gaussian `noise` rows.  Returns (backscatter,
    extinction, failures, offsets, backscatter_sd, extinction_sd) (None without
    realisations)."""
    inputs = _core.KlettInputs(
        signal=np.ascontiguousarray(signal, dtype=np.float64), range=range_, beta_m=beta_m,
        alpha_m=alpha_m, lidar_ratio=lidar_ratio,
        reference=np.ascontiguousarray(gates, dtype=np.int64),
        reference_value=np.ascontiguousarray(np.atleast_1d(reference_value), dtype=np.float64),
        fit_offset=bool(fit_offset), first=np.ascontiguousarray(first, dtype=np.int64))
    beta, alpha, failures, offsets = _core.klett_fernald(inputs, threads=threads)
    beta_sd = alpha_sd = None
    if realisations:
        settings = _core.MonteCarloSettings(realisations=realisations, seeds=_seeds(seeds),
                                            lidar_ratio_sd=lidar_ratio_sd,
                                            reference_value_sd=reference_value_sd)
        beta_sd, alpha_sd = _core.klett_fernald_monte_carlo(
            inputs, noise=_gaussian(noise), settings=settings, threads=threads)
    return beta, alpha, failures, offsets, beta_sd, alpha_sd


def _raman_rows(elastic: ArrayLike, raman: ArrayLike, range_: FloatArray, beta_m: FloatArray,
                number_density: FloatArray, alpha_m: FloatArray, alpha_m_raman: FloatArray,
                half_width: ArrayLike, wavelength_ratio: float, angstrom: ArrayLike,
                raman_noise: ArrayLike, gates: ArrayLike, referenced: ArrayLike,
                reference_value: ArrayLike, *, first: ArrayLike, threads: int,
                realisations: int = 0, seeds: ArrayLike = (),
                elastic_noise: ArrayLike | None = None, reference_value_sd: float = 0.0,
                angstrom_sd: float = 0.0) -> dict[str, FloatArray]:
    """The Raman method over rows (profiles, gates), each profile from gate first[p]: the
    extinction and its analytic error once, the backscatter and lidar ratio of the profiles
    with a reference (`referenced`; `gates` their intervals on the whole row, any valid
    interval elsewhere) from that extinction, and, with `realisations`, the Monte Carlo of
    all of them in one call (the extinction alone where there is no reference).  Returns a
    dict of (profiles, gates) arrays."""
    first = np.ascontiguousarray(first, dtype=np.int64)
    k = np.ascontiguousarray(np.atleast_1d(angstrom), dtype=np.float64)
    elastic = np.ascontiguousarray(elastic, dtype=np.float64)
    raman = np.ascontiguousarray(raman, dtype=np.float64)
    half_width = np.ascontiguousarray(half_width, dtype=np.float64)
    shared: dict[str, Any] = dict(range=range_, number_density=number_density, alpha_m=alpha_m,
                  alpha_m_raman=alpha_m_raman, wavelength_ratio=wavelength_ratio)
    alpha, error = _core.raman_extinction(_core.RamanInputs(
        raman_signal=raman, angstrom=k, half_width=half_width, first=first,
        raman_noise=np.ascontiguousarray(raman_noise, dtype=np.float64), **shared),
        threads=threads)
    assert error is not None  # (with the noise)
    out = {"extinction": alpha, "extinction_statistical_error": error}
    referenced = np.asarray(referenced, dtype=bool)
    gates = np.ascontiguousarray(gates, dtype=np.int64)
    value = np.ascontiguousarray(np.atleast_1d(reference_value), dtype=np.float64)
    beta = np.full(raman.shape, np.nan)
    rows = np.flatnonzero(referenced)
    if rows.size:
        beta[rows] = _core.raman_backscatter(_core.RamanInputs(
            raman_signal=raman[rows], angstrom=k if k.size == 1 else k[rows],
            elastic_signal=elastic[rows], beta_m=beta_m,
            extinction=np.ascontiguousarray(alpha[rows]), reference=gates[rows],
            reference_value=value if value.size == 1 else value[rows], first=first[rows],
            **shared), threads=threads)
    out["backscatter"] = beta
    out["lidar_ratio"] = _core.lidar_ratio(alpha, beta, 0.0, threads=threads)
    if realisations:
        inputs = _core.RamanInputs(
            raman_signal=raman, angstrom=k, elastic_signal=elastic, beta_m=beta_m,
            half_width=half_width, reference=gates, reference_value=value, first=first,
            referenced=np.ascontiguousarray(referenced, dtype=np.uint8), **shared)
        settings = _core.MonteCarloSettings(realisations=realisations, seeds=_seeds(seeds),
                                            reference_value_sd=reference_value_sd,
                                            angstrom_sd=angstrom_sd)
        e_sd, b_sd, l_sd, failed = _core.raman_monte_carlo(
            inputs, elastic_noise=_gaussian(elastic_noise), raman_noise=_gaussian(raman_noise),
            settings=settings, retrieve_extinction=True, retrieve_backscatter=True,
            threads=threads)
        b_sd[~referenced] = np.nan
        l_sd[~referenced] = np.nan
        out.update(extinction_uncertainty=e_sd, backscatter_uncertainty=b_sd,
                   lidar_ratio_uncertainty=l_sd, failed_realisations=failed)
    return out
