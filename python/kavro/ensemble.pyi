"""Forests, random patches, leveraging bagging and gradient boosting of trees; online bagging,"""

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
from kavro._native import (
    BaggingClassifier as BaggingClassifier,
    BaggingRegressor as BaggingRegressor,
    ADWINBaggingClassifier as ADWINBaggingClassifier,
    AdaBoostClassifier as AdaBoostClassifier,
    VotingClassifier as VotingClassifier,
    StackingClassifier as StackingClassifier,
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
    "BaggingClassifier",
    "BaggingRegressor",
    "ADWINBaggingClassifier",
    "AdaBoostClassifier",
    "VotingClassifier",
    "StackingClassifier",
]
