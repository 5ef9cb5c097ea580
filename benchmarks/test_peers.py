"""The baselines of the benchmarks compute what they claim to: each is compared with pwpoly.

Run with `python -m pytest benchmarks` (not part of the test suite proper: no timing here either).
"""

import math

import numpy as np
import pytest

import peers
import pwpoly

EDGE_PROLONGATIONS = [
    (1, 2, 1),
    (1, 2, 2),
    (2, 3, 1),
    (3, 2, 2),
    (39, 39, 5),
    (7, 13, 3),
    (5, 5, 4),
    (10, 20, 3),
    (3, 17, 8),
    (64, 128, 3),
]


@pytest.mark.parametrize("nt_coarse, nt_fine, degree", EDGE_PROLONGATIONS)
def test_prolongation_peer_is_bitwise_pwpoly(nt_coarse, nt_fine, degree):
    ours = pwpoly.lagrange_prolongation_matrix(nt_coarse, nt_fine, degree)
    peer = peers.prolongation_triplets(nt_coarse, nt_fine, degree)
    # Same order of stored entries, not only the same set.
    assert [r.tolist() for r in peer[:2]] == list(ours[:2])
    assert peers.compare_triplets(ours, peer)[2]
    _, shape = peers.prolongation_csr(nt_coarse, nt_fine, degree)
    assert shape == (nt_fine * degree + 1, nt_coarse * degree + 1)


@pytest.mark.parametrize("degree", range(1, 9))
@pytest.mark.parametrize("n_t", [0, 1, 2, 5])
def test_to_legendre_peer_matches_pwpoly_to_rounding(degree, n_t):
    ours = pwpoly.lagrange_to_legendre_basis_transformation(degree, n_t)
    peer = peers.to_legendre_triplets(degree, n_t)
    structure, difference, _ = peers.compare_triplets(ours, peer)
    assert structure
    assert difference <= 1e-12 * 4.0**degree
    _, shape = peers.to_legendre_csr(degree, n_t)
    assert shape == ((degree + 1) * n_t, n_t * degree + 1)


def test_comparison_sees_differences():
    ours = pwpoly.lagrange_prolongation_matrix(2, 3, 2)
    rows, cols, vals = (np.array(x) for x in ours)
    assert not peers.compare_triplets(ours, (rows, cols + 1, vals))[0]
    bumped = vals.copy()
    bumped[1] = np.nextafter(bumped[1], 2.0)
    structure, difference, bitwise = peers.compare_triplets(ours, (rows, cols, bumped))
    assert structure and not bitwise and 0.0 < difference < 1e-15
    # Reordered entries still compare equal.
    order = np.arange(len(rows))[::-1]
    assert peers.compare_triplets(ours, (rows[order], cols[order], vals[order]))[2]


def times_for(n_t, T):
    dt = T / n_t
    nodes = [k * dt for k in range(n_t + 1)]
    rng = np.random.default_rng(3)
    inside = rng.uniform(0.0, T, 200).tolist()
    return np.array(
        nodes
        + [np.nextafter(x, -1.0) for x in nodes]
        + inside
        + [-0.5, -math.inf, T * 1.5, math.inf, math.nan, -0.0, T]
    )


@pytest.mark.parametrize("degree", [0, 1, 2, 3, 5, 8])
@pytest.mark.parametrize("n_t, T", [(1, 1.0), (7, 1.0), (10, 3.7), (1000, 1.0)])
def test_vectorised_evaluation_is_bitwise_the_evaluator(degree, n_t, T):
    rng = np.random.default_rng(degree * 31 + n_t)
    coefficients = rng.standard_normal(n_t * (degree + 1))
    evaluator = pwpoly.LegendreBasisEvaluator(degree, n_t, T)
    evaluator.set_dofs(coefficients.tolist())
    times = times_for(n_t, T)
    expected = np.array([evaluator.evaluate_at(t) for t in times.tolist()])
    got = peers.legendre_evaluate(coefficients, n_t, T, degree, times)
    assert np.array_equal(got.view(np.uint64), expected.view(np.uint64))


@pytest.mark.parametrize("degree", [1, 3, 8])
def test_ppoly_is_the_same_polynomial_to_rounding(degree):
    n_t, T = 50, 2.0
    rng = np.random.default_rng(degree)
    coefficients = rng.standard_normal(n_t * (degree + 1))
    evaluator = pwpoly.LegendreBasisEvaluator(degree, n_t, T)
    evaluator.set_dofs(coefficients.tolist())
    times = rng.uniform(0.0, T, 2000)
    expected = np.array([evaluator.evaluate_at(t) for t in times.tolist()])
    got = peers.legendre_ppoly(coefficients, n_t, T, degree)(times)
    scale = np.abs(coefficients).max() * (degree + 1)
    assert np.max(np.abs(got - expected)) <= 1e-9 * scale
    # and not trivially: another coefficient vector gives other values
    other = peers.legendre_ppoly(coefficients[::-1].copy(), n_t, T, degree)(times)
    assert np.max(np.abs(other - expected)) > 1e-3


@pytest.mark.parametrize("degree", [0, 1, 3, 8])
@pytest.mark.parametrize("n_t, T", [(1, 1.0), (16, 1.0), (9, 2.5)])
def test_basis_matrix_builds_are_the_all_basis_rows(degree, n_t, T):
    times = times_for(n_t, T)
    expected = peers.pwpoly_basis_matrix(n_t, T, degree, times)
    parts, shape = peers.basis_matrix_csr(n_t, T, degree, times)
    built = peers.as_csr(parts, shape)
    assert built.nnz == len(times) * (degree + 1)
    assert np.array_equal(built.toarray().view(np.uint64), expected.view(np.uint64))
    finite = times[~np.isnan(times)]
    via_lists = peers.basis_matrix_via_lists(pwpoly.LegendreBasis(degree, n_t, T), n_t, degree, finite)
    assert peers.same_csr(via_lists, peers.as_csr(*peers.basis_matrix_csr(n_t, T, degree, finite)))


def test_operator_builds_through_lists_and_numpy_agree():
    ours = pwpoly.lagrange_prolongation_matrix(40, 80, 3)
    through_lists = peers.triplets_to_csr(ours, (80 * 3 + 1, 40 * 3 + 1))
    assert peers.same_csr(through_lists, peers.as_csr(*peers.prolongation_csr(40, 80, 3)))
    ours = pwpoly.lagrange_to_legendre_basis_transformation(3, 40)
    through_lists = peers.triplets_to_csr(ours, (4 * 40, 40 * 3 + 1))
    assert peers.same_csr(through_lists, peers.as_csr(*peers.to_legendre_csr(3, 40)), exact=False, tolerance=1e-14)


@pytest.mark.parametrize("side", [3, 8])
@pytest.mark.parametrize("T", [1e-3, 0.05])
def test_exact_2d_heat_end_is_the_matrix_exponential(side, T):
    # The sine transform's end value of u' = -A u against expm(-T A) u0 on a small grid.
    import scipy.linalg
    from heat_2d_rows import exact_end_2d
    from solver_rows import heat_2d

    A, u0 = heat_2d(side)
    reference = scipy.linalg.expm(-T * A.toarray()) @ u0
    assert np.allclose(exact_end_2d(u0, side, T), reference, rtol=0, atol=1e-12 * np.abs(u0).max())


@pytest.mark.parametrize("rtol", [1e-5, 1e-8])
def test_cvode_peer_reaches_the_exact_end_within_its_tolerance(rtol):
    pytest.importorskip("sksundae")
    from heat_2d_rows import cvode, exact_end_2d
    from solver_rows import heat_2d, relative_error

    A, u0 = heat_2d(10)
    end, nfev, njev = cvode(A, u0, 0.05, rtol)
    assert relative_error(end, exact_end_2d(u0, 10, 0.05)) <= 100 * rtol and nfev > 0 and njev > 0
