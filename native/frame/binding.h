// Binding of a call's arguments to a function's parameters, and the call wrapper.
#pragma once

#include "tables.h"

namespace frame {

// Binds n positional arguments and the keywords named by `kwnames` (values after the
// positional ones) to the parameters of `spec`, writing borrowed references to
// `values` in parameter order.  Returns false with a TypeError set.
bool bind_arguments(FunctionSpec& spec, PyObject* const* args, Py_ssize_t n, PyObject* kwnames,
                    PyObject** values) noexcept;

// The binding wrapper of every method entry: binds, runs the body, and on failure adds
// the function's traceback entry at the failing line.
PyObject* call_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;

// Runs the body of `spec` for function object `self` with exactly its parameters, as a
// call through the function object with those positional arguments would: the same
// recursion guard and, on failure, the same traceback entry.
Ref call_body(FunctionSpec& spec, PyObject* self, PyObject* const* args);

// The method entry for a body: the wrapper with the fast convention and keyword names.
inline PyMethodDef method_entry(const char* name, const char* doc) {
    return PyMethodDef{name,
                       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(call_function)),
                       METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace frame
