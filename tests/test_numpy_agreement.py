"""pwpoly_numpy against the scalar module pwpoly: the same intervals, and the same numbers up to
the rounding of the local coordinate (each module forms it its own way: pwpoly from the rounded
midpoint, pwpoly_numpy from the interval's own ends) and bit for bit where no coordinate enters."""

import numpy as np
from hypothesis import given, settings
from hypothesis import strategies as st

import pwpoly
import pwpoly_numpy as pn


def same_bits(a, b):
    """Equal arrays to the bit (signed zeros distinguished); NaN matches NaN."""
    a = np.asarray(a, dtype=np.float64)
    b = np.asarray(b, dtype=np.float64)
    assert a.shape == b.shape
    nan = np.isnan(a)
    assert np.array_equal(nan, np.isnan(b))
    assert np.array_equal(a.view(np.uint64)[~nan], b.view(np.uint64)[~nan])


lengths = st.one_of(
    st.sampled_from([1.0, 0.3, 7.0, 1e-3, 123.456]), st.floats(1e-6, 1e6, allow_nan=False, allow_infinity=False)
)


@st.composite
def legendre_cases(draw, max_degree=9, max_times=40):
    """A space and times that reach every branch of the lookup: interval ends (k dt and
    dt + k dt), 0 and T, outside [0, T], infinities, NaN and interior times."""
    degree = draw(st.integers(0, max_degree))
    n_t = draw(st.integers(1, 40))
    T = draw(lengths)
    dt = T / n_t
    k = st.integers(0, n_t)
    time = st.one_of(
        st.sampled_from([0.0, -0.0, T, -T, 2 * T, np.inf, -np.inf, np.nan, 1e300, T * (1 + 1e-15)]),
        k.map(lambda k: k * dt),
        k.map(lambda k: dt + k * dt),
        st.floats(-0.2 * T, 1.2 * T, allow_nan=False),
        st.floats(0.0, T),
    )
    times = draw(st.lists(time, min_size=1, max_size=max_times))
    return pn.LegendreSpace(degree, n_t, T), np.array(times)


def agreeing(V, times):
    """Where pwpoly's lookup (k = floor(t / dt)) picks the interval pwpoly_numpy picks: True. Elsewhere
    the time lies within rounding of an interior breakpoint, and pwpoly_numpy puts it on its right:
    breakpoints[k] <= t < breakpoints[k + 1]."""
    k, _ = V.locate(times)
    scalar = pwpoly.LegendreBasis(max(V.degree, 1), V.n_t, V.T)
    ends = V.breakpoints
    agree = np.ones(times.shape, dtype=bool)
    for j, t in enumerate(times):
        k_scalar = int(np.argmax(np.array(scalar.evaluate_all_basis_functions(t))[: V.n_t] == 1.0))
        if k_scalar != k[j]:
            agree[j] = False
            assert ends[k[j]] <= t < ends[k[j] + 1]
            assert abs(t - ends[max(k[j], k_scalar)]) <= 1e-14 * abs(t)
    return agree


coefficient_values = st.floats(-1e3, 1e3, allow_nan=False) | st.sampled_from([0.0, -0.0, np.inf, np.nan])


EPS = np.finfo(float).eps


def coordinate_error(V, times):
    """How far the two modules' local coordinates may lie apart: the ends k*dt, (k + 1)*dt and
    dt + k*dt differ by up to an ulp of t, pwpoly's midpoint by half of one, each seen through
    the division by dt; a few eps for the formulas' own roundings."""
    with np.errstate(invalid="ignore"):
        return np.where(np.isfinite(times), (3.0 * np.abs(times) / V.dt + 8.0) * EPS, 0.0)


def within(numpy_values, scalar_values, bound):
    """Equal where both are finite up to `bound`; NaN where the other is NaN."""
    a, b = np.asarray(numpy_values), np.asarray(scalar_values)
    finite = np.isfinite(a) & np.isfinite(b) & ~np.isnan(bound)
    assert np.all(np.abs(a[finite] - b[finite]) <= bound[finite]), (a[finite], b[finite], bound[finite])


def expansion_bounds(V, coefficients, times, dxi):
    """Bounds of the difference of the expansion and of its time derivative when the coordinate
    moves by dxi: |P_i'| <= i(i + 1)/2 and |P_i''| <= i^4/8 on [-1, 1], plus the recurrences' and
    the sums' own roundings."""
    k, _ = V.locate(times)
    i = np.arange(V.degree + 1.0)
    c = np.abs(coefficients.reshape(V.degree + 1, V.n_t)[:, k]).T  # (times, degree)
    with np.errstate(invalid="ignore"):
        values = c @ (i * (i + 1) / 2.0) * dxi + c @ (4.0 * (i + 2.0)) * EPS
        slopes = (2.0 / V.dt) * (c @ (i**4 / 4.0 + 1.0) * (dxi + 4.0 * EPS * (np.abs(times) / V.dt + 4.0)))
    return values, slopes


@settings(max_examples=120, deadline=None)
@given(legendre_cases(), st.integers(1, 3), st.data())
def test_evaluate_agrees_with_the_evaluator(case, batch, data):
    V, times = case
    C = np.array(
        data.draw(
            st.lists(st.lists(coefficient_values, min_size=V.size, max_size=V.size), min_size=batch, max_size=batch)
        )
    )
    values = V.evaluate(C, times)
    slopes = V.evaluate(C, times, derivative=1)
    assert values.shape == slopes.shape == (batch, times.size)
    agree = agreeing(V, times)
    dxi = coordinate_error(V, times[agree])
    for b in range(batch):
        evaluator = pwpoly.LegendreBasisEvaluator(V.degree, V.n_t, V.T)
        evaluator.set_dofs(C[b].tolist())
        value_bound, slope_bound = expansion_bounds(V, C[b], times[agree], dxi)
        within(values[b][agree], [evaluator.evaluate_at(t) for t in times[agree]], value_bound)
        within(slopes[b][agree], [evaluator.evaluate_derivative_at(t) for t in times[agree]], slope_bound)
        # A single vector (the kernel's one-vector path) gives the same numbers.
        same_bits(V.evaluate(C[b], times), values[b])
        same_bits(V.evaluate(C[b], times, derivative=1), slopes[b])


@settings(max_examples=120, deadline=None)
@given(legendre_cases())
def test_basis_matrix_rows_agree_with_the_all_basis_vectors(case):
    V, times = case
    basis = pwpoly.LegendreBasis(V.degree, V.n_t, V.T)
    k, _ = V.locate(times)
    agree = agreeing(V, times)
    for derivative, scalar in (
        (0, basis.evaluate_all_basis_functions),
        (1, basis.evaluate_all_basis_function_derivatives),
    ):
        B = V.basis_matrix(times, derivative=derivative)
        assert B.shape == (times.size, V.size)
        assert np.array_equal(B.indptr, np.arange(times.size + 1) * (V.degree + 1))
        for j, t in enumerate(times):
            row = slice(B.indptr[j], B.indptr[j + 1])
            # All degree + 1 entries of the interval, zeros included, columns ascending.
            assert list(B.indices[row]) == [i * V.n_t + k[j] for i in range(V.degree + 1)]
            if not agree[j]:
                continue
            dense = np.array(scalar(t))
            unit = np.zeros(V.size)
            unit[B.indices[row]] = 1.0
            bounds = expansion_bounds(V, unit, np.array([t]), coordinate_error(V, np.array([t])))[derivative]
            within(B.data[row], dense[B.indices[row]], np.full(V.degree + 1, bounds[0]))
            others = np.delete(dense, B.indices[row])
            assert not others.any()


@settings(max_examples=80, deadline=None)
@given(legendre_cases(max_degree=3))
def test_locate_gives_the_interval_and_the_coordinate_within_its_rounding(case):
    V, times = case
    k, xi = V.locate(times)
    assert k.dtype == np.int64 and xi.dtype == np.float64
    basis = pwpoly.LegendreBasis(max(V.degree, 1), V.n_t, V.T)
    agree = agreeing(V, times)
    bound = coordinate_error(V, times)
    for j in np.flatnonzero(agree):
        values = basis.evaluate_all_basis_functions(times[j])
        assert values[k[j]] == 1.0  # P_0 of the interval holding t
        scalar_xi = values[V.n_t + k[j]]  # P_1 is the local coordinate
        assert (np.isnan(xi[j]) and np.isnan(scalar_xi)) or abs(xi[j] - scalar_xi) <= bound[j]
    assert np.all(np.isnan(xi) | (np.abs(xi) <= 1.0))


@settings(max_examples=60, deadline=None)
@given(st.integers(1, 8), st.integers(1, 30), lengths)
def test_points_are_the_lagrange_points(degree, n_t, T):
    W = pn.LagrangeSpace(degree, n_t, T)
    assert W.points.shape == (W.size,)
    same_bits(W.points, pwpoly.get_lagrange_points(degree, n_t, T))


def assert_same_triplets(matrix, triplets, shape):
    assert matrix.shape == shape
    coo = matrix.tocoo()
    assert list(coo.row) == triplets[0] and list(coo.col) == triplets[1]
    same_bits(coo.data, triplets[2])


def assert_close_operators(matrix, triplets, shape, scale, tolerance):
    """The two faces' operators agree within `tolerance` of each row's `scale` (an array face row
    within the scalar face's coincidence tolerance of a node keeps its interpolation weights)."""
    assert matrix.shape == shape
    scalar = np.zeros(shape)
    np.add.at(scalar, (triplets[0], triplets[1]), triplets[2])
    dense = matrix.toarray()
    assert np.all(np.abs(dense - scalar) <= tolerance * scale(dense)[:, None])


@settings(max_examples=60, deadline=None)
@given(st.integers(1, 7), st.integers(1, 40), st.integers(1, 40), lengths)
def test_prolongation_agrees_with_pwpoly(degree, nt_coarse, nt_fine, T):
    # The array face: product-form weights at the exact coordinate; the scalar face: barycentric
    # weights at a coordinate rounded twice, off by up to n_c eps, times the weights' slope.
    W = pn.LagrangeSpace(degree, nt_coarse, T)
    fine = pn.LagrangeSpace(degree, nt_fine, T)
    assert_close_operators(
        W.prolongation_to(fine),
        pwpoly.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree),
        (fine.size, W.size),
        lambda dense: np.abs(dense).sum(axis=1),
        (nt_coarse + 4) * degree**2 * 8 * np.finfo(np.float64).eps,
    )


@settings(max_examples=60, deadline=None)
@given(st.integers(1, 9), st.integers(1, 40), lengths)
def test_to_legendre_agrees_with_pwpoly(degree, n_t, T):
    # Degrees 1 and 2: the same fixed values; above, quadrature against the inverted Vandermonde
    # matrix, both within rounding at these degrees.
    W = pn.LagrangeSpace(degree, n_t, T)
    triplets = pwpoly.lagrange_to_legendre_basis_transformation(degree, n_t)
    shape = (W.legendre_space().size, W.size)
    if degree <= 2:
        assert_same_triplets(W.to_legendre(), triplets, shape)
    else:
        assert_close_operators(W.to_legendre(), triplets, shape, lambda dense: np.abs(dense).max(axis=1), 1e-13)


def test_coincident_rows_of_a_known_prolongation():
    # The fine midpoint of each coarse interval is a coarse node: a single 1.0.
    P = pn.LagrangeSpace(2, 1, 1.0).prolongation_to(pn.LagrangeSpace(2, 2, 1.0))
    assert P.shape == (5, 3)
    assert P[[2], :].toarray().tolist() == [[0.0, 1.0, 0.0]]
    assert np.allclose(P @ np.ones(3), 1.0, rtol=0, atol=1e-15)
