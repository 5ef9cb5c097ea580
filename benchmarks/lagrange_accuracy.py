"""Accuracy of the array face's Lagrange operators and of the projection against exact rational
arithmetic.

For each degree, on one interval of [0, 2] (the local matrices: every other interval repeats them
scaled by its length), the exact values come from ``fractions.Fraction`` on the exact double nodes
of the reference interval:

- ``to_legendre``: G(i, a) = ((2a + 1) / 2) * integral of l_i P_a over [-1, 1], exact; the error is
  the largest |G - G_exact| over the largest |G_exact| of its column (a Legendre degree), for the
  array face and, beside it, the scalar face (``pwpoly.lagrange_to_legendre_basis_transformation``,
  the inverse of the Vandermonde matrix, which keeps its algorithm);
- the mass matrix: the largest |M - M_exact| / max |M_exact| (normwise) and the largest
  |M - M_exact| / |M_exact| (entry by entry);
- the prolongation onto twice the intervals: the largest |sum of a row - 1| (absolute) and the
  largest error of a weight, both over the row's sum of magnitudes (its natural scale: the
  Lebesgue function of the nodes, 2e16 at degree 64);
- the derivative matrix: its stored entries against the exact nonzeros.

    .venv/bin/python benchmarks/lagrange_accuracy.py [DEGREE ...]

prints one row per degree (default 1 2 3 4 8 16 32 64); the exact arithmetic takes some seconds
at degree 64. Then one row per partition pair and degree 0 to 2 for ``LegendreSpace.projection_to``:
the largest error of an entry over its row's sum of magnitudes, against the exact integrals on the
exact breakpoints (the tests' reference, ``tests/test_exact_operators.py``).
"""

from __future__ import annotations

import sys
from fractions import Fraction
from pathlib import Path

import numpy as np

import pwpoly
import pwpoly_numpy as pn


def reference_nodes(degree: int) -> list[Fraction]:
    # The doubles the library uses, ((j * 2.0) / degree) + (-1.0), taken exactly.
    return [Fraction(((j * 2.0) / degree) + -1.0) for j in range(degree + 1)]


def times_linear(poly: list[Fraction], root: Fraction, scale: Fraction) -> list[Fraction]:
    """poly * (x - root) / scale, coefficients from the constant up."""
    out = [Fraction(0)] * (len(poly) + 1)
    for k, c in enumerate(poly):
        out[k + 1] += c / scale
        out[k] -= c * root / scale
    return out


def lagrange_polynomials(nodes: list[Fraction]) -> list[list[Fraction]]:
    result = []
    for j, xj in enumerate(nodes):
        poly = [Fraction(1)]
        for other, xl in enumerate(nodes):
            if other != j:
                poly = times_linear(poly, xl, xj - xl)
        result.append(poly)
    return result


def legendre_polynomials(degree: int) -> list[list[Fraction]]:
    P = [[Fraction(1)], [Fraction(0), Fraction(1)]]
    for n in range(1, degree):
        a = [Fraction(0)] + [Fraction(2 * n + 1, n + 1) * c for c in P[n]]
        b = [Fraction(n, n + 1) * c for c in P[n - 1]] + [Fraction(0)] * 2
        P.append([x - y for x, y in zip(a, b, strict=False)])
    return P[: degree + 1]


def moments(count: int) -> list[Fraction]:
    """Integrals of x^k over [-1, 1]."""
    return [Fraction(2, k + 1) if k % 2 == 0 else Fraction(0) for k in range(count)]


def weighted(poly: list[Fraction], mu: list[Fraction], width: int) -> list[Fraction]:
    """u[other] = integral of poly(x) x^other, for other < width."""
    return [sum((c * mu[k + other] for k, c in enumerate(poly)), Fraction(0)) for other in range(width)]


def dot(poly: list[Fraction], u: list[Fraction]) -> Fraction:
    return sum((c * u[other] for other, c in enumerate(poly)), Fraction(0))


def value(poly: list[Fraction], x: Fraction) -> Fraction:
    result = Fraction(0)
    for c in reversed(poly):
        result = result * x + c
    return result


def row(degree: int) -> dict[str, float]:
    d = degree
    nodes = reference_nodes(d)
    L = lagrange_polynomials(nodes)
    P = legendre_polynomials(d)
    mu = moments(2 * d + 2)
    u = [weighted(li, mu, d + 1) for li in L]
    G_exact = np.array([[float(Fraction(2 * a + 1, 2) * dot(P[a], u[i])) for a in range(d + 1)] for i in range(d + 1)])
    M_exact = np.array([[float(dot(L[j], u[i])) for j in range(d + 1)] for i in range(d + 1)])

    W = pn.LagrangeSpace(d, 1, 2.0)  # length 2: the mass matrix is the reference one
    G = W.to_legendre().toarray().T  # (node i, degree a)
    rows, cols, vals = pwpoly.lagrange_to_legendre_basis_transformation(d, 1)
    G_scalar = np.zeros((d + 1, d + 1))
    G_scalar[cols, rows] = vals
    column_scale = np.abs(G_exact).max(axis=0)
    M = W.mass_matrix().toarray()

    fine = pn.LagrangeSpace(d, 2, 2.0)
    prolongation = W.prolongation_to(fine).toarray()
    magnitude = np.abs(prolongation).sum(axis=1)
    exact_weights = np.zeros_like(prolongation)
    for r in range(fine.size):
        if r % 2 == 0:  # on coarse node r / 2 (in integers): the single 1.0
            exact_weights[r, r // 2] = 1.0
            continue
        e = Fraction(2 * r - 2 * d, 2 * d)  # fine node r of 2d on [-1, 1]
        exact_weights[r] = [float(value(li, e)) for li in L]

    D = W.derivative_matrix()
    derivative_polys = [[k * c for k, c in enumerate(li)][1:] for li in L]
    D_exact = [[dot(derivative_polys[j], u[i]) for j in range(d + 1)] for i in range(d + 1)]
    exact_nonzeros = sum(1 for r_ in D_exact for v in r_ if v != 0)
    stored = D.toarray() != 0
    dropped = sum(1 for i in range(d + 1) for j in range(d + 1) if D_exact[i][j] != 0 and not stored[i, j])
    return {
        "to_legendre": float((np.abs(G - G_exact).max(axis=0) / column_scale).max()),
        "scalar to_legendre": float((np.abs(G_scalar - G_exact).max(axis=0) / column_scale).max()),
        "mass normwise": float(np.abs(M - M_exact).max() / np.abs(M_exact).max()),
        "mass entrywise": float((np.abs(M - M_exact) / np.abs(M_exact)).max()),
        "row sums": float((np.abs(prolongation.sum(axis=1) - 1.0) / magnitude).max()),
        "row sums absolute": float(np.abs(prolongation.sum(axis=1) - 1.0).max()),
        "weights": float((np.abs(prolongation - exact_weights).max(axis=1) / magnitude).max()),
        "derivative nnz": D.nnz,
        "exact nonzeros": exact_nonzeros,
        "dropped": dropped,
    }


PROJECTION_CASES = {
    "t0 = 1000, h ~ 1e-6": (1000.0 + 1e-6 * np.array([0, 1, 2.5, 3.0]), 1000.0 + 1e-6 * np.array([0, 0.7, 3.0])),
    "t0 = 1e6, h ~ 1e-6": (1e6 + 1e-6 * np.array([0, 1, 2.5, 3.0]), 1e6 + 1e-6 * np.array([0, 0.7, 3.0])),
    "-5 + (k/6)^2 onto -5 + (k/4)^3": (-5.0 + np.linspace(0, 1, 7) ** 2, -5.0 + np.linspace(0, 1, 5) ** 3),
    "an overlap of 3.5 %": (np.array([0, 1.0, 2.0]), np.array([0, 0.965, 2.0])),
    "ends near 1.7e308": (
        2.0**1023 * np.array([-1.0, -0.3, 0.2, 0.75]),
        2.0**1023 * np.array([-1.0, -0.5, 0.1, 0.6, 0.75]),
    ),
}


def projection_rows() -> None:
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
    from test_exact_operators import exact_projection

    eps = np.finfo(np.float64).eps
    print("\n| projection | degree 0 | degree 1 | degree 2 |")
    print("|---|---|---|---|")
    for name, (source, target) in PROJECTION_CASES.items():
        errors = []
        for d in (0, 1, 2):
            V = pn.LegendreSpace(d, breakpoints=source)
            U = pn.LegendreSpace(d, breakpoints=target)
            exact = exact_projection(V, U)
            scale = np.abs(exact).sum(axis=1)[:, None]
            errors.append(float(np.max(np.abs(V.projection_to(U).toarray() - exact) / scale)) / eps)
        print(f"| {name} | " + " | ".join(f"{e:.1f} eps" for e in errors) + " |")


def main(argv: list[str]) -> None:
    degrees = [int(a) for a in argv] or [1, 2, 3, 4, 8, 16, 32, 64]
    eps = np.finfo(np.float64).eps
    print(
        "| degree | to_legendre (scalar face) | mass normwise / entrywise | prolongation row sums "
        "(absolute) | weights | derivative nnz / exact nonzeros |"
    )
    print("|---|---|---|---|---|---|")
    for d in degrees:
        r = row(d)
        print(
            f"| {d} | {r['to_legendre']:.1e} ({r['scalar to_legendre']:.1e}) | {r['mass normwise']:.1e} / "
            f"{r['mass entrywise']:.1e} | {r['row sums'] / eps:.1f} eps ({r['row sums absolute']:.1e}) | "
            f"{r['weights'] / eps:.1f} eps | {r['derivative nnz']} / {r['exact nonzeros']} "
            f"({r['dropped']} dropped) |"
        )
    projection_rows()


if __name__ == "__main__":
    main(sys.argv[1:])
