"""solve_galerkin and its Stepper: the Pade end values, the all-at-once Kronecker solution,
polynomial reproduction, the factorisation hook and statistics, the misuse table; and the
quadrature rules of project/load_vector and the left limits of evaluate."""

from __future__ import annotations

from math import factorial

import numpy as np
import pytest
import scipy.sparse
import scipy.sparse.linalg

import pwpoly_numpy as pn
from pwpoly_numpy import _solver

GRADED = 0.3 + 0.9 * np.linspace(0.0, 1.0, 7) ** 2  # t0 = 0.3, graded towards t0


def spaces(kind: str, q: int, graded: bool) -> pn.LegendreSpace | pn.LagrangeSpace:
    cls = pn.LegendreSpace if kind == "dG" else pn.LagrangeSpace
    return cls(q, breakpoints=GRADED) if graded else cls(q, 5, 1.2)


def pade(numerator: int, denominator: int, z: complex) -> complex:
    n, d = numerator, denominator
    top = sum(factorial(n + d - j) * factorial(n) / (factorial(n + d) * factorial(j) * factorial(n - j)) * z**j
              for j in range(n + 1))  # fmt: skip
    bottom = sum(factorial(n + d - j) * factorial(d) / (factorial(n + d) * factorial(j) * factorial(d - j)) * (-z) ** j
                 for j in range(d + 1))  # fmt: skip
    return top / bottom


def heat(n: int) -> scipy.sparse.csr_array[np.float64]:
    h = 1.0 / (n + 1)
    return scipy.sparse.csr_array(scipy.sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(n, n)) / h**2)


def p1_mass(n: int) -> scipy.sparse.csr_array[np.float64]:
    return scipy.sparse.csr_array(scipy.sparse.diags_array([1 / 6, 2 / 3, 1 / 6], offsets=[-1, 0, 1], shape=(n, n)))


@pytest.mark.parametrize("kind", ["dG", "cG"])
@pytest.mark.parametrize("q", [0, 1, 2, 3, 4, 5])
@pytest.mark.parametrize("graded", [False, True])
def test_end_values_are_the_pade_approximants(kind: str, q: int, graded: bool) -> None:
    if kind == "cG" and q == 0:
        pytest.skip("cG needs degree >= 1")
    space = spaces(kind, q, graded)
    lams = np.array([-1.0, -40.0, 3.0, -0.01])
    # A diagonalisable system: S diag(-lam) S^-1, whose end value after each interval is
    # S diag(R(lam h)) S^-1 u.
    S = np.array([[1.0, 0.5, 0.0, 0.2], [0.0, 1.0, 0.3, 0.0], [0.1, 0.0, 1.0, 0.4], [0.0, 0.2, 0.0, 1.0]])
    A = S @ np.diag(-lams) @ np.linalg.inv(S)
    u0 = np.array([1.0, -2.0, 0.5, 3.0])
    order = (q, q + 1) if kind == "dG" else (q, q)
    expected = np.linalg.solve(S, u0)
    for h in space.lengths:
        expected = expected * np.array([pade(*order, lam * h).real for lam in lams])
    expected = S @ expected
    for A_given in (A, scipy.sparse.csr_array(A)):
        sol = pn.solve_galerkin(space, A_given, u0)
        np.testing.assert_allclose(sol.end, expected, rtol=1e-11, atol=1e-13 * np.abs(expected).max())
        scalar = pn.solve_galerkin(space, [[-lams[0]]], [1.0])
        R = np.prod([pade(*order, lams[0] * h).real for h in space.lengths])
        assert scalar.end[0] == pytest.approx(R, rel=1e-12)


def kronecker(space: pn.LegendreSpace | pn.LagrangeSpace, A, M, u0, f, points) -> np.ndarray:
    """The all-at-once solution: coefficients (n, space.size)."""
    n = u0.size
    if isinstance(space, pn.LegendreSpace):
        K = scipy.sparse.kron(space.derivative_matrix(upwind=True), M) + scipy.sparse.kron(space.mass_matrix(), A)
        start = space.basis_matrix([space.t0]).toarray()[0]
        rhs = np.kron(start, M @ u0)
        if f is not None:
            rhs = rhs + space.load_vector(f, quadrature=points).T.reshape(-1)
    else:
        Vt = pn.LegendreSpace(space.degree - 1, breakpoints=space.breakpoints)
        D, Mt = Vt.derivative_matrix(trial=space), Vt.mass_matrix(trial=space)
        first = scipy.sparse.csr_array(([1.0], ([0], [0])), shape=(1, space.size))
        K = scipy.sparse.vstack(
            [scipy.sparse.kron(first, scipy.sparse.identity(n)), scipy.sparse.kron(D, M) + scipy.sparse.kron(Mt, A)]
        )
        load = np.zeros(Vt.size * n) if f is None else Vt.load_vector(f, quadrature=points).T.reshape(-1)
        rhs = np.concatenate([u0, load])
    return scipy.sparse.linalg.spsolve(scipy.sparse.csc_array(K), rhs).reshape(space.size, n).T


@pytest.mark.parametrize("kind", ["dG", "cG"])
@pytest.mark.parametrize("q", [1, 2, 5, 7])
@pytest.mark.parametrize("mass", [False, True])
def test_agrees_with_the_kronecker_solve(kind: str, q: int, mass: bool) -> None:
    n = 40  # 40 (q + 1) unknowns per interval: the sparse path, decoupled up to degree 5, coupled above
    x = np.arange(1, n + 1) / (n + 1)
    A = heat(n)
    M = p1_mass(n) if mass else scipy.sparse.identity(n, format="csr")
    u0 = np.minimum(x, 1.0 - x)

    def f(t: np.ndarray) -> np.ndarray:
        return np.outer(np.sin(3.0 * x), np.cos(5.0 * t))

    space = spaces(kind, q, True)
    sol = pn.solve_galerkin(space, A, u0, M=M if mass else None, f=f)
    reference = kronecker(space, A, M, u0, f, q + 2)
    assert sol.coefficients.shape == (n, space.size)
    np.testing.assert_allclose(sol.coefficients, reference, rtol=0, atol=1e-12 * np.abs(reference).max())
    end = space.evaluate(reference, space.T)
    np.testing.assert_allclose(sol.end, end, rtol=0, atol=1e-12 * np.abs(end).max())


@pytest.mark.parametrize(("kind", "q"), [("dG", 0), ("dG", 2), ("dG", 4), ("cG", 1), ("cG", 3), ("cG", 5)])
@pytest.mark.parametrize(
    ("offsets", "banded"),
    [((-1, 0, 1), True), ((-3, -1, 0, 2), True), ((0, 4), True), ((-5, 0, 4), False)],  # with M's band
)
def test_the_compiled_banded_loop_agrees_with_the_kronecker_solve(
    kind: str, q: int, offsets: tuple[int, ...], banded: bool
) -> None:
    # Nonsymmetric operators within lower + upper <= 8 diagonals (P1 mass: one each side) go to
    # the compiled banded loop, real and complex systems, rows swapped by the pivoting; one
    # more diagonal, to the Python loop. Both count the factorisations of the Python loop with splu.
    n = 40  # more than the compiled dense loop takes
    rng = np.random.default_rng(len(offsets) + q)
    diagonals = [rng.uniform(-20.0, 20.0, n - abs(k)) + (60.0 if k == 0 else 0.0) for k in offsets]
    A = scipy.sparse.diags_array(diagonals, offsets=list(offsets), shape=(n, n))
    M = p1_mass(n)
    x = np.linspace(0.0, 1.0, n)
    u0 = np.cos(3.0 * x)

    def f(t: np.ndarray) -> np.ndarray:
        return np.outer(x, np.exp(-t))

    space = spaces(kind, q, True)
    A_given = A.toarray() if len(offsets) == 4 else A  # a dense A too
    if offsets == (0, 4):  # a stored zero far outside the band is no entry
        coo = scipy.sparse.coo_array(A)
        A_given = scipy.sparse.csr_array((np.append(coo.data, 0.0), (np.append(coo.row, n - 1), np.append(coo.col, 0))))
        assert A_given.nnz == coo.nnz + 1
    stepper = _solver.Stepper(space, A_given, M=M, f=f, n=n)
    assert (stepper._banded is not None) == banded
    coefficients, end = stepper.advance(0, space.n_t, u0)
    reference = kronecker(space, A, M, u0, f, q + 2)
    np.testing.assert_allclose(coefficients, reference, rtol=0, atol=1e-12 * np.abs(reference).max())
    np.testing.assert_allclose(end, space.evaluate(reference, space.T), rtol=0, atol=1e-12 * np.abs(reference).max())
    splu = _solver.Stepper(space, A, M=M, f=f, n=n, factorize=scipy.sparse.linalg.factorized)
    splu.advance(0, space.n_t, u0)
    # The compiled loop refines each step once: two solves per system and interval.
    solves = 2 * splu.n_solves if banded else splu.n_solves
    assert (stepper.n_factorizations, stepper.n_solves) == (splu.n_factorizations, solves)


@pytest.mark.parametrize("kind", ["dG", "cG"])
@pytest.mark.parametrize("n", [1, 3, 30])  # the compiled dense path and the sparse one
def test_polynomial_solutions_are_reproduced(kind: str, n: int) -> None:
    q = 3
    space = spaces(kind, q, True)
    rng = np.random.default_rng(5)
    coefficients = rng.standard_normal((n, q + 1))  # u(t) = sum_j a_j t^j
    A = np.diag(np.linspace(1.0, 4.0, n)) + 0.1 * np.eye(n, k=1)
    M = np.eye(n) + 0.2 * np.eye(n, k=-1)

    def u(t: np.ndarray) -> np.ndarray:
        return np.polynomial.polynomial.polyval(t, coefficients.T)

    def f(t: np.ndarray) -> np.ndarray:
        derivative = np.polynomial.polynomial.polyder(coefficients.T)
        return M @ np.polynomial.polynomial.polyval(t, derivative) + A @ u(t)

    sol = pn.solve_galerkin(space, A, u(np.array(space.t0)), M=M, f=f)
    t = np.linspace(space.t0, space.T, 23)
    np.testing.assert_allclose(sol(t), u(t), rtol=0, atol=1e-11 * np.abs(u(t)).max())
    np.testing.assert_allclose(sol.end, u(np.array(space.T)), rtol=1e-12)


@pytest.mark.parametrize("kind", ["dG", "cG"])
@pytest.mark.parametrize("n", [1, 25])
@pytest.mark.parametrize("chunk", [4096, 2])  # the loads of 2 intervals at a time, too
def test_stepper_slabs_give_the_bits_of_the_whole(
    kind: str, n: int, chunk: int, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.setattr(_solver, "_CHUNK", chunk)
    space = spaces(kind, 2, True)
    A = heat(n)
    u0 = np.linspace(1.0, 2.0, n)
    x = np.linspace(0.0, 1.0, n)
    f = lambda t: np.outer(x, np.sin(t))  # noqa: E731
    whole = pn.solve_galerkin(space, A, u0, f=f)
    stepper = _solver.Stepper(space, A, f=f, n=n)
    u = u0
    for slab in space.slabs(3):
        c, u = stepper.advance(slab.k0, slab.k1, u)
        expected = (
            whole.coefficients[:, slab.rows] if kind == "dG" else whole.coefficients[:, slab.k0 * 2 : slab.k1 * 2 + 1]
        )
        assert np.array_equal(c, expected)
        t = np.linspace(slab.t0, slab.t1, 7)[:-1]
        assert np.array_equal(space.evaluate(c, t, slab=slab), whole(t))
    assert np.array_equal(u, whole.end)
    # Repeated single steps factorise nothing more.
    before = stepper.n_factorizations
    for k in range(space.n_t):
        stepper.advance(k, k + 1, u0)
    assert stepper.n_factorizations == before


@pytest.mark.parametrize("space", [pn.LegendreSpace(2, 50, 0.05), pn.LagrangeSpace(3, 70, 0.7)])
def test_equal_intervals_are_factorised_once(space: pn.LegendreSpace | pn.LagrangeSpace) -> None:
    # Their rounded lengths differ in the last bit; the solver steps all of them with dt.
    assert len(np.unique(space.lengths)) > 1
    A = heat(40)
    sol = pn.solve_galerkin(space, A, np.ones(40), factorize=scipy.sparse.linalg.factorized)
    assert sol.n_factorizations <= space.degree + 1 and sol.n_solves == sol.n_factorizations * space.n_t
    coupled, _ = _solver.Stepper(space, A, coupled=True).advance(0, space.n_t, np.ones(40))
    assert np.max(np.abs(sol.coefficients - coupled)) <= 1e-12 * np.max(np.abs(coupled))


@pytest.mark.parametrize("kind", ["dG", "cG"])
@pytest.mark.parametrize("q", [1, 2, 3, 6])
def test_factorize_sees_the_step_matrices_and_the_statistics_count(kind: str, q: int) -> None:
    n = 40
    A = heat(n)
    calls: list[object] = []

    def factorize(matrix: object) -> object:
        calls.append(matrix)
        assert scipy.sparse.issparse(matrix)
        return scipy.sparse.linalg.factorized(scipy.sparse.csc_array(matrix))

    for space, lengths in ((spaces(kind, q, False), 1), (spaces(kind, q, True), 6)):
        calls.clear()
        sol = pn.solve_galerkin(space, A, np.ones(n), factorize=factorize, f=lambda t: np.ones((n, t.size)))
        m = q + 1 if kind == "dG" else q
        per_length = len(calls) // lengths
        assert len(calls) == sol.n_factorizations == per_length * lengths
        if q <= _solver.DECOUPLED_MAX_DEGREE:
            # One system of size n per real eigenvalue or complex pair.
            assert all(matrix.shape == (n, n) for matrix in calls)
            assert per_length <= m
            assert any(matrix.dtype.kind == "c" for matrix in calls) == (per_length < m)
        else:
            assert all(matrix.shape == (m * n, m * n) for matrix in calls) and per_length == 1
        assert sol.n_solves == per_length * space.n_t <= (q + 1) * sol.n_intervals
        assert sol.n_intervals == space.n_t
        assert sol.n_quadrature_points == space.n_t * (q + 2)


def test_left_limits() -> None:
    V = pn.LegendreSpace(2, breakpoints=[0.5, 1.0, 2.0, 2.5])
    c = np.arange(1.0, 10.0)
    ends = c.reshape(3, 3).sum(axis=0)  # every P_i is 1 at an interval's right end
    t = np.array([[0.5, 1.0], [2.0, 2.5]])
    left = V.evaluate(c, t, side="left")
    right = V.evaluate(c, t)
    assert left[0, 0] == right[0, 0] and left[1, 1] == right[1, 1] == ends[2]
    assert left[0, 1] == ends[0] and left[1, 0] == ends[1]
    assert right[0, 1] != ends[0]
    slope = V.evaluate(c, 1.0, derivative=1, side="left")
    assert slope == pytest.approx(V.evaluate(c, 1.0 - 1e-9, derivative=1), rel=1e-6)
    # A slab's left limit at its right end reads its own last interval.
    slab = V.slab(0, 2)
    assert V.evaluate(c[slab.rows], 2.0, slab=slab, side="left") == ends[1]
    # Its left limit at its left end belongs to the interval before it: refused, never the right value.
    later = V.slab(1, 3)
    assert V.evaluate(c[later.rows], [1.5, 2.0], slab=later, side="left")[1] == ends[1]
    with pytest.raises(
        ValueError, match=r"times: times.flat\[1\] = 1.0 is the left end of the slab's intervals \[1, 3\)"
    ):
        V.evaluate(c[later.rows], [1.5, 1.0], slab=later, side="left")
    W = pn.LagrangeSpace(2, breakpoints=[0.0, 1.0, 3.0])
    values = np.array([0.0, 1.0, 4.0, 1.0, 0.0])
    assert W.evaluate(values, 1.0, derivative=1, side="left") == pytest.approx(8.0)
    assert W.evaluate(values, 1.0, derivative=1) == pytest.approx(-4.0)
    sol = pn.solve_galerkin(V, [[1.0]], [2.0])
    assert sol(0.5, side="left")[0] == 2.0 and sol(0.5)[0] != 2.0
    assert sol(1.0, side="left")[0] == sol.coefficients[0].reshape(3, 3)[:, 0].sum()
    with pytest.raises(ValueError, match="side: expected 'left' or 'right', got 'up'"):
        V.evaluate(c, 1.0, side="up")  # type: ignore[arg-type]


@pytest.mark.parametrize("kind", ["V", "W"])
@pytest.mark.parametrize("quadrature", [None, 7, "jacobi"])
def test_load_vector_and_project_against_numpy_quadrature(kind: str, quadrature: object) -> None:
    q = 2
    space = pn.LegendreSpace(q, breakpoints=GRADED) if kind == "V" else pn.LagrangeSpace(q, breakpoints=GRADED)
    f = lambda t: np.stack([np.cos(3.0 * t), np.sqrt(t - 0.3)])  # noqa: E731
    if quadrature == "jacobi":
        x, w = np.polynomial.legendre.leggauss(30)
        rule: object = (x, w)
    else:
        rule = quadrature
    points = {None: q + 2, 7: 7, "jacobi": 30}[quadrature]  # type: ignore[index]
    x, w = np.polynomial.legendre.leggauss(points)
    expected = np.zeros((2, space.size))
    for k, (a, b) in enumerate(zip(space.breakpoints[:-1], space.breakpoints[1:], strict=True)):
        t = (a + b) / 2 + (b - a) / 2 * x
        if kind == "V":
            basis = np.polynomial.legendre.legvander(x, q).T
            rows = [i * space.n_t + k for i in range(q + 1)]
        else:
            basis = pn.LagrangeSpace(q, breakpoints=[-1.0, 1.0]).evaluate(np.eye(q + 1), x)
            rows = list(range(k * q, k * q + q + 1))
        expected[:, rows] += (b - a) / 2 * (f(t) * w) @ basis.T
    load = space.load_vector(f, quadrature=rule)  # type: ignore[arg-type]
    np.testing.assert_allclose(load, expected, rtol=1e-13, atol=1e-15)
    projection = space.project(f, quadrature=rule)  # type: ignore[arg-type]
    mass = space.mass_matrix()
    np.testing.assert_allclose(mass @ projection.T, load.T, rtol=1e-12, atol=1e-14)


def test_a_rule_for_the_square_root_keeps_the_order() -> None:
    # u' = 1 / (2 sqrt(t)), u = sqrt(t), on the breakpoints (k/n)**3. Gauss-Legendre in s after
    # x = 2 s**2 - 1 integrates polynomials and polynomials over sqrt(1 + x) alike: the first
    # interval's load is exact and the L2 order of dG(2) stays near 3; the default rule loses it.
    y, omega = np.polynomial.legendre.leggauss(8)
    s = (y + 1.0) / 2.0
    rule = (2.0 * s**2 - 1.0, 2.0 * s * omega)
    x, w = np.polynomial.legendre.leggauss(12)

    def l2_error(n_t: int, quadrature: object) -> float:
        V = pn.LegendreSpace(2, breakpoints=np.linspace(0.0, 1.0, n_t + 1) ** 3)
        sol = pn.solve_galerkin(V, [[0.0]], [0.0], f=lambda t: 0.5 / np.sqrt(t), quadrature=quadrature)  # type: ignore[arg-type]
        t = (V.breakpoints[:-1, None] + V.lengths[:, None] * ((x + 1.0) / 2.0)).ravel()
        error = sol(t)[0] - np.sqrt(t)
        return float(np.sqrt(np.sum((V.lengths[:, None] * (w / 2.0)).ravel() * error**2)))

    assert np.log2(l2_error(32, rule) / l2_error(64, rule)) > 2.8
    assert np.log2(l2_error(32, None) / l2_error(64, None)) < 1.6


def f_shape(t: np.ndarray) -> np.ndarray:
    return np.zeros((2, t.size))


MISUSE = [
    ({"A": np.eye(3)[:, :2]}, ValueError, r"A: expected shape \(3, 3\) to match u0 of length 3, got \(3, 2\)"),
    ({"A": np.full((3, 3), np.nan)}, ValueError, "A: expected finite entries"),
    ({"M": scipy.sparse.csr_array(np.diag([1.0, np.inf, 1.0]))}, ValueError, "M: expected finite entries"),
    ({"M": np.eye(2)}, ValueError, r"M: expected shape \(3, 3\) to match u0 of length 3, got \(2, 2\)"),
    ({"u0": [1.0, np.inf, 0.0]}, ValueError, "u0: expected finite values"),
    ({"u0": np.ones((3, 1))}, ValueError, r"u0: expected a vector of shape \(n,\), got shape \(3, 1\)"),
    ({"A": np.eye(3) * 1j}, TypeError, "A: expected real numbers, got complex ones"),
    ({"A": scipy.sparse.csr_array(np.eye(3) * 1j)}, TypeError, "A: expected real numbers, got complex ones"),
    ({"u0": np.ones(3) + 0j}, TypeError, "u0: expected real numbers, got complex ones"),
    ({"A": "eye"}, TypeError, "A: expected an array-like of real numbers"),
    ({"f": 3.0}, TypeError, "f: expected None or a callable"),
    ({"f": f_shape}, ValueError, r"f: returned an array of shape \(2, 12\), expected \(3, 12\)"),
    ({"quadrature": 0}, ValueError, "quadrature: expected a positive number of points, got 0"),
    ({"quadrature": 2.5}, TypeError, "quadrature: expected None, a positive integer or"),
    ({"quadrature": ([0.0, 2.0], [1.0, 1.0])}, ValueError, r"quadrature: expected nodes in \[-1, 1\]"),
    ({"quadrature": ([0.0], [1.0, 1.0])}, ValueError, "quadrature: expected nodes and weights as two 1-D arrays"),
    ({"factorize": "splu"}, TypeError, "factorize: expected None or a callable"),
    ({"space": np.eye(3)}, TypeError, "space: expected a LegendreSpace or a LagrangeSpace"),
    ({"workers": 0}, ValueError, "workers: expected an integer >= 1"),
]


@pytest.mark.parametrize(("change", "error", "message"), MISUSE)
def test_misuse(change: dict[str, object], error: type[Exception], message: str) -> None:
    arguments: dict[str, object] = {"space": pn.LegendreSpace(1, 4, 1.0), "A": np.eye(3), "u0": np.ones(3)}
    arguments.update(change)
    space, A, u0 = arguments.pop("space"), arguments.pop("A"), arguments.pop("u0")
    with pytest.raises(error, match=message):
        pn.solve_galerkin(space, A, u0, **arguments)  # type: ignore[arg-type]


@pytest.mark.parametrize("kind", ["dG", "cG"])
@pytest.mark.parametrize("operator", ["banded", "2D"])
def test_the_default_factorisations_agree_with_splu(kind: str, operator: str) -> None:
    # The default takes LAPACK's banded LU for the tridiagonal step matrices, scipy's sparse LU
    # for those of a 2D Laplacian; both agree with splu and its default ordering.
    A = heat(60) if operator == "banded" else scipy.sparse.csr_array(
        scipy.sparse.kron(heat(8), scipy.sparse.identity(8)) + scipy.sparse.kron(scipy.sparse.identity(8), heat(8))
    )  # fmt: skip
    n = A.shape[0]
    u0 = np.linspace(0.0, 1.0, n) ** 2
    M = p1_mass(n)
    space = spaces(kind, 3, True)
    ours = pn.solve_galerkin(space, A, u0, M=M)
    splu = pn.solve_galerkin(space, A, u0, M=M, factorize=lambda K: scipy.sparse.linalg.splu(K).solve)
    np.testing.assert_allclose(
        ours.coefficients, splu.coefficients, rtol=0, atol=1e-13 * np.abs(splu.coefficients).max()
    )


@pytest.mark.parametrize("n", [1, 40])
def test_a_singular_step_names_its_interval(n: int) -> None:
    # u' = lam u with lam h = 1 makes backward Euler's step matrix 1 - lam h singular on the
    # interval of length 0.5 only.
    V = pn.LegendreSpace(0, breakpoints=[0.0, 0.25, 0.75, 1.0])
    with pytest.raises(ValueError, match=r"A: the step matrix of interval 1 \(length 0.5\) is singular"):
        pn.solve_galerkin(V, -2.0 * np.eye(n), np.ones(n))
