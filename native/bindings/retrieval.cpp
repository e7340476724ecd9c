// Aerolume._core: Fernald's inversion, the Raman method and their Monte Carlo uncertainties
// (core/retrieval/).
#include "retrieval_inputs.h"

#include <cstdint>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "klett.h"
#include "raman.h"
#include "retrieval_uncertainty.h"

namespace aerolume::bindings {

using namespace nb::literals;

namespace {

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

}  // namespace

void bind_retrievals(nb::module_& m) {
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

}  // namespace aerolume::bindings
