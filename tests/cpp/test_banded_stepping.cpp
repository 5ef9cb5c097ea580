#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "piecewise_polynomials/mod.hpp"
#include "support.hpp"

namespace {

namespace pp = pwpoly::piecewise_polynomials;
using pwpoly::testing_support::fault_message;

constexpr std::size_t n = 30;

// A made-up method of three blocks whose time matrix T2^-1 T1 = T1 has one real eigenvalue (c,
// eigenvector e0) and the pair a +- ib (eigenvectors (0, 1, -+i)), with a coupling through A
// (C2 != 0): its decoupled data by hand, its coupled block for the dense reference.
struct Mixed {
    static constexpr double a = 0.75, b = 1.5, c = 0.5;
    std::vector<double> T1{c, 0.0, 0.0, 0.0, a, -b, 0.0, b, a};
    std::vector<double> T2{1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
    std::vector<double> C1{1.0, 0.5, -0.25}, C2{0.25, -0.5, 0.125}, E{1.0, 1.0, -1.0};
    std::vector<double> eigen_re{c, a}, eigen_im{0.0, b};
    std::vector<double> G_re{1.0, 0.0, 0.0, 0.0, 0.5, 0.0};
    std::vector<double> G_im{0.0, 0.0, 0.0, 0.0, 0.0, 0.5};
    std::vector<double> Wy{1.0, 0.0, 0.0, 0.0, 0.0, 2.0, 0.0, 0.0, 0.0, 0.0, 0.0, 2.0};
};

// A square matrix of n rows with random entries within `lower` diagonals below and `upper`
// above the main one (a small diagonal, so the LU swaps rows), dense and in compressed rows.
struct Operator {
    std::vector<double> dense = std::vector<double>(n * n, 0.0);
    std::vector<std::int64_t> indptr{0}, indices;
    std::vector<double> data;
    Operator(std::mt19937& random, std::size_t lower, std::size_t upper) {
        std::uniform_real_distribution<double> entry(-1.0, 1.0);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = i >= lower ? i - lower : 0; j <= std::min(n - 1, i + upper); ++j) {
                const double value = i == j ? 0.01 * entry(random) : entry(random);
                dense[(i * n) + j] = value;
                indices.push_back(static_cast<std::int64_t>(j));
                data.push_back(value);
            }
            indptr.push_back(static_cast<std::int64_t>(data.size()));
        }
    }
    pp::CompressedRows rows() const { return {indptr, indices, data}; }
};

struct Steps {
    std::vector<double> out, u;
    std::size_t done;
};

Steps banded(const Mixed& mix, const Operator& M, const Operator& A, std::size_t lower, std::size_t upper,
           std::span<const std::int64_t> slots, std::span<const double> loads, std::vector<double> u,
           std::vector<double>& factors, std::vector<std::int64_t>& pivots, std::vector<std::int64_t>& factored) {
    const pp::BandedStepMethod method{n,          3,          lower,    upper,    mix.C1,   mix.C2,   mix.E,
                                      mix.eigen_re, mix.eigen_im, mix.G_re, mix.G_im, mix.Wy, M.rows(), A.rows()};
    const std::vector<double> halves{0.05, 0.2};
    std::vector<double> out(slots.size() * 3 * n);
    const std::size_t done = pp::banded_steps(method, {halves, factors, pivots, factored}, slots, loads, u, out);
    return {out, u, done};
}

TEST(BandedStepping, AgreesWithTheDenseCoupledSolveAndCutsGiveTheSameBits) {
    std::mt19937 random(7);
    const Operator M(random, 1, 1), A(random, 2, 1);
    const std::size_t lower = 2, upper = 1;
    const Mixed mix;
    const std::vector<std::int64_t> slots{0, 1, 1, 0, 1};
    std::uniform_real_distribution<double> entry(-1.0, 1.0);
    std::vector<double> loads(slots.size() * 3 * n), u0(n);
    for (double& value : loads) value = entry(random);
    for (double& value : u0) value = entry(random);
    const std::size_t size = pp::banded_factor_size(n, 2, lower, upper);
    std::vector<double> factors(2 * size);
    std::vector<std::int64_t> pivots(2 * 2 * n), factored(2, 0);
    const Steps whole = banded(mix, M, A, lower, upper, slots, loads, u0, factors, pivots, factored);
    ASSERT_EQ(whole.done, slots.size());
    EXPECT_EQ(factored, (std::vector<std::int64_t>{1, 1}));

    const std::size_t N = 3 * n;
    std::vector<double> dense_factors(2 * N * N), dense_u = u0, dense_out(slots.size() * N);
    std::vector<std::int64_t> dense_pivots(2 * N), dense_factored(2, 0);
    const std::vector<double> halves{0.05, 0.2};
    const pp::DenseStepMethod coupled{n, 3, mix.T1, mix.T2, mix.C1, mix.C2, mix.E, M.dense, A.dense};
    ASSERT_EQ(pp::dense_steps(coupled, {halves, dense_factors, dense_pivots, dense_factored}, slots, loads, dense_u,
                              dense_out),
              slots.size());
    double scale = 0.0, difference = 0.0;
    for (std::size_t i = 0; i < dense_out.size(); ++i) {
        scale = std::max(scale, std::fabs(dense_out[i]));
        difference = std::max(difference, std::fabs(dense_out[i] - whole.out[i]));
    }
    EXPECT_GT(scale, 0.0);
    EXPECT_LE(difference, 1e-12 * scale);
    for (std::size_t r = 0; r < n; ++r) EXPECT_NEAR(whole.u[r], dense_u[r], 1e-12 * scale);

    // Cut into two calls, fresh factors: the bits of the whole run.
    std::vector<double> fresh(2 * size);
    std::vector<std::int64_t> fresh_pivots(2 * 2 * n), fresh_factored(2, 0);
    const std::span<const std::int64_t> all(slots);
    const std::span<const double> all_loads(loads);
    const Steps first = banded(mix, M, A, lower, upper, all.first(2), all_loads.first(2 * N), u0, fresh, fresh_pivots,
                             fresh_factored);
    const Steps second = banded(mix, M, A, lower, upper, all.subspan(2), all_loads.subspan(2 * N), first.u, fresh,
                              fresh_pivots, fresh_factored);
    std::vector<double> joined = first.out;
    joined.insert(joined.end(), second.out.begin(), second.out.end());
    EXPECT_EQ(joined, whole.out);
    EXPECT_EQ(second.u, whole.u);
}

TEST(BandedStepping, ASingularSystemStopsAtItsInterval) {
    std::mt19937 random(3);
    Operator M(random, 0, 0), A(random, 0, 0);
    std::fill(A.data.begin(), A.data.end(), 0.0);
    M.data[n / 2] = 0.0;  // lambda M + h/2 A has a zero row for every interval length
    const Mixed mix;
    const std::vector<std::int64_t> slots{1, 0};
    std::vector<double> loads(2 * 3 * n, 1.0), factors(2 * pp::banded_factor_size(n, 2, 0, 0));
    std::vector<std::int64_t> pivots(2 * 2 * n), factored(2, 0);
    const Steps run = banded(mix, M, A, 0, 0, slots, loads, std::vector<double>(n, 1.0), factors, pivots, factored);
    EXPECT_EQ(run.done, 0U);
    EXPECT_EQ(factored, (std::vector<std::int64_t>{0, 0}));
}

TEST(BandedStepping, RefusesMismatchedBuffersAndEntriesOutsideTheBand) {
    std::mt19937 random(5);
    const Operator M(random, 1, 1), A(random, 1, 1);
    const Mixed mix;
    const std::vector<std::int64_t> slots{0};
    std::vector<double> loads(3 * n, 0.0), factors(2 * pp::banded_factor_size(n, 2, 1, 1));
    std::vector<std::int64_t> pivots(2 * 2 * n), factored(2, 0);
    EXPECT_EQ(fault_message([&] { banded(mix, M, A, 1, 0, slots, loads, std::vector<double>(n), factors, pivots, factored); }),
              "banded steps: buffer sizes do not match");
    std::vector<double> narrow(2 * pp::banded_factor_size(n, 2, 1, 0));
    EXPECT_EQ(fault_message([&] { banded(mix, M, A, 1, 0, slots, loads, std::vector<double>(n), narrow, pivots, factored); }),
              "banded steps: an entry outside the band");
    const std::vector<std::int64_t> bad{2};
    EXPECT_EQ(fault_message([&] { banded(mix, M, A, 1, 1, bad, loads, std::vector<double>(n), factors, pivots, factored); }),
              "banded steps: slot out of range");
}

}  // namespace
