#include <gtest/gtest.h>
#include "support.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "common/fault.hpp"
#include "piecewise_polynomials/coincidence.hpp"
#include "piecewise_polynomials/dense_inverse.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"
#include "piecewise_polynomials/partition.hpp"
#include "sparse_matrix_tools/block_grid.hpp"
#include "sparse_matrix_tools/csr_matrix.hpp"

namespace pwpoly::piecewise_polynomials {
namespace {

using sparse_matrix_tools::csr_block_from_ndarray;
using sparse_matrix_tools::csr_to_triplets;
using sparse_matrix_tools::CsrMatrix;
using Sizes = std::vector<std::size_t>;
using Values = std::vector<double>;
constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

using testing_support::bits;
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

struct ProlongationCase {
    std::size_t nc, nf, d;
    Sizes rows, cols;
    Values values;
};
void PrintTo(const ProlongationCase& c, std::ostream* os) { *os << "(" << c.nc << ", " << c.nf << ", " << c.d << ")"; }
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
INSTANTIATE_TEST_SUITE_P(
    Lagrange, ProlongationExample,
    testing::Values(
        ProlongationCase{2, 4, 1, {0, 1, 1, 2, 3, 3, 4}, {0, 0, 1, 1, 1, 2, 2}, {1.0, 0.5, 0.5, 1.0, 0.5, 0.5, 1.0}},
        ProlongationCase{1, 2, 1, {0, 1, 1, 2}, {0, 0, 1, 1}, {1.0, 0.5, 0.5, 1.0}},
        ProlongationCase{
            1,
            2,
            2,
            {0, 1, 1, 1, 2, 3, 3, 3, 4},
            {0, 0, 1, 2, 1, 0, 1, 2, 2},
            {1.0, 0.375, 0.75, -0.125, 1.0, -0.12499999999999999, 0.7499999999999999, 0.37499999999999994, 1.0}},
        ProlongationCase{2,
                         3,
                         1,
                         {0, 1, 1, 2, 2, 3},
                         {0, 0, 1, 1, 2, 2},
                         {1.0, 0.3333333333333333, 0.6666666666666665, 0.6666666666666667, 0.3333333333333332, 1.0}},
        // Values of this one are not listed; they are checked by polynomial reproduction below.
        ProlongationCase{3, 2, 2, {0, 1, 1, 1, 2, 3, 3, 3, 4}, {0, 0, 1, 2, 3, 4, 5, 6, 6}, {}}));

// Every operator result passes the full validity checks (the trusted constructor runs only the
// O(1) ones in release builds).
void expect_valid(const CsrMatrix& m) {
    const auto checked =
        CsrMatrix::try_from_csr_data(m.nrows(), m.ncols(), m.row_offsets(), m.col_indices(), m.values());
    ASSERT_TRUE(std::holds_alternative<CsrMatrix>(checked))
        << std::get<sparse_matrix_tools::SparseFormatError>(checked).debug();
}

TEST(Prolongation, EqualCountsGiveTheIdentity) {
    // 39 -> 39 at degree 5 used to miss row 192: its local coordinate -0.19999999999998863 is
    // further than 1e-14 from the node -0.19999999999999996.
    for (std::size_t d = 1; d <= 7; ++d)
        for (std::size_t n : {1u, 2u, 3u, 39u, 97u, 1000u}) {
            const CsrMatrix m = prolongation(n, n, d);
            ASSERT_EQ(m.nrows(), n * d + 1);
            ASSERT_EQ(m.nnz(), n * d + 1) << n << " " << d;
            m.for_each([](std::size_t r, std::size_t c, double v) {
                EXPECT_EQ(c, r);
                EXPECT_EQ(v, 1.0);
            });
        }
    EXPECT_EQ(prolongation(39, 39, 5).nnz(), 196u);
}

// Rows of fine points that lie exactly on coarse points (r*n_c = c*n_f) are the single entry
// (r, c, 1.0); at 10^5 -> 2*10^5 intervals of degree 3 the tolerance test alone missed more
// and more of them as s grew. Every other row keeps its d + 1 interpolation weights. (Arrays
// of this size are also large enough to be given huge pages.)
TEST(Prolongation, ExactlyCoincidentRowsAreUnitRows) {
    const std::size_t n = 100000, d = 3;
    const CsrMatrix m = prolongation(n, 2 * n, d);
    expect_valid(m);
    ASSERT_EQ(m.nnz(), 15 * n + 1);  // 3n + 1 unit rows, 3n rows of four weights
    for (std::size_t r = 0; r <= 2 * n * d; ++r) {
        const std::size_t begin = m.row_offsets()[r], end = m.row_offsets()[r + 1];
        if (r % 2 == 0) {
            ASSERT_EQ(end - begin, 1u) << r;
            EXPECT_EQ(m.col_indices()[begin], r / 2);
            EXPECT_EQ(m.values()[begin], 1.0);
        } else {
            ASSERT_EQ(end - begin, 4u) << r;
            EXPECT_EQ(m.col_indices()[begin] % d, 0u);
        }
    }
}

// Every row bit for bit as the documented steps give it, the row worked out afresh each time:
// counts with many distinct local coordinates, so rows that share one (and the operator's
// reuse of their values) meet rows that do not.
TEST(Prolongation, RowsFollowTheDocumentedStepsBitForBit) {
    for (const auto& [nc, nf, d] : {std::tuple<std::size_t, std::size_t, std::size_t>{97, 1000, 4},
                                    {1000, 7, 3},
                                    {13, 17, 6},
                                    {300, 700, 2},
                                    {5, 3, 9},
                                    {3, 2, 70}}) {
        const std::vector<double> x = reference_nodes(d);
        std::vector<double> w(d + 1);
        for (std::size_t i = 0; i <= d; ++i) {
            double L = 1.0;
            for (std::size_t j = 0; j <= d; ++j)
                if (j != i) L = L * (x[i] - x[j]);
            w[i] = 1.0 / L;
        }
        const CsrMatrix m = prolongation(nc, nf, d);
        const std::size_t N_f = nf * d;
        for (std::size_t r = 0; r <= N_f; ++r) {
            std::vector<std::pair<std::size_t, std::uint64_t>> expected;
            if (r * nc % nf == 0) {
                expected.push_back({r * nc / nf, bits(1.0)});
            } else {
                const double s = (double(r) / double(N_f)) * double(nc);
                const std::size_t k = std::min(std::size_t(std::floor(s)), nc - 1);
                const double e = ((s - double(k)) + (s - double(k))) + (-1.0);
                std::vector<double> v(d + 1, 0.0);
                std::size_t j = 0;
                while (j <= d && !(std::fabs(e - x[j]) < 1e-14)) ++j;
                if (j <= d) {
                    v[j] = 1.0;
                } else {
                    double sum = 0.0;
                    for (j = 0; j <= d; ++j) sum = sum + (v[j] = w[j] / (e - x[j]));
                    for (double& value : v) value = value / sum;
                }
                for (j = 0; j <= d; ++j)
                    if (v[j] != 0.0) expected.push_back({k * d + j, bits(v[j])});
            }
            std::vector<std::pair<std::size_t, std::uint64_t>> got;
            for (std::size_t p = m.row_offsets()[r]; p < m.row_offsets()[r + 1]; ++p)
                got.push_back({m.col_indices()[p], bits(m.values()[p])});
            ASSERT_EQ(got, expected) << nc << " " << nf << " " << d << " row " << r;
        }
    }
}

// The integer test against products formed in a type twice as wide as the size type, also for
// counts whose product r*n_c does not fit the size type.
TEST(Prolongation, CoincidenceNeedsNoWideProduct) {
#if defined(__SIZEOF_INT128__) && SIZE_MAX > UINT32_MAX
    __extension__ typedef unsigned __int128 Wide;
#else
    using Wide = std::uint64_t;
    static_assert(sizeof(Wide) >= 2 * sizeof(std::size_t));
#endif
    const std::size_t big = kMax / 6;  // n_c * d and n_f * d fit for d <= 6
    const std::pair<std::size_t, std::size_t> counts[] = {{big, big},
                                                          {big, big - 1},
                                                          {big / 3 * 2, big / 3},
                                                          {big / 5 * 3, big / 5 * 4},
                                                          {7, big / 7 * 7},
                                                          {big - big % 12, 12},
                                                          {1, 1},
                                                          {6, 4},
                                                          {4, 6}};
    for (const auto& [n_c, n_f] : counts) {
        const PointCoincidence coincidence(n_c, n_f);
        const std::size_t last = n_f * 6;
        for (std::size_t r : {std::size_t{0}, std::size_t{1}, n_f / 2, n_f, n_f + 1, 2 * n_f, last / 3,
                              last - coincidence.fine_period, last - 1, last}) {
            const Wide product = Wide{r} * Wide{n_c};
            const auto c = coincidence.coarse_point(r);
            ASSERT_EQ(c.has_value(), product % n_f == 0) << n_c << " " << n_f << " " << r;
            if (c) {
                EXPECT_EQ(Wide{*c}, product / n_f);
            }
        }
        EXPECT_EQ(coincidence.below(last + 1), 6 * std::gcd(n_c, n_f) + 1);
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
                expect_valid(m);
                std::vector<double> fine(m.nrows(), 0.0);
                m.for_each(
                    [&](std::size_t r, std::size_t c, double v) { fine[r] += v * f(double(c) / double(nc * d)); });
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

// Degree 0 gives every interval no node of its own: the largest interval count whose list could
// be sized answers at once, one more is refused by size, and the operators built on such a
// basis report their degree fault (these calls would walk ~2^59 intervals otherwise).
TEST(DegreeZero, HugeIntervalCountsAnswerAtOnce) {
    const std::size_t largest = PTRDIFF_MAX / sizeof(Interval);
    EXPECT_EQ(LagrangeBasis(0, largest, 2.0).points(), (Values{2.0}));
    EXPECT_EQ(fault_message([&] { LagrangeBasis(0, largest + 1, 2.0); }), "capacity overflow");
    EXPECT_EQ(fault_message([&] { prolongation(largest, 1, 0); }),
              "Lagrange prolongation requires polynomial degree at least 1");
    EXPECT_EQ(fault_message([&] { transformation(0, largest); }),
              "Lagrange to Legendre conversion not meaningful for degree 0");
    EXPECT_EQ(fault_message([&] { transformation(0, largest + 1); }), "capacity overflow");
}

// The operators read only the counts of a basis, so a coarse basis of ~2^59 points (2^27 on
// 32 bits) costs nothing until its points are asked for: the fine-interval fault comes at once,
// and one fine interval gives its two unit rows.
TEST(Prolongation, HugeCoarseBasisIsNotFormed) {
    const std::size_t largest = PTRDIFF_MAX / sizeof(Interval);
    EXPECT_EQ(LagrangeBasis(1, largest, 1.0).n_points(), largest + 1);
    EXPECT_EQ(fault_message([&] { prolongation(largest, 0, 1); }),
              "Lagrange prolongation requires at least one fine interval");
    const CsrMatrix m = prolongation(largest, 1, 1);
    EXPECT_EQ(m.ncols(), largest + 1);
    EXPECT_EQ(m.entries(), (std::vector<CsrMatrix::Entry>{{0, 0, 1.0}, {1, largest, 1.0}}));
}

// Column a of G, read from row 0 of the degree-a block of a one-interval basis.
std::vector<double> g_column(std::size_t degree, std::size_t a) { return legendre_block(degree, 1, a).values(); }

TEST(LagrangeToLegendre, FixedDegreesExactly) {
    const auto one = csr_to_triplets(transformation(1, 2));
    EXPECT_EQ(one.row_indices, (Sizes{0, 0, 1, 1, 2, 2, 3, 3}));
    EXPECT_EQ(one.col_indices, (Sizes{0, 1, 1, 2, 0, 1, 1, 2}));
    EXPECT_EQ(one.values, (Values{0.5, 0.5, 0.5, 0.5, -0.5, 0.5, -0.5, 0.5}));
    const auto two = csr_to_triplets(transformation(2, 1));
    EXPECT_EQ(two.row_indices, (Sizes{0, 0, 0, 1, 1, 1, 2, 2, 2}));
    EXPECT_EQ(two.col_indices, (Sizes{0, 1, 2, 0, 1, 2, 0, 1, 2}));
    EXPECT_EQ(two.values, (Values{0.16666666666666666, 0.6666666666666666, 0.16666666666666666, -0.5, 0.0, 0.5,
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
    for (std::size_t d : {3u, 4u, 5u, 6u, 8u}) {
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
        EXPECT_EQ(csr_to_triplets(m).values, csr_to_triplets(transformation(d, n_t, -7.5)).values);
    }
}

// The transformation written directly equals the per-degree blocks stacked by the block-grid
// assembly, entry for entry and bit for bit.
TEST(LagrangeToLegendre, EqualsStackedBlocks) {
    for (const auto& [d, n_t] : {std::pair<std::size_t, std::size_t>{1, 0},
                                 {1, 1},
                                 {1, 5},
                                 {2, 0},
                                 {2, 5},
                                 {3, 0},
                                 {3, 1},
                                 {3, 5},
                                 {3, 70000},
                                 {4, 5},
                                 {6, 0},
                                 {6, 1},
                                 {6, 5}}) {
        const LagrangeBasis basis(d, n_t, 1.0);
        std::vector<CsrMatrix> blocks;
        std::vector<const CsrMatrix*> refs;
        for (std::size_t a = 0; a <= d; ++a) blocks.push_back(basis.to_legendre_basis_matrix_for_pol_degree(a));
        for (const CsrMatrix& block : blocks) {
            expect_valid(block);
            refs.push_back(&block);
        }
        const CsrMatrix stacked = csr_block_from_ndarray(sparse_matrix_tools::BlockGrid(d + 1, 1, std::move(refs)));
        const CsrMatrix direct = basis.get_transormation_matrix_to_legendre();
        expect_valid(direct);
        EXPECT_EQ(direct.ncols(), stacked.ncols());
        EXPECT_EQ(direct.row_offsets(), stacked.row_offsets());
        EXPECT_EQ(direct.col_indices(), stacked.col_indices());
        ASSERT_EQ(direct.nnz(), stacked.nnz());
        for (std::size_t p = 0; p < direct.nnz(); ++p)
            EXPECT_EQ(bits(direct.values()[p]), bits(stacked.values()[p])) << d << " " << p;
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
    EXPECT_EQ(fault_message([] { legendre_block(2, 1, 3); }), "Matrix slicing out of bounds.");
    EXPECT_EQ(fault_message([] { transformation(kMax, 0); }), "capacity overflow");
}

TEST(DenseInverse, InvertsWithPivotingAndReportsBreakdown) {
    for (std::size_t n : {4u, 5u, 7u}) {
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
