// A seeded, portable random-number stream for the forward model and the Monte Carlo
// uncertainties.
//
// Every stream is keyed by (seed, stream, substream): a profile and a realisation each get
// their own stream, so the numbers a profile sees never depend on which thread draws them
// or on how many profiles are drawn at once.  The generator is xoshiro256** (Blackman and
// Vigna 2018) started from the key through SplitMix64; normal deviates by Marsaglia and
// Tsang's ziggurat (2000); Poisson deviates by inversion for small means and by
// Hörmann's (1993) transformed rejection (PTRS) for means of 10 and above.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace aerolume {

// Marsaglia and Tsang's (2000) ziggurat of the standard normal density f(x) = exp(-x^2/2):
// 128 strips of equal area V, strip 0 the base (width V / f(R), the tail beyond R
// included), strip i >= 1 between heights f(x[i]) and f(x[i + 1]) and of width x[i].
struct Ziggurat {
    static constexpr int strips = 128;
    static constexpr double r = 3.442619855899;
    static constexpr double v = 9.91256303526217e-3;
    double x[strips + 1];
    double f[strips + 1];

    Ziggurat();
};

// The one table, built when the library is loaded: reading it costs no call and no
// guard on every draw.
inline const Ziggurat ziggurat_table{};

// What the Poisson sampler needs of a mean, worked out once for many draws of that mean
// (a Monte Carlo redraws each gate's counts in every realisation): for inversion (mean
// under 10) exp(-mean), for the transformed rejection its constants.
struct PoissonSampler {
    double mean = 0.0;  // NaN or negative: every draw is NaN
    double exp_minus_mean = 0.0;
    double log_mean = 0.0, b = 0.0, a = 0.0, v_r = 0.0, log_inv_alpha = 0.0;

    PoissonSampler() = default;
    explicit PoissonSampler(double mean);
};

class RandomStream {
public:
    RandomStream(std::uint64_t seed, std::uint64_t stream, std::uint64_t substream = 0);

    // 64 random bits (xoshiro256**).
    std::uint64_t next() {
        const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }
    // Uniform on [0, 1), 53 random bits.  (The shifted values fit a signed integer, whose
    // conversion to double is one instruction.)
    double uniform() {
        return static_cast<double>(static_cast<std::int64_t>(next() >> 11)) * 0x1.0p-53;
    }
    // Uniform on (0, 1).
    double uniform_open() {
        return (static_cast<double>(static_cast<std::int64_t>(next() >> 12)) + 0.5) * 0x1.0p-52;
    }
    // Standard normal deviate.
    double normal() {
        const Ziggurat& z = ziggurat_table;
        for (;;) {
            const std::uint64_t bits = next();
            const int i = static_cast<int>(bits & 0x7f);  // the strip: the low 7 bits
            // The top 53 bits k, uniform on [-1, 1) as (k - 2^52) 2^-52 (exact, and equal
            // to 2 k 2^-53 - 1).
            const double u =
                static_cast<double>(static_cast<std::int64_t>(bits >> 11) - (std::int64_t{1} << 52)) *
                0x1.0p-52;
            const double value = u * z.x[i];
            if (std::fabs(value) < z.x[i + 1]) return value;  // inside the strip's rectangle
            const double edge = normal_edge(i, u, value);
            if (edge == edge) return edge;  // NaN: rejected, draw again
        }
    }
    // out[0 .. n) = n standard normal deviates: the numbers normal() would give n times,
    // drawn with the generator's state held in registers.
    void normals(double* out, std::size_t n) {
        const Ziggurat& z = ziggurat_table;
        std::uint64_t s0 = s_[0], s1 = s_[1], s2 = s_[2], s3 = s_[3];
        for (std::size_t k = 0; k < n; ++k) {
            for (;;) {
                const std::uint64_t bits = rotl(s1 * 5, 7) * 9;
                const std::uint64_t t = s1 << 17;
                s2 ^= s0;
                s3 ^= s1;
                s1 ^= s2;
                s0 ^= s3;
                s2 ^= t;
                s3 = rotl(s3, 45);
                const int i = static_cast<int>(bits & 0x7f);
                const double u = static_cast<double>(static_cast<std::int64_t>(bits >> 11) -
                                                     (std::int64_t{1} << 52)) *
                                 0x1.0p-52;
                const double value = u * z.x[i];
                if (std::fabs(value) < z.x[i + 1]) {
                    out[k] = value;
                    break;
                }
                s_[0] = s0, s_[1] = s1, s_[2] = s2, s_[3] = s3;
                const double edge = normal_edge(i, u, value);
                s0 = s_[0], s1 = s_[1], s2 = s_[2], s3 = s_[3];
                if (edge == edge) {
                    out[k] = edge;
                    break;
                }
            }
        }
        s_[0] = s0, s_[1] = s1, s_[2] = s2, s_[3] = s3;
    }
    // Poisson deviate of mean `mean` (>= 0; NaN or negative means give NaN).
    double poisson(double mean) { return poisson(PoissonSampler(mean)); }
    // The same, the mean's constants worked out beforehand (the same numbers).
    double poisson(const PoissonSampler& sampler);

private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    // The rare draws outside a strip's rectangle: the tail, or the wedge test (NaN when
    // rejected).
    double normal_edge(int strip, double u, double value);

    std::uint64_t s_[4];
};

// log(k!) for k >= 0.
double log_factorial(double k);

}  // namespace aerolume
