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
}  // namespace

#include <nanobind/stl/tuple.h>

#include <cstdint>

#include "licel.h"

namespace {

void bind_raw_data(nb::module_& m) {
    namespace L = aerolume::licel;
    nb::class_<L::DataSet>(m, "LicelDataSet", "One data set (channel) of a raw file's header.")
        .def_ro("active", &L::DataSet::active)
        .def_ro("photon_counting", &L::DataSet::photon_counting)
        .def_ro("laser", &L::DataSet::laser, "Laser type (1, 2 or 3).")
        .def_ro("bins", &L::DataSet::bins)
        .def_ro("high_voltage", &L::DataSet::high_voltage, "Photomultiplier high voltage (V).")
        .def_ro("bin_width", &L::DataSet::bin_width, "Bin width (m).")
        .def_ro("wavelength", &L::DataSet::wavelength, "Wavelength (nm).")
        .def_prop_ro("polarization", [](const L::DataSet& s) { return std::string(1, s.polarization); })
        .def_ro("bin_shift", &L::DataSet::bin_shift)
        .def_ro("bin_shift_fraction", &L::DataSet::bin_shift_fraction)
        .def_ro("adc_bits", &L::DataSet::adc_bits)
        .def_ro("shots", &L::DataSet::shots)
        .def_ro("input_range", &L::DataSet::input_range,
                "Analog input range (V), or the discriminator level for photon counting.")
        .def_ro("device", &L::DataSet::device)
        .def_prop_ro("scale", &L::scale_of,
                     "Counts to signal: mV per shot (analog) or MHz (photon counting); NaN "
                     "without shots.");

    nb::class_<L::Header>(m, "LicelHeader", "A raw file's header.")
        .def_ro("file_name", &L::Header::file_name)
        .def_ro("site", &L::Header::site)
        .def_ro("start", &L::Header::start, "Start time (s since 1970-01-01, as written).")
        .def_ro("stop", &L::Header::stop, "Stop time (s since 1970-01-01, as written).")
        .def_ro("altitude", &L::Header::altitude, "Altitude above sea level (m).")
        .def_ro("longitude", &L::Header::longitude, "Longitude (deg).")
        .def_ro("latitude", &L::Header::latitude, "Latitude (deg).")
        .def_ro("zenith", &L::Header::zenith, "Zenith angle (deg).")
        .def_ro("azimuth", &L::Header::azimuth, "Azimuth angle (deg); NaN if absent.")
        .def_ro("temperature", &L::Header::temperature, "Temperature (degC); NaN if absent.")
        .def_ro("pressure", &L::Header::pressure, "Pressure (hPa); NaN if absent.")
        .def_ro("custom", &L::Header::custom)
        .def_prop_ro("laser_shots", [](const L::Header& h) {
            return std::make_tuple(h.laser_shots[0], h.laser_shots[1], h.laser_shots[2]);
        })
        .def_prop_ro("repetition_rate", [](const L::Header& h) {
            return std::make_tuple(h.repetition_rate[0], h.repetition_rate[1], h.repetition_rate[2]);
        }, "Laser repetition rates (Hz).")
        .def_ro("line3_extra", &L::Header::line3_extra)
        .def_ro("sets", &L::Header::sets, "The active data sets, in file order.")
        .def_ro("data_offset", &L::Header::data_offset)
        .def_ro("file_size", &L::Header::file_size);

    m.def("licel_scan", [](const std::vector<std::string>& paths, unsigned threads) {
        std::vector<L::Scan> found;
        {
            Unlocked unlocked;
            found = L::scan(paths, threads);
        }
        nb::list out;
        for (L::Scan& s : found) {
            if (s.error.empty())
                out.append(nb::make_tuple(nb::cast(std::move(s.header)), nb::none(), false));
            else
                out.append(nb::make_tuple(nb::none(), s.error, s.os_error));
        }
        return out;
    }, "paths"_a, "threads"_a,
    "Parses each file's header: a list of (header, None, False) or (None, why, is_os_error).");

    using Raw = nb::ndarray<std::uint32_t, nb::ndim<3>, nb::c_contig, nb::device::cpu>;
    using Signal = nb::ndarray<double, nb::ndim<3>, nb::c_contig, nb::device::cpu>;
    m.def("licel_read", [](const std::vector<std::string>& paths, const std::vector<L::Header>& headers,
                           const std::vector<std::size_t>& set_of_channel, Raw raw, Signal signal,
                           unsigned threads) {
        if (raw.shape(0) != paths.size() || raw.shape(1) != set_of_channel.size() ||
            signal.shape(0) != raw.shape(0) || signal.shape(1) != raw.shape(1) ||
            signal.shape(2) != raw.shape(2))
            throw std::invalid_argument("licel_read: raw and signal must be (files, channels, gates)");
        for (std::size_t i = 0; i < headers.size(); ++i)
            for (std::size_t s : set_of_channel)
                if (s >= headers[i].sets.size())
                    throw std::invalid_argument("licel_read: a channel's data set is not in a header");
        Unlocked unlocked;
        return L::read(paths, headers, set_of_channel, {raw.shape(1), raw.shape(2)},
                       {raw.data(), raw.size()}, {signal.data(), signal.size()}, threads);
    }, "paths"_a, "headers"_a, "set_of_channel"_a, "raw"_a, "signal"_a, "threads"_a,
    "Reads the files' data sets into `raw` (counts) and `signal` (mV or MHz), row i from "
    "file i, channel c from data set set_of_channel[c]; returns per file '' or why not.");
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
