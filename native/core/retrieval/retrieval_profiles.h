// Profiles laid out one after the other, or one profile shared by all.
//
// The retrieval and forward-model kernels take many inputs of shape (profiles, gates) of
// which some (the molecular atmosphere, a lidar-ratio profile, the range) are often the
// same for every profile: `Rows` views either without copying the shared one.
#pragma once

#include <cstddef>
#include <span>

namespace aerolume {

struct Rows {
    const double* data = nullptr;
    std::size_t stride = 0;  // distance between profiles: gates, or 0 when shared

    static Rows of(std::span<const double> values, std::size_t gates) {
        return {values.data(), values.size() == gates ? 0 : gates};
    }
    const double* row(std::size_t profile) const { return data + profile * stride; }
    bool empty() const { return data == nullptr; }
};

// `width` values per profile (one value, or a pair such as a reference interval), or one
// set shared by all.
template <class T>
struct PerProfile {
    const T* data = nullptr;
    std::size_t stride = 0;

    static PerProfile of(std::span<const T> values, std::size_t width = 1) {
        return {values.data(), values.size() == width ? std::size_t{0} : width};
    }
    const T& operator[](std::size_t profile) const { return data[profile * stride]; }
    const T* at(std::size_t profile) const { return data + profile * stride; }
};

// Cumulative trapezoidal integral of f over r from r[0]: out[0] = 0.  Second-order accurate
// on any grid.
void cumulative_trapezoid(const double* f, const double* r, std::size_t n, double* out);

// The parabolic rule's weights on a range grid: interval i (gates i to i + 1) is integrated
// with the mean of the parabolas through it and its left or right neighbour (one at the
// ends; the trapezoid for two gates), i.e. the weights of f[i - 1], f[i], f[i + 1], f[i + 2]
// (4 per interval, 4 (n - 1) in all).  Fourth order where f is smooth on a uniform grid,
// third on any grid; linear in f, so noise averages out without bias.
void parabolic_weights(const double* r, std::size_t n, double* weights);

// Cumulative integral of f from the first gate (out[0] = 0) with those weights.
void cumulative_parabolic(const double* f, const double* weights, std::size_t n, double* out);

// The same from gate `origin` (out[origin] = 0), both ways: a gap (NaN) in f spoils only the
// gates beyond it as seen from the origin.
void cumulative_parabolic_from(const double* f, const double* weights, std::size_t n,
                               std::size_t origin, double* out);

}  // namespace aerolume
