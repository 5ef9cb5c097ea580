import os
import re
import struct
import sys

import pytest

import pwpoly

# Largest value of the native size type (std::size_t), derived from the platform.
SIZE_MAX = sys.maxsize * 2 + 1
# Largest allocation in bytes (PTRDIFF_MAX).
PTRDIFF_MAX = sys.maxsize


# Set by the sanitizer run of the suite (tools/dev check sanitize).
UNDER_SANITIZER = os.environ.get("PWPOLY_SANITIZER", "") not in ("", "0")


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "needs_system_allocator(reason): relies on the ordinary allocator (allocation counts, native "
        "memory in use, memory exhaustion); skipped in the sanitizer run (PWPOLY_SANITIZER set)",
    )
    config.addinivalue_line(
        "markers",
        "wheel: builds the sdist and the wheel and installs them into fresh venvs (slow: run by "
        "tools/dev check wheel, not by tools/dev test)",
    )
    config.addinivalue_line(
        "markers",
        "typing: runs the type checkers (slow: run by tools/dev check typing, not by tools/dev test)",
    )


def pytest_collection_modifyitems(config, items):
    if not UNDER_SANITIZER:
        return
    for item in items:
        marker = item.get_closest_marker("needs_system_allocator")
        if marker is not None:
            reason = marker.kwargs.get("reason") or (marker.args[0] if marker.args else "")
            item.add_marker(pytest.mark.skip(reason=f"needs the system allocator: {reason}"))


def python_blocks(path):
    """The ```python blocks of a Markdown file, each padded with the lines before it, so that a
    traceback or a checker's finding names the file's own line."""
    text = path.read_text(encoding="utf-8")
    return [
        "\n" * text.count("\n", 0, match.start(1)) + match.group(1)
        for match in re.finditer(r"^```python\n(.*?)^```$", text, re.S | re.M)
    ]


def bits(x: float) -> int:
    """The IEEE 754 bit pattern of a double, to compare floats exactly (0.0 vs -0.0, NaN)."""
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def fault_exception_type():
    """The internal-fault exception type, obtained from a fault."""
    with pytest.raises(BaseException) as info:
        pwpoly.lagrange_prolongation_matrix(0, 0, 0)
    return type(info.value)


def raises_fault(message: str):
    """Context manager: the block raises the internal-fault exception with exactly `message`."""
    return _FaultExpectation(message)


class _FaultExpectation:
    def __init__(self, message):
        self.message = message

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        assert kind is not None, f"expected the internal fault {self.message!r}, nothing was raised"
        assert kind.__name__ == "PanicException" and kind.__module__ == "pyo3_runtime", repr(value)
        assert value.args == (self.message,)
        return True
