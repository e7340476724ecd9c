import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

# The source folder holds the package's Python files but not its built modules: the
# tests run against the package as installed (or installed in editable mode, where an
# import hook supplies the built modules), whichever way pytest was started.
sys.path[:] = [p for p in sys.path if pathlib.Path(p or os.getcwd()).resolve() != ROOT]
# The suite's own helper modules (the catalogue of calls, the leak measurement, the shared
# retrieval cases, the sample-file makers) are imported by name from here.
sys.path.insert(0, str(ROOT / "tests"))

try:
    import Aerolume  # noqa: E402
    import Aerolume._core  # noqa: E402,F401
    import Aerolume.lumaclean  # noqa: E402,F401
    import Aerolume.lumafit  # noqa: E402,F401
except ImportError as exc:
    raise RuntimeError("the tests need Aerolume built and installed (python -m pip install "
                       f"'.[test]', or -e for an editable install): {exc}") from exc


def run_python(code, *, cwd, env_extra=None, args=(), timeout=300):
    """Runs `code` in a fresh interpreter of this environment, outside the source tree."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env.update(env_extra or {})
    return subprocess.run([sys.executable, *args, "-c", code], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=timeout)


@pytest.fixture
def python(tmp_path):
    """Runs code in a child interpreter; returns the completed process."""
    def run(code, **kw):
        return run_python(code, cwd=tmp_path, **kw)
    return run


class _FitStopped(Exception):
    pass


@pytest.fixture
def make_inner(monkeypatch):
    """Makes fresh inner function objects of Aerolume.lumafit, caught from the calls that
    create them: returns [the two integrands, the fit model] of one round of calls."""
    import numpy as np
    import Aerolume.lumafit as lumafit

    def make():
        caught = []

        def quad(f, a, b):
            caught.append(f)
            return 0.0, 0.0

        def curve_fit(f, x, y):
            caught.append(f)
            raise _FitStopped

        with monkeypatch.context() as m:
            m.setitem(vars(lumafit), "quad", quad)
            m.setitem(vars(lumafit), "curve_fit", curve_fit)
            lumafit.integral_extinction_coefficient([1.0], 2.0, 3.0)
            with pytest.raises(_FitStopped):
                lumafit.rayleigh_fit(np.ones(3), np.array([8000.0, 9000.0, 10000.0]), 5.32e-7)
        # The stand-ins may outlive this call in the module's lookup caches: they must not
        # keep the functions alive.
        made = list(caught)
        caught.clear()
        return made

    return make


# Tiers of the suite, for the checking runs of CI that repeat it under other builds (see
# .ci/run): `pipeline` marks the whole-command runs (the command line, the writers and
# the checkers of their files, the example figures, the docs' blocks and docstrings),
# whose kernels the unit tests already drive under the sanitizers and the debug
# interpreter; `leak_measurement` marks the repeated-call measurement, which needs the
# ordinary allocator and a release build to mean anything.
PIPELINE_FILES = {
    "test_cf.py", "test_cli.py", "test_cli_config.py", "test_cli_runners.py",
    "test_depolarization_process.py", "test_docs_blocks.py", "test_docstrings.py",
    "test_earlinet.py", "test_example.py", "test_klett_sample.py", "test_molecular_docs.py",
    "test_nights.py", "test_output_compression.py", "test_overlap_dead_time.py",
    "test_process_formats.py", "test_roundtrip.py", "test_scc.py", "test_scc_sounding.py",
}


def pytest_collection_modifyitems(items):
    for item in items:
        if item.path.name in PIPELINE_FILES:
            item.add_marker(pytest.mark.pipeline)
        if item.path.name == "test_leaks.py" and item.name.startswith("test_no_call_leaks"):
            item.add_marker(pytest.mark.leak_measurement)
