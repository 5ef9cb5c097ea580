#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "common/sizes.hpp"
#include "piecewise_polynomials/coincidence.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"
#include "sparse_matrix_tools/buffers.hpp"
#include "sparse_matrix_tools/csr_matrix.hpp"

namespace pwpoly::piecewise_polynomials {

using sparse_matrix_tools::CsrMatrix;
using sparse_matrix_tools::reserve_for_filling;

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

// The d + 1 values of a row with local coordinate e, zeros included: 1.0 at the lowest reference
// node within the tolerance of e (0.0 elsewhere), or else the barycentric interpolation weights
// w_j / (e - x_j), each divided by their sum taken in ascending j.
void row_values_at(double e, const double* x, const double* w, std::size_t m, double* out) {
    for (std::size_t j = 0; j < m; ++j) {
        if (std::fabs(e - x[j]) < coincidence_tolerance) {
            for (std::size_t q = 0; q < m; ++q) out[q] = 0.0;
            out[j] = 1.0;
            return;
        }
    }
    double sum = 0.0;
    for (std::size_t j = 0; j < m; ++j) {
        out[j] = w[j] / (e - x[j]);
        sum = sum + out[j];
    }
    for (std::size_t j = 0; j < m; ++j) out[j] = out[j] / sum;
}

// A row's values depend on nothing but the bits of its local coordinate e, and the rows of a
// prolongation take few distinct coordinates (a few dozen for a million rows between counts of
// ratio 2), so the values of recent coordinates are kept, keyed by e's exact bit pattern: a
// cached row is the very row the computation would give. Direct-mapped, a slot is overwritten
// by the next coordinate that maps to it. Rows of more than 64 values get a single slot, so
// the workspace stays one row for high degrees.
class RowCache {
public:
    explicit RowCache(std::size_t m)
        : m_(m),
          slots_(m <= 64 ? 64 : 1),
          keys_(slots_, empty_key),
          values_(checked_count<double>(checked_mul(slots_, m))) {}

    // The cached values of e, or nullptr.
    const double* find(double e) const {
        const std::uint64_t key = std::bit_cast<std::uint64_t>(e);
        const std::size_t slot = slot_of(key);
        return keys_[slot] == key ? values_.data() + slot * m_ : nullptr;
    }

    // The slot for e's values, now keyed by e; the caller fills its m values.
    double* insert(double e) {
        const std::uint64_t key = std::bit_cast<std::uint64_t>(e);
        const std::size_t slot = slot_of(key);
        keys_[slot] = key;
        return values_.data() + slot * m_;
    }

private:
    // A NaN pattern: e is never NaN (it comes from finite counts), so no coordinate matches it.
    static constexpr std::uint64_t empty_key = 0x7ff8'dead'beef'0001;

    // The top six bits of a multiplicative hash, cut to the number of slots (64 or 1).
    std::size_t slot_of(std::uint64_t key) const {
        return static_cast<std::size_t>((key * 0x9e37'79b9'7f4a'7c15) >> 58) & (slots_ - 1);
    }

    std::size_t m_;
    std::size_t slots_;
    std::vector<std::uint64_t> keys_;
    std::vector<double> values_;
};

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
    const std::size_t m = x.size();  // d + 1
    const double* xs = x.data();
    const double* ws = w.data();
    RowCache cache(m);

    // Rows of fine points on coarse points (exactly, in integers) hold 1.0 alone, in the
    // coarse point's column; the others are computed from the local coordinate.
    // Room for every entry: one per coincident row, at most d + 1 per other row. Rows come in
    // ascending order, each with ascending columns k*d + j and no repeats, so the CSR arrays
    // are written directly in their final order.
    const PointCoincidence coincidence(n_c, n_f);
    const std::size_t on_coarse_points = coincidence.count(n_rows);
    const std::size_t capacity = checked_add(on_coarse_points, checked_mul(n_rows - on_coarse_points, m));
    std::vector<std::size_t> col_indices;
    std::vector<double> entries;
    reserve_for_filling(col_indices, checked_count<std::size_t>(checked_count<double>(capacity)));
    reserve_for_filling(entries, capacity);
    std::vector<std::size_t> row_offsets;
    reserve_for_filling(row_offsets, checked_count<std::size_t>(checked_add(n_rows, 1)));
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

        const double* row = cache.find(e);
        if (row == nullptr) {
            double* fresh = cache.insert(e);
            row_values_at(e, xs, ws, m, fresh);
            row = fresh;
        }
        const std::size_t first_col = k * d;
        for (std::size_t j = 0; j < m; ++j) {
            // Exact zeros (of either sign) are not stored; a NaN would be.
            if (row[j] != 0.0) {
                col_indices.push_back(first_col + j);
                entries.push_back(row[j]);
            }
        }
        row_offsets.push_back(col_indices.size());
    }
    return CsrMatrix::from_sorted_rows(n_cols, std::move(row_offsets), std::move(col_indices), std::move(entries));
}

}  // namespace pwpoly::piecewise_polynomials
