// Golden values: results of the bases and operators recorded bit for bit on a 64-bit x86 build.
// The same tests run in the 32-bit build, so they show that both word sizes give the same bits.
//
// Small results are kept as their full sequence of 64-bit words (a double's IEEE 754 bit
// pattern; for sparse results each entry is its row, its column and its value's bits). Larger
// sweeps are kept as the word count and an FNV-1a digest of the words, one per degree.
//
// After a deliberate change of results, print the new tables with
//   PWPOLY_PRINT_GOLDEN=1 build/cpp/pwpoly_core_tests --gtest_filter='Golden*'
// and check the change before pasting them here.
#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "piecewise_polynomials/lagrange_basis.hpp"
#include "piecewise_polynomials/legendre_basis.hpp"
#include "sparse_matrix_tools/csr_matrix.hpp"

namespace {

using pwpoly::piecewise_polynomials::CoefficientMatrix;
using pwpoly::piecewise_polynomials::LagrangeBasis;
using pwpoly::piecewise_polynomials::LegendreBasis;
using pwpoly::sparse_matrix_tools::CsrMatrix;
using Words = std::vector<std::uint64_t>;

Words words_of(const std::vector<double>& values) {
    Words words;
    for (double v : values) words.push_back(std::bit_cast<std::uint64_t>(v));
    return words;
}

Words words_of(const CsrMatrix& matrix) {
    Words words;
    matrix.for_each([&](std::size_t row, std::size_t col, double value) {
        words.push_back(row);
        words.push_back(col);
        words.push_back(std::bit_cast<std::uint64_t>(value));
    });
    return words;
}

// FNV-1a over the words' bytes, least significant byte first (independent of the host's order).
std::uint64_t digest_of(const Words& words) {
    std::uint64_t hash = 0xcbf29ce484222325u;
    for (std::uint64_t word : words)
        for (int byte = 0; byte < 8; ++byte) {
            hash ^= (word >> (8 * byte)) & 0xffu;
            hash *= 0x100000001b3u;
        }
    return hash;
}

bool printing() {
    const char* value = std::getenv("PWPOLY_PRINT_GOLDEN");
    return value != nullptr && value[0] != '\0';
}

// Prints the words as an initializer list: four bit patterns a line, or for a sparse result
// one entry (row, column, bits) a line.
void print_words(const std::string& name, const Words& words, bool sparse) {
    std::printf("%s:\n", name.c_str());
    const std::size_t per_line = sparse ? 3 : 4;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const auto word = static_cast<unsigned long long>(words[i]);
        std::printf(i % per_line == 0 ? "        " : " ");
        if (sparse && i % 3 != 2) {
            std::printf("%llu,", word);
        } else {
            std::printf("0x%016llxu,", word);
        }
        if (i % per_line == per_line - 1 || i + 1 == words.size()) std::printf("\n");
    }
}

void expect_words(const std::string& name, const Words& actual, const Words& golden, bool sparse = false) {
    SCOPED_TRACE(name);
    if (printing()) print_words(name, actual, sparse);
    ASSERT_EQ(actual.size(), golden.size());
    for (std::size_t i = 0; i < actual.size(); ++i) EXPECT_EQ(actual[i], golden[i]) << "word " << i;
}

// A sparse result, entry by entry: row, column and value bits.
void expect_entries(const std::string& name, const CsrMatrix& actual, const Words& golden) {
    expect_words(name, words_of(actual), golden, true);
}

struct Digest {
    std::size_t count;
    std::uint64_t fnv;
};

void expect_digest(const std::string& name, const Words& actual, const Digest& golden) {
    SCOPED_TRACE(name);
    const Digest digest{actual.size(), digest_of(actual)};
    if (printing())
        std::printf("        {%zu, 0x%016llxu},  // %s\n", digest.count, static_cast<unsigned long long>(digest.fnv),
                    name.c_str());
    EXPECT_EQ(digest.count, golden.count);
    EXPECT_EQ(digest.fnv, golden.fnv);
}

CsrMatrix prolongation(std::size_t nt_coarse, std::size_t nt_fine, std::size_t degree) {
    return LagrangeBasis(degree, nt_coarse, 1.0).get_prolongation_matrix_to(nt_fine);
}

CsrMatrix transformation(std::size_t degree, std::size_t n_t, double T) {
    return LagrangeBasis(degree, n_t, T).get_transormation_matrix_to_legendre();
}

// A fixed coefficient matrix of n_t rows and degree + 1 columns, column-major, with values of
// both signs and magnitudes that do not round alike.
std::vector<double> coefficients(std::size_t n_t, std::size_t degree) {
    std::vector<double> flat;
    for (std::size_t q = 0; q <= degree; ++q)
        for (std::size_t k = 0; k < n_t; ++k) {
            const double magnitude = 1.0 / (3.0 + static_cast<double>(k + 7 * q));
            flat.push_back(q % 2 == 0 ? magnitude : -magnitude);
        }
    return flat;
}

// Evaluation times on [0, T] = [0, 0.7] and outside it, nodes and interior points alike.
const std::vector<double> evaluation_times = {-0.25, 0.0, 0.1, 0.7 / 3.0, 0.35, 0.5, 0.7, 0.9};

struct Evaluations {
    std::vector<double> values, derivatives;
};

Evaluations evaluate(const LegendreBasis& basis, const std::vector<double>& times) {
    const std::vector<double> flat = coefficients(basis.n_t, basis.degree);
    const CoefficientMatrix matrix = CoefficientMatrix::from_flat(flat, basis.n_t, basis.degree + 1);
    Evaluations result;
    for (double t : times) {
        result.values.push_back(basis.evaluate(t, matrix));
        result.derivatives.push_back(basis.evaluate_derivative(t, matrix));
    }
    return result;
}

TEST(Golden, LagrangePoints) {
    expect_words("points(2, 3, 0.7)", words_of(LagrangeBasis(2, 3, 0.7).points()),
                 {
                     0x0000000000000000u,
                     0x3fbdddddddddddddu,
                     0x3fcdddddddddddddu,
                     0x3fd6666666666666u,
                     0x3fddddddddddddddu,
                     0x3fe2aaaaaaaaaaaau,
                     0x3fe6666666666666u,
                 });
    expect_words("points(5, 2, -1.3)", words_of(LagrangeBasis(5, 2, -1.3).points()),
                 {
                     0x8000000000000000u,
                     0xbfc0a3d70a3d70a4u,
                     0xbfd0a3d70a3d70a4u,
                     0xbfd8f5c28f5c28f6u,
                     0xbfe0a3d70a3d70a4u,
                     0xbfe4cccccccccccdu,
                     0xbfe8f5c28f5c28f6u,
                     0xbfed1eb851eb851fu,
                     0xbff0a3d70a3d70a4u,
                     0xbff2b851eb851eb8u,
                     0xbff4cccccccccccdu,
                 });
    const Digest golden[] = {
        {8, 0xf98f522859d3e46au},   // points(1, 7, 2.9)
        {15, 0x74e1a2d94dac7b23u},  // points(2, 7, 2.9)
        {22, 0xb99414352884077cu},  // points(3, 7, 2.9)
        {29, 0xbeab1d2b18c0ebfau},  // points(4, 7, 2.9)
        {36, 0xb2084ef83de32834u},  // points(5, 7, 2.9)
        {43, 0x5a186fe0c15d6681u},  // points(6, 7, 2.9)
        {50, 0xf33f75a9a7387353u},  // points(7, 7, 2.9)
        {57, 0x32d1d463228b6505u},  // points(8, 7, 2.9)
    };
    for (std::size_t degree = 1; degree <= 8; ++degree)
        expect_digest("points(" + std::to_string(degree) + ", 7, 2.9)",
                      words_of(LagrangeBasis(degree, 7, 2.9).points()), golden[degree - 1]);
}

TEST(Golden, Prolongation) {
    expect_entries(
        "prolongation(1, 3, 2)", prolongation(1, 3, 2),
        {
            0, 0, 0x3ff0000000000000u, 1, 0, 0x3fe1c71c71c71c73u, 1, 1, 0x3fe1c71c71c71c71u, 1, 2, 0xbfbc71c71c71c71cu,
            2, 0, 0x3fcc71c71c71c71du, 2, 1, 0x3fec71c71c71c71cu, 2, 2, 0xbfbc71c71c71c71cu, 3, 1, 0x3ff0000000000000u,
            4, 0, 0xbfbc71c71c71c71au, 4, 1, 0x3fec71c71c71c71du, 4, 2, 0x3fcc71c71c71c719u, 5, 0, 0xbfbc71c71c71c71cu,
            5, 1, 0x3fe1c71c71c71c71u, 5, 2, 0x3fe1c71c71c71c73u, 6, 2, 0x3ff0000000000000u,
        });
    expect_entries(
        "prolongation(2, 3, 3)", prolongation(2, 3, 3),
        {
            0, 0, 0x3ff0000000000000u, 1, 0, 0x3fc61f9add3c0ca5u, 1, 1, 0x3ff097b425ed097bu, 1, 2, 0xbfd097b425ed097bu,
            1, 3, 0x3fa948b0fcd6e9e0u, 2, 0, 0xbfaf9add3c0ca45au, 2, 1, 0x3fe7b425ed097b43u, 2, 2, 0x3fd7b425ed097b43u,
            2, 3, 0xbfa948b0fcd6e9e0u, 3, 2, 0x3ff0000000000000u, 4, 0, 0x3faf9add3c0ca45du, 4, 1, 0xbfd2f684bda12f6au,
            4, 2, 0x3fe7b425ed097b45u, 4, 3, 0x3fdf9add3c0ca457u, 5, 3, 0x3fdf9add3c0ca455u, 5, 4, 0x3fe7b425ed097b44u,
            5, 5, 0xbfd2f684bda12f69u, 5, 6, 0x3faf9add3c0ca458u, 6, 4, 0x3ff0000000000000u, 7, 3, 0xbfa948b0fcd6e9dfu,
            7, 4, 0x3fd7b425ed097b3fu, 7, 5, 0x3fe7b425ed097b44u, 7, 6, 0xbfaf9add3c0ca455u, 8, 3, 0x3fa948b0fcd6e9dfu,
            8, 4, 0xbfd097b425ed097au, 8, 5, 0x3ff097b425ed097cu, 8, 6, 0x3fc61f9add3c0c9eu, 9, 6, 0x3ff0000000000000u,
        });
    const Digest golden[] = {
        {30, 0xe6c96908d9d5854fu},   // prolongation(3, 5, 1)
        {81, 0x6bafcd0179325cceu},   // prolongation(3, 5, 2)
        {156, 0x4163e2537ae067efu},  // prolongation(3, 5, 3)
        {255, 0x7685cb3cd3255b3eu},  // prolongation(3, 5, 4)
        {378, 0x6d16f04e7471bc67u},  // prolongation(3, 5, 5)
        {525, 0xbe7247cd962bc391u},  // prolongation(3, 5, 6)
        {696, 0x9cf181850db3051du},  // prolongation(3, 5, 7)
        {891, 0x4acea372ec371eeau},  // prolongation(3, 5, 8)
    };
    for (std::size_t degree = 1; degree <= 8; ++degree)
        expect_digest("prolongation(3, 5, " + std::to_string(degree) + ")", words_of(prolongation(3, 5, degree)),
                      golden[degree - 1]);
}

TEST(Golden, LagrangeToLegendre) {
    expect_entries(
        "transformation(3, 1, 1.0)", transformation(3, 1, 1.0),
        {
            0, 0, 0x3fbfffffffffffffu, 0, 1, 0x3fd7fffffffffffeu, 0, 2, 0x3fd8000000000000u, 0, 3, 0x3fbfffffffffffffu,
            1, 0, 0xbfd1999999999999u, 1, 1, 0xbfe599999999999au, 1, 2, 0x3fe5999999999999u, 1, 3, 0x3fd199999999999au,
            2, 0, 0x3fd7ffffffffffffu, 2, 1, 0xbfd7fffffffffffdu, 2, 2, 0xbfd8000000000000u, 2, 3, 0x3fd7ffffffffffffu,
            3, 0, 0xbfcccccccccccccdu, 3, 1, 0x3fe5999999999999u, 3, 2, 0xbfe599999999999au, 3, 3, 0x3fccccccccccccccu,
        });
    const Digest golden[] = {
        {36, 0xbcbb92a4d8685b05u},   // transformation(1, 3, 0.7)
        {81, 0xc6d24aa6a041a7ccu},   // transformation(2, 3, 0.7)
        {144, 0x8e24913460335114u},  // transformation(3, 3, 0.7)
        {225, 0xb8daa155a56efec7u},  // transformation(4, 3, 0.7)
        {324, 0x9006c92e47c70018u},  // transformation(5, 3, 0.7)
        {441, 0xa641a4a808dda704u},  // transformation(6, 3, 0.7)
        {576, 0x635b3fc1e8652606u},  // transformation(7, 3, 0.7)
        {729, 0xd3204d02263ef799u},  // transformation(8, 3, 0.7)
    };
    for (std::size_t degree = 1; degree <= 8; ++degree)
        expect_digest("transformation(" + std::to_string(degree) + ", 3, 0.7)",
                      words_of(transformation(degree, 3, 0.7)), golden[degree - 1]);
}

TEST(Golden, LegendreEvaluation) {
    const Evaluations at = evaluate(LegendreBasis{0.7, 5, 3}, evaluation_times);
    expect_words("evaluate, degree 5", words_of(at.values),
                 {
                     0x3fe2f4eb5b7e4396u,
                     0x3fe2f4eb5b7e4396u,
                     0x3fd4f51a13493d12u,
                     0x3fdf9323ab3f5b87u,
                     0x3fcdf1c71c71c71cu,
                     0x3fcf6f54a451c7a4u,
                     0x3fc16d06e4075ca3u,
                     0x3fc16d06e4075ca3u,
                 });
    expect_words("evaluate_derivative, degree 5", words_of(at.derivatives),
                 {
                     0xc0255273eb71bf1eu,
                     0xc0255273eb71bf1eu,
                     0xbfe3b4e71e16b07cu,
                     0xc0247afcc7124299u,
                     0xbfe5aa2c171e892fu,
                     0xc00387b105fe45c0u,
                     0xbfff4afca5fdd1c8u,
                     0xbfff4afca5fdd1c8u,
                 });

    const LegendreBasis basis{0.7, 3, 2};
    expect_words("evaluate_all_basis_functions(0.1)", words_of(basis.evaluate_all_basis_functions(0.1)),
                 {
                     0x3ff0000000000000u,
                     0x0000000000000000u,
                     0xbfdb6db6db6db6dau,
                     0x0000000000000000u,
                     0xbfccbc14e5e0a732u,
                     0x0000000000000000u,
                     0x3fdc8c509b3df290u,
                     0x0000000000000000u,
                 });
    expect_words("evaluate_all_basis_function_derivatives(0.6)",
                 words_of(basis.evaluate_all_basis_function_derivatives(0.6)),
                 {
                     0x0000000000000000u,
                     0x0000000000000000u,
                     0x0000000000000000u,
                     0x4016db6db6db6db7u,
                     0x0000000000000000u,
                     0x401d6343eb1a1f61u,
                     0x0000000000000000u,
                     0xbfe66402fc44a9aau,
                 });
}

TEST(Golden, LegendreSweep) {
    // 41 times from -0.1 to 0.9 on [0, 0.7] with 4 intervals, for degrees 0 to 8.
    std::vector<double> times;
    for (int i = 0; i <= 40; ++i) times.push_back(-0.1 + static_cast<double>(i) * 0.025);
    const Digest golden[] = {
        {106, 0x704bc4cd6b5e53deu},  // legendre sweep, degree 0
        {130, 0x2be13c540f66d784u},  // legendre sweep, degree 1
        {154, 0x3dccc750d7cbfb56u},  // legendre sweep, degree 2
        {178, 0xcc443116dce36701u},  // legendre sweep, degree 3
        {202, 0xaa0b23f04fd1f9d0u},  // legendre sweep, degree 4
        {226, 0xe096352dc536edaeu},  // legendre sweep, degree 5
        {250, 0xb1ee6c0d42f0be05u},  // legendre sweep, degree 6
        {274, 0x4ffde90c98eec380u},  // legendre sweep, degree 7
        {298, 0xc5f4c4c025b2efe7u},  // legendre sweep, degree 8
    };
    for (std::size_t degree = 0; degree <= 8; ++degree) {
        const LegendreBasis basis{0.7, degree, 4};
        const Evaluations at = evaluate(basis, times);
        Words words = words_of(at.values);
        const Words derivatives = words_of(at.derivatives);
        words.insert(words.end(), derivatives.begin(), derivatives.end());
        for (double t : {0.0, 0.3, 0.7}) {
            const Words all = words_of(basis.evaluate_all_basis_functions(t));
            const Words all_derivatives = words_of(basis.evaluate_all_basis_function_derivatives(t));
            words.insert(words.end(), all.begin(), all.end());
            words.insert(words.end(), all_derivatives.begin(), all_derivatives.end());
        }
        expect_digest("legendre sweep, degree " + std::to_string(degree), words, golden[degree]);
    }
}

}  // namespace
