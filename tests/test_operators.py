"""The sparse operators: coarse-to-fine prolongation and the Lagrange-to-Legendre transformation."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pwpoly
from conftest import PTRDIFF_MAX, SIZE_MAX, bits, raises_fault

# The most intervals whose list (two doubles per interval) a basis can size.
LARGEST_INTERVAL_COUNT = PTRDIFF_MAX // 16


def dense(triplets, nrows, ncols):
    matrix = [[0.0] * ncols for _ in range(nrows)]
    for r, c, v in zip(*triplets):
        assert matrix[r][c] == 0.0, "an entry is listed twice"
        matrix[r][c] = v
    return matrix


def apply(triplets, x, nrows):
    y = [0.0] * nrows
    for r, c, v in zip(*triplets):
        y[r] += v * x[c]
    return y


def assert_row_major(triplets):
    rows, cols, values = triplets
    assert len(rows) == len(cols) == len(values)
    assert list(zip(rows, cols)) == sorted(set(zip(rows, cols)))
    assert all(type(r) is int and type(c) is int and type(v) is float for r, c, v in zip(*triplets))


# ---------------------------------------------------------------- prolongation


@pytest.mark.parametrize(
    "args, rows, cols, values",
    [
        ((1, 2, 1), [0, 1, 1, 2], [0, 0, 1, 1], [1.0, 0.5, 0.5, 1.0]),
        ((2, 4, 1), [0, 1, 1, 2, 3, 3, 4], [0, 0, 1, 1, 1, 2, 2], [1.0, 0.5, 0.5, 1.0, 0.5, 0.5, 1.0]),
        (
            (1, 2, 2),
            [0, 1, 1, 1, 2, 3, 3, 3, 4],
            [0, 0, 1, 2, 1, 0, 1, 2, 2],
            [1.0, 0.375, 0.75, -0.125, 1.0, -0.12499999999999999, 0.7499999999999999, 0.37499999999999994, 1.0],
        ),
        (
            (2, 3, 1),
            [0, 1, 1, 2, 2, 3],
            [0, 0, 1, 1, 2, 2],
            [1.0, 0.3333333333333333, 0.6666666666666665, 0.6666666666666667, 0.3333333333333332, 1.0],
        ),
    ],
)
def test_prolongation_examples(args, rows, cols, values):
    result = pwpoly.lagrange_prolongation_matrix(*args)
    assert type(result) is tuple and len(result) == 3
    assert result[0] == rows and result[1] == cols
    assert [bits(v) for v in result[2]] == [bits(v) for v in values]


def test_prolongation_to_a_coarser_partition():
    rows, cols, values = pwpoly.lagrange_prolongation_matrix(3, 2, 2)
    assert rows == [0, 1, 1, 1, 2, 3, 3, 3, 4]
    assert cols == [0, 0, 1, 2, 3, 4, 5, 6, 6]
    assert values[4] == 1.0


@pytest.mark.parametrize("degree", range(1, 8))
@pytest.mark.parametrize("n", [1, 2, 39, 97, 1000])
def test_equal_counts_give_the_identity(n, degree):
    # 39 -> 39 at degree 5 used to store 201 entries: the tolerance test missed row 192.
    rows, cols, values = pwpoly.lagrange_prolongation_matrix(n, n, degree)
    assert rows == cols == list(range(n * degree + 1))
    assert all(v == 1.0 for v in values)


@settings(max_examples=50, deadline=None)
@given(
    degree=st.integers(1, 6),
    nt_coarse=st.integers(1, 60),
    nt_fine=st.integers(1, 60),
    scale=st.sampled_from([1, 100, 1000, 10**4]),
)
def test_rows_of_fine_nodes_on_coarse_nodes_are_unit_rows(degree, nt_coarse, nt_fine, scale):
    # Scaling both counts keeps the pattern of coincidences but makes s = (r / N_f) * n_c round
    # further from the exact node, which the tolerance test alone misses; keep the rows few.
    scale = max(1, min(scale, 30_000 // (nt_fine * degree)))
    nt_coarse, nt_fine = nt_coarse * scale, nt_fine * scale
    rows, cols, values = pwpoly.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree)
    by_row = {}
    for r, c, v in zip(rows, cols, values):
        by_row.setdefault(r, []).append((c, v))
    assert sorted(by_row) == list(range(nt_fine * degree + 1))
    for r, entries in by_row.items():
        c, remainder = divmod(r * nt_coarse, nt_fine)
        if remainder == 0:
            assert entries == [(c, 1.0)], r
        else:
            # Between coarse nodes c and c + 1 the row holds the weights of the interval around
            # it, or a single 1.0 when it lies within the tolerance of one of the two.
            if len(entries) == 1:
                assert entries[0][0] in (c, c + 1) and entries[0][1] == 1.0, r
            else:
                assert len(entries) == degree + 1, r
                assert entries[0][0] <= c < c + 1 <= entries[-1][0], r


def test_coincident_rows_at_large_counts_store_no_noise():
    # At 10^4 -> 2*10^4 intervals of degree 3 every even fine node is a coarse node; the
    # tolerance test alone stored 62793 noise entries in rows that should be a single 1.0.
    n = 10**4
    rows, cols, values = pwpoly.lagrange_prolongation_matrix(n, 2 * n, 3)
    assert len(values) == 15 * n + 1
    unit = [(r, c, v) for r, c, v in zip(rows, cols, values) if r % 2 == 0]
    assert unit == [(r, r // 2, 1.0) for r in range(0, 6 * n + 1, 2)]


@pytest.mark.parametrize(
    "args, message",
    [
        ((0, 0, 0), "Lagrange prolongation requires polynomial degree at least 1"),
        ((5, 5, 0), "Lagrange prolongation requires polynomial degree at least 1"),
        ((0, 0, 1), "Lagrange prolongation requires at least one coarse interval"),
        ((0, 3, 2), "Lagrange prolongation requires at least one coarse interval"),
        ((1, 0, 1), "Lagrange prolongation requires at least one fine interval"),
        ((1, SIZE_MAX, 2), "capacity overflow"),
        ((1, 1, SIZE_MAX), "capacity overflow"),
        # Degree 0 builds the coarse basis without walking its intervals.
        ((LARGEST_INTERVAL_COUNT, 1, 0), "Lagrange prolongation requires polynomial degree at least 1"),
        ((LARGEST_INTERVAL_COUNT + 1, 1, 0), "capacity overflow"),
        # The coarse basis's points are never formed: the fault comes at once.
        ((LARGEST_INTERVAL_COUNT, 0, 1), "Lagrange prolongation requires at least one fine interval"),
    ],
)
def test_prolongation_faults(args, message):
    with raises_fault(message):
        pwpoly.lagrange_prolongation_matrix(*args)


def test_prolongation_from_a_huge_coarse_partition_to_one_interval():
    assert pwpoly.lagrange_prolongation_matrix(LARGEST_INTERVAL_COUNT, 1, 1) == (
        [0, 1],
        [0, LARGEST_INTERVAL_COUNT],
        [1.0, 1.0],
    )


def test_prolongation_argument_names():
    with pytest.raises(TypeError, match=r"^argument 'nt_fine': "):
        pwpoly.lagrange_prolongation_matrix(1, 2.0, 1)
    with pytest.raises(TypeError, match=r"^argument 'degree': "):
        pwpoly.lagrange_prolongation_matrix(nt_coarse=1, nt_fine=2, degree="1")


def lagrange_interpolant(nodes, values, t):
    """The polynomial through (nodes[j], values[j]) at t, in the plain Lagrange form."""
    total = 0.0
    for j, (x_j, v_j) in enumerate(zip(nodes, values)):
        weight = 1.0
        for m, x_m in enumerate(nodes):
            if m != j:
                weight *= (t - x_m) / (x_j - x_m)
        total += weight * v_j
    return total


@settings(max_examples=60, deadline=None)
@given(
    degree=st.integers(1, 6),
    nt_coarse=st.integers(1, 8),
    nt_fine=st.integers(1, 24),
    data=st.data(),
)
def test_prolongation_interpolates_each_coarse_interval(degree, nt_coarse, nt_fine, data):
    coarse = pwpoly.get_lagrange_points(degree, nt_coarse, 1.0)
    fine = pwpoly.get_lagrange_points(degree, nt_fine, 1.0)
    # Any coarse nodal vector: a continuous piecewise polynomial of degree `degree`.
    u = data.draw(st.lists(st.floats(-2, 2, allow_nan=False), min_size=len(coarse), max_size=len(coarse)))
    P = pwpoly.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree)
    assert_row_major(P)
    assert max(P[0]) == len(fine) - 1 and max(P[1]) <= len(coarse) - 1
    interpolated = apply(P, u, len(fine))
    for value, t in zip(interpolated, fine):
        k = min(int(t * nt_coarse), nt_coarse - 1)
        local = slice(k * degree, k * degree + degree + 1)
        assert value == pytest.approx(lagrange_interpolant(coarse[local], u[local], t), abs=1e-11)
    row_sums = apply(P, [1.0] * len(coarse), len(fine))
    assert all(abs(s - 1.0) < 1e-12 for s in row_sums)
    assert P[0][0] == 0 and P[1][0] == 0 and P[2][0] == 1.0
    assert (P[0][-1], P[1][-1], P[2][-1]) == (len(fine) - 1, len(coarse) - 1, 1.0)


# ---------------------------------------------------------------- Lagrange to Legendre


@pytest.mark.parametrize(
    "args, rows, cols, values",
    [
        ((1, 2), [0, 0, 1, 1, 2, 2, 3, 3], [0, 1, 1, 2, 0, 1, 1, 2], [0.5, 0.5, 0.5, 0.5, -0.5, 0.5, -0.5, 0.5]),
        (
            (2, 1),
            [0, 0, 0, 1, 1, 1, 2, 2, 2],
            [0, 1, 2, 0, 1, 2, 0, 1, 2],
            [1 / 6, 2 / 3, 1 / 6, -0.5, 0.0, 0.5, 1 / 3, -2 / 3, 1 / 3],
        ),
        ((3, 0), [], [], []),
    ],
)
def test_transformation_examples(args, rows, cols, values):
    result = pwpoly.lagrange_to_legendre_basis_transformation(*args)
    assert result[0] == rows and result[1] == cols
    assert [bits(v) for v in result[2]] == [bits(v) for v in values]


def test_degree_three_weights():
    rows, cols, values = pwpoly.lagrange_to_legendre_basis_transformation(3, 2)
    assert len(values) == 32 and max(rows) == 7 and max(cols) == 6
    G = dense((rows, cols, values), 8, 7)
    expected = [
        [1 / 8, 3 / 8, 3 / 8, 1 / 8],
        [-11 / 40, -27 / 40, 27 / 40, 11 / 40],
        [3 / 8, -3 / 8, -3 / 8, 3 / 8],
        [-9 / 40, 27 / 40, -27 / 40, 9 / 40],
    ]
    for a in range(4):
        for k in range(2):
            assert G[a * 2 + k][3 * k : 3 * k + 4] == pytest.approx(expected[a], abs=1e-14)


@pytest.mark.parametrize(
    "args, message",
    [
        ((0, 4), "Lagrange to Legendre conversion not meaningful for degree 0"),
        ((0, 0), "Lagrange to Legendre conversion not meaningful for degree 0"),
        ((SIZE_MAX, 1), "capacity overflow"),
        ((SIZE_MAX, 0), "capacity overflow"),
        ((0, LARGEST_INTERVAL_COUNT), "Lagrange to Legendre conversion not meaningful for degree 0"),
        ((0, LARGEST_INTERVAL_COUNT + 1), "capacity overflow"),
    ],
)
def test_transformation_faults(args, message):
    with raises_fault(message):
        pwpoly.lagrange_to_legendre_basis_transformation(*args)


@settings(max_examples=60, deadline=None)
@given(
    degree=st.integers(1, 9),
    n_t=st.integers(1, 6),
    values=st.lists(st.floats(-10, 10, allow_nan=False), min_size=55, max_size=55),
)
def test_transformation_round_trips_through_legendre_evaluation(degree, n_t, values):
    points = pwpoly.get_lagrange_points(degree, n_t, 1.0)
    nodal = values[: len(points)]
    M = pwpoly.lagrange_to_legendre_basis_transformation(degree, n_t)
    assert_row_major(M)
    assert len(M[2]) == (degree + 1) ** 2 * n_t
    coefficients = apply(M, nodal, (degree + 1) * n_t)
    basis = pwpoly.LegendreBasis(degree, n_t, 1.0)
    scale = 1.0 + max(abs(v) for v in nodal)
    tolerance = 1e-12 * scale * 10 ** (degree / 3)
    for k in range(n_t):
        # Each interval's polynomial takes the nodal values at its own nodes, both ends included.
        for i in range(degree + 1):
            t = points[k * degree + i]
            if i == degree and k + 1 < n_t:
                t = math.nextafter(t, -math.inf)  # stay on interval k at its right end
            assert basis.evaluate_at(t, coefficients) == pytest.approx(nodal[k * degree + i], abs=tolerance)


@pytest.mark.parametrize("degree", [1, 2, 3, 4, 7])
def test_constant_one_has_only_degree_zero_coefficients(degree):
    n_t = 3
    M = pwpoly.lagrange_to_legendre_basis_transformation(degree, n_t)
    coefficients = apply(M, [1.0] * (n_t * degree + 1), (degree + 1) * n_t)
    assert coefficients[:n_t] == pytest.approx([1.0] * n_t, abs=1e-13)
    assert coefficients[n_t:] == pytest.approx([0.0] * (degree * n_t), abs=1e-13)
