"""Baselines: no-change and majority-class classifiers, no-change and mean regressors.

Every streaming study reports against them: on temporally dependent streams a model that only
repeats the last label can score well above chance.
"""

from kavro._registry import export as _export

__all__ = _export(globals(), "dummy")
