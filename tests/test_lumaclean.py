import inspect
import sys
import traceback
import types
import warnings

import numpy as np
import pytest

import Aerolume.lumaclean as lc

FILE = "Aerolume\\lumaclean"
PROFILE = [10.0, 2.0, 2.2, 1.0, 3.0, 1.0, 3.0]  # window 3:7 -> background 2.0, noise 0.1
DEFS = {"calculate_data_points": 4, "remove_background_and_noise": 8,
        "distance_zero_point_calibration": 48, "distance_square_correction": 69,
        "overlap_factor_correction": 86}


def entry(excinfo):
    """The innermost traceback entry of this module (callees in Python may follow it)."""
    last = [e for e in traceback.extract_tb(excinfo.tb) if e.filename == FILE][-1]
    return last.name, last.filename, last.lineno


def test_module_and_function_objects():
    assert [k for k in vars(lc) if k == "__test__" or not k.startswith("__")] == \
        ["np", *DEFS, "__test__"]
    assert lc.np is np and lc.__test__ == {}
    for name, line in DEFS.items():
        f = getattr(lc, name)
        assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "Aerolume.lumaclean")
        assert (f.__code__.co_filename, f.__code__.co_firstlineno) == (FILE, line)
        if name != "calculate_data_points":
            lines = f.__doc__.split("\n")
            assert lines[0] == "" and lines[-1] == "    " and lines[-2].endswith("。")
            assert all(text.startswith("    ") for text in lines[1:])
    assert lc.calculate_data_points.__doc__ is None
    assert str(inspect.signature(lc.remove_background_and_noise)) == \
        "(data, background_start_idx, background_end_idx, sigma_factor=3)"
    assert lc.distance_square_correction.__code__.co_varnames == \
        ("data", "transmit_signal", "heights", "corrected_data", "data_i")


@pytest.mark.parametrize("first, second", [("lumafit", "lumaclean"), ("lumaclean", "lumafit")])
def test_function_type_shared_in_either_import_order(python, first, second):
    run = python(f"import Aerolume.{first}, Aerolume.{second}\n"
                 "from Aerolume import lumafit, lumaclean\n"
                 "print(type(lumafit.fit_func) is type(lumaclean.overlap_factor_correction))")
    assert run.stdout == "True\n", run.stderr


def test_imports_without_scipy(python):
    run = python("import sys; sys.modules['scipy'] = None\n"
                 "import Aerolume.lumaclean as lc; print(lc.calculate_data_points(7.5, 15000))")
    assert run.stdout == "2000\n", run.stderr


@pytest.mark.parametrize("args, kwargs, expected", [
    ((7.5, 15000), {}, 2000), ((), {"max_distance": 100, "distance_resolution": 3}, 33),
    ((0.1, 0.7), {}, 6), ((-2, 7), {}, -3), ((np.float64(0.5), 3), {}, 6),
    ((1, 10**20), {}, 10**20)])
def test_data_points_truncate(args, kwargs, expected):
    result = lc.calculate_data_points(*args, **kwargs)
    assert result == expected and type(result) is int


def printed(capsys):
    return capsys.readouterr().out.splitlines()


@pytest.mark.parametrize("data", [np.array(PROFILE), PROFILE], ids=["array", "list"])
@pytest.mark.parametrize("args, kwargs", [
    ((3, 7), {}), ((3, 7, 3), {}), ((3, 7), {"sigma_factor": 3}), ((-4, None), {}),
    ((3, 100), {}), ((-4, 7), {})])
def test_background_and_noise_of_worked_profile(capsys, data, args, kwargs):
    valid, background, noise = lc.remove_background_and_noise(data, *args, **kwargs)
    assert type(valid) is list and valid == [8.0, 1.0, 1.0]
    assert (background, noise) == (2.0, 0.1)
    assert printed(capsys) == [f"noise is: {noise}", f"background is: {background}",
                               f"data is {data}", str(valid)]


@pytest.mark.parametrize("sigma_factor, expected", [
    (0, [8.0, 0.0, 0.20000000000000018, 1.0, 1.0]),  # 0.0 equals the threshold 0
    (10, [8.0, 1.0, 1.0]),                           # 1.0 equals the threshold 1.0
    (100, [])])
def test_threshold_keeps_samples_at_or_above_it(sigma_factor, expected):
    assert lc.remove_background_and_noise(np.array(PROFILE), 3, 7, sigma_factor)[0] == expected


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("window", [(5, 5), (6, 2)])
def test_empty_window_gives_nan_estimates_and_no_samples(capsys, window):
    valid, background, noise = lc.remove_background_and_noise(np.array(PROFILE), *window)
    assert valid == [] and np.isnan(background) and np.isnan(noise)
    assert printed(capsys)[:2] == ["noise is: nan", "background is: nan"]


def test_rebinding_defaults_does_not_change_calls():
    f = lc.remove_background_and_noise
    with pytest.warns(RuntimeWarning, match="__defaults__"):
        f.__defaults__ = (100,)
    try:
        assert f.__defaults__ == (100,)
        assert f(np.array(PROFILE), 3, 7)[0] == [8.0, 1.0, 1.0]
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            f.__defaults__ = (3,)


def test_print_is_the_builtin_bound_at_import(capsys, monkeypatch):
    def refuse(*args):
        raise AssertionError("rebound print called")
    monkeypatch.setattr("builtins.print", refuse)
    monkeypatch.setattr(lc, "print", refuse, raising=False)
    lc.remove_background_and_noise(PROFILE, 3, 7)
    assert len(printed(capsys)) == 4


class Stdout:
    """Standard output that fails at the start of line `fail_at` (0-based)."""
    def __init__(self, fail_at):
        self.fail_at, self.text = fail_at, ""

    def write(self, s):
        if self.text.count("\n") == self.fail_at:
            raise OSError("stdout is gone")
        self.text += s


@pytest.mark.parametrize("fail_at, line", [(0, 31), (1, 32), (2, 33), (3, 44)])
def test_print_failure_reports_its_line_and_keeps_earlier_lines(monkeypatch, fail_at, line):
    out = Stdout(fail_at)
    monkeypatch.setattr(sys, "stdout", out)
    with pytest.raises(OSError) as excinfo:
        lc.remove_background_and_noise(PROFILE, 3, 7)
    assert entry(excinfo)[2] == line and out.text.count("\n") == fail_at


def test_np_is_looked_up_at_every_use(monkeypatch):
    lc.remove_background_and_noise(PROFILE, 3, 7)
    fake = types.SimpleNamespace(mean=lambda w: 0.0, std=lambda w: 0.0)
    monkeypatch.setattr(lc, "np", fake)
    assert lc.remove_background_and_noise(PROFILE, 3, 7) == (PROFILE, 0.0, 0.0)


@pytest.mark.parametrize("np_, name, args, error, line", [
    (None, "remove_background_and_noise", (PROFILE, 3, 7), "name 'np' is not defined", 27),
    (None, "distance_zero_point_calibration", (PROFILE, 1.0), "name 'np' is not defined", 61),
    (types.SimpleNamespace(mean=np.mean), "remove_background_and_noise", (PROFILE, 3, 7),
     "std", 30),
    (types.SimpleNamespace(argmax=np.argmax), "distance_zero_point_calibration", (PROFILE, 1.0),
     "arange", 65)])
def test_missing_np_or_attribute(monkeypatch, np_, name, args, error, line):
    if np_ is None:
        monkeypatch.delattr(lc, "np")
    else:
        monkeypatch.setattr(lc, "np", np_)
    with pytest.raises((NameError, AttributeError), match=error) as excinfo:
        getattr(lc, name)(*args)
    assert entry(excinfo) == ("Aerolume.lumaclean." + name, FILE, line)


class SliceOnly:
    def __getitem__(self, key):
        if isinstance(key, slice):
            return [1.0, 3.0]
        raise TypeError("no items")


class Unsized:
    def __len__(self):
        raise RuntimeError("length unknown")


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("name, args, kwargs, error, message, line", [
    ("calculate_data_points", (0.0, 10.0), {}, ZeroDivisionError, "^float division by zero$", 5),
    ("calculate_data_points", (0, 10), {}, ZeroDivisionError, "^division by zero$", 5),
    ("calculate_data_points", (np.float64(0.0), 1.0), {}, OverflowError, "infinity", 5),
    ("calculate_data_points", (1.0, np.ones(2)), {}, TypeError, None, 5),
    ("calculate_data_points", (1,), {}, TypeError,
     r"^calculate_data_points\(\) takes exactly 2 positional arguments \(1 given\)$", 4),
    ("remove_background_and_noise", (PROFILE,), {}, TypeError,
     r"takes at least 3 positional arguments \(1 given\)$", 8),
    ("remove_background_and_noise", (PROFILE, 3, 7, 3, 0), {}, TypeError,
     r"takes at most 4 positional arguments \(5 given\)$", 8),
    ("remove_background_and_noise", (PROFILE, 3, 7, 3), {"sigma_factor": 3}, TypeError,
     "got multiple values for keyword argument 'sigma_factor'", 8),
    ("remove_background_and_noise", (5, 3, 7), {}, TypeError, "^'int' object is unsliceable$", 27),
    ("remove_background_and_noise", (SliceOnly(), 0, 2), {}, TypeError, "no items", 36),
    ("remove_background_and_noise", (np.ones((3, 2)), 0, 2), {}, ValueError, "truth value", 42),
    ("distance_zero_point_calibration", ([], 7.5), {}, ValueError, "empty", 61),
    ("distance_zero_point_calibration", ([0, 5, 9], None), {}, TypeError, None, 64),
    ("distance_zero_point_calibration", (5, 7.5), {}, TypeError, "has no len", 65),
    ("distance_zero_point_calibration", ([0],), {}, TypeError, r"exactly 2 .*\(1 given\)", 48),
    ("distance_square_correction", (5, 1.0, 10.0), {}, TypeError, "not iterable", 82),
    ("distance_square_correction", (5, 1.0, np.ones(2)), {}, TypeError, "not iterable", 82),
    ("distance_square_correction", ([1.0], 0.0, 10.0), {}, ZeroDivisionError, "^float div", 82),
    ("distance_square_correction", ([1], 0, 10), {}, ZeroDivisionError, "^division by zero$", 82),
    ("distance_square_correction", ([1.0, 2.0, 3.0], 1.0, np.ones(2)), {}, ValueError,
     r"\(3 samples, 2 heights\)", 82),
    ("distance_square_correction", ([], 1.0, [1.0]), {}, ValueError, r"\(0 samples, 1 ", 82),
    ("distance_square_correction", ([1.0], 1.0, Unsized()), {}, RuntimeError, "unknown", 82),
    ("distance_square_correction", ([1.0], 1.0), {}, TypeError, r"exactly 3 .*\(2 given\)", 69),
    ("overlap_factor_correction", ([2.0], [1.0]), {}, TypeError, "unsupported operand", 97),
    ("overlap_factor_correction", (1.0, 0), {}, ZeroDivisionError, "^float division by zero$", 97),
    ("overlap_factor_correction", ([1.0],), {}, TypeError, r"exactly 2 .*\(1 given\)", 86)])
def test_failures_report_function_file_and_line(name, args, kwargs, error, message, line):
    with pytest.raises(error, match=message) as excinfo:
        getattr(lc, name)(*args, **kwargs)
    assert entry(excinfo) == ("Aerolume.lumaclean." + name, FILE, line)


@pytest.mark.parametrize("data, step, heights, peak_height", [
    ([0, 5, 9, 9, 3], 7.5, [-15.0, -7.5, 0.0, 7.5, 15.0], 15.0),  # first of equal maxima
    ([9, 1, 2], 2.5, [0.0, 2.5, 5.0], 0.0),
    (np.array([0, 5, 9, 9, 3]), 2, [-4, -2, 0, 2, 4], 4),
    (np.array([[0, 1], [5, 2], [3, 4]]), 1.0, [-2.0, -1.0, 0.0], 2.0)])  # flat index, rows
def test_zero_point_calibration(data, step, heights, peak_height):
    real_heights, first_peak_height = lc.distance_zero_point_calibration(data, step)
    assert real_heights.tolist() == heights and first_peak_height == peak_height
    integral = isinstance(step, int)
    assert np.issubdtype(real_heights.dtype, np.integer) == integral
    assert isinstance(first_peak_height, np.integer) == integral


def test_zero_point_heights_are_difference_of_products():
    real_heights, _ = lc.distance_zero_point_calibration(np.eye(1, 13, 7)[0], 0.1)
    assert real_heights[7] == 0.0
    assert real_heights[10] == 10 * 0.1 - 7 * 0.1 != (10 - 7) * 0.1


@pytest.mark.parametrize("data, heights, expected", [
    ([2.0, 4.0], 10.0, [100.0, 200.0]),
    ([2.0, 4.0], np.array(10.0), [100.0, 200.0]),     # a 0-d array is a single height
    ([2.0, 4.0], np.array([1.0, 2.0]), [1.0, 8.0]),   # sample i with heights[i]
    ([2.0, 4.0], [1.0, 2.0], [1.0, 8.0]),
    ((x for x in [2.0, 4.0]), (1.0, 2.0), [1.0, 8.0]),
    (np.array([3, 6]), 10, [150.0, 300.0]),
    ([], 10.0, []), ([], np.array([]), [])])
def test_distance_square_correction(data, heights, expected):
    result = lc.distance_square_correction(data, 2, heights)
    assert type(result) is list and result == expected
    assert all(np.ndim(value) == 0 for value in result)


def test_mismatched_heights_are_refused_before_computing():
    divisions = []

    class Strength:
        def __rtruediv__(self, sample):
            divisions.append(sample)
            return sample
    with pytest.raises(ValueError):
        lc.distance_square_correction([1.0, 2.0, 3.0], Strength(), np.ones(2))
    assert divisions == []
    assert lc.distance_square_correction([], 0, 10.0) == []  # nothing divided


@pytest.mark.parametrize("data, factors, expected", [
    (np.array([2.0, 4.0, 9.0]), np.array([0.5, 1.0, 3.0]), [4.0, 4.0, 3.0]),
    ([2.0, 4.0, 9.0], np.array([0.5, 1.0, 3.0]), [4.0, 4.0, 3.0]),
    (np.array([2.0, 4.0]), 2.0, [1.0, 2.0]),
    (np.array([1.0, 0.0]), np.zeros(2), [np.inf, np.nan])])
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_overlap_factor_correction(data, factors, expected):
    np.testing.assert_array_equal(lc.overlap_factor_correction(data, factors), expected)


def test_typical_road_recovers_range_corrected_signal():
    n, peak, step, strength, background = 120, 9, 7.5, 2.5, 2.0
    k = np.arange(n)
    echo = 1.0 + 60.0 * np.exp(-((k - peak) / 4.0) ** 2) + 10.0 * np.exp(-k / 80.0)
    overlap = 1.0 - 0.5 * np.exp(-k / 8.0)
    # Far-range sky: mean 2.0, standard deviation 1.0, every sample below the threshold.
    sky = background + np.array([0.25] * 16 + [-4.0])
    raw = np.concatenate([echo * overlap + background, sky])

    valid, estimated, noise = lc.remove_background_and_noise(raw, n, len(raw))
    assert (estimated, noise, len(valid)) == (background, 0.1, n)
    heights, first_peak_height = lc.distance_zero_point_calibration(valid, step)
    assert first_peak_height == peak * step and heights[peak] == 0.0
    rcs = lc.distance_square_correction(valid, strength, heights)
    corrected = lc.overlap_factor_correction(rcs, overlap)

    # The measured signal, range-square corrected and freed of the overlap: the echo
    # times its squared height over the transmitted strength.
    np.testing.assert_allclose(corrected, echo * ((k - peak) * step) ** 2 / strength,
                               rtol=1e-12, atol=1e-12)
