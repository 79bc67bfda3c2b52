"""The records of a trace, as the profiler writes them, and the nodes the walk makes of them.

A trace holds four kinds of record, told apart by their "type": frame records (a call or a
return of a recorded function), the exception record written right after the return of a call
that raised, the truncated record that says what the memory limit dropped, and plugin records of
any other type (tests, logs, HTTP, SQL...). The walk (jarn.trace.walk) turns them into calls and
plugin records placed in a tree.
"""

from __future__ import annotations

import enum
from dataclasses import dataclass, field
from typing import Any, Literal, TypedDict


class TraceFormatError(Exception):
    """The bytes are not a jarn trace (a one-line reason)."""


class CallSite(TypedDict):
    call_frame_id: str
    line_number: int


class FrameRecord(TypedDict):
    """A call or a return: 12 entries, in this order."""

    path: str
    co_name: str
    qualname: str | None
    event: Literal["call", "return"]
    frame_id: str
    arg: Any  # the return value (None for a call)
    locals: Any  # the arguments at a call, the locals at a return
    thread: str
    thread_native_id: int | None
    timestamp: float
    type: Literal["frame"]
    user_code_call_site: CallSite | None


class _RecordBase(TypedDict):
    frame_id: str
    timestamp: float
    thread: str
    thread_native_id: int | None
    user_code_call_site: CallSite | None
    type: str


class ExceptionRecord(_RecordBase):
    """Written after the return record of the call (same frame id) that ended by raising."""

    exception: Any


class TruncatedRecord(TypedDict, total=False):
    """The last record of a trace cut short by `max_trace_bytes`."""

    type: Literal["truncated"]
    timestamp: float
    records_dropped: int
    bytes_dropped: int
    limit_bytes: int


class PluginRecordData(_RecordBase, total=False):
    """A plugin's record: the common entries, then the plugin's own."""

    subtype: str


class CallFlags(enum.IntFlag):
    """How a call's records were found; stored as an integer by the index."""

    RAISED = 1  # ended by an exception
    UNFINISHED = 2  # no return record: the trace ended, or a caller returned first
    NO_START = 4  # no call record: profiling began inside it


@dataclass(slots=True, eq=False)
class PluginRecord:
    type: str
    timestamp: float | None
    data: dict[str, Any]  # the record less its "type" and "timestamp"
    kind: str = "record"
    offset: int | None = None  # where the record starts in its row's bytes
    part: int = 0  # which row of the trace it came from

    @property
    def subtype(self) -> str | None:
        value = self.data.get("subtype")
        return value if isinstance(value, str) else None


@dataclass(slots=True, eq=False)
class Call:
    qualname: str
    co_name: str
    path: str
    frame_id: str
    start: float | None = None  # None: the call record is missing (profiling began inside it)
    end: float | None = None  # None: no return record
    arguments: Any = None  # the locals at the call: the arguments as received
    return_value: Any = None
    return_locals: Any = None
    returned: bool = False
    call_line: int | None = None  # the caller's line, when the caller was recorded
    children: list[Call | PluginRecord] = field(default_factory=list)
    kind: str = "call"
    exception: Any = None  # the serialised exception, when the call ended by raising one
    call_offset: int | None = None  # where its records start in their row's bytes
    return_offset: int | None = None
    exception_offset: int | None = None
    part: int = 0  # the row of its call record (of its return, for a call without one)
    slot: Any = field(default=None, repr=False)  # a handler's own state for this call
    # A generator's or coroutine's run is one call of many steps (each resumption to its next
    # yield or await): [start, end, the value it yielded or awaited] each; None for plain calls.
    steps: list[list[Any]] | None = None
    logical: int = 0  # the core's number of that run (0: a plain call)

    @property
    def raised(self) -> bool:
        return self.exception is not None

    @property
    def flags(self) -> CallFlags:
        flags = CallFlags(0)
        if self.raised:
            flags |= CallFlags.RAISED
        if not self.returned:
            flags |= CallFlags.UNFINISHED
        if self.call_offset is None and self.returned:
            flags |= CallFlags.NO_START
        return flags

    @property
    def duration(self) -> float | None:
        if self.start is None or self.end is None:
            return None
        return max(0.0, self.end - self.start)

    @property
    def awaiting(self) -> float:
        """Of a generator's or coroutine's run, the time it spent suspended between its steps."""
        if not self.steps or self.start is None or self.end is None:
            return 0.0
        ran = sum(max(0.0, e - s) for s, e, _ in self.steps if s is not None and e is not None)
        return max(0.0, self.end - self.start - ran)

    def calls(self) -> list[Call]:
        return [c for c in self.children if isinstance(c, Call)]


def text(value: Any, default: str = "") -> str:
    return value if isinstance(value, str) else default


def value_text(value: Any) -> str | None:
    """The one-line text of a value the serialiser described ({"__type__": ..., "text": ...,
    "fields": ...} for an object read by its fields; {"__type__": ..., "repr": ...} by its repr,
    its type and address, and in traces made before objects were read by their fields), or None
    for any other value."""
    if not isinstance(value, dict) or not isinstance(value.get("__type__"), str):
        return None
    shown = value.get("text", value.get("repr"))
    return shown if isinstance(shown, str) else None


def number(value: Any) -> float | None:
    if type(value) is float:
        return value
    return float(value) if isinstance(value, int | float) and not isinstance(value, bool) else None


def is_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)
