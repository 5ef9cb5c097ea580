"""Array interface to pwpoly's piecewise polynomial bases in time.

``LegendreSpace`` (discontinuous piecewise Legendre) and ``LagrangeSpace`` (continuous piecewise
Lagrange) on n_t equal intervals of [0, T]: vectorised evaluation of batches of expansions at
arrays of times, sparse basis, mass, prolongation and transformation matrices as
``scipy.sparse.csr_array``, projection and interpolation. Every number equals the corresponding
result of the scalar module ``pwpoly`` bit for bit.
"""

from ._slabs import TimeSlab
from ._spaces import LagrangeSpace, LegendreSpace

__all__ = ["LegendreSpace", "LagrangeSpace", "TimeSlab"]
