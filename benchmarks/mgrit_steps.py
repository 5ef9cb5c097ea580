"""MGRIT's time per interval step against the serial solve's, on one process.

    python benchmarks/mgrit_steps.py [--quick]

The heat equation u_t = u_xx on (0, 1), n = 100 interior points (second differences), dG(1) on
4096 equal intervals of [0, 1], u0 = sin(pi x). ``pn.mgrit`` with 3 levels of coarsening 4, FCF
relaxation, nested start, tol 1e-10, against ``pn.solve_galerkin`` on the same problem. Both are
timed in the same rounds in rotating order (benchmarks/timing.py); the figure of a round is
MGRIT's time per interval step it takes (its linear solves over the serial solve's solves per
interval: every level's relaxation, coarse solves and start) over the serial solve's time per
interval, and the row gives the median over the rounds with the interquartile range.

A second, informational row times the same run with every corrected run of intervals stepped in
one call of the stepper, its corrections left out (wrong values, the cost of the calls only; the
iterations fixed at the real run's count): an estimate of the figure once the compiled loop adds
the corrections itself.
"""

import sys
from pathlib import Path

import numpy as np
import scipy.sparse

sys.path.insert(0, str(Path(__file__).resolve().parent))
from timing import measure, summary

N, INTERVALS, LEVELS, COARSENING = 100, 4096, 3, 4


def problem():
    import pwpoly_numpy as pn

    h = 1.0 / (N + 1)
    A = scipy.sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(N, N), format="csr") / h**2
    u0 = np.sin(np.pi * h * np.arange(1, N + 1))
    return pn, pn.LegendreSpace(1, INTERVALS, 1.0), A, u0


def steps_taken(pn, V, A, u0, options):
    """Interval steps of one MGRIT run: its solves over the serial solve's per interval."""
    per_interval = pn.solve_galerkin(V, A, u0).n_solves / INTERVALS
    return pn.mgrit(V, A, u0, levels=LEVELS, coarsening=COARSENING, **options).n_solves / per_interval


def one_call_runs():
    """Corrected runs as one stepper call, corrections left out: the cost of the calls only."""
    from pwpoly_numpy import _mgrit, _propagator

    def run(propagator, space, k0, k1, u, g):
        return _propagator.run(propagator, space, k0, k1, u)

    saved = _mgrit.corrected_run
    _mgrit.corrected_run = run
    return lambda: setattr(_mgrit, "corrected_run", saved)


def measure_rows(quick=False):
    """(name, median, q1, q3, rounds, steps) of the two rows."""
    from timing import Contender

    pn, V, A, u0 = problem()
    iterations = pn.mgrit(V, A, u0, levels=LEVELS, coarsening=COARSENING).iterations
    rows = []
    for name in ("MGRIT", "MGRIT, corrected runs as one call (estimate)"):
        options = {"tol": 0.0, "max_iterations": iterations} if "estimate" in name else {}
        namespace = {"pn": pn, "V": V, "A": A, "u0": u0, "levels": LEVELS, "m": COARSENING, "options": options}
        contenders = [
            Contender("mgrit", "pn.mgrit(V, A, u0, levels=levels, coarsening=m, **options)", namespace),
            Contender("serial", "pn.solve_galerkin(V, A, u0)", namespace),
        ]
        restore = one_call_runs() if "estimate" in name else (lambda: None)
        try:
            steps = steps_taken(pn, V, A, u0, options)
            m = measure(contenders, min_time=0.01, min_rounds=3 if quick else 7, max_rounds=7 if quick else 15,
                        budget=2.0 if quick else 8.0, slow_round=1.0, slow_min_rounds=3 if quick else 5)  # fmt: skip
        finally:
            restore()
        figures = m.per_round(lambda r, s=steps: (r["mgrit"] / s) / (r["serial"] / INTERVALS))
        median, q1, q3 = summary(figures)
        rows.append((name, median, q1, q3, m.rounds, steps, m.median_time("mgrit"), m.median_time("serial")))
    return rows


def main():
    for name, median, q1, q3, rounds, steps, ours, serial in measure_rows("--quick" in sys.argv):
        print(
            f"{name}: {steps:.0f} interval steps in {ours * 1e3:.1f} ms, serial {INTERVALS} in {serial * 1e3:.1f} ms;"
            f" time per step over the serial time per interval {median:.2f} [IQR {q1:.2f} - {q3:.2f}], {rounds} rounds"
        )


if __name__ == "__main__":
    main()
