// The Python classes LegendreBasis and LegendreBasisEvaluator over the Legendre core: their
// native records, and one declaration per class and method.
#pragma once

#include <cstddef>
#include <vector>

#include "binding/declare.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"

namespace pwpoly {

// Native record of a LegendreBasis object: coefficients come with every call.
struct BasisRecord {
    piecewise_polynomials::LegendreBasis basis;

    // The expansion with the leading n_t*(degree + 1) values of `legendre_vals` (degree-major)
    // at t; faults "Matrix view: input data buffer too small." when there are fewer.
    double evaluate_at(double t, const binding::FloatSequence& legendre_vals) const;
    // All n_t*(degree + 1) basis functions (resp. their time derivatives) at t, degree-major.
    piecewise_polynomials::LocalBasisValues evaluate_all_basis_functions(double t) const;
    piecewise_polynomials::LocalBasisValues evaluate_all_basis_function_derivatives(double t) const;
};

// Native record of a LegendreBasisEvaluator object: the coefficients are converted once by
// set_dofs and read in place by every evaluation.
struct EvaluatorRecord {
    piecewise_polynomials::LegendreBasis basis;
    std::vector<double> dofs;                           // n_t*(degree + 1) values, degree-major
    piecewise_polynomials::UniformPartition partition;  // the basis's own, kept for every evaluation

    // Replaces the coefficients; faults with the equality assertion when the length differs.
    void set_dofs(std::vector<double> legendre_vals);
    double evaluate_at(double t) const;
    double evaluate_derivative_at(double t) const;
};

BasisRecord new_basis(std::size_t degree, std::size_t n_t, double T);
// All-zero coefficients; "capacity overflow" before any object exists when they cannot be sized.
EvaluatorRecord new_evaluator(std::size_t degree, std::size_t n_t, double T);

using LegendreBasisClass = binding::Class<
    BasisRecord, "builtins.LegendreBasis(degree, n_t, T)", new_basis, "",
    binding::Method<&BasisRecord::evaluate_at, "LegendreBasis.evaluate_at(t, legendre_vals)">,
    binding::Method<&BasisRecord::evaluate_all_basis_functions, "LegendreBasis.evaluate_all_basis_functions(t)">,
    binding::Method<&BasisRecord::evaluate_all_basis_function_derivatives,
                    "LegendreBasis.evaluate_all_basis_function_derivatives(t)">>;

using LegendreBasisEvaluatorClass = binding::Class<
    EvaluatorRecord, "builtins.LegendreBasisEvaluator(degree, n_t, T)", new_evaluator,
    "Class to evaluate legendre basis more often without copying the dofs from python each time",
    binding::Method<&EvaluatorRecord::set_dofs, "LegendreBasisEvaluator.set_dofs(legendre_vals)">,
    binding::Method<&EvaluatorRecord::evaluate_at, "LegendreBasisEvaluator.evaluate_at(t)">,
    binding::Method<&EvaluatorRecord::evaluate_derivative_at, "LegendreBasisEvaluator.evaluate_derivative_at(t)">>;

}  // namespace pwpoly
