#include "piecewise_polynomials/legendre_basis.hpp"

#include "common/sizes.hpp"
#include "piecewise_polynomials/legendre.hpp"
#include "piecewise_polynomials/partition.hpp"

namespace pwpoly::piecewise_polynomials {

namespace {

// The row and column checks shared by evaluate and evaluate_derivative, in that order.
void check_matrix(const CoefficientMatrix& coefficients, std::size_t k, std::size_t degree) {
    if (coefficients.nrows <= k) fault("Matrix slicing out of bounds.");
    // ncols < degree + 1, without forming degree + 1.
    if (coefficients.ncols <= degree) fault("Matrix index out of bounds.");
}

// The expansion sum (of the values, or of the xi-derivatives) on the interval k holding t, after
// the row and column checks.
template <bool Derivative>
double expansion_sum(const LegendreBasis& basis, double t, const CoefficientMatrix& coefficients,
                     const UniformPartition& partition) {
    const IntervalLocation at = basis.locate_interval(t, partition);
    check_matrix(coefficients, at.k, basis.degree);
    return legendre_sum(at.xi, basis.degree, Derivative ? 1 : 0, coefficients.data + at.k, coefficients.nrows);
}

}  // namespace

CoefficientMatrix CoefficientMatrix::from_flat(std::span<const double> flat, std::size_t nrows, std::size_t ncols) {
    if (flat.size() < checked_mul(nrows, ncols)) fault("Matrix view: input data buffer too small.");
    return {flat.data(), nrows, ncols};
}

std::size_t LegendreBasis::basis_size() const {
    const std::size_t per_interval = checked_count<double>(checked_add(degree, 1));
    return checked_count<double>(checked_mul(n_t, per_interval));
}

void LegendreBasis::no_interval_fault() { fault("Legendre basis requires at least one interval (n_t = 0)"); }

double LegendreBasis::evaluate(double t, const CoefficientMatrix& coefficients,
                               const UniformPartition& partition) const {
    return expansion_sum<false>(*this, t, coefficients, partition);
}

double LegendreBasis::evaluate_derivative(double t, const CoefficientMatrix& coefficients,
                                          const UniformPartition& partition) const {
    const double sum = expansion_sum<true>(*this, t, coefficients, partition);
    // dxi/dt = 2 / dt, applied once to the sum.
    return to_time_derivative(sum, partition.dt, 1);
}

std::vector<double> LocalBasisValues::dense() const {
    std::vector<double> out(size, 0.0);
    for (std::size_t i = 0; i < values.size(); ++i) out[i * n_t + k] = values[i];
    return out;
}

LocalBasisValues LegendreBasis::local_basis_functions(double t) const {
    const IntervalLocation at = locate_interval(t);
    LocalBasisValues local{basis_size(), n_t, at.k, std::vector<double>(degree + 1)};
    legendre_values(at.xi, local.values);
    return local;
}

LocalBasisValues LegendreBasis::local_basis_function_derivatives(double t) const {
    const IntervalLocation at = locate_interval(t);
    LocalBasisValues local{basis_size(), n_t, at.k, std::vector<double>(degree + 1)};
    const double dt = UniformPartition(T, n_t).dt;
    legendre_values(at.xi, local.values, 1);
    for (double& d : local.values) d = to_time_derivative(d, dt, 1);
    return local;
}

std::vector<double> LegendreBasis::evaluate_all_basis_functions(double t) const {
    return local_basis_functions(t).dense();
}

std::vector<double> LegendreBasis::evaluate_all_basis_function_derivatives(double t) const {
    return local_basis_function_derivatives(t).dense();
}

}  // namespace pwpoly::piecewise_polynomials
