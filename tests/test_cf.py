"""The products are CF-1.8 files: both common CF checkers find no error in the product of
the sample night, and every variable gets its attributes from one table."""

import json
import os
import pathlib
import shutil
import subprocess
import sys

import netCDF4
import numpy as np
import pytest
import xarray as xr

from Aerolume import metadata
from Aerolume.io import open_dataset, read_licel, to_netcdf

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE.parent / "examples" / "data" / "licel"
SAMPLES = sorted(DATA.glob("RM*"))
STATION = HERE.parent / "examples" / "station.toml"
TABLES = HERE / "data" / "cf"


def _tool(name):
    return shutil.which(name, path=os.path.dirname(sys.executable))


@pytest.fixture(scope="module")
def product(tmp_path_factory):
    out = tmp_path_factory.mktemp("cf") / "night.nc"
    aerolume = _tool("aerolume")
    subprocess.run([aerolume, "process", *map(str, SAMPLES), "--config", str(STATION),
                    "-o", str(out), "-q"], check=True, capture_output=True)
    return out


def _compliance_errors(path, tmp_path):
    tool = _tool("compliance-checker")
    if tool is None:
        pytest.skip("compliance-checker is not installed (test extra)")
    report = tmp_path / f"{path.stem}.json"
    run = subprocess.run([tool, "-t", "cf:1.8", "-f", "json", "-o", str(report), str(path)],
                         capture_output=True, text=True, cwd=tmp_path)
    assert "exceptions occurred" not in run.stdout + run.stderr, run.stdout
    result = json.loads(report.read_text())["cf:1.8"]
    return [m for check in result["high_priorities"] for m in check["msgs"]]


def _cfchecker_errors(path):
    tool = _tool("cfchecks")
    if tool is None:
        pytest.skip("cfchecker is not installed (test extra)")
    try:
        import cfunits  # noqa: F401 - needs the udunits2 library
    except Exception as err:  # pragma: no cover - depends on the machine
        pytest.skip(f"cfchecker cannot load udunits2: {err}")
    import compliance_checker
    names = pathlib.Path(compliance_checker.__file__).parent / "data" / \
        "cf-standard-name-table.xml"
    run = subprocess.run([tool, "-v", "1.8", "-s", str(names),
                          "-a", str(TABLES / "area-type-table.xml"),
                          "-r", str(TABLES / "standardized-region-list.xml"), str(path)],
                         capture_output=True, text=True)
    assert "Traceback" not in run.stderr, run.stderr
    if "ERRORS detected: 0" in run.stdout:
        return []
    return [line for line in run.stdout.splitlines() if "ERROR" in line] or [run.stdout[-500:]]


@pytest.fixture(scope="module")
def full_product(product, tmp_path_factory):
    """The product with every optional variable other parts of the package add."""
    ds = open_dataset(product)
    t, r = ds.sizes["time"], ds.sizes["range"]
    k = ds.sizes["klett_channel"]
    ds["quality_flag"] = (("time", "klett_channel", "range"), np.zeros((t, k, r), np.int8),
                          {"flag_masks": np.array([1, 2, 4], np.int8),
                           "flag_meanings": "no_reference low_signal cloud"})
    ds["raman_quality_flag"] = (("time", "raman_channel", "range"),
                                np.zeros((t, ds.sizes["raman_channel"], r), np.int8),
                                {"flag_values": np.array([0, 1], np.int8),
                                 "flag_meanings": "good noisy"})
    ds["cloud_mask"] = (("time", "range"), np.zeros((t, r), np.int8),
                        {"flag_values": np.array([0, 1], np.int8),
                         "flag_meanings": "clear cloud"})
    for name in ("cloud_base", "cloud_top", "boundary_layer_height"):
        ds[name] = (("time",), np.full(t, 1500.0))
    ds["full_overlap_height"] = ((), 600.0)
    ds["overlap"] = (("range",), np.ones(r))
    ds["dead_time"] = (("channel",), np.full(ds.sizes["channel"], 3.7))
    from Aerolume.quality import DTYPE, flag_attributes
    dims = ("time", "depolarization_channel", "range")
    ds = ds.assign_coords(depolarization_channel=("depolarization_channel", ["532s_pc"]),
                          depolarization_co_channel=("depolarization_channel", ["532p_pc"]))
    for name in ("volume_depolarization", "particle_depolarization"):
        ds[name] = (dims, np.full((t, 1, r), 0.05))
        ds[f"{name}_uncertainty"] = (dims, np.full((t, 1, r), 0.01))
        ds[f"{name}_flag"] = (dims, np.zeros((t, 1, r), DTYPE), flag_attributes(name))
    ds["backscatter_ratio"] = (dims, np.full((t, 1, r), 3.0))
    for name, value in (("eta_star", 0.4), ("eta_star_uncertainty", 0.002), ("eta", 0.4),
                        ("misalignment", 1.0)):
        ds[f"depolarization_{name}"] = (("depolarization_channel",), [value])
    ds["depolarization_calibration_time"] = (("depolarization_channel",), [1339794000.0])
    for name, value in (("method", "delta90"), ("origin", "history"),
                        ("file", "tst_20120614_depolarization.json")):
        ds[f"depolarization_calibration_{name}"] = (("depolarization_channel",),
                                                    np.array([value], dtype=object))
    path = tmp_path_factory.mktemp("full") / "full.nc"
    to_netcdf(ds, path)
    return path


@pytest.mark.parametrize("which", ["product", "full_product"])
def test_compliance_checker_finds_no_error(which, request, tmp_path):
    assert _compliance_errors(request.getfixturevalue(which), tmp_path) == []


@pytest.mark.parametrize("which", ["product", "full_product"])
def test_cfchecker_finds_no_error(which, request):
    assert _cfchecker_errors(request.getfixturevalue(which)) == []


def test_the_file_is_cf_typed_and_reads_back_with_its_values(product):
    with netCDF4.Dataset(product) as nc:
        for name, var in nc.variables.items():
            assert var.dtype is not str and var.dtype != np.int64, name
            if var.dtype.kind in "fiu" and name != "time_bnds":
                assert "units" in var.ncattrs(), name
        for name in ("time", "range", "channel", "klett_channel", "laser"):
            assert "_FillValue" not in nc[name].ncattrs(), name
        assert nc["time"].bounds == "time_bnds"
        assert nc["backscatter"].standard_name == metadata._BSC
        assert nc["backscatter"].ancillary_variables == "backscatter_uncertainty quality_flag"
        assert nc["backscatter_uncertainty"].standard_name.endswith(" standard_error")
        assert nc["raman_extinction"].standard_name == metadata._EXT
        assert nc["signal"].cell_methods == "time: mean"
        assert nc["signal"].units == "1" and nc["signal"].units_convention == "per_channel"
        assert "signal_units" in nc["signal"].coordinates
    back = open_dataset(product)
    assert back.channel.values.tolist()[:2] == ["355_an", "355_pc"]
    assert back.signal_units.values.tolist()[:2] == ["mV", "MHz"]
    assert (back.time_bnds[:, 0] == back.time).all() and (back.time_bnds[:, 1] ==
                                                          back.stop_time).all()


def test_variables_added_later_get_their_attributes_from_the_table(tmp_path):
    ds = read_licel(SAMPLES[:2])
    ds["quality_flag"] = (("time", "channel"), np.zeros((2, ds.sizes["channel"]), np.int8),
                          {"flag_masks": np.array([1, 2], np.int8),
                           "flag_meanings": "no_reference low_signal"})
    ds["cloud_base"] = (("time",), np.array([1500.0, np.nan]))
    ds["boundary_layer_height"] = (("time",), np.array([800.0, 900.0]))
    to_netcdf(ds, tmp_path / "a.nc")
    with netCDF4.Dataset(tmp_path / "a.nc") as nc:
        assert nc["quality_flag"].flag_meanings == "no_reference low_signal"
        assert list(nc["quality_flag"].flag_masks) == [1, 2]
        assert nc["cloud_base"].units == "m"
        assert nc["boundary_layer_height"].standard_name == "atmosphere_boundary_layer_thickness"
        assert nc["boundary_layer_height"].long_name == metadata.VARIABLES[
            "boundary_layer_height"]["long_name"]
    for name in ("quality_flag", "raman_quality_flag", "cloud_mask", "cloud_base",
                 "cloud_top", "boundary_layer_height", "overlap", "full_overlap_height",
                 "dead_time", "volume_depolarization", "particle_depolarization"):
        assert "units" in metadata.VARIABLES[name], name


def test_integers_beyond_32_bits_are_refused_not_wrapped(tmp_path):
    ds = read_licel(SAMPLES[:1])
    ds["shots"] = ds["shots"] + np.int64(2**40)
    with pytest.raises(ValueError, match="'shots'.*32-bit"):
        to_netcdf(ds, tmp_path / "a.nc")


def test_sources_are_named_relative_to_the_chosen_root(tmp_path):
    out = tmp_path / "night.nc"
    subprocess.run([_tool("aerolume"), "process", *map(str, SAMPLES[:2]), "-o", str(out),
                    "-q", "--source-root", str(DATA.parent.parent)], check=True)
    with xr.open_dataset(out) as ds:
        assert list(ds.attrs["source_files"]) == [f"data/licel/{p.name}" for p in SAMPLES[:2]]
        assert ds.attrs["uuid"] != ""
    run = subprocess.run([_tool("aerolume"), "process", str(SAMPLES[0]), "-o", str(out),
                          "--source-root", str(tmp_path / "nowhere")],
                         capture_output=True, text=True)
    assert run.returncode == 1 and "--source-root is not a folder" in run.stderr
