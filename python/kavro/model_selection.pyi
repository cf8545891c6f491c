"""Choosing among candidate models while the stream runs."""

from kavro._native import (
    ModelSelector as ModelSelector,
    ModelSelectorRegressor as ModelSelectorRegressor,
    SuccessiveHalvingClassifier as SuccessiveHalvingClassifier,
    SuccessiveHalvingRegressor as SuccessiveHalvingRegressor,
)

__all__ = [
    "ModelSelector",
    "ModelSelectorRegressor",
    "SuccessiveHalvingClassifier",
    "SuccessiveHalvingRegressor",
]
