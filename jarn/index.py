"""An index of a stored trace, built once, for views that must stay fast on traces of any size.

A trace is read as a stream (never whole in memory): each record is decoded on its own and only
what the views need is kept, in tables of the trace's own SQLite file: one row per call (thread,
parent, depth, start, end, self time, function, flags and the byte offsets of its records) and one
row per function (calls, total and self time). Values are not copied: a call's detail decodes its
records again from their offsets, and a search for text in values scans the stored bytes.

Each stored row (one save of a trace) gets its own index, keyed by its row id; a row that cannot
be read gets an error entry instead, so it is not read again and does not hide the others.

Times are the records' own (seconds since the epoch). A call's total time counts only its outermost
activation per thread, so recursion is not counted twice; self time is its duration less that of
its recorded children.
"""

from __future__ import annotations

import io
import json
import math
import sqlite3
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import msgpack

from jarn import db

INDEX_VERSION = 2
_BATCH = 20000

# Call flags.
RAISED = 1  # ended by an exception
UNFINISHED = 2  # no return record: the trace ended, or a caller returned first
NO_START = 4  # no call record: profiling began inside it

# Record kinds in the offsets table.
KIND_CALL, KIND_RETURN, KIND_EXCEPTION, KIND_OTHER = 0, 1, 2, 3

_SCHEMA = """
CREATE TABLE IF NOT EXISTS jarn_index (
    trace INTEGER PRIMARY KEY,
    version INTEGER NOT NULL,
    error TEXT,
    start REAL, end REAL,
    calls INTEGER NOT NULL DEFAULT 0,
    records INTEGER NOT NULL DEFAULT 0,
    truncated TEXT
);
CREATE TABLE IF NOT EXISTS jarn_index_threads (
    trace INTEGER NOT NULL, thread INTEGER NOT NULL,
    name TEXT NOT NULL, native_id INTEGER,
    start REAL, end REAL, calls INTEGER NOT NULL, max_depth INTEGER NOT NULL,
    PRIMARY KEY (trace, thread)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS jarn_index_functions (
    trace INTEGER NOT NULL, fn INTEGER NOT NULL,
    qualname TEXT NOT NULL, path TEXT NOT NULL,
    calls INTEGER NOT NULL, total REAL NOT NULL, self REAL NOT NULL,
    PRIMARY KEY (trace, fn)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS jarn_index_calls (
    trace INTEGER NOT NULL, id INTEGER NOT NULL,
    thread INTEGER NOT NULL, parent INTEGER NOT NULL, depth INTEGER NOT NULL,
    start REAL NOT NULL, end REAL NOT NULL, self REAL NOT NULL,
    fn INTEGER NOT NULL, flags INTEGER NOT NULL, children INTEGER NOT NULL,
    level INTEGER NOT NULL, records INTEGER NOT NULL,
    call_off INTEGER, ret_off INTEGER, exc_off INTEGER,
    PRIMARY KEY (trace, id)
) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS jarn_index_calls_by_time ON jarn_index_calls (trace, thread, level, start);
CREATE INDEX IF NOT EXISTS jarn_index_calls_by_parent ON jarn_index_calls (trace, thread, parent, id);
CREATE TABLE IF NOT EXISTS jarn_index_edges (
    trace INTEGER NOT NULL, caller INTEGER NOT NULL, callee INTEGER NOT NULL, calls INTEGER NOT NULL, total REAL NOT NULL,
    PRIMARY KEY (trace, caller, callee)
) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS jarn_index_edges_by_callee ON jarn_index_edges (trace, callee);
CREATE TABLE IF NOT EXISTS jarn_index_merged (
    trace INTEGER NOT NULL, thread INTEGER NOT NULL, node INTEGER NOT NULL, parent INTEGER NOT NULL, fn INTEGER NOT NULL,
    calls INTEGER NOT NULL, total REAL NOT NULL, self REAL NOT NULL,
    PRIMARY KEY (trace, thread, node)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS jarn_index_records (
    trace INTEGER NOT NULL, off INTEGER NOT NULL, call INTEGER NOT NULL, kind INTEGER NOT NULL,
    PRIMARY KEY (trace, off)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS jarn_index_marks (
    trace INTEGER NOT NULL, call INTEGER NOT NULL, off INTEGER NOT NULL, type TEXT NOT NULL, ts REAL,
    duration REAL, label TEXT NOT NULL DEFAULT '',
    PRIMARY KEY (trace, call, off)
) WITHOUT ROWID;
"""
_TABLES = ("jarn_index_threads", "jarn_index_functions", "jarn_index_calls", "jarn_index_records", "jarn_index_marks", "jarn_index_edges",
           "jarn_index_merged", "jarn_index")


class TraceIndexError(Exception):
    """A stored trace cannot be indexed (it does not decode as a trace): one-line reason."""


@dataclass(frozen=True)
class Summary:
    trace: int
    start: float | None
    end: float | None
    calls: int
    records: int
    truncated: dict[str, Any] | None
    threads: list[dict[str, Any]]


def level(duration: float) -> int:
    """The power-of-two bucket of a duration in nanoseconds: a call of level L lasts less than 2**(L+1) ns."""
    ns = duration * 1e9
    return 0 if ns < 2 else min(62, int(math.log2(ns)))


def _prepare(conn: sqlite3.Connection) -> None:
    columns = [r[1] for r in conn.execute("PRAGMA table_info(jarn_index_calls)")]
    if columns and "records" not in columns:  # an index of an older layout: built again when opened
        for table in _TABLES:
            conn.execute(f"DROP TABLE IF EXISTS {table}")
    for statement in _SCHEMA.split(";"):
        if statement.strip():
            conn.execute(statement)


_WINDOW = 4 * 1024 * 1024


def _windows(conn: sqlite3.Connection, row_id: int, offset: int = 0) -> Iterator[bytes]:
    """The bytes of one stored trace from a byte offset on, a few megabytes at a time, read
    from the stored chunks in place (a chunk is never loaded whole)."""
    seq, skip = divmod(offset, db.CHUNK_SIZE)
    while True:
        found = conn.execute("SELECT rowid FROM trace_chunks WHERE row_id = ? AND seq = ?", (row_id, seq)).fetchone()
        if found is None:
            return
        while True:
            # the blob is not kept open across a yield: the reader may be dropped half-way
            with conn.blobopen("trace_chunks", "data", found[0], readonly=True) as blob:
                blob.seek(skip)
                data = blob.read(_WINDOW)
            if not data:
                break
            skip += len(data)
            yield data
        seq, skip = seq + 1, 0


class _ChunkStream(io.RawIOBase):
    def __init__(self, conn: sqlite3.Connection, row_id: int, offset: int = 0) -> None:
        self._windows = _windows(conn, row_id, offset)
        self._buf = memoryview(b"")

    def readable(self) -> bool:
        return True

    def readinto(self, out: Any) -> int:
        while not self._buf:
            data = next(self._windows, None)
            if data is None:
                return 0
            self._buf = memoryview(data)
        n = min(len(out), len(self._buf))
        out[:n] = self._buf[:n]
        self._buf = self._buf[n:]
        return n


def _unpacker(conn: sqlite3.Connection, row_id: int, offset: int = 0) -> msgpack.Unpacker:
    return msgpack.Unpacker(_ChunkStream(conn, row_id, offset), raw=False, strict_map_key=False, read_size=1 << 20, max_buffer_size=1 << 30)


def read_record(conn: sqlite3.Connection, row_id: int, offset: int) -> Any:
    """The one record stored at a byte offset of a trace."""
    return _unpacker(conn, row_id, offset).unpack()


def _number(value: Any) -> float | None:
    return float(value) if isinstance(value, int | float) and not isinstance(value, bool) else None


def _short(value: Any, limit: int = 160) -> str:
    text = value if isinstance(value, str) else "" if value is None else str(value)
    text = " ".join(text.split())
    return text if len(text) <= limit else text[: limit - 1] + "…"


def record_label(record: dict[str, Any]) -> str:
    """One line saying what a plugin record is about, for the flame chart and the tree."""
    get = record.get
    kind = get("type")
    if kind == "sql":
        return _short(get("sql"))
    if kind == "template":
        return _short(get("template"))
    if kind == "http":
        status = get("status")
        return _short(" ".join(_short(v) for v in (get("method"), get("url"), status if get("subtype") == "response" else None) if v not in (None, "")))
    if kind == "log":
        return _short(f"{_short(get('level'))} {_short(get('message'))}")
    if kind == "subprocess":
        args = get("args")
        return _short(" ".join(map(str, args)) if isinstance(args, list) else args)
    for key in ("name", "path", "message", "nodeid", "test"):
        if isinstance(get(key), str):
            return _short(get(key))
    return ""


class _Thread:
    __slots__ = ("no", "name", "native", "stack", "first", "last", "calls", "max_depth", "active", "last_closed")

    def __init__(self, no: int, name: str, native: int | None) -> None:
        self.no, self.name, self.native = no, name, native
        # Open calls: [id, frame_id, start, children_time, fn, depth, call_off, parent, children, flags, records, merged node]
        self.stack: list[list[Any]] = []
        self.first: float | None = None
        self.last: float | None = None
        self.calls = 0
        self.max_depth = 0
        self.active: dict[int, int] = {}  # open calls per function, for totals without recursion
        self.last_closed: tuple[str, int] | None = None  # (frame id, call id), for its exception record


class _Builder:
    def __init__(self, conn: sqlite3.Connection, row_id: int) -> None:
        self.conn, self.row = conn, row_id
        self.next_id = 1
        self.threads: dict[Any, _Thread] = {}
        self.functions: dict[tuple[str, str], list[Any]] = {}  # key -> [fn, calls, total, self]
        self.rows: list[tuple[Any, ...]] = []
        self.records: list[tuple[int, int, int, int]] = []
        self.marks: list[tuple[Any, ...]] = []
        self.exceptions: list[tuple[int, int, int]] = []
        # who calls whom: (caller fn, callee fn) -> [calls, total]; 0 is a thread's top level
        self.edges: dict[tuple[int, int], list[Any]] = {}
        # the merged tree of call paths: (thread, parent node, fn) -> [node, calls, total, self]
        self.merged: dict[tuple[int, int, int], list[Any]] = {}
        self.truncated: dict[str, Any] | None = None
        self.record_count = 0

    def thread(self, key: Any, name: str, native: int | None) -> _Thread:
        found = self.threads.get(key)
        if found is None:
            found = self.threads[key] = _Thread(len(self.threads) + 1, name, native)
        return found

    def add(self, thread: _Thread, record: Any, off: int) -> None:
        if type(record) is not dict:
            raise TraceIndexError("a record is not a map")
        self.record_count += 1
        get = record.get
        ts = get("timestamp")
        if type(ts) is not float:
            ts = _number(ts)
        if ts is not None:
            if thread.first is None:
                thread.first = ts
            if thread.last is None or ts > thread.last:
                thread.last = ts
        kind = get("type")
        if kind == "frame":
            event, frame_id = get("event"), get("frame_id")
            if type(frame_id) is not str:
                raise TraceIndexError("a frame record has no frame id")
            if event == "call":
                self.begin(thread, get, frame_id, ts, off)
            elif event == "return":
                self.close(thread, get, frame_id, ts, off)
            else:
                raise TraceIndexError("a frame record has no event")
            return
        if kind == "exception" and thread.last_closed is not None and thread.last_closed[0] == get("frame_id"):
            call = thread.last_closed[1]
            self.exceptions.append((off, self.row, call))
            self.records.append((self.row, off, call, KIND_EXCEPTION))
            return
        if kind == "truncated":
            self.truncated = {k: v for k, v in record.items() if k != "type"}
        site = get("user_code_call_site")
        entry = thread.stack[-1] if thread.stack else None
        if isinstance(site, dict):
            for open_call in reversed(thread.stack):
                if open_call[1] == site.get("call_frame_id"):
                    entry = open_call
                    break
        owner = 0
        if entry is not None:
            owner = entry[0]
            entry[10] += 1
        self.records.append((self.row, off, owner, KIND_OTHER))
        self.marks.append((self.row, owner, off, str(kind), ts, _number(get("duration")), record_label(record)))
        if len(self.records) >= _BATCH:
            self.flush()

    def function_of(self, get: Any) -> list[Any]:
        qualname, path = get("qualname"), get("path")
        found = self.functions.get((qualname, path))
        if found is None:
            # odd values are keyed by what they show as
            if type(qualname) is not str or not qualname:
                co_name = get("co_name")
                qualname = co_name if type(co_name) is str and co_name else "?"
            if type(path) is not str:
                path = ""
            found = self.functions.get((qualname, path))
            if found is None:
                found = self.functions[(qualname, path)] = [len(self.functions) + 1, 0, 0.0, 0.0]
        return found

    def open(self, thread: _Thread, fn: list[Any], frame_id: str, start: float, call_off: int | None, flags: int) -> int:
        call_id = self.next_id
        self.next_id = call_id + 1
        stack = thread.stack
        if stack:
            parent = stack[-1]
            parent[8] += 1
            parent_id = parent[0]
            parent_node = parent[11][0]
        else:
            parent_id = parent_node = 0
        key = (thread.no, parent_node, fn[0])
        node = self.merged.get(key)
        if node is None:
            node = self.merged[key] = [len(self.merged) + 1, 0, 0.0, 0.0]
        stack.append([call_id, frame_id, start, 0.0, fn, len(stack), call_off, parent_id, 0, flags, 0, node])
        if len(stack) > thread.max_depth:
            thread.max_depth = len(stack)
        active = thread.active
        active[fn[0]] = active.get(fn[0], 0) + 1
        return call_id

    def begin(self, thread: _Thread, get: Any, frame_id: str, ts: float | None, off: int) -> None:
        site = get("user_code_call_site")
        stack = thread.stack
        if site is not None and stack and type(site) is dict:
            # The caller named by the call site is the parent; open calls above it never returned.
            caller = site.get("call_frame_id")
            if stack[-1][1] != caller:
                for depth in range(len(stack) - 2, -1, -1):
                    if stack[depth][1] == caller:
                        self.unwind(thread, depth + 1, ts)
                        break
        start = ts if ts is not None else (thread.last if thread.last is not None else 0.0)
        call_id = self.open(thread, self.function_of(get), frame_id, start, off, 0)
        self.records.append((self.row, off, call_id, KIND_CALL))

    def close(self, thread: _Thread, get: Any, frame_id: str, ts: float | None, off: int) -> None:
        stack = thread.stack
        for depth in range(len(stack) - 1, -1, -1):
            if stack[depth][1] == frame_id:
                if depth + 1 < len(stack):
                    self.unwind(thread, depth + 1, ts)
                self.finish(thread, ts, off, 0)
                return
        # A return without its call: profiling began inside this function.
        start = thread.first if thread.first is not None else (ts or 0.0)
        self.open(thread, self.function_of(get), frame_id, start, None, NO_START)
        self.finish(thread, ts, off, 0)

    def unwind(self, thread: _Thread, keep: int, ts: float | None) -> None:
        """Ends the open calls above `keep` that never returned, at the time things moved on."""
        while len(thread.stack) > keep:
            self.finish(thread, ts, None, UNFINISHED)

    def finish(self, thread: _Thread, ts: float | None, ret_off: int | None, flags: int) -> None:
        call_id, frame_id, start, children_time, fn, depth, call_off, parent, children, own_flags, records, node = thread.stack.pop()
        end = max(start, ts if ts is not None else (thread.last if thread.last is not None else start))
        duration = end - start
        self_time = max(0.0, duration - children_time)
        node[1] += 1
        node[2] += duration
        node[3] += self_time
        caller = 0
        if thread.stack:
            thread.stack[-1][3] += duration
            caller = thread.stack[-1][4][0]
        edge = self.edges.get((caller, fn[0]))
        if edge is None:
            edge = self.edges[(caller, fn[0])] = [0, 0.0]
        edge[0] += 1
        edge[1] += duration
        active = thread.active[fn[0]] - 1
        thread.active[fn[0]] = active
        fn[1] += 1
        fn[3] += self_time
        if active == 0:
            fn[2] += duration
        thread.calls += 1
        flags |= own_flags
        self.rows.append(
            (self.row, call_id, thread.no, parent, depth, start, end, self_time, fn[0], flags, children, level(duration), records, call_off, ret_off, None)
        )
        if ret_off is not None:
            self.records.append((self.row, ret_off, call_id, KIND_RETURN))
            thread.last_closed = (frame_id, call_id)
            if len(self.records) >= _BATCH:
                self.flush()

    def flush(self, force: bool = False) -> None:
        c = self.conn
        c.executemany("INSERT INTO jarn_index_calls VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)", self.rows)
        c.executemany("INSERT OR REPLACE INTO jarn_index_records VALUES (?,?,?,?)", self.records)
        c.executemany("INSERT OR REPLACE INTO jarn_index_marks VALUES (?,?,?,?,?,?,?)", self.marks)
        # The store's write lock is let go between batches, so that a program saving its trace
        # meanwhile does not wait for a big index; an index left half-way has no jarn_index row
        # yet and is built again from the start.
        c.execute("COMMIT")
        c.execute("BEGIN IMMEDIATE")
        if force:
            # An exception record may come before its call's row is written (a call still open
            # deeper in the batch), so flags are set once every row is in.
            c.executemany("UPDATE jarn_index_calls SET exc_off = ?, flags = flags | 1 WHERE trace = ? AND id = ?", self.exceptions)
            self.exceptions = []
        self.rows, self.records, self.marks = [], [], []


class _MainThreadGuessWrong(Exception):
    def __init__(self, main_id: int | None) -> None:
        self.main_id = main_id


_GUESS = object()


def _build(conn: sqlite3.Connection, row_id: int, main_id: Any = _GUESS) -> None:
    """Indexes one row in one streaming pass.

    Without threading, every thread's records share the main list, told apart by the main
    thread's id, which is stored after the records. The first record's thread is taken for it;
    in the rare trace where that guess is wrong, the caller builds again with the stored id.
    """
    builder = _Builder(conn, row_id)
    main = builder.thread("main", "MainThread", None if main_id is _GUESS else main_id)  # listed first
    guessed: Any = _GUESS
    named = seen = False
    stored_main_id: int | None = None
    try:
        unpacker = _unpacker(conn, row_id)
        tell, unpack = unpacker.tell, unpacker.unpack
        for _ in range(unpacker.read_map_header()):
            key = unpack()
            if key == "frames":
                for _ in range(unpacker.read_map_header()):
                    thread_id = unpack()
                    if type(thread_id) is not int:
                        raise TraceIndexError("a thread id of the trace is not an integer")
                    thread = None
                    for _ in range(unpacker.read_array_header()):
                        off = tell()
                        record = unpack()
                        if thread is None:
                            name = record.get("thread") if type(record) is dict else None
                            thread = builder.thread(thread_id, name if type(name) is str else f"thread {thread_id}", thread_id)
                        builder.add(thread, record, off)
            elif key == "frames_of_interest":
                seen = True
                threads = builder.threads
                for _ in range(unpacker.read_array_header()):
                    off = tell()
                    record = unpack()
                    native = record.get("thread_native_id") if type(record) is dict else None
                    if main_id is _GUESS:
                        main_id = guessed = native if type(native) is int else None
                        main.native = main_id
                    if type(native) is not int or native == main_id or main_id is None:
                        thread = main
                        if not named and type(record) is dict and type(record.get("thread")) is str:
                            main.name, named = record["thread"], True
                    else:
                        thread = threads.get(native)
                        if thread is None:
                            name = record.get("thread")
                            thread = builder.thread(native, name if type(name) is str else f"thread {native}", native)
                    builder.add(thread, record, off)
            elif key == "main_thread_id":
                value = unpack()
                stored_main_id = value if type(value) is int else None
            else:
                unpacker.skip()
    except TraceIndexError:
        raise
    except (msgpack.UnpackException, ValueError, TypeError, AttributeError) as exc:
        raise TraceIndexError(f"the trace does not decode: {exc}") from None
    if not seen:
        raise TraceIndexError("the data is not a jarn trace")
    if guessed is not _GUESS and guessed != stored_main_id:
        raise _MainThreadGuessWrong(stored_main_id)
    if main.native is None:
        main.native = stored_main_id
    for thread in builder.threads.values():
        builder.unwind(thread, 0, thread.last)
    builder.flush(force=True)
    for thread in builder.threads.values():
        conn.execute(
            "INSERT INTO jarn_index_threads VALUES (?,?,?,?,?,?,?,?)",
            (row_id, thread.no, thread.name, thread.native, thread.first, thread.last, thread.calls, thread.max_depth),
        )
    conn.executemany("INSERT INTO jarn_index_edges VALUES (?,?,?,?,?)",
                     [(row_id, caller, callee, calls, total) for (caller, callee), (calls, total) in builder.edges.items()])
    conn.executemany("INSERT INTO jarn_index_merged VALUES (?,?,?,?,?,?,?,?)",
                     [(row_id, thread, node[0], parent, fn, node[1], node[2], node[3]) for (thread, parent, fn), node in builder.merged.items()])
    conn.executemany(
        "INSERT INTO jarn_index_functions VALUES (?,?,?,?,?,?,?)",
        [(row_id, fn, qualname, path, calls, total, self_time) for (qualname, path), (fn, calls, total, self_time) in builder.functions.items()],
    )
    starts = [t.first for t in builder.threads.values() if t.first is not None]
    ends = [t.last for t in builder.threads.values() if t.last is not None]
    conn.execute(
        "INSERT INTO jarn_index VALUES (?,?,?,?,?,?,?,?)",
        (row_id, INDEX_VERSION, None, min(starts, default=None), max(ends, default=None), builder.next_id - 1, builder.record_count,
         None if builder.truncated is None else json.dumps(builder.truncated, default=str)),
    )


def _forget(conn: sqlite3.Connection, row_id: int) -> None:
    for table in _TABLES:
        conn.execute(f"DELETE FROM {table} WHERE trace = ?", (row_id,))


def forget_removed(conn: sqlite3.Connection) -> None:
    """Drops the index of every row no longer stored, so that deleting traces frees their index too."""
    if conn.execute("SELECT 1 FROM sqlite_master WHERE name = 'jarn_index'").fetchone() is not None:
        for table in _TABLES:
            conn.execute(f"DELETE FROM {table} WHERE trace NOT IN (SELECT row_id FROM traces)")


def ensure(conn: sqlite3.Connection, row_id: int) -> None:
    """Indexes one stored row unless it already is; raises TraceIndexError for a row that cannot be read."""
    _prepare(conn)
    if conn.execute("SELECT 1 FROM traces WHERE row_id = ?", (row_id,)).fetchone() is None:
        raise db.StoreError(f"no stored trace with row id {row_id}")
    found = conn.execute("SELECT version, error FROM jarn_index WHERE trace = ?", (row_id,)).fetchone()
    if found is not None and found[0] == INDEX_VERSION:
        if found[1] is not None:
            raise TraceIndexError(found[1])
        return
    # An index can always be built again: its commits need not wait for the disk.
    conn.execute("PRAGMA synchronous = NORMAL")
    conn.execute("BEGIN IMMEDIATE")
    try:
        _forget(conn, row_id)
        try:
            _build(conn, row_id)
        except _MainThreadGuessWrong as wrong:
            conn.execute("ROLLBACK")
            conn.execute("BEGIN IMMEDIATE")
            _forget(conn, row_id)
            _build(conn, row_id, wrong.main_id)
        conn.execute("COMMIT")
    except TraceIndexError as exc:
        conn.execute("ROLLBACK")
        conn.execute("BEGIN IMMEDIATE")
        _forget(conn, row_id)
        conn.execute("INSERT INTO jarn_index (trace, version, error) VALUES (?, ?, ?)", (row_id, INDEX_VERSION, str(exc)))
        conn.execute("COMMIT")
        raise
    except BaseException:
        conn.execute("ROLLBACK")
        raise


def is_indexed(conn: sqlite3.Connection, row_id: int) -> bool:
    _prepare(conn)
    return conn.execute("SELECT 1 FROM jarn_index WHERE trace = ? AND version = ?", (row_id, INDEX_VERSION)).fetchone() is not None


def prune(conn: sqlite3.Connection) -> None:
    """Drops the index of rows no longer stored."""
    _prepare(conn)
    gone = [r[0] for r in conn.execute("SELECT trace FROM jarn_index WHERE trace NOT IN (SELECT row_id FROM traces)")]
    for row_id in gone:
        conn.execute("BEGIN IMMEDIATE")
        _forget(conn, row_id)
        conn.execute("COMMIT")


def summary(conn: sqlite3.Connection, row_id: int) -> Summary:
    ensure(conn, row_id)
    start, end, calls, records, truncated = conn.execute(
        "SELECT start, end, calls, records, truncated FROM jarn_index WHERE trace = ?", (row_id,)
    ).fetchone()
    threads = [
        {"thread": r[0], "name": r[1], "native_id": r[2], "start": r[3], "end": r[4], "calls": r[5], "max_depth": r[6]}
        for r in conn.execute(
            "SELECT thread, name, native_id, start, end, calls, max_depth FROM jarn_index_threads WHERE trace = ? ORDER BY thread", (row_id,)
        )
    ]
    return Summary(row_id, start, end, calls, records, json.loads(truncated) if truncated else None, threads)


SORTS = {"calls": "calls", "total": "total", "self": "self", "name": "qualname"}


def functions(conn: sqlite3.Connection, row_ids: list[int], sort: str = "total", limit: int | None = None, text: str = "") -> list[dict[str, Any]]:
    """The per-function table, summed over the given rows, largest first (by name: A to Z)."""
    for row_id in row_ids:
        ensure(conn, row_id)
    column = SORTS[sort]
    marks = ",".join("?" * len(row_ids))
    escaped = text.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_")
    sql = (
        f"SELECT min(fn), qualname, path, sum(calls) AS calls, sum(total) AS total, sum(self) AS self FROM jarn_index_functions"
        f" WHERE trace IN ({marks}) AND qualname LIKE ? ESCAPE '\\' GROUP BY qualname, path"
        f" ORDER BY {column} {'ASC' if column == 'qualname' else 'DESC'}, qualname"
    )
    params: list[Any] = [*row_ids, f"%{escaped}%"]
    if limit is not None:
        sql += " LIMIT ?"
        params.append(limit)
    return [{"fn": r[0], "qualname": r[1], "path": r[2], "calls": r[3], "total": r[4], "self": r[5]} for r in conn.execute(sql, params)]


def _names(conn: sqlite3.Connection, row_id: int, fns: set[int]) -> dict[int, list[str]]:
    if not fns:
        return {}
    found: dict[int, list[str]] = {}
    ids = sorted(fns)
    for i in range(0, len(ids), 500):
        part = ids[i : i + 500]
        sql = f"SELECT fn, qualname, path FROM jarn_index_functions WHERE trace = ? AND fn IN ({','.join('?' * len(part))})"
        for fn, qualname, path in conn.execute(sql, (row_id, *part)):
            found[fn] = [qualname, path]
    return found


_CALL_COLUMNS = "id, thread, parent, depth, start, end, self, fn, flags, children, records"


def _call(row: tuple[Any, ...]) -> dict[str, Any]:
    return dict(zip(("id", "thread", "parent", "depth", "start", "end", "self", "fn", "flags", "children", "records"), row, strict=True))


def flame(conn: sqlite3.Connection, row_id: int, thread: int, t0: float, t1: float, min_duration: float, limit: int = 20000) -> dict[str, Any]:
    """The calls of a thread that overlap [t0, t1] and last at least min_duration, longest first.

    Calls of level L last less than 2**(L+1) ns, so one that ends after t0 started after
    t0 - 2**(L+1) ns: each level is one range of the (thread, level, start) index.
    """
    ensure(conn, row_id)
    lowest = level(max(min_duration, 0.0))
    calls: list[dict[str, Any]] = []
    complete = True
    for lvl in range(62, lowest - 1, -1):
        reach = 2.0 ** (lvl + 1) / 1e9
        rows = conn.execute(
            f"SELECT {_CALL_COLUMNS} FROM jarn_index_calls WHERE trace = ? AND thread = ? AND level = ? AND start >= ? AND start <= ?"
            " AND end >= ? AND end - start >= ? LIMIT ?",
            (row_id, thread, lvl, t0 - reach, t1, t0, min_duration, limit - len(calls) + 1),
        ).fetchall()
        calls.extend(_call(r) for r in rows)
        if len(calls) > limit:
            del calls[limit:]
            complete = False
            break
    return {"calls": calls, "functions": _names(conn, row_id, {c["fn"] for c in calls}), "complete": complete,
            "records": _marks_of(conn, row_id, [c["id"] for c in calls])}


_MARK_LIMIT = 5000


def _marks_of(conn: sqlite3.Connection, row_id: int, calls: list[int]) -> list[dict[str, Any]]:
    """The plugin records made directly under some calls (0: at a thread's top level), in order."""
    found: list[dict[str, Any]] = []
    for i in range(0, len(calls), 500):
        part = calls[i : i + 500]
        sql = (f"SELECT call, off, type, ts, duration, label FROM jarn_index_marks WHERE trace = ? AND call IN ({','.join('?' * len(part))})"
               f" ORDER BY off LIMIT ?")
        found.extend({"call": r[0], "off": r[1], "type": r[2], "ts": r[3], "duration": r[4], "label": r[5]}
                     for r in conn.execute(sql, (row_id, *part, _MARK_LIMIT - len(found))))
        if len(found) >= _MARK_LIMIT:
            break
    return sorted(found, key=lambda m: m["off"])


def children(conn: sqlite3.Connection, row_id: int, thread: int, parent: int, after: int = 0, limit: int = 200) -> dict[str, Any]:
    """A page of the calls directly under `parent` (0: the thread's top level), in order."""
    ensure(conn, row_id)
    rows = conn.execute(
        f"SELECT {_CALL_COLUMNS} FROM jarn_index_calls WHERE trace = ? AND thread = ? AND parent = ? AND id > ? ORDER BY id LIMIT ?",
        (row_id, thread, parent, after, limit + 1),
    ).fetchall()
    calls = [_call(r) for r in rows[:limit]]
    # the parent's own records among the calls of this page: those after the last call of the
    # page before, up to this page's last call (all that remain, on its last page)
    records: list[dict[str, Any]] = []
    if parent:
        low = conn.execute("SELECT start FROM jarn_index_calls WHERE trace = ? AND id = ?", (row_id, after)).fetchone() if after else None
        high = calls[-1]["start"] if len(rows) > limit else None
        records = [m for m in _marks_of(conn, row_id, [parent])
                   if m["ts"] is None or ((low is None or m["ts"] > low[0]) and (high is None or m["ts"] <= high))]
    return {"calls": calls, "more": len(rows) > limit, "functions": _names(conn, row_id, {c["fn"] for c in calls}), "records": records}


def ancestors(conn: sqlite3.Connection, row_id: int, call_id: int) -> list[int]:
    """The ids from the top-level call down to `call_id`."""
    chain = []
    while call_id:
        chain.append(call_id)
        found = conn.execute("SELECT parent FROM jarn_index_calls WHERE trace = ? AND id = ?", (row_id, call_id)).fetchone()
        if found is None:
            break
        call_id = found[0]
    return chain[::-1]


def _site(record: Any) -> dict[str, Any] | None:
    site = record.get("user_code_call_site") if isinstance(record, dict) else None
    return site if isinstance(site, dict) else None


def call_detail(conn: sqlite3.Connection, row_id: int, call_id: int) -> dict[str, Any] | None:
    """One call with its full values, read back from its records, and its plugin records."""
    ensure(conn, row_id)
    row = conn.execute(f"SELECT {_CALL_COLUMNS}, call_off, ret_off, exc_off FROM jarn_index_calls WHERE trace = ? AND id = ?", (row_id, call_id)).fetchone()
    if row is None:
        return None
    call = _call(row[:11])
    call_off, ret_off, exc_off = row[11:]
    call["function"] = _names(conn, row_id, {call["fn"]}).get(call["fn"], ["?", ""])
    call_record = read_record(conn, row_id, call_off) if call_off is not None else None
    ret_record = read_record(conn, row_id, ret_off) if ret_off is not None else None
    exc_record = read_record(conn, row_id, exc_off) if exc_off is not None else None
    call["arguments"] = call_record.get("locals") if isinstance(call_record, dict) else None
    call["return_locals"] = ret_record.get("locals") if isinstance(ret_record, dict) else None
    call["returned"] = ret_record is not None
    call["return_value"] = ret_record.get("arg") if isinstance(ret_record, dict) else None
    call["exception"] = exc_record.get("exception") if isinstance(exc_record, dict) else None
    site = _site(call_record)
    call["call_site"] = None
    if site is not None and call["parent"]:
        caller = conn.execute("SELECT fn FROM jarn_index_calls WHERE trace = ? AND id = ?", (row_id, call["parent"])).fetchone()
        name = _names(conn, row_id, {caller[0]}).get(caller[0], ["?", ""]) if caller else ["?", ""]
        call["call_site"] = {"caller": call["parent"], "qualname": name[0], "path": name[1], "line": site.get("line_number")}
    call["records"] = [
        {"type": t, "timestamp": ts, "data": {k: v for k, v in (read_record(conn, row_id, off) or {}).items() if k not in ("type", "timestamp")}}
        for off, t, ts in conn.execute("SELECT off, type, ts FROM jarn_index_marks WHERE trace = ? AND call = ? ORDER BY off", (row_id, call_id))
    ]
    call["path"] = ancestors(conn, row_id, call_id)
    return call


def _contains(value: Any, needle: str) -> bool:
    """Whether the lower-cased needle is in a string (or key) anywhere inside a decoded value."""
    stack = [value]
    while stack:
        item = stack.pop()
        if isinstance(item, str):
            if needle in item.lower():
                return True
        elif isinstance(item, dict):
            stack.extend(item.keys())
            stack.extend(item.values())
        elif isinstance(item, list | tuple):
            stack.extend(item)
        elif isinstance(item, int | float) and not isinstance(item, bool):
            if needle in str(item):
                return True
    return False


def search_values(conn: sqlite3.Connection, row_id: int, text: str, limit: int = 100) -> list[dict[str, Any]]:
    """Calls whose values (arguments, locals, return value, exception, plugin records) hold the text.

    Strings are stored as they are in MessagePack, so the stored bytes are scanned for the text
    and each hit is checked by decoding the one record around it.
    """
    ensure(conn, row_id)
    needle = text.lower()
    if not needle:
        return []
    pattern = needle.encode()
    found: dict[int, str] = {}
    seen_records: set[int] = set()
    overlap = len(pattern) - 1
    base, tail = 0, b""
    for data in _windows(conn, row_id):
        chunk = tail + data.lower()
        start = base - len(tail)
        pos = chunk.find(pattern)
        while pos >= 0 and len(found) < limit:
            hit = start + pos
            rec = conn.execute("SELECT off, call, kind FROM jarn_index_records WHERE trace = ? AND off <= ? ORDER BY off DESC LIMIT 1", (row_id, hit)).fetchone()
            if rec is not None and rec[0] not in seen_records:
                seen_records.add(rec[0])
                record = read_record(conn, row_id, rec[0])
                if isinstance(record, dict) and rec[1]:
                    values = [record.get(k) for k in ("locals", "arg", "exception")] if record.get("type") in ("frame", "exception") else [
                        {k: v for k, v in record.items() if k not in ("type", "timestamp", "thread", "frame_id", "user_code_call_site")}
                    ]
                    if any(_contains(v, needle) for v in values) and rec[1] not in found:
                        found[rec[1]] = ("arguments", "return", "exception", "record")[rec[2]]
            pos = chunk.find(pattern, pos + 1)
        if len(found) >= limit:
            break
        base += len(data)
        tail = chunk[-overlap:] if overlap else b""
    rows = []
    for call_id, where in found.items():
        row = conn.execute(f"SELECT {_CALL_COLUMNS} FROM jarn_index_calls WHERE trace = ? AND id = ?", (row_id, call_id)).fetchone()
        if row is not None:
            rows.append({**_call(row), "where": where})
    names = _names(conn, row_id, {r["fn"] for r in rows})
    for r in rows:
        r["function"] = names.get(r["fn"], ["?", ""])
    return rows


def relatives(conn: sqlite3.Connection, row_id: int, fn: int) -> dict[str, Any]:
    """A function's callers and callees, with the calls and time of each pair, largest first."""
    ensure(conn, row_id)
    def pairs(sql: str) -> list[dict[str, Any]]:
        return [{"fn": r[0], "calls": r[1], "total": r[2]} for r in conn.execute(sql, (row_id, fn))]
    callers = pairs("SELECT caller, calls, total FROM jarn_index_edges WHERE trace = ? AND callee = ? ORDER BY total DESC LIMIT 200")
    callees = pairs("SELECT callee, calls, total FROM jarn_index_edges WHERE trace = ? AND caller = ? ORDER BY total DESC LIMIT 200")
    names = _names(conn, row_id, {p["fn"] for p in callers + callees} | {fn})
    for p in callers + callees:
        p["function"] = names.get(p["fn"], ["(top level)", ""]) if p["fn"] else ["(top level)", ""]
    return {"fn": fn, "function": names.get(fn, ["?", ""]), "callers": callers, "callees": callees}


def merged(conn: sqlite3.Connection, row_id: int, thread: int, min_total: float = 0.0, limit: int = 20000) -> dict[str, Any]:
    """A thread's calls merged by call path (one node per path, with its calls and time), the
    biggest first; a node's time is never more than its parent's, so what is kept stays a tree."""
    ensure(conn, row_id)
    rows = conn.execute(
        "SELECT node, parent, fn, calls, total, self FROM jarn_index_merged WHERE trace = ? AND thread = ? AND total >= ? ORDER BY total DESC LIMIT ?",
        (row_id, thread, min_total, limit + 1),
    ).fetchall()
    nodes = [{"node": r[0], "parent": r[1], "fn": r[2], "calls": r[3], "total": r[4], "self": r[5]} for r in rows[:limit]]
    return {"nodes": nodes, "complete": len(rows) <= limit, "functions": _names(conn, row_id, {n["fn"] for n in nodes})}


def slowest_calls(conn: sqlite3.Connection, row_id: int, fn: int, limit: int = 100) -> list[dict[str, Any]]:
    """The longest calls of one function."""
    ensure(conn, row_id)
    rows = conn.execute(
        f"SELECT {_CALL_COLUMNS} FROM jarn_index_calls WHERE trace = ? AND fn = ? ORDER BY end - start DESC LIMIT ?", (row_id, fn, limit)
    ).fetchall()
    calls = [_call(r) for r in rows]
    names = _names(conn, row_id, {fn})
    for c in calls:
        c["function"] = names.get(fn, ["?", ""])
    return calls
