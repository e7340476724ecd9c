#include "rayleigh.h"

#include <cmath>
#include <numbers>

namespace aerolume::rayleigh {

namespace {

constexpr double pi = std::numbers::pi;

// The squared wavenumber in um^-2.
double wavenumber_squared(double wavelength) {
    const double micrometres = wavelength * 1e6;
    return 1.0 / (micrometres * micrometres);
}

}  // namespace

double refractivity(double wavelength, double co2) {
    const double s2 = wavenumber_squared(wavelength);
    const double standard = (5791817.0 / (238.0185 - s2) + 167909.0 / (57.362 - s2)) * 1e-8;
    return standard * (1.0 + 0.54 * (co2 - 300e-6));
}

double king_factor(double wavelength, double co2) {
    const double s2 = wavenumber_squared(wavelength);
    const double nitrogen = 1.034 + 3.17e-4 * s2;
    const double oxygen = 1.096 + 1.385e-3 * s2 + 1.448e-4 * s2 * s2;
    constexpr double argon = 1.00, carbon_dioxide = 1.15;
    // Mixing ratios in per cent by volume.
    const double c = co2 * 100.0;
    return (78.084 * nitrogen + 20.946 * oxygen + 0.934 * argon + c * carbon_dioxide) /
           (78.084 + 20.946 + 0.934 + c);
}

double anisotropy(double wavelength, double co2) {
    return 4.5 * (king_factor(wavelength, co2) - 1.0);
}

double depolarization_ratio(double wavelength, double co2, Line line, bool linear) {
    double eps = anisotropy(wavelength, co2);
    if (line == Line::cabannes) eps *= 0.25;
    return linear ? 3.0 * eps / (45.0 + 4.0 * eps) : 6.0 * eps / (45.0 + 7.0 * eps);
}

double cross_section(double wavelength, double co2, Method method) {
    if (method == Method::bucholtz) {
        const double um = wavelength * 1e6;
        const bool short_wave = um < 0.5;
        const double a = short_wave ? 3.01577e-28 : 4.01061e-28;
        const double b = short_wave ? 3.55212 : 3.99668;
        const double c = short_wave ? 1.35579 : 1.10298e-3;
        const double d = short_wave ? 0.11563 : 2.71393e-2;
        return a * std::pow(um, -(b + c * um + d / um)) * 1e-4;  // cm^2 to m^2
    }
    // 24 pi^3 (n^2 - 1)^2 / (lambda^4 N_s^2 (n^2 + 2)^2) F, with n^2 - 1 from n - 1 so
    // that nothing cancels.
    const double r = refractivity(wavelength, co2);
    const double n2m1 = r * (2.0 + r);
    const double ratio = n2m1 / ((n2m1 + 3.0) * standard_number_density);
    const double l2 = wavelength * wavelength;
    return 24.0 * pi * pi * pi * ratio * ratio / (l2 * l2) * king_factor(wavelength, co2);
}

double backscatter_cross_section(double wavelength, double co2, Method method, Line line) {
    // sigma = sigma0 F with F = 1 + 2 eps / 9; backwards, sigma0 3 / (8 pi) (1 + 7 eps / 45)
    // for the whole band, (1 + 7 eps / 180) for the Cabannes line.
    const double king = king_factor(wavelength, co2);
    const double eps = 4.5 * (king - 1.0);
    const double anisotropic = line == Line::total ? 7.0 * eps / 45.0 : 7.0 * eps / 180.0;
    const double isotropic = cross_section(wavelength, co2, method) / king;
    return isotropic * 3.0 / (8.0 * pi) * (1.0 + anisotropic);
}

}  // namespace aerolume::rayleigh
