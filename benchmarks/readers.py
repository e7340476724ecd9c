"""Reading speed of each raw format's reader against the established open Python reader
of that format, side by side in one process (ratios, median of rounds).

    python benchmarks/readers.py            # full sizes
    python benchmarks/readers.py --quick    # small sizes, a few seconds

- Licel raw files (the shipped sample, copied to `--files` files): ``read_licel`` against
  atmospheric-lidar's ``LicelFile`` (every file's channels);
- the scanning variant of the same files (the scan line inserted): ``read_licel``
  against atmospheric-lidar's ``ScanningFile``;
- Vaisala CL61 and Lufft CHM15k netCDF files (an hour of profiles at the instruments'
  usual resolution, built here from the variables their documentation gives):
  ``read_cl61`` / ``read_chm15k`` against CloudnetPy's ``Cl61d`` / ``LufftCeilo``
  readers (``read_ceilometer_file``: the reading and calibration, not the screening);
- both ceilometer readers read the same compressed variables, so two bounds are shown
  too: reading them with netCDF4 alone, and inflating their stored chunks with zlib alone
  (h5py's raw chunks): decompressing them is most of either reader's time, and no reader
  of these files can be ten times faster than another that inflates the same bytes;
- PollyXT level 0: no open Python reader of level-0 files is known (CloudnetPy reads
  the processed level-1 files), so ``read_pollyxt`` is timed alone, with the bound of
  reading the same variables with netCDF4.

The other readers come from the ``benchmark`` extra: ``pip install 'Aerolume[benchmark]'``;
a comparison whose reader is missing is skipped with a note.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import logging
import os
import sys
import tempfile
import warnings
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
# The source tree's package must not shadow the installed one.
sys.path[:] = [p for p in sys.path if Path(p or os.getcwd()).resolve() != HERE.parent]
sys.path.insert(0, str(HERE))

from _timing import median_times  # noqa: E402

import netCDF4  # noqa: E402

from Aerolume.io import read_chm15k, read_cl61, read_licel, read_pollyxt  # noqa: E402

SAMPLE = HERE.parent / "examples" / "data" / "licel"
SCAN_LINE = b" 000.0 000.0 0000.0 -90.0 -90.0 000.0 0000.0"


def report(label: str, ours: str, times: dict) -> None:
    base = times[ours]
    print(f"{label}:")
    for name, seconds in times.items():
        ratio = "" if name == ours else f"  {seconds / base:7.1f}x {ours}'s time"
        print(f"  {name:<34} {seconds * 1e3:10.1f} ms{ratio}")


# ---- files -------------------------------------------------------------------------------

def licel_files(folder: Path, count: int, scanning: bool) -> list[Path]:
    sources = sorted(SAMPLE.glob("RM*"))
    out = []
    for i in range(count):
        blob = sources[i % len(sources)].read_bytes()
        if scanning:  # the scan line after the location line
            second = blob.index(b"\r\n", blob.index(b"\r\n") + 2) + 2
            blob = blob[:second] + SCAN_LINE + b"\r\n" + blob[second:]
        out.append(folder / f"{'S' if scanning else 'L'}{i:04d}.{sources[i % len(sources)].suffix[1:]}")
        out[-1].write_bytes(blob)
    return out


def cl61_file(path: Path, profiles: int, gates: int = 3276) -> None:
    rng = np.random.default_rng(0)
    with netCDF4.Dataset(path, "w") as nc:
        nc.createDimension("time", profiles)
        nc.createDimension("range", gates)
        t = nc.createVariable("time", "f8", ("time",))
        t.units = "seconds since 1970-01-01 00:00:00"
        t[:] = 1.7e9 + 5.0 * np.arange(profiles)
        r = nc.createVariable("range", "f4", ("range",))
        r.units = "m"
        r[:] = np.arange(gates) * 4.8
        for name in ("beta_att", "p_pol", "x_pol", "linear_depol_ratio"):
            v = nc.createVariable(name, "f4", ("time", "range"), zlib=True)
            v[:] = rng.uniform(1e-7, 1e-5, (profiles, gates)).astype(np.float32)
        nc.createVariable("zenith", "f4", ())[...] = 0.0
        nc.createVariable("altitude", "f4", ())[...] = 100.0
        nc.createVariable("tilt_angle", "f4", ())[...] = 0.0
        nc.createVariable("height", "f4", ())[...] = 100.0
        nc.cloudnet_file_type = "lidar"


def chm15k_file(path: Path, profiles: int, gates: int = 1024) -> None:
    rng = np.random.default_rng(1)
    with netCDF4.Dataset(path, "w") as nc:
        nc.createDimension("time", profiles)
        nc.createDimension("range", gates)
        nc.createDimension("layer", 3)
        t = nc.createVariable("time", "f8", ("time",))
        t.units = "seconds since 1904-01-01 00:00:00.000 00:00"
        t[:] = 3.7e9 + 15.0 * np.arange(profiles)
        r = nc.createVariable("range", "f4", ("range",))
        r.units = "m"
        r[:] = (np.arange(gates) + 1) * 15.0
        v = nc.createVariable("beta_raw", "f4", ("time", "range"), zlib=True)
        v[:] = rng.uniform(0, 1e5, (profiles, gates)).astype(np.float32)
        for name in ("cbh", "pbl"):
            nc.createVariable(name, "i4", ("time", "layer"))[:] = 0
        nc.createVariable("wavelength", "f4", ())[...] = 1064.0
        nc.createVariable("zenith", "f4", ())[...] = 0.0
        nc.createVariable("altitude", "f4", ())[...] = 100.0
        nc.createVariable("stddev", "f4", ("time",))[:] = 1.0
        nc.software_version = "Linux 2.1 0.747 1"


def pollyxt_file(path: Path, profiles: int, bins: int = 2500, channels: int = 13) -> None:
    rng = np.random.default_rng(2)
    with netCDF4.Dataset(path, "w") as nc:
        nc.createDimension("time", profiles)
        nc.createDimension("height", bins)
        nc.createDimension("channel", channels)
        nc.createDimension("date_time", 2)
        nc.createDimension("coordinates", 2)
        nc.createVariable("raw_signal", "i4", ("time", "height", "channel"), zlib=True)[:] = \
            rng.integers(0, 5000, (profiles, bins, channels), dtype=np.int32)
        nc.createVariable("measurement_shots", "i4", ("time", "channel"))[:] = 600
        stamp = np.stack([np.full(profiles, 20240301), 30 * np.arange(profiles)], -1)
        nc.createVariable("measurement_time", "i4", ("time", "date_time"))[:] = stamp
        nc.createVariable("measurement_height_resolution", "i4", ())[...] = 50
        nc.createVariable("location_height", "f4", ())[...] = 100.0
        nc.createVariable("location_coordinates", "f4", ("coordinates",))[:] = [-3.0, -60.0]
        nc.createVariable("zenithangle", "f4", ())[...] = 5.0


# ---- the other readers -----------------------------------------------------------------

def quiet(function):
    """`function` with the other package's logging and printing silenced."""
    def call(*args):
        with contextlib.redirect_stdout(io.StringIO()), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            logging.disable(logging.CRITICAL)
            try:
                return function(*args)
            finally:
                logging.disable(logging.NOTSET)
    return call


def atmospheric_lidar_reader(kind: str):
    try:
        if kind == "licel":
            from atmospheric_lidar.licel import LicelFile as File
        else:
            from atmospheric_lidar.raymetrics import ScanningFile as File
    except ImportError:
        return None

    def read(files):
        for f in files:
            measurement = File(str(f))
            for channel in measurement.channels.values():
                np.asarray(channel.data)
    return quiet(read)


def cloudnetpy_reader(kind: str):
    try:
        if kind == "cl61":
            from cloudnetpy.instruments.cl61d import Cl61d as Reader
        else:
            from cloudnetpy.instruments.lufft import LufftCeilo as Reader
    except ImportError:
        return None
    site = {"name": "benchmark", "altitude": 100.0}

    def read(path):
        reader = Reader(str(path), site)
        reader.read_ceilometer_file()
        np.asarray(reader.data["beta_raw"])
    return quiet(read)


def netcdf4_bound(path, variables) -> None:
    """Reads `variables` of `path` with netCDF4 and nothing more: what any reader of
    these (compressed) variables must at least do."""
    with netCDF4.Dataset(path) as nc:
        for v in variables:
            nc[v][:]


def zlib_bound(path, variables) -> None:
    """Inflates the stored chunks of `variables` with zlib and nothing more (read raw with
    h5py, no shuffle undone, no copy into an array): the least time any reader of these
    deflated variables needs on one core."""
    import zlib

    import h5py

    with h5py.File(path, "r") as f:
        for v in variables:
            d = f[v]
            for i in range(d.id.get_num_chunks()):
                zlib.decompress(d.id.read_direct_chunk(d.id.get_chunk_info(i).chunk_offset)[1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes")
    parser.add_argument("--files", type=int, default=None, help="Licel files (default 500)")
    parser.add_argument("--repeats", type=int, default=None)
    args = parser.parse_args()
    count = args.files or (50 if args.quick else 500)
    profiles = 120 if args.quick else 720
    repeats = args.repeats or (3 if args.quick else 5)
    warnings.simplefilter("ignore")

    with tempfile.TemporaryDirectory() as name:
        folder = Path(name)
        for kind, scanning in (("licel", False), ("raymetrics", True)):
            files = licel_files(folder, count, scanning)
            cases = {"read_licel": lambda: read_licel(files)}
            other = atmospheric_lidar_reader(kind)
            if other is None:
                print(f"{kind}: atmospheric-lidar is not installed; read_licel alone")
            else:
                cases["atmospheric-lidar " + ("LicelFile" if kind == "licel" else "ScanningFile")] = \
                    lambda other=other: other(files)
            report(f"{kind} raw files ({count} files, 5 channels of 16380 bins)", "read_licel",
                   median_times(cases, repeats))
            for f in files:
                f.unlink()

        for kind, make, ours, hours in (("cl61", cl61_file, read_cl61, profiles * 5 / 3600),
                                        ("chm15k", chm15k_file, read_chm15k,
                                         profiles * 15 / 3600)):
            path = folder / f"{kind}.nc"
            make(path, profiles)
            variables = ("time", "range") + (("beta_att", "linear_depol_ratio")
                                             if kind == "cl61" else ("beta_raw",))
            cases = {f"read_{kind}": lambda path=path, ours=ours: ours(path),
                     "netCDF4, the same variables": lambda path=path, v=variables:
                     netcdf4_bound(path, v)}
            try:
                import h5py  # noqa: F401

                cases["zlib alone, the same chunks"] = \
                    lambda path=path, v=variables[2:]: zlib_bound(path, v)
            except ImportError:
                print(f"{kind}: h5py is not installed; no zlib bound")
            other = cloudnetpy_reader(kind)
            if other is None:
                print(f"{kind}: CloudnetPy is not installed; read_{kind} alone")
            else:
                cases["CloudnetPy " + ("Cl61d" if kind == "cl61" else "LufftCeilo")] = \
                    lambda path=path, other=other: other(path)
            report(f"{kind} netCDF ({profiles} profiles, {hours:.3g} h)", f"read_{kind}",
                   median_times(cases, repeats))

        path = folder / "pollyxt.nc"
        pollyxt_file(path, profiles // 6)
        print("pollyxt level 0: no open Python reader of level-0 files to compare with")
        report(f"pollyxt level 0 ({profiles // 6} profiles, 13 channels of 2500 bins)",
               "read_pollyxt", median_times({"read_pollyxt": lambda: read_pollyxt(path),
                                             "netCDF4, the same variables": lambda:
                                             netcdf4_bound(path, ("raw_signal", "measurement_shots",
                                                                  "measurement_time"))},
                                            repeats))


if __name__ == "__main__":
    main()
