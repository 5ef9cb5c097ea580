// GCC notes that a lane type passed by value to the generic formulas would change the ABI of a
// function compiled without AVX; those formulas are only ever inlined into the kernels below,
// which are compiled for AVX2 (AVX-512).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

#include "piecewise_polynomials/batch_simd.hpp"

#include <atomic>
#include <cmath>
#include <limits>
#include <vector>

#include "piecewise_polynomials/interval_lookup.hpp"
#include "piecewise_polynomials/legendre.hpp"
#include "piecewise_polynomials/partition.hpp"

#if defined(__x86_64__) || defined(__i386__)
#define PWPOLY_HAVE_AVX2_KERNELS 1
#include <immintrin.h>
#endif

namespace pwpoly::piecewise_polynomials::simd {

#if PWPOLY_HAVE_AVX2_KERNELS

namespace {

// The lane types' operations carry their target; the kernels that use them are `flatten`ed, so
// that every formula and operation is inlined into code compiled for that target.
#define PWPOLY_AVX2 __attribute__((target("avx2"))) inline
#define PWPOLY_AVX2_KERNEL __attribute__((target("avx2"), flatten))

// ---------------------------------------------------------------- AVX2: four lanes

// 2^52: adding it to an integral double in [0, 2^52) puts the integer in the low mantissa bits.
constexpr double magic = 4503599627370496.0;

struct Lanes4 {
    using Index = __m256i;
    static constexpr std::size_t width = 4;
    __m256d v;

    Lanes4() = default;
    PWPOLY_AVX2 explicit Lanes4(double x) : v(_mm256_set1_pd(x)) {}
    PWPOLY_AVX2 explicit Lanes4(__m256d x) : v(x) {}
    PWPOLY_AVX2 static Lanes4 load(const double* p) { return Lanes4(_mm256_loadu_pd(p)); }
    PWPOLY_AVX2 void store(double* p) const { _mm256_storeu_pd(p, v); }
    PWPOLY_AVX2 static Index load_index(const std::int64_t* p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    }
};

PWPOLY_AVX2 Lanes4 operator+(Lanes4 a, Lanes4 b) { return Lanes4(_mm256_add_pd(a.v, b.v)); }
PWPOLY_AVX2 Lanes4 operator-(Lanes4 a, Lanes4 b) { return Lanes4(_mm256_sub_pd(a.v, b.v)); }
PWPOLY_AVX2 Lanes4 operator*(Lanes4 a, Lanes4 b) { return Lanes4(_mm256_mul_pd(a.v, b.v)); }
PWPOLY_AVX2 Lanes4 operator/(Lanes4 a, Lanes4 b) { return Lanes4(_mm256_div_pd(a.v, b.v)); }

// max(x, y) and min(x, y) return y when either is NaN or when they compare equal, and x otherwise
// when x is the larger (smaller) one: min(1, max(-1, xi)) clamps xi, passes NaN through and keeps
// an equal end's own bits, as clamp_unit on a double does.
PWPOLY_AVX2 Lanes4 clamp_unit(Lanes4 x) {
    return Lanes4(_mm256_min_pd(_mm256_set1_pd(1.0), _mm256_max_pd(_mm256_set1_pd(-1.0), x.v)));
}

PWPOLY_AVX2 Lanes4 below(Lanes4 x, Lanes4 y, Lanes4 if_below, Lanes4 otherwise) {
    return Lanes4(_mm256_blendv_pd(otherwise.v, if_below.v, _mm256_cmp_pd(x.v, y.v, _CMP_LT_OQ)));
}

PWPOLY_AVX2 void store_index(std::int64_t* p, __m256i k) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), k); }
PWPOLY_AVX2 __m256i index_minus(__m256i k, std::size_t first) {
    return _mm256_sub_epi64(k, _mm256_set1_epi64x(static_cast<long long>(first)));
}
PWPOLY_AVX2 Lanes4 gather(const double* base, __m256i k) { return Lanes4(_mm256_i64gather_pd(base, k, 8)); }
// True when a lane's interval lies outside [first, end).
PWPOLY_AVX2 bool outside(__m256i k, std::size_t first, std::size_t end) {
    const __m256i low = _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(first)), k);
    const __m256i high = _mm256_cmpgt_epi64(k, _mm256_set1_epi64x(static_cast<long long>(end) - 1));
    const __m256i either = _mm256_or_si256(low, high);
    return !_mm256_testz_si256(either, either);
}

struct Located4 {
    Lanes4 kd;  // the interval index as a double
    __m256i k;
};

// UniformPartition::locate, lane by lane: q = floor(t / dt); index 0 for NaN and q <= 0; clamped
// to n_t - 1 (the saturation at the size type's limit lands there too); one step up when
// t >= (k + 1) dt below the last interval, then one step down when t < k dt. Both steps are tested
// on the quotient's index at once: a time at or above (k + 1) dt is not below k dt, so at most one
// of them is taken, as in the scalar order; a step beyond the first or the last interval is
// clamped back, as the scalar loop does not take it.
PWPOLY_AVX2 Located4 locate_uniform(Lanes4 t, Lanes4 dt, Lanes4 last) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d q = _mm256_floor_pd(_mm256_div_pd(t.v, dt.v));
    __m256d kd = _mm256_min_pd(_mm256_max_pd(q, zero), last.v);
    const __m256d up = _mm256_cmp_pd(t.v, _mm256_mul_pd(_mm256_add_pd(kd, one), dt.v), _CMP_GE_OQ);
    const __m256d down = _mm256_cmp_pd(t.v, _mm256_mul_pd(kd, dt.v), _CMP_LT_OQ);
    kd = _mm256_sub_pd(_mm256_add_pd(kd, _mm256_and_pd(up, one)), _mm256_and_pd(down, one));
    kd = _mm256_min_pd(_mm256_max_pd(kd, zero), last.v);
    const __m256d shifted = _mm256_add_pd(kd, _mm256_set1_pd(magic));
    const __m256i k = _mm256_xor_si256(_mm256_castpd_si256(shifted), _mm256_castpd_si256(_mm256_set1_pd(magic)));
    return {Lanes4(kd), k};
}

// Coefficient i of each lane, degree by degree, gathered at base[k + i width]; when the four
// lanes share one position (sorted times, many per interval), the one coefficient broadcast
// instead of the gather: the same values.
struct Reader4 {
    __m256i offset;
    __m256i step;
    const double* base;
    const double* shared;  // the lanes' one coefficient of the next degree, or null
    std::size_t width;

    PWPOLY_AVX2 Reader4(const double* b, __m256i position, std::size_t width_)
        : offset(position), step(_mm256_set1_epi64x(static_cast<long long>(width_))), base(b), shared(nullptr),
          width(width_) {
        const __m256i first = _mm256_permute4x64_epi64(position, 0);
        if (_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(position, first))) != 0xF) return;
        long long k0 = 0;  // the lanes' position (through memory: 32-bit x86 has no 64-bit move)
        _mm_storel_epi64(reinterpret_cast<__m128i*>(&k0), _mm256_castsi256_si128(position));
        shared = b + k0;
    }
    PWPOLY_AVX2 Lanes4 next() {
        if (shared != nullptr) {
            const Lanes4 c(_mm256_broadcast_sd(shared));
            shared += width;
            return c;
        }
        const Lanes4 c = gather(base, offset);
        offset = _mm256_add_epi64(offset, step);
        return c;
    }
};

// ---------------------------------------------------------------- AVX-512: eight lanes

// GCC 12 flags the deliberately undefined first operand inside its own AVX-512 intrinsics
// (_mm512_undefined_pd, used by the gather and the rounding) as maybe uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define PWPOLY_AVX512 __attribute__((target("avx512f,avx512dq"))) inline
#define PWPOLY_AVX512_KERNEL __attribute__((target("avx512f,avx512dq"), flatten))

struct Lanes8 {
    using Index = __m512i;
    static constexpr std::size_t width = 8;
    __m512d v;

    Lanes8() = default;
    PWPOLY_AVX512 explicit Lanes8(double x) : v(_mm512_set1_pd(x)) {}
    PWPOLY_AVX512 explicit Lanes8(__m512d x) : v(x) {}
    PWPOLY_AVX512 static Lanes8 load(const double* p) { return Lanes8(_mm512_loadu_pd(p)); }
    PWPOLY_AVX512 void store(double* p) const { _mm512_storeu_pd(p, v); }
    PWPOLY_AVX512 static Index load_index(const std::int64_t* p) { return _mm512_loadu_si512(p); }
};

PWPOLY_AVX512 Lanes8 operator+(Lanes8 a, Lanes8 b) { return Lanes8(_mm512_add_pd(a.v, b.v)); }
PWPOLY_AVX512 Lanes8 operator-(Lanes8 a, Lanes8 b) { return Lanes8(_mm512_sub_pd(a.v, b.v)); }
PWPOLY_AVX512 Lanes8 operator*(Lanes8 a, Lanes8 b) { return Lanes8(_mm512_mul_pd(a.v, b.v)); }
PWPOLY_AVX512 Lanes8 operator/(Lanes8 a, Lanes8 b) { return Lanes8(_mm512_div_pd(a.v, b.v)); }

// The clamp of Lanes4, with the same NaN and equal-operand rules of min and max.
PWPOLY_AVX512 Lanes8 clamp_unit(Lanes8 x) {
    return Lanes8(_mm512_min_pd(_mm512_set1_pd(1.0), _mm512_max_pd(_mm512_set1_pd(-1.0), x.v)));
}

PWPOLY_AVX512 Lanes8 below(Lanes8 x, Lanes8 y, Lanes8 if_below, Lanes8 otherwise) {
    return Lanes8(_mm512_mask_blend_pd(_mm512_cmp_pd_mask(x.v, y.v, _CMP_LT_OQ), otherwise.v, if_below.v));
}

PWPOLY_AVX512 __m512i index_minus(__m512i k, std::size_t first) {
    return _mm512_sub_epi64(k, _mm512_set1_epi64(static_cast<long long>(first)));
}
PWPOLY_AVX512 Lanes8 gather(const double* base, __m512i k) { return Lanes8(_mm512_i64gather_pd(k, base, 8)); }
PWPOLY_AVX512 bool outside(__m512i k, std::size_t first, std::size_t end) {
    const __mmask8 low = _mm512_cmplt_epi64_mask(k, _mm512_set1_epi64(static_cast<long long>(first)));
    const __mmask8 high = _mm512_cmpge_epi64_mask(k, _mm512_set1_epi64(static_cast<long long>(end)));
    return (low | high) != 0;
}

struct Located8 {
    Lanes8 kd;
    __m512i k;
};

// locate_uniform of Lanes4 on eight lanes, with the same operations (floor by rounding toward
// -inf, the same one-step correction as masked additions, the clamps by max and min); the index
// converts exactly.
PWPOLY_AVX512 Located8 locate_uniform(Lanes8 t, Lanes8 dt, Lanes8 last) {
    const __m512d zero = _mm512_setzero_pd();
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d q = _mm512_roundscale_pd(_mm512_div_pd(t.v, dt.v), _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    __m512d kd = _mm512_min_pd(_mm512_max_pd(q, zero), last.v);
    const __mmask8 up = _mm512_cmp_pd_mask(t.v, _mm512_mul_pd(_mm512_add_pd(kd, one), dt.v), _CMP_GE_OQ);
    const __mmask8 down = _mm512_cmp_pd_mask(t.v, _mm512_mul_pd(kd, dt.v), _CMP_LT_OQ);
    kd = _mm512_mask_add_pd(kd, up, kd, one);
    kd = _mm512_mask_sub_pd(kd, down, kd, one);
    kd = _mm512_min_pd(_mm512_max_pd(kd, zero), last.v);
    return {Lanes8(kd), _mm512_cvttpd_epi64(kd)};
}

// Where a group's coefficients come from, degree by degree. When its eight intervals lie within
// eight consecutive ones from the first lane's (sorted times, mostly), the eight coefficients
// of those intervals are loaded as one vector (masked at the window's end) and permuted into
// the lanes; otherwise each lane's coefficient is gathered. Both move the same values.
struct Reader8 {
    __m512i index;      // near: lane's interval - first lane's; else: lane's position in the vector
    const double* row;  // near: coefficient of degree i of the first lane's interval
    std::size_t width;
    __mmask8 valid;     // near: the intervals of the window among the eight loaded
    bool near;

    PWPOLY_AVX512 Reader8(const double* base, __m512i position, std::size_t width_)
        : index(position), row(base), width(width_), valid(0), near(false) {
        long long k0 = 0;  // the first lane's position (through memory: 32-bit x86 has no 64-bit move)
        _mm_storel_epi64(reinterpret_cast<__m128i*>(&k0), _mm512_castsi512_si128(position));
        const __m512i relative = _mm512_sub_epi64(position, _mm512_set1_epi64(k0));
        if (_mm512_cmplt_epu64_mask(relative, _mm512_set1_epi64(8)) != 0xFF) return;
        const std::size_t left = width - static_cast<std::size_t>(k0);
        index = relative;
        row = base + k0;
        valid = static_cast<__mmask8>(left >= 8 ? 0xFF : (1u << left) - 1);
        near = true;
    }

    PWPOLY_AVX512 Lanes8 next() {
        if (near) {
            const __m512d c = _mm512_permutexvar_pd(index, _mm512_maskz_loadu_pd(valid, row));
            row += width;
            return Lanes8(c);
        }
        const Lanes8 c = gather(row, index);
        index = _mm512_add_epi64(index, _mm512_set1_epi64(static_cast<long long>(width)));
        return c;
    }
};

template <class L>
struct LaneTraits;
template <>
struct LaneTraits<Lanes4> {
    using Reader = Reader4;
};
template <>
struct LaneTraits<Lanes8> {
    using Reader = Reader8;
};

// ---------------------------------------------------------------- the kernels, on any lane type

// Independent groups of lanes carried through one pass: the recurrence is a chain of dependent
// multiplications and divisions per time, and interleaving groups hides its latency.
constexpr std::size_t groups = 2;  // the readers of evaluate_lanes are listed for two

// A group of times located: the times, their intervals' ends and their intervals.
template <class L>
struct Where {
    L t;
    Ends<L> ends;
    typename L::Index k;
    bool ok = true;  // false: a time the source cannot place in the lanes
};

// Equal intervals, located in the lanes.
template <class L>
struct UniformLanes {
    L dt;
    L last;

    Where<L> at(const double* times, std::size_t j) const {
        const L t = L::load(times + j);
        const auto located = locate_uniform(t, dt, last);
        return {t, uniform_ends(located.kd, dt, last), located.k};
    }
};

// Intervals located by the caller, with their ends.
template <class L>
struct LocatedLanes {
    const double* lefts;
    const double* rights;
    const std::int64_t* intervals;

    Where<L> at(const double* times, std::size_t j) const {
        return {L::load(times + j), {L::load(lefts + j), L::load(rights + j)}, L::load_index(intervals + j)};
    }
};

// Ascending times on breakpoints, four lanes: the four times of a group placed among the four
// intervals from the hint k0 by comparisons with b[k0 + 1] ... b[k0 + 3], each lane's ends chosen
// out of b[k0] ... b[k0 + 4] by those comparisons (nested, as the breakpoints ascend); the hint
// moves to the last lane's interval. Not ok when a time lies below b[k0], at or above b[k0 + 4]
// (+inf past the last breakpoint), outside the window [first, end), or is NaN; the ends are then
// the times themselves, which the caller never uses.
struct AscendingLanes4 {
    const double* breakpoints;
    std::size_t n_t;
    std::size_t first;
    std::size_t end;
    std::size_t* hint;

    PWPOLY_AVX2 Where<Lanes4> at(const double* times, std::size_t j) const {
        const Lanes4 t = Lanes4::load(times + j);
        const std::size_t k0 = *hint;
        const double inf = std::numeric_limits<double>::infinity();
        __m256d b[5];
        for (std::size_t i = 0; i < 5; ++i) b[i] = _mm256_set1_pd(k0 + i <= n_t ? breakpoints[k0 + i] : inf);
        const __m256d ok = _mm256_and_pd(_mm256_cmp_pd(b[0], t.v, _CMP_LE_OQ), _mm256_cmp_pd(t.v, b[4], _CMP_LT_OQ));
        __m256d left = b[0];
        __m256d right = b[1];
        __m256i count = _mm256_setzero_si256();
        int last = 0;  // the last lane's interval beyond k0
        for (std::size_t i = 1; i < 4; ++i) {
            const __m256d at_or_below = _mm256_cmp_pd(b[i], t.v, _CMP_LE_OQ);
            left = _mm256_blendv_pd(left, b[i], at_or_below);
            right = _mm256_blendv_pd(right, b[i + 1], at_or_below);
            count = _mm256_sub_epi64(count, _mm256_castpd_si256(at_or_below));  // all ones: -1
            last += (_mm256_movemask_pd(at_or_below) >> 3) & 1;
        }
        const __m256i k = _mm256_add_epi64(count, _mm256_set1_epi64x(static_cast<long long>(k0)));
        const bool whole = _mm256_movemask_pd(ok) == 0xF && k0 >= first && k0 + static_cast<std::size_t>(last) < end;
        if (!whole) return {t, {t, t}, k, false};
        *hint = k0 + static_cast<std::size_t>(last);
        return {t, {Lanes4(left), Lanes4(right)}, k, true};
    }
};

// Ascending times on breakpoints: the eight times of a group placed among the eight intervals
// from the hint k0 by comparisons with b[k0 + 1] ... b[k0 + 7], the ends permuted out of
// b[k0 ... k0 + 15] (loaded whole, +inf past the last breakpoint); the hint moves to the last
// lane's interval (the caller passes ascending times only). Not ok when a time lies below b[k0], at or above b[k0 + 8], outside
// the window [first, end), or is NaN.
struct AscendingLanes8 {
    const double* breakpoints;
    std::size_t n_t;
    std::size_t first;
    std::size_t end;
    std::size_t* hint;

    PWPOLY_AVX512 Where<Lanes8> at(const double* times, std::size_t j) const {
        const Lanes8 t = Lanes8::load(times + j);
        const std::size_t k0 = *hint;
        const std::size_t left = n_t + 1 - k0;  // breakpoints from b[k0] on
        const auto low_mask = static_cast<__mmask8>(left >= 8 ? 0xFF : (1u << left) - 1);
        const auto high_mask = static_cast<__mmask8>(left >= 16 ? 0xFF : left > 8 ? (1u << (left - 8)) - 1 : 0);
        const __m512d inf = _mm512_set1_pd(std::numeric_limits<double>::infinity());
        const __m512d low = _mm512_mask_loadu_pd(inf, low_mask, breakpoints + k0);
        const __m512d high = _mm512_mask_loadu_pd(inf, high_mask, breakpoints + k0 + 8);
        const __m512i one = _mm512_set1_epi64(1);
        __mmask8 ok = static_cast<__mmask8>(
            _mm512_cmp_pd_mask(_mm512_permutexvar_pd(_mm512_setzero_si512(), low), t.v, _CMP_LE_OQ) &
            _mm512_cmp_pd_mask(t.v, _mm512_permutexvar_pd(_mm512_setzero_si512(), high), _CMP_LT_OQ));
        __m512i count = _mm512_setzero_si512();
        for (long long i = 1; i < 8; ++i) {
            const __mmask8 at_or_below =
                _mm512_cmp_pd_mask(_mm512_permutexvar_pd(_mm512_set1_epi64(i), low), t.v, _CMP_LE_OQ);
            count = _mm512_mask_add_epi64(count, at_or_below, count, one);
        }
        const __m512i k = _mm512_add_epi64(count, _mm512_set1_epi64(static_cast<long long>(k0)));
        ok = static_cast<__mmask8>(ok & ~(_mm512_cmplt_epi64_mask(k, _mm512_set1_epi64(static_cast<long long>(first))) |
                                          _mm512_cmpge_epi64_mask(k, _mm512_set1_epi64(static_cast<long long>(end)))));
        const Ends<Lanes8> ends{Lanes8(_mm512_permutexvar_pd(count, low)),
                                Lanes8(_mm512_permutex2var_pd(low, _mm512_add_epi64(count, one), high))};
        if (ok != 0xFF) return {t, ends, k, false};
        // The times ascend: the last lane's interval is the group's last one.
        long long last = 0;  // through memory: 32-bit x86 has no 64-bit move
        _mm_storel_epi64(reinterpret_cast<__m128i*>(&last),
                         _mm_unpackhi_epi64(_mm512_extracti64x2_epi64(k, 3), _mm512_extracti64x2_epi64(k, 3)));
        *hint = static_cast<std::size_t>(last);
        return {t, ends, k, true};
    }
};

// One coefficient vector of the window [first, first + width): see simd::evaluate. With
// `check`, stops before a group holding a time outside the window.
template <class L, class Source>
std::size_t evaluate_lanes(const Source& source, bool check, std::size_t degree, std::size_t first,
                           std::size_t width, std::size_t order, const double* coefficients, const double* times,
                           std::size_t n, double* out) {
    using Reader = typename LaneTraits<L>::Reader;
    constexpr std::size_t step = groups * L::width;
    std::size_t j = 0;
    for (; j + step <= n; j += step) {
        L xi[groups];
        L length[groups];
        typename L::Index position[groups];
        bool stop = false;
        for (std::size_t g = 0; g < groups; ++g) {
            const Where<L> at = source.at(times, j + g * L::width);
            xi[g] = coordinate_from_ends(at.ends.left, at.ends.right, at.t);
            length[g] = at.ends.right - at.ends.left;
            if (check) stop = stop || outside(at.k, first, first + width);
            stop = stop || !at.ok;
            position[g] = index_minus(at.k, first);
        }
        if (stop) break;
        L sum[groups];
        Reader from[groups] = {Reader(coefficients, position[0], width), Reader(coefficients, position[1], width)};
        for (std::size_t g = 0; g < groups; ++g) sum[g] = L(-0.0);
        auto add = [&](std::size_t, const L* v) {
            for (std::size_t g = 0; g < groups; ++g) sum[g] = sum[g] + v[g] * from[g].next();
        };
        walk_legendre_order(xi, degree, order, add);
        for (std::size_t g = 0; g < groups; ++g) {
            L result = sum[g];
            if (order > 0) result = to_time_derivative(result, length[g], order);
            result.store(out + j + g * L::width);
        }
    }
    return j;
}

// The degree + 1 basis values of each time at values[i * stride + j].
template <class L, class Source>
std::size_t values_lanes(const Source& source, std::int64_t* written, std::size_t degree, BasisMode mode,
                         const double* times, std::size_t n, double* values, std::size_t stride) {
    constexpr std::size_t step = groups * L::width;
    std::size_t j = 0;
    for (; j + step <= n; j += step) {
        L xi[groups];
        L length[groups];
        for (std::size_t g = 0; g < groups; ++g) {
            const Where<L> at = source.at(times, j + g * L::width);
            if (written != nullptr) store_index(written + j + g * L::width, at.k);
            xi[g] = coordinate_from_ends(at.ends.left, at.ends.right, at.t);
            length[g] = at.ends.right - at.ends.left;
        }
        auto store = [&](std::size_t i, const L* v) {
            for (std::size_t g = 0; g < groups; ++g) {
                const L value = mode.time ? to_time_derivative(v[g], length[g], mode.order) : v[g];
                value.store(values + i * stride + j + g * L::width);
            }
        };
        walk_legendre_order(xi, degree, mode.order, store);
    }
    return j;
}

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

// Writes the values of each group's four times into their matrix rows: the values arrive
// degree by degree (one vector of four times), four degrees are collected and transposed into
// four rows (lanes) of four consecutive values; the last, partial, set of degrees is stored
// with a mask. Moving the bits does not change them.
struct RowWriter4 {
    double* rows;   // row of the group's first time
    std::size_t m;  // degree + 1: row length
    BasisMode mode;
    const Lanes4* length;
    __m256d held[groups][4];

    PWPOLY_AVX2 void operator()(std::size_t i, const Lanes4* v) {
        for (std::size_t g = 0; g < groups; ++g) {
            held[g][i & 3] = mode.time ? to_time_derivative(v[g], length[g], mode.order).v : v[g].v;
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

template <class Source, class Index>
std::size_t rows_lanes(const Source& source, std::size_t n_t, std::size_t degree, BasisMode mode,
                       const double* times, std::size_t n, Index* indices, double* data) {
    constexpr std::size_t step = groups * 4;
    const std::size_t m = degree + 1;
    // i n_t for every degree, padded to whole vectors (the padding is never stored).
    std::vector<Index> pattern((m + 7) / 8 * 8, 0);
    for (std::size_t i = 0; i < m; ++i) pattern[i] = static_cast<Index>(i * n_t);
    alignas(32) std::int64_t located[step];
    std::size_t j = 0;
    for (; j + step <= n; j += step) {
        Lanes4 xi[groups];
        Lanes4 length[groups];
        for (std::size_t g = 0; g < groups; ++g) {
            const Where<Lanes4> at = source.at(times, j + 4 * g);
            store_index(located + 4 * g, at.k);
            xi[g] = coordinate_from_ends(at.ends.left, at.ends.right, at.t);
            length[g] = at.ends.right - at.ends.left;
        }
        RowWriter4 write{data + j * m, m, mode, length, {}};
        walk_legendre_order(xi, degree, mode.order, write);
        if (m & 3) write.flush(m & ~std::size_t{3}, m & 3);
        for (std::size_t l = 0; l < step; ++l) store_columns(indices + (j + l) * m, pattern.data(), m, located[l]);
    }
    return j;
}

PWPOLY_AVX2 UniformLanes<Lanes4> uniform4(double dt, std::size_t n_t) {
    return {Lanes4(dt), Lanes4(static_cast<double>(n_t - 1))};
}

// ---- the entry points of each target: everything above inlined into them

PWPOLY_AVX2_KERNEL std::size_t locate_avx2(double dt, std::size_t n_t, const double* times, std::size_t n,
                                           std::int64_t* intervals, double* xi) {
    const UniformLanes<Lanes4> source = uniform4(dt, n_t);
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) {
        const Where<Lanes4> at = source.at(times, j);
        coordinate_from_ends(at.ends.left, at.ends.right, at.t).store(xi + j);
        store_index(intervals + j, at.k);
    }
    return j;
}

PWPOLY_AVX2_KERNEL std::size_t values_avx2(Intervals partition, std::size_t degree, BasisMode mode,
                                           const double* times, std::size_t n, std::int64_t* intervals,
                                           double* values, std::size_t stride) {
    if (partition.lefts == nullptr)
        return values_lanes<Lanes4>(uniform4(partition.dt, partition.n_t), intervals, degree, mode, times, n, values,
                                    stride);
    return values_lanes<Lanes4>(LocatedLanes<Lanes4>{partition.lefts, partition.rights, intervals}, nullptr, degree, mode, times,
                                n, values, stride);
}

template <class Index>
PWPOLY_AVX2_KERNEL std::size_t rows_avx2(Intervals partition, std::size_t degree, BasisMode mode,
                                         const double* times, std::size_t n, const std::int64_t* located,
                                         Index* indices, double* data) {
    if (partition.lefts == nullptr)
        return rows_lanes(uniform4(partition.dt, partition.n_t), partition.n_t, degree, mode, times, n, indices,
                          data);
    return rows_lanes(LocatedLanes<Lanes4>{partition.lefts, partition.rights, located}, partition.n_t, degree, mode, times, n,
                      indices, data);
}

PWPOLY_AVX2_KERNEL std::size_t evaluate_avx2(Intervals partition, std::size_t degree, std::size_t first,
                                             std::size_t width, std::size_t order, const double* coefficients,
                                             const double* times, const std::int64_t* located, std::size_t n,
                                             double* out) {
    if (partition.lefts == nullptr)
        return evaluate_lanes<Lanes4>(uniform4(partition.dt, partition.n_t), true, degree, first, width, order,
                                      coefficients, times, n, out);
    return evaluate_lanes<Lanes4>(LocatedLanes<Lanes4>{partition.lefts, partition.rights, located}, false, degree, first, width,
                                  order, coefficients, times, n, out);
}

PWPOLY_AVX512_KERNEL std::size_t evaluate_avx512(Intervals partition, std::size_t degree, std::size_t first,
                                                 std::size_t width, std::size_t order, const double* coefficients,
                                                 const double* times, const std::int64_t* located, std::size_t n,
                                                 double* out) {
    if (partition.lefts == nullptr) {
        const UniformLanes<Lanes8> source{Lanes8(partition.dt), Lanes8(static_cast<double>(partition.n_t - 1))};
        // Located intervals lie in [0, n_t - 1]: only a window short of that range needs its checks.
        const bool whole = first == 0 && width == partition.n_t;
        return evaluate_lanes<Lanes8>(source, !whole, degree, first, width, order, coefficients, times, n, out);
    }
    return evaluate_lanes<Lanes8>(LocatedLanes<Lanes8>{partition.lefts, partition.rights, located}, false, degree, first, width,
                                  order, coefficients, times, n, out);
}

PWPOLY_AVX512_KERNEL std::size_t ascending_avx512(const double* breakpoints, std::size_t n_t, std::size_t degree,
                                                  std::size_t first, std::size_t width, std::size_t order,
                                                  const double* coefficients, const double* times, std::size_t n,
                                                  std::size_t& hint, double* out) {
    const AscendingLanes8 source{breakpoints, n_t, first, first + width, &hint};
    return evaluate_lanes<Lanes8>(source, false, degree, first, width, order, coefficients, times, n, out);
}

PWPOLY_AVX2_KERNEL std::size_t ascending_avx2(const double* breakpoints, std::size_t n_t, std::size_t degree,
                                              std::size_t first, std::size_t width, std::size_t order,
                                              const double* coefficients, const double* times, std::size_t n,
                                              std::size_t& hint, double* out) {
    const AscendingLanes4 source{breakpoints, n_t, first, first + width, &hint};
    return evaluate_lanes<Lanes4>(source, false, degree, first, width, order, coefficients, times, n, out);
}

PWPOLY_AVX2_KERNEL std::size_t sums_avx2(std::size_t vector_step, std::size_t degree, std::size_t order,
                                         const double* vector, const std::int64_t* intervals, const double* values,
                                         std::size_t stride, const double* lengths, std::size_t n, double* out) {
    const __m256i step = _mm256_set1_epi64x(static_cast<long long>(vector_step));
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) {
        __m256i offset = Lanes4::load_index(intervals + j);
        Lanes4 sum(-0.0);
        for (std::size_t i = 0; i <= degree; ++i) {
            sum = sum + Lanes4::load(values + i * stride + j) * gather(vector, offset);
            offset = _mm256_add_epi64(offset, step);
        }
        if (order > 0) sum = to_time_derivative(sum, Lanes4::load(lengths + j), order);
        sum.store(out + j);
    }
    return j;
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

std::atomic<bool> avx2_forced{false};

bool has_avx512() {
    static const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
    return avx512 && !avx2_forced.load(std::memory_order_relaxed);
}

}  // namespace

bool available(std::size_t n_t) {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2 && n_t >= 1 && static_cast<std::uint64_t>(n_t) <= (std::uint64_t{1} << 52);
}

std::size_t locate(double dt, std::size_t n_t, const double* times, std::size_t n, std::int64_t* intervals,
                   double* xi) {
    return locate_avx2(dt, n_t, times, n, intervals, xi);
}

std::size_t basis_values(Intervals partition, std::size_t degree, BasisMode mode, const double* times, std::size_t n,
                         std::int64_t* intervals, double* values, std::size_t stride) {
    return values_avx2(partition, degree, mode, times, n, intervals, values, stride);
}

template <class Index>
std::size_t basis_rows(Intervals partition, std::size_t degree, BasisMode mode, const double* times, std::size_t n,
                       const std::int64_t* located, Index* indices, double* data) {
    return rows_avx2<Index>(partition, degree, mode, times, n, located, indices, data);
}

void force_avx2(bool on) { avx2_forced.store(on, std::memory_order_relaxed); }

std::size_t evaluate_step() { return has_avx512() ? groups * 8 : groups * 4; }

std::size_t evaluate(Intervals partition, std::size_t degree, std::size_t first, std::size_t width, std::size_t order,
                     const double* coefficients, const double* times, const std::int64_t* located, std::size_t n,
                     double* out) {
    if (has_avx512())
        return evaluate_avx512(partition, degree, first, width, order, coefficients, times, located, n, out);
    return evaluate_avx2(partition, degree, first, width, order, coefficients, times, located, n, out);
}

std::size_t evaluate_ascending(const double* breakpoints, std::size_t n_t, std::size_t degree, std::size_t first,
                               std::size_t width, std::size_t order, const double* coefficients, const double* times,
                               std::size_t n, std::size_t& hint, double* out) {
    if (!has_avx512())
        return ascending_avx2(breakpoints, n_t, degree, first, width, order, coefficients, times, n, hint, out);
    return ascending_avx512(breakpoints, n_t, degree, first, width, order, coefficients, times, n, hint, out);
}

std::size_t sums(std::size_t step, std::size_t degree, std::size_t order, const double* vector,
                 const std::int64_t* intervals, const double* values, std::size_t stride, const double* lengths,
                 std::size_t n, double* out) {
    return sums_avx2(step, degree, order, vector, intervals, values, stride, lengths, n, out);
}

#else

bool available(std::size_t) { return false; }
std::size_t locate(double, std::size_t, const double*, std::size_t, std::int64_t*, double*) { return 0; }
std::size_t basis_values(Intervals, std::size_t, BasisMode, const double*, std::size_t, std::int64_t*, double*,
                         std::size_t) {
    return 0;
}
template <class Index>
std::size_t basis_rows(Intervals, std::size_t, BasisMode, const double*, std::size_t, const std::int64_t*, Index*,
                       double*) {
    return 0;
}
std::size_t evaluate(Intervals, std::size_t, std::size_t, std::size_t, std::size_t, const double*, const double*,
                     const std::int64_t*, std::size_t, double*) {
    return 0;
}
std::size_t evaluate_ascending(const double*, std::size_t, std::size_t, std::size_t, std::size_t, std::size_t,
                               const double*, const double*, std::size_t, std::size_t&, double*) {
    return 0;
}
std::size_t evaluate_step() { return 1; }
void force_avx2(bool) {}
std::size_t sums(std::size_t, std::size_t, std::size_t, const double*, const std::int64_t*, const double*, std::size_t,
                 const double*, std::size_t, double*) {
    return 0;
}

#endif

template std::size_t basis_rows<std::int32_t>(Intervals, std::size_t, BasisMode, const double*, std::size_t,
                                              const std::int64_t*, std::int32_t*, double*);
template std::size_t basis_rows<std::int64_t>(Intervals, std::size_t, BasisMode, const double*, std::size_t,
                                              const std::int64_t*, std::int64_t*, double*);

}  // namespace pwpoly::piecewise_polynomials::simd
