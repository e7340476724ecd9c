// Volume and particle linear depolarisation ratios from a polarisation lidar's two channels
// (Freudenthaler et al. 2009, Tellus B 61, 165; Freudenthaler 2016, AMT 9, 4181).
//
// The channels are the cross-polarised one (`cross`) and the co-polarised or total one
// (`co`).  In the GHK formalism of Freudenthaler (2016) channel i records
//
//   I_i = eta_i F11 (G_i + H_i a),   a = (1 - delta) / (1 + delta)
//
// (F11 the backscatter, delta the linear depolarisation ratio of the scattering volume);
// an ideal receiver has G = 1 and H = +1 for a parallel channel, -1 for a cross one and
// 0 for a total one.  With the measured ratio delta* = I_cross / I_co and the gain ratio
// eta = eta_cross / eta_co (eta = eta* / K, eta* the calibration's factor), the volume
// linear depolarisation ratio is
//
//   delta_v = [x (G_co + H_co) - (G_cross + H_cross)] / [(G_cross - H_cross) - x (G_co - H_co)],
//   x = delta* / eta
//
// (x itself for an ideal parallel/cross receiver, x / (2 - x) for an ideal total/cross
// one).  The particle linear depolarisation ratio follows from delta_v, the molecular one
// delta_m and the backscatter ratio R = (beta_a + beta_m) / beta_m (Freudenthaler et al.
// 2009, eq. 8; Cairo et al. 1999):
//
//   delta_p = [(1 + delta_m) delta_v R - (1 + delta_v) delta_m] / [(1 + delta_m) R - (1 + delta_v)]
//
// Kernels work gate by gate on (profiles, gates) rows; NaN in gives NaN out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "retrieval_noise.h"
#include "retrieval_profiles.h"

namespace aerolume {

// The G and H parameters of the two channels (ideal parallel/cross by default).
struct GHK {
    double g_co = 1.0, h_co = 1.0;
    double g_cross = 1.0, h_cross = -1.0;

    // The receiver turned by `epsilon` rad: H cos 2 epsilon.
    GHK rotated(double epsilon) const;
};

// delta_v of the calibrated ratio x = delta* / eta (the kernels compute the same with one
// division per gate).
inline double volume_depolarization_of(double x, const GHK& c) {
    return (x * (c.g_co + c.h_co) - (c.g_cross + c.h_cross)) /
           ((c.g_cross - c.h_cross) - x * (c.g_co - c.h_co));
}

// delta_p of delta_v, delta_m and the backscatter ratio R.
inline double particle_depolarization_of(double volume, double molecular, double ratio) {
    return ((1.0 + molecular) * volume * ratio - (1.0 + volume) * molecular) /
           ((1.0 + molecular) * ratio - (1.0 + volume));
}

struct DepolarizationInputs {
    std::size_t profiles = 0, gates = 0;
    Rows cross, co;                // the two signals, background removed
    PerProfile<double> eta;        // gain ratio eta = eta* / K
    GHK ghk;                       // the receiver unrotated
    double misalignment = 0.0;     // rad: H becomes H cos 2 epsilon
    Rows molecular;                // delta_m per gate (empty: no particle ratio)
    Rows backscatter_ratio;        // R per gate (empty: no particle ratio)

    bool particle() const { return !molecular.empty() && !backscatter_ratio.empty(); }
};

// volume[p, g] = delta_v and, when in.particle(), particle[p, g] = delta_p.
void depolarization(const DepolarizationInputs& in, double* volume, double* particle,
                    unsigned threads);

// What each Monte Carlo realisation redraws: the noise of both signals (cross first, then
// co), eta (one normal draw per profile and realisation, eta + eta_sd g), delta_m (one draw,
// delta_m + molecular_sd g at every gate), the misalignment (one draw, epsilon +
// misalignment_sd g) and R (one draw per gate, R + sd g).
struct DepolarizationMonteCarlo {
    std::size_t realisations = 100;
    std::uint64_t seed = 0;
    PerProfile<double> eta_sd;      // absolute standard deviation of eta
    double molecular_sd = 0.0;      // absolute standard deviation of delta_m
    double misalignment_sd = 0.0;   // rad
    Rows backscatter_ratio_sd;      // per gate (empty: R held)
};

// Standard deviations over the realisations of delta_v and (when in.particle(), else
// particle_sd may be null) delta_p.  Realisation j of profile p draws from the stream
// (seed, p, j + 1) alone: the systematic draws (eta, delta_m, misalignment) first, then the cross noise,
// the co noise and the backscatter ratio's draws; the results are the same whatever the
// thread count.
void depolarization_monte_carlo(const DepolarizationInputs& in, const NoiseModel& cross_noise,
                                const NoiseModel& co_noise,
                                const DepolarizationMonteCarlo& settings, double* volume_sd,
                                double* particle_sd, unsigned threads);

}  // namespace aerolume
