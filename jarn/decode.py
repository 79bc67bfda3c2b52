"""A stored trace's bytes as a typed model: per thread, a tree of calls with their plugin records.

The records are paired and nested by jarn.stream's walk. A generator or coroutine that is resumed
several times shows up as several calls with the same frame id, one per resumption. Returns whose
call is missing (profiling began inside the function) are kept as calls without a start.

Without threading the profiler keeps every thread's records in one list, interleaved; they are
regrouped by their thread here, so that each thread gets a tree of its own.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any


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
    exception: Any = None  # the serialised exception, when the call ended by raising one
    slot: Any = field(default=None, repr=False, compare=False)  # a streaming view's own state

    @property
    def raised(self) -> bool:
        return self.exception is not None

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
    truncated: dict[str, Any] | None = None  # what the memory limit dropped, when it was reached

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


def decode_trace(parts: bytes | list[bytes]) -> Trace:
    """Decodes one trace, or the rows of one trace id (in save order) merged into one."""
    from jarn.stream import TraceStream

    stream = TraceStream(parts)
    builder = _TreeBuilder()
    stream.walk(builder)
    head = stream.head
    threads = []
    for thread in stream.threads:
        thread.slot.name, thread.slot.record_count = thread.name, thread.record_count
        threads.append(thread.slot)
    return Trace(
        trace_id=head.trace_id,
        command_line=head.command_line,
        commit=head.commit,
        version=head.version,
        source=head.source,
        start=head.start,
        main_thread_id=head.main_thread_id,
        threads=threads,
        record_count=stream.record_count,
        truncated=stream.truncation,
    )


class _TreeBuilder:
    """Keeps every call and record of the walk as a tree per thread."""

    def thread_start(self, thread: Any) -> None:
        thread.slot = ThreadTrace(thread.name, thread.native_id)

    def begin(self, thread: Any, call: Call, parent: Call | None) -> None:
        (parent.children if parent is not None else thread.slot.children).append(call)

    def end(self, thread: Any, call: Call, at: float | None) -> None:
        pass

    def raised(self, thread: Any, call: Call) -> None:
        pass

    def record(self, thread: Any, record: PluginRecord, owner: Call | None) -> None:
        (owner.children if owner is not None else thread.slot.children).append(record)

    def truncated(self, info: dict[str, Any]) -> None:
        pass
