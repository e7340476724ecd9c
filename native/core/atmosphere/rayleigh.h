// Rayleigh scattering of air: refractive index, King correction factor, depolarisation
// ratio, cross-sections per molecule and the molecular lidar ratio.
//
// Wavelengths are in m (vacuum), the CO2 content a mole fraction (mol/mol, 400e-6 for
// 400 ppm), cross-sections in m^2 per molecule, backscatter cross-sections in m^2 sr^-1.
//
// Sources: the refractive index of standard air (15 degC, 101325 Pa, 300 ppm CO2) of
// Peck and Reeder (1972) with the CO2 scaling of Bodhaine et al. (1999); the King factor of
// air from the N2, O2, Ar and CO2 contributions (Bates 1984, as combined by Bodhaine et al.
// 1999); the cross-section from first principles (Bodhaine et al. 1999, eq. 2) or from the
// parametrisation of Bucholtz (1995); backscatter of the whole Rayleigh band and of the
// Cabannes line after She (2001) and Miles et al. (2001).
#pragma once

namespace aerolume::rayleigh {

// The number density (m^-3) of standard air that the refractive index refers to.
inline constexpr double standard_number_density = 2.546899e25;

enum class Method { first_principles, bucholtz };
// The whole Rayleigh band (Cabannes line and rotational Raman wings, a wide filter) or the
// Cabannes line alone (a narrow filter).
enum class Line { total, cabannes };

// n - 1 of standard air at `co2`.
double refractivity(double wavelength, double co2);
// The King correction factor F of air (1).
double king_factor(double wavelength, double co2);
// The squared anisotropy ratio of the air's polarisability, epsilon = 9 (F - 1) / 2.
double anisotropy(double wavelength, double co2);
// The depolarisation ratio of light scattered into `line`: with `linear`, of linearly
// polarised light scattered backwards (what a lidar measures, 3 eps / (45 + 4 eps)),
// otherwise of unpolarised light scattered at 90 degrees (6 eps / (45 + 7 eps), the ratio
// in F = (6 + 3 rho) / (6 - 7 rho)).  For the Cabannes line eps is replaced by eps / 4.
double depolarization_ratio(double wavelength, double co2, Line line, bool linear);
// The total Rayleigh scattering cross-section per molecule (m^2).
double cross_section(double wavelength, double co2, Method method);
// The backscatter cross-section per molecule into `line` (m^2 sr^-1).
double backscatter_cross_section(double wavelength, double co2, Method method, Line line);

}  // namespace aerolume::rayleigh
