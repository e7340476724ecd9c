"""The data centre's product files: one per product and wavelength, on altitude above sea
level, with the error twins and the station's attributes from [station]."""

import os
import pathlib
import shutil
import subprocess
import sys

import netCDF4
import numpy as np
import pytest

from Aerolume.io.earlinet import to_earlinet
from Aerolume.io import open_dataset

HERE = pathlib.Path(__file__).resolve().parent
SAMPLES = sorted((HERE.parent / "examples" / "data" / "licel").glob("RM*"))
STATION = HERE.parent / "examples" / "station.toml"

# The product format's variables: name -> (dimensions, type).  The first five as the
# SCC's description of its aerosol products (the data centre's format) gives them, with
# their units: https://docs.scc.imaa.cnr.it/en/latest/file_formats/elda_product_format.html
# ("ELDA Products: variables": latitude, longitude, station_altitude float; altitude
# (altitude) and time (time) double, seconds since 1970-01-01T00:00:00Z).  The others
# could not be read there in full and follow the format's description in the issue.
DOCUMENTED = {
    "latitude": ((), "f4"), "longitude": ((), "f4"), "station_altitude": ((), "f4"),
    "altitude": (("altitude",), "f8"), "time": (("time",), "f8"),
    "time_bounds": (("time", "nv"), "f8"), "wavelength": (("wavelength",), "f8"),
    "vertical_resolution": (("wavelength", "time", "altitude"), "f8"),
    "retrieval_method": (("wavelength",), "i4"),
    "backscatter_calibration_range": (("wavelength", "nv"), "f8"),
    "backscatter_calibration_value": (("wavelength",), "f8"),
    "zenith_angle": ((), "f8"),
}
DOCUMENTED_UNITS = {"latitude": "degrees_north", "longitude": "degrees_east",
                    "station_altitude": "m", "altitude": "m",
                    "time": "seconds since 1970-01-01T00:00:00Z"}
#: The global attributes every file has (the [station] table's and the format's own).
MANDATORY_ATTRS = ("__file_format_version", "Conventions", "station_ID", "PI", "system",
                   "measurement_start_datetime", "measurement_stop_datetime")


def _tool(name):
    return shutil.which(name, path=os.path.dirname(sys.executable))


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("earlinet")
    config = folder / "station.toml"
    config.write_text('[station]\nstation_id = "mna"\npi = "A. Person"\nsystem = "test lidar"\n\n'
                      + STATION.read_text())
    product = folder / "night.nc"
    subprocess.run([_tool("aerolume"), "process", *map(str, SAMPLES), "-c", str(config), "-o",
                    str(product), "-q"], check=True)
    out = folder / "out"
    out.mkdir()
    run = subprocess.run([_tool("aerolume"), "export", str(product), "--format", "earlinet",
                          "-o", str(out), "-c", str(config)], check=True, capture_output=True,
                         text=True)
    return open_dataset(product), [pathlib.Path(p) for p in run.stdout.split()]


def test_one_file_per_product_with_the_documented_variables(files):
    product, paths = files
    assert [p.name for p in paths] == ["mna_backscatter_355_201206152359.nc",
                                       "mna_extinction_355_201206152359.nc"]
    for path, kind in zip(paths, ("backscatter", "extinction")):
        with netCDF4.Dataset(path) as nc:
            assert nc.getncattr("__file_format_version") == "2.0"
            assert nc.station_ID == "mna" and nc.PI == "A. Person"
            assert nc.system == "test lidar"
            for name, (dims, kind_) in {**DOCUMENTED, kind: (("wavelength", "time", "altitude"),
                                                             "f8"),
                                        f"error_{kind}": (("wavelength", "time", "altitude"),
                                                          "f8")}.items():
                assert nc[name].dimensions == dims, name
                assert nc[name].dtype == np.dtype(kind_), name
            for name, units in DOCUMENTED_UNITS.items():
                assert nc[name].units == units, name
            for name in MANDATORY_ATTRS:
                assert isinstance(nc.getncattr(name), str), name
            # The vertical axis is the altitude above sea level, not the range.
            np.testing.assert_array_equal(nc["altitude"][:], product.altitude.values)
            assert nc["altitude"][0] > product.range.values[0]
            source = f"raman_{kind}"
            np.testing.assert_array_equal(
                nc[kind][0].filled(np.nan), product[source].sel(raman_channel="355_gl").values)
            np.testing.assert_array_equal(
                nc[f"error_{kind}"][0].filled(np.nan),
                product[f"{source}_uncertainty"].sel(raman_channel="355_gl").values)
            assert nc["retrieval_method"][0] == 0
            assert nc["wavelength"][0] == 355.0
            bounds = nc["time_bounds"][:]
            assert (bounds[:, 1] > bounds[:, 0]).all()


def test_elastic_backscatter_when_there_is_no_raman_product(files, tmp_path):
    product, _ = files
    elastic = product.drop_dims("raman_channel")
    paths = to_earlinet(elastic, tmp_path, station={"station_id": "mna"})
    assert [p.name.split("_")[1] for p in paths] == ["backscatter"]
    with netCDF4.Dataset(paths[0]) as nc:
        assert nc["retrieval_method"][0] == 1
        low, high = nc["backscatter_calibration_range"][0]
        assert 5000 < low < high  # the Klett reference interval, above sea level
    # Without stop times (no time averaging), each profile ends where the next starts.
    paths = to_earlinet(elastic.drop_vars("stop_time"), tmp_path / ".." / tmp_path.name,
                        station={"station_id": "mnb"})
    with netCDF4.Dataset(paths[0]) as nc:
        bounds = nc["time_bounds"][:]
        np.testing.assert_array_equal(bounds[:-1, 1], bounds[1:, 0])
    with pytest.raises(ValueError, match="no backscatter"):
        to_earlinet(elastic.drop_dims("klett_channel"), tmp_path)
