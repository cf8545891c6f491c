"""The README's example of saving, loading and inspecting runs as written."""

import re
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"


def section_code(title):
    text = README.read_text(encoding="utf-8")
    start = text.index(f"## {title}\n")
    end = text.find("\n## ", start + 1)
    blocks = re.findall(r"```python\n(.*?)```", text[start:end], flags=re.S)
    assert blocks, f"no python example under {title!r}"
    return "\n".join(blocks)


def test_saving_example_runs(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    exec(compile(section_code("Saving, loading and inspecting models"), "README.md", "exec"), {})
    assert (tmp_path / "model.kavro").exists()
    assert not list(tmp_path.glob(".kavro-*"))
