#include "function.h"

#include <structmember.h>

#include <cstddef>
#include <new>

#include "binding.h"
#include "typeobject.h"

namespace frame {

namespace {

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

// Turns a Raised from a getter or setter into the C convention.
template <class F>
auto guarded(F&& f, decltype(f()) failure) noexcept -> decltype(f()) {
    try {
        return f();
    } catch (const Raised&) {
        return failure;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return failure;
    }
}

int set_string_attribute(Ref& field, PyObject* value, const char* message) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    field = Ref::borrow(value);
    return 0;
}

// __defaults__ and __kwdefaults__ are shown but not used by calls: storing one warns.
int set_unused_defaults(Ref& field, PyObject* value, bool accepted, const char* type_message,
                        const char* warning) {
    if (!value) value = Py_None;
    if (value != Py_None && !accepted) {
        PyErr_SetString(PyExc_TypeError, type_message);
        return -1;
    }
    if (PyErr_WarnEx(PyExc_RuntimeWarning, warning, 1) < 0) return -1;
    field = value == Py_None ? Ref() : Ref::borrow(value);
    return 0;
}

// ---- attributes, getter beside setter ----

PyObject* get_doc(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    return guarded([&] {
        if (!f->doc) {
            const char* text = f->method->ml_doc;
            f->doc = text ? check(PyUnicode_FromString(text)) : Ref::borrow(Py_None);
        }
        return Ref(f->doc).release();
    }, nullptr);
}

int set_doc(PyObject* self, PyObject* value, void*) noexcept {
    as_function(self)->doc = Ref::borrow(value ? value : Py_None);
    return 0;
}

PyObject* get_name(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    return guarded([&] {
        if (!f->name) f->name = check(PyUnicode_InternFromString(f->method->ml_name));
        return Ref(f->name).release();
    }, nullptr);
}

int set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_string_attribute(as_function(self)->name, value,
                                "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* self, void*) noexcept {
    return Ref(as_function(self)->qualname).release();
}

int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_string_attribute(as_function(self)->qualname, value,
                                "__qualname__ must be set to a string object");
}

PyObject* get_dict(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    return guarded([&] {
        if (!f->dict) f->dict = check(PyDict_New());
        return Ref(f->dict).release();
    }, nullptr);
}

int set_dict(PyObject* self, PyObject* value, void*) noexcept {
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    as_function(self)->dict = Ref::borrow(value);
    return 0;
}

PyObject* get_globals(PyObject* self, void*) noexcept {
    return Ref(as_function(self)->globals).release();
}

PyObject* get_closure(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyObject* get_code(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    return Ref::borrow(f->code ? f->code.get() : Py_None).release();
}

PyObject* get_defaults(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    return Ref::borrow(f->defaults ? f->defaults.get() : Py_None).release();
}

int set_defaults(PyObject* self, PyObject* value, void*) noexcept {
    return set_unused_defaults(
        as_function(self)->defaults, value, value && PyTuple_Check(value),
        "__defaults__ must be set to a tuple object",
        "changes to frame_function.__defaults__ will not currently affect the values used in "
        "function calls");
}

PyObject* get_kwdefaults(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    return Ref::borrow(f->kwdefaults ? f->kwdefaults.get() : Py_None).release();
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) noexcept {
    return set_unused_defaults(
        as_function(self)->kwdefaults, value, value && PyDict_Check(value),
        "__kwdefaults__ must be set to a dict object",
        "changes to frame_function.__kwdefaults__ will not currently affect the values used in "
        "function calls");
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
    FunctionObject* f = as_function(self);
    return guarded([&] {
        if (!f->annotations) f->annotations = check(PyDict_New());
        return Ref(f->annotations).release();
    }, nullptr);
}

int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    FunctionObject* f = as_function(self);
    if (!value || value == Py_None) {
        f->annotations.reset();
        return 0;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    f->annotations = Ref::borrow(value);
    return 0;
}

PyObject* get_is_coroutine(PyObject* self, void*) noexcept {
    // None of the functions made by the frame is a coroutine.
    FunctionObject* f = as_function(self);
    if (!f->is_coroutine) f->is_coroutine = Ref::borrow(Py_False);
    return Ref(f->is_coroutine).release();
}

PyGetSetDef function_getset[] = {
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"func_dict", get_dict, set_dict, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// ---- methods and slots ----

// Pickling stores a reference to the module-level name.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return Ref(as_function(self)->qualname).release();
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<frame_function %U at %p>", as_function(self)->qualname.get(),
                                self);
}

// Bound as a method when fetched through an instance, itself through the class.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (!obj || obj == Py_None) return Ref::borrow(self).release();
    return PyMethod_New(self, obj);
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    FunctionObject* f = as_function(callable);
#if PY_VERSION_HEX >= 0x030D0000
    using FastWithKeywords = PyCFunctionFastWithKeywords;
#else
    using FastWithKeywords = _PyCFunctionFastWithKeywords;
#endif
    auto wrapper = reinterpret_cast<FastWithKeywords>(
        reinterpret_cast<void (*)(void)>(f->method->ml_meth));
    return wrapper(f->self, args, PyVectorcall_NARGS(nargsf), kwnames);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->module.get());
    Py_VISIT(f->dict.get());
    Py_VISIT(f->name.get());
    Py_VISIT(f->qualname.get());
    Py_VISIT(f->doc.get());
    Py_VISIT(f->globals.get());
    Py_VISIT(f->code.get());
    Py_VISIT(f->closure.get());
    Py_VISIT(f->defaults.get());
    Py_VISIT(f->kwdefaults.get());
    Py_VISIT(f->annotations.get());
    Py_VISIT(f->is_coroutine.get());
    return 0;
}

int function_clear(PyObject* self) noexcept {
    FunctionObject* f = as_function(self);
    f->module.reset();
    f->dict.reset();
    f->name.reset();
    f->qualname.reset();
    f->doc.reset();
    f->globals.reset();
    f->code.reset();
    f->closure.reset();
    f->defaults.reset();
    f->kwdefaults.reset();
    f->annotations.reset();
    f->is_coroutine.reset();
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    FunctionObject* f = as_function(self);
    PyObject_GC_UnTrack(self);
    // A long chain (inner functions captured by the scopes of later calls, functions
    // as each other's __module__) is released iteratively, not one C frame per link.
    Py_TRASHCAN_BEGIN(self, function_dealloc)
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

PyTypeObject function_type = [] {
    PyTypeObject t = blank_type();
    t.tp_name = "frame_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE |
                 Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    t.tp_methods = function_methods;
    t.tp_members = function_members;
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}();

}  // namespace

PyTypeObject* own_function_type() noexcept { return &function_type; }

Ref new_function(PyObject* type, FunctionSpec& spec, PyObject* closure, PyObject* module_name,
                 PyObject* globals) {
    auto* f = PyObject_GC_New(FunctionObject, reinterpret_cast<PyTypeObject*>(type));
    if (!f) raise_pending();
    // PyObject_GC_New leaves the fields unset: begin the life of each one.
    f->method = &spec.method;
    f->self = reinterpret_cast<PyObject*>(f);
    new (&f->module) Ref(Ref::borrow(module_name));
    f->weakreflist = nullptr;
    f->vectorcall = function_vectorcall;
    new (&f->dict) Ref();
    new (&f->name) Ref();
    new (&f->qualname) Ref(spec.rt->qualname);
    new (&f->doc) Ref();
    new (&f->globals) Ref(Ref::borrow(globals));
    new (&f->code) Ref(spec.rt->code);
    new (&f->closure) Ref(Ref::borrow(closure));
    f->flags = 0;
    new (&f->defaults) Ref(spec.rt->defaults);
    new (&f->kwdefaults) Ref();
    new (&f->annotations) Ref();
    new (&f->is_coroutine) Ref();
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace frame
