"""solve_galerkin with a tolerance: the intervals it chooses, the error it promises, its failures."""

from __future__ import annotations

import itertools
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt
import pytest

import pwpoly_numpy as pn

Floats = npt.NDArray[np.float64]


class Problem:
    """M u' + A u = f on [0, T] with its exact solution."""

    def __init__(
        self,
        A: Floats,
        exact: Callable[[Floats], Floats],
        T: float,
        f: Callable[[Floats], Floats] | None = None,
    ) -> None:
        self.A, self.exact, self.T, self.f = A, exact, T, f

    @property
    def u0(self) -> Floats:
        return self.exact(np.array([0.0]))[:, 0]

    def end(self) -> Floats:
        return self.exact(np.array([self.T]))[:, 0]


def _rotation() -> Problem:
    # u1' = u2, u2' = -u1: errors neither grow nor decay.
    return Problem(np.array([[0.0, -1.0], [1.0, 0.0]]), lambda t: np.array([np.cos(t), -np.sin(t)]), 3.0)


def _forced_decay() -> Problem:
    # u' + 2 u = f with u = 2 + sin(3 t).
    return Problem(
        np.array([[2.0]]),
        lambda t: (2.0 + np.sin(3.0 * t))[None, :],
        2.0,
        lambda t: 3.0 * np.cos(3.0 * t) + 2.0 * (2.0 + np.sin(3.0 * t)),
    )


def _stiff_pair() -> Problem:
    # Eigenvalues 1 and 1e6 of A (u' = -A u) in a rotated basis: a transient of length 1e-6.
    rotation = np.array([[0.8, -0.6], [0.6, 0.8]])
    rates = np.array([1.0, 1e6])
    A = rotation @ np.diag(rates) @ rotation.T

    def exact(t: Floats) -> Floats:
        return rotation @ (np.exp(-rates[:, None] * t[None, :]) * np.array([1.0, 1.0])[:, None])

    return Problem(A, exact, 1.0)


PROBLEMS = {"rotation": _rotation, "forced decay": _forced_decay}
SPACES = {"dG": pn.LegendreSpace, "cG": pn.LagrangeSpace}


def _solve(problem: Problem, kind: str, q: int, rtol: float, **options: Any) -> pn.GalerkinSolution:
    space = SPACES[kind](q, 1, problem.T)
    return pn.solve_galerkin(space, problem.A, problem.u0, f=problem.f, rtol=rtol, **options)


@pytest.mark.parametrize("problem", PROBLEMS)
@pytest.mark.parametrize("q", [1, 2, 3, 4])
@pytest.mark.parametrize("kind", SPACES)
def test_end_error_within_the_tolerance_and_falling_with_it(kind: str, q: int, problem: str) -> None:
    case = PROBLEMS[problem]()
    exact = case.end()
    errors = []
    for rtol in [1e-3, 1e-5, 1e-7] + ([1e-10] if q > 1 else []):
        sol = _solve(case, kind, q, rtol)
        error = float(np.max(np.abs(sol.end - exact)))
        atol = 1e-3 * rtol * float(np.max(np.abs(case.u0)))  # the default
        assert error <= 10.0 * max(rtol * float(np.max(np.abs(exact))), atol), (rtol, error)
        errors.append(error)
    # Falling with rtol; equal where a tolerance is met by the fewest intervals (one doubled step).
    assert all(later <= earlier for earlier, later in itertools.pairwise(errors)), errors
    assert errors[-1] < 1e-3 * errors[0], errors


@pytest.mark.parametrize("kind", SPACES)
@pytest.mark.parametrize("q", [1, 3])
def test_chosen_space_gives_the_fixed_partition_solution(kind: str, q: int) -> None:
    case = _forced_decay()
    sol = _solve(case, kind, q, 1e-6)
    space = sol.space
    assert type(space) is SPACES[kind] and space.degree == q
    assert space.t0 == 0.0 and space.T == case.T
    # A space of the same kind on the chosen breakpoints accepts them as they are.
    assert SPACES[kind](q, breakpoints=space.breakpoints) == space
    fixed = pn.solve_galerkin(space, case.A, case.u0, f=case.f)
    t = np.linspace(0.0, case.T, 1001)
    assert np.max(np.abs(sol(t) - fixed(t))) <= 1e-12 * np.max(np.abs(fixed(t)))
    assert sol.error_estimate is not None and sol.error_estimate.shape == (space.n_t,)
    assert fixed.error_estimate is None and fixed.n_rejected == 0


def test_rejected_steps_are_counted_with_their_work() -> None:
    # A first interval far too long for the tolerance: rejected, then shorter ones.
    case = _rotation()
    sol = pn.solve_galerkin(pn.LegendreSpace(2, 1, case.T), case.A, case.u0, rtol=1e-9)
    assert sol.n_rejected >= 1
    # Every attempt steps the whole and its two halves; the accepted ones leave two intervals.
    attempts = sol.space.n_t // 2 + sol.n_rejected
    assert sol.n_intervals == 3 * attempts
    assert sol.n_solves >= sol.n_intervals  # at least one solve per interval stepped


@pytest.mark.parametrize("kind", SPACES)
def test_stiff_transient_steps_over_many_orders(kind: str) -> None:
    case = _stiff_pair()
    q = 2
    # A first interval shorter than the transient (of a longer one the damped transient is not
    # seen: the values at the ends are right, the polynomial inside is not).
    space = SPACES[kind](q, breakpoints=[0.0, 1e-9, case.T])
    sol = pn.solve_galerkin(space, case.A, case.u0, rtol=1e-6)
    lengths = np.diff(sol.space.breakpoints)
    assert lengths.max() / lengths.min() > 1e4
    # The values at the interval ends, through the transient and after it, are what rtol holds.
    t = sol.space.breakpoints
    assert np.max(np.abs(sol(t, side="left") - case.exact(t))) <= 1e-5


def test_prothero_robinson_follows_its_smooth_solution() -> None:
    # u' = lam (u - g) + g' with lam = -1e8: the solution g(t) = sin(t) from u(0) = g(0).
    lam = -1e8
    sol = pn.solve_galerkin(
        pn.LegendreSpace(2, 1, 10.0),
        np.array([[-lam]]),
        [0.0],
        f=lambda t: -lam * np.sin(t) + np.cos(t),
        rtol=1e-6,
    )
    t = np.linspace(0.0, 10.0, 101)
    assert np.max(np.abs(sol(t)[0] - np.sin(t))) <= 1e-5
    # The steps follow g, not the time scale 1e-8 of the stiff decay.
    assert np.diff(sol.space.breakpoints).min() > 1e-6


@pytest.mark.parametrize(
    ("options", "error", "message"),
    [
        ({"rtol": 0.0}, ValueError, "rtol: expected a finite positive"),
        ({"rtol": -1e-6}, ValueError, "rtol: expected a finite positive"),
        ({"rtol": float("nan")}, ValueError, "rtol: expected a finite positive"),
        ({"rtol": "1e-6"}, TypeError, "rtol: "),
        ({"atol": 1e-9}, ValueError, "rtol: expected a positive number with atol"),
        ({"rtol": 1e-6, "atol": [1e-9, 1e-9, 1e-9]}, ValueError, r"atol: expected a number or shape \(2,\)"),
        ({"rtol": 1e-6, "atol": 0.0}, ValueError, "atol: expected finite positive"),
        ({"rtol": 1e-6, "atol": float("nan")}, ValueError, "atol: expected finite positive"),
        ({"rtol": 1e-6, "max_intervals": 0}, ValueError, "max_intervals: expected an integer >= 1"),
        ({"rtol": 1e-6, "max_intervals": 2.5}, TypeError, "max_intervals: expected an integer"),
    ],
)
def test_misuse_names_the_argument(options: dict[str, Any], error: type[Exception], message: str) -> None:
    case = _rotation()
    with pytest.raises(error, match=message):
        pn.solve_galerkin(pn.LegendreSpace(1, 1, case.T), case.A, case.u0, **options)


@pytest.mark.parametrize("kind", SPACES)
def test_max_intervals_stops_with_the_accepted_part(kind: str) -> None:
    case = _forced_decay()
    with pytest.raises(pn.ConvergenceError, match=r"max_intervals: 6 intervals reached t = ") as raised:
        _solve(case, kind, 1, 1e-10, max_intervals=6)
    partial = raised.value.solution
    assert partial is not None and partial.space.n_t == 6
    assert partial.space.T < case.T
    reached = float(partial.space.T)
    assert f"t = {reached!r}" in str(raised.value)
    assert abs(partial.end[0] - case.exact(np.array([reached]))[0, 0]) <= 1e-8


def test_a_step_below_the_node_rule_stops_naming_the_time() -> None:
    # Far from 0 the floats are coarse: a tolerance that asks for steps below their spacing.
    case = _rotation()
    space = pn.LegendreSpace(1, breakpoints=[1e15, 1e15 + 4.0])
    with pytest.raises(pn.ConvergenceError, match=r"rtol: 1e-12 not met at t = 1000000000000000.0: the step") as raised:
        pn.solve_galerkin(space, case.A, case.u0, rtol=1e-12, atol=1e-14)
    partial = raised.value.solution
    assert partial is None or partial.space.t0 == 1e15
