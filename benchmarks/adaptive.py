"""solve_galerkin with rtol against the best fixed partition, and against Radau and CVODE, run by hand:

    .venv/bin/python benchmarks/adaptive.py

Heat equation u_t = u_xx on (0, 1), 2000 interior unknowns with the P1 mass (M = dx/6 tridiag(1,
4, 1), A = tridiag(-1, 2, -1)/dx), T = 0.1, a hat start and a step start (discontinuous), against
the exact semi-discrete end value (both matrices are diagonal in the sine basis). For each target
relative end error (1e-6, 1e-9) and each degree q of dG(q): ours, the largest rtol of
10**(-k/4) reaching the target; the baseline, the fewest equal intervals reaching it (found by
search, within 10 %). The fastest q of each side is kept; both are then timed in the same
rounds in rotating order, and the figure is the median of the per-round ratios (ours over the
baseline), with the first and third quartiles.

Then two stiff linear problems (u' + A u = f: a 2 x 2 system with eigenvalues 1 and 1e6 from a
first interval of 1e-8, and Prothero-Robinson with lam = -1e8) at end errors 1e-4, 1e-7, 1e-10:
dG(3) with rtol, scipy's Radau (exact Jacobian) and, when scikit-sundae is installed, CVODE's BDF
(dense, its own difference Jacobian), each at the largest tolerance of 10**(-k/4) reaching the
error (atol = 1e-3 rtol), timed in rotating rounds.
"""

from __future__ import annotations

import functools
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np
import scipy.fft
import scipy.integrate
import scipy.sparse

sys.path.insert(0, str(Path(__file__).resolve().parent))

from solver_rows import fewest_intervals, relative_error

import pwpoly_numpy as pn

N, T = 2000, 0.1
DEGREES = (2, 3, 4)
ROUNDS = 7


def heat_p1(n: int) -> tuple[Any, Any, Any, Any]:
    dx = 1.0 / (n + 1)
    x = np.arange(1, n + 1) * dx
    A = scipy.sparse.csr_array(scipy.sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(n, n)) / dx)
    M = scipy.sparse.csr_array(scipy.sparse.diags_array([1.0, 4.0, 1.0], offsets=[-1, 0, 1], shape=(n, n)) * (dx / 6))
    c = np.cos(np.arange(1, n + 1) * np.pi * dx)
    rates = ((2.0 - 2.0 * c) / dx) / ((4.0 + 2.0 * c) * dx / 6.0)
    return x, A, M, rates


def exact_end(u0: Any, rates: Any) -> Any:
    return scipy.fft.idst(scipy.fft.dst(u0, type=1) * np.exp(-rates * T), type=1)


def largest_rtol(q: int, A: Any, M: Any, u0: Any, exact: Any, target: float) -> float | None:
    for k in range(8, 56):
        rtol = 10.0 ** (-k / 4)
        sol = pn.solve_galerkin(pn.LegendreSpace(q, 1, T), A, u0, M=M, rtol=rtol)
        if relative_error(sol.end, exact) <= target:
            return rtol
    return None


def timed(run: Callable[[], object]) -> float:
    """Seconds per call, the call repeated to last at least 0.01 s."""
    count, start = 0, time.perf_counter()
    while True:
        run()
        count += 1
        elapsed = time.perf_counter() - start
        if elapsed >= 0.01:
            return elapsed / count


def fixed_fewest(q: int, A: Any, M: Any, u0: Any, exact: Any, target: float) -> int | None:
    class WithMass:
        """pn with the mass matrix passed to every solve of the search."""

        LegendreSpace = pn.LegendreSpace

        @staticmethod
        def solve_galerkin(space: Any, A: Any, u0: Any) -> Any:
            return pn.solve_galerkin(space, A, u0, M=M)

    return fewest_intervals(WithMass, q, A, u0, T, exact, target)


def main() -> None:
    x, A, M, rates = heat_p1(N)
    starts = {"hat": np.maximum(0.0, 1.0 - np.abs(4.0 * x - 2.0)), "step": (x < 0.5).astype(float)}
    load = Path("/proc/loadavg").read_text().split()[0]
    print(f"heat 1D, {N} unknowns, P1 mass, T = {T}; {ROUNDS} rounds; load average {load}")
    print("| start | target | ours: dG(q), rtol, intervals (rejected), error | fixed: dG(q), n_t, error |", end="")
    print(" ours / fixed (median) | quartiles |")
    print("|---|---|---|---|---|---|")
    for name, u0 in starts.items():
        exact = exact_end(u0, rates)
        for target in (1e-6, 1e-9):
            ours: list[tuple[float, Callable[[], Any], str]] = []
            fixed: list[tuple[float, Callable[[], Any], str]] = []
            for q in DEGREES:
                rtol = largest_rtol(q, A, M, u0, exact, target)
                if rtol is not None:
                    sol = pn.solve_galerkin(pn.LegendreSpace(q, 1, T), A, u0, M=M, rtol=rtol)
                    run = functools.partial(pn.solve_galerkin, pn.LegendreSpace(q, 1, T), A, u0, M=M, rtol=rtol)
                    error = relative_error(sol.end, exact)
                    what = f"dG({q}), rtol {rtol:.2g}, {sol.space.n_t} ({sol.n_rejected}), {error:.1e}"
                    ours.append((timed(run), run, what))
                n_t = fixed_fewest(q, A, M, u0, exact, target)
                if n_t is not None:
                    space = pn.LegendreSpace(q, n_t, T)
                    run = functools.partial(pn.solve_galerkin, space, A, u0, M=M)
                    what = f"dG({q}), {n_t}, {relative_error(run().end, exact):.1e}"
                    fixed.append((timed(run), run, what))
            _, our_run, our_what = min(ours, key=lambda item: item[0])
            _, fixed_run, fixed_what = min(fixed, key=lambda item: item[0])
            ratios = []
            for r in range(ROUNDS):
                pair = [our_run, fixed_run] if r % 2 == 0 else [fixed_run, our_run]
                times = {id(run): timed(run) for run in pair}
                ratios.append(times[id(our_run)] / times[id(fixed_run)])
            q1, median, q3 = np.percentile(ratios, [25, 50, 75])
            print(
                f"| {name} | {target:.0e} | {our_what} | {fixed_what} | {median:.2f}x | {q1:.2f}-{q3:.2f}x |",
                flush=True,
            )


# --- against Radau and CVODE on stiff linear problems at matched end errors ---------------------

ROTATION = np.array([[0.8, -0.6], [0.6, 0.8]])
LAM = -1e8


def stiff_problems() -> dict[str, tuple[Any, Any, float, Any, float, Any]]:
    """name: (A, u0, T, exact end, first interval, f or None) of u' + A u = f."""
    rates = np.array([1.0, 1e6])
    A = ROTATION @ np.diag(rates) @ ROTATION.T
    pair = (A, ROTATION @ np.ones(2), 1.0, ROTATION @ np.exp(-rates), 1e-8, None)
    robinson = (np.array([[-LAM]]), np.zeros(1), 2.0, np.array([np.sin(2.0)]), 1e-3,
                lambda t: (-LAM * np.sin(t) + np.cos(t))[None, :])  # fmt: skip
    return {"2x2, eigenvalues -1, -1e6": pair, "Prothero-Robinson, lam = -1e8": robinson}


def stiff_runs(problem: tuple[Any, Any, float, Any, float, Any]) -> dict[str, Callable[[float], Any]]:
    """Each solver as a function of its rtol returning the end value."""
    A, u0, T_end, _, first, f = problem
    space = pn.LegendreSpace(3, breakpoints=[0.0, first, T_end])

    def rhs(t: float, u: Any) -> Any:
        value = -A @ u
        return value if f is None else value + f(np.array([t]))[..., 0]

    def ours(rtol: float) -> Any:
        return pn.solve_galerkin(space, A, u0, f=f, rtol=rtol).end

    def radau(rtol: float) -> Any:
        run = scipy.integrate.solve_ivp(rhs, (0.0, T_end), u0, method="Radau", jac=-A, rtol=rtol,
                                        atol=1e-3 * rtol, t_eval=[T_end])  # fmt: skip
        return run.y[:, -1]

    runs: dict[str, Callable[[float], Any]] = {"dG(3) rtol": ours, "Radau": radau}
    try:
        from sksundae.cvode import CVODE
    except ImportError:
        return runs

    def into(t: float, u: Any, out: Any) -> None:
        out[:] = rhs(t, u)

    def cvode(rtol: float) -> Any:
        return CVODE(into, rtol=rtol, atol=1e-3 * rtol).solve([0.0, T_end / 2.0, T_end], u0).y[-1]

    runs["CVODE BDF"] = cvode
    return runs


def peers() -> None:
    print(
        "\n| problem | end error | ours: rtol, error | Radau: rtol, error | ours / Radau | CVODE: rtol, error |", end=""
    )
    print(" ours / CVODE |")
    print("|---|---|---|---|---|---|---|")
    for name, problem in stiff_problems().items():
        exact = problem[3]
        runs = stiff_runs(problem)
        for target in (1e-4, 1e-7, 1e-10):
            chosen: dict[str, tuple[Callable[[], Any], str]] = {}
            for solver, run in runs.items():
                for k in range(4, 60):
                    rtol = 10.0 ** (-k / 4)
                    error = float(np.max(np.abs(run(rtol) - exact)))
                    if error <= target:
                        chosen[solver] = (functools.partial(run, rtol), f"{rtol:.2g}, {error:.1e}")
                        break
            ratios: dict[str, list[float]] = {other: [] for other in chosen if other != "dG(3) rtol"}
            order = list(chosen)
            for r in range(ROUNDS):
                rotated = order[r % len(order) :] + order[: r % len(order)]
                times = {solver: timed(chosen[solver][0]) for solver in rotated}
                for other in ratios:
                    ratios[other].append(times["dG(3) rtol"] / times[other])
            cells = [chosen.get("dG(3) rtol", (None, "not reached"))[1]]
            for other in ("Radau", "CVODE BDF"):
                if other in ratios:
                    q1, median, q3 = np.percentile(ratios[other], [25, 50, 75])
                    cells += [chosen[other][1], f"{median:.2f}x ({q1:.2f}-{q3:.2f})"]
                else:
                    cells += ["not reached or not installed", "-"]
            print(f"| {name} | {target:.0e} | " + " | ".join(cells) + " |", flush=True)


if __name__ == "__main__":
    main()
    peers()
