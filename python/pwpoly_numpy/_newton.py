"""The Galerkin solution in time of M u' + A(t) u = f(t) + F(t, u), interval by interval, by
simplified Newton.

On an interval of length h with the quadrature rule (nodes s_r, weights w_r) on [-1, 1], the
unknowns x of the interval (m blocks of size n: the Legendre coefficients of dG(q), the nodal
values after the start node of cG(q)) solve R(x) = 0 with

    R_i(x) = sum_j T1[i, j] M x_j - C1[i] M u + (h/2) sum_r w_r P_i(s_r) G(t_r, U_r),
    G(t, v) = A(t) v - f(t) - F(t, v),  U_r = sum_j Phi[r, j] x_j + phi0[r] u,

u the value at the interval's start, P_i the test functions and Phi, phi0 the trial functions at
the nodes (phi0 the start node of cG, zero for dG). For a constant A and an exact rule this is
the linear solver's system. Newton's matrix is frozen at one point (t*, u*), the middle of the
interval where it is made and the first guess there (the start when F or jac is not finite
there): T1 kron M + (h/2) T2 kron K with K = A(t*) - dF/du(t*, u*), split like the linear stepper's by
the eigenvectors of T2^-1 T1 into one system lambda_l M + (h/2) K per real eigenvalue and one per
complex pair (for at most _INVERSE_MAX unknowns per interval, the inverse of the coupled matrix
instead: one product per iteration). An iteration costs the residual (p evaluations of F) and
those solves; the matrix and its factorisations are kept across intervals while the iteration
contracts fast, and renewed by the rule of FAST_ITERATIONS and SLOW_RATE below.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeAlias, cast

import numpy as np
import numpy.typing as npt
import scipy.linalg
import scipy.sparse

from . import _checks as checks
from . import _partition as partitions
from . import _quadrature as quadratures
from ._errors import ConvergenceError
from ._lagrange import LagrangeSpace
from ._legendre import LegendreSpace
from ._solver import GalerkinSolution, Stepper, _default_factorize, _matrix, _method_of, start_value

if TYPE_CHECKING:  # pragma: no cover
    from ._partition import Partition
    from ._solver import _Factorize, _Solve

    _Floats: TypeAlias = npt.NDArray[np.float64]

# Newton's iteration stops when the estimated distance to the solution, theta / (1 - theta) times
# the last update (theta the contraction estimate), is at most TOLERANCE (``newton_tol``) times the largest
# unknown, or when the update is within rounding of it.
TOLERANCE = 1e-14
_ROUNDING = 64 * np.finfo(np.float64).eps
# Iterations of one attempt; an attempt fails when theta >= 1 or when theta says it would need
# more.
MAX_ITERATIONS = 30
# The matrix and its factorisations are renewed before the next interval when an interval
# needed more than FAST_ITERATIONS iterations or contracted by more than SLOW_RATE, and more than
# the first interval after the last renewal (twice its rate): slower than a fresh matrix is
# there, the frozen point and not the matrix's age limits the contraction. They are
# refactorised (with the same Jacobian) when the interval length differs from the factorised one
# by more than the ratio LENGTH_RATIO either way. Measured (Jacobians, iterations per interval)
# on Van der Pol, Allen-Cahn and the Brusselator: renewing after 2 iterations or theta > 0.25
# makes 3 to 7 times as many Jacobians for 10 to 20 % fewer iterations; after 5 or theta > 0.8,
# 20 to 40 % more iterations; the comparison with the first interval after a renewal halves the
# Jacobians for up to 15 % more iterations, 12 to 17 % faster on the Brusselator (the guide's table).
FAST_ITERATIONS = 3
SLOW_RATE = 0.5
LENGTH_RATIO = 1.25
# At most this many unknowns per interval ((q + 1) n for dG, q n for cG): the inverse of the
# coupled Newton matrix, one product per iteration, instead of the decoupled factorisations.
_INVERSE_MAX = 64
# Full Newton (the coupled matrix with the Jacobian at every quadrature point, factorised every
# iteration), the last resort on an interval, for at most this many unknowns per interval; beyond,
# its factorisations cost more than a run on shorter intervals.
FULL_NEWTON_MAX = 1024
# Finite-difference Jacobians (n + 1 calls of F and an n x n matrix each) for at most this many
# unknowns; beyond, `jac` must be given.
FINITE_DIFFERENCE_MAX = 1000


class _Diverged(Exception):
    """An attempt of Newton's iteration failed (no user-visible meaning)."""


def _as_vector(name: str, value: object, n: int, t: float) -> _Floats:
    """A callable's result as float64 of shape (n,), named in the message when it is not."""
    array = _real_array(name, value, t)
    if array.shape != (n,):
        raise ValueError(f"{name}: returned an array of shape {array.shape} at t={t!r}, expected ({n},)")
    return array


def _real_array(name: str, value: object, t: object) -> _Floats:
    """A callable's result as a float64 array; TypeError naming it for complex or non-numbers."""
    array = np.asarray(value)
    if array.dtype != np.float64:
        if array.dtype.kind == "c":
            raise TypeError(f"{name}: expected real numbers, got complex ones at t={t!r}")
        if array.dtype.kind not in "biuf":
            raise TypeError(f"{name}: returned {checks.describe(value)} at t={t!r}, expected real numbers")
        array = array.astype(np.float64)
    return array


def _matrix_at(name: str, value: object, n: int, t: float) -> Any:
    """A callable's (n, n) matrix result (sparse as CSR, or a dense ndarray), finite."""
    return _matrix_or_raise(name, _checked_shape(name, value, n, t), n, t)[0]


def _matrix_or_raise(name: str, value: object, n: int, t: float) -> tuple[Any, int]:
    try:
        return _matrix(name, value, n, f"u0 of length {n}")
    except ValueError as error:
        if "finite" in str(error):
            raise ValueError(f"{name}: returned a non-finite value at t={t!r}") from None
        raise


def _combine(A: Any, J: Any) -> Any:
    """A - J for matrices each sparse or dense (None for zero); sparse when both are."""
    if J is None:
        return A
    if A is None:
        return -J
    if scipy.sparse.issparse(A) and scipy.sparse.issparse(J):
        return scipy.sparse.csr_array(cast(Any, A) - J)
    return _dense(A) - _dense(J)


def _dense(matrix: Any) -> _Floats:
    return np.asarray(cast(Any, matrix).toarray() if scipy.sparse.issparse(matrix) else matrix, dtype=np.float64)


class _Linearisation:
    """Newton's frozen matrix T1 kron M + (h/2) T2 kron K for one interval length h and one K, as
    the map from a residual R (m, n) to the update -J^-1 R."""

    def __init__(self, stepper: NewtonStepper, K: Any, h: float) -> None:
        self.h, self.K = h, K
        method, n, half = stepper._method, stepper.n, h / 2.0
        self._method = method
        self.inverse: _Floats | None = None
        # The update's parts for a small system with A constant.
        self._parts: tuple[_Floats, _Floats, _Floats, _Floats, _Floats] | None = None
        self._fused_h = math.nan
        self.S = self.Su = self.SF = self.SFt = self._PT = np.zeros(0)
        self._columns = np.zeros(0, dtype=np.intp)
        self.solvers: list[_Solve] = []
        Md = None
        if method.m * n <= _INVERSE_MAX:
            Md = np.eye(n) if stepper._M is None else _dense(stepper._M)
            Kd = np.zeros((n, n)) if K is None else _dense(K)
            coupled = _kron(method.T1, Md) + _kron(half * method.T2, Kd)
            try:
                self.inverse = inverse = np.linalg.inv(coupled)
            except np.linalg.LinAlgError:
                raise _Diverged("singular") from None
            stepper.n_factorizations += 1
            if stepper._A_of is None:
                # With A constant the residual is linear in x, u and the values of F and f:
                # -J^-1 R = S x + Su u + SF (F + f), flattened (block i of x at i n), three
                # products per iteration instead of the residual's dozen operations. Each of
                # S, Su, SF is a part without the length and one times h / 2 (`fused`).
                Ad = np.zeros((n, n)) if stepper._A is None else _dense(stepper._A)
                BT = stepper._BT
                self._parts = (
                    -inverse @ _kron(method.T1, Md),
                    -inverse @ _kron(BT @ stepper._Phi, Ad),
                    inverse @ _kron(method.C1[:, None], Md),
                    -inverse @ _kron((BT @ stepper._phi0)[:, None], Ad),
                    inverse @ _kron(BT, np.eye(n)),
                )
                # For a vectorized F the values at the nodes as its columns (n, p), flattened
                # (node r of unknown j at j p + r): Ut = PT x, and SF's columns in that order.
                p = BT.shape[1]
                self._PT = np.einsum("ri,jk->jrik", stepper._Phi, np.eye(n)).reshape(n * p, -1)
                self._columns = np.arange(n * p).reshape(p, n).T.reshape(-1)
                self.fused(h)
            return
        M: Any = stepper._M
        sparse = stepper._custom_factorize or (
            (K is None or scipy.sparse.issparse(K)) and (M is None or scipy.sparse.issparse(M))
        )
        Mx: Any
        Kx: Any
        if sparse:
            Mx = scipy.sparse.eye_array(n, format="csc") if M is None else scipy.sparse.csc_array(cast(Any, M))
            Kx = scipy.sparse.csc_array((n, n)) if K is None else scipy.sparse.csc_array(cast(Any, K))
        else:
            Mx = np.eye(n) if M is None else _dense(M)
            Kx = np.zeros((n, n)) if K is None else _dense(K)
        for lam, twin in zip(method.eigenvalues, method.complex, strict=True):
            value = lam if twin else lam.real
            try:
                if sparse:
                    solve = stepper._factorize(scipy.sparse.csc_array(value * Mx + half * Kx))
                else:
                    solve = _dense_factorize(value * Mx + half * Kx)
            except (RuntimeError, np.linalg.LinAlgError, scipy.linalg.LinAlgError) as error:
                if "singular" in str(error).lower():
                    raise _Diverged("singular") from None
                raise
            if not callable(solve):
                raise TypeError(f"factorize: expected it to return a solve callable, got {checks.describe(solve)}")
            stepper.n_factorizations += 1
            self.solvers.append(solve)

    def fused(self, h: float) -> _Floats | None:
        """S of an interval of length h (Su and SF made beside it), None without them."""
        if self._parts is None:
            return None
        if h != self._fused_h:
            half = h / 2.0
            S0, S1, Su0, Su1, SF1 = self._parts
            self.S, self.Su, self.SF = S0 + half * S1, Su0 + half * Su1, half * SF1
            self.SFt = self.SF[:, self._columns]
            self._fused_h = h
        return self.S

    def update(self, stepper: NewtonStepper, R: _Floats) -> _Floats:
        """-J^-1 R, shape (m, n)."""
        method = self._method
        if self.inverse is not None:
            stepper.n_solves += 1
            return -(self.inverse @ R.reshape(-1)).reshape(R.shape)
        z_re, z_im = method.G_re @ R, method.G_im @ R
        p, n = len(self.solvers), R.shape[1]
        y = np.empty((2 * p, n))
        for e, solve in enumerate(self.solvers):
            rhs: npt.NDArray[Any] = z_re[e] + 1j * z_im[e] if method.complex[e] else z_re[e]
            result = np.asarray(solve(rhs))
            stepper.n_solves += 1
            if result.shape != rhs.shape:
                raise ValueError(f"factorize: its solve returned shape {result.shape}, expected {rhs.shape}")
            y[e], y[p + e] = np.real(result), (np.imag(result) if method.complex[e] else 0.0)
        return -(method.Wy @ y)


def _dense_factorize(matrix: npt.NDArray[Any]) -> _Solve:
    lu = scipy.linalg.lu_factor(matrix, check_finite=False)
    if np.any(np.diag(lu[0]) == 0.0):
        raise np.linalg.LinAlgError("singular")

    def solve(rhs: npt.NDArray[Any]) -> npt.NDArray[Any]:
        return np.asarray(scipy.linalg.lu_solve(lu, rhs, check_finite=False))

    return solve


class NewtonStepper(Stepper):
    """The stepper of ``Stepper(space, A, F=..., jac=...)`` (made by ``Stepper`` itself when F or
    jac is given, or A is a callable or None): the same ``advance(k0, k1, u)`` and statistics,
    plus ``nfev``, ``njev`` and ``n_newton_iterations``. Each call of ``advance`` starts afresh
    (Jacobian at its first interval, no state from earlier calls), so the same call gives the
    same bits."""

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
        newton_tol: float = TOLERANCE,
        quadrature: int | tuple[npt.ArrayLike, npt.ArrayLike] | None = None,
        factorize: _Factorize | None = None,
        workers: object = 1,
        n: int | None = None,
        coupled: bool = False,
    ) -> None:
        if not isinstance(space, (LegendreSpace, LagrangeSpace)):
            raise TypeError(f"space: expected a LegendreSpace or a LagrangeSpace, got {checks.describe(space)}")
        self.space = space
        self._A_of: Callable[[float], object] | None = None
        self._A: Any = None
        matrix_or_callable: Any = A
        if callable(matrix_or_callable) and not scipy.sparse.issparse(matrix_or_callable):
            self._A_of = matrix_or_callable
        elif A is not None:
            self._A, n = _matrix("A", A, n, f"u0 of length {n}")
        if n is None:
            raise TypeError("u0: the number of unknowns is needed when A is a callable or None")
        self.n = n
        self._M = None if M is None else _matrix("M", M, n, f"u0 of length {n}")[0]
        for name, value in (("f", f), ("F", F), ("jac", jac)):
            if value is not None and not callable(value):
                raise TypeError(f"{name}: expected None or a callable, got {checks.describe(value)}")
        if jac is not None and F is None:
            raise ValueError("jac: given without F")
        if not isinstance(vectorized, (bool, np.bool_)):
            raise TypeError(f"vectorized: expected True or False, got {checks.describe(vectorized)}")
        if F is not None and jac is None and n > FINITE_DIFFERENCE_MAX:
            raise ValueError(
                f"jac: needed for n = {n} unknowns (finite differences, n + 1 calls of F and an n x n matrix "
                f"per Jacobian, are made for at most {FINITE_DIFFERENCE_MAX})"
            )
        self._f, self._F, self._jac, self._vectorized = f, F, jac, bool(vectorized)
        if isinstance(newton_tol, (bool, np.bool_)) or not isinstance(newton_tol, (int, float, np.floating)):
            raise TypeError(f"newton_tol: expected a float, got {checks.describe(newton_tol)}")
        if not 0.0 < newton_tol < 1.0:
            raise ValueError(f"newton_tol: expected a number between 0 and 1, got {newton_tol!r}")
        self._tolerance = float(newton_tol)
        if factorize is not None and not callable(factorize):
            raise TypeError(f"factorize: expected None or a callable, got {checks.describe(factorize)}")
        self._custom_factorize = factorize is not None
        self._factorize = _default_factorize if factorize is None else factorize
        # Checked as for the linear stepper; the loads here are summed per interval with the
        # residual, and `coupled` has no use: the decoupling's rounding only slows the contraction.
        checks.workers(workers)
        del coupled
        self._method = _method_of(space)
        self._rule, self._BT, self._Phi, self._phi0, self._points = _tables(space, quadrature)
        self._continuous = isinstance(space, LagrangeSpace)
        partition: Partition = space._partition
        self._partition = partition
        if isinstance(partition, partitions.Uniform):
            self._lengths = np.full(partition.n_t, partition.dt)
        else:
            self._lengths = partition.lengths(0, partition.n_t)
        self.n_factorizations = 0
        self.n_solves = 0
        self.n_quadrature_points = 0
        self.nfev = 0
        self.njev = 0
        self.n_newton_iterations = 0
        self.n_jacobians = 0  # frozen matrices made (Jacobians of F, or A(t*) alone)

    # --- the problem's parts at the quadrature points ---------------------------------------------

    def _A_at(self, t: float) -> Any:
        assert self._A_of is not None
        return _matrix_at("A", self._A_of(t), self.n, t)

    def _F_values(self, times: _Floats, U: _Floats, first: bool) -> _Floats:
        """F at the rule's times and values U (p, n), shape (p, n)."""
        assert self._F is not None
        n, p = self.n, times.size
        if self._vectorized:
            return self._F_columns(times, np.ascontiguousarray(U.T), first).T
        values = np.empty((p, n))
        for r in range(p):
            t = float(times[r])
            values[r] = _as_vector("F", self._F(t, U[r]), n, t)
        self.nfev += p
        if first and not np.isfinite(values).all():
            r = int(np.argmin(np.isfinite(values).all(axis=1)))
            raise ValueError(f"F: returned a non-finite value at t={float(times[r])!r}")
        return values

    def _F_columns(self, times: _Floats, Ut: _Floats, first: bool) -> _Floats:
        """A vectorized F at the rule's times and the values as columns Ut (n, p), shape (n, p)."""
        assert self._F is not None
        shape = (self.n, times.size)
        values = _real_array("F", self._F(times, Ut), times)
        self.nfev += 1
        if values.shape != shape:
            raise ValueError(f"F: returned an array of shape {values.shape}, expected {shape} (vectorized)")
        if first and not np.isfinite(values).all():
            r = int(np.argmin(np.isfinite(values).all(axis=0)))
            raise ValueError(f"F: returned a non-finite value at t={float(times[r])!r}")
        return values

    def _jacobian(self, t: float, u: _Floats) -> Any:
        """dF/du at (t, u): jac's, or by forward differences."""
        assert self._F is not None
        n = self.n
        if self._jac is not None:
            J = _matrix_at("jac", self._jac(t, u), n, t)
            self.njev += 1
            return J
        steps = np.sqrt(np.finfo(np.float64).eps) * np.maximum(np.abs(u), 1.0)
        shifted = u + steps
        steps = shifted - u  # the steps as represented
        if self._vectorized:
            columns = np.repeat(u[:, None], n + 1, axis=1)
            columns[np.arange(n), np.arange(n)] = shifted
            values = self._F_values(np.full(n + 1, t), np.ascontiguousarray(columns.T), True).T
            base, moved = values[:, n], values[:, :n]
        else:
            base = self._F_values(np.array([t]), u[None, :], True)[0]
            moved = np.empty((n, n))
            for j in range(n):
                v = u.copy()
                v[j] = shifted[j]
                moved[:, j] = _as_vector("F", self._F(t, v), n, t)
            self.nfev += n
            if not np.isfinite(moved).all():
                raise ValueError(f"F: returned a non-finite value at t={t!r}")
        return (moved - base[:, None]) / steps[None, :]

    def _frozen(self, t: float, u: _Floats) -> Any:
        """K = A(t) - dF/du(t, u), None for zero."""
        A = self._A if self._A_of is None else self._A_at(t)
        J = None if self._F is None else self._jacobian(t, u)
        self.n_jacobians += 1
        return _combine(A, J)

    # --- one interval ---------------------------------------------------------------------------

    def _residual(self, x: _Floats, u: _Floats, start: _Floats, half: float, times: _Floats, loads: _Floats | None,
                  A_r: list[Any] | None, first: bool) -> _Floats:  # fmt: skip
        """R(x) of the module's note; `start` holds C1 kron (M u), `loads` -f at the times (p, n)
        or None."""
        U = self._Phi @ x
        if self._continuous:
            U += self._phi0[:, None] * u[None, :]
        G: _Floats | None = None
        if self._A is not None:
            G = np.asarray((self._A @ U.T).T)
        elif A_r is not None:
            G = np.empty_like(U)
            for r, A in enumerate(A_r):
                G[r] = A @ U[r]
        if self._F is not None:
            values = self._F_values(times, U, first)
            G = -values if G is None else G - values
        if loads is not None:
            G = loads if G is None else G + loads
        xM = x if self._M is None else (self._M @ x.T).T
        R: _Floats = self._method.T1 @ xM - start
        if G is not None:
            R += half * (self._BT @ G)
        return R

    def newton_step(
        self, t: float, h: float, u: _Floats, guess: _Floats, lin: _Linearisation | None, times: _Floats,
        f_values: _Floats, rate: float,
    ) -> tuple[_Floats, int, float]:  # fmt: skip
        """The unknowns (m, n) of the interval [t, t + h] from the start value u, by simplified
        Newton from `guess` with the frozen matrix `lin` (possibly made for another length or
        point), or by full Newton when `lin` is None; the iterations taken and the last
        contraction estimate. `rate` is the estimate carried from before, for the first
        iteration's stopping test. Raises _Diverged."""
        half = h / 2.0
        A_r = None if self._A_of is None else [self._A_at(float(s)) for s in times]
        shape = guess.shape
        previous = 0.0
        theta = max(rate, 0.01)
        tolerance = self._tolerance
        loads = f_values if self._f is not None else None
        # A solve of the user's factorisation, or the full matrix's, is not handed non-finite values.
        guarded = lin is None or self._custom_factorize
        S = None if lin is None else lin.fused(h)
        if S is not None:
            assert lin is not None
            x = guess.reshape(-1)
            # The part of the update that stays through the iterations: Su u + SF f.
            constant = lin.Su @ u if loads is None else lin.Su @ u - lin.SF @ loads.reshape(-1)
            if self._continuous:
                start_columns = np.outer(u, self._phi0)
        else:
            x = guess
            Mu = u if self._M is None else np.asarray(self._M @ u)
            start = self._method.C1[:, None] * Mu[None, :]
        for iteration in range(MAX_ITERATIONS):
            if S is not None:
                assert lin is not None
                step = S @ x + constant
                if self._F is not None and self._vectorized:
                    Ut = (lin._PT @ x).reshape(self.n, -1)
                    if self._continuous:
                        Ut += start_columns
                    step += lin.SFt @ self._F_columns(times, Ut, iteration == 0).reshape(-1)
                elif self._F is not None:
                    U = self._Phi @ x.reshape(shape)
                    if self._continuous:
                        U += self._phi0[:, None] * u[None, :]
                    step += lin.SF @ self._F_values(times, U, iteration == 0).reshape(-1)
                self.n_solves += 1
            else:
                R = self._residual(x, u, start, half, times, loads, A_r, iteration == 0)
                if guarded and not np.isfinite(R).all():
                    raise _Diverged("non-finite residual")
                step = lin.update(self, R) if lin is not None else self._full_update(x, u, half, times, A_r, R)
            x = x + step
            self.n_newton_iterations += 1
            size = float(np.abs(step).max())
            scale = float(np.abs(x).max())
            if not (math.isfinite(size) and math.isfinite(scale)):
                raise _Diverged("non-finite iterate")
            if size <= _ROUNDING * scale:
                return x.reshape(shape), iteration + 1, theta
            if iteration > 0:
                theta = size / previous if previous > 0.0 else 0.0
                if theta >= 1.0:
                    raise _Diverged("no contraction")
                # Not within the tolerance by the last allowed iteration at this rate: give up now.
                if theta ** (MAX_ITERATIONS - 1 - iteration) / (1.0 - theta) * size > tolerance * scale:
                    raise _Diverged("too slow")
            if theta / (1.0 - theta) * size <= tolerance * scale:
                return x.reshape(shape), iteration + 1, theta
            previous = size
        raise _Diverged("too many iterations")

    def _full_update(self, x: _Floats, u: _Floats, half: float, times: _Floats, A_r: list[Any] | None,
                     R: _Floats) -> _Floats:  # fmt: skip
        """-J(x)^-1 R with Newton's whole matrix at x: T1 kron M + (h/2) sum_r (B_r Phi_r^T) kron K_r,
        K_r = A(t_r) - dF/du(t_r, U_r); the coupled block of the interval, factorised for this
        iteration alone (the fallback when the frozen matrix does not contract)."""
        method, n = self._method, self.n
        U = self._Phi @ x
        if self._continuous:
            U += self._phi0[:, None] * u[None, :]
        M: Any = scipy.sparse.eye_array(n) if self._M is None else self._M
        blocks: Any = scipy.sparse.kron(method.T1, M)
        for r in range(times.size):
            t = float(times[r])
            A = self._A if self._A_of is None else (A_r[r] if A_r is not None else None)
            J = None if self._F is None else self._jacobian(t, U[r])
            K = _combine(A, J)
            if K is not None:
                weight = half * np.outer(self._BT[:, r], self._Phi[r])
                blocks = blocks + scipy.sparse.kron(weight, scipy.sparse.csr_array(K))
        self.n_jacobians += 1
        matrix = scipy.sparse.csc_array(blocks)
        try:
            if method.m * n <= _INVERSE_MAX and not self._custom_factorize:
                step = np.linalg.solve(matrix.toarray(), R.reshape(-1))
            else:
                step = np.asarray(self._factorize(matrix)(R.reshape(-1)))
        except (RuntimeError, np.linalg.LinAlgError) as error:
            if isinstance(error, np.linalg.LinAlgError) or "singular" in str(error).lower():
                raise _Diverged("singular") from None
            raise
        self.n_factorizations += 1
        self.n_solves += 1
        return -step.reshape(R.shape)

    def _predictor(self, ratio: float) -> _Floats:
        """The map from an interval's unknowns (with its start value first for cG) to the
        extrapolation of its polynomial onto the next interval, `ratio` times as long."""
        key = (self._continuous, self.space._degree, ratio)
        kept = _PREDICTORS.get(key)
        if kept is not None:
            return kept
        q = self.space._degree
        P: _Floats
        if isinstance(self.space, LegendreSpace):
            s = np.polynomial.legendre.leggauss(q + 1)[0]
            V = np.polynomial.legendre.legvander(s, q)
            P = np.asarray(np.linalg.solve(V, np.polynomial.legendre.legvander(1.0 + ratio * (1.0 + s), q)), np.float64)
        else:
            P = _lagrange_values(self._points, 1.0 + ratio * (1.0 + self._points[1:]))
        if len(_PREDICTORS) < 256:
            P.flags.writeable = False
            _PREDICTORS[key] = P
        return P

    def _frozen_for(self, t: float, h: float, u: _Floats, guess: _Floats) -> Any:
        """K for the interval [t, t + h] from the start value u: at its middle and the guess's
        value there (over the interval the Jacobian then departs from K by half as much as from
        the start's), or at the start when F or jac is not finite there (an extrapolation may
        leave their domain where the solution does not)."""
        if isinstance(self.space, LegendreSpace):
            middle = _middle_values(self.space._degree) @ guess
        else:
            middle = _lagrange_values(self._points, np.zeros(1))[0] @ np.vstack([u, guess])
        if not np.array_equal(middle, u):
            try:
                return self._frozen(t + h / 2.0, np.asarray(middle))
            except ValueError as error:
                if "non-finite" not in str(error):
                    raise
        return self._frozen(t, u)

    def _constant(self, u: _Floats) -> _Floats:
        m = self._method.m
        if isinstance(self.space, LegendreSpace):
            x = np.zeros((m, self.n))
            x[0] = u
            return x
        return np.repeat(u[None, :], m, axis=0)

    def advance(
        self, k0: int, k1: int, u_start: npt.ArrayLike, corrections: npt.ArrayLike | None = None
    ) -> tuple[_Floats, _Floats]:
        """Steps the intervals k0 ... k1 - 1 from the value `u_start` at breakpoints[k0], as
        ``Stepper.advance``; `corrections`, shape (k1 - k0, n), adds row j to the value at
        breakpoints[k0 + j + 1] as soon as interval k0 + j is stepped. Raises ConvergenceError
        (its solution over [breakpoints[k0], the failed interval's start])."""
        if not (type(k0) is int and type(k1) is int and 0 <= k0 < k1 <= self._partition.n_t):
            slab = self.space.slab(k0, k1)
            k0, k1 = slab.k0, slab.k1
        added = None
        if corrections is not None:
            added = checks.as_float_array("corrections", corrections)
            if added.shape != (k1 - k0, self.n):
                raise ValueError(f"corrections: expected shape {(k1 - k0, self.n)}, got {added.shape}")
        u = start_value("u0", u_start, self.n)
        u_first = u.copy()
        method, n, w, p = self._method, self.n, k1 - k0, self._rule[0].size
        x_all = np.empty((w, method.m, n))
        nodes = self._rule[0]
        lin: _Linearisation | None = None
        fresh = False  # lin made for this interval
        renew = True
        rate = 0.0
        fresh_iterations, fresh_rate = 0, 0.0
        previous: tuple[_Floats, _Floats, float] | None = None  # last interval's start value, unknowns, length
        chunk = max(1, min(4096, (1 << 20) // max(1, p * n)))
        for a in range(k0, k1, chunk):
            b = min(a + chunk, k1)
            times = quadratures.times(self._partition, a, b, nodes).reshape(b - a, p)
            f_values = np.zeros((b - a, 1, 1))  # unused without f
            starts = self._partition.ends(a, b)[0].tolist()
            lengths = self._lengths[a:b].tolist()
            if self._f is not None:
                values = quadratures.values(self._f, times.reshape(-1), (n,))
                self.n_quadrature_points += times.size
                f_values = -np.ascontiguousarray(values.T).reshape(b - a, p, n)
            for k in range(a, b):
                h, t = lengths[k - a], starts[k - a]
                if previous is not None:
                    u_prev, x_prev, h_prev = previous
                    P = self._predictor(h / h_prev)
                    guess = P @ x_prev if isinstance(self.space, LegendreSpace) else P @ np.vstack([u_prev, x_prev])
                else:
                    guess = self._constant(u)
                result = None
                extrapolated = previous is not None
                while result is None:
                    try:
                        if renew or lin is None or not (1.0 / LENGTH_RATIO <= h / lin.h <= LENGTH_RATIO):
                            # A fresh Jacobian when asked for; for a new length alone, K is kept.
                            K = self._frozen_for(t, h, u, guess) if renew or lin is None else lin.K
                            lin = _Linearisation(self, K, h)
                            fresh, renew = renew or fresh, False
                        result = self.newton_step(t, h, u, guess, lin, times[k - a], f_values[k - a], rate)
                    except _Diverged:
                        # Again with a fresh Jacobian, then from the constant guess; then give up.
                        if not fresh:
                            renew = True
                        elif extrapolated:
                            extrapolated, guess = False, self._constant(u)
                        else:
                            break
                        rate = 0.0
                if result is None and method.m * n <= FULL_NEWTON_MAX:
                    # The frozen matrix does not contract here: full Newton, from the constant guess.
                    try:
                        result = self.newton_step(t, h, u, self._constant(u), None, times[k - a], f_values[k - a], 0.0)
                    except _Diverged:
                        pass
                    renew = True
                if result is None:
                    raise self._failure(k0, k, u_first, x_all, u)
                x, iterations, rate = result
                if fresh:
                    # What a fresh matrix achieves here: slower than that is not its age.
                    fresh_iterations, fresh_rate = iterations, rate
                elif iterations > max(FAST_ITERATIONS, fresh_iterations) or rate > max(SLOW_RATE, 2.0 * fresh_rate):
                    renew = True
                fresh = False
                x_all[k - k0] = x
                previous = (u, x, h)
                u = method.E @ x
                if added is not None:
                    u = u + added[k - k0]
        return self._coefficients(x_all, u_first), np.array(u)

    def _coefficients(self, x: _Floats, u_start: _Floats) -> _Floats:
        method, n, w = self._method, self.n, x.shape[0]
        if isinstance(self.space, LegendreSpace):
            coefficients = x.transpose(2, 1, 0).reshape(n, method.m * w)
        else:
            coefficients = np.empty((n, w * method.m + 1))
            coefficients[:, 0] = u_start
            coefficients[:, 1:] = x.transpose(2, 0, 1).reshape(n, w * method.m)
        return np.ascontiguousarray(coefficients)

    def _failure(self, k0: int, k: int, u_start: _Floats, x: _Floats, u: _Floats) -> ConvergenceError:
        t = float(self._partition.boundary(k))
        solution = None
        if k > k0:
            breakpoints = self._partition.breakpoints()[k0 : k + 1]
            space = type(self.space)(self.space._degree, breakpoints=breakpoints)
            solution = GalerkinSolution(space, self._coefficients(x[: k - k0], u_start), u_start, u.copy(), self)
        h = float(self._lengths[k])
        return ConvergenceError(
            f"Newton's iteration did not converge on the interval from t={t!r} (length {h!r}), even with a fresh "
            f"Jacobian: the solution may blow up there, or the interval is too long for the nonlinearity",
            t,
            solution,
        )


# The quadrature rule and the functions at its nodes per (continuous, degree, points) for Gauss
# rules, and the extrapolations per (continuous, degree, ratio): made once per process, as a
# short run's set-up (a rule's nodes are eigenvalues) otherwise costs as much as its intervals.
_TABLES: dict[tuple[bool, int, int], tuple[tuple[_Floats, _Floats], _Floats, _Floats, _Floats, _Floats]] = {}
_PREDICTORS: dict[tuple[bool, int, float], _Floats] = {}


def _tables(
    space: LegendreSpace | LagrangeSpace, quadrature: object
) -> tuple[tuple[_Floats, _Floats], _Floats, _Floats, _Floats, _Floats]:
    """The rule (nodes, weights), the test functions times the weights (test degree + 1, p), the
    trial functions at the nodes Phi (p, m) and phi0 (p,) (the start node's for cG, zeros for
    dG), and the Lagrange points on [-1, 1] (empty for dG)."""
    continuous, q = isinstance(space, LagrangeSpace), space._degree
    default = q if continuous else q + 1
    points = default if quadrature is None else quadrature if type(quadrature) is int else None
    key = None if points is None else (continuous, q, points)
    kept = None if key is None else _TABLES.get(key)
    if kept is not None:
        return kept
    nodes, weights = quadratures.rule(quadrature, default)
    BT = np.ascontiguousarray(
        (np.polynomial.legendre.legvander(nodes, _method_of(space).test_degree) * weights[:, None]).T
    )
    if continuous:
        lagrange = LagrangeSpace(q, breakpoints=[-1.0, 1.0]).points
        values = _lagrange_values(lagrange, nodes)
        Phi, phi0 = np.ascontiguousarray(values[:, 1:]), np.ascontiguousarray(values[:, 0])
    else:
        lagrange = np.zeros(0)
        Phi, phi0 = np.ascontiguousarray(np.polynomial.legendre.legvander(nodes, q)), np.zeros(nodes.size)
    tables = ((nodes, weights), BT, Phi, phi0, lagrange)
    if key is not None and len(_TABLES) < 256:
        for array in (nodes, weights, BT, Phi, phi0, lagrange):
            array.flags.writeable = False
        _TABLES[key] = tables
    return tables


def _middle_values(q: int) -> _Floats:
    """The Legendre polynomials 0 ... q at 0, the middle of [-1, 1]."""
    return np.asarray(np.polynomial.legendre.legvander(np.zeros(1), q)[0])


def _kron(a: _Floats, b: _Floats) -> _Floats:
    """np.kron(a, b) of two matrices in one broadcast product (np.kron's generality costs more
    than the product at the sizes here); the same products, so the same bits."""
    (ra, ca), (rb, cb) = a.shape, b.shape
    return (a[:, None, :, None] * b[None, :, None, :]).reshape(ra * rb, ca * cb)


def _checked_shape(name: str, value: object, n: int, t: float) -> object:
    shape = getattr(value, "shape", None)
    if shape is None:
        try:
            shape = np.shape(cast(Any, value))
        except (TypeError, ValueError):
            raise TypeError(f"{name}: returned {checks.describe(value)} at t={t!r}, expected a matrix") from None
    if tuple(shape) != (n, n):
        raise ValueError(f"{name}: returned a matrix of shape {tuple(shape)} at t={t!r}, expected {(n, n)}")
    return value


def _lagrange_values(points: _Floats, s: _Floats) -> _Floats:
    """The Lagrange functions of `points` at `s` (any reals), shape (len(s), len(points))."""
    values = np.ones((s.size, points.size))
    for j in range(points.size):
        for i in range(points.size):
            if i != j:
                values[:, j] *= (s - points[i]) / (points[j] - points[i])
    return values
