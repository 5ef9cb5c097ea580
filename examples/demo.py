"""pwpoly at work: a two-level space-time workflow in time.

1. Sample u(t) = sin(2*pi*t) + t**2 at the nodes of a continuous piecewise Lagrange basis on a
   coarse partition of [0, 1], and carry the nodal values to finer partitions with the sparse
   prolongation matrix (the coarse-to-fine transfer of a multigrid method in time).
2. Turn the fine nodal values into piecewise Legendre coefficients with the sparse
   Lagrange-to-Legendre transformation and post-process: values and time derivatives at many
   times, against the exact solution.
3. Show the observed convergence orders and the cost of one evaluation call.

Steps 1 and 2 use the array interface pwpoly_numpy (scipy.sparse operators, vectorised
evaluation); step 3 compares it with the scalar calls of pwpoly.
"""

import math
import time

import numpy as np
import numpy.typing as npt

import pwpoly
import pwpoly_numpy as pn


def exact(t: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    return np.sin(2 * np.pi * t) + t * t


def exact_derivative(t: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    return 2 * np.pi * np.cos(2 * np.pi * t) + 2 * t


def prolongation_error(degree: int, nt_coarse: int, refinement: int) -> tuple[float, int]:
    coarse = pn.LagrangeSpace(degree, nt_coarse, 1.0)
    fine = pn.LagrangeSpace(degree, nt_coarse * refinement, 1.0)
    P = coarse.prolongation_to(fine)  # scipy.sparse.csr_array (fine.size, coarse.size)
    interpolated = P @ coarse.interpolate(exact)
    return float(np.max(np.abs(interpolated - fine.interpolate(exact)))), P.nnz


def legendre_errors(degree: int, n_t: int, samples: npt.NDArray[np.float64]) -> tuple[float, float]:
    W = pn.LagrangeSpace(degree, n_t, 1.0)
    V = W.legendre_space()
    coefficients = W.to_legendre() @ W.interpolate(exact)
    values = V.evaluate(coefficients, samples)
    slopes = V.evaluate(coefficients, samples, derivative=1)
    return float(np.max(np.abs(values - exact(samples)))), float(np.max(np.abs(slopes - exact_derivative(samples))))


def order(errors: list[float], ratio: float = 2.0) -> list[str]:
    return ["  -  "] + [f"{math.log(a / b, ratio):5.2f}" for a, b in zip(errors, errors[1:])]


def main() -> None:
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
    times = np.linspace(0.0, 1.0, 100_000)
    start = time.perf_counter()
    for t in times.tolist():
        evaluator.evaluate_at(t)
    per_call = (time.perf_counter() - start) / len(times)
    print(f"   LegendreBasisEvaluator.evaluate_at, n_t = {n_t}, degree = {degree}: {per_call * 1e9:.0f} ns per call")
    V = pn.LegendreSpace(degree, n_t, 1.0)
    coefficients = np.ones(V.size)
    best = math.inf
    for _ in range(5):
        start = time.perf_counter()
        V.evaluate(coefficients, times)
        best = min(best, time.perf_counter() - start)
    print(f"   pwpoly_numpy LegendreSpace.evaluate, all {len(times)} times in one call: "
          f"{best / len(times) * 1e9:.1f} ns per time")
    start = time.perf_counter()
    prolongation_rows, _, _ = pwpoly.lagrange_prolongation_matrix(50_000, 100_000, 2)
    print(f"   lagrange_prolongation_matrix(50000, 100000, 2): {len(prolongation_rows)} entries in "
          f"{(time.perf_counter() - start) * 1e3:.0f} ms")
    start = time.perf_counter()
    P = pn.LagrangeSpace(2, 50_000, 1.0).prolongation_to(pn.LagrangeSpace(2, 100_000, 1.0))
    print(f"   pwpoly_numpy LagrangeSpace.prolongation_to, same matrix as csr_array: {P.nnz} entries in "
          f"{(time.perf_counter() - start) * 1e3:.0f} ms")


if __name__ == "__main__":
    main()
