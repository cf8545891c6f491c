"""The service's state on disk and in memory: the state folder, checkpoints and recovery.

The state folder (mode 0700) holds ``service.json`` (which model it belongs to), ``log`` (the
write-ahead log), ``checkpoint-<seq>`` files (with ``keyed-<seq>`` folders when the models are on
Ray) and a lock file that keeps a second process out.

A checkpoint holds every model and prequential measure after event ``seq``; it is written
atomically (temporary file, sync, rename), then the log is emptied and older checkpoints
removed. Recovery loads the newest checkpoint and replays the logged events after its ``seq``,
in order: a crash between writing a checkpoint and emptying the log replays nothing twice.

Checkpoint file::

    b"KVCK1\\n", u32 header length, header (JSON: seq, version, labelled, failed, folder (the
    keyed-<seq> folder of models on Ray, else null), models as [key, size] pairs, measures as
    sizes), the saved states one after another, u32 CRC-32 of all before it
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import hashlib
import json
import os
import re
import shutil
import struct
import zlib
from collections.abc import Callable
from typing import Any

import kavro
from kavro.evaluate import _updater, default_metrics, metric_name
from kavro.persistence import write_atomic
from kavro.serve import events as ev
from kavro.serve.models import KeyedModels, RayKeyedModels, SingleModel, kind_of
from kavro.serve.wal import WriteAheadLog, iter_events, sync_folder

_CHECKPOINT_MAGIC = b"KVCK1\n"
_CHECKPOINT_NAME = re.compile(r"^checkpoint-(\d{20})$")
_FOLDER_NAME = re.compile(r"^keyed-(\d{20})$")


class StateError(Exception):
    """The state folder cannot be used (another model's, in use, damaged)."""


def identity(prototype: Any, keyed: bool, ray: bool = False) -> dict[str, Any]:
    """What makes a state folder this model's: class, initial state, keying and where the keyed
    models live (their checkpoints differ)."""
    data = kavro.dumps(prototype)
    size = kavro.persistence.header(data)["payload_size"]
    payload = data[len(data) - size:]
    out = {"class": type(prototype).__name__, "keyed": keyed,
           "initial_state": hashlib.sha256(payload).hexdigest()}
    if ray:
        out["ray"] = True
    return out


class ModelState:
    """The models, the prequential measures and the counters, changed only by ``apply``."""

    def __init__(self, prototype: Any, keyed: bool, ray: str | None = None) -> None:
        self.kind = kind_of(prototype)
        self.models: SingleModel | KeyedModels | RayKeyedModels
        if ray is not None:
            self.models = RayKeyedModels(prototype, ray)
        else:
            self.models = KeyedModels(prototype) if keyed else SingleModel(prototype)
        self.measures = default_metrics(prototype)
        self._updaters = [_updater(m) for m in self.measures]
        self.seq = 0          # the last event applied
        self.version = 0      # events learnt
        self.labelled = 0     # labels joined to a served prediction
        self.failed = 0       # logged events the model refused (none, when requests are checked)

    @property
    def classifier(self) -> bool:
        return self.kind == "classifier"

    def measure_values(self) -> dict[str, float]:
        return {metric_name(m): float(m.get()) for m in self.measures}

    def apply(self, seq: int, events: list[list[Any]]) -> int:
        """Learns the events numbered from ``seq`` on and scores the served predictions among
        them; returns the version after them."""
        try:
            self.models.learn(events)
        except Exception:
            self.failed += len(events)
            raise
        finally:
            self.seq = seq + len(events) - 1
        self.version += len(events)
        for x, y, key, served in events:
            if served is not None:
                for update in self._updaters:
                    update(y, served)
                self.labelled += 1
        return self.version

    # ------------------------------------------------------------------ checkpoint bytes

    def to_bytes(self, folder: str | None = None) -> bytes:
        """The checkpoint; the models are in it, or in ``folder`` (a name in the state folder)
        for models that save themselves."""
        models = [] if isinstance(self.models, RayKeyedModels) else self.models.entries()
        measures = [kavro.dumps(m) for m in self.measures]
        header = json.dumps({
            "seq": self.seq, "version": self.version, "labelled": self.labelled, "failed": self.failed,
            "folder": folder, "models": [[key, len(data)] for key, data in models],
            "measures": [len(data) for data in measures],
        }).encode()
        body = b"".join([_CHECKPOINT_MAGIC, struct.pack("<I", len(header)), header,
                         *(data for _, data in models), *measures])
        return body + struct.pack("<I", zlib.crc32(body))

    def load_bytes(self, data: bytes, where: str) -> None:
        """Restores a checkpoint read from the file ``where``."""
        if not data.startswith(_CHECKPOINT_MAGIC) or len(data) < len(_CHECKPOINT_MAGIC) + 8:
            raise StateError(f"{where} is not a checkpoint")
        body, (crc,) = data[:-4], struct.unpack("<I", data[-4:])
        if zlib.crc32(body) != crc:
            raise StateError(f"{where} is damaged (checksum mismatch)")
        pos = len(_CHECKPOINT_MAGIC)
        (size,) = struct.unpack_from("<I", body, pos)
        pos += 4
        header = json.loads(body[pos:pos + size])
        pos += size
        entries = []
        for key, n in header["models"]:
            entries.append((key, body[pos:pos + n]))
            pos += n
        measures = []
        for n in header["measures"]:
            measures.append(kavro.loads(body[pos:pos + n]))
            pos += n
        if [metric_name(m) for m in measures] != [metric_name(m) for m in self.measures]:
            raise StateError(f"{where} holds other measures than this model's")
        try:
            if isinstance(self.models, RayKeyedModels):
                if not header.get("folder"):
                    raise ValueError("the checkpoint holds models saved in this process, not on Ray")
                self.models.load_folder(os.path.join(os.path.dirname(where), header["folder"]))
            else:
                if header.get("folder"):
                    raise ValueError("the checkpoint's models were saved on Ray")
                self.models.restore(entries)
        except ValueError as exc:
            raise StateError(f"{where}: {exc}") from None
        self.measures = measures
        self._updaters = [_updater(m) for m in measures]
        self.seq, self.version = header["seq"], header["version"]
        self.labelled, self.failed = header["labelled"], header["failed"]


class StateFolder:
    """The state folder of one running service, locked for as long as it is open."""

    def __init__(self, path: str, ident: dict[str, Any], description: str) -> None:
        self.path = os.path.abspath(path)
        if not os.path.isdir(self.path):
            try:
                os.makedirs(self.path, mode=0o700)
            except OSError as exc:
                raise StateError(f"cannot create the state folder {path!r}: {exc.strerror}") from None
            os.chmod(self.path, 0o700)  # whatever the umask
            sync_folder(os.path.dirname(self.path))
        self._lock = self._take_lock()
        try:
            self._check_identity(ident, description)
        except BaseException:
            self.close()
            raise
        self.log_path = os.path.join(self.path, "log")

    def _take_lock(self) -> int:
        try:
            fd = os.open(os.path.join(self.path, "lock"), os.O_RDWR | os.O_CREAT, 0o600)
        except OSError as exc:
            raise StateError(f"cannot use the state folder {self.path!r}: {exc.strerror}") from None
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as exc:
            os.close(fd)
            if exc.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
                raise StateError(f"the state folder {self.path!r} is in use by another process") from None
            raise
        return fd

    def _check_identity(self, ident: dict[str, Any], description: str) -> None:
        path = os.path.join(self.path, "service.json")
        try:
            with open(path, encoding="utf-8") as f:
                saved = json.load(f)
        except FileNotFoundError:
            saved = None
        except (OSError, ValueError) as exc:
            raise StateError(f"cannot read {path!r}: {exc}") from None
        if saved is None:
            if any(_CHECKPOINT_NAME.match(n) for n in os.listdir(self.path)):
                raise StateError(f"the state folder {self.path!r} has checkpoints but no service.json")
            data = json.dumps({"model": description, "identity": ident}, indent=1).encode()
            write_atomic(data, path)
            return
        if saved.get("identity") != ident:
            raise StateError(f"the state folder {self.path!r} belongs to another model "
                             f"({saved.get('model', '?')}), not {description}")

    def latest_checkpoint(self) -> tuple[int, str] | None:
        found = [(int(m.group(1)), name) for name in os.listdir(self.path)
                 if (m := _CHECKPOINT_NAME.match(name))]
        if not found:
            return None
        seq, name = max(found)
        return seq, os.path.join(self.path, name)

    def write_checkpoint(self, seq: int, data: bytes) -> None:
        write_atomic(data, os.path.join(self.path, f"checkpoint-{seq:020d}"))

    @staticmethod
    def models_folder_name(seq: int) -> str:
        """Where models that save themselves go for the checkpoint of ``seq``."""
        return f"keyed-{seq:020d}"

    def remove_checkpoints_before(self, seq: int) -> None:
        for name in os.listdir(self.path):
            m = _CHECKPOINT_NAME.match(name)
            if m and int(m.group(1)) < seq:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(os.path.join(self.path, name))
            m = _FOLDER_NAME.match(name)
            if m and int(m.group(1)) < seq:
                shutil.rmtree(os.path.join(self.path, name), ignore_errors=True)

    def close(self) -> None:
        if self._lock >= 0:
            os.close(self._lock)
            self._lock = -1


def recover(folder: StateFolder, state: ModelState,
            on_replay: Callable[[int], None] | None = None) -> WriteAheadLog:
    """Loads the newest checkpoint into ``state`` and replays the log after it; returns the log,
    open for appending."""
    latest = folder.latest_checkpoint()
    if latest is not None:
        seq, path = latest
        with open(path, "rb") as f:
            state.load_bytes(f.read(), path)
        if state.seq != seq:
            raise StateError(f"{path} holds seq {state.seq}, not {seq}")
    log = WriteAheadLog(folder.log_path)
    try:
        for seq, payload in iter_events(log.records, state.seq):
            events = ev.decode_events(payload)
            try:
                state.apply(seq, events)
            except Exception:  # noqa: BLE001 - refused when it was logged too: same state
                pass
            if on_replay is not None:
                on_replay(len(events))
    except ValueError as exc:
        log.close()
        raise StateError(f"{folder.log_path}: {exc}") from None
    log.records = []
    return log
