// Many-time kernels of the piecewise Legendre basis on any partition, for array callers. Each
// time is located by the partition's lookup (interval k is [b_k, b_{k+1}), see partition.hpp) and
// evaluated at its local coordinate from the interval's own ends (coordinate_from_ends) with the
// Legendre recurrence of legendre.hpp; a time derivative of order q scales by (2 / h)^q with h the
// interval's own length. The kernels write into caller-provided storage; a size that does not
// match is an internal fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "piecewise_polynomials/partition.hpp"

namespace pwpoly::piecewise_polynomials {

// intervals[j], coordinates[j] = locate_in(partition, times[j]).
//
// The kernels taking `workers` split their times into parts of consecutive times, one per
// worker (threads::parallel_for): each time is computed alone by the same operations whatever
// part it falls in (the lookup's answer does not depend on where it starts), so the results are
// the same bits for every worker count.
template <Partition P>
void locate_times(const P& partition, std::span<const double> times, std::span<std::int64_t> intervals,
                  std::span<double> coordinates, std::size_t workers = 1);

// The intervals [first, first + width) of a basis whose coefficients a vector holds, in the
// degree-major order of the whole basis restricted to them: degree i on interval k at position
// i * width + (k - first). The whole basis is the window {0, n}. A window closed on the right
// also takes a time on its right end b_(first + width) (which the lookup puts in the next
// interval), on its last interval at xi = 1 up to rounding: the left limit there.
struct IntervalWindow {
    std::size_t first;
    std::size_t width;
    bool closed = false;
};

// `coefficients` holds a batch of coefficient vectors of the window, (degree + 1) * width values
// each, one after the other; out[b * times.size() + j] is the expansion of vector b at times[j]
// (order q > 0: its time derivative of order q, to_time_derivative of the sum S of the
// xi-derivatives on length(k)), the sum taken from -0.0 in degree order. Every time must lie in an interval of the window. Returns
// times.size() when they all do; otherwise the index of the first time that does not, out then
// holding the results of some of the times before it. A window outside the partition is an
// internal fault. Only the window's coefficients and the intervals of the times are read.
template <Partition P>
std::size_t evaluate_times(const P& partition, std::size_t degree, IntervalWindow window,
                           std::span<const double> coefficients, std::span<const double> times, std::size_t order,
                           std::span<double> out, std::size_t workers = 1);

// The compressed-row arrays of the times.size() x (n (degree + 1)) matrix whose row j holds the
// values (or time derivatives of order `order`) of all basis functions at times[j]: the degree + 1
// entries of the interval holding times[j], all stored, columns i * n + k ascending with the
// degree i. Sizes: indptr times.size() + 1, indices and data times.size() * (degree + 1).
template <Partition P, class Index>
void basis_matrix_arrays(const P& partition, std::size_t degree, std::span<const double> times, std::size_t order,
                         std::span<Index> indptr, std::span<Index> indices, std::span<double> data,
                         std::size_t workers = 1);

// out[(k - first) * nodes.size() + r] = time_from_coordinate on interval k of the reference
// coordinate nodes[r] (in [-1, 1]): the quadrature times of the intervals [first, last). out holds
// (last - first) * nodes.size().
template <Partition P>
void coordinate_times(const P& partition, std::size_t first, std::size_t last, std::span<const double> nodes,
                      std::span<double> out);

}  // namespace pwpoly::piecewise_polynomials
