// The uniform partition of [0, T] into n_t intervals shared by the Legendre and Lagrange bases:
// dt = T / n_t, interval k runs from k*dt to dt + k*dt (the right end is that sum).
#pragma once

#include <cstddef>

namespace pwpoly::piecewise_polynomials {

struct Interval {
    double left;
    double right;
};

struct UniformPartition {
    double dt;
    std::size_t n_t;

    UniformPartition(double T, std::size_t intervals) : dt(T / static_cast<double>(intervals)), n_t(intervals) {}

    std::size_t n_intervals() const { return n_t; }
    // The length every operator scales by: dt itself (not right - left of an interval).
    double length(std::size_t) const { return dt; }

    Interval interval(std::size_t k) const {
        const double left = static_cast<double>(k) * dt;
        return {left, dt + left};
    }
};

}  // namespace pwpoly::piecewise_polynomials
