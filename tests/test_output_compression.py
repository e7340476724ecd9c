"""The ``[output] compression`` of the products: zstd (the default), zlib or none, all
lossless, the files read back identically by netCDF4 and xarray; zlib instead of zstd,
with a warning, where the netCDF library cannot write zstd."""

import pathlib

import netCDF4
import numpy as np
import pytest
import xarray as xr

from Aerolume.processing import pipeline
from Aerolume.processing.config import ConfigError, compression, load_config

ROOT = pathlib.Path(__file__).resolve().parent.parent
SAMPLES = sorted((ROOT / "examples" / "data" / "licel").glob("RM*"))[:2]


def config(tmp_path, output=""):
    path = tmp_path / f"c{abs(hash(output))}.toml"
    path.write_text("[uncertainty]\nrealisations = 0\n" + (f"[output]\n{output}\n" if output
                                                             else ""))
    return load_config(path)


@pytest.fixture(scope="module")
def result(tmp_path_factory):
    return pipeline.process([str(f) for f in SAMPLES],
                            config(tmp_path_factory.mktemp("c")))


def filters(path):
    with netCDF4.Dataset(path) as nc:
        return {name: v.filters() for name, v in nc.variables.items()}


def same_values(path, dataset):
    """Every variable read back by netCDF4 (raw, no masking or scaling) and by xarray
    equals what was written, bit for bit."""
    with xr.open_dataset(path) as back:
        for name, variable in dataset.data_vars.items():
            a, b = np.asarray(variable.values), np.asarray(back[name].values)
            assert a.shape == b.shape and np.array_equal(a, b, equal_nan=a.dtype.kind == "f"), name
    with netCDF4.Dataset(path) as nc:
        nc.set_auto_maskandscale(False)
        for name, variable in dataset.data_vars.items():
            if variable.dtype.kind == "f":
                assert np.array_equal(nc[name][...], variable.values, equal_nan=True), name


@pytest.mark.parametrize("output, kind, level, shuffle", [
    ("", "zstd", 1, False),
    ('compression = "zstd"\nlevel = 5', "zstd", 5, False),
    ('compression = "zlib"', "zlib", 4, True),
    ('compression = "zlib"\nlevel = 9', "zlib", 9, True),
    ("compression = 6", "zlib", 6, True),          # the older form: a zlib level
    ('compression = "none"', None, 0, False),
    ("compression = 0", None, 0, False),
])
def test_each_compression_is_lossless_and_read_back_by_netcdf4_and_xarray(
        tmp_path, result, output, kind, level, shuffle):
    cfg = config(tmp_path, output)
    out = pipeline.write(result, tmp_path / "night.nc", cfg)
    got = filters(out)
    assert got["backscatter"]["zstd"] is (kind == "zstd")
    assert got["backscatter"]["zlib"] is (kind == "zlib")
    assert got["backscatter"]["complevel"] == level
    assert got["backscatter"]["shuffle"] is shuffle
    same_values(out, result.dataset)


def test_zstd_is_written_smaller_than_no_compression(tmp_path, result):
    sizes = {}
    for name, output in (("zstd", ""), ("none", 'compression = "none"')):
        sizes[name] = pipeline.write(result, tmp_path / f"{name}.nc",
                                     config(tmp_path, output)).stat().st_size
    assert sizes["zstd"] < sizes["none"] / 2


def test_without_zstd_in_the_library_zlib_is_written_with_a_warning(tmp_path, result,
                                                                    monkeypatch):
    monkeypatch.setattr(pipeline, "_can_write_zstd", lambda: False)
    with pytest.warns(RuntimeWarning, match=r"\[output\] compression: .*cannot write zstd"
                                            r".*zlib level 4"):
        out = pipeline.write(result, tmp_path / "night.nc", config(tmp_path))
    assert filters(out)["backscatter"]["zlib"] is True
    same_values(out, result.dataset)


@pytest.mark.parametrize("output, kind", [
    ("", ("zstd", 1)), ('compression = "zlib"', ("zlib", 4)), ("compression = 3", ("zlib", 3)),
    ('compression = "zstd"\nlevel = 22', ("zstd", 22)), ("compression = 0", ("none", 0)),
])
def test_compression_resolves_kind_and_level(tmp_path, output, kind):
    assert compression(config(tmp_path, output)) == kind


def test_a_level_that_does_not_fit_the_compressor_names_file_and_field(tmp_path):
    with pytest.raises(ConfigError, match=r"\.toml: \[output\] level: applies to"):
        config(tmp_path, "compression = 4\nlevel = 2")
