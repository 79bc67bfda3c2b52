"""The module's surface, and building the native profiler from the host profiler object and its
configuration."""

from __future__ import annotations

import importlib
import re
import sys
import threading
from pathlib import PurePosixPath
from types import SimpleNamespace
from typing import Any

import msgpack
import pytest
from support import (BadKey, boom, compile_program, decode, entry, events, HostProfiler, QUIET, records, run_thread,
                         Unprintable)

import jarn.plugins
import jarn.serialize
from jarn import _jarn

PROGRAM = "def f(x):\n    y = x + 1\n    return y\n"


def bool_type(name: str, module: str = "numpy") -> type:
    return type(name, (), {"__module__": module, "__init__": lambda s, v: setattr(s, "v", v), "__bool__": lambda s: s.v})


NumpyBool, NumpyBool2, NotNumpyBool = bool_type("bool_"), bool_type("bool"), bool_type("bool_", "mynumpy")


Index = type("Index", (), {"__index__": lambda s: 7})
# Claims to hold every key: only its real contents may count.
Lying = type("Lying", (dict,), {m: lambda s, *a: True for m in ["__getitem__", "get", "__missing__", "__contains__"]})


def test_module_surface() -> None:
    assert _jarn.__all__ == ["register_noop_profiler", "register_profiler", "register_monitoring_profiler",
                             "unregister_monitoring_profiler", "request_origin", "monitor_requests"]
    ns = compile_program("def f():\n    return 1\n")
    host = HostProfiler()
    _jarn.register_profiler(host)
    installed = sys.getprofile()
    ns["f"]()
    assert _jarn.register_noop_profiler() is None  # replaces the native profile function
    ns["f"]()
    sys.setprofile(None)
    assert events(records(host.rust_profiler.build_trace())) == [("call", "f"), ("return", "f")]
    cls = type(host.rust_profiler)
    assert installed is host.rust_profiler and f"{cls.__module__}.{cls.__qualname__}" == "jarn._jarn.JarnProfiler"
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls()
    for name, args in [("build_trace", ()), ("save_request_in_db", ()), ("register_threading_profiler", (None,) * 3)]:
        with pytest.raises(TypeError):  # another receiver; the interpreter's descriptor check may speak first
            getattr(cls, name)(object(), *args)
    with pytest.raises(TypeError):
        host.rust_profiler.build_trace(1)
    first = sys.modules.pop("jarn._jarn")
    try:
        assert importlib.import_module("jarn._jarn") is first
    finally:
        sys.modules["jarn._jarn"] = first


Watched = type("Watched", (), {"__getattribute__": lambda s, n: pytest.fail(f"read {n}")})  # refused before any read
# A host that refuses to be given its native profiler.
Frozen = type("Frozen", (HostProfiler,), {
    "__setattr__": lambda s, n, v: boom() if n == "rust_profiler" else object.__setattr__(s, n, v)})


DELETE = object()
INTERNAL = BaseException  # the module's internal error: not an Exception
CONV = "^'{}' object cannot be converted to '{}'$"
CALL_ERRORS = [lambda h: _jarn.register_noop_profiler(1), lambda h: _jarn.register_noop_profiler(profiler=1),
               lambda h: _jarn.register_profiler(), lambda h: _jarn.register_profiler(h, h),
               lambda h: _jarn.register_profiler(h, other=1), lambda h: _jarn.register_profiler(prof=h),
               lambda h: _jarn.register_profiler(h, profiler=h)]


@pytest.mark.parametrize(
    ("changes", "exc", "pattern"),
    [
        *[({"call": call}, TypeError, "") for call in CALL_ERRORS],
        *[({"call": lambda h, p=p: _jarn.register_profiler(p)}, TypeError, "^profiler object is not callable$")
          for p in [42, Watched()]],
        *[({a: DELETE}, AttributeError, "") for a in ["config", "db_path", "one_trace_per_test", "trace_id", "source"]],
        ({"config": [("threading", True)]}, TypeError, CONV.format("list", "PyDict")),
        ({"config": None}, TypeError, CONV.format("NoneType", "PyDict")),
        *[({"one_trace_per_test": v}, TypeError, CONV.format(type(v).__name__, "PyBool")) for v in [1, None, "yes"]],
        *[({a: v}, TypeError, CONV.format(type(v).__name__, "PyString"))
          for a, v in [("trace_id", None), ("trace_id", b"trc_x"), ("source", None), ("source", 3)]],
        *[({a: "bad\udc80"}, UnicodeEncodeError, "") for a in ["trace_id", "source", "db_path"]],
        ({"db_path": Unprintable()}, RuntimeError, "^no str$"),
        ({"cls": Frozen}, ValueError, "^boom$"),
        *[({"main": SimpleNamespace(native_id=v)}, e, "") for v, e in [(-1, OverflowError), ("259", TypeError),
                                                                        (2.0, TypeError)]],
        *[({"config": {k: v}}, e, "") for k, v, e in [
            ("sqlite_busy_timeout", -1, OverflowError), ("sqlite_busy_timeout", 2**64, OverflowError),
            ("sqlite_busy_timeout", 2.5, TypeError), ("sqlite_busy_timeout", "60", TypeError),
            ("sqlite_busy_timeout", None, TypeError), ("slow_repr_ms", -0.5, ValueError),
            ("slow_repr_ms", float("nan"), ValueError), ("slow_repr_ms", "1", TypeError), ("slow_repr_ms", True, ValueError),
            *[("max_trace_bytes", v, ValueError) for v in [0, -5, 2**64, 1.5, True, "1"]]]],
        *[({"config": {BadKey(k): 1}}, INTERNAL, re.escape(f'config.get("{k}" should not raise.: ') + ".*cannot compare")
          for k in ["filters", "sqlite_busy_timeout", "threading", "lightweight_repr", "omit_return_locals",
                    "slow_repr_ms", "max_trace_bytes"]],
        *[({"config": {"filters": {k: v}}}, TypeError, m) for k, v, m in [
            ("include_frames", "/srv/", "^Can't extract `str` to `Vec`$"), ("ignore_frames", "/srv/", "^Can't extract"),
            ("include_frames", None, CONV.format("NoneType", "Sequence")), ("include_frames", ["a", 3], ""),
            ("include_frames", {"a": 1}, CONV.format("dict", "Sequence")), ("ignore_frames", [b"a"], ""),
            ("ignore_frames", {"a"}, CONV.format("set", "Sequence")),
            ("ignore_frames", (x for x in ["a"]), CONV.format("generator", "Sequence"))]],
        ({"config": {"filters": {"include_frames": ["\udcff"]}}}, UnicodeEncodeError, ""),
        # Plugin loading: the host's own data must be sound (an internal error otherwise), the entries
        # are checked as given.
        *[({"load": load}, INTERNAL, f"^load_plugin_data should {m}: ")
          for load, m in [(boom, "be callable"), (lambda: [], "be callable"), (lambda config: (), "return a list"),
                          (lambda config: None, "return a list"), (lambda config: {"a": entry()}, "return a list"),
                          (DELETE, "exist")]],
        ({"load": "no module"}, INTERNAL, "^jarn.plugins should always be importable: "),
        *[({"plugins": [{**entry(), BadKey(k): 1}]}, INTERNAL, "^a string is always a valid dict key: ")
          for k in ["subtype", "build_context", "events"]],
        ({"plugins": [["f"]]}, TypeError, CONV.format("list", "PyDict")),
        ({"plugins": [entry(), None]}, TypeError, CONV.format("NoneType", "PyDict")),
        *[({"plugins": [entry(**{k: KeyError})]}, KeyError, k) for k in "co_names path_fragment call_type return_type".split()],
        ({"plugins": [entry(build_context=boom)]}, ValueError, "^boom$"),
        *[({"plugins": [entry(**{k: v})]}, TypeError, m) for k, v, m in [
            ("co_names", 5, ""), ("co_names", ["f", 5], "PyString"), ("subtype", 3, "PyString"), ("call_type", 1, "PyString"),
            ("path_fragment", b"/srv", "PyString"), ("return_type", None, "PyString"), ("events", ["call", 1], "PyString"),
            ("subtype", None, CONV.format("NoneType", "PyString")), ("events", "call", "^Can't extract `str` to `Vec`$"),
            ("events", 5, CONV.format("int", "Sequence")), ("events", {"call"}, CONV.format("set", "Sequence")),
            ("build_context", lambda config: [], CONV.format("list", "PyDict")),
            ("build_context", lambda config: None, CONV.format("NoneType", "PyDict"))]],
    ],
)
def test_refusals_change_nothing(monkeypatch, changes, exc, pattern) -> None:
    changes = dict(changes)
    load, plugins, main = changes.pop("load", None), changes.pop("plugins", None), changes.pop("main", None)
    if load == "no module":
        monkeypatch.setitem(sys.modules, "jarn.plugins", None)
    elif load is DELETE:
        monkeypatch.delattr(jarn.plugins, "load_plugin_data")
    elif load or plugins is not None:
        monkeypatch.setattr(jarn.plugins, "load_plugin_data", load or (lambda config: plugins))
    if main:
        monkeypatch.setattr(threading, "main_thread", lambda: main)
    register = changes.pop("call", _jarn.register_profiler)
    host = changes.pop("cls", HostProfiler)({"threading": True})
    for name, value in changes.items():
        delattr(host, name) if value is DELETE else setattr(host, name, value)
    sentinel = lambda *a: None  # noqa: E731
    sys.setprofile(sentinel)
    try:
        with pytest.raises(BaseException) as info:
            register(host)
        assert sys.getprofile() is sentinel
    finally:
        sys.setprofile(None)
    assert threading.getprofile() is None and "rust_profiler" not in vars(host)
    assert not isinstance(info.value, Exception) if exc is INTERNAL else type(info.value) is exc
    assert re.search(pattern, str(info.value)), str(info.value)


@pytest.mark.parametrize(
    ("config", "host_args", "path", "timeout"),
    [
        ({}, {"db_path": PurePosixPath("/tmp/a/b.sqlite3")}, "/tmp/a/b.sqlite3", 60),
        ({"sqlite_busy_timeout": 0}, {"db_path": 42}, "42", 0),
        ({"sqlite_busy_timeout": True}, {"db_path": "é.db"}, "é.db", 1),
        ({"sqlite_busy_timeout": 2**64 - 1}, {"one_trace_per_test": NumpyBool(True)}, "/tmp/jarn-core-tests/db.sqlite3",
         2**64 - 1),
        ({"sqlite_busy_timeout": Index()}, {}, "/tmp/jarn-core-tests/db.sqlite3", 7),
        (Lying(), {}, "/tmp/jarn-core-tests/db.sqlite3", 60),
    ],
)
def test_save_arguments(saves, config, host_args, path, timeout) -> None:
    _jarn.register_profiler(host := HostProfiler(config, **host_args))
    sys.setprofile(None)
    assert host.rust_profiler.save_request_in_db() is None
    host.rust_profiler.save_request_in_db()
    (args, kwargs), (args2, kwargs2) = saves.calls
    assert args == args2 == (path, host.trace_id) and list(kwargs) == ["timeout", "msgpack"]
    assert kwargs["timeout"] == timeout and type(kwargs["timeout"]) is int and type(kwargs["msgpack"]) is bytes
    # Each save hands over what was made since the last one, under the same trace header.
    first, second = saves.traces()
    assert second == {**first, "frames_of_interest": []} and first["trace_id"] == host.trace_id
    assert kwargs2["msgpack"] == host.rust_profiler.build_trace()


@pytest.mark.parametrize(
    ("value", "on"),
    [(True, True), (False, False), (None, False), (1, False), (0, False), ("true", False), ([1], False),
     (NumpyBool(True), True), (NumpyBool(False), False), (NumpyBool2(True), True), (NotNumpyBool(True), False),
     (Lying, "only the hook")],
)
def test_flags(value, on, monkeypatch) -> None:
    keys = ["threading", "lightweight_repr", "omit_return_locals"]
    config = Lying(QUIET) if value is Lying else {**QUIET, **dict.fromkeys(keys, value)}
    light: list[Any] = []
    monkeypatch.setattr(jarn.serialize, "dump_msgpack_lightweight_repr", lambda v: light.append(v) or msgpack.packb("L"))
    ns = compile_program(PROGRAM)
    _jarn.register_profiler(host := HostProfiler(config))
    config.update(dict.fromkeys(keys, not on))  # the configuration is read once, at registration
    hook = threading.getprofile()
    ns["f"](1)
    worker = run_thread(ns["f"], 1)
    sys.setprofile(None)
    threading.setprofile(None)
    trace = decode(host.rust_profiler.build_trace())
    main = records(trace)
    # A lying dict's generic read of "threading" sets the hook, but the stored flag stays false:
    # the thread's records land in the main list.
    assert (hook is not None) is bool(on) and bool(light) is (on is True)
    if on is True:
        assert hook.__name__ == "register_threading_profiler"
        assert [r["co_name"] for r in trace["frames"][worker.native_id]] == ["f", "f"]
        assert [r["arg"] for r in main] == ["L", "L"] and light == [None, {"x": 1}, 2, None] * 2
    else:
        assert trace["frames"] == {}
        assert [(r["arg"], r["locals"]) for r in main] == [(None, {"x": 1}), (2, {"x": 1, "y": 2})] * (2 if on else 1)


def test_monitoring_tool_id_is_refused_when_taken_and_freed_when_done() -> None:
    mon, tool = sys.monitoring, sys.monitoring.PROFILER_ID
    host = HostProfiler()
    mon.use_tool_id(tool, "other")
    try:
        with pytest.raises(RuntimeError, match="already in use by 'other'"):
            _jarn.register_monitoring_profiler(host)
        assert not hasattr(host, "rust_profiler")
    finally:
        mon.free_tool_id(tool)
    _jarn.register_monitoring_profiler(host)
    _jarn.register_monitoring_profiler(host)  # a profiler of ours is replaced
    assert mon.get_tool(tool) == "jarn"
    _jarn.unregister_monitoring_profiler()
    _jarn.unregister_monitoring_profiler()
    assert mon.get_tool(tool) is None and mon.get_events(tool) == 0
    assert all(mon.register_callback(tool, 1 << e, None) is None for e in range(17))
