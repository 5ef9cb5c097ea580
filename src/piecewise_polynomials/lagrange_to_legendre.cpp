#include <vector>

#include "common/sizes.hpp"
#include "piecewise_polynomials/dense_inverse.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"
#include "piecewise_polynomials/legendre.hpp"
#include "sparse_matrix_tools/buffers.hpp"
#include "sparse_matrix_tools/csr_matrix.hpp"

namespace pwpoly::piecewise_polynomials {

using sparse_matrix_tools::CsrMatrix;

std::vector<double> lagrange_to_legendre_local_matrix(std::size_t degree) {
    switch (degree) {
        case 0: fault("Lagrange to Legendre conversion not meaningful for degree 0");
        case 1: return {0.5, -0.5, 0.5, 0.5};
        case 2: return {1.0 / 6.0, -0.5, 1.0 / 3.0, 2.0 / 3.0, 0.0, -2.0 / 3.0, 1.0 / 6.0, 0.5, 1.0 / 3.0};
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

namespace {

// The CSR arrays of a stack of blocks of the Lagrange-to-Legendre transformation, written in
// their final order: rows ascending, the d + 1 columns k*d ... k*d + d of a row ascending.
class BlockRows {
public:
    // Room for `blocks` blocks of n_t rows and d + 1 = G's order entries per row
    // ("capacity overflow" when the rows, entries or offsets cannot be represented).
    BlockRows(std::size_t degree, std::size_t n_t, std::size_t blocks) : degree_(degree), n_t_(n_t) {
        const std::size_t n = degree + 1;  // G exists, so this does not wrap
        const std::size_t rows = checked_mul(blocks, n_t);
        const std::size_t nnz = checked_count<double>(checked_count<std::size_t>(checked_mul(rows, n)));
        sparse_matrix_tools::reserve_for_filling(row_offsets_, checked_count<std::size_t>(checked_add(rows, 1)));
        sparse_matrix_tools::reserve_for_filling(col_indices_, nnz);
        sparse_matrix_tools::reserve_for_filling(values_, nnz);
        row_offsets_.push_back(0);
    }

    // Appends block a: row k holds G(0, a) ... G(d, a) at the columns k*d ... k*d + d of the
    // nodes of interval k; every value is stored, zeros included.
    void append_block(const std::vector<double>& G, std::size_t a) {
        const std::size_t n = degree_ + 1;
        std::vector<double> column(n);
        for (std::size_t i = 0; i < n; ++i) column[i] = G[i * n + a];
        for (std::size_t k = 0; k < n_t_; ++k) {
            const std::size_t first_col = k * degree_;
            for (std::size_t i = 0; i < n; ++i) {
                col_indices_.push_back(first_col + i);
                values_.push_back(column[i]);
            }
            row_offsets_.push_back(col_indices_.size());
        }
    }

    CsrMatrix finish(std::size_t n_points) && {
        return CsrMatrix::from_sorted_rows(n_points, std::move(row_offsets_), std::move(col_indices_),
                                           std::move(values_));
    }

private:
    std::size_t degree_;
    std::size_t n_t_;
    std::vector<std::size_t> row_offsets_;
    std::vector<std::size_t> col_indices_;
    std::vector<double> values_;
};

}  // namespace

CsrMatrix LagrangeBasis::to_legendre_basis_matrix_for_pol_degree(std::size_t a) const {
    const std::vector<double> G = lagrange_to_legendre_local_matrix(degree_);
    if (a > degree_) fault("Matrix slicing out of bounds.");
    BlockRows block(degree_, n_t_, 1);
    block.append_block(G, a);
    return std::move(block).finish(n_points_);
}

CsrMatrix LagrangeBasis::get_transormation_matrix_to_legendre() const {
    // G does not depend on the Legendre degree: computed once for all blocks. Block B_a
    // occupies rows a*n_t ... a*n_t + n_t - 1 and is written there directly, the same entries
    // as stacking the separately built blocks with csr_block_from_ndarray.
    const std::vector<double> G = lagrange_to_legendre_local_matrix(degree_);
    const std::size_t n = checked_add(degree_, 1);
    BlockRows stack(degree_, n_t_, n);
    for (std::size_t a = 0; a < n; ++a) stack.append_block(G, a);
    return std::move(stack).finish(n_points_);
}

}  // namespace pwpoly::piecewise_polynomials
