"""Galerkin operators in time: closed forms, dG/cG steps as Pade approximants, mixed operators
against quadrature, rows of slabs, projection between Legendre spaces, misuse."""

import math

import numpy as np
import pytest
import scipy.sparse
import scipy.sparse.linalg
from hypothesis import given, settings
from hypothesis import strategies as st

import pwpoly_numpy as pn


def same_csr(a, b):
    return (
        a.shape == b.shape
        and np.array_equal(a.indptr, b.indptr)
        and np.array_equal(a.indices, b.indices)
        and np.array_equal(a.data.view(np.uint64), b.data.view(np.uint64))
    )


def pade(m, n, z):
    """The (m, n) Pade approximant of exp(z): numerator of degree m, denominator of degree n."""
    num = sum(
        math.factorial(m + n - j) * math.factorial(m) / (math.factorial(j) * math.factorial(m - j)) * z**j
        for j in range(m + 1)
    )
    den = sum(
        math.factorial(m + n - j) * math.factorial(n) / (math.factorial(j) * math.factorial(n - j)) * (-z) ** j
        for j in range(n + 1)
    )
    return num / den


def dg_end_value(q, n_t, T, lam):
    V = pn.LegendreSpace(q, n_t, T)
    A = V.derivative_matrix(upwind=True) - lam * V.mass_matrix()
    start = V.basis_matrix([0.0]).toarray()[0]  # the right traces at t0
    c = scipy.sparse.linalg.spsolve(A.tocsc(), start)
    return V.evaluate(c, T)


def cg_end_value(q, n_t, T, lam):
    W = pn.LagrangeSpace(q, n_t, T)
    Vt = pn.LegendreSpace(q - 1, n_t, T)
    A = Vt.derivative_matrix(trial=W) - lam * Vt.mass_matrix(trial=W)
    first = scipy.sparse.csr_array(([1.0], ([0], [0])), shape=(1, W.size))
    u = scipy.sparse.linalg.spsolve(scipy.sparse.vstack([first, A]).tocsc(), np.eye(W.size)[0])
    return u[-1]


@pytest.mark.parametrize("lam", [-1.0, -7.5, 2.0])
@pytest.mark.parametrize("n_t", [1, 3, 8])
@pytest.mark.parametrize("q", range(6))
def test_steps_are_pade_approximants(q, n_t, lam):
    # One dG(q) step multiplies by the (q, q+1) approximant of exp(lam h), one cG(q) step by (q, q).
    T = 0.9
    z = lam * (T / n_t)
    end = dg_end_value(q, n_t, T, lam)
    assert abs(end - pade(q, q + 1, z) ** n_t) <= 1e-12 * abs(pade(q, q + 1, z) ** (n_t - 1))
    if q >= 1:
        end = cg_end_value(q, n_t, T, lam)
        assert abs(end - pade(q, q, z) ** n_t) <= 1e-12 * abs(pade(q, q, z) ** (n_t - 1))


@pytest.mark.parametrize("p, q", [(0, 0), (1, 3), (3, 1), (4, 4), (2, 5)])
def test_legendre_closed_forms(p, q):
    n_t, T = 3, 1.7
    V, U = pn.LegendreSpace(p, n_t, T), pn.LegendreSpace(q, n_t, T)
    dt = T / n_t
    mass = np.zeros((V.size, U.size))
    interior = np.zeros((V.size, U.size))
    traces = np.zeros((V.size, U.size))
    for k in range(n_t):
        for i in range(p + 1):
            for j in range(q + 1):
                row, col = i * n_t + k, j * n_t + k
                mass[row, col] = dt / (2 * i + 1) if i == j else 0.0
                interior[row, col] = 2.0 if j > i and (i + j) % 2 == 1 else 0.0
                traces[row, col] = (-1.0) ** i * (-1.0) ** j
                if k > 0:
                    traces[row, col - 1] = -((-1.0) ** i)
    for operator, want in [
        (V.mass_matrix(trial=U), mass),
        (V.derivative_matrix(trial=U), interior),
        (V.derivative_matrix(trial=U, upwind=True), interior + traces),
    ]:
        assert operator.shape == want.shape
        assert np.array_equal(operator.toarray(), want)  # exact values
        assert np.all(operator.data != 0.0)  # no structural zeros
    if p == q:
        assert same_csr(V.mass_matrix(), V.mass_matrix(trial=V))


def quadrature_operator(test, trial, derivative):
    """Dense reference from a 24-point Gauss rule per interval, through basis_matrix and evaluate."""
    x, w = np.polynomial.legendre.leggauss(24)
    dt = test.T / test.n_t
    times = ((np.arange(test.n_t)[:, None] + (x[None, :] + 1.0) / 2.0) * dt).ravel()
    weights = np.tile(w * dt / 2.0, test.n_t)
    psi = scipy.sparse.csr_array(basis_values(test, times))
    phi = basis_values(trial, times, derivative)
    return (psi.T * weights) @ phi


def basis_values(space, times, derivative=0):
    eye = np.eye(space.size)
    return space.evaluate(eye, times, derivative).T


@settings(max_examples=40, deadline=None)
@given(
    test_kind=st.sampled_from(["legendre", "lagrange"]),
    trial_kind=st.sampled_from(["legendre", "lagrange"]),
    p=st.integers(0, 5),
    q=st.integers(0, 5),
    n_t=st.integers(1, 5),
    T=st.floats(1e-3, 1e3),
    derivative=st.booleans(),
)
def test_mixed_operators_against_quadrature(test_kind, trial_kind, p, q, n_t, T, derivative):
    make = {"legendre": lambda d: pn.LegendreSpace(d, n_t, T), "lagrange": lambda d: pn.LagrangeSpace(d + 1, n_t, T)}
    test, trial = make[test_kind](p), make[trial_kind](q)
    got = test.derivative_matrix(trial=trial) if derivative else test.mass_matrix(trial=trial)
    want = quadrature_operator(test, trial, int(derivative))
    scale = np.abs(want).max()
    assert np.abs(got.toarray() - want).max() <= 1e-13 * scale
    assert np.all(got.data != 0.0)
    # An exact zero of the integral is not stored.
    assert np.all(np.abs(got.data) > 1e-12 * scale)


def operators(n_t):
    V, W = pn.LegendreSpace(3, n_t, 2.0), pn.LagrangeSpace(2, n_t, 2.0)
    V1 = pn.LegendreSpace(1, n_t, 2.0)
    return [
        (V, lambda rows: V.derivative_matrix(rows, upwind=True)),
        (V, lambda rows: V.derivative_matrix(rows, trial=W)),
        (V1, lambda rows: V1.mass_matrix(rows, trial=W)),
        (W, lambda rows: W.derivative_matrix(rows, trial=V)),
        (W, lambda rows: W.mass_matrix(rows, trial=pn.LagrangeSpace(3, n_t, 2.0))),
        (W, lambda rows: W.derivative_matrix(rows)),
    ]


@pytest.mark.parametrize("case", range(6))
def test_slab_rows_stack_to_the_whole(case):
    space, build = operators(7)[case]
    whole = build(None)
    blocks = [build(slab) for slab in space.slabs(3)]
    stacked = scipy.sparse.vstack(blocks, format="csr")
    rows = np.concatenate([slab.rows for slab in space.slabs(3)])
    reference = scipy.sparse.csr_array(whole[rows])
    assert stacked.shape == reference.shape
    assert np.array_equal(stacked.indices, reference.indices)
    assert np.array_equal(stacked.data.view(np.uint64), reference.data.view(np.uint64))
    assert same_csr(build(range(2, 9)), scipy.sparse.csr_array(whole[np.arange(2, 9)]))


def test_upwind_slab_reads_the_previous_interval():
    V = pn.LegendreSpace(2, 6, 1.0)
    slab = V.slab(2, 4)
    columns = set(V.derivative_matrix(slab, upwind=True).indices.tolist())
    intervals = {c % V.n_t for c in columns}
    assert intervals == {1, 2, 3}


@pytest.mark.parametrize("p, n_c, q, n_f", [(2, 3, 2, 6), (1, 2, 3, 6), (3, 4, 3, 4), (0, 5, 2, 15)])
def test_projection_on_nested_partitions(p, n_c, q, n_f):
    coarse, fine = pn.LegendreSpace(p, n_c, 1.5), pn.LegendreSpace(q, n_f, 1.5)
    c = np.random.default_rng(1).standard_normal(coarse.size)
    up = coarse.projection_to(fine)
    times = ((np.arange(n_f)[:, None] + np.linspace(0.05, 0.95, 7)) * (1.5 / n_f)).ravel()  # off the ends
    # Exact reproduction: the coarse function lies in the fine space.
    assert np.allclose(fine.evaluate(up @ c, times), coarse.evaluate(c, times), rtol=0, atol=1e-13 * np.abs(c).sum())
    back = fine.projection_to(coarse) @ up
    assert np.abs(back.toarray() - np.eye(coarse.size)).max() <= 1e-13
    assert np.all(up.data != 0.0) and np.all(back.data != 0.0)


@pytest.mark.parametrize("p, n_a, q, n_b", [(2, 3, 1, 5), (3, 7, 4, 4), (1, 1, 0, 3)])
def test_projection_is_l2_orthogonal(p, n_a, q, n_b):
    a, b = pn.LegendreSpace(p, n_a, 2.0), pn.LegendreSpace(q, n_b, 2.0)
    c = np.random.default_rng(2).standard_normal(a.size)
    P = a.projection_to(b)
    # M_b P c against the integrals of b's basis times u, by a fine composite rule.
    x, w = np.polynomial.legendre.leggauss(12)
    ends = np.union1d(a.breakpoints, b.breakpoints)
    lo, hi = ends[:-1, None], ends[1:, None]
    times = ((lo + hi) / 2 + (hi - lo) / 2 * x).ravel()
    weights = ((hi - lo) / 2 * w).ravel()
    moments = basis_values(b, times).T @ (weights * a.evaluate(c, times))
    assert np.abs(b.mass_matrix() @ (P @ c) - moments).max() <= 1e-13 * np.abs(moments).max()
    assert same_csr(
        a.projection_to(b, rows=b.slab(1, n_b) if n_b > 1 else range(1)),
        scipy.sparse.csr_array(P[b.slab(1, n_b).rows if n_b > 1 else np.arange(1)]),
    )


V2 = pn.LegendreSpace(2, 4, 1.0)
W2 = pn.LagrangeSpace(2, 4, 1.0)


@pytest.mark.parametrize(
    "call, error, pattern",
    [
        (
            lambda: V2.mass_matrix(trial=pn.LegendreSpace(2, 5, 1.0)),
            ValueError,
            r"trial: .* another partition \(n_t=5, T=1.0\), expected the partition of V = .*\(n_t=4, T=1.0\)",
        ),
        (lambda: W2.derivative_matrix(trial=pn.LagrangeSpace(1, 4, 2.0)), ValueError, r"trial: .*T=2.0"),
        (lambda: V2.mass_matrix(trial="V"), TypeError, r"trial: expected None, a LegendreSpace or a LagrangeSpace"),
        (lambda: V2.derivative_matrix(trial=W2, upwind=True), ValueError, r"upwind: .*trial space LagrangeSpace"),
        (lambda: W2.derivative_matrix(upwind=True), ValueError, r"upwind: .*test space LagrangeSpace"),
        (lambda: V2.derivative_matrix(upwind=1), TypeError, r"upwind: expected a bool, got 1 \(int\)"),
        (lambda: V2.derivative_matrix(rows=W2.slab(0, 1)), ValueError, r"rows: a slab of LagrangeSpace"),
        (lambda: V2.projection_to(W2), TypeError, r"other: expected a LegendreSpace, got LagrangeSpace"),
        (lambda: V2.projection_to(pn.LegendreSpace(1, 4, 2.0)), ValueError, r"other: .* spans \[0.0, 2.0\]"),
        (
            lambda: V2.projection_to(pn.LegendreSpace(1, 3, 1.0), rows=V2.slab(0, 1)),
            ValueError,
            r"rows: a slab of LegendreSpace\(degree=2, n_t=4, T=1.0\), expected a slab of other",
        ),
    ],
)
def test_misuse(call, error, pattern):
    with pytest.raises(error, match=pattern):
        call()


def kernel_operator(form, degree, breakpoints):
    """A Legendre operator on breakpoints through the kernels (the spaces take uniform partitions)."""
    from pwpoly_numpy import _kernels

    n_t = breakpoints.size - 1
    shape = (0, degree, 0, degree, form)
    rows = (degree + 1) * n_t
    nnz = _kernels.galerkin_nnz(*shape, n_t, 0, rows)
    indptr, indices, data = np.zeros(rows + 1, np.int64), np.empty(nnz, np.int64), np.empty(nnz)
    _kernels.galerkin64(*shape, n_t, 0.0, breakpoints, 0, rows, indptr, indices, data, 1)
    return scipy.sparse.csr_array((data, indices, indptr), shape=(rows, rows))


@pytest.mark.parametrize("q", range(6))
@pytest.mark.parametrize("lam", [-3.0, 0.5])
def test_dg_on_breakpoints_is_the_product_of_pade_steps(q, lam):
    b = np.cumsum(np.concatenate([[0.3], np.random.default_rng(q).uniform(0.01, 0.4, 9)]))
    n_t = b.size - 1
    A = kernel_operator(2, q, b) - lam * kernel_operator(0, q, b)
    start = np.zeros(A.shape[0])
    start[np.arange(q + 1) * n_t] = (-1.0) ** np.arange(q + 1)
    c = scipy.sparse.linalg.spsolve(A.tocsc(), start)
    end = c.reshape(q + 1, n_t)[:, -1].sum()
    steps = [pade(q, q + 1, lam * h) for h in np.diff(b)]
    assert abs(end - np.prod(steps)) <= 1e-12 * abs(np.prod(steps[:-1]))
