"""pwpoly_numpy under hostile arguments: subclasses that lie, hand-made pickles, huge integers,
object arrays, empty arrays at odd addresses, extreme T. Every call gives a valid result or an
ordinary ValueError/TypeError naming the argument, with nothing on standard error."""

import inspect
import math
import pickle
import sys
from fractions import Fraction

import numpy as np
import pytest
import scipy.sparse
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_numpy_agreement import same_bits

import pwpoly_numpy as pn

V = pn.LegendreSpace(1, 6, 1.0)
W = pn.LagrangeSpace(2, 6, 1.0)
FINE = pn.LagrangeSpace(2, 9, 1.0)


# ---------------------------------------------------------------- subclasses


class LyingSlab(pn.TimeSlab):
    """Every public member claims far more intervals and rows than the slab has."""

    space = property(lambda self: FINE)
    k0 = property(lambda self: 0)
    k1 = property(lambda self: 10**8)
    n_intervals = property(lambda self: 10**8)
    size = property(lambda self: 3)
    row_ranges = property(lambda self: (range(10**8),))
    rows = property(lambda self: np.arange(10**3))


def lying_space(cls):
    return type(
        f"Lying{cls.__name__}",
        (cls,),
        {"n_t": property(lambda self: 10**8), "size": property(lambda self: 10**9), "degree": property(lambda self: 7)},
    )


LyingLegendre, LyingLagrange = lying_space(pn.LegendreSpace), lying_space(pn.LagrangeSpace)

# (call with a lying argument, the same call with honest ones)
SUBCLASS_CALLS = {
    "V.mass_matrix(rows=slab)": (
        lambda: V.mass_matrix(rows=LyingSlab(V, 1, 3)),
        lambda: V.mass_matrix(rows=V.slab(1, 3)),
    ),
    "V.mass_matrix(rows=slab of a lying space)": (
        lambda: LyingLegendre(1, 6, 1.0).mass_matrix(rows=LyingLegendre(1, 6, 1.0).slab(1, 3)),
        lambda: V.mass_matrix(rows=V.slab(1, 3)),
    ),
    "W.mass_matrix(rows=slab)": (
        lambda: W.mass_matrix(rows=LyingSlab(W, 1, 3)),
        lambda: W.mass_matrix(rows=W.slab(1, 3)),
    ),
    "W.to_legendre(rows=slab)": (
        lambda: W.to_legendre(rows=LyingSlab(W, 1, 3)),
        lambda: W.to_legendre(rows=W.slab(1, 3)),
    ),
    "W.points_of(slab)": (lambda: W.points_of(LyingSlab(W, 1, 3)), lambda: W.points_of(W.slab(1, 3))),
    "W.prolongation_to(rows=slab)": (
        lambda: W.prolongation_to(FINE, rows=LyingSlab(FINE, 2, 5)),
        lambda: W.prolongation_to(FINE, rows=FINE.slab(2, 5)),
    ),
    "W.prolongation_to(lying fine)": (
        lambda: W.prolongation_to(LyingLagrange(2, 9, 1.0)),
        lambda: W.prolongation_to(FINE),
    ),
    "V.evaluate(slab=)": (
        lambda: V.evaluate(np.arange(6.0), [0.2, 0.6], slab=LyingSlab(V, 1, 4)),
        lambda: V.evaluate(np.arange(6.0), [0.2, 0.6], slab=V.slab(1, 4)),
    ),
    "W.evaluate(slab=)": (
        lambda: W.evaluate(np.arange(7.0), [0.2, 0.6], slab=LyingSlab(W, 1, 4)),
        lambda: W.evaluate(np.arange(7.0), [0.2, 0.6], slab=W.slab(1, 4)),
    ),
    "lying space, slab": (lambda: LyingLegendre(1, 6, 1.0).slab(2, 6).row_ranges, lambda: V.slab(2, 6).row_ranges),
}


def check_result(result):
    if scipy.sparse.issparse(result):
        assert type(result) is scipy.sparse.csr_array
        result.check_format(full_check=True)
        result.toarray()


@pytest.mark.parametrize("lying, honest", SUBCLASS_CALLS.values(), ids=SUBCLASS_CALLS.keys())
def test_lying_subclasses_are_used_by_their_checked_fields(lying, honest, capfd):
    result = lying()
    check_result(result)
    expected = honest()
    if scipy.sparse.issparse(expected):
        result, expected = result.toarray(), expected.toarray()
    if isinstance(expected, np.ndarray):
        same_bits(result, expected)
    else:
        assert result == expected
    assert capfd.readouterr() == ("", "")


class LyingShape(np.ndarray):
    shape = property(lambda self: (3,))

    def __repr__(self):
        return "LyingShape(...)"


class Honest(np.ndarray):
    pass


def test_out_is_checked_on_what_is_written():
    c = np.arange(12.0)
    with pytest.raises(ValueError, match=r"^out: expected shape \(3,\), got shape \(1,\)"):
        V.evaluate(c, [0.1, 0.2, 0.3], out=np.zeros(1).view(LyingShape))
    with pytest.raises(ValueError, match=r"^out: expected shape \(3,\), got shape \(1,\)"):
        W.evaluate(np.ones(W.size), [0.1, 0.2, 0.3], out=np.zeros(1).view(LyingShape))
    out = np.zeros(3).view(Honest)  # a harmless subclass is written and returned
    assert V.evaluate(c, [0.1, 0.2, 0.3], out=out) is out
    same_bits(out, V.evaluate(c, [0.1, 0.2, 0.3]))


@pytest.mark.parametrize(
    "base, name",
    [
        (pn.LegendreSpace, "_size"),
        (pn.LagrangeSpace, "_key"),
        (pn.TimeSlab, "_k0"),
        (pn.LagrangeSpace, "_points"),
        (pn.TimeSlab, "__getattribute__"),
        (pn.LegendreSpace, "__class__"),
    ],
)
def test_subclasses_cannot_redefine_private_members(base, name):
    with pytest.raises(TypeError, match=f"cannot redefine its private member '{name}'"):
        type("Sub", (base,), {name: property(lambda self: 0)})


class Named(pn.LegendreSpace):
    def __init__(self, degree, n_t, T):
        super().__init__(degree, n_t, T)

    def describe(self):
        return f"{self.degree}/{self.n_t}"


def test_ordinary_subclasses_work():
    space = Named(1, 6, 1.0)
    assert space.describe() == "1/6" and pickle.loads(pickle.dumps(space)) == space
    same_bits(space.evaluate(np.arange(12.0), [0.3]), V.evaluate(np.arange(12.0), [0.3]))


# ---------------------------------------------------------------- pickles


def hand_made(cls, *args):
    """A protocol-2 pickle that makes `cls` with ``cls.__new__(cls, *args)`` and nothing else."""
    payload = b"".join(b"K" + bytes([a]) for a in args)  # BININT1: small ints
    return b"\x80\x02c" + f"{cls.__module__}\n{cls.__qualname__}\n".encode() + b"(" + payload + b"t\x81."


@pytest.mark.parametrize("cls", [pn.LegendreSpace, pn.LagrangeSpace, pn.TimeSlab])
def test_hand_made_pickles_fail_clearly_or_make_whole_objects(cls):
    # The spaces need their degree (n_t and T have defaults: breakpoints may replace them).
    with pytest.raises(TypeError, match=r"__new__\(\) missing (1|3) required positional argument"):
        pickle.loads(hand_made(cls))
    if cls is not pn.TimeSlab:
        space = pickle.loads(hand_made(cls, 2, 4, 1))
        assert space == cls(2, 4, 1.0) and space.size == cls(2, 4, 1.0).size


class Reduced:
    def __init__(self, cls, *args):
        self.reduced = (cls, args)

    def __reduce__(self):
        return self.reduced


# ---------------------------------------------------------------- numbers

HUGE = 10**400

NUMBER_MISUSE = [
    # integers and fractions beyond the float range: ValueError
    (lambda: pn.LegendreSpace(1, 1, HUGE), ValueError, "T: expected a finite positive real number, got 1000"),
    (
        lambda: pn.LagrangeSpace(1, 1, Fraction(HUGE, 3)),
        ValueError,
        "T: expected a finite positive real number, got Fraction",
    ),
    (lambda: pickle.loads(pickle.dumps(Reduced(pn.LegendreSpace, 1, 1, HUGE))), ValueError, "T: "),
    (lambda: V.evaluate(np.ones(12), [0.5, HUGE]), ValueError, "times: 1000"),
    (lambda: V.evaluate([HUGE] + [0.0] * 11, 0.5), ValueError, "coefficients: 1000"),
    (lambda: W.evaluate([-HUGE] * 13, 0.5), ValueError, "values: -1000"),
    (lambda: V.locate([Fraction(HUGE, 7)]), ValueError, "times: Fraction"),
    # anything but numbers: TypeError
    (lambda: V.evaluate(np.ones(12), None), TypeError, "times: expected an array-like of real numbers, got None"),
    (lambda: V.evaluate(np.ones(12), [0.5, None]), TypeError, "times: expected an array-like of real numbers"),
    (lambda: V.evaluate([None] * 12, 0.5), TypeError, "coefficients: expected an array-like of real numbers"),
    (lambda: V.evaluate(np.ones(12), np.array(["0.25"], dtype=object)), TypeError, "times: expected"),
    (lambda: V.evaluate(np.ones(12), np.array([b"1"], dtype=object)), TypeError, "times: expected"),
    (lambda: V.evaluate(np.ones(12), b"1"), TypeError, "times: expected"),
    (lambda: V.basis_matrix([0.5, "0.5"]), TypeError, "times: expected"),
    (lambda: W.interpolate(lambda t: np.array([None] * t.size)), TypeError, "f(t): expected"),
    (lambda: V.locate_slab([0.5, 1j], 2), TypeError, "times: expected"),
    # intervals of no length, ends that coincide or overflow, useless Lagrange degrees
    (lambda: pn.LegendreSpace(1, 4, 5e-324), ValueError, "T: the interval length T / n_t = 0.0"),
    (lambda: pn.LagrangeSpace(1, 4, 4 * sys.float_info.min * 0.5), ValueError, "T: the interval length"),
    (lambda: pn.LegendreSpace(0, 2**51 + 1, 1.0), ValueError, "n_t: expected at most 2**51 intervals"),
    (lambda: pn.LegendreSpace(1, 3, sys.float_info.max), ValueError, "T: the last interval end"),
    (lambda: pn.LagrangeSpace(3, 1, 1e308), ValueError, "T: the nodes of degree 3 overflow"),
    (lambda: pn.LagrangeSpace(1600, 1, 1.0), ValueError, "degree: expected at most 128"),
]


@pytest.mark.parametrize("call, kind, message", NUMBER_MISUSE)
def test_numbers_are_checked(call, kind, message, capfd):
    with pytest.raises(kind) as info:
        call()
    assert str(info.value).startswith(message), str(info.value)
    assert capfd.readouterr() == ("", "")


def test_bool_and_object_arrays_of_numbers_are_numbers():
    c = np.arange(12.0)
    same_bits(V.evaluate(c, np.array([True, False])), V.evaluate(c, [1.0, 0.0]))
    same_bits(V.evaluate(c, [Fraction(1, 3), 2**70]), V.evaluate(c, [1 / 3, float(2**70)]))
    assert pn.LagrangeSpace(128, 1, 1.0).size == 129
    assert pn.LegendreSpace(0, 2**51, 1.0).n_t == 2**51


def odd_empty(shape=(0,)):
    """An empty float64 array at an odd address (numpy calls it aligned)."""
    return np.frombuffer(bytearray(1), np.float64, 0, 1).reshape(shape)


EMPTY_CALLS = {
    "times": (lambda: V.evaluate(np.ones(12), odd_empty()), (0,)),
    "empty batch": (lambda: V.evaluate(odd_empty((0, 12)), [0.5]), (0, 1)),
    "out": (lambda: V.evaluate(np.ones(12), [], out=odd_empty()), (0,)),
    "W.evaluate out": (lambda: W.evaluate(np.ones(13), odd_empty(), out=odd_empty()), (0,)),
    "slab": (lambda: V.evaluate(np.ones(4), odd_empty(), slab=V.slab(1, 3)), (0,)),
    "locate": (lambda: V.locate(odd_empty())[1], (0,)),
    "locate_slab": (lambda: V.locate_slab(odd_empty(), 2), (0,)),
    "basis_matrix": (lambda: V.basis_matrix(odd_empty()), (0, 12)),
}


@pytest.mark.parametrize("call, shape", EMPTY_CALLS.values(), ids=EMPTY_CALLS.keys())
def test_empty_arrays_at_odd_addresses_give_empty_results(call, shape):
    assert odd_empty().ctypes.data % 8 != 0
    assert call().shape == shape


# ---------------------------------------------------------------- T near the largest double


@pytest.mark.parametrize("T", [1.2e308, 1.5e308, sys.float_info.max])
@pytest.mark.parametrize("face", ["evaluate", "basis_matrix", "project"])
def test_huge_T_locates_like_a_small_one(T, face):
    n_t = 4 if T < sys.float_info.max else 1
    scale = T / 1.5
    # Away from interior interval ends; batches long enough for the vector path.
    s = np.array([0.0, 0.1, 0.2, 0.3, 0.4, 0.6, 0.7, 0.8, 0.9, 0.99, 1.0] * 4)
    c = np.arange(1.0, 2.0 * n_t + 1)
    small, big = pn.LegendreSpace(1, n_t, 1.5), pn.LegendreSpace(1, n_t, T)
    if face == "evaluate":
        got = big.evaluate(c, [*(s * T), math.inf])
    elif face == "basis_matrix":
        got = big.basis_matrix([*(s * T), math.inf]) @ c
    else:
        got = big.project(lambda t: t / scale)
        np.testing.assert_allclose(got, small.project(lambda t: t), rtol=1e-13, atol=1e-13)
        return
    np.testing.assert_allclose(got, small.evaluate(c, [*(s * 1.5), 1.5]), rtol=1e-13, atol=1e-13)


# ---------------------------------------------------------------- read-only arrays


@pytest.mark.parametrize(
    "array",
    [W.points, V.breakpoints, V.slab(1, 3).rows, W.slab(1, 3).rows],
    ids=["points", "breakpoints", "rows", "lagrange rows"],
)
def test_read_only_arrays_stay_read_only(array):
    for holder in (array, array.base):
        if isinstance(holder, np.ndarray):
            with pytest.raises(ValueError, match="cannot set WRITEABLE flag"):
                holder.flags.writeable = True


def test_interpolate_cannot_change_the_space():
    before = W.points.copy()
    seen = []

    def tamper(t):
        seen.append(t)
        with pytest.raises(ValueError):
            t.flags.writeable = True
        return t

    W.interpolate(tamper)
    assert seen[0] is not W.points
    same_bits(W.points, before)


# ---------------------------------------------------------------- fuzzing every argument


def hostile_values():
    return st.sampled_from(
        [
            None,
            "0.5",
            b"1",
            HUGE,
            -HUGE,
            Fraction(HUGE, 3),
            [0.5, None],
            [HUGE, 0.5],
            np.array(["1"], dtype=object),
            odd_empty(),
            odd_empty((0, 12)),
            np.zeros(1).view(LyingShape),
            True,
            1j,
            [[0.5], [0.1, 0.2]],
            object(),
            range(100),
            range(2, 1, -1),
            LyingSlab(V, 1, 3),
            LyingSlab(W, 0, 2),
            LyingSlab(FINE, 1, 3),
            LyingLegendre(1, 6, 1.0),
            LyingLagrange(2, 9, 1.0),
            LyingLagrange(2, 6, 1.0).slab(0, 3),
            2**70,
            -1,
            0.5,
            math.inf,
            math.nan,
            np.ones(12),
            np.ones(13),
        ]
    )


CALLS = {
    "LegendreSpace": (pn.LegendreSpace, 3),
    "LagrangeSpace": (pn.LagrangeSpace, 3),
    "TimeSlab": (pn.TimeSlab, 3),
    "V.evaluate": (V.evaluate, 5),
    "W.evaluate": (W.evaluate, 5),
    "V.basis_matrix": (V.basis_matrix, 2),
    "V.locate": (V.locate, 1),
    "V.locate_slab": (V.locate_slab, 2),
    "V.mass_matrix": (V.mass_matrix, 1),
    "W.mass_matrix": (W.mass_matrix, 1),
    "W.to_legendre": (W.to_legendre, 1),
    "W.points_of": (W.points_of, 1),
    "W.prolongation_to": (W.prolongation_to, 2),
    "V.slabs": (V.slabs, 1),
    "W.slab": (W.slab, 2),
}
GOOD = {
    "LegendreSpace": [1, 6, 1.0],
    "LagrangeSpace": [2, 9, 1.0],
    "TimeSlab": [V, 1, 3],
    "V.evaluate": [np.ones(12), [0.5], 0, None, None],
    "W.evaluate": [np.ones(13), [0.5], 0, None, None],
    "V.basis_matrix": [[0.5], 0],
    "V.locate": [[0.5]],
    "V.locate_slab": [[0.5], 2],
    "V.mass_matrix": [None],
    "W.mass_matrix": [None],
    "W.to_legendre": [None],
    "W.points_of": [range(3)],
    "W.prolongation_to": [FINE, None],
    "V.slabs": [2],
    "W.slab": [1, 3],
}


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(name=st.sampled_from(sorted(CALLS)), data=st.data())
def test_every_argument_gives_a_result_or_an_ordinary_error(name, data, capfd):
    function, arity = CALLS[name]
    args = list(GOOD[name])
    for position in data.draw(st.sets(st.integers(0, arity - 1), min_size=1, max_size=2)):
        args[position] = data.draw(hostile_values())
    try:
        result = function(*args)
    except (TypeError, ValueError) as error:
        named = str(error).partition(":")[0]
        assert named in inspect.signature(function).parameters, str(error)
    else:
        for part in result if isinstance(result, tuple) else (result,):
            check_result(part)
    assert capfd.readouterr() == ("", "")
