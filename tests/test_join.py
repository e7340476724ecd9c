"""Joining the blocks of a night: the same Dataset as xarray's concat and merge (values,
attributes, encodings, the order of the variables), the blocks let go as it goes, and
blocks that differ in more than their times left to xarray (to join or refuse)."""

import pathlib
import warnings

import numpy as np
import pytest
import xarray as xr

from Aerolume.processing import pipeline
from Aerolume.processing.config import load_config

ROOT = pathlib.Path(__file__).resolve().parent.parent
SAMPLES = [str(p) for p in sorted((ROOT / "examples" / "data" / "licel").glob("RM*"))]


@pytest.fixture(scope="module")
def blocks(tmp_path_factory):
    path = tmp_path_factory.mktemp("join") / "c.toml"
    path.write_text("[uncertainty]\nrealisations = 0\n")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        prepared = pipeline.prepare(SAMPLES, load_config(path))
        return [pipeline.process_block(b, prepared.settings)
                for b in pipeline.plan(SAMPLES, 2, **prepared.averaging)]


def by_xarray(parts):
    first = parts[0]
    timed = [n for n, v in first.variables.items() if "time" in v.dims]
    static = first.drop_vars(timed)
    untimed = [n for n in static.variables if n not in static.dims]
    joined = xr.concat([p.drop_vars(untimed) for p in parts], dim="time", data_vars="all",
                       coords="minimal", compat="equals", join="exact",
                       combine_attrs="override")
    return xr.merge([joined, static], compat="override", join="exact",
                    combine_attrs="override")


def test_the_join_is_xarrays_and_lets_the_blocks_go(blocks):
    assert len(blocks) >= 3
    expected = by_xarray([b.copy(deep=True) for b in blocks])
    parts = [b.copy(deep=True) for b in blocks]
    got = pipeline._join(parts)
    assert parts == []
    assert got.identical(expected)
    assert list(got.variables) == list(expected.variables)
    assert all(got[v].encoding == expected[v].encoding for v in got.variables)


def test_blocks_that_differ_beyond_time_go_to_xarray(blocks):
    parts = [b.copy(deep=True) for b in blocks]
    parts[1]["shots"] = parts[1]["shots"].astype(np.float64)  # another type: promoted
    expected = by_xarray([p.copy(deep=True) for p in parts])
    assert pipeline._join(parts).identical(expected)
    parts = [b.copy(deep=True) for b in blocks]
    parts[1] = parts[1].assign_coords(range=parts[1]["range"].values + 1.0)
    with pytest.raises(ValueError):  # other range gates: refused, as before
        pipeline._join(parts)


@pytest.mark.parametrize("average", ["", 'average = { time = "2min", range = 4 }'])
def test_a_block_read_in_pieces_is_the_block_read_whole(tmp_path, monkeypatch, average):
    # The raw files of a block are read and corrected a few at a time, cut where the time
    # averages begin: the corrected block, and so every product, is the same bit for bit.
    path = tmp_path / "c.toml"
    path.write_text(f"[corrections]\n{average}\n[uncertainty]\nrealisations = 3\n")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        prepared = pipeline.prepare(SAMPLES, load_config(path))
        whole = pipeline.process_block(SAMPLES, prepared.settings)
        monkeypatch.setattr(pipeline, "READ_FILES", 2)
        assert len(pipeline._pieces(list(SAMPLES), prepared.settings)) >= 2
        pieces = pipeline.process_block(SAMPLES, prepared.settings)
    assert pieces.identical(whole)
    assert pieces.attrs["source_files"] == whole.attrs["source_files"]


def test_the_overlap_estimated_from_pieces_is_the_estimate_from_the_whole(monkeypatch):
    # The overlap's estimate reads and corrects the calibration files a piece at a time,
    # as the blocks do: the same estimate, bit for bit, as from the files corrected whole.
    config = load_config(ROOT / "examples" / "station.toml")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        whole = pipeline.prepare(SAMPLES, config).settings
        monkeypatch.setattr(pipeline, "READ_FILES", 2)
        assert len(pipeline._pieces(pipeline.calibration_files(SAMPLES, whole), whole)) >= 2
        pieces = pipeline.prepare(SAMPLES, config).settings
    overlap = pieces.corrections["overlap"]
    assert overlap.identical(whole.corrections["overlap"])
    assert overlap.attrs["files_used"] == len(SAMPLES)
    assert np.isfinite(float(overlap["full_overlap_height"])) and overlap["overlap"][-1] == 1
