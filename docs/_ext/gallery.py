"""The gallery: the examples of examples/ run at build time, their output and pictures shown.

A gallery page (docs/gallery/NAME.md, one for every examples/NAME.py) shows a run with

    ```{example-output} demo.py [ARGUMENTS...]
    :processes: 2
    ```

which inserts the run's command line, its standard output as a literal block, each picture it
wrote and a link to download the script. When the builder starts, every run that a gallery page
asks for is made once, two at a time, from the checkout's root with the interpreter that runs
Sphinx (under the venv's mpiexec with `:processes:` above 1); the files it writes go to
build/docs/gallery/RUN/ (through
PWPOLY_EXAMPLE_OUTPUT). An example that fails, one without a gallery page, or a page naming no
example stops the build.

The gallery's index shows every page as a thumbnail in a grid,

    ```{gallery-grid}
    ```

each card the page's title, its first sentence and its picture: the first image the page shows
(`![...](...)`), else the first picture of its runs. A page without a picture stops the build.
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
from sphinx import addnodes
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
        script = os.path.relpath(EXAMPLES / run.example, docdir)
        download = nodes.paragraph()
        download += nodes.Text("Download the script: ")
        download += addnodes.download_reference(
            "", "", nodes.literal(run.example, run.example), refdoc=self.env.docname, reftarget=script,
            refexplicit=True, reftype="download", refdomain="",
        )  # fmt: skip
        result.append(download)
        return result


class Card(NamedTuple):
    page: str  # the page's name under gallery/
    title: str
    summary: str
    picture: Path


# A page's title and its first image; the first sentence of its first paragraph as plain text.
TITLE = re.compile(r"^# (.+)$", re.MULTILINE)
IMAGE = re.compile(r"!\[[^\]]*\]\(([^)\s]+)\)")


def summary_of(body: str) -> str:
    """The first sentence of the first paragraph of text (not a directive, image or heading), its
    links and code marks taken off."""
    for paragraph in body.split("\n\n"):
        text = " ".join(paragraph.split())
        if text and not text.startswith(("```", "!", "#", "<", ":")):
            text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", text).replace("`", "")
            first = re.match(r"(.+?)\.(?:\s|$)", text)
            return (first[1] if first else text.rstrip(".:")) + "."
    return ""


def card_of(app: Sphinx, page: Path) -> Card:
    text = page.read_text(encoding="utf-8")
    title = TITLE.search(text)
    if title is None:
        raise ExtensionError(f"the gallery page {page.name} has no title")
    image = IMAGE.search(text)
    if image is not None:
        picture = (page.parent / image[1]).resolve()
    else:
        pictures = [p for run in runs_of(page) for p in sorted(output_directory(app, run).glob("*.png"))]
        if not pictures:
            raise ExtensionError(f"the gallery page {page.name} shows no picture for its thumbnail")
        picture = pictures[0]
    return Card(page.stem, title[1].strip(), summary_of(text[title.end() :]), picture)


class GalleryGrid(SphinxDirective):
    """Every gallery page but the index as a card in a grid: its picture, title and summary."""

    def run(self) -> list[nodes.Node]:
        pages = Path(self.env.srcdir) / GALLERY_DOCS
        docdir = Path(self.env.doc2path(self.env.docname)).parent
        grid = nodes.container(classes=["gallery-grid"])
        for page in sorted(pages.glob("*.md")):
            if page.stem == "index":
                continue
            card = card_of(self.env.app, page)
            self.env.note_dependency(str(page))
            uri = self.env.app.builder.get_relative_uri(self.env.docname, f"{GALLERY_DOCS}/{card.page}")
            image = os.path.relpath(card.picture, docdir)
            box = nodes.container(classes=["gallery-card"])
            thumbnail = nodes.reference("", "", refuri=uri, classes=["gallery-thumbnail"])
            thumbnail += nodes.image(uri=image, alt=card.title, candidates={"*": image})
            box += thumbnail
            title = nodes.paragraph(classes=["gallery-title"])
            title += nodes.reference(card.title, card.title, refuri=uri)
            box += title
            box += nodes.paragraph(card.summary, card.summary, classes=["gallery-summary"])
            grid += box
        return [grid]


def reread_gallery(app: Sphinx, env: object, added: set[str], changed: set[str], removed: set[str]) -> list[str]:
    """The gallery's pages are read again on every build: their examples ran again."""
    return [name for name in app.env.found_docs if name.startswith(f"{GALLERY_DOCS}/")]


def setup(app: Sphinx) -> dict[str, object]:
    app.add_directive("example-output", ExampleOutput)
    app.add_directive("gallery-grid", GalleryGrid)
    app.connect("builder-inited", run_examples)
    app.connect("env-get-outdated", reread_gallery)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
