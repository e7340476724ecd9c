#include "klett.h"

#include <cmath>
#include <limits>
#include <vector>

#include "parallel.h"

namespace aerolume {

namespace {
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
}

void klett_fernald_profile(const KlettProfile& in, double* backscatter, double* extinction,
                           double* work) {
    const std::size_t n = in.gates;
    if (n == 0) return;
    const double* r = in.range;
    const double ds = in.lidar_ratio_offset;
    double* exponent = work;      // ∫ (S_a beta_m - alpha_m) from the first gate
    double* z = work + n;         // Z, then S_a Z
    double* integral = work + 2 * n;  // ∫ S_a Z from the first gate

    std::size_t c;  // the reference gate
    if (in.forward) {
        c = 0;
    } else {
        c = static_cast<std::size_t>(in.reference_begin + (in.reference_end - 1)) / 2;
    }

    for (std::size_t i = 0; i < n; ++i)
        backscatter[i] = (in.lidar_ratio[i] + ds) * in.beta_m[i] - in.alpha_m[i];
    cumulative_parabolic(backscatter, r, n, exponent);
    const double exponent_c = exponent[c];
    for (std::size_t i = 0; i < n; ++i) {
        z[i] = in.signal[i] * r[i] * r[i] * std::exp(-2.0 * (exponent[i] - exponent_c));
        backscatter[i] = (in.lidar_ratio[i] + ds) * z[i];
    }
    cumulative_parabolic(backscatter, r, n, integral);
    const double integral_c = integral[c];
    for (std::size_t i = 0; i < n; ++i) integral[i] -= integral_c;

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
            const double next = in.calibration * std::exp(-2.0 * (in.alpha_m[0] + alpha_a) * r[0]);
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
    for (std::size_t i = 0; i < n; ++i) {
        const double denominator = k - 2.0 * integral[i];
        if (i >= last || !(denominator > 0.0)) {
            backscatter[i] = extinction[i] = nan;
            continue;
        }
        backscatter[i] = z[i] / denominator - in.beta_m[i];
        extinction[i] = (in.lidar_ratio[i] + ds) * backscatter[i];
    }
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
                   unsigned threads) {
    const std::size_t n = in.gates;
    parallel_for(in.profiles, threads, [&](std::size_t begin, std::size_t end) {
        std::vector<double> work(3 * n);
        for (std::size_t p = begin; p < end; ++p)
            klett_fernald_profile(in.profile(p), backscatter + p * n, extinction + p * n,
                                  work.data());
    });
}

}  // namespace aerolume
