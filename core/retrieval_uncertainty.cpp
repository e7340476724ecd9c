#include "retrieval_uncertainty.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "parallel.h"
#include "random.h"

namespace aerolume {

namespace {

// The standard deviation over the realisations of each of `outputs` products of one profile,
// at gates [first, last): values[j * row + o * gates + g] is realisation j's product o at
// gate g; sd[o] + offset its output row (null: not wanted).  Summed over realisations in
// their order, each gate on its own.
void reduce(const double* values, std::size_t realisations, std::size_t gates,
            std::size_t outputs, double* const* sd, std::size_t offset, std::size_t first,
            std::size_t last, double* squares) {
    const std::size_t row = outputs * gates;
    const double count = static_cast<double>(realisations);
    for (std::size_t o = 0; o < outputs; ++o) {
        if (!sd[o]) continue;
        double* mean = sd[o] + offset;
        const double* v = values + o * gates;
        std::fill(mean + first, mean + last, 0.0);
        std::fill(squares + first, squares + last, 0.0);
        for (std::size_t j = 0; j < realisations; ++j)
            for (std::size_t g = first; g < last; ++g) mean[g] += v[j * row + g];
        for (std::size_t g = first; g < last; ++g) mean[g] /= count;
        for (std::size_t j = 0; j < realisations; ++j)
            for (std::size_t g = first; g < last; ++g) {
                const double d = v[j * row + g] - mean[g];
                squares[g] += d * d;
            }
        for (std::size_t g = first; g < last; ++g) mean[g] = std::sqrt(squares[g] / (count - 1.0));
    }
}

// Runs realise(p, j, rng, out, work) for every profile p and realisation j, out holding the
// realisation's `outputs` products (outputs x gates), and writes each product's standard
// deviation over the realisations to sd[o] (profiles x gates).  With at least as many
// profiles as threads, each thread takes whole profiles (one parallel region, so a thread
// the system holds back delays the call once, not at every step); with fewer, the
// realisations of each profile are shared out.  Either way each realisation and each
// spread is computed the same, so the results do not depend on the thread count.
template <class Realise>
void spread(std::size_t profiles, std::size_t gates, std::size_t outputs,
            const MonteCarloSettings& settings, std::size_t work_size, unsigned threads,
            Realise&& realise, double* const* sd) {
    const std::size_t realisations = settings.realisations;
    const std::size_t row = outputs * gates;
    const std::size_t per_profile = realisations * row;
    if (profiles == 0 || per_profile == 0) return;
    auto draw = [&](std::size_t p, std::size_t j, double* out, double* work) {
        RandomStream rng(settings.seed, p, j + 1);
        realise(p, j, rng, out, work);
    };
    if (profiles >= resolve_threads(threads, static_cast<std::size_t>(-1))) {
        parallel_for(profiles, threads, [&](std::size_t begin, std::size_t end) {
            // Left uninitialised: every realisation writes its whole row.
            const std::unique_ptr<double[]> values(new double[per_profile]);
            std::vector<double> work(work_size), squares(gates);
            for (std::size_t p = begin; p < end; ++p) {
                for (std::size_t j = 0; j < realisations; ++j)
                    draw(p, j, values.get() + j * row, work.data());
                reduce(values.get(), realisations, gates, outputs, sd, p * gates, 0, gates,
                       squares.data());
            }
        });
        return;
    }
    const std::unique_ptr<double[]> values(new double[per_profile]);
    for (std::size_t p = 0; p < profiles; ++p) {
        parallel_for(realisations, threads, [&](std::size_t begin, std::size_t end) {
            std::vector<double> work(work_size);
            for (std::size_t j = begin; j < end; ++j) draw(p, j, values.get() + j * row, work.data());
        });
        std::vector<double> squares(gates);
        parallel_for(gates, threads, [&](std::size_t first, std::size_t last) {
            reduce(values.get(), realisations, gates, outputs, sd, p * gates, first, last,
                   squares.data());
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
    auto realise = [&](std::size_t p, std::size_t, RandomStream& rng, double* out,
                       double* work) {
        KlettProfile profile = in.profile(p);
        std::optional<KlettGrid> own;
        if (!shared) own.emplace(profile);
        const KlettGrid& grid = shared ? *shared : *own;
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
    spread(in.profiles, n, 2, settings, 4 * n, threads, realise, sd);
}

void raman_monte_carlo(const RamanInputs& in, const NoiseModel& elastic_noise,
                       const NoiseModel& raman_noise, const MonteCarloSettings& settings,
                       RamanProducts products, double* extinction_sd, double* backscatter_sd,
                       double* lidar_ratio_sd, unsigned threads) {
    const std::size_t n = in.gates;
    auto realise = [&](std::size_t p, std::size_t, RandomStream& rng, double* out,
                       double* work) {
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
    spread(in.profiles, n, 3, settings, 9 * n, threads, realise, sd);
}

}  // namespace aerolume
