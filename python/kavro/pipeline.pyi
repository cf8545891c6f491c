"""Pipelines of transformers before a classifier or regressor."""

from _kavro_core import (
    ClassificationPipeline as ClassificationPipeline,
    RegressionPipeline as RegressionPipeline,
)

__all__ = [
    "ClassificationPipeline",
    "RegressionPipeline",
]
