// The inline floor of the interval lookup agrees with std::floor bit for bit; the midpoint is
// (a + b) / 2 wherever that sum is finite, and without overflow where it is not.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "piecewise_polynomials/batch_simd.hpp"
#include "piecewise_polynomials/interval_lookup.hpp"
#include "support.hpp"

namespace {

using pwpoly::piecewise_polynomials::floor_exact;
using pwpoly::piecewise_polynomials::midpoint;
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

TEST(Midpoint, TheSumWhereFiniteHalvesWhereItOverflows) {
    const double max = std::numeric_limits<double>::max();
    std::mt19937_64 random(11);
    for (int i = 0; i < 100000; ++i) {
        const double a = std::bit_cast<double>(random());  // every sign and exponent
        const double b = std::bit_cast<double>(random());
        if (std::isnan(a) || std::isnan(b) || std::isinf(a + b)) continue;
        ASSERT_EQ(bits(midpoint(a, b)), bits((a + b) / 2.0)) << a << " " << b;
    }
    EXPECT_EQ(midpoint(max, max), max);
    EXPECT_EQ(midpoint(-max, -max), -max);
    EXPECT_EQ(midpoint(1.2e308, 1.5e308), 1.35e308);
    EXPECT_EQ(midpoint(0.0, max), max / 2.0);
}

// Interval ends above half the largest double: the local coordinate of the scaled interval,
// scalar and vector lanes alike, and infinity at the right end.
TEST(Midpoint, HugeIntervalsLocateAsSmallOnes) {
    namespace pp = pwpoly::piecewise_polynomials;
    const double inf = std::numeric_limits<double>::infinity();
    const std::size_t n_t = 4;
    const pp::UniformPartition big(1.5e308, n_t), small(1.5, n_t);
    std::vector<double> times;
    for (int j = 0; j < 40; ++j) times.push_back(1.5e308 * (0.05 + 0.9 * (j + 0.3) / 40.0));  // off the interval ends
    times.push_back(inf);
    std::vector<std::int64_t> k(times.size());
    std::vector<double> xi(times.size());
    const std::size_t handled =
        pp::simd::available(n_t) ? pp::simd::locate(big.dt, n_t, times.data(), times.size(), k.data(), xi.data()) : 0;
    for (std::size_t j = 0; j < times.size(); ++j) {
        const auto at = pp::locate_in_partition(big, n_t, times[j]);
        const auto expected = pp::locate_in_partition(small, n_t, times[j] == inf ? 1.5 : times[j] / 1e308);
        EXPECT_EQ(at.k, expected.k) << times[j];
        EXPECT_NEAR(at.xi, expected.xi, 1e-12) << times[j];
        if (j < handled) {
            EXPECT_EQ(static_cast<std::size_t>(k[j]), at.k);
            EXPECT_EQ(bits(xi[j]), bits(at.xi)) << times[j];
        }
    }
}

}  // namespace
