#include "operators.hpp"

#include "piecewise_polynomials/mod.hpp"

namespace pwpoly {

using piecewise_polynomials::LagrangeBasis;
using sparse_matrix_tools::CsrMatrix;

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

}  // namespace pwpoly
