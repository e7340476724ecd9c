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


// Monte Carlo settings as the Python layer gives them (bound as MonteCarloSettings): the
// core's settings and the per-profile seeds, kept alive with them.
struct MonteCarlo {
    aerolume::MonteCarloSettings settings;
    Seeds seeds;

    // The settings for the profiles of `s` (one seed per profile, or none).
    aerolume::MonteCarloSettings on(const RetrievalShape& s) const {
        aerolume::MonteCarloSettings out = settings;
        out.seeds = s.seeds(seeds);
        return out;
    }
};

// The inputs of the Raman method as the Python layer gives them (bound as RamanInputs): the
// arrays, kept alive here, and the core's views of them, checked against the profiles of
// the Raman signal when made.
struct Raman {
    In raman_signal, range, number_density, alpha_m, alpha_m_raman, angstrom, elastic_signal,
        beta_m, extinction, half_width, reference_value, raman_noise;
    GateIntervals reference, first;
    Flags referenced;
    double wavelength_ratio;
    RetrievalShape shape;
    aerolume::RamanInputs in;
};

// The inputs of Fernald's inversion as the Python layer gives them (bound as KlettInputs):
// the arrays, kept alive here, and the core's views of them, checked against the profiles
// of the signal when made.
struct Klett {
    In signal, range, beta_m, alpha_m, lidar_ratio, reference_value, calibration;
    GateIntervals reference, offset_interval, first;
    bool forward, fit_offset;
    RetrievalShape shape;
    aerolume::KlettInputs in;
};

void bind_retrieval_inputs(nb::module_& m) {
    nb::class_<Klett>(m, "KlettInputs",
        "The inputs of Fernald's inversion, each per gate (one profile shared by all, or one "
        "per profile of signal) unless said otherwise: the signal, the range (m), the "
        "molecular backscatter (m^-1 sr^-1) and extinction (m^-1) and the aerosol lidar ratio "
        "(sr).  Backward (the default): the reference (one (begin, end) gate pair or one per "
        "profile) with its backscatter ratio reference_value (one or one per profile), and "
        "with fit_offset a residual offset fitted over offset_interval (absent: the "
        "reference).  Forward: the calibration (one or one per profile) instead.  `first` "
        "(one gate or one per profile) retrieves each profile from that gate on, as if the "
        "gates below were not there (NaN); the intervals stay on the whole profile's gates.  "
        "Shapes are checked here.")
        .def("__init__",
             [](Klett* self, const In& signal, const In& range, const In& beta_m,
                const In& alpha_m, const In& lidar_ratio, bool forward,
                const GateIntervals& reference, const In& reference_value,
                const In& calibration, bool fit_offset, const GateIntervals& offset_interval,
                const GateIntervals& first) {
                 if (forward) {
                     if (!calibration.is_valid())
                         throw std::invalid_argument("KlettInputs: forward needs calibration");
                     if (reference.is_valid() || reference_value.is_valid() || fit_offset ||
                         offset_interval.is_valid())
                         throw std::invalid_argument(
                             "KlettInputs: reference, reference_value, fit_offset and "
                             "offset_interval are for the backward inversion");
                 } else {
                     if (!reference.is_valid() || !reference_value.is_valid())
                         throw std::invalid_argument(
                             "KlettInputs: the backward inversion needs reference and "
                             "reference_value");
                     if (calibration.is_valid())
                         throw std::invalid_argument(
                             "KlettInputs: calibration is for the forward inversion");
                     if (offset_interval.is_valid() && !fit_offset)
                         throw std::invalid_argument("KlettInputs: offset_interval needs fit_offset");
                 }
                 const RetrievalShape s = retrieval_shape(signal, "signal");
                 const aerolume::KlettInputs in =
                     klett_inputs(s, signal, range, beta_m, alpha_m, lidar_ratio, reference,
                                  reference_value, calibration, forward, fit_offset,
                                  offset_interval, first);
                 new (self) Klett{signal, range, beta_m, alpha_m, lidar_ratio, reference_value,
                                  calibration, reference, offset_interval, first, forward,
                                  fit_offset, s, in};
             },
             nb::kw_only(), "signal"_a, "range"_a, "beta_m"_a, "alpha_m"_a, "lidar_ratio"_a,
             "forward"_a = false, "reference"_a.none() = nb::none(),
             "reference_value"_a.none() = nb::none(), "calibration"_a.none() = nb::none(),
             "fit_offset"_a = false, "offset_interval"_a.none() = nb::none(),
             "first"_a.none() = nb::none())
        .def_prop_ro("profiles", [](const Klett& k) { return k.shape.profiles; })
        .def_prop_ro("gates", [](const Klett& k) { return k.shape.gates; })
        .def_ro("forward", &Klett::forward)
        .def_ro("fit_offset", &Klett::fit_offset)
        .def_prop_ro("signal", required_array_field(&Klett::signal))
        .def_prop_ro("range", required_array_field(&Klett::range))
        .def_prop_ro("beta_m", required_array_field(&Klett::beta_m))
        .def_prop_ro("alpha_m", required_array_field(&Klett::alpha_m))
        .def_prop_ro("lidar_ratio", required_array_field(&Klett::lidar_ratio))
        .def_prop_ro("reference", array_field(&Klett::reference))
        .def_prop_ro("reference_value", array_field(&Klett::reference_value))
        .def_prop_ro("calibration", array_field(&Klett::calibration))
        .def_prop_ro("offset_interval", array_field(&Klett::offset_interval))
        .def_prop_ro("first", array_field(&Klett::first));

    nb::class_<MonteCarlo>(m, "MonteCarloSettings",
        "How a Monte Carlo uncertainty is drawn: the number of realisations (at least 2), "
        "the seed, or one seed per profile (`seeds`: each profile's realisations drawn as a "
        "call for that profile alone with that seed would), and the standard deviations of "
        "the systematic parameters redrawn per profile and realisation: the lidar ratio "
        "(sr), the reference backscatter ratio and the Angstrom exponent.")
        .def("__init__",
             [](MonteCarlo* self, std::size_t realisations, std::uint64_t seed, const Seeds& seeds,
                double lidar_ratio_sd, double reference_value_sd, double angstrom_sd) {
                 if (realisations < 2)
                     throw std::invalid_argument("realisations must be at least 2");
                 new (self) MonteCarlo{{realisations, seed, lidar_ratio_sd, reference_value_sd,
                                        angstrom_sd, nullptr},
                                       seeds};
             },
             nb::kw_only(), "realisations"_a, "seed"_a = 0, "seeds"_a.none() = nb::none(),
             "lidar_ratio_sd"_a = 0.0, "reference_value_sd"_a = 0.0, "angstrom_sd"_a = 0.0)
        .def_prop_ro("realisations", [](const MonteCarlo& mc) { return mc.settings.realisations; })
        .def_prop_ro("seed", [](const MonteCarlo& mc) { return mc.settings.seed; })
        .def_prop_ro("seeds", array_field(&MonteCarlo::seeds))
        .def_prop_ro("lidar_ratio_sd", [](const MonteCarlo& mc) { return mc.settings.lidar_ratio_sd; })
        .def_prop_ro("reference_value_sd",
                     [](const MonteCarlo& mc) { return mc.settings.reference_value_sd; })
        .def_prop_ro("angstrom_sd", [](const MonteCarlo& mc) { return mc.settings.angstrom_sd; });

    nb::class_<Raman>(m, "RamanInputs",
        "The inputs of the Raman method, each per gate (one profile shared by all, or one per "
        "profile of raman_signal) unless said otherwise: the Raman signal, the range (m), "
        "the molecular number density (m^-3) and extinction at the emitted (alpha_m) and "
        "Raman (alpha_m_raman) wavelengths (m^-1), their ratio (emitted / Raman), the "
        "Angstrom exponent (one or one per profile); for the backscatter the elastic signal, "
        "the molecular backscatter beta_m (m^-1 sr^-1), the reference (one (begin, end) gate "
        "pair or one per profile) with its backscatter ratio reference_value, and the aerosol "
        "extinction (absent: 0); for the extinction the fit's half width (gates) and, for "
        "its analytic error, the Raman signal's standard deviation raman_noise.  `first` (one "
        "gate or one per profile) retrieves each profile from that gate on; `referenced` (one "
        "flag per profile) marks the profiles that have a reference.  Shapes are checked "
        "here.")
        .def("__init__",
             [](Raman* self, const In& raman_signal, const In& range, const In& number_density,
                const In& alpha_m, const In& alpha_m_raman, double wavelength_ratio,
                const In& angstrom, const In& elastic_signal, const In& beta_m,
                const In& extinction, const In& half_width, const GateIntervals& reference,
                const In& reference_value, const GateIntervals& first, const Flags& referenced,
                const In& raman_noise) {
                 if (reference.is_valid() != reference_value.is_valid())
                     throw std::invalid_argument(
                         "RamanInputs: reference and reference_value go together");
                 if (referenced.is_valid() && !reference.is_valid())
                     throw std::invalid_argument("RamanInputs: referenced needs reference");
                 const RetrievalShape s = retrieval_shape(raman_signal, "raman_signal");
                 aerolume::RamanInputs in = raman_inputs(
                     s, elastic_signal, raman_signal, range, beta_m, number_density, alpha_m,
                     alpha_m_raman, extinction, half_width, wavelength_ratio, angstrom,
                     reference, reference_value, first);
                 in.raman_noise = s.optional_rows(raman_noise, "raman_noise");
                 if (referenced.is_valid()) {
                     if (referenced.size() != s.profiles)
                         throw std::invalid_argument("referenced needs one flag per profile");
                     in.referenced = referenced.data();
                 }
                 new (self) Raman{raman_signal, range, number_density, alpha_m, alpha_m_raman,
                                  angstrom, elastic_signal, beta_m, extinction, half_width,
                                  reference_value, raman_noise, reference, first, referenced,
                                  wavelength_ratio, s, in};
             },
             nb::kw_only(), "raman_signal"_a, "range"_a, "number_density"_a, "alpha_m"_a,
             "alpha_m_raman"_a, "wavelength_ratio"_a, "angstrom"_a,
             "elastic_signal"_a.none() = nb::none(), "beta_m"_a.none() = nb::none(),
             "extinction"_a.none() = nb::none(), "half_width"_a.none() = nb::none(),
             "reference"_a.none() = nb::none(), "reference_value"_a.none() = nb::none(),
             "first"_a.none() = nb::none(), "referenced"_a.none() = nb::none(),
             "raman_noise"_a.none() = nb::none())
        .def_prop_ro("profiles", [](const Raman& r) { return r.shape.profiles; })
        .def_prop_ro("gates", [](const Raman& r) { return r.shape.gates; })
        .def_ro("wavelength_ratio", &Raman::wavelength_ratio)
        .def_prop_ro("raman_signal", required_array_field(&Raman::raman_signal))
        .def_prop_ro("range", required_array_field(&Raman::range))
        .def_prop_ro("number_density", required_array_field(&Raman::number_density))
        .def_prop_ro("alpha_m", required_array_field(&Raman::alpha_m))
        .def_prop_ro("alpha_m_raman", required_array_field(&Raman::alpha_m_raman))
        .def_prop_ro("angstrom", required_array_field(&Raman::angstrom))
        .def_prop_ro("elastic_signal", array_field(&Raman::elastic_signal))
        .def_prop_ro("beta_m", array_field(&Raman::beta_m))
        .def_prop_ro("extinction", array_field(&Raman::extinction))
        .def_prop_ro("half_width", array_field(&Raman::half_width))
        .def_prop_ro("reference", array_field(&Raman::reference))
        .def_prop_ro("reference_value", array_field(&Raman::reference_value))
        .def_prop_ro("first", array_field(&Raman::first))
        .def_prop_ro("referenced", array_field(&Raman::referenced))
        .def_prop_ro("raman_noise", array_field(&Raman::raman_noise));
}

}  // namespace

void bind_retrievals(nb::module_& m) {
    bind_retrieval_inputs(m);

    m.def(
        "klett_fernald",
        [](const Klett& inputs, unsigned threads) {
            const aerolume::KlettInputs& in = inputs.in;
            const RetrievalShape& s = inputs.shape;
            NewArray backscatter = unfilled_array(s.shape), extinction = unfilled_array(s.shape);
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
        "inputs"_a, "threads"_a = 0,
        "Fernald's inversion of KlettInputs: (aerosol backscatter, aerosol extinction, the "
        "number of gates that should have been retrieved but have no solution, the residual "
        "offset fitted over each profile's reference interval (0 without fit_offset)).");

    m.def(
        "klett_fernald_monte_carlo",
        [](const Klett& inputs, const Noise* noise_model_, const MonteCarlo& mc,
           unsigned threads) {
            const RetrievalShape& s = inputs.shape;
            const aerolume::NoiseModel noise = noise_model(s, noise_model_, "signal");
            if (mc.settings.angstrom_sd != 0.0)
                throw std::invalid_argument("settings.angstrom_sd must be 0: Fernald's inversion "
                                            "has no Angstrom exponent");
            const aerolume::MonteCarloSettings settings = mc.on(s);
            NewArray backscatter = unfilled_array(s.shape), extinction = unfilled_array(s.shape);
            {
                Interruptible unlocked;
                aerolume::klett_fernald_monte_carlo(inputs.in, noise, settings, backscatter.data,
                                                    extinction.data, threads);
            }
            return std::make_tuple(backscatter.array, extinction.array);
        },
        "inputs"_a, nb::kw_only(), "noise"_a.none(), "settings"_a, "threads"_a = 0,
        "Monte Carlo standard deviations of Fernald's backscatter and extinction over the "
        "signal's `noise` (a NoiseModel, None for none) and the lidar ratio and reference "
        "value (settings.lidar_ratio_sd, settings.reference_value_sd; settings.angstrom_sd "
        "must be 0).");

    m.def(
        "raman_extinction",
        [](const Raman& inputs, unsigned threads) {
            const aerolume::RamanInputs& in = inputs.in;
            if (in.half_width.empty()) throw std::invalid_argument("half_width is needed");
            const RetrievalShape& s = inputs.shape;
            const bool with_error = !in.raman_noise.empty();
            NewArray extinction = unfilled_array(s.shape);
            NewArray error = unfilled_array(with_error ? s.shape : std::vector<std::size_t>{0});
            {
                Interruptible unlocked;
                aerolume::raman_extinction(in, extinction.data,
                                           with_error ? error.data : nullptr, threads);
            }
            return std::make_tuple(extinction.array, with_error ? std::optional<Out>(error.array)
                                                                : std::nullopt);
        },
        "inputs"_a, "threads"_a = 0,
        "Aerosol extinction from a Raman channel (RamanInputs with half_width) and its analytic "
        "statistical error (None without raman_noise).");

    m.def(
        "lidar_ratio",
        [](const In& extinction, const In& backscatter, double min_backscatter,
           unsigned threads) {
            if (shape_of(extinction) != shape_of(backscatter))
                throw std::invalid_argument("extinction and backscatter must have the same shape");
            NewArray ratio = unfilled_array(shape_of(extinction));
            {
                Unlocked unlocked;
                aerolume::lidar_ratio(extinction.data(), backscatter.data(), extinction.size(),
                                      min_backscatter, ratio.data, threads);
            }
            return ratio.array;
        },
        "extinction"_a, "backscatter"_a, "min_backscatter"_a = 0.0, "threads"_a = 0,
        "extinction / backscatter where the backscatter is above min_backscatter, NaN "
        "elsewhere (arrays of one shape).");

    m.def(
        "raman_backscatter",
        [](const Raman& inputs, unsigned threads) {
            const aerolume::RamanInputs& in = inputs.in;
            if (in.elastic_signal.empty() || in.beta_m.empty() || in.reference.data == nullptr)
                throw std::invalid_argument("elastic_signal, beta_m and reference are needed");
            NewArray backscatter = unfilled_array(inputs.shape.shape);
            {
                Interruptible unlocked;
                aerolume::raman_backscatter(in, backscatter.data, threads);
            }
            return backscatter.array;
        },
        "inputs"_a, "threads"_a = 0,
        "Aerosol backscatter from the elastic and Raman signals (RamanInputs with "
        "elastic_signal, beta_m and reference; an absent extinction is 0).");

    m.def(
        "raman_monte_carlo",
        [](const Raman& inputs, const Noise* elastic_noise_model, const Noise* raman_noise_model,
           const MonteCarlo& mc, bool retrieve_extinction, bool retrieve_backscatter,
           unsigned threads) {
            const aerolume::RamanInputs& in = inputs.in;
            const RetrievalShape& s = inputs.shape;
            if (retrieve_backscatter &&
                (in.elastic_signal.empty() || in.beta_m.empty() || in.reference.data == nullptr))
                throw std::invalid_argument("elastic_signal, beta_m and reference are needed");
            if (retrieve_extinction && in.half_width.empty())
                throw std::invalid_argument("half_width is needed");
            aerolume::NoiseModel elastic_noise;
            if (retrieve_backscatter)
                elastic_noise = noise_model(s, elastic_noise_model, "elastic_signal");
            const aerolume::NoiseModel raman_noise =
                noise_model(s, raman_noise_model, "raman_signal");
            if (mc.settings.lidar_ratio_sd != 0.0)
                throw std::invalid_argument("settings.lidar_ratio_sd must be 0: the Raman method "
                                            "assumes no lidar ratio");
            const aerolume::MonteCarloSettings settings = mc.on(s);
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
        "inputs"_a, nb::kw_only(), "elastic_noise"_a.none(), "raman_noise"_a.none(),
        "settings"_a, "retrieve_extinction"_a, "retrieve_backscatter"_a, "threads"_a = 0,
        "Monte Carlo spreads (robust, over the realisations that succeed) of the Raman "
        "extinction, backscatter and lidar ratio, and the number of failed realisations per "
        "gate, over the signals' noise (NoiseModel, None for none; the elastic one only for "
        "the backscatter) and the reference value and Angstrom exponent "
        "(settings.reference_value_sd, settings.angstrom_sd; settings.lidar_ratio_sd must be 0).  "
        "The profiles without a reference (inputs.referenced) redo only the extinction "
        "(their backscatter and lidar-ratio spreads 0, their reference intervals ignored).");
}

}  // namespace aerolume::bindings
