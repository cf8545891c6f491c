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


def test_generated_stubs_and_readme_table_follow_the_catalogue():
    import subprocess
    import sys

    proc = subprocess.run([sys.executable, str(ROOT / "scripts" / "sync_catalog.py"), "--check"],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    # The written block of _native.pyi holds every catalogued class of kavro._native, in order.
    text = (ROOT / "python" / "kavro" / "_native.pyi").read_text(encoding="utf-8")
    block = text.split("# --- catalogued classes: written by scripts/sync_catalog.py ---\n", 1)[1]
    block = block.split("# --- end of catalogued classes ---\n", 1)[0]
    written = [node.name for node in ast.parse(block).body if isinstance(node, ast.ClassDef)]
    assert written == [e.name for e in ENTRIES if e.module == "kavro._native"]


def _sync_catalog():
    import importlib.util

    spec = importlib.util.spec_from_file_location("sync_catalog", ROOT / "scripts" / "sync_catalog.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_native_stub_block_is_rewritten_alone_and_checked(tmp_path, monkeypatch):
    sync = _sync_catalog()
    current = sync.NATIVE_STUB.read_text(encoding="utf-8")
    stale = current.replace("    def reset(self) -> None: ...\n", "", 1).replace(
        "CSV_READS_GZIP: bool", "CSV_READS_GZIP: bool  # kept")
    copy = tmp_path / "_native.pyi"
    copy.write_text(stale, encoding="utf-8")
    monkeypatch.setattr(sync, "NATIVE_STUB", copy)
    assert sync.main(["--check"]) == 1 and copy.read_text(encoding="utf-8") == stale
    assert sync.main([]) == 0
    assert copy.read_text(encoding="utf-8") == current.replace("CSV_READS_GZIP: bool", "CSV_READS_GZIP: bool  # kept")

    copy.write_text(current.replace("Mapping, Sequence\n", "Sequence\n", 1), encoding="utf-8")
    with pytest.raises(sync.StubError, match="does not import Mapping"):
        sync.native_stub(kavro.catalog())
    copy.write_text(current.replace(sync.END, ""), encoding="utf-8")
    assert sync.main(["--check"]) == 2


@pytest.mark.parametrize("text, spelt", [
    ("collections.abc.Mapping[str, typing.SupportsFloat | typing.SupportsIndex]", "_kavro_core._Record"),
    ("typing.SupportsInt | typing.SupportsIndex | None", "int | None"),
    ("collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex] | None", "Sequence[float] | None"),
    ("collections.abc.Mapping[typing.SupportsInt | typing.SupportsIndex, typing.SupportsFloat | typing.SupportsIndex]",
     "Mapping[int, float]"),
    ("dict[str, tuple[typing.SupportsFloat | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex]]",
     "dict[str, tuple[float, int]]"),
    ("kavro._native.IAnomalyDetector", "IAnomalyDetector"),
    ("list[_kavro_core.ITransformer]", "list[_kavro_core.ITransformer]"),
    ("object", "Any"),
    ("dict", "dict[Any, Any]"),
])
def test_binding_types_in_stub_spelling(text, spelt):
    assert _sync_catalog().Spelling()(text) == spelt


@pytest.mark.parametrize("text", ["numpy.ndarray", "list[typing.SupportsIndex]", "os.PathLike | str"])
def test_a_type_without_stub_spelling_stops_the_writer(text):
    sync = _sync_catalog()
    with pytest.raises(sync.StubError, match="no stub spelling"):
        sync.Spelling()(text)


def test_class_stub_reads_overloads_positional_keyword_static_and_properties():
    sync = _sync_catalog()
    record = "collections.abc.Mapping[str, typing.SupportsFloat | typing.SupportsIndex]"
    integer = "typing.SupportsInt | typing.SupportsIndex"

    def bound(doc):
        def method(*args, **kwargs):
            pass
        method.__doc__ = doc
        return method

    def getter(kind):
        return bound(f"(arg0: kavro._native.Fake) -> {kind}\n")

    Fake = type("Fake", (), {
        "__init__": bound("__init__(*args, **kwargs)\nOverloaded function.\n\n"
                          f"1. __init__(self: kavro._native.Fake, a: {integer} = 1) -> None\n\nOne.\n\n"
                          "2. __init__(self: kavro._native.Fake, name: str = 'x') -> None\n\nTwo.\n"),
        "learn_one": bound(f"learn_one(self: kavro._native.Fake, arg0: {record}, arg1: {integer}) -> None\n"),
        "update_many": bound("update_many(self: kavro._native.Fake, values: object, *, warnings: bool = False)"
                             " -> object\n"),
        "make": staticmethod(bound(f"make(n: {integer}) -> kavro._native.Fake\n")),
        "__repr__": lambda self: "Fake()",
        "size": property(getter("int")),
        "rate": property(getter("float"), bound("(arg0: kavro._native.Fake, arg1: float) -> None")),
        "table": property(getter("dict")),
    })
    hints = sync.Hints({"Fake.table": "dict[str, float]"})
    spelling = sync.Spelling()
    assert sync.class_stub(Fake, spelling, hints) == [
        "class Fake:",
        "    rate: float",
        "    @overload",
        "    def __init__(self, a: int = 1) -> None: ...",
        "    @overload",
        '    def __init__(self, name: str = "x") -> None: ...',
        "    def learn_one(self, x: _kavro_core._Record, y: int, /) -> None: ...",
        "    def update_many(self, values: Any, *, warnings: bool = False) -> Any: ...",
        "    @staticmethod",
        "    def make(n: int) -> Fake: ...",
        "    @property",
        "    def size(self) -> int: ...",
        "    @property",
        "    def table(self) -> dict[str, float]: ...",
    ]
    assert spelling.needs == {"overload", "_kavro_core", "Any"} and hints.used == {"Fake.table"}
    with pytest.raises(sync.StubError, match="stale"):
        sync.class_stub(Fake, sync.Spelling(), sync.Hints({"Fake.size": "bool"}))
    with pytest.raises(sync.StubError, match="NoSuch.member"):
        sync.native_block(kavro.catalog(), {**sync.HINTS, "NoSuch.member": "int"})
