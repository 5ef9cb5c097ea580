// Continuous piecewise Lagrange basis of degree `degree` on n_t equal intervals of [0, T].
// Global point c = i*degree + j is local node j of interval i; the last point is T itself.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "../common/sizes.hpp"
#include "../sparse_matrix_tools/csr_matrix.hpp"

namespace pwpoly::piecewise_polynomials {

// The degree + 1 equidistant nodes x_0 ... x_degree of the reference interval [-1, 1]: the local
// node formula of the basis on the interval from -1 to 1, ((j * (1 - (-1))) / degree) + (-1), one
// rounding per operation, with the right end kept; x_0 = -1 and x_degree = 1 exactly.
// `degree` must be at least 1.
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

class LagrangeBasis {
public:
    LagrangeBasis(std::size_t degree, std::size_t n_t, double T);

    const std::vector<double>& points() const noexcept { return points_; }
    std::size_t degree() const noexcept { return degree_; }
    std::size_t n_t() const noexcept { return n_t_; }
    // Hands the points over, leaving the basis without them.
    std::vector<double> into_points() && noexcept { return std::move(points_); }

    // Interpolation from this (coarse) basis on [0, 1] to the one with `nt_fine` intervals:
    // (nt_fine*degree + 1) x (n_t*degree + 1).
    sparse_matrix_tools::CsrMatrix get_prolongation_matrix_to(std::size_t nt_fine) const;

    // Block of Legendre degree a of the Lagrange-to-Legendre transformation: n_t x n_points.
    sparse_matrix_tools::CsrMatrix to_legendre_basis_matrix_for_pol_degree(std::size_t a) const;

    // Nodal values to piecewise Legendre coefficients: (degree + 1)*n_t x n_points.
    sparse_matrix_tools::CsrMatrix get_transormation_matrix_to_legendre() const;

private:
    std::vector<double> points_;
    std::size_t degree_;
    std::size_t n_t_;
};

}  // namespace pwpoly::piecewise_polynomials
