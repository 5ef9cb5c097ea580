// A read-only rectangular grid of references to CSR blocks, and its assembly into one matrix.
#pragma once

#include <cstddef>
#include <vector>

#include "sparse_matrix_tools/csr_matrix.hpp"

namespace pwpoly::sparse_matrix_tools {

// R x C references to CSR blocks; the grid does not own them, and one block may appear in
// several places.
class BlockGrid {
public:
    // `blocks` in row-major order, rows * cols non-null references.
    BlockGrid(std::size_t rows, std::size_t cols, std::vector<const CsrMatrix*> blocks);

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    const CsrMatrix& operator()(std::size_t i, std::size_t j) const { return *blocks_[i * cols_ + j]; }

private:
    std::size_t rows_;
    std::size_t cols_;
    std::vector<const CsrMatrix*> blocks_;
};

// Joins the grid's blocks into one CSR matrix of N x M, N the sum of the block-row heights
// h_i (row count of block (i, 0)) and M the sum of the block-column widths w_j (column count
// of block (0, j)); block (i, j) lands at row offset h_0 + ... + h_(i-1) and column offset
// w_0 + ... + w_(j-1), explicit zeros included. Faults "empty block grid" when R or C is 0,
// then the block-row height equality assertions (all rows first), then the block-column
// width ones.
CsrMatrix csr_block_from_ndarray(const BlockGrid& grid);

}  // namespace pwpoly::sparse_matrix_tools
