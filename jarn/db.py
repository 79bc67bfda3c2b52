"""SQLite storage of traces.

Every save is a new row, also for a trace id saved before (one-trace-per-test mode saves a trace
each time a test ends), so nothing is ever overwritten. The trace's bytes are kept in chunks of
their own table: a trace may be larger than one SQLite value can hold. Beside the bytes each row
keeps what listing traces needs (time, size, command line, source, number of records), read from
the trace's top level without decoding its records.
"""

from __future__ import annotations

import io
import json
import os
import sqlite3
import time
from collections.abc import Iterator
from contextlib import AbstractContextManager, contextmanager
from dataclasses import dataclass
from pathlib import Path

import msgpack

SCHEMA_VERSION = 1
CHUNK_SIZE = 32 * 1024 * 1024

_SCHEMA = """
CREATE TABLE IF NOT EXISTS traces (
    row_id INTEGER PRIMARY KEY AUTOINCREMENT,
    trace_id TEXT NOT NULL,
    created_at REAL NOT NULL,
    size INTEGER NOT NULL,
    command_line TEXT NOT NULL,
    source TEXT NOT NULL,
    record_count INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS traces_by_trace_id ON traces (trace_id);
CREATE TABLE IF NOT EXISTS trace_chunks (
    row_id INTEGER NOT NULL REFERENCES traces (row_id) ON DELETE CASCADE,
    seq INTEGER NOT NULL,
    data BLOB NOT NULL,
    PRIMARY KEY (row_id, seq)
);
"""


class StoreError(Exception):
    """The trace store cannot be used: a clear, one-line reason."""


@dataclass(frozen=True)
class TraceInfo:
    row_id: int
    trace_id: str
    created_at: float
    command_line: list[str]
    source: str
    record_count: int
    size: int


@dataclass(frozen=True)
class TraceSummary:
    command_line: list[str]
    source: str
    record_count: int
    other_threads_record_count: int = 0  # of record_count, those filed under other threads


def summarize(trace: bytes) -> TraceSummary:
    """Command line, source and record counts of a trace, without decoding its records."""
    command_line: list[str] = []
    source = ""
    count = others = 0
    try:
        unpacker = msgpack.Unpacker(io.BytesIO(trace), raw=False, strict_map_key=False, max_buffer_size=max(len(trace), 1 << 20))
        for _ in range(unpacker.read_map_header()):
            key = unpacker.unpack()
            if key == "command_line_args":
                value = unpacker.unpack()
                if isinstance(value, list):
                    command_line = [str(v) for v in value]
            elif key == "meta":
                meta = unpacker.unpack()
                if isinstance(meta, dict) and isinstance(meta.get("source"), str):
                    source = meta["source"]
            elif key == "frames_of_interest":
                n = unpacker.read_array_header()
                count += n
                for _ in range(n):
                    unpacker.skip()
            elif key == "frames":
                for _ in range(unpacker.read_map_header()):
                    unpacker.skip()
                    n = unpacker.read_array_header()
                    count += n
                    others += n
                    for _ in range(n):
                        unpacker.skip()
            else:
                unpacker.skip()
    except Exception:
        pass  # a trace we cannot read is still stored, with what was understood
    return TraceSummary(command_line, source, count, others)


def _describe(exc: BaseException) -> str:
    return str(exc).splitlines()[0] if str(exc) else type(exc).__name__


@contextmanager
def _connect(db_path: str | os.PathLike[str], *, timeout: float = 60, create: bool) -> Iterator[sqlite3.Connection]:
    path = Path(db_path)
    if not create and not path.exists():
        raise StoreError(f"no trace database at {path}")
    try:
        if create:
            path.parent.mkdir(parents=True, exist_ok=True)
        conn = sqlite3.connect(path, timeout=timeout, isolation_level=None)
    except (OSError, sqlite3.Error) as exc:
        raise StoreError(f"cannot open the trace database {path}: {_describe(exc)}") from None
    try:
        _prepare(conn, path, create)
        yield conn
    except sqlite3.Error as exc:
        raise StoreError(f"trace database {path}: {_describe(exc)}") from None
    finally:
        conn.close()


def open_store(db_path: str | os.PathLike[str], *, timeout: float = 60) -> AbstractContextManager[sqlite3.Connection]:
    """A connection to an existing store, for readers that keep tables of their own in it."""
    return _connect(db_path, timeout=timeout, create=False)


def _prepare(conn: sqlite3.Connection, path: Path, create: bool) -> None:
    version = conn.execute("PRAGMA user_version").fetchone()[0]
    if version > SCHEMA_VERSION:
        raise StoreError(f"trace database {path} was written by a newer jarn (schema {version}, this jarn knows {SCHEMA_VERSION})")
    conn.execute("PRAGMA foreign_keys = ON")
    if version == SCHEMA_VERSION:
        return
    tables = conn.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]
    if version == 0 and tables and not create:
        raise StoreError(f"{path} is not a jarn trace database")
    if version == 0 and tables:
        known = {r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        if not {"traces", "trace_chunks"} <= known:
            raise StoreError(f"{path} is not a jarn trace database")
    conn.execute("PRAGMA journal_mode = WAL")
    conn.execute("BEGIN IMMEDIATE")
    try:
        for statement in _SCHEMA.split(";"):
            if statement.strip():
                conn.execute(statement)
        conn.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
        conn.execute("COMMIT")
    except BaseException:
        conn.execute("ROLLBACK")
        raise


def save_trace_in_sqlite(db_path: str, trace_id: str, *, timeout: int, msgpack: bytes) -> int:
    """Stores one trace as a new row and returns its row id."""
    trace = bytes(msgpack)
    summary = summarize(trace)
    with _connect(db_path, timeout=timeout, create=True) as conn:
        conn.execute("BEGIN IMMEDIATE")
        try:
            cursor = conn.execute(
                "INSERT INTO traces (trace_id, created_at, size, command_line, source, record_count)"
                " VALUES (?, ?, ?, ?, ?, ?)",
                (trace_id, time.time(), len(trace), json.dumps(summary.command_line), summary.source, summary.record_count),
            )
            row_id = cursor.lastrowid
            assert row_id is not None
            view = memoryview(trace)
            for seq, start in enumerate(range(0, max(len(trace), 1), CHUNK_SIZE)):
                conn.execute(
                    "INSERT INTO trace_chunks (row_id, seq, data) VALUES (?, ?, ?)",
                    (row_id, seq, view[start : start + CHUNK_SIZE]),
                )
            conn.execute("COMMIT")
        except BaseException:
            conn.execute("ROLLBACK")
            raise
    return row_id


_INFO_COLUMNS = "row_id, trace_id, created_at, command_line, source, record_count, size"


def _info(row: tuple) -> TraceInfo:
    try:
        command_line = json.loads(row[3])
    except ValueError:
        command_line = []
    return TraceInfo(int(row[0]), str(row[1]), float(row[2]), list(command_line), str(row[4]), int(row[5]), int(row[6]))


def list_traces(db_path: str | os.PathLike[str], limit: int | None = None) -> list[TraceInfo]:
    """Stored traces, newest first."""
    with _connect(db_path, create=False) as conn:
        sql = f"SELECT {_INFO_COLUMNS} FROM traces ORDER BY row_id DESC"
        rows = conn.execute(sql + " LIMIT ?", (limit,)) if limit is not None else conn.execute(sql)
        return [_info(r) for r in rows]


def latest(db_path: str | os.PathLike[str]) -> TraceInfo | None:
    found = list_traces(db_path, limit=1)
    return found[0] if found else None


def find_rows(db_path: str | os.PathLike[str], trace_id_or_prefix: str) -> list[TraceInfo]:
    """Every row of one trace id, in save order; a unique prefix of a trace id is enough."""
    with _connect(db_path, create=False) as conn:
        rows = conn.execute(f"SELECT {_INFO_COLUMNS} FROM traces WHERE trace_id = ? ORDER BY row_id", (trace_id_or_prefix,)).fetchall()
        if rows:
            return [_info(r) for r in rows]
        escaped = trace_id_or_prefix.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_")
        ids = [r[0] for r in conn.execute("SELECT DISTINCT trace_id FROM traces WHERE trace_id LIKE ? ESCAPE '\\'", (escaped + "%",))]
        if len(ids) > 1:
            raise StoreError(f"{trace_id_or_prefix!r} matches {len(ids)} traces; give more of the id")
        if not ids:
            return []
        rows = conn.execute(f"SELECT {_INFO_COLUMNS} FROM traces WHERE trace_id = ? ORDER BY row_id", (ids[0],)).fetchall()
        return [_info(r) for r in rows]


def load_trace(db_path: str | os.PathLike[str], row_id: int) -> bytes:
    """The bytes of one stored trace."""
    with _connect(db_path, create=False) as conn:
        if conn.execute("SELECT 1 FROM traces WHERE row_id = ?", (row_id,)).fetchone() is None:
            raise StoreError(f"no stored trace with row id {row_id}")
        chunks = conn.execute("SELECT data FROM trace_chunks WHERE row_id = ? ORDER BY seq", (row_id,))
        return b"".join(bytes(c[0]) for c in chunks)
