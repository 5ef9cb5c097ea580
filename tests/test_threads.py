"""Threads on one instance, a daemon thread inside a call at interpreter exit, and re-entrant
filling of the process-wide cells."""

import subprocess
import sys
import textwrap
import threading
import time

import pytest

import pwpoly

CHILD_TIME_LIMIT = 60  # seconds; a child that hangs is killed and fails its test


def run_child(code):
    """Runs `code` in a fresh interpreter; a child still running after the time limit fails."""
    try:
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            errors="backslashreplace",
            timeout=CHILD_TIME_LIMIT,
        )
    except subprocess.TimeoutExpired as expired:
        pytest.fail(f"the child process hung (killed after {CHILD_TIME_LIMIT} s); its output: {expired.stdout!r}")


# ---------------------------------------------------------------- readers and a writer


class Yielding:
    """A number whose conversion lets other threads run (time.sleep releases the lock)."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


DEGREE, N_T = 2, 3
SIZE = N_T * (DEGREE + 1)
TIMES = [0.05, 0.4, 0.95]
# Complete coefficient sets the writer cycles through; the evaluator starts with the zero set.
SETS = [[0.0] * SIZE] + [[float((k + 3) ** (i % 4)) - i for i in range(SIZE)] for k in range(4)]


def possible_results():
    """For every time, the values and derivatives of every complete coefficient set."""
    basis = pwpoly.LegendreBasis(DEGREE, N_T, 1.0)
    values, slopes = {}, {}
    for t in TIMES:
        values[t] = {basis.evaluate_at(t, s) for s in SETS}
        reference = pwpoly.LegendreBasisEvaluator(DEGREE, N_T, 1.0)
        slopes[t] = set()
        for s in SETS:
            reference.set_dofs(s)
            slopes[t].add(reference.evaluate_derivative_at(t))
        # distinct sets give distinct results, so a mixed set could not hide among them
        assert len(values[t]) == len(SETS) and len(slopes[t]) == len(SETS)
    return values, slopes


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


def test_readers_and_writer_see_complete_coefficient_sets(fast_switching):
    values, slopes = possible_results()
    ev = pwpoly.LegendreBasisEvaluator(DEGREE, N_T, 1.0)
    basis = pwpoly.LegendreBasis(DEGREE, N_T, 1.0)
    writes_wanted = 100
    done = threading.Event()
    lock = threading.Lock()
    outcomes = {
        "reader errors": [],
        "writer errors": [],
        "other": [],
        "wrong": [],
        "reads": 0,
        "writes": 0,
        "basis reads": 0,
    }

    def record(key, item):
        with lock:
            outcomes[key].append(item)

    def reader(seed):
        n = seed
        while not done.is_set():
            n += 1
            t = TIMES[n % len(TIMES)]
            # every other call holds its shared access while other threads run
            argument = Yielding(t) if n % 2 else t
            derivative = n % 3 == 0
            try:
                result = ev.evaluate_derivative_at(argument) if derivative else ev.evaluate_at(argument)
            except RuntimeError as error:
                record("reader errors", error.args)
            except BaseException as error:  # noqa: BLE001 - any other outcome fails the test
                record("other", repr(error))
            else:
                if result not in (slopes if derivative else values)[t]:
                    record("wrong", (t, derivative, result))
                with lock:
                    outcomes["reads"] += 1
            time.sleep(0)  # and sometimes lets others run between calls

    def writer():
        try:
            for attempt in range(200_000):
                if outcomes["writes"] >= writes_wanted:
                    break
                coefficients = SETS[1 + attempt % (len(SETS) - 1)]
                try:
                    ev.set_dofs([Yielding(x) for x in coefficients])
                except RuntimeError as error:
                    record("writer errors", error.args)
                except BaseException as error:  # noqa: BLE001
                    record("other", repr(error))
                else:
                    with lock:
                        outcomes["writes"] += 1
                time.sleep(0.0002)  # leaves the evaluator to the readers for a while
        finally:
            done.set()

    def basis_reader():
        # LegendreBasis has no exclusive operation: its calls never conflict.
        n = 0
        while not done.is_set():
            n += 1
            t = TIMES[n % len(TIMES)]
            coefficients = SETS[n % len(SETS)]
            try:
                result = basis.evaluate_at(Yielding(t), [Yielding(x) for x in coefficients])
            except BaseException as error:  # noqa: BLE001
                record("other", repr(error))
            else:
                if result != basis.evaluate_at(t, coefficients):
                    record("wrong", ("basis", t, result))
                with lock:
                    outcomes["basis reads"] += 1

    threads = [threading.Thread(target=reader, args=(k,)) for k in range(2)]
    threads += [threading.Thread(target=writer), threading.Thread(target=basis_reader)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads)

    assert outcomes["other"] == [] and outcomes["wrong"] == []
    assert outcomes["writes"] == writes_wanted and outcomes["reads"] > 0 and outcomes["basis reads"] > 0
    assert set(outcomes["reader errors"]) <= {("Already mutably borrowed",)}
    assert set(outcomes["writer errors"]) <= {("Already borrowed",)}
    # Afterwards the evaluator is free and holds the last complete set written.
    ev.set_dofs(SETS[1])
    assert ev.evaluate_at(0.4) == basis.evaluate_at(0.4, SETS[1])


# ---------------------------------------------------------------- a daemon thread at interpreter exit

DAEMON_AT_EXIT = """
    import sys, threading, time
    import pwpoly

    call = sys.argv[1]
    ITEMS = 200
    evaluator = pwpoly.LegendreBasisEvaluator(0, ITEMS, 1.0)
    basis = pwpoly.LegendreBasis(0, ITEMS, 1.0)
    inside = threading.Event()

    class Sleepy:
        def __float__(self):
            inside.set()
            time.sleep(0.001)  # releases the interpreter lock
            return 1.0

    items = [Sleepy() for _ in range(ITEMS)]

    def work():
        while True:
            if call == "set_dofs":
                evaluator.set_dofs(items)
            elif call == "evaluate_at":
                basis.evaluate_at(Sleepy(), items)
            else:
                evaluator.evaluate_at(Sleepy())

    threading.Thread(target=work, daemon=True).start()
    inside.wait()

    class Lingering:
        # Keeps finalisation busy, with the lock released, while the daemon thread wakes up.
        def __del__(self):
            time.sleep(0.2)

    cycle = Lingering()
    cycle.self = cycle
    del cycle
    print("main thread done", flush=True)
"""


@pytest.mark.parametrize("call", ["set_dofs", "evaluate_at", "evaluator.evaluate_at"])
def test_daemon_thread_inside_a_call_at_exit(call):
    # The interpreter ends such a thread with a forced unwind, which must pass the boundary.
    child = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(DAEMON_AT_EXIT), call],
        capture_output=True,
        text=True,
        errors="backslashreplace",
        timeout=CHILD_TIME_LIMIT,
    )
    assert child.stdout == "main thread done\n"
    assert "fault" not in child.stderr and "terminate" not in child.stderr, child.stderr
    assert child.returncode == 0, child.stderr


# ---------------------------------------------------------------- re-entrant filling of process-wide cells

REENTRANT_IMPORT = """
    import builtins, threading
    import pwpoly

    mode = {mode!r}
    original_import = builtins.__import__
    basis = pwpoly.LegendreBasis(1, 2, 1.0)
    inner = []

    def call():
        try:
            basis.evaluate_at(0.5, 5)
        except TypeError as error:
            return str(error)
        return "no error"

    def hook(name, *args, **kwargs):
        # The first non-sequence argument imports collections.abc to name it in the message.
        if name == "collections.abc" and not inner:
            inner.append(None)
            if mode == "same thread":
                inner[0] = call()
            else:
                helper = threading.Thread(target=lambda: inner.__setitem__(0, call()))
                helper.start()
                helper.join()
        return original_import(name, *args, **kwargs)

    builtins.__import__ = hook
    outer = call()
    builtins.__import__ = original_import
    print(repr(inner))
    print(repr(outer))
    print(repr(call()))
"""


@pytest.mark.parametrize("mode", ["same thread", "other thread"])
def test_reentrant_fill_of_the_sequence_cell(mode):
    child = run_child(REENTRANT_IMPORT.format(mode=mode))
    message = "argument 'legendre_vals': 'int' object cannot be cast as 'Sequence'"
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [repr([message]), repr(message), repr(message)]
