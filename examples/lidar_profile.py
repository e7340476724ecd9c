"""From a raw elastic-lidar trace to the aerosol backscatter profile.

Builds a synthetic 532 nm trace, runs it through the pre-processing chain of
Aerolume.lumaclean and the Rayleigh fit of Aerolume.lumafit, and saves a figure with the
raw trace, the corrected signal and the retrieved backscatter:

    python examples/lidar_profile.py [--output lidar_profile.png] [--seed 7]

Needs matplotlib (pip install 'Aerolume[examples]').

The synthetic trace
-------------------
The recorder starts PRE_TRIGGER_BINS bins before the laser fires, so the trace opens
with sky background only; the bin in which the pulse leaves the system holds a strong
near-field scattering peak, and range zero is that bin.  Beyond it the echo is

    echo(r) = O(r) * C0 * (beta_m(r) + beta_a(r)) / r**4

with the overlap function O, the molecular backscatter coefficient beta_m from the
module's own model (lumafit.theoretical_rayleigh_signal, altitude (r + 50) / 1000 km),
an aerosol layer beta_a and the system constant C0 = PULSE_ENERGY * SYSTEM_EFFICIENCY.
The power 4 is the one rayleigh_fit works with: it range-square-corrects its input,
D_z = signal * r**2, and fits D_z with C * beta_m / r**2 (lumafit.fit_func), so the echo
whose fit gives back C0 exactly is fit_func(r, C0, wavelength) / r**2.  For the same
reason the beta_A it returns is the aerosol backscatter divided by r**2 (times
exp(2 tau), which its fixed extinction of 1e-4 makes at most 1.003 here): the figure shows
r**2 * beta_A, in m^-1 sr^-1.

The sky background is a constant; the detector counts photons, so the trace carries
Poisson noise (counts divided by the photons per signal unit).
remove_background_and_noise drops every sample below its noise threshold, and so
shortens the trace wherever the echo is weak: in the pre-trigger bins (background only)
and in the far range.  Drops
before the peak do not matter, because distance_zero_point_calibration measures the
heights from the peak of the cleaned trace; the signal is strong enough that nothing is
dropped between the peak and MAX_RANGE, and the script checks that it is so.
"""
import argparse
import contextlib
import io
import sys

import numpy as np

from Aerolume import lumaclean, lumafit

WAVELENGTH = 5.32e-7          # m
BIN_WIDTH = 7.5               # m, a 50 ns sampling interval
PRE_TRIGGER_BINS = 80         # bins recorded before the pulse leaves
RECORDED_BINS = 4000          # bins from range zero on: 30 km
BACKGROUND_BINS = 600         # the last 4.5 km of the trace: sky background only
MAX_RANGE = 15000.0           # m, the range handed to the Rayleigh fit
FIT_WINDOW = (8000.0, 10000.0)  # m, fixed inside rayleigh_fit

PULSE_ENERGY = 0.05           # J, the transmitted signal strength
SYSTEM_EFFICIENCY = 2.0e4     # per J: C0 = PULSE_ENERGY * SYSTEM_EFFICIENCY
OVERLAP_RANGE = 600.0         # m, where the overlap function reaches 1 - 1/e
LAYER = dict(height=2500.0, width=350.0, peak=2.0e-6)  # aerosol layer, m and m^-1 sr^-1
PHOTONS_AT_10_KM = 2000.0     # photon counts per bin from the molecules at 10 km
BACKGROUND_PHOTONS = 500.0    # photon counts per bin of sky background
PEAK_FACTOR = 5.0             # near-field peak over the strongest echo behind it


def overlap(r):
    """Overlap of laser beam and telescope field of view, 0 at the telescope, 1 far out."""
    return 1.0 - np.exp(-(np.asarray(r, dtype=float) / OVERLAP_RANGE) ** 4)


def aerosol_backscatter(r):
    """A Gaussian aerosol layer, m^-1 sr^-1."""
    return LAYER["peak"] * np.exp(-0.5 * ((r - LAYER["height"]) / LAYER["width"]) ** 2)


def synthetic_trace(rng):
    """The raw trace and what it was built from."""
    C0 = PULSE_ENERGY * SYSTEM_EFFICIENCY
    ranges = np.arange(1, RECORDED_BINS) * BIN_WIDTH            # bins after the peak
    molecular = lumafit.fit_func(ranges, C0, WAVELENGTH) / ranges**2
    aerosol = C0 * aerosol_backscatter(ranges) / ranges**4
    echo = overlap(ranges) * (molecular + aerosol)

    # Photons per signal unit, so that the molecules give PHOTONS_AT_10_KM at 10 km.
    at_10_km = lumafit.fit_func(np.array([10000.0]), C0, WAVELENGTH)[0] / 10000.0**2
    photons = PHOTONS_AT_10_KM / at_10_km
    background = BACKGROUND_PHOTONS / photons

    clean = np.concatenate([np.zeros(PRE_TRIGGER_BINS), [PEAK_FACTOR * echo.max()], echo])
    raw = rng.poisson((clean + background) * photons) / photons
    return raw, dict(C0=C0, photons=photons)


def process(raw):
    """The pre-processing chain and the Rayleigh fit; returns every intermediate."""
    # Background from the far end of the trace; its four diagnostic lines (noise,
    # background, the whole trace and every kept sample) are captured, the first two shown.
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        valid, background, noise = lumaclean.remove_background_and_noise(
            raw, -BACKGROUND_BINS, None)
    print("\n".join(printed.getvalue().splitlines()[:2]))
    valid = np.asarray(valid)

    # Heights from the near-field peak of the cleaned trace: the blind zone is negative.
    heights, peak_height = lumaclean.distance_zero_point_calibration(valid, BIN_WIDTH)
    gates = (heights > 0) & (heights <= MAX_RANGE)
    h = heights[gates]
    echo = valid[gates]

    # The overlap function is a property of the system, known from its calibration.
    echo = lumaclean.overlap_factor_correction(echo, overlap(h))
    # Range-corrected signal per unit transmitted energy, for the figure.
    rcs = np.asarray(lumaclean.distance_square_correction(echo, PULSE_ENERGY, h))
    # rayleigh_fit range-square-corrects its input itself: it takes the echo.
    beta_A, C = lumafit.rayleigh_fit(echo, h, WAVELENGTH)
    return dict(valid=valid, background=background, noise=noise, heights=h,
                peak_index=int(np.argmax(valid)), echo=echo, rcs=rcs, beta_A=beta_A, C=C)


def check_alignment(raw, result):
    """Every sample from the peak to MAX_RANGE survived the noise filter, in order."""
    start = result["peak_index"] + 1
    n = len(result["heights"])
    expected = raw[PRE_TRIGGER_BINS + 1:PRE_TRIGGER_BINS + 1 + n] - result["background"]
    if not np.array_equal(result["valid"][start:start + n], expected):
        sys.exit("samples below the noise threshold were dropped inside the fitted range: "
                 "the heights would not belong to their samples")


def plot(raw, truth, result, output):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    km = 1e-3
    h = result["heights"]
    window = dict(color="tab:green", alpha=0.15, lw=0)
    fig, axes = plt.subplots(1, 3, figsize=(13, 6.2), layout="constrained")

    ax = axes[0]
    photons = truth["photons"]
    recorded = (np.arange(raw.size) - PRE_TRIGGER_BINS) * BIN_WIDTH
    ax.semilogx(np.clip(raw * photons, 1, None), recorded * km, lw=0.6, color="0.25",
                label="recorded trace")
    ax.axvline(result["background"] * photons, color="tab:red", lw=1, ls="--",
               label="background estimate")
    ax.axhspan(recorded[-BACKGROUND_BINS] * km, recorded[-1] * km, color="tab:red",
               alpha=0.1, lw=0, label="background window")
    ax.axhspan(recorded[0] * km, 0, color="0.6", alpha=0.3, lw=0,
               label="before the pulse (blind zone)")
    ax.set(xlabel="photon counts per bin", ylabel="range (km)",
           title="raw trace", ylim=(recorded[0] * km, recorded[-1] * km),
           xlim=(result["background"] * photons / 3, raw.max() * photons * 3))
    ax.legend(loc="center right", fontsize=8)

    ax = axes[1]
    molecular = result["C"] / PULSE_ENERGY * lumafit.theoretical_rayleigh_signal(
        h, WAVELENGTH) / h**2
    ax.semilogx(result["rcs"], h * km, lw=0.8, color="tab:blue",
                label="corrected: $r^2 P / (E\\,O(r))$")
    ax.semilogx(molecular, h * km, lw=1.2, ls="--", color="k",
                label="molecular model, fitted $C$")
    ax.axhspan(FIT_WINDOW[0] * km, FIT_WINDOW[1] * km, **window, label="fit window")
    ax.set(xlabel="range-corrected signal per J", title="corrected signal",
           ylim=(0, MAX_RANGE * km))
    ax.legend(loc="upper right", fontsize=8)

    ax = axes[2]
    shown = h >= 150.0
    ax.plot(h[shown] ** 2 * result["beta_A"][shown] * 1e6, h[shown] * km, lw=0.8,
            color="tab:orange", label=r"retrieved: $r^2\,\beta_A$")
    ax.plot(aerosol_backscatter(h) * 1e6, h * km, lw=1.2, ls="--", color="k",
            label="aerosol layer put in")
    ax.axhspan(FIT_WINDOW[0] * km, FIT_WINDOW[1] * km, **window, label="fit window")
    ax.axvline(0, color="0.5", lw=0.5)
    ax.set(xlabel=r"aerosol backscatter ($10^{-6}$ m$^{-1}$ sr$^{-1}$)",
           title="retrieved backscatter", ylim=(0, MAX_RANGE * km))
    ax.legend(loc="upper right", fontsize=8)
    ax.text(0.95, 0.4, f"C fitted  {result['C']:.2f}\nC built   {truth['C0']:.2f}",
            transform=ax.transAxes, ha="right", family="monospace", fontsize=9)

    fig.suptitle(f"Synthetic elastic-lidar profile at {WAVELENGTH * 1e9:.0f} nm, "
                 f"{BIN_WIDTH:g} m bins")
    fig.savefig(output, dpi=110)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--output", default="lidar_profile.png", help="PNG file to write")
    parser.add_argument("--seed", type=int, default=7, help="seed of the photon noise")
    args = parser.parse_args(argv)

    raw, truth = synthetic_trace(np.random.default_rng(args.seed))
    result = process(raw)
    check_alignment(raw, result)
    plot(raw, truth, result, args.output)

    C, C0 = float(result["C"]), truth["C0"]
    print(f"peak at cleaned sample {result['peak_index']}, "
          f"{len(raw) - len(result['valid'])} samples dropped by the noise filter")
    print(f"system constant: built {C0:.6g}, fitted {C:.6g}, "
          f"relative error {abs(C - C0) / C0:.2e}")
    print(f"figure written to {args.output}")


if __name__ == "__main__":
    main()
