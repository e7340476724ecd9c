"""The molecular profile written by hand in vectorised NumPy: the same formulas as
Aerolume.atmosphere, the way a careful user would write them, for benchmarking the core.

Never imported by the package.  Arguments are taken as valid (no checks).
"""
import numpy as np
import xarray as xr

R0 = 6356766.0                 # m, for geopotential altitude
G0M0_R = 9.80665 * 28.9644 / 8314.32
K_B = 8314.32 / 6.022169e26    # J/K, R*/N_A
EARTH = 6371000.0              # m, for slant beams
LAYER_BASE = np.array([0.0, 11e3, 20e3, 32e3, 47e3, 51e3, 71e3])
LAYER_LAPSE = np.array([-0.0065, 0.0, 0.001, 0.0028, 0.0, -0.0028, -0.002])
WEIGHT_RATIO = np.array([1.000000, 0.999996, 0.999989, 0.999971, 0.999941, 0.999909, 0.999870,
                         0.999829, 0.999786, 0.999741, 0.999694, 0.999641, 0.999579])


def _layers():
    t, p = [288.15], [101325.0]
    for i in range(6):
        dh = LAYER_BASE[i + 1] - LAYER_BASE[i]
        top = t[i] + LAYER_LAPSE[i] * dh
        p.append(p[i] * np.exp(-G0M0_R * dh / t[i]) if LAYER_LAPSE[i] == 0
                 else p[i] * (t[i] / top) ** (G0M0_R / LAYER_LAPSE[i]))
        t.append(top)
    return np.array(t), np.array(p)


LAYER_T, LAYER_P = _layers()


def standard_atmosphere(z):
    h = R0 * z / (R0 + z)
    i = np.searchsorted(LAYER_BASE, h, side="right") - 1
    lapse, base, tb, pb = LAYER_LAPSE[i], LAYER_BASE[i], LAYER_T[i], LAYER_P[i]
    tm = tb + lapse * (h - base)
    with np.errstate(divide="ignore", invalid="ignore"):
        p = np.where(lapse == 0.0, pb * np.exp(-G0M0_R * (h - base) / tb),
                     pb * (tb / tm) ** (G0M0_R / lapse))
    t = tm * np.interp(z, 80e3 + 500.0 * np.arange(13), WEIGHT_RATIO)
    return t, p, p / (K_B * t)


def cross_sections(wavelength, co2=400e-6, cabannes=False):
    s2 = 1.0 / (wavelength * 1e6) ** 2
    r = (5791817.0 / (238.0185 - s2) + 167909.0 / (57.362 - s2)) * 1e-8 * (1 + 0.54 * (co2 - 3e-4))
    c = co2 * 100
    king = (78.084 * (1.034 + 3.17e-4 * s2) + 20.946 * (1.096 + 1.385e-3 * s2 + 1.448e-4 * s2 ** 2)
            + 0.934 + c * 1.15) / (78.084 + 20.946 + 0.934 + c)
    n2m1 = r * (2 + r)
    sigma = 24 * np.pi ** 3 * (n2m1 / ((n2m1 + 3) * 2.546899e25)) ** 2 / wavelength ** 4 * king
    eps = 4.5 * (king - 1)
    back = sigma / king * 3 / (8 * np.pi) * (1 + 7 * eps / (180 if cabannes else 45))
    return sigma, back


def altitude_of(r, station, zenith):
    a = EARTH + station
    x = r * (r + 2 * a * np.cos(np.radians(zenith)))
    return station + x / (np.sqrt(a * a + x) + a)


def _optics(r, z0_density, density, sigma, back):
    """alpha, beta, two-way transmission, attenuated beta from densities at the instrument
    (profiles,) and at the gates (profiles, gates)."""
    alpha = density * sigma
    beta = density * back
    edges = np.concatenate((z0_density[:, None] * sigma, alpha), axis=1)
    a0, a1 = edges[:, :-1], edges[:, 1:]
    dr = np.diff(r, prepend=0.0)
    with np.errstate(divide="ignore", invalid="ignore"):
        log = np.log(a1 / a0)
        mean = np.where(np.abs(log) < 1e-3, a0 * (1 + log * (0.5 + log * (1 / 6 + log / 24))),
                        (a1 - a0) / log)
    transmission = np.exp(-2 * np.cumsum(mean * dr, axis=1))
    return alpha, beta, transmission, beta * transmission


def _dataset(r, z, t, p, n, alpha, beta, ratio, t2, att, timed):
    dims = ("time", "range") if timed else ("range",)
    squeeze = (lambda a: a) if timed else (lambda a: a[0])
    return xr.Dataset(
        {"altitude": (("range",), z, {"units": "m"}),
         "temperature": (dims, squeeze(t), {"units": "K"}),
         "pressure": (dims, squeeze(p), {"units": "Pa"}),
         "number_density": (dims, squeeze(n), {"units": "m-3"}),
         "alpha_m": (dims, squeeze(alpha), {"units": "m-1"}),
         "beta_m": (dims, squeeze(beta), {"units": "m-1 sr-1"}),
         "lidar_ratio_m": (("range",), np.full(r.size, ratio), {"units": "sr"}),
         "transmission_m2": (dims, squeeze(t2), {"units": "1"}),
         "attenuated_beta_m": (dims, squeeze(att), {"units": "m-1 sr-1"})},
        coords={"range": ("range", r, {"units": "m"})})


def standard_profile(r, wavelength, station=0.0, zenith=0.0):
    """One profile in the standard atmosphere, as a Dataset."""
    z = altitude_of(r, station, zenith)
    t, p, n = standard_atmosphere(z)
    n0 = standard_atmosphere(np.array([station]))[2]
    sigma, back = cross_sections(wavelength)
    optics = _optics(r, n0, n[None, :], sigma, back)
    return _dataset(r, z, t[None], p[None], n[None], *optics[:2], sigma / back, *optics[2:],
                    timed=False)


def sounding_profiles(r, wavelength, soundings, station=0.0, zenith=0.0):
    """One profile per sounding (each a tuple altitude, pressure, temperature sorted by
    altitude and covering the beam), as a Dataset on (time, range)."""
    z = altitude_of(r, station, zenith)
    points = np.concatenate(([station], z))
    t = np.empty((len(soundings), points.size))
    log_p = np.empty_like(t)
    for i, (levels, pressure, temperature) in enumerate(soundings):
        t[i] = np.interp(points, levels, temperature)
        log_p[i] = np.interp(points, levels, np.log(pressure))
    p = np.exp(log_p)
    n = p / (K_B * t)
    sigma, back = cross_sections(wavelength)
    optics = _optics(r, n[:, 0], n[:, 1:], sigma, back)
    return _dataset(r, z, t[:, 1:], p[:, 1:], n[:, 1:], *optics[:2], sigma / back,
                    *optics[2:], timed=True)
