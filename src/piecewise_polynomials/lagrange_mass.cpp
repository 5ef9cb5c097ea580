// The Lagrange mass matrix on a partition, by rows.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>
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

// The local Gram matrices of the intervals: (G(i, a) G(j, a)) formed once, the sum over a with
// length(k) / (2a + 1) per interval length. Intervals of one length share one matrix: the two
// most recent lengths are kept, keyed by their bits (a uniform partition forms one matrix; a row
// needs at most two intervals at a time).
class LocalGram {
public:
    explicit LocalGram(std::size_t degree) : m_(degree + 1) {
        const std::vector<double> G = lagrange_to_legendre_local_matrix(degree);
        const std::size_t cube = checked_count<double>(checked_mul(m_, checked_mul(m_, m_)));
        products_.resize(cube);
        for (std::size_t i = 0; i < m_; ++i)
            for (std::size_t j = 0; j < m_; ++j)
                for (std::size_t a = 0; a < m_; ++a) products_[(i * m_ + j) * m_ + a] = G[i * m_ + a] * G[j * m_ + a];
        weights_.resize(m_);
        for (auto& slot : slots_) slot.resize(m_ * m_);
    }

    // The local matrix (row-major, m x m) of an interval of this length; valid until the second
    // call after this one with another length.
    const double* of(double length) {
        const std::uint64_t key = std::bit_cast<std::uint64_t>(length);
        for (std::size_t s = 0; s < 2; ++s) {
            if (filled_[s] && keys_[s] == key) {
                recent_ = s;
                return slots_[s].data();
            }
        }
        const std::size_t s = 1 - recent_;
        for (std::size_t a = 0; a < m_; ++a) weights_[a] = length / static_cast<double>(2 * a + 1);
        double* local = slots_[s].data();
        // Symmetric: G(i, a) G(j, a) is G(j, a) G(i, a) to the bit, so (j, i) is (i, j).
        for (std::size_t i = 0; i < m_; ++i) {
            for (std::size_t j = i; j < m_; ++j) {
                const double* product = products_.data() + (i * m_ + j) * m_;
                double sum = 0.0;
                for (std::size_t a = 0; a < m_; ++a) sum = sum + product[a] * weights_[a];
                local[i * m_ + j] = sum;
                local[j * m_ + i] = sum;
            }
        }
        keys_[s] = key;
        filled_[s] = true;
        recent_ = s;
        return local;
    }

private:
    std::size_t m_;
    std::vector<double> products_;
    std::vector<double> weights_;
    std::vector<double> slots_[2];
    std::uint64_t keys_[2] = {0, 0};
    bool filled_[2] = {false, false};
    std::size_t recent_ = 1;
};

// Emits the rows [first, last) of the mass matrix into the sink.
template <Partition P, class Sink>
void emit_mass_rows(std::size_t degree, const P& partition, std::size_t first, std::size_t last, Sink& sink) {
    const std::size_t n_t = partition.n_intervals();
    const std::size_t m = degree + 1;
    LocalGram gram(degree);
    const std::size_t end_point = n_t * degree;
    for (std::size_t r = first; r < last; ++r) {
        if (r == end_point) {
            // The right end: local node `degree` of the last interval.
            const double* local = gram.of(partition.length(n_t - 1));
            const std::size_t previous = (n_t - 1) * degree;
            for (std::size_t j = 0; j < m; ++j) sink.entry(previous + j, local[degree * m + j]);
        } else {
            const std::size_t k = r / degree;
            const std::size_t i = r % degree;
            const std::size_t start = k * degree;
            const double* local = gram.of(partition.length(k));
            if (i == 0 && k > 0) {
                // Node shared with interval k - 1, where it is local node `degree`.
                const double* left = gram.of(partition.length(k - 1));
                const std::size_t previous = start - degree;
                for (std::size_t j = 0; j < degree; ++j) sink.entry(previous + j, left[degree * m + j]);
                sink.entry(start, left[degree * m + degree] + local[0]);
                for (std::size_t j = 1; j < m; ++j) sink.entry(start + j, local[j]);
            } else {
                for (std::size_t j = 0; j < m; ++j) sink.entry(start + j, local[i * m + j]);
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
