// The module functions: sum_as_string, and the functions over Lagrange bases and their
// sparse operators.
#include <string>
#include <vector>

#include "binding/callable.hpp"
#include "members.hpp"
#include "piecewise_polynomials/mod.hpp"

namespace pwpoly {

namespace {

using piecewise_polynomials::LagrangeBasis;
using sparse_matrix_tools::CsrMatrix;

// The exact decimal sum: it may need one digit more than the size type holds.
std::string sum_as_string(std::size_t a, std::size_t b) {
    std::size_t sum = 0;
    if (!__builtin_add_overflow(a, b, &sum)) return std::to_string(sum);
    const std::string x = std::to_string(a);
    const std::string y = std::to_string(b);
    std::string digits;
    int carry = 0;
    for (std::size_t i = 0; i < x.size() || i < y.size() || carry != 0; ++i) {
        int digit = carry;
        if (i < x.size()) digit += x[x.size() - 1 - i] - '0';
        if (i < y.size()) digit += y[y.size() - 1 - i] - '0';
        digits.push_back(static_cast<char>('0' + digit % 10));
        carry = digit / 10;
    }
    return std::string(digits.rbegin(), digits.rend());
}

std::vector<double> get_lagrange_points(std::size_t degree, std::size_t n_t, double T) {
    return LagrangeBasis(degree, n_t, T).into_points();
}

CsrMatrix lagrange_prolongation_matrix(std::size_t nt_coarse, std::size_t nt_fine, std::size_t degree) {
    return LagrangeBasis(degree, nt_coarse, 1.0).get_prolongation_matrix_to(nt_fine);
}

CsrMatrix lagrange_to_legendre_basis_transformation(std::size_t degree, std::size_t n_t) {
    return LagrangeBasis(degree, n_t, 1.0).get_transormation_matrix_to_legendre();
}

}  // namespace

using binding::function;
using binding::method_def;

PyMethodDef sum_as_string_def = method_def(
    "sum_as_string", function<sum_as_string, "sum_as_string", "a", "b">,
    "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string.");

PyMethodDef lagrange_to_legendre_basis_transformation_def = method_def(
    "lagrange_to_legendre_basis_transformation",
    function<lagrange_to_legendre_basis_transformation, "lagrange_to_legendre_basis_transformation", "degree", "n_t">,
    "lagrange_to_legendre_basis_transformation(degree, n_t)\n--\n\n");

PyMethodDef lagrange_prolongation_matrix_def = method_def(
    "lagrange_prolongation_matrix",
    function<lagrange_prolongation_matrix, "lagrange_prolongation_matrix", "nt_coarse", "nt_fine", "degree">,
    "lagrange_prolongation_matrix(nt_coarse, nt_fine, degree)\n--\n\n");

PyMethodDef get_lagrange_points_def = method_def(
    "get_lagrange_points", function<get_lagrange_points, "get_lagrange_points", "degree", "n_t", "T">,
    "get_lagrange_points(degree, n_t, T)\n--\n\n");

}  // namespace pwpoly
