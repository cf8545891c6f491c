"""Writes what follows from the catalogue: the family stub files (python/kavro/<family>.pyi) and
the class table of README.md. `--check` writes nothing and fails when a file is out of date
(the tests run it that way).

    .venv/bin/python scripts/sync_catalog.py [--check]
"""

from __future__ import annotations

import sys
from pathlib import Path

import kavro

ROOT = Path(__file__).resolve().parents[1]
MODULES = {"_kavro_core": "_kavro_core", "kavro._native": "kavro._native"}


def family_stub(family: str, entries: list[kavro.CatalogEntry]) -> str:
    module = __import__(f"kavro.{family}", fromlist=["__doc__"])
    doc = (module.__doc__ or "").strip().splitlines()[0]
    out = [f'"""{doc}"""', ""]
    for source in MODULES:
        names = [e.name for e in entries if e.module == source]
        if names:
            out += [f"from {MODULES[source]} import ("] + [f"    {n} as {n}," for n in names] + [")"]
    out += ["", "__all__ = ["] + [f'    "{e.name}",' for e in entries] + ["]", ""]
    return "\n".join(out)


def readme_table(entries: list[kavro.CatalogEntry]) -> str:
    families = list(dict.fromkeys(e.family for e in entries))
    rows = ["| Class | Module | Kind | What it is |", "|---|---|---|---|"]
    rows += [f"| `{e.name}` | `kavro.{e.family}` | {e.kind} | {e.summary} |"
             for f in families for e in entries if e.family == f]
    return "\n".join(rows) + "\n"


def expected() -> dict[Path, str]:
    entries = kavro.catalog()
    families = list(dict.fromkeys(e.family for e in entries))
    files = {ROOT / "python" / "kavro" / f"{f}.pyi": family_stub(f, [e for e in entries if e.family == f])
             for f in families}
    readme = ROOT / "README.md"
    text = readme.read_text(encoding="utf-8")
    head, rest = text.split("\n## Classes\n", 1)
    intro, table_and_after = rest.split("| Class | Module | Kind | What it is |", 1)
    after = table_and_after.split("\n\n", 1)[1] if "\n\n" in table_and_after else ""
    files[readme] = f"{head}\n## Classes\n{intro}{readme_table(entries)}\n{after}"
    return files


def main(argv: list[str]) -> int:
    stale = []
    for path, text in expected().items():
        if not path.exists() or path.read_text(encoding="utf-8") != text:
            stale.append(path)
            if "--check" not in argv:
                path.write_text(text, encoding="utf-8")
    if stale and "--check" in argv:
        print("out of date (run scripts/sync_catalog.py):", *(str(p.relative_to(ROOT)) for p in stale))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
