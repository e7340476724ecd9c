"""The molecular atmosphere seen by a lidar at 355, 532 and 1064 nm.

Computes molecular profiles along a vertical beam from a station at 100 m in the US
Standard Atmosphere 1976 and in a synthetic radiosonde (a warmer boundary layer and a
colder tropopause, continued above 25 km by the standard atmosphere scaled to match),
and saves a figure of temperature, number density, beta_m and the two-way transmission
T_m^2 against altitude:

    python examples/molecular_atmosphere.py [--output molecular_atmosphere.png]

Needs matplotlib (pip install 'Aerolume[examples]').  Prints the vertical Rayleigh
optical depth of each wavelength from the station to 40 km.
"""
import argparse

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from Aerolume import atmosphere  # noqa: E402

WAVELENGTHS = {355e-9: "tab:purple", 532e-9: "tab:green", 1064e-9: "tab:red"}
STATION = 100.0       # m above sea level
RANGE = np.arange(7.5, 40_000.0, 7.5)   # m along the beam


def synthetic_sounding():
    """A radiosonde to 25 km: the standard atmosphere 4 K warmer near the ground and 3 K
    colder at the tropopause, its pressure integrated hydrostatically from 1010 hPa."""
    z = np.arange(STATION, 25_000.0, 50.0)
    standard = atmosphere.standard_atmosphere(z)
    temperature = (standard.temperature + 4.0 * np.exp(-(z - STATION) / 1500.0)
                   - 3.0 * np.exp(-((z - 11_500.0) / 2000.0) ** 2))
    g_over_r = 9.80665 / 287.05
    layer = g_over_r * np.diff(z) / (0.5 * (temperature[1:] + temperature[:-1]))
    pressure = 101_000.0 * np.exp(-np.concatenate(([0.0], np.cumsum(layer))))
    return atmosphere.sounding(z, pressure, temperature)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default="molecular_atmosphere.png", help="figure file")
    args = parser.parse_args()

    sonde = synthetic_sounding()
    fig, axes = plt.subplots(1, 4, figsize=(14, 5.5), sharey=True)
    for wavelength, colour in WAVELENGTHS.items():
        for model, style in ((atmosphere.standard_atmosphere, "-"), (sonde, "--")):
            ds = atmosphere.molecular_profile(RANGE, wavelength, model, station_altitude=STATION)
            km = ds.altitude / 1e3
            if wavelength == 532e-9:
                label = "US Standard 1976" if style == "-" else "sounding"
                axes[0].plot(ds.temperature, km, "k" + style, label=label)
                axes[1].semilogx(ds.number_density, km, "k" + style, label=label)
            label = f"{wavelength * 1e9:.0f} nm" if style == "-" else None
            axes[2].semilogx(ds.beta_m, km, style, color=colour, label=label)
            axes[3].plot(ds.transmission_m2, km, style, color=colour, label=label)
            if style == "-":
                tau = -np.log(float(ds.transmission_m2[-1])) / 2
                print(f"{wavelength * 1e9:.0f} nm: vertical Rayleigh optical depth "
                      f"{tau:.4f} from {STATION:.0f} m to {float(ds.altitude[-1]):.0f} m")
    axes[0].set_xlabel("temperature (K)")
    axes[1].set_xlabel("number density (m⁻³)")
    axes[2].set_xlabel("β_m (m⁻¹ sr⁻¹)")
    axes[3].set_xlabel("two-way transmission T_m²")
    axes[0].set_ylabel("altitude (km a.s.l.)")
    for ax in axes:
        ax.grid(alpha=0.3)
        ax.legend(fontsize="small")
    fig.suptitle("Molecular atmosphere and Rayleigh optics (whole Rayleigh band, 400 ppm CO₂)")
    fig.tight_layout()
    fig.savefig(args.output, dpi=110)


if __name__ == "__main__":
    main()
