// The store's own fmod must agree with the C library's bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

#include "remainder.h"

namespace {

uint64_t bits_of(double d) {
    uint64_t u;
    std::memcpy(&u, &d, sizeof u);
    return u;
}

void expect_same(double x, double y) {
    const double expected = std::fmod(x, y);
    const double got = xml_store::truncated_remainder(x, y);
    if (std::isnan(expected))
        EXPECT_TRUE(std::isnan(got)) << x << " mod " << y;
    else
        EXPECT_EQ(bits_of(got), bits_of(expected)) << x << " mod " << y << " = " << expected;
}

TEST(Remainder, SpecialValues) {
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
}

TEST(Remainder, RandomValuesOfEveryMagnitude) {
    std::mt19937_64 random(20261208);
    for (int i = 0; i < 200000; ++i) {
        double x, y;
        const uint64_t a = random(), b = random();
        std::memcpy(&x, &a, sizeof x);
        std::memcpy(&y, &b, sizeof y);
        expect_same(x, y);
        // Close exponents exercise the division loop's every step.
        expect_same(x, std::ldexp(y, std::ilogb(x) - std::ilogb(y) - static_cast<int>(b % 60)));
    }
}

}  // namespace
