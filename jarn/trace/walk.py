"""The one walk of a trace: its records, in order, paired into calls and placed in a tree.

Every view of a trace is a handler of this walk, so they all agree on the tree. The walk reads
each row's top level first (`scan`), then the main list of each row, then each other thread's
lists in thread order; only the open calls of each thread are held, so memory follows the depth
of the program, not the size of the trace.

How records pair up and nest is decided in one place, `Pairing` (one per thread):
- a call and its return are paired by their frame id; a generator or coroutine resumed several
  times is several calls with the same frame id, one per resumption;
- a call whose call site names an open call further down the stack means that the calls above
  that one never returned: they end there, unfinished;
- a return whose call was never seen (profiling began inside the function) is a call without a
  start;
- an "exception" record right after a return marks that call as having raised;
- a plugin record goes under the call its call site names when that call is open, or when it is
  the call that has just returned (the core writes a frame's own return before the plugin
  records of that return, and a test's end comes right after its function's return), else under
  the innermost open call.

Times are the program's own: when the trace has notes ("record_notes"), each record's timestamp
is taken less jarn's own time on its thread until then, so that a call's duration leaves out the
time jarn spent recording it and the calls below it, in every view alike.

Without threading the profiler keeps every thread's records in one list, interleaved; they are
told apart by their native thread id, against the trace's main thread id (when the trace does not
know it, the thread of the list's first record is taken for the main thread).
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any, Protocol

import msgpack

from jarn.trace.reader import Source, TraceHead, as_source, notes, records, scan
from jarn.trace.records import Call, PluginRecord, TraceFormatError, is_int, number, text


_NO_NOTE = (0, 0)  # a record without a note (an older trace): its time is taken as it is
# Steps of a generator's or coroutine's run, as the notes give them (the low 3 bits).
_START, _RESUME, _THROWN, _YIELD, _FINISH, _UNWIND = 1, 2, 3, 4, 5, 6

@dataclass(eq=False)
class ThreadState:
    key: int | None  # None for the main thread
    name: str
    native_id: int | None
    record_count: int = 0
    last_time: float | None = None
    first_time: float | None = None
    slot: Any = None  # the handler's own state for this thread
    pairing: Pairing = field(init=False, repr=False)

    def __post_init__(self) -> None:
        self.pairing = Pairing(self)

    @property
    def open(self) -> list[Call]:
        return self.pairing.open


class Handler(Protocol):
    def thread_start(self, thread: ThreadState) -> None: ...
    def begin(self, thread: ThreadState, call: Call, parent: Call | None) -> None: ...
    def end(self, thread: ThreadState, call: Call, at: float | None) -> None: ...
    def raised(self, thread: ThreadState, call: Call) -> None: ...
    def record(self, thread: ThreadState, record: PluginRecord, owner: Call | None) -> None: ...
    def truncated(self, info: dict[str, Any]) -> None: ...


class Pairing:
    """The open calls of one thread, and the rule that pairs and nests its records."""

    __slots__ = ("thread", "open", "open_ids", "last_ended", "suspended")

    def __init__(self, thread: ThreadState) -> None:
        self.thread = thread
        self.open: list[Call] = []
        self.open_ids: dict[str, int] = {}  # frame id -> how many open calls have it
        self.last_ended: Call | None = None
        # generators and coroutines between two steps, by their run's number, with their parent
        self.suspended: dict[int, tuple[Call, Call | None]] = {}

    def call(self, record: dict[str, Any], frame_id: str, at: float | None, where: tuple[int, int], handler: Handler, step: int = 0) -> None:
        site = record.get("user_code_call_site")
        logical = step >> 3
        if logical and step & 7 in (_RESUME, _THROWN) and logical in self.suspended:
            # the next step of a generator's or coroutine's run: the same call goes on
            call, parent = self.suspended.pop(logical)
            if type(site) is dict:
                caller = site.get("call_frame_id")
                if isinstance(caller, str) and caller in self.open_ids and self.open[-1].frame_id != caller:
                    self.close_from(self.depth(caller) + 1, at, handler)
            assert call.steps is not None
            call.steps.append([at, None, None])
            call.frame_id = frame_id  # this step's own return pairs with it
            self.open.append(call)
            self.open_ids[frame_id] = self.open_ids.get(frame_id, 0) + 1
            return
        call = _new_call(record, frame_id)
        call.start, call.arguments = at, record.get("locals")
        call.part, call.call_offset = where
        if type(site) is dict:
            call.call_line = site.get("line_number")
            caller = site.get("call_frame_id")
            # The caller named by the call site is the parent; open calls above it never returned.
            if isinstance(caller, str) and caller in self.open_ids and self.open[-1].frame_id != caller:
                self.close_from(self.depth(caller) + 1, at, handler)
        handler.begin(self.thread, call, self.open[-1] if self.open else None)
        if logical:
            call.logical, call.steps = logical, [[at, None, None]]
        self.open.append(call)
        self.open_ids[frame_id] = self.open_ids.get(frame_id, 0) + 1

    def ret(self, record: dict[str, Any], frame_id: str, at: float | None, where: tuple[int, int], handler: Handler, step: int = 0) -> None:
        if frame_id in self.open_ids:
            if self.open[-1].frame_id != frame_id:
                self.close_from(self.depth(frame_id) + 1, at, handler)
            call = self.open.pop()
            self.forget(call)
            if call.steps is not None:
                call.steps[-1][1:] = [at, record.get("arg")]
                if step & 7 == _YIELD and step >> 3 == call.logical:
                    # suspended (yield, await): its run goes on at its next step
                    self.suspended[call.logical] = (call, self.open[-1] if self.open else None)
                    call.end = at
                    return
            self.end_suspended_under(call, handler)
        else:  # profiling began inside this call
            call = _new_call(record, frame_id)
            call.part = where[0]
            handler.begin(self.thread, call, self.open[-1] if self.open else None)
        call.end, call.return_value, call.return_locals, call.returned = at, record.get("arg"), record.get("locals"), True
        call.return_offset = where[1]
        self.last_ended = call
        handler.end(self.thread, call, at)

    def exception(self, record: dict[str, Any], where: tuple[int, int], handler: Handler) -> bool:
        """Marks the call that has just returned as raised; False when the record names another."""
        ended = self.last_ended
        if ended is None or ended.frame_id != record.get("frame_id"):
            return False
        ended.exception, ended.exception_offset = record.get("exception"), where[1]
        handler.raised(self.thread, ended)
        return True

    def owner(self, record: dict[str, Any]) -> Call | None:
        """The call a plugin record belongs under."""
        site = record.get("user_code_call_site")
        if isinstance(site, dict):
            named = site.get("call_frame_id")
            if isinstance(named, str) and named in self.open_ids:
                return self.open[self.depth(named)]
            if self.last_ended is not None and self.last_ended.frame_id == named:
                return self.last_ended
        return self.open[-1] if self.open else None

    def depth(self, frame_id: str) -> int:
        """Where the innermost open call of a frame id is on the stack."""
        for depth in range(len(self.open) - 1, -1, -1):
            if self.open[depth].frame_id == frame_id:
                return depth
        raise AssertionError("an open frame id is on the stack")

    def forget(self, call: Call) -> None:
        left = self.open_ids[call.frame_id] - 1
        if left:
            self.open_ids[call.frame_id] = left
        else:
            del self.open_ids[call.frame_id]

    def close_from(self, depth: int, at: float | None, handler: Handler) -> None:
        """Ends the open calls from `depth` up, innermost first: they never returned."""
        while len(self.open) > depth:
            call = self.open.pop()
            self.forget(call)
            self.end_suspended_under(call, handler)
            handler.end(self.thread, call, at)

    def end_suspended_under(self, parent: Call | None, handler: Handler) -> None:
        """A call ends: the generators and coroutines it left suspended end there too (at their
        last step), so that every call stays inside its parent; a later step of one of them is
        a call of its own."""
        for logical, (call, above) in list(self.suspended.items()):
            if above is parent:
                del self.suspended[logical]
                self.end_suspended_under(call, handler)
                handler.end(self.thread, call, call.end)


def _new_call(record: dict[str, Any], frame_id: str) -> Call:
    get = record.get
    co_name, qualname, path = get("co_name"), get("qualname"), get("path")
    if type(co_name) is not str:
        co_name = text(co_name, "?")
    if type(qualname) is not str or not qualname:
        qualname = co_name
    return Call(qualname, co_name, path if type(path) is str else text(path), frame_id)


class Walk:
    """The rows of one trace (in save order) walked as one stream of records."""

    def __init__(self, parts: Sequence[Source | bytes] | Source | bytes) -> None:
        if isinstance(parts, bytes | bytearray | memoryview) or not isinstance(parts, Sequence):
            parts = [parts]  # type: ignore[list-item]
        if not parts:
            raise TraceFormatError("no trace data")
        self.sources = [as_source(p) for p in parts]
        self.heads = [_scan(source) for source in self.sources]
        first = self.heads[0]
        self.head = TraceHead(
            trace_id=first.trace_id, command_line=first.command_line, commit=first.commit, version=first.version,
            source=first.source, start=first.start, main_thread_id=first.main_thread_id,
            record_count=sum(h.record_count for h in self.heads),
            other_threads_record_count=sum(h.other_threads_record_count for h in self.heads),
            first_time=min((h.first_time for h in self.heads if h.first_time is not None), default=None),
            last_time=max((h.last_time for h in self.heads if h.last_time is not None), default=None),
        )
        self.record_count = 0  # records walked so far; read by progress reports
        self.threads: list[ThreadState] = []
        self._by_key: dict[int | None, ThreadState] = {}
        self.truncation: dict[str, Any] | None = None

    def walk(self, handler: Handler) -> None:
        """Feeds every record to `handler`: the main list of each row, then each other thread's."""
        try:
            self._thread(None, None, handler)
            for part, (source, head) in enumerate(zip(self.sources, self.heads, strict=True)):
                main_id = head.main_thread_id
                assert head.main_list is not None
                noted = notes(source, head.main_notes)
                for offset, record in records(source, head.main_list):
                    native = record.get("thread_native_id") if isinstance(record, dict) else None
                    if main_id is None and is_int(native):
                        main_id = native  # the main thread's id is not known: the first record's thread stands for it
                    key = native if is_int(native) and native != main_id else None
                    self._feed(self._thread(key, record, handler), record, (part, offset), handler, next(noted, _NO_NOTE))
            for thread_id in sorted({t for head in self.heads for t, _ in head.other_lists}):
                for part, (source, head) in enumerate(zip(self.sources, self.heads, strict=True)):
                    for tid, at in head.other_lists:
                        if tid == thread_id:
                            noted = notes(source, head.other_notes.get(tid))
                            for offset, record in records(source, at):
                                self._feed(self._thread(thread_id, record, handler), record, (part, offset), handler, next(noted, _NO_NOTE))
        except TraceFormatError:
            raise
        except msgpack.OutOfData:
            raise TraceFormatError("the trace does not decode: it ends early") from None
        except (msgpack.UnpackException, ValueError) as exc:
            raise TraceFormatError(f"the trace does not decode: {exc}") from None
        for thread in self.threads:
            thread.pairing.close_from(0, thread.last_time, handler)
            thread.pairing.end_suspended_under(None, handler)

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

    def _feed(self, thread: ThreadState, record: Any, where: tuple[int, int], handler: Handler, note: tuple[int, int] = (0, 0)) -> None:
        if type(record) is not dict:
            if not isinstance(record, dict):
                raise TraceFormatError("a record is not a map")
        self.record_count += 1
        thread.record_count += 1
        get = record.get
        kind = get("type")
        at = get("timestamp")
        if type(at) is not float:
            at = number(at)
        if at is not None and note[0]:
            at -= note[0] / 1e9  # every time is the program's own: jarn's time until then taken out
            thread.last_time = at
            if thread.first_time is None:
                thread.first_time = at
        pairing = thread.pairing
        if kind == "frame":
            event, frame_id = get("event"), get("frame_id")
            if type(frame_id) is not str:
                raise TraceFormatError("a frame record has no event or frame id")
            if event == "call":
                pairing.call(record, frame_id, at, where, handler, note[1])
            elif event == "return":
                pairing.ret(record, frame_id, at, where, handler, note[1])
            else:
                raise TraceFormatError("a frame record has no event or frame id")
            return
        if kind == "exception" and pairing.exception(record, where, handler):
            return
        if kind == "truncated":
            self.truncation = {k: v for k, v in record.items() if k != "type"}
            handler.truncated(self.truncation)
            return
        data = {k: v for k, v in record.items() if k not in ("type", "timestamp")}
        handler.record(thread, PluginRecord(text(kind, "?"), at, data, offset=where[1], part=where[0]), pairing.owner(record))


def _scan(source: Source) -> TraceHead:
    try:
        return scan(source.open(0))
    except TraceFormatError:
        raise
    except Exception as exc:  # noqa: BLE001 - what a damaged stream raises varies
        raise TraceFormatError(f"the trace does not decode: {exc}") from None
