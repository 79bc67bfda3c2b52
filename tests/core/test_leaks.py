"""Long runs: no crash, and the memory of the records goes when the trace has been built."""

from __future__ import annotations

import gc
import sys

from coresupport import compile_program, HostProfiler, needs_plain_memory, raw_records, rss_bytes, run_child

import jarn.serialize
from jarn import _jarn

MiB = 1024 * 1024


@needs_plain_memory
def test_a_million_events(monkeypatch) -> None:
    # Cheap host output keeps the run short; the records themselves are the core's.
    monkeypatch.setattr(jarn.serialize, "dump_msgpack", lambda value: b"\xc0")
    ns = compile_program("def f(i):\n    return g(i)\ndef g(i):\n    return i\n")
    lib = compile_program("def h(i):\n    return i\n", "/usr/lib/python3.12/fake.py")
    host = HostProfiler({"filters": {"ignore_frames": ["/tests/core/"]}})

    def program() -> None:
        f, h = ns["f"], lib["h"]
        for i in range(150_000):
            f(i)  # four recorded events
            h(i)  # two dropped events
        # 900 000 events so far; the rest are recorded calls with nothing else going on
        for i in range(50_000):
            g = ns["g"]
            g(i)

    gc.collect()
    before = rss_bytes()
    _jarn.register_profiler(host)
    program()
    sys.setprofile(None)
    trace = host.rust_profiler.build_trace()
    assert len(raw_records(trace)[None]) == 700_000
    del trace
    gc.collect()
    # A leak would keep hundreds of MiB (each record is well over 100 bytes).
    assert rss_bytes() - before < 48 * MiB
    again = host.rust_profiler.build_trace()
    assert raw_records(again)[None] == []


def test_ended_threads_are_not_kept(monkeypatch) -> None:
    """A thread-per-task program runs for hours: what the profiler keeps per ended thread must
    not pile up (the records themselves go with each built trace)."""
    import threading
    import weakref

    monkeypatch.setattr(jarn.serialize, "dump_msgpack", lambda value: b"\xc0")
    ns = compile_program("def f(i):\n    return i\n")
    host = HostProfiler({"threading": True, "filters": {"ignore_frames": ["/tests/core/"]}})
    _jarn.register_profiler(host)
    sys.setprofile(None)
    refs = []
    for i in range(1000):
        t = threading.Thread(target=ns["f"], args=(i,))
        t.start()
        t.join()
        refs.append(weakref.ref(t))
    host.rust_profiler.build_trace()
    gc.collect()
    threading.setprofile(None)
    assert sum(r() is not None for r in refs) < 50, "ended threads' Thread objects are still referenced"


@needs_plain_memory
def test_ended_threads_leave_no_memory_behind() -> None:
    # One malloc arena: glibc's per-thread arenas keep freed memory of short threads in ways
    # that say nothing about what the profiler holds.
    body = """
    import gc, os, threading
    def rss():
        return int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    jarn.serialize.dump_msgpack = lambda value: b"\\xc0"
    namespace = {}
    exec(compile("def f(i):\\n    return i\\n", "/tmp/jarn-core-tests/threads_user.py", "exec"), namespace)
    host = Host({"threading": True})
    _jarn.register_profiler(host)
    sys.setprofile(None)
    def batch(n):
        for i in range(n):
            t = threading.Thread(target=namespace["f"], args=(i,))
            t.start()
            t.join()
        host.rust_profiler.build_trace()
        gc.collect()
    batch(3000)  # the same size first: what is measured is growth, not the high-water mark
    before = rss()
    batch(3000)
    print(rss() - before)
    """
    done = run_child(body, env={"MALLOC_ARENA_MAX": "1"})
    assert done.returncode == 0, done.stderr
    assert int(done.stdout.split()[-1]) < 4 * MiB
