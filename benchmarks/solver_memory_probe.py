"""Peak memory of one 2D heat solve by dG(2), measured in a fresh interpreter (run by solver_rows.py).

    python solver_memory_probe.py MODE SIDE STEPS

MODE is `decoupled` (solve_galerkin as it is: systems of size n) or `coupled` (the same stepper
with the coupled Kronecker block of 3 n unknowns). Prints one JSON object: the growth of the
resident set's peak during the solve, in bytes (the problem is built before the mark is reset).
"""

import json
import sys

from memory_probe import reset_peak_rss, status_kib
from solver_rows import heat_2d

import pwpoly_numpy as pn
from pwpoly_numpy._solver import Stepper


def main():
    mode, side, steps = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    A, u0 = heat_2d(side)
    V = pn.LegendreSpace(2, steps, 0.05)
    if not reset_peak_rss():
        raise SystemExit("cannot reset the peak resident set")
    before = status_kib("VmRSS")
    Stepper(V, A, n=u0.size, coupled=mode == "coupled").advance(0, steps, u0)
    peak = status_kib("VmHWM")
    print(json.dumps({"peak": (peak - before) * 1024}))


if __name__ == "__main__":
    main()
