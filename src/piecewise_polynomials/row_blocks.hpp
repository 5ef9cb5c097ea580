// Row blocks of the Lagrange operators on a partition: the compressed-row arrays of a contiguous
// range of rows [first, last) of an operator, written straight into caller storage, in time and
// memory proportional to the rows asked (no work or buffer in the size of the whole operator).
// Every entry holds the very bits of the whole operator's entry: the whole operator is the block
// of all rows, built by the same code, the code the scalar face's operators run too.
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

#include "piecewise_polynomials/partition.hpp"

namespace pwpoly::piecewise_polynomials {

// The points first ... last - 1 of the continuous Lagrange basis of `degree` on the partition
// (n degree + 1 of them; point k degree + j is ((j * width_k) / degree) + left_k, the last one
// partition.end()) into `out`, last - first values. Faults when the range is not inside the
// points or `out` has another size.
template <Partition P>
void lagrange_points(const P& partition, std::size_t degree, std::size_t first, std::size_t last,
                     std::span<double> out);

// Room the prolongation rows [first, last) from the partition `coarse` to `fine` of `degree`
// need ("capacity overflow" when that cannot be represented): one entry for a row of a fine node
// on a coarse node, degree + 1 for any other. Between two uniform partitions a fine node lies on
// a coarse one when their indices say so in integers (r n_c = c n_f), and the rows are those of
// LagrangeBasis::get_prolongation_matrix_to, on [0, 1] whatever the T; otherwise the room is
// degree + 1 per row. The rows store that many entries unless a local coordinate comes within
// the coincidence tolerance of a reference node without lying on it.
template <Partition Coarse, Partition Fine>
std::size_t prolongation_rows_room(std::size_t degree, const Coarse& coarse, const Fine& fine, std::size_t first,
                                   std::size_t last);

// Rows [first, last) of the prolongation (fine nodes first ... last - 1). Between two uniform
// partitions, the rows of LagrangeBasis::get_prolongation_matrix_to. Otherwise (two partitions
// with the same start and end) fine node r, formed as lagrange_points forms it, is looked up in
// the coarse partition (interval k); a node equal to one of the d + 1 nodes of coarse interval k
// bit for bit is the single entry 1.0 in that node's column; any other row holds the barycentric
// interpolation weights of interval k at the node's local coordinate. indices and data are at
// least prolongation_rows_room long; the entries go to their start. Returns the number stored.
template <Partition Coarse, Partition Fine, class Index>
std::size_t prolongation_rows(std::size_t degree, const Coarse& coarse, const Fine& fine, std::size_t first,
                              std::size_t last, std::span<Index> indptr, std::span<Index> indices,
                              std::span<double> data);

// Rows [first, last) of the Lagrange-to-Legendre transformation of `degree` (>= 1) on n_t
// intervals (rows a n_t + k, at most (degree + 1) n_t): row a n_t + k holds G(0, a) ... G(d, a)
// at the columns k degree ... k degree + degree, the same local matrix G on every interval of any
// partition, G by quadrature (lagrange_to_legendre_by_quadrature). degree + 1 entries each, so indices and data are (last - first)(degree + 1) long.
template <class Index>
void lagrange_to_legendre_rows(std::size_t degree, std::size_t n_t, std::size_t first, std::size_t last,
                               std::span<Index> indptr, std::span<Index> indices, std::span<double> data);

// Stored entries of the rows [first, last) of the Lagrange mass matrix of `degree` (>= 1) on n_t
// (>= 1) intervals: degree + 1 per row, 2 degree + 1 for a node shared by two intervals.
std::size_t lagrange_mass_rows_nnz(std::size_t degree, std::size_t n_t, std::size_t first, std::size_t last);

// Rows [first, last) of the L2 Gram matrix of the continuous Lagrange basis of `degree` (>= 1) on
// the partition (at most n degree + 1 rows), global point numbering, columns ascending: the rows
// of GalerkinOperator's mass with the basis as test and trial (length(k) times half the Gauss
// rule's integral of l_i l_j, the left interval first at a shared node), which has no zero entry
// to leave out. indices and data lagrange_mass_rows_nnz long.
template <Partition P, class Index>
void lagrange_mass_rows(std::size_t degree, const P& partition, std::size_t first, std::size_t last,
                        std::span<Index> indptr, std::span<Index> indices, std::span<double> data);

}  // namespace pwpoly::piecewise_polynomials
