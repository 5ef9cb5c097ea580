// Legendre polynomials by the three-term recurrence, in the one operation order every basis
// of this library uses:  P_(j+1) = ((((j + j) + 1) * xi) * P_j - P_(j-1) * j) / (j + 1),
// with their xi-derivatives D_0 = 0, D_1 = 1, D_(j+1) = D_(j-1) + ((j + j) + 1) * P_j, which
// stay exact at xi = +-1 (D_i(1) = i(i+1)/2).
#pragma once

#include <cstddef>
#include <span>

namespace pwpoly::piecewise_polynomials {

// Calls visit(i, P_i(xi), D_i(xi)) for i = 0 ... degree in this order, in one upward pass
// without storage.
template <class Visit>
void walk_legendre(double xi, std::size_t degree, Visit&& visit) {
    double p_prev = 1.0;
    double d_prev = 0.0;
    visit(std::size_t{0}, p_prev, d_prev);
    if (degree == 0) return;
    double p = xi;
    double d = 1.0;
    visit(std::size_t{1}, p, d);
    for (std::size_t i = 1; i < degree; ++i) {
        const double j = static_cast<double>(i);
        const double c = (j + j) + 1.0;
        const double m = (c * xi) * p;
        const double r = p_prev * j;
        const double p_next = (m - r) / (j + 1.0);
        const double d_next = d_prev + c * p;
        p_prev = p;
        p = p_next;
        d_prev = d;
        d = d_next;
        visit(i + 1, p, d);
    }
}

// The expansion S = -0.0 + v_0 C_0 + ... + v_degree C_degree, added in degree order, with
// v_i = P_i(xi) (or D_i(xi) for the derivative) and C_i = row[i * stride].
template <bool Derivative>
double legendre_sum(double xi, std::size_t degree, const double* row, std::size_t stride) {
    double sum = -0.0;
    walk_legendre(xi, degree,
                  [&](std::size_t i, double p, double d) { sum = sum + (Derivative ? d : p) * row[i * stride]; });
    return sum;
}

// Writes P_0(xi) ... P_(n-1)(xi) into `out` (n = out.size()).
inline void legendre_values(double xi, std::span<double> out) {
    if (out.empty()) return;
    walk_legendre(xi, out.size() - 1, [&](std::size_t i, double p, double) { out[i] = p; });
}

}  // namespace pwpoly::piecewise_polynomials
