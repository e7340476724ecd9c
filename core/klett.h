// The elastic-backscatter inversion of Fernald (1984).
//
// With X(r) = P(r) r^2 the range-corrected signal, S_a the aerosol lidar ratio (per gate),
// beta_m and alpha_m the molecular backscatter and extinction and r_c a reference gate:
//
//   Z(r)  = X(r) exp(-2 ∫_{r_c}^{r} (S_a beta_m - alpha_m) dr')
//   B(r)  = Z(r) / (K - 2 ∫_{r_c}^{r} S_a Z dr'),      B = beta_a + beta_m,
//
// where K = Z(r_c) / B(r_c).  Both integrals use the parabolic rule on the range grid
// (cumulative_parabolic: third order or better, linear in the signal so noise is not biased).
//
// Backward: K comes from a reference interval of gates [begin, end) where the backscatter
// ratio B / beta_m is known (R_c, 1 for clean air).  Every gate of the interval gives an
// estimate of K through the solution itself, K = Z(r) / (R_c beta_m(r)) + 2 ∫_{r_c}^{r} S_a Z,
// and their mean is used (r_c is the interval's middle gate), so noise in the interval is
// averaged rather than taken from one gate.  Gates beyond the interval are not retrieved
// (NaN): integrating away from the instrument is unstable.
//
// Forward: r_c is the first gate and K = C T^2(r_0) from a system constant C, the two-way
// transmission to the first gate taken with the first gate's molecular and aerosol
// extinction all the way down (K and B(r_0) found together by fixed-point iteration).
//
// Where the denominator is not positive the solution does not exist: NaN.
#pragma once

#include <cstddef>
#include <cstdint>

#include "retrieval_profiles.h"

namespace aerolume {

// One profile's inputs.
struct KlettProfile {
    const double* signal;       // P(r), background removed, not range-corrected
    const double* range;        // m
    const double* beta_m;       // m^-1 sr^-1
    const double* alpha_m;      // m^-1
    const double* lidar_ratio;  // S_a, sr
    std::size_t gates;
    double lidar_ratio_offset = 0.0;  // added to every S_a (the Monte Carlo draws it)
    // Backward: the reference interval [begin, end) and R_c; forward: calibration C.
    bool forward = false;
    std::int64_t reference_begin = 0, reference_end = 0;
    double reference_value = 1.0;
    double calibration = 0.0;
};

// Aerosol backscatter (m^-1 sr^-1) and extinction (m^-1) of one profile; `work` holds
// 3 * gates doubles.
void klett_fernald_profile(const KlettProfile& in, double* backscatter, double* extinction,
                           double* work);

struct KlettInputs {
    std::size_t profiles = 0, gates = 0;
    Rows signal, range, beta_m, alpha_m, lidar_ratio;
    bool forward = false;
    PerProfile<std::int64_t> reference;  // begin, end per profile
    PerProfile<double> reference_value;
    PerProfile<double> calibration;

    KlettProfile profile(std::size_t p) const;
};

// Every profile, on up to `threads` threads (0: all cores).
void klett_fernald(const KlettInputs& in, double* backscatter, double* extinction,
                   unsigned threads);

}  // namespace aerolume
