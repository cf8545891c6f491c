"""Choosing among candidate models while the stream runs.

``ModelSelector`` (classifiers) and ``ModelSelectorRegressor`` let every candidate learn every
example and predict with the one whose prequential measure is best so far; successive halving
stops the worse candidates after each share of a budget of examples. Candidate lists can be
built from parameter grids with ``kavro.evaluate.grid``.
"""

from kavro._registry import export as _export

__all__ = _export(globals(), "model_selection")
