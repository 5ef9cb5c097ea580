"""The demo's numbers (examples/demo.py) at small sizes: the observed orders of dG(q) and cG(q) lie
where the methods put them, and parareal and MGRIT give the serial solution."""

import importlib
import math
import sys
from pathlib import Path

import numpy as np
import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
if str(EXAMPLES) not in sys.path:
    sys.path.insert(0, str(EXAMPLES))
demo = importlib.import_module("demo")

N_X = 15
N_TS = (16, 32, 64)


@pytest.fixture(scope="module")
def rows():
    return {row.name: row for row in demo.table(n_x=N_X, n_ts=N_TS, dg=(0, 1, 2), cg=(1, 2, 3))}


@pytest.mark.parametrize(
    ("name", "l2", "at_end"),
    [("dG(0)", 1, 1), ("dG(1)", 2, 3), ("dG(2)", 3, 5), ("cG(1)", 2, 2), ("cG(2)", 3, 4), ("cG(3)", 4, 6)],
)
def test_observed_orders_are_the_methods(rows, name, l2, at_end):
    row = rows[name]
    assert row.expected == (l2, at_end)
    for errors, expected in ((row.l2, l2), (row.end, at_end)):
        observed = row.orders(errors)
        assert abs(observed[-1] - expected) < 0.12, (name, errors, observed)
        assert all(a < b for a, b in zip(errors[1:], errors)), (name, errors)


def test_orders_are_measured_between_consecutive_partitions():
    row = demo.Row("dG", 1, (4, 8, 32), (1.0, 0.25, 1.0 / 256), (1.0, 1.0, 1.0))
    assert row.orders(row.l2) == pytest.approx((2.0, 3.0), abs=1e-14)
    assert row.orders(row.end) == pytest.approx((0.0, 0.0), abs=1e-14)


def test_the_reference_solves_the_space_discretisation():
    # The amplitude v_h of the reference v_h(t) s satisfies M s v_h' + A s v_h = f(t) at any time.
    problem = demo.heat(N_X)
    t, h = np.array([0.1, 0.37, 0.8]), 1e-6
    slope = (problem.amplitude(t + h) - problem.amplitude(t - h)) / (2 * h)
    residual = np.outer(problem.M @ problem.s, slope) + np.outer(problem.A @ problem.s, problem.amplitude(t))
    np.testing.assert_allclose(residual, problem.f(t), rtol=0, atol=1e-7 * np.abs(problem.f(t)).max())
    assert problem.amplitude(np.array(0.0)) == pytest.approx(1.0, abs=1e-15)
    # Refined in space, the discretisation's amplitude tends to that of the PDE: order 2.
    assert demo.space_error(2 * N_X + 1) < demo.space_error(N_X) / 3.5
    assert math.isclose(demo.heat(200).lam, math.pi**2, rel_tol=1e-4)


def test_parallel_in_time_gives_the_serial_solution():
    runs = demo.parallel_runs(None, n_x=N_X, n_t=64, slabs=4)
    assert [r.name for r in runs] == ["parareal", "MGRIT"]
    for r in runs:
        assert r.residuals[-1] <= 1e-10 and r.iterations == len(r.residuals) - 1, r
        assert r.iterations <= 4 and r.difference < 1e-9 and r.same_bits, r


def test_nonlinear_line_converges_at_the_order_of_dg2():
    error, order, iterations, calls = demo.nonlinear_line((8, 16))
    assert error < 1e-7 and abs(order - 5.0) < 0.5
    assert 16 <= iterations <= calls
