"""Pure-Python model of the piecewise Legendre evaluation core.

Python floats are IEEE doubles and every operation below is rounded by itself, in the same
order and grouping as the native code, so the results agree bit for bit. Only division needs
care: Python raises on a zero divisor where IEEE arithmetic gives an infinity or NaN.

Coefficients are a flat column-major list (element (r, q) at position q*nrows + r); by default
the matrix is n_t x (degree + 1), the degree-major order of the Python classes.
"""

import math
import sys
from dataclasses import dataclass

SIZE_MAX = sys.maxsize * 2 + 1
PTRDIFF_MAX = sys.maxsize
DOUBLE_BYTES = 8

NO_INTERVAL = "Legendre basis requires at least one interval (n_t = 0)"
CAPACITY_OVERFLOW = "capacity overflow"
BUFFER_TOO_SMALL = "Matrix view: input data buffer too small."
ROWS_OUT_OF_BOUNDS = "Matrix slicing out of bounds."
COLUMNS_OUT_OF_BOUNDS = "Matrix index out of bounds."


class InternalFault(Exception):
    """A violated precondition; args[0] is the fixed message of the native fault."""


def divide(a, b):
    """IEEE division, including a zero divisor."""
    if b != 0.0:
        return a / b
    if math.isnan(a) or a == 0.0:
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def floor(x):
    return math.floor(x) * 1.0 if math.isfinite(x) else x


def checked_size(n):
    if n > SIZE_MAX:
        raise InternalFault(CAPACITY_OVERFLOW)
    return n


def checked_double_count(n):
    if n > PTRDIFF_MAX // DOUBLE_BYTES:
        raise InternalFault(CAPACITY_OVERFLOW)
    return n


def legendre_walk(xi, degree):
    """Yields (i, P_i(xi), D_i(xi)) for i = 0 ... degree, D_i = dP_i/dxi."""
    p_prev, d_prev = 1.0, 0.0
    yield 0, p_prev, d_prev
    if degree == 0:
        return
    p, d = xi, 1.0
    yield 1, p, d
    for i in range(1, degree):
        j = float(i)
        c = (j + j) + 1.0
        m = (c * xi) * p
        r = p_prev * j
        p_next = (m - r) / (j + 1.0)
        d_next = d_prev + c * p
        p_prev, p, d_prev, d = p, p_next, d, d_next
        yield i + 1, p, d


@dataclass(frozen=True)
class LegendreBasis:
    T: float
    degree: int
    n_t: int

    def dt(self):
        return divide(self.T, float(self.n_t))

    def basis_size(self):
        checked_double_count(checked_size(self.degree + 1))
        return checked_double_count(checked_size(self.n_t * (self.degree + 1)))

    def locate_interval(self, t):
        """Returns (k, xi)."""
        if self.n_t == 0:
            raise InternalFault(NO_INTERVAL)
        dt = self.dt()
        q = floor(divide(t, dt))
        if math.isnan(q) or q <= 0.0:
            index = 0
        elif q >= float(SIZE_MAX):
            index = SIZE_MAX
        else:
            index = int(q)
        k = self.n_t - 1 if index >= self.n_t else index
        a = float(k) * dt
        b = dt + a
        # The midpoint (a + b) / 2, as halves where the sum overflows.
        middle = a / 2.0 + b / 2.0 if math.isinf(a + b) else (a + b) / 2.0
        xi = divide(2.0 * (t - middle), b - a)
        if xi < -1.0:
            xi = -1.0
        elif xi > 1.0:
            xi = 1.0
        return k, xi

    def _expansion(self, t, coefficients, nrows, ncols, derivative):
        nrows = self.n_t if nrows is None else nrows
        ncols = self.degree + 1 if ncols is None else ncols
        if len(coefficients) < checked_size(nrows * ncols):
            raise InternalFault(BUFFER_TOO_SMALL)
        k, xi = self.locate_interval(t)
        if nrows <= k:
            raise InternalFault(ROWS_OUT_OF_BOUNDS)
        if ncols <= self.degree:
            raise InternalFault(COLUMNS_OUT_OF_BOUNDS)
        s = -0.0
        for i, p, d in legendre_walk(xi, self.degree):
            s = s + (d if derivative else p) * coefficients[i * nrows + k]
        return divide(s + s, self.dt()) if derivative else s

    def evaluate(self, t, coefficients, nrows=None, ncols=None):
        return self._expansion(t, coefficients, nrows, ncols, derivative=False)

    def evaluate_derivative(self, t, coefficients, nrows=None, ncols=None):
        return self._expansion(t, coefficients, nrows, ncols, derivative=True)

    def evaluate_all_basis_functions(self, t):
        k, xi = self.locate_interval(t)
        v = [0.0] * self.basis_size()
        for i, p, _ in legendre_walk(xi, self.degree):
            v[i * self.n_t + k] = p
        return v

    def evaluate_all_basis_function_derivatives(self, t):
        k, xi = self.locate_interval(t)
        v = [0.0] * self.basis_size()
        dt = self.dt()
        for i, _, d in legendre_walk(xi, self.degree):
            v[i * self.n_t + k] = divide(d + d, dt)
        return v
