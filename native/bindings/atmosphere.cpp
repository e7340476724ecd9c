// Aerolume._core: the molecular atmosphere and Rayleigh optics (core/atmosphere/).
#include "binding.h"

#include <algorithm>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "atmosphere.h"
#include "molecular_profile.h"
#include "parallel.h"
#include "rayleigh.h"

namespace aerolume::bindings {

using namespace nb::literals;

void bind_atmosphere(nb::module_& m) {
    auto span_of = [](const In& a) { return std::span<const double>(a.data(), a.size()); };
    auto out_span = [](const NewArray& a, std::size_t size) { return std::span<double>(a.data, size); };
    auto method_of = [](const std::string& method) {
        if (method == "first_principles") return aerolume::rayleigh::Method::first_principles;
        if (method == "bucholtz") return aerolume::rayleigh::Method::bucholtz;
        throw std::invalid_argument("method must be 'first_principles' or 'bucholtz'");
    };
    auto line_of = [](const std::string& line) {
        if (line == "total") return aerolume::rayleigh::Line::total;
        if (line == "cabannes") return aerolume::rayleigh::Line::cabannes;
        throw std::invalid_argument("line must be 'total' or 'cabannes'");
    };
    // Element by element over `wavelength`, into a new array of its shape.
    auto per_wavelength = [](const In& wavelength, auto&& f) {
        NewArray result = unfilled_array(shape_of(wavelength));
        const double* w = wavelength.data();
        const std::size_t size = wavelength.size();
        Unlocked unlocked;
        for (std::size_t i = 0; i < size; ++i) result.data[i] = f(w[i]);
        return result.array;
    };

    m.def("standard_atmosphere",
          [span_of](const In& altitude, unsigned threads) {
              const auto shape = shape_of(altitude);
              const std::size_t size = altitude.size();
              NewArray t = unfilled_array(shape), p = unfilled_array(shape), n = unfilled_array(shape);
              {
                  Unlocked unlocked;
                  aerolume::standard_atmosphere(span_of(altitude), {t.data, size}, {p.data, size},
                                                {n.data, size}, threads);
              }
              return nb::make_tuple(t.array, p.array, n.array);
          },
          "altitude"_a, "threads"_a = 0,
          "The US Standard Atmosphere 1976 at geometric altitudes (m): temperature (K), "
          "pressure (Pa), number density (m^-3).");

    m.def("sounding_atmosphere",
          [span_of](const In& level_altitude, const In& level_temperature,
                           const In& level_pressure, const In& level_log_pressure,
                           const In& altitude) {
              const aerolume::SoundingView sounding(span_of(level_altitude), span_of(level_temperature),
                                                    span_of(level_pressure),
                                                    span_of(level_log_pressure));
              const auto shape = shape_of(altitude);
              const std::size_t size = altitude.size();
              NewArray t = unfilled_array(shape), p = unfilled_array(shape), n = unfilled_array(shape);
              {
                  Unlocked unlocked;
                  const double* z = altitude.data();
                  for (std::size_t i = 0; i < size; ++i) {
                      const aerolume::AirState air = sounding.at(z[i]);
                      t.data[i] = air.temperature;
                      p.data[i] = air.pressure;
                      n.data[i] = air.number_density;
                  }
              }
              return nb::make_tuple(t.array, p.array, n.array);
          },
          "level_altitude"_a, "level_temperature"_a, "level_pressure"_a, "level_log_pressure"_a,
          "altitude"_a,
          "The air of a sounding (levels of strictly increasing altitude) at altitudes (m): "
          "temperature (K), pressure (Pa), number density (m^-3).");

    m.def("sounding_levels",
          [span_of](const In& altitude, const In& pressure, const In& temperature,
                    bool with_log_pressure) {
              const std::size_t levels = altitude.size();
              if (altitude.ndim() != 1 || pressure.ndim() != 1 || temperature.ndim() != 1 ||
                  pressure.size() != levels || temperature.size() != levels)
                  throw std::invalid_argument("altitude, pressure and temperature: one "
                                              "dimension, one value per level");
              NewArray z = unfilled_array({levels}), p = unfilled_array({levels}), t = unfilled_array({levels});
              std::optional<NewArray> log_p;
              if (with_log_pressure) log_p = unfilled_array({levels});
              unsigned flaws;
              {
                  Unlocked unlocked;
                  std::copy_n(altitude.data(), levels, z.data);
                  std::copy_n(pressure.data(), levels, p.data);
                  std::copy_n(temperature.data(), levels, t.data);
                  flaws = aerolume::inspect_sounding(
                      span_of(altitude), span_of(pressure), span_of(temperature),
                      log_p ? std::span<double>(log_p->data, levels) : std::span<double>());
              }
              return nb::make_tuple(z.array, p.array, t.array,
                                    log_p ? nb::cast(log_p->array) : nb::none(), flaws);
          },
          "altitude"_a, "pressure"_a, "temperature"_a, "with_log_pressure"_a = true,
          "A sounding's levels inspected in one pass: copies of altitude (m), pressure (Pa) and "
          "temperature (K), ln pressure (None unless `with_log_pressure`), and bit flags of "
          "what is wrong (1 not finite, 2 not positive, 4 altitudes not strictly increasing, "
          "8 pressure rising, 16 a temperature under 100 K, 32 a pressure under 10,000 Pa "
          "below 10 km; 0 nothing).");

    m.def("sounding_log_pressures",
          [span_of](const std::vector<In>& pressures, unsigned threads) {
              std::vector<NewArray> logs;
              logs.reserve(pressures.size());
              std::size_t values = 0;
              for (const In& p : pressures) {
                  if (p.ndim() != 1) throw std::invalid_argument("pressures: one dimension each");
                  logs.push_back(unfilled_array({p.size()}));
                  values += p.size();
              }
              {
                  Unlocked unlocked;
                  // Soundings handed out to threads whole, each written by one of them.
                  aerolume::parallel_for(
                      pressures.size(), threads,
                      [&](std::size_t begin, std::size_t end) {
                          for (std::size_t s = begin; s < end; ++s)
                              aerolume::sounding_log_pressure(
                                  span_of(pressures[s]), {logs[s].data, pressures[s].size()});
                      },
                      values < 32768 ? pressures.size() + 1 : 1);
              }
              nb::list result;
              for (NewArray& a : logs) result.append(nb::cast(a.array));
              return result;
          },
          "pressures"_a, "threads"_a = 0,
          "ln pressure (NaN where not positive) of the levels of several soundings (Pa), on up "
          "to `threads` threads.");

    m.def("refractivity",
          [per_wavelength](const In& wavelength, double co2) {
              return per_wavelength(wavelength,
                                    [co2](double w) { return aerolume::rayleigh::refractivity(w, co2); });
          },
          "wavelength"_a, "co2"_a, "n - 1 of standard air at wavelengths (m) and a CO2 mole fraction.");
    m.def("king_factor",
          [per_wavelength](const In& wavelength, double co2) {
              return per_wavelength(wavelength,
                                    [co2](double w) { return aerolume::rayleigh::king_factor(w, co2); });
          },
          "wavelength"_a, "co2"_a, "The King correction factor of air (1).");
    m.def("depolarization_ratio",
          [per_wavelength, line_of](const In& wavelength, double co2, const std::string& line,
                                    bool linear) {
              const auto l = line_of(line);
              return per_wavelength(wavelength, [co2, l, linear](double w) {
                  return aerolume::rayleigh::depolarization_ratio(w, co2, l, linear);
              });
          },
          "wavelength"_a, "co2"_a, "line"_a, "linear"_a,
          "The depolarisation ratio of air (1): of linearly polarised light scattered backwards "
          "if `linear`, else of unpolarised light scattered at 90 degrees.");
    m.def("cross_section",
          [per_wavelength, method_of](const In& wavelength, double co2, const std::string& method) {
              const auto how = method_of(method);
              return per_wavelength(wavelength, [co2, how](double w) {
                  return aerolume::rayleigh::cross_section(w, co2, how);
              });
          },
          "wavelength"_a, "co2"_a, "method"_a,
          "The total Rayleigh scattering cross-section per molecule of air (m^2).");
    m.def("backscatter_cross_section",
          [per_wavelength, method_of, line_of](const In& wavelength, double co2,
                                               const std::string& method, const std::string& line) {
              const auto how = method_of(method);
              const auto l = line_of(line);
              return per_wavelength(wavelength, [co2, how, l](double w) {
                  return aerolume::rayleigh::backscatter_cross_section(w, co2, how, l);
              });
          },
          "wavelength"_a, "co2"_a, "method"_a, "line"_a,
          "The Rayleigh backscatter cross-section per molecule of air into `line` (m^2 sr^-1).");

    m.def("beam_altitudes",
          [span_of](const In& range, const In& station_altitude, const In& cos_zenith,
                           unsigned threads) {
              const std::size_t beams = station_altitude.size(), gates = range.size();
              NewArray altitude = unfilled_array({beams, gates});
              {
                  Unlocked unlocked;
                  aerolume::beam_altitudes(span_of(range), span_of(station_altitude),
                                           span_of(cos_zenith), {altitude.data, beams * gates},
                                           threads);
              }
              return altitude.array;
          },
          "range"_a, "station_altitude"_a, "cos_zenith"_a, "threads"_a = 0,
          "The altitude (m) of every range (m) along beams (one per station altitude and zenith "
          "cosine): an array beams x gates.");

    // The molecular profiles of one source of air: returns the tuple (temperature, pressure,
    // number density, extinction, backscatter, two-way transmission, attenuated backscatter),
    // each profiles x gates (the first three None for given number densities).
    auto profiles = [span_of, out_span](const In& range, const In& altitude,
                                               const In& station_altitude, std::size_t profiles,
                                               double extinction, double backscatter, bool with_air,
                                               auto&& kernel) {
        const std::size_t gates = range.size(), size = profiles * gates;
        const aerolume::BeamGrid grid{profiles, span_of(range), span_of(altitude),
                                      span_of(station_altitude)};
        std::vector<NewArray> arrays;
        for (int i = 0; i < (with_air ? 7 : 4); ++i) arrays.push_back(unfilled_array({profiles, gates}));
        const std::size_t first = with_air ? 3 : 0;
        aerolume::MolecularOutput out{};
        if (with_air) {
            out.temperature = out_span(arrays[0], size);
            out.pressure = out_span(arrays[1], size);
            out.number_density = out_span(arrays[2], size);
        }
        out.extinction = out_span(arrays[first], size);
        out.backscatter = out_span(arrays[first + 1], size);
        out.transmission = out_span(arrays[first + 2], size);
        out.attenuated_backscatter = out_span(arrays[first + 3], size);
        {
            Unlocked unlocked;
            kernel(grid, aerolume::MolecularCrossSections{extinction, backscatter}, out);
        }
        nb::list result;
        for (std::size_t i = 0; i < 3; ++i)
            result.append(with_air ? nb::cast(arrays[i].array) : nb::none());
        for (std::size_t i = first; i < first + 4; ++i) result.append(nb::cast(arrays[i].array));
        return nb::tuple(result);
    };

    m.def("standard_profiles",
          [profiles](const In& range, const In& altitude, const In& station_altitude,
                     std::size_t count, double extinction, double backscatter, unsigned threads) {
              return profiles(range, altitude, station_altitude, count, extinction, backscatter, true,
                              [threads](const auto& grid, auto optics, const auto& out) {
                                  aerolume::standard_profiles(grid, optics, out, threads);
                              });
          },
          "range"_a, "altitude"_a, "station_altitude"_a, "profiles"_a, "extinction"_a,
          "backscatter"_a, "threads"_a = 0,
          "Molecular profiles in the US Standard Atmosphere 1976, given the gates' ranges (m), "
          "altitudes (m, one row per beam), the beams' station altitudes (m) and the extinction "
          "(m^2) and backscatter (m^2 sr^-1) cross-sections per molecule.");

    m.def("sounding_profiles",
          [profiles, span_of](const In& range, const In& altitude, const In& station_altitude,
                              std::size_t count, const std::vector<In>& level_altitude,
                              const std::vector<In>& level_temperature,
                              const std::vector<In>& level_pressure,
                              const std::vector<In>& level_log_pressure, double extinction,
                              double backscatter, unsigned threads) {
              const std::size_t soundings = level_altitude.size();
              if (level_temperature.size() != soundings || level_pressure.size() != soundings ||
                  level_log_pressure.size() != soundings)
                  throw std::invalid_argument("as many temperature, pressure and log pressure "
                                              "arrays as altitude arrays");
              std::vector<aerolume::SoundingView> views;
              views.reserve(soundings);
              for (std::size_t s = 0; s < soundings; ++s)
                  views.emplace_back(span_of(level_altitude[s]), span_of(level_temperature[s]),
                                     span_of(level_pressure[s]), span_of(level_log_pressure[s]));
              return profiles(range, altitude, station_altitude, count, extinction, backscatter, true,
                              [&views, threads](const auto& grid, auto optics, const auto& out) {
                                  aerolume::sounding_profiles(grid, views, optics, out, threads);
                              });
          },
          "range"_a, "altitude"_a, "station_altitude"_a, "profiles"_a, "level_altitude"_a,
          "level_temperature"_a, "level_pressure"_a, "level_log_pressure"_a, "extinction"_a,
          "backscatter"_a, "threads"_a = 0,
          "Molecular profiles in soundings (one for all profiles or one per profile), each given "
          "by its levels: altitude (m, strictly increasing), temperature (K), pressure (Pa) and "
          "its logarithm.");

    m.def("density_profiles",
          [profiles, span_of](const In& range, const In& altitude, const In& station_altitude,
                              std::size_t count, const In& number_density, double extinction,
                              double backscatter, unsigned threads) {
              return profiles(range, altitude, station_altitude, count, extinction, backscatter, false,
                              [&](const auto& grid, auto optics, const auto& out) {
                                  aerolume::density_profiles(grid, span_of(number_density), optics,
                                                             out, threads);
                              });
          },
          "range"_a, "altitude"_a, "station_altitude"_a, "profiles"_a, "number_density"_a,
          "extinction"_a, "backscatter"_a, "threads"_a = 0,
          "Molecular profiles from number densities (m^-3; profiles x (1 + gates): at the "
          "instrument, then at every gate).");
}

}  // namespace aerolume::bindings
