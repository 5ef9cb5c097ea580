// Continuous piecewise Lagrange basis of degree `degree` on n_t equal intervals of [0, T].
// Global point c = i*degree + j is local node j of interval i; the last point is T itself.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "common/sizes.hpp"
#include "sparse_matrix_tools/csr_matrix.hpp"

namespace pwpoly::piecewise_polynomials {

// The degree + 1 equidistant nodes x_0 ... x_degree of the reference interval [-1, 1]: the local
// node formula of the basis on the interval from -1 to 1, ((j * (1 - (-1))) / degree) + (-1), one
// rounding per operation, with the right end kept; x_0 = -1 and x_degree = 1 exactly.
// `degree` must be at least 1; "capacity overflow" when degree + 1 doubles cannot be held.
inline std::vector<double> reference_nodes(std::size_t degree) {
    std::vector<double> nodes(checked_count<double>(checked_add(degree, 1)));
    const double left = -1.0;
    const double width = 1.0 - left;
    const double d = static_cast<double>(degree);
    for (std::size_t j = 0; j < nodes.size(); ++j) {
        const double p = static_cast<double>(j) * width;
        const double q = p / d;
        nodes[j] = q + left;
    }
    return nodes;
}

// The local Lagrange-to-Legendre matrix G = W^-1 of `degree`, (degree + 1) x (degree + 1) row by
// row: G(i, a) at i*(degree + 1) + a is the weight of local node i in the Legendre coefficient of
// degree a (fixed for degrees 1 and 2, inverted from the Legendre values at the reference nodes
// above). Faults for degree 0 and when the inversion fails.
std::vector<double> lagrange_to_legendre_local_matrix(std::size_t degree);

// The array face's G, in the same layout: G(i, a) = ((2a + 1) / 2) times the Gauss rule of
// degree + 1 points (exact here) applied to l_i P_a, l_i in product form (lagrange_values.hpp),
// each sum in the rule's order. Accurate to a few units in the last place of the sum of the
// magnitudes of its terms at every degree, where inverting the Vandermonde matrix loses its
// condition number (4.9e16 at degree 64). Degrees 1 and 2 keep the fixed values above, the
// correctly rounded fractions; faults as above for degree 0.
std::vector<double> lagrange_to_legendre_by_quadrature(std::size_t degree);

class LagrangeBasis {
public:
    // The basis of `degree` on n_t intervals of [0, T]. No argument is checked; faults
    // "capacity overflow" when the interval list (n_t intervals), the local nodes (degree + 1)
    // or the n_points() points could not be sized. Constant time: the points are formed only
    // when asked for, since the operators below read nothing but their number.
    LagrangeBasis(std::size_t degree, std::size_t n_t, double T);

    // The n_points() nodes: interval i contributes ((j * width_i) / degree) + left_i for
    // j = 0 ... degree - 1 on the uniform partition, then T itself ends the list; just [T] when
    // degree or n_t is 0. Formed afresh by every call, in O(n_points()).
    std::vector<double> points() const;
    // Points first ... last - 1 of them into `out` (last - first values), the same bits, in
    // O(last - first). Faults when the range is not inside the points or `out` has another size.
    void points_between(std::size_t first, std::size_t last, std::span<double> out) const;
    // n_t*degree + 1.
    std::size_t n_points() const noexcept { return n_points_; }
    std::size_t degree() const noexcept { return degree_; }
    std::size_t n_t() const noexcept { return n_t_; }
    // The points, for a caller that needs nothing else from the basis.
    std::vector<double> into_points() && { return points(); }

    // Interpolation from this (coarse) basis on [0, 1] to the one with `nt_fine` intervals of
    // the same degree d: a CSR matrix of (nt_fine*d + 1) x (n_t*d + 1), rows the fine points,
    // columns the coarse ones (global numbering). Fine point r on coarse point c (exactly:
    // r*n_t = c*nt_fine) is the row holding 1.0 at column c alone; any other row holds the
    // barycentric interpolation weights of its coarse interval k in columns k*d ... k*d + d,
    // exact zeros left out (one 1.0 instead when the local coordinate is within 1e-14 of a
    // reference node). Only degree and n_t are read, not the points.
    // Faults, in this order: "Lagrange prolongation requires polynomial degree at least 1",
    // "... at least one coarse interval", "... at least one fine interval", then
    // "capacity overflow" for sizes that cannot be represented.
    sparse_matrix_tools::CsrMatrix get_prolongation_matrix_to(std::size_t nt_fine) const;

    // Block B_a of Legendre degree a of the transformation below: a CSR matrix of
    // n_t x n_points(), row k holding G(0, a) ... G(d, a) at the
    // columns k*d ... k*d + d, zeros included. G is computed first, so its faults come before
    // "Matrix slicing out of bounds." for a > degree.
    sparse_matrix_tools::CsrMatrix to_legendre_basis_matrix_for_pol_degree(std::size_t a) const;

    // Nodal values to piecewise Legendre coefficients: a CSR matrix of (d + 1)*n_t x n_points()
    // with (d + 1)^2 * n_t stored entries, the blocks B_0 ... B_d stacked (row a*n_t + k,
    // column k*d + i, value G(i, a)). G = W^-1, W(j, i) = P_j(xi_i) at the reference nodes;
    // fixed for d = 1 and 2. Faults "Lagrange to Legendre conversion not meaningful for
    // degree 0", "Failed to invert Vandermonde matrix for Lagrange to Legendre conversion.",
    // and "capacity overflow" for sizes that cannot be represented.
    sparse_matrix_tools::CsrMatrix get_transormation_matrix_to_legendre() const;

private:
    std::size_t degree_;
    std::size_t n_t_;
    double T_;
    std::size_t n_points_;
};

}  // namespace pwpoly::piecewise_polynomials
