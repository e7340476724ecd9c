"""The fuzzing interpreter: calls every public function, the inner functions reached
through recorders standing in for `quad` and `curve_fit`, and the attribute setters of
the function objects, with awkward arguments, and records every problem it sees.

Each operation is written to the log before it is made, so that when the interpreter
dies the last line of the log names the operation that killed it."""
import collections
import contextlib
import ctypes
import faulthandler
import functools
import gc
import json
import os
import random
import resource
import types
import warnings

import numpy as np

import catalogue as cat

ATTRIBUTES = ["__doc__", "func_doc", "__name__", "func_name", "__qualname__", "__dict__",
              "func_dict", "__defaults__", "func_defaults", "__kwdefaults__",
              "__annotations__", "__module__", "__globals__", "func_globals", "__closure__",
              "func_closure", "__code__", "func_code", "_is_coroutine", "__dictoffset__",
              "__weaklistoffset__", "custom_attribute"]
# What setting an attribute may store; restored afterwards on the public functions.
RESTORED = ["__doc__", "__name__", "__qualname__", "__dict__", "__defaults__",
            "__kwdefaults__", "__annotations__", "__module__"]
SETTABLE = ATTRIBUTES[:12]
MISSING = cat.Rebound.MISSING


class Fuzzer:
    def __init__(self, seed, budget, log_path, poison=False):
        self.rng = random.Random(seed)
        self.budget = budget
        self.count = 0
        self.depth = 0
        self.log = open(log_path, "w", buffering=1)
        self.problems = []
        self.reached = collections.Counter()
        self.outcomes = collections.Counter()
        self.functions = cat.public_functions()
        self.modules = {m.__name__: m for m in cat.modules()}
        self.kind = cat.function_type()
        self.inner = []  # recently made inner functions, newest last
        self.values = cat.awkward_values() + self.reentrant_values()
        if poison:
            self.values = [poisoned()] * 20 + self.values
        self.originals = {f.trace_name: {a: getattr(f.obj, a) for a in RESTORED}
                          for f in self.functions}

    # ---- bookkeeping ----

    def note(self, text):
        """Logs the operation about to be made; returns its label."""
        self.count += 1
        label = f"#{self.count} {text}"
        self.log.write(label + "\n")
        return label

    def problem(self, label, detail):
        self.problems.append(f"{label}: {detail}")

    def check_leftover(self, label):
        left = cat.leftover_exception()
        if left:
            self.problem(label, f"exception left set: {left}")

    # ---- arguments ----

    def awkward(self):
        if self.inner and self.rng.random() < 0.02:
            return "an inner function", self.rng.choice(self.inner).obj
        return self.rng.choice(self.values)

    def arguments(self, function):
        """(label, value) per parameter to pass: valid values with some made awkward."""
        args, kwargs = self.rng.choice(function.valid())
        valid = dict(zip(function.params, args), **kwargs)
        chosen = [(p, ("valid", valid[p])) for p in function.params if p in valid]
        spoil = self.rng.choice([0, 0, 1, 1, 1, 2, len(chosen)])
        for i in self.rng.sample(range(len(chosen)), min(spoil, len(chosen))):
            chosen[i] = (chosen[i][0], self.awkward())
        return chosen

    # ---- calls ----

    def call(self, function):
        """One call of `function` with random arguments in a random shape."""
        shape = self.rng.choices(["positional", "keywords", "count", "unexpected",
                                  "vectorcall", "bound", "dict"],
                                 [50, 15, 8, 6, 8, 4, 5])[0]
        self.checked_call(function, self.arguments(function), shape)

    def checked_call(self, function, chosen, shape):
        """Calls `function` with `chosen` ((parameter, (label, value)) pairs) passed in
        the given shape, and checks how it ends."""
        positional = [v for _, (_, v) in chosen]
        labels = [label for _, (label, _) in chosen]
        names, kwvalues = [], []
        if shape in ("keywords", "vectorcall", "unexpected", "dict") and chosen:
            split = self.rng.randint(0, len(chosen))
            rest = chosen[split:]
            self.rng.shuffle(rest)
            positional = positional[:split]
            labels = labels[:split]
            for p, (label, v) in rest:
                variants = cat.keyword_names(p)
                kind, name = self.rng.choice(variants if shape == "vectorcall" else variants[:4])
                names.append(name)
                kwvalues.append(v)
                labels.append(f"{p}={label} ({kind})")
        if shape == "count":
            if positional and self.rng.random() < 0.5:
                positional = positional[:-1]
                labels.append("one argument fewer")
            else:
                positional.append(self.awkward()[1])
                labels.append("one argument more")
        if shape == "unexpected":
            extra = self.rng.choice(list(function.params) + ["no_such_parameter"])
            names.append(extra)
            kwvalues.append(1.0)
            labels.append(f"also {extra}=1.0")
        try:
            kwargs = dict(zip(names, kwvalues))
        except Exception:  # names whose == raises, met in one dictionary
            kwargs = dict(zip(map(str, names), kwvalues))
        f = function.obj
        if shape == "bound" and positional:
            # Fetched through an instance: a method with the instance as first argument.
            f, positional = f.__get__(positional[0], type(positional[0])), positional[1:]
        perturbations = self.perturbations(function)
        label = self.note(f"{function.trace_name}({', '.join(labels)}) [{shape}]" +
                          "".join(f" [{text}]" for text, _ in perturbations))
        self.reached[function.trace_name] += 1
        try:
            with contextlib.ExitStack() as stack:
                for _, manager in perturbations:
                    stack.enter_context(manager)
                if shape == "vectorcall":
                    cat.vectorcall(f, positional, names, kwvalues)
                elif shape == "dict":
                    # The generic call slot, with an argument tuple and a dictionary.
                    type(f).__call__(f, *positional, **kwargs)
                else:
                    f(*positional, **kwargs)
            self.outcomes["returned"] += 1
        except BaseException as exc:
            self.outcomes[type(exc).__name__] += 1
            detail = cat.failure_problem(function, exc)
            if detail:
                self.problem(label, detail)
        self.check_leftover(label)

    def perturbations(self, function):
        """Sometimes: recorders for the SciPy routines, a module global rebound or
        removed, NumPy patched, warnings or floating-point errors turned into exceptions.
        (description, context manager) pairs."""
        module = self.modules[function.module]
        chosen = []
        for name in cat.CALLBACK_GLOBALS:
            if name in vars(module) and self.rng.random() < 0.6:
                chosen.append((f"{name} recorded",
                               cat.Rebound(module, name, self.recorder(vars(module)[name]))))
        if self.rng.random() < 0.06:
            name, label, value = self.rebinding(module)
            chosen.append((f"{name} = {label}", cat.Rebound(module, name, value)))
        if self.rng.random() < 0.03:
            # NumPy itself patched: the "new" array is the argument, or a view of it.
            label, value = self.rng.choice([("its argument", lambda a, *r, **k: a),
                                            ("a reversed view", lambda a, *r, **k: a[::-1])])
            chosen.append((f"numpy.zeros_like returns {label}",
                           cat.Rebound(np, "zeros_like", value)))
        if self.rng.random() < 0.08:
            chosen.append(("warnings raise", strict_warnings()))
        if self.rng.random() < 0.05:
            chosen.append(("floating-point errors raise", np.errstate(all="raise")))
        return chosen

    def rebinding(self, module):
        own = [k for k, v in vars(module).items() if type(v) is self.kind]
        name = self.rng.choice(["np"] * 3 + own)
        if name == "np":
            proxy = types.ModuleType("numpy")
            proxy.__dict__.update(np.__dict__)
            choices = [("a copy of numpy", proxy), ("None", None), ("deleted", MISSING),
                       self.awkward()]
        else:
            value = self.awkward()
            other = self.rng.choice(own)
            choices = [("a partial", functools.partial(vars(module)[name])), ("deleted", MISSING),
                       ("a function that raises", cat._raises),
                       (f"a function returning {value[0]}", lambda *a, v=value[1]: v),
                       (other, vars(module)[other])]  # recursion, or the wrong function
        return (name, *self.rng.choice(choices))

    def recorder(self, real):
        """Stands in for `quad` or `curve_fit`: checks the inner function it is given by
        calling it with awkward arguments, then answers with the real routine, a valid
        made-up answer or an awkward one."""
        fit = real.__name__ == "curve_fit"

        def record(f, *args, **kwargs):
            if type(f) is self.kind:
                fresh = cat.inner_function(f)
                self.inner = self.inner[-15:] + [fresh]
                if self.depth < 2 and self.count < self.budget:
                    self.depth += 1
                    try:
                        for _ in range(self.rng.randint(0, 2)):
                            self.call(fresh)
                    finally:
                        self.depth -= 1
            r = self.rng.random()
            if r < 0.25:
                return real(f, *args, **kwargs)
            if r < 0.75:
                return (np.array([2.0]), np.zeros((1, 1))) if fit else (1e-4, 1e-12)
            return self.rng.choice(self.answers(fit))

        return record

    def answers(self, fit):
        hostile = self.awkward()[1]
        common = [None, (), [1.0], (1.0, 2.0, 3.0), "ab", hostile, (hostile, 0.0),
                  iter([1.0]), np.array([1.0, 2.0])]
        if fit:
            return common + [(np.array([]), None), ([2.0], None), (2.0, None),
                             (hostile, None), (np.array(["x"]), None),
                             (np.array([np.nan]), None), (np.array([10 ** 400], dtype=object), None),
                             (np.array([hostile], dtype=object), None)]
        return common + [(10 ** 400, 0.0), ("x", 0.0), (1 + 1j, 0.0), (np.float64(1.0), 0.0)]

    # ---- attributes ----

    def attribute(self, function):
        label, value = self.rng.choice([self.awkward()] * 3 + [
            ("a dict", {"k": 1}), ("()", ()), ("(5,)", (5,)), ("'text'", "text"),
            ("str subclass", cat.StrSubclass("s"))])
        self.set_attribute(function, self.rng.choice(ATTRIBUTES), label, value,
                           self.rng.random() < 0.2, self.rng.random() < 0.5)

    def set_attribute(self, function, name, label, value, delete, strict):
        """Sets (or deletes) one attribute, warnings raising or not, then reads them all."""
        obj = function.obj
        label = self.note(f"{'del ' if delete else ''}{function.trace_name}.{name}"
                          f"{'' if delete else ' = ' + label}"
                          f" [{'warnings raise' if strict else 'quiet'}]")
        with warnings.catch_warnings():
            warnings.simplefilter("error" if strict else "ignore")
            try:
                if delete:
                    delattr(obj, name)
                else:
                    setattr(obj, name, value)
            except BaseException as exc:
                if isinstance(exc, SystemError) or not isinstance(exc, Exception):
                    self.problem(label, f"{type(exc).__name__}: {exc}")
            self.check_leftover(label)
            self.read_back(function)
        if function.trace_name in self.originals:
            self.restore(function)

    def read_back(self, function):
        obj = function.obj
        label = self.note(f"reading the attributes of {function.trace_name}")
        reads = [lambda f, n=name: getattr(f, n) for name in ATTRIBUTES]
        for op in reads + [repr, lambda f: f.__reduce__(), lambda f: f.__reduce__(1, 2),
                           lambda f: f.__get__(None, type), lambda f: f.__get__(1),
                           gc.get_referents, lambda f: f.__reduce_ex__(2)]:
            try:
                op(obj)
            except BaseException as exc:
                if isinstance(exc, SystemError) or not isinstance(exc, Exception):
                    self.problem(label, f"{type(exc).__name__}: {exc}")
            self.check_leftover(label)

    def restore(self, function):
        obj, saved = function.obj, self.originals[function.trace_name]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for name, value in saved.items():
                setattr(obj, name, value)
        vars(obj).pop("custom_attribute", None)

    # ---- values that call back ----

    def reentrant_values(self):
        fuzzer = self

        def nested(self, *args):
            if fuzzer.depth < 2 and fuzzer.count < fuzzer.budget:
                fuzzer.depth += 1
                try:
                    fuzzer.call(fuzzer.rng.choice(fuzzer.functions))
                finally:
                    fuzzer.depth -= 1
            return NotImplemented

        def collect(self, *args):
            gc.collect()
            return NotImplemented

        arithmetic = ["__add__", "__radd__", "__sub__", "__rsub__", "__mul__", "__rmul__",
                      "__truediv__", "__rtruediv__", "__pow__", "__rpow__", "__lt__", "__le__",
                      "__gt__", "__ge__"]
        return [cat._hostile("<arithmetic calls the modules again>",
                             **dict.fromkeys(arithmetic, nested)),
                cat._hostile("<arithmetic collects garbage>", **dict.fromkeys(arithmetic, collect))]

    # ---- the run ----

    def step(self):
        r = self.rng.random()
        if r < 0.12:
            pool = self.functions + self.inner
            self.attribute(self.rng.choice(pool))
        elif r < 0.22 and self.inner:
            # An inner function called after its enclosing call has returned.
            self.call(self.rng.choice(self.inner))
        else:
            self.call(self.rng.choice(self.functions))
        if self.count % 97 < 2:
            self.note("gc.collect()")
            gc.collect()

    def sweep(self, setters):
        """Every awkward value once in every parameter of every function, and (if
        `setters`) in every attribute setter of one function object of each module and
        of each inner function."""
        self.capture_inner()
        for function in self.functions + self.inner:
            args, kwargs = function.valid()[0]
            valid = dict(zip(function.params, args), **kwargs)
            present = [p for p in function.params if p in valid]
            for p in present:
                for label, value in self.values:
                    chosen = [(q, ("valid", valid[q]) if q != p else (label, value))
                              for q in present]
                    self.checked_call(function, chosen, "positional")
        if not setters:
            return
        first = {}
        for function in self.functions:
            first.setdefault(function.module, function)
        for function in list(first.values()) + self.inner:
            for name in SETTABLE:
                for label, value in self.values:
                    for delete, strict in ((False, False), (False, True)):
                        self.set_attribute(function, name, label, value, delete, strict)
                self.set_attribute(function, name, "", None, True, False)

    def capture_inner(self):
        """Fresh inner functions of every kind, from valid calls through recorders."""
        for function in self.functions:
            module = self.modules[function.module]

            def keep(real):
                def record(f, *args, **kwargs):
                    if type(f) is self.kind and f.__name__ not in {g.name for g in self.inner}:
                        self.inner.append(cat.inner_function(f))
                    return real(f, *args, **kwargs)
                return record
            with contextlib.ExitStack() as stack:
                for name in cat.CALLBACK_GLOBALS:
                    if name in vars(module):
                        stack.enter_context(cat.Rebound(module, name, keep(vars(module)[name])))
                args, kwargs = function.valid()[0]
                function.obj(*args, **kwargs)

    def run(self, sweep):
        if sweep != "none":
            self.sweep(setters=sweep == "all")
        self.budget += self.count
        while self.count < self.budget:
            self.step()
        self.inner.clear()
        self.note("final gc.collect()")
        gc.collect()


@contextlib.contextmanager
def strict_warnings():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        yield


def poisoned():
    """A value that kills the interpreter when the module uses it: proves the crash
    report names the call."""
    def crash(self, *args):
        ctypes.string_at(0)
    methods = dict.fromkeys(["__float__", "__index__", "__len__", "__iter__", "__add__",
                             "__radd__", "__mul__", "__rmul__", "__truediv__", "__rtruediv__",
                             "__pow__", "__rpow__", "__sub__", "__rsub__", "__array__", "__ge__",
                             "__le__", "__bool__"], crash)
    return cat._hostile("<poison: crashes the interpreter>", **methods)


def main(seed, budget, log_path, report_path, poison=False, sweep="all"):
    # A runaway allocation fails with MemoryError rather than exhausting the machine
    # (not under AddressSanitizer, whose shadow memory reserves far more address space).
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (8 << 30, resource.getrlimit(resource.RLIMIT_AS)[1]))
    faulthandler.enable()
    cat.quiet_stdout()
    warnings.simplefilter("ignore")
    fuzzer = Fuzzer(seed, budget, log_path, poison)
    fuzzer.run(sweep)
    with open(report_path, "w") as report:
        json.dump({"calls": fuzzer.count, "problems": fuzzer.problems,
                   "reached": fuzzer.reached, "outcomes": fuzzer.outcomes}, report)
