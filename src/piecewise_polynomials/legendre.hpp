// Legendre polynomials and their derivatives of any order, and the chain rule to time
// derivatives: the one home of these formulas, for every lane type (lanes.hpp) and every basis of
// this library.
//
//   P_(j+1) = ((((j + j) + 1) * xi) * P_j - P_(j-1) * j) / (j + 1)
//   D^q_(j+1) = D^q_(j-1) + ((j + j) + 1) * D^(q-1)_j     (D^q_i the q-th xi-derivative of P_i)
//   d^q/dt^q = (2 / h)^q d^q/dxi^q, applied as q steps s = (s + s) / h
//
// with P_0 = 1, P_1 = xi, D^1_1 = 1 and D^q_i = 0 for i < q. The derivative recurrence involves
// no division, so it stays exact at xi = +-1 (D^1_i(1) = i(i + 1) / 2).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "piecewise_polynomials/lanes.hpp"

namespace pwpoly::piecewise_polynomials {

// The constants of the step from P_j and P_(j-1) to P_(j+1).
struct LegendreStep {
    double j;
    double c;     // (j + j) + 1
    double next;  // j + 1
    bool power_of_two;

    explicit LegendreStep(std::size_t i)
        : j(static_cast<double>(i)), c((j + j) + 1.0), next(j + 1.0), power_of_two(((i + 1) & i) == 0) {}
};

// P_(j+1) from P_j and P_(j-1). Dividing by a power of two and multiplying by its exact
// reciprocal round the same real number: the same bits, without the long division.
template <class Real>
Real next_legendre(const LegendreStep& s, const Real& xi, const Real& p, const Real& p_previous) {
    const Real difference = (Real(s.c) * xi) * p - p_previous * Real(s.j);
    return s.power_of_two ? difference * Real(1.0 / s.next) : difference / Real(s.next);
}

// D^q_(j+1) from D^q_(j-1) and D^(q-1)_j.
template <class Real>
Real next_legendre_derivative(const LegendreStep& s, const Real& d_previous, const Real& lower) {
    return d_previous + Real(s.c) * lower;
}

// The time derivative of order `order` from the xi-derivative s on an interval of length h.
template <class Real>
Real to_time_derivative(const Real& s, const Real& h, std::size_t order) {
    Real scaled = s;
    for (std::size_t q = 0; q < order; ++q) scaled = (scaled + scaled) / h;
    return scaled;
}

// The derivative order a walk carries: fixed at compile time (0, 1, ...) or given at run time.
inline constexpr int any_order = -1;

namespace detail {

// D^q_(i-1) and D^q_i for q = 0 ... top and the G lanes: in registers for a fixed order; for an
// order given at run time in an array of doubles, each lane value moved in and out as its doubles
// (load_lanes, store_lanes), so that no container ever holds a vector type.
template <int Order, std::size_t G, class Real>
class WalkState {
public:
    explicit WalkState(std::size_t) {}
    Real previous(std::size_t q, std::size_t g) const { return previous_[q][g]; }
    Real current(std::size_t q, std::size_t g) const { return current_[q][g]; }
    void set(std::size_t q, std::size_t g, const Real& previous, const Real& current) {
        previous_[q][g] = previous;
        current_[q][g] = current;
    }

private:
    Real previous_[static_cast<std::size_t>(Order) + 1][G];
    Real current_[static_cast<std::size_t>(Order) + 1][G];
};

template <std::size_t G, class Real>
class WalkState<any_order, G, Real> {
public:
    static constexpr std::size_t lanes = lane_width<Real>();
    explicit WalkState(std::size_t top) : half_((top + 1) * G * lanes), values_(2 * half_) {}
    Real previous(std::size_t q, std::size_t g) const { return load_lanes<Real>(&values_[at(q, g)]); }
    Real current(std::size_t q, std::size_t g) const { return load_lanes<Real>(&values_[half_ + at(q, g)]); }
    void set(std::size_t q, std::size_t g, const Real& previous, const Real& current) {
        store_lanes(&values_[at(q, g)], previous);
        store_lanes(&values_[half_ + at(q, g)], current);
    }

private:
    static std::size_t at(std::size_t q, std::size_t g) { return (q * G + g) * lanes; }
    std::size_t half_;
    std::vector<double> values_;
};

}  // namespace detail

// Calls visit(i, v) for i = 0 ... degree in this order, v[g] the xi-derivative of order `order`
// (Order itself unless Order is any_order) of P_i at xi[g], for G independent lanes at once (their
// chains of dependent operations overlap); one upward pass. Above the degree every value is 0.
template <int Order, std::size_t G, class Real, class Visit>
void walk_legendre(const Real (&xi)[G], std::size_t degree, std::size_t order, Visit&& visit) {
    const std::size_t top = Order == any_order ? order : static_cast<std::size_t>(Order);
    Real out[G];
    if (top > degree) {
        for (std::size_t g = 0; g < G; ++g) out[g] = Real(0.0);
        for (std::size_t i = 0; i <= degree; ++i) visit(i, static_cast<const Real*>(out));
        return;
    }
    detail::WalkState<Order, G, Real> s(top);
    // Degrees -1 (nothing) and 0.
    for (std::size_t g = 0; g < G; ++g) {
        for (std::size_t q = 0; q <= top; ++q) s.set(q, g, Real(0.0), Real(q == 0 ? 1.0 : 0.0));
        out[g] = s.current(top, g);
    }
    visit(std::size_t{0}, static_cast<const Real*>(out));
    if (degree == 0) return;
    // Degrees 0 and 1.
    for (std::size_t g = 0; g < G; ++g) {
        for (std::size_t q = 0; q <= top; ++q) {
            const Real one = q == 0 ? xi[g] : Real(q == 1 ? 1.0 : 0.0);
            s.set(q, g, s.current(q, g), one);
        }
        out[g] = s.current(top, g);
    }
    visit(std::size_t{1}, static_cast<const Real*>(out));
    for (std::size_t i = 1; i < degree; ++i) {
        const LegendreStep step(i);
        for (std::size_t g = 0; g < G; ++g) {
            // Highest order first: each reads the order below at degree i before it moves on.
            for (std::size_t q = top; q >= 1; --q) {
                const Real p = s.current(q, g);
                s.set(q, g, p, next_legendre_derivative(step, s.previous(q, g), s.current(q - 1, g)));
            }
            const Real p = s.current(0, g);
            s.set(0, g, p, next_legendre(step, xi[g], p, s.previous(0, g)));
            out[g] = s.current(top, g);
        }
        visit(i + 1, static_cast<const Real*>(out));
    }
}

// walk_legendre with the derivative order fixed at compile time for 0 and 1 (in registers) and
// given at run time above.
template <std::size_t G, class Real, class Visit>
void walk_legendre_order(const Real (&xi)[G], std::size_t degree, std::size_t order, Visit&& visit) {
    if (order == 0) {
        walk_legendre<0>(xi, degree, 0, visit);
    } else if (order == 1) {
        walk_legendre<1>(xi, degree, 1, visit);
    } else {
        walk_legendre<any_order>(xi, degree, order, visit);
    }
}

// One double lane: visit(i, value).
template <class Visit>
void walk_legendre_order(double xi, std::size_t degree, std::size_t order, Visit&& visit) {
    const double lanes[1] = {xi};
    walk_legendre_order(lanes, degree, order, [&](std::size_t i, const double* v) { visit(i, v[0]); });
}

// The expansion S = -0.0 + v_0 C_0 + ... + v_degree C_degree, added in degree order, with v_i the
// xi-derivative of order `order` of P_i(xi) (P_i itself for order 0) and C_i = row[i * stride].
inline double legendre_sum(double xi, std::size_t degree, std::size_t order, const double* row, std::size_t stride) {
    double sum = -0.0;
    walk_legendre_order(xi, degree, order, [&](std::size_t i, double v) { sum = sum + v * row[i * stride]; });
    return sum;
}

// Writes the xi-derivatives of order `order` of P_0 ... P_(n-1) at xi into `out` (n = out.size()).
inline void legendre_values(double xi, std::span<double> out, std::size_t order = 0) {
    if (out.empty()) return;
    walk_legendre_order(xi, out.size() - 1, order, [&](std::size_t i, double v) { out[i] = v; });
}

}  // namespace pwpoly::piecewise_polynomials
