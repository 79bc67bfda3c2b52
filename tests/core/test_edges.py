"""Odd programs: module names that are not strings, huge names, a profiler torn down from inside
its own callback, trace methods called while an event is being handled."""

from __future__ import annotations

import gc
import logging
import sys
import threading
from typing import Any

import msgpack
import pytest
from coresupport import QUIET, compile_program, decode, events, HostProfiler, profile, raw_records, records

from jarn import _jarn

class Unprintable:
    def __str__(self) -> str:
        raise RuntimeError("no str")


@pytest.mark.parametrize(
    ("module_name", "qualname"),
    [(5, "5.f"), ("pkg.é", "pkg.é.f"), (Unprintable(), "<unprintable Unprintable object>.f")],
)
def test_module_names_are_joined_with_their_string_conversion(monkeypatch, module_name, qualname) -> None:
    unraisable: list[Any] = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    ns = compile_program("def f():\n    return 1\n")
    ns["__name__"] = module_name
    _, trace = profile(ns["f"])
    assert [r["qualname"] for r in records(trace)] == [qualname, qualname]
    assert bool(unraisable) is isinstance(module_name, Unprintable)


@pytest.mark.parametrize(("length", "prefix"), [(200, b"\xd9"), (70_000, b"\xdb")])
def test_long_paths_use_wider_string_forms(length: int, prefix: bytes) -> None:
    filename = "/srv/app/" + "x" * length + ".py"
    ns = compile_program("def f():\n    return 1\n", filename)
    _, trace = profile(ns["f"])
    (call, _) = raw_records(trace)[None]
    assert call.startswith(b"\x8c\xa4path" + prefix)
    assert decode(trace)["frames_of_interest"][0]["path"] == filename + ":1"


def test_profiler_torn_down_inside_its_own_callback(plugins) -> None:
    holder: dict[str, Any] = {}

    def process(frame, event, arg, context):
        sys.setprofile(None)
        holder["host"].rust_profiler = None
        gc.collect()
        return {"stopped": True}

    plugins([{"co_names": ["f"], "path_fragment": "/srv/app/", "call_type": "c", "return_type": "r",
              "process": process}])
    ns = compile_program("def f():\n    return 1\n")
    host = HostProfiler(QUIET)
    holder["host"] = host
    _jarn.register_profiler(host)
    native = host.rust_profiler
    assert ns["f"]() == 1
    sys.setprofile(None)
    trace = decode(native.build_trace())
    assert [r["type"] for r in trace["frames_of_interest"]] == ["c", "frame"]


def test_trace_built_from_inside_a_plugin(plugins) -> None:
    built: list[bytes] = []

    def process(frame, event, arg, context):
        built.append(holder.rust_profiler.build_trace())
        return {}

    plugins([{"co_names": ["g"], "path_fragment": "/srv/app/", "call_type": "c", "return_type": "r",
              "process": process, "events": ["call"]}])
    ns = compile_program("def f():\n    return g()\ndef g():\n    return 1\n")
    holder = HostProfiler(QUIET)
    _jarn.register_profiler(holder)
    ns["f"]()
    sys.setprofile(None)
    inner = decode(built[0])
    assert events(inner["frames_of_interest"]) == [("call", "f")]
    rest = decode(holder.rust_profiler.build_trace())["frames_of_interest"]
    assert [r["type"] if r["type"] != "frame" else r["event"] + ":" + r["co_name"] for r in rest] == [
        "c", "call:g", "return:g", "return:f"]


def test_save_from_inside_the_serialiser(monkeypatch, saves) -> None:
    import jarn.serialize

    holder: dict[str, Any] = {}

    def dump(value: Any) -> bytes:
        if value == "save now":
            holder["host"].rust_profiler.save_request_in_db()
        return msgpack.packb(value, default=repr)

    monkeypatch.setattr(jarn.serialize, "dump_msgpack", dump)
    ns = compile_program("def f(x):\n    return x\n")
    host = HostProfiler(QUIET)
    holder["host"] = host

    def run() -> None:
        ns["f"](1)
        ns["f"]("save now")

    _jarn.register_profiler(host)
    run()
    sys.setprofile(None)
    (saved,) = saves.traces()
    # The save runs while the return of f("save now") is handled: that record is not in it.
    assert [r["arg"] for r in saved["frames_of_interest"]] == [None, 1, None]
    assert [r["arg"] for r in records(host.rust_profiler.build_trace())] == ["save now"]


def test_a_second_registration_replaces_the_threading_hook() -> None:
    first, second = HostProfiler({"threading": True}), HostProfiler({"threading": True})
    _jarn.register_profiler(first)
    _jarn.register_profiler(second)
    hook = threading.getprofile()
    sys.setprofile(None)
    threading.setprofile(None)
    assert hook.__self__ is second.rust_profiler


def test_end_test_on_a_worker_thread(plugins, saves) -> None:
    plugins([{"co_names": ["test_x"], "path_fragment": "/srv/app/", "call_type": "start_test",
              "return_type": "end_test"}])
    ns = compile_program("def test_x():\n    return 1\n")
    host = HostProfiler({**QUIET, "threading": True}, one_trace_per_test=True)
    _jarn.register_profiler(host)
    worker = threading.Thread(target=ns["test_x"])
    worker.start()
    worker.join()
    sys.setprofile(None)
    threading.setprofile(None)
    (saved,) = saves.traces()
    assert [r["type"] for r in saved["frames"][worker.native_id]] == ["start_test", "frame", "frame", "end_test"]


def test_failing_current_thread_is_reported(monkeypatch, caplog) -> None:
    ns = compile_program("def f():\n    return 1\n")

    real = threading.current_thread

    def broken() -> Any:
        if sys._getframe(1).f_code.co_filename.endswith("logging/__init__.py"):
            return real()  # the report itself needs it
        raise RuntimeError("no thread")

    monkeypatch.setattr(threading, "current_thread", broken)
    with caplog.at_level(logging.WARNING, logger="jarn"):
        _, trace = profile(ns["f"])
    monkeypatch.undo()
    assert records(trace) == []
    assert len([r for r in caplog.records if r.name == "jarn"]) == 2


def test_two_live_profilers_with_different_filters_share_code_objects() -> None:
    ns = compile_program("def f(i):\n    return i\n")
    on_main = HostProfiler({"filters": {"ignore_frames": ["/srv/app/", "/tests/core/"]}})
    on_worker = HostProfiler(QUIET)
    _jarn.register_profiler(on_worker)
    sys.setprofile(None)
    _jarn.register_profiler(on_main)
    turn = [threading.Event() for _ in range(4)]

    def work() -> None:
        on_worker.rust_profiler.register_threading_profiler(None, None, None)
        for i in range(0, 4, 2):
            turn[i].wait()
            ns["f"](i)
            turn[i + 1].set()
        sys.setprofile(None)

    worker = threading.Thread(target=work)
    worker.start()
    for i in range(0, 4, 2):
        ns["f"](100 + i)
        turn[i].set()
        turn[i + 1].wait()
        ns["f"](200 + i)
    worker.join()
    sys.setprofile(None)
    assert records(on_main.rust_profiler.build_trace()) == []
    assert [r["arg"] for r in records(on_worker.rust_profiler.build_trace()) if r["event"] == "return"] == [0, 2]


class Namespace(dict):
    """A dict subclass namespace that refuses to be copied the ordinary way."""

    def copy(self) -> Any:
        raise RuntimeError("no copies")


def test_locals_that_are_not_a_dict_do_not_disturb_the_program(caplog) -> None:
    from collections.abc import MutableMapping

    class Store(MutableMapping):
        def __init__(self) -> None:
            self.data: dict[str, Any] = {}

        def __getitem__(self, key: str) -> Any:
            return self.data[key]

        def __setitem__(self, key: str, value: Any) -> None:
            self.data[key] = value

        def __delitem__(self, key: str) -> None:
            del self.data[key]

        def __iter__(self):
            return iter(self.data)

        def __len__(self) -> int:
            return len(self.data)

    code = compile("y = 1\nz = y + 1\n", "/srv/app/mod.py", "exec")
    glob: dict[str, Any] = {"__name__": "mod", "__builtins__": __builtins__}
    store = Store()
    with caplog.at_level(logging.CRITICAL, logger="jarn"):
        _, trace = profile(exec, code, glob, store)
    assert store.data == {"y": 1, "z": 2}


@pytest.mark.parametrize("namespace_type", [dict, Namespace])
def test_module_locals_copy_drops_builtins_only_from_the_copy(namespace_type) -> None:
    code = compile("y = 1\n", "/srv/app/mod.py", "exec")
    glob = namespace_type(__name__="mod", __builtins__=__builtins__)
    _, trace = profile(exec, code, glob)
    recs = records(trace)
    assert "__builtins__" in glob
    assert all("__builtins__" not in r["locals"] for r in recs)
    assert recs[-1]["locals"]["y"] == 1
