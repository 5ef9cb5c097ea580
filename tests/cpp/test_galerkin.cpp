#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "piecewise_polynomials/mod.hpp"
#include "support.hpp"

namespace {

namespace pp = pwpoly::piecewise_polynomials;
using pp::BasisKind;
using pp::BasisShape;
using pp::GalerkinForm;
using pwpoly::testing_support::bits;
using pwpoly::testing_support::fault_message;
using pwpoly::testing_support::random_below;

template <class Index>
struct Rows {
    std::vector<Index> indptr;
    std::vector<Index> indices;
    std::vector<double> data;
};

template <class Index, class Partition>
Rows<Index> operator_rows(const pp::GalerkinOperator& op, const Partition& partition, std::size_t first,
                          std::size_t last, std::size_t base = 0) {
    const std::size_t nnz = op.rows_nnz(partition.n_intervals(), first, last);
    Rows<Index> rows{std::vector<Index>(last - first + 1), std::vector<Index>(nnz), std::vector<double>(nnz)};
    rows.indptr[0] = static_cast<Index>(base);
    op.fill_rows<Index>(partition, first, last, rows.indptr, rows.indices, rows.data);
    return rows;
}

template <class Index>
std::vector<double> dense(const Rows<Index>& rows, std::size_t columns) {
    const std::size_t n = rows.indptr.size() - 1;
    std::vector<double> out(n * columns, 0.0);
    for (std::size_t r = 0; r < n; ++r) {
        for (auto p = rows.indptr[r]; p < rows.indptr[r + 1]; ++p) {
            const auto c = static_cast<std::size_t>(rows.indices[static_cast<std::size_t>(p)]);
            out[r * columns + c] = rows.data[static_cast<std::size_t>(p)];
        }
    }
    return out;
}

std::vector<double> random_breakpoints(std::mt19937_64& rng, std::size_t n) {
    std::uniform_real_distribution<double> length(0.01, 2.0);
    std::vector<double> b{-0.7};
    for (std::size_t k = 0; k < n; ++k) b.push_back(b.back() + length(rng));
    return b;
}

// Value (or xi-derivative) of local function a of a basis at xi, from the definitions.
double local_function(BasisShape shape, std::size_t a, double xi, bool derivative) {
    if (shape.kind == BasisKind::legendre) {
        std::vector<double> values(shape.degree + 1);
        pp::legendre_values(xi, values, derivative ? 1 : 0);
        return values[a];
    }
    if (derivative) {
        // L_a = sum over c of G(a, c) P_c, the local Lagrange-to-Legendre matrix.
        const std::vector<double> G = pp::lagrange_to_legendre_local_matrix(shape.degree);
        std::vector<double> d(shape.degree + 1);
        pp::legendre_values(xi, d, 1);
        double sum = 0.0;
        for (std::size_t c = 0; c <= shape.degree; ++c) sum += G[a * (shape.degree + 1) + c] * d[c];
        return sum;
    }
    const std::vector<double> x = pp::reference_nodes(shape.degree);
    double product = 1.0;
    for (std::size_t l = 0; l < x.size(); ++l) {
        if (l != a) product *= (xi - x[l]) / (x[a] - x[l]);
    }
    return product;
}

// Global index of local function a of interval k.
std::size_t global(BasisShape shape, std::size_t n, std::size_t k, std::size_t a) {
    return shape.kind == BasisKind::legendre ? a * n + k : k * shape.degree + a;
}

// The operator from its definition, dense, by a 12-point rule per interval plus the traces.
std::vector<double> reference(BasisShape test, BasisShape trial, GalerkinForm form,
                              const pp::BreakpointPartition& part) {
    const std::size_t n = part.n_intervals();
    const std::size_t rows = test.size(n);
    const std::size_t columns = trial.size(n);
    std::vector<double> out(rows * columns, 0.0);
    const pp::GaussRule rule = pp::gauss_legendre_rule(12);
    for (std::size_t k = 0; k < n; ++k) {
        const double h = part.length(k);
        for (std::size_t a = 0; a <= test.degree; ++a) {
            for (std::size_t b = 0; b <= trial.degree; ++b) {
                double sum = 0.0;
                for (std::size_t g = 0; g < 12; ++g) {
                    const double x = rule.nodes[g];
                    sum += rule.weights[g] * local_function(test, a, x, false) *
                           local_function(trial, b, x, form != GalerkinForm::mass);
                }
                const double value = form == GalerkinForm::mass ? sum * h / 2 : sum;
                out[global(test, n, k, a) * columns + global(trial, n, k, b)] += value;
                if (form == GalerkinForm::upwind) {
                    // psi_a(t_k+) (phi_b(t_k+) - phi_b(t_k-)): interval k's own and interval k-1's.
                    const double psi = local_function(test, a, -1.0, false);
                    out[global(test, n, k, a) * columns + global(trial, n, k, b)] +=
                        psi * local_function(trial, b, -1.0, false);
                    if (k > 0)
                        out[global(test, n, k, a) * columns + global(trial, n, k - 1, b)] -=
                            psi * local_function(trial, b, 1.0, false);
                }
            }
        }
    }
    return out;
}

TEST(GaussRule, SymmetricAndExact) {
    for (std::size_t n = 1; n <= 14; ++n) {
        const pp::GaussRule rule = pp::gauss_legendre_rule(n);
        for (std::size_t g = 0; g < n; ++g) {
            EXPECT_EQ(bits(rule.nodes[g]), bits(-rule.nodes[n - 1 - g]) ^ (n % 2 == 1 && g == n / 2 ? 1ULL << 63 : 0));
            EXPECT_EQ(bits(rule.weights[g]), bits(rule.weights[n - 1 - g]));
            if (g > 0) {
                EXPECT_LT(rule.nodes[g - 1], rule.nodes[g]);
            }
        }
        for (std::size_t power = 0; power < 2 * n; power += 2) {
            double sum = 0.0;
            for (std::size_t g = 0; g < n; ++g) sum += rule.weights[g] * std::pow(rule.nodes[g], power);
            EXPECT_NEAR(sum, 2.0 / static_cast<double>(power + 1), 1e-14) << n << " " << power;
        }
    }
}

// Every kind of operator against its definition on random breakpoints: to 1e-13 of its largest
// entry, nothing stored that is zero, the closed forms exact; and any chain of row blocks holds
// the whole operator's bits.
TEST(GalerkinOperator, DefinitionClosedFormsAndBlocks) {
    std::mt19937_64 rng(17);
    const BasisKind kinds[] = {BasisKind::legendre, BasisKind::lagrange};
    for (int trial_run = 0; trial_run < 120; ++trial_run) {
        const BasisKind test_kind = kinds[random_below(rng, 2)];
        const BasisKind trial_kind = kinds[random_below(rng, 2)];
        const BasisShape test{test_kind, random_below(rng, 5) + (test_kind == BasisKind::lagrange ? 1 : 0)};
        const BasisShape trial{trial_kind, random_below(rng, 5) + (trial_kind == BasisKind::lagrange ? 1 : 0)};
        const bool legendre = test_kind == BasisKind::legendre && trial_kind == BasisKind::legendre;
        const GalerkinForm form = static_cast<GalerkinForm>(random_below(rng, legendre ? 3 : 2));
        const std::vector<double> b = random_breakpoints(rng, 1 + random_below(rng, 5));
        const pp::BreakpointPartition part{b};
        const pp::GalerkinOperator op(test, trial, form);
        const std::size_t n = part.n_intervals();
        const std::size_t rows = op.rows(n);
        const auto whole = operator_rows<std::int64_t>(op, part, 0, rows);
        const std::vector<double> got = dense(whole, trial.size(n));
        const std::vector<double> want = reference(test, trial, form, part);
        double scale = 0.0;
        for (double v : want) scale = std::max(scale, std::fabs(v));
        for (std::size_t e = 0; e < got.size(); ++e) ASSERT_NEAR(got[e], want[e], 1e-13 * scale) << e;
        for (std::size_t p = 0; p < whole.data.size(); ++p) {
            ASSERT_NE(whole.data[p], 0.0);
            if (legendre && form != GalerkinForm::mass) {
                ASSERT_TRUE(std::fabs(whole.data[p]) == 1.0 || whole.data[p] == 2.0);
            }
        }
        for (std::size_t r = 0; r < rows; ++r) {
            for (auto p = whole.indptr[r] + 1; p < whole.indptr[r + 1]; ++p) {
                ASSERT_LT(whole.indices[static_cast<std::size_t>(p - 1)], whole.indices[static_cast<std::size_t>(p)]);
            }
        }
        // A random chain of blocks, int32.
        std::size_t first = 0;
        std::size_t base = 3;
        while (first < rows) {
            const std::size_t last = first + 1 + random_below(rng, rows - first);
            const auto block = operator_rows<std::int32_t>(op, part, first, last, base);
            const std::size_t start = static_cast<std::size_t>(whole.indptr[first]);
            for (std::size_t r = first; r <= last; ++r)
                ASSERT_EQ(static_cast<std::size_t>(block.indptr[r - first]) - base,
                          static_cast<std::size_t>(whole.indptr[r]) - start);
            for (std::size_t p = 0; p < block.data.size(); ++p) {
                ASSERT_EQ(block.indices[p], whole.indices[start + p]);
                ASSERT_EQ(bits(block.data[p]), bits(whole.data[start + p]));
            }
            base += block.data.size();
            first = last;
        }
    }
}

TEST(GalerkinOperator, Faults) {
    EXPECT_EQ(fault_message([] { pp::GalerkinOperator({BasisKind::lagrange, 1}, {BasisKind::legendre, 1}, GalerkinForm::upwind); }),
              "Galerkin operator: upwind needs Legendre test and trial bases");
    EXPECT_EQ(fault_message([] { pp::GalerkinOperator({BasisKind::lagrange, 0}, {BasisKind::legendre, 1}, GalerkinForm::mass); }),
              "Galerkin operator: a Lagrange basis of degree 0");
    const pp::GalerkinOperator op({BasisKind::legendre, 1}, {BasisKind::legendre, 1}, GalerkinForm::mass);
    EXPECT_EQ(fault_message([&] { (void)op.rows_nnz(2, 0, 5); }), "Galerkin operator: range outside the operator's rows");
}

// Coarse to fine and back on nested breakpoints is the identity; blocks chain to the whole.
TEST(Projection, NestedThereAndBackAndBlocks) {
    std::mt19937_64 rng(5);
    for (int run = 0; run < 30; ++run) {
        const std::vector<double> coarse = random_breakpoints(rng, 1 + random_below(rng, 4));
        std::vector<double> fine{coarse[0]};
        for (std::size_t k = 0; k + 1 < coarse.size(); ++k) {
            const std::size_t pieces = 1 + random_below(rng, 3);
            for (std::size_t s = 1; s < pieces; ++s)
                fine.push_back(coarse[k] + (coarse[k + 1] - coarse[k]) * static_cast<double>(s) / static_cast<double>(pieces));
            fine.push_back(coarse[k + 1]);
        }
        const pp::BreakpointPartition C{coarse};
        const pp::BreakpointPartition F{fine};
        const std::size_t p = random_below(rng, 4);
        const std::size_t q = p + random_below(rng, 3);
        auto build = [](std::size_t ps, const pp::BreakpointPartition& S, std::size_t pt,
                        const pp::BreakpointPartition& T, std::size_t first, std::size_t last, std::size_t base) {
            const std::size_t room = pp::projection_rows_room(ps, S, pt, T, first, last);
            Rows<std::int64_t> rows{std::vector<std::int64_t>(last - first + 1), std::vector<std::int64_t>(room),
                                    std::vector<double>(room)};
            rows.indptr[0] = static_cast<std::int64_t>(base);
            const std::size_t nnz = pp::projection_rows<std::int64_t>(ps, S, pt, T, first, last, rows.indptr,
                                                                       rows.indices, rows.data);
            rows.indices.resize(nnz);
            rows.data.resize(nnz);
            return rows;
        };
        const std::size_t nc = C.n_intervals();
        const std::size_t nf = F.n_intervals();
        const auto up = dense(build(p, C, q, F, 0, (q + 1) * nf, 0), (p + 1) * nc);
        const auto down = dense(build(q, F, p, C, 0, (p + 1) * nc, 0), (q + 1) * nf);
        for (std::size_t r = 0; r < (p + 1) * nc; ++r) {
            for (std::size_t c = 0; c < (p + 1) * nc; ++c) {
                double sum = 0.0;
                for (std::size_t m = 0; m < (q + 1) * nf; ++m) sum += down[r * (q + 1) * nf + m] * up[m * (p + 1) * nc + c];
                ASSERT_NEAR(sum, r == c ? 1.0 : 0.0, 1e-13);
            }
        }
        const auto whole = build(q, F, p, C, 0, (p + 1) * nc, 0);
        const std::size_t split = random_below(rng, (p + 1) * nc + 1);
        const auto head = build(q, F, p, C, 0, split, 0);
        const auto tail = build(q, F, p, C, split, (p + 1) * nc, head.data.size());
        std::vector<double> joined = head.data;
        joined.insert(joined.end(), tail.data.begin(), tail.data.end());
        ASSERT_EQ(joined.size(), whole.data.size());
        for (std::size_t e = 0; e < joined.size(); ++e) ASSERT_EQ(bits(joined[e]), bits(whole.data[e]));
        ASSERT_EQ(tail.indptr.back(), whole.indptr.back());
    }
}

}  // namespace
