"""The profile callback and the ordinary frame record."""

from __future__ import annotations

import logging
import re
import struct
import sys
import threading
import time
from types import SimpleNamespace
from typing import Any

import msgpack
import pytest
from coresupport import (APP, QUIET, compile_program, decode, events, HostProfiler, plain_dump, profile, raw_records,
                         records, register, run_child, unregister)

import jarn.serialize
from jarn import _jarn

pytestmark = pytest.mark.usefixtures("engine")  # each test runs with both event engines

FRAME_ID = re.compile(r"^frm_[0-7][0-9A-HJKMNP-TV-Z]{25}$")


def s(text: str) -> bytes:
    return msgpack.packb(text)


def test_record_bytes() -> None:
    ns = compile_program("def f(x):\n    return x + 1\n")
    before = time.time()
    host, trace = profile(ns["f"], 41)
    after = time.time()
    call_bytes, return_bytes = raw_records(trace)[None]
    call, ret = decode(trace)["frames_of_interest"]
    native = threading.current_thread().native_id
    stamps = []
    for raw, rec, event, arg, locals_, line in [
        (call_bytes, call, "call", None, {"x": 41}, 1),
        (return_bytes, ret, "return", 42, {"x": 41}, 2),
    ]:
        assert FRAME_ID.match(rec["frame_id"])
        head = (
            b"\x8c"
            + s("path") + s(f"{APP}/prog.py:{line}")
            + s("co_name") + s("f")
            + s("qualname") + s("prog.f")
            + s("event") + s(event)
            + s("frame_id") + b"\xbe" + rec["frame_id"].encode()
            + s("arg") + plain_dump(arg)
            + s("locals") + plain_dump(locals_)
            + s("thread") + s("MainThread")
            + s("thread_native_id") + msgpack.packb(native)
            + b"\xa9timestamp\xcb"
        )
        assert raw[: len(head)] == head
        stamps.append(struct.unpack(">d", raw[len(head) : len(head) + 8])[0])
        tail = raw[len(head) + 8 :]
        assert tail[:11] == b"\xa4type\xa5frame"
        assert tail[11:].startswith(b"\xb3user_code_call_site")
    assert call["frame_id"] == ret["frame_id"]
    assert call["user_code_call_site"] is None and ret["user_code_call_site"] is None
    assert before <= stamps[0] <= stamps[1] <= after


def test_worked_example_identifiers_and_call_sites() -> None:
    src = """\
def main():
    x = 1
    return f()
def f():
    y = 2
    return g()
def g():
    return 3
"""
    ns = compile_program(src)
    _, trace = profile(ns["main"])
    recs = records(trace)
    assert events(recs) == [("call", "main"), ("call", "f"), ("call", "g"), ("return", "g"), ("return", "f"),
                            ("return", "main")]
    a, b, c = (recs[i]["frame_id"] for i in range(3))
    assert len({a, b, c}) == 3
    assert [r["frame_id"] for r in recs[3:]] == [c, b, a]
    sites = [r["user_code_call_site"] for r in recs]
    assert sites == [None, {"call_frame_id": a, "line_number": 3}, {"call_frame_id": b, "line_number": 6},
                     {"call_frame_id": b, "line_number": 6}, {"call_frame_id": a, "line_number": 3}, None]
    assert [r["arg"] for r in recs] == [None, None, None, 3, 3, 3]
    assert recs[3]["path"] == f"{APP}/prog.py:8"


def test_unrecorded_caller_gives_no_call_site_but_recorded_grandparent_does() -> None:
    outer = compile_program("def outer(f, g):\n    return f(g)\n")["outer"]
    lib = compile_program("def middle(g):\n    return g()\n", "/usr/lib/python3.12/mid.py")["middle"]
    inner = compile_program("def inner():\n    return 1\n", f"{APP}/inner.py")["inner"]
    _, trace = profile(outer, lib, inner)
    recs = records(trace)
    assert events(recs) == [("call", "outer"), ("call", "inner"), ("return", "inner"), ("return", "outer")]
    # The call site is the nearest recorded frame, at its current line.
    assert recs[1]["user_code_call_site"] == {"call_frame_id": recs[0]["frame_id"], "line_number": 2}


@pytest.mark.parametrize(
    ("src", "call", "qualname"),
    [
        ("class Order:\n    def total(self):\n        return 1\n", lambda ns: ns["Order"]().total(), "shop.models.Order.total"),
        ("class Order:\n    @property\n    def total(self):\n        return 1\n", lambda ns: ns["Order"]().total,
         "shop.models.Order.total"),
        ("class Order:\n    @classmethod\n    def make(cls):\n        return 1\n", lambda ns: ns["Order"].make(),
         "shop.models.Order.make"),
        ("def outer():\n    def inner():\n        return 1\n    return inner\n", lambda ns: ns["outer"]()(),
         "shop.models.outer.<locals>.inner"),
        ("def f():\n    return 1\n", lambda ns: ns["f"](), "shop.models.f"),
    ],
)
def test_qualnames(src: str, call, qualname: str) -> None:
    ns = compile_program(src, f"{APP}/shop/models.py", "shop.models")
    _, trace = profile(call, ns)
    names = {r["qualname"] for r in records(trace)}
    assert qualname in names


@pytest.mark.parametrize(("module_name", "qualname"), [("shop.models", "shop.models.<module>"), ("__main__", "__main__.<module>"),
                                                      (None, "None.<module>")])
def test_module_frame_qualname_and_locals(module_name, qualname) -> None:
    code = compile("import sys\nx = 1\n", f"{APP}/mod.py", "exec")
    namespace: dict[str, Any] = {"__name__": module_name, "__builtins__": __builtins__}
    _, trace = profile(exec, code, namespace)
    call, ret = records(trace)
    assert call["qualname"] == ret["qualname"] == qualname
    assert call["co_name"] == "<module>"
    assert "__builtins__" not in call["locals"] and "__builtins__" not in ret["locals"]
    assert ret["locals"]["x"] == 1 and ret["locals"]["sys"] == "<module>"
    assert "__builtins__" in namespace


def test_main_module_qualname_in_a_child() -> None:
    done = run_child(
        """
        import runpy, tempfile, os
        d = tempfile.mkdtemp()
        path = os.path.join(d, "script.py")
        with open(path, "w") as f:
            f.write("def work():\\n    return 5\\nwork()\\n")
        host = Host()
        _jarn.register_profiler(host)
        runpy.run_path(path, run_name="__main__")
        sys.setprofile(None)
        trace = msgpack.unpackb(host.rust_profiler.build_trace(), strict_map_key=False)
        print(sorted({r["qualname"] for r in trace["frames_of_interest"] if r["path"].startswith(d)}))
        """
    )
    assert done.stdout.strip() == "['__main__.<module>', '__main__.work']", done.stderr


def test_generator_resumed_twice() -> None:
    # `first` is declared first but bound only on the second pass.
    ns = compile_program("def gen():\n    for i in (1, 2):\n        if i == 2:\n            first = i\n"
                         "        second = i\n        yield i\n")

    kept: list[Any] = []

    def run() -> None:
        g = ns["gen"]()
        kept.append(g)  # closed only after profiling stops
        next(g)
        next(g)

    _, trace = profile(run)
    recs = records(trace)
    assert events(recs) == [("call", "gen"), ("return", "gen")] * 2
    ids = [r["frame_id"] for r in recs]
    assert ids[0] == ids[1] and ids[2] == ids[3] and ids[0] != ids[2]
    assert [r["arg"] for r in recs] == [None, 1, None, 2]
    assert [list(r["locals"]) for r in recs][1:] == [["i", "second"]] * 2 + [["i", "first", "second"]]


def test_return_without_recorded_call_gets_fresh_id() -> None:
    ns = compile_program("def outer(register):\n    register()\n    return 1\n")
    host = HostProfiler(QUIET)
    ns["outer"](lambda: register(host))
    unregister()
    (ret,) = records(host.rust_profiler.build_trace())
    assert ret["event"] == "return" and FRAME_ID.match(ret["frame_id"])
    assert ret["user_code_call_site"] is None


def test_events_other_than_call_and_return_are_ignored() -> None:
    ns = compile_program("def f(x):\n    try:\n        len(x)\n    except TypeError:\n        pass\n    return 1\n")
    _, trace = profile(ns["f"], 5)
    assert events(records(trace)) == [("call", "f"), ("return", "f")]


def test_thread_without_native_id(monkeypatch) -> None:
    ns = compile_program("def f():\n    return 1\n")
    monkeypatch.setattr(threading, "current_thread", lambda: SimpleNamespace(name="fake"))
    _, trace = profile(ns["f"])
    recs = records(trace)
    assert [(r["thread"], r["thread_native_id"]) for r in recs] == [("fake", None)] * 2
    assert b"\xb0thread_native_id\xc0" in raw_records(trace)[None][0]


@pytest.mark.parametrize("native_id", [-5, "1", None])
def test_thread_identity_oddities(monkeypatch, caplog, native_id) -> None:
    ns = compile_program("def f():\n    return 1\n")
    monkeypatch.setattr(threading, "current_thread", lambda: SimpleNamespace(name="t", native_id=native_id))
    with caplog.at_level(logging.WARNING, logger="jarn"):
        _, trace = profile(ns["f"])
    recs = records(trace)
    if native_id is None:
        assert len(recs) == 2 and recs[0]["thread_native_id"] is None
    else:
        assert recs == []
        assert len([r for r in caplog.records if r.name == "jarn"]) == 2


def test_lightweight_serialiser_is_used_for_arg_and_locals(monkeypatch) -> None:
    seen: list[Any] = []
    monkeypatch.setattr(jarn.serialize, "dump_msgpack_lightweight_repr", lambda v: seen.append(v) or b"\xa1L")
    monkeypatch.setattr(jarn.serialize, "dump_msgpack", lambda v: pytest.fail("full serialiser used"))
    ns = compile_program("def f(x):\n    return x\n")
    _, trace = profile(ns["f"], 9, config={**QUIET, "lightweight_repr": True, "omit_return_locals": True})
    assert seen == [None, {"x": 9}, 9, None]
    assert [(r["arg"], r["locals"]) for r in records(trace)] == [("L", "L"), ("L", "L")]


# --- failures inside the callback -------------------------------------------------------------


class Poison:
    """A value the serialiser refuses."""


def picky_dump(value: Any) -> bytes:
    if isinstance(value, Poison) or (isinstance(value, dict) and any(isinstance(v, Poison) for v in value.values())):
        raise RuntimeError("cannot serialise Poison")
    return plain_dump(value)


def test_failing_serialiser_logs_one_warning(monkeypatch, caplog) -> None:
    monkeypatch.setattr(jarn.serialize, "dump_msgpack", picky_dump)
    ns = compile_program("def f():\n    return make()\ndef g(n):\n    return n\n")
    ns["make"] = Poison

    def run() -> None:
        ns["f"]()
        ns["g"](7)

    with caplog.at_level(logging.WARNING, logger="jarn"):
        _, trace = profile(run)
    recs = records(trace)
    # The call of f is stored, its return (a Poison) is not; later events go on.
    assert events(recs) == [("call", "f"), ("call", "g"), ("return", "g")]
    assert recs[1]["user_code_call_site"] is None  # f's pair was popped despite the failure
    (warning,) = [r for r in caplog.records if r.name == "jarn"]
    assert warning.levelno == logging.WARNING
    assert warning.msg == (
        "Unexpected exception in Rust.\n    co_filename: %s\n    co_name: %s\n    event: %s\n    frame locals: %s\n"
    )
    assert warning.args[:3] == (f"{APP}/prog.py", "f", "return")
    assert warning.getMessage() == (
        f"Unexpected exception in Rust.\n    co_filename: {APP}/prog.py\n    co_name: f\n    event: return\n"
        "    frame locals: {}\n"
    )
    assert warning.exc_info[0] is RuntimeError and str(warning.exc_info[1]) == "cannot serialise Poison"
    assert warning.exc_info[2] is not None


def test_failed_locals_serialisation_shows_the_locals(monkeypatch, caplog) -> None:
    monkeypatch.setattr(jarn.serialize, "dump_msgpack", picky_dump)
    ns = compile_program("def f(p):\n    q = 3\n    return 1\n")
    with caplog.at_level(logging.WARNING, logger="jarn"):
        _, trace = profile(ns["f"], Poison())
    assert records(trace) == []
    messages = [r.getMessage() for r in caplog.records if r.name == "jarn"]
    assert len(messages) == 2
    assert "event: call\n    frame locals: {'p': <" in messages[0]
    assert "'q': 3" in messages[1]


def test_logger_above_warning_stays_silent(monkeypatch, caplog) -> None:
    monkeypatch.setattr(jarn.serialize, "dump_msgpack", picky_dump)
    ns = compile_program("def f():\n    return make()\n")
    ns["make"] = Poison
    with caplog.at_level(logging.ERROR, logger="jarn"):
        _, trace = profile(ns["f"])
    assert [r for r in caplog.records if r.name == "jarn"] == []
    assert events(records(trace)) == [("call", "f")]


@pytest.mark.parametrize("raised", [RuntimeError("handler broke"), KeyError("k")])
def test_raising_log_handler_does_not_reach_the_program(monkeypatch, raised) -> None:
    class Broken(logging.Handler):
        def handle(self, record: logging.LogRecord) -> bool:
            raise raised

    monkeypatch.setattr(jarn.serialize, "dump_msgpack", picky_dump)
    logger = logging.getLogger("jarn")
    handler = Broken()
    logger.addHandler(handler)
    try:
        ns = compile_program("def f():\n    return make()\ndef g():\n    return 2\n")
        ns["make"] = Poison

        def run() -> int:
            ns["f"]()
            return ns["g"]()

        _, trace = profile(run)
    finally:
        logger.removeHandler(handler)
    assert events(records(trace)) == [("call", "f"), ("call", "g"), ("return", "g")]


@pytest.mark.parametrize(
    ("result", "exc"),
    [("text", TypeError), (None, TypeError), ([1, 256], OverflowError), ([1, -1], OverflowError),
     ([1, "a"], TypeError)],
)
def test_serialiser_returning_non_bytes(monkeypatch, caplog, result, exc) -> None:
    monkeypatch.setattr(jarn.serialize, "dump_msgpack", lambda v: result)
    ns = compile_program("def f():\n    return 1\n")
    with caplog.at_level(logging.WARNING, logger="jarn"):
        _, trace = profile(ns["f"])
    assert records(trace) == []
    warnings = [r for r in caplog.records if r.name == "jarn"]
    assert len(warnings) == 2 and all(r.exc_info[0] is exc for r in warnings)
    if result == "text":
        assert str(warnings[0].exc_info[1]) == "Can't extract `str` to `Vec`"


@pytest.mark.parametrize("result", [bytearray(b"\xa1x"), [0xA1, 0x78], (0xA1, 0x78)])
def test_serialiser_returning_byte_sequences(monkeypatch, result) -> None:
    monkeypatch.setattr(jarn.serialize, "dump_msgpack", lambda v: result)
    ns = compile_program("def f():\n    return 1\n")
    _, trace = profile(ns["f"])
    assert [(r["arg"], r["locals"]) for r in records(trace)] == [("x", "x")] * 2


def linelessly(function: Any) -> Any:
    function.__code__ = function.__code__.replace(co_linetable=b"")
    return function


def test_frames_without_a_line_are_recorded_at_their_first_line(caplog) -> None:
    ns = compile_program(
        "def main(weird, f, g):\n    weird(f)\n    return g()\n"
        "def weird(f):\n    return f()\n"
        "def f():\n    return 1\n"
        "def g():\n    return 2\n"
    )
    weird = linelessly(ns["weird"])
    with caplog.at_level(logging.WARNING, logger="jarn"):
        _, trace = profile(ns["main"], weird, ns["f"], ns["g"])
    recs = records(trace)
    assert [(r["event"], r["co_name"], r["path"].rsplit(":")[-1]) for r in recs] == [
        ("call", "main", "1"), ("call", "weird", "4"), ("call", "f", "6"), ("return", "f", "7"),
        ("return", "weird", "4"), ("call", "g", "8"), ("return", "g", "9"), ("return", "main", "3")]
    assert recs[2]["user_code_call_site"] == {"call_frame_id": recs[1]["frame_id"], "line_number": 4}
    assert not [r for r in caplog.records if r.name == "jarn"]


@pytest.mark.parametrize("where", ["serialiser", "plugin"])
def test_keyboard_interrupt_inside_the_callback_reaches_the_program(where: str) -> None:
    done = run_child(
        f"""
        WHERE = {where!r}
        """
        + """
        import jarn.serialize, jarn.plugins
        state = {"armed": True}
        def fire():
            if state["armed"]:
                state["armed"] = False
                raise KeyboardInterrupt
        def dump(v):
            if WHERE == "serialiser" and v == 1234:
                fire()
            return _dump(v)
        def call(frame, event, arg, context):
            if WHERE == "plugin":
                fire()
            return True
        jarn.serialize.dump_msgpack = dump
        jarn.plugins.load_plugin_data = lambda config: [
            {"co_names": ["f"], "path_fragment": "/srv/app/", "call_type": "c", "return_type": "r", "call": call}]
        import logging
        logging.getLogger("jarn").addHandler(logging.NullHandler())
        logging.getLogger("jarn").propagate = False
        src = "def f(x):\\n    return x\\n"
        ns = {"__name__": "prog"}
        exec(compile(src, "/srv/app/prog.py", "exec"), ns)
        host = Host()
        _jarn.register_profiler(host)
        try:
            ns["f"](1234)
            while True:  # until the interrupt arrives; if it never does, the child's timeout fails the test
                ns["f"](0)
        except KeyboardInterrupt:
            outcome = "interrupted"
        sys.setprofile(None)
        print(outcome)
        """
    )
    assert done.stdout.strip() == "interrupted", done.stderr


def test_profile_callback_keeps_running_after_failures(monkeypatch, caplog) -> None:
    calls = {"n": 0}

    def flaky(value: Any) -> bytes:
        calls["n"] += 1
        if calls["n"] % 3 == 0:
            raise ValueError("every third")
        return plain_dump(value)

    monkeypatch.setattr(jarn.serialize, "dump_msgpack", flaky)
    ns = compile_program("def f(i):\n    return i\n")

    def run() -> list[int]:
        return [ns["f"](i) for i in range(30)]

    with caplog.at_level(logging.CRITICAL, logger="jarn"):
        _, trace = profile(run)
    recs = records(trace)
    assert 0 < len(recs) < 60
    # Every stored return still pairs with the identifier of its call when that call was stored.
    by_id: dict[str, list[str]] = {}
    for r in recs:
        by_id.setdefault(r["frame_id"], []).append(r["event"])
    assert all(v in (["call", "return"], ["call"], ["return"]) for v in by_id.values())


CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"


def ulid_ms(identifier: str) -> int:
    value = 0
    for ch in identifier[4:14]:
        value = value * 32 + CROCKFORD.index(ch)
    return value


def test_identifiers_carry_the_time_and_differ() -> None:
    ns = compile_program("def f():\n    return 1\n")
    before = int(time.time() * 1000)
    _, trace = profile(lambda: [ns["f"]() for _ in range(50)])
    after = int(time.time() * 1000)
    ids = [r["frame_id"] for r in records(trace) if r["event"] == "call"]
    assert len(set(ids)) == 50
    assert all(FRAME_ID.match(i) and before <= ulid_ms(i) <= after for i in ids)


def test_non_ascii_names_are_utf8_with_byte_lengths() -> None:
    ns = compile_program("def é():\n    return 1\n", f"{APP}/ünï.py")
    _, trace = profile(ns["é"])
    call = raw_records(trace)[None][0]
    assert call.startswith(b"\x8c\xa4path" + s(f"{APP}/ünï.py:1") + b"\xa7co_name\xa2\xc3\xa9\xa8qualname\xa7prog.\xc3\xa9")
