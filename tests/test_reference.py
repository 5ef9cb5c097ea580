"""The examples in pwpoly_numpy's docstrings, which the API reference shows, give what they show."""

import importlib
from pathlib import Path

from sphinx.pycode import ModuleAnalyzer


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
    for (_, name), lines in ModuleAnalyzer.for_module("pwpoly_numpy").find_attr_docs().items():
        doc = "\n".join(lines)
        test = parser.get_doctest(doc, dict(vars(pwpoly_numpy)), f"pwpoly_numpy.{name}", str(init), 0)
        result = runner.run(test)
        assert result.failed == 0, f"pwpoly_numpy.{name}: {result.failed} example(s) failed"
        attempted += result.attempted
    assert attempted > 0
