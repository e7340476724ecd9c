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

#include <dlfcn.h>

#include <cstdint>
#include <utility>

#include "licel.h"

namespace {

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

    m.def("licel_read", [](const std::vector<std::string>& paths, const std::vector<L::Header>& headers,
                           const std::vector<std::size_t>& set_of_channel, std::size_t gates,
                           unsigned threads) {
        if (headers.size() != paths.size())
            throw std::invalid_argument("licel_read: one header per path");
        for (const L::Header& h : headers)
            for (std::size_t s : set_of_channel)
                if (s >= h.sets.size() || static_cast<std::size_t>(h.sets[s].bins) > gates)
                    throw std::invalid_argument("licel_read: a channel's data set is not in a header");
        // Allocated here rather than by NumPy: large NumPy arrays ask the kernel for huge
        // pages, which can stall on memory compaction.  Every element is written by read.
        const std::size_t size = paths.size() * set_of_channel.size() * gates;
        auto [raw, raw_array] = traced_array<std::uint32_t>({paths.size(), set_of_channel.size(), gates});
        auto [signal, signal_array] = traced_array<double>({paths.size(), set_of_channel.size(), gates});
        std::vector<std::string> errors;
        {
            Unlocked unlocked;
            errors = L::read(paths, headers, set_of_channel, {set_of_channel.size(), gates},
                             {raw, size}, {signal, size}, threads);
        }
        return nb::make_tuple(raw_array, signal_array, errors);
    }, "paths"_a, "headers"_a, "set_of_channel"_a, "gates"_a, "threads"_a,
    "Reads the files' data sets: (raw counts, signal in mV or MHz, per file '' or why not), "
    "each (files, channels, gates), row i from file i, channel c from data set "
    "set_of_channel[c].");
}

// ---- Instrument corrections -------------------------------------------------------------
}  // namespace

#include <cstdint>
#include <utility>

#include "corrections.h"

namespace {

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

    // The whole chain.  Per channel: photon_counting, dead_time (ns, 0 none), model,
    // background begin/end, subtract, shift.  Per pair: analog, pc, low, high, begin, end, snr.
    m.def("correction_chain", [](In3 signal, std::vector<std::tuple<bool, double, std::string, std::size_t,
                                                                  std::size_t, bool, std::int64_t>> steps,
                                 std::vector<std::tuple<std::size_t, std::size_t, double, double, std::size_t,
                                                        std::size_t, double>> pairs,
                                 In2 poisson, In2 weights, Sizes starts, std::size_t merge, In factor,
                                 In noise_in, unsigned threads) {
        corr::Chain ch;
        ch.times = signal.shape(0);
        ch.channels = signal.shape(1);
        ch.gates = signal.shape(2);
        for (auto& [pc, tau, model, b, e, sub, shift] : steps)
            ch.steps.push_back({pc, tau, model_of(model), b, e, sub, shift});
        for (auto& [a, c, lo, hi, b, e, snr] : pairs) ch.pairs.push_back({a, c, {lo, hi, b, e}, snr});
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
            Unlocked unlocked;
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
