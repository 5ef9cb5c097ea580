"""Galerkin operators in time: mass, derivative and upwind matrices between two spaces on one
partition, and the L2 projection between Legendre spaces. The spaces' methods of these names
call the functions here."""

from __future__ import annotations

from typing import TYPE_CHECKING, Union

import numpy as np
import numpy.typing as npt
import scipy.sparse

from . import _checks as checks
from . import _kernels
from . import _slabs
from . import _spaces

if TYPE_CHECKING:  # pragma: no cover
    from ._slabs import TimeSlab

Space = Union[_spaces.LegendreSpace, _spaces.LagrangeSpace]

# Kernel codes of the basis kinds and forms.
_LEGENDRE, _LAGRANGE = 0, 1
_MASS, _DERIVATIVE, _UPWIND = 0, 1, 2

_NO_BREAKPOINTS = np.empty(0, dtype=np.float64)
_NO_BREAKPOINTS.flags.writeable = False


def partition_of(space: Space) -> tuple[int, float, npt.NDArray[np.float64]]:
    """The kernels' partition arguments of a space: (n_t, T, breakpoints), with no breakpoints
    for the uniform partition of [0, T] (the kernels then form k*dt themselves)."""
    return space._n_t, space._T, _NO_BREAKPOINTS


def describe_partition(space: Space) -> str:
    return f"n_t = {space._n_t}, T = {space._T!r}"


def _span(space: Space) -> tuple[float, float]:
    return 0.0, space._T


def _same_partition(a: Space, b: Space) -> bool:
    return a._n_t == b._n_t and a._T == b._T


def _kind(space: Space) -> int:
    return _LEGENDRE if issubclass(type(space), _spaces.LegendreSpace) else _LAGRANGE


def _name(space: Space) -> str:
    return "V" if issubclass(type(space), _spaces.LegendreSpace) else "W"


def _trial_space(space: Space, trial: object) -> Space:
    if trial is None:
        return space
    if not isinstance(trial, (_spaces.LegendreSpace, _spaces.LagrangeSpace)):
        raise TypeError(f"trial: expected None, a LegendreSpace or a LagrangeSpace, got {checks.describe(trial)}")
    if not _same_partition(space, trial):
        raise ValueError(
            f"trial: {trial!r} is on another partition ({describe_partition(trial)}), expected the partition "
            f"of {_name(space)} = {space!r} ({describe_partition(space)})"
        )
    return trial


def _rows_of(space: Space, rows: TimeSlab | range | None) -> tuple[range, ...]:
    return _slabs.requested_ranges(rows, space._size, (space,), f"{_name(space)} = {space!r}")


def galerkin_matrix(
    space: Space, rows: TimeSlab | range | None, trial: object, form: int, workers: object
) -> scipy.sparse.csr_array[np.float64]:
    """Rows of the operator of `form` with test `space` and `trial` (default `space`)."""
    other = _trial_space(space, trial)
    ranges = _rows_of(space, rows)
    threads = checks.workers(workers)
    n_t, T, breakpoints = partition_of(space)
    shape = (_kind(space), space._degree, _kind(other), other._degree, form)
    counts = [_kernels.galerkin_nnz(*shape, n_t, r.start, r.stop) for r in ranges]
    count = sum(len(r) for r in ranges)
    nnz = sum(counts)
    index = checks.index_dtype(nnz, count, other._size)
    indptr = np.empty(count + 1, dtype=index)
    indptr[0] = 0
    indices = np.empty(nnz, dtype=index)
    data = np.empty(nnz, dtype=np.float64)
    kernel = _kernels.galerkin32 if index is np.int32 else _kernels.galerkin64
    row = entry = 0
    for r, stored in zip(ranges, counts):
        # Chained: this range's offsets continue from indptr[row].
        kernel(*shape, n_t, T, breakpoints, r.start, r.stop, indptr[row : row + len(r) + 1],
               indices[entry : entry + stored], data[entry : entry + stored], threads)
        row += len(r)
        entry += stored
    return _spaces._csr(data, indices, indptr, (count, other._size))


def mass_matrix(
    space: Space, rows: TimeSlab | range | None, trial: object, workers: object
) -> scipy.sparse.csr_array[np.float64]:
    return galerkin_matrix(space, rows, trial, _MASS, workers)


def derivative_matrix(
    space: Space, rows: TimeSlab | range | None, trial: object, upwind: object, workers: object
) -> scipy.sparse.csr_array[np.float64]:
    if not isinstance(upwind, (bool, np.bool_)):
        raise TypeError(f"upwind: expected a bool, got {checks.describe(upwind)}")
    if upwind:
        other = _trial_space(space, trial)
        for role, member in (("test", space), ("trial", other)):
            if not isinstance(member, _spaces.LegendreSpace):
                raise ValueError(
                    f"upwind: the traces need Legendre test and trial spaces, got the {role} space {member!r}"
                )
    return galerkin_matrix(space, rows, trial, _UPWIND if upwind else _DERIVATIVE, workers)


def projection_to(
    space: _spaces.LegendreSpace, other: object, rows: TimeSlab | range | None, workers: object
) -> scipy.sparse.csr_array[np.float64]:
    """Rows of the L2 projection from `space` onto the Legendre space `other`."""
    if not isinstance(other, _spaces.LegendreSpace):
        raise TypeError(f"other: expected a LegendreSpace, got {checks.describe(other)}")
    if _span(other) != _span(space):
        raise ValueError(
            f"other: {other!r} spans {list(_span(other))}, expected the span of V = {space!r}, {list(_span(space))}"
        )
    ranges = _slabs.requested_ranges(rows, other._size, (other,), f"other = {other!r}")
    threads = checks.workers(workers)
    source = (space._degree, *partition_of(space))
    target = (other._degree, *partition_of(other))
    rooms = [_kernels.projection_room(*source, *target, r.start, r.stop) for r in ranges]
    count = sum(len(r) for r in ranges)
    room = sum(rooms)
    index = checks.index_dtype(room, count, space._size)
    indptr = np.empty(count + 1, dtype=index)
    indptr[0] = 0
    indices = np.empty(room, dtype=index)
    data = np.empty(room, dtype=np.float64)
    kernel = _kernels.projection32 if index is np.int32 else _kernels.projection64
    row = entry = 0
    for r, size in zip(ranges, rooms):
        entry += kernel(*source, *target, r.start, r.stop, indptr[row : row + len(r) + 1],
                        indices[entry : entry + size], data[entry : entry + size], threads)
        row += len(r)
    if entry < room:
        # Shrunk in place (the arrays are fresh and referenced nowhere else).
        indices.resize(entry, refcheck=False)
        data.resize(entry, refcheck=False)
    return _spaces._csr(data, indices, indptr, (count, space._size))
