"""Forests, random patches, leveraging bagging and gradient boosting of trees."""

from _kavro_core import (
    ARFClassifier as ARFClassifier,
    SRPClassifier as SRPClassifier,
    LeveragingBaggingClassifier as LeveragingBaggingClassifier,
    ARFRegressor as ARFRegressor,
    SRPRegressor as SRPRegressor,
    LeveragingBaggingRegressor as LeveragingBaggingRegressor,
    SGBTClassifier as SGBTClassifier,
    SGBRRegressor as SGBRRegressor,
)

__all__ = [
    "ARFClassifier",
    "SRPClassifier",
    "LeveragingBaggingClassifier",
    "ARFRegressor",
    "SRPRegressor",
    "LeveragingBaggingRegressor",
    "SGBTClassifier",
    "SGBRRegressor",
]
