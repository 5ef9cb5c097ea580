"""Parareal and MGRIT: M u' + A u = f, or a propagator of one's own, solved parallel in time.

Both iterate on the values at the C-points, a coarse grid of breakpoints; the iteration, the
residual, the reproducibility across processes and the convergence bounds are described in the
notes of ``ParallelSolution``, the result both return. The parts: ``_propagator`` (what they step
with), ``_parareal``, ``_mgrit``, ``_parallel_solution`` (the result and the residual history),
``_bounds`` (stability functions and the two-level bound), ``_parallel_arguments`` (their shared
arguments and the check that every process has the same ones), ``_ring`` (the processes).
"""

from ._bounds import amplification, pade, stretches, two_level_bound
from ._mgrit import mgrit
from ._parallel_solution import ParallelSolution
from ._parareal import parareal
from ._propagator import GalerkinPropagator, Propagator

__all__ = ["GalerkinPropagator", "ParallelSolution", "Propagator", "amplification", "mgrit", "pade", "parareal",
           "stretches", "two_level_bound"]  # fmt: skip
