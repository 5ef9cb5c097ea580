// pwpoly_numpy._kernels: the private kernels under the array interface pwpoly_numpy. Each kernel
// takes views of caller-provided numpy buffers and writes its results into them; the Python
// layer checks every argument first, so the faults below only guard against a wrong caller
// inside the package.
#include <cstdint>
#include <span>

#include "binding/declare.hpp"
#include "binding/fault.hpp"
#include "common/fault.hpp"
#include "piecewise_polynomials/mod.hpp"

namespace pwpoly::numpy_kernels {

namespace pp = piecewise_polynomials;

namespace {

bool derivative_flag(std::size_t derivative) {
    if (derivative > 1) fault("derivative must be 0 or 1");
    return derivative == 1;
}

}  // namespace

void locate(std::size_t n_t, double T, std::span<const double> times, std::span<std::int64_t> intervals,
            std::span<double> xi) {
    pp::locate_times(pp::LegendreBasis{T, 0, n_t}, times, intervals, xi);
}

void evaluate(std::size_t degree, std::size_t n_t, double T, std::span<const double> coefficients,
              std::span<const double> times, std::size_t derivative, std::span<double> out) {
    pp::evaluate_times(pp::LegendreBasis{T, degree, n_t}, coefficients, times, derivative_flag(derivative), out);
}

template <class Index>
void basis_matrix(std::size_t degree, std::size_t n_t, double T, std::span<const double> times, std::size_t derivative,
                  std::span<Index> indptr, std::span<Index> indices, std::span<double> data) {
    pp::basis_matrix_arrays<Index>(pp::LegendreBasis{T, degree, n_t}, times, derivative_flag(derivative), indptr,
                                   indices, data);
}

template <class Index>
void lagrange_mass_matrix(std::size_t degree, std::size_t n_t, double T, std::span<Index> indptr,
                          std::span<Index> indices, std::span<double> data) {
    pp::lagrange_mass_matrix_arrays<Index>(degree, n_t, T, indptr, indices, data);
}

template <class Index>
void to_legendre_arrays(std::size_t degree, std::size_t n_t, std::span<Index> indptr, std::span<Index> indices,
                        std::span<double> data) {
    pp::lagrange_to_legendre_arrays<Index>(degree, n_t, indptr, indices, data);
}

void lagrange_points(std::size_t degree, std::size_t n_t, double T, std::span<double> out) {
    const pp::LagrangeBasis basis(degree, n_t, T);
    const std::vector<double>& points = basis.points();
    if (points.size() != out.size()) fault("lagrange_points: out has the wrong size");
    std::copy(points.begin(), points.end(), out.begin());
}

// The prolongation's entries at the start of indices and data (room for at least as many as it
// stores); returns how many it stores.
template <class Index>
std::size_t prolongation(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine, std::span<Index> indptr,
                         std::span<Index> indices, std::span<double> data) {
    return pp::copy_csr<Index>(pp::LagrangeBasis(degree, nt_coarse, 1.0).get_prolongation_matrix_to(nt_fine), indptr,
                               indices, data);
}

// The package's internal-fault exception type, shared with pwpoly (created here if pwpoly has
// not raised one yet).
binding::Ref internal_fault_type() { return binding::Ref::borrow(binding::fault_exception_type()); }

}  // namespace pwpoly::numpy_kernels

namespace kernels = pwpoly::numpy_kernels;
using pwpoly::binding::Function;

using Kernels = pwpoly::binding::Module<
    "pwpoly_numpy._kernels", "Private kernels of pwpoly_numpy.",
    Function<&kernels::locate, "locate(n_t, T, times, intervals, xi)">,
    Function<&kernels::evaluate, "evaluate(degree, n_t, T, coefficients, times, derivative, out)">,
    Function<&kernels::basis_matrix<std::int32_t>,
             "basis_matrix32(degree, n_t, T, times, derivative, indptr, indices, data)">,
    Function<&kernels::basis_matrix<std::int64_t>,
             "basis_matrix64(degree, n_t, T, times, derivative, indptr, indices, data)">,
    Function<&kernels::lagrange_mass_matrix<std::int32_t>,
             "lagrange_mass_matrix32(degree, n_t, T, indptr, indices, data)">,
    Function<&kernels::lagrange_mass_matrix<std::int64_t>,
             "lagrange_mass_matrix64(degree, n_t, T, indptr, indices, data)">,
    Function<&kernels::lagrange_points, "lagrange_points(degree, n_t, T, out)">,
    Function<&kernels::prolongation<std::int32_t>, "prolongation32(degree, nt_coarse, nt_fine, indptr, indices, data)">,
    Function<&kernels::prolongation<std::int64_t>, "prolongation64(degree, nt_coarse, nt_fine, indptr, indices, data)">,
    Function<&kernels::to_legendre_arrays<std::int32_t>, "to_legendre32(degree, n_t, indptr, indices, data)">,
    Function<&kernels::to_legendre_arrays<std::int64_t>, "to_legendre64(degree, n_t, indptr, indices, data)">,
    Function<&kernels::internal_fault_type, "internal_fault_type()">>;

// The interpreter looks for PyInit_ followed by the module's name, "_kernels".
extern "C" PyMODINIT_FUNC PyInit__kernels() {  // NOLINT(bugprone-reserved-identifier)
    return Kernels::init();
}
