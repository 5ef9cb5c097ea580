#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "common/fault.hpp"
#include "piecewise_polynomials/legendre.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"

namespace {

using pwpoly::piecewise_polynomials::CoefficientMatrix;
using pwpoly::piecewise_polynomials::LegendreBasis;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t size_max = std::numeric_limits<std::size_t>::max();
constexpr std::size_t max_doubles = static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(double);

// Same double to the bit (signed zeros distinguished); any NaN matches any NaN.
bool identical(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// The message of the internal fault `f` raises, or "" when it returns.
template <class F>
std::string fault_of(F&& f) {
    try {
        f();
    } catch (const pwpoly::InternalFault& e) {
        return e.message();
    }
    return "";
}

CoefficientMatrix view(const std::vector<double>& v, std::size_t nrows, std::size_t ncols) {
    return CoefficientMatrix::from_flat(v, nrows, ncols);
}

std::vector<double> one_to_twelve() {
    std::vector<double> v;
    for (int i = 1; i <= 12; ++i) v.push_back(i);
    return v;
}

// Degree 2 on four intervals of [0, 1] at t = 0.3 (interval 1, xi just below -0.6).
TEST(LegendreBasis, DegreeTwoOnFourIntervalsBitForBit) {
    const LegendreBasis basis{1.0, 2, 4};
    const auto at = basis.locate_interval(0.3);
    EXPECT_EQ(at.k, 1u);
    EXPECT_TRUE(identical(at.xi, -0.6000000000000001));

    std::vector<double> values(12, 0.0), derivatives(12, 0.0);
    values[1] = 1.0;
    values[5] = -0.6000000000000001;
    values[9] = 0.04000000000000015;
    derivatives[5] = 8.0;
    derivatives[9] = -14.400000000000002;
    const auto v = basis.evaluate_all_basis_functions(0.3);
    const auto d = basis.evaluate_all_basis_function_derivatives(0.3);
    ASSERT_EQ(v.size(), 12u);
    ASSERT_EQ(d.size(), 12u);
    for (std::size_t i = 0; i < 12; ++i) {
        EXPECT_TRUE(identical(v[i], values[i])) << "value " << i << ": " << v[i];
        EXPECT_TRUE(identical(d[i], derivatives[i])) << "derivative " << i << ": " << d[i];
    }

    const auto c = one_to_twelve();
    EXPECT_TRUE(identical(basis.evaluate(0.3, view(c, 4, 3)), -1.199999999999999));
    EXPECT_TRUE(identical(basis.evaluate_derivative(0.3, view(c, 4, 3)), -96.00000000000003));
}

TEST(LegendreBasis, LocateClampsAndFindsNodes) {
    struct Case {
        double T;
        std::size_t n_t;
        double t;
        std::size_t k;
        double xi;
    };
    const Case cases[] = {
        {1.0, 4, -0.1, 0, -1.0},
        {1.0, 4, -inf, 0, -1.0},
        {1.0, 4, 1.5, 3, 1.0},
        {1.0, 4, inf, 3, 1.0},
        {1.0, 4, 1e300, 3, 1.0},
        {1.0, 3, 1.0, 2, 1.0},
        {1.0, 4, 0.0, 0, -1.0},
        {1.0, 4, 0.25, 1, -1.0},
        {1.0, 4, 0.5, 2, -1.0},
        {1.0, 4, nan, 0, nan},
        {0.0, 3, 0.5, 2, 1.0},
        {0.0, 3, -0.5, 0, -1.0},
        {0.0, 3, 0.0, 0, nan},
        {-1.0, 4, -0.3, 1, -0.6000000000000001},
        {1.0, size_max, 2.0, size_max - 1, 1.0},
        // b = dt + k*dt (not (k + 1)*dt) and the divisor b - a (not dt) show in the last bits.
        {1.0, 7, 0.75, 5, -0.49999999999999845},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "T=" << c.T << " n_t=" << c.n_t << " t=" << c.t);
        const auto at = LegendreBasis{c.T, 0, c.n_t}.locate_interval(c.t);
        EXPECT_EQ(at.k, c.k);
        EXPECT_TRUE(identical(at.xi, c.xi)) << at.xi;
    }
}

TEST(LegendreBasis, LocateSaturatesQuotientsBeyondTheSizeRange) {
    // t / dt at or above 2^64 (or 2^32 - 1) must saturate, not wrap, and land in the last interval.
    for (double t : {1.0, 2.0, 1e300, inf}) {
        SCOPED_TRACE(t);
        EXPECT_EQ((LegendreBasis{1.0, 0, size_max}.locate_interval(t).k), size_max - 1);
    }
}

TEST(LegendreBasis, LocateAtTheEndAndOnInteriorNodesWithinRounding) {
    // T / dt rounds to N for (1, 3), and just below N for (1, 93) and (0.3, 27).
    struct Case {
        double T;
        std::size_t n_t;
    };
    for (const Case& c : {Case{1.0, 3}, Case{1.0, 93}, Case{0.3, 27}}) {
        SCOPED_TRACE(c.n_t);
        const auto at = LegendreBasis{c.T, 0, c.n_t}.locate_interval(c.T);
        EXPECT_EQ(at.k, c.n_t - 1);
        EXPECT_LE(at.xi, 1.0);
        EXPECT_GT(at.xi, 1.0 - 1e-12);
    }
    // t = 2 * dt with t / dt == 2 exactly belongs to interval 2, at its left end up to rounding.
    const LegendreBasis basis{1.0, 0, 3};
    const double dt = 1.0 / 3.0;
    const double t = 2.0 * dt;
    ASSERT_EQ(t / dt, 2.0);
    const auto at = basis.locate_interval(t);
    EXPECT_EQ(at.k, 2u);
    EXPECT_NEAR(at.xi, -1.0, 1e-12);
}

TEST(LegendreBasis, NegativeLengthMirrorsThePartition) {
    for (double t : {0.0, 0.1, 0.3, 0.49, 0.8, 1.0, 1.7}) {
        SCOPED_TRACE(t);
        const auto forward = LegendreBasis{1.0, 0, 4}.locate_interval(t);
        const auto mirrored = LegendreBasis{-1.0, 0, 4}.locate_interval(-t);
        EXPECT_EQ(mirrored.k, forward.k);
        EXPECT_TRUE(identical(mirrored.xi, forward.xi));
    }
}

TEST(LegendreBasis, NanTimeGivesNanAboveDegreeZero) {
    const LegendreBasis basis{1.0, 3, 3};
    const auto v = basis.evaluate_all_basis_functions(nan);
    const auto d = basis.evaluate_all_basis_function_derivatives(nan);
    ASSERT_EQ(v.size(), 12u);
    for (std::size_t j = 0; j < 12; ++j) {
        SCOPED_TRACE(j);
        EXPECT_TRUE(identical(v[j], j == 0 ? 1.0 : j % 3 == 0 ? nan : 0.0));
        // D_0 = 0 and D_1 = 1 do not depend on xi.
        EXPECT_TRUE(identical(d[j], j == 3 ? 6.0 : j >= 6 && j % 3 == 0 ? nan : 0.0));
    }
}

TEST(LegendreBasis, DegreeZeroAndSignedZeros) {
    const LegendreBasis basis{1.5, 0, 3};
    const std::vector<double> c{2.5, -4.0, 0.0};
    const double times[] = {0.2, 0.7, 1.4};
    for (std::size_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        const double t = times[k];
        EXPECT_TRUE(identical(basis.evaluate(t, view(c, 3, 1)), c[k]));
        // 0 * C(k, 0) added to -0.0 keeps the sign of the coefficient.
        EXPECT_TRUE(identical(basis.evaluate_derivative(t, view(c, 3, 1)), c[k] < 0 ? -0.0 : 0.0));
        std::vector<double> unit(3, 0.0);
        unit[k] = 1.0;
        const auto v = basis.evaluate_all_basis_functions(t);
        const auto d = basis.evaluate_all_basis_function_derivatives(t);
        for (std::size_t j = 0; j < 3; ++j) {
            EXPECT_TRUE(identical(v[j], unit[j]));
            EXPECT_TRUE(identical(d[j], 0.0));
        }
    }
    // All-zero coefficients at higher degree: the -0.0 start is absorbed.
    const std::vector<double> zeros(9, 0.0);
    const LegendreBasis cubic{1.5, 2, 3};
    EXPECT_TRUE(identical(cubic.evaluate(0.7, view(zeros, 3, 3)), 0.0));
    EXPECT_TRUE(identical(cubic.evaluate_derivative(0.7, view(zeros, 3, 3)), 0.0));
}

TEST(LegendreBasis, ZeroLengthDividesByZero) {
    const LegendreBasis basis{0.0, 1, 3};
    const std::vector<double> ones(6, 1.0);
    EXPECT_TRUE(identical(basis.evaluate(0.5, view(ones, 3, 2)), 2.0));
    EXPECT_TRUE(identical(basis.evaluate_derivative(0.5, view(ones, 3, 2)), inf));
    EXPECT_TRUE(identical(basis.evaluate(0.0, view(ones, 3, 2)), nan));
    const auto d = basis.evaluate_all_basis_function_derivatives(0.5);
    EXPECT_TRUE(identical(d[2], nan));
    EXPECT_TRUE(identical(d[5], inf));
}

TEST(LegendreBasis, LargerMatrixActsAsItsLeadingBlock) {
    const std::size_t N = 3, p = 4, rows = 5, cols = 7;
    const LegendreBasis basis{2.0, p, N};
    std::vector<double> tight(N * (p + 1)), wide(rows * cols, nan);
    for (std::size_t i = 0; i <= p; ++i) {
        for (std::size_t k = 0; k < N; ++k) {
            tight[i * N + k] = 0.5 + static_cast<double>(3 * i) - 1.25 * static_cast<double>(k);
            wide[i * rows + k] = tight[i * N + k];
        }
    }
    for (double t : {-1.0, 0.0, 0.3, 0.9, 1.2, 1.999, 2.0, 5.0}) {
        SCOPED_TRACE(t);
        EXPECT_TRUE(identical(basis.evaluate(t, view(wide, rows, cols)), basis.evaluate(t, view(tight, N, p + 1))));
        EXPECT_TRUE(identical(basis.evaluate_derivative(t, view(wide, rows, cols)),
                              basis.evaluate_derivative(t, view(tight, N, p + 1))));
    }
}

TEST(LegendreBasis, MatrixChecksInOrder) {
    const auto c = one_to_twelve();  // t = 0.3 lies in interval 1 and degree 2 needs 3 columns
    struct Case {
        std::size_t degree, nrows, ncols;
        const char* message;
    };
    const Case cases[] = {
        {2, 2, 3, ""},
        {2, 4, 3, ""},
        {2, 1, 3, "Matrix slicing out of bounds."},
        {2, 2, 2, "Matrix index out of bounds."},
        {2, 1, 2, "Matrix slicing out of bounds."},
        {2, 0, 0, "Matrix slicing out of bounds."},
        {size_max, 4, 3, "Matrix index out of bounds."},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(testing::Message() << cs.degree << " " << cs.nrows << "x" << cs.ncols);
        const LegendreBasis basis{1.0, cs.degree, 4};
        const auto m = view(c, cs.nrows, cs.ncols);
        EXPECT_EQ(fault_of([&] { basis.evaluate(0.3, m); }), cs.message);
        EXPECT_EQ(fault_of([&] { basis.evaluate_derivative(0.3, m); }), cs.message);
    }
}

TEST(LegendreBasis, MatrixViewOfFlatBuffer) {
    struct Case {
        std::size_t size, nrows, ncols;
        const char* message;
    };
    const Case cases[] = {
        {12, 4, 3, ""},
        {13, 4, 3, ""},
        {0, 0, 5, ""},
        {11, 4, 3, "Matrix view: input data buffer too small."},
        {0, size_max, 2, "capacity overflow"},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(testing::Message() << cs.size << " " << cs.nrows << "x" << cs.ncols);
        const std::vector<double> flat(cs.size, 1.0);
        CoefficientMatrix m{};
        EXPECT_EQ(fault_of([&] { m = view(flat, cs.nrows, cs.ncols); }), cs.message);
        if (*cs.message == '\0') {
            EXPECT_EQ(m.data, flat.data());
            EXPECT_EQ(m.nrows, cs.nrows);
            EXPECT_EQ(m.ncols, cs.ncols);
        }
    }
}

TEST(LegendreBasis, NoIntervalsFaultBeforeAnyStorage) {
    const std::string message = "Legendre basis requires at least one interval (n_t = 0)";
    const CoefficientMatrix none{nullptr, 0, 0};
    for (std::size_t degree : {std::size_t{0}, std::size_t{3}, size_max}) {
        SCOPED_TRACE(degree);
        const LegendreBasis basis{1.0, degree, 0};
        EXPECT_EQ(fault_of([&] { basis.locate_interval(0.5); }), message);
        EXPECT_EQ(fault_of([&] { basis.evaluate(0.5, none); }), message);
        EXPECT_EQ(fault_of([&] { basis.evaluate_derivative(0.5, none); }), message);
        EXPECT_EQ(fault_of([&] { basis.evaluate_all_basis_functions(0.5); }), message);
        EXPECT_EQ(fault_of([&] { basis.evaluate_all_basis_function_derivatives(0.5); }), message);
    }
}

TEST(LegendreBasis, BasisSizeIsChecked) {
    struct Case {
        std::size_t degree, n_t;
        bool overflow;
        std::size_t size;
    };
    const Case cases[] = {
        {2, 4, false, 12},
        {3, 0, false, 0},
        {0, max_doubles, false, max_doubles},
        {max_doubles - 1, 1, false, max_doubles},
        {size_max, 0, true, 0},  // degree + 1 wraps
        {size_max, 1, true, 0},
        {1, size_max / 2 + 1, true, 0},  // the product wraps
        {0, max_doubles + 1, true, 0},   // beyond the largest allocation
        {max_doubles, 1, true, 0},
        {max_doubles / 2, 3, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "degree=" << c.degree << " n_t=" << c.n_t);
        const LegendreBasis basis{1.0, c.degree, c.n_t};
        if (!c.overflow) {
            EXPECT_EQ(basis.basis_size(), c.size);
            continue;
        }
        EXPECT_EQ(fault_of([&] { basis.basis_size(); }), "capacity overflow");
        if (c.n_t == 0) continue;  // the all-basis operations fault on the missing interval first
        EXPECT_EQ(fault_of([&] { basis.evaluate_all_basis_functions(0.5); }), "capacity overflow");
        EXPECT_EQ(fault_of([&] { basis.evaluate_all_basis_function_derivatives(0.5); }), "capacity overflow");
    }
}

TEST(LegendreBasis, EndpointDerivativesAreExact) {
    // D_i(1) = i(i + 1)/2 and D_i(-1) = (-1)^(i + 1) i(i + 1)/2 exactly; on one interval of
    // length 3 every time derivative is that integer doubled, divided by 3 and rounded once.
    for (std::size_t p : {1u, 2u, 3u, 4u, 7u, 10u, 25u, 60u}) {
        SCOPED_TRACE(p);
        const LegendreBasis basis{3.0, p, 1};
        std::vector<double> c(p + 1);
        for (std::size_t i = 0; i <= p; ++i) c[i] = 1.0 + static_cast<double>(i % 2);
        for (double t : {0.0, 3.0}) {
            const double sign = t == 0.0 ? -1.0 : 1.0;
            const auto v = basis.evaluate_all_basis_functions(t);
            const auto d = basis.evaluate_all_basis_function_derivatives(t);
            double power = 1.0;  // sign^i
            double sum = 0.0;    // sum of D_i * c_i, an exact integer
            for (std::size_t i = 0; i <= p; ++i) {
                const double dxi = sign * power * static_cast<double>(i * (i + 1) / 2);
                EXPECT_EQ(v[i], power) << i;
                EXPECT_EQ(d[i], (2.0 * dxi) / 3.0) << i;
                sum += dxi * c[i];
                power *= sign;
            }
            EXPECT_EQ(basis.evaluate_derivative(t, view(c, 1, p + 1)), (2.0 * sum) / 3.0);
        }
    }
}

// P_n(x) = 2^-n sum_j C(n, j)^2 (x - 1)^(n - j) (x + 1)^j and its x-derivative, in long double.
struct Analytic {
    long double value, derivative;
};
Analytic legendre_closed_form(int n, long double x) {
    long double value = 0, derivative = 0, binomial = 1;
    for (int j = 0; j <= n; ++j) {
        const long double w = binomial * binomial;
        value += w * std::pow(x - 1, n - j) * std::pow(x + 1, j);
        if (j < n) derivative += w * (n - j) * std::pow(x - 1, n - j - 1) * std::pow(x + 1, j);
        if (j > 0) derivative += w * j * std::pow(x - 1, n - j) * std::pow(x + 1, j - 1);
        binomial = binomial * (n - j) / (j + 1);
    }
    const long double scale = std::ldexp(1.0L, -n);
    return {value * scale, derivative * scale};
}

TEST(LegendreBasis, MatchesClosedFormLegendrePolynomials) {
    const std::size_t N = 3, p = 12;
    const LegendreBasis basis{1.5, p, N};
    const double dt = 0.5;
    std::vector<double> recurrence(p + 1);
    for (int s = 0; s <= 150; ++s) {
        const double t = 0.01 * s;
        SCOPED_TRACE(t);
        const auto at = basis.locate_interval(t);
        const auto v = basis.evaluate_all_basis_functions(t);
        const auto d = basis.evaluate_all_basis_function_derivatives(t);
        pwpoly::piecewise_polynomials::legendre_values(at.xi, recurrence);
        for (std::size_t i = 0; i <= p; ++i) {
            const Analytic exact = legendre_closed_form(static_cast<int>(i), at.xi);
            const double value = static_cast<double>(exact.value);
            const double slope = static_cast<double>(2 * exact.derivative / dt);
            EXPECT_NEAR(v[i * N + at.k], value, 1e-13) << i;
            EXPECT_NEAR(d[i * N + at.k], slope, 1e-12 * (1 + std::fabs(slope))) << i;
            EXPECT_TRUE(identical(v[i * N + at.k], recurrence[i])) << i;
        }
    }
}

TEST(LegendreBasis, ExpansionOfTSquared) {
    // t^2 on [0, 1] = 1/3 P_0 + 1/2 P_1 + 1/6 P_2 in xi = 2t - 1.
    const LegendreBasis basis{1.0, 2, 1};
    const std::vector<double> c{1.0 / 3.0, 0.5, 1.0 / 6.0};
    const auto m = view(c, 1, 3);
    EXPECT_NEAR(basis.evaluate_derivative(0.0, m), 0.0, 1e-15);
    EXPECT_NEAR(basis.evaluate_derivative(1.0, m), 2.0, 1e-15);
    for (double t : {0.0, 0.125, 0.3, 0.5, 0.71, 1.0}) {
        SCOPED_TRACE(t);
        EXPECT_NEAR(basis.evaluate(t, m), t * t, 1e-15);
        EXPECT_NEAR(basis.evaluate_derivative(t, m), 2 * t, 1e-14);
    }
}

}  // namespace
