// Owning reference to a Python object, and the error convention of the frame.
//
// Every strong reference the frame or a module body holds lives in a Ref.  A C API call
// that fails leaves a Python exception set; the C++ code then throws Raised, and the
// entry point that the interpreter called (a slot, a wrapper, module exec) catches it,
// adds its traceback entry and returns the C failure value.  Raised carries nothing:
// the exception itself is the interpreter's pending exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace frame {

struct Raised {};

[[noreturn]] inline void raise_pending() { throw Raised{}; }

class Ref {
public:
    constexpr Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (which may be null).
    static Ref steal(PyObject* o) noexcept {
        Ref r;
        r.p_ = o;
        return r;
    }
    // Takes a new reference to a borrowed object (which may be null).
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return steal(o);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(p_, other.p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// A borrowed view: what the operations take, so that they accept both a Ref and a
// borrowed PyObject* without ever taking ownership.
struct Obj {
    PyObject* p;
    Obj(PyObject* o) noexcept : p(o) {}
    Obj(const Ref& r) noexcept : p(r.get()) {}
    PyObject* get() const noexcept { return p; }
};

// Result of a C API call returning a new reference: owned, or Raised if it failed.
inline Ref check(PyObject* result) {
    if (!result) raise_pending();
    return Ref::steal(result);
}

// Result of a C API call returning a status: Raised if it is negative.
inline int check_status(int status) {
    if (status < 0) raise_pending();
    return status;
}

// The pending exception, set aside for the life of this object and then put back as it
// was.  Whatever the interpreter raises meanwhile is dropped: the exception set aside
// is the one being reported.
class ExceptionAside {
public:
    ExceptionAside() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exception_ = Ref::steal(PyErr_GetRaisedException());
#else
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        type_ = Ref::steal(type);
        value_ = Ref::steal(value);
        traceback_ = Ref::steal(traceback);
#endif
    }
    ExceptionAside(const ExceptionAside&) = delete;
    ExceptionAside& operator=(const ExceptionAside&) = delete;
    ~ExceptionAside() {
        PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exception_.release());
#else
        PyErr_Restore(type_.release(), value_.release(), traceback_.release());
#endif
    }

private:
#if PY_VERSION_HEX >= 0x030C0000
    Ref exception_;
#else
    Ref type_, value_, traceback_;
#endif
};

// Storage for process-wide state that must never be destroyed: the interpreter may
// already be gone when static destructors run, so the references held here are kept
// for the life of the process, as the module state requires.
template <class T>
union Forever {
    T value;
    constexpr Forever() : value() {}
    ~Forever() {}
    T* operator->() noexcept { return &value; }
    T& operator*() noexcept { return value; }
};

}  // namespace frame
