"""The SCC's optional overlap and lidar-ratio files: written beside the raw-data file and
named in it, each field as the table below gives it, read back the same by Aerolume and
by plain netCDF4, and bad overlaps or lidar ratios refused naming what is wrong."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import netCDF4
import numpy as np
import pytest
import xarray as xr

from Aerolume.atmosphere import beam_altitude
from Aerolume.io import open_dataset, read_licel, to_scc
from Aerolume.io.scc import LIDAR_RATIO_VARIABLES, OVERLAP_GLOBALS, OVERLAP_VARIABLES

HERE = pathlib.Path(__file__).resolve().parent
SAMPLES = sorted((HERE.parent / "examples" / "data" / "licel").glob("RM*"))
STATION = HERE.parent / "examples" / "station.toml"
IDS = {"355_an": 101, "387_pc": 104}

# The two files as the SCC input documentation lists them beside the raw-data and
# sounding files (https://docs.scc.imaa.cnr.it/en/latest/file_formats/netcdf_file.html,
# sections "Overlap file" and "Lidar ratio file"; those sections could not be read in
# full here, so this table follows the fields of the parts that could): name ->
# (dimensions, netCDF type, units).
OVERLAP = {"channel_ID": (("channels",), "i4", None), "Range": (("points",), "f8", "m"),
           "Overlap": (("channels", "points"), "f8", "1")}
OVERLAP_ATTRS = ("Measurement_ID", "Overlap_Start_Date", "Overlap_Start_Time_UT")
LIDAR_RATIO = {"product_ID": (("products",), "i4", None), "Altitude": (("points",), "f8", "m"),
               "Lidar_Ratio": (("products", "points"), "f8", "sr")}


@pytest.fixture(scope="module")
def raw():
    return read_licel(SAMPLES)


def _ramp(top=1500.0):
    r = np.linspace(0.0, 3000.0, 61)
    return r, np.clip(r / top, 0.05, 1.0)


@pytest.fixture(scope="module")
def written(raw, tmp_path_factory):
    folder = tmp_path_factory.mktemp("scc")
    to_scc(raw, folder / "scc.nc", channel_ids=IDS, station_code="mna", overlap=_ramp(),
           lidar_ratio={7: 55.0, 8: (np.array([0.0, 10000.0]), np.array([40.0, 60.0]))})
    return folder


def _fields(path, table, attrs=()):
    with netCDF4.Dataset(path) as nc:
        assert nc.data_model == "NETCDF3_CLASSIC"
        assert set(nc.variables) == set(table), path.name
        for name, (dims, kind, units) in table.items():
            assert nc[name].dimensions == dims, name
            assert nc[name].dtype == np.dtype(kind), name
            assert getattr(nc[name], "units", None) == units, name
        for name in attrs:
            assert isinstance(nc.getncattr(name), str), name


def test_the_files_have_the_tabled_fields_and_are_named_in_the_raw_file(written, raw):
    assert {k: (v[0], v[1], v[2]) for k, v in OVERLAP_VARIABLES.items()} == OVERLAP
    assert LIDAR_RATIO_VARIABLES == LIDAR_RATIO and OVERLAP_GLOBALS == OVERLAP_ATTRS
    with netCDF4.Dataset(written / "scc.nc") as nc:
        measurement = nc.Measurement_ID
        assert measurement == "20120615mna2359"
        assert nc.Overlap_File_Name == f"ov_{measurement}.nc"
        assert nc.LR_File_Name == f"lr_{measurement}.nc"
    _fields(written / f"ov_{measurement}.nc", OVERLAP, OVERLAP_ATTRS)
    _fields(written / f"lr_{measurement}.nc", LIDAR_RATIO)
    with netCDF4.Dataset(written / f"ov_{measurement}.nc") as nc:
        assert {d: len(v) for d, v in nc.dimensions.items()} == {
            "channels": 2, "points": raw.sizes["range"]}
        assert nc.Measurement_ID == measurement
        assert (nc.Overlap_Start_Date, nc.Overlap_Start_Time_UT) == ("20120615", "235931")
    with netCDF4.Dataset(written / f"lr_{measurement}.nc") as nc:
        assert {d: len(v) for d, v in nc.dimensions.items()} == {
            "products": 2, "points": raw.sizes["range"]}


def test_the_values_are_on_the_raw_files_gates(written, raw):
    rng = raw.range.values
    r, o = _ramp()
    with netCDF4.Dataset(written / "ov_20120615mna2359.nc") as nc:
        assert list(nc["channel_ID"][:]) == [101, 104]
        np.testing.assert_array_equal(nc["Range"][:], rng)
        overlap = nc["Overlap"][:]
        inside = rng <= r[-1]
        np.testing.assert_allclose(overlap[0, inside], np.interp(rng[inside], r, o))
        # Complete at the top of the function given: complete beyond it.
        assert (overlap[:, ~inside] == 1.0).all() and not np.ma.is_masked(overlap)
    with netCDF4.Dataset(written / "lr_20120615mna2359.nc") as nc:
        altitude = beam_altitude(rng, 100.0, 0.0)
        np.testing.assert_array_equal(nc["Altitude"][:], altitude)
        assert list(nc["product_ID"][:]) == [7, 8]
        ratio = nc["Lidar_Ratio"][:]
        assert (ratio[0] == 55.0).all()
        np.testing.assert_allclose(ratio[1], np.interp(altitude, [0.0, 1e4], [40.0, 60.0]))


def test_read_back_the_same_by_aerolume_and_netcdf4(written):
    for path in sorted(written.glob("*.nc")):
        back = open_dataset(path)
        with netCDF4.Dataset(path) as nc:
            assert {k: nc.getncattr(k) for k in nc.ncattrs()} == back.attrs, path.name
            for name, var in nc.variables.items():
                np.testing.assert_array_equal(np.ma.filled(var[...], np.nan)
                                              if var.dtype.kind == "f" else var[...],
                                              back[name].values, err_msg=f"{path.name} {name}")
                for key in var.ncattrs():
                    got = back[name].attrs.get(key, back[name].encoding.get(key))
                    np.testing.assert_array_equal(got, var.getncattr(key),
                                                  err_msg=f"{path.name} {name} {key}")


def test_an_overlap_estimate_per_channel_with_its_unknown_gates_filled(raw, tmp_path):
    rng = raw.range.values
    known = np.where(rng < 300.0, np.nan, np.clip(rng / 1200.0, 0.0, 1.0))
    estimate = xr.Dataset({"overlap": ("range", known)}, coords={"range": rng},
                          attrs={"supported": 1})
    with pytest.warns(UserWarning, match=r"not known at \d+ of 16380 gates of 355_an"):
        to_scc(raw, tmp_path / "scc.nc", channel_ids=IDS, overlap={"355_an": estimate},
               overlap_file="my_overlap.nc")
    with netCDF4.Dataset(tmp_path / "scc.nc") as nc:
        assert nc.Overlap_File_Name == "my_overlap.nc"
    with netCDF4.Dataset(tmp_path / "my_overlap.nc") as nc:
        assert list(nc["channel_ID"][:]) == [101]  # the channel named alone
        assert nc["Overlap"]._FillValue == pytest.approx(9.969209968386869e36)
        overlap = nc["Overlap"][0]
        np.testing.assert_array_equal(overlap.mask, rng < 300.0)
        np.testing.assert_allclose(overlap[rng >= 300.0], known[rng >= 300.0])
    # A name without a function: the name alone is written (the user's file).
    to_scc(raw, tmp_path / "named.nc", channel_ids=IDS, overlap_file="theirs.nc")
    assert not (tmp_path / "theirs.nc").exists()


@pytest.mark.parametrize("kwargs, message", [
    ({"overlap": {"532_an": _ramp()}}, "names '532_an'"),
    ({"overlap": xr.Dataset({"overlap": ("range", [0.5, 1.0])}, coords={"range": [0, 1.0]},
                            attrs={"supported": 0, "reason": "no Raman signal"})},
     "not supported by the data \\(no Raman signal\\)"),
    ({"overlap": (np.array([0.0, 100.0]), np.array([5.0, 100.0]))}, "fraction, not a percentage"),
    ({"overlap": (np.array([0.0, 0.0]), np.array([0.5, 1.0]))}, "distinct ranges"),
    ({"overlap": "ov.txt"}, "must be an estimate_overlap Dataset"),
    ({"lidar_ratio": {0: 50.0}}, "positive integers, got 0"),
    ({"lidar_ratio": {7: 5000.0}}, "product 7 must be within"),
    ({"lidar_ratio": 50.0}, "must map SCC product ids"),
    ({"lidar_ratio": {7: ([0.0], [50.0])}}, "at least 2"),
])
def test_bad_overlaps_and_lidar_ratios_name_what_is_wrong(raw, tmp_path, kwargs, message):
    with pytest.raises((ValueError, TypeError), match=message):
        to_scc(raw, tmp_path / "scc.nc", channel_ids=IDS, **kwargs)
    assert list(tmp_path.iterdir()) == []  # checked before anything is written


def test_the_command_writes_them_from_a_file_and_the_configuration(tmp_path, raw):
    aerolume = shutil.which("aerolume", path=os.path.dirname(sys.executable))
    table = tmp_path / "overlap.txt"
    r, o = _ramp()
    table.write_text("range overlap\n" + "".join(f"{a} {b}\n" for a, b in zip(r, o)))
    out = tmp_path / "out" / "scc.nc"
    out.parent.mkdir()
    args = [aerolume, "export", *map(str, SAMPLES), "--format", "scc", "-o", str(out),
            "--station-code", "mna", "--channel-id", "355_an=101", "--channel-id", "387_pc=104",
            "--lidar-ratio-product", "7=55", "--lidar-ratio-product", "8", "-c", str(STATION)]
    subprocess.run([*args, "--overlap", str(table)], check=True)
    with netCDF4.Dataset(out.parent / "lr_20120615mna2359.nc") as nc:
        ratio = nc["Lidar_Ratio"][:]
        assert (ratio[0] == 55.0).all() and (ratio[1] == 50.0).all()  # [klett] lidar_ratio
    with netCDF4.Dataset(out.parent / "ov_20120615mna2359.nc") as nc:
        np.testing.assert_allclose(nc["Overlap"][0, :10], np.interp(raw.range.values[:10], r, o))
    for extra, message in ((["--overlap", str(tmp_path / "none.txt")], "none.txt: no such"),
                           (["--overlap", "355_an=" + str(table), "--overlap", str(table)],
                            "not both"),
                           (["--lidar-ratio-product", "x=5"], "ID\\[=SR\\]")):
        run = subprocess.run([*args, *extra], capture_output=True, text=True)
        assert run.returncode == 1, extra
        assert re.search(message, run.stderr), run.stderr
