#include "raman.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "parallel.h"

namespace aerolume {

namespace {
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
}

void raman_extinction_profile(const RamanExtinctionProfile& in, double* extinction,
                              double* error, double* work) {
    const std::size_t n = in.gates;
    const double* r = in.range;
    double* y = work;
    for (std::size_t i = 0; i < n; ++i) {
        const double p = in.raman_signal[i];
        y[i] = p > 0.0 ? std::log(in.number_density[i] / (p * r[i] * r[i])) : nan;
    }
    const double scale = 1.0 + std::pow(in.wavelength_ratio, in.angstrom);
    for (std::size_t i = 0; i < n; ++i) {
        const double h = in.half_width[i];
        extinction[i] = nan;
        if (error) error[i] = nan;
        if (!(h >= 1.0) || h > static_cast<double>(i) || static_cast<double>(i) + h >= static_cast<double>(n))
            continue;
        const std::size_t a = i - static_cast<std::size_t>(h), b = i + static_cast<std::size_t>(h);
        const double count = static_cast<double>(b - a + 1);
        // Centred on the window's mean range, so the sums stay well conditioned.
        double mean_r = 0.0;
        for (std::size_t j = a; j <= b; ++j) mean_r += r[j] - r[i];
        mean_r /= count;
        double sxx = 0.0, sxy = 0.0;
        for (std::size_t j = a; j <= b; ++j) {
            const double x = r[j] - r[i] - mean_r;
            sxx += x * x;
            sxy += x * y[j];
        }
        const double slope = sxy / sxx;
        if (!std::isfinite(slope)) continue;
        extinction[i] = (slope - in.alpha_m[i] - in.alpha_m_raman[i]) / scale;
        if (error && in.raman_noise) {
            double variance = 0.0;
            for (std::size_t j = a; j <= b; ++j) {
                const double x = r[j] - r[i] - mean_r;
                const double relative = in.raman_noise[j] / in.raman_signal[j];
                variance += x * x * relative * relative;
            }
            error[i] = std::sqrt(variance) / sxx / scale;
        }
    }
}

void raman_backscatter_profile(const RamanBackscatterProfile& in, double* backscatter,
                               double* work) {
    const std::size_t n = in.gates;
    const double* r = in.range;
    double* difference = work;
    double* integral = work + n;
    double* ratio = work + 2 * n;
    double* weights = work + 3 * n;  // 4 (n - 1)
    const double shift = std::pow(in.wavelength_ratio, in.angstrom);

    // The aerosol extinction with its gaps filled by the nearest retrieved value.
    std::size_t first = n;
    if (in.extinction)
        for (std::size_t i = 0; i < n; ++i)
            if (std::isfinite(in.extinction[i])) {
                first = i;
                break;
            }
    double held = first < n ? in.extinction[first] : 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        double alpha_a = 0.0;
        if (first < n) {
            if (i >= first && std::isfinite(in.extinction[i])) held = in.extinction[i];
            alpha_a = held;
        }
        difference[i] = (in.alpha_m[i] + alpha_a) - (in.alpha_m_raman[i] + alpha_a * shift);
    }
    parabolic_weights(r, n, weights);
    cumulative_parabolic(difference, weights, n, integral);
    const auto begin = static_cast<std::size_t>(in.reference_begin);
    const auto end = static_cast<std::size_t>(in.reference_end);
    const std::size_t c = (begin + end - 1) / 2;
    const double integral_c = integral[c];
    // ratio = P_0 N exp(...), divided by P_R below.  K matches R_c beta_m P_R to it over the
    // reference interval as a ratio of sums, so no noisy P_R is ever a divisor there.
    for (std::size_t i = 0; i < n; ++i)
        ratio[i] = in.elastic_signal[i] * in.number_density[i] * std::exp(integral[i] - integral_c);
    double molecular = 0.0, measured = 0.0;
    for (std::size_t i = begin; i < end; ++i) {
        molecular += in.reference_value * in.beta_m[i] * in.raman_signal[i];
        measured += ratio[i];
    }
    const double k = molecular / measured;
    for (std::size_t i = 0; i < n; ++i) ratio[i] /= in.raman_signal[i];
    for (std::size_t i = 0; i < n; ++i) {
        const double total = k * ratio[i];
        backscatter[i] = std::isfinite(total) ? total - in.beta_m[i] : nan;
    }
}

RamanExtinctionProfile RamanInputs::extinction_profile(std::size_t p) const {
    const std::size_t f = first_gate(p);
    return {raman_signal.row(p) + f, range.row(p) + f,     number_density.row(p) + f,
            alpha_m.row(p) + f,      alpha_m_raman.row(p) + f, half_width.row(p) + f,
            gates - f,               wavelength_ratio, angstrom[p],
            raman_noise.empty() ? nullptr : raman_noise.row(p) + f};
}

RamanBackscatterProfile RamanInputs::backscatter_profile(std::size_t p) const {
    const std::size_t f = first_gate(p);
    const auto shift = static_cast<std::int64_t>(f);
    return {elastic_signal.row(p) + f,
            raman_signal.row(p) + f,
            range.row(p) + f,
            beta_m.row(p) + f,
            number_density.row(p) + f,
            alpha_m.row(p) + f,
            alpha_m_raman.row(p) + f,
            extinction.empty() ? nullptr : extinction.row(p) + f,
            gates - f,
            wavelength_ratio,
            angstrom[p],
            reference.at(p)[0] - shift,
            reference.at(p)[1] - shift,
            reference_value[p]};
}

void raman_extinction(const RamanInputs& in, double* extinction, double* error,
                      unsigned threads) {
    const std::size_t n = in.gates;
    parallel_for(in.profiles, threads, [&](std::size_t begin, std::size_t end) {
        std::vector<double> work(raman_extinction_work * n);
        for (std::size_t p = begin; p < end; ++p, check_cancel()) {
            const std::size_t f = in.first_gate(p);
            double* e = extinction + p * n;
            double* s = error ? error + p * n : nullptr;
            std::fill(e, e + f, nan);
            if (s) std::fill(s, s + f, nan);
            raman_extinction_profile(in.extinction_profile(p), e + f, s ? s + f : nullptr,
                                     work.data());
        }
    });
}

void raman_backscatter(const RamanInputs& in, double* backscatter, unsigned threads) {
    const std::size_t n = in.gates;
    parallel_for(in.profiles, threads, [&](std::size_t begin, std::size_t end) {
        std::vector<double> work(7 * n);
        for (std::size_t p = begin; p < end; ++p, check_cancel()) {
            const std::size_t f = in.first_gate(p);
            double* b = backscatter + p * n;
            std::fill(b, b + f, nan);
            raman_backscatter_profile(in.backscatter_profile(p), b + f, work.data());
        }
    });
}

}  // namespace aerolume
