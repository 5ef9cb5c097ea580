#include "piecewise_polynomials/batch_evaluation.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <type_traits>
#include <vector>

#include "common/sizes.hpp"
#include "common/thread_pool.hpp"
#include "piecewise_polynomials/batch_simd.hpp"
#include "piecewise_polynomials/interval_lookup.hpp"
#include "piecewise_polynomials/legendre.hpp"

namespace pwpoly::piecewise_polynomials {

namespace {

constexpr const char* size_mismatch = "batch kernel: buffer sizes do not match";
constexpr const char* index_overflow = "batch kernel: index type too narrow";

// Basis values per block of the batch evaluation (about 512 KiB): they stay in the second-level
// cache while every coefficient vector of the batch is summed against them, and each vector is
// read once per block.
constexpr std::size_t block_values = std::size_t{1} << 16;

// A part of the times given to one worker holds at least this many (fewer are not worth a
// thread: about 10 to 50 microseconds of work), and starts at a multiple of `part_align` (whole
// vector passes, whole cache lines of the outputs).
constexpr std::size_t part_times = 8192;
constexpr std::size_t part_align = 64;

void require(bool condition, const char* message) {
    if (!condition) fault(message);
}

template <class Index>
void require_index(std::size_t largest) {
    require(largest <= static_cast<std::size_t>(std::numeric_limits<Index>::max()), index_overflow);
}

template <Partition P>
void require_intervals(const P& partition) {
    require(partition.n_intervals() >= 1, "batch kernel: the partition has no interval");
}

// The lanes' view of a partition (batch_simd.hpp), and whether they serve it on this CPU: equal
// intervals are located in the lanes, breakpoints by the partition's lookup first.
simd::Intervals lane_intervals(const UniformPartition& partition) { return {partition.dt, partition.n}; }

// Located times for the lanes: their intervals and those intervals' ends, side by side.
struct LocatedTimes {
    std::vector<std::int64_t> intervals;
    std::vector<double> lefts;
    std::vector<double> rights;

    explicit LocatedTimes(std::size_t n) : intervals(n), lefts(n), rights(n) {}

    template <Partition P>
    void set(const P& partition, std::size_t q, std::size_t k) {
        const Interval ends = partition.ends(k);
        intervals[q] = static_cast<std::int64_t>(k);
        lefts[q] = ends.left;
        rights[q] = ends.right;
    }
    simd::Intervals lanes(std::size_t n_t) const { return {0.0, n_t, lefts.data(), rights.data()}; }
};

// Every derivative of order above the degree is zero: each such order gives the bits of
// degree + 1 (zeros, and the scaling keeps a zero, an infinity or a NaN as it is).
std::size_t capped_order(std::size_t order, std::size_t degree) { return order > degree ? degree + 1 : order; }

template <Partition P>
bool vectorised(const P& partition) {
    if constexpr (std::is_same_v<P, UniformPartition>) {
        return simd::available(partition.n);
    } else {
        return simd::available(1);
    }
}

template <Partition P>
constexpr bool locates_in_lanes = std::is_same_v<P, UniformPartition>;

// visit(i, v) with the degree + 1 basis values of the mode at t on interval k.
template <Partition P, class Visit>
void local_basis(const P& partition, std::size_t k, double t, std::size_t degree, simd::BasisMode mode,
                 Visit&& visit) {
    const double xi = coordinate_in(partition, k, t);
    const double length = partition.length(k);
    walk_legendre_order(xi, degree, mode.order, [&](std::size_t i, double v) {
        visit(i, mode.time ? to_time_derivative(v, length, mode.order) : v);
    });
}

// The expansion (or its time derivative of `order`) of the coefficients `row` (`stride` apart)
// at t on interval k.
template <Partition P>
double expansion_at(const P& partition, std::size_t k, double t, std::size_t degree, std::size_t order,
                    const double* row, std::size_t stride) {
    const double sum = legendre_sum(coordinate_in(partition, k, t), degree, order, row, stride);
    return order == 0 ? sum : to_time_derivative(sum, partition.length(k), order);
}

// The degree + 1 basis values of each time at values[i * stride + j], and its interval at
// intervals[j].
template <Partition P>
void basis_values(const P& partition, WindowLocator<P>& locator, std::size_t degree, simd::BasisMode mode,
                  const double* times, std::size_t n, std::int64_t* intervals, double* values, std::size_t stride) {
    std::size_t j = 0;
    if constexpr (locates_in_lanes<P>) {
        if (vectorised(partition))
            j = simd::basis_values(lane_intervals(partition), degree, mode, times, n, intervals, values, stride);
    } else {
        locator.next_times(times, n);
        if (vectorised(partition)) {
            LocatedTimes located(n);
            for (std::size_t q = 0; q < n; ++q) located.set(partition, q, locator.locate(times[q]));
            std::copy(located.intervals.begin(), located.intervals.end(), intervals);
            j = simd::basis_values(located.lanes(partition.n), degree, mode, times, n, intervals, values, stride);
        } else {
            for (std::size_t q = 0; q < n; ++q) intervals[q] = static_cast<std::int64_t>(locator.locate(times[q]));
        }
    }
    locator.next_times(times + j, n - j);
    for (; j < n; ++j) {
        std::size_t k = 0;
        if constexpr (locates_in_lanes<P>) {
            k = locator.locate(times[j]);
            intervals[j] = static_cast<std::int64_t>(k);
        } else {
            k = static_cast<std::size_t>(intervals[j]);
        }
        local_basis(partition, k, times[j], degree, mode,
                    [&](std::size_t i, double v) { values[i * stride + j] = v; });
    }
}

// The interval of a time the lookup put outside the window, when the window takes it: a time on
// the right end of a closed window, moved to its last interval.
template <Partition P>
bool at_closed_end(const P& partition, IntervalWindow window, double t, std::size_t& k) {
    const std::size_t end = window.first + window.width;
    if (!window.closed || k != end || !(t <= partition.boundary(end))) return false;
    k = end - 1;
    return true;
}

// One coefficient vector of the window: the sums time by time. Returns times.size(), or the
// index of the first time outside the window. Equal intervals are located in the lanes as far as
// the times lie in the window, and breakpoints with a bucket index as far as it places them; the
// rest is located by blocks of times first, then evaluated in the lanes (breakpoints) or the
// scalar loop.
template <Partition P>
std::size_t evaluate_single(const P& partition, std::size_t degree, IntervalWindow window, std::size_t order,
                            const double* coefficients, std::span<const double> times, double* out) {
    const std::size_t n = times.size();
    std::size_t j = 0;
    const bool lanes = vectorised(partition);
    if constexpr (locates_in_lanes<P>) {
        if (lanes)
            j = simd::evaluate(lane_intervals(partition), degree, window.first, window.width, order, coefficients,
                               times.data(), nullptr, n, out);
    }
    constexpr std::size_t block = 512;
    LocatedTimes located(block);
    std::int64_t* intervals = located.intervals.data();
    WindowLocator<P> locator(partition, window.first, window.first + window.width, n - j);
    // Ascending times on breakpoints: the lanes place them from the previous group's interval.
    bool ascending = false;
    if constexpr (!locates_in_lanes<P>) ascending = lanes && std::is_sorted(times.begin(), times.end());
    std::size_t hint = 0;
    // The times [start, start + count): n, or the index of the first one outside the window.
    auto located_block = [&](std::size_t start, std::size_t count) {
        const double* t = times.data() + start;
        locator.next_times(t, count);
        for (std::size_t q = 0; q < count; ++q) {
            std::size_t k = locator.locate(t[q]);
            if ((k < window.first || k - window.first >= window.width) && !at_closed_end(partition, window, t[q], k))
                return start + q;
            located.set(partition, q, k);
        }
        double* o = out + start;
        std::size_t q = 0;
        if constexpr (!locates_in_lanes<P>) {
            if (lanes)
                q = simd::evaluate(located.lanes(partition.n), degree, window.first, window.width, order, coefficients,
                                   t, intervals, count, o);
        }
        for (; q < count; ++q) {
            const std::size_t k = static_cast<std::size_t>(intervals[q]);
            o[q] = expansion_at(partition, k, t[q], degree, order, coefficients + (k - window.first), window.width);
        }
        return n;
    };
    while (j < n) {
        std::size_t count = std::min(block, n - j);
        if constexpr (!locates_in_lanes<P>) {
            if (ascending) {
                // The lanes stop before a group they cannot place: that group by the lookup, which
                // moves the hint on.
                j += simd::evaluate_ascending(partition.b, partition.n, degree, window.first, window.width, order,
                                              coefficients, times.data() + j, n - j, hint, out + j);
                if (j == n) break;
                count = std::min(simd::evaluate_step(), n - j);
            }
        }
        const std::size_t stop = located_block(j, count);
        if (stop != n) return stop;
        j += count;
        hint = static_cast<std::size_t>(intervals[count - 1]);
    }
    return n;
}

// Many coefficient vectors of the window: per block of times the basis values once (and the
// check that the block lies in the window), then each vector's sums. Returns times.size(), or
// the index of the first time outside the window. The results of vector b are at
// out[b * out_stride + j].
template <Partition P>
std::size_t evaluate_batch(const P& partition, std::size_t degree, IntervalWindow window, std::size_t order,
                           std::span<const double> coefficients, std::size_t size, std::size_t batch,
                           std::span<const double> times, double* out, std::size_t out_stride) {
    const std::size_t width = window.width;
    const std::size_t m = degree + 1;
    const std::size_t n = times.size();
    const std::size_t block = std::min(n, std::max<std::size_t>(64, block_values / m));
    std::vector<double> values(checked_count<double>(checked_mul(block, m)));
    std::vector<std::int64_t> intervals(block);
    std::vector<double> lengths(order > 0 ? block : 0);
    const bool lanes = vectorised(partition);
    const simd::BasisMode mode{order, false};
    WindowLocator<P> locator(partition, window.first, window.first + width, n);
    const auto first = static_cast<std::int64_t>(window.first);
    const auto end = static_cast<std::int64_t>(window.first + width);
    for (std::size_t start = 0; start < n; start += block) {
        const std::size_t count = std::min(block, n - start);
        basis_values(partition, locator, degree, mode, times.data() + start, count, intervals.data(), values.data(),
                     block);
        // Intervals as positions in the window's vectors.
        for (std::size_t j = 0; j < count; ++j) {
            if (intervals[j] < first || intervals[j] >= end) {
                const double t = times[start + j];
                std::size_t k = static_cast<std::size_t>(intervals[j]);
                if (!at_closed_end(partition, window, t, k)) return start + j;
                intervals[j] = static_cast<std::int64_t>(k);
                local_basis(partition, k, t, degree, mode, [&](std::size_t i, double v) { values[i * block + j] = v; });
            }
            if (order > 0) lengths[j] = partition.length(static_cast<std::size_t>(intervals[j]));
            intervals[j] -= first;
        }
        for (std::size_t b = 0; b < batch; ++b) {
            const double* vector = coefficients.data() + b * size;
            double* o = out + b * out_stride + start;
            std::size_t j = 0;
            if (lanes)
                j = simd::sums(width, degree, order, vector, intervals.data(), values.data(), block, lengths.data(),
                               count, o);
            for (; j < count; ++j) {
                const double* row = vector + intervals[j];
                double sum = -0.0;
                for (std::size_t i = 0; i < m; ++i) sum = sum + values[i * block + j] * row[i * width];
                o[j] = order > 0 ? to_time_derivative(sum, lengths[j], order) : sum;
            }
        }
    }
    return n;
}

}  // namespace

template <Partition P>
void locate_times(const P& partition, std::span<const double> times, std::span<std::int64_t> intervals,
                  std::span<double> coordinates, std::size_t workers) {
    require_intervals(partition);
    require(intervals.size() == times.size() && coordinates.size() == times.size(), size_mismatch);
    require_index<std::int64_t>(partition.n_intervals() - 1);
    auto part = [&](std::size_t begin, std::size_t end) {
        std::size_t j = begin;
        if constexpr (std::is_same_v<P, UniformPartition>) {
            if (vectorised(partition))
                j += simd::locate(partition.dt, partition.n, times.data() + begin, end - begin,
                                  intervals.data() + begin, coordinates.data() + begin);
        }
        WindowLocator<P> locator(partition, 0, partition.n_intervals(), end - j);
        locator.next_times(times.data() + j, end - j);
        for (; j < end; ++j) {
            const std::size_t k = locator.locate(times[j]);
            intervals[j] = static_cast<std::int64_t>(k);
            coordinates[j] = coordinate_in(partition, k, times[j]);
        }
    };
    threads::parallel_for(times.size(), workers, part_times, part_align, part);
}

template <Partition P>
std::size_t evaluate_times(const P& partition, std::size_t degree, IntervalWindow window,
                           std::span<const double> coefficients, std::span<const double> times, std::size_t order,
                           std::span<double> out, std::size_t workers) {
    require_intervals(partition);
    order = capped_order(order, degree);
    const std::size_t n_t = partition.n_intervals();
    require(window.width >= 1 && window.first < n_t && window.width <= n_t - window.first,
            "batch kernel: interval window outside the basis");
    const std::size_t size = checked_mul(checked_add(degree, 1), window.width);
    require(coefficients.size() % size == 0, size_mismatch);
    const std::size_t batch = coefficients.size() / size;
    require(out.size() == checked_mul(batch, times.size()), size_mismatch);
    if (batch == 0) return times.size();
    // Each part reports the first time outside the window it met; the earliest one is the answer.
    const std::size_t n = times.size();
    std::atomic<std::size_t> outside{n};
    auto part = [&](std::size_t begin, std::size_t end) {
        const std::span<const double> some = times.subspan(begin, end - begin);
        double* at = out.data() + begin;
        const std::size_t stop =
            batch == 1 ? evaluate_single(partition, degree, window, order, coefficients.data(), some, at)
                       : evaluate_batch(partition, degree, window, order, coefficients, size, batch, some, at, n);
        if (stop == some.size()) return;
        std::size_t seen = outside.load(std::memory_order_relaxed);
        while (begin + stop < seen && !outside.compare_exchange_weak(seen, begin + stop, std::memory_order_relaxed)) {
        }
    };
    threads::parallel_for(n, workers, part_times, part_align, part);
    return outside.load(std::memory_order_relaxed);
}

template <Partition P, class Index>
void basis_matrix_arrays(const P& partition, std::size_t degree, std::span<const double> times, std::size_t order,
                         std::span<Index> indptr, std::span<Index> indices, std::span<double> data,
                         std::size_t workers) {
    require_intervals(partition);
    order = capped_order(order, degree);
    const std::size_t n_t = partition.n_intervals();
    const std::size_t m = checked_add(degree, 1);
    const std::size_t size = checked_mul(n_t, m);
    const std::size_t n = times.size();
    const std::size_t nnz = checked_mul(n, m);
    require(indptr.size() == checked_add(n, 1) && indices.size() == nnz && data.size() == nnz, size_mismatch);
    require_index<Index>(std::max(nnz, size));
    const simd::BasisMode mode{order, true};
    const bool lanes = vectorised(partition);
    // The rows of the times [begin, end), by small blocks of times (in the first-level cache): the
    // vector path writes whole rows in place (on breakpoints once the block is located); what it
    // leaves goes degree-major within the block, then written row by row.
    auto part = [&](std::size_t begin, std::size_t end) {
        // A stride of a few cache lines over a power of two keeps the degrees' rows of a block
        // from sharing cache sets.
        const std::size_t block = std::min(end - begin, std::max<std::size_t>(64, 2048 / m) + 8);
        std::vector<double> values(checked_count<double>(checked_mul(block, m)));
        LocatedTimes located(block);
        std::vector<std::int64_t>& intervals = located.intervals;
        WindowLocator<P> locator(partition, 0, n_t, end - begin);
        for (std::size_t start = begin; start < end; start += block) {
            std::size_t count = std::min(block, end - start);
            const double* t = times.data() + start;
            Index* columns = indices.data() + start * m;
            double* entries = data.data() + start * m;
            std::size_t done = 0;
            if (lanes) {
                if constexpr (locates_in_lanes<P>) {
                    done = simd::basis_rows<Index>(lane_intervals(partition), degree, mode, t, count, nullptr,
                                                   columns, entries);
                } else {
                    locator.next_times(t, count);
                    for (std::size_t q = 0; q < count; ++q) located.set(partition, q, locator.locate(t[q]));
                    done = simd::basis_rows<Index>(located.lanes(n_t), degree, mode, t, count, intervals.data(),
                                                   columns, entries);
                }
            }
            if (done == count) continue;
            t += done;
            columns += done * m;
            entries += done * m;
            count -= done;
            basis_values(partition, locator, degree, mode, t, count, intervals.data(), values.data(), block);
            const double* __restrict computed = values.data();
            const std::int64_t* __restrict holding = intervals.data();
            for (std::size_t j = 0; j < count; ++j) {
                const std::size_t k = static_cast<std::size_t>(holding[j]);
                for (std::size_t i = 0; i < m; ++i) {
                    columns[j * m + i] = static_cast<Index>(i * n_t + k);
                    entries[j * m + i] = computed[i * block + j];
                }
            }
        }
        Index* __restrict row_starts = indptr.data();
        const Index width = static_cast<Index>(m);
        Index offset = static_cast<Index>(begin * m);
        for (std::size_t j = begin; j < end; ++j, offset += width) row_starts[j] = offset;
    };
    threads::parallel_for(n, workers, part_times, part_align, part);
    indptr[n] = static_cast<Index>(nnz);
}

template <Partition P>
void coordinate_times(const P& partition, std::size_t first, std::size_t last, std::span<const double> nodes,
                      std::span<double> out) {
    require_intervals(partition);
    require(first <= last && last <= partition.n_intervals(), size_mismatch);
    const std::size_t q = nodes.size();
    require(out.size() == checked_mul(last - first, q), size_mismatch);
    for (std::size_t k = first; k < last; ++k) {
        const Interval ends = partition.ends(k);
        double* row = &out[(k - first) * q];
        for (std::size_t r = 0; r < q; ++r) row[r] = time_from_coordinate(ends.left, ends.right, nodes[r]);
    }
}

#define PWPOLY_BATCH_KERNELS(P)                                                                                      \
    template void locate_times<P>(const P&, std::span<const double>, std::span<std::int64_t>, std::span<double>,    \
                                  std::size_t);                                                                    \
    template std::size_t evaluate_times<P>(const P&, std::size_t, IntervalWindow, std::span<const double>,          \
                                           std::span<const double>, std::size_t, std::span<double>, std::size_t);          \
    template void basis_matrix_arrays<P, std::int32_t>(const P&, std::size_t, std::span<const double>, std::size_t, \
                                                       std::span<std::int32_t>, std::span<std::int32_t>,            \
                                                       std::span<double>, std::size_t);                             \
    template void basis_matrix_arrays<P, std::int64_t>(const P&, std::size_t, std::span<const double>, std::size_t, \
                                                       std::span<std::int64_t>, std::span<std::int64_t>,            \
                                                       std::span<double>, std::size_t);                             \
    template void coordinate_times<P>(const P&, std::size_t, std::size_t, std::span<const double>,            \
                                      std::span<double>);

PWPOLY_BATCH_KERNELS(UniformPartition)
PWPOLY_BATCH_KERNELS(BreakpointPartition)

#undef PWPOLY_BATCH_KERNELS

}  // namespace pwpoly::piecewise_polynomials
