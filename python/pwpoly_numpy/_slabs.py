"""The time slabs' former module: pickles written by earlier versions name the class here."""

from ._partition import TimeSlab

__all__ = ["TimeSlab"]
