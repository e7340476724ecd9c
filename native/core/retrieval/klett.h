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
// Offset (backward only, `fit_offset`): a residual background b left in the signal (the
// background taken from gates that still hold some molecular signal, a baseline drift) is
// fitted over the reference interval (or a longer interval of clean air the caller gives,
// [offset_begin, offset_end), which separates b from a far better) together with the
// scale a, P(r) = a q(r) + b with
// q = beta_m exp(-2 ∫ alpha_m) / r^2 the attenuated molecular shape (least squares, equal
// weights), and b is removed from the whole profile before the inversion.  The aerosol
// transmission is taken as constant over the interval, as the reference itself assumes.
//
// Forward: r_c is the first gate and K = C T^2(r_0) from a system constant C, the two-way
// transmission to the first gate taken with the first gate's molecular and aerosol
// extinction all the way down (K and B(r_0) found together by fixed-point iteration).
//
// Where the denominator is not positive the solution does not exist: NaN.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

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
    bool fit_offset = false;
    std::int64_t offset_begin = 0, offset_end = 0;  // empty: the reference interval
    double calibration = 0.0;
};

// What depends on the range grid, the molecular atmosphere and the lidar ratio alone, and
// so is computed once for all profiles that share them.
struct KlettGrid {
    std::vector<double> weights;    // the parabolic rule's, 4 per interval
    std::vector<double> exponent;   // E = ∫ (S_a beta_m - alpha_m) from the first gate
    std::vector<double> factor;     // r^2 exp(-2 E)
    std::vector<double> molecular;  // ∫ beta_m from the first gate

    KlettGrid() = default;
    explicit KlettGrid(const KlettProfile& in);
};

struct OffsetShape;

// Aerosol backscatter (m^-1 sr^-1) and extinction (m^-1) of one profile; `grid` must be
// that of `in` (lidar_ratio_offset apart); `work` holds 3 * gates doubles.  Returns the
// number of gates that should have been retrieved but have no solution (NaN), gaps in the
// signal (NaN, spoiling the gates beyond them as seen from r_c) aside.  With `fit_offset`,
// the fitted offset b (signal units; 0 where the interval cannot separate it from the
// scale, NaN where the interval holds a gap) goes to *offset when it is not null; `shape`
// (when not null) is the OffsetShape of `in`'s offset interval, computed once.
std::size_t klett_fernald_profile(const KlettProfile& in, const KlettGrid& grid,
                                  double* backscatter, double* extinction, double* work,
                                  double* offset = nullptr,
                                  const OffsetShape* shape = nullptr);

// The offset b of P = a q + b over the gates [begin, end) (see above).
double reference_offset(const KlettProfile& in, std::size_t begin, std::size_t end);

// What the offset fit over [begin, end) needs of the molecular shape q alone: the same for
// every realisation of a Monte Carlo, so computed once per profile.  fit(signal) gives
// exactly reference_offset() of that signal.
struct OffsetShape {
    std::size_t begin = 0, end = 0;
    std::vector<double> dq;  // q - q(begin) at each gate of the interval
    double sq = 0.0, qq = 0.0, q_mean = 0.0;
    bool separable = false;  // false: the fit gives 0 (too few gates, q nearly constant)

    OffsetShape() = default;
    OffsetShape(const KlettProfile& in, std::size_t begin, std::size_t end);
    double fit(const double* signal) const;
};

// The offset interval [begin, end) of a profile: its own, else the reference interval.
std::pair<std::size_t, std::size_t> offset_interval(const KlettProfile& in);

struct KlettInputs {
    std::size_t profiles = 0, gates = 0;
    Rows signal, range, beta_m, alpha_m, lidar_ratio;
    bool forward = false;
    PerProfile<std::int64_t> reference;  // begin, end per profile
    PerProfile<double> reference_value;
    bool fit_offset = false;
    PerProfile<std::int64_t> offset_interval;  // begin, end per profile; empty: the reference
    PerProfile<double> calibration;
    // The first gate of each profile (empty: 0): profile p is retrieved on the gates
    // [first, gates) as if they were the whole profile (its grid, integrals and intervals
    // start there; the intervals above are on the whole profile's gates) and the gates
    // below are NaN.
    PerProfile<std::int64_t> first;

    std::size_t first_gate(std::size_t p) const {
        return first.data ? static_cast<std::size_t>(first[p]) : 0;
    }
    // Profile p from its first gate on.
    KlettProfile profile(std::size_t p) const;
    // Whether every profile has the same grid (from the same first gate).
    bool shared_grid() const {
        return range.stride == 0 && beta_m.stride == 0 && alpha_m.stride == 0 &&
               lidar_ratio.stride == 0;
    }
};

// Every profile, on up to `threads` threads (0: all cores); failures[p] is profile p's
// count of gates without a solution, offsets[p] (when not null) its fitted offset.
void klett_fernald(const KlettInputs& in, double* backscatter, double* extinction,
                   std::size_t* failures, double* offsets, unsigned threads);

// The grids of a call's profiles: one per distinct first gate when the profiles share
// their inputs (up to `limit` of them; the others make their own), none otherwise.
class KlettGrids {
public:
    explicit KlettGrids(const KlettInputs& in, std::size_t limit = 32);
    // The shared grid of profile p, or null when it needs its own.
    const KlettGrid* find(std::size_t p) const;

private:
    const KlettInputs* in_;
    std::vector<std::int64_t> firsts_;
    std::vector<KlettGrid> grids_;
};

}  // namespace aerolume
