"""parareal and mgrit in one process (comm=None): convergence to the serial Galerkin solution,
parareal's exact leading slabs, the observed contraction within the stated bound, the bounds'
closed forms, misuse. The same runs on 2 and 3 MPI processes are in test_mpi.py."""

import math

import numpy as np
import pytest
import scipy.sparse

import pwpoly_numpy as pn
from pwpoly_numpy import _parallel_in_time as pit


def bits(a):
    return np.ascontiguousarray(a).view(np.uint64)


def heat(n):
    """The 1D heat equation's second differences on (0, 1), n interior points, and a hat."""
    h = 1.0 / (n + 1)
    A = scipy.sparse.diags_array([2.0 * np.ones(n), -np.ones(n - 1), -np.ones(n - 1)], offsets=[0, -1, 1]) / h**2
    x = np.arange(1, n + 1) * h
    return A.tocsr(), np.minimum(x, 1.0 - x)


SPACES = {
    "dG(1) uniform": lambda: pn.LegendreSpace(1, 24, 0.5),
    "dG(2) graded": lambda: pn.LegendreSpace(2, breakpoints=0.2 + 0.5 * (np.arange(25) / 24) ** 2),
    "cG(2) uniform": lambda: pn.LagrangeSpace(2, 24, 0.5),
    "dG(0) 23 intervals": lambda: pn.LegendreSpace(0, 23, 0.5),
}


def serial_solution(V, A, u0, f=None):
    return pn.solve_galerkin(V, A, u0, f=f)


def rows_of(V, slab):
    """Columns of the whole solution's coefficients that a slab's coefficients hold."""
    if isinstance(V, pn.LegendreSpace):
        return slab.rows
    return np.arange(slab.k0 * V.degree, slab.k1 * V.degree + 1)


@pytest.mark.parametrize("name", SPACES)
@pytest.mark.parametrize("parts", [1, 3, 4])
def test_parareal_after_parts_minus_one_iterations_is_the_serial_solution(name, parts):
    V = SPACES[name]()
    A, u0 = heat(6)
    f = lambda t: np.outer(np.ones(6), np.cos(3.0 * t))  # noqa: E731
    sol = pn.parareal(V, A, u0, f=f, parts=parts, tol=0.0)
    serial = serial_solution(V, A, u0, f)
    assert sol.iterations == parts - 1 and sol.residuals[-1] == 0.0
    assert np.array_equal(bits(sol.coefficients), bits(serial.coefficients))
    assert np.array_equal(bits(sol.end), bits(serial.end))
    t = np.linspace(V.t0, V.T, 7)
    assert np.array_equal(bits(sol(t)), bits(V.evaluate(serial.coefficients, t)))


@pytest.mark.parametrize("name", SPACES)
@pytest.mark.parametrize("k", [0, 1, 2])
def test_parareal_after_k_iterations_the_first_k_plus_one_slabs_are_exact(name, k):
    V = SPACES[name]()
    A, u0 = heat(5)
    serial = serial_solution(V, A, u0)
    sol = pn.parareal(V, A, u0, parts=6, tol=0.0, max_iterations=k)
    assert sol.iterations == k
    slabs = V.slabs(6)
    exact = slabs[k]
    columns = rows_of(V, V.slab(0, exact.k1))
    mine = sol.coefficients[:, np.searchsorted(rows_of(V, sol.slab), columns)]
    assert np.array_equal(bits(mine[:, : len(columns) - 1]), bits(serial.coefficients[:, columns[:-1]]))
    later = rows_of(V, slabs[k + 2])
    assert not np.array_equal(sol.coefficients[:, later], serial.coefficients[:, later])  # not yet converged
    assert len(sol.residuals) == k + 1 and sol.residuals[-1] > 0.0
    assert list(sol.residuals) == sorted(sol.residuals, reverse=True)


@pytest.mark.parametrize(("levels", "coarsening"), [(2, 4), (2, 3), (3, 2), (4, 2)])
@pytest.mark.parametrize("relaxation", ["F", "FCF"])
@pytest.mark.parametrize("name", SPACES)
def test_mgrit_converges_to_the_serial_solution(name, relaxation, levels, coarsening):
    V = SPACES[name]()
    A, u0 = heat(7)
    f = lambda t: np.outer(np.arange(7.0), np.sin(5.0 * t))  # noqa: E731
    sol = pn.mgrit(V, A, u0, f=f, levels=levels, coarsening=coarsening, relaxation=relaxation, tol=1e-12)
    serial = serial_solution(V, A, u0, f)
    assert sol.residuals[-1] <= 1e-12 < sol.residuals[0]
    assert 1 <= sol.iterations < len(sol.residuals) == sol.iterations + 1
    scale = np.abs(serial.coefficients).max()
    assert np.abs(sol.coefficients - serial.coefficients).max() <= 1e-9 * scale
    assert np.abs(sol.end - serial.end).max() <= 1e-9 * np.abs(serial.end).max()
    assert sol.slab.k0 == 0 and sol.slab.k1 == V.n_t


@pytest.mark.parametrize("relaxation", ["F", "FCF"])
def test_two_level_mgrit_is_exact_after_as_many_iterations_as_c_intervals(relaxation):
    V = pn.LegendreSpace(1, 12, 1.0)
    A, u0 = heat(4)
    sol = pn.mgrit(V, A, u0, coarsening=3, relaxation=relaxation, tol=0.0, nested=False)
    assert sol.iterations <= 4  # the default cap: the C-intervals
    assert sol.residuals[-1] <= 1e-15
    serial = serial_solution(V, A, u0)
    assert np.abs(sol.coefficients - serial.coefficients).max() <= 1e-14 * np.abs(serial.coefficients).max()


def test_nested_start_takes_fewer_iterations():
    V = pn.LegendreSpace(0, 64, 1.0)
    A, u0 = heat(15)
    with_start = pn.mgrit(V, A, u0, tol=1e-10)
    from_zero = pn.mgrit(V, A, u0, tol=1e-10, nested=False)
    assert with_start.residuals[0] < from_zero.residuals[0]
    assert with_start.iterations <= from_zero.iterations


LAMBDAS = [-0.5, -4.0, -40.0, -1.0 + 6.0j, 0.3]


@pytest.mark.parametrize("lam", LAMBDAS)
@pytest.mark.parametrize(
    ("space", "coarse"),
    [(pn.LegendreSpace(2, 48, 4.0), None), (pn.LagrangeSpace(1, 48, 4.0), 1), (pn.LegendreSpace(1, 40, 4.0), 1)],
)
def test_parareal_contraction_within_the_bound(space, coarse, lam):
    A, u0 = scalar_problem(lam)
    sol = pn.parareal(space, A, u0, coarse=coarse, parts=8, tol=1e-14, eigenvalues=eigenvalues_of(lam))
    assert sol.bound is not None and len(sol.residuals) >= 3
    assert not math.isnan(sol.contraction)
    assert sol.contraction <= sol.bound * (1.0 + 1e-9)


@pytest.mark.parametrize("lam", LAMBDAS)
@pytest.mark.parametrize("relaxation", ["F", "FCF"])
@pytest.mark.parametrize("space", [pn.LegendreSpace(0, 64, 4.0), pn.LagrangeSpace(2, 62, 4.0)])
def test_two_level_mgrit_contraction_within_the_bound(space, relaxation, lam):
    A, u0 = scalar_problem(lam)
    sol = pn.mgrit(space, A, u0, relaxation=relaxation, tol=1e-14, nested=False, eigenvalues=eigenvalues_of(lam))
    assert sol.bound is not None and not math.isnan(sol.contraction)
    assert sol.contraction <= sol.bound * (1.0 + 1e-9)


def test_contraction_within_the_bound_for_a_system():
    A, u0 = heat(9)  # symmetric: an orthonormal eigenbasis
    lambdas = -np.linalg.eigvalsh(A.toarray())
    V = pn.LegendreSpace(1, 64, 0.05)
    sol = pn.mgrit(V, A, u0, relaxation="F", tol=1e-13, nested=False, eigenvalues=lambdas)
    assert sol.contraction <= sol.bound
    sol = pn.parareal(V, A, u0, parts=16, tol=1e-13, eigenvalues=lambdas)
    assert sol.contraction <= sol.bound
    assert pn.mgrit(V, A, u0, levels=3, coarsening=2, eigenvalues=lambdas).bound is None


def scalar_problem(lam):
    """u' = lam u as a real system: a 2x2 rotation-scaling block for a complex lam."""
    lam = complex(lam)
    if lam.imag == 0.0:
        return np.array([[-lam.real]]), np.array([1.0])
    return np.array([[-lam.real, lam.imag], [-lam.imag, -lam.real]]), np.array([1.0, 0.5])


def eigenvalues_of(lam):
    lam = complex(lam)
    return [lam] if lam.imag == 0.0 else [lam, lam.conjugate()]


@pytest.mark.parametrize("z", [0.0, -0.3, 1e-3 + 2e-3j, -2.0])
@pytest.mark.parametrize("degree", range(5))
def test_amplification_is_the_step_of_the_method(degree, z):
    # The stability function is what one step does to u' = lam u (here with h = 1).
    for space in (pn.LegendreSpace(degree, 1, 1.0), pn.LagrangeSpace(degree + 1, 1, 1.0)):
        A, u0 = scalar_problem(z)
        end = pn.solve_galerkin(space, A, u0).end
        R = pit.amplification(space, z)
        assert (
            abs(complex(end[0], end[1] if len(end) > 1 else 0.0) - R * complex(u0[0], u0[-1] if z.imag else 0.0))
            < 1e-13
        )


@pytest.mark.parametrize(("phi", "psi"), [(0.5, 0.4), (-0.2, 0.9), (0.3 + 0.4j, 0.5j), (1.1, 1.05)])
@pytest.mark.parametrize("K", [1, 2, 7])
def test_bounds_reduce_to_the_closed_forms_for_equal_stretches(phi, psi, K):
    # Gander and Vandewalle (F-relaxation, parareal) and Dobrev et al. (FCF: the factor |phi|),
    # counting the K boundaries the residual lives on.
    stretches = np.full((1, K), phi, dtype=complex), np.full((1, K), psi, dtype=complex)
    series = sum(abs(psi) ** i for i in range(K - 1))
    assert pit.two_level_bound(*stretches, "F") == pytest.approx(abs(phi - psi) * series, rel=1e-13)
    series = sum(abs(psi) ** i for i in range(K - 2))
    assert pit.two_level_bound(*stretches, "FCF") == pytest.approx(abs(phi) * abs(phi - psi) * series, rel=1e-13)


MISUSE = [
    (pn.mgrit, {"levels": 1}, ValueError, "levels: expected an integer >= 2"),
    (pn.mgrit, {"levels": 2.0}, TypeError, "levels: expected an integer"),
    (pn.mgrit, {"coarsening": 1}, ValueError, "coarsening: expected an integer >= 2"),
    (pn.mgrit, {"relaxation": "FF"}, ValueError, "relaxation: expected 'F' or 'FCF', got 'FF'"),
    (pn.mgrit, {"levels": 4, "coarsening": 4}, ValueError, "space: 8 intervals leave 1 on level 2 of 4"),
    (pn.mgrit, {"nested": 1}, TypeError, "nested: expected a bool"),
    (pn.mgrit, {"comm": object()}, TypeError, "comm: expected None or an mpi4py intracommunicator"),
    (pn.mgrit, {"tol": -1.0}, ValueError, "tol: expected a non-negative real number"),
    (pn.mgrit, {"atol": "0"}, TypeError, "atol: expected a non-negative real number"),
    (pn.mgrit, {"max_iterations": -1}, ValueError, "max_iterations: expected an integer >= 0"),
    (pn.mgrit, {"eigenvalues": [np.nan]}, ValueError, "eigenvalues: expected finite numbers"),
    (pn.parareal, {}, ValueError, "parts: expected the number of slabs, required without a communicator"),
    (pn.parareal, {"parts": 9}, ValueError, "parts: 9 slabs of 8 intervals would leave some empty"),
    (pn.parareal, {"parts": 0}, ValueError, "parts: expected an integer >= 1"),
    (pn.parareal, {"parts": 2, "coarse": -1}, ValueError, "coarse: expected an integer >= 0"),
    (pn.parareal, {"parts": 2, "comm": 0}, TypeError, "comm: expected None or an mpi4py intracommunicator"),
    (pn.parareal, {"parts": 2, "u0": [1.0, np.inf]}, ValueError, "u0: expected finite values"),
    (pn.parareal, {"parts": 2, "u0": [[1.0, 2.0]]}, ValueError, "u0: expected a vector of shape (n,)"),
    (pn.parareal, {"parts": 2, "space": "V"}, TypeError, "space: expected a LegendreSpace or a LagrangeSpace"),
]


@pytest.mark.parametrize(("method", "change", "error", "message"), MISUSE)
def test_misuse_names_the_argument(method, change, error, message):
    arguments = {"space": pn.LegendreSpace(1, 8, 1.0), "A": np.eye(2), "u0": [1.0, 2.0]} | change
    space, A, u0 = arguments.pop("space"), arguments.pop("A"), arguments.pop("u0")
    with pytest.raises(error) as caught:
        method(space, A, u0, **arguments)
    assert str(caught.value).startswith(message), str(caught.value)


def test_solution_evaluates_only_its_slab():
    V = pn.LegendreSpace(1, 8, 1.0)
    sol = pn.mgrit(V, np.eye(1), [1.0])
    assert sol(np.array([0.0, 0.5, 1.0])).shape == (1, 3)
    assert "iterations=" in repr(sol)


@pytest.mark.parametrize(("relaxation", "sweeps"), [("F", 2), ("FCF", 3)])
def test_mgrit_counts_the_solves_of_every_level(relaxation, sweeps):
    # One iteration from zero on dG(0), one unknown (a solve per interval): the first fine
    # relaxation, then per iteration the fine sweeps of the relaxation and the coarse level's 4.
    sol = pn.mgrit(pn.LegendreSpace(0, 8, 1.0), np.eye(1), [1.0], coarsening=2, relaxation=relaxation,
                   nested=False, tol=0.0, max_iterations=1)  # fmt: skip
    assert sol.iterations == 1
    assert sol.n_solves == 8 * sweeps + 4
