#include "libm_functions.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace xml_store {
namespace {

constexpr uint64_t kSign = uint64_t{1} << 63;
constexpr uint64_t kImplicitBit = uint64_t{1} << 52;
constexpr int kExponentAll = 0x7FF;

uint64_t bits_of(double d) {
    uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

double from_bits(uint64_t u) {
    double d;
    std::memcpy(&d, &u, sizeof d);
    return d;
}

// The significand with its leading bit at bit 52; exponent is lowered for a
// subnormal so that the value stays the same.
uint64_t significand(uint64_t u, int &exponent) {
    if (exponent != 0) return (u & (kImplicitBit - 1)) | kImplicitBit;
    uint64_t m = u & (kImplicitBit - 1);
    exponent = 1;
    while (!(m & kImplicitBit)) {
        m <<= 1;
        --exponent;
    }
    return m;
}

}  // namespace

// Long division on the significands, a bit of the quotient a step: every step
// is exact, so the result is too.
double truncated_remainder(double x, double y) {
    const uint64_t ux = bits_of(x), uy = bits_of(y);
    int ex = static_cast<int>(ux >> 52 & kExponentAll);
    int ey = static_cast<int>(uy >> 52 & kExponentAll);
    const bool y_is_nan = ey == kExponentAll && (uy & (kImplicitBit - 1)) != 0;
    if ((uy << 1) == 0 || ex == kExponentAll || y_is_nan)
        return std::numeric_limits<double>::quiet_NaN();
    if ((ux << 1) < (uy << 1)) return x;  // |x| < |y|, y infinite included
    if ((ux << 1) == (uy << 1)) return 0 * x;

    uint64_t mx = significand(ux, ex);
    const uint64_t my = significand(uy, ey);
    for (; ex > ey; --ex) {
        if (mx >= my) mx -= my;
        if (mx == 0) return 0 * x;
        mx <<= 1;
    }
    if (mx >= my) mx -= my;
    if (mx == 0) return 0 * x;

    while (!(mx & kImplicitBit)) {
        mx <<= 1;
        --ex;
    }
    // Normal again, or subnormal: the exponent is below that of x here.
    const uint64_t magnitude =
        ex > 0 ? (mx - kImplicitBit) | static_cast<uint64_t>(ex & kExponentAll) << 52
               : mx >> (1 - ex);
    return from_bits((ux & kSign) | magnitude);
}

// Below 2^52 a double converts to a 64-bit integer exactly, truncated; at and
// above it every double is an integer already (as are infinities; NaN fails
// the comparison and comes back too).
double round_down(double x) {
    if (!(std::fabs(x) < 0x1p52)) return x;
    const double truncated = static_cast<double>(static_cast<int64_t>(x));
    const double down = truncated > x ? truncated - 1 : truncated;
    return std::copysign(down, x);  // -0.5 gives -1, -0.0 stays -0.0
}

double round_up(double x) {
    return -round_down(-x);
}

}  // namespace xml_store
