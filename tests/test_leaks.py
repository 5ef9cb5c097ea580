"""Nothing is left behind per call: no Python object, no reference, no native memory, whether
the call succeeds or fails on any of its paths."""

import ctypes
import gc
import sys

import numpy as np
import pytest

import pwpoly
from conftest import fault_exception_type

pytestmark = pytest.mark.needs_system_allocator

CALLS = 1000  # per round; a leak of one block, one reference or 16 bytes per call stands out
ROUNDS = 3  # growth is the least over the rounds, so one-time caches and free lists don't count


class Mallinfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def native_bytes_in_use():
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        pytest.skip("the C library has no mallinfo2")
    mallinfo2.restype = Mallinfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Number:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Raising:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error()

    def __index__(self):
        raise self.error()


class Calls:
    """A number whose conversion runs `action` first (which may fail; its error is dropped)."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __float__(self):
        try:
            self.action()
        except RuntimeError:
            pass
        return self.value


class Sequence:
    """A sequence by __getitem__ alone, with a length that raises."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise ValueError("no length")

    def __getitem__(self, i):
        return self.items[i]


class BrokenIterable(Sequence):
    def __iter__(self):
        raise ValueError("no iterator")


class HugeLength(Sequence):
    def __len__(self):
        return sys.maxsize


def caused_type_error():
    try:
        raise KeyError("k")
    except KeyError as key:
        raise TypeError("bad \udc80") from key


class CausedTypeError:
    def __float__(self):
        caused_type_error()


B = pwpoly.LegendreBasis(2, 3, 1.0)
EV = pwpoly.LegendreBasisEvaluator(2, 3, 1.0)
PANIC = fault_exception_type()
T = float("0.25")  # a float object of its own, so its reference count can be watched
COEFFICIENTS = [float(i) + 0.5 for i in range(9)]
COEFFICIENT_ARRAY = np.arange(9, dtype=np.float64)

SUCCESSES = {
    "sum_as_string": lambda: pwpoly.sum_as_string(Index(3), 2**63),
    "get_lagrange_points": lambda: pwpoly.get_lagrange_points(2, 3, T),
    "lagrange_prolongation_matrix": lambda: pwpoly.lagrange_prolongation_matrix(2, 3, 2),
    "lagrange_to_legendre_basis_transformation": lambda: pwpoly.lagrange_to_legendre_basis_transformation(2, 3),
    "LegendreBasis": lambda: pwpoly.LegendreBasis(2, 3, Number(1.0)),
    "LegendreBasis by keyword": lambda: pwpoly.LegendreBasis(T=T, n_t=3, degree=2),
    "LegendreBasisEvaluator": lambda: pwpoly.LegendreBasisEvaluator(2, 3, T),
    "LegendreBasis.evaluate_at list": lambda: B.evaluate_at(T, COEFFICIENTS),
    "LegendreBasis.evaluate_at array": lambda: B.evaluate_at(Number(0.5), COEFFICIENT_ARRAY),
    "LegendreBasis.evaluate_at sequence": lambda: B.evaluate_at(T, Sequence(COEFFICIENTS)),
    "LegendreBasis.evaluate_all_basis_functions": lambda: B.evaluate_all_basis_functions(T),
    "LegendreBasis.evaluate_all_basis_function_derivatives": lambda: B.evaluate_all_basis_function_derivatives(t=T),
    "LegendreBasisEvaluator.set_dofs list": lambda: EV.set_dofs(COEFFICIENTS),
    "LegendreBasisEvaluator.set_dofs tuple": lambda: EV.set_dofs(tuple(COEFFICIENTS)),
    "LegendreBasisEvaluator.set_dofs array": lambda: EV.set_dofs(COEFFICIENT_ARRAY),
    "LegendreBasisEvaluator.evaluate_at": lambda: EV.evaluate_at(T),
    "LegendreBasisEvaluator.evaluate_derivative_at": lambda: EV.evaluate_derivative_at(Number(0.5)),
    "shared access nests": lambda: EV.evaluate_at(Calls(0.5, lambda: EV.evaluate_at(T))),
}

FAILURES = {
    # argument binding
    "too many": lambda: pwpoly.sum_as_string(1, 2, T),
    "unexpected keyword": lambda: pwpoly.get_lagrange_points(1, 2, T, **{"z\udc80": T}),
    "multiple values": lambda: pwpoly.LegendreBasis(1, 2, T, degree=1),
    "missing": lambda: EV.set_dofs(),
    "missing in a constructor": lambda: pwpoly.LegendreBasisEvaluator(1, T=T),
    # receiver (the interpreter's descriptor check)
    "wrong receiver": lambda: pwpoly.LegendreBasisEvaluator.evaluate_at(B, T),
    # conversions
    "size not an integer": lambda: pwpoly.lagrange_prolongation_matrix(1, "2", 1),
    "size negative": lambda: pwpoly.lagrange_to_legendre_basis_transformation(-(10**30), 1),
    "size too big": lambda: pwpoly.LegendreBasis(10**30, 1, T),
    "size index raises": lambda: pwpoly.sum_as_string(1, Raising(ValueError)),
    "float not a number": lambda: B.evaluate_all_basis_functions("0.5"),
    "float too big": lambda: pwpoly.get_lagrange_points(1, 1, 10**400),
    "float raises a caused TypeError": lambda: EV.evaluate_at(CausedTypeError()),
    "sequence is a str": lambda: EV.set_dofs("123456789"),
    "sequence is not a sequence": lambda: B.evaluate_at(T, {1.0: 2.0}),
    "sequence item": lambda: EV.set_dofs(COEFFICIENTS[:4] + [None] + COEFFICIENTS[5:]),
    "sequence item raises": lambda: B.evaluate_at(T, COEFFICIENTS + [Raising(OverflowError)]),
    "sequence iterator raises": lambda: EV.set_dofs(BrokenIterable(COEFFICIENTS)),
    # internal faults
    "capacity overflow of a sequence": lambda: EV.set_dofs(HugeLength(COEFFICIENTS)),
    "capacity overflow of an evaluator": lambda: pwpoly.LegendreBasisEvaluator(2**62, 2**62, T),
    "buffer too small": lambda: B.evaluate_at(T, COEFFICIENTS[:5]),
    "wrong length": lambda: EV.set_dofs(COEFFICIENTS + [T]),
    "core precondition": lambda: pwpoly.lagrange_prolongation_matrix(0, 0, 0),
    "no interval": lambda: pwpoly.LegendreBasis(2, 0, T).evaluate_all_basis_functions(T),
    "resumed fault": lambda: EV.evaluate_at(Raising(lambda: PANIC("again"))),
    # access
    "already borrowed": lambda: EV.evaluate_at(Calls(0.5, lambda: EV.set_dofs(COEFFICIENTS))),
    "already mutably borrowed": lambda: EV.set_dofs([Calls(1.0, lambda: EV.evaluate_at(T))] * 9),
}

WATCHED = [B, EV, type(B), type(EV), PANIC, T, COEFFICIENTS, COEFFICIENT_ARRAY, pwpoly.sum_as_string]


def attempt(call):
    try:
        call()
    except BaseException:  # noqa: BLE001 - failures are the point of half of the cases
        pass


def footprint():
    gc.collect()
    return sys.getallocatedblocks(), native_bytes_in_use(), [sys.getrefcount(o) for o in WATCHED]


def least_growth(call):
    for _ in range(CALLS // 5):
        attempt(call)
    least = None
    for _ in range(ROUNDS):
        blocks, native, refs = footprint()
        for _ in range(CALLS):
            attempt(call)
        after_blocks, after_native, after_refs = footprint()
        growth = (after_blocks - blocks, after_native - native, max(a - b for a, b in zip(after_refs, refs)))
        least = growth if least is None else tuple(map(min, least, growth))
    return least


@pytest.mark.parametrize(
    "call", list(SUCCESSES.values()) + list(FAILURES.values()), ids=list(SUCCESSES) + list(FAILURES)
)
def test_no_growth_per_call(call, capfd):
    blocks, native, refs = least_growth(call)
    capfd.readouterr()  # fault reports of the failing cases
    assert blocks < CALLS // 10, f"{blocks} Python blocks more after {CALLS} calls"
    assert native < 16 * CALLS, f"{native} bytes of native memory more after {CALLS} calls"
    assert refs < CALLS // 10, f"{refs} references more after {CALLS} calls"


def test_the_measure_sees_a_leak():
    # The same measure, applied to calls that keep a list, a reference and 64 native bytes each.
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    libc.free.argtypes = [ctypes.c_void_p]
    kept, pointers = [], []

    def leaky():
        kept.append([T])
        pointers.append(libc.malloc(64))

    blocks, native, refs = least_growth(leaky)
    for pointer in pointers:
        libc.free(pointer)
    assert blocks >= CALLS and refs >= CALLS and native >= 64 * CALLS
