import os
import shutil
import subprocess
import sys

import pytest

import pwpoly

MEMBERS = [
    "sum_as_string",
    "lagrange_to_legendre_basis_transformation",
    "lagrange_prolongation_matrix",
    "get_lagrange_points",
    "LegendreBasis",
    "LegendreBasisEvaluator",
]


def test_module_identity_and_members():
    assert pwpoly.__name__ == "pwpoly"
    assert pwpoly.__all__ == MEMBERS
    assert "C++" in pwpoly.__doc__ and pwpoly.__doc__.count(".") == 1
    for name in MEMBERS:
        assert getattr(pwpoly, name) is not None


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("sum_as_string", "(a, b)", "Formats the sum of two numbers as string."),
        ("lagrange_to_legendre_basis_transformation", "(degree, n_t)", None),
        ("lagrange_prolongation_matrix", "(nt_coarse, nt_fine, degree)", None),
        ("get_lagrange_points", "(degree, n_t, T)", None),
    ],
)
def test_function_objects(name, signature, doc):
    function = getattr(pwpoly, name)
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert function.__self__ is pwpoly
    assert function.__module__ == "pwpoly"
    assert function.__name__ == name


@pytest.mark.parametrize("name", ["LegendreBasis", "LegendreBasisEvaluator"])
def test_class_objects(name):
    cls = getattr(pwpoly, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__text_signature__ == "(degree, n_t, T)"
    assert cls.__base__ is object


def test_evaluator_docstring():
    assert pwpoly.LegendreBasisEvaluator.__doc__ == (
        "Class to evaluate legendre basis more often without copying the dofs from python each time"
    )


def test_reimport_returns_the_same_module_without_extending_all():
    original = pwpoly
    del sys.modules["pwpoly"]
    try:
        import pwpoly as again

        assert again is original
        assert again.__all__ == MEMBERS
    finally:
        sys.modules["pwpoly"] = original


def test_subinterpreter_import_is_refused():
    interpreters = pytest.importorskip("_interpreters")
    interpreter = interpreters.create("legacy")
    try:
        failure = interpreters.run_string(interpreter, "import pwpoly")
    finally:
        interpreters.destroy(interpreter)
    assert failure is not None
    assert failure.type.__name__ == "ImportError"
    assert "subinterpreters" in failure.msg


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not available")
    output = subprocess.run(
        [nm, "-D", "--defined-only", pwpoly.__file__], check=True, capture_output=True, text=True
    ).stdout
    exported = [line.split()[-1] for line in output.splitlines() if line.strip()]
    assert exported == ["PyInit_pwpoly"]


def test_import_in_a_fresh_interpreter_prints_nothing():
    result = subprocess.run(
        [sys.executable, "-c", "import pwpoly; print(len(pwpoly.__all__))"],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONWARNINGS": "error"},
    )
    assert result.returncode == 0
    assert result.stdout == "6\n" and result.stderr == ""


def test_version_is_the_distributions_on_both_modules():
    import importlib.metadata

    import pwpoly_numpy

    installed = importlib.metadata.version("pwpoly")
    assert pwpoly.__version__ == pwpoly_numpy.__version__ == installed
    assert "__version__" not in pwpoly.__all__ and "__version__" not in pwpoly_numpy.__all__
