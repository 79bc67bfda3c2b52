"""Plugin records made during profiling, and test boundaries in one-trace-per-test mode."""

from __future__ import annotations

import logging
import re
import sys
import threading
from collections.abc import Mapping
from types import FunctionType
from typing import Any

import pytest
from coresupport import APP, QUIET, compile_program, decode, HostProfiler, plain_dump, register, unregister

import jarn.serialize
from jarn import _jarn

pytestmark = pytest.mark.usefixtures("engine")  # each test runs with both event engines

FRAME_ID = re.compile(r"^frm_[0-7][0-9A-HJKMNP-TV-Z]{25}$")
TRACE_ID = re.compile(r"^trc_[0-7][0-9A-HJKMNP-TV-Z]{25}$")


def entry(**changes: Any) -> dict[str, Any]:
    base: dict[str, Any] = {"co_names": ["f"], "path_fragment": "/srv/app/", "call_type": "c", "return_type": "r"}
    base.update(changes)
    return base


def run(plugins, entries: list[Any], src: str = "def f(x):\n    return x\n", *args: Any, filename: str = f"{APP}/prog.py",
        config: Any = None, call: str = "f", **host_args: Any) -> tuple[HostProfiler, list[dict[str, Any]]]:
    plugins(entries)
    ns = compile_program(src, filename)
    host = HostProfiler(QUIET if config is None else config, **host_args)
    register(host)
    try:
        ns[call](*(args or ((1,) if call == "f" else ())))
    finally:
        unregister()
    return host, decode(host.rust_profiler.build_trace())["frames_of_interest"]


def kinds(recs: list[dict[str, Any]]) -> list[str]:
    return [r["type"] if r["type"] != "frame" else f"frame:{r['event']}" for r in recs]


def jarn_warnings(caplog) -> list[logging.LogRecord]:
    return [r for r in caplog.records if r.name == "jarn"]


def test_plugin_record_layout(plugins) -> None:
    seen: list[tuple[Any, ...]] = []

    def process(frame, event, arg, context):
        seen.append((frame.f_code.co_name, event, arg, context))
        return {"type": "c2" if event == "call" else "r", "extra": event, "frame_id": "mine"}

    _, recs = run(plugins, [entry(subtype="sub", process=process, build_context=lambda c: {"k": 1})])
    plugin_call, call_frame, frame_ret, plugin_ret = recs
    assert kinds(recs) == ["c2", "frame:call", "frame:return", "r"]
    assert list(plugin_call) == ["frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type",
                                 "subtype", "extra"]
    assert plugin_call["frame_id"] == "mine" and plugin_call["subtype"] == "sub"
    assert isinstance(plugin_call["timestamp"], float)
    assert plugin_call["thread"] == "MainThread"
    assert seen == [("f", "call", None, {"k": 1}), ("f", "return", 1, {"k": 1})]
    # A return record's call site names the recorded frame itself (its own entry is still open).
    assert plugin_ret["user_code_call_site"] == {"call_frame_id": frame_ret["frame_id"], "line_number": 2}
    # At the call, plugins run before the frame's own entry is pushed: nothing is open.
    assert plugin_call["user_code_call_site"] is None
    assert call_frame["frame_id"] == frame_ret["frame_id"] != plugin_call["frame_id"]


def test_return_gets_the_identifier_stored_at_the_call_even_when_overridden(plugins) -> None:
    _, recs = run(plugins, [entry(process=lambda f, e, a, c: {"frame_id": "x"} if e == "call" else {})])
    plugin = [r for r in recs if r["type"] != "frame"]
    assert plugin[0]["frame_id"] == "x"
    assert FRAME_ID.match(plugin[1]["frame_id"])


def test_call_and_return_pair_and_processors_have_own_ids(plugins) -> None:
    _, recs = run(plugins, [entry(call_type="a", return_type="a"), entry(call_type="b", return_type="b")])
    assert kinds(recs) == ["a", "b", "frame:call", "frame:return", "b", "a"]
    ids = {k: [r["frame_id"] for r in recs if r["type"] == k] for k in "ab"}
    assert ids["a"][0] == ids["a"][1] and ids["b"][0] == ids["b"][1] and ids["a"][0] != ids["b"][0]


def test_no_fragment_match_calls_nothing(plugins) -> None:
    called: list[str] = []
    _, recs = run(plugins, [entry(path_fragment="/elsewhere/", call=lambda *a: called.append("call") or True,
                                  process=lambda *a: called.append("process") or {})])
    assert called == [] and kinds(recs) == ["frame:call", "frame:return"]


@pytest.mark.parametrize("fragment", ["", "prog.py", f"{APP}/prog.py"])
def test_fragments_that_match(plugins, fragment) -> None:
    _, recs = run(plugins, [entry(path_fragment=fragment)])
    assert kinds(recs) == ["c", "frame:call", "frame:return", "r"]


@pytest.mark.parametrize(
    ("result", "message"),
    [(1, "'int' object cannot be converted to 'PyBool'"), (None, "'NoneType' object cannot be converted to 'PyBool'"),
     ("yes", "'str' object cannot be converted to 'PyBool'")],
)
def test_call_must_return_a_bool(plugins, caplog, result, message) -> None:
    with caplog.at_level(logging.WARNING, logger="jarn"):
        _, recs = run(plugins, [entry(call=lambda *a: result, call_type="bad", return_type="bad"), entry()])
    assert kinds(recs) == ["c", "frame:call", "frame:return", "r"]
    warnings = jarn_warnings(caplog)
    assert len(warnings) == 2
    assert all(str(w.exc_info[1]) == message and w.exc_info[0] is TypeError for w in warnings)


def test_call_false_skips_and_call_raising_is_reported(plugins, caplog) -> None:
    def boom(*a):
        raise ValueError("in call")

    with caplog.at_level(logging.WARNING, logger="jarn"):
        _, recs = run(plugins, [entry(call=lambda *a: False), entry(call=boom), entry(call=lambda f, e, a, c: e == "return")])
    assert kinds(recs) == ["frame:call", "frame:return", "r"]
    assert [type(w.exc_info[1]) for w in jarn_warnings(caplog)] == [ValueError, ValueError]
    # the return whose call was skipped gets a fresh identifier
    assert FRAME_ID.match(recs[2]["frame_id"])


class ReadOnly(Mapping):
    def __init__(self, data: dict[str, Any]) -> None:
        self.data = data

    def __getitem__(self, key: str) -> Any:
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self) -> int:
        return len(self.data)


class DictSub(dict):
    pass


@pytest.mark.parametrize(
    ("result", "error"),
    [
        (None, "'NoneType' object cannot be converted to 'Mapping'"),
        ([("a", 1)], "'list' object cannot be converted to 'Mapping'"),
        ("abc", "'str' object cannot be converted to 'Mapping'"),
        ({"type": 5}, "'int' object cannot be converted to 'PyString'"),
        ({"type": None}, "'NoneType' object cannot be converted to 'PyString'"),
        (ReadOnly({"a": 1}), None),
        (DictSub(a=1), None),
        ({"a": 1, "thread": "renamed"}, None),
    ],
)
def test_process_results(plugins, caplog, result, error) -> None:
    with caplog.at_level(logging.WARNING, logger="jarn"):
        _, recs = run(plugins, [entry(process=lambda *a: result)])
    warnings = jarn_warnings(caplog)
    if error:
        assert kinds(recs) == ["frame:call", "frame:return"]
        assert len(warnings) == 2 and all(str(w.exc_info[1]) == error for w in warnings)
    else:
        assert not warnings
        plugin = [r for r in recs if r["type"] != "frame"]
        assert len(plugin) == 2 and plugin[0]["a"] == 1
        if "thread" in result:
            keys = list(plugin[0])
            assert keys.index("thread") == 2 and plugin[0]["thread"] == "renamed" and keys[-1] == "a"


def test_process_raising_is_confined_to_its_processor(plugins, caplog) -> None:
    def boom(*a):
        raise LookupError("in process")

    with caplog.at_level(logging.WARNING, logger="jarn"):
        _, recs = run(plugins, [entry(process=boom), entry(call_type="ok", return_type="ok")])
    assert kinds(recs) == ["ok", "frame:call", "frame:return", "ok"]
    assert len(jarn_warnings(caplog)) == 2


def test_plugin_data_that_cannot_be_serialised_is_reported(plugins, monkeypatch, caplog) -> None:
    def picky(value: Any) -> bytes:
        if isinstance(value, dict) and value.get("bad"):
            raise TypeError("no")
        return plain_dump(value)

    monkeypatch.setattr(jarn.serialize, "dump_msgpack", picky)
    with caplog.at_level(logging.WARNING, logger="jarn"):
        _, recs = run(plugins, [entry(process=lambda *a: {"bad": True}), entry(call_type="ok", return_type="ok")])
    assert kinds(recs) == ["ok", "frame:call", "frame:return", "ok"]
    assert len(jarn_warnings(caplog)) == 2


@pytest.mark.parametrize(
    ("wanted", "expected"),
    [(["call"], ["c", "frame:call", "frame:return"]), (("return",), ["frame:call", "frame:return", "r"]),
     ([], ["frame:call", "frame:return"]), (["CALL"], ["frame:call", "frame:return"])],
)
def test_events_filter(plugins, wanted, expected) -> None:
    _, recs = run(plugins, [entry(events=wanted)])
    assert kinds(recs) == expected


def test_dropped_frames_still_give_plugin_records(plugins) -> None:
    # At every call, not only the first: a watched frame is never switched off.
    src = "def f(x):\n    return x\ndef loop(n):\n    for i in range(n):\n        f(i)\n"
    _, recs = run(plugins, [entry(path_fragment="json/")], src, 3, filename="/usr/lib/python3.12/json/fake.py", call="loop")
    assert kinds(recs) == ["c", "r"] * 3
    assert recs[0]["user_code_call_site"] is None


def test_plugin_records_survive_a_failing_frame_record(plugins, monkeypatch, caplog) -> None:
    class Poison:
        pass

    def picky(value: Any) -> bytes:
        if isinstance(value, Poison) or (isinstance(value, dict) and any(isinstance(v, Poison) for v in value.values())):
            raise RuntimeError("poison")
        return plain_dump(value)

    monkeypatch.setattr(jarn.serialize, "dump_msgpack", picky)
    with caplog.at_level(logging.WARNING, logger="jarn"):
        _, recs = run(plugins, [entry()], "def f(x):\n    return 1\n", Poison())
    assert kinds(recs) == ["c", "r"]
    assert len(jarn_warnings(caplog)) == 2  # one per event


def test_plugin_records_survive_an_unreadable_frame(plugins, caplog) -> None:
    plugins([entry(co_names=["weird"])])
    ns = compile_program("def weird():\n    return 1\n")

    class Globals(dict):  # a module name that cannot be read fails the frame record
        def __getitem__(self, key: str) -> Any:
            raise RuntimeError(key)

    ns["weird"] = FunctionType(ns["weird"].__code__, Globals(ns))
    host = HostProfiler(QUIET)
    with caplog.at_level(logging.WARNING, logger="jarn"):
        register(host)
        ns["weird"]()
        unregister()
    recs = decode(host.rust_profiler.build_trace())["frames_of_interest"]
    # Both plugin records are kept although the frame records failed.
    assert kinds(recs) == ["c", "r"]
    assert len(jarn_warnings(caplog)) == 2


# --- one trace per test -----------------------------------------------------------------------

TESTS = """
def before():
    return 0
def test_a():
    return 1
def test_b():
    return 2
def after():
    return 3
def main():
    before()
    test_a()
    test_b()
    after()
"""


def boundary_entry() -> dict[str, Any]:
    return entry(co_names=["test_a", "test_b"], call_type="start_test", return_type="end_test")


def test_each_test_is_its_own_trace(plugins, saves) -> None:
    host, recs = run(plugins, [boundary_entry()], TESTS, call="main", one_trace_per_test=True)
    first, second = saves.traces()
    assert kinds(first["frames_of_interest"]) == ["start_test", "frame:call", "frame:return", "end_test"]
    assert kinds(second["frames_of_interest"]) == ["start_test", "frame:call", "frame:return", "end_test"]
    assert [r["co_name"] for r in first["frames_of_interest"] if r["type"] == "frame"] == ["test_a", "test_a"]
    assert TRACE_ID.match(first["trace_id"]) and TRACE_ID.match(second["trace_id"])
    assert len({first["trace_id"], second["trace_id"], host.trace_id}) == 3
    assert [args for args, _ in saves.calls] == [(host.db_path, first["trace_id"]), (host.db_path, second["trace_id"])]
    # What came after the last test stays buffered under the last test's identifier.
    assert [(r["event"], r["co_name"]) for r in recs] == [("call", "after"), ("return", "after"), ("return", "main")]
    assert decode(host.rust_profiler.build_trace())["trace_id"] == second["trace_id"]


def test_boundaries_are_ignored_without_one_trace_per_test(plugins, saves) -> None:
    host, recs = run(plugins, [boundary_entry()], TESTS, call="main")
    assert saves.calls == []
    assert kinds(recs).count("start_test") == 2


def test_boundary_from_type_override(plugins, saves) -> None:
    def process(frame, event, arg, context):
        return {"type": "start_test" if event == "call" else "end_test"}

    run(plugins, [entry(co_names=["test_a"], process=process)], TESTS, call="main", one_trace_per_test=True)
    (only,) = saves.traces()
    assert kinds(only["frames_of_interest"]) == ["start_test", "frame:call", "frame:return", "end_test"]


def test_several_boundaries_in_one_event(plugins, saves) -> None:
    entries = [entry(co_names=["after"], call_type=t, return_type="x") for t in ["frame", "end_test", "frame", "end_test"]]
    host, recs = run(plugins, entries, TESTS, call="main", one_trace_per_test=True)
    first, second = saves.traces()
    assert [r["type"] for r in first["frames_of_interest"]][-2:] == ["frame", "end_test"]
    assert [r["type"] for r in second["frames_of_interest"]] == ["frame", "end_test"]
    assert first["trace_id"] == second["trace_id"] == host.trace_id
    # the frame's own call record came last in the event and stays buffered
    assert kinds(recs)[0] == "frame:call"


def test_start_test_drops_earlier_records_of_the_event(plugins, saves) -> None:
    entries = [entry(co_names=["test_a"], call_type="early", return_type="x", events=["call"]),
               entry(co_names=["test_a"], call_type="start_test", return_type="end_test")]
    run(plugins, entries, TESTS, call="main", one_trace_per_test=True)
    (only,) = saves.traces()
    assert kinds(only["frames_of_interest"]) == ["start_test", "frame:call", "frame:return", "end_test"]


def test_failed_end_test_save_is_reported_and_keeps_records(plugins, saves, caplog) -> None:
    saves.fail_next.append(OSError("locked"))
    with caplog.at_level(logging.WARNING, logger="jarn"):
        host, kept = run(plugins, [entry(co_names=["test_a"], call_type="start_test", return_type="end_test")], TESTS,
                         call="main", one_trace_per_test=True)
    (warning,) = jarn_warnings(caplog)
    assert isinstance(warning.exc_info[1], OSError)
    assert len(saves.calls) == 1
    assert kinds(kept)[:4] == ["start_test", "frame:call", "frame:return", "end_test"]
    assert [r["co_name"] for r in kept if r["type"] == "frame"] == ["test_a", "test_a", "test_b", "test_b", "after",
                                                                     "after", "main"]


def test_call_runs_before_the_events_filter(plugins) -> None:
    seen: list[str] = []
    _, recs = run(plugins, [entry(events=["return"], call=lambda f, e, a, c: seen.append(e) or True)])
    assert seen == ["call", "return"]
    assert kinds(recs) == ["frame:call", "frame:return", "r"]


def test_plugin_data_uses_the_lightweight_serialiser(plugins, monkeypatch) -> None:
    seen: list[Any] = []

    def light(value: Any) -> bytes:
        seen.append(value)
        return plain_dump(value)

    monkeypatch.setattr(jarn.serialize, "dump_msgpack_lightweight_repr", light)
    monkeypatch.setattr(jarn.serialize, "dump_msgpack", lambda v: pytest.fail("full serialiser used"))
    _, recs = run(plugins, [entry(events=["call"])], config={**QUIET, "lightweight_repr": True})
    assert kinds(recs) == ["c", "frame:call", "frame:return"]
    assert [type(v) for v in seen].count(dict) >= 3  # plugin data and both locals


def test_frame_record_names_the_thread_as_a_plugin_left_it(plugins) -> None:
    def rename(frame, event, arg, context):
        threading.current_thread().name = f"renamed at {event}"
        return {}

    before = threading.current_thread().name
    try:
        _, recs = run(plugins, [entry(process=rename)])
    finally:
        threading.current_thread().name = before
    assert [(r["type"], r["thread"]) for r in recs] == [
        ("c", before), ("frame", "renamed at call"), ("frame", "renamed at return"), ("r", "renamed at call")]
