"""Counts the files that name each class of kavro._native: what adding a class touched.

Files are split into the class's own files (its folder under src/), the catalogue line, files
written by scripts/sync_catalog.py (family stubs, README table, and _native.pyi when the name is
only in its written block of class stubs), and the rest written by hand (docs text, and a type hint
in scripts/sync_catalog.py where a binding leaves a type as `object`). Run from the repository root
with the package installed:

    .venv/bin/python bench/add_a_class.py
"""

from __future__ import annotations

import re
import subprocess
from collections import Counter
from pathlib import Path

import kavro

ROOT = Path(__file__).resolve().parents[1]
GENERATED = {"README.md"}
NATIVE_STUB = "python/kavro/_native.pyi"
BEGIN = "# --- catalogued classes: written by scripts/sync_catalog.py ---"
END = "# --- end of catalogued classes ---"


def files_naming(name: str) -> list[str]:
    out = subprocess.run(["git", "grep", "-l", "-w", name, "--", ".", ":!tests", ":!bench"],
                         cwd=ROOT, capture_output=True, text=True, check=False).stdout
    return out.split()


def named_outside_written_block(name: str) -> bool:
    """Whether _native.pyi names ``name`` outside the block scripts/sync_catalog.py writes."""
    text = (ROOT / NATIVE_STUB).read_text(encoding="utf-8")
    head, rest = text.split(BEGIN, 1)
    tail = rest.split(END, 1)[1]
    return re.search(rf"\b{re.escape(name)}\b", head + tail) is not None


def group(path: str, name: str) -> str:
    if path == "src/catalog/classes.def":
        return "catalogue line"
    if path.startswith("src/") and not path.startswith("src/catalog/"):
        return "own files"
    if path == NATIVE_STUB:
        return "by hand" if named_outside_written_block(name) else "generated"
    if path in GENERATED or (path.startswith("python/kavro/") and path.endswith(".pyi")):
        return "generated"
    return "by hand"


def main() -> None:
    rows = []
    for e in kavro.catalog():
        if e.module != "kavro._native":
            continue
        counts = Counter(group(p, e.name) for p in files_naming(e.name))
        rows.append((e.name, counts))
    print(f"{'class':32} {'own':>4} {'catalogue':>9} {'generated':>9} {'by hand':>7}  total")
    for name, c in rows:
        print(f"{name:32} {c['own files']:4} {c['catalogue line']:9} {c['generated']:9} {c['by hand']:7}  "
              f"{sum(c.values())}")
    if rows:
        hand = sorted(c["by hand"] for _, c in rows)
        print(f"files written by hand besides the class's own files and its catalogue line: "
              f"median {hand[len(hand) // 2]}, at most {hand[-1]} (docs text, type hints)")


if __name__ == "__main__":
    main()
