"""The two spaces: discontinuous piecewise Legendre and continuous piecewise Lagrange."""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeAlias

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


# The breakpoint argument of the kernels for a uniform partition: none, n_t and T describe it.
_UNIFORM = np.empty(0, dtype=np.float64)
_UNIFORM.flags.writeable = False

_MAXPRINT = vars(_CSR((np.zeros(0), np.zeros(0, np.int32), np.zeros(1, np.int32)), shape=(0, 0)))["maxprint"]
_csr = _choose_csr()


class _Space(ImmutableValue):
    """Immutable description (degree, n_t, T) with value semantics."""

    __slots__ = ("_degree", "_n_t", "_T", "_size", "_cache")
    _degree: int
    _n_t: int
    _T: float
    _size: int
    _cache: dict[str, Any]

    def _init(self, degree: int, n_t: int, T: float, min_degree: int) -> None:
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
        return self._T / self._n_t

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
        _kernels.locate(*self._partition(), t, intervals, xi)
        return _slabs.slab_of_intervals(intervals, self._n_t, count)

    def _partition(self) -> tuple[int, float, npt.NDArray[np.float64]]:
        """The kernels' partition arguments: n_t equal intervals of [0, T] (no breakpoint array)."""
        return (self._n_t, self._T, _UNIFORM)

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
    for the constant P_0, and the derivative of P_0 and P_1). Interval k is ``[b_k, b_{k+1})`` with
    ``b_k = breakpoints[k] = k*dt``, the last one closed at T: a time on an interior interval end
    belongs to the interval on its right, at local coordinate -1 up to rounding (the formula of
    ``pwpoly`` for the coordinate on that interval). ``pwpoly`` locates by ``floor(t / dt)``
    instead, which puts some interior ends on their left at coordinate 1; the two modules give
    the same bits wherever they pick the same interval, and differ only for a time within
    rounding of an interior end.

    Raises
    ------
    TypeError
        An argument of the wrong type, named in the message: ``degree`` or ``n_t`` not an integer
        (a bool included), ``T`` not a real number; in the methods, e.g. "times: expected an
        array-like of real numbers, ...".
    ValueError
        ``degree`` < 0, ``n_t`` < 1, ``T`` not finite and > 0, or ``n_t*(degree + 1)**2`` above
        the largest array size; in the methods, e.g. "coefficients: last axis has length 11,
        expected V.size = 12".
    AttributeError
        On setting or deleting any attribute: the space is an immutable value, e.g.
        "LegendreSpace objects are immutable: cannot set 'degree'".

    Example
    -------
    >>> LegendreSpace(2, 4, 1.0).evaluate(np.arange(1.0, 13.0), [0.3, 0.9], derivative=1)
    array([-96. , 121.6])
    """

    __slots__ = ()

    def __init__(self, degree: int, n_t: int, T: float) -> None:
        self._init(degree, n_t, T, 0)
        object.__setattr__(self, "_size", self._n_t * (self._degree + 1))

    @property
    def breakpoints(self) -> npt.NDArray[np.float64]:
        """Interval ends, float64 array of shape (n_t + 1,), read-only.

        ``breakpoints[k] = k * dt`` and the last one is ``dt + (n_t - 1) * dt``, exactly as the
        evaluation forms them (the last is not necessarily T).

        Raises
        ------
        ValueError
            On writing into the array: "assignment destination is read-only".

        Example
        -------
        >>> LegendreSpace(0, 4, 1.0).breakpoints.tolist()
        [0.0, 0.25, 0.5, 0.75, 1.0]
        """
        ends = self._cache.get("breakpoints")
        if ends is None:
            left = np.arange(self._n_t, dtype=np.float64) * self.dt
            ends = np.append(left, self.dt + left[-1])
            ends.flags.writeable = False
            self._cache["breakpoints"] = ends
        return ends

    def locate(self, times: npt.ArrayLike) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        """Interval index and local coordinate of each time.

        Parameters
        ----------
        times : array_like of float, any shape

        Returns
        -------
        intervals : ndarray of int64, shape times.shape
            Interval k holding the time, ``breakpoints[k] <= t < breakpoints[k + 1]`` (an interior
            interval end on its right; 0 for times before 0 and NaN, n_t - 1 from
            ``breakpoints[n_t - 1]`` on).
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
        intervals = np.empty(t.shape, dtype=np.int64)
        xi = np.empty(t.shape, dtype=np.float64)
        _kernels.locate(*self._partition(), t, intervals, xi)
        return intervals, xi

    def evaluate(
        self,
        coefficients: npt.ArrayLike,
        times: npt.ArrayLike,
        derivative: int = 0,
        out: npt.NDArray[np.float64] | None = None,
        slab: TimeSlab | None = None,
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
            Array to write the result into. When a time outside the slab is refused, it may
            have been written in part.
        slab : TimeSlab, optional
            A slab of this space: evaluate from that slab's coefficients, reading no others.

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
            if not isinstance(slab, _slabs.TimeSlab):
                raise TypeError(f"slab: expected None or a TimeSlab, got {checks.describe(slab)}")
            if slab.space != self:
                raise ValueError(f"slab: a slab of {slab.space!r}, expected a slab of V = {self!r}")
            first, width = slab.k0, slab.n_intervals
            c = checks.batch_of("coefficients", coefficients, slab.size, "slab.size")
        t = checks.as_float_array("times", times)
        derivative = checks.derivative_order(derivative)
        return self._evaluate_window(c, t, derivative, out, first, width, False)

    def _evaluate_window(
        self,
        c: npt.NDArray[np.float64],
        t: npt.NDArray[np.float64],
        derivative: int,
        out: npt.NDArray[np.float64] | None,
        first: int,
        width: int,
        closed: bool,
    ) -> npt.NDArray[np.float64]:
        """evaluate on checked arguments: coefficient vectors of the intervals [first, first + width),
        closed on the right (a time on its right end on the last interval) when `closed`."""
        shape = c.shape[:-1] + t.shape
        if out is None:
            target = result = np.empty(shape, dtype=np.float64)
        else:
            checks.check_out(out, shape)
            direct = out.flags.c_contiguous and out.flags.aligned
            if direct and not np.may_share_memory(out, c) and not np.may_share_memory(out, t):
                target = result = out
            else:
                target, result = np.empty(shape, dtype=np.float64), out
        done = _kernels.evaluate(self._degree, *self._partition(), first, width, int(closed), c, t, derivative, target)
        if done != t.size:
            time = t.reshape(-1)[done]
            k = int(self.locate(time)[0])
            raise ValueError(
                f"times: times.flat[{done}] = {float(time)!r} lies in interval {k}, outside the slab's intervals "
                f"[{first}, {first + width})" + (" and its right end" if closed else "")
            )
        if target is not result:
            result[...] = target
        return result

    def basis_matrix(self, times: npt.ArrayLike, derivative: int = 0) -> scipy.sparse.csr_array[np.float64]:
        """Values (or time derivatives) of all basis functions at many times, as a sparse matrix.

        Parameters
        ----------
        times : array_like of float, any shape (flattened in C order)
        derivative : {0, 1}

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
        kernel(self._degree, *self._partition(), t, derivative, indptr, indices, data)
        return _csr(data, indices, indptr, (n, self._size))

    def mass_matrix(self, rows: TimeSlab | range | None = None) -> scipy.sparse.csr_array[np.float64]:
        """The L2 Gram matrix of the basis on [0, T].

        Parameters
        ----------
        rows : TimeSlab or range, optional
            Build only these rows: a slab of this space (the positions it owns, see ``TimeSlab``)
            or a range of step 1 within ``range(size)``. None (the default) builds every row.

        Returns
        -------
        scipy.sparse.csr_array, shape (number of rows asked, size)
            Diagonal: ``dt / (2*i + 1)`` for P_i on every interval, degree-major. With `rows`, row
            j of the result is global row ``rows[j]`` (``slab.rows[j]``), its entry in the global
            column of that row, the same bits as the whole matrix.

        Raises
        ------
        TypeError
            `rows` not None, a TimeSlab or a range: "rows: expected None, a TimeSlab or a range,
            got ...".
        ValueError
            A range of step other than 1 ("rows: expected a range with step 1, got ...") or
            beyond the rows (e.g. "rows: expected a range with 0 <= start <= stop <= 4 (the
            operator's rows), got range(0, 5)"); a slab of another space ("rows: a slab of ...,
            expected a slab of V = ...").

        Example
        -------
        >>> V = LegendreSpace(1, 2, 3.0); V.mass_matrix().diagonal().tolist()
        [1.5, 1.5, 0.5, 0.5]
        >>> V.mass_matrix(rows=V.slab(1, 2)).toarray().tolist()
        [[0.0, 1.5, 0.0, 0.0], [0.0, 0.0, 0.0, 0.5]]
        """
        ranges = _slabs.requested_ranges(rows, self._size, (self,), f"V = {self!r}")
        positions = _slabs.concatenated(ranges)
        count = positions.size
        diagonal = np.empty(count, dtype=np.float64)
        n_t = self._n_t
        start = 0
        for r in ranges:
            # The part of the range on each degree i holds dt / (2*i + 1).
            for i in range(r.start // n_t, (r.stop + n_t - 1) // n_t):
                length = min(r.stop, (i + 1) * n_t) - max(r.start, i * n_t)
                diagonal[start : start + length] = self.dt / (2.0 * i + 1.0)
                start += length
        index = checks.index_dtype(count, self._size)
        return _csr(diagonal, positions.astype(index, copy=False), np.arange(count + 1, dtype=index),
                    (count, self._size))

    def project(self, f: Callable[[npt.NDArray[np.float64]], npt.ArrayLike]) -> npt.NDArray[np.float64]:
        """L2 projection of a function onto the space.

        Parameters
        ----------
        f : callable
            Vectorised: ``f(t)`` for a float64 array ``t`` of shape (n,) returns an array of shape
            (..., n) (leading axes make a batch).

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
        m = self._degree + 1
        nodes, weights = np.polynomial.legendre.leggauss(m + 1)
        left = np.arange(self._n_t, dtype=np.float64) * self.dt
        right = self.dt + left
        middle = (left + right) / 2.0
        half = (right - left) / 2.0
        times = (middle[:, None] + half[:, None] * nodes[None, :]).reshape(-1)
        values = checks.call_on_times("f", f, times, times.size)
        # B[q, i] = w_q P_i(x_q) (2i + 1) / 2: the coefficient of P_i is sum_q f(t_q) B[q, i].
        B = np.polynomial.legendre.legvander(nodes, self._degree) * (weights[:, None] * (np.arange(m) + 0.5))
        local = values.reshape(values.shape[:-1] + (self._n_t, m + 1)) @ B
        return np.ascontiguousarray(np.swapaxes(local, -1, -2)).reshape(values.shape[:-1] + (self._size,))


class LagrangeSpace(_Space):
    """Continuous piecewise Lagrange polynomials on ``n_t`` equal intervals of [0, T].

    The nodes (``points``) are the equidistant nodes of every interval, each interior interval end
    once, ending with T: point ``k*degree + j`` is local node j of interval k. They equal
    ``pwpoly.get_lagrange_points(degree, n_t, T)`` bit for bit, and the operators hold exactly the
    entries of ``pwpoly.lagrange_prolongation_matrix`` and
    ``pwpoly.lagrange_to_legendre_basis_transformation``.

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
        As for ``LegendreSpace``, with ``degree`` >= 1; ``prolongation_to`` also refuses a space
        of another degree or T, e.g. "fine: degree is 2, expected W.degree = 1".
    AttributeError
        On setting or deleting any attribute, as for ``LegendreSpace``.

    Example
    -------
    >>> LagrangeSpace(1, 2, 1.0).evaluate([0.0, 1.0, 0.0], [0.25, 0.5])
    array([0.5, 1. ])
    """

    __slots__ = ()

    def __init__(self, degree: int, n_t: int, T: float) -> None:
        self._init(degree, n_t, T, 1)
        object.__setattr__(self, "_size", self._n_t * self._degree + 1)

    @property
    def points(self) -> npt.NDArray[np.float64]:
        """The nodes, float64 array of shape (size,), read-only.

        Raises
        ------
        ValueError
            On writing into the array: "assignment destination is read-only".

        Example
        -------
        >>> LagrangeSpace(2, 2, 1.0).points.tolist()
        [0.0, 0.25, 0.5, 0.75, 1.0]
        """
        points = self._cache.get("points")
        if points is None:
            points = np.empty(self._size, dtype=np.float64)
            _kernels.lagrange_points(self._degree, *self._partition(), 0, self._size, points)
            points.flags.writeable = False
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
        _kernels.lagrange_points(self._degree, *self._partition(), block.start, block.stop, points)
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
        return LegendreSpace(self._degree, self._n_t, self._T)

    def prolongation_to(
        self, fine: LagrangeSpace, rows: TimeSlab | range | None = None
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
        if not isinstance(fine, LagrangeSpace):
            raise TypeError(f"fine: expected a LagrangeSpace, got {checks.describe(fine)}")
        if fine.degree != self._degree:
            raise ValueError(f"fine: degree is {fine.degree}, expected W.degree = {self._degree}")
        if fine.T != self._T:
            raise ValueError(f"fine: T is {fine.T!r}, expected W.T = {self._T!r}")
        (block,) = _slabs.requested_ranges(rows, fine.size, (fine,), f"fine = {fine!r}")
        d = self._degree
        first, last = block.start, block.stop
        count = last - first
        # Room for every entry: a fine node on a coarse node stores a single 1.0, any other at
        # most d + 1 values. Fewer are stored only for a node within the tolerance of a coarse
        # node without lying on it, which takes counts far beyond memory; the arrays are then
        # shrunk to the entries.
        room = _kernels.prolongation_room(d, *self._partition(), *fine._partition(), first, last)
        index = checks.index_dtype(room, count, self._size)
        indptr = np.empty(count + 1, dtype=index)
        indptr[0] = 0
        indices = np.empty(room, dtype=index)
        data = np.empty(room, dtype=np.float64)
        kernel = _kernels.prolongation32 if index is np.int32 else _kernels.prolongation64
        nnz = kernel(d, *self._partition(), *fine._partition(), first, last, indptr, indices, data)
        if nnz < room:
            # Shrunk in place (the arrays are fresh and referenced nowhere else).
            indices.resize(nnz, refcheck=False)
            data.resize(nnz, refcheck=False)
            if index is np.int64 and checks.index_dtype(nnz, count, self._size) is np.int32:
                # The bound needed wide indices, the entries do not: scipy's own choice.
                indptr, indices = indptr.astype(np.int32), indices.astype(np.int32)
        return _csr(data, indices, indptr, (count, self._size))

    def to_legendre(self, rows: TimeSlab | range | None = None) -> scipy.sparse.csr_array[np.float64]:
        """The map from nodal values to Legendre coefficients.

        Parameters
        ----------
        rows : TimeSlab or range, optional
            Build only these rows (Legendre positions): a slab of this space or of
            ``legendre_space()`` (the positions ``i*n_t + k`` of its intervals k, every degree i),
            or a range of step 1 within ``range(legendre_space().size)``. None (the default)
            builds every row.

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
        legendre = self.legendre_space()
        ranges = _slabs.requested_ranges(
            rows, legendre.size, (self, legendre), f"W = {self!r} or of W.legendre_space()",
            lambda slab: legendre.slab(slab.k0, slab.k1).row_ranges,
        )
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
                   indices[position * m : end * m], data[position * m : end * m])
            position = end
        return _csr(data, indices, indptr, (count, self._size))

    def mass_matrix(self, rows: TimeSlab | range | None = None) -> scipy.sparse.csr_array[np.float64]:
        """The L2 Gram matrix of the nodal basis on [0, T].

        Parameters
        ----------
        rows : TimeSlab or range, optional
            Build only these rows (points): a slab of this space (the points it owns, see
            ``TimeSlab``) or a range of step 1 within ``range(size)``. None (the default) builds
            every row.

        Returns
        -------
        scipy.sparse.csr_array, shape (number of rows asked, size)
            Symmetric, exact up to rounding (relative 1e-13 for moderate degrees); each row holds
            the nodes sharing an interval with its node, columns ascending. With `rows`, row j of
            the result is global row ``rows[j]`` (``slab.rows[j]``), columns global, the same bits
            as the whole matrix.

        Raises
        ------
        TypeError
            `rows` not None, a TimeSlab or a range: "rows: expected None, a TimeSlab or a range,
            got ...".
        ValueError
            A range of step other than 1 or beyond ``range(size)``; a slab of another space
            ("rows: a slab of ..., expected a slab of W = ...").

        Example
        -------
        >>> LagrangeSpace(1, 1, 6.0).mass_matrix().toarray().tolist()
        [[2.0, 1.0], [1.0, 2.0]]
        """
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
        kernel(d, *self._partition(), first, last, indptr, indices, data)
        return _csr(data, indices, indptr, (count, self._size))

    def interpolate(self, f: Callable[[npt.NDArray[np.float64]], npt.ArrayLike]) -> npt.NDArray[np.float64]:
        """Nodal values of a function.

        Parameters
        ----------
        f : callable
            Vectorised: ``f(points)`` returns an array of shape (..., size).

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
        return checks.call_on_times("f", f, self.points, self._size)

    def evaluate(
        self,
        values: npt.ArrayLike,
        times: npt.ArrayLike,
        derivative: int = 0,
        out: npt.NDArray[np.float64] | None = None,
        slab: TimeSlab | None = None,
    ) -> npt.NDArray[np.float64]:
        """Values (or time derivatives) of continuous piecewise Lagrange functions at many times.

        Parameters
        ----------
        values : array_like of float, shape (..., size), or (..., slab.n_intervals * degree + 1)
            One or a batch of nodal value vectors; with `slab`, the values of the slab's points
            and its right ghost alone, points ``slab.k0*degree ... slab.k1*degree``
            (``global_u[..., k0*degree : k1*degree + 1]``).
        times : array_like of float, any shape
            With `slab`, every time from the slab's first node to its right ghost node,
            [slab.t0, slab.t1], its own nodes included; a time on slab.t1 below T (the ghost node,
            which ``locate`` puts in the next slab) is evaluated on the slab's last interval: the
            left limit there, equal to the global value up to rounding.
        derivative : {0, 1}
        out : ndarray of float64, shape values.shape[:-1] + times.shape, optional
        slab : TimeSlab, optional
            A slab of this space: evaluate from the values of its points alone.

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
            return self._evaluate_slab(values, times, derivative, out, slab)
        u = checks.batch_of("values", values, self._size, "W.size")
        t = checks.as_float_array("times", times)
        derivative = checks.derivative_order(derivative)
        if out is not None:
            checks.check_out(out, u.shape[:-1] + t.shape)
        transformation = self._cache.get("to_legendre")
        if transformation is None:
            transformation = self.to_legendre()
            self._cache["to_legendre"] = transformation
        flat = u.reshape(-1, self._size)
        coefficients = (transformation @ flat.T).T.reshape(u.shape[:-1] + (transformation.shape[0],))
        return self.legendre_space().evaluate(coefficients, t, derivative, out)

    def _evaluate_slab(
        self,
        values: npt.ArrayLike,
        times: npt.ArrayLike,
        derivative: int,
        out: npt.NDArray[np.float64] | None,
        slab: TimeSlab,
    ) -> npt.NDArray[np.float64]:
        if not isinstance(slab, _slabs.TimeSlab):
            raise TypeError(f"slab: expected None or a TimeSlab, got {checks.describe(slab)}")
        if slab.space != self:
            raise ValueError(f"slab: a slab of {slab.space!r}, expected a slab of W = {self!r}")
        d = self._degree
        count = slab.n_intervals * d + 1
        u = checks.batch_of("values", values, count, "slab.n_intervals * W.degree + 1")
        t = checks.as_float_array("times", times)
        derivative = checks.derivative_order(derivative)
        if out is not None:
            checks.check_out(out, u.shape[:-1] + t.shape)
        # The slab's rows of the transformation, its columns moved to the local points: the same
        # entries in the same order, so the same sums as the whole transformation's rows.
        cached = self._cache.get("to_legendre_slab")
        if cached is None or cached[0] != slab:
            block = self.to_legendre(rows=slab)
            indices = block.indices - block.indices.dtype.type(slab.k0 * d)
            cached = (slab, _csr(block.data, indices, block.indptr, (block.shape[0], count)))
            self._cache["to_legendre_slab"] = cached
        transformation = cached[1]
        flat = u.reshape(-1, count)
        coefficients = (transformation @ flat.T).T.reshape(u.shape[:-1] + (transformation.shape[0],))
        V = self.legendre_space()
        c = np.ascontiguousarray(coefficients, dtype=np.float64)
        return V._evaluate_window(c, t, derivative, out, slab.k0, slab.n_intervals, True)
