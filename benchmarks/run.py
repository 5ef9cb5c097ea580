"""pwpoly benchmarks: every figure is a ratio to a baseline timed in the same rounds.

    tools/dev bench [--quick] [--only WORD ...]      (or: python benchmarks/run.py ...)

Each row times pwpoly's call and its baseline in interleaved rounds (see timing.py): in every
round both run, in rotating order, each repeated often enough to last well above the clock's
resolution, with the cyclic collector off (it runs between rounds). The figure is the median over
the rounds of the per-round ratio ours / baseline, so lower is better; the interquartile range and
the number of rounds stand beside it. Absolute times (medians per call) are for orientation only.

The table is printed and written to benchmarks/results/latest.md (latest-quick.md for --quick,
latest-partial.md for --only).
The baselines themselves are checked against pwpoly by `python -m pytest benchmarks/test_peers.py`
(tools/dev bench runs it first); the operator baselines are checked again at every size timed.
"""

import argparse
import array
import datetime
import gc
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass

import numpy as np
import scipy

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from heat_2d_rows import heat_2d_peer_rows  # noqa: E402
from solver_rows import solver_rows  # noqa: E402

import peers  # noqa: E402
import pwpoly  # noqa: E402
from timing import Contender, measure, summary  # noqa: E402

try:
    import pwpoly_numpy
except ImportError:
    pwpoly_numpy = None


# ---------------------------------------------------------------------------------------------
# Rows and formatting


@dataclass
class Row:
    section: str
    name: str
    ours: str
    baseline: str
    figure: float = math.nan
    q1: float = math.nan
    q3: float = math.nan
    unit: str = "×"
    rounds: str = ""
    target: tuple = None  # ("<=", value) or None for an informational row
    note: str = ""
    failed: str = ""  # a wrong result or an error: the row cannot be met
    status: str = ""  # overrides the judgement (a row that did not run)

    def met(self):
        if self.status:
            return self.status
        if self.failed:
            return "not met (" + self.failed + ")"
        if self.target is None:
            return "info"
        if math.isnan(self.figure):
            return "n/a"
        return "met" if self.figure <= self.target[1] else "not met"

    def cells(self):
        if math.isnan(self.figure):
            figure = iqr = "—"
        else:
            figure = f"{fmt_number(self.figure)}{self.unit_text()}"
            if self.target is not None and fmt_number(self.figure) == fmt_number(self.target[1]):
                figure = f"{self.figure:.4g}{self.unit_text()}"  # enough digits to show the judgement"
            iqr = "—" if math.isnan(self.q1) else f"{fmt_number(self.q1)}–{fmt_number(self.q3)}{self.unit_text()}"
        target = "—" if self.target is None else f"≤ {fmt_number(self.target[1])}{self.unit_text()}"
        name = self.name + (f" ({self.note})" if self.note else "")
        return [name, self.ours, self.baseline, figure, iqr, self.rounds, target, self.met()]

    def unit_text(self):
        return self.unit if self.unit == "×" else " " + self.unit


HEADER = ["Row", "Ours", "Baseline", "Figure (median)", "IQR", "Rounds", "Target", "Met"]


def fmt_number(x):
    if math.isnan(x):
        return "nan"
    if math.isinf(x):
        return "∞" if x > 0 else "−∞"
    magnitude = abs(x)
    if magnitude >= 100:
        return f"{x:.0f}"
    if magnitude >= 10:
        return f"{x:.1f}"
    if magnitude >= 0.1:
        return f"{x:.2f}"
    return f"{x:.3g}"


def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def fmt_bytes(count):
    return f"{count / 2**20:.1f} MiB"


def fmt_count(n):
    exponent = round(math.log10(n)) if n > 0 else 0
    return f"1e{exponent}" if 10**exponent == n else str(n)


class Suite:
    def __init__(self, quick, only):
        self.quick = quick
        self.only = only
        self.rows = []
        self.min_time = 0.005 if quick else 0.01
        self.max_rounds = 7 if quick else 25
        self.min_rounds = 3 if quick else 7
        self.budget = 0.6 if quick else 2.0
        # Past this many seconds every remaining group runs the fewest rounds, so that a loaded
        # machine still finishes the default run in about five minutes.
        self.started = time.perf_counter()
        self.soft_limit = 60.0 if quick else 210.0
        self.guard_engaged = False

    def wanted(self, section):
        return not self.only or any(word in section for word in self.only)

    def add(self, row):
        self.rows.append(row)
        cells = row.cells()
        print(
            f"  {cells[0]}\n      ours {cells[1]} | baseline {cells[2]} | {cells[3]} [IQR {cells[4]}]"
            f" | {cells[5]} rounds | target {cells[6]} | {cells[7]}",
            flush=True,
        )

    def time(self, contenders, *, min_rounds=None, budget=None):
        """Interleaved rounds; groups whose round lasts over a second get at least 5 rounds, not 7."""
        min_rounds = min_rounds or self.min_rounds
        budget = budget or self.budget
        if time.perf_counter() - self.started > self.soft_limit:
            if not self.guard_engaged:
                print("  [time guard: the remaining groups run 3 rounds]", flush=True)
            self.guard_engaged = True
            min_rounds, budget = 3, 0.0
        return measure(
            contenders,
            min_time=self.min_time,
            min_rounds=min_rounds,
            max_rounds=self.max_rounds,
            budget=budget,
            slow_round=1.0,
            slow_min_rounds=min(min_rounds, 5),
        )

    def ratio_row(self, section, name, measurement, ours, baseline, baseline_label, target, note="", failed=""):
        """Row of the per-round ratio ours / baseline (baseline: one name or a list, the fastest per round)."""
        names = baseline if isinstance(baseline, list) else [baseline]
        ratios = measurement.per_round(lambda r: r[ours] / min(r[b] for b in names))
        median, q1, q3 = summary(ratios)
        if len(names) > 1:
            fastest = min(names, key=measurement.median_time)
            baseline_text = (
                f"{baseline_label}: faster per round of "
                + ", ".join(f"{b} {fmt_time(measurement.median_time(b))}" for b in names)
                + f" (usually {fastest})"
            )
        else:
            baseline_text = f"{baseline_label} {fmt_time(measurement.median_time(names[0]))}"
        self.add(
            Row(
                section,
                name,
                fmt_time(measurement.median_time(ours)),
                baseline_text,
                median,
                q1,
                q3,
                "×",
                str(measurement.rounds),
                target,
                note,
                failed,
            )
        )
        return median


# ---------------------------------------------------------------------------------------------
# Issue rows: pwpoly's list interface


def sequence_inputs(suite):
    section = "inputs"
    n_t, degree, t = 25_000, 3, 0.3
    size = n_t * (degree + 1)
    print(f"\nCoefficient vectors of {fmt_count(size)} floats, read per call", flush=True)
    values = np.random.default_rng(1).standard_normal(size)
    basis = pwpoly.LegendreBasis(degree, n_t, 1.0)
    evaluator = pwpoly.LegendreBasisEvaluator(degree, n_t, 1.0)
    kinds = [
        ("float64 numpy.ndarray", values.copy(), "v.copy()", "`v.copy()`", 3.0),
        ("array('d')", array.array("d", values.tolist()), "v[:]", "`v[:]` (memcpy; array has no .copy())", 3.0),
        ("list of floats", values.tolist(), "v.copy()", "`list.copy()`", 1.3),
        ("tuple of floats", tuple(values.tolist()), "list(v)", "`list(v)` (tuple(v) is v itself)", 1.3),
        # Items that are not floats go one by one through the interpreter's conversion: the cost
        # stays linear in the length, below making the float objects.
        (
            "list of ints",
            np.rint(values * 1000).astype(int).tolist(),
            "list(map(float, v))",
            "`list(map(float, v))`",
            1.3,
        ),
    ]
    for label, v, floor, floor_label, target in kinds:
        namespace = {"basis": basis, "evaluator": evaluator, "v": v, "t": t}
        for call, statement in (
            ("LegendreBasis.evaluate_at(t, v)", "basis.evaluate_at(t, v)"),
            ("LegendreBasisEvaluator.set_dofs(v)", "evaluator.set_dofs(v)"),
        ):
            m = suite.time([Contender("ours", statement, namespace), Contender("floor", floor, namespace)])
            suite.ratio_row(
                section, f"{call}, v a {label} of {fmt_count(size)}", m, "ours", "floor", floor_label, ("<=", target)
            )


def all_basis(suite):
    section = "all-basis"
    n_t, degree = 250_000, 3
    n = n_t * (degree + 1)
    print(f"\nAll basis functions at one time, {fmt_count(n)} entries", flush=True)
    namespace = {"basis": pwpoly.LegendreBasis(degree, n_t, 1.0), "t": 0.3, "n": n}
    for call in ("evaluate_all_basis_functions", "evaluate_all_basis_function_derivatives"):
        m = suite.time([Contender("ours", f"basis.{call}(t)", namespace), Contender("floor", "[0.0] * n", namespace)])
        suite.ratio_row(
            section,
            f"LegendreBasis.{call}(t), LegendreBasis(3, 250000, 1.0)",
            m,
            "ours",
            "floor",
            "`[0.0] * n`",
            ("<=", 2.0),
        )


OPERATORS = {
    "prolongation": (
        "lagrange_prolongation_matrix(n, 2n, 3)",
        "pwpoly.lagrange_prolongation_matrix(n, 2 * n, 3)",
        "prolongation_triplets(n, 2 * n, 3)",
        True,
    ),
    "to_legendre": (
        "lagrange_to_legendre_basis_transformation(3, n)",
        "pwpoly.lagrange_to_legendre_basis_transformation(3, n)",
        "to_legendre_triplets(3, n)",
        False,
    ),
}


def operators(suite):
    section = "operators"
    sizes = [10**2, 10**3, 10**4, 10**5] + ([] if suite.quick else [10**6])
    print(
        "\nSparse operators as triplet lists; the floor is three prebuilt numpy arrays of the result's"
        " lengths and dtypes, .tolist() each",
        flush=True,
    )
    worst = []
    for label, statement, peer_statement, bitwise_expected in OPERATORS.values():
        for n in sizes:
            result = eval(statement, {"pwpoly": pwpoly, "n": n})
            entries = len(result[0])
            rows = np.array(result[0], dtype=np.int64)
            cols = np.array(result[1], dtype=np.int64)
            vals = np.array(result[2], dtype=np.float64)
            peer = eval(peer_statement, vars(peers), {"n": n})
            structure, difference, bitwise = peers.compare_triplets((rows, cols, vals), peer)
            if not structure:
                check, failed = "peer triplets differ", "peer differs"
            elif bitwise:
                check, failed = "peer checked: same triplets, values bitwise", ""
            else:
                check, failed = f"peer checked: same structure, values within {difference:.2g}", ""
                if bitwise_expected:
                    failed = "peer differs in bits"
            del result, peer
            namespace = {
                "pwpoly": pwpoly,
                "n": n,
                "rows": rows,
                "cols": cols,
                "vals": vals,
                "prolongation_triplets": peers.prolongation_triplets,
                "to_legendre_triplets": peers.to_legendre_triplets,
            }
            heavy = n >= 10**6
            m = suite.time(
                [
                    Contender("ours", statement, namespace),
                    Contender("floor", "(rows.tolist(), cols.tolist(), vals.tolist())", namespace),
                    Contender("numpy peer", peer_statement, namespace),
                ],
                min_rounds=3 if heavy else None,
            )
            name = f"{label}, n = {fmt_count(n)} ({entries} entries)"
            ratio = suite.ratio_row(section, name, m, "ours", "floor", "floor", ("<=", 1.3))
            worst.append((ratio, label, n))
            native = m.per_round(lambda r: (r["ours"] - r["floor"]) / entries * 1e9)
            median, q1, q3 = summary(native)
            suite.add(
                Row(
                    section,
                    f"{label}, n = {fmt_count(n)}: native part per entry (ours − floor) / entries",
                    fmt_time(m.median_time("ours")),
                    f"floor {fmt_time(m.median_time('floor'))}",
                    median,
                    q1,
                    q3,
                    "ns",
                    str(m.rounds),
                    ("<=", 10.0),
                )
            )
            suite.ratio_row(
                section,
                f"{label}, n = {fmt_count(n)}: pwpoly call vs numpy peer (arrays)",
                m,
                "ours",
                "numpy peer",
                "numpy peer",
                None,
                note=check,
                failed=failed,
            )
            del rows, cols, vals, namespace, m
            gc.collect()
    ratio, label, n = max(worst)
    suite.add(
        Row(
            section,
            f"both operators, worst ratio to the floor over n = {fmt_count(sizes[0])} … {fmt_count(sizes[-1])}",
            "—",
            f"worst: {label}, n = {fmt_count(n)}",
            ratio,
            math.nan,
            math.nan,
            "×",
            "—",
            ("<=", 1.3),
        )
    )


def evaluator_calls(suite):
    section = "evaluator"
    print("\nLegendreBasisEvaluator.evaluate_at(t): the cost of one call", flush=True)
    rng = np.random.default_rng(2)
    for degree in (1, 3):
        for n_t in (10, 10**6):
            evaluator = pwpoly.LegendreBasisEvaluator(degree, n_t, 1.0)
            evaluator.set_dofs(rng.standard_normal(n_t * (degree + 1)).tolist())
            dt = 1.0 / n_t
            for where, t in (("first", 0.3 * dt), ("middle", (n_t // 2 + 0.3) * dt), ("last", 1.0 - 0.7 * dt)):
                namespace = {"evaluator": evaluator, "math": math, "t": t}
                m = suite.time(
                    [
                        Contender("ours", "evaluator.evaluate_at(t)", namespace),
                        Contender("floor", "math.ldexp(t, 0)", namespace),
                    ]
                )
                suite.ratio_row(
                    section,
                    f"LegendreBasisEvaluator({degree}, {fmt_count(n_t)}, 1.0).evaluate_at(t),"
                    f" t in the {where} interval",
                    m,
                    "ours",
                    "floor",
                    "`math.ldexp(t, 0)`",
                    ("<=", 1.3),
                )


def memory(suite):
    section = "memory"
    n = 10**4 if suite.quick else 2 * 10**4
    print("\nPeak memory of one operator call, fresh interpreter per measurement", flush=True)
    probe = os.path.join(HERE, "memory_probe.py")
    for operator, label in (
        ("prolongation", "lagrange_prolongation_matrix(n, 2n, 3)"),
        ("to_legendre", "lagrange_to_legendre_basis_transformation(3, n)"),
    ):
        for method, what in (
            ("tracemalloc", "tracemalloc peak (Python allocations only)"),
            ("rss", "resident-set peak growth (native allocations included)"),
        ):
            runs = []
            for _ in range(1 if suite.quick or method == "tracemalloc" else 3):
                output = subprocess.run(
                    [sys.executable, probe, method, operator, str(n)], check=True, capture_output=True, text=True
                ).stdout
                runs.append(json.loads(output))
            ratios = [r["peak"] / r["result"] for r in runs]
            median, q1, q3 = summary(ratios)
            peak = statistics.median(r["peak"] for r in runs)
            suite.add(
                Row(
                    section,
                    f"{label}, n = {fmt_count(n)}, {runs[0]['entries']} entries: {what}",
                    f"peak {fmt_bytes(peak)}",
                    f"returned lists {fmt_bytes(runs[0]['result'])}",
                    median,
                    q1,
                    q3,
                    "×",
                    str(len(runs)),
                    ("<=", 1.4),
                    note="" if method == "tracemalloc" else runs[0]["how"],
                )
            )


# ---------------------------------------------------------------------------------------------
# Issue rows: the array interface (pwpoly_numpy)


def guarded(suite, section, name, function):
    """Runs one group of array-interface rows; an error becomes a failed row instead of ending the run."""
    try:
        function()
    except Exception as error:  # noqa: BLE001 - the module is young: report, keep going
        suite.add(Row(section, name, "—", "—", failed=f"error: {type(error).__name__}: {error}"[:160]))
    finally:
        gc.collect()


def close_to(ours, expected):
    """The array face forms its local coordinate from the interval's ends, the scalar face and its
    numpy replica from the midpoint: the same values within the coordinate's rounding."""
    return bool(np.max(np.abs(ours - expected), initial=0.0) <= 1e-9 * (1.0 + np.max(np.abs(expected), initial=0.0)))


def bits_equal(a, b):
    a = np.asarray(a, dtype=np.float64)
    b = np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def array_interface(suite):
    section = "numpy"
    if pwpoly_numpy is None:
        print("\npwpoly_numpy: not available (import failed); its rows are skipped", flush=True)
        suite.add(
            Row(
                section,
                "pwpoly_numpy rows (vectorised evaluation, basis_matrix, operators as csr_array)",
                "—",
                "—",
                status="not available",
            )
        )
        return
    pn = pwpoly_numpy
    print("\npwpoly_numpy: arrays in, arrays out", flush=True)
    rng = np.random.default_rng(4)
    T = 1.0

    n_times = 10**5 if suite.quick else 10**6
    n_t = 1000
    random_times = rng.uniform(0.0, T, n_times)
    sorted_times = np.sort(random_times)
    for degree in (1, 3, 8):
        coefficients = rng.standard_normal(n_t * (degree + 1))
        for order, times in (("sorted", sorted_times), ("random", random_times)):

            def group():
                V = pn.LegendreSpace(degree, n_t, T)
                ppoly = peers.legendre_ppoly(coefficients, n_t, T, degree)
                ours = V.evaluate(coefficients, times)
                expected = peers.legendre_evaluate(coefficients, n_t, T, degree, times)
                evaluator = pwpoly.LegendreBasisEvaluator(degree, n_t, T)
                evaluator.set_dofs(coefficients.tolist())
                sample = times[:: max(1, len(times) // 2000)]
                scalar = np.array([evaluator.evaluate_at(x) for x in sample.tolist()])
                with np.errstate(invalid="ignore"):
                    ppoly_error = np.max(np.abs(ppoly(sample) - scalar)) / np.max(np.abs(scalar))
                if (
                    not bits_equal(peers.legendre_evaluate(coefficients, n_t, T, degree, sample), scalar)
                    or not ppoly_error < 1e-9
                ):
                    failed = "baseline check failed"
                elif not close_to(ours, expected):
                    failed = "values differ from the scalar evaluation"
                else:
                    failed = ""
                namespace = {
                    "V": V,
                    "c": coefficients,
                    "t": times,
                    "ppoly": ppoly,
                    "n_t": n_t,
                    "T": T,
                    "degree": degree,
                    "legendre_evaluate": peers.legendre_evaluate,
                    "np": np,
                    "division_floor": pwpoly_numpy._kernels.division_floor,
                    "divisions": divisions_per_time(degree),
                }
                m = suite.time(
                    [
                        Contender("ours", "V.evaluate(c, t)", namespace),
                        Contender("numpy", "legendre_evaluate(c, n_t, T, degree, t)", namespace),
                        Contender("PPoly", "ppoly(t)", namespace),
                        Contender("floor", "division_floor(divisions, t, np.empty_like(t))", namespace),
                    ]
                )
                name = f"LegendreSpace({degree}, {n_t}, {T}).evaluate(c, t), {fmt_count(n_times)} {order} times"
                suite.ratio_row(
                    section,
                    name,
                    m,
                    "ours",
                    ["numpy", "PPoly"],
                    "faster of numpy recurrence and PPoly",
                    ("<=", 1 / 3),
                    failed=failed,
                )
                suite.ratio_row(
                    section,
                    name + " vs the division floor",
                    m,
                    "ours",
                    "floor",
                    f"{divisions_per_time(degree)} divisions per time, read t, write out",
                    ("<=", 1.5),
                    failed=failed,
                )

            guarded(suite, section, f"evaluate, degree {degree}, {order} times", group)

    def batch():
        degree, batch_n_t, count = 3, 1000, 200
        V = pn.LegendreSpace(degree, batch_n_t, T)
        C = rng.standard_normal((count, V.size))
        times = rng.uniform(0.0, T, 10**4)
        ours = V.evaluate(C, times)
        expected = np.stack([peers.legendre_evaluate(C[j], batch_n_t, T, degree, times) for j in range(count)])
        failed = "" if close_to(ours, expected) else "values differ from the scalar evaluation"
        namespace = {"V": V, "C": C, "t": times}
        m = suite.time(
            [
                Contender("ours", "V.evaluate(C, t)", namespace),
                Contender("matrix", "V.basis_matrix(t) @ C.T", namespace),
            ]
        )
        suite.ratio_row(
            section,
            f"LegendreSpace({degree}, {batch_n_t}, 1.0).evaluate(C, t), C of {count} vectors, 1e4 times",
            m,
            "ours",
            "matrix",
            "`V.basis_matrix(t) @ C.T`",
            ("<=", 1.0),
            failed=failed,
        )

    guarded(suite, section, "batch evaluate", batch)

    sizes = [10**3, 10**4] if suite.quick else [10**3, 10**4, 10**5, 10**6]
    degree, bm_n_t = 3, 16
    for m_times in sizes:

        def basis_group():
            V = pn.LegendreSpace(degree, bm_n_t, T)
            basis = pwpoly.LegendreBasis(degree, bm_n_t, T)
            times = rng.uniform(0.0, T, m_times)
            ours = V.basis_matrix(times)
            built = peers.as_csr(*peers.basis_matrix_csr(bm_n_t, T, degree, times))
            failed = "" if peers.same_csr(ours, built) else "matrix differs from the all-basis rows"
            namespace = {
                "V": V,
                "t": times,
                "basis": basis,
                "n_t": bm_n_t,
                "T": T,
                "degree": degree,
                "via_lists": peers.basis_matrix_via_lists,
                "as_csr": peers.as_csr,
                "basis_matrix_csr": peers.basis_matrix_csr,
            }
            m = suite.time(
                [
                    Contender("ours", "V.basis_matrix(t)", namespace),
                    Contender("lists", "via_lists(basis, n_t, degree, t)", namespace),
                    Contender("numpy", "as_csr(*basis_matrix_csr(n_t, T, degree, t))", namespace),
                ],
                min_rounds=3 if m_times >= 10**5 else None,
            )
            name = f"LegendreSpace({degree}, {bm_n_t}, 1.0).basis_matrix(t), {fmt_count(m_times)} times"
            suite.ratio_row(
                section,
                name + " vs pwpoly lists",
                m,
                "ours",
                "lists",
                "evaluate_all_basis_functions per time + csr_array",
                ("<=", 0.1),
                failed=failed,
            )
            suite.ratio_row(
                section,
                name + " vs numpy build",
                m,
                "ours",
                "numpy",
                "vectorised numpy build + csr_array",
                ("<=", 1 / 3),
                failed=failed,
            )

        guarded(suite, section, f"basis_matrix, {fmt_count(m_times)} times", basis_group)

    for n in sizes:

        def operator_group(kind):
            W = pn.LagrangeSpace(3, n, T)
            if kind == "prolongation":
                fine = pn.LagrangeSpace(3, 2 * n, T)
                statement = "W.prolongation_to(fine)"
                shape = (2 * n * 3 + 1, n * 3 + 1)
                lists = "triplets_to_csr(pwpoly.lagrange_prolongation_matrix(n, 2 * n, 3), shape)"
                numpy_build = "as_csr(*prolongation_csr(n, 2 * n, 3))"
                # Product-form weights at the exact coordinate, against the scalar face's
                # barycentric ones at a coordinate off by up to n eps, times the weights' slope
                # (at most 9 at degree 3): within that, not bit for bit.
                exact, tolerance = False, (n + 4) * 9 * 8 * np.finfo(np.float64).eps
                name = f"LagrangeSpace(3, {fmt_count(n)}, 1.0).prolongation_to(LagrangeSpace(3, 2n, 1.0))"
            else:
                fine = None
                statement = "W.to_legendre()"
                shape = (4 * n, 3 * n + 1)
                lists = "triplets_to_csr(pwpoly.lagrange_to_legendre_basis_transformation(3, n), shape)"
                numpy_build = "as_csr(*to_legendre_csr(3, n))"
                exact, tolerance = False, 1e-14
                name = f"LagrangeSpace(3, {fmt_count(n)}, 1.0).to_legendre()"
            namespace = {
                "W": W,
                "fine": fine,
                "n": n,
                "shape": shape,
                "pwpoly": pwpoly,
                "triplets_to_csr": peers.triplets_to_csr,
                "as_csr": peers.as_csr,
                "prolongation_csr": peers.prolongation_csr,
                "to_legendre_csr": peers.to_legendre_csr,
            }
            ours = eval(statement, namespace)
            failed = ""
            if n <= 10**5 and not peers.same_csr(ours, eval(lists, namespace), exact=exact, tolerance=tolerance):
                failed = "matrix differs from pwpoly's triplets"
            elif not peers.same_csr(ours, eval(numpy_build, namespace), exact=exact, tolerance=tolerance):
                failed = "matrix differs from the numpy build"
            del ours
            m = suite.time(
                [
                    Contender("ours", statement, namespace),
                    Contender("lists", lists, namespace),
                    Contender("numpy", numpy_build, namespace),
                ],
                min_rounds=3 if n >= 10**5 else None,
            )
            suite.ratio_row(
                section,
                name + " vs pwpoly lists",
                m,
                "ours",
                "lists",
                "pwpoly triplet lists + csr_array((v, (r, c)))",
                ("<=", 0.1),
                failed=failed,
            )
            suite.ratio_row(
                section,
                name + " vs numpy build",
                m,
                "ours",
                "numpy",
                "vectorised numpy build + csr_array",
                ("<=", 1 / 3),
                failed=failed,
            )

        for kind in ("prolongation", "to_legendre"):
            guarded(suite, section, f"{kind}, n = {fmt_count(n)}", lambda: operator_group(kind))


# ---------------------------------------------------------------------------------------------
# Issue rows: operators by time slab (pwpoly_numpy)


def divisions_per_time(degree):
    """Correctly rounded divisions an evaluation does per time: two to locate it, and one per
    recurrence step j -> j + 1 whose j + 1 is not a power of two (those multiply exactly)."""
    return 2 + sum(1 for j in range(1, degree) if (j + 1) & j)


# ---------------------------------------------------------------------------------------------
# Threads: the floor of writing arrays, workers, two Python threads


def load_note():
    return f"load average {os.getloadavg()[0]:.2f}"


def threads(suite):
    section = "threads"
    if pwpoly_numpy is None:
        return
    pn = pwpoly_numpy
    cores = len(os.sched_getaffinity(0))
    print(f"\nThreads: {cores} usable cores, {load_note()} (other processes share them: figures are noisy)", flush=True)
    for n in [10**5] if suite.quick else [10**5, 10**6]:

        def copy_group():
            W = pn.LagrangeSpace(3, n, 1.0)
            built = W.to_legendre()
            namespace = {"W": W, "p": built.indptr, "i": built.indices, "d": built.data}
            m = suite.time(
                [
                    Contender("ours", "W.to_legendre()", namespace),
                    Contender("copy", "(p.copy(), i.copy(), d.copy())", namespace),
                ],
                min_rounds=5,
            )
            suite.ratio_row(
                section,
                f"LagrangeSpace(3, {fmt_count(n)}, 1.0).to_legendre() vs writing its arrays",
                m,
                "ours",
                "copy",
                "`.copy()` of its three arrays (memcpy)",
                ("<=", 1.5),
            )

        guarded(suite, section, f"to_legendre floor, n = {fmt_count(n)}", copy_group)

    rng = np.random.default_rng(7)
    many = 10**6 if suite.quick else 10**7

    def evaluate_workers():
        V = pn.LegendreSpace(3, 1000, 1.0)
        namespace = {"V": V, "c": rng.standard_normal(V.size), "t": rng.uniform(0.0, 1.0, many)}
        failed = (
            ""
            if bits_equal(
                V.evaluate(namespace["c"], namespace["t"], workers=2), V.evaluate(namespace["c"], namespace["t"])
            )
            else "bits differ"
        )
        m = suite.time(
            [
                Contender("two", "V.evaluate(c, t, workers=2)", namespace),
                Contender("one", "V.evaluate(c, t)", namespace),
            ],
            min_rounds=5,
        )
        suite.ratio_row(
            section,
            f"LegendreSpace(3, 1000, 1.0).evaluate(c, t), {fmt_count(many)} random times, workers=2 vs 1",
            m,
            "two",
            "one",
            "workers=1",
            ("<=", 1 / 1.7),
            note=load_note(),
            failed=failed,
        )

    guarded(suite, section, "evaluate, workers=2", evaluate_workers)

    def prolongation_workers():
        n = 10**5 if suite.quick else 10**6
        W, fine = pn.LagrangeSpace(3, n // 2, 1.0), pn.LagrangeSpace(3, n, 1.0)
        namespace = {"W": W, "fine": fine}
        failed = "" if peers.same_csr(W.prolongation_to(fine, workers=2), W.prolongation_to(fine)) else "differs"
        m = suite.time(
            [
                Contender("two", "W.prolongation_to(fine, workers=2)", namespace),
                Contender("one", "W.prolongation_to(fine)", namespace),
            ],
            min_rounds=5,
        )
        suite.ratio_row(
            section,
            f"LagrangeSpace(3, {fmt_count(n // 2)}, 1.0).prolongation_to(n_t = {fmt_count(n)}), workers=2 vs 1",
            m,
            "two",
            "one",
            "workers=1",
            ("<=", 1 / 1.7),
            note=load_note(),
            failed=failed,
        )

    guarded(suite, section, "prolongation, workers=2", prolongation_workers)

    def two_threads():
        V = pn.LegendreSpace(3, 1000, 1.0)
        namespace = {
            "V": V,
            "c": rng.standard_normal(V.size),
            "t": rng.uniform(0.0, 1.0, many),
            "both": both_in_threads,
        }
        m = suite.time(
            [
                Contender("threads", "both(V, c, t)", namespace),
                Contender("sequential", "V.evaluate(c, t); V.evaluate(c, t)", namespace),
            ],
            min_rounds=5,
        )
        suite.ratio_row(
            section,
            f"two Python threads each evaluating {fmt_count(many)} times vs one after the other",
            m,
            "threads",
            "sequential",
            "the two calls in sequence",
            ("<=", 1 / 1.7),
            note=load_note(),
        )

    guarded(suite, section, "two Python threads", two_threads)

    def lock_release():
        # A kernel's call just at the threshold (4096 buffer items: it keeps the lock) and just
        # above it (4098: it releases the lock and takes it back), doing next to nothing else: the
        # difference is what the release costs, against an evaluation at that size.
        V = pn.LegendreSpace(3, 1000, 1.0)
        floor = pn._kernels.division_floor
        namespace = {
            "floor": floor,
            "V": V,
            "c": rng.standard_normal(V.size),
            "t": rng.uniform(0.0, 1.0, 2049),
            "o": np.empty(2049),
            "t0": np.zeros(2048),
            "o0": np.empty(2048),
        }
        m = suite.time(
            [
                Contender("released", "floor(0, t, o)", namespace),
                Contender("held", "floor(0, t0, o0)", namespace),
                Contender("evaluate", "V.evaluate(c, t)", namespace),
            ]
        )
        cost = m.per_round(lambda r: (r["released"] - r["held"]) / r["evaluate"])
        median, q1, q3 = summary(cost)
        release = statistics.median(m.per_round(lambda r: r["released"] - r["held"]))
        suite.add(
            Row(
                section,
                "releasing and taking back the lock (a 4098-item kernel call − a 4096-item one) "
                "vs evaluate at 2049 times, the smallest call that releases it",
                fmt_time(release),
                f"V.evaluate(c, t) {fmt_time(m.median_time('evaluate'))}",
                median,
                q1,
                q3,
                "×",
                str(m.rounds),
                None,
            )
        )

    guarded(suite, section, "lock release cost", lock_release)


def both_in_threads(V, c, t):
    import threading

    workers = [threading.Thread(target=V.evaluate, args=(c, t)) for _ in range(2)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()


def same_rows(block, whole, first, last):
    """The csr block holds rows [first, last) of the whole csr matrix, bit for bit."""
    start, stop = int(whole.indptr[first]), int(whole.indptr[last])
    return (
        block.shape == (last - first, whole.shape[1])
        and np.array_equal(block.indptr, whole.indptr[first : last + 1] - start)
        and np.array_equal(block.indices, whole.indices[start:stop])
        and bits_equal(block.data, whole.data[start:stop])
    )


def slab_rows(suite):
    section = "slabs"
    if pwpoly_numpy is None:
        suite.add(Row(section, "operators by time slab", "—", "—", status="not available"))
        return
    pn = pwpoly_numpy
    print("\npwpoly_numpy: operators by time slab", flush=True)
    n = 10**6 if suite.quick else 10**7
    parts = 8

    def group():
        W = pn.LagrangeSpace(3, n // 2, 1.0)
        fine = pn.LagrangeSpace(3, n, 1.0)
        slab = fine.slabs(parts)[parts // 2]
        (rows,) = slab.row_ranges
        whole = W.prolongation_to(fine)
        same = same_rows(W.prolongation_to(fine, rows=slab), whole, rows.start, rows.stop)
        failed = "" if same else "slab block differs from the whole operator's rows"
        del whole
        namespace = {"W": W, "fine": fine, "slab": slab}
        m = suite.time(
            [
                Contender("slab", "W.prolongation_to(fine, rows=slab)", namespace),
                Contender("whole", "W.prolongation_to(fine)", namespace),
            ],
            min_rounds=5,
        )
        suite.ratio_row(
            section,
            f"LagrangeSpace(3, {fmt_count(n)}/2, 1.0).prolongation_to(LagrangeSpace(3, "
            f"{fmt_count(n)}, 1.0), rows=slab), one slab of {parts}",
            m,
            "slab",
            "whole",
            "the whole operator",
            ("<=", 1 / 6),
            failed=failed,
        )

    guarded(suite, section, f"prolongation by slab, n = {fmt_count(n)}", group)


def partition_rows(suite):
    section = "partitions"
    if pwpoly_numpy is None:
        suite.add(Row(section, "spaces on breakpoints", "—", "—", status="not available"))
        return
    pn = pwpoly_numpy
    print("\npwpoly_numpy: spaces on graded breakpoints", flush=True)
    rng = np.random.default_rng(7)
    degree, n = 3, 10**4
    graded = (np.arange(n + 1) / n) ** 2
    n_times = 10**5 if suite.quick else 10**6
    random_times = rng.uniform(0.0, 1.0, n_times)
    for order, times in (("sorted", np.sort(random_times)), ("random", random_times)):

        def evaluate_group():
            V = pn.LegendreSpace(degree, breakpoints=graded)
            U = pn.LegendreSpace(degree, n, 1.0)
            c = rng.standard_normal(V.size)
            ppoly = peers.legendre_ppoly_on(c, graded, degree)
            sample = times[:: max(1, len(times) // 2000)]
            reference = ppoly(sample)
            error = np.max(np.abs(V.evaluate(c, sample) - reference)) / np.max(np.abs(reference))
            failed = "" if error < 1e-9 else f"values differ from PPoly by {error:.1e}"
            namespace = {"V": V, "U": U, "c": c, "t": times, "ppoly": ppoly}
            m = suite.time(
                [
                    Contender("graded", "V.evaluate(c, t)", namespace),
                    Contender("uniform", "U.evaluate(c, t)", namespace),
                    Contender("PPoly", "ppoly(t)", namespace),
                ]
            )
            name = (
                f"LegendreSpace({degree}, breakpoints=(k/n)², n = {fmt_count(n)}).evaluate(c, t), "
                f"{fmt_count(n_times)} {order} times"
            )
            suite.ratio_row(
                section,
                name + " vs PPoly",
                m,
                "graded",
                "PPoly",
                "PPoly on the same breakpoints",
                ("<=", 1 / 3),
                failed=failed,
            )
            suite.ratio_row(
                section,
                name + " vs the uniform space",
                m,
                "graded",
                "uniform",
                f"LegendreSpace({degree}, {fmt_count(n)}, 1.0).evaluate(c, t)",
                ("<=", 1.5 if order == "sorted" else 2.0),
                failed=failed,
            )

        guarded(suite, section, f"graded evaluate, {order} times", evaluate_group)

    n_ops = 10**4 if suite.quick else 10**5
    graded_ops = (np.arange(n_ops + 1) / n_ops) ** 2
    graded_fine = (np.arange(2 * n_ops + 1) / (2 * n_ops)) ** 2
    for kind, statement in (
        ("mass_matrix", "W.mass_matrix()"),
        ("prolongation_to", "W.prolongation_to(fine)"),
        ("to_legendre", "W.to_legendre()"),
    ):

        def operator_group():
            spaces = {
                "graded": {
                    "W": pn.LagrangeSpace(degree, breakpoints=graded_ops),
                    "fine": pn.LagrangeSpace(degree, breakpoints=graded_fine),
                },
                "uniform": {
                    "W": pn.LagrangeSpace(degree, n_ops, 1.0),
                    "fine": pn.LagrangeSpace(degree, 2 * n_ops, 1.0),
                },
            }
            built = {name: eval(statement, namespace) for name, namespace in spaces.items()}
            failed = "" if built["graded"].shape == built["uniform"].shape else "shapes differ"
            del built
            m = suite.time([Contender(name, statement, namespace) for name, namespace in spaces.items()], min_rounds=5)
            suite.ratio_row(
                section,
                f"LagrangeSpace({degree}, breakpoints=(k/n)², n = {fmt_count(n_ops)})."
                f"{statement.split('.', 1)[1]} vs the uniform space",
                m,
                "graded",
                "uniform",
                f"LagrangeSpace({degree}, {fmt_count(n_ops)}, 1.0), the same call",
                ("<=", 1.5),
                failed=failed,
            )

        guarded(suite, section, f"graded {kind}", operator_group)


# ---------------------------------------------------------------------------------------------
# Issue rows: Galerkin operators in time (pwpoly_numpy)


def galerkin_rows(suite):
    section = "galerkin"
    if pwpoly_numpy is None:
        suite.add(Row(section, "Galerkin operators", "—", "—", status="not available"))
        return
    pn = pwpoly_numpy
    print("\npwpoly_numpy: Galerkin operators in time", flush=True)
    n = 10**6

    def derivative_group(upwind):
        V = pn.LegendreSpace(3, n, 1.0)
        ours = V.derivative_matrix(upwind=upwind)
        namespace = {
            "V": V,
            "n": n,
            "upwind": upwind,
            "build": peers.legendre_derivative_csr,
            "write_once": peers.write_once,
            "nnz": ours.nnz,
            "index": ours.indices.dtype,
        }
        same = peers.same_csr(ours, peers.legendre_derivative_csr(3, n, upwind))
        del ours
        m = suite.time(
            [
                Contender("ours", "V.derivative_matrix(upwind=upwind)", namespace),
                Contender("numpy", "build(3, n, upwind)", namespace),
                Contender("floor", "write_once(4 * n, nnz, index)", namespace),
            ],
            min_rounds=5,
        )
        name = f"LegendreSpace(3, {fmt_count(n)}, 1.0).derivative_matrix(upwind={upwind})"
        suite.ratio_row(
            section,
            name,
            m,
            "ours",
            "numpy",
            "vectorised numpy build + csr_array",
            ("<=", 1 / 3),
            failed="" if same else "matrix differs from the numpy build",
        )
        suite.ratio_row(
            section, name + ": ours vs writing the result's fresh arrays once", m, "ours", "floor", "floor", None
        )
        suite.ratio_row(section, name + ": numpy build vs the same floor", m, "numpy", "floor", "floor", None)

    def mixed_group(form):
        W = pn.LagrangeSpace(3, n, 1.0)
        V = pn.LegendreSpace(3, n, 1.0)
        namespace = {"V": V, "W": W}
        statement = f"V.{form}(trial=W)"
        m = suite.time(
            [Contender("ours", statement, namespace), Contender("to_legendre", "W.to_legendre()", namespace)],
            min_rounds=5,
        )
        suite.ratio_row(
            section,
            f"LegendreSpace(3, {fmt_count(n)}, 1.0).{form}(trial=W), W = LagrangeSpace(3, "
            f"{fmt_count(n)}, 1.0) (shape of W.to_legendre())",
            m,
            "ours",
            "to_legendre",
            "W.to_legendre()",
            ("<=", 2.0),
        )

    for upwind in (False, True):
        guarded(suite, section, f"derivative, upwind={upwind}", lambda: derivative_group(upwind))
    for form in ("derivative_matrix", "mass_matrix"):
        guarded(suite, section, f"mixed {form}", lambda: mixed_group(form))


# ---------------------------------------------------------------------------------------------
# Parallel in time: mgrit against PyMGRIT (benchmarks/mgrit_peer.py runs both, one run per process)


def mgrit_rows(suite):
    section = "mgrit"
    import mgrit_peer as peer

    print(
        f"\nMGRIT on PyMGRIT's 1D heat application: {peer.NX - 2} unknowns, {peer.NT} time points, "
        f"{peer.LEVELS} levels, coarsening {peer.COARSENING}, FCF, nested start, absolute residual below {peer.TOL}",
        flush=True,
    )
    python = peer.pymgrit_venv()
    if python is None or pwpoly_numpy is None:
        suite.add(Row(section, "mgrit against PyMGRIT", "—", "—", status="not available"))
        return
    rounds = 3 if suite.quick else 5
    exact = peer.exact_end()
    for processes in (1, 2):
        where = "serial" if processes == 1 else f"{processes} processes"

        def group():
            degrees = (0, 1, 2) if processes == 1 else (0,)
            contenders = [("PyMGRIT", python, "pymgrit", 0)] + [
                (f"dG({q})", sys.executable, "ours", q) for q in degrees
            ]
            times = {name: [] for name, *_ in contenders}
            records = {}
            for r in range(rounds):  # every contender once per round, in rotating order
                shift = r % len(contenders)
                for name, interpreter, kind, q in contenders[shift:] + contenders[:shift]:
                    records[name] = peer.run_once(interpreter, kind, processes, q)
                    times[name].append(records[name]["seconds"])
            theirs = records["PyMGRIT"]

            def deviation(record):
                end, serial = np.array(record["end"]), np.array(record["serial_end"])
                return float(np.abs(end - serial).max() / np.abs(serial).max())

            same_problem = float(
                np.abs(np.array(records["dG(0)"]["serial_end"]) - np.array(theirs["serial_end"])).max()
                / np.abs(np.array(theirs["serial_end"])).max()
            )
            failed = ""
            if same_problem > 1e-12:
                failed = f"serial solutions differ by {same_problem:.1e}"
            elif max(deviation(records["dG(0)"]), deviation(theirs)) > 1e-8:
                failed = "not converged to the serial solution"
            check = (
                f"serial solutions agree to {same_problem:.0e}; converged ends off the serial ones by "
                f"{deviation(records['dG(0)']):.0e} (ours), {deviation(theirs):.0e} (PyMGRIT)"
            )
            for name in times:
                if name == "PyMGRIT":
                    continue
                ratios = [a / b for a, b in zip(times[name], times["PyMGRIT"])]
                median, q1, q3 = summary(ratios)
                record = records[name]
                error = float(np.abs(np.array(record["serial_end"]) - exact).max() / np.abs(exact).max())
                label = "backward Euler" if name == "dG(0)" else name
                suite.add(
                    Row(
                        section,
                        f"mgrit {label} vs PyMGRIT backward Euler, {where}: wall time",
                        f"{fmt_time(statistics.median(times[name]))}, {record['iterations']} iterations",
                        f"PyMGRIT {fmt_time(statistics.median(times['PyMGRIT']))}, {theirs['iterations']} iterations",
                        median,
                        q1,
                        q3,
                        "×",
                        str(rounds),
                        ("<=", 0.1) if name == "dG(0)" else None,
                        (check if name == "dG(0)" else "")
                        + f"; relative error at T against the semi-discrete solution {error:.1e}",
                        failed if name == "dG(0)" else "",
                    )
                )
            ours = records["dG(0)"]
            iterations = ours["iterations"] / theirs["iterations"]

            def history(record):
                return f"{record['iterations']} ({', '.join(f'{x:.2e}' for x in record['residuals'])})"

            suite.add(
                Row(
                    section,
                    f"mgrit backward Euler vs PyMGRIT, {where}: iterations from the same start",
                    history(ours),
                    history(theirs),
                    iterations,
                    iterations,
                    iterations,
                    "×",
                    "1",
                    ("<=", 1.0),
                    "residual histories in parentheses",
                    failed,
                )
            )

        guarded(suite, section, f"mgrit against PyMGRIT, {where}", group)


def mgrit_step_rows(suite):
    """MGRIT's time per interval step on one process against the serial solve's per interval
    (benchmarks/mgrit_steps.py)."""
    section = "mgrit"
    if pwpoly_numpy is None:
        return
    import mgrit_steps

    def group():
        for name, median, q1, q3, rounds, steps, ours, serial in mgrit_steps.measure_rows(suite.quick):
            suite.add(
                Row(
                    section,
                    f"{name}, heat n = {mgrit_steps.N}, {mgrit_steps.INTERVALS} intervals dG(1), "
                    f"{mgrit_steps.LEVELS} levels: time per interval step ({steps:.0f}) over the serial time per "
                    "interval",
                    fmt_time(ours),
                    f"solve_galerkin {fmt_time(serial)}",
                    median,
                    q1,
                    q3,
                    rounds=str(rounds),
                    target=("<=", 1.5),
                )
            )

    guarded(suite, section, "mgrit time per interval step", group)


# ---------------------------------------------------------------------------------------------
# Report


SECTIONS = [
    ("inputs", sequence_inputs),
    ("all-basis", all_basis),
    ("operators", operators),
    ("evaluator", evaluator_calls),
    ("memory", memory),
    ("numpy", array_interface),
    ("slabs", slab_rows),
    ("galerkin", galerkin_rows),
    ("threads", threads),
    ("partitions", partition_rows),
    ("solver", lambda suite: solver_rows(suite, Row, fmt_time, guarded)),
    (
        "heat2d",
        lambda suite: guarded(suite, "solver", "heat 2D vs CVODE", lambda: heat_2d_peer_rows(suite, Row, fmt_time)),
    ),
    ("mgrit", mgrit_rows),
    ("mgrit-steps", mgrit_step_rows),
]


def markdown_table(rows):
    lines = ["| " + " | ".join(HEADER) + " |", "|" + "---|" * len(HEADER)]
    for row in rows:
        lines.append("| " + " | ".join(cell.replace("|", "\\|") for cell in row.cells()) + " |")
    return "\n".join(lines)


def machine_description():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            cpu = next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    try:
        commit = subprocess.run(
            ["git", "-C", HERE, "rev-parse", "--short", "HEAD"], capture_output=True, text=True
        ).stdout.strip()
    except OSError:
        commit = "?"
    return (
        f"{cpu}, {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f} at start; "
        f"Python {platform.python_version()}, numpy {np.__version__}, scipy {scipy.__version__}; "
        f"commit {commit or '?'}"
    )


NOTES = """\
- Figure: the median over the rounds of ours / baseline, both timed in the same round (rotating
  order, each repeated to last at least {min_time} s per round, collector off, collected between
  rounds); lower is better. IQR: first to third quartile of the per-round figures. Ours and Baseline:
  median time per call.
- Floors: `v.copy()` / `v[:]` / `list.copy()` / `list(v)` copy the same data; `[0.0] * n` is the
  cheapest list of n floats; the operator floor is `.tolist()` of three prebuilt numpy arrays holding
  the very result (int64, int64, float64), so it makes the same Python objects; `math.ldexp(t, 0)` is
  a two-argument builtin call that returns a new float.
- Native part per entry: (ours − floor) / entries, per round.
- Numpy peer of the operators (benchmarks/peers.py): vectorised numpy build of the same triplets as
  arrays. Prolongation: the same operations in the same order, checked bitwise. Lagrange-to-Legendre:
  local inverse by LAPACK, so values are checked to a tolerance (the largest difference is given).
  Both compared after sorting by (row, col).
- Memory: fresh interpreter per measurement. tracemalloc sees only allocations through
  PyMem/PyObject (not native std::vector storage); the resident-set figure sees everything, as the
  peak growth of the process during the call. Returned bytes: the tuple, its lists and every distinct
  int/float object they hold, counted once.
- pwpoly_numpy rows: evaluation baseline is the faster, per round, of a vectorised numpy Legendre
  recurrence (bitwise equal to the scalar evaluation) and scipy.interpolate.PPoly of the same
  piecewise polynomial (built outside the timed part). Matrix baselines: pwpoly's lists +
  scipy.sparse.csr_array, and a vectorised numpy build straight into CSR parts.
- Division floor: a kernel that reads each time, divides it as many times in a row as the
  evaluation does (correctly rounded divisions, the widest vectors of the CPU, two groups in
  flight), and writes the result: what no evaluation of the same times can go below.
- Threads rows: ratios of the same call with workers=2 and 1 (or two Python threads and one after
  the other), timed in the same rounds, with the load average when the row ran; other processes on
  the machine take cores too, so these figures are lower bounds of what an idle machine shows.
- Slab rows: one slab of `fine.slabs(8)` built with `rows=slab` against the whole operator, both
  timed in the same rounds; the block is checked bit for bit against the whole operator's rows.
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="a short smoke run: fewer rounds, smaller sizes")
    parser.add_argument(
        "--only",
        nargs="*",
        default=[],
        metavar="WORD",
        help="run only the sections whose name contains a WORD: " + ", ".join(name for name, _ in SECTIONS),
    )
    parser.add_argument(
        "--output", help="where to write the table (default benchmarks/results/latest.md, latest-quick.md with --quick)"
    )
    args = parser.parse_args()
    suite = Suite(args.quick, args.only)
    started = time.perf_counter()
    machine = machine_description()
    print(f"pwpoly benchmarks ({'quick' if args.quick else 'full'}): {machine}")
    for name, function in SECTIONS:
        if suite.wanted(name):
            section_start = time.perf_counter()
            function(suite)
            print(f"  [{name}: {time.perf_counter() - section_start:.0f} s]", flush=True)
    elapsed = time.perf_counter() - started
    table = markdown_table(suite.rows)
    met = sum(row.met() == "met" for row in suite.rows)
    judged = sum(row.met() == "met" or row.met().startswith("not met") for row in suite.rows)
    stamp = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC")
    text = (
        f"# pwpoly benchmarks\n\n{stamp}, {'quick' if args.quick else 'full'} run"
        f"{' (only ' + ', '.join(args.only) + ')' if args.only else ''}, {elapsed:.0f} s. {machine}\n\n"
        f"Targets met: {met} of {judged} rows with a target."
        f"{' The time guard cut the last groups to 3 rounds.' if suite.guard_engaged else ''}\n\n{table}\n\n"
        + NOTES.format(min_time=suite.min_time)
    )
    print("\n" + table + f"\n\nTargets met: {met} of {judged}. Run time {elapsed:.0f} s.")
    # A run of some sections only must not replace the full table.
    name = "latest-quick.md" if args.quick else "latest-partial.md" if args.only else "latest.md"
    output = args.output or os.path.join(HERE, "results", name)
    os.makedirs(os.path.dirname(output), exist_ok=True)
    with open(output, "w") as stream:
        stream.write(text)
    print(f"written to {os.path.relpath(output)}")


if __name__ == "__main__":
    main()
