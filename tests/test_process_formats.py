"""`aerolume process` on the netCDF formats: PollyXT level 0 (a raw lidar: the full
chain) and the CL61 ceilometer (clouds, boundary layer and depolarisation from the
attenuated backscatter; Klett-Fernald skipped with its reason), planned by the same
planner as the Licel files; bad files named, or left out with errors = "skip"."""

import contextlib
import io
import pathlib
import warnings


import netCDF4
import numpy as np
import pytest

import netcdf_samples as ns  # noqa: E402
from Aerolume.cli import main  # noqa: E402
from Aerolume.io import open_dataset, read  # noqa: E402
from Aerolume.processing.pipeline import plan  # noqa: E402


def aerolume(*args):
    err = io.StringIO()
    with contextlib.redirect_stderr(err), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        status = main([str(a) for a in args])
    return status, err.getvalue()


@pytest.fixture(scope="module")
def polly(tmp_path_factory):
    folder = tmp_path_factory.mktemp("polly")
    files = [folder / "p1.nc", folder / "p2.nc"]
    ns.make_pollyxt_night(files[0], start_second=3600)
    ns.make_pollyxt_night(files[1], start_second=3720, seed=1)
    config = folder / "polly.toml"
    config.write_text('[input]\nchannel_ids = ["355_pc", "355s_pc"]\n'
                      "[uncertainty]\nrealisations = 0\n")
    return folder, files, config


@pytest.fixture(scope="module")
def cl61(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cl61")
    files = [folder / "c1.nc", folder / "c2.nc"]
    ns.make_cl61_night(files[0])
    ns.make_cl61_night(files[1], start=60, seed=1)
    return folder, files


def test_pollyxt_goes_through_the_whole_chain(polly):
    folder, files, config = polly
    out = folder / "out.nc"
    status, err = aerolume("process", *files, "-o", out, "-c", config, "-q")
    assert status == 0, err
    product = open_dataset(out)
    assert list(product.channel.values) == ["355_pc", "355s_pc"]
    np.testing.assert_allclose(product.wavelength.values, [355e-9, 355e-9])
    assert list(product.polarization.values) == ["none", "perpendicular"]
    assert product.sizes["time"] == 8
    # The retrieved backscatter in the elevated layer's peak is the simulated one.
    beta = product["backscatter"].sel(klett_channel="355_pc")
    at = beta.sel(range=3000.0, method="nearest").values
    assert np.isfinite(at).sum() >= 6
    assert np.nanmedian(at) == pytest.approx(1e-6, rel=0.25)
    assert np.isfinite(product["boundary_layer_height"].values).any()
    assert "klett_skipped" not in product.attrs
    # Without the channels' ids the file names no wavelength: the error says what to give.
    status, err = aerolume("process", *files, "-o", folder / "no_ids.nc", "-q")
    assert status == 1 and "error" in err


def test_cl61_clouds_boundary_layer_depolarisation_and_klett_skipped(cl61):
    folder, files = cl61
    config = folder / "cl61.toml"
    config.write_text("[uncertainty]\nrealisations = 0\n")
    out = folder / "out.nc"
    status, err = aerolume("process", *files, "-o", out, "-c", config, "-q")
    assert status == 0, err
    product = open_dataset(out)
    assert product.sizes["time"] == 12 and list(product.channel.values) == ["910_att"]
    np.testing.assert_allclose(product["cloud_base"].values[:, 0], 2400.0, atol=10.0)
    np.testing.assert_allclose(product["boundary_layer_height"].values, 1500.0, atol=50.0)
    depol = product["volume_depolarization"]
    assert depol.dims == ("time", "range")
    np.testing.assert_allclose(depol.sel(range=1000.0, method="nearest").values, 0.02, rtol=1e-6)
    np.testing.assert_allclose(depol.sel(range=2500.0, method="nearest").values, 0.3, rtol=1e-6)
    assert "backscatter" not in product and "Rayleigh reference" in product.attrs["klett_skipped"]
    # The signal is the attenuated backscatter over range squared; the range correction
    # gives it back.
    raw = read(files)
    rng = product["range"].values
    np.testing.assert_allclose(product["signal"].values[:, 0] * rng ** 2,
                               raw["signal"].values[:, 0, :rng.size], rtol=1e-6)


def test_the_planner_groups_whole_files_by_the_readers_layout(polly, cl61, tmp_path):
    _, polly_files, _ = polly
    _, cl61_files = cl61
    # Blocks of whole files: 4 profiles a file, 5 wanted, so two files a block.
    extra = tmp_path / "p3.nc"
    ns.make_pollyxt_night(extra, start_second=3840, seed=2)
    files = [str(f) for f in (polly_files[1], extra, polly_files[0])]
    assert plan(files, 5) == [[files[2], files[0]], [files[1]]]
    assert plan(files, 4) == [[files[2]], [files[0]], [files[1]]]
    assert plan(files, 1, step=8) == [[files[2], files[0]], [files[1]]]
    # A file of another layout is refused naming it, or left out with the warning.
    other = tmp_path / "other.nc"
    ns.make_pollyxt_night(other, bins=3000, start_second=4000)
    with pytest.raises(ValueError, match=f"{other}: the channel layout differs"):
        plan(files + [str(other)], 5)
    with pytest.warns(RuntimeWarning, match=str(other)):
        assert plan(files + [str(other)], 5, errors="skip") == [[files[2], files[0]], [files[1]]]
    # Ceilometer files likewise (their range gates are the layout).
    assert plan([str(f) for f in cl61_files], 100) == [[str(f) for f in cl61_files]]


def damaged(tmp_path, source):
    """(file, what the error must say) for a few kinds of bad input."""
    truncated = tmp_path / "truncated.nc"
    blob = source.read_bytes()
    truncated.write_bytes(blob[:len(blob) // 2])
    missing = tmp_path / "missing_variable.nc"
    with netCDF4.Dataset(source) as src, netCDF4.Dataset(missing, "w") as dst:
        for name, dim in src.dimensions.items():
            dst.createDimension(name, len(dim))
        for name, var in src.variables.items():
            if name not in ("measurement_shots", "range"):
                dst.createVariable(name, var.dtype, var.dimensions)[...] = var[...]
                dst[name].setncatts({k: var.getncattr(k) for k in var.ncattrs()})
    text = tmp_path / "text.nc"
    text.write_text("not a lidar file\n")
    return [(truncated, "truncated.nc: "), (missing, "missing_variable.nc: "),
            (text, "text.nc: ")]


@pytest.mark.parametrize("kind", ["pollyxt", "cl61"])
def test_bad_files_are_named_in_reading_and_planning_and_skip_leaves_them_out(
        kind, polly, cl61, tmp_path):
    good = [str(f) for f in (polly[1] if kind == "pollyxt" else cl61[1])]
    for path, message in damaged(tmp_path, pathlib.Path(good[0])):
        files = good + [str(path)]
        with pytest.raises((ValueError, OSError), match=message):
            read(files)
        with pytest.raises((ValueError, OSError), match=message):
            plan(files, 100)
        with pytest.warns(RuntimeWarning, match=message):
            ds = read(files, errors="skip")
        assert list(ds.attrs["source_files"]) == good
        with pytest.warns(RuntimeWarning, match=message):
            assert plan(files, 100, errors="skip") == [good]


def test_blocks_made_in_the_process_are_written_where_they_are_made(cl61, tmp_path,
                                                                    monkeypatch):
    # The HDF5 library under the netCDF readers and the writer may not be called from two
    # threads at once, and a block written beside the next would be held while the next is
    # made: blocks made here are written in the thread that made them, whatever the format.
    import threading

    from Aerolume.io.netcdf import BlockWriter

    threads = []
    real = BlockWriter.append

    def append(self, block):
        threads.append(threading.current_thread() is threading.main_thread())
        return real(self, block)

    monkeypatch.setattr(BlockWriter, "append", append)
    folder, files = cl61
    config = tmp_path / "c.toml"
    config.write_text("[processing]\nblock = 1\n[uncertainty]\nrealisations = 0\n")
    licel = sorted((pathlib.Path(__file__).resolve().parent.parent / "examples" / "data" /
                    "licel").glob("RM*"))
    for raw, out in ((files, "c.nc"), (licel, "l.nc")):
        threads.clear()
        assert aerolume("process", *raw, "-c", config, "-o", tmp_path / out, "-q")[0] == 0
        assert len(threads) >= 2 and all(threads)
