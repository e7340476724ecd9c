// Aerolume._core: clouds and the boundary layer (core/retrieval/clouds.h).
#include "retrieval_inputs.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "clouds.h"

namespace aerolume::bindings {

using namespace nb::literals;

namespace {

// Search gates [begin, end) of a profile of `gates`, checked.
std::pair<std::size_t, std::size_t> search_gates(std::int64_t begin, std::int64_t end,
                                                 std::size_t gates) {
    if (begin < 0 || end <= begin || end > static_cast<std::int64_t>(gates))
        throw std::invalid_argument("search holds the gates [" + std::to_string(begin) + ", " +
                                    std::to_string(end) + "), not a non-empty interval of the "
                                    "profile");
    return {static_cast<std::size_t>(begin), static_cast<std::size_t>(end)};
}

// The inputs a cloud search shares with a layer-top search: the profiles' signal, its
// noise (optional), the scale and the range, each checked against the signal's shape.
template <class Inputs>
Inputs layer_inputs(const RetrievalShape& s, const In& signal, const In& noise, const In& scale,
                    const In& range) {
    Inputs in;
    in.profiles = s.profiles;
    in.gates = s.gates;
    in.signal = s.rows(signal, "signal");
    in.noise = s.optional_rows(noise, "noise");
    in.scale = s.rows(scale, "scale");
    in.range = s.rows(range, "range");
    return in;
}

}  // namespace

void bind_clouds(nb::module_& m) {
    m.def(
        "detect_clouds",
        [](const In& signal, const In& noise, const In& scale, const In& range,
           std::int64_t begin, std::int64_t end, std::size_t smooth, std::size_t half,
           std::size_t noise_half, double min_ratio, double min_contrast, double n_sigma,
           double min_thickness, std::size_t max_layers, unsigned threads) {
            const RetrievalShape s = retrieval_shape(signal, "signal");
            if (half < 1) throw std::invalid_argument("half must be at least 1");
            if (max_layers < 1) throw std::invalid_argument("max_layers must be at least 1");
            auto in = layer_inputs<aerolume::CloudInputs>(s, signal, noise, scale, range);
            aerolume::CloudSettings settings;
            std::tie(settings.begin, settings.end) = search_gates(begin, end, s.gates);
            settings.smooth = smooth;
            settings.half = half;
            settings.noise_half = noise_half;
            settings.min_ratio = min_ratio;
            settings.min_contrast = min_contrast;
            settings.n_sigma = n_sigma;
            settings.min_thickness = min_thickness;
            settings.max_layers = max_layers;
            auto [mask, mask_array] = traced_array<std::uint8_t>(s.shape);
            std::vector<std::size_t> lead(s.shape.begin(), s.shape.end() - 1);
            std::vector<std::size_t> per_layer = lead;
            per_layer.push_back(max_layers);
            NewArray base = unfilled_array(per_layer), top = unfilled_array(per_layer),
                     peak = unfilled_array(per_layer), layers = unfilled_array(lead),
                     clear_air = unfilled_array(lead);
            {
                Unlocked unlocked;
                aerolume::detect_clouds(in, settings,
                                        {mask, base.data, top.data, peak.data, layers.data,
                                         clear_air.data},
                                        threads);
            }
            return std::make_tuple(mask_array, base.array, top.array, peak.array, layers.array,
                                   clear_air.array);
        },
        "signal"_a, "noise"_a.none(), "scale"_a, "range"_a, nb::kw_only(), "begin"_a, "end"_a,
        "smooth"_a, "half"_a, "noise_half"_a, "min_ratio"_a, "min_contrast"_a, "n_sigma"_a,
        "min_thickness"_a, "max_layers"_a, "threads"_a = 0,
        "Cloud layers per profile of P (scaled by `scale` to a flat clear-air signal), "
        "searched over the gates [begin, end): (mask, base, top, peak ratio, layer count, "
        "clear-air level); without noise (None) it is estimated.");

    m.def(
        "boundary_layer_height",
        [](const In& signal, const In& noise, const In& scale, const In& range,
           std::int64_t begin, std::int64_t end, std::size_t half, std::size_t noise_half,
           double n_sigma, const GateIntervals& limit, unsigned threads) {
            const RetrievalShape s = retrieval_shape(signal, "signal");
            if (half < 1) throw std::invalid_argument("half must be at least 1");
            auto in = layer_inputs<aerolume::LayerTopInputs>(s, signal, noise, scale, range);
            if (limit.size() != 0) {
                if (limit.size() != s.profiles)
                    throw std::invalid_argument("limit needs one gate per profile");
                in.limit = aerolume::PerProfile<std::int64_t>::of({limit.data(), limit.size()});
            }
            aerolume::LayerTopSettings settings;
            std::tie(settings.begin, settings.end) = search_gates(begin, end, s.gates);
            settings.half = half;
            settings.noise_half = noise_half;
            settings.n_sigma = n_sigma;
            std::vector<std::size_t> lead(s.shape.begin(), s.shape.end() - 1);
            NewArray height = unfilled_array(lead), wavelet = unfilled_array(lead);
            auto [flag, flag_array] = traced_array<std::uint8_t>(lead);
            {
                Unlocked unlocked;
                aerolume::boundary_layer_height(in, settings, height.data, wavelet.data, flag,
                                                threads);
            }
            return std::make_tuple(height.array, wavelet.array, flag_array);
        },
        "signal"_a, "noise"_a.none(), "scale"_a, "range"_a, nb::kw_only(), "begin"_a, "end"_a,
        "half"_a, "noise_half"_a, "n_sigma"_a, "limit"_a.none() = nb::none(), "threads"_a = 0,
        "The boundary-layer top per profile by the Haar wavelet covariance transform of "
        "P scale (scale r^2, or r^2 over a clear-air baseline), searched over the gates "
        "[begin, end): (height, the transform there, flag); without noise (None) it is "
        "estimated; `limit` is the first step not searched per profile (negative: none), "
        "None for no limit.");
}

}  // namespace aerolume::bindings
