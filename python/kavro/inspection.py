"""Summaries and Graphviz views of described states (see ``kavro.inspect``)."""

from __future__ import annotations

from typing import Any


def summarise(name: str, state: Any) -> dict[str, Any]:
    """Summary counts for the described state of class ``name`` (empty when none apply)."""
    return {}


def to_dot(name: str, state: Any, member: int | None = None) -> str:
    raise TypeError(f"{name} is not a tree or an ensemble of trees")
