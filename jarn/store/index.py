"""The index of a stored trace, built once, and every query the viewer and `jarn stats` make.

The index is a handler of the trace walk (jarn.trace.walk), so its calls are the calls of every
other view. It keeps, in tables of the store itself: one row per call (thread, parent, depth,
start, end, self time, function, flags, plugin records under it and the byte offsets of its
records), one per function (calls, total and self time), one per caller and callee pair, and the
calls merged by call path. Values are not copied: a call's detail decodes its records
again from their offsets, and a search for text in values scans the stored bytes.

Each stored row (one save of a trace) gets its own index, keyed by its row id; a row that cannot
be read gets an error entry instead, so it is not read again and does not hide the others. It is
built into temporary tables of the connection and copied into the store in one short
transaction, so that savers do not wait for a big index, and two viewers indexing the same new
trace both succeed (the second finds the first one's index, and drops its own).

Times are the records' own (seconds since the epoch). A call's total time counts only its outermost
activation per thread, so recursion is not counted twice; self time is its duration less that of
its recorded children.
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass
from typing import Any

from jarn.store import schema
from jarn.store.chunks import RowSource
from jarn.store.engine import SCHEMA_LOCK, Engine, StoreError
from jarn.trace.reader import record_at
from jarn.trace.records import Call, CallFlags, PluginRecord, TraceFormatError
from jarn.trace.walk import ThreadState, Walk

INDEX_VERSION = schema.INDEX_VERSION
_BATCH = 20000

RAISED, UNFINISHED, NO_START = int(CallFlags.RAISED), int(CallFlags.UNFINISHED), int(CallFlags.NO_START)

# Record kinds in the records table.
KIND_CALL, KIND_RETURN, KIND_EXCEPTION, KIND_OTHER = 0, 1, 2, 3

_BUILD_PREFIX = "jarn_build_"
_BUILT = ("jarn_index_threads", "jarn_index_functions", "jarn_index_calls", "jarn_index_records", "jarn_index_marks", "jarn_index_edges",
          "jarn_index_merged")


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
    """The index tables, made when missing (and when the store can be written)."""
    if engine.has_table("jarn_index") or not engine.writable:
        return
    with engine.transaction():
        engine.lock(SCHEMA_LOCK)
        for statement in schema.statements(schema.INDEX, engine.types):
            engine.execute(statement)


def _index_of_the_connection(engine: Engine) -> None:
    """For a store jarn cannot write: index tables of this connection only, which stand in for
    the store's own from now on (its traces are indexed again here, as they are opened)."""
    if getattr(engine, "private_index", False):
        return
    for statement in schema.statements(schema.INDEX, engine.types):
        statement = statement.replace("CREATE TABLE IF NOT EXISTS", "CREATE TEMP TABLE IF NOT EXISTS")
        engine.execute(statement.replace("CREATE INDEX IF NOT EXISTS ", "CREATE INDEX IF NOT EXISTS temp."))
    engine.private_index = True  # type: ignore[attr-defined]


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
    __slots__ = ("no", "calls", "max_depth", "active")

    def __init__(self, no: int) -> None:
        self.no = no
        self.calls = 0
        self.max_depth = 0
        self.active: dict[int, int] = {}  # open calls per function, for totals without recursion


class _Open:
    """The index's state of one call, from its beginning until its row is written."""

    __slots__ = ("id", "fn", "depth", "parent", "children", "children_time", "records", "node", "row", "batch")

    def __init__(self, call_id: int, fn: list[Any], depth: int, parent: int, node: list[Any]) -> None:
        self.id, self.fn, self.depth, self.parent, self.node = call_id, fn, depth, parent, node
        self.children = 0
        self.children_time = 0.0
        self.records = 0  # plugin records placed directly under it
        self.row: list[Any] | None = None  # once ended
        self.batch = -1


# Columns of a call's row that may change once it has ended.
_FLAGS, _RECORDS, _EXC_OFF = 9, 12, 15


class _Builder:
    """The walk's handler: rows for the index tables, written in batches to the build tables."""

    def __init__(self, engine: Engine, row_id: int) -> None:
        self.engine, self.row = engine, row_id
        self.next_id = 1
        self.functions: dict[tuple[str, str], list[Any]] = {}  # key -> [fn, calls, total, self]
        # who calls whom: (caller fn, callee fn) -> [calls, total]; 0 is a thread's top level
        self.edges: dict[tuple[int, int], list[Any]] = {}
        # the merged tree of call paths: (thread, parent node, fn) -> [node, calls, total, self]
        self.merged: dict[tuple[int, int, int], list[Any]] = {}
        self.rows: list[list[Any]] = []
        self.records: list[tuple[int, int, int, int]] = []
        self.marks: list[tuple[Any, ...]] = []
        self.later: list[tuple[str, tuple[Any, ...]]] = []  # changes to rows already written
        self.truncation: dict[str, Any] | None = None
        self.threads: list[ThreadState] = []
        self.batch = 0  # how many batches were written

    # -- the walk's events

    def thread_start(self, thread: ThreadState) -> None:
        thread.slot = _Thread(len(self.threads) + 1)
        self.threads.append(thread)

    def begin(self, thread: ThreadState, call: Call, parent: Call | None) -> None:
        state: _Thread = thread.slot
        fn = self._function(call)
        depth = len(thread.open)
        above: _Open | None = parent.slot if parent is not None else None
        key = (state.no, above.node[0] if above is not None else 0, fn[0])
        node = self.merged.get(key)
        if node is None:
            node = self.merged[key] = [len(self.merged) + 1, 0, 0.0, 0.0]
        call.slot = _Open(self.next_id, fn, depth, above.id if above is not None else 0, node)
        self.next_id += 1
        if above is not None:
            above.children += 1
        if depth + 1 > state.max_depth:
            state.max_depth = depth + 1
        state.active[fn[0]] = state.active.get(fn[0], 0) + 1
        if call.call_offset is not None:
            self.records.append((self.row, call.call_offset, call.slot.id, KIND_CALL))
        if len(self.records) >= _BATCH:
            self.flush()

    def end(self, thread: ThreadState, call: Call, at: float | None) -> None:
        state: _Thread = thread.slot
        me: _Open = call.slot
        fn = me.fn
        start = call.start if call.start is not None else (thread.first_time if thread.first_time is not None else (at or 0.0))
        end = max(start, at if at is not None else (thread.last_time if thread.last_time is not None else start))
        duration = end - start
        self_time = max(0.0, duration - me.children_time)
        caller = 0
        if thread.open:  # the walk has taken the call off the stack: its caller is on top
            above: _Open = thread.open[-1].slot
            above.children_time += duration
            caller = above.fn[0]
        edge = self.edges.get((caller, fn[0]))
        if edge is None:
            edge = self.edges[(caller, fn[0])] = [0, 0.0]
        edge[0] += 1
        edge[1] += duration
        me.node[1] += 1
        me.node[2] += duration
        me.node[3] += self_time
        active = state.active[fn[0]] - 1
        state.active[fn[0]] = active
        fn[1] += 1
        fn[3] += self_time
        if active == 0:
            fn[2] += duration
        state.calls += 1
        flags = (0 if call.returned else UNFINISHED) | (NO_START if call.call_offset is None else 0)
        me.row = [self.row, me.id, state.no, me.parent, me.depth, start, end, self_time, fn[0], flags, me.children, level(duration),
                  me.records, call.call_offset, call.return_offset, None]
        me.batch = self.batch
        self.rows.append(me.row)
        if call.returned:
            self.records.append((self.row, call.return_offset, me.id, KIND_RETURN))

    def raised(self, thread: ThreadState, call: Call) -> None:
        me: _Open = call.slot
        self.records.append((self.row, call.exception_offset, me.id, KIND_EXCEPTION))
        if me.batch == self.batch and me.row is not None:
            me.row[_FLAGS] |= RAISED
            me.row[_EXC_OFF] = call.exception_offset
        else:
            self.later.append((f"UPDATE {_BUILD_PREFIX}calls SET exc_off = ?, flags = flags | {RAISED} WHERE trace = ? AND id = ?",
                               (call.exception_offset, self.row, me.id)))

    def record(self, thread: ThreadState, record: PluginRecord, owner: Call | None) -> None:
        owner_id = 0
        if owner is not None:
            me: _Open = owner.slot
            owner_id = me.id
            me.records += 1
            if me.row is not None:  # a call that has just returned
                if me.batch == self.batch:
                    me.row[_RECORDS] = me.records
                else:
                    self.later.append((f"UPDATE {_BUILD_PREFIX}calls SET records = records + 1 WHERE trace = ? AND id = ?", (self.row, me.id)))
        self.records.append((self.row, record.offset, owner_id, KIND_OTHER))
        data = record.data
        duration = data.get("duration")
        self.marks.append((self.row, owner_id, record.offset, record.type, record.timestamp,
                           float(duration) if isinstance(duration, int | float) and not isinstance(duration, bool) else None,
                           record_label({**data, "type": record.type})))

    def truncated(self, info: dict[str, Any]) -> None:
        self.truncation = info

    def _function(self, call: Call) -> list[Any]:
        key = (call.qualname, call.path)
        found = self.functions.get(key)
        if found is None:
            found = self.functions[key] = [len(self.functions) + 1, 0, 0.0, 0.0]
        return found

    # -- writing

    def flush(self) -> None:
        e = self.engine
        e.copy(_BUILD_PREFIX + "calls", _CALL_ROW, self.rows)
        e.copy(_BUILD_PREFIX + "records", ("trace", "off", "call", "kind"), self.records)
        e.copy(_BUILD_PREFIX + "marks", ("trace", "call", "off", "type", "ts", "duration", "label"), self.marks)
        self.rows, self.records, self.marks = [], [], []
        self.batch += 1

    def finish(self, walk: Walk) -> None:
        self.flush()
        e = self.engine
        for sql, params in self.later:
            e.execute(sql, params)
        e.copy(_BUILD_PREFIX + "threads", ("trace", "thread", "name", "native_id", "t_start", "t_end", "calls", "max_depth"),
               [(self.row, t.slot.no, t.name, t.native_id, t.first_time, t.last_time, t.slot.calls, t.slot.max_depth) for t in self.threads])
        e.copy(_BUILD_PREFIX + "functions", ("trace", "fn", "qualname", "path", "calls", "total", "self"),
               [(self.row, fn, qualname, path, calls, total, self_time) for (qualname, path), (fn, calls, total, self_time) in self.functions.items()])
        e.copy(_BUILD_PREFIX + "edges", ("trace", "caller", "callee", "calls", "total"),
               [(self.row, caller, callee, calls, total) for (caller, callee), (calls, total) in self.edges.items()])
        e.copy(_BUILD_PREFIX + "merged", ("trace", "thread", "node", "parent", "fn", "calls", "total", "self"),
               [(self.row, thread, node[0], parent, fn, node[1], node[2], node[3]) for (thread, parent, fn), node in self.merged.items()])
        starts = [t.first_time for t in self.threads if t.first_time is not None]
        ends = [t.last_time for t in self.threads if t.last_time is not None]
        self.entry = (self.row, INDEX_VERSION, None, min(starts, default=None), max(ends, default=None), self.next_id - 1, walk.record_count,
                      None if self.truncation is None else json.dumps(self.truncation, default=str))


_CALL_ROW = ("trace", "id", "thread", "parent", "depth", "t_start", "t_end", "self", "fn", "flags", "children", "level", "records",
             "call_off", "ret_off", "exc_off")


def _build_tables(engine: Engine) -> None:
    """Empty build tables of the connection, shaped as the index tables."""
    for table in _BUILT:
        build = _BUILD_PREFIX + table.removeprefix("jarn_index_")
        engine.execute(f"DROP TABLE IF EXISTS {build}")
        engine.execute(engine.temp_table_like(build, table))


def _drop_build_tables(engine: Engine) -> None:
    for table in _BUILT:
        engine.execute(f"DROP TABLE IF EXISTS {_BUILD_PREFIX}{table.removeprefix('jarn_index_')}")


def forget(engine: Engine, row_ids: list[int]) -> None:
    """Drops the index of some rows (inside the caller's transaction)."""
    if not row_ids or not engine.has_table("jarn_index"):
        return
    for table in schema.INDEX_TABLES:
        for row_id in row_ids:
            engine.execute(f"DELETE FROM {table} WHERE trace = ?", (row_id,))


def _entry(engine: Engine, row_id: int) -> tuple[Any, ...] | None:
    return engine.execute("SELECT version, error FROM jarn_index WHERE trace = ?", (row_id,)).fetchone()


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
    _build_tables(engine)
    error = None
    try:
        builder = _Builder(engine, row_id)
        try:
            walk = Walk([RowSource(engine, row_id)])
            walk.walk(builder)
        except TraceFormatError as exc:
            error = str(exc)
        else:
            builder.finish(walk)
        with engine.transaction():
            engine.lock(-row_id)  # the row's own lock: another builder of it waits here
            found = _entry(engine, row_id)
            if found is not None and found[0] == INDEX_VERSION:
                return  # another process indexed it meanwhile: its index stands
            forget(engine, [row_id])
            if error is None:
                for table in _BUILT:
                    engine.execute(f"INSERT INTO {table} SELECT * FROM {_BUILD_PREFIX}{table.removeprefix('jarn_index_')}")
                engine.execute("INSERT INTO jarn_index VALUES (?,?,?,?,?,?,?,?)", builder.entry)
            else:
                engine.execute("INSERT INTO jarn_index (trace, version, error) VALUES (?, ?, ?)", (row_id, INDEX_VERSION, error))
    finally:
        _drop_build_tables(engine)
    if error is not None:
        raise TraceIndexError(error)


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


_CALL_COLUMNS = "id, thread, parent, depth, t_start, t_end, self, fn, flags, children, records"
_CALL_KEYS = ("id", "thread", "parent", "depth", "start", "end", "self", "fn", "flags", "children", "records")


def _call(row: tuple[Any, ...]) -> dict[str, Any]:
    return dict(zip(_CALL_KEYS, row, strict=True))


def flame(engine: Engine, row_id: int, thread: int, t0: float, t1: float, min_duration: float, limit: int = 20000) -> dict[str, Any]:
    """The calls of a thread that overlap [t0, t1] and last at least min_duration, longest first.

    Calls of level L last less than 2**(L+1) ns, so one that ends after t0 started after
    t0 - 2**(L+1) ns: each level is one range of the (thread, level, start) index.
    """
    ensure(engine, row_id)
    lowest = level(max(min_duration, 0.0))
    calls: list[dict[str, Any]] = []
    complete = True
    for lvl in range(62, lowest - 1, -1):
        reach = 2.0 ** (lvl + 1) / 1e9
        rows = engine.execute(
            f"SELECT {_CALL_COLUMNS} FROM jarn_index_calls WHERE trace = ? AND thread = ? AND level = ? AND t_start >= ? AND t_start <= ?"
            " AND t_end >= ? AND t_end - t_start >= ? LIMIT ?",
            (row_id, thread, lvl, t0 - reach, t1, t0, min_duration, limit - len(calls) + 1),
        ).fetchall()
        calls.extend(_call(r) for r in rows)
        if len(calls) > limit:
            del calls[limit:]
            complete = False
            break
    return {"calls": calls, "functions": _names(engine, row_id, {c["fn"] for c in calls}), "complete": complete,
            "records": _marks_of(engine, row_id, [c["id"] for c in calls])}


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
    """A page of the calls directly under `parent` (0: the thread's top level), in order."""
    ensure(engine, row_id)
    rows = engine.execute(
        f"SELECT {_CALL_COLUMNS} FROM jarn_index_calls WHERE trace = ? AND thread = ? AND parent = ? AND id > ? ORDER BY id LIMIT ?",
        (row_id, thread, parent, after, limit + 1),
    ).fetchall()
    calls = [_call(r) for r in rows[:limit]]
    # the parent's own records among the calls of this page: those after the last call of the
    # page before, up to this page's last call (all that remain, on its last page)
    records: list[dict[str, Any]] = []
    if parent:
        low = engine.execute("SELECT t_start FROM jarn_index_calls WHERE trace = ? AND id = ?", (row_id, after)).fetchone() if after else None
        high = calls[-1]["start"] if len(rows) > limit else None
        records = [m for m in _marks_of(engine, row_id, [parent])
                   if m["ts"] is None or ((low is None or m["ts"] > low[0]) and (high is None or m["ts"] <= high))]
    return {"calls": calls, "more": len(rows) > limit, "functions": _names(engine, row_id, {c["fn"] for c in calls}), "records": records}


def ancestors(engine: Engine, row_id: int, call_id: int) -> list[int]:
    """The ids from the top-level call down to `call_id`."""
    chain = []
    while call_id:
        chain.append(call_id)
        found = engine.execute("SELECT parent FROM jarn_index_calls WHERE trace = ? AND id = ?", (row_id, call_id)).fetchone()
        if found is None:
            break
        call_id = found[0]
    return chain[::-1]


def call_detail(engine: Engine, row_id: int, call_id: int) -> dict[str, Any] | None:
    """One call with its full values, read back from its records, and its plugin records."""
    ensure(engine, row_id)
    row = engine.execute(f"SELECT {_CALL_COLUMNS}, call_off, ret_off, exc_off FROM jarn_index_calls WHERE trace = ? AND id = ?",
                         (row_id, call_id)).fetchone()
    if row is None:
        return None
    source = RowSource(engine, row_id)
    call = _call(row[:11])
    call_off, ret_off, exc_off = row[11:]
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
        caller = engine.execute("SELECT fn FROM jarn_index_calls WHERE trace = ? AND id = ?", (row_id, call["parent"])).fetchone()
        name = _names(engine, row_id, {caller[0]}).get(caller[0], ["?", ""]) if caller else ["?", ""]
        call["call_site"] = {"caller": call["parent"], "qualname": name[0], "path": name[1], "line": site.get("line_number")}
    marks = engine.execute("SELECT off, type, ts FROM jarn_index_marks WHERE trace = ? AND call = ? ORDER BY off", (row_id, call_id)).fetchall()
    call["records"] = [
        {"type": t, "timestamp": ts, "data": {k: v for k, v in (record_at(source, off) or {}).items() if k not in ("type", "timestamp")}}
        for off, t, ts in marks
    ]
    call["path"] = ancestors(engine, row_id, call_id)
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


def search_values(engine: Engine, row_id: int, text: str, limit: int = 100) -> list[dict[str, Any]]:
    """Calls whose values (arguments, locals, return value, exception, plugin records) hold the text.

    Strings are stored as they are in MessagePack, so the stored bytes are scanned for the text
    and each hit is checked by decoding the one record around it.
    """
    ensure(engine, row_id)
    needle = text.lower()
    if not needle:
        return []
    source = RowSource(engine, row_id)
    pattern = needle.encode()
    found: dict[int, str] = {}
    seen_records: set[int] = set()
    overlap = len(pattern) - 1
    base, tail = 0, b""
    for data in source.pieces():
        chunk = tail + data.lower()
        start = base - len(tail)
        pos = chunk.find(pattern)
        while pos >= 0 and len(found) < limit:
            hit = start + pos
            rec = engine.execute("SELECT off, call, kind FROM jarn_index_records WHERE trace = ? AND off <= ? ORDER BY off DESC LIMIT 1",
                                 (row_id, hit)).fetchone()
            if rec is not None and rec[0] not in seen_records:
                seen_records.add(rec[0])
                record = record_at(source, rec[0])
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
        row = engine.execute(f"SELECT {_CALL_COLUMNS} FROM jarn_index_calls WHERE trace = ? AND id = ?", (row_id, call_id)).fetchone()
        if row is not None:
            rows.append({**_call(row), "where": where})
    names = _names(engine, row_id, {r["fn"] for r in rows})
    for r in rows:
        r["function"] = names.get(r["fn"], ["?", ""])
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
    rows = engine.execute(
        f"SELECT {_CALL_COLUMNS} FROM jarn_index_calls WHERE trace = ? AND fn = ? ORDER BY t_end - t_start DESC LIMIT ?", (row_id, fn, limit)
    ).fetchall()
    calls = [_call(r) for r in rows]
    names = _names(engine, row_id, {fn})
    for c in calls:
        c["function"] = names.get(fn, ["?", ""])
    return calls
