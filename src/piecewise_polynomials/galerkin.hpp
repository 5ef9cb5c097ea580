// Galerkin operators in time: the mass, derivative and upwind matrices between a test and a trial
// basis on one partition, and the L2 projection between Legendre bases on two partitions of the
// same span. Every operator is produced by rows (the row-block conventions of row_blocks.hpp:
// indptr[0] read as the block's start, columns global, time and memory in the rows asked), so a
// slab's rows are the very bits of the whole operator's rows.
//
// Numbering: a Legendre basis of degree p on n intervals is degree-major (P_i on interval k is
// i*n + k), a Lagrange basis of degree p numbers its nodes k*p + j (local node j of interval k,
// the shared node of intervals k - 1 and k once, at k*p).
//
// The operators are templates over a Partition (partition.hpp): they read n_intervals(),
// interval(k) (the Interval the evaluation maps onto [-1, 1]) and length(k) (the length the
// operators scale by).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "piecewise_polynomials/partition.hpp"

namespace pwpoly::piecewise_polynomials {

// The Gauss-Legendre rule of `points` (>= 1) nodes on [-1, 1], exact for degree 2 points - 1:
// nodes ascending and symmetric bit for bit (x_(n-1-g) = -x_g, the middle one 0.0), computed with
// + - * / alone in a fixed order (no library function), so the same bits on every machine.
struct GaussRule {
    std::vector<double> nodes;
    std::vector<double> weights;
};
GaussRule gauss_legendre_rule(std::size_t points);

enum class BasisKind : std::uint8_t { legendre, lagrange };

struct BasisShape {
    BasisKind kind;
    std::size_t degree;  // >= 1 for a Lagrange basis

    // Basis functions on n intervals: (degree + 1) n or degree n + 1 ("capacity overflow").
    std::size_t size(std::size_t n) const;
};

// mass: int psi_i phi_j dt. derivative: int over the interval interiors of psi_i phi_j' dt.
// upwind (Legendre test and trial): the derivative plus, at every interior end t_k,
// (phi_j(t_k+) - phi_j(t_k-)) psi_i(t_k+), and at the start phi_j(t_0+) psi_i(t_0+).
enum class GalerkinForm : std::uint8_t { mass, derivative, upwind };

// The operator of rows `test`, columns `trial` on one partition. Entries exact in closed form
// between Legendre bases: mass length(k) / (2i + 1) for i = j, derivative 2.0 for j > i with
// i + j odd, traces (-1)^i at the left end and 1 at the right end (upwind values exactly +-1.0).
// With a Lagrange basis, the local integrals on [-1, 1] come from the Gauss rule exact for their
// degree, Lagrange functions in product form (lagrange_values.hpp), each sum of w (f g) in the
// rule's node order (so symmetric to the bit between a basis and itself); a mass entry is
// length(k) times half that integral, a derivative entry the integral itself (the length
// cancels), and a node shared by two intervals adds the left interval's part and then the right
// one's. A Legendre side is integrated only up to the Lagrange side's degree: beyond it the
// entries are exact zeros by orthogonality, or (Lagrange test, Legendre trial derivative) the
// exact boundary terms [a = p] - (-1)^b [a = 0]. An integral the rule gives within
// 4 eps times its number of terms of its own scale (the rule's integral of |f g|), a bound on the
// sum's rounding, is an exact zero seen through rounding and is not stored, nor is any other
// zero: no structural zeros. Faults on a Lagrange degree 0 and on upwind with a Lagrange
// basis.
class GalerkinOperator {
public:
    GalerkinOperator(BasisShape test, BasisShape trial, GalerkinForm form);

    // Rows of the operator on n intervals.
    std::size_t rows(std::size_t n) const { return test_.size(n); }
    // Stored entries of the rows [first, last) on n intervals (O(last - first)).
    std::size_t rows_nnz(std::size_t n, std::size_t first, std::size_t last) const;
    // Rows [first, last) on `partition`; indices and data rows_nnz long.
    template <class Index, Partition P>
    void fill_rows(const P& partition, std::size_t first, std::size_t last, std::span<Index> indptr,
                   std::span<Index> indices, std::span<double> data) const;

    // An entry of a row kind: trial local function b, in the column of interval k (or k - 1
    // with `previous`), value from the local values of interval k - 1 (left) and k (right).
    struct Entry {
        std::size_t b;
        bool previous;
        bool has_left;
        bool has_right;
        double left;
        double right;
    };

private:
    // How a stored local value becomes an entry on an interval of length h.
    enum class Scaling : std::uint8_t { none, times_length, length_over };

    // visit(kind, k_begin, k_end) for runs of rows first ... last - 1 in order: rows of one kind
    // on the intervals k_begin ... k_end - 1 their right parts lie on (n for the final Lagrange
    // node), one row per interval.
    template <class Visit>
    void for_each_segment(std::size_t n, std::size_t first, std::size_t last, Visit&& visit) const;

    BasisShape test_;
    BasisShape trial_;
    Scaling scaling_;
    // Row kinds. Legendre test: 2 per local row i (interval 0, intervals k >= 1). Lagrange test:
    // local rows 0 ... p - 1 of an interval's own nodes (interval 0 for row 0), the node shared
    // with the previous interval, the final node.
    std::vector<std::vector<Entry>> kinds_;
};

// L2 projection of the Legendre basis of degree `source_degree` on `source` onto the Legendre
// basis of degree `target_degree` on `target` (the same span): row i*n_target + m holds
// ((2i + 1) / length_m) int over J_m of P_i^(m) P_j^(k) dt at column j*n_source + k, summed over
// the overlaps of the target interval J_m with the source intervals I_k. An overlap that is both
// intervals exactly (same ends, bit for bit) is recognised first: 1.0 for i = j and nothing else.
// Any other overlap [lo, hi] is left out only when it is empty (hi <= lo); on it the Gauss rule
// exact for degree target_degree + source_degree runs in each interval's local coordinate, the
// overlap's ends taken there by coordinate_from_ends (no time formed in absolute terms, nothing
// that overflows for ends up to the largest double on a partition of finite span), scaled by the
// overlap's share (hi - lo) / (J.right - J.left), with the zero rule of GalerkinOperator. Columns
// ascending. O(overlaps (target_degree + source_degree)^2) per row.
//
// projection_rows_room: an upper bound of the entries of rows [first, last) (overlaps of each
// row's interval times source_degree + 1). projection_rows writes rows [first, last) into
// indices and data (room for at least that many) and returns the number stored.
template <class Source, class Target>
std::size_t projection_rows_room(std::size_t source_degree, const Source& source, std::size_t target_degree,
                                 const Target& target, std::size_t first, std::size_t last);
template <class Index, class Source, class Target>
std::size_t projection_rows(std::size_t source_degree, const Source& source, std::size_t target_degree,
                            const Target& target, std::size_t first, std::size_t last, std::span<Index> indptr,
                            std::span<Index> indices, std::span<double> data);

}  // namespace pwpoly::piecewise_polynomials
