"""The SCC raw-data input file: each field as the SCC documentation of its netCDF input
format names it, with the dimensions, type and value it must have for the sample files."""

import pathlib
import subprocess
import os
import sys
import shutil

import netCDF4
import numpy as np
import pytest

from Aerolume.io import read_licel, to_scc

DATA = pathlib.Path(__file__).resolve().parent.parent / "examples" / "data" / "licel"
SAMPLES = sorted(DATA.glob("RM*"))

# The raw-data file, field by field: (dimensions, netCDF type), from the SCC input
# documentation (https://docs.scc.imaa.cnr.it/en/latest/file_formats/netcdf_file.html,
# "Raw Lidar Data file"), checked against the public converter's table of the same
# fields (atmospheric-lidar, https://pypi.org/project/atmospheric-lidar: int channel
# variables, double ranges and wavelengths, scalar Molecular_Calc, Pressure and
# Temperature_at_Lidar_Station).
DOCUMENTED = {
    "Raw_Lidar_Data": (("time", "channels", "points"), "f8"),
    "Raw_Data_Start_Time": (("time", "nb_of_time_scales"), "i4"),
    "Raw_Data_Stop_Time": (("time", "nb_of_time_scales"), "i4"),
    "channel_ID": (("channels",), "i4"),
    "id_timescale": (("channels",), "i4"),
    "Laser_Pointing_Angle": (("scan_angles",), "f8"),
    "Laser_Pointing_Angle_of_Profiles": (("time", "nb_of_time_scales"), "i4"),
    "Laser_Shots": (("time", "channels"), "i4"),
    "Background_Low": (("channels",), "f8"),
    "Background_High": (("channels",), "f8"),
    "Molecular_Calc": ((), "i4"),
    "Pressure_at_Lidar_Station": ((), "f8"),
    "Temperature_at_Lidar_Station": ((), "f8"),
    "Acquisition_Mode": (("channels",), "i4"),
    "Raw_Data_Range_Resolution": (("channels",), "f8"),
    "Laser_Repetition_Rate": (("channels",), "i4"),
    "DAQ_Range": (("channels",), "f8"),
    "Emitted_Wavelength": (("channels",), "f8"),
    "Detected_Wavelength": (("channels",), "f8"),
}
# Mandatory global attributes (strings), and the optional ones written (numbers).
GLOBALS = ("Measurement_ID", "RawData_Start_Date", "RawData_Start_Time_UT",
           "RawData_Stop_Time_UT")
NUMERIC_GLOBALS = ("Altitude_meter_asl", "Latitude_degrees_north", "Longitude_degrees_east")
IDS = {"355_an": 101, "355_pc": 102, "387_an": 103, "387_pc": 104}


@pytest.fixture(scope="module")
def raw():
    return read_licel(SAMPLES)


@pytest.fixture(scope="module")
def scc(raw, tmp_path_factory):
    path = tmp_path_factory.mktemp("scc") / "scc.nc"
    to_scc(raw, path, channel_ids=IDS, station_code="mn")
    return path


def test_every_field_has_the_documented_dimensions_and_type(scc, raw):
    with netCDF4.Dataset(scc) as nc:
        assert nc.data_model == "NETCDF3_CLASSIC"
        assert nc.dimensions["time"].isunlimited()
        assert {k: len(v) for k, v in nc.dimensions.items()} == {
            "time": raw.sizes["time"], "channels": 4, "points": raw.sizes["range"],
            "nb_of_time_scales": 1, "scan_angles": 1}
        assert set(nc.variables) == set(DOCUMENTED)  # nothing the format does not name
        for name, (dims, kind) in DOCUMENTED.items():
            assert nc[name].dimensions == dims, name
            assert nc[name].dtype == np.dtype(kind), name
        for name in GLOBALS:
            assert isinstance(nc.getncattr(name), str), name
        for name in NUMERIC_GLOBALS:
            assert isinstance(nc.getncattr(name), np.floating), name
        assert set(nc.ncattrs()) == set(GLOBALS) | set(NUMERIC_GLOBALS)
        assert (len(nc.RawData_Start_Date), len(nc.RawData_Start_Time_UT)) == (8, 6)


def test_the_values_are_the_measurement(scc, raw):
    chosen = raw.sel(channel=list(IDS))
    with netCDF4.Dataset(scc) as nc:
        assert nc.Measurement_ID == "20120615mn2359"
        assert nc.RawData_Start_Date == "20120615"
        assert nc.RawData_Start_Time_UT == "235931"
        # The night runs past midnight: the stop time is the next day's.
        assert nc.RawData_Stop_Time_UT == str(chosen.stop_time.values[-1])[11:19].replace(":", "")
        assert nc.Altitude_meter_asl == 100.0 and nc.Latitude_degrees_north == -3.0
        assert list(nc["channel_ID"][:]) == list(IDS.values())
        assert list(nc["Acquisition_Mode"][:]) == [0, 1, 0, 1]
        data = nc["Raw_Lidar_Data"][:]
        np.testing.assert_array_equal(data[:, 0], chosen.signal.values[:, 0])  # analog, mV
        np.testing.assert_array_equal(data[:, 1], chosen.raw.values[:, 1])  # counts
        np.testing.assert_array_equal(nc["Laser_Shots"][:], chosen.shots.values)
        start = nc["Raw_Data_Start_Time"][:, 0]
        seconds = (chosen.time.values - chosen.time.values[0]) / np.timedelta64(1, "s")
        np.testing.assert_array_equal(start, np.floor(seconds))
        assert (nc["Raw_Data_Stop_Time"][:, 0] > start).all()
        assert list(nc["Detected_Wavelength"][:]) == [355.0, 355.0, 387.0, 387.0]
        assert list(nc["Emitted_Wavelength"][:]) == [355.0] * 4
        assert nc["Molecular_Calc"][...] == 4  # no sounding: the standard atmosphere
        low, high = nc["Background_Low"][:], nc["Background_High"][:]
        assert (low < high).all() and (high <= raw.range.values[-1]).all()


def test_bad_arguments_name_what_is_wrong(raw, tmp_path):
    with pytest.raises(ValueError, match="'532_an'"):
        to_scc(raw, tmp_path / "a.nc", channel_ids={"532_an": 1})
    for code in ("mnax", "m", "m-", 12):
        with pytest.raises(ValueError, match="station_code"):
            to_scc(raw, tmp_path / "a.nc", channel_ids=IDS, station_code=code)
    with pytest.raises(ValueError, match="positive integer"):
        to_scc(raw, tmp_path / "a.nc", channel_ids={"355_an": 0})
    with pytest.raises(ValueError, match="background of 355_an"):
        to_scc(raw, tmp_path / "a.nc", channel_ids={"355_an": 1}, background=(5e5, 6e5))
    with pytest.warns(UserWarning, match="numbered"):
        to_scc(raw, tmp_path / "b.nc")
    with pytest.raises(ValueError, match="read_licel"):
        to_scc(raw.drop_vars("raw"), tmp_path / "c.nc", channel_ids=IDS)


def test_the_command_writes_the_same_file(scc, tmp_path):
    aerolume = shutil.which("aerolume", path=os.path.dirname(sys.executable))
    out = tmp_path / "cli.nc"
    args = [a for c, n in IDS.items() for a in ("--channel-id", f"{c}={n}")]
    subprocess.run([aerolume, "export", *map(str, SAMPLES), "--format", "scc", "-o", str(out),
                    "--station-code", "mn", *args], check=True)
    with netCDF4.Dataset(out) as a, netCDF4.Dataset(scc) as b:
        assert {k: a.getncattr(k) for k in a.ncattrs()} == {k: b.getncattr(k)
                                                            for k in b.ncattrs()}
        for name in DOCUMENTED:
            np.testing.assert_array_equal(a[name][...], b[name][...], err_msg=name)
    run = subprocess.run([aerolume, "export", str(SAMPLES[0]), "--format", "scc", "-o",
                          str(out), "--channel-id", "355_an"], capture_output=True, text=True)
    assert run.returncode == 1 and "CHANNEL=ID" in run.stderr
