"""The store's tables, for both engines, and the migrations that bring an older store up to date.

One statement of each table serves SQLite and PostgreSQL: the few types that differ are named
by placeholders filled in by the engine ({id} an auto-numbered key, {int} a 64-bit integer,
{real} a double, {blob} bytes, {norowid} SQLite's WITHOUT ROWID).

`traces` has one row per save (a trace id saved twice is two rows), with what listing needs;
`trace_chunks` holds the trace's bytes in rows of a few MiB, each compressed on its own (`codec`
0: as they are, 1: zstd), `start` its offset in the whole trace and `size` its length there (the
bytes come last: SQLite reads a row's columns in order, and would otherwise walk every chunk to
find where the others are). `jarn_unsaved` counts the traces a web server's writer had to drop.
The jarn_index tables are the viewer's index (jarn.store.index): derived data, dropped and
built again when their layout changes.
"""

from __future__ import annotations

SCHEMA_VERSION = 5

TRACES = """
CREATE TABLE IF NOT EXISTS traces (
    row_id {id},
    trace_id TEXT NOT NULL,
    created_at {real} NOT NULL,
    size {int} NOT NULL,
    command_line TEXT NOT NULL,
    source TEXT NOT NULL,
    record_count {int} NOT NULL,
    label TEXT NOT NULL DEFAULT '',
    duration {real},
    host TEXT NOT NULL DEFAULT '',
    username TEXT NOT NULL DEFAULT '',
    parent_trace_id TEXT NOT NULL DEFAULT ''
);
CREATE INDEX IF NOT EXISTS traces_by_trace_id ON traces (trace_id);
CREATE INDEX IF NOT EXISTS traces_by_parent ON traces (parent_trace_id);
CREATE TABLE IF NOT EXISTS trace_chunks (
    row_id {int} NOT NULL REFERENCES traces (row_id) ON DELETE CASCADE,
    seq {int} NOT NULL,
    start {int} NOT NULL DEFAULT 0,
    size {int} NOT NULL DEFAULT 0,
    codec {int} NOT NULL DEFAULT 0,
    data {blob} NOT NULL,
    PRIMARY KEY (row_id, seq)
);
CREATE TABLE IF NOT EXISTS jarn_unsaved (
    created_at {real} NOT NULL, source TEXT NOT NULL, count {int} NOT NULL, reason TEXT NOT NULL
)
"""

INDEX_VERSION = 4

INDEX = """
CREATE TABLE IF NOT EXISTS jarn_index (
    trace {int} PRIMARY KEY,
    version {int} NOT NULL,
    error TEXT,
    t_start {real}, t_end {real},
    calls {int} NOT NULL DEFAULT 0,
    records {int} NOT NULL DEFAULT 0,
    truncated TEXT,
    searchable {int} NOT NULL DEFAULT 0,
    builder TEXT
);
CREATE TABLE IF NOT EXISTS jarn_index_threads (
    trace {int} NOT NULL, thread {int} NOT NULL,
    name TEXT NOT NULL, native_id {int},
    t_start {real}, t_end {real}, calls {int} NOT NULL, max_depth {int} NOT NULL, first_root {int} NOT NULL,
    PRIMARY KEY (trace, thread)
) {norowid};
CREATE TABLE IF NOT EXISTS jarn_index_functions (
    trace {int} NOT NULL, fn {int} NOT NULL,
    qualname TEXT NOT NULL, path TEXT NOT NULL,
    calls {int} NOT NULL, total {real} NOT NULL, self {real} NOT NULL,
    PRIMARY KEY (trace, fn)
) {norowid};
CREATE TABLE IF NOT EXISTS jarn_index_blocks (
    trace {int} NOT NULL, block {int} NOT NULL, data {blob} NOT NULL,
    PRIMARY KEY (trace, block)
) {norowid};
CREATE TABLE IF NOT EXISTS jarn_index_runs (
    trace {int} NOT NULL, thread {int} NOT NULL, level {int} NOT NULL, seq {int} NOT NULL,
    min_end {real} NOT NULL, max_end {real} NOT NULL, data {blob} NOT NULL,
    PRIMARY KEY (trace, thread, level, seq)
) {norowid};
CREATE TABLE IF NOT EXISTS jarn_index_slowest (
    trace {int} NOT NULL, fn {int} NOT NULL, call {int} NOT NULL, duration {real} NOT NULL,
    PRIMARY KEY (trace, fn, call)
) {norowid};
CREATE TABLE IF NOT EXISTS jarn_index_edges (
    trace {int} NOT NULL, caller {int} NOT NULL, callee {int} NOT NULL, calls {int} NOT NULL, total {real} NOT NULL,
    PRIMARY KEY (trace, caller, callee)
) {norowid};
CREATE INDEX IF NOT EXISTS jarn_index_edges_by_callee ON jarn_index_edges (trace, callee);
CREATE TABLE IF NOT EXISTS jarn_index_merged (
    trace {int} NOT NULL, thread {int} NOT NULL, node {int} NOT NULL, parent {int} NOT NULL, fn {int} NOT NULL,
    calls {int} NOT NULL, total {real} NOT NULL, self {real} NOT NULL,
    PRIMARY KEY (trace, thread, node)
) {norowid};
CREATE TABLE IF NOT EXISTS jarn_index_postings (
    trace {int} NOT NULL, first_text {int} NOT NULL, last_text {int} NOT NULL, seq {int} NOT NULL, data {blob} NOT NULL,
    PRIMARY KEY (trace, first_text, seq)
) {norowid};
CREATE TABLE IF NOT EXISTS jarn_index_texts (
    id {int} PRIMARY KEY, text TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS jarn_index_marks (
    trace {int} NOT NULL, call {int} NOT NULL, off {int} NOT NULL, type TEXT NOT NULL, ts {real},
    duration {real}, label TEXT NOT NULL DEFAULT '',
    PRIMARY KEY (trace, call, off)
) {norowid}
"""
INDEX_TABLES = ("jarn_index_threads", "jarn_index_functions", "jarn_index_blocks", "jarn_index_runs", "jarn_index_slowest",
                "jarn_index_marks", "jarn_index_edges", "jarn_index_merged", "jarn_index_postings", "jarn_index_texts", "jarn_index")
# Tables of index layouts before this one, dropped when the index is first made.
OLD_INDEX_TABLES = ("jarn_index_calls", "jarn_index_records")

# Each step brings a store of the version before it to the next one (placeholders as above).
# Only SQLite stores are older than version 3.
MIGRATIONS: dict[int, tuple[str, ...]] = {
    2: (
        "ALTER TABLE traces ADD COLUMN label TEXT NOT NULL DEFAULT ''",
        "ALTER TABLE traces ADD COLUMN duration REAL",
    ),
    3: (
        "ALTER TABLE traces ADD COLUMN host TEXT NOT NULL DEFAULT ''",
        "ALTER TABLE traces ADD COLUMN username TEXT NOT NULL DEFAULT ''",
        "ALTER TABLE trace_chunks ADD COLUMN start INTEGER NOT NULL DEFAULT 0",
        "ALTER TABLE trace_chunks ADD COLUMN size INTEGER NOT NULL DEFAULT 0",
        "ALTER TABLE trace_chunks ADD COLUMN codec INTEGER NOT NULL DEFAULT 0",
        # Older chunks are stored as they are, of any length.
        "UPDATE trace_chunks SET size = length(data), start = (SELECT coalesce(sum(length(c.data)), 0) FROM trace_chunks c"
        " WHERE c.row_id = trace_chunks.row_id AND c.seq < trace_chunks.seq)",
        # Older indexes named their times start and end; they are built again.
        *(f"DROP TABLE IF EXISTS {table}" for table in INDEX_TABLES),
    ),
    4: (
        # The chunks' bytes move after their place in the trace.
        "CREATE TABLE trace_chunks_moved (row_id {int} NOT NULL REFERENCES traces (row_id) ON DELETE CASCADE, seq {int} NOT NULL,"
        " start {int} NOT NULL DEFAULT 0, size {int} NOT NULL DEFAULT 0, codec {int} NOT NULL DEFAULT 0, data {blob} NOT NULL,"
        " PRIMARY KEY (row_id, seq))",
        "INSERT INTO trace_chunks_moved (row_id, seq, start, size, codec, data) SELECT row_id, seq, start, size, codec, data FROM trace_chunks",
        "DROP TABLE trace_chunks",
        "ALTER TABLE trace_chunks_moved RENAME TO trace_chunks",
        "CREATE TABLE IF NOT EXISTS jarn_unsaved (created_at {real} NOT NULL, source TEXT NOT NULL, count {int} NOT NULL, reason TEXT NOT NULL)",
    ),
    5: (
        # A child process's trace names its parent's (its "process" record), so a family lists together.
        "ALTER TABLE traces ADD COLUMN parent_trace_id TEXT NOT NULL DEFAULT ''",
        "CREATE INDEX IF NOT EXISTS traces_by_parent ON traces (parent_trace_id)",
    ),
}


def statements(script: str, types: dict[str, str]) -> list[str]:
    return [s.strip().format(**types) for s in script.split(";") if s.strip()]
