"""The arguments parareal and MGRIT share: their checks, the problem they make a propagator of,
and the check that every process of a run was given the same ones."""

from __future__ import annotations

import hashlib
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeAlias, cast

import numpy as np
import numpy.typing as npt
import scipy.sparse

from . import _checks as checks
from ._lagrange import LagrangeSpace
from ._legendre import LegendreSpace
from ._propagator import GalerkinPropagator, Propagator, propagator_of
from ._ring import Attempt, Serial
from ._solver import _length_of_u0, _u0_fits, start_value

if TYPE_CHECKING:  # pragma: no cover
    _Floats: TypeAlias = npt.NDArray[np.float64]
    _Space: TypeAlias = LegendreSpace | LagrangeSpace


def real(name: str, value: object, default: float) -> float:
    if value is None:
        return default
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name}: expected a non-negative real number, got {checks.describe(value)}")
    number = float(value)
    if not number >= 0.0:
        raise ValueError(f"{name}: expected a non-negative real number, got {number!r}")
    return number


def eigenvalues_of(value: object) -> npt.NDArray[np.complex128] | None:
    if value is None:
        return None
    try:
        array = np.asarray(value, dtype=np.complex128).reshape(-1)
    except (TypeError, ValueError) as error:
        raise TypeError(f"eigenvalues: expected None or numbers, got {checks.describe(value)}") from error
    if array.size == 0 or not np.isfinite(array).all():
        raise ValueError(f"eigenvalues: expected finite numbers, at least one, got {checks.describe(value)}")
    return array


def space_of(space: object) -> _Space:
    if not isinstance(space, (LegendreSpace, LagrangeSpace)):
        raise TypeError(f"space: expected a LegendreSpace or a LagrangeSpace, got {checks.describe(space)}")
    return space


def start_of(u0: object) -> _Floats:
    return start_value("u0", u0, _length_of_u0(u0))


def share_end(ring: Serial, end: _Floats | None, attempt: Attempt) -> _Floats:
    shared: _Floats = ring.share(ring.size - 1, end, attempt)
    return shared


def problem(propagator: object, A: Any, n: int, galerkin: dict[str, Any]) -> Propagator:
    """The propagator of a run: the one given (A and the Galerkin options then unset), or the
    Galerkin propagator of A and the options."""
    if propagator is None:
        _u0_fits(A, n)
        made = GalerkinPropagator(A, **galerkin)
        made._n = n
        for name in ("F", "jac"):  # the stepper checks what it is given, on its first space
            if galerkin[name] is not None and not callable(galerkin[name]):
                raise TypeError(f"{name}: expected None or a callable, got {checks.describe(galerkin[name])}")
        return made
    given = propagator_of(propagator)
    for name, value in [("A", A), *galerkin.items()]:
        if value is not None and not (name == "workers" and value == 1):
            raise ValueError(f"{name}: expected it unset with propagator= (the propagator holds the problem), "
                             f"got {checks.describe(value)}")  # fmt: skip
    return given


# --- the same arguments on every process -----------------------------------------------------


def _digest(*parts: bytes) -> str:
    hashed = hashlib.sha256()
    for part in parts:
        hashed.update(len(part).to_bytes(8, "little"))
        hashed.update(part)
    return hashed.hexdigest()[:16]


def _array_print(value: npt.NDArray[Any]) -> str:
    array = np.ascontiguousarray(value)
    return f"an array of shape {array.shape} and dtype {array.dtype} (digest {_digest(array.tobytes())})"


def _fingerprint(value: object) -> str:
    """A short text that differs between values a run treats differently: numbers as themselves,
    arrays and sparse matrices by shape, type and a digest of their structure and values, spaces by
    kind, degree and a digest of the breakpoints, anything else by its type."""
    try:
        if value is None or isinstance(value, (bool, int, float, str, complex, np.number, np.bool_)):
            return repr(value)
        if isinstance(value, (LegendreSpace, LagrangeSpace)):
            return (f"{type(value).__name__} of degree {value.degree} on {value.n_t} intervals (digest "
                    f"{_digest(np.ascontiguousarray(value.breakpoints).tobytes())})")  # fmt: skip
        if scipy.sparse.issparse(value):
            rows = scipy.sparse.csr_array(cast(Any, value))
            parts = (rows.indptr, rows.indices, rows.data)
            digest = _digest(*(np.ascontiguousarray(p).tobytes() for p in parts))
            return f"a sparse matrix of shape {rows.shape} and dtype {rows.dtype} (digest {digest})"
        if isinstance(value, np.ndarray):
            return _array_print(value)
        if isinstance(value, (list, tuple)):
            return _array_print(np.asarray(value))
        if isinstance(value, Callable):  # type: ignore[arg-type]
            return f"the callable {getattr(value, '__qualname__', type(value).__qualname__)}"
    except Exception:  # noqa: BLE001 - a value that cannot be read is told apart by its type
        pass
    return f"a {type(value).__qualname__}"


def agree(ring: Serial, arguments: dict[str, object]) -> None:
    """The same ValueError on every process when they were not given the same arguments, naming
    the first that differs; a run on them would deadlock or disagree."""
    if ring.size == 1:
        return
    attempt = ring.attempt()
    mine: list[str] = []
    with attempt:
        mine = [_fingerprint(value) for value in arguments.values()]
    everyone: list[list[str]] = ring.gather(mine, attempt)
    for i, name in enumerate(arguments):
        for rank, prints in enumerate(everyone):
            if prints[i] != everyone[0][i]:
                raise ValueError(
                    f"{name}: expected the same on every process of comm, got {everyone[0][i]} on rank 0 and "
                    f"{prints[i]} on rank {rank}"
                )
