"""Atmospheres the retrieval tests simulate: the molecular standard atmosphere and an aerosol
of a boundary layer, an elevated layer and a thin cloud, all clean above 10 km."""

import numpy as np

from Aerolume import atmosphere, retrieval

WAVELENGTH = 354.7e-9
RAMAN_WAVELENGTH = retrieval.raman_wavelength(WAVELENGTH)
LIDAR_RATIO = 50.0
REFERENCE = (12000.0, 14000.0)


def grid(spacing, top=15000.0):
    """Gate centres every `spacing` m from the first gate to `top`."""
    return np.arange(1, int(round(top / spacing)) + 1) * spacing


def molecular(r, wavelength=WAVELENGTH):
    return atmosphere.molecular_profile(r, wavelength)


def aerosol(r, cloud=True):
    """beta_a (m^-1 sr^-1): a 2 km boundary layer, a layer at 4 km, a cloud at 8 km of
    optical depth about 0.09 at S = 50 sr."""
    beta = 2e-6 / (1.0 + np.exp((r - 2000.0) / 200.0))
    beta = beta + 1e-6 * np.exp(-(((r - 4000.0) / 300.0) ** 2))
    if cloud:
        beta = beta + 1e-5 * np.exp(-(((r - 8000.0) / 100.0) ** 2))
    return beta


def significant(r, beta_a, beta_m, below=REFERENCE[0]):
    """Gates where the aerosol is more than 1 % of the molecular backscatter, below the
    reference."""
    return (beta_a > 0.01 * np.asarray(beta_m)) & (r < below)
