"""The stepping loops of the solver on each of its paths (the compiled dense block, the compiled
banded systems, the systems solved by a factorisation in Python, the coupled block): non-finite
values refused and blamed on their source, corrections added inside the loop, the factors kept
for long runs of large systems, and the core's LU against LAPACK's."""

from __future__ import annotations

import re
from collections.abc import Callable
from typing import Any

import numpy as np
import pytest
import scipy.fft
import scipy.linalg
import scipy.sparse
import scipy.sparse.linalg
from test_solver import heat, pade

import pwpoly_numpy as pn
from pwpoly_numpy import _kernels, _solver


def laplacian(n: int) -> scipy.sparse.csr_array[np.float64]:
    return scipy.sparse.csr_array(scipy.sparse.diags_array([-1.0, 2.0, -1.0], offsets=[-1, 0, 1], shape=(n, n)))


def operator(path: str) -> Any:
    """A of a path: few unknowns (the dense block), a band of 40 (the banded systems), a 2D
    Laplacian (the sparse LU in Python)."""
    if path == "dense":
        return laplacian(3)
    if path == "banded":
        return laplacian(40)
    eye = scipy.sparse.identity(6)
    return scipy.sparse.csr_array(scipy.sparse.kron(laplacian(6), eye) + scipy.sparse.kron(eye, laplacian(6)))


PATHS = ["dense", "banded", "sparse"]


def stepper_of(path: str, space: pn.LegendreSpace | pn.LagrangeSpace, A: Any, **options: Any) -> _solver.Stepper:
    stepper = _solver.Stepper(space, A, **options)
    compiled = stepper._dense or stepper._banded is not None
    assert compiled == (path != "sparse") and stepper._dense == (path == "dense")
    return stepper


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("kind", ["dG", "cG"])
@pytest.mark.parametrize(
    ("value", "message"),
    [
        (np.nan, r"f: expected finite values, got nan at t = 0\.\d+"),
        (-np.inf, r"f: expected finite values, got -inf at t = 0\.\d+"),
        (1.7e308, r"f: its integrals over interval 2 \(t = 0\.5 to 0\.75\) overflow"),
    ],
)
def test_non_finite_values_of_f_name_f(path: str, kind: str, value: float, message: str) -> None:
    A = operator(path)
    n = A.shape[0]
    space = (pn.LegendreSpace if kind == "dG" else pn.LagrangeSpace)(2, 4, 1.0)

    def f(t: np.ndarray) -> np.ndarray:
        return np.where(t > 0.5, value, 1.0) * np.ones((n, 1))

    stepper_of(path, space, A)
    with pytest.raises(ValueError, match=message):
        pn.solve_galerkin(space, A, np.ones(n), f=f)


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize(
    ("scale", "start", "T"),
    [(-4.0, 1.7e308, 40.0), (-4.0, 1e300, 40.0)],
    ids=["large u0", "growth"],
)
def test_an_overflowing_solution_names_its_interval(path: str, scale: float, start: float, T: float) -> None:
    A = operator(path) * scale
    n = A.shape[0]
    space = pn.LagrangeSpace(2, 40, T)
    stepper = stepper_of(path, space, A)
    with pytest.raises(ValueError, match=r"u0: the step of interval \d+ \(t = .*\) overflows") as raised:
        pn.solve_galerkin(space, A, np.full(n, start))
    k = int(re.findall(r"interval (\d+)", str(raised.value))[0])
    assert f"(t = {float(space.breakpoints[k])!r} to {float(space.breakpoints[k + 1])!r})" in str(raised.value)
    # The intervals before it step to finite values; the one named does not.
    u = np.full(n, start)
    if k > 0:
        coefficients, u = stepper.advance(0, k, u)
        assert np.isfinite(coefficients).all() and np.isfinite(u).all()
    with pytest.raises(ValueError, match=f"u0: the step of interval {k} "):
        stepper.advance(k, k + 1, u)


@pytest.mark.parametrize("q", [2, 6])  # the split systems, the coupled block
@pytest.mark.parametrize("result", [np.nan, np.inf])
def test_a_non_finite_solve_of_factorize_names_factorize(q: int, result: float) -> None:
    A = laplacian(40)

    def factorize(matrix: Any) -> Callable[[np.ndarray], np.ndarray]:
        solve = scipy.sparse.linalg.factorized(scipy.sparse.csc_array(matrix))
        calls = [0]

        def broken(rhs: np.ndarray) -> np.ndarray:  # wrong on its third call: interval 2
            calls[0] += 1
            x = np.array(solve(rhs))
            x[7] = result if calls[0] == 3 else x[7]
            return x

        return broken

    space = pn.LegendreSpace(q, 8, 1.0)
    with pytest.raises(ValueError, match=r"factorize: its solve returned a non-finite value on interval 2 \(t = 0.25 "):
        pn.solve_galerkin(space, A, np.ones(40), factorize=factorize)


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize(("kind", "overflow"), [("cG", False), ("cG", True), ("dG", True)])
def test_a_singular_step_matrix_still_names_a(path: str, kind: str, overflow: bool) -> None:
    # cG(1): T1 = T2 = 1, so M + (h/2) A = 0 is the step matrix; A so large that (h/2) A leaves
    # the doubles makes the pivots non-finite.
    n = operator(path).shape[0]
    M = scipy.sparse.csr_array(operator(path))
    space = (pn.LegendreSpace if kind == "dG" else pn.LagrangeSpace)(1, 4, 1.0 if not overflow else 1e10)
    A = 1e300 * M if overflow else -8.0 * M
    stepper_of(path, space, A, M=M)
    length = float(space.lengths[0])
    with pytest.raises(ValueError, match=rf"A: the step matrix of interval 0 \(length {length!r}\) is singular"):
        pn.solve_galerkin(space, A, np.ones(n), M=M)


def intervals(coefficients: np.ndarray, kind: str, m: int) -> np.ndarray:
    """The unknowns of each interval, shape (intervals, n, m), from the layout of `evaluate`: for
    dG coefficient i of interval k in column i * intervals + k; for cG the start value, then the
    nodal values interval by interval (the start left out)."""
    n = coefficients.shape[0]
    if kind == "dG":
        return coefficients.reshape(n, m, -1).transpose(2, 0, 1)
    return coefficients[:, 1:].reshape(n, -1, m).transpose(1, 0, 2)


def corrected_by_hand(
    stepper: _solver.Stepper, k0: int, k1: int, u: np.ndarray, corrections: np.ndarray
) -> tuple[list[np.ndarray], np.ndarray]:
    parts = []
    for k in range(k0, k1):
        c, u = stepper.advance(k, k + 1, u)
        parts.append(c)
        u = u + corrections[k - k0]
    return parts, u


@pytest.mark.parametrize("path", [*PATHS, "coupled"])
@pytest.mark.parametrize("kind", ["dG", "cG"])
def test_corrections_are_added_after_each_interval(path: str, kind: str) -> None:
    q = 6 if path == "coupled" else 2
    A = operator("banded" if path == "coupled" else path)
    n = A.shape[0]
    space = (pn.LegendreSpace if kind == "dG" else pn.LagrangeSpace)(q, breakpoints=0.9 * np.linspace(0, 1, 8) ** 2)
    x = np.linspace(0.0, 1.0, n)
    options: dict[str, Any] = {"f": lambda t: np.outer(x, np.cos(t)), "n": n}
    if path == "coupled":
        options["factorize"] = scipy.sparse.linalg.factorized
    stepper = _solver.Stepper(space, A, **options)
    rng = np.random.default_rng(5)
    u0 = rng.standard_normal(n)
    corrections = 1e-3 * rng.standard_normal((7, n))
    whole, end = stepper.advance(0, 7, u0, corrections)
    parts, expected_end = corrected_by_hand(stepper, 0, 7, u0, corrections)
    assert np.array_equal(end, expected_end)
    m = q + 1 if kind == "dG" else q
    for k, part in enumerate(parts):
        assert np.array_equal(intervals(whole, kind, m)[k], intervals(part, kind, m)[0])
    # Cut into pieces, each with its rows of the corrections: the same bits.
    first, middle = stepper.advance(0, 3, u0, corrections[:3])
    second, last = stepper.advance(3, 7, middle, corrections[3:])
    assert np.array_equal(last, end)
    assert np.array_equal(
        np.concatenate([intervals(first, kind, m), intervals(second, kind, m)]), intervals(whole, kind, m)
    )
    # Zero corrections change nothing.
    plain, plain_end = stepper.advance(0, 7, u0)
    zero, zero_end = stepper.advance(0, 7, u0, np.zeros((7, n)))
    assert np.array_equal(plain, zero) and np.array_equal(plain_end, zero_end)


@pytest.mark.parametrize(
    ("corrections", "error", "message"),
    [
        (np.zeros((2, 3)), ValueError, r"corrections: expected shape \(3, 3\), got \(2, 3\)"),
        (np.zeros(3), ValueError, r"corrections: expected shape \(3, 3\), got \(3,\)"),
        (np.full((3, 3), np.nan), ValueError, "corrections: expected finite values"),
        (np.zeros((3, 3)) + 0j, TypeError, "corrections: expected real numbers"),
        ("zeros", TypeError, "corrections: expected an array-like of real numbers"),
    ],
)
def test_misused_corrections(corrections: object, error: type[Exception], message: str) -> None:
    stepper = _solver.Stepper(pn.LegendreSpace(1, 4, 1.0), laplacian(3))
    with pytest.raises(error, match=message):
        stepper.advance(1, 4, np.ones(3), corrections)  # type: ignore[arg-type]


@pytest.mark.parametrize("graded", [False, True])
def test_long_runs_of_large_systems_keep_their_factors(graded: bool, monkeypatch: pytest.MonkeyPatch) -> None:
    # Factors too large to keep those of every length, loads of one interval at a time: one
    # factorisation per run of equal lengths, the bits of the run that keeps them all.
    A, n = laplacian(40), 40
    breakpoints = [0.0, 0.125, 0.25, 0.375, 0.625, 0.875, 1.125]  # lengths exact: three of each
    space = pn.LagrangeSpace(3, breakpoints=breakpoints) if graded else pn.LagrangeSpace(3, 6, 0.6)
    kept = _solver.Stepper(space, A)
    expected = kept.advance(0, 6, np.ones(n))
    monkeypatch.setattr(_solver, "_DENSE_CACHE", 1)
    monkeypatch.setattr(_solver, "_CHUNK_DOUBLES", 1)
    stepper = _solver.Stepper(space, A)
    result = stepper.advance(0, 6, np.ones(n))
    assert np.array_equal(result[0], expected[0]) and np.array_equal(result[1], expected[1])
    systems = len(_solver._method_of(space).eigen_re)
    runs = 1 + int(np.count_nonzero(np.diff(stepper._lengths)))
    assert kept.n_factorizations == systems * len(kept._unique)
    assert stepper.n_factorizations == systems * runs


@pytest.mark.parametrize("kind", ["dG", "cG"])
def test_stiff_solves_keep_the_rounding_floor(kind: str) -> None:
    # The 1D heat equation with 400 unknowns, degree 3 on 20 intervals: the end against the
    # exact discrete solution, each sine mode multiplied by the method's Pade approximant once
    # per interval. Unrefined split systems lose 3e-13 (cG) to 3e-12 (dG) here.
    n, q, n_t, T = 400, 3, 20, 0.1
    A = heat(n)
    x = np.linspace(0.0, 1.0, n + 2)[1:-1]
    u0 = np.minimum(x, 1.0 - x)
    mu = 4.0 * (n + 1) ** 2 * np.sin(np.arange(1, n + 1) * np.pi / (2 * (n + 1))) ** 2
    z = -mu * (T / n_t)
    step = np.array([pade(q, q + 1 if kind == "dG" else q, value) for value in z])
    exact = scipy.fft.idst(scipy.fft.dst(u0, type=1) * step**n_t, type=1)
    space = (pn.LegendreSpace if kind == "dG" else pn.LagrangeSpace)(q, n_t, T)
    stepper_of("banded", space, A)
    error = np.abs(pn.solve_galerkin(space, A, u0).end - exact).max() / np.abs(exact).max()
    assert error <= 2e-14


def wave(n: int) -> tuple[Any, Any, np.ndarray]:
    """u'' = u_xx on (0, 1), n interior points, as y' = -A y with y = (u_1, v_1, u_2, v_2, ...)
    (so A lies within a band): u' = v, v' = -L u; a bump at rest to start."""
    L = heat(n)
    A = scipy.sparse.lil_array((2 * n, 2 * n))
    for i in range(n):
        A[2 * i, 2 * i + 1] = -1.0
        for j in range(max(0, i - 1), min(n, i + 2)):
            A[2 * i + 1, 2 * j] = L[i, j]
    x = np.linspace(0.0, 1.0, n + 2)[1:-1]
    y0 = np.zeros(2 * n)
    y0[0::2] = np.exp(-100.0 * (x - 0.5) ** 2)
    return scipy.sparse.csr_array(A), L, y0


@pytest.mark.parametrize(("kind", "q"), [("cG", 3), ("cG", 5), ("dG", 5)])
def test_the_energy_of_the_undamped_wave(kind: str, q: int) -> None:
    # cG conserves the energy 0.5 (|v|^2 + u.L u) of a linear system; dG(5) dissipates, too
    # little to see here. Over 2000 steps the unrefined split systems drift 2e-11 (cG) and gain
    # 6e-10 (dG).
    A, L, y0 = wave(20)
    space = (pn.LagrangeSpace if kind == "cG" else pn.LegendreSpace)(q, 2000, 20.0)

    def energy(y: np.ndarray) -> float:
        return float(0.5 * (y[1::2] @ y[1::2] + y[0::2] @ (L @ y[0::2])))

    stepper_of("banded", space, A)
    change = (energy(pn.solve_galerkin(space, A, y0).end) - energy(y0)) / energy(y0)
    assert abs(change) <= 2e-12 if kind == "cG" else change <= 1e-13


def band_of(matrix: np.ndarray, lower: int, upper: int) -> np.ndarray:
    """The rows of a band in the core's storage: row i holds columns i - lower ... i + lower + upper."""
    n = matrix.shape[0]
    width = 2 * lower + upper + 1
    band = np.zeros((n, width), dtype=matrix.dtype)
    for i in range(n):
        for c in range(max(0, i - lower), min(n, i + upper + 1)):
            band[i, c + lower - i] = matrix[i, c]
    return band


def backward_error(matrix: np.ndarray, x: np.ndarray, b: np.ndarray) -> float:
    return float(np.abs(b - matrix @ x).max() / (np.abs(matrix).sum(axis=1).max() * np.abs(x).max()))


def blocks(kind: str, n: int, lower: int, upper: int, complex_: bool) -> np.ndarray:
    rng = np.random.default_rng(n + 7 * lower + 31 * upper)
    matrix = rng.standard_normal((n, n)) + (1j * rng.standard_normal((n, n)) if complex_ else 0.0)
    if kind == "graded":  # columns over twelve orders of magnitude: condition number ~1e12 or more
        matrix = matrix * np.logspace(0, -12, n)[None, :]
    elif kind == "small pivots":  # a diagonal far below the rest: every column swaps rows
        matrix[np.diag_indices(n)] *= 1e-8
    rows, columns = np.indices((n, n))
    return np.where((rows - columns <= lower) & (columns - rows <= upper), matrix, 0.0)


@pytest.mark.parametrize("kind", ["random", "graded", "small pivots"])
@pytest.mark.parametrize(("n", "lower", "upper"), [(30, 29, 29), (50, 2, 1), (60, 4, 3), (7, 0, 0)])
@pytest.mark.parametrize("complex_", [False, True])
def test_the_lu_against_lapack(kind: str, n: int, lower: int, upper: int, complex_: bool) -> None:
    matrix = blocks(kind, n, lower, upper, complex_)
    b = np.random.default_rng(3).standard_normal(n) + (1j if complex_ else 0.0)
    band = band_of(matrix, lower, upper)
    doubles = band.view(np.float64) if complex_ else band
    x = b.astype(matrix.dtype).copy()
    buffer = x.view(np.float64) if complex_ else x
    assert _kernels.band_solve(n, lower, upper, int(complex_), np.ascontiguousarray(doubles).ravel(), buffer) == 1
    ab = np.zeros((lower + upper + 1, n), dtype=matrix.dtype)
    for i in range(n):
        for c in range(max(0, i - lower), min(n, i + upper + 1)):
            ab[upper + i - c, c] = matrix[i, c]
    theirs = scipy.linalg.solve_banded((lower, upper), ab, b)
    lapack = backward_error(matrix, theirs, b)
    ours = backward_error(matrix, x, b)
    assert ours <= max(8.0 * lapack, 64 * np.finfo(float).eps), (ours, lapack)
    # The dense LU too (its full band) on the same matrix.
    if lower < n - 1:
        full = np.ascontiguousarray(band_of(matrix, n - 1, n - 1))
        y = b.astype(matrix.dtype).copy()
        full_doubles = full.view(np.float64) if complex_ else full
        assert (
            _kernels.band_solve(
                n, n - 1, n - 1, int(complex_), full_doubles.ravel(), y.view(np.float64) if complex_ else y
            )
            == 1
        )
        assert backward_error(matrix, y, b) <= max(8.0 * lapack, 64 * np.finfo(float).eps)


@pytest.mark.parametrize("complex_", [False, True])
@pytest.mark.parametrize("pivot", [0.0, np.nan, np.inf])
def test_the_lu_refuses_a_zero_or_non_finite_pivot(complex_: bool, pivot: float) -> None:
    matrix = np.eye(4, dtype=complex if complex_ else float)
    matrix[2, 2] = pivot
    band = np.ascontiguousarray(band_of(matrix, 1, 1))
    x = np.ones(4, dtype=matrix.dtype)
    buffer = x.view(np.float64) if complex_ else x
    assert (
        _kernels.band_solve(4, 1, 1, int(complex_), (band.view(np.float64) if complex_ else band).ravel(), buffer) == 0
    )
