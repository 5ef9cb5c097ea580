// The module functions: sum_as_string, and the functions over Lagrange bases and their sparse
// operators. Each is declared once, next to its native signature.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "binding/declare.hpp"
#include "sparse_matrix_tools/csr_matrix.hpp"

namespace pwpoly {

// The exact decimal sum a + b (it may need one digit more than the size type holds).
std::string sum_as_string(std::size_t a, std::size_t b);
using SumAsString =
    binding::Function<sum_as_string, "sum_as_string(a, b)", "Formats the sum of two numbers as string.">;

// The degree*n_t + 1 nodes of the continuous piecewise Lagrange basis on [0, T].
std::vector<double> get_lagrange_points(std::size_t degree, std::size_t n_t, double T);
using GetLagrangePoints = binding::Function<get_lagrange_points, "get_lagrange_points(degree, n_t, T)">;

// Coarse-to-fine interpolation on [0, 1]: (nt_fine*degree + 1) x (nt_coarse*degree + 1).
sparse_matrix_tools::CsrMatrix lagrange_prolongation_matrix(std::size_t nt_coarse, std::size_t nt_fine,
                                                            std::size_t degree);
using LagrangeProlongationMatrix =
    binding::Function<lagrange_prolongation_matrix, "lagrange_prolongation_matrix(nt_coarse, nt_fine, degree)">;

// Nodal values to piecewise Legendre coefficients: ((degree + 1)*n_t) x (n_t*degree + 1).
sparse_matrix_tools::CsrMatrix lagrange_to_legendre_basis_transformation(std::size_t degree, std::size_t n_t);
using LagrangeToLegendreBasisTransformation =
    binding::Function<lagrange_to_legendre_basis_transformation,
                      "lagrange_to_legendre_basis_transformation(degree, n_t)">;

}  // namespace pwpoly
