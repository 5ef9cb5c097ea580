"""Value semantics shared by the package's immutable records (the spaces and the time slabs)."""

from __future__ import annotations

from typing import Any, Self, cast


class ImmutableValue:
    """Equal and hashed by ``_key()`` within one exact type, pickled and copied through the
    constructor arguments ``_key()`` returns, and closed to attribute changes: a subclass sets
    its fields in ``__init__`` with ``object.__setattr__``."""

    __slots__ = ()

    def _key(self) -> tuple[Any, ...]:
        """The constructor arguments that make this value."""
        raise NotImplementedError

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return self._key() == cast(Self, other)._key()

    def __hash__(self) -> int:
        return hash((type(self).__name__, *self._key()))

    def __reduce__(self) -> tuple[type[Self], tuple[Any, ...]]:
        return (type(self), self._key())

    def __copy__(self) -> Self:
        return self

    def __deepcopy__(self, memo: dict[int, Any]) -> Self:
        return self

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"{type(self).__name__} objects are immutable: cannot set {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"{type(self).__name__} objects are immutable: cannot delete {name!r}")
