"""Writes what follows from the catalogue: the family stub files (python/kavro/<family>.pyi), the
class table of README.md, and the stubs of the catalogued classes of kavro._native (the marked block
of python/kavro/_native.pyi, read from the built bindings). `--check` writes nothing and fails when
a file is out of date (the tests run it that way).

    .venv/bin/python scripts/sync_catalog.py [--check]
"""

from __future__ import annotations

import ast
import json
import os
import re
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import kavro
from kavro import _native

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


# The class stubs of kavro._native, read from its bindings: the block of _native.pyi between BEGIN
# and END. The rest of that file (interfaces, functions, non-catalogue classes) is kept by hand.

NATIVE_STUB = ROOT / "python" / "kavro" / "_native.pyi"
BEGIN = "# --- catalogued classes: written by scripts/sync_catalog.py ---"
END = "# --- end of catalogued classes ---"
WIDTH = 110

# The comment above each family's classes; a family missing here gets its module docstring's
# opening words.
TITLES = {
    "dummy": "Baselines",
    "metrics": "Measures",
    "drift": "Drift detectors",
    "anomaly": "Anomaly detection",
    "linear": "Linear models and feature hashing",
    "ensemble": "Meta-learners over any learner",
    "model_selection": "Model selection",
}

# Types a binding leaves loose (a py::object or a bare py::dict in C++, spelt Any here):
# "Class.member" is a property's type or a method's return, "Class.method(param)" a parameter's.
# An entry for a type the binding spells precisely, or for no member at all, is an error.
HINTS = {
    "ROCAUC.update(y_pred)": "float | dict[int, float]",
    "RollingROCAUC.update(y_pred)": "float | dict[int, float]",
    "PRAUC.update(y_pred)": "float | dict[int, float]",
    "HalfSpaceTrees.limits": "dict[str, tuple[float, float]] | None",
    "LODA.__init__(n_bins)": "int | str",
    "LODA.n_bins": "int | str",
    "AdaptiveLogisticRegression.weights": "dict[int, dict[str, float]]",
    "AdaptiveLinearRegression.weights": "dict[str, float]",
    "FTRLClassifier.weights": "dict[int, dict[str, float]]",
    "VotingClassifier.weights": "list[float] | None",
    "ModelSelector.window": "int | None",
    "ModelSelectorRegressor.window": "int | None",
}

BUILTINS = {"None", "bool", "int", "float", "complex", "str", "bytes", "dict", "list", "tuple", "set"}
UNPARAMETERISED = {"dict": "dict[Any, Any]", "list": "list[Any]", "tuple": "tuple[Any, ...]",
                   "set": "set[Any]"}
ABCS = {"Sequence", "Mapping", "Iterable", "Iterator", "Callable"}
# pybind11 3 spells an int or a float argument as the protocols its caster accepts.
NUMBERS = {"int": ("typing.SupportsInt", "typing.SupportsIndex"),
           "float": ("typing.SupportsFloat", "typing.SupportsIndex")}


class StubError(Exception):
    """The bindings hold something the stub writer cannot spell, or a hint is stale."""


def _dotted(node: ast.expr) -> str:
    if isinstance(node, ast.Name):
        return node.id
    if isinstance(node, ast.Attribute):
        return f"{_dotted(node.value)}.{node.attr}"
    if isinstance(node, ast.Constant) and node.value is None:
        return "None"
    raise StubError(f"unreadable type: {ast.unparse(node)}")


class Spelling:
    """pybind11's type texts in the spellings of the stubs; collects the names they need."""

    def __init__(self) -> None:
        self.needs: set[str] = set()

    def __call__(self, text: str) -> str:
        return self._type(ast.parse(text, mode="eval").body)

    def _type(self, node: ast.expr) -> str:
        if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
            return self._union(node)
        if isinstance(node, ast.Subscript):
            items = node.slice.elts if isinstance(node.slice, ast.Tuple) else [node.slice]
            args = [self._type(item) for item in items]
            base = _dotted(node.value)
            if base == "collections.abc.Mapping" and args == ["str", "float"]:
                self.needs.add("_kavro_core")
                return "_kavro_core._Record"
            return f"{self._name(base, bare=False)}[{', '.join(args)}]"
        if isinstance(node, ast.List):  # the parameters of a Callable
            return "[" + ", ".join(self._type(item) for item in node.elts) + "]"
        if isinstance(node, ast.Constant) and node.value is Ellipsis:
            return "..."
        return self._name(_dotted(node), bare=True)

    def _name(self, dotted: str, bare: bool) -> str:
        if dotted in BUILTINS:
            if bare and dotted in UNPARAMETERISED:
                self.needs.add("Any")
                return UNPARAMETERISED[dotted]
            return dotted
        if dotted in ("object", "typing.Any"):
            self.needs.add("Any")
            return "Any"
        if dotted in ABCS or dotted == "Any":  # as a hint writes them
            self.needs.add(dotted)
            return dotted
        if isinstance(getattr(_native, dotted, None), type):
            return dotted
        module, _, name = dotted.rpartition(".")
        if module == "kavro._native":
            return name
        if module == "_kavro_core":
            self.needs.add("_kavro_core")
            return dotted
        if module == "collections.abc" and name in ABCS:
            self.needs.add(name)
            return name
        raise StubError(f"no stub spelling for {dotted}")

    def _union(self, node: ast.expr) -> str:
        members: list[ast.expr] = []

        def flatten(n: ast.expr) -> None:
            if isinstance(n, ast.BinOp) and isinstance(n.op, ast.BitOr):
                flatten(n.left)
                flatten(n.right)
            else:
                members.append(n)

        flatten(node)
        plain = [_dotted(m) if isinstance(m, (ast.Name, ast.Attribute)) else None for m in members]
        out: list[str] = []
        for member, dotted in zip(members, plain):
            number = next((n for n, protocols in NUMBERS.items() if dotted in protocols
                           and all(p in plain for p in protocols)), None)
            text = number if number is not None else self._type(member)
            if text not in out:
                out.append(text)
        return " | ".join(out)


class Hints:
    """HINTS, applied where a binding's type is loose; remembers which were used."""

    def __init__(self, hints: dict[str, str]) -> None:
        self.hints = hints
        self.used: set[str] = set()

    def spell(self, spelling: Spelling, text: str, where: str) -> str:
        own = Spelling()
        spelt = own(text)
        hint = self.hints.get(where)
        if hint is None:
            spelling.needs |= own.needs
            return spelt
        if "Any" not in own.needs:
            raise StubError(f"hint for {where} is stale: the binding spells it {spelt}")
        self.used.add(where)
        return spelling(hint)


def _signatures(doc: str | None, name: str) -> list[str]:
    """pybind11's signature lines for ``name``: one, or one per overload."""
    lines = [line.strip() for line in (doc or "").splitlines()]
    numbered = [re.sub(r"^\d+\. ", "", line) for line in lines
                if re.match(rf"\d+\. {re.escape(name)}\(", line)]
    if numbered:
        return numbered
    return [line for line in lines if line.startswith(name + "(")][:1]


def _default(node: ast.expr) -> str:
    try:
        value = ast.literal_eval(node)
    except ValueError:
        return "..."
    if value is Ellipsis:
        return "..."
    return json.dumps(value) if isinstance(value, str) else repr(value)


def _params(fn: ast.FunctionDef, spell: Callable[[str, str], str], static: bool) -> list[str]:
    """The parameter list of a stub def, from a parsed signature; pybind11's unnamed arguments
    (arg0, arg1, ...) can only be passed by position."""
    args = fn.args
    positional = args.posonlyargs + args.args
    defaults: list[ast.expr | None] = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    out = [] if static else ["self"]
    if not static:
        positional, defaults = positional[1:], defaults[1:]
    unnamed = [a for a in positional if re.fullmatch(r"arg\d+", a.arg)]
    only = len(args.posonlyargs) - (0 if static else 1) if args.posonlyargs else len(unnamed)
    types = [spell(ast.unparse(a.annotation), a.arg) if a.annotation else None for a in positional]
    record_first = bool(unnamed) and types[0] == "_kavro_core._Record"
    for i, (arg, kind, default) in enumerate(zip(positional, types, defaults)):
        name = arg.arg
        if i < len(unnamed) and record_first and i < 2:
            name = "xy"[i]  # the names the interfaces give a record and its target
        text = name + (f": {kind}" if kind else "")
        if default is not None:
            text += f" = {_default(default)}" if kind else f"={_default(default)}"
        out.append(text)
        if only and i == only - 1:
            out.append("/")
    if args.vararg:
        out.append("*" + args.vararg.arg + (f": {spell(ast.unparse(args.vararg.annotation), args.vararg.arg)}"
                                            if args.vararg.annotation else ""))
    elif args.kwonlyargs:
        out.append("*")
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        text = arg.arg + (f": {spell(ast.unparse(arg.annotation), arg.arg)}" if arg.annotation else "")
        if default is not None:
            text += f" = {_default(default)}"
        out.append(text)
    if args.kwarg:
        out.append("**" + args.kwarg.arg + (f": {spell(ast.unparse(args.kwarg.annotation), args.kwarg.arg)}"
                                            if args.kwarg.annotation else ""))
    return out


def _def(name: str, params: list[str], returns: str) -> list[str]:
    """``def name(...) -> returns: ...`` in a class body, wrapped under its parenthesis when long."""
    head = f"    def {name}("
    line = f"{head}{', '.join(params)}) -> {returns}: ..."
    if len(line) <= WIDTH:
        return [line]
    indent = " " * len(head)
    lines, current = [], head
    for i, param in enumerate(params):
        piece = param + (", " if i < len(params) - 1 else f") -> {returns}: ...")
        if current not in (head, indent) and len(current) + len(piece.rstrip()) > WIDTH:
            lines.append(current.rstrip())
            current = indent
        current += piece
    return lines + [current]


def _method(cls: type, name: str, member: Any, spelling: Spelling, hints: Hints) -> list[str]:
    static = isinstance(member, staticmethod)
    doc = (member.__func__ if static else member).__doc__
    sigs = _signatures(doc, name)
    out: list[str] = []
    for sig in sigs:
        source = "def " + re.sub(r"=\s*<[^<>]*>", "= ...", sig) + ": ..."
        try:
            fn = ast.parse(source).body[0]
        except SyntaxError as error:
            raise StubError(f"{cls.__name__}.{name}: unreadable signature {sig!r}") from error
        assert isinstance(fn, ast.FunctionDef)

        def spell(text: str, param: str) -> str:
            return hints.spell(spelling, text, f"{cls.__name__}.{name}({param})")

        params = _params(fn, spell, static)
        returns = "None"
        if fn.returns is not None:
            returns = hints.spell(spelling, ast.unparse(fn.returns), f"{cls.__name__}.{name}")
        if len(sigs) > 1:
            spelling.needs.add("overload")
            out.append("    @overload")
        if static:
            out.append("    @staticmethod")
        out += _def(name, params, returns)
    return out


def _property_type(cls: type, name: str, prop: property, spelling: Spelling, hints: Hints) -> str:
    line = next((ln.strip() for ln in (prop.fget.__doc__ or "").splitlines() if ln.strip()), "")
    match = re.fullmatch(r"\(.*\) -> (.+)", line)
    if match is None:
        raise StubError(f"{cls.__name__}.{name}: no signature in the getter's docstring")
    return hints.spell(spelling, match.group(1), f"{cls.__name__}.{name}")


def class_stub(cls: type, spelling: Spelling, hints: Hints) -> list[str]:
    """The stub of one bound class: its interface, the bound methods, then the properties (a
    writable one as an attribute)."""
    bases = [spelling(f"{b.__module__}.{b.__qualname__}") for b in cls.__bases__
             if b.__module__ in ("_kavro_core", "kavro._native")]
    attributes: list[str] = []
    methods: list[str] = []
    readonly: list[str] = []
    members = dict(vars(cls))
    order = ["__init__"] * ("__init__" in members) + [n for n in members if n != "__init__"]
    for name in order:
        member = members[name]
        if isinstance(member, property):
            kind = _property_type(cls, name, member, spelling, hints)
            if member.fset is None:
                readonly += ["    @property", f"    def {name}(self) -> {kind}: ..."]
            else:
                attributes.append(f"    {name}: {kind}")
        elif name != "_pybind11_conduit_v1_" and (not name.startswith("_") or name.startswith("__")):
            function = member.__func__ if isinstance(member, staticmethod) else member
            if callable(function) and _signatures(function.__doc__, name):
                methods += _method(cls, name, member, spelling, hints)
    body = attributes + methods + readonly
    return [f"class {cls.__name__}({', '.join(bases)}):" if bases else f"class {cls.__name__}:"] + \
        (body or ["    ..."])


def family_title(family: str) -> str:
    if family in TITLES:
        return TITLES[family]
    module = __import__(f"kavro.{family}", fromlist=["__doc__"])
    first = (module.__doc__ or family).strip().splitlines()[0]
    return re.split(r"[:.]", first, maxsplit=1)[0]


def native_block(entries: list[kavro.CatalogEntry], hints: dict[str, str] = HINTS) -> tuple[str, set[str]]:
    """The stubs of the catalogued classes of kavro._native, grouped by family in catalogue
    order, and the names they need imported."""
    spelling, applied = Spelling(), Hints(hints)
    native = [e for e in entries if e.module == "kavro._native"]
    out: list[str] = []
    for family in dict.fromkeys(e.family for e in native):
        out += [f"# {family_title(family)} (kavro.{family})", ""]
        for e in native:
            if e.family == family:
                out += class_stub(getattr(_native, e.name), spelling, applied) + [""]
    unused = sorted(set(hints) - applied.used)
    if unused:
        raise StubError(f"hints for no member of the bindings: {', '.join(unused)}")
    return "\n".join(out), spelling.needs


def _imported(head: str) -> set[str]:
    names = set()
    for node in ast.parse(head).body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            names |= {a.asname or a.name for a in node.names}
    return names


def native_stub(entries: list[kavro.CatalogEntry]) -> str:
    """_native.pyi with its block of catalogued classes rewritten."""
    text = NATIVE_STUB.read_text(encoding="utf-8")
    if text.count(BEGIN) != 1 or text.count(END) != 1 or text.index(BEGIN) > text.index(END):
        raise StubError(f"{NATIVE_STUB.name} needs one '{BEGIN}' line and one '{END}' line after it")
    head, rest = text.split(BEGIN, 1)
    tail = rest.split(END, 1)[1]
    block, needs = native_block(entries)
    missing = sorted(needs - _imported(head))
    if missing:
        raise StubError(f"the head of {NATIVE_STUB.name} does not import {', '.join(missing)}")
    return f"{head}{BEGIN}\n\n{block}\n{END}{tail}"


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
    files[NATIVE_STUB] = native_stub(entries)
    return files


def main(argv: list[str]) -> int:
    try:
        files = expected()
    except StubError as error:
        print(f"sync_catalog: {error}", file=sys.stderr)
        return 2
    stale = []
    for path, text in files.items():
        if not path.exists() or path.read_text(encoding="utf-8") != text:
            stale.append(path)
            if "--check" not in argv:
                path.write_text(text, encoding="utf-8")
    if stale and "--check" in argv:
        print("out of date (run scripts/sync_catalog.py):", *(os.path.relpath(p, ROOT) for p in stale))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
