// The inline floor of the interval lookup agrees with std::floor bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "piecewise_polynomials/interval_lookup.hpp"
#include "support.hpp"

namespace {

using pwpoly::piecewise_polynomials::floor_exact;
using pwpoly::testing_support::bits;

TEST(FloorExact, SpecialValues) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double two52 = 4503599627370496.0;
    const std::vector<double> values{0.0,
                                     -0.0,
                                     0.5,
                                     -0.5,
                                     1.0,
                                     -1.0,
                                     2.5,
                                     -2.5,
                                     1e-300,
                                     -1e-300,
                                     inf,
                                     -inf,
                                     two52,
                                     -two52,
                                     two52 - 0.5,
                                     -(two52 - 0.5),
                                     two52 * 2.0,
                                     1e300,
                                     -1e300,
                                     0.9999999999999999,
                                     -0.9999999999999999,
                                     9.223372036854775e18,
                                     -9.223372036854775e18,
                                     std::numeric_limits<double>::denorm_min()};
    for (const double x : values) EXPECT_EQ(bits(floor_exact(x)), bits(std::floor(x))) << x;
    EXPECT_TRUE(std::isnan(floor_exact(nan)));
}

TEST(FloorExact, RandomQuotients) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> uniform(-1e6, 1e6);
    for (int i = 0; i < 200000; ++i) {
        const double x = uniform(random);
        ASSERT_EQ(bits(floor_exact(x)), bits(std::floor(x))) << x;
        const double y = std::bit_cast<double>(random());  // every exponent, NaN included
        if (!std::isnan(y)) {
            ASSERT_EQ(bits(floor_exact(y)), bits(std::floor(y))) << y;
        }
    }
}

}  // namespace
