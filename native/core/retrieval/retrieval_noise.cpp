#include "retrieval_noise.h"

#include <cmath>

namespace aerolume {

void NoiseModel::prepare(const double* signal, std::size_t gates, std::size_t p,
                         std::vector<PoissonSampler>& samplers) const {
    samplers.clear();
    if (kind != NoiseKind::poisson) return;
    const double* k = counts_per_unit.row(p);
    const double* b = background.row(p);
    samplers.resize(gates);
    for (std::size_t i = 0; i < gates; ++i) {
        const double mean = k[i] * (signal[i] + b[i]);
        // A gap (NaN) stays one, drawing nothing; a negative mean (noise below the
        // background) draws 0.
        samplers[i] = PoissonSampler(mean == mean ? (mean > 0.0 ? mean : 0.0) : mean);
    }
}

void NoiseModel::draw(const double* signal, std::size_t gates, std::size_t p,
                      RandomStream& rng, double* out, const PoissonSampler* samplers) const {
    switch (kind) {
        case NoiseKind::none:
            for (std::size_t i = 0; i < gates; ++i) out[i] = signal[i];
            break;
        case NoiseKind::gaussian: {
            const double* s = sigma.row(p);
            rng.normals(out, gates);
            for (std::size_t i = 0; i < gates; ++i) out[i] = signal[i] + s[i] * out[i];
            break;
        }
        case NoiseKind::poisson: {
            const double* k = counts_per_unit.row(p);
            const double* b = background.row(p);
            if (samplers) {
                for (std::size_t i = 0; i < gates; ++i) {
                    const double mean = samplers[i].mean;
                    out[i] = mean == mean ? rng.poisson(samplers[i]) / k[i] - b[i] : mean;
                }
                break;
            }
            for (std::size_t i = 0; i < gates; ++i) {
                const double mean = k[i] * (signal[i] + b[i]);
                // A gap (NaN) stays one; a negative mean (noise below the background) draws 0.
                out[i] = mean == mean ? rng.poisson(mean > 0.0 ? mean : 0.0) / k[i] - b[i]
                                      : mean;
            }
            break;
        }
    }
}

void NoiseModel::standard_deviation(const double* signal, std::size_t gates, std::size_t p,
                                    double* out) const {
    switch (kind) {
        case NoiseKind::none:
            for (std::size_t i = 0; i < gates; ++i) out[i] = 0.0;
            break;
        case NoiseKind::gaussian: {
            const double* s = sigma.row(p);
            for (std::size_t i = 0; i < gates; ++i) out[i] = s[i];
            break;
        }
        case NoiseKind::poisson: {
            const double* k = counts_per_unit.row(p);
            const double* b = background.row(p);
            for (std::size_t i = 0; i < gates; ++i) {
                const double mean = k[i] * (signal[i] + b[i]);
                out[i] = std::sqrt(mean > 0.0 ? mean : 0.0) / k[i];
            }
            break;
        }
    }
}

}  // namespace aerolume
