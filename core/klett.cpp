#include "klett.h"

#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "parallel.h"

namespace aerolume {

namespace {
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
}

KlettGrid::KlettGrid(const KlettProfile& in) {
    const std::size_t n = in.gates;
    weights.resize(n > 1 ? 4 * (n - 1) : 0);
    exponent.resize(n);
    factor.resize(n);
    molecular.resize(n);
    parabolic_weights(in.range, n, weights.data());
    for (std::size_t i = 0; i < n; ++i) factor[i] = in.lidar_ratio[i] * in.beta_m[i] - in.alpha_m[i];
    cumulative_parabolic(factor.data(), weights.data(), n, exponent.data());
    for (std::size_t i = 0; i < n; ++i) factor[i] = std::exp(-2.0 * exponent[i]);
    cumulative_parabolic(in.beta_m, weights.data(), n, molecular.data());
}

std::size_t klett_fernald_profile(const KlettProfile& in, const KlettGrid& grid,
                                  double* backscatter, double* extinction, double* work) {
    const std::size_t n = in.gates;
    if (n == 0) return 0;
    const double* r = in.range;
    const double ds = in.lidar_ratio_offset;
    double* z = work;                 // Z
    double* integral = work + n;      // ∫ S_a Z from r_c
    double* scratch = work + 2 * n;   // S_a Z

    const std::size_t c =
        in.forward ? 0 : static_cast<std::size_t>(in.reference_begin + (in.reference_end - 1)) / 2;

    // Z = X exp(-2 (E - E_c)), E including the offset's ds ∫ beta_m when there is one.
    if (ds == 0.0) {
        const double shift = std::exp(2.0 * grid.exponent[c]);
        for (std::size_t i = 0; i < n; ++i)
            z[i] = in.signal[i] * r[i] * r[i] * (grid.factor[i] * shift);
    } else {
        const double shift = std::exp(2.0 * (grid.exponent[c] + ds * grid.molecular[c]));
        for (std::size_t i = 0; i < n; ++i)
            z[i] = in.signal[i] * r[i] * r[i] *
                   (grid.factor[i] * std::exp(-2.0 * ds * grid.molecular[i]) * shift);
    }
    for (std::size_t i = 0; i < n; ++i) scratch[i] = (in.lidar_ratio[i] + ds) * z[i];
    cumulative_parabolic_from(scratch, grid.weights.data(), n, c, integral);

    double k;
    std::size_t last = n;  // gates from `last` on are not retrieved
    if (in.forward) {
        // K = C T^2(r_0), the extinction below the first gate taken as the first gate's:
        // B(r_0) = Z(r_0) / K and K depend on each other; iterate to the fixed point (a
        // contraction while 2 r_0 S_a B(r_0) < 1, which any sensible first gate meets).
        const double s0 = in.lidar_ratio[0] + ds;
        k = in.calibration * std::exp(-2.0 * in.alpha_m[0] * r[0]);
        bool converged = false;
        for (int iteration = 0; iteration < 100 && !converged; ++iteration) {
            const double alpha_a = s0 * (z[0] / k - in.beta_m[0]);
            const double next =
                in.calibration * std::exp(-2.0 * (in.alpha_m[0] + alpha_a) * r[0]);
            converged = std::fabs(next - k) <= 1e-15 * std::fabs(k);
            k = next;
        }
        if (!converged) k = nan;
    } else {
        const auto begin = static_cast<std::size_t>(in.reference_begin);
        const auto end = static_cast<std::size_t>(in.reference_end);
        double sum = 0.0;
        for (std::size_t i = begin; i < end; ++i)
            sum += z[i] / (in.reference_value * in.beta_m[i]) + 2.0 * integral[i];
        k = sum / static_cast<double>(end - begin);
        last = end;
    }
    std::size_t failures = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double denominator = k - 2.0 * integral[i];
        if (i >= last || !(denominator > 0.0)) {
            backscatter[i] = extinction[i] = nan;
            failures += i < last && denominator == denominator;  // gaps (NaN) aside
            continue;
        }
        backscatter[i] = z[i] / denominator - in.beta_m[i];
        extinction[i] = (in.lidar_ratio[i] + ds) * backscatter[i];
    }
    return failures;
}

KlettProfile KlettInputs::profile(std::size_t p) const {
    KlettProfile in{signal.row(p), range.row(p), beta_m.row(p), alpha_m.row(p),
                    lidar_ratio.row(p), gates};
    in.forward = forward;
    if (forward) {
        in.calibration = calibration[p];
    } else {
        in.reference_begin = reference.at(p)[0];
        in.reference_end = reference.at(p)[1];
        in.reference_value = reference_value[p];
    }
    return in;
}

void klett_fernald(const KlettInputs& in, double* backscatter, double* extinction,
                   std::size_t* failures, unsigned threads) {
    const std::size_t n = in.gates;
    if (in.profiles == 0 || n == 0) return;
    std::optional<KlettGrid> shared;
    if (in.shared_grid()) shared.emplace(in.profile(0));
    parallel_for(in.profiles, threads, [&](std::size_t begin, std::size_t end) {
        std::vector<double> work(3 * n);
        for (std::size_t p = begin; p < end; ++p) {
            const KlettProfile profile = in.profile(p);
            std::optional<KlettGrid> own;
            if (!shared) own.emplace(profile);
            failures[p] = klett_fernald_profile(profile, shared ? *shared : *own,
                                                backscatter + p * n, extinction + p * n,
                                                work.data());
        }
    });
}

}  // namespace aerolume
