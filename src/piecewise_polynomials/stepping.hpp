// Interval-by-interval stepping of a Galerkin method in time.
//
// On an interval of length h the m blocks of n unknowns x solve
//     (T1 kron M + (h/2) T2 kron A) x = F + C1 kron (M u) + (h/2) C2 kron (A u),
// u the value at the interval's start, F the loads, and the value at its end is E kron I x.
// Either the coupled block of N = m n unknowns is factorised as a whole (a dense matrix: its
// full band), or, with T2^-1 T1 = W diag(lambda) W^-1, the block splits into p systems
// (lambda_e M + (h/2) A) y_e = z_e of size n, z = W^-1 T2^-1 rhs: a real system for a real
// eigenvalue, a complex one for one of a complex pair, each factorised by the banded LU (M and A
// within a few diagonals), and x = Re(W y). Factors are made once per slot of interval lengths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "piecewise_polynomials/band_lu.hpp"

namespace pwpoly::piecewise_polynomials {

// An n x n matrix in compressed rows (the column indices of a row increasing).
struct CompressedRows {
    std::span<const std::int64_t> indptr;
    std::span<const std::int64_t> indices;
    std::span<const double> data;
};

// What a step needs. The method on [-1, 1]: the time matrices T1, T2 (m x m, row-major), the
// start couplings C1, C2 and the end weights E (m values each). Its split, empty for the coupled
// block: the eigenvalues of the p systems, one per real eigenvalue or complex pair (eigen_im 0.0
// for a real one); the kept rows of W^-1 T2^-1 (G_re, G_im: p rows of m values); and the map Wy
// (m rows of 2 p values) from the systems' solutions, real parts then imaginary parts, back to
// the unknowns. The space operators M and A, with their entries within `lower` diagonals below
// the main one and `upper` above it when the split systems are factorised here.
struct StepDescription {
    std::size_t n;
    std::size_t m;
    std::span<const double> T1;
    std::span<const double> T2;
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
    std::size_t lower;
    std::size_t upper;

    // The description packed in a few buffers: shape = (n, m, p, lower, upper) with p = 0 for
    // the coupled block; method = T1, T2, C1, C2, E, then for p > 0 eigen_re, eigen_im, G_re,
    // G_im, Wy; structure = M's row starts, A's row starts, M's column indices, A's column
    // indices; entries = M's values, A's values. Faults when the sizes disagree.
    static StepDescription unpack(std::span<const std::int64_t> shape, std::span<const double> method,
                                  std::span<const std::int64_t> structure, std::span<const double> entries);

    bool coupled() const { return eigen_re.empty(); }
    // Systems factorised per interval length: the coupled block, or the p split ones.
    std::size_t systems() const { return coupled() ? 1 : eigen_re.size(); }
    // The band of one system.
    Band band() const { return coupled() ? Band::dense(n * m) : Band{n, lower, upper}; }
    // Doubles of the factors of one slot (room for complex split systems) and its row swaps.
    std::size_t factor_size() const;
    std::size_t pivot_count() const { return systems() * band().n; }
};

// Factorisations kept between calls: slot s holds the factors (factor_size() doubles) and row
// swaps (pivot_count()) of the interval length 2 * halves[s], valid when factored[s] is 1.
struct StepFactors {
    std::span<const double> halves;
    std::span<double> factors;
    std::span<std::int64_t> pivots;
    std::span<std::int64_t> factored;
};

// Why a run of steps stopped early: a step matrix with a pivot exactly zero or not finite, or a
// step whose unknowns or end value are not finite although its loads and start value were.
enum class StepStop : std::int64_t { none = 0, singular = 1, overflow = 2 };

struct StepRun {
    std::size_t done;  // intervals stepped
    StepStop stop;
};

// Steps the intervals whose length slots are `slots` (one per interval), with loads F (N per
// interval, finite), from the start value `u` (n finite values), which is left holding the last
// end value. After interval k its end value is increased by corrections[k n ... k n + n) when
// `corrections` is not empty (n per interval). Writes each interval's unknowns into `out` (N per
// interval). Returns the intervals stepped, all of them or those before the one that stopped the
// run; a slot factorised here has its `factored` flag set.
StepRun steps(const StepDescription& description, const StepFactors& cache, std::span<const std::int64_t> slots,
              std::span<const double> loads, std::span<const double> corrections, std::span<double> u,
              std::span<double> out);

// The parts of a step for callers that solve the systems themselves. The right-hand side of an
// interval of half length `half` from its loads (N values) and start value u (n values):
// rhs = F + C1 kron (M u) + (half C2) kron (A u), the last term left out when C2 is zero.
void step_right_side(const StepDescription& description, double half, std::span<const double> load,
                     std::span<const double> u, std::span<double> rhs);

// The split systems' right-hand sides z = W^-1 T2^-1 rhs: real parts (p n values) and imaginary
// parts.
void split_right_side(const StepDescription& description, std::span<const double> rhs, std::span<double> z_re,
                      std::span<double> z_im);

// The unknowns x = Re(W y) (N values) from the systems' solutions y (real parts of the p systems,
// then imaginary parts: 2 p n values).
void join_solutions(const StepDescription& description, std::span<const double> y, std::span<double> x);

// The end value u = E kron I x of an interval's m blocks x of n = u.size() unknowns (E: m
// values), the terms added in block order.
void end_value(std::span<const double> E, std::span<const double> x, std::span<double> u);

}  // namespace pwpoly::piecewise_polynomials
