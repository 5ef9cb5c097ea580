#include "piecewise_polynomials/stepping.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "common/fault.hpp"

namespace pwpoly::piecewise_polynomials {

namespace {

// y = B u, the terms of a row added in order.
void multiply(const CompressedRows& B, std::span<const double> u, std::span<double> y) {
    for (std::size_t s = 0; s < u.size(); ++s) {
        double sum = 0.0;
        for (auto e = B.indptr[s]; e < B.indptr[s + 1]; ++e)
            sum = sum + (B.data[static_cast<std::size_t>(e)] *
                         u[static_cast<std::size_t>(B.indices[static_cast<std::size_t>(e)])]);
        y[s] = sum;
    }
}

// Compressed rows of n rows whose column indices lie in [0, n), increasing within a row, and,
// when `band` is given, within its diagonals.
void check_rows(const CompressedRows& B, std::size_t n, const Band* band) {
    if (B.indptr.size() != n + 1 || B.indptr[0] != 0 || B.indices.size() != B.data.size() ||
        B.indptr[n] != static_cast<std::int64_t>(B.data.size()))
        fault("steps: compressed rows do not match");
    for (std::size_t i = 0; i < n; ++i) {
        if (B.indptr[i + 1] < B.indptr[i]) fault("steps: compressed rows do not match");
        std::int64_t previous = -1;
        for (auto e = B.indptr[i]; e < B.indptr[i + 1]; ++e) {
            const std::int64_t c = B.indices[static_cast<std::size_t>(e)];
            if (c <= previous || c >= static_cast<std::int64_t>(n)) fault("steps: compressed rows do not match");
            previous = c;
            const auto row = static_cast<std::int64_t>(i);
            if (band != nullptr &&
                (c < row - static_cast<std::int64_t>(band->lower) || c > row + static_cast<std::int64_t>(band->upper)))
                fault("steps: an entry outside the band");
        }
    }
}

// The coupled block T1 kron M + half T2 kron A into its full band B.
void assemble_block(const StepDescription& d, const Band& band, double half, std::span<double> B) {
    std::fill(B.begin(), B.end(), 0.0);
    const std::size_t n = d.n;
    for (std::size_t i = 0; i < d.m; ++i)
        for (std::size_t j = 0; j < d.m; ++j) {
            const double t1 = d.T1[(i * d.m) + j];
            const double t2 = half * d.T2[(i * d.m) + j];
            for (std::size_t s = 0; s < n; ++s) {
                for (auto e = d.M.indptr[s]; e < d.M.indptr[s + 1]; ++e) {
                    const auto r = static_cast<std::size_t>(d.M.indices[static_cast<std::size_t>(e)]);
                    B[band.at((i * n) + s, (j * n) + r)] = t1 * d.M.data[static_cast<std::size_t>(e)];
                }
                for (auto e = d.A.indptr[s]; e < d.A.indptr[s + 1]; ++e) {
                    const auto r = static_cast<std::size_t>(d.A.indices[static_cast<std::size_t>(e)]);
                    const std::size_t at = band.at((i * n) + s, (j * n) + r);
                    B[at] = B[at] + (t2 * d.A.data[static_cast<std::size_t>(e)]);
                }
            }
        }
}

// lambda M + half A into the band B of S (a real system takes lambda's real part).
template <class S>
void assemble_system(const StepDescription& d, const Band& band, Complex lambda, double half, std::span<double> B) {
    std::fill(B.begin(), B.end(), 0.0);
    for (std::size_t i = 0; i < band.n; ++i) {
        for (auto e = d.M.indptr[i]; e < d.M.indptr[i + 1]; ++e) {
            const auto at = band.at(i, static_cast<std::size_t>(d.M.indices[static_cast<std::size_t>(e)]));
            const double value = d.M.data[static_cast<std::size_t>(e)];
            if constexpr (std::is_same_v<S, double>)
                B[at] = lambda.re * value;
            else
                store<Complex>(B, at, Complex{lambda.re * value, lambda.im * value});
        }
        for (auto e = d.A.indptr[i]; e < d.A.indptr[i + 1]; ++e) {
            const auto at = band.at(i, static_cast<std::size_t>(d.A.indices[static_cast<std::size_t>(e)]));
            const double value = half * d.A.data[static_cast<std::size_t>(e)];
            if constexpr (std::is_same_v<S, double>)
                B[at] = B[at] + value;
            else
                B[2 * at] = B[2 * at] + value;
        }
    }
}

// The right-hand side of a step (see step_right_side), M u and A u into the workspaces Mu, Au.
void right_side(const StepDescription& d, double half, std::span<const double> load, std::span<const double> u,
                std::span<double> rhs, std::span<double> Mu, std::span<double> Au) {
    const std::size_t n = d.n;
    multiply(d.M, u, Mu);
    const bool coupled = std::any_of(d.C2.begin(), d.C2.end(), [](double c) { return c != 0.0; });
    if (coupled) multiply(d.A, u, Au);
    for (std::size_t i = 0; i < d.m; ++i) {
        const double c2 = half * d.C2[i];
        for (std::size_t r = 0; r < n; ++r) {
            const double value = load[(i * n) + r] + (d.C1[i] * Mu[r]);
            rhs[(i * n) + r] = coupled ? value + (c2 * Au[r]) : value;
        }
    }
}

bool all_finite(std::span<const double> values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

// The work of one run: the factors of a slot, the systems' solutions and right-hand sides.
class Stepper {
public:
    Stepper(const StepDescription& d, const StepFactors& cache)
        : d_(d),
          cache_(cache),
          band_(d.band()),
          size_(d.factor_size()),
          system_(size_ / d.systems()),
          z_re_(d.coupled() ? 0 : d.systems() * d.n),
          z_im_(z_re_.size()),
          y_(2 * z_re_.size()),
          real_(d.coupled() ? 0 : d.n),
          pair_(d.coupled() ? 0 : d.n),
          Mx_(d.coupled() ? 0 : d.n * d.m),
          Ax_(Mx_.size()),
          residual_(Mx_.size()),
          correction_(Mx_.size()) {}

    // Factorises slot s if needed; false for a singular system.
    bool factorize(std::size_t s) {
        if (cache_.factored[s] != 0) return true;
        const double half = cache_.halves[s];
        for (std::size_t e = 0; e < d_.systems(); ++e) {
            const std::span<double> B = factors(s, e);
            const std::span<std::int64_t> swaps = pivots(s, e);
            if (d_.coupled()) {
                assemble_block(d_, band_, half, B);
                if (!lu_factorize<double>(band_, B, swaps)) return false;
            } else if (d_.eigen_im[e] == 0.0) {
                assemble_system<double>(d_, band_, {d_.eigen_re[e], 0.0}, half, B);
                if (!lu_factorize<double>(band_, B, swaps)) return false;
            } else {
                assemble_system<Complex>(d_, band_, {d_.eigen_re[e], d_.eigen_im[e]}, half, B);
                if (!lu_factorize<Complex>(band_, B, swaps)) return false;
            }
        }
        cache_.factored[s] = 1;
        return true;
    }

    // The unknowns x of an interval of slot s from its right-hand side `rhs` (overwritten).
    void solve(std::size_t s, std::span<double> rhs, std::span<double> x) {
        if (d_.coupled()) {
            lu_solve<double>(band_, factors(s, 0), pivots(s, 0), rhs);
            std::copy(rhs.begin(), rhs.end(), x.begin());
            return;
        }
        solve_split(s, rhs, x);
        // One step of refinement against the coupled residual: the split systems' rounded
        // entries lambda M + (h/2) A shift every mode alike, the residual's products with M and
        // A do not.
        residual(cache_.halves[s], rhs, x, residual_);
        solve_split(s, residual_, correction_);
        for (std::size_t i = 0; i < x.size(); ++i) x[i] = x[i] + correction_[i];
    }

private:
    // rhs - (T1 kron M + (h/2) T2 kron A) x into r, block by block, the terms of block j
    // subtracted in order of j.
    void residual(double half, std::span<const double> rhs, std::span<const double> x, std::span<double> r) {
        const std::size_t n = d_.n;
        const std::size_t m = d_.m;
        for (std::size_t j = 0; j < m; ++j) {
            multiply(d_.M, x.subspan(j * n, n), std::span<double>(Mx_).subspan(j * n, n));
            multiply(d_.A, x.subspan(j * n, n), std::span<double>(Ax_).subspan(j * n, n));
        }
        std::copy(rhs.begin(), rhs.end(), r.begin());
        for (std::size_t i = 0; i < m; ++i)
            for (std::size_t j = 0; j < m; ++j) {
                const double t1 = d_.T1[(i * m) + j];
                const double t2 = half * d_.T2[(i * m) + j];
                for (std::size_t row = 0; row < n; ++row)
                    r[(i * n) + row] = (r[(i * n) + row] - (t1 * Mx_[(j * n) + row])) - (t2 * Ax_[(j * n) + row]);
            }
    }

    // The split systems' solution x of the right-hand side rhs.
    void solve_split(std::size_t s, std::span<const double> rhs, std::span<double> x) {
        const std::size_t n = d_.n;
        const std::size_t p = d_.systems();
        split_right_side(d_, rhs, z_re_, z_im_);
        for (std::size_t e = 0; e < p; ++e) {
            const auto first = static_cast<std::ptrdiff_t>(e * n);
            if (d_.eigen_im[e] == 0.0) {
                std::copy_n(z_re_.begin() + first, n, real_.begin());
                lu_solve<double>(band_, factors(s, e), pivots(s, e), std::span<double>(real_));
                for (std::size_t r = 0; r < n; ++r) {
                    y_[(e * n) + r] = real_[r];
                    y_[((p + e) * n) + r] = 0.0;
                }
            } else {
                for (std::size_t r = 0; r < n; ++r) pair_[r] = {z_re_[(e * n) + r], z_im_[(e * n) + r]};
                lu_solve<Complex>(band_, factors(s, e), pivots(s, e), std::span<Complex>(pair_));
                for (std::size_t r = 0; r < n; ++r) {
                    y_[(e * n) + r] = pair_[r].re;
                    y_[((p + e) * n) + r] = pair_[r].im;
                }
            }
        }
        join_solutions(d_, y_, x);
    }

    std::span<double> factors(std::size_t s, std::size_t e) const {
        return cache_.factors.subspan((s * size_) + (e * system_), system_);
    }
    std::span<std::int64_t> pivots(std::size_t s, std::size_t e) const {
        return cache_.pivots.subspan((s * d_.pivot_count()) + (e * band_.n), band_.n);
    }

    const StepDescription& d_;
    const StepFactors& cache_;
    Band band_;
    std::size_t size_;
    std::size_t system_;
    std::vector<double> z_re_, z_im_, y_, real_;
    std::vector<Complex> pair_;
    std::vector<double> Mx_, Ax_, residual_, correction_;
};

}  // namespace

StepDescription StepDescription::unpack(std::span<const std::int64_t> shape, std::span<const double> method,
                                        std::span<const std::int64_t> structure, std::span<const double> entries) {
    if (shape.size() != 5 || std::any_of(shape.begin(), shape.end(), [](std::int64_t v) { return v < 0; }))
        fault("steps: the shape of a step does not match");
    const auto n = static_cast<std::size_t>(shape[0]);
    const auto m = static_cast<std::size_t>(shape[1]);
    const auto p = static_cast<std::size_t>(shape[2]);
    const std::size_t split = p == 0 ? 0 : (2 * p) + (2 * p * m) + (2 * m * p);
    if (n == 0 || m == 0 || method.size() != (2 * m * m) + (3 * m) + split || structure.size() < 2 * (n + 1))
        fault("steps: the shape of a step does not match");
    std::size_t at = 0;
    const auto take = [&](std::size_t count) {
        const std::span<const double> part = method.subspan(at, count);
        at += count;
        return part;
    };
    StepDescription d{};
    d.n = n;
    d.m = m;
    d.T1 = take(m * m);
    d.T2 = take(m * m);
    d.C1 = take(m);
    d.C2 = take(m);
    d.E = take(m);
    if (p > 0) {
        d.eigen_re = take(p);
        d.eigen_im = take(p);
        d.G_re = take(p * m);
        d.G_im = take(p * m);
        d.Wy = take(m * 2 * p);
    }
    d.lower = static_cast<std::size_t>(shape[3]);
    d.upper = static_cast<std::size_t>(shape[4]);
    const std::span<const std::int64_t> M_indptr = structure.first(n + 1);
    const std::span<const std::int64_t> A_indptr = structure.subspan(n + 1, n + 1);
    const std::int64_t M_nnz = M_indptr[n];
    const std::int64_t A_nnz = A_indptr[n];
    if (M_nnz < 0 || A_nnz < 0 || structure.size() != (2 * (n + 1)) + static_cast<std::size_t>(M_nnz + A_nnz) ||
        entries.size() != static_cast<std::size_t>(M_nnz + A_nnz))
        fault("steps: compressed rows do not match");
    const auto M_count = static_cast<std::size_t>(M_nnz);
    const auto A_count = static_cast<std::size_t>(A_nnz);
    d.M = {M_indptr, structure.subspan(2 * (n + 1), M_count), entries.first(M_count)};
    d.A = {A_indptr, structure.subspan((2 * (n + 1)) + M_count, A_count), entries.subspan(M_count, A_count)};
    check_rows(d.M, n, nullptr);
    check_rows(d.A, n, nullptr);
    return d;
}

std::size_t StepDescription::factor_size() const {
    const Band b = band();
    return systems() * (coupled() ? 1 : 2) * b.entries();
}

void step_right_side(const StepDescription& d, double half, std::span<const double> load, std::span<const double> u,
                     std::span<double> rhs) {
    std::vector<double> Mu(d.n), Au(d.n);
    right_side(d, half, load, u, rhs, Mu, Au);
}

void split_right_side(const StepDescription& d, std::span<const double> rhs, std::span<double> z_re,
                      std::span<double> z_im) {
    const std::size_t n = d.n;
    const std::size_t m = d.m;
    // Each entry sums over the blocks in order; the loops run along the rows (for the vector
    // lanes), which keeps that order.
    for (std::size_t e = 0; e < d.eigen_re.size(); ++e) {
        for (std::size_t r = 0; r < n; ++r) {
            z_re[(e * n) + r] = d.G_re[e * m] * rhs[r];
            z_im[(e * n) + r] = d.G_im[e * m] * rhs[r];
        }
        for (std::size_t i = 1; i < m; ++i) {
            const double g_re = d.G_re[(e * m) + i];
            const double g_im = d.G_im[(e * m) + i];
            for (std::size_t r = 0; r < n; ++r) {
                z_re[(e * n) + r] = z_re[(e * n) + r] + (g_re * rhs[(i * n) + r]);
                z_im[(e * n) + r] = z_im[(e * n) + r] + (g_im * rhs[(i * n) + r]);
            }
        }
    }
}

void join_solutions(const StepDescription& d, std::span<const double> y, std::span<double> x) {
    const std::size_t n = d.n;
    const std::size_t columns = 2 * d.eigen_re.size();
    for (std::size_t i = 0; i < d.m; ++i) {
        const double first = d.Wy[i * columns];
        for (std::size_t r = 0; r < n; ++r) x[(i * n) + r] = first * y[r];
        for (std::size_t j = 1; j < columns; ++j) {
            const double w = d.Wy[(i * columns) + j];
            for (std::size_t r = 0; r < n; ++r) x[(i * n) + r] = x[(i * n) + r] + (w * y[(j * n) + r]);
        }
    }
}

void end_value(std::span<const double> E, std::span<const double> x, std::span<double> u) {
    const std::size_t n = u.size();
    for (std::size_t r = 0; r < n; ++r) u[r] = E[0] * x[r];
    for (std::size_t i = 1; i < E.size(); ++i)
        for (std::size_t r = 0; r < n; ++r) u[r] = u[r] + (E[i] * x[(i * n) + r]);
}

StepRun steps(const StepDescription& d, const StepFactors& cache, std::span<const std::int64_t> slots,
              std::span<const double> loads, std::span<const double> corrections, std::span<double> u,
              std::span<double> out) {
    const std::size_t n = d.n;
    const std::size_t N = n * d.m;
    const std::size_t count = cache.halves.size();
    const std::size_t steps = slots.size();
    const std::size_t p = d.eigen_re.size();
    if (n == 0 || d.m == 0 || d.T1.size() != d.m * d.m || d.T2.size() != d.m * d.m || d.C1.size() != d.m ||
        d.C2.size() != d.m || d.E.size() != d.m || d.eigen_im.size() != p || d.G_re.size() != p * d.m ||
        d.G_im.size() != p * d.m || d.Wy.size() != d.m * 2 * p || u.size() != n ||
        cache.factors.size() != count * d.factor_size() || cache.pivots.size() != count * d.pivot_count() ||
        cache.factored.size() != count || loads.size() != steps * N || out.size() != steps * N ||
        (!corrections.empty() && corrections.size() != steps * n))
        fault("steps: buffer sizes do not match");
    const Band band = d.band();
    check_rows(d.M, n, d.coupled() ? nullptr : &band);
    check_rows(d.A, n, d.coupled() ? nullptr : &band);
    Stepper stepper(d, cache);
    std::vector<double> rhs(N), Mu(n), Au(n);
    for (std::size_t k = 0; k < steps; ++k) {
        const std::int64_t slot = slots[k];
        if (slot < 0 || slot >= static_cast<std::int64_t>(count)) fault("steps: slot out of range");
        const auto s = static_cast<std::size_t>(slot);
        if (!stepper.factorize(s)) return {k, StepStop::singular};
        right_side(d, cache.halves[s], loads.subspan(k * N, N), u, rhs, Mu, Au);
        const std::span<double> x = out.subspan(k * N, N);
        stepper.solve(s, rhs, x);
        end_value(d.E, x, u);
        if (!corrections.empty())
            for (std::size_t r = 0; r < n; ++r) u[r] = u[r] + corrections[(k * n) + r];
        if (!all_finite(x) || !all_finite(u)) return {k, StepStop::overflow};
    }
    return {steps, StepStop::none};
}

}  // namespace pwpoly::piecewise_polynomials
