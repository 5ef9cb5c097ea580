#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include "piecewise_polynomials/mod.hpp"
#include "sparse_matrix_tools/csr_matrix.hpp"
#include "support.hpp"

namespace {

using pwpoly::piecewise_polynomials::LagrangeBasis;
using pwpoly::sparse_matrix_tools::CsrMatrix;
using pwpoly::testing_support::bits;
using pwpoly::testing_support::fault_message;
using pwpoly::testing_support::random_below;
namespace pp = pwpoly::piecewise_polynomials;

// The partitions of the scalar face's operators: n equal intervals (of [0, 1]; they take no T).
pp::UniformPartition U(std::size_t n) { return {1.0, n}; }

// Compressed-row arrays of a block of rows, offsets starting at `base`.
template <class Index>
struct Block {
    std::vector<Index> indptr;
    std::vector<Index> indices;
    std::vector<double> data;
};

// Rows [first, last) of `whole`, offsets shifted to start at base: what a block must hold.
template <class Index>
void expect_rows_of(const CsrMatrix& whole, std::size_t first, std::size_t last, std::size_t base,
                    const Block<Index>& block, std::size_t nnz) {
    const auto& offsets = whole.row_offsets();
    const std::size_t start = offsets[first];
    ASSERT_EQ(block.indptr.size(), last - first + 1);
    ASSERT_EQ(nnz, offsets[last] - start);
    for (std::size_t r = first; r <= last; ++r)
        ASSERT_EQ(static_cast<std::size_t>(block.indptr[r - first]), base + offsets[r] - start) << r;
    for (std::size_t p = 0; p < nnz; ++p) {
        ASSERT_EQ(static_cast<std::size_t>(block.indices[p]), whole.col_indices()[start + p]) << p;
        ASSERT_EQ(bits(block.data[p]), bits(whole.values()[start + p])) << p;
    }
}

// A block of rows [0, rows) (offsets from 0, nnz entries) of ncols columns as a CsrMatrix: the
// whole operator.
template <class Index>
CsrMatrix as_matrix(const Block<Index>& block, std::size_t nnz, std::size_t ncols) {
    std::vector<std::size_t> offsets(block.indptr.begin(), block.indptr.end());
    std::vector<std::size_t> columns(block.indices.begin(), block.indices.begin() + static_cast<std::ptrdiff_t>(nnz));
    std::vector<double> values(block.data.begin(), block.data.begin() + static_cast<std::ptrdiff_t>(nnz));
    return CsrMatrix::from_sorted_rows(ncols, std::move(offsets), std::move(columns), std::move(values));
}

template <class Index>
Block<Index> prolongation_block(std::size_t d, std::size_t nc, std::size_t nf, std::size_t first, std::size_t last,
                                std::size_t base, std::size_t& nnz) {
    const std::size_t room = pp::prolongation_rows_room(d, U(nc), U(nf), first, last);
    Block<Index> block{std::vector<Index>(last - first + 1), std::vector<Index>(room), std::vector<double>(room)};
    block.indptr[0] = static_cast<Index>(base);
    nnz = pp::prolongation_rows<pp::UniformPartition, pp::UniformPartition, Index>(d, U(nc), U(nf), first, last, block.indptr, block.indices, block.data);
    return block;
}

// Every range of rows, at any offset, holds the rows of the whole matrix bit for bit.
template <class Index>
void check_prolongation_ranges(std::mt19937_64& rng) {
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t d = 1 + random_below(rng, 6);
        const std::size_t nc = 1 + random_below(rng, 25);
        const std::size_t nf = 1 + random_below(rng, 25);
        const std::size_t rows = nf * d + 1;
        std::size_t all = 0;
        const Block<Index> whole_block = prolongation_block<Index>(d, nc, nf, 0, rows, 0, all);
        const CsrMatrix whole = as_matrix(whole_block, all, nc * d + 1);
        std::size_t first = random_below(rng, rows + 1);
        std::size_t last = random_below(rng, rows + 1);
        if (first > last) std::swap(first, last);
        const std::size_t base = random_below(rng, 1000);
        std::size_t nnz = 0;
        const Block<Index> block = prolongation_block<Index>(d, nc, nf, first, last, base, nnz);
        SCOPED_TRACE(testing::Message() << d << " " << nc << " " << nf << " [" << first << ", " << last << ")");
        expect_rows_of(whole, first, last, base, block, nnz);
    }
}

TEST(ProlongationRows, AreTheRowsOfTheWholeMatrix) {
    std::mt19937_64 rng(11);
    check_prolongation_ranges<std::int32_t>(rng);
    check_prolongation_ranges<std::int64_t>(rng);
}

// Consecutive blocks chained through their offsets make the whole matrix, each row once.
TEST(ProlongationRows, ChainedBlocksMakeTheWhole) {
    const std::size_t d = 3, nc = 5, nf = 12;
    const std::size_t rows = nf * d + 1;
    std::size_t all = 0;
    const Block<std::int64_t> whole_block = prolongation_block<std::int64_t>(d, nc, nf, 0, rows, 0, all);
    const CsrMatrix whole = as_matrix(whole_block, all, nc * d + 1);
    for (const std::size_t parts : {1u, 2u, 5u, 12u}) {
        std::size_t base = 0;
        for (std::size_t j = 0; j < parts; ++j) {
            // The points of intervals [j nf / parts, (j + 1) nf / parts), the last slab with T.
            const std::size_t first = j * nf / parts * d;
            const std::size_t last = j + 1 == parts ? rows : (j + 1) * nf / parts * d;
            std::size_t nnz = 0;
            const Block<std::int64_t> block = prolongation_block<std::int64_t>(d, nc, nf, first, last, base, nnz);
            expect_rows_of(whole, first, last, base, block, nnz);
            base += nnz;
        }
        EXPECT_EQ(base, whole.nnz());
    }
}

TEST(ProlongationRows, RoomCountsCoincidentRowsOnce) {
    // Ratio 1: every row coincides, one entry each.
    EXPECT_EQ(pp::prolongation_rows_room(3, U(4), U(4), 0, 13), 13u);
    EXPECT_EQ(pp::prolongation_rows_room(3, U(4), U(4), 5, 9), 4u);
    // 2 -> 3 intervals of degree 1: rows 0 and 3 (and 6) coincide; rows 1 and 2 take two entries.
    EXPECT_EQ(pp::prolongation_rows_room(1, U(2), U(3), 0, 4), 1u + 2u + 2u + 1u);
    EXPECT_EQ(pp::prolongation_rows_room(1, U(2), U(3), 1, 3), 4u);
    EXPECT_EQ(pp::prolongation_rows_room(1, U(2), U(3), 2, 2), 0u);
}

TEST(ProlongationRows, Faults) {
    std::vector<std::int32_t> indptr(3), indices(8);
    std::vector<double> data(8);
    EXPECT_EQ(fault_message([&] { pp::prolongation_rows<pp::UniformPartition, pp::UniformPartition, std::int32_t>(0, U(1), U(1), 0, 2, indptr, indices, data); }),
              "Lagrange prolongation requires polynomial degree at least 1");
    EXPECT_EQ(fault_message([&] { pp::prolongation_rows<pp::UniformPartition, pp::UniformPartition, std::int32_t>(1, U(2), U(2), 2, 4, indptr, indices, data); }),
              "prolongation rows: range outside the operator's rows");
    EXPECT_EQ(fault_message([&] { pp::prolongation_rows_room(1, U(2), U(2), 2, 1); }),
              "prolongation rows: range outside the operator's rows");
    EXPECT_EQ(fault_message([&] { pp::prolongation_rows<pp::UniformPartition, pp::UniformPartition, std::int32_t>(1, U(2), U(3), 0, 3, indptr, indices, data); }),
              "prolongation rows: buffer sizes do not match");
    indptr[0] = std::numeric_limits<std::int32_t>::max() - 2;
    EXPECT_EQ(fault_message([&] { pp::prolongation_rows<pp::UniformPartition, pp::UniformPartition, std::int32_t>(1, U(2), U(3), 0, 2, indptr, indices, data); }),
              "prolongation rows: index type too narrow");
    indptr[0] = 0;
    EXPECT_EQ(fault_message([&] { pp::prolongation_rows<pp::UniformPartition, pp::UniformPartition, std::int32_t>(1, U(2), U(3), 0, 2, indptr, indices, data); }),
              "<no fault>");
}

template <class Index>
void check_to_legendre_ranges(std::mt19937_64& rng) {
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t d = 1 + random_below(rng, 7);
        const std::size_t n_t = 1 + random_below(rng, 20);
        const std::size_t rows = (d + 1) * n_t;
        Block<Index> all{std::vector<Index>(rows + 1), std::vector<Index>(rows * (d + 1)),
                         std::vector<double>(rows * (d + 1))};
        pp::lagrange_to_legendre_rows<Index>(d, n_t, 0, rows, all.indptr, all.indices, all.data);
        const CsrMatrix whole = as_matrix(all, rows * (d + 1), n_t * d + 1);
        std::size_t first = random_below(rng, rows + 1);
        std::size_t last = random_below(rng, rows + 1);
        if (first > last) std::swap(first, last);
        const std::size_t base = random_below(rng, 1000);
        const std::size_t nnz = (last - first) * (d + 1);
        Block<Index> block{std::vector<Index>(last - first + 1), std::vector<Index>(nnz), std::vector<double>(nnz)};
        block.indptr[0] = static_cast<Index>(base);
        pp::lagrange_to_legendre_rows<Index>(d, n_t, first, last, block.indptr, block.indices, block.data);
        SCOPED_TRACE(testing::Message() << d << " " << n_t << " [" << first << ", " << last << ")");
        expect_rows_of(whole, first, last, base, block, nnz);
    }
}

TEST(LagrangeToLegendreRows, AreTheRowsOfTheWholeMatrix) {
    std::mt19937_64 rng(12);
    check_to_legendre_ranges<std::int32_t>(rng);
    check_to_legendre_ranges<std::int64_t>(rng);
}

TEST(LagrangeToLegendreRows, Faults) {
    std::vector<std::int32_t> indptr(2), indices(3);
    std::vector<double> data(3);
    EXPECT_EQ(fault_message([&] { pp::lagrange_to_legendre_rows<std::int32_t>(2, 3, 8, 10, indptr, indices, data); }),
              "Lagrange to Legendre rows: range outside the matrix's rows");
    EXPECT_EQ(fault_message([&] { pp::lagrange_to_legendre_rows<std::int32_t>(2, 3, 7, 9, indptr, indices, data); }),
              "batch kernel: buffer sizes do not match");
    EXPECT_EQ(fault_message([&] { pp::lagrange_to_legendre_rows<std::int32_t>(2, 3, 8, 9, indptr, indices, data); }),
              "<no fault>");
    EXPECT_EQ(indices, (std::vector<std::int32_t>{4, 5, 6}));  // row 2 n_t + 2: interval 2, columns 4 ... 6
}

// The mass matrix's row blocks against the whole matrix (whose arrays are the block of all rows).
TEST(LagrangeMassRows, AreTheRowsOfTheWholeMatrix) {
    std::mt19937_64 rng(13);
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t d = 1 + random_below(rng, 6);
        const std::size_t n_t = 1 + random_below(rng, 20);
        const double T = 0.5 + static_cast<double>(random_below(rng, 7));
        const std::size_t rows = n_t * d + 1;
        const std::size_t all = pp::lagrange_mass_rows_nnz(d, n_t, 0, rows);
        ASSERT_EQ(all, n_t * (d + 1) * (d + 1) - (n_t - 1));
        std::vector<std::size_t> offsets(rows + 1);
        std::vector<std::int64_t> indptr(rows + 1), indices(all);
        std::vector<double> data(all);
        pp::lagrange_mass_rows<pp::UniformPartition, std::int64_t>(d, {T, n_t}, 0, rows, indptr, indices, data);
        for (std::size_t r = 0; r <= rows; ++r) offsets[r] = static_cast<std::size_t>(indptr[r]);
        std::vector<std::size_t> columns(indices.begin(), indices.end());
        const CsrMatrix whole = CsrMatrix::from_sorted_rows(rows, std::move(offsets), std::move(columns), data);

        std::size_t first = random_below(rng, rows + 1);
        std::size_t last = random_below(rng, rows + 1);
        if (first > last) std::swap(first, last);
        const std::size_t nnz = pp::lagrange_mass_rows_nnz(d, n_t, first, last);
        Block<std::int32_t> block{std::vector<std::int32_t>(last - first + 1), std::vector<std::int32_t>(nnz),
                                  std::vector<double>(nnz)};
        const std::size_t base = random_below(rng, 1000);
        block.indptr[0] = static_cast<std::int32_t>(base);
        pp::lagrange_mass_rows<pp::UniformPartition, std::int32_t>(d, {T, n_t}, first, last, block.indptr,
                                                                  block.indices, block.data);
        SCOPED_TRACE(testing::Message() << d << " " << n_t << " [" << first << ", " << last << ")");
        expect_rows_of(whole, first, last, base, block, nnz);
    }
}

TEST(LagrangeMassRows, Faults) {
    std::vector<std::int32_t> indptr(2), indices(3);
    std::vector<double> data(3);
    EXPECT_EQ(fault_message([&] { pp::lagrange_mass_rows_nnz(2, 3, 5, 8); }),
              "Lagrange mass rows: range outside the matrix's rows");
    EXPECT_EQ(fault_message([&] { pp::lagrange_mass_rows<pp::UniformPartition, std::int32_t>(2, U(3), 1, 2, indptr, indices, data); }),
              "<no fault>");
    EXPECT_EQ(fault_message([&] { pp::lagrange_mass_rows<pp::UniformPartition, std::int32_t>(2, U(3), 2, 3, indptr, indices, data); }),
              "Lagrange mass rows: buffer sizes do not match");  // a shared node: 5 entries
}

// Breakpoints t0 + (t1 - t0) (k / n)^power, the last one t1 itself.
std::vector<double> graded(std::size_t n, double t0, double t1, int power) {
    std::vector<double> b(n + 1);
    for (std::size_t k = 0; k < n; ++k) b[k] = t0 + (t1 - t0) * std::pow(static_cast<double>(k) / static_cast<double>(n), power);
    b[n] = t1;
    return b;
}

// Each coarse interval cut into `parts` equal pieces: a refinement whose breakpoints include the
// coarse ones bit for bit.
std::vector<double> refined(const std::vector<double>& coarse, std::size_t parts) {
    std::vector<double> b;
    for (std::size_t k = 0; k + 1 < coarse.size(); ++k)
        for (std::size_t j = 0; j < parts; ++j)
            b.push_back(coarse[k] + (coarse[k + 1] - coarse[k]) * (static_cast<double>(j) / static_cast<double>(parts)));
    b.push_back(coarse.back());
    return b;
}

template <class C, class F>
CsrMatrix prolongation(std::size_t d, const C& coarse, const F& fine, std::size_t first, std::size_t last) {
    const std::size_t room = pp::prolongation_rows_room(d, coarse, fine, first, last);
    std::vector<std::int64_t> indptr(last - first + 1), indices(room);
    std::vector<double> data(room);
    const std::size_t nnz = pp::prolongation_rows<C, F, std::int64_t>(d, coarse, fine, first, last, indptr, indices, data);
    indices.resize(nnz);
    data.resize(nnz);
    return CsrMatrix::from_sorted_rows(coarse.n_intervals() * d + 1, std::vector<std::size_t>(indptr.begin(), indptr.end()),
                                       std::vector<std::size_t>(indices.begin(), indices.end()), std::move(data));
}

std::vector<double> dense_of(const CsrMatrix& matrix) {
    std::vector<double> dense(matrix.nrows() * matrix.ncols(), 0.0);
    matrix.for_each([&](std::size_t r, std::size_t c, double v) { dense[r * matrix.ncols() + c] = v; });
    return dense;
}

template <class P>
std::vector<double> points_of(const P& partition, std::size_t d) {
    std::vector<double> points(partition.n_intervals() * d + 1);
    pp::lagrange_points(partition, d, 0, points.size(), points);
    return points;
}

// Between graded partitions (nested or not, starts other than 0): polynomials of the degree are
// reproduced; a fine node equal to a coarse node bit for bit is the single entry 1.0; blocks of
// rows chain into the whole.
TEST(PartitionProlongation, ReproducesPolynomialsAndKeepsCoincidentNodes) {
    std::mt19937_64 rng(31);
    for (int trial = 0; trial < 60; ++trial) {
        const std::size_t d = 1 + random_below(rng, 5);
        const std::size_t nc = 1 + random_below(rng, 12);
        const double t0 = -1.0 + static_cast<double>(random_below(rng, 3));
        const std::vector<double> cb = graded(nc, t0, t0 + 2.5, 2 + static_cast<int>(random_below(rng, 2)));
        const std::vector<double> fb = trial % 2 == 0 ? refined(cb, 1 + random_below(rng, 3))
                                                      : graded(1 + random_below(rng, 20), t0, t0 + 2.5, 3);
        const pp::BreakpointPartition coarse(cb), fine(fb);
        const std::size_t rows = fine.n_intervals() * d + 1;
        const CsrMatrix P = prolongation(d, coarse, fine, 0, rows);
        const std::vector<double> xc = points_of(coarse, d), xf = points_of(fine, d);
        SCOPED_TRACE(testing::Message() << "trial " << trial << ", degree " << d);
        for (std::size_t power = 0; power <= d; ++power) {
            std::vector<double> interpolated(rows, 0.0);
            P.for_each([&](std::size_t r, std::size_t c, double v) { interpolated[r] += v * std::pow(xc[c], power); });
            for (std::size_t r = 0; r < rows; ++r) {
                ASSERT_NEAR(interpolated[r], std::pow(xf[r], power), 1e-12 * (1.0 + std::pow(4.0, power))) << r;
            }
        }
        std::size_t coincident = 0;
        for (std::size_t r = 0; r < rows; ++r) {
            const auto c = std::find(xc.begin(), xc.end(), xf[r]);
            if (c == xc.end()) continue;
            ++coincident;
            const std::size_t start = P.row_offsets()[r];
            ASSERT_EQ(P.row_offsets()[r + 1], start + 1) << r;
            ASSERT_EQ(P.col_indices()[start], static_cast<std::size_t>(c - xc.begin()));
            ASSERT_EQ(P.values()[start], 1.0);
        }
        if (trial % 2 == 0) {
            EXPECT_GE(coincident, nc + 1);  // at least the coarse breakpoints
        }
        for (std::size_t first = 0; first < rows;) {
            const std::size_t last = std::min(rows, first + 1 + random_below(rng, 5));
            const CsrMatrix block = prolongation(d, coarse, fine, first, last);
            ASSERT_EQ(block.nnz(), P.row_offsets()[last] - P.row_offsets()[first]);
            for (std::size_t p = 0; p < block.nnz(); ++p) {
                ASSERT_EQ(block.col_indices()[p], P.col_indices()[P.row_offsets()[first] + p]);
                ASSERT_EQ(bits(block.values()[p]), bits(P.values()[P.row_offsets()[first] + p]));
            }
            first = last;
        }
    }
}

// Breakpoints with the values of a uniform partition give its operators (to 1e-13), in either
// role and mixed with a uniform partition.
TEST(PartitionProlongation, UniformValuesGiveTheUniformOperator) {
    for (std::size_t d = 1; d <= 4; ++d) {
        for (const auto& [nc, nf] : {std::pair<std::size_t, std::size_t>{3, 7}, {4, 8}, {5, 5}, {6, 4}}) {
            const pp::UniformPartition uc(1.0, nc), uf(1.0, nf);
            std::vector<double> cb(nc + 1), fb(nf + 1);
            for (std::size_t k = 0; k <= nc; ++k) cb[k] = k == nc ? 1.0 : uc.boundary(k);
            for (std::size_t k = 0; k <= nf; ++k) fb[k] = k == nf ? 1.0 : uf.boundary(k);
            const std::size_t rows = nf * d + 1;
            const auto expected = dense_of(prolongation(d, uc, uf, 0, rows));
            for (const auto& got : {prolongation(d, pp::BreakpointPartition(cb), pp::BreakpointPartition(fb), 0, rows),
                                    prolongation(d, uc, pp::BreakpointPartition(fb), 0, rows),
                                    prolongation(d, pp::BreakpointPartition(cb), uf, 0, rows)}) {
                const auto dense = dense_of(got);
                ASSERT_EQ(dense.size(), expected.size());
                for (std::size_t p = 0; p < dense.size(); ++p) {
                    ASSERT_NEAR(dense[p], expected[p], 1e-13) << p;
                }
            }
        }
    }
}

// The nodes on breakpoints are the breakpoints, bit for bit, and the nodes increase strictly.
TEST(LagrangePoints, BreakpointsAreNodes) {
    for (std::size_t d = 1; d <= 6; ++d) {
        const std::vector<double> b = graded(9, -0.75, 3.0, 3);
        const std::vector<double> x = points_of(pp::BreakpointPartition(b), d);
        for (std::size_t k = 0; k < b.size(); ++k) ASSERT_EQ(bits(x[k * d]), bits(b[k]));
        for (std::size_t r = 1; r < x.size(); ++r) ASSERT_LT(x[r - 1], x[r]);
    }
}

}  // namespace
