// Continuous piecewise Lagrange basis of degree `degree` on n_t equal intervals of [0, T].
// Global point c = i*degree + j is local node j of interval i; the last point is T itself.
#pragma once

#include <cstddef>
#include <vector>

#include "../sparse_matrix_tools/csr_matrix.hpp"

namespace pwpoly::piecewise_polynomials {

class LagrangeBasis {
public:
    LagrangeBasis(std::size_t degree, std::size_t n_t, double T);

    const std::vector<double>& points() const noexcept { return points_; }
    std::size_t degree() const noexcept { return degree_; }
    std::size_t n_t() const noexcept { return n_t_; }

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
