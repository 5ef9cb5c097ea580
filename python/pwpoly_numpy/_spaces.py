"""The spaces' former module: pickles written by earlier versions name the classes here."""

from ._lagrange import LagrangeSpace
from ._legendre import LegendreSpace

__all__ = ["LagrangeSpace", "LegendreSpace"]
