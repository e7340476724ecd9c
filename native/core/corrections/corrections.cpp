#include "corrections.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "parallel.h"

namespace aerolume::corrections {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Profiles per thread below which threads cost more than they save.
constexpr std::size_t min_profiles = 4;

// The principal branch W0 of Lambert's function for z in [-1/e, 0].
double lambert_w0(double z) {
    const double e = std::exp(1.0);
    const double p2 = 2.0 * (e * z + 1.0);
    if (p2 <= 0.0) return -1.0;
    double w;
    if (z < -0.25) {
        // Series about the branch point.
        const double p = std::sqrt(p2);
        w = -1.0 + p * (1.0 + p * (-1.0 / 3.0 + p * (11.0 / 72.0)));
    } else {
        w = std::log1p(z);
    }
    for (int i = 0; i < 50; ++i) {
        const double ew = std::exp(w);
        const double f = w * ew - z;
        const double wp1 = w + 1.0;
        if (wp1 == 0.0) break;
        const double step = f / (ew * wp1 - (w + 2.0) * f / (2.0 * wp1));
        const double next = w - step;
        if (!std::isfinite(next)) break;
        if (next == w || std::fabs(step) <= 1e-16 * std::fabs(next)) {
            w = next;
            break;
        }
        w = next;
    }
    return w;
}

void check(bool ok, const char* what) {
    if (!ok) throw std::invalid_argument(what);
}

}  // namespace

// ---- one profile ------------------------------------------------------------------------

namespace {

// The true rate for a measured rate m (t = tau in us), and dN/dM in `gain`; NaN for
// both where the model cannot have produced m (`out_of_model` set).
//
// The non-paralysable model, written once: the true rate m / (1 - m tau) and its
// derivative 1 / (1 - m tau)^2 where m tau < 1, NaN (and not ok) elsewhere and for NaN.
// Straight-line, so that the loops over it vectorise.
struct NonParalysable {
    double rate, gain;
    bool ok;
};

inline NonParalysable non_paralysable(double m, double tau) {
    const double x = m * tau, d = 1.0 - x;
    const bool ok = x < 1.0;  // false for NaN too
    return {ok ? m / d : nan, ok ? 1.0 / (d * d) : nan, ok};
}

inline double dead_time_value(double m, double t, DeadTimeModel model, double& gain,
                              bool& out_of_model) {
    out_of_model = false;
    if (std::isnan(m)) {
        gain = nan;
        return nan;
    }
    if (model == DeadTimeModel::non_paralysable) {
        const NonParalysable n = non_paralysable(m, t);
        out_of_model = !n.ok;
        gain = n.gain;
        return n.rate;
    }
    const double y = m * t;
    if (y > 0.36787944117144233 || y < 0.0) {  // beyond 1/e: no solution
        out_of_model = true;
        gain = nan;
        return nan;
    }
    if (y == 0.0) {
        gain = 1.0;
        return 0.0;
    }
    const double nt = -lambert_w0(-y);
    // dM/dN = exp(-N tau) (1 - N tau)
    gain = 1.0 / (std::exp(-nt) * (1.0 - nt));
    return nt / t;
}

}  // namespace

std::size_t dead_time_row(std::span<double> rate, std::span<double> noise, double tau,
                          DeadTimeModel model, std::span<std::uint8_t> saturated) {
    // MHz x ns = 1e-3.
    const double t = tau * 1e-3;
    std::size_t bad = 0;
    for (std::size_t k = 0; k < rate.size(); ++k) {
        double gain;
        bool out_of_model;
        rate[k] = dead_time_value(rate[k], t, model, gain, out_of_model);
        if (!noise.empty()) noise[k] = std::isnan(noise[k]) ? nan : noise[k] * gain;
        if (!saturated.empty()) saturated[k] = out_of_model ? 1 : 0;
        bad += out_of_model;
    }
    return bad;
}

void shift_row(std::span<const double> in, std::span<double> out, std::int64_t shift) {
    const std::int64_t n = static_cast<std::int64_t>(in.size());
    for (std::int64_t k = 0; k < n; ++k) {
        const std::int64_t from = k + shift;
        out[static_cast<std::size_t>(k)] =
            (from >= 0 && from < n) ? in[static_cast<std::size_t>(from)] : nan;
    }
}

Stats window_stats(std::span<const double> x, std::size_t begin, std::size_t end) {
    end = std::min(end, x.size());
    double sum = 0.0;
    std::size_t count = 0;
    for (std::size_t k = begin; k < end; ++k)
        if (std::isfinite(x[k])) {
            sum += x[k];
            ++count;
        }
    if (count == 0) return {nan, nan, 0};
    const double mean = sum / static_cast<double>(count);
    double squares = 0.0;
    for (std::size_t k = begin; k < end; ++k)
        if (std::isfinite(x[k])) squares += (x[k] - mean) * (x[k] - mean);
    const double sd = count > 1 ? std::sqrt(squares / static_cast<double>(count - 1)) : nan;
    return {mean, sd, count};
}

Fit glue_fit_row(std::span<const double> analog, std::span<const double> pc, double low,
                 double high, std::size_t begin, std::size_t end, double min_analog) {
    end = std::min({end, analog.size(), pc.size()});
    auto usable = [&](std::size_t k) {
        const double a = analog[k], p = pc[k];
        return std::isfinite(a) && std::isfinite(p) && p >= low && p <= high &&
               !(a <= min_analog);
    };
    double sa = 0.0, sp = 0.0;
    std::size_t count = 0, first = 0, last = 0;
    for (std::size_t k = begin; k < end; ++k)
        if (usable(k)) {
            if (count == 0) first = k;
            last = k;
            sa += analog[k];
            sp += pc[k];
            ++count;
        }
    Fit fit{nan, nan, nan, count, first, last};
    if (count < 3) return fit;
    const double ma = sa / static_cast<double>(count), mp = sp / static_cast<double>(count);
    double saa = 0.0, spp = 0.0, sap = 0.0;
    for (std::size_t k = first; k <= last; ++k)
        if (usable(k)) {
            const double da = analog[k] - ma, dp = pc[k] - mp;
            saa += da * da;
            spp += dp * dp;
            sap += da * dp;
        }
    if (!(saa > 0.0)) return fit;
    fit.slope = sap / saa;
    fit.offset = mp - fit.slope * ma;
    fit.correlation = spp > 0.0 ? sap / std::sqrt(saa * spp) : nan;
    return fit;
}

void glue_row(std::span<const double> analog, std::span<const double> pc,
              std::span<const double> analog_noise, std::span<const double> pc_noise,
              const Fit& fit, double high, std::span<double> out, std::span<double> out_noise) {
    for (std::size_t k = 0; k < out.size(); ++k) {
        const bool counting = std::isfinite(pc[k]) && pc[k] <= high;
        if (counting) {
            out[k] = pc[k];
            if (!out_noise.empty()) out_noise[k] = pc_noise.empty() ? nan : pc_noise[k];
        } else {
            out[k] = fit.slope * analog[k] + fit.offset;
            if (!out_noise.empty())
                out_noise[k] = analog_noise.empty() ? nan : std::fabs(fit.slope) * analog_noise[k];
        }
    }
}

void merge_row(std::span<const double> x, std::span<const double> noise, std::size_t bins,
               std::span<double> out, std::span<double> out_noise) {
    for (std::size_t j = 0; j < out.size(); ++j) {
        const std::size_t begin = j * bins, end = std::min(begin + bins, x.size());
        double sum = 0.0, var = 0.0;
        std::size_t count = 0;
        for (std::size_t k = begin; k < end; ++k)
            if (!std::isnan(x[k])) {
                sum += x[k];
                if (!noise.empty()) var += noise[k] * noise[k];
                ++count;
            }
        const double n = static_cast<double>(count);
        out[j] = count ? sum / n : nan;
        if (!out_noise.empty()) out_noise[j] = (count && !noise.empty()) ? std::sqrt(var) / n : nan;
    }
}

// ---- arrays of profiles ---------------------------------------------------------------------

std::vector<std::size_t> dead_time(std::span<const double> rate, std::span<const double> noise,
                                   std::size_t gates, std::span<const double> tau,
                                   DeadTimeModel model, std::span<double> out,
                                   std::span<double> out_noise, std::span<std::uint8_t> saturated,
                                   unsigned threads) {
    const std::size_t profiles = gates ? rate.size() / gates : 0;
    check(tau.size() == profiles && out.size() == rate.size() &&
              (noise.empty() || (noise.size() == rate.size() && out_noise.size() == rate.size())) &&
              (saturated.empty() || saturated.size() == rate.size()),
          "dead_time: sizes disagree");
    std::vector<std::size_t> bad(profiles);
    parallel_for(profiles, threads, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const std::size_t o = i * gates;
            std::copy_n(rate.data() + o, gates, out.data() + o);
            std::span<double> n;
            if (!noise.empty()) {
                std::copy_n(noise.data() + o, gates, out_noise.data() + o);
                n = out_noise.subspan(o, gates);
            }
            bad[i] = dead_time_row(out.subspan(o, gates), n, tau[i], model,
                                   saturated.empty() ? saturated : saturated.subspan(o, gates));
        }
    }, min_profiles);
    return bad;
}

void shift(std::span<const double> x, std::size_t gates, std::span<const std::int64_t> shifts,
           std::span<double> out, unsigned threads) {
    const std::size_t profiles = gates ? x.size() / gates : 0;
    check(shifts.size() == profiles && out.size() == x.size(), "shift: sizes disagree");
    parallel_for(profiles, threads, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            shift_row(x.subspan(i * gates, gates), out.subspan(i * gates, gates), shifts[i]);
    }, min_profiles);
}

void background(std::span<const double> x, std::size_t gates,
                std::span<const std::size_t> begin, std::span<const std::size_t> end,
                std::span<double> out, std::span<double> mean, std::span<double> std,
                std::span<std::size_t> count, unsigned threads) {
    const std::size_t profiles = gates ? x.size() / gates : 0;
    check(begin.size() == profiles && end.size() == profiles && mean.size() == profiles &&
              std.size() == profiles && count.size() == profiles &&
              (out.empty() || out.size() == x.size()),
          "background: sizes disagree");
    parallel_for(profiles, threads, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            const auto row = x.subspan(i * gates, gates);
            const Stats s = window_stats(row, begin[i], end[i]);
            mean[i] = s.mean;
            std[i] = s.std;
            count[i] = s.count;
            if (!out.empty()) {
                double* o = out.data() + i * gates;
                for (std::size_t k = 0; k < gates; ++k) o[k] = row[k] - s.mean;
            }
        }
    }, min_profiles);
}

void glue(std::span<const double> analog, std::span<const double> pc,
          std::span<const double> analog_noise, std::span<const double> pc_noise,
          std::size_t gates, GlueParams params, std::span<const double> min_analog,
          std::span<double> out, std::span<double> out_noise, std::span<Fit> fits,
          unsigned threads) {
    const std::size_t profiles = gates ? analog.size() / gates : 0;
    check(pc.size() == analog.size() && out.size() == analog.size() && fits.size() == profiles &&
              min_analog.size() == profiles &&
              (analog_noise.empty() || analog_noise.size() == analog.size()) &&
              (pc_noise.empty() || pc_noise.size() == analog.size()) &&
              (out_noise.empty() || out_noise.size() == analog.size()),
          "glue: sizes disagree");
    parallel_for(profiles, threads, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            const std::size_t o = i * gates;
            auto part = [&](std::span<const double> s) { return s.empty() ? s : s.subspan(o, gates); };
            const auto a = analog.subspan(o, gates), p = pc.subspan(o, gates);
            fits[i] = glue_fit_row(a, p, params.low, params.high, params.begin, params.end,
                                   min_analog[i]);
            glue_row(a, p, part(analog_noise), part(pc_noise), fits[i], params.high,
                     out.subspan(o, gates), out_noise.empty() ? out_noise : out_noise.subspan(o, gates));
        }
    }, min_profiles);
}

void average_time(std::span<const double> x, std::span<const double> noise,
                  std::span<const double> weights, std::size_t times, std::size_t items,
                  std::size_t gates, std::span<const std::size_t> starts,
                  std::span<double> out, std::span<double> out_noise,
                  std::span<double> weight_sum, unsigned threads) {
    check(!starts.empty() && starts.front() == 0 && starts.back() == times &&
              std::is_sorted(starts.begin(), starts.end()),
          "average_time: group starts must rise from 0 to the number of profiles");
    const std::size_t groups = starts.size() - 1;
    check(x.size() == times * items * gates && weights.size() == times * items &&
              out.size() == groups * items * gates && weight_sum.size() == groups * items &&
              (noise.empty() || (noise.size() == x.size() && out_noise.size() == out.size())),
          "average_time: sizes disagree");
    // One item (group, channel) at a time, bin by bin in a fixed order.
    parallel_for(groups * items, threads, [&](std::size_t b, std::size_t e) {
        std::vector<double> w_sum(gates), wx(gates), w2v(gates);
        for (std::size_t it = b; it < e; ++it) {
            const std::size_t g = it / items, c = it % items;
            if (starts[g + 1] - starts[g] == 1) {  // a group of one profile is that profile
                const std::size_t from = (starts[g] * items + c) * gates;
                std::copy_n(x.data() + from, gates, out.data() + it * gates);
                if (!noise.empty()) std::copy_n(noise.data() + from, gates, out_noise.data() + it * gates);
                weight_sum[it] = weights[starts[g] * items + c];
                continue;
            }
            std::fill(w_sum.begin(), w_sum.end(), 0.0);
            std::fill(wx.begin(), wx.end(), 0.0);
            std::fill(w2v.begin(), w2v.end(), 0.0);
            double total = 0.0;
            for (std::size_t t = starts[g]; t < starts[g + 1]; ++t) {
                const double w = weights[t * items + c];
                total += w;
                const double* row = x.data() + (t * items + c) * gates;
                const double* nrow = noise.empty() ? nullptr : noise.data() + (t * items + c) * gates;
                for (std::size_t k = 0; k < gates; ++k)
                    if (!std::isnan(row[k])) {
                        w_sum[k] += w;
                        wx[k] += w * row[k];
                        if (nrow) w2v[k] += w * w * nrow[k] * nrow[k];
                    }
            }
            weight_sum[it] = total;
            double* o = out.data() + it * gates;
            for (std::size_t k = 0; k < gates; ++k) o[k] = w_sum[k] > 0.0 ? wx[k] / w_sum[k] : nan;
            if (!noise.empty()) {
                double* on = out_noise.data() + it * gates;
                for (std::size_t k = 0; k < gates; ++k)
                    on[k] = w_sum[k] > 0.0 ? std::sqrt(w2v[k]) / w_sum[k] : nan;
            }
        }
    });
}

void merge(std::span<const double> x, std::span<const double> noise, std::size_t gates,
           std::size_t bins, std::span<double> out, std::span<double> out_noise,
           unsigned threads) {
    check(bins >= 1, "merge: bins must be at least 1");
    const std::size_t profiles = gates ? x.size() / gates : 0;
    const std::size_t merged = (gates + bins - 1) / bins;
    check(out.size() == profiles * merged &&
              (noise.empty() || (noise.size() == x.size() && out_noise.size() == out.size())),
          "merge: sizes disagree");
    parallel_for(profiles, threads, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i)
            merge_row(x.subspan(i * gates, gates), noise.empty() ? noise : noise.subspan(i * gates, gates),
                      bins, out.subspan(i * merged, merged),
                      noise.empty() ? out_noise : out_noise.subspan(i * merged, merged));
    }, min_profiles);
}

void scale(std::span<const double> x, std::span<const double> noise, std::size_t gates,
           std::span<const double> factor, std::span<double> out, std::span<double> out_noise,
           unsigned threads) {
    const std::size_t profiles = gates ? x.size() / gates : 0;
    check(factor.size() == gates && out.size() == x.size() &&
              (noise.empty() || (noise.size() == x.size() && out_noise.size() == x.size())),
          "scale: sizes disagree");
    parallel_for(profiles, threads, [&](std::size_t b, std::size_t e) {
        for (std::size_t i = b; i < e; ++i) {
            const std::size_t o = i * gates;
            for (std::size_t k = 0; k < gates; ++k) out[o + k] = x[o + k] * factor[k];
            if (!noise.empty())
                for (std::size_t k = 0; k < gates; ++k)
                    out_noise[o + k] = noise[o + k] * std::fabs(factor[k]);
        }
    }, min_profiles);
}

// ---- the whole chain ---------------------------------------------------------------------

namespace {

// Dead time, background and bin shift of profile t, channel c, into `row` and its
// variance `var`; records the background and the saturated bins in `out`.  Returns
// whether the row holds a NaN.
bool chain_channel(const Chain& ch, std::span<const double> signal, std::size_t t, std::size_t c,
                   double* row, double* var, std::vector<double>& window, const ChainOutput& out) {
    const std::size_t C = ch.channels, R = ch.gates;
    const ChannelSteps& s = ch.steps[c];
    const double* in = signal.data() + (t * C + c) * R;
    const double* given = ch.noise.empty() ? nullptr : ch.noise.data() + (t * C + c) * R;
    const double poisson = ch.poisson[t * C + c];
    const double tau = s.dead_time * 1e-3;  // MHz x ns = 1e-3
    const bool dead = s.dead_time > 0.0;
    // The background statistics need the window's dead-time-corrected values only.
    const std::size_t b = std::min(s.background_begin, R), e = std::min(s.background_end, R);
    window.resize(e > b ? e - b : 0);
    for (std::size_t k = b; k < e; ++k) {
        double gain;
        bool unused;
        window[k - b] = dead ? dead_time_value(in[k], tau, s.model, gain, unused) : in[k];
    }
    const Stats bg = window_stats(window, 0, window.size());
    out.background_mean[t * C + c] = bg.mean;
    out.background_std[t * C + c] = bg.std;
    const double mean = s.subtract_background ? bg.mean : 0.0;
    const double mean_sd = s.subtract_background && bg.count ? bg.std / std::sqrt(double(bg.count)) : 0.0;
    const double mean_var = mean_sd * mean_sd;
    const bool counting_noise = s.photon_counting || given;
    const double analog_var = bg.std * bg.std + mean_var;
    // out[k] = corrected in[k + shift]
    const std::int64_t shift = s.shift, n = static_cast<std::int64_t>(R);
    const std::int64_t lo = std::max<std::int64_t>(0, -shift), hi = std::min<std::int64_t>(n, n - shift);
    std::size_t saturated = 0;
    bool has_nan = false;
    // Straight-line loops the compiler vectorises, for the common cases; the same
    // arithmetic as dead_time_value.
    auto input_var = [&](std::int64_t j, double m) {
        return given ? given[j] * given[j] : std::max(m, 0.0) * poisson;
    };
    if (!dead) {
        for (std::int64_t k = lo; k < hi; ++k) {
            const double m = in[k + shift];
            row[k] = m - mean;
            var[k] = counting_noise ? input_var(k + shift, m) + mean_var : analog_var;
        }
        for (std::int64_t k = lo; k < hi; ++k) has_nan |= row[k] != row[k];
    } else if (s.model == DeadTimeModel::non_paralysable) {
        for (std::int64_t j = 0; j < n; ++j) saturated += in[j] * tau >= 1.0;
        for (std::int64_t k = lo; k < hi; ++k) {
            const std::int64_t j = k + shift;
            const double m = in[j];
            const NonParalysable corrected = non_paralysable(m, tau);
            const double value = corrected.rate - mean;
            row[k] = value;
            has_nan |= value != value;
            const double v = corrected.ok ? input_var(j, m) * corrected.gain * corrected.gain : nan;
            var[k] = counting_noise ? v + mean_var : analog_var;
        }
    } else {
        for (std::int64_t j = 0; j < n; ++j) {
            const double m = in[j];
            double gain;
            bool bad;
            const double x = dead_time_value(m, tau, s.model, gain, bad);
            saturated += bad;
            const std::int64_t k = j - shift;
            if (k < lo || k >= hi) continue;
            double v = input_var(j, m);
            v = std::isnan(v) ? nan : v * gain * gain;
            row[k] = x - mean;
            var[k] = counting_noise ? v + mean_var : analog_var;
            has_nan |= row[k] != row[k];
        }
    }
    for (std::int64_t k = 0; k < lo; ++k) row[k] = var[k] = nan;
    for (std::int64_t k = std::max(hi, lo); k < n; ++k) row[k] = var[k] = nan;
    out.saturated[t * C + c] = saturated;
    return has_nan || lo > 0 || hi < n;  // shifted rows are padded with NaN
}

}  // namespace

void run_chain(const Chain& ch, std::span<const double> signal, const ChainOutput& out,
               unsigned threads) {
    const std::size_t T = ch.times, C = ch.channels, R = ch.gates, P = ch.pairs.size();
    const std::size_t OC = ch.out_channels(), OR = ch.out_gates();
    check(ch.steps.size() == C && signal.size() == T * C * R && ch.poisson.size() == T * C &&
              ch.weights.size() == T * C && ch.merge >= 1 &&
              (ch.factor.empty() || ch.factor.size() == OR) &&
              (ch.noise.empty() || ch.noise.size() == signal.size()),
          "chain: sizes disagree");
    check(!ch.starts.empty() && ch.starts.front() == 0 && ch.starts.back() == T &&
              std::is_sorted(ch.starts.begin(), ch.starts.end()),
          "chain: group starts must rise from 0 to the number of profiles");
    const std::size_t G = ch.starts.size() - 1;
    check(out.signal.size() == G * OC * OR && out.noise.size() == out.signal.size() &&
              out.weight_sum.size() == G * OC && out.background_mean.size() == T * C &&
              out.background_std.size() == T * C && out.saturated.size() == T * C &&
              out.fits.size() == T * P,
          "chain: output sizes disagree");
    for (const GluePair& p : ch.pairs) check(p.analog < C && p.pc < C, "chain: no such channel");

    parallel_for(G, threads, [&](std::size_t gb, std::size_t ge) {
        // Working rows of one profile (input channels then glued ones) with their
        // variances, and the sums of one group.
        std::vector<double> rows(OC * R), vars(OC * R), window;
        std::vector<double> w_sum(OC * R), wx(OC * R), w2v(OC * R), totals(OC);
        std::vector<bool> per_bin(OC), row_has_nan(OC);
        for (std::size_t g = gb; g < ge; ++g) {
            check_cancel();
            const bool single = ch.starts[g + 1] - ch.starts[g] == 1;
            std::fill(wx.begin(), wx.end(), 0.0);
            std::fill(w2v.begin(), w2v.end(), 0.0);
            std::fill(totals.begin(), totals.end(), 0.0);
            // Per-bin weight sums are kept only once a channel has a NaN bin; until then
            // every bin's sum is the channel's total (the same additions in the same order).
            std::fill(per_bin.begin(), per_bin.end(), false);
            for (std::size_t t = ch.starts[g]; t < ch.starts[g + 1]; ++t) {
                for (std::size_t c = 0; c < C; ++c)
                    row_has_nan[c] = chain_channel(ch, signal, t, c, rows.data() + c * R,
                                                   vars.data() + c * R, window, out);
                for (std::size_t p = 0; p < P; ++p) {
                    const GluePair& gp = ch.pairs[p];
                    const double* a = rows.data() + gp.analog * R;
                    const double* pc = rows.data() + gp.pc * R;
                    const double* av = vars.data() + gp.analog * R;
                    const double* pv = vars.data() + gp.pc * R;
                    const double floor = gp.min_analog_snr * out.background_std[t * C + gp.analog];
                    const Fit fit = glue_fit_row({a, R}, {pc, R}, gp.params.low, gp.params.high,
                                                 gp.params.begin, gp.params.end,
                                                 std::isnan(floor) ? -std::numeric_limits<double>::infinity()
                                                                   : floor);
                    out.fits[t * P + p] = fit;
                    double* o = rows.data() + (C + p) * R;
                    double* ov = vars.data() + (C + p) * R;
                    const double s2 = fit.slope * fit.slope;
                    bool has_nan = false;
                    for (std::size_t k = 0; k < R; ++k) {
                        const bool counting = std::isfinite(pc[k]) && pc[k] <= gp.params.high;
                        o[k] = counting ? pc[k] : fit.slope * a[k] + fit.offset;
                        ov[k] = counting ? pv[k] : s2 * av[k];
                        has_nan |= o[k] != o[k];
                    }
                    row_has_nan[C + p] = has_nan;
                }
                if (single) break;  // the rows are the result
                for (std::size_t c = 0; c < OC; ++c) {
                    const std::size_t source = c < C ? c : ch.pairs[c - C].pc;
                    const double w = ch.weights[t * C + source], w2 = w * w;
                    const double* row = rows.data() + c * R;
                    const double* vrow = vars.data() + c * R;
                    double* ws = w_sum.data() + c * R;
                    double* sx = wx.data() + c * R;
                    double* sv = w2v.data() + c * R;
                    if (!per_bin[c]) {
                        if (row_has_nan[c]) {
                            per_bin[c] = true;
                            std::fill(ws, ws + R, totals[c]);
                        }
                    }
                    totals[c] += w;
                    if (per_bin[c]) {
                        for (std::size_t k = 0; k < R; ++k) {
                            const double x = row[k];
                            const bool ok = x == x;
                            ws[k] += ok ? w : 0.0;
                            sx[k] += ok ? w * x : 0.0;
                            sv[k] += ok ? w2 * vrow[k] : 0.0;
                        }
                    } else {
                        for (std::size_t k = 0; k < R; ++k) {
                            sx[k] += w * row[k];
                            sv[k] += w2 * vrow[k];
                        }
                    }
                }
            }
            for (std::size_t c = 0; c < OC; ++c) {
                double* row = rows.data() + c * R;
                double* nrow = vars.data() + c * R;  // becomes the noise (standard deviation)
                double* o = out.signal.data() + (g * OC + c) * OR;
                double* on = out.noise.data() + (g * OC + c) * OR;
                if (!single && ch.merge == 1) {
                    // The means straight into the output, scaled there: one pass.
                    out.weight_sum[g * OC + c] = totals[c];
                    const double* ws = per_bin[c] ? w_sum.data() + c * R : nullptr;
                    const double* sx = wx.data() + c * R;
                    const double* sv = w2v.data() + c * R;
                    const double* f = ch.factor.empty() ? nullptr : ch.factor.data();
                    for (std::size_t k = 0; k < R; ++k) {
                        const double w = ws ? ws[k] : totals[c];
                        double x = w > 0.0 ? sx[k] / w : nan;
                        double e = w > 0.0 ? std::sqrt(sv[k]) / w : nan;
                        if (f) {
                            x *= f[k];
                            e *= std::fabs(f[k]);
                        }
                        o[k] = x;
                        on[k] = e;
                    }
                    continue;
                }
                if (single) {
                    const std::size_t source = c < C ? c : ch.pairs[c - C].pc;
                    out.weight_sum[g * OC + c] = ch.weights[ch.starts[g] * C + source];
                    for (std::size_t k = 0; k < R; ++k) nrow[k] = std::sqrt(nrow[k]);
                } else {
                    out.weight_sum[g * OC + c] = totals[c];
                    double* ws = w_sum.data() + c * R;
                    const double* sx = wx.data() + c * R;
                    const double* sv = w2v.data() + c * R;
                    if (!per_bin[c]) std::fill(ws, ws + R, totals[c]);
                    for (std::size_t k = 0; k < R; ++k) {
                        row[k] = ws[k] > 0.0 ? sx[k] / ws[k] : nan;
                        nrow[k] = ws[k] > 0.0 ? std::sqrt(sv[k]) / ws[k] : nan;
                    }
                }
                if (ch.merge > 1) {
                    merge_row({row, R}, {nrow, R}, ch.merge, {o, OR}, {on, OR});
                } else {
                    std::copy_n(row, R, o);
                    std::copy_n(nrow, R, on);
                }
                if (!ch.factor.empty())
                    for (std::size_t k = 0; k < OR; ++k) {
                        o[k] *= ch.factor[k];
                        on[k] *= std::fabs(ch.factor[k]);
                    }
            }
        }
    });
}

}  // namespace aerolume::corrections
