// The Lagrange basis functions of the equidistant reference nodes x_0 ... x_d of [-1, 1] and their
// derivatives, in product form: the one way the array face's Lagrange operators (the
// transformation to Legendre coefficients, the prolongation, the Galerkin operators and with them
// the mass matrix) form them.
//
//   l_j(x)  = prod over l != j, ascending, of f_l,  f_l = (x - x_l) / (x_j - x_l)
//   l_j'(x) = sum over l != j, ascending, of (1 / (x_j - x_l)) (L_l R_l),
//             L_l the product of the f_s for s < l (ascending), R_l that for s > l (from the top
//             down), s != j.
//
// Every factor is a difference of nearby numbers divided by a difference of nodes, so each value
// carries a few units in the last place per factor, whatever the size of the others: no division
// by x - x_j, no normalisation by a sum, and exactly 1 at its own node and 0 at the others. (The
// scalar face keeps its own barycentric prolongation and inverted Vandermonde matrix.)
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "common/fault.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"

namespace pwpoly::piecewise_polynomials {

class LagrangeFunctions {
public:
    // The functions of `degree` >= 1 ("capacity overflow" when degree + 1 nodes cannot be held).
    explicit LagrangeFunctions(std::size_t degree) : nodes_(reference_nodes(degree)) {}

    std::size_t count() const noexcept { return nodes_.size(); }
    const std::vector<double>& nodes() const noexcept { return nodes_; }

    // l_0(x) ... l_d(x) into out (d + 1 values).
    void values(double x, std::span<double> out) const {
        require_size(out);
        const std::size_t m = nodes_.size();
        for (std::size_t j = 0; j < m; ++j) {
            double product = 1.0;
            for (std::size_t l = 0; l < m; ++l)
                if (l != j) product = product * factor(j, l, x);
            out[j] = product;
        }
    }

    // l_0'(x) ... l_d'(x) (in xi) into out (d + 1 values); O(d^2).
    void derivatives(double x, std::span<double> out) const {
        require_size(out);
        const std::size_t m = nodes_.size();
        std::vector<double> above(m);
        for (std::size_t j = 0; j < m; ++j) {
            // above[l] = R_l, the product of the factors above l (s != j), formed downward.
            double right = 1.0;
            for (std::size_t l = m; l-- > 0;) {
                above[l] = right;
                if (l != j) right = factor(j, l, x) * right;
            }
            double left = 1.0;
            double sum = 0.0;
            for (std::size_t l = 0; l < m; ++l) {
                if (l == j) continue;
                sum = sum + (1.0 / (nodes_[j] - nodes_[l])) * (left * above[l]);
                left = left * factor(j, l, x);
            }
            out[j] = sum;
        }
    }

private:
    double factor(std::size_t j, std::size_t l, double x) const { return (x - nodes_[l]) / (nodes_[j] - nodes_[l]); }

    void require_size(std::span<double> out) const {
        if (out.size() != nodes_.size()) fault("Lagrange functions: expected degree + 1 values");
    }

    std::vector<double> nodes_;
};

}  // namespace pwpoly::piecewise_polynomials
