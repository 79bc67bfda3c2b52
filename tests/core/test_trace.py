"""The trace as bytes, and its hand-over to the host's storage."""

from __future__ import annotations

import struct
import sys
import threading
import time
from pathlib import PurePosixPath
from types import SimpleNamespace
from typing import Any

import pytest
from coresupport import QUIET, compile_program, decode, HostProfiler, raw_records, records

import jarn.git
import jarn.version
from jarn import _jarn

PROGRAM = "def f(i):\n    return i\n"


def s(text: str) -> bytes:
    data = text.encode()
    assert len(data) < 32
    return bytes([0xA0 + len(data)]) + data


def profiler_with_calls(n: int, config: Any = None, **host_args: Any) -> HostProfiler:
    ns = compile_program(PROGRAM)
    host = HostProfiler(QUIET if config is None else config, **host_args)
    _jarn.register_profiler(host)
    for i in range(n):
        ns["f"](i)
    sys.setprofile(None)
    return host


def test_worked_example_byte_for_byte(monkeypatch) -> None:
    monkeypatch.setattr(threading, "main_thread", lambda: SimpleNamespace(native_id=259))
    trace_id = "trc_01ARZ3NDEKTSV4RRFFQ69G5FAV"
    host = HostProfiler(source="cli", trace_id=trace_id)
    before = time.time()
    _jarn.register_profiler(host)
    after = time.time()
    sys.setprofile(None)
    trace = host.rust_profiler.build_trace()

    expected = (
        b"\x88"
        + s("command_line_args") + b"\x91" + s("app.py")
        + s("current_commit_sha") + b"\xc0"
        + s("frames") + b"\x80"
        + s("frames_of_interest") + b"\x90"
        + s("main_thread_id") + b"\xcd\x01\x03"
        + s("meta") + b"\x83"
        + s("version") + s("1.0")
        + s("source") + s("cli")
        + s("use_frame_boundaries") + b"\xc3"
        + s("timestamp") + b"\xcb" + b"\x00" * 8
        + s("trace_id") + s(trace_id)
    )
    assert len(expected) == 203 and len(trace) == 203
    at = expected.index(b"\xcb" + b"\x00" * 8) + 1
    assert trace[:at] == expected[:at]
    assert trace[at + 8 :] == expected[at + 8 :]
    (stamp,) = struct.unpack(">d", trace[at : at + 8])
    assert before - 0.001 <= stamp <= after + 0.001


@pytest.mark.parametrize(
    ("native_id", "encoded"),
    [(None, b"\xc0"), (5, b"\x05"), (127, b"\x7f"), (128, b"\xcc\x80"), (65536, b"\xce\x00\x01\x00\x00"),
     (2**32, b"\xcf\x00\x00\x00\x01\x00\x00\x00\x00")],
)
def test_main_thread_id_forms(monkeypatch, native_id, encoded) -> None:
    monkeypatch.setattr(threading, "main_thread", lambda: SimpleNamespace(native_id=native_id))
    host = profiler_with_calls(0)
    trace = host.rust_profiler.build_trace()
    key = s("main_thread_id")
    assert trace[trace.index(key) + len(key) :].startswith(encoded + s("meta"))


def test_main_thread_without_native_id(monkeypatch) -> None:
    monkeypatch.setattr(threading, "main_thread", lambda: SimpleNamespace())
    host = profiler_with_calls(0)
    assert decode(host.rust_profiler.build_trace())["main_thread_id"] is None


@pytest.mark.parametrize("native_id", [-1, "259", 2.0])
def test_main_thread_bad_native_id_fails_registration(monkeypatch, native_id) -> None:
    monkeypatch.setattr(threading, "main_thread", lambda: SimpleNamespace(native_id=native_id))
    host = HostProfiler()
    with pytest.raises((OverflowError, TypeError)):
        _jarn.register_profiler(host)
    assert sys.getprofile() is None and not hasattr(host, "rust_profiler")


def test_build_trace_twice() -> None:
    host = profiler_with_calls(3)
    first = decode(host.rust_profiler.build_trace())
    second = decode(host.rust_profiler.build_trace())
    assert len(first["frames_of_interest"]) == 6
    assert second["frames_of_interest"] == [] and second["frames"] == {}
    for key in ("trace_id", "timestamp", "main_thread_id", "meta", "command_line_args"):
        assert first[key] == second[key]


@pytest.mark.parametrize(("n", "header"), [(7, b"\x9e"), (8, b"\xdc\x00\x10"), (10, b"\xdc\x00\x14")])
def test_record_array_headers(n: int, header: bytes) -> None:
    host = profiler_with_calls(n)
    trace = host.rust_profiler.build_trace()
    key = s("frames_of_interest")
    body = trace[trace.index(key) + len(key) :]
    assert body.startswith(header)
    recs = raw_records(trace)[None]
    assert len(recs) == 2 * n
    assert body[len(header) :].startswith(b"".join(recs))


@pytest.mark.parametrize(
    ("argv", "commit", "version", "exc"),
    [
        (["app.py", 3], None, "1.0", TypeError),
        ("app.py", None, "1.0", TypeError),
        (None, None, "1.0", TypeError),
        (["app.py"], 123, "1.0", TypeError),
        (["app.py"], None, 1.0, TypeError),
        (["app.py"], None, "\udc80", UnicodeEncodeError),
    ],
)
def test_failed_metadata_keeps_records(monkeypatch, argv, commit, version, exc) -> None:
    host = profiler_with_calls(2)
    monkeypatch.setattr(sys, "argv", argv)
    monkeypatch.setattr(jarn.git, "COMMIT_SHA", commit)
    monkeypatch.setattr(jarn.version, "__version__", version)
    with pytest.raises(exc):
        host.rust_profiler.build_trace()
    monkeypatch.setattr(sys, "argv", ["app.py"])
    monkeypatch.setattr(jarn.git, "COMMIT_SHA", None)
    monkeypatch.setattr(jarn.version, "__version__", "1.0")
    assert [r["arg"] for r in records(host.rust_profiler.build_trace())] == [None, 0, None, 1]


@pytest.mark.parametrize("module", ["jarn.git", "jarn.version"])
def test_missing_host_module_keeps_records(monkeypatch, module) -> None:
    host = profiler_with_calls(1)
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ImportError):
        host.rust_profiler.build_trace()
    monkeypatch.undo()
    # undo also restored the host fixtures' patches; put the trace's inputs back
    monkeypatch.setattr(sys, "argv", ["app.py"])
    monkeypatch.setattr(jarn.git, "COMMIT_SHA", None)
    assert len(records(host.rust_profiler.build_trace())) == 2


@pytest.mark.parametrize(("commit", "encoded"), [(None, b"\xc0"), ("abc", s("abc")), ("", b"\xa0")])
def test_commit_sha(monkeypatch, commit, encoded) -> None:
    monkeypatch.setattr(jarn.git, "COMMIT_SHA", commit)
    trace = profiler_with_calls(0).rust_profiler.build_trace()
    key = s("current_commit_sha")
    assert trace[trace.index(key) + len(key) :].startswith(encoded + s("frames"))


@pytest.mark.parametrize(
    ("argv", "encoded"),
    [
        ([], b"\x90"),
        (["é"], b"\x91\xa2\xc3\xa9"),
        (["x" * 31], b"\x91\xbf" + b"x" * 31),
        (["x" * 32], b"\x91\xd9\x20" + b"x" * 32),
        (["x" * 255], b"\x91\xd9\xff" + b"x" * 255),
        (["x" * 256], b"\x91\xda\x01\x00" + b"x" * 256),
        (["x" * 65536], b"\x91\xdb\x00\x01\x00\x00" + b"x" * 65536),
        (["a"] * 16, b"\xdc\x00\x10" + b"\xa1a" * 16),
    ],
)
def test_command_line_string_forms(monkeypatch, argv, encoded) -> None:
    host = profiler_with_calls(0)
    monkeypatch.setattr(sys, "argv", argv)
    trace = host.rust_profiler.build_trace()
    key = s("command_line_args")
    assert trace[1 : 1 + len(key) + len(encoded)] == key + encoded
    assert decode(trace)["command_line_args"] == argv


def test_long_source_and_trace_id_use_str8() -> None:
    host = profiler_with_calls(0, source="s" * 40, trace_id="t" * 300)
    trace = host.rust_profiler.build_trace()
    assert s("source") + b"\xd9\x28" + b"s" * 40 in trace
    assert trace.endswith(s("trace_id") + b"\xda\x01\x2c" + b"t" * 300)


# --- save_request_in_db -----------------------------------------------------------------------


def test_save_hands_the_trace_to_the_host(saves) -> None:
    host = profiler_with_calls(2, {**QUIET, "sqlite_busy_timeout": 5000}, db_path=PurePosixPath("/tmp/j/db.sqlite3"))
    assert host.rust_profiler.save_request_in_db() is None
    ((args, kwargs),) = saves.calls
    assert args == ("/tmp/j/db.sqlite3", host.trace_id)
    assert list(kwargs) == ["timeout", "msgpack"]
    assert kwargs["timeout"] == 5000 and type(kwargs["timeout"]) is int
    assert type(kwargs["msgpack"]) is bytes
    trace = decode(kwargs["msgpack"])
    assert trace["trace_id"] == host.trace_id
    assert [r["arg"] for r in trace["frames_of_interest"]] == [None, 0, None, 1]


def test_saved_bytes_equal_what_build_trace_gives(saves) -> None:
    host = profiler_with_calls(0)
    host.rust_profiler.save_request_in_db()
    assert saves.calls[0][1]["msgpack"] == host.rust_profiler.build_trace()


def test_save_twice_makes_two_host_calls(saves) -> None:
    host = profiler_with_calls(1)
    host.rust_profiler.save_request_in_db()
    host.rust_profiler.save_request_in_db()
    first, second = saves.traces()
    assert len(first["frames_of_interest"]) == 2 and second["frames_of_interest"] == []
    assert first["trace_id"] == second["trace_id"]


def test_failed_save_keeps_every_record_for_the_next_one(saves) -> None:
    ns = compile_program(PROGRAM)
    host = HostProfiler(QUIET)
    _jarn.register_profiler(host)
    ns["f"](1)
    ns["f"](2)
    sys.setprofile(None)
    error = ValueError("disk full")
    saves.fail_next.append(error)
    with pytest.raises(ValueError) as info:
        host.rust_profiler.save_request_in_db()
    assert info.value is error
    # Events after the failure belong after the kept ones.
    host.rust_profiler.register_threading_profiler(None, None, None)
    ns["f"](3)
    sys.setprofile(None)
    host.rust_profiler.save_request_in_db()
    assert len(saves.calls) == 2
    kept = saves.traces()[1]["frames_of_interest"]
    assert [(r["event"], r["arg"]) for r in kept] == [
        ("call", None), ("return", 1), ("call", None), ("return", 2), ("call", None), ("return", 3)
    ]
    assert decode(host.rust_profiler.build_trace())["frames_of_interest"] == []


@pytest.mark.parametrize("failure", ["import", "lookup"])
def test_unreachable_host_save_keeps_records(monkeypatch, saves, failure) -> None:
    host = profiler_with_calls(1)
    if failure == "import":
        monkeypatch.setitem(sys.modules, "jarn.db", None)
        expected: type[BaseException] = ImportError
    else:
        monkeypatch.delattr("jarn.db.save_trace_in_sqlite")
        expected = AttributeError
    with pytest.raises(expected):
        host.rust_profiler.save_request_in_db()
    monkeypatch.undo()
    monkeypatch.setattr("jarn.db.save_trace_in_sqlite", saves)
    monkeypatch.setattr(sys, "argv", ["app.py"])
    monkeypatch.setattr(jarn.git, "COMMIT_SHA", None)
    host.rust_profiler.save_request_in_db()
    assert len(saves.traces()[-1]["frames_of_interest"]) == 2


def test_methods_refuse_other_receivers() -> None:
    host = profiler_with_calls(0)
    cls = type(host.rust_profiler)
    for name in ("build_trace", "save_request_in_db"):
        with pytest.raises(TypeError):
            getattr(cls, name)(object())
    with pytest.raises(TypeError):
        host.rust_profiler.build_trace(1)


def test_records_made_while_a_failing_save_runs_come_after_the_kept_ones(monkeypatch, saves) -> None:
    import jarn.db

    ns = compile_program(PROGRAM)
    host = HostProfiler({**QUIET, "threading": True})
    _jarn.register_profiler(host)
    sys.setprofile(None)
    first_done, go, made = threading.Event(), threading.Event(), threading.Event()

    def work() -> None:
        for i in range(3):
            ns["f"](i)
        first_done.set()
        go.wait()
        for i in range(3, 6):
            ns["f"](i)
        made.set()

    worker = threading.Thread(target=work)
    worker.start()
    assert first_done.wait(600)

    def failing_save(*args: Any, **kwargs: Any) -> None:
        go.set()
        assert made.wait(600)  # the worker's later records arrive while the host holds the trace
        raise OSError("busy")

    monkeypatch.setattr(jarn.db, "save_trace_in_sqlite", failing_save)
    with pytest.raises(OSError, match="busy"):
        host.rust_profiler.save_request_in_db()
    monkeypatch.setattr(jarn.db, "save_trace_in_sqlite", saves)
    worker.join()
    threading.setprofile(None)
    host.rust_profiler.save_request_in_db()
    recs = saves.traces()[-1]["frames"][worker.native_id]
    assert [r["arg"] for r in recs if r["event"] == "return"] == [0, 1, 2, 3, 4, 5]


# --- memory limit and pieces ------------------------------------------------------------------


@pytest.mark.parametrize(("calls", "limit"), [(0, 1), (3, 10**9), (40, 1), (40, 2500), (3000, 10**9)])
@pytest.mark.parametrize("settle", ["restore", "drop"])
def test_pieces_are_the_trace_and_go_back_when_not_stored(calls, limit, settle) -> None:
    host = profiler_with_calls(calls, {**QUIET, "max_trace_bytes": limit})
    pieces = host.rust_profiler.take_trace_pieces()
    joined = b"".join(pieces)
    recs = decode(joined)["frames_of_interest"]
    assert len(pieces) == len(joined) and pieces.trace_id == host.trace_id
    assert pieces.summary == (["app.py"], "core-tests", len(recs), 0)
    if settle == "restore":
        pieces.restore()
    del pieces
    assert host.rust_profiler.build_trace() == joined
    # Stored pieces are gone for good, and the next trace starts with a fresh allowance.
    committed = host.rust_profiler.take_trace_pieces()
    committed.commit()
    assert decode(host.rust_profiler.build_trace())["frames_of_interest"] == []


@pytest.mark.parametrize("limit", [1, 700, 2500])
def test_records_past_the_memory_limit_are_counted_not_kept(caplog, limit) -> None:
    host = profiler_with_calls(20, {**QUIET, "max_trace_bytes": limit})
    trace = host.rust_profiler.build_trace()
    *kept, closing = decode(trace)["frames_of_interest"]
    kept_bytes = sum(len(r) for r in raw_records(trace)[None][:-1])
    assert list(closing) == ["type", "timestamp", "records_dropped", "bytes_dropped", "limit_bytes"]
    assert closing["type"] == "truncated" and closing["limit_bytes"] == limit
    assert len(kept) + closing["records_dropped"] == 40 and kept_bytes <= limit < kept_bytes + closing["bytes_dropped"]
    assert all(r["type"] == "frame" for r in kept) and closing["timestamp"] >= decode(trace)["timestamp"]
    [warning] = [r for r in caplog.records if "memory limit" in r.getMessage()]
    assert warning.name == "jarn" and host.trace_id in warning.getMessage()
    assert "truncated" not in {r["type"] for r in decode(host.rust_profiler.build_trace())["frames_of_interest"]}
