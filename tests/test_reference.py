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


def test_pwpoly_numpy_examples_run():
    """The examples in pwpoly_numpy's docstrings (the reference shows them) give what they show,
    run as a user runs them: with the package's public names and numpy as np at hand."""
    import doctest
    import pkgutil

    import numpy as np

    import pwpoly_numpy

    names = {name: getattr(pwpoly_numpy, name) for name in pwpoly_numpy.__all__}
    names["np"] = np
    attempted = 0
    for info in pkgutil.iter_modules(pwpoly_numpy.__path__, "pwpoly_numpy."):
        module = importlib.import_module(info.name)
        result = doctest.testmod(module, extraglobs=names, optionflags=doctest.ELLIPSIS, report=False)
        assert result.failed == 0, f"{info.name}: {result.failed} example(s) failed (run doctest on it)"
        attempted += result.attempted
    # The documented attributes of the package (InternalFault): their strings belong to no object
    # that doctest would find.
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    init = Path(pwpoly_numpy.__file__)
    for name, (_, doc) in load_tool().attribute_docstrings(init).items():
        test = parser.get_doctest(doc, dict(vars(pwpoly_numpy)), f"pwpoly_numpy.{name}", str(init), 0)
        result = runner.run(test)
        assert result.failed == 0, f"pwpoly_numpy.{name}: {result.failed} example(s) failed"
        attempted += result.attempted
    assert attempted > 0
