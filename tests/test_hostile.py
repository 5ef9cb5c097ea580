"""Hostile use: texts that UTF-8 cannot hold, and every callable fuzzed with hostile arguments."""

import pytest

import pwpoly
from conftest import fault_exception_type, raises_fault

SURROGATE_TEXT = "bad \udc80 value"
# "surrogatepass" writes the lone surrogate as the bytes ED B2 80; read back leniently, each of
# the three is an invalid sequence of its own.
SHOWN_TEXT = "bad \ufffd\ufffd\ufffd value"


def test_shown_text_is_the_lenient_reading_of_surrogatepass():
    assert SURROGATE_TEXT.encode("utf-8", "surrogatepass").decode("utf-8", "replace") == SHOWN_TEXT


class RaisesOnFloat:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


def test_type_error_text_with_a_lone_surrogate():
    basis = pwpoly.LegendreBasis(1, 2, 1.0)
    with pytest.raises(TypeError) as info:
        basis.evaluate_at(RaisesOnFloat(TypeError(SURROGATE_TEXT)), [1.0] * 4)
    assert info.value.args == (f"argument 't': {SHOWN_TEXT}",)


def test_type_name_with_a_lone_surrogate_in_the_cast_error():
    class Odd:
        pass

    Odd.__qualname__ = SURROGATE_TEXT
    with pytest.raises(TypeError) as info:
        pwpoly.LegendreBasisEvaluator(1, 2, 1.0).set_dofs(Odd())
    assert info.value.args == (f"argument 'legendre_vals': '{SHOWN_TEXT}' object cannot be cast as 'Sequence'",)


def test_resumed_fault_with_a_lone_surrogate(capfd):
    panic = fault_exception_type()
    with raises_fault(SHOWN_TEXT):
        pwpoly.LegendreBasisEvaluator(1, 2, 1.0).evaluate_at(RaisesOnFloat(panic(SURROGATE_TEXT)))
    assert "Python stack trace below:" in capfd.readouterr().err
