"""The SQLite trace store."""

from __future__ import annotations

import sqlite3
import threading
import time

import msgpack
import pytest

from jarn import db


def make_trace(records: int = 2, threads: int = 1, argv: list[str] | None = None, source: str = "cli") -> bytes:
    frame = {"type": "frame", "event": "call"}
    return msgpack.packb(
        {
            "command_line_args": argv or ["prog.py", "--x"],
            "current_commit_sha": None,
            "frames": {1000 + t: [frame] * records for t in range(threads)},
            "frames_of_interest": [frame] * records,
            "main_thread_id": 1,
            "meta": {"version": "1", "source": source, "use_frame_boundaries": True},
            "timestamp": 1.0,
            "trace_id": "trc_x",
        }
    )


def test_round_trip_and_summary(tmp_path):
    path = str(tmp_path / "deep" / "folder" / "db.sqlite3")
    trace = make_trace(records=3, threads=2)
    row = db.save_trace_in_sqlite(path, "trc_A", timeout=5, msgpack=trace)
    assert db.load_trace(path, row) == trace
    [info] = db.list_traces(path)
    assert (info.trace_id, info.command_line, info.source, info.record_count, info.size) == (
        "trc_A",
        ["prog.py", "--x"],
        "cli",
        9,
        len(trace),
    )
    assert abs(info.created_at - time.time()) < 60
    assert sqlite3.connect(path).execute("PRAGMA journal_mode").fetchone()[0] == "wal"


def test_same_trace_id_twice_gives_two_rows_in_order(tmp_path):
    path = str(tmp_path / "db.sqlite3")
    first = db.save_trace_in_sqlite(path, "trc_SAME", timeout=5, msgpack=make_trace(1))
    db.save_trace_in_sqlite(path, "trc_OTHER", timeout=5, msgpack=make_trace(1))
    second = db.save_trace_in_sqlite(path, "trc_SAME", timeout=5, msgpack=make_trace(4))
    assert [r.row_id for r in db.find_rows(path, "trc_SAME")] == [first, second]
    assert [r.trace_id for r in db.list_traces(path)] == ["trc_SAME", "trc_OTHER", "trc_SAME"]
    assert [r.trace_id for r in db.list_traces(path, limit=1)] == ["trc_SAME"]
    assert db.latest(path).row_id == second


def test_prefix_lookup(tmp_path):
    path = str(tmp_path / "db.sqlite3")
    db.save_trace_in_sqlite(path, "trc_ABC1", timeout=5, msgpack=make_trace())
    db.save_trace_in_sqlite(path, "trc_ABD2", timeout=5, msgpack=make_trace())
    assert [r.trace_id for r in db.find_rows(path, "trc_ABC")] == ["trc_ABC1"]
    assert db.find_rows(path, "trc_Z") == []
    with pytest.raises(db.StoreError, match="matches 2 traces"):
        db.find_rows(path, "trc_AB")
    # LIKE wildcards in the prefix are plain characters
    assert db.find_rows(path, "trc_A%") == []


class Pieces:
    """A trace handed out in uneven pieces, as the profiler's take_trace_pieces does."""

    def __init__(self, trace: bytes, step: int) -> None:
        self.trace, self.step = trace, step
        summary = db.summarize(trace)
        self.summary = (summary.command_line, summary.source, summary.record_count, summary.other_threads_record_count)

    def __iter__(self):
        at = 0
        while at < len(self.trace):
            size = self.step + at % 7
            yield self.trace[at : at + size]
            at += size

    def __len__(self) -> int:
        return len(self.trace)


@pytest.mark.parametrize("given", [bytes, lambda t: Pieces(t, 333), lambda t: Pieces(t, 2500)], ids=["bytes", "small pieces", "big pieces"])
def test_large_trace_is_chunked(tmp_path, monkeypatch, given):
    monkeypatch.setattr(db, "CHUNK_SIZE", 1000)
    path = str(tmp_path / "db.sqlite3")
    trace = make_trace(records=500)
    row = db.save_trace_in_sqlite(path, "trc_BIG", timeout=5, msgpack=given(trace))
    sizes = [n for (n,) in sqlite3.connect(path).execute("SELECT length(data) FROM trace_chunks WHERE row_id = ? ORDER BY seq", (row,))]
    assert len(sizes) <= -(-len(trace) // 1000) and max(sizes) < 1000 + 2500 + 7
    assert db.load_trace(path, row) == trace
    assert db.list_traces(path)[0].record_count == 1000
    with db.open_traces(path, [row]) as [file]:  # read piece by piece, across chunk boundaries
        assert [file.read(700) for _ in range(3)] == [trace[:700], trace[700:1400], trace[1400:2100]]
        file.seek(-5, 2)
        assert file.read() == trace[-5:]


def test_busy_timeout_is_honoured(tmp_path):
    path = str(tmp_path / "db.sqlite3")
    db.save_trace_in_sqlite(path, "trc_1", timeout=5, msgpack=make_trace())
    holder = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    holder.execute("BEGIN IMMEDIATE")
    start = time.monotonic()
    with pytest.raises(db.StoreError, match="locked"):
        db.save_trace_in_sqlite(path, "trc_2", timeout=1, msgpack=make_trace())
    assert time.monotonic() - start >= 0.9
    # released in time: the waiting writer gets through
    threading.Timer(0.3, holder.rollback).start()
    db.save_trace_in_sqlite(path, "trc_3", timeout=5, msgpack=make_trace())
    assert [r.trace_id for r in db.list_traces(path)] == ["trc_3", "trc_1"]


def test_newer_schema_is_refused(tmp_path):
    path = str(tmp_path / "db.sqlite3")
    db.save_trace_in_sqlite(path, "trc_1", timeout=5, msgpack=make_trace())
    sqlite3.connect(path).execute(f"PRAGMA user_version = {db.SCHEMA_VERSION + 1}")
    for call in (lambda: db.list_traces(path), lambda: db.save_trace_in_sqlite(path, "t", timeout=1, msgpack=b"\x80")):
        with pytest.raises(db.StoreError, match="newer jarn"):
            call()


@pytest.mark.parametrize(
    ("content", "message"),
    [(None, "no trace database"), (b"this is not sqlite at all" * 100, "not a database"), (b"", "not a jarn")],
)
def test_bad_database_files(tmp_path, content, message):
    path = tmp_path / "db.sqlite3"
    if content is not None:
        path.write_bytes(content)
        if content == b"":
            sqlite3.connect(path).execute("CREATE TABLE other (x)")
    with pytest.raises(db.StoreError, match=message):
        db.list_traces(str(path))


def test_unreadable_trace_is_still_stored(tmp_path):
    path = str(tmp_path / "db.sqlite3")
    row = db.save_trace_in_sqlite(path, "trc_odd", timeout=5, msgpack=b"\xc1garbage")
    assert db.load_trace(path, row) == b"\xc1garbage"
    assert db.list_traces(path)[0].record_count == 0


def test_a_store_of_the_previous_schema_is_brought_up_to_date(tmp_path):
    path = str(tmp_path / "db.sqlite3")
    conn = sqlite3.connect(path)
    conn.executescript(
        "CREATE TABLE traces (row_id INTEGER PRIMARY KEY AUTOINCREMENT, trace_id TEXT NOT NULL, created_at REAL NOT NULL,"
        " size INTEGER NOT NULL, command_line TEXT NOT NULL, source TEXT NOT NULL, record_count INTEGER NOT NULL);"
        "CREATE TABLE trace_chunks (row_id INTEGER NOT NULL REFERENCES traces (row_id) ON DELETE CASCADE,"
        " seq INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY (row_id, seq));"
        "INSERT INTO traces VALUES (1, 'trc_OLD', 1.0, 1, '[\"old.py\"]', '', 0);"
        "INSERT INTO trace_chunks VALUES (1, 0, x'80');"
        "PRAGMA user_version = 1;"
    )
    conn.close()
    db.save_trace_in_sqlite(path, "trc_NEW", timeout=5, msgpack=make_trace(source="GET /x"))
    new, old = db.list_traces(path)
    assert (old.what, old.duration, new.what) == ("old.py", None, "GET /x")
    with db.open_traces(path, [old.row_id]) as [file]:
        assert file.read() == b"\x80"
    assert sqlite3.connect(path).execute("PRAGMA user_version").fetchone()[0] == db.SCHEMA_VERSION
