#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/sizes.hpp"
#include "piecewise_polynomials/coincidence.hpp"
#include "piecewise_polynomials/interval_lookup.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"
#include "piecewise_polynomials/lagrange_values.hpp"
#include "piecewise_polynomials/row_blocks.hpp"
#include "piecewise_polynomials/row_sinks.hpp"
#include "sparse_matrix_tools/csr_matrix.hpp"

namespace pwpoly::piecewise_polynomials {

using sparse_matrix_tools::CsrMatrix;

namespace {

// A fine node closer than this to a reference node (absolute, on [-1, 1]) takes its value 1.
constexpr double coincidence_tolerance = 1e-14;

// Barycentric weights w_i = 1 / prod_{j != i} (x_i - x_j), the product taken for ascending j.
std::vector<double> barycentric_weights(const std::vector<double>& x) {
    std::vector<double> w(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        double L = 1.0;
        for (std::size_t j = 0; j < x.size(); ++j)
            if (j != i) L = L * (x[i] - x[j]);
        w[i] = 1.0 / L;
    }
    return w;
}

// The d + 1 values of a row with local coordinate e, zeros included: 1.0 at the lowest reference
// node within the tolerance of e (0.0 elsewhere), or else the barycentric interpolation weights
// w_j / (e - x_j), each divided by their sum taken in ascending j.
void row_values_at(double e, const double* x, const double* w, std::size_t m, double* out) {
    for (std::size_t j = 0; j < m; ++j) {
        if (std::fabs(e - x[j]) < coincidence_tolerance) {
            for (std::size_t q = 0; q < m; ++q) out[q] = 0.0;
            out[j] = 1.0;
            return;
        }
    }
    double sum = 0.0;
    for (std::size_t j = 0; j < m; ++j) {
        out[j] = w[j] / (e - x[j]);
        sum = sum + out[j];
    }
    for (std::size_t j = 0; j < m; ++j) out[j] = out[j] / sum;
}

// A row's values depend on nothing but the bits of its local coordinate e, and the rows of a
// prolongation take few distinct coordinates (a few dozen for a million rows between counts of
// ratio 2), so the values of recent coordinates are kept, keyed by e's exact bit pattern: a
// cached row is the very row the computation would give. Direct-mapped, a slot is overwritten
// by the next coordinate that maps to it. Rows of more than 64 values get a single slot, so
// the workspace stays one row for high degrees.
class RowCache {
public:
    explicit RowCache(std::size_t m)
        : m_(m),
          slots_(m <= 64 ? 64 : 1),
          keys_(slots_, empty_key),
          values_(checked_count<double>(checked_mul(slots_, m))) {}

    // The cached values of e, or nullptr.
    const double* find(double e) const {
        const std::uint64_t key = std::bit_cast<std::uint64_t>(e);
        const std::size_t slot = slot_of(key);
        return keys_[slot] == key ? values_.data() + slot * m_ : nullptr;
    }

    // The slot for e's values, now keyed by e; the caller fills its m values.
    double* insert(double e) {
        const std::uint64_t key = std::bit_cast<std::uint64_t>(e);
        const std::size_t slot = slot_of(key);
        keys_[slot] = key;
        return values_.data() + slot * m_;
    }

private:
    // A NaN pattern: e is never NaN (it comes from finite counts), so no coordinate matches it.
    static constexpr std::uint64_t empty_key = 0x7ff8'dead'beef'0001;

    // The top six bits of a multiplicative hash, cut to the number of slots (64 or 1).
    std::size_t slot_of(std::uint64_t key) const {
        return static_cast<std::size_t>((key * 0x9e37'79b9'7f4a'7c15) >> 58) & (slots_ - 1);
    }

    std::size_t m_;
    std::size_t slots_;
    std::vector<std::uint64_t> keys_;
    std::vector<double> values_;
};

void require_rows(std::size_t first, std::size_t last, std::size_t n_rows) {
    if (first > last || last > n_rows) fault("prolongation rows: range outside the operator's rows");
}

// A row's m values from column first_col on, exact zeros (of either sign) left out, a NaN kept;
// then the row's end.
template <class Sink>
void store_row(Sink& sink, std::size_t first_col, const double* values, std::size_t m) {
    for (std::size_t j = 0; j < m; ++j) {
        if (values[j] != 0.0) sink.entry(first_col + j, values[j]);
    }
    sink.end_row();
}

std::size_t checked_degree(std::size_t degree) {
    if (degree < 1) fault("Lagrange prolongation requires polynomial degree at least 1");
    return degree;
}

// (a b) / m and (a b) mod m for m >= 1 without a wider type: b's multiples of m apart, the rest by
// doubling, the remainder kept below m < 2^63 throughout.
std::pair<std::uint64_t, std::uint64_t> product_divmod(std::uint64_t a, std::uint64_t b, std::uint64_t m) {
    const std::uint64_t quotient = a * (b / m);  // at most the caller's quotient: no wrap-around
    const std::uint64_t rest = b % m;
    std::uint64_t q = 0;
    std::uint64_t r = 0;
    for (int bit = 63; bit >= 0; --bit) {
        q = q + q;
        r = r + r;
        if (r >= m) {
            r -= m;
            ++q;
        }
        if (((a >> bit) & 1U) != 0) {
            r += rest;
            if (r >= m) {
                r -= m;
                ++q;
            }
        }
    }
    return {quotient + q, r};
}

// The rows of a prolongation between two uniform partitions, one after the other, from the counts
// alone: the sizes, the row values' means and the coincidence pattern, checked and formed once per
// call. Rows of fine points on coarse points (exactly, in integers) hold 1.0 alone, in the coarse
// point's column; the others hold the values of their coarse interval's functions at the fine
// node's local coordinate e, which depends on the row alone, exact zeros left out.
//
// Two ways to place fine node r (N_f = n_f d):
// - the scalar face's (Exact = false): s = (r / N_f) n_c, k = floor(s) (n_c - 1 at the end),
//   e = ((s - k) + (s - k)) + (-1), and barycentric weights, 1.0 alone within 1e-14 of a
//   reference node;
// - the array face's (Exact = true): k = (r n_c) div N_f and rem = (r n_c) mod N_f in integers,
//   e = (2 rem - N_f) / N_f, one rounding (the two integers are exact doubles below 2^53), and the
//   product-form values (lagrange_values.hpp).
template <bool Exact>
class UniformRows {
public:
    UniformRows(std::size_t degree, std::size_t nt_coarse, std::size_t nt_fine)
        : d_(degree),
          n_c_(nt_coarse),
          coincidence_(checked_nonzero(degree, nt_coarse, nt_fine)),
          functions_(degree),
          x_(functions_.nodes()) {
        N_f_ = checked_mul(nt_fine, d_);
        n_rows_ = checked_add(N_f_, 1);
        n_cols_ = checked_add(checked_mul(n_c_, d_), 1);
        if constexpr (!Exact) w_ = barycentric_weights(x_);
    }

    std::size_t n_rows() const { return n_rows_; }
    std::size_t n_cols() const { return n_cols_; }

    // Room for the rows [first, last): one entry per coincident row, at most d + 1 per other row.
    std::size_t room(std::size_t first, std::size_t last) const {
        require_rows(first, last, n_rows_);
        const std::size_t coincident = coincidence_.below(last) - coincidence_.below(first);
        return checked_add(coincident, checked_mul(last - first - coincident, x_.size()));
    }

    // Emits the rows [first, last) in ascending order: sink.entry(column, value) for each stored
    // entry of a row, columns ascending, then sink.end_row().
    template <class Sink>
    void emit(std::size_t first, std::size_t last, Sink& sink) const {
        require_rows(first, last, n_rows_);
        if (first == last) return;
        const std::size_t m = x_.size();  // d + 1
        RowCache cache(m);
        const std::size_t period = coincidence_.fine_period;
        // Rows from `first` to the next coincident row, and that row's coarse column.
        const std::size_t phase = first % period;
        std::size_t rows_to_coincidence = phase == 0 ? 0 : period - phase;
        std::size_t coincident_col = coincidence_.below(first) * coincidence_.coarse_step;

        Placement place(first, n_c_, N_f_);
        for (std::size_t r = first; r < last; ++r, place.next()) {
            if (rows_to_coincidence == 0) {
                sink.entry(coincident_col, 1.0);
                sink.end_row();
                rows_to_coincidence = period - 1;
                coincident_col += coincidence_.coarse_step;  // may pass n_cols after the last row
                continue;
            }
            --rows_to_coincidence;
            const auto [k, e] = place.at(r);
            const double* row = cache.find(e);
            if (row == nullptr) {
                double* fresh = cache.insert(e);
                values_at(e, fresh);
                row = fresh;
            }
            store_row(sink, k * d_, row, m);
        }
    }

    static PointCoincidence checked_nonzero(std::size_t d, std::size_t n_c, std::size_t n_f) {
        if (d < 1) fault("Lagrange prolongation requires polynomial degree at least 1");
        if (n_c < 1) fault("Lagrange prolongation requires at least one coarse interval");
        if (n_f < 1) fault("Lagrange prolongation requires at least one fine interval");
        return PointCoincidence(n_c, n_f);
    }

private:
    // The coarse interval k and local coordinate e of fine node r, the rows visited in order.
    struct Placement {
        std::uint64_t k = 0;
        std::uint64_t rem = 0;
        std::uint64_t n_c;
        std::uint64_t N;

        Placement(std::size_t first, std::size_t n_c_, std::size_t N_f) : n_c(n_c_), N(N_f) {
            if constexpr (Exact) std::tie(k, rem) = product_divmod(first, n_c, N);
        }

        // To the next row: r n_c grows by n_c.
        void next() {
            if constexpr (Exact) {
                k += n_c / N;
                rem += n_c % N;
                if (rem >= N) {
                    rem -= N;
                    ++k;
                }
            }
        }

        std::pair<std::size_t, double> at(std::size_t r) const {
            if constexpr (Exact) {
                // Never the last row (it lies on the last coarse node), so k < n_c and rem > 0.
                const double numerator = static_cast<double>(static_cast<std::int64_t>(rem + rem - N));
                return {static_cast<std::size_t>(k), numerator / static_cast<double>(N)};
            } else {
                // Position in coarse-interval units and the coarse interval holding it; only the
                // last node (s = n_c) is moved back into the last interval. s is never negative,
                // so truncation is its floor, and below n_c (an integer) it converts exactly.
                const double coarse_count = static_cast<double>(n_c);
                const double s = (static_cast<double>(r) / static_cast<double>(N)) * coarse_count;
                std::size_t interval = s < coarse_count ? static_cast<std::size_t>(s) : static_cast<std::size_t>(n_c);
                if (interval >= n_c) interval = static_cast<std::size_t>(n_c) - 1;
                const double offset = s - static_cast<double>(interval);
                return {interval, (offset + offset) + (-1.0)};
            }
        }
    };

    void values_at(double e, double* out) const {
        if constexpr (Exact) {
            functions_.values(e, std::span<double>(out, x_.size()));
        } else {
            row_values_at(e, x_.data(), w_.data(), x_.size(), out);
        }
    }

    std::size_t d_;
    std::size_t n_c_;
    PointCoincidence coincidence_;
    LagrangeFunctions functions_;  // the array face's product form (and the reference nodes)
    std::vector<double> x_;        // the reference nodes
    std::vector<double> w_;        // the scalar face's barycentric weights
    std::size_t N_f_ = 0;
    std::size_t n_rows_ = 0;
    std::size_t n_cols_ = 0;
};

using ProlongationRows = UniformRows<false>;
using UniformProlongationRows = UniformRows<true>;

// The rows of a prolongation between two partitions with the same start and end, not both
// uniform: fine node r is formed as the points are, located in the coarse partition, and given
// 1.0 at a coarse node it equals bit for bit, or else the interpolation weights of its interval.
template <Partition Coarse, Partition Fine>
class PartitionProlongationRows {
public:
    PartitionProlongationRows(std::size_t degree, const Coarse& coarse, const Fine& fine)
        : d_(degree), coarse_(coarse), fine_(fine), functions_(checked_degree(degree)) {
        n_rows_ = checked_add(checked_mul(fine.n_intervals(), d_), 1);
        n_cols_ = checked_add(checked_mul(coarse.n_intervals(), d_), 1);
    }

    std::size_t n_cols() const { return n_cols_; }

    std::size_t room(std::size_t first, std::size_t last) const {
        require_rows(first, last, n_rows_);
        return checked_mul(last - first, functions_.count());
    }

    template <class Sink>
    void emit(std::size_t first, std::size_t last, Sink& sink) const {
        require_rows(first, last, n_rows_);
        const std::size_t m = functions_.count();  // d + 1
        const double d = static_cast<double>(d_);
        const std::size_t last_coarse = coarse_.n_intervals() - 1;
        std::vector<double> nodes(m);
        std::vector<double> values(m);
        std::size_t k = 0;
        std::size_t nodes_of = std::numeric_limits<std::size_t>::max();
        // The fine node r is local node j of fine interval k_fine, as lagrange_points forms it.
        std::size_t k_fine = first / d_;
        std::size_t j_fine = first % d_;
        Interval own = fine_.interval(std::min(k_fine, fine_.n_intervals() - 1));
        for (std::size_t r = first; r < last; ++r) {
            double x = fine_.end();
            if (r + 1 < n_rows_) {
                x = ((static_cast<double>(j_fine) * (own.right - own.left)) / d) + own.left;
                if (++j_fine == d_ && r + 2 < n_rows_) {
                    j_fine = 0;
                    own = fine_.interval(++k_fine);
                }
            }
            k = coarse_.locate_near(x, k);
            const Interval interval = coarse_.interval(k);
            if (nodes_of != k) {
                // The coarse nodes of interval k, as lagrange_points forms them.
                for (std::size_t j = 0; j < d_; ++j)
                    nodes[j] = ((static_cast<double>(j) * (interval.right - interval.left)) / d) + interval.left;
                nodes[d_] = k == last_coarse ? coarse_.end() : coarse_.interval(k + 1).left;
                nodes_of = k;
            }
            const std::size_t first_col = k * d_;
            std::size_t on = m;
            for (std::size_t j = 0; j < m && on == m; ++j)
                if (x == nodes[j]) on = j;
            if (on < m) {
                sink.entry(first_col + on, 1.0);
                sink.end_row();
                continue;
            }
            // Local coordinates differ from row to row here: no cache of rows.
            functions_.values(coordinate_from_ends(interval.left, interval.right, x), values);
            store_row(sink, first_col, values.data(), m);
        }
    }

private:
    std::size_t d_;
    Coarse coarse_;
    Fine fine_;
    LagrangeFunctions functions_;
    std::size_t n_rows_ = 0;
    std::size_t n_cols_ = 0;
};

// The row producer of a pair of partitions: the integer one between two uniform partitions.
// (ProlongationRows is the scalar face's alone.)
template <Partition Coarse, Partition Fine>
auto rows_between(std::size_t degree, const Coarse& coarse, const Fine& fine) {
    if constexpr (std::is_same_v<Coarse, UniformPartition> && std::is_same_v<Fine, UniformPartition>) {
        return UniformProlongationRows(degree, coarse.n, fine.n);
    } else {
        return PartitionProlongationRows<Coarse, Fine>(degree, coarse, fine);
    }
}

}  // namespace

CsrMatrix LagrangeBasis::get_prolongation_matrix_to(std::size_t nt_fine) const {
    const ProlongationRows rows(degree_, n_t_, nt_fine);
    // Rows come in ascending order, each with ascending columns k*d + j and no repeats, so the
    // CSR arrays are written directly in their final order.
    const std::size_t n_rows = rows.n_rows();
    VectorSink sink(n_rows, rows.room(0, n_rows));
    rows.emit(0, n_rows, sink);
    return std::move(sink).finish(rows.n_cols());
}

template <Partition Coarse, Partition Fine>
std::size_t prolongation_rows_room(std::size_t degree, const Coarse& coarse, const Fine& fine, std::size_t first,
                                   std::size_t last) {
    return rows_between(degree, coarse, fine).room(first, last);
}

template <Partition Coarse, Partition Fine, class Index>
std::size_t prolongation_rows(std::size_t degree, const Coarse& coarse, const Fine& fine, std::size_t first,
                              std::size_t last, std::span<Index> indptr, std::span<Index> indices,
                              std::span<double> data) {
    const auto rows = rows_between(degree, coarse, fine);
    const std::size_t room = rows.room(first, last);
    if (indptr.size() != last - first + 1 || indices.size() < room || data.size() < room)
        fault("prolongation rows: buffer sizes do not match");
    if (indptr[0] < 0) fault("prolongation rows: negative first offset");
    const std::size_t base = static_cast<std::size_t>(indptr[0]);
    constexpr auto index_max = static_cast<std::size_t>(std::numeric_limits<Index>::max());
    if (base > index_max || room > index_max - base || rows.n_cols() > index_max)
        fault("prolongation rows: index type too narrow");
    ArraySink<Index> sink{indptr.data(), indices.data(), data.data(), base};
    rows.emit(first, last, sink);
    return sink.p;
}

#define PWPOLY_PROLONGATION(C, F)                                                                                   \
    template std::size_t prolongation_rows_room<C, F>(std::size_t, const C&, const F&, std::size_t, std::size_t);  \
    template std::size_t prolongation_rows<C, F, std::int32_t>(std::size_t, const C&, const F&, std::size_t,        \
                                                               std::size_t, std::span<std::int32_t>,              \
                                                               std::span<std::int32_t>, std::span<double>);       \
    template std::size_t prolongation_rows<C, F, std::int64_t>(std::size_t, const C&, const F&, std::size_t,        \
                                                               std::size_t, std::span<std::int64_t>,              \
                                                               std::span<std::int64_t>, std::span<double>);
PWPOLY_PROLONGATION(UniformPartition, UniformPartition)
PWPOLY_PROLONGATION(UniformPartition, BreakpointPartition)
PWPOLY_PROLONGATION(BreakpointPartition, UniformPartition)
PWPOLY_PROLONGATION(BreakpointPartition, BreakpointPartition)
#undef PWPOLY_PROLONGATION

}  // namespace pwpoly::piecewise_polynomials
