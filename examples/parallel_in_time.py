"""Parallel in time with MPI: a two-level interpolation workflow (prolongation, then Legendre
evaluation), distributed over time slabs.

Run it on P processes (P from 1 to the number of coarse intervals), or serially:

    mpiexec -n 3 python examples/parallel_in_time.py
    python examples/parallel_in_time.py

Rank r owns slab r of the time intervals: the Lagrange nodes and the Legendre coefficients of its
slab under the global numbering (see docs/guide/mpi.md). Each rank builds only its own rows
of the operators and works on the values it owns, plus the few values of its neighbours that its
rows read (ghosts), exchanged with mpi4py:

1. u = exact(t) at the coarse nodes it owns,
2. u_fine = (rows of the coarse-to-fine prolongation for the fine nodes it owns) @ u,
3. c = (Legendre rows of its fine intervals from the Lagrange-to-Legendre map) @ u_fine,
4. values and time derivatives of c at the sample times inside its slab.

Rank 0 gathers the results and prints the errors against the exact function. Every number is the
same to the last bit on any number of processes: each row's sum is formed from the same entries in
the same order as in the whole operator. With --save FILE rank 0 also writes the gathered arrays.
"""

from __future__ import annotations

import argparse
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
import scipy.sparse

import pwpoly_numpy as pn

if TYPE_CHECKING:
    from mpi4py import MPI

DEGREE = 3
NT_COARSE = 24
REFINEMENT = 4
T = 1.0
SAMPLES = 2001


def exact(t: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    return np.sin(2 * np.pi * t) + t * t


def exact_derivative(t: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    return 2 * np.pi * np.cos(2 * np.pi * t) + 2 * t


def fetch(
    comm: MPI.Comm,
    needed: npt.NDArray[np.integer[Any]],
    starts: npt.NDArray[np.integer[Any]],
    mine: npt.NDArray[np.float64],
) -> npt.NDArray[np.float64]:
    """The values at the global node indices `needed` (ascending) of a distributed nodal vector.

    Rank j owns the nodes from starts[j] to starts[j + 1] - 1 and holds their values in order
    (`mine` on this rank). Each rank asks every owner for the nodes it needs (two all-to-all
    exchanges: how many, which), and sends back the values asked of it (a third one).
    """
    owners = np.searchsorted(starts, needed, side="right") - 1
    asked_counts = np.bincount(owners, minlength=comm.size)  # grouped by owner: `needed` is sorted
    asked_of_me_counts = np.empty_like(asked_counts)
    comm.Alltoall(asked_counts, asked_of_me_counts)
    asked_of_me = np.empty(asked_of_me_counts.sum(), dtype=needed.dtype)
    comm.Alltoallv([needed, asked_counts], [asked_of_me, asked_of_me_counts])
    values = np.empty(needed.size)
    comm.Alltoallv([mine[asked_of_me - starts[comm.rank]], asked_of_me_counts], [values, asked_counts])
    return values


def apply_rows(
    block: scipy.sparse.csr_array[np.float64],
    comm: MPI.Comm,
    starts: npt.NDArray[np.integer[Any]],
    mine: npt.NDArray[np.float64],
) -> npt.NDArray[np.float64]:
    """block @ x for a block of rows with global columns, x distributed as `fetch` describes.

    The block reads only the columns that hold entries: those values are fetched and the columns
    renumbered to positions among them. Entries and their order within each row stay the same.
    """
    needed = np.unique(block.indices)
    x = fetch(comm, needed, starts, mine)
    local = scipy.sparse.csr_array(
        (block.data, np.searchsorted(needed, block.indices), block.indptr), shape=(block.shape[0], needed.size)
    )
    return local @ x


def gather(comm: MPI.Comm, local: npt.NDArray[np.float64]) -> Any:
    """The rank-ordered concatenation of every rank's array, on rank 0 (None elsewhere)."""
    parts = comm.gather(local, root=0)
    return np.concatenate(parts) if parts is not None else None  # None exactly off rank 0


def hex_and_short(x: float | np.floating[Any]) -> str:
    return f"{float(x).hex():>24}  ({x:.3e})"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--save", metavar="FILE", help="rank 0 writes the gathered arrays to FILE (.npz)")
    args = parser.parse_args()
    from mpi4py import MPI  # starts MPI (here, so that importing this file for its functions does not)

    comm = MPI.COMM_WORLD
    parts, rank = comm.size, comm.rank
    coarse = pn.LagrangeSpace(DEGREE, NT_COARSE, T)
    fine = pn.LagrangeSpace(DEGREE, NT_COARSE * REFINEMENT, T)
    V = fine.legendre_space()

    # This rank's slabs: the same share of [0, T] for the coarse and the fine partition (fine
    # slab boundaries need not be coarse interval ends). A Lagrange slab owns one range of nodes.
    coarse_slab = coarse.slabs(parts)[rank]
    fine_slab = fine.slabs(parts)[rank]
    (coarse_nodes,) = coarse_slab.row_ranges
    (fine_nodes,) = fine_slab.row_ranges
    # The first node of every rank tells every rank who owns which node.
    coarse_starts = np.array(comm.allgather(coarse_nodes.start))
    fine_starts = np.array(comm.allgather(fine_nodes.start))

    # 1. The coarse nodal values this rank owns.
    u = exact(coarse.points_of(coarse_slab))

    # 2. Prolongation, distributed by rows: this rank's fine nodes, global coarse columns. Its
    #    rows read the coarse nodes of the coarse intervals under its fine nodes, which may
    #    belong to a neighbour.
    P_rows = coarse.prolongation_to(fine, rows=fine_slab)
    u_fine = apply_rows(P_rows, comm, coarse_starts, u)

    # 3. Lagrange-to-Legendre, distributed by rows: the coefficients of this rank's fine
    #    intervals. They read the nodes of those intervals: its own, and the right end node of
    #    its last interval, which the next rank owns.
    L_rows = fine.to_legendre(rows=fine_slab)
    c = apply_rows(L_rows, comm, fine_starts, u_fine)  # in the order of V_slab.rows

    # 4. Evaluation at the sample times inside this rank's slab, from its coefficients alone.
    #    (A time on a slab boundary belongs to the slab on its right, as for intervals.)
    V_slab = V.slabs(parts)[rank]
    times = np.linspace(0.0, T, SAMPLES)
    times = times[V.locate_slab(times, parts) == rank]
    values = V.evaluate(c, times, slab=V_slab)
    slopes = V.evaluate(c, times, derivative=1, slab=V_slab)

    # Rank 0 gathers in global order (slabs and times ascend with the rank) and reports.
    fine_exact = exact(fine.points_of(fine_slab))
    u_fine_all, fine_exact_all = gather(comm, u_fine), gather(comm, fine_exact)
    times_all, values_all, slopes_all = gather(comm, times), gather(comm, values), gather(comm, slopes)
    if rank != 0:
        return
    print(
        f"degree {DEGREE}, coarse n_t = {NT_COARSE}, fine n_t = {fine.n_t}, {SAMPLES} sample times, "
        f"{parts} process{'es' if parts > 1 else ''}"
    )
    print("fine slabs (intervals):", " ".join(f"[{s.k0}, {s.k1})" for s in fine.slabs(parts)))
    print("prolongation error:", hex_and_short(np.max(np.abs(u_fine_all - fine_exact_all))))
    print("value error:       ", hex_and_short(np.max(np.abs(values_all - exact(times_all)))))
    print("derivative error:  ", hex_and_short(np.max(np.abs(slopes_all - exact_derivative(times_all)))))

    # The check a user would leave out at scale: the whole prolongation on one process gives
    # the row-distributed product bit for bit.
    serial = coarse.prolongation_to(fine) @ coarse.interpolate(exact)
    same = serial.shape == u_fine_all.shape and np.array_equal(serial.view(np.uint64), u_fine_all.view(np.uint64))
    print("row-distributed P @ u equals the serial product bit for bit:", same)
    if args.save:
        np.savez(args.save, u_fine=u_fine_all, times=times_all, values=values_all, slopes=slopes_all)


if __name__ == "__main__":
    main()
