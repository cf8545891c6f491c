"""Online scalers and feature selectors."""

from _kavro_core import (
    StandardScaler as StandardScaler,
    MinMaxScaler as MinMaxScaler,
    MaxAbsScaler as MaxAbsScaler,
    VarianceThreshold as VarianceThreshold,
    SelectKBest as SelectKBest,
)

__all__ = [
    "StandardScaler",
    "MinMaxScaler",
    "MaxAbsScaler",
    "VarianceThreshold",
    "SelectKBest",
]
