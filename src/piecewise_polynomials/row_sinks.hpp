// Where the row producers of the Lagrange operators write: a producer emits its rows in
// ascending order, sink.entry(column, value) for each stored entry of a row (columns ascending),
// then sink.end_row(). The scalar face collects them into a CsrMatrix (VectorSink), the array
// face writes them into caller storage (ArraySink); both see the same entries from the same code.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "common/sizes.hpp"
#include "sparse_matrix_tools/buffers.hpp"
#include "sparse_matrix_tools/csr_matrix.hpp"

namespace pwpoly::piecewise_polynomials {

// Rows collected into the growing arrays of a CsrMatrix, sized once for `rows` rows of at most
// `room` entries in all ("capacity overflow" when they cannot be represented).
class VectorSink {
public:
    VectorSink(std::size_t rows, std::size_t room) {
        sparse_matrix_tools::reserve_for_filling(row_offsets_, checked_count<std::size_t>(checked_add(rows, 1)));
        sparse_matrix_tools::reserve_for_filling(col_indices_,
                                                 checked_count<std::size_t>(checked_count<double>(room)));
        sparse_matrix_tools::reserve_for_filling(values_, room);
        row_offsets_.push_back(0);
    }

    void entry(std::size_t column, double value) {
        col_indices_.push_back(column);
        values_.push_back(value);
    }
    void end_row() { row_offsets_.push_back(col_indices_.size()); }

    sparse_matrix_tools::CsrMatrix finish(std::size_t ncols) && {
        return sparse_matrix_tools::CsrMatrix::from_sorted_rows(ncols, std::move(row_offsets_), std::move(col_indices_),
                                                                std::move(values_));
    }

private:
    std::vector<std::size_t> row_offsets_;
    std::vector<std::size_t> col_indices_;
    std::vector<double> values_;
};

// Rows written into caller storage with Index offsets and columns; starts[0] is the offset the
// rows begin at (base), and each row's end offset counts from there. The caller has checked that
// every column and offset fits Index and the storage holds every entry.
template <class Index>
struct ArraySink {
    Index* __restrict starts;
    Index* __restrict columns;
    double* __restrict values;
    std::size_t base;
    std::size_t p = 0;

    void entry(std::size_t column, double value) {
        columns[p] = static_cast<Index>(column);
        values[p] = value;
        ++p;
    }
    void end_row() {
        ++starts;
        *starts = static_cast<Index>(base + p);
    }
};

}  // namespace pwpoly::piecewise_polynomials
