"""The scanning variant of the raw format (one more header line: the scan): told apart
from the plain layout by the file's own lines, read with the same values, its scan
fields in coordinates, damaged copies refused naming the file."""

import pathlib
import shutil
import warnings

import numpy as np
import pytest
import xarray as xr

from Aerolume import _core
from Aerolume.io import channel_layout, read, read_licel
from Aerolume.io.dispatch import detect

DATA = pathlib.Path(__file__).resolve().parent.parent / "examples" / "data" / "licel"
SAMPLES = sorted(DATA.glob("RM*"))
SCAN = b" 010.0 350.0 0020.0 -90.0 -30.0 015.0 0012.5"
SCAN_NAMES = ["scan_azimuth_start", "scan_azimuth_stop", "scan_azimuth_step",
              "scan_zenith_start", "scan_zenith_stop", "scan_zenith_step", "azimuth_offset"]


def scanning(source, target, scan=SCAN):
    """A copy of the raw file `source` in the scanning layout: the scan line inserted
    after the second header line, everything else as it was."""
    blob = source.read_bytes()
    first = blob.index(b"\r\n") + 2
    second = blob.index(b"\r\n", first) + 2
    target.write_bytes(blob[:second] + scan + b"\r\n" + blob[second:])
    return target


def scanning_copies(tmp_path, count=3, scan=SCAN):
    tmp_path.mkdir(parents=True, exist_ok=True)
    return [scanning(p, tmp_path / p.name, scan) for p in SAMPLES[:count]]


def edit(path, old, new):
    blob = path.read_bytes()
    assert old in blob[:900]
    path.write_bytes(blob.replace(old, new, 1))


def test_the_scanning_layout_reads_the_plain_files_values_and_its_scan(tmp_path):
    plain = read_licel(SAMPLES[:3])
    files = scanning_copies(tmp_path)
    ds = read_licel(files)
    for name in ("raw", "signal", "shots"):
        np.testing.assert_array_equal(ds[name].values, plain[name].values)
    for name in plain.coords:
        if name != "source_file":
            assert ds[name].variable.equals(plain[name].variable), name
    assert ds.zenith_angle.values.tolist() == [0.0] * 3
    assert ds.azimuth_angle.values.tolist() == [0.0] * 3
    assert ds.temperature.values[0] == pytest.approx(303.15)
    assert ds.pressure.values[0] == pytest.approx(101300.0)
    expected = [10.0, 350.0, 20.0, -90.0, -30.0, 15.0, 12.5]
    for name, value in zip(SCAN_NAMES, expected):
        assert ds[name].dims == ("time",) and ds[name].attrs["units"] == "degree"
        assert ds[name].values.tolist() == [value] * 3, name
    assert "scanning variant" in ds.attrs["source"]
    assert not any(name in plain.coords for name in SCAN_NAMES)

    header = _core.licel_scan([str(files[0])], 1)[0][0]
    assert header.scan_line and header.scan == tuple(expected)
    assert header.laser_shots == (600, 0, 0) and len(header.sets) == 5
    plain_header = _core.licel_scan([str(SAMPLES[0])], 1)[0][0]
    assert not plain_header.scan_line and all(np.isnan(plain_header.scan))
    assert channel_layout(header) == channel_layout(plain_header)


def test_entry_points_pick_the_scanning_layout(tmp_path):
    files = scanning_copies(tmp_path, 2)
    assert detect(files[0]) == "licel"
    reference = read_licel(files)
    assert read(files).identical(reference)
    with xr.open_dataset(files[0], engine="licel") as ds:
        assert ds["scan_zenith_step"].values.tolist() == [15.0]
        np.testing.assert_array_equal(ds.raw.values, reference.raw.values[:1])
    # A series mixing both layouts reads too: the scan is NaN for the plain files.
    mixed = read_licel([files[0], SAMPLES[1]])
    assert mixed["scan_azimuth_stop"].values[0] == 350.0
    assert np.isnan(mixed["scan_azimuth_stop"].values[1])
    assert "some of the scanning variant" in mixed.attrs["source"]


def test_the_layouts_are_told_apart_by_the_lines_not_by_counting_fields(tmp_path):
    """A plain laser line of seven integers (three lasers) stays a laser line, followed
    by a data set line; a scan line of seven integers is one, followed by a laser line."""
    three_lasers = tmp_path / "three_lasers"
    shutil.copy(SAMPLES[0], three_lasers)
    edit(three_lasers, b" 0000600 0010 0000000 0010 05", b" 0000600 0010 0000000 0010 05 0000300 0010")
    # (the header grew by 13 bytes: the file keeps its data, so its size matches again)
    ds = read_licel(three_lasers)
    assert "scan_azimuth_start" not in ds.coords
    assert ds.laser_shots.values.tolist() == [[600, 0, 300]]

    integers = scanning(SAMPLES[0], tmp_path / "integers", b" 0 0 0 -90 -90 0 0")
    ds = read_licel(integers)
    assert [float(ds[n].values[0]) for n in SCAN_NAMES] == [0, 0, 0, -90, -90, 0, 0]
    np.testing.assert_array_equal(ds.raw.values, read_licel(SAMPLES[0]).raw.values)


def damage():
    """(how to damage a scanning copy, what the error must say)."""
    def short_scan(p):
        edit(p, SCAN, b" 010.0 350.0 0020.0 -90.0 -30.0 015.0")

    def angle(p):
        edit(p, b" 010.0 350.0", b" 910.0 350.0")

    def set_count(p):
        edit(p, b"0010 05", b"0010 06")

    def data_set_field(p):
        edit(p, b"000600 0.100 BT0", b"0006x0 0.100 BT0")

    def truncate(p):
        p.write_bytes(p.read_bytes()[:-1000])

    def laser_line(p):
        edit(p, b" 0000600 0010", b" 00006x0 0010")

    return [(short_scan, "must hold 7 numbers"), (angle, "scan azimuth start '910.0' is not "
            "within -360 and 360"), (set_count, "line 4 announces 6 data sets but the header "
            "has 5"), (data_set_field, "header line 5: number of shots '0006x0'"),
            (truncate, "truncated"), (laser_line, "not")]


def test_each_damage_is_a_value_error_naming_the_file_and_skip_leaves_it_out(tmp_path):
    for how, message in damage():
        files = scanning_copies(tmp_path / how.__name__, 2)
        how(files[1])
        with pytest.raises(ValueError) as caught:
            read_licel(files)
        text = str(caught.value)
        assert str(files[1]) in text and message in text, (how.__name__, text)
        assert str(files[0]) not in text
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            ds = read(files, errors="skip")
        assert len(seen) == 1 and str(files[1]) in str(seen[0].message)
        assert ds.sizes["time"] == 1 and ds["scan_zenith_start"].values.tolist() == [-90.0]


def test_random_damage_to_the_scanning_header_never_crashes_nor_passes_silently(tmp_path):
    """Header bytes changed at random and cuts at random lengths: each file reads to the
    same counts or is refused naming it (the plain layout's mutation test, on this one)."""
    rng = np.random.default_rng(23)
    source = scanning(SAMPLES[0], tmp_path / "source")
    original = source.read_bytes()
    header_end = original.index(b"\r\n\r\n") + 4
    reference = read_licel(source)
    path = tmp_path / "damaged"
    outcomes = {"read": 0, "refused": 0}
    for trial in range(300):
        blob = bytearray(original)
        if trial % 3 == 0:
            blob = blob[:int(rng.integers(0, len(blob)))]
        else:
            at = int(rng.integers(0, header_end))
            blob[at] = int(rng.integers(0, 256))
        path.write_bytes(bytes(blob))
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                ds = read_licel(path)
        except ValueError as e:
            assert str(path) in str(e)
            outcomes["refused"] += 1
            continue
        outcomes["read"] += 1
        np.testing.assert_array_equal(ds.raw.values[..., :100], reference.raw.values[..., :100])
    assert outcomes["refused"] > 100 and outcomes["read"] > 10


def test_the_layout_key_is_the_cores(tmp_path):
    """io's channel layout (which the planner groups by) changes exactly when the core
    says two headers announce different channels."""
    reference = _core.licel_scan([str(SAMPLES[0])], 1)[0][0]
    changes = [(b"00408.o", b"00407.o"), (b"00408.o", b"00408.s"), (b"1 1 1 16380 1 0990 7.50 00408",
               b"1 1 2 16380 1 0990 7.50 00408"), (b"BC2", b"BC3"),
               (b"1 0990 7.50 00408", b"1 0990 3.75 00408"),
               (b"1 0920 7.50 00355.o", b"1 0930 7.50 00355.o"),  # high voltage: same channel
               (b"000600 0.100 BT0", b"000601 0.100 BT0")]        # shots: same channel
    for k, (old, new) in enumerate(changes):
        path = tmp_path / f"changed{k}"
        shutil.copy(SAMPLES[0], path)
        edit(path, old, new)
        header = _core.licel_scan([str(path)], 1)[0][0]
        same = _core.licel_same_channels([header], reference)[0]
        assert same == (channel_layout(header) == channel_layout(reference)), (old, new)
        assert same == (k >= 5), (old, new)
