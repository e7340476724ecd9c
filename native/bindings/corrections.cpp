// Aerolume._core: the instrument corrections, one by one and as one chain (core/corrections/).
#include "binding.h"

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "corrections.h"

namespace aerolume::bindings {

using namespace nb::literals;
namespace corr = aerolume::corrections;

namespace {

std::span<const double> view(const In& a) {
    return a.is_valid() ? std::span<const double>(a.data(), a.size()) : std::span<const double>();
}

std::span<double> view(NewArray& a, bool valid = true) {
    return valid ? std::span<double>(a.data, a.array.size()) : std::span<double>();
}

void same_shape(const In& a, const In& b, const char* what) {
    if (b.is_valid() && shape_of(a) != shape_of(b))
        throw std::invalid_argument(std::string(what) + " must have the shape of the signal");
}

corr::DeadTimeModel model_of(const std::string& name) {
    if (name == "non_paralysable") return corr::DeadTimeModel::non_paralysable;
    if (name == "paralysable") return corr::DeadTimeModel::paralysable;
    throw std::invalid_argument("model must be 'non_paralysable' or 'paralysable', got '" + name + "'");
}

using Index = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Sizes = nb::ndarray<const std::uint64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

std::span<const std::size_t> sizes(const Sizes& a) {
    static_assert(sizeof(std::size_t) == sizeof(std::uint64_t));
    return {reinterpret_cast<const std::size_t*>(a.data()), a.size()};
}

// The gluing fits of every profile (or time and pair) as arrays of `shape`: slope, offset
// and correlation, and the count of bins fitted with the first and last of them (-1 where
// none was).
struct FitArrays {
    NewArray slope, offset, correlation;
    nb::ndarray<nb::numpy, std::int64_t> count, first, last;

    FitArrays(const std::vector<corr::Fit>& fits, const std::vector<std::size_t>& shape)
        : slope(new_array(shape)), offset(new_array(shape)), correlation(new_array(shape)) {
        auto [n, n_array] = new_typed<std::int64_t>(shape);
        auto [begin, begin_array] = new_typed<std::int64_t>(shape);
        auto [end, end_array] = new_typed<std::int64_t>(shape);
        for (std::size_t i = 0; i < fits.size(); ++i) {
            slope.data[i] = fits[i].slope;
            offset.data[i] = fits[i].offset;
            correlation.data[i] = fits[i].correlation;
            n[i] = static_cast<std::int64_t>(fits[i].count);
            begin[i] = fits[i].count ? static_cast<std::int64_t>(fits[i].first) : -1;
            end[i] = fits[i].count ? static_cast<std::int64_t>(fits[i].last) : -1;
        }
        count = n_array;
        first = begin_array;
        last = end_array;
    }
};

}  // namespace

void bind_corrections(nb::module_& m) {
    m.def("dead_time", [](In rate, In noise, In tau, const std::string& model, unsigned threads) {
        const Profiles p = profiles_of(rate, "rate");
        same_shape(rate, noise, "noise");
        if (tau.size() != p.count) throw std::invalid_argument("dead_time: one dead time per profile");
        const bool with_noise = noise.is_valid();
        NewArray out = new_array(shape_of(rate)), out_noise = new_array(with_noise ? shape_of(rate) : std::vector<std::size_t>{0});
        auto [flags, flag_array] = new_typed<std::uint8_t>(shape_of(rate));
        const corr::DeadTimeModel which = model_of(model);
        {
            Unlocked unlocked;
            corr::dead_time(view(rate), view(noise), p.gates, view(tau), which, view(out),
                            view(out_noise, with_noise), {flags, rate.size()}, threads);
        }
        return nb::make_tuple(out.array, or_none(out_noise, with_noise), flag_array);
    }, "rate"_a, "noise"_a.none(), "tau"_a, "model"_a, "threads"_a,
    "Dead-time correction of count rates (MHz; tau in ns, one per profile): (rate, noise, saturated).");

    m.def("shift_bins", [](In x, Index shifts, unsigned threads) {
        const Profiles p = profiles_of(x, "signal");
        if (shifts.size() != p.count) throw std::invalid_argument("shift_bins: one shift per profile");
        NewArray out = new_array(shape_of(x));
        {
            Unlocked unlocked;
            corr::shift(view(x), p.gates, {shifts.data(), shifts.size()}, view(out), threads);
        }
        return out.array;
    }, "x"_a, "shifts"_a, "threads"_a, "out[..., k] = x[..., k + shift], NaN outside.");

    m.def("background", [](In x, Sizes begin, Sizes end, bool subtract, unsigned threads) {
        const Profiles p = profiles_of(x, "signal");
        if (begin.size() != p.count || end.size() != p.count)
            throw std::invalid_argument("background: one window per profile");
        NewArray out = new_array(subtract ? shape_of(x) : std::vector<std::size_t>{0});
        const std::vector<std::size_t> per{p.count};
        NewArray mean = new_array(per), sd = new_array(per);
        auto [count, count_array] = new_typed<std::uint64_t>(per);
        {
            Unlocked unlocked;
            corr::background(view(x), p.gates, sizes(begin), sizes(end), view(out, subtract),
                             view(mean), view(sd), {reinterpret_cast<std::size_t*>(count), p.count},
                             threads);
        }
        return nb::make_tuple(or_none(out, subtract), mean.array, sd.array, count_array);
    }, "x"_a, "begin"_a, "end"_a, "subtract"_a, "threads"_a,
    "Background mean, standard deviation and count over [begin, end) per profile, and the "
    "signal minus the mean: (signal or None, mean, std, count).");

    m.def("glue", [](In analog, In pc, In analog_noise, In pc_noise, double low, double high,
                     std::size_t begin, std::size_t end, In min_analog, unsigned threads) {
        const Profiles p = profiles_of(analog, "analog");
        same_shape(analog, pc, "photon_counting");
        same_shape(analog, analog_noise, "analog_noise");
        same_shape(analog, pc_noise, "photon_counting_noise");
        if (min_analog.size() != p.count) throw std::invalid_argument("glue: one min_analog per profile");
        const bool with_noise = analog_noise.is_valid() || pc_noise.is_valid();
        NewArray out = new_array(shape_of(analog));
        NewArray out_noise = new_array(with_noise ? shape_of(analog) : std::vector<std::size_t>{0});
        std::vector<corr::Fit> fits(p.count);
        {
            Unlocked unlocked;
            corr::glue(view(analog), view(pc), view(analog_noise), view(pc_noise), p.gates,
                       {low, high, begin, end}, view(min_analog), view(out),
                       view(out_noise, with_noise), fits, threads);
        }
        const FitArrays f(fits, {p.count});
        return nb::make_tuple(out.array, or_none(out_noise, with_noise), f.slope.array,
                              f.offset.array, f.correlation.array, f.count, f.first, f.last);
    }, "analog"_a, "pc"_a, "analog_noise"_a.none(), "pc_noise"_a.none(), "low"_a, "high"_a,
    "begin"_a, "end"_a, "min_analog"_a, "threads"_a,
    "Glues analog and photon-counting profiles: (signal, noise, slope, offset, correlation, "
    "count, first, last).");

    using In3 = nb::ndarray<const double, nb::ndim<3>, nb::c_contig, nb::device::cpu>;
    using In2 = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
    m.def("average_time", [](In3 x, In noise, In2 weights, Sizes starts, unsigned threads) {
        const std::size_t T = x.shape(0), I = x.shape(1), R = x.shape(2);
        if (noise.is_valid() && (noise.ndim() != 3 || noise.shape(0) != T || noise.shape(1) != I ||
                                 noise.shape(2) != R))
            throw std::invalid_argument("noise must have the shape of the signal");
        if (weights.shape(0) != T || weights.shape(1) != I)
            throw std::invalid_argument("weights must be (time, channel)");
        if (starts.size() < 1) throw std::invalid_argument("average_time: no groups");
        const std::size_t G = starts.size() - 1;
        const bool with_noise = noise.is_valid();
        NewArray out = new_array({G, I, R});
        NewArray out_noise = new_array(with_noise ? std::vector<std::size_t>{G, I, R} : std::vector<std::size_t>{0});
        NewArray wsum = new_array({G, I});
        {
            Unlocked unlocked;
            corr::average_time({x.data(), x.size()}, view(noise), {weights.data(), weights.size()},
                               T, I, R, sizes(starts), view(out), view(out_noise, with_noise),
                               view(wsum), threads);
        }
        return nb::make_tuple(out.array, or_none(out_noise, with_noise), wsum.array);
    }, "x"_a, "noise"_a.none(), "weights"_a, "starts"_a, "threads"_a,
    "Weighted means over groups of profiles [starts[g], starts[g+1]): (signal, noise, weight sums).");

    m.def("merge_bins", [](In x, In noise, std::size_t bins, unsigned threads) {
        const Profiles p = profiles_of(x, "signal");
        same_shape(x, noise, "noise");
        if (bins < 1) throw std::invalid_argument("bins must be at least 1");
        std::vector<std::size_t> shape = shape_of(x);
        shape.back() = (p.gates + bins - 1) / bins;
        const bool with_noise = noise.is_valid();
        NewArray out = new_array(shape), out_noise = new_array(with_noise ? shape : std::vector<std::size_t>{0});
        {
            Unlocked unlocked;
            corr::merge(view(x), view(noise), p.gates, bins, view(out), view(out_noise, with_noise), threads);
        }
        return nb::make_tuple(out.array, or_none(out_noise, with_noise));
    }, "x"_a, "noise"_a.none(), "bins"_a, "threads"_a, "Means of consecutive bins: (signal, noise).");

    m.def("scale_range", [](In x, In noise, In factor, unsigned threads) {
        const Profiles p = profiles_of(x, "signal");
        same_shape(x, noise, "noise");
        if (factor.size() != p.gates) throw std::invalid_argument("factor must have one value per range bin");
        const bool with_noise = noise.is_valid();
        NewArray out = new_array(shape_of(x)), out_noise = new_array(with_noise ? shape_of(x) : std::vector<std::size_t>{0});
        {
            Unlocked unlocked;
            corr::scale(view(x), view(noise), p.gates, view(factor), view(out), view(out_noise, with_noise), threads);
        }
        return nb::make_tuple(out.array, or_none(out_noise, with_noise));
    }, "x"_a, "noise"_a.none(), "factor"_a, "threads"_a, "x * factor along range: (signal, noise).");

    // The whole chain: what it does to each input channel, and each glue pair.
    nb::class_<corr::ChannelSteps>(m, "ChannelSteps",
        "What the correction chain does to one input channel: dead time (ns, 0: none) with "
        "its model, the background window (input bins) and whether it is subtracted, and "
        "the bin shift.")
        .def("__init__",
             [](corr::ChannelSteps* self, bool photon_counting, double dead_time, const std::string& model,
                std::size_t background_begin, std::size_t background_end, bool subtract_background,
                std::int64_t shift) {
                 new (self) corr::ChannelSteps{photon_counting, dead_time, model_of(model), background_begin,
                                               background_end, subtract_background, shift};
             },
             nb::kw_only(), "photon_counting"_a, "dead_time"_a, "model"_a, "background_begin"_a,
             "background_end"_a, "subtract_background"_a, "shift"_a)
        .def_ro("photon_counting", &corr::ChannelSteps::photon_counting)
        .def_ro("dead_time", &corr::ChannelSteps::dead_time)
        .def_ro("background_begin", &corr::ChannelSteps::background_begin)
        .def_ro("background_end", &corr::ChannelSteps::background_end)
        .def_ro("subtract_background", &corr::ChannelSteps::subtract_background)
        .def_ro("shift", &corr::ChannelSteps::shift);
    nb::class_<corr::GluePair>(m, "GluePair",
        "One glue pair of the correction chain: its analog and photon-counting input "
        "channels, the count-rate window of the fit (MHz), the bins it may look at, and the "
        "analog signal-to-noise ratio the fit needs.")
        .def("__init__",
             [](corr::GluePair* self, std::size_t analog, std::size_t pc, double low, double high,
                std::size_t fit_begin, std::size_t fit_end, double min_analog_snr) {
                 new (self) corr::GluePair{analog, pc, {low, high, fit_begin, fit_end}, min_analog_snr};
             },
             nb::kw_only(), "analog"_a, "pc"_a, "low"_a, "high"_a, "fit_begin"_a, "fit_end"_a,
             "min_analog_snr"_a)
        .def_ro("analog", &corr::GluePair::analog)
        .def_ro("pc", &corr::GluePair::pc)
        .def_ro("min_analog_snr", &corr::GluePair::min_analog_snr);
    m.def("correction_chain", [](In3 signal, std::vector<corr::ChannelSteps> steps,
                                 std::vector<corr::GluePair> pairs,
                                 In2 poisson, In2 weights, Sizes starts, std::size_t merge, In factor,
                                 In noise_in, unsigned threads) {
        corr::Chain ch;
        ch.times = signal.shape(0);
        ch.channels = signal.shape(1);
        ch.gates = signal.shape(2);
        ch.steps = std::move(steps);
        ch.pairs = std::move(pairs);
        if (poisson.shape(0) != ch.times || poisson.shape(1) != ch.channels ||
            weights.shape(0) != ch.times || weights.shape(1) != ch.channels)
            throw std::invalid_argument("poisson and weights must be (time, channel)");
        ch.poisson = {poisson.data(), poisson.size()};
        ch.weights = {weights.data(), weights.size()};
        ch.starts.assign(sizes(starts).begin(), sizes(starts).end());
        if (ch.starts.empty()) throw std::invalid_argument("correction_chain: no groups");
        if (merge < 1) throw std::invalid_argument("merge must be at least 1");
        ch.merge = merge;
        ch.factor = view(factor);
        if (noise_in.is_valid() && noise_in.size() != signal.size())
            throw std::invalid_argument("noise must have the shape of the signal");
        ch.noise = view(noise_in);
        const std::size_t G = ch.starts.size() - 1, OC = ch.out_channels(), OR = ch.out_gates();
        const std::size_t T = ch.times, C = ch.channels, P = ch.pairs.size();
        auto [out_data, out_array] = traced_array<double>({G, OC, OR});
        auto [noise_data, noise_array] = traced_array<double>({G, OC, OR});
        NewArray wsum = new_array({G, OC});
        NewArray mean = new_array({T, C}), sd = new_array({T, C});
        auto [saturated, saturated_array] = new_typed<std::uint64_t>({T, C});
        std::vector<corr::Fit> fits(T * P);
        {
            Interruptible unlocked;
            corr::run_chain(ch, {signal.data(), signal.size()},
                            {{out_data, G * OC * OR}, {noise_data, G * OC * OR}, view(wsum), view(mean), view(sd),
                             {reinterpret_cast<std::size_t*>(saturated), T * C}, fits},
                            threads);
        }
        const FitArrays f(fits, {T, P});
        nb::dict d;
        d["signal"] = out_array;
        d["noise"] = noise_array;
        d["weight_sum"] = wsum.array;
        d["background_mean"] = mean.array;
        d["background_std"] = sd.array;
        d["saturated"] = saturated_array;
        d["slope"] = f.slope.array;
        d["offset"] = f.offset.array;
        d["correlation"] = f.correlation.array;
        d["count"] = f.count;
        d["first"] = f.first;
        d["last"] = f.last;
        return d;
    }, "signal"_a, "steps"_a, "pairs"_a, "poisson"_a, "weights"_a, "starts"_a, "merge"_a,
    "factor"_a.none(), "noise"_a.none(), "threads"_a,
    "Runs dead time, background, bin shift, glue, time averaging, bin merging and a range "
    "factor over (time, channel, range) signals in one pass; returns a dict of arrays.");
}

}  // namespace aerolume::bindings
