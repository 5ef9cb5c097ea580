"""What both spaces share: degree and partition, sizes, slabs, value semantics."""

from __future__ import annotations

import inspect
import types
from collections.abc import Callable
from typing import Any, Self

import numpy as np
import numpy.typing as npt

from . import _checks as checks
from . import _kernels
from . import _partition as partitions
from . import _quadrature as quadratures
from ._partition import Partition, Partitioned, TimeSlab


class Space(Partitioned):
    """Immutable description (degree, partition) with value semantics."""

    __slots__ = ("_degree", "_size", "_cache")
    _basis: int  # the kernels' code of the basis kind, set by each space class
    _degree: int
    _size: int
    _cache: dict[str, Any]

    def _set_fields(self, degree: object, n_t: object, T: object, breakpoints: object, min_degree: int) -> None:
        """Checks the arguments of a space, in the order of the signature, and sets its fields."""
        count = checks.count("degree", degree, min_degree)

        def fits(n_t: int) -> None:
            # The widest array of a space, its operators included, holds n_t (degree + 1)^2 numbers.
            if n_t * (count + 1) * (count + 1) > checks.MAX_DOUBLES:
                raise ValueError(
                    f"n_t: n_t * (degree + 1)**2 = {n_t * (count + 1) ** 2} exceeds the largest array "
                    f"size {checks.MAX_DOUBLES}, got n_t = {n_t} with degree = {count}"
                )

        self._set_partition(count, partitions.partition_of(n_t, T, breakpoints, fits))

    def _set_partition(self, degree: int, partition: Partition) -> None:
        object.__setattr__(self, "_degree", degree)
        object.__setattr__(self, "_partition", partition)
        object.__setattr__(self, "_cache", {})
        object.__setattr__(self, "_size", self._size_of(degree, partition.n_t))

    @staticmethod
    def _size_of(degree: int, n_t: int) -> int:
        raise NotImplementedError

    @classmethod
    def _on(cls, degree: int, partition: Partition) -> Self:
        """The space of this kind with a checked degree on a partition of a space."""
        self = object.__new__(cls)
        self._set_partition(degree, partition)
        return self

    # The members below are shared by both space classes and documented once, here. Each class
    # shows them with examples of its own: ``document_shared_members`` gives it a copy of every
    # member whose text names the class ({cls}) and its results ({size}).

    @property
    def degree(self) -> int:
        """Polynomial degree on each interval (int).

        See Also
        --------
        {cls}.size : The number of basis functions, which the degree fixes with ``n_t``.

        Examples
        --------
        >>> pn.{cls}(2, 4, 1.0).degree
        2
        """
        return self._degree

    @property
    def n_t(self) -> int:
        """Number of intervals (int).

        See Also
        --------
        {cls}.breakpoints : The ``n_t + 1`` interval ends.

        Examples
        --------
        >>> pn.{cls}(2, 4, 1.0).n_t, pn.{cls}(2, breakpoints=[0.0, 0.1, 1.0]).n_t
        (4, 2)
        """
        return self._partition.n_t

    @property
    def t0(self) -> float:
        """Start of the time interval (float).

        0.0 on equal intervals, ``breakpoints[0]`` on breakpoints.

        See Also
        --------
        {cls}.T : The end of the time interval.

        Examples
        --------
        >>> pn.{cls}(2, 4, 1.0).t0, pn.{cls}(2, breakpoints=[-1.0, 0.5, 2.0]).t0
        (0.0, -1.0)
        """
        return self._partition.t0

    @property
    def T(self) -> float:
        """End of the time interval (float).

        T on equal intervals, ``breakpoints[-1]`` on breakpoints.

        See Also
        --------
        {cls}.t0 : The start of the time interval.

        Examples
        --------
        >>> pn.{cls}(2, 4, 1.0).T, pn.{cls}(2, breakpoints=[-1.0, 0.5, 2.0]).T
        (1.0, 2.0)
        """
        return self._partition.T

    @property
    def dt(self) -> float:
        """Interval length ``T / n_t`` (float) of a space on equal intervals, rounded once.

        The breakpoints are ``k*dt`` (the lengths, their differences, are dt up to rounding).

        Raises
        ------
        ValueError
            For a space on breakpoints: "dt: a space on breakpoints has no single interval length;
            see lengths".

        See Also
        --------
        {cls}.lengths : The length of every interval, on breakpoints too.

        Examples
        --------
        >>> pn.{cls}(2, 4, 1.0).dt
        0.25
        """
        partition = self._partition
        if not isinstance(partition, partitions.Uniform):
            raise ValueError("dt: a space on breakpoints has no single interval length; see lengths")
        return partition.dt

    @property
    def breakpoints(self) -> npt.NDArray[np.float64]:
        """Interval ends, float64 array of shape (n_t + 1,), read-only.

        Interval k is ``[breakpoints[k], breakpoints[k + 1])``, the last one closed. On breakpoints,
        exactly those given. On equal intervals ``breakpoints[k] = k * dt`` and the last one is
        ``dt + (n_t - 1) * dt``, exactly as the evaluation forms them (the last is not necessarily
        T).

        Raises
        ------
        ValueError
            On writing into the array: "assignment destination is read-only"; on setting its
            ``writeable`` flag: "cannot set WRITEABLE flag to True of this array".

        See Also
        --------
        {cls}.lengths : Their differences.
        {cls}.locate_slab : Which slab owns a time.

        Examples
        --------
        >>> pn.{cls}(1, 4, 1.0).breakpoints.tolist()
        [0.0, 0.25, 0.5, 0.75, 1.0]
        """
        return self._partition.breakpoints()

    @property
    def lengths(self) -> npt.NDArray[np.float64]:
        """Interval lengths, float64 array of shape (n_t,).

        ``breakpoints[k + 1] - breakpoints[k]`` (on equal intervals dt up to rounding), as the
        evaluation and the operators scale by them.

        See Also
        --------
        {cls}.breakpoints : The interval ends.
        {cls}.dt : The single length of equal intervals.

        Examples
        --------
        >>> pn.{cls}(1, breakpoints=[0.0, 0.25, 1.0]).lengths.tolist()
        [0.25, 0.75]
        """
        return self._partition.lengths(0, self._partition.n_t)

    @property
    def size(self) -> int:
        """Number of basis functions (int).

        {size_rule}

        See Also
        --------
        TimeSlab.size : The number of rows a slab owns.

        Examples
        --------
        >>> pn.{cls}(2, 4, 1.0).size
        {size}
        """
        return self._size

    def slabs(self, parts: int) -> tuple[TimeSlab[Self], ...]:
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

        See Also
        --------
        {cls}.slab : One slab of any range of intervals.
        {cls}.locate_slab : Which of these slabs owns a time.
        parareal : Parareal over these slabs.

        Examples
        --------
        >>> [(slab.k0, slab.k1) for slab in pn.{cls}(2, 4, 1.0).slabs(3)]
        [(0, 1), (1, 2), (2, 4)]
        """
        return partitions.split(self, parts)

    def slab(self, k0: int, k1: int) -> TimeSlab[Self]:
        """The time slab of the intervals ``[k0, k1)``.

        Parameters
        ----------
        k0, k1 : int
            First interval and one past the last one, ``0 <= k0 < k1 <= n_t``.

        Returns
        -------
        TimeSlab
            ``TimeSlab(self, k0, k1)``.

        Raises
        ------
        TypeError
            `k0` or `k1` not an integer (a bool included), e.g. "k0: expected an integer, got ...".
        ValueError
            Not ``0 <= k0 < k1 <= n_t``, named: "k0: expected 0 <= k0 < n_t = 4, got 4",
            "k1: expected k0 = 1 < k1 <= n_t = 4, got 1" (a negative one: "k0: expected an
            integer >= 0, got -1").

        See Also
        --------
        {cls}.slabs : A balanced split into slabs.
        TimeSlab : The rows a slab owns.

        Examples
        --------
        >>> pn.{cls}(2, 4, 1.0).slab(1, 3)
        TimeSlab({cls}(degree=2, n_t=4, T=1.0), k0=1, k1=3)
        """
        return TimeSlab(self, k0, k1)

    def locate_slab(self, times: npt.ArrayLike, parts: int) -> npt.NDArray[np.int64]:
        """Which slab of ``slabs(parts)`` owns each time.

        Parameters
        ----------
        times : array_like of float, any shape
            The times.
        parts : int
            Number of slabs, ``1 <= parts <= n_t``.

        Returns
        -------
        ndarray of int64, shape times.shape
            Index j of the slab holding the interval k that ``LegendreSpace.locate`` gives the time
            (times before t0 and NaN in the first slab, after T in the last, a time on an interior
            interval end in the slab on its right): ``j = ((k + 1)*parts - 1) // n_t``.

        Raises
        ------
        TypeError
            `parts` as for ``slabs``; `times` not real numbers: "times: expected an array-like of
            real numbers, got ...".
        ValueError
            `parts` as for ``slabs``.

        See Also
        --------
        {cls}.slabs : The slabs.
        LegendreSpace.locate : The interval and local coordinate of each time.

        Examples
        --------
        >>> pn.{cls}(1, 4, 1.0).locate_slab([0.0, 0.25, 0.5, 1.0], 2)
        array([0, 0, 1, 1])
        """
        n_t = self._partition.n_t
        count = checks.count("parts", parts, 1)
        if count > n_t:
            partitions.split(self, count)  # raises the message of slabs()
        intervals, _ = self._locate(checks.as_float_array("times", times))
        return partitions.slab_of_intervals(intervals, n_t, count)

    def _locate(
        self, t: npt.NDArray[np.float64], threads: int = 1
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
        intervals = np.empty(t.shape, dtype=np.int64)
        xi = np.empty(t.shape, dtype=np.float64)
        _kernels.locate(*self._partition.kernel_arguments(), t, intervals, xi, threads)
        return intervals, xi

    def _values_at_rule(
        self, f: Callable[[npt.NDArray[np.float64]], npt.ArrayLike], nodes: npt.NDArray[np.float64]
    ) -> npt.NDArray[np.float64]:
        """``f`` at the nodes of a rule on [-1, 1] mapped to every interval, interval by interval."""
        return quadratures.values(f, quadratures.times(self._partition, 0, self._partition.n_t, nodes))

    def __repr__(self) -> str:
        return f"{type(self).__name__}(degree={self._degree}, {self._partition.arguments()})"

    def _key(self) -> tuple[Any, ...]:
        return (self._degree, *self._partition.key())

    def _shape_key(self) -> tuple[Any, ...]:
        return (self._degree,)

    def __reduce__(self) -> tuple[type[Self], tuple[Any, ...]]:
        partition = self._partition
        if isinstance(partition, partitions.Uniform):
            return (type(self), (self._degree, partition.n_t, partition.T))
        return (type(self), (self._degree, None, None, partition.breakpoints()))


# The members of Space that each space class shows with its own examples.
_SHARED_MEMBERS = ("degree", "n_t", "t0", "T", "dt", "breakpoints", "lengths", "size", "slabs", "slab", "locate_slab")


def document_shared_members(cls: type[Space], **fields: str) -> None:
    """Gives a space class its own copy of every member it shares through Space, the docstring
    filled in with the class's name (``{cls}``) and `fields` (its own results): the same code and
    signature, an example of that class on its page."""
    for name in _SHARED_MEMBERS:
        member = vars(Space)[name]
        doc = inspect.cleandoc(member.__doc__).format(cls=cls.__name__, **fields)
        if isinstance(member, property):
            setattr(cls, name, property(member.fget, doc=doc))
            continue
        copy = types.FunctionType(member.__code__, member.__globals__, name, member.__defaults__, member.__closure__)
        copy.__kwdefaults__ = member.__kwdefaults__
        copy.__annotations__ = member.__annotations__
        copy.__qualname__ = f"{cls.__qualname__}.{name}"
        copy.__module__ = cls.__module__
        copy.__doc__ = doc
        setattr(cls, name, copy)
