"""Benchmark rows of solve_galerkin (run by run.py, section "solver").

- Heat equation u_t = u_xx on (0, 1), 2000 interior finite-difference unknowns, T = 0.1, hat and
  sine start values: the time to reach a relative end-time error of 1e-6 and 1e-9 against the
  exact semi-discrete solution (sine transform). Ours: dG(q) on equal intervals, for each q the
  fewest intervals reaching the error (found before timing), the fastest q kept. Baseline: the
  faster per round of scipy's solve_ivp BDF and Radau with the sparse Jacobian, each with the
  largest rtol of 10**(-k/2) reaching the same error (atol = rtol * 1e-3 * max|u0|).
- 2D heat equation, 5-point Laplacian on a 150 x 150 grid, dG(2), 50 steps: the decoupled solve
  (two factorisations: one real, one complex) against the coupled Kronecker block of 3 n
  unknowns, with the same sparse LU; peak memory of both in fresh interpreters.
- Scalar ODE u' = -u, 10**5 intervals, dG(2): the cost per interval, and the floor of a Python
  loop calling a prefactorised LU solve per interval.
"""

import json
import os
import subprocess
import sys

import numpy as np
import scipy.fft
import scipy.integrate
import scipy.sparse
import scipy.sparse.linalg

from timing import Contender

HERE = os.path.dirname(os.path.abspath(__file__))


def heat_1d(n):
    dx = 1.0 / (n + 1)
    x = np.arange(1, n + 1) * dx
    A = scipy.sparse.csr_array(scipy.sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(n, n)) / dx**2)
    mu = 4.0 / dx**2 * np.sin(np.arange(1, n + 1) * np.pi * dx / 2.0) ** 2
    return x, A, mu


def exact_end(u0, mu, T):
    """The semi-discrete solution at T: the sine transform diagonalises the second differences."""
    return scipy.fft.idst(scipy.fft.dst(u0, type=1) * np.exp(-mu * T), type=1)


def relative_error(u, exact):
    return float(np.linalg.norm(u - exact) / np.linalg.norm(exact))


def fewest_intervals(pn, q, A, u0, T, exact, target):
    """The fewest equal intervals (within 10 %) whose dG(q) end error is at most target, or None."""
    n_t, previous = 1, None
    while n_t <= 4096:
        error = relative_error(pn.solve_galerkin(pn.LegendreSpace(q, n_t, T), A, u0).end, exact)
        if error <= target:
            break
        previous, n_t = n_t, n_t * 2
    else:
        return None
    low, high = (previous or 0), n_t  # error above target at low, below at high
    while high - low > max(1, high // 10):
        middle = (low + high) // 2
        error = relative_error(pn.solve_galerkin(pn.LegendreSpace(q, middle, T), A, u0).end, exact)
        low, high = (low, middle) if error <= target else (middle, high)
    return high


def ivp_rtol(method, A, u0, T, exact, target):
    """The largest rtol of 10**(-k/2) for which solve_ivp reaches the target error."""
    for k in range(4, 30):
        rtol = 10.0 ** (-k / 2)
        run = ivp(method, A, u0, T, rtol)
        if relative_error(run.y[:, -1], exact) <= target:
            return rtol, run
    return None, None


def ivp(method, A, u0, T, rtol):
    negative = scipy.sparse.csc_array(-A)
    atol = rtol * 1e-3 * float(np.abs(u0).max())
    return scipy.integrate.solve_ivp(
        lambda t, u: negative @ u, (0.0, T), u0, method=method, jac=negative, rtol=rtol, atol=atol, t_eval=[T]
    )


def heat_rows(suite, Row, fmt_time):
    import pwpoly_numpy as pn

    section = "solver"
    n, T = 2000, 0.1
    x, A, mu = heat_1d(n)
    starts = {"hat": np.minimum(x, 1.0 - x), "sine": np.sin(np.pi * x)}
    targets = {"hat": 1 / 10, "sine": 1 / 4}
    for name, u0 in starts.items():
        exact = exact_end(u0, mu, T)
        for error in (1e-6, 1e-9):
            best = []
            for q in (1, 2, 3, 4):
                n_t = fewest_intervals(pn, q, A, u0, T, exact, error)
                if n_t is not None:
                    best.append((q, n_t))
            namespace = {"pn": pn, "A": A, "u0": u0, "T": T, "ivp": ivp}
            contenders = []
            for q, n_t in best:
                contenders.append(Contender(f"dG({q})", f"pn.solve_galerkin(pn.LegendreSpace({q}, {n_t}, T), A, u0)",
                                            namespace))  # fmt: skip
            described = {}
            for method in ("BDF", "Radau"):
                rtol, run = ivp_rtol(method, A, u0, T, exact, error)
                if rtol is not None:
                    contenders.append(Contender(method, f"ivp('{method}', A, u0, T, {rtol!r})", namespace))
                    described[method] = f"rtol {rtol:.0e}, {run.nfev} f, {run.nlu} LU"
            ours = [c.name for c in contenders if c.name.startswith("dG")]
            # The same runs with scipy's sparse LU for every step matrix (the default takes LAPACK's
            # banded LU for these tridiagonal ones), in the same rounds: the method with the LU of
            # the baseline.
            namespace["splu"] = lambda K: scipy.sparse.linalg.splu(K, permc_spec="MMD_AT_PLUS_A").solve
            for q, n_t in best:
                statement = f"pn.solve_galerkin(pn.LegendreSpace({q}, {n_t}, T), A, u0, factorize=splu)"
                contenders.append(Contender(f"dG({q}) splu", statement, namespace))
            m = suite.time(contenders, min_rounds=5)
            fastest = min(ours, key=m.median_time)
            q, n_t = best[ours.index(fastest)]
            sol = pn.solve_galerkin(pn.LegendreSpace(q, n_t, T), A, u0)
            reached = relative_error(sol.end, exact)
            suite.ratio_row(
                section,
                f"heat 1D, {n} unknowns, {name} start, end error {error:.0e}: {fastest}, {n_t} intervals "
                f"(error {reached:.1e}, {sol.n_factorizations} LU, {sol.n_solves} solves)",
                m,
                fastest,
                list(described),
                "solve_ivp BDF/Radau with sparse Jacobian, rtol tuned ("
                + "; ".join(f"{k}: {v}" for k, v in described.items())
                + ")",
                ("<=", targets[name]),
            )
            suite.ratio_row(
                section,
                f"the same, {fastest} with scipy's sparse LU for every step matrix",
                m,
                fastest + " splu",
                list(described),
                "solve_ivp BDF/Radau, as above",
                None,
            )


def heat_2d(side):
    h = 1.0 / (side + 1)
    one = scipy.sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(side, side)) / h**2
    eye = scipy.sparse.identity(side)
    A = scipy.sparse.csr_array(scipy.sparse.kron(one, eye) + scipy.sparse.kron(eye, one))
    x = np.arange(1, side + 1) * h
    u0 = np.outer(np.minimum(x, 1 - x), np.sin(np.pi * x)).ravel()
    return A, u0


def two_d_rows(suite, Row, fmt_time):
    import pwpoly_numpy as pn
    from pwpoly_numpy._solver import Stepper

    section = "solver"
    side, steps = (80, 20) if suite.quick else (150, 50)
    A, u0 = heat_2d(side)
    V = pn.LegendreSpace(2, steps, 0.05)
    # Per step: steppers whose factorisations are made (by a first run) before the timing.
    decoupled, coupled = Stepper(V, A, n=u0.size), Stepper(V, A, n=u0.size, coupled=True)
    ours, theirs = decoupled.advance(0, steps, u0)[0], coupled.advance(0, steps, u0)[0]
    difference = float(np.abs(ours - theirs).max() / np.abs(theirs).max())
    factorizations = (decoupled.n_factorizations, coupled.n_factorizations)
    namespace = {"pn": pn, "V": V, "A": A, "u0": u0, "d": decoupled, "c": coupled, "steps": steps,
                 "Stepper": Stepper}  # fmt: skip
    m = suite.time(
        [
            Contender("decoupled", "d.advance(0, steps, u0)", namespace),
            Contender("coupled", "c.advance(0, steps, u0)", namespace),
        ],
        min_rounds=5,
    )
    suite.ratio_row(
        section,
        f"heat 2D {side}x{side}, dG(2), {steps} steps, factorisations made: decoupled ({factorizations[0]} LU of n: "
        f"one real, one complex; 2 solves per step) vs coupled Kronecker block (1 LU of 3n, 1 solve per step), "
        f"the same splu, difference {difference:.0e}",
        m,
        "decoupled",
        "coupled",
        "coupled block",
        ("<=", 0.5),
    )
    m = suite.time(
        [Contender("decoupled", "pn.solve_galerkin(V, A, u0)", namespace),
         Contender("coupled", "Stepper(V, A, n=u0.size, coupled=True).advance(0, steps, u0)", namespace)],
        min_rounds=3,
    )  # fmt: skip
    suite.ratio_row(
        section, f"heat 2D {side}x{side}, dG(2), {steps} steps: whole run, factorisations included", m,
        "decoupled", "coupled", "coupled block", ("<=", 1 / 1.5),
    )  # fmt: skip
    peaks = {}
    for mode in ("decoupled", "coupled"):
        output = subprocess.run(
            [sys.executable, os.path.join(HERE, "solver_memory_probe.py"), mode, str(side), str(steps)],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
        peaks[mode] = json.loads(output)["peak"]
    suite.add(
        Row(
            section,
            f"heat 2D {side}x{side}, dG(2), {steps} steps: peak memory, decoupled vs coupled (resident-set peak "
            "growth in a fresh interpreter)",
            f"{peaks['decoupled'] / 2**20:.1f} MiB",
            f"{peaks['coupled'] / 2**20:.1f} MiB",
            peaks["decoupled"] / peaks["coupled"],
            rounds="1",
            target=("<=", 1.0),
        )
    )


def scalar_rows(suite, Row, fmt_time):
    import pwpoly_numpy as pn

    section = "solver"
    n_t = 10**4 if suite.quick else 10**5
    V = pn.LegendreSpace(2, n_t, 10.0)
    A = np.array([[1.0]])
    block = scipy.sparse.csc_array(
        scipy.sparse.kron(pn.LegendreSpace(2, breakpoints=[-1.0, 1.0]).derivative_matrix(upwind=True), A)
        + scipy.sparse.kron(pn.LegendreSpace(2, breakpoints=[-1.0, 1.0]).mass_matrix() * (V.dt / 2.0), A)
    )
    lu = scipy.sparse.linalg.splu(block)
    start = np.array([1.0, -1.0, 1.0])

    def python_loop():
        # The floor of stepping from Python: one prefactorised solve and the end value per interval.
        u = 1.0
        for _ in range(n_t):
            x = lu.solve(start * u)
            u = x.sum()
        return u

    ours = pn.solve_galerkin(V, A, [1.0])
    assert abs(ours.end[0] - python_loop()) <= 1e-9 * abs(ours.end[0])
    namespace = {"pn": pn, "V": V, "A": A, "loop": python_loop}
    m = suite.time(
        [Contender("ours", "pn.solve_galerkin(V, A, [1.0])", namespace), Contender("loop", "loop()", namespace)],
        min_rounds=5,
    )
    per_round = m.per_round(lambda r: r["ours"] / n_t * 1e6)
    floor = m.per_round(lambda r: r["loop"] / n_t * 1e6)
    import statistics

    q1, _median, q3 = statistics.quantiles(per_round, n=4) if len(per_round) > 1 else (per_round[0],) * 3
    suite.add(
        Row(
            section,
            f"u' = -u, dG(2), {n_t} intervals: cost per interval",
            f"{fmt_time(m.median_time('ours'))} per run",
            f"Python loop of prefactorised splu solves: {statistics.median(floor):.1f} µs per interval",
            statistics.median(per_round),
            q1,
            q3,
            "µs",
            str(m.rounds),
            ("<=", 5.0),
        )
    )
    suite.ratio_row(section, f"u' = -u, dG(2), {n_t} intervals: ours vs the Python loop", m, "ours", "loop",
                    "Python loop", None)  # fmt: skip


def solver_rows(suite, Row, fmt_time, guarded):
    print("\npwpoly_numpy: solve_galerkin", flush=True)
    guarded(suite, "solver", "scalar ODE", lambda: scalar_rows(suite, Row, fmt_time))
    guarded(suite, "solver", "heat 2D", lambda: two_d_rows(suite, Row, fmt_time))
    guarded(suite, "solver", "heat 1D", lambda: heat_rows(suite, Row, fmt_time))
