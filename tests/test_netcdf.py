"""Raw and corrected Datasets write to netCDF and read back unchanged, with CF times and
their provenance."""

import json
import pathlib

import netCDF4
import numpy as np
import pytest

from Aerolume import preprocess as pp
from Aerolume.io import open_dataset, read_licel, to_netcdf

DATA = pathlib.Path(__file__).resolve().parent.parent / "examples" / "data" / "licel"
SAMPLES = sorted(DATA.glob("RM*"))


@pytest.fixture(scope="module")
def raw():
    return read_licel(SAMPLES[:3])


def test_raw_and_corrected_round_trip_losslessly(raw, tmp_path):
    corrected = pp.correct(raw, dead_time=3.7, glue=True, average={"time": 2, "range": 2})
    for name, ds in (("raw", raw), ("corrected", corrected)):
        path = tmp_path / f"{name}.nc"
        to_netcdf(ds, path)
        back = open_dataset(path)
        # Every variable and attribute comes back with its values; the file adds the CF
        # attributes, time bounds, and names the sources relative to their folder.
        assert back.drop_vars("time_bnds").equals(ds), name
        for var in ds.variables:
            assert back[var].dtype.kind == ds[var].dtype.kind, var
            for key, value in ds[var].attrs.items():
                np.testing.assert_array_equal(back[var].attrs[key], value, err_msg=var)
        assert {k: v for k, v in back.attrs.items() if k != "source_files"} == \
            {k: v for k, v in ds.attrs.items() if k != "source_files"}
        np.testing.assert_array_equal(back.time_bnds.values,
                                      np.stack([ds.time.values, ds.stop_time.values], -1))
        if name == "raw":
            assert back.raw.dtype == np.uint32
        with netCDF4.Dataset(path) as nc:
            assert nc["time"].units.startswith("seconds since 1970-01-01")
            assert nc["time"].calendar == "standard"
            assert nc.getncattr("aerolume_version") == ds.attrs["aerolume_version"]
            assert list(nc.getncattr("source_files")) == [p.name for p in SAMPLES[:3]]
    record = json.loads(open_dataset(tmp_path / "corrected.nc").attrs["corrections"])
    assert [r["step"] for r in record] == ["dead_time", "background", "glue", "average_time",
                                           "average_range"]
    assert record[0]["dead_time_ns"]["355_pc"] == 3.7


def test_attributes_netcdf_cannot_hold_are_converted(raw, tmp_path):
    ds = raw.isel(time=[0])
    ds.attrs.update(flag=True, nothing=None, options={"a": 1}, numbers=[1, 2.5])
    to_netcdf(ds, tmp_path / "a.nc")
    back = open_dataset(tmp_path / "a.nc")
    assert back.attrs["flag"] == 1 and back.attrs["nothing"] == ""
    assert back.attrs["options"] == "{'a': 1}"
    np.testing.assert_array_equal(back.attrs["numbers"], [1.0, 2.5])
    assert ds.attrs["flag"] is True  # the Dataset itself is left as it was


def test_a_dataset_in_memory_is_written_under_the_local_lock_inside_dask(raw, tmp_path,
                                                                         monkeypatch):
    # Where a Dask client is the default scheduler (as inside a worker), a Dataset held
    # in memory must not take the cluster's lock for its file: a round trip to the
    # scheduler for every variable.
    distributed = pytest.importorskip("distributed")

    def refused(*args, **kwargs):
        raise AssertionError("the distributed lock was taken")

    with distributed.Client(processes=False, n_workers=1, threads_per_worker=1,
                            dashboard_address=None):
        monkeypatch.setattr(distributed.Lock, "acquire", refused)
        to_netcdf(raw, tmp_path / "raw.nc")
    assert open_dataset(tmp_path / "raw.nc").signal.shape == raw.signal.shape
