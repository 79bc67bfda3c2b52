"""The SQLite trace store."""

import sqlite3
import threading

import msgpack
import pytest

from jarn import db


def make_trace(records: int = 2, threads: int = 1, source: str = "pytest") -> bytes:
    frames = [{"type": "start_test", "test_id": "t.py::test_a", "timestamp": 10.0}]
    frames += [{"type": "frame", "event": "call", "timestamp": 10.0 + i} for i in range(1, records)]
    return msgpack.packb({
        "command_line_args": ["prog.py", "--x"], "current_commit_sha": None, "frames": {1000 + t: frames for t in range(threads)},
        "frames_of_interest": frames, "main_thread_id": 1, "meta": {"version": "1", "source": source}, "trace_id": "trc_x"})


class Pieces(list):
    """A trace handed out in pieces, as the profiler's take_trace_pieces does."""

    def __init__(self, trace: bytes, step: int) -> None:
        super().__init__(trace[i : i + step] for i in range(0, len(trace), step))
        s = db.summarize(trace)
        self.size, self.summary = len(trace), (s.command_line, s.source, s.record_count, s.other_threads_record_count)

    def __len__(self) -> int:
        return self.size


@pytest.mark.parametrize("given", [bytes, lambda t: Pieces(t, 333), lambda t: Pieces(t, 2500)], ids=["bytes", "small pieces", "big pieces"])
def test_a_trace_is_stored_in_chunks_and_summarised(tmp_path, monkeypatch, given):
    monkeypatch.setattr(db, "CHUNK_SIZE", 1000)
    path = str(tmp_path / "deep" / "db.sqlite3")
    trace = make_trace(records=500, threads=2)
    row = db.save_trace_in_sqlite(path, "trc_BIG", timeout=5, msgpack=given(trace))
    sizes = [n for (n,) in sqlite3.connect(path).execute("SELECT length(data) FROM trace_chunks WHERE row_id = ? ORDER BY seq", (row,))]
    assert len(sizes) <= -(-len(trace) // 1000) and max(sizes) < 1000 + 2500
    assert db.load_trace(path, row) == trace
    [info] = db.list_traces(path)
    assert (info.trace_id, info.command_line, info.source, info.record_count, info.size, info.duration, info.what) == (
        "trc_BIG", ["prog.py", "--x"], "pytest", 1500, len(trace), 499.0, "t.py::test_a")
    assert sqlite3.connect(path).execute("PRAGMA journal_mode").fetchone()[0] == "wal"
    with db.open_traces(path, [row]) as [file]:  # read piece by piece, across chunk boundaries
        assert [file.read(700) for _ in range(3)] == [trace[:700], trace[700:1400], trace[1400:2100]]
        file.seek(-5, 2)
        assert file.read() == trace[-5:]


def test_rows_lookups_locks_and_a_store_of_the_previous_schema(tmp_path):
    path = str(tmp_path / "db.sqlite3")
    sqlite3.connect(path).executescript(
        "CREATE TABLE traces (row_id INTEGER PRIMARY KEY AUTOINCREMENT, trace_id TEXT NOT NULL, created_at REAL NOT NULL,"
        " size INTEGER NOT NULL, command_line TEXT NOT NULL, source TEXT NOT NULL, record_count INTEGER NOT NULL);"
        "CREATE TABLE trace_chunks (row_id INTEGER NOT NULL REFERENCES traces (row_id) ON DELETE CASCADE,"
        " seq INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY (row_id, seq));"
        "INSERT INTO traces VALUES (1, 'trc_OLD', 1.0, 1, '[\"old.py\"]', '', 0); INSERT INTO trace_chunks VALUES (1, 0, x'80');"
        "PRAGMA user_version = 1;").connection.close()
    first = db.save_trace_in_sqlite(path, "trc_ABC1", timeout=5, msgpack=make_trace(1))
    odd = db.save_trace_in_sqlite(path, "trc_ABD2", timeout=5, msgpack=b"\xc1garbage")  # stored all the same
    second = db.save_trace_in_sqlite(path, "trc_ABC1", timeout=5, msgpack=make_trace(4, source="GET /x"))
    assert sqlite3.connect(path).execute("PRAGMA user_version").fetchone()[0] == db.SCHEMA_VERSION
    assert [(r.trace_id, r.record_count, r.what, r.duration) for r in db.list_traces(path)] == [
        ("trc_ABC1", 8, "GET /x", 3.0), ("trc_ABD2", 0, "", None), ("trc_ABC1", 2, "t.py::test_a", 0.0), ("trc_OLD", 0, "old.py", None)]
    assert [r.row_id for r in db.list_traces(path, limit=1)] == [second] and db.latest(path).row_id == second
    assert db.load_trace(path, odd) == b"\xc1garbage" and db.load_trace(path, 1) == b"\x80"
    assert [r.row_id for r in db.find_rows(path, "trc_ABC")] == [first, second] == [r.row_id for r in db.find_rows(path, "trc_ABC1")]
    assert db.find_rows(path, "trc_Z") == [] and db.find_rows(path, "trc_A%") == []  # LIKE wildcards are plain
    with pytest.raises(db.StoreError, match="'trc_AB' matches 2 traces"):
        db.find_rows(path, "trc_AB")
    holder = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    holder.execute("BEGIN IMMEDIATE")
    with pytest.raises(db.StoreError, match="database is locked"):
        db.save_trace_in_sqlite(path, "trc_2", timeout=0, msgpack=make_trace())
    releaser = threading.Thread(target=holder.rollback)
    releaser.start()  # while the next writer waits for the lock, or before it asks: it gets through
    db.save_trace_in_sqlite(path, "trc_3", timeout=600, msgpack=make_trace())
    releaser.join()
    assert [r.trace_id for r in db.list_traces(path, limit=2)] == ["trc_3", "trc_ABC1"]


def newer_schema(path):
    db.save_trace_in_sqlite(str(path), "trc_1", timeout=5, msgpack=make_trace())
    sqlite3.connect(path).execute(f"PRAGMA user_version = {db.SCHEMA_VERSION + 1}")


@pytest.mark.parametrize(("setup", "call", "message"), [
        (lambda p: None, db.list_traces, "no trace database at "),
        (lambda p: p.write_bytes(b"this is not sqlite at all" * 100), db.list_traces, "not a database"),
        (lambda p: sqlite3.connect(p).execute("CREATE TABLE other (x)"), db.list_traces, "is not a jarn trace database"),
        (newer_schema, db.list_traces, "was written by a newer jarn"),
        (newer_schema, lambda p: db.save_trace_in_sqlite(p, "t", timeout=1, msgpack=b"\x80"), "newer jarn"),
        (lambda p: db.save_trace_in_sqlite(str(p), "t", timeout=1, msgpack=b"\x80"), lambda p: db.load_trace(p, 7), "no stored trace with row id 7"),
])
def test_bad_stores_are_refused(tmp_path, setup, call, message):
    setup(tmp_path / "db.sqlite3")
    with pytest.raises(db.StoreError, match=message):
        call(str(tmp_path / "db.sqlite3"))
