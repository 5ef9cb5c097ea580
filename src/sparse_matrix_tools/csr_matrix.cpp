#include "sparse_matrix_tools/csr_matrix.hpp"

#include <algorithm>
#include <optional>

#include "common/sizes.hpp"

namespace pwpoly::sparse_matrix_tools {

namespace {

const char* kind_name(SparseFormatErrorKind kind) {
    switch (kind) {
        case SparseFormatErrorKind::IndexOutOfBounds: return "IndexOutOfBounds";
        case SparseFormatErrorKind::DuplicateEntry: return "DuplicateEntry";
        case SparseFormatErrorKind::InvalidStructure: return "InvalidStructure";
    }
    return "InvalidStructure";
}

// The text between double quotes, with quotes, backslashes and line breaks escaped.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char ch : text) {
        switch (ch) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: out += ch;
        }
    }
    return out + "\"";
}

// The messages of the validity checks, named by what each checks.
constexpr const char* offsets_length = "Length of row offset array is not equal to nrows + 1.";
constexpr const char* offsets_ends = "First or last row offset is inconsistent with the CSR format.";
constexpr const char* offsets_monotone = "Row offsets are not monotonically increasing.";
constexpr const char* columns_in_bounds = "Column indices are out of bounds.";
constexpr const char* columns_unique = "Matrix data contains duplicate entries.";
constexpr const char* columns_sorted = "Column indices are not monotonically increasing (sorted) within each row.";
constexpr const char* values_length = "Number of values and column indices must be the same";

SparseFormatError structure_error(const char* message) { return {SparseFormatErrorKind::InvalidStructure, message}; }

// The checks in the order they are made; the first violated one is returned.
std::optional<SparseFormatError> validate(std::size_t nrows, std::size_t ncols,
                                          const std::vector<std::size_t>& row_offsets,
                                          const std::vector<std::size_t>& col_indices,
                                          const std::vector<double>& values) {
    // Written so that nrows + 1 cannot wrap.
    if (row_offsets.empty() || row_offsets.size() - 1 != nrows) return structure_error(offsets_length);
    const std::size_t nnz = col_indices.size();
    if (row_offsets.front() != 0 || row_offsets.back() != nnz) return structure_error(offsets_ends);
    for (std::size_t r = 0; r < nrows; ++r) {
        const std::size_t start = row_offsets[r];
        const std::size_t end = row_offsets[r + 1];
        // An offset above the last one has to fall back later, so it breaks monotonicity too;
        // reporting it here keeps the column walk inside the array.
        if (end < start || end > nnz) return structure_error(offsets_monotone);
        for (std::size_t p = start; p < end; ++p) {
            const std::size_t col = col_indices[p];
            if (!(col < ncols)) return SparseFormatError{SparseFormatErrorKind::IndexOutOfBounds, columns_in_bounds};
            if (p == start) continue;
            const std::size_t previous = col_indices[p - 1];
            if (col == previous) return SparseFormatError{SparseFormatErrorKind::DuplicateEntry, columns_unique};
            if (col < previous) return structure_error(columns_sorted);
        }
    }
    if (values.size() != nnz) return structure_error(values_length);
    return std::nullopt;
}

// True when the n columns strictly increase: the row needs neither ordering nor merging.
bool strictly_ascending(const std::size_t* cols, std::size_t n) {
    for (std::size_t x = 1; x < n; ++x)
        if (!(cols[x - 1] < cols[x])) return false;
    return true;
}

// Rows of at most this many entries are ordered by a stable insertion sort.
constexpr std::size_t insertion_sort_limit = 20;

// Orders `order` (positions into `cols`) by column. Ties keep their position order: the
// insertion sort is stable, and the longer rows' sort breaks ties by position.
void order_by_column(std::vector<std::size_t>& order, const std::size_t* cols) {
    const std::size_t n = order.size();
    if (n <= insertion_sort_limit) {
        for (std::size_t x = 1; x < n; ++x) {
            const std::size_t moving = order[x];
            std::size_t y = x;
            for (; y > 0 && cols[order[y - 1]] > cols[moving]; --y) order[y] = order[y - 1];
            order[y] = moving;
        }
    } else {
        std::sort(order.begin(), order.end(),
                  [cols](std::size_t a, std::size_t b) { return cols[a] != cols[b] ? cols[a] < cols[b] : a < b; });
    }
}

}  // namespace

std::string SparseFormatError::debug() const {
    return std::string("SparseFormatError { kind: ") + kind_name(kind) + ", error: " + quoted(error) + " }";
}

std::variant<CsrMatrix, SparseFormatError> CsrMatrix::try_from_csr_data(std::size_t nrows, std::size_t ncols,
                                                                        std::vector<std::size_t> row_offsets,
                                                                        std::vector<std::size_t> col_indices,
                                                                        std::vector<double> values) {
    if (auto error = validate(nrows, ncols, row_offsets, col_indices, values)) return *error;
    return CsrMatrix(ncols, std::move(row_offsets), std::move(col_indices), std::move(values));
}

CsrMatrix CsrMatrix::from_sorted_rows(std::size_t ncols, std::vector<std::size_t> row_offsets,
                                      std::vector<std::size_t> col_indices, std::vector<double> values) {
    const std::size_t nnz = col_indices.size();
    std::optional<SparseFormatError> error;
    if (row_offsets.empty()) {
        error = structure_error(offsets_length);
    } else if (row_offsets.front() != 0 || row_offsets.back() != nnz) {
        error = structure_error(offsets_ends);
    } else if (values.size() != nnz) {
        error = structure_error(values_length);
    }
#ifndef NDEBUG
    if (!error) error = validate(row_offsets.size() - 1, ncols, row_offsets, col_indices, values);
#endif
    if (error) fault("Internal error: Invalid CSR data from a trusted producer: " + error->debug());
    return CsrMatrix(ncols, std::move(row_offsets), std::move(col_indices), std::move(values));
}

std::vector<CsrMatrix::Entry> CsrMatrix::entries() const {
    std::vector<Entry> out;
    out.reserve(nnz());
    for_each([&out](std::size_t r, std::size_t c, double v) { out.push_back({r, c, v}); });
    return out;
}

CsrMatrix convert_coo_csr(const CooMatrix& coo) {
    const std::size_t nrows = coo.nrows();
    const std::size_t n = coo.nnz();
    const std::vector<std::size_t>& rows = coo.row_indices();
    const std::vector<std::size_t>& cols = coo.col_indices();
    const std::vector<double>& vals = coo.values();

    // Entries per row, then exclusive prefix sums: starts[r] = entries in rows before r.
    std::vector<std::size_t> starts(checked_count<std::size_t>(checked_add(nrows, 1)), 0);
    for (const std::size_t r : rows) ++starts[r];
    std::size_t running = 0;
    for (std::size_t& slot : starts) {
        const std::size_t count = slot;
        slot = running;
        running += count;
    }

    // Distribute by row in appending order; afterwards starts[r] is the end of row r.
    std::vector<std::size_t> by_row_cols(n);
    std::vector<double> by_row_vals(n);
    for (std::size_t p = 0; p < n; ++p) {
        const std::size_t slot = starts[rows[p]]++;
        by_row_cols[slot] = cols[p];
        by_row_vals[slot] = vals[p];
    }

    std::vector<std::size_t> row_offsets;
    row_offsets.reserve(nrows + 1);
    row_offsets.push_back(0);
    std::vector<std::size_t> out_cols;
    std::vector<double> out_vals;
    out_cols.reserve(n);
    out_vals.reserve(n);
    std::vector<std::size_t> order;  // workspace, reused from row to row

    std::size_t start = 0;
    for (std::size_t r = 0; r < nrows; ++r) {
        const std::size_t end = starts[r];
        const std::size_t* row_cols = by_row_cols.data() + start;
        const double* row_vals = by_row_vals.data() + start;
        if (strictly_ascending(row_cols, end - start)) {
            // Already in order and without duplicates: ordering and merging change nothing.
            out_cols.insert(out_cols.end(), row_cols, row_cols + (end - start));
            out_vals.insert(out_vals.end(), row_vals, row_vals + (end - start));
            row_offsets.push_back(out_cols.size());
            start = end;
            continue;
        }
        order.resize(end - start);
        for (std::size_t x = 0; x < order.size(); ++x) order[x] = x;
        order_by_column(order, row_cols);
        // Merge each run of equal columns, summing left to right; zero sums stay stored.
        for (std::size_t x = 0; x < order.size();) {
            const std::size_t col = row_cols[order[x]];
            double sum = row_vals[order[x]];
            for (++x; x < order.size() && row_cols[order[x]] == col; ++x) sum = sum + row_vals[order[x]];
            out_cols.push_back(col);
            out_vals.push_back(sum);
        }
        row_offsets.push_back(out_cols.size());
        start = end;
    }

    auto built = CsrMatrix::try_from_csr_data(nrows, coo.ncols(), std::move(row_offsets), std::move(out_cols),
                                              std::move(out_vals));
    if (auto* error = std::get_if<SparseFormatError>(&built))
        fault("Internal error: Invalid CSR data during COO->CSR conversion: " + error->debug());
    return std::get<CsrMatrix>(std::move(built));
}

CooMatrix convert_csr_coo(const CsrMatrix& csr) {
    CooMatrix coo(csr.nrows(), csr.ncols());
    coo.reserve(csr.nnz());
    csr.for_each([&coo](std::size_t r, std::size_t c, double v) { coo.push(r, c, v); });
    return coo;
}

Triplets csr_to_triplets(const CsrMatrix& csr) {
    const CooMatrix coo = convert_csr_coo(csr);
    return {coo.row_indices(), coo.col_indices(), coo.values()};
}

}  // namespace pwpoly::sparse_matrix_tools
