"""What a numerical Python user would write instead of calling pwpoly: vectorised numpy and scipy
constructions of the same objects, and the straightforward routes through pwpoly's list results.

They serve as baselines. Each is checked against pwpoly (see test_peers.py and run.py):
- `prolongation_csr` follows the same operations in the same order, element by element, and gives
  the same bits;
- `to_legendre_csr` takes the local inverse from a LAPACK inverse of the local Vandermonde matrix,
  so its values agree to rounding (the structure exactly);
- `legendre_evaluate` and `basis_matrix_csr` follow the interval lookup and the Legendre recurrence
  of the scalar evaluation and give the same bits;
- `legendre_ppoly` re-expresses the expansion in the power basis of each interval, so it agrees to
  rounding only.
"""

import math

import numpy as np
import scipy.interpolate
import scipy.sparse

import pwpoly

# ---------------------------------------------------------------------------------------------
# Sparse operators


def reference_nodes(degree):
    """x_j = ((j * 2.0) / d) + (-1.0), j = 0 ... d, in that order of operations."""
    return [((j * 2.0) / degree) + (-1.0) for j in range(degree + 1)]


def barycentric_weights(nodes):
    weights = []
    for i, xi in enumerate(nodes):
        product = 1.0
        for j, xj in enumerate(nodes):
            if j != i:
                product = product * (xi - xj)
        weights.append(1.0 / product)
    return weights


def index_dtype(*extents):
    """The index type scipy.sparse itself chooses: int32 while every index and count fits."""
    return np.int32 if max(extents) <= np.iinfo(np.int32).max else np.int64


def prolongation_csr(nt_coarse, nt_fine, degree):
    """CSR parts (indptr, indices, data) and shape of the coarse-to-fine Lagrange prolongation.

    Fine node r lies on coarse node c exactly when r * n_c is a multiple of n_f (c = r * n_c / n_f,
    decided in integers): its row is the single entry (r, c, 1.0). Any other fine node sits at
    s = (r / N_f) * n_c coarse-interval units; its row holds the barycentric interpolation weights
    of the d + 1 nodes of coarse interval k = min(floor(s), n_c - 1), or a single 1.0 when it lies
    within 1e-14 of one of them; exact zeros are not stored.
    """
    d = degree
    fine_points = nt_fine * d
    rows = fine_points + 1
    shape = (rows, nt_coarse * d + 1)
    nodes = reference_nodes(d)
    weights = barycentric_weights(nodes)

    s = np.arange(rows, dtype=np.float64)
    s /= fine_points
    s *= nt_coarse
    k = np.floor(s)
    np.minimum(k, nt_coarse - 1, out=k)
    e = s - k
    e += e
    e += -1.0
    del s

    with np.errstate(divide="ignore", invalid="ignore"):
        # Coincidence with a reference node, lowest node first.
        hit = np.full(rows, -1, dtype=np.int64)
        for j in range(d, -1, -1):
            hit[np.abs(e - nodes[j]) < 1e-14] = j
        # Barycentric weights for every node; rows with a hit are overwritten below.
        values = np.empty((rows, d + 1))
        total = np.zeros(rows)
        for j in range(d + 1):
            column = values[:, j]
            np.subtract(e, nodes[j], out=column)
            np.divide(weights[j], column, out=column)
            total += column
        values /= total[:, None]
    on_node = np.flatnonzero(hit >= 0)
    values[on_node] = 0.0
    values[on_node, hit[on_node]] = 1.0
    # Exact coincidence: with g = gcd(n_c, n_f), r * n_c is a multiple of n_f exactly when r is a
    # multiple of n_f / g, and then c = (r / (n_f / g)) * (n_c / g). Such a row keeps one entry,
    # 1.0 at local position 0, whose column is moved to c.
    g = math.gcd(nt_coarse, nt_fine)
    period, step = nt_fine // g, nt_coarse // g
    exact = np.arange(0, rows, period)
    values[exact] = 0.0
    values[exact, 0] = 1.0

    stored = values != 0.0
    counts = stored.sum(axis=1)
    itype = index_dtype(shape[1], rows * (d + 1))
    indptr = np.zeros(rows + 1, dtype=itype)
    indptr[1:] = np.cumsum(counts)
    first_column = k.astype(itype)
    first_column *= d
    first_column[exact] = np.arange(len(exact), dtype=itype) * step
    if stored.all():
        indices = (first_column[:, None] + np.arange(d + 1, dtype=itype)).ravel()
        data = values.ravel()
    else:
        row_of, local = np.nonzero(stored)
        indices = first_column[row_of] + local.astype(itype)
        data = values[stored]
    return (indptr, indices, data), shape


def local_legendre_inverse(degree):
    """G = W^-1 with W(j, i) = P_j(x_i) at the equidistant reference nodes (LAPACK inverse)."""
    x = np.array(reference_nodes(degree))
    W = np.empty((degree + 1, degree + 1))
    W[0] = 1.0
    if degree >= 1:
        W[1] = x
    for k in range(1, degree):
        W[k + 1] = (((2 * k + 1) * x) * W[k] - k * W[k - 1]) / (k + 1)
    return np.linalg.inv(W)


def to_legendre_csr(degree, n_t):
    """CSR parts and shape of the map from Lagrange nodal values to Legendre coefficients.

    Row a * n_t + k holds G(i, a) in column k * d + i, i = 0 ... d.
    """
    d = degree
    G = local_legendre_inverse(d)
    rows = (d + 1) * n_t
    shape = (rows, n_t * d + 1)
    itype = index_dtype(shape[1], rows * (d + 1))
    indptr = np.arange(0, rows * (d + 1) + 1, d + 1, dtype=itype)
    first = np.arange(0, n_t * d, d, dtype=itype)
    indices = np.empty((d + 1, n_t, d + 1), dtype=itype)
    indices[...] = first[None, :, None]
    indices += np.arange(d + 1, dtype=itype)
    data = np.empty((d + 1, n_t, d + 1))
    data[...] = G.T[:, None, :]
    return (indptr, indices.ravel(), data.ravel()), shape


def csr_to_triplets(parts):
    """(rows, cols, values) numpy arrays of CSR parts, in stored order."""
    indptr, indices, data = parts
    rows = np.repeat(np.arange(len(indptr) - 1, dtype=np.int64), np.diff(indptr))
    return rows, indices.astype(np.int64), data


def prolongation_triplets(nt_coarse, nt_fine, degree):
    return csr_to_triplets(prolongation_csr(nt_coarse, nt_fine, degree)[0])


def to_legendre_triplets(degree, n_t):
    return csr_to_triplets(to_legendre_csr(degree, n_t)[0])


def as_csr(parts, shape):
    indptr, indices, data = parts
    return scipy.sparse.csr_array((data, indices, indptr), shape=shape, copy=False)


def triplets_to_csr(triplets, shape):
    """What a user does with pwpoly's lists: scipy's coordinate constructor, then CSR."""
    rows, cols, values = triplets
    return scipy.sparse.csr_array((values, (rows, cols)), shape=shape)


def compare_triplets(ours, peer, exact=True):
    """Compares two triplet sets after sorting by (row, col).

    Returns (same structure, largest absolute value difference, bitwise equal values).
    """
    rows_a, cols_a, vals_a = (np.asarray(x) for x in ours)
    rows_b, cols_b, vals_b = (np.asarray(x) for x in peer)
    if len(rows_a) != len(rows_b):
        return False, np.inf, False

    def ordered(rows, cols, vals):
        rows = rows.astype(np.int64)
        cols = cols.astype(np.int64)
        if len(rows) > 1:
            step_row = np.diff(rows)
            already = bool(np.all((step_row > 0) | ((step_row == 0) & (np.diff(cols) > 0))))
        else:
            already = True
        if not already:
            order = np.lexsort((cols, rows))
            rows, cols, vals = rows[order], cols[order], vals[order]
        return rows, cols, vals.astype(np.float64)

    rows_a, cols_a, vals_a = ordered(rows_a, cols_a, vals_a)
    rows_b, cols_b, vals_b = ordered(rows_b, cols_b, vals_b)
    structure = bool(np.array_equal(rows_a, rows_b) and np.array_equal(cols_a, cols_b))
    if not structure:
        return False, np.inf, False
    bitwise = bool(np.array_equal(vals_a.view(np.uint64), vals_b.view(np.uint64)))
    with np.errstate(invalid="ignore"):
        difference = float(np.max(np.abs(vals_a - vals_b))) if len(vals_a) else 0.0
    return True, difference, bitwise


def same_csr(a, b, exact=True, tolerance=0.0):
    """Same shape, same stored structure (sorted indices) and same values (bits, or within tolerance)."""
    a = scipy.sparse.csr_array(a)
    b = scipy.sparse.csr_array(b)
    if a.shape != b.shape:
        return False
    a.sort_indices()
    b.sort_indices()
    if not (np.array_equal(a.indptr, b.indptr) and np.array_equal(a.indices, b.indices)):
        return False
    if exact:
        return bool(
            np.array_equal(a.data.astype(np.float64).view(np.uint64), b.data.astype(np.float64).view(np.uint64))
        )
    return bool(np.max(np.abs(a.data - b.data), initial=0.0) <= tolerance)


# ---------------------------------------------------------------------------------------------
# Piecewise Legendre evaluation


def locate(times, n_t, T):
    """Interval index k (intp) and local coordinate xi of each time, as the scalar lookup does."""
    dt = T / n_t
    k = np.divide(times, dt)
    np.floor(k, out=k)
    np.fmax(k, 0.0, out=k)  # NaN and q <= 0 land in interval 0
    np.minimum(k, n_t - 1, out=k)
    a = k * dt
    width = a + dt  # b = dt + a
    middle = a + width
    width -= a  # b - a
    middle /= 2.0
    xi = np.subtract(times, middle, out=middle)
    xi *= 2.0
    xi /= width
    np.clip(xi, -1.0, 1.0, out=xi)
    return k.astype(np.intp), xi


def legendre_values(xi, degree, out=None):
    """Yields P_0 ... P_degree at xi by the three-term recurrence (P_0 as the scalar 1.0).

    Each yielded array is valid until the generator resumes twice: two buffers rotate, and the
    product P_(j-1) * j goes through `out` (a scratch array like xi) when given.
    """
    yield 1.0
    if degree == 0:
        return
    yield xi
    previous, current = 1.0, xi
    spare = [np.empty_like(xi), np.empty_like(xi)] if degree >= 2 else []
    scratch = np.empty_like(xi) if out is None else out
    for j in range(1, degree):
        jf = float(j)
        c = (jf + jf) + 1.0
        if isinstance(previous, float):
            r = previous * jf
            target = spare.pop()
        else:
            r = np.multiply(previous, jf, out=scratch)
            target = spare.pop() if previous is xi else previous
        np.multiply(xi, c, out=target)
        target *= current
        target -= r
        target /= jf + 1.0
        if previous is not xi and not isinstance(previous, float) and previous is not target:
            spare.append(previous)
        previous, current = current, target
        yield current


def legendre_evaluate(coefficients, n_t, T, degree, times):
    """Values of the piecewise Legendre expansion (degree-major coefficients) at an array of times."""
    k, xi = locate(times, n_t, T)
    C = coefficients.reshape(degree + 1, n_t)
    # S = -0.0 + P_0 * c_0 is c_0 itself, bit for bit (P_0 = 1.0).
    total = C[0].take(k)
    if degree == 0:
        return total
    term = np.empty_like(xi)
    scratch = np.empty_like(xi)
    for i, p in enumerate(legendre_values(xi, degree, out=scratch)):
        if i == 0:
            continue
        np.take(C[i], k, out=term)
        term *= p
        total += term
    return total


def legendre_ppoly(coefficients, n_t, T, degree):
    """scipy.interpolate.PPoly of the same piecewise polynomial, in the power basis of t - a_k."""
    dt = T / n_t
    a = np.arange(n_t) * dt
    return legendre_ppoly_on(coefficients, np.append(a, dt + a[-1]), degree)


def legendre_ppoly_on(coefficients, breakpoints, degree):
    """PPoly of the piecewise Legendre expansion on any breakpoints, in the power basis of t - a_k.

    With xi = s u - 1 (u = t - a_k, s = 2 / (b_k - a_k)), P_i(xi) = sum_r B[i, r] s^r u^r, where B
    does not depend on the interval."""
    n_t = len(breakpoints) - 1
    B = np.zeros((degree + 1, degree + 1))
    for i in range(degree + 1):
        unit = np.zeros(degree + 1)
        unit[i] = 1.0
        in_xi = np.polynomial.Polynomial(np.polynomial.legendre.leg2poly(unit))
        in_u = in_xi(np.polynomial.Polynomial([-1.0, 1.0])).coef  # s = 1; s^r scales below
        B[i, : len(in_u)] = in_u
    scale = 2.0 / np.diff(breakpoints)
    per_interval = (coefficients.reshape(degree + 1, n_t).T @ B) * scale[:, None] ** np.arange(degree + 1)
    return scipy.interpolate.PPoly(np.ascontiguousarray(per_interval[:, ::-1].T), np.asarray(breakpoints))


def basis_matrix_csr(n_t, T, degree, times, index_type=None):
    """CSR parts and shape of the matrix of basis values: row m holds P_i(xi_m) at column i n_t + k_m."""
    k, xi = locate(times, n_t, T)
    m = len(times)
    width = degree + 1
    shape = (m, n_t * width)
    itype = index_type or index_dtype(shape[1], m * width)
    data = np.empty((m, width))
    for i, p in enumerate(legendre_values(xi, degree)):
        data[:, i] = p
    indices = np.empty((m, width), dtype=itype)
    indices[:, 0] = k
    for i in range(1, width):
        np.add(indices[:, 0], i * n_t, out=indices[:, i])
    indptr = np.arange(0, m * width + 1, width, dtype=itype)
    return (indptr, indices.ravel(), data.ravel()), shape


def basis_matrix_via_lists(basis, n_t, degree, times):
    """The basis matrix through pwpoly's dense all-basis lists, one call per time.

    P_0 = 1.0 sits at position k of the list and every other position below n_t is 0.0, so the
    interval is found by a search in C, and its d + 1 values are the slice k, k + n_t, ...
    """
    evaluate_all = basis.evaluate_all_basis_functions
    size = n_t * (degree + 1)
    data = []
    indices = []
    for t in times.tolist():
        values = evaluate_all(t)
        k = values.index(1.0, 0, n_t)
        data += values[k::n_t]
        indices += range(k, size, n_t)
    m = len(times)
    return scipy.sparse.csr_array(
        (np.array(data), np.array(indices), np.arange(0, m * (degree + 1) + 1, degree + 1)), shape=(m, size)
    )


def pwpoly_basis_matrix(n_t, T, degree, times):
    """Reference: the rows of evaluate_all_basis_functions, d + 1 entries each, as a dense array."""
    basis = pwpoly.LegendreBasis(degree, n_t, T)
    return np.array([basis.evaluate_all_basis_functions(t) for t in times.tolist()])


def legendre_derivative_csr(degree, n_t, upwind):
    """Vectorised numpy build of the Legendre derivative matrix (upwind: with the traces): the
    arrays of LegendreSpace(degree, n_t, T).derivative_matrix(upwind=upwind), row i*n_t + k,
    written in place into preallocated arrays (no concatenation), then csr_array."""
    p, n = degree, n_t
    m = p + 1
    j = np.arange(m)
    interior = [np.where((j > i) & ((i + j) % 2 == 1), 2.0, 0.0) for i in range(m)]
    stored = [int(np.count_nonzero(row)) for row in interior]
    nnz = m * (2 * m * n - m) if upwind else n * sum(stored)
    index = np.int32 if max(nnz, m * n) < 2**31 else np.int64
    indptr = np.empty(m * n + 1, dtype=index)
    indptr[0] = 0
    indices = np.empty(nnz, dtype=index)
    data = np.empty(nnz)
    k = np.arange(n, dtype=index)
    position = 0
    for i in range(m):
        rows = indptr[i * n + 1 : (i + 1) * n + 1]
        if not upwind:
            js = j[interior[i] != 0.0].astype(index)
            c = js.size
            np.add(js * index(n), k[:, None], out=indices[position : position + n * c].reshape(n, c))
            data[position : position + n * c].reshape(n, c)[...] = interior[i][js]
            np.multiply(k + index(1), index(c), out=rows)
            rows += index(position)
            position += n * c
            continue
        own = interior[i] + (-1.0) ** i * (-1.0) ** j
        first_columns = j.astype(index) * index(n)
        indices[position : position + m] = first_columns
        data[position : position + m] = own
        block = indices[position + m : position + m * (2 * n - 1)].reshape(n - 1, 2 * m)
        np.add(first_columns, k[:-1, None], out=block[:, 0::2])
        np.add(first_columns, k[1:, None], out=block[:, 1::2])
        values = data[position + m : position + m * (2 * n - 1)].reshape(n - 1, 2 * m)
        values[:, 0::2] = -((-1.0) ** i)
        values[:, 1::2] = own
        rows[0] = position + m
        np.multiply(k[1:], index(2 * m), out=rows[1:])
        rows[1:] += index(position + m)
        position += m * (2 * n - 1)
    return scipy.sparse.csr_array((data, indices, indptr), shape=(m * n, m * n))


def write_once(rows, nnz, index):
    """The floor of building a csr_array's arrays: fresh indptr, indices and data, each written once."""
    indptr, indices, data = np.empty(rows + 1, dtype=index), np.empty(nnz, dtype=index), np.empty(nnz)
    indptr.fill(0)
    indices.fill(0)
    data.fill(0.0)
    return indptr, indices, data
