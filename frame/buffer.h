// A one-dimensional view of float64 data through the buffer protocol.
#pragma once

#include "ref.h"

namespace frame {

class DoubleView {
public:
    // Views `o` if it exposes one-dimensional native float64 data; otherwise the view is
    // empty and no exception is left set.
    DoubleView(PyObject* o, bool writable) noexcept {
        const int flags = PyBUF_STRIDES | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(o, &view_, flags) < 0) {
            PyErr_Clear();
            return;
        }
        held_ = true;
        const char* f = view_.format;
        const bool native_double = f && (f[0] == 'd' || ((f[0] == '=' || f[0] == '@') && f[1] == 'd')) &&
                                   f[f[0] == 'd' ? 1 : 2] == '\0';
        valid_ = view_.ndim == 1 && view_.itemsize == 8 && native_double;
    }
    DoubleView(const DoubleView&) = delete;
    DoubleView& operator=(const DoubleView&) = delete;
    ~DoubleView() {
        if (held_) PyBuffer_Release(&view_);
    }

    explicit operator bool() const noexcept { return valid_; }
    Py_ssize_t size() const noexcept { return view_.shape[0]; }
    double& operator[](Py_ssize_t i) const noexcept {
        return *reinterpret_cast<double*>(static_cast<char*>(view_.buf) + i * view_.strides[0]);
    }

private:
    Py_buffer view_{};
    bool held_ = false;
    bool valid_ = false;
};

}  // namespace frame
