"""The docstrings of both modules: numpydoc sections that match the signatures, examples that run.

pwpoly_numpy's docstrings are read from the installed package: the module, every name of
``__all__``, and every public method and property of its classes, inherited ones as each class
shows them. pwpoly's are read from its type stubs (python/pwpoly-stubs/__init__.pyi, executed as
Python: its functions carry the stubs' signatures and docstrings; the C objects keep their own
runtime docstrings), and their examples run against the real pwpoly. As the module docstrings
say, the examples of pwpoly_numpy assume ``import numpy as np`` and ``import pwpoly_numpy as pn``,
those of pwpoly ``import pwpoly``, and nothing else.
"""

import ast
import doctest
import inspect
import itertools
import linecache
import types
from pathlib import Path

import numpy as np
import pytest
from numpydoc.docscrape import get_doc_object
from numpydoc.validate import Validator, validate

import pwpoly
import pwpoly_numpy as pn
import pwpoly_numpy.typing

ROOT = Path(__file__).resolve().parent.parent
STUB_SOURCE = ROOT / "python" / "pwpoly-stubs" / "__init__.pyi"

# The numpydoc checks that matter here, chosen from numpydoc.validate's codes:
#   GL08  no docstring                        GL06  an unknown section (e.g. "Example")
#   GL07  sections out of numpydoc's order    SS01, SS06  no one-line summary
#   PR01  a parameter of the signature left out of Parameters
#   PR02  a documented parameter the signature lacks
#   PR03  Parameters in another order than the signature (keyword-only ones last)
#   EX01  no Examples section (every object: its examples are what the doctests run)
# and, for functions and methods, RT01 (no Returns section, where the code returns a value) and
# SA01 (no See Also: each links its related members of both modules). Left out: the layout of
# the quotes (GL01, GL02), wording and punctuation (SS02-SS05, PR05-PR10, RT02-RT05, SA02-SA04:
# the text names things as the mathematics does, e.g. "n_t", "dt"), an extended summary for every
# short property (ES01), and the checks of sections the docstrings do not use.
CHECKS = {"GL06", "GL07", "GL08", "SS01", "SS06", "PR01", "PR02", "PR03", "EX01"}
CALLABLE_CHECKS = {"RT01", "SA01"}

# Classes that the package makes and the user only reads: their constructor is not part of the
# interface, so their docstrings document attributes, not constructor parameters.
MADE_BY_THE_PACKAGE = {"GalerkinSolution", "ParallelSolution"}
# An interface: its signature is typing.Protocol's, no constructor of its own.
INTERFACES = {"Propagator"}

# A function related to no other member of either module: nothing to name under See Also.
UNRELATED = {"sum_as_string"}

# What the examples of each module find defined, and the file their text comes from.
GLOBALS = {"pwpoly_numpy": {"np": np, "pn": pn}, "pwpoly": {"pwpoly": pwpoly}}
SOURCES = {"pwpoly_numpy": pn.__file__, "pwpoly": str(STUB_SOURCE)}


def stand_in(name, doc, module, signature="(self)"):
    """A function with the given docstring and signature, for a docstring that belongs to no
    function numpydoc can inspect (a property, a documented module attribute)."""
    source, filename = f"def {name}{signature}: pass\n", f"<docstring of {module}.{name}>"
    linecache.cache[filename] = (len(source), None, [source], filename)  # numpydoc reads the source
    namespace = {}
    exec(compile(source, filename, "exec"), namespace)
    function = namespace[name]
    function.__doc__, function.__module__ = doc, module
    return function


def attribute_docstrings(path):
    """Module attributes documented by a string right after their assignment: name -> docstring."""
    body = ast.parse(path.read_text(encoding="utf-8")).body
    found = {}
    for statement, following in itertools.pairwise(body):
        if isinstance(following, ast.Expr) and isinstance(following.value, ast.Constant):
            if isinstance(statement, ast.AnnAssign) and isinstance(statement.target, ast.Name):
                found[statement.target.id] = following.value.value
    return found


def class_members(cls):
    """Public methods and properties of a class as the class shows them (inherited ones too),
    and ``__call__`` where the package defines it."""
    for name in sorted(dir(cls)):
        if name.startswith("_") and name != "__call__":
            continue
        value = inspect.getattr_static(cls, name)
        if isinstance(value, property):
            yield name, stand_in(name, value.__doc__, cls.__module__), "property"
        elif inspect.isfunction(value) and value.__module__.partition(".")[0] in ("pwpoly", "pwpoly_numpy"):
            yield name, value, "method"


def module_entries(module, attributes):
    """(name, object whose docstring numpydoc reads, kind) for a module and every public object of
    it; `attributes` are the docstrings of documented module attributes, by name."""
    yield module.__name__, module, "module"
    for name in module.__all__:
        value = getattr(module, name)
        if name in attributes:  # InternalFault: the class is pwpoly's, the text is the package's
            yield name, stand_in(name, attributes[name], module.__name__, "()"), "attribute"
        elif inspect.isclass(value):
            yield name, value, "class"
            for member, obj, kind in class_members(value):
                yield f"{name}.{member}", obj, kind
        else:
            yield name, value, "function"


def pwpoly_numpy_entries():
    return module_entries(pn, attribute_docstrings(Path(pn.__file__)))


def pwpoly_stub_entries():
    """pwpoly's entries, from its stubs executed as a module of that name."""
    stub = types.ModuleType("pwpoly", None)
    exec(compile(STUB_SOURCE.read_text(encoding="utf-8"), str(STUB_SOURCE), "exec"), stub.__dict__)
    return module_entries(stub, {})


def test_pwpoly_stub_covers_the_module():
    """The stub documents exactly the public names of pwpoly and of its classes."""
    documented = {name for name, _, _ in pwpoly_stub_entries()} - {"pwpoly"}
    public = set(pwpoly.__all__)
    for name in pwpoly.__all__:
        value = getattr(pwpoly, name)
        if isinstance(value, type):
            public.update(f"{name}.{member}" for member in vars(value) if not member.startswith("_"))
    assert documented == public


ENTRIES = [("pwpoly_numpy", *entry) for entry in pwpoly_numpy_entries()]
ENTRIES += [("pwpoly_numpy", "pwpoly_numpy.typing", pwpoly_numpy.typing, "module")]  # the aliases of the signatures
ENTRIES += [("pwpoly", *entry) for entry in pwpoly_stub_entries()]
IDS = [f"{module}:{name}" if name != module else module for module, name, _, _ in ENTRIES]


class ObjectValidator(Validator):
    """numpydoc's validator on an object rather than an import path, without the position of its
    definition (which numpydoc looks for only to honour comments that silence a check: none do)."""

    def __init__(self, obj_name):
        super().__init__(get_doc_object(obj_name))

    @property
    def source_file_def_line(self):
        return None


def numpydoc_errors(obj, kind, name):
    """The findings of the chosen checks on one object's docstring."""
    checks = CHECKS | (CALLABLE_CHECKS if kind in ("function", "method") else set())
    if name in MADE_BY_THE_PACKAGE | INTERFACES:
        checks -= {"PR01", "PR02", "PR03"}
    if name in UNRELATED:
        checks -= {"SA01"}
    result = validate(obj, validator_cls=ObjectValidator)
    return [f"{code} {message}" for code, message in result["errors"] if code in checks]


@pytest.mark.parametrize(("module", "name", "obj", "kind"), ENTRIES, ids=IDS)
def test_docstring_is_numpydoc(module, name, obj, kind):
    assert numpydoc_errors(obj, kind, name) == []


def keyword_only_marks(obj):
    """(parameter, keyword-only in the signature, marked keyword-only in Parameters) for every
    documented parameter."""
    signature = inspect.signature(obj)
    for parameter in get_doc_object(obj)["Parameters"]:
        for part in parameter.name.split(", "):
            if part in signature.parameters:
                keyword_only = signature.parameters[part].kind is inspect.Parameter.KEYWORD_ONLY
                yield part, keyword_only, "keyword-only" in parameter.type


CALLABLES = [(module, name, obj) for module, name, obj, kind in ENTRIES if kind in ("function", "method", "class")]


@pytest.mark.parametrize(
    ("module", "name", "obj"), CALLABLES, ids=[f"{module}:{name}" for module, name, _ in CALLABLES]
)
def test_keyword_only_parameters_are_marked(module, name, obj):
    """A parameter's type says "keyword-only" exactly when the signature makes it so."""
    wrong = [(part, in_signature) for part, in_signature, marked in keyword_only_marks(obj) if in_signature != marked]
    assert wrong == [], "(parameter, keyword-only in the signature) whose Parameters entry says otherwise"


@pytest.mark.parametrize(
    "cls", [getattr(pn, name) for name in sorted(MADE_BY_THE_PACKAGE)], ids=lambda cls: cls.__name__
)
def test_attributes_are_documented(cls):
    """Every public attribute of a result class is in its Attributes section, and only those."""
    slots = {name for klass in cls.__mro__ for name in getattr(klass, "__slots__", ()) if not name.startswith("_")}
    documented = {part for attribute in get_doc_object(cls)["Attributes"] for part in attribute.name.split(", ")}
    assert documented == slots


def run_examples(module, name, doc):
    """Runs the examples of a docstring of `module` as doctests; returns (examples run, failure
    report)."""
    test = doctest.DocTestParser().get_doctest(doc, dict(GLOBALS[module]), name, SOURCES[module], 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = []
    result = runner.run(test, out=report.append)
    return result.attempted, "".join(report) if result.failed else ""


@pytest.mark.parametrize(("module", "name", "obj", "kind"), ENTRIES, ids=IDS)
def test_examples_run(module, name, obj, kind):
    attempted, failures = run_examples(module, f"{module}.{name}", inspect.getdoc(obj) or "")
    assert attempted > 0, "no example"
    assert failures == ""
