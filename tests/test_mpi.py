"""The parallel-in-time example under MPI: on 2 and 3 processes it gives the serial results bit for
bit; a hung rank fails the run within a time limit instead of stalling it."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import pwpoly_numpy as pn

try:  # mpi4py.MPI itself is not imported here: that would start MPI in the test process
    import mpi4py  # noqa: F401
except ImportError as error:
    pytest.skip(f"mpi4py is not importable ({error}); requirements-dev.txt installs it", allow_module_level=True)


def find_mpiexec():
    beside = Path(sys.executable).parent / "mpiexec"  # the one of the venv's mpich wheel
    return str(beside) if beside.exists() else shutil.which("mpiexec")


MPIEXEC = find_mpiexec()
if MPIEXEC is None:
    pytest.skip(
        "no mpiexec beside the interpreter or on PATH; requirements-dev.txt installs it", allow_module_level=True
    )

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "parallel_in_time.py"
TIME_LIMIT = 180  # seconds for one run of the example; the sanitizer run is several times slower


def run_limited(command, limit):
    """Runs `command` in a session of its own; returns (exit status, stdout, stderr). Past `limit`
    seconds the test fails, after mpiexec's process group is terminated (mpiexec passes SIGTERM
    on to every rank and reaps them) and, if that does not end it, killed."""
    process = subprocess.Popen(
        command,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
    )
    try:
        out, err = process.communicate(timeout=limit)
    except subprocess.TimeoutExpired:
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(process.pid, sig)
            except ProcessLookupError:
                pass
            try:
                out, err = process.communicate(timeout=10)
                break
            except subprocess.TimeoutExpired:
                out, err = "", ""
        pytest.fail(f"{' '.join(command)} did not finish within {limit} s (stopped)\nstdout:\n{out}\nstderr:\n{err}")
    return process.returncode, out, err


def run_example(tmp_path, processes):
    """Runs the example (on `processes` MPI processes, or without mpiexec for None), returns its
    report lines and saved arrays."""
    saved = tmp_path / f"result-{processes}.npz"
    command = [sys.executable, str(EXAMPLE), "--save", str(saved)]
    if processes is not None:
        command = [MPIEXEC, "-n", str(processes)] + command
    status, out, err = run_limited(command, TIME_LIMIT)
    assert status == 0, f"exit status {status}\nstdout:\n{out}\nstderr:\n{err}"
    with np.load(saved) as arrays:
        return out.splitlines(), dict(arrays)


def serial_reference(times):
    """The example's computation with the whole operators on one process."""
    sys.path.insert(0, str(EXAMPLE.parent))
    try:
        import parallel_in_time as example  # its mpi4py.MPI import is deferred to main()
    finally:
        sys.path.pop(0)
    coarse = pn.LagrangeSpace(example.DEGREE, example.NT_COARSE, example.T)
    fine = pn.LagrangeSpace(example.DEGREE, example.NT_COARSE * example.REFINEMENT, example.T)
    u_fine = coarse.prolongation_to(fine) @ coarse.interpolate(example.exact)
    c = fine.to_legendre() @ u_fine
    V = fine.legendre_space()
    assert np.array_equal(times, np.linspace(0.0, example.T, example.SAMPLES))
    return {
        "u_fine": u_fine,
        "times": times,
        "values": V.evaluate(c, times),
        "slopes": V.evaluate(c, times, derivative=1),
    }


def same_bits(a, b):
    return (
        a.dtype == b.dtype == np.float64 and a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))
    )


@pytest.fixture(scope="module")
def serial(tmp_path_factory):
    return run_example(tmp_path_factory.mktemp("serial"), None)


def report(lines):
    """The report without the lines that name the process count and the slabs."""
    return [line for line in lines if not line.startswith(("degree ", "fine slabs"))]


def test_serial_run_equals_whole_operators(serial):
    lines, arrays = serial
    reference = serial_reference(arrays["times"])
    assert arrays.keys() == reference.keys()
    for name in reference:
        assert same_bits(arrays[name], reference[name]), name
    assert "row-distributed P @ u equals the serial product bit for bit: True" in lines
    assert len(report(lines)) == 4


@pytest.mark.parametrize("processes", [2, 3])
def test_mpi_run_equals_serial_run(tmp_path, serial, processes):
    lines, arrays = run_example(tmp_path, processes)
    serial_lines, serial_arrays = serial
    assert f"{processes} processes" in lines[0]
    assert lines[1].count("[") == processes
    assert report(lines) == report(serial_lines)  # the errors in hexadecimal: every bit
    for name in serial_arrays:
        assert same_bits(arrays[name], serial_arrays[name]), name


HANGING = """
import os, sys, time
from mpi4py import MPI
comm = MPI.COMM_WORLD
with open(os.path.join(sys.argv[1], f"{comm.rank}.pid"), "w") as f:
    f.write(str(os.getpid()))
comm.Barrier()
if comm.rank == 1:
    time.sleep(3600)
comm.Barrier()
"""


def running(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")  # a zombie has ended
    except FileNotFoundError:
        return False


@pytest.mark.skipif(not Path("/proc/self/stat").exists(), reason="needs /proc to see the ranks")
def test_hung_rank_fails_within_the_limit_and_leaves_no_process(tmp_path):
    script = tmp_path / "hang.py"
    script.write_text(HANGING)
    limit = 10  # time enough for three interpreters to start, also under the sanitizers
    start = time.monotonic()
    with pytest.raises(pytest.fail.Exception, match=f"did not finish within {limit} s"):
        run_limited([MPIEXEC, "-n", "3", sys.executable, str(script), str(tmp_path)], limit)
    assert time.monotonic() - start < limit + 25
    pids = [int(p.read_text()) for p in sorted(tmp_path.glob("*.pid"))]
    assert len(pids) == 3, "the ranks did not start within the limit"
    deadline = time.monotonic() + 10
    while any(running(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert not any(running(pid) for pid in pids)


PARAREAL = EXAMPLE.parent / "parareal.py"
SUMMARY = re.compile(r"iterations (\d+): contraction (\S+) \(bound (\S+)\)")
LEADING = re.compile(r"first (\d+) of (\d+) slabs equal the serial solution bit for bit")


@pytest.mark.parametrize("processes", [2, 3])
def test_parareal_example_converges_within_its_bound(processes):
    status, out, err = run_limited([MPIEXEC, "-n", str(processes), sys.executable, str(PARAREAL)], TIME_LIMIT)
    assert status == 0, f"exit status {status}\nstdout:\n{out}\nstderr:\n{err}"
    lines = out.splitlines()
    assert f"{8 * processes} slabs on {processes} processes" in lines[0]
    residuals = [float(line.split()[-1]) for line in lines if line.startswith("iteration ")]
    assert residuals == sorted(residuals, reverse=True) and residuals[-1] <= 1e-10 < residuals[-2]
    ((iterations, contraction, bound),) = [
        SUMMARY.fullmatch(line).groups() for line in lines if SUMMARY.fullmatch(line)
    ]
    assert int(iterations) == len(residuals) - 1
    assert 0.0 < float(contraction) <= float(bound)
    ((leading, parts),) = [LEADING.fullmatch(line).groups() for line in lines if LEADING.fullmatch(line)]
    assert int(iterations) + 1 <= int(leading) < int(parts)  # converged before the slabs ran out
    errors = {line.rsplit(":", 1)[0]: float(line.rsplit(":", 1)[1]) for line in lines if line.startswith("error")}
    assert errors["error at T against the serial solution"] <= 1e-11
    assert errors["error at the slab starts against the serial solution"] <= 1e-9
    assert errors["error at T against exp(lambda T)"] <= 1e-10


def test_parareal_example_has_help():
    status, out, err = run_limited([sys.executable, str(PARAREAL), "--help"], TIME_LIMIT)
    assert status == 0 and "--slabs-per-rank" in out and "--tol" in out, err


PARALLEL_IN_TIME = Path(__file__).resolve().parent / "mpi_parallel_in_time.py"


@pytest.mark.parametrize("processes", [2, 3])
def test_parareal_and_mgrit_give_the_bits_of_one_process_and_fail_together(processes):
    status, out, err = run_limited([MPIEXEC, "-n", str(processes), sys.executable, str(PARALLEL_IN_TIME)], TIME_LIMIT)
    assert status == 0, f"exit status {status}\nstdout:\n{out}\nstderr:\n{err}"
    report = json.loads(out.splitlines()[-1])
    assert report["size"] == processes
    assert report["problems"] == {}
    # The failing rank raises its own error, every other one a RuntimeError naming it.
    for case, (rank, message) in ONE_RANK_FAILS.items():
        raised = report["failures"][case]
        failing = rank % processes
        assert raised[failing].startswith(message), (case, raised)
        others = [text for rank, text in enumerate(raised) if rank != failing]
        assert others == [f"RuntimeError: comm: rank {failing} of {processes} raised {raised[failing]}"] * (
            processes - 1
        ), (case, raised)
    # Arguments that differ: the same error on every rank, naming the argument.
    for case, name in DIFFERING.items():
        raised = report["failures"][case]
        assert raised == [raised[0]] * processes, (case, raised)
        assert raised[0].startswith(f"ValueError: {name}: expected the same on every process of comm"), raised
    assert set(report["failures"]) == set(ONE_RANK_FAILS) | set(DIFFERING)


ONE_RANK_FAILS = {  # case: (the failing rank, -1 the last; the start of its message)
    "f raises on rank 1": (1, "ValueError: f: no values here"),
    "f not finite on rank 1": (1, "ValueError: f: expected finite values, got nan at t = "),
    "KeyboardInterrupt in f on the last rank": (-1, "KeyboardInterrupt: stop"),
    "KeyboardInterrupt in a propagator on rank 1": (1, "KeyboardInterrupt: stop"),
}
DIFFERING = {
    "u0 not finite on the last rank": "u0",
    "u0 length differs": "u0",
    "tol differs": "tol",
    "max_iterations differs": "max_iterations",
    "relaxation differs": "relaxation",
    "nested differs": "nested",
    "parts differs": "parts",
    "levels differs": "levels",
    "n_t differs": "space",
    "degree differs": "space",
    "space kind differs": "space",
    "A differs": "A",
    "A's structure differs": "A",
}


def test_demo_on_two_processes_agrees_with_the_serial_solve():
    demo = EXAMPLE.parent / "demo.py"
    status, out, err = run_limited([MPIEXEC, "-n", "2", sys.executable, str(demo), "--mpi"], TIME_LIMIT)
    assert status == 0, f"exit status {status}\nstdout:\n{out}\nstderr:\n{err}"
    assert "on 2 MPI processes" in out.splitlines()[0]
    differences = [float(line.rsplit(":", 1)[1]) for line in out.splitlines() if "largest difference" in line]
    assert len(differences) == 2 and max(differences) < 1e-9, out
    assert out.count("the same bits as the same iterations in one process: True") == 2, out
