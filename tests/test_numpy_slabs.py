"""Time slabs of pwpoly_numpy: ownership, operators by rows, local evaluation."""

import copy
import itertools
import pickle
import re

import numpy as np
import pytest
import scipy.sparse
from hypothesis import given, settings
from hypothesis import strategies as st

import pwpoly_numpy as pn


def same_csr(a, b):
    """Same shape, the same stored entries bit for bit, the same structure."""
    return (
        a.shape == b.shape
        and np.array_equal(a.indptr, b.indptr)
        and np.array_equal(a.indices, b.indices)
        and np.array_equal(a.data.view(np.uint64), b.data.view(np.uint64))
    )


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def rows_of(matrix, rows):
    """Global rows of a csr_array as scipy selects them (the reference for a block)."""
    return scipy.sparse.csr_array(matrix[np.asarray(rows, dtype=np.int64)])


def expected_index_dtype(nnz, shape):
    return np.int32 if max(nnz, *shape) <= 2**31 - 1 else np.int64


spaces = st.builds(
    lambda kind, degree, n_t: kind(degree, n_t, 1.0),
    st.sampled_from([pn.LegendreSpace, pn.LagrangeSpace]),
    st.integers(1, 6),
    st.integers(1, 40),
)


# ---------------------------------------------------------------------------------------------
# Slabs


@given(spaces, st.data())
@settings(max_examples=60, deadline=None)
def test_slabs_partition_the_intervals_and_the_rows(space, data):
    parts = data.draw(st.integers(1, space.n_t))
    slabs = space.slabs(parts)
    assert len(slabs) == parts
    assert slabs[0].k0 == 0 and slabs[-1].k1 == space.n_t
    assert all(a.k1 == b.k0 for a, b in itertools.pairwise(slabs))
    widths = {s.n_intervals for s in slabs}
    assert max(widths) - min(widths) <= 1
    rows = np.concatenate([s.rows for s in slabs])
    assert np.array_equal(np.sort(rows), np.arange(space.size))
    for s in slabs:
        assert s.size == len(s.rows)
        assert np.array_equal(np.concatenate([np.arange(r.start, r.stop) for r in s.row_ranges]), s.rows)
        assert s.rows.dtype == np.int64 and not s.rows.flags.writeable
        assert np.all(np.diff(s.rows) > 0)


@pytest.mark.parametrize(
    "space, k0, k1, ranges",
    [
        (pn.LegendreSpace(2, 5, 1.0), 1, 3, (range(1, 3), range(6, 8), range(11, 13))),
        (pn.LegendreSpace(0, 5, 1.0), 4, 5, (range(4, 5),)),
        (pn.LagrangeSpace(3, 5, 1.0), 1, 3, (range(3, 9),)),  # point 9 is the right ghost
        (pn.LagrangeSpace(3, 5, 1.0), 3, 5, (range(9, 16),)),  # the last slab owns T
        (pn.LagrangeSpace(1, 1, 2.0), 0, 1, (range(2),)),
    ],
)
def test_ownership_rule(space, k0, k1, ranges):
    slab = space.slab(k0, k1)
    assert slab.row_ranges == ranges
    assert (slab.space, slab.k0, slab.k1, slab.n_intervals) == (space, k0, k1, k1 - k0)


def test_slab_ends_are_the_breakpoints_and_slabs_tile():
    V = pn.LegendreSpace(2, 7, 0.3)
    dt = V.dt
    # Here k*dt and dt + (k-1)*dt differ for some interior k: the slab ends follow breakpoints.
    assert any(k * dt != dt + (k - 1) * dt for k in range(1, 7))
    for k0, k1 in [(0, 1), (2, 5), (6, 7), (0, 7)]:
        slab = V.slab(k0, k1)
        assert (slab.t0, slab.t1) == (V.breakpoints[k0], V.breakpoints[k1])
    slabs = V.slabs(3)
    assert all(left.t1 == right.t0 for left, right in itertools.pairwise(slabs))
    assert (slabs[0].t0, slabs[-1].t1) == (0.0, V.breakpoints[-1])


@pytest.mark.parametrize("degree, n_t, T", [(1, 5, 1.0), (3, 7, 0.3), (4, 13, 2.5e-3)])
def test_points_of_rows_are_the_points_bit_for_bit(degree, n_t, T):
    W = pn.LagrangeSpace(degree, n_t, T)
    asked = [*W.slabs(min(3, n_t)), W.slab(0, n_t), range(0), range(W.size - 1, W.size), range(2, W.size - 2)]
    for rows in asked:
        wanted = W.points[rows.rows if isinstance(rows, pn.TimeSlab) else np.arange(rows.start, rows.stop)]
        assert W.points_of(rows).tobytes() == wanted.tobytes()


def node(W, point):
    """Node `point` of W as the library forms it: ((j * width) / degree) + left on its interval."""
    if point == W.size - 1:
        return W.T
    k, j = divmod(point, W.degree)
    left = float(k) * W.dt
    width = (W.dt + left) - left
    return ((float(j) * width) / float(W.degree)) + left


def test_points_of_a_slab_of_a_huge_space_are_formed_alone():
    W = pn.LagrangeSpace(3, 10**12, 0.7)
    middle = range(10**12 + 1, 10**12 + 7)
    assert W.points_of(middle).tolist() == [node(W, p) for p in middle]
    last = W.slabs(10**6)[-1]
    assert last.size == 3 * 10**6 + 1
    tail = W.points_of(last)[-4:]
    assert tail.tolist() == [node(W, p) for p in range(W.size - 4, W.size)]


@pytest.mark.parametrize(
    "rows, error, match",
    [
        (range(12), ValueError, "rows: expected a range with 0 <= start <= stop <= 11"),
        (range(0, 4, 2), ValueError, "rows: expected a range with step 1"),
        ("0:3", TypeError, "rows: expected None, a TimeSlab or a range"),
    ],
)
def test_points_of_refuses_rows_outside(rows, error, match):
    with pytest.raises(error, match=re.escape(match)):
        pn.LagrangeSpace(2, 5, 1.0).points_of(rows)


def test_slab_is_an_immutable_value():
    W = pn.LagrangeSpace(2, 9, 1.0)
    slab = W.slabs(3)[1]
    assert slab == W.slab(3, 6) == pn.TimeSlab(W, 3, 6)
    assert hash(slab) == hash(W.slab(3, 6))
    assert slab != W.slab(3, 7) and slab != pn.LegendreSpace(2, 9, 1.0).slab(3, 6)
    assert slab != pn.LagrangeSpace(2, 9, 2.0).slab(3, 6)
    assert pickle.loads(pickle.dumps(slab)) == slab
    assert copy.copy(slab) is slab and copy.deepcopy(slab) is slab
    assert repr(slab) == "TimeSlab(LagrangeSpace(degree=2, n_t=9, T=1.0), k0=3, k1=6)"
    with pytest.raises(AttributeError):
        slab.k0 = 1
    with pytest.raises(AttributeError):
        del slab.k1
    with pytest.raises(ValueError):
        slab.rows[0] = 5


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda V: V.slabs(4),
            ValueError,
            "parts: 4 slabs of 3 intervals would leave some empty, expected 1 <= parts <= n_t = 3",
        ),
        (lambda V: V.slabs(0), ValueError, "parts: expected an integer >= 1, got 0"),
        (lambda V: V.slabs(2.0), TypeError, "parts: expected an integer"),
        (lambda V: V.locate_slab([0.5], 4), ValueError, "parts: 4 slabs of 3 intervals"),
        (lambda V: V.slab(3, 3), ValueError, "k0: expected 0 <= k0 < n_t = 3, got 3"),
        (lambda V: V.slab(-1, 2), ValueError, "k0: expected an integer >= 0"),
        (lambda V: V.slab(2, 2), ValueError, "k1: expected k0 = 2 < k1 <= n_t = 3, got 2"),
        (lambda V: V.slab(0, 4), ValueError, "k1: expected k0 = 0 < k1 <= n_t = 3, got 4"),
        (lambda V: V.slab(0, True), TypeError, "k1: expected an integer"),
        (lambda V: pn.TimeSlab("V", 0, 1), TypeError, "space: expected a LegendreSpace or a LagrangeSpace"),
    ],
)
def test_slab_arguments_are_checked(call, error, message):
    with pytest.raises(error, match="^" + message.replace("(", r"\(").replace(")", r"\)")):
        call(pn.LegendreSpace(1, 3, 1.0))


@given(spaces, st.data())
@settings(max_examples=60, deadline=None)
def test_locate_slab_agrees_with_the_explicit_slabs(space, data):
    parts = data.draw(st.integers(1, space.n_t))
    V = pn.LegendreSpace(space.degree, space.n_t, space.T)
    ends = V.breakpoints
    times = np.concatenate(
        [
            ends,
            np.nextafter(ends, -np.inf),
            np.nextafter(ends, np.inf),
            [-1.0, -0.0, 2.0, np.inf, -np.inf, np.nan],
            np.random.default_rng(parts).uniform(0, 1, 50),
        ]
    )
    owners = space.locate_slab(times, parts)
    assert owners.dtype == np.int64 and owners.shape == times.shape
    intervals, _ = V.locate(times)
    for j, slab in enumerate(space.slabs(parts)):
        mine = (intervals >= slab.k0) & (intervals < slab.k1)
        assert np.array_equal(owners == j, mine)
    assert space.locate_slab(0.5, parts).shape == ()


def test_locate_slab_beyond_int64_products():
    # n_t * parts exceeds int64: the slab index is still exact.
    n_t = 2**40 + 3
    V = pn.LegendreSpace(0, n_t, 1.0)
    parts = 2**30 + 1
    times = np.array([0.0, 0.5, 1.0, 0.999999999])
    intervals, _ = V.locate(times)
    expected = [((int(k) + 1) * parts - 1) // n_t for k in intervals]
    assert V.locate_slab(times, parts).tolist() == expected


# ---------------------------------------------------------------------------------------------
# Operators by rows


def check_blocks(whole, blocks, slabs):
    """Each block is the slab's rows of the whole operator; stacked they are the whole."""
    for block, slab in zip(blocks, slabs):
        assert block.shape == (slab.size, whole.shape[1])
        assert same_csr(block, rows_of(whole, slab.rows))
        assert block.indices.dtype == block.indptr.dtype == expected_index_dtype(block.nnz, block.shape)
    assert same_csr(scipy.sparse.vstack(blocks, format="csr"), whole)


@given(st.integers(1, 5), st.integers(1, 30), st.integers(1, 30), st.data())
@settings(max_examples=80, deadline=None)
def test_prolongation_by_slabs_stacks_to_the_whole(degree, nt_coarse, nt_fine, data):
    W = pn.LagrangeSpace(degree, nt_coarse, 1.0)
    fine = pn.LagrangeSpace(degree, nt_fine, 1.0)
    parts = data.draw(st.integers(1, nt_fine))
    slabs = fine.slabs(parts)
    whole = W.prolongation_to(fine)
    check_blocks(whole, [W.prolongation_to(fine, rows=s) for s in slabs], slabs)
    start = data.draw(st.integers(0, fine.size))
    stop = data.draw(st.integers(start, fine.size))
    assert same_csr(W.prolongation_to(fine, rows=range(start, stop)), rows_of(whole, range(start, stop)))


@pytest.mark.parametrize("degree, nt_coarse, nt_fine", [(1, 1, 1), (2, 3, 3), (3, 4, 7), (4, 6, 2)])
def test_prolongation_one_interval_slabs_and_full_and_empty_ranges(degree, nt_coarse, nt_fine):
    W = pn.LagrangeSpace(degree, nt_coarse, 1.0)
    fine = pn.LagrangeSpace(degree, nt_fine, 1.0)
    whole = W.prolongation_to(fine)
    slabs = fine.slabs(nt_fine)  # one interval each
    check_blocks(whole, [W.prolongation_to(fine, rows=s) for s in slabs], slabs)
    assert same_csr(W.prolongation_to(fine, rows=range(fine.size)), whole)
    assert same_csr(W.prolongation_to(fine, rows=None), whole)
    for r in (0, 1, fine.size):
        empty = W.prolongation_to(fine, rows=range(r, r))
        assert empty.shape == (0, W.size) and empty.nnz == 0 and empty.indptr.tolist() == [0]


def rows_errors(W, other, fine):
    """(call, error, message) for misused rows= arguments of W's operators."""
    return [
        (
            lambda: W.prolongation_to(fine, rows=W.slab(0, 1)),
            ValueError,
            f"rows: a slab of {W!r}, expected a slab of fine = {fine!r}",
        ),
        (
            lambda: W.prolongation_to(fine, rows=range(fine.size + 1)),
            ValueError,
            (
                f"rows: expected a range with 0 <= start <= stop <= {fine.size} (the operator's rows), "
                f"got range(0, {fine.size + 1})"
            ),
        ),
        (lambda: W.prolongation_to(fine, rows=range(3, 1)), ValueError, "rows: expected a range with 0 <= start"),
        (lambda: W.prolongation_to(fine, rows=range(-1, 2)), ValueError, "rows: expected a range with 0 <= start"),
        (
            lambda: W.prolongation_to(fine, rows=range(0, 4, 2)),
            ValueError,
            "rows: expected a range with step 1, got range(0, 4, 2)",
        ),
        (lambda: W.prolongation_to(fine, rows=[0, 1]), TypeError, "rows: expected None, a TimeSlab or a range"),
        (lambda: W.prolongation_to(fine, rows=other.slab(0, 1)), ValueError, "rows: a slab of"),
    ]


@pytest.mark.parametrize("case", range(7))
def test_rows_argument_is_checked(case):
    W = pn.LagrangeSpace(2, 4, 1.0)
    fine = pn.LagrangeSpace(2, 6, 1.0)
    call, error, message = rows_errors(W, pn.LegendreSpace(2, 6, 1.0), fine)[case]
    with pytest.raises(error) as info:
        call()
    assert str(info.value).startswith(message)


def test_a_slab_of_a_large_prolongation_costs_only_its_rows():
    # 2 * 10**12 fine intervals: the whole operator could not be held, one slab's rows can.
    W = pn.LagrangeSpace(3, 10**12, 1.0)
    fine = pn.LagrangeSpace(3, 2 * 10**12, 1.0)
    slab = fine.slab(10**12 - 2, 10**12 + 2)
    block = W.prolongation_to(fine, rows=slab)
    assert block.shape == (12, W.size)
    assert block.indices.dtype == np.int64  # the columns need it

    # The rows interpolate a cubic exactly (up to rounding): sum of weight * f(coarse point).
    def f(t):
        return (t - 0.25) ** 3

    columns = block.indices.astype(np.float64) / (3 * 10**12)
    interpolated = np.add.reduceat(block.data * f(columns), block.indptr[:-1])
    expected = f(slab.rows.astype(np.float64) / (3 * 2 * 10**12))
    np.testing.assert_allclose(interpolated, expected, rtol=0, atol=1e-12)


@given(st.integers(1, 6), st.integers(1, 30), st.data())
@settings(max_examples=60, deadline=None)
def test_transformation_and_mass_by_slabs_stack_to_the_whole(degree, n_t, data):
    W = pn.LagrangeSpace(degree, n_t, data.draw(st.sampled_from([1.0, 0.3, 7.5])))
    V = W.legendre_space()
    parts = data.draw(st.integers(1, n_t))
    slabs = W.slabs(parts)
    check_blocks(W.mass_matrix(), [W.mass_matrix(rows=s) for s in slabs], slabs)
    # Legendre rows are degree-major: a slab's rows are not one run, so blocks are compared
    # with the rows of the whole, and stacked in the order of the rows they hold.
    for whole, build in ((W.to_legendre(), W.to_legendre), (V.mass_matrix(), V.mass_matrix)):
        blocks = [build(rows=s) for s in V.slabs(parts)]
        for block, slab in zip(blocks, V.slabs(parts)):
            assert same_csr(block, rows_of(whole, slab.rows))
            assert block.indices.dtype == expected_index_dtype(block.nnz, block.shape)
        order = np.argsort(np.concatenate([s.rows for s in V.slabs(parts)]))
        stacked = scipy.sparse.vstack(blocks, format="csr")
        assert same_csr(scipy.sparse.csr_array(stacked[order]), whole)
    for slab in slabs:  # a slab of W asks the transformation for the Legendre rows of its intervals
        assert same_csr(W.to_legendre(rows=slab), W.to_legendre(rows=V.slab(slab.k0, slab.k1)))
    for build, count in ((W.mass_matrix, W.size), (V.mass_matrix, V.size), (W.to_legendre, V.size)):
        start = data.draw(st.integers(0, count))
        stop = data.draw(st.integers(start, count))
        assert same_csr(build(rows=range(start, stop)), rows_of(build(), range(start, stop)))
        assert same_csr(build(rows=range(count)), build())
        assert build(rows=range(start, start)).shape == (0, build().shape[1])


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda W, V: W.mass_matrix(rows=V.slab(0, 1)),
            (
                "rows: a slab of LegendreSpace(degree=2, n_t=4, T=1.0), "
                "expected a slab of W = LagrangeSpace(degree=2, n_t=4, T=1.0)"
            ),
        ),
        (
            lambda W, V: V.mass_matrix(rows=W.slab(0, 1)),
            (
                "rows: a slab of LagrangeSpace(degree=2, n_t=4, T=1.0), "
                "expected a slab of V = LegendreSpace(degree=2, n_t=4, T=1.0)"
            ),
        ),
        (
            lambda W, V: W.to_legendre(rows=pn.LagrangeSpace(2, 5, 1.0).slab(0, 1)),
            (
                "rows: a slab of LagrangeSpace(degree=2, n_t=5, T=1.0), "
                "expected a slab of W = LagrangeSpace(degree=2, n_t=4, T=1.0) or of W.legendre_space()"
            ),
        ),
        (lambda W, V: W.to_legendre(rows=range(13)), "rows: expected a range with 0 <= start <= stop <= 12"),
        (lambda W, V: V.mass_matrix(rows=range(5, 13)), "rows: expected a range with 0 <= start <= stop <= 12"),
        (lambda W, V: W.mass_matrix(rows=range(10)), "rows: expected a range with 0 <= start <= stop <= 9"),
        (lambda W, V: V.mass_matrix(rows=range(0, 2, -1)), "rows: expected a range with step 1"),
        (lambda W, V: W.mass_matrix(rows=(0, 1)), "rows: expected None, a TimeSlab or a range, got (0, 1) (tuple)"),
    ],
)
def test_rows_of_the_other_operators_are_checked(call, message):
    W = pn.LagrangeSpace(2, 4, 1.0)
    with pytest.raises((ValueError, TypeError)) as info:
        call(W, W.legendre_space())
    assert str(info.value).startswith(message)


def test_slabs_of_huge_spaces_cost_only_their_rows():
    # Every operator by rows and the local evaluation on a space of 10**12 intervals: nothing
    # on the path may be sized by n_t.
    n_t = 10**12
    W = pn.LagrangeSpace(2, n_t, 1.0)
    V = W.legendre_space()
    slab = W.slab(n_t // 2, n_t // 2 + 3)
    assert W.mass_matrix(rows=slab).shape == (6, W.size)
    assert W.mass_matrix(rows=slab).nnz == 3 * (2 * 2 + 1) + 3 * 3  # every first point is shared
    block = W.to_legendre(rows=slab)
    assert block.shape == (9, W.size) and block.indices.min() == slab.k0 * 2
    assert np.array_equal(V.mass_matrix(rows=V.slab(5, 7)).indices, [5, 6, n_t + 5, n_t + 6, 2 * n_t + 5, 2 * n_t + 6])
    assert V.mass_matrix(rows=V.slab(5, 7)).indptr.dtype == np.int64
    local = V.slab(n_t - 2, n_t)
    c = np.arange(local.size, dtype=np.float64)
    # After T: the right end of the last interval, where every P_i is 1 (its coefficients 1, 3, 5).
    assert V.evaluate(c, [2.0], slab=local).tolist() == [1.0 + 3.0 + 5.0]
    assert V.locate_slab([0.0, 0.5, 1.0], 10**9).tolist() == [0, 5 * 10**8, 10**9 - 1]


# ---------------------------------------------------------------------------------------------
# Local evaluation


def owned_times(space, slab, rng):
    """Times owned by the slab: interior, on its interval ends (both sides), before 0 for the
    first slab, after T and T itself for the last, NaN for the first."""
    V = pn.LegendreSpace(space.degree, space.n_t, space.T)
    ends = V.breakpoints[slab.k0 : slab.k1 + 1]
    candidates = np.concatenate(
        [
            ends,
            np.nextafter(ends, -np.inf),
            np.nextafter(ends, np.inf),
            rng.uniform(slab.t0, slab.t1, 40),
            [-1.0, -0.0, 0.0, space.T, 2 * space.T, np.inf, -np.inf, np.nan],
        ]
    )
    intervals, _ = V.locate(candidates)
    return candidates[(intervals >= slab.k0) & (intervals < slab.k1)]


@given(st.integers(0, 7), st.integers(1, 25), st.data())
@settings(max_examples=80, deadline=None)
def test_local_evaluation_is_the_global_one_bit_for_bit(degree, n_t, data):
    V = pn.LegendreSpace(degree, n_t, data.draw(st.sampled_from([1.0, 0.7, 13.0])))
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
    batch = data.draw(st.sampled_from([(), (1,), (3,), (2, 2)]))
    c = rng.standard_normal(batch + (V.size,))
    parts = data.draw(st.integers(1, n_t))
    for slab in V.slabs(parts):
        times = owned_times(V, slab, rng)
        # Enough times for the vector path, in a shuffled order.
        times = rng.permutation(np.tile(times, 3))
        local = np.ascontiguousarray(c[..., slab.rows])
        for derivative in (0, 1):
            expected = V.evaluate(c, times, derivative)
            assert same_bits(V.evaluate(local, times, derivative, slab=slab), expected)
            out = np.empty(batch + times.shape)
            assert V.evaluate(local, times, derivative, out=out, slab=slab) is out
            assert same_bits(out, expected)


def test_local_evaluation_reads_only_the_slab():
    V = pn.LegendreSpace(3, 12, 1.0)
    slab = V.slab(4, 8)
    c = np.random.default_rng(1).standard_normal(V.size)
    times = owned_times(V, slab, np.random.default_rng(2))
    expected = V.evaluate(c, times)
    # The slab's coefficients inside a buffer of NaN: any read outside them would show.
    buffer = np.full(slab.size + 64, np.nan)
    local = buffer[32 : 32 + slab.size]
    local[:] = c[slab.rows]
    assert same_bits(V.evaluate(local, times, slab=slab), expected)
    assert same_bits(V.evaluate(local, 0.5, slab=slab), V.evaluate(c, 0.5))


@given(st.integers(1, 5), st.integers(1, 20), st.data())
@settings(max_examples=40, deadline=None)
def test_lagrange_local_evaluation_is_the_global_one_bit_for_bit(degree, n_t, data):
    W = pn.LagrangeSpace(degree, n_t, 1.0)
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
    u = rng.standard_normal((2, W.size))
    parts = data.draw(st.integers(1, n_t))
    for slab in W.slabs(parts):
        times = owned_times(W, slab, rng)
        local = u[..., slab.k0 * degree : slab.k1 * degree + 1]
        for derivative in (0, 1):
            assert same_bits(W.evaluate(local, times, derivative, slab=slab), W.evaluate(u, times, derivative))
            assert same_bits(W.evaluate(local[1], times, derivative, slab=slab), W.evaluate(u[1], times, derivative))


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda V, c, s: V.evaluate(c, [0.1], slab=s),
            ValueError,
            "times: times.flat[0] = 0.1 lies in interval 0, outside the slab's intervals [2, 4)",
        ),
        (
            lambda V, c, s: V.evaluate(c, [0.4, 0.5, 0.9, 0.4], slab=s),
            ValueError,
            "times: times.flat[2] = 0.9 lies in interval 5, outside the slab's intervals [2, 4)",
        ),
        (
            lambda V, c, s: V.evaluate(c, [[np.nan]], slab=s),
            ValueError,
            "times: times.flat[0] = nan lies in interval 0",
        ),
        (
            lambda V, c, s: V.evaluate(c, np.full(100, 2.0), slab=s),
            ValueError,
            "times: times.flat[0] = 2.0 lies in interval 5",
        ),
        (
            lambda V, c, s: V.evaluate(np.zeros(V.size), [0.4], slab=s),
            ValueError,
            "coefficients: last axis has length 12, expected slab.size = 4",
        ),
        (
            lambda V, c, s: V.evaluate(c, [0.4], slab=pn.LegendreSpace(1, 6, 2.0).slab(2, 4)),
            ValueError,
            "slab: a slab of LegendreSpace(degree=1, n_t=6, T=2.0), expected a slab of V = ",
        ),
        (lambda V, c, s: V.evaluate(c, [0.4], slab=(2, 4)), TypeError, "slab: expected None or a TimeSlab"),
        (
            lambda V, c, s: pn.LagrangeSpace(1, 6, 1.0).evaluate(c, [0.4], slab=s),
            ValueError,
            "slab: a slab of LegendreSpace(degree=1, n_t=6, T=1.0), expected a slab of W = ",
        ),
        (
            lambda V, c, s: pn.LagrangeSpace(1, 6, 1.0).evaluate(c, [0.4], slab=pn.LagrangeSpace(1, 6, 1.0).slab(2, 4)),
            ValueError,
            "values: last axis has length 4, expected slab.n_intervals * W.degree + 1 = 3",
        ),
    ],
)
def test_local_evaluation_arguments_are_checked(call, error, message):
    V = pn.LegendreSpace(1, 6, 1.0)
    slab = V.slab(2, 4)
    with pytest.raises(error) as info:
        call(V, np.zeros(slab.size), slab)
    assert str(info.value).startswith(message)


def test_nothing_is_written_to_stderr(capfd):
    W = pn.LagrangeSpace(2, 6, 1.0)
    fine = pn.LagrangeSpace(2, 9, 1.0)
    V = W.legendre_space()
    slab = fine.slab(2, 5)
    W.prolongation_to(fine, rows=slab)
    W.to_legendre(rows=W.slab(1, 3))
    W.mass_matrix(rows=range(2, 7))
    V.mass_matrix(rows=V.slab(0, 6))
    V.evaluate(np.ones(V.slab(1, 2).size), [0.2], slab=V.slab(1, 2))
    with pytest.raises(ValueError):
        V.evaluate(np.ones(V.slab(1, 2).size), [0.9], slab=V.slab(1, 2))
    with pytest.raises(ValueError):
        W.prolongation_to(fine, rows=range(100))
    captured = capfd.readouterr()
    assert captured.err == "" and captured.out == ""
