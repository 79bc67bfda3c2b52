"""Where the native core hands a finished trace to the store (jarn.store).

`save_trace_in_sqlite` is the name the core calls (in one-trace-per-test mode, at each test's
end): `db_path` names the store, a SQLite file or a `postgresql://` URL, and `msgpack` is the
trace's bytes or its pieces. While a test run hands its saves to the background writer
(jarn.writer.route_saves), a trace's bytes for its store are queued there instead, and 0 is
returned.
"""

from __future__ import annotations

from jarn.store import Trace, save_trace


def save_trace_in_sqlite(db_path: str, trace_id: str, *, timeout: int, msgpack: Trace) -> int:
    from jarn import writer

    if writer.routed(db_path, trace_id, msgpack, timeout):
        return 0
    return save_trace(db_path, trace_id, msgpack, timeout=timeout)
