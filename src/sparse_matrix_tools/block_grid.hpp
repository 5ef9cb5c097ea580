// A read-only rectangular grid of references to CSR blocks, and its assembly into one matrix.
#pragma once

#include <cstddef>
#include <vector>

#include "csr_matrix.hpp"

namespace pwpoly::sparse_matrix_tools {

class BlockGrid {
public:
    // `blocks` in row-major order, rows * cols references; the grid does not own the blocks.
    BlockGrid(std::size_t rows, std::size_t cols, std::vector<const CsrMatrix*> blocks);

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    const CsrMatrix& operator()(std::size_t i, std::size_t j) const { return *blocks_[i * cols_ + j]; }

private:
    std::size_t rows_;
    std::size_t cols_;
    std::vector<const CsrMatrix*> blocks_;
};

// Joins the grid's blocks into one CSR matrix. Faults "empty block grid", then the
// block-row height and block-column width equality assertions.
CsrMatrix csr_block_from_ndarray(const BlockGrid& grid);

}  // namespace pwpoly::sparse_matrix_tools
