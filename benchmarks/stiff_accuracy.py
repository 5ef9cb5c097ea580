"""The rounding floor of solve_galerkin on stiff problems: how close it lands to the exact discrete
solution, and how well cG keeps the energy of the undamped wave.

    python benchmarks/stiff_accuracy.py [--peers]

- Heat equation u_t = u_xx on (0, 1) with n interior finite-difference unknowns, T = 0.1, hat
  start, degree 3 on equal intervals: the largest difference of the end value from the exact
  discrete solution, relative to its largest entry. The exact discrete solution multiplies each
  sine mode by the method's Pade approximant of exp(-mu h) once per interval (dG(q): (q, q + 1),
  cG(q): (q, q)), in the sine transform. Target: 2e-11 at 2000 unknowns.
- Undamped wave u_tt = u_xx, 50 interior points, as a first-order system with the unknowns
  interleaved (so its matrix lies within a band), 16000 steps of 0.01: the relative change of
  the energy 0.5 (|v|^2 + u.L u) at the end. Targets: cG(q <= 5) within 1e-11; dG never gains
  more than 1e-12.

Beside ours (the compiled banded loop, which refines each step against the coupled residual),
the same split systems unrefined (the Python loop over the same default factorisations), and
with --peers scipy's BDF and Radau at rtol 1e-12 against the exact semi-discrete solution (their
own floor on the same problem).
"""

import argparse
import sys
from math import factorial

import numpy as np
import scipy.fft
import scipy.integrate
import scipy.sparse

import pwpoly_numpy as pn
from pwpoly_numpy import _solver


def pade(numerator, denominator, z):
    n, d = numerator, denominator
    top = sum(factorial(n + d - j) * factorial(n) / (factorial(n + d) * factorial(j) * factorial(n - j)) * z**j
              for j in range(n + 1))  # fmt: skip
    bottom = sum(factorial(n + d - j) * factorial(d) / (factorial(n + d) * factorial(j) * factorial(d - j)) * (-z) ** j
                 for j in range(d + 1))  # fmt: skip
    return top / bottom


def heat(n):
    dx = 1.0 / (n + 1)
    x = np.arange(1, n + 1) * dx
    A = scipy.sparse.csr_array(scipy.sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(n, n)) / dx**2)
    mu = 4.0 / dx**2 * np.sin(np.arange(1, n + 1) * np.pi * dx / 2.0) ** 2
    return x, A, mu


def wave(n):
    dx = 1.0 / (n + 1)
    L = scipy.sparse.csr_array(scipy.sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(n, n)) / dx**2)
    A = scipy.sparse.lil_array((2 * n, 2 * n))
    for i in range(n):
        A[2 * i, 2 * i + 1] = -1.0  # u' = v
        for j in range(max(0, i - 1), min(n, i + 2)):
            A[2 * i + 1, 2 * j] = L[i, j]  # v' = -L u
    x = np.arange(1, n + 1) * dx
    y0 = np.zeros(2 * n)
    y0[0::2] = np.exp(-100.0 * (x - 0.5) ** 2)
    return scipy.sparse.csr_array(A), L, y0


# The same split systems without the refinement: the Python loop over the default factorisations.
UNREFINED = {"factorize": _solver._default_factorize}


def heat_rows(peers):
    print("Heat 1D, T = 0.1, hat start: largest difference from the exact discrete end, relative")
    print(f"{'unknowns':>8} {'method':>6} {'intervals':>9} {'ours':>9} {'unrefined':>9}")
    worst = 0.0
    for n in (200, 2000):
        x, A, mu = heat(n)
        u0 = np.minimum(x, 1.0 - x)
        for kind in ("dG", "cG"):
            for n_t in (20, 100):
                q, T = 3, 0.1
                step = pade(q, q + 1 if kind == "dG" else q, -mu * (T / n_t))
                exact = scipy.fft.idst(scipy.fft.dst(u0, type=1) * step**n_t, type=1)
                space = (pn.LegendreSpace if kind == "dG" else pn.LagrangeSpace)(q, n_t, T)
                errors = []
                for options in ({}, UNREFINED):
                    end = pn.solve_galerkin(space, A, u0, **options).end
                    errors.append(float(np.abs(end - exact).max() / np.abs(exact).max()))
                if n == 2000:
                    worst = max(worst, errors[0])
                print(f"{n:>8} {kind + '(3)':>6} {n_t:>9} {errors[0]:>9.1e} {errors[1]:>9.1e}")
    if peers:
        for n in (200, 2000):
            x, A, mu = heat(n)
            u0 = np.minimum(x, 1.0 - x)
            exact = scipy.fft.idst(scipy.fft.dst(u0, type=1) * np.exp(-mu * 0.1), type=1)
            negative = scipy.sparse.csc_array(-A)
            for method in ("BDF", "Radau"):
                run = scipy.integrate.solve_ivp(lambda t, u: negative @ u, (0.0, 0.1), u0, method=method,
                                                jac=negative, rtol=1e-12, atol=1e-15, t_eval=[0.1])  # fmt: skip
                error = float(np.abs(run.y[:, -1] - exact).max() / np.abs(exact).max())
                print(f"{n:>8} {method:>6} rtol 1e-12 against the exact semi-discrete end: {error:.1e}")
    met = worst <= 2e-11
    print(f"target: within 2e-11 at 2000 unknowns; measured {worst:.1e}: {'met' if met else 'NOT met'}")
    return met


def wave_rows():
    n, steps, dt = 50, 16000, 0.01
    A, L, y0 = wave(n)

    def energy(y):
        return 0.5 * (y[1::2] @ y[1::2] + y[0::2] @ (L @ y[0::2]))

    print(f"\nUndamped wave, {n} points, {steps} steps of {dt}: relative change of the energy at the end")
    print(f"{'method':>6} {'ours':>10} {'unrefined':>10}")
    drift, gain = 0.0, -np.inf
    for kind in ("cG", "dG"):
        for q in range(1, 6):
            space = (pn.LagrangeSpace if kind == "cG" else pn.LegendreSpace)(q, steps, steps * dt)
            changes = [
                (energy(pn.solve_galerkin(space, A, y0, **options).end) - energy(y0)) / energy(y0)
                for options in ({}, UNREFINED)
            ]
            if kind == "cG":
                drift = max(drift, abs(changes[0]))
            else:
                gain = max(gain, changes[0])
            print(f"{kind}({q}):".rjust(6) + f" {changes[0]:>+10.1e} {changes[1]:>+10.1e}")
    met = drift <= 1e-11 and gain <= 1e-12
    print(f"targets: cG within 1e-11 (measured {drift:.1e}), dG gains at most 1e-12 (measured {gain:+.1e}): "
          f"{'met' if met else 'NOT met'}")  # fmt: skip
    return met


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--peers", action="store_true", help="scipy's BDF and Radau on the heat equation too")
    arguments = parser.parse_args()
    met = heat_rows(arguments.peers)
    met = wave_rows() and met
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
