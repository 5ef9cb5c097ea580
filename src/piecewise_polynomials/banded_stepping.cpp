#include "piecewise_polynomials/banded_stepping.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/fault.hpp"
#include "piecewise_polynomials/dense_stepping.hpp"

namespace pwpoly::piecewise_polynomials {

namespace {

// A complex number with every operation written out (no library handling of infinities).
struct Pair {
    double re;
    double im;
};

Pair operator-(Pair a, Pair b) { return {a.re - b.re, a.im - b.im}; }
Pair operator*(Pair a, Pair b) { return {(a.re * b.re) - (a.im * b.im), (a.re * b.im) + (a.im * b.re)}; }

// Smith's quotient: no overflow of the squared modulus.
Pair operator/(Pair a, Pair b) {
    if (std::fabs(b.re) >= std::fabs(b.im)) {
        const double ratio = b.im / b.re;
        const double scale = b.re + (b.im * ratio);
        return {(a.re + (a.im * ratio)) / scale, (a.im - (a.re * ratio)) / scale};
    }
    const double ratio = b.re / b.im;
    const double scale = (b.re * ratio) + b.im;
    return {((a.re * ratio) + a.im) / scale, ((a.im * ratio) - a.re) / scale};
}

double magnitude(double a) { return std::fabs(a); }
double magnitude(Pair a) { return std::fabs(a.re) + std::fabs(a.im); }
bool finite(double a) { return std::isfinite(a); }
bool finite(Pair a) { return std::isfinite(a.re) && std::isfinite(a.im); }

// Entry `i` of a vector of S kept in doubles (a complex one as real and imaginary parts).
template <class S>
S load(std::span<const double> data, std::size_t i) {
    if constexpr (std::is_same_v<S, double>)
        return data[i];
    else
        return {data[2 * i], data[(2 * i) + 1]};
}

template <class S>
void store(std::span<double> data, std::size_t i, S value) {
    if constexpr (std::is_same_v<S, double>)
        data[i] = value;
    else {
        data[2 * i] = value.re;
        data[(2 * i) + 1] = value.im;
    }
}

// Row-major band storage: row i holds columns i - lower ... i + lower + upper.
struct Band {
    std::size_t n;
    std::size_t lower;
    std::size_t upper;
    std::size_t width() const { return (2 * lower) + upper + 1; }
    std::size_t at(std::size_t i, std::size_t c) const { return (i * width()) + c + lower - i; }
    std::size_t last_row(std::size_t j) const { return std::min(n - 1, j + lower); }
    std::size_t last_column(std::size_t i) const { return std::min(n - 1, i + lower + upper); }
};

// lambda M + half A into `B`, the doubles of a band of S.
template <class S>
void assemble(const BandedStepMethod& method, const Band& band, Pair lambda, double half, std::span<double> B) {
    std::fill(B.begin(), B.end(), 0.0);
    for (std::size_t i = 0; i < band.n; ++i) {
        for (auto e = method.M.indptr[i]; e < method.M.indptr[i + 1]; ++e) {
            const auto at = band.at(i, static_cast<std::size_t>(method.M.indices[static_cast<std::size_t>(e)]));
            const double value = method.M.data[static_cast<std::size_t>(e)];
            if constexpr (std::is_same_v<S, double>)
                B[at] = lambda.re * value;
            else
                store<Pair>(B, at, Pair{lambda.re * value, lambda.im * value});
        }
        for (auto e = method.A.indptr[i]; e < method.A.indptr[i + 1]; ++e) {
            const auto at = band.at(i, static_cast<std::size_t>(method.A.indices[static_cast<std::size_t>(e)]));
            const double value = half * method.A.data[static_cast<std::size_t>(e)];
            if constexpr (std::is_same_v<S, double>)
                B[at] = B[at] + value;
            else
                B[2 * at] = B[2 * at] + value;
        }
    }
}

// LU with partial pivoting of the band in place: the multipliers below the diagonal, the upper
// triangle widened by the fill, the row swapped into place at each column in `pivots`. False for
// a pivot exactly 0.0.
template <class S>
bool factorize(const Band& band, std::span<double> B, std::span<std::int64_t> pivots) {
    for (std::size_t j = 0; j < band.n; ++j) {
        std::size_t pivot = j;
        double largest = magnitude(load<S>(B, band.at(j, j)));
        for (std::size_t i = j + 1; i <= band.last_row(j); ++i) {
            const double size = magnitude(load<S>(B, band.at(i, j)));
            if (size > largest) {
                pivot = i;
                largest = size;
            }
        }
        pivots[j] = static_cast<std::int64_t>(pivot);
        if (largest == 0.0) return false;
        const std::size_t last = band.last_column(j);
        if (pivot != j)
            for (std::size_t c = j; c <= last; ++c) {
                const S a = load<S>(B, band.at(j, c));
                store<S>(B, band.at(j, c), load<S>(B, band.at(pivot, c)));
                store<S>(B, band.at(pivot, c), a);
            }
        const S diagonal = load<S>(B, band.at(j, j));
        for (std::size_t i = j + 1; i <= band.last_row(j); ++i) {
            const S factor = load<S>(B, band.at(i, j)) / diagonal;
            store<S>(B, band.at(i, j), factor);
            for (std::size_t c = j + 1; c <= last; ++c)
                store<S>(B, band.at(i, c), load<S>(B, band.at(i, c)) - (factor * load<S>(B, band.at(j, c))));
        }
    }
    return true;
}

// Solves with the factors of `factorize`, in place; false for a solution not finite.
template <class S>
bool solve(const Band& band, std::span<const double> B, std::span<const std::int64_t> pivots, std::span<S> x) {
    for (std::size_t j = 0; j < band.n; ++j) {
        std::swap(x[j], x[static_cast<std::size_t>(pivots[j])]);
        for (std::size_t i = j + 1; i <= band.last_row(j); ++i) x[i] = x[i] - (load<S>(B, band.at(i, j)) * x[j]);
    }
    for (std::size_t i = band.n; i-- > 0;) {
        S sum = x[i];
        for (std::size_t c = i + 1; c <= band.last_column(i); ++c) sum = sum - (load<S>(B, band.at(i, c)) * x[c]);
        x[i] = sum / load<S>(B, band.at(i, i));
        if (!finite(x[i])) return false;
    }
    return true;
}

// y = B u, the terms of a row added in order.
void multiply(const CompressedRows& B, std::span<const double> u, std::span<double> y) {
    for (std::size_t s = 0; s < u.size(); ++s) {
        double sum = 0.0;
        for (auto e = B.indptr[s]; e < B.indptr[s + 1]; ++e)
            sum = sum + (B.data[static_cast<std::size_t>(e)] * u[static_cast<std::size_t>(B.indices[static_cast<std::size_t>(e)])]);
        y[s] = sum;
    }
}

void check_rows(const CompressedRows& B, const Band& band) {
    if (B.indptr.size() != band.n + 1 || B.indptr[0] != 0 || B.indices.size() != B.data.size() ||
        B.indptr[band.n] != static_cast<std::int64_t>(B.data.size()))
        fault("banded steps: compressed rows do not match");
    for (std::size_t i = 0; i < band.n; ++i) {
        if (B.indptr[i + 1] < B.indptr[i]) fault("banded steps: compressed rows do not match");
        for (auto e = B.indptr[i]; e < B.indptr[i + 1]; ++e) {
            const std::int64_t c = B.indices[static_cast<std::size_t>(e)];
            const auto row = static_cast<std::int64_t>(i);
            if (c < row - static_cast<std::int64_t>(band.lower) || c > row + static_cast<std::int64_t>(band.upper) ||
                c >= static_cast<std::int64_t>(band.n))
                fault("banded steps: an entry outside the band");
        }
    }
}

}  // namespace

std::size_t banded_factor_size(std::size_t n, std::size_t p, std::size_t lower, std::size_t upper) {
    return p * 2 * n * ((2 * lower) + upper + 1);
}

std::size_t banded_steps(const BandedStepMethod& method, const BandedStepFactors& cache,
                         std::span<const std::int64_t> slots, std::span<const double> loads, std::span<double> u,
                         std::span<double> out) {
    const std::size_t n = method.n;
    const std::size_t m = method.m;
    const std::size_t p = method.eigen_re.size();
    const std::size_t N = n * m;
    const std::size_t count = cache.halves.size();
    const std::size_t steps = slots.size();
    const std::size_t size = banded_factor_size(n, p, method.lower, method.upper);
    if (n == 0 || m == 0 || p == 0 || method.C1.size() != m || method.C2.size() != m || method.E.size() != m ||
        method.eigen_im.size() != p || method.G_re.size() != p * m || method.G_im.size() != p * m ||
        method.Wy.size() != m * 2 * p || u.size() != n || cache.factors.size() != count * size ||
        cache.pivots.size() != count * p * n || cache.factored.size() != count || loads.size() != steps * N ||
        out.size() != steps * N)
        fault("banded steps: buffer sizes do not match");
    const Band band{n, method.lower, method.upper};
    check_rows(method.M, band);
    check_rows(method.A, band);
    const bool coupled = std::any_of(method.C2.begin(), method.C2.end(), [](double c) { return c != 0.0; });
    std::vector<double> Mu(n), Au(n), rhs(N), z_re(p * n), z_im(p * n), y(2 * p * n), real(n);
    std::vector<Pair> pair(n);
    const std::size_t system = size / p;
    for (std::size_t k = 0; k < steps; ++k) {
        const std::int64_t slot = slots[k];
        if (slot < 0 || slot >= static_cast<std::int64_t>(count)) fault("banded steps: slot out of range");
        const auto s = static_cast<std::size_t>(slot);
        const double half = cache.halves[s];
        const auto factors = [&](std::size_t e) { return cache.factors.subspan((s * size) + (e * system), system); };
        const auto pivots = [&](std::size_t e) { return cache.pivots.subspan(((s * p) + e) * n, n); };
        if (cache.factored[s] == 0) {
            for (std::size_t e = 0; e < p; ++e) {
                const Pair lambda{method.eigen_re[e], method.eigen_im[e]};
                const std::span<double> B = factors(e);
                bool done = false;
                if (lambda.im == 0.0) {
                    assemble<double>(method, band, lambda, half, B);
                    done = factorize<double>(band, B, pivots(e));
                } else {
                    assemble<Pair>(method, band, lambda, half, B);
                    done = factorize<Pair>(band, B, pivots(e));
                }
                if (!done) return k;
            }
            cache.factored[s] = 1;
        }
        multiply(method.M, u, Mu);
        if (coupled) multiply(method.A, u, Au);
        for (std::size_t i = 0; i < m; ++i) {
            const double c2 = half * method.C2[i];
            for (std::size_t r = 0; r < n; ++r) {
                const double value = loads[(k * N) + (i * n) + r] + (method.C1[i] * Mu[r]);
                rhs[(i * n) + r] = coupled ? value + (c2 * Au[r]) : value;
            }
        }
        for (std::size_t e = 0; e < p; ++e)
            for (std::size_t r = 0; r < n; ++r) {
                double re = method.G_re[e * m] * rhs[r];
                double im = method.G_im[e * m] * rhs[r];
                for (std::size_t i = 1; i < m; ++i) {
                    re = re + (method.G_re[(e * m) + i] * rhs[(i * n) + r]);
                    im = im + (method.G_im[(e * m) + i] * rhs[(i * n) + r]);
                }
                z_re[(e * n) + r] = re;
                z_im[(e * n) + r] = im;
            }
        for (std::size_t e = 0; e < p; ++e) {
            if (method.eigen_im[e] == 0.0) {
                std::copy_n(z_re.begin() + static_cast<std::ptrdiff_t>(e * n), n, real.begin());
                if (!solve<double>(band, factors(e), pivots(e), std::span<double>(real))) return k;
                for (std::size_t r = 0; r < n; ++r) {
                    y[(e * n) + r] = real[r];
                    y[((p + e) * n) + r] = 0.0;
                }
            } else {
                for (std::size_t r = 0; r < n; ++r) pair[r] = {z_re[(e * n) + r], z_im[(e * n) + r]};
                if (!solve<Pair>(band, factors(e), pivots(e), std::span<Pair>(pair))) return k;
                for (std::size_t r = 0; r < n; ++r) {
                    y[(e * n) + r] = pair[r].re;
                    y[((p + e) * n) + r] = pair[r].im;
                }
            }
        }
        const std::span<double> x = out.subspan(k * N, N);
        for (std::size_t i = 0; i < m; ++i)
            for (std::size_t r = 0; r < n; ++r) {
                double sum = method.Wy[i * 2 * p] * y[r];
                for (std::size_t j = 1; j < 2 * p; ++j) sum = sum + (method.Wy[(i * 2 * p) + j] * y[(j * n) + r]);
                x[(i * n) + r] = sum;
            }
        end_value(method.E, x, u);
    }
    return steps;
}

}  // namespace pwpoly::piecewise_polynomials
