// Cloud layers and the boundary-layer top in profiles of the range-corrected signal.
//
// Both use the Haar wavelet covariance transform (Brooks 2003) of a profile f over gates
// of a (near) uniform grid, with h gates in each half of the wavelet:
//
//   W(b) = (Σ_{i=b-h}^{b-1} f_i - Σ_{i=b}^{b+h-1} f_i) / (2 h),
//
// the step between gates b - 1 and b: positive where f falls with range (the top of the
// boundary layer, the top of a cloud), negative where it rises (a cloud's base).  Every
// sum is a difference of running (prefix) sums, so each gate costs the same whatever h.
// A gap (NaN) in a profile spoils only the windows that hold it.
//
// Clouds, per profile (y = P g, g a per-gate scale: r^2 over a clear-air baseline such as
// the attenuated molecular backscatter, so that y is flat in clear air):
//  1. y smoothed by a running mean over 2 s + 1 gates, with its standard deviation;
//  2. the clear-air level c: the median of the smoothed y over the search gates (clouds and
//     the boundary layer fill a minority of them);
//  3. candidate gates: smoothed y at least min_ratio c and above c by n_sigma of its
//     standard deviation; each run of candidates is a candidate layer with its peak;
//  4. the base: the steepest rise (most negative W) within 2 h gates of the run's first
//     gate (not above its peak); the top: the last gate above the peak before the smoothed y falls back to
//     the mean of the h gates below the base, within n_sigma of their noise (the apparent
//     top where the cloud extinguishes the beam: the steepest fall of an opaque cloud is
//     just above its base, where its attenuation is strongest);
//  5. a layer is kept if its base edge is significant (-W > n_sigma sd(W)), the signal at
//     its peak is at least min_contrast times the mean of the h gates below its base (a
//     sharp rise, which aerosol does not make) and it is at least min_thickness thick.
//     Runs that start inside a kept layer join it; a run whose start is no layer is
//     searched again from 2 h + 1 gates higher.
#pragma once

#include <cstddef>
#include <cstdint>

#include "retrieval_profiles.h"

namespace aerolume {

struct CloudSettings {
    std::size_t begin = 0, end = 0;  // search gates [begin, end)
    std::size_t smooth = 0;          // s: the running mean spans 2 s + 1 gates
    std::size_t half = 1;            // h: gates in each half of the wavelet
    std::size_t noise_half = 8;      // estimated noise: running window of 2 k + 1 gates
    double min_ratio = 4.0;
    double min_contrast = 2.0;
    double n_sigma = 3.0;
    double min_thickness = 0.0;      // m
    std::size_t max_layers = 3;
};

struct CloudInputs {
    std::size_t profiles = 0, gates = 0;
    Rows signal;  // P, background removed, not range-corrected
    Rows noise;   // standard deviation of P per gate; empty: estimated from the signal
    Rows scale;   // g per gate
    Rows range;   // m
};

// Results of every profile: mask (profiles x gates, 1 inside a kept layer), base and top
// (profiles x max_layers, m, NaN where no layer; the lowest layers), layers (the count of
// layers kept, even beyond max_layers), peak (profiles x max_layers, the peak's smoothed y
// over c) and clear_air (c per profile; NaN where the search gates hold no valid value).
struct CloudOutputs {
    std::uint8_t* mask;
    double* base;
    double* top;
    double* peak;
    double* layers;
    double* clear_air;
};

void detect_clouds(const CloudInputs& in, const CloudSettings& settings,
                   const CloudOutputs& out, unsigned threads);

// The boundary-layer top per profile: the step of the largest W of f = P g (g: r^2, or r^2
// over the attenuated molecular backscatter, so that clear air gives no step) over the
// steps b in [begin, end) (limited per profile by `limit`, the first step not to search,
// such as the lowest cloud's base gate; or none).  It is accepted if W there exceeds
// n_sigma times its standard deviation and the maximum is not on the first or last
// searched step.
struct LayerTopSettings {
    std::size_t begin = 0, end = 0;
    std::size_t half = 1;
    std::size_t noise_half = 8;
    double n_sigma = 3.0;
};

struct LayerTopInputs {
    std::size_t profiles = 0, gates = 0;
    Rows signal, noise, scale, range;  // noise as for CloudInputs; scale g
    PerProfile<std::int64_t> limit;  // empty (data null): none
};

// Flags of a boundary-layer height (bits; 0: found).
enum LayerTopFlag : std::uint8_t {
    layer_top_at_edge = 1,      // the largest W is on the search range's first or last step
    layer_top_below_noise = 2,  // the largest W is not significant
    layer_top_no_data = 4,      // no step could be searched (search range, gaps, limit)
};

// height (m, the middle between gates b - 1 and b; NaN unless found), wavelet (W there,
// units of P g; NaN where no step was searched) and flag, one per profile.
void boundary_layer_height(const LayerTopInputs& in, const LayerTopSettings& settings,
                           double* height, double* wavelet, std::uint8_t* flag,
                           unsigned threads);

}  // namespace aerolume
