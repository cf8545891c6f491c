"""The type stubs of _kavro_core against the built module.

mypy's stubtest checks names, kinds, bases, metaclasses and read-only properties; it cannot read
pybind11 signatures, so the constructor and method signatures (names, defaults, positional-only
parameters) are compared with the binding docstrings here. Classes not built yet are allowlisted
for stubtest and skipped by the signature comparison; nothing else is allowlisted.
"""

import ast
import subprocess
import sys
from pathlib import Path

import pytest

import _kavro_core as kc
import kavro
from kavro._registry import CATALOG, INTERFACES, NATIVE_INTERFACES, parse_signature

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "python" / "_kavro_core-stubs" / "__init__.pyi"
TREE = ast.parse(STUB.read_text(encoding="utf-8"))
STUB_CLASSES = {node.name: node for node in TREE.body
                if isinstance(node, ast.ClassDef) and not node.name.startswith("_")}
BUILT = [name for name in STUB_CLASSES if hasattr(kc, name)]


def test_stub_covers_every_class_and_matches_the_installed_copy():
    assert list(STUB_CLASSES) == [*INTERFACES, *CATALOG]
    installed = [Path(p) / "_kavro_core-stubs" / "__init__.pyi" for p in sys.path]
    installed = [p for p in installed if p.exists()]
    assert installed and installed[0].read_text(encoding="utf-8") == STUB.read_text(encoding="utf-8")


def test_stubtest(tmp_path):
    missing = [name for name in STUB_CLASSES if not hasattr(kc, name)]
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("".join(f"_kavro_core.{name}\n" for name in missing))
    (tmp_path / "none.ini").write_text("[mypy]\n")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_kavro_core", "--allowlist", str(allowlist),
         "--mypy-config-file", str(tmp_path / "none.ini")],
        cwd=tmp_path, capture_output=True, text=True,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


def stub_methods(node):
    """name -> FunctionDef of the plain methods of a stub class."""
    return {f.name: f for f in node.body if isinstance(f, ast.FunctionDef) and not f.decorator_list}


def stub_attributes(node):
    read_write = {a.target.id for a in node.body if isinstance(a, ast.AnnAssign)}
    read_only = {f.name for f in node.body if isinstance(f, ast.FunctionDef)
                 and any(isinstance(d, ast.Name) and d.id == "property" for d in f.decorator_list)}
    return read_write, read_only


def stub_params(fn):
    """[(name, default or None, positional_only)] without self."""
    args = fn.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
    only = {a.arg for a in args.posonlyargs}
    return [(a.arg, d, a.arg in only) for a, d in zip(positional, defaults) if a.arg != "self"]


@pytest.mark.parametrize("name", [n for n in BUILT if n not in INTERFACES])
def test_signatures_match_the_binding(name):
    cls = getattr(kc, name)
    for method, fn in stub_methods(STUB_CLASSES[name]).items():
        runtime = getattr(cls, method)
        params = parse_signature(runtime.__doc__, method)
        expected = stub_params(fn)
        assert len(params) == len(expected), f"{name}.{method}: {params}"
        for got, (pname, default, positional_only) in zip(params, expected):
            if not positional_only:
                assert got.name == pname, f"{name}.{method}"
            assert got.has_default == (default is not None), f"{name}.{method}({pname})"
            if default is not None:
                assert got.default == default and type(got.default) is type(default), \
                    f"{name}.{method}({pname}): {got.default!r} != {default!r}"


@pytest.mark.parametrize("name", [n for n in BUILT if n not in INTERFACES])
def test_properties_match_the_binding(name):
    cls = getattr(kc, name)
    read_write, read_only = stub_attributes(STUB_CLASSES[name])
    for attr in read_write | read_only:
        prop = getattr(cls, attr)
        assert isinstance(prop, property), f"{name}.{attr}"
        assert (prop.fset is None) == (attr in read_only), f"{name}.{attr}"


def test_type_checking_user_code(tmp_path):
    good = tmp_path / "good.py"
    good.write_text(
        "import kavro\n"
        "from kavro.linear import NaiveBayes\n"
        "from kavro.tree import HoeffdingTreeClassifier\n"
        "from kavro.datasets import SEA\n"
        "m = NaiveBayes()\n"
        "for x, y in SEA(n_samples=3):\n"
        "    label: int = m.predict_one(x)\n"
        "    m.learn_one(x, int(y))\n"
        "proba: dict[int, float] = m.predict_proba_one({'a': 1.0})\n"
        "t = HoeffdingTreeClassifier(grace_period=50)\n"
        "t.split_criterion = 'gini'\n"
        "res = kavro.progressive_val_score(SEA(n_samples=3), m, [], every=1)\n"
    )
    bad = tmp_path / "bad.py"
    bad.write_text(
        "from kavro.tree import HoeffdingTreeClassifier\n"
        "from kavro.drift import ADWIN\n"
        "HoeffdingTreeClassifier(grace_period='x')\n"
        "HoeffdingTreeClassifier().learn_one({'a': 1.0}, 'label')\n"
        "ADWIN().width = 3.0\n"
    )
    (tmp_path / "none.ini").write_text("[mypy]\n")
    base = [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path / "cache"), "--no-error-summary",
            "--config-file", str(tmp_path / "none.ini")]
    proc = subprocess.run([*base, str(good)], capture_output=True, text=True, cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    proc = subprocess.run([*base, str(bad)], capture_output=True, text=True, cwd=tmp_path)
    errors = [line for line in proc.stdout.splitlines() if ": error:" in line]
    assert [line.split(":")[1] for line in errors] == ["3", "4", "5"], proc.stdout


def test_package_type_checks_strictly(tmp_path):
    (tmp_path / "none.ini").write_text("[mypy]\n")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "-p", "kavro", "--cache-dir", str(tmp_path / "cache"),
         "--config-file", str(tmp_path / "none.ini")],
        capture_output=True, text=True, cwd=tmp_path,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


NATIVE_STUB = ROOT / "python" / "kavro" / "_native.pyi"
NATIVE_CLASSES = {node.name: node for node in ast.parse(NATIVE_STUB.read_text(encoding="utf-8")).body
                  if isinstance(node, ast.ClassDef)}
NATIVE_CATALOGUED = [e.name for e in kavro.catalog() if e.module == "kavro._native"]


@pytest.mark.parametrize("name", NATIVE_CATALOGUED)
def test_native_class_stubs_match_the_binding(name):
    from kavro import _native

    cls = getattr(_native, name)
    node = NATIVE_CLASSES[name]
    assert [ast.unparse(base) for base in node.bases] == [
        b.__name__ if b.__module__ == "kavro._native" else f"{b.__module__}.{b.__name__}" for b in cls.__bases__]
    methods = stub_methods(node)
    assert "__init__" in methods
    for method, fn in methods.items():
        params = parse_signature(getattr(cls, method).__doc__, method)
        expected = stub_params(fn)
        n_defaults = len(fn.args.defaults)
        assert len(params) == len(expected), f"{name}.{method}: {params}"
        for i, (got, (pname, default, positional_only)) in enumerate(zip(params, expected)):
            if not positional_only:
                assert got.name == pname, f"{name}.{method}"
            has_default = i >= len(expected) - n_defaults
            assert got.has_default == has_default, f"{name}.{method}({pname})"
            if has_default:
                assert got.default == default, f"{name}.{method}({pname}): {got.default!r} != {default!r}"
    read_write, read_only = stub_attributes(node)
    for attr in read_write | read_only:
        prop = getattr(cls, attr)
        assert isinstance(prop, property) and (prop.fset is None) == (attr in read_only), f"{name}.{attr}"


def test_stubtest_native(tmp_path):
    """The whole of kavro._native: generated class stubs and the hand-kept helpers around them."""
    (tmp_path / "none.ini").write_text("[mypy]\n")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "kavro._native", "--mypy-config-file", str(tmp_path / "none.ini")],
        cwd=tmp_path, capture_output=True, text=True,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr