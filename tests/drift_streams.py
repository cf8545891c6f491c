"""Input streams of the drift-detector tests, regenerated from a seed and a description.

A description is a dict: ``kind`` ("bits": 0/1 outcomes with error probability ``levels``;
"unit": Gaussian values clipped to [0, 1]; "real": Gaussian values), ``n``, ``seed``,
``levels`` as [[start, level], ...] (the level from each start on), ``width`` (0: abrupt
changes; else each change follows a sigmoid of that width around its start) and ``sigma``.
Only ``random.Random`` draws are used, so a seed gives the same stream on every platform.
"""

from __future__ import annotations

import math
import random
from typing import Any


def level_at(levels: list[list[float]], width: float, t: int) -> float:
    value = levels[0][1]
    for (start, new), (_, old) in zip(levels[1:], levels):
        if width <= 0:
            if t >= start:
                value = new
        else:
            value += (new - old) / (1.0 + math.exp(-4.0 * (t - start) / width))
    return value


def generate(desc: dict[str, Any]) -> list[float]:
    rng = random.Random(desc["seed"])
    levels, width, sigma = desc["levels"], desc.get("width", 0), desc.get("sigma", 1.0)
    out = []
    for t in range(desc["n"]):
        level = level_at(levels, width, t)
        if desc["kind"] == "bits":
            out.append(1.0 if rng.random() < level else 0.0)
        else:
            v = rng.gauss(level, sigma)
            out.append(min(1.0, max(0.0, v)) if desc["kind"] == "unit" else v)
    return out


def suite() -> dict[str, dict[str, Any]]:
    """The named stream descriptions the recorded outputs were made on."""
    s: dict[str, dict[str, Any]] = {}
    for i in range(3):
        s[f"bits_abrupt_{i}"] = dict(kind="bits", n=3000, seed=10 + i, levels=[[0, 0.1 + 0.05 * i], [1500, 0.4]])
        s[f"bits_gradual_{i}"] = dict(kind="bits", n=3000, seed=20 + i, width=400,
                                      levels=[[0, 0.15], [1200, 0.3 + 0.05 * i], [2400, 0.2]])
        s[f"bits_none_{i}"] = dict(kind="bits", n=3000, seed=30 + i, levels=[[0, 0.05 + 0.15 * i]])
        s[f"bits_down_{i}"] = dict(kind="bits", n=3000, seed=40 + i, levels=[[0, 0.4], [1000, 0.1], [2000, 0.3]])
        s[f"unit_shift_{i}"] = dict(kind="unit", n=3000, seed=50 + i, sigma=0.1 + 0.05 * i,
                                    levels=[[0, 0.3], [1000, 0.55], [2000, 0.35]])
        s[f"real_shift_{i}"] = dict(kind="real", n=3000, seed=60 + i, sigma=0.5 + 0.5 * i,
                                    levels=[[0, 0.0], [1000, 2.0], [2000, -1.0]])
    s["real_none"] = dict(kind="real", n=3000, seed=70, sigma=1.0, levels=[[0, 0.5]])
    return s
