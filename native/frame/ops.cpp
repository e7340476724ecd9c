#include "ops.h"

#include <cstring>

namespace frame::ops {

namespace {

// An exact float, or an exact int that a double holds exactly: the operands for which
// the interpreter's float arithmetic is plain double-precision arithmetic.
constexpr long long kExactIntLimit = 1LL << 53;

bool exact_double(PyObject* o, double& d) {
    if (PyFloat_CheckExact(o)) {
        d = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow && v >= -kExactIntLimit && v <= kExactIntLimit) {
            d = static_cast<double>(v);
            return true;
        }
    }
    return false;
}

// Both operands qualify and at least one is a float, so the interpreter's result is a float.
bool float_operands(PyObject* a, PyObject* b, double& x, double& y) {
    if (!PyFloat_CheckExact(a) && !PyFloat_CheckExact(b)) return false;
    return exact_double(a, x) && exact_double(b, y);
}

bool small_ints(PyObject* a, PyObject* b, double& x, double& y) {
    return PyLong_CheckExact(a) && PyLong_CheckExact(b) && exact_double(a, x) &&
           exact_double(b, y);
}

Ref new_float(double d) { return check(PyFloat_FromDouble(d)); }

[[noreturn]] void zero_division(const char* message) {
    PyErr_SetString(PyExc_ZeroDivisionError, message);
    raise_pending();
}

}  // namespace

// ---- names ----

Ref global(ModuleRuntime& module, GlobalName& g) {
    PyObject* dict = module.dict.get();
#if PY_VERSION_HEX < 0x030C0000
    const std::uint64_t tag = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    if (g.value && g.tag == tag) return Ref::borrow(g.value);
#endif
    PyObject* found = PyDict_GetItemWithError(dict, g.name.get());
    if (found) {
#if PY_VERSION_HEX < 0x030C0000
        g.tag = tag;
        g.value = found;
#endif
        return Ref::borrow(found);
    }
    if (PyErr_Occurred()) raise_pending();
    return builtin(module, g.name.get());
}

Ref builtin(ModuleRuntime& module, PyObject* name) {
    PyObject* value = PyObject_GetAttr(module.builtins.get(), name);
    if (value) return Ref::steal(value);
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    raise_pending();
}

Ref getattr(Obj o, PyObject* name) { return check(PyObject_GetAttr(o.get(), name)); }

bool strings_equal(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(a) < 0 || PyUnicode_READY(b) < 0) raise_pending();
#endif
        const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
        if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
        return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                           static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
    }
    return check_status(PyObject_RichCompareBool(a, b, Py_EQ)) == 1;
}

// ---- calls ----

Ref call_vector(Obj f, PyObject* const* args, Py_ssize_t n) {
    PyObject* callable = f.get();
    if (Py_EnterRecursiveCall(" while calling a Python object")) raise_pending();
    PyObject* result;
    if (vectorcallfunc vc = PyVectorcall_Function(callable)) {
        result = vc(callable, args, static_cast<size_t>(n), nullptr);
    } else {
        result = PyObject_Vectorcall(callable, args, static_cast<size_t>(n), nullptr);
    }
    Py_LeaveRecursiveCall();
    if (!result) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
        }
        raise_pending();
    }
    return Ref::steal(result);
}

Ref call_tuple(Obj f, PyObject* args) {
    return call_vector(f, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args));
}

bool is_own(ModuleRuntime& module, GlobalName& g) noexcept {
    if (!g.own) return false;
    PyObject* found = PyDict_GetItemWithError(module.dict.get(), g.name.get());
    if (!found) PyErr_Clear();
    return found == g.own->rt->object.get();
}

void raise_object(Obj exc) {
    PyObject* o = exc.get();
    if (PyExceptionInstance_Check(o)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(o)), o);
    } else if (PyExceptionClass_Check(o)) {
        Ref instance = call(o);
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R",
                         o, reinterpret_cast<PyObject*>(Py_TYPE(instance.get())));
        } else {
            PyErr_SetObject(o, instance.get());
        }
    } else {
        PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
    }
    raise_pending();
}

// ---- arithmetic and comparison ----

Ref add(Obj a, Obj b) {
    double x, y;
    if (float_operands(a.get(), b.get(), x, y)) return new_float(x + y);
    return check(PyNumber_Add(a.get(), b.get()));
}

Ref subtract(Obj a, Obj b) {
    double x, y;
    if (float_operands(a.get(), b.get(), x, y)) return new_float(x - y);
    return check(PyNumber_Subtract(a.get(), b.get()));
}

Ref multiply(Obj a, Obj b) {
    double x, y;
    if (float_operands(a.get(), b.get(), x, y)) return new_float(x * y);
    return check(PyNumber_Multiply(a.get(), b.get()));
}

Ref true_divide(Obj a, Obj b) {
    double x, y;
    if (float_operands(a.get(), b.get(), x, y)) {
        if (y == 0.0) zero_division("float division by zero");
        return new_float(x / y);
    }
    if (small_ints(a.get(), b.get(), x, y)) {
        if (y == 0.0) zero_division("division by zero");
        return new_float(x / y);
    }
    return check(PyNumber_TrueDivide(a.get(), b.get()));
}

Ref power(Obj a, Obj b) { return check(PyNumber_Power(a.get(), b.get(), Py_None)); }

Ref bit_and(Obj a, Obj b) { return check(PyNumber_And(a.get(), b.get())); }

Ref add(double a, Obj b) {
    double y;
    if (exact_double(b.get(), y)) return new_float(a + y);
    return add(new_float(a), b);
}

Ref subtract(double a, Obj b) {
    double y;
    if (exact_double(b.get(), y)) return new_float(a - y);
    return subtract(new_float(a), b);
}

Ref multiply(double a, Obj b) {
    double y;
    if (exact_double(b.get(), y)) return new_float(a * y);
    return multiply(new_float(a), b);
}

Ref true_divide(Obj a, double b) {
    double x;
    if (exact_double(a.get(), x)) {
        if (b == 0.0) zero_division("float division by zero");
        return new_float(x / b);
    }
    return true_divide(a, new_float(b));
}

Ref compare(Obj a, Obj b, int op) { return check(PyObject_RichCompare(a.get(), b.get(), op)); }

bool truth(Obj o) {
    if (o.get() == Py_True) return true;
    if (o.get() == Py_False || o.get() == Py_None) return false;
    return check_status(PyObject_IsTrue(o.get())) == 1;
}

bool compare_true(Obj a, Obj b, int op) {
    double x, y;
    if (exact_double(a.get(), x) && exact_double(b.get(), y)) {
        switch (op) {
            case Py_LT: return x < y;
            case Py_LE: return x <= y;
            case Py_EQ: return x == y;
            case Py_NE: return x != y;
            case Py_GT: return x > y;
            case Py_GE: return x >= y;
        }
    }
    return truth(compare(a, b, op));
}

Ref to_int(Obj o) {
    if (PyLong_CheckExact(o.get())) return Ref::borrow(o.get());
    return check(PyNumber_Long(o.get()));
}

Ref from_index(Py_ssize_t i) { return check(PyLong_FromSsize_t(i)); }

// ---- containers ----

Py_ssize_t length(Obj o) {
    Py_ssize_t n = PyObject_Length(o.get());
    if (n < 0) raise_pending();
    return n;
}

std::optional<Py_ssize_t> length_if_sized(Obj o) {
    Py_ssize_t n = PyObject_Length(o.get());
    if (n >= 0) return n;
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) raise_pending();
    PyErr_Clear();
    return std::nullopt;
}

Ref getitem(Obj o, Obj key) {
    PyObject* obj = o.get();
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_as_mapping && type->tp_as_mapping->mp_subscript) {
        return check(type->tp_as_mapping->mp_subscript(obj, key.get()));
    }
    if (type->tp_as_sequence && type->tp_as_sequence->sq_item) {
        Ref index = check(PyNumber_Index(key.get()));
        Py_ssize_t i = PyLong_AsSsize_t(index.get());
        if (i == -1 && PyErr_Occurred()) {
            if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_IndexError, "cannot fit '%.200s' into an index-sized integer",
                             Py_TYPE(key.get())->tp_name);
            }
            raise_pending();
        }
        return check(PySequence_GetItem(obj, i));
    }
    if (PyType_Check(obj)) {
        PyObject* method = PyObject_GetAttrString(obj, "__class_getitem__");
        if (method) return call(Ref::steal(method), key);
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_pending();
        PyErr_Clear();
    }
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not subscriptable", type->tp_name);
    raise_pending();
}

namespace {

// A negative index of a sequence counted from its end, as the sequence protocol does; a
// length too large to tell leaves the index as it is.
Py_ssize_t from_end(PyTypeObject* type, PyObject* obj, Py_ssize_t i) {
    if (i >= 0 || !type->tp_as_sequence->sq_length) return i;
    const Py_ssize_t n = type->tp_as_sequence->sq_length(obj);
    if (n >= 0) return i + n;
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) raise_pending();
    PyErr_Clear();
    return i;
}

}  // namespace

Ref getitem_int(Obj o, Py_ssize_t i) {
    PyObject* obj = o.get();
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        const bool list = PyList_CheckExact(obj);
        const Py_ssize_t n = list ? PyList_GET_SIZE(obj) : PyTuple_GET_SIZE(obj);
        const Py_ssize_t j = i < 0 ? i + n : i;
        if (j >= 0 && j < n) {
            return Ref::borrow(list ? PyList_GET_ITEM(obj, j) : PyTuple_GET_ITEM(obj, j));
        }
        return getitem(o, from_index(i));
    }
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_as_mapping && type->tp_as_mapping->mp_subscript) {
        return check(type->tp_as_mapping->mp_subscript(obj, from_index(i).get()));
    }
    if (type->tp_as_sequence && type->tp_as_sequence->sq_item) {
        i = from_end(type, obj, i);
        return check(type->tp_as_sequence->sq_item(obj, i));
    }
    return getitem(o, from_index(i));
}

void setitem_int(Obj o, Py_ssize_t i, Obj v) {
    PyObject* obj = o.get();
    if (PyList_CheckExact(obj)) {
        const Py_ssize_t n = PyList_GET_SIZE(obj);
        const Py_ssize_t j = i < 0 ? i + n : i;
        if (j >= 0 && j < n) {
            Ref old = Ref::steal(PyList_GET_ITEM(obj, j));
            PyList_SET_ITEM(obj, j, Ref::borrow(v.get()).release());
            return;
        }
    }
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_as_mapping && type->tp_as_mapping->mp_ass_subscript) {
        check_status(type->tp_as_mapping->mp_ass_subscript(obj, from_index(i).get(), v.get()));
        return;
    }
    if (type->tp_as_sequence && type->tp_as_sequence->sq_ass_item) {
        i = from_end(type, obj, i);
        check_status(type->tp_as_sequence->sq_ass_item(obj, i, v.get()));
        return;
    }
    check_status(PyObject_SetItem(obj, from_index(i).get(), v.get()));
}

Ref slice2(Obj o, Obj a, Obj b) {
    PyTypeObject* type = Py_TYPE(o.get());
    if (type->tp_as_mapping && type->tp_as_mapping->mp_subscript) {
        Ref slice = check(PySlice_New(a.get(), b.get(), nullptr));
        return check(type->tp_as_mapping->mp_subscript(o.get(), slice.get()));
    }
    PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", type->tp_name);
    raise_pending();
}

namespace {

[[noreturn]] void too_many_values() {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    raise_pending();
}

[[noreturn]] void need_more_values(Py_ssize_t have) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", have,
                 have == 1 ? "" : "s");
    raise_pending();
}

// The next item of an iterator; empty at its end (a StopIteration it raised is cleared).
Ref iterate(PyObject* iterator) {
    PyObject* item = Py_TYPE(iterator)->tp_iternext(iterator);
    if (item) return Ref::steal(item);
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_StopIteration)) raise_pending();
        PyErr_Clear();
    }
    return Ref();
}

}  // namespace

std::pair<Ref, Ref> unpack2(Obj value) {
    PyObject* v = value.get();
    if (PyTuple_CheckExact(v) || PyList_CheckExact(v)) {
        const bool tuple = PyTuple_CheckExact(v);
        const Py_ssize_t n = tuple ? PyTuple_GET_SIZE(v) : PyList_GET_SIZE(v);
        if (n > 2) too_many_values();
        if (n < 2) need_more_values(n);
        PyObject* const* items = tuple ? &PyTuple_GET_ITEM(v, 0) : &PyList_GET_ITEM(v, 0);
        return {Ref::borrow(items[0]), Ref::borrow(items[1])};
    }
    Ref iterator = check(PyObject_GetIter(v));
    Ref first = iterate(iterator.get());
    if (!first) need_more_values(0);
    Ref second = iterate(iterator.get());
    if (!second) need_more_values(1);
    if (iterate(iterator.get())) too_many_values();
    return {std::move(first), std::move(second)};
}

Iteration::Iteration(Obj sequence) : sequence_(Ref::borrow(sequence.get())) {
    PyObject* s = sequence.get();
    if (!PyList_CheckExact(s) && !PyTuple_CheckExact(s)) iterator_ = check(PyObject_GetIter(s));
}

Ref Iteration::next() {
    if (iterator_) return iterate(iterator_.get());
    PyObject* s = sequence_.get();
    if (PyList_CheckExact(s)) {
        if (index_ >= PyList_GET_SIZE(s)) return Ref();
        return Ref::borrow(PyList_GET_ITEM(s, index_++));
    }
    if (index_ >= PyTuple_GET_SIZE(s)) return Ref();
    return Ref::borrow(PyTuple_GET_ITEM(s, index_++));
}

Ref new_list() { return check(PyList_New(0)); }

void append(Obj list, Obj item) { check_status(PyList_Append(list.get(), item.get())); }

}  // namespace frame::ops
