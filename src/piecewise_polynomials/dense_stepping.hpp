// Interval-by-interval stepping of a Galerkin method in time for small dense systems.
//
// On an interval of length h the m blocks of n unknowns x solve
//     (T1 kron M + (h/2) T2 kron A) x = F + C1 kron (M u) + (h/2) C2 kron (A u),
// u the value at the interval's start, and the value at its end is E kron I x. The block matrix
// (N = m n unknowns) is factorised by Gaussian elimination with partial pivoting, once per slot
// of interval lengths, and the intervals are stepped in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace pwpoly::piecewise_polynomials {

// The method's small matrices (m x m row-major T1, T2; m-vectors C1, C2, E) and the space
// operators (n x n row-major M, A).
struct DenseStepMethod {
    std::size_t n;
    std::size_t m;
    std::span<const double> T1;
    std::span<const double> T2;
    std::span<const double> C1;
    std::span<const double> C2;
    std::span<const double> E;
    std::span<const double> M;
    std::span<const double> A;
};

// Factorisations kept between calls: slot s holds the factors (N * N values) and row swaps
// (N) of the interval length 2 * halves[s], valid when factored[s] is 1.
struct DenseStepFactors {
    std::span<const double> halves;
    std::span<double> factors;
    std::span<std::int64_t> pivots;
    std::span<std::int64_t> factored;
};

// Steps the intervals whose length slots are `slots` (one per interval), with loads F (N per
// interval), from
// the start value `u` (n values), which is left holding the last end value. Writes each
// interval's unknowns into `out` (N per interval). Returns the number of intervals stepped: all
// of them, or the position of the first one whose block is singular (a pivot exactly 0.0). A slot
// factorised here has its `factored` flag set.
std::size_t dense_steps(const DenseStepMethod& method, const DenseStepFactors& cache, std::span<const std::int64_t> slots,
                        std::span<const double> loads, std::span<double> u, std::span<double> out);

// The end value u = E kron I x of an interval's m blocks x of n = u.size() unknowns (E: m
// values), the terms added in block order.
void end_value(std::span<const double> E, std::span<const double> x, std::span<double> u);

}  // namespace pwpoly::piecewise_polynomials
