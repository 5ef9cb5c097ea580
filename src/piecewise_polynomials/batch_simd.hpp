// AVX2 forms of the batch kernels' inner loops (and AVX-512 forms of the evaluation where the CPU
// has it): four (eight) independent times per vector, each lane running the formulas of
// interval_lookup.hpp and legendre.hpp on a lane type (lanes.hpp), so that every lane gives the
// scalar bits (IEEE division, floor and comparisons, no fused multiply-add). Selected at run
// time; each function handles a leading part of the times (a multiple of four) and returns how
// many it handled, leaving the rest to the scalar loop.
//
// Two kinds of partition. Equal intervals (dt, n_t) are located in the lanes, as
// UniformPartition::locate does; on breakpoints the caller locates every time first (the
// partition's lookup) and passes its interval and that interval's ends.
// Either way the local coordinate is coordinate_from_ends on the interval's ends, and a time
// derivative scales by the interval's own length b - a.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pwpoly::piecewise_polynomials::simd {

// What a basis value is: the xi-derivative of order `order` of P_i (P_i itself for order 0), or
// with `time` the time derivative of that order (the chain rule on the interval's length).
struct BasisMode {
    std::size_t order = 0;
    bool time = false;
};

// The intervals of the times: equal intervals of [0, n_t dt] located in the lanes (lefts null),
// or intervals located by the caller, who passes each time's interval and its ends lefts[j],
// rights[j] (read by the lanes as whole vectors).
struct Intervals {
    double dt = 0.0;
    std::size_t n_t = 0;
    const double* lefts = nullptr;
    const double* rights = nullptr;
};

// True when the CPU runs AVX2 and the partition is small enough for exact lane arithmetic on
// interval indices (n_t <= 2^52).
bool available(std::size_t n_t);

// intervals[j], xi[j] as locate_in with a UniformPartition.
std::size_t locate(double dt, std::size_t n_t, const double* times, std::size_t n, std::int64_t* intervals, double* xi);

// The degree + 1 basis values of times[j] at values[i * stride + j]. intervals[j]: written on
// equal intervals, read on breakpoints.
std::size_t basis_values(Intervals partition, std::size_t degree, BasisMode mode, const double* times, std::size_t n,
                         std::int64_t* intervals, double* values, std::size_t stride);

// Rows of the basis matrix, written in their final place: for each time j, the degree + 1 basis
// values at data[j (degree + 1) + i] and the columns i n_t + k_j at indices[j (degree + 1) + i].
// Every column must be representable in Index. `located` (breakpoints only) holds the intervals.
template <class Index>
std::size_t basis_rows(Intervals partition, std::size_t degree, BasisMode mode, const double* times, std::size_t n,
                       const std::int64_t* located, Index* indices, double* data);

// out[j] = the expansion (or its time derivative of order `order`) at times[j] of one coefficient
// vector of the intervals [first, first + width) (degree i on interval k at i width + k - first;
// the whole basis is first 0, width n_t). On equal intervals it stops before the first group of
// times holding a time outside those intervals, so that the scalar loop finds it; on breakpoints
// `located` holds the intervals of the times, all of them in the window.
std::size_t evaluate(Intervals partition, std::size_t degree, std::size_t first, std::size_t width, std::size_t order,
                     const double* coefficients, const double* times, const std::int64_t* located, std::size_t n,
                     double* out);
// `evaluate` on breakpoints (n_t intervals) for ascending times, located in the lanes from the
// interval `hint`: a group of eight (AVX-512; four with AVX2) times that lies within as many
// intervals from the hint is placed by comparisons with their breakpoints, and the hint moves to
// its last interval. Stops before the first group it cannot place (outside those intervals or the
// window, or NaN), so that the caller's lookup takes it and moves the hint.
std::size_t evaluate_ascending(const double* breakpoints, std::size_t n_t, std::size_t degree, std::size_t first,
                               std::size_t width, std::size_t order, const double* coefficients, const double* times,
                               std::size_t n, std::size_t& hint, double* out);
// Times per pass of `evaluate` on this CPU: 16 with AVX-512 (two groups of eight lanes), 8
// with AVX2 (two groups of four); its result is a multiple of it.
std::size_t evaluate_step();

// For tests: `evaluate` takes the AVX2 path even on a CPU with AVX-512 while this is set.
void force_avx2(bool on);

// out[j] = -0.0 + values[0 * stride + j] * vector[intervals[j]] + ... (degree + 1 terms, in
// degree order, `step` apart in the vector), then for order > 0 the time derivative of that
// order on an interval of length lengths[j].
std::size_t sums(std::size_t step, std::size_t degree, std::size_t order, const double* vector,
                 const std::int64_t* intervals, const double* values, std::size_t stride, const double* lengths,
                 std::size_t n, double* out);

}  // namespace pwpoly::piecewise_polynomials::simd
