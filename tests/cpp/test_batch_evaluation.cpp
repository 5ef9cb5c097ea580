#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <random>
#include <span>
#include <vector>

#include "piecewise_polynomials/batch_simd.hpp"
#include "piecewise_polynomials/mod.hpp"
#include "sparse_matrix_tools/csr_matrix.hpp"
#include "support.hpp"

namespace {

using pwpoly::piecewise_polynomials::CoefficientMatrix;
using pwpoly::piecewise_polynomials::LagrangeBasis;
using pwpoly::piecewise_polynomials::LegendreBasis;
using pwpoly::sparse_matrix_tools::CsrMatrix;
using pwpoly::testing_support::bits;
using pwpoly::testing_support::fault_message;
using pwpoly::testing_support::random_below;
namespace pp = pwpoly::piecewise_polynomials;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Same double to the bit; any NaN matches any NaN.
bool identical(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return bits(a) == bits(b);
}

struct Case {
    LegendreBasis basis;
    std::vector<double> times;
};

// Random bases and times that reach every branch of the lookup: interior times, interval ends
// and nodes (k dt and dt + k dt), 0 and T, both signs of zero, times outside [0, T], infinities,
// NaN and values far beyond the size range.
Case random_case(std::mt19937_64& rng, std::size_t n_times) {
    std::uniform_int_distribution<std::size_t> degree_of(0, 12), intervals_of(1, 300), pick(0, 9);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double lengths[] = {1.0, 0.3, 7.0, 1e-3, 123.456, 2.0};
    Case c{{lengths[pick(rng) % 6], degree_of(rng), intervals_of(rng)}, {}};
    const double T = c.basis.T;
    const double dt = T / static_cast<double>(c.basis.n_t);
    const double specials[] = {0.0, -0.0, T, -T, inf, -inf, nan, 1e300, -1e300, T * (1 + 1e-15)};
    for (std::size_t j = 0; j < n_times; ++j) {
        const std::size_t k = std::uniform_int_distribution<std::size_t>(0, c.basis.n_t)(rng);
        switch (pick(rng)) {
            case 0: c.times.push_back(specials[pick(rng)]); break;
            case 1: c.times.push_back(static_cast<double>(k) * dt); break;
            case 2: c.times.push_back(dt + static_cast<double>(k) * dt); break;
            case 3: c.times.push_back(T * (unit(rng) * 1.4 - 0.2)); break;
            default: c.times.push_back(T * unit(rng)); break;
        }
    }
    return c;
}

std::vector<double> random_vector(std::mt19937_64& rng, std::size_t n) {
    std::normal_distribution<double> normal(0.0, 3.0);
    std::vector<double> v(n);
    for (double& x : v) x = normal(rng);
    return v;
}

pp::UniformPartition partition_of(const LegendreBasis& basis) { return basis.partition(); }

// The one-time operations with the array face's lookup: interval and local coordinate from
// locate_in, the Legendre recurrence there; the expansion of degree-major coefficients (n rows)
// at t, or its time derivative of `order`.
template <class P>
double one_time(const P& partition, std::size_t degree, const double* coefficients, double t, std::size_t order) {
    const auto at = pp::locate_in(partition, t);
    const double sum = pp::legendre_sum(at.xi, degree, order, coefficients + at.k, partition.n_intervals());
    return order == 0 ? sum : pp::to_time_derivative(sum, partition.length(at.k), order);
}

// The degree + 1 basis values (or time derivatives of `order`) of the interval holding t, and
// that interval.
template <class P>
std::vector<double> local_values(const P& partition, std::size_t degree, double t, std::size_t order,
                                 std::size_t& k) {
    const auto at = pp::locate_in(partition, t);
    k = at.k;
    std::vector<double> values(degree + 1);
    pp::legendre_values(at.xi, values, order);
    for (double& v : values) v = pp::to_time_derivative(v, partition.length(at.k), order);
    return values;
}

// Where the scalar face's lookup picks the interval the partition's lookup picks, the two faces'
// local coordinates agree within (3 |t| / dt + 4) eps (the array face forms it from the interval's
// own ends b_k = k dt, b_(k+1) = (k + 1) dt, the scalar face from the rounded midpoint of k dt and
// dt + k dt: the ends differ by up to an ulp of t, the midpoint by half of one); elsewhere the time lies within rounding of an
// interior interval end, and the partition's rule holds: b_k <= t < b_(k+1).
TEST(BatchEvaluation, ScalarFaceAgreesWhereTheLookupsAgree) {
    std::mt19937_64 rng(7);
    std::size_t disagreements = 0, times = 0;
    constexpr double eps = std::numeric_limits<double>::epsilon();
    for (std::size_t round = 0; round < 40; ++round) {
        const Case c = random_case(rng, 500);
        const auto partition = partition_of(c.basis);
        for (const double t : c.times) {
            ++times;
            const std::size_t k = partition.locate(t);
            const auto scalar = c.basis.locate_interval(t);
            if (scalar.k != k) {
                ++disagreements;
                EXPECT_NEAR(t, partition.boundary(std::max(k, scalar.k)), 1e-12 * std::fabs(t));
                continue;
            }
            const double xi = pp::locate_in(partition, t).xi;
            if (std::isnan(t)) {
                ASSERT_TRUE(std::isnan(xi) && std::isnan(scalar.xi));
                continue;
            }
            const double bound = (3.0 * std::fabs(t) / partition.dt + 4.0) * eps;
            ASSERT_LE(std::fabs(xi - scalar.xi), std::isinf(t) ? 0.0 : bound) << t;
        }
    }
    EXPECT_LT(disagreements * 20, times);
}

TEST(BatchEvaluation, LocateMatchesLocateIn) {
    std::mt19937_64 rng(1);
    for (std::size_t round = 0; round < 40; ++round) {
        const Case c = random_case(rng, 500);
        std::vector<std::int64_t> k(c.times.size());
        std::vector<double> xi(c.times.size());
        pp::locate_times(partition_of(c.basis), c.times, k, xi);
        for (std::size_t j = 0; j < c.times.size(); ++j) {
            const auto at = pp::locate_in(partition_of(c.basis), c.times[j]);
            ASSERT_EQ(static_cast<std::size_t>(k[j]), at.k) << c.times[j];
            ASSERT_TRUE(identical(xi[j], at.xi)) << c.times[j];
        }
    }
}

std::size_t evaluate_whole(const Case& c, std::span<const double> coefficients, std::span<const double> times,
                           std::size_t derivative, std::span<double> out) {
    return pp::evaluate_times(partition_of(c.basis), c.basis.degree, pp::IntervalWindow{0, c.basis.n_t}, coefficients,
                              times, derivative, out);
}

// Every time and every vector of a batch (one vector, and several across time blocks) gives the
// bits of evaluate and evaluate_derivative.
TEST(BatchEvaluation, EvaluateMatchesTheOneTimeOperationsBitForBit) {
    std::mt19937_64 rng(2);
    for (std::size_t round = 0; round < 60; ++round) {
        const Case c = random_case(rng, 700);
        const std::size_t size = c.basis.basis_size();
        const std::size_t batch = round % 3 == 0 ? 1 : 1 + round % 5;
        std::vector<double> coefficients = random_vector(rng, batch * size);
        if (round % 7 == 0) coefficients[0] = inf;
        if (round % 11 == 0) coefficients[size - 1] = nan;
        for (const std::size_t derivative : {std::size_t{0}, std::size_t{1}, std::size_t{2}}) {
            std::vector<double> out(batch * c.times.size());
            evaluate_whole(c, coefficients, c.times, derivative, out);
            for (std::size_t b = 0; b < batch; ++b) {
                for (std::size_t j = 0; j < c.times.size(); ++j) {
                    const double t = c.times[j];
                    const double expected = one_time(partition_of(c.basis), c.basis.degree,
                                                     coefficients.data() + b * size, t, derivative);
                    ASSERT_TRUE(identical(out[b * c.times.size() + j], expected))
                        << "t=" << t << " b=" << b << " derivative=" << derivative << " degree=" << c.basis.degree;
                }
            }
        }
    }
}

// A window [k0, k1) of a case: the times located in it (in their order), and the coefficients
// of a batch of whole vectors restricted to it (degree i on interval k at i (k1 - k0) + k - k0).
struct Window {
    std::size_t k0, k1;
    std::vector<double> times;
    std::vector<double> local;
};

// Ascending order with NaN last: a strict weak order on every double.
bool nan_last(double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); }

Window window_of(const Case& c, const std::vector<double>& coefficients, std::size_t batch, std::mt19937_64& rng) {
    const std::size_t n_t = c.basis.n_t;
    const std::size_t m = c.basis.degree + 1;
    std::size_t k0 = random_below(rng, n_t);
    std::size_t k1 = 1 + random_below(rng, n_t);
    if (k0 >= k1) {
        std::swap(k0, k1);
        ++k1;
    }
    Window w{k0, k1, {}, {}};
    for (const double t : c.times) {
        const std::size_t k = partition_of(c.basis).locate(t);
        if (k >= k0 && k < k1) w.times.push_back(t);
    }
    const std::size_t size = c.basis.basis_size();
    for (std::size_t b = 0; b < batch; ++b)
        for (std::size_t i = 0; i < m; ++i)
            for (std::size_t k = k0; k < k1; ++k) w.local.push_back(coefficients[b * size + i * n_t + k]);
    return w;
}

// Coefficient vectors of a window give the bits of the whole vectors, for one vector and for a
// batch; the first time outside the window is reported, whatever the path that meets it.
TEST(BatchEvaluation, WindowGivesTheBitsOfTheWholeVectors) {
    std::mt19937_64 rng(5);
    for (std::size_t round = 0; round < 80; ++round) {
        const Case c = random_case(rng, 400);
        const std::size_t batch = round % 2 == 0 ? 1 : 2 + round % 3;
        const std::vector<double> coefficients = random_vector(rng, batch * c.basis.basis_size());
        Window w = window_of(c, coefficients, batch, rng);
        const pp::IntervalWindow window{w.k0, w.k1 - w.k0};
        const std::size_t n = w.times.size();
        for (const bool derivative : {false, true}) {
            std::vector<double> whole(batch * n), local(batch * n);
            evaluate_whole(c, coefficients, w.times, derivative, whole);
            ASSERT_EQ(pp::evaluate_times(partition_of(c.basis), c.basis.degree, window, w.local, w.times, derivative,
                                         local),
                      n);
            for (std::size_t j = 0; j < batch * n; ++j) ASSERT_TRUE(identical(local[j], whole[j])) << j;
        }
        if (w.k1 - w.k0 == c.basis.n_t) continue;  // every time lies in the window
        // A time outside: in the first interval, before the window, or in the last one, after it.
        const double dt = c.basis.T / static_cast<double>(c.basis.n_t);
        const double outside = w.k0 > 0 ? 0.5 * dt : (static_cast<double>(c.basis.n_t) - 0.5) * dt;
        const std::size_t at = n == 0 ? 0 : random_below(rng, n);
        std::vector<double> times = w.times;
        if (round % 2 == 1) std::sort(times.begin(), times.end(), nan_last);  // neighbouring intervals
        times.insert(times.begin() + static_cast<std::ptrdiff_t>(at), outside);
        times.push_back(outside);
        std::vector<double> out(batch * times.size());
        EXPECT_EQ(pp::evaluate_times(partition_of(c.basis), c.basis.degree, window, w.local, times, false, out), at);
    }
}

TEST(BatchEvaluation, WindowOutsideTheBasisFaults) {
    const pp::UniformPartition basis(1.0, 4);
    std::vector<double> coefficients(4), times{0.5}, out(1);
    for (const pp::IntervalWindow window : {pp::IntervalWindow{0, 0}, pp::IntervalWindow{4, 1},
                                            pp::IntervalWindow{3, 2}, pp::IntervalWindow{1, SIZE_MAX}}) {
        EXPECT_EQ(fault_message([&] { pp::evaluate_times(basis, 1, window, coefficients, times, false, out); }),
                  "batch kernel: interval window outside the basis");
    }
    EXPECT_EQ(fault_message([&] {
                  pp::evaluate_times(basis, 1, pp::IntervalWindow{1, 2}, coefficients, times, false, out);
              }),
              "<no fault>");
    std::vector<double> three(3);
    EXPECT_EQ(fault_message([&] {
                  pp::evaluate_times(basis, 1, pp::IntervalWindow{1, 2}, three, times, false, out);
              }),
              "batch kernel: buffer sizes do not match");
}

template <class Index>
void check_basis_matrix(const Case& c, std::size_t derivative) {
    const std::size_t m = c.basis.degree + 1;
    const std::size_t n = c.times.size();
    std::vector<Index> indptr(n + 1), indices(n * m);
    std::vector<double> data(n * m);
    pp::basis_matrix_arrays<pp::UniformPartition, Index>(partition_of(c.basis), c.basis.degree, c.times, derivative,
                                                         indptr, indices, data);
    for (std::size_t j = 0; j < n; ++j) {
        std::size_t k = 0;
        const std::vector<double> local = local_values(partition_of(c.basis), c.basis.degree, c.times[j], derivative, k);
        ASSERT_EQ(static_cast<std::size_t>(indptr[j]), j * m);
        for (std::size_t i = 0; i < m; ++i) {
            const std::size_t column = i * c.basis.n_t + k;
            ASSERT_EQ(static_cast<std::size_t>(indices[j * m + i]), column);
            ASSERT_TRUE(identical(data[j * m + i], local[i])) << c.times[j];
        }
    }
    EXPECT_EQ(static_cast<std::size_t>(indptr[n]), n * m);
}

TEST(BatchEvaluation, BasisMatrixRowsAreTheLocalBasisValues) {
    std::mt19937_64 rng(3);
    for (std::size_t round = 0; round < 30; ++round) {
        const Case c = random_case(rng, 60);
        check_basis_matrix<std::int32_t>(c, round % 3);
        check_basis_matrix<std::int64_t>(c, (round + 1) % 3);
    }
}

// The four-lane kernels called directly on many random bases and times (specials included),
// each lane against the scalar operations of LegendreBasis.
TEST(BatchSimd, LanesGiveTheScalarBits) {
    namespace simd = pp::simd;
    if (!simd::available(1)) GTEST_SKIP() << "no AVX2 on this CPU";
    EXPECT_FALSE(simd::available(0));
    std::mt19937_64 rng(4);
    for (std::size_t round = 0; round < 200; ++round) {
        const Case c = random_case(rng, 4 * 64 + round % 4);
        const std::size_t n = c.times.size();
        const std::size_t m = c.basis.degree + 1;
        const std::size_t n_t = c.basis.n_t;
        const double dt = c.basis.T / static_cast<double>(n_t);
        const std::vector<double> coefficients = random_vector(rng, c.basis.basis_size());
        const auto partition = partition_of(c.basis);
        const auto scalar = [&](double t, std::size_t derivative) {
            return one_time(partition, c.basis.degree, coefficients.data(), t, derivative);
        };

        std::vector<std::int64_t> k(n, -1);
        std::vector<double> xi(n), values(m * n), out(n);
        const std::size_t handled = simd::locate(dt, n_t, c.times.data(), n, k.data(), xi.data());
        ASSERT_EQ(handled, n / 4 * 4);
        for (std::size_t j = 0; j < handled; ++j) {
            const auto at = pp::locate_in(partition, c.times[j]);
            ASSERT_EQ(static_cast<std::size_t>(k[j]), at.k) << c.times[j];
            ASSERT_TRUE(identical(xi[j], at.xi)) << c.times[j];
        }
        const simd::Intervals lanes{dt, n_t, nullptr};
        const std::size_t order = round % 4;
        for (const auto mode : {simd::BasisMode{0, false}, simd::BasisMode{order, true}}) {
            const std::size_t done =
                simd::basis_values(lanes, c.basis.degree, mode, c.times.data(), n, k.data(), values.data(), n);
            ASSERT_TRUE(done % 4 == 0 && done + 8 > n && done <= n);
            for (std::size_t j = 0; j < done; ++j) {
                std::size_t interval = 0;
                const auto local = local_values(partition, c.basis.degree, c.times[j], mode.order, interval);
                ASSERT_EQ(static_cast<std::size_t>(k[j]), interval);
                for (std::size_t i = 0; i < m; ++i) ASSERT_TRUE(identical(values[i * n + j], local[i]));
            }
        }
        // Sorted times as well (the AVX-512 path then loads neighbouring intervals' coefficients
        // whole), on both vector paths.
        std::vector<double> sorted = c.times;
        std::sort(sorted.begin(), sorted.end(), nan_last);
        for (const std::size_t derivative : {std::size_t{0}, std::size_t{1}, order}) {
            for (const std::vector<double>* times : std::array<const std::vector<double>*, 2>{&c.times, &sorted}) {
                for (const bool avx2 : {false, true}) {
                    simd::force_avx2(avx2);
                    const std::size_t done = simd::evaluate(lanes, c.basis.degree, 0, n_t, derivative,
                                                            coefficients.data(), times->data(), nullptr, n, out.data());
                    const std::size_t step = simd::evaluate_step();
                    simd::force_avx2(false);
                    ASSERT_TRUE(done % step == 0 && done + step > n && done <= n);
                    for (std::size_t j = 0; j < done; ++j) {
                        const double t = (*times)[j];
                        ASSERT_TRUE(identical(out[j], scalar(t, derivative)))
                            << t << " degree " << c.basis.degree << " order " << derivative << " avx2 " << avx2 << ": "
                            << out[j] << " " << scalar(t, derivative);
                    }
                }
            }
            const std::size_t located = simd::basis_values(lanes, c.basis.degree, {derivative, false}, c.times.data(),
                                                           n, k.data(), values.data(), n);
            std::vector<double> lengths(n);
            for (std::size_t j = 0; j < located; ++j) lengths[j] = partition.length(static_cast<std::size_t>(k[j]));
            std::fill(out.begin(), out.end(), 0.0);
            const std::size_t summed = simd::sums(n_t, c.basis.degree, derivative, coefficients.data(), k.data(),
                                                  values.data(), n, lengths.data(), located, out.data());
            ASSERT_EQ(summed, located);
            for (std::size_t j = 0; j < summed; ++j) {
                const double t = c.times[j];
                ASSERT_TRUE(identical(out[j], scalar(t, derivative)));
            }
        }
    }
}

// The vector evaluation of a window: the scalar bits for the times inside it; it stops at the
// pass (evaluate_step times) that holds the first time outside, leaving it to the scalar loop.
TEST(BatchSimd, WindowLanesGiveTheScalarBitsAndStopBeforeATimeOutside) {
    namespace simd = pp::simd;
    if (!simd::available(1)) GTEST_SKIP() << "no AVX2 on this CPU";
    std::mt19937_64 rng(6);
    for (std::size_t round = 0; round < 200; ++round) {
        const Case c = random_case(rng, 600);
        const std::size_t n_t = c.basis.n_t;
        const double dt = c.basis.T / static_cast<double>(n_t);
        const std::vector<double> coefficients = random_vector(rng, c.basis.basis_size());
        const Window w = window_of(c, coefficients, 1, rng);
        std::vector<double> times = w.times;
        if (round % 2 == 1) std::sort(times.begin(), times.end(), nan_last);  // neighbouring intervals
        std::size_t outside_at = times.size();
        if (w.k1 - w.k0 < n_t && !times.empty()) {
            outside_at = random_below(rng, times.size());
            times[outside_at] = w.k0 > 0 ? 0.5 * dt : (static_cast<double>(n_t) - 0.5) * dt;
        }
        std::vector<double> out(times.size());
        for (const std::size_t derivative : {std::size_t{0}, std::size_t{1}, std::size_t{3}}) {
            const std::size_t done = simd::evaluate({dt, n_t, nullptr}, c.basis.degree, w.k0, w.k1 - w.k0, derivative,
                                                    w.local.data(), times.data(), nullptr, times.size(), out.data());
            const std::size_t step = simd::evaluate_step();
            ASSERT_TRUE(done % step == 0 && done <= outside_at &&
                        (outside_at < times.size() || done + step > times.size()));
            ASSERT_TRUE(outside_at == times.size() || done + step > outside_at);
            for (std::size_t j = 0; j < done; ++j) {
                const double t = times[j];
                ASSERT_TRUE(identical(
                    out[j], one_time(partition_of(c.basis), c.basis.degree, coefficients.data(), t, derivative)));
            }
        }
    }
}

// Ascending times on breakpoints, placed in the lanes from the hint: the scalar bits while each
// group of lanes lies within as many intervals from the hint and inside the window, and a stop
// before the pass of the first group that does not (a gap over many intervals, a time past the
// last breakpoint or left of the window, NaN), with the hint on an interval of the times done.
TEST(BatchSimd, AscendingLanesGiveTheScalarBitsAndStopBeforeAGroupTheyCannotPlace) {
    namespace simd = pp::simd;
    if (!simd::available(1)) GTEST_SKIP() << "no AVX2 on this CPU";
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (const bool avx2 : {false, true}) {
        simd::force_avx2(avx2);
        const std::size_t step = simd::evaluate_step();
        for (std::size_t round = 0; round < 60; ++round) {
            const std::size_t n_t = 8 + random_below(rng, 200), degree = random_below(rng, 9);
            std::vector<double> b(n_t + 1);
            for (std::size_t k = 0; k <= n_t; ++k) {
                const double s = static_cast<double>(k) / static_cast<double>(n_t);
                b[k] = 1.0 + 2.0 * (s * s);
            }
            const pp::BreakpointPartition partition(b);
            // Dense times over the first half of the intervals (over a hundred per interval on
            // average, a few per interval where they are shortest, breakpoints among them) up to
            // `stop`; from there on times of one kind the lanes cannot place.
            const std::size_t dense = 128 * n_t;
            std::vector<double> times;
            for (std::size_t j = 0; j < dense; ++j) {
                const double s = (static_cast<double>(j) + unit(rng)) / static_cast<double>(dense);
                times.push_back(j % 7 == 0 ? b[j * n_t / (2 * dense)] : 1.0 + 0.5 * s);
            }
            std::sort(times.begin(), times.end());
            const std::size_t stop = step * (1 + random_below(rng, 20));
            const std::size_t kind = round % 4;
            times.resize(stop + 2 * step);
            for (std::size_t j = stop; j < times.size(); ++j) {
                const double after = static_cast<double>(j - stop);
                if (kind == 0) times[j] = b[n_t] + (1.0 + after);  // past the last breakpoint
                if (kind == 1) times[j] = std::numeric_limits<double>::quiet_NaN();
                if (kind == 2) times[j] = b[n_t - 1] + after * 1e-9;  // far beyond the hint
            }
            // Kind 3: a window ending at the interval of time `stop`; the first time there.
            const std::size_t window_end = kind == 3 ? std::max<std::size_t>(1, partition.locate(times[stop])) : n_t;
            std::size_t expected = stop;
            if (kind == 3) {
                expected = 0;
                while (expected < times.size() && partition.locate(times[expected]) < window_end) ++expected;
            }
            const std::vector<double> coefficients = random_vector(rng, n_t * (degree + 1));
            std::vector<double> local;  // the window's own: degree i on interval k at i window_end + k
            for (std::size_t i = 0; i <= degree; ++i)
                for (std::size_t k = 0; k < window_end; ++k) local.push_back(coefficients[i * n_t + k]);
            std::vector<double> out(times.size());
            for (const std::size_t derivative : {std::size_t{0}, std::size_t{2}}) {
                std::size_t hint = 0;
                const std::size_t done =
                    simd::evaluate_ascending(b.data(), n_t, degree, 0, window_end, derivative, local.data(),
                                             times.data(), times.size(), hint, out.data());
                ASSERT_EQ(done % step, 0U);
                ASSERT_TRUE(done <= expected && done + step > expected) << done << " " << expected << " kind " << kind;
                for (std::size_t j = 0; j < done; ++j) {
                    const double expected_value = one_time(partition, degree, coefficients.data(), times[j], derivative);
                    ASSERT_TRUE(identical(out[j], expected_value))
                        << "t = " << times[j] << ", degree " << degree << ", avx2 " << avx2 << ", kind " << kind;
                }
                ASSERT_TRUE(done == 0 || (hint >= partition.locate(times[done - step]) && hint < window_end));
            }
        }
    }
    simd::force_avx2(false);
}

// The row writer called directly: whole rows, the bits of the dense all-basis vectors, columns
// in either index width, and nothing written past the rows it reports.
template <class Index>
void check_basis_rows(const Case& c, std::size_t order) {
    namespace simd = pp::simd;
    const std::size_t n = c.times.size();
    const std::size_t m = c.basis.degree + 1;
    const std::size_t n_t = c.basis.n_t;
    const double dt = c.basis.T / static_cast<double>(n_t);
    const double sentinel = -1234.5;
    std::vector<Index> indices(n * m, Index{-7});
    std::vector<double> data(n * m, sentinel);
    const std::size_t done = simd::basis_rows<Index>({dt, n_t, nullptr}, c.basis.degree, {order, true}, c.times.data(),
                                                     n, nullptr, indices.data(), data.data());
    ASSERT_TRUE(done % 4 == 0 && done + 8 > n && done <= n);
    for (std::size_t j = 0; j < done; ++j) {
        std::size_t k = 0;
        const auto local = local_values(partition_of(c.basis), c.basis.degree, c.times[j], order, k);
        for (std::size_t i = 0; i < m; ++i) {
            ASSERT_EQ(static_cast<std::size_t>(indices[j * m + i]), i * n_t + k);
            ASSERT_TRUE(identical(data[j * m + i], local[i])) << c.times[j] << " degree " << m - 1;
        }
    }
    for (std::size_t p = done * m; p < n * m; ++p) {
        ASSERT_EQ(indices[p], Index{-7});
        ASSERT_EQ(bits(data[p]), bits(sentinel));
    }
}

TEST(BatchSimd, BasisRowsAreTheLocalBasisValues) {
    if (!pp::simd::available(1)) GTEST_SKIP() << "no AVX2 on this CPU";
    std::mt19937_64 rng(5);
    for (std::size_t round = 0; round < 120; ++round) {
        const Case c = random_case(rng, 8 * 12 + round % 8);
        check_basis_rows<std::int32_t>(c, round % 3);
        check_basis_rows<std::int64_t>(c, round % 3);
    }
}

TEST(BatchEvaluation, SizeMismatchesAndEmptyPartitionFault) {
    const pp::UniformPartition basis(1.0, 4);
    const pp::IntervalWindow whole{0, 4};
    std::vector<double> times{0.1, 0.2}, out(2), short_coefficients(11), coefficients(12);
    EXPECT_EQ(fault_message([&] { pp::evaluate_times(basis, 2, whole, short_coefficients, times, false, out); }),
              "batch kernel: buffer sizes do not match");
    std::vector<double> long_out(3);
    EXPECT_EQ(fault_message([&] { pp::evaluate_times(basis, 2, whole, coefficients, times, false, long_out); }),
              "batch kernel: buffer sizes do not match");
    EXPECT_EQ(fault_message([&] {
                  pp::evaluate_times(pp::UniformPartition(1.0, 0), 2, whole, coefficients, times, false, out);
              }),
              "batch kernel: the partition has no interval");
    // No times: nothing to write, also for a batch.
    std::vector<double> none;
    std::vector<double> two_vectors(24);
    EXPECT_EQ(fault_message([&] { pp::evaluate_times(basis, 2, whole, two_vectors, none, true, none); }),
              "<no fault>");
}

// The mass matrix's rows on a partition (all of them, as the array face builds the whole).
template <class P>
CsrMatrix mass_matrix(std::size_t degree, const P& partition) {
    const std::size_t rows = partition.n_intervals() * degree + 1;
    const std::size_t nnz = pp::lagrange_mass_rows_nnz(degree, partition.n_intervals(), 0, rows);
    std::vector<std::int64_t> indptr(rows + 1), indices(nnz);
    std::vector<double> data(nnz);
    pp::lagrange_mass_rows<P, std::int64_t>(degree, partition, 0, rows, indptr, indices, data);
    return CsrMatrix::from_sorted_rows(rows, std::vector<std::size_t>(indptr.begin(), indptr.end()),
                                       std::vector<std::size_t>(indices.begin(), indices.end()), std::move(data));
}

// On breakpoint partitions (graded, starts other than 0, a window of them, sorted and shuffled
// times) every kernel gives the bits of the one-time operations, the lanes included; a window
// closed on the right takes its right end on its last interval.
TEST(BatchEvaluation, BreakpointPartitionsGiveTheOneTimeBits) {
    std::mt19937_64 rng(8);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (std::size_t round = 0; round < 40; ++round) {
        const std::size_t n = 1 + random_below(rng, 400), degree = random_below(rng, 9);
        std::vector<double> b(n + 1);
        for (std::size_t k = 0; k <= n; ++k) {
            const double s = static_cast<double>(k) / static_cast<double>(n);
            b[k] = -0.5 + 3.0 * (s * s);
        }
        const pp::BreakpointPartition partition(b);
        std::vector<double> times;
        for (std::size_t j = 0; j < 700; ++j) {
            const std::size_t k = random_below(rng, n + 1);
            times.push_back(j % 3 == 0 ? b[k] : -0.6 + 3.2 * unit(rng));
        }
        if (round % 2 == 0) std::sort(times.begin(), times.end());
        const std::vector<double> coefficients = random_vector(rng, n * (degree + 1));
        // Both vector paths (AVX-512 where the CPU has it, AVX2) and the scalar loop agree.
        for (const bool avx2 : {false, true}) {
            pp::simd::force_avx2(avx2);
            for (const std::size_t derivative : {std::size_t{0}, std::size_t{1}, std::size_t{2}}) {
                std::vector<double> out(times.size());
                const std::size_t done = pp::evaluate_times(partition, degree, {0, n}, coefficients, times, derivative, out);
                ASSERT_EQ(done, times.size());
                for (std::size_t j = 0; j < times.size(); ++j)
                    ASSERT_TRUE(identical(out[j], one_time(partition, degree, coefficients.data(), times[j], derivative)))
                        << "t = " << times[j] << ", degree " << degree;
            }
            pp::simd::force_avx2(false);
        }
        // The basis matrix's rows (vector lanes on located blocks, then the scalar loop).
        const std::size_t m = degree + 1, order = round % 3;
        std::vector<std::int64_t> indptr(times.size() + 1), indices(times.size() * m);
        std::vector<double> data(times.size() * m);
        pp::basis_matrix_arrays<pp::BreakpointPartition, std::int64_t>(partition, degree, times, order, indptr, indices,
                                                                       data);
        for (std::size_t j = 0; j < times.size(); ++j) {
            std::size_t k = 0;
            const std::vector<double> local = local_values(partition, degree, times[j], order, k);
            for (std::size_t i = 0; i < m; ++i) {
                ASSERT_EQ(static_cast<std::size_t>(indices[j * m + i]), i * n + k);
                ASSERT_TRUE(identical(data[j * m + i], local[i])) << times[j];
            }
        }
        // A window closed on the right: its own times and its right end, as the left limit.
        const std::size_t first = random_below(rng, n), end = first + 1 + random_below(rng, n - first);
        std::vector<double> local, inside;
        for (std::size_t i = 0; i <= degree; ++i)
            for (std::size_t k = first; k < end; ++k) local.push_back(coefficients[i * n + k]);
        for (const double t : times)
            if (partition.locate(t) >= first && partition.locate(t) < end) inside.push_back(t);
        inside.push_back(b[end]);
        std::vector<double> out(inside.size());
        ASSERT_EQ(pp::evaluate_times(partition, degree, {first, end - first, true}, local, inside, false, out),
                  inside.size());
        for (std::size_t j = 0; j + 1 < inside.size(); ++j)
            ASSERT_TRUE(identical(out[j], one_time(partition, degree, coefficients.data(), inside[j], false)));
        const double left_limit = pp::legendre_sum(1.0, degree, 0, coefficients.data() + end - 1, n);
        EXPECT_NEAR(out.back(), left_limit, 1e-12 * (1.0 + std::fabs(left_limit)));
        if (end < n) {
            std::vector<double> after{std::nextafter(b[end], 10.0)};
            std::vector<double> one(1);
            EXPECT_EQ(pp::evaluate_times(partition, degree, {first, end - first, true}, local, after, false, one), 0u);
        }
    }
}

// The nodal values of polynomials of the degree, integrated against each other through the
// mass matrix, give the exact integrals; the matrix is symmetric to the bit. On uniform and on
// graded partitions (breakpoints 1.5 (k/n)^2 from 0.25).
template <class P>
void check_mass_integrates(std::size_t degree, const P& partition) {
    const CsrMatrix mass = mass_matrix(degree, partition);
    const std::size_t rows = mass.nrows();
    std::vector<double> points(rows);
    pp::lagrange_points(partition, degree, 0, rows, points);
    const double t0 = partition.start(), T = partition.end();
    for (std::size_t a = 0; a <= degree; ++a) {
        for (std::size_t b = 0; b <= degree; ++b) {
            double sum = 0.0;
            mass.for_each([&](std::size_t r, std::size_t c, double value) {
                sum += std::pow(points[r], a) * value * std::pow(points[c], b);
            });
            const double power = static_cast<double>(a + b + 1);
            const double exact = (std::pow(T, power) - std::pow(t0, power)) / power;
            EXPECT_NEAR(sum, exact, 1e-13 * std::fabs(exact)) << degree << " " << a << " " << b;
        }
    }
    std::map<std::pair<std::size_t, std::size_t>, double> entries;
    mass.for_each([&](std::size_t r, std::size_t c, double value) { entries[{r, c}] = value; });
    for (const auto& [at, value] : entries) ASSERT_EQ(bits(entries.at({at.second, at.first})), bits(value));
}

TEST(LagrangeMassMatrix, IntegratesPolynomialProductsExactly) {
    for (std::size_t degree = 1; degree <= 8; ++degree) {
        for (const std::size_t n_t : {1u, 2u, 7u}) {
            check_mass_integrates(degree, pp::UniformPartition(1.5, n_t));
            std::vector<double> graded(n_t + 1);
            for (std::size_t k = 0; k <= n_t; ++k) {
                const double s = static_cast<double>(k) / static_cast<double>(n_t);
                graded[k] = 0.25 + 1.5 * (s * s);
            }
            check_mass_integrates(degree, pp::BreakpointPartition(graded));
        }
    }
}

// Written straight into the caller's arrays: row a n_t + k holds G(0, a) ... G(d, a) of the local
// matrix by quadrature at the columns k d ... k d + d, for every degree (the fixed values at 1
// and 2, the quadrature above).
template <class Index>
void check_to_legendre(std::size_t degree, std::size_t n_t) {
    const std::vector<double> G = pp::lagrange_to_legendre_by_quadrature(degree);
    const std::size_t m = degree + 1;
    const std::size_t rows = m * n_t;
    const std::size_t nnz = m * m * n_t;
    std::vector<Index> indptr(rows + 1, Index{-1}), indices(nnz, Index{-1});
    std::vector<double> data(nnz, -1.0);
    indptr[0] = 0;
    pp::lagrange_to_legendre_rows<Index>(degree, n_t, 0, rows, indptr, indices, data);
    for (std::size_t r = 0; r < rows; ++r) {
        const std::size_t a = r / n_t;
        const std::size_t k = r % n_t;
        ASSERT_EQ(static_cast<std::size_t>(indptr[r + 1]), (r + 1) * m) << "row " << r;
        for (std::size_t i = 0; i < m; ++i) {
            ASSERT_EQ(static_cast<std::size_t>(indices[r * m + i]), k * degree + i) << "row " << r;
            ASSERT_EQ(bits(data[r * m + i]), bits(G[i * m + a])) << "row " << r;
        }
    }
}

TEST(LagrangeToLegendreArrays, AreTheCoreTransformation) {
    for (std::size_t degree = 1; degree <= 9; ++degree) {
        for (const std::size_t n_t : {1u, 2u, 7u, 33u}) {
            check_to_legendre<std::int32_t>(degree, n_t);
            check_to_legendre<std::int64_t>(degree, n_t);
        }
    }
}

}  // namespace

// Interval ends above half the largest double (where a midpoint would overflow): both vector
// paths give the scalar bits.
TEST(BatchSimd, HugeIntervalsGiveTheScalarBits) {
    namespace simd = pp::simd;
    if (!simd::available(1)) GTEST_SKIP() << "no AVX2 on this CPU";
    const pp::LegendreBasis basis{1.5e308, 3, 4};
    const double dt = basis.T / 4.0;
    std::vector<double> times;
    for (int j = 0; j < 64; ++j) times.push_back(1.5e308 * (j + 0.5) / 64.0);
    std::mt19937_64 rng(12);
    const std::vector<double> coefficients = random_vector(rng, basis.basis_size());
    std::vector<double> out(times.size());
    for (const bool avx2 : {false, true}) {
        simd::force_avx2(avx2);
        const std::size_t done = simd::evaluate({dt, 4, nullptr}, 3, 0, 4, 0, coefficients.data(), times.data(), nullptr,
                                                times.size(), out.data());
        simd::force_avx2(false);
        ASSERT_EQ(done, times.size());
        for (std::size_t j = 0; j < done; ++j)
            ASSERT_TRUE(identical(out[j], one_time(basis.partition(), 3, coefficients.data(), times[j], 0)));
    }
}
