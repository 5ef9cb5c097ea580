"""pwpoly_numpy.InternalFault is the class pwpoly raises for an internal fault, whichever module
creates it first, so `except pwpoly_numpy.InternalFault` catches pwpoly's faults."""

import subprocess
import sys
import textwrap

import pytest

FAULT = "pwpoly.lagrange_prolongation_matrix(1, 2, 0)"
MESSAGE = "Lagrange prolongation requires polynomial degree at least 1"

ORDERS = {
    "numpy module imported before the first fault": f"""
        import pwpoly, pwpoly_numpy as pn
        try:
            {FAULT}
        except pn.InternalFault as e:
            caught = e
    """,
    "first fault before the numpy module is imported": f"""
        import pwpoly
        try:
            {FAULT}
        except BaseException as e:
            caught = e
        import pwpoly_numpy as pn
    """,
}


@pytest.mark.parametrize("code", ORDERS.values(), ids=ORDERS.keys())
def test_one_class_for_both_modules(code):
    check = """
        assert type(caught) is pn.InternalFault, type(caught)
        assert caught.args == (MESSAGE,), caught.args
        assert not issubclass(pn.InternalFault, Exception)
        assert (pn.InternalFault.__module__, pn.InternalFault.__name__) == ("pyo3_runtime", "PanicException")
        print("ok")
    """
    source = f"MESSAGE = {MESSAGE!r}\n" + textwrap.dedent(code) + textwrap.dedent(check)
    child = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr
    assert child.stdout == "ok\n"


def test_fault_raised_from_python_code_is_resumed_by_pwpoly(capfd):
    import pwpoly
    import pwpoly_numpy as pn

    class Faulty:
        def __float__(self):
            raise pn.InternalFault("raised by a conversion")

    # The conversion fetches the error raised by __float__: pwpoly must recognise its own fault
    # class there (made by the numpy module's import) and resume the fault.
    with pytest.raises(pn.InternalFault) as raised:
        pwpoly.get_lagrange_points(1, 2, Faulty())
    assert raised.value.args == ("raised by a conversion",)
    assert "fault resumed" in capfd.readouterr().err
