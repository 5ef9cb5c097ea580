// Size limits of a build whose size type has 32 bits (the 32-bit build; skipped elsewhere).
// There 4294967295 is the largest size and 268435455 (PTRDIFF_MAX / 8) the largest count of
// doubles, so products and sums of arguments a caller can pass really wrap, and every one must
// be refused with "capacity overflow" before anything is allocated.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "common/sizes.hpp"
#include "piecewise_polynomials/lagrange_basis.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"
#include "support.hpp"

namespace pwpoly {
namespace {

using piecewise_polynomials::CoefficientMatrix;
using piecewise_polynomials::LagrangeBasis;
using piecewise_polynomials::LegendreBasis;
using testing_support::fault_message;

constexpr std::size_t size_max = std::numeric_limits<std::size_t>::max();
constexpr std::size_t max_doubles = static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(double);

class NarrowSizeType : public ::testing::Test {
protected:
    void SetUp() override {
        if constexpr (sizeof(std::size_t) != 4) GTEST_SKIP() << "the size type is wider here";
    }
};

TEST_F(NarrowSizeType, LimitsAreThoseOfThirtyTwoBits) {
    EXPECT_EQ(size_max, std::uint64_t{4294967295});
    EXPECT_EQ(max_doubles, std::uint64_t{268435455});
}

TEST_F(NarrowSizeType, CheckedArithmeticRefusesWhatWraps) {
    EXPECT_EQ(checked_mul(65535, 65537), size_max);
    EXPECT_EQ(fault_message([] { checked_mul(65536, 65536); }), "capacity overflow");
    EXPECT_EQ(fault_message([] { checked_mul(2, size_max / 2 + 1); }), "capacity overflow");
    EXPECT_EQ(checked_add(size_max - 1, 1), size_max);
    EXPECT_EQ(fault_message([] { checked_add(size_max, 1); }), "capacity overflow");
    EXPECT_EQ(checked_count<double>(max_doubles), max_doubles);
    EXPECT_EQ(fault_message([] { checked_count<double>(max_doubles + 1); }), "capacity overflow");
}

TEST_F(NarrowSizeType, LagrangePointsRefuseUnrepresentableCounts) {
    struct Case {
        std::size_t degree, n_t;
    };
    const Case cases[] = {
        {1, size_max},             // n_t * degree + 1 wraps to 0
        {65536, 65536},            // n_t * degree wraps to 0
        {size_max, 1},             // degree + 1 wraps to 0
        {max_doubles, 1},          // degree + 1 local nodes exceed the largest allocation
        {2, max_doubles / 2 + 1},  // 2 n_t + 1 points exceed it
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "degree=" << c.degree << " n_t=" << c.n_t);
        EXPECT_EQ(fault_message([&] { LagrangeBasis(c.degree, c.n_t, 1.0); }), "capacity overflow");
    }
}

TEST_F(NarrowSizeType, ProlongationRefusesUnrepresentableFineCounts) {
    const LagrangeBasis coarse(2, 1, 1.0);
    // nt_fine * degree wraps to 0; one less still needs more rows than one allocation holds.
    EXPECT_EQ(fault_message([&] { coarse.get_prolongation_matrix_to(size_max / 2 + 1); }), "capacity overflow");
    EXPECT_EQ(fault_message([&] { coarse.get_prolongation_matrix_to(size_max / 2); }), "capacity overflow");
}

TEST_F(NarrowSizeType, LegendreBasisSizeRefusesWhatWraps) {
    // n_t * (degree + 1): 2**31 * 2 and 2**16 * 2**16 wrap to 0.
    for (const LegendreBasis& basis : {LegendreBasis{1.0, 1, size_max / 2 + 1}, LegendreBasis{1.0, 65535, 65536},
                                       LegendreBasis{1.0, 0, max_doubles + 1}}) {
        SCOPED_TRACE(testing::Message() << "degree=" << basis.degree << " n_t=" << basis.n_t);
        EXPECT_EQ(fault_message([&] { basis.basis_size(); }), "capacity overflow");
        EXPECT_EQ(fault_message([&] { basis.evaluate_all_basis_functions(0.5); }), "capacity overflow");
        EXPECT_EQ(fault_message([&] { basis.evaluate_all_basis_function_derivatives(0.5); }), "capacity overflow");
    }
    EXPECT_EQ((LegendreBasis{1.0, 0, max_doubles}.basis_size()), max_doubles);
}

TEST_F(NarrowSizeType, MatrixViewRefusesAWrappingShape) {
    // 2**16 x 2**16 wraps to 0, which a short buffer would otherwise satisfy.
    const std::vector<double> flat(4, 1.0);
    EXPECT_EQ(fault_message([&] { CoefficientMatrix::from_flat(flat, 65536, 65536); }), "capacity overflow");
    EXPECT_EQ(fault_message([&] { CoefficientMatrix::from_flat(flat, 65536, 65535); }),
              "Matrix view: input data buffer too small.");
}

}  // namespace
}  // namespace pwpoly
