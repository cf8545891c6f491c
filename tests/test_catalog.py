"""Every class of the catalogue, core or not, is reachable everywhere a user looks for it and
behaves like any other: listed, stubbed, documented, readable, picklable and inspectable."""

import ast
import io
import pickle
import re
from contextlib import redirect_stdout
from pathlib import Path

import pytest

import _kavro_core as kc
import kavro
from kavro import _native, cli
from kavro._registry import ENTRIES, lookup
from catalog_objects import make

ROOT = Path(__file__).resolve().parents[1]
NAMES = [e.name for e in ENTRIES]


def stub_classes(path):
    tree = ast.parse(path.read_text(encoding="utf-8"))
    return {node.name for node in tree.body if isinstance(node, ast.ClassDef)}


CORE_STUBS = stub_classes(ROOT / "python" / "_kavro_core-stubs" / "__init__.pyi")
NATIVE_STUBS = stub_classes(ROOT / "python" / "kavro" / "_native.pyi")


def test_catalogue_lists_every_class_once_in_both_modules():
    assert [tuple(e) for e in kavro.catalog()] == [tuple(e) for e in ENTRIES]
    assert len(set(NAMES)) == len(NAMES)
    core = [e.name for e in ENTRIES if e.module == "_kavro_core"]
    assert core == [n for n, obj in vars(kc).items() if isinstance(obj, type)][3:]
    assert len(core) == 42
    native = {n for n, obj in vars(_native).items() if isinstance(obj, type) and hasattr(obj, "__init__")}
    assert {e.name for e in ENTRIES if e.module == "kavro._native"} <= native
    assert sorted(_native.class_names()) == sorted(NAMES)


def test_kavro_list_names_every_class():
    out = io.StringIO()
    with redirect_stdout(out):
        assert cli.main(["list"]) == 0
    listed = set(re.findall(r"^  (\w+)\(", out.getvalue(), re.M))
    assert listed == set(NAMES)


@pytest.mark.parametrize("entry", ENTRIES, ids=lambda e: e.name)
def test_every_class_is_complete(entry):
    cls = lookup(entry.name)
    assert cls is not None and getattr(kavro, entry.name) is cls
    family = __import__(f"kavro.{entry.family}", fromlist=["__all__"])
    assert entry.name in family.__all__
    if entry.module == "_kavro_core":
        assert entry.name in CORE_STUBS
    else:
        assert entry.name in NATIVE_STUBS
        family_stub = (ROOT / "python" / "kavro" / f"{entry.family}.pyi").read_text(encoding="utf-8")
        assert f"{entry.name} as {entry.name}" in family_stub
    assert (cls.__doc__ or "").strip()

    obj = make(cls)
    text = repr(obj)
    assert text.startswith(entry.name + "(") and " at 0x" not in text
    again = pickle.loads(pickle.dumps(obj))
    assert type(again) is cls and kavro.dumps(again) == kavro.dumps(obj)
    assert kavro.inspect(obj)["class"] == entry.name
    copy = kavro.clone(obj)
    assert type(copy) is cls and kavro.dumps(copy) == kavro.dumps(obj)


def test_api_reference_has_a_section_per_class():
    hook_path = ROOT / "docs" / "hooks" / "reference_pages.py"
    pytest.importorskip("mkdocs")
    import importlib.util

    spec = importlib.util.spec_from_file_location("reference_pages", hook_path)
    hook = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(hook)
    for e in ENTRIES:
        assert f"\n## {e.name}\n" in hook.render_family(e.family), e.name
    nav = (ROOT / "mkdocs.yml").read_text(encoding="utf-8")
    assert all(f"reference/{f}.md" in nav for f in {e.family for e in ENTRIES})


def test_repr_shows_the_parameters_that_differ_from_their_defaults():
    assert repr(kavro.HoeffdingTreeClassifier()) == "HoeffdingTreeClassifier()"
    assert repr(kavro.HoeffdingTreeClassifier(grace_period=50, split_criterion="gini")) == \
        "HoeffdingTreeClassifier(grace_period=50, split_criterion='gini')"
    assert repr(kavro.Perceptron(learning_rate=0.5)) == "Perceptron(learning_rate=0.5)"
    assert repr(kc.Perceptron.__new__(kc.Perceptron)) == "Perceptron(<not initialised>)"


def test_clone_forgets_what_was_learnt_and_keeps_the_parameters():
    model = kavro.HoeffdingTreeClassifier(grace_period=20)
    pipe = kc.ClassificationPipeline([kc.StandardScaler()], model)
    for i in range(200):
        pipe.learn_one({"a": float(i % 7), "b": float(i % 3)}, i % 2)
    copy = kavro.clone(pipe)
    assert kavro.dumps(copy) == kavro.dumps(kavro.clone(kc.ClassificationPipeline(
        [kc.StandardScaler()], kavro.HoeffdingTreeClassifier(grace_period=20))))
    assert model.grace_period == 20 and kavro.inspect(model)["state"] != kavro.inspect(kavro.clone(model))["state"]


def test_family_stubs_and_readme_table_follow_the_catalogue():
    import subprocess
    import sys

    proc = subprocess.run([sys.executable, str(ROOT / "scripts" / "sync_catalog.py"), "--check"],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr
