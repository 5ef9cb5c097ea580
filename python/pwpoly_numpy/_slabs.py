"""Time slabs: contiguous ranges of intervals of a space, and the global rows each one owns.

A slab is what one process of a parallel-in-time run holds: the operators can be built by the
rows of a slab (``rows=``) and a Legendre expansion evaluated from a slab's coefficients alone
(``slab=``). Global numbering is never changed; a slab only names a part of it.
"""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING, Self, Union

import numpy as np
import numpy.typing as npt

from . import _checks as checks
from . import _spaces
from ._value import ImmutableValue

if TYPE_CHECKING:  # pragma: no cover
    from ._spaces import LagrangeSpace, LegendreSpace

    Space = Union[LegendreSpace, LagrangeSpace]


class TimeSlab(ImmutableValue):
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
    k0, k1 : int
        First interval and one past the last one, ``0 <= k0 < k1 <= space.n_t``.

    Notes
    -----
    For a slab of ``space.slabs(parts)`` every value is formed in time independent of ``n_t``;
    ``rows`` is built (once) in time proportional to ``size``.

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

    Example
    -------
    >>> TimeSlab(LagrangeSpace(2, 4, 1.0), 1, 3).rows.tolist()
    [2, 3, 4, 5]
    """

    __slots__ = ("_space", "_k0", "_k1", "_rows")

    _space: Space
    _k0: int
    _k1: int
    _rows: npt.NDArray[np.int64] | None

    def __new__(cls, space: Space, k0: int, k1: int) -> Self:
        if not issubclass(type(space), _spaces._Space):
            raise TypeError(f"space: expected a LegendreSpace or a LagrangeSpace, got {checks.describe(space)}")
        self = super().__new__(cls)
        n_t = space._n_t
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
    def space(self) -> Space:
        """The space the slab belongs to.

        Example
        -------
        >>> LegendreSpace(2, 4, 1.0).slab(1, 3).space
        LegendreSpace(degree=2, n_t=4, T=1.0)
        """
        return self._space

    @property
    def k0(self) -> int:
        """First interval of the slab.

        Example
        -------
        >>> LegendreSpace(2, 4, 1.0).slab(1, 3).k0
        1
        """
        return self._k0

    @property
    def k1(self) -> int:
        """One past the last interval of the slab.

        Example
        -------
        >>> LegendreSpace(2, 4, 1.0).slab(1, 3).k1
        3
        """
        return self._k1

    @property
    def n_intervals(self) -> int:
        """Number of intervals, ``k1 - k0``.

        Example
        -------
        >>> LegendreSpace(2, 4, 1.0).slab(1, 3).n_intervals
        2
        """
        return self._k1 - self._k0

    @property
    def t0(self) -> float:
        """Left end of the slab, ``k0 * dt``, as the evaluation forms the left end of interval k0.

        Example
        -------
        >>> LegendreSpace(2, 4, 1.0).slab(1, 3).t0
        0.25
        """
        return float(self._k0) * self._space._dt

    @property
    def t1(self) -> float:
        """Right end of the slab: ``breakpoints[k1]`` of the space, so ``k1 * dt`` for an interior
        end (the next slab's ``t0``, bit for bit) and ``dt + (n_t - 1) * dt`` for the last slab.
        Which slab owns a time near an end is told by ``locate_slab``, which follows the
        evaluation's own interval lookup.

        Example
        -------
        >>> LegendreSpace(2, 4, 1.0).slab(1, 3).t1
        0.75
        """
        dt = self._space._dt
        if self._k1 == self._space._n_t:
            return dt + float(self._k1 - 1) * dt
        return float(self._k1) * dt

    @property
    def row_ranges(self) -> tuple[range, ...]:
        """The global rows the slab owns, as ascending ranges of step 1 (one per degree for a
        LegendreSpace, one for a LagrangeSpace) whose concatenation is ``rows``.

        Example
        -------
        >>> LegendreSpace(1, 4, 1.0).slab(1, 3).row_ranges
        (range(1, 3), range(5, 7))
        >>> LagrangeSpace(2, 4, 1.0).slab(2, 4).row_ranges
        (range(4, 9),)
        """
        return ranges_of(self._space, self._k0, self._k1)

    @property
    def size(self) -> int:
        """Number of rows the slab owns, ``len(rows)``.

        Example
        -------
        >>> LegendreSpace(2, 4, 1.0).slab(1, 3).size, LagrangeSpace(2, 4, 1.0).slab(2, 4).size
        (6, 5)
        """
        return sum(len(r) for r in ranges_of(self._space, self._k0, self._k1))

    @property
    def rows(self) -> npt.NDArray[np.int64]:
        """The global rows the slab owns, ascending: read-only int64 array of shape (size,).

        Raises
        ------
        ValueError
            On writing into the array: "assignment destination is read-only"; on setting its
            ``writeable`` flag: "cannot set WRITEABLE flag to True of this array".

        Example
        -------
        >>> LegendreSpace(1, 4, 1.0).slab(1, 3).rows.tolist()
        [1, 2, 5, 6]
        """
        rows = self._rows
        if rows is None:
            rows = checks.frozen(concatenated(ranges_of(self._space, self._k0, self._k1)))
            object.__setattr__(self, "_rows", rows)
        return rows

    def __repr__(self) -> str:
        return f"TimeSlab({self._space!r}, k0={self._k0}, k1={self._k1})"

    def _key(self) -> tuple[Space, int, int]:
        return (self._space, self._k0, self._k1)


def ranges_of(space: Space, k0: int, k1: int) -> tuple[range, ...]:
    """The global rows of the intervals [k0, k1) of a space (see ``TimeSlab``), from its fields."""
    n_t, d = space._n_t, space._degree
    if issubclass(type(space), _spaces.LegendreSpace):
        return tuple(range(i * n_t + k0, i * n_t + k1) for i in range(d + 1))
    return (range(k0 * d, k1 * d + (1 if k1 == n_t else 0)),)


def split(space: Space, parts: int) -> tuple[TimeSlab, ...]:
    """The `parts` balanced slabs of a space: slab j covers ``[j*n_t // parts, (j+1)*n_t // parts)``."""
    n_t = space._n_t
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


def slab_of(name: str, slab: TimeSlab, spaces: tuple[Space, ...], names: str) -> Space:
    """The space among `spaces` that `slab` (a TimeSlab) belongs to, compared by type and fields:
    the slab's intervals are then valid intervals of it."""
    for space in spaces:
        if type(slab._space) is type(space) and slab._space._key() == space._key():
            return space
    raise ValueError(f"{name}: a slab of {slab._space!r}, expected a slab of {names}")


def requested_ranges(
    rows: TimeSlab | range | None, count: int, spaces: tuple[Space, ...], names: str, target: Space | None = None
) -> tuple[range, ...]:
    """The global row ranges a ``rows=`` argument asks for: the whole of the `count` rows for None,
    a range as it is (checked), a slab of one of `spaces` by its intervals (the rows of those
    intervals in `target`, by default in the slab's space)."""
    if rows is None:
        return (range(0, count),)
    if type(rows) is range:
        return (row_range(rows, count),)
    if issubclass(type(rows), TimeSlab):
        space = slab_of("rows", rows, spaces, names)
        return ranges_of(space if target is None else target, rows._k0, rows._k1)
    raise TypeError(f"rows: expected None, a TimeSlab or a range, got {checks.describe(rows)}")


def concatenated(ranges: tuple[range, ...]) -> npt.NDArray[np.int64]:
    """The integers of the ranges one after the other, as int64."""
    parts = [np.arange(r.start, r.stop, dtype=np.int64) for r in ranges]
    return parts[0] if len(parts) == 1 else np.concatenate(parts)
