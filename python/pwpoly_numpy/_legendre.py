"""The discontinuous piecewise Legendre space."""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Literal, Self

import numpy as np
import numpy.typing as npt
import scipy.sparse

from . import _checks as checks
from . import _csr, _galerkin, _kernels
from . import _partition as partitions
from . import _quadrature as quadratures
from ._partition import TimeSlab
from ._space import Space, document_shared_members

if TYPE_CHECKING:  # pragma: no cover
    from ._checks import ArrayLikeOrSparse
    from ._lagrange import LagrangeSpace


class LegendreSpace(Space):
    r"""Discontinuous piecewise Legendre polynomials in time: the space of dG(q).

    The space lives on ``n_t`` equal intervals of [0, T], or on the intervals between any strictly
    increasing ``breakpoints``. On interval k (from ``k*dt`` to ``dt + k*dt``, ``dt = T / n_t``, or
    from ``breakpoints[k]`` to ``breakpoints[k + 1]``) the basis functions are the Legendre
    polynomials P_0 ... P_degree of the local coordinate ``xi = ((t - a) - (b - t)) / (b - a)`` in
    [-1, 1], formed from the interval's own ends a = ``breakpoints[k]`` and
    b = ``breakpoints[k + 1]`` (exact at both ends, within 2 eps of the exact coordinate of the
    given double). Vectors of one number per basis function are degree-major: position
    ``i*n_t + k`` holds P_i on interval k. On equal intervals the numbers are those of
    ``pwpoly.LegendreBasis`` and ``pwpoly.LegendreBasisEvaluator`` up to rounding, wherever both
    pick the same interval (see Notes).

    Parameters
    ----------
    degree : int
        Polynomial degree, >= 0.
    n_t : int
        Number of intervals, >= 1.
    T : float
        End of the time interval, finite and > 0.
    breakpoints : array_like of float, shape (n_t + 1,), optional
        Instead of n_t and T: strictly increasing finite interval ends, at least 2, any start; the
        space keeps a read-only copy. A uniform space and a space on its ``breakpoints`` give the
        same bits in every method and are accepted as one partition (``trial=``, slabs), though each
        is equal only to its own kind.

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
        normal number"), or a last interval end that overflows; n_t without T ("T: expected the end
        of the time interval after n_t = 10, got none") or T without n_t; both n_t and T and
        breakpoints, or neither ("breakpoints: give either n_t and T or breakpoints, got both");
        breakpoints not 1-D, fewer than 2, not finite, not strictly increasing ("breakpoints:
        expected strictly increasing values, got breakpoints[1] = 0.5 and breakpoints[2] = 0.5"),
        an interval length that is not a positive normal number (the rule of T / n_t:
        "breakpoints: the interval length breakpoints[1] - breakpoints[0] = 5e-324 is not a
        positive normal number"), or the first and last farther apart than the largest float; the
        breakpoints are copied first and the copy checked; in the methods, e.g. "coefficients: last
        axis has length 11, expected V.size = 12", "times: 1000... (int) is beyond the largest
        float".
    AttributeError
        On setting or deleting any attribute: the space is an immutable value, e.g.
        "LegendreSpace objects are immutable: cannot set 'degree'".

    See Also
    --------
    LagrangeSpace : The continuous piecewise Lagrange space of cG(q).
    TimeSlab : A range of intervals and the rows it owns, for work parallel in time.
    solve_galerkin : dG(q) time stepping on this space.
    pwpoly.LegendreBasis : The scalar face's basis on equal intervals.
    pwpoly.LegendreBasisEvaluator : The scalar face's evaluator of one expansion.

    Notes
    -----
    An expansion with coefficients c is, on interval k from a = ``breakpoints[k]`` to
    b = ``breakpoints[k + 1]``,

    .. math::

        u(t) = \sum_{i=0}^{q} c_{i n_t + k} \, P_i(\xi), \qquad
        \xi = \frac{(t - a) - (b - t)}{b - a}, \qquad a \le t < b,

    q the degree; its derivative of order m is :math:`(2 / (b - a))^m` times the sum with the m-th
    derivatives of the :math:`P_i` in :math:`\xi`.

    Times before t0 are evaluated at the left end of the first interval, times after T at the
    right end of the last one (the polynomial is not extrapolated); a NaN time gives NaN (except
    for the constant P_0, and the derivative of P_0 and P_1). Interval k is ``[b_k, b_{k+1})`` with
    ``b_k = breakpoints[k] = k*dt``, the last one closed at T: a time on an interior interval end
    belongs to the interval on its right, at local coordinate -1 exactly. ``pwpoly`` locates by
    ``floor(t / dt)`` instead, which puts some interior ends on their left at coordinate 1, and
    forms the coordinate from the rounded midpoint of ``k*dt`` and ``dt + k*dt``; where both pick
    the same interval their coordinates agree within ``(3*|t|/dt + 4)`` eps.

    Array arguments (times, coefficients, values) are numbers only: arrays of bool (read as 0.0
    and 1.0), integer or floating dtype, or sequences of real numbers (Python ints and fractions
    included). None, strings, bytes and other objects are a ``TypeError``, an integer beyond the
    float range a ``ValueError``.

    A subclass may add members and override public ones: the methods read only the space's own
    checked fields. It may not redefine a private member (a ``TypeError`` when it is made).

    Examples
    --------
    >>> pn.LegendreSpace(2, 4, 1.0).evaluate(np.arange(1.0, 13.0), [0.3, 0.9], derivative=1)
    array([-96. , 121.6])
    """

    __slots__ = ()
    _basis = 0  # the kernels' code of the Legendre basis

    def __new__(
        cls, degree: int, n_t: int | None = None, T: float | None = None, breakpoints: npt.ArrayLike | None = None
    ) -> Self:
        self = super().__new__(cls)
        self._set_fields(degree, n_t, T, breakpoints, 0)
        return self

    @staticmethod
    def _size_of(degree: int, n_t: int) -> int:
        return n_t * (degree + 1)

    def _slab_ranges(self, k0: int, k1: int) -> tuple[range, ...]:
        n_t = self._partition.n_t
        return tuple(range(i * n_t + k0, i * n_t + k1) for i in range(self._degree + 1))

    def locate(self, times: npt.ArrayLike, workers: int = 1) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
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
            Interval k holding the time, ``breakpoints[k] <= t < breakpoints[k + 1]`` (an interior
            interval end on its right; 0 for times before t0 and NaN, n_t - 1 from
            ``breakpoints[n_t - 1]`` on).
        xi : ndarray of float64, shape times.shape
            Local coordinate in [-1, 1] on that interval (NaN for a NaN time).

        Raises
        ------
        TypeError
            `times` not real numbers: "times: expected an array-like of real numbers, got ...".

        See Also
        --------
        LegendreSpace.locate_slab : Which slab owns each time.
        LegendreSpace.evaluate : Expansions at the times, through the same lookup.
        LegendreSpace.breakpoints : The interval ends.

        Examples
        --------
        >>> pn.LegendreSpace(1, 4, 1.0).locate([0.25, 0.375])
        (array([1, 1]), array([-1.,  0.]))
        """
        t = checks.as_float_array("times", times)
        return self._locate(t, checks.workers(workers))

    def evaluate(
        self,
        coefficients: ArrayLikeOrSparse,
        times: npt.ArrayLike,
        derivative: int = 0,
        out: npt.NDArray[np.float64] | None = None,
        slab: TimeSlab[Self] | None = None,
        workers: int = 1,
        side: Literal["left", "right"] = "right",
    ) -> npt.NDArray[np.float64]:
        """Values (or time derivatives) of piecewise Legendre expansions at many times.

        Parameters
        ----------
        coefficients : array_like of float, shape (..., size), or (..., slab.size) with `slab`
            One or a batch of coefficient vectors, degree-major; with `slab`, the slab's
            coefficients alone, in the order of ``slab.rows`` (``global_c[..., slab.rows]``).
            A scipy sparse array (as type checkers see a product ``A @ u``) is made dense.
        times : array_like of float, any shape (a scalar gives 0-d results)
            A time before t0 is evaluated at t0 on the first interval, one after T at T on the
            last (clamped: the polynomials are not extrapolated). With `slab`, every time must lie
            in the slab: its interval from ``locate`` in [slab.k0, slab.k1) (``locate_slab``
            tells which slab owns a time).
        derivative : int, optional
            Order of the time derivative, >= 0 (default 0: the values); every order above the
            degree gives zeros. The derivative of order k is ``(2 / h)**k`` times the sum with
            the k-th derivatives of the P_i, h the interval's length.
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
        side : {"right", "left"}, optional
            At an interior breakpoint t_k, the value of interval k ("right", the default: a
            breakpoint belongs to the interval on its right) or the left limit, the end of
            interval k - 1 ("left"). Elsewhere, and at t0 and T, the two agree. With `slab`,
            "left" also admits the slab's right end ``slab.t1``, read from its last interval, and
            refuses its left end ``slab.t0`` when the slab does not start the partition (that left
            limit lies in the slab before).

        Returns
        -------
        ndarray of float64, shape coefficients.shape[:-1] + times.shape
            ``result[b..., j...]``: the expansion ``sum_i c[b..., i*n_t + k] P_i(xi)`` of vector
            ``b`` at ``times[j...]`` (k and xi from ``locate``), summed in degree order, or its
            time derivative of order `derivative`; with `slab`, bit for bit the evaluation of the
            global vectors the slab's coefficients belong to.

        Raises
        ------
        TypeError
            `coefficients` or `times` not real numbers ("times: expected an array-like of real
            numbers, got ..."); `derivative` not an integer; `slab` not None or a TimeSlab;
            `out` not an ndarray or not float64 ("out: expected dtype float64, got dtype
            float32").
        ValueError
            `coefficients` a scalar or of the wrong last axis ("coefficients: last axis has
            length 11, expected V.size = 12", or ``slab.size`` with `slab`); `derivative`
            negative ("derivative: expected an integer >= 0, got -1"); `out` of the wrong shape or
            read-only; `slab` of another space ("slab: a slab of ..., expected a slab of V =
            ..."); a time outside the slab ("times:
            times.flat[0] = 0.25 lies in interval 0, outside the slab's intervals [1, 2)").

        See Also
        --------
        LegendreSpace.basis_matrix : The same values as a sparse matrix of the basis functions.
        LegendreSpace.locate : The interval and local coordinate of each time.
        LagrangeSpace.evaluate : The continuous counterpart, from nodal values.
        GalerkinSolution.__call__ : A solution of ``solve_galerkin`` at times.
        pwpoly.LegendreBasis.evaluate_at : The scalar face, one time and one expansion.
        pwpoly.LegendreBasisEvaluator.evaluate_derivative_at : The scalar face's time derivative.

        Examples
        --------
        >>> V = pn.LegendreSpace(1, 2, 1.0); V.evaluate([1.0, 2.0, 3.0, 4.0], [0.25, 0.5])
        array([ 1., -2.])
        >>> V.evaluate([2.0, 4.0], 0.75, slab=V.slab(1, 2))
        array(2.)
        """
        if slab is None:
            first, width = 0, self._partition.n_t
            c = checks.batch_of("coefficients", coefficients, self._size, "V.size")
        else:
            checked = partitions.slab_of("slab", slab, (self,), f"V = {self!r}")
            first, width = checked._k0, checked._k1 - checked._k0
            c = checks.batch_of("coefficients", coefficients, width * (self._degree + 1), "slab.size")
        t = checks.as_float_array("times", times)
        derivative = checks.derivative_order(derivative)
        threads = checks.workers(workers)
        if checks.side(side) == "left":
            return self._evaluate_left(c, t, derivative, out, first, width, False, threads)
        return self._evaluate_window(c, t, derivative, out, first, width, False, threads)

    def _evaluate_left(
        self,
        c: npt.NDArray[np.float64],
        t: npt.NDArray[np.float64],
        derivative: int,
        out: npt.NDArray[np.float64] | None,
        first: int,
        width: int,
        closed: bool,
        threads: int = 1,
    ) -> npt.NDArray[np.float64]:
        """_evaluate_window with left limits: a time on the left end of interval k of the window
        [first + 1, first + width] is evaluated on interval k - 1, at its right end."""
        intervals, _ = self._locate(t)
        ends = self._partition.breakpoints()
        flat_t, flat_k = t.reshape(-1), intervals.reshape(-1)
        if first > 0:
            # The left limit at the window's own left end belongs to the interval before it.
            before = np.flatnonzero((flat_k == first) & (flat_t == ends[first]))
            if before.size:
                j = int(before[0])
                raise ValueError(
                    f"times: times.flat[{j}] = {float(flat_t[j])!r} is the left end of the slab's intervals "
                    f"[{first}, {first + width}): its left limit lies in interval {first - 1}, outside the slab"
                )
        left = (flat_k > first) & (flat_k <= first + width)
        left[left] = flat_t[left] == ends[flat_k[left]]
        if not left.any():
            return self._evaluate_window(c, t, derivative, out, first, width, closed, threads)
        batch = c.shape[:-1]
        result = np.empty(batch + (t.size,), dtype=np.float64)
        others = np.flatnonzero(~left)
        result[..., others] = self._evaluate_window(c, flat_t[others], derivative, None, first, width, closed, threads)
        m = self._degree + 1
        for k in np.unique(flat_k[left]):
            chosen = np.flatnonzero(left & (flat_k == k))
            own = np.ascontiguousarray(c[..., (int(k) - 1 - first) + width * np.arange(m)])
            result[..., chosen] = self._evaluate_window(own, flat_t[chosen], derivative, None, int(k) - 1, 1, True)
        shaped = result.reshape(batch + t.shape)
        if out is None:
            return shaped
        checks.check_out(out, shaped.shape)[...] = shaped
        return out

    def _evaluate_window(
        self,
        c: npt.NDArray[np.float64],
        t: npt.NDArray[np.float64],
        derivative: int,
        out: npt.NDArray[np.float64] | None,
        first: int,
        width: int,
        closed: bool,
        threads: int = 1,
    ) -> npt.NDArray[np.float64]:
        """evaluate on checked arguments: coefficient vectors of the intervals [first, first + width),
        closed on the right (a time on its right end on the last interval) when `closed`."""
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
        done = _kernels.evaluate(
            self._degree,
            *self._partition.kernel_arguments(),
            first,
            width,
            int(closed),
            c,
            t,
            derivative,
            target,
            threads,
        )
        if done != t.size:
            time = t.reshape(-1)[done]
            k = int(self._locate(np.asarray(time))[0])
            raise ValueError(
                f"times: times.flat[{done}] = {float(time)!r} lies in interval {k}, outside the slab's intervals "
                f"[{first}, {first + width})" + (" and its right end" if closed else "")
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
        derivative : int, optional
            Order of the time derivative, >= 0 (default 0: the values); zeros above the degree.
        workers : int, optional
            Threads sharing the work by consecutive times (rows) (default 1; -1: every core this
            process may use); the result has the same bits for every count. ValueError for 0 or
            below -1, TypeError for a non-integer.

        Returns
        -------
        scipy.sparse.csr_array, shape (times.size, size)
            Row j holds the degree + 1 entries of the interval holding ``times.flat[j]``, all stored
            (also zeros), columns ascending: ``P_i(xi)`` at column ``i*n_t + k``, or its time
            derivative of order `derivative`, ``(2 / h)**derivative`` times the derivative in xi
            (the values of ``evaluate`` with a unit coefficient vector, same bits).

        Raises
        ------
        TypeError
            `times` not real numbers ("times: expected an array-like of real numbers, got ...");
            `derivative` not an integer ("derivative: expected an integer, got ...").
        ValueError
            `derivative` negative ("derivative: expected an integer >= 0, got -1"); more than the largest
            array size of stored entries ("times: ... times give ... stored entries, more than
            the largest array size").

        See Also
        --------
        LegendreSpace.evaluate : The same values applied to coefficient vectors.
        LagrangeSpace.basis_matrix : The nodal basis functions at times.
        pwpoly.LegendreBasis.evaluate_all_basis_functions : The scalar face, one time.
        pwpoly.LegendreBasis.evaluate_all_basis_function_derivatives : Its time derivatives.

        Examples
        --------
        >>> pn.LegendreSpace(1, 2, 1.0).basis_matrix([0.25, 0.5]).toarray().tolist()
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
        arguments = (self._degree, *self._partition.kernel_arguments(), t, derivative)
        return _csr.rows_matrix(
            (_kernels.basis_matrix32, _kernels.basis_matrix64),
            (n, self._size),
            nnz,
            lambda kernel, indptr, indices, data: kernel(*arguments, indptr, indices, data, threads),
        )

    def mass_matrix(
        self,
        rows: TimeSlab[Self] | range | None = None,
        *,
        trial: LegendreSpace | LagrangeSpace | None = None,
        workers: int = 1,
    ) -> scipy.sparse.csr_array[np.float64]:
        r"""The L2 Gram matrix of the basis on [t0, T], or with another trial space.

        Parameters
        ----------
        rows : TimeSlab or range, optional
            Build only these rows: a slab of this space (the positions it owns, see ``TimeSlab``)
            or a range of step 1 within ``range(size)``. None (the default) builds every row.
        trial : LegendreSpace or LagrangeSpace, optional, keyword-only
            The space of the columns, on the same partition (any degree); default this space.
        workers : int, optional, keyword-only
            Threads sharing the work by consecutive rows (default 1; -1: every core this
            process may use); the result has the same bits for every count. ValueError for 0 or
            below -1, TypeError for a non-integer.

        Returns
        -------
        scipy.sparse.csr_array, shape (number of rows asked, trial.size)
            Entry (i*n_t + k, c) is the integral of P_i on interval k times trial function c.
            With this space (or a LegendreSpace of any degree) as trial: ``lengths[k] / (2*i + 1)``
            (``dt / (2*i + 1)`` on equal intervals) at column ``i*n_t + k`` for i up to the
            smaller degree, nothing else (exactly the closed form). With a LagrangeSpace:
            ``lengths[k]`` times half the integral on [-1, 1] by a Gauss-Legendre rule exact for
            the degrees, the same bits on every machine, within 1e-13 relative of the exact
            integral; integrals within the rounding of their own sums are not stored (Notes).
            With `rows`, row j of the result is global row ``rows[j]`` (``slab.rows[j]``),
            columns global, the same bits as the whole matrix.

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

        See Also
        --------
        LegendreSpace.derivative_matrix : Test functions against trial derivatives.
        LegendreSpace.load_vector : The integrals of a function against the basis.
        LegendreSpace.projection_to : The L2 projection onto another Legendre space.
        LagrangeSpace.mass_matrix : The Gram matrix of the nodal basis.
        solve_galerkin : The time stepping these operators make.

        Notes
        -----
        With the test functions :math:`\psi_{i n_t + k} = P_i(\xi)` on interval k and the trial
        functions :math:`\phi_c`,

        .. math:: M_{i n_t + k, \, c} = \int_{b_k}^{b_{k+1}} \psi_{i n_t + k}(t) \, \phi_c(t) \, dt,

        which for Legendre trial functions is :math:`(b_{k+1} - b_k) / (2i + 1)` on the diagonal
        and zero elsewhere.

        Which entries are stored, for every Galerkin operator of the array face (mass,
        derivative, projection): an entry computed as a sum of n quadrature terms :math:`w f g`
        is left out when it lies within :math:`4 n \varepsilon` of the sum of its terms'
        magnitudes, a bound on the rounding of the computed sum (:math:`\varepsilon` = 2**-52);
        every other entry is stored. Measured against exact rational arithmetic, the sums of
        exact zeros (a Lagrange function symmetric about the interval's middle against an odd
        :math:`P_a`, :math:`\ell_j` against :math:`\ell_j'` on the interior diagonal, a Legendre
        function against one of lower degree on an interval inside the other's) stay below
        :math:`2 n \varepsilon` of that scale to degree 128, so no rounding noise is stored, and
        every exact nonzero up to degree 64 is stored (the smallest lie thousands of times above
        the bound). At degree 96 and above some exact entries between a Lagrange and a Legendre
        basis fall within the rounding of their own sums (the equidistant nodes'
        ill-conditioning): left out, they err no more than the rounding the stored entries
        carry.

        Examples
        --------
        >>> V = pn.LegendreSpace(1, 2, 3.0); V.mass_matrix().diagonal().tolist()
        [1.5, 1.5, 0.5, 0.5]
        >>> V.mass_matrix(rows=V.slab(1, 2)).toarray().tolist()
        [[0.0, 1.5, 0.0, 0.0], [0.0, 0.0, 0.0, 0.5]]
        >>> V.mass_matrix(trial=pn.LagrangeSpace(1, 2, 3.0)).toarray().round(12).tolist()
        [[0.75, 0.75, 0.0], [0.0, 0.75, 0.75], [-0.25, 0.25, 0.0], [0.0, -0.25, 0.25]]
        """
        return _galerkin.mass_matrix(self, rows, trial, workers)

    def derivative_matrix(
        self,
        rows: TimeSlab[Self] | range | None = None,
        *,
        trial: LegendreSpace | LagrangeSpace | None = None,
        upwind: bool = False,
        workers: int = 1,
    ) -> scipy.sparse.csr_array[np.float64]:
        r"""The time-derivative matrix: test functions of this space against trial derivatives.

        Parameters
        ----------
        rows : TimeSlab or range, optional
            Build only these rows, as for ``mass_matrix``.
        trial : LegendreSpace or LagrangeSpace, optional, keyword-only
            The space of the columns, on the same partition (any degree); default this space.
        upwind : bool, optional, keyword-only
            Add the jumps at the interval ends (test and trial Legendre): at every interior end
            t_k, ``(phi_j(t_k+) - phi_j(t_k-)) * psi_i(t_k+)``, and at the start
            ``phi_j(t0+) * psi_i(t0+)``. A breakpoint's values are its right limit; the left
            limit at t_k is the previous interval's end.
        workers : int, optional, keyword-only
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
            trial: the integral by a Gauss-Legendre rule exact for the degrees, and the entries
            stored, as for ``mass_matrix`` (its Notes). No stored zeros; with `rows`, the same bits as the whole matrix.

        Raises
        ------
        TypeError
            `rows` or `trial` as for ``mass_matrix``; `upwind` not a bool ("upwind: expected a
            bool, got ...").
        ValueError
            `rows` or `trial` as for ``mass_matrix``; `upwind` with a Lagrange trial space
            ("upwind: the traces need Legendre test and trial spaces, got the trial space ...").

        See Also
        --------
        LegendreSpace.mass_matrix : The Gram matrix, the other half of a Galerkin system.
        LagrangeSpace.derivative_matrix : Nodal test functions against trial derivatives.
        solve_galerkin : dG(q) with the upwind matrix, interval by interval.
        parareal, mgrit : The same solution parallel in time.

        Notes
        -----
        Entry (i*n_t + k, c), with the upwind jump for ``upwind=True``:

        .. math::

            D_{i n_t + k, \, c} = \int_{b_k}^{b_{k+1}} \psi_{i n_t + k}(t) \, \phi_c'(t) \, dt
            + \big(\phi_c(b_k^+) - \phi_c(b_k^-)\big) \, \psi_{i n_t + k}(b_k^+),

        where :math:`\phi_c(b_0^-) = 0` at the start. For ``M u' + A u = f``, dG(q) on all
        intervals at once is ``kron(derivative_matrix(upwind=True), M) + kron(mass_matrix(), A)``,
        the start value entering the right-hand side as
        ``kron(basis_matrix([t0]).toarray()[0], u0)``, its left value in the jump at t0.

        Examples
        --------
        >>> V = pn.LegendreSpace(1, 2, 1.0); V.derivative_matrix().toarray().tolist()
        [[0.0, 0.0, 2.0, 0.0], [0.0, 0.0, 0.0, 2.0], [0.0, 0.0, 0.0, 0.0], [0.0, 0.0, 0.0, 0.0]]
        >>> V.derivative_matrix(upwind=True).toarray().tolist()
        [[1.0, 0.0, 1.0, 0.0], [-1.0, 1.0, -1.0, 1.0], [-1.0, 0.0, 1.0, 0.0], [1.0, -1.0, 1.0, 1.0]]

        dG(2) for u' + 2 u = 0, u(0) = 1, on all intervals at once, as in the notes:

        >>> import scipy.sparse, scipy.sparse.linalg
        >>> V, M, A, u0 = pn.LegendreSpace(2, 8, 1.0), np.eye(1), np.array([[2.0]]), np.array([1.0])
        >>> K = scipy.sparse.kron(V.derivative_matrix(upwind=True), M) + scipy.sparse.kron(V.mass_matrix(), A)
        >>> c = scipy.sparse.linalg.spsolve(K.tocsc(), np.kron(V.basis_matrix([0.0]).toarray()[0], u0))
        >>> bool(np.allclose(c, pn.solve_galerkin(V, A, u0).coefficients[0], rtol=0, atol=1e-14))
        True
        """
        return _galerkin.derivative_matrix(self, rows, trial, upwind, workers)

    def projection_to(
        self, other: LegendreSpace, rows: TimeSlab[LegendreSpace] | range | None = None, workers: int = 1
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
            interval ends merged); 1.0 and nothing else between identical intervals (recognised
            first), and any other overlap, however narrow, by a Gauss-Legendre rule exact for the
            two degrees, run in each interval's local coordinate from its own ends (no time formed
            in absolute terms: within a few eps far from the origin, and for ends up to the
            largest double). On nested partitions a polynomial of the coarse space is reproduced
            and coarse to fine to coarse is the identity, up to rounding. Integrals within the
            rounding of their own sums are not stored (see the Notes of ``mass_matrix``), small
            exact ones above it are; with `rows`, the same bits as the whole. A row costs O(overlaps *
            (degree + other.degree)**2); the rows are built in parts of bounded work, between
            which Ctrl-C is taken.

        Raises
        ------
        TypeError
            `other` not a LegendreSpace ("other: expected a LegendreSpace, got ..."); `rows` as
            for ``mass_matrix``.
        ValueError
            `other` of another span ("other: ... spans [0.0, 2.0], expected the span of V = ...,
            [0.0, 1.0]"); `rows` as for ``mass_matrix``, a slab of another space than `other`.

        See Also
        --------
        LegendreSpace.project : The L2 projection of a function.
        LegendreSpace.mass_matrix : The Gram matrix of the basis.
        LagrangeSpace.prolongation_to : Interpolation between Lagrange spaces.

        Examples
        --------
        >>> pn.LegendreSpace(1, 1, 1.0).projection_to(pn.LegendreSpace(0, 2, 1.0)).toarray().tolist()
        [[1.0, -0.5], [1.0, 0.5]]
        """
        return _galerkin.projection_to(self, other, rows, workers)

    def project(
        self,
        f: Callable[[npt.NDArray[np.float64]], npt.ArrayLike],
        workers: int = 1,
        *,
        quadrature: int | tuple[npt.ArrayLike, npt.ArrayLike] | None = None,
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
        quadrature : int or (nodes, weights), optional, keyword-only
            The rule on every interval: a number of Gauss-Legendre points (default degree + 2),
            or nodes in [-1, 1] and their weights, e.g. a Gauss-Jacobi rule for an f singular at
            the interval ends.

        Returns
        -------
        ndarray of float64, shape (..., size)
            Coefficients, degree-major. With the default rule of degree + 2 Gauss-Legendre
            points the integrals are exact for polynomials f of degree up to degree + 3; a
            polynomial of at most the space's degree is reproduced up to rounding.

        Raises
        ------
        TypeError
            `f` not callable ("f: expected a callable, got ..."), or its result not real numbers
            ("f(t): expected an array-like of real numbers, got ..."); `quadrature` neither an
            integer nor a pair of arrays.
        ValueError
            The result of `f` not of shape (..., len(t)), e.g. "f: returned an array of shape (),
            expected shape (..., 6) ending in the length of its argument"; `quadrature` < 1, or
            nodes and weights of different shapes, not finite, or nodes outside [-1, 1].
        Exception
            Whatever `f` raises, unchanged.

        See Also
        --------
        LegendreSpace.load_vector : The integrals of f against the basis, by the same rule.
        LegendreSpace.projection_to : The projection of an expansion onto another space.
        LagrangeSpace.project : The projection onto the continuous space.
        LagrangeSpace.interpolate : Nodal values of a function.

        Examples
        --------
        >>> pn.LegendreSpace(1, 2, 1.0).project(lambda t: 2.0 * t).round(12).tolist()
        [0.5, 1.5, 0.5, 0.5]
        """
        threads = checks.workers(workers)
        nodes, weights = quadratures.rule(quadrature, self._degree + 2)
        values = self._values_at_rule(f, nodes)
        # B[r, i] = w_r P_i(x_r) (2i + 1) / 2: the coefficient of P_i is sum_r f(t_r) B[r, i].
        B = np.polynomial.legendre.legvander(nodes, self._degree) * (
            weights[:, None] * (np.arange(self._degree + 1) + 0.5)
        )
        return quadratures.interval_sums(values, B, self._partition.n_t, threads)

    def load_vector(
        self,
        f: Callable[[npt.NDArray[np.float64]], npt.ArrayLike],
        *,
        quadrature: int | tuple[npt.ArrayLike, npt.ArrayLike] | None = None,
        workers: int = 1,
    ) -> npt.NDArray[np.float64]:
        """The integrals of a function against every basis function.

        Parameters
        ----------
        f : callable
            As for ``project``.
        quadrature : int or (nodes, weights), optional, keyword-only
            As for ``project``: default degree + 2 Gauss-Legendre points per interval.
        workers : int, optional, keyword-only
            As for ``project``.

        Returns
        -------
        ndarray of float64, shape (..., size)
            Entry ``i*n_t + k``: the integral of f times P_i over interval k by the rule,
            ``lengths[k] / 2 * sum_r w_r P_i(x_r) f(t_r)``. ``mass_matrix()`` times the
            projection up to rounding, but with a rule of the caller's choice.

        Raises
        ------
        TypeError, ValueError, Exception
            As for ``project``.

        See Also
        --------
        LegendreSpace.project : The L2 projection, by the same rule.
        LegendreSpace.mass_matrix : The Gram matrix of the basis.
        LagrangeSpace.load_vector : The integrals against the nodal basis.
        solve_galerkin : Integrates its f against the test functions by such a rule.

        Examples
        --------
        >>> pn.LegendreSpace(1, 2, 1.0).load_vector(lambda t: 2.0 * t).round(12).tolist()
        [0.25, 0.75, 0.083333333333, 0.083333333333]
        """
        threads = checks.workers(workers)
        nodes, weights = quadratures.rule(quadrature, self._degree + 2)
        values = self._values_at_rule(f, nodes)
        B = np.polynomial.legendre.legvander(nodes, self._degree) * weights[:, None]
        sums = quadratures.interval_sums(values, B, self._partition.n_t, threads)
        half = self._partition.lengths(0, self._partition.n_t) / 2.0
        return sums * np.tile(half, self._degree + 1)


document_shared_members(
    LegendreSpace,
    size="12",
    size_rule="``n_t * (degree + 1)``: the Legendre polynomials up to the degree on each interval.",
)
