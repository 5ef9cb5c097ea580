// Partitions of a time interval into n intervals, the one notion of "where a time lies" that every
// kernel of the array face is written against:
//
//   n_intervals()     the number n of intervals (at least 1)
//   ends(k)           {b_k, b_{k+1}}: the ends of interval k, which the local coordinate is formed
//                     from (coordinate_from_ends)
//   length(k)         b_{k+1} - b_k, the length that scales time derivatives and integrals
//   interval(k)       the interval the Lagrange nodes of interval k are placed on: ends(k) on
//                     breakpoints, [k dt, dt + k dt] on equal intervals (the scalar face's nodes)
//   start(), end()    the ends of the whole partition (the last Lagrange node is end())
//   boundary(k)       b_k, 0 <= k <= n: interval k is [b_k, b_{k+1}), the last one closed
//   locate(t)         the k with b_k <= t < b_{k+1} (0 below b_1, NaN included; n - 1 from b_{n-1} on)
//   locate_near(t, k) the same, cheaper when t lies in or just after interval k (sorted times)
//
// A time on an interior breakpoint thus belongs to the interval on its right. Two kinds:
// UniformPartition (n equal intervals of [0, T], O(1) lookup with the formulas of the scalar face)
// and BreakpointPartition (any strictly increasing breakpoints, lookup by bisection). Both are
// small values; kernels are templates over them, so no call per time goes through a table.
#pragma once

#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "piecewise_polynomials/lanes.hpp"

namespace pwpoly::piecewise_polynomials {

struct Interval {
    double left;
    double right;
};

template <class Real>
struct Ends {
    Real left;
    Real right;
};

// The ends of interval k (given as the double kd, exact) of equal intervals of length dt, the last
// one being interval `last`, for every lane type: b_k = k dt, and b_{k+1} = (k + 1) dt below the
// last interval, dt + k dt on it (the breakpoints of a uniform space).
template <class Real>
Ends<Real> uniform_ends(const Real& kd, const Real& dt, const Real& last) {
    const Real left = kd * dt;
    return {left, below(kd, last, (kd + Real(1.0)) * dt, dt + left)};
}

// floor(x), exactly, without a library call (SSE2 has no rounding instruction): integers,
// infinities and NaN are returned as they are.
inline double floor_exact(double x) {
    if (!(std::fabs(x) < 4503599627370496.0)) return x;  // NaN, infinite, or an integer beyond 2^52
    const double truncated = static_cast<double>(static_cast<std::int64_t>(x));
    if (truncated == x) return x;
    return truncated > x ? truncated - 1.0 : truncated;
}

// The interval index floor(q) names among n (q = floor(t / dt) already): 0 for NaN and q <= 0,
// saturated at the size type and clamped to n - 1.
inline std::size_t clamped_index(double q, std::size_t n) {
    // Largest size as a double: exact for 32-bit sizes, 2^64 for 64-bit ones. Every integral q
    // below it converts exactly; at or above it the index saturates.
    constexpr std::size_t size_max = std::numeric_limits<std::size_t>::max();
    constexpr double size_limit = static_cast<double>(size_max);
    std::size_t index = 0;
    if (!(q > 0.0)) {
        index = 0;
    } else if (q >= size_limit) {
        index = size_max;
    } else {
        index = static_cast<std::size_t>(q);
    }
    return index >= n ? n - 1 : index;
}

// How many of the ascending values x[0 ... count - 1] are at or below t (0 for NaN), by a bisection
// whose steps compile to conditional moves (no mispredicted branch for random times).
inline std::size_t count_at_or_below(const double* x, std::size_t count, double t) {
    const double* first = x;
    while (count > 1) {
        const std::size_t half = count / 2;
        first = first[half - 1] <= t ? first + half : first;
        count -= half;
    }
    return static_cast<std::size_t>(first - x) + (count == 1 && *first <= t ? 1 : 0);
}

// n equal intervals of [0, T]: dt = T / n, b_k = k*dt for k < n and b_n = dt + (n - 1)*dt (the
// breakpoints of a uniform space, uniform_ends); the Lagrange nodes of interval k lie on
// [k*dt, dt + k*dt] as the scalar face places them. Requires n >= 1 for every lookup.
struct UniformPartition {
    double dt;
    double T;
    std::size_t n;

    UniformPartition(double T_, std::size_t n_t) : dt(T_ / static_cast<double>(n_t)), T(T_), n(n_t) {}

    std::size_t n_intervals() const { return n; }
    Interval interval(std::size_t k) const {
        const double left = static_cast<double>(k) * dt;
        return {left, dt + left};
    }
    Interval ends(std::size_t k) const {
        const Ends<double> e = uniform_ends(static_cast<double>(k), dt, static_cast<double>(n - 1));
        return {e.left, e.right};
    }
    double length(std::size_t k) const {
        const Interval e = ends(k);
        return e.right - e.left;
    }
    double start() const { return 0.0; }
    double end() const { return T; }
    double boundary(std::size_t k) const {
        return k < n ? static_cast<double>(k) * dt : dt + static_cast<double>(n - 1) * dt;
    }

    // floor(t / dt) is within one of the answer for every index below 2^52 (the quotient and
    // k*dt are each rounded once), so one step to either side corrects it.
    std::size_t locate(double t) const {
        std::size_t k = clamped_index(floor_exact(t / dt), n);
        if (k + 1 < n && t >= static_cast<double>(k + 1) * dt) ++k;
        if (k > 0 && t < static_cast<double>(k) * dt) --k;
        return k;
    }
    std::size_t locate_near(double t, std::size_t) const { return locate(t); }
};

// The intervals between consecutive entries of a strictly increasing array of n + 1 finite
// breakpoints (n >= 1), which the caller keeps alive; b_k is entry k and end() the last entry.
struct BreakpointPartition {
    const double* b;
    std::size_t n;

    explicit BreakpointPartition(std::span<const double> breakpoints)
        : b(breakpoints.data()), n(breakpoints.size() - 1) {}

    std::size_t n_intervals() const { return n; }
    Interval interval(std::size_t k) const { return {b[k], b[k + 1]}; }
    Interval ends(std::size_t k) const { return {b[k], b[k + 1]}; }
    double length(std::size_t k) const { return b[k + 1] - b[k]; }
    double start() const { return b[0]; }
    double end() const { return b[n]; }
    double boundary(std::size_t k) const { return b[k]; }

    // The number of interior breakpoints b_1 ... b_{n-1} at or below t (0 for NaN).
    std::size_t locate(double t) const { return count_at_or_below(b + 1, n - 1, t); }

    // Interval k itself or the next one when t lies there, else the bisection.
    std::size_t locate_near(double t, std::size_t k) const {
        if (b[k] <= t) {
            if (k + 1 == n || t < b[k + 1]) return k;
            if (k + 2 == n || t < b[k + 2]) return k + 1;
        }
        return locate(t);
    }
};

template <class P>
concept Partition = requires(const P& p, std::size_t k, double t) {
    { p.n_intervals() } -> std::same_as<std::size_t>;
    { p.interval(k) } -> std::same_as<Interval>;
    { p.ends(k) } -> std::same_as<Interval>;
    { p.length(k) } -> std::same_as<double>;
    { p.start() } -> std::same_as<double>;
    { p.end() } -> std::same_as<double>;
    { p.boundary(k) } -> std::same_as<double>;
    { p.locate(t) } -> std::same_as<std::size_t>;
    { p.locate_near(t, k) } -> std::same_as<std::size_t>;
};

static_assert(Partition<UniformPartition> && Partition<BreakpointPartition>);

}  // namespace pwpoly::piecewise_polynomials
