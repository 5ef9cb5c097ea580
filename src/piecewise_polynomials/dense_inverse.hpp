// Inversion of the small dense matrices of the local basis transformations.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace pwpoly::piecewise_polynomials {

// Inverse of the n x n matrix stored row by row in `matrix` (n * n values), also row by row.
// n = 4 uses the closed-form adjugate and fails exactly when the determinant is 0.0; any other
// n uses the core's LU with partial pivoting and fails exactly when a pivot is 0.0 or not finite.
// A failure gives std::nullopt.
std::optional<std::vector<double>> invert_dense(std::span<const double> matrix, std::size_t n);

}  // namespace pwpoly::piecewise_polynomials
