#include "piecewise_polynomials/dense_inverse.hpp"

#include <array>
#include <cmath>
#include <utility>

#include "common/sizes.hpp"

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

// P A = L U with partial pivoting (topmost row of largest magnitude), then L U X = P I by
// forward substitution with unit diagonal and back substitution.
std::optional<std::vector<double>> invert_by_elimination(std::span<const double> m, std::size_t n) {
    std::vector<double> lu(m.begin(), m.end());
    std::vector<double> x(lu.size(), 0.0);
    for (std::size_t i = 0; i < n; ++i) x[i * n + i] = 1.0;
    auto swap_rows = [n](std::vector<double>& a, std::size_t r1, std::size_t r2) {
        for (std::size_t q = 0; q < n; ++q) std::swap(a[r1 * n + q], a[r2 * n + q]);
    };

    for (std::size_t c = 0; c < n; ++c) {
        std::size_t pivot_row = c;
        double largest = std::fabs(lu[c * n + c]);
        for (std::size_t r = c + 1; r < n; ++r) {
            const double magnitude = std::fabs(lu[r * n + c]);
            if (magnitude > largest) {
                largest = magnitude;
                pivot_row = r;
            }
        }
        if (lu[pivot_row * n + c] == 0.0) return std::nullopt;
        if (pivot_row != c) {
            swap_rows(lu, pivot_row, c);
            swap_rows(x, pivot_row, c);
        }
        const double reciprocal = 1.0 / lu[c * n + c];
        for (std::size_t r = c + 1; r < n; ++r) lu[r * n + c] = lu[r * n + c] * reciprocal;
        for (std::size_t r = c + 1; r < n; ++r) {
            const double factor = lu[r * n + c];
            for (std::size_t q = c + 1; q < n; ++q) lu[r * n + q] = lu[r * n + q] - (factor * lu[c * n + q]);
        }
    }

    for (std::size_t col = 0; col < n; ++col) {
        for (std::size_t r = 1; r < n; ++r)
            for (std::size_t q = 0; q < r; ++q) x[r * n + col] = x[r * n + col] - (lu[r * n + q] * x[q * n + col]);
        for (std::size_t r = n; r-- > 0;) {
            for (std::size_t q = r + 1; q < n; ++q) x[r * n + col] = x[r * n + col] - (lu[r * n + q] * x[q * n + col]);
            x[r * n + col] = x[r * n + col] / lu[r * n + r];
        }
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
