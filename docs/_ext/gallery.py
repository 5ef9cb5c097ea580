"""The gallery: the examples of examples/ run at build time, their output and pictures shown.

A gallery page (docs/gallery/NAME.md, one for every examples/NAME.py) shows a run with

    ```{example-output} demo.py [ARGUMENTS...]
    :processes: 2
    ```

which inserts the run's command line, its standard output as a literal block and each picture it
wrote. When the builder starts, every run that a gallery page asks for is made once, two at a
time, from the checkout's root with the interpreter that runs Sphinx (under the venv's mpiexec
with `:processes:` above 1); the files it writes go to build/docs/gallery/RUN/ (through
PWPOLY_EXAMPLE_OUTPUT). An example that fails, one without a gallery page, or a page naming no
example stops the build.
"""

import os
import re
import shlex
import shutil
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import NamedTuple

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.application import Sphinx
from sphinx.errors import ExtensionError
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

logger = logging.getLogger(__name__)

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
GALLERY_DOCS = "gallery"  # the folder of the gallery's pages under docs/
TIME_LIMIT = 300  # seconds for one run
# The directive as a page writes it: its line, then its option lines.
DIRECTIVE = re.compile(r"^```\{example-output\}[ \t]+(.+)\n((?::\w+:.*\n)*)", re.MULTILINE)


class Run(NamedTuple):
    example: str
    arguments: tuple[str, ...]
    processes: int

    @classmethod
    def of(cls, line: str, processes: int) -> "Run":
        example, *arguments = shlex.split(line)
        return cls(example, tuple(arguments), processes)

    @property
    def name(self) -> str:
        """The run's folder under build/docs/gallery/."""
        words = [Path(self.example).stem, *(re.sub(r"\W+", "", word) for word in self.arguments)]
        return "-".join([*words, *([f"n{self.processes}"] if self.processes > 1 else [])])

    def command(self, python: str) -> list[str]:
        command = [python, f"examples/{self.example}", *self.arguments]
        return ["mpiexec", "-n", str(self.processes), *command] if self.processes > 1 else command


def output_directory(app: Sphinx, run: Run) -> Path:
    return Path(app.outdir).parent / "gallery" / run.name


def runs_of(page: Path) -> list[Run]:
    runs = []
    for match in DIRECTIVE.finditer(page.read_text(encoding="utf-8")):
        options = dict(re.findall(r":(\w+):[ \t]*(.*)", match[2]))
        runs.append(Run.of(match[1], int(options.get("processes", 1))))
    return runs


def run_example(app: Sphinx, run: Run) -> float:
    if not (EXAMPLES / run.example).is_file():
        raise ExtensionError(f"a gallery page runs examples/{run.example}, which does not exist")
    directory = output_directory(app, run)
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    command = run.command(sys.executable)
    if run.processes > 1:
        command[0] = str(Path(sys.executable).parent / "mpiexec")
    env = dict(os.environ, PWPOLY_EXAMPLE_OUTPUT=os.path.relpath(directory, ROOT), MPLBACKEND="Agg")
    start = time.perf_counter()
    result = subprocess.run(
        command, cwd=ROOT, env=env, capture_output=True, text=True, timeout=TIME_LIMIT, stdin=subprocess.DEVNULL
    )
    seconds = time.perf_counter() - start
    if result.returncode != 0:
        raise ExtensionError(f"{shlex.join(command)} failed (exit status {result.returncode}):\n{result.stderr}")
    (directory / "output.txt").write_text(result.stdout, encoding="utf-8")
    (directory / "seconds.txt").write_text(f"{seconds:.1f}\n", encoding="utf-8")
    return seconds


def run_examples(app: Sphinx) -> None:
    pages = Path(app.srcdir) / GALLERY_DOCS
    missing = [path.name for path in sorted(EXAMPLES.glob("*.py")) if not (pages / f"{path.stem}.md").is_file()]
    if missing:
        raise ExtensionError(f"examples without a gallery page in docs/{GALLERY_DOCS}/: {', '.join(missing)}")
    runs = sorted({run for page in sorted(pages.glob("*.md")) for run in runs_of(page)})
    with ThreadPoolExecutor(max_workers=2) as pool:
        for run, seconds in zip(runs, pool.map(lambda run: run_example(app, run), runs)):
            logger.info(f"gallery: {shlex.join(run.command('python'))} ran in {seconds:.1f} s")


class ExampleOutput(SphinxDirective):
    """The command line, output and pictures of one run of an example, made at build time."""

    required_arguments = 1
    final_argument_whitespace = True
    option_spec = {"processes": directives.positive_int}  # noqa: RUF012 (docutils' interface)

    def run(self) -> list[nodes.Node]:
        run = Run.of(self.arguments[0], self.options.get("processes", 1))
        directory = output_directory(self.env.app, run)
        if not (directory / "output.txt").is_file():
            raise self.error(f"no run of {self.arguments[0]} was made (the page's directive was not found)")
        output = (directory / "output.txt").read_text(encoding="utf-8")
        seconds = (directory / "seconds.txt").read_text(encoding="utf-8").strip()
        self.env.note_dependency(str(EXAMPLES / run.example))
        command = shlex.join(run.command("python"))
        intro = nodes.paragraph()
        intro += nodes.Text("The output of ")
        intro += nodes.literal(command, command)
        intro += nodes.Text(f", from the run that built this page ({seconds} s):")
        result: list[nodes.Node] = [intro, nodes.literal_block(output, output, language="text")]
        docdir = Path(self.env.doc2path(self.env.docname)).parent
        for picture in sorted(directory.glob("*.png")):
            uri = os.path.relpath(picture, docdir)
            result.append(nodes.image(uri=uri, alt=picture.name, candidates={"*": uri}))
        return result


def reread_gallery(app: Sphinx, env: object, added: set[str], changed: set[str], removed: set[str]) -> list[str]:
    """The gallery's pages are read again on every build: their examples ran again."""
    return [name for name in app.env.found_docs if name.startswith(f"{GALLERY_DOCS}/")]


def setup(app: Sphinx) -> dict[str, object]:
    app.add_directive("example-output", ExampleOutput)
    app.connect("builder-inited", run_examples)
    app.connect("env-get-outdated", reread_gallery)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
