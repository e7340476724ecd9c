"""Cloud detection and the boundary-layer height: synthetic truth, the real night, threads,
profiles and bad input."""

import pathlib
import warnings

import numpy as np
import pytest
import xarray as xr

from Aerolume import simulate
from Aerolume.retrieval import boundary_layer_height, detect_clouds

WAVELENGTH = 354.7e-9
R = np.arange(1, 667) * 30.0  # 30 m gates to 19.98 km
BASE, TOP = 8000.0, 8600.0
BL_TOP = 1500.0
HERE = pathlib.Path(__file__).resolve()


def cloud_scene(profiles=1, seed=3):
    """A cloud of 1e-4 m^-1 sr^-1 from 8.0 to 8.6 km over a 1.5 km boundary layer, photon
    counts of 6,000 shots with a background."""
    beta = (np.where(R < BL_TOP, 3e-6, 0.0)
            + np.where((R >= BASE) & (R < TOP), 1e-4, 0.0))
    beta = np.broadcast_to(beta, (profiles, R.size)) if profiles > 1 else beta
    ratio = np.where(R >= BASE, 20.0, 50.0)
    return simulate.elastic(R, WAVELENGTH, beta, lidar_ratio=ratio, constant=3e13,
                            noise="poisson", shots=6000, background=50.0, seed=seed)


def gate(value):
    return int(np.argmin(np.abs(R - value)))


@pytest.fixture(scope="module")
def scene():
    return cloud_scene(profiles=8)


class TestSyntheticCloud:
    def test_base_and_top_within_two_gates(self, scene):
        out = detect_clouds(scene.signal.values, R, noise=scene.signal_noise.values,
                            molecular=scene)
        first_in, last_in = R[R >= BASE][0], R[R < TOP][-1]
        assert (out.cloud_layers.values == 1).all()
        base, top = out.cloud_base.values[:, 0], out.cloud_top.values[:, 0]
        assert np.all(np.abs(base - first_in) <= 2 * 30.0), base
        assert np.all(np.abs(top - last_in) <= 2 * 30.0), top
        assert np.isnan(out.cloud_base.values[:, 1:]).all()
        mask = out.cloud_mask.values.astype(bool)
        assert out.cloud_mask.dtype == np.int8  # a CF 1.8 type
        # the mask is the layer, and the boundary layer is not a cloud
        assert mask[:, gate(8300.0)].all()
        assert not mask[:, R < 7500].any() and not mask[:, R > 8800].any()
        # a clear-air level everywhere; above the opaque cloud the far range is noise
        assert (out.cloud_detection_flag.values == 2).all()

    def test_boundary_layer_is_not_a_cloud_without_molecular(self, scene):
        out = detect_clouds(scene.signal.values, R, noise=scene.signal_noise.values)
        assert not out.cloud_mask.values[:, R < 3000].any()
        assert np.all(np.abs(out.cloud_base.values[:, 0] - BASE) <= 60.0)

    def test_clear_sky_has_no_layer(self):
        sim = simulate.elastic(R, WAVELENGTH, np.where(R < BL_TOP, 3e-6, 0.0),
                               lidar_ratio=50.0, constant=3e13, noise="poisson",
                               shots=6000, background=50.0, seed=5)
        out = detect_clouds(sim.signal.values, R, noise=sim.signal_noise.values,
                            molecular=sim)
        assert int(out.cloud_layers) == 0 and not out.cloud_mask.values.any()
        assert np.isnan(out.cloud_base.values).all()

    def test_two_layers_and_max_layers(self):
        beta = (np.where((R >= 4000) & (R < 4300), 5e-5, 0.0)
                + np.where((R >= 9000) & (R < 9300), 5e-5, 0.0))
        sim = simulate.elastic(R, WAVELENGTH, beta, lidar_ratio=20.0, constant=3e13,
                               noise="poisson", shots=6000, background=50.0, seed=2)
        both = detect_clouds(sim.signal.values, R, noise=sim.signal_noise.values,
                             molecular=sim)
        np.testing.assert_allclose(both.cloud_base.values[:2], [4020.0, 9000.0], atol=60.0)
        one = detect_clouds(sim.signal.values, R, noise=sim.signal_noise.values,
                            molecular=sim, max_layers=1)
        assert one.sizes["layer"] == 1 and int(one.cloud_layers) == 2
        assert one.cloud_mask.values[gate(9150.0)] == 1  # the mask keeps every layer


class TestBoundaryLayer:
    @pytest.mark.parametrize("height", [900.0, 1500.0, 2340.0])
    def test_step_recovered_within_50_m(self, height):
        sim = simulate.elastic(R, WAVELENGTH, np.where(R < height, 4e-6, 0.0),
                               lidar_ratio=50.0, constant=3e13, noise="poisson",
                               shots=6000, background=50.0, seed=7)
        for molecular in (None, sim):
            out = boundary_layer_height(sim.signal.values, R, noise=sim.signal_noise.values,
                                        molecular=molecular)
            assert abs(float(out.boundary_layer_height) - height) <= 50.0
            assert int(out.boundary_layer_height_flag) == 0
            assert float(out.wavelet_covariance_max) > 0

    def test_not_found_is_nan_and_flagged(self):
        sim = simulate.elastic(R, WAVELENGTH, np.where(R < 5000.0, 4e-6, 0.0),
                               lidar_ratio=50.0, constant=3e13)
        # the step lies above the search range: the maximum is on its edge
        out = boundary_layer_height(sim.signal.values, R, search=(1000.0, 3000.0))
        assert np.isnan(float(out.boundary_layer_height))
        assert int(out.boundary_layer_height_flag) & 1
        # clean air over the molecular baseline: no step
        clean = simulate.elastic(R, WAVELENGTH, np.zeros(R.size), lidar_ratio=50.0,
                                 constant=3e13, noise="poisson", shots=6000, background=50.0,
                                 seed=7)
        out = boundary_layer_height(clean.signal.values, R, noise=clean.signal_noise.values,
                                    molecular=clean)
        assert np.isnan(float(out.boundary_layer_height))
        assert int(out.boundary_layer_height_flag) & 2
        # pure noise: nothing significant
        rng = np.random.default_rng(0)
        noisy = rng.normal(0.0, 1.0, R.size) / R ** 2
        out = boundary_layer_height(noisy, R, noise=np.full(R.size, 1.0) / R ** 2)
        assert np.isnan(float(out.boundary_layer_height))

    def test_search_stays_below_a_cloud(self, scene):
        free = boundary_layer_height(scene.signal.values, R, search=(300.0, 10000.0))
        assert np.all(free.boundary_layer_height.values > 7000)  # the cloud's top wins
        limited = boundary_layer_height(scene.signal.values, R, search=(300.0, 10000.0),
                                        below=np.full(8, BASE))
        assert np.all(np.abs(limited.boundary_layer_height.values - BL_TOP) <= 50.0)


class TestConsistency:
    def test_threads_and_profiles_give_identical_results(self, scene):
        signal, noise = scene.signal.values, scene.signal_noise.values
        for function, kw in ((detect_clouds, {"noise": noise, "molecular": scene}),
                             (detect_clouds, {}), (boundary_layer_height, {})):
            one, two = function(signal, R, threads=1, **kw), function(signal, R, threads=2, **kw)
            xr.testing.assert_identical(one, two)
            kw1 = {k: (v[3] if isinstance(v, np.ndarray) else v.isel(time=3))
                   for k, v in kw.items()}
            single = function(signal[3], R, threads=1, **kw1)
            for name in single.data_vars:
                np.testing.assert_array_equal(single[name].values, one[name].values[3])

    def test_dataarray_dims_and_gaps(self, scene):
        da = xr.DataArray(scene.signal.values, dims=("time", "range"),
                          coords={"time": np.arange(8), "range": R})
        out = detect_clouds(da, R, noise=scene.signal_noise.values)
        assert out.cloud_mask.dims == ("time", "range")
        assert out.cloud_base.dims == ("time", "layer")
        gappy = scene.signal.values.copy()
        gappy[:, gate(5000.0)] = np.nan
        with pytest.warns(RuntimeWarning, match="NaN"):
            out = detect_clouds(gappy, R, noise=scene.signal_noise.values, molecular=scene)
        assert np.all(np.abs(out.cloud_base.values[:, 0] - BASE) <= 60.0)


class TestBadInput:
    @pytest.mark.parametrize("kw, match", [
        ({"search": (9000.0, 8000.0)}, "search"),
        ({"search": (30000.0, 40000.0)}, "search"),
        ({"min_ratio": -1.0}, "min_ratio"),
        ({"n_sigma": float("nan")}, "n_sigma"),
        ({"max_layers": 0}, "max_layers"),
        ({"edge": -5.0}, "edge"),
        ({"noise": np.ones(3)}, "noise"),
        ({"molecular": {"alpha_m": np.ones(R.size)}}, "beta_m"),
    ])
    def test_detect_clouds(self, kw, match):
        with pytest.raises((ValueError, TypeError), match=match):
            detect_clouds(np.ones(R.size), R, **kw)

    @pytest.mark.parametrize("kw, match", [
        ({"dilation": "wide"}, "dilation"),
        ({"search": (5.0,)}, "search"),
        ({"below": np.ones(4)}, "below"),
        ({"noise": -np.ones(R.size)}, "noise"),
    ])
    def test_boundary_layer_height(self, kw, match):
        with pytest.raises((ValueError, TypeError), match=match):
            boundary_layer_height(np.ones((2, R.size)), R, **kw)

    def test_signal_and_range(self):
        with pytest.raises(ValueError, match="range"):
            detect_clouds(np.ones(10), np.arange(9.0) + 1)
        with pytest.raises(TypeError, match="signal"):
            boundary_layer_height(["a"] * 10, np.arange(10.0) + 1)


def _licel_folder():
    for folder in (HERE.parents[1] / "examples" / "data" / "licel",
                   HERE.parents[2] / "shared" / "data" / "licel"):
        if sorted(folder.glob("RM*")):
            return folder
    return None


@pytest.fixture(scope="module")
def night():
    folder = _licel_folder()
    if folder is None:
        pytest.skip("no Licel sample files")
    from Aerolume.atmosphere import molecular_profile
    from Aerolume.io import read_licel
    from Aerolume.preprocess import correct
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        ds = correct(read_licel(sorted(str(p) for p in folder.glob("RM*"))), dead_time=5.0,
                     background="far", glue={"window": [0.5, 15.0]},
                     average={"time": "2min", "range": 4})
    ch = ds.sel(channel="355_gl").where(ds.range <= 20000.0, drop=True)
    return ch, molecular_profile(ch.range.values, WAVELENGTH)


class TestRealNight:
    def test_cirrus_is_a_cloud_and_the_boundary_layer_is_not(self, night):
        ch, mol = night
        r = ch.range.values
        out = detect_clouds(ch.signal, r, noise=ch.signal_noise.values, molecular=mol)
        mask = out.cloud_mask.values.astype(bool)
        cirrus = (r >= 12000.0) & (r <= 14000.0)
        assert mask[:, cirrus].any(axis=1).all()
        assert mask[:, cirrus].mean() > 0.5
        assert not mask[:, r < 2000.0].any()
        base = out.cloud_base.values[:, 0]
        assert np.all((base > 11000.0) & (base < 13000.0)), base

    def test_boundary_layer_height_is_found_below_the_cirrus(self, night):
        ch, _ = night
        out = boundary_layer_height(ch.signal, ch.range.values,
                                    noise=ch.signal_noise.values)
        height = out.boundary_layer_height.values
        assert np.isfinite(height).all() and np.all((height > 300.0) & (height < 4000.0))
