#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "piecewise_polynomials/batch_simd.hpp"
#include "piecewise_polynomials/mod.hpp"
#include "support.hpp"

namespace {

using pwpoly::piecewise_polynomials::CoefficientMatrix;
using pwpoly::piecewise_polynomials::LagrangeBasis;
using pwpoly::piecewise_polynomials::LegendreBasis;
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
    const double lengths[] = {1.0, 0.3, 7.0, 1e-3, 123.456, -2.0};
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

TEST(BatchEvaluation, LocateMatchesLocateInterval) {
    std::mt19937_64 rng(1);
    for (std::size_t round = 0; round < 40; ++round) {
        const Case c = random_case(rng, 500);
        std::vector<std::int64_t> k(c.times.size());
        std::vector<double> xi(c.times.size());
        pp::locate_times(c.basis, c.times, k, xi);
        for (std::size_t j = 0; j < c.times.size(); ++j) {
            const auto at = c.basis.locate_interval(c.times[j]);
            ASSERT_EQ(static_cast<std::size_t>(k[j]), at.k) << c.times[j];
            ASSERT_TRUE(identical(xi[j], at.xi)) << c.times[j];
        }
    }
}

// Every time and every vector of a batch (one vector, and several across time blocks) gives the
// bits of evaluate and evaluate_derivative.
TEST(BatchEvaluation, EvaluateMatchesScalarPathBitForBit) {
    std::mt19937_64 rng(2);
    for (std::size_t round = 0; round < 60; ++round) {
        const Case c = random_case(rng, 700);
        const std::size_t size = c.basis.basis_size();
        const std::size_t batch = round % 3 == 0 ? 1 : 1 + round % 5;
        std::vector<double> coefficients = random_vector(rng, batch * size);
        if (round % 7 == 0) coefficients[0] = inf;
        if (round % 11 == 0) coefficients[size - 1] = nan;
        for (const bool derivative : {false, true}) {
            std::vector<double> out(batch * c.times.size());
            pp::evaluate_times(c.basis, coefficients, c.times, derivative, out);
            for (std::size_t b = 0; b < batch; ++b) {
                const auto matrix = CoefficientMatrix::from_flat(
                    std::span<const double>(coefficients).subspan(b * size, size), c.basis.n_t, c.basis.degree + 1);
                for (std::size_t j = 0; j < c.times.size(); ++j) {
                    const double t = c.times[j];
                    const double expected =
                        derivative ? c.basis.evaluate_derivative(t, matrix) : c.basis.evaluate(t, matrix);
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
        const std::size_t k = c.basis.locate_interval(t).k;
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
            pp::evaluate_times(c.basis, coefficients, w.times, derivative, whole);
            ASSERT_EQ(pp::evaluate_times_in_window(c.basis, window, w.local, w.times, derivative, local), n);
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
        EXPECT_EQ(pp::evaluate_times_in_window(c.basis, window, w.local, times, false, out), at);
    }
}

TEST(BatchEvaluation, WindowOutsideTheBasisFaults) {
    const LegendreBasis basis{1.0, 1, 4};
    std::vector<double> coefficients(4), times{0.5}, out(1);
    for (const pp::IntervalWindow window : {pp::IntervalWindow{0, 0}, pp::IntervalWindow{4, 1},
                                            pp::IntervalWindow{3, 2}, pp::IntervalWindow{1, SIZE_MAX}}) {
        EXPECT_EQ(fault_message([&] { pp::evaluate_times_in_window(basis, window, coefficients, times, false, out); }),
                  "batch kernel: interval window outside the basis");
    }
    EXPECT_EQ(fault_message([&] {
                  pp::evaluate_times_in_window(basis, pp::IntervalWindow{1, 2}, coefficients, times, false, out);
              }),
              "<no fault>");
    std::vector<double> three(3);
    EXPECT_EQ(fault_message([&] {
                  pp::evaluate_times_in_window(basis, pp::IntervalWindow{1, 2}, three, times, false, out);
              }),
              "batch kernel: buffer sizes do not match");
}

template <class Index>
void check_basis_matrix(const Case& c, bool derivative) {
    const std::size_t m = c.basis.degree + 1;
    const std::size_t n = c.times.size();
    std::vector<Index> indptr(n + 1), indices(n * m);
    std::vector<double> data(n * m);
    pp::basis_matrix_arrays<Index>(c.basis, c.times, derivative, indptr, indices, data);
    for (std::size_t j = 0; j < n; ++j) {
        const std::vector<double> dense = derivative ? c.basis.evaluate_all_basis_function_derivatives(c.times[j])
                                                     : c.basis.evaluate_all_basis_functions(c.times[j]);
        const auto k = c.basis.locate_interval(c.times[j]).k;
        ASSERT_EQ(static_cast<std::size_t>(indptr[j]), j * m);
        for (std::size_t i = 0; i < m; ++i) {
            const std::size_t column = i * c.basis.n_t + k;
            ASSERT_EQ(static_cast<std::size_t>(indices[j * m + i]), column);
            ASSERT_TRUE(identical(data[j * m + i], dense[column])) << c.times[j];
        }
    }
    EXPECT_EQ(static_cast<std::size_t>(indptr[n]), n * m);
}

TEST(BatchEvaluation, BasisMatrixRowsAreTheAllBasisVectors) {
    std::mt19937_64 rng(3);
    for (std::size_t round = 0; round < 30; ++round) {
        const Case c = random_case(rng, 60);
        check_basis_matrix<std::int32_t>(c, round % 2 == 0);
        check_basis_matrix<std::int64_t>(c, round % 2 == 1);
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
        const auto matrix = CoefficientMatrix::from_flat(coefficients, n_t, m);

        std::vector<std::int64_t> k(n, -1);
        std::vector<double> xi(n), values(m * n), out(n);
        const std::size_t handled = simd::locate(dt, n_t, c.times.data(), n, k.data(), xi.data());
        ASSERT_EQ(handled, n / 4 * 4);
        for (std::size_t j = 0; j < handled; ++j) {
            const auto at = c.basis.locate_interval(c.times[j]);
            ASSERT_EQ(static_cast<std::size_t>(k[j]), at.k) << c.times[j];
            ASSERT_TRUE(identical(xi[j], at.xi)) << c.times[j];
        }
        for (const auto mode : {simd::BasisMode::value, simd::BasisMode::time_derivative}) {
            const std::size_t done =
                simd::basis_values(dt, n_t, c.basis.degree, mode, c.times.data(), n, k.data(), values.data(), n);
            ASSERT_TRUE(done % 4 == 0 && done + 8 > n && done <= n);
            for (std::size_t j = 0; j < done; ++j) {
                const auto dense = mode == simd::BasisMode::value
                                       ? c.basis.evaluate_all_basis_functions(c.times[j])
                                       : c.basis.evaluate_all_basis_function_derivatives(c.times[j]);
                for (std::size_t i = 0; i < m; ++i)
                    ASSERT_TRUE(identical(values[i * n + j], dense[i * n_t + static_cast<std::size_t>(k[j])]));
            }
        }
        // Sorted times as well (the AVX-512 path then loads neighbouring intervals' coefficients
        // whole), on both vector paths.
        std::vector<double> sorted = c.times;
        std::sort(sorted.begin(), sorted.end(), nan_last);
        for (const bool derivative : {false, true}) {
            for (const std::vector<double>* times : std::array<const std::vector<double>*, 2>{&c.times, &sorted}) {
                for (const bool avx2 : {false, true}) {
                    simd::force_avx2(avx2);
                    const std::size_t done = simd::evaluate(dt, n_t, c.basis.degree, 0, n_t, derivative,
                                                            coefficients.data(), times->data(), n, out.data());
                    const std::size_t step = simd::evaluate_step();
                    simd::force_avx2(false);
                    ASSERT_TRUE(done % step == 0 && done + step > n && done <= n);
                    for (std::size_t j = 0; j < done; ++j) {
                        const double t = (*times)[j];
                        ASSERT_TRUE(identical(out[j], derivative ? c.basis.evaluate_derivative(t, matrix)
                                                                 : c.basis.evaluate(t, matrix)))
                            << t << " degree " << c.basis.degree;
                    }
                }
            }
            const auto mode = derivative ? simd::BasisMode::xi_derivative : simd::BasisMode::value;
            const std::size_t located =
                simd::basis_values(dt, n_t, c.basis.degree, mode, c.times.data(), n, k.data(), values.data(), n);
            std::fill(out.begin(), out.end(), 0.0);
            const std::size_t summed = simd::sums(dt, n_t, c.basis.degree, derivative, coefficients.data(), k.data(),
                                                  values.data(), n, located, out.data());
            ASSERT_EQ(summed, located);
            for (std::size_t j = 0; j < summed; ++j) {
                const double t = c.times[j];
                ASSERT_TRUE(identical(
                    out[j], derivative ? c.basis.evaluate_derivative(t, matrix) : c.basis.evaluate(t, matrix)));
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
        const auto matrix = CoefficientMatrix::from_flat(coefficients, n_t, c.basis.degree + 1);
        const Window w = window_of(c, coefficients, 1, rng);
        std::vector<double> times = w.times;
        if (round % 2 == 1) std::sort(times.begin(), times.end(), nan_last);  // neighbouring intervals
        std::size_t outside_at = times.size();
        if (w.k1 - w.k0 < n_t && !times.empty()) {
            outside_at = random_below(rng, times.size());
            times[outside_at] = w.k0 > 0 ? 0.5 * dt : (static_cast<double>(n_t) - 0.5) * dt;
        }
        std::vector<double> out(times.size());
        for (const bool derivative : {false, true}) {
            const std::size_t done = simd::evaluate(dt, n_t, c.basis.degree, w.k0, w.k1 - w.k0, derivative,
                                                    w.local.data(), times.data(), times.size(), out.data());
            const std::size_t step = simd::evaluate_step();
            ASSERT_TRUE(done % step == 0 && done <= outside_at &&
                        (outside_at < times.size() || done + step > times.size()));
            ASSERT_TRUE(outside_at == times.size() || done + step > outside_at);
            for (std::size_t j = 0; j < done; ++j) {
                const double t = times[j];
                ASSERT_TRUE(identical(
                    out[j], derivative ? c.basis.evaluate_derivative(t, matrix) : c.basis.evaluate(t, matrix)));
            }
        }
    }
}

// The row writer called directly: whole rows, the bits of the dense all-basis vectors, columns
// in either index width, and nothing written past the rows it reports.
template <class Index>
void check_basis_rows(const Case& c, pp::simd::BasisMode mode) {
    namespace simd = pp::simd;
    const std::size_t n = c.times.size();
    const std::size_t m = c.basis.degree + 1;
    const std::size_t n_t = c.basis.n_t;
    const double dt = c.basis.T / static_cast<double>(n_t);
    const double sentinel = -1234.5;
    std::vector<Index> indices(n * m, Index{-7});
    std::vector<double> data(n * m, sentinel);
    const std::size_t done =
        simd::basis_rows<Index>(dt, n_t, c.basis.degree, mode, c.times.data(), n, indices.data(), data.data());
    ASSERT_TRUE(done % 4 == 0 && done + 8 > n && done <= n);
    for (std::size_t j = 0; j < done; ++j) {
        const auto dense = mode == simd::BasisMode::value ? c.basis.evaluate_all_basis_functions(c.times[j])
                                                          : c.basis.evaluate_all_basis_function_derivatives(c.times[j]);
        const std::size_t k = c.basis.locate_interval(c.times[j]).k;
        for (std::size_t i = 0; i < m; ++i) {
            ASSERT_EQ(static_cast<std::size_t>(indices[j * m + i]), i * n_t + k);
            ASSERT_TRUE(identical(data[j * m + i], dense[i * n_t + k])) << c.times[j] << " degree " << m - 1;
        }
    }
    for (std::size_t p = done * m; p < n * m; ++p) {
        ASSERT_EQ(indices[p], Index{-7});
        ASSERT_EQ(bits(data[p]), bits(sentinel));
    }
}

TEST(BatchSimd, BasisRowsAreTheAllBasisVectors) {
    if (!pp::simd::available(1)) GTEST_SKIP() << "no AVX2 on this CPU";
    std::mt19937_64 rng(5);
    for (std::size_t round = 0; round < 120; ++round) {
        const Case c = random_case(rng, 8 * 12 + round % 8);
        const auto mode = round % 2 == 0 ? pp::simd::BasisMode::value : pp::simd::BasisMode::time_derivative;
        check_basis_rows<std::int32_t>(c, mode);
        check_basis_rows<std::int64_t>(c, mode);
    }
}

TEST(BatchEvaluation, SizeMismatchesAndEmptyPartitionFault) {
    const LegendreBasis basis{1.0, 2, 4};
    std::vector<double> times{0.1, 0.2}, out(2), short_coefficients(11), coefficients(12);
    EXPECT_EQ(fault_message([&] { pp::evaluate_times(basis, short_coefficients, times, false, out); }),
              "batch kernel: buffer sizes do not match");
    std::vector<double> long_out(3);
    EXPECT_EQ(fault_message([&] { pp::evaluate_times(basis, coefficients, times, false, long_out); }),
              "batch kernel: buffer sizes do not match");
    EXPECT_EQ(fault_message([&] {
                  pp::evaluate_times(LegendreBasis{1.0, 2, 0}, coefficients, times, false, out);
              }),
              "Legendre basis requires at least one interval (n_t = 0)");
    // No times: nothing to write, also for a batch.
    std::vector<double> none;
    std::vector<double> two_vectors(24);
    EXPECT_EQ(fault_message([&] { pp::evaluate_times(basis, two_vectors, none, true, none); }), "<no fault>");
}

// The nodal values of polynomials of the degree, integrated against each other through the
// mass matrix, give the exact integrals.
TEST(LagrangeMassMatrix, IntegratesPolynomialProductsExactly) {
    for (std::size_t degree = 1; degree <= 8; ++degree) {
        for (const std::size_t n_t : {1u, 2u, 7u}) {
            const double T = 1.5;
            const std::size_t nnz = pp::lagrange_mass_matrix_nnz(degree, n_t);
            const std::size_t rows = n_t * degree + 1;
            std::vector<std::int64_t> indptr(rows + 1), indices(nnz);
            std::vector<double> data(nnz);
            pp::lagrange_mass_matrix_arrays<std::int64_t>(degree, n_t, T, indptr, indices, data);
            ASSERT_EQ(static_cast<std::size_t>(indptr[rows]), nnz);
            const LagrangeBasis lagrange(degree, n_t, T);
            const std::vector<double>& points = lagrange.points();
            // integral over [0, T] of t^a t^b = T^(a+b+1) / (a+b+1)
            for (std::size_t a = 0; a <= degree; ++a) {
                for (std::size_t b = 0; b <= degree; ++b) {
                    double sum = 0.0;
                    for (std::size_t r = 0; r < rows; ++r) {
                        for (auto p = static_cast<std::size_t>(indptr[r]); p < static_cast<std::size_t>(indptr[r + 1]);
                             ++p) {
                            const std::size_t c = static_cast<std::size_t>(indices[p]);
                            if (p > static_cast<std::size_t>(indptr[r])) {
                                ASSERT_LT(indices[p - 1], indices[p]);
                            }
                            const double term = std::pow(points[r], a) * data[p] * std::pow(points[c], b);
                            sum += term;
                        }
                    }
                    const double exact = std::pow(T, static_cast<double>(a + b + 1)) / static_cast<double>(a + b + 1);
                    EXPECT_NEAR(sum, exact, 1e-13 * exact) << degree << " " << n_t << " " << a << " " << b;
                }
            }
            // Symmetric to the bit.
            for (std::size_t r = 0; r < rows; ++r) {
                for (auto p = static_cast<std::size_t>(indptr[r]); p < static_cast<std::size_t>(indptr[r + 1]); ++p) {
                    const std::size_t c = static_cast<std::size_t>(indices[p]);
                    bool found = false;
                    for (auto q = static_cast<std::size_t>(indptr[c]); q < static_cast<std::size_t>(indptr[c + 1]);
                         ++q) {
                        if (static_cast<std::size_t>(indices[q]) == r) {
                            found = true;
                            EXPECT_EQ(bits(data[q]), bits(data[p]));
                        }
                    }
                    EXPECT_TRUE(found);
                }
            }
        }
    }
}

// Written straight into the caller's arrays: the very entries, in the very order, of the core
// transformation, for every degree the local inverse takes its different routes (closed forms for
// 1 and 2, the dense inverse above).
template <class Index>
void check_to_legendre(std::size_t degree, std::size_t n_t) {
    const auto matrix = LagrangeBasis(degree, n_t, 1.0).get_transormation_matrix_to_legendre();
    const std::size_t nnz = pp::lagrange_to_legendre_nnz(degree, n_t);
    ASSERT_EQ(nnz, matrix.nnz());
    std::vector<Index> indptr(matrix.nrows() + 1, Index{-1}), indices(nnz, Index{-1});
    std::vector<double> data(nnz, -1.0);
    pp::lagrange_to_legendre_arrays<Index>(degree, n_t, indptr, indices, data);
    for (std::size_t r = 0; r < indptr.size(); ++r)
        ASSERT_EQ(static_cast<std::size_t>(indptr[r]), matrix.row_offsets()[r]) << "row " << r;
    for (std::size_t p = 0; p < nnz; ++p) {
        ASSERT_EQ(static_cast<std::size_t>(indices[p]), matrix.col_indices()[p]) << "entry " << p;
        ASSERT_EQ(bits(data[p]), bits(matrix.values()[p])) << "entry " << p;
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

TEST(LagrangeToLegendreArrays, SizeMismatchFaults) {
    std::vector<std::int32_t> indptr(4 * 3 + 1), indices(16 * 3);
    std::vector<double> data(16 * 3 - 1);
    EXPECT_EQ(fault_message([&] { pp::lagrange_to_legendre_arrays<std::int32_t>(3, 3, indptr, indices, data); }),
              "batch kernel: buffer sizes do not match");
}

}  // namespace

// Interval ends above half the largest double (their midpoint formed without overflow): both
// vector paths give the scalar bits.
TEST(BatchSimd, HugeIntervalsGiveTheScalarBits) {
    namespace simd = pp::simd;
    if (!simd::available(1)) GTEST_SKIP() << "no AVX2 on this CPU";
    const pp::LegendreBasis basis{1.5e308, 3, 4};
    const double dt = basis.T / 4.0;
    std::vector<double> times;
    for (int j = 0; j < 64; ++j) times.push_back(1.5e308 * (j + 0.5) / 64.0);
    std::mt19937_64 rng(12);
    const std::vector<double> coefficients = random_vector(rng, basis.basis_size());
    const auto matrix = CoefficientMatrix::from_flat(coefficients, 4, 4);
    std::vector<double> out(times.size());
    for (const bool avx2 : {false, true}) {
        simd::force_avx2(avx2);
        const std::size_t done = simd::evaluate(dt, 4, 3, 0, 4, false, coefficients.data(), times.data(), times.size(),
                                                out.data());
        simd::force_avx2(false);
        ASSERT_EQ(done, times.size());
        for (std::size_t j = 0; j < done; ++j) ASSERT_TRUE(identical(out[j], basis.evaluate(times[j], matrix)));
    }
}
