// Coordinate-list sparse matrix: entries appended in order, duplicates and zeros kept.
#pragma once

#include <cstddef>
#include <vector>

namespace pwpoly::sparse_matrix_tools {

// An nrows x ncols coordinate list of nnz entries: row_indices, col_indices and values hold
// nnz elements each, entry p being (row_indices[p], col_indices[p], values[p]).
class CooMatrix {
public:
    // An empty list of the given dimensions.
    CooMatrix(std::size_t nrows, std::size_t ncols) : nrows_(nrows), ncols_(ncols) {}

    // Appends (i, j, v). Faults "assertion failed: i < self.nrows", then
    // "assertion failed: j < self.ncols"; a failed push appends nothing.
    void push(std::size_t i, std::size_t j, double v);

    // Reserves room for `count` entries in all three arrays ("capacity overflow" if unrepresentable).
    void reserve(std::size_t count);

    std::size_t nrows() const noexcept { return nrows_; }
    std::size_t ncols() const noexcept { return ncols_; }
    std::size_t nnz() const noexcept { return values_.size(); }
    const std::vector<std::size_t>& row_indices() const noexcept { return row_indices_; }
    const std::vector<std::size_t>& col_indices() const noexcept { return col_indices_; }
    const std::vector<double>& values() const noexcept { return values_; }

private:
    std::size_t nrows_;
    std::size_t ncols_;
    std::vector<std::size_t> row_indices_;
    std::vector<std::size_t> col_indices_;
    std::vector<double> values_;
};

}  // namespace pwpoly::sparse_matrix_tools
