"""The continuous piecewise Lagrange space."""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Literal, Self

import numpy as np
import numpy.typing as npt
import scipy.sparse
import scipy.sparse.linalg

from . import _checks as checks
from . import _csr, _galerkin, _kernels
from . import _partition as partitions
from . import _quadrature as quadratures
from ._legendre import LegendreSpace
from ._partition import TimeSlab
from ._space import Space, document_shared_members

if TYPE_CHECKING:  # pragma: no cover
    from ._checks import ArrayLikeOrSparse

# Largest degree of a LagrangeSpace. Its transformation to Legendre coefficients costs
# O(degree**3) in one uninterruptible call (7 ms at 128, 1.3 s at 800 here), and equidistant nodes are
# useless long before: interpolating cos(3x) on [-1, 1] at degree 40, 50, 60, 80 leaves errors of
# 1e-7, 4e-4, 0.4, 66 in double precision (the transformation's row sums reach 1e15 at 60).
MAX_LAGRANGE_DEGREE = 128


def _too_short(
    lengths: npt.NDArray[np.float64], largest: npt.NDArray[np.float64], degree: int
) -> npt.NDArray[np.bool_]:
    """Intervals whose node spacing length / degree is below two units in the last place of the
    larger end (`largest`, in magnitude): there the rounded nodes ((j * length) / degree) + left
    could coincide."""
    return lengths / degree < 2.0 * np.spacing(largest)


class LagrangeSpace(Space):
    """Continuous piecewise Lagrange polynomials in time: the space of cG(q).

    The space lives on ``n_t`` equal intervals of [0, T], or on the intervals between any strictly
    increasing ``breakpoints``. The nodes (``points``) are the equidistant nodes of every interval,
    each interior interval end once, ending with T: point ``k*degree + j`` is local node j of
    interval k, ``((j * length) / degree) + left`` of its interval, so the nodes on the breakpoints
    are the breakpoints. On equal intervals they equal
    ``pwpoly.get_lagrange_points(degree, n_t, T)`` bit for bit. The operators form the Lagrange
    functions one way, in product form (``l_j(x) = prod_{l != j} (x - x_l) / (x_j - x_l)``, no
    inverted matrix): the transformation to Legendre coefficients and the mass matrix by Gauss
    quadrature, the prolongation weights at the fine node's local coordinate.

    Parameters
    ----------
    degree : int
        Polynomial degree, >= 1.
    n_t : int
        Number of intervals, >= 1.
    T : float
        End of the time interval, finite and > 0.
    breakpoints : array_like of float, shape (n_t + 1,), optional
        Instead of n_t and T, as for ``LegendreSpace``.

    Raises
    ------
    TypeError, ValueError
        As for ``LegendreSpace``, with 1 <= ``degree`` <= 128 ("degree: expected at most 128 for
        equidistant Lagrange nodes, got 1600": the transformation to Legendre coefficients costs
        O(degree**3), and equidistant nodes are useless long before, see the note) and nodes
        that must not overflow ("T: the nodes of degree 3 overflow (T = 1e+308, n_t = 1)") or
        coincide: one rule for equal intervals and breakpoints, every interval's length / degree
        at least two units in the last place of its larger end ("T: interval 2251799813685247,
        [2251799813685247.0, 2251799813685248.0], is too short for 15 distinct interior nodes of
        degree 16");
        ``prolongation_to`` also refuses a space of another degree, start or end, e.g. "fine:
        degree is 2, expected W.degree = 1".
    AttributeError
        On setting or deleting any attribute, as for ``LegendreSpace``.

    See Also
    --------
    LegendreSpace : The discontinuous piecewise Legendre space of dG(q).
    LagrangeSpace.legendre_space : The Legendre space of the same degree and partition.
    TimeSlab : A range of intervals and the points it owns, for work parallel in time.
    solve_galerkin : cG(q) time stepping on this space.
    pwpoly.get_lagrange_points : The scalar face's nodes on equal intervals.

    Notes
    -----
    The operators agree with ``pwpoly.lagrange_prolongation_matrix`` and
    ``pwpoly.lagrange_to_legendre_basis_transformation`` within rounding (the same bits for the
    transformation at degrees 1 and 2), and stay accurate where those lose the condition number of
    the equidistant Vandermonde matrix (2.8e7 at degree 32, 4.9e16 at 64). Measured against exact
    rational arithmetic on the exact double nodes (``benchmarks/lagrange_accuracy.py``; one interval;
    to_legendre: the largest error of a Legendre degree's weights over the largest of them; mass:
    over the largest entry, and entry by entry; prolongation onto twice the intervals: a weight's
    error over its row's sum of magnitudes):

    ======  ====================  ===================  ===============  ====================
    degree  to_legendre           mass                 prolongation     derivative
            array / scalar face   normwise / entry     weight error     nnz / exact nonzeros
    ======  ====================  ===================  ===============  ====================
    1       0 / 0                 5.0e-16 / 6.7e-16    0                4 / 4
    2       0 / 0                 2.1e-16 / 6.2e-16    0                8 / 8
    3       1.6e-15 / 3.0e-16     7.2e-16 / 9.7e-16    0.5 eps          14 / 14
    4       5.2e-16 / 2.1e-16     5.0e-16 / 9.4e-16    0                22 / 22
    8       2.7e-15 / 5.2e-16     1.5e-15 / 3.5e-15    0.3 eps          74 / 74
    16      1.3e-14 / 1.5e-14     2.5e-15 / 3.2e-15    0.9 eps          274 / 274
    32      2.1e-12 / 2.5e-10     2.1e-15 / 9.1e-15    1.2 eps          1058 / 1058
    48      1.9e-10 / 1.6e-05     7.9e-16 / 1.6e-14    1.9 eps          2354 / 2354
    64      1.7e-06 / 3.4e-01     2.6e-15 / 6.7e-15    0.9 eps          4162 / 4162
    ======  ====================  ===================  ===============  ====================

    The derivative matrix stores every true nonzero (its interior diagonal is an exact zero), at
    degree 128 too. At high degree the transformation's error is a few units in the last place of
    its quadrature terms, l_i P_a, and l_i reaches 2e16 inside the interval at degree 64: far above
    the weights themselves, the equidistant nodes' ill-conditioning, not the quadrature's. Likewise
    the prolongation's rows sum to 1 within a few eps of their sum of magnitudes, the Lebesgue
    function of the nodes (2e16 at degree 64, where a row's sum is 1 only to about 1 in absolute
    terms: any weights accurate to rounding do the same).

    Interpolation at equidistant nodes loses accuracy fast with the degree: for cos(3x) on
    [-1, 1] the error is 1e-7 at degree 40, 4e-4 at 50, 0.4 at 60 and 66 at 80 in double
    precision, hence the bound of 128 on the degree.

    Examples
    --------
    >>> pn.LagrangeSpace(1, 2, 1.0).evaluate([0.0, 1.0, 0.0], [0.25, 0.5])
    array([0.5, 1. ])
    """

    __slots__ = ()
    _basis = 1  # the kernels' code of the Lagrange basis

    def __new__(
        cls, degree: int, n_t: int | None = None, T: float | None = None, breakpoints: npt.ArrayLike | None = None
    ) -> Self:
        self = super().__new__(cls)
        self._set_fields(degree, n_t, T, breakpoints, 1)
        d = self._degree
        if d > MAX_LAGRANGE_DEGREE:
            raise ValueError(f"degree: expected at most {MAX_LAGRANGE_DEGREE} for equidistant Lagrange nodes, got {d}")
        # Node j of an interval is ((j * length) / degree) + left: j * length must not overflow.
        partition = self._partition
        last = max(abs(partition.boundary(0)), abs(partition.boundary(partition.n_t)))
        if not math.isfinite(float(d - 1) * (partition.longest() + 2.0 * math.ulp(last))):
            name = "T" if isinstance(partition, partitions.Uniform) else "breakpoints"
            raise ValueError(f"{name}: the nodes of degree {d} overflow ({partition.arguments()})")
        if d > 1:
            # One rule for every partition: an interval's node spacing length / degree is at least
            # two units in the last place of its larger end, so that its degree - 1 interior nodes
            # are distinct and strictly increasing however the node formula rounds. On equal
            # intervals the last one has the largest ends and the smallest room: it alone decides.
            uniform = isinstance(partition, partitions.Uniform)
            k0 = partition.n_t - 1 if uniform else 0
            left, right = partition.ends(k0, partition.n_t)
            largest = np.maximum(np.abs(left), np.abs(right))
            short = np.flatnonzero(_too_short(partition.lengths(k0, partition.n_t), largest, d))
            if short.size:
                k = k0 + int(short[0])
                name = "T" if uniform else "breakpoints"
                raise ValueError(
                    f"{name}: interval {k}, [{partition.boundary(k)!r}, {partition.boundary(k + 1)!r}], is too "
                    f"short for {d - 1} distinct interior nodes of degree {d}"
                )
        return self

    @staticmethod
    def _size_of(degree: int, n_t: int) -> int:
        return n_t * degree + 1

    def _slab_ranges(self, k0: int, k1: int) -> tuple[range, ...]:
        d = self._degree
        return (range(k0 * d, k1 * d + (1 if k1 == self._partition.n_t else 0)),)

    @property
    def points(self) -> npt.NDArray[np.float64]:
        """The nodes, float64 array of shape (size,), read-only.

        Raises
        ------
        ValueError
            On writing into the array: "assignment destination is read-only"; on setting its
            ``writeable`` flag: "cannot set WRITEABLE flag to True of this array".

        See Also
        --------
        LagrangeSpace.points_of : The nodes of some rows alone.
        LagrangeSpace.interpolate : A function's values at the nodes.
        pwpoly.get_lagrange_points : The scalar face's nodes, the same bits on equal intervals.

        Examples
        --------
        >>> pn.LagrangeSpace(2, 2, 1.0).points.tolist()
        [0.0, 0.25, 0.5, 0.75, 1.0]
        """
        return self._points()

    def _points(self) -> npt.NDArray[np.float64]:
        points = self._cache.get("points")
        if points is None:
            points = np.empty(self._size, dtype=np.float64)
            _kernels.lagrange_points(self._degree, *self._partition.kernel_arguments(), 0, self._size, points)
            points = checks.frozen(points)
            self._cache["points"] = points
        return points

    def points_of(self, rows: TimeSlab[Self] | range) -> npt.NDArray[np.float64]:
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

        See Also
        --------
        LagrangeSpace.points : Every node.
        LagrangeSpace.slab : The slab whose points to take.

        Examples
        --------
        >>> W = pn.LagrangeSpace(2, 4, 1.0); W.points_of(W.slab(1, 3)).tolist()
        [0.25, 0.375, 0.5, 0.625]
        """
        (block,) = partitions.requested_ranges(rows, self._size, (self,), f"W = {self!r}")
        points = np.empty(len(block), dtype=np.float64)
        _kernels.lagrange_points(self._degree, *self._partition.kernel_arguments(), block.start, block.stop, points)
        return points

    def legendre_space(self) -> LegendreSpace:
        """The discontinuous Legendre space of the same degree on the same partition.

        Returns
        -------
        LegendreSpace
            Of ``degree`` on this space's equal intervals or breakpoints.

        See Also
        --------
        LagrangeSpace.to_legendre : The map from nodal values to its coefficients.
        LegendreSpace : The space it returns.

        Examples
        --------
        >>> pn.LagrangeSpace(2, 4, 1.0).legendre_space()
        LegendreSpace(degree=2, n_t=4, T=1.0)
        """
        return LegendreSpace._on(self._degree, self._partition)

    def prolongation_to(
        self, fine: LagrangeSpace, rows: TimeSlab[LagrangeSpace] | range | None = None, workers: int = 1
    ) -> scipy.sparse.csr_array[np.float64]:
        """Interpolation of nodal values onto the nodes of another partition.

        Parameters
        ----------
        fine : LagrangeSpace
            Same degree, start and end, any partition (it need not refine this one): equal
            intervals or breakpoints, in either space.
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
            Entry (r, c) is coarse basis function c at fine node r. A fine node equal to a coarse
            node bit for bit is the single entry 1.0; every other row holds the interpolation
            weights (product form) of the coarse interval the lookup gives the node, exact zeros
            left out. Between two spaces on equal intervals the fine node is placed from the
            counts alone, as ``pwpoly.lagrange_prolongation_matrix(self.n_t, fine.n_t, degree)``
            places it, but exactly: its coarse interval and local coordinate come from integer
            arithmetic, ``xi = (2 rem - N) / N`` with ``rem = (r * self.n_t) mod N`` and
            ``N = fine.n_t * degree``, one rounding; it lies on a coarse node when their indices
            say so. The entries agree with the scalar face's within rounding. With `rows`, row
            j of the result is global row ``rows[j]`` (``slab.rows[j]``), columns global: the very
            bits of the whole operator's rows, built in time and memory proportional to the rows.

        Raises
        ------
        TypeError
            `fine` not a LagrangeSpace ("fine: expected a LagrangeSpace, got ..."); `rows` not
            None, a TimeSlab or a range.
        ValueError
            `fine` of another degree, start or end ("fine: degree is 2, expected W.degree = 1",
            "fine: starts at 0.5, expected W.t0 = 0.0", "fine: T is 2.0, expected W.T = 1.0");
            `rows` a range of step other than 1 or beyond ``range(fine.size)``, or a slab of
            another space than `fine` ("rows: a slab of ..., expected a slab of fine = ...").

        See Also
        --------
        LagrangeSpace.to_legendre : The map to Legendre coefficients.
        LegendreSpace.projection_to : The L2 projection between Legendre spaces.
        mgrit : Multigrid in time, on coarsened partitions.
        pwpoly.lagrange_prolongation_matrix : The scalar face's triplets on equal intervals.

        Examples
        --------
        >>> pn.LagrangeSpace(1, 1, 1.0).prolongation_to(pn.LagrangeSpace(1, 2, 1.0)).toarray().tolist()
        [[1.0, 0.0], [0.5, 0.5], [0.0, 1.0]]
        """
        if not issubclass(type(fine), LagrangeSpace):
            raise TypeError(f"fine: expected a LagrangeSpace, got {checks.describe(fine)}")
        if fine._degree != self._degree:
            raise ValueError(f"fine: degree is {fine._degree}, expected W.degree = {self._degree}")
        if fine._partition.t0 != self._partition.t0:
            raise ValueError(f"fine: starts at {fine._partition.t0!r}, expected W.t0 = {self._partition.t0!r}")
        if fine._partition.T != self._partition.T:
            raise ValueError(f"fine: T is {fine._partition.T!r}, expected W.T = {self._partition.T!r}")
        (block,) = partitions.requested_ranges(rows, fine._size, (fine,), f"fine = {fine!r}")
        threads = checks.workers(workers)
        d = self._degree
        first, last = block.start, block.stop
        spaces = (*self._partition.kernel_arguments(), *fine._partition.kernel_arguments())
        # Room for every entry: a fine node on a coarse node stores a single 1.0, any other at
        # most d + 1 values. Fewer are stored for a node within the tolerance of a coarse node
        # without lying on it, or for interpolation weights that are exact zeros.
        room = _kernels.prolongation_room(d, *spaces, first, last)
        return _csr.rows_matrix(
            (_kernels.prolongation32, _kernels.prolongation64),
            (last - first, self._size),
            room,
            lambda kernel, indptr, indices, data: kernel(d, *spaces, first, last, indptr, indices, data, threads),
        )

    def to_legendre(
        self, rows: TimeSlab[Any] | range | None = None, workers: int = 1
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
            Row ``a*n_t + k`` gives the coefficient of P_a on interval k: the weight of local node
            i is ``G(i, a) = ((2a + 1) / 2)`` times the integral of ``l_i P_a`` over [-1, 1], by
            the Gauss rule of ``degree + 1`` points (exact), l_i in product form; degrees 1 and 2
            hold the fixed values of ``pwpoly.lagrange_to_legendre_basis_transformation``, the
            correctly rounded fractions. See the class's accuracy table. With `rows`, row j of the
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

        See Also
        --------
        LagrangeSpace.legendre_space : The Legendre space of its rows.
        LagrangeSpace.prolongation_to : Interpolation onto another partition.
        pwpoly.lagrange_to_legendre_basis_transformation : The scalar face's triplets.

        Examples
        --------
        >>> pn.LagrangeSpace(1, 2, 1.0).to_legendre().toarray().tolist()
        [[0.5, 0.5, 0.0], [0.0, 0.5, 0.5], [-0.5, 0.5, 0.0], [0.0, -0.5, 0.5]]
        """
        m = self._degree + 1
        n_t = self._partition.n_t
        legendre = LegendreSpace._on(self._degree, self._partition)
        ranges = partitions.requested_ranges(
            rows, legendre._size, (self, legendre), f"W = {self!r} or of W.legendre_space()", legendre
        )
        threads = checks.workers(workers)
        count = sum(len(r) for r in ranges)

        def write(kernel: Callable[..., Any], indptr: Any, indices: Any, data: Any) -> None:
            position = 0
            for r in ranges:
                end = position + len(r)
                # Chained: this range's offsets continue from indptr[position].
                kernel(
                    self._degree,
                    n_t,
                    r.start,
                    r.stop,
                    indptr[position : end + 1],
                    indices[position * m : end * m],
                    data[position * m : end * m],
                    threads,
                )
                position = end

        return _csr.rows_matrix((_kernels.to_legendre32, _kernels.to_legendre64), (count, self._size), count * m, write)

    def mass_matrix(
        self,
        rows: TimeSlab[Self] | range | None = None,
        *,
        trial: LegendreSpace | LagrangeSpace | None = None,
        workers: int = 1,
    ) -> scipy.sparse.csr_array[np.float64]:
        """The L2 Gram matrix of the nodal basis on [t0, T], or with another trial space.

        Parameters
        ----------
        rows : TimeSlab or range, optional
            Build only these rows (points): a slab of this space (the points it owns, see
            ``TimeSlab``) or a range of step 1 within ``range(size)``. None (the default) builds
            every row.
        trial : LegendreSpace or LagrangeSpace, optional, keyword-only
            The space of the columns, on the same partition (any degree); default this space.
        workers : int, optional, keyword-only
            Threads sharing the work by consecutive rows (default 1; -1: every core this
            process may use); the result has the same bits for every count. ValueError for 0 or
            below -1, TypeError for a non-integer.

        Returns
        -------
        scipy.sparse.csr_array, shape (number of rows asked, trial.size)
            Entry (r, c) is the integral of node r's function times trial function c, interval
            by interval ``lengths[k]`` times half the integral on [-1, 1] by a Gauss-Legendre rule
            exact for the degrees (left interval first at a shared node), the same bits on every
            machine, integrals within the rounding of their own sums not stored (the rule in the
            Notes of ``LegendreSpace.mass_matrix``). One path with or without
            `trial`: with this space as trial (or an equal one) it is symmetric to the bit, each
            row holding the nodes sharing an interval with its node, columns ascending, within
            1e-13 of the exact matrix relative to its largest entry up to degree 64 (see the
            class's accuracy table). With `rows`, row j of the result is global row ``rows[j]``
            (``slab.rows[j]``), columns global, the same bits as the whole matrix.

        Raises
        ------
        TypeError
            `rows` not None, a TimeSlab or a range: "rows: expected None, a TimeSlab or a range,
            got ..."; `trial` not a space, checked before anything compares it ("trial: expected
            None, a LegendreSpace or a LagrangeSpace, got ...").
        ValueError
            A range of step other than 1 or beyond ``range(size)``; a slab of another space
            ("rows: a slab of ..., expected a slab of W = ..."); `trial` on another partition
            ("trial: ... is on another partition (n_t = 2, T = 1.0), expected the partition of
            W = ... (n_t = 4, T = 1.0)").

        See Also
        --------
        LagrangeSpace.derivative_matrix : Nodal test functions against trial derivatives.
        LagrangeSpace.load_vector : The integrals of a function against the nodal basis.
        LegendreSpace.mass_matrix : The Gram matrix of the Legendre basis.
        solve_galerkin : The time stepping these operators make.

        Examples
        --------
        >>> pn.LagrangeSpace(1, 1, 6.0).mass_matrix().toarray().round(12).tolist()
        [[2.0, 1.0], [1.0, 2.0]]
        >>> pn.LagrangeSpace(1, 1, 6.0).mass_matrix(trial=pn.LegendreSpace(0, 1, 6.0)).toarray().tolist()
        [[3.0], [3.0]]
        """
        # One path with or without a trial space: the Galerkin mass, `trial` checked to be a space
        # before anything compares it.
        return _galerkin.mass_matrix(self, rows, trial, workers)

    def derivative_matrix(
        self,
        rows: TimeSlab[Self] | range | None = None,
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
        trial : LegendreSpace or LagrangeSpace, optional, keyword-only
            The space of the columns, on the same partition (any degree); default this space.
        upwind : bool, optional, keyword-only
            Must be False: the upwind traces need a Legendre test space.
        workers : int, optional, keyword-only
            Threads sharing the work by consecutive rows (default 1; -1: every core this
            process may use); the result has the same bits for every count. ValueError for 0 or
            below -1, TypeError for a non-integer.

        Returns
        -------
        scipy.sparse.csr_array, shape (number of rows asked, trial.size)
            Entry (r, c): the integral over the interval interiors of node r's function times
            the time derivative of trial function c, by a Gauss-Legendre rule exact for the
            degrees (the length cancels; left interval first at a shared node); integrals within
            the rounding of their own sums are not stored, as for ``LegendreSpace.mass_matrix``.
            With `rows`, the same bits as the whole matrix.

        Raises
        ------
        TypeError
            As for ``mass_matrix``; `upwind` not a bool.
        ValueError
            As for ``mass_matrix``; ``upwind=True`` ("upwind: the traces need Legendre test and
            trial spaces, got the test space ...").

        See Also
        --------
        LagrangeSpace.mass_matrix : The Gram matrix, the other half of a Galerkin system.
        LegendreSpace.derivative_matrix : The Legendre test functions, with upwind traces.
        solve_galerkin : cG(q), interval by interval.
        parareal, mgrit : The same solution parallel in time.

        Examples
        --------
        >>> pn.LagrangeSpace(1, 2, 1.0).derivative_matrix().toarray().tolist()
        [[-0.5, 0.5, 0.0], [-0.5, 0.0, 0.5], [0.0, -0.5, 0.5]]
        """
        return _galerkin.derivative_matrix(self, rows, trial, upwind, workers)

    def load_vector(
        self,
        f: Callable[[npt.NDArray[np.float64]], npt.ArrayLike],
        *,
        quadrature: int | tuple[npt.ArrayLike, npt.ArrayLike] | None = None,
        workers: int = 1,
    ) -> npt.NDArray[np.float64]:
        """The integrals of a function against every nodal basis function.

        Parameters
        ----------
        f : callable
            Vectorised: ``f(t)`` for a float64 array ``t`` of shape (n,) returns an array of shape
            (..., n) (leading axes make a batch).
        quadrature : int or (nodes, weights), optional, keyword-only
            The rule on every interval: a number of Gauss-Legendre points (default degree + 2),
            or nodes in [-1, 1] and their weights (e.g. Gauss-Jacobi for an f singular at the
            interval ends).
        workers : int, optional, keyword-only
            Threads sharing the work by consecutive intervals (default 1; -1: every core this
            process may use); the result has the same bits for every count.

        Returns
        -------
        ndarray of float64, shape (..., size)
            Entry r: the integral of f times node r's function, interval by interval
            ``lengths[k] / 2 * sum_j w_j phi(x_j) f(t_j)``, the left interval first at a shared
            node.

        Raises
        ------
        TypeError, ValueError, Exception
            As for ``LegendreSpace.project``.

        See Also
        --------
        LagrangeSpace.project : The L2 projection, by the same rule.
        LagrangeSpace.mass_matrix : The Gram matrix of the nodal basis.
        LegendreSpace.load_vector : The integrals against the Legendre basis.

        Examples
        --------
        >>> pn.LagrangeSpace(1, 2, 1.0).load_vector(lambda t: 0.0 * t + 1.0).round(12).tolist()
        [0.25, 0.5, 0.25]
        """
        threads = checks.workers(workers)
        nodes, weights = quadratures.rule(quadrature, self._degree + 2)
        d, n_t = self._degree, self._partition.n_t
        values = self._values_at_rule(f, nodes)
        # B[r, j] = w_r phi_j(x_r), the nodal functions of one interval at the rule's nodes.
        local = LagrangeSpace(d, breakpoints=[-1.0, 1.0])
        B = local.evaluate(np.eye(d + 1), nodes).T * weights[:, None]
        sums = quadratures.interval_sums(values, B, n_t, threads)
        sums = sums.reshape(sums.shape[:-1] + (d + 1, n_t)) * (self._partition.lengths(0, n_t) / 2.0)
        result = np.zeros(values.shape[:-1] + (self._size,), dtype=np.float64)
        for j in range(d):
            result[..., j : n_t * d : d] = sums[..., j, :]
        # The node shared by intervals k and k + 1: interval k's integral first.
        result[..., d::d] = sums[..., d, :] + result[..., d::d]
        return result

    def project(
        self,
        f: Callable[[npt.NDArray[np.float64]], npt.ArrayLike],
        workers: int = 1,
        *,
        quadrature: int | tuple[npt.ArrayLike, npt.ArrayLike] | None = None,
    ) -> npt.NDArray[np.float64]:
        """L2 projection of a function onto the continuous space.

        Parameters
        ----------
        f, workers
            As for ``load_vector``.
        quadrature : int or (nodes, weights), optional, keyword-only
            As for ``load_vector``.

        Returns
        -------
        ndarray of float64, shape (..., size)
            Nodal values: the mass matrix solved against ``load_vector(f)``; a polynomial of at
            most the space's degree is reproduced up to rounding.

        Raises
        ------
        TypeError, ValueError, Exception
            As for ``load_vector``.

        See Also
        --------
        LagrangeSpace.interpolate : Nodal values of a function.
        LagrangeSpace.load_vector : The integrals it solves with.
        LegendreSpace.project : The projection onto the discontinuous space.

        Examples
        --------
        >>> pn.LagrangeSpace(1, 2, 1.0).project(lambda t: 2.0 * t).round(12).tolist()
        [0.0, 1.0, 2.0]
        """
        load = self.load_vector(f, quadrature=quadrature, workers=workers)
        solve = scipy.sparse.linalg.splu(scipy.sparse.csc_array(self.mass_matrix())).solve
        flat = load.reshape(-1, self._size)
        return np.ascontiguousarray(solve(np.ascontiguousarray(flat.T)).T).reshape(load.shape)

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

        See Also
        --------
        LagrangeSpace.points : The nodes it evaluates f at.
        LagrangeSpace.project : The L2 projection of a function.
        LegendreSpace.project : The L2 projection onto the discontinuous space.

        Examples
        --------
        >>> pn.LagrangeSpace(2, 2, 1.0).interpolate(lambda t: 4.0 * t).tolist()
        [0.0, 1.0, 2.0, 3.0, 4.0]
        """
        # A view: the callable cannot reach the space's own array object.
        return checks.call_on_times("f", f, self._points().view(), self._size)

    def basis_matrix(
        self, times: npt.ArrayLike, derivative: int = 0, workers: int = 1
    ) -> scipy.sparse.csr_array[np.float64]:
        """Values (or time derivatives) of all nodal basis functions at many times, as a matrix.

        The matrix is a ``scipy.sparse.csr_array`` of one row per time.

        Parameters
        ----------
        times : array_like of float, any shape (flattened in C order)
        derivative : int, optional
            Order of the time derivative, >= 0 (default 0: the values); zeros above the degree.
        workers : int, optional
            Threads sharing the work by consecutive times (rows), as for
            ``LegendreSpace.basis_matrix``; the same bits for every count.

        Returns
        -------
        scipy.sparse.csr_array, shape (times.size, size)
            ``legendre_space().basis_matrix(times, derivative) @ to_legendre()``: row j holds the
            nodal functions of the interval holding ``times.flat[j]`` (``degree + 1`` columns
            from ``k*degree``), so that ``B @ values`` is ``evaluate(values, times, derivative)``
            up to rounding.

        Raises
        ------
        TypeError, ValueError
            As for ``LegendreSpace.basis_matrix``.

        See Also
        --------
        LagrangeSpace.evaluate : The same values applied to nodal values.
        LegendreSpace.basis_matrix : The Legendre basis functions at times.

        Examples
        --------
        >>> pn.LagrangeSpace(1, 2, 1.0).basis_matrix([0.25, 0.5]).toarray().tolist()
        [[0.5, 0.5, 0.0], [0.0, 1.0, 0.0]]
        """
        legendre = LegendreSpace._on(self._degree, self._partition).basis_matrix(times, derivative, workers)
        transformation = self._cache.get("to_legendre")
        if transformation is None:
            transformation = LagrangeSpace.to_legendre(self)  # not a subclass's override
            self._cache["to_legendre"] = transformation
        return scipy.sparse.csr_array(legendre @ transformation)

    def evaluate(
        self,
        values: ArrayLikeOrSparse,
        times: npt.ArrayLike,
        derivative: int = 0,
        out: npt.NDArray[np.float64] | None = None,
        slab: TimeSlab[Self] | None = None,
        workers: int = 1,
        side: Literal["left", "right"] = "right",
    ) -> npt.NDArray[np.float64]:
        """Values (or time derivatives) of continuous piecewise Lagrange functions at many times.

        Parameters
        ----------
        values : array_like of float, shape (..., size), or (..., slab.n_intervals * degree + 1)
            One or a batch of nodal value vectors; with `slab`, the values of the slab's points
            and its right ghost alone, points ``slab.k0*degree ... slab.k1*degree``
            (``global_u[..., k0*degree : k1*degree + 1]``).
            A scipy sparse array (as type checkers see a product ``A @ u``) is made dense.
        times : array_like of float, any shape
            A time before t0 is evaluated at t0 on the first interval, one after T at T on the
            last (clamped: the polynomials are not extrapolated). With `slab`, every time from
            the slab's first node to its right ghost node,
            [slab.t0, slab.t1], its own nodes included; a time on slab.t1 below T (the ghost node,
            which ``locate`` puts in the next slab) is evaluated on the slab's last interval: the
            left limit there, equal to the global value up to rounding.
        derivative : int, optional
            Order of the time derivative, >= 0 (default 0: the values); zeros above the degree.
        out : ndarray of float64, shape values.shape[:-1] + times.shape, optional
        slab : TimeSlab, optional
            A slab of this space: evaluate from the values of its points alone.
        workers : int, optional
            Threads sharing the work by consecutive times (default 1; -1: every core this
            process may use); the result has the same bits for every count. ValueError for 0 or
            below -1, TypeError for a non-integer.
        side : {"right", "left"}, optional
            As for ``LegendreSpace.evaluate``: "left" evaluates a time on an interior breakpoint
            on the interval to its left (the values agree up to rounding, the derivatives are
            the one-sided ones).

        Returns
        -------
        ndarray of float64, shape values.shape[:-1] + times.shape
            ``legendre_space().evaluate(to_legendre() @ values, times, derivative, side=side)``; with `slab`,
            bit for bit the evaluation of the global vectors.

        Raises
        ------
        TypeError, ValueError
            As for ``LegendreSpace.evaluate``, for `values` in place of `coefficients`: e.g.
            "values: last axis has length 2, expected W.size = 3" (with `slab`, expected
            "slab.n_intervals * W.degree + 1"); "slab: a slab of ..., expected a slab of W = ...".

        See Also
        --------
        LagrangeSpace.basis_matrix : The nodal basis functions at times, as a sparse matrix.
        LegendreSpace.evaluate : The discontinuous counterpart, from coefficients.
        GalerkinSolution.__call__ : A solution of ``solve_galerkin`` at times.

        Examples
        --------
        >>> W = pn.LagrangeSpace(1, 2, 1.0); W.evaluate([0.0, 1.0, 0.0], [0.25, 0.75], derivative=1)
        array([ 2., -2.])
        >>> W.evaluate([1.0, 0.0], 0.75, slab=W.slab(1, 2))
        array(0.5)
        """
        if slab is not None:
            return self._evaluate_slab(values, times, derivative, out, slab, workers, side)
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
        return LegendreSpace._on(self._degree, self._partition).evaluate(
            coefficients, t, derivative, out, workers=workers, side=side
        )

    def _evaluate_slab(
        self,
        values: ArrayLikeOrSparse,
        times: npt.ArrayLike,
        derivative: int,
        out: npt.NDArray[np.float64] | None,
        slab: TimeSlab[Self],
        workers: int,
        side: object,
    ) -> npt.NDArray[np.float64]:
        checked = partitions.slab_of("slab", slab, (self,), f"W = {self!r}")
        d = self._degree
        k0, k1 = checked._k0, checked._k1
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
            block = LagrangeSpace.to_legendre(self, rows=TimeSlab(self, k0, k1))  # as above
            indices = block.indices - block.indices.dtype.type(k0 * d)
            cached = ((k0, k1), _csr.csr(block.data, indices, block.indptr, (block.shape[0], count)))
            self._cache["to_legendre_slab"] = cached
        transformation = cached[1]
        flat = u.reshape(-1, count)
        coefficients = (transformation @ flat.T).T.reshape(u.shape[:-1] + (transformation.shape[0],))
        V = LegendreSpace._on(self._degree, self._partition)
        c = np.ascontiguousarray(coefficients, dtype=np.float64)
        threads = checks.workers(workers)
        if checks.side(side) == "left":
            return V._evaluate_left(c, t, derivative, out, k0, k1 - k0, True, threads)
        return V._evaluate_window(c, t, derivative, out, k0, k1 - k0, True, threads)


document_shared_members(
    LagrangeSpace, size="9", size_rule="``n_t * degree + 1``: the nodes, each interior interval end once."
)
