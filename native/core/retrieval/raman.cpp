#include "raman.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "parallel.h"
#include "vector_math.h"

namespace aerolume {

namespace {
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
}

namespace {

// A sum with Neumaier's compensation: a large term that enters and later leaves (the
// squared relative noise of a gate with almost no signal) takes nothing of the others
// with it.
struct Compensated {
    double sum = 0.0, error = 0.0;
    void add(double x) {
        const double t = sum + x;
        error += std::fabs(sum) >= std::fabs(x) ? (sum - t) + x : (x - t) + sum;
        sum = t;
    }
    double value() const { return sum + error; }
};

// The sums of a window of gates for its straight-line fit, about an anchor (range R and
// value Y near the window) so that they stay small: with d = r - R and u = y - Y,
// s1 = Σ d, s2 = Σ d², t1 = Σ u, t2 = Σ d u and, for the analytic error with the
// squared relative noise q, v0 = Σ q, v1 = Σ d q, v2 = Σ d² q (compensated: q spans many
// orders of magnitude).  Gates whose value (or q) is not finite are counted instead of
// summed: a window holding one has no fit (no error); the q of a gate without a value is
// never summed, since no window holding it is used.  Without `Geometry` the range sums
// s1 and s2 are left alone (the caller has each window's from a RamanFitPlan); without
// `Error`, q is not summed.
template <bool Geometry, bool Error>
struct WindowSums {
    const double* r;
    const double* y;
    const double* q;
    double R = 0.0, Y = 0.0;
    double s1 = 0.0, s2 = 0.0, t1 = 0.0, t2 = 0.0;
    Compensated v0{}, v1{}, v2{};
    std::ptrdiff_t bad_y = 0, bad_q = 0;

    void update(std::size_t j, double sign) {
        const double d = r[j] - R;
        if constexpr (Geometry) {
            s1 += sign * d;
            s2 += sign * (d * d);
        }
        if (!std::isfinite(y[j])) {
            bad_y += sign > 0.0 ? 1 : -1;
            return;
        }
        const double u = y[j] - Y;
        t1 += sign * u;
        t2 += sign * (d * u);
        if constexpr (Error) {
            if (std::isfinite(q[j])) {
                v0.add(sign * q[j]);
                v1.add(sign * (d * q[j]));
                v2.add(sign * (d * d * q[j]));
            } else {
                bad_q += sign > 0.0 ? 1 : -1;
            }
        }
    }
    // The window [a, b] from scratch, about gate `centre`.
    void reset(std::size_t a, std::size_t b, std::size_t centre) {
        R = r[centre];
        Y = 0.0;
        for (std::size_t j = a; j <= b; ++j)
            if (std::isfinite(y[j])) {
                Y = y[j];
                break;
            }
        s1 = s2 = t1 = t2 = 0.0;
        v0 = v1 = v2 = Compensated{};
        bad_y = bad_q = 0;
        for (std::size_t j = a; j <= b; ++j) update(j, 1.0);
    }
};

// The range sums s1 and s2 alone, as WindowSums takes them.
struct RangeSums {
    const double* r;
    double R = 0.0, s1 = 0.0, s2 = 0.0;

    void update(std::size_t j, double sign) {
        const double d = r[j] - R;
        s1 += sign * d;
        s2 += sign * (d * d);
    }
    void reset(std::size_t a, std::size_t b, std::size_t centre) {
        R = r[centre];
        s1 = s2 = 0.0;
        for (std::size_t j = a; j <= b; ++j) update(j, 1.0);
    }
};

// Slides the window [i - h, i + h] of each gate i (h = half_width[i]) through `sums`: gates
// enter and leave the window as it slides (or grows with range), so each gate costs O(1)
// whatever the window's width.  The sums are taken about an anchor gate near the window,
// renewed (the window summed afresh) once the window's centre is more than 2 h + 8 gates
// from it, so that neither the range offset of the profile nor the rounding of the
// updates grows (at most one more update per gate).  Calls gate(i, a, b) with the sums of
// the window [a, b], or skip(i) where the window leaves the profile.  The schedule depends
// on the half widths alone, so every set of sums slid over the same grid sees the same.
template <class Sums, class Gate, class Skip>
void slide_windows(const double* half_width, std::size_t n, Sums& sums, Gate&& gate,
                   Skip&& skip) {
    std::size_t lo = 1, hi = 0;  // the window in the sums (empty)
    std::size_t anchor = 0;      // the gate the sums are taken about
    for (std::size_t i = 0; i < n; ++i) {
        const double h = half_width[i];
        if (!(h >= 1.0) || h > static_cast<double>(i) || static_cast<double>(i) + h >= static_cast<double>(n)) {
            skip(i);
            continue;
        }
        const auto half = static_cast<std::size_t>(h);
        const std::size_t a = i - half, b = i + half;
        if (lo > hi || i - anchor > 2 * half + 8 || a > hi || b < lo) {
            sums.reset(a, b, i);
            lo = a;
            hi = b;
            anchor = i;
        } else {
            while (hi < b) sums.update(++hi, 1.0);
            while (lo > a) sums.update(--lo, 1.0);
            while (lo < a) sums.update(lo++, -1.0);
            while (hi > b) sums.update(hi--, -1.0);
        }
        gate(i, a, b);
    }
}

// The mean range offset and the range's sum of squares about it of a window, from its sums.
struct WindowShape {
    double mean_d, sxx;
};
template <class Sums>
WindowShape window_shape(const Sums& sums, std::size_t a, std::size_t b) {
    const double count = static_cast<double>(b - a + 1);
    const double mean_d = sums.s1 / count;
    return {mean_d, sums.s2 - sums.s1 * mean_d};
}

// The extinction at gate i from the sums of its window and the window's shape: false
// (extinction[i] left alone) where the window holds a gap or the slope is not finite.
template <class Sums>
bool fit_gate(const RamanExtinctionProfile& in, const Sums& sums, WindowShape shape,
              std::size_t i, double scale, double* extinction) {
    if (sums.bad_y != 0) return false;
    const double sxy = sums.t2 - shape.mean_d * sums.t1;
    const double slope = sxy / shape.sxx;
    if (!std::isfinite(slope)) return false;
    extinction[i] = (slope - in.alpha_m[i] - in.alpha_m_raman[i]) / scale;
    return true;
}

// The extinction (and, with `Error`, its analytic error) of every gate from the slope of
// the least-squares line through its window, from running sums (slide_windows) of
// y = ln(N / (P_R r^2)) and q = (sigma / P_R)^2: the results agree with a direct fit about
// the window's mean to rounding (under 1e-12 of the derivative).
template <bool Error>
void fit_windows(const RamanExtinctionProfile& in, const double* y, const double* q,
                 double scale, double* extinction, double* error) {
    WindowSums<true, Error> sums{in.range, y, q};
    auto skip = [&](std::size_t i) {
        extinction[i] = nan;
        if (error) error[i] = nan;
    };
    auto gate = [&](std::size_t i, std::size_t a, std::size_t b) {
        skip(i);
        const WindowShape shape = window_shape(sums, a, b);
        if (!fit_gate(in, sums, shape, i, scale, extinction)) return;
        if constexpr (Error) {
            if (sums.bad_q == 0) {
                // Σ (d - mean_d)² q from the same sums.
                const double mean_d = shape.mean_d;
                const double variance =
                    sums.v2.value() - mean_d * (2.0 * sums.v1.value() - mean_d * sums.v0.value());
                error[i] = std::sqrt(variance > 0.0 ? variance : 0.0) / shape.sxx / scale;
            }
        }
    };
    slide_windows(in.half_width, in.gates, sums, gate, skip);
}

// The same extinction (no error) by a plan: its steps replayed on the signal's sums alone,
// the same updates in the same order, the windows' shapes taken from it.
void replay_windows(const RamanExtinctionProfile& in, const RamanFitPlan& plan,
                    const double* y, double scale, double* extinction) {
    using Step = RamanFitPlan::Step;
    WindowSums<false, false> sums{in.range, y, nullptr};
    std::fill(extinction, extinction + in.gates, nan);
    const double* geometry = plan.geometry.data();
    const Step* steps = plan.steps.data();
    const std::size_t count = plan.steps.size();
    for (std::size_t k = 0; k < count; ++k) {
        const Step step = steps[k];
        switch (step.kind) {
            case Step::enter:
                sums.update(step.gate, 1.0);
                break;
            case Step::leave:
                sums.update(step.gate, -1.0);
                break;
            case Step::reset: {
                const Step window = steps[++k];  // its first and last gate
                sums.reset(window.kind, window.gate, step.gate);
                break;
            }
            default: {  // Step::fit
                const std::size_t i = step.gate;
                fit_gate(in, sums, {geometry[2 * i], geometry[2 * i + 1]}, i, scale, extinction);
                break;
            }
        }
    }
}

// The range sums, recording the steps that slide them (for a plan).
struct PlanningSums {
    RangeSums range;
    std::vector<RamanFitPlan::Step>& steps;

    void update(std::size_t j, double sign) {
        range.update(j, sign);
        steps.push_back({sign > 0.0 ? RamanFitPlan::Step::enter : RamanFitPlan::Step::leave,
                         static_cast<std::uint32_t>(j)});
    }
    void reset(std::size_t a, std::size_t b, std::size_t centre) {
        range.reset(a, b, centre);
        steps.push_back({RamanFitPlan::Step::reset, static_cast<std::uint32_t>(centre)});
        steps.push_back({static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b)});
    }
};

}  // namespace

void plan_raman_fit(const double* range, const double* half_width, std::size_t gates,
                    RamanFitPlan& plan) {
    plan.geometry.assign(2 * gates, nan);
    plan.steps.clear();
    PlanningSums sums{RangeSums{range}, plan.steps};
    slide_windows(
        half_width, gates, sums,
        [&](std::size_t i, std::size_t a, std::size_t b) {
            const WindowShape shape = window_shape(sums.range, a, b);
            plan.geometry[2 * i] = shape.mean_d;
            plan.geometry[2 * i + 1] = shape.sxx;
            plan.steps.push_back({RamanFitPlan::Step::fit, static_cast<std::uint32_t>(i)});
        },
        [](std::size_t) {});
}

void raman_extinction_profile(const RamanExtinctionProfile& in, double* extinction,
                              double* error, double* work) {
    const std::size_t n = in.gates;
    const double* r = in.range;
    double* y = work;
    double* q = work + n;
    double* ratio = work + 2 * n;  // N / (P_R r^2), y its logarithm
    for (std::size_t i = 0; i < n; ++i) {
        const double p = in.raman_signal[i];
        ratio[i] = p > 0.0 ? in.number_density[i] / (p * r[i] * r[i]) : nan;
    }
    log_of(ratio, n, y);
    const bool with_error = error && in.raman_noise;
    if (with_error)
        for (std::size_t i = 0; i < n; ++i) {
            const double relative = in.raman_noise[i] / in.raman_signal[i];
            q[i] = relative * relative;
        }
    const double scale = 1.0 + std::pow(in.wavelength_ratio, in.angstrom);
    if (with_error) {
        fit_windows<true>(in, y, q, scale, extinction, error);
    } else if (in.plan) {
        replay_windows(in, *in.plan, y, scale, extinction);
        if (error) std::fill(error, error + n, nan);
    } else {
        fit_windows<false>(in, y, q, scale, extinction, error);
    }
}

void raman_backscatter_profile(const RamanBackscatterProfile& in, double* backscatter,
                               double* work) {
    const std::size_t n = in.gates;
    const double* r = in.range;
    double* difference = work;
    double* integral = work + n;
    const double* weights = in.weights;
    if (!weights) {
        double* own = work + 3 * n;  // 4 (n - 1)
        parabolic_weights(r, n, own);
        weights = own;
    }
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
    cumulative_parabolic(difference, weights, n, integral);
    const auto begin = static_cast<std::size_t>(in.reference_begin);
    const auto end = static_cast<std::size_t>(in.reference_end);
    const std::size_t c = (begin + end - 1) / 2;
    const double integral_c = integral[c];
    // The transmission ratio exp(∫_rc^r ...) of every gate in one pass (its argument in
    // `difference`, no longer needed).
    double* transmission = work + 2 * n;
    for (std::size_t i = 0; i < n; ++i) difference[i] = integral[i] - integral_c;
    exp_of(difference, n, transmission);
    // ratio = P_0 N exp(...), divided by P_R below.  K matches R_c beta_m P_R to it over the
    // reference interval as a ratio of sums, so no noisy P_R is ever a divisor there.
    auto ratio = [&](std::size_t i) {
        return in.elastic_signal[i] * in.number_density[i] * transmission[i];
    };
    double molecular = 0.0, measured = 0.0;
    for (std::size_t i = begin; i < end; ++i) {
        molecular += in.reference_value * in.beta_m[i] * in.raman_signal[i];
        measured += ratio(i);
    }
    const double k = molecular / measured;
    for (std::size_t i = 0; i < n; ++i) {
        const double total = k * (ratio(i) / in.raman_signal[i]);
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
        // Without the analytic error the windows' shapes depend on the range gates and the
        // windows alone: planned again only where a profile's differ from the last's.
        RamanFitPlan plan;
        const double* planned_range = nullptr;
        const double* planned_width = nullptr;
        std::size_t planned_gates = 0;
        for (std::size_t p = begin; p < end; ++p, check_cancel()) {
            const std::size_t f = in.first_gate(p);
            double* e = extinction + p * n;
            double* s = error ? error + p * n : nullptr;
            std::fill(e, e + f, nan);
            if (s) std::fill(s, s + f, nan);
            RamanExtinctionProfile profile = in.extinction_profile(p);
            if (!(s && profile.raman_noise)) {
                if (profile.range != planned_range || profile.half_width != planned_width ||
                    profile.gates != planned_gates) {
                    plan_raman_fit(profile.range, profile.half_width, profile.gates, plan);
                    planned_range = profile.range;
                    planned_width = profile.half_width;
                    planned_gates = profile.gates;
                }
                profile.plan = &plan;
            }
            raman_extinction_profile(profile, e + f, s ? s + f : nullptr, work.data());
        }
    });
}

void raman_backscatter(const RamanInputs& in, double* backscatter, unsigned threads) {
    const std::size_t n = in.gates;
    parallel_for(in.profiles, threads, [&](std::size_t begin, std::size_t end) {
        std::vector<double> work(7 * n);
        // The parabolic rule's weights depend on the range gates alone: made again only
        // where a profile's gates (its range row, its first gate) differ from the last's.
        std::vector<double> weights(n > 1 ? 4 * (n - 1) : 0);
        const double* weighed = nullptr;
        std::size_t weighed_gates = 0;
        for (std::size_t p = begin; p < end; ++p, check_cancel()) {
            const std::size_t f = in.first_gate(p);
            double* b = backscatter + p * n;
            std::fill(b, b + f, nan);
            RamanBackscatterProfile profile = in.backscatter_profile(p);
            if (profile.range != weighed || profile.gates != weighed_gates) {
                parabolic_weights(profile.range, profile.gates, weights.data());
                weighed = profile.range;
                weighed_gates = profile.gates;
            }
            profile.weights = weights.data();
            raman_backscatter_profile(profile, b + f, work.data());
        }
    });
}

void lidar_ratio(const double* extinction, const double* backscatter, std::size_t size,
                 double min_backscatter, double* ratio, unsigned threads) {
    constexpr std::size_t piece = std::size_t{1} << 16;  // gates per item
    parallel_for(
        (size + piece - 1) / piece, threads,
        [&](std::size_t begin, std::size_t end) {
            const std::size_t last = std::min(end * piece, size);
            for (std::size_t i = begin * piece; i < last; ++i)
                ratio[i] = backscatter[i] > min_backscatter ? extinction[i] / backscatter[i] : nan;
        },
        4);
}

}  // namespace aerolume
