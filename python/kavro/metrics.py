"""Prequential metrics, cumulative and over a sliding window.

Label measures take ``update(y_true, y_pred)`` with a predicted label; ``ROCAUC``,
``RollingROCAUC`` and ``PRAUC`` take a real score or a dict of label probabilities, ``LogLoss`` a
dict of label probabilities (their ``input`` is ``"proba"``: an evaluation feeds them
``predict_proba_one``). ``ConfusionMatrix`` keeps every count and prints a classification report.
The classes are those of the compiled modules themselves, re-exported without wrappers; a class
the build does not provide is left out.
"""

from kavro._registry import export as _export

__all__ = _export(globals(), "metrics")
