"""The array face's local coordinate from the interval's own ends, checked against exact rational
arithmetic on the given doubles; derivatives of any order; a uniform space and the space on its
breakpoints as one partition, bit for bit."""

from fractions import Fraction

import numpy as np
import pytest

import pwpoly_numpy as pn

EPS = np.finfo(float).eps


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def graded(power, n=40):
    return (np.arange(n + 1) / n) ** power


# Partitions where the midpoint formula lost digits: graded, far from the origin with tiny
# intervals, negative, and a uniform one.
PARTITIONS = {
    "(k/n)^2": graded(2),
    "(k/n)^3": graded(3),
    "1e6 + k*1e-6": 1e6 + 1e-6 * np.arange(41),
    "1000 + k*1e-6": 1000.0 + 1e-6 * np.arange(41),
    "negative": -5.0 + 4.0 * graded(2),
    "uniform": pn.LegendreSpace(0, 40, 3.0).breakpoints,
}


def times_on(ends, rng, count=300):
    """Times inside the intervals, their ends and their neighbours in the last place."""
    k = rng.integers(0, len(ends) - 1, count)
    inside = ends[k] + rng.uniform(0.0, 1.0, count) * (ends[k + 1] - ends[k])
    return np.concatenate([inside, ends, np.nextafter(ends[1:], -np.inf), np.nextafter(ends[:-1], np.inf)])


def exact_coordinate(a, b, t):
    """((t - a) - (b - t)) / (b - a) of the exact doubles, clamped to [-1, 1]."""
    a, b, t = Fraction(float(a)), Fraction(float(b)), Fraction(float(t))
    return min(max((2 * t - a - b) / (b - a), Fraction(-1)), Fraction(1))


def exact_legendre(xi, degree, order=0):
    """The order-th derivatives of P_0 ... P_degree at the Fraction xi, exactly."""
    rows = [[Fraction(1)] + [Fraction(0)] * order]
    if degree >= 1:
        rows.append([xi, Fraction(1)] + [Fraction(0)] * (order - 1) if order >= 1 else [xi])
    for j in range(1, degree):
        previous, current = rows[j - 1], rows[j]
        nxt = [((2 * j + 1) * xi * current[0] - j * previous[0]) / (j + 1)]
        nxt += [previous[q] + (2 * j + 1) * current[q - 1] for q in range(1, order + 1)]
        rows.append(nxt)
    return [row[order] for row in rows]


@pytest.mark.parametrize("name", PARTITIONS)
def test_coordinate_is_within_two_eps_of_the_exact_one(name):
    ends = PARTITIONS[name]
    V = pn.LegendreSpace(0, breakpoints=ends)
    t = times_on(ends, np.random.default_rng(22))
    k, xi = V.locate(t)
    errors = [abs(Fraction(float(x)) - exact_coordinate(ends[j], ends[j + 1], s)) for j, x, s in zip(k, xi, t)]
    assert max(errors) <= 2 * EPS
    # An interior breakpoint is the left end of its interval, the last one the right end: exactly.
    assert np.all(V.locate(ends[:-1])[1] == -1.0) and V.locate(ends[-1:])[1][0] == 1.0


@pytest.mark.parametrize("name", PARTITIONS)
@pytest.mark.parametrize("order", [0, 1, 2])
def test_evaluate_is_within_a_few_eps_of_its_natural_scale(name, order):
    """Against the exact expansion at the exact coordinate: within 16 eps of the conditioning
    bound, sum |c_i P_i^(q)(xi)| plus the coordinate's 2 eps seen through the next derivative."""
    ends = PARTITIONS[name]
    degree = 5
    V = pn.LegendreSpace(degree, breakpoints=ends)
    rng = np.random.default_rng(order)
    c = rng.standard_normal(V.size)
    t = times_on(ends, rng, 60)
    values = V.evaluate(c, t, derivative=order)
    B = V.basis_matrix(t, derivative=order)
    k, _ = V.locate(t)
    for j, s in enumerate(t):
        a, b = ends[k[j]], ends[k[j] + 1]
        xi = exact_coordinate(a, b, s)
        local = [Fraction(float(c[i * V.n_t + k[j]])) for i in range(degree + 1)]
        terms = [ci * p for ci, p in zip(local, exact_legendre(xi, degree, order))]
        slopes = [ci * p for ci, p in zip(local, exact_legendre(xi, degree, order + 1))]
        scale = (Fraction(2) / (Fraction(float(b)) - Fraction(float(a)))) ** order
        exact = sum(terms) * scale
        bound = 16 * EPS * float(sum(abs(x) for x in terms) + 2 * sum(abs(x) for x in slopes)) * float(scale)
        assert abs(float(Fraction(float(values[j])) - exact)) <= bound, (name, s)
        row = slice(B.indptr[j], B.indptr[j + 1])
        assert abs(float(Fraction(float(B.data[row] @ c[B.indices[row]])) - exact)) <= 2 * bound


@pytest.mark.parametrize("degree", [0, 1, 3, 6])
def test_derivatives_of_any_order_are_numpys_legder(degree):
    V = pn.LegendreSpace(degree, breakpoints=-1.0 + 3.0 * graded(2, 7))
    W = pn.LagrangeSpace(degree + 1, breakpoints=V.breakpoints)
    rng = np.random.default_rng(degree)
    c = rng.standard_normal((2, V.size))
    t = rng.uniform(V.t0, V.T, 50)
    k, xi = V.locate(t)
    h = V.lengths[k]
    local = c.reshape(2, degree + 1, V.n_t)[:, :, k]  # (batch, degree, time)
    u = rng.standard_normal(W.size)
    for order in range(degree + 3):
        expected = (
            np.stack(
                [
                    np.array(
                        [
                            np.polynomial.legendre.legval(x, np.polynomial.legendre.legder(local[b, :, j], order))
                            for j, x in enumerate(xi)
                        ]
                    )
                    for b in range(2)
                ]
            )
            * (2.0 / h) ** order
        )
        got = V.evaluate(c, t, derivative=order)
        scale = np.abs(local).sum(axis=1) * (degree + 1) ** (2 * order) * (2.0 / h) ** order
        assert np.all(np.abs(got - expected) <= 64 * EPS * scale)
        if order > degree:
            assert not got.any() and V.basis_matrix(t, derivative=order).count_nonzero() == 0
        # The Lagrange space's derivatives are those of its Legendre coefficients.
        coefficients = W.to_legendre() @ u
        lagrange = W.evaluate(u, t, derivative=order)
        assert same_bits(lagrange, W.legendre_space().evaluate(coefficients, t, derivative=order))
        B = W.basis_matrix(t, derivative=order)
        assert B.shape == (t.size, W.size)
        assert np.allclose(B @ u, lagrange, rtol=0, atol=1e-12 * np.abs(lagrange).max() + 1e-300)


def test_a_huge_derivative_order_gives_zeros():
    V = pn.LegendreSpace(3, 4, 1.0)
    assert not V.evaluate(np.ones(V.size), [0.1, 0.7], derivative=2**70).any()


@pytest.mark.parametrize(("n_t", "T"), [(7, 1.0), (10, 0.3), (1000, 1000.0), (3, 1e-6)])
@pytest.mark.parametrize("degree", [0, 2, 5])
def test_a_uniform_space_and_its_breakpoint_space_give_the_same_bits(n_t, T, degree):
    U = pn.LegendreSpace(degree, n_t, T)
    B = pn.LegendreSpace(degree, breakpoints=U.breakpoints)
    assert same_bits(U.lengths, B.lengths)
    rng = np.random.default_rng(n_t)
    t = np.concatenate([rng.uniform(-0.1 * T, 1.1 * T, 500), U.breakpoints, [np.nan, np.inf]])
    c = rng.standard_normal((3, U.size))
    for times in (t, np.sort(t)):
        assert all(same_bits(x, y) for x, y in zip(U.locate(times), B.locate(times)))
        for order in (0, 1, 3):
            assert same_bits(U.evaluate(c, times, derivative=order), B.evaluate(c, times, derivative=order))
            assert same_bits(U.evaluate(c[0], times, derivative=order), B.evaluate(c[0], times, derivative=order))
            assert same_bits(U.basis_matrix(times, order).data, B.basis_matrix(times, order).data)
    for method in ("mass_matrix", "derivative_matrix"):
        assert same_bits(getattr(U, method)().toarray(), getattr(B, method)().toarray())
    assert same_bits(U.derivative_matrix(upwind=True).toarray(), B.derivative_matrix(upwind=True).toarray())
    assert same_bits(U.project(np.cos), B.project(np.cos))
    for source, target in ((U, B), (B, U), (U, U), (B, B)):
        coarse = pn.LegendreSpace(degree + 1, breakpoints=np.linspace(U.t0, U.breakpoints[-1], 4))
        assert same_bits(source.projection_to(coarse).toarray(), B.projection_to(coarse).toarray())
        assert same_bits(coarse.projection_to(target).toarray(), coarse.projection_to(B).toarray())
    # One partition to the operators and slabs: either spelling is accepted where the other is.
    assert same_bits(U.mass_matrix(trial=B).toarray(), U.mass_matrix().toarray())
    assert same_bits(B.derivative_matrix(trial=U).toarray(), B.derivative_matrix().toarray())
    slab = U.slab(0, n_t)
    assert same_bits(B.evaluate(c[0][slab.rows], t[t < U.T], slab=slab), B.evaluate(c[0], t[t < U.T]))
    assert same_bits(B.mass_matrix(rows=U.slab(0, 1)).toarray(), B.mass_matrix(rows=B.slab(0, 1)).toarray())
    W = pn.LagrangeSpace(2, breakpoints=U.breakpoints)
    assert W.mass_matrix(trial=U).shape == (W.size, U.size)
    with pytest.raises(ValueError, match=r"trial: .* is on another partition"):
        U.mass_matrix(trial=pn.LegendreSpace(degree, breakpoints=U.breakpoints * 1.5))
    with pytest.raises(ValueError, match="slab: a slab of"):
        B.evaluate(c[0][: degree + 1], 0.0, slab=pn.LegendreSpace(degree + 1, n_t, T).slab(0, 1))
