#include "atmosphere.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>

#include "parallel.h"

namespace aerolume {

namespace {

std::string metres(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g m", value);
    return text;
}

// g0 M0 / R*, K per m'.
constexpr double hydrostatic = ussa76::g0 * ussa76::molar_mass / ussa76::gas_constant;

// One layer of the standard: base geopotential altitude (m'), lapse rate of the
// molecular-scale temperature (K/m'), and the temperature (K) and pressure (Pa) at its base.
// `exponent` is g0 M0 / (R* lapse) where the lapse rate is not 0, else g0 M0 / (R* T_base).
struct Layer {
    double base, lapse, temperature, pressure, exponent, log_pressure;
};

constexpr std::size_t layer_count = 7;

// The base values follow layer by layer from the sea-level ones, as the standard defines.
std::array<Layer, layer_count> make_layers() {
    constexpr std::array<double, layer_count> base{0.0,     11000.0, 20000.0, 32000.0,
                                                   47000.0, 51000.0, 71000.0};
    constexpr std::array<double, layer_count> lapse{-0.0065, 0.0, 0.001, 0.0028,
                                                    0.0,     -0.0028, -0.002};
    std::array<Layer, layer_count> layers{};
    double temperature = ussa76::sea_level_temperature, pressure = ussa76::sea_level_pressure;
    for (std::size_t i = 0; i < layer_count; ++i) {
        layers[i] = {base[i], lapse[i], temperature, pressure,
                     lapse[i] == 0.0 ? hydrostatic / temperature : hydrostatic / lapse[i],
                     std::log(pressure)};
        if (i + 1 == layer_count) break;
        const double thickness = base[i + 1] - base[i];
        const double top_temperature = temperature + lapse[i] * thickness;
        // As standard_unchecked computes it, so that the layers join to the last bit.
        pressure = pressure * std::exp(lapse[i] == 0.0
                                           ? -(hydrostatic / temperature) * thickness
                                           : (hydrostatic / lapse[i]) *
                                                 std::log(temperature / top_temperature));
        temperature = top_temperature;
    }
    return layers;
}

const std::array<Layer, layer_count> layers = make_layers();

// The standard's ratio of the mean molecular weight to its sea-level value, M / M0, from
// 80 km to 86 km geometric in steps of 0.5 km (linear between; 1 below 80 km).
constexpr double weight_ratio_base = 80000.0, weight_ratio_step = 500.0;
constexpr std::array<double, 13> weight_ratio{1.000000, 0.999996, 0.999989, 0.999971, 0.999941,
                                              0.999909, 0.999870, 0.999829, 0.999786, 0.999741,
                                              0.999694, 0.999641, 0.999579};

double molecular_weight_ratio(double altitude) {
    if (altitude <= weight_ratio_base) return 1.0;
    const double position = (altitude - weight_ratio_base) / weight_ratio_step;
    const std::size_t i = std::min<std::size_t>(static_cast<std::size_t>(position),
                                                weight_ratio.size() - 2);
    const double f = position - static_cast<double>(i);
    return weight_ratio[i] + f * (weight_ratio[i + 1] - weight_ratio[i]);
}

// The standard atmosphere without the range check.
AirState standard_unchecked(double altitude) {
    const double h = geopotential_altitude(altitude);
    std::size_t i = layer_count - 1;
    while (i > 0 && h < layers[i].base) --i;
    const Layer& layer = layers[i];
    const double molecular_temperature = layer.temperature + layer.lapse * (h - layer.base);
    // Pb (Tb / T)^(g0 M0 / (R* L)), or Pb exp(-g0 M0 (H - Hb) / (R* Tb)) where L = 0; as
    // Pb exp(...) so that the base pressure comes out exactly.
    const double rise = layer.lapse == 0.0
                            ? -layer.exponent * (h - layer.base)
                            : layer.exponent * std::log(layer.temperature / molecular_temperature);
    const double pressure = layer.pressure * std::exp(rise);
    const double temperature = altitude > weight_ratio_base
                                   ? molecular_temperature * molecular_weight_ratio(altitude)
                                   : molecular_temperature;
    return {temperature, pressure, pressure / (boltzmann * temperature), layer.log_pressure + rise};
}

void check_standard_range(double altitude) {
    if (!(altitude >= ussa76::bottom && altitude <= ussa76::top))
        throw std::domain_error("altitude " + metres(altitude) + " is outside 0 m to 86000 m, " +
                                "the range of the US Standard Atmosphere 1976");
}

}  // namespace

double geopotential_altitude(double altitude) {
    return ussa76::earth_radius * altitude / (ussa76::earth_radius + altitude);
}

AirState standard_atmosphere(double altitude) {
    check_standard_range(altitude);
    return standard_unchecked(altitude);
}

void standard_atmosphere(std::span<const double> altitude, std::span<double> temperature,
                         std::span<double> pressure, std::span<double> number_density,
                         unsigned threads) {
    for (double z : altitude) check_standard_range(z);
    parallel_for(
        altitude.size(), threads,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                const AirState air = standard_unchecked(altitude[i]);
                temperature[i] = air.temperature;
                pressure[i] = air.pressure;
                number_density[i] = air.number_density;
            }
        },
        4096);
}

namespace {

double log_of_pressure(double p) {
    return p > 0.0 ? std::log(p) : std::numeric_limits<double>::quiet_NaN();
}

template <bool with_log>
unsigned inspect_levels(std::span<const double> altitude, std::span<const double> pressure,
                        std::span<const double> temperature, std::span<double> log_pressure) {
    unsigned flaws = 0;
    for (std::size_t i = 0; i < altitude.size(); ++i) {
        const double z = altitude[i], p = pressure[i], t = temperature[i];
        if (!(std::isfinite(z) && std::isfinite(p) && std::isfinite(t))) flaws |= sounding_not_finite;
        if (!(p > 0.0 && t > 0.0)) flaws |= sounding_not_positive;
        if (i > 0 && !(z > altitude[i - 1])) flaws |= sounding_not_increasing;
        if (i > 0 && p > pressure[i - 1]) flaws |= sounding_pressure_rises;
        if (t < 100.0) flaws |= sounding_too_cold;
        if (z < 10000.0 && p < 10000.0) flaws |= sounding_too_thin_below_10_km;
        if constexpr (with_log) log_pressure[i] = log_of_pressure(p);
    }
    return flaws;
}

}  // namespace

unsigned inspect_sounding(std::span<const double> altitude, std::span<const double> pressure,
                          std::span<const double> temperature, std::span<double> log_pressure) {
    const std::size_t levels = altitude.size();
    if (pressure.size() != levels || temperature.size() != levels ||
        (!log_pressure.empty() && log_pressure.size() != levels))
        throw std::invalid_argument("a sounding's levels: as many pressures, temperatures and "
                                    "log pressures as altitudes");
    return log_pressure.empty() || levels == 0
               ? inspect_levels<false>(altitude, pressure, temperature, log_pressure)
               : inspect_levels<true>(altitude, pressure, temperature, log_pressure);
}

void sounding_log_pressure(std::span<const double> pressure, std::span<double> log_pressure) {
    if (log_pressure.size() != pressure.size())
        throw std::invalid_argument("one log pressure per pressure");
    for (std::size_t i = 0; i < pressure.size(); ++i) log_pressure[i] = log_of_pressure(pressure[i]);
}

SoundingView::SoundingView(std::span<const double> altitude, std::span<const double> temperature,
                           std::span<const double> pressure, std::span<const double> log_pressure)
    : altitude_(altitude), temperature_(temperature), pressure_(pressure),
      log_pressure_(log_pressure) {
    if (altitude.size() < 2 || temperature.size() != altitude.size() ||
        pressure.size() != altitude.size() || log_pressure.size() != altitude.size())
        throw std::invalid_argument("a sounding needs at least two levels, each with an "
                                    "altitude, a temperature and a pressure");
    ceiling_ = top() >= ussa76::bottom ? std::max(top(), ussa76::top) : top();
    if (top() < ussa76::top) {
        // Below 0 m the standard is not defined: a sounding topping out there has nothing
        // to continue with, and serves its own levels only.
        if (top() >= ussa76::bottom) {
            const AirState reference = standard_unchecked(top());
            temperature_scale_ = temperature_.back() / reference.temperature;
            pressure_scale_ = pressure_.back() / reference.pressure;
            log_pressure_scale_ = log_pressure_.back() - reference.log_pressure;
        }
    }
}


AirState SoundingView::above(double altitude) const {
    const AirState standard = standard_unchecked(altitude);
    const double temperature = standard.temperature * temperature_scale_;
    const double pressure = standard.pressure * pressure_scale_;
    return {temperature, pressure, pressure / (boltzmann * temperature),
            standard.log_pressure + log_pressure_scale_};
}

AirState SoundingView::at(double altitude) const {
    std::size_t hint = 0;
    return at(altitude, hint);
}

void SoundingView::refuse(double altitude) const {
    if (altitude < bottom())
        throw std::domain_error("altitude " + metres(altitude) +
                                " is below the sounding's lowest level, " + metres(bottom()));
    throw std::domain_error("altitude " + metres(altitude) + " is above " + metres(ceiling()) +
                            (ceiling() > top() ? ", the top of the US Standard Atmosphere "
                                                 "1976 that continues the sounding"
                                               : ", the sounding's top"));
}

}  // namespace aerolume
