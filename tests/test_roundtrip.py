"""Every writer's file read back, by Aerolume and by plain netCDF4, gives every value and
attribute of what was written."""

import os
import pathlib
import shutil
import subprocess
import sys

import netCDF4
import numpy as np
import pytest

from Aerolume import preprocess as pp
from Aerolume.io import open_dataset, read_licel, to_netcdf

from netcdf_samples import make_chm15k, make_cl61, make_pollyxt  # noqa: E402

SAMPLES = sorted((pathlib.Path(__file__).resolve().parent.parent / "examples" / "data" /
                  "licel").glob("RM*"))


def _datasets(tmp_path):
    from Aerolume.io import read

    raw = read_licel(SAMPLES[:3])
    yield "raw", raw
    yield "corrected", pp.correct(raw, dead_time=3.7, glue=True, average={"time": 2})
    make_cl61(tmp_path / "cl61.nc")
    yield "cl61", read(tmp_path / "cl61.nc")
    make_chm15k(tmp_path / "chm.nc")
    yield "chm15k", read(tmp_path / "chm.nc")
    make_pollyxt(tmp_path / "polly.nc")
    yield "pollyxt", read(tmp_path / "polly.nc")


def _plain(nc, name):
    var = nc[name]
    values = var[...]
    if "units" in var.ncattrs() and " since " in str(var.units):
        return netCDF4.num2date(values, var.units, var.calendar if "calendar" in var.ncattrs()
                                else "standard", only_use_cftime_datetimes=False,
                                only_use_python_datetimes=True)
    return np.ma.filled(values, np.nan) if values.dtype.kind == "f" else np.asarray(values)


def test_written_values_and_attributes_come_back_by_both_readers(tmp_path):
    for label, ds in _datasets(tmp_path):
        path = tmp_path / f"{label}.nc"
        to_netcdf(ds, path)
        back = open_dataset(path)
        assert back.drop_vars("time_bnds").equals(ds), label
        with netCDF4.Dataset(path) as nc:
            for name, var in ds.variables.items():
                plain = _plain(nc, name)
                if var.dtype.kind == "M":
                    got = np.array([np.datetime64(t, "ns") for t in np.ravel(plain)])
                    np.testing.assert_array_equal(got, np.ravel(var.values), err_msg=name)
                elif var.dtype.kind == "O":
                    assert np.asarray(plain).tolist() == var.values.tolist(), (label, name)
                else:
                    np.testing.assert_array_equal(plain, var.values, err_msg=f"{label} {name}")
                for key, value in var.attrs.items():
                    np.testing.assert_array_equal(nc[name].getncattr(key), value,
                                                  err_msg=f"{label} {name} {key}")
            for key, value in ds.attrs.items():
                if key != "source_files":
                    got = nc.getncattr(key)
                    assert (list(np.atleast_1d(got)) if isinstance(value, list) else got) \
                        == value, key
            assert back.attrs["source_files"] == [
                pathlib.Path(p).name for p in ds.attrs["source_files"]]


@pytest.mark.parametrize("bad", [np.int64(2**31), np.int64(-2**31 - 1)])
def test_the_32_bit_limit_is_checked_both_ways(tmp_path, bad):
    ds = read_licel(SAMPLES[:1])
    ds["bins"] = ds["bins"].copy(data=np.full(ds.sizes["channel"], bad))
    with pytest.raises(ValueError, match="'bins'"):
        to_netcdf(ds, tmp_path / "a.nc")


def test_the_network_files_read_the_same_by_aerolume_and_netcdf4(tmp_path):
    from Aerolume.io.earlinet import to_earlinet
    from Aerolume.io import to_scc

    raw = read_licel(SAMPLES)
    to_scc(raw, tmp_path / "scc.nc", channel_ids={"355_an": 1, "387_pc": 2})
    product = tmp_path / "night.nc"
    aerolume = shutil.which("aerolume", path=os.path.dirname(sys.executable))
    subprocess.run([aerolume, "process", *map(str, SAMPLES), "-c",
                    str(SAMPLES[0].parent.parent.parent / "station.toml"), "-o", str(product),
                    "-q"], check=True)
    files = [tmp_path / "scc.nc"] + to_earlinet(open_dataset(product), tmp_path)
    for path in files:
        back = open_dataset(path, decode_times=False)
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
