"""Rules the Python layer and the core share hold the same on both sides: the count rate
of a photon-counting bin, the Earth the slant beam's altitude is computed on, and the
noise model built from the same counts."""
import math
import pathlib

import numpy as np
import pytest

from Aerolume import atmosphere, constants, io
from Aerolume.uncertainty import PoissonNoise

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples" / "data" / "licel"


def test_the_core_reader_and_the_python_layer_share_one_count_rate():
    # The reader turns counts into MHz in the core; the noise model and the corrections
    # turn them back in Python: the counts must come back whole.
    ds = io.read_licel(sorted(EXAMPLES.glob("RM*"))[0])
    counting = ds.detection_mode.values == "photon_counting"
    assert counting.any()
    rate = ds.signal.values[:, counting]
    per_count = constants.mhz_per_count(ds.bin_width.values[counting],
                                        ds.shots.values[:, counting])[..., None]
    counts = rate / per_count
    assert np.abs(counts - np.round(counts)).max() < 1e-6
    noise = PoissonNoise.from_count_rate(ds.shots.values[:, counting][..., None],
                                         ds.bin_width.values[counting][:, None])
    np.testing.assert_allclose(rate * noise.counts_per_unit, counts, rtol=1e-12)


@pytest.mark.parametrize("zenith", [0.0, 30.0, 60.0, 89.0])
def test_the_slant_beam_altitude_is_the_core_one_on_the_constants_earth(zenith):
    r = np.linspace(0.0, 30e3, 301)
    got = atmosphere.beam_altitude(r, 100.0, zenith)
    R = constants.EARTH_RADIUS + 100.0
    c = math.cos(math.radians(zenith))
    expected = np.sqrt(R * R + r * r + 2.0 * R * r * c) - constants.EARTH_RADIUS
    np.testing.assert_allclose(got, expected, rtol=0, atol=1e-6)
    assert got[0] == 100.0
    if zenith == 0.0:
        np.testing.assert_array_equal(got, 100.0 + r)


def test_beam_altitude_refuses_what_is_not_a_beam():
    with pytest.raises(ValueError, match="zenith_angle"):
        atmosphere.beam_altitude([0.0, 1.0], 0.0, 95.0)
    with pytest.raises(ValueError, match="range"):
        atmosphere.beam_altitude(np.zeros((2, 2)))


def test_every_per_profile_input_follows_one_rule():
    # One value for every profile, or one per profile: the pre-processing, the
    # retrievals and the molecular atmosphere take the same forms and refuse the same
    # misfits, naming the argument.
    from Aerolume import preprocess, retrieval
    rate = np.full((3, 50), 2.0)
    one = preprocess.dead_time_correction(rate, 4.0).rate
    each = preprocess.dead_time_correction(rate, [4.0, 4.0, 4.0]).rate
    np.testing.assert_array_equal(one, each)
    with pytest.raises(ValueError, match="dead_time"):
        preprocess.dead_time_correction(rate, [4.0, 4.0])
    with pytest.raises(ValueError, match="dead_time"):
        preprocess.dead_time_correction(rate, [4.0, np.nan, 4.0])
    with pytest.raises(ValueError, match="shift"):
        preprocess.shift_bins(rate, [1, 2])

    r = np.linspace(100.0, 5000.0, 50)
    mol = atmosphere.molecular_profile(r, 532e-9)
    signal = np.broadcast_to(mol.attenuated_beta_m.values / r**2 * 1e12, (3, 50))
    with pytest.raises(ValueError, match="calibration"):
        retrieval.klett_fernald(signal, r, mol, 50.0, direction="forward",
                                calibration=[1.0, 2.0])
    with pytest.raises(ValueError, match="calibration"):
        retrieval.klett_fernald(signal, r, mol, 50.0, direction="forward",
                                calibration=[1.0, -2.0, 1.0])

    station = atmosphere.molecular_profile(r, 532e-9, station_altitude=[0.0, 10.0, 20.0])
    assert station.sizes["time"] == 3
    with pytest.raises(ValueError, match="station_altitude"):
        atmosphere.molecular_profile(r, 532e-9, station_altitude=[[0.0, 1.0]])
    with pytest.raises(ValueError, match="station_altitude"):
        atmosphere.molecular_profile(r, 532e-9, station_altitude=[0.0, np.inf])
    with pytest.raises(ValueError, match="zenith_angle"):
        atmosphere.molecular_profile(r, 532e-9, zenith_angle=[0.0, 95.0])
