"""The photon counter's dead time measured from the instrument's own analog twin.

Where the analog and the photon-counting recorders of one wavelength both respond
linearly to the true photon rate, the measured count rate N_m and the background-
subtracted analog signal A satisfy

- non-paralysable: N_m = k (A - a0) / (1 + k (A - a0) tau),
- paralysable: N_m = k (A - a0) exp(-k (A - a0) tau),

with k the glue slope (MHz per analog unit), a0 the analog offset and tau the dead time
(Newsom et al. 2009, Appl. Opt. 48, 3903; Donovan et al. 1993, Appl. Opt. 32, 6742).
:func:`calibrate_dead_time` fits the three jointly over the gates of a rate window,
pooling every profile given, and refuses a window where the relation departs from the
model (the residuals trend with the rate) rather than return a dead time that does not
describe the data.  :func:`check_dead_time` warns when a configured dead time leaves the
relation curved.
"""

from __future__ import annotations

import math
import warnings
from typing import Any, Literal, NamedTuple, overload

import numpy as np
from numpy.typing import ArrayLike

from Aerolume._typing import FloatArray
from Aerolume._checks import as_float64
from Aerolume.constants import mhz_per_count

__all__ = ["DeadTimeCalibration", "calibrate_dead_time", "check_dead_time"]

#: The counter's dead-time models.
Model = Literal["non_paralysable", "paralysable"]
_MODELS: tuple[Model, ...] = ("non_paralysable", "paralysable")


class DeadTimeCalibration(NamedTuple):
    """Result of :func:`calibrate_dead_time`."""
    dead_time: float                #: ns
    dead_time_uncertainty: float    #: standard uncertainty, ns
    slope: float                    #: k, MHz per analog unit (mV)
    slope_uncertainty: float
    offset: float                   #: a0, analog units (mV): the analog reading of a zero rate
    offset_uncertainty: float
    reduced_chi_square: float       #: of the fit, with the noise model given
    trend_p_value: float            #: residual trend test: chance of a trend this large from noise
    trend_max_deviation: float      #: largest mean relative residual of a rate bin (fraction)
    trend_rate: float               #: middle of that bin, MHz
    points: int                     #: gates fitted (all profiles pooled)
    model: str                      #: "non_paralysable" or "paralysable"
    window: tuple[float, float]     #: (low, high) count-rate window, MHz

    def record(self) -> dict[str, Any]:
        """The calibration as plain numbers (for JSON provenance)."""
        out = {k: (float(v) if isinstance(v, (float, np.floating)) else v)
               for k, v in self._asdict().items()}
        out["window"] = [float(v) for v in self.window]
        out["points"] = int(self.points)
        return out


def _smooth(values: FloatArray, bins: int, begin: int = 0, end: int | None = None
            ) -> FloatArray:
    """NaN-aware running mean over `bins` gates along the last axis, at the gates
    [`begin`, `end`) only.

    The mean is a difference of running sums from the first gate, so a gate's value does
    not depend on which gates are asked for; only the gates up to the last one's window
    are summed."""
    gates = values.shape[-1]
    end = gates if end is None else end
    if bins <= 1:
        return values[..., begin:end]
    pad = bins // 2
    # sums[..., i]: the sum of the first i values of the row padded with `pad` zeros in
    # front (and zeros behind), the missing values taken as zero; counts likewise of the
    # finite values.  A gate's mean is then the difference of two sums `bins` apart.
    width = end + bins
    used = min(gates, width - 1 - pad)
    part = values[..., :used]
    good = np.isfinite(part)
    sums = np.zeros(values.shape[:-1] + (width,))
    counts = np.zeros(values.shape[:-1] + (width,))
    np.copyto(sums[..., pad + 1:pad + 1 + used], part, where=good)
    counts[..., pad + 1:pad + 1 + used] = good
    del good
    np.cumsum(sums, axis=-1, out=sums)
    np.cumsum(counts, axis=-1, out=counts)
    total = sums[..., begin + bins:end + bins] - sums[..., begin:end]
    count = counts[..., begin + bins:end + bins] - counts[..., begin:end]
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(count > 0, total / count, np.nan)


def _model(params: FloatArray, x: FloatArray, model: str) -> FloatArray:
    k, a0, tau = (float(v) for v in params)
    t = k * (x - a0)
    if model == "non_paralysable":
        return t / (1.0 + t * tau * 1e-3)
    paralysed: FloatArray = t * np.exp(-t * tau * 1e-3)
    return paralysed


def _model_slope(params: FloatArray, x: FloatArray, model: str) -> FloatArray:
    """d N_m / d A."""
    k, a0, tau = (float(v) for v in params)
    t = k * (x - a0)
    u = tau * 1e-3
    if model == "non_paralysable":
        return k / (1.0 + t * u) ** 2
    paralysed: FloatArray = k * (1.0 - t * u) * np.exp(-t * u)
    return paralysed


@overload
def calibrate_dead_time(analog: ArrayLike, photon_counting: ArrayLike, *,
                        model: Model = ..., window: tuple[float, float] = ...,
                        analog_noise: ArrayLike | None = ...,
                        photon_counting_noise: ArrayLike | None = ...,
                        shots: ArrayLike | None = ..., bin_width: float | None = ...,
                        range: ArrayLike | None = ...,
                        fit_range: tuple[float, float] | None = ...,
                        min_analog_snr: float = ..., smooth: int = ...,
                        tolerance: float = ..., significance: float = ...,
                        rate_bins: int = ..., min_points: int = ...,
                        max_dead_time: float = ..., channel: str | None = ...) -> DeadTimeCalibration: ...
@overload
def calibrate_dead_time(analog: ArrayLike, photon_counting: ArrayLike, *,
                        model: Literal["both"], window: tuple[float, float] = ...,
                        analog_noise: ArrayLike | None = ...,
                        photon_counting_noise: ArrayLike | None = ...,
                        shots: ArrayLike | None = ..., bin_width: float | None = ...,
                        range: ArrayLike | None = ...,
                        fit_range: tuple[float, float] | None = ...,
                        min_analog_snr: float = ..., smooth: int = ...,
                        tolerance: float = ..., significance: float = ...,
                        rate_bins: int = ..., min_points: int = ...,
                        max_dead_time: float = ..., channel: str | None = ...
                        ) -> dict[str, DeadTimeCalibration | ValueError]: ...
def calibrate_dead_time(analog: ArrayLike, photon_counting: ArrayLike, *,
                        window: tuple[float, float] = (0.3, 60.0),
                        model: Model | Literal["both"] = "non_paralysable",
                        analog_noise: ArrayLike | None = None,
                        photon_counting_noise: ArrayLike | None = None,
                        shots: ArrayLike | None = None, bin_width: float | None = None,
                        range: ArrayLike | None = None,
                        fit_range: tuple[float, float] | None = None,
                        min_analog_snr: float = 3.0, smooth: int = 11,
                        tolerance: float = 0.02, significance: float = 1e-3,
                        rate_bins: int = 8, min_points: int = 30,
                        max_dead_time: float = 50.0, channel: str | None = None
                        ) -> DeadTimeCalibration | dict[str, DeadTimeCalibration | ValueError]:
    """The dead time that makes a photon-counting channel linear in its analog twin.

    Fits N_m = k (A - a0) / (1 + k (A - a0) tau) (non-paralysable) or
    N_m = k (A - a0) exp(-k (A - a0) tau) (paralysable) for k, a0 and tau jointly, by
    weighted least squares (``scipy.optimize.least_squares``), over the gates of every
    profile where the measured rate is inside `window` and the analog signal above
    `min_analog_snr` times its noise.  Gates are selected on running means over `smooth`
    gates, so that the noise of a gate does not decide whether it is fitted (which would
    bias the ends of the window).

    The fit is then tested: the fitted gates are binned by rate (`rate_bins` bins,
    logarithmic) and the mean relative residual of each bin compared to its standard
    error.  A window where the residuals trend with the rate beyond the noise
    (chi-square p-value below `significance`) *and* by more than `tolerance` somewhere
    is refused: the relation there is not the model's (a saturating analog, a drifting
    analog baseline at low rates, a misaligned pair), and no dead time describes it.

    Parameters
    ----------
    analog : array_like, (..., range)
        Background-subtracted analog signal (mV, as :func:`Aerolume.io.read_licel`
        gives it, after :func:`subtract_background`).
    photon_counting : array_like, (..., range)
        Measured count rate (MHz) of the same profiles: *not* dead-time corrected; its
        (small, at night) background may or may not be subtracted (the offset absorbs it).
    window : (float, float)
        Count-rate window (MHz) of the fit.  Default 0.3 to 60 MHz.
    model : {"non_paralysable", "paralysable", "both"}
        The counter's model; "both" fits each and returns a dict of the two results
        (a model the data refuse maps to its ValueError).
    analog_noise : array_like, optional
        Standard deviation of the analog signal (mV): per profile (``analog.shape[:-1]``)
        or per gate.  Default: the standard deviation over the farthest tenth of the
        gates of each profile.
    photon_counting_noise : array_like, optional
        Standard deviation of the rate per gate (MHz).  Default Poisson's, from `shots`
        and `bin_width` when given (variance = rate x 150 / (bin_width x shots)).
        Without either, the weights are Poisson's up to a constant, the analog noise is
        left out, and the uncertainties come from the scatter of the residuals.
    shots : array_like, optional
        Laser shots of each profile (``analog.shape[:-1]``).
    bin_width : float, optional
        Range bin width, m.
    range : array_like, (range,), optional
        Range of each gate (m), needed with `fit_range`.
    fit_range : (float, float), optional
        Ranges (m) where gates may be fitted; all by default.  Exclude e.g. the near range
        where the signal changes by a large fraction per gate.
    min_analog_snr : float
        Fitted gates need an analog signal above this many standard deviations.
    smooth : int
        Gates of the running means that select the fitted gates (1: no smoothing).
    tolerance : float
        Largest acceptable mean relative residual of a rate bin.  Default 2 %.
    significance : float
        p-value below which the residual trend is significant.  Default 1e-3.
    rate_bins : int
        Bins of the residual trend test.
    min_points : int
        Fewest gates to fit.
    max_dead_time : float
        Largest plausible dead time (ns); a fit beyond it is refused.
    channel : str, optional
        Name of the channel, for the messages.

    Returns
    -------
    DeadTimeCalibration
        ``dead_time`` (ns) and ``dead_time_uncertainty``, ``slope`` (MHz per analog unit)
        and ``offset`` (analog units) with their uncertainties (standard, scaled by the
        reduced chi-square where it exceeds 1), ``reduced_chi_square``,
        ``trend_p_value``, ``trend_max_deviation`` and ``trend_rate`` (the worst rate
        bin), ``points``, ``model`` and ``window``.  (The glue's offset in MHz is
        ``-slope x offset``.)

    Raises
    ------
    ValueError
        Bad arguments (naming them), or a window the data refuse, saying why: too few
        gates, a negative or implausible dead time, or a residual trend.
    """
    if model == "both":
        out: dict[str, DeadTimeCalibration | ValueError] = {}
        for each in _MODELS:
            try:
                out[each] = calibrate_dead_time(
                    analog, photon_counting, window=window, model=each,
                    analog_noise=analog_noise, photon_counting_noise=photon_counting_noise,
                    shots=shots, bin_width=bin_width, range=range, fit_range=fit_range,
                    min_analog_snr=min_analog_snr, smooth=smooth, tolerance=tolerance,
                    significance=significance, rate_bins=rate_bins, min_points=min_points,
                    max_dead_time=max_dead_time, channel=channel)
            except ValueError as err:
                out[each] = err
        return out
    if model not in _MODELS:
        raise ValueError(f"model must be one of {_MODELS} or 'both', got {model!r}")
    name = channel or "photon_counting"
    a = as_float64(analog, "analog", ndim_min=1)
    p = as_float64(photon_counting, "photon_counting", ndim_min=1)
    if p.shape != a.shape:
        raise ValueError(f"photon_counting must have the shape of analog {a.shape}, got {p.shape}")
    if a.shape[-1] < 3:
        raise ValueError(f"analog needs at least 3 range gates, got {a.shape[-1]}")
    try:
        low, high = (float(v) for v in window)
    except (TypeError, ValueError):
        raise TypeError("window must be a pair of count rates (low, high) in MHz") from None
    if not (math.isfinite(low) and math.isfinite(high) and 0 < low < high):
        raise ValueError(f"window must be count rates 0 < low < high (MHz), got {tuple(window)}")
    for value, label in ((min_analog_snr, "min_analog_snr"), (tolerance, "tolerance"),
                         (significance, "significance"), (max_dead_time, "max_dead_time")):
        if not (np.ndim(value) == 0 and math.isfinite(float(value)) and float(value) >= 0):
            raise ValueError(f"{label} must be a non-negative number, got {value!r}")
    if not isinstance(smooth, (int, np.integer)) or smooth < 1:
        raise ValueError(f"smooth must be a positive whole number of gates, got {smooth!r}")
    if not isinstance(rate_bins, (int, np.integer)) or rate_bins < 4:
        raise ValueError(f"rate_bins must be a whole number of at least 4, got {rate_bins!r}")
    lead = a.shape[:-1]

    # noise of the analog signal
    if analog_noise is None:
        from Aerolume.preprocess import subtract_background
        sa = subtract_background(a, subtract=False).std[..., None]
    else:
        sa = as_float64(analog_noise, "analog_noise")
        if sa.shape == lead:
            sa = sa[..., None]
        try:
            np.broadcast_to(sa, a.shape)
        except ValueError:
            raise ValueError(f"analog_noise must have the shape {lead} (per profile) or "
                             f"{a.shape} (per gate), got {sa.shape}") from None
    sa = np.broadcast_to(sa, a.shape)

    # The gates that may be fitted: those of fit_range (a span of whole columns, so that
    # the running means and the noise are made for those gates only).
    begin, end = 0, a.shape[-1]
    in_range = None
    if fit_range is not None:
        if range is None:
            raise ValueError("fit_range needs range (the range of each gate, m)")
        r = as_float64(range, "range", ndim_min=1)
        if r.shape != (a.shape[-1],):
            raise ValueError(f"range must have {a.shape[-1]} values, got shape {r.shape}")
        try:
            r0, r1 = (float(v) for v in fit_range)
        except (TypeError, ValueError):
            raise TypeError("fit_range must be a pair of ranges (m)") from None
        if not r0 < r1:
            raise ValueError(f"fit_range must be (bottom, top) with bottom < top, got {tuple(fit_range)}")
        inside = np.flatnonzero((r >= r0) & (r <= r1))
        begin, end = (int(inside[0]), int(inside[-1]) + 1) if inside.size else (0, 0)
        in_range = (r[begin:end] >= r0) & (r[begin:end] <= r1)

    # noise of the rate: the Poisson scale (MHz per count) or the given standard deviation
    sp: FloatArray | None = None
    scale = None
    if photon_counting_noise is not None:
        sp = as_float64(photon_counting_noise, "photon_counting_noise")
        if sp.shape != a.shape:
            raise ValueError(f"photon_counting_noise must have the shape {a.shape}, got {sp.shape}")
    elif shots is not None or bin_width is not None:
        if shots is None or bin_width is None:
            raise ValueError("shots and bin_width go together (Poisson noise of the rate)")
        n = as_float64(shots, "shots")
        w = float(as_float64(bin_width, "bin_width"))
        if not (np.all(n > 0) and w > 0 and math.isfinite(w)):
            raise ValueError("shots and bin_width must be positive")
        try:
            n = np.broadcast_to(n, lead)[..., None]
        except ValueError:
            raise ValueError(f"shots must have the profiles' shape {lead}, got {n.shape}") from None
        scale = np.broadcast_to(mhz_per_count(w, n), a.shape)
    else:
        sa = np.zeros(a.shape)

    # the gates to fit, selected on running means
    a_in, p_in, sa_in = a[..., begin:end], p[..., begin:end], sa[..., begin:end]
    ps = _smooth(p, smooth, begin, end)
    select = np.isfinite(a_in) & np.isfinite(p_in) & np.isfinite(ps) & (ps >= low) & (ps <= high)
    select &= _smooth(a, smooth, begin, end) > min_analog_snr * sa_in
    if in_range is not None:
        select &= in_range
    x, y = a_in[select], p_in[select]
    ps = ps[select]
    vx = sa_in[select] ** 2
    if sp is not None:
        vy = sp[..., begin:end][select] ** 2
    elif scale is not None:
        vy = np.maximum(ps, 0.0) * scale[..., begin:end][select]
    else:
        vy = np.maximum(ps, 0.0)
    del select
    npts = int(x.size)
    where = f"{name}: dead-time calibration over {low:g}-{high:g} MHz"
    if npts < max(min_points, 3):
        raise ValueError(f"{where}: only {npts} gate(s) have a rate in the window and the "
                         f"analog signal above {min_analog_snr:g} times its noise "
                         f"(at least {min_points} needed)")
    if np.ptp(np.log(ps)) < math.log(2.0):
        raise ValueError(f"{where}: the fitted gates span less than a factor 2 in rate "
                         "(the curvature cannot be measured)")
    vy = np.maximum(vy, np.min(vy[vy > 0]) if np.any(vy > 0) else 1.0)

    from scipy.optimize import least_squares

    # a straight line through the lower rates starts the fit
    lower = ps <= np.quantile(ps, 0.5)
    k0, b0 = np.polyfit(x[lower], y[lower], 1)
    if not k0 > 0:
        k0, b0 = float(np.median(y / np.where(x > 0, x, np.nan)[np.isfinite(y / x)])), 0.0
    start = np.array([k0, -b0 / k0, 1.0])

    def residuals(q: FloatArray) -> FloatArray:
        m = _model(q, x, model)
        d = _model_slope(q, x, model)
        weighted: FloatArray = (y - m) / np.sqrt(vy + d * d * vx)
        return weighted

    fit = least_squares(residuals, start, x_scale=np.array([abs(k0), max(np.std(x) * 0.01, 1e-12), 1.0]),
                        bounds=([1e-12 * abs(k0), -np.inf, -10.0 * max_dead_time - 10.0],
                                [np.inf, np.inf, 10.0 * max_dead_time + 10.0]), method="trf")
    q = fit.x
    dof = max(npts - 3, 1)
    chi = float(np.sum(fit.fun ** 2) / dof)
    try:
        cov = np.linalg.inv(fit.jac.T @ fit.jac) * max(chi, 1.0)
        q_sd = np.sqrt(np.diag(cov))
    except np.linalg.LinAlgError:
        q_sd = np.full(3, np.nan)
    tau, tau_err = float(q[2]), float(q_sd[2])
    if not np.all(np.isfinite(q_sd)):
        raise ValueError(f"{where}: the fit is degenerate (slope, offset and dead time "
                         "cannot be told apart on these gates)")
    if tau < -2.0 * tau_err or tau < -0.5:
        raise ValueError(f"{where}: the fitted dead time is negative ({tau:.2f} ± "
                         f"{tau_err:.2f} ns): the relation bends the wrong way (a "
                         "saturating analog signal?); narrow the window")
    if tau > max_dead_time:
        raise ValueError(f"{where}: the fitted dead time, {tau:.1f} ns, is beyond "
                         f"{max_dead_time:g} ns: implausible for a photon counter")

    # residual trend with the rate
    # per bin, the relative residual as a ratio of sums (unbiased by the noise of the
    # analog signal, which a mean of per-gate ratios is not), with fixed weights
    m = _model(q, x, model)
    var = vy + _model_slope(q, x, model) ** 2 * vx
    weight = 1.0 / var
    edges = np.geomspace(low, high, rate_bins + 1)
    index = np.clip(np.digitize(ps, edges) - 1, 0, rate_bins - 1)
    stat, used, worst, worst_rate = 0.0, 0, 0.0, float("nan")
    for b in np.arange(rate_bins):
        inside = index == b
        if inside.sum() < 5:
            continue
        w = weight[inside]
        total = float(np.sum(w * m[inside]))
        if not total > 0:
            continue
        mean = float(np.sum(w * (y[inside] - m[inside]))) / total
        se = math.sqrt(max(chi, 1.0) * float(np.sum(w * w * var[inside]))) / total
        stat += (mean / se) ** 2
        used += 1
        if abs(mean) > abs(worst):
            worst, worst_rate = mean, float(math.sqrt(edges[b] * edges[b + 1]))
    if used > 3:
        from scipy.special import chdtrc  # (the chi-square survival function)
        p_value = float(chdtrc(used - 3, stat))
    else:
        p_value = float("nan")
    result = DeadTimeCalibration(tau, tau_err, float(q[0]), float(q_sd[0]), float(q[1]),
                                 float(q_sd[1]), chi, p_value, float(worst), worst_rate, npts,
                                 model, (low, high))
    if p_value < significance and abs(worst) > tolerance:
        raise ValueError(
            f"{where}: the relation is not the {model.replace('_', '-')} model's: the rate "
            f"departs from the fit by {worst:+.1%} around {worst_rate:.3g} MHz (residual "
            f"trend p = {p_value:.1e}, tolerance {tolerance:.0%}; fitted dead time "
            f"{tau:.2f} ns); narrow the window or restrict fit_range")
    return result


def check_dead_time(analog: ArrayLike, photon_counting: ArrayLike, dead_time: float, *,
                    analog_channel: str = "analog", channel: str = "photon_counting",
                    model: Model = "non_paralysable", dead_time_tolerance: float = 0.2,
                    warn_refused: bool = True, **options: Any) -> DeadTimeCalibration | None:
    """Warns when a configured dead time leaves the photon-counting rate curved against
    its analog twin.

    Calibrates the dead time on the data (:func:`calibrate_dead_time`, with `options`)
    and compares: where the fitted value differs from `dead_time` by more than three
    standard uncertainties and `dead_time_tolerance` (ns), a RuntimeWarning names the
    channel, the fitted and the configured value.  A calibration the data refuse is a
    RuntimeWarning too (saying why), unless `warn_refused` is false.

    Parameters
    ----------
    analog, photon_counting : xarray.Dataset or array_like
        The analog twin's background-subtracted signal (mV) and the photon-counting
        channel's measured rate (MHz), as :func:`calibrate_dead_time` takes them.
    dead_time : float
        The configured dead time, ns.
    analog_channel, channel : str
        The two channels' ids, for the messages.
    model : {"non_paralysable", "paralysable"}
        The dead-time model.
    dead_time_tolerance : float
        Differences up to this (ns, beyond three standard uncertainties) are not warned of.
    warn_refused : bool
        Whether a calibration the data refuse is a warning.
    **options
        Options of :func:`calibrate_dead_time`.

    Returns
    -------
    DeadTimeCalibration or None
        The calibration (None where refused).
    """
    configured = float(dead_time)
    try:
        fit = calibrate_dead_time(analog, photon_counting, model=model, channel=channel,
                                  **options)
    except ValueError as err:
        if not warn_refused:
            return None
        warnings.warn(f"dead time of {channel} not checked against {analog_channel}: {err}",
                      RuntimeWarning, stacklevel=2)
        return None
    gap = fit.dead_time - configured
    if abs(gap) > max(3.0 * fit.dead_time_uncertainty, dead_time_tolerance):
        warnings.warn(
            f"dead time of {channel}: with the configured {configured:g} ns the photon-"
            f"counting rate stays curved against {analog_channel}; the data give "
            f"{fit.dead_time:.2f} ± {fit.dead_time_uncertainty:.2f} ns ({model}, "
            f"{fit.window[0]:g}-{fit.window[1]:g} MHz, {fit.points} gates); "
            "consider dead_time = \"auto\"", RuntimeWarning, stacklevel=2)
    return fit
