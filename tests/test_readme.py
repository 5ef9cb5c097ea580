"""The README's Python examples run as they stand and their assertions hold."""

import pathlib

import pytest

from conftest import python_blocks

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = python_blocks(README)


def test_the_readme_has_examples():
    assert len(BLOCKS) >= 3


@pytest.mark.parametrize("source", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs(source):
    exec(compile(source, str(README), "exec"), {"__name__": "readme_example"})
