"""Partitions of a time interval and the time slabs on them: the layer under the spaces.

A partition cuts [t0, T] into n_t intervals; interval k is ``[b_k, b_{k+1})``, the last one closed
at T, so a time on an interior breakpoint belongs to the interval on its right. Two kinds: n_t
equal intervals of [0, T] (``Uniform``), and any strictly increasing breakpoints
(``Breakpoints``). Both answer what the spaces and the slabs ask of a partition; the kernels take
a partition as ``(n_t, T, breakpoints)``, the breakpoints an empty array for a uniform one.

A time slab names a contiguous range of intervals of a space, which is what one process of a
parallel-in-time run holds: the operators can be built by the rows of a slab (``rows=``) and a
Legendre expansion evaluated from a slab's coefficients alone (``slab=``). Global numbering is
never changed; a slab only names a part of it, and each space says which of its rows a range of
intervals owns (``Partitioned._slab_ranges``).
"""

from __future__ import annotations

import sys
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeAlias

import numpy as np
import numpy.typing as npt

from . import _checks as checks
from ._value import ImmutableValue

if TYPE_CHECKING:
    _Floats: TypeAlias = npt.NDArray[np.float64]


# The kernels' breakpoint argument of a uniform partition: none, n_t and T describe it.
_NO_BREAKPOINTS: _Floats = checks.frozen(np.empty(0, dtype=np.float64))


class Partition:
    """What a space needs of its partition. Immutable: its fields are set once, by the maker."""

    __slots__ = ("_n_t", "_breakpoints")
    _n_t: int
    _breakpoints: _Floats | None

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"partitions are immutable: cannot set {name!r}")

    @property
    def n_t(self) -> int:
        return self._n_t

    @property
    def t0(self) -> float:
        raise NotImplementedError

    @property
    def T(self) -> float:
        raise NotImplementedError

    def kernel_arguments(self) -> tuple[int, float, _Floats]:
        """``(n_t, T, breakpoints)`` as the kernels take a partition."""
        raise NotImplementedError

    def breakpoints(self) -> _Floats:
        """The n_t + 1 interval ends as the evaluation forms them, read-only (formed once)."""
        raise NotImplementedError

    def boundary(self, k: int) -> float:
        """Interval end k (0 <= k <= n_t), formed alone."""
        raise NotImplementedError

    def ends(self, k0: int, k1: int) -> tuple[_Floats, _Floats]:
        """Left and right ends of the intervals [k0, k1), as the evaluation forms them."""
        raise NotImplementedError

    def lengths(self, k0: int, k1: int) -> _Floats:
        """The lengths of the intervals [k0, k1) that scale derivatives and integrals."""
        raise NotImplementedError

    def longest(self) -> float:
        """The largest interval length."""
        raise NotImplementedError

    def key(self) -> tuple[Any, ...]:
        """Equal exactly for partitions of the same kind and bits."""
        raise NotImplementedError

    def same_intervals(self, other: Partition) -> bool:
        """True when both have the same interval ends bit for bit, whatever their kinds: a uniform
        partition and the breakpoints it forms are one partition to every operator."""
        if self.key() == other.key():
            return True
        return self._n_t == other._n_t and self.breakpoints().tobytes() == other.breakpoints().tobytes()

    def arguments(self) -> str:
        """The constructor arguments of a space on this partition, as its repr shows them."""
        raise NotImplementedError


class Uniform(Partition):
    """n_t equal intervals of [0, T], ``dt = T / n_t``: breakpoints ``k*dt`` and the last one
    ``dt + (n_t - 1)*dt``; the lengths are their differences (dt up to rounding)."""

    __slots__ = ("_T", "_dt")
    _T: float
    _dt: float

    def __init__(self, n_t: int, T: float, dt: float) -> None:
        object.__setattr__(self, "_n_t", n_t)
        object.__setattr__(self, "_T", T)
        object.__setattr__(self, "_dt", dt)
        object.__setattr__(self, "_breakpoints", None)

    @property
    def t0(self) -> float:
        return 0.0

    @property
    def T(self) -> float:
        return self._T

    @property
    def dt(self) -> float:
        return self._dt

    def kernel_arguments(self) -> tuple[int, float, _Floats]:
        return (self._n_t, self._T, _NO_BREAKPOINTS)

    def breakpoints(self) -> _Floats:
        ends = self._breakpoints
        if ends is None:
            left = np.arange(self._n_t, dtype=np.float64) * self._dt
            ends = checks.frozen(np.append(left, self._dt + left[-1]))
            object.__setattr__(self, "_breakpoints", ends)
        return ends

    def boundary(self, k: int) -> float:
        if k == self._n_t:
            return self._dt + float(k - 1) * self._dt
        return float(k) * self._dt

    def ends(self, k0: int, k1: int) -> tuple[_Floats, _Floats]:
        ends = np.arange(k0, k1 + 1, dtype=np.float64) * self._dt
        if k1 == self._n_t:
            ends[-1] = self.boundary(k1)
        return ends[:-1], ends[1:]

    def lengths(self, k0: int, k1: int) -> _Floats:
        left, right = self.ends(k0, k1)
        return right - left

    def longest(self) -> float:
        # dt itself, with the callers' margin of an ulp of the ends: the lengths b - a of the
        # breakpoints k*dt differ from dt by rounding alone.
        return self._dt

    def key(self) -> tuple[Any, ...]:
        return ("uniform", self._n_t, self._T)

    def arguments(self) -> str:
        return f"n_t={self._n_t}, T={self._T!r}"


class Breakpoints(Partition):
    """The intervals between consecutive entries of strictly increasing finite breakpoints."""

    __slots__ = ()

    def __init__(self, breakpoints: _Floats) -> None:
        object.__setattr__(self, "_n_t", len(breakpoints) - 1)
        object.__setattr__(self, "_breakpoints", breakpoints)

    def _array(self) -> _Floats:
        ends = self._breakpoints
        assert ends is not None
        return ends

    @property
    def t0(self) -> float:
        return float(self._array()[0])

    @property
    def T(self) -> float:
        return float(self._array()[-1])

    def kernel_arguments(self) -> tuple[int, float, _Floats]:
        return (self._n_t, self.T, self._array())

    def breakpoints(self) -> _Floats:
        return self._array()

    def boundary(self, k: int) -> float:
        return float(self._array()[k])

    def ends(self, k0: int, k1: int) -> tuple[_Floats, _Floats]:
        ends = self._array()
        return ends[k0:k1], ends[k0 + 1 : k1 + 1]

    def lengths(self, k0: int, k1: int) -> _Floats:
        left, right = self.ends(k0, k1)
        return right - left

    def longest(self) -> float:
        return float(np.max(self.lengths(0, self._n_t)))

    def key(self) -> tuple[Any, ...]:
        return ("breakpoints", self._array().tobytes())

    def arguments(self) -> str:
        ends = self._array()
        shown = (
            [repr(float(x)) for x in ends]
            if ends.size <= 8
            else ([repr(float(x)) for x in ends[:3]] + ["..."] + [repr(float(x)) for x in ends[-2:]])
        )
        return f"breakpoints=[{', '.join(shown)}]"


def breakpoints_of(value: object) -> Breakpoints:
    """The ``breakpoints=`` argument: a 1-D array-like of at least 2 finite, strictly increasing real
    numbers, copied into a read-only float64 array, which is then checked: what is checked is what
    the space keeps, whatever another thread writes into the caller's array meanwhile.

    One rule with equal intervals: every interval length ``b_{k+1} - b_k`` is a positive normal
    number (at least ``sys.float_info.min``), and the whole span ``b_n - b_0`` is finite."""
    ends = checks.frozen(checks.as_float_array("breakpoints", value))
    if ends.ndim != 1:
        raise ValueError(f"breakpoints: expected a 1-D array, got shape {ends.shape}")
    if ends.size < 2:
        raise ValueError(f"breakpoints: expected at least 2 breakpoints, got {ends.size}")
    finite = np.isfinite(ends)
    if not finite.all():
        k = int(np.argmin(finite))
        raise ValueError(f"breakpoints: breakpoints[{k}] = {float(ends[k])!r} is not finite")
    with np.errstate(over="ignore"):
        lengths = np.diff(ends)
        span = ends[-1] - ends[0]
    rising = lengths > 0.0
    if not rising.all():
        k = int(np.argmin(rising)) + 1
        raise ValueError(
            f"breakpoints: expected strictly increasing values, got breakpoints[{k - 1}] = {float(ends[k - 1])!r} "
            f"and breakpoints[{k}] = {float(ends[k])!r}"
        )
    normal = lengths >= sys.float_info.min
    if not normal.all():
        k = int(np.argmin(normal))
        raise ValueError(
            f"breakpoints: the interval length breakpoints[{k + 1}] - breakpoints[{k}] = {float(lengths[k])!r} is not "
            f"a positive normal number"
        )
    if not np.isfinite(span):
        raise ValueError(
            f"breakpoints: the span from breakpoints[0] = {float(ends[0])!r} to breakpoints[{ends.size - 1}] = "
            f"{float(ends[-1])!r} is longer than the largest float"
        )
    return Breakpoints(ends)


def uniform_of(n_t: object, T: object, fits: Callable[[int], None]) -> Uniform:
    """The ``n_t, T`` arguments: n_t >= 1 equal intervals of [0, T]; ``fits(n_t)`` checks the count
    before the interval length is."""
    count = checks.count("n_t", n_t, 1)
    end = checks.length("T", T)
    fits(count)
    return Uniform(count, end, checks.interval_length(end, count))


class Partitioned(ImmutableValue):
    """A value on a partition whose global rows time slabs own: the base of the spaces. Each kind
    answers which rows a range of its intervals owns."""

    __slots__ = ("_partition",)
    _partition: Partition

    def _slab_ranges(self, k0: int, k1: int) -> tuple[range, ...]:
        """The global rows the intervals [k0, k1) own, as ascending ranges of step 1."""
        raise NotImplementedError

    def _shape_key(self) -> tuple[Any, ...]:
        """What besides the partition tells two values of one kind apart."""
        raise NotImplementedError


class TimeSlab[S: Partitioned](ImmutableValue):
    """The contiguous range of intervals ``[k0, k1)`` of a space, with the global rows it owns.

    Made by ``space.slabs(parts)`` (a balanced split) or ``space.slab(k0, k1)``; an immutable value
    like the spaces (equality, hashing, pickling, copying). The operators read only a slab's own
    checked fields, whatever a subclass's public members claim.

    Ownership, in the space's global numbering:

    - ``LegendreSpace`` (degree-major, position ``i*n_t + k``): the slab owns ``i*n_t + k`` for
      every degree i and every interval k in [k0, k1).
    - ``LagrangeSpace`` (point ``k*degree + j`` is local node j of interval k): a node belongs to
      the interval on its right, the final node (T) to the last interval, as a time on an interior
      interval end does. The slab owns the points ``k0*degree ... k1*degree - 1``, and the slab with
      ``k1 == n_t`` also ``n_t*degree``. The point ``k1*degree`` of a slab with ``k1 < n_t`` is its
      right ghost, owned by the next slab.

    Parameters
    ----------
    space : LegendreSpace or LagrangeSpace
        The space whose intervals the slab names.
    k0, k1 : int
        First interval and one past the last one, ``0 <= k0 < k1 <= space.n_t``.

    Raises
    ------
    TypeError
        `space` not a space ("space: expected a LegendreSpace or a LagrangeSpace, got ..."); `k0`
        or `k1` not an integer (a bool included).
    ValueError
        Not ``0 <= k0 < k1 <= space.n_t``: "k0: expected 0 <= k0 < n_t = 4, got 4", "k1: expected
        k0 = 1 < k1 <= n_t = 4, got 1".
    AttributeError
        On setting or deleting any attribute, e.g. "TimeSlab objects are immutable: cannot set
        'k0'".

    See Also
    --------
    LegendreSpace.slabs, LagrangeSpace.slabs : A balanced split into slabs.
    LegendreSpace.slab, LagrangeSpace.slab : One slab of a space.
    LegendreSpace.evaluate : Evaluation from one slab's coefficients (``slab=``).
    LegendreSpace.mass_matrix : An operator built by the rows of a slab (``rows=``).
    parareal, mgrit : Solvers that hold one slab per process.

    Notes
    -----
    For a slab of ``space.slabs(parts)`` every value is formed in time independent of ``n_t``;
    ``rows`` is built (once) in time proportional to ``size``.

    Examples
    --------
    >>> pn.TimeSlab(pn.LagrangeSpace(2, 4, 1.0), 1, 3).rows.tolist()
    [2, 3, 4, 5]
    """

    __slots__ = ("_space", "_k0", "_k1", "_rows")

    _space: S
    _k0: int
    _k1: int
    _rows: npt.NDArray[np.int64] | None

    def __new__(cls, space: S, k0: int, k1: int) -> TimeSlab[S]:
        if not issubclass(type(space), Partitioned):
            raise TypeError(f"space: expected a LegendreSpace or a LagrangeSpace, got {checks.describe(space)}")
        self = super().__new__(cls)
        n_t = space._partition._n_t
        first = checks.count("k0", k0, 0)
        if first >= n_t:
            raise ValueError(f"k0: expected 0 <= k0 < n_t = {n_t}, got {first}")
        end = checks.count("k1", k1, 0)
        if not first < end <= n_t:
            raise ValueError(f"k1: expected k0 = {first} < k1 <= n_t = {n_t}, got {end}")
        object.__setattr__(self, "_space", space)
        object.__setattr__(self, "_k0", first)
        object.__setattr__(self, "_k1", end)
        object.__setattr__(self, "_rows", None)
        return self

    @property
    def space(self) -> S:
        """The space the slab belongs to.

        Examples
        --------
        >>> pn.LegendreSpace(2, 4, 1.0).slab(1, 3).space
        LegendreSpace(degree=2, n_t=4, T=1.0)
        """
        return self._space

    @property
    def k0(self) -> int:
        """First interval of the slab.

        Examples
        --------
        >>> pn.LegendreSpace(2, 4, 1.0).slab(1, 3).k0
        1
        """
        return self._k0

    @property
    def k1(self) -> int:
        """One past the last interval of the slab.

        Examples
        --------
        >>> pn.LegendreSpace(2, 4, 1.0).slab(1, 3).k1
        3
        """
        return self._k1

    @property
    def n_intervals(self) -> int:
        """Number of intervals, ``k1 - k0``.

        Examples
        --------
        >>> pn.LegendreSpace(2, 4, 1.0).slab(1, 3).n_intervals
        2
        """
        return self._k1 - self._k0

    @property
    def t0(self) -> float:
        """Left end of the slab: ``breakpoints[k0]`` of the space (``k0 * dt`` on equal intervals).

        Examples
        --------
        >>> pn.LegendreSpace(2, 4, 1.0).slab(1, 3).t0
        0.25
        """
        return self._space._partition.boundary(self._k0)

    @property
    def t1(self) -> float:
        """Right end of the slab: ``breakpoints[k1]`` of the space.

        It is the next slab's ``t0`` bit for bit (on equal intervals ``k1 * dt`` for an interior
        end, ``dt + (n_t - 1) * dt`` for the last slab). A time on an interior t1 belongs to the
        next slab (``locate_slab``).

        Examples
        --------
        >>> pn.LegendreSpace(2, 4, 1.0).slab(1, 3).t1
        0.75
        """
        return self._space._partition.boundary(self._k1)

    @property
    def row_ranges(self) -> tuple[range, ...]:
        """The global rows the slab owns, as ascending ranges of step 1.

        One range per degree for a LegendreSpace, one for a LagrangeSpace; their concatenation is
        ``rows``.

        Examples
        --------
        >>> pn.LegendreSpace(1, 4, 1.0).slab(1, 3).row_ranges
        (range(1, 3), range(5, 7))
        >>> pn.LagrangeSpace(2, 4, 1.0).slab(2, 4).row_ranges
        (range(4, 9),)
        """
        return self._space._slab_ranges(self._k0, self._k1)

    @property
    def size(self) -> int:
        """Number of rows the slab owns, ``len(rows)``.

        Examples
        --------
        >>> pn.LegendreSpace(2, 4, 1.0).slab(1, 3).size, pn.LagrangeSpace(2, 4, 1.0).slab(2, 4).size
        (6, 5)
        """
        return sum(len(r) for r in self._space._slab_ranges(self._k0, self._k1))

    @property
    def rows(self) -> npt.NDArray[np.int64]:
        """The global rows the slab owns, ascending: read-only int64 array of shape (size,).

        Raises
        ------
        ValueError
            On writing into the array: "assignment destination is read-only"; on setting its
            ``writeable`` flag: "cannot set WRITEABLE flag to True of this array".

        Examples
        --------
        >>> pn.LegendreSpace(1, 4, 1.0).slab(1, 3).rows.tolist()
        [1, 2, 5, 6]
        """
        rows = self._rows
        if rows is None:
            rows = checks.frozen(concatenated(self._space._slab_ranges(self._k0, self._k1)))
            object.__setattr__(self, "_rows", rows)
        return rows

    def __repr__(self) -> str:
        return f"TimeSlab({self._space!r}, k0={self._k0}, k1={self._k1})"

    def _key(self) -> tuple[S, int, int]:
        return (self._space, self._k0, self._k1)


def split[S: Partitioned](space: S, parts: int) -> tuple[TimeSlab[S], ...]:
    """The `parts` balanced slabs of a space: slab j covers ``[j*n_t // parts, (j+1)*n_t // parts)``."""
    n_t = space._partition._n_t
    count = checks.count("parts", parts, 1)
    if count > n_t:
        raise ValueError(
            f"parts: {count} slabs of {n_t} intervals would leave some empty, expected 1 <= parts <= n_t = {n_t}"
        )
    return tuple(TimeSlab(space, j * n_t // count, (j + 1) * n_t // count) for j in range(count))


def slab_of_intervals(intervals: npt.NDArray[np.int64], n_t: int, parts: int) -> npt.NDArray[np.int64]:
    """Index ``((k + 1)*parts - 1) // n_t`` of the slab of `split` holding each interval k, in place."""
    if n_t * parts <= sys.maxsize:
        intervals += 1
        intervals *= parts
        intervals -= 1
        intervals //= n_t
        return intervals
    # Products beyond int64: exact integers, element by element.
    wide = (intervals.astype(object) + 1) * parts - 1
    return (wide // n_t).astype(np.int64)


def row_range(rows: range, count: int) -> range:
    """A ``rows=`` range: step 1 and 0 <= start <= stop <= count."""
    if rows.step != 1:
        raise ValueError(f"rows: expected a range with step 1, got {rows!r}")
    if not 0 <= rows.start <= rows.stop <= count:
        raise ValueError(
            f"rows: expected a range with 0 <= start <= stop <= {count} (the operator's rows), got {rows!r}"
        )
    return rows


def slab_of(name: str, slab: object, spaces: tuple[Partitioned, ...], names: str) -> TimeSlab[Any]:
    """`slab` as a TimeSlab of one of `spaces` (compared by kind, degree and interval ends: a slab of
    a uniform space serves the space on its breakpoints and the other way round)."""
    if not issubclass(type(slab), TimeSlab):
        raise TypeError(f"{name}: expected None or a TimeSlab, got {checks.describe(slab)}")
    assert isinstance(slab, TimeSlab)
    if not any(
        type(slab._space) is type(space)
        and slab._space._shape_key() == space._shape_key()
        and slab._space._partition.same_intervals(space._partition)
        for space in spaces
    ):
        raise ValueError(f"{name}: a slab of {slab._space!r}, expected a slab of {names}")
    return slab


def requested_ranges(
    rows: TimeSlab[Any] | range | None,
    count: int,
    spaces: tuple[Partitioned, ...],
    names: str,
    target: Partitioned | None = None,
) -> tuple[range, ...]:
    """The global row ranges a ``rows=`` argument asks for: the whole of the `count` rows for None,
    a range as it is (checked), a slab of one of `spaces` by its intervals (the rows of those
    intervals in `target`, by default in the first of `spaces`)."""
    if rows is None:
        return (range(count),)
    if type(rows) is range:
        return (row_range(rows, count),)
    if issubclass(type(rows), TimeSlab):
        slab = slab_of("rows", rows, spaces, names)
        return (spaces[0] if target is None else target)._slab_ranges(slab._k0, slab._k1)
    raise TypeError(f"rows: expected None, a TimeSlab or a range, got {checks.describe(rows)}")


def concatenated(ranges: tuple[range, ...]) -> npt.NDArray[np.int64]:
    """The integers of the ranges one after the other, as int64."""
    parts = [np.arange(r.start, r.stop, dtype=np.int64) for r in ranges]
    return parts[0] if len(parts) == 1 else np.concatenate(parts)


def partition_of(n_t: object, T: object, breakpoints: object, fits: Callable[[int], None]) -> Partition:
    """The partition a space's arguments give: n_t and T, or breakpoints (exactly one form), its
    number of intervals checked by ``fits``."""
    if breakpoints is None:
        if n_t is None and T is None:
            raise ValueError("breakpoints: give either n_t and T or breakpoints, got neither")
        if T is None:
            raise ValueError(f"T: expected the end of the time interval after n_t = {n_t!r}, got none")
        if n_t is None:
            raise ValueError(f"n_t: expected the number of intervals with T = {T!r}, got none")
        return uniform_of(n_t, T, fits)
    if n_t is not None or T is not None:
        raise ValueError("breakpoints: give either n_t and T or breakpoints, got both")
    partition = breakpoints_of(breakpoints)
    fits(partition.n_t)
    return partition
