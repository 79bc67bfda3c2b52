"""Threads: registration on new threads, per-thread buffers, records under concurrency, and what
ended threads leave behind."""

from __future__ import annotations

import contextlib
import sys
import threading
from types import SimpleNamespace

import pytest
from support import (QUIET, canonical, check_pairing, compile_program, decode, events, frame_records, HostProfiler, profile, records,
                     run_child, run_thread, SANITIZED)

import jarn.serialize
from jarn import _jarn

REAL_DUMP = jarn.serialize.dump_msgpack  # the native encoder, before the fixtures replace it

PROGRAM = "def f(i):\n    return i\n"


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


@pytest.mark.parametrize("use_threading", [True, False])
def test_records_go_under_each_thread_while_traces_are_built(monkeypatch, use_threading: bool) -> None:
    ns = compile_program("def f(i):\n    return g(i)\ndef g(i):\n    return i\n")
    host = HostProfiler({**QUIET, "threading": use_threading})
    _jarn.register_profiler(host)
    ns["f"](-1)
    sys.setprofile(None)  # from here on the main thread only builds traces
    together, calls = threading.Barrier(19), 300
    real = threading.current_thread  # a thread without a native id: its records go to the main list
    monkeypatch.setattr(threading, "current_thread", lambda: SimpleNamespace(name="anon") if real().name == "anon" else real())

    def work(base: int) -> None:
        if not use_threading:
            host.rust_profiler.register_threading_profiler(None, None, None)
        ns["f"](base)
        together.wait()  # all alive at once: no native id is reused, and the first trace holds every thread
        for i in range(base + 1, base + calls):
            ns["f"](i)

    workers = [threading.Thread(target=work, args=(1000 * k,), name="anon" if k == 17 else None) for k in range(18)]
    for w in workers:
        w.start()
    together.wait()
    # Sixteen threads and more in the first trace: a map16. The later ones are built while the
    # threads record (however many of their records each one catches).
    traces = [canonical(host.rust_profiler.build_trace()) for _ in range(100)]
    for w in workers:
        w.join()
    threading.setprofile(None)
    traces.append(canonical(host.rust_profiler.build_trace()))
    main = [r for t in traces for r in records(t)]
    lists = {w.native_id: [r for t in traces for r in t["frames"].get(w.native_id, [])] for w in workers[:17]}
    if use_threading:
        assert len(traces[0]["frames"]) == 17 and all(set(t["frames"]) <= set(lists) for t in traces)
        assert [r["arg"] for r in main if r["thread"] != "anon"] == [None, None, -1, -1]
    else:
        assert all(t["frames"] == {} for t in traces) and len(main) == 4 + 18 * 4 * calls
        lists = {k: [r for r in main if r["thread_native_id"] == k] for k in lists}
    args = lambda base: [a for i in range(base, base + calls) for a in (None, None, i, i)]  # noqa: E731
    assert [r["arg"] for r in main if r["thread"] == "anon"] == args(17000)
    for k, w in enumerate(workers[:17]):
        recs = lists[w.native_id]
        assert [r["arg"] for r in recs] == args(1000 * k)
        assert {(r["thread_native_id"], r["thread"]) for r in recs} == {(w.native_id, w.name)}
        assert check_pairing(recs) == []  # frames of threads may share addresses: call sites stay per thread


@pytest.mark.skipif(SANITIZED, reason="memory is not measurable under AddressSanitizer")
def test_ended_threads_leave_nothing_behind() -> None:
    # One malloc arena: glibc's per-thread arenas keep freed memory of short threads in ways
    # that say nothing about what the profiler holds.
    body = """
    import gc, os, threading, weakref
    rss = lambda: int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
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


def test_thread_identity_makes_and_keeps_no_threading_object() -> None:
    # A thread threading does not know gets a name of its own, not a _DummyThread, and a Thread
    # that has ended is not kept alive by the identity cached for it.
    import _thread
    import gc
    import weakref

    ns = compile_program(PROGRAM)
    before = threading.enumerate()
    host = HostProfiler({**QUIET, "threading": True})
    _jarn.register_monitoring_profiler(host)
    done, native = _thread.allocate_lock(), []
    done.acquire()
    _thread.start_new_thread(lambda: (ns["f"](1), native.append(threading.get_native_id()), done.release()), ())
    done.acquire()
    worker = threading.Thread(target=ns["f"], args=(2,), name="known")
    worker.start()
    worker.join()
    ended, worker = weakref.ref(worker), None
    gc.collect()
    _jarn.unregister_monitoring_profiler()
    trace = decode(host.rust_profiler.build_trace())
    assert threading.enumerate() == before and ended() is None
    names = {r["thread_native_id"]: r["thread"] for recs in trace["frames"].values() for r in recs}
    assert names[native[0]] == f"Thread-{native[0]}" and "known" in names.values()


@pytest.mark.parametrize("rename", ["name", "_name", "setName"])
@pytest.mark.parametrize(("engine", "on_worker"), [("monitoring", False), ("monitoring", True), ("profile", False)])
def test_a_renamed_thread_is_recorded_under_its_new_name(monkeypatch, rename: str, engine: str, on_worker: bool) -> None:
    import warnings

    import support

    monkeypatch.setattr(support, "engine", engine)
    # The native encoder, so that plain values are written the short way.
    monkeypatch.setattr(jarn.serialize, "dump_msgpack", REAL_DUMP)
    ns = compile_program(PROGRAM)

    def work() -> None:
        ns["f"](1)
        ns["f"](2)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            if rename == "setName":
                threading.current_thread().setName("renamed")
            else:
                setattr(threading.current_thread(), rename, "renamed")
        ns["f"](3)

    before = threading.current_thread().name
    try:
        _, trace = profile(lambda: run_thread(work) if on_worker else work(),
                           config={**QUIET, "threading": True})
    finally:
        threading.current_thread().name = before
    names = {r["arg"]: r["thread"] for r in frame_records(decode(trace)) if (r["event"], r["co_name"]) == ("return", "f")}
    assert names[1] == names[2] != "renamed" and names[3] == "renamed"
