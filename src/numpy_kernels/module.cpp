// pwpoly_numpy._kernels: the private kernels under the array interface pwpoly_numpy. Each kernel
// takes views of caller-provided numpy buffers and writes its results into them; the Python
// layer checks every argument first, so the faults below only guard against a wrong caller
// inside the package.
#include <cstdint>
#include <span>
#include <type_traits>

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

// The partition a space passes: its breakpoints (n_t + 1 of them), or an empty array for n_t
// equal intervals of [0, T]. f is called with the partition's value.
template <class F>
decltype(auto) on_partition(std::size_t n_t, double T, std::span<const double> breakpoints, F&& f) {
    if (breakpoints.empty()) return f(pp::UniformPartition(T, n_t));
    if (n_t == 0 || breakpoints.size() - 1 != n_t) fault("partition: expected n_t + 1 breakpoints");
    return f(pp::BreakpointPartition(breakpoints));
}

void locate(std::size_t n_t, double T, std::span<const double> breakpoints, std::span<const double> times,
            std::span<std::int64_t> intervals, std::span<double> xi) {
    on_partition(n_t, T, breakpoints, [&](const auto& partition) {
        pp::locate_times(partition, times, intervals, xi);
    });
}

// Coefficient vectors of the intervals [first, first + width) (the whole basis: 0, n_t), closed on
// the right when `closed` is 1; returns times.size(), or the index of the first time outside those
// intervals (out then partly written).
std::size_t evaluate(std::size_t degree, std::size_t n_t, double T, std::span<const double> breakpoints,
                     std::size_t first, std::size_t width, std::size_t closed, std::span<const double> coefficients,
                     std::span<const double> times, std::size_t derivative, std::span<double> out) {
    return on_partition(n_t, T, breakpoints, [&](const auto& partition) {
        return pp::evaluate_times(partition, degree, pp::IntervalWindow{first, width, closed == 1}, coefficients,
                                  times, derivative_flag(derivative), out);
    });
}

template <class Index>
void basis_matrix(std::size_t degree, std::size_t n_t, double T, std::span<const double> breakpoints,
                  std::span<const double> times, std::size_t derivative, std::span<Index> indptr,
                  std::span<Index> indices, std::span<double> data) {
    on_partition(n_t, T, breakpoints, [&](const auto& partition) {
        pp::basis_matrix_arrays<std::decay_t<decltype(partition)>, Index>(
            partition, degree, times, derivative_flag(derivative), indptr, indices, data);
    });
}

// Stored entries of the Lagrange mass matrix's rows [first, last).
std::size_t lagrange_mass_nnz(std::size_t degree, std::size_t n_t, std::size_t first, std::size_t last) {
    return pp::lagrange_mass_rows_nnz(degree, n_t, first, last);
}

// The Lagrange mass matrix's rows [first, last), offsets from indptr[0].
template <class Index>
void lagrange_mass_matrix(std::size_t degree, std::size_t n_t, double T, std::span<const double> breakpoints,
                          std::size_t first, std::size_t last, std::span<Index> indptr, std::span<Index> indices,
                          std::span<double> data) {
    on_partition(n_t, T, breakpoints, [&](const auto& partition) {
        pp::lagrange_mass_rows<std::decay_t<decltype(partition)>, Index>(degree, partition, first, last, indptr,
                                                                         indices, data);
    });
}

// The Lagrange-to-Legendre transformation's rows [first, last), offsets from indptr[0].
template <class Index>
void to_legendre_arrays(std::size_t degree, std::size_t n_t, std::size_t first, std::size_t last,
                        std::span<Index> indptr, std::span<Index> indices, std::span<double> data) {
    pp::lagrange_to_legendre_rows<Index>(degree, n_t, first, last, indptr, indices, data);
}

void lagrange_points(std::size_t degree, std::size_t n_t, double T, std::span<const double> breakpoints,
                     std::size_t first, std::size_t last, std::span<double> out) {
    on_partition(n_t, T, breakpoints,
                 [&](const auto& partition) { pp::lagrange_points(partition, degree, first, last, out); });
}

// Room for the prolongation rows [first, last): an upper bound of the entries they store.
std::size_t prolongation_room(std::size_t degree, std::size_t nt_coarse, double T_coarse,
                              std::span<const double> coarse_breakpoints, std::size_t nt_fine, double T_fine,
                              std::span<const double> fine_breakpoints, std::size_t first, std::size_t last) {
    return on_partition(nt_coarse, T_coarse, coarse_breakpoints, [&](const auto& coarse) {
        return on_partition(nt_fine, T_fine, fine_breakpoints, [&](const auto& fine) {
            return pp::prolongation_rows_room(degree, coarse, fine, first, last);
        });
    });
}

// The prolongation rows [first, last) at the start of indices and data (room for at least
// prolongation_room entries), offsets from indptr[0]; returns how many entries they store.
template <class Index>
std::size_t prolongation(std::size_t degree, std::size_t nt_coarse, double T_coarse,
                         std::span<const double> coarse_breakpoints, std::size_t nt_fine, double T_fine,
                         std::span<const double> fine_breakpoints, std::size_t first, std::size_t last,
                         std::span<Index> indptr, std::span<Index> indices, std::span<double> data) {
    return on_partition(nt_coarse, T_coarse, coarse_breakpoints, [&](const auto& coarse) {
        return on_partition(nt_fine, T_fine, fine_breakpoints, [&](const auto& fine) {
            return pp::prolongation_rows<std::decay_t<decltype(coarse)>, std::decay_t<decltype(fine)>, Index>(
                degree, coarse, fine, first, last, indptr, indices, data);
        });
    });
}

// The package's internal-fault exception type, shared with pwpoly (created here if pwpoly has
// not raised one yet).
binding::Ref internal_fault_type() { return binding::Ref::borrow(binding::fault_exception_type()); }

}  // namespace pwpoly::numpy_kernels

namespace kernels = pwpoly::numpy_kernels;
using pwpoly::binding::Function;

using Kernels = pwpoly::binding::Module<
    "pwpoly_numpy._kernels", "Private kernels of pwpoly_numpy.",
    Function<&kernels::locate, "locate(n_t, T, breakpoints, times, intervals, xi)">,
    Function<&kernels::evaluate,
             "evaluate(degree, n_t, T, breakpoints, first, width, closed, coefficients, times, derivative, out)">,
    Function<&kernels::basis_matrix<std::int32_t>,
             "basis_matrix32(degree, n_t, T, breakpoints, times, derivative, indptr, indices, data)">,
    Function<&kernels::basis_matrix<std::int64_t>,
             "basis_matrix64(degree, n_t, T, breakpoints, times, derivative, indptr, indices, data)">,
    Function<&kernels::lagrange_mass_nnz, "lagrange_mass_nnz(degree, n_t, first, last)">,
    Function<&kernels::lagrange_mass_matrix<std::int32_t>,
             "lagrange_mass_matrix32(degree, n_t, T, breakpoints, first, last, indptr, indices, data)">,
    Function<&kernels::lagrange_mass_matrix<std::int64_t>,
             "lagrange_mass_matrix64(degree, n_t, T, breakpoints, first, last, indptr, indices, data)">,
    Function<&kernels::lagrange_points, "lagrange_points(degree, n_t, T, breakpoints, first, last, out)">,
    Function<&kernels::prolongation_room,
             "prolongation_room(degree, nt_coarse, T_coarse, coarse_breakpoints, nt_fine, T_fine, "
             "fine_breakpoints, first, last)">,
    Function<&kernels::prolongation<std::int32_t>,
             "prolongation32(degree, nt_coarse, T_coarse, coarse_breakpoints, nt_fine, T_fine, fine_breakpoints, "
             "first, last, indptr, indices, data)">,
    Function<&kernels::prolongation<std::int64_t>,
             "prolongation64(degree, nt_coarse, T_coarse, coarse_breakpoints, nt_fine, T_fine, fine_breakpoints, "
             "first, last, indptr, indices, data)">,
    Function<&kernels::to_legendre_arrays<std::int32_t>,
             "to_legendre32(degree, n_t, first, last, indptr, indices, data)">,
    Function<&kernels::to_legendre_arrays<std::int64_t>,
             "to_legendre64(degree, n_t, first, last, indptr, indices, data)">,
    Function<&kernels::internal_fault_type, "internal_fault_type()">>;


// The interpreter looks for PyInit_ followed by the module's name, "_kernels".
extern "C" PyMODINIT_FUNC PyInit__kernels() {  // NOLINT(bugprone-reserved-identifier)
    return Kernels::init();
}
