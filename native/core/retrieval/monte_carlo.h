// The spread of Monte Carlo realisations, the same whatever the thread count: standard
// deviations per gate summed in one pass (spread), or robust spreads over the realisations
// that succeed, every realisation kept (robust_spread).
//
// Shared by the Monte Carlo uncertainties of the retrievals (retrieval_uncertainty.cpp) and
// of the depolarisation ratios (depolarization.cpp).  Realisation j of profile p draws
// from the stream (seed, p, j + 1) alone, or, given a seed per profile, from
// (seeds[p], 0, j + 1): the stream of that profile retrieved alone with its own seed, so a
// block of profiles with their own seeds draws what one call per profile would.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "parallel.h"
#include "random.h"

namespace aerolume::monte_carlo {

// The spread of each product at each gate is summed in one pass as the realisations come,
// without keeping them: the deviations d = v - v_0 from realisation 0's value and their
// squares (v_0 is close to the mean, so the variance (Σd² - (Σd)² / N) / (N - 1) loses
// no accuracy to cancellation).  Realisations are summed in chunks of `chunk_size`, in their
// order within a chunk, and the chunks' sums are added to the totals in chunk order: the
// same arithmetic whether one thread runs them all or several share the chunks, so the
// results do not depend on the thread count nor on how the profiles are grouped.
inline constexpr std::size_t chunk_size = 4;

// For each wanted product o (sd[o] non-null): sums += row - shift and squares +=
// (row - shift)^2 at its gates, sums[0 .. size) holding the deviations' sums of all
// products and sums[size .. 2 size) their squares'.
inline void add(const double* row, const double* shift, double* sums, std::size_t gates,
                std::size_t outputs, double* const* sd) {
    const std::size_t size = outputs * gates;
    for (std::size_t o = 0; o < outputs; ++o) {
        if (!sd[o]) continue;
        const std::size_t at = o * gates;
        const double* v = row + at;
        const double* v0 = shift + at;
        double* sum = sums + at;
        double* squares = sums + size + at;
        for (std::size_t g = 0; g < gates; ++g) {
            const double d = v[g] - v0[g];
            sum[g] += d;
            squares[g] += d * d;
        }
    }
}

inline void join(const double* chunk, double* totals, std::size_t size) {
    for (std::size_t g = 0; g < 2 * size; ++g) totals[g] += chunk[g];
}

// The standard deviation of each wanted product (sd[o] non-null, its row at `offset`)
// from the totals of `realisations` deviations.  NaN wherever a realisation was NaN.
inline void finish(const double* totals, std::size_t realisations, std::size_t gates,
                   std::size_t outputs, double* const* sd, std::size_t offset) {
    const std::size_t size = outputs * gates;
    const double count = static_cast<double>(realisations);
    for (std::size_t o = 0; o < outputs; ++o) {
        if (!sd[o]) continue;
        const double* sums = totals + o * gates;
        const double* squares = totals + size + o * gates;
        double* out = sd[o] + offset;
        for (std::size_t g = 0; g < gates; ++g) {
            const double variance = (squares[g] - sums[g] * (sums[g] / count)) / (count - 1.0);
            out[g] = std::sqrt(variance < 0.0 ? 0.0 : variance);  // NaN stays NaN
        }
    }
}

// Runs realise(state, p, j, rng, out) for every profile p and realisation j, out holding
// the realisation's `outputs` products (outputs x gates), and writes each product's
// standard deviation over the realisations to sd[o] (profiles x gates).  `State` is the
// per-thread scratch a realisation needs (made by make_state()).  With at least as many
// profiles as threads, each thread takes whole profiles (one parallel region, so a thread
// the system holds back delays the call once, not at every step); with fewer, the chunks
// of realisations of each profile are shared out.
template <class MakeState, class Realise>
void spread(std::size_t profiles, std::size_t gates, std::size_t outputs,
            std::size_t realisations, std::uint64_t seed, unsigned threads,
            MakeState&& make_state, Realise&& realise, double* const* sd,
            const std::uint64_t* seeds = nullptr) {
    const std::size_t size = outputs * gates;
    if (profiles == 0 || size == 0 || realisations == 0) return;
    const std::size_t chunks = (realisations + chunk_size - 1) / chunk_size;
    auto draw = [&](auto& state, std::size_t p, std::size_t j, double* out) {
        RandomStream rng = seeds ? RandomStream(seeds[p], 0, j + 1) : RandomStream(seed, p, j + 1);
        realise(state, p, j, rng, out);
    };
    // Chunk k of profile p: its sums (2 size) from zero; realisation 0 is the shift itself.
    auto run_chunk = [&](auto& state, std::size_t p, std::size_t k, const double* shift,
                         double* row, double* sums) {
        check_cancel();
        std::fill(sums, sums + 2 * size, 0.0);
        const std::size_t last = std::min(realisations, (k + 1) * chunk_size);
        for (std::size_t j = k * chunk_size; j < last; ++j) {
            if (j == 0) {
                add(shift, shift, sums, gates, outputs, sd);  // zeros, or NaN where it failed
                continue;
            }
            draw(state, p, j, row);
            add(row, shift, sums, gates, outputs, sd);
        }
    };
    if (profiles >= resolve_threads(threads, static_cast<std::size_t>(-1))) {
        parallel_for(profiles, threads, [&](std::size_t begin, std::size_t end) {
            auto state = make_state();
            std::vector<double> shift(size), row(size), sums(2 * size), totals(2 * size);
            for (std::size_t p = begin; p < end; ++p) {
                draw(state, p, 0, shift.data());
                std::fill(totals.begin(), totals.end(), 0.0);
                for (std::size_t k = 0; k < chunks; ++k) {
                    run_chunk(state, p, k, shift.data(), row.data(), sums.data());
                    join(sums.data(), totals.data(), size);
                }
                finish(totals.data(), realisations, gates, outputs, sd, p * gates);
            }
        });
        return;
    }
    // Few profiles: the chunks of each shared out in waves (all of them at once for up to
    // 256 realisations), each chunk's sums kept until the wave is joined in order.
    const std::size_t wave = std::min<std::size_t>(
        chunks, std::max<std::size_t>(64, 4 * resolve_threads(threads, chunks)));
    std::vector<double> shift(size), totals(2 * size), sums(wave * 2 * size);
    auto state = make_state();
    for (std::size_t p = 0; p < profiles; ++p) {
        draw(state, p, 0, shift.data());
        std::fill(totals.begin(), totals.end(), 0.0);
        for (std::size_t first = 0; first < chunks; first += wave) {
            const std::size_t count = std::min(wave, chunks - first);
            parallel_for(count, threads, [&](std::size_t begin, std::size_t end) {
                auto own = make_state();
                std::vector<double> row(size);
                for (std::size_t k = begin; k < end; ++k)
                    run_chunk(own, p, first + k, shift.data(), row.data(),
                              sums.data() + k * 2 * size);
            });
            for (std::size_t k = 0; k < count; ++k) join(sums.data() + k * 2 * size, totals.data(), size);
        }
        finish(totals.data(), realisations, gates, outputs, sd, p * gates);
    }
}

// The robust spread of one gate's realisations v[0 .. count): the standard deviation of
// the finite values (plain_spreads() below, for a tile of gates at once), or, where one of
// them lies more than 4 of it from their mean, of those within 5 robust standard
// deviations (1.4826 x the median absolute deviation) of their median (robust_clip()).
// For normal deviates it is the plain standard deviation (the clip drops under 1e-6 of
// them); a realisation that failed (NaN, a non-positive Raman signal in one window) or
// went wild (a near-zero signal under a logarithm) leaves the others' spread intact.  NaN
// with fewer than 3 finite values.
//
// robust_clip(): the clipped spread, in realisation order (deterministic); `scratch` holds
// `count` doubles.
//
// select_nth(): what std::nth_element does for finite values (x[k] the k-th smallest, none
// above it before it, none below it after it), by quickselect with partitions that move
// values without a branch on them: a gate's realisations are in no order, so the
// comparisons of a partition go either way at random, and each wrong guess of the
// processor's costs more than the comparison (the clipped spreads were half the time of a
// Raman Monte Carlo).  The median it gives is the same value whatever the method.
inline void select_nth(double* x, std::size_t size, std::size_t k) {
    std::size_t lo = 0, hi = size;  // x[k] lies in [lo, hi)
    while (hi - lo > 2) {
        // The median of the first, middle and last as the pivot, put last.
        const std::size_t mid = lo + (hi - lo) / 2, last = hi - 1;
        if (x[mid] < x[lo]) std::swap(x[mid], x[lo]);
        if (x[last] < x[mid]) std::swap(x[last], x[mid]);
        if (x[mid] < x[lo]) std::swap(x[mid], x[lo]);
        std::swap(x[mid], x[last]);
        const double pivot = x[last];
        // x[lo, below) < pivot <= x[below, j): each value goes to x[below] and the value
        // there to x[j] (the same where they are one), `below` moving on past it if less.
        std::size_t below = lo;
        for (std::size_t j = lo; j < last; ++j) {
            const double value = x[j];
            x[j] = x[below];
            x[below] = value;
            below += static_cast<std::size_t>(value < pivot);
        }
        std::swap(x[below], x[last]);
        if (k == below) return;
        if (k < below) {
            hi = below;
        } else {
            lo = below + 1;
        }
    }
    if (hi - lo == 2 && x[lo + 1] < x[lo]) std::swap(x[lo], x[lo + 1]);
}

inline double robust_clip(const double* v, std::size_t count, double* scratch) {
    std::size_t m = 0;
    for (std::size_t j = 0; j < count; ++j)
        if (std::isfinite(v[j])) scratch[m++] = v[j];
    if (m < 3) return std::numeric_limits<double>::quiet_NaN();
    auto median = [](double* x, std::size_t size) {
        const std::size_t half = size / 2;
        select_nth(x, size, half);
        const double upper = x[half];
        if (size % 2) return upper;
        return 0.5 * (upper + *std::max_element(x, x + half));
    };
    const double centre = median(scratch, m);
    for (std::size_t j = 0; j < m; ++j) scratch[j] = std::fabs(scratch[j] - centre);
    const double limit = 5.0 * 1.4826 * median(scratch, m);
    // The kept values, in realisation order: their mean and spread (deterministic).
    std::size_t n = 0;
    for (std::size_t j = 0; j < count; ++j)
        if (std::isfinite(v[j]) && (limit == 0.0 || std::fabs(v[j] - centre) <= limit))
            scratch[n++] = v[j];
    if (n < 3) return std::numeric_limits<double>::quiet_NaN();
    double kept_sum = 0.0;
    for (std::size_t j = 0; j < n; ++j) kept_sum += scratch[j];
    const double kept_mean = kept_sum / static_cast<double>(n);
    double kept_squares = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        const double d = scratch[j] - kept_mean;
        kept_squares += d * d;
    }
    return std::sqrt(kept_squares / static_cast<double>(n - 1));
}

inline constexpr std::size_t robust_tile = 32;

#if defined(__GNUC__)
// Two doubles side by side (GCC's and Clang's vector extension; SSE2 on x86-64, NEON on
// AArch64): element-wise arithmetic with the scalar's rounding.
using f64x2 = double __attribute__((vector_size(16)));
using i64x2 = std::int64_t __attribute__((vector_size(16)));
#endif

// The plain spread of `width` gates at once, the gates' values v[j * stride + g]
// (realisation j, gate g): for each gate its number of finite values, their standard
// deviation (NaN with fewer than 3) and their largest distance from their mean, each
// gate's sums taken in realisation order.  A value left
// out adds +0.0 to a sum that starts at +0.0 (and so is never -0.0), which changes
// nothing, so that two gates go side by side without a branch.
inline void plain_spreads(const double* v, std::size_t stride, std::size_t count,
                          std::size_t width, double* finite, double* plain, double* largest) {
    std::size_t g = 0;
#if defined(__GNUC__)
    const f64x2 zero = {0.0, 0.0}, one = {1.0, 1.0};
    const i64x2 magnitude = {INT64_MAX, INT64_MAX};  // all bits but the sign
    for (; g + 2 <= width; g += 2) {
        f64x2 sum = zero, n = zero;
        for (std::size_t j = 0; j < count; ++j) {
            f64x2 x;
            std::memcpy(&x, v + j * stride + g, sizeof x);
            const i64x2 ok = (x - x) == zero;  // finite
            sum += (f64x2)((i64x2)x & ok);
            n += (f64x2)((i64x2)one & ok);
        }
        const f64x2 mean = sum / n;
        f64x2 squares = zero, far = zero;
        for (std::size_t j = 0; j < count; ++j) {
            f64x2 x;
            std::memcpy(&x, v + j * stride + g, sizeof x);
            const i64x2 ok = (x - x) == zero;
            const f64x2 d = (f64x2)((i64x2)(x - mean) & ok);
            squares += d * d;
            const f64x2 size = (f64x2)((i64x2)d & magnitude);
            const i64x2 above = far < size;  // std::max(far, size)
            far = (f64x2)(((i64x2)size & above) | ((i64x2)far & ~above));
        }
        for (int k = 0; k < 2; ++k) {
            finite[g + k] = n[k];
            largest[g + k] = far[k];
            plain[g + k] = n[k] < 3.0 ? std::numeric_limits<double>::quiet_NaN()
                                      : std::sqrt(squares[k] / (n[k] - 1.0));
        }
    }
#endif
    for (; g < width; ++g) {
        double sum = 0.0, n = 0.0;
        for (std::size_t j = 0; j < count; ++j) {
            const double x = v[j * stride + g];
            const bool ok = x - x == 0.0;
            sum += ok ? x : 0.0;
            n += ok ? 1.0 : 0.0;
        }
        const double mean = sum / n;
        double squares = 0.0, far = 0.0;
        for (std::size_t j = 0; j < count; ++j) {
            const double x = v[j * stride + g];
            const double d = x - x == 0.0 ? x - mean : 0.0;
            squares += d * d;
            far = std::max(far, std::fabs(d));
        }
        finite[g] = n;
        largest[g] = far;
        plain[g] = n < 3.0 ? std::numeric_limits<double>::quiet_NaN()
                           : std::sqrt(squares / (n - 1.0));
    }
}

// As spread(), but every realisation is kept (realisations x outputs x gates per profile,
// each at its own index, so the thread count cannot change the results) and each gate's
// spread is the robust spread of them; failed[p * gates + g] (when not null) receives the number
// of realisations in which any wanted product is not finite at gate g.
template <class MakeState, class Realise>
void robust_spread(std::size_t profiles, std::size_t gates, std::size_t outputs,
                   std::size_t realisations, std::uint64_t seed, unsigned threads,
                   MakeState&& make_state, Realise&& realise, double* const* sd,
                   double* failed, const std::uint64_t* seeds = nullptr) {
    const std::size_t size = outputs * gates;
    if (profiles == 0 || size == 0 || realisations == 0) return;
    auto draw = [&](auto& state, std::size_t p, std::size_t j, double* out) {
        RandomStream rng = seeds ? RandomStream(seeds[p], 0, j + 1) : RandomStream(seed, p, j + 1);
        realise(state, p, j, rng, out);
    };
    // Gates [first, last) of profile p from its kept realisations, a tile of gates at a
    // time: plain_spreads() of the tile, read realisation by realisation (contiguous
    // reads); a gate where that is not the answer (an outlier to clip) has its values
    // gathered into `column` for robust_clip().
    auto finish_gates = [&](std::size_t p, const double* kept, std::size_t first,
                            std::size_t last, double* column, double* scratch) {
        double finite[robust_tile], plain[robust_tile], largest[robust_tile];
        for (std::size_t t0 = first; t0 < last; t0 += robust_tile) {
            const std::size_t t1 = std::min(last, t0 + robust_tile);
            for (std::size_t g = t0; g < t1; ++g)
                if (failed) failed[p * gates + g] = 0.0;
            for (std::size_t o = 0; o < outputs; ++o) {
                if (!sd[o]) continue;
                plain_spreads(kept + o * gates + t0, size, realisations, t1 - t0, finite, plain,
                              largest);
                for (std::size_t g = t0; g < t1; ++g) {
                    const std::size_t k = g - t0;
                    double value = plain[k];
                    if (finite[k] >= 3.0 && !(largest[k] <= 4.0 * plain[k])) {
                        for (std::size_t j = 0; j < realisations; ++j)
                            column[j] = kept[j * size + o * gates + g];
                        value = robust_clip(column, realisations, scratch);
                    }
                    sd[o][p * gates + g] = value;
                    if (failed)
                        failed[p * gates + g] = std::max(
                            failed[p * gates + g], static_cast<double>(realisations) - finite[k]);
                }
            }
        }
    };
    if (profiles >= resolve_threads(threads, static_cast<std::size_t>(-1))) {
        parallel_for(profiles, threads, [&](std::size_t begin, std::size_t end) {
            auto state = make_state();
            std::vector<double> kept(realisations * size), column(realisations),
                scratch(realisations);
            for (std::size_t p = begin; p < end; ++p) {
                for (std::size_t j = 0; j < realisations; ++j) {
                    if (j % 4 == 0) check_cancel();
                    draw(state, p, j, kept.data() + j * size);
                }
                finish_gates(p, kept.data(), 0, gates, column.data(), scratch.data());
            }
        });
        return;
    }
    // Few profiles: each profile's realisations shared out over the threads.
    std::vector<double> kept(realisations * size);
    for (std::size_t p = 0; p < profiles; ++p) {
        parallel_for(realisations, threads, [&](std::size_t begin, std::size_t end) {
            auto own = make_state();
            for (std::size_t j = begin; j < end; ++j) {
                if (j % 4 == 0) check_cancel();
                draw(own, p, j, kept.data() + j * size);
            }
        });
        parallel_for(gates, threads, [&](std::size_t begin, std::size_t end) {
            std::vector<double> column(realisations), scratch(realisations);
            finish_gates(p, kept.data(), begin, end, column.data(), scratch.data());
        });
    }
}

}  // namespace aerolume::monte_carlo
