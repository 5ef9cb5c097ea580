"""MGRIT's time per interval step against the serial solve's, on one process.

    python benchmarks/mgrit_steps.py [--quick]

The heat equation u_t = u_xx on (0, 1), n = 100 interior points (second differences), dG(1) on
4096 equal intervals of [0, 1], u0 = sin(pi x). ``pn.mgrit`` with 3 levels of coarsening 4, FCF
relaxation, nested start, tol 1e-10, against ``pn.solve_galerkin`` on the same problem. Both are
timed in the same rounds in rotating order (benchmarks/timing.py); the figure of a round is
MGRIT's time per interval step it takes (its linear solves over the serial solve's solves per
interval: every level's relaxation, coarse solves and start) over the serial solve's time per
interval, and the row gives the median over the rounds with the interquartile range.
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


def measure_rows(quick=False):
    """(name, median, q1, q3, rounds, steps, ours, serial) of the row."""
    from timing import Contender

    pn, V, A, u0 = problem()
    rows = []
    namespace = {"pn": pn, "V": V, "A": A, "u0": u0, "levels": LEVELS, "m": COARSENING}
    contenders = [
        Contender("mgrit", "pn.mgrit(V, A, u0, levels=levels, coarsening=m)", namespace),
        Contender("serial", "pn.solve_galerkin(V, A, u0)", namespace),
    ]
    steps = steps_taken(pn, V, A, u0, {})
    m = measure(contenders, min_time=0.01, min_rounds=3 if quick else 7, max_rounds=7 if quick else 15,
                budget=2.0 if quick else 8.0, slow_round=1.0, slow_min_rounds=3 if quick else 5)  # fmt: skip
    figures = m.per_round(lambda r: (r["mgrit"] / steps) / (r["serial"] / INTERVALS))
    median, q1, q3 = summary(figures)
    rows.append(("MGRIT", median, q1, q3, m.rounds, steps, m.median_time("mgrit"), m.median_time("serial")))
    return rows


def main():
    for name, median, q1, q3, rounds, steps, ours, serial in measure_rows("--quick" in sys.argv):
        print(
            f"{name}: {steps:.0f} interval steps in {ours * 1e3:.1f} ms, serial {INTERVALS} in {serial * 1e3:.1f} ms;"
            f" time per step over the serial time per interval {median:.2f} [IQR {q1:.2f} - {q3:.2f}], {rounds} rounds"
        )


if __name__ == "__main__":
    main()
