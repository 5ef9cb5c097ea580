#include "piecewise_polynomials/dense_stepping.hpp"

#include <cmath>
#include <utility>
#include <vector>

#include "common/fault.hpp"

namespace pwpoly::piecewise_polynomials {

namespace {

// The block matrix of half length `half` into `K` (N x N row-major), factorised in place: unit
// lower and upper triangles, the row swapped into place at each column in `pivots`. False for a
// pivot exactly 0.0.
bool factorize_block(const DenseStepMethod& method, double half, std::span<double> K,
                     std::span<std::int64_t> pivots) {
    const std::size_t n = method.n;
    const std::size_t m = method.m;
    const std::size_t N = n * m;
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < m; ++j) {
            const double t1 = method.T1[(i * m) + j];
            const double t2 = half * method.T2[(i * m) + j];
            for (std::size_t s = 0; s < n; ++s)
                for (std::size_t r = 0; r < n; ++r)
                    K[(((i * n) + s) * N) + (j * n) + r] = (t1 * method.M[(s * n) + r]) + (t2 * method.A[(s * n) + r]);
        }
    for (std::size_t j = 0; j < N; ++j) {
        std::size_t pivot = j;
        for (std::size_t i = j + 1; i < N; ++i)
            if (std::fabs(K[(i * N) + j]) > std::fabs(K[(pivot * N) + j])) pivot = i;
        pivots[j] = static_cast<std::int64_t>(pivot);
        if (K[(pivot * N) + j] == 0.0) return false;
        if (pivot != j)
            for (std::size_t c = 0; c < N; ++c) std::swap(K[(j * N) + c], K[(pivot * N) + c]);
        const double diagonal = K[(j * N) + j];
        for (std::size_t i = j + 1; i < N; ++i) {
            const double factor = K[(i * N) + j] / diagonal;
            K[(i * N) + j] = factor;
            for (std::size_t c = j + 1; c < N; ++c) K[(i * N) + c] = K[(i * N) + c] - (factor * K[(j * N) + c]);
        }
    }
    return true;
}

// Solves with the factors of factorize_block, in place.
void solve_block(std::span<const double> K, std::span<const std::int64_t> pivots, std::span<double> x) {
    const std::size_t N = x.size();
    for (std::size_t j = 0; j < N; ++j) std::swap(x[j], x[static_cast<std::size_t>(pivots[j])]);
    for (std::size_t i = 1; i < N; ++i) {
        double sum = x[i];
        for (std::size_t c = 0; c < i; ++c) sum = sum - (K[(i * N) + c] * x[c]);
        x[i] = sum;
    }
    for (std::size_t i = N; i-- > 0;) {
        double sum = x[i];
        for (std::size_t c = i + 1; c < N; ++c) sum = sum - (K[(i * N) + c] * x[c]);
        x[i] = sum / K[(i * N) + i];
    }
}

// y = B u for an n x n row-major B, the terms added in order.
void multiply(std::span<const double> B, std::span<const double> u, std::span<double> y) {
    const std::size_t n = u.size();
    for (std::size_t s = 0; s < n; ++s) {
        double sum = B[s * n] * u[0];
        for (std::size_t r = 1; r < n; ++r) sum = sum + (B[(s * n) + r] * u[r]);
        y[s] = sum;
    }
}

}  // namespace

std::size_t dense_steps(const DenseStepMethod& method, const DenseStepFactors& cache, std::span<const std::int64_t> slots,
                        std::span<const double> loads, std::span<double> u, std::span<double> out) {
    const std::size_t n = method.n;
    const std::size_t m = method.m;
    const std::size_t N = n * m;
    const std::size_t count = cache.halves.size();
    const std::size_t steps = slots.size();
    if (n == 0 || m == 0 || method.T1.size() != m * m || method.T2.size() != m * m || method.C1.size() != m ||
        method.C2.size() != m || method.E.size() != m || method.M.size() != n * n || method.A.size() != n * n ||
        u.size() != n || cache.factors.size() != count * N * N || cache.pivots.size() != count * N ||
        cache.factored.size() != count || loads.size() != steps * N || out.size() != steps * N)
        fault("dense steps: buffer sizes do not match");
    std::vector<double> Mu(n);
    std::vector<double> Au(n);
    for (std::size_t k = 0; k < steps; ++k) {
        const std::int64_t slot = slots[k];
        if (slot < 0 || slot >= static_cast<std::int64_t>(count)) fault("dense steps: slot out of range");
        const auto s = static_cast<std::size_t>(slot);
        const std::span<double> K = cache.factors.subspan(s * N * N, N * N);
        const std::span<std::int64_t> pivots = cache.pivots.subspan(s * N, N);
        const double half = cache.halves[s];
        if (cache.factored[s] == 0) {
            if (!factorize_block(method, half, K, pivots)) return k;
            cache.factored[s] = 1;
        }
        multiply(method.M, u, Mu);
        multiply(method.A, u, Au);
        std::span<double> x = out.subspan(k * N, N);
        for (std::size_t i = 0; i < m; ++i) {
            const double c2 = half * method.C2[i];
            for (std::size_t r = 0; r < n; ++r)
                x[(i * n) + r] = (loads[(k * N) + (i * n) + r] + (method.C1[i] * Mu[r])) + (c2 * Au[r]);
        }
        solve_block(K, pivots, x);
        end_value(method.E, x, u);
    }
    return steps;
}

void end_value(std::span<const double> E, std::span<const double> x, std::span<double> u) {
    const std::size_t n = u.size();
    for (std::size_t r = 0; r < n; ++r) {
        double sum = E[0] * x[r];
        for (std::size_t i = 1; i < E.size(); ++i) sum = sum + (E[i] * x[(i * n) + r]);
        u[r] = sum;
    }
}

}  // namespace pwpoly::piecewise_polynomials
