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

import jarn.db
import jarn.git
import jarn.version
from jarn import _jarn

PROGRAM = "def f(i):\n    return i\n"
TRACE_ID = "trc_01ARZ3NDEKTSV4RRFFQ69G5FAV"


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


def empty_trace(argv: bytes = b"\x91" + s("app.py"), commit: bytes = b"\xc0", main: bytes = b"\xcd\x01\x03",
                source: bytes = s("cli"), trace_id: bytes = s(TRACE_ID)) -> bytes:
    return (b"\x88" + s("command_line_args") + argv + s("current_commit_sha") + commit + s("frames") + b"\x80"
            + s("frames_of_interest") + b"\x90" + s("main_thread_id") + main + s("meta") + b"\x83" + s("version")
            + s("1.0") + s("source") + source + s("use_frame_boundaries") + b"\xc3" + s("timestamp") + b"\xcb"
            + b"\x00" * 8 + s("trace_id") + trace_id)


@pytest.mark.parametrize(
    ("setting", "value", "encoded"),
    [
        ("main", 259, b"\xcd\x01\x03"), ("main", None, b"\xc0"), ("main", "missing", b"\xc0"), ("main", 5, b"\x05"),
        ("main", 127, b"\x7f"), ("main", 128, b"\xcc\x80"), ("main", 65536, b"\xce\x00\x01\x00\x00"),
        ("main", 2**32, b"\xcf\x00\x00\x00\x01\x00\x00\x00\x00"),
        ("commit", "abc", s("abc")), ("commit", "", b"\xa0"),
        ("argv", [], b"\x90"), ("argv", ["é"], b"\x91\xa2\xc3\xa9"), ("argv", ["x" * 31], b"\x91\xbf" + b"x" * 31),
        ("argv", ["x" * 32], b"\x91\xd9\x20" + b"x" * 32), ("argv", ["x" * 255], b"\x91\xd9\xff" + b"x" * 255),
        ("argv", ["x" * 256], b"\x91\xda\x01\x00" + b"x" * 256),
        ("argv", ["x" * 65536], b"\x91\xdb\x00\x01\x00\x00" + b"x" * 65536),
        ("argv", ["a"] * 16, b"\xdc\x00\x10" + b"\xa1a" * 16),
        ("source", "s" * 40, b"\xd9\x28" + b"s" * 40), ("trace_id", "t" * 300, b"\xda\x01\x2c" + b"t" * 300),
    ],
)
def test_empty_trace_byte_for_byte(monkeypatch, setting: str, value: Any, encoded: bytes) -> None:
    host_args = {"source": "cli", "trace_id": TRACE_ID}
    main = value if setting == "main" else 259
    monkeypatch.setattr(threading, "main_thread",
                        lambda: SimpleNamespace() if main == "missing" else SimpleNamespace(native_id=main))
    if setting in host_args:
        host_args[setting] = value
    elif setting != "main":
        monkeypatch.setattr(*{"argv": (sys, "argv"), "commit": (jarn.git, "COMMIT_SHA")}[setting], value)
    host = HostProfiler(**host_args)
    before = time.time()
    _jarn.register_profiler(host)
    after = time.time()
    sys.setprofile(None)
    trace = host.rust_profiler.build_trace()
    expected = empty_trace(**{setting: encoded})
    at = expected.index(b"\xa9timestamp\xcb") + 11
    assert len(trace) == len(expected) and trace[:at] == expected[:at] and trace[at + 8 :] == expected[at + 8 :]
    (stamp,) = struct.unpack(">d", trace[at : at + 8])
    assert before - 0.001 <= stamp <= after + 0.001


@pytest.mark.parametrize("native_id", [-1, "259", 2.0])
def test_main_thread_bad_native_id_fails_registration(monkeypatch, native_id) -> None:
    monkeypatch.setattr(threading, "main_thread", lambda: SimpleNamespace(native_id=native_id))
    host = HostProfiler()
    with pytest.raises((OverflowError, TypeError)):
        _jarn.register_profiler(host)
    assert sys.getprofile() is None and not hasattr(host, "rust_profiler")


@pytest.mark.parametrize(("n", "header"), [(7, b"\x9e"), (8, b"\xdc\x00\x10"), (10, b"\xdc\x00\x14")])
def test_record_array_headers(n: int, header: bytes) -> None:
    trace = profiler_with_calls(n).rust_profiler.build_trace()
    key = s("frames_of_interest")
    body = trace[trace.index(key) + len(key) :]
    recs = raw_records(trace)[None]
    assert len(recs) == 2 * n and body.startswith(header + b"".join(recs))


@pytest.mark.parametrize(
    ("target", "value", "exc"),
    [("argv", ["app.py", 3], TypeError), ("argv", "app.py", TypeError), ("argv", None, TypeError),
     ("commit", 123, TypeError), ("version", 1.0, TypeError), ("version", "\udc80", UnicodeEncodeError),
     ("module", "jarn.git", ImportError), ("module", "jarn.version", ImportError)],
)
def test_failed_metadata_keeps_records(target, value, exc) -> None:
    host = profiler_with_calls(2)
    with pytest.MonkeyPatch.context() as patch:
        if target == "module":
            patch.setitem(sys.modules, value, None)
        else:
            place = {"argv": (sys, "argv"), "commit": (jarn.git, "COMMIT_SHA"), "version": (jarn.version, "__version__")}
            patch.setattr(*place[target], value)
        with pytest.raises(exc):
            host.rust_profiler.build_trace()
    assert [r["arg"] for r in records(host.rust_profiler.build_trace())] == [None, 0, None, 1]


# --- save_request_in_db -----------------------------------------------------------------------


def test_save_hands_the_trace_to_the_host(saves) -> None:
    host = profiler_with_calls(2, {**QUIET, "sqlite_busy_timeout": 5000}, db_path=PurePosixPath("/tmp/j/db.sqlite3"))
    assert host.rust_profiler.save_request_in_db() is None
    host.rust_profiler.save_request_in_db()
    (args, kwargs), (args2, kwargs2) = saves.calls
    assert args == args2 == ("/tmp/j/db.sqlite3", host.trace_id)
    assert list(kwargs) == ["timeout", "msgpack"]
    assert kwargs["timeout"] == 5000 and type(kwargs["timeout"]) is int and type(kwargs["msgpack"]) is bytes
    first, second = saves.traces()
    assert first["trace_id"] == second["trace_id"] == host.trace_id
    assert [r["arg"] for r in first["frames_of_interest"]] == [None, 0, None, 1]
    assert second["frames_of_interest"] == [] and second["frames"] == {}
    assert kwargs2["msgpack"] == host.rust_profiler.build_trace()
    for key in ("timestamp", "main_thread_id", "meta", "command_line_args"):
        assert first[key] == second[key]


@pytest.mark.parametrize("failure", ["raises", "import", "lookup"])
def test_failed_save_keeps_every_record_for_the_next_one(saves, failure) -> None:
    ns = compile_program(PROGRAM)
    host = HostProfiler(QUIET)
    _jarn.register_profiler(host)
    ns["f"](1)
    ns["f"](2)
    sys.setprofile(None)
    error = ValueError("disk full")
    with pytest.MonkeyPatch.context() as patch:
        if failure == "raises":
            saves.fail_next.append(error)
        elif failure == "import":
            patch.setitem(sys.modules, "jarn.db", None)
        else:
            patch.delattr(jarn.db, "save_trace_in_sqlite")
        with pytest.raises(Exception) as info:
            host.rust_profiler.save_request_in_db()
    assert isinstance(info.value, {"raises": ValueError, "import": ImportError, "lookup": AttributeError}[failure])
    assert (info.value is error) is (failure == "raises")
    # Events after the failure belong after the kept ones.
    host.rust_profiler.register_threading_profiler(None, None, None)
    ns["f"](3)
    sys.setprofile(None)
    host.rust_profiler.save_request_in_db()
    assert [(r["event"], r["arg"]) for r in saves.traces()[-1]["frames_of_interest"]] == [
        ("call", None), ("return", 1), ("call", None), ("return", 2), ("call", None), ("return", 3)]
    assert decode(host.rust_profiler.build_trace())["frames_of_interest"] == []


def test_records_made_while_a_failing_save_runs_come_after_the_kept_ones(monkeypatch, saves) -> None:
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


@pytest.mark.parametrize(("calls", "limit", "settle"),
                         [(0, 1, "restore"), (3, 10**9, "drop"), (40, 1, "drop"), (40, 2500, "restore"),
                          (3000, 10**9, "drop")])
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
    host.rust_profiler.take_trace_pieces().commit()
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
    assert warning.name == "jarn" and warning.getMessage() == (
        f"jarn: trace {host.trace_id} reached its memory limit of {limit} bytes (max_trace_bytes); "
        "later records are counted, not kept")
    assert "truncated" not in {r["type"] for r in decode(host.rust_profiler.build_trace())["frames_of_interest"]}
