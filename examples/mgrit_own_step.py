"""MGRIT on a time step of one's own: Crank-Nicolson for the heat equation, written in plain numpy.

    python examples/mgrit_own_step.py                 # one process
    mpiexec -n 3 python examples/mgrit_own_step.py    # the same numbers on three

u_t = u_xx + s(t, x) on (0, 1) with zero ends, second differences on NX interior points, stepped
by the trapezoidal rule with a tridiagonal solve (scipy.linalg.solve_banded): no pwpoly stepper
inside. Any object with ``step(space, k0, k1, u)`` is a propagator; ``pn.mgrit`` runs its
V-cycles on it, here on 3 levels, and on MPI processes when there are several. The space only
gives the time grid (its breakpoints); the solution comes back as the continuous piecewise
linear through the values at the breakpoints. Rank 0 prints the residual history and the largest
difference from the same step run serially, interval after interval, and draws both into
mgrit_own_step.png (in the directory given as the first argument, or $PWPOLY_EXAMPLE_OUTPUT, or
docs/images).
"""

from __future__ import annotations

import io
import os
import sys
from pathlib import Path

import numpy as np
import numpy.typing as npt
import scipy.linalg

import pwpoly_numpy as pn

NX = 63  # interior points
T = 0.25
INTERVALS = 512
Floats = npt.NDArray[np.float64]


class CrankNicolson:
    """u' = -K u + s(t): (I + h/2 K) u_(k+1) = (I - h/2 K) u_k + h/2 (s(t_k) + s(t_(k+1)))."""

    def __init__(self, nx: int) -> None:
        self.dx = 1.0 / (nx + 1)
        self.x: Floats = self.dx * np.arange(1, nx + 1, dtype=np.float64)
        self.calls = 0

    def K(self, u: Floats) -> Floats:
        """The second differences, with the minus sign: matrix-free."""
        padded = np.concatenate([[0.0], u, [0.0]])
        result: Floats = (2.0 * u - padded[:-2] - padded[2:]) / self.dx**2
        return result

    def source(self, t: float) -> Floats:
        result: Floats = np.sin(np.pi * self.x) * np.cos(8.0 * t)
        return result

    def step(self, space: pn.LegendreSpace | pn.LagrangeSpace, k0: int, k1: int, u: Floats) -> Floats:
        self.calls += 1
        t = space.breakpoints
        for k in range(k0, k1):
            h = float(t[k + 1] - t[k])
            r = h / (2.0 * self.dx**2)
            bands = np.zeros((3, u.size))
            bands[0, 1:], bands[1, :], bands[2, :-1] = -r, 1.0 + 2.0 * r, -r
            rhs = u - 0.5 * h * self.K(u) + 0.5 * h * (self.source(float(t[k])) + self.source(float(t[k + 1])))
            u = scipy.linalg.solve_banded((1, 1), bands, rhs)
        return u


def output_directory(argv: list[str]) -> Path:
    if len(argv) > 1:
        return Path(argv[1])
    if os.environ.get("PWPOLY_EXAMPLE_OUTPUT"):
        return Path(os.environ["PWPOLY_EXAMPLE_OUTPUT"])
    return Path(__file__).resolve().parent.parent / "docs" / "images"


def draw(residuals: tuple[float, ...], x: Floats, mgrit_end: Floats, serial_end: Floats, path: Path) -> None:
    """The residual history and u at T by MGRIT and by the serial steps."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from PIL import Image

    fig, (left, right) = plt.subplots(1, 2, figsize=(8.0, 3.2))
    left.semilogy(range(len(residuals)), residuals, "o-")
    left.set(xlabel="iteration", ylabel="relative residual", title="MGRIT on a Crank-Nicolson step")
    right.plot(x, serial_end, "-", label="serial steps")
    right.plot(x, mgrit_end, ".", label="MGRIT")
    right.set(xlabel="x", ylabel=f"u(T = {T}, x)", title="the end value")
    right.legend()
    fig.tight_layout()
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=80, metadata={"Software": None})
    plt.close(fig)
    with Image.open(buffer) as picture:  # a palette image without metadata, as the site's others
        palette = picture.convert("RGB").quantize(256, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)
    palette.save(path, optimize=True)


def main() -> None:
    comm = None
    try:
        from mpi4py import MPI

        if MPI.COMM_WORLD.Get_size() > 1:
            comm = MPI.COMM_WORLD
    except ImportError:
        pass
    heat = CrankNicolson(NX)
    u0 = np.sin(np.pi * heat.x) + heat.x * (1.0 - heat.x)
    grid = pn.LegendreSpace(0, INTERVALS, T)  # the time grid: its breakpoints
    sol = pn.mgrit(grid, None, u0, propagator=heat, levels=3, coarsening=4, comm=comm, tol=1e-12)
    serial = heat.step(grid, 0, INTERVALS, u0)
    mine = sol(np.linspace(sol.slab.t0, sol.slab.t1, 5))  # this process's part, piecewise linear
    if comm is None or comm.Get_rank() == 0:
        processes = 1 if comm is None else comm.Get_size()
        print(f"MGRIT, 3 levels of 4, on {processes} process(es): {INTERVALS} Crank-Nicolson steps of {NX} unknowns")
        for k, residual in enumerate(sol.residuals):
            print(f"iteration {k}: residual {residual:.3e}")
        print(f"largest difference at T from the serial steps: {np.abs(sol.end - serial).max():.3e}")
        print(f"values on this process's slab: shape {mine.shape}, space {sol.space}")
        draw(sol.residuals, heat.x, sol.end, serial, output_directory(sys.argv) / "mgrit_own_step.png")


if __name__ == "__main__":
    main()
