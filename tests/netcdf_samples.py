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
