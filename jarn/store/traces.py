"""Saving, listing, finding, loading and deleting traces, on either engine.

Every save is a new row, also for a trace id saved before (one-trace-per-test mode saves a trace
each time a test ends), so nothing is ever overwritten. What listing needs (command line,
source, what ran, duration, number of records) is read from the trace's top level while its
bytes go into their chunks, in the same pass: nothing is read back.
"""

from __future__ import annotations

import getpass
import json
import socket
import time
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, Protocol

from jarn.store import codec, schema
from jarn.store.chunks import CHUNK_SIZE, ChunkRows, ChunkWriter, RowSource
from jarn.store.engine import SCHEMA_LOCK, Engine, StoreError
from jarn.trace.reader import Tee, TraceHead, scan
from jarn.trace.records import TraceFormatError


class TracePieces(Protocol):
    """A trace handed out in pieces (what the profiler's `take_trace_pieces` gives): iterating
    yields its bytes in order, `summary` is (command line, source, record count, records of
    other threads)."""

    summary: tuple[list[str], str, int, int]

    def __iter__(self) -> Iterator[bytes]: ...


class Summarised:
    """A trace's bytes with what listing needs, known beforehand: stored without reading it.
    (A plain class: a server's writer makes one per request, and a frozen dataclass's
    __init__ costs several times as much.)"""

    __slots__ = ("data", "command_line", "source", "record_count", "label", "duration", "parent_trace_id")

    def __init__(self, data: bytes, command_line: list[str], source: str, record_count: int, label: str,
                 duration: float | None, parent_trace_id: str = "") -> None:
        self.data, self.command_line, self.source, self.record_count, self.label, self.duration = (
            data, command_line, source, record_count, label, duration)
        self.parent_trace_id = parent_trace_id

    def __len__(self) -> int:
        return len(self.data)


def summarised(pieces: Any) -> Summarised | None:
    """The native profiler's pieces of a trace as Summarised, joined in one copy, when their
    summary says it all (a test's trace is named by its first test, read from its records)."""
    command_line, source, record_count, _ = pieces.summary
    if source in ("", "pytest"):
        return None
    first, last = pieces.times
    return Summarised(bytes(pieces), command_line, source, record_count, source, None if first is None else last - first)


Trace = bytes | bytearray | memoryview | TracePieces | Summarised


@dataclass(frozen=True)
class TraceInfo:
    row_id: int
    trace_id: str
    created_at: float
    command_line: list[str]
    source: str
    record_count: int
    size: int
    label: str = ""  # what ran: a test id, "GET /path", a script and its arguments
    duration: float | None = None  # seconds from the first record to the last
    host: str = ""  # the machine that saved it
    username: str = ""  # and the user
    parent_trace_id: str = ""  # the trace of the process that started this one's, when it is a child

    @property
    def what(self) -> str:
        return self.label or self.source or " ".join(self.command_line)


_INFO_COLUMNS = "row_id, trace_id, created_at, command_line, source, record_count, size, label, duration, host, username, parent_trace_id"


def _info(row: Sequence[Any]) -> TraceInfo:
    try:
        command_line = json.loads(row[3])
    except ValueError:
        command_line = []
    if not isinstance(command_line, list):
        command_line = []
    duration = float(row[8]) if isinstance(row[8], int | float) else None
    return TraceInfo(int(row[0]), str(row[1]), float(row[2]), [str(a) for a in command_line], str(row[4]), int(row[5]), int(row[6]),
                     str(row[7]), duration, str(row[9] or ""), str(row[10] or ""), str(row[11] or ""))


def _whoami() -> tuple[str, str]:
    try:
        user = getpass.getuser()
    except (KeyError, OSError):
        user = ""
    return socket.gethostname(), user


_last_json: tuple[list[str], str] = ([], "[]")


def _json_list(items: list[str]) -> str:
    """JSON of a list of strings; a server's traces all have the same command line."""
    global _last_json
    if items != _last_json[0]:
        _last_json = (list(items), json.dumps(items))
    return _last_json[1]


def _pieces(trace: Trace) -> Iterable[Any]:
    if isinstance(trace, Summarised):
        trace = trace.data
    if isinstance(trace, bytes | bytearray | memoryview):
        view = memoryview(trace).cast("B")
        return (view[i : i + CHUNK_SIZE] for i in range(0, len(view), CHUNK_SIZE))
    return trace


def _looks_for_test(trace: Trace) -> bool:
    """Whether to decode the first records until a test's start: only for a trace that has one.
    Its source (stored after the records) is known from the pieces' summary beforehand."""
    if isinstance(trace, bytes | bytearray | memoryview):
        return b"\xaastart_test" in trace
    summary = getattr(trace, "summary", None)
    return summary is None or summary[1] in ("", "pytest")


class Store:
    """An open store: its engine's connection, and the operations on its traces."""

    def __init__(self, engine: Engine) -> None:
        self.engine = engine
        self.name = engine.name

    # -- opening

    def prepare(self, create: bool) -> None:
        e = self.engine
        version = e.schema_version()
        if version > schema.SCHEMA_VERSION:
            raise StoreError(f"trace database {self.name} was written by a newer jarn (schema {version}, this jarn knows {schema.SCHEMA_VERSION})")
        if version == schema.SCHEMA_VERSION:
            return
        if version == 0:
            if not e.is_empty():
                if e.schema_version() == schema.SCHEMA_VERSION:
                    return  # made by another process between the two looks
                raise StoreError(f"{self.name} is not a jarn trace database")
            self._create()
            return
        if not e.writable:
            raise StoreError(f"trace database {self.name} is of an older jarn (schema {version}) and read-only: "
                             "open it once with write access to bring it up to date")
        with e.transaction():
            e.lock(SCHEMA_LOCK)
            # Another process may have brought it up to date while this one waited for the lock.
            version = e.schema_version()
            for step in range(version + 1, schema.SCHEMA_VERSION + 1):
                for statement in schema.MIGRATIONS[step]:
                    e.execute(statement.format(**e.types))
            if version < 4:
                e.tune_new_tables()
            e.set_schema_version(max(version, schema.SCHEMA_VERSION))

    def _create(self) -> None:
        e = self.engine
        if not e.writable:
            raise StoreError(f"cannot create the trace database {self.name}: read-only")
        getattr(e, "prepare_new", lambda: None)()
        with e.transaction():
            e.lock(SCHEMA_LOCK)
            if e.schema_version() == schema.SCHEMA_VERSION:
                return  # made by another process meanwhile
            for statement in schema.statements(schema.TRACES, e.types):
                e.execute(statement)
            e.tune_new_tables()
            e.set_schema_version(schema.SCHEMA_VERSION)

    # -- saving

    def save(self, trace_id: str, trace: Trace) -> int:
        """Stores one trace as a new row and returns its row id. `trace` is its bytes, or its
        pieces, written as they come: the whole trace is never joined in memory."""
        return self.save_many([(trace_id, trace)])[0]

    def save_many(self, traces: Iterable[tuple[str, Trace]]) -> list[int]:
        """Stores several traces in one transaction, all or none, and returns their row ids in
        order: many small traces cost about one commit."""
        host, user = _whoami()
        traces = list(traces)
        rows = []
        chunks = ChunkRows(self.engine)  # the small traces' chunks, written together
        with self.engine.transaction():
            if len(traces) > 1 and all(isinstance(trace, Summarised) and len(trace) <= CHUNK_SIZE for _, trace in traces):
                ids = self.engine.new_row_ids(len(traces))
                if ids is not None:
                    self._save_summarised(ids, traces, host, user)  # type: ignore[arg-type]
                    return ids
            for trace_id, trace in traces:
                rows.append(self._save_one(trace_id, trace, host, user, chunks))
            chunks.flush()
        return rows

    def _save_summarised(self, ids: list[int], traces: list[tuple[str, Summarised]], host: str, user: str) -> None:
        """Small traces whose summaries are known, under the row ids given: a few statements for
        them all, and their chunks compressed in one go."""
        now = time.time()
        self.engine.copy("traces", ("row_id", "trace_id", "created_at", "size", "command_line", "source", "record_count", "label",
                                    "duration", "host", "username", "parent_trace_id"),
                         [(row_id, trace_id, now, len(t.data), _json_list(t.command_line), t.source, t.record_count, t.label,
                           t.duration, host, user, t.parent_trace_id) for row_id, (trace_id, t) in zip(ids, traces, strict=True)],
                         ("bigint", "text", "double precision", "bigint", "text", "text", "bigint", "text", "double precision",
                          "text", "text", "text"))
        packed = codec.compress_many([t.data for _, t in traces])
        self.engine.copy("trace_chunks", ("row_id", "seq", "start", "size", "codec", "data"),
                         [(row_id, 0, 0, len(t.data), kind, data) for row_id, (_, t), (kind, data) in zip(ids, traces, packed, strict=True)],
                         ("bigint", "bigint", "bigint", "bigint", "bigint", "bytea"))

    def _save_one(self, trace_id: str, trace: Trace, host: str, user: str, chunks: ChunkRows) -> int:
        e = self.engine
        if isinstance(trace, Summarised):
            found = e.execute(
                "INSERT INTO traces (trace_id, created_at, size, command_line, source, record_count, label, duration, host, username,"
                " parent_trace_id) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING row_id",
                (trace_id, time.time(), len(trace.data), _json_list(trace.command_line), trace.source, trace.record_count,
                 trace.label, trace.duration, host, user, trace.parent_trace_id)).fetchone()
            row_id = int(found[0])
            ChunkWriter(e, row_id, chunks).write_whole(trace.data)
            return row_id
        found = e.execute(
            "INSERT INTO traces (trace_id, created_at, size, command_line, source, record_count, host, username)"
            " VALUES (?, ?, 0, '[]', '', 0, ?, ?) RETURNING row_id", (trace_id, time.time(), host, user)).fetchone()
        row_id = int(found[0])
        writer = ChunkWriter(e, row_id, chunks)
        tee = Tee(_pieces(trace), writer.write)
        head = TraceHead()
        try:
            scan(tee, find_test=_looks_for_test(trace), head=head, size=len(trace) if hasattr(trace, "__len__") else None)
        except TraceFormatError:
            pass  # a trace we cannot read is still stored, with what was understood
        tee.drain()
        size = writer.close()
        e.execute("UPDATE traces SET size = ?, command_line = ?, source = ?, record_count = ?, label = ?, duration = ?,"
                  " parent_trace_id = ? WHERE row_id = ?",
                  (size, json.dumps(head.command_line), head.source, head.record_count, head.label if head.main_list is not None else "",
                   head.duration, head.parent_trace_id, row_id))
        return row_id

    def copy_in(self, info: TraceInfo, source: RowSource) -> int | None:
        """A row of another store, stored here as it was (its chunks, its time, machine and user),
        unless it is here already; its new row id, or None."""
        e = self.engine
        with e.transaction():
            if e.execute("SELECT 1 FROM traces WHERE trace_id = ? AND created_at = ? AND size = ?",
                         (info.trace_id, info.created_at, info.size)).fetchone() is not None:
                return None
            row_id = int(e.execute(
                "INSERT INTO traces (trace_id, created_at, size, command_line, source, record_count, label, duration, host, username,"
                " parent_trace_id) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING row_id",
                (info.trace_id, info.created_at, info.size, json.dumps(info.command_line), info.source, info.record_count, info.label,
                 info.duration, info.host, info.username, info.parent_trace_id)).fetchone()[0])
            for seq, start, size, kind, data in source.stored():
                e.copy("trace_chunks", ("row_id", "seq", "start", "size", "codec", "data"), [(row_id, seq, start, size, kind, data)],
                       ("bigint", "bigint", "bigint", "bigint", "bigint", "bytea"))
        return row_id

    # -- listing and finding

    def list(self, limit: int | None = None) -> list[TraceInfo]:
        """Stored traces, newest first."""
        sql = f"SELECT {_INFO_COLUMNS} FROM traces ORDER BY row_id DESC"
        rows = self.engine.execute(sql + " LIMIT ?", (limit,)) if limit is not None else self.engine.execute(sql)
        return [_info(r) for r in rows.fetchall()]

    def latest(self) -> TraceInfo | None:
        found = self.list(limit=1)
        return found[0] if found else None

    def info(self, row_id: int) -> TraceInfo:
        row = self.engine.execute(f"SELECT {_INFO_COLUMNS} FROM traces WHERE row_id = ?", (row_id,)).fetchone()
        if row is None:
            raise StoreError(f"no stored trace with row id {row_id}")
        return _info(row)

    def children(self, trace_id: str) -> list[TraceInfo]:
        """The traces of the processes that the process of `trace_id` started, saved so far."""
        sql = f"SELECT {_INFO_COLUMNS} FROM traces WHERE parent_trace_id = ? ORDER BY row_id"
        return [_info(r) for r in self.engine.execute(sql, (trace_id,)).fetchall()]

    def find(self, trace_id_or_prefix: str) -> list[TraceInfo]:
        """Every row of one trace id, in save order; a unique prefix of a trace id is enough."""
        e = self.engine
        sql = f"SELECT {_INFO_COLUMNS} FROM traces WHERE trace_id = ? ORDER BY row_id"
        rows = e.execute(sql, (trace_id_or_prefix,)).fetchall()
        if rows:
            return [_info(r) for r in rows]
        escaped = trace_id_or_prefix.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_")
        ids = [r[0] for r in e.execute("SELECT DISTINCT trace_id FROM traces WHERE trace_id LIKE ? ESCAPE '\\'", (escaped + "%",)).fetchall()]
        if len(ids) > 1:
            raise StoreError(f"{trace_id_or_prefix!r} matches {len(ids)} traces; give more of the id")
        if not ids:
            return []
        return [_info(r) for r in e.execute(sql, (ids[0],)).fetchall()]

    # -- reading

    def source(self, row_id: int) -> RowSource:
        """The bytes of one stored row, as a source the trace reader opens at any offset."""
        self.info(row_id)
        return RowSource(self.engine, row_id)

    def load(self, row_id: int) -> bytes:
        return self.source(row_id).read_all()

    # -- deleting

    def remove(self, trace_ids: Iterable[str]) -> int:
        """Deletes every row of the given trace ids, and their index (all or none); returns how
        many rows went."""
        from jarn.store import index

        ids = sorted(set(trace_ids))
        removed = 0
        with self.engine.transaction():
            for trace_id in ids:
                rows = [r[0] for r in self.engine.execute("SELECT row_id FROM traces WHERE trace_id = ?", (trace_id,)).fetchall()]
                index.forget(self.engine, rows)
                removed += self.engine.execute("DELETE FROM traces WHERE trace_id = ?", (trace_id,)).rowcount
        if removed:
            self.engine.reclaim()
        return removed

    def to_prune(self, *, keep: int | None = None, older_than: float | None = None) -> list[str]:
        """Trace ids beyond the newest `keep`, or last saved more than `older_than` seconds ago."""
        rows = self.engine.execute("SELECT trace_id, max(row_id), max(created_at) FROM traces GROUP BY trace_id ORDER BY 2 DESC").fetchall()
        now = time.time()
        return [trace_id for rank, (trace_id, _, created_at) in enumerate(rows)
                if (keep is not None and rank >= keep) or (older_than is not None and created_at < now - older_than)]
