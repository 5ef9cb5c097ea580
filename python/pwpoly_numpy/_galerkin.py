"""Galerkin operators in time: mass, derivative and upwind matrices between two spaces on one
partition, and the L2 projection between Legendre spaces. The spaces' methods of these names
call the functions here; each space class names its basis kind (``_basis``), so this module sits
below the spaces and imports neither."""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeGuard

import numpy as np
import scipy.sparse

from . import _checks as checks
from . import _csr, _kernels
from . import _partition as partitions
from ._space import Space

if TYPE_CHECKING:  # pragma: no cover
    from ._partition import TimeSlab

# Kernel codes of the basis kinds (a space's ``_basis``) and of the forms.
LEGENDRE, LAGRANGE = 0, 1
_MASS, _DERIVATIVE, _UPWIND = 0, 1, 2


def _describe_partition(space: Space) -> str:
    return space._partition.arguments()


def _same_partition(a: Space, b: Space) -> bool:
    return a._partition.same_intervals(b._partition)


def _kind(space: Space) -> int:
    return space._basis


def _name(space: Space) -> str:
    return "V" if space._basis == LEGENDRE else "W"


def _is_space(value: object) -> TypeGuard[Space]:
    kind = type(value)
    return issubclass(kind, Space) and kind._basis in (LEGENDRE, LAGRANGE)


def _trial_space(space: Space, trial: object) -> Space:
    if trial is None:
        return space
    if not _is_space(trial):
        raise TypeError(f"trial: expected None, a LegendreSpace or a LagrangeSpace, got {checks.describe(trial)}")
    if not _same_partition(space, trial):
        raise ValueError(
            f"trial: {trial!r} is on another partition ({_describe_partition(trial)}), expected the partition "
            f"of {_name(space)} = {space!r} ({_describe_partition(space)})"
        )
    return trial


def _rows_of(space: Space, rows: TimeSlab[Space] | range | None) -> tuple[range, ...]:
    return partitions.requested_ranges(rows, space._size, (space,), f"{_name(space)} = {space!r}")


def galerkin_matrix(
    space: Space, rows: TimeSlab[Space] | range | None, trial: object, form: int, workers: object
) -> scipy.sparse.csr_array[np.float64]:
    """Rows of the operator of `form` with test `space` and `trial` (default `space`)."""
    other = _trial_space(space, trial)
    ranges = _rows_of(space, rows)
    threads = checks.workers(workers)
    n_t, T, breakpoints = space._partition.kernel_arguments()
    shape = (_kind(space), space._degree, _kind(other), other._degree, form)
    counts = [_kernels.galerkin_nnz(*shape, n_t, r.start, r.stop) for r in ranges]

    def write(kernel: Callable[..., Any], indptr: Any, indices: Any, data: Any) -> None:
        row = entry = 0
        for r, stored in zip(ranges, counts, strict=True):
            # Chained: this range's offsets continue from indptr[row].
            end = entry + stored
            kernel(*shape, n_t, T, breakpoints, r.start, r.stop, indptr[row : row + len(r) + 1],
                   indices[entry:end], data[entry:end], threads)  # fmt: skip
            row += len(r)
            entry = end

    count = sum(len(r) for r in ranges)
    return _csr.rows_matrix((_kernels.galerkin32, _kernels.galerkin64), (count, other._size), sum(counts), write)


def mass_matrix(
    space: Space, rows: TimeSlab[Space] | range | None, trial: object, workers: object
) -> scipy.sparse.csr_array[np.float64]:
    return galerkin_matrix(space, rows, trial, _MASS, workers)


def derivative_matrix(
    space: Space, rows: TimeSlab[Space] | range | None, trial: object, upwind: object, workers: object
) -> scipy.sparse.csr_array[np.float64]:
    if not isinstance(upwind, (bool, np.bool_)):
        raise TypeError(f"upwind: expected a bool, got {checks.describe(upwind)}")
    if upwind:
        other = _trial_space(space, trial)
        for role, member in (("test", space), ("trial", other)):
            if member._basis != LEGENDRE:
                raise ValueError(
                    f"upwind: the traces need Legendre test and trial spaces, got the {role} space {member!r}"
                )
    return galerkin_matrix(space, rows, trial, _UPWIND if upwind else _DERIVATIVE, workers)


# Work (multiply-adds) of one kernel call of the projection at most, some tens of milliseconds:
# between two calls the interpreter runs its signal handlers, so Ctrl-C stops a projection of high
# degree (whose rows cost O(degree**2) each) within that time rather than at its end.
_PROJECTION_PART_WORK = 3 * 10**7


def _projection_parts(rows: range, room: int, space: Space, other: Space) -> list[range]:
    """`rows` cut into consecutive parts of at most _PROJECTION_PART_WORK each, the work of a row
    being its overlaps times the rule's points times the degrees' values it forms."""
    m = space._degree + 1
    overlaps = room // m  # over all the rows
    points = (space._degree + other._degree) // 2 + 1
    work = overlaps * points * (space._degree + other._degree + 2)
    if work <= _PROJECTION_PART_WORK or len(rows) <= 1:
        return [rows]
    step = max(1, (len(rows) * _PROJECTION_PART_WORK) // work)
    return [rows[i : i + step] for i in range(0, len(rows), step)]


def _ends(partition: partitions.Partition) -> set[float]:
    """The right end of a partition by either spelling: T, and its last breakpoint (on equal
    intervals ``dt + (n_t - 1)*dt``, which may differ from T in the last bit)."""
    return {partition.T, partition.boundary(partition.n_t)}


def _same_span(a: partitions.Partition, b: partitions.Partition) -> bool:
    """Whether two partitions cover one span: the same start, and an end in common by either spelling."""
    return a.t0 == b.t0 and not _ends(a).isdisjoint(_ends(b))


def projection_to(
    space: Space, other: object, rows: TimeSlab[Space] | range | None, workers: object
) -> scipy.sparse.csr_array[np.float64]:
    """Rows of the L2 projection from `space` onto the Legendre space `other`."""
    if not (_is_space(other) and other._basis == LEGENDRE):
        raise TypeError(f"other: expected a LegendreSpace, got {checks.describe(other)}")
    assert isinstance(other, Space)
    span = (space._partition.t0, space._partition.T)
    other_span = (other._partition.t0, other._partition.T)
    if not _same_span(space._partition, other._partition):
        raise ValueError(f"other: {other!r} spans {list(other_span)}, expected the span of V = {space!r}, {list(span)}")
    requested = partitions.requested_ranges(rows, other._size, (other,), f"other = {other!r}")
    threads = checks.workers(workers)
    source = (space._degree, *space._partition.kernel_arguments())
    target = (other._degree, *other._partition.kernel_arguments())
    ranges: list[range] = []
    rooms: list[int] = []
    for r in requested:
        for part in _projection_parts(r, _kernels.projection_room(*source, *target, r.start, r.stop), space, other):
            ranges.append(part)
            rooms.append(_kernels.projection_room(*source, *target, part.start, part.stop))

    def write(kernel: Callable[..., Any], indptr: Any, indices: Any, data: Any) -> int:
        row = entry = 0
        for r, size in zip(ranges, rooms, strict=True):
            # Chained: this range's offsets continue from indptr[row], its entries from `entry`.
            entry += kernel(*source, *target, r.start, r.stop, indptr[row : row + len(r) + 1],
                            indices[entry : entry + size], data[entry : entry + size], threads)  # fmt: skip
            row += len(r)
        return entry

    count = sum(len(r) for r in ranges)
    return _csr.rows_matrix((_kernels.projection32, _kernels.projection64), (count, space._size), sum(rooms), write)
