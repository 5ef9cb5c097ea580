"""parareal and mgrit on propagators users write: a linear heat step and a nonlinear one in plain
numpy converge to their own serial runs; the Galerkin propagator given explicitly is the default;
non-finite values and misuse are errors naming their source."""

import numpy as np
import pytest
import scipy.sparse
import scipy.sparse.linalg

import pwpoly_numpy as pn


def bits(a):
    return np.ascontiguousarray(a).view(np.uint64)


def laplacian(n):
    h = 1.0 / (n + 1)
    return scipy.sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(n, n), format="csc") / h**2


class CrankNicolson:
    """u' = -A u by the trapezoidal rule, one sparse LU per step length."""

    def __init__(self, A):
        self.A, self.factors, self.calls = A, {}, 0

    def step(self, space, k0, k1, u):
        self.calls += 1
        t = space.breakpoints
        for k in range(k0, k1):
            h = float(t[k + 1] - t[k])
            if h not in self.factors:
                identity = scipy.sparse.eye_array(self.A.shape[0], format="csc")
                self.factors[h] = (scipy.sparse.linalg.splu(identity + 0.5 * h * self.A), identity - 0.5 * h * self.A)
            lu, explicit = self.factors[h]
            u = lu.solve(explicit @ u)
        return u


class CubicDecay:
    """u' = -u^3 + s, componentwise, by backward Euler; each step's equation by scalar Newton."""

    def __init__(self, source=0.0):
        self.source = source

    def step(self, space, k0, k1, u):
        t = space.breakpoints
        u = np.array(u, dtype=float)
        for k in range(k0, k1):
            h = float(t[k + 1] - t[k])
            v = u.copy()
            for _ in range(50):  # v + h v^3 - u - h s = 0
                residual = v + h * v**3 - u - h * self.source
                v = v - residual / (1.0 + 3.0 * h * v**2)
                if np.abs(residual).max() <= 1e-15 * max(1.0, np.abs(v).max()):
                    break
            u = v
        return u


def serial_values(propagator, space, u0):
    """The propagator's values at every breakpoint, stepped one interval at a time."""
    values = [np.asarray(u0, dtype=float)]
    for k in range(space.n_t):
        values.append(propagator.step(space, k, k + 1, values[-1]))
    return np.array(values).T


SOLVERS = {
    "parareal 6 slabs": lambda V, u0, P, **kw: pn.parareal(V, None, u0, propagator=P, parts=6, **kw),
    "mgrit 2 levels FCF": lambda V, u0, P, **kw: pn.mgrit(V, None, u0, propagator=P, **kw),
    "mgrit 3 levels of 2, F": lambda V, u0, P, **kw: pn.mgrit(
        V, None, u0, propagator=P, levels=3, coarsening=2, relaxation="F", **kw
    ),
    "mgrit 3 levels of 3, from zero": lambda V, u0, P, **kw: pn.mgrit(
        V, None, u0, propagator=P, levels=3, coarsening=3, nested=False, **kw
    ),
}
GRIDS = {
    "uniform": lambda: pn.LegendreSpace(0, 48, 0.2),
    "graded": lambda: pn.LagrangeSpace(2, breakpoints=0.2 * (np.arange(49) / 48) ** 1.5),
}


@pytest.mark.parametrize("grid", GRIDS)
@pytest.mark.parametrize("solver", SOLVERS)
def test_user_heat_step_converges_to_its_serial_run(solver, grid):
    n = 12
    V, P = GRIDS[grid](), CrankNicolson(laplacian(n))
    u0 = np.sin(np.pi * np.arange(1, n + 1) / (n + 1)) + np.linspace(0.0, 0.5, n)
    sol = SOLVERS[solver](V, u0, P, tol=1e-13)
    serial = serial_values(P, V, u0)
    assert sol.residuals[-1] <= 1e-13 < sol.residuals[0]
    assert isinstance(sol.space, pn.LagrangeSpace) and sol.space.degree == 1
    assert np.array_equal(sol.space.breakpoints, V.breakpoints)
    assert np.abs(sol.coefficients - serial).max() <= 1e-11 * np.abs(serial).max()
    assert np.abs(sol.end - serial[:, -1]).max() <= 1e-11 * np.abs(serial).max()
    middle = 0.5 * (V.breakpoints[:-1] + V.breakpoints[1:])  # the piecewise linear between the values
    expected = 0.5 * (serial[:, :-1] + serial[:, 1:])
    assert np.abs(sol(middle) - expected).max() <= 1e-11 * np.abs(serial).max()
    assert sol.n_factorizations == sol.n_solves == 0


@pytest.mark.parametrize("source", [0.0, 2.0])
@pytest.mark.parametrize("solver", SOLVERS)
def test_nonlinear_user_step_converges_to_its_serial_run(solver, source):
    V, P = pn.LegendreSpace(0, 54, 3.0), CubicDecay(source)
    u0 = np.array([2.0, 0.5, -1.0])
    sol = SOLVERS[solver](V, u0, P, tol=1e-12)
    serial = serial_values(P, V, u0)
    assert sol.residuals[-1] <= 1e-12
    assert np.abs(sol.coefficients - serial).max() <= 1e-10
    assert np.abs(sol.end - serial[:, -1]).max() <= 1e-10
    # A linear error correction would not converge to the nonlinear solution at this rate.
    assert sol.iterations <= 12


def test_mgrit_full_approximation_converges_as_fast_on_the_nonlinear_problem_as_on_a_linear_one():
    # u' = -u^3 near u = 1 behaves as u' = -3 (u - 1) - 1: FAS keeps the linear rate.
    V = pn.LegendreSpace(0, 64, 1.0)

    class Linearised:
        def step(self, space, k0, k1, u):
            t = space.breakpoints
            for k in range(k0, k1):
                h = float(t[k + 1] - t[k])
                u = (u + h * 2.0) / (1.0 + 3.0 * h)  # u' = -3 u + 2
            return u

    nonlinear = pn.mgrit(V, None, [1.0], propagator=CubicDecay(), nested=False, tol=1e-12)
    linear = pn.mgrit(V, None, [1.0], propagator=Linearised(), nested=False, tol=1e-12)
    assert nonlinear.iterations <= linear.iterations + 2


@pytest.mark.parametrize("kind", [pn.LegendreSpace, pn.LagrangeSpace])
@pytest.mark.parametrize("method", ["parareal", "mgrit"])
def test_galerkin_propagator_given_is_the_default(method, kind):
    V = kind(2, 24, 0.5)
    A = laplacian(5)
    u0 = np.linspace(1.0, 2.0, 5)
    f = lambda t: np.outer(np.ones(5), np.cos(3.0 * t))  # noqa: E731
    options = {"parts": 4} if method == "parareal" else {"levels": 3, "coarsening": 2}
    solve = getattr(pn, method)
    default = solve(V, A, u0, f=f, **options)
    given = solve(V, None, u0, propagator=pn.GalerkinPropagator(A, f=f), **options)
    assert given.space is V and isinstance(given.space, kind)
    for name in ("coefficients", "end"):
        assert np.array_equal(bits(getattr(given, name)), bits(getattr(default, name)))
    assert given.residuals == default.residuals
    assert (given.n_factorizations, given.n_solves) == (default.n_factorizations, default.n_solves) != (0, 0)


def test_run_method_is_used_and_gives_the_step_bits():
    class Counting(CrankNicolson):
        def run(self, space, k0, k1, u):
            self.runs = getattr(self, "runs", 0) + 1
            return np.array([u := self.step(space, k, k + 1, u) for k in range(k0, k1)])

    V, A = pn.LegendreSpace(0, 32, 0.1), laplacian(4)
    u0 = np.ones(4)
    with_run, without = Counting(A), CrankNicolson(A)
    a = pn.mgrit(V, None, u0, propagator=with_run, tol=1e-12)
    b = pn.mgrit(V, None, u0, propagator=without, tol=1e-12)
    assert with_run.runs > 0
    assert np.array_equal(bits(a.coefficients), bits(b.coefficients)) and a.residuals == b.residuals


class Returns:
    def __init__(self, value):
        self.value = value

    def step(self, space, k0, k1, u):
        return self.value(u, k0)


MISUSE = [
    ({"propagator": object()}, TypeError, "propagator: expected an object with a step(space, k0, k1, u) method"),
    ({"propagator": CubicDecay(), "A": np.eye(2)}, ValueError, "A: expected it unset with propagator="),
    ({"propagator": CubicDecay(), "f": np.cos}, ValueError, "f: expected it unset with propagator="),
    (
        {"propagator": Returns(lambda u, k: u[:1])},
        ValueError,
        "propagator: its step from breakpoint 0 to 1 returned shape (1,), expected (2,)",
    ),
    (
        {"propagator": Returns(lambda u, k: u * np.nan if k == 5 else u)},
        ValueError,
        "propagator: its step from breakpoint 5 to 6 (t = 0.625 to 0.75) returned non-finite values",
    ),
    ({"f": lambda t: np.where(t > 0.5, np.nan, 1.0) * np.ones((2, 1))}, ValueError, "f: expected finite values"),
    ({"A": -16.0 * np.eye(2), "u0": [1.7e308, 1.0]}, ValueError, "u0: the step of interval 0 (t = "),
]


@pytest.mark.parametrize("method", ["parareal 1 part", "parareal 4 parts", "mgrit"])
@pytest.mark.parametrize(("change", "error", "message"), MISUSE)
def test_misuse_and_non_finite_values_name_their_source(method, change, error, message):
    arguments = {"A": np.eye(2) if "propagator" not in change else None, "u0": [1.0, 2.0]} | change
    A, u0 = arguments.pop("A"), arguments.pop("u0")
    V = pn.LegendreSpace(1, 8, 1.0)
    with pytest.raises(error) as caught:
        if method == "mgrit":
            pn.mgrit(V, A, u0, **arguments)
        else:
            pn.parareal(V, A, u0, parts=int(method.split()[1]), **arguments)
    assert str(caught.value).startswith(message), str(caught.value)


@pytest.mark.parametrize("method", [pn.mgrit, pn.parareal])
def test_contraction_is_none_without_two_residuals_above_rounding(method):
    # One slab or one C-interval per level: exact after the first sweep, no ratio to observe.
    V = pn.LegendreSpace(1, 8, 1.0)
    options = {"parts": 2} if method is pn.parareal else {"coarsening": 8}
    sol = method(V, np.eye(1), [1.0], **options)
    assert sol.iterations <= 1 and sol.contraction is None


class Wrapped:
    """A Galerkin propagator behind the plain interface: mgrit cannot tell it is linear."""

    def __init__(self, inner):
        self.inner = inner

    def step(self, space, k0, k1, u):
        return self.inner.step(space, k0, k1, u)


@pytest.mark.parametrize(("levels", "relaxation"), [(2, "F"), (2, "FCF"), (3, "FCF")])
@pytest.mark.parametrize("kind", [pn.LegendreSpace, pn.LagrangeSpace])
def test_full_approximation_on_a_linear_problem_agrees_with_the_error_correction(kind, levels, relaxation):
    V = kind(1, 48, 0.5)
    A, u0 = laplacian(6), np.linspace(1.0, 0.0, 6)
    f = lambda t: np.outer(np.arange(6.0), np.sin(5.0 * t))  # noqa: E731
    options = {"levels": levels, "coarsening": 4 if levels == 2 else 2, "relaxation": relaxation, "tol": 1e-11}
    linear = pn.mgrit(V, A, u0, f=f, **options)
    full = pn.mgrit(V, None, u0, propagator=Wrapped(pn.GalerkinPropagator(A, f=f)), **options)
    serial = pn.solve_galerkin(V, A, u0, f=f)
    breakpoint_values = np.array([serial(V.breakpoints[1:], side="left")]).reshape(6, -1)
    assert full.residuals[-1] <= 1e-11 and abs(full.iterations - linear.iterations) <= 1
    assert np.abs(full.coefficients[:, 1:] - breakpoint_values).max() <= 1e-9 * np.abs(breakpoint_values).max()
    assert np.abs(full.end - linear.end).max() <= 1e-9 * np.abs(linear.end).max()
