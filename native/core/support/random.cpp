#include "random.h"

#include <cmath>

namespace aerolume {

namespace {

std::uint64_t splitmix64(std::uint64_t& x) {
    std::uint64_t z = (x += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// Inversion: walk the cumulative distribution from k = 0.  For mean < 10 this takes at most
// a few dozen steps.
double poisson_inversion(RandomStream& rng, const PoissonSampler& s) {
    const double mean = s.mean;
    const double u = rng.uniform();
    double p = s.exp_minus_mean, cumulative = p;
    double k = 0.0;
    while (u > cumulative) {
        k += 1.0;
        p *= mean / k;
        const double next = cumulative + p;
        if (next == cumulative) break;  // the tail is below rounding: u sits in it
        cumulative = next;
    }
    return k;
}

// Hörmann's transformed rejection with squeeze (PTRS), for mean >= 10.
double poisson_ptrs(RandomStream& rng, const PoissonSampler& s) {
    const double mean = s.mean, a = s.a, b = s.b;
    for (;;) {
        const double u = rng.uniform() - 0.5;
        const double v = rng.uniform_open();
        const double us = 0.5 - std::fabs(u);
        const double k = std::floor((2.0 * a / us + b) * u + mean + 0.43);
        if (us >= 0.07 && v <= s.v_r) return k;
        if (k < 0.0 || (us < 0.013 && v > us)) continue;
        if (std::log(v) + s.log_inv_alpha - std::log(a / (us * us) + b) <=
            -mean + k * s.log_mean - log_factorial(k))
            return k;
    }
}

}  // namespace

RandomStream::RandomStream(std::uint64_t seed, std::uint64_t stream, std::uint64_t substream) {
    // Mix the three parts of the key one after the other, so that (seed, stream, substream)
    // and any permutation of it start different streams.
    std::uint64_t x = seed;
    std::uint64_t key = splitmix64(x);
    x = key ^ stream;
    key = splitmix64(x);
    x = key ^ substream;
    for (auto& word : s_) word = splitmix64(x);
    if ((s_[0] | s_[1] | s_[2] | s_[3]) == 0) s_[0] = 1;  // the one state xoshiro cannot leave
}

Ziggurat::Ziggurat() {
    x[0] = v / std::exp(-0.5 * r * r);
    x[1] = r;
    for (int i = 1; i < strips - 1; ++i)
        x[i + 1] = std::sqrt(-2.0 * std::log(std::exp(-0.5 * x[i] * x[i]) + v / x[i]));
    x[strips] = 0.0;
    for (int i = 0; i <= strips; ++i) f[i] = std::exp(-0.5 * x[i] * x[i]);
}

double RandomStream::normal_edge(int strip, double u, double value) {
    if (strip == 0) {
        // The tail beyond R (Marsaglia 1964).
        double a, b;
        do {
            a = -std::log(uniform_open()) / Ziggurat::r;
            b = -std::log(uniform_open());
        } while (2.0 * b < a * a);
        return u < 0.0 ? -(Ziggurat::r + a) : Ziggurat::r + a;
    }
    const Ziggurat& z = ziggurat_table;
    const double y = z.f[strip] + uniform() * (z.f[strip + 1] - z.f[strip]);
    return y < std::exp(-0.5 * value * value) ? value : std::nan("");
}

PoissonSampler::PoissonSampler(double mean_) : mean(mean_) {
    if (!(mean > 0.0) || std::isinf(mean)) return;  // no draw needs constants
    if (mean < 10.0) {
        exp_minus_mean = std::exp(-mean);
        return;
    }
    log_mean = std::log(mean);
    b = 0.931 + 2.53 * std::sqrt(mean);
    a = -0.059 + 0.02483 * b;
    const double inv_alpha = 1.1239 + 1.1328 / (b - 3.4);
    v_r = 0.9277 - 3.6224 / (b - 2.0);
    log_inv_alpha = std::log(inv_alpha);
}

double RandomStream::poisson(const PoissonSampler& sampler) {
    const double mean = sampler.mean;
    if (!(mean >= 0.0)) return std::nan("");
    if (mean == 0.0) return 0.0;
    if (std::isinf(mean)) return mean;
    return mean < 10.0 ? poisson_inversion(*this, sampler) : poisson_ptrs(*this, sampler);
}

double log_factorial(double k) {
    static const double table[10] = {0.0,
                                     0.0,
                                     0.69314718055994531,
                                     1.79175946922805500,
                                     3.17805383034794562,
                                     4.78749174278204599,
                                     6.57925121201010100,
                                     8.52516136106541430,
                                     10.60460290274525023,
                                     12.80182748008146961};
    if (k < 10.0) return table[static_cast<int>(k)];
    // Stirling's series for log Gamma(k + 1); the first omitted term is below 1e-13 here.
    const double x = k + 1.0, x2 = x * x;
    return (x - 0.5) * std::log(x) - x + 0.91893853320467274 +
           (1.0 / 12.0 - (1.0 / 360.0 - (1.0 / 1260.0 - 1.0 / (1680.0 * x2)) / x2) / x2) / x;
}

}  // namespace aerolume
