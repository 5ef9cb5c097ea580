"""The operators' compressed-row results: arrays sized once, the kernel of the index width chosen
with them, the csr_array made without a second pass."""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeAlias

import numpy as np
import numpy.typing as npt
import scipy.sparse

from . import _checks as checks

_CSR = scipy.sparse.csr_array

if TYPE_CHECKING:
    # Index arrays (int32 or int64; numpy types np.arange with a dtype chosen at run time more
    # widely), and the signature of _validated_csr and _direct_csr.
    _Indices: TypeAlias = npt.NDArray[Any]
    _CsrFactory: TypeAlias = Callable[
        [npt.NDArray[np.float64], _Indices, _Indices, tuple[int, int]], scipy.sparse.csr_array[np.float64]
    ]
    # A kernel writing rows into (indptr, indices, data): the 32-bit and the 64-bit one take the
    # same arguments; it returns the entries it stored, or None when it fills every one.
    _Writer: TypeAlias = Callable[[Callable[..., Any], _Indices, _Indices, npt.NDArray[np.float64]], int | None]


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
    except Exception:  # noqa: BLE001 - any failure: a scipy without the expected layout  # pragma: no cover
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
csr = _choose_csr()


def rows_matrix(
    kernels: tuple[Callable[..., Any], Callable[..., Any]], shape: tuple[int, int], room: int, write: _Writer
) -> scipy.sparse.csr_array[np.float64]:
    """The csr_array of `shape` whose rows a kernel writes: indptr (its first offset 0), indices and
    data for `room` entries, of int32 when every index and offset fits it (scipy's own choice) and
    int64 otherwise, with the kernel of that width (``kernels``: the 32-bit one, the 64-bit one).
    ``write(kernel, indptr, indices, data)`` calls it; when it reports fewer entries than the room,
    the arrays shrink to them (and to int32 when those fit)."""
    count, columns = shape
    index = checks.index_dtype(room, count, columns)
    indptr = np.empty(count + 1, dtype=index)
    indptr[0] = 0
    indices = np.empty(room, dtype=index)
    data = np.empty(room, dtype=np.float64)
    stored = write(kernels[0] if index is np.int32 else kernels[1], indptr, indices, data)
    if stored is not None and stored < room:
        # Shrunk in place (the arrays are fresh and referenced nowhere else).
        indices.resize(stored, refcheck=False)
        data.resize(stored, refcheck=False)
        if index is np.int64 and checks.index_dtype(stored, count, columns) is np.int32:
            indptr, indices = indptr.astype(np.int32), indices.astype(np.int32)
    return csr(data, indices, indptr, shape)
