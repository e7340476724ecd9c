// The lidar equation, forward: signals from known atmospheres, for tests and for planning.
//
//   P(r) = C O(r) r^-2 beta(r) exp(-∫_0^r alpha_2(r') dr')
//
// with beta the backscatter seen by the channel (beta_m + beta_a for the elastic channel,
// the Raman backscatter of nitrogen for a Raman one) and alpha_2 the extinction of the way
// up plus the way back (2 alpha for the elastic channel, alpha(l0) + alpha(lR) for a Raman
// one).  The integral is trapezoidal between gates (the profiles taken as linear between
// them) and alpha_2(r_0) r_0 from the instrument to the first gate.
#pragma once

#include <cstddef>
#include <cstdint>

#include "retrieval_noise.h"
#include "retrieval_profiles.h"

namespace aerolume {

struct ForwardInputs {
    std::size_t profiles = 0, gates = 0;
    Rows range, backscatter, extinction_two_way, overlap;  // overlap may be empty (1)
    PerProfile<double> constant;
};

void lidar_signal(const ForwardInputs& in, double* signal, unsigned threads);

// out = signal with noise drawn from `noise`, profile p from stream (seed, p).
void add_noise(const double* signal, std::size_t profiles, std::size_t gates,
               const NoiseModel& noise, std::uint64_t seed, double* out, unsigned threads);

}  // namespace aerolume
