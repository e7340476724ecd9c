#include "vector_math.h"

#include <bit>
#include <cmath>
#include <cstdint>

// One version of each loop per instruction set, chosen when the library loads (GCC on
// Linux x86-64); elsewhere the baseline one.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define VECTOR_VERSIONS __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define VECTOR_VERSIONS
#endif

namespace aerolume {

namespace {

// ln x for a positive, normal, finite x (anything else gives a wrong number: see log_of).
double log_normal(double x) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    // The biased exponent of the power of two that leaves m in [sqrt(2)/2, sqrt(2)).
    const std::uint64_t e = (bits + (0x3ff0000000000000ULL - 0x3fe6a09e667f3bcdULL)) >> 52;
    const double m = std::bit_cast<double>(bits - (e << 52) + (std::uint64_t{1023} << 52));
    // k = e - 1023 as a double: e's bits under 2^52's, less 2^52 + 1023 (both exact).
    const double k =
        std::bit_cast<double>(e | 0x4330000000000000ULL) - (4503599627370496.0 + 1023.0);
    const double f = m - 1.0;
    const double half_square = 0.5 * f * f;
    const double s = f / (2.0 + f);
    const double z = s * s, w = z * z;
    const double odd = w * (3.999999999940941908e-01 +
                            w * (2.222219843214978396e-01 + w * 1.531383769920937332e-01));
    const double even =
        z * (6.666666666666735130e-01 +
             w * (2.857142874366239149e-01 +
                  w * (1.818357216161805012e-01 + w * 1.479819860511658591e-01)));
    const double r = even + odd;
    constexpr double ln2_high = 6.93147180369123816490e-01, ln2_low = 1.90821492927058770002e-10;
    return k * ln2_high - ((half_square - (s * (half_square + r) + k * ln2_low)) - f);
}

// e^x for |x| <= 708 (anything else gives a wrong number: see exp_of).
double exp_small(double x) {
    constexpr double inverse_ln2 = 1.44269504088896338700e+00;
    constexpr double ln2_high = 6.93147180369123816490e-01, ln2_low = 1.90821492927058770002e-10;
    constexpr double round = 6755399441055744.0;  // 1.5 x 2^52: k in the last bits of the sum
    const double sum = x * inverse_ln2 + round;
    const double k = sum - round;  // the nearest integer to x / ln 2
    const double high = x - k * ln2_high, low = k * ln2_low;
    const double r = high - low;
    const double t = r * r;
    const double c =
        r - t * (1.66666666666666019037e-01 +
                 t * (-2.77777777770155933842e-03 +
                      t * (6.61375632143793436117e-05 +
                           t * (-1.65339022054652515390e-06 + t * 4.13813679705723846039e-08))));
    const double y = 1.0 - ((low - (r * c) / (2.0 - c)) - high);
    // 2^k from k in the sum's last bits (2^51 + k there).
    const std::uint64_t kk = std::bit_cast<std::uint64_t>(sum) - 0x4338000000000000ULL;
    return y * std::bit_cast<double>((kk + 1023) << 52);
}

}  // namespace

VECTOR_VERSIONS
void log_of(const double* x, std::size_t n, double* out) {
    for (std::size_t i = 0; i < n; ++i) out[i] = log_normal(x[i]);
    for (std::size_t i = 0; i < n; ++i)
        if (!(x[i] >= 2.2250738585072014e-308 && x[i] <= 1.7976931348623157e308))
            out[i] = std::log(x[i]);
}

VECTOR_VERSIONS
void exp_of(const double* x, std::size_t n, double* out) {
    for (std::size_t i = 0; i < n; ++i) out[i] = exp_small(x[i]);
    for (std::size_t i = 0; i < n; ++i)
        if (!(std::fabs(x[i]) <= 708.0)) out[i] = std::exp(x[i]);
}

}  // namespace aerolume
