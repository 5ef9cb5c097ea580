"""Quadrature on the intervals of a partition: the rule a user chooses (``quadrature=``), the
times of its points, and the sums of test-function values against a callable's values there.
``project``, ``load_vector`` and the solver in time integrate through these."""

from __future__ import annotations

import operator
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeAlias

import numpy as np
import numpy.typing as npt

from . import _checks as checks
from . import _kernels

if TYPE_CHECKING:  # pragma: no cover
    from ._partition import Partition

    _Floats: TypeAlias = npt.NDArray[np.float64]


def rule(quadrature: object, default_points: int) -> tuple[_Floats, _Floats]:
    """The checked rule on [-1, 1]: None for Gauss-Legendre of `default_points` points, a positive
    integer for Gauss-Legendre of that many points, or ``(nodes, weights)`` given."""
    if quadrature is None:
        quadrature = default_points
    if isinstance(quadrature, (bool, np.bool_)):
        raise TypeError(
            f"quadrature: expected None, a positive integer or (nodes, weights), got {checks.describe(quadrature)}"
        )
    if isinstance(quadrature, tuple | list) and len(quadrature) == 2:
        nodes = checks.as_float_array("quadrature", quadrature[0])
        weights = checks.as_float_array("quadrature", quadrature[1])
        if nodes.ndim != 1 or nodes.shape != weights.shape or nodes.size == 0:
            raise ValueError(
                f"quadrature: expected nodes and weights as two 1-D arrays of one positive length, got shapes "
                f"{nodes.shape} and {weights.shape}"
            )
        if not (np.isfinite(nodes).all() and np.isfinite(weights).all()):
            raise ValueError("quadrature: expected finite nodes and weights")
        if nodes.min() < -1.0 or nodes.max() > 1.0:
            raise ValueError(
                f"quadrature: expected nodes in [-1, 1], got nodes from {nodes.min()!r} to {nodes.max()!r}"
            )
        return nodes.copy(), weights.copy()
    try:
        points = operator.index(quadrature)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"quadrature: expected None, a positive integer or (nodes, weights), got {checks.describe(quadrature)}"
        ) from None
    if points < 1:
        raise ValueError(f"quadrature: expected a positive number of points, got {points}")
    if points > 10_000:
        raise ValueError(f"quadrature: expected at most 10000 points per interval, got {points}")
    return _gauss_legendre(points)


_RULES: dict[int, tuple[_Floats, _Floats]] = {}


def _gauss_legendre(points: int) -> tuple[_Floats, _Floats]:
    """The Gauss-Legendre rule of `points` points, read-only (formed once per count)."""
    rule = _RULES.get(points)
    if rule is None:
        nodes, weights = np.polynomial.legendre.leggauss(points)
        rule = _RULES[points] = (checks.frozen(nodes), checks.frozen(weights))
    return rule


def times(partition: Partition, k0: int, k1: int, nodes: _Floats) -> _Floats:
    """The rule's times on the intervals [k0, k1), interval by interval, shape ((k1 - k0) * len(nodes),):
    each formed from its nearer interval end, the inverse of the evaluation's local coordinate."""
    out = np.empty((k1 - k0) * nodes.size, dtype=np.float64)
    _kernels.coordinate_times(*partition.kernel_arguments(), k0, k1, np.ascontiguousarray(nodes), out)
    return out


def values(f: Callable[[_Floats], npt.ArrayLike], t: _Floats, shape: tuple[int, ...] | None = None) -> _Floats:
    """``f(t)`` as float64 of shape (..., len(t)); with `shape`, exactly that leading shape (a
    single leading axis of length 1 may be left out)."""
    result = checks.call_on_times("f", f, t, t.size)
    if shape is not None and result.shape[:-1] != shape:
        if not (shape == (1,) and result.ndim == 1):
            raise ValueError(f"f: returned an array of shape {result.shape}, expected {shape + (t.size,)}")
        result = result.reshape(1, -1)
    return result


def interval_sums(values: _Floats, B: npt.NDArray[Any], intervals: int, threads: int) -> _Floats:
    """``out[b, i*intervals + k] = sum_r values[b, k*p + r] * B[r, i]``, in that order of r, for
    a rule of p points; values of shape (..., intervals * p), B of shape (p, m)."""
    m = B.shape[1]
    out = np.empty(values.shape[:-1] + (intervals * m,), dtype=np.float64)
    _kernels.project_sums(
        intervals, m, np.ascontiguousarray(values, dtype=np.float64), np.ascontiguousarray(B), out, threads
    )
    return out
