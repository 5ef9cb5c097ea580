#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <span>
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

template <class Index>
Block<Index> prolongation_block(std::size_t d, std::size_t nc, std::size_t nf, std::size_t first, std::size_t last,
                                std::size_t base, std::size_t& nnz) {
    const std::size_t room = pp::prolongation_rows_room(d, nc, nf, first, last);
    Block<Index> block{std::vector<Index>(last - first + 1), std::vector<Index>(room), std::vector<double>(room)};
    block.indptr[0] = static_cast<Index>(base);
    nnz = pp::prolongation_rows<Index>(d, nc, nf, first, last, block.indptr, block.indices, block.data);
    return block;
}

// Every range of rows, at any offset, holds the rows of the whole matrix bit for bit.
template <class Index>
void check_prolongation_ranges(std::mt19937_64& rng) {
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t d = 1 + random_below(rng, 6);
        const std::size_t nc = 1 + random_below(rng, 25);
        const std::size_t nf = 1 + random_below(rng, 25);
        const CsrMatrix whole = LagrangeBasis(d, nc, 1.0).get_prolongation_matrix_to(nf);
        const std::size_t rows = whole.nrows();
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
    const CsrMatrix whole = LagrangeBasis(d, nc, 1.0).get_prolongation_matrix_to(nf);
    const std::size_t rows = whole.nrows();
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
    EXPECT_EQ(pp::prolongation_rows_room(3, 4, 4, 0, 13), 13u);
    EXPECT_EQ(pp::prolongation_rows_room(3, 4, 4, 5, 9), 4u);
    // 2 -> 3 intervals of degree 1: rows 0 and 3 (and 6) coincide; rows 1 and 2 take two entries.
    EXPECT_EQ(pp::prolongation_rows_room(1, 2, 3, 0, 4), 1u + 2u + 2u + 1u);
    EXPECT_EQ(pp::prolongation_rows_room(1, 2, 3, 1, 3), 4u);
    EXPECT_EQ(pp::prolongation_rows_room(1, 2, 3, 2, 2), 0u);
}

TEST(ProlongationRows, Faults) {
    std::vector<std::int32_t> indptr(3), indices(8);
    std::vector<double> data(8);
    EXPECT_EQ(fault_message([&] { pp::prolongation_rows<std::int32_t>(0, 1, 1, 0, 2, indptr, indices, data); }),
              "Lagrange prolongation requires polynomial degree at least 1");
    EXPECT_EQ(fault_message([&] { pp::prolongation_rows<std::int32_t>(1, 2, 2, 2, 4, indptr, indices, data); }),
              "prolongation rows: range outside the operator's rows");
    EXPECT_EQ(fault_message([&] { pp::prolongation_rows_room(1, 2, 2, 2, 1); }),
              "prolongation rows: range outside the operator's rows");
    EXPECT_EQ(fault_message([&] { pp::prolongation_rows<std::int32_t>(1, 2, 3, 0, 3, indptr, indices, data); }),
              "prolongation rows: buffer sizes do not match");
    indptr[0] = std::numeric_limits<std::int32_t>::max() - 2;
    EXPECT_EQ(fault_message([&] { pp::prolongation_rows<std::int32_t>(1, 2, 3, 0, 2, indptr, indices, data); }),
              "prolongation rows: index type too narrow");
    indptr[0] = 0;
    EXPECT_EQ(fault_message([&] { pp::prolongation_rows<std::int32_t>(1, 2, 3, 0, 2, indptr, indices, data); }),
              "<no fault>");
}

template <class Index>
void check_to_legendre_ranges(std::mt19937_64& rng) {
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t d = 1 + random_below(rng, 7);
        const std::size_t n_t = 1 + random_below(rng, 20);
        const CsrMatrix whole = LagrangeBasis(d, n_t, 1.0).get_transormation_matrix_to_legendre();
        const std::size_t rows = whole.nrows();
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
        const std::size_t all = pp::lagrange_mass_matrix_nnz(d, n_t);
        ASSERT_EQ(pp::lagrange_mass_rows_nnz(d, n_t, 0, rows), all);
        std::vector<std::size_t> offsets(rows + 1);
        std::vector<std::int64_t> indptr(rows + 1), indices(all);
        std::vector<double> data(all);
        pp::lagrange_mass_matrix_arrays<std::int64_t>(d, n_t, T, indptr, indices, data);
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
        pp::lagrange_mass_rows<std::int32_t>(d, n_t, T, first, last, block.indptr, block.indices, block.data);
        SCOPED_TRACE(testing::Message() << d << " " << n_t << " [" << first << ", " << last << ")");
        expect_rows_of(whole, first, last, base, block, nnz);
    }
}

TEST(LagrangeMassRows, Faults) {
    std::vector<std::int32_t> indptr(2), indices(3);
    std::vector<double> data(3);
    EXPECT_EQ(fault_message([&] { pp::lagrange_mass_rows_nnz(2, 3, 5, 8); }),
              "Lagrange mass rows: range outside the matrix's rows");
    EXPECT_EQ(fault_message([&] { pp::lagrange_mass_rows<std::int32_t>(2, 3, 1.0, 1, 2, indptr, indices, data); }),
              "<no fault>");
    EXPECT_EQ(fault_message([&] { pp::lagrange_mass_rows<std::int32_t>(2, 3, 1.0, 2, 3, indptr, indices, data); }),
              "batch kernel: buffer sizes do not match");  // a shared node: 5 entries
}

}  // namespace
