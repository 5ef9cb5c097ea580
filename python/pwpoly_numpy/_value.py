"""Value semantics shared by the package's immutable records (the spaces and the time slabs)."""

from __future__ import annotations

from typing import Any, Self, cast

# The package whose classes may define and redefine private members.
_PACKAGE = __name__.partition(".")[0]
# Members that decide how the fields are found: a subclass may not redefine them either.
_LOOKUP = frozenset({"__class__", "__getattribute__", "__init_subclass__"})


class ImmutableValue:
    """Equal and hashed by ``_key()`` within one exact type, pickled and copied through the
    constructor arguments ``_key()`` returns, and closed to attribute changes.

    A record is made whole by ``__new__``, which checks the arguments and sets the fields with
    ``object.__setattr__``: there is no object without its fields, whether it comes from a call,
    a copy or an unpickling. Its methods read only those private fields and private members, so
    a subclass (of any module but this package) may add and override public members but no
    private one, nor the attribute lookup (a ``TypeError`` when the subclass is made)."""

    __slots__ = ()

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        if cls.__module__.partition(".")[0] == _PACKAGE:
            return
        for name in vars(cls):
            private = name.startswith("_") and not (name.startswith("__") and name.endswith("__"))
            if (private or name in _LOOKUP) and any(name in vars(base) for base in cls.__mro__[1:]):
                raise TypeError(
                    f"{cls.__name__}: a subclass of {cls.__mro__[1].__name__} cannot redefine its private "
                    f"member {name!r}"
                )

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        """Nothing to do: ``__new__`` has made the object."""

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
