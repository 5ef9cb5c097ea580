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

    UniformPartition(double T, std::size_t n_t) : dt(T / static_cast<double>(n_t)) {}

    Interval interval(std::size_t k) const {
        const double left = static_cast<double>(k) * dt;
        return {left, dt + left};
    }
};

}  // namespace pwpoly::piecewise_polynomials
