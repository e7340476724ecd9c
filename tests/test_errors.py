"""One base class for the errors Aerolume raises on bad input, each also the built-in type
callers caught before; a file's error carries the file and the reason, survives the trip
back from a worker, and every reader reports the same reason with errors="raise" and
errors="skip"."""
import pathlib
import pickle
import warnings

import pytest

from Aerolume import errors, io
from Aerolume.cli import CommandError
from Aerolume.processing.config import ConfigError
from Aerolume.processing.runners import MissingDependency


def test_every_error_has_the_one_base_and_its_builtin_type():
    for cls, builtin in [(ConfigError, ValueError), (MissingDependency, ImportError),
                         (CommandError, Exception), (errors.FileFormatError, ValueError)]:
        assert issubclass(cls, errors.AerolumeError) and issubclass(cls, builtin)
    assert ConfigError is errors.ConfigError and CommandError is errors.CommandError


def test_a_file_error_carries_its_file_and_reason_through_pickling():
    err = errors.FileFormatError(pathlib.Path("night/a.nc"), "no raw_signal")
    back = pickle.loads(pickle.dumps(err))
    assert (back.path, back.reason, str(back)) == ("night/a.nc", "no raw_signal",
                                                   "night/a.nc: no raw_signal")
    assert errors.reason(back) == "no raw_signal"
    assert errors.reason(FileNotFoundError(2, "No such file or directory", "x")) == \
        "No such file or directory"


@pytest.mark.parametrize("reader", [io.read_pollyxt, io.read_cl61, io.read_chm15k, io.read_licel])
def test_readers_name_the_file_and_the_same_reason_whether_raising_or_skipping(reader, tmp_path):
    bad = tmp_path / "bad.nc"
    bad.write_bytes(b"CDF\x01" + b"\0" * 60)  # a netCDF signature and nothing readable
    with pytest.raises(ValueError) as raised:
        reader(bad)
    assert str(bad) in str(raised.value)
    why = errors.reason(raised.value)
    assert why and str(bad) not in why
    with warnings.catch_warnings(record=True) as caught, pytest.raises(ValueError):
        warnings.simplefilter("always")
        reader([bad], errors="skip")  # nothing left to read is still an error
    if caught:
        assert why.split(" (")[0] in str(caught[0].message)
