#include "molecular_profile.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>

#include "memory.h"
#include "parallel.h"
#include "small_exp.h"

namespace aerolume {

namespace {

// No thread for fewer gates than this; profiles handed out in blocks of about
// `gates_per_block` gates.
constexpr std::size_t gates_per_thread = 32768;
constexpr std::size_t gates_per_block = 16384;

void check_grid(const BeamGrid& grid, const MolecularOutput& out, bool with_air) {
    const std::size_t gates = grid.range.size();
    const std::size_t beams = grid.station_altitude.size();
    const std::size_t size = grid.profiles * gates;
    if (beams != 1 && beams != grid.profiles)
        throw std::invalid_argument("one station altitude for all profiles or one per profile");
    if (grid.altitude.size() != beams * gates)
        throw std::invalid_argument("one row of altitudes per beam");
    for (std::size_t g = 0; g < gates; ++g)
        if (!(grid.range[g] >= 0.0) || (g > 0 && !(grid.range[g] > grid.range[g - 1])))
            throw std::invalid_argument("ranges must be non-negative and strictly increasing");
    auto sized = [size](std::span<double> s) { return s.size() == size; };
    if (!sized(out.extinction) || !sized(out.backscatter) || !sized(out.transmission) ||
        !sized(out.attenuated_backscatter) ||
        (with_air && (!sized(out.temperature) || !sized(out.pressure) ||
                      !sized(out.number_density))))
        throw std::invalid_argument("every output holds profiles x gates values");
}

// ln(t1 / t0) for temperatures (or any positive numbers): 2 atanh(v) with
// v = (t1 - t0) / (t1 + t0), by its series where v is small, as between neighbouring gates.
double log_ratio(double t1, double t0) {
    const double v = (t1 - t0) / (t1 + t0);
    if (std::fabs(v) >= 0.01) return std::log(t1 / t0);
    const double v2 = v * v;
    if (std::fabs(v) < 1.0 / 1024) return 2.0 * v * (1.0 + v2 * (1.0 / 3 + v2 * (1.0 / 5)));
    return 2.0 * v * (1.0 + v2 * (1.0 / 3 + v2 * (1.0 / 5 + v2 * (1.0 / 7 + v2 * (1.0 / 9)))));
}

// The mean of e^(l x) over x in [0, 1], (e^l - 1) / l: the ratio of the optical depth
// between two gates to that of the first gate's extinction over the same distance, for
// l = ln(extinction1 / extinction0).  Its relative error is half the absolute error of l,
// however small l is; by its series (to l^7 / 8!) where l is small.
inline double exponential_mean(double l) {
    if (std::fabs(l) < 1.0 / 512)  // to l^5 / 6!: remainder under 1e-20
        return 1.0 + l * (1.0 / 2 + l * (1.0 / 6 + l * (1.0 / 24 + l * (1.0 / 120 + l * (1.0 / 720)))));
    if (std::fabs(l) < 0.03)
        return 1.0 + l * (1.0 / 2 + l * (1.0 / 6 + l * (1.0 / 24 + l * (1.0 / 120 + l * (1.0 / 720 +
               l * (1.0 / 5040 + l * (1.0 / 40320)))))));
    return std::expm1(l) / l;
}

// exp(-2 depth) for a depth that only grows along the beam, as exp(-2 anchor)
// exp(-2 (depth - anchor)), the anchor moved on whenever the second factor leaves the range
// of small_exp: within 2 ulp of exp(-2 depth) at every gate, without an exponential call
// at most of them.
class TwoWayTransmission {
  public:
    double operator()(double depth) {
        double rest = -2.0 * (depth - anchor_);
        if (!(std::fabs(rest) < small_exp_limit)) [[unlikely]] {
            anchor_ = depth;
            anchored_ = std::exp(-2.0 * depth);
            rest = 0.0;
        }
        return anchored_ * small_exp(rest);
    }

  private:
    double anchor_ = 0.0, anchored_ = 1.0;
};

// Profile `p`: air(p, point, altitude, hint) gives the air at an altitude (point 0 the
// instrument, point g + 1 gate g).  Three passes, each of independent steps but for a
// running sum, so that the processor overlaps many gates of each (one pass per gate would
// chain the divisions of one gate after the other's): the air and its optics at every
// gate; the optical depth between neighbours (kept in the transmission row); the running
// optical depth and its transmission.  With `with_air` the air's log pressure and
// temperature give the log of the extinction ratio between neighbours,
// ln(n1 / n0) = ln(p1 / p0) - ln(t1 / t0), without a logarithm per gate (the log pressure
// waits in the transmission row).
template <bool with_air, class Air>
void one_profile(const BeamGrid& grid, std::size_t p, MolecularCrossSections optics,
                 const MolecularOutput& out, Air& air) {
    const std::size_t gates = grid.range.size();
    const std::size_t beam = grid.station_altitude.size() == 1 ? 0 : p;
    const double* altitude = grid.altitude.data() + beam * gates;
    const double* range = grid.range.data();
    const std::size_t row = p * gates;
    double* temperature = with_air ? out.temperature.data() + row : nullptr;
    double* pressure = with_air ? out.pressure.data() + row : nullptr;
    double* number_density = with_air ? out.number_density.data() + row : nullptr;
    double* extinction = out.extinction.data() + row;
    double* backscatter = out.backscatter.data() + row;
    double* transmission = out.transmission.data() + row;
    double* attenuated = out.attenuated_backscatter.data() + row;
    std::size_t hint = 0;
    const AirState start = air(p, std::size_t{0}, grid.station_altitude[beam], hint);
    const double start_extinction = start.number_density * optics.extinction;
    for (std::size_t g = 0; g < gates; ++g) {
        const AirState state = air(p, g + 1, altitude[g], hint);
        if constexpr (with_air) {
            temperature[g] = state.temperature;
            pressure[g] = state.pressure;
            number_density[g] = state.number_density;
            transmission[g] = state.log_pressure;
        }
        extinction[g] = state.number_density * optics.extinction;
        backscatter[g] = state.number_density * optics.backscatter;
    }
    if (gates == 0) return;
    if constexpr (with_air) {
        for (std::size_t g = gates - 1; g > 0; --g)
            transmission[g] = extinction[g - 1] *
                              exponential_mean(transmission[g] - transmission[g - 1] -
                                               log_ratio(temperature[g], temperature[g - 1])) *
                              (range[g] - range[g - 1]);
        transmission[0] = start_extinction *
                          exponential_mean(transmission[0] - start.log_pressure -
                                           log_ratio(temperature[0], start.temperature)) *
                          range[0];
    } else {
        transmission[0] = optical_depth_between(start_extinction, extinction[0], range[0]);
        for (std::size_t g = 1; g < gates; ++g)
            transmission[g] =
                optical_depth_between(extinction[g - 1], extinction[g], range[g] - range[g - 1]);
    }
    double depth = 0.0;
    TwoWayTransmission two_way;
    for (std::size_t g = 0; g < gates; ++g) {
        depth += transmission[g];
        transmission[g] = two_way(depth);
        attenuated[g] = backscatter[g] * transmission[g];
    }
}

template <bool with_air, class Air>
void profiles(const BeamGrid& grid, MolecularCrossSections optics, const MolecularOutput& out,
              unsigned threads, Air air) {
    check_grid(grid, out, with_air);
    for (std::span<double> values : {out.temperature, out.pressure, out.number_density,
                                     out.extinction, out.backscatter, out.transmission,
                                     out.attenuated_backscatter})
        prefer_huge_pages(values.data(), values.size_bytes());
    // Blocks of profiles handed out one at a time to whichever thread is free, so that a
    // thread slowed by other work on its core leaves the rest to the others.  Every
    // profile is still computed on its own: the result does not depend on who took it.
    const std::size_t gates = std::max<std::size_t>(1, grid.range.size());
    const std::size_t block = std::max<std::size_t>(1, gates_per_block / gates);
    const std::size_t blocks = (grid.profiles + block - 1) / block;
    const std::size_t workers =
        std::min<std::size_t>(resolve_threads(threads, blocks),
                              std::max<std::size_t>(1, grid.profiles * gates / gates_per_thread));
    std::atomic<std::size_t> next{0};
    parallel_for(workers, static_cast<unsigned>(workers), [&](std::size_t, std::size_t) {
        for (std::size_t b = next++; b < blocks; b = next++) {
            const std::size_t end = std::min(grid.profiles, (b + 1) * block);
            for (std::size_t p = b * block; p < end; ++p) one_profile<with_air>(grid, p, optics, out, air);
        }
    });
}

}  // namespace

double beam_altitude(double range, double station_altitude, double cos_zenith) {
    // |centre to point| - R with a = R + station altitude: sqrt(a^2 + x) - a = x / (sqrt(a^2 + x) + a),
    // x = range (range + 2 a cos(zenith)), free of cancellation.
    const double a = beam_earth_radius + station_altitude;
    const double x = range * (range + 2.0 * a * cos_zenith);
    return station_altitude + x / (std::sqrt(a * a + x) + a);
}

double optical_depth_between(double extinction0, double extinction1, double distance) {
    if (!(extinction0 > 0.0 && extinction1 > 0.0))
        return 0.5 * (extinction0 + extinction1) * distance;
    return optical_depth_from_log_ratio(extinction0, std::log(extinction1 / extinction0), distance);
}

double optical_depth_from_log_ratio(double extinction0, double log_ratio, double distance) {
    return extinction0 * exponential_mean(log_ratio) * distance;
}

void beam_altitudes(std::span<const double> range, std::span<const double> station_altitude,
                    std::span<const double> cos_zenith, std::span<double> altitude,
                    unsigned threads) {
    const std::size_t gates = range.size(), beams = station_altitude.size();
    if (cos_zenith.size() != beams || altitude.size() != beams * gates)
        throw std::invalid_argument("one zenith angle and one row of altitudes per station altitude");
    parallel_for(
        beams, threads,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t b = begin; b < end; ++b)
                for (std::size_t g = 0; g < gates; ++g)
                    altitude[b * gates + g] =
                        beam_altitude(range[g], station_altitude[b], cos_zenith[b]);
        },
        std::max<std::size_t>(1, gates_per_thread / std::max<std::size_t>(1, gates)));
}

void standard_profiles(const BeamGrid& grid, MolecularCrossSections optics,
                       const MolecularOutput& out, unsigned threads) {
    profiles<true>(grid, optics, out, threads,
             [](std::size_t, std::size_t, double altitude, std::size_t&) {
                 return standard_atmosphere(altitude);
             });
}

void sounding_profiles(const BeamGrid& grid, std::span<const SoundingView> soundings,
                       MolecularCrossSections optics, const MolecularOutput& out,
                       unsigned threads) {
    if (soundings.size() != 1 && soundings.size() != grid.profiles)
        throw std::invalid_argument("one sounding for all profiles or one per profile");
    const bool shared = soundings.size() == 1;
    profiles<true>(grid, optics, out, threads,
             [&](std::size_t p, std::size_t, double altitude, std::size_t& hint) {
                 return soundings[shared ? 0 : p].at(altitude, hint);
             });
}

void density_profiles(const BeamGrid& grid, std::span<const double> number_density,
                      MolecularCrossSections optics, const MolecularOutput& out,
                      unsigned threads) {
    const std::size_t points = grid.range.size() + 1;
    if (number_density.size() != grid.profiles * points)
        throw std::invalid_argument("number densities: profiles x (1 + gates) values");
    profiles<false>(grid, optics, out, threads,
             [&](std::size_t p, std::size_t point, double, std::size_t&) {
                 return AirState{0.0, 0.0, number_density[p * points + point], 0.0};
             });
}

}  // namespace aerolume
