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

void cumulative_parabolic(const double* f, const double* r, std::size_t n, double* out) {
    if (n < 3) {
        cumulative_trapezoid(f, r, n, out);
        return;
    }
    double sum = 0.0;
    out[0] = 0.0;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const double h = r[i + 1] - r[i];
        double estimate = 0.0, count = 0.0;
        if (i + 2 < n) {  // the parabola through i, i + 1, i + 2
            const double b = r[i + 2] - r[i + 1];
            estimate += h * (2.0 * h + 3.0 * b) / (6.0 * (h + b)) * f[i] +
                        h * (h + 3.0 * b) / (6.0 * b) * f[i + 1] -
                        h * h * h / (6.0 * b * (h + b)) * f[i + 2];
            count += 1.0;
        }
        if (i >= 1) {  // the parabola through i - 1, i, i + 1
            const double b = r[i] - r[i - 1];
            estimate += -h * h * h / (6.0 * b * (h + b)) * f[i - 1] +
                        h * (h + 3.0 * b) / (6.0 * b) * f[i] +
                        h * (2.0 * h + 3.0 * b) / (6.0 * (h + b)) * f[i + 1];
            count += 1.0;
        }
        sum += estimate / count;
        out[i + 1] = sum;
    }
}

}  // namespace aerolume
