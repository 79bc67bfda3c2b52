"""The index of a stored trace, built once, and every query the viewer and `jarn stats` make.

The index is built natively (jarn._index), pairing calls with their returns by the rule of the
trace walk (jarn.trace.walk), which a property test holds it to. It keeps, in tables of the
store itself:
- the calls, in binary blocks of 4096 by call id (ids are given in call order): each call's
  thread, parent, first child and next sibling, depth, times, function, flags, counts and the
  byte offsets of its records;
- the same calls in level runs, per thread and duration level (a call of level L lasts less
  than 2**(L+1) ns) in the order they ended, each run with the range of its end times: a time
  window of the flame chart reads only the runs that can overlap it;
- one row per function (calls, total and self time), per caller and callee pair, per call path
  (the merged graph), per plugin record (with a one-line label), and each function's slowest
  calls;
- the searchable texts of the values (each string, key and number, once per distinct text) with
  the calls that hold them; SQLite's FTS5 indexes them the first time the trace is searched (the
  viewer starts that in the background once the trace is open).
Values are not copied: a call's detail decodes its records again from their offsets.

Each stored row (one save of a trace) gets its own index, keyed by its row id; a row that cannot
be read gets an error entry instead, so it is not read again and does not hide the others. The
index is written in short transactions, so that savers do not wait for a big one, under an entry
that says who is building it: another process opening the trace meanwhile waits for it, and
takes the building over when that process is gone.

Times are the records' own (seconds since the epoch). A call's total time counts only its outermost
activation per thread, so recursion is not counted twice; self time is its duration less that of
its recorded children.
"""

from __future__ import annotations

import json
import math
import os
import re
import socket
import struct
import time
from dataclasses import dataclass
from typing import Any

from jarn.store import schema
from jarn.store.chunks import RowSource
from jarn.store.engine import SCHEMA_LOCK, Engine, StoreError
from jarn.trace.reader import record_at
from jarn.trace.records import CallFlags

INDEX_VERSION = schema.INDEX_VERSION

RAISED, UNFINISHED, NO_START = int(CallFlags.RAISED), int(CallFlags.UNFINISHED), int(CallFlags.NO_START)


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


def prepare(engine: Engine) -> None:
    """The index tables, made when missing (and when the store can be written); an index of an
    older layout is dropped, to be built again."""
    if engine.has_table("jarn_index_blocks") or not engine.writable:
        return
    with engine.transaction():
        engine.lock(SCHEMA_LOCK)
        if _made(engine, "jarn_index_blocks"):
            return  # made meanwhile by another connection
        if _made(engine, "jarn_index"):  # an index of an older layout
            for table in (*schema.OLD_INDEX_TABLES, *schema.INDEX_TABLES, "jarn_index_fts"):
                engine.execute(f"DROP TABLE IF EXISTS {table}")
        for statement in schema.statements(schema.INDEX, engine.types):
            engine.execute(statement)
        if _fts(engine):
            engine.execute(_FTS.format(schema=""))
        else:  # PostgreSQL's own full-text search, kept up as the texts are written
            engine.execute(f"CREATE INDEX IF NOT EXISTS jarn_index_texts_words ON jarn_index_texts USING gin ({_PG_WORDS})")


def _made(engine: Engine, table: str) -> bool:
    """Whether a table is there, as the transaction sees the catalog: PostgreSQL's name lookup
    may still miss a table another transaction made while this one waited for a lock."""
    if engine.kind == "postgresql":
        return engine.execute("SELECT 1 FROM pg_catalog.pg_tables WHERE schemaname = current_schema() AND tablename = ?",
                              (table,)).fetchone() is not None
    return engine.has_table(table)


# PostgreSQL's words of a text as SQLite's tokenizer makes them: letters and digits, the rest
# separating them ("discount-42" and "10.25" are two words each, as they are searched).
_PG_WORDS = "to_tsvector('simple', regexp_replace(text, '[^[:alnum:]]+', ' ', 'g'))"

_FTS = "CREATE VIRTUAL TABLE {schema}jarn_index_fts USING fts5(text, content='jarn_index_texts', content_rowid='id', detail=none)"


def _index_of_the_connection(engine: Engine) -> None:
    """For a store jarn cannot write: index tables of this connection only, which stand in for
    the store's own from now on (its traces are indexed again here, as they are opened)."""
    if getattr(engine, "private_index", False):
        return
    for statement in schema.statements(schema.INDEX, engine.types):
        statement = statement.replace("CREATE TABLE IF NOT EXISTS", "CREATE TEMP TABLE IF NOT EXISTS")
        engine.execute(statement.replace("CREATE INDEX IF NOT EXISTS ", "CREATE INDEX IF NOT EXISTS temp."))
    if _fts(engine):
        engine.execute(_FTS.format(schema="temp."))
    engine.private_index = True  # type: ignore[attr-defined]


_CALL = struct.Struct("<IIIHHIdddIIBBqqqId")  # a call block's entry (jarn._index)
_RUN = struct.Struct("<IHddIB")  # a level run's entry: id, depth, start, end, fn, flags
_CALL_KEYS = ("id", "thread", "parent", "depth", "start", "end", "self", "fn", "flags", "children", "records")
_TEXT_IDS = 1 << 32  # a searchable text's id: its trace's row id times this, plus its number
_WRITE_EVERY = 4 << 20  # bytes of index the builder holds before writing them (SQLite's own memory grows with each transaction)


def _writes(engine: Engine, row_id: int, taken: tuple[list[Any], ...], seqs: dict[tuple[int, int], int]) -> None:
    blocks, runs, marks, docs, postings = taken
    engine.copy("jarn_index_blocks", ("trace", "block", "data"), [(row_id, n, data) for n, data in blocks])
    rows = []
    for thread, lvl, _count, min_end, max_end, data in runs:
        seq = seqs.get((thread, lvl), 0)
        seqs[(thread, lvl)] = seq + 1
        rows.append((row_id, thread, lvl, seq, min_end, max_end, data))
    engine.copy("jarn_index_runs", ("trace", "thread", "level", "seq", "min_end", "max_end", "data"), rows)
    engine.copy("jarn_index_marks", ("trace", "call", "off", "type", "ts", "duration", "label"), [(row_id, *m) for m in marks])
    engine.copy("jarn_index_texts", ("id", "text"), [(row_id * _TEXT_IDS + first, text) for first, text in docs])
    engine.copy("jarn_index_postings", ("trace", "first_text", "last_text", "seq", "data"), [(row_id, *p) for p in postings])


_NOTES_KEY = b"\xacrecord_notes\x83\xa7version"  # the notes' entry, as the core writes it: after the records


def _notes_layout(engine: Engine, row_id: int, source: RowSource) -> dict[int | None, tuple[int, int]]:
    """Where each list's notes are: (offset, length) by thread id (None: the main list). They end
    the trace, 12 bytes a record, so they are looked for just before that many bytes from its end
    (the records are not read for it)."""
    found = engine.execute("SELECT record_count FROM traces WHERE row_id = ?", (row_id,)).fetchone()
    if found is None or source.size == 0:
        return {}
    start = max(0, source.size - 12 * int(found[0]) - 4096)
    window = _read(source, start, 8192)
    at = window.rfind(_NOTES_KEY)
    if at < 0:
        return {}
    pos = start + at + len(_NOTES_KEY)
    head = _read(source, pos, 4096)
    layout: dict[int | None, tuple[int, int]] = {}
    try:
        if head[:1] != b"\x01":  # a later layout of the notes is not guessed at
            return {}
        i, key = _fixstr(head, 1)
        if key != "frames_of_interest":
            return {}
        offset, length = _bin(head, i)
        layout[None] = (pos + offset, length)
        # the other threads' notes follow the main list's
        rest_at = pos + offset + length
        more = _read(source, rest_at, 4096)
        j, key = _fixstr(more, 0)
        if key != "frames":
            return layout
        j, threads = _map_header(more, j)
        for _ in range(threads):
            if j + 16 > len(more):
                rest_at += j
                more, j = _read(source, rest_at, 4096), 0
            j, thread = _int(more, j)
            offset, length = _bin(more, j)
            layout[thread] = (rest_at + offset, length)
            rest_at, more, j = rest_at + offset + length, _read(source, rest_at + offset + length, 4096), 0
    except (IndexError, ValueError):
        return {}
    return layout


def _read(source: RowSource, offset: int, n: int) -> bytes:
    """Up to n bytes from an offset (fewer only at the end)."""
    stream, out = source.open(offset), b""
    while len(out) < n:
        data = stream.read(n - len(out))
        if not data:
            break
        out += data
    return out


def _int(data: bytes, i: int) -> tuple[int, int]:
    b = data[i]
    if b <= 0x7F:
        return i + 1, b
    n = {0xCC: 1, 0xCD: 2, 0xCE: 4, 0xCF: 8}[b]
    return i + 1 + n, int.from_bytes(data[i + 1 : i + 1 + n], "big")


def _fixstr(data: bytes, i: int) -> tuple[int, str]:
    n = data[i] & 0x1F
    if data[i] & 0xE0 != 0xA0:
        raise ValueError("not a short str")
    return i + 1 + n, data[i + 1 : i + 1 + n].decode()


def _map_header(data: bytes, i: int) -> tuple[int, int]:
    b = data[i]
    if b & 0xF0 == 0x80:
        return i + 1, b & 0x0F
    if b == 0xDE:
        return i + 3, int.from_bytes(data[i + 1 : i + 3], "big")
    if b == 0xDF:
        return i + 5, int.from_bytes(data[i + 1 : i + 5], "big")
    raise ValueError("not a map")


def _bin(data: bytes, i: int) -> tuple[int, int]:
    """(offset of the payload from the start of `data`, its length) of the bin at `i`."""
    n = {0xC4: 1, 0xC5: 2, 0xC6: 4}[data[i]]
    return i + 1 + n, int.from_bytes(data[i + 1 : i + 1 + n], "big")


def _feed_notes(scanner: Any, source: RowSource, layout: dict[int | None, tuple[int, int]]) -> None:
    while (wanted := scanner.notes_wanted()) is not None:
        thread, index = wanted
        offset, length = layout[thread]
        count = min(65536, length // 12 - index)
        scanner.feed_notes(_read(source, offset + 12 * index, 12 * count) if count > 0 else b"")
        scanner.feed(b"")


def _scan(engine: Engine, row_id: int, main_id: Any) -> dict[str, Any]:
    """Builds a row's index into the index tables, a few megabytes per transaction (so that
    savers do not wait for a big trace); the summary of what it found."""
    from jarn import _index

    scanner = _index.Scanner() if main_id is _GUESS else _index.Scanner(main_thread_id=main_id)
    if engine.kind == "sqlite":
        # An index can always be built again: its commits need not wait for the disk.
        engine.execute("PRAGMA synchronous = NORMAL")
    seqs: dict[tuple[int, int], int] = {}
    source = RowSource(engine, row_id)
    layout = _notes_layout(engine, row_id, source)
    for thread, (_offset, length) in layout.items():
        scanner.set_notes(thread, length // 12)
    try:
        for piece in source.pieces():
            scanner.feed(piece)
            _feed_notes(scanner, source, layout)
            if scanner.pending_bytes >= _WRITE_EVERY:
                with engine.transaction():
                    _writes(engine, row_id, scanner.take(), seqs)
        scanner.finish()
    except ValueError as exc:
        raise TraceIndexError(str(exc)) from None
    summary = scanner.summary()
    if summary["main_guess_wrong"]:
        raise _GuessWrong(summary["main_thread_id"])
    with engine.transaction():
        _writes(engine, row_id, scanner.take(), seqs)
    return summary


class _GuessWrong(Exception):
    def __init__(self, main_id: int | None) -> None:
        self.main_id = main_id


_GUESS = object()


def _finish(engine: Engine, row_id: int, summary: dict[str, Any]) -> None:
    """The small tables, and the entry that says the index is whole (in the caller's transaction)."""
    threads = summary["threads"]
    engine.copy("jarn_index_threads", ("trace", "thread", "name", "native_id", "t_start", "t_end", "calls", "max_depth", "first_root"),
                [(row_id, *t) for t in threads])
    engine.copy("jarn_index_functions", ("trace", "fn", "qualname", "path", "calls", "total", "self"), [(row_id, *f) for f in summary["functions"]])
    engine.copy("jarn_index_edges", ("trace", "caller", "callee", "calls", "total"), [(row_id, *e) for e in summary["edges"]])
    engine.copy("jarn_index_merged", ("trace", "thread", "node", "parent", "fn", "calls", "total", "self"), [(row_id, *m) for m in summary["merged"]])
    engine.copy("jarn_index_slowest", ("trace", "fn", "call", "duration"), [(row_id, *c) for c in summary["slowest"]])
    starts = [t[3] for t in threads if t[3] is not None]
    ends = [t[4] for t in threads if t[4] is not None]
    engine.execute("UPDATE jarn_index SET version = ?, builder = NULL, t_start = ?, t_end = ?, calls = ?, records = ?, truncated = ? WHERE trace = ?",
                   (INDEX_VERSION, min(starts, default=None), max(ends, default=None), summary["calls"], summary["records"],
                    _truncation(engine, row_id, summary["truncated"]), row_id))


def _truncation(engine: Engine, row_id: int, offset: int | None) -> str | None:
    """What the truncated record says (how much the memory limit dropped), as JSON."""
    if offset is None:
        return None
    record = record_at(RowSource(engine, row_id), offset)
    return json.dumps({k: v for k, v in record.items() if k != "type"} if isinstance(record, dict) else {}, default=str)


def _forget_rows(engine: Engine, row_id: int, *, entry: bool) -> None:
    texts = (row_id * _TEXT_IDS, row_id * _TEXT_IDS + _TEXT_IDS - 1)
    found = engine.execute("SELECT searchable FROM jarn_index WHERE trace = ?", (row_id,)).fetchone()
    if found is not None and found[0] and _fts(engine):
        engine.execute("INSERT INTO jarn_index_fts (jarn_index_fts, rowid, text) SELECT 'delete', id, text FROM jarn_index_texts"
                       " WHERE id BETWEEN ? AND ?", texts)
    engine.execute("DELETE FROM jarn_index_texts WHERE id BETWEEN ? AND ?", texts)
    for table in schema.INDEX_TABLES:
        if table not in ("jarn_index_texts", "jarn_index") or (table == "jarn_index" and entry):
            engine.execute(f"DELETE FROM {table} WHERE trace = ?", (row_id,))


def forget(engine: Engine, row_ids: list[int]) -> None:
    """Drops the index of some rows (inside the caller's transaction)."""
    if not row_ids or not engine.has_table("jarn_index"):
        return
    for row_id in row_ids:
        _forget_rows(engine, row_id, entry=True)


def _entry(engine: Engine, row_id: int) -> tuple[Any, ...] | None:
    return engine.execute("SELECT version, error, builder FROM jarn_index WHERE trace = ?", (row_id,)).fetchone()


_ME = f"{socket.gethostname()}:{os.getpid()}"


def _gone(builder: str | None) -> bool:
    """Whether the process that began building an index is no longer there to finish it."""
    host, _, pid = (builder or "").rpartition(":")
    if host != socket.gethostname() or not pid.isdigit():
        return False  # another machine's: it is waited for
    if int(pid) == os.getpid():
        return False  # another thread of this process: it finishes or cleans up
    try:
        os.kill(int(pid), 0)
    except ProcessLookupError:
        return True
    except PermissionError:
        return False
    return False


def _claim(engine: Engine, row_id: int) -> bool:
    """Takes the building of a row's index: False when it is indexed already (or being indexed
    by another process, which is waited for)."""
    while True:
        with engine.transaction():
            engine.lock(-row_id)  # the row's own lock: another builder of it waits here
            found = _entry(engine, row_id)
            if found is not None and found[0] == INDEX_VERSION:
                return False
            if found is None or found[0] != _BUILDING or _gone(found[2]):
                _forget_rows(engine, row_id, entry=True)
                engine.execute("INSERT INTO jarn_index (trace, version, builder) VALUES (?, ?, ?)", (row_id, _BUILDING, _ME))
                return True
        time.sleep(0.2)


_BUILDING = -1  # the version of an index entry while it is being built


def ensure(engine: Engine, row_id: int) -> None:
    """Indexes one stored row unless it already is; raises TraceIndexError for a row that cannot be read."""
    prepare(engine)
    if engine.execute("SELECT 1 FROM traces WHERE row_id = ?", (row_id,)).fetchone() is None:
        raise StoreError(f"no stored trace with row id {row_id}")
    found = _entry(engine, row_id) if engine.has_table("jarn_index") else None
    if found is not None and found[0] == INDEX_VERSION:
        if found[1] is not None:
            raise TraceIndexError(found[1])
        return
    if not engine.writable:
        _index_of_the_connection(engine)
        found = _entry(engine, row_id)
        if found is not None and found[0] == INDEX_VERSION:
            if found[1] is not None:
                raise TraceIndexError(found[1])
            return
    if not _claim(engine, row_id):
        return ensure(engine, row_id)  # built meanwhile by another process: its error, if any, is this one's
    error = None
    try:
        main_id: Any = _GUESS
        while True:
            try:
                summary = _scan(engine, row_id, main_id)
                break
            except _GuessWrong as wrong:
                # Without threading every thread's records share the main list; the main
                # thread's id, stored after them, was guessed from the first record, wrongly.
                main_id = wrong.main_id
                with engine.transaction():
                    _forget_rows(engine, row_id, entry=False)
        with engine.transaction():
            _finish(engine, row_id, summary)
    except TraceIndexError as exc:
        error = str(exc)
        with engine.transaction():
            _forget_rows(engine, row_id, entry=True)
            engine.execute("INSERT INTO jarn_index (trace, version, error) VALUES (?, ?, ?)", (row_id, INDEX_VERSION, error))
    except BaseException:
        with engine.transaction():
            _forget_rows(engine, row_id, entry=True)  # nothing half-built is left
        raise
    if error is not None:
        raise TraceIndexError(error)


def _fts(engine: Engine) -> bool:
    return engine.kind == "sqlite"


def make_searchable(engine: Engine, row_id: int) -> None:
    """Indexes a row's texts for full-text search (once: the first search, or the viewer in the
    background after the trace was opened)."""
    ensure(engine, row_id)
    if engine.execute("SELECT searchable FROM jarn_index WHERE trace = ?", (row_id,)).fetchone()[0]:
        return
    with engine.transaction():
        engine.lock(-row_id)
        if engine.execute("SELECT searchable FROM jarn_index WHERE trace = ?", (row_id,)).fetchone()[0]:
            return
        if _fts(engine):
            engine.execute("INSERT INTO jarn_index_fts (rowid, text) SELECT id, text FROM jarn_index_texts WHERE id BETWEEN ? AND ?",
                           (row_id * _TEXT_IDS, row_id * _TEXT_IDS + _TEXT_IDS - 1))
        engine.execute("UPDATE jarn_index SET searchable = 1 WHERE trace = ?", (row_id,))


def is_indexed(engine: Engine, row_id: int) -> bool:
    if not engine.has_table("jarn_index"):
        return False
    return engine.execute("SELECT 1 FROM jarn_index WHERE trace = ? AND version = ?", (row_id, INDEX_VERSION)).fetchone() is not None


def known(engine: Engine) -> dict[int, tuple[Any, ...]]:
    """(error, start, end, calls) of every indexed row."""
    if not engine.has_table("jarn_index"):
        return {}
    rows = engine.execute("SELECT trace, error, t_start, t_end, calls FROM jarn_index WHERE version = ?", (INDEX_VERSION,)).fetchall()
    return {int(r[0]): tuple(r[1:]) for r in rows}


def prune(engine: Engine) -> None:
    """Drops the index of rows no longer stored."""
    if not engine.has_table("jarn_index") or not (engine.writable or getattr(engine, "private_index", False)):
        return
    gone = [r[0] for r in engine.execute("SELECT trace FROM jarn_index WHERE trace NOT IN (SELECT row_id FROM traces)").fetchall()]
    if gone:
        with engine.transaction():
            forget(engine, gone)


def summary(engine: Engine, row_id: int) -> Summary:
    ensure(engine, row_id)
    start, end, calls, records, truncated = engine.execute(
        "SELECT t_start, t_end, calls, records, truncated FROM jarn_index WHERE trace = ?", (row_id,)).fetchone()
    threads = [
        {"thread": r[0], "name": r[1], "native_id": r[2], "start": r[3], "end": r[4], "calls": r[5], "max_depth": r[6]}
        for r in engine.execute(
            "SELECT thread, name, native_id, t_start, t_end, calls, max_depth FROM jarn_index_threads WHERE trace = ? ORDER BY thread", (row_id,)
        ).fetchall()
    ]
    return Summary(row_id, start, end, calls, records, json.loads(truncated) if truncated else None, threads)


SORTS = {"calls": "calls", "total": "total", "self": "self", "name": "qualname"}


def functions(engine: Engine, row_ids: list[int], sort: str = "total", limit: int | None = None, text: str = "") -> list[dict[str, Any]]:
    """The per-function table, summed over the given rows, largest first (by name: A to Z)."""
    for row_id in row_ids:
        ensure(engine, row_id)
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
    return [{"fn": r[0], "qualname": r[1], "path": r[2], "calls": int(r[3]), "total": float(r[4]), "self": float(r[5])}
            for r in engine.execute(sql, params).fetchall()]


def _names(engine: Engine, row_id: int, fns: set[int]) -> dict[int, list[str]]:
    found: dict[int, list[str]] = {}
    ids = sorted(fns)
    for i in range(0, len(ids), 500):
        part = ids[i : i + 500]
        sql = f"SELECT fn, qualname, path FROM jarn_index_functions WHERE trace = ? AND fn IN ({','.join('?' * len(part))})"
        for fn, qualname, path in engine.execute(sql, (row_id, *part)).fetchall():
            found[fn] = [qualname, path]
    return found


class _Calls:
    """A row's call blocks, decoded as they are asked for (each block once per query)."""

    def __init__(self, engine: Engine, row_id: int) -> None:
        self.engine, self.row_id = engine, row_id
        self.blocks: dict[int, list[tuple[Any, ...]]] = {}

    def get(self, call_id: int) -> tuple[Any, ...] | None:
        """(parent, first child, next sibling, depth, thread, fn, start, end, self, children,
        records, flags, level, call offset, return offset, exception offset, steps, awaiting)"""
        if call_id < 1:
            return None
        number, at = divmod(call_id - 1, _BLOCK_CALLS)
        block = self.blocks.get(number)
        if block is None:
            found = self.engine.execute("SELECT data FROM jarn_index_blocks WHERE trace = ? AND block = ?", (self.row_id, number)).fetchone()
            block = self.blocks[number] = list(_CALL.iter_unpack(bytes(found[0]))) if found is not None else []
        return block[at] if at < len(block) else None

    def call(self, call_id: int) -> dict[str, Any] | None:
        e = self.get(call_id)
        if e is None:
            return None
        return {"id": call_id, "thread": e[4], "parent": e[0], "depth": e[3], "start": e[6], "end": e[7], "self": e[8], "fn": e[5],
                "flags": e[11], "children": e[9], "records": e[10], "steps": e[16], "awaiting": e[17]}


_BLOCK_CALLS = 4096


def calls(engine: Engine, row_id: int) -> list[dict[str, Any]]:
    """Every call of a row, by id, with its record offsets (for checks of the whole index)."""
    ensure(engine, row_id)
    out = []
    for number, data in engine.execute("SELECT block, data FROM jarn_index_blocks WHERE trace = ? ORDER BY block", (row_id,)).fetchall():
        for i, e in enumerate(_CALL.iter_unpack(bytes(data))):
            call_id = number * _BLOCK_CALLS + i + 1
            out.append({"id": call_id, "thread": e[4], "parent": e[0], "depth": e[3], "start": e[6], "end": e[7], "self": e[8], "fn": e[5],
                        "flags": e[11], "children": e[9], "records": e[10], "level": e[12], "steps": e[16], "awaiting": e[17],
                        "call_off": None if e[13] < 0 else e[13], "ret_off": None if e[14] < 0 else e[14], "exc_off": None if e[15] < 0 else e[15]})
    return out


def flame(engine: Engine, row_id: int, thread: int, t0: float, t1: float, min_duration: float, limit: int = 20000) -> dict[str, Any]:
    """The calls of a thread that overlap [t0, t1] and last at least min_duration, longest first
    (what the flame chart draws of each: id, depth, times, function and flags).

    Calls of level L last less than 2**(L+1) ns, so one that ends after t0 and starts before t1
    ends before t1 + 2**(L+1) ns: each level's runs are kept by the range of their end times.
    """
    ensure(engine, row_id)
    lowest = level(max(min_duration, 0.0))
    found: list[dict[str, Any]] = []
    complete = True
    for lvl in range(62, lowest - 1, -1):
        reach = 2.0 ** (lvl + 1) / 1e9
        runs = engine.execute("SELECT data FROM jarn_index_runs WHERE trace = ? AND thread = ? AND level = ? AND max_end >= ? AND min_end <= ?"
                              " ORDER BY seq", (row_id, thread, lvl, t0, t1 + reach)).fetchall()
        for (data,) in runs:
            for call_id, depth, start, end, fn, flags in _RUN.iter_unpack(bytes(data)):
                if end >= t0 and start <= t1 and end - start >= min_duration:
                    found.append({"id": call_id, "thread": thread, "depth": depth, "start": start, "end": end, "fn": fn, "flags": flags})
        if len(found) > limit:
            del found[limit:]
            complete = False
            break
    return {"calls": found, "functions": _names(engine, row_id, {c["fn"] for c in found}), "complete": complete,
            "records": _marks_of(engine, row_id, [c["id"] for c in found])}


_MARK_LIMIT = 5000


def _marks_of(engine: Engine, row_id: int, calls: list[int]) -> list[dict[str, Any]]:
    """The plugin records made directly under some calls (0: at a thread's top level), in order."""
    found: list[dict[str, Any]] = []
    for i in range(0, len(calls), 500):
        part = calls[i : i + 500]
        sql = (f"SELECT call, off, type, ts, duration, label FROM jarn_index_marks WHERE trace = ? AND call IN ({','.join('?' * len(part))})"
               f" ORDER BY off LIMIT ?")
        found.extend({"call": r[0], "off": r[1], "type": r[2], "ts": r[3], "duration": r[4], "label": r[5]}
                     for r in engine.execute(sql, (row_id, *part, _MARK_LIMIT - len(found))).fetchall())
        if len(found) >= _MARK_LIMIT:
            break
    return sorted(found, key=lambda m: m["off"])


def children(engine: Engine, row_id: int, thread: int, parent: int, after: int = 0, limit: int = 200) -> dict[str, Any]:
    """A page of the calls directly under `parent` (0: the thread's top level), in order: from
    the first, or after the sibling `after` (or from `after + 1`, when that is not one)."""
    ensure(engine, row_id)
    table = _Calls(engine, row_id)
    if after:
        e = table.get(after)
        at = e[2] if e is not None and e[0] == parent and e[4] == thread else after + 1
    elif parent:
        e = table.get(parent)
        at = e[1] if e is not None and e[4] == thread else 0
    else:
        found = engine.execute("SELECT first_root FROM jarn_index_threads WHERE trace = ? AND thread = ?", (row_id, thread)).fetchone()
        at = found[0] if found is not None else 0
    page: list[dict[str, Any]] = []
    while at and len(page) <= limit:
        call = table.call(at)
        if call is None or call["parent"] != parent or call["thread"] != thread:
            break
        page.append(call)
        at = table.get(at)[2]
    more = len(page) > limit
    page = page[:limit]
    # the parent's own records among the calls of this page: those after the call before the
    # page, up to this page's last call (all that remain, on its last page)
    records: list[dict[str, Any]] = []
    if parent:
        before = table.call(after) if after else None
        low = before["start"] if before is not None else None
        high = page[-1]["start"] if more and page else None
        records = [m for m in _marks_of(engine, row_id, [parent])
                   if m["ts"] is None or ((low is None or m["ts"] > low) and (high is None or m["ts"] <= high))]
    return {"calls": page, "more": more, "functions": _names(engine, row_id, {c["fn"] for c in page}), "records": records}


def ancestors(engine: Engine, row_id: int, call_id: int, table: _Calls | None = None) -> list[int]:
    """The ids from the top-level call down to `call_id`."""
    table = table or _Calls(engine, row_id)
    chain = []
    while call_id:
        chain.append(call_id)
        e = table.get(call_id)
        if e is None:
            break
        call_id = e[0]
    return chain[::-1]


def call_detail(engine: Engine, row_id: int, call_id: int) -> dict[str, Any] | None:
    """One call with its full values, read back from its records, and its plugin records."""
    ensure(engine, row_id)
    table = _Calls(engine, row_id)
    call = table.call(call_id)
    if call is None:
        return None
    e = table.get(call_id)
    assert e is not None
    call_off, ret_off, exc_off = (None if o < 0 else o for o in e[13:16])
    source = RowSource(engine, row_id)
    call["function"] = _names(engine, row_id, {call["fn"]}).get(call["fn"], ["?", ""])
    call_record = record_at(source, call_off) if call_off is not None else None
    ret_record = record_at(source, ret_off) if ret_off is not None else None
    exc_record = record_at(source, exc_off) if exc_off is not None else None
    call["arguments"] = call_record.get("locals") if isinstance(call_record, dict) else None
    call["return_locals"] = ret_record.get("locals") if isinstance(ret_record, dict) else None
    call["returned"] = ret_record is not None
    call["return_value"] = ret_record.get("arg") if isinstance(ret_record, dict) else None
    call["exception"] = exc_record.get("exception") if isinstance(exc_record, dict) else None
    site = call_record.get("user_code_call_site") if isinstance(call_record, dict) else None
    call["call_site"] = None
    if isinstance(site, dict) and call["parent"]:
        caller = table.get(call["parent"])
        name = _names(engine, row_id, {caller[5]}).get(caller[5], ["?", ""]) if caller else ["?", ""]
        call["call_site"] = {"caller": call["parent"], "qualname": name[0], "path": name[1], "line": site.get("line_number")}
    marks = engine.execute("SELECT off, type, ts FROM jarn_index_marks WHERE trace = ? AND call = ? ORDER BY off", (row_id, call_id)).fetchall()
    call["records"] = [
        {"type": t, "timestamp": ts, "data": {k: v for k, v in (record_at(source, off) or {}).items() if k not in ("type", "timestamp")}}
        for off, t, ts in marks
    ]
    call["path"] = ancestors(engine, row_id, call_id, table)
    return call


_WORD = re.compile(r"[^\W_]+")
_GROUPS_LOOKED_AT = 2000  # groups of texts matched by the full-text index, at most, per search
_SEPARATOR = "\x1f"  # between the texts of a group (jarn._index)


def _read_varint(data: bytes, at: int) -> tuple[int, int]:
    value = shift = 0
    while True:
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        if not byte & 0x80:
            return value, at
        shift += 7


def _postings(data: bytes, wanted: set[int], first: int, found: set[int], limit: int) -> None:
    """Adds to `found` the calls of the wanted texts in one postings piece."""
    at, text = 0, first
    while at < len(data) and len(found) < limit:
        step, at = _read_varint(data, at)
        count, at = _read_varint(data, at)
        text += step
        keep = text in wanted
        before = 0
        for _ in range(count):
            z, at = _read_varint(data, at)
            before += (z >> 1) ^ -(z & 1)
            if keep:
                found.add(before)


def search_values(engine: Engine, row_id: int, text: str, limit: int = 100) -> list[dict[str, Any]]:
    """Calls whose values (arguments, locals, return value, exception, plugin records) hold the
    text, in call order: the groups of texts that have its words (the last one as a prefix),
    through the full-text index, then the texts among them that hold it as typed, case aside."""
    words = _WORD.findall(text.lower())
    needle = text.lower().strip()
    if not words or not needle:
        return []
    make_searchable(engine, row_id)
    low = row_id * _TEXT_IDS
    if _fts(engine):
        query = " AND ".join(f'"{w}"' for w in words[:-1]) + (" AND " if len(words) > 1 else "") + f'"{words[-1]}"*'
        sql = "SELECT rowid FROM jarn_index_fts WHERE jarn_index_fts MATCH ? AND rowid BETWEEN ? AND ? ORDER BY rowid LIMIT ?"
    else:
        query = " & ".join(words[:-1] + [words[-1] + ":*"])
        sql = f"SELECT id FROM jarn_index_texts WHERE {_PG_WORDS} @@ to_tsquery('simple', ?) AND id BETWEEN ? AND ? ORDER BY id LIMIT ?"
    groups = [r[0] for r in engine.execute(sql, (query, low, low + _TEXT_IDS - 1, _GROUPS_LOOKED_AT)).fetchall()]
    found: set[int] = set()
    for i in range(0, len(groups), 20):
        part = groups[i : i + 20]
        wanted = set()
        for group, joined in engine.execute(f"SELECT id, text FROM jarn_index_texts WHERE id IN ({','.join('?' * len(part))})", part).fetchall():
            first = int(group) - low
            wanted.update(first + n for n, value in enumerate(joined.split(_SEPARATOR)) if needle in value.lower())
        if wanted:
            pieces = engine.execute("SELECT first_text, last_text, data FROM jarn_index_postings WHERE trace = ? AND first_text <= ?"
                                    " AND last_text >= ? ORDER BY seq", (row_id, max(wanted), min(wanted))).fetchall()
            for first, last, data in pieces:
                if any(first <= t <= last for t in wanted):
                    _postings(bytes(data), wanted, first, found, limit)
        if len(found) >= limit:
            break
    table = _Calls(engine, row_id)
    rows = [c for c in (table.call(i) for i in sorted(found)[:limit]) if c is not None]
    names = _names(engine, row_id, {r["fn"] for r in rows})
    for r in rows:
        r["function"] = names.get(r["fn"], ["?", ""])
        r["where"] = "values"
    return rows


def relatives(engine: Engine, row_id: int, fn: int) -> dict[str, Any]:
    """A function's callers and callees, with the calls and time of each pair, largest first."""
    ensure(engine, row_id)

    def pairs(sql: str) -> list[dict[str, Any]]:
        return [{"fn": r[0], "calls": r[1], "total": r[2]} for r in engine.execute(sql, (row_id, fn)).fetchall()]

    callers = pairs("SELECT caller, calls, total FROM jarn_index_edges WHERE trace = ? AND callee = ? ORDER BY total DESC LIMIT 200")
    callees = pairs("SELECT callee, calls, total FROM jarn_index_edges WHERE trace = ? AND caller = ? ORDER BY total DESC LIMIT 200")
    names = _names(engine, row_id, {p["fn"] for p in callers + callees} | {fn})
    for p in callers + callees:
        p["function"] = names.get(p["fn"], ["(top level)", ""]) if p["fn"] else ["(top level)", ""]
    return {"fn": fn, "function": names.get(fn, ["?", ""]), "callers": callers, "callees": callees}


def merged(engine: Engine, row_id: int, thread: int, min_total: float = 0.0, limit: int = 20000) -> dict[str, Any]:
    """A thread's calls merged by call path (one node per path, with its calls and time), the
    biggest first; a node's time is never more than its parent's, so what is kept stays a tree."""
    ensure(engine, row_id)
    rows = engine.execute(
        "SELECT node, parent, fn, calls, total, self FROM jarn_index_merged WHERE trace = ? AND thread = ? AND total >= ? ORDER BY total DESC LIMIT ?",
        (row_id, thread, min_total, limit + 1),
    ).fetchall()
    nodes = [{"node": r[0], "parent": r[1], "fn": r[2], "calls": r[3], "total": r[4], "self": r[5]} for r in rows[:limit]]
    return {"nodes": nodes, "complete": len(rows) <= limit, "functions": _names(engine, row_id, {n["fn"] for n in nodes})}


def slowest_calls(engine: Engine, row_id: int, fn: int, limit: int = 100) -> list[dict[str, Any]]:
    """The longest calls of one function."""
    ensure(engine, row_id)
    table = _Calls(engine, row_id)
    ids = engine.execute("SELECT call FROM jarn_index_slowest WHERE trace = ? AND fn = ? ORDER BY duration DESC, call LIMIT ?",
                         (row_id, fn, limit)).fetchall()
    found = [c for c in (table.call(r[0]) for r in ids) if c is not None]
    names = _names(engine, row_id, {fn})
    for c in found:
        c["function"] = names.get(fn, ["?", ""])
    return found
