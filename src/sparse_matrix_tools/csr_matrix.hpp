// Compressed-sparse-row matrix, its validity rules, and the conversions and triplet export.
#pragma once

#include <cstddef>
#include <string>
#include <variant>
#include <vector>

#include "coo_matrix.hpp"

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

    // Takes the three arrays and checks the seven validity rules in order; on a violation the
    // arrays are released and the first violated rule is returned.
    static std::variant<CsrMatrix, SparseFormatError> try_from_csr_data(
        std::size_t nrows, std::size_t ncols, std::vector<std::size_t> row_offsets,
        std::vector<std::size_t> col_indices, std::vector<double> values);

    std::size_t nrows() const noexcept { return row_offsets_.size() - 1; }
    std::size_t ncols() const noexcept { return ncols_; }
    std::size_t nnz() const noexcept { return values_.size(); }
    const std::vector<std::size_t>& row_offsets() const noexcept { return row_offsets_; }
    const std::vector<std::size_t>& col_indices() const noexcept { return col_indices_; }
    const std::vector<double>& values() const noexcept { return values_; }

    // Stored entries, rows ascending, within a row in stored order.
    std::vector<Entry> entries() const;
    template <class Visit>
    void for_each(Visit&& visit) const {
        for (std::size_t r = 0; r + 1 < row_offsets_.size(); ++r)
            for (std::size_t p = row_offsets_[r]; p < row_offsets_[r + 1]; ++p)
                visit(r, col_indices_[p], values_[p]);
    }

private:
    CsrMatrix(std::size_t ncols, std::vector<std::size_t> row_offsets,
              std::vector<std::size_t> col_indices, std::vector<double> values)
        : ncols_(ncols), row_offsets_(std::move(row_offsets)),
          col_indices_(std::move(col_indices)), values_(std::move(values)) {}

    std::size_t ncols_;
    std::vector<std::size_t> row_offsets_;
    std::vector<std::size_t> col_indices_;
    std::vector<double> values_;
};

// Sums the coordinate list into CSR form: columns ascending within a row, duplicates merged
// left to right, zeros kept. Linear in rows plus entries, plus the per-row ordering.
CsrMatrix convert_coo_csr(const CooMatrix& coo);

// One coordinate entry per stored entry, in iteration order.
CooMatrix convert_csr_coo(const CsrMatrix& csr);

struct Triplets {
    std::vector<std::size_t> row_indices;
    std::vector<std::size_t> col_indices;
    std::vector<double> values;
};

// Row indices, column indices and values of the stored entries, in iteration order.
Triplets csr_to_triplets(const CsrMatrix& csr);

}  // namespace pwpoly::sparse_matrix_tools
