#include "sparse_matrix_tools/coo_matrix.hpp"

#include <algorithm>

#include "common/sizes.hpp"

namespace pwpoly::sparse_matrix_tools {

void CooMatrix::push(std::size_t i, std::size_t j, double v) {
    if (!(i < nrows_)) fault("assertion failed: i < self.nrows");
    if (!(j < ncols_)) fault("assertion failed: j < self.ncols");
    // Grow all three arrays before appending, so the appends cannot fail and the arrays never
    // get out of step.
    const std::size_t n = values_.size();
    if (n == values_.capacity() || n == row_indices_.capacity() || n == col_indices_.capacity()) {
        const std::size_t doubled = n <= PTRDIFF_MAX / sizeof(std::size_t) / 2 ? n + n : n;
        reserve(std::max(std::max<std::size_t>(doubled, 8), checked_add(n, 1)));
    }
    row_indices_.push_back(i);
    col_indices_.push_back(j);
    values_.push_back(v);
}

void CooMatrix::reserve(std::size_t count) {
    checked_count<std::size_t>(count);
    checked_count<double>(count);
    row_indices_.reserve(count);
    col_indices_.reserve(count);
    values_.reserve(count);
}

}  // namespace pwpoly::sparse_matrix_tools
