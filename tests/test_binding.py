"""Argument binding, conversions, error reporting and the internal-fault exception."""

import array
import os
import subprocess
import sys

import pytest

import pwpoly
from conftest import SIZE_MAX, fault_exception_type, raises_fault

# ---------------------------------------------------------------- binding messages


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: pwpoly.sum_as_string(1, 2, 3), "sum_as_string() takes 2 positional arguments but 3 were given"),
        (lambda: pwpoly.sum_as_string(1, 2, c=3), "sum_as_string() got an unexpected keyword argument 'c'"),
        (lambda: pwpoly.sum_as_string(1, a=2), "sum_as_string() got multiple values for argument 'a'"),
        (lambda: pwpoly.sum_as_string(1), "sum_as_string() missing 1 required positional argument: 'b'"),
        (
            lambda: pwpoly.get_lagrange_points(1),
            "get_lagrange_points() missing 2 required positional arguments: 'n_t' and 'T'",
        ),
        (
            lambda: pwpoly.get_lagrange_points(),
            "get_lagrange_points() missing 3 required positional arguments: 'degree', 'n_t', and 'T'",
        ),
        (lambda: pwpoly.get_lagrange_points(1, zz=2), "get_lagrange_points() got an unexpected keyword argument 'zz'"),
        (
            lambda: pwpoly.LegendreBasis(),
            "LegendreBasis.__new__() missing 3 required positional arguments: 'degree', 'n_t', and 'T'",
        ),
        (
            lambda: pwpoly.LegendreBasis(1, 2, 3.0, 4),
            "LegendreBasis.__new__() takes 3 positional arguments but 4 were given",
        ),
        (
            lambda: pwpoly.LegendreBasis(1, 2, 3.0, degree=1),
            "LegendreBasis.__new__() got multiple values for argument 'degree'",
        ),
        (
            lambda: pwpoly.LegendreBasisEvaluator(1, 2, 1.0).set_dofs([1.0], [2.0]),
            "LegendreBasisEvaluator.set_dofs() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda: pwpoly.LegendreBasis(1, 2, 1.0).evaluate_at(0.5),
            "LegendreBasis.evaluate_at() missing 1 required positional argument: 'legendre_vals'",
        ),
        (
            lambda: pwpoly.sum_as_string(1, 2, **{"\udc80x": 1}),
            # the lone surrogate's three bytes are each an invalid sequence
            "sum_as_string() got an unexpected keyword argument '\ufffd\ufffd\ufffdx'",
        ),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


def test_binding_comes_before_conversion():
    # Too many arguments is reported even though the first one would not convert.
    with pytest.raises(TypeError, match="takes 2 positional arguments"):
        pwpoly.sum_as_string("x", 2, 3)


def test_keyword_order_is_free():
    assert pwpoly.sum_as_string(b=2, a=1) == "3"
    assert pwpoly.get_lagrange_points(degree=2, n_t=2, T=1.0) == pwpoly.get_lagrange_points(2, 2, 1.0)
    assert pwpoly.get_lagrange_points(T=1.0, n_t=2, degree=2) == pwpoly.get_lagrange_points(2, 2, 1.0)


# ---------------------------------------------------------------- sizes


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "a, b, total",
    [
        (1, 2, "3"),
        (0, 0, "0"),
        (True, 2, "3"),
        (False, Index(5), "5"),
        (SIZE_MAX, 0, str(SIZE_MAX)),
        (SIZE_MAX, 1, str(SIZE_MAX + 1)),
        (SIZE_MAX, SIZE_MAX, str(2 * SIZE_MAX)),
        (SIZE_MAX - 7, 9, str(SIZE_MAX + 2)),
    ],
)
def test_sum_as_string_is_exact(a, b, total):
    assert pwpoly.sum_as_string(a, b) == total


@pytest.mark.parametrize("value", [-1, -(2**70), SIZE_MAX + 1, 2**200])
def test_size_out_of_range_is_overflow_without_argument_name(value):
    with pytest.raises(OverflowError) as info:
        pwpoly.sum_as_string(value, 0)
    assert "argument" not in str(info.value)


@pytest.mark.parametrize("value", [2.0, "1", None, [1], 1j])
def test_size_from_non_integer_is_prefixed_type_error(value):
    with pytest.raises(TypeError) as info:
        pwpoly.sum_as_string(1, value)
    assert str(info.value).startswith("argument 'b': ")


def test_size_conversion_order_reports_first_bad_argument():
    with pytest.raises(TypeError, match=r"^argument 'degree': "):
        pwpoly.get_lagrange_points(1.5, "x", "y")
    with pytest.raises(TypeError, match=r"^argument 'n_t': "):
        pwpoly.get_lagrange_points(1, 2.5, "y")


def test_largest_size_converts():
    # All three arguments convert; nothing is computed for n_t = 0.
    assert pwpoly.get_lagrange_points(SIZE_MAX, 0, 1.0) == [1.0]


# ---------------------------------------------------------------- floats


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class FloatSub(float):
    pass


@pytest.mark.parametrize(
    "T, expected",
    [(1, 1.0), (True, 1.0), (FloatSub(2.5), 2.5), (Floaty(-1.0), -1.0), (Index(3), 3.0), (-1.0, -1.0)],
)
def test_float_conversion(T, expected):
    assert pwpoly.get_lagrange_points(0, 0, T) == [expected]


def test_float_conversion_keeps_special_values():
    (inf,) = pwpoly.get_lagrange_points(0, 0, float("inf"))
    (nan,) = pwpoly.get_lagrange_points(0, 0, float("nan"))
    assert inf == float("inf") and nan != nan


@pytest.mark.parametrize("T", ["0.5", None, [1.0]])
def test_float_from_non_number_is_prefixed(T):
    with pytest.raises(TypeError, match=r"^argument 'T': "):
        pwpoly.get_lagrange_points(1, 2, T)


def test_float_overflow_passes_through():
    with pytest.raises(OverflowError) as info:
        pwpoly.get_lagrange_points(1, 2, 10**400)
    assert "argument" not in str(info.value)


def test_type_error_cause_is_carried_over():
    class Bad:
        def __float__(self):
            raise TypeError("bad") from KeyError()

    basis = pwpoly.LegendreBasis(1, 1, 1.0)
    with pytest.raises(TypeError) as info:
        basis.evaluate_all_basis_functions(Bad())
    assert str(info.value) == "argument 't': bad"
    assert isinstance(info.value.__cause__, KeyError)


def test_type_error_subclass_and_other_errors_pass_unchanged():
    class MyTypeError(TypeError):
        pass

    class RaisesSub:
        def __float__(self):
            raise MyTypeError("sub")

    class RaisesValue:
        def __index__(self):
            raise ValueError("value")

    with pytest.raises(MyTypeError, match=r"^sub$"):
        pwpoly.get_lagrange_points(1, 1, RaisesSub())
    with pytest.raises(ValueError, match=r"^value$"):
        pwpoly.get_lagrange_points(RaisesValue(), 1, 1.0)


def test_unprintable_type_error(monkeypatch):
    class NoText:
        def __str__(self):
            raise RuntimeError("no text")

    class Raises:
        def __float__(self):
            raise TypeError(NoText())

    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    with pytest.raises(TypeError) as info:
        pwpoly.LegendreBasis(1, 1, 1.0).evaluate_all_basis_functions(Raises())
    assert info.value.args == ("argument 't': <unprintable TypeError object>",)
    assert len(reported) == 1 and isinstance(reported[0].exc_value, RuntimeError)


# ---------------------------------------------------------------- float sequences


class ItemsOnly:
    def __getitem__(self, i):
        if i < 4:
            return float(i)
        raise IndexError


class BadLength(ItemsOnly):
    def __len__(self):
        raise ValueError("no length")


class HugeLength(ItemsOnly):
    def __len__(self):
        return sys.maxsize


@pytest.mark.parametrize(
    "values",
    [
        [0.0, 1, True, 3.0],
        (0.0, 1.0, 2.0, 3.0),
        range(4),
        array.array("d", [0.0, 1.0, 2.0, 3.0]),
        bytes([0, 1, 2, 3]),
        bytearray([0, 1, 2, 3]),
        ItemsOnly(),
        BadLength(),
        [FloatSub(0.0), Floaty(1.0), Index(2), 3],
    ],
)
def test_sequences_are_accepted(values):
    basis = pwpoly.LegendreBasis(1, 2, 1.0)
    # t = 0.75: interval 1, xi = 0: value = C(1, 0) = values[1] = 1.0
    assert basis.evaluate_at(0.75, values) == 1.0


@pytest.mark.parametrize(
    "values, message",
    [
        ("0.1", "argument 'legendre_vals': Can't extract `str` to `Vec`"),
        (3, "argument 'legendre_vals': 'int' object cannot be cast as 'Sequence'"),
        ({0.1}, "argument 'legendre_vals': 'set' object cannot be cast as 'Sequence'"),
        ({1: 2.0}, "argument 'legendre_vals': 'dict' object cannot be cast as 'Sequence'"),
        ((x for x in [1.0]), "argument 'legendre_vals': 'generator' object cannot be cast as 'Sequence'"),
    ],
)
def test_non_sequences_are_refused(values, message):
    with pytest.raises(TypeError) as info:
        pwpoly.LegendreBasis(1, 2, 1.0).evaluate_at(0.5, values)
    assert info.value.args == (message,)


def test_bad_item_anywhere_is_reported_with_the_argument_name():
    with pytest.raises(TypeError, match=r"^argument 'legendre_vals': "):
        pwpoly.LegendreBasis(0, 1, 1.0).evaluate_at(0.5, [1.0, 2.0, "x"])


def test_iterator_errors_pass_through():
    class Broken:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            raise KeyError("from the sequence")

    with pytest.raises(KeyError):
        pwpoly.LegendreBasis(0, 1, 1.0).evaluate_at(0.5, Broken())


def test_length_beyond_the_largest_allocation_is_capacity_overflow():
    with raises_fault("capacity overflow"):
        pwpoly.LegendreBasis(0, 1, 1.0).evaluate_at(0.5, HugeLength())


def test_list_shrunk_by_item_code_is_read_as_its_iterator_would():
    values = [1.0, 2.0, 3.0, 4.0]

    class Shrinks:
        def __float__(self):
            del values[2:]
            return 0.5

    values[1] = Shrinks()
    basis = pwpoly.LegendreBasis(0, 2, 1.0)
    # Only two items remain after the second one is converted: [1.0, 0.5].
    assert basis.evaluate_at(0.75, values) == 0.5


# ---------------------------------------------------------------- internal faults


def test_fault_exception_properties():
    with pytest.raises(BaseException) as info:
        pwpoly.lagrange_prolongation_matrix(0, 0, 1)
    error = info.value
    kind = type(error)
    assert kind.__name__ == "PanicException" and kind.__module__ == "pyo3_runtime"
    assert not isinstance(error, Exception)
    assert issubclass(kind, BaseException) and kind.__bases__ == (BaseException,)
    assert error.args == ("Lagrange prolongation requires at least one coarse interval",)
    assert "C++" in kind.__doc__
    assert kind is fault_exception_type()
    assert not hasattr(pwpoly, "PanicException")


def run_python(code, **env):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env={**os.environ, **env})


FAULT_TWICE = """
import pwpoly
for _ in range(2):
    try:
        pwpoly.lagrange_prolongation_matrix(1, 0, 1)
    except BaseException as error:
        print(type(error).__name__, error)
"""


def test_fault_report_on_standard_error():
    result = run_python(FAULT_TWICE, PWPOLY_BACKTRACE="")
    assert (
        result.stdout.splitlines() == ["PanicException Lagrange prolongation requires at least one fine interval"] * 2
    )
    lines = result.stderr.splitlines()
    assert len([line for line in lines if line.startswith("thread 'main'")]) == 2
    assert lines[0].startswith("thread 'main' hit a C++ fault at src/") and lines[0].endswith(":")
    assert lines[1] == "Lagrange prolongation requires at least one fine interval"
    # The hint on backtraces comes with the first report only.
    assert len([line for line in lines if "PWPOLY_BACKTRACE" in line]) == 1


def test_fault_report_with_backtrace():
    result = run_python(FAULT_TWICE, PWPOLY_BACKTRACE="1")
    assert "stack backtrace:" in result.stderr
    assert "PWPOLY_BACKTRACE" not in result.stderr


def test_fault_exception_reraised_from_python_code_is_resumed():
    code = """
import pwpoly
class Reraises:
    def __float__(self):
        pwpoly.lagrange_prolongation_matrix(0, 1, 1)
try:
    pwpoly.get_lagrange_points(1, 1, Reraises())
except BaseException as error:
    print(type(error).__name__, error.args, error.__cause__, error.__context__ is None)
"""
    result = run_python(code)
    assert result.stdout == (
        "PanicException ('Lagrange prolongation requires at least one coarse interval',) None True\n"
    )
    assert "Python stack trace below:" in result.stderr
    assert "resumed" in result.stderr


@pytest.mark.needs_system_allocator(reason="the sanitizer allocator aborts on a request larger than it supports")
def test_memory_exhaustion_is_memory_error_and_leaves_the_process_usable():
    # 2**40 points per interval: more memory than the machine offers.
    with pytest.raises(MemoryError):
        pwpoly.get_lagrange_points(2**40, 1, 1.0)
    evaluator = pwpoly.LegendreBasisEvaluator(0, 1, 1.0)

    class Huge(ItemsOnly):
        def __len__(self):
            return sys.maxsize // 16

    with pytest.raises(MemoryError):
        evaluator.set_dofs(Huge())
    evaluator.set_dofs([2.0])  # no access left held
    assert evaluator.evaluate_at(0.5) == 2.0
