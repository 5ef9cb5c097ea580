"""The MGRIT peer problem, solved by PyMGRIT or by pwpoly_numpy, one run per process.

    python benchmarks/mgrit_peer.py pymgrit OUT.json        (PyMGRIT's venv; under mpiexec or not)
    python benchmarks/mgrit_peer.py ours OUT.json [DEGREE]  (pwpoly's venv; under mpiexec or not)

The problem is PyMGRIT's own 1D heat application (``pymgrit.heat.heat_1d.Heat1D``): u_t = a u_xx on
(0, 1) with a = 1, homogeneous Dirichlet ends, NX points of which the NX - 2 interior ones are the
unknowns, second-order central differences (the matrix a/dx^2 [-1 2 -1], dx = x[1] - x[0] of
``linspace(0, 1, NX)``), u(0) = sin(pi x), no source, NT time points ``linspace(0, T, NT)``,
backward Euler. Its solver: ``simple_setup_problem`` with LEVELS levels and coarsening 4, FCF
relaxation (cf_iter=1), V-cycles, nested iteration (its default), stopping when the 2-norm over
the C-points of Phi(u_(i-1)) - u_i falls below TOL.

pwpoly_numpy solves the identical discrete problem: the same matrix built the same way, the
identity mass, dG(0) on ``LegendreSpace(0, breakpoints=linspace(0, T, NT))`` (backward Euler for
f = 0, with the very interval lengths PyMGRIT's steps take), ``mgrit`` with the same levels,
coarsening, relaxation and nested start, and its absolute residual (``tol=0, atol=TOL``), which is
PyMGRIT's: the jumps at the same C-points, the end included. With DEGREE 1 or 2 it runs dG(1) or
dG(2) on the same grid instead.

Each run writes (rank 0) a JSON record: the iterations, the residual history, the wall time of
the solve (set-up and nested start included, the slowest rank's), and the solution at T next to
the serial time stepping's (PyMGRIT's step loop, or ``solve_galerkin``).
"""

import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

NX = 257  # 255 unknowns
NT = 1025  # 1024 steps
T = 1.0
LEVELS = 2
COARSENING = 4
TOL = 1e-10


def grid():
    return np.linspace(0.0, 1.0, NX)[1:-1]


def initial(x):
    return np.sin(np.pi * x)


def run_pymgrit(out):
    from mpi4py import MPI
    from pymgrit.core.mgrit import Mgrit
    from pymgrit.core.simple_setup_problem import simple_setup_problem
    from pymgrit.heat.heat_1d import Heat1D

    comm = MPI.COMM_WORLD
    comm.Barrier()
    started = time.perf_counter()
    heat = Heat1D(x_start=0.0, x_end=1.0, nx=NX, a=1.0, init_cond=initial, t_start=0.0, t_stop=T, nt=NT)
    problem = simple_setup_problem(problem=heat, level=LEVELS, coarsening=COARSENING)
    solver = Mgrit(problem=problem, tol=TOL, cf_iter=1, nested_iteration=True, logging_lvl=30)
    info = solver.solve()
    elapsed = time.perf_counter() - started
    last = solver.u[0][-1].get_values() if solver.t[0][-1] == T else None
    times = comm.gather(elapsed, root=0)
    ends = comm.gather(last, root=0)
    if comm.rank == 0:
        u = heat.vector_t_start
        for i in range(1, NT):
            u = heat.step(u_start=u, t_start=heat.t[i - 1], t_stop=heat.t[i])
        end = next(e for e in ends if e is not None)
        record = {
            "iterations": len(info["conv"]),
            "residuals": [float(c) for c in info["conv"]],
            "seconds": max(times),
            "end": end.tolist(),
            "serial_end": u.get_values().tolist(),
            "processes": comm.size,
        }
        with open(out, "w") as f:
            json.dump(record, f)


def heat_matrix():
    import scipy.sparse

    x = grid()
    dx = x[1] - x[0]
    fac = 1.0 / dx**2
    n = NX - 2
    return scipy.sparse.diags_array(
        [np.ones(n) * 2 * fac, np.ones(n - 1) * -fac, np.ones(n - 1) * -fac], offsets=[0, -1, 1], format="csr"
    )


def run_ours(out, degree):
    import pwpoly_numpy as pn

    comm = None
    try:
        from mpi4py import MPI

        if MPI.COMM_WORLD.size > 1:
            comm = MPI.COMM_WORLD
    except ImportError:
        pass
    rank = 0 if comm is None else comm.rank
    if comm is not None:
        comm.Barrier()
    started = time.perf_counter()
    V = pn.LegendreSpace(degree, breakpoints=np.linspace(0.0, T, NT))
    A = heat_matrix()
    u0 = initial(grid())
    sol = pn.mgrit(V, A, u0, levels=LEVELS, coarsening=COARSENING, relaxation="FCF", tol=0.0, atol=TOL, comm=comm)
    elapsed = time.perf_counter() - started
    times = [elapsed] if comm is None else comm.gather(elapsed, root=0)
    if rank == 0:
        serial = pn.solve_galerkin(V, A, u0)
        record = {
            "iterations": sol.iterations,
            "residuals": list(sol.absolute_residuals[1:]),
            "seconds": max(times),
            "end": sol.end.tolist(),
            "serial_end": serial.end.tolist(),
            "processes": 1 if comm is None else comm.size,
        }
        with open(out, "w") as f:
            json.dump(record, f)


# ---------------------------------------------------------------------------------------------
# Driving the runs from the benchmark (pwpoly's venv)

HERE = Path(__file__).resolve().parent
# PyMGRIT 1.0.6 calls np.in1d, which numpy 2.4 removed: its own venv, with mpi4py and MPICH.
PYMGRIT_REQUIREMENTS = ["pymgrit==1.0.6", "numpy<2.4", "mpi4py>=4.0", "mpich>=4.2"]
TIME_LIMIT = 300  # seconds for one run


def pymgrit_venv():
    """The python of PyMGRIT's venv under build/ (made on first use); None if it cannot be made."""
    venv = HERE.parent / "build" / "pymgrit-venv"
    python = venv / "bin" / "python"
    marker = venv / "installed.txt"
    if marker.exists() and marker.read_text() == " ".join(PYMGRIT_REQUIREMENTS):
        return python
    base = getattr(sys, "_base_executable", sys.executable)
    try:
        subprocess.run([base, "-m", "venv", "--clear", str(venv)], check=True, capture_output=True, timeout=300)
        subprocess.run(
            [str(python), "-m", "pip", "install", "--quiet", *PYMGRIT_REQUIREMENTS],
            check=True,
            capture_output=True,
            timeout=900,
        )
    except (subprocess.SubprocessError, OSError) as error:
        print(f"  PyMGRIT's venv could not be made: {error}", flush=True)
        return None
    marker.write_text(" ".join(PYMGRIT_REQUIREMENTS))
    return python


def run_once(python, kind, processes, degree=0):
    """One run in a fresh process group (mpiexec beside `python` for processes > 1): the record."""
    with tempfile.TemporaryDirectory() as directory:
        out = os.path.join(directory, "record.json")
        command = [str(python), __file__, kind, out] + ([str(degree)] if kind == "ours" else [])
        if processes > 1:
            command = [str(Path(python).parent / "mpiexec"), "-n", str(processes)] + command
        done = subprocess.run(command, capture_output=True, text=True, timeout=TIME_LIMIT)
        if done.returncode != 0:
            raise RuntimeError(f"{kind} on {processes} processes failed: {done.stderr[-500:]}")
        with open(out) as f:
            return json.load(f)


def exact_end():
    """The semi-discrete solution at T: sin(pi x) is an eigenvector of the difference matrix."""
    x = grid()
    dx = x[1] - x[0]
    mu = 4.0 / dx**2 * np.sin(np.pi * dx / 2.0) ** 2
    return np.exp(-mu * T) * initial(x)


if __name__ == "__main__":
    if sys.argv[1] == "pymgrit":
        run_pymgrit(sys.argv[2])
    else:
        run_ours(sys.argv[2], int(sys.argv[3]) if len(sys.argv) > 3 else 0)
