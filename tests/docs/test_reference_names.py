"""Every public name of both modules, as they run, has its entry in the generated reference: the
module's names without a leading underscore, and the public methods, properties and attributes
of each of its classes (the exception class aside, which documents itself as an attribute)."""

import pytest

import pwpoly
import pwpoly_numpy

from .docsite import SITE

pytestmark = pytest.mark.docs


def public_names(module) -> set[str]:
    names = set()
    for name in dir(module):
        if name.startswith("_"):
            continue
        names.add(f"{module.__name__}.{name}")
        value = getattr(module, name)
        if isinstance(value, type) and not issubclass(value, BaseException):
            names.update(f"{module.__name__}.{name}.{member}" for member in dir(value) if not member.startswith("_"))
    return names


def reference_names() -> set[str]:
    from sphinx.util.inventory import InventoryFile

    with (SITE / "objects.inv").open("rb") as stream:
        inventory = InventoryFile.load(stream, "", lambda base, uri: uri)
    return {name for role, entries in inventory.items() if role.startswith("py:") for name in entries}


@pytest.mark.parametrize("module", [pwpoly, pwpoly_numpy], ids=lambda module: module.__name__)
def test_every_public_name_is_in_the_reference(module, site):
    expected = public_names(module)
    assert len(expected) > 10
    assert not expected - reference_names(), "missing from the reference"
