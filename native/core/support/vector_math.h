// The natural logarithm and the exponential of many values at once, in loops the compiler
// vectorises (the C library's are one call per value): each within 1 ulp of the exact
// value, the same on every thread and every call.  The processor's widest vectors are used
// where it has them (one version of each loop per instruction set, chosen when the library
// loads): every version does the same IEEE operations in the same order, with no fused
// multiply-add (the build forbids contraction), so every version gives the same bits.
// Both reduce the argument by powers of two and take the minimax coefficients of the
// classic freely distributed libm (Sun Microsystems, 1993: e_log and e_exp).
//
// ln x = k ln 2 + ln m for x = 2^k m with sqrt(2)/2 <= m < sqrt(2); with f = m - 1 and
// s = f / (2 + f), ln m = f - f^2/2 + s (f^2/2 + R), R the series of 2 atanh(s) / s - 2
// in s^2; ln 2 split in a high part exact in k ln 2 and the rest.
//
// e^x = 2^k e^r for k the nearest integer to x / ln 2 and r = x - k ln 2 (|r| <= ln 2 / 2,
// ln 2 split as above); e^r = 1 + r + r c / (2 - c) with c = r - r^2 P(r^2).
#pragma once

#include <cstddef>

namespace aerolume {

// out[i] = ln x[i] for i < n; `out` must not overlap `x`.  Zero, negative, subnormal,
// infinite and NaN values take std::log's result (a second pass over the few of them).
void log_of(const double* x, std::size_t n, double* out);

// out[i] = e^x[i] for i < n; `out` must not overlap `x`.  Beyond |x| = 708 (overflow,
// subnormal results) and NaN, std::exp's result (a second pass over the few of them).
void exp_of(const double* x, std::size_t n, double* out);

}  // namespace aerolume
