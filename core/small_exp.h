// e^x for the small arguments of a walk along a profile (the pressure between two close
// levels, the transmission a few gates beyond the last exact one): its Taylor series to
// x^8 / 8! where |x| < 1/32, whose remainder is under 1e-19 of the result, and std::exp
// elsewhere.  Plain arithmetic, so the same on every thread and every call.
#pragma once

#include <cmath>

namespace aerolume {

inline constexpr double small_exp_limit = 1.0 / 32.0;

inline double small_exp(double x) {
    if (!(std::fabs(x) < small_exp_limit)) return std::exp(x);
    return 1.0 + x * (1.0 + x * (1.0 / 2 + x * (1.0 / 6 + x * (1.0 / 24 + x * (1.0 / 120 +
           x * (1.0 / 720 + x * (1.0 / 5040 + x * (1.0 / 40320))))))));
}

}  // namespace aerolume
