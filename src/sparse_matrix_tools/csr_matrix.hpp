// Compressed-sparse-row matrix, its validity rules, and the conversions and triplet export.
//
// A CsrMatrix of nrows x ncols with nnz stored entries holds
//   row_offsets  nrows + 1 offsets: the entries of row r are the positions
//                row_offsets[r] <= p < row_offsets[r + 1];
//   col_indices  nnz column indices, strictly increasing within each row, each below ncols;
//   values       nnz values, explicit zeros included.
// Every CsrMatrix that exists satisfies the validity checks of try_from_csr_data.
#pragma once

#include <cstddef>
#include <string>
#include <variant>
#include <vector>

#include "sparse_matrix_tools/coo_matrix.hpp"

namespace pwpoly::sparse_matrix_tools {

enum class SparseFormatErrorKind { IndexOutOfBounds, DuplicateEntry, InvalidStructure };

struct SparseFormatError {
    SparseFormatErrorKind kind;
    std::string error;

    // Structure display: SparseFormatError { kind: InvalidStructure, error: "..." }
    std::string debug() const;
};

class CsrMatrix {
public:
    struct Entry {
        std::size_t row;
        std::size_t col;
        double value;
        bool operator==(const Entry&) const = default;
    };

    // Takes the three arrays (row_offsets: nrows + 1, col_indices and values: one per entry)
    // and checks, in this order:
    //   offsets length     row_offsets has nrows + 1 entries;
    //   offsets ends       the first offset is 0 and the last the number of column indices;
    //   then row by row:
    //   offsets monotone   the row's end offset is not below its start offset;
    //   columns in bounds  each column index of the row, left to right, is below ncols;
    //   columns unique     ... and differs from the one before it;
    //   columns sorted     ... and is not smaller than the one before it;
    //   and last:
    //   values length      there are as many values as column indices.
    // On a violation the arrays are released and the first violated check is returned.
    static std::variant<CsrMatrix, SparseFormatError> try_from_csr_data(std::size_t nrows, std::size_t ncols,
                                                                        std::vector<std::size_t> row_offsets,
                                                                        std::vector<std::size_t> col_indices,
                                                                        std::vector<double> values);

    // Takes the arrays of a producer that writes rows in ascending order, each with strictly
    // ascending columns below ncols (the operators of this library, whose column indices are
    // k*degree + j for ascending j). Such a producer is trusted with the per-entry checks;
    // only the O(1) ones (offsets present and ending at the number of entries, one value per
    // column index) run here, and the full validation of try_from_csr_data runs in builds
    // without NDEBUG. A failed check is an internal fault: the producer is wrong.
    static CsrMatrix from_sorted_rows(std::size_t ncols, std::vector<std::size_t> row_offsets,
                                      std::vector<std::size_t> col_indices, std::vector<double> values);

    std::size_t nrows() const noexcept { return row_offsets_.size() - 1; }
    std::size_t ncols() const noexcept { return ncols_; }
    std::size_t nnz() const noexcept { return values_.size(); }
    const std::vector<std::size_t>& row_offsets() const noexcept { return row_offsets_; }
    const std::vector<std::size_t>& col_indices() const noexcept { return col_indices_; }
    const std::vector<double>& values() const noexcept { return values_; }

    // Stored entries, rows ascending, within a row in stored order: nnz entries.
    std::vector<Entry> entries() const;
    // Calls visit(row, column, value) for every stored entry in the order of entries().
    template <class Visit>
    void for_each(Visit&& visit) const {
        for (std::size_t r = 0; r + 1 < row_offsets_.size(); ++r)
            for (std::size_t p = row_offsets_[r]; p < row_offsets_[r + 1]; ++p) visit(r, col_indices_[p], values_[p]);
    }

private:
    CsrMatrix(std::size_t ncols, std::vector<std::size_t> row_offsets, std::vector<std::size_t> col_indices,
              std::vector<double> values)
        : ncols_(ncols),
          row_offsets_(std::move(row_offsets)),
          col_indices_(std::move(col_indices)),
          values_(std::move(values)) {}

    std::size_t ncols_;
    std::vector<std::size_t> row_offsets_;
    std::vector<std::size_t> col_indices_;
    std::vector<double> values_;
};

// The CSR form of a coordinate list: same nrows x ncols; one stored entry per distinct
// (row, column) pair of the list, columns ascending within a row, the values of duplicates
// summed left to right in appending order, zeros kept. Linear in rows plus entries, plus the
// ordering of rows whose columns are not already strictly ascending.
CsrMatrix convert_coo_csr(const CooMatrix& coo);

// A coordinate list of the same nrows x ncols with one entry per stored entry of `csr`
// (nnz entries), in iteration order.
CooMatrix convert_csr_coo(const CsrMatrix& csr);

struct Triplets {
    std::vector<std::size_t> row_indices;
    std::vector<std::size_t> col_indices;
    std::vector<double> values;
};

// Row indices, column indices and values of the stored entries, in iteration order: three
// arrays of nnz elements each.
Triplets csr_to_triplets(const CsrMatrix& csr);

}  // namespace pwpoly::sparse_matrix_tools
