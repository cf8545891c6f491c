"""Anomaly detection: streaming detectors that score how unusual each record is."""

from kavro._native import (
    HalfSpaceTrees as HalfSpaceTrees,
    OnlineIsolationForest as OnlineIsolationForest,
    LODA as LODA,
    RSHash as RSHash,
    KNNDistance as KNNDistance,
    ThresholdFilter as ThresholdFilter,
    QuantileThreshold as QuantileThreshold,
    AnomalyPipeline as AnomalyPipeline,
)

__all__ = [
    "HalfSpaceTrees",
    "OnlineIsolationForest",
    "LODA",
    "RSHash",
    "KNNDistance",
    "ThresholdFilter",
    "QuantileThreshold",
    "AnomalyPipeline",
]
