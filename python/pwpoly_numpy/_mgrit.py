"""Multigrid reduction in time (MGRIT) in the full approximation scheme: V-cycles over a
hierarchy of ever coarser time grids, relaxation in parallel, the coarsest grid in sequence."""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Literal, TypeAlias

import numpy as np
import numpy.typing as npt

from . import _checks as checks
from ._bounds import amplification, stretches, two_level_bound
from ._lagrange import LagrangeSpace
from ._legendre import LegendreSpace
from ._parallel_arguments import agree, eigenvalues_of, problem, real, share_end, space_of, start_of
from ._parallel_solution import History, ParallelSolution, join, square_sums
from ._propagator import GalerkinPropagator, Propagator, corrected_run, piece, solution_space, space_on, step
from ._ring import Attempt, Serial, ring_of

if TYPE_CHECKING:  # pragma: no cover
    from .typing import Factorize, FloatArray, Matrix, TimeMatrix

    _Floats: TypeAlias = npt.NDArray[np.float64]
    _Space: TypeAlias = LegendreSpace | LagrangeSpace


def mgrit(
    space: LegendreSpace | LagrangeSpace,
    A: Matrix | TimeMatrix | None,
    u0: npt.ArrayLike,
    *,
    M: Matrix | None = None,
    f: Callable[[FloatArray], npt.ArrayLike] | None = None,
    F: Callable[..., npt.ArrayLike] | None = None,
    jac: Callable[..., Any] | None = None,
    propagator: Propagator | None = None,
    levels: int = 2,
    coarsening: int = 4,
    relaxation: Literal["F", "FCF"] = "FCF",
    comm: Any = None,
    tol: float = 1e-10,
    atol: float = 0.0,
    max_iterations: int | None = None,
    nested: bool = True,
    eigenvalues: npt.ArrayLike | None = None,
    quadrature: int | tuple[npt.ArrayLike, npt.ArrayLike] | None = None,
    factorize: Factorize | None = None,
    workers: int = 1,
) -> ParallelSolution:
    """Multigrid reduction in time (MGRIT) for M u' + A u = f: the dG(q) or cG(q) solution.

    The problem may also have a nonlinear part F(t, u), or be a propagator of one's own.

    The solution is that of ``solve_galerkin`` on ``space`` with u(t0) = u0, by V-cycles. Level 0
    is the space's partition; level l + 1 takes every m-th breakpoint of level l (m =
    `coarsening`) and the last, and the same method of the same degree on them (the library's own
    space on those breakpoints). Between two C-points of a level (its points that the next level
    keeps) the F-points are relaxed in parallel; the next level solves for the correction, and the
    coarsest level is solved exactly, in sequence. Relaxation "F" propagates from the C-points to
    the F-points; "FCF" adds the C-points' update from the F-points before them and F again.

    A linear problem (A and M, or A(t), without F) is corrected on the coarse levels by the
    error equation, stepped without f. Any other problem (F given, or a propagator of one's own)
    is solved in the full approximation scheme (FAS): each coarse level steps the problem itself
    from the finer level's C-point values, with the finer level's residual and the difference of
    the two levels' steps added at its points, so nonlinear problems converge as linear ones do;
    for a linear problem its iterates are those of the error correction, to rounding (of the
    size of the coarse steps of the values).

    The processes of `comm` each take a balanced share of the coarsest level's intervals and
    everything under them; the arithmetic does not depend on the number of processes.

    Parameters
    ----------
    space : LegendreSpace or LagrangeSpace
        dG(q) or cG(q) on any partition (see ``solve_galerkin``).
    A, u0
        As for ``solve_galerkin`` (A a matrix, a callable A(t) or None); with `propagator`, A None.
    M, f, F, jac : keyword-only, optional
        As for ``solve_galerkin``.
    propagator : Propagator, optional, keyword-only
        The propagator of every level instead of the Galerkin method of A, M, f, F and jac (see
        ``Propagator``); the solution is then the continuous piecewise linear through its values
        at the breakpoints, on a ``LagrangeSpace`` of degree 1.
    levels : int, optional, keyword-only
        Number of levels, >= 2 (default 2).
    coarsening : int, optional, keyword-only
        The factor m >= 2 between levels (default 4).
    relaxation : {"FCF", "F"}, optional, keyword-only
        The relaxation, default "FCF".
    comm : mpi4py.MPI.Intracomm, optional, keyword-only
        The processes; None runs in this process, with the same arithmetic.
    tol, atol : float, optional, keyword-only
        Stop when the residual, the 2-norm over all fine C-points (t0 excepted, the end included)
        of Phi(u_(i-1)) - u_i, is at most `tol` (default 1e-10) times the 2-norm of the values
        Phi(u_(i-1)), or at most `atol` (default 0.0; PyMGRIT's rule is ``tol=0, atol=its tol``).
    max_iterations : int, optional, keyword-only
        Default the number of C-intervals, after which two-level MGRIT is exact.
    nested : bool, optional, keyword-only
        Start from the coarser levels' solution (nested iteration, the default), as PyMGRIT does
        by default; False starts from zero at every C-point but t0.
    eigenvalues : array_like of complex, optional, keyword-only
        Eigenvalues lambda of u' = lambda u (of -M^-1 A) for the stated two-level bound.
    quadrature, factorize, workers : keyword-only, optional
        As for ``solve_galerkin``.

    Returns
    -------
    ParallelSolution
        This process's intervals; ``end`` and the residual history on every process.

    Raises
    ------
    TypeError, ValueError
        Naming the argument: those of ``solve_galerkin``; `levels` < 2, `coarsening` < 2,
        `relaxation` not "F" or "FCF"; `space` with too few intervals for the levels (a level
        above the coarsest with fewer than 2) or for the processes (fewer coarsest intervals than
        processes); `comm` not an mpi4py communicator; `tol`, `atol` negative, `max_iterations`
        not an integer >= 0, `eigenvalues` not finite numbers; `propagator` without a step method
        or given with A, M, f, F or jac; a step's value not finite (naming `f`, `u0` for an
        overflow, or `propagator`); an argument that differs between the processes.
    RuntimeError
        On every other process when one raised.

    See Also
    --------
    parareal : Parareal, the same solution; two-level MGRIT with F-relaxation is parareal.
    solve_galerkin : The serial solution, interval by interval.
    ParallelSolution : What it returns.
    LagrangeSpace.prolongation_to : Interpolation between partitions, as between levels.

    Examples
    --------
    >>> sol = pn.mgrit(pn.LegendreSpace(1, 16, 1.0), np.array([[2.0]]), [1.0], eigenvalues=[-2.0])
    >>> sol.iterations, sol.residuals[-1] <= 1e-10, sol.contraction <= sol.bound
    (2, True, True)
    """
    ring = ring_of(comm)
    agree(ring, {"space": space, "A": A, "u0": u0, "M": M, "f": f, "F": F, "jac": jac, "propagator": propagator,
                 "levels": levels, "coarsening": coarsening, "relaxation": relaxation, "tol": tol, "atol": atol,
                 "max_iterations": max_iterations, "nested": nested,
                 "quadrature": quadrature, "factorize": factorize})  # fmt: skip
    setup = ring.attempt()
    with setup:
        fine_space, start = space_of(space), start_of(u0)
        count = checks.count("levels", levels, 2)
        m = checks.count("coarsening", coarsening, 2)
        if relaxation not in ("F", "FCF"):
            raise ValueError(f"relaxation: expected 'F' or 'FCF', got {checks.describe(relaxation)}")
        if not isinstance(nested, (bool, np.bool_)):
            raise TypeError(f"nested: expected a bool, got {checks.describe(nested)}")
        galerkin = {"M": M, "f": f, "F": F, "jac": jac, "quadrature": quadrature, "factorize": factorize,
                    "workers": workers}  # fmt: skip
        P = problem(propagator, A, start.size, galerkin)
        hierarchy = _hierarchy(fine_space, count, m, ring, P)
        limit = len(hierarchy[1].points) - 1
        history = History(
            real("tol", tol, 1e-10),
            real("atol", atol, 0.0),
            limit if max_iterations is None else checks.count("max_iterations", max_iterations, 0),
        )
        bound = _bound(hierarchy, P, eigenvalues_of(eigenvalues), relaxation)
    ring.check(setup)
    run = _Mgrit(ring, hierarchy, P, relaxation, start, history)
    xC = run.nested() if nested else run.zeros(1)
    if ring.rank == 0:
        xC[0] = start
    pieces, arrivals = run.run(xC)
    attempt = ring.attempt()
    solution_of = solution_space(P, fine_space)
    coefficients = start
    with attempt:
        coefficients = join(solution_of, pieces)
    end = share_end(ring, arrivals[-1] if len(arrivals) else None, attempt)
    fine = hierarchy[0]
    return ParallelSolution(
        solution_of.slab(fine.lo, fine.hi), coefficients, start, end, history.result(), bound, [P, run.linear]
    )


class _Level:
    """One level of the MGRIT hierarchy on this rank: its space (its breakpoints those of the fine
    space at `points`), the intervals [lo, hi) whose start points this rank owns, and, below the
    coarsest, `up`: the index on this level of each point of the next coarser one."""

    def __init__(
        self, space: _Space, points: npt.NDArray[np.int64], lo: int, hi: int, up: npt.NDArray[np.int64] | None
    ) -> None:
        self.space, self.points, self.lo, self.hi, self.up = space, points, lo, hi, up


def _coarsened(count: int, m: int) -> npt.NDArray[np.int64]:
    """Every m-th point of 0 ... count, and the last."""
    points = np.arange(0, count + 1, m, dtype=np.int64)
    return points if points[-1] == count else np.append(points, count)


def _hierarchy(space: _Space, count: int, m: int, ring: Serial, propagator: Propagator) -> list[_Level]:
    """The levels, each rank's share of them (a balanced share of the coarsest level's intervals
    and everything under them); the Galerkin propagator's steppers made and their checks run."""
    grids = [np.arange(space.n_t + 1, dtype=np.int64)]
    ups = []
    for level in range(1, count):
        intervals = len(grids[-1]) - 1
        if intervals < 2:
            raise ValueError(
                f"space: {space.n_t} intervals leave {intervals} on level {level - 1} of {count} with "
                f"coarsening {m}; every level but the coarsest needs at least 2"
            )
        ups.append(_coarsened(intervals, m))
        grids.append(grids[-1][ups[-1]])
    coarsest = len(grids[-1]) - 1
    if coarsest < ring.size:
        raise ValueError(
            f"space: {space.n_t} intervals leave {coarsest} on the coarsest of {count} levels with "
            f"coarsening {m}, fewer than the {ring.size} processes"
        )
    c0, c1 = ring.rank * coarsest // ring.size, (ring.rank + 1) * coarsest // ring.size
    levels = []
    for level, points in enumerate(grids):
        scale = m ** (count - 1 - level)
        n_level = len(points) - 1
        lo, hi = min(c0 * scale, n_level), min(c1 * scale, n_level)
        level_space = space if level == 0 else space_on(space, points, space.degree, isinstance(space, LagrangeSpace))
        if isinstance(propagator, GalerkinPropagator):
            propagator._stepper(level_space)
        levels.append(_Level(level_space, points, lo, hi, ups[level] if level < count - 1 else None))
    return levels


def _bound(
    levels: list[_Level], propagator: Propagator, lambdas: npt.NDArray[np.complex128] | None, relaxation: str
) -> float | None:
    """The two-level bound of the Galerkin method on these eigenvalues (None for more levels)."""
    if lambdas is None or len(levels) != 2 or not isinstance(propagator, GalerkinPropagator):
        return None
    coarse_space = levels[1].space
    phi = stretches(levels[0].space, levels[1].points, lambdas)
    psi = amplification(coarse_space, lambdas[:, None] * coarse_space.lengths[None, :])
    return two_level_bound(phi, psi, "FCF" if relaxation == "FCF" else "F")


class _Mgrit:
    """One process's part of an MGRIT run. Level k's system, for its points i = 1, 2, ...:
    x_i = Phi_k(x_(i-1)) + g_i, x_0 = u0; level 0 has g = 0."""

    def __init__(
        self, ring: Serial, levels: list[_Level], propagator: Propagator, relaxation: str, start: _Floats,
        history: History
    ) -> None:  # fmt: skip
        self.ring, self.levels, self.propagator, self.fcf = ring, levels, propagator, relaxation == "FCF"
        self.start, self.history, self.n = start, history, start.size
        self.last = ring.rank == ring.size - 1
        # A linear problem's coarse levels solve for the error by the steps without f: its
        # residual then falls to rounding of the values, not of the coarse steps of the values
        # (as in the full approximation scheme, whose coarse values carry the rounding of
        # Psi(x) - Psi(x)).
        self.linear = propagator._homogeneous() if isinstance(propagator, GalerkinPropagator) else None

    def level_propagator(self, k: int) -> Propagator:
        """What level k steps with: on the coarse levels of a linear problem, the steps without f."""
        return self.linear if k > 0 and self.linear is not None else self.propagator

    def zeros(self, k: int) -> _Floats:
        level = self.levels[k]
        return np.zeros((level.hi - level.lo + 1, self.n))

    def c_rows(self, k: int) -> npt.NDArray[np.int64]:
        """Rows of level k's C-points on this rank, the next level's points lo ... hi."""
        level, coarse = self.levels[k], self.levels[k + 1]
        assert level.up is not None
        return level.up[coarse.lo : coarse.hi + 1] - level.lo

    def owned(self, count: int) -> slice:
        """The rows of C-points lo ... hi this rank owns: hi only on the last rank."""
        return slice(0, count if self.last else count - 1)

    def incoming(self, arrivals: _Floats, first: _Floats, attempt: Attempt) -> _Floats:
        """The values arriving at this rank's C-points lo ... hi: at lo the previous rank's last
        arrival (on rank 0, `first`, the value held at t0)."""
        previous = self.ring.shift(arrivals[-1] if len(arrivals) else None, attempt)
        return np.concatenate([(first if previous is None else previous)[None, :], arrivals])

    def relax(self, k: int, x: _Floats, g: _Floats) -> _Floats:
        """F-relaxation on level k >= 1: the F-points of this rank's C-intervals from their
        C-points; returns Phi_k of the last F-point of each, which the C-point after it adds its g
        to (the rank that owns that C-point: see arriving)."""
        level, coarse = self.levels[k], self.levels[k + 1]
        assert level.up is not None
        lo = level.lo
        arrivals = np.empty((coarse.hi - coarse.lo, self.n))
        for J in range(coarse.lo, coarse.hi):
            a, b = int(level.up[J]), int(level.up[J + 1])
            corrections = g[a + 1 - lo : b + 1 - lo].copy()
            corrections[-1] = 0.0  # the C-point's own g is added by its owner
            values = corrected_run(self.level_propagator(k), level.space, a, b, x[a - lo], corrections)
            x[a + 1 - lo : b - lo] = values[:-1]
            arrivals[J - coarse.lo] = values[-1]
        return arrivals

    def arriving(self, k: int, arrivals: _Floats, x: _Floats, g: _Floats, attempt: Attempt) -> _Floats:
        """Phi_k(u_(i-1)) + g_i at this rank's C-points of level k >= 1 (see incoming)."""
        arriving = self.incoming(arrivals, x[0], attempt)
        with attempt:
            arriving += g[self.c_rows(k)]
        self.ring.check(attempt)
        return arriving

    def forward(self, k: int, x: _Floats, g: _Floats) -> None:
        """Solves level k exactly, rank after rank, from x's first row on rank 0."""
        level, ring = self.levels[k], self.ring
        for root in range(ring.size):
            attempt = ring.attempt()
            out = None
            if ring.rank == root:
                with attempt:
                    corrections = g[1:].copy()
                    if not self.last:  # the next rank's first point takes its own g
                        corrections[-1] = 0.0
                    propagator = self.level_propagator(k)
                    x[1:] = corrected_run(propagator, level.space, level.lo, level.hi, x[0], corrections)
                    out = x[-1]
            shared = ring.share(root, out, attempt)
            if ring.rank == root + 1:
                x[0] = shared + g[0]

    def coarse_correction(self, k: int, xC: _Floats, arriving: _Floats) -> None:
        """Level k's C-point values xC (the next level's points lo ... hi) corrected by the next
        level's solution: of the error equation e_I = Psi(e_(I-1)) + r_I, r the residual at the
        C-points, for a linear problem; else of the full approximation scheme, x_I =
        Psi(x_(I-1)) + g_I from xC as the first guess, g_I = the fine arrival minus Psi of the
        same start."""
        ring, coarse = self.ring, self.levels[k + 1]
        attempt = ring.attempt()
        steps = np.empty((coarse.hi - coarse.lo, self.n))
        with attempt:
            if self.linear is None:
                for J in range(coarse.lo, coarse.hi):
                    steps[J - coarse.lo] = step(self.propagator, coarse.space, J, J + 1, xC[J - coarse.lo])
        stepped = xC if self.linear is not None else self.incoming(steps, xC[0], attempt)
        attempt = ring.attempt()
        g = self.zeros(k + 1)
        v = self.zeros(k + 1) if self.linear is not None else xC.copy()
        with attempt:
            kept = self.owned(len(xC))
            g[kept] = arriving[kept] - stepped[kept]
            if ring.rank == 0:
                g[0] = 0.0
        ring.check(attempt)
        if k + 1 == len(self.levels) - 1:
            self.forward(k + 1, v, g)
        else:
            self.cycle(k + 1, v, g)
        if self.linear is not None:
            xC += v
        else:
            xC[:] = v

    def cycle(self, k: int, x: _Floats, g: _Floats) -> None:
        """One V-cycle on level k >= 1 from x: relaxation, the coarse correction, F-relaxation."""
        ring, rows = self.ring, self.c_rows(k)
        attempt = ring.attempt()
        arrivals = np.empty((len(rows) - 1, self.n))
        with attempt:
            arrivals = self.relax(k, x, g)
        arriving = self.arriving(k, arrivals, x, g, attempt)
        if self.fcf:
            attempt = ring.attempt()
            with attempt:
                x[rows[self.owned(len(rows))]] = arriving[self.owned(len(rows))]
                arrivals = self.relax(k, x, g)
            arriving = self.arriving(k, arrivals, x, g, attempt)
        xC = x[rows]
        self.coarse_correction(k, xC, arriving)
        attempt = ring.attempt()
        with attempt:
            x[rows] = xC
            self.relax(k, x, g)
        ring.check(attempt)

    def fine_relax(self, xC: _Floats) -> tuple[list[_Floats], _Floats, _Floats]:
        """F-relaxation on the fine level from the C-point values xC: the solution's pieces on
        this rank's C-intervals, and the values arriving at its C-points (see incoming)."""
        fine, coarse, ring = self.levels[0], self.levels[1], self.ring
        assert fine.up is not None
        attempt = ring.attempt()
        pieces: list[_Floats] = []
        arrivals = np.empty((coarse.hi - coarse.lo, self.n))
        with attempt:
            for J in range(coarse.lo, coarse.hi):
                a, b = int(fine.up[J]), int(fine.up[J + 1])
                c, arrivals[J - coarse.lo] = piece(self.propagator, fine.space, a, b, xC[J - coarse.lo])
                pieces.append(c)
        return pieces, arrivals, self.incoming(arrivals, xC[0], attempt)

    def residual(self, xC: _Floats, arriving: _Floats) -> bool:
        """Records the residual at the fine C-points, agreed on by every rank; True to stop."""
        attempt = self.ring.attempt()
        sums: tuple[list[float], list[float]] = ([], [])
        with attempt:
            kept = self.owned(len(xC))
            first = 1 if self.ring.rank == 0 else 0
            values = arriving[kept][first:]
            sums = (square_sums(values - xC[kept][first:]), square_sums(values))
        return self.history.add(self.ring.gather(sums, attempt))

    def run(self, xC: _Floats) -> tuple[list[_Floats], _Floats]:
        """Iterates from the fine C-point values xC; returns the final pieces and arrivals."""
        pieces, arrivals, arriving = self.fine_relax(xC)
        while not self.residual(xC, arriving):
            if self.fcf:
                kept = self.owned(len(xC))
                xC[kept] = arriving[kept]
                pieces, arrivals, arriving = self.fine_relax(xC)
            self.coarse_correction(0, xC, arriving)
            pieces, arrivals, arriving = self.fine_relax(xC)
        return pieces, arrivals

    def nested(self) -> _Floats:
        """The start of nested iteration: the coarsest level solved, then level by level up one
        cycle each from the coarser solution at the C-points; returns level 1's values, the fine
        level's C-points."""
        L = len(self.levels)
        x = self.zeros(L - 1)
        for k in range(L - 1, 0, -1):
            if self.ring.rank == 0:
                x[0] = self.start
            g = self.zeros(k) if self.linear is None else self.loads(k)
            if k == L - 1:
                self.forward(k, x, g)
            else:
                self.cycle(k, x, g)
            if k > 1:
                finer = self.zeros(k - 1)
                finer[self.c_rows(k - 1)] = x
                x = finer
        return x

    def loads(self, k: int) -> _Floats:
        """For a linear problem's level k >= 1, stepped without f: what f adds in the interval
        before each point this rank owns, the step from zero (rows lo ... hi - 1, and hi on the
        last rank; the first interval of a rank is computed by its predecessor too)."""
        level = self.levels[k]
        g = self.zeros(k)
        if isinstance(self.propagator, GalerkinPropagator) and not self.propagator._has_load:
            return g
        attempt = self.ring.attempt()
        with attempt:
            zero = np.zeros(self.n)
            for j in range(max(level.lo - 1, 0), level.hi if self.last else level.hi - 1):
                g[j + 1 - level.lo] = step(self.propagator, level.space, j, j + 1, zero)
        self.ring.check(attempt)
        return g
