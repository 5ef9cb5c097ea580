// Row blocks of the Lagrange operators: the compressed-row arrays of a contiguous range of rows
// [first, last) of an operator, written straight into caller storage, in time and memory
// proportional to the rows asked (no work or buffer in the size of the whole operator). Every
// entry holds the very bits of the whole operator's entry: the whole operator is the block of all
// rows, built by the same code.
//
// Offsets: indptr has last - first + 1 entries; indptr[0] is read, not written: it is where the
// block's entries begin in a larger set of arrays (0 for a block of its own), and the offsets
// written after it count from there. indices and data hold the block's own entries from their
// start. Blocks of consecutive ranges can thus be chained: the next block's indptr starts at this
// block's last offset. Columns are global. A size that does not match, a range outside the
// operator's rows or an index beyond Index is an internal fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace pwpoly::piecewise_polynomials {

// Room the prolongation rows [first, last) from `nt_coarse` to `nt_fine` intervals of `degree`
// need: one entry for a row of a fine point on a coarse point, degree + 1 for any other ("capacity
// overflow" when that cannot be represented). The rows store that many entries unless a local
// coordinate comes within the coincidence tolerance of a reference node without lying on it.
std::size_t prolongation_rows_room(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine, std::size_t first,
                                   std::size_t last);

// Rows [first, last) of LagrangeBasis(degree, nt_coarse, T).get_prolongation_matrix_to(nt_fine)
// (fine points first ... last - 1, last at most nt_fine degree + 1). indices and data are at
// least prolongation_rows_room long; the entries go to their start. Returns the number of
// entries stored. The faults of get_prolongation_matrix_to come first.
template <class Index>
std::size_t prolongation_rows(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine, std::size_t first,
                              std::size_t last, std::span<Index> indptr, std::span<Index> indices,
                              std::span<double> data);

// Rows [first, last) of the Lagrange-to-Legendre transformation of `degree` (>= 1) on n_t
// intervals (rows a n_t + k, at most (degree + 1) n_t): degree + 1 entries each, so indices and
// data are (last - first)(degree + 1) long.
template <class Index>
void lagrange_to_legendre_rows(std::size_t degree, std::size_t n_t, std::size_t first, std::size_t last,
                               std::span<Index> indptr, std::span<Index> indices, std::span<double> data);

// Stored entries of the rows [first, last) of the Lagrange mass matrix of `degree` (>= 1) on n_t
// (>= 1) intervals: degree + 1 per row, 2 degree + 1 for a node shared by two intervals.
std::size_t lagrange_mass_rows_nnz(std::size_t degree, std::size_t n_t, std::size_t first, std::size_t last);

// Rows [first, last) of the Lagrange mass matrix of lagrange_mass_matrix_arrays (at most
// n_t degree + 1); indices and data lagrange_mass_rows_nnz long.
template <class Index>
void lagrange_mass_rows(std::size_t degree, std::size_t n_t, double T, std::size_t first, std::size_t last,
                        std::span<Index> indptr, std::span<Index> indices, std::span<double> data);

}  // namespace pwpoly::piecewise_polynomials
