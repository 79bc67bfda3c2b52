"""A trace as a typed model held whole: per thread, a tree of calls with their plugin records.

Built by the walk (jarn.trace.walk), so it is the same tree every streaming view sees. Meant for
traces that fit in memory: the JSON and HTML exports and tests written from a trace.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

from jarn.trace.reader import Source
from jarn.trace.records import Call, PluginRecord
from jarn.trace.walk import ThreadState, Walk


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

    def walk(self) -> Iterator[tuple[ThreadTrace, Call]]:
        """Every call of every thread, depth first."""
        stack: list[Call | PluginRecord] = []
        for thread in self.threads:
            stack.extend(reversed(thread.children))
            while stack:
                node = stack.pop()
                if isinstance(node, Call):
                    yield thread, node
                    stack.extend(reversed(node.children))


class TreeBuilder:
    """Keeps every call and record of the walk as a tree per thread."""

    def thread_start(self, thread: ThreadState) -> None:
        thread.slot = ThreadTrace(thread.name, thread.native_id)

    def begin(self, thread: ThreadState, call: Call, parent: Call | None) -> None:
        (parent.children if parent is not None else thread.slot.children).append(call)

    def end(self, thread: ThreadState, call: Call, at: float | None) -> None:
        pass

    def raised(self, thread: ThreadState, call: Call) -> None:
        pass

    def record(self, thread: ThreadState, record: PluginRecord, owner: Call | None) -> None:
        (owner.children if owner is not None else thread.slot.children).append(record)

    def truncated(self, info: dict[str, Any]) -> None:
        pass


def decode_trace(parts: Sequence[Source | bytes] | Source | bytes) -> Trace:
    """Decodes one trace, or the rows of one trace id (in save order) merged into one."""
    walk = Walk(parts)
    walk.walk(TreeBuilder())
    head = walk.head
    threads = []
    for thread in walk.threads:
        thread.slot.name, thread.slot.record_count = thread.name, thread.record_count
        threads.append(thread.slot)
    return Trace(
        trace_id=head.trace_id, command_line=head.command_line, commit=head.commit, version=head.version,
        source=head.source, start=head.start, main_thread_id=head.main_thread_id, threads=threads,
        record_count=walk.record_count, truncated=walk.truncation,
    )
