// Instrument corrections of lidar signals, over profiles whose last axis is range.
//
// Each correction is a function of one profile (a row); the array kernels run it over
// many profiles in threads, and `run_chain` runs a whole sequence of them on each
// profile while it is in cache, averaging profiles in time as it goes.  Both paths call
// the same row functions, so they give the same numbers.
//
// Units: photon-counting rates in MHz, dead times in ns.  Noise is carried as a standard
// deviation next to each signal; an empty noise span means none is carried.  NaN marks a
// bin with no value (padding, saturation); statistics skip NaN bins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace aerolume::corrections {

// ---- one profile ------------------------------------------------------------------------

enum class DeadTimeModel { non_paralysable, paralysable };

// Corrects measured count rates (MHz) in place for a dead time `tau` (ns):
// non-paralysable N = M / (1 - M tau); paralysable M = N exp(-N tau), solved on the
// branch N tau < 1.  Rates the model cannot have produced (M tau >= 1, resp.
// M tau > 1/e) become NaN and are counted in the result; so are negative rates under
// the paralysable model.  `noise`, if given, is scaled by dN/dM.  `saturated`, if
// given, gets 1 at each such bin (else 0).
std::size_t dead_time_row(std::span<double> rate, std::span<double> noise, double tau,
                          DeadTimeModel model, std::span<std::uint8_t> saturated = {});

// out[k] = in[k + shift], NaN where k + shift is outside the profile.
void shift_row(std::span<const double> in, std::span<double> out, std::int64_t shift);

struct Stats {
    double mean, std;  // std with one degree of freedom removed; NaN with fewer than 2 bins
    std::size_t count;  // finite bins in the window
};

// Mean and standard deviation of the finite bins in [begin, end).
Stats window_stats(std::span<const double> x, std::size_t begin, std::size_t end);

struct Fit {
    double slope, offset, correlation;
    std::size_t count, first, last;  // bins used; first/last bin used (0 if none)
};

// Least-squares fit pc = slope x analog + offset over the bins of [begin, end) where
// both are finite, low <= pc <= high and analog > min_analog.  NaN slope and offset with
// fewer than 3 such bins or no spread in the analog signal.
Fit glue_fit_row(std::span<const double> analog, std::span<const double> pc, double low,
                 double high, std::size_t begin, std::size_t end, double min_analog);

// The glued profile: pc where it is finite and at most `high`, else the scaled analog
// slope x analog + offset.  Noise: the pc noise, or slope x the analog noise.
void glue_row(std::span<const double> analog, std::span<const double> pc,
              std::span<const double> analog_noise, std::span<const double> pc_noise,
              const Fit& fit, double high, std::span<double> out, std::span<double> out_noise);

// Means of `bins` consecutive bins (the last group may be shorter), skipping NaN; noise
// sqrt(sum of variances) / count.  out has ceil(size / bins) bins.
void merge_row(std::span<const double> x, std::span<const double> noise, std::size_t bins,
               std::span<double> out, std::span<double> out_noise);

// ---- arrays of profiles ---------------------------------------------------------------------
// `x` holds profiles of `gates` bins one after the other; per-profile parameters have one
// value per profile.  Outputs are separate arrays of the same layout.

std::vector<std::size_t> dead_time(std::span<const double> rate, std::span<const double> noise,
                                   std::size_t gates, std::span<const double> tau,
                                   DeadTimeModel model, std::span<double> out,
                                   std::span<double> out_noise, std::span<std::uint8_t> saturated,
                                   unsigned threads);

void shift(std::span<const double> x, std::size_t gates, std::span<const std::int64_t> shifts,
           std::span<double> out, unsigned threads);

// Background statistics over [begin, end) of each profile (begin/end per profile), and
// the profiles with the mean subtracted when `out` is not empty.
void background(std::span<const double> x, std::size_t gates,
                std::span<const std::size_t> begin, std::span<const std::size_t> end,
                std::span<double> out, std::span<double> mean, std::span<double> std,
                std::span<std::size_t> count, unsigned threads);

struct GlueParams {
    double low, high;          // rate window (MHz)
    std::size_t begin, end;    // bins where the fit may look
};

void glue(std::span<const double> analog, std::span<const double> pc,
          std::span<const double> analog_noise, std::span<const double> pc_noise,
          std::size_t gates, GlueParams params, std::span<const double> min_analog,
          std::span<double> out, std::span<double> out_noise, std::span<Fit> fits,
          unsigned threads);

// Weighted means over groups of profiles along the first axis: x is (times, items,
// gates), weights (times, items), group g covering times [starts[g], starts[g+1]).  Per
// bin, NaN bins are left out (with their weight).  Noise: sqrt(sum w^2 s^2) / sum w.
// weight_sum gets the total weight of each (group, item).
void average_time(std::span<const double> x, std::span<const double> noise,
                  std::span<const double> weights, std::size_t times, std::size_t items,
                  std::size_t gates, std::span<const std::size_t> starts,
                  std::span<double> out, std::span<double> out_noise,
                  std::span<double> weight_sum, unsigned threads);

void merge(std::span<const double> x, std::span<const double> noise, std::size_t gates,
           std::size_t bins, std::span<double> out, std::span<double> out_noise,
           unsigned threads);

// x[k] * factor[k] for every profile (range correction r^2, overlap 1/O); noise x |factor|.
void scale(std::span<const double> x, std::span<const double> noise, std::size_t gates,
           std::span<const double> factor, std::span<double> out, std::span<double> out_noise,
           unsigned threads);

// ---- the whole chain ---------------------------------------------------------------------

struct ChannelSteps {
    bool photon_counting = false;
    double dead_time = 0.0;  // ns; 0 for none
    DeadTimeModel model = DeadTimeModel::non_paralysable;
    std::size_t background_begin = 0, background_end = 0;  // window on the input bins
    bool subtract_background = false;
    std::int64_t shift = 0;
};

struct GluePair {
    std::size_t analog, pc;  // input channels
    GlueParams params;
    double min_analog_snr;   // the fit uses analog > snr x the analog noise
};

// Per profile and channel: dead time, background (statistics on the window, subtracted
// if asked), bin shift; then each glue pair makes an extra channel; then profiles are
// averaged in time by groups (weights per profile and input channel; a glued channel
// takes its pc channel's), bins are merged, and `factor` (if not empty) multiplies the
// result.  The noise starts as sqrt(rate x poisson[t, c]) for photon counting (rate
// before background subtraction) and the background's standard deviation for analog;
// the background mean's own uncertainty is added in quadrature.
struct Chain {
    std::size_t times = 0, channels = 0, gates = 0;
    std::vector<ChannelSteps> steps;      // per input channel
    std::vector<GluePair> pairs;
    std::span<const double> poisson;      // (times, channels): MHz per count-rate unit
    std::span<const double> weights;      // (times, channels)
    std::vector<std::size_t> starts;      // group boundaries, groups + 1 values
    std::size_t merge = 1;
    std::span<const double> factor;       // (out_gates) or empty
    // The noise of the input signal (times, channels, gates), if it has one already (a
    // signal corrected before); then poisson is unused and analog noise is not replaced
    // by the background's.
    std::span<const double> noise;
    std::size_t out_gates() const { return (gates + merge - 1) / merge; }
    std::size_t out_channels() const { return channels + pairs.size(); }
};

struct ChainOutput {
    std::span<double> signal, noise;      // (groups, out_channels, out_gates)
    std::span<double> weight_sum;         // (groups, out_channels)
    std::span<double> background_mean, background_std;  // (times, channels)
    std::span<std::size_t> saturated;     // (times, channels)
    std::span<Fit> fits;                  // (times, pairs)
};

void run_chain(const Chain& chain, std::span<const double> signal, const ChainOutput& out,
               unsigned threads);

}  // namespace aerolume::corrections
