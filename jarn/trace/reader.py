"""The top level of a trace, read as a stream: everything but the records, and where they are.

A trace is one MessagePack map: "command_line_args", "current_commit_sha", "frames" (other
threads' records, by native thread id), "frames_of_interest" (the main list), "main_thread_id",
"meta", "timestamp", "trace_id". `scan` reads it once from the start, skipping over the records
(only the first and last of each list are decoded, for the times) and noting where each list
starts, so that the walk can then read the lists in the order it needs. The same scan summarises
a trace while it is being stored: it reads from the pieces on their way to the store.

A source is anything that opens a binary stream of the trace's bytes at an offset: the bytes
themselves, or a stored row read chunk by chunk.
"""

from __future__ import annotations

import io
import struct
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any, BinaryIO, Protocol

import msgpack

from jarn.trace.records import TraceFormatError, is_int, number, text

READ_SIZE = 1 << 20
MAX_RECORD = (1 << 31) - 1


class Source(Protocol):
    def open(self, offset: int = 0) -> BinaryIO: ...


class BytesSource:
    def __init__(self, data: bytes | bytearray | memoryview) -> None:
        self.data = data

    def open(self, offset: int = 0) -> BinaryIO:
        stream = io.BytesIO(self.data)
        stream.seek(offset)
        return stream


def as_source(given: Source | bytes | bytearray | memoryview) -> Source:
    return BytesSource(given) if isinstance(given, bytes | bytearray | memoryview) else given


@dataclass
class TraceHead:
    """A trace's top-level entries (everything but its records), and where its lists are."""

    trace_id: str = ""
    command_line: list[str] = field(default_factory=list)
    commit: str | None = None
    version: str = ""
    source: str = ""
    start: float | None = None
    main_thread_id: int | None = None
    record_count: int = 0
    other_threads_record_count: int = 0  # of record_count, those filed under other threads
    first_time: float | None = None  # the earliest of the lists' first timestamps
    last_time: float | None = None  # the latest of the lists' last timestamps
    test_id: str = ""  # of the first "start_test" record, when asked for
    parent_trace_id: str = ""  # a child process's: named by the "process" record its trace begins with
    main_list: int | None = None  # offset of "frames_of_interest"'s array header
    other_lists: list[tuple[int, int]] = field(default_factory=list)  # (thread id, offset of its array)
    # Where the notes of each list are ("record_notes": 12 bytes a record, see notes()): (offset,
    # length) of the main list's, and of each other thread's by its id; none in older traces.
    main_notes: tuple[int, int] | None = None
    other_notes: dict[int, tuple[int, int]] = field(default_factory=dict)

    @property
    def origin(self) -> float | None:
        """Where a view's clock starts: the trace's start, or its first record if earlier."""
        times = [t for t in (self.start, self.first_time) if t is not None]
        return min(times) if times else None

    @property
    def duration(self) -> float | None:
        """Seconds from the first record to the last."""
        return self.last_time - self.first_time if self.first_time is not None and self.last_time is not None else None

    @property
    def label(self) -> str:
        """What ran: a trace of one test (pytest --jarn saves one per test) is named by it, a
        run of a whole suite under `jarn run` by what was run."""
        return (self.test_id if self.source in ("", "pytest") else "") or self.source or " ".join(self.command_line)


def unpacker(file: BinaryIO | Any, read_size: int = READ_SIZE) -> msgpack.Unpacker:
    return msgpack.Unpacker(file, raw=False, strict_map_key=False, read_size=read_size, max_buffer_size=MAX_RECORD)


class _Scan:
    def __init__(self, unpacker: msgpack.Unpacker, head: TraceHead, find_test: bool) -> None:
        self.u, self.head, self.find_test = unpacker, head, find_test

    def list(self) -> int:
        try:
            n = self.u.read_array_header()
        except (msgpack.UnpackException, ValueError):
            raise TraceFormatError("the trace's records are not lists") from None
        head = self.head
        head.record_count += n
        for i in range(n):
            looking = self.find_test and not head.test_id
            if i == 0 or i == n - 1 or looking:
                record = self.u.unpack()
                if not isinstance(record, dict):
                    continue
                if looking and record.get("type") == "start_test":
                    head.test_id = text(record.get("test_id"))
                elif i == 0 and record.get("type") == "process" and not head.parent_trace_id:
                    head.parent_trace_id = text(record.get("parent_trace_id"))
                at = number(record.get("timestamp"))
                if at is not None:
                    head.first_time = at if head.first_time is None else min(head.first_time, at)
                    head.last_time = at if head.last_time is None else max(head.last_time, at)
            else:
                self.u.skip()
        return n


def scan(file: BinaryIO | Any, *, find_test: bool = False, head: TraceHead | None = None, size: int | None = None) -> TraceHead:
    """Reads a trace's top level from `file` (at its start); raises TraceFormatError for what is
    not a trace. `head` is filled as it goes, so that a caller can keep what was understood of
    bytes that turn out not to be a trace."""
    head = TraceHead() if head is None else head
    # A small trace (`size`, when known) is read in one buffer of its size: a web request's few
    # hundred bytes need no 1 MiB buffer, whose allocation would cost more than reading them.
    u = unpacker(file, READ_SIZE if size is None else max(min(size, READ_SIZE), 1024))
    try:
        entries = u.read_map_header()
    except msgpack.OutOfData:
        raise TraceFormatError("the trace does not decode: no data") from None
    except (msgpack.UnpackException, ValueError):
        raise TraceFormatError("the trace does not decode: the data is not a jarn trace") from None
    lists = _Scan(u, head, find_test)
    meta: Any = {}
    seen_main = False
    try:
        for _ in range(entries):
            key = u.unpack()
            if key == "frames_of_interest":
                seen_main = True
                head.main_list = u.tell()
                lists.list()
            elif key == "record_notes":
                _scan_notes(u, head)
            elif key == "frames":
                try:
                    threads = u.read_map_header()
                except (msgpack.UnpackException, ValueError):
                    raise TraceFormatError("the trace's records are not lists") from None
                for _ in range(threads):
                    thread_id = u.unpack()
                    if not is_int(thread_id):
                        raise TraceFormatError("a thread id of the trace is not an integer")
                    head.other_lists.append((thread_id, u.tell()))
                    head.other_threads_record_count += lists.list()
            else:
                value = u.unpack()
                if key == "command_line_args" and isinstance(value, list):
                    head.command_line = [str(a) for a in value]
                elif key == "current_commit_sha" and isinstance(value, str):
                    head.commit = value
                elif key == "meta":
                    meta = value
                    if isinstance(meta, dict):
                        head.version = text(meta.get("version"))
                        head.source = text(meta.get("source"))
                elif key == "timestamp":
                    head.start = number(value)
                elif key == "trace_id":
                    head.trace_id = text(value)
                elif key == "main_thread_id" and is_int(value):
                    head.main_thread_id = value
    except TraceFormatError:
        raise
    except msgpack.OutOfData:
        raise TraceFormatError("the trace does not decode: it ends early") from None
    except (msgpack.UnpackException, ValueError, TypeError) as exc:
        raise TraceFormatError(f"the trace does not decode: {exc}") from None
    if not seen_main:
        raise TraceFormatError("the data is not a jarn trace")
    return head


NOTE = struct.Struct("<QI")  # a record's note: jarn's own time so far (ns), step | logical call << 3


def _bin_at(u: msgpack.Unpacker) -> tuple[int, int] | None:
    """(offset, length) of the bin value the unpacker is at, skipped; None for another value.
    The core writes a bin in its smallest form, so its length tells its header's."""
    start = u.tell()
    u.skip()
    size = u.tell() - start
    head = 2 if size - 2 < 256 else 3 if size - 3 < 65536 else 5
    return start + head, size - head


def _scan_notes(u: msgpack.Unpacker, head: TraceHead) -> None:
    """Where "record_notes" keeps each list's notes (its bins are not read here)."""
    try:
        entries = u.read_map_header()
    except (msgpack.UnpackException, ValueError):
        u.skip()
        return
    found: dict[str, Any] = {}
    for _ in range(entries):
        key = u.unpack()
        if key == "frames_of_interest":
            found["main"] = _bin_at(u)
        elif key == "frames":
            others = {}
            for _ in range(u.read_map_header()):
                thread_id = u.unpack()
                others[thread_id] = _bin_at(u)
            found["others"] = others
        elif key == "version":
            found["version"] = u.unpack()
        else:
            u.skip()
    if found.get("version") == 1:  # a later layout is not guessed at: its notes are left out
        head.main_notes = found.get("main")
        head.other_notes = {k: v for k, v in found.get("others", {}).items() if is_int(k) and v is not None}


def notes(source: Source, where: tuple[int, int] | None) -> Iterator[tuple[int, int]]:
    """(jarn's own time on the record's thread so far in ns, step | logical call << 3) of each
    record of a list, in order; nothing when the trace has no notes for it."""
    if where is None:
        return
    offset, length = where
    file = source.open(offset)
    left, rest = length - length % NOTE.size, b""
    while left > 0:
        data = file.read(min(left, NOTE.size * 65536))
        if not data:
            return
        left -= len(data)
        data = rest + data
        whole = len(data) - len(data) % NOTE.size
        rest = data[whole:]
        yield from NOTE.iter_unpack(data[:whole])


def summarize(trace: bytes | bytearray | memoryview) -> TraceHead:
    """What a trace's top level says (a TraceFormatError for what is not a trace)."""
    return scan(io.BytesIO(trace), find_test=b"\xaastart_test" in trace, size=len(trace))


def records(source: Source, offset: int) -> Iterator[tuple[int, Any]]:
    """(offset, record) of each record of the list whose array header is at `offset`."""
    u = unpacker(source.open(offset))
    try:
        n = u.read_array_header()
    except (msgpack.UnpackException, ValueError):
        raise TraceFormatError("the trace's records are not lists") from None
    tell, unpack = u.tell, u.unpack
    for _ in range(n):
        at = offset + tell()
        yield at, unpack()


def record_at(source: Source, offset: int) -> Any:
    """The one record stored at a byte offset of a trace."""
    return unpacker(source.open(offset)).unpack()


class Tee:
    """A file reading the pieces of a trace in turn, each handed to `sink` as it is read: a scan
    of it summarises the trace in the same pass that stores it. `drain()` hands on whatever the
    reader did not need."""

    def __init__(self, pieces: Iterable[bytes | bytearray | memoryview], sink: Callable[[Any], None]) -> None:
        self._pieces = iter(pieces)
        self._sink = sink
        self._left = memoryview(b"")

    def read(self, size: int = -1) -> bytes:
        if not self._left:
            piece = next(self._pieces, None)
            if piece is None:
                return b""
            self._sink(piece)
            self._left = memoryview(piece).cast("B")
        n = len(self._left) if size < 0 else min(size, len(self._left))
        out, self._left = self._left[:n], self._left[n:]
        return out.tobytes()

    def drain(self) -> None:
        self._left = memoryview(b"")
        for piece in self._pieces:
            self._sink(piece)
