// Aerolume._core: how a signal's noise is described (core/retrieval/retrieval_noise.h).
#include "retrieval_inputs.h"

#include <string>

namespace aerolume::bindings {

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

void bind_noise(nb::module_& m) {
    nb::enum_<aerolume::NoiseKind>(m, "NoiseKind",
                                   "How a signal's noise is described: not at all, by its standard "
                                   "deviation (gaussian), or by its counts (poisson).")
        .value("none", aerolume::NoiseKind::none)
        .value("gaussian", aerolume::NoiseKind::gaussian)
        .value("poisson", aerolume::NoiseKind::poisson);
}

}  // namespace aerolume::bindings
