"""Parareal over MPI for u' = lambda u with pwpoly_numpy.parareal: several time slabs per process.

    mpiexec -n 3 python examples/parareal.py [--tol 1e-10] [--slabs-per-rank 4] ...
    python examples/parareal.py                  # one process, the same numbers

The fine propagator is dG(q) on the slab's intervals, the coarse one dG(c) with one interval per
slab. Rank 0 prints the residual history (the relative 2-norm of the jumps at the slab
boundaries), the observed contraction next to the linear bound of Gander and Vandewalle (2007)
from the propagators' stability functions, how many leading slabs hold the serial solution bit
for bit (after k iterations at least k + 1), and the errors at T and at the slab starts against
the serial dG(q) solution and against exp(lambda t).
"""

from __future__ import annotations

import argparse

import numpy as np

import pwpoly_numpy as pn


def arguments() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--lam", type=float, default=-1.0, help="lambda of u' = lambda u (default -1)")
    parser.add_argument("--T", type=float, default=16.0, help="end time (default 16)")
    parser.add_argument("--degree", type=int, default=2, help="q of the fine dG(q) (default 2)")
    parser.add_argument("--intervals-per-slab", type=int, default=4, help="fine intervals per slab (default 4)")
    parser.add_argument("--coarse", type=int, default=1, help="degree of the coarse dG (default 1)")
    parser.add_argument("--slabs-per-rank", type=int, default=8, help="slabs on each process (default 8)")
    parser.add_argument("--tol", type=float, default=1e-10, help="relative residual to stop at (default 1e-10)")
    return parser.parse_args()


def main() -> None:
    options = arguments()
    from mpi4py import MPI  # starts MPI (here, so that --help does not need it)

    comm = MPI.COMM_WORLD
    rank, size = comm.Get_rank(), comm.Get_size()
    parts = size * options.slabs_per_rank
    V = pn.LegendreSpace(options.degree, parts * options.intervals_per_slab, options.T)
    A, u0 = np.array([[-options.lam]]), np.array([1.0])
    sol = pn.parareal(
        V, A, u0, parts=parts, comm=comm, coarse=options.coarse, tol=options.tol, eigenvalues=[options.lam]
    )

    # Checks a real run would not make: the serial solution, on every rank (it is small).
    serial = pn.solve_galerkin(V, A, u0)
    slabs = [s for s in V.slabs(parts) if sol.slab.k0 <= s.k0 < sol.slab.k1]
    starts = np.array([s.t0 for s in slabs])
    errors = np.abs(sol(starts) - V.evaluate(serial.coefficients, starts))[0]
    mine = sol.coefficients.view(np.uint64)
    exact = [
        bool(
            np.array_equal(
                mine[:, np.searchsorted(sol.slab.rows, s.rows)], serial.coefficients[:, s.rows].view(np.uint64)
            )
        )
        for s in slabs
    ]
    flags = comm.gather(exact, root=0)
    start_error = comm.allreduce(float(errors.max()), op=MPI.MAX)
    if rank != 0:
        return
    assert flags is not None
    every = [flag for rank_flags in flags for flag in rank_flags]
    leading = next((j for j, flag in enumerate(every) if not flag), parts)
    print(
        f"parareal: u' = {options.lam} u on [0, {options.T}], {parts} slabs on {size} processes, fine "
        f"dG({options.degree}) on {options.intervals_per_slab} intervals per slab, coarse dG({options.coarse}) on one"
    )
    print(f"linear bound (Gander and Vandewalle 2007) on the residual's contraction: {sol.bound:.4f}")
    for k, residual in enumerate(sol.residuals):
        print(f"iteration {k}: residual {residual:.3e}")
    print(f"iterations {sol.iterations}: contraction {sol.contraction:.4f} (bound {sol.bound:.4f})")
    print(f"first {leading} of {parts} slabs equal the serial solution bit for bit")
    print(f"error at the slab starts against the serial solution: {start_error:.3e}")
    print(f"error at T against the serial solution: {abs(sol.end[0] - serial.end[0]):.3e}")
    print(f"error at T against exp(lambda T): {abs(sol.end[0] - np.exp(options.lam * options.T)):.3e}")


if __name__ == "__main__":
    main()
