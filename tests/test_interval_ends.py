"""The interval-end rule of pwpoly_numpy: interval k is [b_k, b_(k+1)), the last one closed at T, so
a time on an interior breakpoint lies on its right at xi = -1 up to rounding; every lookup follows
it (locate, evaluate, basis_matrix, locate_slab, slab ends and slab evaluation)."""

import numpy as np
import pytest

import pwpoly_numpy as pn


@pytest.mark.parametrize("T", [1.0, 0.3, 7.0, 1e-3, 123.456])
def test_every_breakpoint_locates_on_its_right(T):
    for n_t in range(1, 201):
        V = pn.LegendreSpace(1, n_t, T)
        inner = V.breakpoints[1:-1]
        k, xi = V.locate(inner)
        assert np.array_equal(k, np.arange(1, n_t)), n_t
        assert np.allclose(xi, -1.0, rtol=0, atol=1e-12)
        below, _ = V.locate(np.nextafter(inner, -np.inf))
        assert np.array_equal(below, np.arange(0, n_t - 1)), n_t
        # basis_matrix and evaluate read the same intervals: the right traces u(t_k+).
        B = V.basis_matrix(inner)
        assert np.array_equal(B.indices[:: V.degree + 1], np.arange(1, n_t))
        slopes = np.arange(n_t, dtype=float)  # u = k on interval k, P_1 coefficient 0
        assert np.array_equal(V.evaluate(np.concatenate([slopes, np.zeros(n_t)]), inner), np.arange(1, n_t))
        assert np.array_equal(V.locate_slab(inner, n_t), np.arange(1, n_t))


def test_right_traces_of_a_dg_assembly():
    # The breakpoints that floor(t / dt) used to put on their left (29, 58, 59 of 100).
    V = pn.LegendreSpace(1, 100, 1.0)
    B = V.basis_matrix(V.breakpoints[:-1]).toarray()
    right_traces = B[:, :100] - B[:, 100:]  # P_0 - P_1 = 2 at xi = -1 of its own interval only
    assert np.allclose(right_traces, 2.0 * np.eye(100), rtol=0, atol=1e-12)


def test_the_guides_slab_pattern_works_for_every_split():
    for n_t in range(1, 41):
        V = pn.LegendreSpace(2, n_t, 1.0)
        c = np.random.default_rng(n_t).standard_normal(V.size)
        for parts in range(1, n_t + 1):
            for j, s in enumerate(V.slabs(parts)):
                times = np.linspace(s.t0, s.t1, 50, endpoint=False)
                assert np.array_equal(V.evaluate(c[s.rows], times, slab=s), V.evaluate(c, times))
                assert np.all(V.locate_slab(times, parts) == j)


@pytest.mark.parametrize("degree, n_t, parts", [(1, 100, 7), (2, 49, 5), (3, 40, 40), (2, 11, 3), (1, 5000, 13)])
def test_a_lagrange_slab_takes_its_first_node_to_its_ghost(degree, n_t, parts):
    W = pn.LagrangeSpace(degree, n_t, 1.0)
    u = np.sin(3.0 * W.points)
    for s in W.slabs(parts):
        local = u[s.k0 * degree : s.k1 * degree + 1]
        nodes = W.points_of(range(s.k0 * degree, s.k1 * degree + 1))
        assert nodes[0] == s.t0 and nodes[-1] == s.t1
        values = W.evaluate(local, nodes, slab=s)
        # The slab's own nodes with the bits of the whole; the ghost as the left limit.
        assert np.array_equal(values[:-1], W.evaluate(u, nodes[:-1]))
        assert np.allclose(values, u[s.k0 * degree : s.k1 * degree + 1], rtol=0, atol=1e-14)
        if s.k1 < n_t:
            with pytest.raises(ValueError, match=r"outside the slab's intervals .* and its right end"):
                W.evaluate(local, np.nextafter(s.t1, np.inf), slab=s)


def test_slab_ends_locate_in_their_slab():
    V = pn.LegendreSpace(1, 100, 1.0)
    for parts in (2, 3, 7, 29, 100):
        for j, s in enumerate(V.slabs(parts)):
            assert V.locate_slab([s.t0], parts)[0] == j
            assert V.locate_slab([np.nextafter(s.t1, -np.inf)], parts)[0] == j
