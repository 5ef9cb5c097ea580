"""The gallery: every example of examples/ run at build time, its output and pictures shown.

When the builder starts, every examples/*.py runs once, two at a time, from the checkout's root with
the interpreter that runs Sphinx: the files it writes go to build/docs/gallery/NAME/ (through
PWPOLY_EXAMPLE_OUTPUT), its standard output to output.txt there. An example whose page asks for
processes (`:processes: 2`) runs under the venv's mpiexec. A page shows them with

    ```{example-output} demo.py
    ```

which inserts the output as a literal block and each picture the example wrote. An example that
fails, one without a gallery page, or a page naming no example stops the build.
"""

import os
import shutil
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

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
PROCESSES_OPTION = ":processes:"
TIME_LIMIT = 300  # seconds for one example


def output_directory(app: Sphinx, example: str) -> Path:
    return Path(app.outdir).parent / "gallery" / Path(example).stem


def page_of(app: Sphinx, example: str) -> Path:
    return Path(app.srcdir) / GALLERY_DOCS / f"{Path(example).stem}.md"


def processes_of(page: Path) -> int:
    """The processes a page asks for its example (1 when it names none)."""
    for line in page.read_text(encoding="utf-8").splitlines():
        if line.strip().startswith(PROCESSES_OPTION):
            return int(line.split(":", 2)[2])
    return 1


def run_example(app: Sphinx, example: str) -> tuple[str, float]:
    directory = output_directory(app, example)
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    command = [sys.executable, str(EXAMPLES / example)]
    processes = processes_of(page_of(app, example))
    if processes > 1:
        mpiexec = Path(sys.executable).parent / "mpiexec"
        command = [str(mpiexec), "-n", str(processes), *command]
    env = dict(os.environ, PWPOLY_EXAMPLE_OUTPUT=os.path.relpath(directory, ROOT), MPLBACKEND="Agg")
    start = time.perf_counter()
    result = subprocess.run(
        command, cwd=ROOT, env=env, capture_output=True, text=True, timeout=TIME_LIMIT, stdin=subprocess.DEVNULL
    )
    seconds = time.perf_counter() - start
    if result.returncode != 0:
        raise ExtensionError(f"examples/{example} failed (exit status {result.returncode}):\n{result.stderr}")
    (directory / "output.txt").write_text(result.stdout, encoding="utf-8")
    (directory / "seconds.txt").write_text(f"{seconds:.1f}\n", encoding="utf-8")
    return example, seconds


def run_examples(app: Sphinx) -> None:
    examples = sorted(path.name for path in EXAMPLES.glob("*.py"))
    missing = [name for name in examples if not page_of(app, name).is_file()]
    if missing:
        raise ExtensionError(f"examples without a gallery page in docs/{GALLERY_DOCS}/: {', '.join(missing)}")
    with ThreadPoolExecutor(max_workers=2) as pool:
        for example, seconds in pool.map(lambda name: run_example(app, name), examples):
            logger.info(f"gallery: examples/{example} ran in {seconds:.1f} s")


class ExampleOutput(SphinxDirective):
    """The output and the pictures of one example, as its run at build time left them."""

    required_arguments = 1
    option_spec = {"processes": directives.positive_int}  # noqa: RUF012 (docutils' interface)

    def run(self) -> list[nodes.Node]:
        example = self.arguments[0]
        if not (EXAMPLES / example).is_file():
            raise self.error(f"no example examples/{example}")
        directory = output_directory(self.env.app, example)
        output = (directory / "output.txt").read_text(encoding="utf-8")
        seconds = (directory / "seconds.txt").read_text(encoding="utf-8").strip()
        processes = self.options.get("processes", 1)
        how = f"on {processes} MPI processes " if processes > 1 else ""
        self.env.note_dependency(str(EXAMPLES / example))
        result: list[nodes.Node] = [
            nodes.paragraph(text=f"Its output, {how}from the run that built this page ({seconds} s):"),
            nodes.literal_block(output, output, language="text"),
        ]
        pictures = sorted(directory.glob("*.png"))
        docdir = Path(self.env.doc2path(self.env.docname)).parent
        for picture in pictures:
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
