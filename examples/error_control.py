"""Error control: solve_galerkin with rtol on two stiff linear problems, against scipy's Radau.

    python examples/error_control.py [OUTPUT_DIR]

Problems (M = I, exact solutions known):

- a 2 x 2 system u' = -A u whose A has the eigenvalues 1 and 1e6 (a transient of length 1e-6),
  on [0, 1], from a first interval of 1e-8;
- Prothero-Robinson, u' = lam (u - g) + g' with lam = -1e8 and g = sin, on [0, 2]: the solution
  is g itself, the stiff decay is never excited.

For each rtol of 1e-3 ... 1e-10, dG(3) with error control and scipy's Radau (atol = 1e-3 rtol)
are run; printed: the end error and the wall time of each (the median of three runs). The
work-precision picture, error_control.png, goes to OUTPUT_DIR, else $PWPOLY_EXAMPLE_OUTPUT, else
docs/images/.
"""

from __future__ import annotations

import os
import sys
import time
from collections.abc import Callable
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
import numpy.typing as npt
import scipy.integrate

import pwpoly_numpy as pn

sys.path.insert(0, str(Path(__file__).resolve().parent))
from pictures import save  # the palette PNG writer of the other pictures

Array = npt.NDArray[np.float64]
RTOLS = [10.0**-k for k in range(3, 11)]
ROTATION = np.array([[0.8, -0.6], [0.6, 0.8]])
RATES = np.array([1.0, 1e6])
LAM = -1e8


class Problem:
    def __init__(self, name: str, A: Array, u0: Array, T: float, exact_end: Array, first: float,
                 f: Callable[[Array], Array] | None = None) -> None:  # fmt: skip
        self.name, self.A, self.u0, self.T, self.exact_end, self.first, self.f = name, A, u0, T, exact_end, first, f

    def rhs(self, t: float, u: Array) -> Array:
        value = -self.A @ u
        return value if self.f is None else value + self.f(np.array([t]))[..., 0]


def problems() -> list[Problem]:
    A = ROTATION @ np.diag(RATES) @ ROTATION.T
    u0 = ROTATION @ np.ones(2)
    pair = Problem("eigenvalues -1 and -1e6", A, u0, 1.0, ROTATION @ np.exp(-RATES), 1e-8)
    robinson = Problem(
        "Prothero-Robinson, lam = -1e8", np.array([[-LAM]]), np.zeros(1), 2.0, np.array([np.sin(2.0)]), 1e-3,
        lambda t: (-LAM * np.sin(t) + np.cos(t))[None, :],
    )  # fmt: skip
    return [pair, robinson]


def timed(run: Callable[[], Array]) -> tuple[Array, float]:
    times, value = [], np.empty(0)
    for _ in range(3):
        start = time.perf_counter()
        value = run()
        times.append(time.perf_counter() - start)
    return value, float(np.median(times))


def work_precision(problem: Problem) -> dict[str, list[tuple[float, float]]]:
    """(end error, seconds) per rtol, for dG(3) with rtol and for Radau."""
    curves: dict[str, list[tuple[float, float]]] = {"pwpoly dG(3)": [], "scipy Radau": []}
    space = pn.LegendreSpace(3, breakpoints=[0.0, problem.first, problem.T])
    for rtol in RTOLS:

        def ours(rtol: float = rtol) -> Array:
            return pn.solve_galerkin(space, problem.A, problem.u0, f=problem.f, rtol=rtol).end

        end, seconds = timed(ours)
        curves["pwpoly dG(3)"].append((float(np.max(np.abs(end - problem.exact_end))), seconds))

        def radau(rtol: float = rtol) -> Array:
            run = scipy.integrate.solve_ivp(problem.rhs, (0.0, problem.T), problem.u0, method="Radau", jac=-problem.A,
                                            rtol=rtol, atol=1e-3 * rtol, t_eval=[problem.T])  # fmt: skip
            return np.asarray(run.y[:, -1])

        end, seconds = timed(radau)
        curves["scipy Radau"].append((float(np.max(np.abs(end - problem.exact_end))), seconds))
    return curves


def main() -> None:
    directory = Path(sys.argv[1]) if len(sys.argv) > 1 else None
    if directory is None:
        named = os.environ.get("PWPOLY_EXAMPLE_OUTPUT")
        directory = Path(named) if named else Path(__file__).resolve().parent.parent / "docs" / "images"
    results = [(problem, work_precision(problem)) for problem in problems()]
    for problem, curves in results:
        print(f"{problem.name}: end error and wall time per rtol")
        print(f"{'rtol':>8} | {'dG(3) error':>11} {'time':>9} | {'Radau error':>11} {'time':>9}")
        for rtol, ours, theirs in zip(RTOLS, curves["pwpoly dG(3)"], curves["scipy Radau"], strict=True):
            print(f"{rtol:8.0e} | {ours[0]:11.1e} {ours[1] * 1e3:7.1f}ms | {theirs[0]:11.1e} {theirs[1] * 1e3:7.1f}ms")
        print()
    fig, axes = plt.subplots(1, len(results), figsize=(8.0, 3.2), layout="constrained")
    for axis, (problem, curves) in zip(axes, results, strict=True):
        for label, points in curves.items():
            errors, seconds = zip(*points, strict=True)
            axis.loglog(seconds, np.maximum(errors, 1e-17), "o-", markersize=3, label=label)
        axis.set_title(problem.name, fontsize=9)
        axis.set_xlabel("wall time (s)")
        axis.set_ylabel("end error")
        axis.legend(frameon=False, fontsize=8)
    directory.mkdir(parents=True, exist_ok=True)
    save(fig, directory / "error_control.png")
    print(f"wrote {directory / 'error_control.png'}")


if __name__ == "__main__":
    main()
