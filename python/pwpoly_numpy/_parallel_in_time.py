"""Parareal and MGRIT on the Galerkin stepper: M u' + A u = f solved parallel in time.

Both iterate on the values at the C-points, a coarse grid of breakpoints; the iteration, the
residual, the reproducibility across processes and the convergence bounds are described in the
notes of ``ParallelSolution``, the result both return.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, Literal, TypeAlias

import numpy as np
import numpy.typing as npt

from . import _checks as checks
from ._lagrange import LagrangeSpace
from ._legendre import LegendreSpace
from ._partition import TimeSlab, Uniform
from ._ring import Attempt, Serial, ring_of
from ._solver import GalerkinSolution, Stepper, _length_of_u0, start_value

if TYPE_CHECKING:  # pragma: no cover
    from ._solver import _Factorize as Factorize

    _Floats: TypeAlias = npt.NDArray[np.float64]
    _Space: TypeAlias = LegendreSpace | LagrangeSpace

# Ratios of consecutive residuals count as observed contractions while both residuals are above
# this many rounding units of the values at the C-points (below, rounding decides the ratio).
_ROUNDING_FLOOR = 1e3 * np.finfo(np.float64).eps


# --- stability functions and bounds -------------------------------------------------------------


def pade(numerator: int, denominator: int, z: npt.ArrayLike) -> npt.NDArray[np.complex128]:
    """The (numerator, denominator) Pade approximant of exp(z)."""
    zs = np.asarray(z, dtype=np.complex128)
    total = numerator + denominator

    def series(degree: int, x: npt.NDArray[np.complex128]) -> npt.NDArray[np.complex128]:
        result = np.zeros_like(x)
        for j in range(degree, -1, -1):  # Horner
            coefficient = (
                math.factorial(total - j) * math.factorial(degree)
                / (math.factorial(total) * math.factorial(j) * math.factorial(degree - j))
            )  # fmt: skip
            result = result * x + coefficient
        return result

    return series(numerator, zs) / series(denominator, -zs)


def amplification(space: _Space, z: npt.ArrayLike) -> npt.NDArray[np.complex128]:
    """What one step of the space's method multiplies u' = lambda u by, at z = lambda h: dG(q) the
    (q, q + 1) Pade approximant of exp(z), cG(q) the (q, q) one."""
    q = space.degree
    return pade(q, q + 1 if isinstance(space, LegendreSpace) else q, z)


def _stretches(space: _Space, ends: npt.NDArray[np.int64], eigenvalues: npt.NDArray[np.complex128]) -> Any:
    """Phi_i of every stretch [ends[i], ends[i+1]) of the space's intervals: shape (lambdas, stretches)."""
    steps = amplification(space, eigenvalues[:, None] * space.lengths[None, :])
    return np.multiply.reduceat(steps, ends[:-1], axis=1)


def two_level_bound(
    phi: npt.NDArray[np.complex128], psi: npt.NDArray[np.complex128], relaxation: Literal["F", "FCF"]
) -> float:
    """max over the rows (eigenvalues) of sqrt(||P||_1 ||P||_inf), P the residual propagator of the
    C-points 1 ... K of a two-level method with fine and coarse amplifications phi, psi of shape
    (lambdas, K) (see the notes of ParallelSolution)."""
    lambdas, K = phi.shape
    inverse = np.zeros((lambdas, K + 1), dtype=np.complex128)  # row j of B^-1 over sources 0 ... K
    rows = np.zeros(lambdas)
    columns = np.zeros((lambdas, K + 1))
    for p in range(1, K + 1):
        # B^-1[p-1, :] from B^-1[p-2, :]: times Psi_{p-2}, plus the unit at p-1.
        if p >= 2:
            inverse *= psi[:, p - 2, None]
        inverse[:, p - 1] += 1.0
        inverse[:, 0] = 0.0  # no residual at t0
        row = (phi[:, p - 1, None] - psi[:, p - 1, None]) * inverse
        if relaxation == "FCF":  # (R S)[p, c] = R[p, c + 1] Phi_c
            shifted = np.zeros_like(row)
            shifted[:, 1:K] = row[:, 2 : K + 1] * phi[:, 1:K]
            row = shifted
        magnitude = np.abs(row)
        rows = np.maximum(rows, magnitude.sum(axis=1))
        columns += magnitude
    return float(np.max(np.sqrt(rows * columns.max(axis=1)))) if K else 0.0


# --- the pieces of a run ------------------------------------------------------------------------


def _space_on(space: _Space, points: npt.NDArray[np.int64], degree: int, continuous: bool) -> _Space:
    """A space of the given degree on the breakpoints of `space` at `points` (uniform again where
    they are every s-th breakpoint of a uniform space and s divides n_t, so that its steps share
    one factorisation); continuous: cG (a LagrangeSpace), else dG."""
    kind: type[_Space] = LagrangeSpace if continuous else LegendreSpace
    partition = space._partition
    n_t = partition.n_t
    if isinstance(partition, Uniform) and len(points) > 1:
        s = int(points[1])
        if n_t % s == 0 and np.array_equal(points, np.arange(0, n_t + 1, s)):
            return kind(degree, n_t // s, partition.T)
    return kind(degree, breakpoints=space.breakpoints[points])


def _coarsened(count: int, m: int) -> npt.NDArray[np.int64]:
    """Every m-th point of 0 ... count, and the last."""
    points = np.arange(0, count + 1, m, dtype=np.int64)
    return points if points[-1] == count else np.append(points, count)


def _join(space: _Space, pieces: Sequence[_Floats]) -> _Floats:
    """The coefficients of consecutive ranges of intervals, each in the layout of its own slab, in
    the layout of their union (a Lagrange piece's last column, the left limit at its end, gives
    way to the next piece's start)."""
    if len(pieces) == 1:
        return pieces[0]
    n = pieces[0].shape[0]
    if isinstance(space, LegendreSpace):
        m = space.degree + 1
        return np.concatenate([p.reshape(n, m, -1) for p in pieces], axis=2).reshape(n, -1)
    return np.concatenate([p[:, :-1] for p in pieces[:-1]] + [pieces[-1]], axis=1)


def _square_sums(values: _Floats) -> list[float]:
    """The sum of squares of each row, by numpy's pairwise summation: its bits depend on the row's
    values alone, not on where the row lies in memory (the rows' sums are then added exactly)."""
    squares: list[float] = np.add.reduce(values * values, axis=1).tolist()
    return squares


class ParallelSolution(GalerkinSolution):
    r"""The result of ``parareal`` and ``mgrit`` on this process.

    A ``GalerkinSolution`` of this process's slab: called with times of the slab, it gives the
    solution there.

    Attributes
    ----------
    space : LegendreSpace or LagrangeSpace
    slab : TimeSlab
        The intervals this process owns.
    coefficients : ndarray of float64, shape (n, slab.size), or (n, slab.size + 1) for Lagrange
        This process's coefficients (Legendre) or nodal values (Lagrange, with the right ghost,
        the left limit at the slab's end), the layout ``space.evaluate(c, t, slab=slab)`` takes.
    end : ndarray of float64, shape (n,)
        u at the partition's end, on every process.
    u0 : ndarray of float64, shape (n,)
        The start value, u at t0, on every process.
    iterations : int
        Iterations made.
    residuals : tuple of float
        The relative residual before the first iteration and after each: the 2-norm of the jumps
        at all C-points over the 2-norm of the fine values arriving there.
    absolute_residuals : tuple of float
        The same 2-norms of the jumps, not divided.
    contraction : float
        The largest ratio of consecutive absolute residuals while both are above rounding (1e3
        rounding units of the values), NaN when there is none.
    bound : float or None
        The bound on that ratio from the stability functions on the eigenvalues passed (None
        without them, or for MGRIT of more than two levels).
    n_intervals, n_factorizations, n_solves, n_quadrature_points : int
        This process's statistics: its intervals, and over all levels its factorisations, linear
        solves and points at which f was evaluated.
    n_rejected, error_estimate : int, None
        0 and None: the partition is fixed.

    See Also
    --------
    parareal, mgrit : The solvers that make it.
    GalerkinSolution : The serial solution, of the whole partition.

    Notes
    -----
    Both solvers iterate on the values at a coarse grid of breakpoints, the C-points: the starts of
    the slabs (parareal) or every m-th breakpoint and the end (MGRIT). Between two C-points the fine
    propagator :math:`\Phi`, dG(q) or cG(q) stepping over the space's intervals, runs independently
    on every stretch; the coarse propagator :math:`\Psi`, the same kind of method on one interval
    per stretch, carries a correction from C-point to C-point in sequence. The residual is the jump
    at the C-points, :math:`r_i = \Phi(u_{i-1}) - u_i`: the fine solution arriving at C-point i
    minus the value held there.

    Reproducibility: each stretch's fine solution depends only on its start value, each coarse step
    only on its input, a C-point's residual is summed by the one rank that owns it, and the sum over
    the C-points is exactly rounded (``math.fsum``), so the bits do not depend on how the stretches
    are dealt out to processes.

    Convergence bounds (``bound``), from the stability functions of the propagators on the
    eigenvalues :math:`\lambda` of :math:`u' = \lambda u` (one step of dG(q) multiplies by the
    (q, q + 1) Pade approximant of :math:`e^{\lambda h}`, cG(q) by the (q, q) one): for stretch i,
    :math:`\Phi_i` is the product over its fine intervals and :math:`\Psi_i` the coarse step. The
    residual of two-level MGRIT with F-relaxation (which is parareal) goes from one iteration to the
    next by :math:`R = (B - A) B^{-1}`, A and B the lower bidiagonal C-point systems with
    :math:`-\Phi_i` and :math:`-\Psi_i` below the unit diagonal; FCF-relaxation first multiplies by
    S, :math:`\Phi_i` below the diagonal. The stated bound, a bound on the 2-norm, is

    .. math:: \max_\lambda \sqrt{\|R\|_1 \, \|R\|_\infty}.

    For K equal stretches ending at the K boundaries where the residual lives (parts - 1 for
    parareal, the C-intervals for MGRIT) it is, for F-relaxation,

    .. math:: |\Phi - \Psi| \, \frac{1 - |\Psi|^{K-1}}{1 - |\Psi|},

    the linear bound of Gander and Vandewalle (2007) and the two-level bound of Dobrev, Kolev,
    Petersson and Schroder (2017), counted over those K boundaries; for FCF-relaxation

    .. math:: |\Phi| \, |\Phi - \Psi| \, \frac{1 - |\Psi|^{K-2}}{1 - |\Psi|},

    within the latter's FCF bound. For a normal :math:`-M^{-1} A` (an orthonormal eigenbasis) it
    bounds the ratio of the 2-norms of consecutive residuals.

    Examples
    --------
    >>> sol = pn.parareal(pn.LegendreSpace(1, 16, 1.0), np.array([[2.0]]), [1.0], parts=4)
    >>> sol.slab, sol.coefficients.shape, sol.residuals[0] > 1e-3, sol.residuals[-1] == 0.0
    (TimeSlab(LegendreSpace(degree=1, n_t=16, T=1.0), k0=0, k1=16), (1, 32), True, True)
    """

    __slots__ = ("slab", "iterations", "residuals", "absolute_residuals", "contraction", "bound")

    def __init__(
        self,
        slab: TimeSlab[Any],
        coefficients: _Floats,
        u0: _Floats,
        end: _Floats,
        history: tuple[list[float], list[float], float],
        bound: float | None,
        steppers: Sequence[Stepper],
    ) -> None:
        super().__init__(slab.space, coefficients, u0, end, steppers[0])
        self.slab = slab
        relative, absolute, contraction = history
        self.iterations = len(relative) - 1
        self.residuals = tuple(relative)
        self.absolute_residuals = tuple(absolute)
        self.contraction = contraction
        self.bound = bound
        self.n_intervals = slab.n_intervals
        self.n_factorizations = sum(s.n_factorizations for s in steppers)
        self.n_solves = sum(s.n_solves for s in steppers)
        self.n_quadrature_points = sum(s.n_quadrature_points for s in steppers)

    def __call__(self, t: npt.ArrayLike, derivative: int = 0, side: Literal["left", "right"] = "right") -> _Floats:
        """The solution (or its time derivative) at times of this process's slab.

        Parameters
        ----------
        t : array_like of float, any shape
            Times in the slab, from ``slab.t0`` to ``slab.t1`` (see ``LegendreSpace.evaluate``
            with ``slab=``).
        derivative : int, optional
            Order of the time derivative, >= 0 (default 0: the values).
        side : {"right", "left"}, optional
            "left" gives the left limits at the breakpoints inside the slab and at its end, and u0
            at t0.

        Returns
        -------
        ndarray of float64, shape (n,) + t.shape
            u (or its derivative) at the times.

        Raises
        ------
        TypeError, ValueError
            As for ``LegendreSpace.evaluate`` with ``slab=``, e.g. a time outside the slab.

        See Also
        --------
        GalerkinSolution.__call__ : The same for the whole partition.

        Examples
        --------
        >>> sol = pn.parareal(pn.LegendreSpace(1, 16, 1.0), np.array([[2.0]]), [1.0], parts=4)
        >>> sol([0.0, 1.0], side="left").round(4)
        array([[1.    , 0.1353]])
        """
        times = checks.as_float_array("t", t)
        values = self.space.evaluate(self.coefficients, times, derivative, side=side, slab=self.slab)
        if side == "left" and derivative == 0 and self.slab.k0 == 0:  # the left limit at t0 is u0
            values[:, times == self.space.t0] = self.u0[:, None]
        return values

    def __repr__(self) -> str:
        return (
            f"ParallelSolution({self.space!r}, intervals [{self.slab.k0}, {self.slab.k1}), n="
            f"{self.coefficients.shape[0]}, iterations={self.iterations}, residual={self.residuals[-1]:.3g})"
        )


class _History:
    """Residual norms, agreed on by every rank, and the stopping rule."""

    def __init__(self, tol: float, atol: float, limit: int) -> None:
        self.tol, self.atol, self.limit = tol, atol, limit
        self.relative: list[float] = []
        self.absolute: list[float] = []
        self.ratios: list[float] = []

    def add(self, gathered: list[tuple[list[float], list[float]]]) -> bool:
        """Records one residual from every rank's (jumps, values) square sums; True to stop."""
        jumps = math.sqrt(math.fsum(x for pair in gathered for x in pair[0]))
        values = math.sqrt(math.fsum(x for pair in gathered for x in pair[1]))
        if self.absolute and min(self.absolute[-1], jumps) > _ROUNDING_FLOOR * values:
            self.ratios.append(jumps / self.absolute[-1])
        self.absolute.append(jumps)
        self.relative.append(jumps / values if values > 0.0 else jumps)
        iterations = len(self.relative) - 1
        return self.relative[-1] <= self.tol or jumps <= self.atol or iterations >= self.limit

    def result(self) -> tuple[list[float], list[float], float]:
        return self.relative, self.absolute, max(self.ratios) if self.ratios else math.nan


def _real(name: str, value: object, default: float) -> float:
    if value is None:
        return default
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name}: expected a non-negative real number, got {checks.describe(value)}")
    number = float(value)
    if not number >= 0.0:
        raise ValueError(f"{name}: expected a non-negative real number, got {number!r}")
    return number


def _eigenvalues(value: object) -> npt.NDArray[np.complex128] | None:
    if value is None:
        return None
    try:
        array = np.asarray(value, dtype=np.complex128).reshape(-1)
    except (TypeError, ValueError) as error:
        raise TypeError(f"eigenvalues: expected None or numbers, got {checks.describe(value)}") from error
    if array.size == 0 or not np.isfinite(array).all():
        raise ValueError(f"eigenvalues: expected finite numbers, at least one, got {checks.describe(value)}")
    return array


def _space_of(space: object) -> _Space:
    if not isinstance(space, (LegendreSpace, LagrangeSpace)):
        raise TypeError(f"space: expected a LegendreSpace or a LagrangeSpace, got {checks.describe(space)}")
    return space


def _start(u0: object) -> _Floats:
    return start_value("u0", u0, _length_of_u0(u0))


def _share_end(ring: Serial, end: _Floats | None, attempt: Attempt) -> _Floats:
    shared: _Floats = ring.share(ring.size - 1, end, attempt)
    return shared


# --- parareal -----------------------------------------------------------------------------------


def parareal(
    space: _Space,
    A: Any,
    u0: npt.ArrayLike,
    *,
    M: Any = None,
    f: Callable[[_Floats], npt.ArrayLike] | None = None,
    coarse: int | None = None,
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
    r"""Parareal for M u' + A u = f: the dG(q) or cG(q) solution computed slab by slab in parallel.

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
        As for ``solve_galerkin``.
    M, f : keyword-only, optional
        As for ``solve_galerkin``.
    coarse : int, optional, keyword-only
        Degree of the coarse propagator, default 0.
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
        integer, out of range or not a multiple of the processes; `coarse` not an integer >= 0;
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
    setup = ring.attempt()
    with setup:
        fine_space = _space_of(space)
        start = _start(u0)
        if parts is None:
            if comm is None:
                raise ValueError("parts: expected the number of slabs, required without a communicator")
            count = ring.size
        else:
            count = checks.count("parts", parts, 1)
        slabs = fine_space.slabs(count)
        if count % ring.size:
            raise ValueError(f"parts: expected a multiple of the communicator's size {ring.size}, got {count}")
        degree = 0 if coarse is None else checks.count("coarse", coarse, 0)
        limit = count - 1 if max_iterations is None else checks.count("max_iterations", max_iterations, 0)
        history = _History(_real("tol", tol, 1e-10), _real("atol", atol, 0.0), limit)
        lambdas = _eigenvalues(eigenvalues)
        ends = np.array([s.k0 for s in slabs] + [fine_space.n_t], dtype=np.int64)
        coarse_space = _space_on(fine_space, ends, degree, isinstance(fine_space, LagrangeSpace) and degree >= 1)
        options: dict[str, Any] = {"M": M, "f": f, "quadrature": quadrature, "factorize": factorize, "workers": workers}
        F = Stepper(fine_space, A, n=start.size, **options)
        G = Stepper(coarse_space, A, n=start.size, **options)
        first, last = ring.rank * count // ring.size, (ring.rank + 1) * count // ring.size
        mine = range(first, last)
        bound = None
        if lambdas is not None and count > 1:
            phi = _stretches(fine_space, ends, lambdas)
            psi = amplification(coarse_space, lambdas[:, None] * coarse_space.lengths[None, :])
            bound = two_level_bound(phi[:, :-1], psi[:, :-1], "F")
    ring.check(setup)

    def coarse_step(j: int, u: _Floats) -> _Floats:
        return G.advance(j, j + 1, u)[1]

    # U[j], G(U[j]) and F's coefficients and end for the slabs j of this rank.
    U: list[_Floats] = [start] * len(mine)
    G_old: list[_Floats] = [start] * len(mine)
    F_coef: list[_Floats] = [start] * len(mine)
    F_end: list[_Floats] = [start] * len(mine)
    changed = [True] * len(mine)

    def sweep(first_sweep: bool) -> None:
        """The coarse sweep, rank after rank: U[j+1] from U[j]."""
        incoming: _Floats | None = start
        for root in range(ring.size):
            attempt = ring.attempt()
            out = None
            if ring.rank == root:
                with attempt:
                    assert incoming is not None
                    u = incoming
                    for i, j in enumerate(mine):
                        changed[i] = first_sweep or not np.array_equal(u.view(np.uint64), U[i].view(np.uint64))
                        U[i] = u
                        if first_sweep:
                            G_old[i] = u = coarse_step(j, u)
                        else:
                            g = coarse_step(j, u) if changed[i] else G_old[i]
                            u = F_end[i] + (g - G_old[i])
                            G_old[i] = g
                    out = u
            shared = ring.share(root, out, attempt)
            if ring.rank == root + 1:
                incoming = shared

    def fine_sweep() -> bool:
        """F on every changed slab of this rank, then the residual; True to stop."""
        attempt = ring.attempt()
        with attempt:
            for i, j in enumerate(mine):
                if changed[i]:
                    F_coef[i], F_end[i] = F.advance(slabs[j].k0, slabs[j].k1, U[i])
        previous = ring.shift(F_end[-1], attempt)
        attempt = ring.attempt()
        sums: tuple[list[float], list[float]] = ([], [])
        with attempt:
            arriving = [previous] + F_end[:-1]  # F(U_(j-1)) at the start of slab j
            boundaries = [i for i, j in enumerate(mine) if j > 0]
            if boundaries:
                values = np.stack([arriving[i] for i in boundaries])
                jumps = values - np.stack([U[i] for i in boundaries])
                sums = (_square_sums(jumps), _square_sums(values))
        return history.add(ring.gather(sums, attempt))

    sweep(first_sweep=True)
    while not fine_sweep():
        sweep(first_sweep=False)
    attempt = ring.attempt()
    slab = fine_space.slab(slabs[first].k0, slabs[last - 1].k1)
    with attempt:
        coefficients = _join(fine_space, F_coef)
    end = _share_end(ring, F_end[-1], attempt)
    return ParallelSolution(slab, coefficients, start, end, history.result(), bound, (F, G))


# --- MGRIT --------------------------------------------------------------------------------------


class _Level:
    """One level of the MGRIT hierarchy on this rank: its grid (breakpoint indices of the fine
    space), its propagator, the intervals [lo, hi) whose start points this rank owns, and, below
    the coarsest, `up`: the index on this level of each point of the next coarser one."""

    def __init__(self, space: _Space, stepper: Stepper, lo: int, hi: int, up: npt.NDArray[np.int64] | None) -> None:
        self.space, self.stepper, self.lo, self.hi, self.up = space, stepper, lo, hi, up


class _Mgrit:
    def __init__(self, ring: Serial, levels: list[_Level], relaxation: str, start: _Floats, history: _History) -> None:
        self.ring, self.levels, self.fcf = ring, levels, relaxation == "FCF"
        self.start, self.history, self.n = start, history, start.size
        self.last = ring.rank == ring.size - 1

    def zeros(self, k: int) -> _Floats:
        level = self.levels[k]
        return np.zeros((level.hi - level.lo + 1, self.n))

    def c_rows(self, k: int) -> npt.NDArray[np.int64]:
        """Rows of level l's C-points on this rank, the next level's points lo ... hi."""
        level, coarse = self.levels[k], self.levels[k + 1]
        assert level.up is not None
        return level.up[coarse.lo : coarse.hi + 1] - level.lo

    def relax(self, k: int, x: _Floats, g: _Floats) -> _Floats:
        """F-relaxation on level k >= 1: the F-points of this rank's C-intervals from their C-points;
        returns Psi of the last F-point of each, which the C-point after it adds its g to (the
        rank that owns that C-point: see arriving)."""
        level, coarse = self.levels[k], self.levels[k + 1]
        assert level.up is not None
        step, lo = level.stepper.advance, level.lo
        arrivals = np.empty((coarse.hi - coarse.lo, self.n))
        for J in range(coarse.lo, coarse.hi):
            a, b = int(level.up[J]), int(level.up[J + 1])
            u = x[a - lo]
            for j in range(a, b - 1):
                u = x[j + 1 - lo] = step(j, j + 1, u)[1] + g[j + 1 - lo]
            arrivals[J - coarse.lo] = step(b - 1, b, u)[1]
        return arrivals

    def arriving(self, k: int, arrivals: _Floats, x: _Floats, g: _Floats, attempt: Attempt) -> _Floats:
        """Psi(u_(i-1)) + g_i at this rank's C-points of level l >= 1 (see incoming)."""
        arriving = self.incoming(arrivals, x[0], attempt)
        with attempt:
            arriving += g[self.c_rows(k)]
        self.ring.check(attempt)
        return arriving

    def incoming(self, arrivals: _Floats, first: _Floats, attempt: Attempt) -> _Floats:
        """The values arriving at this rank's C-points lo ... hi: at lo the previous rank's last
        arrival (on rank 0, `first`, the value held at t0)."""
        previous = self.ring.shift(arrivals[-1] if len(arrivals) else None, attempt)
        return np.concatenate([(first if previous is None else previous)[None, :], arrivals])

    def owned(self, count: int) -> slice:
        """The rows of C-points lo ... hi this rank owns: hi only on the last rank."""
        return slice(0, count if self.last else count - 1)

    def forward(self, k: int, x: _Floats, g: _Floats) -> None:
        """Solves level k exactly, rank after rank: x[j+1] = Psi(x[j]) + g[j+1] from x's first row
        on rank 0."""
        level, ring = self.levels[k], self.ring
        step, lo = level.stepper.advance, level.lo
        for root in range(ring.size):
            attempt = ring.attempt()
            out = None
            if ring.rank == root:
                with attempt:
                    for j in range(lo, level.hi - 1):
                        x[j + 1 - lo] = step(j, j + 1, x[j - lo])[1] + g[j + 1 - lo]
                    # The next rank's first point takes its own g.
                    out = step(level.hi - 1, level.hi, x[-2])[1]
                    x[-1] = out + g[-1] if self.last else out
            shared = ring.share(root, out, attempt)
            if ring.rank == root + 1:
                x[0] = shared + g[0]

    def solve(self, k: int, x: _Floats, g: _Floats) -> None:
        """Level l's system approximately (one cycle) or, on the coarsest level, exactly."""
        if k == len(self.levels) - 1:
            self.forward(k, x, g)
        else:
            self.cycle(k, x, g)

    def cycle(self, k: int, x: _Floats, g: _Floats) -> None:
        """One V-cycle on level l >= 1 from x: relaxation, the coarse correction, F-relaxation."""
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
        attempt = ring.attempt()
        e = self.zeros(k + 1)
        with attempt:
            r = self.zeros(k + 1)
            kept = self.owned(len(rows))
            r[kept] = arriving[kept] - x[rows[kept]]
            if ring.rank == 0:
                r[0] = 0.0
        ring.check(attempt)
        self.solve(k + 1, e, r)
        attempt = ring.attempt()
        with attempt:
            x[rows] += e
            self.relax(k, x, g)
        ring.check(attempt)

    def fine_relax(self, xC: _Floats) -> tuple[list[_Floats], _Floats, _Floats]:
        """F-relaxation on the fine level from the C-point values xC: the coefficients of this
        rank's C-intervals, and the values arriving at its C-points (see incoming)."""
        fine, coarse, ring = self.levels[0], self.levels[1], self.ring
        assert fine.up is not None
        attempt = ring.attempt()
        pieces: list[_Floats] = []
        arrivals = np.empty((coarse.hi - coarse.lo, self.n))
        with attempt:
            for J in range(coarse.lo, coarse.hi):
                c, arrivals[J - coarse.lo] = fine.stepper.advance(
                    int(fine.up[J]), int(fine.up[J + 1]), xC[J - coarse.lo]
                )
                pieces.append(c)
        return pieces, arrivals, self.incoming(arrivals, xC[0], attempt)

    def residual(self, xC: _Floats, arriving: _Floats) -> bool:
        attempt = self.ring.attempt()
        sums: tuple[list[float], list[float]] = ([], [])
        with attempt:
            kept = self.owned(len(xC))
            first = 1 if self.ring.rank == 0 else 0
            values = arriving[kept][first:]
            sums = (_square_sums(values - xC[kept][first:]), _square_sums(values))
        return self.history.add(self.ring.gather(sums, attempt))

    def run(self, xC: _Floats) -> tuple[list[_Floats], _Floats]:
        """Iterates from the C-point values xC; returns the final coefficients and arrivals."""
        pieces, arrivals, arriving = self.fine_relax(xC)
        ring = self.ring
        while not self.residual(xC, arriving):
            kept = self.owned(len(xC))
            if self.fcf:
                xC[kept] = arriving[kept]
                pieces, arrivals, arriving = self.fine_relax(xC)
            attempt = ring.attempt()
            e, r = self.zeros(1), self.zeros(1)
            with attempt:
                r[kept] = arriving[kept] - xC[kept]
                if ring.rank == 0:
                    r[0] = 0.0
            ring.check(attempt)
            self.solve(1, e, r)
            xC += e
            pieces, arrivals, arriving = self.fine_relax(xC)
        return pieces, arrivals

    def nested(self, loads: list[_Floats | None]) -> _Floats:
        """The start of nested iteration: the coarsest level solved, then level by level up one
        cycle each from the coarser solution at the C-points; returns level 1's values, the fine
        level's C-points. loads[l] are level l's particular steps Psi_f(0) (None: no f)."""
        L = len(self.levels)
        x = self.zeros(L - 1)
        for k in range(L - 1, 0, -1):
            g = self.zeros(k) if loads[k] is None else loads[k]
            assert g is not None
            if self.ring.rank == 0:
                x[0] = self.start
            if k == L - 1:
                self.forward(k, x, g)
            else:
                self.cycle(k, x, g)
            if k > 1:
                finer = self.zeros(k - 1)
                finer[self.c_rows(k - 1)] = x
                x = finer
        return x


def _loads(level: _Level, stepper: Stepper, n: int, last: bool) -> _Floats:
    """Psi_f(0) of the interval before each point this rank owns (rows lo ... hi - 1, and hi on
    the last rank; the first interval of a rank is computed by its predecessor too)."""
    g = np.zeros((level.hi - level.lo + 1, n))
    zero = np.zeros(n)
    for j in range(max(level.lo - 1, 0), level.hi if last else level.hi - 1):
        g[j + 1 - level.lo] = stepper.advance(j, j + 1, zero)[1]
    return g


def mgrit(
    space: _Space,
    A: Any,
    u0: npt.ArrayLike,
    *,
    M: Any = None,
    f: Callable[[_Floats], npt.ArrayLike] | None = None,
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

    The solution is that of ``solve_galerkin`` on ``space`` with u(t0) = u0, by V-cycles. Level 0
    is the space's partition; level l + 1 takes every m-th breakpoint of level l (m =
    `coarsening`) and the last, and the same method of the same degree on them (the library's own
    space on those breakpoints). Between two C-points of a level (its points that the next level
    keeps) the F-points are relaxed in parallel; the next level solves for the correction, and the
    coarsest level is solved exactly, in sequence. Relaxation "F" propagates from the C-points to
    the F-points; "FCF" adds the C-points' update from the F-points before them and F again.

    The processes of `comm` each take a balanced share of the coarsest level's intervals and
    everything under them; the arithmetic does not depend on the number of processes.

    Parameters
    ----------
    space : LegendreSpace or LagrangeSpace
        dG(q) or cG(q) on any partition (see ``solve_galerkin``).
    A, u0
        As for ``solve_galerkin``.
    M, f : keyword-only, optional
        As for ``solve_galerkin``.
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
        not an integer >= 0, `eigenvalues` not finite numbers.
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
    setup = ring.attempt()
    with setup:
        fine_space = _space_of(space)
        start = _start(u0)
        count = checks.count("levels", levels, 2)
        m = checks.count("coarsening", coarsening, 2)
        if relaxation not in ("F", "FCF"):
            raise ValueError(f"relaxation: expected 'F' or 'FCF', got {checks.describe(relaxation)}")
        if not isinstance(nested, (bool, np.bool_)):
            raise TypeError(f"nested: expected a bool, got {checks.describe(nested)}")
        grids = [np.arange(fine_space.n_t + 1, dtype=np.int64)]
        ups = []
        for level in range(1, count):
            intervals = len(grids[-1]) - 1
            if intervals < 2:
                raise ValueError(
                    f"space: {fine_space.n_t} intervals leave {intervals} on level {level - 1} of {count} with "
                    f"coarsening {m}; every level but the coarsest needs at least 2"
                )
            ups.append(_coarsened(intervals, m))
            grids.append(grids[-1][ups[-1]])
        coarsest = len(grids[-1]) - 1
        if coarsest < ring.size:
            raise ValueError(
                f"space: {fine_space.n_t} intervals leave {coarsest} on the coarsest of {count} levels with "
                f"coarsening {m}, fewer than the {ring.size} processes"
            )
        history = _History(
            _real("tol", tol, 1e-10),
            _real("atol", atol, 0.0),
            len(grids[1]) - 1 if max_iterations is None else checks.count("max_iterations", max_iterations, 0),
        )
        lambdas = _eigenvalues(eigenvalues)
        options: dict[str, Any] = {"M": M, "quadrature": quadrature, "factorize": factorize, "workers": workers}
        c0, c1 = ring.rank * coarsest // ring.size, (ring.rank + 1) * coarsest // ring.size
        hierarchy: list[_Level] = []
        loads: list[_Floats | None] = [None]
        steppers: list[Stepper] = []
        for level, points in enumerate(grids):
            scale = m ** (count - 1 - level)
            n_level = len(points) - 1
            lo, hi = min(c0 * scale, n_level), min(c1 * scale, n_level)
            if level == 0:
                level_space: _Space = fine_space
                stepper = Stepper(fine_space, A, n=start.size, f=f, **options)
            else:
                continuous = isinstance(fine_space, LagrangeSpace)
                level_space = _space_on(fine_space, points, fine_space.degree, continuous)
                stepper = Stepper(level_space, A, n=start.size, **options)
            steppers.append(stepper)
            hierarchy.append(_Level(level_space, stepper, lo, hi, ups[level] if level < count - 1 else None))
            if level > 0:
                if f is not None and nested:
                    particular = Stepper(level_space, A, n=start.size, f=f, **options)
                    steppers.append(particular)
                    loads.append(_loads(hierarchy[-1], particular, start.size, ring.rank == ring.size - 1))
                else:
                    loads.append(None)
        bound = None
        if lambdas is not None and count == 2:
            coarse_space = hierarchy[1].space
            phi = _stretches(fine_space, grids[1], lambdas)
            psi = amplification(coarse_space, lambdas[:, None] * coarse_space.lengths[None, :])
            bound = two_level_bound(phi, psi, relaxation)
    ring.check(setup)
    run = _Mgrit(ring, hierarchy, relaxation, start, history)
    if nested:
        xC = run.nested(loads)
    else:
        xC = run.zeros(1)
    if ring.rank == 0:
        xC[0] = start
    pieces, arrivals = run.run(xC)
    attempt = ring.attempt()
    with attempt:
        coefficients = _join(fine_space, pieces)
    end = _share_end(ring, arrivals[-1] if len(arrivals) else None, attempt)
    fine = hierarchy[0]
    return ParallelSolution(
        fine_space.slab(fine.lo, fine.hi), coefficients, start, end, history.result(), bound, steppers
    )
