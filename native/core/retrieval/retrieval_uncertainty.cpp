#include "retrieval_uncertainty.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "monte_carlo.h"
#include "random.h"

namespace aerolume {

namespace {
// NaN at the gates below `first` of each of `outputs` rows of `gates` values.
void blank_below(double* out, std::size_t outputs, std::size_t gates, std::size_t first) {
    for (std::size_t o = 0; o < outputs; ++o)
        std::fill(out + o * gates, out + o * gates + first,
                  std::numeric_limits<double>::quiet_NaN());
}
}  // namespace

void klett_fernald_monte_carlo(const KlettInputs& in, const NoiseModel& noise,
                               const MonteCarloSettings& settings, double* backscatter_sd,
                               double* extinction_sd, unsigned threads) {
    const std::size_t n = in.gates;
    if (in.profiles == 0 || n == 0) return;
    const KlettGrids grids(in);
    // A thread's scratch: the inversion's work, and what its current profile's realisations
    // share: the grid when the profiles do not share one, the molecular shape of the
    // offset fit, the Poisson samplers of its signal.
    struct State {
        std::vector<double> work;
        std::optional<KlettGrid> own;
        std::optional<OffsetShape> shape;
        std::vector<PoissonSampler> samplers;
        std::size_t profile = static_cast<std::size_t>(-1);
    };
    auto make_state = [&] {
        return State{std::vector<double>(4 * n), std::nullopt, std::nullopt, {}};
    };
    auto realise = [&](State& state, std::size_t p, std::size_t, RandomStream& rng,
                       double* out) {
        KlettProfile profile = in.profile(p);
        const KlettGrid* grid = grids.find(p);
        if (state.profile != p) {
            state.own.reset();
            if (!grid) state.own.emplace(profile);
            state.shape.reset();
            if (profile.fit_offset && !profile.forward) {
                const auto [begin, end] = offset_interval(profile);
                state.shape.emplace(profile, begin, end);
            }
            noise.from(in.first_gate(p)).prepare(profile.signal, n - in.first_gate(p), p,
                                                 state.samplers);
            state.profile = p;
        }
        if (!grid) grid = &*state.own;
        const std::size_t f = in.first_gate(p);
        const std::size_t m = n - f;
        double* work = state.work.data();
        // The systematic draws first, then the noise, always in this order.
        const double g_lidar_ratio = rng.normal();
        const double g_reference = rng.normal();
        profile.lidar_ratio_offset = settings.lidar_ratio_sd * g_lidar_ratio;
        profile.reference_value += settings.reference_value_sd * g_reference;
        double* noisy = work + 3 * n;
        noise.from(f).draw(profile.signal, m, p, rng, noisy,
                           state.samplers.empty() ? nullptr : state.samplers.data());
        profile.signal = noisy;
        blank_below(out, 2, n, f);
        klett_fernald_profile(profile, *grid, out + f, out + n + f, work, nullptr,
                              state.shape ? &*state.shape : nullptr);
    };
    double* sd[2] = {backscatter_sd, extinction_sd};
    monte_carlo::robust_spread(in.profiles, n, 2, settings.realisations, settings.seed, threads,
                               make_state, realise, sd, nullptr, settings.seeds);
}

void raman_monte_carlo(const RamanInputs& in, const NoiseModel& elastic_noise,
                       const NoiseModel& raman_noise, const MonteCarloSettings& settings,
                       RamanProducts products, double* extinction_sd, double* backscatter_sd,
                       double* lidar_ratio_sd, double* failed, unsigned threads) {
    const std::size_t n = in.gates;
    // A thread's scratch, and what its current profile's realisations share: the
    // extinction's fit windows on its grid and the parabolic weights of that grid.
    struct State {
        std::vector<double> work, weights;
        RamanFitPlan plan;
        std::vector<PoissonSampler> raman, elastic;
        std::size_t profile = static_cast<std::size_t>(-1);
    };
    auto make_state = [&] { return State{std::vector<double>(9 * n), {}, {}, {}, {}}; };
    auto realise = [&](State& state, std::size_t p, std::size_t, RandomStream& rng,
                       double* out) {
        double* work = state.work.data();
        const std::size_t f = in.first_gate(p);
        const std::size_t m = n - f;
        // This profile's backscatter, where it has a reference.
        const bool backscatter_here = products.backscatter && in.has_reference(p);
        if (state.profile != p) {
            if (products.extinction)
                plan_raman_fit(in.range.row(p) + f, in.half_width.row(p) + f, m, state.plan);
            if (backscatter_here) {
                state.weights.resize(m > 1 ? 4 * (m - 1) : 0);
                parabolic_weights(in.range.row(p) + f, m, state.weights.data());
                elastic_noise.from(f).prepare(in.elastic_signal.row(p) + f, m, p, state.elastic);
            }
            raman_noise.from(f).prepare(in.raman_signal.row(p) + f, m, p, state.raman);
            state.profile = p;
        }
        // The systematic draws first, then the noise, always in this order.
        const double angstrom = in.angstrom[p] + settings.angstrom_sd * rng.normal();
        const double g_reference = rng.normal();
        const double reference_value =
            backscatter_here ? in.reference_value[p] + settings.reference_value_sd * g_reference
                             : 0.0;
        double* raman = work + 7 * n;
        double* elastic = work + 8 * n;
        blank_below(out, 3, n, f);
        double* extinction = out + f;
        double* backscatter = out + n + f;
        double* lidar_ratio = out + 2 * n + f;
        auto samplers = [](const std::vector<PoissonSampler>& v) {
            return v.empty() ? nullptr : v.data();
        };
        raman_noise.from(f).draw(in.raman_signal.row(p) + f, m, p, rng, raman,
                                 samplers(state.raman));
        if (backscatter_here)
            elastic_noise.from(f).draw(in.elastic_signal.row(p) + f, m, p, rng, elastic,
                                       samplers(state.elastic));
        if (products.extinction) {
            RamanExtinctionProfile e = in.extinction_profile(p);
            e.raman_signal = raman;
            e.angstrom = angstrom;
            e.raman_noise = nullptr;
            e.plan = &state.plan;
            raman_extinction_profile(e, extinction, nullptr, work);
        } else {
            std::fill(extinction, extinction + m, 0.0);
        }
        if (backscatter_here) {
            RamanBackscatterProfile b = in.backscatter_profile(p);
            b.elastic_signal = elastic;
            b.raman_signal = raman;
            b.angstrom = angstrom;
            b.reference_value = reference_value;
            if (products.extinction) b.extinction = extinction;
            b.weights = state.weights.data();
            raman_backscatter_profile(b, backscatter, work);
        } else {
            std::fill(backscatter, backscatter + m, 0.0);
        }
        for (std::size_t i = 0; i < m; ++i)
            lidar_ratio[i] = products.extinction && backscatter_here
                                 ? extinction[i] / backscatter[i]
                                 : 0.0;
    };
    double* sd[3] = {extinction_sd, backscatter_sd, lidar_ratio_sd};
    monte_carlo::robust_spread(in.profiles, n, 3, settings.realisations, settings.seed, threads,
                               make_state, realise, sd, failed, settings.seeds);
}

}  // namespace aerolume
