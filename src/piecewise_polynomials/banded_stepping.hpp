// Interval-by-interval stepping of a Galerkin method in time for banded space operators.
//
// On an interval of length h the m blocks of n unknowns x solve
//     (T1 kron M + (h/2) T2 kron A) x = F + C1 kron (M u) + (h/2) C2 kron (A u),
// u the value at the interval's start. With T2^-1 T1 = W diag(lambda) W^-1 the block splits into
// p systems (lambda_e M + (h/2) A) y_e = z_e of size n, z = W^-1 T2^-1 rhs: a real system for a
// real eigenvalue, a complex one for one of a complex pair. Each is factorised by banded LU with
// partial pivoting (the fill of the row swaps widens the upper band by the lower one), once per
// slot of interval lengths, and x = Re(W y), the end value E kron I x.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace pwpoly::piecewise_polynomials {

// An n x n matrix in compressed rows (the column indices of a row increasing).
struct CompressedRows {
    std::span<const std::int64_t> indptr;
    std::span<const std::int64_t> indices;
    std::span<const double> data;
};

// A time-stepping method split into independent systems, and the space operators. The method:
// its start-coupling and end-value weights (C1, C2 and E, m values each); the eigenvalues of its
// systems, one per real eigenvalue or complex pair (eigen_im is 0.0 for a real one); the kept
// rows of the inverse eigenvector matrix times the inverse of the second time matrix (G_re and
// G_im, one row of m values per system); and the map Wy (m rows of twice as many values as
// systems) from the systems' solutions, real parts then imaginary parts, back to the unknowns.
// The operators M and A have their entries within `lower` diagonals below the main one and
// `upper` above it.
struct BandedStepMethod {
    std::size_t n;
    std::size_t m;
    std::size_t lower;
    std::size_t upper;
    std::span<const double> C1;
    std::span<const double> C2;
    std::span<const double> E;
    std::span<const double> eigen_re;
    std::span<const double> eigen_im;
    std::span<const double> G_re;
    std::span<const double> G_im;
    std::span<const double> Wy;
    CompressedRows M;
    CompressedRows A;
};

// Doubles of the factors of one slot: p systems of n rows of 2 lower + upper + 1 entries, room
// for complex ones.
std::size_t banded_factor_size(std::size_t n, std::size_t p, std::size_t lower, std::size_t upper);

// Factorisations kept between calls: slot s holds the factors (banded_factor_size values) and
// row swaps (p n) of the interval length 2 * halves[s], valid when factored[s] is 1.
struct BandedStepFactors {
    std::span<const double> halves;
    std::span<double> factors;
    std::span<std::int64_t> pivots;
    std::span<std::int64_t> factored;
};

// Steps the intervals whose length slots are `slots` (one per interval), with loads F (m n per
// interval), from the start value `u` (n values), which is left holding the last end value.
// Writes each interval's unknowns into `out` (m n per interval). Returns the number of intervals
// stepped: all of them, or the position of the first one with a singular system (a pivot exactly
// 0.0, or a solution not finite). A slot factorised here has its `factored` flag set.
std::size_t banded_steps(const BandedStepMethod& method, const BandedStepFactors& cache,
                         std::span<const std::int64_t> slots, std::span<const double> loads, std::span<double> u,
                         std::span<double> out);

}  // namespace pwpoly::piecewise_polynomials
