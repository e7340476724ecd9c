#include "retrieval_uncertainty.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "monte_carlo.h"
#include "random.h"

namespace aerolume {

void klett_fernald_monte_carlo(const KlettInputs& in, const NoiseModel& noise,
                               const MonteCarloSettings& settings, double* backscatter_sd,
                               double* extinction_sd, unsigned threads) {
    const std::size_t n = in.gates;
    if (in.profiles == 0 || n == 0) return;
    std::optional<KlettGrid> shared;
    if (in.shared_grid()) shared.emplace(in.profile(0));
    // A thread's scratch: the inversion's work and the grid of its current profile when
    // the profiles do not share one.
    struct State {
        std::vector<double> work;
        std::optional<KlettGrid> own;
        std::size_t profile = static_cast<std::size_t>(-1);
    };
    auto make_state = [&] { return State{std::vector<double>(4 * n), std::nullopt}; };
    auto realise = [&](State& state, std::size_t p, std::size_t, RandomStream& rng,
                       double* out) {
        KlettProfile profile = in.profile(p);
        if (!shared && state.profile != p) {
            state.own.emplace(profile);
            state.profile = p;
        }
        const KlettGrid& grid = shared ? *shared : *state.own;
        double* work = state.work.data();
        // The systematic draws first, then the noise, always in this order.
        const double g_lidar_ratio = rng.normal();
        const double g_reference = rng.normal();
        profile.lidar_ratio_offset = settings.lidar_ratio_sd * g_lidar_ratio;
        profile.reference_value += settings.reference_value_sd * g_reference;
        double* noisy = work + 3 * n;
        noise.draw(profile.signal, n, p, rng, noisy);
        profile.signal = noisy;
        klett_fernald_profile(profile, grid, out, out + n, work);
    };
    double* sd[2] = {backscatter_sd, extinction_sd};
    monte_carlo::robust_spread(in.profiles, n, 2, settings.realisations, settings.seed, threads,
                               make_state, realise, sd, nullptr);
}

void raman_monte_carlo(const RamanInputs& in, const NoiseModel& elastic_noise,
                       const NoiseModel& raman_noise, const MonteCarloSettings& settings,
                       RamanProducts products, double* extinction_sd, double* backscatter_sd,
                       double* lidar_ratio_sd, double* failed, unsigned threads) {
    const std::size_t n = in.gates;
    auto make_state = [&] { return std::vector<double>(9 * n); };
    auto realise = [&](std::vector<double>& state, std::size_t p, std::size_t,
                       RandomStream& rng, double* out) {
        double* work = state.data();
        // The systematic draws first, then the noise, always in this order.
        const double angstrom = in.angstrom[p] + settings.angstrom_sd * rng.normal();
        const double g_reference = rng.normal();
        const double reference_value =
            products.backscatter ? in.reference_value[p] + settings.reference_value_sd * g_reference
                                 : 0.0;
        double* raman = work + 7 * n;
        double* elastic = work + 8 * n;
        double* extinction = out;
        double* backscatter = out + n;
        double* lidar_ratio = out + 2 * n;
        raman_noise.draw(in.raman_signal.row(p), n, p, rng, raman);
        if (products.backscatter) elastic_noise.draw(in.elastic_signal.row(p), n, p, rng, elastic);
        if (products.extinction) {
            RamanExtinctionProfile e = in.extinction_profile(p);
            e.raman_signal = raman;
            e.angstrom = angstrom;
            e.raman_noise = nullptr;
            raman_extinction_profile(e, extinction, nullptr, work);
        } else {
            std::fill(extinction, extinction + n, 0.0);
        }
        if (products.backscatter) {
            RamanBackscatterProfile b = in.backscatter_profile(p);
            b.elastic_signal = elastic;
            b.raman_signal = raman;
            b.angstrom = angstrom;
            b.reference_value = reference_value;
            if (products.extinction) b.extinction = extinction;
            raman_backscatter_profile(b, backscatter, work);
        } else {
            std::fill(backscatter, backscatter + n, 0.0);
        }
        for (std::size_t i = 0; i < n; ++i)
            lidar_ratio[i] = products.extinction && products.backscatter
                                 ? extinction[i] / backscatter[i]
                                 : 0.0;
    };
    double* sd[3] = {extinction_sd, backscatter_sd, lidar_ratio_sd};
    monte_carlo::robust_spread(in.profiles, n, 3, settings.realisations, settings.seed, threads,
                               make_state, realise, sd, failed);
}

}  // namespace aerolume
