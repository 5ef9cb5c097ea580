#include "piecewise_polynomials/batch_evaluation.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <vector>

#include "common/sizes.hpp"
#include "common/thread_pool.hpp"
#include "piecewise_polynomials/batch_simd.hpp"
#include "piecewise_polynomials/interval_lookup.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"
#include "piecewise_polynomials/legendre.hpp"
#include "piecewise_polynomials/partition.hpp"
#include "piecewise_polynomials/row_blocks.hpp"

namespace pwpoly::piecewise_polynomials {

namespace {

constexpr const char* size_mismatch = "batch kernel: buffer sizes do not match";
constexpr const char* index_overflow = "batch kernel: index type too narrow";

// Basis values per block of the batch evaluation (about 512 KiB): they stay in the second-level
// cache while every coefficient vector of the batch is summed against them, and each vector is
// read once per block.
constexpr std::size_t block_values = std::size_t{1} << 16;

// A part of the times given to one worker holds at least this many (fewer are not worth a
// thread: about 10 to 50 microseconds of work), and starts at a multiple of `part_align` (whole
// vector passes, whole cache lines of the outputs).
constexpr std::size_t part_times = 8192;
constexpr std::size_t part_align = 64;

void require(bool condition, const char* message) {
    if (!condition) fault(message);
}

template <class Index>
void require_index(std::size_t largest) {
    require(largest <= static_cast<std::size_t>(std::numeric_limits<Index>::max()), index_overflow);
}

// The degree + 1 basis values of each time (P_i, D_i, or (D_i + D_i) / dt) at
// values[i * stride + j], and its interval at intervals[j].
void basis_values(const LegendreBasis& basis, simd::BasisMode mode, const double* times, std::size_t n,
                  std::int64_t* intervals, double* values, std::size_t stride) {
    const UniformPartition partition = basis.partition();
    std::size_t j = 0;
    if (simd::available(basis.n_t))
        j = simd::basis_values(partition.dt, basis.n_t, basis.degree, mode, times, n, intervals, values, stride);
    for (; j < n; ++j) {
        const IntervalLocation at = locate_in_partition(partition, basis.n_t, times[j]);
        intervals[j] = static_cast<std::int64_t>(at.k);
        walk_legendre(at.xi, basis.degree, [&](std::size_t i, double p, double d) {
            double v = p;
            if (mode == simd::BasisMode::xi_derivative) v = d;
            if (mode == simd::BasisMode::time_derivative) v = (d + d) / partition.dt;
            values[i * stride + j] = v;
        });
    }
}

// One coefficient vector of the window: the sum of evaluate / evaluate_derivative, time by time.
// Returns times.size(), or the index of the first time outside the window.
std::size_t evaluate_single(const LegendreBasis& basis, IntervalWindow window, bool derivative,
                            const double* coefficients, std::span<const double> times, double* out) {
    const UniformPartition partition = basis.partition();
    const std::size_t n_t = basis.n_t;
    std::size_t j = 0;
    if (simd::available(n_t))
        j = simd::evaluate(partition.dt, n_t, basis.degree, window.first, window.width, derivative, coefficients,
                           times.data(), times.size(), out);
    for (; j < times.size(); ++j) {
        const IntervalLocation at = locate_in_partition(partition, n_t, times[j]);
        if (at.k < window.first || at.k - window.first >= window.width) return j;
        const double* row = coefficients + (at.k - window.first);
        if (derivative) {
            const double sum = legendre_sum<true>(at.xi, basis.degree, row, window.width);
            out[j] = (sum + sum) / partition.dt;
        } else {
            out[j] = legendre_sum<false>(at.xi, basis.degree, row, window.width);
        }
    }
    return times.size();
}

// Many coefficient vectors of the window: per block of times the basis values once (and the
// check that the block lies in the window), then each vector's sums. Returns times.size(), or
// the index of the first time outside the window.
// The results of vector b are at out[b * out_stride + j].
std::size_t evaluate_batch(const LegendreBasis& basis, IntervalWindow window, bool derivative,
                           std::span<const double> coefficients, std::size_t size, std::size_t batch,
                           std::span<const double> times, double* out, std::size_t out_stride) {
    const double dt = basis.partition().dt;
    const std::size_t width = window.width;
    const std::size_t m = basis.degree + 1;
    const std::size_t n = times.size();
    const std::size_t block = std::min(n, std::max<std::size_t>(64, block_values / m));
    std::vector<double> values(checked_count<double>(checked_mul(block, m)));
    std::vector<std::int64_t> intervals(block);
    const bool vectorised = simd::available(basis.n_t);
    const auto mode = derivative ? simd::BasisMode::xi_derivative : simd::BasisMode::value;
    const auto first = static_cast<std::int64_t>(window.first);
    const auto end = static_cast<std::int64_t>(window.first + width);
    for (std::size_t start = 0; start < n; start += block) {
        const std::size_t count = std::min(block, n - start);
        basis_values(basis, mode, times.data() + start, count, intervals.data(), values.data(), block);
        // Intervals as positions in the window's vectors.
        for (std::size_t j = 0; j < count; ++j) {
            if (intervals[j] < first || intervals[j] >= end) return start + j;
            intervals[j] -= first;
        }
        for (std::size_t b = 0; b < batch; ++b) {
            const double* vector = coefficients.data() + b * size;
            double* o = out + b * out_stride + start;
            std::size_t j = 0;
            if (vectorised)
                j = simd::sums(dt, width, basis.degree, derivative, vector, intervals.data(), values.data(), block,
                               count, o);
            for (; j < count; ++j) {
                const double* row = vector + intervals[j];
                double sum = -0.0;
                for (std::size_t i = 0; i < m; ++i) sum = sum + values[i * block + j] * row[i * width];
                o[j] = derivative ? (sum + sum) / dt : sum;
            }
        }
    }
    return n;
}

}  // namespace

void locate_times(const LegendreBasis& basis, std::span<const double> times, std::span<std::int64_t> intervals,
                  std::span<double> coordinates, std::size_t workers) {
    basis.require_intervals();
    require(intervals.size() == times.size() && coordinates.size() == times.size(), size_mismatch);
    require_index<std::int64_t>(basis.n_t - 1);
    const UniformPartition partition = basis.partition();
    auto part = [&](std::size_t begin, std::size_t end) {
        std::size_t j = begin;
        if (simd::available(basis.n_t))
            j += simd::locate(partition.dt, basis.n_t, times.data() + begin, end - begin, intervals.data() + begin,
                              coordinates.data() + begin);
        for (; j < end; ++j) {
            const IntervalLocation at = locate_in_partition(partition, basis.n_t, times[j]);
            intervals[j] = static_cast<std::int64_t>(at.k);
            coordinates[j] = at.xi;
        }
    };
    threads::parallel_for(times.size(), workers, part_times, part_align, part);
}

void evaluate_times(const LegendreBasis& basis, std::span<const double> coefficients, std::span<const double> times,
                    bool derivative, std::span<double> out) {
    evaluate_times_in_window(basis, IntervalWindow{0, basis.n_t}, coefficients, times, derivative, out);
}

std::size_t evaluate_times_in_window(const LegendreBasis& basis, IntervalWindow window,
                                     std::span<const double> coefficients, std::span<const double> times,
                                     bool derivative, std::span<double> out, std::size_t workers) {
    basis.require_intervals();
    require(window.width >= 1 && window.first < basis.n_t && window.width <= basis.n_t - window.first,
            "batch kernel: interval window outside the basis");
    const std::size_t size = checked_mul(basis.degree + 1, window.width);
    require(coefficients.size() % size == 0, size_mismatch);
    const std::size_t batch = coefficients.size() / size;
    require(out.size() == checked_mul(batch, times.size()), size_mismatch);
    if (batch == 0) return times.size();
    // Each part reports the first time outside the window it met; the earliest one is the answer.
    const std::size_t n = times.size();
    std::atomic<std::size_t> outside{n};
    auto part = [&](std::size_t begin, std::size_t end) {
        const std::span<const double> some = times.subspan(begin, end - begin);
        double* at = out.data() + begin;
        const std::size_t stop =
            batch == 1 ? evaluate_single(basis, window, derivative, coefficients.data(), some, at)
                       : evaluate_batch(basis, window, derivative, coefficients, size, batch, some, at, n);
        if (stop == some.size()) return;
        std::size_t seen = outside.load(std::memory_order_relaxed);
        while (begin + stop < seen && !outside.compare_exchange_weak(seen, begin + stop, std::memory_order_relaxed)) {
        }
    };
    threads::parallel_for(n, workers, part_times, part_align, part);
    return outside.load(std::memory_order_relaxed);
}

template <class Index>
void basis_matrix_arrays(const LegendreBasis& basis, std::span<const double> times, bool derivative,
                         std::span<Index> indptr, std::span<Index> indices, std::span<double> data,
                         std::size_t workers) {
    basis.require_intervals();
    const std::size_t size = basis.basis_size();
    const std::size_t m = basis.degree + 1;
    const std::size_t n = times.size();
    const std::size_t nnz = checked_mul(n, m);
    require(indptr.size() == checked_add(n, 1) && indices.size() == nnz && data.size() == nnz, size_mismatch);
    require_index<Index>(std::max(nnz, size));
    const auto mode = derivative ? simd::BasisMode::time_derivative : simd::BasisMode::value;
    const std::size_t n_t = basis.n_t;
    // The rows of the times [begin, end): the vector path writes whole rows in place; what it
    // leaves goes by small blocks of times (in the first-level cache), degree-major within a
    // block, then written row by row.
    auto part = [&](std::size_t begin, std::size_t end) {
        std::size_t done = begin;
        if (simd::available(n_t))
            done += simd::basis_rows<Index>(basis.partition().dt, n_t, basis.degree, mode, times.data() + begin,
                                            end - begin, indices.data() + begin * m, data.data() + begin * m);
        if (done < end) {
            // A stride of a few cache lines over a power of two keeps the degrees' rows of a block
            // from sharing cache sets.
            const std::size_t block = std::min(end - done, std::max<std::size_t>(64, 2048 / m) + 8);
            std::vector<double> values(checked_count<double>(checked_mul(block, m)));
            std::vector<std::int64_t> intervals(block);
            for (std::size_t start = done; start < end; start += block) {
                const std::size_t count = std::min(block, end - start);
                basis_values(basis, mode, times.data() + start, count, intervals.data(), values.data(), block);
                Index* __restrict columns = indices.data() + start * m;
                double* __restrict entries = data.data() + start * m;
                const double* __restrict computed = values.data();
                const std::int64_t* __restrict located = intervals.data();
                for (std::size_t j = 0; j < count; ++j) {
                    const std::size_t k = static_cast<std::size_t>(located[j]);
                    for (std::size_t i = 0; i < m; ++i) {
                        columns[j * m + i] = static_cast<Index>(i * n_t + k);
                        entries[j * m + i] = computed[i * block + j];
                    }
                }
            }
        }
        Index* __restrict row_starts = indptr.data();
        const Index width = static_cast<Index>(m);
        Index offset = static_cast<Index>(begin * m);
        for (std::size_t j = begin; j < end; ++j, offset += width) row_starts[j] = offset;
    };
    threads::parallel_for(n, workers, part_times, part_align, part);
    indptr[n] = static_cast<Index>(nnz);
}

std::size_t lagrange_mass_matrix_nnz(std::size_t degree, std::size_t n_t) {
    if (n_t == 0) return 0;
    const std::size_t m = checked_add(degree, 1);
    return checked_mul(n_t, checked_mul(m, m)) - (n_t - 1);
}

template <class Index>
void lagrange_mass_matrix_arrays(std::size_t degree, std::size_t n_t, double T, std::span<Index> indptr,
                                 std::span<Index> indices, std::span<double> data) {
    if (degree == 0 || n_t == 0) fault("Lagrange mass matrix requires degree and n_t at least 1");
    const std::size_t rows = checked_add(checked_mul(n_t, degree), 1);
    require(indptr.size() == checked_add(rows, 1), size_mismatch);
    indptr[0] = 0;
    lagrange_mass_rows<Index>(degree, n_t, T, 0, rows, indptr, indices, data);
}

namespace {

// Entries of the mass matrix's rows below r: degree + 1 per row, plus degree for every node
// shared by two intervals (k degree for 1 <= k < n_t) among them.
std::size_t mass_offset(std::size_t degree, std::size_t n_t, std::size_t r) {
    const std::size_t shared = r == 0 ? 0 : std::min((r - 1) / degree, n_t - 1);
    return checked_add(checked_mul(r, degree + 1), shared * degree);
}

}  // namespace

std::size_t lagrange_mass_rows_nnz(std::size_t degree, std::size_t n_t, std::size_t first, std::size_t last) {
    if (degree == 0 || n_t == 0) fault("Lagrange mass matrix requires degree and n_t at least 1");
    const std::size_t rows = checked_add(checked_mul(n_t, degree), 1);
    require(first <= last && last <= rows, "Lagrange mass rows: range outside the matrix's rows");
    return mass_offset(degree, n_t, last) - mass_offset(degree, n_t, first);
}

template <class Index>
void lagrange_mass_rows(std::size_t degree, std::size_t n_t, double T, std::size_t first, std::size_t last,
                        std::span<Index> indptr, std::span<Index> indices, std::span<double> data) {
    const std::size_t nnz = lagrange_mass_rows_nnz(degree, n_t, first, last);
    const std::size_t m = degree + 1;
    require(indptr.size() == last - first + 1 && indices.size() == nnz && data.size() == nnz, size_mismatch);
    require(indptr[0] >= 0, size_mismatch);
    const std::size_t base = static_cast<std::size_t>(indptr[0]);
    require_index<Index>(std::max(checked_add(base, nnz), checked_add(checked_mul(n_t, degree), 1)));

    // Local Gram matrix of one interval; every interval has the same length dt.
    const double dt = UniformPartition(T, n_t).dt;
    const std::vector<double> G = lagrange_to_legendre_local_matrix(degree);
    std::vector<double> weights(m);
    for (std::size_t a = 0; a < m; ++a) weights[a] = dt / static_cast<double>(2 * a + 1);
    std::vector<double> local(m * m);
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < m; ++j) {
            double sum = 0.0;
            for (std::size_t a = 0; a < m; ++a) sum = sum + (G[i * m + a] * G[j * m + a]) * weights[a];
            local[i * m + j] = sum;
        }
    }

    std::size_t p = 0;
    auto push = [&](std::size_t column, double value) {
        indices[p] = static_cast<Index>(column);
        data[p] = value;
        ++p;
    };
    const std::size_t end_point = n_t * degree;
    for (std::size_t r = first; r < last; ++r) {
        if (r == end_point) {
            // The right end T: local node `degree` of the last interval.
            const std::size_t previous = (n_t - 1) * degree;
            for (std::size_t j = 0; j < m; ++j) push(previous + j, local[degree * m + j]);
        } else {
            const std::size_t k = r / degree;
            const std::size_t i = r % degree;
            const std::size_t start = k * degree;
            if (i == 0 && k > 0) {
                // Node shared with interval k - 1, where it is local node `degree`.
                const std::size_t previous = start - degree;
                for (std::size_t j = 0; j < degree; ++j) push(previous + j, local[degree * m + j]);
                push(start, local[degree * m + degree] + local[0]);
                for (std::size_t j = 1; j < m; ++j) push(start + j, local[j]);
            } else {
                for (std::size_t j = 0; j < m; ++j) push(start + j, local[i * m + j]);
            }
        }
        indptr[r - first + 1] = static_cast<Index>(base + p);
    }
}

std::size_t lagrange_to_legendre_nnz(std::size_t degree, std::size_t n_t) {
    const std::size_t m = checked_add(degree, 1);
    return checked_mul(n_t, checked_mul(m, m));
}

template <class Index>
void lagrange_to_legendre_arrays(std::size_t degree, std::size_t n_t, std::span<Index> indptr, std::span<Index> indices,
                                 std::span<double> data) {
    const std::size_t rows = checked_mul(checked_add(degree, 1), n_t);
    require(indptr.size() == checked_add(rows, 1), size_mismatch);
    indptr[0] = 0;
    lagrange_to_legendre_rows<Index>(degree, n_t, 0, rows, indptr, indices, data);
}

template <class Index>
void lagrange_to_legendre_rows(std::size_t degree, std::size_t n_t, std::size_t first, std::size_t last,
                               std::span<Index> indptr, std::span<Index> indices, std::span<double> data) {
    // Row a n_t + k holds G(0, a) ... G(degree, a) at the columns k degree ... k degree + degree.
    const std::vector<double> G = lagrange_to_legendre_local_matrix(degree);
    const std::size_t m = degree + 1;  // G exists, so this does not wrap
    const std::size_t rows = checked_mul(m, n_t);
    require(first <= last && last <= rows, "Lagrange to Legendre rows: range outside the matrix's rows");
    const std::size_t count = last - first;
    const std::size_t nnz = checked_mul(count, m);
    require(indptr.size() == count + 1 && indices.size() == nnz && data.size() == nnz, size_mismatch);
    require(indptr[0] >= 0, size_mismatch);
    const std::size_t base = static_cast<std::size_t>(indptr[0]);
    require_index<Index>(std::max({checked_add(base, nnz), checked_add(checked_mul(n_t, degree), 1)}));
    if (count == 0) return;
    Index* __restrict starts = indptr.data();
    Index* __restrict column_out = indices.data();
    double* __restrict value_out = data.data();
    std::vector<double> column(m);
    const Index shift = static_cast<Index>(degree);
    std::size_t a = first / n_t;  // n_t >= 1: the range is not empty
    std::size_t k = first % n_t;
    std::size_t q = 0;
    while (q < count) {
        for (std::size_t i = 0; i < m; ++i) column[i] = G[i * m + a];
        // The rows of degree a from interval k to the end of the range or of the degree.
        const std::size_t stop = std::min(count, q + (n_t - k));
        Index column_base = static_cast<Index>(k * degree);
        for (; q < stop; ++q, column_base += shift) {
            const std::size_t p = q * m;
            for (std::size_t i = 0; i < m; ++i) {
                column_out[p + i] = column_base + static_cast<Index>(i);
                value_out[p + i] = column[i];
            }
            starts[q + 1] = static_cast<Index>(base + p + m);
        }
        ++a;
        k = 0;
    }
}

template void basis_matrix_arrays<std::int32_t>(const LegendreBasis&, std::span<const double>, bool,
                                                std::span<std::int32_t>, std::span<std::int32_t>, std::span<double>,
                                                std::size_t);
template void basis_matrix_arrays<std::int64_t>(const LegendreBasis&, std::span<const double>, bool,
                                                std::span<std::int64_t>, std::span<std::int64_t>, std::span<double>,
                                                std::size_t);
template void lagrange_mass_matrix_arrays<std::int32_t>(std::size_t, std::size_t, double, std::span<std::int32_t>,
                                                        std::span<std::int32_t>, std::span<double>);
template void lagrange_mass_matrix_arrays<std::int64_t>(std::size_t, std::size_t, double, std::span<std::int64_t>,
                                                        std::span<std::int64_t>, std::span<double>);
template void lagrange_to_legendre_arrays<std::int32_t>(std::size_t, std::size_t, std::span<std::int32_t>,
                                                        std::span<std::int32_t>, std::span<double>);
template void lagrange_to_legendre_arrays<std::int64_t>(std::size_t, std::size_t, std::span<std::int64_t>,
                                                        std::span<std::int64_t>, std::span<double>);
template void lagrange_mass_rows<std::int32_t>(std::size_t, std::size_t, double, std::size_t, std::size_t,
                                               std::span<std::int32_t>, std::span<std::int32_t>, std::span<double>);
template void lagrange_mass_rows<std::int64_t>(std::size_t, std::size_t, double, std::size_t, std::size_t,
                                               std::span<std::int64_t>, std::span<std::int64_t>, std::span<double>);
template void lagrange_to_legendre_rows<std::int32_t>(std::size_t, std::size_t, std::size_t, std::size_t,
                                                      std::span<std::int32_t>, std::span<std::int32_t>,
                                                      std::span<double>);
template void lagrange_to_legendre_rows<std::int64_t>(std::size_t, std::size_t, std::size_t, std::size_t,
                                                      std::span<std::int64_t>, std::span<std::int64_t>,
                                                      std::span<double>);

}  // namespace pwpoly::piecewise_polynomials
