// Aerolume._core: how a signal's noise is described (core/retrieval/retrieval_noise.h).
#include "retrieval_inputs.h"

#include <stdexcept>
#include <string>

namespace aerolume::bindings {

using namespace nb::literals;

aerolume::NoiseModel noise_model(const RetrievalShape& s, const Noise* noise, const char* name) {
    aerolume::NoiseModel model;
    if (!noise) return model;
    model.kind = noise->kind;
    const std::string n(name);
    if (model.kind == aerolume::NoiseKind::gaussian)
        model.sigma = s.rows(noise->sigma, (n + " noise").c_str());
    if (model.kind == aerolume::NoiseKind::poisson) {
        model.counts_per_unit = s.rows(noise->counts_per_unit, (n + " counts_per_unit").c_str());
        model.background = s.rows(noise->background, (n + " background").c_str());
    }
    return model;
}

void bind_noise(nb::module_& m) {
    nb::enum_<aerolume::NoiseKind>(m, "NoiseKind",
                                   "How a signal's noise is described: not at all, by its standard "
                                   "deviation (gaussian), or by its counts (poisson).")
        .value("none", aerolume::NoiseKind::none)
        .value("gaussian", aerolume::NoiseKind::gaussian)
        .value("poisson", aerolume::NoiseKind::poisson);

    nb::class_<Noise>(m, "NoiseModel",
        "A signal's noise: NoiseKind.gaussian of standard deviation `sigma` (per gate, one "
        "profile or one per profile), NoiseKind.poisson of `counts_per_unit` counts per "
        "signal unit over the signal plus `background`, or NoiseKind.none.  Each kind takes "
        "its own arrays and no other; their shapes are checked against the signal they "
        "are used with.")
        .def("__init__",
             [](Noise* self, aerolume::NoiseKind kind, const In& sigma, const In& counts_per_unit,
                const In& background) {
                 using K = aerolume::NoiseKind;
                 const bool gaussian = kind == K::gaussian, poisson = kind == K::poisson;
                 if (gaussian != sigma.is_valid())
                     throw std::invalid_argument(gaussian ? "NoiseModel: gaussian noise needs sigma"
                                                          : "NoiseModel: sigma is only for gaussian noise");
                 if (poisson != counts_per_unit.is_valid() || poisson != background.is_valid())
                     throw std::invalid_argument(
                         poisson ? "NoiseModel: poisson noise needs counts_per_unit and background"
                                 : "NoiseModel: counts_per_unit and background are only for poisson noise");
                 new (self) Noise{kind, sigma, counts_per_unit, background};
             },
             nb::kw_only(), "kind"_a, "sigma"_a.none() = nb::none(),
             "counts_per_unit"_a.none() = nb::none(), "background"_a.none() = nb::none())
        .def_ro("kind", &Noise::kind)
        .def_prop_ro("sigma", array_field(&Noise::sigma))
        .def_prop_ro("counts_per_unit", array_field(&Noise::counts_per_unit))
        .def_prop_ro("background", array_field(&Noise::background));
}

}  // namespace aerolume::bindings
