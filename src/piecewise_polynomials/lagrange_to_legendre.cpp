#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "common/sizes.hpp"
#include "piecewise_polynomials/dense_inverse.hpp"
#include "piecewise_polynomials/galerkin.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"
#include "piecewise_polynomials/lagrange_values.hpp"
#include "piecewise_polynomials/legendre.hpp"
#include "piecewise_polynomials/row_blocks.hpp"
#include "piecewise_polynomials/row_sinks.hpp"
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

std::vector<double> lagrange_to_legendre_by_quadrature(std::size_t degree) {
    if (degree <= 2) return lagrange_to_legendre_local_matrix(degree);
    const std::size_t m = checked_add(degree, 1);
    std::vector<double> G(checked_count<double>(checked_mul(m, m)), 0.0);
    // m points: exact for l_i P_a, of degree 2 degree at most.
    const GaussRule rule = gauss_legendre_rule(m);
    const LagrangeFunctions functions(degree);
    std::vector<double> l(m);
    std::vector<double> P(m);
    for (std::size_t q = 0; q < m; ++q) {
        functions.values(rule.nodes[q], l);
        legendre_values(rule.nodes[q], P);
        const double w = rule.weights[q];
        for (std::size_t i = 0; i < m; ++i) {
            for (std::size_t a = 0; a < m; ++a) G[i * m + a] = G[i * m + a] + w * (l[i] * P[a]);
        }
    }
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t a = 0; a < m; ++a) G[i * m + a] = (static_cast<double>(2 * a + 1) * G[i * m + a]) / 2.0;
    }
    return G;
}

namespace {

// The rows of the transformation on n_t intervals: row a n_t + k holds G(0, a) ... G(d, a) at
// the columns k d ... k d + d of the nodes of interval k, every value stored, zeros included. G
// is the local matrix of `degree` the caller formed (and raised its faults for).
class ToLegendreRows {
public:
    ToLegendreRows(std::size_t degree, std::size_t n_t, std::vector<double> G)
        : degree_(degree), n_t_(n_t), G_(std::move(G)) {}

    // (d + 1) n_t ("capacity overflow" when it cannot be represented).
    std::size_t n_rows() const { return checked_mul(degree_ + 1, n_t_); }

    template <class Sink>
    void emit(std::size_t first, std::size_t last, Sink& sink) const {
        const std::size_t m = degree_ + 1;  // G exists, so this does not wrap
        if (first >= last) return;
        std::vector<double> column(m);
        std::size_t a = first / n_t_;  // n_t >= 1: the range is not empty
        std::size_t k = first % n_t_;
        for (std::size_t r = first; r < last;) {
            for (std::size_t i = 0; i < m; ++i) column[i] = G_[i * m + a];
            // The rows of degree a from interval k to the end of the range or of the degree.
            const std::size_t stop = std::min(last, r + (n_t_ - k));
            for (; r < stop; ++r, ++k) {
                const std::size_t first_col = k * degree_;
                for (std::size_t i = 0; i < m; ++i) sink.entry(first_col + i, column[i]);
                sink.end_row();
            }
            ++a;
            k = 0;
        }
    }

    // The whole transformation's rows [first, last) as a CsrMatrix of n_points columns.
    CsrMatrix matrix(std::size_t first, std::size_t last, std::size_t n_points) const {
        const std::size_t rows = last - first;
        VectorSink sink(rows, checked_count<double>(checked_mul(rows, degree_ + 1)));
        emit(first, last, sink);
        return std::move(sink).finish(n_points);
    }

private:
    std::size_t degree_;
    std::size_t n_t_;
    std::vector<double> G_;
};

}  // namespace

CsrMatrix LagrangeBasis::to_legendre_basis_matrix_for_pol_degree(std::size_t a) const {
    const ToLegendreRows rows(degree_, n_t_, lagrange_to_legendre_local_matrix(degree_));
    if (a > degree_) fault("Matrix slicing out of bounds.");
    const std::size_t first = checked_mul(a, n_t_);
    return rows.matrix(first, checked_add(first, n_t_), n_points_);
}

CsrMatrix LagrangeBasis::get_transormation_matrix_to_legendre() const {
    // G does not depend on the Legendre degree: formed once for all blocks. Block B_a occupies
    // rows a*n_t ... a*n_t + n_t - 1 and is written there directly.
    const ToLegendreRows rows(degree_, n_t_, lagrange_to_legendre_local_matrix(degree_));
    return rows.matrix(0, rows.n_rows(), n_points_);
}

template <class Index>
void lagrange_to_legendre_rows(std::size_t degree, std::size_t n_t, std::size_t first, std::size_t last,
                               std::span<Index> indptr, std::span<Index> indices, std::span<double> data) {
    const ToLegendreRows rows(degree, n_t, lagrange_to_legendre_by_quadrature(degree));
    const std::size_t m = degree + 1;
    if (first > last || last > rows.n_rows()) fault("Lagrange to Legendre rows: range outside the matrix's rows");
    const std::size_t count = last - first;
    const std::size_t nnz = checked_mul(count, m);
    if (indptr.size() != count + 1 || indices.size() != nnz || data.size() != nnz || indptr[0] < 0)
        fault("batch kernel: buffer sizes do not match");
    const std::size_t base = static_cast<std::size_t>(indptr[0]);
    const std::size_t largest = std::max(checked_add(base, nnz), checked_add(checked_mul(n_t, degree), 1));
    if (largest > static_cast<std::size_t>(std::numeric_limits<Index>::max()))
        fault("batch kernel: index type too narrow");
    ArraySink<Index> sink{indptr.data(), indices.data(), data.data(), base};
    rows.emit(first, last, sink);
}

template void lagrange_to_legendre_rows<std::int32_t>(std::size_t, std::size_t, std::size_t, std::size_t,
                                                      std::span<std::int32_t>, std::span<std::int32_t>,
                                                      std::span<double>);
template void lagrange_to_legendre_rows<std::int64_t>(std::size_t, std::size_t, std::size_t, std::size_t,
                                                      std::span<std::int64_t>, std::span<std::int64_t>,
                                                      std::span<double>);

}  // namespace pwpoly::piecewise_polynomials
