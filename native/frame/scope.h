// Scope objects: the per-call record of the variables that inner functions capture.
#pragma once

#include <cstring>
#include <new>

#include "typeobject.h"

namespace frame {

template <int N>
struct ScopeObject {
    PyObject_HEAD
    Ref vars[N];
};

// A scope type with N captured variables.  Released instances are kept on a free list of
// up to eight and served again, most recently released first.
template <int N>
struct ScopeType {
    PyTypeObject type;  // first member: the slots reach the ScopeType through the type
    const char* const* names;  // the captured variables, for the unassigned-variable error
    ScopeObject<N>* free[8];
    int free_count;

    using Object = ScopeObject<N>;

    static ScopeType& of(PyObject* o) noexcept { return *reinterpret_cast<ScopeType*>(Py_TYPE(o)); }

    static int traverse(PyObject* o, visitproc visit, void* arg) noexcept {
        for (Ref& var : reinterpret_cast<Object*>(o)->vars) Py_VISIT(var.get());
        return 0;
    }

    static int clear(PyObject* o) noexcept {
        for (Ref& var : reinterpret_cast<Object*>(o)->vars) var = Ref::borrow(Py_None);
        return 0;
    }

    static void dealloc(PyObject* o) noexcept {
        PyObject_GC_UnTrack(o);
        // Released through the trashcan: a scope holding an inner function of an earlier
        // call, whose scope holds another, and so on, must not recurse once per link.
        Py_TRASHCAN_BEGIN(o, dealloc)
        Object* s = reinterpret_cast<Object*>(o);
        for (Ref& var : s->vars) var.~Ref();
        ScopeType& t = of(o);
        if (t.free_count < 8 && Py_TYPE(o)->tp_basicsize == static_cast<Py_ssize_t>(sizeof(Object))) {
            t.free[t.free_count++] = s;
        } else {
            Py_TYPE(o)->tp_free(o);
        }
        Py_TRASHCAN_END
    }

    ScopeType(const char* name, const char* const* captured) : names(captured), free{}, free_count(0) {
        type = blank_type();
        type.tp_name = name;
        type.tp_basicsize = sizeof(Object);
        type.tp_dealloc = dealloc;
        type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
        type.tp_traverse = traverse;
        type.tp_clear = clear;
    }

    void ready() { check_status(PyType_Ready(&type)); }

    // A new scope holding `values` in the order of the captured variables.
    Ref make(PyObject* const* values) {
        Object* s;
        if (free_count > 0 && type.tp_basicsize == static_cast<Py_ssize_t>(sizeof(Object))) {
            s = free[--free_count];
            std::memset(static_cast<void*>(s), 0, sizeof(Object));
            (void)PyObject_INIT(s, &type);
            for (Ref& var : s->vars) new (&var) Ref();
            PyObject_GC_Track(s);
        } else {
            s = reinterpret_cast<Object*>(type.tp_alloc(&type, 0));
            if (!s) raise_pending();
            for (Ref& var : s->vars) new (&var) Ref();
        }
        Ref owner = Ref::steal(reinterpret_cast<PyObject*>(s));
        for (int i = 0; i < N; ++i) s->vars[i] = Ref::borrow(values[i]);
        return owner;
    }

    // Reads captured variable i of a scope made by this type.
    Ref read(PyObject* scope, int i) const {
        PyObject* v = reinterpret_cast<Object*>(scope)->vars[i].get();
        if (!v) {
            PyErr_Format(PyExc_NameError,
                         "free variable '%s' referenced before assignment in enclosing scope",
                         names[i]);
            raise_pending();
        }
        return Ref::borrow(v);
    }
};

}  // namespace frame
