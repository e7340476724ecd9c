#include "binding.h"

#include <new>

#include "function.h"
#include "ops.h"

namespace frame {

namespace {

void count_error(const FunctionSpec& spec, Py_ssize_t given) {
    const bool has_defaults = spec.nrequired < spec.nparams;
    const char* quantifier = "exactly";
    Py_ssize_t expected = spec.nparams;
    if (has_defaults) {
        if (given < spec.nrequired) {
            quantifier = "at least";
            expected = spec.nrequired;
        } else {
            quantifier = "at most";
        }
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.method.ml_name, quantifier, expected, expected == 1 ? "" : "s", given);
}

// Index of the keyword named `name` in kwnames, -1 if there is none; raises if a
// comparison fails.  Identity of the name objects first, then string equality.
Py_ssize_t find_keyword(PyObject* kwnames, PyObject* name) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < count; ++j) {
        if (PyTuple_GET_ITEM(kwnames, j) == name) return j;
    }
    for (Py_ssize_t j = 0; j < count; ++j) {
        if (ops::strings_equal(PyTuple_GET_ITEM(kwnames, j), name)) return j;
    }
    return -1;
}

bool bind(FunctionSpec& spec, PyObject* const* args, Py_ssize_t n, PyObject* kwnames,
          PyObject** values) {
    const Py_ssize_t k = spec.nparams, r = spec.nrequired;
    PyObject* names = spec.rt->varnames.get();
    PyObject* defaults = spec.rt->defaults.get();
    auto fill_defaults_from = [&](Py_ssize_t first) {
        for (Py_ssize_t i = first; i < k; ++i) {
            if (i >= r) values[i] = PyTuple_GET_ITEM(defaults, i - r);
        }
    };

    if (!kwnames || PyTuple_GET_SIZE(kwnames) == 0) {
        if (n < r || n > k) {
            count_error(spec, n);
            return false;
        }
        for (Py_ssize_t i = 0; i < n; ++i) values[i] = args[i];
        fill_defaults_from(n);
        return true;
    }

    if (n > k) {
        count_error(spec, n);
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) values[i] = args[i];
    fill_defaults_from(n);
    PyObject* const* kwvalues = args + n;
    Py_ssize_t left = PyTuple_GET_SIZE(kwnames);

    for (Py_ssize_t i = n; i < r; ++i) {
        Py_ssize_t j = find_keyword(kwnames, PyTuple_GET_ITEM(names, i));
        if (j < 0) {
            count_error(spec, i);
            return false;
        }
        values[i] = kwvalues[j];
        --left;
    }
    for (Py_ssize_t i = n > r ? n : r; i < k && left > 0; ++i) {
        Py_ssize_t j = find_keyword(kwnames, PyTuple_GET_ITEM(names, i));
        if (j >= 0) {
            values[i] = kwvalues[j];
            --left;
        }
    }
    if (left == 0) return true;

    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < count; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        Py_ssize_t found = -1;
        for (Py_ssize_t i = n; i < k && found < 0; ++i) {
            if (PyTuple_GET_ITEM(names, i) == key) found = i;
        }
        if (found < 0) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                             spec.method.ml_name);
                return false;
            }
            for (Py_ssize_t i = n; i < k && found < 0; ++i) {
                if (ops::strings_equal(key, PyTuple_GET_ITEM(names, i))) found = i;
            }
        }
        if (found >= 0) {
            values[found] = kwvalues[j];
            continue;
        }
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (ops::strings_equal(key, PyTuple_GET_ITEM(names, i))) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             spec.method.ml_name, key);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     spec.method.ml_name, key);
        return false;
    }
    return true;
}

}  // namespace

bool bind_arguments(FunctionSpec& spec, PyObject* const* args, Py_ssize_t n, PyObject* kwnames,
                    PyObject** values) noexcept {
    try {
        return bind(spec, args, n, kwnames, values);
    } catch (const Raised&) {
        return false;
    }
}

namespace {

// Runs a body; on failure adds the function's entry at the failing line and returns null.
PyObject* run_body(FunctionSpec& spec, FunctionObject* f, PyObject* const* values) noexcept {
    Call call{spec.def_line};
    try {
        return spec.body(call, f, values).release();
    } catch (const Raised&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    add_traceback(spec.module->rt.tracebacks, f->globals.get(), spec.module->filename,
                  spec.trace_name, call.line);
    return nullptr;
}

}  // namespace

Ref call_body(FunctionSpec& spec, PyObject* self, PyObject* const* args) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) raise_pending();
    PyObject* result = run_body(spec, reinterpret_cast<FunctionObject*>(self), args);
    Py_LeaveRecursiveCall();
    return check(result);
}

PyObject* call_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
    FunctionObject* f = reinterpret_cast<FunctionObject*>(self);
    FunctionSpec& spec = spec_of(f);
    TracebackTable& tracebacks = spec.module->rt.tracebacks;
    PyObject* values[kMaxParameters];
    if (!bind_arguments(spec, args, nargs, kwnames, values)) {
        add_traceback(tracebacks, f->globals.get(), spec.module->filename, spec.trace_name,
                      spec.def_line);
        return nullptr;
    }
    return run_body(spec, f, values);
}

}  // namespace frame
