"""Run by test_mpi.py under mpiexec: parareal and mgrit on COMM_WORLD against the same calls with
comm=None, bit for bit; the observed contraction within the stated bound; a rank that raises (a
KeyboardInterrupt too) or meets a non-finite value; ranks given different arguments.
Rank 0 prints one JSON object: the name of every case that failed, with what differed, and what
each rank raised in the failure cases."""

import json
import sys
import traceback

import numpy as np
import scipy.sparse
from mpi4py import MPI

import pwpoly_numpy as pn

comm = MPI.COMM_WORLD
rank, size = comm.Get_rank(), comm.Get_size()


def heat(n):
    h = 1.0 / (n + 1)
    A = scipy.sparse.diags_array([2.0 * np.ones(n), -np.ones(n - 1), -np.ones(n - 1)], offsets=[0, -1, 1]) / h**2
    x = np.arange(1, n + 1) * h
    return A.tocsr(), np.minimum(x, 1.0 - x)


def f(t):
    return np.outer(np.linspace(0.0, 1.0, 5), np.cos(4.0 * t))


def columns(V, slab):
    """The columns of the whole coefficients that a slab's coefficients hold."""
    if isinstance(V, pn.LegendreSpace):
        return slab.rows
    return np.arange(slab.k0 * V.degree, slab.k1 * V.degree + 1)


def same(a, b):
    a, b = np.ascontiguousarray(a), np.ascontiguousarray(b)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


CASES = {
    "parareal dG(2), one slab per rank": (pn.parareal, pn.LegendreSpace(2, 30, 0.3), {"coarse": 1}),
    "parareal cG(2) graded, two slabs per rank": (
        pn.parareal,
        pn.LagrangeSpace(2, breakpoints=0.1 + 0.3 * (np.arange(31) / 30) ** 2),
        {"parts": 2 * size},
    ),
    "mgrit dG(1), 2 levels, FCF": (pn.mgrit, pn.LegendreSpace(1, 48, 0.3), {}),
    "mgrit dG(0), 3 levels of 3, F": (
        pn.mgrit,
        pn.LegendreSpace(0, 50, 0.3),
        {"levels": 3, "coarsening": 3, "relaxation": "F"},
    ),
    "mgrit cG(1), 3 levels of 2, FCF": (pn.mgrit, pn.LagrangeSpace(1, 40, 0.3), {"levels": 3, "coarsening": 2}),
}


def compare(name, method, V, options):
    A, u0 = heat(5)
    parallel = method(V, A, u0, f=f, comm=comm, tol=1e-12, **options)
    serial_options = dict(options)
    if method is pn.parareal:
        serial_options.setdefault("parts", size)
    serial = method(V, A, u0, f=f, tol=1e-12, **serial_options)
    stepped = pn.solve_galerkin(V, A, u0, f=f)
    problems = []
    if not same(parallel.coefficients, serial.coefficients[:, columns(V, parallel.slab)]):
        problems.append("coefficients differ from comm=None")
    if not same(parallel.end, serial.end):
        problems.append("end differs from comm=None")
    if parallel.residuals != serial.residuals or parallel.iterations != serial.iterations:
        problems.append(f"history {parallel.residuals} differs from comm=None's {serial.residuals}")
    scale = np.abs(stepped.coefficients).max()
    if np.abs(parallel.coefficients - stepped.coefficients[:, columns(V, parallel.slab)]).max() > 1e-9 * scale:
        problems.append("not the serial Galerkin solution")
    t = np.linspace(parallel.slab.t0, parallel.slab.t1, 5, endpoint=parallel.slab.k1 == V.n_t)
    if not same(parallel(t), V.evaluate(serial.coefficients, t)):
        problems.append("sol(t) differs")
    end = parallel.slab.t1  # on every rank: the limit from its own slab
    if not same(parallel(end), V.evaluate(serial.coefficients, end, side="left")):
        problems.append("sol(slab.t1) is not the limit from the slab")
    if method is pn.parareal and options.get("parts", size) == size and parallel.iterations < size - 1:
        problems.append("converged too early to show the contraction")
    return problems


def scalar(lam):
    """u' = lam u as a real system (a rotation-scaling block for a complex lam), its eigenvalues."""
    if lam.imag == 0.0:
        return np.array([[-lam.real]]), np.array([1.0]), [lam]
    block = np.array([[-lam.real, lam.imag], [-lam.imag, -lam.real]])
    return block, np.array([1.0, 0.5]), [lam, lam.conjugate()]


def contractions():
    """The observed contraction against the stated bound, for several lambda."""
    problems = []
    for lam in (-0.5 + 0j, -4.0 + 0j, -40.0 + 0j, -1.0 + 6.0j, 0.3 + 0j):
        A, u0, lambdas = scalar(lam)
        runs = {
            "parareal": pn.parareal(pn.LegendreSpace(2, 12 * size, 4.0), A, u0, parts=4 * size, comm=comm,
                                    tol=1e-14, eigenvalues=lambdas),
            "mgrit F": pn.mgrit(pn.LegendreSpace(0, 64, 4.0), A, u0, relaxation="F", nested=False, comm=comm,
                                tol=1e-14, eigenvalues=lambdas),
            "mgrit FCF": pn.mgrit(pn.LagrangeSpace(1, 64, 4.0), A, u0, relaxation="FCF", nested=False, comm=comm,
                                  tol=1e-14, eigenvalues=lambdas),
        }  # fmt: skip
        for name, sol in runs.items():
            if not sol.contraction <= sol.bound * (1.0 + 1e-9):
                problems.append(f"{name}, lambda {lam}: contraction {sol.contraction} above the bound {sol.bound}")
    return problems


class Interrupting:
    """A heat step by backward Euler that raises KeyboardInterrupt on rank 1 at its 20th call."""

    def __init__(self):
        self.calls = 0

    def step(self, space, k0, k1, u):
        self.calls += 1
        if rank == 1 and self.calls == 20:
            raise KeyboardInterrupt("stop")
        t = space.breakpoints
        for k in range(k0, k1):
            u = u / (1.0 + (t[k + 1] - t[k]))
        return u


def on_rank(r, mine, others):
    return mine if rank == r else others


def failing_runs():
    """The runs of the failure cases: each makes one rank fail, or gives the ranks different
    arguments."""
    A, u0 = heat(5)
    V = pn.LegendreSpace(1, 24, 0.3)
    last = size - 1

    def raising(t):
        if rank == 1:
            raise ValueError("f: no values here")
        return f(t)

    def nan_on_rank_1(t):
        return f(t) * (np.nan if rank == 1 else 1.0)

    def interrupting(t):
        if rank == last:
            raise KeyboardInterrupt("stop")
        return f(t)

    return {
        "f raises on rank 1": lambda: pn.parareal(V, A, u0, f=raising, comm=comm),
        "f not finite on rank 1": lambda: pn.mgrit(V, A, u0, f=nan_on_rank_1, comm=comm, nested=False),
        "KeyboardInterrupt in f on the last rank": lambda: pn.parareal(V, A, u0, f=interrupting, comm=comm),
        "KeyboardInterrupt in a propagator on rank 1": lambda: pn.mgrit(
            V, None, np.ones(3), propagator=Interrupting(), comm=comm, levels=3, coarsening=2
        ),
        "u0 not finite on the last rank": lambda: pn.mgrit(
            V, A, on_rank(last, u0 * np.nan, u0), comm=comm, levels=2, coarsening=2
        ),
        "u0 length differs": lambda: pn.mgrit(V, A, u0[: on_rank(1, 4, 5)], comm=comm),
        "tol differs": lambda: pn.mgrit(V, A, u0, comm=comm, tol=on_rank(1, 1e-8, 1e-10)),
        "max_iterations differs": lambda: pn.parareal(V, A, u0, comm=comm, max_iterations=on_rank(last, 1, None)),
        "relaxation differs": lambda: pn.mgrit(V, A, u0, comm=comm, relaxation=on_rank(1, "F", "FCF")),
        "nested differs": lambda: pn.mgrit(V, A, u0, comm=comm, nested=rank == 0),
        "parts differs": lambda: pn.parareal(V, A, u0, comm=comm, parts=on_rank(1, 2 * size, size)),
        "levels differs": lambda: pn.mgrit(V, A, u0, comm=comm, levels=on_rank(1, 3, 2), coarsening=2),
        "n_t differs": lambda: pn.mgrit(on_rank(1, pn.LegendreSpace(1, 28, 0.3), V), A, u0, comm=comm),
        "degree differs": lambda: pn.mgrit(on_rank(1, pn.LegendreSpace(2, 24, 0.3), V), A, u0, comm=comm),
        "space kind differs": lambda: pn.parareal(on_rank(1, pn.LagrangeSpace(1, 24, 0.3), V), A, u0, comm=comm),
        "A differs": lambda: pn.mgrit(V, on_rank(last, 2.0 * A, A), u0, comm=comm),
        "A's structure differs": lambda: pn.mgrit(V, on_rank(1, A.toarray(), A), u0, comm=comm),
    }


def failing(run):
    """What this rank raises in a failure case."""
    try:
        run()
    except BaseException as error:  # noqa: BLE001 - what each rank raised is the finding
        return f"{type(error).__name__}: {error}"
    return "returned"


report = {"size": size, "problems": {}, "failures": {}}
for name, (method, V, options) in CASES.items():
    try:
        problems = compare(name, method, V, options)
    except Exception:  # noqa: BLE001 - any failure is a finding of the run
        problems = [traceback.format_exc()]
    everyone = comm.gather(problems, root=0)
    if rank == 0:
        found = [f"rank {r}: {p}" for r, ps in enumerate(everyone) for p in ps]
        if found:
            report["problems"][name] = found


class Euler:
    """The heat equation by backward Euler, in plain numpy: a propagator of one's own."""

    def __init__(self):
        A, _ = heat(5)
        self.K = A.toarray()

    def step(self, space, k0, k1, u):
        t = space.breakpoints
        for k in range(k0, k1):
            u = np.linalg.solve(np.eye(5) + (t[k + 1] - t[k]) * self.K, u + (t[k + 1] - t[k]) * f(t[k + 1])[:, 0])
        return u


def own_steps():
    """parareal and mgrit on a propagator of one's own: the bits of comm=None."""
    problems = []
    _, u0 = heat(5)
    V = pn.LegendreSpace(0, 36, 0.3)
    runs = {
        "parareal": lambda comm: pn.parareal(V, None, u0, propagator=Euler(), parts=2 * size, comm=comm),
        "mgrit 3 levels": lambda comm: pn.mgrit(V, None, u0, propagator=Euler(), levels=3, coarsening=2, comm=comm),
    }
    for name, run in runs.items():
        parallel, serial = run(comm), run(None)
        k0, k1 = parallel.slab.k0, parallel.slab.k1
        if not (same(parallel.coefficients, serial.coefficients[:, k0 : k1 + 1]) and same(parallel.end, serial.end)):
            problems.append(f"{name}: the values differ from comm=None")
        if parallel.residuals != serial.residuals or not parallel.residuals[-1] <= 1e-10:
            problems.append(f"{name}: history {parallel.residuals} against comm=None's {serial.residuals}")
    return problems


CASES_RUN = {"contraction within the bound": contractions, "a propagator of one's own": own_steps}
for name, run in CASES_RUN.items():
    try:
        problems = run()
    except Exception:  # noqa: BLE001 - any failure is a finding of the run
        problems = [traceback.format_exc()]
    everyone = comm.gather(problems, root=0)
    if rank == 0 and any(everyone):
        report["problems"][name] = [f"rank {r}: {p}" for r, ps in enumerate(everyone) for p in ps]
for case, run in failing_runs().items():
    everyone = comm.gather(failing(run), root=0)
    if rank == 0:
        report["failures"][case] = everyone
if rank == 0:
    json.dump(report, sys.stdout)
    print()
