"""Polarised raw files for the processing tests: a 532 nm parallel/cross photon-counting
receiver (``532p_pc``, ``532s_pc``) and a 355 nm total channel, written in the Licel
format from :func:`Aerolume.simulate.polarized` with Poisson counts, and a ±45°
calibration measurement in files of its own."""

import datetime

import numpy as np

from Aerolume import simulate
from Aerolume.atmosphere import molecular_profile

BIN_WIDTH = 7.5
BINS = 4000                      # to 30 km: the farthest tenth is background alone
SHOTS = 3000
RANGE = (np.arange(BINS) + 0.5) * BIN_WIDTH
WAVELENGTH = 532e-9
ETA = 0.4                        # the cross channel's gain relative to the parallel one
MISALIGNMENT = 1.0               # degrees
BACKGROUND = 0.4                 # MHz
PEAK = 60.0                      # MHz of the parallel channel at 1 km (no dead time)
LIDAR_RATIO = 50.0
ALTITUDE = 100.0                 # m, as the headers say

#: (bottom, top, beta_a at 532 nm (m-1 sr-1), delta_p): a dust layer and a smoke layer.
LAYERS = ((1500.0, 2700.0, 4.0e-6, 0.30), (3200.0, 4200.0, 3.0e-6, 0.05))


def truth():
    """beta_a and delta_p on RANGE, and the molecular profile at 532 nm."""
    beta = np.zeros(BINS)
    dp = np.zeros(BINS)
    for bottom, top, b, d in LAYERS:
        inside = (RANGE >= bottom) & (RANGE <= top)
        beta[inside] = b
        dp[inside] = d
    return beta, dp, molecular_profile(RANGE, WAVELENGTH, station_altitude=ALTITUDE)


def _counts(rate_mhz, rng):
    """Poisson counts summed over the shots for a mean rate (MHz) per bin."""
    mean = np.clip(rate_mhz, 0.0, None) * SHOTS * BIN_WIDTH / 150.0
    return rng.poisson(mean).astype(np.uint32)


def _line(items):
    return " " + " ".join(items)


def write_file(path, start, signals, *, seconds=60):
    """One raw file: `signals` is a list of (wavelength_nm, letter, counts)."""
    stop = start + datetime.timedelta(seconds=seconds)
    fmt = "%d/%m/%Y %H:%M:%S"
    lines = [" " + path.name,
             f" Testsite {start.strftime(fmt)} {stop.strftime(fmt)} 0100 -060.0 -003.0 00 00 "
             "30.0 1013.0",
             f" {SHOTS:07d} 0010 0000000 0010 {len(signals):02d}"]
    for k, (nm, letter, _) in enumerate(signals):
        lines.append(_line(["1", "1", "1", f"{BINS:05d}", "1", "0900", f"{BIN_WIDTH:.2f}",
                            f"{nm:05d}.{letter}", "0", "0", "00", "000", "00",
                            f"{SHOTS:06d}", "3.1746", f"BC{k}"]))
    head = ("\r\n".join(lines) + "\r\n\r\n").encode()
    body = b"".join(np.asarray(c, "<u4").tobytes() + b"\r\n" for _, _, c in signals)
    path.write_bytes(head + body)
    return path


def _pair_rates(angle, seed, co="parallel"):
    beta, dp, mol = truth()
    sim = simulate.polarized(RANGE, WAVELENGTH, beta, dp, mol, lidar_ratio=LIDAR_RATIO,
                             co=co,
                             eta=ETA, misalignment=MISALIGNMENT, angle=angle,
                             constant=PEAK * 1e6 / 1.5e-6, seed=seed)
    return sim["co_noise_free"].values, sim["cross_noise_free"].values


def write_night(folder, *, files=6, start=datetime.datetime(2026, 3, 1, 22, 0, 0), seed=0,
                angle=0.0, prefix="RP", polarized=True, cross=True, background=BACKGROUND,
                co="parallel"):
    """`files` one-minute raw files of the polarised receiver (rotator at `angle`
    degrees, `background` MHz, a parallel or total `co` channel); returns their paths.
    `cross=False` leaves the cross channel out."""
    folder.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    co_rate, cr = _pair_rates(angle, seed, co)
    beta, _, _ = truth()
    mol355 = molecular_profile(RANGE, 355e-9, station_altitude=ALTITUDE)
    total355 = simulate.elastic(RANGE, 355e-9, beta * 1.5, mol355, lidar_ratio=LIDAR_RATIO,
                                constant=PEAK * 1e6 / 1.5e-6)["signal_noise_free"].values
    paths = []
    for i in range(files):
        t = start + datetime.timedelta(minutes=i)
        signals = [(355, "o", _counts(total355 + background, rng))]
        if polarized:
            signals.append((532, "p" if co == "parallel" else "o",
                            _counts(co_rate + background, rng)))
            if cross:
                signals.append((532, "s", _counts(cr + background, rng)))
        name = f"{prefix}{t:%y%m%d%H}.{t:%M%S}"
        paths.append(write_file(folder / name, t, signals))
    return paths


def write_calibration(folder, *, start=datetime.datetime(2026, 3, 1, 21, 50, 0), files=2,
                      co="parallel"):
    """The ±45° measurement: `files` raw files at each angle, in folders plus45/ and
    minus45/ of `folder`."""
    plus = write_night(folder / "plus45", files=files, start=start, seed=11, angle=45.0,
                       prefix="CP", co=co)
    minus = write_night(folder / "minus45", files=files,
                        start=start + datetime.timedelta(minutes=files), seed=12,
                        angle=-45.0, prefix="CM", co=co)
    return plus, minus
