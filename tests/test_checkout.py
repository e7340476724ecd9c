"""The package used from a clone of its sources: run from the clone's root, where the
set-up leaves the user, the installed copy is what gets imported (the sources live under
src/, so nothing in the root can shadow it); without an installed copy there is no
package to import; an import hook that supplies the built modules (an editable install)
is used."""
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run_python(code, cwd, args=(), timeout=300):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    return subprocess.run([sys.executable, *args, "-c", code], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=timeout)

QUICK_START = """
import numpy as np
import Aerolume.lumafit as lumafit

wavelength = 5.32e-7
distances = np.arange(30, 15000, 30)
signal = lumafit.fit_func(distances, 2.5e3, wavelength) / distances**2
beta_A, C = lumafit.rayleigh_fit(signal, distances, wavelength)
from Aerolume import lumaclean, _checks, _core
print(C, lumafit.__file__, lumaclean.__file__, _core.__file__, _checks.__file__)
"""


def test_the_quick_start_runs_from_the_clone_root():
    run = run_python(QUICK_START, cwd=ROOT)
    assert run.returncode == 0, run.stderr[-2000:]
    C, *files = run.stdout.split()
    assert float(C) == 2500.0
    # Built modules and Python files alike come from one built copy.
    folders = {pathlib.Path(f).parent for f in files}
    assert len(folders) == 1
    assert all(any(folder.glob(f"{name}.*")) for folder in folders
               for name in ("lumafit", "lumaclean", "_core"))


def test_the_demonstration_runs_from_the_clone_root():
    run = run_python("import runpy; runpy.run_module('Aerolume', run_name='__main__')",
                     cwd=ROOT, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]


def test_a_clone_without_an_installed_copy_has_no_package_to_import():
    # Without the site folder nothing is installed, editable or not; the sources are not
    # a half-built package found by accident.
    run = run_python("import Aerolume", cwd=ROOT, args=["-S"])
    assert run.returncode != 0
    message = run.stderr.strip().splitlines()[-1]
    assert message == "ModuleNotFoundError: No module named 'Aerolume'"


def test_an_import_hook_that_supplies_the_built_modules_is_used(tmp_path):
    # As an editable install does: the package's Python files from the sources, its
    # built modules through a finder on sys.meta_path; the package's folder stays its
    # own (an installed copy found on sys.path would have replaced it).
    shutil.copytree(ROOT / "src" / "Aerolume", tmp_path / "Aerolume",
                    ignore=shutil.ignore_patterns("__pycache__"))
    code = textwrap.dedent(f"""
        import importlib.machinery, sys
        built = next(spec.submodule_search_locations[0] for spec in (
            importlib.machinery.PathFinder.find_spec("Aerolume", [entry])
            for entry in sys.path if entry not in ("", {str(tmp_path)!r})) if spec)
        class Hook:
            @staticmethod
            def find_spec(name, path=None, target=None):
                if name.startswith("Aerolume.") and name.count(".") == 1:
                    return importlib.machinery.PathFinder.find_spec(name, [built])
        sys.meta_path.insert(0, Hook)
        import numpy
        import Aerolume, Aerolume.lumafit as lumafit
        print(Aerolume.__path__ == [{str(tmp_path / "Aerolume")!r}],
              lumafit.molecular_number_density(0.0))
    """)
    run = run_python(code, cwd=tmp_path)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.split() == ["True", "2.5469893546240854e+25"]
