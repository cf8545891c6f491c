"""Windowed k-nearest-neighbour classification and regression."""

from _kavro_core import (
    KNNClassifier as KNNClassifier,
    KNNRegressor as KNNRegressor,
)

__all__ = [
    "KNNClassifier",
    "KNNRegressor",
]
