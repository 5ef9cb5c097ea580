"""The attributes of a result class, each with its text from the class's own docstring.

A class with __slots__ documents its attributes in its numpydoc "Attributes" section: the slots
themselves carry no docstring. For the reference's entry of such an attribute, this takes the
type and description from the "Attributes" section of the first class in the method resolution
order that lists it (a subclass inherits its base's attributes and their text).
"""

import importlib

from numpydoc.docscrape import NumpyDocString
from sphinx.application import Sphinx


def owner(name: str) -> type | None:
    """The class of a dotted attribute name such as pwpoly_numpy.GalerkinSolution.end."""
    module_name, _, rest = name.rpartition(".")[0].rpartition(".")
    try:
        value = getattr(importlib.import_module(module_name), rest)
    except (ImportError, AttributeError):
        return None
    return value if isinstance(value, type) else None


def attribute_text(app: Sphinx, what: str, name: str, obj: object, options: object, lines: list[str]) -> None:
    if what != "attribute" or any(line.strip() for line in lines):
        return
    cls = owner(name)
    attribute = name.rpartition(".")[2]
    for base in cls.__mro__ if cls is not None else ():
        for entry in NumpyDocString(base.__doc__ or "")["Attributes"]:
            if attribute in (name.strip() for name in entry.name.split(",")):  # "n_solves, n_intervals : int"
                lines[:] = [*entry.desc, "", f"*Type*: {entry.type}"] if entry.type else list(entry.desc)
                return


def setup(app: Sphinx) -> dict[str, object]:
    app.connect("autodoc-process-docstring", attribute_text, priority=400)  # before numpydoc's
    return {"parallel_read_safe": True, "parallel_write_safe": True}
