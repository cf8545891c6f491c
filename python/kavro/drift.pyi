"""Concept-drift detectors."""

from _kavro_core import (
    ADWIN as ADWIN,
    EDDM as EDDM,
)
from kavro._native import (
    DDM as DDM,
    RDDM as RDDM,
    HDDM_A as HDDM_A,
    HDDM_W as HDDM_W,
    PageHinkley as PageHinkley,
    CUSUM as CUSUM,
    STEPD as STEPD,
    EWMAChart as EWMAChart,
    GeometricMovingAverage as GeometricMovingAverage,
)

__all__ = [
    "ADWIN",
    "EDDM",
    "DDM",
    "RDDM",
    "HDDM_A",
    "HDDM_W",
    "PageHinkley",
    "CUSUM",
    "STEPD",
    "EWMAChart",
    "GeometricMovingAverage",
]
