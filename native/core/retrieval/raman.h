// Aerosol extinction and backscatter from a nitrogen Raman channel (Ansmann et al. 1990,
// 1992).
//
// Extinction at the emitted wavelength l0, with lR the Raman wavelength, N the molecular
// number density and k the aerosol Angstrom exponent:
//
//   alpha_a(l0) = [ d/dr ln(N / (P_R r^2)) - alpha_m(l0) - alpha_m(lR) ] / (1 + (l0/lR)^k)
//
// the derivative being the slope of a least-squares straight line through the gates of a
// window centred on each gate (half-width per gate; NaN where the window leaves the profile
// or holds a non-positive signal), from running sums in O(1) per gate.
//
// Backscatter from the ratio of the elastic and Raman signals, S = P_0 N / P_R:
//
//   beta_a(r) + beta_m(r) = K S(r) exp(∫_{r_c}^{r} (alpha(l0) - alpha(lR)) dr')
//
// with alpha = alpha_m + alpha_a, alpha_a(lR) = alpha_a(l0) (l0/lR)^k, and K set by a
// reference interval [begin, end) of backscatter ratio R_c:
// K = Σ R_c beta_m P_R / Σ P_0 N exp(...) over the interval (r_c its middle gate), sums of
// the signals themselves so that a noisy Raman signal in the interval is never a divisor.  Gaps in the aerosol extinction (NaN, e.g. at the
// ends the derivative window cannot reach) take the nearest retrieved value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "retrieval_profiles.h"

namespace aerolume {

// What the extinction's fit on a range grid holds for every signal on that grid: per gate
// the window's mean range offset from its anchor and its sum of squared range deviations
// (`geometry`, 2 per gate, NaN where the window leaves the profile), and the steps that
// slide the window sums from gate to gate (`steps`: a gate entering or leaving the sums,
// the sums renewed about a gate (the next step holding the window's first and last gate
// in place of kind and gate), or a gate's fit).
struct RamanFitPlan {
    struct Step {
        enum : std::uint32_t { enter, leave, reset, fit };
        std::uint32_t kind, gate;
    };
    std::vector<double> geometry;
    std::vector<Step> steps;
};

// The plan of the fit with windows of half_width[i] gates either side on `range`.
void plan_raman_fit(const double* range, const double* half_width, std::size_t gates,
                    RamanFitPlan& plan);

struct RamanExtinctionProfile {
    const double* raman_signal;  // P_R(r)
    const double* range;         // m
    const double* number_density;
    const double* alpha_m;        // at the emitted wavelength
    const double* alpha_m_raman;  // at the Raman wavelength
    const double* half_width;     // gates either side, per gate
    std::size_t gates;
    double wavelength_ratio;  // l0 / lR
    double angstrom;
    const double* raman_noise = nullptr;  // standard deviation of P_R, for the analytic error
    // The fit's plan for this profile's grid (plan_raman_fit), when the caller has one (a
    // Monte Carlo's realisations share it); used without the error, the same results.
    const RamanFitPlan* plan = nullptr;
};

// Doubles per gate of the extinction's `work`.
inline constexpr std::size_t raman_extinction_work = 3;

// Aerosol extinction (m^-1); with `raman_noise`, also its statistical standard deviation
// propagated analytically through the fit (`error`, may be null otherwise).  `work` holds
// raman_extinction_work x gates doubles.
void raman_extinction_profile(const RamanExtinctionProfile& in, double* extinction,
                              double* error, double* work);

struct RamanBackscatterProfile {
    const double* elastic_signal;  // P_0(r)
    const double* raman_signal;    // P_R(r)
    const double* range;
    const double* beta_m;  // at the emitted wavelength
    const double* number_density;
    const double* alpha_m;
    const double* alpha_m_raman;
    const double* extinction;  // aerosol extinction at l0, or null for none
    std::size_t gates;
    double wavelength_ratio;
    double angstrom;
    std::int64_t reference_begin, reference_end;
    double reference_value;
    // The parabolic rule's weights of the range grid (4 (gates - 1)), when the caller has
    // them (a Monte Carlo's realisations share them); null: computed here.
    const double* weights = nullptr;
};

// Aerosol backscatter (m^-1 sr^-1); `work` holds 7 * gates doubles.
void raman_backscatter_profile(const RamanBackscatterProfile& in, double* backscatter,
                               double* work);

struct RamanInputs {
    std::size_t profiles = 0, gates = 0;
    Rows elastic_signal, raman_signal, range, beta_m, number_density, alpha_m, alpha_m_raman,
        extinction, half_width, raman_noise;
    double wavelength_ratio = 1.0;
    PerProfile<double> angstrom;
    PerProfile<std::int64_t> reference;  // on the whole profile's gates
    PerProfile<double> reference_value;
    // The first gate of each profile (empty: 0): profile p is retrieved on the gates
    // [first, gates) as if they were the whole profile, the gates below being NaN.
    PerProfile<std::int64_t> first;
    // Per profile, whether it has a reference interval (null: all have); the Monte Carlo
    // redoes only the extinction of the others (as without `reference`).
    const std::uint8_t* referenced = nullptr;

    std::size_t first_gate(std::size_t p) const {
        return first.data ? static_cast<std::size_t>(first[p]) : 0;
    }
    bool has_reference(std::size_t p) const {
        return reference.data != nullptr && (!referenced || referenced[p]);
    }
    // Profile p from its first gate on.
    RamanExtinctionProfile extinction_profile(std::size_t p) const;
    RamanBackscatterProfile backscatter_profile(std::size_t p) const;
};

// Every profile (the gates below each profile's first gate NaN).
void raman_extinction(const RamanInputs& in, double* extinction, double* error,
                      unsigned threads);
void raman_backscatter(const RamanInputs& in, double* backscatter, unsigned threads);

// The lidar ratio of `size` gates: extinction / backscatter where the backscatter is above
// `min_backscatter`, NaN elsewhere (a NaN backscatter included).
void lidar_ratio(const double* extinction, const double* backscatter, std::size_t size,
                 double min_backscatter, double* ratio, unsigned threads);

}  // namespace aerolume
