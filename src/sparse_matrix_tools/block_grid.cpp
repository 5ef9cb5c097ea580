#include "sparse_matrix_tools/block_grid.hpp"

#include <string>

#include "common/sizes.hpp"
#include "sparse_matrix_tools/coo_matrix.hpp"

namespace pwpoly::sparse_matrix_tools {

BlockGrid::BlockGrid(std::size_t rows, std::size_t cols, std::vector<const CsrMatrix*> blocks)
    : rows_(rows), cols_(cols), blocks_(std::move(blocks)) {
    const std::size_t expected = checked_mul(rows, cols);
    if (blocks_.size() != expected)
        fault(equality_assertion_message("block grid needs one block per element", blocks_.size(), expected));
    for (const CsrMatrix* block : blocks_)
        if (block == nullptr) fault("block grid element without a block");
}

CsrMatrix csr_block_from_ndarray(const BlockGrid& grid) {
    const std::size_t R = grid.rows();
    const std::size_t C = grid.cols();
    if (R == 0 || C == 0) fault("empty block grid");

    // All heights are checked before any width.
    for (std::size_t i = 0; i < R; ++i) {
        const std::size_t height = grid(i, 0).nrows();
        for (std::size_t j = 1; j < C; ++j)
            if (grid(i, j).nrows() != height)
                fault(equality_assertion_message("inconsistent block-row height at row " + std::to_string(i),
                                                 grid(i, j).nrows(), height));
    }
    for (std::size_t j = 0; j < C; ++j) {
        const std::size_t width = grid(0, j).ncols();
        for (std::size_t i = 1; i < R; ++i)
            if (grid(i, j).ncols() != width)
                fault(equality_assertion_message("inconsistent block-col width at col " + std::to_string(j),
                                                 grid(i, j).ncols(), width));
    }

    // Offsets r_i of the block rows and c_j of the block columns; the last ones are N and M.
    std::vector<std::size_t> row_offsets(checked_count<std::size_t>(checked_add(R, 1)), 0);
    for (std::size_t i = 0; i < R; ++i) row_offsets[i + 1] = checked_add(row_offsets[i], grid(i, 0).nrows());
    std::vector<std::size_t> col_offsets(checked_count<std::size_t>(checked_add(C, 1)), 0);
    for (std::size_t j = 0; j < C; ++j) col_offsets[j + 1] = checked_add(col_offsets[j], grid(0, j).ncols());

    std::size_t total = 0;
    for (std::size_t i = 0; i < R; ++i)
        for (std::size_t j = 0; j < C; ++j) total = checked_add(total, grid(i, j).nnz());

    CooMatrix coo(row_offsets[R], col_offsets[C]);
    coo.reserve(total);
    for (std::size_t i = 0; i < R; ++i)
        for (std::size_t j = 0; j < C; ++j) {
            const std::size_t r0 = row_offsets[i];
            const std::size_t c0 = col_offsets[j];
            grid(i, j).for_each(
                [&coo, r0, c0](std::size_t q, std::size_t k, double v) { coo.push(r0 + q, c0 + k, v); });
        }
    return convert_coo_csr(coo);
}

}  // namespace pwpoly::sparse_matrix_tools
