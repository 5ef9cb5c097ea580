"""LegendreBasis and LegendreBasisEvaluator: values, stored coefficients, calling conventions,
instance access and size limits."""

import gc
import math
import sys
import weakref

import pytest
import reference_legendre as ref
from hypothesis import given, settings
from hypothesis import strategies as st

import pwpoly
from conftest import PTRDIFF_MAX, SIZE_MAX, bits, raises_fault

Basis = pwpoly.LegendreBasis
Evaluator = pwpoly.LegendreBasisEvaluator

NAN = math.nan
INF = math.inf
COUNTING = [float(i) for i in range(1, 13)]  # 1.0 ... 12.0 for degree 2, n_t 4
WRONG_LENGTH = "assertion `left == right` failed: LegendreBasisEvaluator: set_dofs: input vector has wrong length"


def same(x, y):
    """Bit-for-bit equality, except that any NaN matches any NaN (payloads are not reproducible)."""
    return (math.isnan(x) and math.isnan(y)) or bits(x) == bits(y)


def same_list(xs, ys):
    return len(xs) == len(ys) and all(same(x, y) for x, y in zip(xs, ys))


def evaluator(degree, n_t, T, dofs):
    ev = Evaluator(degree, n_t, T)
    ev.set_dofs(dofs)
    return ev


class IndexHook:
    """An integer whose conversion first runs `action` and records its result or exception."""

    def __init__(self, value, action=None):
        self.value, self.action, self.log = value, action, []

    def _run(self):
        if self.action is not None:
            try:
                self.log.append(self.action())
            except BaseException as error:  # noqa: BLE001 - whatever the callback raises is logged for the test to check
                self.log.append((type(error), error.args))

    def __index__(self):
        self._run()
        return int(self.value)


class Hook(IndexHook):
    """The same for a float."""

    def __float__(self):
        self._run()
        return float(self.value)


class Calls:
    """A float whose conversion returns whatever `action` returns, or lets its exception out."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        return self.action()


# ---------------------------------------------------------------- degree 2 on four intervals at t = 0.3


def spread(entries):
    """A twelve-entry list (degree 2, four intervals), zero outside `entries`."""
    return [entries.get(position, 0.0) for position in range(12)]


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: Basis(2, 4, 1.0).evaluate_at(0.3, COUNTING), -1.199999999999999),
        (lambda: evaluator(2, 4, 1.0, COUNTING).evaluate_at(0.3), -1.199999999999999),
        (lambda: evaluator(2, 4, 1.0, COUNTING).evaluate_derivative_at(0.3), -96.00000000000003),
        (
            lambda: Basis(2, 4, 1.0).evaluate_all_basis_functions(0.3),
            spread({1: 1.0, 5: -0.6000000000000001, 9: 0.04000000000000015}),
        ),
        (
            lambda: Basis(2, 4, 1.0).evaluate_all_basis_function_derivatives(0.3),
            spread({5: 8.0, 9: -14.400000000000002}),
        ),
    ],
)
def test_degree_two_four_intervals_at_0_3(call, expected):
    result = call()
    if isinstance(expected, list):
        assert [bits(x) for x in result] == [bits(x) for x in expected]
    else:
        assert bits(result) == bits(expected)


# ---------------------------------------------------------------- interval lookup and end points


@pytest.mark.parametrize(
    "n_t, T, t, k, xi",
    [
        (4, 2.0, -1.0, 0, -1.0),  # before the start
        (4, 2.0, -INF, 0, -1.0),
        (4, 2.0, 0.0, 0, -1.0),
        (4, 2.0, 0.5, 1, -1.0),  # an interior node belongs to the interval on its right
        (4, 2.0, 2.0, 3, 1.0),  # t = T
        (4, 2.0, 5.0, 3, 1.0),  # after the end
        (4, 2.0, INF, 3, 1.0),
        (3, 1.0, 1.0, 2, 1.0),
        (4, 2.0, NAN, 0, NAN),
        (4, 0.0, 0.3, 3, 1.0),  # T = 0: every positive time lands in the last interval
        (4, 0.0, -0.3, 0, -1.0),
        (4, 0.0, 0.0, 0, NAN),
        (4, -2.0, -2.0, 3, 1.0),  # negative T mirrors the partition
        (4, -2.0, -0.5, 1, -1.0),
        (4, -2.0, 0.3, 0, -1.0),
    ],
)
def test_all_basis_at_interval_ends(n_t, T, t, k, xi):
    # At xi = +-1: P_i = xi^i and dP_i/dxi = xi^(i+1) i(i+1)/2; at NaN only P_0 and its
    # derivative 0 and the derivative 1 of P_1 stay numbers.
    degree = 5
    if math.isnan(xi):
        p = [1.0] + [NAN] * degree
        d = [0.0, 1.0] + [NAN] * (degree - 1)
    else:
        p = [xi**i for i in range(degree + 1)]
        d = [0.0] + [xi ** (i + 1) * (i * (i + 1) // 2) for i in range(1, degree + 1)]
    dt = ref.divide(T, float(n_t))
    values = [0.0] * (n_t * (degree + 1))
    derivatives = list(values)
    for i in range(degree + 1):
        values[i * n_t + k] = p[i]
        derivatives[i * n_t + k] = ref.divide(d[i] + d[i], dt)
    basis = Basis(degree, n_t, T)
    assert same_list(basis.evaluate_all_basis_functions(t), values)
    assert same_list(basis.evaluate_all_basis_function_derivatives(t), derivatives)


# u(t) = t^2 on [0, 1] is 1/3 P_0 + 1/2 P_1 + 1/6 P_2 of xi = 2t - 1.
@pytest.mark.parametrize(
    "t, value, slope",
    [(-5.0, 0.0, 0.0), (0.0, 0.0, 0.0), (0.3, 0.09, 0.6), (0.75, 0.5625, 1.5), (1.0, 1.0, 2.0), (7.0, 1.0, 2.0)],
)
def test_square_reproduced_up_to_the_ends(t, value, slope):
    ev = evaluator(2, 1, 1.0, [1 / 3, 1 / 2, 1 / 6])
    assert ev.evaluate_at(t) == pytest.approx(value, abs=1e-15)
    assert ev.evaluate_derivative_at(t) == pytest.approx(slope, abs=1e-14)
    clamped = min(max(t, 0.0), 1.0)
    assert bits(ev.evaluate_derivative_at(t)) == bits(ev.evaluate_derivative_at(clamped))


@pytest.mark.parametrize("degree", range(4))
def test_nan_time(degree):
    dofs = [float(i + 1) for i in range(3 * (degree + 1))]
    ev = evaluator(degree, 3, 1.5, dofs)
    # interval 0: P_0 = 1 and dP_1/dxi = 1 are all that survive a NaN xi
    assert (ev.evaluate_at(NAN) == 1.0) if degree == 0 else math.isnan(ev.evaluate_at(NAN))
    if degree < 2:
        assert ev.evaluate_derivative_at(NAN) == (0.0 if degree == 0 else 2.0 * dofs[3] / 0.5)
    else:
        assert math.isnan(ev.evaluate_derivative_at(NAN))


@pytest.mark.parametrize("T", [1.2e308, 1.5e308])
def test_huge_T_locates_like_a_small_one(T):
    """Where the midpoint (a + b)/2 of an upper interval would overflow, it is formed as a/2 + b/2
    (the user guide's edge cases), and t = inf gives the end."""
    dofs = [1.0, 2.0, 3.0, 4.0, 0.5, 1.0, 1.5, 2.0]
    big, small = evaluator(1, 4, T, dofs), evaluator(1, 4, 1.5, dofs)
    for s in (0.1, 0.4, 0.6, 0.7, 0.9, 0.99, 1.0):
        assert big.evaluate_at(s * T) == pytest.approx(small.evaluate_at(s * 1.5), rel=1e-13, abs=1e-13)
    assert big.evaluate_at(INF) == small.evaluate_at(1.5) == 6.0


@pytest.mark.parametrize("t, k", [(-3.0, 0), (0.0, 0), (0.2, 1), (0.45, 2), (1.0, 4), (INF, 4)])
def test_degree_zero(t, k):
    basis = Basis(0, 5, 1.0)
    assert [bits(x) for x in basis.evaluate_all_basis_functions(t)] == [bits(float(i == k)) for i in range(5)]
    assert [bits(x) for x in basis.evaluate_all_basis_function_derivatives(t)] == [bits(0.0)] * 5
    assert evaluator(0, 5, 1.0, [10.0, 11.0, 12.0, 13.0, 14.0]).evaluate_at(t) == 10.0 + k


@pytest.mark.parametrize("degree, n_t, T", [(0, 1, 1.0), (2, 4, 1.0), (7, 3, 1e-300), (12, 50, 3e5)])
@pytest.mark.parametrize("fraction", [-1.0, 0.0, 0.37, 0.5, 1.0, 2.0])
def test_fresh_evaluator_is_zero(degree, n_t, T, fraction):
    ev = Evaluator(degree, n_t, T)
    assert bits(ev.evaluate_at(fraction * T)) == bits(0.0)
    assert bits(ev.evaluate_derivative_at(fraction * T)) == bits(0.0)


# ---------------------------------------------------------------- coefficients


def wrong_length(length):
    return lambda: raises_fault(f"{WRONG_LENGTH}\n  left: {length}\n right: 4")


def raising(error, match):
    return lambda: pytest.raises(error, match=match)


ZERO_DIVISION = raising(ZeroDivisionError, "^division by zero$")


@pytest.mark.parametrize(
    "failing, expectation",
    [
        (lambda ev: ev.set_dofs([9.0] * 3), wrong_length(3)),
        (lambda ev: ev.set_dofs([]), wrong_length(0)),
        (lambda ev: ev.set_dofs(range(5)), wrong_length(5)),
        (lambda ev: ev.set_dofs([5.0, "x", 7.0, 8.0]), raising(TypeError, "^argument 'legendre_vals': ")),
        (lambda ev: ev.set_dofs([5.0, 6.0, Calls(lambda: 1 / 0), 8.0]), ZERO_DIVISION),
        # every item is converted before the length is compared
        (lambda ev: ev.set_dofs([5.0, 6.0, 7.0, 8.0, Calls(lambda: 1 / 0)]), ZERO_DIVISION),
        (
            lambda ev: ev.set_dofs("5678"),
            raising(TypeError, "^argument 'legendre_vals': Can't extract `str` to `Vec`$"),
        ),
        (
            lambda ev: ev.set_dofs(5.0),
            raising(TypeError, "^argument 'legendre_vals': 'float' object cannot be cast as 'Sequence'$"),
        ),
        (
            lambda ev: ev.set_dofs([5.0, Calls(lambda: ev.set_dofs([0.0] * 4)), 7.0, 8.0]),
            raising(RuntimeError, "^Already borrowed$"),
        ),
        (
            lambda ev: ev.set_dofs([5.0, Calls(lambda: ev.evaluate_at(0.0)), 7.0, 8.0]),
            raising(RuntimeError, "^Already mutably borrowed$"),
        ),
        (lambda ev: ev.evaluate_at(Calls(lambda: 1 / 0)), ZERO_DIVISION),
        (lambda ev: ev.evaluate_derivative_at(Calls(lambda: 1 / 0)), ZERO_DIVISION),
        (lambda ev: ev.evaluate_at(Calls(lambda: ev.set_dofs([0.0] * 4))), raising(RuntimeError, "^Already borrowed$")),
    ],
)
def test_failed_call_keeps_dofs_and_releases_access(failing, expectation):
    ev = evaluator(1, 2, 1.0, [1.0, 2.0, 3.0, 4.0])
    with expectation():
        failing(ev)
    assert ev.evaluate_at(0.75) == 2.0 and ev.evaluate_at(1.0) == 6.0
    ev.set_dofs([0.0, 1.0, 0.0, 1.0])  # exclusive access is available again
    assert ev.evaluate_at(1.0) == 2.0


def test_set_dofs_keeps_its_own_copy():
    dofs = [1.0, 2.0, 3.0, 4.0]
    ev = evaluator(1, 2, 1.0, dofs)
    dofs[:] = [0.0] * 4
    assert ev.evaluate_at(1.0) == 6.0
    ev.set_dofs(range(4))
    assert ev.evaluate_at(1.0) == 4.0


def test_evaluate_at_uses_leading_values_only():
    basis = Basis(1, 2, 1.0)
    with raises_fault(ref.BUFFER_TOO_SMALL):
        basis.evaluate_at(0.75, [1.0, 2.0, 3.0])
    leading = basis.evaluate_at(0.9, [1.0, 2.0, 3.0, 4.0])
    assert bits(basis.evaluate_at(0.9, [1.0, 2.0, 3.0, 4.0, 1e300])) == bits(leading)
    # every item is converted, even one that is never used
    with pytest.raises(TypeError, match=r"^argument 'legendre_vals': "):
        basis.evaluate_at(0.9, [1.0, 2.0, 3.0, 4.0, None])


# ---------------------------------------------------------------- calling conventions and type properties


def keyword_evaluator():
    ev = Evaluator(n_t=4, T=1.0, degree=2)
    assert ev.set_dofs(legendre_vals=COUNTING) is None
    return ev


@pytest.mark.parametrize(
    "positional, keywords",
    [
        (
            lambda: Basis(2, 4, 1.0).evaluate_at(0.3, COUNTING),
            lambda: Basis(T=1.0, degree=2, n_t=4).evaluate_at(legendre_vals=COUNTING, t=0.3),
        ),
        (
            lambda: Basis(2, 4, 1.0).evaluate_all_basis_functions(0.3),
            lambda: Basis(2, n_t=4, T=1.0).evaluate_all_basis_functions(t=0.3),
        ),
        (
            lambda: Basis(2, 4, 1.0).evaluate_all_basis_function_derivatives(0.3),
            lambda: Basis(2, 4, T=1.0).evaluate_all_basis_function_derivatives(t=0.3),
        ),
        (lambda: evaluator(2, 4, 1.0, COUNTING).evaluate_at(0.3), lambda: keyword_evaluator().evaluate_at(t=0.3)),
        (
            lambda: evaluator(2, 4, 1.0, COUNTING).evaluate_derivative_at(0.3),
            lambda: keyword_evaluator().evaluate_derivative_at(t=0.3),
        ),
    ],
)
def test_keyword_calls(positional, keywords):
    # repr tells apart every float these can return (no NaN among them)
    assert repr(keywords()) == repr(positional())


@pytest.mark.parametrize("instance", [Basis(1, 2, 1.0), Evaluator(1, 2, 1.0)], ids=["basis", "evaluator"])
def test_type_properties(instance):
    with pytest.raises(TypeError):
        type("Derived", (type(instance),), {})
    with pytest.raises(AttributeError):
        instance.note = 1
    assert not hasattr(instance, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(instance)
    assert not gc.is_tracked(instance)


@pytest.mark.parametrize(
    "method, receiver, arguments",
    [
        (Basis.evaluate_at, 5, lambda x: (x, [1.0])),
        (Basis.evaluate_at, Evaluator(0, 1, 1.0), lambda x: (0.5, [x])),
        (Basis.evaluate_all_basis_functions, Evaluator(1, 1, 1.0), lambda x: (x,)),
        (Basis.evaluate_all_basis_function_derivatives, None, lambda x: (x,)),
        (Evaluator.set_dofs, Basis(0, 1, 1.0), lambda x: ([x],)),
        (Evaluator.evaluate_at, "text", lambda x: (x,)),
        (Evaluator.evaluate_derivative_at, Basis(1, 1, 1.0), lambda x: (x,)),
    ],
)
def test_wrong_receiver_converts_nothing(method, receiver, arguments):
    probe = Hook(0.5, action=lambda: "converted")
    with pytest.raises(TypeError):
        method(receiver, *arguments(probe))
    assert probe.log == []


# ---------------------------------------------------------------- access from re-entrant conversions


@pytest.mark.parametrize(
    "outer, inner, message",
    [
        (lambda ev, x: ev.evaluate_at(x), lambda ev: ev.set_dofs([7.0] * 4), "Already borrowed"),
        (lambda ev, x: ev.evaluate_derivative_at(x), lambda ev: ev.set_dofs([7.0] * 4), "Already borrowed"),
        (lambda ev, x: ev.set_dofs([x, 2, 3, 4]), lambda ev: ev.set_dofs([7.0] * 4), "Already borrowed"),
        (lambda ev, x: ev.set_dofs([1, 2, 3, x]), lambda ev: ev.evaluate_at(0.0), "Already mutably borrowed"),
        (
            lambda ev, x: ev.set_dofs([1, x, 3, 4]),
            lambda ev: ev.evaluate_derivative_at(0.0),
            "Already mutably borrowed",
        ),
    ],
)
@pytest.mark.parametrize("hook_type", [Hook, IndexHook])
def test_conflicting_reentry(outer, inner, message, hook_type):
    ev = evaluator(1, 2, 1.0, [1.0, 2.0, 3.0, 4.0])
    hook = hook_type(1, lambda: inner(ev))
    outer(ev, hook)
    assert hook.log == [(RuntimeError, (message,))]
    ev.set_dofs([0.0, 1.0, 0.0, 1.0])  # the access is free again
    assert ev.evaluate_at(1.0) == 2.0


class ReadingSequence:
    """A sequence whose item access evaluates the evaluator being filled."""

    def __init__(self, ev):
        self.ev, self.log = ev, []

    def __len__(self):
        return 4

    def __getitem__(self, i):
        if i >= 4:
            raise IndexError(i)
        try:
            self.ev.evaluate_at(0.0)
        except RuntimeError as error:
            self.log.append(error.args)
        return float(i)


def test_sequence_item_access_during_set_dofs():
    ev = Evaluator(1, 2, 1.0)
    items = ReadingSequence(ev)
    ev.set_dofs(items)
    assert items.log == [("Already mutably borrowed",)] * 4
    assert ev.evaluate_at(1.0) == 4.0


def test_shared_accesses_nest():
    ev = evaluator(2, 4, 1.0, COUNTING)
    innermost = Hook(0.3, lambda: ev.evaluate_derivative_at(0.3))
    inner = Hook(0.3, lambda: ev.evaluate_at(innermost))
    assert bits(ev.evaluate_at(inner)) == bits(-1.199999999999999)
    assert [bits(x) for x in inner.log + innermost.log] == [bits(-1.199999999999999), bits(-96.00000000000003)]
    ev.set_dofs([0.0] * 12)
    assert ev.evaluate_at(0.3) == 0.0


def test_basis_reentry_never_conflicts():
    basis = Basis(2, 4, 1.0)
    t = Hook(0.3, lambda: basis.evaluate_all_basis_function_derivatives(0.3))
    item = Hook(1.0, lambda: basis.evaluate_at(0.3, COUNTING))
    assert basis.evaluate_at(t, [item] + COUNTING[1:]) == -1.199999999999999
    assert t.log[0][5] == 8.0 and item.log == [-1.199999999999999]


# ---------------------------------------------------------------- no interval, sizes beyond the platform


@pytest.mark.parametrize(
    "call",
    [
        lambda: Evaluator(2, 0, 1.0).evaluate_at(0.5),
        lambda: Evaluator(0, 0, 1.0).evaluate_derivative_at(0.0),
        lambda: Basis(3, 0, 1.0).evaluate_at(0.5, []),
        lambda: Basis(3, 0, 1.0).evaluate_all_basis_functions(NAN),
        lambda: Basis(1, 0, 1.0).evaluate_all_basis_function_derivatives(0.5),
    ],
)
def test_no_interval(call):
    with raises_fault(ref.NO_INTERVAL):
        call()


def test_no_interval_evaluator_takes_empty_dofs():
    ev = Evaluator(3, 0, 1.0)
    assert ev.set_dofs([]) is None
    with raises_fault(f"{WRONG_LENGTH}\n  left: 1\n right: 0"):
        ev.set_dofs([1.0])


OVERSIZED = [
    (SIZE_MAX, 1),  # degree + 1 wraps
    (SIZE_MAX, 0),
    (1, SIZE_MAX // 2 + 1),  # n_t (degree + 1) wraps
    (PTRDIFF_MAX // 8, 1),  # too many doubles per interval
    (1, PTRDIFF_MAX // 8),  # too many doubles in all
]


@pytest.mark.parametrize("degree, n_t", OVERSIZED)
def test_oversized_evaluator_is_not_created(degree, n_t):
    before = sys.getrefcount(Evaluator)  # every instance holds its class
    with raises_fault(ref.CAPACITY_OVERFLOW):
        Evaluator(degree, n_t, 1.0)
    assert sys.getrefcount(Evaluator) == before


@pytest.mark.parametrize("degree, n_t", [case for case in OVERSIZED if case[1] > 0])
@pytest.mark.parametrize("method", ["evaluate_all_basis_functions", "evaluate_all_basis_function_derivatives"])
def test_oversized_basis_lists(degree, n_t, method):
    basis = Basis(degree, n_t, 1.0)
    with raises_fault(ref.CAPACITY_OVERFLOW):
        getattr(basis, method)(0.5)


@pytest.mark.parametrize("degree, n_t", [(SIZE_MAX, 1), (1, SIZE_MAX // 2 + 1), (SIZE_MAX // 3, 4)])
def test_oversized_coefficient_matrix(degree, n_t):
    with raises_fault(ref.CAPACITY_OVERFLOW):
        Basis(degree, n_t, 1.0).evaluate_at(0.5, [1.0])


# ---------------------------------------------------------------- agreement with the model

# any float, or (when scaled by T below) a time near or on the partition, its ends included
times = st.one_of(st.floats(), st.floats(-0.2, 1.2), st.sampled_from([0.0, 0.5, 1.0]))


@st.composite
def cases(draw):
    degree, n_t = draw(st.integers(0, 12)), draw(st.integers(1, 50))
    T = draw(st.one_of(st.floats(allow_nan=False, allow_infinity=False), st.sampled_from([1.0, -2.5, 5e-324])))
    t = draw(times)
    if draw(st.booleans()):
        t *= T
    dofs = draw(st.lists(st.floats(), min_size=n_t * (degree + 1), max_size=n_t * (degree + 1)))
    return degree, n_t, T, t, dofs


@settings(max_examples=150, deadline=None)
@given(cases(), st.lists(st.floats(), max_size=3))
def test_expansions_match_model(case, extra):
    degree, n_t, T, t, dofs = case
    model = ref.LegendreBasis(T, degree, n_t)
    value = Basis(degree, n_t, T).evaluate_at(t, dofs + extra)
    ev = evaluator(degree, n_t, T, dofs)
    assert same(value, model.evaluate(t, dofs))
    assert bits(ev.evaluate_at(t)) == bits(value)
    assert same(ev.evaluate_derivative_at(t), model.evaluate_derivative(t, dofs))


@settings(max_examples=150, deadline=None)
@given(cases())
def test_all_basis_lists_match_model(case):
    degree, n_t, T, t, _ = case
    model = ref.LegendreBasis(T, degree, n_t)
    basis = Basis(degree, n_t, T)
    assert same_list(basis.evaluate_all_basis_functions(t), model.evaluate_all_basis_functions(t))
    derivatives = model.evaluate_all_basis_function_derivatives(t)
    assert same_list(basis.evaluate_all_basis_function_derivatives(t), derivatives)
