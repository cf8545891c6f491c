"""Anomaly detection: streaming detectors that score how unusual each record is.

Every detector learns records without labels (``learn_one(x)``) and scores them with
``score_one(x)``: higher is more anomalous, and scoring changes nothing. ``HalfSpaceTrees``,
``OnlineIsolationForest``, ``LODA``, ``RSHash`` and ``KNNDistance`` are the detectors;
``ThresholdFilter`` and ``QuantileThreshold`` turn scores into 0/1 alarms (``predict_one``);
``AnomalyPipeline`` runs transformers (such as a ``MinMaxScaler``) before a detector.
``kavro.score_many`` and ``kavro.learn_many`` take whole arrays, and
``kavro.progressive_val_score`` evaluates a detector on a labelled stream (score, measure, learn).
"""

from kavro._registry import export as _export

__all__ = _export(globals(), "anomaly")
