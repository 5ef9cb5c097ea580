"""The README's Python examples run as they stand and their assertions hold."""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
TEXT = README.read_text(encoding="utf-8")
# Each block padded with the lines before it, so that a traceback names the README's line.
BLOCKS = [
    "\n" * TEXT.count("\n", 0, match.start(1)) + match.group(1)
    for match in re.finditer(r"^```python\n(.*?)^```$", TEXT, re.S | re.M)
]


def test_the_readme_has_examples():
    assert len(BLOCKS) >= 3


@pytest.mark.parametrize("source", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs(source):
    exec(compile(source, str(README), "exec"), {"__name__": "readme_example"})
