"""Aerosol retrievals on the shipped sample night: Klett-Fernald at 355 nm and the Raman
extinction from the 387 nm nitrogen channel, with their uncertainties, in one figure.

    python examples/retrieval_sample.py [--output retrieval_sample.png] [--data DIR]

Needs matplotlib (pip install 'Aerolume[examples]').

The five one-minute files (examples/data/licel) are read, corrected (the dead time
calibrated on the night, 4.6 ns, background from the far range, analog and photon
counting glued) and averaged into one five-minute profile of 30 m bins.  The molecular
atmosphere is the standard one scaled to the surface air of the headers (30 C at a
tropical site).  Then:

- the glued 355 nm channel is inverted with Fernald's method, lidar ratio 50 +- 10 sr,
  from a clean-air reference interval found automatically between 3 and 10 km, with Monte
  Carlo uncertainties (the signal's noise and the lidar ratio's);
- the 387 nm glued channel gives the aerosol extinction at 355 nm by the Raman method, with
  a fit window growing from 550 m at 2.5 km, and its statistical error.

The overlap of this instrument is not corrected: below about 2.5 km the signals are still
rising into it (up to about 3 km for the Raman channel), and the products there are not
meaningful (shaded in the figure; `aerolume process` estimates and corrects it).  The
analog 355 nm channel alone finds no reference: its baseline sits a few microvolts off at
far range, so X / A falls above every window and the search says so.
"""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np

from Aerolume import preprocess, retrieval
from Aerolume.atmosphere import molecular_profile, scaled_standard_atmosphere
from Aerolume.io import read_licel

DATA = Path(__file__).resolve().parent / "data" / "licel"
OVERLAP = 3000.0  # m: below this the overlap is incomplete
TOP = 20000.0  # m: the products' range


def retrieve(data: Path = DATA) -> dict:
    """The corrected profile, the reference search and the two retrievals."""
    raw = read_licel(sorted(data.glob("RM*")))
    corrected = preprocess.correct(raw, dead_time=4.6, glue=True,
                                   average={"time": raw.sizes["time"], "range": 4})
    profile = corrected.isel(time=0).sel(range=slice(0.0, TOP))
    r = profile["range"].values
    station = float(profile.attrs["altitude"])
    air = scaled_standard_atmosphere(station, float(raw["temperature"].values[0]),
                                     float(raw["pressure"].values[0]))
    wavelength = float(profile["wavelength"].sel(channel="355_gl"))
    raman_wavelength = float(profile["wavelength"].sel(channel="387_gl"))
    molecular = molecular_profile(r, wavelength, atmosphere=air, station_altitude=station)
    molecular_raman = molecular_profile(r, raman_wavelength, atmosphere=air,
                                        station_altitude=station)

    elastic = profile["signal"].sel(channel="355_gl").values
    elastic_noise = profile["signal_noise"].sel(channel="355_gl").values
    reference = retrieval.find_reference(elastic, r, molecular, search=(3000.0, 10000.0),
                                         width=1000.0, noise=elastic_noise)
    klett = retrieval.klett_fernald(
        elastic, r, molecular, 50.0, reference,
        uncertainty={"noise": elastic_noise, "lidar_ratio": 10.0, "realisations": 200})

    raman = profile["signal"].sel(channel="387_gl").values
    raman_noise = profile["signal_noise"].sel(channel="387_gl").values
    extinction = retrieval.raman_extinction(
        raman, r, molecular, molecular_raman, angstrom=1.0,
        window=lambda x: np.maximum(550.0, 300.0 + 0.1 * x), noise=raman_noise,
        wavelength=wavelength, raman_wavelength=raman_wavelength)
    return {"range": r, "altitude": molecular["altitude"].values, "molecular": molecular,
            "reference": reference, "klett": klett, "extinction": extinction,
            "time": str(profile["time"].values)[:16]}


def plot(result: dict, output: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    z = result["altitude"] / 1000.0
    klett, ext = result["klett"], result["extinction"]
    fig, (left, right) = plt.subplots(1, 2, figsize=(9, 6), sharey=True)
    beta = klett["backscatter"].values * 1e6
    beta_sd = klett["backscatter_uncertainty"].values * 1e6
    left.plot(result["molecular"]["beta_m"].values * 1e6, z, color="0.6", lw=1,
              label="molecular")
    left.fill_betweenx(z, beta - beta_sd, beta + beta_sd, color="C0", alpha=0.3, lw=0)
    left.plot(beta, z, color="C0", lw=1, label="aerosol (Klett-Fernald, S = 50 sr)")
    low, high = result["reference"].interval / 1000.0 + z[0] - result["range"][0] / 1000.0
    left.axhspan(low, high, color="C2", alpha=0.2, label="reference (found)")
    left.set_xlabel("backscatter at 355 nm (Mm$^{-1}$ sr$^{-1}$)")
    left.set_ylabel("altitude (km a.s.l.)")
    alpha = ext["extinction"].values * 1e6
    error = ext["extinction_statistical_error"].values * 1e6
    right.fill_betweenx(z, alpha - error, alpha + error, color="C3", alpha=0.3, lw=0)
    right.plot(alpha, z, color="C3", lw=1, label="aerosol (Raman, 387 nm)")
    right.axvline(0.0, color="0.6", lw=0.8)
    right.set_xlabel("extinction at 355 nm (Mm$^{-1}$)")
    for axis in (left, right):
        axis.axhspan(z[0], OVERLAP / 1000.0, color="0.85", zorder=0, label="incomplete overlap")
        axis.set_ylim(z[0], 10.0)
        axis.legend(loc="upper right", fontsize=8)
    left.set_xlim(-1.0, 8.0)
    right.set_xlim(-150.0, 150.0)
    fig.suptitle(f"Sample night, {result['time']} UTC, 5-minute mean, 30 m bins")
    fig.tight_layout()
    fig.savefig(output, dpi=120)
    plt.close(fig)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", type=Path, default=Path("retrieval_sample.png"))
    parser.add_argument("--data", type=Path, default=DATA, help="folder of raw files")
    args = parser.parse_args()
    result = retrieve(args.data)
    plot(result, args.output)
    r, klett, ext = result["range"], result["klett"], result["extinction"]
    beta_m = result["molecular"]["beta_m"].values
    low, high = result["reference"].interval
    print(f"reference interval {low:.0f} to {high:.0f} m")
    for height in (3000.0, 4000.0, 5000.0):
        i = int(np.searchsorted(r, height))
        print(f"{r[i]:7.0f} m: backscatter ratio "
              f"{1 + klett['backscatter'].values[i] / beta_m[i]:.3f} "
              f"+- {klett['backscatter_uncertainty'].values[i] / beta_m[i]:.3f}, extinction "
              f"{ext['extinction'].values[i] * 1e6:.0f} +- "
              f"{ext['extinction_statistical_error'].values[i] * 1e6:.0f} Mm-1")
    print(f"figure: {args.output}")


if __name__ == "__main__":
    main()
