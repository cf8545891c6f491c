"""Prequential metrics, cumulative and over a sliding window."""

from _kavro_core import (
    Accuracy as Accuracy,
    MacroPrecision as MacroPrecision,
    MacroRecall as MacroRecall,
    MacroF1 as MacroF1,
    MAE as MAE,
    RMSE as RMSE,
    WindowMetric as WindowMetric,
    WindowRegressionMetric as WindowRegressionMetric,
    R2 as R2,
)

__all__ = [
    "Accuracy",
    "MacroPrecision",
    "MacroRecall",
    "MacroF1",
    "MAE",
    "RMSE",
    "WindowMetric",
    "WindowRegressionMetric",
    "R2",
]
