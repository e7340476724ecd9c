#include "depolarization.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "monte_carlo.h"
#include "parallel.h"
#include "random.h"

namespace aerolume {

GHK GHK::rotated(double epsilon) const {
    const double c = std::cos(2.0 * epsilon);
    return {g_co, h_co * c, g_cross, h_cross * c};
}

namespace {

// Profiles shorter than this share a thread with others.
constexpr std::size_t gates_per_thread = 1u << 15;

// delta_v (and delta_p) of one profile from its signals, eta, delta_m and R.  With
// x = cross / (eta co), delta_v = (x A - B) / (C - x D) is computed as
// (cross A - eta co B) / (eta co C - cross D): one division per gate.
void profile_ratios(const double* cross, const double* co, double eta, const GHK& ghk,
                    const double* molecular, double molecular_shift, const double* ratio,
                    std::size_t gates, double* volume, double* particle) {
    const double a = ghk.g_co + ghk.h_co, b = ghk.g_cross + ghk.h_cross;
    const double c = ghk.g_cross - ghk.h_cross, d = ghk.g_co - ghk.h_co;
    const double eb = eta * b, ec = eta * c;
    for (std::size_t g = 0; g < gates; ++g)
        volume[g] = (cross[g] * a - co[g] * eb) / (co[g] * ec - cross[g] * d);
    if (!particle) return;
    for (std::size_t g = 0; g < gates; ++g)
        particle[g] =
            particle_depolarization_of(volume[g], molecular[g] + molecular_shift, ratio[g]);
}

}  // namespace

void depolarization(const DepolarizationInputs& in, double* volume, double* particle,
                    unsigned threads) {
    const std::size_t n = in.gates;
    if (in.profiles == 0 || n == 0) return;
    const bool with_particle = in.particle() && particle;
    const GHK ghk = in.ghk.rotated(in.misalignment);
    parallel_for(
        in.profiles, threads,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t p = begin; p < end; ++p)
                profile_ratios(in.cross.row(p), in.co.row(p), in.eta[p], ghk,
                               with_particle ? in.molecular.row(p) : nullptr, 0.0,
                               with_particle ? in.backscatter_ratio.row(p) : nullptr, n,
                               volume + p * n, with_particle ? particle + p * n : nullptr);
        },
        std::max<std::size_t>(1, gates_per_thread / n));
}

void depolarization_monte_carlo(const DepolarizationInputs& in, const NoiseModel& cross_noise,
                                const NoiseModel& co_noise,
                                const DepolarizationMonteCarlo& settings, double* volume_sd,
                                double* particle_sd, unsigned threads) {
    const std::size_t n = in.gates;
    if (in.profiles == 0 || n == 0) return;
    const bool with_particle = in.particle() && particle_sd;
    const bool redraw_ratio = with_particle && !settings.backscatter_ratio_sd.empty();
    // A thread's scratch: the two noisy signals and the redrawn backscatter ratio.
    auto make_state = [&] { return std::vector<double>(3 * n); };
    auto realise = [&](std::vector<double>& state, std::size_t p, std::size_t,
                       RandomStream& rng, double* out) {
        double* cross = state.data();
        double* co = cross + n;
        double* ratio = co + n;
        // The systematic draws first, then the noise, always in this order.
        const double g_eta = rng.normal();
        const double g_molecular = rng.normal();
        const double g_misalignment = rng.normal();
        const GHK ghk =
            in.ghk.rotated(in.misalignment + settings.misalignment_sd * g_misalignment);
        const double eta = in.eta[p] + settings.eta_sd[p] * g_eta;
        cross_noise.draw(in.cross.row(p), n, p, rng, cross);
        co_noise.draw(in.co.row(p), n, p, rng, co);
        const double* r = nullptr;
        if (with_particle) {
            r = in.backscatter_ratio.row(p);
            if (redraw_ratio) {
                const double* sd = settings.backscatter_ratio_sd.row(p);
                rng.normals(ratio, n);
                for (std::size_t g = 0; g < n; ++g) ratio[g] = r[g] + sd[g] * ratio[g];
                r = ratio;
            }
        }
        profile_ratios(cross, co, eta, ghk, with_particle ? in.molecular.row(p) : nullptr,
                       settings.molecular_sd * g_molecular, r, n, out,
                       with_particle ? out + n : nullptr);
    };
    double* sd[2] = {volume_sd, with_particle ? particle_sd : nullptr};
    monte_carlo::spread(in.profiles, n, 2, settings.realisations, settings.seed, threads,
                        make_state, realise, sd);
}

}  // namespace aerolume
