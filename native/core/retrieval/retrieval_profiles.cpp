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

void parabolic_weights(const double* r, std::size_t n, double* weights) {
    for (std::size_t i = 0; i + 1 < n; ++i) {
        double* w = weights + 4 * i;
        const double h = r[i + 1] - r[i];
        w[0] = w[1] = w[2] = w[3] = 0.0;
        if (n < 3) {
            w[1] = w[2] = 0.5 * h;
            continue;
        }
        double count = 0.0;
        if (i + 2 < n) {  // the parabola through i, i + 1, i + 2
            const double b = r[i + 2] - r[i + 1];
            w[1] += h * (2.0 * h + 3.0 * b) / (6.0 * (h + b));
            w[2] += h * (h + 3.0 * b) / (6.0 * b);
            w[3] -= h * h * h / (6.0 * b * (h + b));
            count += 1.0;
        }
        if (i >= 1) {  // the parabola through i - 1, i, i + 1
            const double b = r[i] - r[i - 1];
            w[0] -= h * h * h / (6.0 * b * (h + b));
            w[1] += h * (h + 3.0 * b) / (6.0 * b);
            w[2] += h * (2.0 * h + 3.0 * b) / (6.0 * (h + b));
            count += 1.0;
        }
        for (int k = 0; k < 4; ++k) w[k] /= count;
    }
}

namespace {
double parabolic_step(const double* f, const double* weights, std::size_t n, std::size_t i) {
    const double* w = weights + 4 * i;
    double step = w[1] * f[i] + w[2] * f[i + 1];
    if (i >= 1) step += w[0] * f[i - 1];
    if (i + 2 < n) step += w[3] * f[i + 2];
    return step;
}

// parabolic_step() of an interval with all four neighbours (1 <= i < n - 2), without the
// end tests: the same operations in the same order.
double interior_step(const double* f, const double* weights, std::size_t i) {
    const double* w = weights + 4 * i;
    double step = w[1] * f[i] + w[2] * f[i + 1];
    step += w[0] * f[i - 1];
    step += w[3] * f[i + 2];
    return step;
}
}  // namespace

void cumulative_parabolic(const double* f, const double* weights, std::size_t n, double* out) {
    if (n == 0) return;
    out[0] = 0.0;
    double sum = 0.0;
    std::size_t i = 0;
    for (; i + 1 < n && i < 1; ++i) {
        sum += parabolic_step(f, weights, n, i);
        out[i + 1] = sum;
    }
    for (; i + 2 < n; ++i) {
        sum += interior_step(f, weights, i);
        out[i + 1] = sum;
    }
    for (; i + 1 < n; ++i) {
        sum += parabolic_step(f, weights, n, i);
        out[i + 1] = sum;
    }
}

void cumulative_parabolic_from(const double* f, const double* weights, std::size_t n,
                               std::size_t origin, double* out) {
    if (n == 0) return;
    // Intervals with all four neighbours (1 <= i < n - 2) go without the end tests.
    auto interior = [&](std::size_t i) { return interior_step(f, weights, i); };
    out[origin] = 0.0;
    double sum = 0.0;
    std::size_t i = origin;
    for (; i + 1 < n && i < 1; ++i) {
        sum += parabolic_step(f, weights, n, i);
        out[i + 1] = sum;
    }
    for (; i + 2 < n; ++i) {
        sum += interior(i);
        out[i + 1] = sum;
    }
    for (; i + 1 < n; ++i) {
        sum += parabolic_step(f, weights, n, i);
        out[i + 1] = sum;
    }
    sum = 0.0;
    i = origin;
    while (i > 0 && i + 1 >= n) {  // interval i - 1 has no right neighbour
        --i;
        sum -= parabolic_step(f, weights, n, i);
        out[i] = sum;
    }
    while (i > 1) {
        --i;
        sum -= interior(i);
        out[i] = sum;
    }
    while (i > 0) {
        --i;
        sum -= parabolic_step(f, weights, n, i);
        out[i] = sum;
    }
}

}  // namespace aerolume
