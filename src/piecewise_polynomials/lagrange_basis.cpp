#include "piecewise_polynomials/lagrange_basis.hpp"

#include "common/sizes.hpp"
#include "piecewise_polynomials/partition.hpp"
#include "sparse_matrix_tools/buffers.hpp"

namespace pwpoly::piecewise_polynomials {

LagrangeBasis::LagrangeBasis(std::size_t degree, std::size_t n_t, double T)
    : degree_(degree), n_t_(n_t) {
    if (n_t == 0) {
        points_.push_back(T);
        return;
    }
    // Sizes of the per-interval working data (two ends per interval, degree + 1 local nodes):
    // refused when they could not be represented, though the ends are formed on the fly.
    checked_count<Interval>(n_t);
    checked_count<double>(checked_add(degree, 1));
    if (degree == 0) {
        // No interval has a node of its own: walking them would produce nothing.
        points_.push_back(T);
        return;
    }
    sparse_matrix_tools::reserve_for_filling(
        points_, checked_count<double>(checked_add(checked_mul(n_t, degree), 1)));

    const UniformPartition partition(T, n_t);
    const double d = static_cast<double>(degree);
    for (std::size_t i = 0; i < n_t; ++i) {
        const Interval interval = partition.interval(i);
        const double width = interval.right - interval.left;
        for (std::size_t j = 0; j < degree; ++j) {
            const double p = static_cast<double>(j) * width;
            const double q = p / d;
            points_.push_back(q + interval.left);
        }
    }
    points_.push_back(T);
}

}  // namespace pwpoly::piecewise_polynomials
