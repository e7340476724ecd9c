"""Small netCDF files with the variables, dimensions and units the instruments' netCDF
documentation gives (no openly licensed sample file is to be had on this machine):
CL61 beta_att, linear_depol_ratio, range, time in seconds since 1970; CHM15k beta_raw,
range, time in seconds since 1904, wavelength, zenith, altitude; PollyXT level 0
raw_signal (time, height, channel), measurement_shots, measurement_time (YYYYMMDD,
seconds of the day), measurement_height_resolution (ns), location fields."""

import netCDF4
import numpy as np

RANGE = np.arange(1, 41) * 4.8


def make_cl61(path, start=0, n=5, seed=0):
    rng = np.random.default_rng(seed)
    with netCDF4.Dataset(path, "w") as nc:
        nc.createDimension("time", n)
        nc.createDimension("range", RANGE.size)
        t = nc.createVariable("time", "f8", ("time",))
        t.units = "seconds since 1970-01-01 00:00:00"
        t[:] = 1.7e9 + start + 10.0 * np.arange(n)
        r = nc.createVariable("range", "f4", ("range",))
        r.units = "m"
        r[:] = RANGE
        b = nc.createVariable("beta_att", "f4", ("time", "range"))
        b.units = "sr-1 m-1"
        b[:] = rng.uniform(1e-7, 1e-5, (n, RANGE.size))
        d = nc.createVariable("linear_depol_ratio", "f4", ("time", "range"))
        d[:] = rng.uniform(0, 0.5, (n, RANGE.size))
        nc.createVariable("zenith", "f4", ())[...] = 0.0
        nc.title = "CL61 test file built from the documented variables"
    with netCDF4.Dataset(path) as nc:
        return nc["beta_att"][:].astype(np.float64), nc["linear_depol_ratio"][:].astype(np.float64)


def make_chm15k(path, n=4):
    with netCDF4.Dataset(path, "w") as nc:
        nc.createDimension("time", n)
        nc.createDimension("range", RANGE.size)
        t = nc.createVariable("time", "f8", ("time",))
        t.units = "seconds since 1904-01-01 00:00:00.000 00:00"
        t[:] = 3.7e9 + 15.0 * np.arange(n)
        nc.createVariable("range", "f4", ("range",))[:] = RANGE
        b = nc.createVariable("beta_raw", "f4", ("time", "range"))
        b[:] = np.arange(n * RANGE.size, dtype=np.float32).reshape(n, -1)
        nc.createVariable("wavelength", "f4", ())[...] = 1064.0
        nc.createVariable("zenith", "f4", ())[...] = 2.0
        nc.createVariable("altitude", "f4", ())[...] = 100.0
    with netCDF4.Dataset(path) as nc:
        return nc["beta_raw"][:].astype(np.float64)


def make_pollyxt(path, n=3, channels=4, bins=50, day=20240301, first_second=3600):
    rng = np.random.default_rng(n)
    with netCDF4.Dataset(path, "w") as nc:
        nc.createDimension("time", n)
        nc.createDimension("height", bins)
        nc.createDimension("channel", channels)
        nc.createDimension("date_time", 2)
        nc.createDimension("coordinates", 2)
        raw = rng.integers(0, 5000, (n, bins, channels), dtype=np.int32)
        nc.createVariable("raw_signal", "i4", ("time", "height", "channel"))[:] = raw
        shots = np.full((n, channels), 600, np.int32)
        shots[-1, 0] = 0
        nc.createVariable("measurement_shots", "i4", ("time", "channel"))[:] = shots
        stamp = np.stack([np.full(n, day), first_second + 30 * np.arange(n)], -1)
        nc.createVariable("measurement_time", "i4", ("time", "date_time"))[:] = stamp
        nc.createVariable("measurement_height_resolution", "i4", ())[...] = 50
        nc.createVariable("location_height", "f4", ())[...] = 100.0
        nc.createVariable("location_coordinates", "f4", ("coordinates",))[:] = [-3.0, -60.0]
        nc.createVariable("zenithangle", "f4", ())[...] = 5.0
        nc.location = "Test site"
    return raw.transpose(0, 2, 1), shots


# ---- nights to process: signals of a known atmosphere (Aerolume.simulate) ----------------

def _aerosol(rng_m):
    """A boundary layer (to 1.5 km) and an elevated layer at 3 km, m-1 sr-1."""
    return 2e-6 * (rng_m < 1500) + 1e-6 * np.exp(-((rng_m - 3000) / 300) ** 2)


def make_pollyxt_night(path, n=4, bins=4000, start_second=3600, seed=0):
    """A PollyXT level-0 file of two photon-counting channels (355 nm total and cross
    polarised) seeing the layers of `_aerosol` through the standard atmosphere, 7.5 m
    bins (50 ns), 600 shots a profile, Poisson counts over a background of 0.002 counts
    a bin and shot."""
    from Aerolume import simulate

    width = 299792458.0 / 2 * 50e-9
    rng_m = (np.arange(bins) + 0.5) * width
    draw = np.random.default_rng(seed)
    counts = []
    for share in (1.0, 0.05):
        sim = simulate.elastic(rng_m, 355e-9, _aerosol(rng_m), lidar_ratio=50.0,
                               constant=3e12 * share)
        per_shot = np.asarray(sim["signal_noise_free"].values) + 0.002
        counts.append(draw.poisson(np.broadcast_to(per_shot * 600, (n, bins))))
    raw = np.stack(counts, axis=-1).astype(np.int32)  # (time, height, channel)
    with netCDF4.Dataset(path, "w") as nc:
        nc.createDimension("time", n)
        nc.createDimension("height", bins)
        nc.createDimension("channel", 2)
        nc.createDimension("date_time", 2)
        nc.createDimension("coordinates", 2)
        nc.createVariable("raw_signal", "i4", ("time", "height", "channel"))[:] = raw
        nc.createVariable("measurement_shots", "i4", ("time", "channel"))[:] = np.full((n, 2), 600)
        stamp = np.stack([np.full(n, 20240301), start_second + 30 * np.arange(n)], -1)
        nc.createVariable("measurement_time", "i4", ("time", "date_time"))[:] = stamp
        nc.createVariable("measurement_height_resolution", "i4", ())[...] = 50
        nc.createVariable("location_height", "f4", ())[...] = 100.0
        nc.createVariable("location_coordinates", "f4", ("coordinates",))[:] = [-3.0, -60.0]
        nc.createVariable("zenithangle", "f4", ())[...] = 0.0
        nc.location = "Test site"
    return raw


def make_cl61_night(path, n=6, start=0, gates=1000, cloud_at=2400.0, seed=0):
    """A CL61 file: attenuated backscatter (m-1 sr-1) of `_aerosol` at 910.55 nm with a
    water cloud from `cloud_at` to 200 m above it, 4.8 m gates, a little noise, and a
    depolarisation ratio of 0.02 in the aerosol and 0.3 in the cloud."""
    from Aerolume import simulate

    rng_m = np.arange(1, gates + 1) * 4.8
    beta = _aerosol(rng_m) + 2e-4 * ((rng_m >= cloud_at) & (rng_m < cloud_at + 200))
    sim = simulate.elastic(rng_m, 910.55e-9, beta, lidar_ratio=np.where(beta > 1e-4, 18.0, 50.0))
    att = np.asarray(sim["signal_noise_free"].values) * rng_m ** 2
    noise = np.random.default_rng(seed).normal(0, 2e-8, (n, gates))
    depol = np.where((rng_m >= cloud_at) & (rng_m < cloud_at + 200), 0.3, 0.02)
    with netCDF4.Dataset(path, "w") as nc:
        nc.createDimension("time", n)
        nc.createDimension("range", gates)
        t = nc.createVariable("time", "f8", ("time",))
        t.units = "seconds since 1970-01-01 00:00:00"
        t[:] = 1.7e9 + start + 10.0 * np.arange(n)
        r = nc.createVariable("range", "f4", ("range",))
        r.units = "m"
        r[:] = rng_m
        b = nc.createVariable("beta_att", "f4", ("time", "range"))
        b.units = "sr-1 m-1"
        b[:] = att[None, :] + noise
        nc.createVariable("linear_depol_ratio", "f4", ("time", "range"))[:] = \
            np.broadcast_to(depol, (n, gates))
        nc.createVariable("zenith", "f4", ())[...] = 0.0
        nc.createVariable("altitude", "f4", ())[...] = 100.0
    return att
