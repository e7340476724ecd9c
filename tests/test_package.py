"""The package's face: its version, and its public modules reachable from a bare
``import Aerolume``, each imported on first use.  Each case runs in a fresh interpreter,
outside the source tree, so that what is imported is what the case imports."""

import importlib.metadata
import json

import Aerolume


def run_json(python, code):
    done = python(code)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def test_version_is_the_distribution_version():
    from Aerolume.io import package_version

    assert Aerolume.__version__ == importlib.metadata.version("Aerolume")
    assert package_version() == Aerolume.__version__


def test_modules_are_imported_on_first_use_only(python):
    out = run_json(python, """
import json, sys
import Aerolume
loaded = lambda: sorted(m for m in sys.modules if m.startswith("Aerolume"))
listed = dir(Aerolume)
version = Aerolume.__version__
after_version = loaded()
retrieval = Aerolume.retrieval
print(json.dumps({
    "listed": listed, "after_dir_and_version": after_version,
    "same": retrieval is sys.modules["Aerolume.retrieval"],
    "cached": "retrieval" in vars(Aerolume),
    "version": version,
    "extension_modules": [m for m in ("Aerolume.lumafit", "Aerolume.lumaclean")
                          if m in sys.modules],
}))
""")
    for name in ("atmosphere", "io", "preprocess", "retrieval", "simulate", "uncertainty",
                 "depolarization", "quality", "lumafit", "lumaclean",
                 "__version__"):
        assert name in out["listed"], name
    # Private modules are not listed.
    assert not {"_core", "_checks", "_profiles"} & set(out["listed"])
    # dir() and the version import none of the modules.
    assert out["after_dir_and_version"] == ["Aerolume", "Aerolume._version"]
    assert out["same"] and out["cached"]
    assert out["extension_modules"] == []
    assert out["version"] == importlib.metadata.version("Aerolume")


def test_extension_modules_and_unknown_names(python):
    out = run_json(python, """
import json, sys
import Aerolume
fit = Aerolume.lumafit
errors = []
for name in ("no_such_module", "_core", "__wrapped__"):
    try:
        getattr(Aerolume, name)
    except AttributeError as exc:
        errors.append(str(exc))
print(json.dumps([fit is sys.modules["Aerolume.lumafit"], fit.molecular_number_density(0),
                  errors, "Aerolume._core" in sys.modules]))
""")
    same, density, errors, core = out
    assert same and density == 2.5469893546240854e+25
    # Private modules are not attributes until imported; unknown names fail as usual.
    assert errors == [f"module 'Aerolume' has no attribute '{n}'"
                      for n in ("no_such_module", "_core", "__wrapped__")]
    assert not core
