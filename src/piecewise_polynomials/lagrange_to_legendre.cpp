#include <vector>

#include "../common/sizes.hpp"
#include "../sparse_matrix_tools/block_grid.hpp"
#include "../sparse_matrix_tools/coo_matrix.hpp"
#include "dense_inverse.hpp"
#include "lagrange_basis.hpp"
#include "legendre.hpp"

namespace pwpoly::piecewise_polynomials {

using sparse_matrix_tools::CooMatrix;
using sparse_matrix_tools::CsrMatrix;

namespace {

// The local matrix G = W^-1, (degree + 1) x (degree + 1), row by row: G(i, a) at i*(degree+1) + a
// is the weight of local node i in the Legendre coefficient of degree a.
std::vector<double> local_transformation(std::size_t degree) {
    switch (degree) {
        case 0: fault("Lagrange to Legendre conversion not meaningful for degree 0");
        case 1:
            return {0.5, -0.5,
                    0.5, 0.5};
        case 2:
            return {1.0 / 6.0, -0.5, 1.0 / 3.0,
                    2.0 / 3.0, 0.0, -2.0 / 3.0,
                    1.0 / 6.0, 0.5, 1.0 / 3.0};
        default: break;
    }
    const std::size_t n = checked_add(degree, 1);
    // W(j, i) = P_j(xi_i): column i holds the Legendre values at reference node i.
    std::vector<double> W(checked_count<double>(checked_mul(n, n)));
    const std::vector<double> xi = reference_nodes(degree);
    std::vector<double> column(n);
    for (std::size_t i = 0; i < n; ++i) {
        legendre_values(xi[i], column);
        for (std::size_t j = 0; j < n; ++j) W[j * n + i] = column[j];
    }
    auto G = invert_dense(W, n);
    if (!G) fault("Failed to invert Vandermonde matrix for Lagrange to Legendre conversion.");
    return std::move(*G);
}

// Block of Legendre degree a: row k holds G(0, a) ... G(d, a) at the columns k*d ... k*d + d of
// the nodes of interval k; every value is stored, zeros included.
CsrMatrix legendre_block(const std::vector<double>& G, std::size_t degree, std::size_t n_t,
                         std::size_t n_points, std::size_t a) {
    const std::size_t n = degree + 1;  // G exists, so this does not wrap
    CooMatrix coo(n_t, n_points);
    coo.reserve(checked_mul(n_t, n));
    for (std::size_t k = 0; k < n_t; ++k)
        for (std::size_t i = 0; i < n; ++i) coo.push(k, k * degree + i, G[i * n + a]);
    return sparse_matrix_tools::convert_coo_csr(coo);
}

}  // namespace

CsrMatrix LagrangeBasis::to_legendre_basis_matrix_for_pol_degree(std::size_t a) const {
    const std::vector<double> G = local_transformation(degree_);
    if (a > degree_) fault("Matrix slicing out of bounds.");
    return legendre_block(G, degree_, n_t_, points_.size(), a);
}

CsrMatrix LagrangeBasis::get_transormation_matrix_to_legendre() const {
    // G does not depend on the Legendre degree: computed once for all blocks.
    const std::vector<double> G = local_transformation(degree_);
    const std::size_t n = checked_add(degree_, 1);
    std::vector<CsrMatrix> blocks;
    blocks.reserve(checked_count<CsrMatrix>(n));
    for (std::size_t a = 0; a < n; ++a)
        blocks.push_back(legendre_block(G, degree_, n_t_, points_.size(), a));

    std::vector<const CsrMatrix*> refs;
    refs.reserve(n);
    for (const CsrMatrix& block : blocks) refs.push_back(&block);
    const sparse_matrix_tools::BlockGrid grid(n, 1, std::move(refs));
    return sparse_matrix_tools::csr_block_from_ndarray(grid);
}

}  // namespace pwpoly::piecewise_polynomials
