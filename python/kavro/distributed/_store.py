"""Checkpoint folders on a local (or shared) filesystem, or at an fsspec URL.

A checkpoint is written into a temporary sibling folder, its manifest last, and only then moved
to its name; a folder without a valid manifest is never read as a checkpoint.
"""

from __future__ import annotations

import json
import os
import shutil
import uuid
from typing import Any

MANIFEST = "manifest.json"
FORMAT = "kavro-keyed-checkpoint"
VERSION = 1


def shard_file_name(index: int) -> str:
    return f"shard-{index:05d}.bin"


class Store:
    """Reads and writes the files of checkpoint folders under one root."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        text = os.fspath(path)
        self.url = text
        self.fs: Any = None
        if "://" in text and not text.startswith("file://"):
            try:
                import fsspec  # type: ignore[import-untyped, unused-ignore]
            except ImportError:
                raise ImportError(f"checkpoint URL {text!r} needs fsspec: pip install fsspec") from None
            self.fs, self.root = fsspec.core.url_to_fs(text)
        else:
            self.root = os.path.abspath(text[len("file://"):] if text.startswith("file://") else text)

    # -- paths
    def join(self, *parts: str) -> str:
        if self.fs is None:
            return os.path.join(*parts)
        return "/".join(p.rstrip("/") for p in parts)

    def sibling(self, tag: str) -> str:
        parent, name = self.split(self.root)
        return self.join(parent, f".{name}.{tag}-{uuid.uuid4().hex[:12]}")

    def split(self, path: str) -> tuple[str, str]:
        if self.fs is None:
            return os.path.dirname(path), os.path.basename(path)
        head, _, tail = path.rstrip("/").rpartition("/")
        return head, tail

    # -- files
    def write(self, path: str, data: bytes) -> None:
        if self.fs is None:
            with open(path, "wb") as f:
                f.write(data)
                f.flush()
                os.fsync(f.fileno())
        else:
            with self.fs.open(path, "wb") as f:
                f.write(data)

    def read(self, path: str) -> bytes:
        if self.fs is None:
            with open(path, "rb") as f:
                return f.read()
        with self.fs.open(path, "rb") as f:
            data: bytes = f.read()
            return data

    def exists(self, path: str) -> bool:
        return os.path.exists(path) if self.fs is None else bool(self.fs.exists(path))

    def makedirs(self, path: str) -> None:
        if self.fs is None:
            os.makedirs(path)
        else:
            self.fs.makedirs(path, exist_ok=True)

    def remove_tree(self, path: str) -> None:
        if self.fs is None:
            shutil.rmtree(path, ignore_errors=True)
        else:
            try:
                self.fs.rm(path, recursive=True)
            except FileNotFoundError:
                pass

    # -- checkpoints
    def begin(self) -> str:
        """A fresh temporary folder beside the checkpoint's name (its parent folders are made)."""
        parent, _ = self.split(self.root)
        if self.exists(self.root) and not self.is_checkpoint_or_empty(self.root):
            raise FileExistsError(f"{self.url!r} exists and is not a checkpoint; it is left as it is")
        if self.fs is None and parent and not os.path.isdir(parent):
            try:
                os.makedirs(parent, exist_ok=True)
            except OSError as exc:
                raise OSError(exc.errno, f"cannot write checkpoint {self.url!r}: cannot make folder "
                                         f"{parent!r}: {exc.strerror or exc}") from None
        tmp = self.sibling("tmp")
        self.makedirs(tmp)
        return tmp

    def is_checkpoint_or_empty(self, path: str) -> bool:
        if self.fs is None:
            if not os.path.isdir(path):
                return False
            return not os.listdir(path) or os.path.exists(os.path.join(path, MANIFEST))
        return bool(self.fs.isdir(path)) and (not self.fs.ls(path) or self.fs.exists(self.join(path, MANIFEST)))

    def commit(self, tmp: str, manifest: dict[str, Any]) -> None:
        """Writes the manifest into ``tmp`` and moves ``tmp`` to the checkpoint's name."""
        self.write(self.join(tmp, MANIFEST), json.dumps(manifest, indent=1).encode("utf-8"))
        if self.fs is None:
            self._fsync_dir(tmp)
            old = None
            if os.path.exists(self.root):
                old = self.sibling("old")
                os.rename(self.root, old)
            try:
                os.rename(tmp, self.root)
            except BaseException:
                if old is not None:
                    os.rename(old, self.root)
                raise
            self._fsync_dir(os.path.dirname(self.root))
            if old is not None:
                shutil.rmtree(old, ignore_errors=True)
            return
        # Object stores have no folder rename: drop the old manifest first, move the shard files,
        # then the manifest, so a partly moved folder never has one.
        if self.fs.exists(self.root):
            try:
                self.fs.rm(self.join(self.root, MANIFEST))
            except FileNotFoundError:
                pass
            self.fs.rm(self.root, recursive=True)
        self.fs.makedirs(self.root, exist_ok=True)
        for name in manifest["files"]:
            self.fs.mv(self.join(tmp, name["name"]), self.join(self.root, name["name"]))
        self.fs.mv(self.join(tmp, MANIFEST), self.join(self.root, MANIFEST))
        self.remove_tree(tmp)

    @staticmethod
    def _fsync_dir(path: str) -> None:
        try:
            fd = os.open(path, os.O_RDONLY)
        except OSError:
            return
        try:
            os.fsync(fd)
        except OSError:
            pass
        finally:
            os.close(fd)

    def manifest(self) -> dict[str, Any]:
        """The checked manifest of the checkpoint at the root."""
        path = self.join(self.root, MANIFEST)
        try:
            raw = self.read(path)
        except FileNotFoundError:
            raise ValueError(f"{self.url!r} is not a complete checkpoint: it has no {MANIFEST}") from None
        except IsADirectoryError:
            raise ValueError(f"{self.url!r} is not a complete checkpoint") from None
        try:
            manifest = json.loads(raw.decode("utf-8"))
            ok = (isinstance(manifest, dict) and manifest.get("format") == FORMAT
                  and isinstance(manifest.get("files"), list)
                  and isinstance(manifest.get("n_shards"), int) and manifest["n_shards"] >= 1
                  and len(manifest["files"]) == manifest["n_shards"]
                  and isinstance(manifest.get("rows"), int))
        except (UnicodeDecodeError, json.JSONDecodeError):
            ok = False
        if not ok:
            raise ValueError(f"{self.url!r}: {MANIFEST} is damaged or not a keyed-models manifest")
        if manifest.get("version") != VERSION:
            raise ValueError(f"{self.url!r}: checkpoint version {manifest.get('version')!r} is not "
                             f"supported (expected {VERSION})")
        for i, entry in enumerate(manifest["files"]):
            if (not isinstance(entry, dict) or entry.get("name") != shard_file_name(i)
                    or not isinstance(entry.get("size"), int) or not isinstance(entry.get("digest"), str)):
                raise ValueError(f"{self.url!r}: {MANIFEST} entry {i} is damaged")
        checked: dict[str, Any] = manifest
        return checked
