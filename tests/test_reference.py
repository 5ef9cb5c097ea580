"""docs/reference.md is generated from the stubs and docstrings: it must be up to date."""

import importlib
import importlib.util
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def load_tool():
    spec = importlib.util.spec_from_file_location("reference", ROOT / "tools" / "reference.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_reference_is_up_to_date():
    tool = load_tool()
    written = (ROOT / "docs" / "reference.md").read_text(encoding="utf-8")
    assert tool.render() == written, "docs/reference.md is out of date: run python tools/reference.py"


def test_reference_has_every_public_name():
    import pwpoly
    import pwpoly_numpy

    text = (ROOT / "docs" / "reference.md").read_text(encoding="utf-8")
    for module in (pwpoly, pwpoly_numpy):
        for name in module.__all__:
            assert f"`class {name}(" in text or f"`{name}(" in text or f"`{name}: " in text, name
