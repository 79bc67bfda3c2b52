"""A stored trace's bytes as a typed model: per thread, a tree of calls with their plugin records.

A call and its return are paired by their frame id. A generator or coroutine that is resumed
several times shows up as several calls with the same frame id, one per resumption. Returns whose
call is missing (profiling began inside the function) are kept as calls without a start.

Without threading the profiler keeps every thread's records in one list, interleaved; they are
regrouped by their thread here, so that each thread gets a tree of its own.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import msgpack


class TraceFormatError(Exception):
    """The bytes are not a jarn trace."""


@dataclass
class PluginRecord:
    type: str
    timestamp: float | None
    data: dict[str, Any]
    kind: str = "record"

    @property
    def subtype(self) -> str | None:
        value = self.data.get("subtype")
        return value if isinstance(value, str) else None


@dataclass
class Call:
    qualname: str
    co_name: str
    path: str
    frame_id: str
    start: float | None = None
    end: float | None = None
    arguments: Any = None  # the locals at the call: the arguments as received
    return_value: Any = None
    return_locals: Any = None
    returned: bool = False
    call_line: int | None = None  # the caller's line, when the caller was recorded
    children: list[Call | PluginRecord] = field(default_factory=list)
    kind: str = "call"

    @property
    def duration(self) -> float | None:
        if self.start is None or self.end is None:
            return None
        return max(0.0, self.end - self.start)

    def calls(self) -> list[Call]:
        return [c for c in self.children if isinstance(c, Call)]


@dataclass
class ThreadTrace:
    name: str
    native_id: int | None
    children: list[Call | PluginRecord] = field(default_factory=list)
    record_count: int = 0


@dataclass
class Trace:
    trace_id: str
    command_line: list[str]
    commit: str | None
    version: str
    source: str
    start: float | None
    main_thread_id: int | None
    threads: list[ThreadTrace]
    record_count: int

    def walk(self):
        """Every call of every thread, depth first."""
        stack: list[Call | PluginRecord] = []
        for thread in self.threads:
            stack.extend(reversed(thread.children))
            while stack:
                node = stack.pop()
                if isinstance(node, Call):
                    yield thread, node
                    stack.extend(reversed(node.children))


def _text(value: Any, default: str = "") -> str:
    return value if isinstance(value, str) else default


def _number(value: Any) -> float | None:
    return float(value) if isinstance(value, int | float) and not isinstance(value, bool) else None


class _TreeBuilder:
    def __init__(self, thread: ThreadTrace) -> None:
        self.thread = thread
        self.open: list[Call] = []
        self.by_id: dict[Any, Call] = {}  # the latest call of each frame id

    def add(self, record: Any) -> None:
        if not isinstance(record, dict):
            raise TraceFormatError("a record is not a map")
        self.thread.record_count += 1
        if record.get("type") == "frame":
            if record.get("event") not in ("call", "return") or not isinstance(record.get("frame_id"), str):
                raise TraceFormatError("a frame record has no event or frame id")
            if record.get("event") == "return":
                self.close(record)
            else:
                self.begin(record)
        else:
            data = {k: v for k, v in record.items() if k not in ("type", "timestamp")}
            node = PluginRecord(_text(record.get("type"), "?"), _number(record.get("timestamp")), data)
            # The call site names the recorded call the plugin's frame ran under: for the return
            # of a recorded frame, that frame itself, which is still open here.
            site = record.get("user_code_call_site")
            owner = self.by_id.get(site.get("call_frame_id")) if isinstance(site, dict) else None
            (owner.children if owner is not None else self.target()).append(node)

    def target(self) -> list[Call | PluginRecord]:
        return self.open[-1].children if self.open else self.thread.children

    def begin(self, record: dict[str, Any]) -> None:
        site = record.get("user_code_call_site")
        call = Call(
            qualname=_text(record.get("qualname")) or _text(record.get("co_name"), "?"),
            co_name=_text(record.get("co_name"), "?"),
            path=_text(record.get("path")),
            frame_id=_text(record.get("frame_id")),
            start=_number(record.get("timestamp")),
            arguments=record.get("locals"),
            call_line=site.get("line_number") if isinstance(site, dict) else None,
        )
        # The caller named by the call site is the parent; open calls above it never returned.
        if isinstance(site, dict):
            for depth in range(len(self.open) - 1, -1, -1):
                if self.open[depth].frame_id == site.get("call_frame_id"):
                    del self.open[depth + 1 :]
                    break
        self.target().append(call)
        self.open.append(call)
        self.by_id[call.frame_id] = call

    def close(self, record: dict[str, Any]) -> None:
        frame_id = _text(record.get("frame_id"))
        for depth in range(len(self.open) - 1, -1, -1):
            if self.open[depth].frame_id == frame_id:
                call = self.open[depth]
                del self.open[depth:]
                break
        else:
            call = Call(
                qualname=_text(record.get("qualname")) or _text(record.get("co_name"), "?"),
                co_name=_text(record.get("co_name"), "?"),
                path=_text(record.get("path")),
                frame_id=frame_id,
            )
            self.target().append(call)
            self.by_id[frame_id] = call
        call.end = _number(record.get("timestamp"))
        call.return_value = record.get("arg")
        call.return_locals = record.get("locals")
        call.returned = True


def _thread_name(records: list[Any], default: str) -> str:
    for r in records:
        if isinstance(r, dict) and isinstance(r.get("thread"), str):
            return r["thread"]
    return default


def decode_trace(parts: bytes | list[bytes]) -> Trace:
    """Decodes one trace, or the rows of one trace id (in save order) merged into one."""
    chunks = [parts] if isinstance(parts, bytes | bytearray) else list(parts)
    if not chunks:
        raise TraceFormatError("no trace data")
    maps = []
    for chunk in chunks:
        try:
            value = msgpack.unpackb(chunk, raw=False, strict_map_key=False)
        except Exception as exc:
            raise TraceFormatError(f"the trace does not decode: {exc}") from None
        if not isinstance(value, dict) or "frames_of_interest" not in value:
            raise TraceFormatError("the data is not a jarn trace")
        maps.append(value)
    first = maps[0]
    main_id = first.get("main_thread_id") if isinstance(first.get("main_thread_id"), int) else None
    main_records: list[Any] = []
    others: dict[int, list[Any]] = {}
    for value in maps:
        if not isinstance(value.get("frames_of_interest"), list) or not isinstance(value.get("frames", {}), dict):
            raise TraceFormatError("the trace's records are not lists")
        main_records.extend(value["frames_of_interest"])
        for thread_id, records in value.get("frames", {}).items():
            if not isinstance(records, list):
                raise TraceFormatError("the trace's records are not lists")
            if not isinstance(thread_id, int) or isinstance(thread_id, bool):
                raise TraceFormatError("a thread id of the trace is not an integer")
            others.setdefault(thread_id, []).extend(records)

    threads = []
    own = [r for r in main_records if isinstance(r, dict) and r.get("thread_native_id") in (main_id, None)]
    main = ThreadTrace(_thread_name(own, "MainThread"), main_id)
    threads.append(main)
    builders: dict[Any, _TreeBuilder] = {}
    for record in main_records:
        native = record.get("thread_native_id") if isinstance(record, dict) else None
        if not isinstance(native, int) or native == main_id or main_id is None:
            builder = builders.setdefault(None, _TreeBuilder(main))
        elif native in builders:
            builder = builders[native]
        else:
            name = record.get("thread") if isinstance(record.get("thread"), str) else f"thread {native}"
            thread = ThreadTrace(name, native)
            threads.append(thread)
            builder = builders[native] = _TreeBuilder(thread)
        builder.add(record)
    for thread_id, records in sorted(others.items()):
        if thread_id not in builders:
            thread = ThreadTrace(_thread_name(records, f"thread {thread_id}"), thread_id)
            threads.append(thread)
            builders[thread_id] = _TreeBuilder(thread)
        for record in records:
            builders[thread_id].add(record)
    meta = first.get("meta") if isinstance(first.get("meta"), dict) else {}
    argv = first.get("command_line_args")
    return Trace(
        trace_id=_text(first.get("trace_id")),
        command_line=[str(a) for a in argv] if isinstance(argv, list) else [],
        commit=first.get("current_commit_sha") if isinstance(first.get("current_commit_sha"), str) else None,
        version=_text(meta.get("version")),
        source=_text(meta.get("source")),
        start=_number(first.get("timestamp")),
        main_thread_id=main_id,
        threads=threads,
        record_count=sum(t.record_count for t in threads),
    )
