"""Type aliases of the solvers' signatures, for annotating code that calls them.

The signatures of ``solve_galerkin``, ``parareal``, ``mgrit`` and of a solution's ``__call__``
name these aliases; a type checker expands them to the types on their right.

Examples
--------
>>> import scipy.sparse.linalg
>>> from pwpoly_numpy.typing import Factorize, FloatArray, Matrix, Solve
>>> def lu(K: scipy.sparse.csc_array) -> Solve:
...     return scipy.sparse.linalg.splu(K).solve
>>> factorize: Factorize = lu
>>> A: Matrix = np.array([[2.0]])
>>> sol = pn.solve_galerkin(pn.LegendreSpace(2, 8, 1.0), A, [1.0], factorize=factorize)
>>> end: FloatArray = sol.end
>>> end.round(4)
array([0.1353])
"""

from collections.abc import Callable
from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt
import scipy.sparse

FloatArray: TypeAlias = npt.NDArray[np.float64]
"""A numpy array of float64, of any shape: what the solvers return (coefficients, values, the end
value)."""

Matrix: TypeAlias = scipy.sparse.sparray[Any, Any] | scipy.sparse.spmatrix[Any] | npt.ArrayLike
"""A square matrix of real numbers, ``A`` or ``M``: a scipy sparse array or matrix of any format,
or anything ``numpy.asarray`` turns into a 2-D array (an ndarray, nested lists)."""

TimeMatrix: TypeAlias = Callable[[float], Matrix]
"""A callable ``A(t)`` returning the ``Matrix`` at the time t (a float): a linear part that
changes in time."""

Solve: TypeAlias = Callable[[npt.NDArray[Any]], npt.ArrayLike]
"""A callable solving ``K x = b`` for a right-hand side ``b`` (a real or complex ndarray of shape
(m,)) and returning x of the same shape: what a ``Factorize`` returns."""

Factorize: TypeAlias = Callable[[Any], Solve]
"""A callable that factorises a square sparse matrix ``K`` (real or complex, in CSC format) and
returns the ``Solve`` of ``K x = b``: the convention of ``scipy.sparse.linalg.factorized``, the
solvers' ``factorize=`` argument."""

__all__ = ["FloatArray", "Matrix", "TimeMatrix", "Solve", "Factorize"]
