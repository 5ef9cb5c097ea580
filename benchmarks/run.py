"""pwpoly benchmarks. Every figure is a ratio against a baseline measured in the same run, so the
numbers compare across machines; absolute times are printed for orientation only.

    tools/dev bench            (or: python benchmarks/run.py [--quick])
"""

import argparse
import array
import gc
import math
import subprocess
import sys
import timeit

import pwpoly


def best_of(statement, number, repeat=5):
    """Fastest time per execution of `statement` (a callable), in seconds."""
    gc.collect()
    return min(timeit.repeat(statement, number=number, repeat=repeat)) / number


def row(name, value, baseline, note=""):
    print(f"  {name:<58} {value * 1e9:11.0f} ns   ratio {value / baseline:7.2f}   {note}")


def call_overhead(quick):
    print("Call cost of one evaluation (baseline: math.copysign(t, 1.0), a two-argument builtin)")
    n = 20_000 if quick else 200_000
    baseline = best_of(lambda: math.copysign(0.3, 1.0), n)
    print(f"  {'baseline math.copysign':<58} {baseline * 1e9:11.0f} ns")
    for n_t in (10, 100_000, 1_000_000):
        evaluator = pwpoly.LegendreBasisEvaluator(3, n_t, 1.0)
        evaluator.set_dofs([1.0] * (4 * n_t))
        row(f"LegendreBasisEvaluator(3, {n_t}).evaluate_at", best_of(lambda: evaluator.evaluate_at(0.3), n), baseline,
            "O(p): independent of n_t")
    evaluator = pwpoly.LegendreBasisEvaluator(3, 1_000_000, 1.0)
    row("LegendreBasisEvaluator(3, 1e6).evaluate_derivative_at",
        best_of(lambda: evaluator.evaluate_derivative_at(0.3), n), baseline)
    evaluator = pwpoly.LegendreBasisEvaluator(3, 1_000, 1.0)
    row("evaluate_at(t=0.3) by keyword", best_of(lambda: evaluator.evaluate_at(t=0.3), n), baseline)
    for degree in (1, 16, 64):
        evaluator = pwpoly.LegendreBasisEvaluator(degree, 10, 1.0)
        row(f"LegendreBasisEvaluator({degree}, 10).evaluate_at", best_of(lambda: evaluator.evaluate_at(0.3), n),
            baseline, "grows with the degree only")


def sequence_conversion(quick):
    print("\nConverting coefficients (baseline: array.array('d', values), the interpreter's own conversion)")
    for length in (1_000, 100_000):
        values = [float(i) for i in range(length)]
        n = max(1, (2_000 if quick else 20_000) * 1_000 // length)
        baseline = best_of(lambda: array.array("d", values), n)
        print(f"  {'baseline array.array, %d floats' % length:<58} {baseline * 1e9:11.0f} ns")
        basis = pwpoly.LegendreBasis(0, length, 1.0)
        row(f"LegendreBasis.evaluate_at(t, list of {length})", best_of(lambda: basis.evaluate_at(0.3, values), n),
            baseline, "one conversion pass")
        evaluator = pwpoly.LegendreBasisEvaluator(0, length, 1.0)
        row(f"LegendreBasisEvaluator.set_dofs(list of {length})", best_of(lambda: evaluator.set_dofs(values), n),
            baseline)
        as_tuple = tuple(values)
        row(f"LegendreBasisEvaluator.set_dofs(tuple of {length})", best_of(lambda: evaluator.set_dofs(as_tuple), n),
            baseline)


def operators(quick):
    print("\nSparse operators (baseline: building the same three result lists in Python from ranges)")
    sizes = (10_000, 40_000) if quick else (50_000, 200_000)
    for name, build, entries in (
        ("lagrange_prolongation_matrix(n, 2n, 2)", lambda n: pwpoly.lagrange_prolongation_matrix(n, 2 * n, 2), None),
        ("lagrange_to_legendre_basis_transformation(3, n)",
         lambda n: pwpoly.lagrange_to_legendre_basis_transformation(3, n), None),
    ):
        times = []
        for n in sizes:
            result = build(n)
            count = len(result[0])
            baseline = best_of(lambda: (list(range(count)), list(range(count)), [0.5] * count), 3, repeat=3)
            value = best_of(lambda: build(n), 3, repeat=3)
            times.append(value)
            print(f"  {name + f', n = {n}':<58} {value * 1e3:8.1f} ms"
                  f"   ratio {value / baseline:7.2f}   {count} entries")
        print(f"  {'  scaling: time(n = %d) / time(n = %d)' % (sizes[1], sizes[0]):<58} "
              f"{times[1] / times[0]:8.2f}     (linear: {sizes[1] / sizes[0]:.2f})")


MEASURE_PEAK = """
import sys
import pwpoly

def high_water():  # peak resident set of this process image, in KiB
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))

before = high_water()
result = {call}
after = high_water()
lists = sum(sys.getsizeof(x) for x in result) + sum(sys.getsizeof(v) for v in result[2])
lists += sum(sys.getsizeof(v) for v in set(result[0]) | set(result[1]) if v > 256)
print((after - before) * 1024, lists, len(result[0]))
"""


def memory(quick):
    print("\nPeak memory of one call (baseline: the bytes of the returned Python lists themselves)")
    n = 20_000 if quick else 100_000
    for call in (
        f"pwpoly.lagrange_prolongation_matrix({n}, {2 * n}, 3)",
        f"pwpoly.lagrange_to_legendre_basis_transformation(4, {n})",
    ):
        output = subprocess.run([sys.executable, "-c", MEASURE_PEAK.format(call=call)], check=True,
                                capture_output=True, text=True).stdout.split()
        peak, lists, entries = (int(x) for x in output)
        print(f"  {call.removeprefix('pwpoly.'):<58} peak growth / result size {peak / lists:5.2f}   ({entries} entries)")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer repetitions and smaller sizes")
    args = parser.parse_args()
    call_overhead(args.quick)
    sequence_conversion(args.quick)
    operators(args.quick)
    memory(args.quick)


if __name__ == "__main__":
    main()
