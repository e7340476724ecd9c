// Aerolume._core: the toolkit's numerical core (core/) bound for the Python layer.
//
// Conventions of every binding here:
// - arrays come in as C-contiguous float64 (`In`; nanobind converts other dtypes and
//   layouts, the Python layer checks values and names the argument in its errors);
// - results are new float64 NumPy arrays made with `new_array` while the interpreter lock
//   is held, then filled by the kernel with the lock released (`Unlocked`);
// - `threads` is the number of threads, 0 for all cores.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "parallel.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using In = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;
using Out = nb::ndarray<nb::numpy, double>;
using Unlocked = nb::gil_scoped_release;

// A new float64 array of `shape`, owned by the returned NumPy array, and its data.
struct NewArray {
    double* data;
    Out array;
};

NewArray new_array(const std::vector<std::size_t>& shape) {
    std::size_t size = 1;
    for (std::size_t n : shape) size *= n;
    double* data = new double[size == 0 ? 1 : size]();
    nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<double*>(p); });
    return {data, Out(data, shape.size(), shape.data(), owner)};
}

std::vector<std::size_t> shape_of(const In& a) {
    std::vector<std::size_t> shape(a.ndim());
    for (std::size_t i = 0; i < a.ndim(); ++i) shape[i] = a.shape(i);
    return shape;
}

// The length of the last axis (the range axis) and the number of profiles before it.
struct Profiles {
    std::size_t count, gates;
};

Profiles profiles_of(const In& a, const char* name) {
    if (a.ndim() == 0) throw std::invalid_argument(std::string(name) + " must have a range axis");
    const std::size_t gates = a.shape(a.ndim() - 1);
    return {gates == 0 ? 0 : a.size() / gates, gates};
}

// ---- Molecular atmosphere and Rayleigh optics ------------------------------------------

void bind_atmosphere(nb::module_& m) {
    (void)m;
}

// ---- Raw data ---------------------------------------------------------------------------

void bind_raw_data(nb::module_& m) {
    (void)m;
}

// ---- Instrument corrections -------------------------------------------------------------

void bind_corrections(nb::module_& m) {
    (void)m;
}

// ---- Retrievals, forward model and uncertainties ---------------------------------------

void bind_retrievals(nb::module_& m) {
    (void)m;
}

}  // namespace

NB_MODULE(_core, m) {
    m.doc() = "Aerolume's numerical core: float64 kernels over arrays whose last axis is range.";
    m.def("hardware_threads", [] { return aerolume::resolve_threads(0, static_cast<std::size_t>(-1)); },
          "The number of threads `threads=None` uses: one per core.");
    bind_atmosphere(m);
    bind_raw_data(m);
    bind_corrections(m);
    bind_retrievals(m);
}
