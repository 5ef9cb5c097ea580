#include "legendre_classes.hpp"

#include "common/fault.hpp"
#include "common/sizes.hpp"

namespace pwpoly {

using piecewise_polynomials::CoefficientMatrix;
using piecewise_polynomials::LegendreBasis;
using piecewise_polynomials::LocalBasisValues;

double BasisRecord::evaluate_at(double t, const binding::FloatSequence& legendre_vals) const {
    const auto coefficients =
        CoefficientMatrix::from_flat(legendre_vals.values(), basis.n_t, checked_add(basis.degree, 1));
    return basis.evaluate(t, coefficients);
}

LocalBasisValues BasisRecord::evaluate_all_basis_functions(double t) const { return basis.local_basis_functions(t); }

LocalBasisValues BasisRecord::evaluate_all_basis_function_derivatives(double t) const {
    return basis.local_basis_function_derivatives(t);
}

void EvaluatorRecord::set_dofs(std::vector<double> legendre_vals) {
    if (legendre_vals.size() != dofs.size()) {
        fault(equality_assertion_message("LegendreBasisEvaluator: set_dofs: input vector has wrong length",
                                         legendre_vals.size(), dofs.size()));
    }
    dofs = std::move(legendre_vals);
}

double EvaluatorRecord::evaluate_at(double t) const {
    return basis.evaluate(t, {dofs.data(), basis.n_t, basis.degree + 1}, partition);
}

double EvaluatorRecord::evaluate_derivative_at(double t) const {
    return basis.evaluate_derivative(t, {dofs.data(), basis.n_t, basis.degree + 1}, partition);
}

BasisRecord new_basis(std::size_t degree, std::size_t n_t, double T) { return {LegendreBasis{T, degree, n_t}}; }

EvaluatorRecord new_evaluator(std::size_t degree, std::size_t n_t, double T) {
    const LegendreBasis basis{T, degree, n_t};
    return {basis, std::vector<double>(basis.basis_size(), 0.0), basis.partition()};
}

}  // namespace pwpoly
