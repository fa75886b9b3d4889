// The store's own fmod, floor and ceil must agree with the C library's bit
// for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

#include "libm_functions.h"

namespace {

uint64_t bits_of(double d) {
    uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

void expect_same_rounding(double x) {
    EXPECT_EQ(bits_of(xml_store::round_down(x)), bits_of(std::floor(x))) << x;
    EXPECT_EQ(bits_of(xml_store::round_up(x)), bits_of(std::ceil(x))) << x;
}

void expect_same(double x, double y) {
    const double expected = std::fmod(x, y);
    const double got = xml_store::truncated_remainder(x, y);
    if (std::isnan(expected))
        EXPECT_TRUE(std::isnan(got)) << x << " mod " << y;
    else
        EXPECT_EQ(bits_of(got), bits_of(expected)) << x << " mod " << y << " = " << expected;
}

TEST(LibmFunctions, SpecialValues) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double tiny = std::numeric_limits<double>::denorm_min();
    const double huge = std::numeric_limits<double>::max();
    const double least = std::numeric_limits<double>::min();
    for (double x : {0.0, -0.0, 1.0, -1.0, 5.5, -5.5, 3.0, tiny, -tiny, least, huge, -huge, inf,
                     -inf, nan, 1e-310, 7e300})
        for (double y : {0.0, -0.0, 1.0, -1.0, 2.0, 0.1, 3.0, tiny, least, huge, inf, -inf, nan,
                         1e-310, 1e-300})
            expect_same(x, y);
    for (double x : {0.0, -0.0, 0.5, -0.5, 1.0, -1.0, 1.5, -1.5, 0x1p52, -0x1p52, 0x1p52 - 0.5,
                     -0x1p52 + 0.5, 0x1p53 + 2, 1e300, -1e300, tiny, -tiny, inf, -inf})
        expect_same_rounding(x);
    EXPECT_TRUE(std::isnan(xml_store::round_down(nan)));
    EXPECT_TRUE(std::isnan(xml_store::round_up(nan)));
}

TEST(LibmFunctions, RandomValuesOfEveryMagnitude) {
    std::mt19937_64 random(20261208);
    for (int i = 0; i < 200000; ++i) {
        double x, y;
        const uint64_t a = random(), b = random();
        std::memcpy(&x, &a, sizeof x);
        std::memcpy(&y, &b, sizeof y);
        expect_same(x, y);
        if (!std::isnan(x)) expect_same_rounding(x);
        expect_same_rounding(std::ldexp(static_cast<double>(a >> 11), -static_cast<int>(b % 64)));
        // Close exponents exercise the division loop's every step.
        if (std::isfinite(x) && std::isfinite(y) && x != 0 && y != 0)
            expect_same(x, std::ldexp(y, std::ilogb(x) - std::ilogb(y) - static_cast<int>(b % 60)));
    }
}

}  // namespace
