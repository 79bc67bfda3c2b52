"""A stored trace read record by record, in order, without building its tree.

Every view of a trace (the decoded model, the terminal tree, the Chrome and speedscope exports)
is a handler of the same walk, so they agree on how records pair up and nest: a call and its
return are paired by their frame id; a call whose call site names an open call further down the
stack means the calls above that one never returned (they end there, unreturned); a return whose
call was never seen (profiling began inside the function) is a call without a start; an
"exception" record marks the call that just returned as having raised; plugin records go under
the call their call site names when that call is open or has just returned (a test's end comes
right after its function's return), else under the innermost open call.

Only the open calls of each thread are held, so memory follows the depth of the program, not
the size of the trace. The trace is read from seekable binary files (a stored trace is read from
the database chunk by chunk), first once to find where each list of records starts.

Without threading the profiler keeps every thread's records in one list, interleaved; they are
told apart by their native thread id.
"""

from __future__ import annotations

import io
import itertools
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import IO, Any, Protocol

import msgpack

from jarn.decode import Call, PluginRecord, TraceFormatError

_READ_SIZE = 1 << 20


@dataclass
class TraceHead:
    """A trace's top-level entries (everything but its records)."""

    trace_id: str = ""
    command_line: list[str] = field(default_factory=list)
    commit: str | None = None
    version: str = ""
    source: str = ""
    start: float | None = None
    main_thread_id: int | None = None
    record_count: int = 0  # of every row, from the lists' lengths
    first_time: float | None = None  # the earliest of the lists' first timestamps

    @property
    def origin(self) -> float | None:
        """Where a view's clock starts: the trace's start, or its first record if earlier."""
        times = [t for t in (self.start, self.first_time) if t is not None]
        return min(times) if times else None


@dataclass
class ThreadState:
    key: int | None  # None for the main thread
    name: str
    native_id: int | None
    record_count: int = 0
    open: list[Call] = field(default_factory=list)
    open_ids: dict[str, int] = field(default_factory=dict)  # frame id -> how many open calls have it
    last_ended: Call | None = None
    last_time: float | None = None
    slot: Any = None  # the handler's own state for this thread


class Handler(Protocol):
    def thread_start(self, thread: ThreadState) -> None: ...
    def begin(self, thread: ThreadState, call: Call, parent: Call | None) -> None: ...
    def end(self, thread: ThreadState, call: Call, at: float | None) -> None: ...
    def raised(self, thread: ThreadState, call: Call) -> None: ...
    def record(self, thread: ThreadState, record: PluginRecord, owner: Call | None) -> None: ...
    def truncated(self, info: dict[str, Any]) -> None: ...


def _text(value: Any, default: str = "") -> str:
    return value if isinstance(value, str) else default


def _number(value: Any) -> float | None:
    if type(value) is float:
        return value
    return float(value) if isinstance(value, int | float) and not isinstance(value, bool) else None


def _is_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


@dataclass
class _Part:
    file: IO[bytes]
    main: int | None = None  # offset of the main list ("frames_of_interest")
    others: list[tuple[int, int]] = field(default_factory=list)  # (thread id, offset of its list)


def _unpacker(file: IO[bytes], offset: int) -> msgpack.Unpacker:
    file.seek(offset)
    return msgpack.Unpacker(file, raw=False, strict_map_key=False, read_size=_READ_SIZE, max_buffer_size=1 << 31)


class TraceStream:
    """The rows of one trace (in save order) as one stream of records."""

    def __init__(self, files: list[IO[bytes]] | list[bytes] | bytes) -> None:
        if isinstance(files, bytes | bytearray):
            files = [bytes(files)]
        if not files:
            raise TraceFormatError("no trace data")
        self.parts = [_Part(io.BytesIO(f) if isinstance(f, bytes | bytearray) else f) for f in files]
        self.record_count = 0  # records walked so far; read by progress reports
        self.head = TraceHead()
        for i, part in enumerate(self.parts):
            try:
                self._scan(part, self.head if i == 0 else TraceHead())
            except TraceFormatError:
                raise
            except Exception as exc:
                raise TraceFormatError(f"the trace does not decode: {exc}") from None
        self.threads: list[ThreadState] = []
        self._by_key: dict[int | None, ThreadState] = {}
        self.truncation: dict[str, Any] | None = None

    def _scan(self, part: _Part, head: TraceHead) -> None:
        """Reads the top level, skipping over the records but noting where each list starts."""
        unpacker = _unpacker(part.file, 0)
        try:
            entries = unpacker.read_map_header()
        except msgpack.OutOfData:
            raise TraceFormatError("the trace does not decode: no data") from None
        except msgpack.UnpackValueError as exc:
            raise TraceFormatError(f"the trace does not decode: {exc}") from None
        except Exception:
            raise TraceFormatError("the data is not a jarn trace") from None
        meta: Any = {}
        for _ in range(entries):
            key = unpacker.unpack()
            if key == "frames_of_interest":
                part.main = unpacker.tell()
                self._skip_list(unpacker)
            elif key == "frames":
                try:
                    threads = unpacker.read_map_header()
                except Exception:
                    raise TraceFormatError("the trace's records are not lists") from None
                for _ in range(threads):
                    thread_id = unpacker.unpack()
                    if not _is_int(thread_id):
                        raise TraceFormatError("a thread id of the trace is not an integer")
                    part.others.append((thread_id, unpacker.tell()))
                    self._skip_list(unpacker)
            else:
                value = unpacker.unpack()
                if key == "command_line_args" and isinstance(value, list):
                    head.command_line = [str(a) for a in value]
                elif key == "current_commit_sha" and isinstance(value, str):
                    head.commit = value
                elif key == "meta":
                    meta = value
                elif key == "timestamp":
                    head.start = _number(value)
                elif key == "trace_id":
                    head.trace_id = _text(value)
                elif key == "main_thread_id" and _is_int(value):
                    head.main_thread_id = value
        if part.main is None:
            raise TraceFormatError("the data is not a jarn trace")
        if isinstance(meta, dict):
            head.version = _text(meta.get("version"))
            head.source = _text(meta.get("source"))

    def _skip_list(self, unpacker: msgpack.Unpacker) -> None:
        n = self._list_header(unpacker)
        self.head.record_count += n
        if n:
            first = unpacker.unpack()
            at = _number(first.get("timestamp")) if isinstance(first, dict) else None
            if at is not None and (self.head.first_time is None or at < self.head.first_time):
                self.head.first_time = at
        for _ in range(n - 1):
            unpacker.skip()

    @staticmethod
    def _list_header(unpacker: msgpack.Unpacker) -> int:
        try:
            return unpacker.read_array_header()
        except Exception:
            raise TraceFormatError("the trace's records are not lists") from None

    def _records(self, part: _Part, offset: int):
        unpacker = _unpacker(part.file, offset)
        return itertools.islice(unpacker, unpacker.read_array_header())

    def walk(self, handler: Handler, progress: Callable[[int], None] | None = None) -> None:
        """Feeds every record to `handler`: the main list of each row, then each other thread's."""
        try:
            self._thread(None, None, handler)
            main_id = self.head.main_thread_id
            for part in self.parts:
                assert part.main is not None
                for record in self._records(part, part.main):
                    native = record.get("thread_native_id") if isinstance(record, dict) else None
                    key = native if _is_int(native) and main_id is not None and native != main_id else None
                    self._feed(self._thread(key, record, handler), record, handler)
            for thread_id in sorted({t for part in self.parts for t, _ in part.others}):
                for part in self.parts:
                    for tid, offset in part.others:
                        if tid == thread_id:
                            for record in self._records(part, offset):
                                self._feed(self._thread(thread_id, record, handler), record, handler)
        except TraceFormatError:
            raise
        except (msgpack.UnpackException, ValueError) as exc:
            raise TraceFormatError(f"the trace does not decode: {exc}") from None
        for thread in self.threads:
            self._close_from(thread, 0, thread.last_time, handler)

    def _thread(self, key: int | None, record: Any, handler: Handler) -> ThreadState:
        thread = self._by_key.get(key)
        if thread is None:
            name = record.get("thread") if isinstance(record, dict) else None
            if key is None:
                thread = ThreadState(None, "MainThread", self.head.main_thread_id)
            else:
                thread = ThreadState(key, name if isinstance(name, str) else f"thread {key}", key)
            self._by_key[key] = thread
            self.threads.append(thread)
            handler.thread_start(thread)
        if key is None and thread.record_count == 0 and isinstance(record, dict) and isinstance(record.get("thread"), str):
            thread.name = record["thread"]  # the main thread is named by its first record
        return thread

    def _feed(self, thread: ThreadState, record: Any, handler: Handler) -> None:
        if not isinstance(record, dict):
            raise TraceFormatError("a record is not a map")
        self.record_count += 1
        thread.record_count += 1
        kind = record.get("type")
        at = _number(record.get("timestamp"))
        if at is not None:
            thread.last_time = at
        if kind == "frame":
            event, frame_id = record.get("event"), record.get("frame_id")
            if event not in ("call", "return") or not isinstance(frame_id, str):
                raise TraceFormatError("a frame record has no event or frame id")
            if event == "call":
                self._begin(thread, record, frame_id, at, handler)
            else:
                self._return(thread, record, frame_id, at, handler)
            return
        if kind == "exception":
            ended = thread.last_ended
            if ended is not None and ended.frame_id == record.get("frame_id"):
                ended.exception = record.get("exception")
                handler.raised(thread, ended)
                return
        if kind == "truncated":
            self.truncation = {k: v for k, v in record.items() if k != "type"}
            handler.truncated(self.truncation)
            return
        data = {k: v for k, v in record.items() if k not in ("type", "timestamp")}
        node = PluginRecord(_text(kind, "?"), at, data)
        site = record.get("user_code_call_site")
        owner = None
        if isinstance(site, dict):
            owner_id = site.get("call_frame_id")
            if isinstance(owner_id, str) and owner_id in thread.open_ids:
                owner = next(c for c in reversed(thread.open) if c.frame_id == owner_id)
            elif thread.last_ended is not None and thread.last_ended.frame_id == owner_id:
                owner = thread.last_ended
        if owner is None and thread.open:
            owner = thread.open[-1]
        handler.record(thread, node, owner)

    def _begin(self, thread: ThreadState, record: dict[str, Any], frame_id: str, at: float | None, handler: Handler) -> None:
        site = record.get("user_code_call_site")
        call = Call(
            qualname=_text(record.get("qualname")) or _text(record.get("co_name"), "?"),
            co_name=_text(record.get("co_name"), "?"),
            path=_text(record.get("path")),
            frame_id=frame_id,
            start=at,
            arguments=record.get("locals"),
            call_line=site.get("line_number") if isinstance(site, dict) else None,
        )
        # The caller named by the call site is the parent; open calls above it never returned.
        caller = site.get("call_frame_id") if isinstance(site, dict) else None
        if isinstance(caller, str) and caller in thread.open_ids and thread.open[-1].frame_id != caller:
            self._close_from(thread, self._depth(thread, caller) + 1, at, handler)
        handler.begin(thread, call, thread.open[-1] if thread.open else None)
        thread.open.append(call)
        thread.open_ids[frame_id] = thread.open_ids.get(frame_id, 0) + 1

    def _return(self, thread: ThreadState, record: dict[str, Any], frame_id: str, at: float | None, handler: Handler) -> None:
        if frame_id in thread.open_ids:
            if thread.open[-1].frame_id != frame_id:
                self._close_from(thread, self._depth(thread, frame_id) + 1, at, handler)
            call = thread.open.pop()
            self._forget(thread, call)
        else:
            call = Call(
                qualname=_text(record.get("qualname")) or _text(record.get("co_name"), "?"),
                co_name=_text(record.get("co_name"), "?"),
                path=_text(record.get("path")),
                frame_id=frame_id,
            )
            handler.begin(thread, call, thread.open[-1] if thread.open else None)
        call.end = at
        call.return_value = record.get("arg")
        call.return_locals = record.get("locals")
        call.returned = True
        thread.last_ended = call
        handler.end(thread, call, at)

    @staticmethod
    def _depth(thread: ThreadState, frame_id: str) -> int:
        """Where the innermost open call of a frame id is on the stack."""
        for depth in range(len(thread.open) - 1, -1, -1):
            if thread.open[depth].frame_id == frame_id:
                return depth
        raise AssertionError("an open frame id is on the stack")

    @staticmethod
    def _forget(thread: ThreadState, call: Call) -> None:
        left = thread.open_ids[call.frame_id] - 1
        if left:
            thread.open_ids[call.frame_id] = left
        else:
            del thread.open_ids[call.frame_id]

    def _close_from(self, thread: ThreadState, depth: int, at: float | None, handler: Handler) -> None:
        """Ends the open calls from `depth` up, innermost first: they never returned."""
        while len(thread.open) > depth:
            call = thread.open.pop()
            self._forget(thread, call)
            handler.end(thread, call, at)
