// Molecular profiles along a lidar beam: the air at every gate, its Rayleigh extinction and
// backscatter, the two-way transmission from the instrument and the attenuated backscatter.
//
// Ranges are along the beam from the instrument (m, non-negative, strictly increasing);
// altitudes geometric above sea level (m).  Every profile is computed on its own, in one
// pass up the beam, so results are bit-identical whatever the thread count.
#pragma once

#include <cstddef>
#include <span>

#include "atmosphere.h"

namespace aerolume {

// The mean radius of the Earth (m) for the geometry of slant beams.
inline constexpr double beam_earth_radius = 6371000.0;

// The altitude (m) of the point at `range` (m) along a beam leaving `station_altitude` (m)
// at a zenith angle whose cosine is `cos_zenith`, over a spherical Earth:
// station_altitude + range (to rounding) for a vertical beam, and for a slant one
// station_altitude + range cos(zenith) plus the Earth's curvature (r^2 sin^2(zenith) / 2R
// to first order).
double beam_altitude(double range, double station_altitude, double cos_zenith);

// The integral of an extinction coefficient from one gate to the next (`distance` apart)
// given its values at both: exact when it varies exponentially between them, as in an
// isothermal layer of air (the logarithmic mean), the trapezoid where it is not positive.
double optical_depth_between(double extinction0, double extinction1, double distance);
// The same given extinction0 (positive) and l = ln(extinction1 / extinction0).
double optical_depth_from_log_ratio(double extinction0, double log_ratio, double distance);

// Per-molecule optics of the air at the wavelength and line asked for.
struct MolecularCrossSections {
    double extinction;   // m^2
    double backscatter;  // m^2 sr^-1
};

// The gates of `profiles` profiles: `range` (gates) shared, `altitude` one row of gates per
// beam, `station_altitude` one value per beam; one beam for all profiles or one per profile.
struct BeamGrid {
    std::size_t profiles;
    std::span<const double> range, altitude, station_altitude;
};

// Outputs, each profiles x gates in row-major order.  `temperature`, `pressure` and
// `number_density` are written by the kernels that evaluate an atmosphere.
struct MolecularOutput {
    std::span<double> temperature, pressure, number_density;
    std::span<double> extinction, backscatter, transmission, attenuated_backscatter;
};

// Every row of `altitude` (one per station altitude and zenith cosine) for `range`.
void beam_altitudes(std::span<const double> range, std::span<const double> station_altitude,
                    std::span<const double> cos_zenith, std::span<double> altitude,
                    unsigned threads);

// Profiles in the US Standard Atmosphere 1976.
void standard_profiles(const BeamGrid& grid, MolecularCrossSections optics,
                       const MolecularOutput& out, unsigned threads);

// Profiles in soundings: one sounding for all profiles or one per profile.
void sounding_profiles(const BeamGrid& grid, std::span<const SoundingView> soundings,
                       MolecularCrossSections optics, const MolecularOutput& out,
                       unsigned threads);

// Profiles from given number densities (profiles x (1 + gates): at the instrument, then at
// every gate); temperature and pressure are not written.
void density_profiles(const BeamGrid& grid, std::span<const double> number_density,
                      MolecularCrossSections optics, const MolecularOutput& out,
                      unsigned threads);

}  // namespace aerolume
