"""Forests, random patches, leveraging bagging and gradient boosting of trees; online bagging,
boosting, voting and stacking of any classifier or regressor.

The classes are those of the compiled modules themselves, re-exported without wrappers; a class
the compiled modules do not provide is left out.
"""

from kavro._registry import export as _export

__all__ = _export(globals(), "ensemble")
