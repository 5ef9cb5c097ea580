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
// (C2 != 0): its split by hand.
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

// A square matrix of `size` rows with random entries within `lower` diagonals below and `upper`
// above the main one (a small diagonal, so the LU swaps rows), in compressed rows.
struct Operator {
    std::vector<std::int64_t> indptr{0}, indices;
    std::vector<double> data;
    Operator(std::mt19937& random, std::size_t lower, std::size_t upper, std::size_t size = n) {
        std::uniform_real_distribution<double> entry(-1.0, 1.0);
        for (std::size_t i = 0; i < size; ++i) {
            for (std::size_t j = i >= lower ? i - lower : 0; j <= std::min(size - 1, i + upper); ++j) {
                indices.push_back(static_cast<std::int64_t>(j));
                data.push_back(i == j ? 0.01 * entry(random) : entry(random));
            }
            indptr.push_back(static_cast<std::int64_t>(data.size()));
        }
    }
    pp::CompressedRows rows() const { return {indptr, indices, data}; }
};

// The description of a Mixed step: split (the banded systems) or coupled (the dense block).
pp::StepDescription describe(const Mixed& mix, const Operator& M, const Operator& A, bool split, std::size_t lower,
                             std::size_t upper) {
    pp::StepDescription d{n, 3, mix.T1, mix.T2, mix.C1, mix.C2, mix.E, {}, {}, {}, {}, {}, M.rows(), A.rows(), 0, 0};
    if (split) {
        d.eigen_re = mix.eigen_re;
        d.eigen_im = mix.eigen_im;
        d.G_re = mix.G_re;
        d.G_im = mix.G_im;
        d.Wy = mix.Wy;
        d.lower = lower;
        d.upper = upper;
    }
    return d;
}

struct Outcome {
    std::vector<double> out, u;
    pp::StepRun run;
};

// A run with its own fresh factors of the two lengths 0.1 and 0.4.
struct Cache {
    std::vector<double> halves{0.05, 0.2}, factors;
    std::vector<std::int64_t> pivots, factored;
    explicit Cache(const pp::StepDescription& d)
        : factors(2 * d.factor_size()), pivots(2 * d.pivot_count()), factored(2, 0) {}
    Outcome run(const pp::StepDescription& d, std::span<const std::int64_t> slots, std::span<const double> loads,
            std::vector<double> u, std::span<const double> corrections = {}) {
        std::vector<double> out(slots.size() * d.m * d.n);
        const pp::StepRun run = pp::steps(d, {halves, factors, pivots, factored}, slots, loads, corrections, u, out);
        return {out, u, run};
    }
};

struct Problem {
    std::mt19937 random{7};
    Operator M{random, 1, 1}, A{random, 2, 1};
    Mixed mix;
    std::vector<std::int64_t> slots{0, 1, 1, 0, 1};
    std::vector<double> loads, u0, corrections;
    Problem() : loads(slots.size() * 3 * n), u0(n), corrections(slots.size() * n) {
        std::uniform_real_distribution<double> entry(-1.0, 1.0);
        for (double& value : loads) value = entry(random);
        for (double& value : u0) value = entry(random);
        for (double& value : corrections) value = 0.01 * entry(random);
    }
};

double largest_difference(const std::vector<double>& a, const std::vector<double>& b) {
    double difference = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) difference = std::max(difference, std::fabs(a[i] - b[i]));
    return difference;
}

TEST(Stepping, TheSplitSystemsAgreeWithTheCoupledBlock) {
    Problem problem;
    const pp::StepDescription split = describe(problem.mix, problem.M, problem.A, true, 2, 1);
    const pp::StepDescription coupled = describe(problem.mix, problem.M, problem.A, false, 0, 0);
    Cache split_cache(split), coupled_cache(coupled);
    const Outcome a = split_cache.run(split, problem.slots, problem.loads, problem.u0);
    const Outcome b = coupled_cache.run(coupled, problem.slots, problem.loads, problem.u0);
    ASSERT_EQ(a.run.done, problem.slots.size());
    ASSERT_EQ(b.run.done, problem.slots.size());
    EXPECT_EQ(split_cache.factored, (std::vector<std::int64_t>{1, 1}));
    double scale = 0.0;
    for (double value : b.out) scale = std::max(scale, std::fabs(value));
    EXPECT_GT(scale, 0.0);
    EXPECT_LE(largest_difference(a.out, b.out), 1e-12 * scale);
    EXPECT_LE(largest_difference(a.u, b.u), 1e-12 * scale);
}

// Cut into two calls: the bits of the whole run; corrections continue the run as a new start
// value plus the correction would.
class SteppingPaths : public ::testing::TestWithParam<bool> {};

TEST_P(SteppingPaths, CutsAndCorrectionsGiveTheBitsOfTheWhole) {
    Problem problem;
    const pp::StepDescription d = describe(problem.mix, problem.M, problem.A, GetParam(), 2, 1);
    const std::span<const std::int64_t> slots(problem.slots);
    const std::span<const double> loads(problem.loads), corrections(problem.corrections);
    const std::size_t N = 3 * n;
    for (const bool corrected : {false, true}) {
        SCOPED_TRACE(corrected);
        const std::span<const double> extra = corrected ? corrections : std::span<const double>{};
        Cache whole_cache(d), cut_cache(d);
        const Outcome whole = whole_cache.run(d, slots, loads, problem.u0, extra);
        ASSERT_EQ(whole.run.done, slots.size());
        const Outcome first = cut_cache.run(d, slots.first(2), loads.first(2 * N), problem.u0,
                                        corrected ? corrections.first(2 * n) : extra);
        const Outcome second = cut_cache.run(d, slots.subspan(2), loads.subspan(2 * N), first.u,
                                         corrected ? corrections.subspan(2 * n) : extra);
        std::vector<double> joined = first.out;
        joined.insert(joined.end(), second.out.begin(), second.out.end());
        EXPECT_EQ(joined, whole.out);
        EXPECT_EQ(second.u, whole.u);
    }
    // Step by step, adding each correction to the end value by hand.
    Cache whole_cache(d), single(d);
    const Outcome whole = whole_cache.run(d, slots, loads, problem.u0, corrections);
    std::vector<double> u = problem.u0;
    for (std::size_t k = 0; k < slots.size(); ++k) {
        const Outcome step = single.run(d, slots.subspan(k, 1), loads.subspan(k * N, N), u);
        EXPECT_TRUE(std::equal(step.out.begin(), step.out.end(), whole.out.begin() + static_cast<std::ptrdiff_t>(k * N)));
        u = step.u;
        for (std::size_t r = 0; r < n; ++r) u[r] = u[r] + problem.corrections[(k * n) + r];
    }
    EXPECT_EQ(u, whole.u);
}

// A zero row in lambda M + h/2 A for every length stops the run at its first interval; an A
// so large that the solution leaves the doubles stops it at the interval where it does.
TEST_P(SteppingPaths, ASingularStepAndAnOverflowStopAtTheirInterval) {
    Problem problem;
    Operator M(problem.random, 0, 0), A(problem.random, 0, 0);
    std::fill(A.data.begin(), A.data.end(), 0.0);
    M.data[n / 2] = 0.0;
    const std::vector<std::int64_t> slots{1, 0};
    const std::vector<double> loads(2 * 3 * n, 1.0);
    {
        const pp::StepDescription d = describe(problem.mix, M, A, GetParam(), 0, 0);
        Cache cache(d);
        const Outcome run = cache.run(d, slots, loads, std::vector<double>(n, 1.0));
        EXPECT_EQ(run.run.done, 0U);
        EXPECT_EQ(run.run.stop, pp::StepStop::singular);
        EXPECT_EQ(cache.factored, (std::vector<std::int64_t>{0, 0}));
    }
    std::fill(M.data.begin(), M.data.end(), 1.0);
    std::fill(A.data.begin(), A.data.end(), 1e300);
    std::vector<double> corrections(2 * n, 0.0);
    corrections[3] = 1.7e308;  // the first end value near the largest double: A u overflows next
    for (const double start : {1e300, 1e-300}) {
        SCOPED_TRACE(start);
        const pp::StepDescription d = describe(problem.mix, M, A, GetParam(), 0, 0);
        Cache cache(d);
        const Outcome run = cache.run(d, slots, loads, std::vector<double>(n, start), corrections);
        EXPECT_EQ(run.run.done, start > 1.0 ? 0U : 1U);
        EXPECT_EQ(run.run.stop, pp::StepStop::overflow);
    }
}

INSTANTIATE_TEST_SUITE_P(SplitAndCoupled, SteppingPaths, ::testing::Values(true, false));

// Backward Euler (dG(0)) for a 2 x 2 system M u' + A u = 0: on [-1, 1] T1 = 1 (the start trace),
// T2 = 2 (the mass), C1 = 1, C2 = 0, E = 1.
TEST(Stepping, BackwardEulerStepsAndKeepsItsFactors) {
    const std::vector<double> T1{1.0}, T2{2.0}, C1{1.0}, C2{0.0}, E{1.0};
    const std::vector<std::int64_t> indptr{0, 1, 2}, indices{0, 1};
    const std::vector<double> M{1.0, 1.0}, A{2.0, 0.5};  // diagonal: each component steps by 1 / (1 + h a)
    const pp::StepDescription d{2, 1, T1, T2, C1, C2, E, {}, {}, {}, {}, {}, {indptr, indices, M}, {indptr, indices, A},
                                0, 0};
    std::vector<double> halves{0.25, 0.5}, factors(2 * d.factor_size());
    std::vector<std::int64_t> pivots(2 * d.pivot_count()), factored(2, 0);
    const std::vector<std::int64_t> slots{0, 1, 0};
    const std::vector<double> loads(3 * 2, 0.0);
    std::vector<double> u{1.0, 1.0}, out(3 * 2);
    const pp::StepFactors cache{halves, factors, pivots, factored};
    ASSERT_EQ(pp::steps(d, cache, slots, loads, {}, u, out).done, 3U);
    EXPECT_EQ(factored, (std::vector<std::int64_t>{1, 1}));
    const double first = 1.0 / (1.0 + (0.5 * 2.0));  // h = 0.5, a = 2
    EXPECT_DOUBLE_EQ(out[0], first);
    EXPECT_DOUBLE_EQ(out[2], first / (1.0 + 2.0));  // h = 1
    EXPECT_DOUBLE_EQ(u[0], out[4]);
    EXPECT_DOUBLE_EQ(u[1], (1.0 / 1.25 / 1.5) / 1.25);
    // A second call with the factors kept gives the same bits from the same start.
    std::vector<double> again(3 * 2), v{1.0, 1.0};
    ASSERT_EQ(pp::steps(d, cache, slots, loads, {}, v, again).done, 3U);
    EXPECT_EQ(again, out);
}

// The band LU of a random band, real and complex, and the same matrix as a dense one (its full
// band): the residual of each solution is at rounding level.
class BandLu : public ::testing::TestWithParam<std::size_t> {};

template <class S>
double relative_residual(const pp::Band& band, const std::vector<double>& matrix, const std::vector<S>& x,
                         const std::vector<S>& rhs) {
    double residual = 0.0, scale = 0.0;
    for (std::size_t i = 0; i < band.n; ++i) {
        S sum = rhs[i];
        double size = pp::magnitude(rhs[i]);
        const std::size_t first = i >= band.lower ? i - band.lower : 0;
        for (std::size_t c = first; c <= std::min(band.n - 1, i + band.upper); ++c) {
            const S entry = pp::load<S>(matrix, band.at(i, c));
            sum = sum - (entry * x[c]);
            size += pp::magnitude(entry) * pp::magnitude(x[c]);
        }
        residual = std::max(residual, pp::magnitude(sum));
        scale = std::max(scale, size);
    }
    return residual / scale;
}

template <class S>
void check_band_lu(std::size_t lower, std::size_t upper, std::mt19937& random) {
    constexpr std::size_t size = 40;
    std::uniform_real_distribution<double> entry(-1.0, 1.0);
    const pp::Band band{size, lower, upper};
    std::vector<double> matrix(pp::doubles_of<S> * band.entries(), 0.0);
    for (std::size_t i = 0; i < size; ++i)
        for (std::size_t c = i >= lower ? i - lower : 0; c <= std::min(size - 1, i + upper); ++c)
            for (std::size_t part = 0; part < pp::doubles_of<S>; ++part)
                matrix[(pp::doubles_of<S> * band.at(i, c)) + part] = (i == c ? 1e-3 : 1.0) * entry(random);
    std::vector<S> rhs(size);
    std::vector<double> raw(pp::doubles_of<S> * size);
    for (double& value : raw) value = entry(random);
    for (std::size_t i = 0; i < size; ++i) rhs[i] = pp::load<S>(raw, i);
    const pp::Band full = pp::Band::dense(size);
    std::vector<double> dense(pp::doubles_of<S> * full.entries(), 0.0);
    for (std::size_t i = 0; i < size; ++i)
        for (std::size_t c = i >= lower ? i - lower : 0; c <= std::min(size - 1, i + upper); ++c)
            pp::store<S>(dense, full.at(i, c), pp::load<S>(matrix, band.at(i, c)));
    for (const auto& [shape, values] : {std::pair{band, matrix}, std::pair{full, dense}}) {
        std::vector<double> factors = values;
        std::vector<std::int64_t> pivots(size);
        ASSERT_TRUE(pp::lu_factorize<S>(shape, factors, pivots));
        std::vector<S> x = rhs;
        pp::lu_solve<S>(shape, factors, pivots, std::span<S>(x));
        EXPECT_LE(relative_residual<S>(shape, values, x, rhs), 1e-14) << shape.lower << " " << shape.upper;
    }
}

TEST_P(BandLu, SolvesRealAndComplexBandsToRounding) {
    std::mt19937 random(static_cast<unsigned>(GetParam()));
    const std::size_t lower = GetParam() % 4, upper = (GetParam() / 4) % 4;
    check_band_lu<double>(lower, upper, random);
    check_band_lu<pp::Complex>(lower, upper, random);
}

INSTANTIATE_TEST_SUITE_P(Shapes, BandLu, ::testing::Values(0, 1, 5, 6, 11, 14, 15));

TEST(Stepping, RefusesMismatchedBuffersAndEntriesOutsideTheBand) {
    Problem problem;
    const Operator M(problem.random, 1, 1), A(problem.random, 1, 1);
    const std::vector<std::int64_t> slots{0};
    const std::vector<double> loads(3 * n, 0.0);
    const pp::StepDescription d = describe(problem.mix, M, A, true, 1, 1);
    Cache cache(d);
    EXPECT_EQ(fault_message([&] { cache.run(d, slots, loads, std::vector<double>(n - 1)); }),
              "steps: buffer sizes do not match");
    EXPECT_EQ(fault_message([&] { cache.run(d, slots, loads, std::vector<double>(n), std::vector<double>(2)); }),
              "steps: buffer sizes do not match");
    const pp::StepDescription narrow = describe(problem.mix, M, A, true, 1, 0);
    Cache narrow_cache(narrow);
    EXPECT_EQ(fault_message([&] { narrow_cache.run(narrow, slots, loads, std::vector<double>(n)); }),
              "steps: an entry outside the band");
    const std::vector<std::int64_t> bad{2};
    EXPECT_EQ(fault_message([&] { cache.run(d, bad, loads, std::vector<double>(n)); }), "steps: slot out of range");
    const std::vector<std::int64_t> shape{static_cast<std::int64_t>(n), 3, 2, 1, 1};
    const std::vector<double> method(10);
    EXPECT_EQ(fault_message([&] { pp::StepDescription::unpack(shape, method, {}, {}); }),
              "steps: the shape of a step does not match");
}

}  // namespace
