// A one-dimensional view of float64 data through the buffer protocol.
#pragma once

#include <cstdint>
#include <utility>

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
    // Whether an element of this view and one of `other` share memory.
    bool overlaps(const DoubleView& other) const noexcept {
        const auto [lo, hi] = extent();
        const auto [other_lo, other_hi] = other.extent();
        return lo < other_hi && other_lo < hi;
    }

private:
    // The addresses from the lowest byte of the elements to one past the highest.
    std::pair<std::uintptr_t, std::uintptr_t> extent() const noexcept {
        const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(view_.buf);
        if (!valid_ || view_.shape[0] == 0) return {base, base};
        const Py_ssize_t last = (view_.shape[0] - 1) * view_.strides[0];
        const std::uintptr_t first = base + static_cast<std::uintptr_t>(last < 0 ? last : 0);
        return {first, first + static_cast<std::uintptr_t>(last < 0 ? -last : last) + 8};
    }

    Py_buffer view_{};
    bool held_ = false;
    bool valid_ = false;
};

}  // namespace frame
