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

#include <cstdint>

namespace aerolume {

class RandomStream {
public:
    RandomStream(std::uint64_t seed, std::uint64_t stream, std::uint64_t substream = 0);

    // 64 random bits.
    std::uint64_t next();
    // Uniform on [0, 1), 53 random bits.
    double uniform();
    // Uniform on (0, 1).
    double uniform_open();
    // Standard normal deviate.
    double normal();
    // Poisson deviate of mean `mean` (>= 0; NaN or negative means give NaN).
    double poisson(double mean);

private:
    std::uint64_t s_[4];
};

// log(k!) for k >= 0.
double log_factorial(double k);

}  // namespace aerolume
