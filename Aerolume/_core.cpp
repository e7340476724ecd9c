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

}  // namespace
#include <cstdint>
#include <optional>
#include <tuple>

#include <nanobind/stl/tuple.h>

#include "klett.h"
#include "raman.h"
#include "retrieval_noise.h"
#include "retrieval_uncertainty.h"
#include "simulate.h"
namespace {

using Index = nb::ndarray<const std::int64_t, nb::c_contig, nb::device::cpu>;

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
    aerolume::PerProfile<std::int64_t> intervals(const Index& a, const char* name) const {
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
};

RetrievalShape retrieval_shape(const In& signal, const char* name) {
    const Profiles p = profiles_of(signal, name);
    return {p.count, p.gates, shape_of(signal)};
}

aerolume::NoiseModel noise_model(const RetrievalShape& s, int kind, const In& sigma,
                                 const In& counts_per_unit, const In& background,
                                 const char* name) {
    aerolume::NoiseModel noise;
    if (kind < 0 || kind > 2) throw std::invalid_argument("unknown noise kind");
    noise.kind = static_cast<aerolume::NoiseKind>(kind);
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
                                   const Index& reference, const In& reference_value,
                                   const In& calibration, bool forward) {
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
    }
    return in;
}

aerolume::RamanInputs raman_inputs(const RetrievalShape& s, const In& elastic, const In& raman,
                                   const In& range, const In& beta_m, const In& number_density,
                                   const In& alpha_m, const In& alpha_m_raman,
                                   const In& extinction, const In& half_width,
                                   double wavelength_ratio, const In& angstrom,
                                   const Index& reference, const In& reference_value) {
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
            NewArray out = new_array(s.shape);
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
        [](const In& signal, int kind, const In& sigma, const In& counts_per_unit,
           const In& background, std::uint64_t seed, unsigned threads) {
            const RetrievalShape s = retrieval_shape(signal, "signal");
            const aerolume::NoiseModel noise =
                noise_model(s, kind, sigma, counts_per_unit, background, "signal");
            NewArray out = new_array(s.shape);
            {
                Unlocked unlocked;
                aerolume::add_noise(signal.data(), s.profiles, s.gates, noise, seed, out.data,
                                    threads);
            }
            return out.array;
        },
        "signal"_a, "kind"_a, "sigma"_a, "counts_per_unit"_a, "background"_a, "seed"_a,
        "threads"_a = 0,
        "The signal with noise: kind 1 Gaussian of standard deviation sigma, kind 2 Poisson "
        "counts of mean counts_per_unit (signal + background).");

    m.def(
        "klett_fernald",
        [](const In& signal, const In& range, const In& beta_m, const In& alpha_m,
           const In& lidar_ratio, const Index& reference, const In& reference_value,
           const In& calibration, bool forward, unsigned threads) {
            const RetrievalShape s = retrieval_shape(signal, "signal");
            const aerolume::KlettInputs in =
                klett_inputs(s, signal, range, beta_m, alpha_m, lidar_ratio, reference,
                             reference_value, calibration, forward);
            NewArray backscatter = new_array(s.shape), extinction = new_array(s.shape);
            {
                Unlocked unlocked;
                aerolume::klett_fernald(in, backscatter.data, extinction.data, threads);
            }
            return std::make_tuple(backscatter.array, extinction.array);
        },
        "signal"_a, "range"_a, "beta_m"_a, "alpha_m"_a, "lidar_ratio"_a, "reference"_a,
        "reference_value"_a, "calibration"_a, "forward"_a, "threads"_a = 0,
        "Fernald's inversion: (aerosol backscatter, aerosol extinction).");

    m.def(
        "klett_fernald_monte_carlo",
        [](const In& signal, const In& range, const In& beta_m, const In& alpha_m,
           const In& lidar_ratio, const Index& reference, const In& reference_value,
           const In& calibration, bool forward, int noise_kind, const In& sigma,
           const In& counts_per_unit, const In& background, std::size_t realisations,
           std::uint64_t seed, double lidar_ratio_sd, double reference_value_sd,
           unsigned threads) {
            const RetrievalShape s = retrieval_shape(signal, "signal");
            const aerolume::KlettInputs in =
                klett_inputs(s, signal, range, beta_m, alpha_m, lidar_ratio, reference,
                             reference_value, calibration, forward);
            const aerolume::NoiseModel noise =
                noise_model(s, noise_kind, sigma, counts_per_unit, background, "signal");
            if (realisations < 2) throw std::invalid_argument("realisations must be at least 2");
            aerolume::MonteCarloSettings settings{realisations, seed, lidar_ratio_sd,
                                                  reference_value_sd, 0.0};
            NewArray backscatter = new_array(s.shape), extinction = new_array(s.shape);
            {
                Unlocked unlocked;
                aerolume::klett_fernald_monte_carlo(in, noise, settings, backscatter.data,
                                                    extinction.data, threads);
            }
            return std::make_tuple(backscatter.array, extinction.array);
        },
        "signal"_a, "range"_a, "beta_m"_a, "alpha_m"_a, "lidar_ratio"_a, "reference"_a,
        "reference_value"_a, "calibration"_a, "forward"_a, "noise_kind"_a, "sigma"_a,
        "counts_per_unit"_a, "background"_a, "realisations"_a, "seed"_a, "lidar_ratio_sd"_a,
        "reference_value_sd"_a, "threads"_a = 0,
        "Monte Carlo standard deviations of Fernald's backscatter and extinction.");

    m.def(
        "raman_extinction",
        [](const In& raman_signal, const In& range, const In& number_density,
           const In& alpha_m, const In& alpha_m_raman, const In& half_width,
           double wavelength_ratio, const In& angstrom, const In& raman_noise,
           unsigned threads) {
            const RetrievalShape s = retrieval_shape(raman_signal, "raman_signal");
            const In none;
            aerolume::RamanInputs in = raman_inputs(
                s, none, raman_signal, range, none, number_density, alpha_m, alpha_m_raman,
                none, half_width, wavelength_ratio, angstrom, Index(), none);
            in.raman_noise = s.optional_rows(raman_noise, "raman_noise");
            NewArray extinction = new_array(s.shape), error = new_array(s.shape);
            const bool with_error = !in.raman_noise.empty();
            {
                Unlocked unlocked;
                aerolume::raman_extinction(in, extinction.data,
                                           with_error ? error.data : nullptr, threads);
            }
            return std::make_tuple(extinction.array, error.array);
        },
        "raman_signal"_a, "range"_a, "number_density"_a, "alpha_m"_a, "alpha_m_raman"_a,
        "half_width"_a, "wavelength_ratio"_a, "angstrom"_a, "raman_noise"_a, "threads"_a = 0,
        "Aerosol extinction from a Raman channel and its analytic statistical error (zeros "
        "without raman_noise).");

    m.def(
        "raman_backscatter",
        [](const In& elastic_signal, const In& raman_signal, const In& range, const In& beta_m,
           const In& number_density, const In& alpha_m, const In& alpha_m_raman,
           const In& extinction, double wavelength_ratio, const In& angstrom,
           const Index& reference, const In& reference_value, unsigned threads) {
            const RetrievalShape s = retrieval_shape(raman_signal, "raman_signal");
            const In none;
            const aerolume::RamanInputs in =
                raman_inputs(s, elastic_signal, raman_signal, range, beta_m, number_density,
                             alpha_m, alpha_m_raman, extinction, none, wavelength_ratio,
                             angstrom, reference, reference_value);
            if (in.elastic_signal.empty() || in.beta_m.empty() || in.reference.data == nullptr)
                throw std::invalid_argument("elastic_signal, beta_m and reference are needed");
            NewArray backscatter = new_array(s.shape);
            {
                Unlocked unlocked;
                aerolume::raman_backscatter(in, backscatter.data, threads);
            }
            return backscatter.array;
        },
        "elastic_signal"_a, "raman_signal"_a, "range"_a, "beta_m"_a, "number_density"_a,
        "alpha_m"_a, "alpha_m_raman"_a, "extinction"_a, "wavelength_ratio"_a, "angstrom"_a,
        "reference"_a, "reference_value"_a, "threads"_a = 0,
        "Aerosol backscatter from the elastic and Raman signals (an empty extinction is 0).");

    m.def(
        "raman_monte_carlo",
        [](const In& elastic_signal, const In& raman_signal, const In& range, const In& beta_m,
           const In& number_density, const In& alpha_m, const In& alpha_m_raman,
           const In& extinction, const In& half_width, double wavelength_ratio,
           const In& angstrom, const Index& reference, const In& reference_value,
           int elastic_kind, const In& elastic_sigma, const In& elastic_counts_per_unit,
           const In& elastic_background, int raman_kind, const In& raman_sigma,
           const In& raman_counts_per_unit, const In& raman_background,
           std::size_t realisations, std::uint64_t seed, double reference_value_sd,
           double angstrom_sd, bool retrieve_extinction, bool retrieve_backscatter,
           unsigned threads) {
            const RetrievalShape s = retrieval_shape(raman_signal, "raman_signal");
            const aerolume::RamanInputs in =
                raman_inputs(s, elastic_signal, raman_signal, range, beta_m, number_density,
                             alpha_m, alpha_m_raman, extinction, half_width, wavelength_ratio,
                             angstrom, reference, reference_value);
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
                                                  angstrom_sd};
            NewArray e = new_array(s.shape), b = new_array(s.shape), l = new_array(s.shape);
            {
                Unlocked unlocked;
                aerolume::raman_monte_carlo(
                    in, elastic_noise, raman_noise, settings,
                    {retrieve_extinction, retrieve_backscatter}, e.data, b.data,
                    retrieve_extinction && retrieve_backscatter ? l.data : nullptr, threads);
            }
            return std::make_tuple(e.array, b.array, l.array);
        },
        "elastic_signal"_a, "raman_signal"_a, "range"_a, "beta_m"_a, "number_density"_a,
        "alpha_m"_a, "alpha_m_raman"_a, "extinction"_a, "half_width"_a, "wavelength_ratio"_a,
        "angstrom"_a, "reference"_a, "reference_value"_a, "elastic_kind"_a, "elastic_sigma"_a,
        "elastic_counts_per_unit"_a, "elastic_background"_a, "raman_kind"_a, "raman_sigma"_a,
        "raman_counts_per_unit"_a, "raman_background"_a, "realisations"_a, "seed"_a,
        "reference_value_sd"_a, "angstrom_sd"_a, "retrieve_extinction"_a,
        "retrieve_backscatter"_a, "threads"_a = 0,
        "Monte Carlo standard deviations of the Raman extinction, backscatter and lidar ratio.");
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
