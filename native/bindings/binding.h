// What every file of Aerolume._core's binding needs: the array types, the one way a
// returned array is allocated and owned, and the scope a long kernel runs in.
//
// Conventions of every binding:
// - arrays come in as C-contiguous float64 (`In`; nanobind converts other dtypes and
//   layouts, the Python layer checks values and names the argument in its errors);
// - results are new NumPy arrays made with `new_array` (and its kin) while the interpreter
//   lock is held, then filled by the kernel with the lock released (`Unlocked`, or
//   `Interruptible` for a kernel that may run long);
// - `threads` is the number of threads, 0 for all cores.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
// The type casters of every signature (one set for all files, so that no file lacks one).
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/unique_ptr.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace aerolume::bindings {

namespace nb = nanobind;

using In = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;
using Out = nb::ndarray<nb::numpy, double>;
using Unlocked = nb::gil_scoped_release;

// ---- Interrupts (interrupts.cpp) --------------------------------------------------------

// The lock released, and SIGINT stopping the kernel: for the scope's duration SIGINT also
// asks the core to stop (aerolume::request_cancel), so the kernel ends with
// aerolume::Cancelled at its next check and the call raises KeyboardInterrupt.
class Interruptible {
public:
    Interruptible();
    ~Interruptible();
    Interruptible(const Interruptible&) = delete;
    Interruptible& operator=(const Interruptible&) = delete;

private:
    Unlocked unlocked_;  // (the handler's bookkeeping touches no Python object)
};

// The exception translator for a kernel stopped by an interrupt: what Python's handler
// raises, KeyboardInterrupt if it raises nothing.
void translate_cancelled(const std::exception_ptr& failure, void*);

// ---- Returned arrays (arrays.cpp) -------------------------------------------------------

// The new, uninitialised memory of `size` elements of `bytes_each` bytes that a returned
// array owns, accounted for by tracemalloc as NumPy's own is (so that memory measured with
// tracemalloc includes it), and the capsule that frees it with the array.  Backed by huge
// pages where the system offers them (aerolume::prefer_huge_pages: arrays of 4 MiB and
// more), so that a kernel's first writes to a large result cost a fault per 2 MiB, not
// per 4 KiB.
std::pair<void*, nb::capsule> traced_allocation(std::size_t size, std::size_t bytes_each);

// A new, uninitialised array of T of `shape`, and its data.
template <class T>
std::pair<T*, nb::ndarray<nb::numpy, T>> traced_array(std::vector<std::size_t> shape) {
    static_assert(std::is_trivially_destructible_v<T>);
    std::size_t size = 1;
    for (std::size_t n : shape) size *= n;
    auto [memory, owner] = traced_allocation(size, sizeof(T));
    T* data = static_cast<T*>(memory);
    return {data, nb::ndarray<nb::numpy, T>(data, shape.size(), shape.data(), owner)};
}

// The same, filled with zeros.
template <class T>
std::pair<T*, nb::ndarray<nb::numpy, T>> new_typed(const std::vector<std::size_t>& shape) {
    auto out = traced_array<T>(shape);
    std::fill_n(out.first, out.second.size(), T{});
    return out;
}

// A new float64 array of `shape`, owned by the returned NumPy array, and its data.
struct NewArray {
    double* data;
    Out array;
};

// Left uninitialised, for kernels that write every element (the first touch of its pages
// happening on their threads).
NewArray unfilled_array(const std::vector<std::size_t>& shape);

// Filled with zeros.
NewArray new_array(const std::vector<std::size_t>& shape);

// The array, or None where it is not a result (`valid` false).
nb::object or_none(NewArray& a, bool valid);

// An array member of a bound class as a read-only NumPy array, None where it is not given.
template <class Class, class Array>
auto array_field(Array Class::*member) {
    using View = nb::ndarray<nb::numpy, const typename Array::Scalar>;
    return [member](const Class& self) -> std::optional<View> {
        const Array& a = self.*member;
        if (!a.is_valid()) return std::nullopt;
        return View(a);
    };
}

// The same of a member that is always given.
template <class Class, class Array>
auto required_array_field(Array Class::*member) {
    using View = nb::ndarray<nb::numpy, const typename Array::Scalar>;
    return [member](const Class& self) { return View(self.*member); };
}

// ---- Shapes -----------------------------------------------------------------------------

std::vector<std::size_t> shape_of(const In& a);

// The length of the last axis (the range axis) and the number of profiles before it.
struct Profiles {
    std::size_t count, gates;
};

Profiles profiles_of(const In& a, const char* name);

// ---- The domains (one file each) --------------------------------------------------------

void bind_atmosphere(nb::module_& m);
void bind_raw_data(nb::module_& m);
void bind_corrections(nb::module_& m);
void bind_noise(nb::module_& m);
void bind_simulate(nb::module_& m);
void bind_retrievals(nb::module_& m);
void bind_clouds(nb::module_& m);
void bind_depolarization(nb::module_& m);

}  // namespace aerolume::bindings
