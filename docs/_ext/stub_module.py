"""pwpoly documented from its type stub.

pwpoly is a C extension whose runtime docstrings are short plain text; its documented source is
the stub python/pwpoly-stubs/__init__.pyi (numpydoc docstrings, signatures with annotations and
keyword-only markers). Inside the Sphinx process only, this extension executes the stub as the
module `pwpoly` (annotations kept as written, not evaluated) and registers its source with
autodoc's analyzer, so that autodoc and autosummary document the stub. The real extension module
is never imported here.
"""

import __future__

import sys
import types
from pathlib import Path

from sphinx.application import Sphinx
from sphinx.pycode import ModuleAnalyzer

STUB = Path(__file__).resolve().parents[2] / "python" / "pwpoly-stubs" / "__init__.pyi"


def stub_module(name: str, path: Path) -> types.ModuleType:
    source = path.read_text(encoding="utf-8")
    code = compile(source, str(path), "exec", flags=__future__.annotations.compiler_flag, dont_inherit=True)
    module = types.ModuleType(name)
    module.__file__ = str(path)
    exec(code, module.__dict__)
    ModuleAnalyzer.cache[("module", name)] = ModuleAnalyzer.for_string(source, name, str(path))
    return module


def setup(app: Sphinx) -> dict[str, object]:
    sys.modules["pwpoly"] = stub_module("pwpoly", STUB)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
