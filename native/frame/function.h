// The function-object type `frame_function` shared by both modules.
#pragma once

#include "tables.h"

namespace frame {

struct FunctionObject {
    PyObject_HEAD
    PyMethodDef* method;  // the method entry: name, binding wrapper, convention, doc
    PyObject* self;       // the object itself (not an owned reference)
    Ref module;           // __module__
    PyObject* weakreflist;
    vectorcallfunc vectorcall;
    Ref dict;             // __dict__, made on first use
    Ref name;             // __name__, made on first read
    Ref qualname;
    Ref doc;              // __doc__, made on first read
    Ref globals;
    Ref code;
    Ref closure;          // the enclosing call's scope object for inner functions
    int flags;
    Ref defaults;
    Ref kwdefaults;
    Ref annotations;
    Ref is_coroutine;
};

inline FunctionSpec& spec_of(FunctionObject* f) noexcept { return spec_of(f->method); }

// The type as this library defines it; exec makes it ready unless another library
// already registered its own.
PyTypeObject* own_function_type() noexcept;

// A new function object of `type` for `spec`, with `closure` (or null) as its scope.
Ref new_function(PyObject* type, FunctionSpec& spec, PyObject* closure, PyObject* module_name,
                 PyObject* globals);

}  // namespace frame
