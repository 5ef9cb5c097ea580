"""Array interface to pwpoly's piecewise polynomial bases in time.

``LegendreSpace`` (discontinuous piecewise Legendre) and ``LagrangeSpace`` (continuous piecewise
Lagrange) on n_t equal intervals of [0, T] or on any strictly increasing breakpoints: vectorised
evaluation of batches of expansions at arrays of times, sparse basis, mass, prolongation and
transformation matrices as ``scipy.sparse.csr_array``, projection and interpolation. The local
coordinate on interval k is formed from its own ends, ``((t - a) - (b - t)) / (b - a)``, so every
result agrees with the scalar module ``pwpoly`` within rounding (a uniform space and the space on
its breakpoints give the same bits).

``TimeSlab`` (from ``space.slabs(parts)`` or ``space.slab(k0, k1)``) names a contiguous range of
intervals and the global rows it owns, for work parallel in time: the operators build the rows of
one slab (``rows=``) and the evaluation reads one slab's coefficients (``slab=``), in time and
memory proportional to the slab, with the bits of the whole.

``solve_galerkin`` solves M u' + A u = f by dG(q) (a ``LegendreSpace``) or cG(q) (a
``LagrangeSpace``) interval by interval and returns a ``GalerkinSolution``.

``parareal`` and ``mgrit`` compute the same solution parallel in time over the processes of an
mpi4py communicator (or in one process, with the same bits), each process holding its own slab;
given a ``Propagator`` of one's own (any object with ``step(space, k0, k1, u)``), they run on it.

Every example in this package's documentation assumes ``import numpy as np`` and
``import pwpoly_numpy as pn``.

See Also
--------
pwpoly : The scalar interface on the same C++ core: Python lists in and out.

Examples
--------
Interpolate on a coarse continuous space, carry the nodal values to a finer one, and evaluate
them through its Legendre coefficients:

>>> coarse, fine = pn.LagrangeSpace(2, 16, 1.0), pn.LagrangeSpace(2, 64, 1.0)
>>> u = coarse.interpolate(lambda t: np.sin(2 * np.pi * t))
>>> u_fine = coarse.prolongation_to(fine) @ u
>>> c = fine.to_legendre() @ u_fine
>>> V = fine.legendre_space()
>>> V, c.shape, V.evaluate(c, [0.25, 0.5]).round(4)
(LegendreSpace(degree=2, n_t=64, T=1.0), (192,), array([1., 0.]))

Solve u' = -2 u, u(0) = 1 by dG(2) on 8 intervals:

>>> sol = pn.solve_galerkin(pn.LegendreSpace(2, 8, 1.0), np.array([[2.0]]), [1.0])
>>> sol.end.round(7), round(float(np.exp(-2.0)), 7)
(array([0.1353353]), 0.1353353)
"""

from . import _kernels
from ._errors import ConvergenceError
from ._lagrange import LagrangeSpace
from ._legendre import LegendreSpace
from ._parallel_in_time import GalerkinPropagator, ParallelSolution, Propagator, mgrit, parareal
from ._partition import TimeSlab
from ._solver import GalerkinSolution, solve_galerkin

__version__: str = _kernels.__version__
"""The version of the installed distribution ``pwpoly``, the same string as ``pwpoly.__version__``."""

InternalFault: type[BaseException] = _kernels.internal_fault_type()
"""The exception class that both ``pwpoly`` and ``pwpoly_numpy`` raise for an internal fault.

It is the very class ``pwpoly`` raises (qualified name ``pyo3_runtime.PanicException``), which
derives from ``BaseException``, not ``Exception``: ``except Exception`` does not catch it, but
``except pwpoly_numpy.InternalFault`` does.

See Also
--------
pwpoly.lagrange_prolongation_matrix : Raises it for a degree of 0, among other faults.

Examples
--------
>>> import pwpoly, pwpoly_numpy
>>> try: pwpoly.lagrange_prolongation_matrix(4, 8, 0)
... except pwpoly_numpy.InternalFault as fault: print(fault.args[0])
Lagrange prolongation requires polynomial degree at least 1
"""

__all__ = ["InternalFault", "LegendreSpace", "LagrangeSpace", "TimeSlab", "GalerkinSolution", "solve_galerkin"]
__all__ += ["ParallelSolution", "mgrit", "parareal", "Propagator", "GalerkinPropagator", "ConvergenceError"]
