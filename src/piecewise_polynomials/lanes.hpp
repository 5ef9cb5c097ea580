// Lane types: the formulas of the evaluation path (the local coordinate, the Legendre recurrence
// and the chain-rule scaling) are templates over a lane type Real, written once and used by every
// kernel: Real = double for one time, and in batch_simd.cpp vectors of four (AVX2) or eight
// (AVX-512) times. A lane type offers
//
//   Real(x)          every lane the double x
//   + - * /          lane by lane, each rounded once (no fused multiply-add)
//   clamp_unit(x)    x clamped to [-1, 1] lane by lane, NaN left alone, an end's own bits kept
//   below(x, y, u, v) lane by lane: u where x < y, else v
//   Real::load(p), x.store(p)   the lanes from and to consecutive doubles (load_lanes, store_lanes)
//
// so that each lane of a vector runs exactly the operations of the double path, in the same
// order, and gives its bits.
#pragma once

#include <cstddef>
#include <type_traits>

namespace pwpoly::piecewise_polynomials {

inline double clamp_unit(double x) {
    if (x < -1.0) return -1.0;
    if (x > 1.0) return 1.0;
    return x;
}

inline double below(double x, double y, double if_below, double otherwise) { return x < y ? if_below : otherwise; }

// The number of doubles in a lane type.
template <class Real>
constexpr std::size_t lane_width() {
    if constexpr (std::is_same_v<Real, double>) {
        return 1;
    } else {
        return Real::width;
    }
}

template <class Real>
Real load_lanes(const double* p) {
    if constexpr (std::is_same_v<Real, double>) {
        return *p;
    } else {
        return Real::load(p);
    }
}

template <class Real>
void store_lanes(double* p, const Real& x) {
    if constexpr (std::is_same_v<Real, double>) {
        *p = x;
    } else {
        x.store(p);
    }
}

}  // namespace pwpoly::piecewise_polynomials
