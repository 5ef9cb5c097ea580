// Discontinuous piecewise Legendre basis of degree p on n_t equal intervals of [0, T].
// Flat vectors of one number per basis function use degree-major order: position i*n_t + k
// holds Legendre degree i on interval k.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "piecewise_polynomials/interval_lookup.hpp"
#include "piecewise_polynomials/partition.hpp"

namespace pwpoly::piecewise_polynomials {

// Read-only column-major view of a coefficient matrix: element (r, q) at data[q*nrows + r].
// Row k holds interval k, column i the coefficient of P_i.
struct CoefficientMatrix {
    const double* data;
    std::size_t nrows;
    std::size_t ncols;

    // View of the leading nrows x ncols block stored in `flat`;
    // faults "Matrix view: input data buffer too small." when `flat` is shorter.
    static CoefficientMatrix from_flat(std::span<const double> flat, std::size_t nrows, std::size_t ncols);
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

    // dt = T / n_t and the intervals; recomputed by every operation unless the caller keeps it.
    UniformPartition partition() const { return {T, n_t}; }

    // The interval k holding t and the local coordinate xi in [-1, 1]: q = floor(t / dt); k = 0
    // when q is NaN or not positive, else min(q, n_t - 1); xi = (2 (t - midpoint(a, b))) / (b - a)
    // on [a, b] = [k dt, dt + k dt], clamped to [-1, 1] (NaN stays NaN). Faults when n_t = 0.
    IntervalLocation locate_interval(double t) const { return locate_interval(t, partition()); }
    // Faults "Legendre basis requires at least one interval (n_t = 0)" when n_t is 0: every
    // operation at a time needs an interval.
    void require_intervals() const {
        if (n_t == 0) no_interval_fault();
    }
    IntervalLocation locate_interval(double t, const UniformPartition& partition) const;

    // The expansion sum over i of C(k, i) * P_i(xi) at t (resp. its time derivative (S + S) / dt
    // with the xi-derivatives D_i), summed from -0.0 in degree order, for `coefficients` of at
    // least n_t x (degree + 1) (interval k in row k); faults "Matrix slicing out of bounds." when
    // it has no row k, then "Matrix index out of bounds." when it has fewer than degree + 1
    // columns. `partition` is this basis's own.
    double evaluate(double t, const CoefficientMatrix& coefficients) const {
        return evaluate(t, coefficients, partition());
    }
    double evaluate(double t, const CoefficientMatrix& coefficients, const UniformPartition& partition) const;
    double evaluate_derivative(double t, const CoefficientMatrix& coefficients) const {
        return evaluate_derivative(t, coefficients, partition());
    }
    double evaluate_derivative(double t, const CoefficientMatrix& coefficients,
                               const UniformPartition& partition) const;
    // The basis_size() values of all basis functions at t, degree-major (P_i of the interval
    // holding t at i*n_t + k, zeros elsewhere).
    std::vector<double> evaluate_all_basis_functions(double t) const;
    // The basis_size() time derivatives of all basis functions at t, in the same order.
    std::vector<double> evaluate_all_basis_function_derivatives(double t) const;
    // The same, without the zeros: faults as the dense forms do, in the same order.
    LocalBasisValues local_basis_functions(double t) const;
    LocalBasisValues local_basis_function_derivatives(double t) const;

private:
    [[noreturn]] static void no_interval_fault();
};

inline IntervalLocation LegendreBasis::locate_interval(double t, const UniformPartition& partition) const {
    require_intervals();
    return locate_in_partition(partition, n_t, t);
}

}  // namespace pwpoly::piecewise_polynomials
