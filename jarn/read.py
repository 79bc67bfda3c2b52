"""Stored traces from Python, read by the same reader every view of jarn uses (jarn.trace).

    from jarn import read

    for info in read.traces():                 # newest first
        print(info.trace_id, info.what, info.record_count)

    trace = read.load("trc_01J...")            # an id, or a unique prefix of one
    for thread, call in trace.walk():          # every call of every thread, depth first
        print(thread.name, call.qualname, call.arguments, call.return_value, call.duration)

    read.walk("trc_01J...", handler)           # a trace too big to hold: its calls as they come

`load` gives a jarn.trace.Trace: its threads hold typed nodes, `Call` (qualname, path, start,
end, arguments, return_value, return_locals, exception, children...) and `PluginRecord` (type,
timestamp, data: an SQL query, a log line, an HTTP request...). `walk` feeds a
jarn.trace.Handler (thread_start, begin, end, raised, record, truncated) while only the open
calls are held in memory. `db` names the store as everywhere else (a SQLite path or a
PostgreSQL URL); by default the project's, as for `jarn run`.
"""

from __future__ import annotations

import os
from typing import Any

from jarn.store import TraceInfo, open_store
from jarn.trace import Handler, Trace, Walk, decode_trace

__all__ = ["TraceInfo", "load", "traces", "walk"]


def _store_name(db: str | os.PathLike[str] | None) -> str | os.PathLike[str]:
    if db is not None:
        return db
    from jarn import config

    return str(config.merged(None)["db_path"])


def traces(db: str | os.PathLike[str] | None = None, *, limit: int | None = None) -> list[TraceInfo]:
    """The stored traces, newest first (one entry per save: a test's trace saved twice is two)."""
    with open_store(_store_name(db)) as store:
        return store.list(limit)


def _rows(store: Any, trace_id: str) -> list[TraceInfo]:
    rows = store.find(trace_id)
    if not rows:
        raise LookupError(f"no trace {trace_id!r} in {store.engine.name}")
    return rows


def load(trace_id: str, db: str | os.PathLike[str] | None = None) -> Trace:
    """One trace (all its saves merged, in order) as a tree of typed calls and records."""
    with open_store(_store_name(db)) as store:
        return decode_trace([store.source(r.row_id) for r in _rows(store, trace_id)])


def walk(trace_id: str, handler: Handler, db: str | os.PathLike[str] | None = None) -> None:
    """Feeds one trace to `handler`, call by call, by the pairing rule of every view."""
    with open_store(_store_name(db)) as store:
        Walk([store.source(r.row_id) for r in _rows(store, trace_id)]).walk(handler)
