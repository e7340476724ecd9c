// Aerolume.lumaclean: pre-processing of a raw range-resolved lidar echo profile: the
// range grid, background and noise removal, zero-point calibration of the range scale,
// and the range-square and overlap corrections.
//
// Every body is the sequence of its source statements; `line(n)` marks source line n,
// which a failure of the statement reports in its traceback entry.

#include <cmath>
#include <new>
#include <vector>

#include "binding.h"
#include "buffer.h"
#include "function.h"
#include "module.h"
#include "numpy.h"
#include "ops.h"

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
    Ref numpy, arange, argmax, mean, std, print, name, main, spec, initializing, is_coroutine,
        asyncio_coroutines;
    // texts
    Ref label_data, label_background, label_noise;
    // numeric constants
    Ref i2, i3, i10;
    // constant tuples
    Ref sigma_factor_defaults;
    // cached builtins
    Ref b_print;
    // module globals read by the bodies
    GlobalName np;
};

frame::Forever<State> state;
frame::Forever<frame::ModuleRuntime> runtime;
State& S = *state;
frame::ModuleRuntime& R = *runtime;

// ---------------------------------------------------------------------------------------
// Native passes
//
// For an exact one-dimensional float64 profile and plain numbers, while `np` is NumPy as
// imported, the element loops below
// compute in double precision what the loops written on NumPy scalars compute, and make
// the same NumPy float64 elements.  They are taken only where every intermediate is a
// finite normal number or an exact zero, so that no scalar operation could have raised,
// warned or rounded differently; anything else runs the loops as written.
// ---------------------------------------------------------------------------------------

frame::Forever<frame::NumpyAsImported> numpy_state;
frame::NumpyAsImported& numpy = *numpy_state;

bool normal_or_zero(double v) { return std::isnormal(v) || v == 0.0; }

// The elements of the result list, computed first, one reading of each sample, before
// anything is allocated through the interpreter: a collection run by an allocation can
// run finalizers that change the samples, so the samples are never read after that.
using Elements = std::vector<double>;

// Room for `n` elements, so that adding them cannot fail; false when memory is short,
// and the statements as written then run.
bool reserve(Elements& elements, Py_ssize_t n) noexcept {
    try {
        elements.reserve(static_cast<size_t>(n));
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// A list of NumPy float64 scalars with the values of `elements`.
Ref float64_list(const Elements& elements) {
    return numpy.float64_list(static_cast<Py_ssize_t>(elements.size()),
                              [&](Py_ssize_t i) { return elements[static_cast<size_t>(i)]; });
}

// valid_data of lines 35 to 43: the samples minus the background that are at or above
// sigma_factor times the noise.
Ref native_valid_data(PyObject* data, PyObject* background, PyObject* noise,
                      PyObject* sigma_factor) {
    double b, noise_level, factor;
    if (!numpy.unchanged(R, S.np) || !numpy.exact_array(data) || !numpy.plain_double(background, b) ||
        !numpy.plain_double(noise, noise_level) || !numpy.plain_double(sigma_factor, factor) ||
        PyLong_CheckExact(noise)) {
        return Ref();
    }
    const double threshold = factor * noise_level;
    if (!std::isfinite(b) || !std::isfinite(noise_level) || !std::isfinite(factor) ||
        !(std::isnormal(threshold) || factor == 0.0 || noise_level == 0.0)) {
        return Ref();
    }
    frame::DoubleView d(data, false);
    if (!d) return Ref();
    Elements kept;
    if (!reserve(kept, d.size())) return Ref();
    for (Py_ssize_t i = 0; i < d.size(); ++i) {
        const double sample = d[i];
        const double filtered = sample - b;
        if (!std::isfinite(sample) || !std::isfinite(filtered)) return Ref();
        if (filtered >= threshold) kept.push_back(filtered);
    }
    return float64_list(kept);
}

// The square of a height as `heights ** 2` gives it, where that is a normal number.
bool native_square(PyObject* height, double& square) {
    double h;
    if (!numpy.plain_double(height, h) || !std::isfinite(h)) return false;
    if (PyLong_CheckExact(height)) {
        // An int squares exactly; its square must still convert to a double exactly.
        if (std::fabs(h) > 67108864.0) return false;
        square = h * h;
    } else {
        square = std::pow(h, 2.0);
    }
    return std::isnormal(square) || h == 0.0;
}

// corrected_data of line 82: data_i / transmit_signal * square_i for every sample.
// `square_of(i, square)` gives sample i's square; `samples_expected(n)` accepts the
// number of samples the data's view holds (heights paired with the samples must be as
// many).
template <class Square, class Expected>
Ref native_corrected(PyObject* data, PyObject* transmit_signal, Square square_of,
                     Expected samples_expected) {
    double t;
    if (!numpy.unchanged(R, S.np) || !numpy.exact_array(data) || !numpy.plain_double(transmit_signal, t) || !std::isnormal(t)) {
        return Ref();
    }
    frame::DoubleView d(data, false);
    if (!d || !samples_expected(d.size())) return Ref();
    Elements corrected;
    if (!reserve(corrected, d.size())) return Ref();
    for (Py_ssize_t i = 0; i < d.size(); ++i) {
        double square;
        if (!square_of(i, square)) return Ref();
        const double sample = d[i];
        const double quotient = sample / t;
        const double value = quotient * square;
        if (!normal_or_zero(sample) || !(std::isnormal(quotient) || sample == 0.0) ||
            !(std::isnormal(value) || quotient == 0.0 || square == 0.0)) {
            return Ref();
        }
        corrected.push_back(value);
    }
    return float64_list(corrected);
}

// ---------------------------------------------------------------------------------------
// Range grid and background/noise removal
// ---------------------------------------------------------------------------------------

Ref calculate_data_points(Call& line, FunctionObject*, PyObject* const* args) {
    PyObject* distance_resolution = args[0];
    PyObject* max_distance = args[1];
    line(5);
    Ref quotient = true_divide(max_distance, distance_resolution);
    return to_int(quotient);
}

Ref remove_background_and_noise(Call& line, FunctionObject*, PyObject* const* args) {
    PyObject* data = args[0];
    PyObject* background_start_idx = args[1];
    PyObject* background_end_idx = args[2];
    PyObject* sigma_factor = args[3];

    // Background: the mean of the window, normally the far range where only sky remains.
    line(27);
    Ref mean = getattr(global(R, S.np), S.mean.get());
    Ref window = slice2(data, background_start_idx, background_end_idx);
    Ref background = call(mean, window);

    // Noise: a tenth of the window's (population) standard deviation.
    line(30);
    Ref std = getattr(global(R, S.np), S.std.get());
    window = slice2(data, background_start_idx, background_end_idx);
    Ref noise = true_divide(call(std, window), S.i10);

    line(31);
    call(S.b_print, S.label_noise, noise);
    line(32);
    call(S.b_print, S.label_background, background);
    line(33);
    call(S.b_print, S.label_data, data);

    line(35);
    Ref valid_data = native_valid_data(data, background.get(), noise.get(), sigma_factor);
    if (!valid_data) {
        line(35);
        Ref filtered_data = new_list();
        line(36);
        Iteration samples(data);
        for (;;) {
            line(36);
            Ref indi_data = samples.next();
            if (!indi_data) break;
            line(37);
            append(filtered_data, subtract(indi_data, background));
        }

        // Only the samples at or above sigma_factor times the noise survive.
        line(40);
        valid_data = new_list();
        line(41);
        Iteration filtered(filtered_data);
        for (;;) {
            line(41);
            Ref indi_data = filtered.next();
            if (!indi_data) break;
            line(42);
            Ref threshold = multiply(sigma_factor, noise);
            if (compare_true(indi_data, threshold, Py_GE)) {
                line(43);
                append(valid_data, indi_data);
            }
        }
    }

    line(44);
    call(S.b_print, valid_data);
    line(45);
    return frame::check(PyTuple_Pack(3, valid_data.get(), background.get(), noise.get()));
}

// ---------------------------------------------------------------------------------------
// Distance zero-point calibration
// ---------------------------------------------------------------------------------------

Ref distance_zero_point_calibration(Call& line, FunctionObject*, PyObject* const* args) {
    PyObject* data = args[0];
    PyObject* nominal_peak_height = args[1];

    // The strongest bin (the first of equal maxima) is range zero.
    line(61);
    Ref argmax = getattr(global(R, S.np), S.argmax.get());
    Ref first_peak_idx = call(argmax, data);

    line(64);
    Ref first_peak_height = multiply(first_peak_idx, nominal_peak_height);

    // k * h - i * h: the two products and one subtraction, never (k - i) * h.
    line(65);
    Ref arange = getattr(global(R, S.np), S.arange.get());
    Ref bins = call(arange, from_index(length(data)));
    Ref nominal_heights = multiply(bins, nominal_peak_height);
    Ref real_heights = subtract(nominal_heights, first_peak_height);

    line(66);
    return frame::check(PyTuple_Pack(2, real_heights.get(), first_peak_height.get()));
}

// ---------------------------------------------------------------------------------------
// Range-square and overlap corrections
// ---------------------------------------------------------------------------------------

Ref distance_square_correction(Call& line, FunctionObject*, PyObject* const* args) {
    PyObject* data = args[0];
    PyObject* transmit_signal = args[1];
    PyObject* heights = args[2];

    line(82);
    Ref corrected_data = new_list();
    const std::optional<Py_ssize_t> height_count = length_if_sized(heights);
    if (!height_count) {
        // One height for the whole profile.
        double square;
        if (native_square(heights, square)) {
            auto same_square = [square](Py_ssize_t, double& s) {
                s = square;
                return true;
            };
            auto any_count = [](Py_ssize_t) { return true; };
            if (Ref corrected = native_corrected(data, transmit_signal, same_square, any_count)) {
                return corrected;
            }
        }
        Iteration samples(data);
        while (Ref data_i = samples.next()) {
            Ref quotient = true_divide(data_i, transmit_signal);
            Ref square = power(heights, S.i2);
            append(corrected_data, multiply(quotient, square));
        }
        return corrected_data;
    }

    // One height per sample: sample i is range-corrected with heights[i].  The samples
    // are taken first, so that profiles of different lengths are refused before any
    // sample is corrected.
    if (numpy.exact_array(data) && numpy.exact_array(heights) &&
        length(data) == *height_count) {
        frame::DoubleView h(heights, false);
        auto own_square = [&](Py_ssize_t i, double& s) {
            const double height = h[i];
            s = std::pow(height, 2.0);
            return std::isfinite(height) && (std::isnormal(s) || height == 0.0);
        };
        // The lengths compared above may have changed since: compared again with both
        // views held, which keeps both arrays from being resized while they are read.
        auto as_many_as_heights = [&](Py_ssize_t samples) { return samples == h.size(); };
        if (h) {
            if (Ref corrected =
                    native_corrected(data, transmit_signal, own_square, as_many_as_heights)) {
                return corrected;
            }
        }
    }
    Ref samples = new_list();
    Iteration walk(data);
    while (Ref data_i = walk.next()) append(samples, data_i);
    const Py_ssize_t sample_count = PyList_GET_SIZE(samples.get());
    if (sample_count != *height_count) {
        PyErr_Format(PyExc_ValueError,
                     "data and heights differ in length (%zd samples, %zd heights)", sample_count,
                     *height_count);
        frame::raise_pending();
    }
    for (Py_ssize_t i = 0; i < sample_count; ++i) {
        Ref data_i = getitem_int(samples, i);
        Ref quotient = true_divide(data_i, transmit_signal);
        Ref square = power(getitem_int(heights, i), S.i2);
        append(corrected_data, multiply(quotient, square));
    }
    return corrected_data;
}

Ref overlap_factor_correction(Call& line, FunctionObject*, PyObject* const* args) {
    PyObject* data = args[0];
    PyObject* overlap_factors = args[1];
    line(97);
    Ref corrected_data = true_divide(data, overlap_factors);
    return corrected_data;
}

// ---------------------------------------------------------------------------------------
// Module definition
// ---------------------------------------------------------------------------------------

void make_interned() {
    using frame::intern;
    using frame::new_int;
    S.numpy = intern("numpy");
    S.arange = intern("arange");
    S.argmax = intern("argmax");
    S.mean = intern("mean");
    S.std = intern("std");
    S.print = intern("print");
    S.name = intern("__name__");
    S.main = intern("__main__");
    S.spec = intern("__spec__");
    S.initializing = intern("_initializing");
    S.is_coroutine = intern("_is_coroutine");
    S.asyncio_coroutines = intern("asyncio.coroutines");
    S.np = GlobalName{intern("np")};
    S.label_data = frame::text("data is");
    S.label_background = frame::text("background is:");
    S.label_noise = frame::text("noise is:");

    S.i2 = new_int(2);
    S.i3 = new_int(3);
    S.i10 = new_int(10);
}

void cache_builtins(Exec&) { S.b_print = frame::ops::builtin(R, S.print.get()); }

extern FunctionSpec functions[];
FunctionSpec& remove_background_and_noise_spec = functions[1];

void make_tables(Exec&) {
    S.sigma_factor_defaults = frame::check(PyTuple_Pack(1, S.i3.get()));
    // What calls use for a missing sigma_factor; the function's __defaults__ starts as it.
    remove_background_and_noise_spec.rt->defaults = S.sigma_factor_defaults;
}

void import_statements(Exec& e) {
    e.at(1);
    Ref np = frame::import_module(e, S.numpy.get());
    frame::bind_global(e, S.np.name.get(), np);
    numpy.remember(np.get());
}

extern frame::ModuleFrame lumaclean;

// Parameters first, then locals, as the code objects list them.
const char* const v_data_points[] = {"distance_resolution", "max_distance"};
const char* const v_background[] = {"data",          "background_start_idx", "background_end_idx",
                                    "sigma_factor",  "background",           "noise",
                                    "filtered_data", "indi_data",            "valid_data"};
const char* const v_zero_point[] = {"data", "nominal_peak_height", "first_peak_idx",
                                    "first_peak_height", "real_heights"};
const char* const v_square[] = {"data", "transmit_signal", "heights", "corrected_data", "data_i"};
const char* const v_overlap[] = {"data", "overlap_factors", "corrected_data"};

const char doc_background[] =
    "\n    函数功能\n"
    "    去除背景：假设远距离的数据（通常是空气背景信号）可以代表背景信号，将这些数据的平均值作为背景值。\n"
    "    计算噪声：利用远距离数据计算噪声水平。\n"
    "    滤除噪声：通过设置一个阈值，将低于该阈值的信号过滤掉，只保留有效信号。\n"
    "    \n"
    "    输入:\n"
    "    - data: numpy数组,原始激光雷达信号数据。\n"
    "    - background_start_idx: 整数，背景信号起始索引。\n"
    "    - background_end_idx: 整数，背景信号结束索引。\n"
    "    - sigma_factor: 浮点数,噪声过滤阈值的倍数,默认值为3。\n"
    "    \n"
    "    输出:\n"
    "    - valid_data: numpy数组,扣除背景和噪声后的有效信号数据。\n"
    "    - background: 浮点数，计算得到的背景值。\n"
    "    - noise: 浮点数，计算得到的噪声水平。\n"
    "    ";
const char doc_zero_point[] =
    "\n    距离零点定位与盲区确认。\n"
    "    \n"
    "    输入:\n"
    "    - data: numpy数组,扣除背景和噪声后的有效信号数据。\n"
    "    - nominal_peak_height: 浮点数，名义峰高度（每个库的高度间隔）。\n"
    "    \n"
    "    输出:\n"
    "    - real_heights: numpy数组,重新定义后的实际高度数组。\n"
    "    - first_peak_height: 浮点数，第一个近场散射峰的位置（实际高度）。\n"
    "    ";
const char doc_square[] =
    "\n    距离平方校正。\n"
    "    \n"
    "    参数:\n"
    "    - data: numpy数组,回波信号强度。\n"
    "    - transmit_signal: 浮点数，发射信号强度, 一般为常数。\n"
    "    - heights: numpy数组,校正后的真实高度。\n"
    "    \n"
    "    返回:\n"
    "    - corrected_data: numpy数组,距离平方校正后的数据(RCS值)。\n"
    "    ";
const char doc_overlap[] =
    "\n    重叠因子校正。\n"
    "    \n"
    "    参数:\n"
    "    - data: numpy数组,扣除背景和噪声后的信号数据。\n"
    "    - overlap_factors: numpy数组,重叠因子,假设是一个与data长度相同的数组,表示每个高度的重叠因子。\n"
    "    \n"
    "    返回:\n"
    "    - corrected_data: numpy数组,重叠因子校正后的数据。\n"
    "    ";

FunctionSpec functions[] = {
    {frame::method_entry("calculate_data_points", nullptr), &lumaclean, "calculate_data_points",
     "Aerolume.lumaclean.calculate_data_points", 4, 2, 2, v_data_points, calculate_data_points,
     {}},
    {frame::method_entry("remove_background_and_noise", doc_background), &lumaclean,
     "remove_background_and_noise", "Aerolume.lumaclean.remove_background_and_noise", 8, 4, 3,
     v_background, remove_background_and_noise, {}},
    {frame::method_entry("distance_zero_point_calibration", doc_zero_point), &lumaclean,
     "distance_zero_point_calibration", "Aerolume.lumaclean.distance_zero_point_calibration", 48,
     2, 2, v_zero_point, distance_zero_point_calibration, {}},
    {frame::method_entry("distance_square_correction", doc_square), &lumaclean,
     "distance_square_correction", "Aerolume.lumaclean.distance_square_correction", 69, 3, 3,
     v_square, distance_square_correction, {}},
    {frame::method_entry("overlap_factor_correction", doc_overlap), &lumaclean,
     "overlap_factor_correction", "Aerolume.lumaclean.overlap_factor_correction", 86, 2, 2,
     v_overlap, overlap_factor_correction, {}},
};

frame::ModuleFrame lumaclean{
    "lumaclean",
    "Aerolume.lumaclean",
    "Aerolume\\lumaclean",
    "init Aerolume.lumaclean",
    functions,
    {},
    {make_interned, cache_builtins, make_tables, import_statements, nullptr},
    R,
};

}  // namespace

PyMODINIT_FUNC PyInit_lumaclean(void) { return frame::module_init(lumaclean); }
