"""The trace format, read in one way: jarn's single Python statement of what a trace holds.

`records` types the records (frame, exception, truncated and plugin records, call flags) and the
nodes made of them (`Call`, `PluginRecord`); `reader` reads a trace's top level as a stream and
finds its lists, and summarises a trace from its pieces while they are stored; `walk` pairs calls
with returns and places every record in a tree by one rule, for handlers that see each call as
it begins and ends; `tree` keeps that tree whole for the views that need it all at once. Nothing
here knows where a trace is stored: a source opens its bytes at an offset.
"""

from __future__ import annotations

from jarn.trace.reader import BytesSource, Source, Tee, TraceHead, record_at, scan, summarize
from jarn.trace.records import (
    Call,
    CallFlags,
    CallSite,
    ExceptionRecord,
    FrameRecord,
    PluginRecord,
    PluginRecordData,
    TraceFormatError,
    TruncatedRecord,
)
from jarn.trace.tree import ThreadTrace, Trace, TreeBuilder, decode_trace
from jarn.trace.walk import Handler, Pairing, ThreadState, Walk

__all__ = [
    "BytesSource", "Call", "CallFlags", "CallSite", "ExceptionRecord", "FrameRecord", "Handler", "Pairing", "PluginRecord",
    "PluginRecordData", "Source", "Tee", "ThreadState", "ThreadTrace", "Trace", "TraceFormatError", "TraceHead", "TreeBuilder",
    "TruncatedRecord", "Walk", "decode_trace", "record_at", "scan", "summarize",
]
