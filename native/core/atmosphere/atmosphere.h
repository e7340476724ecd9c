// The molecular atmosphere: the US Standard Atmosphere 1976 (0 to 86 km geometric) from
// its defining constants and layers, and atmospheres from soundings (radiosonde or model
// profiles) that continue above their top with the standard atmosphere scaled to match.
//
// Altitudes are geometric, in m above sea level; temperature in K, pressure in Pa, number
// density in m^-3.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>

#include "small_exp.h"

namespace aerolume {

// The state of the air at one altitude.
struct AirState {
    double temperature;     // K
    double pressure;        // Pa
    double number_density;  // m^-3
    double log_pressure;    // ln(pressure / Pa), from the same numbers as the pressure
};

// The defining constants of the US Standard Atmosphere 1976.
namespace ussa76 {
inline constexpr double earth_radius = 6356766.0;  // r0, m (for geopotential altitude)
inline constexpr double g0 = 9.80665;              // m s^-2
inline constexpr double molar_mass = 28.9644;      // M0, kg kmol^-1
inline constexpr double gas_constant = 8314.32;    // R*, J kmol^-1 K^-1
inline constexpr double avogadro = 6.022169e26;    // N_A, kmol^-1
inline constexpr double sea_level_pressure = 101325.0;    // Pa
inline constexpr double sea_level_temperature = 288.15;   // K
inline constexpr double bottom = 0.0;        // m, geometric: the range served here
inline constexpr double top = 86000.0;       // m, geometric (84,852 m geopotential)
}  // namespace ussa76

// The Boltzmann constant the standard implies, R* / N_A (J K^-1): number densities from a
// sounding use it too, so that a sounding of the standard atmosphere reproduces it.
inline constexpr double boltzmann = ussa76::gas_constant / ussa76::avogadro;

// The geopotential altitude (m') of a geometric altitude (m).
double geopotential_altitude(double altitude);

// The standard atmosphere at a geometric altitude (m).  The temperature is the kinetic
// temperature: the molecular-scale temperature of the layers times the standard's ratio of
// molecular weights M / M0, which departs from 1 above 80 km (by 4.2e-4 at 86 km); the
// number density is N_A P / (R* T) with that temperature.  Throws std::domain_error outside
// [0, 86000] m (and for NaN).
AirState standard_atmosphere(double altitude);

// The standard atmosphere at every altitude, on up to `threads` threads (0: all cores).
void standard_atmosphere(std::span<const double> altitude, std::span<double> temperature,
                         std::span<double> pressure, std::span<double> number_density,
                         unsigned threads);

// What is wrong with a sounding's levels, as bit flags (0: nothing).
enum SoundingFlaw : unsigned {
    sounding_not_finite = 1,       // a NaN or infinite altitude, pressure or temperature
    sounding_not_positive = 2,     // a pressure or temperature not above 0
    sounding_not_increasing = 4,   // altitudes not strictly increasing
    sounding_pressure_rises = 8,   // pressure rising from one level to the next
    // Values in the wrong units, most likely: no air up to 86 km is colder than 100 K,
    // and none below 10 km is under 10,000 Pa (as a pressure in hPa would be).
    sounding_too_cold = 16,
    sounding_too_thin_below_10_km = 32,
};

// Inspects a sounding's levels in one pass and, unless `log_pressure` is empty, writes ln
// pressure where the pressure is positive (NaN elsewhere).
unsigned inspect_sounding(std::span<const double> altitude, std::span<const double> pressure,
                          std::span<const double> temperature, std::span<double> log_pressure);

// ln pressure of a sounding's levels where the pressure is positive (NaN elsewhere), as
// inspect_sounding writes it.
void sounding_log_pressure(std::span<const double> pressure, std::span<double> log_pressure);

// A view on a sounding: levels of strictly increasing altitude (m), with temperature (K) and
// pressure (Pa) at each, and ln pressure (precomputed by the owner).  Between levels the
// temperature is linear and the pressure log-linear in altitude; above the top level, up to
// the standard atmosphere's top (or the sounding's, if higher), the standard atmosphere
// scaled so that its temperature and pressure match the top level.  Below the lowest level
// there is no atmosphere (std::domain_error).
class SoundingView {
  public:
    // At least two levels; the arrays are not copied and must outlive the view.
    SoundingView(std::span<const double> altitude, std::span<const double> temperature,
                 std::span<const double> pressure, std::span<const double> log_pressure);

    double bottom() const { return altitude_.front(); }
    double top() const { return altitude_.back(); }
    // The highest altitude served: the top level or the standard atmosphere's top.
    double ceiling() const { return ceiling_; }

    // The air at `altitude` (m).
    AirState at(double altitude) const;
    // The same, starting the search for the level below from `hint` (updated), which makes
    // a walk up a profile linear; the result does not depend on the hint.
    AirState at(double altitude, std::size_t& hint) const;

  private:
    AirState between(std::size_t level, double altitude) const;
    AirState above(double altitude) const;
    [[noreturn]] void refuse(double altitude) const;

    std::span<const double> altitude_, temperature_, pressure_, log_pressure_;
    double temperature_scale_ = 1.0, pressure_scale_ = 1.0, log_pressure_scale_ = 0.0;
    double ceiling_ = 0.0;
};

inline AirState SoundingView::between(std::size_t level, double altitude) const {
    const double z0 = altitude_[level], z1 = altitude_[level + 1];
    const double f = (altitude - z0) / (z1 - z0);
    const double temperature = temperature_[level] + f * (temperature_[level + 1] - temperature_[level]);
    const double rise = f * (log_pressure_[level + 1] - log_pressure_[level]);
    const double pressure = pressure_[level] * small_exp(rise);
    return {temperature, pressure, pressure / (boltzmann * temperature),
            log_pressure_[level] + rise};
}

inline AirState SoundingView::at(double altitude, std::size_t& hint) const {
    if (!(altitude >= bottom() && altitude <= ceiling_)) refuse(altitude);
    if (altitude > top()) return above(altitude);
    // The level below: the last one at or under `altitude`, the one before the top at the top.
    const std::size_t last = altitude_.size() - 2;
    std::size_t level = hint;
    if (level > last || altitude_[level] > altitude) {
        level = static_cast<std::size_t>(
            std::upper_bound(altitude_.begin(), altitude_.end(), altitude) - altitude_.begin());
        level = level == 0 ? 0 : level - 1;
    }
    level = std::min(level, last);
    // Up the profile the next level is passed at most once per gate in most soundings:
    // that step without a branch to mispredict, any further ones in the loop.
    level += static_cast<std::size_t>(level < last && altitude_[level + 1] <= altitude);
    while (level < last && altitude_[level + 1] <= altitude) ++level;
    hint = level;
    return between(level, altitude);
}


}  // namespace aerolume
