import math

import pytest
from hypothesis import given
from hypothesis import strategies as st

import pwpoly
from conftest import PTRDIFF_MAX, bits, raises_fault

# The most intervals whose list (two doubles per interval) can be sized.
LARGEST_INTERVAL_COUNT = PTRDIFF_MAX // 16


def reference_points(degree, n_t, T):
    """The nodes in the library's operation order, in Python floats (IEEE doubles)."""
    if n_t == 0:
        return [T]
    dt = T / n_t
    points = []
    for i in range(n_t):
        left = i * dt
        right = dt + left
        width = right - left
        for j in range(degree):
            points.append((j * width) / degree + left)
    points.append(T)
    return points


@pytest.mark.parametrize(
    "degree, n_t, T, expected",
    [
        (2, 2, 1.0, [0.0, 0.25, 0.5, 0.75, 1.0]),
        (1, 5, 1.0, [0.0, 0.2, 0.4, 0.6000000000000001, 0.8, 1.0]),
        (
            2,
            5,
            1.0,
            [0.0, 0.1, 0.2, 0.30000000000000004, 0.4, 0.5, 0.6000000000000001, 0.7000000000000001, 0.8, 0.9, 1.0],
        ),
        (
            4,
            3,
            1.0,
            [
                0.0,
                0.08333333333333333,
                0.16666666666666666,
                0.25,
                0.3333333333333333,
                0.41666666666666663,
                0.5,
                0.5833333333333333,
                0.6666666666666666,
                0.75,
                0.8333333333333333,
                0.9166666666666666,
                1.0,
            ],
        ),
        (0, 5, 2.0, [2.0]),
        (4, 0, 2.0, [2.0]),
        (2, 3, -1.5, [-0.0, -0.25, -0.5, -0.75, -1.0, -1.25, -1.5]),
    ],
)
def test_points(degree, n_t, T, expected):
    points = pwpoly.get_lagrange_points(degree, n_t, T)
    assert [bits(x) for x in points] == [bits(x) for x in expected]


def test_last_point_is_T_itself():
    points = pwpoly.get_lagrange_points(1, 6, 1.0)
    assert 5 * (1.0 / 6) + 1.0 / 6 == 0.9999999999999999
    assert points[-1] == 1.0 and len(points) == 7


def test_non_finite_T_flows_through():
    points = pwpoly.get_lagrange_points(1, 2, float("nan"))
    assert len(points) == 3 and all(math.isnan(x) for x in points)
    assert pwpoly.get_lagrange_points(1, 2, 0.0) == [0.0, 0.0, 0.0]


def test_oversized_counts_are_refused_before_allocation():
    size_max = 2 * __import__("sys").maxsize + 1
    with raises_fault("capacity overflow"):
        pwpoly.get_lagrange_points(size_max, 2, 1.0)


def test_degree_zero_answers_at_once_for_any_interval_count():
    # No interval has a node of its own, so nothing walks the intervals.
    assert pwpoly.get_lagrange_points(0, LARGEST_INTERVAL_COUNT, 2.0) == [2.0]
    with raises_fault("capacity overflow"):
        pwpoly.get_lagrange_points(0, LARGEST_INTERVAL_COUNT + 1, 2.0)


@given(
    degree=st.integers(0, 12),
    n_t=st.integers(0, 40),
    T=st.floats(allow_nan=False, allow_infinity=False, min_value=-1e6, max_value=1e6),
)
def test_points_match_the_reference_bit_for_bit(degree, n_t, T):
    points = pwpoly.get_lagrange_points(degree, n_t, T)
    assert len(points) == n_t * degree + 1
    assert [bits(x) for x in points] == [bits(x) for x in reference_points(degree, n_t, T)]
