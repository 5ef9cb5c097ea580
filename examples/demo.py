"""pwpoly at work: a two-level space-time workflow in time.

1. Sample u(t) = sin(2*pi*t) + t**2 at the nodes of a continuous piecewise Lagrange basis on a
   coarse partition of [0, 1], and carry the nodal values to finer partitions with the sparse
   prolongation matrix (the coarse-to-fine transfer of a multigrid method in time).
2. Turn the fine nodal values into piecewise Legendre coefficients with the sparse
   Lagrange-to-Legendre transformation and post-process: values and time derivatives at many
   times, against the exact solution.
3. Show the observed convergence orders and the cost of one evaluation call.
4. Solve the heat equation with a time-dependent source in time by dG(q) and cG(q)
   (``pn.solve_galerkin``) and show the orders of the error at T.

Steps 1 and 2 use the array interface pwpoly_numpy (scipy.sparse operators, vectorised
evaluation); step 3 compares it with the scalar calls of pwpoly.
"""

import math
import time
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import scipy.sparse

import pwpoly
import pwpoly_numpy as pn

Array = npt.NDArray[np.float64]

# The tables of steps 1 and 2: degrees and interval counts (each twice the one before).
PROLONGATION_DEGREES = (1, 2, 3, 4)
PROLONGATION_COARSE_NT = (4, 8, 16, 32, 64)
REFINEMENT = 4
LEGENDRE_DEGREES = (1, 2, 3, 5)
LEGENDRE_NT = (4, 8, 16, 32)
SAMPLES = 2001


def exact(t: Array) -> Array:
    return np.sin(2 * np.pi * t) + t * t


def exact_derivative(t: Array) -> Array:
    return 2 * np.pi * np.cos(2 * np.pi * t) + 2 * t


@dataclass(frozen=True)
class Convergence:
    """Maximum errors of one degree on a sequence of partitions."""

    degree: int
    n_t: tuple[int, ...]
    errors: tuple[float, ...]

    def orders(self) -> tuple[float, ...]:
        """Observed orders between consecutive partitions: log(e_a / e_b) / log(n_b / n_a)."""
        return tuple(math.log(a / b, m / n) for a, b, n, m in zip(self.errors, self.errors[1:], self.n_t, self.n_t[1:]))


@dataclass(frozen=True)
class ProlongationRow:
    convergence: Convergence  # against the coarse n_t
    finest_nnz: int  # stored entries of the prolongation from the finest coarse partition


@dataclass(frozen=True)
class LegendreRow:
    values: Convergence
    slopes: Convergence


def prolongation_error(degree: int, nt_coarse: int, refinement: int) -> tuple[float, int]:
    coarse = pn.LagrangeSpace(degree, nt_coarse, 1.0)
    fine = pn.LagrangeSpace(degree, nt_coarse * refinement, 1.0)
    P = coarse.prolongation_to(fine)  # scipy.sparse.csr_array (fine.size, coarse.size)
    interpolated = P @ coarse.interpolate(exact)
    return float(np.max(np.abs(interpolated - fine.interpolate(exact)))), int(P.nnz)


def legendre_errors(degree: int, n_t: int, samples: Array) -> tuple[float, float]:
    W = pn.LagrangeSpace(degree, n_t, 1.0)
    V = W.legendre_space()
    coefficients = W.to_legendre() @ W.interpolate(exact)
    values = V.evaluate(coefficients, samples)
    slopes = V.evaluate(coefficients, samples, derivative=1)
    return (float(np.max(np.abs(values - exact(samples)))), float(np.max(np.abs(slopes - exact_derivative(samples)))))


def prolongation_table(
    degrees: tuple[int, ...] = PROLONGATION_DEGREES,
    coarse_nt: tuple[int, ...] = PROLONGATION_COARSE_NT,
    refinement: int = REFINEMENT,
) -> list[ProlongationRow]:
    """Step 1: error of the prolonged nodal values against the fine nodal values, per degree."""
    table = []
    for degree in degrees:
        rows = [prolongation_error(degree, nt, refinement) for nt in coarse_nt]
        table.append(ProlongationRow(Convergence(degree, coarse_nt, tuple(e for e, _ in rows)), rows[-1][1]))
    return table


def legendre_table(
    degrees: tuple[int, ...] = LEGENDRE_DEGREES, nts: tuple[int, ...] = LEGENDRE_NT, samples: int = SAMPLES
) -> list[LegendreRow]:
    """Step 2: error of the values and time derivatives at equidistant times, per degree."""
    times = np.linspace(0.0, 1.0, samples)
    table = []
    for degree in degrees:
        results = [legendre_errors(degree, nt, times) for nt in nts]
        table.append(
            LegendreRow(
                Convergence(degree, nts, tuple(v for v, _ in results)),
                Convergence(degree, nts, tuple(d for _, d in results)),
            )
        )
    return table


# Step 4: u_t = u_xx + cos(2 pi t) sin(pi x) on (0, 1), u = 0 at both ends, u(0) = sin(pi x),
# second differences on HEAT_POINTS interior points, up to T = 1.
HEAT_POINTS = 200
SOLVER_NT = (4, 8, 16, 32)


@dataclass(frozen=True)
class SolverRow:
    method: str  # "dG" or "cG"
    convergence: Convergence  # the largest error at T
    solves: int  # linear solves of size HEAT_POINTS on the finest partition
    factorizations: int


def heat_problem() -> tuple[Any, Array, Array, float]:
    """The space operator, its eigenvector sin(pi x) (the start value) and its eigenvalue."""
    h = 1.0 / (HEAT_POINTS + 1)
    x = np.arange(1, HEAT_POINTS + 1, dtype=np.float64) * h
    A = scipy.sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(HEAT_POINTS, HEAT_POINTS)) / h**2
    mu = 4.0 / h**2 * math.sin(math.pi * h / 2.0) ** 2
    return scipy.sparse.csr_array(A), np.asarray(np.sin(np.pi * x), dtype=np.float64), x, mu


def heat_exact_end(mu: float, T: float) -> float:
    """v(T) for v' + mu v = cos(2 pi t), v(0) = 1: the semi-discrete solution is v(t) sin(pi x)."""
    omega = 2.0 * math.pi
    steady = (mu * math.cos(omega * T) + omega * math.sin(omega * T)) / (mu**2 + omega**2)
    return (1.0 - mu / (mu**2 + omega**2)) * math.exp(-mu * T) + steady


def solver_table(nts: tuple[int, ...] = SOLVER_NT) -> list[SolverRow]:
    """Step 4: the error at T = 1 of dG(q) and cG(q), q = 1, 2, 3."""
    A, s, _, mu = heat_problem()
    exact_end = heat_exact_end(mu, 1.0) * s

    def source(t: Array) -> Array:
        return np.outer(s, np.cos(2.0 * np.pi * t))

    table = []
    for method, space in (("dG", pn.LegendreSpace), ("cG", pn.LagrangeSpace)):
        for degree in (1, 2, 3):
            errors, solution = [], None
            for n_t in nts:
                solution = pn.solve_galerkin(space(degree, n_t, 1.0), A, s, f=source)
                errors.append(float(np.max(np.abs(solution.end - exact_end))))
            assert solution is not None
            table.append(
                SolverRow(method, Convergence(degree, nts, tuple(errors)), solution.n_solves, solution.n_factorizations)
            )
    return table


def order(convergence: Convergence) -> list[str]:
    return ["  -  "] + [f"{q:5.2f}" for q in convergence.orders()]


def main() -> None:
    print(__doc__)
    print(
        f"1. Coarse-to-fine prolongation, coarse n_t = {PROLONGATION_COARSE_NT[0]} .. {PROLONGATION_COARSE_NT[-1]}, "
        f"fine = {REFINEMENT} x coarse"
    )
    for row in prolongation_table():
        c = row.convergence
        print(f"   degree {c.degree}: max error " + " ".join(f"{e:9.2e}" for e in c.errors))
        print("             order     " + "     ".join(order(c)) + f"   (expected {c.degree + 1})")
        print(f"             stored entries of the finest operator: {row.finest_nnz}")

    print(f"\n2. Lagrange -> Legendre, evaluated at {SAMPLES} times (values and time derivatives)")
    for legendre in legendre_table():
        values, slopes = legendre.values, legendre.slopes
        print(
            f"   degree {values.degree}: value error "
            + " ".join(f"{e:9.2e}" for e in values.errors)
            + "   orders "
            + " ".join(order(values))
        )
        print(
            "             slope error "
            + " ".join(f"{e:9.2e}" for e in slopes.errors)
            + "   orders "
            + " ".join(order(slopes))
        )

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
    print(
        f"   pwpoly_numpy LegendreSpace.evaluate, all {len(times)} times in one call: "
        f"{best / len(times) * 1e9:.1f} ns per time"
    )
    start = time.perf_counter()
    rows, _, _ = pwpoly.lagrange_prolongation_matrix(50_000, 100_000, 2)
    print(
        f"   lagrange_prolongation_matrix(50000, 100000, 2): {len(rows)} entries in "
        f"{(time.perf_counter() - start) * 1e3:.0f} ms"
    )
    start = time.perf_counter()
    P = pn.LagrangeSpace(2, 50_000, 1.0).prolongation_to(pn.LagrangeSpace(2, 100_000, 1.0))
    print(
        f"   pwpoly_numpy LagrangeSpace.prolongation_to, same matrix as csr_array: {P.nnz} entries in "
        f"{(time.perf_counter() - start) * 1e3:.0f} ms"
    )

    print(
        f"\n4. u_t = u_xx + cos(2 pi t) sin(pi x), {HEAT_POINTS} points in space, solved in time by "
        f"pn.solve_galerkin, n_t = {SOLVER_NT[0]} .. {SOLVER_NT[-1]}: the error at T = 1"
    )
    for solved in solver_table():
        c = solved.convergence
        expected = 2 * c.degree + 1 if solved.method == "dG" else 2 * c.degree
        print(
            f"   {solved.method}({c.degree}): error " + " ".join(f"{e:9.2e}" for e in c.errors)
            + "   orders " + " ".join(order(c)) + f"   (expected {expected}; {solved.factorizations} LU, "
            f"{solved.solves} solves at n_t = {c.n_t[-1]})"
        )  # fmt: skip


if __name__ == "__main__":
    main()
