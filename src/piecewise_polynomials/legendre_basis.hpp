// Discontinuous piecewise Legendre basis of degree p on n_t equal intervals of [0, T].
// Flat vectors of one number per basis function use degree-major order: position i*n_t + k
// holds Legendre degree i on interval k.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

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

struct IntervalLocation {
    std::size_t k;  // interval index
    double xi;      // local coordinate in [-1, 1] (NaN stays NaN)
};

struct LegendreBasis {
    double T;
    std::size_t degree;
    std::size_t n_t;

    // n_t * (degree + 1), checked ("capacity overflow" when it or degree + 1 does not fit,
    // or when that many doubles exceed the largest allocation).
    std::size_t basis_size() const;

    // The interval k = floor(t / dt), clamped to 0 ... n_t - 1, and t's local coordinate on
    // it, clamped to [-1, 1]. Faults when n_t is 0.
    IntervalLocation locate_interval(double t) const;
    // The expansion sum over i of C(k, i) * P_i(xi) at t, for `coefficients` of at least
    // n_t x (degree + 1) (interval k in row k); faults "Matrix slicing out of bounds." when it
    // has no row k, then "Matrix index out of bounds." when it has fewer than degree + 1 columns.
    double evaluate(double t, const CoefficientMatrix& coefficients) const;
    // The time derivative of the same expansion at t (the xi-derivative times 2 / dt), with the
    // same checks.
    double evaluate_derivative(double t, const CoefficientMatrix& coefficients) const;
    // The basis_size() values of all basis functions at t, degree-major (P_i of the interval
    // holding t at i*n_t + k, zeros elsewhere).
    std::vector<double> evaluate_all_basis_functions(double t) const;
    // The basis_size() time derivatives of all basis functions at t, in the same order.
    std::vector<double> evaluate_all_basis_function_derivatives(double t) const;
};

}  // namespace pwpoly::piecewise_polynomials
