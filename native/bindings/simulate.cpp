// Aerolume._core: the forward model, signals and their noise (core/simulate/).
#include "retrieval_inputs.h"

#include <cstdint>

#include "simulate.h"

namespace aerolume::bindings {

using namespace nb::literals;

void bind_simulate(nb::module_& m) {
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
            NewArray out = unfilled_array(s.shape);
            {
                Unlocked unlocked;
                aerolume::lidar_signal(in, out.data, threads);
            }
            return out.array;
        },
        "range"_a, "backscatter"_a, "extinction_two_way"_a, "overlap"_a.none(), "constant"_a,
        "threads"_a = 0,
        "P = C O r^-2 beta exp(-∫ alpha_2 dr) per profile (last axis range); without overlap "
        "(None) O is 1.");

    m.def(
        "add_noise",
        [](const In& signal, const Noise& model, std::uint64_t seed, unsigned threads) {
            const RetrievalShape s = retrieval_shape(signal, "signal");
            const aerolume::NoiseModel noise = noise_model(s, &model, "signal");
            NewArray out = unfilled_array(s.shape);
            {
                Unlocked unlocked;
                aerolume::add_noise(signal.data(), s.profiles, s.gates, noise, seed, out.data,
                                    threads);
            }
            return out.array;
        },
        "signal"_a, "noise"_a, "seed"_a, "threads"_a = 0,
        "The signal with `noise` (a NoiseModel): NoiseKind.gaussian of standard deviation "
        "sigma, NoiseKind.poisson counts of mean counts_per_unit (signal + background).");
}

}  // namespace aerolume::bindings
