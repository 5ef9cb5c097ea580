"""One BLAS thread for the sparse LU's many small BLAS calls.

scipy's sparse LU calls BLAS on every supernode, mostly on a few dozen columns. Its OpenBLAS
splits each complex call among threads above a small size, and the threads' start and wait then
cost more than the work: a complex LU of a 2D Laplacian on 150 x 150 points took 1.5 to 10 s on
two threads (busier cores, longer), 0.3 to 0.6 s on one, as long as the real one.
``one_blas_thread()`` sets the thread count of every loaded OpenBLAS that offers
``openblas_set_num_threads_local`` (scipy's does; it returns the former count) to one around a
factorisation and restores it. The count is the library's, shared by the process: blocks that
overlap in several threads share one setting, made by the first to enter and restored by the last
to leave, and meanwhile other calls into that BLAS run on one thread too (slower, never different
in their results' correctness). Where no loaded library offers it (another BLAS, another system,
an older OpenBLAS), nothing changes."""

from __future__ import annotations

import contextlib
import ctypes
import threading
from collections.abc import Callable, Iterator

_Setter = Callable[[int], int]


def _setters() -> tuple[_Setter, ...]:
    """``openblas_set_num_threads_local`` of every library loaded in this process that has it,
    found once, from the process's memory map (scipy's BLAS is loaded with scipy.sparse.linalg,
    before the first factorisation)."""
    with _Shared.lock:
        if _Shared.setters is None:
            _Shared.setters = _loaded_setters()
        return _Shared.setters


def _loaded_setters() -> tuple[_Setter, ...]:
    try:
        with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
            paths = sorted({line.split()[-1] for line in maps if "openblas" in line.lower() and "/" in line})
    except OSError:
        return ()
    setters: list[_Setter] = []
    for path in paths:
        try:
            setter = ctypes.CDLL(path).openblas_set_num_threads_local
        except (OSError, AttributeError):
            continue
        setter.argtypes = [ctypes.c_int]
        setter.restype = ctypes.c_int
        setters.append(setter)
    return tuple(setters)


class _Shared:
    """The setters, found once; the blocks open in any thread, and the counts before the first."""

    lock = threading.Lock()
    setters: tuple[_Setter, ...] | None = None
    depth = 0
    former: tuple[int, ...] = ()


@contextlib.contextmanager
def one_blas_thread() -> Iterator[None]:
    """One BLAS thread inside the block; the former count once no block is open."""
    setters = _setters()
    with _Shared.lock:
        if _Shared.depth == 0:
            _Shared.former = tuple(setter(1) for setter in setters)
        _Shared.depth += 1
    try:
        yield
    finally:
        with _Shared.lock:
            _Shared.depth -= 1
            if _Shared.depth == 0:
                for setter, count in zip(setters, _Shared.former, strict=True):
                    setter(count)
