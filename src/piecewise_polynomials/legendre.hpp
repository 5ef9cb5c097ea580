// Legendre polynomials by the three-term recurrence, in the one operation order every basis
// of this library uses:  P_(j+1) = ((((j + j) + 1) * xi) * P_j - P_(j-1) * j) / (j + 1).
#pragma once

#include <cstddef>
#include <span>

namespace pwpoly::piecewise_polynomials {

// Writes P_0(xi) ... P_(n-1)(xi) into `out` (n = out.size()).
inline void legendre_values(double xi, std::span<double> out) {
    if (out.empty()) return;
    out[0] = 1.0;
    if (out.size() == 1) return;
    out[1] = xi;
    for (std::size_t i = 1; i + 1 < out.size(); ++i) {
        const double j = static_cast<double>(i);
        const double c = (j + j) + 1.0;
        const double m = (c * xi) * out[i];
        const double r = out[i - 1] * j;
        out[i + 1] = (m - r) / (j + 1.0);
    }
}

}  // namespace pwpoly::piecewise_polynomials
