"""Concept-drift detectors.

The classes are those of ``_kavro_core`` themselves, re-exported without wrappers; a class the
compiled module does not provide is left out.
"""

from kavro._registry import export as _export

__all__ = _export(globals(), "drift")
