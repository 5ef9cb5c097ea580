"""pwpoly at work: a two-level space-time workflow in time.

1. Sample u(t) = sin(2*pi*t) + t**2 at the nodes of a continuous piecewise Lagrange basis on a
   coarse partition of [0, 1], and carry the nodal values to finer partitions with the sparse
   prolongation matrix (the coarse-to-fine transfer of a multigrid method in time).
2. Turn the fine nodal values into piecewise Legendre coefficients with the sparse
   Lagrange-to-Legendre transformation, store them once in a LegendreBasisEvaluator, and
   post-process: values and time derivatives at many times, against the exact solution.
3. Show the observed convergence orders and the cost of one evaluation call.
"""

import math
import time

import numpy as np

import pwpoly


def exact(t):
    return np.sin(2 * np.pi * t) + t * t


def exact_derivative(t):
    return 2 * np.pi * np.cos(2 * np.pi * t) + 2 * t


def apply(triplets, x, nrows):
    """y = A x for a matrix given as (rows, cols, values) triplets."""
    rows, cols, values = (np.asarray(a) for a in triplets)
    y = np.zeros(nrows)
    np.add.at(y, rows, values * x[cols])
    return y


def prolongation_error(degree, nt_coarse, refinement):
    nt_fine = nt_coarse * refinement
    coarse = np.array(pwpoly.get_lagrange_points(degree, nt_coarse, 1.0))
    fine = np.array(pwpoly.get_lagrange_points(degree, nt_fine, 1.0))
    P = pwpoly.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree)
    interpolated = apply(P, exact(coarse), fine.size)
    return np.max(np.abs(interpolated - exact(fine))), len(P[2])


def legendre_errors(degree, n_t, samples):
    nodes = np.array(pwpoly.get_lagrange_points(degree, n_t, 1.0))
    M = pwpoly.lagrange_to_legendre_basis_transformation(degree, n_t)
    coefficients = apply(M, exact(nodes), (degree + 1) * n_t)
    evaluator = pwpoly.LegendreBasisEvaluator(degree, n_t, 1.0)
    evaluator.set_dofs(coefficients.tolist())
    values = np.array([evaluator.evaluate_at(t) for t in samples])
    slopes = np.array([evaluator.evaluate_derivative_at(t) for t in samples])
    return np.max(np.abs(values - exact(samples))), np.max(np.abs(slopes - exact_derivative(samples)))


def order(errors, ratio=2.0):
    return ["  -  "] + [f"{math.log(a / b, ratio):5.2f}" for a, b in zip(errors, errors[1:])]


def main():
    print(__doc__)
    print("1. Coarse-to-fine prolongation, coarse n_t = 4 .. 64, fine = 4 x coarse")
    for degree in (1, 2, 3, 4):
        rows = [prolongation_error(degree, nt, 4) for nt in (4, 8, 16, 32, 64)]
        errors = [e for e, _ in rows]
        print(f"   degree {degree}: max error " + " ".join(f"{e:9.2e}" for e in errors))
        print(f"             order     " + "     ".join(order(errors)) + f"   (expected {degree + 1})")
        print(f"             stored entries of the finest operator: {rows[-1][1]}")

    samples = np.linspace(0.0, 1.0, 2001)
    print("\n2. Lagrange -> Legendre, evaluated at 2001 times (values and time derivatives)")
    for degree in (1, 2, 3, 5):
        results = [legendre_errors(degree, nt, samples) for nt in (4, 8, 16, 32)]
        values = [v for v, _ in results]
        slopes = [d for _, d in results]
        print(f"   degree {degree}: value error " + " ".join(f"{e:9.2e}" for e in values)
              + "   orders " + " ".join(order(values)))
        print(f"             slope error " + " ".join(f"{e:9.2e}" for e in slopes)
              + "   orders " + " ".join(order(slopes)))

    print("\n3. Cost of one call")
    n_t, degree = 10_000, 3
    evaluator = pwpoly.LegendreBasisEvaluator(degree, n_t, 1.0)
    evaluator.set_dofs([1.0] * (n_t * (degree + 1)))
    times = [i / 99_999 for i in range(100_000)]
    start = time.perf_counter()
    for t in times:
        evaluator.evaluate_at(t)
    per_call = (time.perf_counter() - start) / len(times)
    print(f"   LegendreBasisEvaluator.evaluate_at, n_t = {n_t}, degree = {degree}: {per_call * 1e9:.0f} ns per call")
    start = time.perf_counter()
    P = pwpoly.lagrange_prolongation_matrix(50_000, 100_000, 2)
    print(f"   lagrange_prolongation_matrix(50000, 100000, 2): {len(P[0])} entries in "
          f"{(time.perf_counter() - start) * 1e3:.0f} ms")


if __name__ == "__main__":
    main()
