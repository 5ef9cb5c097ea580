"""The README's first screen shows the two commands with their times; the Python examples of the
README and of the documentation site's pages run as they stand and their assertions hold."""

import pathlib
import re

import pytest

from conftest import python_blocks

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
DOCUMENTS = [README, *sorted((ROOT / "docs").rglob("*.md"))]
BLOCKS = [(document, block) for document in DOCUMENTS for block in python_blocks(document)]


def test_the_readme_has_examples():
    assert len(python_blocks(README)) >= 3


@pytest.mark.parametrize(
    ("document", "source"),
    BLOCKS,
    ids=[
        f"{document.relative_to(ROOT)}:{len(source) - len(source.lstrip(chr(10))) + 1}" for document, source in BLOCKS
    ],
)
def test_example_runs(document, source):
    exec(compile(source, str(document), "exec"), {"__name__": "readme_example"})


@pytest.mark.parametrize("command", ["tools/dev demo", "tools/dev test"])
def test_the_two_commands_are_on_the_first_screen_with_their_times(command):
    first_screen = README.read_text().splitlines()[:40]
    lines = [line for line in first_screen if line.strip().startswith(command)]
    assert lines, f"{command!r} is not in the README's first 40 lines"
    assert re.search(r"\d+ (s|min)\b.*\bonce set up", lines[0]), f"{command!r} is stated without its times"
