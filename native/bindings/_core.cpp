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
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/unique_ptr.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <atomic>
#include <mutex>

#include <dlfcn.h>
#include <signal.h>

#include "atmosphere.h"
#include "clouds.h"
#include "corrections.h"
#include "depolarization.h"
#include "klett.h"
#include "licel.h"
#include "memory.h"
#include "molecular_profile.h"
#include "parallel.h"
#include "raman.h"
#include "rayleigh.h"
#include "retrieval_noise.h"
#include "retrieval_uncertainty.h"
#include "simulate.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

using In = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;
using Out = nb::ndarray<nb::numpy, double>;
using Unlocked = nb::gil_scoped_release;

// ---- Interrupts -------------------------------------------------------------------------
//
// While a kernel runs with the lock released, Python's own SIGINT handler only notes the
// signal for the interpreter's next check, which comes after the kernel.  A long kernel
// therefore runs in an `Interruptible` scope: for its duration SIGINT also asks the core
// to stop (aerolume::request_cancel) before calling the handler it replaced; the kernel
// ends with aerolume::Cancelled at its next check, and the call raises what Python's
// handler raises (KeyboardInterrupt).  Scopes may overlap (several threads): the handler
// is installed by the first and put back by the last, and only where Python handles
// SIGINT (not where it is ignored or left to its default).
namespace interrupts {

std::mutex lock;
unsigned active = 0;            // scopes open (under lock)
bool installed = false;         // whether our handler is in place (under lock)
struct sigaction previous;      // the handler ours replaced (set before ours is installed)
std::atomic<bool> requested{false};

void handler(int sig, siginfo_t* info, void* context) {
    if (!requested.exchange(true)) aerolume::request_cancel();
    if (previous.sa_flags & SA_SIGINFO)
        previous.sa_sigaction(sig, info, context);
    else if (previous.sa_handler != SIG_IGN && previous.sa_handler != SIG_DFL)
        previous.sa_handler(sig);
}

void enter() {
    std::lock_guard<std::mutex> guard(lock);
    if (active++ != 0) return;
    struct sigaction current;
    if (::sigaction(SIGINT, nullptr, &current) != 0) return;
    const bool python_handles = (current.sa_flags & SA_SIGINFO) ||
                                (current.sa_handler != SIG_IGN && current.sa_handler != SIG_DFL);
    if (!python_handles) return;
    previous = current;
    struct sigaction ours = current;
    ours.sa_sigaction = handler;
    ours.sa_flags = (current.sa_flags | SA_SIGINFO) & ~SA_RESETHAND;
    installed = ::sigaction(SIGINT, &ours, nullptr) == 0;
}

void leave() {
    std::lock_guard<std::mutex> guard(lock);
    if (--active != 0) return;
    if (installed) {
        struct sigaction current;
        // Put back only our own: Python may have set another handler meanwhile.
        if (::sigaction(SIGINT, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) &&
            current.sa_sigaction == handler)
            ::sigaction(SIGINT, &previous, nullptr);
        installed = false;
    }
    if (requested.exchange(false)) aerolume::end_cancel();
}

}  // namespace interrupts

// The lock released, and SIGINT stopping the kernel (see above).
class Interruptible {
public:
    Interruptible() { interrupts::enter(); }
    ~Interruptible() { interrupts::leave(); }
    Interruptible(const Interruptible&) = delete;
    Interruptible& operator=(const Interruptible&) = delete;

private:
    Unlocked unlocked_;  // (enter() and leave() touch no Python object)
};

// A kernel stopped by an interrupt: what Python's handler raises, KeyboardInterrupt if it
// raises nothing.
void translate_cancelled(const std::exception_ptr& failure, void*) {
    try {
        std::rethrow_exception(failure);
    } catch (const aerolume::Cancelled&) {
        if (PyErr_CheckSignals() == 0) PyErr_SetNone(PyExc_KeyboardInterrupt);
    }
}

// A new, uninitialised array of T that tracemalloc accounts for as it does NumPy's own
// (so that memory measured with tracemalloc includes it), and its data.
// (Looked up at run time: CPython 3.10's header declares these without C linkage.)
struct TraceMalloc {
    using Track = int (*)(unsigned, std::uintptr_t, std::size_t);
    using Untrack = int (*)(unsigned, std::uintptr_t);
    Track track = reinterpret_cast<Track>(dlsym(RTLD_DEFAULT, "PyTraceMalloc_Track"));
    Untrack untrack = reinterpret_cast<Untrack>(dlsym(RTLD_DEFAULT, "PyTraceMalloc_Untrack"));
    static constexpr unsigned numpy_domain = 389047;  // the domain NumPy reports in
};

const TraceMalloc& tracemalloc() {
    static const TraceMalloc functions;
    return functions;
}

template <class T>
std::pair<T*, nb::ndarray<nb::numpy, T>> traced_array(std::vector<std::size_t> shape) {
    std::size_t size = 1;
    for (std::size_t n : shape) size *= n;
    T* data = new T[size == 0 ? 1 : size];
    if (tracemalloc().track)
        tracemalloc().track(TraceMalloc::numpy_domain, reinterpret_cast<std::uintptr_t>(data),
                            size * sizeof(T));
    nb::capsule owner(data, [](void* p) noexcept {
        if (tracemalloc().untrack)
            tracemalloc().untrack(TraceMalloc::numpy_domain, reinterpret_cast<std::uintptr_t>(p));
        delete[] static_cast<T*>(p);
    });
    return {data, nb::ndarray<nb::numpy, T>(data, shape.size(), shape.data(), owner)};
}

// A new float64 array of `shape`, owned by the returned NumPy array, and its data.
struct NewArray {
    double* data;
    Out array;
};

// Left uninitialised, for kernels that write every element.
NewArray unfilled_array(const std::vector<std::size_t>& shape) {
    auto [data, array] = traced_array<double>(shape);
    return {data, array};
}

// Filled with zeros.
NewArray new_array(const std::vector<std::size_t>& shape) {
    NewArray result = unfilled_array(shape);
    std::fill_n(result.data, result.array.size(), 0.0);
    return result;
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
    auto span_of = [](const In& a) { return std::span<const double>(a.data(), a.size()); };
    auto out_span = [](const NewArray& a, std::size_t size) { return std::span<double>(a.data, size); };
    auto method_of = [](const std::string& method) {
        if (method == "first_principles") return aerolume::rayleigh::Method::first_principles;
        if (method == "bucholtz") return aerolume::rayleigh::Method::bucholtz;
        throw std::invalid_argument("method must be 'first_principles' or 'bucholtz'");
    };
    auto line_of = [](const std::string& line) {
        if (line == "total") return aerolume::rayleigh::Line::total;
        if (line == "cabannes") return aerolume::rayleigh::Line::cabannes;
        throw std::invalid_argument("line must be 'total' or 'cabannes'");
    };
    // Element by element over `wavelength`, into a new array of its shape.
    auto per_wavelength = [](const In& wavelength, auto&& f) {
        NewArray result = unfilled_array(shape_of(wavelength));
        const double* w = wavelength.data();
        const std::size_t size = wavelength.size();
        Unlocked unlocked;
        for (std::size_t i = 0; i < size; ++i) result.data[i] = f(w[i]);
        return result.array;
    };

    m.def("standard_atmosphere",
          [span_of](const In& altitude, unsigned threads) {
              const auto shape = shape_of(altitude);
              const std::size_t size = altitude.size();
              NewArray t = unfilled_array(shape), p = unfilled_array(shape), n = unfilled_array(shape);
              {
                  Unlocked unlocked;
                  aerolume::standard_atmosphere(span_of(altitude), {t.data, size}, {p.data, size},
                                                {n.data, size}, threads);
              }
              return nb::make_tuple(t.array, p.array, n.array);
          },
          "altitude"_a, "threads"_a = 0,
          "The US Standard Atmosphere 1976 at geometric altitudes (m): temperature (K), "
          "pressure (Pa), number density (m^-3).");

    m.def("sounding_atmosphere",
          [span_of](const In& level_altitude, const In& level_temperature,
                           const In& level_pressure, const In& level_log_pressure,
                           const In& altitude) {
              const aerolume::SoundingView sounding(span_of(level_altitude), span_of(level_temperature),
                                                    span_of(level_pressure),
                                                    span_of(level_log_pressure));
              const auto shape = shape_of(altitude);
              const std::size_t size = altitude.size();
              NewArray t = unfilled_array(shape), p = unfilled_array(shape), n = unfilled_array(shape);
              {
                  Unlocked unlocked;
                  const double* z = altitude.data();
                  for (std::size_t i = 0; i < size; ++i) {
                      const aerolume::AirState air = sounding.at(z[i]);
                      t.data[i] = air.temperature;
                      p.data[i] = air.pressure;
                      n.data[i] = air.number_density;
                  }
              }
              return nb::make_tuple(t.array, p.array, n.array);
          },
          "level_altitude"_a, "level_temperature"_a, "level_pressure"_a, "level_log_pressure"_a,
          "altitude"_a,
          "The air of a sounding (levels of strictly increasing altitude) at altitudes (m): "
          "temperature (K), pressure (Pa), number density (m^-3).");

    m.def("sounding_levels",
          [span_of](const In& altitude, const In& pressure, const In& temperature,
                    bool with_log_pressure) {
              const std::size_t levels = altitude.size();
              if (altitude.ndim() != 1 || pressure.ndim() != 1 || temperature.ndim() != 1 ||
                  pressure.size() != levels || temperature.size() != levels)
                  throw std::invalid_argument("altitude, pressure and temperature: one "
                                              "dimension, one value per level");
              NewArray z = unfilled_array({levels}), p = unfilled_array({levels}), t = unfilled_array({levels});
              std::optional<NewArray> log_p;
              if (with_log_pressure) log_p = unfilled_array({levels});
              unsigned flaws;
              {
                  Unlocked unlocked;
                  std::copy_n(altitude.data(), levels, z.data);
                  std::copy_n(pressure.data(), levels, p.data);
                  std::copy_n(temperature.data(), levels, t.data);
                  flaws = aerolume::inspect_sounding(
                      span_of(altitude), span_of(pressure), span_of(temperature),
                      log_p ? std::span<double>(log_p->data, levels) : std::span<double>());
              }
              return nb::make_tuple(z.array, p.array, t.array,
                                    log_p ? nb::cast(log_p->array) : nb::none(), flaws);
          },
          "altitude"_a, "pressure"_a, "temperature"_a, "with_log_pressure"_a = true,
          "A sounding's levels inspected in one pass: copies of altitude (m), pressure (Pa) and "
          "temperature (K), ln pressure (None unless `with_log_pressure`), and bit flags of "
          "what is wrong (1 not finite, 2 not positive, 4 altitudes not strictly increasing, "
          "8 pressure rising, 16 a temperature under 100 K, 32 a pressure under 10,000 Pa "
          "below 10 km; 0 nothing).");

    m.def("sounding_log_pressures",
          [span_of](const std::vector<In>& pressures, unsigned threads) {
              std::vector<NewArray> logs;
              logs.reserve(pressures.size());
              std::size_t values = 0;
              for (const In& p : pressures) {
                  if (p.ndim() != 1) throw std::invalid_argument("pressures: one dimension each");
                  logs.push_back(unfilled_array({p.size()}));
                  values += p.size();
              }
              {
                  Unlocked unlocked;
                  // Soundings handed out to threads whole, each written by one of them.
                  aerolume::parallel_for(
                      pressures.size(), threads,
                      [&](std::size_t begin, std::size_t end) {
                          for (std::size_t s = begin; s < end; ++s)
                              aerolume::sounding_log_pressure(
                                  span_of(pressures[s]), {logs[s].data, pressures[s].size()});
                      },
                      values < 32768 ? pressures.size() + 1 : 1);
              }
              nb::list result;
              for (NewArray& a : logs) result.append(nb::cast(a.array));
              return result;
          },
          "pressures"_a, "threads"_a = 0,
          "ln pressure (NaN where not positive) of the levels of several soundings (Pa), on up "
          "to `threads` threads.");

    m.def("refractivity",
          [per_wavelength](const In& wavelength, double co2) {
              return per_wavelength(wavelength,
                                    [co2](double w) { return aerolume::rayleigh::refractivity(w, co2); });
          },
          "wavelength"_a, "co2"_a, "n - 1 of standard air at wavelengths (m) and a CO2 mole fraction.");
    m.def("king_factor",
          [per_wavelength](const In& wavelength, double co2) {
              return per_wavelength(wavelength,
                                    [co2](double w) { return aerolume::rayleigh::king_factor(w, co2); });
          },
          "wavelength"_a, "co2"_a, "The King correction factor of air (1).");
    m.def("depolarization_ratio",
          [per_wavelength, line_of](const In& wavelength, double co2, const std::string& line,
                                    bool linear) {
              const auto l = line_of(line);
              return per_wavelength(wavelength, [co2, l, linear](double w) {
                  return aerolume::rayleigh::depolarization_ratio(w, co2, l, linear);
              });
          },
          "wavelength"_a, "co2"_a, "line"_a, "linear"_a,
          "The depolarisation ratio of air (1): of linearly polarised light scattered backwards "
          "if `linear`, else of unpolarised light scattered at 90 degrees.");
    m.def("cross_section",
          [per_wavelength, method_of](const In& wavelength, double co2, const std::string& method) {
              const auto how = method_of(method);
              return per_wavelength(wavelength, [co2, how](double w) {
                  return aerolume::rayleigh::cross_section(w, co2, how);
              });
          },
          "wavelength"_a, "co2"_a, "method"_a,
          "The total Rayleigh scattering cross-section per molecule of air (m^2).");
    m.def("backscatter_cross_section",
          [per_wavelength, method_of, line_of](const In& wavelength, double co2,
                                               const std::string& method, const std::string& line) {
              const auto how = method_of(method);
              const auto l = line_of(line);
              return per_wavelength(wavelength, [co2, how, l](double w) {
                  return aerolume::rayleigh::backscatter_cross_section(w, co2, how, l);
              });
          },
          "wavelength"_a, "co2"_a, "method"_a, "line"_a,
          "The Rayleigh backscatter cross-section per molecule of air into `line` (m^2 sr^-1).");

    m.def("beam_altitudes",
          [span_of](const In& range, const In& station_altitude, const In& cos_zenith,
                           unsigned threads) {
              const std::size_t beams = station_altitude.size(), gates = range.size();
              NewArray altitude = unfilled_array({beams, gates});
              {
                  Unlocked unlocked;
                  aerolume::beam_altitudes(span_of(range), span_of(station_altitude),
                                           span_of(cos_zenith), {altitude.data, beams * gates},
                                           threads);
              }
              return altitude.array;
          },
          "range"_a, "station_altitude"_a, "cos_zenith"_a, "threads"_a = 0,
          "The altitude (m) of every range (m) along beams (one per station altitude and zenith "
          "cosine): an array beams x gates.");

    // The molecular profiles of one source of air: returns the tuple (temperature, pressure,
    // number density, extinction, backscatter, two-way transmission, attenuated backscatter),
    // each profiles x gates (the first three None for given number densities).
    auto profiles = [span_of, out_span](const In& range, const In& altitude,
                                               const In& station_altitude, std::size_t profiles,
                                               double extinction, double backscatter, bool with_air,
                                               auto&& kernel) {
        const std::size_t gates = range.size(), size = profiles * gates;
        const aerolume::BeamGrid grid{profiles, span_of(range), span_of(altitude),
                                      span_of(station_altitude)};
        std::vector<NewArray> arrays;
        for (int i = 0; i < (with_air ? 7 : 4); ++i) arrays.push_back(unfilled_array({profiles, gates}));
        const std::size_t first = with_air ? 3 : 0;
        aerolume::MolecularOutput out{};
        if (with_air) {
            out.temperature = out_span(arrays[0], size);
            out.pressure = out_span(arrays[1], size);
            out.number_density = out_span(arrays[2], size);
        }
        out.extinction = out_span(arrays[first], size);
        out.backscatter = out_span(arrays[first + 1], size);
        out.transmission = out_span(arrays[first + 2], size);
        out.attenuated_backscatter = out_span(arrays[first + 3], size);
        {
            Unlocked unlocked;
            kernel(grid, aerolume::MolecularCrossSections{extinction, backscatter}, out);
        }
        nb::list result;
        for (std::size_t i = 0; i < 3; ++i)
            result.append(with_air ? nb::cast(arrays[i].array) : nb::none());
        for (std::size_t i = first; i < first + 4; ++i) result.append(nb::cast(arrays[i].array));
        return nb::tuple(result);
    };

    m.def("standard_profiles",
          [profiles](const In& range, const In& altitude, const In& station_altitude,
                     std::size_t count, double extinction, double backscatter, unsigned threads) {
              return profiles(range, altitude, station_altitude, count, extinction, backscatter, true,
                              [threads](const auto& grid, auto optics, const auto& out) {
                                  aerolume::standard_profiles(grid, optics, out, threads);
                              });
          },
          "range"_a, "altitude"_a, "station_altitude"_a, "profiles"_a, "extinction"_a,
          "backscatter"_a, "threads"_a = 0,
          "Molecular profiles in the US Standard Atmosphere 1976, given the gates' ranges (m), "
          "altitudes (m, one row per beam), the beams' station altitudes (m) and the extinction "
          "(m^2) and backscatter (m^2 sr^-1) cross-sections per molecule.");

    m.def("sounding_profiles",
          [profiles, span_of](const In& range, const In& altitude, const In& station_altitude,
                              std::size_t count, const std::vector<In>& level_altitude,
                              const std::vector<In>& level_temperature,
                              const std::vector<In>& level_pressure,
                              const std::vector<In>& level_log_pressure, double extinction,
                              double backscatter, unsigned threads) {
              const std::size_t soundings = level_altitude.size();
              if (level_temperature.size() != soundings || level_pressure.size() != soundings ||
                  level_log_pressure.size() != soundings)
                  throw std::invalid_argument("as many temperature, pressure and log pressure "
                                              "arrays as altitude arrays");
              std::vector<aerolume::SoundingView> views;
              views.reserve(soundings);
              for (std::size_t s = 0; s < soundings; ++s)
                  views.emplace_back(span_of(level_altitude[s]), span_of(level_temperature[s]),
                                     span_of(level_pressure[s]), span_of(level_log_pressure[s]));
              return profiles(range, altitude, station_altitude, count, extinction, backscatter, true,
                              [&views, threads](const auto& grid, auto optics, const auto& out) {
                                  aerolume::sounding_profiles(grid, views, optics, out, threads);
                              });
          },
          "range"_a, "altitude"_a, "station_altitude"_a, "profiles"_a, "level_altitude"_a,
          "level_temperature"_a, "level_pressure"_a, "level_log_pressure"_a, "extinction"_a,
          "backscatter"_a, "threads"_a = 0,
          "Molecular profiles in soundings (one for all profiles or one per profile), each given "
          "by its levels: altitude (m, strictly increasing), temperature (K), pressure (Pa) and "
          "its logarithm.");

    m.def("density_profiles",
          [profiles, span_of](const In& range, const In& altitude, const In& station_altitude,
                              std::size_t count, const In& number_density, double extinction,
                              double backscatter, unsigned threads) {
              return profiles(range, altitude, station_altitude, count, extinction, backscatter, false,
                              [&](const auto& grid, auto optics, const auto& out) {
                                  aerolume::density_profiles(grid, span_of(number_density), optics,
                                                             out, threads);
                              });
          },
          "range"_a, "altitude"_a, "station_altitude"_a, "profiles"_a, "number_density"_a,
          "extinction"_a, "backscatter"_a, "threads"_a = 0,
          "Molecular profiles from number densities (m^-3; profiles x (1 + gates): at the "
          "instrument, then at every gate).");
}

// A new (rows,) array of T holding value(i).
template <class T, class Value>
nb::ndarray<nb::numpy, T> column(std::size_t rows, Value value) {
    auto [data, array] = traced_array<T>({rows});
    for (std::size_t i = 0; i < rows; ++i) data[i] = static_cast<T>(value(i));
    return array;
}

// A new (rows, columns) array of T holding value(i, k).
template <class T, class Value>
nb::ndarray<nb::numpy, T> table(std::size_t rows, std::size_t columns, Value value) {
    auto [data, array] = traced_array<T>({rows, columns});
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t k = 0; k < columns; ++k) data[i * columns + k] = static_cast<T>(value(i, k));
    return array;
}

// What a read of `paths` needs of its arguments: one header per path, and each channel's
// data set in every header, no longer than `gates`.
void check_read(const std::vector<std::string>& paths,
                const std::vector<aerolume::licel::Header>& headers,
                const std::vector<std::size_t>& set_of_channel, std::size_t gates,
                const std::string& function) {
    if (headers.size() != paths.size())
        throw std::invalid_argument(function + ": one header per path");
    for (const aerolume::licel::Header& h : headers)
        for (std::size_t s : set_of_channel)
            if (s >= h.sets.size() || static_cast<std::size_t>(h.sets[s].bins) > gates)
                throw std::invalid_argument(function + ": a channel's data set is not in a header");
}

// A read of raw files started on the core's workers (licel_read_start): the caller goes
// on with other work, and finish() reads the files no worker has taken, waits for the
// rest and hands out the arrays.
struct LicelReading {
    std::vector<std::string> paths;
    std::vector<aerolume::licel::Header> headers;
    std::vector<std::size_t> set_of_channel;
    nb::object raw, signal;
    std::unique_ptr<aerolume::licel::Reader> reader;
    // Last, so destroyed first: waits for the workers before what they write to goes.
    std::unique_ptr<aerolume::Background> background;

    nb::tuple finish() {
        if (!background) throw std::runtime_error("this read has finished already");
        {
            Interruptible unlocked;
            background->finish();
        }
        background.reset();
        nb::tuple out = nb::make_tuple(raw, signal, std::move(reader->errors()));
        raw = nb::object();
        signal = nb::object();
        reader.reset();
        return out;
    }
};

// ---- Raw data ---------------------------------------------------------------------------

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
        .def_ro("scan_line", &L::Header::scan_line,
                "Whether the header has the scan line of a scanning lidar.")
        .def_prop_ro("scan", [](const L::Header& h) {
            return std::make_tuple(h.scan[0], h.scan[1], h.scan[2], h.scan[3], h.scan[4],
                                   h.scan[5], h.scan[6]);
        }, "The scan line (deg): azimuth start, stop, step; zenith start, stop, step; "
           "azimuth offset.  NaN without one.")
        .def_ro("sets", &L::Header::sets, "The active data sets, in file order.")
        .def_ro("data_offset", &L::Header::data_offset)
        .def_ro("file_size", &L::Header::file_size);

    m.def("licel_scan", [](const std::vector<std::string>& paths, unsigned threads) {
        std::vector<L::Scan> found;
        {
            Interruptible unlocked;
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

    m.def("licel_same_channels", [](const std::vector<L::Header>& headers, const L::Header& reference) {
        std::vector<bool> same(headers.size());
        for (std::size_t i = 0; i < headers.size(); ++i) same[i] = L::same_channels(headers[i], reference);
        return same;
    }, "headers"_a, "reference"_a,
    "Per header, whether it announces the same channels as `reference`.");

    m.def("licel_fields", [](const std::vector<L::Header>& headers,
                             const std::vector<std::size_t>& set_of_channel) {
        const std::size_t n = headers.size(), channels = set_of_channel.size();
        if (n == 0) throw std::invalid_argument("licel_fields: no header");
        for (const L::Header& h : headers)
            for (std::size_t s : set_of_channel)
                if (s >= h.sets.size())
                    throw std::invalid_argument("licel_fields: a channel's data set is not in a header");
        const auto& h = headers;
        auto set = [&](std::size_t i, std::size_t c) -> const L::DataSet& {
            return h[i].sets[set_of_channel[c]];
        };
        auto texts = [](std::size_t count, auto&& value) {
            nb::list values;
            for (std::size_t i = 0; i < count; ++i) values.append(nb::cast(value(i)));
            return values;
        };
        constexpr std::int64_t ns = 1'000'000'000;  // (the parser admits only years that fit)
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        nb::dict out;
        // Per file.
        out["time"] = column<std::int64_t>(n, [&](std::size_t i) { return h[i].start * ns; });
        out["stop_time"] = column<std::int64_t>(n, [&](std::size_t i) { return h[i].stop * ns; });
        out["station_altitude"] = column<double>(n, [&](std::size_t i) { return h[i].altitude; });
        out["latitude"] = column<double>(n, [&](std::size_t i) { return h[i].latitude; });
        out["longitude"] = column<double>(n, [&](std::size_t i) { return h[i].longitude; });
        out["zenith_angle"] = column<double>(n, [&](std::size_t i) { return h[i].zenith; });
        out["azimuth_angle"] = column<double>(n, [&](std::size_t i) { return h[i].azimuth; });
        out["temperature"] = column<double>(n, [&](std::size_t i) { return h[i].temperature + 273.15; });
        out["pressure"] = column<double>(n, [&](std::size_t i) { return h[i].pressure * 100.0; });
        out["header_file_name"] = texts(n, [&](std::size_t i) { return h[i].file_name; });
        out["site"] = texts(n, [&](std::size_t i) { return h[i].site; });
        out["header_comment"] = texts(n, [&](std::size_t i) { return h[i].custom; });
        out["controller_info"] = texts(n, [&](std::size_t i) { return h[i].line3_extra; });
        out["scan_line"] = column<bool>(n, [&](std::size_t i) { return h[i].scan_line; });
        static constexpr const char* scan_names[7] = {
            "scan_azimuth_start", "scan_azimuth_stop", "scan_azimuth_step", "scan_zenith_start",
            "scan_zenith_stop", "scan_zenith_step", "azimuth_offset"};
        for (std::size_t k = 0; k < 7; ++k)
            out[scan_names[k]] = column<double>(n, [&](std::size_t i) { return h[i].scan[k]; });
        // Per file and laser.
        out["laser_shots"] = table<std::int64_t>(n, 3, [&](std::size_t i, std::size_t k) {
            return h[i].laser_shots[k];
        });
        out["repetition_rate"] = table<double>(n, 3, [&](std::size_t i, std::size_t k) {
            return h[i].repetition_rate[k];
        });
        // Per file and channel.
        out["shots"] = table<std::int64_t>(n, channels, [&](std::size_t i, std::size_t c) {
            return set(i, c).shots;
        });
        out["high_voltage"] = table<double>(n, channels, [&](std::size_t i, std::size_t c) {
            return set(i, c).high_voltage;
        });
        out["adc_bits"] = table<std::int64_t>(n, channels, [&](std::size_t i, std::size_t c) {
            return set(i, c).adc_bits;
        });
        out["input_range"] = table<double>(n, channels, [&](std::size_t i, std::size_t c) {
            return set(i, c).photon_counting ? nan : set(i, c).input_range;
        });
        out["discriminator_level"] = table<double>(n, channels, [&](std::size_t i, std::size_t c) {
            return set(i, c).photon_counting ? set(i, c).input_range : nan;
        });
        out["bin_shift"] = table<std::int64_t>(n, channels, [&](std::size_t i, std::size_t c) {
            return set(i, c).bin_shift;
        });
        out["bin_shift_decimals"] = table<std::int64_t>(n, channels, [&](std::size_t i, std::size_t c) {
            return set(i, c).bin_shift_fraction;
        });
        // Per channel, as the first file has them (every file has the same channels).
        out["wavelength"] = column<double>(channels, [&](std::size_t c) {
            return static_cast<double>(set(0, c).wavelength) * 1e-9;
        });
        out["bin_width"] = column<double>(channels, [&](std::size_t c) { return set(0, c).bin_width; });
        out["bins"] = column<std::int64_t>(channels, [&](std::size_t c) { return set(0, c).bins; });
        out["laser_type"] = column<std::int64_t>(channels, [&](std::size_t c) { return set(0, c).laser; });
        out["photon_counting"] = column<bool>(channels, [&](std::size_t c) { return set(0, c).photon_counting; });
        out["recorder"] = texts(channels, [&](std::size_t c) { return set(0, c).device; });
        out["polarization"] = texts(channels, [&](std::size_t c) { return std::string(1, set(0, c).polarization); });
        return out;
    }, "headers"_a, "set_of_channel"_a,
    "The headers' fields as the columns of a Dataset, in SI units: arrays of one value per "
    "file (times in ns since 1970), per file and laser, per file and channel (channel c being "
    "data set set_of_channel[c]) or per channel, and lists of the text fields.");

    m.def("licel_read", [](const std::vector<std::string>& paths, const std::vector<L::Header>& headers,
                           const std::vector<std::size_t>& set_of_channel, std::size_t gates,
                           unsigned threads) {
        check_read(paths, headers, set_of_channel, gates, "licel_read");
        // Allocated here rather than by NumPy: large NumPy arrays ask the kernel for huge
        // pages, which can stall on memory compaction.  Every element is written by read.
        const std::size_t size = paths.size() * set_of_channel.size() * gates;
        auto [raw, raw_array] = traced_array<std::uint32_t>({paths.size(), set_of_channel.size(), gates});
        auto [signal, signal_array] = traced_array<double>({paths.size(), set_of_channel.size(), gates});
        std::vector<std::string> errors;
        {
            Interruptible unlocked;
            errors = L::read(paths, headers, set_of_channel, {set_of_channel.size(), gates},
                             {raw, size}, {signal, size}, threads);
        }
        return nb::make_tuple(raw_array, signal_array, errors);
    }, "paths"_a, "headers"_a, "set_of_channel"_a, "gates"_a, "threads"_a,
    "Reads the files' data sets: (raw counts, signal in mV or MHz, per file '' or why not), "
    "each (files, channels, gates), row i from file i, channel c from data set "
    "set_of_channel[c].");

    nb::class_<LicelReading>(m, "LicelReading", "A read of raw files under way (licel_read_start).")
        .def("finish", &LicelReading::finish,
             "Reads what no worker has taken and waits for the rest: (raw counts, signal, per "
             "file '' or why not), as licel_read returns them.");

    m.def("licel_read_start", [](std::vector<std::string> paths, std::vector<L::Header> headers,
                                 std::vector<std::size_t> set_of_channel, std::size_t gates,
                                 unsigned threads) {
        check_read(paths, headers, set_of_channel, gates, "licel_read_start");
        auto reading = std::make_unique<LicelReading>();
        reading->paths = std::move(paths);
        reading->headers = std::move(headers);
        reading->set_of_channel = std::move(set_of_channel);
        const std::size_t files = reading->paths.size(), channels = reading->set_of_channel.size();
        const std::size_t size = files * channels * gates;
        auto [raw, raw_array] = traced_array<std::uint32_t>({files, channels, gates});
        auto [signal, signal_array] = traced_array<double>({files, channels, gates});
        reading->raw = nb::cast(raw_array);
        reading->signal = nb::cast(signal_array);
        reading->reader = std::make_unique<L::Reader>(
            reading->paths, reading->headers, reading->set_of_channel, L::Layout{channels, gates},
            std::span<std::uint32_t>(raw, size), std::span<double>(signal, size));
        // A few blocks of files per thread, so that the caller, joining once done with its
        // own work, still finds some to read.
        const unsigned n = aerolume::resolve_threads(threads, files);
        const std::size_t blocks = std::min<std::size_t>(files, 4 * std::size_t{n});
        L::Reader* reader = reading->reader.get();
        reading->background = std::make_unique<aerolume::Background>(
            blocks, n - 1, [reader, files, blocks](std::size_t b) {
                reader->read_files(b * files / blocks, (b + 1) * files / blocks);
            });
        return reading;
    }, "paths"_a, "headers"_a, "set_of_channel"_a, "gates"_a, "threads"_a,
    "Starts licel_read on the core's workers (threads - 1 of them) and returns at once; "
    "finish() gives its result.");
}

// ---- Instrument corrections -------------------------------------------------------------

namespace corr = aerolume::corrections;

// A new array of T of `shape`, owned by the returned NumPy array, and its data.
template <class T>
std::pair<T*, nb::ndarray<nb::numpy, T>> new_typed(const std::vector<std::size_t>& shape) {
    std::size_t size = 1;
    for (std::size_t n : shape) size *= n;
    T* data = new T[size == 0 ? 1 : size]();
    nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<T*>(p); });
    return {data, nb::ndarray<nb::numpy, T>(data, shape.size(), shape.data(), owner)};
}

std::span<const double> view(const In& a) {
    return a.is_valid() ? std::span<const double>(a.data(), a.size()) : std::span<const double>();
}

std::span<double> view(NewArray& a, bool valid = true) {
    return valid ? std::span<double>(a.data, a.array.size()) : std::span<double>();
}

void same_shape(const In& a, const In& b, const char* what) {
    if (b.is_valid() && shape_of(a) != shape_of(b))
        throw std::invalid_argument(std::string(what) + " must have the shape of the signal");
}

corr::DeadTimeModel model_of(const std::string& name) {
    if (name == "non_paralysable") return corr::DeadTimeModel::non_paralysable;
    if (name == "paralysable") return corr::DeadTimeModel::paralysable;
    throw std::invalid_argument("model must be 'non_paralysable' or 'paralysable', got '" + name + "'");
}

using Index = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Sizes = nb::ndarray<const std::uint64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

std::span<const std::size_t> sizes(const Sizes& a) {
    static_assert(sizeof(std::size_t) == sizeof(std::uint64_t));
    return {reinterpret_cast<const std::size_t*>(a.data()), a.size()};
}

nb::object or_none(NewArray& a, bool valid) { return valid ? nb::object(nb::cast(a.array)) : nb::none(); }

void bind_corrections(nb::module_& m) {
    m.def("dead_time", [](In rate, In noise, In tau, const std::string& model, unsigned threads) {
        const Profiles p = profiles_of(rate, "rate");
        same_shape(rate, noise, "noise");
        if (tau.size() != p.count) throw std::invalid_argument("dead_time: one dead time per profile");
        const bool with_noise = noise.is_valid();
        NewArray out = new_array(shape_of(rate)), out_noise = new_array(with_noise ? shape_of(rate) : std::vector<std::size_t>{0});
        auto [flags, flag_array] = new_typed<std::uint8_t>(shape_of(rate));
        const corr::DeadTimeModel which = model_of(model);
        {
            Unlocked unlocked;
            corr::dead_time(view(rate), view(noise), p.gates, view(tau), which, view(out),
                            view(out_noise, with_noise), {flags, rate.size()}, threads);
        }
        return nb::make_tuple(out.array, or_none(out_noise, with_noise), flag_array);
    }, "rate"_a, "noise"_a.none(), "tau"_a, "model"_a, "threads"_a,
    "Dead-time correction of count rates (MHz; tau in ns, one per profile): (rate, noise, saturated).");

    m.def("shift_bins", [](In x, Index shifts, unsigned threads) {
        const Profiles p = profiles_of(x, "signal");
        if (shifts.size() != p.count) throw std::invalid_argument("shift_bins: one shift per profile");
        NewArray out = new_array(shape_of(x));
        {
            Unlocked unlocked;
            corr::shift(view(x), p.gates, {shifts.data(), shifts.size()}, view(out), threads);
        }
        return out.array;
    }, "x"_a, "shifts"_a, "threads"_a, "out[..., k] = x[..., k + shift], NaN outside.");

    m.def("background", [](In x, Sizes begin, Sizes end, bool subtract, unsigned threads) {
        const Profiles p = profiles_of(x, "signal");
        if (begin.size() != p.count || end.size() != p.count)
            throw std::invalid_argument("background: one window per profile");
        NewArray out = new_array(subtract ? shape_of(x) : std::vector<std::size_t>{0});
        const std::vector<std::size_t> per{p.count};
        NewArray mean = new_array(per), sd = new_array(per);
        auto [count, count_array] = new_typed<std::uint64_t>(per);
        {
            Unlocked unlocked;
            corr::background(view(x), p.gates, sizes(begin), sizes(end), view(out, subtract),
                             view(mean), view(sd), {reinterpret_cast<std::size_t*>(count), p.count},
                             threads);
        }
        return nb::make_tuple(or_none(out, subtract), mean.array, sd.array, count_array);
    }, "x"_a, "begin"_a, "end"_a, "subtract"_a, "threads"_a,
    "Background mean, standard deviation and count over [begin, end) per profile, and the "
    "signal minus the mean: (signal or None, mean, std, count).");

    m.def("glue", [](In analog, In pc, In analog_noise, In pc_noise, double low, double high,
                     std::size_t begin, std::size_t end, In min_analog, unsigned threads) {
        const Profiles p = profiles_of(analog, "analog");
        same_shape(analog, pc, "photon_counting");
        same_shape(analog, analog_noise, "analog_noise");
        same_shape(analog, pc_noise, "photon_counting_noise");
        if (min_analog.size() != p.count) throw std::invalid_argument("glue: one min_analog per profile");
        const bool with_noise = analog_noise.is_valid() || pc_noise.is_valid();
        NewArray out = new_array(shape_of(analog));
        NewArray out_noise = new_array(with_noise ? shape_of(analog) : std::vector<std::size_t>{0});
        std::vector<corr::Fit> fits(p.count);
        {
            Unlocked unlocked;
            corr::glue(view(analog), view(pc), view(analog_noise), view(pc_noise), p.gates,
                       {low, high, begin, end}, view(min_analog), view(out),
                       view(out_noise, with_noise), fits, threads);
        }
        const std::vector<std::size_t> per{p.count};
        NewArray slope = new_array(per), offset = new_array(per), r = new_array(per);
        auto [count, count_array] = new_typed<std::int64_t>(per);
        auto [first, first_array] = new_typed<std::int64_t>(per);
        auto [last, last_array] = new_typed<std::int64_t>(per);
        for (std::size_t i = 0; i < p.count; ++i) {
            slope.data[i] = fits[i].slope;
            offset.data[i] = fits[i].offset;
            r.data[i] = fits[i].correlation;
            count[i] = static_cast<std::int64_t>(fits[i].count);
            first[i] = fits[i].count ? static_cast<std::int64_t>(fits[i].first) : -1;
            last[i] = fits[i].count ? static_cast<std::int64_t>(fits[i].last) : -1;
        }
        return nb::make_tuple(out.array, or_none(out_noise, with_noise), slope.array, offset.array,
                              r.array, count_array, first_array, last_array);
    }, "analog"_a, "pc"_a, "analog_noise"_a.none(), "pc_noise"_a.none(), "low"_a, "high"_a,
    "begin"_a, "end"_a, "min_analog"_a, "threads"_a,
    "Glues analog and photon-counting profiles: (signal, noise, slope, offset, correlation, "
    "count, first, last).");

    using In3 = nb::ndarray<const double, nb::ndim<3>, nb::c_contig, nb::device::cpu>;
    using In2 = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
    m.def("average_time", [](In3 x, In noise, In2 weights, Sizes starts, unsigned threads) {
        const std::size_t T = x.shape(0), I = x.shape(1), R = x.shape(2);
        if (noise.is_valid() && (noise.ndim() != 3 || noise.shape(0) != T || noise.shape(1) != I ||
                                 noise.shape(2) != R))
            throw std::invalid_argument("noise must have the shape of the signal");
        if (weights.shape(0) != T || weights.shape(1) != I)
            throw std::invalid_argument("weights must be (time, channel)");
        if (starts.size() < 1) throw std::invalid_argument("average_time: no groups");
        const std::size_t G = starts.size() - 1;
        const bool with_noise = noise.is_valid();
        NewArray out = new_array({G, I, R});
        NewArray out_noise = new_array(with_noise ? std::vector<std::size_t>{G, I, R} : std::vector<std::size_t>{0});
        NewArray wsum = new_array({G, I});
        {
            Unlocked unlocked;
            corr::average_time({x.data(), x.size()}, view(noise), {weights.data(), weights.size()},
                               T, I, R, sizes(starts), view(out), view(out_noise, with_noise),
                               view(wsum), threads);
        }
        return nb::make_tuple(out.array, or_none(out_noise, with_noise), wsum.array);
    }, "x"_a, "noise"_a.none(), "weights"_a, "starts"_a, "threads"_a,
    "Weighted means over groups of profiles [starts[g], starts[g+1]): (signal, noise, weight sums).");

    m.def("merge_bins", [](In x, In noise, std::size_t bins, unsigned threads) {
        const Profiles p = profiles_of(x, "signal");
        same_shape(x, noise, "noise");
        if (bins < 1) throw std::invalid_argument("bins must be at least 1");
        std::vector<std::size_t> shape = shape_of(x);
        shape.back() = (p.gates + bins - 1) / bins;
        const bool with_noise = noise.is_valid();
        NewArray out = new_array(shape), out_noise = new_array(with_noise ? shape : std::vector<std::size_t>{0});
        {
            Unlocked unlocked;
            corr::merge(view(x), view(noise), p.gates, bins, view(out), view(out_noise, with_noise), threads);
        }
        return nb::make_tuple(out.array, or_none(out_noise, with_noise));
    }, "x"_a, "noise"_a.none(), "bins"_a, "threads"_a, "Means of consecutive bins: (signal, noise).");

    m.def("scale_range", [](In x, In noise, In factor, unsigned threads) {
        const Profiles p = profiles_of(x, "signal");
        same_shape(x, noise, "noise");
        if (factor.size() != p.gates) throw std::invalid_argument("factor must have one value per range bin");
        const bool with_noise = noise.is_valid();
        NewArray out = new_array(shape_of(x)), out_noise = new_array(with_noise ? shape_of(x) : std::vector<std::size_t>{0});
        {
            Unlocked unlocked;
            corr::scale(view(x), view(noise), p.gates, view(factor), view(out), view(out_noise, with_noise), threads);
        }
        return nb::make_tuple(out.array, or_none(out_noise, with_noise));
    }, "x"_a, "noise"_a.none(), "factor"_a, "threads"_a, "x * factor along range: (signal, noise).");

    // The whole chain: what it does to each input channel, and each glue pair.
    nb::class_<corr::ChannelSteps>(m, "ChannelSteps",
        "What the correction chain does to one input channel: dead time (ns, 0: none) with "
        "its model, the background window (input bins) and whether it is subtracted, and "
        "the bin shift.")
        .def("__init__",
             [](corr::ChannelSteps* self, bool photon_counting, double dead_time, const std::string& model,
                std::size_t background_begin, std::size_t background_end, bool subtract_background,
                std::int64_t shift) {
                 new (self) corr::ChannelSteps{photon_counting, dead_time, model_of(model), background_begin,
                                               background_end, subtract_background, shift};
             },
             nb::kw_only(), "photon_counting"_a, "dead_time"_a, "model"_a, "background_begin"_a,
             "background_end"_a, "subtract_background"_a, "shift"_a)
        .def_ro("photon_counting", &corr::ChannelSteps::photon_counting)
        .def_ro("dead_time", &corr::ChannelSteps::dead_time)
        .def_ro("background_begin", &corr::ChannelSteps::background_begin)
        .def_ro("background_end", &corr::ChannelSteps::background_end)
        .def_ro("subtract_background", &corr::ChannelSteps::subtract_background)
        .def_ro("shift", &corr::ChannelSteps::shift);
    nb::class_<corr::GluePair>(m, "GluePair",
        "One glue pair of the correction chain: its analog and photon-counting input "
        "channels, the count-rate window of the fit (MHz), the bins it may look at, and the "
        "analog signal-to-noise ratio the fit needs.")
        .def("__init__",
             [](corr::GluePair* self, std::size_t analog, std::size_t pc, double low, double high,
                std::size_t fit_begin, std::size_t fit_end, double min_analog_snr) {
                 new (self) corr::GluePair{analog, pc, {low, high, fit_begin, fit_end}, min_analog_snr};
             },
             nb::kw_only(), "analog"_a, "pc"_a, "low"_a, "high"_a, "fit_begin"_a, "fit_end"_a,
             "min_analog_snr"_a)
        .def_ro("analog", &corr::GluePair::analog)
        .def_ro("pc", &corr::GluePair::pc)
        .def_ro("min_analog_snr", &corr::GluePair::min_analog_snr);
    m.def("correction_chain", [](In3 signal, std::vector<corr::ChannelSteps> steps,
                                 std::vector<corr::GluePair> pairs,
                                 In2 poisson, In2 weights, Sizes starts, std::size_t merge, In factor,
                                 In noise_in, unsigned threads) {
        corr::Chain ch;
        ch.times = signal.shape(0);
        ch.channels = signal.shape(1);
        ch.gates = signal.shape(2);
        ch.steps = std::move(steps);
        ch.pairs = std::move(pairs);
        if (poisson.shape(0) != ch.times || poisson.shape(1) != ch.channels ||
            weights.shape(0) != ch.times || weights.shape(1) != ch.channels)
            throw std::invalid_argument("poisson and weights must be (time, channel)");
        ch.poisson = {poisson.data(), poisson.size()};
        ch.weights = {weights.data(), weights.size()};
        ch.starts.assign(sizes(starts).begin(), sizes(starts).end());
        if (ch.starts.empty()) throw std::invalid_argument("correction_chain: no groups");
        if (merge < 1) throw std::invalid_argument("merge must be at least 1");
        ch.merge = merge;
        ch.factor = view(factor);
        if (noise_in.is_valid() && noise_in.size() != signal.size())
            throw std::invalid_argument("noise must have the shape of the signal");
        ch.noise = view(noise_in);
        const std::size_t G = ch.starts.size() - 1, OC = ch.out_channels(), OR = ch.out_gates();
        const std::size_t T = ch.times, C = ch.channels, P = ch.pairs.size();
        auto [out_data, out_array] = traced_array<double>({G, OC, OR});
        auto [noise_data, noise_array] = traced_array<double>({G, OC, OR});
        NewArray wsum = new_array({G, OC});
        NewArray mean = new_array({T, C}), sd = new_array({T, C});
        auto [saturated, saturated_array] = new_typed<std::uint64_t>({T, C});
        std::vector<corr::Fit> fits(T * P);
        {
            Interruptible unlocked;
            corr::run_chain(ch, {signal.data(), signal.size()},
                            {{out_data, G * OC * OR}, {noise_data, G * OC * OR}, view(wsum), view(mean), view(sd),
                             {reinterpret_cast<std::size_t*>(saturated), T * C}, fits},
                            threads);
        }
        NewArray slope = new_array({T, P}), offset = new_array({T, P}), r = new_array({T, P});
        auto [count, count_array] = new_typed<std::int64_t>({T, P});
        auto [first, first_array] = new_typed<std::int64_t>({T, P});
        auto [last, last_array] = new_typed<std::int64_t>({T, P});
        for (std::size_t i = 0; i < T * P; ++i) {
            slope.data[i] = fits[i].slope;
            offset.data[i] = fits[i].offset;
            r.data[i] = fits[i].correlation;
            count[i] = static_cast<std::int64_t>(fits[i].count);
            first[i] = fits[i].count ? static_cast<std::int64_t>(fits[i].first) : -1;
            last[i] = fits[i].count ? static_cast<std::int64_t>(fits[i].last) : -1;
        }
        nb::dict d;
        d["signal"] = out_array;
        d["noise"] = noise_array;
        d["weight_sum"] = wsum.array;
        d["background_mean"] = mean.array;
        d["background_std"] = sd.array;
        d["saturated"] = saturated_array;
        d["slope"] = slope.array;
        d["offset"] = offset.array;
        d["correlation"] = r.array;
        d["count"] = count_array;
        d["first"] = first_array;
        d["last"] = last_array;
        return d;
    }, "signal"_a, "steps"_a, "pairs"_a, "poisson"_a, "weights"_a, "starts"_a, "merge"_a,
    "factor"_a.none(), "noise"_a.none(), "threads"_a,
    "Runs dead time, background, bin shift, glue, time averaging, bin merging and a range "
    "factor over (time, channel, range) signals in one pass; returns a dict of arrays.");
}

// ---- Retrievals, forward model and uncertainties ---------------------------------------

// A result array of the retrievals, left uninitialised, on huge pages where offered.
NewArray result_array(const std::vector<std::size_t>& shape) {
    NewArray out = unfilled_array(shape);
    aerolume::prefer_huge_pages(out.data, out.array.size() * sizeof(double));
    return out;
}

using GateIntervals = nb::ndarray<const std::int64_t, nb::c_contig, nb::device::cpu>;
using Seeds = nb::ndarray<const std::uint64_t, nb::c_contig, nb::device::cpu>;
using Flags = nb::ndarray<const std::uint8_t, nb::c_contig, nb::device::cpu>;

// The profiles of `signal` and a view of another input: one profile shared by all, or one
// per profile.
struct RetrievalShape {
    std::size_t profiles, gates;
    std::vector<std::size_t> shape;

    aerolume::Rows rows(const In& a, const char* name) const {
        const std::span<const double> values(a.data(), a.size());
        if (a.size() != gates && a.size() != profiles * gates)
            throw std::invalid_argument(std::string(name) + " has " + std::to_string(a.size()) +
                                        " values; expected one profile of " +
                                        std::to_string(gates) + " gates or one per profile");
        return aerolume::Rows::of(values, gates);
    }
    aerolume::Rows optional_rows(const In& a, const char* name) const {
        return a.size() == 0 ? aerolume::Rows{} : rows(a, name);
    }
    aerolume::PerProfile<double> values(const In& a, const char* name) const {
        if (a.size() != 1 && a.size() != profiles)
            throw std::invalid_argument(std::string(name) + " needs one value or one per profile");
        return aerolume::PerProfile<double>::of({a.data(), a.size()});
    }
    aerolume::PerProfile<std::int64_t> intervals(const GateIntervals& a, const char* name) const {
        if (a.size() != 2 && a.size() != 2 * profiles)
            throw std::invalid_argument(std::string(name) + " needs one (begin, end) pair or one per profile");
        for (std::size_t i = 0; i < a.size(); i += 2) {
            const std::int64_t begin = a.data()[i], end = a.data()[i + 1];
            if (begin < 0 || end <= begin || end > static_cast<std::int64_t>(gates))
                throw std::invalid_argument(std::string(name) + " holds the gates [" +
                                            std::to_string(begin) + ", " + std::to_string(end) +
                                            "), not a non-empty interval of the profile");
        }
        return aerolume::PerProfile<std::int64_t>::of({a.data(), a.size()}, 2);
    }
    // The first gate of each profile (empty: 0 for all), each below the last gate, and
    // the profile's intervals (when given) from it on.
    aerolume::PerProfile<std::int64_t> first_gates(const GateIntervals& a,
                                                   aerolume::PerProfile<std::int64_t> intervals,
                                                   const char* interval_name) const {
        if (a.size() == 0) return {};
        if (a.size() != 1 && a.size() != profiles)
            throw std::invalid_argument("first needs one gate or one per profile");
        for (std::size_t i = 0; i < a.size(); ++i)
            if (a.data()[i] < 0 || a.data()[i] >= static_cast<std::int64_t>(gates))
                throw std::invalid_argument("first holds the gate " + std::to_string(a.data()[i]) +
                                            ", outside the profile's " + std::to_string(gates) +
                                            " gates");
        const auto out = aerolume::PerProfile<std::int64_t>::of({a.data(), a.size()});
        if (intervals.data)
            for (std::size_t p = 0; p < profiles; ++p)
                if (intervals.at(p)[0] < out[p])
                    throw std::invalid_argument(std::string(interval_name) + " of profile " +
                                                std::to_string(p) + " begins below its first gate");
        return out;
    }
    // One seed per profile, or none (empty).
    const std::uint64_t* seeds(const Seeds& a) const {
        if (a.size() == 0) return nullptr;
        if (a.size() != profiles) throw std::invalid_argument("seeds needs one seed per profile");
        return a.data();
    }
};

// A new float64 array left uninitialised, for results the kernels write in full (the
// first touch of its pages happening on their threads).
RetrievalShape retrieval_shape(const In& signal, const char* name) {
    const Profiles p = profiles_of(signal, name);
    return {p.count, p.gates, shape_of(signal)};
}

aerolume::NoiseModel noise_model(const RetrievalShape& s, aerolume::NoiseKind kind, const In& sigma,
                                 const In& counts_per_unit, const In& background,
                                 const char* name) {
    aerolume::NoiseModel noise;
    noise.kind = kind;
    const std::string n(name);
    if (noise.kind == aerolume::NoiseKind::gaussian)
        noise.sigma = s.rows(sigma, (n + " noise").c_str());
    if (noise.kind == aerolume::NoiseKind::poisson) {
        noise.counts_per_unit = s.rows(counts_per_unit, (n + " counts_per_unit").c_str());
        noise.background = s.rows(background, (n + " background").c_str());
    }
    return noise;
}

aerolume::KlettInputs klett_inputs(const RetrievalShape& s, const In& signal, const In& range,
                                   const In& beta_m, const In& alpha_m, const In& lidar_ratio,
                                   const GateIntervals& reference, const In& reference_value,
                                   const In& calibration, bool forward, bool fit_offset,
                                   const GateIntervals& offset_interval,
                                   const GateIntervals& first) {
    aerolume::KlettInputs in;
    in.profiles = s.profiles;
    in.gates = s.gates;
    in.signal = s.rows(signal, "signal");
    in.range = s.rows(range, "range");
    in.beta_m = s.rows(beta_m, "beta_m");
    in.alpha_m = s.rows(alpha_m, "alpha_m");
    in.lidar_ratio = s.rows(lidar_ratio, "lidar_ratio");
    in.forward = forward;
    if (forward)
        in.calibration = s.values(calibration, "calibration");
    else {
        in.reference = s.intervals(reference, "reference");
        in.reference_value = s.values(reference_value, "reference_value");
        in.fit_offset = fit_offset;
        if (offset_interval.size() != 0)
            in.offset_interval = s.intervals(offset_interval, "offset_interval");
    }
    in.first = s.first_gates(first, in.reference, "reference");
    if (in.offset_interval.data) s.first_gates(first, in.offset_interval, "offset_interval");
    return in;
}

aerolume::RamanInputs raman_inputs(const RetrievalShape& s, const In& elastic, const In& raman,
                                   const In& range, const In& beta_m, const In& number_density,
                                   const In& alpha_m, const In& alpha_m_raman,
                                   const In& extinction, const In& half_width,
                                   double wavelength_ratio, const In& angstrom,
                                   const GateIntervals& reference, const In& reference_value,
                                   const GateIntervals& first) {
    aerolume::RamanInputs in;
    in.profiles = s.profiles;
    in.gates = s.gates;
    in.elastic_signal = s.optional_rows(elastic, "elastic_signal");
    in.raman_signal = s.rows(raman, "raman_signal");
    in.range = s.rows(range, "range");
    in.beta_m = s.optional_rows(beta_m, "beta_m");
    in.number_density = s.rows(number_density, "number_density");
    in.alpha_m = s.rows(alpha_m, "alpha_m");
    in.alpha_m_raman = s.rows(alpha_m_raman, "alpha_m_raman");
    in.extinction = s.optional_rows(extinction, "extinction");
    in.half_width = s.optional_rows(half_width, "half_width");
    in.wavelength_ratio = wavelength_ratio;
    in.angstrom = s.values(angstrom, "angstrom");
    if (reference.size() != 0) {
        in.reference = s.intervals(reference, "reference");
        in.reference_value = s.values(reference_value, "reference_value");
    }
    in.first = s.first_gates(first, in.reference, "reference");
    return in;
}

void bind_retrievals(nb::module_& m) {
    m.def(
        "lidar_signal",
        [](const In& range, const In& backscatter, const In& extinction_two_way,
           const In& overlap, const In& constant, unsigned threads) {
            const RetrievalShape s = retrieval_shape(backscatter, "backscatter");
            aerolume::ForwardInputs in;
            in.profiles = s.profiles;
            in.gates = s.gates;
            in.range = s.rows(range, "range");
            in.backscatter = s.rows(backscatter, "backscatter");
            in.extinction_two_way = s.rows(extinction_two_way, "extinction");
            in.overlap = s.optional_rows(overlap, "overlap");
            in.constant = s.values(constant, "constant");
            NewArray out = result_array(s.shape);
            {
                Unlocked unlocked;
                aerolume::lidar_signal(in, out.data, threads);
            }
            return out.array;
        },
        "range"_a, "backscatter"_a, "extinction_two_way"_a, "overlap"_a, "constant"_a,
        "threads"_a = 0,
        "P = C O r^-2 beta exp(-∫ alpha_2 dr) per profile (last axis range); an empty overlap "
        "is 1.");

    m.def(
        "add_noise",
        [](const In& signal, aerolume::NoiseKind kind, const In& sigma, const In& counts_per_unit,
           const In& background, std::uint64_t seed, unsigned threads) {
            const RetrievalShape s = retrieval_shape(signal, "signal");
            const aerolume::NoiseModel noise =
                noise_model(s, kind, sigma, counts_per_unit, background, "signal");
            NewArray out = result_array(s.shape);
            {
                Unlocked unlocked;
                aerolume::add_noise(signal.data(), s.profiles, s.gates, noise, seed, out.data,
                                    threads);
            }
            return out.array;
        },
        "signal"_a, "kind"_a, "sigma"_a, "counts_per_unit"_a, "background"_a, "seed"_a,
        "threads"_a = 0,
        "The signal with noise: NoiseKind.gaussian of standard deviation sigma, NoiseKind.poisson "
        "counts of mean counts_per_unit (signal + background).");

    m.def(
        "klett_fernald",
        [](const In& signal, const In& range, const In& beta_m, const In& alpha_m,
           const In& lidar_ratio, const GateIntervals& reference, const In& reference_value,
           const In& calibration, bool forward, bool fit_offset,
           const GateIntervals& offset_interval, unsigned threads, const GateIntervals& first) {
            const RetrievalShape s = retrieval_shape(signal, "signal");
            const aerolume::KlettInputs in =
                klett_inputs(s, signal, range, beta_m, alpha_m, lidar_ratio, reference,
                             reference_value, calibration, forward, fit_offset, offset_interval,
                             first);
            NewArray backscatter = result_array(s.shape), extinction = result_array(s.shape);
            std::vector<std::size_t> lead(s.shape.begin(), s.shape.end() - 1);
            NewArray offsets = unfilled_array(lead);
            std::size_t failures = 0;
            {
                Interruptible unlocked;
                std::vector<std::size_t> per_profile(s.profiles);
                aerolume::klett_fernald(in, backscatter.data, extinction.data,
                                        per_profile.data(), offsets.data, threads);
                for (std::size_t f : per_profile) failures += f;
            }
            return std::make_tuple(backscatter.array, extinction.array, failures, offsets.array);
        },
        "signal"_a, "range"_a, "beta_m"_a, "alpha_m"_a, "lidar_ratio"_a, "reference"_a,
        "reference_value"_a, "calibration"_a, "forward"_a, "fit_offset"_a, "offset_interval"_a,
        "threads"_a = 0, "first"_a.none() = nb::none(),
        "Fernald's inversion: (aerosol backscatter, aerosol extinction, the number of gates "
        "that should have been retrieved but have no solution, the residual offset fitted "
        "over each profile's reference interval (0 without fit_offset)).  `first` (one gate "
        "or one per profile) retrieves each profile from that gate on, as if the gates below "
        "were not there (NaN); the intervals stay on the whole profile's gates.");

    m.def(
        "klett_fernald_monte_carlo",
        [](const In& signal, const In& range, const In& beta_m, const In& alpha_m,
           const In& lidar_ratio, const GateIntervals& reference, const In& reference_value,
           const In& calibration, bool forward, bool fit_offset,
           const GateIntervals& offset_interval, aerolume::NoiseKind noise_kind, const In& sigma, const In& counts_per_unit, const In& background,
           std::size_t realisations, std::uint64_t seed, double lidar_ratio_sd,
           double reference_value_sd, unsigned threads, const GateIntervals& first,
           const Seeds& seeds) {
            const RetrievalShape s = retrieval_shape(signal, "signal");
            const aerolume::KlettInputs in =
                klett_inputs(s, signal, range, beta_m, alpha_m, lidar_ratio, reference,
                             reference_value, calibration, forward, fit_offset, offset_interval,
                             first);
            const aerolume::NoiseModel noise =
                noise_model(s, noise_kind, sigma, counts_per_unit, background, "signal");
            if (realisations < 2) throw std::invalid_argument("realisations must be at least 2");
            aerolume::MonteCarloSettings settings{realisations, seed, lidar_ratio_sd,
                                                  reference_value_sd, 0.0, s.seeds(seeds)};
            NewArray backscatter = result_array(s.shape), extinction = result_array(s.shape);
            {
                Interruptible unlocked;
                aerolume::klett_fernald_monte_carlo(in, noise, settings, backscatter.data,
                                                    extinction.data, threads);
            }
            return std::make_tuple(backscatter.array, extinction.array);
        },
        "signal"_a, "range"_a, "beta_m"_a, "alpha_m"_a, "lidar_ratio"_a, "reference"_a,
        "reference_value"_a, "calibration"_a, "forward"_a, "fit_offset"_a, "offset_interval"_a, "noise_kind"_a, "sigma"_a,
        "counts_per_unit"_a, "background"_a, "realisations"_a, "seed"_a, "lidar_ratio_sd"_a,
        "reference_value_sd"_a, "threads"_a = 0, "first"_a.none() = nb::none(),
        "seeds"_a.none() = nb::none(),
        "Monte Carlo standard deviations of Fernald's backscatter and extinction; `seeds` "
        "(one per profile) draws each profile's realisations from its own seed, as a call "
        "for that profile alone with that seed would.");

    m.def(
        "raman_extinction",
        [](const In& raman_signal, const In& range, const In& number_density,
           const In& alpha_m, const In& alpha_m_raman, const In& half_width,
           double wavelength_ratio, const In& angstrom, const In& raman_noise,
           unsigned threads, const GateIntervals& first) {
            const RetrievalShape s = retrieval_shape(raman_signal, "raman_signal");
            const In none;
            aerolume::RamanInputs in = raman_inputs(
                s, none, raman_signal, range, none, number_density, alpha_m, alpha_m_raman,
                none, half_width, wavelength_ratio, angstrom, GateIntervals(), none, first);
            in.raman_noise = s.optional_rows(raman_noise, "raman_noise");
            NewArray extinction = result_array(s.shape), error = new_array(s.shape);
            const bool with_error = !in.raman_noise.empty();
            {
                Interruptible unlocked;
                aerolume::raman_extinction(in, extinction.data,
                                           with_error ? error.data : nullptr, threads);
            }
            return std::make_tuple(extinction.array, error.array);
        },
        "raman_signal"_a, "range"_a, "number_density"_a, "alpha_m"_a, "alpha_m_raman"_a,
        "half_width"_a, "wavelength_ratio"_a, "angstrom"_a, "raman_noise"_a, "threads"_a = 0,
        "first"_a.none() = nb::none(),
        "Aerosol extinction from a Raman channel and its analytic statistical error (zeros "
        "without raman_noise).");

    m.def(
        "raman_backscatter",
        [](const In& elastic_signal, const In& raman_signal, const In& range, const In& beta_m,
           const In& number_density, const In& alpha_m, const In& alpha_m_raman,
           const In& extinction, double wavelength_ratio, const In& angstrom,
           const GateIntervals& reference, const In& reference_value, unsigned threads,
           const GateIntervals& first) {
            const RetrievalShape s = retrieval_shape(raman_signal, "raman_signal");
            const In none;
            const aerolume::RamanInputs in =
                raman_inputs(s, elastic_signal, raman_signal, range, beta_m, number_density,
                             alpha_m, alpha_m_raman, extinction, none, wavelength_ratio,
                             angstrom, reference, reference_value, first);
            if (in.elastic_signal.empty() || in.beta_m.empty() || in.reference.data == nullptr)
                throw std::invalid_argument("elastic_signal, beta_m and reference are needed");
            NewArray backscatter = result_array(s.shape);
            {
                Interruptible unlocked;
                aerolume::raman_backscatter(in, backscatter.data, threads);
            }
            return backscatter.array;
        },
        "elastic_signal"_a, "raman_signal"_a, "range"_a, "beta_m"_a, "number_density"_a,
        "alpha_m"_a, "alpha_m_raman"_a, "extinction"_a, "wavelength_ratio"_a, "angstrom"_a,
        "reference"_a, "reference_value"_a, "threads"_a = 0, "first"_a.none() = nb::none(),
        "Aerosol backscatter from the elastic and Raman signals (an empty extinction is 0).");

    m.def(
        "raman_monte_carlo",
        [](const In& elastic_signal, const In& raman_signal, const In& range, const In& beta_m,
           const In& number_density, const In& alpha_m, const In& alpha_m_raman,
           const In& extinction, const In& half_width, double wavelength_ratio,
           const In& angstrom, const GateIntervals& reference, const In& reference_value,
           aerolume::NoiseKind elastic_kind, const In& elastic_sigma, const In& elastic_counts_per_unit,
           const In& elastic_background, aerolume::NoiseKind raman_kind, const In& raman_sigma,
           const In& raman_counts_per_unit, const In& raman_background,
           std::size_t realisations, std::uint64_t seed, double reference_value_sd,
           double angstrom_sd, bool retrieve_extinction, bool retrieve_backscatter,
           unsigned threads, const GateIntervals& first, const Seeds& seeds,
           const Flags& referenced) {
            const RetrievalShape s = retrieval_shape(raman_signal, "raman_signal");
            aerolume::RamanInputs in =
                raman_inputs(s, elastic_signal, raman_signal, range, beta_m, number_density,
                             alpha_m, alpha_m_raman, extinction, half_width, wavelength_ratio,
                             angstrom, reference, reference_value, first);
            if (referenced.size() != 0) {
                if (referenced.size() != s.profiles)
                    throw std::invalid_argument("referenced needs one flag per profile");
                in.referenced = referenced.data();
            }
            if (retrieve_backscatter &&
                (in.elastic_signal.empty() || in.beta_m.empty() || in.reference.data == nullptr))
                throw std::invalid_argument("elastic_signal, beta_m and reference are needed");
            if (retrieve_extinction && in.half_width.empty())
                throw std::invalid_argument("half_width is needed");
            if (realisations < 2) throw std::invalid_argument("realisations must be at least 2");
            aerolume::NoiseModel elastic_noise;
            if (retrieve_backscatter)
                elastic_noise = noise_model(s, elastic_kind, elastic_sigma,
                                            elastic_counts_per_unit, elastic_background,
                                            "elastic_signal");
            const aerolume::NoiseModel raman_noise =
                noise_model(s, raman_kind, raman_sigma, raman_counts_per_unit,
                            raman_background, "raman_signal");
            aerolume::MonteCarloSettings settings{realisations, seed, 0.0, reference_value_sd,
                                                  angstrom_sd, s.seeds(seeds)};
            NewArray e = new_array(s.shape), b = new_array(s.shape), l = new_array(s.shape),
                     failed = new_array(s.shape);
            {
                Interruptible unlocked;
                aerolume::raman_monte_carlo(
                    in, elastic_noise, raman_noise, settings,
                    {retrieve_extinction, retrieve_backscatter},
                    retrieve_extinction ? e.data : nullptr,
                    retrieve_backscatter ? b.data : nullptr,
                    retrieve_extinction && retrieve_backscatter ? l.data : nullptr,
                    failed.data, threads);
            }
            return std::make_tuple(e.array, b.array, l.array, failed.array);
        },
        "elastic_signal"_a, "raman_signal"_a, "range"_a, "beta_m"_a, "number_density"_a,
        "alpha_m"_a, "alpha_m_raman"_a, "extinction"_a, "half_width"_a, "wavelength_ratio"_a,
        "angstrom"_a, "reference"_a, "reference_value"_a, "elastic_kind"_a, "elastic_sigma"_a,
        "elastic_counts_per_unit"_a, "elastic_background"_a, "raman_kind"_a, "raman_sigma"_a,
        "raman_counts_per_unit"_a, "raman_background"_a, "realisations"_a, "seed"_a,
        "reference_value_sd"_a, "angstrom_sd"_a, "retrieve_extinction"_a,
        "retrieve_backscatter"_a, "threads"_a = 0, "first"_a.none() = nb::none(),
        "seeds"_a.none() = nb::none(), "referenced"_a.none() = nb::none(),
        "Monte Carlo spreads (robust, over the realisations that succeed) of the Raman "
        "extinction, backscatter and lidar ratio, and the number of failed realisations per "
        "gate.  `first` and `seeds` as for klett_fernald_monte_carlo; `referenced` (one flag "
        "per profile) redoes only the extinction of the profiles without a reference (their "
        "backscatter and lidar-ratio spreads 0, their reference intervals ignored).");
}

// ---- Clouds and the boundary layer -----------------------------------------------------

// Search gates [begin, end) of a profile of `gates`, checked.
std::pair<std::size_t, std::size_t> search_gates(std::int64_t begin, std::int64_t end,
                                                 std::size_t gates) {
    if (begin < 0 || end <= begin || end > static_cast<std::int64_t>(gates))
        throw std::invalid_argument("search holds the gates [" + std::to_string(begin) + ", " +
                                    std::to_string(end) + "), not a non-empty interval of the "
                                    "profile");
    return {static_cast<std::size_t>(begin), static_cast<std::size_t>(end)};
}

void bind_clouds(nb::module_& m) {
    m.def(
        "detect_clouds",
        [](const In& signal, const In& noise, const In& scale, const In& range,
           std::int64_t begin, std::int64_t end, std::size_t smooth, std::size_t half,
           std::size_t noise_half, double min_ratio, double min_contrast, double n_sigma,
           double min_thickness, std::size_t max_layers, unsigned threads) {
            const RetrievalShape s = retrieval_shape(signal, "signal");
            if (half < 1) throw std::invalid_argument("half must be at least 1");
            if (max_layers < 1) throw std::invalid_argument("max_layers must be at least 1");
            aerolume::CloudInputs in;
            in.profiles = s.profiles;
            in.gates = s.gates;
            in.signal = s.rows(signal, "signal");
            in.noise = s.optional_rows(noise, "noise");
            in.scale = s.rows(scale, "scale");
            in.range = s.rows(range, "range");
            aerolume::CloudSettings settings;
            std::tie(settings.begin, settings.end) = search_gates(begin, end, s.gates);
            settings.smooth = smooth;
            settings.half = half;
            settings.noise_half = noise_half;
            settings.min_ratio = min_ratio;
            settings.min_contrast = min_contrast;
            settings.n_sigma = n_sigma;
            settings.min_thickness = min_thickness;
            settings.max_layers = max_layers;
            auto [mask, mask_array] = traced_array<std::uint8_t>(s.shape);
            std::vector<std::size_t> lead(s.shape.begin(), s.shape.end() - 1);
            std::vector<std::size_t> per_layer = lead;
            per_layer.push_back(max_layers);
            NewArray base = unfilled_array(per_layer), top = unfilled_array(per_layer),
                     peak = unfilled_array(per_layer), layers = unfilled_array(lead),
                     clear_air = unfilled_array(lead);
            {
                Unlocked unlocked;
                aerolume::detect_clouds(in, settings,
                                        {mask, base.data, top.data, peak.data, layers.data,
                                         clear_air.data},
                                        threads);
            }
            return std::make_tuple(mask_array, base.array, top.array, peak.array, layers.array,
                                   clear_air.array);
        },
        "signal"_a, "noise"_a, "scale"_a, "range"_a, "begin"_a, "end"_a, "smooth"_a, "half"_a,
        "noise_half"_a, "min_ratio"_a, "min_contrast"_a, "n_sigma"_a, "min_thickness"_a,
        "max_layers"_a, "threads"_a = 0,
        "Cloud layers per profile of P (scaled by `scale` to a flat clear-air signal): (mask, "
        "base, top, peak ratio, layer count, clear-air level); an empty noise is estimated.");

    m.def(
        "boundary_layer_height",
        [](const In& signal, const In& noise, const In& scale, const In& range,
           std::int64_t begin, std::int64_t end, std::size_t half, std::size_t noise_half,
           double n_sigma,
           const GateIntervals& limit, unsigned threads) {
            const RetrievalShape s = retrieval_shape(signal, "signal");
            if (half < 1) throw std::invalid_argument("half must be at least 1");
            aerolume::LayerTopInputs in;
            in.profiles = s.profiles;
            in.gates = s.gates;
            in.signal = s.rows(signal, "signal");
            in.noise = s.optional_rows(noise, "noise");
            in.scale = s.rows(scale, "scale");
            in.range = s.rows(range, "range");
            if (limit.size() != 0) {
                if (limit.size() != s.profiles)
                    throw std::invalid_argument("limit needs one gate per profile");
                in.limit = aerolume::PerProfile<std::int64_t>::of({limit.data(), limit.size()});
            }
            aerolume::LayerTopSettings settings;
            std::tie(settings.begin, settings.end) = search_gates(begin, end, s.gates);
            settings.half = half;
            settings.noise_half = noise_half;
            settings.n_sigma = n_sigma;
            std::vector<std::size_t> lead(s.shape.begin(), s.shape.end() - 1);
            NewArray height = unfilled_array(lead), wavelet = unfilled_array(lead);
            auto [flag, flag_array] = traced_array<std::uint8_t>(lead);
            {
                Unlocked unlocked;
                aerolume::boundary_layer_height(in, settings, height.data, wavelet.data, flag,
                                                threads);
            }
            return std::make_tuple(height.array, wavelet.array, flag_array);
        },
        "signal"_a, "noise"_a, "scale"_a, "range"_a, "begin"_a, "end"_a, "half"_a,
        "noise_half"_a, "n_sigma"_a, "limit"_a, "threads"_a = 0,
        "The boundary-layer top per profile by the Haar wavelet covariance transform of "
        "P scale (scale r^2, or r^2 over a clear-air baseline): "
        "(height, the transform there, flag); `limit` is the first step not searched per "
        "profile (negative: none) or empty.");
}

// ---- Depolarisation --------------------------------------------------------------------

// The inputs of the depolarisation kernels: the two signals of one shape, eta per profile,
// the channels' G and H, and delta_m with R (both empty for no particle ratio).
aerolume::DepolarizationInputs depolarization_inputs(const RetrievalShape& s, const In& cross,
                                                     const In& co, const In& eta,
                                                     const std::tuple<double, double, double, double>& ghk,
                                                     const In& molecular,
                                                     const In& backscatter_ratio,
                                                     double misalignment) {
    if (shape_of(cross) != shape_of(co))
        throw std::invalid_argument("cross and co must have the same shape");
    if ((molecular.size() == 0) != (backscatter_ratio.size() == 0))
        throw std::invalid_argument("molecular and backscatter_ratio go together");
    aerolume::DepolarizationInputs in;
    in.profiles = s.profiles;
    in.gates = s.gates;
    in.cross = s.rows(cross, "cross");
    in.co = s.rows(co, "co");
    in.eta = s.values(eta, "eta");
    in.ghk = {std::get<0>(ghk), std::get<1>(ghk), std::get<2>(ghk), std::get<3>(ghk)};
    in.misalignment = misalignment;
    in.molecular = s.optional_rows(molecular, "molecular");
    in.backscatter_ratio = s.optional_rows(backscatter_ratio, "backscatter_ratio");
    return in;
}

void bind_depolarization(nb::module_& m) {
    m.def(
        "depolarization",
        [](const In& cross, const In& co, const In& eta,
           const std::tuple<double, double, double, double>& ghk, const In& molecular,
           const In& backscatter_ratio, double misalignment, unsigned threads) {
            const RetrievalShape s = retrieval_shape(cross, "cross");
            const aerolume::DepolarizationInputs in = depolarization_inputs(
                s, cross, co, eta, ghk, molecular, backscatter_ratio, misalignment);
            NewArray volume = result_array(s.shape);
            const bool particle = in.particle();
            NewArray ratio = particle ? result_array(s.shape) : new_array({0});
            {
                Unlocked unlocked;
                aerolume::depolarization(in, volume.data, particle ? ratio.data : nullptr,
                                         threads);
            }
            return std::make_tuple(volume.array, or_none(ratio, particle));
        },
        "cross"_a, "co"_a, "eta"_a, "ghk"_a, "molecular"_a, "backscatter_ratio"_a,
        "misalignment"_a = 0.0, "threads"_a = 0,
        "(delta_v, delta_p or None) from the cross and co (parallel or total) signals, the "
        "gain ratio eta per profile, ghk = (G_co, H_co, G_cross, H_cross) of the receiver "
        "turned by misalignment (rad), delta_m and the backscatter ratio (both empty for no "
        "delta_p).");

    m.def(
        "depolarization_monte_carlo",
        [](const In& cross, const In& co, const In& eta,
           const std::tuple<double, double, double, double>& ghk, const In& molecular,
           const In& backscatter_ratio, aerolume::NoiseKind cross_kind, const In& cross_sigma,
           const In& cross_counts_per_unit, const In& cross_background, aerolume::NoiseKind co_kind,
           const In& co_sigma, const In& co_counts_per_unit, const In& co_background,
           std::size_t realisations, std::uint64_t seed, const In& eta_sd, double molecular_sd,
           const In& backscatter_ratio_sd, double misalignment, double misalignment_sd,
           unsigned threads) {
            const RetrievalShape s = retrieval_shape(cross, "cross");
            const aerolume::DepolarizationInputs in = depolarization_inputs(
                s, cross, co, eta, ghk, molecular, backscatter_ratio, misalignment);
            const aerolume::NoiseModel cross_noise = noise_model(
                s, cross_kind, cross_sigma, cross_counts_per_unit, cross_background, "cross");
            const aerolume::NoiseModel co_noise =
                noise_model(s, co_kind, co_sigma, co_counts_per_unit, co_background, "co");
            if (realisations < 2) throw std::invalid_argument("realisations must be at least 2");
            aerolume::DepolarizationMonteCarlo settings;
            settings.realisations = realisations;
            settings.seed = seed;
            settings.eta_sd = s.values(eta_sd, "eta_sd");
            settings.molecular_sd = molecular_sd;
            settings.misalignment_sd = misalignment_sd;
            if (in.particle())
                settings.backscatter_ratio_sd =
                    s.optional_rows(backscatter_ratio_sd, "backscatter_ratio_sd");
            const bool particle = in.particle();
            NewArray volume = result_array(s.shape);
            NewArray ratio = particle ? result_array(s.shape) : new_array({0});
            {
                Unlocked unlocked;
                aerolume::depolarization_monte_carlo(in, cross_noise, co_noise, settings,
                                                     volume.data,
                                                     particle ? ratio.data : nullptr, threads);
            }
            return std::make_tuple(volume.array, or_none(ratio, particle));
        },
        "cross"_a, "co"_a, "eta"_a, "ghk"_a, "molecular"_a, "backscatter_ratio"_a,
        "cross_kind"_a, "cross_sigma"_a, "cross_counts_per_unit"_a, "cross_background"_a,
        "co_kind"_a, "co_sigma"_a, "co_counts_per_unit"_a, "co_background"_a,
        "realisations"_a, "seed"_a, "eta_sd"_a, "molecular_sd"_a, "backscatter_ratio_sd"_a,
        "misalignment"_a = 0.0, "misalignment_sd"_a = 0.0, "threads"_a = 0,
        "Monte Carlo standard deviations (delta_v, delta_p or None) over the signals' noise, "
        "eta (eta_sd per profile), delta_m (molecular_sd), the misalignment (rad, "
        "misalignment_sd) and the backscatter ratio (backscatter_ratio_sd per gate, empty "
        "to hold it).");
}

}  // namespace

NB_MODULE(_core, m) {
    nb::register_exception_translator(translate_cancelled);
    m.doc() = "Aerolume's numerical core: float64 kernels over arrays whose last axis is range.";
    m.def("hardware_threads", [] { return aerolume::resolve_threads(0, static_cast<std::size_t>(-1)); },
          "The number of threads `threads=None` uses: one per core.");
    nb::enum_<aerolume::NoiseKind>(m, "NoiseKind",
                                   "How a signal's noise is described: not at all, by its standard "
                                   "deviation (gaussian), or by its counts (poisson).")
        .value("none", aerolume::NoiseKind::none)
        .value("gaussian", aerolume::NoiseKind::gaussian)
        .value("poisson", aerolume::NoiseKind::poisson);
    bind_atmosphere(m);
    bind_raw_data(m);
    bind_corrections(m);
    bind_retrievals(m);
    bind_clouds(m);
    bind_depolarization(m);
}
