"""The fault campaign: what makes a run unusable unattended.  Inputs that would hang
(FIFOs, devices), interrupts of the long kernels, a full disk, dying Dask workers,
absurd values in raw headers, the configuration and the API, leftovers of killed runs;
and a seeded mutation fuzz of the raw-file reader.

Every case that could hang runs in a child process bounded by a timeout: a hang fails
the test rather than the suite.  AEROLUME_LICEL_FUZZ_CASES sets the number of fuzzed
raw files (default 3000), AEROLUME_LICEL_FUZZ_SEED their seed.
"""
import contextlib
import os
import pathlib
import random
import signal
import subprocess
import sys
import time
import warnings

import numpy as np
import pytest

from Aerolume import cli, io, retrieval

from Aerolume.processing import pipeline

from Aerolume.retrieval import reference
from Aerolume._files import write_atomically

pytestmark = pytest.mark.faults

TESTS = pathlib.Path(__file__).resolve().parent
EXAMPLES = TESTS.parent / "examples" / "data" / "licel"
RAW = sorted(EXAMPLES.glob("RM*"))
FUZZ_CASES = int(os.environ.get("AEROLUME_LICEL_FUZZ_CASES", "3000"))
FUZZ_SEED = int(os.environ.get("AEROLUME_LICEL_FUZZ_SEED", "19"))
# What a case may take before it counts as hanging (s): generous, for the sanitizer build.
HANG = 120


def child(code, cwd, timeout=HANG, **kw):
    """Runs `code` in a fresh interpreter; fails the test if it does not end in time."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    try:
        return subprocess.run([sys.executable, "-c", code], cwd=cwd, env=env, text=True,
                              capture_output=True, timeout=timeout, **kw)
    except subprocess.TimeoutExpired:
        pytest.fail(f"hung: no end within {timeout} s of\n{code}", pytrace=False)


def command(args, cwd, timeout=HANG):
    """`aerolume ARGS` in a child process: (exit status, standard error)."""
    run = child(f"import sys; from Aerolume.cli import main; sys.exit(main({list(args)!r}))",
                cwd, timeout)
    return run.returncode, run.stderr


def one_error_line(err, *names):
    """Standard error holds one error line, naming each of `names`; no traceback."""
    lines = [line for line in err.splitlines() if "warning:" not in line and line.strip()]
    assert len(lines) == 1 and lines[0].startswith("aerolume: error: "), err
    assert "Traceback" not in err
    for name in names:
        assert str(name) in lines[0], (name, lines[0])
    return lines[0]


@pytest.fixture
def fifo(tmp_path):
    path = tmp_path / "pipe.raw"
    os.mkfifo(path)
    return path


# ---- 1. inputs that would hang ---------------------------------------------------------

def test_a_fifo_or_device_given_as_a_raw_file_is_refused_without_waiting(tmp_path, fifo):
    code = ("from Aerolume.io import read_licel\n"
            f"for path in [{str(fifo)!r}, '/dev/zero']:\n"
            "    try:\n        read_licel(path)\n"
            "    except OSError as e:\n        print(e)\n")
    run = child(code, tmp_path)
    assert run.returncode == 0, run.stderr
    said = run.stdout.splitlines()
    assert said[0].startswith(str(fifo)) and "FIFO" in said[0]
    assert said[1].startswith("/dev/zero") and "device" in said[1]
    for args in (["info", str(fifo)], ["process", str(fifo), "-o", "out.nc", "-q"],
                 ["process", str(RAW[0]), "/dev/zero", "-o", "out.nc", "-q"]):
        status, err = command(args, tmp_path)
        assert status == 1
        one_error_line(err, "not a regular file")
    assert not (tmp_path / "out.nc").exists()


@pytest.mark.parametrize("sounding", ["fifo", "/dev/zero", "/dev/urandom"])
def test_a_sounding_that_is_no_regular_file_is_refused_naming_the_field(tmp_path, fifo,
                                                                         sounding):
    path = str(fifo) if sounding == "fifo" else sounding
    (tmp_path / "c.toml").write_text(f'[atmosphere]\nsounding = "{path}"\n')
    status, err = command(["process", *map(str, RAW), "-o", "out.nc", "-c", "c.toml", "-q"],
                          tmp_path)
    assert status == 1
    one_error_line(err, "c.toml", "[atmosphere] sounding", path, "not a regular file")


def test_a_sounding_read_is_bounded_in_size_and_levels(tmp_path, monkeypatch):
    levels = "\n".join(f"{z} {101325 * np.exp(-z / 8000):.1f} {288 - z / 200:.1f}"
                       for z in range(0, 20000, 100))
    path = tmp_path / "sounding.txt"
    path.write_text(levels)
    assert pipeline.read_sounding(path)[0].size == 200
    monkeypatch.setattr(pipeline, "SOUNDING_MAX_LEVELS", 50)
    with pytest.raises(ValueError, match=rf"{path}: line 51: more than 50 levels"):
        pipeline.read_sounding(path)
    monkeypatch.setattr(pipeline, "SOUNDING_MAX_BYTES", 1000)
    with pytest.raises(ValueError, match=rf"{path}: \d+ bytes, more than a sounding"):
        pipeline.read_sounding(path)
    path.write_bytes(b"0 101325 288\n\xff\xfe 9 9\n")
    with pytest.raises(ValueError, match=rf"{path}: not a text file"):
        pipeline.read_sounding(path)


# ---- 2. interrupts ----------------------------------------------------------------------

# Each a call that would run for hours; the child says "go" just before it.
KERNELS = {
    "klett_fernald_monte_carlo": "retrieval.klett_fernald(signal, r, mol, LIDAR_RATIO, "
                                 "REFERENCE, uncertainty=mc, threads=THREADS)",
    "raman_monte_carlo_extinction": "retrieval.raman_extinction(signal, r, mol, mol_r, "
                                    "uncertainty=mc_r, threads=THREADS)",
    "raman_monte_carlo_both": "retrieval.raman_retrieval(signal, signal, r, mol, mol_r, REFERENCE, "
                              "uncertainty=mc_both, threads=THREADS)",
}
# (A child started from a background job inherits SIGINT ignored: Python's handler is
# put back first.)
SETUP = """
import signal, sys, time
signal.signal(signal.SIGINT, signal.default_int_handler)
sys.path.insert(0, {tests!r})
import numpy as np
from Aerolume import retrieval, simulate
from Aerolume.uncertainty import MonteCarlo
from retrieval_cases import (LIDAR_RATIO, RAMAN_WAVELENGTH, REFERENCE, WAVELENGTH, aerosol,
                             grid, molecular)
THREADS = {threads}
r = grid(30.0)
mol, mol_r = molecular(r), molecular(r, RAMAN_WAVELENGTH)
signal = simulate.elastic(r, WAVELENGTH, np.tile(aerosol(r), ({profiles}, 1)), mol,
                          lidar_ratio=LIDAR_RATIO, constant=1e13)["signal"].values
mc = MonteCarlo(realisations=100000, noise=0.01, lidar_ratio=5.0)
mc_r = MonteCarlo(realisations=100000, raman_noise=0.01)
mc_both = MonteCarlo(realisations=100000, noise=0.01, raman_noise=0.01)
print("go", flush=True)
try:
    {call}
    print("finished")
except KeyboardInterrupt:
    print("KeyboardInterrupt", time.monotonic(), flush=True)
"""


def interrupt(code, cwd):
    """Starts `code`, interrupts it once it says "go" (and a moment after), and returns
    what it printed and the seconds from the interrupt to the KeyboardInterrupt (the
    same system-wide clock in both processes)."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    with subprocess.Popen([sys.executable, "-c", code], cwd=cwd, env=env, text=True,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
        try:
            assert proc.stdout.readline().strip() == "go", proc.stderr.read()
            time.sleep(0.5)  # well inside the kernel
            sent = time.monotonic()
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=HANG)
            said = out.split()
            return said, err, float(said[1]) - sent if said[:1] == ["KeyboardInterrupt"] else None
        except subprocess.TimeoutExpired:
            proc.kill()
            pytest.fail(f"the interrupt did not stop the call within {HANG} s", pytrace=False)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("kernel", KERNELS)
def test_an_interrupt_stops_a_long_kernel_with_keyboard_interrupt(tmp_path, kernel, threads):
    code = SETUP.format(tests=str(TESTS), threads=threads, profiles=4, call=KERNELS[kernel])
    out, err, seconds = interrupt(code, tmp_path)
    assert out[:1] == ["KeyboardInterrupt"], (out, err)
    print(f"{kernel}, {threads} thread(s): stopped {seconds:.3f} s after the interrupt")


def test_an_interrupted_command_ends_with_status_130(tmp_path):
    (tmp_path / "c.toml").write_text("[uncertainty]\nrealisations = 100000\n")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    code = ("import signal, sys; from Aerolume.cli import main\n"
            "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
            f"sys.exit(main(['process', *{list(map(str, RAW))!r}, '-o', 'out.nc', "
            "'-c', 'c.toml', '-q']))")
    with subprocess.Popen([sys.executable, "-c", code], cwd=tmp_path, env=env, text=True,
                          stderr=subprocess.PIPE) as proc:
        time.sleep(8)  # into the retrievals' Monte Carlo
        proc.send_signal(signal.SIGINT)
        try:
            err = proc.communicate(timeout=HANG)[1]
        except subprocess.TimeoutExpired:
            proc.kill()
            pytest.fail("the interrupted command did not end", pytrace=False)
    assert proc.returncode == 130, err
    assert "interrupted" in err and "Traceback" not in err
    assert not list(tmp_path.glob(".out.nc.*")) and not (tmp_path / "out.nc").exists()


def test_realisations_have_a_documented_bound(tmp_path):
    from Aerolume.uncertainty import MAX_REALISATIONS, MonteCarlo
    assert MonteCarlo(realisations=MAX_REALISATIONS).realisations == MAX_REALISATIONS
    for bad in (MAX_REALISATIONS + 1, 10**9, 10**400):
        with pytest.raises(ValueError, match="realisations must be from 2 to"):
            MonteCarlo.of({"realisations": bad})


# ---- 3. full disk, dying workers, absurd threads -------------------------------------------

@pytest.fixture(scope="module")
def result():
    """A processed example night, to write."""
    from Aerolume.processing import config
    files = list(map(str, RAW))
    cfg = config.load_config(None)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return cfg, pipeline.process(files, cfg)


def test_a_full_disk_is_one_line_naming_the_output_and_keeps_the_previous_file(
        tmp_path, monkeypatch, result):
    import shutil

    cfg, res = result
    out = tmp_path / "out.nc"
    out.write_text("previous")

    def full(ds, path, **kw):
        pathlib.Path(path).write_bytes(b"\x89HDF partial")
        raise RuntimeError("NetCDF: HDF error")
    monkeypatch.setattr(io, "to_netcdf", full)
    monkeypatch.setattr(shutil, "disk_usage", lambda p: shutil._ntuple_diskusage(1 << 30, 1 << 30, 0))
    with pytest.raises(OSError) as caught:
        pipeline.write(res, out, cfg)
    assert caught.value.filename == str(out) and "no space left on device" in str(caught.value)
    assert out.read_text() == "previous"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.nc"]


@pytest.mark.skipif(os.geteuid() != 0, reason="mounting a small file system needs root")
def test_a_full_file_system_from_the_command_line(tmp_path):
    small = tmp_path / "small"
    small.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=300k", "tmpfs", str(small)],
                      capture_output=True).returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    try:
        (small / "out.nc").write_text("previous")
        status, err = command(["process", *map(str, RAW), "-o", str(small / "out.nc"), "-q"],
                              tmp_path)
        assert status == 1
        one_error_line(err, small / "out.nc", "no space left on device")
        assert (small / "out.nc").read_text() == "previous"
        assert [p.name for p in small.iterdir()] == ["out.nc"]
    finally:
        subprocess.run(["umount", str(small)], capture_output=True)


DASK = """
import os, sys
from Aerolume.processing import runners as scaleout
from Aerolume.processing.runners import OnDask

def die(item, stopwatch=None):
    os._exit(1)

def fine(item, stopwatch=None):
    return item

if __name__ == "__main__":
    scaleout.NO_WORKER_TIMEOUT = {timeout}
    with OnDask(workers=1) as run:
        assert [r.value for r in run.map(fine, [1, 2])] == [1, 2]
        {case}
"""


@pytest.mark.parametrize("case", ["killed", "no_workers"])
def test_dask_workers_dying_end_the_run_in_one_line_naming_the_block(tmp_path, case):
    pytest.importorskip("distributed")
    body = {
        "killed": "try:\n            run.map(die, [['a.raw', 'b.raw']])\n"
                  "        except OSError as e:\n            print(e)",
        "no_workers": "run.cluster.scale(0)\n        import time; time.sleep(3)\n"
                      "        try:\n            run.map(fine, [['c.raw']])\n"
                      "        except OSError as e:\n            print(e)",
    }[case]
    script = tmp_path / "dask_case.py"
    script.write_text(DASK.format(case=body, timeout=3.0 if case == "no_workers" else 60.0))
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    try:
        run = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env, text=True,
                             capture_output=True, timeout=HANG)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{case}: the run hung", pytrace=False)
    said = run.stdout.strip().splitlines()
    assert run.returncode == 0 and len(said) == 1, (run.stdout, run.stderr[-3000:])
    if case == "killed":
        assert "a.raw, b.raw" in said[0] and "died 3 times" in said[0]
    else:
        assert "no worker" in said[0] and "c.raw" in said[0]


def test_a_thread_count_past_the_bound_is_refused_naming_it(tmp_path):
    (tmp_path / "c.toml").write_text("[processing]\nthreads = 9223372036854775807\n")
    status, err = in_process(["process", *map(str, RAW), "-o", str(tmp_path / "o.nc"),
                              "-c", str(tmp_path / "c.toml"), "-q"])
    assert status == 1
    one_error_line(err, "c.toml", "[processing] threads", "4096")
    for threads in (2**63, 10**400, 4097):
        with pytest.raises(ValueError, match="threads must be None or an integer from 1 to 4096"):
            io.read_licel(RAW[0], threads=threads)


# ---- 4 and 5. configuration values and messages ------------------------------------------

def in_process(args):
    """The command run here (for cases refused before any work): (status, stderr)."""
    import io as _io
    err = _io.StringIO()
    with contextlib.redirect_stderr(err):
        status = cli.main(args)
    return status, err.getvalue()


@pytest.mark.parametrize("text, field", [
    ("[klett]\nlidar_ratio = 1e308\n", "[klett] lidar_ratio"),
    ('[[raman]]\nelastic = "355_an"\nraman = "387_an"\nwindow = 1e9\n', "window"),
    ("[corrections]\naverage = { range = 0 }\n", "[corrections] average"),
    ("[corrections]\naverage = { range = 1000000000 }\n", "[corrections] average"),
    ('[corrections]\ndead_time = "3.7"\n', "[corrections] dead_time"),
    ('[corrections]\ndead_time = { 355_pc = "3.7" }\n', "[corrections] dead_time"),
    ("[uncertainty]\nrealisations = 1000000000\n", "[uncertainty] realisations"),
    # Against the data's gates (7.5 m, 16380 of them).
    ("[corrections]\naverage = { range = 100000 }\n", "[corrections] average"),
    ('[[raman]]\nelastic = "355_an"\nraman = "387_an"\nwindow = 7.5\n', "[[raman]] #1 window"),
    ('[corrections]\naverage = { range = 4 }\n[[raman]]\nelastic = "355_an"\n'
     'raman = "387_an"\nwindow = 45.0\n', "[[raman]] #1 window"),
], ids=["lidar_ratio", "window", "average_zero", "average_huge", "dead_time_text",
        "dead_time_table", "realisations", "average_past_the_gates", "window_under_3_gates",
        "window_under_3_averaged_gates"])
def test_absurd_configuration_values_are_refused_before_any_work(tmp_path, text, field):
    config = tmp_path / "c.toml"
    config.write_text(text)
    out = tmp_path / "o.nc"
    status, err = in_process(["process", *map(str, RAW), "-o", str(out), "-c", str(config),
                              "-q"])
    assert status == 1
    one_error_line(err, config, field)
    assert not out.exists()


def test_a_configuration_with_a_byte_order_mark_is_read():
    from Aerolume.processing import config
    import tempfile
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "c.toml"
        path.write_bytes(b"\xef\xbb\xbf[klett]\nlidar_ratio = 40\n")
        assert config.load_config(path)["klett"]["lidar_ratio"] == 40.0


@pytest.mark.parametrize("call, names", [
    (lambda s, r, m: reference.find_reference(s, r, m, search=(3000.0,)), "search"),
    (lambda s, r, m: reference.find_reference(s, r, m, width=None), "width"),
    (lambda s, r, m: retrieval.lidar_ratio(np.ones(599), np.ones(600)), "backscatter"),
    (lambda s, r, m: retrieval.raman_extinction(s, r, m, molecular_raman=None), "molecular_raman"),
    (lambda s, r, m: io.read_licel("no-such-\udcff.raw"), "not valid UTF-8"),
    (lambda s, r, m: io.read_licel(os.fsencode(str(RAW[0]) + ".missing")), "missing"),
    (lambda s, r, m: reference.find_reference(s, r, m, width=10**400), "width"),
    (lambda s, r, m: reference.find_reference(s[:0], r, m), "signal holds no profile"),
], ids=["search", "width", "lidar_ratio", "molecular_raman", "file_name", "bytes_path",
        "width_past_float", "no_profile"])
def test_api_refusals_name_the_argument(call, names):
    sys.path.insert(0, str(TESTS))
    from retrieval_cases import grid, molecular
    r = grid(30.0)
    with pytest.raises((ValueError, TypeError, OSError)) as caught:
        call(np.ones((2, r.size)), r, molecular(r))
    assert names in str(caught.value)


def header_edit(tmp_path, old, new, line=1):
    """A copy of the first example file with `old` replaced by `new` (as long) on header
    line `line` (from 0)."""
    assert len(old) == len(new)
    data = bytearray(RAW[0].read_bytes())
    lines = data.split(b"\r\n", 9)
    assert old.encode() in lines[line], lines[line]
    lines[line] = lines[line].replace(old.encode(), new.encode(), 1)
    path = tmp_path / RAW[0].name
    path.write_bytes(b"\r\n".join(lines))
    return path


@pytest.mark.parametrize("line, old, new, field", [
    (1, " 0100 ", " 9e99 ", "station altitude"),
    (1, "16/06/2012 00:00:31", "14/06/2012 00:00:31", "stop time"),
    (3, " 7.50 ", " 1e-9 ", "bin width"),
    (3, " 0.100 ", " 0.000 ", "input range"),
    (3, " 0.100 ", " -1.00 ", "input range"),
    (3, " 0.100 ", " 9e300 ", "input range"),
], ids=["altitude", "stop_before_start", "bin_width", "input_range_zero",
        "input_range_negative", "input_range_huge"])
def test_impossible_header_values_are_refused_naming_file_data_set_and_field(
        tmp_path, line, old, new, field):
    path = header_edit(tmp_path, old, new, line)
    with pytest.raises(ValueError) as caught:
        io.read_licel(path)
    message = str(caught.value)
    assert message.startswith(str(path)) and field in message
    if line == 3:
        assert "data set 1 (355 nm" in message
    # Skipped like any unreadable file, the others read.
    others = [str(p) for p in RAW[1:]]
    with pytest.warns(RuntimeWarning, match="skipped 1 of 5"):
        assert io.read_licel([str(path), *others], errors="skip").sizes["time"] == 4


@pytest.mark.parametrize("old, new, name, expected", [
    ("30.0 1013.0", "-999 1013.0", "temperature", "below absolute zero"),
    ("30.0 1013.0", "30.0 -005.0", "pressure", "not positive"),
    ("30.0 1013.0", "30.0 0250.0", "pressure", "unusual"),
])
def test_unusual_header_values_are_warned_about(tmp_path, old, new, name, expected):
    path = header_edit(tmp_path, old, new)
    with pytest.warns(RuntimeWarning, match=f"{name} .* {expected}") as caught:
        ds = io.read_licel(path)
    assert str(path) in str(caught[0].message)
    if expected != "unusual":
        assert np.isnan(ds[name].values).all()
    else:
        assert ds[name].values[0] == 25000.0


# ---- 6. leftovers ----------------------------------------------------------------------

def test_temporary_files_of_killed_writes_are_removed_by_the_next_and_live_ones_kept(tmp_path):
    out = tmp_path / "out.nc"
    stale = tmp_path / ".out.nc.k1ll3d_9.part"
    stale.write_text("left by kill -9")
    other = tmp_path / ".other.nc.abcdefgh.part"  # another output's
    other.write_text("x")
    # A write under way in another process holds its temporary file's lock.
    live = tmp_path / ".out.nc.running.part"
    live.write_text("being written")
    holder = subprocess.Popen(
        [sys.executable, "-c", "import fcntl, os, sys, time\n"
         f"fd = os.open({str(live)!r}, os.O_RDWR); fcntl.lockf(fd, fcntl.LOCK_EX)\n"
         "print('locked', flush=True); time.sleep(60)"], stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "locked"
        write_atomically(out, lambda t: pathlib.Path(t).write_text("new"))
    finally:
        holder.kill()
        holder.wait()
    assert out.read_text() == "new" and not stale.exists()
    assert other.exists() and live.exists()


def test_many_skipped_files_are_summarised_and_listed_in_a_file(tmp_path):
    bad = []
    for i in range(25):
        path = tmp_path / f"bad{i:02}.raw"
        path.write_text("not a raw file\n")
        bad.append(str(path))
    with pytest.warns(RuntimeWarning) as caught:
        ds = io.read_licel([*bad, str(RAW[0])], errors="skip")
    assert ds.sizes["time"] == 1
    message = str(caught[0].message)
    assert message.startswith("read_licel skipped 25 of 26 file(s); the first 10")
    assert len(message.splitlines()) == 11
    listing = pathlib.Path(message.split("listed in ", 1)[1].split(")", 1)[0])
    try:
        assert [line.split(":", 1)[0] for line in listing.read_text().splitlines()] == bad
    finally:
        listing.unlink()


# ---- the raw-file reader under mutation ---------------------------------------------------

def mutate(rng, data):
    """A copy of `data` with bytes flipped, cut, inserted or a header field rewritten."""
    blob = bytearray(data)
    header = blob.index(b"\r\n\r\n") + 4
    kind = rng.choice(["flip", "flip_header", "truncate", "insert", "delete", "digits"])
    if kind == "flip":
        for _ in range(rng.randint(1, 8)):
            blob[rng.randrange(len(blob))] = rng.randrange(256)
    elif kind == "flip_header":
        for _ in range(rng.randint(1, 4)):
            blob[rng.randrange(header)] = rng.randrange(256)
    elif kind == "truncate":
        del blob[rng.randrange(len(blob)):]
    elif kind == "insert":
        at = rng.randrange(header + 8) if rng.random() < 0.7 else rng.randrange(len(blob))
        blob[at:at] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 16)))
    elif kind == "delete":
        at = rng.randrange(header)
        del blob[at:at + rng.randint(1, 16)]
    else:  # a header number replaced by another of the same length
        digits = [i for i in range(header) if chr(blob[i]).isdigit()]
        for i in rng.sample(digits, rng.randint(1, 3)):
            blob[i] = ord(rng.choice("0123456789-.e+"))
    return kind, bytes(blob)


def test_mutated_raw_files_read_or_are_refused_naming_the_file(tmp_path):
    import xarray as xr

    rng = random.Random(FUZZ_SEED)
    # The plain files and their scanning variant (the scan line after the location line).
    originals, names = [], []
    for p in RAW:
        blob = p.read_bytes()
        second = blob.index(b"\r\n", blob.index(b"\r\n") + 2) + 2
        originals += [blob, blob[:second] + b" 010.0 350.0 0020.0 -90.0 -30.0 015.0 0012.5\r\n"
                      + blob[second:]]
        names += [p.name, f"{p.name} (scanning)"]
    outcomes = {}
    for case in range(FUZZ_CASES):
        k = rng.randrange(len(originals))
        kind, blob = mutate(rng, originals[k])
        path = tmp_path / f"case{case % 50:02}_{RAW[k // 2].name}"
        path.write_bytes(blob)
        label = f"case {case} (seed {FUZZ_SEED}, {kind} of {names[k]})"
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                ds = io.read_licel(path)
        except (ValueError, OSError) as e:
            assert str(path) in str(e), f"{label}: {type(e).__name__} without the file: {e}"
            assert "\n" not in str(e), f"{label}: more than one line: {e}"
            outcomes["refused"] = outcomes.get("refused", 0) + 1
        except Exception as e:  # noqa: BLE001 - any other type is the finding
            pytest.fail(f"{label}: {type(e).__name__}: {e}", pytrace=False)
        else:
            assert isinstance(ds, xr.Dataset)
            signal = ds["signal"].values
            assert not np.isinf(signal).any(), f"{label}: infinite signal"
            assert np.isfinite(ds["range"].values).all(), f"{label}: infinite range"
            outcomes["read"] = outcomes.get("read", 0) + 1
    print(f"fuzzed {FUZZ_CASES} raw files (seed {FUZZ_SEED}): {outcomes}")
    assert sum(outcomes.values()) == FUZZ_CASES
    if FUZZ_CASES >= 1000:
        assert outcomes.get("read", 0) > 50 and outcomes.get("refused", 0) > 500
