#include "retrieval_uncertainty.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "parallel.h"
#include "random.h"

namespace aerolume {

namespace {

// The robust spread of one gate's realisations v[0 .. count): the standard deviation of
// the finite values within 5 robust standard deviations (1.4826 x the median absolute
// deviation) of their median.  For normal deviates it is the plain standard deviation (the
// clip drops under 1e-6 of them); a realisation that failed (NaN, a non-positive Raman
// signal in one window) or went wild (a near-zero signal under a logarithm) leaves the
// others' spread intact.  `scratch` holds `count` doubles; *finite receives the number of
// finite values.  NaN with fewer than 3 finite values.
double robust_sd(const double* v, std::size_t count, double* scratch, std::size_t* finite) {
    std::size_t m = 0;
    for (std::size_t j = 0; j < count; ++j)
        if (std::isfinite(v[j])) scratch[m++] = v[j];
    *finite = m;
    if (m < 3) return std::numeric_limits<double>::quiet_NaN();
    auto median = [](double* x, std::size_t size) {
        const std::size_t half = size / 2;
        std::nth_element(x, x + half, x + size);
        const double upper = x[half];
        if (size % 2) return upper;
        return 0.5 * (upper + *std::max_element(x, x + half));
    };
    const double centre = median(scratch, m);
    for (std::size_t j = 0; j < m; ++j) scratch[j] = std::fabs(scratch[j] - centre);
    const double limit = 5.0 * 1.4826 * median(scratch, m);
    // The kept values' mean and spread, in realisation order (deterministic).
    double sum = 0.0;
    std::size_t kept = 0;
    for (std::size_t j = 0; j < count; ++j)
        if (std::isfinite(v[j]) && (limit == 0.0 || std::fabs(v[j] - centre) <= limit)) {
            sum += v[j];
            ++kept;
        }
    if (kept < 3) return std::numeric_limits<double>::quiet_NaN();
    const double mean = sum / static_cast<double>(kept);
    double squares = 0.0;
    for (std::size_t j = 0; j < count; ++j)
        if (std::isfinite(v[j]) && (limit == 0.0 || std::fabs(v[j] - centre) <= limit)) {
            const double d = v[j] - mean;
            squares += d * d;
        }
    return std::sqrt(squares / static_cast<double>(kept - 1));
}

// As spread(), but every realisation is kept (realisations x outputs x gates per profile,
// each at its own index, so the thread count cannot change the results) and each gate's
// spread is robust_sd() of them; failed[p * gates + g] (when not null) receives the number
// of realisations in which any wanted product is not finite at gate g.
template <class MakeState, class Realise>
void robust_spread(std::size_t profiles, std::size_t gates, std::size_t outputs,
                   const MonteCarloSettings& settings, unsigned threads, MakeState&& make_state,
                   Realise&& realise, double* const* sd, double* failed) {
    const std::size_t realisations = settings.realisations;
    const std::size_t size = outputs * gates;
    if (profiles == 0 || size == 0 || realisations == 0) return;
    auto draw = [&](auto& state, std::size_t p, std::size_t j, double* out) {
        RandomStream rng(settings.seed, p, j + 1);
        realise(state, p, j, rng, out);
    };
    // Gates [first, last) of profile p from its kept realisations.
    auto finish_gates = [&](std::size_t p, const double* kept, std::size_t first,
                            std::size_t last, double* column, double* scratch) {
        for (std::size_t g = first; g < last; ++g) {
            std::size_t worst = 0;
            for (std::size_t o = 0; o < outputs; ++o) {
                if (!sd[o]) continue;
                const std::size_t at = o * gates + g;
                for (std::size_t j = 0; j < realisations; ++j) column[j] = kept[j * size + at];
                std::size_t finite = 0;
                sd[o][p * gates + g] = robust_sd(column, realisations, scratch, &finite);
                worst = std::max(worst, realisations - finite);
            }
            if (failed) failed[p * gates + g] = static_cast<double>(worst);
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

}  // namespace

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
    robust_spread(in.profiles, n, 2, settings, threads, make_state, realise, sd, nullptr);
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
    robust_spread(in.profiles, n, 3, settings, threads, make_state, realise, sd, failed);
}

}  // namespace aerolume
