#include "klett.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "parallel.h"
#include "small_exp.h"

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
    for (std::size_t i = 0; i < n; ++i)
        factor[i] = in.range[i] * in.range[i] * std::exp(-2.0 * exponent[i]);
    cumulative_parabolic(in.beta_m, weights.data(), n, molecular.data());
}

OffsetShape::OffsetShape(const KlettProfile& in, std::size_t begin_, std::size_t end_)
    : begin(begin_), end(end_) {
    if (end < begin + 5) return;  // too few gates to tell an offset from the scale
    // q relative to the interval's first gate (the scale absorbs the rest), its sums taken
    // about q at that gate (and P about P there, in fit()), so that the 2 x 2 system loses
    // little to cancellation.
    const double* r = in.range;
    const double count = static_cast<double>(end - begin);
    const double q0 = in.beta_m[begin] / (r[begin] * r[begin]);
    dq.resize(end - begin);
    double depth = 0.0, sqq = 0.0;
    for (std::size_t i = begin; i < end; ++i) {
        if (i > begin) depth += 0.5 * (in.alpha_m[i] + in.alpha_m[i - 1]) * (r[i] - r[i - 1]);
        const double d = in.beta_m[i] * std::exp(-2.0 * depth) / (r[i] * r[i]) - q0;
        dq[i - begin] = d;
        sq += d;
        sqq += d * d;
    }
    qq = sqq - sq * (sq / count);
    q_mean = q0 + sq / count;
    separable = qq > 1e-6 * q_mean * q_mean * count;  // else q nearly constant: no offset
}

double OffsetShape::fit(const double* signal) const {
    if (!separable) return 0.0;
    const double count = static_cast<double>(end - begin);
    const double p0 = signal[begin];
    double sp = 0.0, sqp = 0.0;
    for (std::size_t i = begin; i < end; ++i) {
        const double dp = signal[i] - p0;
        sp += dp;
        sqp += dq[i - begin] * dp;
    }
    const double qp = sqp - sq * (sp / count);
    const double a = qp / qq;
    return (p0 + sp / count) - a * q_mean;  // NaN where the interval holds a gap
}

double reference_offset(const KlettProfile& in, std::size_t begin, std::size_t end) {
    return OffsetShape(in, begin, end).fit(in.signal);
}

std::pair<std::size_t, std::size_t> offset_interval(const KlettProfile& in) {
    const bool own = in.offset_end > in.offset_begin;
    return {static_cast<std::size_t>(own ? in.offset_begin : in.reference_begin),
            static_cast<std::size_t>(own ? in.offset_end : in.reference_end)};
}

std::size_t klett_fernald_profile(const KlettProfile& in, const KlettGrid& grid,
                                  double* backscatter, double* extinction, double* work,
                                  double* offset, const OffsetShape* shape) {
    const std::size_t n = in.gates;
    if (n == 0) return 0;
    const double* r = in.range;
    const double ds = in.lidar_ratio_offset;
    double* z = work;                 // Z
    double* integral = work + n;      // ∫ S_a Z from r_c
    double* scratch = work + 2 * n;   // S_a Z

    const std::size_t c =
        in.forward ? 0 : static_cast<std::size_t>(in.reference_begin + (in.reference_end - 1)) / 2;

    // The residual offset, removed from the signal (into `scratch`, free until S_a Z).
    const double* signal = in.signal;
    if (in.fit_offset && !in.forward) {
        const auto [begin, end] = offset_interval(in);
        const double b = shape ? shape->fit(in.signal) : reference_offset(in, begin, end);
        if (offset) *offset = b;
        if (b != 0.0) {
            for (std::size_t i = 0; i < n; ++i) scratch[i] = in.signal[i] - b;
            signal = scratch;
        }
    } else if (offset) {
        *offset = 0.0;
    }

    // Z = X exp(-2 (E - E_c)), E including the offset's ds ∫ beta_m when there is one.
    if (ds == 0.0) {
        const double shift = std::exp(2.0 * grid.exponent[c]);
        for (std::size_t i = 0; i < n; ++i) z[i] = signal[i] * (grid.factor[i] * shift);
    } else {
        // exp(-2 ds ∫ beta_m) exactly at the first gate of every block of gates and from
        // there by the Taylor series of the small step, to x^8 / 8! where every step of the
        // block is under 1/32 (remainder under 1e-19 of the result): one exponential per
        // block instead of one per gate, a few units in the last place from it, and a loop
        // without branches.
        constexpr std::size_t block = 16;
        const double a = -2.0 * ds;
        const double* m = grid.molecular.data();
        const double shift = std::exp(2.0 * (grid.exponent[c] + ds * m[c]));
        double x[block];
        for (std::size_t start = 0; start < n; start += block) {
            const std::size_t size = std::min(n - start, block);
            const double anchor = std::exp(a * m[start]) * shift;
            double largest = 0.0;
            for (std::size_t i = 0; i < size; ++i) {
                x[i] = a * (m[start + i] - m[start]);
                largest = std::max(largest, std::fabs(x[i]));
            }
            const double* row = signal + start;
            const double* factor = grid.factor.data() + start;
            double* out = z + start;
            if (largest < small_exp_limit) {
                for (std::size_t i = 0; i < size; ++i) {
                    const double t = x[i];
                    const double series =
                        1.0 + t * (1.0 + t * (1.0 / 2 + t * (1.0 / 6 + t * (1.0 / 24 + t * (1.0 / 120 +
                        t * (1.0 / 720 + t * (1.0 / 5040 + t * (1.0 / 40320))))))));
                    out[i] = row[i] * (factor[i] * (anchor * series));
                }
            } else {  // a coarse grid or a large offset
                for (std::size_t i = 0; i < size; ++i)
                    out[i] = row[i] * (factor[i] * (anchor * std::exp(x[i])));
            }
        }
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
    // Without branches, so that the divisions go two at a time.
    std::size_t failures = 0;
    for (std::size_t i = 0; i < last; ++i) {
        const double denominator = k - 2.0 * integral[i];
        const bool solved = denominator > 0.0;
        const double b = z[i] / denominator - in.beta_m[i];
        backscatter[i] = solved ? b : nan;
        extinction[i] = solved ? (in.lidar_ratio[i] + ds) * b : nan;
        failures += !solved && denominator == denominator;  // gaps (NaN) aside
    }
    for (std::size_t i = last; i < n; ++i) backscatter[i] = extinction[i] = nan;
    return failures;
}

KlettProfile KlettInputs::profile(std::size_t p) const {
    const std::size_t f = first_gate(p);
    const auto shift = static_cast<std::int64_t>(f);
    KlettProfile in{signal.row(p) + f, range.row(p) + f, beta_m.row(p) + f, alpha_m.row(p) + f,
                    lidar_ratio.row(p) + f, gates - f};
    in.forward = forward;
    if (forward) {
        in.calibration = calibration[p];
    } else {
        in.reference_begin = reference.at(p)[0] - shift;
        in.reference_end = reference.at(p)[1] - shift;
        in.reference_value = reference_value[p];
        in.fit_offset = fit_offset;
        if (fit_offset && offset_interval.data) {
            in.offset_begin = offset_interval.at(p)[0] - shift;
            in.offset_end = offset_interval.at(p)[1] - shift;
        }
    }
    return in;
}

KlettGrids::KlettGrids(const KlettInputs& in, std::size_t limit) : in_(&in) {
    if (!in.shared_grid()) return;
    for (std::size_t p = 0; p < in.profiles && firsts_.size() < limit; ++p) {
        const auto f = static_cast<std::int64_t>(in.first_gate(p));
        if (std::find(firsts_.begin(), firsts_.end(), f) != firsts_.end()) continue;
        firsts_.push_back(f);
        grids_.emplace_back(in.profile(p));
    }
}

const KlettGrid* KlettGrids::find(std::size_t p) const {
    const auto f = static_cast<std::int64_t>(in_->first_gate(p));
    for (std::size_t k = 0; k < firsts_.size(); ++k)
        if (firsts_[k] == f) return &grids_[k];
    return nullptr;
}

void klett_fernald(const KlettInputs& in, double* backscatter, double* extinction,
                   std::size_t* failures, double* offsets, unsigned threads) {
    const std::size_t n = in.gates;
    if (in.profiles == 0 || n == 0) return;
    const KlettGrids grids(in);
    parallel_for(in.profiles, threads, [&](std::size_t begin, std::size_t end) {
        std::vector<double> work(3 * n);
        for (std::size_t p = begin; p < end; ++p) {
            check_cancel();
            const KlettProfile profile = in.profile(p);
            const std::size_t f = in.first_gate(p);
            double* b = backscatter + p * n;
            double* e = extinction + p * n;
            std::fill(b, b + f, nan);
            std::fill(e, e + f, nan);
            const KlettGrid* grid = grids.find(p);
            std::optional<KlettGrid> own;
            if (!grid) grid = &own.emplace(profile);
            failures[p] = klett_fernald_profile(profile, *grid, b + f, e + f, work.data(),
                                                offsets ? offsets + p : nullptr);
        }
    });
}

}  // namespace aerolume
