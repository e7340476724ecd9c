// e^x for the small arguments of a walk along a profile (the pressure between two close
// levels, the transmission a few gates beyond the last exact one): its Taylor series, to
// x^5 / 5! where |x| < 1/1024 and to x^8 / 8! where |x| < 1/32 (remainders under 1e-19 of
// the result), and std::exp elsewhere.  Plain arithmetic, so the same on every thread and every call.
#pragma once

#include <cmath>

namespace aerolume {

inline constexpr double small_exp_limit = 1.0 / 32.0;

inline double small_exp(double x) {
    const double size = std::fabs(x);
    if (size < 1.0 / 1024)  // to x^5 / 5!: remainder under 2e-21
        return 1.0 + x * (1.0 + x * (1.0 / 2 + x * (1.0 / 6 + x * (1.0 / 24 + x * (1.0 / 120)))));
    if (size < small_exp_limit)
        return 1.0 + x * (1.0 + x * (1.0 / 2 + x * (1.0 / 6 + x * (1.0 / 24 + x * (1.0 / 120 +
               x * (1.0 / 720 + x * (1.0 / 5040 + x * (1.0 / 40320))))))));
    return std::exp(x);
}

}  // namespace aerolume
