"""Leak checks: repeated calls, on every success and every distinct failure path, leave
the interpreter's allocated blocks and the function and scope objects where they were;
released scopes keep nothing alive on their free lists; cycles through inner functions
are collected; importing a module again gives the same module."""
import gc
import importlib
import json
import pathlib
import sys
import weakref

import numpy as np
import pytest

TESTS = pathlib.Path(__file__).resolve().parent

import catalogue as cat  # noqa: E402
import leakcheck  # noqa: E402
from Aerolume import lumafit  # noqa: E402

# The block counts are pymalloc's: the checking interpreter uses it whatever the suite's.
PYMALLOC = {"PYTHONMALLOC": "pymalloc"}


def child(python, tmp_path, code):
    report = tmp_path / "report.json"
    run = python(f"import sys; sys.path.insert(0, {str(TESTS)!r})\nimport leakcheck\n" +
                 code.format(report=str(report)), env_extra=PYMALLOC, timeout=900)
    assert run.returncode == 0 and report.exists(), run.stderr[-4000:]
    return json.loads(report.read_text())


def test_no_call_leaks_memory_or_objects(python, tmp_path):
    results = child(python, tmp_path, "leakcheck.main({report!r})")
    measured = [r for r in results if "growth" in r]
    growing = [r for r in measured if r["growth"] > 0]
    leaked = sum(r["growth"] for r in growing)
    calls = sum(r["measured_calls"] for r in measured)
    print(f"{len(measured)} cases, {sum(r['calls'] for r in measured)} calls: "
          f"{leaked * 10000 / calls:.2f} blocks leaked per 10000 calls")
    assert growing == []
    assert [r for r in results if r.get("objects")] == []
    names = {r["case"].split("(")[0] for r in measured}
    for function in cat.public_functions():
        assert function.trace_name in names


def test_the_measurement_sees_one_block_in_a_hundred_calls(python, tmp_path):
    results = child(python, tmp_path, """
import json
kept, count = [], [0]
def case():
    count[0] += 1
    if count[0] % 100 == 0:
        kept.append(object())
json.dump([leakcheck.measure("leaking", case)], open({report!r}, "w"))""")
    assert results[0]["rounds"] == leakcheck.MAX_ROUNDS and results[0]["growth"] > 0


def capture_integrand(alpha_M, alpha_A):
    """The first integrand of a call, with the call's scope behind it."""
    found = []

    def quad(f, a, b):
        found.append(f)
        return 0.0, 0.0
    with cat.Rebound(lumafit, "quad", quad):
        lumafit.integral_extinction_coefficient([1.0], alpha_M, alpha_A)
    return found[0]


class Marker:
    pass


def test_a_released_scope_keeps_nothing_alive_and_a_reused_one_holds_only_its_call():
    markers = [Marker() for _ in range(24)]
    refs = [weakref.ref(m) for m in markers]
    # More scopes alive at once than the free list holds, then all released to it.
    integrands = [capture_integrand(markers[i], markers[i + 12]) for i in range(12)]
    assert [f(0.0) for f in integrands] == markers[:12]
    del integrands, markers
    assert [r() for r in refs] == [None] * 24
    fresh = [Marker(), Marker()]
    f = capture_integrand(*fresh)
    assert f(0.0) is fresh[0]
    scope = [o for o in gc.get_referents(f) if type(o) in cat.scope_types()]
    assert len(scope) == 1 and gc.get_referents(scope[0]) == [fresh[1], fresh[0]]


@pytest.mark.parametrize("through", ["the scope", "the function's __dict__"])
def test_a_cycle_through_an_inner_function_is_collected(through):
    marker = Marker()
    if through == "the scope":
        box = [marker]
        f = capture_integrand(box, box)
        box.append(f)
        del box
    else:
        f = capture_integrand(marker, 1e-4)
        f.me = f
    refs = [weakref.ref(marker), weakref.ref(f)]
    del marker, f
    assert all(r() is not None for r in refs)  # held by the cycle alone
    gc.collect()
    assert [r() for r in refs] == [None, None]


@pytest.mark.parametrize("name", sorted(cat.FILES))
def test_importing_again_or_reloading_gives_the_same_module(name):
    module = importlib.import_module(name)
    del sys.modules[name]
    assert importlib.import_module(name) is module
    assert importlib.reload(module) is module and sys.modules[name] is module
    assert np is module.np
