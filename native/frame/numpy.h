// NumPy as a module imported it, for native passes that stand in for object code only
// while NumPy is unchanged.  NumPy itself is reached through Python-level calls only.
#pragma once

#include "ops.h"

namespace frame {

class NumpyAsImported {
public:
    // Remembers `np` and the parts the native passes use; a NumPy without them leaves
    // this empty, and the native passes are then never taken.
    void remember(PyObject* np) noexcept;

    // The module global `np` (looked up in the module dictionary) and its `exp` are still
    // the ones remembered.
    bool unchanged(ModuleRuntime& module, ops::GlobalName& np) const noexcept;

    // `o` is an instance of exactly numpy.ndarray (not of a subclass).
    bool exact_array(PyObject* o) const noexcept {
        return module_ && Py_TYPE(o) == reinterpret_cast<PyTypeObject*>(ndarray_.get());
    }

    // The value of an exact float, an exact numpy.float64 or an int that a double holds.
    bool plain_double(PyObject* o, double& d) const noexcept;

    PyObject* exp() const noexcept { return exp_.get(); }
    // A new float64 array of n elements (values unset).
    Ref empty(Py_ssize_t n) const;
    // A list of `count` numpy.float64 scalars with the values `value(i)`: the elements
    // that iterating a float64 array holding those values would give.
    template <class Value>
    Ref float64_list(Py_ssize_t count, Value value) const {
        Ref list = check(PyList_New(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyList_SET_ITEM(list.get(), i, float64(value(i)).release());
        }
        return list;
    }

    // A numpy.float64 scalar, allocated by its type as NumPy allocates array scalars; a
    // float64 is a float, so its value is the float's.
    Ref float64(double value) const {
        auto* type = reinterpret_cast<PyTypeObject*>(float64_.get());
        Ref scalar = check(type->tp_alloc(type, 0));
        reinterpret_cast<PyFloatObject*>(scalar.get())->ob_fval = value;
        return scalar;
    }

private:
    Ref module_, exp_, empty_, ndarray_, float64_;
};

}  // namespace frame
