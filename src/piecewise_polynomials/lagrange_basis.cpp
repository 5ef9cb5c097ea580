#include "piecewise_polynomials/lagrange_basis.hpp"

#include "common/sizes.hpp"
#include "piecewise_polynomials/partition.hpp"
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

std::vector<double> LagrangeBasis::points() const {
    std::vector<double> points;
    sparse_matrix_tools::reserve_for_filling(points, n_points_);
    // With degree 0 no interval has a node of its own: nothing walks the intervals.
    if (degree_ != 0) {
        const UniformPartition partition(T_, n_t_);
        const double d = static_cast<double>(degree_);
        for (std::size_t i = 0; i < n_t_; ++i) {
            const Interval interval = partition.interval(i);
            const double width = interval.right - interval.left;
            for (std::size_t j = 0; j < degree_; ++j) {
                const double p = static_cast<double>(j) * width;
                const double q = p / d;
                points.push_back(q + interval.left);
            }
        }
    }
    points.push_back(T_);
    return points;
}

}  // namespace pwpoly::piecewise_polynomials
