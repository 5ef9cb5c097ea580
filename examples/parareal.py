"""Parareal over MPI for u' = lambda u: one time slab per process.

    mpiexec -n 3 python examples/parareal.py

The fine propagator F is dG(q) stepping over the slab's intervals of a global LegendreSpace, one
interval's rows of the upwind derivative and mass matrices at a time; the coarse propagator G is
dG(0) with one interval per slab. The slab's first upwind row reads the previous slab's last
interval: its columns say so, and the value it needs, the end value of the previous slab, is what
the processes pass on. Parareal iteration k:

    U[j+1] <- F(U_old[j]) + (G(U[j]) - G(U_old[j]))

written so that when U[j] equals U_old[j] bit for bit the update is F(U_old[j]) itself. So after
k iterations the start values of slabs 0 ... k, and the fine solutions of the first k slabs, are
the serial solution (F slab after slab) bit for bit.

The printed bound is the linear bound of parareal for this problem (Gander and Vandewalle,
"Analysis of the parareal time-parallel time-integration method", SIAM J. Sci. Comput. 29(2),
2007, the linear convergence bound): max_j |e_j^k| <= rho^k max_j |e_j^0| with
rho = |R_F - R_G| / (1 - |R_G|), R_F and R_G the amplification of F and G over one slab.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

import pwpoly_numpy as pn

if TYPE_CHECKING:
    from mpi4py import MPI

LAMBDA = -1.0
T = 6.0
DEGREE = 2  # fine dG(q)
FINE_PER_SLAB = 8
U0 = 1.0

Array = npt.NDArray[np.float64]


def fine(V: pn.LegendreSpace, slab: pn.TimeSlab[pn.LegendreSpace], start: float) -> Array:
    """dG(q) coefficients of the slab (in the order of slab.rows) from the value at its start."""
    coefficients = np.zeros((slab.n_intervals, V.degree + 1))
    previous_end = start
    for k in range(slab.k0, slab.k1):
        rows = V.slab(k, k + 1)
        own = rows.rows
        D = V.derivative_matrix(rows, upwind=True)
        K = (D[:, own] - LAMBDA * V.mass_matrix(rows)[:, own]).toarray()
        if k == 0:
            rhs = V.basis_matrix([V.breakpoints[0]]).toarray()[0][own] * previous_end
        else:
            # The previous interval's columns hold -P_i(-1) P_j(1); its end value stands for it.
            before = V.slab(k - 1, k).rows
            rhs = -(D[:, before].toarray()[:, 0]) * previous_end
        c = np.linalg.solve(K, rhs)
        coefficients[k - slab.k0] = c
        previous_end = float(c.sum())  # P_i(1) = 1: the left limit at the next breakpoint
    return coefficients.T.reshape(-1)


def end_value(coefficients: Array, slab: pn.TimeSlab[pn.LegendreSpace], degree: int) -> float:
    return float(coefficients.reshape(degree + 1, slab.n_intervals)[:, -1].sum())


def coarse(V0: pn.LegendreSpace, j: int, start: float) -> float:
    """dG(0) over slab j (one interval of V0)."""
    return end_value(fine(V0, V0.slab(j, j + 1), start), V0.slab(j, j + 1), 0)


def serial(V: pn.LegendreSpace, slabs: tuple[pn.TimeSlab[pn.LegendreSpace], ...]) -> tuple[list[float], list[Array]]:
    """Start values and fine solutions, slab after slab."""
    starts, solutions = [U0], []
    for slab in slabs:
        solutions.append(fine(V, slab, starts[-1]))
        starts.append(end_value(solutions[-1], slab, V.degree))
    return starts, solutions


def linear_bound(V: pn.LegendreSpace, V0: pn.LegendreSpace, slab: pn.TimeSlab[pn.LegendreSpace]) -> float:
    r_fine = end_value(fine(V, slab, 1.0), slab, V.degree)
    r_coarse = coarse(V0, 0, 1.0)
    return abs(r_fine - r_coarse) / (1.0 - abs(r_coarse))


def main() -> None:
    from mpi4py import MPI  # starts MPI (here, so that importing this file for its functions does not)

    comm: MPI.Comm = MPI.COMM_WORLD
    rank, size = comm.Get_rank(), comm.Get_size()
    V = pn.LegendreSpace(DEGREE, size * FINE_PER_SLAB, T)
    V0 = pn.LegendreSpace(0, size, T)
    slabs = V.slabs(size)
    slab = slabs[rank]
    reference_starts, reference = serial(V, slabs)  # cheap here; a real run would not have it

    # Iteration 0: the coarse sweep, passed from slab to slab.
    start = U0 if rank == 0 else float(comm.recv(source=rank - 1))
    if rank + 1 < size:
        comm.send(coarse(V0, rank, start), dest=rank + 1)
    rho = linear_bound(V, V0, slab)
    if rank == 0:
        print(
            f"parareal: u' = {LAMBDA} u on [0, {T}], {size} slabs, fine dG({DEGREE}) on {FINE_PER_SLAB} "
            f"intervals per slab, coarse dG(0) on one interval per slab"
        )
        print(f"linear bound (Gander and Vandewalle 2007): rho = |R_F - R_G| / (1 - |R_G|) = {rho:.4f}")
    previous_error = float(comm.allreduce(abs(start - reference_starts[rank]), op=MPI.MAX))
    for k in range(1, size + 1):
        solution = fine(V, slab, start)  # F from U^(k-1), every slab at once
        exact_slab = bool(np.array_equal(solution.view(np.uint64), reference[rank].view(np.uint64)))
        fine_end = end_value(solution, slab, DEGREE)
        coarse_old = coarse(V0, rank, start)
        new_start = U0 if rank == 0 else float(comm.recv(source=rank - 1))
        if rank + 1 < size:
            comm.send(fine_end + (coarse(V0, rank, new_start) - coarse_old), dest=rank + 1)
        start = new_start
        flags = comm.gather(exact_slab, root=0)
        error = float(comm.allreduce(abs(start - reference_starts[rank]), op=MPI.MAX))
        if rank == 0:
            assert flags is not None
            leading = next((j for j, flag in enumerate(flags) if not flag), size)
            contraction = error / previous_error if previous_error > 0.0 else 0.0
            print(
                f"iteration {k}: first {leading} of {size} slabs equal the serial solution bit for bit; "
                f"start value error {error:.3e}; contraction {contraction:.4f} (bound {rho:.4f})"
            )
        previous_error = error
    final = fine(V, slab, start)
    same = comm.allreduce(bool(np.array_equal(final.view(np.uint64), reference[rank].view(np.uint64))), op=MPI.LAND)
    if rank == 0:
        print(f"converged to the serial solution bit for bit: {same}")


if __name__ == "__main__":
    main()
