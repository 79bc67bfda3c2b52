"""Threads: registration on new threads, per-thread buffers, and records under concurrency."""

from __future__ import annotations

import sys
import threading
from typing import Any

import pytest
from coresupport import QUIET, compile_program, decode, events, HostProfiler, records

from jarn import _jarn

PROGRAM = "def f(i):\n    return i\n"
def test_thread_started_before_registration_records_nothing() -> None:
    ns = compile_program(PROGRAM)
    go = threading.Event()
    worker = threading.Thread(target=lambda: (go.wait(), ns["f"](1)))
    worker.start()
    host = HostProfiler({"threading": True})
    _jarn.register_profiler(host)
    go.set()
    worker.join()
    sys.setprofile(None)
    trace = decode(host.rust_profiler.build_trace())
    assert trace["frames"] == {} and records(trace) == []


def test_first_event_only_registers() -> None:
    ns = compile_program(PROGRAM)
    host = HostProfiler(QUIET)
    _jarn.register_profiler(host)
    sys.setprofile(None)
    sys.setprofile(host.rust_profiler.register_threading_profiler)
    ns["f"](1)  # its call installs the native callback; its return is the first record
    ns["f"](2)
    installed = sys.getprofile()
    sys.setprofile(None)
    assert installed is host.rust_profiler
    assert events(records(host.rust_profiler.build_trace())) == [("return", "f"), ("call", "f"), ("return", "f")]


@pytest.mark.parametrize(
    "args",
    [(None, None, None), (1, "call", object())],
)
def test_register_threading_profiler_directly(args) -> None:
    host = HostProfiler()
    _jarn.register_profiler(host)
    sys.setprofile(None)
    assert host.rust_profiler.register_threading_profiler(*args) is None
    installed = sys.getprofile()
    sys.setprofile(None)
    assert installed is host.rust_profiler


def test_register_threading_profiler_by_keyword_and_errors() -> None:
    host = HostProfiler()
    _jarn.register_profiler(host)
    sys.setprofile(None)
    native = host.rust_profiler
    native.register_threading_profiler(_frame=1, _event=2, _arg=3)
    sys.setprofile(None)
    for call in (lambda: native.register_threading_profiler(None, None),
                 lambda: native.register_threading_profiler(None, None, None, None),
                 lambda: native.register_threading_profiler(None, None, arg=None)):
        with pytest.raises(TypeError):
            call()
        assert sys.getprofile() is None
    with pytest.raises(TypeError):  # the interpreter's descriptor check may speak first
        type(native).register_threading_profiler(object(), None, None, None)
    assert sys.getprofile() is None


@pytest.mark.parametrize("use_threading", [True, False])
def test_records_go_under_each_thread(use_threading: bool) -> None:
    ns = compile_program(PROGRAM)
    host = HostProfiler({**QUIET, "threading": use_threading})
    _jarn.register_profiler(host)
    ns["f"](-1)

    def work(base: int) -> None:
        if not use_threading:
            host.rust_profiler.register_threading_profiler(None, None, None)
        for i in range(base, base + 50):
            ns["f"](i)

    workers = [threading.Thread(target=work, args=(1000 * k,)) for k in range(1, 7)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    sys.setprofile(None)
    threading.setprofile(None)
    trace = decode(host.rust_profiler.build_trace())
    main = records(trace)
    if use_threading:
        assert [r["arg"] for r in main] == [None, -1]
        assert sorted(trace["frames"]) == sorted(w.native_id for w in workers)
        for k, w in enumerate(workers, start=1):
            recs = trace["frames"][w.native_id]
            assert [r["arg"] for r in recs if r["event"] == "return"] == list(range(1000 * k, 1000 * k + 50))
            assert {r["thread_native_id"] for r in recs} == {w.native_id}
            assert {r["thread"] for r in recs} == {w.name}
    else:
        assert trace["frames"] == {}
        assert len(main) == 2 + 6 * 100
        for w in workers:
            mine = [r for r in main if r["thread_native_id"] == w.native_id]
            assert len(mine) == 100
            assert [r["event"] for r in mine] == ["call", "return"] * 50


def test_thread_native_id_unknown_goes_to_main_list(monkeypatch) -> None:
    from types import SimpleNamespace

    ns = compile_program(PROGRAM)
    host = HostProfiler({**QUIET, "threading": True})
    _jarn.register_profiler(host)
    real = threading.current_thread

    def fake() -> Any:
        thread = real()
        return thread if thread is threading.main_thread() else SimpleNamespace(name="anon")

    monkeypatch.setattr(threading, "current_thread", fake)
    worker = threading.Thread(target=ns["f"], args=(5,))
    worker.start()
    worker.join()
    sys.setprofile(None)
    threading.setprofile(None)
    trace = decode(host.rust_profiler.build_trace())
    assert trace["frames"] == {}
    assert [(r["thread"], r["arg"]) for r in records(trace)] == [("anon", None), ("anon", 5)]


def test_identical_frame_addresses_on_threads_do_not_mix() -> None:
    ns = compile_program("def f(i):\n    return g(i)\ndef g(i):\n    return i\n")
    host = HostProfiler({**QUIET, "threading": True})
    _jarn.register_profiler(host)
    barrier = threading.Barrier(4)

    def work() -> None:
        barrier.wait()
        for i in range(200):
            ns["f"](i)

    workers = [threading.Thread(target=work) for _ in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    sys.setprofile(None)
    threading.setprofile(None)
    trace = decode(host.rust_profiler.build_trace())
    for w in workers:
        recs = trace["frames"][w.native_id]
        stack: list[str] = []
        for r in recs:
            site = r["user_code_call_site"]
            if r["event"] == "call":
                assert (site and site["call_frame_id"]) == (stack[-1] if stack else None)
                stack.append(r["frame_id"])
            else:
                assert stack.pop() == r["frame_id"]
        assert stack == []


def test_stress_many_threads_while_building() -> None:
    threads, calls = 16, 20000
    ns = compile_program(PROGRAM)
    host = HostProfiler({**QUIET, "threading": True})
    _jarn.register_profiler(host)
    sys.setprofile(None)  # the main thread only builds traces
    start = threading.Barrier(threads + 1)

    def work() -> None:
        start.wait()
        f = ns["f"]
        for i in range(calls):
            f(i)

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for w in workers:
        w.start()
    start.wait()
    traces = []
    while any(w.is_alive() for w in workers):
        traces.append(decode(host.rust_profiler.build_trace()))
    for w in workers:
        w.join()
    threading.setprofile(None)
    traces.append(decode(host.rust_profiler.build_trace()))
    assert len(traces) > 2
    per_thread: dict[int, list[dict[str, Any]]] = {}
    for trace in traces:
        assert trace["frames_of_interest"] == []
        for native_id, recs in trace["frames"].items():
            per_thread.setdefault(native_id, []).extend(recs)
    assert sorted(per_thread) == sorted(w.native_id for w in workers)
    for recs in per_thread.values():
        assert [r["arg"] for r in recs if r["event"] == "return"] == list(range(calls))
        assert [r["event"] for r in recs] == ["call", "return"] * calls
        ids = [r["frame_id"] for r in recs]
        assert ids[0::2] == ids[1::2]


def test_more_than_fifteen_threads_use_map16() -> None:
    ns = compile_program(PROGRAM)
    host = HostProfiler({**QUIET, "threading": True})
    _jarn.register_profiler(host)
    sys.setprofile(None)
    hold = threading.Event()

    def work(i: int) -> None:
        ns["f"](i)
        hold.wait()  # alive together, so that no native id is reused

    workers = [threading.Thread(target=work, args=(i,)) for i in range(17)]
    for w in workers:
        w.start()
    hold.set()
    for w in workers:
        w.join()
    threading.setprofile(None)
    trace = host.rust_profiler.build_trace()
    key = b"\xa6frames"
    assert trace[trace.index(key) + len(key) :].startswith(b"\xde\x00\x11")
    assert len(decode(trace)["frames"]) == 17


@pytest.mark.parametrize("use_threading", [False, True])
def test_monitoring_reaches_threads_by_the_setting(use_threading: bool) -> None:
    ns = compile_program(PROGRAM)
    go = threading.Event()
    worker = threading.Thread(target=lambda: (go.wait(), ns["f"](1)))
    worker.start()  # before registration: monitoring reaches it all the same
    host = HostProfiler({**QUIET, "threading": use_threading})
    _jarn.register_monitoring_profiler(host)
    go.set()
    worker.join()
    ns["f"](2)  # after the worker's events, which must not have switched f off
    _jarn.unregister_monitoring_profiler()
    trace = decode(host.rust_profiler.build_trace())
    assert [r["arg"] for r in records(trace)] == [None, 2]
    others = {key: [r["arg"] for r in recs] for key, recs in trace["frames"].items()}
    assert others == ({worker.native_id: [None, 1]} if use_threading else {})
