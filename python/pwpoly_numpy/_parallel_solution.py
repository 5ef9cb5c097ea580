"""The result of parareal and MGRIT on one process, and the residual history they agree on."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Literal, TypeAlias

import numpy as np
import numpy.typing as npt

from . import _checks as checks
from ._lagrange import LagrangeSpace
from ._legendre import LegendreSpace
from ._partition import TimeSlab
from ._propagator import counts
from ._solver import GalerkinSolution, _within_interval

if TYPE_CHECKING:  # pragma: no cover
    _Floats: TypeAlias = npt.NDArray[np.float64]
    _Space: TypeAlias = LegendreSpace | LagrangeSpace

# Ratios of consecutive residuals count as observed contractions while both residuals are above
# this many rounding units of the values at the C-points (below, rounding decides the ratio).
_ROUNDING_FLOOR = 1e3 * np.finfo(np.float64).eps


def join(space: _Space, pieces: Sequence[_Floats]) -> _Floats:
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


def square_sums(values: _Floats) -> list[float]:
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
    contraction : float or None
        The largest ratio of consecutive absolute residuals while both are above rounding (1e3
        rounding units of the values), None when there is none (fewer than two iterations above
        rounding).
    bound : float or None
        The bound on that ratio from the stability functions on the eigenvalues passed (None
        without them, or for MGRIT of more than two levels).
    n_intervals, n_factorizations, n_solves, n_quadrature_points : int
        This process's statistics: its intervals, and over all levels its factorisations, linear
        solves and points at which f was evaluated.
    nfev, njev, nlu, n_newton_iterations : int
        The nonlinear counts of ``GalerkinSolution`` (F and jac evaluations, factorisations, Newton
        iterations), over all levels of this process; 0 for a linear problem.
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
        history: tuple[list[float], list[float], float | None],
        bound: float | None,
        propagators: Sequence[object],
    ) -> None:
        # The attributes of GalerkinSolution, for this slab; the counts of the Galerkin propagators.
        self.space = slab.space
        self.coefficients, self.u0, self.end = coefficients, u0, end
        self.slab = slab
        relative, absolute, contraction = history
        self.iterations = len(relative) - 1
        self.residuals = tuple(relative)
        self.absolute_residuals = tuple(absolute)
        self.contraction = contraction
        self.bound = bound
        self.n_intervals = slab.n_intervals
        totals = counts(propagators)
        self.n_factorizations, self.n_solves = totals["n_factorizations"], totals["n_solves"]
        self.n_quadrature_points, self.nfev, self.njev = totals["n_quadrature_points"], totals["nfev"], totals["njev"]
        self.nlu, self.n_newton_iterations = self.n_factorizations, totals["n_newton_iterations"]
        self.n_rejected, self.error_estimate = 0, None

    def __call__(self, t: npt.ArrayLike, derivative: int = 0, side: Literal["left", "right"] = "right") -> _Floats:
        """The solution (or its time derivative) at times of this process's slab.

        Parameters
        ----------
        t : array_like of float, any shape
            Times in the slab, from ``slab.t0`` to ``slab.t1`` (see ``LegendreSpace.evaluate``
            with ``slab=``); at ``slab.t1`` the limit from this slab's last interval.
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
            As for ``LegendreSpace.evaluate`` with ``slab=``; a time outside the slab beyond the
            rounding of its ends (as for ``GalerkinSolution.__call__``).

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
        slab = self.slab
        _within_interval(times, slab.t0, slab.t1)
        if side == "right" and slab.k1 < self.space.n_t and (times == slab.t1).any():
            # The slab's end belongs to the next slab's first interval: here, this slab's limit.
            at_end = times == slab.t1
            values = self.space.evaluate(self.coefficients, np.where(at_end, slab.t0, times), derivative, slab=slab)
            values[:, at_end] = self.space.evaluate(
                self.coefficients, times[at_end], derivative, side="left", slab=slab
            )
        else:
            values = self.space.evaluate(self.coefficients, times, derivative, side=side, slab=slab)
        if side == "left" and derivative == 0 and slab.k0 == 0:  # the left limit at t0 is u0
            values[:, times <= self.space.t0] = self.u0[:, None]  # t0 and the times within rounding below
        return values

    def __repr__(self) -> str:
        return (
            f"ParallelSolution({self.space!r}, intervals [{self.slab.k0}, {self.slab.k1}), n="
            f"{self.coefficients.shape[0]}, iterations={self.iterations}, residual={self.residuals[-1]:.3g})"
        )


class History:
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
        if not math.isfinite(jumps) or not math.isfinite(values):  # the same on every rank
            raise ValueError(f"u0: the values at the C-points overflowed (residual {jumps!r} of values {values!r})")
        if self.absolute and min(self.absolute[-1], jumps) > _ROUNDING_FLOOR * values:
            self.ratios.append(jumps / self.absolute[-1])
        self.absolute.append(jumps)
        self.relative.append(jumps / values if values > 0.0 else jumps)
        iterations = len(self.relative) - 1
        return self.relative[-1] <= self.tol or jumps <= self.atol or iterations >= self.limit

    def result(self) -> tuple[list[float], list[float], float | None]:
        return self.relative, self.absolute, max(self.ratios) if self.ratios else None
