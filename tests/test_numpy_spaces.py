"""pwpoly_numpy: exactness on polynomials, shapes, out=, errors and the object protocol."""

import copy
import pickle

import numpy as np
import pytest
import scipy.sparse
from hypothesis import given, settings
from hypothesis import strategies as st
from test_numpy_agreement import same_bits

import pwpoly_numpy as pn


def poly(coefficients):
    return np.polynomial.Polynomial(coefficients)


polynomial_cases = st.tuples(
    st.integers(1, 8), st.integers(1, 12), st.sampled_from([1.0, 0.7, 3.0, 20.0]), st.integers(0, 2**32 - 1)
)


# ---------------------------------------------------------------- polynomial reproduction


@settings(max_examples=60, deadline=None)
@given(polynomial_cases)
def test_project_and_interpolate_reproduce_polynomials_of_the_degree(case):
    degree, n_t, T, seed = case
    rng = np.random.default_rng(seed)
    p = poly(rng.standard_normal(degree + 1))
    t = np.concatenate([rng.uniform(0, T, 50), [0.0, T]])
    scale = np.max(np.abs(p(np.linspace(0, T, 200)))) + np.max(np.abs(p.deriv()(np.linspace(0, T, 200)))) * T
    V = pn.LegendreSpace(degree, n_t, T)
    W = pn.LagrangeSpace(degree, n_t, T)
    for evaluate, coefficients in ((V.evaluate, V.project(p)), (W.evaluate, W.interpolate(p))):
        assert np.allclose(evaluate(coefficients, t), p(t), rtol=0, atol=1e-13 * scale)
        assert np.allclose(
            evaluate(coefficients, t, derivative=1) * T,
            p.deriv()(t) * T,
            rtol=0,
            atol=2e-12 * scale * max(n_t, degree) ** 2,
        )


@settings(max_examples=40, deadline=None)
@given(polynomial_cases)
def test_mass_matrices_integrate_products_exactly(case):
    degree, n_t, T, seed = case
    rng = np.random.default_rng(seed)
    p, q = poly(rng.standard_normal(degree + 1)), poly(rng.standard_normal(degree + 1))
    exact = (p * q).integ()(T) - (p * q).integ()(0.0)
    magnitude = ((p * p).integ()(T) * (q * q).integ()(T)) ** 0.5
    V = pn.LegendreSpace(degree, n_t, T)
    W = pn.LagrangeSpace(degree, n_t, T)
    for M, u, v in (
        (V.mass_matrix(), V.project(p), V.project(q)),
        (W.mass_matrix(), W.interpolate(p), W.interpolate(q)),
    ):
        assert M.shape == (u.size, u.size)
        assert abs(u @ (M @ v) - exact) <= 1e-13 * magnitude
        assert abs(M - M.T).max() == 0.0


def test_legendre_mass_matrix_is_the_diagonal_of_the_squared_norms():
    V = pn.LegendreSpace(3, 5, 2.0)
    M = V.mass_matrix()
    # Each interval's own length b - a (on equal intervals k*dt to (k + 1)*dt, not dt itself).
    same_bits(M.diagonal(), np.tile(V.lengths, 4) / np.repeat([1.0, 3.0, 5.0, 7.0], 5))
    assert M.nnz == V.size


def test_lagrange_evaluate_is_legendre_evaluate_of_the_transformed_values():
    W = pn.LagrangeSpace(3, 7, 1.5)
    u = np.random.default_rng(1).standard_normal((2, W.size))
    t = np.linspace(-0.1, 1.6, 33)
    expected = W.legendre_space().evaluate((W.to_legendre() @ u.T).T, t, derivative=1)
    same_bits(W.evaluate(u, t, derivative=1), expected)


def test_breakpoints_are_the_interval_ends_of_evaluation():
    V = pn.LegendreSpace(1, 6, 1.0)
    dt = 1.0 / 6
    same_bits(V.breakpoints, [k * dt for k in range(6)] + [dt + 5 * dt])
    assert V.breakpoints[-1] == 0.9999999999999999  # not T: the last end is dt + 5 dt
    k, xi = V.locate(V.breakpoints[1:-1])
    assert list(k) == [1, 2, 3, 4, 5] and np.allclose(xi, -1.0, rtol=0, atol=1e-14)


# ---------------------------------------------------------------- shapes and out=


@pytest.mark.parametrize(
    "coefficient_shape, times, result_shape",
    [
        ((), 0.5, ()),
        ((), [0.5], (1,)),
        ((), np.zeros((2, 3)), (2, 3)),
        ((4,), 0.25, (4,)),
        ((4, 5), np.zeros((2, 3)), (4, 5, 2, 3)),
        ((0,), [0.1, 0.2], (0, 2)),
        ((3,), [], (3, 0)),
    ],
)
def test_result_shapes(coefficient_shape, times, result_shape):
    V = pn.LegendreSpace(2, 3, 1.0)
    C = np.ones(coefficient_shape + (V.size,))
    for derivative in (0, 1):
        result = V.evaluate(C, times, derivative)
        assert result.shape == result_shape and result.dtype == np.float64
        flat = V.evaluate(C.reshape(-1, V.size), np.ravel(times), derivative)
        same_bits(result, flat.reshape(result_shape))
    W = pn.LagrangeSpace(2, 3, 1.0)
    assert W.evaluate(np.ones(coefficient_shape + (W.size,)), times).shape == result_shape
    k, xi = V.locate(times)
    assert k.shape == xi.shape == np.shape(times)
    assert V.basis_matrix(times).shape == (np.size(times), V.size)


def test_array_likes_convert_with_numpy_rules():
    V = pn.LegendreSpace(1, 2, 1.0)
    c = np.array([1.0, 2.0, 3.0, 4.0])
    reference = V.evaluate(c, np.array([0.0, 0.25, 1.0]))
    same_bits(V.evaluate([1, 2, 3, 4], [0, 0.25, 1]), reference)
    same_bits(V.evaluate(c.astype(np.float32), (0, 0.25, 1)), reference)
    same_bits(V.evaluate(c, np.array([0, 1, 4], dtype=np.int64)[::1] / 4), reference)
    strided = np.array([0.0, 9.0, 0.25, 9.0, 1.0])[::2]
    same_bits(V.evaluate(c, strided), reference)
    same_bits(V.evaluate(np.asfortranarray(np.stack([c, c])), [0, 0.25, 1])[1], reference)
    # A product A @ u is typed "sparse or dense": a sparse array is accepted, made dense.
    same_bits(V.evaluate(scipy.sparse.csr_array(np.stack([c, 0 * c])), [0, 0.25, 1])[0], reference)


def test_out_is_written_and_returned():
    V = pn.LegendreSpace(2, 4, 1.0)
    C = np.random.default_rng(2).standard_normal((3, V.size))
    t = np.linspace(0, 1, 7)
    expected = V.evaluate(C, t, 1)
    out = np.full((3, 7), np.nan)
    assert V.evaluate(C, t, 1, out=out) is out
    same_bits(out, expected)
    # A non-contiguous view, and an out that overlaps an input, are written correctly too.
    big = np.zeros((3, 14))
    view = big[:, ::2]
    assert V.evaluate(C, t, 1, out=view) is view
    same_bits(big[:, ::2], expected)
    times = t.copy()
    single = V.evaluate(C[0], times)
    assert V.evaluate(C[0], times, out=times) is times
    same_bits(times, single)
    W = pn.LagrangeSpace(2, 4, 1.0)
    out = np.empty(7)
    assert W.evaluate(np.ones(W.size), t, out=out) is out
    assert np.allclose(out, 1.0)


# ---------------------------------------------------------------- errors

V0 = pn.LegendreSpace(2, 4, 1.0)
W0 = pn.LagrangeSpace(2, 4, 1.0)


@pytest.mark.parametrize(
    "call, kind, message",
    [
        (lambda: pn.LegendreSpace(-1, 4, 1.0), ValueError, "degree: expected an integer >= 0, got -1"),
        (lambda: pn.LegendreSpace(1.5, 4, 1.0), TypeError, "degree: expected an integer, got 1.5 (float)"),
        (lambda: pn.LegendreSpace(True, 4, 1.0), TypeError, "degree: expected an integer, got True (bool)"),
        (lambda: pn.LegendreSpace(2, 0, 1.0), ValueError, "n_t: expected an integer >= 1, got 0"),
        (lambda: pn.LegendreSpace(2, "4", 1.0), TypeError, "n_t: expected an integer, got '4' (str)"),
        (lambda: pn.LagrangeSpace(0, 4, 1.0), ValueError, "degree: expected an integer >= 1, got 0"),
        (lambda: pn.LegendreSpace(2, 4, 0.0), ValueError, "T: expected a finite positive real number, got 0.0"),
        (lambda: pn.LegendreSpace(2, 4, -1.0), ValueError, "T: expected a finite positive real number, got -1.0"),
        (
            lambda: pn.LagrangeSpace(2, 4, float("inf")),
            ValueError,
            "T: expected a finite positive real number, got inf",
        ),
        (
            lambda: pn.LagrangeSpace(2, 4, float("nan")),
            ValueError,
            "T: expected a finite positive real number, got nan",
        ),
        (
            lambda: pn.LagrangeSpace(2, 4, "1.0"),
            TypeError,
            "T: expected a finite positive real number, got '1.0' (str)",
        ),
        (lambda: pn.LegendreSpace(2, 4, 1j), TypeError, "T: expected a finite positive real number, got 1j (complex)"),
        (lambda: pn.LegendreSpace(1, 2**62, 1.0), ValueError, "n_t: n_t * (degree + 1)**2"),
        (
            lambda: V0.evaluate(np.ones(11), 0.5),
            ValueError,
            "coefficients: last axis has length 11, expected V.size = 12",
        ),
        (
            lambda: V0.evaluate(np.ones((2, 13)), 0.5),
            ValueError,
            "coefficients: last axis has length 13, expected V.size = 12",
        ),
        (lambda: V0.evaluate(1.0, 0.5), ValueError, "coefficients: expected an array of shape (..., 12), got a scalar"),
        (lambda: V0.evaluate(["a"] * 12, 0.5), TypeError, "coefficients: expected an array-like of real numbers"),
        (lambda: V0.evaluate(np.ones(12), "0.5"), TypeError, "times: expected an array-like of real numbers"),
        (
            lambda: V0.evaluate(np.ones(12), [0.5j]),
            TypeError,
            "times: expected an array-like of real numbers, got an array of dtype complex128",
        ),
        (lambda: V0.evaluate(np.ones(12), [0.5, object()]), TypeError, "times: expected an array-like of real numbers"),
        (
            lambda: V0.evaluate(np.ones(12), [[0.5], [0.1, 0.2]]),
            TypeError,
            "times: expected an array-like of real numbers",
        ),
        (lambda: W0.basis_matrix(0.5, derivative=-2), ValueError, "derivative: expected an integer >= 0, got -2"),
        (lambda: W0.evaluate(np.ones(W0.size), 0.5, derivative=True), TypeError, "derivative: expected an integer"),
        (
            lambda: V0.evaluate(np.ones(12), 0.5, derivative=-1),
            ValueError,
            "derivative: expected an integer >= 0, got -1",
        ),
        (lambda: V0.basis_matrix(0.5, derivative=0.0), TypeError, "derivative: expected an integer, got 0.0 (float)"),
        (
            lambda: V0.evaluate(np.ones(12), [0.5], out=[0.0]),
            TypeError,
            "out: expected a numpy.ndarray, got [0.0] (list)",
        ),
        (
            lambda: V0.evaluate(np.ones(12), [0.5], out=np.zeros(1, np.float32)),
            TypeError,
            "out: expected dtype float64, got dtype float32",
        ),
        (
            lambda: V0.evaluate(np.ones(12), [0.5], out=np.zeros(2)),
            ValueError,
            "out: expected shape (1,), got shape (2,)",
        ),
        (
            lambda: V0.evaluate(np.ones(12), [0.5], out=np.broadcast_to(0.0, (1,))),
            ValueError,
            "out: expected a writeable array",
        ),
        (lambda: V0.project(3.0), TypeError, "f: expected a callable, got 3.0 (float)"),
        (lambda: V0.project(lambda t: 1.0), ValueError, "f: returned an array of shape (), expected shape (..., 16)"),
        (
            lambda: V0.project(lambda t: t[:-1]),
            ValueError,
            "f: returned an array of shape (15,), expected shape (..., 16)",
        ),
        (lambda: V0.project(lambda t: t.astype(str)), TypeError, "f(t): expected an array-like of real numbers"),
        (
            lambda: W0.interpolate(lambda t: np.ones(3)),
            ValueError,
            "f: returned an array of shape (3,), expected shape (..., 9)",
        ),
        (lambda: W0.evaluate(np.ones(12), 0.5), ValueError, "values: last axis has length 12, expected W.size = 9"),
        (
            lambda: W0.prolongation_to(V0),
            TypeError,
            "fine: expected a LagrangeSpace, got LegendreSpace(degree=2, n_t=4, T=1.0) (LegendreSpace)",
        ),
        (
            lambda: W0.prolongation_to(pn.LagrangeSpace(3, 8, 1.0)),
            ValueError,
            "fine: degree is 3, expected W.degree = 2",
        ),
        (lambda: W0.prolongation_to(pn.LagrangeSpace(2, 8, 2.0)), ValueError, "fine: T is 2.0, expected W.T = 1.0"),
    ],
)
def test_misuse_raises_a_catchable_error_naming_the_argument(call, kind, message, capfd):
    with pytest.raises(kind) as info:
        call()
    assert str(info.value).startswith(message), str(info.value)
    assert issubclass(kind, Exception)
    assert capfd.readouterr() == ("", "")


def test_times_outside_and_nan_follow_the_scalar_rule():
    V = pn.LegendreSpace(2, 4, 1.0)
    c = np.arange(1.0, 13.0)
    same_bits(V.evaluate(c, [-5.0, -np.inf]), V.evaluate(c, [0.0, 0.0]))
    same_bits(V.evaluate(c, [5.0, np.inf]), V.evaluate(c, [1.0, 1.0]))
    assert np.isnan(V.evaluate(c, np.nan))


# ---------------------------------------------------------------- objects


@pytest.mark.parametrize("cls", [pn.LegendreSpace, pn.LagrangeSpace])
def test_objects_have_value_semantics(cls):
    space = cls(3, 64, 1.0)
    assert repr(space) == f"{cls.__name__}(degree=3, n_t=64, T=1.0)"
    assert eval(repr(space), vars(pn)) == space
    assert space == cls(np.int64(3), 64, 1) and hash(space) == hash(cls(3, 64, 1.0))
    assert space != cls(3, 64, 2.0) and space != cls(2, 64, 1.0) and space != cls(3, 32, 1.0)
    other = pn.LagrangeSpace if cls is pn.LegendreSpace else pn.LegendreSpace
    assert space != other(3, 64, 1.0)
    assert len({space, cls(3, 64, 1.0), cls(3, 65, 1.0)}) == 2
    for clone in (pickle.loads(pickle.dumps(space)), copy.copy(space), copy.deepcopy(space)):
        assert clone == space and type(clone) is cls
    assert (space.degree, space.n_t, space.T, space.dt) == (3, 64, 1.0, 1.0 / 64)
    assert type(space.degree) is int and type(space.T) is float
    for name in ("degree", "n_t", "T", "dt", "size"):
        with pytest.raises(AttributeError):
            setattr(space, name, 1)
    with pytest.raises(AttributeError):
        space.extra = 1


def test_attribute_arrays_are_read_only_and_results_are_fresh():
    W = pn.LagrangeSpace(2, 3, 1.0)
    with pytest.raises(ValueError):
        W.points[0] = 1.0
    with pytest.raises(ValueError):
        W.legendre_space().breakpoints[0] = 1.0
    A, B = W.to_legendre(), W.to_legendre()
    A.data[:] = 0.0
    assert B.data.any() and W.to_legendre().data.any()
    assert W.legendre_space() == pn.LegendreSpace(2, 3, 1.0)
    assert W.size == 7 and W.legendre_space().size == 9


def sparse_results():
    W = pn.LagrangeSpace(3, 5, 2.0)
    V = W.legendre_space()
    return [
        V.basis_matrix(np.linspace(-1.0, 3.0, 11)),
        V.basis_matrix([]),
        V.basis_matrix(0.5, derivative=1),
        V.mass_matrix(),
        W.mass_matrix(),
        W.to_legendre(),
        W.prolongation_to(pn.LagrangeSpace(3, 7, 2.0)),
    ]


@pytest.mark.parametrize("index", range(7))
def test_sparse_results_hold_the_state_scipy_builds(index):
    matrix = sparse_results()[index]
    assert type(matrix) is scipy.sparse.csr_array
    parts = (matrix.data, matrix.indices, matrix.indptr)
    # Arrays of their own, exactly as long as the entries (no views into larger buffers).
    assert all(a.base is None and a.flags.owndata for a in parts)
    assert len(matrix.data) == len(matrix.indices) == matrix.indptr[-1]
    rebuilt = scipy.sparse.csr_array(parts, shape=matrix.shape)
    assert vars(rebuilt).keys() == vars(matrix).keys()
    assert [a.dtype for a in parts] == [rebuilt.data.dtype, rebuilt.indices.dtype, rebuilt.indptr.dtype]
    kept = [a.copy() for a in parts]
    matrix.check_format(full_check=True)  # raises on a malformed matrix, may recast or trim arrays
    for before, after in zip(kept, (matrix.data, matrix.indices, matrix.indptr)):
        assert before.dtype == after.dtype and np.array_equal(before.view(np.uint8), after.view(np.uint8))
    assert matrix.has_sorted_indices and matrix.has_canonical_format
    x = np.arange(matrix.shape[1], dtype=np.float64)
    same_bits(matrix @ x, rebuilt @ x)


def test_direct_construction_only_where_it_matches_scipy(monkeypatch):
    from pwpoly_numpy import _csr

    assert _csr._choose_csr() is _csr._direct_csr
    original = scipy.sparse.csr_array.__init__

    def init_with_more_state(self, *args, **kwargs):
        original(self, *args, **kwargs)
        self._cached_flag = True

    monkeypatch.setattr(scipy.sparse.csr_array, "__init__", init_with_more_state)
    assert _csr._choose_csr() is _csr._validated_csr


def test_batch_projection_and_interpolation():
    V = pn.LegendreSpace(2, 3, 1.0)
    stacked = V.project(lambda t: np.stack([t, t * t]))
    assert stacked.shape == (2, V.size)
    same_bits(stacked[1], V.project(lambda t: t * t))
    W = pn.LagrangeSpace(2, 3, 1.0)
    assert W.interpolate(lambda t: np.stack([t, 2 * t])).shape == (2, W.size)


def test_contiguous_float64_input_is_read_in_place():
    from pwpoly_numpy import _checks

    times = np.linspace(0.0, 1.0, 5)
    assert _checks.as_float_array("times", times) is times
    readonly = times.copy()
    readonly.flags.writeable = False
    assert _checks.as_float_array("times", readonly) is readonly
    V = pn.LegendreSpace(1, 2, 1.0)
    same_bits(V.evaluate(np.ones(4), readonly), V.evaluate(np.ones(4), times.tolist()))
    # Other dtypes and layouts are converted once, to a C-contiguous float64 array.
    strided = np.arange(10.0)[::2]
    converted = _checks.as_float_array("times", strided)
    assert converted.flags.c_contiguous and converted.dtype == np.float64 and converted is not strided


def test_unaligned_arrays_are_accepted():
    # An unaligned float64 array (a view at an odd byte offset) is copied, never refused.
    V = pn.LegendreSpace(2, 4, 1.0)
    times = np.linspace(0.0, 1.0, 7)
    coefficients = np.arange(12.0)

    def unaligned(array):
        view = np.frombuffer(b"\0" + array.tobytes(), offset=1)
        assert not view.flags.aligned
        return view

    expected = V.evaluate(coefficients, times)
    assert np.array_equal(V.evaluate(unaligned(coefficients), unaligned(times)), expected)
    assert np.array_equal(V.basis_matrix(unaligned(times)).toarray(), V.basis_matrix(times).toarray())
    out = np.frombuffer(bytearray(8 * 8), offset=1, count=7)
    assert not out.flags.aligned and out.flags.writeable
    assert V.evaluate(coefficients, times, out=out) is out
    assert np.array_equal(out, expected)
