"""The two spaces: discontinuous piecewise Legendre and continuous piecewise Lagrange."""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Self, TypeAlias

import numpy as np
import numpy.typing as npt
import scipy.sparse

from . import _checks as checks
from . import _kernels
from . import _slabs
from ._value import ImmutableValue

if TYPE_CHECKING:  # pragma: no cover
    from ._slabs import TimeSlab


_CSR = scipy.sparse.csr_array

# Largest degree of a LagrangeSpace. Its transformation to Legendre coefficients costs
# O(degree**3) in one uninterruptible call (7 ms at 128, 1.3 s at 800 here), and equidistant nodes are
# useless long before: interpolating cos(3x) on [-1, 1] at degree 40, 50, 60, 80 leaves errors of
# 1e-7, 4e-4, 0.4, 66 in double precision (the transformation's row sums reach 1e15 at 60).
MAX_LAGRANGE_DEGREE = 128

if TYPE_CHECKING:
    # Index arrays (int32 or int64; numpy types np.arange with a dtype chosen at run time more
    # widely), and the signature of _validated_csr and _direct_csr.
    _Indices: TypeAlias = npt.NDArray[Any]
    _CsrFactory: TypeAlias = Callable[
        [npt.NDArray[np.float64], _Indices, _Indices, tuple[int, int]], scipy.sparse.csr_array[np.float64]
    ]


def _validated_csr(
    data: npt.NDArray[np.float64], indices: _Indices, indptr: _Indices, shape: tuple[int, int]
) -> scipy.sparse.csr_array[np.float64]:
    return _CSR((data, indices, indptr), shape=shape, copy=False)


def _direct_csr(
    data: npt.NDArray[np.float64], indices: _Indices, indptr: _Indices, shape: tuple[int, int]
) -> scipy.sparse.csr_array[np.float64]:
    """The csr_array of arrays the kernels have just written (valid by construction: rows sorted,
    indices in range, index dtype the one scipy itself would choose), without scipy's checks: its
    constructor costs more than the kernels on small matrices. The attributes set are the ones
    the constructor sets; see _choose_csr."""
    matrix = _CSR.__new__(_CSR)
    matrix.__dict__.update(_shape=shape, data=data, indices=indices, indptr=indptr, maxprint=_MAXPRINT)
    return matrix


def _choose_csr() -> _CsrFactory:
    """The direct construction when, on a small sample, it gives an object with exactly the state
    of the validated constructor (names, types and values of every attribute), otherwise the
    validated constructor: a scipy that keeps other state is served correctly, only slower."""
    data = np.array([1.0, 2.0, -0.0])
    indices = np.array([0, 2, 1], dtype=np.int32)
    indptr = np.array([0, 2, 2, 3], dtype=np.int32)
    shape = (3, 4)
    try:
        reference = vars(_validated_csr(data, indices, indptr, shape))
        direct = vars(_direct_csr(data, indices, indptr, shape))
    except Exception:  # pragma: no cover - a scipy without the expected layout
        return _validated_csr
    if reference.keys() != direct.keys():
        return _validated_csr
    for name, value in reference.items():
        other = direct[name]
        if type(value) is not type(other):
            return _validated_csr
        if isinstance(value, np.ndarray):
            if value.dtype != other.dtype or not np.shares_memory(value, other) or value.shape != other.shape:
                return _validated_csr
        elif value != other:
            return _validated_csr
    return _direct_csr


_MAXPRINT = vars(_CSR((np.zeros(0), np.zeros(0, np.int32), np.zeros(1, np.int32)), shape=(0, 0)))["maxprint"]
_csr = _choose_csr()


class _Space(ImmutableValue):
    """Immutable description (degree, n_t, T) with value semantics."""

    __slots__ = ("_degree", "_n_t", "_T", "_dt", "_size", "_cache")
    _degree: int
    _n_t: int
    _T: float
    _dt: float
    _size: int
    _cache: dict[str, Any]

    def _set_fields(self, degree: int, n_t: int, T: float, min_degree: int) -> None:
        degree = checks.count("degree", degree, min_degree)
        n_t = checks.count("n_t", n_t, 1)
        T = checks.length("T", T)
        # The widest array of a space, its operators included, holds n_t (degree + 1)^2 numbers.
        if n_t * (degree + 1) * (degree + 1) > checks.MAX_DOUBLES:
            raise ValueError(
                f"n_t: n_t * (degree + 1)**2 = {n_t * (degree + 1) ** 2} exceeds the largest array "
                f"size {checks.MAX_DOUBLES}, got n_t = {n_t} with degree = {degree}"
            )
        object.__setattr__(self, "_degree", degree)
        object.__setattr__(self, "_n_t", n_t)
        object.__setattr__(self, "_T", T)
        object.__setattr__(self, "_dt", checks.interval_length(T, n_t))
        object.__setattr__(self, "_cache", {})

    @property
    def degree(self) -> int:
        """Polynomial degree on each interval (int).

        Example
        -------
        >>> LegendreSpace(2, 4, 1.0).degree
        2
        """
        return self._degree

    @property
    def n_t(self) -> int:
        """Number of equal intervals of [0, T] (int).

        Example
        -------
        >>> LegendreSpace(2, 4, 1.0).n_t
        4
        """
        return self._n_t

    @property
    def T(self) -> float:
        """End of the time interval [0, T] (float).

        Example
        -------
        >>> LegendreSpace(2, 4, 1.0).T
        1.0
        """
        return self._T

    @property
    def dt(self) -> float:
        """Interval length T / n_t (float), rounded once, as every evaluation uses it.

        Example
        -------
        >>> LegendreSpace(2, 4, 1.0).dt
        0.25
        """
        return self._dt

    @property
    def size(self) -> int:
        """Number of basis functions (int).

        Example
        -------
        >>> LegendreSpace(2, 4, 1.0).size, LagrangeSpace(2, 4, 1.0).size
        (12, 9)
        """
        return self._size

    def slabs(self, parts: int) -> tuple[TimeSlab, ...]:
        """The space split into `parts` balanced time slabs.

        Parameters
        ----------
        parts : int
            Number of slabs, ``1 <= parts <= n_t``.

        Returns
        -------
        tuple of TimeSlab
            Slab j covers the intervals ``[j*n_t // parts, (j+1)*n_t // parts)``: consecutive,
            covering every interval once, their sizes differing by at most one interval. Their
            ``rows`` partition the space's global rows (see ``TimeSlab`` for the ownership rule).

        Raises
        ------
        TypeError
            `parts` not an integer (a bool included): "parts: expected an integer, got ...".
        ValueError
            `parts` < 1 or > n_t, e.g. "parts: 5 slabs of 4 intervals would leave some empty,
            expected 1 <= parts <= n_t = 4".

        Example
        -------
        >>> [(slab.k0, slab.k1) for slab in LegendreSpace(2, 4, 1.0).slabs(3)]
        [(0, 1), (1, 2), (2, 4)]
        """
        return _slabs.split(self, parts)  # type: ignore[arg-type]  # a _Space is one of the two spaces

    def slab(self, k0: int, k1: int) -> TimeSlab:
        """The time slab of the intervals ``[k0, k1)``.

        Parameters
        ----------
        k0, k1 : int
            First interval and one past the last one, ``0 <= k0 < k1 <= n_t``.

        Returns
        -------
        TimeSlab

        Raises
        ------
        TypeError
            `k0` or `k1` not an integer (a bool included), e.g. "k0: expected an integer, got ...".
        ValueError
            Not ``0 <= k0 < k1 <= n_t``, named: "k0: expected 0 <= k0 < n_t = 4, got 4",
            "k1: expected k0 = 1 < k1 <= n_t = 4, got 1" (a negative one: "k0: expected an
            integer >= 0, got -1").

        Example
        -------
        >>> LagrangeSpace(2, 4, 1.0).slab(1, 3)
        TimeSlab(LagrangeSpace(degree=2, n_t=4, T=1.0), k0=1, k1=3)
        """
        return _slabs.TimeSlab(self, k0, k1)  # type: ignore[arg-type]  # as in slabs()

    def locate_slab(self, times: npt.ArrayLike, parts: int) -> npt.NDArray[np.int64]:
        """Which slab of ``slabs(parts)`` owns each time.

        Parameters
        ----------
        times : array_like of float, any shape
        parts : int
            Number of slabs, ``1 <= parts <= n_t``.

        Returns
        -------
        ndarray of int64, shape times.shape
            Index j of the slab holding the interval k that ``LegendreSpace.locate`` gives the time
            (times before 0 and NaN in the first slab, after T in the last, a time on an interior
            interval end in the slab on its right): ``j = ((k + 1)*parts - 1) // n_t``.

        Raises
        ------
        TypeError
            `parts` as for ``slabs``; `times` not real numbers: "times: expected an array-like of
            real numbers, got ...".
        ValueError
            `parts` as for ``slabs``.

        Example
        -------
        >>> LegendreSpace(1, 4, 1.0).locate_slab([0.0, 0.25, 0.5, 1.0], 2)
        array([0, 0, 1, 1])
        """
        count = checks.count("parts", parts, 1)
        if count > self._n_t:
            _slabs.split(self, count)  # type: ignore[arg-type]  # raises the message of slabs()
        t = checks.as_float_array("times", times)
        intervals = np.empty(t.shape, dtype=np.int64)
        xi = np.empty(t.shape, dtype=np.float64)
        _kernels.locate(self._n_t, self._T, t, intervals, xi, 1)
        return _slabs.slab_of_intervals(intervals, self._n_t, count)

    def __repr__(self) -> str:
        return f"{type(self).__name__}(degree={self._degree}, n_t={self._n_t}, T={self._T!r})"

    def _key(self) -> tuple[int, int, float]:
        return (self._degree, self._n_t, self._T)


class LegendreSpace(_Space):
    """Discontinuous piecewise Legendre polynomials on ``n_t`` equal intervals of [0, T].

    On interval k (from ``k*dt`` to ``dt + k*dt``, ``dt = T / n_t``) the basis functions are the
    Legendre polynomials P_0 ... P_degree of the local coordinate in [-1, 1]. Vectors of one
    number per basis function are degree-major: position ``i*n_t + k`` holds P_i on interval k.
    The numbers are those of ``pwpoly.LegendreBasis`` and ``pwpoly.LegendreBasisEvaluator``, bit
    for bit.

    Parameters
    ----------
    degree : int
        Polynomial degree, >= 0.
    n_t : int
        Number of intervals, >= 1.
    T : float
        End of the time interval, finite and > 0.

    Notes
    -----
    Times before 0 are evaluated at the left end of the first interval, times after T at the
    right end of the last one (the polynomial is not extrapolated); a NaN time gives NaN (except
    for the constant P_0, and the derivative of P_0 and P_1). A time on an interior interval end
    belongs to the interval on its right.

    Array arguments (times, coefficients, values) are numbers only: arrays of bool (read as 0.0
    and 1.0), integer or floating dtype, or sequences of real numbers (Python ints and fractions
    included). None, strings, bytes and other objects are a ``TypeError``, an integer beyond the
    float range a ``ValueError``.

    A subclass may add members and override public ones: the methods read only the space's own
    checked fields. It may not redefine a private member (a ``TypeError`` when it is made).

    Raises
    ------
    TypeError
        An argument of the wrong type, named in the message: ``degree`` or ``n_t`` not an integer
        (a bool included), ``T`` not a real number; in the methods, e.g. "times: expected an
        array-like of real numbers, got [0.5, None] (list) holding None (NoneType)".
    ValueError
        ``degree`` < 0, ``n_t`` < 1, ``T`` not finite and > 0 (also an integer or fraction beyond
        the float range), ``n_t*(degree + 1)**2`` above the largest array size, ``n_t`` above
        2**51 (beyond, consecutive interval ends can coincide), ``T / n_t`` not a positive normal
        number ("T: the interval length T / n_t = 0.0 (T = 5e-324, n_t = 4) is not a positive
        normal number"), or a last interval end that overflows; in the methods, e.g.
        "coefficients: last axis has length 11, expected V.size = 12", "times: 1000... (int) is
        beyond the largest float".
    AttributeError
        On setting or deleting any attribute: the space is an immutable value, e.g.
        "LegendreSpace objects are immutable: cannot set 'degree'".

    Example
    -------
    >>> LegendreSpace(2, 4, 1.0).evaluate(np.arange(1.0, 13.0), [0.3, 0.9], derivative=1)
    array([-96. , 121.6])
    """

    __slots__ = ()

    def __new__(cls, degree: int, n_t: int, T: float) -> Self:
        self = super().__new__(cls)
        self._set_fields(degree, n_t, T, 0)
        object.__setattr__(self, "_size", self._n_t * (self._degree + 1))
        return self

    @property
    def breakpoints(self) -> npt.NDArray[np.float64]:
        """Interval ends, float64 array of shape (n_t + 1,), read-only.

        ``breakpoints[k] = k * dt`` and the last one is ``dt + (n_t - 1) * dt``, exactly as the
        evaluation forms them (the last is not necessarily T).

        Raises
        ------
        ValueError
            On writing into the array: "assignment destination is read-only"; on setting its
            ``writeable`` flag: "cannot set WRITEABLE flag to True of this array".

        Example
        -------
        >>> LegendreSpace(0, 4, 1.0).breakpoints.tolist()
        [0.0, 0.25, 0.5, 0.75, 1.0]
        """
        ends = self._cache.get("breakpoints")
        if ends is None:
            left = np.arange(self._n_t, dtype=np.float64) * self._dt
            ends = checks.frozen(np.append(left, self._dt + left[-1]))
            self._cache["breakpoints"] = ends
        return ends

    def locate(
        self, times: npt.ArrayLike, workers: int = 1
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """Interval index and local coordinate of each time.

        Parameters
        ----------
        times : array_like of float, any shape
        workers : int, optional
            Threads sharing the work by consecutive times (default 1; -1: every core this
            process may use); the result has the same bits for every count. ValueError for 0 or
            below -1, TypeError for a non-integer.

        Returns
        -------
        intervals : ndarray of int64, shape times.shape
            Interval k holding the time (0 for times before 0 and NaN, n_t - 1 after T).
        xi : ndarray of float64, shape times.shape
            Local coordinate in [-1, 1] on that interval (NaN for a NaN time).

        Raises
        ------
        TypeError
            `times` not real numbers: "times: expected an array-like of real numbers, got ...".

        Example
        -------
        >>> LegendreSpace(1, 4, 1.0).locate([0.25, 0.375])
        (array([1, 1]), array([-1.,  0.]))
        """
        t = checks.as_float_array("times", times)
        threads = checks.workers(workers)
        intervals = np.empty(t.shape, dtype=np.int64)
        xi = np.empty(t.shape, dtype=np.float64)
        _kernels.locate(self._n_t, self._T, t, intervals, xi, threads)
        return intervals, xi

    def evaluate(
        self,
        coefficients: npt.ArrayLike,
        times: npt.ArrayLike,
        derivative: int = 0,
        out: npt.NDArray[np.float64] | None = None,
        slab: TimeSlab | None = None,
        workers: int = 1,
    ) -> npt.NDArray[np.float64]:
        """Values (or time derivatives) of piecewise Legendre expansions at many times.

        Parameters
        ----------
        coefficients : array_like of float, shape (..., size), or (..., slab.size) with `slab`
            One or a batch of coefficient vectors, degree-major; with `slab`, the slab's
            coefficients alone, in the order of ``slab.rows`` (``global_c[..., slab.rows]``).
        times : array_like of float, any shape (a scalar gives 0-d results)
            With `slab`, every time must lie in the slab: its interval from ``locate`` in
            [slab.k0, slab.k1) (``locate_slab`` tells which slab owns a time).
        derivative : {0, 1}
            0 for values, 1 for the time derivative.
        out : ndarray of float64, shape coefficients.shape[:-1] + times.shape, optional
            Array to write the result into (a subclass is checked and written as the plain
            ndarray it is). When a time outside the slab is refused, it may have been written in
            part.
        slab : TimeSlab, optional
            A slab of this space: evaluate from that slab's coefficients, reading no others.
        workers : int, optional
            Threads sharing the work by consecutive times (default 1; -1: every core this
            process may use); the result has the same bits for every count. ValueError for 0 or
            below -1, TypeError for a non-integer.

        Returns
        -------
        ndarray of float64, shape coefficients.shape[:-1] + times.shape
            ``result[b..., j...]`` equals ``LegendreBasisEvaluator.evaluate_at(t)`` (derivative 0)
            or ``evaluate_derivative_at(t)`` (derivative 1) of vector ``b`` at ``times[j...]``;
            with `slab`, bit for bit the evaluation of the global vectors the slab's coefficients
            belong to.

        Raises
        ------
        TypeError
            `coefficients` or `times` not real numbers ("times: expected an array-like of real
            numbers, got ..."); `derivative` not an integer; `slab` not None or a TimeSlab;
            `out` not an ndarray or not float64 ("out: expected dtype float64, got dtype
            float32").
        ValueError
            `coefficients` a scalar or of the wrong last axis ("coefficients: last axis has
            length 11, expected V.size = 12", or ``slab.size`` with `slab`); `derivative` not 0
            or 1; `out` of the wrong shape or read-only; `slab` of another space ("slab: a slab
            of ..., expected a slab of V = ..."); a time outside the slab ("times:
            times.flat[0] = 0.25 lies in interval 0, outside the slab's intervals [1, 2)").

        Example
        -------
        >>> V = LegendreSpace(1, 2, 1.0); V.evaluate([1.0, 2.0, 3.0, 4.0], [0.25, 0.5])
        array([ 1., -2.])
        >>> V.evaluate([2.0, 4.0], 0.75, slab=V.slab(1, 2))
        array(2.)
        """
        if slab is None:
            first, width = 0, self._n_t
            c = checks.batch_of("coefficients", coefficients, self._size, "V.size")
        else:
            if not issubclass(type(slab), _slabs.TimeSlab):
                raise TypeError(f"slab: expected None or a TimeSlab, got {checks.describe(slab)}")
            _slabs.slab_of("slab", slab, (self,), f"V = {self!r}")
            first, width = slab._k0, slab._k1 - slab._k0
            c = checks.batch_of("coefficients", coefficients, width * (self._degree + 1), "slab.size")
        t = checks.as_float_array("times", times)
        derivative = checks.derivative_order(derivative)
        threads = checks.workers(workers)
        shape = c.shape[:-1] + t.shape
        if out is None:
            target = result = np.empty(shape, dtype=np.float64)
        else:
            result = checks.check_out(out, shape)
            direct = result.flags.c_contiguous and result.flags.aligned
            if direct and not np.may_share_memory(result, c) and not np.may_share_memory(result, t):
                target = result
            else:
                target = np.empty(shape, dtype=np.float64)
        done = _kernels.evaluate(self._degree, self._n_t, self._T, first, width, c, t, derivative, target, threads)
        if done != t.size:
            time = t.reshape(-1)[done]
            k = int(LegendreSpace.locate(self, time)[0])  # not a subclass's override
            raise ValueError(
                f"times: times.flat[{done}] = {float(time)!r} lies in interval {k}, outside the slab's intervals "
                f"[{first}, {first + width})"
            )
        if target is not result:
            result[...] = target
        return result if out is None else out

    def basis_matrix(
        self, times: npt.ArrayLike, derivative: int = 0, workers: int = 1
    ) -> scipy.sparse.csr_array[np.float64]:
        """Values (or time derivatives) of all basis functions at many times, as a sparse matrix.

        Parameters
        ----------
        times : array_like of float, any shape (flattened in C order)
        derivative : {0, 1}
        workers : int, optional
            Threads sharing the work by consecutive times (rows) (default 1; -1: every core this
            process may use); the result has the same bits for every count. ValueError for 0 or
            below -1, TypeError for a non-integer.

        Returns
        -------
        scipy.sparse.csr_array, shape (times.size, size)
            Row j holds the degree + 1 entries of the interval holding ``times.flat[j]``, all stored
            (also zeros), columns ascending: the non-zero entries of
            ``LegendreBasis.evaluate_all_basis_functions`` (or ``..._derivatives``), same bits.

        Raises
        ------
        TypeError
            `times` not real numbers ("times: expected an array-like of real numbers, got ...");
            `derivative` not an integer ("derivative: expected an integer, got ...").
        ValueError
            `derivative` not 0 or 1 ("derivative: expected 0 or 1, got 2"); more than the largest
            array size of stored entries ("times: ... times give ... stored entries, more than
            the largest array size").

        Example
        -------
        >>> LegendreSpace(1, 2, 1.0).basis_matrix([0.25, 0.5]).toarray().tolist()
        [[1.0, 0.0, 0.0, 0.0], [0.0, 1.0, 0.0, -1.0]]
        """
        t = checks.as_float_array("times", times)
        derivative = checks.derivative_order(derivative)
        threads = checks.workers(workers)
        n = t.size
        m = self._degree + 1
        nnz = n * m
        if nnz > checks.MAX_DOUBLES:
            raise ValueError(f"times: {n} times give {nnz} stored entries, more than the largest array size")
        index = checks.index_dtype(nnz, self._size, n)
        indptr = np.empty(n + 1, dtype=index)
        indices = np.empty(nnz, dtype=index)
        data = np.empty(nnz, dtype=np.float64)
        kernel = _kernels.basis_matrix32 if index is np.int32 else _kernels.basis_matrix64
        kernel(self._degree, self._n_t, self._T, t, derivative, indptr, indices, data, threads)
        return _csr(data, indices, indptr, (n, self._size))

    def mass_matrix(
        self,
        rows: TimeSlab | range | None = None,
        *,
        trial: LegendreSpace | LagrangeSpace | None = None,
        workers: int = 1,
    ) -> scipy.sparse.csr_array[np.float64]:
        """The L2 Gram matrix of the basis on [0, T], or with another trial space.

        Parameters
        ----------
        rows : TimeSlab or range, optional
            Build only these rows: a slab of this space (the positions it owns, see ``TimeSlab``)
            or a range of step 1 within ``range(size)``. None (the default) builds every row.
        trial : LegendreSpace or LagrangeSpace, optional
            The space of the columns, on the same partition (any degree); default this space.
        workers : int, optional
            Threads sharing the work by consecutive rows (default 1; -1: every core this
            process may use); the result has the same bits for every count. ValueError for 0 or
            below -1, TypeError for a non-integer.

        Returns
        -------
        scipy.sparse.csr_array, shape (number of rows asked, trial.size)
            Entry (i*n_t + k, c) is the integral of P_i on interval k times trial function c.
            With this space (or a LegendreSpace of any degree) as trial: ``dt / (2*i + 1)`` at
            column ``i*n_t + k`` for i up to the smaller degree, nothing else (exactly the closed
            form). With a LagrangeSpace: ``dt`` times half the integral on [-1, 1] by a
            Gauss-Legendre rule exact for the degrees, the same bits on every machine, within
            1e-13 relative of the exact integral; integrals that are zero are not stored. With
            `rows`, row j of the result is global row ``rows[j]`` (``slab.rows[j]``), columns
            global, the same bits as the whole matrix.

        Raises
        ------
        TypeError
            `rows` not None, a TimeSlab or a range: "rows: expected None, a TimeSlab or a range,
            got ..."; `trial` not a space.
        ValueError
            A range of step other than 1 ("rows: expected a range with step 1, got ...") or
            beyond the rows (e.g. "rows: expected a range with 0 <= start <= stop <= 4 (the
            operator's rows), got range(0, 5)"); a slab of another space ("rows: a slab of ...,
            expected a slab of V = ..."); `trial` on another partition ("trial: ... is on another
            partition (n_t = 2, T = 1.0), expected the partition of V = ... (n_t = 4, T = 1.0)").

        Example
        -------
        >>> V = LegendreSpace(1, 2, 3.0); V.mass_matrix().diagonal().tolist()
        [1.5, 1.5, 0.5, 0.5]
        >>> V.mass_matrix(rows=V.slab(1, 2)).toarray().tolist()
        [[0.0, 1.5, 0.0, 0.0], [0.0, 0.0, 0.0, 0.5]]
        >>> V.mass_matrix(trial=LagrangeSpace(1, 2, 3.0)).toarray().round(12).tolist()
        [[0.75, 0.75, 0.0], [0.0, 0.75, 0.75], [-0.25, 0.25, 0.0], [0.0, -0.25, 0.25]]
        """
        from . import _galerkin

        return _galerkin.mass_matrix(self, rows, trial, workers)

    def derivative_matrix(
        self,
        rows: TimeSlab | range | None = None,
        *,
        trial: LegendreSpace | LagrangeSpace | None = None,
        upwind: bool = False,
        workers: int = 1,
    ) -> scipy.sparse.csr_array[np.float64]:
        """The time-derivative matrix: test functions of this space against trial derivatives.

        Parameters
        ----------
        rows : TimeSlab or range, optional
            Build only these rows, as for ``mass_matrix``.
        trial : LegendreSpace or LagrangeSpace, optional
            The space of the columns, on the same partition (any degree); default this space.
        upwind : bool, optional
            Add the jumps at the interval ends (test and trial Legendre): at every interior end
            t_k, ``(phi_j(t_k+) - phi_j(t_k-)) * psi_i(t_k+)``, and at the start
            ``phi_j(t0+) * psi_i(t0+)``. A breakpoint's values are its right limit; the left
            limit at t_k is the previous interval's end.
        workers : int, optional
            Threads sharing the work by consecutive rows (default 1; -1: every core this
            process may use); the result has the same bits for every count. ValueError for 0 or
            below -1, TypeError for a non-integer.

        Returns
        -------
        scipy.sparse.csr_array, shape (number of rows asked, trial.size)
            Entry (i*n_t + k, c): the integral over interval k's interior of P_i times the time
            derivative of trial function c. Legendre trial: exactly 2.0 at column j*n_t + k for
            j > i with i + j odd (the length cancels); with `upwind`, exactly +-1.0 at every
            column j*n_t + k and j*n_t + k - 1 (the traces: P_i(-1) = (-1)**i, P_i(1) = 1). A
            slab's upwind rows read its previous interval, k0 - 1: the columns say so. Lagrange
            trial: the integral by a Gauss-Legendre rule exact for the degrees (as for
            ``mass_matrix``). No stored zeros; with `rows`, the same bits as the whole matrix.

        Raises
        ------
        TypeError
            `rows` or `trial` as for ``mass_matrix``; `upwind` not a bool ("upwind: expected a
            bool, got ...").
        ValueError
            `rows` or `trial` as for ``mass_matrix``; `upwind` with a Lagrange trial space
            ("upwind: the traces need Legendre test and trial spaces, got the trial space ...").

        Example
        -------
        >>> V = LegendreSpace(1, 2, 1.0); V.derivative_matrix().toarray().tolist()
        [[0.0, 0.0, 2.0, 0.0], [0.0, 0.0, 0.0, 2.0], [0.0, 0.0, 0.0, 0.0], [0.0, 0.0, 0.0, 0.0]]
        >>> V.derivative_matrix(upwind=True).toarray().tolist()
        [[1.0, 0.0, 1.0, 0.0], [-1.0, 1.0, -1.0, 1.0], [-1.0, 0.0, 1.0, 0.0], [1.0, -1.0, 1.0, 1.0]]
        """
        from . import _galerkin

        return _galerkin.derivative_matrix(self, rows, trial, upwind, workers)

    def projection_to(
        self, other: LegendreSpace, rows: TimeSlab | range | None = None, workers: int = 1
    ) -> scipy.sparse.csr_array[np.float64]:
        """The L2 projection onto another Legendre space of the same span.

        Parameters
        ----------
        other : LegendreSpace
            Any degree and partition with the same start and end, nested with this one or not.
        rows : TimeSlab or range, optional
            Build only these rows (positions of `other`): a slab of `other` or a range of step 1
            within ``range(other.size)``. None (the default) builds every row.
        workers : int, optional
            Threads sharing the work by consecutive rows (default 1; -1: every core this
            process may use); the result has the same bits for every count. ValueError for 0 or
            below -1, TypeError for a non-integer.

        Returns
        -------
        scipy.sparse.csr_array, shape (number of rows asked, size)
            ``P @ c`` are the coefficients in `other` of the L2 projection of the expansion c:
            entry (i*m + l, j*n_t + k) is ``(2*i + 1) / h_l`` times the integral of P_i on
            other's interval l times P_j on interval k, over their overlap (the two lists of
            interval ends merged), by a Gauss-Legendre rule exact for the two degrees; 1.0 and
            nothing else between identical intervals. On nested partitions a polynomial of the
            coarse space is reproduced and coarse to fine to coarse is the identity, up to
            rounding. Zero integrals are not stored; with `rows`, the same bits as the whole.

        Raises
        ------
        TypeError
            `other` not a LegendreSpace ("other: expected a LegendreSpace, got ..."); `rows` as
            for ``mass_matrix``.
        ValueError
            `other` of another span ("other: ... spans [0.0, 2.0], expected the span of V = ...,
            [0.0, 1.0]"); `rows` as for ``mass_matrix``, a slab of another space than `other`.

        Example
        -------
        >>> LegendreSpace(1, 1, 1.0).projection_to(LegendreSpace(0, 2, 1.0)).toarray().tolist()
        [[1.0, -0.5], [1.0, 0.5]]
        """
        from . import _galerkin

        return _galerkin.projection_to(self, other, rows, workers)

    def project(
        self, f: Callable[[npt.NDArray[np.float64]], npt.ArrayLike], workers: int = 1
    ) -> npt.NDArray[np.float64]:
        """L2 projection of a function onto the space.

        Parameters
        ----------
        f : callable
            Vectorised: ``f(t)`` for a float64 array ``t`` of shape (n,) returns an array of shape
            (..., n) (leading axes make a batch).
        workers : int, optional
            Threads sharing the work by consecutive intervals (default 1; -1: every core this
            process may use); the result has the same bits for every count. ValueError for 0 or
            below -1, TypeError for a non-integer.

        Returns
        -------
        ndarray of float64, shape (..., size)
            Coefficients, degree-major. The integrals use a Gauss-Legendre rule of degree + 2
            points per interval, exact for polynomials f of degree up to degree + 3; a polynomial
            of at most the space's degree is reproduced up to rounding.

        Raises
        ------
        TypeError
            `f` not callable ("f: expected a callable, got ..."), or its result not real numbers
            ("f(t): expected an array-like of real numbers, got ...").
        ValueError
            The result of `f` not of shape (..., len(t)), e.g. "f: returned an array of shape (),
            expected shape (..., 6) ending in the length of its argument".
        Exception
            Whatever `f` raises, unchanged.

        Example
        -------
        >>> LegendreSpace(1, 2, 1.0).project(lambda t: 2.0 * t).round(12).tolist()
        [0.5, 1.5, 0.5, 0.5]
        """
        threads = checks.workers(workers)
        m = self._degree + 1
        nodes, weights = np.polynomial.legendre.leggauss(m + 1)
        left = np.arange(self._n_t, dtype=np.float64) * self._dt
        right = self._dt + left
        with np.errstate(over="ignore"):
            sums = left + right
        # The midpoint without overflow, as the evaluation forms it (interval_lookup.hpp).
        middle = np.where(np.isinf(sums), left / 2.0 + right / 2.0, sums / 2.0)
        half = (right - left) / 2.0
        times = (middle[:, None] + half[:, None] * nodes[None, :]).reshape(-1)
        values = checks.call_on_times("f", f, times, times.size)
        # B[q, i] = w_q P_i(x_q) (2i + 1) / 2: the coefficient of P_i is sum_q f(t_q) B[q, i].
        B = np.polynomial.legendre.legvander(nodes, self._degree) * (weights[:, None] * (np.arange(m) + 0.5))
        result = np.empty(values.shape[:-1] + (self._size,), dtype=np.float64)
        _kernels.project_sums(self._n_t, m, np.ascontiguousarray(values, dtype=np.float64), np.ascontiguousarray(B),
                              result, threads)
        return result


class LagrangeSpace(_Space):
    """Continuous piecewise Lagrange polynomials on ``n_t`` equal intervals of [0, T].

    The nodes (``points``) are the equidistant nodes of every interval, each interior interval end
    once, ending with T: point ``k*degree + j`` is local node j of interval k. They equal
    ``pwpoly.get_lagrange_points(degree, n_t, T)`` bit for bit, and the operators hold exactly the
    entries of ``pwpoly.lagrange_prolongation_matrix`` and
    ``pwpoly.lagrange_to_legendre_basis_transformation``.

    Interpolation at equidistant nodes loses accuracy fast with the degree: for cos(3x) on
    [-1, 1] the error is 1e-7 at degree 40, 4e-4 at 50, 0.4 at 60 and 66 at 80 in double
    precision, hence the bound of 128 on the degree.

    Parameters
    ----------
    degree : int
        Polynomial degree, >= 1.
    n_t : int
        Number of intervals, >= 1.
    T : float
        End of the time interval, finite and > 0.

    Raises
    ------
    TypeError, ValueError
        As for ``LegendreSpace``, with 1 <= ``degree`` <= 128 ("degree: expected at most 128 for
        equidistant Lagrange nodes, got 1600": the transformation to Legendre coefficients costs
        O(degree**3), and equidistant nodes are useless long before, see the note) and nodes
        that must not overflow ("T: the nodes of degree 3 overflow (T = 1e+308, n_t = 1)");
        ``prolongation_to`` also refuses a space of another degree or T, e.g. "fine: degree is
        2, expected W.degree = 1".
    AttributeError
        On setting or deleting any attribute, as for ``LegendreSpace``.

    Example
    -------
    >>> LagrangeSpace(1, 2, 1.0).evaluate([0.0, 1.0, 0.0], [0.25, 0.5])
    array([0.5, 1. ])
    """

    __slots__ = ()

    def __new__(cls, degree: int, n_t: int, T: float) -> Self:
        self = super().__new__(cls)
        self._set_fields(degree, n_t, T, 1)
        d = self._degree
        if d > MAX_LAGRANGE_DEGREE:
            raise ValueError(
                f"degree: expected at most {MAX_LAGRANGE_DEGREE} for equidistant Lagrange nodes, got {d}"
            )
        # Node j of an interval is ((j * width) / degree) + left: j * width must not overflow.
        last = self._dt + float(self._n_t - 1) * self._dt
        if not math.isfinite(float(d - 1) * (self._dt + 2.0 * math.ulp(last))):
            raise ValueError(f"T: the nodes of degree {d} overflow (T = {self._T!r}, n_t = {self._n_t})")
        object.__setattr__(self, "_size", self._n_t * d + 1)
        return self

    @property
    def points(self) -> npt.NDArray[np.float64]:
        """The nodes, float64 array of shape (size,), read-only.

        Raises
        ------
        ValueError
            On writing into the array: "assignment destination is read-only"; on setting its
            ``writeable`` flag: "cannot set WRITEABLE flag to True of this array".

        Example
        -------
        >>> LagrangeSpace(2, 2, 1.0).points.tolist()
        [0.0, 0.25, 0.5, 0.75, 1.0]
        """
        return self._points()

    def _points(self) -> npt.NDArray[np.float64]:
        points = self._cache.get("points")
        if points is None:
            points = np.empty(self._size, dtype=np.float64)
            _kernels.lagrange_points(self._degree, self._n_t, self._T, 0, self._size, points)
            points = checks.frozen(points)
            self._cache["points"] = points
        return points

    def points_of(self, rows: TimeSlab | range) -> npt.NDArray[np.float64]:
        """The nodes of some global rows, without forming the others.

        Parameters
        ----------
        rows : TimeSlab or range
            A slab of this space (the nodes it owns, see ``TimeSlab``) or a range of step 1 within
            ``range(size)``, e.g. ``range(k0*degree, k1*degree + 1)`` for the nodes of intervals
            k0 ... k1 - 1 with the right ghost.

        Returns
        -------
        ndarray of float64, shape (len(rows),)
            ``points[rows]``, the same bits, in time and memory proportional to the rows.

        Raises
        ------
        TypeError
            `rows` not None, a TimeSlab or a range: "rows: expected None, a TimeSlab or a range,
            got ...".
        ValueError
            A range of step other than 1 or beyond ``range(size)`` (e.g. "rows: expected a range
            with 0 <= start <= stop <= 9 (the operator's rows), got range(0, 10)"); a slab of
            another space ("rows: a slab of ..., expected a slab of W = ...").

        Example
        -------
        >>> W = LagrangeSpace(2, 4, 1.0); W.points_of(W.slab(1, 3)).tolist()
        [0.25, 0.375, 0.5, 0.625]
        """
        (block,) = _slabs.requested_ranges(rows, self._size, (self,), f"W = {self!r}")
        points = np.empty(len(block), dtype=np.float64)
        _kernels.lagrange_points(self._degree, self._n_t, self._T, block.start, block.stop, points)
        return points

    def legendre_space(self) -> LegendreSpace:
        """The discontinuous Legendre space of the same degree, n_t and T.

        Raises
        ------
        Nothing.

        Example
        -------
        >>> LagrangeSpace(2, 4, 1.0).legendre_space()
        LegendreSpace(degree=2, n_t=4, T=1.0)
        """
        return self._legendre()

    def _legendre(self) -> LegendreSpace:
        return LegendreSpace(self._degree, self._n_t, self._T)

    def prolongation_to(
        self, fine: LagrangeSpace, rows: TimeSlab | range | None = None, workers: int = 1
    ) -> scipy.sparse.csr_array[np.float64]:
        """Interpolation of nodal values onto the nodes of another partition.

        Parameters
        ----------
        fine : LagrangeSpace
            Same degree and T, any n_t (it need not refine this one).
        rows : TimeSlab or range, optional
            Build only these rows (fine points): a slab of `fine` (the points it owns, see
            ``TimeSlab``) or a range of step 1 within ``range(fine.size)``. None (the default)
            builds every row.
        workers : int, optional
            Threads sharing the work by consecutive rows (default 1; -1: every core this
            process may use); the result has the same bits for every count. ValueError for 0 or
            below -1, TypeError for a non-integer.

        Returns
        -------
        scipy.sparse.csr_array, shape (number of rows asked, size)
            Entry (r, c) is coarse basis function c at fine node r: the entries of
            ``pwpoly.lagrange_prolongation_matrix(self.n_t, fine.n_t, degree)``. With `rows`, row
            j of the result is global row ``rows[j]`` (``slab.rows[j]``), columns global: the very
            bits of the whole operator's rows, built in time and memory proportional to the rows.

        Raises
        ------
        TypeError
            `fine` not a LagrangeSpace ("fine: expected a LagrangeSpace, got ..."); `rows` not
            None, a TimeSlab or a range.
        ValueError
            `fine` of another degree or T ("fine: degree is 2, expected W.degree = 1", "fine: T
            is 2.0, expected W.T = 1.0"); `rows` a range of step other than 1 or beyond
            ``range(fine.size)``, or a slab of another space than `fine` ("rows: a slab of ...,
            expected a slab of fine = ...").

        Example
        -------
        >>> LagrangeSpace(1, 1, 1.0).prolongation_to(LagrangeSpace(1, 2, 1.0)).toarray().tolist()
        [[1.0, 0.0], [0.5, 0.5], [0.0, 1.0]]
        """
        if not issubclass(type(fine), LagrangeSpace):
            raise TypeError(f"fine: expected a LagrangeSpace, got {checks.describe(fine)}")
        if fine._degree != self._degree:
            raise ValueError(f"fine: degree is {fine._degree}, expected W.degree = {self._degree}")
        if fine._T != self._T:
            raise ValueError(f"fine: T is {fine._T!r}, expected W.T = {self._T!r}")
        (block,) = _slabs.requested_ranges(rows, fine._size, (fine,), f"fine = {fine!r}")
        threads = checks.workers(workers)
        d = self._degree
        first, last = block.start, block.stop
        count = last - first
        # Room for every entry: a fine node on a coarse node stores a single 1.0, any other at
        # most d + 1 values. Fewer are stored only for a node within the tolerance of a coarse
        # node without lying on it, which takes counts far beyond memory; the arrays are then
        # shrunk to the entries.
        room = _kernels.prolongation_room(d, self._n_t, fine._n_t, first, last)
        index = checks.index_dtype(room, count, self._size)
        indptr = np.empty(count + 1, dtype=index)
        indptr[0] = 0
        indices = np.empty(room, dtype=index)
        data = np.empty(room, dtype=np.float64)
        kernel = _kernels.prolongation32 if index is np.int32 else _kernels.prolongation64
        nnz = kernel(d, self._n_t, fine._n_t, first, last, indptr, indices, data, threads)
        if nnz < room:
            # Shrunk in place (the arrays are fresh and referenced nowhere else).
            indices.resize(nnz, refcheck=False)
            data.resize(nnz, refcheck=False)
            if index is np.int64 and checks.index_dtype(nnz, count, self._size) is np.int32:
                # The bound needed wide indices, the entries do not: scipy's own choice.
                indptr, indices = indptr.astype(np.int32), indices.astype(np.int32)
        return _csr(data, indices, indptr, (count, self._size))

    def to_legendre(
        self, rows: TimeSlab | range | None = None, workers: int = 1
    ) -> scipy.sparse.csr_array[np.float64]:
        """The map from nodal values to Legendre coefficients.

        Parameters
        ----------
        rows : TimeSlab or range, optional
            Build only these rows (Legendre positions): a slab of this space or of
            ``legendre_space()`` (the positions ``i*n_t + k`` of its intervals k, every degree i),
            or a range of step 1 within ``range(legendre_space().size)``. None (the default)
            builds every row.
        workers : int, optional
            Threads sharing the work by consecutive rows (default 1; -1: every core this
            process may use); the result has the same bits for every count. ValueError for 0 or
            below -1, TypeError for a non-integer.

        Returns
        -------
        scipy.sparse.csr_array, shape (number of rows asked, size)
            The entries of ``pwpoly.lagrange_to_legendre_basis_transformation(degree, n_t)``: row
            ``a*n_t + k`` gives the coefficient of P_a on interval k. With `rows`, row j of the
            result is global row ``rows[j]`` (for a slab, in the order of the Legendre slab's
            ``rows``), columns global, the same bits as the whole matrix. A slab's block reads
            the nodal values of its points and its right ghost, ``k0*degree ... k1*degree``.

        Raises
        ------
        TypeError
            `rows` not None, a TimeSlab or a range: "rows: expected None, a TimeSlab or a range,
            got ...".
        ValueError
            A range of step other than 1 or beyond ``range(legendre_space().size)``; a slab of
            another space ("rows: a slab of ..., expected a slab of W = ... or of
            W.legendre_space()").

        Example
        -------
        >>> LagrangeSpace(1, 2, 1.0).to_legendre().toarray().tolist()
        [[0.5, 0.5, 0.0], [0.0, 0.5, 0.5], [-0.5, 0.5, 0.0], [0.0, -0.5, 0.5]]
        """
        m = self._degree + 1
        legendre = self._legendre()
        ranges = _slabs.requested_ranges(
            rows, legendre._size, (self, legendre), f"W = {self!r} or of W.legendre_space()", legendre
        )
        threads = checks.workers(workers)
        count = sum(len(r) for r in ranges)
        nnz = count * m
        index = checks.index_dtype(nnz, count, self._size)
        indptr = np.empty(count + 1, dtype=index)
        indptr[0] = 0
        indices = np.empty(nnz, dtype=index)
        data = np.empty(nnz, dtype=np.float64)
        kernel = _kernels.to_legendre32 if index is np.int32 else _kernels.to_legendre64
        position = 0
        for r in ranges:
            end = position + len(r)
            # Chained: this range's offsets continue from indptr[position].
            kernel(self._degree, self._n_t, r.start, r.stop, indptr[position : end + 1],
                   indices[position * m : end * m], data[position * m : end * m], threads)
            position = end
        return _csr(data, indices, indptr, (count, self._size))

    def mass_matrix(
        self,
        rows: TimeSlab | range | None = None,
        *,
        trial: LegendreSpace | LagrangeSpace | None = None,
        workers: int = 1,
    ) -> scipy.sparse.csr_array[np.float64]:
        """The L2 Gram matrix of the nodal basis on [0, T], or with another trial space.

        Parameters
        ----------
        rows : TimeSlab or range, optional
            Build only these rows (points): a slab of this space (the points it owns, see
            ``TimeSlab``) or a range of step 1 within ``range(size)``. None (the default) builds
            every row.
        trial : LegendreSpace or LagrangeSpace, optional
            The space of the columns, on the same partition (any degree); default this space.
        workers : int, optional
            Threads sharing the work by consecutive rows (default 1; -1: every core this
            process may use); the result has the same bits for every count. ValueError for 0 or
            below -1, TypeError for a non-integer.

        Returns
        -------
        scipy.sparse.csr_array, shape (number of rows asked, trial.size)
            With this space as trial: symmetric, exact up to rounding (relative 1e-13 for
            moderate degrees); each row holds the nodes sharing an interval with its node, columns
            ascending. With another trial space: entry (r, c) is the integral of node r's function
            times trial function c, interval by interval ``dt`` times half the integral on [-1, 1]
            by a Gauss-Legendre rule exact for the degrees (left interval first at a shared node),
            the same bits on every machine, zero integrals not stored. With `rows`, row j of the
            result is global row ``rows[j]`` (``slab.rows[j]``), columns global, the same bits as
            the whole matrix.

        Raises
        ------
        TypeError
            `rows` not None, a TimeSlab or a range: "rows: expected None, a TimeSlab or a range,
            got ..."; `trial` not a space.
        ValueError
            A range of step other than 1 or beyond ``range(size)``; a slab of another space
            ("rows: a slab of ..., expected a slab of W = ..."); `trial` on another partition
            ("trial: ... is on another partition (n_t = 2, T = 1.0), expected the partition of
            W = ... (n_t = 4, T = 1.0)").

        Example
        -------
        >>> LagrangeSpace(1, 1, 6.0).mass_matrix().toarray().tolist()
        [[2.0, 1.0], [1.0, 2.0]]
        >>> LagrangeSpace(1, 1, 6.0).mass_matrix(trial=LegendreSpace(0, 1, 6.0)).toarray().tolist()
        [[3.0], [3.0]]
        """
        threads = checks.workers(workers)
        if trial is not None and trial != self:
            from . import _galerkin

            return _galerkin.mass_matrix(self, rows, trial, workers)
        (block,) = _slabs.requested_ranges(rows, self._size, (self,), f"W = {self!r}")
        d = self._degree
        first, last = block.start, block.stop
        count = last - first
        nnz = _kernels.lagrange_mass_nnz(d, self._n_t, first, last)
        index = checks.index_dtype(nnz, count, self._size)
        indptr = np.empty(count + 1, dtype=index)
        indptr[0] = 0
        indices = np.empty(nnz, dtype=index)
        data = np.empty(nnz, dtype=np.float64)
        kernel = _kernels.lagrange_mass_matrix32 if index is np.int32 else _kernels.lagrange_mass_matrix64
        kernel(d, self._n_t, self._T, first, last, indptr, indices, data, threads)
        return _csr(data, indices, indptr, (count, self._size))

    def derivative_matrix(
        self,
        rows: TimeSlab | range | None = None,
        *,
        trial: LegendreSpace | LagrangeSpace | None = None,
        upwind: bool = False,
        workers: int = 1,
    ) -> scipy.sparse.csr_array[np.float64]:
        """The time-derivative matrix: nodal test functions against trial derivatives.

        Parameters
        ----------
        rows : TimeSlab or range, optional
            Build only these rows, as for ``mass_matrix``.
        trial : LegendreSpace or LagrangeSpace, optional
            The space of the columns, on the same partition (any degree); default this space.
        upwind : bool, optional
            Must be False: the upwind traces need a Legendre test space.
        workers : int, optional
            Threads sharing the work by consecutive rows (default 1; -1: every core this
            process may use); the result has the same bits for every count. ValueError for 0 or
            below -1, TypeError for a non-integer.

        Returns
        -------
        scipy.sparse.csr_array, shape (number of rows asked, trial.size)
            Entry (r, c): the integral over the interval interiors of node r's function times
            the time derivative of trial function c, by a Gauss-Legendre rule exact for the
            degrees (the length cancels; left interval first at a shared node); zero integrals
            are not stored. With `rows`, the same bits as the whole matrix.

        Raises
        ------
        TypeError
            As for ``mass_matrix``; `upwind` not a bool.
        ValueError
            As for ``mass_matrix``; ``upwind=True`` ("upwind: the traces need Legendre test and
            trial spaces, got the test space ...").

        Example
        -------
        >>> LagrangeSpace(1, 2, 1.0).derivative_matrix().toarray().tolist()
        [[-0.5, 0.5, 0.0], [-0.5, 0.0, 0.5], [0.0, -0.5, 0.5]]
        """
        from . import _galerkin

        return _galerkin.derivative_matrix(self, rows, trial, upwind, workers)

    def interpolate(self, f: Callable[[npt.NDArray[np.float64]], npt.ArrayLike]) -> npt.NDArray[np.float64]:
        """Nodal values of a function.

        Parameters
        ----------
        f : callable
            Vectorised: ``f(points)`` returns an array of shape (..., size). It is given a
            read-only view of ``points``, through which it cannot change the space.

        Returns
        -------
        ndarray of float64, shape (..., size)
            ``f(self.points)``.

        Raises
        ------
        TypeError
            `f` not callable ("f: expected a callable, got ..."), or its result not real numbers
            ("f(t): expected an array-like of real numbers, got ...").
        ValueError
            The result of `f` not of shape (..., size), e.g. "f: returned an array of shape (),
            expected shape (..., 5) ending in the length of its argument".
        Exception
            Whatever `f` raises, unchanged.

        Example
        -------
        >>> LagrangeSpace(2, 2, 1.0).interpolate(lambda t: 4.0 * t).tolist()
        [0.0, 1.0, 2.0, 3.0, 4.0]
        """
        # A view: the callable cannot reach the space's own array object.
        return checks.call_on_times("f", f, self._points().view(), self._size)

    def evaluate(
        self,
        values: npt.ArrayLike,
        times: npt.ArrayLike,
        derivative: int = 0,
        out: npt.NDArray[np.float64] | None = None,
        slab: TimeSlab | None = None,
        workers: int = 1,
    ) -> npt.NDArray[np.float64]:
        """Values (or time derivatives) of continuous piecewise Lagrange functions at many times.

        Parameters
        ----------
        values : array_like of float, shape (..., size), or (..., slab.n_intervals * degree + 1)
            One or a batch of nodal value vectors; with `slab`, the values of the slab's points
            and its right ghost alone, points ``slab.k0*degree ... slab.k1*degree``
            (``global_u[..., k0*degree : k1*degree + 1]``).
        times : array_like of float, any shape
            With `slab`, every time must lie in the slab (see ``LegendreSpace.evaluate``).
        derivative : {0, 1}
        out : ndarray of float64, shape values.shape[:-1] + times.shape, optional
        slab : TimeSlab, optional
            A slab of this space: evaluate from the values of its points alone.
        workers : int, optional
            Threads sharing the work by consecutive times (default 1; -1: every core this
            process may use); the result has the same bits for every count. ValueError for 0 or
            below -1, TypeError for a non-integer.

        Returns
        -------
        ndarray of float64, shape values.shape[:-1] + times.shape
            ``legendre_space().evaluate(to_legendre() @ values, times, derivative)``; with `slab`,
            bit for bit the evaluation of the global vectors.

        Raises
        ------
        TypeError, ValueError
            As for ``LegendreSpace.evaluate``, for `values` in place of `coefficients`: e.g.
            "values: last axis has length 2, expected W.size = 3" (with `slab`, expected
            "slab.n_intervals * W.degree + 1"); "slab: a slab of ..., expected a slab of W = ...".

        Example
        -------
        >>> W = LagrangeSpace(1, 2, 1.0); W.evaluate([0.0, 1.0, 0.0], [0.25, 0.75], derivative=1)
        array([ 2., -2.])
        >>> W.evaluate([1.0, 0.0], 0.75, slab=W.slab(1, 2))
        array(0.5)
        """
        if slab is not None:
            return self._evaluate_slab(values, times, derivative, out, slab, workers)
        u = checks.batch_of("values", values, self._size, "W.size")
        t = checks.as_float_array("times", times)
        derivative = checks.derivative_order(derivative)
        if out is not None:
            checks.check_out(out, u.shape[:-1] + t.shape)
        transformation = self._cache.get("to_legendre")
        if transformation is None:
            transformation = LagrangeSpace.to_legendre(self)  # not a subclass's override
            self._cache["to_legendre"] = transformation
        flat = u.reshape(-1, self._size)
        coefficients = (transformation @ flat.T).T.reshape(u.shape[:-1] + (transformation.shape[0],))
        return self._legendre().evaluate(coefficients, t, derivative, out, workers=workers)

    def _evaluate_slab(
        self,
        values: npt.ArrayLike,
        times: npt.ArrayLike,
        derivative: int,
        out: npt.NDArray[np.float64] | None,
        slab: TimeSlab,
        workers: int,
    ) -> npt.NDArray[np.float64]:
        if not issubclass(type(slab), _slabs.TimeSlab):
            raise TypeError(f"slab: expected None or a TimeSlab, got {checks.describe(slab)}")
        _slabs.slab_of("slab", slab, (self,), f"W = {self!r}")
        d = self._degree
        k0, k1 = slab._k0, slab._k1
        count = (k1 - k0) * d + 1
        u = checks.batch_of("values", values, count, "slab.n_intervals * W.degree + 1")
        t = checks.as_float_array("times", times)
        derivative = checks.derivative_order(derivative)
        if out is not None:
            checks.check_out(out, u.shape[:-1] + t.shape)
        # The slab's rows of the transformation, its columns moved to the local points: the same
        # entries in the same order, so the same sums as the whole transformation's rows.
        cached = self._cache.get("to_legendre_slab")
        if cached is None or cached[0] != (k0, k1):
            block = LagrangeSpace.to_legendre(self, rows=_slabs.TimeSlab(self, k0, k1))  # as above
            indices = block.indices - block.indices.dtype.type(k0 * d)
            cached = ((k0, k1), _csr(block.data, indices, block.indptr, (block.shape[0], count)))
            self._cache["to_legendre_slab"] = cached
        transformation = cached[1]
        flat = u.reshape(-1, count)
        coefficients = (transformation @ flat.T).T.reshape(u.shape[:-1] + (transformation.shape[0],))
        V = self._legendre()
        return V.evaluate(coefficients, t, derivative, out, slab=_slabs.TimeSlab(V, k0, k1), workers=workers)
