"""Accuracy of the array face's evaluation against exact rational arithmetic on the given doubles.

    python benchmarks/accuracy.py

Per partition (graded, far from the origin with tiny intervals, negative, uniform), for a few
hundred seeded times: the local coordinate's largest error in units of eps (target: 2), and
evaluate / basis_matrix (values and first derivatives) in units of eps times the conditioning
bound, the natural scale sum |c_i P_i^(q)(xi)| plus the coordinate's rounding seen through the
next derivative, 2 sum |c_i P_i^(q+1)(xi)| (target: 16). The exact references are Fractions of
the very doubles the library is given. Last, how far pwpoly (the scalar face, midpoint formula)
and pwpoly_numpy (the interval's own ends) lie apart in xi on equal intervals, as
max (|dxi| / eps - 4) / (|t| / dt).
"""

import sys
from fractions import Fraction

import numpy as np

import pwpoly
import pwpoly_numpy as pn

EPS = np.finfo(float).eps
DEGREE = 5


def exact_coordinate(a, b, t):
    a, b, t = Fraction(float(a)), Fraction(float(b)), Fraction(float(t))
    return min(max((2 * t - a - b) / (b - a), Fraction(-1)), Fraction(1))


def exact_legendre(xi, degree, order):
    """[P_i^(order)(xi) for i = 0 ... degree], exactly."""
    rows = [[Fraction(1)] + [Fraction(0)] * order]
    rows.append(([xi, Fraction(1)] + [Fraction(0)] * order)[: order + 1])
    for j in range(1, degree):
        previous, current = rows[j - 1], rows[j]
        nxt = [((2 * j + 1) * xi * current[0] - j * previous[0]) / (j + 1)]
        nxt += [previous[q] + (2 * j + 1) * current[q - 1] for q in range(1, order + 1)]
        rows.append(nxt)
    return [row[order] for row in rows[: degree + 1]]


def partitions():
    n = 1000
    s = np.arange(n + 1) / n
    yield "(k/n)^2, n = 1000", s**2
    yield "(k/n)^3, n = 1000", s**3
    for t0 in (0.0, 1e3, 1e6):
        for h in (1e-3, 1e-6):
            yield f"{t0:g} + k*{h:g}", t0 + h * np.arange(1001)
    yield "-1e6 + k*1e-6", -1e6 + 1e-6 * np.arange(1001)
    yield "-((n - k)/n)^2, n = 1000", -(s[::-1] ** 2)
    yield "uniform n_t = 1000, T = 1", pn.LegendreSpace(0, 1000, 1.0).breakpoints
    yield "uniform n_t = 10^6, T = 1", pn.LegendreSpace(0, 10**6, 1.0).breakpoints


def measure(name, ends, rng, count=300):
    V = pn.LegendreSpace(DEGREE, breakpoints=ends)
    k = rng.integers(0, V.n_t, count)
    t = ends[k] + rng.uniform(0.0, 1.0, count) * (ends[k + 1] - ends[k])
    t = np.concatenate([t, ends[:: max(1, len(ends) // 50)]])
    c = rng.standard_normal(V.size)
    k, xi = V.locate(t)
    worst = {"xi": 0.0}
    for order in (0, 1):
        values = V.evaluate(c, t, derivative=order)
        B = V.basis_matrix(t, derivative=order)
        rows = np.add.reduceat(B.data * c[B.indices], B.indptr[:-1])
        for j, s in enumerate(t):
            a, b = ends[k[j]], ends[k[j] + 1]
            x = exact_coordinate(a, b, s)
            if order == 0:
                worst["xi"] = max(worst["xi"], float(abs(Fraction(float(xi[j])) - x)) / EPS)
            local = [Fraction(float(c[i * V.n_t + k[j]])) for i in range(DEGREE + 1)]
            terms = [ci * p for ci, p in zip(local, exact_legendre(x, DEGREE, order))]
            slopes = [ci * p for ci, p in zip(local, exact_legendre(x, DEGREE, order + 1))]
            scale = (Fraction(2) / (Fraction(float(b)) - Fraction(float(a)))) ** order
            exact = sum(terms) * scale
            bound = float((sum(abs(v) for v in terms) + 2 * sum(abs(v) for v in slopes)) * scale) * EPS
            for label, got in (("evaluate", values[j]), ("basis_matrix", rows[j])):
                key = f"{label} d{order}"
                worst[key] = max(worst.get(key, 0.0), abs(float(Fraction(float(got)) - exact)) / bound)
    return worst


def faces_apart(rng):
    """max (|xi_numpy - xi_pwpoly| / eps - 4) / (|t| / dt) on equal intervals, where both modules pick
    the same interval."""
    worst = 0.0
    for n_t, T in ((1000, 1.0), (10**6, 1.0), (1000, 1e6), (37, 3.7)):
        V = pn.LegendreSpace(1, n_t, T)
        scalar = pwpoly.LegendreBasis(1, n_t, T)
        t = rng.uniform(0.0, T, 400)
        k, xi = V.locate(t)
        for j, s in enumerate(t):
            values = scalar.evaluate_all_basis_functions(float(s)) if n_t <= 1000 else None
            if values is None:
                # The scalar face's coordinate, as pwpoly forms it, without its dense vector.
                dt = T / n_t
                kk = min(max(int(np.floor(s / dt)), 0), n_t - 1)
                if kk != k[j]:
                    continue
                a = kk * dt
                b = dt + a
                other = min(max((2.0 * (s - (a + b) / 2.0)) / (b - a), -1.0), 1.0)
            else:
                if values[k[j]] != 1.0:
                    continue
                other = values[n_t + k[j]]
            worst = max(worst, (abs(xi[j] - other) / EPS - 4.0) / (abs(s) / (T / n_t)))
    return worst


def main():
    rng = np.random.default_rng(22)
    keys = ["xi", "evaluate d0", "basis_matrix d0", "evaluate d1", "basis_matrix d1"]
    print("| partition | xi error (eps, target 2) | " + " | ".join(f"{k} (target 16)" for k in keys[1:]) + " |")
    print("|---" * (len(keys) + 1) + "|")
    ok = True
    for name, ends in partitions():
        worst = measure(name, ends, rng)
        ok = ok and worst["xi"] <= 2.0 and all(worst[k] <= 16.0 for k in keys[1:])
        print(f"| {name} | " + " | ".join(f"{worst[k]:.2f}" for k in keys) + " |", flush=True)
    apart = faces_apart(rng)
    print(f"\npwpoly vs pwpoly_numpy on equal intervals: |dxi| <= ({apart:.2f} |t|/dt + 4) eps")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
