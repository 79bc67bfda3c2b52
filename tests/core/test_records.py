"""The profile callback and the ordinary frame record."""

from __future__ import annotations

import logging
import signal
import sys
import threading
import time
from types import SimpleNamespace
from typing import Any

import pytest
from support import (APP, FRAME_ID, QUIET, canonical, compile_program, events, HostProfiler, picky_dump, plain_dump,
                     Poison, profile, records, register, Unprintable, unregister)

import jarn.serialize

CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"


def ulid_ms(identifier: str) -> int:  # the identifier's first ten characters: milliseconds since 1970
    return sum(CROCKFORD.index(c) << 5 * (9 - n) for n, c in enumerate(identifier[4:14]))


def jarn_warnings(caplog: Any) -> list[logging.LogRecord]:
    return [r for r in caplog.records if r.name == "jarn"]


# Non-ASCII names: string headers count UTF-8 bytes; long paths take the wider string forms.
@pytest.mark.parametrize("filename", [f"{APP}/ünï.py", f"{APP}/{'x' * 200}.py", f"{APP}/{'x' * 70_000}.py"])
def test_record_bytes(filename: str) -> None:
    ns = compile_program("def é(x):\n    return x + 1\n", filename)
    before = time.time()
    _, trace = profile(lambda: [ns["é"](41) for _ in range(50)])
    after = time.time()
    recs = canonical(trace)["frames_of_interest"]
    common = {"co_name": "é", "qualname": "prog.é", "thread": "MainThread",
              "thread_native_id": threading.current_thread().native_id, "type": "frame", "user_code_call_site": None}
    for rec, event, arg, line in [(recs[0], "call", None, 1), (recs[1], "return", 42, 2)]:
        assert list(rec) == ["path", "co_name", "qualname", "event", "frame_id", "arg", "locals", "thread",
                             "thread_native_id", "timestamp", "type", "user_code_call_site"]
        assert rec == {**common, "path": f"{filename}:{line}", "event": event, "frame_id": recs[0]["frame_id"],
                       "arg": arg, "locals": {"x": 41}, "timestamp": rec["timestamp"]}
    assert before <= recs[0]["timestamp"] <= recs[1]["timestamp"] <= after
    ids = [r["frame_id"] for r in recs if r["event"] == "call"]
    assert len(set(ids)) == 50
    assert all(FRAME_ID.match(i) and int(before * 1000) <= ulid_ms(i) <= int(after * 1000) for i in ids)


@pytest.mark.usefixtures("engine")
def test_identifiers_and_call_sites(caplog) -> None:
    # g is reached through a dropped library frame: its call site is the nearest recorded frame,
    # at its current line. Events other than call and return (the exception in f) give nothing.
    # A frame without a line table (weird) is recorded at its first line.
    ns = compile_program("def main(mid, g, weird):\n    x = 1\n    return f(mid, g, weird)\ndef f(mid, g, weird):\n"
                         "    try:\n        len(5)\n    except TypeError:\n        weird(g)\n    return mid(g)\n"
                         "def g():\n    return 3\ndef weird(f):\n    return f()\n")
    mid = compile_program("def middle(g):\n    return g()\n", "/usr/lib/python3.12/mid.py")["middle"]
    weird = ns["weird"]
    weird.__code__ = weird.__code__.replace(co_linetable=b"")
    with caplog.at_level(logging.WARNING, logger="jarn"):
        recs = records(profile(ns["main"], mid, ns["g"], weird)[1])
    assert [(r["event"], r["co_name"], int(r["path"].rsplit(":")[-1])) for r in recs] == [
        ("call", "main", 1), ("call", "f", 4), ("call", "weird", 12), ("call", "g", 10), ("return", "g", 11),
        ("return", "weird", 12), ("call", "g", 10), ("return", "g", 11), ("return", "f", 9), ("return", "main", 3)]
    a, b, w, g1, g2 = (recs[i]["frame_id"] for i in (0, 1, 2, 3, 6))
    assert len({a, b, w, g1, g2}) == 5 and [r["frame_id"] for r in recs[4:6] + recs[7:]] == [g1, w, g2, b, a]
    assert [r["user_code_call_site"] for r in recs] == [None, *[{"call_frame_id": f, "line_number": n} for f, n in [
        (a, 3), (b, 8), (w, 12), (w, 12), (b, 8), (b, 9), (b, 9), (a, 3)]], None]
    assert [r["arg"] for r in recs] == [None] * 4 + [3, 3, None] + [3] * 3
    assert not jarn_warnings(caplog)


class Namespace(dict):
    """A namespace that refuses to be copied the ordinary way."""

    def copy(self) -> Any:
        raise RuntimeError("no copies")


MODULE = """\
import sys
x = 1
class Order:
    def total(self): return 1
    @property
    def size(self): return 1
    @classmethod
    def make(cls): return 1
def outer():
    def inner(): return 1
    return inner
Order().total() + Order().size + Order.make() + outer()()
"""


@pytest.mark.parametrize(
    ("module_name", "prefix", "namespace_type"),
    [("shop.models", "shop.models.", dict), ("__main__", "__main__.", Namespace), (None, "None.", dict), (5, "5.", dict),
     ("pkg.é", "pkg.é.", dict), (Unprintable(), "<unprintable Unprintable object>.", dict), (KeyError, "", dict)],
)
def test_module_frames_and_qualnames(monkeypatch, module_name, prefix, namespace_type) -> None:
    unraisable: list[Any] = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    code = compile(MODULE, f"{APP}/shop/models.py", "exec")
    # Without a module name (KeyError: none given), the qualified name is the code's own.
    namespace = namespace_type(__builtins__=__builtins__, **({} if module_name is KeyError else {"__name__": module_name}))
    _, trace = profile(exec, code, namespace)
    recs = records(trace)
    assert [r["qualname"] for r in recs if r["event"] == "call"] == [
        prefix + q for q in ["<module>", "Order", "Order.total", "Order.size", "Order.make", "outer", "outer.<locals>.inner"]]
    call, ret = recs[0], recs[-1]
    assert call["co_name"] == "<module>" and "__builtins__" not in call["locals"]
    assert "__builtins__" not in ret["locals"] and ret["locals"]["x"] == 1 and ret["locals"]["sys"] == "<module>"
    assert "__builtins__" in namespace
    assert bool(unraisable) is isinstance(module_name, Unprintable)


@pytest.mark.usefixtures("engine")
def test_module_renamed_while_recorded() -> None:
    # Names are kept per code object: a module renamed, unnamed or renamed back is seen at once.
    ns = compile_program("def f():\n    return 1\n")
    host = register(HostProfiler(QUIET))
    names = ("prog", "prog", "prog", "renamed", "renamed", None, "back", "back")
    for name in names:
        if name is None:
            del ns["__name__"]
        else:
            ns["__name__"] = name
        ns["f"]()
    unregister()
    recs = records(host.rust_profiler.build_trace())
    assert [r["qualname"] for r in recs if r["event"] == "call"] == [f"{n}.f" if n else "f" for n in names]


@pytest.mark.usefixtures("engine")
def test_generator_resumed_twice_and_a_return_without_its_call() -> None:
    # `first` is declared first but bound only on the second pass.
    ns = compile_program("def gen():\n    for i in (1, 2):\n        if i == 2:\n            first = i\n"
                         "        second = i\n        yield i\ndef outer(start):\n    start()\n    return 1\n")
    host = HostProfiler(QUIET)
    ns["outer"](lambda: register(host))
    g = ns["gen"]()  # closed only after profiling stops
    next(g)
    next(g)
    unregister()
    ret, *recs = records(host.rust_profiler.build_trace())
    assert (ret["event"], ret["co_name"], ret["user_code_call_site"]) == ("return", "outer", None)
    assert FRAME_ID.match(ret["frame_id"])
    assert events(recs) == [("call", "gen"), ("return", "gen")] * 2
    ids = [r["frame_id"] for r in recs]
    assert ids[0] == ids[1] and ids[2] == ids[3] and len({ids[0], ids[2], ret["frame_id"]}) == 3
    assert [r["arg"] for r in recs] == [None, 1, None, 2]
    assert [list(r["locals"]) for r in recs][1:] == [["i", "second"]] * 2 + [["i", "first", "second"]]


@pytest.mark.parametrize("native_id", [-5, "1", "raise", None, "missing", 200, 70_000, 2**40])
def test_thread_identity(monkeypatch, caplog, native_id) -> None:
    ns = compile_program("def f():\n    return 1\n")
    real = threading.current_thread

    def current_thread() -> Any:
        if native_id != "raise":
            return SimpleNamespace(name="t", **({} if native_id == "missing" else {"native_id": native_id}))
        if sys._getframe(1).f_code.co_filename.endswith("logging/__init__.py"):
            return real()  # the report itself needs it
        raise RuntimeError("no thread")

    monkeypatch.setattr(threading, "current_thread", current_thread)
    with caplog.at_level(logging.WARNING, logger="jarn"):
        _, trace = profile(ns["f"])
    monkeypatch.undo()
    recs = records(canonical(trace))
    if native_id in (-5, "1", "raise"):
        assert recs == [] and len(jarn_warnings(caplog)) == 2
    else:
        assert [(r["thread"], r["thread_native_id"]) for r in recs] == [("t", None if native_id == "missing" else native_id)] * 2


# --- failures inside the callback -------------------------------------------------------------


@pytest.mark.parametrize("report", ["logged", "above warning", RuntimeError("handler broke"), KeyError("k")])
def test_failing_serialiser_is_reported_and_never_reaches_the_program(monkeypatch, caplog, report) -> None:
    class Broken(logging.Handler):
        def handle(self, record: logging.LogRecord) -> bool:
            raise report

    monkeypatch.setattr(jarn.serialize, "dump_msgpack", picky_dump)
    ns = compile_program("def f():\n    return make()\ndef g(n):\n    return n\ndef h(p):\n    q = 3\n    return 1\n")
    ns["make"] = Poison
    logger, handler = logging.getLogger("jarn"), Broken()
    if isinstance(report, Exception):
        logger.addHandler(handler)
    try:
        with caplog.at_level(logging.ERROR if report == "above warning" else logging.WARNING, logger="jarn"):
            _, trace = profile(lambda: (ns["f"](), ns["g"](7), ns["h"](Poison())))
    finally:
        logger.removeHandler(handler)
    recs = records(trace)
    # The call of f is stored, its return (a Poison) is not; later events go on.
    assert events(recs) == [("call", "f"), ("call", "g"), ("return", "g")]
    assert recs[1]["user_code_call_site"] is None  # f's pair was popped despite the failure
    if report != "logged":
        assert jarn_warnings(caplog) == []
        return
    warning, h_call, h_return = jarn_warnings(caplog)
    assert warning.levelno == logging.WARNING
    assert warning.msg == (
        "Unexpected exception in Rust.\n    co_filename: %s\n    co_name: %s\n    event: %s\n    frame locals: %s\n"
    )
    assert warning.getMessage() == (
        f"Unexpected exception in Rust.\n    co_filename: {APP}/prog.py\n    co_name: f\n    event: return\n"
        "    frame locals: {}\n"
    )
    assert warning.exc_info[0] is RuntimeError and str(warning.exc_info[1]) == "cannot serialise Poison"
    assert warning.exc_info[2] is not None
    assert "event: call\n    frame locals: {'p': <" in h_call.getMessage()
    assert "'q': 3" in h_return.getMessage()


@pytest.mark.parametrize(
    ("result", "exc"),
    [("text", TypeError), (None, TypeError), ([1, 256], OverflowError), ([1, -1], OverflowError), ([1, "a"], TypeError),
     (bytearray(b"\xa1x"), None), ([0xA1, 0x78], None), ((0xA1, 0x78), None)],
)
def test_serialiser_results_other_than_bytes(monkeypatch, caplog, result, exc) -> None:
    monkeypatch.setattr(jarn.serialize, "dump_msgpack", lambda v: result)
    ns = compile_program("def f():\n    return 1\n")
    with caplog.at_level(logging.WARNING, logger="jarn"):
        _, trace = profile(ns["f"])
    warnings = jarn_warnings(caplog)
    if exc is None:
        assert [(r["arg"], r["locals"]) for r in records(trace)] == [("x", "x")] * 2 and not warnings
        return
    assert records(trace) == []
    assert len(warnings) == 2 and all(r.exc_info[0] is exc for r in warnings)
    if result == "text":
        assert str(warnings[0].exc_info[1]) == "Can't extract `str` to `Vec`"


def test_keyboard_interrupt_inside_the_callback_reaches_the_program(monkeypatch) -> None:
    armed = [True]

    def dump(value: Any) -> bytes:
        if value == 1234 and armed:
            armed.clear()
            raise KeyboardInterrupt
        return plain_dump(value)

    monkeypatch.setattr(jarn.serialize, "dump_msgpack", dump)
    ns = compile_program("def f(x):\n    return x\n")
    # Python's own handler, also where the suite runs with SIGINT ignored (a background job).
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    register(HostProfiler(QUIET))
    try:
        with pytest.raises(KeyboardInterrupt):
            ns["f"](1234)
            for _ in range(1000):  # the interrupt arrives at the interpreter's next check for signals
                ns["f"](0)
    finally:
        unregister()
        signal.signal(signal.SIGINT, previous)
