"""The processes of a parallel-in-time run, in a row: rank r owns a stretch of time, rank r + 1
the stretch after it.

The algorithms talk to their neighbours only through the few operations here, each one a step
that every rank takes, in the same order, whatever happened locally: ``shift`` (each rank passes
a value to the next one), ``share`` (one rank gives a value to all), ``gather`` (every rank gets
every rank's value) and ``check``. A rank whose own work raised (any exception, a
KeyboardInterrupt too) does not leave the row: it takes part in the next of these steps with the
exception in place of its value, and there every rank raises, the failed one its own exception
and the others a ``RuntimeError`` naming it. So a rank that raises never leaves the others
waiting for it.

``Serial`` is the row of one process (``comm=None``); the algorithms run the same arithmetic on
it, since every value a rank computes depends only on the values it is given, not on where the
stretches are cut.
"""

from __future__ import annotations

import sys
from types import TracebackType
from typing import Any

from . import _checks as checks


class Attempt:
    """A block of local work whose exception is kept for the next step of the row instead of
    leaving the rank: ``with ring.attempt() as attempt: ...``, then ``ring.shift(v, attempt)``."""

    __slots__ = ("failure",)

    def __init__(self) -> None:
        self.failure: BaseException | None = None

    def __enter__(self) -> Attempt:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> bool:
        # Any exception, KeyboardInterrupt and the internal fault too: a rank that left the row
        # here would leave the others waiting for it.
        if error is not None:
            self.failure = error
            return True
        return False


def _description(failure: BaseException | None) -> str | None:
    return None if failure is None else f"{type(failure).__name__}: {failure}"


class Serial:
    """The row of one process."""

    rank = 0
    size = 1

    def attempt(self) -> Attempt:
        return Attempt()

    def check(self, attempt: Attempt) -> None:
        if attempt.failure is not None:
            raise attempt.failure

    def shift(self, value: Any, attempt: Attempt) -> Any:
        self.check(attempt)
        return None

    def share(self, root: int, value: Any, attempt: Attempt) -> Any:
        self.check(attempt)
        return value

    def gather(self, value: Any, attempt: Attempt) -> list[Any]:
        self.check(attempt)
        return [value]


class Mpi(Serial):
    """The ranks of an mpi4py communicator, in rank order. Values go as pickles (numpy arrays
    keep their bits)."""

    def __init__(self, comm: Any) -> None:
        self._comm = comm
        self.rank = int(comm.Get_rank())
        self.size = int(comm.Get_size())
        self._null = sys.modules["mpi4py.MPI"].PROC_NULL

    def _raise(self, attempt: Attempt, descriptions: list[str | None]) -> None:
        if attempt.failure is not None:
            raise attempt.failure
        for rank, text in enumerate(descriptions):
            if text is not None:
                raise RuntimeError(f"comm: rank {rank} of {self.size} raised {text}")

    def check(self, attempt: Attempt) -> None:
        self._raise(attempt, self._comm.allgather(_description(attempt.failure)))

    def shift(self, value: Any, attempt: Attempt) -> Any:
        rank = self.rank
        received = self._comm.sendrecv(
            None if attempt.failure is not None else value,
            dest=rank + 1 if rank + 1 < self.size else self._null,
            source=rank - 1 if rank > 0 else self._null,
        )
        self.check(attempt)
        return received

    def share(self, root: int, value: Any, attempt: Attempt) -> Any:
        mine = (_description(attempt.failure), value if attempt.failure is None else None)
        text, shared = self._comm.bcast(mine if self.rank == root else None, root=root)
        if text is not None:
            self._raise(attempt, [text if rank == root else None for rank in range(self.size)])
        return shared

    def gather(self, value: Any, attempt: Attempt) -> list[Any]:
        pairs = self._comm.allgather((_description(attempt.failure), value if attempt.failure is None else None))
        self._raise(attempt, [text for text, _ in pairs])
        return [item for _, item in pairs]


def ring_of(comm: object) -> Serial:
    """The ``comm=`` argument: None for one process, or an mpi4py communicator (an intracommunicator
    whose ranks are the row). mpi4py is not imported here: a communicator exists only once its
    program has imported it."""
    if comm is None:
        return Serial()
    mpi = sys.modules.get("mpi4py.MPI")
    if mpi is None or not isinstance(comm, mpi.Intracomm):
        raise TypeError(f"comm: expected None or an mpi4py intracommunicator (mpi4py.MPI.Intracomm), got "
                        f"{checks.describe(comm)}")  # fmt: skip
    if comm == mpi.COMM_NULL:
        raise ValueError("comm: expected a communicator with processes, got mpi4py.MPI.COMM_NULL")
    return Mpi(comm)
