// The floor of the evaluation, for the benchmarks: per time, only what no evaluation can avoid,
// reading the time, `divisions` dependent correctly rounded divisions, writing the value, at the
// best the CPU offers (its widest vectors, two independent groups in flight).
#include "numpy_kernels/division_floor.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define PWPOLY_FLOOR_VECTORS 1
#endif

namespace pwpoly::numpy_kernels {

namespace {

constexpr double divisor = 1.0000001;  // keeps the values normal for any realistic count

#if PWPOLY_FLOOR_VECTORS
__attribute__((target("avx512f"))) std::size_t divide512(std::size_t divisions, const double* t, std::size_t n,
                                                         double* out) {
    const __m512d d = _mm512_set1_pd(divisor);
    std::size_t j = 0;
    for (; j + 16 <= n; j += 16) {
        __m512d a = _mm512_loadu_pd(t + j);
        __m512d b = _mm512_loadu_pd(t + j + 8);
        for (std::size_t k = 0; k < divisions; ++k) {
            a = _mm512_div_pd(a, d);
            b = _mm512_div_pd(b, d);
        }
        _mm512_storeu_pd(out + j, a);
        _mm512_storeu_pd(out + j + 8, b);
    }
    return j;
}

__attribute__((target("avx2"))) std::size_t divide256(std::size_t divisions, const double* t, std::size_t n,
                                                      double* out) {
    const __m256d d = _mm256_set1_pd(divisor);
    std::size_t j = 0;
    for (; j + 8 <= n; j += 8) {
        __m256d a = _mm256_loadu_pd(t + j);
        __m256d b = _mm256_loadu_pd(t + j + 4);
        for (std::size_t k = 0; k < divisions; ++k) {
            a = _mm256_div_pd(a, d);
            b = _mm256_div_pd(b, d);
        }
        _mm256_storeu_pd(out + j, a);
        _mm256_storeu_pd(out + j + 4, b);
    }
    return j;
}
#endif

}  // namespace

void division_floor(std::size_t divisions, std::span<const double> times, std::span<double> out) {
    const std::size_t n = std::min(times.size(), out.size());
    std::size_t j = 0;
#if PWPOLY_FLOOR_VECTORS
    if (__builtin_cpu_supports("avx512f")) {
        j = divide512(divisions, times.data(), n, out.data());
    } else if (__builtin_cpu_supports("avx2")) {
        j = divide256(divisions, times.data(), n, out.data());
    }
#endif
    for (; j < n; ++j) {
        double v = times[j];
        for (std::size_t k = 0; k < divisions; ++k) v = v / divisor;
        out[j] = v;
    }
}

}  // namespace pwpoly::numpy_kernels
