"""solve_galerkin on M u' + A(t) u = f + F(t, u): orders against closed forms, stiffness, the
linear problem met through F or a callable A, an independent reference, failure with the
completed part kept, and the misuse and non-finite values named by argument."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
import pytest
import scipy.integrate
import scipy.sparse

import pwpoly_numpy as pn
from pwpoly_numpy import _solver as pn_solver

Space = pn.LegendreSpace | pn.LagrangeSpace


def space_of(kind: str, q: int, n_t: int, t0: float, T: float, graded: bool) -> Space:
    cls = pn.LegendreSpace if kind == "dG" else pn.LagrangeSpace
    s = np.linspace(0.0, 1.0, n_t + 1)
    if graded:
        s = (s + s**2) / 2.0  # intervals growing by a factor 3 from t0 to T
    return cls(q, breakpoints=t0 + (T - t0) * s)


class Problem:
    """A problem with a closed-form solution: the keyword arguments of solve_galerkin and u(t)."""

    def __init__(self, name: str, n: int, exact: Callable[[float], Any], **arguments: Any) -> None:
        self.name, self.n, self.exact, self.arguments = name, n, exact, arguments

    def __repr__(self) -> str:
        return self.name


def _heat_mode(n: int) -> tuple[Any, Any, np.ndarray[Any, Any], float]:
    """K (stiffness), M (P1 mass) and their first common eigenvector v, K v = mu M v."""
    i = np.arange(1, n + 1)
    K = scipy.sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(n, n)) * (n + 1) ** 2
    M = scipy.sparse.diags_array([1 / 6, 2 / 3, 1 / 6], offsets=[-1, 0, 1], shape=(n, n))
    c = np.cos(np.pi / (n + 1))
    mu = (n + 1) ** 2 * (2.0 - 2.0 * c) / (2 / 3 + c / 3)
    return scipy.sparse.csr_array(K), scipy.sparse.csr_array(M), np.sin(np.pi * i / (n + 1)), float(mu)


def problems(t0: float) -> list[Problem]:
    K, M, v, mu = _heat_mode(12)

    def ring(t: float) -> Any:  # x' = x (1 - r^2) - y, y' = y (1 - r^2) + x from r = 0.5, angle 0
        r = 1.0 / np.sqrt(1.0 + 3.0 * np.exp(-2.0 * (t - t0)))
        return r * np.array([np.cos(t - t0), np.sin(t - t0)])

    def ring_F(t: float, u: Any) -> Any:
        s = 1.0 - u[0] ** 2 - u[1] ** 2
        return np.array([u[0] * s - u[1], u[1] * s + u[0]])

    def ring_jac(t: float, u: Any) -> Any:
        s = 1.0 - u[0] ** 2 - u[1] ** 2
        return np.array([[s - 2 * u[0] ** 2, -2 * u[0] * u[1] - 1.0], [-2 * u[0] * u[1] + 1.0, s - 2 * u[1] ** 2]])

    def a_integral(t: float) -> float:  # of a(t) = (2 + sin(t)) / 20 from t0
        return ((t - t0) * 2.0 - (np.cos(t) - np.cos(t0))) / 20.0

    return [
        Problem(
            "quadratic decay",
            1,
            lambda t: np.array([1.0 / (1.0 + t - t0)]),
            A=None,
            u0=[1.0],
            F=lambda t, u: -u * u,
            jac=lambda t, u: np.array([[-2.0 * u[0]]]),
        ),
        Problem(
            "logistic",
            1,
            lambda t: np.array([1.0 / (1.0 + 3.0 * np.exp(-(t - t0)))]),
            A=None,
            u0=[0.25],
            F=lambda t, u: u * (1.0 - u),
            jac=lambda t, u: np.array([[1.0 - 2.0 * u[0]]]),
        ),
        Problem("ring", 2, ring, A=None, u0=[0.5, 0.0], F=ring_F, jac=ring_jac),
        Problem(
            "growing rate",
            1,
            lambda t: np.array([np.exp(-(t - t0) - (t**2 - t0**2) / 2.0)]),
            A=lambda t: np.array([[1.0 + t]]),
            u0=[1.0],
        ),
        Problem(
            "sparse A(t), SPD mass",
            12,
            lambda t: np.exp(-mu * a_integral(t)) * v,
            A=lambda t: (2.0 + np.sin(t)) / 20.0 * K,
            M=M,
            u0=v,
        ),
    ]


def end_error(problem: Problem, space: Space, **extra: Any) -> float:
    arguments = dict(problem.arguments)
    A, u0 = arguments.pop("A"), arguments.pop("u0")
    sol = pn.solve_galerkin(space, A, u0, **arguments, **extra)
    exact = problem.exact(space.T)
    return float(np.max(np.abs(sol.end - exact)) / np.max(np.abs(exact)))


@pytest.mark.parametrize("index", range(5), ids=[p.name for p in problems(0.0)])
@pytest.mark.parametrize(("kind", "q"), [("dG", 0), ("dG", 1), ("dG", 2), ("dG", 3), ("cG", 1), ("cG", 2), ("cG", 3)])
@pytest.mark.parametrize(("t0", "graded"), [(0.0, False), (0.7, True)])
def test_end_values_converge_at_the_superconvergent_order(
    index: int, kind: str, q: int, t0: float, graded: bool
) -> None:
    problem = problems(t0)[index]
    T = t0 + 2.0
    order = 2 * q + 1 if kind == "dG" else 2 * q
    coarse = 4 if order >= 5 else 8
    errors = [end_error(problem, space_of(kind, q, n_t, t0, T, graded)) for n_t in (coarse, 2 * coarse, 4 * coarse)]
    # The finest pair above the rounding floor.
    fine = 2 if errors[2] > 1e-11 else 1
    if errors[fine] < 1e-11:
        pytest.skip("at the rounding floor")
    observed = np.log2(errors[fine - 1] / errors[fine])
    assert observed > order - 0.4, (errors, observed)


@pytest.mark.parametrize("kind", ["dG", "cG"])
@pytest.mark.parametrize("q", [1, 2, 3])
def test_prothero_robinson_is_stiffly_accurate_with_long_intervals(kind: str, q: int) -> None:
    lam = -1e8

    def F(t: float, u: Any) -> Any:
        return lam * (u - np.sin(t)) + np.cos(t)

    errors = []
    for n_t in (4, 8, 16):
        sol = pn.solve_galerkin(space_of(kind, q, n_t, 0.0, 2.0, False), None, [0.0], F=F,
                                jac=lambda t, u: np.array([[lam]]))  # fmt: skip
        errors.append(abs(float(sol.end[0]) - np.sin(2.0)))
    # Long intervals, |lambda h| = 5e7 and more: an error of the size of the smooth part's
    # interpolation error, shrinking at least as h^2.
    assert errors[0] < 0.05 and errors[1] < errors[0] / 3.5 and errors[2] < errors[1] / 3.5, errors


@pytest.mark.parametrize("q", [0, 1, 2, 3])
def test_dg_damps_a_stiff_initial_layer_within_one_interval(q: int) -> None:
    lam = -1e8

    def F(t: float, u: Any) -> Any:
        return lam * (u - np.sin(t)) + np.cos(t)

    # u0 = 1 off the smooth solution sin(t): dG's end value is L-stable, so the layer leaves no
    # trace after the first long interval (cG's (q, q) Pade factor would keep it, of modulus 1).
    sol = pn.solve_galerkin(pn.LegendreSpace(q, 8, 2.0), None, [1.0], F=F, jac=lambda t, u: np.array([[lam]]))
    smooth = pn.solve_galerkin(pn.LegendreSpace(q, 8, 2.0), None, [0.0], F=F, jac=lambda t, u: np.array([[lam]]))
    assert abs(sol.end[0] - smooth.end[0]) < 1e-6
    assert abs(sol(0.25, side="left")[0] - smooth(0.25, side="left")[0]) < 1e-6


@pytest.mark.parametrize("kind", ["dG", "cG"])
@pytest.mark.parametrize("n", [3, 40])
def test_nonlinear_part_linear_in_u_gives_the_linear_solution(kind: str, n: int) -> None:
    rng = np.random.default_rng(n)
    B = scipy.sparse.diags_array([-1.0, 2.5, -1.0], offsets=[-1, 0, 1], shape=(n, n)).toarray() * 3.0
    B += 0.1 * rng.standard_normal((n, n)) * (np.abs(np.subtract.outer(np.arange(n), np.arange(n))) <= 1)
    u0 = rng.standard_normal(n)
    space = space_of(kind, 2, 10, 0.2, 1.3, True)
    linear = pn.solve_galerkin(space, B, u0)
    through_F = pn.solve_galerkin(space, None, u0, F=lambda t, u: -(B @ u), jac=lambda t, u: -B)
    through_A = pn.solve_galerkin(space, lambda t: B, u0)
    sparse_A = pn.solve_galerkin(space, lambda t: scipy.sparse.csr_array(B), u0)
    scale = np.max(np.abs(linear.coefficients))
    for other in (through_F, through_A, sparse_A):
        assert np.max(np.abs(other.coefficients - linear.coefficients)) < 1e-12 * scale
        assert np.max(np.abs(other.end - linear.end)) < 1e-12 * scale


@pytest.mark.parametrize("kind", ["dG", "cG"])
@pytest.mark.parametrize(("with_M", "with_f"), [(False, False), (True, False), (False, True), (True, True)])
@pytest.mark.parametrize("vectorized", [False, True])
def test_small_system_with_constant_A_agrees_with_A_as_a_callable(
    kind: str, with_M: bool, with_f: bool, vectorized: bool
) -> None:
    # A constant A takes the small systems' update formed from the frozen inverse, a callable
    # one the residual: the two must reach the same discrete solution on a graded partition.
    A = np.array([[2.0, -1.0, 0.0], [-1.0, 2.0, -1.0], [0.5, -1.0, 2.0]])
    M = np.array([[2.0, 0.5, 0.0], [0.5, 2.0, 0.5], [0.0, 0.5, 1.0]]) if with_M else None
    f = (lambda t: np.outer([1.0, 0.0, -1.0], np.cos(3.0 * np.atleast_1d(t))).squeeze()) if with_f else None

    def F(t: Any, u: Any) -> Any:
        return np.array([-(u[0] ** 3), np.sin(u[0]) * u[1], -u[2] * u[1]])

    arguments: dict[str, Any] = {"M": M, "f": f, "F": F, "vectorized": vectorized}
    space = space_of(kind, 2, 12, 0.3, 2.3, True)
    u0 = [1.0, -0.5, 0.8]
    frozen = pn.solve_galerkin(space, A, u0, **arguments)
    called = pn.solve_galerkin(space, lambda t: A, u0, **arguments)
    scale = np.max(np.abs(called.coefficients))
    assert np.max(np.abs(frozen.coefficients - called.coefficients)) < 1e-12 * scale
    assert np.max(np.abs(frozen.end - called.end)) < 1e-12 * scale
    assert frozen.nfev == called.nfev and frozen.n_newton_iterations == called.n_newton_iterations


@pytest.mark.parametrize(("kind", "q", "n_t"), [("dG", 2, 400), ("dG", 3, 200), ("cG", 3, 300)])
@pytest.mark.parametrize("jacobian", ["exact", "differences", "vectorized"])
def test_van_der_pol_agrees_with_an_independent_solver(kind: str, q: int, n_t: int, jacobian: str) -> None:
    mu = 5.0

    def F(t: Any, u: Any) -> Any:
        return np.array([u[1], mu * (1.0 - u[0] ** 2) * u[1] - u[0]])

    def jac(t: float, u: Any) -> Any:
        return np.array([[0.0, 1.0], [-2.0 * mu * u[0] * u[1] - 1.0, mu * (1.0 - u[0] ** 2)]])

    reference = scipy.integrate.solve_ivp(F, (0.0, 3.0), [2.0, 0.0], method="Radau", rtol=1e-12, atol=1e-12,
                                          jac=jac).y[:, -1]  # fmt: skip
    options: dict[str, Any] = {"F": F, "jac": jac if jacobian == "exact" else None}
    if jacobian == "vectorized":
        options["vectorized"] = True
    sol = pn.solve_galerkin(space_of(kind, q, n_t, 0.0, 3.0, False), None, [2.0, 0.0], **options)
    assert np.max(np.abs(sol.end - reference)) < 1e-7
    assert (sol.njev >= 1) == (jacobian == "exact")
    # The Jacobian is kept over many intervals on this smooth solution.
    assert (sol.njev if jacobian == "exact" else sol.nlu) < n_t / 2


def counted(function: Callable[..., Any]) -> tuple[Callable[..., Any], list[int]]:
    calls = [0]

    def wrapper(*arguments: Any) -> Any:
        calls[0] += 1
        return function(*arguments)

    return wrapper, calls


@pytest.mark.parametrize("vectorized", [False, True])
@pytest.mark.parametrize("with_jac", [False, True])
def test_statistics_count_the_calls(vectorized: bool, with_jac: bool) -> None:
    F, F_calls = counted(lambda t, u: -u * u * u)
    jac, jac_calls = counted(lambda t, u: np.diag(-3.0 * u * u))
    sol = pn.solve_galerkin(pn.LegendreSpace(2, 50, 5.0), None, [1.0, 2.0], F=F, jac=jac if with_jac else None,
                            vectorized=vectorized)  # fmt: skip
    assert (sol.nfev, sol.njev) == (F_calls[0], jac_calls[0])
    assert sol.nlu == sol.n_factorizations >= 1
    assert sol.n_newton_iterations >= sol.n_intervals
    assert sol.n_solves == sol.n_newton_iterations  # one coupled product per iteration at this size
    exact = np.array([1.0, 2.0]) / np.sqrt(1.0 + 2.0 * 5.0 * np.array([1.0, 4.0]))
    assert np.max(np.abs(sol.end - exact)) < 1e-6


@pytest.mark.parametrize("kind", ["dG", "cG"])
def test_blow_up_raises_with_the_completed_part_kept(kind: str) -> None:
    space = space_of(kind, 2, 16, 0.0, 2.0, False)

    def F(t: float, u: Any) -> Any:
        return u * u

    with pytest.raises(pn.ConvergenceError) as caught:
        pn.solve_galerkin(space, None, [1.0], F=F)
    error = caught.value
    assert isinstance(error, RuntimeError)
    assert error.time <= 1.0 and repr(error.time) in str(error)
    partial = error.solution
    assert partial is not None and partial.space.T == error.time
    np.testing.assert_array_equal(partial.space.breakpoints, space.breakpoints[: partial.n_intervals + 1])
    again = pn.solve_galerkin(partial.space, None, [1.0], F=F)
    np.testing.assert_allclose(partial.coefficients, again.coefficients, rtol=1e-13)
    np.testing.assert_allclose(partial.end, again.end, rtol=1e-13)
    assert partial.end[0] > 2.0  # it grew on the way to t = 1


def test_failure_on_the_first_interval_keeps_no_solution() -> None:
    with pytest.raises(pn.ConvergenceError) as caught:
        pn.solve_galerkin(pn.LegendreSpace(1, 2, 4.0), None, [1.0], F=lambda t, u: u * u)
    assert caught.value.solution is None and caught.value.time == 0.0


def raises_at(t_bad: float, good: Any, bad: Any) -> Callable[..., Any]:
    """A callable returning `good` before t_bad and `bad` from it on."""

    def function(t: Any, *rest: Any) -> Any:
        return bad if np.max(t) >= t_bad else good

    return function


SQUARE = np.array([[1.0, 0.0], [0.0, 2.0]])
NAN = np.array([np.nan, 1.0])


@pytest.mark.parametrize(
    ("arguments", "error", "message"),
    [
        ({"F": raises_at(0.5, np.zeros(2), NAN)}, ValueError, "F: returned a non-finite value at t=0.5"),
        ({"F": raises_at(0.5, np.zeros(2), np.zeros(3))}, ValueError, "F: returned an array of shape (3,) at t=0.5"),
        ({"F": raises_at(0.0, 0, "text")}, TypeError, "F: returned 'text'"),
        (
            {"F": raises_at(0.5, np.zeros(2), np.zeros(2) + 1j)},
            TypeError,
            "F: expected real numbers, got complex ones at t=0.5",
        ),
        (
            {"F": lambda t, u: -u, "jac": raises_at(0.0, 0, np.full((2, 2), np.inf))},
            ValueError,
            "jac: returned a non-finite",
        ),
        (
            {"F": lambda t, u: -u, "jac": raises_at(0.0, 0, np.eye(3))},
            ValueError,
            "jac: returned a matrix of shape (3, 3)",
        ),
        ({"F": lambda t, u: -u, "jac": lambda t, u: None}, ValueError, "jac: returned a matrix of shape ()"),
        ({"A": raises_at(0.5, SQUARE, SQUARE * np.nan)}, ValueError, "A: returned a non-finite value at t=0.5"),
        ({"A": raises_at(0.5, SQUARE, np.eye(3))}, ValueError, "A: returned a matrix of shape (3, 3) at t=0.5"),
        ({"F": 3.0}, TypeError, "F: expected None or a callable, got 3.0"),
        ({"jac": lambda t, u: SQUARE}, ValueError, "jac: given without F"),
        ({"F": lambda t, u: -u, "vectorized": 1}, TypeError, "vectorized: expected True or False"),
        ({"F": lambda t, u: np.zeros((2, 1)), "vectorized": True}, ValueError, "F: returned an array of shape (2, 1)"),
        ({"A": "text"}, TypeError, "A: "),
        ({"F": lambda t, u: -u, "newton_tol": 0.0}, ValueError, "newton_tol: expected a number between 0 and 1"),
        ({"F": lambda t, u: -u, "newton_tol": "tight"}, TypeError, "newton_tol: expected a float"),
    ],
)
def test_misuse_and_non_finite_values_name_the_argument(arguments: dict[str, Any], error: type, message: str) -> None:
    A = arguments.pop("A", None)
    with pytest.raises(error) as caught:
        pn.solve_galerkin(pn.LegendreSpace(1, 4, 1.0), A, [1.0, 1.0], **arguments)
    assert str(caught.value).startswith(message), str(caught.value)


def test_finite_differences_are_refused_for_many_unknowns() -> None:
    n = 1001
    with pytest.raises(ValueError, match=r"^jac: needed for n = 1001 unknowns"):
        pn.solve_galerkin(pn.LegendreSpace(1, 4, 1.0), None, np.ones(n), F=lambda t, u: -u)


@pytest.mark.parametrize("which", ["F", "jac", "A"])
def test_errors_of_the_callables_pass_through_unchanged(which: str) -> None:
    failure = KeyError("raised by the user's callable")

    def broken(*arguments: Any) -> Any:
        raise failure

    options: dict[str, Any] = {"F": lambda t, u: -u, which: broken}
    A = options.pop("A", None)
    with pytest.raises(KeyError) as caught:
        pn.solve_galerkin(pn.LagrangeSpace(2, 4, 1.0), A, [1.0], **options)
    assert caught.value is failure


@pytest.mark.parametrize("kind", ["dG", "cG"])
def test_forms_of_F_and_jacobians_reach_the_same_solution(kind: str) -> None:
    n = 6
    space = space_of(kind, 2, 30, 0.0, 2.0, True)
    u0 = np.linspace(0.5, 1.5, n)
    K = scipy.sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(n, n)) * 4.0

    def F(t: Any, u: Any) -> Any:
        return np.sin(t) - u**3

    exact = pn.solve_galerkin(space, K, u0, F=F, jac=lambda t, u: scipy.sparse.diags_array(-3.0 * u**2))
    differences = pn.solve_galerkin(space, K, u0, F=F)
    vectorized = pn.solve_galerkin(space, K, u0, F=F, vectorized=True)
    for other in (differences, vectorized):
        np.testing.assert_allclose(other.coefficients, exact.coefficients, rtol=0, atol=1e-11)
    assert (exact.njev, differences.njev) != (0, 0) and differences.njev == 0
    assert vectorized.nfev < differences.nfev  # one call per interval and iteration


@pytest.mark.parametrize("kind", ["dG", "cG"])
def test_stepper_cut_into_ranges_agrees_with_one_run(kind: str) -> None:
    space = space_of(kind, 2, 24, 0.0, 3.0, True)

    def F(t: float, u: Any) -> Any:
        return np.array([u[1], -np.sin(u[0])])  # the pendulum

    stepper = pn_solver.Stepper(space, None, F=F, n=2)
    whole, end = stepper.advance(0, 24, np.array([1.0, 0.0]))
    again, end_again = stepper.advance(0, 24, np.array([1.0, 0.0]))
    np.testing.assert_array_equal(again, whole)  # the same call, the same bits
    np.testing.assert_array_equal(end_again, end)
    _, middle = stepper.advance(0, 10, np.array([1.0, 0.0]))
    _, last = stepper.advance(10, 24, middle)
    np.testing.assert_allclose(last, end, rtol=0, atol=1e-12)
    # A correction after each interval moves the next start values by exactly that much.
    shift = np.zeros((14, 2))
    shift[0] = [1e-3, 0.0]
    _, moved = stepper.advance(10, 24, middle, corrections=shift)
    _, direct = stepper.advance(11, 24, stepper.advance(10, 11, middle)[1] + shift[0])
    np.testing.assert_allclose(moved, direct, rtol=0, atol=1e-12)
    assert np.max(np.abs(moved - last)) > 1e-4
    energy = 0.5 * end[1] ** 2 - np.cos(end[0])
    assert abs(energy - (-np.cos(1.0))) < 1e-6


@pytest.mark.parametrize("kind", ["dG", "cG"])
@pytest.mark.parametrize("graded", [False, True])
def test_tables_kept_between_runs_belong_to_their_space_and_rule(kind: str, graded: bool) -> None:
    # The rule, the functions at its nodes and the extrapolations are kept per degree, kind,
    # number of points and length ratio: a run between two others must not change their bits,
    # and a rule given as the default's number of points gives the default's bits.
    def run(q: int, quadrature: int | None = None) -> Any:
        space = space_of(kind, q, 9, 0.0, 1.5, graded)
        return pn.solve_galerkin(space, None, [1.0, 0.5], F=lambda t, u: np.array([-u[0] * u[1], u[0] - u[1] ** 3]),
                                 quadrature=quadrature).coefficients  # fmt: skip

    first = run(2)
    others = [run(3), run(2, 6), run(1)]
    assert np.array_equal(run(2), first)
    assert np.array_equal(run(2, 3 if kind == "dG" else 2), first)
    assert not np.array_equal(others[1], first)  # the wider rule integrates F differently
    assert all(np.isfinite(other).all() for other in others)


@pytest.mark.parametrize("kind", ["dG", "cG"])
@pytest.mark.parametrize("with_jac", [True, False])
def test_matrix_frozen_at_the_middle_guess_or_at_the_start_outside_the_domain(kind: str, with_jac: bool) -> None:
    # u' = -sqrt(u), defined for u >= 0: K = -dF/du = 1 / (2 sqrt(v)) at the value v it is made at.
    def F(t: Any, u: Any) -> Any:
        return np.where(u >= 0.0, -np.sqrt(np.abs(u)), np.nan)

    def jac(t: Any, u: Any) -> Any:
        return np.array([[-0.5 / np.sqrt(u[0]) if u[0] > 0.0 else np.nan]])

    space = space_of(kind, 2, 4, 0.0, 4.0, False)
    stepper: Any = pn_solver.Stepper(space, None, F=F, jac=jac if with_jac else None, n=1)
    start = np.array([1.0])

    def guess(middle: float) -> Any:  # the unknowns of a polynomial equal to `middle` at the interval's middle
        return np.array([[middle], [0.0], [0.0]]) if kind == "dG" else np.array([[middle], [middle]])

    inside = stepper._frozen_for(0.0, 1.0, start, guess(0.25))
    outside = stepper._frozen_for(0.0, 1.0, start, guess(-1.0))
    tolerance = 1e-12 if with_jac else 1e-6
    assert abs(float(np.asarray(inside).reshape(-1)[0]) - 1.0) < tolerance  # at the middle's 0.25
    assert abs(float(np.asarray(outside).reshape(-1)[0]) - 0.5) < tolerance  # at the start's 1.0
