#include "piecewise_polynomials/legendre_basis.hpp"

#include <cmath>
#include <limits>

#include "common/sizes.hpp"
#include "piecewise_polynomials/legendre.hpp"
#include "piecewise_polynomials/partition.hpp"

namespace pwpoly::piecewise_polynomials {

namespace {

constexpr const char* no_interval = "Legendre basis requires at least one interval (n_t = 0)";

// The row and column checks shared by evaluate and evaluate_derivative, in that order.
void check_matrix(const CoefficientMatrix& coefficients, std::size_t k, std::size_t degree) {
    if (coefficients.nrows <= k) fault("Matrix slicing out of bounds.");
    // ncols < degree + 1, without forming degree + 1.
    if (coefficients.ncols <= degree) fault("Matrix index out of bounds.");
}

// S = -0.0 + pick(P_0, D_0) * C(k, 0) + ... + pick(P_p, D_p) * C(k, p), added in degree order,
// on the interval k holding t, after the row and column checks.
template <class Pick>
double expansion_sum(const LegendreBasis& basis, double t, const CoefficientMatrix& coefficients, Pick pick) {
    const IntervalLocation at = basis.locate_interval(t);
    check_matrix(coefficients, at.k, basis.degree);
    const double* row = coefficients.data + at.k;
    const std::size_t stride = coefficients.nrows;
    double sum = -0.0;
    walk_legendre(at.xi, basis.degree, [&](std::size_t i, double p, double d) {
        sum = sum + pick(p, d) * row[i * stride];
    });
    return sum;
}

}  // namespace

CoefficientMatrix CoefficientMatrix::from_flat(std::span<const double> flat, std::size_t nrows,
                                               std::size_t ncols) {
    if (flat.size() < checked_mul(nrows, ncols)) fault("Matrix view: input data buffer too small.");
    return {flat.data(), nrows, ncols};
}

std::size_t LegendreBasis::basis_size() const {
    const std::size_t per_interval = checked_count<double>(checked_add(degree, 1));
    return checked_count<double>(checked_mul(n_t, per_interval));
}

IntervalLocation LegendreBasis::locate_interval(double t) const {
    if (n_t == 0) fault(no_interval);
    const UniformPartition partition(T, n_t);
    const double q = std::floor(t / partition.dt);

    // Largest size as a double: exact for 32-bit sizes, 2^64 for 64-bit ones. Every integral
    // q below it converts exactly; at or above it the index saturates.
    constexpr std::size_t size_max = std::numeric_limits<std::size_t>::max();
    constexpr double size_limit = static_cast<double>(size_max);
    std::size_t index = 0;
    if (std::isnan(q) || q <= 0.0) {
        index = 0;
    } else if (q >= size_limit) {
        index = size_max;
    } else {
        index = static_cast<std::size_t>(q);
    }
    const std::size_t k = index >= n_t ? n_t - 1 : index;

    const Interval interval = partition.interval(k);
    const double a = interval.left;
    const double b = interval.right;
    double xi = (2.0 * (t - (a + b) / 2.0)) / (b - a);
    if (xi < -1.0) {
        xi = -1.0;
    } else if (xi > 1.0) {
        xi = 1.0;
    }
    return {k, xi};
}

double LegendreBasis::evaluate(double t, const CoefficientMatrix& coefficients) const {
    return expansion_sum(*this, t, coefficients, [](double p, double) { return p; });
}

double LegendreBasis::evaluate_derivative(double t, const CoefficientMatrix& coefficients) const {
    const double sum = expansion_sum(*this, t, coefficients, [](double, double d) { return d; });
    // dxi/dt = 2 / dt, applied once to the sum.
    return (sum + sum) / UniformPartition(T, n_t).dt;
}

std::vector<double> LegendreBasis::evaluate_all_basis_functions(double t) const {
    const IntervalLocation at = locate_interval(t);
    std::vector<double> values(basis_size(), 0.0);
    walk_legendre(at.xi, degree, [&](std::size_t i, double p, double) {
        values[i * n_t + at.k] = p;
    });
    return values;
}

std::vector<double> LegendreBasis::evaluate_all_basis_function_derivatives(double t) const {
    const IntervalLocation at = locate_interval(t);
    std::vector<double> values(basis_size(), 0.0);
    const double dt = UniformPartition(T, n_t).dt;
    walk_legendre(at.xi, degree, [&](std::size_t i, double, double d) {
        values[i * n_t + at.k] = (d + d) / dt;
    });
    return values;
}

}  // namespace pwpoly::piecewise_polynomials
