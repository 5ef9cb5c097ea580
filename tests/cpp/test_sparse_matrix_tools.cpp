#include <gtest/gtest.h>
#include "support.hpp"

#include <bit>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "common/fault.hpp"
#include "sparse_matrix_tools/mod.hpp"

namespace pwpoly::sparse_matrix_tools {
namespace {

using Entries = std::vector<CsrMatrix::Entry>;
using Sizes = std::vector<std::size_t>;

CooMatrix coo_of(std::size_t nrows, std::size_t ncols, const Entries& entries) {
    CooMatrix coo(nrows, ncols);
    for (const auto& e : entries) coo.push(e.row, e.col, e.value);
    return coo;
}

CsrMatrix csr_of(std::size_t nrows, std::size_t ncols, const Entries& entries) {
    return convert_coo_csr(coo_of(nrows, ncols, entries));
}

using testing_support::fault_message;

using testing_support::bits;

struct PushCase {
    std::size_t i, j;
    const char* message;
};
void PrintTo(const PushCase& c, std::ostream* os) { *os << "push(" << c.i << ", " << c.j << ")"; }
class PushFault : public testing::TestWithParam<PushCase> {};

TEST_P(PushFault, RowTestedFirstAndNothingAppended) {
    CooMatrix coo(2, 5);
    coo.push(1, 4, 1.0);
    const PushCase& c = GetParam();
    EXPECT_EQ(fault_message([&] { coo.push(c.i, c.j, 2.0); }), c.message);
    EXPECT_EQ(coo.nnz(), 1u);
    EXPECT_EQ(coo.row_indices().size(), 1u);
    EXPECT_EQ(coo.col_indices().size(), 1u);
}
INSTANTIATE_TEST_SUITE_P(Sparse, PushFault,
                         testing::Values(PushCase{2, 0, "assertion failed: i < self.nrows"},
                                         PushCase{2, 7, "assertion failed: i < self.nrows"},
                                         PushCase{1, 5, "assertion failed: j < self.ncols"}));

struct CheckCase {
    std::size_t nrows;
    Sizes offsets, cols;
    std::vector<double> values;
    SparseFormatErrorKind kind;
    const char* message;
};
constexpr auto Structure = SparseFormatErrorKind::InvalidStructure;
const char* const kOffsetsLength = "Length of row offset array is not equal to nrows + 1.";
const char* const kOffsetsEnds = "First or last row offset is inconsistent with the CSR format.";
const char* const kOffsetsMonotone = "Row offsets are not monotonically increasing.";
const char* const kColumnsUnique = "Matrix data contains duplicate entries.";
const char* const kColumnsSorted = "Column indices are not monotonically increasing (sorted) within each row.";
const char* const kValuesLength = "Number of values and column indices must be the same";
const char* const kColumnsInBounds = "Column indices are out of bounds.";
void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.message << " (" << c.nrows << " rows)"; }
class CsrCheck : public testing::TestWithParam<CheckCase> {};

TEST_P(CsrCheck, FirstViolatedCheckIsReported) {
    const CheckCase& c = GetParam();
    auto result = CsrMatrix::try_from_csr_data(c.nrows, 3, c.offsets, c.cols, c.values);
    ASSERT_TRUE(std::holds_alternative<SparseFormatError>(result));
    EXPECT_EQ(std::get<SparseFormatError>(result).kind, c.kind);
    EXPECT_EQ(std::get<SparseFormatError>(result).error, c.message);
}
INSTANTIATE_TEST_SUITE_P(
    Sparse, CsrCheck,
    testing::Values(CheckCase{2, {0, 1}, {0}, {1.0}, Structure, kOffsetsLength},
                    CheckCase{0, {}, {}, {}, Structure, kOffsetsLength},
                    CheckCase{1, {1, 1}, {0}, {1.0}, Structure, kOffsetsEnds},
                    CheckCase{1, {0, 2}, {0}, {}, Structure, kOffsetsEnds},  // before the values length
                    CheckCase{3, {0, 1, 0, 1}, {0}, {1.0}, Structure, kOffsetsMonotone},
                    CheckCase{2, {0, 3, 1}, {0}, {1.0}, Structure, kOffsetsMonotone},  // rises above the last offset
                    CheckCase{3,
                              {0, 2, 1, 2},
                              {5, 0},
                              {1, 2},
                              SparseFormatErrorKind::IndexOutOfBounds,
                              kColumnsInBounds},  // row 0 before row 1's offsets
                    CheckCase{1, {0, 1}, {3}, {1.0}, SparseFormatErrorKind::IndexOutOfBounds, kColumnsInBounds},
                    CheckCase{1, {0, 2}, {1, 1}, {1, 2}, SparseFormatErrorKind::DuplicateEntry, kColumnsUnique},
                    CheckCase{1, {0, 3}, {1, 1, 0}, {1, 2, 3}, SparseFormatErrorKind::DuplicateEntry, kColumnsUnique},
                    CheckCase{1, {0, 2}, {2, 1}, {1, 2}, Structure, kColumnsSorted},
                    CheckCase{1, {0, 3}, {2, 1, 1}, {1, 2, 3}, Structure, kColumnsSorted},
                    CheckCase{1, {0, 2}, {1, 1}, {}, SparseFormatErrorKind::DuplicateEntry, kColumnsUnique},
                    CheckCase{1, {0, 1}, {0}, {}, Structure, kValuesLength}));

TEST(SparseFormatError, DebugIsAStructureDisplay) {
    EXPECT_EQ((SparseFormatError{Structure, kOffsetsLength}).debug(),
              "SparseFormatError { kind: InvalidStructure, error: \"Length of row offset array is "
              "not equal to nrows + 1.\" }");
    EXPECT_EQ((SparseFormatError{SparseFormatErrorKind::DuplicateEntry, kColumnsUnique}).debug(),
              "SparseFormatError { kind: DuplicateEntry, error: \"Matrix data contains duplicate "
              "entries.\" }");
}

TEST(ConvertCooCsr, OrdersRowsAndColumns) {
    const CsrMatrix csr = csr_of(2, 3, {{1, 0, 1.0}, {0, 2, 2.0}, {0, 1, 3.0}});
    EXPECT_EQ(csr.row_offsets(), (Sizes{0, 2, 3}));
    EXPECT_EQ(csr.col_indices(), (Sizes{1, 2, 0}));
    EXPECT_EQ(csr.values(), (std::vector<double>{3.0, 2.0, 1.0}));
    const Triplets t = csr_to_triplets(csr);
    EXPECT_EQ(t.row_indices, (Sizes{0, 0, 1}));
    EXPECT_EQ(t.col_indices, (Sizes{1, 2, 0}));
    EXPECT_EQ(t.values, (std::vector<double>{3.0, 2.0, 1.0}));
}

TEST(ConvertCooCsr, MergesDuplicatesLeftToRightAndKeepsZeros) {
    const CsrMatrix csr = csr_of(2, 9,
                                 {{0, 5, 1e16},
                                  {0, 1, 2.0},
                                  {0, 5, 1.0},
                                  {0, 1, 3.0},
                                  {0, 5, 1.0},
                                  {0, 5, -1e16},
                                  {1, 0, 1.0},
                                  {1, 0, -1.0},
                                  {1, 3, -0.0},
                                  {1, 2, 0.0}});
    // ((1e16 + 1) + 1) - 1e16 is 0 in appending order; any other order gives 2.
    EXPECT_EQ(csr.entries(), (Entries{{0, 1, 5.0}, {0, 5, 0.0}, {1, 0, 0.0}, {1, 2, 0.0}, {1, 3, -0.0}}));
    const Triplets t = csr_to_triplets(csr);
    EXPECT_EQ(bits(t.values[4]), bits(-0.0));
    EXPECT_EQ(bits(t.values[3]), bits(0.0));
    EXPECT_EQ(bits(t.values[2]), bits(0.0));
}

// Rows already in column order are copied as they are, but a row in order that repeats a
// column still has its run merged.
TEST(ConvertCooCsr, RowsInOrderStillMergeRepeatedColumns) {
    const CsrMatrix csr = csr_of(3, 4,
                                 {{0, 0, 1.0},
                                  {0, 2, 2.0},
                                  {0, 3, 3.0},
                                  {1, 1, 0.25},
                                  {1, 1, 0.5},
                                  {1, 2, 4.0},
                                  {2, 2, 5.0},
                                  {2, 3, 6.0},
                                  {2, 3, 7.0},
                                  {2, 3, 8.0}});
    EXPECT_EQ(csr.row_offsets(), (Sizes{0, 3, 5, 7}));
    EXPECT_EQ(csr.entries(),
              (Entries{{0, 0, 1.0}, {0, 2, 2.0}, {0, 3, 3.0}, {1, 1, 0.75}, {1, 2, 4.0}, {2, 2, 5.0}, {2, 3, 21.0}}));
}

// The trusted constructor keeps the arrays as given and faults on the checks it can make in
// constant time.
TEST(CsrFromSortedRows, KeepsArraysAndFaultsOnBrokenEnds) {
    const CsrMatrix m = CsrMatrix::from_sorted_rows(4, {0, 2, 2, 3}, {1, 3, 0}, {1.0, -0.0, 2.0});
    EXPECT_EQ(m.nrows(), 3u);
    EXPECT_EQ(m.ncols(), 4u);
    EXPECT_EQ(m.entries(), (Entries{{0, 1, 1.0}, {0, 3, -0.0}, {2, 0, 2.0}}));
    EXPECT_EQ(bits(m.values()[1]), bits(-0.0));
    EXPECT_EQ(CsrMatrix::from_sorted_rows(2, {0}, {}, {}).nrows(), 0u);

    const std::string prefix = "Internal error: Invalid CSR data from a trusted producer: ";
    auto debug_of = [](const char* message) { return SparseFormatError{Structure, message}.debug(); };
    EXPECT_EQ(fault_message([] { CsrMatrix::from_sorted_rows(4, {}, {}, {}); }), prefix + debug_of(kOffsetsLength));
    EXPECT_EQ(fault_message([] {
                  CsrMatrix::from_sorted_rows(4, {0, 2}, {1}, {1.0});
              }),
              prefix + debug_of(kOffsetsEnds));
    EXPECT_EQ(fault_message([] {
                  CsrMatrix::from_sorted_rows(4, {1, 1}, {1}, {1.0});
              }),
              prefix + debug_of(kOffsetsEnds));
    EXPECT_EQ(fault_message([] { CsrMatrix::from_sorted_rows(4, {0, 1}, {1}, {}); }), prefix + debug_of(kValuesLength));
}

TEST(ConvertCooCsr, EmptyListsAndHiddenTrailingRows) {
    EXPECT_EQ(csr_of(3, 2, {}).row_offsets(), (Sizes{0, 0, 0, 0}));
    EXPECT_TRUE(csr_to_triplets(csr_of(3, 2, {})).values.empty());
    EXPECT_EQ(csr_of(0, 4, {}).row_offsets(), (Sizes{0}));
    const Triplets t = csr_to_triplets(csr_of(3, 3, {{0, 0, 1.0}}));
    EXPECT_EQ(t.row_indices, (Sizes{0}));
    EXPECT_EQ(t.col_indices, (Sizes{0}));
    EXPECT_EQ(t.values, (std::vector<double>{1.0}));
}

TEST(ConvertCooCsr, LongRowsAreSortedAndMerged) {
    Entries entries;
    for (std::size_t c = 30; c-- > 0;) entries.push_back({0, c, double(c)});
    for (std::size_t c = 0; c < 30; c += 3) entries.push_back({0, c, 0.5});
    Entries expected;
    for (std::size_t c = 0; c < 30; ++c) expected.push_back({0, c, double(c) + (c % 3 == 0 ? 0.5 : 0.0)});
    EXPECT_EQ(csr_of(1, 30, entries).entries(), expected);
}

// A pseudo-random list with duplicates against a map that sums in appending order.
TEST(ConvertCooCsr, MatchesSummingModelAndRoundTrips) {
    std::uint64_t state = 12345;
    auto next = [&state](std::size_t bound) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<std::size_t>((state >> 33) % bound);
    };
    CooMatrix coo(40, 7);
    std::map<std::pair<std::size_t, std::size_t>, double> model;
    for (int n = 0; n < 500; ++n) {
        const std::size_t r = next(40), c = next(7);
        const double v = double(next(1000)) / 7.0;
        coo.push(r, c, v);
        auto [it, fresh] = model.try_emplace({r, c}, v);
        if (!fresh) it->second = it->second + v;
    }
    const CsrMatrix csr = convert_coo_csr(coo);
    Entries expected;
    for (const auto& [key, v] : model) expected.push_back({key.first, key.second, v});
    EXPECT_EQ(csr.entries(), expected);
    const CooMatrix back = convert_csr_coo(csr);
    EXPECT_EQ(back.nrows(), 40u);
    EXPECT_EQ(back.ncols(), 7u);
    EXPECT_EQ(convert_coo_csr(back).entries(), expected);
}

CsrMatrix assemble(std::size_t rows, std::size_t cols, std::vector<const CsrMatrix*> blocks) {
    return csr_block_from_ndarray(BlockGrid(rows, cols, std::move(blocks)));
}

TEST(BlockAssembly, PlacesBlocksByOffsets) {
    const CsrMatrix A = csr_of(2, 3, {{0, 2, 1.0}, {1, 0, 2.0}});
    const CsrMatrix B = csr_of(1, 3, {{0, 1, 3.0}, {0, 2, 0.0}});
    const CsrMatrix C = csr_of(2, 2, {{1, 1, 4.0}});
    const CsrMatrix empty23 = csr_of(2, 3, {}), empty22 = csr_of(2, 2, {}), none = csr_of(0, 3, {});

    const CsrMatrix single = assemble(1, 1, {&A});
    EXPECT_EQ(single.row_offsets(), A.row_offsets());
    EXPECT_EQ(single.ncols(), 3u);
    EXPECT_EQ(single.entries(), A.entries());

    const CsrMatrix stacked = assemble(2, 1, {&A, &B});
    EXPECT_EQ(stacked.nrows(), 3u);
    EXPECT_EQ(stacked.entries(), (Entries{{0, 2, 1.0}, {1, 0, 2.0}, {2, 1, 3.0}, {2, 2, 0.0}}));

    const CsrMatrix side = assemble(1, 2, {&C, &A});
    EXPECT_EQ(side.ncols(), 5u);
    EXPECT_EQ(side.entries(), (Entries{{0, 4, 1.0}, {1, 1, 4.0}, {1, 2, 2.0}}));

    const CsrMatrix diagonal = assemble(2, 2, {&C, &empty23, &empty22, &A});
    EXPECT_EQ(diagonal.nrows(), 4u);
    EXPECT_EQ(diagonal.ncols(), 5u);
    EXPECT_EQ(diagonal.entries(), (Entries{{1, 1, 4.0}, {2, 4, 1.0}, {3, 2, 2.0}}));

    const CsrMatrix no_rows = assemble(2, 1, {&none, &none});
    EXPECT_EQ(no_rows.row_offsets(), (Sizes{0}));
    EXPECT_EQ(no_rows.ncols(), 3u);
}

TEST(BlockAssembly, ShapeFaults) {
    const CsrMatrix m3x4 = csr_of(3, 4, {}), m2x4 = csr_of(2, 4, {}), m3x5 = csr_of(3, 5, {});
    const CsrMatrix m4x4 = csr_of(4, 4, {}), m3x3 = csr_of(3, 3, {});
    EXPECT_EQ(fault_message([] { assemble(0, 3, {}); }), "empty block grid");
    EXPECT_EQ(fault_message([] { assemble(2, 0, {}); }), "empty block grid");
    EXPECT_EQ(fault_message([&] {
                  assemble(1, 2, {&m3x4, &m2x4});
              }),
              "assertion `left == right` failed: inconsistent block-row height at row 0\n"
              "  left: 2\n right: 3");
    // Block (1, 0) is also too narrow: every height is checked before any width.
    const std::vector<const CsrMatrix*> grid{&m3x4, &m3x4, &m3x4, &m3x3, &m3x5, &m4x4};
    EXPECT_EQ(fault_message([&] { assemble(2, 3, grid); }),
              "assertion `left == right` failed: inconsistent block-row height at row 1\n"
              "  left: 4\n right: 3");
    EXPECT_EQ(fault_message([&] {
                  assemble(2, 1, {&m3x4, &m3x5});
              }),
              "assertion `left == right` failed: inconsistent block-col width at col 0\n"
              "  left: 5\n right: 4");
}

}  // namespace
}  // namespace pwpoly::sparse_matrix_tools
