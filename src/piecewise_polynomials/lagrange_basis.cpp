#include "piecewise_polynomials/lagrange_basis.hpp"

#include "common/fault.hpp"
#include "common/sizes.hpp"
#include "piecewise_polynomials/partition.hpp"
#include "piecewise_polynomials/row_blocks.hpp"
#include "sparse_matrix_tools/buffers.hpp"

namespace pwpoly::piecewise_polynomials {

LagrangeBasis::LagrangeBasis(std::size_t degree, std::size_t n_t, double T)
    : degree_(degree), n_t_(n_t), T_(T), n_points_(1) {
    if (n_t == 0) return;
    // Sizes of the per-interval working data (two ends per interval, degree + 1 local nodes)
    // and of the points: refused when they could not be represented, though the ends are
    // formed on the fly.
    checked_count<Interval>(n_t);
    checked_count<double>(checked_add(degree, 1));
    n_points_ = checked_count<double>(checked_add(checked_mul(n_t, degree), 1));
}

namespace {

// Emits the points first ... last - 1 (last <= n_points) of the basis of `degree` on the
// partition in order: point k*degree + j is ((j * width_k) / degree) + left_k, the last one the
// partition's end itself. O(last - first).
template <Partition P, class Emit>
void walk_points(const P& partition, std::size_t degree, std::size_t n_points, std::size_t first, std::size_t last,
                 Emit&& emit) {
    // With degree 0 no interval has a node of its own: only the end, and nothing walks the
    // intervals.
    const std::size_t interior = n_points - 1;
    const std::size_t end = last < interior ? last : interior;
    if (first < end) {
        const double d = static_cast<double>(degree);
        std::size_t k = first / degree;
        std::size_t j = first % degree;
        Interval interval = partition.interval(k);
        double width = interval.right - interval.left;
        for (std::size_t point = first; point < end; ++point) {
            const double p = static_cast<double>(j) * width;
            const double q = p / d;
            emit(q + interval.left);
            if (++j == degree && point + 1 < end) {
                j = 0;
                interval = partition.interval(++k);
                width = interval.right - interval.left;
            }
        }
    }
    if (first < last && last == n_points) emit(partition.end());
}

template <Partition P>
void points_into(const P& partition, std::size_t degree, std::size_t n_points, std::size_t first, std::size_t last,
                 std::span<double> out) {
    if (first > last || last > n_points) fault("points_between: the range is not inside the points");
    if (out.size() != last - first) fault("points_between: out does not hold last - first values");
    double* next = out.data();
    walk_points(partition, degree, n_points, first, last, [&](double point) { *next++ = point; });
}

}  // namespace

std::vector<double> LagrangeBasis::points() const {
    std::vector<double> points;
    sparse_matrix_tools::reserve_for_filling(points, n_points_);
    walk_points(UniformPartition(T_, n_t_), degree_, n_points_, 0, n_points_,
                [&](double point) { points.push_back(point); });
    return points;
}

void LagrangeBasis::points_between(std::size_t first, std::size_t last, std::span<double> out) const {
    points_into(UniformPartition(T_, n_t_), degree_, n_points_, first, last, out);
}

template <Partition P>
void lagrange_points(const P& partition, std::size_t degree, std::size_t first, std::size_t last,
                     std::span<double> out) {
    const std::size_t n_points = checked_add(checked_mul(partition.n_intervals(), degree), 1);
    points_into(partition, degree, n_points, first, last, out);
}

template void lagrange_points<UniformPartition>(const UniformPartition&, std::size_t, std::size_t, std::size_t,
                                                std::span<double>);
template void lagrange_points<BreakpointPartition>(const BreakpointPartition&, std::size_t, std::size_t, std::size_t,
                                                   std::span<double>);

}  // namespace pwpoly::piecewise_polynomials
