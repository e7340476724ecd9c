"""Concurrency: several threads calling every function at once get what one thread
gets, while another thread forces garbage collections; ranges changed by another
thread while a signal is computed give, element by element, one value or the other."""
import contextlib
import gc
import pathlib
import random
import sys
import threading

import numpy as np
import pytest

TESTS = pathlib.Path(__file__).resolve().parent

import catalogue as cat  # noqa: E402
from Aerolume import lumafit  # noqa: E402

WORKERS = 4
ROUNDS = 5
WL = 5.32e-7


class Sink:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


@contextlib.contextmanager
def frequent_switches():
    """Thread switches every few microseconds, standard output discarded."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        with contextlib.redirect_stdout(Sink()):
            yield
    finally:
        sys.setswitchinterval(interval)


def calls():
    """Every catalogued valid call and, per function, failures at several places."""
    hostile = dict(cat.awkward_values())
    spoilers = [None, "abc", np.array([np.nan, -1.0]), hostile["<everything raises>"],
                hostile["<__len__ returns -1>"]]
    made = []
    for function in cat.public_functions():
        for args, kwargs in function.valid():
            made.append((function.obj, args, kwargs))
        args, kwargs = function.valid()[0]
        for i in range(len(args)):
            for spoiler in spoilers:
                made.append((function.obj, args[:i] + (spoiler,) + args[i + 1:], kwargs))
        made.append((function.obj, args + (1.0,) * 4, {}))
    return made


def run_together(workers):
    """Runs the worker threads to their end while another collects garbage."""
    stop, collections = threading.Event(), []

    def collecting():
        # At once, then every 2 ms: workers that finish within the first wait still had
        # a collection run beside them.
        while True:
            gc.collect()
            collections.append(1)
            if stop.wait(0.002):
                return
    collector = threading.Thread(target=collecting)
    for w in workers:
        w.start()
    collector.start()
    for w in workers:
        w.join()
    stop.set()
    collector.join()
    assert collections


@pytest.mark.filterwarnings("ignore")
def test_threads_calling_every_function_get_what_one_thread_gets():
    todo = calls()
    with frequent_switches():
        expected = [cat.outcome(f, args, kwargs) for f, args, kwargs in todo]
        assert any(e[0] == "result" for e in expected) and any(e[0] == "raised" for e in expected)
        differences = []

        def work(seed):
            order = list(range(len(todo)))
            rng = random.Random(seed)
            for _ in range(ROUNDS):
                rng.shuffle(order)
                for i in order:
                    f, args, kwargs = todo[i]
                    got = cat.outcome(f, args, kwargs)
                    if got != expected[i]:
                        differences.append((f.__name__, args, got, expected[i]))

        run_together([threading.Thread(target=work, args=(seed,)) for seed in range(WORKERS)])
    assert differences == []


def test_ranges_changed_meanwhile_give_each_element_one_value_or_the_other():
    # np.exp releases the interpreter lock over arrays this long: the native pass must
    # not read the ranges again after it (it did, and ran past the end of the array).
    high = np.linspace(11500.0, 19500.0, 4000)  # all in the exponential band
    low = np.linspace(100.0, 10000.0, 4000)
    from_high = lumafit.theoretical_rayleigh_signal(high, WL)
    from_low = lumafit.theoretical_rayleigh_signal(low, WL)
    shared = high.copy()
    stop, mixed = threading.Event(), []

    def flip():
        # Through a ufunc, which stores whole doubles (a copy may go byte by byte).
        while not stop.is_set():
            np.multiply(low, 1.0, out=shared)
            np.multiply(high, 1.0, out=shared)

    def compute():
        for _ in range(150):
            signal = lumafit.theoretical_rayleigh_signal(shared, WL)
            if not np.all((signal == from_high) | (signal == from_low)):
                mixed.append(signal)

    with frequent_switches():
        flipper = threading.Thread(target=flip)
        flipper.start()
        try:
            run_together([threading.Thread(target=compute) for _ in range(2)])
        finally:
            stop.set()
            flipper.join()
    assert mixed == []


@pytest.mark.parametrize("function", ["integral_extinction_coefficient", "rayleigh_fit"])
def test_inner_functions_made_in_threads_read_their_own_call(function):
    # Each thread's calls capture its own coefficients or wavelength in their scopes.
    made = {}

    def quad(f, a, b):
        return f(b), 0.0

    def work(k):
        value = 1e-4 * (k + 1)
        for _ in range(200):
            alphas = lumafit.integral_extinction_coefficient(np.array([1.0, 2.0]), value, 2 * value)
            if not (np.all(alphas[0] == value) and np.all(alphas[1] == 2 * value)):
                made.setdefault(k, alphas)

    def fit_work(k):
        wavelength = WL * (k + 1)
        distances = np.arange(8000.0, 10001.0, 500.0)
        signal = lumafit.fit_func(distances, 2.0e3, wavelength) / distances ** 2
        for _ in range(40):
            beta_A, C = lumafit.rayleigh_fit(signal, distances, wavelength)
            if not np.isclose(C, 2.0e3, rtol=1e-6):
                made.setdefault(k, C)

    target = work if function == "integral_extinction_coefficient" else fit_work
    with cat.Rebound(lumafit, "quad", quad), frequent_switches():
        run_together([threading.Thread(target=target, args=(k,)) for k in range(WORKERS)])
    assert made == {}
