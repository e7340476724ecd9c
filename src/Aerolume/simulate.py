"""The lidar equation, forward: elastic and nitrogen-Raman signals from a known atmosphere.

    P(r) = C O(r) r^-2 beta(r) exp(-∫_0^r alpha_up + alpha_down dr')

For the elastic channel beta = beta_m + beta_a and the extinction is 2 (alpha_m + alpha_a);
for the nitrogen Raman channel beta is the Raman backscatter of nitrogen,
N x_N2 dsigma/dOmega, and the extinction alpha(l0) on the way up plus alpha(lR) on the way
back, the aerosol part at the Raman wavelength scaled by (l0 / lR)^k.  The integral is
trapezoidal between gates (the profiles are taken as linear between them) and
alpha(r_0) r_0 from the instrument to the first gate; to simulate a finer truth, simulate on
a finer grid and keep every n-th gate.

Noise (optional, from a seeded generator in the compiled core, the same whatever the
thread count): ``"poisson"`` treats the signal as photon counts per shot and draws the
counts of ``shots`` shots, signal and background; ``"gaussian"`` adds normal noise of
standard deviation ``noise_std / sqrt(shots)`` (analog, ``noise_std`` per shot).  The
returned ``signal`` has the (mean) background removed, as the retrievals expect.

A polarisation lidar's two channels (:func:`polarized`) record the elastic signal split by
the receiver's G and H parameters (:mod:`Aerolume.depolarization`): channel i records
eta_i (beta_m + beta_a)(G_i + H_i a cos 2 phi), a = (1 - delta_v) / (1 + delta_v), with the
volume ratio delta_v of the particle and molecular ratios and phi the calibrator's angle
plus the receiver's misalignment; :func:`delta90_calibration` gives the ±45° pair.

It is the ground truth of the retrievals' tests, and a tool for planning instruments.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, Literal, SupportsIndex

import numpy as np
import xarray as xr
from numpy.typing import ArrayLike

from Aerolume import _core
from Aerolume._checks import thread_count
from Aerolume._shapes import Layout, Molecular, scalar
from Aerolume._typing import FloatArray
from Aerolume.constants import mhz_per_count
from Aerolume import retrieval as _retrieval
from Aerolume.retrieval import NITROGEN_RAMAN_SHIFT

if TYPE_CHECKING:
    from Aerolume.atmosphere import Line
    from Aerolume.depolarization import GHK

__all__ = ["elastic", "raman", "photon_counting_pair", "polarized", "delta90_calibration",
           "NITROGEN_FRACTION",
           "NITROGEN_RAMAN_CROSS_SECTION"]

#: Volume mixing ratio of nitrogen in dry air.
NITROGEN_FRACTION = 0.78084

#: Backscatter cross-section of nitrogen's vibrational Raman Q branch at 337.1 nm, m^2 sr^-1
#: (about 3.5e-30 cm^2 sr^-1); scaled by (337.1 nm / l0)^4 to other wavelengths.
NITROGEN_RAMAN_CROSS_SECTION = 3.5e-34


def _molecular(molecular: Molecular | None, wavelength: float, r: FloatArray, argument: str
               ) -> Molecular:
    if molecular is not None:
        return molecular
    try:
        from Aerolume.atmosphere import molecular_profile
    except ImportError:  # pragma: no cover - the atmosphere module ships with the package
        raise ValueError(f"{argument} is needed") from None
    return molecular_profile(r, wavelength)


def _aerosol(layout: Layout, alpha_a: ArrayLike | None, lidar_ratio: ArrayLike | None,
             beta_a: FloatArray) -> FloatArray:
    if (alpha_a is None) == (lidar_ratio is None):
        raise ValueError("give either alpha_a or lidar_ratio (not both)")
    if alpha_a is not None:
        return np.broadcast_to(layout.per_gate(alpha_a, "alpha_a", positive=True,
                                               allow_zero=True), beta_a.shape)
    assert lidar_ratio is not None  # (exactly one of the two is given)
    return beta_a * np.broadcast_to(layout.per_gate(lidar_ratio, "lidar_ratio", positive=True),
                                    beta_a.shape)


def _noisy(layout: Layout, signal: FloatArray, noise: Literal["poisson", "gaussian"] | None,
           background: ArrayLike, shots: ArrayLike, noise_std: ArrayLike | None, seed: int,
           threads: int) -> tuple[FloatArray, FloatArray, FloatArray]:
    background_ = layout.per_gate(background, "background", positive=True, allow_zero=True)
    shots_ = layout.per_gate(shots, "shots", positive=True)
    if noise is None:
        return signal, np.zeros_like(signal), background_
    if noise == "poisson":
        model = _core.NoiseModel(kind=_core.NoiseKind.poisson, counts_per_unit=shots_,
                                 background=background_)
        noisy = _core.add_noise(signal, model, seed, threads=threads)
        sd = np.sqrt(np.maximum(signal + background_, 0.0) / shots_)
    elif noise == "gaussian":
        if noise_std is None:
            raise ValueError("noise_std is needed for Gaussian noise")
        sigma = layout.per_gate(noise_std, "noise_std", positive=True, allow_zero=True)
        sigma = np.ascontiguousarray(sigma / np.sqrt(shots_))
        model = _core.NoiseModel(kind=_core.NoiseKind.gaussian, sigma=sigma)
        noisy = _core.add_noise(signal, model, seed, threads=threads)
        sd = np.broadcast_to(sigma, signal.shape)
    else:
        raise ValueError(f"noise must be None, 'poisson' or 'gaussian', got {noise!r}")
    return noisy, np.broadcast_to(sd, signal.shape).copy(), background_


def _seed(seed: SupportsIndex) -> int:
    import operator
    try:
        value = operator.index(seed)
    except TypeError:
        raise TypeError(f"seed must be an integer, not {type(seed).__name__}") from None
    if not 0 <= value < 2**64:
        raise ValueError(f"seed must be in [0, 2**64), got {value}")
    return value


def _finish(layout: Layout, true_signal: FloatArray, noisy: FloatArray, sd: FloatArray,
            background: FloatArray,
            variables: Mapping[str, tuple[ArrayLike, Mapping[str, Any]]],
            attrs: dict[str, Any]) -> xr.Dataset:
    var: dict[str, tuple[ArrayLike, Mapping[str, Any]]] = {
        "signal": (noisy, {"long_name": "background-subtracted signal",
                           "units": attrs.get("signal_units", "1")}),
        "signal_noise_free": (true_signal, {"long_name": "signal without noise"}),
        "signal_noise": (sd, {"long_name": "standard deviation of the signal's noise"}),
        "background": (np.broadcast_to(background, true_signal.shape),
                       {"long_name": "background removed from the signal"}),
    }
    var.update(variables)
    return layout.dataset(var, attrs)


def elastic(range: ArrayLike, wavelength: float, beta_a: ArrayLike,
            molecular: Molecular | None = None, *, alpha_a: ArrayLike | None = None,
            lidar_ratio: ArrayLike | None = None, constant: ArrayLike = 1.0,
            overlap: ArrayLike | None = None, background: ArrayLike = 0.0,
            shots: ArrayLike = 1, noise: Literal["poisson", "gaussian"] | None = None,
            noise_std: ArrayLike | None = None, seed: int = 0,
            threads: int | None = None) -> xr.Dataset:
    """The elastic-backscatter signal of a known atmosphere.

    P(r) = C O(r) r^-2 (beta_m + beta_a) exp(-2 ∫_0^r (alpha_m + alpha_a) dr').

    Parameters
    ----------
    range : array_like, shape (range,)
        Range of each gate from the instrument, m.
    wavelength : float
        Wavelength, m (for the default molecular atmosphere and the attributes).
    beta_a : array_like, shape (..., range)
        Aerosol backscatter, m^-1 sr^-1; leading axes simulate several profiles.
    molecular : mapping, optional
        ``alpha_m`` (m^-1) and ``beta_m`` (m^-1 sr^-1) broadcastable to `beta_a`; default
        the standard atmosphere's molecular profile at `wavelength`.
    alpha_a : array_like, optional
        Aerosol extinction, m^-1 (or give `lidar_ratio`).
    lidar_ratio : array_like, optional
        Aerosol lidar ratio, sr: a number or per gate (alpha_a = lidar_ratio beta_a).
    constant : array_like
        System constant C, signal units m^3 sr (counts per shot for Poisson noise); per
        profile or for all.  Default 1.
    overlap : array_like, optional
        Overlap function O(r), per gate (default 1).
    background : array_like
        Background added before the noise and removed after, signal units.  Default 0.
    shots : array_like
        Number of laser shots averaged.  Default 1.
    noise : {None, "poisson", "gaussian"}
        Noise model.
    noise_std : array_like, optional
        Standard deviation of the Gaussian noise of one shot, signal units.
    seed : int
        Seed of the noise.
    threads : int, optional
        Number of threads; None uses every core.

    Returns
    -------
    xarray.Dataset
        ``signal`` (noisy if asked, background removed), ``signal_noise_free``,
        ``signal_noise`` (the noise's standard deviation per gate), ``background``, and the
        truth: ``beta_a``, ``alpha_a``, ``beta_m``, ``alpha_m``.
    """
    w = scalar(wavelength, "wavelength", positive=True)
    layout = Layout(np.zeros(np.shape(beta_a)), range, "beta_a")
    beta = layout.per_gate(beta_a, "beta_a", positive=True, allow_zero=True)
    beta = np.broadcast_to(beta, layout.shape).reshape(layout.profiles, layout.gates)
    mol = layout.molecular(_molecular(molecular, w, layout.range, "molecular"),
                           ("alpha_m", "beta_m"))
    alpha = _aerosol(layout, alpha_a, lidar_ratio, beta)
    threads_ = thread_count(threads)
    total_beta = np.ascontiguousarray(beta + mol["beta_m"])
    two_way = np.ascontiguousarray(2.0 * (alpha + mol["alpha_m"]))
    signal = _core.lidar_signal(
        range=layout.range, backscatter=total_beta, extinction_two_way=two_way,
        overlap=None if overlap is None else layout.per_gate(overlap, "overlap", positive=True,
                                                             allow_zero=True),
        constant=layout.per_profile(constant, "constant", positive=True), threads=threads_)
    noisy, sd, background_ = _noisy(layout, signal, noise, background, shots, noise_std,
                                     _seed(seed), threads_)
    truth = {"beta_a": (beta, {"units": "m-1 sr-1", "long_name": "aerosol backscatter"}),
             "alpha_a": (np.ascontiguousarray(alpha), {"units": "m-1",
                                                       "long_name": "aerosol extinction"}),
             "beta_m": (np.broadcast_to(mol["beta_m"], beta.shape),
                        {"units": "m-1 sr-1", "long_name": "molecular backscatter"}),
             "alpha_m": (np.broadcast_to(mol["alpha_m"], beta.shape),
                         {"units": "m-1", "long_name": "molecular extinction"})}
    attrs = {"wavelength": w, "channel": "elastic", "noise": noise or "none", "seed": int(seed)}
    return _finish(layout, signal, noisy, sd, background_, truth, attrs)


def raman(range: ArrayLike, wavelength: float, beta_a: ArrayLike | None = None,
          molecular: Molecular | None = None, molecular_raman: Molecular | None = None, *,
          alpha_a: ArrayLike | None = None, lidar_ratio: ArrayLike | None = None,
          angstrom: float = 1.0, raman_wavelength: float | None = None,
          cross_section: float | None = None, constant: ArrayLike = 1.0,
          overlap: ArrayLike | None = None, background: ArrayLike = 0.0, shots: ArrayLike = 1,
          noise: Literal["poisson", "gaussian"] | None = None,
          noise_std: ArrayLike | None = None, seed: int = 0,
          threads: int | None = None) -> xr.Dataset:
    """The nitrogen vibrational-Raman signal of a known atmosphere.

    P_R(r) = C O(r) r^-2 N(r) x_N2 dsigma/dOmega
    exp(-∫_0^r (alpha_m(l0) + alpha_a(l0) + alpha_m(lR) + alpha_a(l0) (l0/lR)^k) dr').

    Parameters
    ----------
    range : array_like, shape (range,)
        Range of each gate, m.
    wavelength : float
        Emitted wavelength l0, m.
    beta_a : array_like, shape (..., range), optional
        Aerosol backscatter at l0, m^-1 sr^-1, with `lidar_ratio` (or give `alpha_a`); it
        sets the shape of the result.
    molecular : mapping, optional
        Molecular atmosphere at l0: ``alpha_m`` (m^-1) and ``number_density`` (m^-3).
    molecular_raman : mapping, optional
        Molecular atmosphere at the Raman wavelength: ``alpha_m`` (m^-1).
    alpha_a : array_like, optional
        Aerosol extinction at l0, m^-1.
    lidar_ratio : array_like, optional
        Aerosol lidar ratio at l0, sr.
    angstrom : float
        Aerosol extinction Angstrom exponent k between l0 and lR.  Default 1.
    raman_wavelength : float, optional
        The Raman wavelength lR, m; default from nitrogen's shift (2330.7 cm^-1).
    cross_section : float, optional
        Raman backscatter cross-section of a nitrogen molecule, m^2 sr^-1; default
        NITROGEN_RAMAN_CROSS_SECTION scaled to `wavelength` by the fourth power.
    constant, overlap, background, shots, noise, noise_std, seed, threads
        As for :func:`elastic`.

    Returns
    -------
    xarray.Dataset
        As :func:`elastic`, with ``raman_backscatter`` (m^-1 sr^-1) instead of ``beta_m``
        and the attribute ``raman_wavelength``.
    """
    w = scalar(wavelength, "wavelength", positive=True)
    wr = float(_retrieval.raman_wavelength(w, NITROGEN_RAMAN_SHIFT)) if raman_wavelength is None \
        else scalar(raman_wavelength, "raman_wavelength", positive=True)
    shape_source = beta_a if beta_a is not None else alpha_a
    if shape_source is None:
        raise ValueError("give beta_a with lidar_ratio, or alpha_a")
    layout = Layout(np.zeros(np.shape(shape_source)), range, "beta_a")
    if beta_a is not None:
        beta = np.broadcast_to(layout.per_gate(beta_a, "beta_a", positive=True, allow_zero=True),
                               layout.shape).reshape(layout.profiles, layout.gates)
        alpha = _aerosol(layout, alpha_a, lidar_ratio, beta)
    else:
        if lidar_ratio is not None:
            raise ValueError("lidar_ratio needs beta_a")
        assert alpha_a is not None  # (the shape came from it)
        alpha = np.broadcast_to(layout.per_gate(alpha_a, "alpha_a", positive=True,
                                                allow_zero=True),
                                layout.shape).reshape(layout.profiles, layout.gates)
    mol = layout.molecular(_molecular(molecular, w, layout.range, "molecular"),
                           ("alpha_m", "number_density"))
    mol_r = layout.molecular(_molecular(molecular_raman, wr, layout.range, "molecular_raman"),
                             ("alpha_m",), "molecular_raman")
    k = scalar(angstrom, "angstrom")
    if cross_section is None:
        cross_section = NITROGEN_RAMAN_CROSS_SECTION * (337.1e-9 / w) ** 4
    sigma = scalar(cross_section, "cross_section", positive=True)
    threads_ = thread_count(threads)
    backscatter = mol["number_density"] * NITROGEN_FRACTION * sigma
    two_way = np.ascontiguousarray(mol["alpha_m"] + mol_r["alpha_m"] +
                                   alpha * (1.0 + (w / wr) ** k))
    signal = _core.lidar_signal(
        range=layout.range,
        backscatter=np.ascontiguousarray(np.broadcast_to(backscatter, two_way.shape)),
        extinction_two_way=two_way,
        overlap=None if overlap is None else layout.per_gate(overlap, "overlap", positive=True,
                                                             allow_zero=True),
        constant=layout.per_profile(constant, "constant", positive=True), threads=threads_)
    noisy, sd, background_ = _noisy(layout, signal, noise, background, shots, noise_std,
                                    _seed(seed), threads_)
    truth = {"alpha_a": (np.ascontiguousarray(alpha), {"units": "m-1",
                                                       "long_name": "aerosol extinction"}),
             "raman_backscatter": (np.broadcast_to(backscatter, alpha.shape),
                                   {"units": "m-1 sr-1",
                                    "long_name": "Raman backscatter of nitrogen"})}
    if beta_a is not None:
        truth["beta_a"] = (beta, {"units": "m-1 sr-1", "long_name": "aerosol backscatter"})
    attrs = {"wavelength": w, "raman_wavelength": wr, "channel": "raman", "angstrom": k,
             "noise": noise or "none", "seed": int(seed)}
    return _finish(layout, signal, noisy, sd, background_, truth, attrs)


def polarized(range: ArrayLike, wavelength: float, beta_a: ArrayLike,
              particle_depolarization: ArrayLike, molecular: Molecular | None = None, *,
              alpha_a: ArrayLike | None = None, lidar_ratio: ArrayLike | None = None,
              molecular_depolarization: float | None = None, line: Line = "total",
              eta: float = 1.0, ghk: GHK | Mapping[str, float] | None = None,
              co: Literal["parallel", "total"] = "parallel",
              misalignment: float = 0.0, angle: float = 0.0, constant: ArrayLike = 1.0,
              overlap: ArrayLike | None = None, background: ArrayLike = 0.0,
              shots: ArrayLike = 1, noise: Literal["poisson", "gaussian"] | None = None,
              noise_std: ArrayLike | None = None, seed: int = 0,
              threads: int | None = None) -> xr.Dataset:
    """The cross and co (parallel or total) signals of a polarisation lidar.

    The volume ratio is delta_v = beta_perp / beta_par with
    beta_perp = beta_a delta_p / (1 + delta_p) + beta_m delta_m / (1 + delta_m) and
    beta_par = beta_a / (1 + delta_p) + beta_m / (1 + delta_m); the co channel records
    C (G_co + H_co a cos 2 phi) and the cross channel eta C (G_cross + H_cross a cos 2 phi)
    times r^-2 (beta_m + beta_a) T^2 (and the overlap), phi = angle + misalignment.

    Parameters
    ----------
    range, wavelength, beta_a, molecular, alpha_a, lidar_ratio, constant, overlap,
    background, shots, noise, noise_std, threads
        As for :func:`elastic` (the noise is drawn for both channels, the co channel from
        `seed` and the cross channel from `seed` + 1).
    particle_depolarization : array_like
        delta_p, broadcast to `beta_a`.
    molecular_depolarization : float, optional
        delta_m; default :func:`Aerolume.atmosphere.depolarization_ratio` of `line`.
    line : {"total", "cabannes"}
        The molecular line (for the default delta_m).
    eta : float
        The gain ratio eta_cross / eta_co.  Default 1.
    ghk : GHK or mapping, optional
        The receiver; default the ideal one of `co`.
    co : {"parallel", "total"}
        What the co channel records (for the default `ghk`).
    misalignment : float
        Rotation of the receiver's polarisation plane from the laser's, degrees.
    angle : float
        The calibrator's rotation, degrees (0 measuring, ±45 calibrating).
    seed : int
        Seed of the noise.

    Returns
    -------
    xarray.Dataset
        ``cross`` and ``co`` (noisy if asked, background removed), ``cross_noise_free``,
        ``co_noise_free``, ``cross_noise``, ``co_noise`` (standard deviations), and the
        truth: ``volume_depolarization``, ``particle_depolarization``,
        ``backscatter_ratio``, ``beta_a``, ``beta_m``, ``alpha_a``, ``alpha_m``.
    """
    from Aerolume.depolarization import GHK
    w = scalar(wavelength, "wavelength", positive=True)
    layout = Layout(np.zeros(np.shape(beta_a)), range, "beta_a")
    beta = layout.per_gate(beta_a, "beta_a", positive=True, allow_zero=True)
    beta = np.broadcast_to(beta, layout.shape).reshape(layout.profiles, layout.gates)
    dp = np.broadcast_to(layout.per_gate(particle_depolarization, "particle_depolarization",
                                         positive=True, allow_zero=True), beta.shape)
    if molecular_depolarization is None:
        from Aerolume.atmosphere import depolarization_ratio
        molecular_depolarization = float(depolarization_ratio(w, kind="linear", line=line))
    dm = scalar(molecular_depolarization, "molecular_depolarization", positive=True)
    receiver = GHK.of(ghk) if ghk is not None else GHK.ideal(co)
    mol = layout.molecular(_molecular(molecular, w, layout.range, "molecular"),
                           ("alpha_m", "beta_m"))
    alpha = _aerosol(layout, alpha_a, lidar_ratio, beta)
    threads_ = thread_count(threads)
    beta_m = np.broadcast_to(mol["beta_m"], beta.shape)
    perpendicular = beta * dp / (1.0 + dp) + beta_m * dm / (1.0 + dm)
    parallel = beta / (1.0 + dp) + beta_m / (1.0 + dm)
    dv = perpendicular / parallel
    total = beta + beta_m
    cross_response, co_response = receiver.response(dv, scalar(angle, "angle") +
                                                    scalar(misalignment, "misalignment"))
    two_way = np.ascontiguousarray(2.0 * (alpha + mol["alpha_m"]))
    ov = None if overlap is None else layout.per_gate(overlap, "overlap", positive=True,
                                                      allow_zero=True)
    c = layout.per_profile(constant, "constant", positive=True)
    gain = scalar(eta, "eta", positive=True)
    seed_ = _seed(seed)
    out = {}
    for name, response, factor, s in (("co", co_response, 1.0, seed_),
                                      ("cross", cross_response, gain, (seed_ + 1) % 2**64)):
        signal = _core.lidar_signal(range=layout.range,
                                    backscatter=np.ascontiguousarray(total * response),
                                    extinction_two_way=two_way, overlap=ov, constant=c * factor,
                                    threads=threads_)
        noisy, sd, background_ = _noisy(layout, signal, noise, background, shots, noise_std,
                                        s, threads_)
        out[name] = (noisy, {"long_name": f"background-subtracted {name} signal"})
        out[f"{name}_noise_free"] = (signal, {"long_name": f"{name} signal without noise"})
        out[f"{name}_noise"] = (sd, {"long_name": f"standard deviation of the {name} signal's "
                                     "noise"})
    out.update({
        "volume_depolarization": (dv, {"units": "1", "long_name": "volume linear "
                                       "depolarisation ratio"}),
        "particle_depolarization": (np.ascontiguousarray(dp), {
            "units": "1", "long_name": "particle linear depolarisation ratio"}),
        "backscatter_ratio": (total / beta_m, {"units": "1", "long_name": "backscatter ratio"}),
        "beta_a": (beta, {"units": "m-1 sr-1", "long_name": "aerosol backscatter"}),
        "alpha_a": (np.ascontiguousarray(alpha), {"units": "m-1",
                                                  "long_name": "aerosol extinction"}),
        "beta_m": (beta_m, {"units": "m-1 sr-1", "long_name": "molecular backscatter"}),
        "alpha_m": (np.broadcast_to(mol["alpha_m"], beta.shape),
                    {"units": "m-1", "long_name": "molecular extinction"}),
    })
    attrs = {"wavelength": w, "channel": "polarized", "eta": gain,
             "ghk": list(receiver.core()), "misalignment": float(misalignment),
             "angle": float(angle), "molecular_depolarization": dm, "noise": noise or "none",
             "seed": int(seed)}
    return layout.dataset(out, attrs)


def delta90_calibration(range: ArrayLike, wavelength: float, beta_a: ArrayLike,
                        particle_depolarization: ArrayLike, molecular: Molecular | None = None,
                        *, angles: tuple[float, float] = (45.0, -45.0), seed: int = 0,
                        **kwargs: Any) -> tuple[xr.Dataset, xr.Dataset]:
    """The two signal sets of a Δ90 calibration: :func:`polarized` at each of `angles`
    (degrees), the second with its noise drawn from `seed` + 2.

    Parameters
    ----------
    range : array_like
        Range of each gate, m.
    wavelength : float
        The emitted wavelength, m.
    beta_a : array_like
        Aerosol backscatter, m^-1 sr^-1.
    particle_depolarization : array_like
        The aerosol's linear depolarisation ratio.
    molecular : mapping, optional
        The molecular atmosphere, as for :func:`polarized`.
    angles : (float, float)
        The two rotations of the polarisation plane, degrees.
    seed : int
        Seed of the first set's noise.
    **kwargs
        Other arguments of :func:`polarized`.

    Returns
    -------
    (xarray.Dataset, xarray.Dataset)
        The signals at each of `angles`."""
    first = polarized(range, wavelength, beta_a, particle_depolarization, molecular,
                      angle=angles[0], seed=seed, **kwargs)
    second = polarized(range, wavelength, beta_a, particle_depolarization, molecular,
                       angle=angles[1], seed=(_seed(seed) + 2) % 2**64, **kwargs)
    return first, second


def photon_counting_pair(rate: ArrayLike, dead_time: float, *,
                         model: Literal["non_paralysable", "paralysable"] = "non_paralysable",
                         slope: float = 65.0, offset: float = 0.0, analog_noise: float = 0.0,
                         shots: int = 600, bin_width: float = 7.5, seed: int = 0
                         ) -> xr.Dataset:
    """An analog / photon-counting pair recording a known true count rate.

    The photon counter sees the true rate N (MHz) compressed by its dead time tau
    (non-paralysable N_m = N / (1 + N tau); paralysable N_m = N exp(-N tau)) and counts
    Poisson photons over `shots` shots of bins of `bin_width`; the analog recorder reads
    A = N / slope + offset plus Gaussian noise of standard deviation `analog_noise`
    (per profile, i.e. for the `shots` shots).  Noise comes from NumPy's seeded
    generator (``numpy.random.default_rng(seed)``).

    Parameters
    ----------
    rate : array_like, (..., range)
        True count rate, MHz (non-negative).
    dead_time : float
        ns.
    model : {"non_paralysable", "paralysable"}
    slope : float
        MHz per analog unit (mV).
    offset : float
        Analog reading of a zero rate (mV).
    analog_noise : float
        Standard deviation of the analog signal (mV).
    shots : int
        Laser shots per profile.
    bin_width : float
        Range bin width, m (a bin lasts 2 bin_width / c).
    seed : int

    Returns
    -------
    xarray.Dataset
        ``photon_counting`` (measured rate, MHz), ``analog`` (mV), ``rate`` (the true
        rate) and ``measured_rate`` (the compressed rate without counting noise), on
        (profile, range) dimensions ``dim_0 ... range``; attributes record the truth.
    """
    n = np.asarray(rate, dtype=np.float64)
    if n.ndim < 1 or not np.all(np.isfinite(n)) or np.any(n < 0):
        raise ValueError("rate must be a finite, non-negative array (MHz) with a range axis")
    tau = scalar(dead_time, "dead_time")
    if tau < 0:
        raise ValueError(f"dead_time must be non-negative (ns), got {dead_time!r}")
    tau *= 1e-3
    if model == "non_paralysable":
        measured = n / (1.0 + n * tau)
    elif model == "paralysable":
        measured = n * np.exp(-n * tau)
    else:
        raise ValueError(f"model must be 'non_paralysable' or 'paralysable', got {model!r}")
    if not (shots >= 1 and bin_width > 0 and slope > 0 and analog_noise >= 0):
        raise ValueError("shots, bin_width and slope must be positive, analog_noise non-negative")
    per_count = float(mhz_per_count(bin_width, shots))
    rng = np.random.default_rng(_seed(seed))
    counts = rng.poisson(measured / per_count)
    analog = n / slope + offset + rng.normal(0.0, 1.0, n.shape) * analog_noise
    dims = tuple(f"dim_{i}" for i in np.arange(n.ndim - 1)) + ("range",)
    return xr.Dataset(
        {"photon_counting": (dims, counts * per_count, {"units": "MHz"}),
         "analog": (dims, analog, {"units": "mV"}),
         "rate": (dims, n, {"units": "MHz", "long_name": "true count rate"}),
         "measured_rate": (dims, measured, {"units": "MHz"})},
        attrs={"dead_time": float(dead_time), "model": model, "slope": float(slope),
               "offset": float(offset), "analog_noise": float(analog_noise),
               "shots": int(shots), "bin_width": float(bin_width), "seed": int(seed)})
