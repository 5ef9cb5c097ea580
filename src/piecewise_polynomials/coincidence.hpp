// Exact coincidence of the points of two uniform partitions of one interval into n_c and n_f
// intervals of the same degree d (global point numbering: coarse point c at c / (n_c*d), fine
// point r at r / (n_f*d)).
#pragma once

#include <cstddef>
#include <numeric>
#include <optional>

namespace pwpoly::piecewise_polynomials {

// Fine point r and coarse point c coincide exactly when r*n_c = c*n_f (d cancels). With
// g = gcd(n_c, n_f) the factors n_c/g and n_f/g share no divisor, so that holds exactly when r
// is a multiple of n_f/g, and then c = (r / (n_f/g)) * (n_c/g). The test forms no product
// wider than the size type, so it holds for every count the size type can carry.
struct PointCoincidence {
    std::size_t fine_period;  // n_f / g: fine points from one coincidence to the next
    std::size_t coarse_step;  // n_c / g: coarse points from one coincidence to the next

    // n_c and n_f at least 1.
    PointCoincidence(std::size_t n_c, std::size_t n_f)
        : fine_period(n_f / std::gcd(n_c, n_f)), coarse_step(n_c / std::gcd(n_c, n_f)) {}

    // The coarse point fine point r lies on, if any; r at most n_f*d for some degree d for
    // which n_c*d fits the size type (c never exceeds n_c*d).
    std::optional<std::size_t> coarse_point(std::size_t r) const {
        if (r % fine_period != 0) return std::nullopt;
        return (r / fine_period) * coarse_step;
    }

    // How many of the fine points 0 ... r - 1 lie on coarse points (the multiples of the fine
    // period below r); of all n_f*d + 1 fine points, d*g + 1 do (0 and n_f*d among them).
    std::size_t below(std::size_t r) const { return r / fine_period + (r % fine_period != 0 ? 1 : 0); }
};

}  // namespace pwpoly::piecewise_polynomials
