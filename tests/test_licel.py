"""Reading Licel raw files: values against an independent decoding, header variants, and
files damaged on purpose."""

import pathlib
import shutil
import warnings

import numpy as np
import pytest

from Aerolume.io import read_licel

DATA = pathlib.Path(__file__).resolve().parent.parent / "examples" / "data" / "licel"
SAMPLES = sorted(DATA.glob("RM*"))


def decode(path):
    """The header lines and the data sets of a raw file, decoded with NumPy alone."""
    blob = path.read_bytes()
    lines = blob.split(b"\r\n")
    count = int(lines[2].split()[4])
    offset = sum(len(line) + 2 for line in lines[:3 + count + 1])
    sets, at = [], offset
    for line in lines[3:3 + count]:
        bins = int(line.split()[3])
        sets.append(np.frombuffer(blob, "<u4", bins, at))
        at += 4 * bins + 2
    return [line.decode() for line in lines[:3 + count]], sets


def write_raw(path, *, line2, line3, set_lines, data, separator_after_last=True):
    """A raw file from its header lines and one integer array per data set."""
    head = "\r\n".join([path.name, line2, line3, *set_lines]) + "\r\n\r\n"
    body = b"\r\n".join(np.asarray(d, "<u4").tobytes() for d in data)
    path.write_bytes(head.encode() + body + (b"\r\n" if separator_after_last else b""))
    return path


def copy_samples(tmp_path, count=3):
    tmp_path.mkdir(parents=True, exist_ok=True)
    out = []
    for p in SAMPLES[:count]:
        out.append(tmp_path / p.name)
        shutil.copy(p, out[-1])
    return out


def edit(path, old, new):
    blob = path.read_bytes()
    assert old in blob[:800]
    path.write_bytes(blob.replace(old, new, 1))


# ---- the shipped sample -------------------------------------------------------------------

def test_sample_values_layout_and_units():
    ds = read_licel(SAMPLES)
    assert dict(ds.sizes) == {"time": 5, "channel": 5, "range": 16380, "laser": 3}
    assert list(ds.channel.values) == ["355_an", "355_pc", "387_an", "387_pc", "408_pc"]
    assert ds.signal.dims == ("time", "channel", "range") and ds.signal.dtype == np.float64
    assert np.all(np.diff(ds.time.values).astype(np.int64) > 0)
    np.testing.assert_allclose(ds.wavelength.values, [355e-9, 355e-9, 387e-9, 387e-9, 408e-9])
    assert list(ds.signal_units.values) == ["mV", "MHz", "mV", "MHz", "MHz"]
    assert list(ds.detection_mode.values) == ["analog", "photon_counting"] * 2 + ["photon_counting"]
    np.testing.assert_allclose(ds.range.values[:2], [3.75, 11.25])
    assert ds.attrs["site"] == "Embrapa" and ds.attrs["altitude"] == 100.0
    assert ds.attrs["latitude"] == -3.0 and ds.attrs["longitude"] == -60.0
    assert ds.attrs["zenith_angle"] == 0.0
    assert ds.temperature.values[0] == pytest.approx(303.15)
    assert ds.pressure.values[0] == pytest.approx(101300.0)
    assert str(ds.time.values[0]) == "2012-06-15T23:59:31.000000000"
    assert str(ds.stop_time.values[0]) == "2012-06-16T00:00:31.000000000"
    assert [pathlib.Path(p).name for p in ds.attrs["source_files"]] == [p.name for p in SAMPLES]

    for t, path in enumerate(SAMPLES):
        lines, sets = decode(path)
        for c, counts in enumerate(sets):
            np.testing.assert_array_equal(ds.raw.values[t, c], counts)
            fields = lines[3 + c].split()
            shots, bits, level = int(fields[13]), int(fields[12]), float(fields[14])
            if fields[1] == "0":  # analog: mV per shot
                expected = counts * (level * 1000 / 2 ** bits / shots)
            else:                 # photon counting: MHz
                expected = counts / shots * 150 / float(fields[6])
            np.testing.assert_allclose(ds.signal.values[t, c], expected, rtol=1e-15)
            assert ds.shots.values[t, c] == shots


def test_paths_globs_order_and_threads_give_one_result(tmp_path):
    reference = read_licel(SAMPLES, threads=1)
    for other in (read_licel(str(DATA / "RM*")), read_licel(list(reversed(SAMPLES)), threads=3)):
        assert other.identical(reference)
    one = read_licel(SAMPLES[2])
    assert one.sizes["time"] == 1 and one.time.values[0] == reference.time.values[2]
    with pytest.raises(FileNotFoundError, match="no file matches"):
        read_licel(str(tmp_path / "*.xyz"))
    with pytest.raises(ValueError, match="errors must be"):
        read_licel(SAMPLES, errors="ignore")


def test_channel_selection():
    ds = read_licel(SAMPLES[:2], channels=["387_pc", "355_an"])
    assert list(ds.channel.values) == ["387_pc", "355_an"]
    full = read_licel(SAMPLES[:2])
    np.testing.assert_array_equal(ds.raw.values[:, 0], full.raw.sel(channel="387_pc").values)
    with pytest.raises(ValueError, match="no channel '532_an'.*355_an"):
        read_licel(SAMPLES[:1], channels=["532_an"])


# ---- header variants --------------------------------------------------------------------

OLD_SETS = [" 1 0 2 00004 1 1600 07.5 286.o 0 0 00 000 12 002000 0.100 BT1",
            " 1 1 2 00004 1 1600 07.5 286.s 0 0 00 000 00 002000 0.793 BC1"]


def test_old_header_variant_and_polarised_channels(tmp_path):
    path = write_raw(tmp_path / "a9981017.204567",
                     line2="Berlin   10/08/1999 17:20:36 10/08/1999 17:20:41 0015 0015.0 0053.0 00",
                     line3="0000000 0010 0002000 0005 02", set_lines=OLD_SETS,
                     data=[[4096, 8192, 0, 2 ** 32 - 1], [1, 2, 3, 4]])
    ds = read_licel(path)
    assert list(ds.channel.values) == ["286_an", "286s_pc"]
    assert list(ds.polarization.values) == ["none", "perpendicular"]
    assert ds.attrs["site"] == "Berlin" and ds.attrs["latitude"] == 53.0
    assert np.isnan(ds.azimuth_angle.values[0]) and np.isnan(ds.temperature.values[0])
    assert list(ds.laser_shots.values[0]) == [0, 2000, 0]
    assert list(ds.laser_type.values) == [2, 2]
    # Counts are unsigned: the largest one stays positive.
    assert ds.raw.values[0, 0, 3] == 2 ** 32 - 1
    np.testing.assert_allclose(ds.signal.values[0, 0, :2], [100 / 2000 / 4096 * 4096, 100 / 2000 / 4096 * 8192])
    np.testing.assert_allclose(ds.signal.values[0, 1], np.arange(1, 5) / 2000 * 150 / 7.5)


def test_new_header_variant_custom_field_and_no_trailing_separator(tmp_path):
    line2 = ('Leipzig  01/02/2024 12:00:00 01/02/2024 12:01:00 0125 0012.434000 0051.353000 '
             '05.0 180.0 "a comment, with spaces" 21.5 1002.0')
    line3 = "0001200 0020 0000000 0000 02 0000000 0000 0000000 0000 1706788800.123"
    sets = [" 1 0 1 00003 1 0800 3.75 01064.p 0 0 02 500 16 001200 0.500 BT0",
            " 1 1 1 00003 1 0800 3.75 01064.p 0 0 02 500 00 001200 0.0040 BC0"]
    path = write_raw(tmp_path / "b2420112.000000", line2=line2, line3=line3, set_lines=sets,
                     data=[[0, 1, 2], [3, 4, 5]], separator_after_last=False)
    ds = read_licel(path)
    assert list(ds.channel.values) == ["1064p_an", "1064p_pc"]
    assert ds.attrs["latitude"] == pytest.approx(51.353) and ds.zenith_angle.values[0] == 5.0
    assert ds.azimuth_angle.values[0] == 180.0
    assert ds.temperature.values[0] == pytest.approx(294.65) and ds.pressure.values[0] == 100200.0
    assert ds.header_comment.values[0] == "a comment, with spaces"
    assert ds.controller_info.values[0] == "0000000 0000 1706788800.123"
    assert list(ds.bin_shift.values[0]) == [2, 2] and list(ds.bin_shift_decimals.values[0]) == [500, 500]
    assert ds.discriminator_level.values[0, 1] == 0.004 and np.isnan(ds.input_range.values[0, 1])
    np.testing.assert_allclose(ds.range.values, [1.875, 5.625, 9.375])


def test_repeated_channel_ids_and_unequal_lengths(tmp_path):
    sets = [" 1 0 1 00004 1 0800 7.50 00532.o 0 0 00 000 12 000010 0.100 BT0",
            " 1 0 1 00002 1 0800 7.50 00532.o 0 0 00 000 12 000010 0.100 BT1",
            " 0 1 1 00002 1 0800 7.50 00532.o 0 0 00 000 00 000010 0.100 BC1"]
    path = write_raw(tmp_path / "c", line2="X 01/01/2020 00:00:00 01/01/2020 00:01:00 0 0 0 0",
                     line3="0000010 0010 0000000 0000 03", set_lines=sets,
                     data=[[1, 2, 3, 4], [5, 6]])
    ds = read_licel(path)  # the inactive data set is described but not written
    assert list(ds.channel.values) == ["532_an_BT0", "532_an_BT1"]
    assert list(ds.bins.values) == [4, 2]
    assert list(ds.raw.values[0, 1]) == [5, 6, 0, 0]
    assert np.isnan(ds.signal.values[0, 1, 2:]).all()

    widths = [" 1 0 1 00002 1 0800 7.50 00532.o 0 0 00 000 12 000010 0.100 BT0",
              " 1 1 1 00002 1 0800 3.75 00532.o 0 0 00 000 00 000010 0.100 BC0"]
    path = write_raw(tmp_path / "d", line2="X 01/01/2020 00:00:00 01/01/2020 00:01:00 0 0 0 0",
                     line3="0000010 0010 0000000 0000 02", set_lines=widths, data=[[1, 2], [3, 4]])
    with pytest.raises(ValueError, match="different bin widths.*channels="):
        read_licel(path)
    assert read_licel(path, channels=["532_pc"]).bin_width.values[0] == 3.75


def test_no_shots_gives_nan_and_a_warning(tmp_path):
    sets = [" 1 1 1 00002 1 0800 7.50 00532.o 0 0 00 000 00 000000 0.100 BC0"]
    path = write_raw(tmp_path / "e", line2="X 01/01/2020 00:00:00 01/01/2020 00:01:00 0 0 0 0",
                     line3="0000000 0010 0000000 0000 01", set_lines=sets, data=[[0, 0]])
    with pytest.warns(RuntimeWarning, match="no shots"):
        ds = read_licel(path)
    assert np.isnan(ds.signal.values).all()


# ---- damaged files ---------------------------------------------------------------------

def damage(tmp_path):
    """(name, how to damage a copy of a sample, what the error must say)."""
    def truncate(p):
        p.write_bytes(p.read_bytes()[:-1000])

    def append(p):
        p.write_bytes(p.read_bytes() + b"\0\0\0\0")

    def separator(p):  # same size, the CRLF after the first data set replaced
        blob = bytearray(p.read_bytes())
        at = 649 + 16380 * 4
        blob[at:at + 2] = b"\0\0"
        p.write_bytes(bytes(blob))

    def flip_date(p):
        edit(p, b"/06/2012 ", b"/16/2012 ")

    def flip_bins(p):
        edit(p, b"1 16380 1 0920 7.50 00355.o", b"1 16381 1 0920 7.50 00355.o")

    def set_count(p):
        edit(p, b"0010 05", b"0010 06")

    def garble_field(p):
        edit(p, b"000600 0.100 BT0", b"0006x0 0.100 BT0")

    def text(p):
        p.write_text("time,signal\n0,1\n")

    def binary(p):
        p.write_bytes(np.random.default_rng(1).integers(0, 256, 5000, dtype=np.uint8).tobytes())

    def empty(p):
        p.write_bytes(b"")

    return [(truncate, "truncated"), (append, "328263 bytes where the header"),
            (separator, "data set 1 is not followed by CRLF"),
            (flip_date, "header line 2: start time"),
            (flip_bins, "truncated"), (set_count, "line 3 announces 6 data sets but the header has 5"),
            (garble_field, "number of shots '0006x0' is not an integer"),
            (text, "not a raw lidar file"), (binary, "not"), (empty, "empty")]


def test_each_damage_is_a_value_error_naming_the_file(tmp_path):
    for how, message in damage(tmp_path):
        files = copy_samples(tmp_path / how.__name__, 2)
        how(files[1])
        with pytest.raises(ValueError) as caught:
            read_licel(files)
        text = str(caught.value)
        assert str(files[1]) in text and message in text, (how.__name__, text)
        assert str(files[0]) not in text


def test_layout_change_between_files(tmp_path):
    files = copy_samples(tmp_path, 3)
    edit(files[2], b"00408.o", b"00407.o")
    with pytest.raises(ValueError, match=r"RM1261600\.023: the channel layout differs from .*"
                                         r"data set 5 is 407 nm"):
        read_licel(files)


def test_skip_gives_one_warning_listing_each_file(tmp_path):
    files = copy_samples(tmp_path, 5)
    files[1].write_bytes(files[1].read_bytes()[:5000])
    edit(files[3], b"00387.o 0 0 00 000 00", b"00386.o 0 0 00 000 00")
    missing = tmp_path / "missing"
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ds = read_licel([*files, missing], errors="skip")
    assert len(caught) == 1
    text = str(caught[0].message)
    assert "skipped 3 of 6" in text
    for path, why in ((files[1], "truncated"), (files[3], "the channel layout"),
                      (missing, "cannot open: No such file")):
        assert f"{path}: {why}" in text
    assert [str(pathlib.Path(p).name) for p in ds.source_file.values] == \
        [files[i].name for i in (0, 2, 4)]
    np.testing.assert_array_equal(ds.raw.values, read_licel([files[i] for i in (0, 2, 4)]).raw.values)

    with pytest.raises(FileNotFoundError, match="missing"):
        read_licel([files[0], missing])
    files[0].write_text("not raw")
    with pytest.raises(ValueError, match="cannot read 2 of 2 files:(.|\n)*not a raw"):
        read_licel(files[:2], errors="skip")


def test_random_damage_never_crashes_and_never_passes_silently(tmp_path):
    """Bytes of the header changed at random, and cuts at random lengths: each file
    either reads to the same data or gives a ValueError naming it."""
    rng = np.random.default_rng(11)
    original = SAMPLES[0].read_bytes()
    reference = read_licel(SAMPLES[0])
    path = tmp_path / "damaged"
    outcomes = {"read": 0, "refused": 0}
    for trial in range(300):
        blob = bytearray(original)
        if trial % 3 == 0:
            blob = blob[:int(rng.integers(0, len(blob)))]
        else:
            at = int(rng.integers(0, 649))  # the header
            blob[at] = int(rng.integers(0, 256))
        path.write_bytes(bytes(blob))
        try:
            ds = read_licel(path)
        except ValueError as e:
            assert str(path) in str(e)
            outcomes["refused"] += 1
            continue
        outcomes["read"] += 1
        # What was read is the data (a changed header value may change the scale).
        np.testing.assert_array_equal(ds.raw.values[..., :100], reference.raw.values[..., :100])
    assert outcomes["refused"] > 100 and outcomes["read"] > 10


def test_a_file_changed_between_header_and_data_is_refused(tmp_path):
    from Aerolume import _core

    files = copy_samples(tmp_path, 2)
    scanned = [h for h, _, _ in _core.licel_scan([str(f) for f in files], 1)]
    edit(files[1], b"0920", b"0921")  # same size, another header
    raw, signal, errors = _core.licel_read([str(f) for f in files], scanned, [0, 1], 16380, 2)
    assert errors[0] == "" and "changed while being read" in errors[1]
    assert (raw[1] == 0).all() and np.isnan(signal[1]).all()
    files[0].write_bytes(files[0].read_bytes()[:-10])
    _, _, errors = _core.licel_read([str(files[0])], scanned[:1], [0], 16380, 1)
    assert "changed while being read" in errors[0]


def test_a_file_changed_after_its_header_was_read_is_left_out_with_its_reason(tmp_path, monkeypatch):
    from Aerolume.io import licel
    from Aerolume import _core

    files = copy_samples(tmp_path, 4)

    class ChangingAfterScan:  # the core, with a file edited between the scan and the read
        def __getattr__(self, name):
            return getattr(_core, name)

        def licel_scan(self, paths, threads):
            scanned = _core.licel_scan(paths, threads)
            edit(files[2], b"0920", b"0921")
            return scanned

    monkeypatch.setattr(licel, "_core", ChangingAfterScan())
    with pytest.raises(ValueError, match=r"RM1261600\.023: the file changed while being read"):
        read_licel(files)
    shutil.copy(SAMPLES[2], files[2])
    with pytest.warns(RuntimeWarning, match=r"skipped 1 of 4(.|\n)*023: the file changed"):
        ds = read_licel(files, errors="skip")
    monkeypatch.undo()
    expected = read_licel([files[i] for i in (0, 1, 3)])
    ds.attrs.pop("history"), expected.attrs.pop("history")
    assert ds.identical(expected)


def test_a_read_started_in_the_background_is_finished_once_or_dropped():
    from Aerolume import _core

    paths = [str(p) for p in SAMPLES]
    headers = [h for h, _, _ in _core.licel_scan(paths, 1)]
    raw, signal, errors = _core.licel_read(paths, headers, [4, 0], 16380, 1)
    reading = _core.licel_read_start(paths, headers, [4, 0], 16380, 2)
    started_raw, started_signal, started_errors = reading.finish()
    np.testing.assert_array_equal(started_raw, raw)
    np.testing.assert_array_equal(started_signal, signal)
    assert started_errors == errors == [""] * len(paths)
    with pytest.raises(RuntimeError, match="finished already"):
        reading.finish()
    for _ in range(20):  # dropped while its workers may still be reading: they are waited for
        _core.licel_read_start(paths, headers, [0, 1, 2, 3, 4], 16380, 2)
    del reading
    with pytest.raises(ValueError, match="data set is not in a header"):
        _core.licel_read_start(paths, headers, [5], 16380, 2)


def test_profiles_sorted_by_header_time_each_scaled_by_its_own_shots(tmp_path):
    sets = lambda shots: [f" 1 0 1 00003 1 0800 7.50 00532.o 0 0 00 000 12 {shots:06d} 0.100 BT0",  # noqa: E731
                          f" 1 1 1 00003 1 0800 7.50 00532.o 0 0 00 000 00 {shots:06d} 0.0040 BC0"]
    paths = []
    # Names in the reverse order of the times written in the headers.
    for name, minute, shots in (("a", 2, 300), ("b", 1, 600), ("c", 0, 1200)):
        paths.append(write_raw(tmp_path / name,
                               line2=f"X 01/01/2020 00:0{minute}:00 01/01/2020 00:0{minute}:59 0 0 0 0",
                               line3=f"{shots:07d} 0010 0000000 0000 02", set_lines=sets(shots),
                               data=[[4096, 0, 0], [600, 0, 0]]))
    ds = read_licel(paths)
    assert list(ds.source_file.values) == ["c", "b", "a"]
    assert list(ds.shots.values[:, 0]) == [1200, 600, 300]
    np.testing.assert_allclose(ds.signal.values[:, 0, 0], [100 / 1200, 100 / 600, 100 / 300])
    np.testing.assert_allclose(ds.signal.values[:, 1, 0], [600 / s * 20 for s in (1200, 600, 300)])
    assert list(ds.laser_shots.values[:, 0]) == [1200, 600, 300]


def test_the_data_is_held_once():
    import tracemalloc

    read_licel(SAMPLES)  # imports and caches out of the measurement
    tracemalloc.start()
    try:
        with pytest.warns(RuntimeWarning, match="same start time"):
            ds = read_licel(SAMPLES * 4)  # 20 profiles, 6.6 MB of files
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert ds.sizes["time"] == 20
    assert peak < 1.5 * ds.nbytes, (peak, ds.nbytes)
    assert ds.signal.values.flags.owndata is False  # the core's buffer, not a copy


def test_the_dataset_is_the_one_xarray_would_build(tmp_path):
    # The reader builds the Dataset directly from finished arrays, skipping xarray's
    # conversions and merging: it must be the Dataset xarray's public constructor makes
    # of the same arrays, indexes and order of variables included.
    import xarray as xr
    from xarray.testing import assert_identical

    from Aerolume._assembly import dataset, public_dataset

    line2 = 'L 01/02/2024 12:00:00 01/02/2024 12:01:00 0125 12.4 51.3 05.0 180.0 "note" 21.5 1002.0'
    sets = [" 1 0 1 00003 1 0800 3.75 01064.p 0 0 02 500 16 001200 0.500 BT0"]
    commented = write_raw(tmp_path / "n", line2=line2, line3="0001200 0020 0000000 0000 01 0000000 0000 0000000 0000 17067.5",
                          set_lines=sets, data=[[0, 1, 2]])
    for ds in (read_licel(SAMPLES[:2], channels=["355_an", "387_pc"]), read_licel(commented)):
        specs = {kind: {name: (v.dims, v.values, v.attrs) for name, v in variables.items()}
                 for kind, variables in (("data", ds.data_vars), ("coords", ds.coords))}
        plain = xr.Dataset(specs["data"], coords=specs["coords"], attrs=ds.attrs)
        for made in (ds, dataset(specs["data"], specs["coords"], ds.attrs),
                     public_dataset(specs["data"], specs["coords"], ds.attrs)):
            assert_identical(made, plain)
            assert list(made.variables) == list(plain.variables)
            assert set(made.coords) == set(plain.coords) and dict(made.sizes) == dict(plain.sizes)
            for name, v in made.variables.items():
                assert v.dtype == plain[name].dtype, name
                assert type(v) is type(plain.variables[name]), name
                assert type(v._data) is type(plain.variables[name]._data), name
            for name, index in made.xindexes.items():
                expected = plain.xindexes[name]
                assert type(index) is type(expected) and index.equals(expected), name
                assert type(index.to_pandas_index()) is type(expected.to_pandas_index()), name
                assert index.to_pandas_index().dtype == expected.to_pandas_index().dtype, name
            # Selection, arithmetic and copies work as on any Dataset.
            first = made.isel(time=0)
            assert first.sel(channel=made.channel.values[0]).raw.dims == ("range",)
            assert made.sel(time=made.time.values[-1:]).sizes["time"] == 1
            assert (made.signal * 2).dims == made.signal.dims and made.copy(deep=True).identical(made)
    assert "header_comment" in ds.coords

    with pytest.raises(ValueError, match="variable 'a' has 2 along 'x' where another has 3"):
        dataset({"a": ("x", np.zeros(2), {})}, {"b": ("x", np.zeros(3), {})}, {})
    with pytest.raises(ValueError, match="variable 'a' has 2 axes for dimensions"):
        dataset({"a": ("x", np.zeros((2, 2)), {})}, {}, {})


def test_signal_is_exactly_the_counts_times_the_scale(tmp_path):
    # Rows of odd lengths start anywhere in memory, and counts of 2^31 and more are
    # negative as signed integers: every bin must still be counts x scale to the bit.
    counts = np.array([0, 1, 2, 2 ** 31 - 1, 2 ** 31, 2 ** 32 - 1, 12345, 3], dtype=np.uint32)
    sets = [" 1 0 1 00007 1 0800 7.50 00532.o 0 0 00 000 12 000999 0.100 BT0",
            " 1 1 1 00005 1 0800 7.50 00532.o 0 0 00 000 00 000999 0.0040 BC0",
            " 1 0 1 00006 1 0800 7.50 00607.o 0 0 00 000 16 000999 0.500 BT1"]
    paths = [write_raw(tmp_path / f"odd{k}", line2=f"X 01/01/2020 00:0{k}:00 01/01/2020 00:0{k}:59 0 0 0 0",
                       line3="0000999 0010 0000000 0000 03", set_lines=sets,
                       data=[np.roll(counts, k)[:7], np.roll(counts, k + 1)[:5], np.roll(counts, 2 * k)[:6]])
             for k in range(3)]
    scales = [0.100 * 1000.0 / 2.0 ** 12 / 999, 150.0 / 7.5 / 999, 0.500 * 1000.0 / 2.0 ** 16 / 999]
    for threads in (1, 2):
        ds = read_licel(paths, threads=threads)
        for c, (scale, bins) in enumerate(zip(scales, (7, 5, 6))):
            expected = ds.raw.values[:, c, :bins].astype(np.float64) * scale
            np.testing.assert_array_equal(ds.signal.values[:, c, :bins], expected)
            assert np.isnan(ds.signal.values[:, c, bins:]).all()
    assert ds.raw.values[0, 0, 5] == 2 ** 32 - 1 and ds.signal.values[0, 0, 5] > 0



def test_the_signal_is_the_same_in_new_and_in_reused_memory(tmp_path):
    # The signal is written around the caches into memory used before, normally into new
    # memory: a small read gets memory the allocator hands out again, one of more than
    # 32 MiB always new memory.  Both must be counts x scale to the bit.
    def expected(ds):
        shots = ds.shots.values
        analog = ds.input_range.values * 1000.0 / 2.0 ** ds.adc_bits.values / shots
        photon = 150.0 / ds.bin_width.values / shots
        scale = np.where(ds.detection_mode.values == "photon_counting", photon, analog)
        return ds.raw.values * scale[..., None]

    many = []
    for k in range(52):  # 52 x 5 x 16,380 float64: 34 MB
        many.append(tmp_path / f"{SAMPLES[k % len(SAMPLES)].name}.{k}")
        many[-1].symlink_to(SAMPLES[k % len(SAMPLES)])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # copies share start times
        for files in (SAMPLES[:2], many, SAMPLES[:2], SAMPLES[:2]):
            ds = read_licel(files)
            np.testing.assert_array_equal(ds.signal.values, expected(ds))
            del ds


def test_times_are_refused_outside_the_years_nanoseconds_can_hold(tmp_path):
    sets = [" 1 0 1 00002 1 0800 7.50 00532.o 0 0 00 000 12 000010 0.100 BT0"]

    def file(name, start, stop):
        return write_raw(tmp_path / name, line2=f"X {start} {stop} 0 0 0 0",
                         line3="0000010 0010 0000000 0000 01", set_lines=sets, data=[[1, 2]])

    edges = read_licel([file("early", "01/01/1678 00:00:00", "01/01/1678 00:01:00"),
                        file("late", "31/12/2261 23:58:59", "31/12/2261 23:59:59")])
    assert [str(t) for t in edges.time.values.astype("datetime64[s]")] == \
        ["1678-01-01T00:00:00", "2261-12-31T23:58:59"]
    assert str(edges.stop_time.values[1].astype("datetime64[s]")) == "2261-12-31T23:59:59"
    for start, stop, field in (("31/12/1677 23:59:00", "01/01/1678 00:00:00", "start time"),
                               ("31/12/2261 23:59:00", "01/01/2262 00:00:00", "stop time"),
                               ("01/01/7012 00:00:00", "01/01/7012 00:01:00", "start time")):
        path = file("outside", start, stop)
        with pytest.raises(ValueError, match=f"outside: header line 2: {field} .* is not a date "
                                             "in the years 1678 to 2261"):
            read_licel(path)
