// Noise drawn onto signals: Poisson for photon counting, Gaussian for analog.
//
// Poisson: with k counts per signal unit (shots, or shots x bin duration for a count
// rate) and b the background removed from the signal, the detected counts are Poisson of
// mean k (P + b) and the noisy signal is counts / k - b.  Gaussian: P + sigma g.
#pragma once

#include <cstddef>
#include <vector>

#include "random.h"
#include "retrieval_profiles.h"

namespace aerolume {

enum class NoiseKind { none = 0, gaussian = 1, poisson = 2 };

struct NoiseModel {
    NoiseKind kind = NoiseKind::none;
    Rows sigma;            // Gaussian: standard deviation per gate
    Rows counts_per_unit;  // Poisson: k per gate
    Rows background;       // Poisson: b per gate

    // out[i] = signal[i] with noise of profile p drawn from `rng` (out must not overlap
    // signal).  `samplers`: what prepare() gave for this signal (null: worked out here;
    // the draws are the same).
    void draw(const double* signal, std::size_t gates, std::size_t p, RandomStream& rng,
              double* out, const PoissonSampler* samplers = nullptr) const;
    // What every draw of profile p's `signal` shares: for Poisson noise each gate's
    // sampler (its mean k (P + b), 0 where that is negative); nothing otherwise.
    void prepare(const double* signal, std::size_t gates, std::size_t p,
                 std::vector<PoissonSampler>& samplers) const;
    // The model from gate `first` of every profile on (for a profile retrieved from there).
    NoiseModel from(std::size_t first) const {
        NoiseModel out = *this;
        if (!out.sigma.empty()) out.sigma.data += first;
        if (!out.counts_per_unit.empty()) out.counts_per_unit.data += first;
        if (!out.background.empty()) out.background.data += first;
        return out;
    }
    // The standard deviation the model gives each gate of `signal`.
    void standard_deviation(const double* signal, std::size_t gates, std::size_t p,
                            double* out) const;
};

}  // namespace aerolume
