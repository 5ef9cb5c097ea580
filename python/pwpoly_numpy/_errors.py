"""The solver's failure that comes with what was computed before it."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # pragma: no cover
    from ._solver import GalerkinSolution


class ConvergenceError(RuntimeError):
    """A solve that stopped before the end of its time interval.

    Raised by ``solve_galerkin`` with a tolerance when the chosen intervals would exceed
    ``max_intervals`` or become shorter than a space's nodes allow. The message names the time
    reached.

    Parameters
    ----------
    message : str
        What stopped the solve, and when.
    solution : GalerkinSolution or None
        The solution so far.

    Attributes
    ----------
    solution : GalerkinSolution or None
        The solution over the intervals accepted before the failure (None when none was).

    Examples
    --------
    >>> A = np.array([[1.0]])
    >>> try:
    ...     pn.solve_galerkin(pn.LegendreSpace(1, 1, 10.0), A, [1.0], rtol=1e-8, max_intervals=4)
    ... except pn.ConvergenceError as error:
    ...     print(error.solution.space.n_t, error.solution.space.T < 10.0)
    4 True
    """

    def __init__(self, message: str, solution: GalerkinSolution | None) -> None:
        super().__init__(message)
        self.solution = solution
