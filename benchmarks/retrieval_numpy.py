"""The retrievals written with vectorised NumPy, as a careful user would: the reference the
compiled core is timed against (same formulas, same integration rule)."""

from __future__ import annotations

import numpy as np


def cumulative_parabolic(f: np.ndarray, r: np.ndarray) -> np.ndarray:
    """∫ f dr from r[0] along the last axis, each interval by the mean of the parabolas
    through it and its left or right neighbour (one at the ends)."""
    h = np.diff(r)
    forward_h, forward_b = h[:-1], h[1:]
    forward = (forward_h * (2 * forward_h + 3 * forward_b) / (6 * (forward_h + forward_b)) * f[..., :-2]
               + forward_h * (forward_h + 3 * forward_b) / (6 * forward_b) * f[..., 1:-1]
               - forward_h ** 3 / (6 * forward_b * (forward_h + forward_b)) * f[..., 2:])
    back_h, back_b = h[1:], h[:-1]
    backward = (-back_h ** 3 / (6 * back_b * (back_h + back_b)) * f[..., :-2]
                + back_h * (back_h + 3 * back_b) / (6 * back_b) * f[..., 1:-1]
                + back_h * (2 * back_h + 3 * back_b) / (6 * (back_h + back_b)) * f[..., 2:])
    steps = np.empty(f.shape[:-1] + (r.size - 1,))
    steps[..., 0] = forward[..., 0]
    steps[..., -1] = backward[..., -1]
    steps[..., 1:-1] = (forward[..., 1:] + backward[..., :-1]) / 2
    out = np.zeros(f.shape)
    np.cumsum(steps, axis=-1, out=out[..., 1:])
    return out


def klett_fernald(signal, r, beta_m, alpha_m, lidar_ratio, begin, end, reference_value=1.0,
                  lidar_ratio_offset=0.0):
    """Fernald's backward inversion of signals (..., range): aerosol backscatter and
    extinction.  `lidar_ratio_offset` may be shaped (..., 1), one per profile."""
    s = lidar_ratio + lidar_ratio_offset
    c = (begin + end - 1) // 2
    exponent = cumulative_parabolic(s * beta_m - alpha_m, r)
    z = signal * r ** 2 * np.exp(-2.0 * (exponent - exponent[..., c:c + 1]))
    integral = cumulative_parabolic(s * z, r)
    integral -= integral[..., c:c + 1]
    k = np.mean(z[..., begin:end] / (reference_value * beta_m[..., begin:end])
                + 2.0 * integral[..., begin:end], axis=-1, keepdims=True)
    denominator = k - 2.0 * integral
    with np.errstate(divide="ignore", invalid="ignore"):
        beta = np.where(denominator > 0, z / denominator - beta_m, np.nan)
    beta[..., end:] = np.nan
    return beta, s * beta


def klett_fernald_monte_carlo(signal, r, beta_m, alpha_m, lidar_ratio, begin, end, sigma,
                              realisations, lidar_ratio_sd, rng):
    """Standard deviations of the backscatter and extinction over `realisations` noisy
    copies of each profile, the realisations of a profile in one vectorised call."""
    profiles = signal.reshape(-1, signal.shape[-1])
    beta_sd = np.empty(profiles.shape)
    alpha_sd = np.empty(profiles.shape)
    for p, profile in enumerate(profiles):
        offset = lidar_ratio_sd * rng.standard_normal((realisations, 1))
        noisy = profile + sigma * rng.standard_normal((realisations, profile.size))
        beta, alpha = klett_fernald(noisy, r, beta_m, alpha_m, lidar_ratio, begin, end,
                                    lidar_ratio_offset=offset)
        beta_sd[p] = beta.std(axis=0, ddof=1)
        alpha_sd[p] = alpha.std(axis=0, ddof=1)
    return beta_sd.reshape(signal.shape), alpha_sd.reshape(signal.shape)
