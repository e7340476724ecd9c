// What the retrieval, forward-model, cloud and depolarisation bindings share: the profiles
// of a signal and views of the other inputs on them, checked, and the noise of a signal.
#pragma once

#include "binding.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "retrieval_noise.h"
#include "retrieval_profiles.h"

namespace aerolume::bindings {

using GateIntervals = nb::ndarray<const std::int64_t, nb::c_contig, nb::device::cpu>;
using Seeds = nb::ndarray<const std::uint64_t, nb::c_contig, nb::device::cpu>;
using Flags = nb::ndarray<const std::uint8_t, nb::c_contig, nb::device::cpu>;

// The profiles of `signal` and a view of another input: one profile shared by all, or one
// per profile.
struct RetrievalShape {
    std::size_t profiles, gates;
    std::vector<std::size_t> shape;

    aerolume::Rows rows(const In& a, const char* name) const {
        const std::span<const double> values(a.data(), a.size());
        if (a.size() != gates && a.size() != profiles * gates)
            throw std::invalid_argument(std::string(name) + " has " + std::to_string(a.size()) +
                                        " values; expected one profile of " +
                                        std::to_string(gates) + " gates or one per profile");
        return aerolume::Rows::of(values, gates);
    }
    aerolume::Rows optional_rows(const In& a, const char* name) const {
        return a.size() == 0 ? aerolume::Rows{} : rows(a, name);
    }
    aerolume::PerProfile<double> values(const In& a, const char* name) const {
        if (a.size() != 1 && a.size() != profiles)
            throw std::invalid_argument(std::string(name) + " needs one value or one per profile");
        return aerolume::PerProfile<double>::of({a.data(), a.size()});
    }
    aerolume::PerProfile<std::int64_t> intervals(const GateIntervals& a, const char* name) const {
        if (a.size() != 2 && a.size() != 2 * profiles)
            throw std::invalid_argument(std::string(name) + " needs one (begin, end) pair or one per profile");
        for (std::size_t i = 0; i < a.size(); i += 2) {
            const std::int64_t begin = a.data()[i], end = a.data()[i + 1];
            if (begin < 0 || end <= begin || end > static_cast<std::int64_t>(gates))
                throw std::invalid_argument(std::string(name) + " holds the gates [" +
                                            std::to_string(begin) + ", " + std::to_string(end) +
                                            "), not a non-empty interval of the profile");
        }
        return aerolume::PerProfile<std::int64_t>::of({a.data(), a.size()}, 2);
    }
    // The first gate of each profile (empty: 0 for all), each below the last gate, and
    // the profile's intervals (when given) from it on.
    aerolume::PerProfile<std::int64_t> first_gates(const GateIntervals& a,
                                                   aerolume::PerProfile<std::int64_t> intervals,
                                                   const char* interval_name) const {
        if (a.size() == 0) return {};
        if (a.size() != 1 && a.size() != profiles)
            throw std::invalid_argument("first needs one gate or one per profile");
        for (std::size_t i = 0; i < a.size(); ++i)
            if (a.data()[i] < 0 || a.data()[i] >= static_cast<std::int64_t>(gates))
                throw std::invalid_argument("first holds the gate " + std::to_string(a.data()[i]) +
                                            ", outside the profile's " + std::to_string(gates) +
                                            " gates");
        const auto out = aerolume::PerProfile<std::int64_t>::of({a.data(), a.size()});
        if (intervals.data)
            for (std::size_t p = 0; p < profiles; ++p)
                if (intervals.at(p)[0] < out[p])
                    throw std::invalid_argument(std::string(interval_name) + " of profile " +
                                                std::to_string(p) + " begins below its first gate");
        return out;
    }
    // One seed per profile, or none (empty).
    const std::uint64_t* seeds(const Seeds& a) const {
        if (a.size() == 0) return nullptr;
        if (a.size() != profiles) throw std::invalid_argument("seeds needs one seed per profile");
        return a.data();
    }
};

// The profiles of `signal` (named `name` in errors).
inline RetrievalShape retrieval_shape(const In& signal, const char* name) {
    const Profiles p = profiles_of(signal, name);
    return {p.count, p.gates, shape_of(signal)};
}

// A signal's noise as the Python layer describes it (bound as NoiseModel): its kind and the
// arrays that kind uses, each unset where it does not.
struct Noise {
    aerolume::NoiseKind kind = aerolume::NoiseKind::none;
    In sigma, counts_per_unit, background;
};

// The core's model of that noise on the profiles of the signal `name` (none: no noise),
// each array checked against them.
aerolume::NoiseModel noise_model(const RetrievalShape& s, const Noise* noise, const char* name);

}  // namespace aerolume::bindings
