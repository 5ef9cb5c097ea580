#include <algorithm>
#include <cmath>
#include <vector>

#include "../common/sizes.hpp"
#include "../sparse_matrix_tools/coo_matrix.hpp"
#include "lagrange_basis.hpp"

namespace pwpoly::piecewise_polynomials {

using sparse_matrix_tools::CooMatrix;
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

    CooMatrix coo(n_rows, n_cols);
    coo.reserve(n_rows);  // every row stores at least one entry

    const double fine_count = static_cast<double>(N_f);
    const double coarse_count = static_cast<double>(n_c);
    for (std::size_t r = 0; r <= N_f; ++r) {
        // Position in coarse-interval units and the coarse interval holding it; only the
        // last node (s = n_c) is moved back into the last interval.
        const double s = (static_cast<double>(r) / fine_count) * coarse_count;
        const double floor_s = std::floor(s);
        std::size_t k = floor_s < coarse_count ? static_cast<std::size_t>(floor_s) : n_c;
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
        for (std::size_t j = 0; j < values.size(); ++j)
            if (values[j] != 0.0) coo.push(r, first_col + j, values[j]);
    }
    return sparse_matrix_tools::convert_coo_csr(coo);
}

}  // namespace pwpoly::piecewise_polynomials
