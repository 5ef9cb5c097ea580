#include "piecewise_polynomials/batch_simd.hpp"

#include <atomic>
#include <cmath>
#include <limits>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#define PWPOLY_HAVE_AVX2_KERNELS 1
#include <immintrin.h>
#endif

namespace pwpoly::piecewise_polynomials::simd {

#if PWPOLY_HAVE_AVX2_KERNELS

namespace {

#define PWPOLY_AVX2 __attribute__((target("avx2"), always_inline)) inline

// 2^52: adding it to an integral double in [0, 2^52) puts the integer in the low mantissa bits.
constexpr double magic = 4503599627370496.0;

struct Located {
    __m256d xi;
    __m256i k;   // interval index per lane
    __m256d kd;  // the same index as a double
};

// midpoint of interval_lookup.hpp, lane by lane: (a + b) / 2, or a / 2 + b / 2 where a + b
// overflows to either infinity.
PWPOLY_AVX2 __m256d midpoint4(__m256d a, __m256d b) {
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d sum = _mm256_add_pd(a, b);
    const __m256d halves = _mm256_add_pd(_mm256_mul_pd(a, half), _mm256_mul_pd(b, half));
    const __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), sum);
    const __m256d overflowed =
        _mm256_cmp_pd(magnitude, _mm256_set1_pd(std::numeric_limits<double>::infinity()), _CMP_EQ_OQ);
    return _mm256_blendv_pd(_mm256_mul_pd(sum, half), halves, overflowed);
}

// UniformPartition's lookup, lane by lane: q = floor(t / dt); index 0 for NaN and q <= 0; clamped
// to n_t - 1 (the saturation at the size type's limit lands there too); one step up when
// t >= (k + 1) dt below the last interval, then one step down when t < k dt; a = k dt,
// b = dt + a; xi = (2 (t - midpoint(a, b))) / (b - a), clamped to [-1, 1] with NaN left alone.
// Halving and doubling by multiplication give the bits of the scalar division and product
// (exact scaling).
//
// The clamps are single instructions: max(x, y) and min(x, y) return y when either is NaN or
// when they compare equal, and x otherwise when x is the larger (smaller) one. So max(q, 0)
// is q for q > 0 and 0 for NaN, -0 and q <= 0; min(k, last) is k below last and last from it
// on; min(1, max(-1, xi)) clamps xi and passes NaN through, giving an equal bound's own bits.
PWPOLY_AVX2 Located locate4(__m256d t, __m256d dt, __m256d last) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d one_step = _mm256_set1_pd(1.0);
    const __m256d q = _mm256_floor_pd(_mm256_div_pd(t, dt));
    __m256d kd = _mm256_min_pd(_mm256_max_pd(q, zero), last);
    // Both steps tested on the quotient's index at once: a time at or above (k + 1) dt is not below
    // k dt, so at most one of them is taken, as in the scalar order; a step beyond the first or the
    // last interval is clamped back, as the scalar loop does not take it.
    const __m256d up = _mm256_cmp_pd(t, _mm256_mul_pd(_mm256_add_pd(kd, one_step), dt), _CMP_GE_OQ);
    const __m256d down = _mm256_cmp_pd(t, _mm256_mul_pd(kd, dt), _CMP_LT_OQ);
    kd = _mm256_sub_pd(_mm256_add_pd(kd, _mm256_and_pd(up, one_step)), _mm256_and_pd(down, one_step));
    kd = _mm256_min_pd(_mm256_max_pd(kd, zero), last);
    const __m256d a = _mm256_mul_pd(kd, dt);
    const __m256d b = _mm256_add_pd(dt, a);
    const __m256d middle = midpoint4(a, b);
    const __m256d offset = _mm256_mul_pd(_mm256_set1_pd(2.0), _mm256_sub_pd(t, middle));
    const __m256d xi = _mm256_min_pd(_mm256_set1_pd(1.0),
                                     _mm256_max_pd(_mm256_set1_pd(-1.0), _mm256_div_pd(offset, _mm256_sub_pd(b, a))));
    const __m256d shifted = _mm256_add_pd(kd, _mm256_set1_pd(magic));
    const __m256i k = _mm256_xor_si256(_mm256_castpd_si256(shifted), _mm256_castpd_si256(_mm256_set1_pd(magic)));
    return {xi, k, kd};
}

// Independent groups of four times carried through one pass: the recurrence is a chain of
// dependent multiplications and divisions per time, and interleaving groups hides its latency.
constexpr std::size_t groups = 2;
constexpr std::size_t step_times = 4 * groups;

// The Legendre walker of legendre.hpp on `groups` x four lanes: visit(i, P_i, D_i) for
// i = 0 ... degree, each argument an array of one vector per group.
template <class Visit>
PWPOLY_AVX2 void walk(const __m256d* xi, std::size_t degree, Visit& visit) {
    __m256d p_prev[groups], d_prev[groups], p[groups], d[groups];
    for (std::size_t g = 0; g < groups; ++g) {
        p_prev[g] = _mm256_set1_pd(1.0);
        d_prev[g] = _mm256_setzero_pd();
    }
    visit(std::size_t{0}, p_prev, d_prev);
    if (degree == 0) return;
    for (std::size_t g = 0; g < groups; ++g) {
        p[g] = xi[g];
        d[g] = _mm256_set1_pd(1.0);
    }
    visit(std::size_t{1}, p, d);
    for (std::size_t i = 1; i < degree; ++i) {
        const double j = static_cast<double>(i);
        const __m256d c = _mm256_set1_pd((j + j) + 1.0);
        const __m256d vj = _mm256_set1_pd(j);
        const __m256d next = _mm256_set1_pd(j + 1.0);
        // Dividing by a power of two and multiplying by its exact reciprocal round the same
        // real number: the same bits, without the long division.
        const bool power_of_two = ((i + 1) & i) == 0;
        const __m256d reciprocal = _mm256_set1_pd(1.0 / (j + 1.0));
        for (std::size_t g = 0; g < groups; ++g) {
            const __m256d m = _mm256_mul_pd(_mm256_mul_pd(c, xi[g]), p[g]);
            const __m256d r = _mm256_mul_pd(p_prev[g], vj);
            const __m256d difference = _mm256_sub_pd(m, r);
            const __m256d p_next =
                power_of_two ? _mm256_mul_pd(difference, reciprocal) : _mm256_div_pd(difference, next);
            const __m256d d_next = _mm256_add_pd(d_prev[g], _mm256_mul_pd(c, p[g]));
            p_prev[g] = p[g];
            p[g] = p_next;
            d_prev[g] = d[g];
            d[g] = d_next;
        }
        visit(i + 1, p, d);
    }
}

// Sums S = -0.0 + value_i * coefficient_i in degree order, gathering coefficient i of each lane
// at base[k + i n_t].
template <bool Derivative>
struct Summer {
    const double* base;
    __m256i step;
    __m256i offset[groups];
    __m256d sum[groups];

    PWPOLY_AVX2 void operator()(std::size_t, const __m256d* p, const __m256d* d) {
        for (std::size_t g = 0; g < groups; ++g) {
            const __m256d c = _mm256_i64gather_pd(base, offset[g], 8);
            sum[g] = _mm256_add_pd(sum[g], _mm256_mul_pd(Derivative ? d[g] : p[g], c));
            offset[g] = _mm256_add_epi64(offset[g], step);
        }
    }
};

template <BasisMode Mode>
struct Storer {
    double* values;
    std::size_t stride;
    __m256d dt;

    PWPOLY_AVX2 void operator()(std::size_t i, const __m256d* p, const __m256d* d) {
        for (std::size_t g = 0; g < groups; ++g) {
            __m256d v = p[g];
            if (Mode == BasisMode::xi_derivative) v = d[g];
            if (Mode == BasisMode::time_derivative) v = _mm256_div_pd(_mm256_add_pd(d[g], d[g]), dt);
            _mm256_storeu_pd(values + i * stride + 4 * g, v);
        }
    }
};

// Writes the values of each group's four times into their matrix rows: the values arrive
// degree by degree (one vector of four times), four degrees are collected and transposed into
// four rows (lanes) of four consecutive values; the last, partial, set of degrees is stored
// with a mask. Moving the bits does not change them.
template <BasisMode Mode>
struct RowWriter {
    double* rows;   // row of the group's first time
    std::size_t m;  // degree + 1: row length
    __m256d dt;
    __m256d held[groups][4];

    PWPOLY_AVX2 void operator()(std::size_t i, const __m256d* p, const __m256d* d) {
        for (std::size_t g = 0; g < groups; ++g) {
            __m256d v = p[g];
            if (Mode == BasisMode::xi_derivative) v = d[g];
            if (Mode == BasisMode::time_derivative) v = _mm256_div_pd(_mm256_add_pd(d[g], d[g]), dt);
            held[g][i & 3] = v;
        }
        if ((i & 3) == 3) flush(i - 3, 4);
    }

    // Stores degrees first ... first + count - 1 (count 1 to 4) of every time of the groups.
    PWPOLY_AVX2 void flush(std::size_t first, std::size_t count) {
        const __m256i mask =
            _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(count)), _mm256_setr_epi64x(0, 1, 2, 3));
        for (std::size_t g = 0; g < groups; ++g) {
            const __m256d t0 = _mm256_unpacklo_pd(held[g][0], held[g][1]);
            const __m256d t1 = _mm256_unpackhi_pd(held[g][0], held[g][1]);
            const __m256d t2 = _mm256_unpacklo_pd(held[g][2], held[g][3]);
            const __m256d t3 = _mm256_unpackhi_pd(held[g][2], held[g][3]);
            const __m256d lane[4] = {_mm256_permute2f128_pd(t0, t2, 0x20), _mm256_permute2f128_pd(t1, t3, 0x20),
                                     _mm256_permute2f128_pd(t0, t2, 0x31), _mm256_permute2f128_pd(t1, t3, 0x31)};
            double* row = rows + (4 * static_cast<std::size_t>(g)) * m + first;
            for (std::size_t l = 0; l < 4; ++l) {
                if (count == 4) {
                    _mm256_storeu_pd(row + l * m, lane[l]);
                } else {
                    _mm256_maskstore_pd(row + l * m, mask, lane[l]);
                }
            }
        }
    }
};

// Columns pattern[i] + k of one row (pattern[i] = i n_t), vector by vector, the last one masked.
PWPOLY_AVX2 void store_columns(std::int32_t* out, const std::int32_t* pattern, std::size_t m, std::int64_t k) {
    const __m256i shift = _mm256_set1_epi32(static_cast<int>(k));
    std::size_t i = 0;
    for (; i + 8 <= m; i += 8)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                            _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(pattern + i)), shift));
    if (i < m) {
        const __m256i mask =
            _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(m - i)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        _mm256_maskstore_epi32(
            reinterpret_cast<int*>(out + i), mask,
            _mm256_add_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(pattern + i)), shift));
    }
}

PWPOLY_AVX2 void store_columns(std::int64_t* out, const std::int64_t* pattern, std::size_t m, std::int64_t k) {
    const __m256i shift = _mm256_set1_epi64x(static_cast<long long>(k));
    std::size_t i = 0;
    for (; i + 4 <= m; i += 4)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                            _mm256_add_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(pattern + i)), shift));
    if (i < m) {
        const __m256i mask =
            _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(m - i)), _mm256_setr_epi64x(0, 1, 2, 3));
        _mm256_maskstore_epi64(
            reinterpret_cast<long long*>(out + i), mask,
            _mm256_add_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(pattern + i)), shift));
    }
}

template <BasisMode Mode, class Index>
__attribute__((target("avx2"))) std::size_t basis_rows_avx2(double dt, std::size_t n_t, std::size_t degree,
                                                            const double* times, std::size_t n, Index* indices,
                                                            double* data) {
    const std::size_t m = degree + 1;
    // i n_t for every degree, padded to whole vectors (the padding is never stored).
    std::vector<Index> pattern((m + 7) / 8 * 8, 0);
    for (std::size_t i = 0; i < m; ++i) pattern[i] = static_cast<Index>(i * n_t);
    const __m256d vdt = _mm256_set1_pd(dt);
    const __m256d last = _mm256_set1_pd(static_cast<double>(n_t - 1));
    alignas(32) std::int64_t located[step_times];
    std::size_t j = 0;
    for (; j + step_times <= n; j += step_times) {
        __m256d xi[groups];
        for (std::size_t g = 0; g < groups; ++g) {
            const Located at = locate4(_mm256_loadu_pd(times + j + 4 * g), vdt, last);
            _mm256_store_si256(reinterpret_cast<__m256i*>(located + 4 * g), at.k);
            xi[g] = at.xi;
        }
        RowWriter<Mode> write{data + j * m, m, vdt, {}};
        walk(xi, degree, write);
        if (m & 3) write.flush(m & ~std::size_t{3}, m & 3);
        for (std::size_t l = 0; l < step_times; ++l)
            store_columns(indices + (j + l) * m, pattern.data(), m, located[l]);
    }
    return j;
}

__attribute__((target("avx2"))) std::size_t locate_avx2(double dt, std::size_t n_t, const double* times, std::size_t n,
                                                        std::int64_t* intervals, double* xi) {
    const __m256d vdt = _mm256_set1_pd(dt);
    const __m256d last = _mm256_set1_pd(static_cast<double>(n_t - 1));
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) {
        const Located at = locate4(_mm256_loadu_pd(times + j), vdt, last);
        _mm256_storeu_pd(xi + j, at.xi);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(intervals + j), at.k);
    }
    return j;
}

template <BasisMode Mode>
__attribute__((target("avx2"))) std::size_t basis_values_avx2(double dt, std::size_t n_t, std::size_t degree,
                                                              const double* times, std::size_t n,
                                                              std::int64_t* intervals, double* values,
                                                              std::size_t stride) {
    const __m256d vdt = _mm256_set1_pd(dt);
    const __m256d last = _mm256_set1_pd(static_cast<double>(n_t - 1));
    std::size_t j = 0;
    for (; j + step_times <= n; j += step_times) {
        __m256d xi[groups];
        for (std::size_t g = 0; g < groups; ++g) {
            const Located at = locate4(_mm256_loadu_pd(times + j + 4 * g), vdt, last);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(intervals + j + 4 * g), at.k);
            xi[g] = at.xi;
        }
        Storer<Mode> store{values + j, stride, vdt};
        walk(xi, degree, store);
    }
    return j;
}

template <bool Derivative>
__attribute__((target("avx2"))) std::size_t evaluate_avx2(double dt, std::size_t n_t, std::size_t degree,
                                                          std::size_t first, std::size_t width,
                                                          const double* coefficients, const double* times,
                                                          std::size_t n, double* out) {
    const __m256d vdt = _mm256_set1_pd(dt);
    const __m256d last = _mm256_set1_pd(static_cast<double>(n_t - 1));
    // Lanes whose interval k is below `first` or at `end` or beyond lie outside the window.
    const __m256i vfirst = _mm256_set1_epi64x(static_cast<long long>(first));
    const std::size_t end = first + width;
    const __m256i vend = _mm256_set1_epi64x(static_cast<long long>(end));
    const __m256i ones = _mm256_set1_epi64x(-1);
    Summer<Derivative> sum{coefficients, _mm256_set1_epi64x(static_cast<long long>(width)), {}, {}};
    std::size_t j = 0;
    for (; j + step_times <= n; j += step_times) {
        __m256d xi[groups];
        __m256i outside = _mm256_setzero_si256();
        for (std::size_t g = 0; g < groups; ++g) {
            const Located at = locate4(_mm256_loadu_pd(times + j + 4 * g), vdt, last);
            xi[g] = at.xi;
            outside = _mm256_or_si256(outside, _mm256_cmpgt_epi64(vfirst, at.k));
            outside = _mm256_or_si256(outside, _mm256_xor_si256(_mm256_cmpgt_epi64(vend, at.k), ones));
            sum.offset[g] = _mm256_sub_epi64(at.k, vfirst);
            sum.sum[g] = _mm256_set1_pd(-0.0);
        }
        if (!_mm256_testz_si256(outside, outside)) break;
        walk(xi, degree, sum);
        for (std::size_t g = 0; g < groups; ++g) {
            __m256d result = sum.sum[g];
            if (Derivative) result = _mm256_div_pd(_mm256_add_pd(result, result), vdt);
            _mm256_storeu_pd(out + j + 4 * g, result);
        }
    }
    return j;
}

template <bool Derivative>
__attribute__((target("avx2"))) std::size_t evaluate_located_avx2(std::size_t degree, std::size_t first,
                                                                  std::size_t width, const double* coefficients,
                                                                  const double* breakpoints,
                                                                  const std::int64_t* intervals, const double* times,
                                                                  std::size_t n, double* out) {
    Summer<Derivative> sum{coefficients, _mm256_set1_epi64x(static_cast<long long>(width)), {}, {}};
    const __m256i vfirst = _mm256_set1_epi64x(static_cast<long long>(first));
    const __m256d minus_one = _mm256_set1_pd(-1.0);
    const __m256d one = _mm256_set1_pd(1.0);
    std::size_t j = 0;
    for (; j + step_times <= n; j += step_times) {
        __m256d xi[groups];
        __m256d length[groups];
        for (std::size_t g = 0; g < groups; ++g) {
            const __m256i k = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(intervals + j + 4 * g));
            const __m256d t = _mm256_loadu_pd(times + j + 4 * g);
            const __m256d a = _mm256_i64gather_pd(breakpoints, k, 8);
            const __m256d b = _mm256_i64gather_pd(breakpoints + 1, k, 8);
            const __m256d middle = midpoint4(a, b);
            const __m256d offset = _mm256_mul_pd(_mm256_set1_pd(2.0), _mm256_sub_pd(t, middle));
            length[g] = _mm256_sub_pd(b, a);
            __m256d x = _mm256_div_pd(offset, length[g]);
            const __m256d below = _mm256_cmp_pd(x, minus_one, _CMP_LT_OQ);
            const __m256d above = _mm256_cmp_pd(x, one, _CMP_GT_OQ);
            xi[g] = _mm256_blendv_pd(_mm256_blendv_pd(x, one, above), minus_one, below);
            sum.offset[g] = _mm256_sub_epi64(k, vfirst);
            sum.sum[g] = _mm256_set1_pd(-0.0);
        }
        walk(xi, degree, sum);
        for (std::size_t g = 0; g < groups; ++g) {
            __m256d result = sum.sum[g];
            if (Derivative) result = _mm256_div_pd(_mm256_add_pd(result, result), length[g]);
            _mm256_storeu_pd(out + j + 4 * g, result);
        }
    }
    return j;
}

__attribute__((target("avx2"))) std::size_t sums_avx2(double dt, std::size_t vector_step, std::size_t degree,
                                                      bool derivative, const double* vector,
                                                      const std::int64_t* intervals, const double* values,
                                                      std::size_t stride, std::size_t n, double* out) {
    const __m256d vdt = _mm256_set1_pd(dt);
    const __m256i step = _mm256_set1_epi64x(static_cast<long long>(vector_step));
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) {
        __m256i offset = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(intervals + j));
        __m256d sum = _mm256_set1_pd(-0.0);
        for (std::size_t i = 0; i <= degree; ++i) {
            const __m256d c = _mm256_i64gather_pd(vector, offset, 8);
            sum = _mm256_add_pd(sum, _mm256_mul_pd(_mm256_loadu_pd(values + i * stride + j), c));
            offset = _mm256_add_epi64(offset, step);
        }
        if (derivative) sum = _mm256_div_pd(_mm256_add_pd(sum, sum), vdt);
        _mm256_storeu_pd(out + j, sum);
    }
    return j;
}

// ---------------------------------------------------------------- AVX-512: eight lanes

// GCC 12 flags the deliberately undefined first operand inside its own AVX-512 intrinsics
// (_mm512_undefined_pd, used by the gather and the rounding) as maybe uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define PWPOLY_AVX512 __attribute__((target("avx512f,avx512dq"), always_inline)) inline

// Independent groups of eight times per pass of the AVX-512 evaluation.
constexpr std::size_t groups512 = 2;

struct Located8 {
    __m512d xi;
    __m512i k;
    __m512d kd;
};

// midpoint4 on eight lanes.
PWPOLY_AVX512 __m512d midpoint8(__m512d a, __m512d b) {
    const __m512d half = _mm512_set1_pd(0.5);
    const __m512d sum = _mm512_add_pd(a, b);
    const __m512d halves = _mm512_add_pd(_mm512_mul_pd(a, half), _mm512_mul_pd(b, half));
    const __mmask8 overflowed =
        _mm512_cmp_pd_mask(_mm512_abs_pd(sum), _mm512_set1_pd(std::numeric_limits<double>::infinity()), _CMP_EQ_OQ);
    return _mm512_mask_blend_pd(overflowed, _mm512_mul_pd(sum, half), halves);
}

// locate4 on eight lanes, with the same operations (floor by rounding toward -inf, the same
// one-step correction, the clamps by max and min, with their NaN and equal-operand rules); the
// index converts exactly. Ends a + b only overflow when the last interval's do (a and b grow
// with k): without `Huge` the midpoint is (a + b) / 2 alone.
template <bool Huge>
PWPOLY_AVX512 Located8 locate8(__m512d t, __m512d dt, __m512d last) {
    const __m512d zero = _mm512_setzero_pd();
    const __m512d one_step = _mm512_set1_pd(1.0);
    const __m512d q = _mm512_roundscale_pd(_mm512_div_pd(t, dt), _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    __m512d kd = _mm512_min_pd(_mm512_max_pd(q, zero), last);
    // The one-step correction of locate4, the steps as masked additions of 1.0.
    const __mmask8 up = _mm512_cmp_pd_mask(t, _mm512_mul_pd(_mm512_add_pd(kd, one_step), dt), _CMP_GE_OQ);
    const __mmask8 down = _mm512_cmp_pd_mask(t, _mm512_mul_pd(kd, dt), _CMP_LT_OQ);
    kd = _mm512_mask_add_pd(kd, up, kd, one_step);
    kd = _mm512_mask_sub_pd(kd, down, kd, one_step);
    kd = _mm512_min_pd(_mm512_max_pd(kd, zero), last);
    const __m512d a = _mm512_mul_pd(kd, dt);
    const __m512d b = _mm512_add_pd(dt, a);
    const __m512d middle = Huge ? midpoint8(a, b) : _mm512_mul_pd(_mm512_add_pd(a, b), _mm512_set1_pd(0.5));
    const __m512d offset = _mm512_mul_pd(_mm512_set1_pd(2.0), _mm512_sub_pd(t, middle));
    const __m512d xi = _mm512_min_pd(_mm512_set1_pd(1.0),
                                     _mm512_max_pd(_mm512_set1_pd(-1.0), _mm512_div_pd(offset, _mm512_sub_pd(b, a))));
    return {xi, _mm512_cvttpd_epi64(kd), kd};
}

// The expansion of each group's eight times: walk_legendre's recurrence on `groups512`
// independent vectors at once (their divisions overlap), each term added to its sum as it comes,
// coefficient i of each lane gathered at base[offset + i step].
// Where a group's coefficients come from, degree by degree. When its eight intervals lie within
// eight consecutive ones from the first lane's (sorted times, mostly), the eight coefficients
// of those intervals are loaded as one vector (masked at the window's end) and permuted into
// the lanes; otherwise each lane's coefficient is gathered. Both move the same values.
struct Coefficients8 {
    __m512i index;      // near: lane's interval - first lane's; else: lane's position in the vector
    const double* row;  // near: coefficient of degree i of the first lane's interval
    __mmask8 valid;     // near: the intervals of the window among the eight loaded
    bool near;
};

PWPOLY_AVX512 Coefficients8 coefficients8(const double* base, __m512i position, std::size_t width) {
    long long k0 = 0;  // the first lane's position (through memory: 32-bit x86 has no 64-bit move)
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&k0), _mm512_castsi512_si128(position));
    const __m512i relative = _mm512_sub_epi64(position, _mm512_set1_epi64(k0));
    const bool near = _mm512_cmplt_epu64_mask(relative, _mm512_set1_epi64(8)) == 0xFF;
    if (!near) return {position, base, 0, false};
    const std::size_t left = width - static_cast<std::size_t>(k0);
    const auto valid = static_cast<__mmask8>(left >= 8 ? 0xFF : (1u << left) - 1);
    return {relative, base + k0, valid, true};
}

// sum + value * (coefficient of the lanes at the current degree), then on to the next degree.
PWPOLY_AVX512 void add_term8(__m512d& sum, __m512d value, Coefficients8& from, std::size_t width) {
    __m512d c;
    if (from.near) {
        c = _mm512_permutexvar_pd(from.index, _mm512_maskz_loadu_pd(from.valid, from.row));
        from.row += width;
    } else {
        c = _mm512_i64gather_pd(from.index, from.row, 8);
        from.index = _mm512_add_epi64(from.index, _mm512_set1_epi64(static_cast<long long>(width)));
    }
    sum = _mm512_add_pd(sum, _mm512_mul_pd(value, c));
}

template <bool Derivative>
PWPOLY_AVX512 void sum8(const __m512d* xi, std::size_t degree, Coefficients8* from, std::size_t width,
                        __m512d* sum) {
    __m512d p_prev[groups512], d_prev[groups512], p[groups512], d[groups512];
    for (std::size_t g = 0; g < groups512; ++g) {
        p_prev[g] = _mm512_set1_pd(1.0);
        d_prev[g] = _mm512_setzero_pd();
        add_term8(sum[g], Derivative ? d_prev[g] : p_prev[g], from[g], width);
    }
    if (degree == 0) return;
    for (std::size_t g = 0; g < groups512; ++g) {
        p[g] = xi[g];
        d[g] = _mm512_set1_pd(1.0);
        add_term8(sum[g], Derivative ? d[g] : p[g], from[g], width);
    }
    for (std::size_t i = 1; i < degree; ++i) {
        const double j = static_cast<double>(i);
        const __m512d c = _mm512_set1_pd((j + j) + 1.0);
        const __m512d vj = _mm512_set1_pd(j);
        const __m512d next = _mm512_set1_pd(j + 1.0);
        const bool power_of_two = ((i + 1) & i) == 0;  // exact reciprocal: see walk
        const __m512d reciprocal = _mm512_set1_pd(1.0 / (j + 1.0));
        for (std::size_t g = 0; g < groups512; ++g) {
            const __m512d m = _mm512_mul_pd(_mm512_mul_pd(c, xi[g]), p[g]);
            const __m512d r = _mm512_mul_pd(p_prev[g], vj);
            const __m512d difference = _mm512_sub_pd(m, r);
            const __m512d p_next =
                power_of_two ? _mm512_mul_pd(difference, reciprocal) : _mm512_div_pd(difference, next);
            p_prev[g] = p[g];
            p[g] = p_next;
            if (Derivative) {
                const __m512d d_next = _mm512_add_pd(d_prev[g], _mm512_mul_pd(c, p_prev[g]));
                d_prev[g] = d[g];
                d[g] = d_next;
            }
            add_term8(sum[g], Derivative ? d[g] : p[g], from[g], width);
        }
    }
}

template <bool Derivative, bool Huge>
__attribute__((target("avx512f,avx512dq"))) std::size_t evaluate_avx512(double dt, std::size_t n_t,
                                                                        std::size_t degree, std::size_t first,
                                                                        std::size_t width, const double* coefficients,
                                                                        const double* times, std::size_t n,
                                                                        double* out) {
    constexpr std::size_t step_times512 = 8 * groups512;
    const __m512d vdt = _mm512_set1_pd(dt);
    const __m512d last = _mm512_set1_pd(static_cast<double>(n_t - 1));
    // Located intervals lie in [0, n_t - 1]: a window short of that range needs its checks.
    const bool whole = first == 0 && width == n_t;
    const __m512d vfirst = _mm512_set1_pd(static_cast<double>(first));
    const __m512d vend = _mm512_set1_pd(static_cast<double>(first + width));
    const __m512i ifirst = _mm512_set1_epi64(static_cast<long long>(first));
    std::size_t j = 0;
    for (; j + step_times512 <= n; j += step_times512) {
        __m512d xi[groups512], sum[groups512];
        __m512i position[groups512];
        __mmask8 outside = 0;
        for (std::size_t g = 0; g < groups512; ++g) {
            const Located8 at = locate8<Huge>(_mm512_loadu_pd(times + j + 8 * g), vdt, last);
            xi[g] = at.xi;
            if (!whole)
                outside = static_cast<__mmask8>(outside | _mm512_cmp_pd_mask(at.kd, vfirst, _CMP_LT_OQ) |
                                                _mm512_cmp_pd_mask(at.kd, vend, _CMP_GE_OQ));
            position[g] = _mm512_sub_epi64(at.k, ifirst);
            sum[g] = _mm512_set1_pd(-0.0);
        }
        if (outside != 0) break;
        Coefficients8 from[groups512];
        for (std::size_t g = 0; g < groups512; ++g) from[g] = coefficients8(coefficients, position[g], width);
        sum8<Derivative>(xi, degree, from, width, sum);
        for (std::size_t g = 0; g < groups512; ++g) {
            __m512d result = sum[g];
            if (Derivative) result = _mm512_div_pd(_mm512_add_pd(result, result), vdt);
            _mm512_storeu_pd(out + j + 8 * g, result);
        }
    }
    return j;
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // namespace

bool available(std::size_t n_t) {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2 && n_t >= 1 && static_cast<std::uint64_t>(n_t) <= (std::uint64_t{1} << 52);
}

std::size_t locate(double dt, std::size_t n_t, const double* times, std::size_t n, std::int64_t* intervals,
                   double* xi) {
    return locate_avx2(dt, n_t, times, n, intervals, xi);
}

std::size_t basis_values(double dt, std::size_t n_t, std::size_t degree, BasisMode mode, const double* times,
                         std::size_t n, std::int64_t* intervals, double* values, std::size_t stride) {
    switch (mode) {
        case BasisMode::value:
            return basis_values_avx2<BasisMode::value>(dt, n_t, degree, times, n, intervals, values, stride);
        case BasisMode::xi_derivative:
            return basis_values_avx2<BasisMode::xi_derivative>(dt, n_t, degree, times, n, intervals, values, stride);
        case BasisMode::time_derivative:
            return basis_values_avx2<BasisMode::time_derivative>(dt, n_t, degree, times, n, intervals, values, stride);
    }
    return 0;
}

template <class Index>
std::size_t basis_rows(double dt, std::size_t n_t, std::size_t degree, BasisMode mode, const double* times,
                       std::size_t n, Index* indices, double* data) {
    switch (mode) {
        case BasisMode::value: return basis_rows_avx2<BasisMode::value>(dt, n_t, degree, times, n, indices, data);
        case BasisMode::xi_derivative:
            return basis_rows_avx2<BasisMode::xi_derivative>(dt, n_t, degree, times, n, indices, data);
        case BasisMode::time_derivative:
            return basis_rows_avx2<BasisMode::time_derivative>(dt, n_t, degree, times, n, indices, data);
    }
    return 0;
}

namespace {
std::atomic<bool> avx2_forced{false};

bool has_avx512() {
    static const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
    return avx512 && !avx2_forced.load(std::memory_order_relaxed);
}
}  // namespace

void force_avx2(bool on) { avx2_forced.store(on, std::memory_order_relaxed); }

std::size_t evaluate_step() { return has_avx512() ? 8 * groups512 : step_times; }

std::size_t evaluate(double dt, std::size_t n_t, std::size_t degree, std::size_t first, std::size_t width,
                     bool derivative, const double* coefficients, const double* times, std::size_t n, double* out) {
    if (has_avx512()) {
        const double a = static_cast<double>(n_t - 1) * dt;  // the last interval's ends
        const bool huge = std::isinf(a + (dt + a));
        using Pass = std::size_t (*)(double, std::size_t, std::size_t, std::size_t, std::size_t, const double*,
                                     const double*, std::size_t, double*);
        static constexpr Pass passes[2][2] = {{evaluate_avx512<false, false>, evaluate_avx512<false, true>},
                                              {evaluate_avx512<true, false>, evaluate_avx512<true, true>}};
        return passes[derivative ? 1 : 0][huge ? 1 : 0](dt, n_t, degree, first, width, coefficients, times, n, out);
    }
    if (derivative) return evaluate_avx2<true>(dt, n_t, degree, first, width, coefficients, times, n, out);
    return evaluate_avx2<false>(dt, n_t, degree, first, width, coefficients, times, n, out);
}

std::size_t evaluate_located(std::size_t degree, std::size_t first, std::size_t width, bool derivative,
                             const double* coefficients, const double* breakpoints, const std::int64_t* intervals,
                             const double* times, std::size_t n, double* out) {
    if (derivative)
        return evaluate_located_avx2<true>(degree, first, width, coefficients, breakpoints, intervals, times, n, out);
    return evaluate_located_avx2<false>(degree, first, width, coefficients, breakpoints, intervals, times, n, out);
}

std::size_t sums(double dt, std::size_t step, std::size_t degree, bool derivative, const double* vector,
                 const std::int64_t* intervals, const double* values, std::size_t stride, std::size_t n, double* out) {
    return sums_avx2(dt, step, degree, derivative, vector, intervals, values, stride, n, out);
}

#else

bool available(std::size_t) { return false; }
std::size_t locate(double, std::size_t, const double*, std::size_t, std::int64_t*, double*) { return 0; }
std::size_t basis_values(double, std::size_t, std::size_t, BasisMode, const double*, std::size_t, std::int64_t*,
                         double*, std::size_t) {
    return 0;
}
template <class Index>
std::size_t basis_rows(double, std::size_t, std::size_t, BasisMode, const double*, std::size_t, Index*, double*) {
    return 0;
}
std::size_t evaluate(double, std::size_t, std::size_t, std::size_t, std::size_t, bool, const double*, const double*,
                     std::size_t, double*) {
    return 0;
}
std::size_t evaluate_step() { return 1; }
void force_avx2(bool) {}
std::size_t sums(double, std::size_t, std::size_t, bool, const double*, const std::int64_t*, const double*, std::size_t,
                 std::size_t, double*) {
    return 0;
}
std::size_t evaluate_located(std::size_t, std::size_t, std::size_t, bool, const double*, const double*,
                             const std::int64_t*, const double*, std::size_t, double*) {
    return 0;
}

#endif

template std::size_t basis_rows<std::int32_t>(double, std::size_t, std::size_t, BasisMode, const double*, std::size_t,
                                              std::int32_t*, double*);
template std::size_t basis_rows<std::int64_t>(double, std::size_t, std::size_t, BasisMode, const double*, std::size_t,
                                              std::int64_t*, double*);

}  // namespace pwpoly::piecewise_polynomials::simd
