"""A product written block by block as the blocks come (``aerolume process``): the same
file as the product joined in memory and written whole (values, types, attributes, the
coordinates' roles), blocks that do not fit the file refused, and a failed run leaving
no file behind."""

import os
import pathlib
import warnings

import netCDF4
import numpy as np
import pytest
import xarray as xr

from Aerolume import quality
from Aerolume.io import to_netcdf
from Aerolume.io.netcdf import BlockWriter
from Aerolume.processing import pipeline
from Aerolume.processing.config import load_config

ROOT = pathlib.Path(__file__).resolve().parent.parent
SAMPLES = [str(p) for p in sorted((ROOT / "examples" / "data" / "licel").glob("RM*"))]
#: Set by each run: never compared.
FRESH = {"uuid", "processed_at", "history"}


@pytest.fixture(scope="module")
def config(tmp_path_factory):
    path = tmp_path_factory.mktemp("stream") / "c.toml"
    path.write_text("[uncertainty]\nrealisations = 4\n[processing]\nblock = 2\n")
    return load_config(path)


@pytest.fixture(scope="module")
def blocks(config):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        prepared = pipeline.prepare(SAMPLES, config)
        return [pipeline.process_block(b, prepared.settings)
                for b in pipeline.plan(SAMPLES, 2, **prepared.averaging)]


def same_file(a_path, b_path):
    """Asserts two product files hold the same: decoded values and types, attributes,
    which variables are coordinates, and the types and attributes netCDF stores."""
    with xr.open_dataset(a_path) as a, xr.open_dataset(b_path) as b:
        assert list(a.variables) == list(b.variables) or \
            sorted(a.variables) == sorted(b.variables)
        assert set(a.coords) == set(b.coords)
        for name in a.variables:
            x, y = a[name], b[name]
            assert x.dims == y.dims and x.dtype == y.dtype, name
            assert np.array_equal(x.values, y.values,
                                  equal_nan=x.dtype.kind in "fcmM"), name
            assert str(x.attrs) == str(y.attrs), name
        assert {k: str(v) for k, v in a.attrs.items() if k not in FRESH} == \
            {k: str(v) for k, v in b.attrs.items() if k not in FRESH}
    with netCDF4.Dataset(a_path) as a, netCDF4.Dataset(b_path) as b:
        for name, v in a.variables.items():
            w = b.variables[name]
            assert v.dtype == w.dtype and v.dimensions == w.dimensions, name
            assert {k: str(v.getncattr(k)) for k in v.ncattrs()} == \
                {k: str(w.getncattr(k)) for k in w.ncattrs()}, name


def test_blocks_written_one_by_one_make_the_whole_products_file(blocks, config, tmp_path):
    assert len(blocks) >= 3
    encoding = lambda ds: pipeline.compression_encoding(ds, config)  # noqa: E731
    joined = pipeline._join([b.copy() for b in blocks])
    to_netcdf(joined, tmp_path / "whole.nc", encoding=encoding(joined))
    writer = BlockWriter(tmp_path / "blocks.nc", encoding=encoding)
    for block in blocks:
        writer.append(block.copy())
    writer.close(joined.attrs)
    assert writer.profiles == joined.sizes["time"]
    same_file(tmp_path / "whole.nc", tmp_path / "blocks.nc")
    with netCDF4.Dataset(tmp_path / "blocks.nc") as nc:
        assert nc.dimensions["time"].isunlimited()
        assert nc["signal"].filters().get("zstd") or nc["signal"].filters().get("zlib")


def test_the_command_writes_what_process_and_write_make(config, tmp_path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = pipeline.process(SAMPLES, config)
        pipeline.write(result, tmp_path / "whole.nc", config)
        written = pipeline.process_into(SAMPLES, config, tmp_path / "streamed.nc")
    assert written.blocks >= 3 and written.files == result.files
    assert written.profiles == result.dataset.sizes["time"]
    assert written.summary() == quality.product_summary(result.dataset)
    assert "writing" in written.profile_report()
    same_file(tmp_path / "whole.nc", tmp_path / "streamed.nc")
    assert [p.name for p in tmp_path.iterdir()] and \
        not any(p.name.endswith(".part") for p in tmp_path.iterdir())


def test_blocks_that_do_not_fit_the_file_are_refused(blocks, tmp_path):
    def started(name):
        writer = BlockWriter(tmp_path / name)
        writer.append(blocks[0].copy())
        return writer

    writer = started("gates.nc")
    with pytest.raises(ValueError, match="'range' differs"):
        writer.append(blocks[1].assign_coords(range=blocks[1]["range"].values + 1.0))
    writer.abandon()
    writer = started("variables.nc")
    with pytest.raises(ValueError, match="other variables along time"):
        writer.append(blocks[1].drop_vars("backscatter"))
    writer.abandon()
    # Another type is written in the file's where it holds the values, refused where not.
    writer = started("types.nc")
    whole = blocks[1].assign(shots=blocks[1]["shots"].astype(np.float64))
    writer.append(whole)
    with pytest.raises(ValueError, match="'shots'.*does not fit"):
        writer.append(blocks[2].assign(shots=blocks[2]["shots"] + 0.5))
    writer.abandon()
    with netCDF4.Dataset(tmp_path / "types.nc") as nc:
        shots = nc["shots"][:]
        assert nc["shots"].dtype == np.int32
        assert np.array_equal(shots[blocks[0].sizes["time"]:],
                              blocks[1]["shots"].values.astype(np.int32))
    with pytest.raises(ValueError, match="no block was written"):
        BlockWriter(tmp_path / "none.nc").close()


@pytest.mark.parametrize("where", ["reading", "writing"])
def test_a_run_that_fails_midway_leaves_the_previous_file(config, tmp_path, monkeypatch,
                                                           where):
    # A block that cannot be read, or one the file refuses (written on a thread of its
    # own while the next block is made): the error reaches the caller, no file is left.
    out = tmp_path / "product.nc"
    out.write_bytes(b"the previous product")
    real = pipeline.process_block
    calls = []

    def failing(files, settings, **kwargs):
        calls.append(files)
        if len(calls) == 2 and where == "reading":
            raise OSError(f"{files[0]}: unreadable")
        block = real(files, settings, **kwargs)
        if len(calls) == 2:
            block = block.assign_coords(range=block["range"].values + 1.0)
        return block

    monkeypatch.setattr(pipeline, "process_block", failing)
    with warnings.catch_warnings(), \
            pytest.raises(OSError if where == "reading" else ValueError,
                          match="unreadable" if where == "reading" else "'range' differs"):
        warnings.simplefilter("ignore")
        pipeline.process_into(SAMPLES, config, out)
    assert out.read_bytes() == b"the previous product"
    assert os.listdir(tmp_path) == ["product.nc"]


def test_each_raw_file_is_hashed_once_whatever_its_path(config, tmp_path, monkeypatch):
    import hashlib

    import Aerolume.metadata as metadata

    hashed = []
    real = metadata.file_digest
    monkeypatch.setattr(metadata, "file_digest", lambda f: hashed.append(f) or real(f))
    monkeypatch.chdir(pathlib.Path(SAMPLES[0]).parent)  # (the files named relatively)
    names = [pathlib.Path(f).name for f in SAMPLES]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        written = pipeline.process_into(names, config, tmp_path / "p.nc")
    assert sorted(hashed) == sorted(names)
    with xr.open_dataset(written.path) as ds:
        digests = list(np.atleast_1d(ds.attrs["source_file_sha256"]))
    assert digests == ["sha256:" + hashlib.sha256(pathlib.Path(f).read_bytes()).hexdigest()
                       for f in written.files]
