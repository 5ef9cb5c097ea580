"""The solver's failure that comes with what was computed before it."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # pragma: no cover
    from ._solver import GalerkinSolution


class ConvergenceError(RuntimeError):
    """A solve that stopped before the end of its time interval; nothing computed is lost.

    Raised by ``solve_galerkin`` when Newton's iteration on an interval diverges or stalls even
    with a Jacobian and factorisations made afresh for the interval (a solution that blows
    up within the interval, a step too long for the nonlinearity), and with a tolerance when the
    chosen intervals would exceed ``max_intervals`` or become shorter than a space's nodes allow.
    The message names the time reached.

    Parameters
    ----------
    message : str
        What stopped the solve, and when.
    time : float
        The time reached: the start of the interval that failed.
    solution : GalerkinSolution or None
        The solution so far.

    Attributes
    ----------
    time : float
        The time reached: the start of the interval that failed.
    solution : GalerkinSolution or None
        The solution over the intervals completed before that time, on a space of the same kind
        and degree on the completed breakpoints (its last breakpoint is `time`); None when the
        first interval failed.

    Examples
    --------
    >>> A = np.array([[1.0]])
    >>> try:
    ...     pn.solve_galerkin(pn.LegendreSpace(1, 1, 10.0), A, [1.0], rtol=1e-8, max_intervals=4)
    ... except pn.ConvergenceError as error:
    ...     print(error.solution.space.n_t, error.solution.space.T < 10.0)
    4 True
    >>> F = lambda t, u: u * u  # u' = u^2, u(0) = 1: u = 1 / (1 - t) blows up at t = 1
    >>> try: pn.solve_galerkin(pn.LegendreSpace(1, 8, 2.0), None, [1.0], F=F)
    ... except pn.ConvergenceError as error: print(error.time, error.solution.space.T)
    0.75 0.75
    """

    def __init__(self, message: str, time: float, solution: GalerkinSolution | None) -> None:
        super().__init__(message)
        self.time = time
        self.solution = solution
