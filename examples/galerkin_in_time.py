"""Galerkin in time for the heat equation u_t = u_xx on (0, 1), u = 0 at both ends.

    python examples/galerkin_in_time.py

Space: second differences on N interior points (scipy.sparse), so M u' + A u = 0 with M = I.
Time: dG(q) (discontinuous Legendre trial and test, upwind traces) and cG(q) (continuous
Lagrange trial of degree q, discontinuous Legendre test of degree q - 1), each solved twice:
interval by interval by ``pn.solve_galerkin`` and, as a cross-check, all at once (one Kronecker
system of every interval's unknowns). The start value sin(pi x) is an eigenvector of A, so the
exact solution of the space discretisation is known, exp(-mu t) sin(pi x), and the printed errors
are the time errors alone: at the interval ends (order 2q + 1 for dG, 2q for cG) and in L2 over [0, T] (order q + 1).
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
import scipy.sparse
import scipy.sparse.linalg

import pwpoly_numpy as pn

Array = npt.NDArray[np.float64]
Sparse = scipy.sparse.csr_array

N = 15  # interior points in space
T = 0.2
DX = 1.0 / (N + 1)
X = np.arange(1, N + 1) * DX
U0 = np.sin(np.pi * X)
MU = 4.0 / DX**2 * np.sin(np.pi * DX / 2.0) ** 2  # the eigenvalue of A for sin(pi x)
A = scipy.sparse.csr_array(scipy.sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(N, N)) / DX**2)
I_N = scipy.sparse.identity(N, format="csr")
N_TS = (4, 8, 16, 32)


def exact(t: Array) -> Array:
    """The semi-discrete solution at times t: shape (N, len(t))."""
    return np.outer(U0, np.exp(-MU * t))


def solve(matrix: Sparse, rhs: Array) -> Array:
    return np.asarray(scipy.sparse.linalg.spsolve(scipy.sparse.csc_array(matrix), rhs), dtype=np.float64)


# --- dG(q) -------------------------------------------------------------------------------------


def dg_all_at_once(V: pn.LegendreSpace) -> Array:
    """Coefficients (V.size, N): kron(D_upwind, M) + kron(M_t, A), start vector the right traces at 0."""
    K = scipy.sparse.kron(V.derivative_matrix(upwind=True), I_N) + scipy.sparse.kron(V.mass_matrix(), A)
    start = V.basis_matrix([0.0]).toarray()[0]
    return solve(Sparse(K), np.kron(start, U0)).reshape(V.size, N)


def dg_stepping(V: pn.LegendreSpace) -> Array:
    """The same, interval by interval: coefficients (V.size, N)."""
    return pn.solve_galerkin(V, A, U0).coefficients.T


def dg_errors(V: pn.LegendreSpace, c: Array) -> tuple[float, float]:
    """Largest error at the interval ends (left limits, P_i(1) = 1) and the L2 error over [0, T]."""
    ends = c.reshape(V.degree + 1, V.n_t, N).sum(axis=0)
    nodal = float(np.abs(ends - exact(V.breakpoints[1:]).T).max())
    return nodal, l2_error(lambda t: V.evaluate(c.T, t), V)


# --- cG(q) -------------------------------------------------------------------------------------


def cg_operators(W: pn.LagrangeSpace) -> tuple[Sparse, Sparse, pn.LegendreSpace]:
    Vt = pn.LegendreSpace(W.degree - 1, W.n_t, W.T)
    return Vt.derivative_matrix(trial=W), Vt.mass_matrix(trial=W), Vt


def cg_all_at_once(W: pn.LagrangeSpace) -> Array:
    """Nodal values (W.size, N): the Petrov-Galerkin rows plus u(0) = u0 on W's first node."""
    D, M, _ = cg_operators(W)
    first = Sparse(([1.0], ([0], [0])), shape=(1, W.size))
    K = scipy.sparse.vstack(
        [scipy.sparse.kron(first, I_N), scipy.sparse.kron(D, I_N) + scipy.sparse.kron(M, A)], format="csr"
    )
    rhs = np.concatenate([U0, np.zeros(D.shape[0] * N)])
    return solve(Sparse(K), rhs).reshape(W.size, N)


def cg_stepping(W: pn.LagrangeSpace) -> Array:
    """The same, interval by interval: nodal values (W.size, N)."""
    return pn.solve_galerkin(W, A, U0).coefficients.T


def cg_errors(W: pn.LagrangeSpace, u: Array) -> tuple[float, float]:
    ends = u[:: W.degree][1:]
    nodal = float(np.abs(ends - exact(W.legendre_space().breakpoints[1:]).T).max())
    return nodal, l2_error(lambda t: W.evaluate(u.T, t), W)


def l2_error(evaluate: object, space: pn.LegendreSpace | pn.LagrangeSpace) -> float:
    x, w = np.polynomial.legendre.leggauss(12)
    dt = space.T / space.n_t
    times = ((np.arange(space.n_t)[:, None] + (x + 1.0) / 2.0) * dt).ravel()
    weights = np.tile(w * dt / 2.0, space.n_t)
    assert callable(evaluate)
    values: Array = evaluate(times)
    return float(np.sqrt((weights * ((values - exact(times)) ** 2).sum(axis=0)).sum()))


# --- tables ------------------------------------------------------------------------------------


@dataclass(frozen=True)
class OrderRow:
    method: str  # "dG" or "cG"
    degree: int
    n_t: tuple[int, ...]
    nodal: tuple[float, ...]
    l2: tuple[float, ...]
    stepping_difference: float  # largest difference between stepping and all at once

    @staticmethod
    def orders(errors: tuple[float, ...], n_t: tuple[int, ...]) -> tuple[float, ...]:
        return tuple(
            float(np.log(errors[j] / errors[j + 1]) / np.log(n_t[j + 1] / n_t[j])) for j in range(len(errors) - 1)
        )


def order_table(n_ts: tuple[int, ...] = N_TS) -> list[OrderRow]:
    rows = []
    for q in (0, 1, 2):
        nodal, l2, difference = [], [], 0.0
        for n_t in n_ts:
            V = pn.LegendreSpace(q, n_t, T)
            c = dg_all_at_once(V)
            difference = max(difference, float(np.abs(dg_stepping(V) - c).max()))
            e_nodal, e_l2 = dg_errors(V, c)
            nodal.append(e_nodal)
            l2.append(e_l2)
        rows.append(OrderRow("dG", q, n_ts, tuple(nodal), tuple(l2), difference))
    for q in (1, 2, 3):
        nodal, l2, difference = [], [], 0.0
        for n_t in n_ts:
            W = pn.LagrangeSpace(q, n_t, T)
            u = cg_all_at_once(W)
            difference = max(difference, float(np.abs(cg_stepping(W) - u).max()))
            e_nodal, e_l2 = cg_errors(W, u)
            nodal.append(e_nodal)
            l2.append(e_l2)
        rows.append(OrderRow("cG", q, n_ts, tuple(nodal), tuple(l2), difference))
    return rows


def main() -> None:
    print(f"heat equation, {N} points in space, T = {T}, n_t = {N_TS}")
    for row in order_table():
        expected = 2 * row.degree + 1 if row.method == "dG" else 2 * row.degree
        nodal = " ".join(f"{o:5.2f}" for o in OrderRow.orders(row.nodal, row.n_t))
        l2 = " ".join(f"{o:5.2f}" for o in OrderRow.orders(row.l2, row.n_t))
        print(
            f"{row.method}({row.degree}): interval ends {nodal} (expected {expected}), "
            f"L2 {l2} (expected {row.degree + 1}); stepping vs all at once {row.stepping_difference:.1e}"
        )


if __name__ == "__main__":
    main()
