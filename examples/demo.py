"""pwpoly at work: the heat equation solved in time by Galerkin methods, serially and parallel in time.

    python examples/demo.py                        # the convergence tables, in one process
    mpiexec -n 2 python examples/demo.py --mpi     # parareal and MGRIT over the MPI processes

The problem: u_t = u_xx + cos(2 pi t) sin(pi x) on (0, 1), u = 0 at both ends, u(0) = sin(pi x),
up to T = 1. Its solution is u(x, t) = v(t) sin(pi x), with v' + pi**2 v = cos(2 pi t), v(0) = 1.

Space: piecewise linear finite elements on equal cells (scipy.sparse), which give M u' + A u = f,
M the mass matrix, A the stiffness matrix, f(t) the load vector of the source. Its nodal vector
s = sin(pi x_i) is an eigenvector of both M and A, so this system has an exact solution too,
v_h(t) s with v_h' + lam_h v_h = gamma_h cos(2 pi t): the errors against it are the errors of the
time discretisation alone.

Time: ``pn.solve_galerkin`` steps the system interval by interval, dG(q) on a ``LegendreSpace``
of degree q, cG(q) on a ``LagrangeSpace`` of degree q. The tables show the errors in L2 over
[0, T] and at T (both in the norm of M) on finer and finer partitions, and the observed orders
next to the expected ones. With ``--mpi`` the same system is solved by ``pn.parareal`` and
``pn.mgrit`` on time slabs spread over the MPI processes, against the serial solution.
"""

from __future__ import annotations

import argparse
import math
import time
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import scipy.sparse

import pwpoly_numpy as pn

Array = npt.NDArray[np.float64]

OMEGA = 2.0 * math.pi  # the frequency of the source
T = 1.0
N_X = 100  # interior nodes of the finite elements
N_TS = (8, 16, 32, 64)  # interval counts in time, each twice the one before
DG_DEGREES = (0, 1, 2)
CG_DEGREES = (1, 2, 3)
PARALLEL_NT = 256  # dG(1) intervals of the parallel-in-time run
PARALLEL_SLABS = 16  # parareal's slabs


@dataclass(frozen=True)
class Heat:
    """M u' + A u = f(t), u(0) = s, from linear finite elements on n_x interior nodes."""

    M: Any  # scipy.sparse.csr_array (n_x, n_x)
    A: Any
    s: Array  # sin(pi x_i), the start value and the shape of the solution
    lam: float  # A s = lam M s
    gamma: float  # f(t) = gamma cos(omega t) M s

    def f(self, t: Array) -> Array:
        """The load vector at the times t: shape (n_x, len(t)), as ``solve_galerkin`` takes it."""
        return np.outer(self.gamma * (self.M @ self.s), np.cos(OMEGA * t))

    def amplitude(self, t: Array) -> Array:
        return amplitude(self.lam, self.gamma, t)

    def norm(self, e: Array) -> Array:
        """The norm of M of every column of e (the discrete L2 norm in space)."""
        return np.sqrt(np.maximum(np.sum(e * (self.M @ e), axis=0), 0.0))


def amplitude(lam: float, gamma: float, t: Array) -> Array:
    """v(t) with v' + lam v = gamma cos(omega t), v(0) = 1."""
    denominator = lam**2 + OMEGA**2
    steady = gamma * (lam * np.cos(OMEGA * t) + OMEGA * np.sin(OMEGA * t)) / denominator
    return (1.0 - gamma * lam / denominator) * np.exp(-lam * t) + steady


def heat(n_x: int = N_X) -> Heat:
    h = 1.0 / (n_x + 1)
    x = np.arange(1, n_x + 1) * h
    mass = scipy.sparse.diags_array([1.0, 4.0, 1.0], offsets=[-1, 0, 1], shape=(n_x, n_x), format="csr") * (h / 6.0)
    stiffness = scipy.sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(n_x, n_x), format="csr") / h
    c = math.cos(math.pi * h)
    mass_eigenvalue = h * (4.0 + 2.0 * c) / 6.0
    # The integral of sin(pi x) times the hat function of node i is sin(pi x_i) times this.
    load = 2.0 * (1.0 - c) / (math.pi**2 * h)
    return Heat(
        M=mass,
        A=stiffness,
        s=np.sin(np.pi * x),
        lam=(2.0 - 2.0 * c) / h / mass_eigenvalue,
        gamma=load / mass_eigenvalue,
    )


def gauss_times(V: pn.LegendreSpace | pn.LagrangeSpace, points: int = 8) -> tuple[Array, Array]:
    """Gauss-Legendre times and weights, `points` of them on every interval of V's partition."""
    x, w = np.polynomial.legendre.leggauss(points)
    lengths = V.lengths
    times = (V.breakpoints[:-1, None] + lengths[:, None] * ((x + 1.0) / 2.0)).ravel()
    return times, (lengths[:, None] * (w / 2.0)).ravel()


@dataclass(frozen=True)
class Row:
    """The errors of one method on the partitions of n_t equal intervals."""

    method: str  # "dG" or "cG"
    degree: int
    n_t: tuple[int, ...]
    l2: tuple[float, ...]  # in L2 over [0, T]
    end: tuple[float, ...]  # at T

    @property
    def name(self) -> str:
        return f"{self.method}({self.degree})"

    @property
    def expected(self) -> tuple[int, int]:
        """The orders of the method in L2 and at T: q + 1 for both; 2q + 1 (dG) or 2q (cG) at T."""
        q = self.degree
        return q + 1, (2 * q + 1 if self.method == "dG" else 2 * q)

    def orders(self, errors: tuple[float, ...]) -> tuple[float, ...]:
        """Observed orders between consecutive partitions: log(e_a / e_b) / log(n_b / n_a)."""
        pairs = zip(errors, errors[1:], self.n_t, self.n_t[1:])
        return tuple(math.log(a / b) / math.log(m / n) for a, b, n, m in pairs)


def space(method: str, degree: int, n_t: int) -> pn.LegendreSpace | pn.LagrangeSpace:
    return pn.LegendreSpace(degree, n_t, T) if method == "dG" else pn.LagrangeSpace(degree, n_t, T)


def errors(problem: Heat, V: pn.LegendreSpace | pn.LagrangeSpace) -> tuple[float, float]:
    """The L2 error over [0, T] and the error at T of the Galerkin solution on V."""
    sol = pn.solve_galerkin(V, problem.A, problem.s, M=problem.M, f=problem.f)
    times, weights = gauss_times(V)
    error = sol(times) - np.outer(problem.s, problem.amplitude(times))
    l2 = math.sqrt(float(np.sum(weights * problem.norm(error) ** 2)))
    at_end = sol.end - problem.s * problem.amplitude(np.array(T))
    return l2, float(problem.norm(at_end[:, None])[0])


def table(
    n_x: int = N_X,
    n_ts: tuple[int, ...] = N_TS,
    dg: tuple[int, ...] = DG_DEGREES,
    cg: tuple[int, ...] = CG_DEGREES,
) -> list[Row]:
    problem = heat(n_x)
    rows = []
    for method, degrees in (("dG", dg), ("cG", cg)):
        for degree in degrees:
            pairs = [errors(problem, space(method, degree, n_t)) for n_t in n_ts]
            rows.append(Row(method, degree, n_ts, tuple(l2 for l2, _ in pairs), tuple(e for _, e in pairs)))
    return rows


def space_error(n_x: int = N_X) -> float:
    """The largest nodal error at T of the space discretisation's exact solution against the PDE's."""
    problem = heat(n_x)
    semi_discrete = problem.amplitude(np.array(T))
    exact = amplitude(math.pi**2, 1.0, np.array(T))
    return float(np.max(np.abs(problem.s)) * abs(semi_discrete - exact))


def print_table(rows: list[Row]) -> None:
    columns = "".join(f"{n:>10}" for n in rows[0].n_t)
    print(f"   {'':6} {'':7}{columns}   observed orders      expected")
    for row in rows:
        for label, values, expected in (("L2", row.l2, row.expected[0]), ("at T", row.end, row.expected[1])):
            observed = " ".join(f"{o:5.2f}" for o in row.orders(values))
            name = row.name if label == "L2" else ""
            print(f"   {name:6} {label:5}{''.join(f'{e:10.2e}' for e in values)}   {observed}   {expected}")


# --- parallel in time --------------------------------------------------------------------------


@dataclass(frozen=True)
class Parallel:
    """A parallel-in-time solve against the serial one."""

    name: str
    processes: int
    iterations: int
    residuals: tuple[float, ...]
    difference: float  # largest difference from the serial solution, relative to its largest value
    same_bits: bool  # the same bits as the same method in one process
    seconds: float


def parallel_runs(
    comm: Any = None, n_x: int = N_X, n_t: int = PARALLEL_NT, slabs: int = PARALLEL_SLABS
) -> list[Parallel]:
    """dG(1) on n_t intervals by parareal (`slabs` slabs, coarse dG(1) on one interval per slab) and
    by MGRIT (two levels, coarsening 4), over the processes of `comm` (None: in this process)."""
    problem = heat(n_x)
    V = pn.LegendreSpace(1, n_t, T)
    serial = pn.solve_galerkin(V, problem.A, problem.s, M=problem.M, f=problem.f)
    scale = float(np.max(np.abs(serial.coefficients)))
    processes = 1 if comm is None else int(comm.Get_size())

    def solve(name: str, communicator: Any) -> pn.ParallelSolution:
        if name == "parareal":
            return pn.parareal(
                V, problem.A, problem.s, M=problem.M, f=problem.f, parts=slabs, coarse=1, comm=communicator
            )
        return pn.mgrit(V, problem.A, problem.s, M=problem.M, f=problem.f, levels=2, coarsening=4, comm=communicator)

    results = []
    for name in ("parareal", "MGRIT"):
        start = time.perf_counter()
        sol = solve(name, comm)
        seconds = time.perf_counter() - start
        rows = sol.slab.rows
        difference = max(
            float(np.max(np.abs(sol.coefficients - serial.coefficients[:, rows]))),
            float(np.max(np.abs(sol.end - serial.end))),
        )
        alone = solve(name, None)  # the same method in this process alone
        same = bool(np.array_equal(sol.coefficients, alone.coefficients[:, rows]))
        if comm is not None:
            difference = float(comm.allreduce(difference, op=max))
            same = bool(comm.allreduce(same, op=lambda a, b: a and b))
        results.append(
            Parallel(name, processes, sol.iterations, tuple(sol.residuals), difference / scale, same, seconds)
        )
    return results


def print_parallel(results: list[Parallel]) -> None:
    for r in results:
        history = ", ".join(f"{x:.1e}" for x in r.residuals)
        print(f"   {r.name}: {r.iterations} iterations on {r.processes} processes ({r.seconds:.2f} s)")
        print(f"      residual before the first iteration and after each: {history}")
        print(f"      largest difference from the serial solve_galerkin, relative: {r.difference:.1e}")
        print(f"      the same bits as the same iterations in one process: {r.same_bits}")


def nonlinear_line(n_ts: tuple[int, int] = (16, 32)) -> tuple[float, float, int, int]:
    """dG(2) for the logistic equation u' = u (1 - u), u(0) = 0.1, on [0, 8] (a nonlinear F, by
    Newton on each interval): the error at T on the finer partition, the order observed between
    the two, and that run's Newton iterations and calls of F."""
    runs = [
        pn.solve_galerkin(
            pn.LegendreSpace(2, n_t, 8.0),
            None,
            [0.1],
            F=lambda t, u: u * (1.0 - u),
            jac=lambda t, u: np.array([[1.0 - 2.0 * u[0]]]),
        )
        for n_t in n_ts
    ]
    exact = 1.0 / (1.0 + 9.0 * math.exp(-8.0))
    coarse, fine = (abs(float(run.end[0]) - exact) for run in runs)
    return fine, math.log2(coarse / fine), runs[1].n_newton_iterations, runs[1].nfev


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mpi", action="store_true", help="run parareal and MGRIT over MPI.COMM_WORLD")
    options = parser.parse_args()
    if options.mpi:
        from mpi4py import MPI

        comm = MPI.COMM_WORLD
        if comm.Get_rank() == 0:
            print(
                f"Parallel in time on {comm.Get_size()} MPI processes: dG(1) on {PARALLEL_NT} intervals; parareal "
                f"on {PARALLEL_SLABS} slabs, MGRIT on two levels"
            )
        results = parallel_runs(comm)
        if comm.Get_rank() == 0:
            print_parallel(results)
        return

    paragraphs = __doc__.split("\n\n")
    print(paragraphs[0], paragraphs[2], sep="\n\n")
    problem = heat()
    print(
        f"\nSpace: linear finite elements on {N_X + 1} equal cells; A s = lam_h M s with lam_h = {problem.lam:.6f} "
        f"(pi**2 = {math.pi**2:.6f})"
    )
    print(f"Largest nodal error of the space discretisation at T: {space_error():.2e} (order 2 in the cell size)")
    print(f"\nTime: errors against the exact solution of M u' + A u = f, n_t = {', '.join(map(str, N_TS))}:")
    start = time.perf_counter()
    print_table(table())
    print(f"   ({time.perf_counter() - start:.2f} s for {len(N_TS) * (len(DG_DEGREES) + len(CG_DEGREES))} solves)")
    error, order, iterations, calls = nonlinear_line()
    print(f"\nNonlinear: dG(2) for u' = u (1 - u) on 32 intervals, error at T {error:.1e} (order {order:.2f}, "
          f"expected 5), {iterations} Newton iterations, {calls} calls of F")  # fmt: skip


if __name__ == "__main__":
    main()
