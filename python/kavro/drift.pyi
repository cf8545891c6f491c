"""Concept-drift detectors."""

from _kavro_core import (
    ADWIN as ADWIN,
    EDDM as EDDM,
)

__all__ = [
    "ADWIN",
    "EDDM",
]
