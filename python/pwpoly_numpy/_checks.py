"""Argument checking and conversion shared by the spaces.

Every public entry point validates its arguments here before any kernel runs, so a kernel never
sees an input it would reject; a misuse becomes a ``TypeError`` or ``ValueError`` that names the
argument, says what was expected and what was given.
"""

import math
import numbers
import operator
import sys
import warnings
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
    number = float(value)
    if not math.isfinite(number) or number <= 0.0:
        raise ValueError(f"{name}: expected a finite positive real number, got {number!r}")
    return number


def derivative_order(value: object) -> int:
    """The derivative order: 0 or 1."""
    number = count("derivative", value, 0)
    if number > 1:
        raise ValueError(f"derivative: expected 0 or 1, got {number}")
    return number


def as_float_array(name: str, value: object) -> npt.NDArray[np.float64]:
    """`value` converted with numpy's rules to an aligned C-contiguous float64 array; such an array
    is returned as it is, without a copy. Non-numeric input (strings, complex numbers, objects that
    do not convert) raises ``TypeError``. A scipy sparse array or matrix is made dense."""
    if scipy.sparse.issparse(value):
        value = cast("_spbase[Any, Any]", value).toarray()
    if type(value) is np.ndarray and value.dtype == np.float64 and value.flags.c_contiguous and value.flags.aligned:
        return value
    try:
        array = np.asarray(value)
    except (TypeError, ValueError) as error:
        raise TypeError(f"{name}: expected an array-like of real numbers, got {describe(value)}") from error
    kind = array.dtype.kind
    if kind in "biuf":
        return np.require(array, dtype=np.float64, requirements=("C", "A"))
    if kind == "O":
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                return np.require(array, dtype=np.float64, requirements=("C", "A"))
        except (TypeError, ValueError, Warning) as error:
            raise TypeError(f"{name}: expected an array-like of real numbers, got {describe(value)}") from error
    raise TypeError(
        f"{name}: expected an array-like of real numbers, got an array of dtype {array.dtype} "
        f"from {describe(value)}"
    )


def batch_of(name: str, value: object, size: int, size_name: str) -> npt.NDArray[np.float64]:
    """`value` as a float64 array of shape (..., size), C-contiguous."""
    array = as_float_array(name, value)
    if array.ndim == 0:
        raise ValueError(f"{name}: expected an array of shape (..., {size}), got a scalar")
    if array.shape[-1] != size:
        raise ValueError(f"{name}: last axis has length {array.shape[-1]}, expected {size_name} = {size}")
    return array


def check_out(out: object, shape: tuple[int, ...]) -> npt.NDArray[np.float64]:
    """The `out=` argument: a writeable float64 ndarray of the result shape."""
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out: expected a numpy.ndarray, got {describe(out)}")
    if out.dtype != np.float64:
        raise TypeError(f"out: expected dtype float64, got dtype {out.dtype}")
    if out.shape != shape:
        raise ValueError(f"out: expected shape {shape}, got shape {out.shape}")
    if not out.flags.writeable:
        raise ValueError("out: expected a writeable array, got a read-only one")
    return out


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
