"""Plugin loading, the plugin records made during profiling, and test boundaries in
one-trace-per-test mode."""

from __future__ import annotations

import gc
import logging
import re
import sys
import threading
from types import FunctionType, MappingProxyType
from typing import Any

import pytest
from support import (APP, FRAME_ID, boom, compile_program, decode, entry, events, HostProfiler, picky_dump, plain_dump,
                     Poison, QUIET, register, unregister)

import jarn.plugins
import jarn.serialize
from jarn import _jarn

TRACE_ID = re.compile(r"^trc_[0-7][0-9A-HJKMNP-TV-Z]{25}$")
FRAMES = ["frame:call", "frame:return"]
# f calls g, which no entry but "fg" watches: f's plugin records enclose the four frame records.
NESTED, G = ["frame:call", "frame:call", "frame:return", "frame:return"], "def f(x):\n    return g()\ndef g():\n    return 1\n"


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


def jarn_warnings(caplog) -> list[str]:
    return [str(r.exc_info[1]) for r in caplog.records if r.name == "jarn"]


# --- records ----------------------------------------------------------------------------------


@pytest.mark.usefixtures("engine")
def test_plugin_record_layout(plugins) -> None:
    seen: list[tuple[Any, ...]] = []

    def process(frame, event, arg, context):
        seen.append((frame.f_code.co_name, event, arg, context))
        threading.current_thread().name = f"renamed at {event}"
        if event == "call":
            return {"type": "c2", "extra": event, "frame_id": "mine"}
        return {"extra": event, "thread": "mine"}

    before = threading.current_thread().name
    try:
        _, recs = run(plugins, [entry(subtype="sub", process=process, build_context=lambda c: {"k": 1}),
                                entry(call_type="a", return_type="a")])
    finally:
        threading.current_thread().name = before
    plugin_call, a_call, call_frame, frame_ret, a_ret, plugin_ret = recs
    assert kinds(recs) == ["c2", "a", *FRAMES, "a", "r"]
    assert list(plugin_call) == ["frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type",
                                 "subtype", "extra"]
    assert list(plugin_ret) == list(plugin_call)
    assert plugin_call["frame_id"] == "mine" and plugin_call["subtype"] == "sub" and plugin_ret["extra"] == "return"
    assert isinstance(plugin_call["timestamp"], float)
    # An event's plugin records name the thread as it was when the event began, its frame record
    # as the plugins left it; `thread` may be overridden.
    assert [r["thread"] for r in recs] == [before, before, "renamed at call", "renamed at return", "renamed at call",
                                           "mine"]
    assert seen == [("f", "call", None, {"k": 1}), ("f", "return", 1, {"k": 1})]
    # The return gets the identifier stored at the call, not the one the process gave.
    assert FRAME_ID.match(plugin_ret["frame_id"]) and a_call["frame_id"] == a_ret["frame_id"]
    assert len({plugin_ret["frame_id"], a_ret["frame_id"], call_frame["frame_id"]}) == 3
    # A return record's call site names the recorded frame itself (its own entry is still open).
    assert plugin_ret["user_code_call_site"] == {"call_frame_id": frame_ret["frame_id"], "line_number": 2}
    # At the call, plugins run before the frame's own entry is pushed: nothing is open.
    assert plugin_call["user_code_call_site"] is None


OK = entry(call_type="ok", return_type="ok")


@pytest.mark.parametrize(
    ("entries", "expected", "warnings"),
    [
        ([entry(path_fragment="/elsewhere/", call=boom, process=boom)], NESTED, []),
        *[([entry(**forms)], ["c", *NESTED, "r"], []) for forms in [
            {"call": None, "process": None, "events": None, "build_context": None}, {"events": ("call", "return")},
            {"co_names": ("f",)}, {"co_names": {"f"}}, {"co_names": iter(["f"])}, {"junk": object()}]],
        ([entry(co_names="fg")], ["c", "frame:call", "c", "frame:call", "frame:return", "r", "frame:return", "r"], []),
        ([entry(call=5)], NESTED, ["'int' object is not callable"] * 2),  # fails only when used
        ([entry(path_fragment="")], ["c", *NESTED, "r"], []),
        ([entry(path_fragment="prog.py")], ["c", *NESTED, "r"], []),
        ([entry(path_fragment=f"{APP}/prog.py")], ["c", *NESTED, "r"], []),
        *[([entry(call=lambda *a, v=v: v, call_type="bad", return_type="bad"), entry()], ["c", *NESTED, "r"],
           [f"'{t}' object cannot be converted to 'PyBool'"] * 2) for v, t in [(1, "int"), (None, "NoneType"), ("yes", "str")]],
        ([entry(call=lambda *a: False), entry(call=boom), entry(call=lambda f, e, a, c: e == "return")],
         [*NESTED, "r"], ["boom"] * 2),
        ([entry(events=["return"], call=boom)], NESTED, ["boom"] * 2),  # call runs before the events filter
        ([entry(events=["call"])], ["c", *NESTED], []),
        ([entry(events=("return",))], [*NESTED, "r"], []),
        ([entry(events=[])], NESTED, []),
        ([entry(events=["CALL"])], NESTED, []),
        *[([entry(process=lambda *a, v=v: v)], NESTED, [f"'{t}' object cannot be converted to '{to}'"] * 2)
          for v, t, to in [(None, "NoneType", "Mapping"), ([("a", 1)], "list", "Mapping"), ("abc", "str", "Mapping"),
                           ({"type": 5}, "int", "PyString"), ({"type": None}, "NoneType", "PyString")]],
        ([entry(process=lambda *a: MappingProxyType({"type": "m"}))], ["m", *NESTED, "m"], []),
        ([entry(process=lambda *a: type("DictSub", (dict,), {})(type="d"))], ["d", *NESTED, "d"], []),
        ([entry(process=boom), OK], ["ok", *NESTED, "ok"], ["boom"] * 2),
        ([entry(process=lambda *a: {"p": Poison()}), OK], ["ok", *NESTED, "ok"], ["cannot serialise Poison"] * 2),
    ],
)
def test_which_plugin_records_are_made(plugins, monkeypatch, caplog, entries, expected, warnings) -> None:
    monkeypatch.setattr(jarn.serialize, "dump_msgpack", picky_dump)
    with caplog.at_level(logging.WARNING, logger="jarn"):
        _, recs = run(plugins, entries, G)
    assert kinds(recs) == expected and jarn_warnings(caplog) == warnings
    # A return whose call gave no record gets an identifier of its own.
    assert all(FRAME_ID.match(r["frame_id"]) for r in recs)


@pytest.mark.usefixtures("engine")
def test_dropped_frames_still_give_plugin_records(plugins) -> None:
    # At every call, not only the first: a watched frame is never switched off.
    src = "def f(x):\n    return x\ndef loop(n):\n    for i in range(n):\n        f(i)\n"
    _, recs = run(plugins, [entry(path_fragment="json/")], src, 3, filename="/usr/lib/python3.12/json/fake.py", call="loop")
    assert kinds(recs) == ["c", "r"] * 3
    assert recs[0]["user_code_call_site"] is None


class Globals(dict):  # a module name that cannot be read fails the frame record
    def __getitem__(self, key: str) -> Any:
        raise RuntimeError(key)


@pytest.mark.parametrize("failure", ["serialiser", "module name"])
def test_plugin_records_survive_a_failing_frame_record(plugins, monkeypatch, caplog, failure) -> None:
    monkeypatch.setattr(jarn.serialize, "dump_msgpack", picky_dump)
    plugins([entry()])
    ns = compile_program("def f(p):\n    return 1\n")
    if failure == "module name":
        ns["f"] = FunctionType(ns["f"].__code__, Globals(ns))
    host = HostProfiler(QUIET)
    with caplog.at_level(logging.WARNING, logger="jarn"):
        register(host)
        ns["f"](Poison() if failure == "serialiser" else 1)
        unregister()
    assert kinds(decode(host.rust_profiler.build_trace())["frames_of_interest"]) == ["c", "r"]
    assert len(jarn_warnings(caplog)) == 2  # one per event


# --- one trace per test -----------------------------------------------------------------------

TESTS = """
def before(): return 0
def test_a(): return 1
def test_b(): return 2
def after(): return 3
def main(): return [before(), test_a(), test_b(), after()]
"""
BOUNDARIES = entry(co_names=["test_a", "test_b"], call_type="start_test", return_type="end_test")
ONE_TEST = ["start_test", *FRAMES, "end_test"]


@pytest.mark.usefixtures("engine")
def test_each_test_is_its_own_trace(plugins, saves) -> None:
    host, recs = run(plugins, [BOUNDARIES], TESTS, call="main", one_trace_per_test=True)
    first, second = saves.traces()
    assert kinds(first["frames_of_interest"]) == kinds(second["frames_of_interest"]) == ONE_TEST
    assert [r["co_name"] for r in first["frames_of_interest"] if r["type"] == "frame"] == ["test_a", "test_a"]
    assert TRACE_ID.match(first["trace_id"]) and TRACE_ID.match(second["trace_id"])
    assert len({first["trace_id"], second["trace_id"], host.trace_id}) == 3
    assert [args for args, _ in saves.calls] == [(host.db_path, first["trace_id"]), (host.db_path, second["trace_id"])]
    # What came after the last test stays buffered under the last test's identifier.
    assert [(r["event"], r["co_name"]) for r in recs] == [("call", "after"), ("return", "after"), ("return", "main")]
    assert decode(host.rust_profiler.build_trace())["trace_id"] == second["trace_id"]


@pytest.mark.parametrize(
    ("entries", "one_trace", "saved"),
    [
        ([BOUNDARIES], False, []),
        ([entry(co_names=["test_a"], process=lambda f, e, a, c: {"type": "start_test" if e == "call" else "end_test"})],
         True, [ONE_TEST]),
        # A start drops the event's earlier records.
        ([entry(co_names=["test_a"], call_type="early", return_type="x", events=["call"]),
          entry(co_names=["test_a"], call_type="start_test", return_type="end_test")], True, [ONE_TEST]),
    ],
)
def test_test_boundaries(plugins, saves, entries, one_trace, saved) -> None:
    _, recs = run(plugins, entries, TESTS, call="main", one_trace_per_test=one_trace)
    assert [kinds(t["frames_of_interest"]) for t in saves.traces()] == saved
    assert kinds(recs).count("start_test") == (0 if one_trace else 2)


def test_failed_end_test_save_is_reported_and_keeps_records(plugins, saves, caplog) -> None:
    saves.fail_next.append(OSError("locked"))
    with caplog.at_level(logging.WARNING, logger="jarn"):
        host, kept = run(plugins, [entry(co_names=["test_a"], call_type="start_test", return_type="end_test")], TESTS,
                         call="main", one_trace_per_test=True)
    assert jarn_warnings(caplog) == ["locked"] and len(saves.calls) == 1
    assert kinds(kept)[:4] == ONE_TEST
    assert [r["co_name"] for r in kept if r["type"] == "frame"] == ["test_a", "test_a", "test_b", "test_b", "after",
                                                                     "after", "main"]


# --- the profiler used from inside its own callback -------------------------------------------


def test_profiler_torn_down_inside_its_own_callback(plugins) -> None:
    def process(frame, event, arg, context):
        sys.setprofile(None)
        host.rust_profiler = None
        gc.collect()
        return {}

    plugins([entry(process=process)])
    ns = compile_program("def f():\n    return 1\n")
    _jarn.register_profiler(host := HostProfiler(QUIET))
    native = host.rust_profiler
    assert ns["f"]() == 1
    sys.setprofile(None)
    assert kinds(decode(native.build_trace())["frames_of_interest"]) == ["c", "frame:call"]


def test_trace_built_or_saved_from_inside_the_callback(plugins, monkeypatch, saves) -> None:
    built: list[bytes] = []
    monkeypatch.setattr(jarn.serialize, "dump_msgpack",
                        lambda v: (v == "save now" and host.rust_profiler.save_request_in_db(), plain_dump(v))[1])
    plugins([entry(co_names=["g"], events=["call"], process=lambda *a: built.append(host.rust_profiler.build_trace()) or {})])
    ns = compile_program("def f(x):\n    return g(x)\ndef g(x):\n    return x\n")
    register(host := HostProfiler(QUIET))
    ns["f"]("save now")
    unregister()
    recs = decode(host.rust_profiler.build_trace())["frames_of_interest"]
    assert events(decode(built[0])["frames_of_interest"]) == [("call", "f")]
    # Each save runs while a return is handled: that return's record is not in it.
    assert [kinds(s["frames_of_interest"]) for s in saves.traces()] == [["c", "frame:call"], ["frame:return"]]
    assert [(r["event"], r["co_name"]) for r in recs] == [("return", "f")]
