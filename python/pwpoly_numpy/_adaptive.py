"""Error control of solve_galerkin: the intervals chosen one step at a time for a tolerance.

The estimate is step doubling. A step of length H from t is made as the one interval
[t, t + H] and as its two halves, and the halves are kept. With p the order of the method at
interval ends (2q + 1 for dG(q), 2q for cG(q)) one interval's local error is C H^(p+1) to
leading order, so the halves' end value is in error by about (u_halves - u_whole) / (2^p - 1).
Both values come from the method itself, so the estimate holds wherever its order does, and on
stiff components: a dG(q) step multiplies by the (q, q + 1) Pade approximant of exp, which
vanishes at infinity, so the error of a stiff transient is overestimated, never missed. A
cG(q) step multiplies by the (q, q) approximant, which tends to (-1)^q: for even q the whole
and the halves keep a stiff component alike and the estimate cannot see its error.

What ``rtol`` controls is the error per unit step: a step is accepted when its estimate e
satisfies ``max_i |e_i| / (atol_i + rtol max(|u(t)|, |u(t + H)|)) <= max(H / (T - t0), 1e-3)``
(the bound 1e-3 for the short steps of a stiff transient, which would else ask for errors
below the rounding of their solves), |u| the
largest magnitude of a component (relative to the solution's size, not to each component's: a
component crossing zero or one small beside the others, as near the boundary of a heat problem,
is held to atol alone). The accepted local errors add up to at most the tolerance over [t0, T],
so for a problem that does not amplify errors the end error is about the tolerance and falls in
proportion to it.

The controller is a PI controller (Gustafsson; Hairer and Wanner; Soderlind):
``H_new = H * 0.9 * r^(-0.9/p) * r_prev^(0.2/p)`` for the ratio r of the accepted step (and
r_prev of the one before; r is proportional to H^p), ``H * 0.9 * r^(-1/p)`` after a rejection,
the factor held within [0.1, 4] (at most 1 right after a rejection, at most 1/4 after two
rejections in a row). Its integral gain 0.7/p is
kept high on purpose: with the length kept for factors up to 1.2, a gain of 0.3/p would settle
at steps 2.6 times shorter than the tolerance allows, 0.7/p at most 1.5 times. A rejected step is made again from the
same start. While the proposed factor lies within [1, 1.2] the length is kept, so that the
step matrices' factorisations (the cost of a step) are used again; the factorisations of the
last few lengths are kept.

The per-interval step is anything with the ``interval`` method of ``IntervalSteps``: a method
for M u' + A(t) u = f + F(t, u) whose step may fail to converge raises ``ConvergenceError``,
which the controller takes as a rejection and retries with a quarter of the length.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Protocol, TypeAlias, cast

import numpy as np
import numpy.typing as npt

from . import _checks as checks
from . import _partition as partitions
from ._errors import ConvergenceError
from ._lagrange import LagrangeSpace, _too_short
from ._legendre import LegendreSpace
from ._solver import GalerkinSolution, Stepper, _length_of_u0, start_value

if TYPE_CHECKING:  # pragma: no cover
    _Floats: TypeAlias = npt.NDArray[np.float64]

# The controller's constants (see the module's note).
_SAFETY = 0.9
_GROWTH = 4.0
_SHRINK = 0.1
_KEEP = 1.2  # a proposed factor within [1, _KEEP] keeps the length
_FAILED_STEP = 0.25  # the factor after a step that did not converge
_AGAIN = 0.25  # the largest factor after two rejections in a row
_ALPHA, _BETA = 0.9, 0.2
# A last step up to this many times the proposed length reaches T at once.
_STRETCH = 1.25
# Units of rounding (of 2^-52) of the end values below which the doubling's difference is noise.
_NOISE = 16.0 * 2.0**-52
# Steps shorter than (T - t0) / _SHORTEST_SHARE are held to rtol / _SHORTEST_SHARE, no tighter:
# the error per unit step would ask the very short steps of a stiff transient for errors below
# the rounding of their solves, and shrink them forever.
_SHORTEST_SHARE = 1e3
# Lengths whose factorisations are kept.
_KEPT_LENGTHS = 8
# The default atol relative to rtol and the largest |u0| (or 1 when u0 is zero).
_ATOL_OF_RTOL = 1e-3


class IntervalSteps(Protocol):
    """What the controller needs of a method: one interval stepped from a value, and counts."""

    n_factorizations: int
    n_solves: int
    n_quadrature_points: int

    def interval(self, a: float, b: float, h: float, u: _Floats) -> tuple[_Floats, _Floats]:
        """The coefficients of the interval [a, b] of nominal length h (the layout of a space
        with that one interval) and the value at b, from the value u at a."""
        ...


class LengthStepper(Stepper):
    """The linear stepper for one interval [a, b] at a time, of any length; the factorisations
    of the step matrices, which depend on the length alone, are kept for the last lengths used.

    The interval's load is integrated at the times the space on the chosen breakpoints forms,
    and its step matrices are those of the nominal length h (within rounding of b - a), so the
    solution agrees with a fixed-partition solve on the chosen breakpoints to rounding."""

    def __init__(self, space: LegendreSpace | LagrangeSpace, A: object, **options: Any) -> None:
        super().__init__(space, A, **options)
        self._kept: dict[float, tuple[Any, Any, bool]] = {}

    def interval(self, a: float, b: float, h: float, u: _Floats) -> tuple[_Floats, _Floats]:
        # The stepper's per-length state, made for a partition of the one interval [a, b].
        solvers, cache, complete = self._kept.pop(h, None) or ({}, None, False)
        self._solvers, self._compiled_cache, self._compiled_complete = solvers, cache, complete
        self._partition = partitions.Breakpoints(np.array([a, b]))
        self._lengths = self._unique = np.array([h])
        self._halves = np.array([h / 2.0])
        self._which = np.zeros(1, dtype=np.int64)
        try:
            return self.advance(0, 1, u)
        finally:
            self._kept[h] = (self._solvers, self._compiled_cache, self._compiled_complete)
            while len(self._kept) > _KEPT_LENGTHS:
                del self._kept[next(iter(self._kept))]


def absolute_tolerance(atol: object, rtol: float, u0: _Floats) -> _Floats:
    """``atol``: None (rtol * 1e-3 * max |u0|, or rtol * 1e-3 when u0 is zero), a positive number
    or a vector of n positive numbers; as a vector of shape (n,)."""
    n = u0.size
    if atol is None:
        largest = float(np.max(np.abs(u0)))
        return np.full(n, _ATOL_OF_RTOL * rtol * (largest if largest > 0.0 else 1.0))
    if isinstance(atol, (bool, np.bool_)):
        raise TypeError(f"atol: expected None, a positive number or {n} of them, got {checks.describe(atol)}")
    values = checks.as_float_array("atol", atol)
    if values.shape not in ((), (n,)):
        raise ValueError(f"atol: expected a number or shape ({n},) to match u0 of length {n}, got shape {values.shape}")
    if not (np.isfinite(values).all() and (values > 0.0).all()):
        raise ValueError(f"atol: expected finite positive values, got {checks.describe(atol)}")
    return np.broadcast_to(values, (n,)).astype(np.float64)


def solve_adaptive(
    space: LegendreSpace | LagrangeSpace,
    A: object,
    u0: npt.ArrayLike,
    *,
    rtol: object,
    atol: object,
    max_intervals: object,
    **options: Any,
) -> GalerkinSolution:
    """``solve_galerkin`` with a tolerance: the arguments checked, the linear stepper made, the
    intervals chosen by ``control``."""
    n = _length_of_u0(u0)
    if rtol is None:
        raise ValueError("rtol: expected a positive number with atol or max_intervals, got None")
    tolerance = checks.length("rtol", rtol)
    limit = None if max_intervals is None else checks.count("max_intervals", max_intervals, 1)
    steps = LengthStepper(space, A, n=n, **options)
    start = start_value("u0", u0, n)
    return control(space, steps, start, tolerance, absolute_tolerance(atol, tolerance, start), limit)


def order_at_ends(space: LegendreSpace | LagrangeSpace) -> int:
    """The order of the method at interval ends: 2q + 1 for dG(q), 2q for cG(q)."""
    q = space._degree
    return 2 * q + 1 if isinstance(space, LegendreSpace) else 2 * q


def control(
    space: LegendreSpace | LagrangeSpace,
    steps: IntervalSteps,
    u0: _Floats,
    rtol: float,
    atol: _Floats,
    limit: int | None,
) -> GalerkinSolution:
    """Steps from t0 to T of `space`, its first interval the first step, choosing the lengths for
    the tolerance (the module's note); the solution on the accepted intervals."""
    partition = space._partition
    t0, T = partition.t0, partition.T
    span = T - t0
    order = order_at_ends(space)
    richardson = 2.0**order - 1.0
    nodes = max(space._degree, 1)
    length = float(partition.lengths(0, 1)[0])
    t, u = t0, u0
    run = _Run(space, u0, steps)
    previous = 1.0  # the ratio of the last accepted step
    rejected = False
    while t < T:
        if limit is not None and len(run.blocks) + 2 > limit:
            raise ConvergenceError(
                f"max_intervals: {limit} intervals reached t = {t!r} before the end T = {T!r}", t, run.solution()
            )
        # Stretched to reach T, but never after a rejection: the retry is shorter than the step.
        last = t + (1.0 if rejected else _STRETCH) * length >= T
        b = T if last else t + length
        h = b - t if last else length
        middle = t + h / 2.0
        if _too_short(np.array([h / 2.0]), np.array([max(abs(t), abs(b))]), nodes)[0]:
            raise ConvergenceError(
                f"rtol: {rtol!r} not met at t = {t!r}: the step there would be {h!r}, shorter than the distinct "
                f"nodes of degree {space._degree} allow",
                t,
                run.solution(),
            )
        try:
            _whole, end_whole = steps.interval(t, b, h, u)
            first, u_middle = steps.interval(t, middle, h / 2.0, u)
            second, end = steps.interval(middle, b, h / 2.0, u_middle)
        except ConvergenceError:
            run.n_intervals += 3
            run.n_rejected += 1
            rejected = True
            length = h * _FAILED_STEP
            continue
        run.n_intervals += 3
        # A difference within a few units of rounding of the values is no error signal: without
        # this floor a tolerance near the rounding of the values would shrink the steps forever.
        noise = _NOISE * np.maximum(np.abs(end), np.abs(end_whole))
        estimate = np.maximum(np.abs(end - end_whole) - noise, 0.0) / richardson
        scale = atol + rtol * max(float(np.max(np.abs(u))), float(np.max(np.abs(end))))
        with np.errstate(over="ignore", invalid="ignore"):
            ratio = float(np.max(estimate / scale)) * min(span / h, _SHORTEST_SHARE)
        if not ratio <= 1.0:  # NaN too
            run.n_rejected += 1
            factor = _SHRINK if math.isnan(ratio) else max(_SHRINK, _SAFETY * ratio ** (-1.0 / order))
            if rejected:
                # A second rejection in a row: the error is not falling as H^p (a stiff transient
                # under a step too long to see it), so the prediction is not trusted.
                factor = min(factor, _AGAIN)
            rejected = True
            length = h * min(factor, 1.0)
            continue
        run.accept((middle, b), (first, second), end, float(np.max(estimate)))
        t, u = b, end
        ratio = max(ratio, 1e-10)
        factor = _SAFETY * ratio ** (-_ALPHA / order) * previous ** (_BETA / order)
        factor = min(1.0 if rejected else _GROWTH, max(_SHRINK, factor))
        previous, rejected = ratio, False
        if not 1.0 <= factor <= _KEEP:
            length = h * factor
    solution = run.solution()
    assert solution is not None  # T reached: at least one step accepted
    return solution


class _Run:
    """The accepted intervals of a run and its counts."""

    def __init__(self, space: LegendreSpace | LagrangeSpace, u0: _Floats, steps: IntervalSteps) -> None:
        self.space, self.u0, self.steps = space, u0, steps
        self.breakpoints = [space._partition.t0]
        self.blocks: list[_Floats] = []
        self.estimates: list[float] = []
        self.n_intervals = 0
        self.n_rejected = 0
        self.end = u0

    def accept(self, ends: tuple[float, float], blocks: tuple[_Floats, _Floats], end: _Floats, estimate: float) -> None:
        self.end = end
        self.breakpoints.extend(ends)
        self.blocks.extend(blocks)
        self.estimates.extend((estimate, estimate))

    def solution(self) -> GalerkinSolution | None:
        """The solution on the accepted intervals (None before the first)."""
        if not self.blocks:
            return None
        ends = np.array(self.breakpoints)
        q = self.space._degree
        space: LegendreSpace | LagrangeSpace
        if isinstance(self.space, LegendreSpace):
            space = LegendreSpace(q, breakpoints=ends)
            # Degree-major: coefficient i of interval k at column i * n_t + k.
            coefficients = np.stack(self.blocks, axis=2).reshape(self.u0.size, -1)
        else:
            space = LagrangeSpace(q, breakpoints=ends)
            coefficients = np.concatenate([self.u0[:, None]] + [block[:, 1:] for block in self.blocks], axis=1)
        # The solution reads the counts of the steps alone.
        steps = cast(Stepper, self.steps)
        solution = GalerkinSolution(space, np.ascontiguousarray(coefficients), self.u0.copy(), self.end.copy(), steps)
        solution.n_intervals = self.n_intervals
        solution.n_rejected = self.n_rejected
        solution.error_estimate = np.array(self.estimates)
        return solution
