"""The write-ahead log: one file of checksummed records, and the group commit that fills it.

A record holds the events of one request, numbered from ``seq`` on::

    offset  size  field
    0       4     magic b"KVW1"
    4       4     payload length in bytes (little-endian u32)
    8       4     number of events (u32)
    12      8     seq of the first event (u64)
    20      4     CRC-32 of bytes 4..19 and of the payload
    24      n     payload: the events (``kavro.serve.events`` encodes and decodes them)

Appends are written and synced (``fdatasync``) before anyone is told they are durable. A crash
in the middle of a write leaves a torn last record: reading stops there and the file is cut back
to the last whole record, which is sound because a record is acknowledged only once it is synced.
A damaged record followed by a whole one is not a torn write, and reading refuses it.
"""

from __future__ import annotations

import asyncio
import os
import struct
import zlib
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

MAGIC = b"KVW1"
_HEADER = struct.Struct("<4sIIQI")
HEADER_SIZE = _HEADER.size
MAX_PAYLOAD = (1 << 32) - 1


class LogCorruptError(ValueError):
    """The log holds damage that a crash while appending cannot explain."""


@dataclass(frozen=True)
class Record:
    seq: int
    count: int
    payload: bytes


def encode(seq: int, count: int, payload: bytes) -> bytes:
    """One record's bytes."""
    if len(payload) > MAX_PAYLOAD:
        raise ValueError(f"a log record holds at most {MAX_PAYLOAD} bytes, got {len(payload)}")
    fields = struct.pack("<IIQ", len(payload), count, seq)
    crc = zlib.crc32(payload, zlib.crc32(fields))
    return _HEADER.pack(MAGIC, len(payload), count, seq, crc) + payload


def _record_at(data: bytes | memoryview, pos: int) -> Record | None:
    """The whole, intact record starting at ``pos``, or None."""
    if len(data) - pos < HEADER_SIZE:
        return None
    magic, length, count, seq, crc = _HEADER.unpack_from(data, pos)
    end = pos + HEADER_SIZE + length
    if magic != MAGIC or end > len(data):
        return None
    payload = bytes(data[pos + HEADER_SIZE:end])
    if zlib.crc32(payload, zlib.crc32(bytes(data[pos + 4:pos + 20]))) != crc:
        return None
    return Record(seq, count, payload)


def scan(data: bytes) -> tuple[list[Record], int]:
    """(records, end): every whole record of ``data`` and where the last one ends.

    Bytes after ``end`` are a torn append. Raises ``LogCorruptError`` when a whole record follows
    a damaged one.
    """
    records: list[Record] = []
    pos = 0
    view = memoryview(data)
    while pos < len(data):
        record = _record_at(view, pos)
        if record is None:
            _check_torn(view, pos)
            break
        records.append(record)
        pos += HEADER_SIZE + len(record.payload)
    return records, pos


def _check_torn(data: memoryview, pos: int) -> None:
    """Raises unless the damage at ``pos`` is the last thing in the log."""
    if len(data) - pos < HEADER_SIZE:
        return
    magic, length, _, _, _ = _HEADER.unpack_from(data, pos)
    nxt = pos + HEADER_SIZE + length
    if magic == MAGIC and nxt < len(data) and _record_at(data, nxt) is not None:
        raise LogCorruptError(f"damaged log record at byte {pos} is followed by intact records; "
                              "the log was damaged after it was written")


def sync_folder(path: str) -> None:
    """Makes the entries of the folder ``path`` durable."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


class WriteAheadLog:
    """The log file: read once when opened (the torn tail cut off), then appended to."""

    def __init__(self, path: str) -> None:
        self.path = path
        created = not os.path.exists(path)
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_APPEND, 0o600)
        try:
            if created:  # the file's name must last as long as what is synced into it
                sync_folder(os.path.dirname(os.path.abspath(path)))
            with open(fd, "rb", closefd=False) as f:
                data = f.read()
            self.records, end = scan(data)
            self.dropped = len(data) - end
            if self.dropped:
                os.ftruncate(fd, end)
                os.fsync(fd)
        except BaseException:
            os.close(fd)
            raise
        self._fd = fd
        self.size = end

    def append(self, data: bytes) -> None:
        """Writes ``data`` (whole records) and syncs it to the disk."""
        view = memoryview(data)
        while view:
            written = os.write(self._fd, view)
            view = view[written:]
        os.fdatasync(self._fd)
        self.size += len(data)

    def truncate(self) -> None:
        """Empties the log (every record is in a checkpoint)."""
        os.ftruncate(self._fd, 0)
        os.fsync(self._fd)
        self.size = 0

    def close(self) -> None:
        if self._fd >= 0:
            os.close(self._fd)
            self._fd = -1


class LogFailedError(RuntimeError):
    """Writing the log failed: nothing more is accepted until the service restarts."""


@dataclass
class _Entry:
    data: bytes
    seq: int
    events: list[Any]
    done: asyncio.Future[Any]


class GroupCommit:
    """The single writer: appends what requests submit, many requests to one sync.

    ``apply(seq, events)`` runs on the event loop for each entry once its group is durable, in the
    order submitted; its result answers the submitter. ``after_group()`` runs after each group,
    with nothing being written (checkpoints happen there); an error there stops the writer.
    """

    def __init__(self, log: WriteAheadLog, apply: Callable[[int, list[Any]], Any],
                 after_group: Callable[[], Any], on_sync: Callable[[float, int], None]) -> None:
        self._log = log
        self._apply = apply
        self._after_group = after_group
        self._on_sync = on_sync
        self._queue: list[_Entry] = []
        self._wake: asyncio.Event | None = None
        self._task: asyncio.Task[None] | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._stopping = False
        self.failure: BaseException | None = None

    def start(self) -> None:
        loop = asyncio.get_running_loop()
        if self._task is not None and self._loop is loop and not self._task.done():
            return
        self._loop = loop
        self._wake = asyncio.Event()
        self._task = loop.create_task(self._run())

    def check_open(self) -> None:
        """Raises ``LogFailedError`` when nothing more can be submitted."""
        if self.failure is not None:
            raise LogFailedError(f"the write-ahead log failed ({self.failure}); restart the service")
        if self._stopping:
            raise LogFailedError("the service is shutting down")

    async def submit(self, seq: int, events: list[Any], payload: bytes) -> Any:
        """Queues one record; returns ``apply``'s result once it is on disk and applied."""
        self.check_open()
        self.start()
        assert self._wake is not None
        done: asyncio.Future[Any] = asyncio.get_running_loop().create_future()
        self._queue.append(_Entry(encode(seq, len(events), payload), seq, events, done))
        self._wake.set()
        return await done

    async def stop(self) -> None:
        """Writes and applies everything queued, then stops taking more."""
        self._stopping = True
        if self._task is not None and self._loop is asyncio.get_running_loop():
            assert self._wake is not None
            self._wake.set()
            await self._task
        self._task = None

    async def _run(self) -> None:
        assert self._wake is not None and self._loop is not None
        while True:
            if not self._queue:
                if self._stopping:
                    return
                self._wake.clear()
                await self._wake.wait()
                continue
            group, self._queue = self._queue, []
            data = b"".join(entry.data for entry in group)
            started = self._loop.time()
            try:
                await self._loop.run_in_executor(None, self._log.append, data)
            except Exception as exc:  # noqa: BLE001 - every waiter hears of it
                self._fail(group, exc)
                return
            self._on_sync(self._loop.time() - started, len(group))
            for entry in group:
                # Applied even when its submitter has gone (cancelled): the record is logged.
                try:
                    result = self._apply(entry.seq, entry.events)
                except Exception as exc:  # noqa: BLE001 - the submitter hears of it
                    if not entry.done.done():
                        entry.done.set_exception(exc)
                else:
                    if not entry.done.done():
                        entry.done.set_result(result)
            try:
                await self._after_group()
            except Exception as exc:  # noqa: BLE001
                self._fail([], exc)
                return

    def _fail(self, group: list[_Entry], exc: BaseException) -> None:
        self.failure = exc
        error = LogFailedError(f"the write-ahead log failed ({exc}); restart the service")
        for entry in [*group, *self._queue]:
            if not entry.done.done():
                entry.done.set_exception(error)
        self._queue = []


def iter_events(records: list[Record], after: int) -> Iterator[tuple[int, bytes]]:
    """(seq, payload) of each record whose events come after seq ``after``, checking that the
    numbering runs on without a gap."""
    expected = after + 1
    for record in records:
        last = record.seq + record.count - 1
        if last <= after:
            continue
        if record.seq != expected:
            raise LogCorruptError(f"the log jumps from seq {expected - 1} to seq {record.seq}")
        expected = last + 1
        yield record.seq, record.payload
