#include <algorithm>
#include <cmath>
#include <vector>

#include "common/sizes.hpp"
#include "piecewise_polynomials/coincidence.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"
#include "sparse_matrix_tools/csr_matrix.hpp"

namespace pwpoly::piecewise_polynomials {

using sparse_matrix_tools::CsrMatrix;

namespace {

// A fine node closer than this to a reference node (absolute, on [-1, 1]) takes its value 1.
constexpr double coincidence_tolerance = 1e-14;

// Barycentric weights w_i = 1 / prod_{j != i} (x_i - x_j), the product taken for ascending j.
std::vector<double> barycentric_weights(const std::vector<double>& x) {
    std::vector<double> w(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        double L = 1.0;
        for (std::size_t j = 0; j < x.size(); ++j)
            if (j != i) L = L * (x[i] - x[j]);
        w[i] = 1.0 / L;
    }
    return w;
}

}  // namespace

CsrMatrix LagrangeBasis::get_prolongation_matrix_to(std::size_t nt_fine) const {
    const std::size_t d = degree_;
    const std::size_t n_c = n_t_;
    const std::size_t n_f = nt_fine;
    if (d < 1) fault("Lagrange prolongation requires polynomial degree at least 1");
    if (n_c < 1) fault("Lagrange prolongation requires at least one coarse interval");
    if (n_f < 1) fault("Lagrange prolongation requires at least one fine interval");

    const std::size_t N_f = checked_mul(n_f, d);
    const std::size_t n_rows = checked_add(N_f, 1);
    const std::size_t n_cols = checked_add(checked_mul(n_c, d), 1);

    const std::vector<double> x = reference_nodes(d);
    const std::vector<double> w = barycentric_weights(x);
    std::vector<double> values(x.size());

    // Rows of fine points on coarse points (exactly, in integers) hold 1.0 alone, in the
    // coarse point's column; the others are computed from the local coordinate.
    // Room for every entry: one per coincident row, at most d + 1 per other row. Rows come in
    // ascending order, each with ascending columns k*d + j and no repeats, so the CSR arrays
    // are written directly in their final order.
    const PointCoincidence coincidence(n_c, n_f);
    const std::size_t on_coarse_points = coincidence.count(n_rows);
    const std::size_t capacity =
        checked_add(on_coarse_points, checked_mul(n_rows - on_coarse_points, values.size()));
    std::vector<std::size_t> col_indices;
    std::vector<double> entries;
    col_indices.reserve(checked_count<std::size_t>(checked_count<double>(capacity)));
    entries.reserve(capacity);
    std::vector<std::size_t> row_offsets;
    row_offsets.reserve(checked_count<std::size_t>(checked_add(n_rows, 1)));
    row_offsets.push_back(0);

    const double fine_count = static_cast<double>(N_f);
    const double coarse_count = static_cast<double>(n_c);
    std::size_t rows_to_coincidence = 0;  // counts down to the next coincident row
    std::size_t coincident_col = 0;
    for (std::size_t r = 0; r <= N_f; ++r) {
        if (rows_to_coincidence == 0) {
            col_indices.push_back(coincident_col);
            entries.push_back(1.0);
            row_offsets.push_back(col_indices.size());
            rows_to_coincidence = coincidence.fine_period - 1;
            coincident_col += coincidence.coarse_step;  // may pass n_cols after the last row
            continue;
        }
        --rows_to_coincidence;

        // Position in coarse-interval units and the coarse interval holding it; only the
        // last node (s = n_c) is moved back into the last interval. s is never negative, so
        // truncation is its floor, and below n_c (an integer) it converts exactly.
        const double s = (static_cast<double>(r) / fine_count) * coarse_count;
        std::size_t k = s < coarse_count ? static_cast<std::size_t>(s) : n_c;
        if (k >= n_c) k = n_c - 1;
        const double offset = s - static_cast<double>(k);
        const double e = (offset + offset) + (-1.0);

        std::fill(values.begin(), values.end(), 0.0);
        bool on_node = false;
        for (std::size_t j = 0; j < x.size(); ++j) {
            if (std::fabs(e - x[j]) < coincidence_tolerance) {
                values[j] = 1.0;
                on_node = true;
                break;
            }
        }
        if (!on_node) {
            double sum = 0.0;
            for (std::size_t j = 0; j < x.size(); ++j) {
                values[j] = w[j] / (e - x[j]);
                sum = sum + values[j];
            }
            for (double& value : values) value = value / sum;
        }

        const std::size_t first_col = k * d;
        for (std::size_t j = 0; j < values.size(); ++j) {
            if (values[j] != 0.0) {
                col_indices.push_back(first_col + j);
                entries.push_back(values[j]);
            }
        }
        row_offsets.push_back(col_indices.size());
    }
    return CsrMatrix::from_sorted_rows(n_cols, std::move(row_offsets), std::move(col_indices),
                                       std::move(entries));
}

}  // namespace pwpoly::piecewise_polynomials
