"""Benchmark rows of the 2D heat equation against CVODE (run by run.py, section "solver").

u_t = Laplacian u on the unit square, 5-point Laplacian on a 150 x 150 grid of interior points
(n = 22500), T = 0.05, the start of solver_rows.heat_2d. The time to reach a relative end-time
error of 1e-6 and 1e-9 against the exact semi-discrete solution (2D sine transform). Ours:
solve_galerkin, dG(q) on equal intervals, for each q the fewest intervals reaching the error
(found before timing), the fastest q kept. Baseline: CVODE's BDF (scikit-sundae, the PyPI
bindings of SUNDIALS; a benchmark peer only) with its sparse direct solver (SuperLU_MT, one
thread) and the exact sparse Jacobian -A, with the largest rtol of 10**(-k/2) reaching the same
error (atol = rtol * 1e-3 * max|u0|). Without scikit-sundae the rows say so.
"""

import warnings

import numpy as np
import scipy.fft
import scipy.sparse
from solver_rows import fewest_intervals, heat_2d, relative_error

from timing import Contender

T = 0.05


def exact_end_2d(u0, side, T):
    """The semi-discrete solution at T: the 2D sine transform diagonalises the 5-point Laplacian."""
    h = 1.0 / (side + 1)
    mu = 4.0 / h**2 * np.sin(np.arange(1, side + 1) * np.pi * h / 2.0) ** 2
    decay = np.exp(-(mu[:, None] + mu[None, :]) * T)
    grid = u0.reshape(side, side)
    return scipy.fft.idstn(scipy.fft.dstn(grid, type=1) * decay, type=1).ravel()


def cvode(A, u0, T, rtol):
    """CVODE BDF, sparse direct solver, exact Jacobian: the end value, the right-hand side's
    evaluations and the Jacobian's."""
    from sksundae.cvode import CVODE

    csc = scipy.sparse.csc_array(-A)
    csc.sort_indices()
    data = csc.data

    def rhs(t, y, yp):
        yp[:] = csc @ y

    def jacobian(t, y, yp, JJ):
        JJ[:] = data

    with warnings.catch_warnings():  # the sparsity pattern's own Jacobian, unused beside jacfn
        warnings.simplefilter("ignore", UserWarning)
        solver = CVODE(rhs, method="BDF", linsolver="sparse", sparsity=csc, jacfn=jacobian, rtol=rtol,
                       atol=rtol * 1e-3 * float(np.abs(u0).max()), max_num_steps=100_000)  # fmt: skip
    result = solver.solve(np.array([0.0, T]), u0)
    if not result.success:
        raise RuntimeError(f"CVODE failed: {result.message}")
    return result.y[-1], int(result.nfev), int(result.njev)


def cvode_rtol(A, u0, T, exact, target):
    """The largest rtol of 10**(-k/2) for which CVODE reaches the target error."""
    for k in range(6, 30):
        rtol = 10.0 ** (-k / 2)
        end, nfev, njev = cvode(A, u0, T, rtol)
        if relative_error(end, exact) <= target:
            return rtol, nfev, njev
    return None, 0, 0


def heat_2d_peer_rows(suite, Row, fmt_time):
    import pwpoly_numpy as pn

    section = "solver"
    side = 80 if suite.quick else 150
    A, u0 = heat_2d(side)
    exact = exact_end_2d(u0, side, T)
    try:
        import sksundae  # noqa: F401
    except ImportError:
        suite.add(Row(section, f"heat 2D {side}x{side} against CVODE", "-", "scikit-sundae not installed",
                      status="skipped (pip install scikit-sundae for these rows)"))  # fmt: skip
        return
    for error in (1e-6, 1e-9):
        best = []
        for q in (1, 2, 3):
            n_t = fewest_intervals(pn, q, A, u0, T, exact, error)
            if n_t is not None:
                best.append((q, n_t))
        namespace = {"pn": pn, "A": A, "u0": u0, "T": T, "cvode": cvode}
        contenders = [
            Contender(f"dG({q})", f"pn.solve_galerkin(pn.LegendreSpace({q}, {n_t}, T), A, u0)", namespace)
            for q, n_t in best
        ]
        rtol, nfev, njev = cvode_rtol(A, u0, T, exact, error)
        if rtol is None:
            continue
        contenders.append(Contender("CVODE", f"cvode(A, u0, T, {rtol!r})", namespace))
        m = suite.time(contenders, min_rounds=3)
        ours = [c.name for c in contenders if c.name.startswith("dG")]
        fastest = min(ours, key=m.median_time)
        q, n_t = best[ours.index(fastest)]
        sol = pn.solve_galerkin(pn.LegendreSpace(q, n_t, T), A, u0)
        suite.ratio_row(
            section,
            f"heat 2D {side}x{side}, end error {error:.0e}: {fastest}, {n_t} intervals (error "
            f"{relative_error(sol.end, exact):.1e}, {sol.n_factorizations} LU, {sol.n_solves} solves)",
            m,
            fastest,
            "CVODE",
            f"CVODE BDF, sparse SuperLU_MT, exact Jacobian, rtol {rtol:.0e} ({nfev} f, {njev} Jacobians)",
            ("<=", 0.5),
        )
