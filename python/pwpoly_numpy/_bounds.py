"""Stability functions of dG(q) and cG(q) and the two-level convergence bound of parareal and
MGRIT (the notes of ``ParallelSolution`` state them)."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Literal, TypeAlias

import numpy as np
import numpy.typing as npt

from ._legendre import LegendreSpace

if TYPE_CHECKING:  # pragma: no cover
    from ._lagrange import LagrangeSpace

    _Space: TypeAlias = LegendreSpace | LagrangeSpace


def pade(numerator: int, denominator: int, z: npt.ArrayLike) -> npt.NDArray[np.complex128]:
    """The (numerator, denominator) Pade approximant of exp(z)."""
    zs = np.asarray(z, dtype=np.complex128)
    total = numerator + denominator

    def series(degree: int, x: npt.NDArray[np.complex128]) -> npt.NDArray[np.complex128]:
        result = np.zeros_like(x)
        for j in range(degree, -1, -1):  # Horner
            coefficient = (
                math.factorial(total - j) * math.factorial(degree)
                / (math.factorial(total) * math.factorial(j) * math.factorial(degree - j))
            )  # fmt: skip
            result = result * x + coefficient
        return result

    return series(numerator, zs) / series(denominator, -zs)


def amplification(space: _Space, z: npt.ArrayLike) -> npt.NDArray[np.complex128]:
    """What one step of the space's method multiplies u' = lambda u by, at z = lambda h: dG(q) the
    (q, q + 1) Pade approximant of exp(z), cG(q) the (q, q) one."""
    q = space.degree
    return pade(q, q + 1 if isinstance(space, LegendreSpace) else q, z)


def stretches(space: _Space, ends: npt.NDArray[np.int64], eigenvalues: npt.NDArray[np.complex128]) -> Any:
    """Phi_i of every stretch [ends[i], ends[i+1]) of the space's intervals: shape (lambdas, stretches)."""
    steps = amplification(space, eigenvalues[:, None] * space.lengths[None, :])
    return np.multiply.reduceat(steps, ends[:-1], axis=1)


def two_level_bound(
    phi: npt.NDArray[np.complex128], psi: npt.NDArray[np.complex128], relaxation: Literal["F", "FCF"]
) -> float:
    """max over the rows (eigenvalues) of sqrt(||P||_1 ||P||_inf), P the residual propagator of the
    C-points 1 ... K of a two-level method with fine and coarse amplifications phi, psi of shape
    (lambdas, K) (see the notes of ParallelSolution)."""
    lambdas, K = phi.shape
    inverse = np.zeros((lambdas, K + 1), dtype=np.complex128)  # row j of B^-1 over sources 0 ... K
    rows = np.zeros(lambdas)
    columns = np.zeros((lambdas, K + 1))
    for p in range(1, K + 1):
        # B^-1[p-1, :] from B^-1[p-2, :]: times Psi_{p-2}, plus the unit at p-1.
        if p >= 2:
            inverse *= psi[:, p - 2, None]
        inverse[:, p - 1] += 1.0
        inverse[:, 0] = 0.0  # no residual at t0
        row = (phi[:, p - 1, None] - psi[:, p - 1, None]) * inverse
        if relaxation == "FCF":  # (R S)[p, c] = R[p, c + 1] Phi_c
            shifted = np.zeros_like(row)
            shifted[:, 1:K] = row[:, 2 : K + 1] * phi[:, 1:K]
            row = shifted
        magnitude = np.abs(row)
        rows = np.maximum(rows, magnitude.sum(axis=1))
        columns += magnitude
    return float(np.max(np.sqrt(rows * columns.max(axis=1)))) if K else 0.0
