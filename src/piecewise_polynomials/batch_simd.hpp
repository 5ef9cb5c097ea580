// AVX2 forms of the batch kernels' inner loops (and an AVX-512 form of the evaluation where the
// CPU has it): four (eight) independent times per vector, each lane
// running exactly the operations of the scalar path in the same order (IEEE division, floor and
// comparisons, no fused multiply-add), so every lane gives the scalar bits. Selected at run time;
// each function handles a leading part of the times (a multiple of four) and returns how many it
// handled, leaving the rest to the scalar loop.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pwpoly::piecewise_polynomials::simd {

// What a basis value is: P_i, the xi-derivative D_i, or the time derivative (D_i + D_i) / dt.
enum class BasisMode { value, xi_derivative, time_derivative };

// True when the CPU runs AVX2 and the partition is small enough for exact lane arithmetic on
// interval indices (n_t <= 2^52).
bool available(std::size_t n_t);

// intervals[j], xi[j] as locate_in with a UniformPartition.
std::size_t locate(double dt, std::size_t n_t, const double* times, std::size_t n, std::int64_t* intervals, double* xi);

// intervals[j] and the degree + 1 basis values of times[j] at values[i * stride + j].
std::size_t basis_values(double dt, std::size_t n_t, std::size_t degree, BasisMode mode, const double* times,
                         std::size_t n, std::int64_t* intervals, double* values, std::size_t stride);

// Rows of the basis matrix, written in their final place: for each time j, the degree + 1 basis
// values at data[j (degree + 1) + i] and the columns i n_t + k_j at indices[j (degree + 1) + i].
// Every column must be representable in Index.
template <class Index>
std::size_t basis_rows(double dt, std::size_t n_t, std::size_t degree, BasisMode mode, const double* times,
                       std::size_t n, Index* indices, double* data);

// out[j] = evaluate (or evaluate_derivative) at times[j] of one coefficient vector of the
// intervals [first, first + width) (degree i on interval k at i width + k - first; the whole
// basis is first 0, width n_t). Stops before the first group of times holding a time outside
// those intervals, so that the scalar loop finds it.
std::size_t evaluate(double dt, std::size_t n_t, std::size_t degree, std::size_t first, std::size_t width,
                     bool derivative, const double* coefficients, const double* times, std::size_t n, double* out);
// Times per pass of `evaluate` on this CPU: 16 with AVX-512 (two groups of eight lanes), 8
// with AVX2 (two groups of four); its result is a multiple of it.
std::size_t evaluate_step();

// For tests: `evaluate` takes the AVX2 path even on a CPU with AVX-512 while this is set.
void force_avx2(bool on);

// out[j] = the expansion at times[j] of the coefficient vector of the intervals [first, first +
// width) of a breakpoint partition, times[j] lying on interval intervals[j] (located by the
// caller): xi = (2 (t - midpoint(a, b))) / (b - a) on [a, b] = [breakpoints[k], breakpoints[k + 1]]
// clamped to [-1, 1], the sum from -0.0 in degree order, for a derivative with the
// xi-derivatives and then (S + S) / (b - a).
std::size_t evaluate_located(std::size_t degree, std::size_t first, std::size_t width, bool derivative,
                             const double* coefficients, const double* breakpoints, const std::int64_t* intervals,
                             const double* times, std::size_t n, double* out);

// out[j] = -0.0 + values[0 * stride + j] * vector[intervals[j]] + ... (degree + 1 terms, in
// degree order, `step` apart in the vector), then (S + S) / dt for a derivative.
std::size_t sums(double dt, std::size_t step, std::size_t degree, bool derivative, const double* vector,
                 const std::int64_t* intervals, const double* values, std::size_t stride, std::size_t n, double* out);

}  // namespace pwpoly::piecewise_polynomials::simd
