#include "simulate.h"

#include <cmath>
#include <vector>

#include "parallel.h"
#include "random.h"

namespace aerolume {

void lidar_signal(const ForwardInputs& in, double* signal, unsigned threads) {
    const std::size_t n = in.gates;
    parallel_for(in.profiles, threads, [&](std::size_t begin, std::size_t end) {
        std::vector<double> depth(n);
        for (std::size_t p = begin; p < end; ++p) {
            const double* r = in.range.row(p);
            const double* beta = in.backscatter.row(p);
            const double* alpha = in.extinction_two_way.row(p);
            const double* overlap = in.overlap.empty() ? nullptr : in.overlap.row(p);
            cumulative_trapezoid(alpha, r, n, depth.data());
            const double below = n ? alpha[0] * r[0] : 0.0;
            double* out = signal + p * n;
            for (std::size_t i = 0; i < n; ++i) {
                const double o = overlap ? overlap[i] : 1.0;
                out[i] = in.constant[p] * o * beta[i] / (r[i] * r[i]) *
                         std::exp(-(below + depth[i]));
            }
        }
    });
}

void add_noise(const double* signal, std::size_t profiles, std::size_t gates,
               const NoiseModel& noise, std::uint64_t seed, double* out, unsigned threads) {
    parallel_for(profiles, threads, [&](std::size_t begin, std::size_t end) {
        for (std::size_t p = begin; p < end; ++p) {
            RandomStream rng(seed, p);
            noise.draw(signal + p * gates, gates, p, rng, out + p * gates);
        }
    });
}

}  // namespace aerolume
