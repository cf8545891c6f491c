"""KAVRO: online (streaming) machine learning with a C++ core.

The learners, transformers, metrics and detectors are the classes of the extension modules
``_kavro_core`` and ``kavro._native``, listed once in the catalogue (``kavro.catalog()``); this
package re-exports them (here and by family in ``kavro.linear``, ``kavro.neighbors``,
``kavro.tree``, ``kavro.ensemble``, ``kavro.preprocessing``, ``kavro.pipeline``,
``kavro.metrics``, ``kavro.drift``, ``kavro.dummy``, ``kavro.anomaly``, ...) and adds streams (``kavro.stream``),
synthetic generators (``kavro.datasets``), prequential evaluation (``kavro.evaluate``), batch
entry points over arrays and DataFrames (``kavro.batch``) and a command line (``python -m kavro``).
"""

from __future__ import annotations

from importlib import metadata as _metadata

import _kavro_core
from _kavro_core import IClassifier, IRegressor, ITransformer

from kavro import (
    anomaly,
    batch,
    datasets,
    drift,
    dummy,
    ensemble,
    evaluate,
    linear,
    metrics,
    model_selection,
    neighbors,
    pipeline,
    preprocessing,
    stream,
    tree,
)
from kavro._registry import ENTRIES as _ENTRIES
from kavro._registry import CatalogEntry
from kavro._registry import available as _available
from kavro._registry import install_reprs as _install_reprs
from kavro._registry import lookup as _lookup
from kavro.batch import learn_many, predict_many, predict_proba_many, score_many, transform_many
from kavro.evaluate import progressive_val_score
from kavro.persistence import clone, dumps, inspect, load, loads, save, to_dot

try:
    __version__ = _metadata.version("kavro")
except _metadata.PackageNotFoundError:  # pragma: no cover - running from a source tree
    __version__ = "0+unknown"



def catalog() -> list[CatalogEntry]:
    """Every class of the library: (name, family, kind, summary, module), in catalogue order."""
    return list(_ENTRIES)


_classes = _available()
globals().update({_name: _lookup(_name) for _name in _classes})
_install_reprs()

__all__ = [
    "IClassifier",
    "IRegressor",
    "ITransformer",
    "batch",
    "datasets",
    "drift",
    "dummy",
    "ensemble",
    "evaluate",
    "linear",
    "metrics",
    "model_selection",
    "neighbors",
    "pipeline",
    "preprocessing",
    "progressive_val_score",
    "learn_many",
    "predict_many",
    "predict_proba_many",
    "transform_many",
    "score_many",
    "anomaly",
    "catalog",
    "CatalogEntry",
    "clone",
    "dumps",
    "loads",
    "save",
    "load",
    "inspect",
    "to_dot",
    "stream",
    "tree",
    *_classes,
]
