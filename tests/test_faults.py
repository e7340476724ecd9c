"""Faults the robustness checks found, kept as regression cases."""
import contextlib
import traceback
import warnings
import sys
import functools
import types
import weakref

import numpy as np
import pytest

from Aerolume import lumafit

WL = 5.32e-7

CHAINS = {
    # Each integrand captured by the scope of the next call, as its alpha_M and alpha_A.
    "integrands": """
box = []
lumafit.quad = lambda f, a, b: (box.append(f), (0.0, 0.0))[1]
link = 1e-4
for _ in range(DEPTH):
    box.clear()
    lumafit.integral_extinction_coefficient([1.0], link, link)
    link = box[0]
box.clear()
""",
    # Each fit model captured by the next call as its wavelength.
    "fit models": """
box = []
def curve_fit(f, x, y):
    box.append(f)
    raise RuntimeError("enough")
lumafit.curve_fit = curve_fit
link = 5.32e-7
for _ in range(DEPTH):
    box.clear()
    try:
        lumafit.rayleigh_fit(np.ones(3), np.array([8000.0, 9000.0, 9500.0]), link)
    except RuntimeError:
        pass
    link = box[0]
box.clear()
""",
    # Inner functions as each other's __module__.
    "__module__ attributes": """
box = []
lumafit.quad = lambda f, a, b: (box.append(f), (0.0, 0.0))[1]
for _ in range(DEPTH // 2):
    lumafit.integral_extinction_coefficient([1.0], 1.0, 1.0)
link = None
for f in box:
    f.__module__, link = link, f
del box[:], f
""",
}


@pytest.mark.parametrize("chain", CHAINS.values(), ids=CHAINS.keys())
def test_a_long_chain_of_inner_functions_is_released_without_overflowing_the_stack(python, chain):
    # Released one C frame per link, such a chain overflowed the stack: here the last
    # reference goes in a thread with a small stack.  From 3.13 the interpreter's
    # trashcan only defers releases after its C recursion budget (thousands of levels,
    # as for its own closures), so the thread gets room for that budget.
    stack = (256 << 10) if sys.version_info < (3, 13) else (64 << 20)
    run = python("import threading\nimport numpy as np\nfrom Aerolume import lumafit\n"
                 "DEPTH = 50000\n" + chain + "kept = [link]\ndel link\n"
                 f"threading.stack_size({stack})\n"
                 "release = threading.Thread(target=kept.clear)\n"
                 "release.start(); release.join()\nprint('released')")
    assert run.returncode == 0 and run.stdout == "released\n", run.stderr[-2000:]


@contextlib.contextmanager
def patched(owner, name, value):
    saved = getattr(owner, name)
    setattr(owner, name, value)
    try:
        yield
    finally:
        setattr(owner, name, saved)


def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def numpy_copy():
    """A module equal to NumPy that is not NumPy: the native passes stay out."""
    copy = types.ModuleType("numpy")
    copy.__dict__.update(np.__dict__)
    return copy


RANGES = np.linspace(30.0, 19000.0, 50)  # on both sides of the 11.0191 km band limit


@pytest.mark.parametrize("view", [lambda a: a, lambda a: a[::-1]],
                         ids=["the ranges themselves", "the ranges reversed"])
def test_theoretical_signal_written_into_its_own_ranges(view):
    # A patched np.zeros_like handing back the input: the native pass used to read the
    # ranges it had overwritten and ran past the end of the array.
    def zeros_like(a, *args, **kwargs):
        return view(a)

    ranges = RANGES.copy()
    with patched(np, "zeros_like", zeros_like):
        fast = lumafit.theoretical_rayleigh_signal(ranges, WL)
        slow_ranges = RANGES.copy()
        # An equal wrapper in place of the module's own function: the body as written.
        with patched(lumafit, "rayleigh_scattering_coefficient",
                     functools.partial(lumafit.rayleigh_scattering_coefficient)):
            slow = lumafit.theoretical_rayleigh_signal(slow_ranges, WL)
    assert np.shares_memory(fast, ranges)
    assert same_bits(fast, slow) and same_bits(ranges, slow_ranges)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_backscatter_written_into_the_corrected_signal():
    # beta_A sharing memory with D_z, and a gate (the last) that the native pass gives up
    # on: the loop as written then ran on the numerators the pass had left in D_z.
    distances = np.linspace(7000.0, 11000.0, 40)
    signal = lumafit.fit_func(distances, 3e3, WL) / distances ** 2
    signal[-1] = np.inf
    own = {}
    real_zeros_like = np.zeros_like

    def corrected(s, d):
        own["D_z"] = s * d ** 2
        return own["D_z"]

    def integrals(*args):
        own["last"] = True  # from here on, zeros_like(distances) hands back D_z
        return lumafit_integral(*args)

    def zeros_like(a, *args, **kwargs):
        return own["D_z"] if own.get("last") else real_zeros_like(a, *args, **kwargs)

    lumafit_integral = lumafit.integral_extinction_coefficient
    results, corrected_signals = [], []
    for numpy_module in (np, numpy_copy()):
        own.clear()
        with patched(numpy_module, "zeros_like", zeros_like), \
                patched(lumafit, "np", numpy_module), \
                patched(lumafit, "distance_square_corrected_signal", corrected), \
                patched(lumafit, "integral_extinction_coefficient", integrals):
            results.append(lumafit.rayleigh_fit(signal.copy(), distances, WL))
        corrected_signals.append(own["D_z"])
    (fast, C_fast), (slow, C_slow) = results
    assert np.shares_memory(fast, corrected_signals[0])
    assert C_fast == C_slow and same_bits(fast, slow)


def test_a_global_rebound_away_is_not_kept_alive_by_the_lookup_cache():
    # The module's lookup cache used to hold the last value a site had found, so a
    # stand-in for quad (and all it referred to) lived on after being rebound away.
    def quad(f, a, b):
        return 0.0, 0.0
    alive = weakref.ref(quad)
    with patched(lumafit, "quad", quad):
        lumafit.integral_extinction_coefficient([1.0], 1e-4, 1e-4)
    del quad
    assert alive() is None


@pytest.mark.parametrize("name", ["Aerolume.lumafit", "Aerolume.lumaclean"])
def test_importing_again_keeps_no_module_state_block(python, name):
    # Create hands back the module already executed; the interpreter dropped its state
    # block and allocated another on every import after the first.
    run = python(f"""
import gc, importlib, sys
import {name} as module
def imports(n):
    for _ in range(n):
        del sys.modules[{name!r}]
        assert importlib.import_module({name!r}) is module
imports(200)
gc.collect()
before = sys.getallocatedblocks()
imports(2000)
gc.collect()
print(sys.getallocatedblocks() - before)""", env_extra={"PYTHONMALLOC": "pymalloc"})
    assert run.returncode == 0, run.stderr
    assert int(run.stdout) < 200


def fit_outcome(*args):
    """rayleigh_fit's result or failure, with every warning it emitted, in order."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = lumafit.rayleigh_fit(*args)
        except Exception as exc:
            entries = [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
                       if f.filename.startswith("Aerolume\\")]
            result = (type(exc), entries)
    return result, [(w.category, str(w.message)) for w in caught]


@pytest.mark.parametrize("errors", [{}, {"over": "raise"}], ids=["warned", "raised"])
def test_backscatter_with_an_overflowing_exponential_warns_and_fails_as_the_loop(errors):
    # A gate far below the ground: exp(-2 tau) overflows there.  The native pass used to
    # take its exponentials before checking them, which added a warning of its own or,
    # with overflow raising, failed at the entry of line 224 instead of 225.
    distances = np.linspace(7000.0, 11000.0, 40)
    signal = lumafit.fit_func(distances, 3e3, WL) / distances ** 2
    distances[5] = -4e9
    outcomes = []
    for numpy_module in (np, numpy_copy()):
        with patched(lumafit, "np", numpy_module), np.errstate(**errors):
            outcomes.append(fit_outcome(signal.copy(), distances, WL))
    (fast, fast_warnings), (slow, slow_warnings) = outcomes
    assert fast_warnings == slow_warnings
    if isinstance(slow[0], np.ndarray):
        assert same_bits(fast[0], slow[0]) and fast[1] == slow[1]
    else:
        assert fast == slow
    # (A CPU emulator such as valgrind's may not raise the overflow flag at all.)
    if overflow_flag_raised():
        overflows = sum("overflow encountered in exp" in m for _, m in slow_warnings)
        assert overflows == (0 if errors else 2)
        assert not errors or slow[1][-1] == ("Aerolume.lumafit.rayleigh_fit", 225)


def overflow_flag_raised():
    with np.errstate(over="raise"):
        try:
            np.exp(np.array([1000.0]))
        except FloatingPointError:
            return True
    return False


@contextlib.contextmanager
def deleted(namespace, name):
    saved = namespace.pop(name)
    try:
        yield
    finally:
        namespace[name] = saved


@pytest.mark.parametrize("name, entries", [
    ("rayleigh_scattering_coefficient", [129]),
    ("rayleigh_scattering_cross_section", [129, 77]),
    ("molecular_number_density", [129, 78]),
])
def test_theoretical_signal_looks_up_only_what_the_loop_would(name, entries):
    # The native pass checked the module's functions before the loop had run: a missing
    # one raised NameError for an empty array, and at line 126 instead of inside the loop.
    with deleted(vars(lumafit), name):
        empty = lumafit.theoretical_rayleigh_signal(np.array([]), WL)
        with pytest.raises(NameError) as caught:
            lumafit.theoretical_rayleigh_signal(np.array([100.0]), WL)
    assert empty.dtype == np.float64 and empty.shape == (0,)
    lines = [f.lineno for f in traceback.extract_tb(caught.value.__traceback__)
             if f.filename.startswith("Aerolume\\")]
    assert lines == entries


def test_a_module_without_builtins_keeps_its_traceback_entries():
    # The entry's frame was made while the exception was pending; without __builtins__ in
    # the module dictionary the frame's builtins lookup then failed and the entry was lost.
    with deleted(vars(lumafit), "__builtins__"):
        with pytest.raises(ValueError) as caught:
            lumafit.molecular_number_density(100.0)
    entries = [(f.name, f.lineno) for f in traceback.extract_tb(caught.value.__traceback__)
               if f.filename.startswith("Aerolume\\")]
    assert entries == [("Aerolume.lumafit.molecular_number_density", 55)]


def test_samples_changed_by_a_finalizer_while_the_kept_list_is_made(python):
    # A collection when the list of kept samples is allocated runs a finalizer that
    # lowers every sample: the pass that collected the kept samples in a second walk over
    # the data then found fewer than it had counted and read past the end of the buffer.
    # The collection is due a few allocations after the data is printed; each round
    # moves it by one, so that one round has it fall on that list.
    run = python("""
import gc, io, sys
import numpy as np
from Aerolume import lumaclean

data = np.full(1000, 1.0)

class Lowers:
    def __init__(self):
        self.cycle = self
    def __del__(self):
        data[:] = 0.5

class Arms(io.StringIO):
    def write(self, text):
        written = io.StringIO.write(self, text)
        if text == "\\n":
            self.lines += 1
            if self.lines == 3:  # the data printed: the pass comes next
                gc.collect()
                self.lists = [[] for _ in range(100)]  # no free list to take it from
                Lowers()
                gc.set_threshold(max(1, gc.get_count()[0] + self.delay))
        return written

for delay in range(-6, 4):
    gc.collect()
    data[:] = 1.0
    data[10] = 100.0
    sys.stdout = Arms()
    sys.stdout.lines, sys.stdout.delay = 0, delay
    try:
        kept, background, noise = lumaclean.remove_background_and_noise(data, 0, 1000)
    finally:
        gc.set_threshold(700)
        sys.stdout = sys.__stdout__
    print(repr([float(v) for v in kept]), float(background), data[10])
""")
    assert run.returncode == 0, run.stderr[-2000:]
    for line in run.stdout.splitlines():
        kept, background, lowered = line.rsplit(" ", 2)
        # The samples minus the background, read before or after the finalizer ran.
        # (From 3.12 on, collections wait for the interpreter's next check between
        # bytecodes, and the finalizer may only run after the call.)
        assert float(lowered) == 0.5 or sys.version_info >= (3, 12), "no finalizer ran"
        assert kept in ("[]", repr([100.0 - float(background)])), run.stdout


def test_the_signal_passes_keep_no_reference_to_the_float64_dtype():
    # NumPy 2 keeps a reference to the default dtype on every np.empty without a dtype;
    # the passes asked for their temporary arrays that way.
    ranges = np.linspace(12000.0, 19000.0, 50)  # band 2: the exponentials go through NumPy
    distances = np.linspace(7000.0, 11000.0, 40)
    signal = lumafit.fit_func(distances, 3e3, WL) / distances ** 2
    dtype = np.dtype(np.float64)

    def calls():
        for _ in range(200):
            lumafit.theoretical_rayleigh_signal(ranges, WL)
        lumafit.rayleigh_fit(signal, distances, WL)

    calls()
    before = sys.getrefcount(dtype)
    calls()
    assert sys.getrefcount(dtype) - before < 50


def test_function_objects_do_not_show_the_addresses_of_their_dictionaries():
    # Members named after the type's offsets read the instance's pointers as integers.
    f = lumafit.molecular_number_density
    f.__dict__["note"] = 1
    for name in ("__dictoffset__", "__weaklistoffset__"):
        assert not hasattr(f, name)
    assert type(f).__dictoffset__ > 0 and type(f).__weakrefoffset__ > 0
    del f.__dict__["note"]
