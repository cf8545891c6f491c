"""Saving, restoring, copying and inspecting models.

Every object of ``_kavro_core`` has a saved form (``docs/state-format.md``): ``dumps``/``loads``
turn an object into bytes and back, ``save``/``load`` do the same with a file, and importing
``kavro`` registers reducers with :mod:`copyreg`, so :mod:`pickle` (protocols 2 to 5),
:func:`copy.copy`, :func:`copy.deepcopy`, :mod:`multiprocessing`, cloudpickle and joblib work on
every object. A restored object continues exactly as the original would: same floats to the bit,
same dict key order, same random draws.

Pipelines hold their steps and learner as shared objects. ``dumps`` writes them in full (an
object held twice is written once and restored shared); pickle refers to them as separate
objects, so its memo keeps sharing across everything pickled together: unpickling
``[pipeline, scaler]`` gives a pipeline whose step is the restored ``scaler``.
"""

from __future__ import annotations

import copyreg
import os
import tempfile
from typing import Any

from kavro import _native
from kavro._registry import build, lookup, parameters

__all__ = ["dumps", "loads", "save", "load", "inspect", "to_dot", "header", "clone"]

FORMAT_VERSION: int = _native.FORMAT_VERSION


def _class_name(cls: Any) -> str:
    if isinstance(cls, str):
        return cls
    name = str(getattr(cls, "__name__", ""))
    if isinstance(cls, type) and name and lookup(name) is cls:
        return name
    raise TypeError(f"expected a kavro class or its name, got {cls!r}")


def _as_bytes(data: Any) -> bytes:
    if isinstance(data, bytes):
        return data
    if isinstance(data, (bytearray, memoryview)):
        return bytes(data)
    raise TypeError(f"a saved state is bytes, not {type(data).__name__}")


def dumps(obj: Any) -> bytes:
    """The saved form of ``obj`` (any object of ``_kavro_core``) as bytes."""
    data: bytes = _native.dumps(obj)
    return data


def loads(data: bytes | bytearray | memoryview, *, expected: Any = None) -> Any:
    """The object saved in ``data``.

    ``expected`` (a class or class name) makes a state of any other class an error. A damaged,
    truncated or foreign state raises ``ValueError`` saying what is wrong.
    """
    name = "" if expected is None else _class_name(expected)
    return _native.loads(_as_bytes(data), name)


def header(data: bytes | bytearray | memoryview) -> dict[str, Any]:
    """Class name, format version, library version and payload size of a saved state."""
    return dict(_native.header(_as_bytes(data)))


def _umask() -> int:
    """The process's umask: from /proc where it can be read without changing it, else by setting
    it and putting it back."""
    try:
        with open("/proc/self/status", encoding="ascii") as fh:
            for line in fh:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def save(obj: Any, path: str | os.PathLike[str]) -> None:
    """Writes the saved form of ``obj`` to ``path`` atomically.

    The bytes go to a temporary file in the same folder, which is flushed and synced and then
    renamed over ``path``: a crash or a full disk never leaves a half-written file under that
    name, and an existing file stays intact until the new one is complete. The file's mode
    follows the umask, as a file made by ``open`` does.
    """
    write_atomic(dumps(obj), path)


def write_atomic(data: bytes, path: str | os.PathLike[str]) -> None:
    """Writes ``data`` to ``path`` as :func:`save` does: temporary file, sync, rename."""
    target = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(target))
    if not os.path.isdir(folder):
        raise FileNotFoundError(f"cannot save to {target!r}: folder {folder!r} does not exist")
    fd, tmp = tempfile.mkstemp(prefix=".kavro-", suffix=".tmp", dir=folder)
    try:
        if hasattr(os, "fchmod"):  # mkstemp's file is 0600: follow the umask, as open() does
            os.fchmod(fd, 0o666 & ~_umask())
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    try:
        dir_fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(dir_fd)
    except OSError:
        pass
    finally:
        os.close(dir_fd)


def load(path: str | os.PathLike[str], *, expected: Any = None) -> Any:
    """The object saved in the file ``path`` (see :func:`loads`)."""
    target = os.fspath(path)
    try:
        with open(target, "rb") as f:
            data = f.read()
    except OSError as exc:
        raise type(exc)(exc.errno, f"cannot read saved state {target!r}: {exc.strerror}") from exc
    try:
        return loads(data, expected=expected)
    except ValueError as exc:
        raise ValueError(f"{target!r}: {exc}") from None


def inspect(obj: Any) -> dict[str, Any]:
    """The state of ``obj`` as plain Python data (JSON serialisable).

    ``{"class": name, "state": {...}}`` with every field of the saved form by name; trees add
    ``summary`` (``n_nodes``, ``n_leaves``, ``depth``) and ensembles a summary per member.
    """
    from kavro import inspection

    name = type(obj).__name__
    state = _native.describe(obj)
    out: dict[str, Any] = {"class": name, "state": state}
    summary = inspection.summarise(name, state)
    if summary:
        out["summary"] = summary
    return out


def to_dot(tree: Any, member: int | None = None, *, max_depth: int | None = None) -> str:
    """Graphviz DOT text of a tree, or of member ``member`` of an ensemble; ``max_depth`` cuts the
    drawing below that depth (a cut subtree shows as "..."), for trees too wide to view."""
    from kavro import inspection

    return inspection.to_dot(type(tree).__name__, _native.describe(tree), member, max_depth)


# ---------------------------------------------------------------------------
# pickle and copy support


def _restore(data: bytes, parts: tuple[Any, ...] = ()) -> Any:
    return _native.loads(data, "", list(parts))


def _reduce(obj: Any) -> tuple[Any, tuple[Any, ...]]:
    data, parts = _native.dumps_external(obj)
    if parts:
        return _restore, (data, tuple(parts))
    return _restore, (data,)


def clone(model: Any) -> Any:
    """An unlearnt copy of ``model``: a new object built with the same parameters, read from
    its state description. Objects it holds (pipeline steps, prototypes) are cloned too."""
    name = _class_name(type(model))
    return build(name, parameters(model))


def _register() -> None:
    for name in _native.class_names():
        cls = lookup(name)
        if isinstance(cls, type):
            copyreg.pickle(cls, _reduce)


_register()
