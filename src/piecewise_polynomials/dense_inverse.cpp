#include "piecewise_polynomials/dense_inverse.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include "common/sizes.hpp"
#include "piecewise_polynomials/band_lu.hpp"

namespace pwpoly::piecewise_polynomials {

namespace {

// Determinant of the 3 x 3 minor of the row-major 4 x 4 matrix `m` without row `row` and
// column `col`, expanded along the minor's first row.
double minor3(std::span<const double> m, std::size_t row, std::size_t col) {
    std::array<std::size_t, 3> r{};
    std::array<std::size_t, 3> c{};
    for (std::size_t k = 0, nr = 0, nc = 0; k < 4; ++k) {
        if (k != row) r[nr++] = k;
        if (k != col) c[nc++] = k;
    }
    auto at = [&](std::size_t i, std::size_t j) { return m[r[i] * 4 + c[j]]; };
    const double t0 = (at(1, 1) * at(2, 2)) - (at(1, 2) * at(2, 1));
    const double t1 = (at(1, 0) * at(2, 2)) - (at(1, 2) * at(2, 0));
    const double t2 = (at(1, 0) * at(2, 1)) - (at(1, 1) * at(2, 0));
    return ((at(0, 0) * t0) - (at(0, 1) * t1)) + (at(0, 2) * t2);
}

// Adjugate inverse: cofactors from the entries, determinant by expansion along the first column,
// inverse(i, j) = cofactor(j, i) * (1 / det).
std::optional<std::vector<double>> invert_4x4(std::span<const double> m) {
    std::array<double, 16> cofactor{};
    for (std::size_t i = 0; i < 4; ++i)
        for (std::size_t j = 0; j < 4; ++j) {
            const double minor = minor3(m, i, j);
            cofactor[i * 4 + j] = (i + j) % 2 == 0 ? minor : -minor;
        }
    const double det = (((m[0] * cofactor[0]) + (m[4] * cofactor[4])) + (m[8] * cofactor[8])) + (m[12] * cofactor[12]);
    if (det == 0.0) return std::nullopt;
    const double reciprocal = 1.0 / det;
    std::vector<double> inverse(16);
    for (std::size_t i = 0; i < 4; ++i)
        for (std::size_t j = 0; j < 4; ++j) inverse[i * 4 + j] = cofactor[j * 4 + i] * reciprocal;
    return inverse;
}

// P A = L U by the core's LU (its full band), then each column of the inverse from the column of
// the identity by the two triangular solves.
std::optional<std::vector<double>> invert_by_elimination(std::span<const double> m, std::size_t n) {
    const Band band = Band::dense(n);
    std::vector<double> lu(band.entries(), 0.0);
    for (std::size_t r = 0; r < n; ++r)
        for (std::size_t c = 0; c < n; ++c) lu[band.at(r, c)] = m[r * n + c];
    std::vector<std::int64_t> pivots(n);
    if (!lu_factorize<double>(band, lu, pivots)) return std::nullopt;
    std::vector<double> x(m.size(), 0.0);
    std::vector<double> column(n);
    for (std::size_t col = 0; col < n; ++col) {
        std::fill(column.begin(), column.end(), 0.0);
        column[col] = 1.0;
        lu_solve<double>(band, lu, pivots, std::span<double>(column));
        for (std::size_t r = 0; r < n; ++r) x[r * n + col] = column[r];
    }
    return x;
}

}  // namespace

std::optional<std::vector<double>> invert_dense(std::span<const double> matrix, std::size_t n) {
    const std::size_t count = checked_count<double>(checked_mul(n, n));
    if (matrix.size() != count)
        fault(equality_assertion_message("dense inverse needs an n x n matrix", matrix.size(), count));
    if (n == 4) return invert_4x4(matrix);
    return invert_by_elimination(matrix, n);
}

}  // namespace pwpoly::piecewise_polynomials
