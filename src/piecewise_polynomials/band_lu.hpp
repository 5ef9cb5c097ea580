// The core's one LU factorisation: Gaussian elimination with partial pivoting of a banded
// matrix, real or complex, and the solves with its factors. A dense matrix is its full band
// (lower = upper = n - 1). The entries of a band of complex numbers are kept in doubles, real
// and imaginary parts side by side, so one buffer serves both kinds.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>
#include <utility>

namespace pwpoly::piecewise_polynomials {

// A complex number with every operation written out (no library handling of infinities), each
// part rounded the same way on every machine.
struct Complex {
    double re;
    double im;
};

inline Complex operator+(Complex a, Complex b) { return {a.re + b.re, a.im + b.im}; }
inline Complex operator-(Complex a, Complex b) { return {a.re - b.re, a.im - b.im}; }
inline Complex operator*(Complex a, Complex b) {
    return {(a.re * b.re) - (a.im * b.im), (a.re * b.im) + (a.im * b.re)};
}

// Smith's quotient: no overflow of the squared modulus.
inline Complex operator/(Complex a, Complex b) {
    if (std::fabs(b.re) >= std::fabs(b.im)) {
        const double ratio = b.im / b.re;
        const double scale = b.re + (b.im * ratio);
        return {(a.re + (a.im * ratio)) / scale, (a.im - (a.re * ratio)) / scale};
    }
    const double ratio = b.re / b.im;
    const double scale = (b.re * ratio) + b.im;
    return {((a.re * ratio) + a.im) / scale, ((a.im * ratio) - a.re) / scale};
}

inline double magnitude(double a) { return std::fabs(a); }
inline double magnitude(Complex a) { return std::fabs(a.re) + std::fabs(a.im); }
inline bool finite(double a) { return std::isfinite(a); }
inline bool finite(Complex a) { return std::isfinite(a.re) && std::isfinite(a.im); }

// The doubles of one S: 1 for a real number, 2 for a complex one.
template <class S>
inline constexpr std::size_t doubles_of = std::is_same_v<S, double> ? 1 : 2;

// Entry `i` of a vector of S kept in doubles.
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

// Row-major band storage of an n x n matrix with entries within `lower` diagonals below the main
// one and `upper` above it: row i holds columns i - lower ... i + lower + upper, the upper part
// widened by the fill of the row swaps.
struct Band {
    std::size_t n;
    std::size_t lower;
    std::size_t upper;
    static Band dense(std::size_t n) { return {n, n == 0 ? 0 : n - 1, n == 0 ? 0 : n - 1}; }
    std::size_t width() const { return (2 * lower) + upper + 1; }
    // Entries of the storage (each one S).
    std::size_t entries() const { return n * width(); }
    std::size_t at(std::size_t i, std::size_t c) const { return (i * width()) + c + lower - i; }
    std::size_t last_row(std::size_t j) const { return std::min(n - 1, j + lower); }
    std::size_t last_column(std::size_t i) const { return std::min(n - 1, i + lower + upper); }
};

// LU with partial pivoting (the topmost row of largest magnitude) of the band in place: the
// multipliers below the diagonal, the upper triangle widened by the fill, the row swapped into
// place at each column in `pivots`. A multiplier is the entry times the reciprocal of the pivot,
// or the entry divided by a pivot so small that its reciprocal would overflow. False, the factors
// left incomplete, for a pivot exactly zero or not finite.
template <class S>
bool lu_factorize(const Band& band, std::span<double> B, std::span<std::int64_t> pivots) {
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
        if (largest == 0.0 || !finite(load<S>(B, band.at(pivot, j)))) return false;
        const std::size_t last = band.last_column(j);
        if (pivot != j)
            for (std::size_t c = j; c <= last; ++c) {
                const S a = load<S>(B, band.at(j, c));
                store<S>(B, band.at(j, c), load<S>(B, band.at(pivot, c)));
                store<S>(B, band.at(pivot, c), a);
            }
        const S diagonal = load<S>(B, band.at(j, j));
        const bool by_reciprocal = largest >= std::numeric_limits<double>::min();
        S reciprocal{};
        if constexpr (std::is_same_v<S, double>)
            reciprocal = 1.0 / diagonal;
        else
            reciprocal = Complex{1.0, 0.0} / diagonal;
        for (std::size_t i = j + 1; i <= band.last_row(j); ++i) {
            const S entry = load<S>(B, band.at(i, j));
            const S factor = by_reciprocal ? entry * reciprocal : entry / diagonal;
            store<S>(B, band.at(i, j), factor);
            for (std::size_t c = j + 1; c <= last; ++c)
                store<S>(B, band.at(i, c), load<S>(B, band.at(i, c)) - (factor * load<S>(B, band.at(j, c))));
        }
    }
    return true;
}

// Solves B x = rhs with the factors of lu_factorize, x holding rhs on entry: the row swaps and
// the unit lower triangle column by column, then the upper triangle row by row from the last.
template <class S>
void lu_solve(const Band& band, std::span<const double> B, std::span<const std::int64_t> pivots, std::span<S> x) {
    for (std::size_t j = 0; j < band.n; ++j) {
        std::swap(x[j], x[static_cast<std::size_t>(pivots[j])]);
        for (std::size_t i = j + 1; i <= band.last_row(j); ++i) x[i] = x[i] - (load<S>(B, band.at(i, j)) * x[j]);
    }
    for (std::size_t i = band.n; i-- > 0;) {
        S sum = x[i];
        for (std::size_t c = i + 1; c <= band.last_column(i); ++c) sum = sum - (load<S>(B, band.at(i, c)) * x[c]);
        x[i] = sum / load<S>(B, band.at(i, i));
    }
}

}  // namespace pwpoly::piecewise_polynomials
