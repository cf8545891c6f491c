"""Baselines: no-change and majority-class classifiers, no-change and mean regressors."""

from kavro._native import (
    MajorityClassClassifier as MajorityClassClassifier,
    MeanRegressor as MeanRegressor,
    NoChangeClassifier as NoChangeClassifier,
    NoChangeRegressor as NoChangeRegressor,
)

__all__ = [
    "NoChangeClassifier",
    "MajorityClassClassifier",
    "NoChangeRegressor",
    "MeanRegressor",
]
