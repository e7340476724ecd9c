// Aerolume.lumafit: molecular (Rayleigh) physics and the Rayleigh fit of the lidar
// system constant and the aerosol backscatter profile.
//
// Every body is the sequence of its source statements; `line(n)` marks source line n,
// which a failure of the statement reports in its traceback entry.

#include <cmath>
#include <limits>
#include <optional>

#include "binding.h"
#include "buffer.h"
#include "numpy.h"
#include "function.h"
#include "module.h"
#include "ops.h"
#include "scope.h"

namespace {

using frame::Call;
using frame::Exec;
using frame::FunctionObject;
using frame::FunctionSpec;
using frame::Obj;
using frame::Ref;
using frame::ops::GlobalName;
using namespace frame::ops;

// ---------------------------------------------------------------------------------------
// Module state
// ---------------------------------------------------------------------------------------

struct State {
    // interned names
    Ref numpy, scipy_optimize, scipy_integrate, exp, zeros_like, linspace, random, print,
        ValueError, enumerate, range, main, spec, initializing, class_getitem, is_coroutine,
        asyncio_coroutines, dot, dtype, kind, astype, float64;
    // texts
    Ref out_of_range, label_C, label_beta_A, integer_kinds;
    // numeric constants
    Ref f0_001, f221_552, f24_902, f4_2559, f5_32e_7, f6_3416, f5_5e_7, f11_0191, f14_9647,
        f20_0631, f32_1619, f44_3308, f5_45e_32, f_35_1629;
    Ref i0, i1, i2, i4, i30, i50, i100, i1000, i8000, i10000, i_2;
    // constant tuples
    Ref out_of_range_args, random_args, linspace_args;
    // cached builtins
    Ref b_print, b_ValueError, b_enumerate, b_range;
    // module globals read by the bodies and the script
    GlobalName np, curve_fit, quad, rayleigh_scattering_cross_section, molecular_number_density,
        rayleigh_scattering_coefficient, molecular_extinction_coefficient,
        distance_square_corrected_signal,
        theoretical_rayleigh_signal, fit_func, integral_extinction_coefficient, rayleigh_fit,
        name, lidar_signal, distances, wavelength, beta_A, C;
};

frame::Forever<State> state;
frame::Forever<frame::ModuleRuntime> runtime;
State& S = *state;
frame::ModuleRuntime& R = *runtime;

const char* const integral_captured[] = {"alpha_A", "alpha_M"};
const char* const fit_captured[] = {"wavelength"};
frame::ScopeType<2> integral_scope("Aerolume.lumafit._scope_integral_extinction_coefficient",
                                   integral_captured);
frame::ScopeType<1> fit_scope("Aerolume.lumafit._scope_rayleigh_fit", fit_captured);
constexpr int kAlphaA = 0, kAlphaM = 1, kWavelength = 0;

extern FunctionSpec functions[];
extern FunctionSpec inner_functions[];
FunctionSpec& lambda_alpha_M = inner_functions[0];
FunctionSpec& lambda_alpha_A = inner_functions[1];
FunctionSpec& lambda_model = inner_functions[2];

Ref inner_function(FunctionSpec& spec, PyObject* scope) {
    return frame::new_function(R.function_type.get(), spec, scope, R.qualified_name.get(),
                               R.dict.get());
}

// np.zeros_like(x), except that an integer or boolean result is made float64 instead,
// so that the coefficients stored into it are not truncated.
Ref zeros_like_float(Obj np, Obj x) {
    Ref zeros = call(getattr(np, S.zeros_like.get()), x);
    PyObject* dtype = PyObject_GetAttr(zeros.get(), S.dtype.get());
    if (!dtype) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) frame::raise_pending();
        PyErr_Clear();
        return zeros;
    }
    Ref owned_dtype = Ref::steal(dtype);
    Ref kind = getattr(dtype, S.kind.get());
    if (!PyUnicode_Check(kind.get())) return zeros;
    int integral = frame::check_status(PySequence_Contains(S.integer_kinds.get(), kind.get()));
    if (!integral) return zeros;
    return call(getattr(zeros, S.astype.get()), S.float64);
}

// ---------------------------------------------------------------------------------------
// Native passes
//
// The bodies are written on Python objects.  For the common inputs (exact floats, exact
// NumPy float64 scalars, one-dimensional float64 arrays, with NumPy and the module's own
// functions as they were bound at import) the helpers here compute the same values
// directly in double precision.  Each is taken only where the object semantics reduce to
// plain IEEE double arithmetic: every intermediate is a finite normal number or an exact
// zero, so that no operation of the generic path could raise, warn or round differently.
// Anything else reports "not handled" and the body runs as written.  Exponentials still
// come from NumPy's own exp, as in the generic path.
// ---------------------------------------------------------------------------------------

constexpr double kR0 = 6356.766;      // Earth radius, km
constexpr double kRhoSL = 1.225;      // sea-level mass density of air, kg/m^3
constexpr double kMass = 4.8096e-26;  // mean mass of an air molecule, kg

frame::Forever<frame::NumpyAsImported> numpy_state;
frame::NumpyAsImported& numpy = *numpy_state;

bool exact_array(PyObject* o) noexcept { return numpy.exact_array(o); }
bool plain_double(PyObject* o, double& d) noexcept { return numpy.plain_double(o, d); }
bool numpy_as_imported() noexcept { return numpy.unchanged(R, S.np); }

// rayleigh_scattering_cross_section(wavelength) in double precision, where it is normal.
bool native_cross_section(PyObject* wavelength, double& sigma) noexcept {
    double w;
    if (!plain_double(wavelength, w) || !(w > 0.0) || !std::isfinite(w)) return false;
    const double ratio = 5.5e-7 / w;
    const double fourth = std::pow(ratio, 4.0);  // a float to the int power 4
    sigma = fourth * 5.45e-32;
    return std::isnormal(ratio) && std::isnormal(fourth) && std::isnormal(sigma);
}

enum class Band { none, one, two, three };

inline Band band_of(double a) noexcept {
    if (!(a >= -1000.0 && a <= 32.1619)) return Band::none;
    return a <= 11.0191 ? Band::one : a <= 20.0631 ? Band::two : Band::three;
}

// The first stage of molecular_number_density at altitude `a`: the base W of the power
// (bands 1 and 3) or the argument of np.exp (band 2); no calls, so elements overlap.
Band density_base(double a, double& base) noexcept {
    const Band band = band_of(a);
    if (band == Band::none) return band;
    auto clean = [a](double v) { return std::isnormal(v) || (v == 0.0 && a == 0.0); };
    const double q = a / kR0;
    const double H = a / (1 + q);
    if (!clean(q) || !clean(H)) return Band::none;
    if (band == Band::one) {
        const double h = H / 44.3308;
        base = 1 - h;
        if (!clean(h) || !std::isnormal(base) || base < 0) return Band::none;
    } else if (band == Band::two) {
        const double y = 14.9647 - H;
        base = y / 6.3416;
        if (!std::isnormal(base) && !(y == 0.0)) return Band::none;
    } else {
        const double y = H - 24.902;
        const double z = y / 221.552;
        base = 1 + z;
        if ((!std::isnormal(z) && !(y == 0.0)) || !std::isnormal(base) || base < 0) {
            return Band::none;
        }
    }
    return band;
}

// The second stage: N from the base of bands 1 and 3, or from np.exp of band 2's
// argument; false where an intermediate is not normal.
bool density_finish(Band band, double value, double& N) noexcept {
    double rho;
    if (band == Band::two) {
        rho = (kRhoSL * 0.15898) * value;
        if (!std::isnormal(value)) return false;
    } else {
        const double t = std::pow(value, band == Band::one ? 4.2559 : -35.1629);
        if (!std::isnormal(t)) return false;
        rho = (band == Band::one ? kRhoSL : kRhoSL * 0.032722) * t;
    }
    N = rho / kMass;
    return std::isnormal(rho) && std::isnormal(N);
}

// molecular_number_density(altitude) for an exact float or int altitude outside band 2.
Ref native_number_density(PyObject* altitude) noexcept {
    if (!PyFloat_CheckExact(altitude) && !PyLong_CheckExact(altitude)) return Ref();
    double a, base, N;
    if (!plain_double(altitude, a)) return Ref();
    const Band band = density_base(a, base);
    if (band == Band::none || band == Band::two || !density_finish(band, base, N)) return Ref();
    Ref result = Ref::steal(PyFloat_FromDouble(N));
    if (!result) PyErr_Clear();
    return result;
}

// np.exp over `count` values, in place, through one NumPy array: the same exponential
// the generic path gets from np.exp of each value.  `fill(k, value)` gives value k and
// `use(k, exp)` takes its exponential, both called for k in order.  When `fill` refuses
// a value, np.exp is not called at all: its warnings and errors are the loop's to give.
template <class Fill, class Use>
bool numpy_exp(Py_ssize_t count, Fill fill, Use use) {
    if (count == 0) return true;
    Ref values = numpy.empty(count);
    frame::DoubleView view(values.get(), true);
    if (!view || view.size() != count) return false;
    for (Py_ssize_t k = 0; k < count; ++k) {
        if (!fill(k, view[k])) return false;
    }
    call(numpy.exp(), values, values);
    for (Py_ssize_t k = 0; k < count; ++k) {
        if (!use(k, view[k])) return false;
    }
    return true;
}

// The loop of theoretical_rayleigh_signal over an exact one-dimensional float64 array,
// written into `signal`.  False where it does not apply; `signal` is then refilled by
// the loop as written.  Each range is read once: the loop as written reads range i
// before it stores coefficient i, so `signal` sharing memory with `distances` (a
// patched zeros_like) is left to that loop, and ranges another thread changes while
// np.exp runs without the interpreter lock cannot move an element between bands.
bool fill_theoretical_signal(PyObject* signal, PyObject* distances, PyObject* wavelength) {
    if (!exact_array(distances) || !exact_array(signal)) return false;
    frame::DoubleView d(distances, false), out(signal, true);
    if (!d || !out || out.size() != d.size() || out.overlaps(d)) return false;
    const Py_ssize_t n = d.size();
    // No ranges: the loop looks nothing up and leaves the zeros as they are.
    if (n == 0) return true;
    if (!frame::ops::is_own(R, S.rayleigh_scattering_coefficient) ||
        !frame::ops::is_own(R, S.rayleigh_scattering_cross_section) ||
        !frame::ops::is_own(R, S.molecular_number_density)) {
        return false;
    }
    double sigma;
    if (!native_cross_section(wavelength, sigma)) return false;
    // First stage, without calls so that neighbouring elements overlap: each element's
    // power base, kept in the result meanwhile as +W (band 1) or -W (band 3, W > 0), or
    // for band 2 a NaN there and its exponent gathered for NumPy's exp.  Every range is
    // read once, so ranges that another thread changes while np.exp runs without the
    // interpreter lock cannot move an element between bands.
    Ref exponents;
    std::optional<frame::DoubleView> e;
    Py_ssize_t band2 = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        double base;
        const Band band = density_base((d[i] + 50) / 1000, base);
        if (band == Band::none) return false;
        if (band == Band::two) {
            if (!e) {
                if (!numpy_as_imported()) return false;
                exponents = numpy.empty(n);
                e.emplace(exponents.get(), true);
                if (!*e || e->size() != n) return false;
            }
            (*e)[band2++] = base;
            out[i] = std::numeric_limits<double>::quiet_NaN();
        } else {
            out[i] = band == Band::one ? base : -base;
        }
    }
    if (band2 > 0) {
        Ref start = frame::ops::from_index(0), stop = frame::ops::from_index(band2);
        Ref gathered = frame::ops::slice2(exponents, start, stop);
        call(numpy.exp(), gathered, gathered);
    }
    // Second stage: the powers, the exponentials' densities and the coefficients.
    for (Py_ssize_t i = 0, k = 0; i < n; ++i) {
        const double kept = out[i];
        double N;
        if (std::isnan(kept)) {
            if (k >= band2 || !density_finish(Band::two, (*e)[k++], N)) return false;
        } else if (!density_finish(kept > 0 ? Band::one : Band::three, std::fabs(kept), N)) {
            return false;
        }
        out[i] = sigma * N;
        if (!std::isnormal(out[i])) return false;
    }
    return true;
}

// The backscatter loop of rayleigh_fit over exact one-dimensional float64 arrays, written
// into `beta_A`.  False where it does not apply; `beta_A` is then refilled by the loop
// as written.
bool fill_backscatter(PyObject* beta_A, Py_ssize_t n, PyObject* D_z, PyObject* D_prime_z,
                      PyObject* integral_alpha_M, PyObject* integral_alpha_A, PyObject* C) {
    if (n < 2) return n >= 0;
    PyObject* arrays[] = {beta_A, D_z, D_prime_z, integral_alpha_M, integral_alpha_A};
    for (PyObject* a : arrays) {
        if (!exact_array(a)) return false;
    }
    double c;
    if (PyLong_CheckExact(C) || !plain_double(C, c) || !std::isnormal(c)) return false;
    if (!numpy_as_imported()) return false;
    frame::DoubleView out(beta_A, true), dz(D_z, false), dp(D_prime_z, false),
        tau_M(integral_alpha_M, false), tau_A(integral_alpha_A, false);
    if (!out || !dz || !dp || !tau_M || !tau_A) return false;
    if (out.size() < n || dz.size() < n || dp.size() < n || tau_M.size() < n || tau_A.size() < n) {
        return false;
    }
    // The loop as written reads every input of gate i after storing gates 1 to i-1, and
    // it is what runs after a pass that gave up: beta_A must share no memory with them.
    if (out.overlaps(dz) || out.overlaps(dp) || out.overlaps(tau_M) || out.overlaps(tau_A)) {
        return false;
    }
    // -2 * tau, with an argument np.exp turns into a normal number without a flag.
    auto exponent = [](double tau, double& x) {
        x = -2 * tau;
        return (tau == 0.0 || std::isnormal(x)) && std::fabs(x) <= 700.0;
    };
    // Numerators D_z[i] - D_prime_z[i] * exp(-2 tau_M[i]), kept in beta_A meanwhile.
    const bool numerators = numpy_exp(
        n - 1, [&](Py_ssize_t k, double& x) { return exponent(tau_M[k + 1], x); },
        [&](Py_ssize_t k, double e) {
            const Py_ssize_t i = k + 1;
            const double molecular = dp[i] * e;
            out[i] = dz[i] - molecular;
            return std::isfinite(dz[i]) && std::isfinite(dp[i]) &&
                   (std::isnormal(molecular) || dp[i] == 0.0) && std::isfinite(out[i]);
        });
    if (!numerators) return false;
    // Divided by C * exp(-2 tau_A[i]).
    return numpy_exp(
        n - 1, [&](Py_ssize_t k, double& x) { return exponent(tau_A[k + 1], x); },
        [&](Py_ssize_t k, double e) {
            const Py_ssize_t i = k + 1;
            const double scale = c * e;
            const double numerator = out[i];
            out[i] = numerator / scale;
            return std::isnormal(scale) && (std::isnormal(out[i]) || numerator == 0.0);
        });
}

// ---------------------------------------------------------------------------------------
// Atmosphere model and Rayleigh cross-section
// ---------------------------------------------------------------------------------------

Ref rayleigh_scattering_cross_section(Call& line, FunctionObject*, PyObject* const* args) {
    PyObject* wavelength = args[0];
    line(16);
    Ref ratio = true_divide(S.f5_5e_7, wavelength);
    Ref fourth = power(ratio, S.i4);
    Ref sigma = multiply(fourth, S.f5_45e_32);
    return sigma;
}

Ref molecular_number_density(Call& line, FunctionObject*, PyObject* const* args) {
    PyObject* altitude = args[0];
    if (Ref N = native_number_density(altitude)) return N;
    const double R0 = 6356.766;     // Earth radius, km
    const double rho_SL = 1.225;    // sea-level mass density of air, kg/m^3
    const double m = 4.8096e-26;    // mean mass of an air molecule, kg
    Ref W, rho;

    line(43);
    Ref q = true_divide(altitude, R0);
    Ref s = add(S.i1, q);
    Ref H = true_divide(altitude, s);

    line(45);
    if (compare_true(altitude, S.f11_0191, Py_LE)) {
        line(46);
        W = subtract(S.i1, true_divide(H, S.f44_3308));
        line(47);
        rho = multiply(rho_SL, power(W, S.f4_2559));
    } else if (line(48), compare_true(altitude, S.f20_0631, Py_LE)) {
        line(49);
        Ref exp = getattr(global(R, S.np), S.exp.get());
        Ref scaled = true_divide(subtract(S.f14_9647, H), S.f6_3416);
        W = call(exp, scaled);
        line(50);
        rho = multiply(rho_SL * 0.15898, W);
    } else if (line(51), compare_true(altitude, S.f32_1619, Py_LE)) {
        line(52);
        W = add(S.i1, true_divide(subtract(H, S.f24_902), S.f221_552));
        line(53);
        rho = multiply(rho_SL * 0.032722, power(W, S.f_35_1629));
    } else {
        line(55);
        raise_object(call_tuple(S.b_ValueError, S.out_of_range_args.get()));
    }

    line(58);
    Ref N = true_divide(rho, m);
    return N;
}

// ---------------------------------------------------------------------------------------
// Molecular coefficients and signal models
// ---------------------------------------------------------------------------------------

Ref rayleigh_scattering_coefficient(Call& line, FunctionObject*, PyObject* const* args) {
    PyObject* wavelength = args[0];
    PyObject* altitude = args[1];
    line(77);
    Ref sigma = call_global(R, S.rayleigh_scattering_cross_section, wavelength);
    line(78);
    Ref N = call_global(R, S.molecular_number_density, altitude);
    line(79);
    Ref beta_m = multiply(sigma, N);
    return beta_m;
}

Ref molecular_extinction_coefficient(Call& line, FunctionObject*, PyObject* const* args) {
    PyObject* wavelength = args[0];
    PyObject* altitude = args[1];
    line(94);
    return call_global(R, S.rayleigh_scattering_coefficient, wavelength, altitude);
}

Ref distance_square_corrected_signal(Call& line, FunctionObject*, PyObject* const* args) {
    PyObject* signal = args[0];
    PyObject* distances = args[1];
    line(108);
    Ref square = power(distances, S.i2);
    Ref D_z = multiply(signal, square);
    return D_z;
}

Ref theoretical_rayleigh_signal(Call& line, FunctionObject*, PyObject* const* args) {
    PyObject* distances = args[0];
    PyObject* wavelength = args[1];
    line(126);
    Ref signal = zeros_like_float(global(R, S.np), distances);
    if (fill_theoretical_signal(signal.get(), distances, wavelength)) return signal;
    line(127);
    Iteration elements(distances);
    for (Py_ssize_t i = 0;; ++i) {
        line(127);
        Ref d = elements.next();
        if (!d) break;
        line(128);
        Ref altitude = true_divide(add(d, S.i50), S.i1000);
        line(129);
        Ref coefficient = call_global(R, S.rayleigh_scattering_coefficient, wavelength, altitude);
        setitem_int(signal, i, coefficient);
    }
    return signal;
}

Ref fit_func(Call& line, FunctionObject*, PyObject* const* args) {
    PyObject* distances = args[0];
    PyObject* C = args[1];
    PyObject* wavelength = args[2];
    line(148);
    Ref theoretical_signal = call_global(R, S.theoretical_rayleigh_signal, distances, wavelength);
    line(149);
    Ref scaled = multiply(C, theoretical_signal);
    Ref square = power(distances, S.i2);
    Ref fitted_signal = true_divide(scaled, square);
    return fitted_signal;
}

// ---------------------------------------------------------------------------------------
// Extinction integrals
// ---------------------------------------------------------------------------------------

Ref integral_extinction_coefficient(Call& line, FunctionObject*, PyObject* const* args) {
    PyObject* altitudes = args[0];
    PyObject* alpha_M = args[1];
    PyObject* alpha_A = args[2];
    PyObject* captured[] = {alpha_A, alpha_M};
    Ref scope = integral_scope.make(captured);

    line(167);
    Ref integral_alpha_M = zeros_like_float(global(R, S.np), altitudes);
    line(168);
    Ref integral_alpha_A = zeros_like_float(global(R, S.np), altitudes);

    line(170);
    Iteration elements(altitudes);
    for (Py_ssize_t i = 0;; ++i) {
        line(170);
        Ref alt = elements.next();
        if (!alt) break;

        line(171);
        Ref quad = global(R, S.quad);
        Ref molecular = call(quad, inner_function(lambda_alpha_M, scope.get()), S.i0, alt);
        auto [value_M, error_M] = unpack2(molecular);
        setitem_int(integral_alpha_M, i, value_M);

        line(172);
        quad = global(R, S.quad);
        Ref aerosol = call(quad, inner_function(lambda_alpha_A, scope.get()), S.i0, alt);
        auto [value_A, error_A] = unpack2(aerosol);
        setitem_int(integral_alpha_A, i, value_A);
    }

    line(174);
    return frame::check(PyTuple_Pack(2, integral_alpha_M.get(), integral_alpha_A.get()));
}

// lambda Z: alpha_M
Ref integrand_alpha_M(Call& line, FunctionObject* self, PyObject* const*) {
    line(171);
    return integral_scope.read(self->closure.get(), kAlphaM);
}

// lambda Z: alpha_A
Ref integrand_alpha_A(Call& line, FunctionObject* self, PyObject* const*) {
    line(172);
    return integral_scope.read(self->closure.get(), kAlphaA);
}

// ---------------------------------------------------------------------------------------
// Rayleigh fit
// ---------------------------------------------------------------------------------------

Ref rayleigh_fit(Call& line, FunctionObject*, PyObject* const* args) {
    PyObject* lidar_signal = args[0];
    PyObject* distances = args[1];
    PyObject* wavelength = args[2];
    PyObject* captured[] = {wavelength};
    Ref scope = fit_scope.make(captured);

    line(202);
    Ref D_z = call_global(R, S.distance_square_corrected_signal, lidar_signal, distances);

    line(205);
    Ref above = compare(distances, S.i8000, Py_GE);
    Ref below = compare(distances, S.i10000, Py_LE);
    Ref fit_range = bit_and(above, below);
    line(206);
    Ref fit_distances = getitem(distances, fit_range);
    line(207);
    Ref fit_D_z = getitem(D_z, fit_range);

    line(210);
    Ref curve_fit = global(R, S.curve_fit);
    Ref fit = call(curve_fit, inner_function(lambda_model, scope.get()), fit_distances,
                               fit_D_z);
    auto [popt, covariance] = unpack2(fit);
    line(211);
    Ref C = getitem_int(popt, 0);

    line(214);
    Ref theoretical_rayleigh = global(R, S.theoretical_rayleigh_signal);
    Ref wavelength_read = fit_scope.read(scope.get(), kWavelength);
    Ref theoretical = call_found(S.theoretical_rayleigh_signal, theoretical_rayleigh, distances,
                               wavelength_read);
    Ref scaled = multiply(C, theoretical);
    Ref square = power(distances, S.i2);
    Ref D_prime_z = true_divide(scaled, square);

    line(219);
    Ref altitudes = true_divide(add(distances, S.i50), S.i1000);
    line(220);
    Ref integral = global(R, S.integral_extinction_coefficient);
    Ref alpha_M = frame::new_float(1e-4);
    Ref alpha_A = frame::new_float(1e-4);
    Ref integrals = call_found(S.integral_extinction_coefficient, integral, altitudes, alpha_M,
                             alpha_A);
    auto [integral_alpha_M, integral_alpha_A] = unpack2(integrals);

    line(223);
    Ref beta_A = zeros_like_float(global(R, S.np), distances);
    line(224);
    const Py_ssize_t n = length(distances);
    const bool filled = fill_backscatter(beta_A.get(), n, D_z.get(), D_prime_z.get(),
                                         integral_alpha_M.get(), integral_alpha_A.get(), C.get());
    for (Py_ssize_t i = 1; i < n && !filled; ++i) {
        line(225);
        Ref D_z_i = getitem_int(D_z, i);
        Ref D_prime_z_i = getitem_int(D_prime_z, i);
        Ref exp_M = getattr(global(R, S.np), S.exp.get());
        Ref transmission_M = call(exp_M, multiply(S.i_2, getitem_int(integral_alpha_M, i)));
        Ref molecular = multiply(D_prime_z_i, transmission_M);
        Ref excess = subtract(D_z_i, molecular);
        Ref exp_A = getattr(global(R, S.np), S.exp.get());
        Ref transmission_A = call(exp_A, multiply(S.i_2, getitem_int(integral_alpha_A, i)));
        Ref scale = multiply(C, transmission_A);
        setitem_int(beta_A, i, true_divide(excess, scale));
    }

    line(227);
    return frame::check(PyTuple_Pack(2, beta_A.get(), C.get()));
}

// lambda d, C: fit_func(d, C, wavelength)
Ref fit_model(Call& line, FunctionObject* self, PyObject* const* args) {
    PyObject* d = args[0];
    PyObject* C = args[1];
    line(210);
    Ref f = global(R, S.fit_func);
    Ref wavelength = fit_scope.read(self->closure.get(), kWavelength);
    return call_found(S.fit_func, f, d, C, wavelength);
}

// ---------------------------------------------------------------------------------------
// Module script
// ---------------------------------------------------------------------------------------

void bind(Exec& e, GlobalName& g, Obj value) { frame::bind_global(e, g.name.get(), value); }

void module_script(Exec& e) {
    e.at(230);
    if (!strings_equal(global(R, S.name).get(), S.main.get())) return;

    e.at(232);
    Ref sampler = getattr(getattr(global(R, S.np), S.random.get()), S.random.get());
    bind(e, S.lidar_signal, multiply(call_tuple(sampler, S.random_args.get()), S.f0_001));
    e.at(233);
    Ref linspace = getattr(global(R, S.np), S.linspace.get());
    bind(e, S.distances, call_tuple(linspace, S.linspace_args.get()));
    e.at(234);
    bind(e, S.wavelength, S.f5_32e_7);

    e.at(237);
    Ref rayleigh_fit = global(R, S.rayleigh_fit);
    Ref lidar_signal = global(R, S.lidar_signal);
    Ref distances = global(R, S.distances);
    Ref wavelength = global(R, S.wavelength);
    Ref fit = call(rayleigh_fit, lidar_signal, distances, wavelength);
    auto [beta_A, C] = unpack2(fit);
    bind(e, S.beta_A, beta_A);
    bind(e, S.C, C);

    e.at(240);
    call(S.b_print, S.label_beta_A, global(R, S.beta_A));
    e.at(241);
    call(S.b_print, S.label_C, global(R, S.C));
}

// ---------------------------------------------------------------------------------------
// Module definition
// ---------------------------------------------------------------------------------------

void make_interned() {
    using frame::intern;
    using frame::new_float;
    using frame::new_int;
    S.numpy = intern("numpy");
    S.scipy_optimize = intern("scipy.optimize");
    S.scipy_integrate = intern("scipy.integrate");
    S.exp = intern("exp");
    S.zeros_like = intern("zeros_like");
    S.linspace = intern("linspace");
    S.random = intern("random");
    S.print = intern("print");
    S.ValueError = intern("ValueError");
    S.enumerate = intern("enumerate");
    S.range = intern("range");
    S.main = intern("__main__");
    S.spec = intern("__spec__");
    S.initializing = intern("_initializing");
    S.class_getitem = intern("__class_getitem__");
    S.is_coroutine = intern("_is_coroutine");
    S.asyncio_coroutines = intern("asyncio.coroutines");
    S.dot = intern(".");
    S.dtype = intern("dtype");
    S.kind = intern("kind");
    S.astype = intern("astype");
    S.float64 = intern("float64");
    for (auto [g, text] : {std::pair<GlobalName*, const char*>
             {&S.np, "np"}, {&S.curve_fit, "curve_fit"}, {&S.quad, "quad"},
             {&S.rayleigh_scattering_cross_section, "rayleigh_scattering_cross_section"},
             {&S.molecular_number_density, "molecular_number_density"},
             {&S.rayleigh_scattering_coefficient, "rayleigh_scattering_coefficient"},
             {&S.molecular_extinction_coefficient, "molecular_extinction_coefficient"},
             {&S.distance_square_corrected_signal, "distance_square_corrected_signal"},
             {&S.theoretical_rayleigh_signal, "theoretical_rayleigh_signal"},
             {&S.fit_func, "fit_func"},
             {&S.integral_extinction_coefficient, "integral_extinction_coefficient"},
             {&S.rayleigh_fit, "rayleigh_fit"}, {&S.name, "__name__"},
             {&S.lidar_signal, "lidar_signal"}, {&S.distances, "distances"},
             {&S.wavelength, "wavelength"}, {&S.beta_A, "beta_A"}, {&S.C, "C"}}) {
        *g = GlobalName{intern(text)};
    }
    S.out_of_range = frame::text("Altitude out of range for US1976 model");
    S.label_C = frame::text("系统常数 C:");
    S.label_beta_A = frame::text("气溶胶后向散射系数 βA(z):");
    S.integer_kinds = frame::text("biu");

    S.f0_001 = new_float(0.001);
    S.f221_552 = new_float(221.552);
    S.f24_902 = new_float(24.902);
    S.f4_2559 = new_float(4.2559);
    S.f5_32e_7 = new_float(5.32e-7);
    S.f6_3416 = new_float(6.3416);
    S.f5_5e_7 = new_float(5.5e-7);
    S.f11_0191 = new_float(11.0191);
    S.f14_9647 = new_float(14.9647);
    S.f20_0631 = new_float(20.0631);
    S.f32_1619 = new_float(32.1619);
    S.f44_3308 = new_float(44.3308);
    S.f5_45e_32 = new_float(5.45e-32);
    S.f_35_1629 = new_float(-35.1629);
    S.i0 = new_int(0);
    S.i1 = new_int(1);
    S.i2 = new_int(2);
    S.i4 = new_int(4);
    S.i30 = new_int(30);
    S.i50 = new_int(50);
    S.i100 = new_int(100);
    S.i1000 = new_int(1000);
    S.i8000 = new_int(8000);
    S.i10000 = new_int(10000);
    S.i_2 = new_int(-2);
}

void cache_builtins(Exec&) {
    S.b_print = frame::ops::builtin(R, S.print.get());
    S.b_ValueError = frame::ops::builtin(R, S.ValueError.get());
    S.b_enumerate = frame::ops::builtin(R, S.enumerate.get());
    S.b_range = frame::ops::builtin(R, S.range.get());
}

void make_tables(Exec&) {
    S.out_of_range_args = frame::check(PyTuple_Pack(1, S.out_of_range.get()));
    S.random_args = frame::check(PyTuple_Pack(1, S.i100.get()));
    S.linspace_args = frame::check(PyTuple_Pack(3, S.i30.get(), S.i10000.get(), S.i100.get()));
    integral_scope.ready();
    fit_scope.ready();
    GlobalName* names[] = {&S.rayleigh_scattering_cross_section, &S.molecular_number_density,
                           &S.rayleigh_scattering_coefficient, &S.molecular_extinction_coefficient,
                           &S.distance_square_corrected_signal, &S.theoretical_rayleigh_signal,
                           &S.fit_func, &S.integral_extinction_coefficient, &S.rayleigh_fit};
    for (size_t i = 0; i < std::size(names); ++i) names[i]->own = &functions[i];
}

void import_statements(Exec& e) {
    e.at(1);
    Ref np = frame::import_module(e, S.numpy.get());
    frame::bind_global(e, S.np.name.get(), np);
    numpy.remember(np.get());
    e.at(2);
    frame::bind_global(e, S.curve_fit.name.get(),
                       frame::import_from(e, S.scipy_optimize.get(), S.curve_fit.name.get()));
    e.at(3);
    frame::bind_global(e, S.quad.name.get(),
                       frame::import_from(e, S.scipy_integrate.get(), S.quad.name.get()));
}

extern frame::ModuleFrame lumafit;

// Parameters first, then locals, as the code objects list them.
const char* const v_cross_section[] = {"wavelength", "sigma"};
const char* const v_number_density[] = {"altitude", "R0", "rho_SL", "m", "H", "W", "rho", "N"};
const char* const v_scattering[] = {"wavelength", "altitude", "sigma", "N", "beta_m"};
const char* const v_extinction[] = {"wavelength", "altitude"};
const char* const v_corrected[] = {"signal", "distances", "D_z"};
const char* const v_theoretical[] = {"distances", "wavelength", "signal", "i", "d", "altitude"};
const char* const v_fit_func[] = {"distances", "C", "wavelength", "theoretical_signal",
                                  "fitted_signal"};
const char* const v_integral[] = {"altitudes", "alpha_M", "alpha_A", "integral_alpha_M",
                                  "integral_alpha_A", "i", "alt", "_"};
const char* const v_fit[] = {"lidar_signal", "distances", "wavelength", "D_z", "fit_range",
                             "fit_distances", "fit_D_z", "popt", "_", "C", "D_prime_z", "alpha_M",
                             "alpha_A", "altitudes", "integral_alpha_M", "integral_alpha_A",
                             "beta_A", "i"};
const char* const v_integrand[] = {"Z"};
const char* const v_model[] = {"d", "C"};

const char doc_cross_section[] =
    "\n    函数功能: 计算给定波长的瑞利散射截面。\n\n    输入: \n"
    "    - wavelength: float, 激光波长, 单位:米\n\n    输出:\n    - sigma: float, 瑞利散射截面\n    ";
const char doc_number_density[] =
    "\n    函数功能: 根据不同的海拔高度范围使用US1976模型计算大气分子数密度。\n\n    输入: \n"
    "    - altitude: float, 海拔高度,单位为千米。\n\n    输出:\n"
    "    - N: float,大气分子数密度,单位为m³\n\n    参数:\n"
    "    - R0: float, 地球半径, 单位为千米。\n"
    "    - rho_SL: float, 海平面处大气质量密度,单位为kg/m³\n"
    "    - m: float, 单个大气分子的平均质量,单位为kg\n    - H: loat, 位势高度。\n"
    "    - W: float, 中间变量。\n    - rho: float, 大气质量密度,单位为kg/m³\n    ";
const char doc_scattering[] =
    "\n    函数功能: 计算给定波长和海拔高度的大气分子的瑞利散射系数\n\n    输入:\n"
    "    - wavelength: float,激光波长,单位为米。\n    - altitude: float,海拔高度,单位为千米\n\n"
    "    输出:\n    - beta_m: float, 瑞利散射系数, 单位为m^-1sr^-1\n\n    参数:\n"
    "    - sigm: float,瑞利散射截面。\n    - N: float, 大气分子数密度。\n    ";
const char doc_extinction[] =
    "\n    函数功能: 计算给定波长和海拔高度的大气分子的消光系数，假设其等于瑞利散射系数。\n\n"
    "    输入:\n    - wavelength: float,激光波长,单位为米。\n"
    "    - altitude: float,海拔高度,单位为千米\n\n    输出:\n"
    "    - alpha_m: float,消光系数,单位为m^-1 \n    ";
const char doc_corrected[] =
    "\n    函数功能: 计算距离平方校正信号。\n\n    输入:\n"
    "    - signal: numpy.ndarray, 激光雷达回波信号\n"
    "    - distances: numpy.ndarray, 距离数组, 单位为米\n\n    输出:\n"
    "    - D_z: numpy.ndarray,距离平方校正信号。\n    ";
const char doc_theoretical[] =
    "\n    函数功能: 计算理论瑞利散射信号。\n\n    输入:\n"
    "    - wavelength: float,激光波长,单位为米。\n"
    "   - distances: numpy.ndarray, 距离数组, 单位为米\n\n    输出:\n"
    "    - signal: numpy.ndarray, 激理论瑞利散射信号\n\n    参数:\n"
    "    - altitude: float,海拔高度,单位为千米\n    ";
const char doc_fit_func[] =
    "\n    函数功能: 定义曲线拟合函数。\n\n    输入:\n"
    "    - wavelength: float,激光波长,单位为米。\n"
    "    - distances: numpy.ndarray, 距离数组, 单位为米\n    - C: float, 系统常数\n\n"
    "    输出:\n    - fitted_signal: numpy.ndarray, 拟合信号\n\n    参数:\n"
    "    - theoretical_signal: numpy.ndarray, 理论瑞利散射信号。\n    ";
const char doc_integral[] =
    "\n    函数功能: 计算消光系数的积分。\n\n    输入:\n"
    "    - altitude: float,海拔高度,单位为千米\n"
    "    - alpha_M: float, 大气分子的消光系数,单位为m^-1\n"
    "    - alpha_A: float, 气溶胶的消光系数,单位为m^-1\n\n    输出:\n"
    "    - integral_alpha_M: numpy.ndarray, 大气分子的消光系数积分\n"
    "    - integral_alpha_A: numpy.ndarray, 气溶胶的消光系数积分\n\n    ";
const char doc_fit[] =
    "\n    函数功能: 进行瑞利拟合,计算系统常数C和气溶胶后向散射系数βA(Z)\n\n    输入:\n"
    "    - lidar_signal: numpy.ndarray, 未经过瑞利拟合的激光雷达回波信号。\n"
    "    - distances: numpy.ndarray, 距离数组, 单位为米\n"
    "    - wavelength: float,激光波长,单位为米。\n\n    输出:\n"
    "    - C: float, 系统常数\n    - beta_A: numpy.ndarray, 气溶胶后向散射系数\n\n"
    "    参数:\n    - D_z: numpy.ndarray,距离平方校正信号。\n"
    "    - fit_range: numpy.ndarray, 拟合范围布尔数组。\n"
    "    - fit_distances: numpy.ndarray, 拟合距离数组。\n"
    "    - fit_D_z: numpy.ndarray,拟合距离平方校正信号。\n"
    "    - popt:  numpy.ndarray,拟合参数数组\n"
    "    - D_prime_z: numpy.ndarray, 理论瑞利散射信号\n"
    "    - altitude: float,海拔高度,单位为千米\n"
    "    - integral_alpha_M: numpy.ndarray, 大气分子的消光系数积分\n"
    "    - integral_alpha_A: numpy.ndarray, 气溶胶的消光系数积分\n    ";

FunctionSpec functions[] = {
    {frame::method_entry("rayleigh_scattering_cross_section", doc_cross_section), &lumafit,
     "rayleigh_scattering_cross_section", "Aerolume.lumafit.rayleigh_scattering_cross_section", 6,
     1, 1, v_cross_section, rayleigh_scattering_cross_section, {}},
    {frame::method_entry("molecular_number_density", doc_number_density), &lumafit,
     "molecular_number_density", "Aerolume.lumafit.molecular_number_density", 20, 1, 1,
     v_number_density, molecular_number_density, {}},
    {frame::method_entry("rayleigh_scattering_coefficient", doc_scattering), &lumafit,
     "rayleigh_scattering_coefficient", "Aerolume.lumafit.rayleigh_scattering_coefficient", 62, 2,
     2, v_scattering, rayleigh_scattering_coefficient, {}},
    {frame::method_entry("molecular_extinction_coefficient", doc_extinction), &lumafit,
     "molecular_extinction_coefficient", "Aerolume.lumafit.molecular_extinction_coefficient", 83,
     2, 2, v_extinction, molecular_extinction_coefficient, {}},
    {frame::method_entry("distance_square_corrected_signal", doc_corrected), &lumafit,
     "distance_square_corrected_signal", "Aerolume.lumafit.distance_square_corrected_signal", 97,
     2, 2, v_corrected, distance_square_corrected_signal, {}},
    {frame::method_entry("theoretical_rayleigh_signal", doc_theoretical), &lumafit,
     "theoretical_rayleigh_signal", "Aerolume.lumafit.theoretical_rayleigh_signal", 112, 2, 2,
     v_theoretical, theoretical_rayleigh_signal, {}},
    {frame::method_entry("fit_func", doc_fit_func), &lumafit, "fit_func",
     "Aerolume.lumafit.fit_func", 133, 3, 3, v_fit_func, fit_func, {}},
    {frame::method_entry("integral_extinction_coefficient", doc_integral), &lumafit,
     "integral_extinction_coefficient", "Aerolume.lumafit.integral_extinction_coefficient", 153,
     3, 3, v_integral, integral_extinction_coefficient, {}},
    {frame::method_entry("rayleigh_fit", doc_fit), &lumafit, "rayleigh_fit",
     "Aerolume.lumafit.rayleigh_fit", 177, 3, 3, v_fit, rayleigh_fit, {}},
};

FunctionSpec inner_functions[] = {
    {frame::method_entry("lambda", nullptr), &lumafit,
     "integral_extinction_coefficient.<locals>.<lambda>",
     "Aerolume.lumafit.integral_extinction_coefficient.lambda", 171, 1, 1, v_integrand,
     integrand_alpha_M, {}},
    {frame::method_entry("lambda1", nullptr), &lumafit,
     "integral_extinction_coefficient.<locals>.<lambda>",
     "Aerolume.lumafit.integral_extinction_coefficient.lambda1", 172, 1, 1, v_integrand,
     integrand_alpha_A, {}},
    {frame::method_entry("lambda2", nullptr), &lumafit, "rayleigh_fit.<locals>.<lambda>",
     "Aerolume.lumafit.rayleigh_fit.lambda2", 210, 2, 2, v_model, fit_model, {}},
};

frame::ModuleFrame lumafit{
    "lumafit",
    "Aerolume.lumafit",
    "Aerolume\\lumafit",
    "init Aerolume.lumafit",
    functions,
    inner_functions,
    {make_interned, cache_builtins, make_tables, import_statements, module_script},
    R,
};

}  // namespace

PyMODINIT_FUNC PyInit_lumafit(void) { return frame::module_init(lumafit); }
