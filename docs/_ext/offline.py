"""A site that loads with no request outside itself.

- MathJax comes from the system's copy (Debian's libjs-mathjax) into the site's _static/mathjax:
  the TeX input, the CommonHTML output and its web fonts.
- Cross-links to the documentation of Python, numpy, scipy and mpi4py come from small inventories
  written at build time from EXTERNAL below, since intersphinx cannot fetch the projects' own here.
  The links point to the projects' public pages; the reader's browser follows them, the build does not.
"""

import shutil
import zlib
from pathlib import Path

from sphinx.application import Sphinx
from sphinx.config import Config
from sphinx.errors import ConfigError

MATHJAX_SOURCE = Path("/usr/share/javascript/mathjax")
# What the TeX-AMS_CHTML configuration loads, relative to the MathJax directory.
MATHJAX_PARTS = [
    "MathJax.js",
    "config/TeX-AMS_CHTML.js",
    "extensions",
    "jax/element",
    "jax/input/TeX",
    "jax/output/CommonHTML",
    "fonts/HTML-CSS/TeX/woff",
]

# The types the reference and the guide name, by project: (base URL, {name: (role, page)}), and
# the glossary terms and labels that numpydoc's parameter types link to: (role, page, title).
EXTERNAL: dict[str, tuple[str, dict[str, tuple[str, ...]]]] = {
    "python": (
        "https://docs.python.org/3/",
        {
            **{
                name: ("py:class", f"library/functions.html#{name}")
                for name in ("bool", "float", "int", "str", "bytes", "list", "tuple", "dict", "range", "object", "type")
            },
            **{
                name: ("py:exception", f"library/exceptions.html#{name}")
                for name in (
                    "BaseException",
                    "Exception",
                    "TypeError",
                    "ValueError",
                    "OverflowError",
                    "MemoryError",
                    "RuntimeError",
                    "BufferError",
                    "IndexError",
                )
            },
            "None": ("py:data", "library/constants.html#None"),
            "collections.abc.Callable": ("py:class", "library/collections.abc.html#collections.abc.Callable"),
            "collections.abc.Sequence": ("py:class", "library/collections.abc.html#collections.abc.Sequence"),
            "collections.abc.Iterator": ("py:class", "library/collections.abc.html#collections.abc.Iterator"),
            "typing.Any": ("py:data", "library/typing.html#typing.Any"),
            "typing.Self": ("py:data", "library/typing.html#typing.Self"),
            "typing.Literal": ("py:data", "library/typing.html#typing.Literal"),
            "array.array": ("py:class", "library/array.html#array.array"),
            "fractions.Fraction": ("py:class", "library/fractions.html#fractions.Fraction"),
            "callable": ("py:function", "library/functions.html#callable"),
            "bltin-boolean-values": ("std:label", "library/stdtypes.html#bltin-boolean-values", "Boolean Values"),
        },
    ),
    "numpy": (
        "https://numpy.org/doc/stable/",
        {
            "numpy": ("py:module", "reference/index.html"),
            "numpy.ndarray": ("py:class", "reference/generated/numpy.ndarray.html"),
            "numpy.integer": ("py:class", "reference/arrays.scalars.html#numpy.integer"),
            "numpy.floating": ("py:class", "reference/arrays.scalars.html#numpy.floating"),
            "numpy.float64": ("py:class", "reference/arrays.scalars.html#numpy.float64"),
            "numpy.int64": ("py:class", "reference/arrays.scalars.html#numpy.int64"),
            "numpy.complex128": ("py:class", "reference/arrays.scalars.html#numpy.complex128"),
            "numpy.dtype": ("py:class", "reference/generated/numpy.dtype.html"),
            "numpy.typing.ArrayLike": ("py:class", "reference/typing.html#numpy.typing.ArrayLike"),
            "numpy.typing.NDArray": ("py:class", "reference/typing.html#numpy.typing.NDArray"),
            "array_like": ("std:term", "glossary.html#term-array_like", "array_like"),
            "arrays.scalars": ("std:label", "reference/arrays.scalars.html", "Scalars"),
        },
    ),
    "scipy": (
        "https://docs.scipy.org/doc/scipy/",
        {
            "scipy.sparse.csr_array": ("py:class", "reference/generated/scipy.sparse.csr_array.html"),
            "scipy.sparse.sparray": ("py:class", "reference/generated/scipy.sparse.sparray.html"),
            "scipy.sparse.spmatrix": ("py:class", "reference/generated/scipy.sparse.spmatrix.html"),
            "scipy.sparse.linalg.splu": ("py:function", "reference/generated/scipy.sparse.linalg.splu.html"),
            "scipy.sparse.linalg.factorized": (
                "py:function",
                "reference/generated/scipy.sparse.linalg.factorized.html",
            ),
        },
    ),
    "mpi4py": (
        "https://mpi4py.readthedocs.io/en/stable/",
        {
            "mpi4py.MPI.Comm": ("py:class", "reference/mpi4py.MPI.Comm.html"),
            "mpi4py.MPI.Intracomm": ("py:class", "reference/mpi4py.MPI.Intracomm.html"),
        },
    ),
}


# Annotations name some types by their defining module or by an import alias: each such name
# links to the public name's page.
ALIASES = {
    "numpy._typing._array_like.ArrayLike": "numpy.typing.ArrayLike",
    "numpy._typing._array_like.NDArray": "numpy.typing.NDArray",
    "npt.ArrayLike": "numpy.typing.ArrayLike",
    "npt.NDArray": "numpy.typing.NDArray",
    "np.float64": "numpy.float64",
    "np.int64": "numpy.int64",
    "np.ndarray": "numpy.ndarray",
    "scipy.sparse._csr.csr_array": "scipy.sparse.csr_array",
}


def with_aliases(entries: dict[str, tuple[str, ...]]) -> dict[str, tuple[str, ...]]:
    return entries | {alias: entries[name] for alias, name in ALIASES.items() if name in entries}


def write_inventory(path: Path, project: str, entries: dict[str, tuple[str, ...]]) -> None:
    """An inventory in Sphinx's format (version 2): a plain header, then zlib-compressed lines
    `name domain:role priority uri display-name` (display name "-": the name itself)."""
    header = f"# Sphinx inventory version 2\n# Project: {project}\n# Version: \n"
    header += "# The remainder of this file is compressed using zlib.\n"
    lines = []
    for name, (role, uri, *title) in sorted(entries.items()):
        lines.append(f"{name} {role} 1 {uri} {title[0] if title else '-'}\n")
    body = "".join(lines)
    path.write_bytes(header.encode() + zlib.compress(body.encode()))


def local_inventories(app: Sphinx, config: Config) -> None:
    directory = Path(app.outdir).parent / "inventories"
    directory.mkdir(parents=True, exist_ok=True)
    mapping = {}
    for project, (url, entries) in EXTERNAL.items():
        path = directory / f"{project}.inv"
        write_inventory(path, project, with_aliases(entries))
        mapping[project] = (url, str(path))
    config.intersphinx_mapping = mapping


def copy_mathjax(app: Sphinx, exception: Exception | None) -> None:
    if exception is not None or app.builder.format != "html":
        return
    if not (MATHJAX_SOURCE / "MathJax.js").is_file():
        raise ConfigError(f"no MathJax in {MATHJAX_SOURCE}: install it with apt-get install libjs-mathjax")
    target = Path(app.outdir) / "_static" / "mathjax"
    for part in MATHJAX_PARTS:
        source = MATHJAX_SOURCE / part
        if source.is_dir():
            shutil.copytree(source, target / part, dirs_exist_ok=True)
        else:
            (target / part).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, target / part)


def setup(app: Sphinx) -> dict[str, object]:
    app.connect("config-inited", local_inventories, priority=400)
    app.connect("build-finished", copy_mathjax)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
