"""Readers beside Licel: ceilometer files into the same layout, one entry point choosing
by the file's contents, the xarray backend, and clear errors for bad files.

No openly licensed CL61 or CHM15k sample file is to be had on this machine, so the tests
build small files with the variables, dimensions and units the instruments' netCDF
documentation gives (CL61: beta_att, linear_depol_ratio, range, time in seconds since
1970; CHM15k: beta_raw, range, time in seconds since 1904, wavelength, zenith, altitude).
"""

import pathlib

import netCDF4
import numpy as np
import pytest
import xarray as xr

from Aerolume import io

from netcdf_samples import RANGE, make_chm15k, make_cl61, make_pollyxt  # noqa: E402

SAMPLES = sorted((pathlib.Path(__file__).resolve().parent.parent / "examples" / "data" /
                  "licel").glob("RM*"))
def test_cl61_files_join_in_time_with_the_values_written(tmp_path):
    beta_b, depol_b = make_cl61(tmp_path / "b.nc", start=100, seed=1)
    beta_a, depol_a = make_cl61(tmp_path / "a.nc", start=0, seed=2)
    ds = io.read([tmp_path / "b.nc", tmp_path / "a.nc"])
    assert ds.signal.dims == ("time", "channel", "range")
    assert list(ds.channel.values) == ["910_att"] and ds.signal_units.values[0] == "m-1 sr-1"
    np.testing.assert_array_equal(ds.signal.values[:, 0], np.concatenate([beta_a, beta_b]))
    np.testing.assert_array_equal(ds.volume_depolarization.values,
                                  np.concatenate([depol_a, depol_b]))
    np.testing.assert_array_equal(ds.range.values, RANGE.astype(np.float32))
    assert (np.diff(ds.time.values) > np.timedelta64(0)).all()
    assert list(ds.source_file.values[:1]) == ["a.nc"]


def test_chm15k_times_from_1904_and_station_fields(tmp_path):
    beta = make_chm15k(tmp_path / "c.nc")
    ds = io.read(tmp_path / "c.nc")
    assert list(ds.channel.values) == ["1064_raw"] and ds.signal_units.values[0] == "1"
    np.testing.assert_array_equal(ds.signal.values[:, 0], beta)
    assert str(ds.time.values[0])[:4] == "2021"  # 3.7e9 s after 1904
    assert ds.attrs["zenith_angle"] == 2.0 and ds.attrs["altitude"] == 100.0
    assert ds.wavelength.values[0] == pytest.approx(1064e-9)


def test_the_entry_point_reads_licel_files_and_the_backend_too():
    a = io.read(SAMPLES[:2])
    b = io.read_licel(SAMPLES[:2])
    assert a.identical(b)
    c = xr.open_dataset(str(SAMPLES[0]), engine="licel")
    np.testing.assert_array_equal(c.signal.values, io.read_licel(SAMPLES[:1]).signal.values)
    # An open file is no list of paths (its lines were taken for file names).
    with open(SAMPLES[0], "rb") as f, pytest.raises(TypeError, match="by path"):
        xr.open_dataset(f, engine="licel")


def test_bad_files_name_the_file_and_the_problem(tmp_path):
    make_cl61(tmp_path / "good.nc")
    truncated = tmp_path / "cut.nc"
    truncated.write_bytes((tmp_path / "good.nc").read_bytes()[:300])
    with pytest.raises(ValueError, match="cut.nc"):
        io.read_cl61([tmp_path / "good.nc", truncated])
    with pytest.warns(RuntimeWarning, match="cut.nc"):
        ds = io.read_cl61([tmp_path / "good.nc", truncated], errors="skip")
    assert ds.sizes["time"] == 5
    other = tmp_path / "other.nc"
    xr.Dataset({"x": ("t", [1.0])}).to_netcdf(other)
    with pytest.raises(ValueError, match="other.nc: a netCDF file of no format"):
        io.read(other)
    make_chm15k(tmp_path / "c.nc")
    with pytest.raises(ValueError, match="c.nc: not a CL61 file"):
        io.read_cl61(tmp_path / "c.nc")
    with netCDF4.Dataset(tmp_path / "norange.nc", "w") as nc:
        nc.createDimension("time", 1)
        nc.createDimension("range", 2)
        t = nc.createVariable("time", "f8", ("time",))
        t.units = "seconds since 1970-01-01"
        t[:] = [0.0]
        nc.createVariable("beta_raw", "f4", ("time", "range"))[:] = [[1.0, 2.0]]
    with pytest.raises(ValueError, match="norange.nc: the mandatory variable 'range'"):
        io.read_chm15k(tmp_path / "norange.nc")


def test_pollyxt_level0_counts_shots_and_times(tmp_path):
    raw, shots = make_pollyxt(tmp_path / "p.nc")
    with pytest.warns(RuntimeWarning, match="wrong.nc"):
        ds = io.read([tmp_path / "p.nc", tmp_path / "wrong.nc"], errors="skip")
    assert list(ds.channel.values) == ["ch1", "ch2", "ch3", "ch4"]
    np.testing.assert_array_equal(ds.raw.values, raw)
    np.testing.assert_array_equal(ds.shots.values, shots)
    assert ds.range.values[1] - ds.range.values[0] == pytest.approx(7.49481145)  # 50 ns
    expected = raw[0, 1] / 600 * 150 / ds.bin_width.values[1]
    np.testing.assert_allclose(ds.signal.values[0, 1], expected, rtol=1e-15)
    assert np.isnan(ds.signal.values[-1, 0]).all()  # no shots
    assert str(ds.time.values[0]) == "2024-03-01T01:00:00.000000000"
    assert ds.attrs["zenith_angle"] == 5.0 and ds.attrs["latitude"] == -3.0
    with netCDF4.Dataset(tmp_path / "bad.nc", "w") as nc:
        nc.createDimension("time", 1)
        nc.createVariable("raw_signal", "i4", ("time",))
        nc.createVariable("measurement_shots", "i4", ("time",))
    with pytest.raises(ValueError, match="bad.nc: .*'measurement_time' is missing"):
        io.read(tmp_path / "bad.nc")


def test_info_describes_every_format(tmp_path):
    # `aerolume info` takes any format io.read knows, not only Licel raw files.
    from Aerolume.cli import info as summary
    files = []
    for i in range(2):
        make_cl61(tmp_path / f"cl61_{i}.nc", start=i * 5)
        files.append(str(tmp_path / f"cl61_{i}.nc"))
    text = summary.describe(files)
    assert "10 profiles" in text.splitlines()[0]
