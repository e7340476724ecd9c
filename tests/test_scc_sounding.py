"""The SCC's optional sounding file: each field as the SCC input documentation lays it
out (dimension points; Altitude m, Pressure hPa, Temperature C, RelativeHumidity %; the
sounding's station and start), written alone or with the raw-data file."""

import pathlib

import netCDF4
import numpy as np
import pytest
import xarray as xr

from Aerolume.io import read_licel, to_scc
from Aerolume.io.scc import SOUNDING_VARIABLES, write_sounding

DATA = pathlib.Path(__file__).resolve().parent.parent / "examples" / "data" / "licel"
SAMPLES = sorted(DATA.glob("RM*"))
DOCUMENTED = {"Altitude": ("m",), "Pressure": ("hPa",), "Temperature": ("C",),
              "RelativeHumidity": ("%",)}
LEVELS = (np.array([1100.0, 100.0, 5100.0]), np.array([88000.0, 100000.0, 54000.0]),
          np.array([283.15, 300.15, 260.15]), np.array([60.0, 80.0, 20.0]))


def test_every_field_of_the_sounding_file(tmp_path):
    path = tmp_path / "rs.nc"
    write_sounding(path, LEVELS, start=np.datetime64("2012-06-15T23:00:00"),
                   station_name="Manaus", latitude=-3.1, longitude=-60.0, altitude=100.0)
    with netCDF4.Dataset(path) as nc:
        assert nc.data_model == "NETCDF3_CLASSIC"
        assert {d: len(v) for d, v in nc.dimensions.items()} == {"points": 3}
        assert set(nc.variables) == set(DOCUMENTED) == set(SOUNDING_VARIABLES)
        for name, (units,) in DOCUMENTED.items():
            var = nc[name]
            assert var.dimensions == ("points",) and var.dtype == np.float64, name
            assert var.units == units, name
        # Sorted by altitude; pressure in hPa, temperature in degrees Celsius.
        np.testing.assert_array_equal(nc["Altitude"][:], [100.0, 1100.0, 5100.0])
        np.testing.assert_allclose(nc["Pressure"][:], [1000.0, 880.0, 540.0])
        np.testing.assert_allclose(nc["Temperature"][:], [27.0, 10.0, -13.0])
        np.testing.assert_array_equal(nc["RelativeHumidity"][:], [80.0, 60.0, 20.0])
        assert nc.Sounding_Station_Name == "Manaus"
        assert nc.Sounding_Start_Date == "20120615" and nc.Sounding_Start_Time_UT == "230000"
        assert (nc.Latitude_degrees_north, nc.Longitude_degrees_east,
                nc.Altitude_meter_asl) == (-3.1, -60.0, 100.0)


def test_to_scc_sends_the_atmosphere_used_with_the_raw_data(tmp_path):
    raw = read_licel(SAMPLES[:2])
    # The atmosphere a product used along the beam (its molecular variables).
    rng = np.arange(1, 101) * 100.0
    product = xr.Dataset({"altitude": ("range", rng + 100.0),
                          "molecular_pressure": ("range", 101300.0 * np.exp(-rng / 8000.0)),
                          "molecular_temperature": ("range", 303.15 - 0.0065 * rng)})
    out = tmp_path / "scc.nc"
    to_scc(raw, out, channel_ids={"355_an": 1}, station_code="mn", sounding=product)
    with netCDF4.Dataset(out) as nc:
        name = nc.Sounding_File_Name
        assert int(nc["Molecular_Calc"][...]) == 0
        measurement = nc.Measurement_ID
    assert name == f"rs_{measurement}.nc"
    with netCDF4.Dataset(tmp_path / name) as nc:
        np.testing.assert_allclose(nc["Altitude"][:], rng + 100.0)
        np.testing.assert_allclose(nc["Pressure"][:], product.molecular_pressure.values / 100)
        np.testing.assert_allclose(nc["Temperature"][:],
                                   product.molecular_temperature.values - 273.15)
        assert "RelativeHumidity" not in nc.variables
        assert nc.Sounding_Start_Date == "20120615" and nc.Sounding_Station_Name == "Embrapa"
    # Without a sounding: the standard atmosphere, no file named.
    to_scc(raw, tmp_path / "plain.nc", channel_ids={"355_an": 1})
    with netCDF4.Dataset(tmp_path / "plain.nc") as nc:
        assert int(nc["Molecular_Calc"][...]) == 4 and "Sounding_File_Name" not in nc.ncattrs()


def test_bad_soundings_are_refused(tmp_path):
    start = np.datetime64("2012-06-15T23:00:00")
    for bad, message in (((LEVELS[0], LEVELS[1][:2], LEVELS[2]), "one length"),
                         ((LEVELS[0], -LEVELS[1], LEVELS[2]), "must be positive"),
                         ((LEVELS[0],), "give"),
                         (xr.Dataset({"altitude": ("range", [1.0, 2.0])}), "molecular_pressure")):
        with pytest.raises(ValueError, match=message):
            write_sounding(tmp_path / "rs.nc", bad, start=start)
