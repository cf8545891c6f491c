"""Baselines: no-change and majority-class classifiers, no-change and mean regressors."""

from kavro._native import (
    NoChangeClassifier as NoChangeClassifier,
    MajorityClassClassifier as MajorityClassClassifier,
    NoChangeRegressor as NoChangeRegressor,
    MeanRegressor as MeanRegressor,
)

__all__ = [
    "NoChangeClassifier",
    "MajorityClassClassifier",
    "NoChangeRegressor",
    "MeanRegressor",
]
