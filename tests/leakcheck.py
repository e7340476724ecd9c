"""The leak-checking interpreter: repeats each function's success paths and each
distinct failure path (found by sweeping the awkward arguments through every
parameter), the inner functions, the scope free lists, reference cycles through inner
functions and module re-import, and records how the allocated memory blocks and the
function and scope objects evolve.

A measurement repeats its case in rounds, collecting garbage after each round, until
the allocated blocks stay the same for PLATEAU rounds in a row (the interpreter's own
caches fill up during the first rounds); a leak never gets there.  The function and scope objects alive are counted after each
function's cases and after each of the others."""
import array
import contextlib
import gc
import importlib
import json
import sys
import time
import warnings

import numpy as np

import catalogue as cat

PLATEAU = 3          # rounds without growth that end a measurement
MAX_ROUNDS = 120   # a slow warm-up (SciPy fills its caches over ~1000 fits) still settles
ROUND_SECONDS = 0.01  # about how long a round takes, within:
MIN_CALLS, MAX_CALLS = 20, 100


class Sink:
    """Standard output that keeps nothing: remove_background_and_noise prints."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def quietly(f, args, kwargs):
    def case():
        try:
            f(*args, **kwargs)
        except Exception:
            pass
    return case


def signature(f, args, kwargs):
    """Which path a call takes: its result type, or its exception and module entries."""
    try:
        result = f(*args, **kwargs)
    except Exception as exc:
        return ("raised", type(exc).__name__,
                tuple((name, line) for _, name, line in cat.module_entries(exc)))
    return ("returned", type(result).__name__, str(getattr(result, "dtype", "")))


def measure(label, case):
    """Repeats `case` until the allocated blocks stop growing, or MAX_ROUNDS rounds."""
    started = time.perf_counter()
    case()
    cost = time.perf_counter() - started
    per_round = max(MIN_CALLS, min(MAX_CALLS, int(ROUND_SECONDS / max(cost, 1e-6))))
    for _ in range(per_round):  # warm-up
        case()
    gc.collect()
    samples = array.array("q", bytes(8 * MAX_ROUNDS))  # no int objects kept meanwhile
    rounds = 0
    for rounds in range(1, MAX_ROUNDS + 1):
        for _ in range(per_round):
            case()
        gc.collect()
        samples[rounds - 1] = sys.getallocatedblocks()
        if rounds > PLATEAU and samples[rounds - 1] <= samples[rounds - 1 - PLATEAU]:
            break
    return {"case": label, "calls_per_round": per_round, "rounds": rounds,
            "samples": [s - samples[0] for s in samples[:rounds]],
            "growth": samples[rounds - 1] - samples[rounds - 1 - PLATEAU],
            "calls": (rounds + 2) * per_round, "measured_calls": PLATEAU * per_round}


class Checker:
    def __init__(self):
        self.functions = cat.public_functions()
        self.lumafit = importlib.import_module("Aerolume.lumafit")
        self.values = cat.awkward_values()
        self.inner = self.capture_inner()
        self.kinds = [cat.function_type(), *cat.scope_types()]
        gc.collect()
        self.baseline = cat.objects_of(self.kinds)
        self.results = []

    # ---- the cases ----

    def capture_inner(self):
        """One fresh inner function of each kind, kept for the whole run."""
        kept = {}

        def keep(real):
            def record(f, *args, **kwargs):
                kept.setdefault(f.__name__, cat.inner_function(f))
                return real(f, *args, **kwargs)
            return record
        module = self.lumafit
        for function in self.functions:
            if function.module != module.__name__:
                continue
            with contextlib.ExitStack() as stack:
                for name in cat.CALLBACK_GLOBALS:
                    stack.enter_context(cat.Rebound(module, name, keep(vars(module)[name])))
                args, kwargs = function.valid()[0]
                function.obj(*args, **kwargs)
        return list(kept.values())

    def paths(self, function):
        """(label, case, "returned" or "raised") for the success paths and one call per
        distinct failure path."""
        f, found = function.obj, {}
        calls = [("valid", args, kwargs) for args, kwargs in function.valid()]
        args, kwargs = function.valid()[0]
        valid = dict(zip(function.params, args), **kwargs)
        present = [p for p in function.params if p in valid]
        for p in present:
            for label, value in self.values:
                calls.append((f"{p}={label}", [value if q == p else valid[q] for q in present], {}))
        calls += [("no arguments", (), {}), ("one argument more", [*args, 1.0], kwargs),
                  ("an unexpected keyword", args, dict(kwargs, no_such_parameter=1))]
        if present:
            first = present[0]
            rest = [valid[q] for q in present[1:]]
            calls.append(("a keyword given twice", [valid[first], *rest], {first: 1.0}))
            for kind, name in cat.keyword_names(first)[2:]:
                calls.append((f"{first} named by a {kind}", (), {"names": [name],
                                                                  "values": [valid[first]]}))
        for label, args, kwargs in calls:
            if "names" in kwargs:
                call = (lambda names, values: lambda: cat.vectorcall(f, (), names, values))(
                    kwargs["names"], kwargs["values"])
                key = signature(call, (), {})
                case = quietly(call, (), {})
            else:
                key = signature(f, args, kwargs)
                case = quietly(f, args, kwargs)
            if key not in found:
                found[key] = (f"{function.trace_name}({label}) -> {key[1]}", case, key[0])
        return list(found.values())

    def through_recorders(self):
        """Outer calls whose quad and curve_fit stand-ins call the inner functions, and
        answer validly or awkwardly (the unpacking and indexing failures)."""
        lumafit, cases = self.lumafit, []
        fit = [f for f in self.functions if f.trace_name == "Aerolume.lumafit.rayleigh_fit"][0]
        integral = [f for f in self.functions
                    if f.trace_name == "Aerolume.lumafit.integral_extinction_coefficient"][0]
        answers = [("valid", (1e-4, 0.0), (np.array([2.0]), None)), ("None", None, None),
                   ("three values", (1.0, 2.0, 3.0), (np.array([2.0]), None, None)),
                   ("one value", [1.0], [np.array([2.0])]), ("a string", "ab", (2.0, None)),
                   ("empty parameters", (1j, 0.0), (np.array([]), None))]
        for label, quad_answer, fit_answer in answers:
            def quad(f, a, b, answer=quad_answer):
                f(b)
                return answer

            def curve_fit(f, x, y, answer=fit_answer):
                f(x, 2.0)
                return answer

            def case(quad=quad, curve_fit=curve_fit):
                with cat.Rebound(lumafit, "quad", quad), \
                        cat.Rebound(lumafit, "curve_fit", curve_fit):
                    for function in (integral, fit):
                        args, kwargs = function.valid()[0]
                        try:
                            function.obj(*args, **kwargs)
                        except Exception:
                            pass
            cases.append((f"through quad and curve_fit answering {label}", case))
        return cases

    def scopes_alive_together(self):
        """More scopes alive at once than a free list holds, then all released."""
        lumafit = self.lumafit
        kept = []

        def quad(f, a, b):
            kept.append(f)
            return 0.0, 0.0

        def case():
            with cat.Rebound(lumafit, "quad", quad):
                for _ in range(20):
                    lumafit.integral_extinction_coefficient([1.0], 1e-4, 2e-4)
            kept.clear()
        return [("twenty scopes alive at once, then released", case)]

    def cycles(self):
        """Inner functions in reference cycles, through their scopes and their __dict__."""
        lumafit = self.lumafit

        def integrand_cycle():
            box = []

            def quad(f, a, b):
                box.append(f)
                return 0.0, 0.0
            with cat.Rebound(lumafit, "quad", quad):
                lumafit.integral_extinction_coefficient([1.0], box, box)
            box[0].me = box[0]

        def model_cycle():
            box = []

            def curve_fit(f, x, y):
                box.append(f)
                raise RuntimeError("stop")
            with cat.Rebound(lumafit, "curve_fit", curve_fit):
                try:
                    lumafit.rayleigh_fit(np.ones(2), np.array([8000.0, 9000.0]), box)
                except RuntimeError:
                    pass
        return [("integrands in cycles", integrand_cycle), ("fit models in cycles", model_cycle)]

    def reimports(self):
        def reimport(name):
            module = sys.modules[name]

            def case():
                del sys.modules[name]
                again = importlib.import_module(name)
                if again is not module or importlib.reload(again) is not module:
                    raise AssertionError(f"{name} imported again is another module")
            return case
        return [(f"{name} removed from sys.modules and imported again", reimport(name))
                for name in cat.FILES]

    # ---- measuring ----

    def objects_left(self, label):
        """The function and scope objects beyond those alive at the start."""
        counts = cat.objects_of(self.kinds)
        extra = {t.__name__: counts[t] - self.baseline[t] for t in self.kinds
                 if counts[t] != self.baseline[t]}
        self.results.append({"case": label, "objects": extra})

    def run(self):
        failures = []
        for function in self.functions + self.inner:
            for label, case, ending in self.paths(function):
                self.results.append(measure(label, case))
                if ending == "raised":
                    failures.append(case)
            self.objects_left(f"after the calls of {function.trace_name}")

        def every_failure():
            for case in failures:
                case()
        extra = (self.through_recorders() + self.scopes_alive_together() + self.cycles() +
                 self.reimports() + [("every failure path in turn", every_failure)])
        for label, case in extra:
            self.results.append(measure(label, case))
            self.objects_left(f"after {label}")


def main(report_path):
    sys.stdout = Sink()
    warnings.simplefilter("ignore")
    checker = Checker()
    checker.run()
    with open(report_path, "w") as report:
        json.dump(checker.results, report)
