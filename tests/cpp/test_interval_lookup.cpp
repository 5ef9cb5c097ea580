// The partitions' lookup rule (interval k is [b_k, b_(k+1))); the inline floor of the lookup
// agrees with std::floor bit for bit; the midpoint is (a + b) / 2 wherever that sum is finite, and
// without overflow where it is not.
#include <gtest/gtest.h>

#include <algorithm>
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
namespace pp = pwpoly::piecewise_polynomials;

// Every breakpoint b_k, 0 < k < n, locates in interval k at xi = -1 up to rounding; the double
// just below it in interval k - 1; the ends, times outside, infinities and NaN at the nearest end.
template <class P>
void check_rule(const P& partition) {
    const std::size_t n = partition.n_intervals();
    const double inf = std::numeric_limits<double>::infinity();
    for (std::size_t k = 1; k < n; ++k) {
        const double b = partition.boundary(k);
        const auto at = pp::locate_in(partition, b);
        ASSERT_EQ(at.k, k) << "n = " << n << ", b = " << b;
        // Rounding: a few units of the ends' last place, relative to the length.
        const double right = partition.interval(k).right;
        ASSERT_NEAR(at.xi, -1.0, 1e-15 + 1e-15 * (std::fabs(b) + std::fabs(right)) / partition.length(k));
        const double below = std::nextafter(b, -inf);
        ASSERT_EQ(partition.locate(below), k - 1) << "n = " << n << ", below " << b;
        for (const std::size_t hint : {std::size_t{0}, k - 1, k, n - 1})
            ASSERT_EQ(partition.locate_near(b, hint), k) << "hint " << hint;
        ASSERT_EQ(partition.locate_near(below, k - 1), k - 1);
        ASSERT_EQ(partition.locate_near(below, n - 1), k - 1);
    }
    EXPECT_EQ(partition.locate(partition.start()), 0u);
    EXPECT_EQ(partition.locate(partition.end()), n - 1);
    for (const double t : {-inf, partition.start() - 1.0, std::numeric_limits<double>::quiet_NaN()})
        EXPECT_EQ(partition.locate(t), 0u) << t;
    for (const double t : {inf, partition.end() + 1.0}) EXPECT_EQ(partition.locate(t), n - 1) << t;
    EXPECT_EQ(pp::locate_in(partition, -inf).xi, -1.0);
    EXPECT_EQ(pp::locate_in(partition, inf).xi, 1.0);
}

TEST(PartitionLookup, UniformBreakpointsLocateOnTheirRight) {
    for (const double T : {1.0, 0.3, 7.0, 1e-3, 123.456, 3.0e300}) {
        for (std::size_t n = 1; n <= 200; ++n) check_rule(pp::UniformPartition(T, n));
    }
    // Counts far beyond any table: the quotient is still corrected by one step (2^40 + 7 where
    // the size type holds it).
    const std::uint64_t huge = (std::uint64_t{1} << 40) + 7;
    std::vector<std::size_t> counts{std::size_t{1} << 30};
    if (huge <= std::numeric_limits<std::size_t>::max()) counts.push_back(static_cast<std::size_t>(huge));
    for (const std::size_t n : counts) {
        const pp::UniformPartition partition(1.0, n);
        for (const std::size_t k : {std::size_t{1}, n / 3, n / 2 + 1, n - 1}) {
            ASSERT_EQ(partition.locate(partition.boundary(k)), k);
            ASSERT_EQ(partition.locate(std::nextafter(partition.boundary(k), 0.0)), k - 1);
        }
    }
}

TEST(PartitionLookup, BreakpointsLocateOnTheirRight) {
    std::mt19937_64 rng(21);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (std::size_t n = 1; n <= 200; ++n) {
        // Graded, starting below 0, with lengths from 1e-300 to 1e290 and neighbours one ulp apart.
        std::vector<double> b(n + 1);
        b[0] = -0.5 * unit(rng);
        for (std::size_t k = 1; k <= n; ++k) {
            const double s = static_cast<double>(k) / static_cast<double>(n);
            double next = b[0] + 2.0 * (s * s * s);
            if (n % 7 == 3 && k % 5 == 1) next = std::nextafter(b[k - 1], 1e308);
            if (n % 11 == 0 && k == n) next = 1e290;
            b[k] = std::max(next, std::nextafter(b[k - 1], 1e308));
        }
        check_rule(pp::BreakpointPartition(b));
    }
}

// The bucket index of a window (and, for ascending times, the start from the previous answer)
// gives the partition's own answer for every time, inside the window or not (graded, one-ulp intervals, huge and tiny lengths, times on and next to every
// breakpoint, outside, infinite, NaN), sorted or not.
TEST(PartitionLookup, WindowIndexIsTheLookup) {
    std::mt19937_64 rng(23);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double inf = std::numeric_limits<double>::infinity();
    for (int trial = 0; trial < 40; ++trial) {
        const std::size_t n = 8 + pwpoly::testing_support::random_below(rng, 300);
        std::vector<double> b(n + 1);
        b[0] = trial % 3 == 0 ? -5.0 : 0.0;
        for (std::size_t k = 1; k <= n; ++k) {
            const double s = static_cast<double>(k) / static_cast<double>(n);
            double next = b[0] + (trial % 2 == 0 ? s * s * s : s) * (trial % 5 == 0 ? 1e-200 : 3.0);
            if (trial % 4 == 1 && k % 9 == 0) next = std::nextafter(b[k - 1], inf);
            b[k] = std::max(next, std::nextafter(b[k - 1], inf));
        }
        const pp::BreakpointPartition partition(b);
        std::size_t first = pwpoly::testing_support::random_below(rng, n);
        std::size_t end = first + 1 + pwpoly::testing_support::random_below(rng, n - first);
        if (trial % 3 == 0) first = 0, end = n;
        std::vector<double> times;
        for (std::size_t k = 0; k <= n; ++k)
            for (const double t : {b[k], std::nextafter(b[k], -inf), std::nextafter(b[k], inf)}) times.push_back(t);
        for (int j = 0; j < 2000; ++j) times.push_back(b[0] + (b[n] - b[0]) * (unit(rng) * 1.2 - 0.1));
        for (const double t : {-inf, inf, std::numeric_limits<double>::quiet_NaN()}) times.push_back(t);
        if (trial % 2 == 0) std::sort(times.begin(), times.end());
        pp::WindowLocator<pp::BreakpointPartition> locator(partition, first, end, times.size());
        locator.next_times(times.data(), times.size());  // sorted ones start from the previous answer
        for (const double t : times) ASSERT_EQ(locator.locate(t), partition.locate(t)) << trial << " t = " << t;
    }
}

TEST(PartitionLookup, SortedTimesFollowTheirHint) {
    std::vector<double> b{0.0, 0.5, 0.75, 2.0, 2.5};
    const pp::BreakpointPartition partition(b);
    std::mt19937_64 rng(22);
    std::uniform_real_distribution<double> times(-1.0, 3.0);
    for (int trial = 0; trial < 10000; ++trial) {
        const double t = times(rng);
        const std::size_t hint = pwpoly::testing_support::random_below(rng, 4);
        ASSERT_EQ(partition.locate_near(t, hint), partition.locate(t)) << t << " " << hint;
        std::size_t k = 0;
        while (k + 1 < 4 && b[k + 1] <= t) ++k;
        ASSERT_EQ(partition.locate(t), k) << t;
    }
}
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

// Interval ends above half the largest double: the scalar face's local coordinate of the scaled
// interval, and infinity at the right end; the vector lanes give the array face's bits.
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
            const auto lanes = pp::locate_in(big, times[j]);
            EXPECT_EQ(static_cast<std::size_t>(k[j]), lanes.k);
            EXPECT_EQ(bits(xi[j]), bits(lanes.xi)) << times[j];
        }
    }
}

}  // namespace
