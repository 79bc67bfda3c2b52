"""SQLite storage of traces.

Every save is a new row, also for a trace id saved before (one-trace-per-test mode saves a trace
each time a test ends), so nothing is ever overwritten. The trace's bytes are kept in chunks of
their own table: a trace may be larger than one SQLite value can hold. Beside the bytes each row
keeps what listing traces needs (time, size, command line, source, what ran, duration, number of
records), read from the trace without decoding most of its records.

The database's `user_version` is its schema version: an older one is brought up to date when it
is opened, a newer one (written by a newer jarn) is refused rather than misread.
"""

from __future__ import annotations

import bisect
import io
import json
import os
import sqlite3
import time
from collections.abc import Iterable, Iterator
from contextlib import AbstractContextManager, contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO, Protocol

import msgpack

SCHEMA_VERSION = 2
CHUNK_SIZE = 32 * 1024 * 1024

_SCHEMA = """
CREATE TABLE IF NOT EXISTS traces (
    row_id INTEGER PRIMARY KEY AUTOINCREMENT,
    trace_id TEXT NOT NULL,
    created_at REAL NOT NULL,
    size INTEGER NOT NULL,
    command_line TEXT NOT NULL,
    source TEXT NOT NULL,
    record_count INTEGER NOT NULL,
    label TEXT NOT NULL DEFAULT '',
    duration REAL
);
CREATE INDEX IF NOT EXISTS traces_by_trace_id ON traces (trace_id);
CREATE TABLE IF NOT EXISTS trace_chunks (
    row_id INTEGER NOT NULL REFERENCES traces (row_id) ON DELETE CASCADE,
    seq INTEGER NOT NULL,
    data BLOB NOT NULL,
    PRIMARY KEY (row_id, seq)
);
"""

# Each step brings a database of the version before it to the next one.
_MIGRATIONS = {
    2: (
        "ALTER TABLE traces ADD COLUMN label TEXT NOT NULL DEFAULT ''",
        "ALTER TABLE traces ADD COLUMN duration REAL",
    ),
}


class TracePieces(Protocol):
    """A trace handed out in pieces (what the profiler's `take_trace_pieces` gives): iterating
    yields its bytes in order, len() is its whole size, `summary` what listing it needs."""

    summary: tuple[list[str], str, int, int]

    def __iter__(self) -> Iterator[bytes]: ...

    def __len__(self) -> int: ...


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
    label: str = ""  # what ran: a test id, "GET /path", a script and its arguments
    duration: float | None = None  # seconds from the first record to the last

    @property
    def what(self) -> str:
        return self.label or self.source or " ".join(self.command_line)


@dataclass(frozen=True)
class TraceSummary:
    command_line: list[str]
    source: str
    record_count: int
    other_threads_record_count: int = 0  # of record_count, those filed under other threads
    label: str = ""
    duration: float | None = None


def _timestamp(record: object) -> float | None:
    value = record.get("timestamp") if isinstance(record, dict) else None
    return float(value) if isinstance(value, int | float) and not isinstance(value, bool) else None


class _Scan:
    """Walks one list of records, unpacking only its first and last (for the duration) and, when
    the trace holds a test boundary, the records until the first test id is found."""

    def __init__(self, look_for_test: bool) -> None:
        self.look_for_test = look_for_test
        self.test_id = ""
        self.first: float | None = None
        self.last: float | None = None

    def records(self, unpacker: msgpack.Unpacker) -> int:
        n = unpacker.read_array_header()
        for i in range(n):
            if i == 0 or i == n - 1 or (self.look_for_test and not self.test_id):
                record = unpacker.unpack()
                if self.look_for_test and not self.test_id and isinstance(record, dict) and record.get("type") == "start_test":
                    self.test_id = str(record.get("test_id") or "")
                at = _timestamp(record)
                if at is not None:
                    self.first = at if self.first is None else min(self.first, at)
                    self.last = at if self.last is None else max(self.last, at)
            else:
                unpacker.skip()
        return n


def summarize(trace: bytes | BinaryIO, *, look_for_test: bool | None = None) -> TraceSummary:
    """Command line, source and record counts of a trace (its bytes, or a file reading them),
    without decoding most of its records."""
    command_line: list[str] = []
    source = ""
    count = others = 0
    if isinstance(trace, bytes):
        file: BinaryIO = io.BytesIO(trace)
        buffer_size = max(len(trace), 1 << 20)
        look_for_test = b"\xaastart_test" in trace if look_for_test is None else look_for_test
    else:
        file, buffer_size = trace, 64 << 20
    scan = _Scan(bool(look_for_test))
    try:
        unpacker = msgpack.Unpacker(file, raw=False, strict_map_key=False, max_buffer_size=buffer_size)
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
                count += scan.records(unpacker)
            elif key == "frames":
                for _ in range(unpacker.read_map_header()):
                    unpacker.skip()
                    n = scan.records(unpacker)
                    count += n
                    others += n
            else:
                unpacker.skip()
    except Exception:
        pass  # a trace we cannot read is still stored, with what was understood
    duration = scan.last - scan.first if scan.first is not None and scan.last is not None else None
    # A trace of one test (pytest --jarn saves one per test) is named by it; a run of a whole
    # suite under `jarn run` by what was run.
    label = (scan.test_id if source in ("", "pytest") else "") or source or " ".join(command_line)
    return TraceSummary(command_line, source, count, others, label, duration)


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
            _ignore_in_git(path.parent)
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


@contextmanager
def _transaction(conn: sqlite3.Connection) -> Iterator[None]:
    """One write transaction, taken at once (no other writer in between), undone on any failure."""
    conn.execute("BEGIN IMMEDIATE")
    try:
        yield
        conn.execute("COMMIT")
    except BaseException:
        conn.execute("ROLLBACK")
        raise


def _ignore_in_git(folder: Path) -> None:
    """The project's .jarn folder holds only traces: git is told to leave all of it alone."""
    marker = folder / ".gitignore"
    if folder.name == ".jarn" and not marker.exists():
        marker.write_text("*\n", encoding="utf-8")


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
    if version > 0:
        _migrate(conn, version)
        return
    tables = conn.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]
    if version == 0 and tables and not create:
        raise StoreError(f"{path} is not a jarn trace database")
    if version == 0 and tables:
        known = {r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        if not {"traces", "trace_chunks"} <= known:
            raise StoreError(f"{path} is not a jarn trace database")
    conn.execute("PRAGMA journal_mode = WAL")
    with _transaction(conn):
        for statement in _SCHEMA.split(";"):
            if statement.strip():
                conn.execute(statement)
        conn.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")


def _migrate(conn: sqlite3.Connection, version: int) -> None:
    with _transaction(conn):
        # Another process may have brought it up to date while this one waited for the lock.
        version = conn.execute("PRAGMA user_version").fetchone()[0]
        for step in range(version + 1, SCHEMA_VERSION + 1):
            for statement in _MIGRATIONS[step]:
                conn.execute(statement)
        conn.execute(f"PRAGMA user_version = {max(version, SCHEMA_VERSION)}")


def _rows(pieces: Iterable[bytes | memoryview]) -> Iterator[bytes | bytearray | memoryview]:
    """The pieces regrouped into chunks of about CHUNK_SIZE bytes (at least one, maybe empty)."""
    pending = bytearray()
    given = False
    for piece in pieces:
        if not pending and len(piece) >= CHUNK_SIZE:
            given = True
            yield piece
            continue
        pending += piece
        if len(pending) >= CHUNK_SIZE:
            given = True
            yield pending
            pending = bytearray()
    if pending or not given:
        yield pending


def save_trace_in_sqlite(db_path: str, trace_id: str, *, timeout: int, msgpack: bytes | TracePieces) -> int:
    """Stores one trace as a new row and returns its row id. `msgpack` is the trace's bytes, or
    its pieces, written as they come: the whole trace is never joined in memory. While a test run
    hands its saves to the background writer (jarn.writer.route_saves), a trace's bytes for its
    store are queued there instead, and 0 is returned."""
    from jarn import writer

    if writer.routed(db_path, trace_id, msgpack, timeout):
        return 0
    if isinstance(msgpack, bytes | bytearray | memoryview):
        trace = msgpack if isinstance(msgpack, bytes) else bytes(msgpack)
        summary = summarize(trace)
        size = len(trace)
        view = memoryview(trace)
        pieces: Iterable[bytes | memoryview] = (view[i : i + CHUNK_SIZE] for i in range(0, size, CHUNK_SIZE))
    else:
        summary = TraceSummary(*msgpack.summary)
        size = len(msgpack)
        pieces = msgpack
    with _connect(db_path, timeout=timeout, create=True) as conn:
        with _transaction(conn):
            cursor = conn.execute(
                "INSERT INTO traces (trace_id, created_at, size, command_line, source, record_count, label, duration)"
                " VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                (trace_id, time.time(), size, json.dumps(summary.command_line), summary.source,
                 summary.record_count, summary.label, summary.duration),
            )
            row_id = cursor.lastrowid
            assert row_id is not None
            for seq, chunk in enumerate(_rows(pieces)):
                conn.execute("INSERT INTO trace_chunks (row_id, seq, data) VALUES (?, ?, ?)", (row_id, seq, chunk))
            if not isinstance(msgpack, bytes | bytearray | memoryview):
                # What ran and how long are read back from the stored chunks, a piece at a time.
                read = summarize(_ChunkFile(conn, row_id), look_for_test=summary.source in ("", "pytest"))
                conn.execute("UPDATE traces SET label = ?, duration = ? WHERE row_id = ?", (read.label, read.duration, row_id))
    return row_id


_INFO_COLUMNS = "row_id, trace_id, created_at, command_line, source, record_count, size, label, duration"


def _info(row: tuple) -> TraceInfo:
    try:
        command_line = json.loads(row[3])
    except ValueError:
        command_line = []
    if not isinstance(command_line, list):
        command_line = []
    duration = float(row[8]) if isinstance(row[8], int | float) else None
    return TraceInfo(int(row[0]), str(row[1]), float(row[2]), command_line, str(row[4]), int(row[5]), int(row[6]), str(row[7]), duration)


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


class _ChunkFile(io.RawIOBase):
    """The bytes of one stored trace as a seekable file, read from its chunks as needed: a big
    trace is never all in memory."""

    def __init__(self, conn: sqlite3.Connection, row_id: int) -> None:
        self.conn = conn
        self.row_id = row_id
        self.seqs: list[int] = []
        self.starts: list[int] = []
        self.size = 0
        for seq, length in conn.execute("SELECT seq, length(data) FROM trace_chunks WHERE row_id = ? ORDER BY seq", (row_id,)):
            self.seqs.append(seq)
            self.starts.append(self.size)
            self.size += length
        self.pos = 0
        self.cached: tuple[int, bytes] = (-1, b"")

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return self.pos

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        base = {io.SEEK_SET: 0, io.SEEK_CUR: self.pos, io.SEEK_END: self.size}[whence]
        self.pos = max(0, base + offset)
        return self.pos

    def readinto(self, buffer) -> int:  # type: ignore[no-untyped-def]
        view = memoryview(buffer).cast("B")
        filled = 0
        while filled < len(view) and self.pos < self.size:
            index = bisect.bisect_right(self.starts, self.pos) - 1
            if self.cached[0] != index:
                row = self.conn.execute(
                    "SELECT data FROM trace_chunks WHERE row_id = ? AND seq = ?", (self.row_id, self.seqs[index])
                ).fetchone()
                if row is None:
                    raise StoreError(f"stored trace {self.row_id} was deleted while it was read")
                self.cached = (index, bytes(row[0]))
            chunk = self.cached[1]
            offset = self.pos - self.starts[index]
            n = min(len(view) - filled, len(chunk) - offset)
            view[filled : filled + n] = chunk[offset : offset + n]
            filled += n
            self.pos += n
        return filled


@contextmanager
def open_traces(db_path: str | os.PathLike[str], row_ids: Iterable[int]) -> Iterator[list[io.RawIOBase]]:
    """The stored bytes of some rows, as seekable files that read the database as they go."""
    with _connect(db_path, create=False) as conn:
        files: list[io.RawIOBase] = []
        for row_id in row_ids:
            if conn.execute("SELECT 1 FROM traces WHERE row_id = ?", (row_id,)).fetchone() is None:
                raise StoreError(f"no stored trace with row id {row_id}")
            files.append(_ChunkFile(conn, row_id))
        yield files


def remove_traces(db_path: str | os.PathLike[str], trace_ids: Iterable[str]) -> int:
    """Deletes every row of the given trace ids (all or none) and returns how many went."""
    ids = sorted(set(trace_ids))
    with _connect(db_path, create=False) as conn:
        with _transaction(conn):
            removed = 0
            for trace_id in ids:
                removed += conn.execute("DELETE FROM traces WHERE trace_id = ?", (trace_id,)).rowcount
            from jarn import index  # the viewer's tables in the same file; it imports this module

            index.forget_removed(conn)
        if removed:
            # Deleted rows only become free pages; the file shrinks when it is rewritten, and the
            # rewrite (which went to the write-ahead log) is copied back and the log emptied.
            conn.execute("VACUUM")
            conn.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    return removed


def traces_to_prune(db_path: str | os.PathLike[str], *, keep: int | None = None, older_than: float | None = None) -> list[str]:
    """Trace ids beyond the newest `keep`, or last saved more than `older_than` seconds ago."""
    with _connect(db_path, create=False) as conn:
        rows = conn.execute("SELECT trace_id, max(row_id), max(created_at) FROM traces GROUP BY trace_id ORDER BY 2 DESC").fetchall()
    doomed = []
    now = time.time()
    for rank, (trace_id, _, created_at) in enumerate(rows):
        if (keep is not None and rank >= keep) or (older_than is not None and created_at < now - older_than):
            doomed.append(trace_id)
    return doomed
