// Monte Carlo uncertainties of the retrievals.
//
// Each realisation redraws the signals' noise (Poisson or Gaussian, see NoiseModel) and the
// systematic parameters the caller gives an uncertainty for (one normal draw per profile and
// realisation: the aerosol lidar ratio shifted by sd_S g, the reference backscatter ratio by
// sd_R g, the Angstrom exponent by sd_k g), then runs the retrieval again.  The result is
// the standard deviation over the realisations of each product at each gate (NaN where any
// realisation fails there, e.g. a non-positive Raman signal).
//
// Realisation j of profile p draws from the stream (seed, p, j + 1) alone, and the spread at
// a gate is summed over realisations in their order, so the results are the same whatever
// the thread count and however the profiles are grouped.
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

// Standard deviations of the Raman extinction, backscatter and lidar ratio (outputs for
// products not asked for may be null; the lidar ratio needs both).
void raman_monte_carlo(const RamanInputs& in, const NoiseModel& elastic_noise,
                       const NoiseModel& raman_noise, const MonteCarloSettings& settings,
                       RamanProducts products, double* extinction_sd, double* backscatter_sd,
                       double* lidar_ratio_sd, unsigned threads);

}  // namespace aerolume
