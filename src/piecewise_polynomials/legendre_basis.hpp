// Discontinuous piecewise Legendre basis of degree p on n_t equal intervals of [0, T].
// Flat vectors of one number per basis function use degree-major order: position i*n_t + k
// holds Legendre degree i on interval k.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "interval_lookup.hpp"

namespace pwpoly::piecewise_polynomials {

// Read-only column-major view of a coefficient matrix: element (r, q) at data[q*nrows + r].
// Row k holds interval k, column i the coefficient of P_i.
struct CoefficientMatrix {
    const double* data;
    std::size_t nrows;
    std::size_t ncols;

    // View of the leading nrows x ncols block stored in `flat`;
    // faults "Matrix view: input data buffer too small." when `flat` is shorter.
    static CoefficientMatrix from_flat(std::span<const double> flat, std::size_t nrows,
                                       std::size_t ncols);
};

// The values (or time derivatives) at t of the degree + 1 basis functions of the interval k that
// holds t. In the dense degree-major vector of `size` = n_t * (degree + 1) entries, value i sits at
// position i*n_t + k and every other entry is +0.0.
struct LocalBasisValues {
    std::size_t size;
    std::size_t n_t;
    std::size_t k;
    std::vector<double> values;  // degree + 1

    std::vector<double> dense() const;
};

struct LegendreBasis {
    double T;
    std::size_t degree;
    std::size_t n_t;

    // n_t * (degree + 1), checked ("capacity overflow" when it or degree + 1 does not fit,
    // or when that many doubles exceed the largest allocation).
    std::size_t basis_size() const;

    IntervalLocation locate_interval(double t) const;
    double evaluate(double t, const CoefficientMatrix& coefficients) const;
    double evaluate_derivative(double t, const CoefficientMatrix& coefficients) const;
    std::vector<double> evaluate_all_basis_functions(double t) const;
    std::vector<double> evaluate_all_basis_function_derivatives(double t) const;
    // The same, without the zeros: faults as the dense forms do, in the same order.
    LocalBasisValues local_basis_functions(double t) const;
    LocalBasisValues local_basis_function_derivatives(double t) const;
};

}  // namespace pwpoly::piecewise_polynomials
