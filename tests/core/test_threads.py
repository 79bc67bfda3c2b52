"""Threads: registration on new threads, per-thread buffers, records under concurrency, and what
ended threads leave behind."""

from __future__ import annotations

import contextlib
import sys
import threading
from types import SimpleNamespace
from typing import Any

import pytest
from coresupport import QUIET, canonical, compile_program, decode, events, HostProfiler, needs_plain_memory, records, run_child

from jarn import _jarn

PROGRAM = "def f(i):\n    return i\n"


def start_all(workers: list[threading.Thread]) -> None:
    for w in workers:
        w.start()
    for w in workers:
        w.join()


@pytest.mark.parametrize(("register", "use_threading", "reached"),
                         [("profile", True, False), ("monitoring", True, True), ("monitoring", False, False)])
def test_threads_started_before_registration(register, use_threading, reached) -> None:
    ns = compile_program(PROGRAM)
    go = threading.Event()
    worker = threading.Thread(target=lambda: (go.wait(), ns["f"](1)))
    worker.start()
    host = HostProfiler({**QUIET, "threading": use_threading})
    getattr(_jarn, f"register_{'monitoring_' if register == 'monitoring' else ''}profiler")(host)
    go.set()
    worker.join()
    ns["f"](2)  # after the worker's events, which must not have switched f off
    sys.setprofile(None)
    _jarn.unregister_monitoring_profiler()
    trace = decode(host.rust_profiler.build_trace())
    assert [r["arg"] for r in records(trace)] == [None, 2]
    assert {k: [r["arg"] for r in recs] for k, recs in trace["frames"].items()} == (
        {worker.native_id: [None, 1]} if reached else {})


def test_registering_on_a_thread() -> None:
    ns = compile_program(PROGRAM)
    _jarn.register_profiler(HostProfiler({"threading": True}))
    _jarn.register_profiler(second := HostProfiler({"threading": True}))
    assert threading.getprofile().__self__ is second.rust_profiler  # the second replaced the first's hook
    threading.setprofile(None)
    _jarn.register_profiler(host := HostProfiler(QUIET))
    sys.setprofile(None)
    native = host.rust_profiler
    sys.setprofile(native.register_threading_profiler)
    ns["f"](1)  # its call installs the native callback; its return is the first record
    ns["f"](2)
    installed = sys.getprofile()
    sys.setprofile(None)
    assert installed is native
    assert events(records(native.build_trace())) == [("return", "f"), ("call", "f"), ("return", "f")]
    for args, kwargs, ok in [((None,) * 3, {}, True), ((1, "call", object()), {}, True), ((None,) * 2, {}, False),
                             ((), {"_frame": 1, "_event": 2, "_arg": 3}, True), ((None,) * 4, {}, False),
                             ((None, None), {"arg": None}, False)]:
        with contextlib.nullcontext() if ok else pytest.raises(TypeError):
            assert native.register_threading_profiler(*args, **kwargs) is None
        assert (sys.getprofile() is native) is ok
        sys.setprofile(None)
    with pytest.raises(TypeError):  # the interpreter's descriptor check may speak first
        type(native).register_threading_profiler(object(), None, None, None)
    assert sys.getprofile() is None


@pytest.mark.parametrize("use_threading", [True, False])
def test_records_go_under_each_thread(monkeypatch, use_threading: bool) -> None:
    ns = compile_program("def f(i):\n    return g(i)\ndef g(i):\n    return i\n")
    host = HostProfiler({**QUIET, "threading": use_threading})
    _jarn.register_profiler(host)
    ns["f"](-1)
    together = threading.Barrier(18)
    real = threading.current_thread  # a thread without a native id: its records go to the main list
    monkeypatch.setattr(threading, "current_thread", lambda: SimpleNamespace(name="anon") if real().name == "anon" else real())

    def work(base: int) -> None:
        if not use_threading:
            host.rust_profiler.register_threading_profiler(None, None, None)
        together.wait()  # alive together, so that no native id is reused, and running at once
        for i in range(base, base + 20):
            ns["f"](i)

    workers = [threading.Thread(target=work, args=(1000 * k,), name="anon" if k == 17 else None) for k in range(18)]
    start_all(workers)
    sys.setprofile(None)
    threading.setprofile(None)
    trace = canonical(host.rust_profiler.build_trace())
    main = records(trace)
    if use_threading:
        assert [r["arg"] for r in main] == [a for i in [-1, *range(17000, 17020)] for a in (None, None, i, i)]
        assert sorted(trace["frames"]) == sorted(w.native_id for w in workers[:17])  # sixteen and more: a map16
    else:
        assert trace["frames"] == {} and len(main) == 4 + 18 * 80
    for k, w in enumerate(workers[:17]):
        recs = trace["frames"][w.native_id] if use_threading else [r for r in main if r["thread_native_id"] == w.native_id]
        assert [r["arg"] for r in recs if r["event"] == "return"] == [i for i in range(1000 * k, 1000 * k + 20) for _ in "fg"]
        assert {(r["thread_native_id"], r["thread"]) for r in recs} == {(w.native_id, w.name)}
        stack: list[str] = []  # frames of threads may share addresses: call sites stay per thread
        for r in recs:
            site = r["user_code_call_site"]
            if r["event"] == "call":
                assert (site and site["call_frame_id"]) == (stack[-1] if stack else None)
                stack.append(r["frame_id"])
            else:
                assert stack.pop() == r["frame_id"]
        assert stack == []


def test_traces_built_while_threads_record() -> None:
    threads, calls = 4, 5000
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


@needs_plain_memory
def test_ended_threads_leave_nothing_behind() -> None:
    # One malloc arena: glibc's per-thread arenas keep freed memory of short threads in ways
    # that say nothing about what the profiler holds.
    body = """
    import gc, os, threading, weakref
    def rss():
        return int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    jarn.serialize.dump_msgpack = lambda value: b"\\xc0"
    namespace = {}
    exec(compile("def f(i):\\n    return i\\n", "/tmp/jarn-core-tests/threads_user.py", "exec"), namespace)
    host = Host({"threading": True})
    _jarn.register_profiler(host)
    sys.setprofile(None)
    refs = []
    def batch(n):
        for i in range(n):
            t = threading.Thread(target=namespace["f"], args=(i,))
            t.start()
            t.join()
            refs.append(weakref.ref(t))
        host.rust_profiler.build_trace()
        gc.collect()
    batch(3000)  # the same size first: what is measured is growth, not the high-water mark
    before = rss()
    batch(3000)
    print(rss() - before, sum(r() is not None for r in refs))
    """
    done = run_child(body, env={"MALLOC_ARENA_MAX": "1"})
    grown, alive = map(int, done.stdout.split()[-2:])
    assert grown < 4 * 1024 * 1024 and alive < 50, done.stderr
