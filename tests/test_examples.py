"""The examples in examples/ as smoke tests, and the numbers behind their tables and pictures.

Every examples/*.py runs in a subprocess and must finish cleanly; files it writes go to a
temporary directory named by the environment variable PWPOLY_EXAMPLE_OUTPUT. An example that
cannot run that way (one that needs a launcher, say) opts out with a module-level string
``SMOKE_TEST_SKIP = "reason"`` naming the test that runs it instead.

The pictures' data come from functions of the examples, imported here and checked against error
bounds; the demo's numbers are checked in test_demo.py.
"""

import ast
import importlib
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from numpy.polynomial import legendre as leg

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
if str(EXAMPLES) not in sys.path:
    sys.path.insert(0, str(EXAMPLES))
pictures = importlib.import_module("pictures")

# Files that an example must write into PWPOLY_EXAMPLE_OUTPUT.
OUTPUTS = {
    "pictures.py": {
        "legendre_basis.png",
        "legendre_basis_narrow.png",
        "prolongation.png",
        "operator_sparsity.png",
        "convergence.png",
        "slab_ownership.png",
        "galerkin_orders.png",
        "graded_mesh.png",
    },
    "parallel_in_time_pictures.py": {"mgrit_residuals.png"},
    "nonlinear_pde.py": {"allen_cahn.png"},
    "mgrit_own_step.py": {"mgrit_own_step.png"},
}


def skip_reason(path):
    """The example's SMOKE_TEST_SKIP string, read without importing it, or None."""
    for node in ast.parse(path.read_text(), filename=str(path)).body:
        targets = (
            node.targets if isinstance(node, ast.Assign) else [node.target] if isinstance(node, ast.AnnAssign) else []
        )
        if any(isinstance(t, ast.Name) and t.id == "SMOKE_TEST_SKIP" for t in targets):
            reason = ast.literal_eval(node.value)
            assert isinstance(reason, str) and reason.strip(), f"{path.name}: SMOKE_TEST_SKIP must give a reason"
            return reason
    return None


def png_chunks(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    position, chunks = 8, []
    while position < len(data):
        length = int.from_bytes(data[position : position + 4], "big")
        chunks.append(data[position + 4 : position + 8].decode("ascii"))
        position += 12 + length
    return chunks


@pytest.mark.parametrize("path", sorted(EXAMPLES.glob("*.py")), ids=lambda p: p.name)
def test_example_runs(path, tmp_path):
    reason = skip_reason(path)
    if reason is not None:
        pytest.skip(f"{path.name} opts out: {reason}")
    env = dict(os.environ, PWPOLY_EXAMPLE_OUTPUT=str(tmp_path), MPLBACKEND="Agg")
    result = subprocess.run(
        [sys.executable, str(path)], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0, result.stderr
    assert "Traceback" not in result.stderr and "Warning" not in result.stderr, result.stderr
    assert result.stdout.strip(), "the example printed nothing"
    written = {p.name for p in tmp_path.iterdir()}
    assert OUTPUTS.get(path.name, set()) <= written
    for name in written & OUTPUTS.get(path.name, set()):
        data = (tmp_path / name).read_bytes()
        assert len(data) < 100_000, f"{name} has {len(data)} bytes"
        assert set(png_chunks(data)) <= {"IHDR", "PLTE", "IDAT", "IEND"}, f"{name}: metadata in the file"


def test_skip_marker_is_read_without_import(tmp_path):
    example = tmp_path / "needs_launcher.py"
    example.write_text('import not_installed\nSMOKE_TEST_SKIP: str = "runs under a launcher"\n')
    assert skip_reason(example) == "runs under a launcher"
    example.write_text("import not_installed\n")
    assert skip_reason(example) is None


def test_galerkin_in_time_orders_and_stepping():
    galerkin = importlib.import_module("galerkin_in_time")
    for row in galerkin.order_table():
        nodal = 2 * row.degree + 1 if row.method == "dG" else 2 * row.degree
        assert abs(row.orders(row.nodal, row.n_t)[-1] - nodal) < 0.1, row
        assert abs(row.orders(row.l2, row.n_t)[-1] - (row.degree + 1)) < 0.1, row
        assert row.stepping_difference < 1e-12, row


# --- the pictures' data ------------------------------------------------------------------------


@pytest.mark.parametrize(("degree", "n_t", "T"), [(2, 4, 1.0), (3, 3, 2.5), (0, 2, 0.7)])
def test_legendre_basis_pieces(degree, n_t, T):
    functions = pictures.legendre_basis_functions(degree, n_t, T, samples=17)
    assert [f.index for f in functions] == list(range((degree + 1) * n_t))
    dt = T / n_t
    for f in functions:
        assert f.index == f.degree * n_t + f.interval
        for m, (t, v) in enumerate(zip(f.times, f.values)):
            # A piece stays in its interval: it starts on the left end and, but for the last, stops
            # short of the right end, which belongs to the next interval.
            assert t[0] == m * dt and (t[-1] < dt + m * dt if m < n_t - 1 else t[-1] == dt + m * dt)
            if m != f.interval:
                assert np.all(v == 0.0)
                continue
            xi = 2.0 * (t - m * dt) / dt - 1.0
            np.testing.assert_allclose(v, leg.legval(xi, np.eye(degree + 1)[f.degree]), rtol=0, atol=1e-12)
            assert abs(v[0] - (-1.0) ** f.degree) < 1e-14
            if m < n_t - 1:  # the jump at the right end: limit 1 from the left, 0 on the right
                assert abs(v[-1] - 1.0) < 1e-12 and f.values[m + 1][0] == 0.0


@pytest.mark.parametrize(("degree", "nt_coarse", "nt_fine"), [(2, 2, 6), (3, 3, 5), (1, 4, 4), (4, 5, 2)])
def test_prolongation_reproduces_polynomials(degree, nt_coarse, nt_fine):
    def poly(t):
        return np.polynomial.polynomial.polyval(t - 0.3, [0.5, -1.0, 2.0, -0.75, 1.5][: degree + 1])

    data = pictures.prolongation_data(poly, degree, nt_coarse, nt_fine, T=1.5, samples=97)
    assert data.fine_points.shape == data.fine_values.shape == (nt_fine * degree + 1,)
    np.testing.assert_allclose(data.fine_values, poly(data.fine_points), rtol=0, atol=1e-13)
    np.testing.assert_allclose(data.fine_curve, poly(data.times), rtol=0, atol=1e-13)
    np.testing.assert_allclose(data.coarse_curve, poly(data.times), rtol=0, atol=1e-13)


def test_prolongation_picture_keeps_the_function():
    # The pictured case: a non-polynomial function on a coarse partition the fine one refines.
    data = pictures.prolongation_data()
    assert data.nt_fine % data.nt_coarse == 0
    np.testing.assert_allclose(data.fine_curve, data.coarse_curve, rtol=0, atol=1e-14)
    fine_on_coarse = data.fine_points[:: data.nt_fine // data.nt_coarse]
    np.testing.assert_array_equal(fine_on_coarse, data.coarse_points)
    np.testing.assert_array_equal(data.fine_values[:: data.nt_fine // data.nt_coarse], data.coarse_values)


def test_operator_axes_mean_what_the_labels_say():
    degree, n_t = 2, 4
    prolongation, transformation = pictures.operator_matrices(degree, 2, 6, n_t)
    P = prolongation.dense()
    # Rows are fine nodes, columns coarse nodes: row r interpolates on the coarse interval of fine
    # node r, so it sums to one and its columns are that interval's nodes.
    np.testing.assert_allclose(P.sum(axis=1), 1.0, rtol=0, atol=1e-15)
    fine_points = np.linspace(0.0, 1.0, P.shape[0])
    for r, t in enumerate(fine_points):
        interval = min(int(t * 2), 1)
        assert set(np.flatnonzero(P[r])) <= set(range(interval * degree, interval * degree + degree + 1))
    # Rows are Legendre coefficients, degree-major; columns the nodes of their interval.
    L = transformation.dense()
    assert L.shape == ((degree + 1) * n_t, degree * n_t + 1)
    for i in range(degree + 1):
        for k in range(n_t):
            stored = transformation.cols[transformation.rows == i * n_t + k]
            assert sorted(stored.tolist()) == list(range(k * degree, k * degree + degree + 1))
    q = np.polynomial.Polynomial([0.2, -1.0, 3.0])
    coefficients = L @ q(np.linspace(0.0, 1.0, degree * n_t + 1))
    for k in range(n_t):
        xi = np.linspace(-1.0, 1.0, 7)
        np.testing.assert_allclose(leg.legval(xi, coefficients[k::n_t]), q((k + (xi + 1) / 2) / n_t), atol=1e-14)


def test_graded_breakpoints_restore_the_order_for_sqrt_t():
    errors = pictures.graded_mesh_errors(2, (16, 32, 64))
    assert abs(errors.order(1) - 1.0) < 0.05
    assert errors.order(3) > 2.7
    assert all(g < u for g, u in zip(errors.errors[3], errors.errors[1]))


def test_pictures_are_reproducible(tmp_path):
    for name in ("first.png", "second.png"):
        pictures.save(pictures.draw_prolongation(pictures.prolongation_data()), tmp_path / name)
    first, second = (tmp_path / "first.png").read_bytes(), (tmp_path / "second.png").read_bytes()
    assert first == second
    assert png_chunks(first)[0] == "IHDR" and "tIME" not in png_chunks(first)


def mgrit_run(levels: int, relaxation: str, residuals: list[float]):
    history = importlib.import_module("parallel_in_time_pictures").History
    return history(f"mgrit, {levels} levels, {relaxation}", tuple(residuals), "mgrit", relaxation, (levels,))


@pytest.mark.parametrize(
    ("runs", "labels"),
    [
        # Coinciding histories, one longer by an iteration: one line, the longer one, one entry.
        (
            [mgrit_run(n, "F", [1e-4, 1e-6, 1e-8] + [1e-10] * (n > 2)) for n in (2, 3, 4, 5)],
            ["mgrit, 2\N{EN DASH}5 levels, F"],
        ),
        ([mgrit_run(2, "F", [1e-4, 1e-6]), mgrit_run(4, "F", [1.1e-4, 1.2e-6])], ["mgrit, 2, 4 levels, F"]),
        # Visibly apart (a decade at the second iteration), or of another relaxation: lines of their own.
        (
            [mgrit_run(2, "F", [1e-4, 1e-6]), mgrit_run(3, "F", [1e-4, 1e-7])],
            ["mgrit, 2 levels, F", "mgrit, 3 levels, F"],
        ),
        (
            [mgrit_run(2, "F", [1e-4, 1e-6]), mgrit_run(2, "FCF", [1e-4, 1e-6])],
            ["mgrit, 2 levels, F", "mgrit, 2 levels, FCF"],
        ),
        # A residual that reached exact zero is not drawn: it does not match a nonzero one.
        (
            [mgrit_run(2, "F", [1e-4, 0.0]), mgrit_run(3, "F", [1e-4, 1e-6])],
            ["mgrit, 2 levels, F", "mgrit, 3 levels, F"],
        ),
    ],
)
def test_the_residual_picture_has_one_legend_entry_per_visible_line(runs, labels):
    example = importlib.import_module("parallel_in_time_pictures")
    lines = example.merged(runs)
    assert [line.label for line in lines] == labels
    assert lines[0].residuals == max((run.residuals for run in runs if run.relaxation == runs[0].relaxation), key=len)


def test_the_residual_picture_draws_parareal_apart_from_an_equal_mgrit_run():
    example = importlib.import_module("parallel_in_time_pictures")
    parareal = example.History("parareal, 8 slabs", (1e-4, 1e-6))
    assert [line.label for line in example.merged([mgrit_run(2, "F", [1e-4, 1e-6]), parareal])] == [
        "mgrit, 2 levels, F",
        "parareal, 8 slabs",
    ]
