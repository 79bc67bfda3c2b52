"""A trace as Chrome trace event JSON: opens in Perfetto (ui.perfetto.dev) and chrome://tracing.

Written as the trace is read. Each call is a "B"/"E" pair of duration events on its thread's track
(one process, one track per thread), its arguments in the begin event's args and its return
value, or the exception it raised, in the end event's: both viewers show the two merged. Plugin
records are instant events on the thread; a trace cut short by the memory limit gets a global
instant event saying what was dropped. Times are microseconds from the trace's start.
"""

from __future__ import annotations

import json
from typing import Any, TextIO

from jarn.trace import Call, PluginRecord, ThreadState, Walk
from jarn.views.export import plain

_PID = 1
_BOOKKEEPING = ("frame_id", "thread", "thread_native_id", "user_code_call_site", "subtype")


class _Track:
    __slots__ = ("tid", "pending")

    def __init__(self, tid: int) -> None:
        self.tid = tid
        self.pending: dict[str, Any] | None = None  # the last end event, until we know it raised or not


class ChromeTraceWriter:
    def __init__(self, out: TextIO, stream: Walk) -> None:
        self.out = out
        self.stream = stream
        self.origin = stream.head.origin
        self.written = 0

    def write(self) -> None:
        head = self.stream.head
        self.out.write('{"displayTimeUnit": "ms", "otherData": ')
        self.out.write(_dump({"trace_id": head.trace_id, "command_line": " ".join(head.command_line), "source": head.source,
                              "jarn_version": head.version, "commit": head.commit or ""}))
        self.out.write(', "traceEvents": [\n')
        self.emit({"name": "process_name", "ph": "M", "pid": _PID, "tid": 0,
                   "args": {"name": head.source or " ".join(head.command_line) or head.trace_id}})
        self.stream.walk(self)
        for thread in self.stream.threads:
            self.settle(thread)
            self.emit({"name": "thread_name", "ph": "M", "pid": _PID, "tid": thread.slot.tid, "args": {"name": thread.name}})
            self.emit({"name": "thread_sort_index", "ph": "M", "pid": _PID, "tid": thread.slot.tid,
                       "args": {"sort_index": self.stream.threads.index(thread)}})
        self.out.write("\n]}\n")

    def emit(self, event: dict[str, Any]) -> None:
        self.out.write((",\n" if self.written else "") + _dump(event))
        self.written += 1

    def ts(self, at: float | None) -> float:
        if at is None:
            return 0.0
        if self.origin is None:
            self.origin = at
        return round((at - self.origin) * 1e6, 3)

    def settle(self, thread: ThreadState) -> None:
        track: _Track = thread.slot
        if track.pending is not None:
            self.emit(track.pending)
            track.pending = None

    # -- the walk's events

    def thread_start(self, thread: ThreadState) -> None:
        thread.slot = _Track(thread.native_id if thread.native_id is not None else 0)

    def begin(self, thread: ThreadState, call: Call, parent: Call | None) -> None:
        self.settle(thread)
        call.slot = call.start is not None  # a return without its call has no begin to pair with
        if not call.slot:
            return
        args: dict[str, Any] = {"path": call.path}
        if call.call_line is not None:
            args["called_from_line"] = call.call_line
        if call.arguments is not None:
            args["arguments"] = plain(call.arguments)
        self.emit({"name": call.qualname, "cat": "call", "ph": "B", "ts": self.ts(call.start), "pid": _PID,
                   "tid": thread.slot.tid, "args": args})

    def end(self, thread: ThreadState, call: Call, at: float | None) -> None:
        self.settle(thread)
        if not call.slot:
            return
        args = {"return_value": plain(call.return_value)} if call.returned else {"returned": False}
        if call.return_locals is not None:
            args["locals_at_return"] = plain(call.return_locals)
        when = at if at is not None else call.start
        thread.slot.pending = {"name": call.qualname, "cat": "call", "ph": "E", "ts": self.ts(when), "pid": _PID,
                               "tid": thread.slot.tid, "args": args}

    def raised(self, thread: ThreadState, call: Call) -> None:
        pending = thread.slot.pending
        if pending is not None:
            pending["args"].pop("return_value", None)
            pending["args"]["exception"] = plain(call.exception)
        self.settle(thread)

    def record(self, thread: ThreadState, record: PluginRecord, owner: Call | None) -> None:
        self.settle(thread)
        name = record.type + (f"/{record.subtype}" if record.subtype else "")
        args = {k: plain(v) for k, v in record.data.items() if k not in _BOOKKEEPING}
        self.emit({"name": name, "cat": "record", "ph": "i", "s": "t", "ts": self.ts(record.timestamp), "pid": _PID,
                   "tid": thread.slot.tid, "args": args})

    def truncated(self, info: dict[str, Any]) -> None:
        ts = info.get("timestamp")
        self.emit({"name": "trace cut short (memory limit)", "cat": "jarn", "ph": "i", "s": "g",
                   "ts": self.ts(ts if isinstance(ts, float) else None), "pid": _PID, "tid": 0, "args": plain(info)})


def _dump(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, allow_nan=False)


def write_chrome_trace(stream: Walk, out: TextIO) -> None:
    ChromeTraceWriter(out, stream).write()
