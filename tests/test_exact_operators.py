"""The array face's Lagrange operators and the projection against exact rational arithmetic on the
exact double inputs, and the faults a hostile campaign found in them: each case failed before."""

import functools
import math
import threading
import unittest.mock
from fractions import Fraction

import numpy as np
import pytest

import pwpoly_numpy as pn

EPS = np.finfo(np.float64).eps


# ---------------------------------------------------------------- exact helpers


def nodes(degree):
    """The reference nodes as the library forms them, ((j * 2.0) / degree) + (-1.0), exactly."""
    return [Fraction(((j * 2.0) / degree) + -1.0) for j in range(degree + 1)]


def lagrange_polynomials(degree):
    """Coefficients (constant first) of l_0 ... l_degree on the exact nodes."""
    x = nodes(degree)
    result = []
    for j in range(degree + 1):
        poly = [Fraction(1)]
        for other in range(degree + 1):
            if other != j:
                step = [Fraction(0)] * (len(poly) + 1)
                for k, c in enumerate(poly):
                    step[k + 1] += c / (x[j] - x[other])
                    step[k] -= c * x[other] / (x[j] - x[other])
                poly = step
        result.append(poly)
    return result


def legendre_polynomials(degree):
    """Coefficients (constant first) of P_0 ... P_degree."""
    P = [[Fraction(1)], [Fraction(0), Fraction(1)]]
    for n in range(1, degree):
        up = [Fraction(0)] + [Fraction(2 * n + 1, n + 1) * c for c in P[n]]
        down = [Fraction(n, n + 1) * c for c in P[n - 1]] + [Fraction(0), Fraction(0)]
        P.append([x - y for x, y in zip(up, down, strict=False)])
    return P[: degree + 1]


def value(poly, t):
    result = Fraction(0)
    for c in reversed(poly):
        result = result * t + c
    return result


def exact_mass(degree):
    """integral over [-1, 1] of l_i l_j (the mass on an interval of length 2)."""
    L = lagrange_polynomials(degree)
    moments = [Fraction(2, k + 1) if k % 2 == 0 else Fraction(0) for k in range(2 * degree + 1)]
    weighted = [
        [sum((c * moments[k + other] for k, c in enumerate(li)), Fraction(0)) for other in range(degree + 1)]
        for li in L
    ]
    return np.array(
        [[float(sum((c * weighted[i][other] for other, c in enumerate(L[j])), Fraction(0))) for j in range(degree + 1)]
         for i in range(degree + 1)]
    )  # fmt: skip


# ---------------------------------------------------------------- Lagrange operators


@pytest.mark.parametrize("degree", [1, 2, 3, 5, 8, 16, 32, 64])
def test_mass_within_1e_13_of_the_exact_matrix(degree):
    # The inverted Vandermonde matrix gave 4.5e-10 at degree 32 and 56 % at 64.
    M = pn.LagrangeSpace(degree, 1, 2.0).mass_matrix().toarray()
    exact = exact_mass(degree)
    assert np.abs(M - exact).max() <= 1e-13 * np.abs(exact).max()
    assert np.array_equal(M, M.T)


@pytest.mark.parametrize("degree, bound", [(3, 1e-14), (8, 1e-14), (16, 1e-13), (32, 1e-11)])
def test_to_legendre_against_the_exact_weights(degree, bound):
    # G(i, a) = ((2a + 1) / 2) integral of l_i P_a, exactly; the error over the largest weight of
    # each Legendre degree. The inverted Vandermonde matrix is at 2.5e-10 at degree 32.
    L = lagrange_polynomials(degree)
    P = legendre_polynomials(degree)
    moments = [Fraction(2, k + 1) if k % 2 == 0 else Fraction(0) for k in range(2 * degree + 1)]
    weighted = [
        [sum((c * moments[k + other] for k, c in enumerate(li)), Fraction(0)) for other in range(degree + 1)]
        for li in L
    ]
    exact = np.array(
        [[float(Fraction(2 * a + 1, 2) * sum((c * weighted[i][other] for other, c in enumerate(P[a])), Fraction(0)))
          for i in range(degree + 1)] for a in range(degree + 1)]
    )  # fmt: skip
    G = pn.LagrangeSpace(degree, 1, 2.0).to_legendre().toarray()
    assert np.all(np.abs(G - exact).max(axis=1) <= bound * np.abs(exact).max(axis=1))


@pytest.mark.parametrize("degree", [1, 2, 3, 5])
@pytest.mark.parametrize("partition", [{"n_t": 4, "T": 1.0}, {"breakpoints": [0.0, 0.1, 0.35, 1.0, 3.0]}])
def test_mass_with_an_equal_trial_space_is_the_same_matrix(degree, partition):
    W = pn.LagrangeSpace(degree, **partition)
    same = pn.LagrangeSpace(degree, **partition)
    assert same is not W and same == W
    A, B = W.mass_matrix(), W.mass_matrix(trial=same)
    assert np.array_equal(A.indptr, B.indptr) and np.array_equal(A.indices, B.indices)
    assert np.array_equal(A.data, B.data)


@pytest.mark.parametrize("degree", [4, 64, 128])
def test_derivative_keeps_every_true_nonzero(degree):
    # D_ij = integral of l_i l_j' is zero exactly on the interior diagonal ([l_i^2 / 2] vanishes at
    # both ends) and nowhere else for these nodes; the former zero rule dropped 2025 true nonzeros
    # at degree 64.
    D = pn.LagrangeSpace(degree, 1, 2.0).derivative_matrix()
    stored = D.toarray() != 0.0
    expected = np.ones((degree + 1, degree + 1), dtype=bool)
    expected[np.arange(1, degree), np.arange(1, degree)] = False
    assert np.array_equal(stored, expected)


@pytest.mark.parametrize("degree", [8, 32, 64])
def test_prolongation_rows_sum_to_one_on_their_scale(degree):
    # Barycentric weights at degree 64 had row sums from -0.28 to 6.0; product-form weights are
    # each within rounding, so the sum is 1 within a few eps of the row's sum of magnitudes.
    P = pn.LagrangeSpace(degree, 2, 1.0).prolongation_to(pn.LagrangeSpace(degree, 5, 1.0))
    sums = np.asarray(P.sum(axis=1)).ravel()
    magnitudes = np.asarray(abs(P).sum(axis=1)).ravel()
    assert np.all(np.abs(sums - 1.0) <= 8 * EPS * magnitudes)


@pytest.mark.parametrize(
    "degree, nt_coarse, nt_fine", [(1, 10**6, 15 * 10**5 + 1), (3, 999_983, 2_000_003), (5, 7, 10**9 + 7)]
)
def test_uniform_prolongation_weights_from_the_exact_coordinate(degree, nt_coarse, nt_fine):
    # Fine node r lies at r n_c / N_f coarse intervals (N_f = n_f d): the weights are the exact
    # Lagrange values there within a few eps of their scale. (s = (r / N_f) n_c lost n_c eps.)
    W = pn.LagrangeSpace(degree, nt_coarse, 1.0)
    fine = pn.LagrangeSpace(degree, nt_fine, 1.0)
    N = nt_fine * degree
    rng = np.random.default_rng(7)
    rows = sorted({int(r) for r in rng.integers(1, N, 40)})
    L = lagrange_polynomials(degree)
    for r in rows:
        P = W.prolongation_to(fine, rows=range(r, r + 1))
        k, rem = divmod(r * nt_coarse, N)
        if rem * degree % N == 0:  # on a coarse node
            assert P.nnz == 1 and P.data[0] == 1.0
            continue
        e = Fraction(2 * rem - N, N)
        exact = np.array([float(value(li, e)) for li in L])
        got = P.toarray()[0, k * degree : k * degree + degree + 1]
        assert np.all(np.abs(got - exact) <= 16 * EPS * np.abs(exact).sum()), r


# The zero rule: a sum of n quadrature terms within 4 n eps of the sum of their magnitudes is not
# stored. The tests allow twice that (their scale is numpy's, not the kernel's bits).
ROUNDING = 8 * EPS


def times_linear(p, a, b):
    """p(x) (a x + b), integer coefficients (constant first)."""
    out = [0] * (len(p) + 1)
    for k, c in enumerate(p):
        out[k] += b * c
        out[k + 1] += a * c
    return out


@functools.cache
def lagrange_integers(degree):
    """l_j = N_j(x) / D_j on the nodes (2j - degree) / degree, N_j with integer coefficients."""
    s = [2 * j - degree for j in range(degree + 1)]
    full = [1]
    for node in s:
        full = times_linear(full, degree, -node)
    result = []
    for j, node in enumerate(s):
        # N_j = full / (degree x - node), divided from the top, exactly in integers
        top = len(full) - 1
        q = [0] * top
        q[top - 1] = full[top] // degree
        for k in range(top - 1, 0, -1):
            q[k - 1] = (full[k] + node * q[k]) // degree
        result.append((tuple(q), math.prod(node - other for i, other in enumerate(s) if i != j)))
    return tuple(result)


@functools.cache
def legendre_integers(degree):
    """P_a = N_a(x) / 2**a, N_a with integer coefficients: 2**a P_a = sum over k of
    (-1)**k C(a, k) C(2a - 2k, a) x**(a - 2k)."""
    result = []
    for a in range(degree + 1):
        q = [0] * (a + 1)
        for k in range(a // 2 + 1):
            q[a - 2 * k] = (-1) ** k * math.comb(a, k) * math.comb(2 * a - 2 * k, a)
        result.append((tuple(q), 2**a))
    return tuple(result)


def differentiated(functions):
    return tuple((tuple(k * c for k, c in enumerate(q))[1:] or (0,), d) for q, d in functions)


def exact_gram(tests, trials):
    """The integrals over [-1, 1] of test_i trial_j, correctly rounded, and which are exactly zero."""
    top = max(len(q) for q, _ in tests) + max(len(q) for q, _ in trials)
    common = math.lcm(*range(1, top + 2, 2))
    powers = [2 * common // (t + 1) if t % 2 == 0 else 0 for t in range(top + 1)]  # common * integral of x**t
    values = np.zeros((len(tests), len(trials)))
    for j, (q, dq) in enumerate(trials):
        terms = [(k, c) for k, c in enumerate(q) if c]
        moments = [(m, sum(c * powers[k + m] for k, c in terms)) for m in range(max(len(p) for p, _ in tests))]
        moments = [(m, x) for m, x in moments if x]
        for i, (p, dp) in enumerate(tests):
            values[i, j] = sum(p[m] * x for m, x in moments if m < len(p)) / (common * dp * dq)
    return values  # an integer quotient rounds correctly; a nonzero one stays far from underflow


def lagrange_values(degree, x, derivative=False):
    """numpy's l_j(x) (or l_j'(x)) on the library's nodes, rows j."""
    nodes = np.array([(j * 2.0) / degree + -1.0 for j in range(degree + 1)])
    rows = []
    for j in range(degree + 1):
        others = [node for i, node in enumerate(nodes) if i != j]
        factors = [(x - node) / (nodes[j] - node) for node in others]
        if derivative:
            rows.append(sum(np.prod(factors[:s] + factors[s + 1 :], axis=0) / (nodes[j] - node)
                            for s, node in enumerate(others)))  # fmt: skip
        else:
            rows.append(np.prod(factors, axis=0))
    return np.array(rows)


def legendre_values(degree, x, derivative=False):
    eye = np.eye(degree + 1)
    return np.array([np.polynomial.legendre.legval(x, np.polynomial.legendre.legder(c) if derivative else c)
                     for c in eye])  # fmt: skip


MIXED = [("lagrange", "legendre", False), ("legendre", "lagrange", False), ("lagrange", "legendre", True),
         ("legendre", "lagrange", True), ("lagrange", "lagrange", True)]  # fmt: skip


@pytest.mark.parametrize(
    "test_kind, trial_kind, derivative, degree",
    [(*kinds, degree) for kinds in MIXED for degree in (6, 24, 64)]
    + [("lagrange", "legendre", False, 96), ("legendre", "lagrange", False, 128)],
)
def test_operators_store_the_exact_nonzeros_beyond_rounding(test_kind, trial_kind, derivative, degree):
    # Against exact rational arithmetic on the equidistant nodes: no exact zero is stored (the
    # middle node's function against odd P_a, l_j against l_j' on the interior diagonal); an
    # exact entry left out is within the rule's bound plus the error every stored entry carries
    # (the rounding of the values, not of the rule); one far beyond that is stored. A rule at
    # 2^-38 of the scale dropped 241 more exact entries at degree 96.
    spaces = {"lagrange": pn.LagrangeSpace(degree, 1, 2.0), "legendre": pn.LegendreSpace(degree, 1, 2.0)}
    integers = {"lagrange": lagrange_integers, "legendre": legendre_integers}
    values = {"lagrange": lagrange_values, "legendre": legendre_values}
    V, W = spaces[test_kind], spaces[trial_kind]
    got = (V.derivative_matrix(trial=W) if derivative else V.mass_matrix(trial=W)).toarray()
    trials = integers[trial_kind](degree)
    exact = exact_gram(integers[test_kind](degree), differentiated(trials) if derivative else trials)
    # The kernel's rule: exact for the product's degree, n points; its sums' scale, sum |w f g|
    # (zero in the by-parts columns of a Legendre trial's derivative, exact there).
    n = (2 * degree - derivative) // 2 + 1
    x, w = np.polynomial.legendre.leggauss(n)
    f, g = values[test_kind](degree, x), values[trial_kind](degree, x, derivative)
    scale = np.abs(f * w) @ np.abs(g).T
    stored = got != 0.0
    assert not np.any(stored & (exact == 0.0))
    summed = stored & (scale > 0.0)
    error = (np.abs(got - exact)[summed] / scale[summed]).max()
    dropped = ~stored
    assert np.all(np.abs(exact[dropped]) <= (ROUNDING * n + error) * scale[dropped])
    assert np.all(stored[np.abs(exact) > 64 * EPS * n * scale])
    if degree <= 64:  # every exact nonzero lies far above the rounding
        assert np.array_equal(stored, exact != 0.0)


def test_mixed_operators_cost_nothing_beyond_the_lagrange_degree():
    # P_a is orthogonal to the Lagrange functions of lower degree: a Legendre test of degree 20000
    # against a degree-128 Lagrange trial integrates 129 rows (the count held the lock for 15 s).
    V = pn.LegendreSpace(20_000, 1, 2.0)
    W = pn.LagrangeSpace(128, 1, 2.0)
    M = V.mass_matrix(trial=W)
    assert M.shape == (20_001, 129) and np.all(np.diff(M.indptr)[129:] == 0)
    D = V.derivative_matrix(trial=W)
    assert np.all(np.diff(D.indptr)[128:] == 0)
    # The Lagrange test side: columns above its degree are zero (mass) or, by parts,
    # [a = p] - (-1)^b [a = 0] exactly (derivative).
    W3, V9 = pn.LagrangeSpace(3, 1, 2.0), pn.LegendreSpace(9, 1, 2.0)
    assert np.all(W3.mass_matrix(trial=V9).toarray()[:, 4:] == 0.0)
    tail = W3.derivative_matrix(trial=V9).toarray()[:, 3:]
    expected = np.zeros((4, 7))
    expected[3, :] = 1.0
    expected[0, :] = -np.array([(-1.0) ** b for b in range(3, 10)])
    assert np.array_equal(tail, expected)


# ---------------------------------------------------------------- projection


def legendre_on(n, a, b):
    """Coefficients in t (constant first) of P_0 ... P_n of xi = (2t - (a + b)) / (b - a), exactly."""
    xi = [-(a + b) / (b - a), Fraction(2) / (b - a)]
    P = [[Fraction(1)], xi]
    for k in range(1, n):
        up = [Fraction(0)] * (len(P[k]) + 1)
        for e, c in enumerate(P[k]):
            up[e] += xi[0] * c
            up[e + 1] += xi[1] * c
        down = P[k - 1] + [Fraction(0)] * (len(up) - len(P[k - 1]))
        P.append([((2 * k + 1) * u - k * d) / (k + 1) for u, d in zip(up, down, strict=True)])
    return P[: n + 1]


def exact_projection_entry(target, source, i, j):
    """((2i + 1) / |J|) times the integral over J of P_i on J times P_j on I, exactly."""
    (a, b), (c, d) = target, source
    lo, hi = max(a, c), min(b, d)
    if hi <= lo:
        return Fraction(0)
    p, q = legendre_on(i, a, b)[i], legendre_on(j, c, d)[j]
    product = [Fraction(0)] * (len(p) + len(q) - 1)
    for k, x in enumerate(p):
        for other, y in enumerate(q):
            product[k + other] += x * y
    integral = sum((coef * (hi ** (k + 1) - lo ** (k + 1)) / (k + 1) for k, coef in enumerate(product)), Fraction(0))
    return (2 * i + 1) * integral / (b - a)


def projection_scale(V, U):
    """Per entry, (2i + 1) / |J| times the integral of |P_i P_j| over the overlap (numpy)."""
    x, w = np.polynomial.legendre.leggauss(40)
    source, target = V.breakpoints, U.breakpoints
    n_s, n_t = V.n_t, U.n_t
    dense = np.zeros((U.size, V.size))
    for m in range(n_t):
        a, b = target[m], target[m + 1]
        for k in range(n_s):
            c, d = source[k], source[k + 1]
            lo, hi = max(a, c), min(b, d)
            if hi <= lo:
                continue
            t = (lo + hi) / 2 + (hi - lo) / 2 * x
            P = legendre_values(U.degree, ((t - a) - (b - t)) / (b - a))
            Q = legendre_values(V.degree, ((t - c) - (d - t)) / (d - c))
            block = (np.abs(P * w) @ np.abs(Q).T) * ((hi - lo) / (b - a))
            block *= (2 * np.arange(U.degree + 1) + 1)[:, None] / 2
            dense[m::n_t, k::n_s] = block
    return dense


def exact_projection(V, U):
    """The projection from V onto U, dense, from the exact breakpoints, and its exact zeros."""
    source = [Fraction(float(x)) for x in V.breakpoints]
    target = [Fraction(float(x)) for x in U.breakpoints]
    n_s, n_t = len(source) - 1, len(target) - 1
    dense = np.zeros((U.size, V.size))
    zero = np.ones((U.size, V.size), dtype=bool)
    for i in range(U.degree + 1):
        for m in range(n_t):
            for j in range(V.degree + 1):
                for k in range(n_s):
                    entry = exact_projection_entry((target[m], target[m + 1]), (source[k], source[k + 1]), i, j)
                    dense[i * n_t + m, j * n_s + k] = float(entry)
                    zero[i * n_t + m, j * n_s + k] = entry == 0
    return dense, zero


@pytest.mark.parametrize(
    "source, target",
    [
        # far from the origin, tiny intervals: the midpoint in absolute time lost 1.4e10 eps
        (1000.0 + 1e-6 * np.array([0.0, 1.0, 2.5, 3.0]), 1000.0 + 1e-6 * np.array([0.0, 0.7, 3.0])),
        (-5.0 + np.array([0.0, 0.3, 1.0]) ** 2, -5.0 + np.array([0.0, 0.5, 0.75, 1.0]) ** 3),
        # a genuine overlap of 3.5 % of an interval (it was dropped: absolute error 0.035)
        (np.array([0.0, 1.0, 2.0]), np.array([0.0, 0.965, 2.0])),
    ],
)
@pytest.mark.parametrize("degree", [0, 1, 2])
def test_projection_against_exact_arithmetic(source, target, degree):
    V = pn.LegendreSpace(degree, breakpoints=source)
    U = pn.LegendreSpace(degree, breakpoints=target)
    exact, _ = exact_projection(V, U)
    got = V.projection_to(U).toarray()
    scale = np.abs(exact).sum(axis=1)[:, None] + 1.0
    assert np.all(np.abs(got - exact) <= 32 * EPS * scale)


THOUSANDTHS = 1.0 + 1e-3 * np.arange(31.0)  # 30 intervals; 47 intervals of the same span below
SPLIT_47 = np.concatenate([1.0 + 1e-3 * (30 * np.arange(47.0) / 47), [THOUSANDTHS[-1]]])


@pytest.mark.parametrize(
    "source, target",
    [
        (THOUSANDTHS, SPLIT_47),
        (SPLIT_47, THOUSANDTHS),
        (np.arange(4.0), np.array([0.0, 0.25, 0.5, 1.0, 1.5, 2.0, 2.5, 3.0])),
    ],
)
@pytest.mark.parametrize("degree", [1, 2, 3, 4])
def test_projection_keeps_small_exact_entries_and_no_noise(source, target, degree):
    # Exact zeros (P_i against a lower degree on an interval inside the other's) are not stored;
    # every other entry is, at the rounding of its sum: 30 onto 47 intervals has exact entries
    # of 4e-13 at a scale of 2.5, which a rule at 2^-38 of the scale dropped (783 eps).
    V = pn.LegendreSpace(degree, breakpoints=source)
    U = pn.LegendreSpace(degree, breakpoints=target)
    exact, zero = exact_projection(V, U)
    got = V.projection_to(U).toarray()
    scale = projection_scale(V, U)
    assert np.array_equal(got != 0.0, ~zero)
    assert np.all(np.abs(got - exact) <= ROUNDING * (degree + 1) * scale)


@pytest.mark.parametrize(
    "space",
    [
        pn.LegendreSpace(1, breakpoints=1e6 + 3 * np.spacing(1e6) * np.arange(11)),  # nnz was 0
        pn.LegendreSpace(1, breakpoints=[1.0, 1.0 + 2.0**-51, 2.0]),  # diagonal was [0, 1, 0, 1]
        pn.LegendreSpace(2, breakpoints=[-(2.0**1000), -1.0, 2.0**-1000, 3.0, 2.0**1000]),
    ],
)
def test_projection_onto_itself_is_the_identity(space):
    P = space.projection_to(space)
    assert P.nnz == space.size and np.array_equal(P.indices, np.arange(space.size)) and np.all(P.data == 1.0)


def test_projection_keeps_the_last_rows_of_2_51_intervals():
    V = pn.LegendreSpace(0, 2**51, 2.0**51)
    last = range(2**51 - 3, 2**51)
    P = V.projection_to(V, rows=last)
    assert P.nnz == 3 and np.array_equal(P.indices, np.array(last)) and np.all(P.data == 1.0)


@pytest.mark.parametrize("degree", [0, 1, 3])
def test_projection_at_the_ends_of_the_double_range(degree):
    # Scaling every end by a power of two scales every difference exactly: the same entries, bit
    # for bit, up to ends beyond 8.99e307 (the constant 1 projected there got a coefficient 2.5).
    ends_a = np.array([-1.0, -0.3, 0.2, 0.75])
    ends_b = np.array([-1.0, -0.5, 0.1, 0.6, 0.75])
    reference = pn.LegendreSpace(degree, breakpoints=ends_a).projection_to(pn.LegendreSpace(degree, breakpoints=ends_b))
    for scale in (2.0**1021, 2.0**1023):
        A = pn.LegendreSpace(degree, breakpoints=ends_a * scale)
        B = pn.LegendreSpace(degree, breakpoints=ends_b * scale)
        P = A.projection_to(B)
        assert np.array_equal(P.indices, reference.indices) and np.array_equal(P.data, reference.data)
    one = B.project(lambda t: np.ones_like(t))
    assert np.allclose(one[: B.n_t], 1.0) and np.all(np.abs(one[B.n_t :]) <= 1e-14)


# ---------------------------------------------------------------- hostile arguments


class EqualToAnything(pn.LagrangeSpace):
    """A subclass whose equality claims to match every space."""

    __slots__ = ()

    def __eq__(self, other):
        return True

    __hash__ = pn.LagrangeSpace.__hash__


@pytest.mark.parametrize("method", ["mass_matrix", "derivative_matrix"])
@pytest.mark.parametrize("test_space", [pn.LagrangeSpace(2, 4, 1.0), pn.LegendreSpace(2, 4, 1.0)])
def test_trial_is_checked_to_be_a_space_before_any_comparison(method, test_space):
    for trial in (unittest.mock.ANY, np.zeros(3), "W"):
        with pytest.raises(TypeError, match=r"^trial: expected None, a LegendreSpace or a LagrangeSpace, got "):
            getattr(test_space, method)(trial=trial)
    # A subclass claiming equality with another degree is used by its own fields.
    other = EqualToAnything(3, 4, 1.0)
    assert getattr(test_space, method)(trial=other).shape == (test_space.size, 13)


def test_breakpoints_are_checked_on_the_copy_the_space_keeps():
    # Another thread toggles one entry between increasing and not: every space made meanwhile is
    # on strictly increasing breakpoints, or the call refused them (a check of the caller's array
    # followed by a copy let 1061 of 2422 spaces through with non-increasing ones).
    ends = np.linspace(0.0, 1.0, 200_001)
    stop = threading.Event()

    def toggle():
        while not stop.is_set():
            ends[100_000] = 2.0
            ends[100_000] = 0.5

    thread = threading.Thread(target=toggle)
    thread.start()
    try:
        for _ in range(200):
            try:
                V = pn.LegendreSpace(1, breakpoints=ends)
            except ValueError:
                continue
            assert np.all(np.diff(V.breakpoints) > 0.0)
    finally:
        stop.set()
        thread.join()


TINY = [
    # one rule for equal intervals and breakpoints: a length is a positive normal number
    (
        lambda: pn.LegendreSpace(1, breakpoints=[0.0, 5e-324, 1.0]),
        "breakpoints: the interval length breakpoints[1] - breakpoints[0] = 5e-324 is not a positive normal number",
    ),
    (lambda: pn.LegendreSpace(1, 4, 4e-308), "T: the interval length T / n_t = 1e-308"),
    # the span must be a finite double (the bucket index converted NaN to an integer)
    (
        lambda: pn.LegendreSpace(1, breakpoints=[-1.7e308, 0.0, 1.7e308]),
        (
            "breakpoints: the span from breakpoints[0] = -1.7e+308 to breakpoints[2] = 1.7e+308 is longer than the "
            "largest float"
        ),
    ),
    # distinct Lagrange nodes: one rule for equal intervals and breakpoints
    (
        lambda: pn.LagrangeSpace(16, 2**51, 2.0**51),
        (
            "T: interval 2251799813685247, [2251799813685247.0, 2251799813685248.0], is too short for 15 distinct "
            "interior nodes of degree 16"
        ),
    ),
    (
        lambda: pn.LagrangeSpace(16, breakpoints=2.0**51 - np.array([3.0, 2.0, 1.0, 0.0])),
        "breakpoints: interval 0, [2251799813685245.0, 2251799813685246.0], is too short for 15",
    ),
]


@pytest.mark.parametrize("make, message", TINY)
def test_one_rule_for_tiny_intervals(make, message):
    with pytest.raises(ValueError) as error:
        make()
    assert str(error.value).startswith(message)


def test_the_node_rule_accepts_the_same_intervals_in_both_forms():
    # 16 units apart at 2**51 (half a unit in the last place): room for 15 distinct interior nodes.
    uniform = pn.LagrangeSpace(16, 2**47, 2.0**51)
    breakpoints = pn.LagrangeSpace(16, breakpoints=2.0**51 - 16.0 * np.array([3.0, 2.0, 1.0, 0.0]))
    assert np.all(np.diff(breakpoints.points) > 0.0)
    last = uniform.points_of(range(uniform.size - 17, uniform.size))
    assert np.all(np.diff(last) > 0.0)


def test_projection_in_parts_is_the_whole(monkeypatch):
    # The parts (between which Ctrl-C is taken) chain their offsets and entries into the very
    # bits of one call.
    from pwpoly_numpy import _galerkin

    V = pn.LegendreSpace(5, breakpoints=np.array([0.0, 0.1, 0.45, 0.5, 1.0]) ** 2)
    U = pn.LegendreSpace(4, 7, 1.0)
    whole = V.projection_to(U)
    monkeypatch.setattr(_galerkin, "_PROJECTION_PART_WORK", 200)
    assert len(_galerkin._projection_parts(range(U.size), 6 * U.size, V, U)) > 10
    for rows in (None, range(3, 30), U.slab(2, 5)):
        expected = whole if rows is None else whole[partitions_rows(U, rows)]
        parts = V.projection_to(U, rows=rows, workers=2)
        assert np.array_equal(parts.indptr, expected.indptr) and np.array_equal(parts.indices, expected.indices)
        assert np.array_equal(parts.data, expected.data)


def partitions_rows(space, rows):
    return np.asarray(rows.rows) if isinstance(rows, pn.TimeSlab) else np.arange(rows.start, rows.stop)
