"""Fuzzing: no argument, keyword name, stand-in for quad or curve_fit, or attribute value
gets anything worse out of the modules than an ordinary exception carrying the module's
traceback entries.

The calls run in a child interpreter that logs each one before making it, so that a
crash fails the test with the call that caused it.  A systematic sweep (every awkward
value in every parameter and every attribute setter) is followed by random operations:
AEROLUME_FUZZ_CALLS of them, chosen by AEROLUME_FUZZ_SEED, for long runs.
AEROLUME_FUZZ_SWEEP=calls leaves the setters out of the sweep, =none skips it (for the
slow memory checker)."""
import json
import os
import pathlib

import pytest

TESTS = pathlib.Path(__file__).resolve().parent

from catalogue import public_functions  # noqa: E402

CALLS = int(os.environ.get("AEROLUME_FUZZ_CALLS", "10000"))
SEED = int(os.environ.get("AEROLUME_FUZZ_SEED", "6"))
SWEEP = os.environ.get("AEROLUME_FUZZ_SWEEP", "all")
INNER = ["Aerolume.lumafit.integral_extinction_coefficient.lambda",
         "Aerolume.lumafit.integral_extinction_coefficient.lambda1",
         "Aerolume.lumafit.rayleigh_fit.lambda2"]


def fuzz(python, tmp_path, seed, calls, poison=False):
    log, report = tmp_path / "calls.log", tmp_path / "report.json"
    # The deliberate crash is no finding of a sanitizer that may be watching.
    env = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":handle_segv=0"} if poison else {}
    run = python(f"import sys; sys.path.insert(0, {str(TESTS)!r})\n"
                 "import fuzzing\n"
                 f"fuzzing.main({seed}, {calls}, {str(log)!r}, {str(report)!r}, {poison}, "
                 f"{SWEEP!r})",
                 env_extra=env, timeout=max(900, calls // 20))
    if run.returncode != 0 or not report.exists():
        logged = log.read_text().splitlines() if log.exists() else []
        last = logged[-1] if logged else "(before the first call)"
        pytest.fail(f"the fuzzing interpreter died (exit status {run.returncode}, seed {seed}) "
                    f"at {last}\n{run.stderr[-4000:]}", pytrace=False)
    return json.loads(report.read_text())


def test_fuzzed_calls_fail_only_with_ordinary_exceptions(python, tmp_path):
    report = fuzz(python, tmp_path, SEED, CALLS)
    print(f"fuzzed {report['calls']} operations, seed {SEED}: {len(report['problems'])} problems")
    assert report["problems"] == []
    reached = report["reached"]
    for function in public_functions():
        assert reached.get(function.trace_name, 0) >= 20, function
    for inner in INNER:
        assert reached.get(inner, 0) >= 20, inner


def test_a_crash_fails_with_the_call_that_caused_it(python, tmp_path):
    with pytest.raises(pytest.fail.Exception) as failed:
        fuzz(python, tmp_path, SEED, 200, poison=True)
    assert "died" in str(failed.value) and "<poison: crashes the interpreter>" in str(failed.value)
