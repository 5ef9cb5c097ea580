"""Float sequences given as arrays: the buffer of an exact 1-D float64 numpy.ndarray or
array.array('d') is read in place, every other object is iterated. Both give the values the
iteration gives, so results agree bit for bit with the same numbers passed as a list."""

import array

import numpy as np
import pytest

import pwpoly
from conftest import bits

DEGREE, N_T = 3, 5
SIZE = (DEGREE + 1) * N_T
TIMES = [-0.5, 0.0, 0.13, 0.2, 0.61, 0.99999, 1.0, 2.0, float("nan")]


def values(n=SIZE, seed=3):
    return np.random.default_rng(seed).standard_normal(n)


class IterOverride(np.ndarray):
    """A subclass may change iteration, so it is iterated, never read as a buffer."""

    def __iter__(self):
        return iter([2.0 * float(x) for x in np.asarray(self)])


def as_containers(v):
    """Every container of the numbers of `v`, with the list the iteration of it yields."""
    doubled = [2.0 * x for x in v.tolist()]
    padded = np.zeros(2 * len(v))
    padded[::2] = v
    return [
        ("ndarray", v, v.tolist()),
        ("strided ndarray", padded[::2], v.tolist()),
        ("reversed ndarray", v[::-1].copy()[::-1], v.tolist()),
        ("read-only ndarray", np.frombuffer(v.tobytes()), v.tolist()),
        ("unaligned ndarray", np.frombuffer(b"\0" + v.tobytes(), offset=1), v.tolist()),
        ("big-endian ndarray", v.astype(">f8"), v.tolist()),
        ("float32 ndarray", v.astype(np.float32), [float(x) for x in v.astype(np.float32)]),
        ("array('d')", array.array("d", v.tolist()), v.tolist()),
        ("array('f')", array.array("f", v.tolist()), list(array.array("f", v.tolist()))),
        ("memoryview", memoryview(array.array("d", v.tolist())), v.tolist()),
        ("subclass with its own iteration", v.view(IterOverride), doubled),
    ]


@pytest.mark.parametrize(
    "name, container, iterated", as_containers(values()), ids=lambda x: x if isinstance(x, str) else ""
)
def test_containers_give_the_values_their_iteration_gives(name, container, iterated):
    basis = pwpoly.LegendreBasis(DEGREE, N_T, 1.0)
    evaluator = pwpoly.LegendreBasisEvaluator(DEGREE, N_T, 1.0)
    reference = pwpoly.LegendreBasisEvaluator(DEGREE, N_T, 1.0)
    evaluator.set_dofs(container)
    reference.set_dofs(iterated)
    for t in TIMES:
        expected = bits(basis.evaluate_at(t, iterated))
        assert bits(basis.evaluate_at(t, container)) == expected
        assert bits(evaluator.evaluate_at(t)) == expected == bits(reference.evaluate_at(t))
        assert bits(evaluator.evaluate_derivative_at(t)) == bits(reference.evaluate_derivative_at(t))


def test_stored_coefficients_are_a_copy_of_the_array():
    v = values()
    evaluator = pwpoly.LegendreBasisEvaluator(DEGREE, N_T, 1.0)
    evaluator.set_dofs(v)
    before = evaluator.evaluate_at(0.3)
    v[:] = 0.0
    assert bits(evaluator.evaluate_at(0.3)) == bits(before)


@pytest.mark.parametrize("make", [np.asarray, lambda v: array.array("d", v)], ids=["ndarray", "array"])
def test_array_length_errors_match_the_list_ones(make):
    from conftest import raises_fault

    short = make([1.0] * (SIZE - 1))
    with raises_fault("Matrix view: input data buffer too small."):
        pwpoly.LegendreBasis(DEGREE, N_T, 1.0).evaluate_at(0.5, short)
    with raises_fault(
        "assertion `left == right` failed: LegendreBasisEvaluator: set_dofs: input vector has wrong length\n"
        f"  left: {SIZE - 1}\n right: {SIZE}"
    ):
        pwpoly.LegendreBasisEvaluator(DEGREE, N_T, 1.0).set_dofs(short)


def test_longer_arrays_use_their_leading_values():
    v = values(SIZE + 7)
    basis = pwpoly.LegendreBasis(DEGREE, N_T, 1.0)
    assert bits(basis.evaluate_at(0.7, v)) == bits(basis.evaluate_at(0.7, v[:SIZE].tolist()))


@pytest.mark.parametrize(
    "container, message",
    [
        (np.array([[1.0, 2.0]]), None),  # 2-D: iterated; its rows are not floats
        (np.array(["x"] * SIZE), None),
        (np.float64(1.0), "argument 'legendre_vals': 'float64' object cannot be cast as 'Sequence'"),
    ],
)
def test_arrays_that_are_not_float_vectors_fail_as_iteration_does(container, message):
    with pytest.raises(TypeError) as info:
        pwpoly.LegendreBasisEvaluator(DEGREE, N_T, 1.0).set_dofs(container)
    assert str(info.value).startswith("argument 'legendre_vals': ")
    if message is not None:
        assert str(info.value) == message


def test_all_basis_lists_are_independent_floats():
    basis = pwpoly.LegendreBasis(2, 4, 1.0)
    for method in (basis.evaluate_all_basis_functions, basis.evaluate_all_basis_function_derivatives):
        values = method(0.3)
        assert len(values) == 12 and all(type(x) is float for x in values)
        assert [bits(x) for x in values[:1] + values[2:5]] == [bits(0.0)] * 4
        values[0] = 5.0  # a result list is the caller's own
        assert method(0.3)[0] == 0.0
