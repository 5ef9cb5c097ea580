"""Parareal: slabs of intervals stepped in parallel by a fine propagator, their start values
corrected in sequence by a coarse one."""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeAlias

import numpy as np
import numpy.typing as npt

from . import _checks as checks
from ._bounds import amplification, stretches, two_level_bound
from ._lagrange import LagrangeSpace
from ._legendre import LegendreSpace
from ._parallel_arguments import agree, eigenvalues_of, problem, real, share_end, space_of, start_of
from ._parallel_solution import History, ParallelSolution, join, square_sums
from ._propagator import GalerkinPropagator, Propagator, piece, propagator_of, solution_space, space_on, step
from ._ring import Serial, ring_of

if TYPE_CHECKING:  # pragma: no cover
    from .typing import Factorize, FloatArray, Matrix, TimeMatrix

    _Floats: TypeAlias = npt.NDArray[np.float64]
    _Space: TypeAlias = LegendreSpace | LagrangeSpace


def parareal(
    space: LegendreSpace | LagrangeSpace,
    A: Matrix | TimeMatrix | None,
    u0: npt.ArrayLike,
    *,
    M: Matrix | None = None,
    f: Callable[[FloatArray], npt.ArrayLike] | None = None,
    F: Callable[..., npt.ArrayLike] | None = None,
    jac: Callable[..., Any] | None = None,
    propagator: Propagator | None = None,
    coarse: int | Propagator | None = None,
    parts: int | None = None,
    comm: Any = None,
    tol: float = 1e-10,
    atol: float = 0.0,
    max_iterations: int | None = None,
    eigenvalues: npt.ArrayLike | None = None,
    quadrature: int | tuple[npt.ArrayLike, npt.ArrayLike] | None = None,
    factorize: Factorize | None = None,
    workers: int = 1,
) -> ParallelSolution:
    r"""Parareal: the dG(q) or cG(q) solution of M u' + A u = f computed slab by slab in parallel.

    The problem may also have a nonlinear part F(t, u), or be a propagator of one's own.

    The solution is that of ``solve_galerkin`` on ``space`` with u(t0) = u0. The space's intervals
    are cut into `parts` balanced slabs (``space.slabs(parts)``). The fine propagator F steps the
    space's method over a slab's intervals; the coarse propagator G is the same method of degree
    `coarse` on the slab as one interval (default 0: dG(0), backward Euler; for a LagrangeSpace a
    degree >= 1 gives cG, 0 dG(0)). With U_j the value at slab j's start, U_0 = u0 and first
    U_(j+1) = G(U_j); then each iteration

    .. math:: U_{j+1} \leftarrow F(U_j^{old}) + G(U_j^{new}) - G(U_j^{old}),

    so a start value that no longer changes passes F's bits on unchanged: after k iterations the
    first k + 1 slabs hold the serial solution bit for bit, after parts - 1 all of them.

    Parameters
    ----------
    space : LegendreSpace or LagrangeSpace
        dG(q) or cG(q) on any partition (see ``solve_galerkin``).
    A, u0
        As for ``solve_galerkin`` (A a matrix, a callable A(t) or None); with `propagator`, A None.
    M, f, F, jac : keyword-only, optional
        As for ``solve_galerkin``.
    propagator : Propagator, optional, keyword-only
        The fine propagator on the space's breakpoints instead of the Galerkin method of A, M, f,
        F and jac (see ``Propagator``); the solution is then the continuous piecewise linear
        through its values at the breakpoints, on a ``LagrangeSpace`` of degree 1.
    coarse : int or Propagator, optional, keyword-only
        Degree of the coarse propagator, default 0 (with `propagator`: that propagator on the slab
        ends), or a propagator stepping the slab ends (a space with the slab ends as breakpoints).
    parts : int, optional, keyword-only
        Number of slabs, 1 <= parts <= n_t, a multiple of the communicator's size (each rank
        takes parts / size consecutive slabs); default the communicator's size, required without
        one.
    comm : mpi4py.MPI.Intracomm, optional, keyword-only
        The processes; None runs every slab in this process, with the same arithmetic.
    tol, atol : float, optional, keyword-only
        Stop when the residual, the 2-norm of the jumps F(U_j) - U_(j+1) at all slab boundaries,
        is at most `tol` (default 1e-10) times the 2-norm of the values F(U_j) there, or at most
        `atol` (default 0.0).
    max_iterations : int, optional, keyword-only
        Default parts - 1, after which the result is the serial one.
    eigenvalues : array_like of complex, optional, keyword-only
        Eigenvalues lambda of u' = lambda u (of -M^-1 A) for the stated bound on the contraction.
    quadrature, factorize, workers : keyword-only, optional
        As for ``solve_galerkin``.

    Returns
    -------
    ParallelSolution
        This process's slabs; ``end`` and the residual history on every process.

    Raises
    ------
    TypeError, ValueError
        Naming the argument: those of ``solve_galerkin``; `parts` missing without `comm`, not an
        integer, out of range or not a multiple of the processes; `coarse` not an integer >= 0
        or a propagator; `propagator` without a step method, or given with A, M, f, F or jac; a
        step's value not finite (naming `f`, `u0` for an overflow, or `propagator`); an argument
        that differs between the processes;
        `comm` not an mpi4py communicator; `tol`, `atol` negative; `max_iterations` not an
        integer >= 0; `eigenvalues` not finite numbers.
    RuntimeError
        On every other process when one raised.

    See Also
    --------
    mgrit : Multigrid reduction in time, the same solution.
    solve_galerkin : The serial solution, interval by interval.
    ParallelSolution : What it returns.
    LegendreSpace.slabs : The slabs it splits the intervals into.

    Notes
    -----
    The residual and the bound on its contraction are described in the notes of
    ``ParallelSolution``: two-level MGRIT with F-relaxation is parareal.

    Examples
    --------
    >>> sol = pn.parareal(pn.LegendreSpace(1, 16, 1.0), np.array([[2.0]]), [1.0], parts=4)
    >>> sol.iterations, bool(abs(sol.end[0] - np.exp(-2.0)) < 1e-5)
    (3, True)
    """
    ring = ring_of(comm)
    agree(ring, {"space": space, "A": A, "u0": u0, "M": M, "f": f, "F": F, "jac": jac, "propagator": propagator,
                 "coarse": coarse, "parts": parts, "tol": tol, "atol": atol, "max_iterations": max_iterations,
                 "quadrature": quadrature, "factorize": factorize})  # fmt: skip
    setup = ring.attempt()
    with setup:
        galerkin = {"M": M, "f": f, "F": F, "jac": jac, "quadrature": quadrature, "factorize": factorize,
                    "workers": workers}  # fmt: skip
        run = _Parareal(ring, space_of(space), start_of(u0), parts, coarse, propagator, A, galerkin)
        limit = run.count - 1 if max_iterations is None else checks.count("max_iterations", max_iterations, 0)
        history = History(real("tol", tol, 1e-10), real("atol", atol, 0.0), limit)
        bound = run.bound(eigenvalues_of(eigenvalues))
    ring.check(setup)
    run.coarse_sweep(first_sweep=True)
    while not history.add(run.fine_sweep()):
        run.coarse_sweep(first_sweep=False)
    return run.solution(history, bound)


class _Parareal:
    """One process's part of a parareal run: its slabs' start values U, their coarse steps G(U)
    and fine solutions F(U)."""

    def __init__(
        self,
        ring: Serial,
        space: _Space,
        start: _Floats,
        parts: object,
        coarse: object,
        propagator: object,
        A: Any,
        galerkin: dict[str, Any],
    ) -> None:
        self.ring, self.space, self.start = ring, space, start
        if parts is None:
            if type(ring) is Serial:  # comm=None
                raise ValueError("parts: expected the number of slabs, required without a communicator")
            self.count = ring.size
        else:
            self.count = checks.count("parts", parts, 1)
        self.slabs = space.slabs(self.count)
        if self.count % ring.size:
            raise ValueError(f"parts: expected a multiple of the communicator's size {ring.size}, got {self.count}")
        self.fine = problem(propagator, A, start.size, galerkin)
        self.ends = np.array([s.k0 for s in self.slabs] + [space.n_t], dtype=np.int64)
        if coarse is None or not hasattr(coarse, "step"):
            degree = 0 if coarse is None else checks.count("coarse", coarse, 0)
            continuous = isinstance(space, LagrangeSpace) and degree >= 1
            self.coarse_space = space_on(space, self.ends, degree, continuous)
            self.coarse: Propagator = self.fine
        else:
            self.coarse_space = space_on(space, self.ends, 0, False)
            self.coarse = propagator_of(coarse)
        if isinstance(self.fine, GalerkinPropagator):  # the problem's checks, before any step
            self.fine._stepper(space)
        if isinstance(self.coarse, GalerkinPropagator):
            self.coarse._stepper(self.coarse_space)
        self.first, self.last = ring.rank * self.count // ring.size, (ring.rank + 1) * self.count // ring.size
        mine = self.last - self.first
        # U[i], G(U[i]) and F's coefficients and end for the slabs first + i of this rank.
        self.U: list[_Floats] = [start] * mine
        self.G_old: list[_Floats] = [start] * mine
        self.F_coef: list[_Floats] = [start] * mine
        self.F_end: list[_Floats] = [start] * mine
        self.changed = [True] * mine

    def bound(self, lambdas: npt.NDArray[np.complex128] | None) -> float | None:
        """The two-level bound of the Galerkin propagators on these eigenvalues."""
        galerkin = isinstance(self.fine, GalerkinPropagator) and isinstance(self.coarse, GalerkinPropagator)
        if lambdas is None or self.count == 1 or not galerkin:
            return None
        phi = stretches(self.space, self.ends, lambdas)
        psi = amplification(self.coarse_space, lambdas[:, None] * self.coarse_space.lengths[None, :])
        return two_level_bound(phi[:, :-1], psi[:, :-1], "F")

    def coarse_sweep(self, first_sweep: bool) -> None:
        """The coarse sweep, rank after rank: U[j+1] = F(U[j]) + G(U[j]) - G_old[j] from U[j] (the
        first time G(U[j]))."""
        ring = self.ring
        incoming: _Floats | None = self.start
        for root in range(ring.size):
            attempt = ring.attempt()
            out = None
            if ring.rank == root:
                with attempt:
                    assert incoming is not None
                    out = self.coarse_steps(incoming, first_sweep)
            shared = ring.share(root, out, attempt)
            if ring.rank == root + 1:
                incoming = shared

    def coarse_steps(self, u: _Floats, first_sweep: bool) -> _Floats:
        """This rank's part of the coarse sweep from the value u at its first slab's start; a start
        value that has not changed keeps its coarse step."""
        for i in range(self.last - self.first):
            j = self.first + i
            self.changed[i] = first_sweep or not np.array_equal(u.view(np.uint64), self.U[i].view(np.uint64))
            self.U[i] = u
            if first_sweep:
                self.G_old[i] = u = step(self.coarse, self.coarse_space, j, j + 1, u)
            else:
                g = step(self.coarse, self.coarse_space, j, j + 1, u) if self.changed[i] else self.G_old[i]
                u = self.F_end[i] + (g - self.G_old[i])
                self.G_old[i] = g
        return u

    def fine_sweep(self) -> list[tuple[list[float], list[float]]]:
        """F on every changed slab of this rank; every rank's square sums of the jumps and values
        at its slab starts."""
        ring = self.ring
        attempt = ring.attempt()
        with attempt:
            for i in range(self.last - self.first):
                if self.changed[i]:
                    slab = self.slabs[self.first + i]
                    self.F_coef[i], self.F_end[i] = piece(self.fine, self.space, slab.k0, slab.k1, self.U[i])
        previous = ring.shift(self.F_end[-1], attempt)
        attempt = ring.attempt()
        sums: tuple[list[float], list[float]] = ([], [])
        with attempt:
            arriving = [previous] + self.F_end[:-1]  # F(U_(j-1)) at the start of slab j
            boundaries = [i for i in range(self.last - self.first) if self.first + i > 0]
            if boundaries:
                values = np.stack([arriving[i] for i in boundaries])
                jumps = values - np.stack([self.U[i] for i in boundaries])
                sums = (square_sums(jumps), square_sums(values))
        gathered: list[tuple[list[float], list[float]]] = ring.gather(sums, attempt)
        return gathered

    def solution(self, history: History, bound: float | None) -> ParallelSolution:
        ring, space = self.ring, solution_space(self.fine, self.space)
        attempt = ring.attempt()
        slab = space.slab(self.slabs[self.first].k0, self.slabs[self.last - 1].k1)
        coefficients = self.F_coef[0]
        with attempt:
            coefficients = join(space, self.F_coef)
        end = share_end(ring, self.F_end[-1], attempt)
        return ParallelSolution(slab, coefficients, self.start, end, history.result(), bound, (self.fine, self.coarse))
