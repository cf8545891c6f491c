"""The catalogue of every class, read from the compiled one, and introspection of signatures.

The catalogue (kept once, in C++) names every class, the ``kavro`` submodule that re-exports it,
what kind of object it is and what it does. The 42 classes of ``_kavro_core`` come first, in its
registration order; the classes of ``kavro._native`` follow.
"""

from __future__ import annotations

import ast
import dataclasses
from typing import Any, NamedTuple

import _kavro_core

from kavro import _native

INTERFACES = ("ITransformer", "IClassifier", "IRegressor")
# Interfaces of the kinds outside the core (classes of kavro._native).
NATIVE_INTERFACES = ("IAnomalyDetector", "IDriftDetector", "IClassificationMetric", "IRegressionMetric")


class CatalogEntry(NamedTuple):
    """One class of the catalogue."""

    name: str
    family: str
    kind: str
    summary: str
    module: str


ENTRIES: tuple[CatalogEntry, ...] = tuple(CatalogEntry(*e) for e in _native.catalog())

# name -> (submodule, kind, one-line summary) of every class, and of the core's alone.
CLASSES: dict[str, tuple[str, str, str]] = {e.name: (e.family, e.kind, e.summary) for e in ENTRIES}
CATALOG: dict[str, tuple[str, str, str]] = {
    e.name: (e.family, e.kind, e.summary) for e in ENTRIES if e.module == "_kavro_core"
}

SUBMODULES = tuple(dict.fromkeys(e.family for e in ENTRIES))

_MODULES = {"_kavro_core": _kavro_core, "kavro._native": _native}


def lookup(name: str) -> Any:
    """The class a catalogue name stands for (None when the build lacks it)."""
    for e in ENTRIES:
        if e.name == name:
            return getattr(_MODULES[e.module], name, None)
    return None


# Regression metrics take float targets; every other metric takes labels.
REGRESSION_METRICS = frozenset(
    {"MAE", "RMSE", "R2", "WindowRegressionMetric"}
    | {
        e.name
        for e in ENTRIES
        if e.kind == "metric"
        and isinstance(lookup(e.name), type)
        and issubclass(lookup(e.name), _native.IRegressionMetric)
    }
)


def available() -> list[str]:
    """Names of the catalogued classes present in the compiled modules, in catalogue order."""
    return [e.name for e in ENTRIES if lookup(e.name) is not None]


def names_in(submodule: str) -> list[str]:
    """Catalogued names of one submodule (present or not)."""
    return [e.name for e in ENTRIES if e.family == submodule]


def export(namespace: dict[str, Any], submodule: str) -> list[str]:
    """Bind the present classes of ``submodule`` into ``namespace``; return their names."""
    present = []
    for name in names_in(submodule):
        cls = lookup(name)
        if cls is not None:
            namespace[name] = cls
            present.append(name)
    return present


def kind_of(cls: type) -> str:
    """The catalogue's kind of a class: 'classifier', 'regressor', 'transformer', 'metric',
    'detector', 'anomaly', or 'unknown'."""
    if issubclass(cls, _kavro_core.IClassifier):
        return "classifier"
    if issubclass(cls, _kavro_core.IRegressor):
        return "regressor"
    if issubclass(cls, _kavro_core.ITransformer):
        return "transformer"
    entry = CLASSES.get(cls.__name__)
    return entry[1] if entry else "unknown"


@dataclasses.dataclass(frozen=True)
class Param:
    """One constructor parameter as read from the binding's signature."""

    name: str
    annotation: str
    default: Any
    has_default: bool

    @property
    def type(self) -> type | None:
        """The Python type a command-line value is converted to (None when not a scalar)."""
        ann = self.annotation
        if "bool" in ann:
            return bool
        if "SupportsInt" in ann or ann == "int":
            return int
        if "SupportsFloat" in ann or ann == "float":
            return float
        if ann == "str":
            return str
        if self.has_default and isinstance(self.default, (bool, int, float, str)):
            return type(self.default)
        return None

    def __str__(self) -> str:
        return f"{self.name}={self.default!r}" if self.has_default else self.name


def _first_signature_line(doc: str | None, name: str) -> str | None:
    for line in (doc or "").splitlines():
        line = line.strip()
        if line.startswith(name + "(") and ")" in line:
            return line
    return None


def parse_signature(doc: str | None, name: str = "__init__") -> list[Param]:
    """Parameters (without ``self``) of the first ``name(...)`` signature line of a docstring.

    pybind11 writes each overload as ``name(self: T, a: int = 1, ...) -> R`` at the top of the
    docstring; this reads the first one.
    """
    line = _first_signature_line(doc, name)
    if line is None:
        return []
    src = "def " + line.rsplit(" -> ", 1)[0] + ": pass"
    try:
        fn = ast.parse(src).body[0]
    except SyntaxError:
        return []
    assert isinstance(fn, ast.FunctionDef)
    args = fn.args
    positional = args.posonlyargs + args.args
    defaults: list[ast.expr | None] = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    params = []
    for arg, default in zip(positional, defaults):
        if arg.arg == "self":
            continue
        ann = ast.unparse(arg.annotation) if arg.annotation is not None else ""
        value: Any = None
        if default is not None:
            try:
                value = ast.literal_eval(default)
            except ValueError:
                value = ast.unparse(default)
        params.append(Param(arg.arg, ann, value, default is not None))
    return params


def constructor_params(cls: type) -> list[Param]:
    """Constructor parameters of a ``_kavro_core`` class, in order."""
    return parse_signature(getattr(cls, "__init__").__doc__, "__init__")


def signature_text(cls: type) -> str:
    """``Name(a=1, b='x')`` for printing."""
    return f"{cls.__name__}({', '.join(str(p) for p in constructor_params(cls))})"


def summary(cls: type) -> str:
    """One line describing the class: its docstring's first line, else the catalogue's."""
    doc = (cls.__doc__ or "").strip().splitlines()
    if doc and not doc[0].startswith(cls.__name__ + "("):
        return doc[0]
    entry = CLASSES.get(cls.__name__)
    return entry[2] if entry else ""


def constructor_doc(cls: type) -> str:
    """What the constructor's parameters mean: its docstring without pybind11's signature lines."""
    lines = (getattr(cls, "__init__").__doc__ or "").splitlines()
    text = [line.strip() for line in lines if not line.strip().startswith("__init__(")]
    return " ".join(line for line in text if line and line != "Overloaded function.")


_MISSING = object()


def _find(state: Any, name: str) -> Any:
    """A field of a described state, at its top or one plain (non-object) level down."""
    if not isinstance(state, dict):
        return _MISSING
    if name in state:
        return state[name]
    for value in state.values():
        if isinstance(value, dict) and "class" not in value and name in value:
            return value[name]
    return _MISSING


def parameters(obj: Any) -> dict[str, Any]:
    """The constructor parameters of a live object: read from its attributes, else from its
    described state (objects it holds come back as their descriptions)."""
    cls = type(obj)
    params = constructor_params(cls)
    state = _native.describe(obj) if any(not hasattr(cls, p.name) for p in params) else None
    out = {}
    for p in params:
        try:
            value = getattr(obj, p.name)
        except AttributeError:
            value = _find(state, p.name)
        if value is not _MISSING:
            out[p.name] = value
    return out


def build(name: str, params: dict[str, Any]) -> Any:
    """A fresh object of a catalogued class from parameters as ``parameters`` gives them."""
    def arg(value: Any) -> Any:
        if isinstance(value, dict) and set(value) == {"class", "state"}:
            cls = lookup(value["class"])
            return build(value["class"], {p.name: v for p in constructor_params(cls)
                                          if (v := _find(value["state"], p.name)) is not _MISSING})
        if isinstance(value, list):
            return [arg(v) for v in value]
        if type(value).__module__ in ("_kavro_core", "kavro._native"):
            return build(type(value).__name__, parameters(value))
        return value

    return lookup(name)(**{k: arg(v) for k, v in params.items()})


def _repr(obj: Any) -> str:
    cls = type(obj)
    try:
        defaults = {p.name: p for p in constructor_params(cls)}
        shown = []
        for name, value in parameters(obj).items():
            p = defaults[name]
            if p.has_default and _same(value, p.default):
                continue
            text = _value_text(value)
            if text is not None:
                shown.append(f"{name}={text}")
        return f"{cls.__name__}({', '.join(shown)})"
    except Exception:  # an object without a constructed value, or a state it cannot describe
        return f"{cls.__name__}(<not initialised>)"


def _value_text(value: Any) -> str | None:
    """A scalar as its repr, a held object (described or live) by its class name."""
    if isinstance(value, (bool, int, float, str, type(None))):
        return repr(value)
    if isinstance(value, dict) and set(value) == {"class", "state"}:
        return f"{value['class']}(...)"
    if isinstance(value, (list, tuple)):
        parts = [_value_text(v) for v in value]
        return None if any(p is None for p in parts) else "[" + ", ".join(p for p in parts if p) + "]"
    if type(value).__module__ in ("_kavro_core", "kavro._native"):
        return repr(value)
    return None


def _same(value: Any, default: Any) -> bool:
    if isinstance(default, float) and isinstance(value, (int, float)):
        return float(value) == default or (value != value and default != default)
    if isinstance(default, str) and not isinstance(value, str):
        return False
    return bool(value == default) if isinstance(value, (bool, int, float, str, type(None))) else False


def install_reprs() -> None:
    """A readable ``repr`` for every catalogued class: its name and its non-default parameters."""
    for name in available():
        cls = lookup(name)
        if "__repr__" not in cls.__dict__ or getattr(cls.__dict__["__repr__"], "__module__", None) != __name__:
            cls.__repr__ = _repr
