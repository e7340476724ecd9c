// Monte Carlo uncertainties of the retrievals.
//
// Each realisation redraws the signals' noise (Poisson or Gaussian, see NoiseModel) and the
// systematic parameters the caller gives an uncertainty for (one normal draw per profile and
// realisation: the aerosol lidar ratio shifted by sd_S g, the reference backscatter ratio by
// sd_R g, the Angstrom exponent by sd_k g), then runs the retrieval again.  The result is
// the spread over the realisations of each product at each gate: the standard deviation of
// the realisations that succeed there, those beyond 5 robust standard deviations (1.4826
// median absolute deviations) of their median left out (NaN with fewer than 3), so that a
// realisation without a solution at a gate (a denominator that is not positive, a
// non-positive Raman signal under the logarithm) or one gone wild leaves the others' spread
// intact.  All the realisations of a profile are kept for this (realisations x products x
// gates doubles per thread).
//
// Realisation j of profile p draws from the stream (seed, p, j + 1) (or (seeds[p], 0, j + 1)
// given a seed per profile) alone and is kept at
// its own index, and the spread at a gate is taken over the kept realisations in their
// order, so the results are the same whatever the thread count and however the profiles
// are grouped; a single profile's realisations are shared out over the threads.
#pragma once

#include <cstddef>
#include <cstdint>

#include "klett.h"
#include "raman.h"
#include "retrieval_noise.h"

namespace aerolume {

struct MonteCarloSettings {
    std::size_t realisations = 100;
    std::uint64_t seed = 0;
    double lidar_ratio_sd = 0.0;      // sr
    double reference_value_sd = 0.0;  // backscatter ratio
    double angstrom_sd = 0.0;
    // One seed per profile (null: `seed` for all): realisation j of profile p then draws
    // from the stream (seeds[p], 0, j + 1), that of the profile retrieved alone.
    const std::uint64_t* seeds = nullptr;
};

// Standard deviations of the Klett-Fernald backscatter and extinction.
void klett_fernald_monte_carlo(const KlettInputs& in, const NoiseModel& noise,
                               const MonteCarloSettings& settings, double* backscatter_sd,
                               double* extinction_sd, unsigned threads);

// Which Raman products to redo in each realisation.  With `extinction`, the extinction is
// retrieved from each noisy Raman signal (and used for the backscatter); without it, the
// backscatter uses the extinction of `in` as given.
struct RamanProducts {
    bool extinction = true;
    bool backscatter = true;
};

// Spreads of the Raman extinction, backscatter and lidar ratio (outputs for products not
// asked for may be null; the lidar ratio needs both); failed[p * gates + g] (when not null) is the number of realisations in which a wanted
// product is not finite at that gate.
void raman_monte_carlo(const RamanInputs& in, const NoiseModel& elastic_noise,
                       const NoiseModel& raman_noise, const MonteCarloSettings& settings,
                       RamanProducts products, double* extinction_sd, double* backscatter_sd,
                       double* lidar_ratio_sd, double* failed, unsigned threads);

}  // namespace aerolume
