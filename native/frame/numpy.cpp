#include "numpy.h"

namespace frame {

void NumpyAsImported::remember(PyObject* np) noexcept {
    const char* names[] = {"exp", "empty", "ndarray", "float64"};
    Ref* slots[] = {&exp_, &empty_, &ndarray_, &float64_};
    module_ = Ref::borrow(np);
    for (size_t i = 0; i < std::size(names); ++i) {
        *slots[i] = Ref::steal(PyObject_GetAttrString(np, names[i]));
        if (!*slots[i]) {
            PyErr_Clear();
            module_.reset();
            return;
        }
    }
}

bool NumpyAsImported::unchanged(ModuleRuntime& module, ops::GlobalName& np) const noexcept {
    if (!module_) return false;
    PyObject* current = PyDict_GetItemWithError(module.dict.get(), np.name.get());
    if (current != module_.get()) {
        PyErr_Clear();
        return false;
    }
    Ref exp = Ref::steal(PyObject_GetAttrString(current, "exp"));
    if (!exp) PyErr_Clear();
    return exp.get() == exp_.get();
}

bool NumpyAsImported::plain_double(PyObject* o, double& d) const noexcept {
    if (PyFloat_CheckExact(o) ||
        (module_ && Py_TYPE(o) == reinterpret_cast<PyTypeObject*>(float64_.get()))) {
        d = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow && v >= -(1LL << 53) && v <= (1LL << 53)) {
            d = static_cast<double>(v);
            return true;
        }
    }
    return false;
}

Ref NumpyAsImported::empty(Py_ssize_t n) const {
    // The dtype is always given: NumPy 2 keeps a reference to its default dtype on every
    // array made without one.
    Ref size = ops::from_index(n);
    return ops::call(empty_, size, float64_);
}

}  // namespace frame
