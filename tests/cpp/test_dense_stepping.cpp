#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "piecewise_polynomials/mod.hpp"
#include "support.hpp"

namespace {

namespace pp = pwpoly::piecewise_polynomials;
using pwpoly::testing_support::fault_message;

// Backward Euler (dG(0)) for a 2 x 2 system M u' + A u = 0: on [-1, 1] T1 = 1 (the start trace),
// T2 = 2 (the mass), C1 = 1, C2 = 0, E = 1.
struct Euler {
    std::vector<double> T1{1.0}, T2{2.0}, C1{1.0}, C2{0.0}, E{1.0};
    std::vector<double> M{1.0, 0.0, 0.0, 1.0};
    std::vector<double> A;
    pp::DenseStepMethod method() const { return {2, 1, T1, T2, C1, C2, E, M, A}; }
};

TEST(DenseStepping, BackwardEulerStepsAndKeepsItsFactors) {
    Euler euler;
    euler.A = {2.0, 0.0, 0.0, 0.5};  // diagonal: each component steps by 1 / (1 + h a)
    std::vector<double> halves{0.25, 0.5};
    std::vector<double> factors(2 * 4);
    std::vector<std::int64_t> pivots(2 * 2), factored(2, 0);
    std::vector<std::int64_t> slots{0, 1, 0};
    std::vector<double> loads(3 * 2, 0.0), u{1.0, 1.0}, out(3 * 2);
    const pp::DenseStepFactors cache{halves, factors, pivots, factored};
    ASSERT_EQ(pp::dense_steps(euler.method(), cache, slots, loads, u, out), 3U);
    EXPECT_EQ(factored, (std::vector<std::int64_t>{1, 1}));
    const double first = 1.0 / (1.0 + (0.5 * 2.0));  // h = 0.5, a = 2
    EXPECT_DOUBLE_EQ(out[0], first);
    EXPECT_DOUBLE_EQ(out[2], first / (1.0 + 2.0));  // h = 1
    EXPECT_DOUBLE_EQ(u[0], out[4]);
    EXPECT_DOUBLE_EQ(u[1], (1.0 / 1.25 / 1.5) / 1.25);
    // A second call with the factors kept gives the same bits from the same start.
    std::vector<double> again(3 * 2), v{1.0, 1.0};
    ASSERT_EQ(pp::dense_steps(euler.method(), cache, slots, loads, v, again), 3U);
    EXPECT_EQ(again, out);
}

TEST(DenseStepping, ASingularBlockStopsAtItsInterval) {
    Euler euler;
    euler.A = {-1.0, 0.0, 0.0, 1.0};  // 1 + h a = 0 for h = 1
    std::vector<double> halves{0.25, 0.5};
    std::vector<double> factors(2 * 4);
    std::vector<std::int64_t> pivots(2 * 2), factored(2, 0);
    std::vector<std::int64_t> slots{0, 1};
    std::vector<double> loads(2 * 2, 0.0), u{1.0, 1.0}, out(2 * 2);
    EXPECT_EQ(pp::dense_steps(euler.method(), {halves, factors, pivots, factored}, slots, loads, u, out), 1U);
    EXPECT_EQ(factored[1], 0);
}

TEST(DenseStepping, RefusesMismatchedBuffers) {
    Euler euler;
    euler.A = {1.0, 0.0, 0.0, 1.0};
    std::vector<double> halves{0.5}, factors(4), loads(2), u{1.0, 1.0}, out(3);
    std::vector<std::int64_t> pivots(2), factored(1, 0), slots{0};
    EXPECT_EQ(fault_message([&] { pp::dense_steps(euler.method(), {halves, factors, pivots, factored}, slots, loads, u, out); }),
              "dense steps: buffer sizes do not match");
    std::vector<std::int64_t> bad{1};
    std::vector<double> out2(2);
    EXPECT_EQ(fault_message([&] { pp::dense_steps(euler.method(), {halves, factors, pivots, factored}, bad, loads, u, out2); }),
              "dense steps: slot out of range");
}

}  // namespace
