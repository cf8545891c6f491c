"""Anomaly detection: streaming detectors that score how unusual each record is."""

from kavro._native import (
    AnomalyPipeline as AnomalyPipeline,
    HalfSpaceTrees as HalfSpaceTrees,
    KNNDistance as KNNDistance,
    LODA as LODA,
    OnlineIsolationForest as OnlineIsolationForest,
    QuantileThreshold as QuantileThreshold,
    RSHash as RSHash,
    ThresholdFilter as ThresholdFilter,
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
