#include "retrieval_profiles.h"

namespace aerolume {

void cumulative_trapezoid(const double* f, const double* r, std::size_t n, double* out) {
    if (n == 0) return;
    double sum = 0.0;
    out[0] = 0.0;
    for (std::size_t i = 1; i < n; ++i) {
        sum += 0.5 * (f[i - 1] + f[i]) * (r[i] - r[i - 1]);
        out[i] = sum;
    }
}

}  // namespace aerolume
