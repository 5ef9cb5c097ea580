// Many-time kernels of the piecewise bases, for array callers. Every time goes through exactly
// the operations, in the same order, as the one-time operations of LegendreBasis (the shared
// interval lookup and Legendre walker), so both faces give the same bits. The kernels write into
// caller-provided storage; a size that does not match is an internal fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "piecewise_polynomials/legendre_basis.hpp"

namespace pwpoly::piecewise_polynomials {

// intervals[j], coordinates[j] = locate_interval(times[j]).
//
// The kernels taking `workers` split their times into parts of consecutive times, one per
// worker (threads::parallel_for): each time is computed alone by the same operations whatever
// part it falls in, so the results are the same bits for every worker count.
void locate_times(const LegendreBasis& basis, std::span<const double> times, std::span<std::int64_t> intervals,
                  std::span<double> coordinates, std::size_t workers = 1);

// The intervals [first, first + width) of a basis whose coefficients a vector holds, in the
// degree-major order of the whole basis restricted to them: degree i on interval k at position
// i * width + (k - first). The whole basis is the window {0, n_t}.
struct IntervalWindow {
    std::size_t first;
    std::size_t width;
};

// `coefficients` holds `batch` coefficient vectors of basis_size() values each, one after the
// other (degree-major within a vector); out[b * times.size() + j] is evaluate (derivative: false)
// or evaluate_derivative (derivative: true) of vector b at times[j].
void evaluate_times(const LegendreBasis& basis, std::span<const double> coefficients, std::span<const double> times,
                    bool derivative, std::span<double> out);

// The same for coefficient vectors of a window ((degree + 1) * width values each): the same
// operations on the same values, so the same bits as evaluate_times with the whole vectors, and
// only the window's coefficients are read. Every time must lie in an interval of the window, as
// locate_interval places it. Returns times.size() when they all do; otherwise the index of the
// first time that does not, out then holding the results of some of the times before it. A
// window outside the basis is an internal fault.
std::size_t evaluate_times_in_window(const LegendreBasis& basis, IntervalWindow window,
                                     std::span<const double> coefficients, std::span<const double> times,
                                     bool derivative, std::span<double> out, std::size_t workers = 1);

// The compressed-row arrays of the times.size() x basis_size() matrix whose row j holds the
// values (or time derivatives) of all basis functions at times[j]: the degree + 1 entries of the
// interval holding times[j], all stored, columns i * n_t + k ascending with the degree i; the
// same numbers as evaluate_all_basis_functions (or ..._derivatives). Sizes: indptr
// times.size() + 1, indices and data times.size() * (degree + 1).
template <class Index>
void basis_matrix_arrays(const LegendreBasis& basis, std::span<const double> times, bool derivative,
                         std::span<Index> indptr, std::span<Index> indices, std::span<double> data,
                         std::size_t workers = 1);

// Stored entries of the Lagrange mass matrix: n_t (degree + 1)^2 - (n_t - 1).
std::size_t lagrange_mass_matrix_nnz(std::size_t degree, std::size_t n_t);

// The compressed-row arrays of the L2 Gram matrix of the continuous Lagrange basis of `degree`
// (>= 1) on n_t (>= 1) equal intervals of [0, T], global point numbering, columns ascending.
// Interval-local entries are sum_a (G(i, a) G(j, a)) (dt / (2a + 1)) with G the local
// Lagrange-to-Legendre matrix; a node shared by two intervals adds the two diagonal
// contributions (left interval first). Sizes: indptr n_t degree + 2, indices and data
// lagrange_mass_matrix_nnz.
template <class Index>
void lagrange_mass_matrix_arrays(std::size_t degree, std::size_t n_t, double T, std::span<Index> indptr,
                                 std::span<Index> indices, std::span<double> data);

// Stored entries of the Lagrange-to-Legendre transformation: n_t (degree + 1)^2.
std::size_t lagrange_to_legendre_nnz(std::size_t degree, std::size_t n_t);

// The compressed-row arrays of LagrangeBasis(degree, n_t, T).get_transormation_matrix_to_legendre()
// (degree >= 1, any n_t), the same entries in the same order, written straight into caller
// storage: row a n_t + k repeats row a of the one-interval transformation with its columns
// shifted by k degree. Sizes: indptr (degree + 1) n_t + 1, indices and data
// lagrange_to_legendre_nnz.
template <class Index>
void lagrange_to_legendre_arrays(std::size_t degree, std::size_t n_t, std::span<Index> indptr, std::span<Index> indices,
                                 std::span<double> data);

}  // namespace pwpoly::piecewise_polynomials
