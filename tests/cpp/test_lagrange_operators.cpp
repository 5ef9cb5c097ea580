#include "support.hpp"
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "common/fault.hpp"
#include "piecewise_polynomials/dense_inverse.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"
#include "sparse_matrix_tools/csr_matrix.hpp"

namespace pwpoly::piecewise_polynomials {
namespace {

using sparse_matrix_tools::csr_to_triplets;
using sparse_matrix_tools::CsrMatrix;
using Sizes = std::vector<std::size_t>;
using Values = std::vector<double>;
constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

using testing_support::fault_message;

CsrMatrix prolongation(std::size_t nt_coarse, std::size_t nt_fine, std::size_t degree) {
    return LagrangeBasis(degree, nt_coarse, 1.0).get_prolongation_matrix_to(nt_fine);
}

CsrMatrix transformation(std::size_t degree, std::size_t n_t, double T = 1.0) {
    return LagrangeBasis(degree, n_t, T).get_transormation_matrix_to_legendre();
}

CsrMatrix legendre_block(std::size_t degree, std::size_t n_t, std::size_t a) {
    return LagrangeBasis(degree, n_t, 1.0).to_legendre_basis_matrix_for_pol_degree(a);
}

struct ProlongationCase { std::size_t nc, nf, d; Sizes rows, cols; Values values; };
void PrintTo(const ProlongationCase& c, std::ostream* os) {
    *os << "(" << c.nc << ", " << c.nf << ", " << c.d << ")";
}
class ProlongationExample : public testing::TestWithParam<ProlongationCase> {};

TEST_P(ProlongationExample, TripletsBitForBit) {
    const ProlongationCase& c = GetParam();
    const CsrMatrix m = prolongation(c.nc, c.nf, c.d);
    EXPECT_EQ(m.nrows(), c.nf * c.d + 1);
    EXPECT_EQ(m.ncols(), c.nc * c.d + 1);
    const auto t = csr_to_triplets(m);
    EXPECT_EQ(t.row_indices, c.rows);
    EXPECT_EQ(t.col_indices, c.cols);
    if (!c.values.empty()) {
        EXPECT_EQ(t.values, c.values);  // EXPECT_EQ on doubles is exact
    }
}
INSTANTIATE_TEST_SUITE_P(Lagrange, ProlongationExample, testing::Values(
    ProlongationCase{2, 4, 1, {0, 1, 1, 2, 3, 3, 4}, {0, 0, 1, 1, 1, 2, 2},
                     {1.0, 0.5, 0.5, 1.0, 0.5, 0.5, 1.0}},
    ProlongationCase{1, 2, 1, {0, 1, 1, 2}, {0, 0, 1, 1}, {1.0, 0.5, 0.5, 1.0}},
    ProlongationCase{1, 2, 2, {0, 1, 1, 1, 2, 3, 3, 3, 4}, {0, 0, 1, 2, 1, 0, 1, 2, 2},
                     {1.0, 0.375, 0.75, -0.125, 1.0, -0.12499999999999999, 0.7499999999999999,
                      0.37499999999999994, 1.0}},
    ProlongationCase{2, 3, 1, {0, 1, 1, 2, 2, 3}, {0, 0, 1, 1, 2, 2},
                     {1.0, 0.3333333333333333, 0.6666666666666665, 0.6666666666666667,
                      0.3333333333333332, 1.0}},
    // Values of this one are not listed; they are checked by polynomial reproduction below.
    ProlongationCase{3, 2, 2, {0, 1, 1, 1, 2, 3, 3, 3, 4}, {0, 0, 1, 2, 3, 4, 5, 6, 6}, {}}));

TEST(Prolongation, EqualCountsMissOneNodeForDegreeFive) {
    // Row 192 of 39 -> 39 intervals at degree 5: s, k and e as the formulas round them.
    const double s = (192.0 / 195.0) * 39.0;
    const double e = ((s - 38.0) + (s - 38.0)) + (-1.0);
    EXPECT_EQ(s, 38.400000000000006);
    EXPECT_EQ(e, -0.19999999999998863);
    EXPECT_EQ(reference_nodes(5)[2], -0.19999999999999996);

    const CsrMatrix m = prolongation(39, 39, 5);
    ASSERT_EQ(m.nrows(), 196u);
    ASSERT_EQ(m.ncols(), 196u);
    EXPECT_EQ(m.nnz(), 201u);
    for (std::size_t r = 0; r < 196; ++r) {
        const std::size_t begin = m.row_offsets()[r], end = m.row_offsets()[r + 1];
        if (r != 192) {
            ASSERT_EQ(end - begin, 1u) << r;
            EXPECT_EQ(m.col_indices()[begin], r);
            EXPECT_EQ(m.values()[begin], 1.0);
            continue;
        }
        ASSERT_EQ(end - begin, 6u);
        for (std::size_t p = begin; p < end; ++p) {
            EXPECT_EQ(m.col_indices()[p], 190 + (p - begin));
            if (m.col_indices()[p] == 192) {
                EXPECT_EQ(m.values()[p], 0.9999999999999906);
            } else {
                EXPECT_LT(std::fabs(m.values()[p]), 3e-14);
            }
        }
    }
}

// Interpolation reproduces every polynomial of the degree: P applied to its coarse nodal values
// gives its values at the fine nodes; first and last rows are exact unit rows.
TEST(Prolongation, ReproducesPolynomialsOfItsDegree) {
    for (std::size_t d = 1; d <= 5; ++d)
        for (std::size_t nc = 1; nc <= 5; ++nc)
            for (std::size_t nf = 1; nf <= 6; ++nf) {
                auto f = [d](double t) { return std::pow(t - 0.3, double(d)) + 2.0 * t; };
                const CsrMatrix m = prolongation(nc, nf, d);
                std::vector<double> fine(m.nrows(), 0.0);
                m.for_each([&](std::size_t r, std::size_t c, double v) {
                    fine[r] += v * f(double(c) / double(nc * d));
                });
                for (std::size_t r = 0; r < fine.size(); ++r)
                    ASSERT_NEAR(fine[r], f(double(r) / double(nf * d)), 1e-11)
                        << d << " " << nc << " " << nf << " " << r;
                const auto t = csr_to_triplets(m);
                EXPECT_EQ(t.col_indices.front(), 0u);
                EXPECT_EQ(t.values.front(), 1.0);
                EXPECT_EQ(t.row_indices.back(), nf * d);
                EXPECT_EQ(t.col_indices.back(), nc * d);
                EXPECT_EQ(t.values.back(), 1.0);
                EXPECT_NE(t.row_indices[1], 0u);
                EXPECT_NE(t.row_indices[t.row_indices.size() - 2], nf * d);
            }
}

TEST(Prolongation, Faults) {
    EXPECT_EQ(fault_message([] { prolongation(0, 0, 0); }),
              "Lagrange prolongation requires polynomial degree at least 1");
    EXPECT_EQ(fault_message([] { prolongation(0, 0, 1); }),
              "Lagrange prolongation requires at least one coarse interval");
    EXPECT_EQ(fault_message([] { prolongation(1, 0, 1); }),
              "Lagrange prolongation requires at least one fine interval");
    for (const auto& [nf, d] : {std::pair{kMax, std::size_t{1}}, {kMax / 2 + 1, 2}, {kMax / 2, 1}})
        EXPECT_EQ(fault_message([&] { prolongation(1, nf, d); }), "capacity overflow");
}

// Column a of G, read from row 0 of the degree-a block of a one-interval basis.
std::vector<double> g_column(std::size_t degree, std::size_t a) {
    return legendre_block(degree, 1, a).values();
}

TEST(LagrangeToLegendre, FixedDegreesExactly) {
    const auto one = csr_to_triplets(transformation(1, 2));
    EXPECT_EQ(one.row_indices, (Sizes{0, 0, 1, 1, 2, 2, 3, 3}));
    EXPECT_EQ(one.col_indices, (Sizes{0, 1, 1, 2, 0, 1, 1, 2}));
    EXPECT_EQ(one.values, (Values{0.5, 0.5, 0.5, 0.5, -0.5, 0.5, -0.5, 0.5}));
    const auto two = csr_to_triplets(transformation(2, 1));
    EXPECT_EQ(two.row_indices, (Sizes{0, 0, 0, 1, 1, 1, 2, 2, 2}));
    EXPECT_EQ(two.col_indices, (Sizes{0, 1, 2, 0, 1, 2, 0, 1, 2}));
    EXPECT_EQ(two.values, (Values{0.16666666666666666, 0.6666666666666666, 0.16666666666666666,
                                  -0.5, 0.0, 0.5,
                                  0.3333333333333333, -0.6666666666666666, 0.3333333333333333}));
    EXPECT_FALSE(std::signbit(two.values[4]));
}

TEST(LagrangeToLegendre, DegreeThreeFractions) {
    const Values expected[4] = {{1 / 8., 3 / 8., 3 / 8., 1 / 8.},
                                {-11 / 40., -27 / 40., 27 / 40., 11 / 40.},
                                {3 / 8., -3 / 8., -3 / 8., 3 / 8.},
                                {-9 / 40., 27 / 40., -27 / 40., 9 / 40.}};
    for (std::size_t a = 0; a < 4; ++a) {
        const Values column = g_column(3, a);
        ASSERT_EQ(column.size(), 4u);
        for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(column[i], expected[a][i], 4e-16) << a << i;
    }
    const CsrMatrix m = transformation(3, 2);
    EXPECT_EQ(m.nrows(), 8u);
    EXPECT_EQ(m.ncols(), 7u);
    EXPECT_EQ(m.nnz(), 32u);
}

// G W = I with W(j, i) = P_j(xi_i) from the library's own Legendre functions; the assembled
// matrix holds G(i, a) at (a*n_t + k, k*d + i) and is independent of T.
TEST(LagrangeToLegendre, InvertsLegendreVandermonde) {
    for (std::size_t d : {3, 4, 5, 6, 8}) {
        std::vector<Values> G;
        for (std::size_t a = 0; a <= d; ++a) G.push_back(g_column(d, a));
        for (std::size_t a = 0; a <= d; ++a)
            for (std::size_t j = 0; j <= d; ++j) {
                double sum = 0.0;
                for (std::size_t i = 0; i <= d; ++i)
                    sum += G[a][i] * std::legendre(unsigned(j), -1.0 + 2.0 * double(i) / double(d));
                EXPECT_NEAR(sum, a == j ? 1.0 : 0.0, 1e-12) << d << a << j;
            }
        const std::size_t n_t = 3;
        const CsrMatrix m = transformation(d, n_t);
        EXPECT_EQ(m.nnz(), (d + 1) * (d + 1) * n_t);
        m.for_each([&](std::size_t r, std::size_t c, double v) {
            const std::size_t a = r / n_t, k = r % n_t;
            ASSERT_GE(c, k * d);
            EXPECT_EQ(v, G[a][c - k * d]);
        });
        EXPECT_EQ(csr_to_triplets(m).values,
                  csr_to_triplets(transformation(d, n_t, -7.5)).values);
    }
}

TEST(LagrangeToLegendre, EmptyPartitionAndFaults) {
    const CsrMatrix empty = transformation(3, 0);
    EXPECT_EQ(empty.nrows(), 0u);
    EXPECT_EQ(empty.ncols(), 1u);
    EXPECT_TRUE(csr_to_triplets(empty).row_indices.empty());
    const std::string degree0 = "Lagrange to Legendre conversion not meaningful for degree 0";
    EXPECT_EQ(fault_message([] { transformation(0, 4); }), degree0);
    EXPECT_EQ(fault_message([] { transformation(0, 0); }), degree0);
    EXPECT_EQ(fault_message([] { legendre_block(0, 1, 5); }),
              degree0);  // G comes before the range check
    EXPECT_EQ(fault_message([] { legendre_block(2, 1, 3); }),
              "Matrix slicing out of bounds.");
    EXPECT_EQ(fault_message([] { transformation(kMax, 0); }),
              "capacity overflow");
}

TEST(DenseInverse, InvertsWithPivotingAndReportsBreakdown) {
    for (std::size_t n : {4, 5, 7}) {
        Values a(n * n);  // a zero leading entry forces a row exchange
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j)
                a[i * n + j] = i + j == 0 ? 0.0 : 1.0 / double(i + j + 1) + (i == j ? 1.0 : 0.0);
        const auto inverse = invert_dense(a, n);
        ASSERT_TRUE(inverse.has_value());
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) {
                double sum = 0.0;
                for (std::size_t q = 0; q < n; ++q) sum += a[i * n + q] * (*inverse)[q * n + j];
                EXPECT_NEAR(sum, i == j ? 1.0 : 0.0, 1e-13) << n << i << j;
            }
        for (std::size_t i = 0; i < n; ++i) a[i * n + n - 1] = 0.0;  // a zero column
        EXPECT_FALSE(invert_dense(a, n).has_value()) << n;
    }
}

}  // namespace
}  // namespace pwpoly::piecewise_polynomials
