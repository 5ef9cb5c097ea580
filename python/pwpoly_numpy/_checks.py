"""Argument checking and conversion shared by the spaces.

Every public entry point validates its arguments here before any kernel runs, so a kernel never
sees an input it would reject; a misuse becomes a ``TypeError`` or ``ValueError`` that names the
argument, says what was expected and what was given.
"""

import math
import numbers
import operator
import os
import sys
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeAlias, cast

import numpy as np
import numpy.typing as npt
import scipy.sparse

if TYPE_CHECKING:  # pragma: no cover
    from scipy.sparse._base import _spbase

    # A vector argument that may also come as a sparse array (made dense). scipy's type stubs give
    # an operator's product `A @ u` as "sparse or dense" (dense at run time when u is), so the
    # vectors the operators produce are accepted as they are typed.
    ArrayLikeOrSparse: TypeAlias = npt.ArrayLike | _spbase[Any, Any]

# Largest element count of a float64 array the platform can allocate.
MAX_DOUBLES = sys.maxsize // 8
# Indices fit in int32 up to this value (scipy's default index type).
INT32_MAX = 2**31 - 1
# Most intervals of a space: see interval_length.
MAX_INTERVALS = 2**51


def describe(value: object) -> str:
    """Short description of a given value for error messages: its repr (shortened) and type."""
    text = repr(value)
    if len(text) > 60:
        text = text[:57] + "..."
    return f"{text} ({type(value).__name__})"


def count(name: str, value: Any, minimum: int) -> int:
    """A non-negative integer count (anything with ``__index__`` except bool), at least `minimum`."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name}: expected an integer, got {describe(value)}")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name}: expected an integer, got {describe(value)}") from None
    if number < minimum:
        raise ValueError(f"{name}: expected an integer >= {minimum}, got {number}")
    return number


def length(name: str, value: object) -> float:
    """A finite positive real number, as a Python float."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name}: expected a finite positive real number, got {describe(value)}")
    try:
        number = float(value)
    except OverflowError:
        raise ValueError(
            f"{name}: expected a finite positive real number, got {describe(value)}, beyond the largest float"
        ) from None
    if not math.isfinite(number) or number <= 0.0:
        raise ValueError(f"{name}: expected a finite positive real number, got {number!r}")
    return number


def interval_length(T: float, n_t: int) -> float:
    """dt = T / n_t, checked to give n_t intervals of positive length with distinct finite ends.

    With dt a positive normal number and n_t <= MAX_INTERVALS, a unit in the last place of any
    end k*dt is below dt, so consecutive ends k*dt < (k + 1)*dt and every right end dt + k*dt
    exceeds its left end; the last end, dt + (n_t - 1)*dt, must not overflow."""
    if n_t > MAX_INTERVALS:
        raise ValueError(
            f"n_t: expected at most 2**51 intervals (beyond, consecutive interval ends can "
            f"coincide in double precision), got {n_t}"
        )
    dt = T / n_t
    if not dt >= sys.float_info.min:
        raise ValueError(
            f"T: the interval length T / n_t = {dt!r} (T = {T!r}, n_t = {n_t}) is not a positive normal number"
        )
    if not math.isfinite(dt + float(n_t - 1) * dt):
        raise ValueError(f"T: the last interval end dt + (n_t - 1)*dt overflows (T = {T!r}, n_t = {n_t})")
    return dt


def derivative_order(value: object) -> int:
    """The derivative order: an integer >= 0 (a bool refused). Every order above a degree gives
    zeros, so a huge one is passed on as the largest size."""
    return min(count("derivative", value, 0), sys.maxsize)


def side(value: object) -> str:
    """The side of a limit at a breakpoint: "right" or "left"."""
    if not isinstance(value, str):
        raise TypeError(f"side: expected 'left' or 'right', got {describe(value)}")
    if value not in ("left", "right"):
        raise ValueError(f"side: expected 'left' or 'right', got {value!r}")
    return value


def as_float_array(name: str, value: object) -> npt.NDArray[np.float64]:
    """`value` converted with numpy's rules to an aligned C-contiguous float64 array; such an array
    (exactly an ndarray) is returned as it is, without a copy. Arrays of bool (as 0.0 and 1.0),
    integer and floating dtypes are accepted, and sequences of real numbers (Python ints included);
    a scipy sparse array or matrix is made dense first; anything else (None, strings, bytes,
    complex numbers, other objects) raises ``TypeError``, an integer beyond the float range
    ``ValueError``."""
    if scipy.sparse.issparse(value):
        value = cast("_spbase[Any, Any]", value).toarray()
    if type(value) is np.ndarray and value.dtype == np.float64 and value.flags.c_contiguous and value.flags.aligned:
        return value
    try:
        array = np.asarray(value)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{name}: expected an array-like of real numbers, got {describe(value)}") from error
    kind = array.dtype.kind
    if kind == "O":
        return _objects_as_floats(name, value, array)
    if kind not in "biuf":
        raise TypeError(
            f"{name}: expected an array-like of real numbers, got an array of dtype {array.dtype} "
            f"from {describe(value)}"
        )
    return np.require(array, dtype=np.float64, requirements=("C", "A"))


def _objects_as_floats(name: str, value: object, array: npt.NDArray[Any]) -> npt.NDArray[np.float64]:
    """An object array of real numbers (as numpy makes of a sequence holding ints beyond int64)
    converted item by item, as numpy would; any other item refused."""
    converted = np.empty(array.shape, dtype=np.float64)
    flat = converted.reshape(-1)
    for position, item in enumerate(array.flat):
        if not isinstance(item, (numbers.Real, np.bool_)):
            holding = f" holding {describe(item)}" if array.ndim else ""
            raise TypeError(f"{name}: expected an array-like of real numbers, got {describe(value)}{holding}")
        try:
            flat[position] = float(item)
        except OverflowError:
            raise ValueError(f"{name}: {describe(item)} is beyond the largest float") from None
        except (TypeError, ValueError) as error:
            raise TypeError(f"{name}: expected an array-like of real numbers, got {describe(item)}") from error
    return converted


def batch_of(name: str, value: object, size: int, size_name: str) -> npt.NDArray[np.float64]:
    """`value` as a float64 array of shape (..., size), C-contiguous."""
    array = as_float_array(name, value)
    if array.ndim == 0:
        raise ValueError(f"{name}: expected an array of shape (..., {size}), got a scalar")
    if array.shape[-1] != size:
        raise ValueError(f"{name}: last axis has length {array.shape[-1]}, expected {size_name} = {size}")
    return array


def check_out(out: object, shape: tuple[int, ...]) -> npt.NDArray[np.float64]:
    """The `out=` argument: a writeable float64 ndarray of the result shape. Returned as a plain
    ndarray view, checked on that view: what is written into it is what a subclass holds, whatever
    its own members claim."""
    if not issubclass(type(out), np.ndarray):
        raise TypeError(f"out: expected a numpy.ndarray, got {describe(out)}")
    view: npt.NDArray[Any] = np.ndarray.view(cast(npt.NDArray[Any], out), np.ndarray)
    if view.dtype != np.float64:
        raise TypeError(f"out: expected dtype float64, got dtype {view.dtype}")
    if view.shape != shape:
        raise ValueError(f"out: expected shape {shape}, got shape {view.shape}")
    if not view.flags.writeable:
        raise ValueError("out: expected a writeable array, got a read-only one")
    return view


def frozen(array: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """A copy of `array` over an immutable bytes object: read-only for good (setting its
    ``writeable`` flag raises), whoever holds it."""
    return np.frombuffer(array.tobytes(), dtype=array.dtype).reshape(array.shape)


def index_dtype(*largest: int) -> type[np.int32] | type[np.int64]:
    """int32 when every index and offset stays within its range, int64 otherwise."""
    return np.int32 if max(largest, default=0) <= INT32_MAX else np.int64


def call_on_times(
    name: str, f: Callable[[npt.NDArray[np.float64]], npt.ArrayLike], times: npt.NDArray[np.float64], expected: int
) -> npt.NDArray[np.float64]:
    """``f(times)`` as float64 of shape (..., expected): the values of a vectorised callable."""
    if not callable(f):
        raise TypeError(f"{name}: expected a callable, got {describe(f)}")
    values = as_float_array(f"{name}(t)", f(times))
    if values.ndim == 0 or values.shape[-1] != expected:
        raise ValueError(
            f"{name}: returned an array of shape {values.shape}, expected shape (..., {expected}) "
            f"ending in the length of its argument"
        )
    return values


def workers(value: object) -> int:
    """The number of threads a kernel may use, by scipy's convention: an integer >= 1, or -1 for
    every core this process may run on (its CPU affinity). The results do not depend on it."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"workers: expected an integer, got {describe(value)}")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"workers: expected an integer, got {describe(value)}") from None
    if number == -1:
        return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    if number < 1:
        raise ValueError(f"workers: expected an integer >= 1, or -1 for every core, got {number}")
    return min(number, sys.maxsize)
