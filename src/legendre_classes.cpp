// The Python classes LegendreBasis and LegendreBasisEvaluator over the Legendre core.
#include <vector>

#include "binding/callable.hpp"
#include "common/fault.hpp"
#include "common/sizes.hpp"
#include "members.hpp"
#include "piecewise_polynomials/mod.hpp"

namespace pwpoly {

namespace {

using piecewise_polynomials::CoefficientMatrix;
using piecewise_polynomials::LegendreBasis;

// Native record of a LegendreBasis object: coefficients come with every call.
struct BasisRecord {
    LegendreBasis basis;

    double evaluate_at(double t, std::vector<double> legendre_vals) const {
        const auto coefficients =
            CoefficientMatrix::from_flat(legendre_vals, basis.n_t, checked_add(basis.degree, 1));
        return basis.evaluate(t, coefficients);
    }
    std::vector<double> evaluate_all_basis_functions(double t) const {
        return basis.evaluate_all_basis_functions(t);
    }
    std::vector<double> evaluate_all_basis_function_derivatives(double t) const {
        return basis.evaluate_all_basis_function_derivatives(t);
    }
};

// Native record of a LegendreBasisEvaluator object: the coefficients are converted once by
// set_dofs and read in place by every evaluation.
struct EvaluatorRecord {
    LegendreBasis basis;
    std::vector<double> dofs;  // n_t * (degree + 1) values, degree-major

    void set_dofs(std::vector<double> legendre_vals) {
        if (legendre_vals.size() != dofs.size()) {
            fault(equality_assertion_message("LegendreBasisEvaluator: set_dofs: input vector has wrong length",
                                             legendre_vals.size(), dofs.size()));
        }
        dofs = std::move(legendre_vals);
    }
    CoefficientMatrix coefficients() const { return {dofs.data(), basis.n_t, basis.degree + 1}; }
    double evaluate_at(double t) const { return basis.evaluate(t, coefficients()); }
    double evaluate_derivative_at(double t) const { return basis.evaluate_derivative(t, coefficients()); }
};

BasisRecord new_basis(std::size_t degree, std::size_t n_t, double T) { return {LegendreBasis{T, degree, n_t}}; }

EvaluatorRecord new_evaluator(std::size_t degree, std::size_t n_t, double T) {
    const LegendreBasis basis{T, degree, n_t};
    return {basis, std::vector<double>(basis.basis_size(), 0.0)};
}

}  // namespace

namespace binding {

template <>
struct ClassTraits<BasisRecord> {
    static constexpr const char* name = "LegendreBasis";
    static PyType_Spec* spec();
    static inline OnceCell cell;
};

template <>
struct ClassTraits<EvaluatorRecord> {
    static constexpr const char* name = "LegendreBasisEvaluator";
    static PyType_Spec* spec();
    static inline OnceCell cell;
};

PyType_Spec* ClassTraits<BasisRecord>::spec() {
    static PyMethodDef methods[] = {
        method_def("evaluate_at",
                   method<&BasisRecord::evaluate_at, "LegendreBasis.evaluate_at", "t", "legendre_vals">,
                   "evaluate_at($self, t, legendre_vals)\n--\n\n"),
        method_def("evaluate_all_basis_functions",
                   method<&BasisRecord::evaluate_all_basis_functions, "LegendreBasis.evaluate_all_basis_functions",
                          "t">,
                   "evaluate_all_basis_functions($self, t)\n--\n\n"),
        method_def("evaluate_all_basis_function_derivatives",
                   method<&BasisRecord::evaluate_all_basis_function_derivatives,
                          "LegendreBasis.evaluate_all_basis_function_derivatives", "t">,
                   "evaluate_all_basis_function_derivatives($self, t)\n--\n\n"),
        method_table_end,
    };
    return heap_type_spec<BasisRecord>("builtins.LegendreBasis", "LegendreBasis(degree, n_t, T)\n--\n\n",
                                       constructor<new_basis, "LegendreBasis.__new__", "degree", "n_t", "T">,
                                       methods);
}

PyType_Spec* ClassTraits<EvaluatorRecord>::spec() {
    static PyMethodDef methods[] = {
        method_def("set_dofs", method<&EvaluatorRecord::set_dofs, "LegendreBasisEvaluator.set_dofs", "legendre_vals">,
                   "set_dofs($self, legendre_vals)\n--\n\n"),
        method_def("evaluate_at", method<&EvaluatorRecord::evaluate_at, "LegendreBasisEvaluator.evaluate_at", "t">,
                   "evaluate_at($self, t)\n--\n\n"),
        method_def("evaluate_derivative_at",
                   method<&EvaluatorRecord::evaluate_derivative_at, "LegendreBasisEvaluator.evaluate_derivative_at",
                          "t">,
                   "evaluate_derivative_at($self, t)\n--\n\n"),
        method_table_end,
    };
    return heap_type_spec<EvaluatorRecord>(
        "builtins.LegendreBasisEvaluator",
        "LegendreBasisEvaluator(degree, n_t, T)\n--\n\n"
        "Class to evaluate legendre basis more often without copying the dofs from python each time",
        constructor<new_evaluator, "LegendreBasisEvaluator.__new__", "degree", "n_t", "T">, methods);
}

}  // namespace binding

PyTypeObject* legendre_basis_class() { return binding::class_object<BasisRecord>(); }
PyTypeObject* legendre_basis_evaluator_class() { return binding::class_object<EvaluatorRecord>(); }

}  // namespace pwpoly
