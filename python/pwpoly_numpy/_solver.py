"""The Galerkin solution in time of M u' + A u = f, interval by interval.

On an interval of length h the unknowns of the interval (the q + 1 Legendre coefficients of
dG(q), the q nodal values after the start node of cG(q)) solve

    (T1 kron M + (h/2) T2 kron A) x = F + C1 kron (M u) + (h/2) C2 kron (A u),

u the value at the interval's start (the previous interval's end, or u0), F the integrals of f
against the test functions, and T1, T2, C1, C2 small matrices of the method on [-1, 1] built from
the library's own operators (dG: upwind derivative and mass of the Legendre basis, the start
traces; cG: Legendre test functions of degree q - 1 against the Lagrange trial functions, whose
start node moves to the right-hand side). The end value is E x: the sum of the coefficients for
dG (every P_i is 1 at the right end), the last nodal value for cG.

With T2^-1 T1 = W diag(lambda) W^-1 the system splits into the systems
(lambda_l M + (h/2) A) y_l = (W^-1 T2^-1 rhs)_l of size n and x = W y: one real system per real
eigenvalue, one complex system per complex pair (its partner's solution is the conjugate). The
factorisations are kept per distinct interval length (on the compiled paths while the factors
of every length fit in _DENSE_CACHE doubles; beyond, those of the lengths of the current chunk
of intervals, kept while the next chunks have the same lengths). Above DECOUPLED_MAX_DEGREE the
eigenvectors are too ill-conditioned to keep 1e-12 and the coupled block is factorised instead;
systems of at most DENSE_MAX_UNKNOWNS unknowns per interval are stepped by a compiled loop over a
dense LU of the coupled block, and larger ones whose A and M lie within a few diagonals by a
compiled loop over banded LUs of the decoupled systems.

The compiled banded loop refines each interval's solution once against the coupled residual
(rhs - (T1 kron M + (h/2) T2 kron A) x from products with M and A, solved by the same split):
the rounded entries of lambda_l M + (h/2) A shift every mode alike, by about eps (h/2) ||A||
relative to lambda_l, an error that adds up over the intervals to about eps T ||A|| (1e-10 for
the 1D heat equation with 2000 unknowns, 1e-14 with the refinement). The loops in Python do not
refine: their solves are the caller's `factorize`, counted one by one.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Literal, TypeAlias, cast

import numpy as np
import numpy.typing as npt
import scipy.linalg.lapack
import scipy.sparse
import scipy.sparse.linalg

from . import _checks as checks
from . import _kernels
from . import _partition as partitions
from . import _quadrature as quadratures
from ._blas_threads import one_blas_thread
from ._lagrange import LagrangeSpace
from ._legendre import LegendreSpace

if TYPE_CHECKING:  # pragma: no cover
    from ._partition import Partition
    from .typing import Factorize, FloatArray, Matrix, TimeMatrix

    _Floats: TypeAlias = npt.NDArray[np.float64]
    _Solve: TypeAlias = Callable[[npt.NDArray[Any]], npt.ArrayLike]
    _Factorize: TypeAlias = Callable[[Any], _Solve]

# Largest degree solved by the eigenbasis of the time matrix; above it, the coupled block. The
# largest difference from the coupled solve, relative to the solution, measured on the heat
# equation with a source, P1 mass or none, on a graded partition: dG 2e-13 at degree 5, 1e-12 at
# 6, 7e-11 at 7, 5e-9 at 9; cG 1e-13 at 5, 7e-13 at 6, 4e-12 at 7, 8e-11 at 8.
DECOUPLED_MAX_DEGREE = 5
# Largest number of unknowns per interval, (q + 1) n for dG, q n for cG, stepped by the compiled
# loop over a dense LU (with the default factorisation).
DENSE_MAX_UNKNOWNS = 32
# Intervals whose loads are formed at once, and the most doubles of their loads: bound the
# memory of a long run beside its result.
_CHUNK = 4096
_CHUNK_DOUBLES = 1 << 20
# Step matrices whose entries lie within this many diagonals beside the main one (below plus
# above) are factorised by LAPACK's banded LU: for the tridiagonal matrices of a 1D problem about
# 50 times faster to factorise and 10 times faster to solve than the sparse LU.
_BAND = 8
# Most doubles of compiled factors (dense or banded) kept for the interval lengths of a space;
# beyond, the factors of one chunk of intervals at a time.
_DENSE_CACHE = 1 << 21


class _Method:
    """The small matrices of dG(q) or cG(q) on [-1, 1] (see the module's note)."""

    def __init__(self, space: LegendreSpace | LagrangeSpace) -> None:
        q = space._degree
        one = [-1.0, 1.0]
        if isinstance(space, LegendreSpace):
            V = LegendreSpace(q, breakpoints=one)
            self.T1 = V.derivative_matrix(upwind=True).toarray()
            self.T2 = V.mass_matrix().toarray()
            self.C1 = V.basis_matrix([-1.0]).toarray()[0]
            self.C2 = np.zeros(q + 1)
            self.E = np.ones(q + 1)
            self.test_degree = q
        else:
            W = LagrangeSpace(q, breakpoints=one)
            V = LegendreSpace(q - 1, breakpoints=one)
            D = V.derivative_matrix(trial=W).toarray()
            Mt = V.mass_matrix(trial=W).toarray()
            self.T1, self.T2 = D[:, 1:], Mt[:, 1:]
            self.C1, self.C2 = -D[:, 0], -Mt[:, 0]
            self.E = np.zeros(q)
            self.E[-1] = 1.0
            self.test_degree = q - 1
        for name in ("T1", "T2", "C1", "C2", "E"):
            setattr(self, name, np.ascontiguousarray(getattr(self, name), dtype=np.float64))
        self.m = self.T1.shape[0]
        # The eigenbasis: real eigenvalues, then one of each complex pair (positive imaginary part).
        values, vectors = np.linalg.eig(np.linalg.solve(self.T2, self.T1))
        # LAPACK returns a real matrix's complex eigenvalues as exact conjugate pairs.
        keep = [i for i in range(self.m) if values[i].imag >= 0.0]
        scale = np.array([1.0 if values[i].imag == 0.0 else 2.0 for i in keep])
        self.eigenvalues: npt.NDArray[Any] = values[keep]
        self.complex = [bool(values[i].imag != 0.0) for i in keep]
        if not any(self.complex):
            self.eigenvalues = self.eigenvalues.real
        inverse = np.linalg.solve(vectors, np.linalg.inv(self.T2))[keep]  # rows of W^-1 T2^-1
        # In real arithmetic (numpy's products of complex and real arrays are slow): the
        # right-hand sides are G_re @ rhs + i G_im @ rhs, and x = Re(sum over the kept l of
        # scale_l W[:, l] y_l) = Wy @ [Re y; Im y] with Wy = [Re(W scale), -Im(W scale)].
        self.G_re = np.ascontiguousarray(inverse.real)
        self.G_im = np.ascontiguousarray(inverse.imag)
        self.eigen_re = np.ascontiguousarray(np.real(self.eigenvalues), dtype=np.float64)
        self.eigen_im = np.ascontiguousarray(np.imag(self.eigenvalues), dtype=np.float64)
        vectors = vectors[:, keep] * scale[None, :]
        self.Wy = np.ascontiguousarray(np.hstack([vectors.real, -vectors.imag]))

    def packed(self, split: bool) -> _Floats:
        """The method as the step kernels take it: T1, T2, C1, C2, E, and with `split` the
        eigenvalues, the rows of W^-1 T2^-1 and the map Wy."""
        parts = [self.T1, self.T2, self.C1, self.C2, self.E]
        if split:
            parts += [self.eigen_re, self.eigen_im, self.G_re, self.G_im, self.Wy]
        return np.concatenate([part.ravel() for part in parts])


class _StepData:
    """The description of a step the kernels take, in four buffers (see stepping.hpp): the shape
    (n, m, p, lower, upper), p the number of split systems or 0 for the coupled block; the
    method; the compressed rows of M and A (row starts of both, then column indices of both);
    their values."""

    __slots__ = ("buffers", "systems")

    def __init__(self, method: _Method, M: Any, A: Any, n: int, split: bool, band: tuple[int, int]) -> None:
        M_rows, A_rows = _canonical_rows(M), _canonical_rows(A)
        self.systems = len(method.eigen_re) if split else 0
        shape = np.array([n, method.m, self.systems, *band], dtype=np.int64)
        structure = np.concatenate([M_rows.indptr, A_rows.indptr, M_rows.indices, A_rows.indices]).astype(np.int64)
        entries = np.concatenate([M_rows.data, A_rows.data]).astype(np.float64)
        self.buffers = (shape, method.packed(split), np.ascontiguousarray(structure), np.ascontiguousarray(entries))


def _refuse_complex(name: str, value: object) -> None:
    """TypeError for complex numbers, which the real solver would silently truncate."""
    if scipy.sparse.issparse(value):
        kind = value.dtype.kind  # type: ignore[attr-defined]
    else:
        try:
            kind = np.asarray(value).dtype.kind
        except (TypeError, ValueError):
            return  # as_float_array names what is wrong
    if kind == "c":
        raise TypeError(f"{name}: expected real numbers, got complex ones")


def _matrix(name: str, value: object, n: int | None, what: str) -> tuple[Any, int]:
    """A real square matrix (sparse as CSR, or a dense ndarray) with finite entries."""
    _refuse_complex(name, value)
    if scipy.sparse.issparse(value):
        matrix: Any = scipy.sparse.csr_array(cast(Any, value))
        if matrix.dtype.kind not in "biuf":
            raise TypeError(f"{name}: expected a real matrix, got dtype {matrix.dtype}")
        matrix = matrix.astype(np.float64, copy=False)
        entries = matrix.data
    else:
        if value is None:
            raise TypeError(f"{name}: expected a square sparse array or matrix or an ndarray, got None")
        matrix = entries = checks.as_float_array(name, value)
    shape = tuple(matrix.shape)
    if len(shape) != 2:
        raise ValueError(f"{name}: expected a 2-D matrix, got shape {shape}")
    if n is None:
        if shape[0] != shape[1]:
            raise ValueError(f"{name}: expected a square matrix, got shape {shape}")
        n = shape[0]
    elif shape != (n, n):
        raise ValueError(f"{name}: expected shape {(n, n)} to match {what}, got {shape}")
    if n == 0:
        raise ValueError(f"{name}: expected at least one unknown, got shape {shape}")
    if not np.isfinite(entries).all():
        raise ValueError(f"{name}: expected finite entries, got a non-finite one")
    return matrix, n


def start_value(name: str, value: object, n: int) -> _Floats:
    """A real vector of n finite values (a C-contiguous float64 one as it is)."""
    if type(value) is np.ndarray and value.dtype == np.float64 and value.shape == (n,) and value.flags.c_contiguous:
        u: _Floats = value  # what the checks below let through unchanged, without their cost per step
    else:
        _refuse_complex(name, value)
        u = checks.as_float_array(name, value)
        if u.shape != (n,):
            raise ValueError(f"{name}: expected shape ({n},), got {u.shape}")
    if not np.isfinite(u).all():
        raise ValueError(f"{name}: expected finite values, got a non-finite one")
    return u


def _band(coo: Any) -> tuple[int, int] | None:
    """The diagonals below and above the main one holding the entries of a matrix, when they are
    few enough for the banded LU."""
    offsets = coo.row.astype(np.int64) - coo.col.astype(np.int64)
    lower, upper = (max(0, int(offsets.max())), max(0, -int(offsets.min()))) if coo.nnz else (0, 0)
    return (lower, upper) if lower + upper <= _BAND and coo.shape[0] > 2 * _BAND else None


def _default_factorize(matrix: Any) -> _Solve:
    """scipy's sparse LU, or LAPACK's banded LU for a matrix within a few diagonals."""
    csc = scipy.sparse.csc_array(matrix)
    coo = csc.tocoo()
    band = _band(coo)
    if band is not None:
        return _banded_factorize(coo, *band)
    # Minimum degree on the structure of K + K^T: the step matrices of a space operator are
    # structurally symmetric, and for the complex ones of a 2D Laplacian it factorises 20 to 50
    # times faster than splu's default column ordering (and the coupled block twice as fast).
    # On one BLAS thread: the LU's BLAS calls are small (see _blas_threads.py).
    with one_blas_thread():
        lu = scipy.sparse.linalg.splu(csc, permc_spec="MMD_AT_PLUS_A")
    solve: _Solve = lu.solve
    return solve


def _banded_factorize(coo: Any, lower: int, upper: int) -> _Solve:
    """LU with partial pivoting of a banded matrix (LAPACK gbtrf, its band storage)."""
    coo.sum_duplicates()
    n = coo.shape[0]
    band = np.zeros((2 * lower + upper + 1, n), dtype=coo.dtype, order="F")
    band[lower + upper + coo.row - coo.col, coo.col] = coo.data
    factor, substitute = scipy.linalg.lapack.get_lapack_funcs(("gbtrf", "gbtrs"), (band,))
    lu, pivots, info = factor(band, lower, upper, overwrite_ab=1)
    if info > 0:
        raise RuntimeError("Factor is exactly singular")

    def solve(rhs: npt.NDArray[Any]) -> npt.NDArray[Any]:
        x, _ = substitute(lu, lower, upper, rhs, pivots)
        return np.asarray(x)

    return solve


class Stepper:
    """Steps dG(q) (a LegendreSpace) or cG(q) (a LagrangeSpace) of M u' + A u = f interval by
    interval, keeping the factorisations of the step matrices per distinct interval length.

    ``advance(k0, k1, u)`` returns the coefficients of the intervals k0 ... k1 - 1 in the layout
    ``space.evaluate(c, t, slab=space.slab(k0, k1))`` takes, and the value at breakpoints[k1]; the
    same bits for the same start value, whatever the ranges the run is cut into;
    ``advance(k0, k1, u, corrections)`` adds row j of `corrections` to the end value of interval
    k0 + j before the next one starts from it (for MGRIT's corrections). ``n`` is the
    system size when known (the length of u0, named in the messages); ``coupled=True`` factorises
    the coupled block of every interval instead of the decoupled systems (for comparisons).
    ``n_factorizations``, ``n_solves`` and ``n_quadrature_points`` count over all calls.
    With F or jac given, or A a callable or None, it is the Newton stepper of ``_newton.py``."""

    # Counts of the nonlinear stepper, zero for this one.
    nfev = njev = n_newton_iterations = 0

    def __new__(cls, space: object, A: object, **options: Any) -> Stepper:
        if cls is Stepper and (options.get("F") is not None or options.get("jac") is not None or A is None
                               or (callable(cast(Any, A)) and not scipy.sparse.issparse(A))):  # fmt: skip
            from ._newton import NewtonStepper

            return object.__new__(NewtonStepper)
        return object.__new__(cls)

    def __init__(
        self,
        space: object,
        A: object,
        *,
        M: object = None,
        f: Callable[[_Floats], npt.ArrayLike] | None = None,
        F: Callable[..., npt.ArrayLike] | None = None,
        jac: Callable[..., Any] | None = None,
        vectorized: bool = False,
        newton_tol: float = 1e-14,
        quadrature: int | tuple[npt.ArrayLike, npt.ArrayLike] | None = None,
        factorize: _Factorize | None = None,
        workers: object = 1,
        n: int | None = None,
        coupled: bool = False,
    ) -> None:
        if not isinstance(space, (LegendreSpace, LagrangeSpace)):
            raise TypeError(f"space: expected a LegendreSpace or a LagrangeSpace, got {checks.describe(space)}")
        self.space: LegendreSpace | LagrangeSpace = space
        what = f"u0 of length {n}"
        self._A, self.n = _matrix("A", A, n, what)
        self._M = None if M is None else _matrix("M", M, self.n, f"u0 of length {self.n}" if n else "A")[0]
        if f is not None and not callable(f):
            raise TypeError(f"f: expected None or a callable, got {checks.describe(f)}")
        self._f = f
        self._method = _method_of(space)
        self._rule = quadratures.rule(quadrature, space._degree + 2)
        if factorize is not None and not callable(factorize):
            raise TypeError(f"factorize: expected None or a callable, got {checks.describe(factorize)}")
        self._factorize = _default_factorize if factorize is None else factorize
        self._threads = checks.workers(workers)
        nodes, weights = self._rule
        test = np.polynomial.legendre.legvander(nodes, self._method.test_degree)
        self._B = test * weights[:, None]  # B[r, i] = w_r P_i(x_r)
        partition: Partition = space._partition
        self._partition = partition
        # The step lengths: each interval's own b - a on breakpoints; on equal intervals dt for
        # every interval (the rounded differences k*dt - (k - 1)*dt take a few distinct values
        # within an ulp of dt, and one length means one set of factorisations).
        if isinstance(partition, partitions.Uniform):
            self._lengths = np.full(partition.n_t, partition.dt)
        else:
            self._lengths = partition.lengths(0, partition.n_t)
        self._unique, which = np.unique(self._lengths, return_inverse=True)
        self._which = np.ascontiguousarray(which, dtype=np.int64)
        self._halves = np.ascontiguousarray(self._unique / 2.0)
        self._decoupled = not coupled and space._degree <= DECOUPLED_MAX_DEGREE
        self._dense = factorize is None and self._method.m * self.n <= DENSE_MAX_UNKNOWNS
        self._solvers: dict[int, list[_Solve]] = {}
        self._sparse: tuple[Any, Any] | None = None
        self._compiled_cache: tuple[_Floats, npt.NDArray[np.int64], npt.NDArray[np.int64]] | None = None
        self._compiled_complete = False  # every length of the kept compiled factors factorised
        self._chunk_factors: tuple[_Floats, tuple[_Floats, npt.NDArray[np.int64], npt.NDArray[np.int64]]] | None = None
        self.n_factorizations = 0
        self.n_solves = 0
        self.n_quadrature_points = 0
        # The description of a step for the kernels. The decoupled systems of banded operators,
        # with the default factorisation, go to the compiled loop too: their band.
        A_rows = _canonical_rows(self._A)
        M_rows = _canonical_rows(scipy.sparse.eye_array(self.n) if self._M is None else self._M)
        self._banded: tuple[int, int] | None = None
        if factorize is None and not self._dense and self._decoupled:
            self._banded = _band(scipy.sparse.coo_array(abs(A_rows) + abs(M_rows)))
        split = self._decoupled and not self._dense
        self._data = _StepData(self._method, M_rows, A_rows, self.n, split, self._banded or (0, 0))

    # --- the parts of a step ------------------------------------------------------------------

    def _loads(self, k0: int, k1: int) -> _Floats:
        """F of the intervals [k0, k1): shape (k1 - k0, m, n)."""
        method, n = self._method, self.n
        if self._f is None:
            return np.zeros((k1 - k0, method.m, n))
        t = quadratures.times(self._partition, k0, k1, self._rule[0])
        values = quadratures.values(self._f, t, (n,))
        self.n_quadrature_points += t.size
        finite = np.isfinite(values).all(axis=0)
        if not finite.all():
            at = int(np.argmin(finite))
            bad = values[:, at][~np.isfinite(values[:, at])][0]
            raise ValueError(f"f: expected finite values, got {float(bad)!r} at t = {float(t[at])!r}")
        sums = quadratures.interval_sums(values, self._B, k1 - k0, self._threads)  # (n, m * (k1 - k0))
        half = self._lengths[k0:k1] / 2.0
        loads = np.ascontiguousarray(sums.reshape(n, method.m, k1 - k0).transpose(2, 1, 0) * half[:, None, None])
        finite = np.isfinite(loads).reshape(k1 - k0, -1).all(axis=1)
        if not finite.all():
            k = k0 + int(np.argmin(finite))
            raise ValueError(f"f: its integrals over interval {k} ({self._where(k)}) overflow")
        return loads

    def _singular(self, k: int) -> ValueError:
        return ValueError(f"A: the step matrix of interval {k} (length {float(self._lengths[k])!r}) is singular")

    def _where(self, k: int) -> str:
        return f"t = {self._partition.boundary(k)!r} to {self._partition.boundary(k + 1)!r}"

    def _overflow(self, k: int) -> ValueError:
        """A step whose unknowns or end value leave the doubles, from finite loads and start value."""
        return ValueError(f"u0: the step of interval {k} ({self._where(k)}) overflows")

    def _sparse_operators(self) -> tuple[Any, Any]:
        """A and M as CSC arrays, made once."""
        if self._sparse is None:
            A = scipy.sparse.csc_array(self._A)
            M = scipy.sparse.eye_array(self.n, format="csc") if self._M is None else scipy.sparse.csc_array(self._M)
            self._sparse = (A, M)
        return self._sparse

    def _factorize_length(self, index: int, k: int) -> list[_Solve]:
        """The solves of the interval length of index `index` (first met on interval k)."""
        solvers = self._solvers.get(index)
        if solvers is not None:
            return solvers
        method = self._method
        half = float(self._unique[index]) / 2.0
        A, M = self._sparse_operators()
        if self._decoupled:
            matrices = [(lam if twin else lam.real) * M + half * A
                        for lam, twin in zip(method.eigenvalues, method.complex, strict=True)]  # fmt: skip
        else:
            matrices = [
                scipy.sparse.csc_array(scipy.sparse.kron(method.T1, M) + scipy.sparse.kron(half * method.T2, A))
            ]
        solvers = []
        for matrix in matrices:
            if not np.isfinite(matrix.data).all():  # (h/2) A beyond the doubles
                raise self._singular(k)
            try:
                solve = self._factorize(matrix)
            except RuntimeError as error:
                if "singular" in str(error).lower():
                    raise self._singular(k) from None
                raise
            if not callable(solve):
                raise TypeError(f"factorize: expected it to return a solve callable, got {checks.describe(solve)}")
            self.n_factorizations += 1
            solvers.append(solve)
        self._solvers[index] = solvers
        return solvers

    def _solve(self, solve: _Solve, rhs: npt.NDArray[Any], k: int) -> npt.NDArray[Any]:
        if not np.isfinite(rhs).all():
            raise self._overflow(k)
        result = np.asarray(solve(rhs))
        self.n_solves += 1
        if result.shape != rhs.shape:
            raise ValueError(f"factorize: its solve returned shape {result.shape}, expected {rhs.shape}")
        if not np.isfinite(result).all():
            if self._factorize is not _default_factorize:
                raise ValueError(f"factorize: its solve returned a non-finite value on interval {k} ({self._where(k)})")
            raise self._overflow(k)
        return result

    def _step(self, k: int, load: _Floats, u: _Floats) -> _Floats:
        """The unknowns of interval k, shape (m, n), from its loads and the start value u: the
        right-hand side and the split by the kernels, the systems by the factorisations."""
        method, n, data = self._method, self.n, self._data.buffers
        rhs = np.empty(method.m * n)
        _kernels.step_right_side(*data, float(self._lengths[k]) / 2.0, np.ascontiguousarray(load).ravel(), u, rhs)
        solvers = self._factorize_length(int(self._which[k]), k)
        if not self._decoupled:
            return self._solve(solvers[0], rhs, k).reshape(method.m, n)
        p = len(solvers)
        z_re, z_im, y = np.empty((p, n)), np.empty((p, n)), np.zeros((2 * p, n))
        _kernels.split_right_side(*data, rhs, z_re.reshape(-1), z_im.reshape(-1))
        for e, solve in enumerate(solvers):
            if method.complex[e]:
                solution = self._solve(solve, z_re[e] + 1j * z_im[e], k)
                y[e], y[p + e] = solution.real, solution.imag
            else:
                y[e] = self._solve(solve, z_re[e], k).real
        x = np.empty(method.m * n)
        _kernels.join_solutions(*data, y.ravel(), x)
        return x.reshape(method.m, n)

    def advance(
        self, k0: int, k1: int, u_start: npt.ArrayLike, corrections: npt.ArrayLike | None = None
    ) -> tuple[_Floats, _Floats]:
        """Steps the intervals k0 ... k1 - 1 from the value `u_start` at breakpoints[k0].

        Returns the coefficients of those intervals, shape (n, m) in the layout
        ``space.evaluate(c, t, slab=space.slab(k0, k1))`` takes, and the value at breakpoints[k1],
        shape (n,). With `corrections` (shape (k1 - k0, n)), row j is added to the end value of
        interval k0 + j before the next interval starts from it: the coefficients are those of the
        steps, the value returned includes the last row."""
        if not (type(k0) is int and type(k1) is int and 0 <= k0 < k1 <= self._partition.n_t):
            slab = self.space.slab(k0, k1)  # the checks and their messages
            k0, k1 = slab.k0, slab.k1
        u = start_value("u0", u_start, self.n)
        method, n, w = self._method, self.n, k1 - k0
        extra = None if corrections is None else _corrections(corrections, w, n)
        x = np.empty((w, method.m, n))
        # The loads of a chunk of intervals at a time: memory of a few megabytes beside the result.
        chunk = max(1, min(_CHUNK, _CHUNK_DOUBLES // (method.m * n)))
        for a in range(k0, k1, chunk):
            b = min(a + chunk, k1)
            # Values beyond the doubles are found by the checks of each part, without warnings.
            with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
                loads = self._loads(a, b)
                part = None if extra is None else extra[a - k0 : b - k0]
                if self._dense or self._banded is not None:
                    u = self._compiled_steps(a, b, loads, u, x[a - k0 : b - k0], part)
                    continue
                for j in range(b - a):
                    x[a - k0 + j] = self._step(a + j, loads[j], u)
                    u = method.E @ x[a - k0 + j]
                    if part is not None:
                        u = u + part[j]
                    if not (np.isfinite(x[a - k0 + j]).all() and np.isfinite(u).all()):
                        raise self._overflow(a + j)
        if isinstance(self.space, LegendreSpace):
            coefficients = x.transpose(2, 1, 0).reshape(n, method.m * w)
        else:
            coefficients = np.empty((n, w * method.m + 1))
            coefficients[:, 0] = u_start
            coefficients[:, 1:] = x.transpose(2, 0, 1).reshape(n, w * method.m)
        return np.ascontiguousarray(coefficients), np.array(u)

    def _compiled_steps(
        self, k0: int, k1: int, loads: _Floats, u: _Floats, x: _Floats, corrections: _Floats | None
    ) -> _Floats:
        """The compiled loop over the intervals [k0, k1): the coupled block by a dense LU, or the
        decoupled systems by banded LUs, the intervals stepped in order; x receives their
        unknowns, the end value is returned."""
        u = np.array(u, dtype=np.float64)
        sizes = np.zeros(2, np.int64)
        _kernels.step_factor_sizes(*self._data.buffers, sizes)
        size, pivots = int(sizes[0]), int(sizes[1])
        systems = max(1, self._data.systems)
        kept = len(self._unique) * size <= _DENSE_CACHE
        if kept:
            halves, slots = self._halves, self._which[k0:k1]
            if self._compiled_cache is None:
                self._compiled_cache = _empty_factors(len(self._unique), size, pivots)
            cache = self._compiled_cache
        else:
            # Too many lengths to keep the factors of all: those of this chunk's lengths, kept
            # while the next chunks have the same lengths.
            unique, which = np.unique(self._lengths[k0:k1], return_inverse=True)
            halves, slots = np.ascontiguousarray(unique / 2.0), np.ascontiguousarray(which, dtype=np.int64)
            if self._chunk_factors is None or not np.array_equal(self._chunk_factors[0], halves):
                self._chunk_factors = None  # the old factors freed before the new ones are made
                self._chunk_factors = (halves, _empty_factors(len(unique), size, pivots))
            cache = self._chunk_factors[1]
        complete = kept and self._compiled_complete
        before = 0 if complete else int(cache[2].sum())
        stop = np.zeros(1, np.int64)
        extra = _NO_CORRECTIONS if corrections is None else corrections
        done = _kernels.steps(*self._data.buffers, halves, *cache, slots, loads, extra, u, x, stop)
        if not complete:
            after = int(cache[2].sum())
            self.n_factorizations += systems * (after - before)
            self._compiled_complete = kept and after == len(cache[2])
        self.n_solves += systems * done * (2 if self._data.systems else 1)  # a refined step solves twice
        if done < k1 - k0:
            raise self._singular(k0 + done) if stop[0] == 1 else self._overflow(k0 + done)
        return u


_NO_CORRECTIONS = np.zeros(0)


def _corrections(value: object, w: int, n: int) -> _Floats:
    """The corrections of `advance`: float64 of shape (w, n), finite."""
    _refuse_complex("corrections", value)
    corrections = checks.as_float_array("corrections", value)
    if corrections.shape != (w, n):
        raise ValueError(f"corrections: expected shape {(w, n)}, got {corrections.shape}")
    if not np.isfinite(corrections).all():
        raise ValueError("corrections: expected finite values, got a non-finite one")
    return np.ascontiguousarray(corrections)


def _canonical_rows(matrix: Any) -> Any:
    """A copy of a matrix as CSR (it may share its parts with the caller's): sorted column indices,
    each once, no stored zeros (which would widen the band)."""
    rows = scipy.sparse.csr_array(matrix, copy=True)
    rows.sum_duplicates()
    rows.eliminate_zeros()
    return rows


def _empty_factors(
    lengths: int, size: int, pivots: int
) -> tuple[_Floats, npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """Room for the factors (`size` doubles a length), row swaps and flags of `lengths` interval
    lengths."""
    return np.zeros(lengths * size), np.zeros(lengths * pivots, np.int64), np.zeros(lengths, np.int64)


_METHODS: dict[tuple[int, int], _Method] = {}


def _method_of(space: LegendreSpace | LagrangeSpace) -> _Method:
    key = (space._basis, space._degree)
    method = _METHODS.get(key)
    if method is None:
        method = _METHODS[key] = _Method(space)
    return method


class GalerkinSolution:
    """The dG(q) or cG(q) solution of ``solve_galerkin``.

    Called with times in [t0, T], it gives the solution there (``sol(t)``; outside, it has no
    value and raises ValueError); its attributes hold the coefficients, the value at the end and
    the statistics of the run.

    Attributes
    ----------
    space : LegendreSpace or LagrangeSpace
    coefficients : ndarray of float64, shape (n, space.size)
        The coefficients (Legendre) or nodal values (Lagrange), the layout ``space.evaluate``
        takes.
    end : ndarray of float64, shape (n,)
        u at the partition's end (the left limit there).
    u0 : ndarray of float64, shape (n,)
        The start value, u at t0 (the left limit there).
    n_intervals, n_factorizations, n_solves, n_quadrature_points : int
        The statistics of the run: intervals stepped, factorisations made, linear solves (of size
        n, a complex one counted once; a coupled block solve counted once), points at which f was
        evaluated. With ``rtol``, every attempt counts: three intervals per step (the whole and
        its halves), rejected steps included.
    nfev, njev, nlu, n_newton_iterations : int
        The statistics of a nonlinear or time-dependent run (F, jac or a callable A): calls of
        F (each call of a vectorized F once; finite-difference Jacobians included), calls of
        jac, factorisations (the same number as ``n_factorizations``) and Newton iterations
        (summed over the intervals). A linear run has no calls and no iterations.
    n_rejected : int
        Steps rejected by the error control (0 without ``rtol``).
    error_estimate : ndarray of float64, shape (space.n_t,), or None
        With ``rtol``, per interval the estimated error (largest component) of the value at the
        end of the step it belongs to (the two halves of a step share it); None without.

    See Also
    --------
    solve_galerkin : The solver that makes it.
    ParallelSolution : The solution of one process's slab, from ``parareal`` and ``mgrit``.

    Examples
    --------
    >>> sol = pn.solve_galerkin(pn.LegendreSpace(2, 8, 1.0), np.array([[2.0]]), [1.0])
    >>> sol
    GalerkinSolution(LegendreSpace(degree=2, n_t=8, T=1.0), n=1, n_factorizations=1, n_solves=8)
    >>> sol.coefficients.shape, sol.end.shape, sol.n_intervals
    ((1, 24), (1,), 8)
    """

    __slots__ = ("space", "coefficients", "end", "u0", "n_intervals", "n_factorizations", "n_solves",
                 "n_quadrature_points", "nfev", "njev", "nlu", "n_newton_iterations", "n_rejected",
                 "error_estimate")  # fmt: skip

    def __init__(
        self,
        space: LegendreSpace | LagrangeSpace,
        coefficients: _Floats,
        u0: _Floats,
        end: _Floats,
        stepper: Stepper,
    ) -> None:
        self.space = space
        self.coefficients = coefficients
        self.u0 = u0
        self.end = end
        self.n_intervals = space.n_t
        self.n_factorizations = stepper.n_factorizations
        self.n_solves = stepper.n_solves
        self.n_quadrature_points = stepper.n_quadrature_points
        self.nfev, self.njev, self.nlu = stepper.nfev, stepper.njev, stepper.n_factorizations
        self.n_newton_iterations = stepper.n_newton_iterations
        self.n_rejected = 0
        self.error_estimate: _Floats | None = None

    def __call__(self, t: npt.ArrayLike, derivative: int = 0, side: Literal["left", "right"] = "right") -> FloatArray:
        """The solution (or its time derivative) at times.

        Parameters
        ----------
        t : array_like of float, any shape
            The times, in [t0, T]. A time within a few rounding errors of an end (4 units in the
            last place of the larger of abs(t0) and abs(T)) counts as that end; the solution has no
            value farther out.
        derivative : int, optional
            Order of the time derivative, >= 0 (default 0: the values).
        side : {"right", "left"}, optional
            "left" gives the left limits at the breakpoints, and u0 at t0; "right" (the default)
            the value of the interval on a breakpoint's right.

        Returns
        -------
        ndarray of float64, shape (n,) + t.shape
            u (or its derivative) at the times: ``space.evaluate(coefficients, t, derivative,
            side=side)``.

        Raises
        ------
        ValueError
            A time outside [t0, T] beyond the rounding of the ends ("t: expected times in [t0, T] =
            [0.0, 1.0], got t.flat[1] = 1.5"); otherwise as for ``LegendreSpace.evaluate``.
        TypeError
            As for ``LegendreSpace.evaluate``.

        See Also
        --------
        LegendreSpace.evaluate, LagrangeSpace.evaluate : The evaluation it makes.
        ParallelSolution.__call__ : The same on one process's slab.

        Examples
        --------
        >>> sol = pn.solve_galerkin(pn.LegendreSpace(0, 4, 1.0), np.array([[1.0]]), [1.0])
        >>> sol([0.0, 0.25], side="left"), sol([0.0, 0.25])
        (array([[1. , 0.8]]), array([[0.8 , 0.64]]))
        """
        times = checks.as_float_array("t", t)
        _within_interval(times, self.space.t0, self.space.T)
        values = self.space.evaluate(self.coefficients, times, derivative, side=side)
        if side == "left" and derivative == 0:
            at_start = times <= self.space.t0  # t0 and the times within the rounding below it
            if at_start.any():
                values[:, at_start] = self.u0[:, None]
        return values

    def __repr__(self) -> str:
        return (
            f"GalerkinSolution({self.space!r}, n={self.coefficients.shape[0]}, n_factorizations="
            f"{self.n_factorizations}, n_solves={self.n_solves})"
        )


# Times beyond an end of a solution's interval by at most this many units in the last place of the
# larger end count as that end: the rounding of a time computed from the ends.
_END_ULPS = 4


def _within_interval(times: FloatArray, t0: float, T: float) -> None:
    """ValueError naming t for a time outside [t0, T] beyond the rounding of the ends."""
    slack = _END_ULPS * float(np.spacing(max(abs(t0), abs(T))))
    outside = (times < t0 - slack) | (times > T + slack)
    if outside.any():
        first = int(np.argmax(outside))
        where = f"t.flat[{first}] = " if times.ndim else ""
        raise ValueError(f"t: expected times in [t0, T] = [{t0!r}, {T!r}], got {where}{float(times.flat[first])!r}")


def solve_galerkin(
    space: LegendreSpace | LagrangeSpace,
    A: Matrix | TimeMatrix | None,
    u0: npt.ArrayLike,
    *,
    M: Matrix | None = None,
    f: Callable[[FloatArray], npt.ArrayLike] | None = None,
    F: Callable[..., npt.ArrayLike] | None = None,
    jac: Callable[..., Any] | None = None,
    vectorized: bool = False,
    newton_tol: float = 1e-14,
    quadrature: int | tuple[npt.ArrayLike, npt.ArrayLike] | None = None,
    factorize: Factorize | None = None,
    workers: int = 1,
    rtol: float | None = None,
    atol: float | npt.ArrayLike | None = None,
    max_intervals: int | None = None,
) -> GalerkinSolution:
    r"""The dG(q) or cG(q) solution of M u' + A u = f, u(t0) = u0, interval by interval.

    Solves

    .. math:: M u'(t) + A u(t) = f(t), \quad t_0 < t \le T, \qquad u(t_0) = u_0,

    for u(t) in R^n on the partition of ``space``: a ``LegendreSpace`` of degree q gives dG(q),
    the discontinuous Galerkin method with upwind traces; a ``LagrangeSpace`` gives cG(q), the
    continuous Galerkin method. Each interval's unknowns are found from the value at its start.

    Parameters
    ----------
    space : LegendreSpace or LagrangeSpace
        A ``LegendreSpace`` of degree q gives dG(q) (upwind traces); a ``LagrangeSpace`` of
        degree q >= 1 gives cG(q) (Legendre test functions of degree q - 1 on the same partition,
        and the start condition); any partition.
    A : (n, n) real scipy sparse array or matrix, or ndarray; or callable, or None
        Finite. A callable ``A(t)`` returning such a matrix gives a time-dependent linear part
        (evaluated at the quadrature times of every interval); None, no linear part.
    u0 : array_like of float, shape (n,)
        The value at t0, finite.
    M : (n, n) real sparse or ndarray, optional, keyword-only
        Time-independent, finite; default the identity.
    f : callable, optional, keyword-only
        Vectorised as for ``project``: ``f(t)`` for times of shape (p,) returns shape (n, p) (or
        (p,) when n = 1); integrated against the test functions of every interval by the rule of
        `quadrature`.
    F : callable, optional, keyword-only
        The nonlinear part, ``F(t, u)`` for a float t and u of shape (n,), returning shape
        (n,); the equation is then ``M u' + A(t) u = f(t) + F(t, u)``, solved by simplified
        Newton on every interval (see Notes).
    jac : callable, optional, keyword-only
        ``jac(t, u)``, the (n, n) Jacobian dF/du (dense or sparse). Default: forward
        differences, n + 1 calls of F (one call when vectorized) and a dense n x n matrix per
        Jacobian, for at most 1000 unknowns.
    vectorized : bool, optional, keyword-only
        True: F is called once per interval and Newton iteration with all the interval's
        quadrature times, ``F(t, U)`` for t of shape (p,) and U of shape (n, p), returning
        shape (n, p). Default False.
    newton_tol : float, optional, keyword-only
        Newton's stopping tolerance on every interval, relative to the interval's largest
        unknown (default 1e-14).
    quadrature : int or (nodes, weights), optional, keyword-only
        Gauss-Legendre points per interval (default degree + 2; with F or a callable or None
        A: degree + 1 for dG, degree for cG), or a rule on [-1, 1] (e.g. a
        Gauss-Jacobi rule for an f singular at t0).
    factorize : callable, optional, keyword-only
        ``factorize(K)`` for a square sparse matrix K (real or complex, CSC) returns a callable
        solving ``K x = b`` (the convention of ``scipy.sparse.linalg.factorized``); default
        scipy's sparse LU (``splu``, minimum degree ordering on K + K^T), or LAPACK's banded LU
        for a matrix whose entries lie within 8 diagonals beside the main one.
    workers : int, optional, keyword-only
        Threads of the load-vector sums (default 1; -1: every core this process may use); the
        result has the same bits for every count.
    rtol : float, optional, keyword-only
        With it the solver chooses the intervals: the error at interval ends per unit step,
        relative to the largest component of u, at most rtol (see Notes). `space` fixes the
        method, the degree and [t0, T]; its first interval is the first step.
    atol : float or array_like of shape (n,), optional, keyword-only
        Positive absolute tolerance, one or per component (default ``1e-3 * rtol * max|u0|``, or
        ``1e-3 * rtol`` when u0 is zero); needs `rtol`.
    max_intervals : int, optional, keyword-only
        Most intervals accepted (>= 1); needs `rtol`.

    Returns
    -------
    GalerkinSolution
        ``coefficients`` of shape (n, space.size) (the layout ``space.evaluate`` takes), ``end``,
        ``sol(t, derivative=0, side="right")`` and the statistics ``n_intervals``,
        ``n_factorizations``, ``n_solves``, ``n_quadrature_points``.

    Raises
    ------
    TypeError
        `space` not a space; `A`, `M` or `u0` complex or not numbers; `f`, `F`, `jac` or
        `factorize` not callable; `quadrature` neither an integer nor a pair of arrays.
    ValueError
        Shapes that disagree ("A: expected shape (3, 3) to match u0 of length 3, got (3, 4)"; a
        u0 of another length than a square A: "u0: expected shape (3,) to match A of shape (3, 3),
        got (4,)"); F, jac or A(t) returning a wrong shape or a non-finite value ("F: returned a
        non-finite value at t=0.5"); jac not given for more than 1000 unknowns; non-finite
        entries in A, M or u0; `f` returning the wrong shape, non-finite values ("f: expected
        finite values, got nan at t = 0.5") or values whose integrals overflow; a singular step
        matrix, or one beyond the doubles ("A: the step matrix of interval 2 (length 0.25) is
        singular"); a step that overflows from finite values ("u0: the step of interval 3 (t =
        0.75 to 1.0) overflows"); the solve of `factorize` returning non-finite values;
        `quadrature` < 1 or an invalid rule; `rtol` not positive and finite, `atol` not positive
        or of another length than u0, `max_intervals` < 1.
    ConvergenceError
        Newton's iteration failed on an interval; with `rtol`, more intervals than
        `max_intervals`, or a step shorter than the space's nodes allow ("rtol: 1e-12 not met at
        t = 0.5: ..."). Its ``solution`` holds the intervals completed before.

    See Also
    --------
    GalerkinSolution : What it returns.
    parareal, mgrit : The same solution parallel in time.
    LegendreSpace.derivative_matrix : With ``upwind=True`` and the mass matrix, the all-at-once
        system of dG(q).
    LegendreSpace.load_vector, LagrangeSpace.load_vector : The integrals of f.

    Notes
    -----
    The (q + 1) n unknowns of an interval (q n for cG) are split by the eigenvectors of the small
    time matrix of the method into independent systems ``lambda_l M + (h/2) A`` of size n: one
    real system per real eigenvalue, one complex system per complex pair, so at most q + 1 solves
    per interval, and the factorisations made once per distinct interval length (once on equal
    intervals). The split agrees with the coupled solve to 1e-12 relative up to degree 5
    (measured: 2e-13 at 5, 1e-12 at 6, 7e-11 at 7); above degree 5 the coupled block
    ``kron(T1, M) + kron(h/2 T2, A)`` is factorised instead, one solve per interval. With the
    default `factorize` and at most 32 unknowns per interval ((q + 1) n, or q n for cG), the
    coupled block is factorised densely and the intervals are stepped by a compiled loop; with
    more unknowns, degree at most 5 and A and M within 8 diagonals beside the main one (n > 16),
    the decoupled systems are factorised by a compiled banded LU with partial pivoting and the
    intervals are stepped by a compiled loop too, each interval's solution refined once against
    the coupled residual (so two solves per system and interval), which keeps stiff problems
    at rounding level: the rounded entries of the split systems would otherwise shift every mode
    alike, an error growing as eps T ||A||. Either way the result is the all-at-once Kronecker
    solution to rounding.

    With F, or A a callable or None, each interval's residual is integrated by the quadrature
    rule and solved by simplified Newton: the matrix ``T1 kron M + (h/2) T2 kron K``,
    K = A(t_k) - dF/du(t_k, u_k) frozen at an interval's start, splits like the linear step's,
    so an iteration costs a linear step; it is kept across intervals and renewed when an interval
    needs more than 3 iterations or contracts by more than 0.5. The guide's chapter on nonlinear
    problems has the rules; the orders stay 2q + 1 (dG) and 2q (cG) at the interval ends.

    One dG(q) step of :math:`u' = \lambda u` multiplies by the (q, q + 1) Pade approximant of
    :math:`e^{\lambda h}`, one cG(q) step by the (q, q) one.

    With `rtol`, each step is made whole and as two halves, the halves kept, and the difference
    of the end values over :math:`2^p - 1` (p = 2q + 1 for dG, 2q for cG) estimates their error;
    a PI controller chooses the next length and keeps it (and its factorisations) while the
    change would be under 20 %. The error per unit step is controlled, so the end error stays
    near rtol (measured on problems with exact solutions, q = 1 to 4, rtol 1e-3 to 1e-10: at
    most twice rtol times the largest component of u) and falls in proportion to it. The
    values inside an interval are of order q + 1 and are not controlled: a stiff transient
    shorter than the first interval, which dG damps away, is not resolved (start with a short
    first interval). The guide's page "Error control" compares the estimates and gives
    work-precision figures.

    Examples
    --------
    >>> sol = pn.solve_galerkin(pn.LegendreSpace(2, 8, 1.0), np.array([[2.0]]), [1.0])
    >>> round(float(sol.end[0]), 7), round(float(np.exp(-2.0)), 7)
    (0.1353353, 0.1353353)
    >>> cg = pn.solve_galerkin(pn.LagrangeSpace(2, 8, 1.0), np.array([[2.0]]), [1.0])
    >>> bool(abs(cg.end[0] - np.exp(-2.0)) < 1e-5), cg(0.5).round(4)
    (True, array([0.3679]))

    u' = -u^2, u(0) = 1 (u = 1 / (1 + t)), by dG(2) with Newton on each interval:

    >>> sol = pn.solve_galerkin(pn.LegendreSpace(2, 8, 1.0), None, [1.0], F=lambda t, u: -u * u)
    >>> bool(abs(sol.end[0] - 0.5) < 1e-8), sol.n_newton_iterations >= 8
    (True, True)
    """
    if not isinstance(space, (LegendreSpace, LagrangeSpace)):
        raise TypeError(f"space: expected a LegendreSpace or a LagrangeSpace, got {checks.describe(space)}")
    if rtol is not None or atol is not None or max_intervals is not None:
        from ._adaptive import solve_adaptive

        if F is not None or jac is not None or A is None or (callable(A) and not scipy.sparse.issparse(A)):
            raise ValueError(
                "rtol: error control takes a constant A without F or jac for now; step a nonlinear or "
                "time-dependent problem on a partition of your own (without rtol, atol and max_intervals)"
            )

        return solve_adaptive(space, A, u0, rtol=rtol, atol=atol, max_intervals=max_intervals, M=M, f=f,
                              quadrature=quadrature, factorize=factorize, workers=workers)  # fmt: skip
    n = _length_of_u0(u0)
    _u0_fits(A, n)
    stepper = Stepper(space, A, M=M, f=f, F=F, jac=jac, vectorized=vectorized, newton_tol=newton_tol,
                      quadrature=quadrature,
                      factorize=factorize, workers=workers, n=n)  # fmt: skip
    start = start_value("u0", u0, stepper.n)
    coefficients, end = stepper.advance(0, space.n_t, start)
    return GalerkinSolution(space, coefficients, start.copy(), end, stepper)


def _u0_fits(A: Any, n: int) -> None:
    """ValueError naming u0 when A is a square matrix of another size than u0's length n: of the
    two, the vector is then the odd one (a matrix that is not square is A's fault, left to its
    own check)."""
    if A is None or callable(A):
        return
    try:
        shape = np.shape(A)  # a sparse array's or ndarray's own, a nested list's as an array
    except (TypeError, ValueError):
        return
    if len(shape) == 2 and shape[0] == shape[1] and shape[0] != n:
        raise ValueError(f"u0: expected shape ({shape[0]},) to match A of shape {shape}, got ({n},)")


def _length_of_u0(u0: object) -> int:
    _refuse_complex("u0", u0)
    u = checks.as_float_array("u0", u0)
    if u.ndim != 1 or u.size == 0:
        raise ValueError(f"u0: expected a vector of shape (n,), got shape {u.shape}")
    return u.size
