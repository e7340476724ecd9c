#include "clouds.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "parallel.h"

namespace aerolume {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Running sums of one profile's y = P g and of its variance, and the running count of the
// gates that are gaps (y or its variance not finite), so that any window's sum, variance
// and validity cost O(1).
class RunningSums {
public:
    explicit RunningSums(std::size_t gates)
        : y_(gates + 1), v_(gates + 1), gaps_(gates + 1), d2_(gates + 1), dn_(gates + 1) {}

    // noise: the standard deviation of P per gate, or null to estimate the variance of y
    // from the second differences d_i = y_i - (y_{i-1} + y_{i+1}) / 2 (variance 1.5 sd^2 for
    // white noise, none from a straight line) averaged over 2 k + 1 gates.
    void fill(const double* p, const double* noise, const double* g, std::size_t n,
              std::size_t k, double* y) {
        for (std::size_t i = 0; i < n; ++i) y[i] = p[i] * g[i];
        if (noise == nullptr) {
            d2_[0] = 0.0;
            dn_[0] = 0;
            double sum = 0.0;
            std::size_t count = 0;
            for (std::size_t i = 0; i < n; ++i) {
                if (i >= 1 && i + 1 < n) {
                    const double d = y[i] - 0.5 * (y[i - 1] + y[i + 1]);
                    if (std::isfinite(d)) {
                        sum += d * d;
                        ++count;
                    }
                }
                d2_[i + 1] = sum;
                dn_[i + 1] = count;
            }
        }
        double ys = 0.0, vs = 0.0;
        std::size_t gaps = 0;
        y_[0] = v_[0] = 0.0;
        gaps_[0] = 0;
        for (std::size_t i = 0; i < n; ++i) {
            double v;
            if (noise != nullptr) {
                const double s = noise[i] * g[i];
                v = s * s;
            } else {
                const std::size_t a = i >= k ? i - k : 0, b = std::min(n, i + k + 1);
                const std::size_t count = dn_[b] - dn_[a];
                v = count > 0 ? (d2_[b] - d2_[a]) / (1.5 * static_cast<double>(count)) : nan;
            }
            if (std::isfinite(y[i]) && std::isfinite(v)) {
                ys += y[i];
                vs += v;
            } else {
                ++gaps;
            }
            y_[i + 1] = ys;
            v_[i + 1] = vs;
            gaps_[i + 1] = gaps;
        }
    }

    // Over the gates [a, b).
    bool valid(std::size_t a, std::size_t b) const { return gaps_[b] == gaps_[a]; }
    double sum(std::size_t a, std::size_t b) const { return y_[b] - y_[a]; }
    double variance(std::size_t a, std::size_t b) const { return v_[b] - v_[a]; }

    // The wavelet covariance transform at step b (h gates each side; b >= h, b + h <= n)
    // and its standard deviation; false where the window holds a gap.
    bool wavelet(std::size_t b, std::size_t h, double& w, double& sd) const {
        if (!valid(b - h, b + h)) return false;
        const double scale = 1.0 / (2.0 * static_cast<double>(h));
        w = (sum(b - h, b) - sum(b, b + h)) * scale;
        sd = std::sqrt(variance(b - h, b + h)) * scale;
        return true;
    }

private:
    std::vector<double> y_, v_;
    std::vector<std::size_t> gaps_;
    std::vector<double> d2_;
    std::vector<std::size_t> dn_;
};

// The median of values[0, n) (reordered), as NumPy's: the mean of the two middle values for
// an even count.
double median(double* values, std::size_t n) {
    if (n == 0) return nan;
    const std::size_t k = n / 2;
    std::nth_element(values, values + k, values + n);
    const double upper = values[k];
    if (n % 2 == 1) return upper;
    const double lower = *std::max_element(values, values + k);
    return 0.5 * (lower + upper);
}

struct CloudWork {
    RunningSums sums;
    std::vector<double> y, smooth, sd, sorted;
    explicit CloudWork(std::size_t n) : sums(n), y(n), smooth(n), sd(n), sorted(n) {}
};

void clouds_of_profile(const CloudInputs& in, const CloudSettings& s, std::size_t p,
                       CloudWork& work, const CloudOutputs& out) {
    const std::size_t n = in.gates, h = s.half, layers_max = s.max_layers;
    const double* r = in.range.row(p);
    std::uint8_t* mask = out.mask + p * n;
    double* base_out = out.base + p * layers_max;
    double* top_out = out.top + p * layers_max;
    double* peak_out = out.peak + p * layers_max;
    std::fill_n(mask, n, std::uint8_t{0});
    std::fill_n(base_out, layers_max, nan);
    std::fill_n(top_out, layers_max, nan);
    std::fill_n(peak_out, layers_max, nan);
    out.layers[p] = 0.0;
    out.clear_air[p] = nan;

    RunningSums& sums = work.sums;
    sums.fill(in.signal.row(p), in.noise.empty() ? nullptr : in.noise.row(p), in.scale.row(p),
              n, s.noise_half, work.y.data());
    double* smooth = work.smooth.data();
    double* sd = work.sd.data();
    std::size_t valid = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t a = i >= s.smooth ? i - s.smooth : 0, b = std::min(n, i + s.smooth + 1);
        const double m = static_cast<double>(b - a);
        if (sums.valid(a, b)) {
            smooth[i] = sums.sum(a, b) / m;
            sd[i] = std::sqrt(sums.variance(a, b)) / m;
            if (i >= s.begin && i < s.end) work.sorted[valid++] = smooth[i];
        } else {
            smooth[i] = sd[i] = nan;
        }
    }
    const double c = median(work.sorted.data(), valid);
    out.clear_air[p] = c;
    if (!(c > 0.0)) return;

    auto candidate = [&](std::size_t i) {
        return smooth[i] >= s.min_ratio * c && smooth[i] - c >= s.n_sigma * sd[i];
    };
    std::size_t kept = 0;
    std::size_t free_from = s.begin;  // the first gate above the last kept layer
    for (std::size_t i = s.begin; i < s.end; ++i) {
        if (!candidate(i)) continue;
        const std::size_t first = i;
        std::size_t last = i, peak = i;
        while (last + 1 < s.end && candidate(last + 1)) {
            ++last;
            if (smooth[last] > smooth[peak]) peak = last;
        }
        i = last;
        if (first < free_from) continue;  // inside the layer below
        // A run that holds no layer where it starts is searched again from 2 h + 1 gates
        // higher (below a cloud that attenuates, the whole column can exceed the ratio).
        // The base: the steepest rise within 2 h gates of the run's first gate (not beyond
        // its peak).
        const std::size_t low = std::max({first >= 2 * h ? first - 2 * h : 0, h, free_from,
                                          s.begin});
        const std::size_t high = std::min(peak, first + 2 * h);
        std::size_t base = n;
        double base_w = 0.0, base_sd = 0.0;
        for (std::size_t b = low; b <= high && b + h <= n; ++b) {
            double w, w_sd;
            if (sums.wavelet(b, h, w, w_sd) && (base == n || w < base_w)) {
                base = b;
                base_w = w;
                base_sd = w_sd;
            }
        }
        if (base == n || !(-base_w > s.n_sigma * base_sd)) {
            i = std::min(last, first + 2 * h);  // look for a sharp rise higher up
            continue;
        }
        const double below = sums.sum(base - h, base) / static_cast<double>(h);
        if (!(smooth[peak] >= s.min_contrast * below)) {
            i = std::min(last, first + 2 * h);  // look for a sharp rise higher up
            continue;
        }
        // The top: the last gate before the smoothed y falls back to the level below the
        // base (within n_sigma of the noise of both).
        const double below_var = sums.variance(base - h, base) / static_cast<double>(h * h);
        std::size_t top = peak;
        while (top + 1 < s.end) {
            const double v = smooth[top + 1];
            if (!(v > below + s.n_sigma * std::sqrt(sd[top + 1] * sd[top + 1] + below_var)))
                break;
            ++top;
        }
        if (!(r[top] - r[base] >= s.min_thickness)) {
            i = std::min(last, first + 2 * h);  // look for a sharp rise higher up
            continue;
        }
        std::fill(mask + base, mask + top + 1, std::uint8_t{1});
        if (kept < layers_max) {
            base_out[kept] = r[base];
            top_out[kept] = r[top];
            peak_out[kept] = smooth[peak] / c;
        }
        ++kept;
        free_from = top + 1;
        i = std::max(i, top);
    }
    out.layers[p] = static_cast<double>(kept);
}

}  // namespace

void detect_clouds(const CloudInputs& in, const CloudSettings& settings,
                   const CloudOutputs& out, unsigned threads) {
    parallel_for(
        in.profiles, threads,
        [&](std::size_t first, std::size_t last) {
            CloudWork work(in.gates);
            for (std::size_t p = first; p < last; ++p) clouds_of_profile(in, settings, p, work, out);
        },
        8);
}

void boundary_layer_height(const LayerTopInputs& in, const LayerTopSettings& s,
                           double* height, double* wavelet, std::uint8_t* flag,
                           unsigned threads) {
    const std::size_t n = in.gates, h = s.half;
    parallel_for(
        in.profiles, threads,
        [&](std::size_t first, std::size_t last) {
            RunningSums sums(n);
            std::vector<double> y(n);
            for (std::size_t p = first; p < last; ++p) {
                const double* r = in.range.row(p);
                sums.fill(in.signal.row(p), in.noise.empty() ? nullptr : in.noise.row(p),
                          in.scale.row(p), n, s.noise_half, y.data());
                std::size_t end = std::min(s.end, n >= h ? n - h + 1 : 0);
                if (in.limit.data != nullptr) {
                    const std::int64_t limit = in.limit[p];
                    if (limit >= 0) end = std::min(end, static_cast<std::size_t>(limit));
                }
                const std::size_t begin = std::max(s.begin, h);
                std::size_t best = n, searched_first = n, searched_last = n;
                double best_w = 0.0, best_sd = 0.0;
                for (std::size_t b = begin; b < end; ++b) {
                    double w, w_sd;
                    if (!sums.wavelet(b, h, w, w_sd)) continue;
                    if (searched_first == n) searched_first = b;
                    searched_last = b;
                    if (best == n || w > best_w) {
                        best = b;
                        best_w = w;
                        best_sd = w_sd;
                    }
                }
                height[p] = wavelet[p] = nan;
                if (best == n) {
                    flag[p] = layer_top_no_data;
                    continue;
                }
                wavelet[p] = best_w;
                std::uint8_t f = 0;
                if (best == searched_first || best == searched_last) f |= layer_top_at_edge;
                if (!(best_w > s.n_sigma * best_sd)) f |= layer_top_below_noise;
                flag[p] = f;
                if (f == 0) height[p] = 0.5 * (r[best - 1] + r[best]);
            }
        },
        8);
}

}  // namespace aerolume
