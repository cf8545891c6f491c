"""The generated API reference covers every class of the built module."""

import importlib.util
from pathlib import Path

import pytest

import _kavro_core as kc
from kavro._registry import CLASSES as CATALOG
from kavro._registry import SUBMODULES, available

pytest.importorskip("mkdocs")

HOOK = Path(__file__).resolve().parents[1] / "docs" / "hooks" / "reference_pages.py"


@pytest.fixture(scope="module")
def hook():
    spec = importlib.util.spec_from_file_location("reference_pages", HOOK)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_every_class_says_what_grows_and_what_it_returns_empty(hook):
    assert sorted(hook.GROWS) == sorted(CATALOG)
    assert set(hook.NOTES) <= set(CATALOG) and set(hook.TITLES) == set(SUBMODULES)
    for sub in SUBMODULES:
        page = hook.render_family(sub)
        for name in (n for n in available() if CATALOG[n][0] == sub):
            section = page.split(f"\n## {name}\n", 1)[1].split("\n## ", 1)[0]
            assert "**Empty model:**" in section and "**Grows with the stream:** -" not in section, name
            assert f"from kavro.{sub} import {name}" in section


def test_empty_behaviour_is_computed_from_the_live_classes(hook):
    assert "returns `-1`" in hook._empty_behaviour(kc.NaiveBayes, "classifier")
    assert hook._empty_behaviour(kc.MAE, "metric") == "`get()` returns `0.0`."
    assert hook._empty_behaviour(kc.StandardScaler, "transformer") == "`transform_one({'a': 1.0})` returns `{'a': 0.0}`."


def test_method_signatures_read_as_users_write_them(hook):
    sig = ("learn_one(self: _kavro_core.X, arg0: collections.abc.Mapping[str, typing.SupportsFloat | "
           "typing.SupportsIndex], arg1: typing.SupportsInt | typing.SupportsIndex) -> None")
    assert hook._plain(sig) == ("learn_one(self: X, arg0: Mapping[str, float], arg1: int) -> None")


def test_an_example_that_raises_fails_the_build():
    from mkdocs.exceptions import PluginError

    spec = importlib.util.spec_from_file_location("examples", HOOK.with_name("examples.py"))
    examples = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(examples)
    page = type("Page", (), {"file": type("File", (), {"src_path": "guide/x.md"})()})()
    fine = "<pre><code>accuracy 0.93\nTraceback is a word too</code></pre>"
    assert examples.on_page_content(fine, page=page) == fine
    failed = ('<pre><span class="n">Traceback</span> (most recent call last):\n  File '
              '<span>"&lt;code block: n3&gt;"</span>, line 5, in &lt;module&gt;\n    x()\n'
              '<span class="ne">KeyError</span>: <span>\'NoChangeClassifier\'</span></pre>')
    with pytest.raises(PluginError, match=r"guide/x.md: an example raised KeyError: 'NoChangeClassifier'"):
        examples.on_page_content(failed, page=page)
