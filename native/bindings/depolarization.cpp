// Aerolume._core: depolarisation ratios and their Monte Carlo uncertainties
// (core/retrieval/depolarization.h).
#include "retrieval_inputs.h"

#include <stdexcept>
#include <tuple>

#include "depolarization.h"

namespace aerolume::bindings {

using namespace nb::literals;

namespace {

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

}  // namespace

void bind_depolarization(nb::module_& m) {
    m.def(
        "depolarization",
        [](const In& cross, const In& co, const In& eta,
           const std::tuple<double, double, double, double>& ghk, const In& molecular,
           const In& backscatter_ratio, double misalignment, unsigned threads) {
            const RetrievalShape s = retrieval_shape(cross, "cross");
            const aerolume::DepolarizationInputs in = depolarization_inputs(
                s, cross, co, eta, ghk, molecular, backscatter_ratio, misalignment);
            NewArray volume = unfilled_array(s.shape);
            const bool particle = in.particle();
            NewArray ratio = particle ? unfilled_array(s.shape) : new_array({0});
            {
                Unlocked unlocked;
                aerolume::depolarization(in, volume.data, particle ? ratio.data : nullptr,
                                         threads);
            }
            return std::make_tuple(volume.array, or_none(ratio, particle));
        },
        "cross"_a, "co"_a, "eta"_a, "ghk"_a, "molecular"_a.none(), "backscatter_ratio"_a.none(),
        "misalignment"_a = 0.0, "threads"_a = 0,
        "(delta_v, delta_p or None) from the cross and co (parallel or total) signals, the "
        "gain ratio eta per profile, ghk = (G_co, H_co, G_cross, H_cross) of the receiver "
        "turned by misalignment (rad), delta_m and the backscatter ratio (both None for no "
        "delta_p).");

    m.def(
        "depolarization_monte_carlo",
        [](const In& cross, const In& co, const In& eta,
           const std::tuple<double, double, double, double>& ghk, const In& molecular,
           const In& backscatter_ratio, const Noise* cross_noise_model,
           const Noise* co_noise_model, std::size_t realisations, std::uint64_t seed, const In& eta_sd, double molecular_sd,
           const In& backscatter_ratio_sd, double misalignment, double misalignment_sd,
           unsigned threads) {
            const RetrievalShape s = retrieval_shape(cross, "cross");
            const aerolume::DepolarizationInputs in = depolarization_inputs(
                s, cross, co, eta, ghk, molecular, backscatter_ratio, misalignment);
            const aerolume::NoiseModel cross_noise = noise_model(s, cross_noise_model, "cross");
            const aerolume::NoiseModel co_noise = noise_model(s, co_noise_model, "co");
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
            NewArray volume = unfilled_array(s.shape);
            NewArray ratio = particle ? unfilled_array(s.shape) : new_array({0});
            {
                Unlocked unlocked;
                aerolume::depolarization_monte_carlo(in, cross_noise, co_noise, settings,
                                                     volume.data,
                                                     particle ? ratio.data : nullptr, threads);
            }
            return std::make_tuple(volume.array, or_none(ratio, particle));
        },
        "cross"_a, "co"_a, "eta"_a, "ghk"_a, "molecular"_a.none(), "backscatter_ratio"_a.none(),
        nb::kw_only(), "cross_noise"_a.none(), "co_noise"_a.none(), "realisations"_a, "seed"_a,
        "eta_sd"_a, "molecular_sd"_a, "backscatter_ratio_sd"_a.none(),
        "misalignment"_a = 0.0, "misalignment_sd"_a = 0.0, "threads"_a = 0,
        "Monte Carlo standard deviations (delta_v, delta_p or None) over the signals' noise "
        "(NoiseModel, None for none), eta (eta_sd per profile), delta_m (molecular_sd), the "
        "misalignment (rad, misalignment_sd) and the backscatter ratio (backscatter_ratio_sd "
        "per gate, None to hold it).");
}

}  // namespace aerolume::bindings
