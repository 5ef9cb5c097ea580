// The time lookup: the interval of a partition holding a time, and the local coordinate there.
//
// Two rules. The array face (every kernel) follows the partition's own lookup: interval k is
// [b_k, b_{k+1}), so a time on an interior breakpoint lies on its right at xi = -1 exactly, and
// forms xi from the interval's own ends (coordinate_from_ends on partition.ends(k)). The scalar
// face keeps its historical lookup, k = floor(t / dt) (locate_in_partition below), and its
// midpoint formula (local_coordinate) on [k dt, dt + k dt]. The two faces agree within
// (|t| / h + 4) eps in xi.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "piecewise_polynomials/lanes.hpp"
#include "piecewise_polynomials/partition.hpp"

namespace pwpoly::piecewise_polynomials {

struct IntervalLocation {
    std::size_t k;  // interval index
    double xi;      // local coordinate in [-1, 1] (NaN stays NaN)
};

// The midpoint of the interval ends a and b: (a + b) / 2 where a + b is finite, and a / 2 + b / 2
// (exact halves, one rounding) where the sum overflows, which only ends beyond half the largest
// double in magnitude reach.
inline double midpoint(double a, double b) {
    const double sum = a + b;
    if (std::isinf(sum)) return a / 2.0 + b / 2.0;
    return sum / 2.0;
}

// The scalar face's local coordinate: xi = (2 (t - midpoint(a, b))) / (b - a) on [a, b], clamped
// to [-1, 1] (NaN stays NaN).
inline double local_coordinate(Interval interval, double t) {
    const double a = interval.left;
    const double b = interval.right;
    double xi = (2.0 * (t - midpoint(a, b))) / (b - a);
    if (xi < -1.0) {
        xi = -1.0;
    } else if (xi > 1.0) {
        xi = 1.0;
    }
    return xi;
}

// The array face's local coordinate, from the interval's own ends a and b:
// xi = ((t - a) - (b - t)) / (b - a), clamped to [-1, 1] (NaN stays NaN), in exactly this
// grouping, for every lane type (lanes.hpp). Both differences are exact near their end
// (Sterbenz), so xi(a) = -1 and xi(b) = 1 exactly and the error in xi stays within a few ulps
// whatever |t| / (b - a) is. A partition's ends are finite with a finite length b - a, so nothing
// here overflows to NaN: a time far outside gives an infinite quotient, which the clamp takes to
// the nearest end.
template <class Real>
inline Real coordinate_from_ends(const Real& a, const Real& b, const Real& t) {
    return clamp_unit(((t - a) - (b - t)) / (b - a));
}

// The time at local coordinate x in [-1, 1] on [a, b], the inverse map of coordinate_from_ends:
// a + ((1 + x) h) / 2 for x <= 0 and b - ((1 - x) h) / 2 above, h = b - a, so each half is
// formed from its nearer end (exact at the ends, a few ulps of the time inside).
inline double time_from_coordinate(double a, double b, double x) {
    const double h = b - a;
    if (x <= 0.0) return a + ((1.0 + x) * h) / 2.0;
    return b - ((1.0 - x) * h) / 2.0;
}

// The array face's local coordinate of t on interval k of a partition.
template <Partition P>
double coordinate_in(const P& partition, std::size_t k, double t) {
    const Interval ends = partition.ends(k);
    return coordinate_from_ends(ends.left, ends.right, t);
}

// The array face's lookup: partition.locate(t) and the local coordinate there.
template <Partition P>
IntervalLocation locate_in(const P& partition, double t) {
    const std::size_t k = partition.locate(t);
    return {k, coordinate_in(partition, k, t)};
}

// The lookup of many times by a kernel whose coefficients cover the intervals [first, end): the
// partition's own rule for every time (inside the window or not). A breakpoint partition given
// many times indexes the window's breakpoints by buckets of equal width: a time's bucket names the
// few breakpoints that can lie below it, so the answer costs O(1) for times spread like the
// breakpoints, and it is exact (the bucket of a time is monotone in the time, so a breakpoint in
// an earlier bucket lies below it, one in a later bucket above). The index is sized by the
// window, never by the whole partition. Ascending times, and all times when there is no index,
// start from the previous answer.
template <Partition P>
class WindowLocator {
public:
    WindowLocator(const P& partition, std::size_t first, std::size_t end, std::size_t n_times)
        : partition_(partition), first_(first), end_(end) {
        if constexpr (!std::is_same_v<P, UniformPartition>) {
            const std::size_t width = end - first;
            if (width >= 8 && width <= (std::size_t{1} << 28) && n_times >= 64 && n_times >= width / 4) build(width);
        }
    }

    // Announces the next times to locate: ascending ones start from the previous answer, which
    // they mostly keep (two comparisons that predict well); others go to the index, whose answers
    // do not wait for each other.
    void next_times(const double* times, std::size_t n) { ascending_ = std::is_sorted(times, times + n); }

    std::size_t locate(double t) {
        if constexpr (!std::is_same_v<P, UniformPartition>) {
            if (buckets_ > 0 && !ascending_) return indexed(t);
        }
        hint_ = partition_.locate_near(t, hint_);
        return hint_;
    }

private:
    std::size_t indexed(double t) const {
        const double start = partition_.boundary(first_);
        if (!(t >= start)) return first_ == 0 ? 0 : partition_.locate(t);  // below the window, or NaN
        if (!(t < partition_.boundary(end_))) return end_ == partition_.n_intervals() ? end_ - 1 : partition_.locate(t);
        const std::size_t j = bucket(t);
        std::size_t k = below_[j];
        const std::size_t stop = below_[j + 1];
        const double* inner = &partition_.b[first_ + 1];  // the window's interior breakpoints
        if (stop - k > 2) return first_ + k + count_at_or_below(inner + k, stop - k, t);
        // At most two candidates (inner[stop] is still a breakpoint, b_end at the furthest):
        // added without a branch to mispredict.
        k += static_cast<std::size_t>(k < stop) & static_cast<std::size_t>(inner[k] <= t);
        k += static_cast<std::size_t>(k < stop) & static_cast<std::size_t>(inner[k] <= t);
        return first_ + k;
    }

    // The bucket of a time in [b_first, b_end): truncation is the floor of the non-negative product.
    std::size_t bucket(double t) const {
        const std::size_t j = static_cast<std::size_t>((t - partition_.boundary(first_)) * scale_);
        return j < buckets_ ? j : buckets_ - 1;
    }

    void build(std::size_t width) {
        buckets_ = 4 * width;
        scale_ = static_cast<double>(buckets_) / (partition_.boundary(first_ + width) - partition_.boundary(first_));
        // A window too short for its bucket count (the scale overflows) keeps the bisection.
        if (!(scale_ < 1e300)) {
            buckets_ = 0;
            return;
        }
        // below_[j]: interior breakpoints of the window in the buckets before j.
        below_.assign(buckets_ + 1, 0);
        for (std::size_t i = 1; i < width; ++i) ++below_[bucket(partition_.boundary(first_ + i)) + 1];
        for (std::size_t j = 1; j <= buckets_; ++j) below_[j] += below_[j - 1];
    }

    P partition_;
    std::size_t first_;
    std::size_t end_;
    std::size_t hint_ = 0;
    bool ascending_ = false;
    std::size_t buckets_ = 0;
    double scale_ = 0.0;
    std::vector<std::uint32_t> below_;
};

// The scalar face's lookup: k = floor(t / dt), 0 for NaN and non-positive quotients, saturated at
// the size type and clamped to n_t - 1; xi by local_coordinate on interval k. Times before 0 land
// at the left end of interval 0, times after T at the right end of interval n_t - 1. Requires
// n_t >= 1.
inline IntervalLocation locate_in_partition(const UniformPartition& partition, std::size_t n_t, double t) {
    const std::size_t k = clamped_index(floor_exact(t / partition.dt), n_t);
    return {k, local_coordinate(partition.interval(k), t)};
}

}  // namespace pwpoly::piecewise_polynomials
