#include "molecular_profile.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "parallel.h"

namespace aerolume {

namespace {

// Profiles shorter than this share a thread with others.
constexpr std::size_t gates_per_thread = 32768;

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

// One pass up profile `p`: air(p, altitude, hint) gives the air at an altitude.
template <class Air>
void one_profile(const BeamGrid& grid, std::size_t p, MolecularCrossSections optics,
                 const MolecularOutput& out, bool with_air, Air& air) {
    const std::size_t gates = grid.range.size();
    const std::size_t beam = grid.station_altitude.size() == 1 ? 0 : p;
    const double* altitude = grid.altitude.data() + beam * gates;
    const std::size_t row = p * gates;
    std::size_t hint = 0;
    double previous_range = 0.0;
    double previous_extinction = air(p, std::size_t{0}, grid.station_altitude[beam], hint).number_density *
                                 optics.extinction;
    double depth = 0.0;
    for (std::size_t g = 0; g < gates; ++g) {
        const AirState state = air(p, g + 1, altitude[g], hint);
        const double extinction = state.number_density * optics.extinction;
        const double backscatter = state.number_density * optics.backscatter;
        depth += optical_depth_between(previous_extinction, extinction,
                                       grid.range[g] - previous_range);
        const double transmission = std::exp(-2.0 * depth);
        const std::size_t i = row + g;
        if (with_air) {
            out.temperature[i] = state.temperature;
            out.pressure[i] = state.pressure;
            out.number_density[i] = state.number_density;
        }
        out.extinction[i] = extinction;
        out.backscatter[i] = backscatter;
        out.transmission[i] = transmission;
        out.attenuated_backscatter[i] = backscatter * transmission;
        previous_extinction = extinction;
        previous_range = grid.range[g];
    }
}

template <class Air>
void profiles(const BeamGrid& grid, MolecularCrossSections optics, const MolecularOutput& out,
              bool with_air, unsigned threads, Air air) {
    check_grid(grid, out, with_air);
    const std::size_t gates = std::max<std::size_t>(1, grid.range.size());
    parallel_for(
        grid.profiles, threads,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t p = begin; p < end; ++p) one_profile(grid, p, optics, out, with_air, air);
        },
        std::max<std::size_t>(1, gates_per_thread / gates));
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
    const double l = std::log(extinction1 / extinction0);
    // The mean of exp over [0, l] is (e^l - 1) / l; by its series where l is small.
    if (std::fabs(l) < 1e-3)
        return extinction0 * distance * (1.0 + l * (0.5 + l * (1.0 / 6.0 + l / 24.0)));
    return (extinction1 - extinction0) / l * distance;
}

void beam_altitudes(std::span<const double> range, std::span<const double> station_altitude,
                    std::span<const double> cos_zenith, std::span<double> altitude,
                    unsigned threads) {
    const std::size_t gates = range.size(), beams = station_altitude.size();
    if (cos_zenith.size() != beams || altitude.size() != beams * gates)
        throw std::invalid_argument("one zenith angle and one row of altitudes per station altitude");
    parallel_for(
        beams * gates, threads,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                const std::size_t b = i / gates;
                altitude[i] = beam_altitude(range[i % gates], station_altitude[b], cos_zenith[b]);
            }
        },
        gates_per_thread);
}

void standard_profiles(const BeamGrid& grid, MolecularCrossSections optics,
                       const MolecularOutput& out, unsigned threads) {
    profiles(grid, optics, out, true, threads,
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
    profiles(grid, optics, out, true, threads,
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
    profiles(grid, optics, out, false, threads,
             [&](std::size_t p, std::size_t point, double, std::size_t&) {
                 return AirState{0.0, 0.0, number_density[p * points + point]};
             });
}

}  // namespace aerolume
