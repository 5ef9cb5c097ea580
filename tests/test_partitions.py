"""Spaces on any breakpoints: every method on graded, tiny, huge and shifted partitions."""

import copy
import pickle

import numpy as np
import pytest
import scipy.sparse
from hypothesis import assume, given, settings
from hypothesis import strategies as st

import pwpoly_numpy as pn


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


@st.composite
def partitions(draw, max_intervals=30):
    """Breakpoints: graded, uniform-like, with lengths from 1e-9 to 1e9 relative, starts other than 0."""
    n = draw(st.integers(1, max_intervals))
    start = draw(st.sampled_from([0.0, -3.0, 1.5, 1e6, -2e-3]))
    span = draw(st.sampled_from([1.0, 1e-6, 4e3]))
    kind = draw(st.sampled_from(["graded", "random", "tiny first"]))
    s = np.arange(n + 1) / n
    if kind == "graded":
        steps = s ** draw(st.sampled_from([2, 3]))
    elif kind == "random":
        widths = np.array(draw(st.lists(st.floats(1e-3, 1.0), min_size=n, max_size=n)))
        steps = np.concatenate([[0.0], np.cumsum(widths) / widths.sum()])
    else:
        steps = np.concatenate([[0.0], 1e-9 + (1 - 1e-9) * s[1:] ** 2])
    ends = start + span * steps
    ends[-1] = start + span
    if not np.all(np.diff(ends) > 0):  # lengths below the resolution at this start
        ends = start + span * (np.arange(n + 1) / n)
    return ends


def resolution(ends, degree):
    """What rounding the times to doubles does to a polynomial of the degree on the partition,
    relative to its coefficients: the spacing of the times over the shortest interval, times
    degree^2 (the local coordinate carries that relative error)."""
    return 1e-10 + 20.0 * (degree + 1) ** 2 * np.spacing(np.abs(ends).max()) / np.diff(ends).min()


def reference_locate(ends, t):
    """Interval k with ends[k] <= t < ends[k + 1] (clamped), and xi by the library's formula."""
    n = len(ends) - 1
    k = np.clip(np.searchsorted(ends[1:-1], t, side="right"), 0, n - 1)
    k = np.where(np.isnan(t), 0, k)
    a, b = ends[k], ends[k + 1]
    with np.errstate(invalid="ignore"):
        xi = np.clip(((t - a) - (b - t)) / (b - a), -1.0, 1.0)
    return k, xi


def times_for(ends, rng, count=60):
    inside = rng.uniform(ends[0], ends[-1], count)
    special = [ends[0] - 1.0, ends[-1] + 1.0, -np.inf, np.inf, np.nan]
    return np.concatenate([ends, np.nextafter(ends, -np.inf), np.nextafter(ends, np.inf), inside, special])


# ---------------------------------------------------------------------------------------------
# Legendre


@given(partitions(), st.integers(0, 6), st.integers(0, 2**32 - 1))
@settings(max_examples=80, deadline=None)
def test_legendre_lookup_evaluation_and_basis_matrix(ends, degree, seed):
    rng = np.random.default_rng(seed)
    V = pn.LegendreSpace(degree, breakpoints=ends)
    assert (V.n_t, V.t0, V.T, V.size) == (len(ends) - 1, ends[0], ends[-1], (len(ends) - 1) * (degree + 1))
    assert same_bits(V.breakpoints, ends) and same_bits(V.lengths, np.diff(ends))
    t = times_for(ends, rng)
    k, xi = V.locate(t)
    k_ref, xi_ref = reference_locate(ends, t)
    assert np.array_equal(k, k_ref) and same_bits(np.where(np.isnan(t), 0.0, xi), np.where(np.isnan(t), 0.0, xi_ref))
    c = rng.standard_normal((2, V.size))
    P = np.polynomial.legendre.legvander(np.nan_to_num(xi_ref), degree)  # P_i(xi) per time
    D = (
        np.stack(
            [
                np.polynomial.legendre.legval(
                    np.nan_to_num(xi_ref), np.polynomial.legendre.legder(np.eye(degree + 1)[i])
                )
                for i in range(degree + 1)
            ],
            axis=-1,
        )
        if degree > 0
        else np.zeros_like(P)
    )
    ok = ~np.isnan(t)
    coefficients = c.reshape(2, degree + 1, V.n_t)[:, :, k_ref].transpose(0, 2, 1)  # (batch, time, degree)
    values = np.einsum("td,btd->bt", P, coefficients)
    slopes = np.einsum("td,btd->bt", D, coefficients) * (2.0 / (ends[k_ref + 1] - ends[k_ref]))
    scale = 1.0 + np.abs(c).sum()
    assert np.allclose(V.evaluate(c, t)[:, ok], values[:, ok], rtol=0, atol=1e-12 * scale)
    assert np.allclose(
        V.evaluate(c, t, derivative=1)[:, ok], slopes[:, ok], rtol=1e-10, atol=1e-10 * scale * 2.0 / V.lengths.min()
    )
    # One vector (its own kernel path) and the basis matrix give the same bits as the batch.
    assert same_bits(V.evaluate(c[1], t), V.evaluate(c, t)[1])
    for derivative in (0, 1):
        B = V.basis_matrix(t, derivative=derivative)
        assert np.array_equal(B.indices.reshape(-1, degree + 1), k_ref[:, None] + V.n_t * np.arange(degree + 1))
        rows = B.data.reshape(-1, degree + 1)
        assert np.allclose(
            rows[ok],
            (P if derivative == 0 else D * (2.0 / (ends[k_ref + 1] - ends[k_ref]))[:, None])[ok],
            rtol=1e-12,
            atol=1e-12 * (1.0 + np.abs(rows[ok]).max()),
        )


@given(partitions(), st.integers(0, 5))
@settings(max_examples=60, deadline=None)
def test_legendre_mass_and_projection(ends, degree):
    V = pn.LegendreSpace(degree, breakpoints=ends)
    M = V.mass_matrix()
    lengths = np.diff(ends)
    assert same_bits(M.diagonal(), np.concatenate([lengths / (2.0 * i + 1.0) for i in range(degree + 1)]))
    # A polynomial of the degree (in the time relative to the middle) is reproduced.
    middle, half = (ends[0] + ends[-1]) / 2, (ends[-1] - ends[0]) / 2
    poly = np.polynomial.Polynomial(np.arange(1.0, degree + 2.0))
    c = V.project(lambda t: poly((t - middle) / half))
    t = np.linspace(ends[0], ends[-1], 200)
    assert np.allclose(
        V.evaluate(c, t), poly((t - middle) / half), rtol=0, atol=resolution(ends, degree) * poly.coef.sum()
    )


# ---------------------------------------------------------------------------------------------
# Lagrange


@given(partitions(max_intervals=20), st.integers(1, 5))
@settings(max_examples=60, deadline=None)
def test_lagrange_nodes_interpolation_mass_and_transformation(ends, degree):
    try:
        W = pn.LagrangeSpace(degree, breakpoints=ends)
    except ValueError as error:  # an interval a few ulps long has no room for the nodes
        assert "is too short for" in str(error) and np.diff(ends).min() < 1e3 * np.spacing(np.abs(ends).max())
        assume(False)
    x = W.points
    assert x.shape == (W.size,) == ((len(ends) - 1) * degree + 1,)
    assert same_bits(x[::degree], ends) and np.all(np.diff(x) > 0)
    middle, half = (ends[0] + ends[-1]) / 2, (ends[-1] - ends[0]) / 2
    poly = np.polynomial.Polynomial(np.linspace(1.0, 2.0, degree + 1))
    f = lambda t: poly((t - middle) / half)  # noqa: E731
    u = W.interpolate(f)
    t = np.linspace(ends[0], ends[-1], 97)
    assert np.allclose(W.evaluate(u, t), f(t), rtol=0, atol=resolution(ends, degree) * 2 * (degree + 1))
    # The mass matrix integrates products of polynomials of the degree exactly.
    M = W.mass_matrix()
    g = np.polynomial.Polynomial([0.5, -1.0])
    exact = (poly * g).integ()
    integral = (exact(1.0) - exact(-1.0)) * half
    assert np.isclose(
        W.interpolate(lambda t: g((t - middle) / half)) @ (M @ u),
        integral,
        rtol=0,
        atol=resolution(ends, degree) * 10 * half * (degree + 1),
    )
    # The transformation holds the one local matrix on every interval: the uniform space's entries.
    assert (W.to_legendre() != pn.LagrangeSpace(degree, W.n_t, 1.0).to_legendre()).nnz == 0
    assert W.legendre_space() == pn.LegendreSpace(degree, breakpoints=ends)


@given(partitions(max_intervals=12), st.integers(1, 4), st.data())
@settings(max_examples=60, deadline=None)
def test_prolongation_between_any_partitions_of_one_interval(ends, degree, data):
    try:
        W = pn.LagrangeSpace(degree, breakpoints=ends)
    except ValueError:  # an interval too short for distinct nodes of that degree
        assume(False)
    if data.draw(st.booleans()):  # a refinement: every coarse node is a fine node
        parts = data.draw(st.integers(1, 3))
        cuts = ends[:-1, None] + np.diff(ends)[:, None] * (np.arange(parts) / parts)
        fine_ends = np.append(cuts.ravel(), ends[-1])
    else:  # not nested: a graded partition of the same interval
        fine_ends = ends[0] + (ends[-1] - ends[0]) * (np.arange(8) / 7) ** 2
        fine_ends[-1] = ends[-1]
    try:
        fine = pn.LagrangeSpace(degree, breakpoints=fine_ends)
    except ValueError:  # a fine interval too short for distinct nodes of that degree
        assume(False)
    P = W.prolongation_to(fine)
    assert P.shape == (fine.size, W.size)
    middle, half = (ends[0] + ends[-1]) / 2, (ends[-1] - ends[0]) / 2
    poly = np.polynomial.Polynomial(np.linspace(-1.0, 1.0, degree + 1))
    f = lambda t: poly((t - middle) / half)  # noqa: E731
    assert np.allclose(
        P @ W.interpolate(f), fine.interpolate(f), rtol=0, atol=resolution(ends, degree) * 2 * (degree + 1)
    )
    coarse_points = {float(p): j for j, p in enumerate(W.points)}
    for r, p in enumerate(fine.points):
        if float(p) in coarse_points:
            row = P[[r], :]
            assert row.nnz == 1 and row.indices[0] == coarse_points[float(p)] and row.data[0] == 1.0
    # Blocks of rows stack to the whole, also across kinds of partition.
    for slab in fine.slabs(min(3, fine.n_t)):
        assert same_bits(P[slab.rows, :].toarray(), W.prolongation_to(fine, rows=slab).toarray())


# ---------------------------------------------------------------------------------------------
# Uniform values as breakpoints, slabs, values


@pytest.mark.parametrize("degree, n_t, T", [(1, 7, 1.0), (3, 10, 2.5), (2, 64, 1e-3)])
def test_breakpoints_of_a_uniform_space_give_its_results(degree, n_t, T):
    V, W = pn.LegendreSpace(degree, n_t, T), pn.LagrangeSpace(degree, n_t, T)
    Vb, Wb = pn.LegendreSpace(degree, breakpoints=V.breakpoints), pn.LagrangeSpace(degree, breakpoints=V.breakpoints)
    assert Vb != V and Wb != W and hash(Vb) != hash(V)
    t = np.random.default_rng(1).uniform(0.0, T, 500)
    c, u = np.random.default_rng(2).standard_normal(V.size), np.random.default_rng(3).standard_normal(W.size)
    close = lambda a, b: np.allclose(a, b, rtol=1e-13, atol=1e-13 * np.abs(b).max())  # noqa: E731
    assert close(Vb.evaluate(c, t), V.evaluate(c, t)) and close(Vb.evaluate(c, t, 1), V.evaluate(c, t, 1))
    assert close(Vb.mass_matrix().toarray(), V.mass_matrix().toarray())
    assert close(Wb.mass_matrix().toarray(), W.mass_matrix().toarray())
    assert close(Wb.points, W.points) and close(Wb.evaluate(u, t), W.evaluate(u, t))
    fine = pn.LagrangeSpace(degree, 2 * n_t + 1, T)
    fine_b = pn.LagrangeSpace(degree, breakpoints=pn.LegendreSpace(0, 2 * n_t + 1, T).breakpoints)
    for coarse, target in ((Wb, fine), (W, fine_b), (Wb, fine_b)):
        assert close(coarse.prolongation_to(target).toarray(), W.prolongation_to(fine).toarray())


@given(partitions(max_intervals=25), st.integers(0, 4), st.data())
@settings(max_examples=40, deadline=None)
def test_slabs_of_breakpoint_spaces(ends, degree, data):
    V = pn.LegendreSpace(degree, breakpoints=ends)
    try:
        W = pn.LagrangeSpace(degree + 1, breakpoints=ends)
    except ValueError:  # an interval too short for distinct nodes of that degree
        assume(False)
    parts = data.draw(st.integers(1, V.n_t))
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
    c, u = rng.standard_normal(V.size), rng.standard_normal(W.size)
    for space in (V, W):
        slabs = space.slabs(parts)
        assert [(s.t0, s.t1) for s in slabs] == [(ends[s.k0], ends[s.k1]) for s in slabs]
        rows = np.concatenate([s.rows for s in slabs])
        assert np.array_equal(np.sort(rows), np.arange(space.size))
    for j, s in enumerate(V.slabs(parts)):
        t = np.linspace(s.t0, s.t1, 33, endpoint=False)
        t = t[t < s.t1]  # a slab a few units in the last place long: linspace may round onto t1
        assert np.all(V.locate_slab(t, parts) == j)
        assert same_bits(V.evaluate(c[s.rows], t, slab=s), V.evaluate(c, t))
    d = W.degree
    for s in W.slabs(parts):
        nodes = W.points_of(range(s.k0 * d, s.k1 * d + 1))
        assert same_bits(nodes, W.points[s.k0 * d : s.k1 * d + 1])
        assert np.allclose(
            W.evaluate(u[s.k0 * d : s.k1 * d + 1], nodes, slab=s),
            u[s.k0 * d : s.k1 * d + 1],
            rtol=0,
            atol=resolution(ends, d) * 4 * (1 + np.abs(u).max()),
        )
    # Blocks of rows stack to the whole operators.
    blocks = scipy.sparse.vstack([W.mass_matrix(rows=s) for s in W.slabs(parts)]).tocsr()
    assert same_bits(blocks.toarray(), W.mass_matrix().toarray())
    legendre_rows = np.concatenate([s.rows for s in W.legendre_space().slabs(parts)])
    blocks = scipy.sparse.vstack([W.to_legendre(rows=s) for s in W.slabs(parts)]).toarray()
    assert same_bits(blocks, W.to_legendre().toarray()[legendre_rows])
    blocks = scipy.sparse.vstack([V.mass_matrix(rows=s) for s in V.slabs(parts)]).toarray()
    order = np.concatenate([s.rows for s in V.slabs(parts)])
    assert same_bits(blocks, V.mass_matrix().toarray()[order])


def test_values_repr_pickling_and_copies():
    ends = np.array([0.0, 0.1, 0.4, 1.0])
    V = pn.LegendreSpace(2, breakpoints=ends)
    assert repr(V) == "LegendreSpace(degree=2, breakpoints=[0.0, 0.1, 0.4, 1.0])"
    long = pn.LagrangeSpace(1, breakpoints=np.arange(11.0))
    assert repr(long) == "LagrangeSpace(degree=1, breakpoints=[0.0, 1.0, 2.0, ..., 9.0, 10.0])"
    ends[1] = 0.2  # the space holds its own copy
    assert V.breakpoints[1] == 0.1 and not V.breakpoints.flags.writeable
    with pytest.raises(ValueError):
        V.breakpoints.flags.writeable = True
    same = pn.LegendreSpace(2, breakpoints=[0.0, 0.1, 0.4, 1.0])
    assert V == same and hash(V) == hash(same) and V != pn.LegendreSpace(2, breakpoints=[0.0, 0.1, 0.4, 1.0 + 2**-52])
    for clone in (pickle.loads(pickle.dumps(V)), copy.copy(V), copy.deepcopy(V)):
        assert clone == V and same_bits(clone.breakpoints, V.breakpoints)
    slab = V.slab(1, 3)
    assert pickle.loads(pickle.dumps(slab)) == slab and slab.t0 == 0.1 and slab.t1 == 1.0


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda: pn.LegendreSpace(1, breakpoints=[[0.0, 1.0]]),
            ValueError,
            "breakpoints: expected a 1-D array, got shape (1, 2)",
        ),
        (
            lambda: pn.LegendreSpace(1, breakpoints=[0.0]),
            ValueError,
            "breakpoints: expected at least 2 breakpoints, got 1",
        ),
        (
            lambda: pn.LagrangeSpace(1, breakpoints=[0.0, np.inf]),
            ValueError,
            "breakpoints: breakpoints[1] = inf is not finite",
        ),
        (lambda: pn.LagrangeSpace(1, breakpoints=[0.0, np.nan, 1.0]), ValueError, "breakpoints: breakpoints[1] = nan"),
        (
            lambda: pn.LegendreSpace(1, breakpoints=[0.0, 0.5, 0.5, 1.0]),
            ValueError,
            "breakpoints: expected strictly increasing values, got breakpoints[1] = 0.5 and breakpoints[2] = 0.5",
        ),
        (
            lambda: pn.LegendreSpace(1, breakpoints=[0.0, 2.0, 1.0]),
            ValueError,
            "breakpoints: expected strictly increasing",
        ),
        (
            lambda: pn.LagrangeSpace(2, breakpoints=[1e6, 1e6 + 1.0, np.nextafter(1e6 + 1.0, 2e6)]),
            ValueError,
            "breakpoints: interval 1, [1000001.0, 1000001.0000000001], is too short for 1 distinct interior nodes",
        ),
        (
            lambda: pn.LegendreSpace(1, breakpoints=["a", "b"]),
            TypeError,
            "breakpoints: expected an array-like of real numbers",
        ),
        (
            lambda: pn.LegendreSpace(1, breakpoints=None),
            ValueError,
            "breakpoints: give either n_t and T or breakpoints",
        ),
        (lambda: pn.LegendreSpace(1), ValueError, "breakpoints: give either n_t and T or breakpoints"),
        (lambda: pn.LegendreSpace(1, 4, 1.0, breakpoints=[0.0, 1.0]), ValueError, "breakpoints: give either n_t and T"),
        (lambda: pn.LagrangeSpace(1, 4, breakpoints=[0.0, 1.0]), ValueError, "breakpoints: give either n_t and T"),
        (
            lambda: pn.LagrangeSpace(1, breakpoints=[0.0, 1.0]).prolongation_to(
                pn.LagrangeSpace(1, breakpoints=[0.5, 1.0])
            ),
            ValueError,
            "fine: starts at 0.5, expected W.t0 = 0.0",
        ),
        (
            lambda: pn.LagrangeSpace(1, breakpoints=[0.0, 1.0]).prolongation_to(pn.LagrangeSpace(1, 3, 2.0)),
            ValueError,
            "fine: T is 2.0, expected W.T = 1.0",
        ),
        (lambda: pn.LegendreSpace(1, breakpoints=[0.0, 1.0]).dt, ValueError, "dt: a space on breakpoints"),
    ],
)
def test_misuse_names_the_argument(call, error, message, capfd):
    with pytest.raises(error) as info:
        call()
    assert str(info.value).startswith(message), str(info.value)
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize(
    ("data", "expected"),
    [
        (
            b"\x80\x02cpwpoly_numpy._spaces\nLegendreSpace\nq\x00K\x02K\x04G?\xf0\x00\x00\x00\x00\x00\x00\x87q\x01Rq\x02.",
            lambda: pn.LegendreSpace(2, 4, 1.0),
        ),
        (
            (
                b"\x80\x02cpwpoly_numpy._slabs\nTimeSlab\nq\x00cpwpoly_numpy._spaces\nLagrangeSpace\nq\x01K\x01K\x03"
                b"G@\x00\x00\x00\x00\x00\x00\x00\x87q\x02Rq\x03K\x01K\x03\x87q\x04Rq\x05."
            ),
            lambda: pn.LagrangeSpace(1, 3, 2.0).slab(1, 3),
        ),
    ],
)
def test_pickles_of_the_earlier_module_layout_load(data, expected):
    """Pickles written before the spaces and slabs moved to modules of their own still load."""
    assert pickle.loads(data) == expected()
