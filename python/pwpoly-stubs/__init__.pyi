"""Piecewise polynomial bases in time on [0, T] cut into ``n_t`` equal intervals.

The scalar interface: Python lists in, Python lists and ``(rows, cols, values)`` triplets out. It
gives the values and time derivatives of discontinuous piecewise Legendre expansions, the nodes of
the continuous piecewise Lagrange basis, the coarse-to-fine prolongation of Lagrange nodal values
and the map from Lagrange nodal values to Legendre coefficients. Every example in its
documentation assumes ``import pwpoly``.

See Also
--------
pwpoly_numpy : The array interface on the same core: numpy arrays, scipy sparse operators, time
    slabs and the solvers.

Notes
-----
Uniform partition
    ``dt = T / n_t``; interval k runs from ``a_k = k*dt`` to ``b_k = dt + a_k`` (that sum, not
    ``(k + 1)*dt``). A time t lies on interval ``floor(t / dt)``: an interior interval end on the
    interval to its right, except where the rounded quotient falls below the integer (for
    ``n_t = 100`` the ends 29, 58 and 59, ``0.29 / 0.01 = 28.999999999999996``, lie on the interval
    to their left). Times before 0 are evaluated at the left end of interval 0, times after T at
    the right end of interval ``n_t - 1`` (no extrapolation); a NaN time gives NaN.
Degree-major Legendre order
    Every flat vector with one number per Legendre basis function (coefficients ``legendre_vals``,
    the lists of ``evaluate_all_basis_functions``, the rows of
    ``lagrange_to_legendre_basis_transformation``) has ``n_t*(degree + 1)`` entries, position
    ``i*n_t + k`` holding Legendre degree i on interval k.
Global Lagrange numbering
    Lagrange node ``k*degree + j`` is local node j of interval k; a node on an interior interval
    end is numbered once, and the last node, ``n_t*degree``, is T.
Triplets
    Sparse matrices come back as ``(rows, cols, values)``: three lists with one position per
    stored entry, rows ascending and columns ascending within a row. The shape is not part of
    the tuple; each function states it. With scipy:
    ``scipy.sparse.csr_array((values, (rows, cols)), shape=shape)``.
    The operators depend only on the counts and the degree, never on T.
Arguments
    Every parameter is required and may be passed by position or by keyword. Counts and degrees
    are integers from 0 to the platform's size maximum (``2 * sys.maxsize + 1``); a negative or
    larger one raises ``OverflowError``. Times and ``T`` are anything ``float()`` accepts. Float
    sequences are any sequence except ``str`` (lists, tuples, ``range``, ...); a contiguous
    ``numpy.ndarray`` or ``array.array('d')`` of float64 is read straight from its buffer, other
    one-dimensional numeric arrays are read item by item. A wrong type raises ``TypeError``
    naming the argument, e.g. "argument 'legendre_vals': 'int' object cannot be cast as
    'Sequence'".
Internal faults
    A violated precondition raises ``pyo3_runtime.PanicException`` with a fixed message (its
    only argument), after a short report on standard error (``PWPOLY_BACKTRACE=1`` adds a native
    backtrace). The class derives from ``BaseException``, not ``Exception``, so ``except
    Exception`` does not catch it; it is ``pwpoly_numpy.InternalFault``: catch it with
    ``except pwpoly_numpy.InternalFault``.
    Sizes whose byte count is not representable raise it with "capacity overflow"; results
    larger than the machine's memory raise ``MemoryError``.
Reproducibility
    The order of every floating-point operation is fixed, nothing is contracted or reassociated:
    the same arguments give the same bits in every build (64-bit and 32-bit x86 agree).

Examples
--------
The function t**2 from its values at the Lagrange nodes of degree 2, through its Legendre
coefficients:

>>> points = pwpoly.get_lagrange_points(2, 4, 1.0)
>>> rows, cols, values = pwpoly.lagrange_to_legendre_basis_transformation(2, 4)
>>> coefficients = [0.0] * (4 * 3)
>>> for r, c, v in zip(rows, cols, values):
...     coefficients[r] += v * points[c] ** 2
>>> basis = pwpoly.LegendreBasis(2, 4, 1.0)
>>> round(basis.evaluate_at(0.3, coefficients), 12)
0.09

The interval a time lies on, ``floor(t / dt)``, for the interval ends 0.29 and 0.3 of 100
intervals:

>>> steps = pwpoly.LegendreBasis(0, 100, 1.0)
>>> [steps.evaluate_all_basis_functions(t).index(1.0) for t in (0.29, 0.3)]
[28, 30]
"""

from collections.abc import Sequence
from typing import Any, Self, final

import numpy as np
import numpy.typing as npt

__all__ = [
    "sum_as_string",
    "lagrange_to_legendre_basis_transformation",
    "lagrange_prolongation_matrix",
    "get_lagrange_points",
    "LegendreBasis",
    "LegendreBasisEvaluator",
]

# Types are spelled out in every signature (no aliases), so that editors show them in full. Float
# sequences: any sequence of floats (array.array('d') is a MutableSequence[float]) or a numeric
# numpy array. Sparse matrices: (row indices, column indices, values).

def sum_as_string(a: int, b: int) -> str:
    """Formats the sum of two numbers as string.

    Parameters
    ----------
    a, b : int
        Each from 0 to the platform's size maximum (``2 * sys.maxsize + 1``).

    Returns
    -------
    str
        The exact decimal sum, also when it exceeds the size maximum.

    Raises
    ------
    TypeError
        An argument missing or not an integer ("argument 'a': ...").
    OverflowError
        An argument negative or above the size maximum.

    Examples
    --------
    >>> pwpoly.sum_as_string(1, 2)
    '3'
    """

def lagrange_to_legendre_basis_transformation(degree: int, n_t: int) -> tuple[list[int], list[int], list[float]]:
    """The sparse map from Lagrange nodal values to piecewise Legendre coefficients.

    Parameters
    ----------
    degree : int
        Polynomial degree, >= 1.
    n_t : int
        Number of intervals (0 gives a matrix without rows).

    Returns
    -------
    tuple[list[int], list[int], list[float]]
        Triplets of the matrix of shape ``((degree + 1)*n_t, n_t*degree + 1)``: row ``a*n_t + k``
        (degree-major) gives the coefficient of P_a on interval k from the values at the nodes
        ``k*degree .. k*degree + degree`` (global Lagrange numbering), so every row stores
        ``degree + 1`` entries, exact zeros included. Independent of T.

    Raises
    ------
    TypeError, OverflowError
        An argument missing, not an integer, negative or above the size maximum.
    MemoryError
        The result does not fit into memory.
    pyo3_runtime.PanicException
        (a ``BaseException``) "Lagrange to Legendre conversion not meaningful for degree 0";
        "Failed to invert Vandermonde matrix for Lagrange to Legendre conversion." (a
        floating-point breakdown, degree >= 3); "capacity overflow" for sizes whose byte count
        is not representable.

    See Also
    --------
    get_lagrange_points : The nodes whose values it maps.
    LegendreBasis : Evaluates the coefficients it gives.
    pwpoly_numpy.LagrangeSpace.to_legendre : The same map as a ``csr_array``, by quadrature.

    Examples
    --------
    >>> pwpoly.lagrange_to_legendre_basis_transformation(1, 2)
    ([0, 0, 1, 1, 2, 2, 3, 3], [0, 1, 1, 2, 0, 1, 1, 2], [0.5, 0.5, 0.5, 0.5, -0.5, 0.5, -0.5, 0.5])
    """

def lagrange_prolongation_matrix(nt_coarse: int, nt_fine: int, degree: int) -> tuple[list[int], list[int], list[float]]:
    """The sparse coarse-to-fine interpolation of continuous piecewise Lagrange nodal values.

    Note the argument order: the two interval counts first, the degree last.

    Parameters
    ----------
    nt_coarse : int
        Number of coarse intervals, >= 1.
    nt_fine : int
        Number of fine intervals, >= 1 (it need not refine the coarse partition).
    degree : int
        Polynomial degree of both bases, >= 1.

    Returns
    -------
    tuple[list[int], list[int], list[float]]
        Triplets of the matrix of shape ``(nt_fine*degree + 1, nt_coarse*degree + 1)``: entry
        (r, c) is coarse basis function c at fine node r (global Lagrange numbering). A fine node
        that lies on a coarse node (decided exactly, in integers) is the single entry 1.0 in
        that node's column, so equal counts give the identity; every other row holds the
        ``degree + 1`` interpolation weights of its coarse interval (exact zeros omitted), or a
        single 1.0 when its local coordinate comes within 1e-14 of a coarse node. Independent
        of T.

    Raises
    ------
    TypeError, OverflowError
        An argument missing, not an integer, negative or above the size maximum.
    MemoryError
        The result does not fit into memory.
    pyo3_runtime.PanicException
        (a ``BaseException``) "Lagrange prolongation requires polynomial degree at least 1",
        "Lagrange prolongation requires at least one coarse interval", "Lagrange prolongation
        requires at least one fine interval" (tested in this order); "capacity overflow".

    See Also
    --------
    get_lagrange_points : The nodes of both partitions.
    lagrange_to_legendre_basis_transformation : From nodal values to Legendre coefficients.
    pwpoly_numpy.LagrangeSpace.prolongation_to : The same operator as a ``csr_array``, on any
        partitions.

    Examples
    --------
    >>> pwpoly.lagrange_prolongation_matrix(1, 2, 1)
    ([0, 1, 1, 2], [0, 0, 1, 1], [1.0, 0.5, 0.5, 1.0])
    """

def get_lagrange_points(degree: int, n_t: int, T: float) -> list[float]:
    """The nodes of the continuous piecewise Lagrange basis of `degree` on `n_t` intervals of [0, T].

    Parameters
    ----------
    degree : int
        Polynomial degree on each interval.
    n_t : int
        Number of intervals.
    T : float
        End of the time interval; any float (zero, negative, inf and NaN run through the
        formulas).

    Returns
    -------
    list[float], length ``n_t*degree + 1``
        Node ``k*degree + j`` is ``((j*(b_k - a_k)) / degree) + a_k``, local node j of interval k;
        each interior interval end appears once and the last node is T itself. ``[T]`` when
        `degree` or `n_t` is 0.

    Raises
    ------
    TypeError, OverflowError
        An argument missing or of the wrong type; a count negative or above the size maximum.
    MemoryError
        The list does not fit into memory.
    pyo3_runtime.PanicException
        (a ``BaseException``) "capacity overflow" for sizes whose byte count is not
        representable.

    See Also
    --------
    lagrange_prolongation_matrix : Interpolation of values at these nodes onto a finer partition.
    lagrange_to_legendre_basis_transformation : From values at these nodes to Legendre coefficients.
    pwpoly_numpy.LagrangeSpace.points : The same nodes, bit for bit, as a numpy array.

    Examples
    --------
    >>> pwpoly.get_lagrange_points(2, 2, 1.0)
    [0.0, 0.25, 0.5, 0.75, 1.0]
    """

@final
class LegendreBasis:
    """The discontinuous piecewise Legendre basis of `degree` on `n_t` equal intervals of [0, T].

    On interval k the basis functions are the Legendre polynomials P_0 .. P_degree of the local
    coordinate in [-1, 1]; expansions are given as flat coefficient sequences in degree-major
    order (position ``i*n_t + k``). Immutable; cannot be subclassed.

    Parameters
    ----------
    degree : int
        Polynomial degree on each interval.
    n_t : int
        Number of intervals; 0 is accepted here, but every evaluation then raises
        ``pyo3_runtime.PanicException``.
    T : float
        End of the time interval.

    Raises
    ------
    TypeError, OverflowError
        An argument missing or of the wrong type; a count negative or above the size maximum.

    See Also
    --------
    LegendreBasisEvaluator : The same numbers from coefficients stored once.
    pwpoly_numpy.LegendreSpace : The array interface's space, on equal intervals or breakpoints.

    Examples
    --------
    >>> pwpoly.LegendreBasis(2, 4, 1.0).evaluate_at(0.3, [float(i) for i in range(1, 13)])
    -1.199999999999999
    """

    def __new__(cls, degree: int, n_t: int, T: float) -> Self: ...
    def evaluate_at(
        self, t: float, legendre_vals: Sequence[float] | npt.NDArray[np.floating[Any] | np.integer[Any]]
    ) -> float:
        """Value at time `t` of the expansion with coefficients `legendre_vals`.

        Parameters
        ----------
        t : float
            Time; before 0 or after T the nearest end of the first or last interval is used,
            NaN gives NaN (for degree >= 1).
        legendre_vals : Sequence[float] or one-dimensional numpy array or array.array('d')
            Coefficients in degree-major order, at least ``n_t*(degree + 1)`` of them; only the
            leading ``n_t*(degree + 1)`` are used (all are converted).

        Returns
        -------
        float
            ``sum over i of P_i(xi)*legendre_vals[i*n_t + k]`` on the interval k holding t.

        Raises
        ------
        TypeError
            `t` not a number; `legendre_vals` a ``str``, not a sequence, or with a non-number
            item.
        pyo3_runtime.PanicException
            (a ``BaseException``) "Matrix view: input data buffer too small." when fewer than
            ``n_t*(degree + 1)`` coefficients are given; "Legendre basis requires at least one
            interval (n_t = 0)".

        See Also
        --------
        LegendreBasisEvaluator.evaluate_at : The same from stored coefficients.
        pwpoly_numpy.LegendreSpace.evaluate : Batches of expansions at arrays of times.

        Examples
        --------
        >>> pwpoly.LegendreBasis(1, 2, 1.0).evaluate_at(0.25, [1.0, 2.0, 3.0, 4.0])
        1.0
        """

    def evaluate_all_basis_functions(self, t: float) -> list[float]:
        """Values at time `t` of all basis functions.

        Parameters
        ----------
        t : float
            Time (before 0 or after T: the nearest end of the first or last interval).

        Returns
        -------
        list[float], length ``n_t*(degree + 1)``
            Degree-major: ``P_i(xi)`` at position ``i*n_t + k`` for the interval k holding t,
            0.0 everywhere else.

        Raises
        ------
        TypeError
            `t` not a number.
        MemoryError
            The list does not fit into memory.
        pyo3_runtime.PanicException
            (a ``BaseException``) "Legendre basis requires at least one interval (n_t = 0)";
            "capacity overflow".

        See Also
        --------
        LegendreBasis.evaluate_all_basis_function_derivatives : Their time derivatives.
        pwpoly_numpy.LegendreSpace.basis_matrix : Every basis function at many times, as a sparse
            matrix.

        Examples
        --------
        >>> pwpoly.LegendreBasis(1, 2, 1.0).evaluate_all_basis_functions(0.5)
        [0.0, 1.0, 0.0, -1.0]
        """

    def evaluate_all_basis_function_derivatives(self, t: float) -> list[float]:
        """Time derivatives at time `t` of all basis functions.

        Parameters
        ----------
        t : float
            Time. On an interval end (and outside [0, T]) the one-sided derivative of the
            interval holding t, exact at the ends: ``dP_i/dt = (2/dt)*P_i'(xi)``.

        Returns
        -------
        list[float], length ``n_t*(degree + 1)``
            Degree-major, non-zero only at positions ``i*n_t + k`` of the interval k holding t.

        Raises
        ------
        TypeError
            `t` not a number.
        MemoryError
            The list does not fit into memory.
        pyo3_runtime.PanicException
            (a ``BaseException``) "Legendre basis requires at least one interval (n_t = 0)";
            "capacity overflow".

        See Also
        --------
        LegendreBasis.evaluate_all_basis_functions : Their values.
        pwpoly_numpy.LegendreSpace.basis_matrix : With ``derivative=1``, at many times.

        Examples
        --------
        >>> pwpoly.LegendreBasis(1, 2, 1.0).evaluate_all_basis_function_derivatives(0.5)
        [0.0, 0.0, 0.0, 4.0]
        """

@final
class LegendreBasisEvaluator:
    """An evaluator of one piecewise Legendre expansion whose coefficients are stored once.

    It evaluates a Legendre basis more often without copying the dofs from Python each time. Holds
    the coefficients of one piecewise Legendre expansion (``n_t*(degree + 1)`` floats, degree-major,
    all 0.0 at first); ``set_dofs`` replaces them, ``evaluate_at`` and ``evaluate_derivative_at``
    evaluate them. The results equal those of ``LegendreBasis`` with the same arguments bit for bit.
    Cannot be subclassed.

    Parameters
    ----------
    degree : int
        Polynomial degree on each interval.
    n_t : int
        Number of intervals; 0 is accepted here, but every evaluation then raises
        ``pyo3_runtime.PanicException``.
    T : float
        End of the time interval.

    Raises
    ------
    TypeError, OverflowError
        An argument missing or of the wrong type; a count negative or above the size maximum.
    MemoryError
        The coefficients do not fit into memory.
    pyo3_runtime.PanicException
        (a ``BaseException``) "capacity overflow" when ``n_t*(degree + 1)`` floats are not
        representable.

    See Also
    --------
    LegendreBasis : The same numbers with the coefficients passed in every call.
    pwpoly_numpy.LegendreSpace.evaluate : Batches of expansions at arrays of times.

    Examples
    --------
    >>> pwpoly.LegendreBasisEvaluator(2, 4, 1.0).evaluate_at(0.3)
    0.0
    """

    def __new__(cls, degree: int, n_t: int, T: float) -> Self: ...
    def set_dofs(self, legendre_vals: Sequence[float] | npt.NDArray[np.floating[Any] | np.integer[Any]]) -> None:
        """Replaces the stored coefficients.

        Parameters
        ----------
        legendre_vals : Sequence[float] or one-dimensional numpy array or array.array('d')
            Exactly ``n_t*(degree + 1)`` coefficients, degree-major; copied.

        Returns
        -------
        None

        Raises
        ------
        TypeError
            `legendre_vals` a ``str``, not a sequence, or with a non-number item.
        RuntimeError
            "Already borrowed": called from inside another call on the same object (from the
            ``__float__`` of an item, say).
        pyo3_runtime.PanicException
            (a ``BaseException``) on a wrong length, with the message "assertion `left ==
            right` failed: LegendreBasisEvaluator: set_dofs: input vector has wrong length",
            then "  left: " with the given length and " right: " with the expected one; the
            stored coefficients are then unchanged.

        See Also
        --------
        LegendreBasisEvaluator.evaluate_at : Evaluates what it stores.

        Examples
        --------
        >>> ev = pwpoly.LegendreBasisEvaluator(1, 2, 1.0)
        >>> ev.set_dofs([1.0, 2.0, 3.0, 4.0])
        >>> ev.evaluate_at(0.25)
        1.0
        """

    def evaluate_at(self, t: float) -> float:
        """Value at time `t` of the stored expansion.

        Parameters
        ----------
        t : float
            Time (before 0 or after T: the nearest end of the first or last interval).

        Returns
        -------
        float
            As ``LegendreBasis.evaluate_at(t, stored coefficients)``.

        Raises
        ------
        TypeError
            `t` not a number.
        RuntimeError
            "Already mutably borrowed": called while ``set_dofs`` runs on the same object.
        pyo3_runtime.PanicException
            (a ``BaseException``) "Legendre basis requires at least one interval (n_t = 0)".

        See Also
        --------
        LegendreBasisEvaluator.evaluate_derivative_at : The time derivative.
        LegendreBasis.evaluate_at : The same with the coefficients passed in.

        Examples
        --------
        >>> ev = pwpoly.LegendreBasisEvaluator(1, 2, 1.0); ev.set_dofs([1.0, 2.0, 3.0, 4.0])
        >>> ev.evaluate_at(0.5)
        -2.0
        """

    def evaluate_derivative_at(self, t: float) -> float:
        """Time derivative at time `t` of the stored expansion.

        Parameters
        ----------
        t : float
            Time. On an interval end (and outside [0, T]) the one-sided derivative of the
            interval holding t.

        Returns
        -------
        float
            ``(2/dt) * sum over i of P_i'(xi)*c[i*n_t + k]`` on the interval k holding t.

        Raises
        ------
        TypeError
            `t` not a number.
        RuntimeError
            "Already mutably borrowed": called while ``set_dofs`` runs on the same object.
        pyo3_runtime.PanicException
            (a ``BaseException``) "Legendre basis requires at least one interval (n_t = 0)".

        See Also
        --------
        LegendreBasisEvaluator.evaluate_at : The value.
        pwpoly_numpy.LegendreSpace.evaluate : With ``derivative=1``, at many times.

        Examples
        --------
        >>> ev = pwpoly.LegendreBasisEvaluator(1, 2, 1.0); ev.set_dofs([1.0, 2.0, 3.0, 4.0])
        >>> ev.evaluate_derivative_at(0.5)
        16.0
        """
