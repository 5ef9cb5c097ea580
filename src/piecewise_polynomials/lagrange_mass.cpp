// The Lagrange mass matrix on a partition, by rows: the Galerkin mass of the basis with itself.
#include <algorithm>
#include <cstdint>
#include <limits>

#include "common/sizes.hpp"
#include "piecewise_polynomials/galerkin.hpp"
#include "piecewise_polynomials/row_blocks.hpp"

namespace pwpoly::piecewise_polynomials {

namespace {

constexpr const char* size_mismatch = "Lagrange mass rows: buffer sizes do not match";

// Entries of the mass matrix's rows below r: degree + 1 per row, plus degree for every node
// shared by two intervals (k degree for 1 <= k < n_t) among them.
std::size_t mass_offset(std::size_t degree, std::size_t n_t, std::size_t r) {
    const std::size_t shared = r == 0 ? 0 : std::min((r - 1) / degree, n_t - 1);
    return checked_add(checked_mul(r, degree + 1), shared * degree);
}

}  // namespace

std::size_t lagrange_mass_rows_nnz(std::size_t degree, std::size_t n_t, std::size_t first, std::size_t last) {
    if (degree == 0 || n_t == 0) fault("Lagrange mass matrix requires degree and n_t at least 1");
    const std::size_t rows = checked_add(checked_mul(n_t, degree), 1);
    if (first > last || last > rows) fault("Lagrange mass rows: range outside the matrix's rows");
    return mass_offset(degree, n_t, last) - mass_offset(degree, n_t, first);
}

template <Partition P, class Index>
void lagrange_mass_rows(std::size_t degree, const P& partition, std::size_t first, std::size_t last,
                        std::span<Index> indptr, std::span<Index> indices, std::span<double> data) {
    const std::size_t n_t = partition.n_intervals();
    const std::size_t nnz = lagrange_mass_rows_nnz(degree, n_t, first, last);
    if (indptr.size() != last - first + 1 || indices.size() != nnz || data.size() != nnz || indptr[0] < 0)
        fault(size_mismatch);
    const std::size_t base = static_cast<std::size_t>(indptr[0]);
    const std::size_t largest = std::max(checked_add(base, nnz), checked_add(checked_mul(n_t, degree), 1));
    if (largest > static_cast<std::size_t>(std::numeric_limits<Index>::max()))
        fault("Lagrange mass rows: index type too narrow");
    // The Galerkin mass between the basis and itself: the one formula of the array face's mass.
    const BasisShape lagrange{BasisKind::lagrange, degree};
    GalerkinOperator(lagrange, lagrange, GalerkinForm::mass).fill_rows<Index>(partition, first, last, indptr, indices,
                                                                               data);
}

#define PWPOLY_MASS_ROWS(P, Index)                                                                                   \
    template void lagrange_mass_rows<P, Index>(std::size_t, const P&, std::size_t, std::size_t, std::span<Index>,   \
                                               std::span<Index>, std::span<double>);
PWPOLY_MASS_ROWS(UniformPartition, std::int32_t)
PWPOLY_MASS_ROWS(UniformPartition, std::int64_t)
PWPOLY_MASS_ROWS(BreakpointPartition, std::int32_t)
PWPOLY_MASS_ROWS(BreakpointPartition, std::int64_t)
#undef PWPOLY_MASS_ROWS

}  // namespace pwpoly::piecewise_polynomials
