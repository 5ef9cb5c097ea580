"""What parareal and MGRIT step with: the propagator interface, its Galerkin implementation, and
the runs of intervals the solvers ask of a propagator."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, Protocol, TypeAlias, runtime_checkable

import numpy as np
import numpy.typing as npt

from . import _checks as checks
from . import _quadrature as quadratures
from ._lagrange import LagrangeSpace
from ._legendre import LegendreSpace
from ._partition import Uniform
from ._solver import Stepper

if TYPE_CHECKING:  # pragma: no cover
    from .typing import Factorize, FloatArray, Matrix, TimeMatrix

    _Floats: TypeAlias = npt.NDArray[np.float64]
    _Space: TypeAlias = LegendreSpace | LagrangeSpace


@runtime_checkable
class Propagator(Protocol):
    """The time step ``parareal`` and ``mgrit`` run on: any object with ``step(space, k0, k1, u)``.

    A step gives the value at one breakpoint of a time grid from the value at an earlier one.
    Any object with this method is a propagator: the solvers call nothing else. ``space`` is the
    time grid of the call, a ``LegendreSpace`` or ``LagrangeSpace`` whose ``breakpoints`` are the
    times: the space given to the solver, or a coarser one on a subset of its breakpoints (the
    slab ends of parareal's coarse propagator, the levels of MGRIT). Only the breakpoints matter
    to a propagator that is not a Galerkin method; ``space.n_t`` tells the levels apart.

    A propagator may also have ``run(space, k0, k1, u)``, returning the values at breakpoints
    k0 + 1 ... k1 as an array of shape (k1 - k0, n): the solvers then step a run of intervals in
    one call instead of one call per interval (``GalerkinPropagator`` has it).

    See Also
    --------
    GalerkinPropagator : The default, dG(q) or cG(q) of M u' + A u = f.
    parareal, mgrit : The solvers that call it, with ``propagator=``.

    Examples
    --------
    Backward Euler for u' = -2 u, with a time grid of 8 intervals:

    >>> class Euler:
    ...     def step(self, space, k0, k1, u):
    ...         t = space.breakpoints
    ...         for k in range(k0, k1):
    ...             u = u / (1.0 + 2.0 * (t[k + 1] - t[k]))
    ...         return u
    >>> isinstance(Euler(), pn.Propagator)
    True
    >>> sol = pn.mgrit(pn.LegendreSpace(0, 8, 1.0), None, [1.0], propagator=Euler(), tol=1e-13)
    >>> bool(abs(sol.end[0] - 1.0 / 1.25**8) < 1e-13)
    True
    """

    def step(self, space: _Space, k0: int, k1: int, u: _Floats) -> npt.ArrayLike:
        """The value at ``space.breakpoints[k1]`` from the value `u` at ``space.breakpoints[k0]``.

        Parameters
        ----------
        space : LegendreSpace or LagrangeSpace
            The time grid: its breakpoints are the times.
        k0, k1 : int
            Breakpoint indices, 0 <= k0 < k1 <= ``space.n_t``.
        u : ndarray of float64, shape (n,)
            The value at ``space.breakpoints[k0]``; not to be changed.

        Returns
        -------
        array_like of float, shape (n,)
            The value at ``space.breakpoints[k1]``, finite.

        See Also
        --------
        GalerkinPropagator.step : The default's.

        Examples
        --------
        >>> class Decay:
        ...     def step(self, space, k0, k1, u):
        ...         return u * np.exp(-(space.breakpoints[k1] - space.breakpoints[k0]))
        >>> Decay().step(pn.LegendreSpace(0, 4, 1.0), 0, 4, np.array([1.0])).round(4)
        array([0.3679])
        """
        ...  # pragma: no cover


class GalerkinPropagator:
    """dG(q) or cG(q) of M u' + A u = f as a propagator, the default of ``parareal`` and ``mgrit``.

    On each space it is asked to step, it steps the method of that space (a ``LegendreSpace`` of
    degree q: dG(q); a ``LagrangeSpace``: cG(q)).

    What ``parareal`` and ``mgrit`` run when given ``A`` instead of ``propagator=``; the
    factorisations of each space are made once and kept.

    Parameters
    ----------
    A : (n, n) real sparse array or matrix, or ndarray
        As for ``solve_galerkin``.
    M, f : keyword-only, optional
        As for ``solve_galerkin``.
    F, jac : callable, optional, keyword-only
        The nonlinear part of the right-hand side and its Jacobian, passed on to the stepper.
    quadrature, factorize, workers : keyword-only, optional
        As for ``solve_galerkin``.

    See Also
    --------
    Propagator : The interface it implements.
    solve_galerkin : The same steps over a whole partition.

    Examples
    --------
    >>> P = pn.GalerkinPropagator(np.array([[2.0]]))
    >>> V = pn.LegendreSpace(2, 8, 1.0)
    >>> bool(P.step(V, 0, 8, np.array([1.0]))[0] == pn.solve_galerkin(V, np.array([[2.0]]), [1.0]).end[0])
    True
    """

    def __init__(
        self,
        A: Matrix | TimeMatrix | None,
        *,
        M: Matrix | None = None,
        f: Callable[[FloatArray], npt.ArrayLike] | None = None,
        F: Callable[..., npt.ArrayLike] | None = None,
        jac: Callable[..., Any] | None = None,
        quadrature: int | tuple[npt.ArrayLike, npt.ArrayLike] | None = None,
        factorize: Factorize | None = None,
        workers: int = 1,
    ) -> None:
        self._A = A
        self._f = f
        self._options: dict[str, Any] = {"M": M, "f": f, "quadrature": quadrature, "factorize": factorize,
                                         "workers": workers}  # fmt: skip
        # The nonlinear terms go to the stepper only when given.
        self._options |= {name: value for name, value in (("F", F), ("jac", jac)) if value is not None}
        self._n: int | None = None  # the length of u0, named in the messages, when the solver knows it
        self._made: dict[int, tuple[_Space, Stepper]] = {}

    def _homogeneous(self) -> GalerkinPropagator | None:
        """The same method without f, whose steps are linear in the start value; None when the
        problem is nonlinear (F given)."""
        if "F" in self._options:
            return None
        made = GalerkinPropagator(self._A)
        made._options, made._n = self._options | {"f": None}, self._n
        return made

    @property
    def _steppers(self) -> list[Stepper]:
        """The steppers made so far, one per space stepped."""
        return [stepper for _, stepper in self._made.values()]

    def _stepper(self, space: _Space) -> Stepper:
        """The stepper of `space`, made on the first call (the space is kept with it)."""
        made = self._made.get(id(space))
        if made is None:
            made = self._made[id(space)] = (space, Stepper(space, self._A, n=self._n, **self._options))
        return made[1]

    def _advance(self, space: _Space, k0: int, k1: int, u: _Floats) -> tuple[_Floats, _Floats]:
        """The coefficients of the intervals [k0, k1) (the layout of ``space.slab(k0, k1)``) and the
        value at breakpoints[k1]; a non-finite result is blamed on its source."""
        coefficients, end = self._stepper(space).advance(k0, k1, u)
        if not np.isfinite(end).all():  # a non-finite unknown reaches the end value
            raise self._blame(space, k0, k1, coefficients)
        return coefficients, end

    @property
    def _has_load(self) -> bool:
        """Whether f is given (else the steps from zero stay zero)."""
        return self._f is not None

    def step(self, space: _Space, k0: int, k1: int, u: _Floats) -> _Floats:
        """The value at ``space.breakpoints[k1]`` from `u` at ``space.breakpoints[k0]``.

        Parameters
        ----------
        space : LegendreSpace or LagrangeSpace
            The time grid and the method: dG(q) or cG(q) of its degree.
        k0, k1 : int
            Breakpoint indices, 0 <= k0 < k1 <= ``space.n_t``.
        u : ndarray of float64, shape (n,)
            The value at ``space.breakpoints[k0]``.

        Returns
        -------
        ndarray of float64, shape (n,)
            The value at ``space.breakpoints[k1]`` (the left limit there).

        Raises
        ------
        ValueError
            A non-finite value, naming `f` where it is not finite, else `u0` (an overflow).

        See Also
        --------
        solve_galerkin : The same steps over the whole partition.

        Examples
        --------
        >>> P = pn.GalerkinPropagator(np.array([[1.0]]))
        >>> P.step(pn.LegendreSpace(0, 4, 1.0), 0, 2, np.array([1.0]))
        array([0.64])
        """
        return self._advance(space, k0, k1, u)[1]

    def run(self, space: _Space, k0: int, k1: int, u: _Floats) -> _Floats:
        """The values at breakpoints k0 + 1 ... k1 from `u` at breakpoint k0, in one call.

        Parameters
        ----------
        space : LegendreSpace or LagrangeSpace
            As for ``step``.
        k0, k1 : int
            As for ``step``.
        u : ndarray of float64, shape (n,)
            The value at ``space.breakpoints[k0]``.

        Returns
        -------
        ndarray of float64, shape (k1 - k0, n)
            Row j: the value at ``space.breakpoints[k0 + 1 + j]``.

        See Also
        --------
        step : One value.

        Examples
        --------
        >>> P = pn.GalerkinPropagator(np.array([[1.0]]))
        >>> P.run(pn.LegendreSpace(0, 4, 1.0), 0, 2, np.array([1.0]))
        array([[0.8 ],
               [0.64]])
        """
        return breakpoint_values(space, self._advance(space, k0, k1, u)[0])

    def _blame(self, space: _Space, k0: int, k1: int, coefficients: _Floats) -> ValueError:
        """f, where it is not finite on the first interval with non-finite coefficients, else the
        step there, which overflowed."""
        n, w = coefficients.shape[0], k1 - k0
        if isinstance(space, LagrangeSpace):  # the start, then q nodal values an interval
            finite = np.isfinite(coefficients[:, 1:].reshape(n, w, -1)).all(axis=(0, 2))
        else:  # coefficient i of every interval, then i + 1
            finite = np.isfinite(coefficients.reshape(n, -1, w)).all(axis=(0, 1))
        bad = ~finite
        k = k0 + int(np.argmax(bad)) if bad.any() else k1 - 1
        a, b = (float(x) for x in space.breakpoints[k : k + 2])
        if self._f is not None:
            nodes = quadratures.rule(self._options["quadrature"], space.degree + 2)[0]
            t = quadratures.times(space._partition, k, k + 1, nodes)
            values = np.asarray(self._f(t), dtype=np.float64)
            if not np.isfinite(values).all():  # the stepper's own messages
                rows = values.reshape(-1, t.size)
                at = int(np.argmax(~np.isfinite(rows).all(axis=0)))
                bad = rows[:, at][~np.isfinite(rows[:, at])][0]
                return ValueError(f"f: expected finite values, got {float(bad)!r} at t = {float(t[at])!r}")
        return ValueError(f"u0: the step of interval {k} (t = {a!r} to {b!r}) overflows")


def breakpoint_values(space: _Space, coefficients: _Floats) -> _Floats:
    """The values at the ends of consecutive intervals from their coefficients (rows: the
    intervals): the last nodal value of each (cG), the sum of its Legendre coefficients (dG, every
    P_i is 1 at the right end), added in the order of the coefficients."""
    n = coefficients.shape[0]
    if isinstance(space, LagrangeSpace):  # the start, then q nodal values an interval
        return np.ascontiguousarray(coefficients[:, space.degree :: space.degree].T)
    per = coefficients.reshape(n, space.degree + 1, -1)  # coefficient i of every interval, then i + 1
    total = per[:, 0, :].copy()
    for i in range(1, space.degree + 1):
        total += per[:, i, :]
    return np.ascontiguousarray(total.T)


def checked(propagator: Propagator, space: _Space, k0: int, k1: int, value: object, n: int) -> _Floats:
    """A propagator's result as finite float64 of shape (n,), or an error naming the step."""
    u = np.asarray(value, dtype=np.float64)
    if u.shape != (n,):
        raise ValueError(f"propagator: its step from breakpoint {k0} to {k1} returned shape {u.shape}, expected ({n},)")
    if not np.isfinite(u).all():
        a, b = float(space.breakpoints[k0]), float(space.breakpoints[k1])
        raise ValueError(
            f"propagator: its step from breakpoint {k0} to {k1} (t = {a!r} to {b!r}) returned non-finite values"
        )
    return u


def step(propagator: Propagator, space: _Space, k0: int, k1: int, u: _Floats) -> _Floats:
    """The propagator's value at breakpoint k1 from u at k0, checked."""
    return checked(propagator, space, k0, k1, propagator.step(space, k0, k1, u), u.size)


def corrected_run(propagator: Propagator, space: _Space, k0: int, k1: int, u: _Floats, g: _Floats) -> _Floats:
    """The values at breakpoints k0 + 1 ... k1 from u at k0, each step's value plus its row of g
    (shape (k1 - k0, n)) before the next step starts from it: shape (k1 - k0, n).

    Every corrected run of the solvers goes through here."""
    if not isinstance(propagator, GalerkinPropagator):
        values = np.empty((k1 - k0, u.size))
        for j in range(k0, k1):
            u = values[j - k0] = step(propagator, space, j, j + 1, u) + g[j - k0]
        return values
    # One compiled run: row j of g is added to the end value of interval k0 + j inside the loop.
    coefficients, end = propagator._stepper(space).advance(k0, k1, u, corrections=g)
    if not np.isfinite(end).all():
        raise propagator._blame(space, k0, k1, coefficients)
    values = breakpoint_values(space, coefficients)
    values += g
    return values


def run(propagator: Propagator, space: _Space, k0: int, k1: int, u: _Floats) -> _Floats:
    """The values at breakpoints k0 + 1 ... k1 from u at k0: by the propagator's own run when it
    has one, else step by step."""
    own = getattr(propagator, "run", None)
    if own is None:
        return corrected_run(propagator, space, k0, k1, u, np.zeros((k1 - k0, u.size)))
    values = np.asarray(own(space, k0, k1, u), dtype=np.float64)
    if values.shape != (k1 - k0, u.size) or not np.isfinite(values).all():
        raise ValueError(
            f"propagator: its run from breakpoint {k0} to {k1} returned shape {values.shape} or non-finite "
            f"values, expected finite ones of shape ({k1 - k0}, {u.size})"
        )
    return values


def piece(propagator: Propagator, space: _Space, k0: int, k1: int, u: _Floats) -> tuple[_Floats, _Floats]:
    """The solution's coefficients on the intervals [k0, k1) and the value at k1: a Galerkin
    propagator's own, else the values at the breakpoints k0 ... k1 as the nodal values of
    continuous piecewise linears (see solution_space)."""
    if isinstance(propagator, GalerkinPropagator):
        return propagator._advance(space, k0, k1, u)
    values = run(propagator, space, k0, k1, u)
    return np.ascontiguousarray(np.vstack([u[None, :], values]).T), values[-1]


def solution_space(propagator: Propagator, space: _Space) -> _Space:
    """The space of the solution a propagator makes on `space`: the space itself for a Galerkin
    propagator, else continuous piecewise linears on its breakpoints."""
    if isinstance(propagator, GalerkinPropagator):
        return space
    return space_on(space, np.arange(space.n_t + 1, dtype=np.int64), 1, True)


def space_on(space: _Space, points: npt.NDArray[np.int64], degree: int, continuous: bool) -> _Space:
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


def counts(propagators: Sequence[object]) -> dict[str, int]:
    """The statistics of a ``GalerkinSolution`` (factorisations, solves, quadrature points and the
    nonlinear counts), summed over the steppers of the Galerkin propagators among these."""
    steppers = {id(s): s for p in propagators if isinstance(p, GalerkinPropagator) for s in p._steppers}
    names = ("n_factorizations", "n_solves", "n_quadrature_points", "nfev", "njev", "n_newton_iterations")
    return {name: sum(getattr(s, name) for s in steppers.values()) for name in names}


def propagator_of(value: object) -> Propagator:
    if not callable(getattr(value, "step", None)):
        raise TypeError(f"propagator: expected an object with a step(space, k0, k1, u) method, got "
                        f"{checks.describe(value)}")  # fmt: skip
    return value  # type: ignore[return-value]
