"""Naive Bayes, linear classifiers and linear regressors, and feature hashing.

The classes are those of ``_kavro_core`` and ``kavro._native`` themselves, re-exported without
wrappers; a class the compiled modules do not provide is left out. The adaptive learners
(``AdaptiveLogisticRegression``, ``AdaptiveLinearRegression``) and ``FTRLClassifier`` need no
feature scaling; ``FeatureHasher`` bounds the feature names of streams whose name sets grow
without end.
"""

from kavro._registry import export as _export

__all__ = _export(globals(), "linear")
