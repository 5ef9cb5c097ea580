"""Work over several threads: the same bits for every worker count, the interpreter lock released
during long kernels (other threads run, the buffers read stay put), the pool in a forked child and
at interpreter exit."""

import array
import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from pwpoly_numpy import LagrangeSpace, LegendreSpace, _kernels

COUNTS = [2, 3, -1]
# Enough times or rows to be split: a part holds at least 8192 times, 4096 rows or intervals.
MANY = 40_000


def identical(a, b):
    """The same values to the bit (NaN payloads included), or the same sparse arrays."""
    if isinstance(a, tuple):
        return all(identical(x, y) for x, y in zip(a, b, strict=True))
    if hasattr(a, "indptr"):
        return (
            a.shape == b.shape
            and a.indices.dtype == b.indices.dtype
            and np.array_equal(a.indptr, b.indptr)
            and np.array_equal(a.indices, b.indices)
            and identical(a.data, b.data)
        )
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def calls(degree, n_t, seed):
    """Every method taking `workers`, as a function of it, on inputs large enough to be split."""
    rng = np.random.default_rng(seed)
    W = LagrangeSpace(max(degree, 1), 2 * MANY // max(degree, 1) // 3 + n_t, 1.0)
    V = LegendreSpace(degree, 2 * MANY // (degree + 1) + n_t, 1.0)  # rows enough for the operators
    U = LagrangeSpace(max(degree, 1), V.n_t, 1.0)
    target = LegendreSpace(2, V.n_t // 2 + n_t, 1.0)
    fine = LagrangeSpace(W.degree, W.n_t + n_t + 1, 1.0)
    times = rng.uniform(-0.1, 1.1, MANY)
    times[::997] = np.nan
    if seed % 2:
        times.sort()
    C = rng.standard_normal((1 + seed % 3, V.size))
    u = rng.standard_normal(W.size)
    rows = range(seed % 1000, fine.size - seed % 7)
    return {
        "LegendreSpace.evaluate": lambda w: V.evaluate(C, times, derivative=seed % 2, workers=w),
        "LegendreSpace.evaluate, slab": lambda w: V.evaluate(
            C[:, V.slab(0, V.n_t).rows], times.clip(0.0, 1.0), slab=V.slab(0, V.n_t), workers=w
        ),
        "LegendreSpace.locate": lambda w: V.locate(times, workers=w),
        "LegendreSpace.basis_matrix": lambda w: V.basis_matrix(times, derivative=seed % 2, workers=w),
        "LegendreSpace.mass_matrix": lambda w: V.mass_matrix(workers=w),
        "LegendreSpace.mass_matrix, Lagrange trial": lambda w: V.mass_matrix(trial=U, workers=w),
        "LegendreSpace.derivative_matrix, upwind": lambda w: V.derivative_matrix(upwind=True, workers=w),
        "LagrangeSpace.derivative_matrix": lambda w: U.derivative_matrix(rows=range(3, U.size), workers=w),
        "LegendreSpace.projection_to": lambda w: V.projection_to(target, workers=w),
        "LegendreSpace.project": lambda w: LegendreSpace(degree, 9000 + n_t, 1.0).project(
            lambda t: np.stack([np.sin(t), t * t]), workers=w
        ),
        "LagrangeSpace.evaluate": lambda w: W.evaluate(u, times, workers=w),
        "LagrangeSpace.prolongation_to": lambda w: W.prolongation_to(fine, rows=rows, workers=w),
        "LagrangeSpace.to_legendre": lambda w: W.to_legendre(workers=w),
        "LagrangeSpace.mass_matrix": lambda w: W.mass_matrix(rows=range(seed % 5, W.size), workers=w),
    }


@settings(max_examples=6, deadline=None)
@given(degree=st.integers(1, 8), n_t=st.integers(1, 3000), seed=st.integers(0, 2**16))
def test_every_worker_count_gives_the_same_bits(degree, n_t, seed):
    for name, call in calls(degree, n_t, seed).items():
        serial = call(1)
        for workers in COUNTS:
            assert identical(call(workers), serial), (name, workers)


def test_a_prolongation_row_short_of_its_room_is_closed_up():
    # A fine node on a coarse node (bit for bit) stores one entry where its room is two: in the
    # middle of the rows, in a part other than the first.
    coarse = LagrangeSpace(1, 2, 1.0)
    n = 24_000
    fine = LagrangeSpace(1, breakpoints=np.linspace(0.0, 1.0, n + 1))
    serial = coarse.prolongation_to(fine)
    assert serial.nnz < 2 * fine.size and serial[[n // 2], :].toarray().tolist() == [[0.0, 1.0, 0.0]]
    for workers in COUNTS:
        assert identical(coarse.prolongation_to(fine, workers=workers), serial)


@pytest.mark.parametrize(
    "value, error, text",
    [
        (0, ValueError, "workers: expected an integer >= 1, or -1 for every core, got 0"),
        (-2, ValueError, "workers: expected an integer >= 1, or -1 for every core, got -2"),
        (2.0, TypeError, "workers: expected an integer, got 2.0 (float)"),
        (True, TypeError, "workers: expected an integer, got True (bool)"),
    ],
)
def test_workers_follow_scipys_convention(value, error, text):
    V, W = LegendreSpace(1, 4, 1.0), LagrangeSpace(1, 4, 1.0)
    for call in (
        lambda: V.evaluate([0.0] * 8, [0.5], workers=value),
        lambda: V.locate([0.5], workers=value),
        lambda: V.basis_matrix([0.5], workers=value),
        lambda: V.mass_matrix(workers=value),
        lambda: V.project(np.sin, workers=value),
        lambda: W.to_legendre(workers=value),
        lambda: W.prolongation_to(W, workers=value),
        lambda: W.mass_matrix(workers=value),
        lambda: W.evaluate([0.0] * 5, [0.5], workers=value),
        lambda: W.derivative_matrix(workers=value),
        lambda: V.projection_to(V, workers=value),
    ):
        with pytest.raises(error) as caught:
            call()
        assert str(caught.value) == text


# ---------------------------------------------------------------- the interpreter lock

LONG = 10**7


@pytest.fixture
def rare_switching():
    """No forced switch of the interpreter lock within a call: another thread runs only if the
    call releases the lock itself (so such a thread must let go of it by itself, time.sleep(0))."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    yield
    sys.setswitchinterval(interval)


def test_another_thread_runs_during_a_long_evaluation(rare_switching):
    V = LegendreSpace(3, 1000, 1.0)
    c = np.ones(V.size)
    times = np.linspace(0.0, 1.0, LONG)
    counter = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            counter[0] += 1
            time.sleep(0)

    thread = threading.Thread(target=count)
    thread.start()
    try:
        before = counter[0]
        V.evaluate(c, times)
        during = counter[0] - before
    finally:
        stop.set()
        thread.join()
    assert during > 0


@pytest.mark.parametrize("kind", ["array.array", "ndarray"])
def test_a_buffer_read_without_the_lock_cannot_be_resized(rare_switching, kind):
    V = LegendreSpace(2, 100, 1.0)
    c = np.linspace(-1.0, 1.0, V.size)
    values = np.random.default_rng(1).uniform(0.0, 1.0, LONG)
    times = array.array("d", values.tobytes()) if kind == "array.array" else values.copy()
    expected = V.evaluate(c, values)
    out = np.empty(LONG)
    refused, go, finished = [], threading.Event(), threading.Event()

    def resize():
        # Woken just before the kernel starts, it gets the lock once the kernel releases it, and
        # tries until the kernel has returned.
        go.wait()
        while not finished.is_set():
            try:
                if kind == "array.array":
                    times.append(0.5)
                else:
                    times.resize(2 * LONG)
            except (BufferError, ValueError) as error:
                refused.append(type(error))
            else:
                break
            time.sleep(0)

    resizer = threading.Thread(target=resize)
    resizer.start()
    # The kernel itself, so that its own hold on the buffer is all that keeps it in place.
    go.set()
    done = _kernels.evaluate(2, 100, 1.0, np.empty(0), 0, 100, 0, c, times, 0, out, 1)
    finished.set()
    resizer.join()
    assert done == LONG and identical(out, expected)
    assert refused and set(refused) == {BufferError if kind == "array.array" else ValueError}


# ---------------------------------------------------------------- fork and exit


def run_child(code, *arguments):
    child = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *arguments], capture_output=True, text=True, timeout=120
    )
    return child


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork on this platform")
def test_the_pool_works_in_a_forked_child():
    child = run_child("""
        import os, warnings
        import numpy as np
        from pwpoly_numpy import LegendreSpace
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
        V = LegendreSpace(3, 100, 1.0)
        c = np.arange(V.size, dtype=float)
        t = np.linspace(0.0, 1.0, 100_000)
        parent = V.evaluate(c, t, workers=2)  # the pool exists now
        pid = os.fork()
        if pid == 0:
            os._exit(0 if V.evaluate(c, t, workers=2).tobytes() == parent.tobytes() else 1)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
    """)
    assert child.returncode == 0, child.stderr
    assert child.stdout == "0\n"


def test_exit_with_a_kernel_running_in_a_daemon_thread():
    child = run_child("""
        import threading
        import numpy as np
        from pwpoly_numpy import LegendreSpace
        V = LegendreSpace(3, 1000, 1.0)
        c = np.ones(V.size)
        t = np.linspace(0.0, 1.0, 10**7)
        started = threading.Event()

        def work():
            while True:
                started.set()
                V.evaluate(c, t, workers=2)

        threading.Thread(target=work, daemon=True).start()
        started.wait()
        print("main thread done", flush=True)
    """)
    assert child.stdout == "main thread done\n"
    assert child.returncode == 0 and child.stderr == "", child.stderr
