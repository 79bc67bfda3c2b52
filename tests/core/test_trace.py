"""The trace as bytes, and its hand-over to the host's storage."""

from __future__ import annotations

import sys
import threading
import time
from types import SimpleNamespace
from typing import Any

import msgpack
import pytest
from support import canonical, FIXED_TRACE_ID, QUIET, STOP, compile_program, decode, HostProfiler, records, run_thread, start

import jarn.db
import jarn.git
import jarn.version
from jarn import _jarn



F = compile_program("def f(i):\n    return i\n")["f"]


def profiler_with_calls(n: int, config: Any = None) -> HostProfiler:
    host = start(QUIET if config is None else config)
    for i in range(n):
        F(i)
    sys.setprofile(None)
    return host


@pytest.mark.parametrize(
    ("setting", "value"),
    [*[("main", n) for n in [259, None, "missing", 5, 127, 128, 255, 256, 65535, 65536, 2**32 - 1, 2**32]],
     ("commit", "abc"), ("commit", ""), ("source", "s" * 40), ("trace_id", "t" * 300), ("argv", []), ("argv", ["é"]),
     ("argv", ["a"] * 16), *[("argv", ["x" * n]) for n in [31, 32, 255, 256, 65535, 65536]]],
)
def test_empty_trace_byte_for_byte(monkeypatch, setting: str, value: Any) -> None:
    want = {"argv": ["app.py"], "commit": None, "main": 259, "source": "cli", "trace_id": FIXED_TRACE_ID, setting: value}
    monkeypatch.setattr(threading, "main_thread", lambda: SimpleNamespace(
        **({} if want["main"] == "missing" else {"native_id": want["main"]})))
    monkeypatch.setattr(sys, "argv", want["argv"])
    monkeypatch.setattr(jarn.git, "COMMIT_SHA", want["commit"])
    host = HostProfiler(source=want["source"], trace_id=want["trace_id"])
    before = time.time()
    _jarn.register_profiler(host)
    after = time.time()
    sys.setprofile(None)
    trace = canonical(host.rust_profiler.build_trace())
    assert list(trace.items()) == [
        ("command_line_args", want["argv"]), ("current_commit_sha", want["commit"]), ("frames", {}),
        ("frames_of_interest", []), ("main_thread_id", None if want["main"] == "missing" else want["main"]),
        ("meta", {"version": "1.0", "source": want["source"], "use_frame_boundaries": True}),
        ("timestamp", trace["timestamp"]), ("trace_id", want["trace_id"])]
    assert list(trace["meta"]) == ["version", "source", "use_frame_boundaries"]
    assert before - 0.001 <= trace["timestamp"] <= after + 0.001


@pytest.mark.parametrize(
    ("target", "value", "exc"),
    [("argv", ["app.py", 3], TypeError), ("argv", "app.py", TypeError), ("argv", None, TypeError),
     ("commit", 123, TypeError), ("version", 1.0, TypeError), ("version", "\udc80", UnicodeEncodeError),
     ("module", "jarn.git", ImportError), ("module", "jarn.version", ImportError)],
)
def test_failed_metadata_keeps_records(target, value, exc) -> None:
    host = profiler_with_calls(2)
    with pytest.MonkeyPatch.context() as patch:
        places = {"argv": (sys, "argv"), "commit": (jarn.git, "COMMIT_SHA"), "version": (jarn.version, "__version__")}
        patch.setitem(sys.modules, value, None) if target == "module" else patch.setattr(*places[target], value)
        with pytest.raises(exc):
            host.rust_profiler.build_trace()
    assert [r["arg"] for r in records(host.rust_profiler.build_trace())] == [None, 0, None, 1]


# --- save_request_in_db -----------------------------------------------------------------------


@pytest.mark.parametrize("failure", ["raises", "import", "lookup"])
def test_failed_save_keeps_every_record_for_the_next_one(saves, failure) -> None:
    host = start({**QUIET, "threading": True})
    F(1)
    worker = run_thread(F, "before")
    error = ValueError("disk full")

    def failing_save(*args: Any, **kwargs: Any) -> None:
        F("during")  # recorded while the host holds the trace: it belongs after the kept ones
        raise error

    with pytest.MonkeyPatch.context() as patch:
        {"raises": lambda: patch.setattr(jarn.db, "save_trace_in_sqlite", failing_save),
         "import": lambda: patch.setitem(sys.modules, "jarn.db", None),
         "lookup": lambda: patch.delattr(jarn.db, "save_trace_in_sqlite")}[failure]()
        with pytest.raises(Exception) as info:
            host.rust_profiler.save_request_in_db()
    assert isinstance(info.value, {"raises": ValueError, "import": ImportError, "lookup": AttributeError}[failure])
    assert (info.value is error) is (failure == "raises")
    F(3)
    sys.setprofile(None)
    threading.setprofile(None)
    host.rust_profiler.save_request_in_db()
    saved = saves.traces()[-1]
    assert [r["arg"] for r in saved["frames_of_interest"]] == [None, 1] + [None, "during"] * (failure == "raises") + [None, 3]
    assert [r["arg"] for r in saved["frames"][worker.native_id]] == [None, "before"]
    assert decode(host.rust_profiler.build_trace())["frames_of_interest"] == []


# --- memory limit and pieces ------------------------------------------------------------------


@pytest.mark.parametrize(("calls", "limit", "settle"),
                         [(0, 1, "restore"), (7, 10**9, "drop"), (40, 1, "drop"), (40, 2500, "restore"),
                          (33000, 10**9, "drop")])
def test_pieces_are_the_trace_and_go_back_when_not_stored(calls, limit, settle) -> None:
    host = profiler_with_calls(calls, {**QUIET, "max_trace_bytes": limit})
    pieces = host.rust_profiler.take_trace_pieces()
    joined = b"".join(pieces)
    recs = canonical(joined)["frames_of_interest"]
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
    trace = canonical(host.rust_profiler.build_trace())
    *kept, closing = trace["frames_of_interest"]
    kept_bytes = sum(len(msgpack.packb(r)) for r in kept)
    assert list(closing) == ["type", "timestamp", "records_dropped", "bytes_dropped", "limit_bytes"]
    assert closing["type"] == "truncated" and closing["limit_bytes"] == limit
    assert len(kept) + closing["records_dropped"] == 40 and kept_bytes <= limit < kept_bytes + closing["bytes_dropped"]
    assert all(r["type"] == "frame" for r in kept) and closing["timestamp"] >= trace["timestamp"]
    [warning] = [r for r in caplog.records if "memory limit" in r.getMessage()]
    assert warning.name == "jarn" and warning.getMessage() == (
        f"jarn: trace {host.trace_id} reached its memory limit of {limit} bytes (max_trace_bytes); "
        "later records are counted, not kept")
    assert "truncated" not in {r["type"] for r in decode(host.rust_profiler.build_trace())["frames_of_interest"]}


@pytest.mark.parametrize("using", ["profile", "monitoring"])
def test_past_the_limit_nothing_is_kept_until_the_next_trace(caplog, using: str) -> None:
    # The monitoring engine switches the places off past the limit, so it counts at least one
    # record dropped; the next trace records them again from its first event.
    host = start({**QUIET, "max_trace_bytes": 1200}, using)
    for i in range(20):
        F(i)
    first = decode(host.rust_profiler.build_trace())["frames_of_interest"]
    for i in range(2):
        F(i)
    STOP[using]()
    second = decode(host.rust_profiler.build_trace())["frames_of_interest"]
    assert first[-1]["type"] == "truncated" and 1 <= first[-1]["records_dropped"] <= 40 - (len(first) - 1)
    assert [(r["event"], r["arg"]) for r in second if r["type"] == "frame"] == [("call", None), ("return", 0), ("call", None), ("return", 1)]
