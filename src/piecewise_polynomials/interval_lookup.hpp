// The time lookup of the Legendre basis: the interval of the uniform partition holding a time,
// and the local coordinate there. LegendreBasis::locate_interval and the batch kernels both
// go through locate_in_partition, so every face of the basis locates a time identically.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "piecewise_polynomials/partition.hpp"

namespace pwpoly::piecewise_polynomials {

struct IntervalLocation {
    std::size_t k;  // interval index
    double xi;      // local coordinate in [-1, 1] (NaN stays NaN)
};

// floor(x), exactly, without a library call (SSE2 has no rounding instruction): integers,
// infinities and NaN are returned as they are.
inline double floor_exact(double x) {
    if (!(std::fabs(x) < 4503599627370496.0)) return x;  // NaN, infinite, or an integer beyond 2^52
    const double truncated = static_cast<double>(static_cast<std::int64_t>(x));
    if (truncated == x) return x;
    return truncated > x ? truncated - 1.0 : truncated;
}

// The midpoint of the interval ends a and b: (a + b) / 2 where a + b is finite, and a / 2 + b / 2
// (exact halves, one rounding) where the sum overflows, which only ends beyond half the largest
// double in magnitude reach.
inline double midpoint(double a, double b) {
    const double sum = a + b;
    if (std::isinf(sum)) return a / 2.0 + b / 2.0;
    return sum / 2.0;
}

// k = floor(t / dt), 0 for NaN and non-positive quotients, saturated at the size type and
// clamped to n_t - 1; xi = (2 (t - midpoint(a, b))) / (b - a) on [a, b] = interval k, clamped to
// [-1, 1]. Times before 0 land at the left end of interval 0, times after T at the right end of
// interval n_t - 1. Requires n_t >= 1.
inline IntervalLocation locate_in_partition(const UniformPartition& partition, std::size_t n_t, double t) {
    const double q = floor_exact(t / partition.dt);

    // Largest size as a double: exact for 32-bit sizes, 2^64 for 64-bit ones. Every integral
    // q below it converts exactly; at or above it the index saturates.
    constexpr std::size_t size_max = std::numeric_limits<std::size_t>::max();
    constexpr double size_limit = static_cast<double>(size_max);
    std::size_t index = 0;
    if (std::isnan(q) || q <= 0.0) {
        index = 0;
    } else if (q >= size_limit) {
        index = size_max;
    } else {
        index = static_cast<std::size_t>(q);
    }
    const std::size_t k = index >= n_t ? n_t - 1 : index;

    const Interval interval = partition.interval(k);
    const double a = interval.left;
    const double b = interval.right;
    double xi = (2.0 * (t - midpoint(a, b))) / (b - a);
    if (xi < -1.0) {
        xi = -1.0;
    } else if (xi > 1.0) {
        xi = 1.0;
    }
    return {k, xi};
}

}  // namespace pwpoly::piecewise_polynomials
