"""The distributions others install: the sdist and the manylinux wheel that `tools/wheel` builds.

Slow (the modules are compiled twice: the wheel from the sdist, then the sdist installed by pip);
deselect with `-m "not wheel"`. Skipped in the sanitizer run: it builds and installs, it has
nothing to instrument.

Everything pip installs here comes from one directory of wheels, build/wheel-test/deps (numpy,
scipy, scikit-build-core, and mpi4py and mpich for the extra `mpi`, at the versions of the running
environment), filled once from the package index and read without it afterwards.
"""

import email.parser
import importlib.metadata
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import tomllib
import zipfile
from pathlib import Path

import pytest

from conftest import UNDER_SANITIZER

ROOT = Path(__file__).resolve().parents[1]
DEPS = ROOT / "build" / "wheel-test" / "deps"
PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
README = (ROOT / "README.md").read_text()
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
# The wheel's files that come from python/ in the tree: the package pwpoly_numpy and the type
# stubs (sources, stubs and PEP 561 markers; not caches of tools run there).
PYTHON_FILES = sorted(
    path.relative_to(ROOT / "python").as_posix()
    for path in (ROOT / "python").rglob("*")
    if path.is_file()
    and (path.suffix in (".py", ".pyi") or path.name == "py.typed")
    and not any(part.startswith((".", "__pycache__")) for part in path.relative_to(ROOT).parts)
)

pytestmark = [
    pytest.mark.wheel,
    pytest.mark.skipif(UNDER_SANITIZER, reason="builds and installs the distributions"),
]

# Run by a fresh venv's interpreter (and, for the reference results, by this one): a call of each
# module, exact results as hex floats, and where everything was imported from.
CHECK = """
import importlib.util, json, sys
import pwpoly
import pwpoly_numpy as pn
import pwpoly_numpy._kernels

def hexes(values):
    return [float(v).hex() for v in values]

rows, cols, values = pwpoly.lagrange_prolongation_matrix(2, 3, 2)
coarse, fine = pn.LagrangeSpace(2, 4, 1.0), pn.LagrangeSpace(2, 8, 1.0)
prolongation = coarse.prolongation_to(fine)
coefficients = fine.to_legendre() @ (prolongation @ coarse.interpolate(lambda t: t**3))
print(json.dumps({
    "results": {
        "points": hexes(pwpoly.get_lagrange_points(2, 3, 1.0)),
        "prolongation": [rows, cols, hexes(values)],
        "sum": pwpoly.sum_as_string(2**63, 2**63),
        "sparse": [type(prolongation).__name__, list(prolongation.shape)],
        "evaluate": hexes(fine.legendre_space().evaluate(coefficients, [0.1, 0.55, 1.0])),
    },
    "modules": [pwpoly.__file__, pn.__file__, pwpoly_numpy._kernels.__file__],
    "path": sys.path,
    "build_tools": [name for name in ("scikit_build_core", "cmake", "ninja", "build", "pip")
                    if importlib.util.find_spec(name) is not None],
}))
"""


def offline_pip_env():
    """Environment for pip without index or configuration: it installs only from DEPS."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PIP_", "PYTHON"))}
    env.update(
        PIP_CONFIG_FILE=os.devnull,
        PIP_NO_INDEX="1",
        PIP_FIND_LINKS=str(DEPS),
        PIP_DISABLE_PIP_VERSION_CHECK="1",
        # cmake and ninja of the development environment serve the builds.
        PATH=os.pathsep.join([os.path.dirname(sys.executable), os.environ.get("PATH", "")]),
    )
    return env


def run(args, **kwargs):
    result = subprocess.run(args, capture_output=True, text=True, **kwargs)
    assert result.returncode == 0, f"{args} failed:\n{result.stdout}\n{result.stderr}"
    return result


@pytest.fixture(scope="session")
def deps():
    names = ("numpy", "scipy", "scikit-build-core", "mpi4py", "mpich")
    pins = [f"{name}=={importlib.metadata.version(name)}" for name in names]
    download = [sys.executable, "-m", "pip", "download", "-q", "--only-binary=:all:", "--dest", str(DEPS), *pins]
    # From the directory alone when it already holds them, else from the index.
    if subprocess.run([*download, "--no-index", "--find-links", str(DEPS)], capture_output=True).returncode:
        run(download)
    return DEPS


@pytest.fixture(scope="session")
def dists(deps, tmp_path_factory):
    out = tmp_path_factory.mktemp("dist")
    run([str(ROOT / "tools" / "wheel"), str(out)], env={**offline_pip_env(), "PYTHON": sys.executable})
    (sdist,) = out.glob("pwpoly-*.tar.gz")
    (wheel,) = out.glob("pwpoly-*.whl")
    return sdist, wheel


def metadata(text):
    return email.parser.HeaderParser().parsestr(text)


def check_metadata(fields):
    assert fields["Name"] == PYPROJECT["name"] and fields["Version"] == PYPROJECT["version"]
    assert fields["License-Expression"] == "MIT"
    assert fields.get_all("License-File") == ["LICENSE"]
    assert fields["Requires-Python"] == ">=3.13"
    requirements = sorted(fields.get_all("Requires-Dist"))
    extras = [f'{r}; extra == "{name}"' for name, rs in PYPROJECT["optional-dependencies"].items() for r in rs]
    assert requirements == sorted(PYPROJECT["dependencies"] + extras)
    assert sorted(r.split(">=")[0] for r in requirements) == ["mpi4py", "mpich", "numpy", "scipy", "scipy-stubs"]
    assert sorted(fields.get_all("Provides-Extra")) == ["mpi", "typing"]
    assert "Programming Language :: Python :: 3.13" in fields.get_all("Classifier")
    assert not any(c.startswith("License ::") for c in fields.get_all("Classifier"))
    urls = dict(entry.split(", ", 1) for entry in fields.get_all("Project-URL"))
    assert urls == PYPROJECT["urls"] and set(urls) == {"Homepage", "Documentation", "Issues", "Changelog"}
    assert all(url.startswith("https://") for url in urls.values())
    assert urls["Issues"] in README  # where to report a bug, in the README as in the metadata
    assert fields["Description-Content-Type"] == "text/markdown"
    assert fields.get_payload().startswith("# pwpoly\n")


def test_wheel_tag_and_metadata(dists):
    _, wheel = dists
    name, version, python_tag, abi_tag, platform_tag = wheel.stem.split("-")
    assert (name, version) == (PYPROJECT["name"], PYPROJECT["version"])
    assert python_tag == abi_tag == f"cp{sys.version_info[0]}{sys.version_info[1]}"
    assert platform_tag.startswith("manylinux_") and platform_tag.endswith("_" + platform.machine())
    # The tag the README promises (and the oldest glibc it names).
    (promised,) = set(re.findall(r"-(manylinux_\d+_\d+_x86_64)\.whl", README))
    assert platform_tag == promised
    with zipfile.ZipFile(wheel) as archive:
        info = f"pwpoly-{version}.dist-info"
        wheel_file = metadata(archive.read(f"{info}/WHEEL").decode())
        assert wheel_file.get_all("Tag") == [f"{python_tag}-{abi_tag}-{platform_tag}"]
        assert wheel_file["Root-Is-Purelib"] == "false"
        check_metadata(metadata(archive.read(f"{info}/METADATA").decode()))
        assert archive.read(f"{info}/licenses/LICENSE") == (ROOT / "LICENSE").read_bytes()


def test_wheel_contents(dists, tmp_path):
    _, wheel = dists
    with zipfile.ZipFile(wheel) as archive:
        names = [n for n in archive.namelist() if not n.endswith("/")]
        archive.extractall(tmp_path)
    modules = [f"pwpoly{EXT_SUFFIX}", f"pwpoly_numpy/_kernels{EXT_SUFFIX}"]
    # The extension modules, everything of python/ (stubs included, once they are in the tree),
    # the metadata: nothing else (no headers, static libraries, sources or tests), no grafted library.
    assert sorted(n for n in names if ".dist-info/" not in n) == sorted(modules + PYTHON_FILES)
    assert "pwpoly_numpy/__init__.py" in PYTHON_FILES
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not available")
    for module in modules:
        symbols = run([nm, "-D", "--defined-only", str(tmp_path / module)]).stdout.splitlines()
        exported = [line.split()[-1] for line in symbols]
        init = "PyInit_" + Path(module).name.split(".")[0]
        assert exported == [init], module


def test_sdist_contents(dists):
    sdist, _ = dists
    top = sdist.name.removesuffix(".tar.gz")
    with tarfile.open(sdist) as archive:
        names = {m.name.removeprefix(top + "/") for m in archive.getmembers() if m.isfile()}
        check_metadata(metadata(archive.extractfile(f"{top}/PKG-INFO").read().decode()))
    for required in ["pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "src/exports.map"]:
        assert required in names
    assert {f"python/{f}" for f in PYTHON_FILES} <= names
    if (ROOT / ".git").exists() and shutil.which("git"):
        tracked = set(run(["git", "ls-files"], cwd=ROOT).stdout.splitlines())
        assert {f for f in tracked if (ROOT / f).is_file()} <= names
    for name in names:
        assert not name.startswith(("build/", ".venv/", "dist/", ".git/")), name
        assert not name.endswith((".so", ".whl", ".pyc")), name


def check_in_fresh_venv(tmp_path, install):
    """A venv without system site packages gets pwpoly by `install` (pip arguments) and runs CHECK
    from a directory outside the tree, with neither the tree nor build tools on its paths; its
    results equal those of the development build bit for bit."""
    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", "--without-pip", str(venv)])
    python = venv / "bin" / "python"
    # This environment's pip installs into the venv, which gets no pip of its own.
    pip = [sys.executable, "-m", "pip", "--python", str(python), "install", "-q"]
    run([*pip, *install], env=offline_pip_env(), cwd=tmp_path)

    script = tmp_path / "check.py"
    script.write_text(CHECK)
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON") and k != "VIRTUAL_ENV"}
    env["PATH"] = os.pathsep.join([str(venv / "bin"), "/usr/bin", "/bin"])
    report = json.loads(run([str(python), str(script)], env=env, cwd=tmp_path).stdout)
    reference = json.loads(run([sys.executable, str(script)], cwd=tmp_path).stdout)

    assert report["results"] == reference["results"]
    site = Path(run([str(python), "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"]).stdout.strip())
    for module in report["modules"]:
        assert Path(module).is_relative_to(site), module
    for entry in report["path"]:
        assert not Path(entry).resolve().is_relative_to(ROOT), entry
    assert report["build_tools"] == []


def test_wheel_installs_into_fresh_venv(dists, tmp_path):
    _, wheel = dists
    check_in_fresh_venv(tmp_path, ["--only-binary=:all:", str(wheel)])


def test_sdist_installs_into_fresh_venv(dists, tmp_path):
    sdist, _ = dists
    check_in_fresh_venv(tmp_path, [str(sdist)])


# Run on 2 processes by the mpiexec of a fresh venv's mpich wheel: parareal across the processes
# and in one process give the same bits.
MPI_CHECK = """
import json
import numpy as np
from mpi4py import MPI
import pwpoly_numpy as pn

comm = MPI.COMM_WORLD
V, A = pn.LegendreSpace(2, 16, 1.0), np.array([[2.0, -1.0], [-1.0, 2.0]])
across = pn.parareal(V, A, [1.0, 0.5], parts=2, comm=comm)
alone = pn.parareal(V, A, [1.0, 0.5], parts=2)
same = across.end.tobytes() == alone.end.tobytes()
print(json.dumps({"rank": comm.Get_rank(), "size": comm.Get_size(), "same": same}))
"""


def test_wheel_with_the_mpi_extra_runs_on_two_processes(dists, tmp_path):
    _, wheel = dists
    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", "--without-pip", str(venv)])
    python = venv / "bin" / "python"
    pip = [sys.executable, "-m", "pip", "--python", str(python), "install", "-q", "--only-binary=:all:"]
    run([*pip, f"{wheel}[mpi]"], env=offline_pip_env(), cwd=tmp_path)
    mpiexec = venv / "bin" / "mpiexec"
    assert mpiexec.exists(), "the extra brings no mpiexec"
    script = tmp_path / "mpi_check.py"
    script.write_text(MPI_CHECK)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "OMPI_", "PMI_", "HYDRA_"))}
    env["PATH"] = os.pathsep.join([str(venv / "bin"), "/usr/bin", "/bin"])
    out = run([str(mpiexec), "-n", "2", str(python), str(script)], env=env, cwd=tmp_path, timeout=300).stdout
    reports = sorted((json.loads(line) for line in out.splitlines()), key=lambda r: r["rank"])
    assert reports == [{"rank": rank, "size": 2, "same": True} for rank in (0, 1)]
