// pwpoly_numpy._kernels: the private kernels under the array interface pwpoly_numpy. Each kernel
// takes views of caller-provided numpy buffers and writes its results into them; the Python
// layer checks every argument first, so the faults below only guard against a wrong caller
// inside the package.
#include <cstdint>
#include <span>
#include <type_traits>
#include <vector>

#include "binding/declare.hpp"
#include "binding/fault.hpp"
#include "common/fault.hpp"
#include "common/thread_pool.hpp"
#include "numpy_kernels/division_floor.hpp"
#include "piecewise_polynomials/mod.hpp"

namespace pwpoly::numpy_kernels {

namespace pp = piecewise_polynomials;

// The partition a space passes: its breakpoints (n_t + 1 of them), or an empty array for n_t
// equal intervals of [0, T]. f is called with the partition's value.
template <class F>
decltype(auto) on_partition(std::size_t n_t, double T, std::span<const double> breakpoints, F&& f) {
    if (breakpoints.empty()) return f(pp::UniformPartition(T, n_t));
    if (n_t == 0 || breakpoints.size() - 1 != n_t) fault("partition: expected n_t + 1 breakpoints");
    return f(pp::BreakpointPartition(breakpoints));
}

void locate(std::size_t n_t, double T, std::span<const double> breakpoints, std::span<const double> times,
            std::span<std::int64_t> intervals, std::span<double> xi, std::size_t workers) {
    on_partition(n_t, T, breakpoints, [&](const auto& partition) {
        pp::locate_times(partition, times, intervals, xi, workers);
    });
}

// Coefficient vectors of the intervals [first, first + width) (the whole basis: 0, n_t), closed on
// the right when `closed` is 1, their values or time derivatives of order `derivative`; returns times.size(), or the index of the first time outside those
// intervals (out then partly written).
std::size_t evaluate(std::size_t degree, std::size_t n_t, double T, std::span<const double> breakpoints,
                     std::size_t first, std::size_t width, std::size_t closed, std::span<const double> coefficients,
                     std::span<const double> times, std::size_t derivative, std::span<double> out,
                     std::size_t workers) {
    return on_partition(n_t, T, breakpoints, [&](const auto& partition) {
        return pp::evaluate_times(partition, degree, pp::IntervalWindow{first, width, closed == 1}, coefficients,
                                  times, derivative, out, workers);
    });
}

template <class Index>
void basis_matrix(std::size_t degree, std::size_t n_t, double T, std::span<const double> breakpoints,
                  std::span<const double> times, std::size_t derivative, std::span<Index> indptr,
                  std::span<Index> indices, std::span<double> data, std::size_t workers) {
    on_partition(n_t, T, breakpoints, [&](const auto& partition) {
        pp::basis_matrix_arrays<std::decay_t<decltype(partition)>, Index>(
            partition, degree, times, derivative, indptr, indices, data, workers);
    });
}

// out[(k - first) q + r]: the time of the reference coordinate nodes[r] on interval k of
// [first, last) (q = nodes.size()).
void coordinate_times(std::size_t n_t, double T, std::span<const double> breakpoints, std::size_t first,
                      std::size_t last, std::span<const double> nodes, std::span<double> out) {
    on_partition(n_t, T, breakpoints,
                 [&](const auto& partition) { pp::coordinate_times(partition, first, last, nodes, out); });
}

// The Lagrange-to-Legendre transformation's rows [first, last), offsets from indptr[0].
template <class Index>
void to_legendre_arrays(std::size_t degree, std::size_t n_t, std::size_t first, std::size_t last,
                        std::span<Index> indptr, std::span<Index> indices, std::span<double> data,
                        std::size_t workers) {
    pp::build_rows_in_parts<Index>(
        first, last, indptr, indices, data, workers,
        [&](std::size_t a, std::size_t b) { return (b - a) * (degree + 1); },
        [&](std::size_t a, std::size_t b, std::span<Index> p, std::span<Index> i, std::span<double> d) {
            pp::lagrange_to_legendre_rows<Index>(degree, n_t, a, b, p, i, d);
            return i.size();
        });
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
                         std::span<Index> indptr, std::span<Index> indices, std::span<double> data,
                         std::size_t workers) {
    return on_partition(nt_coarse, T_coarse, coarse_breakpoints, [&](const auto& coarse) {
        return on_partition(nt_fine, T_fine, fine_breakpoints, [&](const auto& fine) {
            using Coarse = std::decay_t<decltype(coarse)>;
            using Fine = std::decay_t<decltype(fine)>;
            return pp::build_rows_in_parts<Index>(
                first, last, indptr, indices, data, workers,
                [&](std::size_t a, std::size_t b) { return pp::prolongation_rows_room(degree, coarse, fine, a, b); },
                [&](std::size_t a, std::size_t b, std::span<Index> p, std::span<Index> i, std::span<double> d) {
                    return pp::prolongation_rows<Coarse, Fine, Index>(degree, coarse, fine, a, b, p, i, d);
                });
        });
    });
}

// The projection's sums: out[b, i n_t + k] = v_0 B[0, i] + ... + v_(q-1) B[q-1, i] (added in
// that order) with v_r = values[b, k q + r], for q = B.size() / m quadrature points; intervals
// split over the workers.
void project_sums(std::size_t n_t, std::size_t m, std::span<const double> values, std::span<const double> B,
                  std::span<double> out, std::size_t workers) {
    if (m == 0 || n_t == 0 || B.size() % m != 0) fault("project sums: buffer sizes do not match");
    const std::size_t q = B.size() / m;
    const std::size_t batch = out.size() / (n_t * m);
    if (q == 0 || out.size() != batch * n_t * m || values.size() != batch * n_t * q)
        fault("project sums: buffer sizes do not match");
    auto part = [&](std::size_t begin, std::size_t end) {
        for (std::size_t b = 0; b < batch; ++b) {
            const double* v = values.data() + b * n_t * q;
            double* o = out.data() + b * n_t * m;
            for (std::size_t i = 0; i < m; ++i) {
                for (std::size_t k = begin; k < end; ++k) {
                    double sum = v[k * q] * B[i];
                    for (std::size_t r = 1; r < q; ++r) sum = sum + v[k * q + r] * B[r * m + i];
                    o[i * n_t + k] = sum;
                }
            }
        }
    };
    pwpoly::threads::parallel_for(n_t, workers, 4096, 64, part);
}

// Test and trial bases: kind 0 Legendre, 1 Lagrange; form 0 mass, 1 derivative, 2 upwind.
pp::GalerkinOperator galerkin_operator(std::size_t test_kind, std::size_t test_degree, std::size_t trial_kind,
                                       std::size_t trial_degree, std::size_t form) {
    if (test_kind > 1 || trial_kind > 1 || form > 2) fault("Galerkin operator: unknown basis kind or form");
    auto shape = [](std::size_t kind, std::size_t degree) {
        return pp::BasisShape{kind == 0 ? pp::BasisKind::legendre : pp::BasisKind::lagrange, degree};
    };
    return pp::GalerkinOperator(shape(test_kind, test_degree), shape(trial_kind, trial_degree),
                                static_cast<pp::GalerkinForm>(form));
}

// Stored entries of the Galerkin operator's rows [first, last) on n_t intervals.
std::size_t galerkin_nnz(std::size_t test_kind, std::size_t test_degree, std::size_t trial_kind,
                         std::size_t trial_degree, std::size_t form, std::size_t n_t, std::size_t first,
                         std::size_t last) {
    return galerkin_operator(test_kind, test_degree, trial_kind, trial_degree, form).rows_nnz(n_t, first, last);
}

// The Galerkin operator's rows [first, last), offsets from indptr[0].
template <class Index>
void galerkin(std::size_t test_kind, std::size_t test_degree, std::size_t trial_kind, std::size_t trial_degree,
              std::size_t form, std::size_t n_t, double T, std::span<const double> breakpoints, std::size_t first,
              std::size_t last, std::span<Index> indptr, std::span<Index> indices, std::span<double> data,
              std::size_t workers) {
    const pp::GalerkinOperator op = galerkin_operator(test_kind, test_degree, trial_kind, trial_degree, form);
    on_partition(n_t, T, breakpoints, [&](const auto& partition) {
        pp::build_rows_in_parts<Index>(
            first, last, indptr, indices, data, workers,
            [&](std::size_t a, std::size_t b) { return op.rows_nnz(n_t, a, b); },
            [&](std::size_t a, std::size_t b, std::span<Index> p, std::span<Index> i, std::span<double> d) {
                op.fill_rows<Index>(partition, a, b, p, i, d);
                return i.size();
            });
    });
}

// Room for the projection rows [first, last): an upper bound of the entries they store.
std::size_t projection_room(std::size_t source_degree, std::size_t source_n_t, double source_T,
                            std::span<const double> source_breakpoints, std::size_t target_degree,
                            std::size_t target_n_t, double target_T, std::span<const double> target_breakpoints,
                            std::size_t first, std::size_t last) {
    return on_partition(source_n_t, source_T, source_breakpoints, [&](const auto& source) {
        return on_partition(target_n_t, target_T, target_breakpoints, [&](const auto& target) {
            return pp::projection_rows_room(source_degree, source, target_degree, target, first, last);
        });
    });
}

// The projection rows [first, last) at the start of indices and data; returns the entries stored.
template <class Index>
std::size_t projection(std::size_t source_degree, std::size_t source_n_t, double source_T,
                       std::span<const double> source_breakpoints, std::size_t target_degree, std::size_t target_n_t,
                       double target_T, std::span<const double> target_breakpoints, std::size_t first,
                       std::size_t last, std::span<Index> indptr, std::span<Index> indices, std::span<double> data,
                       std::size_t workers) {
    return on_partition(source_n_t, source_T, source_breakpoints, [&](const auto& source) {
        return on_partition(target_n_t, target_T, target_breakpoints, [&](const auto& target) {
            return pp::build_rows_in_parts<Index>(
                first, last, indptr, indices, data, workers,
                [&](std::size_t a, std::size_t b) {
                    return pp::projection_rows_room(source_degree, source, target_degree, target, a, b);
                },
                [&](std::size_t a, std::size_t b, std::span<Index> p, std::span<Index> i, std::span<double> d) {
                    return pp::projection_rows<Index>(source_degree, source, target_degree, target, a, b, p, i, d);
                });
        });
    });
}

// The description of a step from its buffers (see StepDescription::unpack in stepping.hpp).
pp::StepDescription step(std::span<const std::int64_t> shape, std::span<const double> method,
                         std::span<const std::int64_t> structure, std::span<const double> entries) {
    return pp::StepDescription::unpack(shape, method, structure, entries);
}

// The stepping loop (see stepping.hpp): returns the intervals stepped; stop[0] receives why the
// run stopped early (0 when it did not, 1 for a singular step matrix, 2 for an overflow).
std::size_t steps(std::span<const std::int64_t> shape, std::span<const double> method,
                  std::span<const std::int64_t> structure, std::span<const double> entries,
                  std::span<const double> halves, std::span<double> factors, std::span<std::int64_t> pivots,
                  std::span<std::int64_t> factored, std::span<const std::int64_t> slots, std::span<const double> loads,
                  std::span<const double> corrections, std::span<double> u, std::span<double> out,
                  std::span<std::int64_t> stop) {
    if (stop.size() != 1) fault("steps: buffer sizes do not match");
    const pp::StepRun run = pp::steps(step(shape, method, structure, entries),
                                      pp::StepFactors{halves, factors, pivots, factored}, slots, loads, corrections, u,
                                      out);
    stop[0] = static_cast<std::int64_t>(run.stop);
    return run.done;
}

// sizes[0] = the doubles of the factors of one interval length, sizes[1] = their row swaps.
void step_factor_sizes(std::span<const std::int64_t> shape, std::span<const double> method,
                       std::span<const std::int64_t> structure, std::span<const double> entries,
                       std::span<std::int64_t> sizes) {
    const pp::StepDescription d = step(shape, method, structure, entries);
    if (sizes.size() != 2) fault("steps: buffer sizes do not match");
    sizes[0] = static_cast<std::int64_t>(d.factor_size());
    sizes[1] = static_cast<std::int64_t>(d.pivot_count());
}

void step_right_side(std::span<const std::int64_t> shape, std::span<const double> method,
                     std::span<const std::int64_t> structure, std::span<const double> entries, double half,
                     std::span<const double> load, std::span<const double> u, std::span<double> rhs) {
    const pp::StepDescription d = step(shape, method, structure, entries);
    const std::size_t N = d.n * d.m;
    if (load.size() != N || u.size() != d.n || rhs.size() != N) fault("steps: buffer sizes do not match");
    pp::step_right_side(d, half, load, u, rhs);
}

void split_right_side(std::span<const std::int64_t> shape, std::span<const double> method,
                      std::span<const std::int64_t> structure, std::span<const double> entries,
                      std::span<const double> rhs, std::span<double> z_re, std::span<double> z_im) {
    const pp::StepDescription d = step(shape, method, structure, entries);
    const std::size_t pn = d.eigen_re.size() * d.n;
    if (rhs.size() != d.n * d.m || z_re.size() != pn || z_im.size() != pn) fault("steps: buffer sizes do not match");
    pp::split_right_side(d, rhs, z_re, z_im);
}

void join_solutions(std::span<const std::int64_t> shape, std::span<const double> method,
                    std::span<const std::int64_t> structure, std::span<const double> entries,
                    std::span<const double> y, std::span<double> x) {
    const pp::StepDescription d = step(shape, method, structure, entries);
    if (y.size() != 2 * d.eigen_re.size() * d.n || x.size() != d.n * d.m) fault("steps: buffer sizes do not match");
    pp::join_solutions(d, y, x);
}

// The core's LU of an n x n band (see band_lu.hpp; `kind` 1 for complex entries, real and
// imaginary parts side by side in `band` and `x`), then the solve of x in place: 1, or 0 for a
// pivot exactly zero or not finite.
std::size_t band_solve(std::size_t n, std::size_t lower, std::size_t upper, std::size_t kind, std::span<double> band,
                       std::span<double> x) {
    const pp::Band shape{n, lower, upper};
    const std::size_t doubles = kind == 0 ? 1 : 2;
    if (n == 0 || kind > 1 || lower >= n || upper >= n || band.size() != doubles * shape.entries() ||
        x.size() != doubles * n)
        fault("band solve: buffer sizes do not match");
    std::vector<std::int64_t> pivots(n);
    if (kind == 0) {
        if (!pp::lu_factorize<double>(shape, band, pivots)) return 0;
        pp::lu_solve<double>(shape, band, pivots, x);
        return 1;
    }
    if (!pp::lu_factorize<pp::Complex>(shape, band, pivots)) return 0;
    std::vector<pp::Complex> values(n);
    for (std::size_t i = 0; i < n; ++i) values[i] = pp::load<pp::Complex>(x, i);
    pp::lu_solve<pp::Complex>(shape, band, pivots, std::span<pp::Complex>(values));
    for (std::size_t i = 0; i < n; ++i) pp::store<pp::Complex>(x, i, values[i]);
    return 1;
}

// The package's internal-fault exception type, shared with pwpoly (created here if pwpoly has
// not raised one yet).
binding::Ref internal_fault_type() { return binding::Ref::borrow(binding::fault_exception_type()); }

}  // namespace pwpoly::numpy_kernels

namespace kernels = pwpoly::numpy_kernels;
using pwpoly::binding::Function;
using pwpoly::binding::Kernel;

using Kernels = pwpoly::binding::Module<
    "pwpoly_numpy._kernels", "Private kernels of pwpoly_numpy.",
    Kernel<&kernels::locate, "locate(n_t, T, breakpoints, times, intervals, xi, workers)">,
    Kernel<&kernels::evaluate,
           "evaluate(degree, n_t, T, breakpoints, first, width, closed, coefficients, times, derivative, out, "
           "workers)">,
    Kernel<&kernels::basis_matrix<std::int32_t>,
           "basis_matrix32(degree, n_t, T, breakpoints, times, derivative, indptr, indices, data, workers)">,
    Kernel<&kernels::basis_matrix<std::int64_t>,
           "basis_matrix64(degree, n_t, T, breakpoints, times, derivative, indptr, indices, data, workers)">,
    Kernel<&kernels::coordinate_times, "coordinate_times(n_t, T, breakpoints, first, last, nodes, out)">,
    Kernel<&kernels::lagrange_points, "lagrange_points(degree, n_t, T, breakpoints, first, last, out)">,
    Function<&kernels::prolongation_room,
             "prolongation_room(degree, nt_coarse, T_coarse, coarse_breakpoints, nt_fine, T_fine, "
             "fine_breakpoints, first, last)">,
    Kernel<&kernels::prolongation<std::int32_t>,
           "prolongation32(degree, nt_coarse, T_coarse, coarse_breakpoints, nt_fine, T_fine, fine_breakpoints, "
           "first, last, indptr, indices, data, workers)">,
    Kernel<&kernels::prolongation<std::int64_t>,
           "prolongation64(degree, nt_coarse, T_coarse, coarse_breakpoints, nt_fine, T_fine, fine_breakpoints, "
           "first, last, indptr, indices, data, workers)">,
    Kernel<&kernels::to_legendre_arrays<std::int32_t>,
           "to_legendre32(degree, n_t, first, last, indptr, indices, data, workers)">,
    Kernel<&kernels::to_legendre_arrays<std::int64_t>,
           "to_legendre64(degree, n_t, first, last, indptr, indices, data, workers)">,
    Kernel<&kernels::project_sums, "project_sums(n_t, m, values, B, out, workers)">,
    Kernel<&kernels::division_floor, "division_floor(divisions, times, out)">,
    Function<&kernels::galerkin_nnz,
             "galerkin_nnz(test_kind, test_degree, trial_kind, trial_degree, form, n_t, first, last)">,
    Kernel<&kernels::galerkin<std::int32_t>,
             "galerkin32(test_kind, test_degree, trial_kind, trial_degree, form, n_t, T, breakpoints, first, last, "
             "indptr, indices, data, workers)">,
    Kernel<&kernels::galerkin<std::int64_t>,
             "galerkin64(test_kind, test_degree, trial_kind, trial_degree, form, n_t, T, breakpoints, first, last, "
             "indptr, indices, data, workers)">,
    Function<&kernels::projection_room,
             "projection_room(source_degree, source_n_t, source_T, source_breakpoints, target_degree, target_n_t, "
             "target_T, target_breakpoints, first, last)">,
    Kernel<&kernels::projection<std::int32_t>,
             "projection32(source_degree, source_n_t, source_T, source_breakpoints, target_degree, target_n_t, "
             "target_T, target_breakpoints, first, last, indptr, indices, data, workers)">,
    Kernel<&kernels::projection<std::int64_t>,
             "projection64(source_degree, source_n_t, source_T, source_breakpoints, target_degree, target_n_t, "
             "target_T, target_breakpoints, first, last, indptr, indices, data, workers)">,
    Kernel<&kernels::steps,
           "steps(shape, method, structure, entries, halves, factors, pivots, factored, slots, loads, corrections, u, "
           "out, stop)">,
    Function<&kernels::step_factor_sizes, "step_factor_sizes(shape, method, structure, entries, sizes)">,
    Function<&kernels::step_right_side, "step_right_side(shape, method, structure, entries, half, load, u, rhs)">,
    Function<&kernels::split_right_side, "split_right_side(shape, method, structure, entries, rhs, z_re, z_im)">,
    Function<&kernels::join_solutions, "join_solutions(shape, method, structure, entries, y, x)">,
    Kernel<&kernels::band_solve, "band_solve(n, lower, upper, kind, band, x)">,
    Function<&kernels::internal_fault_type, "internal_fault_type()">,
    pwpoly::binding::StringAttribute<"__version__", PWPOLY_VERSION>>;


// The interpreter looks for PyInit_ followed by the module's name, "_kernels".
extern "C" PyMODINIT_FUNC PyInit__kernels() {  // NOLINT(bugprone-reserved-identifier)
    return Kernels::init();
}
