"""Nonlinear problems: solve_galerkin (dG(q), simplified Newton) against scipy's Radau and CVODE
(scikit-sundae, BDF with its band solver), at end errors 1e-6 and 1e-9.

    python benchmarks/nonlinear.py [--rounds R] [--problems NAME ...] [--small]

Problems: the 1D Brusselator (500 points, two species interleaved, T = 10), Allen-Cahn in 1D
(1000 unknowns, eps = 0.02, T = 5), Van der Pol (mu = 5, [0, 3]). The reference end values come
from Radau and CVODE at tolerance 1e-13 (computed once, kept in
benchmarks/results/nonlinear_references.npz with their difference; the error of a run is measured
against their mean).

For each target error each solver's setting is found first (untimed): the coarsest partition of
ours whose end error is within the target, the loosest tolerance (rtol = atol, in steps of
sqrt(10)) of each peer's; ours with the degree (2 to 5) whose run is the fastest, the partition
found with Newton's tolerance newton_tol = target / 100 (as the peers' Newton iterations stop at a
fraction of their tolerance), and target / 10 instead when that run is faster and still within
the target. A fixed-step run of ours is charged the time of the run at n_t plus the
run at n_t / 2 (what checking its error by halving costs). Then R rounds, each timing every
solver once in a rotating order; a figure is the median over the rounds of the per-round ratio of
a peer's time to ours, with the smallest and largest ratio printed beside it. With --small, first
the time per interval of u' = -u^3 over 1e5 intervals by dG(2).
"""

from __future__ import annotations

import argparse
import math
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import scipy.integrate
import scipy.sparse

import pwpoly_numpy as pn

RESULTS = Path(__file__).resolve().parent / "results"
REFERENCES = RESULTS / "nonlinear_references.npz"
TARGETS = (1e-6, 1e-9)


@dataclass
class Problem:
    name: str
    T: float
    u0: np.ndarray[Any, Any]
    A: Any  # the linear part for ours (M u' + A u = f + F), or None
    f: Callable[[Any], Any] | None
    F: Callable[[Any, Any], Any]  # vectorized: F(t, U) with U of shape (n, p)
    jac: Callable[[Any, Any], Any]
    rhs: Callable[[float, Any], Any]  # u' = rhs(t, u) for the peers
    rhs_jac: Callable[[float, Any], Any]
    band: tuple[int, int] | None  # lower, upper bandwidth of rhs_jac, for CVODE's band solver


def laplacian(n: int, dx: float) -> scipy.sparse.csr_array[np.float64]:
    return scipy.sparse.csr_array(scipy.sparse.diags_array([1.0, -2.0, 1.0], offsets=[-1, 0, 1], shape=(n, n)) / dx**2)


def brusselator(points: int = 500) -> Problem:
    alpha, a, b = 0.02, 1.0, 3.0
    dx = 1.0 / (points + 1)
    x = dx * np.arange(1, points + 1)
    n = 2 * points
    # Unknowns interleaved (u_1, v_1, u_2, v_2, ...): a band of 2 below and above.
    L = scipy.sparse.kron(laplacian(points, dx), scipy.sparse.eye_array(2))
    A = scipy.sparse.csr_array(-alpha * L)
    boundary = np.zeros(n)
    boundary[[0, -2]] = alpha * 1.0 / dx**2  # u = 1 at both ends
    boundary[[1, -1]] = alpha * 3.0 / dx**2  # v = 3
    u0 = np.empty(n)
    u0[0::2], u0[1::2] = 1.0 + np.sin(2 * np.pi * x), 3.0

    def F(t: Any, U: Any) -> Any:
        u, v = U[0::2], U[1::2]
        out = np.empty_like(U)
        out[0::2] = a + u * u * v - (b + 1.0) * u
        out[1::2] = b * u - u * u * v
        return out

    def jac(t: Any, U: Any) -> Any:
        u, v = U[0::2], U[1::2]
        main = np.empty(n)
        main[0::2], main[1::2] = 2 * u * v - (b + 1.0), -u * u
        upper = np.zeros(n - 1)
        upper[0::2] = u * u  # d(u-equation)/dv
        lower = np.zeros(n - 1)
        lower[0::2] = b - 2 * u * v  # d(v-equation)/du
        return scipy.sparse.csr_array(scipy.sparse.diags_array([lower, main, upper], offsets=[-1, 0, 1]))

    return Problem("Brusselator 1D, n = 1000", 10.0, u0, A, lambda t: np.repeat(boundary[:, None], np.size(t), 1), F,
                   jac, lambda t, u: F(t, u) - A @ u + boundary, lambda t, u: jac(t, u) - A, (2, 2))  # fmt: skip


def allen_cahn(n: int = 1000) -> Problem:
    eps = 0.02
    dx = 2.0 / (n + 1)
    x = -1.0 + dx * np.arange(1, n + 1)
    A = scipy.sparse.csr_array(-eps * laplacian(n, dx))
    boundary = np.zeros(n)
    boundary[0], boundary[-1] = -eps / dx**2, eps / dx**2

    def F(t: Any, U: Any) -> Any:
        return U - U**3

    def jac(t: Any, u: Any) -> Any:
        return scipy.sparse.csr_array(scipy.sparse.diags_array(1.0 - 3.0 * u**2))

    return Problem("Allen-Cahn 1D, n = 1000", 5.0, 0.53 * x + 0.47 * np.sin(-1.5 * np.pi * x), A,
                   lambda t: np.repeat(boundary[:, None], np.size(t), 1), F, jac,
                   lambda t, u: F(t, u) - A @ u + boundary, lambda t, u: jac(t, u) - A, (1, 1))  # fmt: skip


def van_der_pol(mu: float = 5.0) -> Problem:
    def F(t: Any, U: Any) -> Any:
        return np.array([U[1], mu * (1.0 - U[0] ** 2) * U[1] - U[0]])

    def jac(t: Any, u: Any) -> Any:
        return np.array([[0.0, 1.0], [-2.0 * mu * u[0] * u[1] - 1.0, mu * (1.0 - u[0] ** 2)]])

    return Problem("Van der Pol, mu = 5", 3.0, np.array([2.0, 0.0]), None, None, F, jac, F, jac, None)


PROBLEMS = {"brusselator": brusselator, "allen_cahn": allen_cahn, "van_der_pol": van_der_pol}


# --- the solvers ---------------------------------------------------------------------------------


def ours(problem: Problem, degree: int, n_t: int, newton_tol: float) -> np.ndarray[Any, Any]:
    space = pn.LegendreSpace(degree, n_t, problem.T)
    sol = pn.solve_galerkin(space, problem.A, problem.u0, f=problem.f, F=problem.F, jac=problem.jac, vectorized=True,
                            newton_tol=newton_tol)  # fmt: skip
    return sol.end


def radau(problem: Problem, tol: float) -> np.ndarray[Any, Any]:
    result = scipy.integrate.solve_ivp(problem.rhs, (0.0, problem.T), problem.u0, method="Radau", rtol=tol,
                                       atol=tol, jac=problem.rhs_jac)  # fmt: skip
    if result.status != 0:
        raise RuntimeError(result.message)
    return np.asarray(result.y[:, -1])


def cvode(problem: Problem, tol: float) -> np.ndarray[Any, Any]:
    from sksundae.cvode import CVODE

    def rhs(t: float, y: Any, yp: Any) -> None:
        yp[:] = problem.rhs(t, y)

    options: dict[str, Any] = {"rtol": tol, "atol": tol, "max_num_steps": 10**6}
    if problem.band is not None:
        options.update(linsolver="band", lband=problem.band[0], uband=problem.band[1])
    result = CVODE(rhs, **options).solve(np.array([0.0, problem.T]), problem.u0)
    if not result.success:
        raise RuntimeError(result.message)
    return np.asarray(result.y[-1])


def references(problem: Problem, key: str) -> np.ndarray[Any, Any]:
    stored: dict[str, Any] = dict(np.load(REFERENCES)) if REFERENCES.exists() else {}
    if key not in stored:
        a, b = radau(problem, 1e-13), cvode(problem, 1e-13)
        stored[key] = (a + b) / 2.0
        stored[key + "_difference"] = np.array(np.max(np.abs(a - b)))
        RESULTS.mkdir(exist_ok=True)
        np.savez(REFERENCES, **stored)
    difference = float(stored[key + "_difference"])
    print(f"  reference: Radau and CVODE at 1e-13 differ by {difference:.1e} (max norm)")
    return np.asarray(stored[key])


def error(end: Callable[[], np.ndarray[Any, Any]], reference: np.ndarray[Any, Any]) -> float:
    """The end error of a run, infinite when Newton's iteration fails on its intervals."""
    try:
        return float(np.max(np.abs(end() - reference)))
    except pn.ConvergenceError:
        return math.inf


def seconds(run: Callable[[], object]) -> float:
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def settings(problem: Problem, reference: np.ndarray[Any, Any], target: float) -> dict[str, Callable[[], object]]:
    """Each solver's cheapest run within the target (untimed search), as a callable to time."""
    runs: dict[str, Callable[[], object]] = {}
    best: tuple[float, str, Callable[[], object]] | None = None
    for degree in (2, 3, 4, 5):
        n_t = 4
        while error(lambda: ours(problem, degree, n_t, target / 100.0), reference) > target:
            n_t = math.ceil(n_t * 1.25)
            if n_t > 20000:
                break
        else:
            half = max(1, n_t // 2)
            # Newton's tolerance a tenth of the target instead where the run is still within it.
            for factor in (100.0, 10.0):
                newton_tol = target / factor
                if factor != 100.0 and error(lambda: ours(problem, degree, n_t, newton_tol), reference) > target:
                    continue

                def run(degree: int = degree, n_t: int = n_t, half: int = half, newton_tol: float = newton_tol) -> None:
                    ours(problem, degree, n_t, newton_tol)
                    error(lambda: ours(problem, degree, half, newton_tol), reference)  # its time even when it fails

                cost = min(seconds(run) for _ in range(3))
                label = f"ours dG({degree}), n_t = {n_t} (+ {half}), newton_tol = target / {factor:.0f}"
                if best is None or cost < best[0]:
                    best = (cost, label, run)
    assert best is not None, "no partition reached the target"
    runs[best[1]] = best[2]
    for name, solver in (("Radau", radau), ("CVODE", cvode)):
        tol = 1e-3
        while error(lambda: solver(problem, tol), reference) > target and tol > 1e-14:
            tol /= math.sqrt(10.0)
        runs[f"{name}, tol = {tol:.1e}"] = lambda solver=solver, tol=tol: solver(problem, tol)
    return runs


def small_system(rounds: int, intervals: int = 100_000) -> None:
    """u' = -u^3, u(0) = 1 by dG(2) on `intervals` intervals of [0, 10]: the time per interval,
    scalar and vectorized F (median over the rounds, smallest and largest beside it)."""
    space = pn.LegendreSpace(2, intervals, 10.0)
    exact = 1.0 / math.sqrt(21.0)
    for vectorized in (False, True):
        per_interval = []
        for _ in range(rounds):
            start = time.perf_counter()
            sol = pn.solve_galerkin(space, None, [1.0], F=lambda t, u: -u * u * u,
                                    jac=lambda t, u: np.array([[-3.0 * u[0] ** 2]]), vectorized=vectorized)  # fmt: skip
            per_interval.append((time.perf_counter() - start) / intervals * 1e6)
        print(f"| u' = -u^3, dG(2), {intervals} intervals, vectorized={vectorized} | {np.median(per_interval):.1f} us "
              f"per interval ({min(per_interval):.1f}-{max(per_interval):.1f}) | error {abs(sol.end[0] - exact):.1e}, "
              f"{sol.n_newton_iterations / intervals:.2f} iterations, {sol.njev} Jacobians |", flush=True)  # fmt: skip


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--problems", nargs="*", default=list(PROBLEMS))
    parser.add_argument("--small", action="store_true", help="also the small system over many intervals")
    options = parser.parse_args()
    if options.small:
        small_system(options.rounds)
    print("| problem | target | ours | Radau / ours (min-max) | CVODE / ours (min-max) |")
    print("|---|---|---|---|---|")
    for key in options.problems:
        problem = PROBLEMS[key]()
        print(f"# {problem.name}")
        reference = references(problem, key)
        for target in TARGETS:
            runs = settings(problem, reference, target)
            names = list(runs)
            times: dict[str, list[float]] = {name: [] for name in names}
            for r in range(options.rounds):
                order = names[r % len(names) :] + names[: r % len(names)]
                for name in order:
                    times[name].append(seconds(runs[name]))
            ours_name = names[0]
            cells = []
            for name in names[1:]:
                ratios = [p / o for p, o in zip(times[name], times[ours_name], strict=True)]
                cells.append(f"{np.median(ratios):.2f} ({min(ratios):.2f}-{max(ratios):.2f}) [{name}]")
            print(f"| {problem.name} | {target:.0e} | {ours_name}: {np.median(times[ours_name]) * 1e3:.0f} ms | "
                  + " | ".join(cells) + " |", flush=True)  # fmt: skip


if __name__ == "__main__":
    main()
