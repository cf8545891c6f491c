"""Incremental decision trees for classification and regression."""

from _kavro_core import (
    HoeffdingTreeClassifier as HoeffdingTreeClassifier,
    EFDTClassifier as EFDTClassifier,
    SGTClassifier as SGTClassifier,
    HoeffdingAdaptiveTreeClassifier as HoeffdingAdaptiveTreeClassifier,
    HoeffdingTreeRegressor as HoeffdingTreeRegressor,
    FIMTDDRegressor as FIMTDDRegressor,
)

__all__ = [
    "HoeffdingTreeClassifier",
    "EFDTClassifier",
    "SGTClassifier",
    "HoeffdingAdaptiveTreeClassifier",
    "HoeffdingTreeRegressor",
    "FIMTDDRegressor",
]
