// The Lagrange mass matrix on a partition, by rows.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

#include "common/sizes.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"
#include "piecewise_polynomials/row_blocks.hpp"
#include "piecewise_polynomials/row_sinks.hpp"

namespace pwpoly::piecewise_polynomials {

namespace {

constexpr const char* size_mismatch = "Lagrange mass rows: buffer sizes do not match";

// Entries of the mass matrix's rows below r: degree + 1 per row, plus degree for every node
// shared by two intervals (k degree for 1 <= k < n_t) among them.
std::size_t mass_offset(std::size_t degree, std::size_t n_t, std::size_t r) {
    const std::size_t shared = r == 0 ? 0 : std::min((r - 1) / degree, n_t - 1);
    return checked_add(checked_mul(r, degree + 1), shared * degree);
}

// The local Gram matrix of an interval of length h: sum_a (G(i, a) G(j, a)) (h / (2a + 1)), row-major,
// m x m, with G the local Lagrange-to-Legendre matrix; symmetric to the bit.
std::vector<double> local_gram(std::size_t degree, double h) {
    const std::size_t m = degree + 1;
    const std::vector<double> G = lagrange_to_legendre_local_matrix(degree);
    std::vector<double> weights(m);
    for (std::size_t a = 0; a < m; ++a) weights[a] = h / static_cast<double>(2 * a + 1);
    std::vector<double> local(checked_count<double>(checked_mul(m, m)));
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < m; ++j) {
            double sum = 0.0;
            for (std::size_t a = 0; a < m; ++a) sum = sum + (G[i * m + a] * G[j * m + a]) * weights[a];
            local[i * m + j] = sum;
        }
    }
    return local;
}

// Entry (i, j) of the local Gram matrix of interval k. All intervals of a uniform partition have the
// length dt: its matrix is formed once, with dt inside the sum. On any other partition the matrix of
// the unit length is formed once and each entry scaled by the interval's length, one product.
template <Partition P>
class LocalGram {
public:
    LocalGram(std::size_t degree, const P& partition)
        : m_(degree + 1), partition_(partition), gram_(local_gram(degree, scaled ? 1.0 : partition.length(0))) {}

    double operator()(std::size_t k, std::size_t i, std::size_t j) const {
        if constexpr (scaled) return partition_.length(k) * gram_[i * m_ + j];
        return gram_[i * m_ + j];
    }

private:
    static constexpr bool scaled = !std::is_same_v<P, UniformPartition>;
    std::size_t m_;
    P partition_;
    std::vector<double> gram_;
};

// Emits the rows [first, last) of the mass matrix into the sink.
template <Partition P, class Sink>
void emit_mass_rows(std::size_t degree, const P& partition, std::size_t first, std::size_t last, Sink& sink) {
    const std::size_t n_t = partition.n_intervals();
    const std::size_t m = degree + 1;
    const LocalGram<P> gram(degree, partition);
    const std::size_t end_point = n_t * degree;
    for (std::size_t r = first; r < last; ++r) {
        if (r == end_point) {
            // The right end: local node `degree` of the last interval.
            const std::size_t previous = (n_t - 1) * degree;
            for (std::size_t j = 0; j < m; ++j) sink.entry(previous + j, gram(n_t - 1, degree, j));
        } else {
            const std::size_t k = r / degree;
            const std::size_t i = r % degree;
            const std::size_t start = k * degree;
            if (i == 0 && k > 0) {
                // Node shared with interval k - 1, where it is local node `degree`.
                const std::size_t previous = start - degree;
                for (std::size_t j = 0; j < degree; ++j) sink.entry(previous + j, gram(k - 1, degree, j));
                sink.entry(start, gram(k - 1, degree, degree) + gram(k, 0, 0));
                for (std::size_t j = 1; j < m; ++j) sink.entry(start + j, gram(k, 0, j));
            } else {
                for (std::size_t j = 0; j < m; ++j) sink.entry(start + j, gram(k, i, j));
            }
        }
        sink.end_row();
    }
}

}  // namespace

std::size_t lagrange_mass_rows_nnz(std::size_t degree, std::size_t n_t, std::size_t first, std::size_t last) {
    if (degree == 0 || n_t == 0) fault("Lagrange mass matrix requires degree and n_t at least 1");
    const std::size_t rows = checked_add(checked_mul(n_t, degree), 1);
    if (first > last || last > rows) fault("Lagrange mass rows: range outside the matrix's rows");
    return mass_offset(degree, n_t, last) - mass_offset(degree, n_t, first);
}

template <Partition P, class Index>
void lagrange_mass_rows(std::size_t degree, const P& partition, std::size_t first, std::size_t last,
                        std::span<Index> indptr, std::span<Index> indices, std::span<double> data) {
    const std::size_t n_t = partition.n_intervals();
    const std::size_t nnz = lagrange_mass_rows_nnz(degree, n_t, first, last);
    if (indptr.size() != last - first + 1 || indices.size() != nnz || data.size() != nnz || indptr[0] < 0)
        fault(size_mismatch);
    const std::size_t base = static_cast<std::size_t>(indptr[0]);
    const std::size_t largest = std::max(checked_add(base, nnz), checked_add(checked_mul(n_t, degree), 1));
    if (largest > static_cast<std::size_t>(std::numeric_limits<Index>::max()))
        fault("Lagrange mass rows: index type too narrow");
    ArraySink<Index> sink{indptr.data(), indices.data(), data.data(), base};
    emit_mass_rows(degree, partition, first, last, sink);
}

#define PWPOLY_MASS_ROWS(P, Index)                                                                                   \
    template void lagrange_mass_rows<P, Index>(std::size_t, const P&, std::size_t, std::size_t, std::span<Index>,   \
                                               std::span<Index>, std::span<double>);
PWPOLY_MASS_ROWS(UniformPartition, std::int32_t)
PWPOLY_MASS_ROWS(UniformPartition, std::int64_t)
PWPOLY_MASS_ROWS(BreakpointPartition, std::int32_t)
PWPOLY_MASS_ROWS(BreakpointPartition, std::int64_t)
#undef PWPOLY_MASS_ROWS

}  // namespace pwpoly::piecewise_polynomials
