"""Peak memory of one operator call, measured in a fresh interpreter (run by run.py).

    python memory_probe.py METHOD OPERATOR N

METHOD is `tracemalloc` (Python allocations through PyMem/PyObject only) or `rss` (the resident
set of the whole process, so native allocations count too). OPERATOR is `prolongation`
(lagrange_prolongation_matrix(N, 2N, 3)) or `to_legendre`
(lagrange_to_legendre_basis_transformation(3, N)). Prints one JSON object: the peak growth
during the call in bytes, the bytes of the returned tuple (the tuple, its three lists and every
distinct object they hold, each counted once) and the number of entries.
"""

import json
import resource
import sys

import pwpoly

CALLS = {
    "prolongation": lambda n: pwpoly.lagrange_prolongation_matrix(n, 2 * n, 3),
    "to_legendre": lambda n: pwpoly.lagrange_to_legendre_basis_transformation(3, n),
}


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


def reset_peak_rss():
    """Resets the kernel's peak-RSS mark of this process (Linux: clear_refs 5); False if refused."""
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
        return True
    except OSError:
        return False


def result_bytes(result):
    """The tuple, its lists, and every distinct object in them once."""
    total = sys.getsizeof(result)
    seen = set()
    for items in result:
        total += sys.getsizeof(items)
        for item in items:
            key = id(item)
            if key not in seen:
                seen.add(key)
                total += sys.getsizeof(item)
    return total


def main():
    method, operator, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
    call = CALLS[operator]
    call(4)  # code and the module's first-use state paged in
    if method == "tracemalloc":
        import tracemalloc

        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        result = call(n)
        peak = tracemalloc.get_traced_memory()[1] - before
        tracemalloc.stop()
        how = "tracemalloc"
    else:
        before_kib = status_kib("VmRSS")
        if before_kib is not None and reset_peak_rss():
            result = call(n)
            peak_kib = status_kib("VmHWM")
            how = "VmHWM after clear_refs, minus VmRSS before"
        else:
            before_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            result = call(n)
            peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            how = "ru_maxrss after minus ru_maxrss before"
        peak = (peak_kib - before_kib) * 1024
    print(json.dumps({"peak": peak, "result": result_bytes(result), "entries": len(result[0]), "how": how}))


if __name__ == "__main__":
    main()
